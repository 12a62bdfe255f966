// glide_stats functions: each name against its library function (or a
// recurrence for the program's own protected mean), and each dimension of a
// wide stream against its own one-dimensional run.
#include "fex.h"
#include "glide_harness.h"
#include "reference.h"
#include "stepper.h"

namespace {

using glide_harness::run_ok;

TEST(GlideStatsFunctions, ExponentialStatisticsFollowTheirRecurrences) {
  const auto x = ref::random_stream(150, 42, -3, 3);
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

// A window maximum or minimum of 8 samples, updated four times a window.
ref::Stepper extreme(void (*step)(moving_minmax_params *, double)) {
  return ref::stepper<moving_minmax_params>([](auto *p) { moving_max_params_init(p, 8, 4); }, step,
                                            moving_max_params_reset, moving_max_params_free);
}

// Each name stands for its library function with the program's settings
// (two dimensions, each its own instance): the library's own tests check
// the values.
TEST(GlideStatsFunctions, EachNameIsItsLibraryFunction) {
  const auto x = ref::random_stream(400, 43, -3, 3);
  const int w = 8;
  const std::pair<const char *, std::function<ref::Stepper()>> cases[] = {
      {"mean", [] { return STEPPER(moving_mean, w); }},
      {"mean_triangle", [] { return STEPPER(moving_mean_triangle, w); }},
      {"mean_bell", [] { return STEPPER(moving_mean_bell, w, 0); }},
      {"delay", [] { return STEPPER(delay, w); }},
      {"mean-normalize", [] { return STEPPER(moving_mean_normalize, w); }},
      {"stddev", [] { return STEPPER_OF(moving_stddev, moving_stddev_instantaneous, stddev_instantaneous, w); }},
      {"stddev_lagged", [] { return STEPPER_OF(moving_stddev, moving_stddev, stddev_lagged, w); }},
      {"energy", [] { return STEPPER_OF(moving_stddev, moving_stddev_instantaneous, square.value, w); }},
      {"mean-variance-normalize", [] { return STEPPER(moving_meanvariance_normalize, w); }},
      {"derivative", [] { return STEPPER(moving_derivative, w); }},
      {"derivative_symm", [] { return STEPPER(moving_derivative_symm, w, 0); }},
      {"derivative_smooth", [] { return STEPPER(moving_derivative_smooth, w, 0); }},
      {"regression", [] { return STEPPER(moving_regression, w); }},
      {"max", [] { return extreme(moving_max); }},
      {"min", [] { return extreme(moving_min); }},
      {"pseudomax", [] { return STEPPER(moving_pseudomax, w, 2.0); }},
      {"pseudomedian", [] { return STEPPER(moving_pseudomedian, w, 0); }},
      {"pseudomedian_gauss", [] { return STEPPER(moving_pseudomedian_gauss, w, 0.1); }},
      {"absrise", [] { return STEPPER_OF(moving_delta, moving_absrise, value, w); }},
      {"absfall", [] { return STEPPER_OF(moving_delta, moving_absfall, value, w); }},
      {"sqrise", [] { return STEPPER_OF(moving_delta, moving_sqrise, value, w); }},
      {"sqfall", [] { return STEPPER_OF(moving_delta, moving_sqfall, value, w); }},
      {"product", [] { return STEPPER(moving_product, w); }},
  };
  for (const auto &[name, make] : cases)
    glide_harness::expect_same(run_ok({"-f", name, "-w", std::to_string(w)}, x, 2),
                               glide_harness::library_values(x, 2, make));
  // The remaining names at least run.
  for (const char *name :
       {"sliding_derivative", "sliding_regression_old", "sliding_regression_new", "sliding_median", "sliding_test",
        "sliding_softmean_old", "sliding_softderivative_old", "sliding_softmean_new", "sliding_softderivative_new",
        "sliding_median_lagged", "sliding_stddev_lagged", "sliding_energy"})
    EXPECT_EQ(run_ok({"-f", name, "-w", "8"}, x, 2).size(), x.size()) << name;
}

// Streams of several dimensions are processed record by record for short
// windows and a block of records at a time, in groups of eight dimensions,
// when the delay lines of all dimensions are large (width x dimensions above
// 32,768) or the library has a run of the function; every column must come
// out as if it were a stream of its own, across block boundaries and in the
// last, partial group.
TEST(GlideStatsFunctions, EachDimensionMatchesItsOwnOneDimensionalRun) {
  const int dim = 11;
  const auto x = ref::random_stream(2600 * dim, 44, -3, 3);
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
