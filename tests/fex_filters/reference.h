// Reference implementations for the filter tests, written directly from
// the definitions: moving-average smoothing, continuation, convolution,
// DFT power spectra, the cosine transform and frequency responses.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ref {

const double PI = 3.141592653589793;

inline std::string re_quote(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (std::string(".^$|()[]{}*+?\\").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

inline std::vector<double> random_signal(int n, unsigned seed, double lo = -1,
                                         double hi = 1) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> x(n);
  for (double &v : x) v = dist(rng);
  return x;
}

// `passes` times the mean over each full window of d samples.
inline std::vector<double> smooth_valid(std::vector<double> x, int d, int passes) {
  for (int p = 0; p < passes; p++) {
    std::vector<double> y(x.size() - d + 1);
    for (size_t k = 0; k < y.size(); k++) {
      double s = 0;
      for (int j = 0; j < d; j++) s += x[k + j];
      y[k] = s / d;
    }
    x = y;
  }
  return x;
}

// The input extended by `left` and `right` values: zeros (1), the edge
// values (2), or the reflection about the edge samples (3).
inline std::vector<double> continued(const std::vector<double> &x, int left,
                                     int right, int mode) {
  const int n = (int)x.size();
  std::vector<double> out;
  for (int t = -left; t < n + right; t++) {
    if (t >= 0 && t < n) {
      out.push_back(x[t]);
      continue;
    }
    if (mode == 1) out.push_back(0.0);
    else if (mode == 2) out.push_back(t < 0 ? x[0] : x[n - 1]);
    else {
      int u = t;
      while (u < 0 || u >= n) {
        if (n == 1) { u = 0; break; }
        u = u < 0 ? -u : 2 * (n - 1) - u;
      }
      out.push_back(x[u]);
    }
  }
  return out;
}

inline std::vector<double> convolve(const std::vector<double> &a,
                                    const std::vector<double> &b) {
  std::vector<double> y(a.size() + b.size() - 1, 0.0);
  for (size_t i = 0; i < a.size(); i++)
    for (size_t j = 0; j < b.size(); j++) y[i + j] += a[i] * b[j];
  return y;
}

// |X_k|^2 for k = 0 ... n/2.
inline std::vector<double> power_spectrum(const std::vector<double> &x) {
  const int n = (int)x.size();
  std::vector<double> p(n / 2 + 1);
  for (int k = 0; k <= n / 2; k++) {
    std::complex<double> s = 0;
    for (int j = 0; j < n; j++)
      s += x[j] * std::polar(1.0, -2 * PI * ((long long)j * k % n) / n);
    p[k] = std::norm(s);
  }
  return p;
}

// X_k = x_0 + (-1)^k x_(n-1) + 2 sum_(j=1)^(n-2) x_j cos(pi j k / (n - 1)).
inline std::vector<double> cosine_transform(const std::vector<double> &x) {
  const int n = (int)x.size();
  std::vector<double> X(n);
  for (int k = 0; k < n; k++) {
    double s = x[0] + (k % 2 ? -1 : 1) * x[n - 1];
    for (int j = 1; j <= n - 2; j++) s += 2 * x[j] * std::cos(PI * j * k / (n - 1));
    X[k] = s;
  }
  return X;
}

// Magnitude of the frequency response of FIR coefficients at f.
inline double magnitude(const double *c, int order, double f, double fs) {
  std::complex<double> s = 0;
  for (int k = 0; k < order; k++) s += c[k] * std::polar(1.0, -2 * PI * f / fs * k);
  return std::abs(s);
}

inline void expect_close(const double *got, const std::vector<double> &want,
                         double tol, const std::string &what = "") {
  for (size_t i = 0; i < want.size(); i++)
    EXPECT_NEAR(got[i], want[i], tol) << what << " index " << i;
}

}  // namespace ref
