// glide_stats function values against brute-force references, and every
// catalogue name run once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fv.h"
#include "glide_harness.h"
#include "testsupport.h"

namespace {

using glide_harness::stream_of;

std::vector<double> random_values(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> d(-3, 3);
  std::vector<double> x(n);
  for (auto &v : x) v = d(gen);
  return x;
}

// Runs glide_stats and returns the features of its single output sequence,
// row by row.
std::vector<double> run_function(const std::vector<std::string> &args,
                                 const std::vector<double> &x, int dim = 1,
                                 std::string *err = nullptr) {
  return glide_harness::run_ok(args, x, dim, err);
}

std::vector<double> window(const std::vector<double> &x, size_t t, size_t w) {
  const size_t len = std::min(t + 1, w);
  return std::vector<double>(x.begin() + (t + 1 - len), x.begin() + t + 1);
}

double mean_of(const std::vector<double> &w) {
  double s = 0;
  for (double v : w) s += v;
  return s / w.size();
}

double slope_of(const std::vector<double> &w) {
  const size_t m = w.size();
  if (m < 2) return 0;
  const double tm = (m - 1) / 2.0, xm = mean_of(w);
  double num = 0, den = 0;
  for (size_t j = 0; j < m; ++j) {
    num += (j - tm) * (w[j] - xm);
    den += (j - tm) * (j - tm);
  }
  return num / den;
}

TEST(GlideStatsFunctions, WindowStatisticsAgainstBruteForce) {
  const auto x = random_values(200, 41);
  const int w = 6;
  const std::string ws = std::to_string(w);
  struct Case {
    std::vector<std::string> args;
    std::function<double(size_t)> reference;
    double tol;
  } cases[] = {
      {{"-f", "mean"}, [&](size_t t) { return mean_of(window(x, t, w)); }, 1e-12},
      {{"-f", "mean_abs"},
       [&](size_t t) { return std::fabs(mean_of(window(x, t, w))); }, 1e-12},
      {{"-f", "energy"},
       [&](size_t t) {
         double e = 0;
         for (double v : window(x, t, w)) e += v * v;
         return e / window(x, t, w).size();
       },
       1e-12},
      {{"-f", "stddev"},
       [&](size_t t) {
         const auto win = window(x, t, w);
         const double m = mean_of(win);
         double e = 0;
         for (double v : win) e += (v - m) * (v - m);
         return std::sqrt(e / win.size());
       },
       1e-6},
      {{"-f", "max", "-u", ws},
       [&](size_t t) {
         const auto win = window(x, t, w);
         return *std::max_element(win.begin(), win.end());
       },
       0},
      {{"-f", "min", "-u", ws},
       [&](size_t t) {
         const auto win = window(x, t, w);
         return *std::min_element(win.begin(), win.end());
       },
       0},
      {{"-f", "amplitude", "-u", ws},
       [&](size_t t) {
         const auto win = window(x, t, w);
         return *std::max_element(win.begin(), win.end()) -
                *std::min_element(win.begin(), win.end());
       },
       0},
      {{"-f", "regression"}, [&](size_t t) { return slope_of(window(x, t, w)); }, 1e-9},
      {{"-f", "derivative"},
       [&](size_t t) { return (x[t] - mean_of(window(x, t, w))) * 2 / (w - 1); },
       1e-12},
      {{"-f", "product"},
       [&](size_t t) {
         if (t + 1 < static_cast<size_t>(w)) return 0.0;
         double p = 1;
         for (double v : window(x, t, w)) p *= v;
         return p;
       },
       1e-9},
      {{"-f", "absrise"},
       [&](size_t t) {
         std::vector<double> d;
         for (size_t j = 0; j <= t; ++j)
           d.push_back(j == 0 ? 0.0 : std::max(0.0, x[j] - x[j - 1]));
         return mean_of(window(d, t, w - 1));
       },
       1e-12},
      {{"-f", "sqfall"},
       [&](size_t t) {
         std::vector<double> d;
         for (size_t j = 0; j <= t; ++j) {
           const double dd = j == 0 ? 0.0 : x[j] - x[j - 1];
           d.push_back(dd < 0 ? dd * dd : 0.0);
         }
         return mean_of(window(d, t, w - 1));
       },
       1e-12},
  };
  for (auto &c : cases) {
    c.args.push_back("-w");
    c.args.push_back(ws);
    const auto out = run_function(c.args, x);
    ASSERT_EQ(out.size(), x.size()) << c.args[1];
    for (size_t t = 0; t < x.size(); ++t) {
      ASSERT_NEAR(out[t], c.reference(t), c.tol) << c.args[1] << " " << t;
    }
  }
}

TEST(GlideStatsFunctions, ExponentialStatisticsFollowTheirRecurrences) {
  const auto x = random_values(150, 42);
  const int w = 20;
  const double alpha = 1 - 6 / (w * 1.7320508075688772);
  std::vector<double> mean(x.size()), sd(x.size()), protect(x.size());
  double m = 0, e = 0;
  for (size_t t = 0; t < x.size(); ++t) {
    if (t == 0) {
      m = x[0];
      e = x[0] * x[0];
    } else {
      m = alpha * m + (1 - alpha) * x[t];
      e = alpha * e + (1 - alpha) * x[t] * x[t];
    }
    mean[t] = m;
    sd[t] = std::sqrt(std::max(0.0, e - m * m));
  }
  // Two means side by side, the written one restarted after P samples.
  const long long before_swap = static_cast<long long>(std::log(0.01) / std::log(alpha));
  double means[2] = {0, 0};
  bool fresh[2] = {true, true};
  int current = 0;
  long long n = 0;
  for (size_t t = 0; t < x.size(); ++t) {
    for (int k = 0; k < 2; ++k) {
      means[k] = fresh[k] ? x[t] : alpha * means[k] + (1 - alpha) * x[t];
      fresh[k] = false;
    }
    if (++n > before_swap) {
      fresh[current] = true;
      current = 1 - current;
      n = 0;
    }
    protect[t] = means[current];
  }
  const auto a = run_function({"-f", "sliding_mean", "-w", std::to_string(w)}, x);
  const auto b = run_function({"-f", "sliding_stddev", "-w", std::to_string(w)}, x);
  const auto c = run_function({"-f", "sliding_mean_protect", "-w", std::to_string(w)}, x);
  ASSERT_EQ(a.size(), x.size());
  ASSERT_EQ(b.size(), x.size());
  ASSERT_EQ(c.size(), x.size());
  for (size_t t = 0; t < x.size(); ++t) {
    ASSERT_NEAR(a[t], mean[t], 1e-12) << t;
    ASSERT_NEAR(b[t], sd[t], 1e-7) << t;
    ASSERT_NEAR(c[t], protect[t], 1e-12) << t;
  }
}

TEST(GlideStatsFunctions, DelayWarnsWhileFillingAndDelayAnyRoundsToFloat) {
  std::string err;
  const auto out = run_function({"-f", "delay", "-w", "3"}, {1, 2, 3, 4, 5}, 1, &err);
  EXPECT_EQ(out, (std::vector<double>{1, 1, 1, 1, 2}));
  size_t n = 0;
  for (size_t p = err.find("premature access!\n"); p != std::string::npos;
       p = err.find("premature access!\n", p + 1))
    ++n;
  EXPECT_EQ(n, 3u);
  const auto any = run_function({"-f", "delay-any", "-w", "1"}, {0.1, 0.2});
  EXPECT_EQ(any, (std::vector<double>{static_cast<float>(0.1), static_cast<float>(0.1)}));
  EXPECT_EQ(run_function({"-f", "mean_abs", "-w", "4"}, {-2, -2, -2}),
            (std::vector<double>{2, 2, 2}));
}

TEST(GlideStatsFunctions, AmplitudePerDimensionWithOneWarningPerInstance) {
  std::string err;
  const auto out = run_function({"-f", "amplitude", "-w", "4", "-u", "9"},
                                {0, 10, 5, 10, 1, 40, 2, 20}, 2, &err);
  EXPECT_EQ(out, (std::vector<double>{0, 0, 5, 0, 5, 30, 5, 30}));
  size_t n = 0;
  const std::string w =
      "glide_stats warning: setting minmax_updates (9) > width (4) is a waste "
      "of computation time!\n";
  for (size_t p = err.find(w); p != std::string::npos; p = err.find(w, p + 1)) ++n;
  EXPECT_EQ(n, 2u);
}

TEST(GlideStatsFunctions, EveryCatalogueNameRuns) {
  const char *names[] = {
      "mean", "mean_triangle", "mean_bell", "mean_abs", "delay", "delay-any",
      "mean-normalize", "stddev", "stddev_lagged", "energy",
      "mean-variance-normalize", "product", "derivative", "derivative_symm",
      "derivative_smooth", "regression", "absrise", "absfall", "sqrise",
      "sqfall", "sliding_derivative", "sliding_regression_old",
      "sliding_regression_new", "max", "min", "amplitude", "pseudomax",
      "pseudomedian", "pseudomedian_gauss", "sliding_median", "sliding_test",
      "sliding_softmean_old", "sliding_softderivative_old",
      "sliding_softmean_new", "sliding_softderivative_new", "sliding_mean",
      "sliding_median_lagged", "sliding_stddev", "sliding_stddev_lagged",
      "sliding_energy", "sliding_mean_protect"};
  const auto x = random_values(60, 43);
  for (const char *name : names) {
    const auto out = run_function({"-f", name, "-w", "8"}, x, 2);
    EXPECT_EQ(out.size(), x.size()) << name;
  }
}

}  // namespace

namespace {

// Streams of several dimensions are processed record by record for short
// windows and a block of records at a time, in groups of eight dimensions,
// when the delay lines of all dimensions are large (width x dimensions above
// 32,768); every column must come out as if it were a stream of its own,
// across block boundaries and in the last, partial group.
TEST(GlideStatsFunctions, EachDimensionMatchesItsOwnOneDimensionalRun) {
  const int dim = 11;
  const auto x = random_values(2600 * dim, 44);
  for (const char *width : {"50", "3000"}) {
    for (const char *name : {"mean", "stddev", "stddev_lagged", "energy",
                             "regression", "max", "sliding_median"}) {
      const auto all = run_function({"-f", name, "-w", width}, x, dim);
      ASSERT_EQ(all.size(), x.size()) << name;
      for (int j = 0; j < dim; ++j) {
        std::vector<double> col;
        for (size_t i = j; i < x.size(); i += dim) col.push_back(x[i]);
        const auto one = run_function({"-f", name, "-w", width}, col);
        ASSERT_EQ(one.size(), col.size());
        for (size_t t = 0; t < col.size(); ++t) {
          ASSERT_EQ(all[t * dim + j], one[t])
              << name << " -w " << width << " dimension " << j << " " << t;
        }
      }
    }
  }
}

}  // namespace
