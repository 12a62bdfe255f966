// Test signals and brute-force window statistics for the detector tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace sig {

// The last min(t + 1, size) samples up to and including t.
inline std::vector<double> window(const std::vector<double> &x, size_t t,
                                  size_t size) {
  const size_t len = std::min(t + 1, size);
  return std::vector<double>(x.begin() + (t + 1 - len), x.begin() + t + 1);
}

inline double mean(const std::vector<double> &w) {
  double s = 0;
  for (double v : w) s += v;
  return s / w.size();
}

// Least-squares slope of a window against its sample index.
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
inline std::vector<double> bumps(size_t n, const std::vector<double> &centres,
                                 double height, double sd, double noise,
                                 unsigned seed) {
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

// Indices at which an impulse train is 1.
template <class F>
std::vector<size_t> impulses(const std::vector<double> &x, F step) {
  std::vector<size_t> out;
  for (size_t t = 0; t < x.size(); ++t) {
    if (step(x[t])) out.push_back(t);
  }
  return out;
}

}  // namespace sig
