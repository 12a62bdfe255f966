// Brute-force references for the signal-processing suites (the window
// functions, detectors and filters), written straight from the definitions,
// the test signals they run on, and literal patterns for death tests.
#pragma once

#include <complex>

#include "testsupport.h"

namespace ref {

const double PI = 3.141592653589793;

// A regular expression that matches `text` literally (for EXPECT_EXIT).
inline std::string re_quote(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (std::string(".^$|()[]{}*+?\\").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

// A call that must end the program with status 1 and `message` (literally)
// on standard error.
struct Refusal {
  std::function<void()> call;
  std::string message;
};
inline void expect_refusals(const std::vector<Refusal> &cases) {
  for (const Refusal &c : cases) EXPECT_EXIT(c.call(), testing::ExitedWithCode(1), re_quote(c.message)) << c.message;
}

// n values uniform in [lo, hi).
inline std::vector<double> random_stream(size_t n, unsigned seed, double lo = -5.0, double hi = 5.0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> v(n);
  for (auto &x : v) x = dist(gen);
  return v;
}

// The last min(t + 1, size) samples up to and including t.
inline std::vector<double> window(const std::vector<double> &x, size_t t, size_t size) {
  const size_t len = std::min(t + 1, size);
  return std::vector<double>(x.begin() + (t + 1 - len), x.begin() + t + 1);
}

inline double mean(const std::vector<double> &w) {
  double s = 0;
  for (double v : w) s += v;
  return s / w.size();
}

// Moving mean of a whole stream, warm-up included.
inline std::vector<double> moving_mean(const std::vector<double> &x, size_t size) {
  std::vector<double> out(x.size());
  for (size_t t = 0; t < x.size(); ++t) out[t] = mean(window(x, t, size));
  return out;
}

// Least-squares slope of w against 0, 1, ..., m - 1 (0 for one sample).
inline double slope(const std::vector<double> &w) {
  const double m = w.size();
  if (w.size() < 2) return 0.0;
  const double c = (m - 1) / 2;
  double num = 0, den = 0;
  for (size_t j = 0; j < w.size(); ++j) {
    num += (j - c) * w[j];
    den += (j - c) * (j - c);
  }
  return num / den;
}

// Population deviation (mean of squares minus squared mean).
inline double stddev(const std::vector<double> &w) {
  const double mu = mean(w);
  double sq = 0;
  for (double v : w) sq += v * v;
  const double var = sq / w.size() - mu * mu;
  return var > 0 ? std::sqrt(var) : 0.0;
}

// Gaussian bumps of height `height` and width `sd` samples centred at the
// given sample positions, on a noisy baseline.
inline std::vector<double> bumps(size_t n, const std::vector<double> &centres, double height, double sd,
                                 double noise, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> dist(0.0, noise);
  std::vector<double> x(n);
  for (size_t t = 0; t < n; ++t) {
    double v = noise > 0 ? dist(gen) : 0.0;
    for (double c : centres) {
      const double d = (t - c) / sd;
      if (std::fabs(d) < 8) v += height * std::exp(-0.5 * d * d);
    }
    x[t] = v;
  }
  return x;
}

// Centres spaced `period` samples apart from `first` on.
inline std::vector<double> regular(double first, double period, size_t n) {
  std::vector<double> c;
  for (double t = first; t < n; t += period) c.push_back(t);
  return c;
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
inline std::vector<double> continued(const std::vector<double> &x, int left, int right, int mode) {
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

inline std::vector<double> convolve(const std::vector<double> &a, const std::vector<double> &b) {
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
    for (int j = 0; j < n; j++) s += x[j] * std::polar(1.0, -2 * PI * ((long long)j * k % n) / n);
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

inline void expect_close(const double *got, const std::vector<double> &want, double tol,
                         const std::string &what = "") {
  for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], tol) << what << " index " << i;
}

}  // namespace ref
