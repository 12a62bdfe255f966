// glide_stats function values against brute-force references, every
// catalogue name run once, and each dimension of a wide stream against its
// own one-dimensional run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "glide_harness.h"
#include "reference.h"

namespace {

using glide_harness::run_ok;

using ref::mean;
using ref::window;

std::vector<double> random_values(size_t n, unsigned seed) { return ref::random_stream(n, seed, -3, 3); }

// Mean over a window of w - 1 of f(difference to the previous value), the
// first difference taken as 0.
double of_differences(const std::vector<double> &x, size_t t, size_t w, double (*f)(double)) {
  std::vector<double> d;
  for (size_t j = 0; j <= t; ++j) d.push_back(f(j == 0 ? 0.0 : x[j] - x[j - 1]));
  return mean(window(d, t, w - 1));
}

TEST(GlideStatsFunctions, WindowStatisticsAgainstBruteForce) {
  const auto x = random_values(200, 41);
  const size_t w = 6;
  auto win = [&](size_t t) { return window(x, t, w); };
  const struct {
    const char *name;
    std::function<double(size_t)> reference;
    double tol;
  } cases[] = {
      {"mean", [&](size_t t) { return mean(win(t)); }, 1e-12},
      {"mean_abs", [&](size_t t) { return std::fabs(mean(win(t))); }, 1e-12},
      {"energy",
       [&](size_t t) {
         double e = 0;
         for (double v : win(t)) e += v * v;
         return e / win(t).size();
       },
       1e-12},
      {"stddev", [&](size_t t) { return ref::stddev(win(t)); }, 1e-6},
      {"max", [&](size_t t) { return std::ranges::max(win(t)); }, 0},
      {"min", [&](size_t t) { return std::ranges::min(win(t)); }, 0},
      {"amplitude", [&](size_t t) { return std::ranges::max(win(t)) - std::ranges::min(win(t)); }, 0},
      {"regression", [&](size_t t) { return ref::slope(win(t)); }, 1e-9},
      {"derivative", [&](size_t t) { return (x[t] - mean(win(t))) * 2 / (w - 1); }, 1e-12},
      {"product",
       [&](size_t t) {
         double p = 1;
         for (double v : win(t)) p *= v;
         return t + 1 < w ? 0.0 : p;
       },
       1e-9},
      {"absrise", [&](size_t t) { return of_differences(x, t, w, [](double d) { return std::max(0.0, d); }); }, 1e-12},
      {"sqfall", [&](size_t t) { return of_differences(x, t, w, [](double d) { return d < 0 ? d * d : 0.0; }); }, 1e-12},
  };
  for (const auto &c : cases) {
    const auto out = run_ok({"-f", c.name, "-w", std::to_string(w), "-u", std::to_string(w)}, x);
    ASSERT_EQ(out.size(), x.size()) << c.name;
    for (size_t t = 0; t < x.size(); ++t) ASSERT_NEAR(out[t], c.reference(t), c.tol) << c.name << " " << t;
  }
}

TEST(GlideStatsFunctions, ExponentialStatisticsFollowTheirRecurrences) {
  const auto x = random_values(150, 42);
  const int w = 20;
  const double alpha = 1 - 6 / (w * 1.7320508075688772);
  std::vector<double> mean, sd, protect;
  double m = x[0], e = x[0] * x[0];
  // For the protected mean: two means side by side, the written one
  // restarted after P samples.
  const long long before_swap = static_cast<long long>(std::log(0.01) / std::log(alpha));
  double means[2] = {0, 0};
  bool fresh[2] = {true, true};
  int current = 0;
  long long n = 0;
  for (size_t t = 0; t < x.size(); ++t) {
    if (t > 0) m = alpha * m + (1 - alpha) * x[t], e = alpha * e + (1 - alpha) * x[t] * x[t];
    mean.push_back(m);
    sd.push_back(std::sqrt(std::max(0.0, e - m * m)));
    for (int k = 0; k < 2; ++k) {
      means[k] = fresh[k] ? x[t] : alpha * means[k] + (1 - alpha) * x[t];
      fresh[k] = false;
    }
    if (++n > before_swap) {
      fresh[current] = true;
      current = 1 - current;
      n = 0;
    }
    protect.push_back(means[current]);
  }
  const std::pair<const char *, std::vector<double> *> cases[] = {
      {"sliding_mean", &mean}, {"sliding_stddev", &sd}, {"sliding_mean_protect", &protect}};
  for (const auto &[name, want] : cases) {
    const auto got = run_ok({"-f", name, "-w", std::to_string(w)}, x);
    ASSERT_EQ(got.size(), x.size());
    for (size_t t = 0; t < x.size(); ++t) ASSERT_NEAR(got[t], (*want)[t], 1e-7) << name << " " << t;
  }
}

TEST(GlideStatsFunctions, DelayAmplitudeAndTheirWarnings) {
  std::string err;
  EXPECT_EQ(run_ok({"-f", "delay", "-w", "3"}, {1, 2, 3, 4, 5}, 1, &err), (std::vector<double>{1, 1, 1, 1, 2}));
  EXPECT_EQ(testsupport::count(err, "premature access!\n"), 3u);
  EXPECT_EQ(run_ok({"-f", "delay-any", "-w", "1"}, {0.1, 0.2}),
            (std::vector<double>{static_cast<float>(0.1), static_cast<float>(0.1)}));
  EXPECT_EQ(run_ok({"-f", "mean_abs", "-w", "4"}, {-2, -2, -2}), (std::vector<double>{2, 2, 2}));
  // Per dimension, with one warning per instance.
  EXPECT_EQ(run_ok({"-f", "amplitude", "-w", "4", "-u", "9"}, {0, 10, 5, 10, 1, 40, 2, 20}, 2, &err),
            (std::vector<double>{0, 0, 5, 0, 5, 30, 5, 30}));
  EXPECT_EQ(testsupport::count(err, "glide_stats warning: setting minmax_updates (9) > width (4) is a waste of "
                                    "computation time!\n"), 2u);
}

TEST(GlideStatsFunctions, EveryCatalogueNameRuns) {
  const auto x = random_values(60, 43);
  for (const char *name :
       {"mean", "mean_triangle", "mean_bell", "mean_abs", "delay", "delay-any", "mean-normalize", "stddev",
        "stddev_lagged", "energy", "mean-variance-normalize", "product", "derivative", "derivative_symm",
        "derivative_smooth", "regression", "absrise", "absfall", "sqrise", "sqfall", "sliding_derivative",
        "sliding_regression_old", "sliding_regression_new", "max", "min", "amplitude", "pseudomax", "pseudomedian",
        "pseudomedian_gauss", "sliding_median", "sliding_test", "sliding_softmean_old", "sliding_softderivative_old",
        "sliding_softmean_new", "sliding_softderivative_new", "sliding_mean", "sliding_median_lagged",
        "sliding_stddev", "sliding_stddev_lagged", "sliding_energy", "sliding_mean_protect"})
    EXPECT_EQ(run_ok({"-f", name, "-w", "8"}, x, 2).size(), x.size()) << name;
}

// Streams of several dimensions are processed record by record for short
// windows and a block of records at a time, in groups of eight dimensions,
// when the delay lines of all dimensions are large (width x dimensions above
// 32,768); every column must come out as if it were a stream of its own,
// across block boundaries and in the last, partial group.
TEST(GlideStatsFunctions, EachDimensionMatchesItsOwnOneDimensionalRun) {
  const int dim = 11;
  const auto x = random_values(2600 * dim, 44);
  for (const char *width : {"50", "3000"}) {
    for (const char *name : {"mean", "stddev", "stddev_lagged", "energy", "regression", "max", "sliding_median"}) {
      const auto all = run_ok({"-f", name, "-w", width}, x, dim);
      ASSERT_EQ(all.size(), x.size()) << name;
      for (int j = 0; j < dim; ++j) {
        std::vector<double> col;
        for (size_t i = j; i < x.size(); i += dim) col.push_back(x[i]);
        const auto one = run_ok({"-f", name, "-w", width}, col);
        ASSERT_EQ(one.size(), col.size());
        for (size_t t = 0; t < col.size(); ++t)
          ASSERT_EQ(all[t * dim + j], one[t]) << name << " -w " << width << " dimension " << j << " " << t;
      }
    }
  }
}

}  // namespace
