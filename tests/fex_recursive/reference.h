// Brute-force references for the window functions: every value recomputed
// from the whole (partial) window.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace ref {

inline std::vector<double> random_stream(size_t n, unsigned seed,
                                         double lo = -5.0, double hi = 5.0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> v(n);
  for (auto &x : v) x = dist(gen);
  return v;
}

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

// Moving mean of a whole stream, warm-up included.
inline std::vector<double> moving_mean(const std::vector<double> &x,
                                       size_t size) {
  std::vector<double> out(x.size());
  for (size_t t = 0; t < x.size(); ++t) out[t] = mean(window(x, t, size));
  return out;
}

// Least-squares slope of w against 0, 1, ..., m - 1 (0 for one sample).
inline double slope(const std::vector<double> &w) {
  const size_t m = w.size();
  if (m < 2) return 0.0;
  double tm = (m - 1) / 2.0, xm = mean(w), num = 0, den = 0;
  for (size_t j = 0; j < m; ++j) {
    num += (j - tm) * (w[j] - xm);
    den += (j - tm) * (j - tm);
  }
  return num / den;
}

inline double max_of(const std::vector<double> &w) {
  return *std::max_element(w.begin(), w.end());
}

inline size_t count(const std::string &haystack, const std::string &needle) {
  size_t n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + 1))
    ++n;
  return n;
}

}  // namespace ref
