// Derivatives, the moving regression slope, the change measures and their
// exponential counterparts.
#include <gtest/gtest.h>

#include <cmath>

#include "fex.h"
#include "reference.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(MovingDerivativeSymm, ExampleAndOldFactor) {
  moving_derivative_symm_params d;
  moving_derivative_symm_params_init(&d, 3, 0);
  EXPECT_EQ(d.delay, 1);
  const double expected[] = {0, 0.5, 1, 1};
  for (int i = 0; i < 4; ++i) {
    moving_derivative_symm(&d, i);
    EXPECT_DOUBLE_EQ(d.value, expected[i]);
  }
  moving_derivative_symm_params_free(&d);
  moving_derivative_symm_params_init(&d, 4, 1);
  for (int i = 0; i < 6; ++i) moving_derivative_symm(&d, 2.0 * i);
  EXPECT_DOUBLE_EQ(d.value, (10.0 - 4.0) / 4);
  moving_derivative_symm_params_reset(&d);
  moving_derivative_symm(&d, 1.0);
  EXPECT_EQ(d.value, 0.0);
  moving_derivative_symm_params_free(&d);
}

TEST(MovingDerivativeSmooth, SizesAndDifferenceOfFourCascadedMeans) {
  moving_derivative_smooth_params d;
  CaptureStderr();
  moving_derivative_smooth_params_init(&d, 10, 1);
  EXPECT_EQ(d.delay, 4);
  moving_derivative_smooth_params_free(&d);
  moving_derivative_smooth_params_init(&d, 10, 0);
  EXPECT_EQ(GetCapturedStderr(), "moving_derivative_smooth_params_init old 10: s1-s3=3, s4=3\n"
                                 "moving_derivative_smooth_params_init new 9: 3,3,3,3\n");
  EXPECT_EQ(d.delay, 4);
  const auto x = ref::random_stream(300, 22);
  auto m4 = x;
  for (int i = 0; i < 4; ++i) m4 = ref::moving_mean(m4, 3);
  for (size_t t = 0; t < x.size(); ++t) {
    moving_derivative_smooth(&d, x[t]);
    ASSERT_NEAR(d.value, t == 0 ? 0.0 : m4[t] - m4[t - 1], 1e-9) << t;
  }
  moving_derivative_smooth_params_free(&d);
  for (int size = 2; size < 40; ++size) {
    CaptureStderr();
    moving_derivative_smooth_params_init(&d, size, 0);
    GetCapturedStderr();
    EXPECT_EQ(d.mu1.size + d.mu2.size + d.mu3.size + d.mu4.size, size + 2);
    moving_derivative_smooth_params_free(&d);
  }
}

TEST(MovingRegression, DriftIsReportedAndRepaired) {
  // Huge offsets make the recursive sum drift beyond 1e-7; the fresh sum
  // replaces it and the warning names the difference.
  moving_regression_params r;
  moving_regression_params_init(&r, 100);
  const auto noise = ref::random_stream(1000, 24);
  CaptureStderr();
  std::vector<double> x;
  for (double n : noise) {
    x.push_back(1e9 + n);
    moving_regression(&r, x.back());
  }
  const std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("moving_regression weighted_sum_update warning: difference was "), std::string::npos);
  EXPECT_NE(err.find(" (new value = "), std::string::npos);
  std::vector<double> centred(x.size());
  for (size_t t = 0; t < x.size(); ++t) centred[t] = x[t] - 1e9;
  EXPECT_NEAR(r.value, ref::slope(ref::window(centred, x.size() - 1, 100)), 1e-3);
  moving_regression_params_free(&r);
}

TEST(SlidingDelta, ExponentialMeansOfTheChangeTerms) {
  using fn = void (*)(double, sliding_delta_params *);
  const struct {
    fn f;
    bool (*has)(double);
    double (*term)(double);
  } measures[] = {
      {sliding_derivative, [](double) { return true; }, [](double d) { return d; }},
      {sliding_abschange, [](double) { return true; }, [](double d) { return std::fabs(d); }},
      {sliding_absrise, [](double d) { return d > 0; }, [](double d) { return d; }},
      {sliding_absfall, [](double d) { return d < 0; }, [](double d) { return -d; }},
      {sliding_sqchange, [](double) { return true; }, [](double d) { return d * d; }},
      {sliding_sqrise, [](double d) { return d > 0; }, [](double d) { return d * d; }},
      {sliding_sqfall, [](double d) { return d < 0; }, [](double d) { return d * d; }},
  };
  const double alpha = 0.8;
  const auto x = ref::random_stream(300, 26);
  for (const auto &m : measures) {
    sliding_delta_params p;
    (m.f == sliding_derivative ? sliding_derivative_params_init : sliding_delta_params_init)(&p, alpha);
    EXPECT_EQ(p.delay, m.f == sliding_derivative ? 0 : 5);
    double v = 0;
    for (size_t t = 0; t < x.size(); ++t) {
      m.f(x[t], &p);
      const double d = t == 0 ? 0.0 : x[t] - x[t - 1];
      v = m.has(d) ? alpha * v + (1 - alpha) * m.term(d) : alpha * v;
      ASSERT_NEAR(p.value, v, 1e-12);
    }
    sliding_delta_params_reset(&p);
    EXPECT_EQ(p.value, 0.0);
  }
  sliding_delta_params p;
  EXPECT_DEATH(sliding_delta_params_init(&p, 1.0), "Assertion `delay >= 0' failed");
}

TEST(SlidingRegression, OldAndNewRecurrences) {
  const double alpha = 0.9;
  sliding_regression_old_params o;
  sliding_regression_new_params n;
  sliding_regression_old_params_init(&o, alpha);
  sliding_regression_new_params_init(&n, alpha);
  EXPECT_EQ(o.delay, 9);
  EXPECT_EQ(n.delay, 10.0);
  const double eps = (1 - alpha) / 100, fac = (alpha - 1) * (alpha - 1) / eps;
  const auto x = ref::random_stream(300, 27);
  double mu = x[0], me = x[0], last = x[0], der = 0, val = 0;
  for (size_t t = 0; t < x.size(); ++t) {
    sliding_regression_old(x[t], &o);
    sliding_regression_new(x[t], &n);
    if (t > 0) {
      mu = alpha * mu + (1 - alpha) * x[t];
      me = (alpha + eps) * me + (1 - alpha - eps) * x[t];
      der = alpha * der + (1 - alpha) * (x[t] - last);
      val = alpha * val + (1 - alpha) * der;
      last = x[t];
    }
    ASSERT_NEAR(o.value, (mu - me) * fac, 1e-9);
    ASSERT_NEAR(n.derivative, der, 1e-12);
    ASSERT_NEAR(n.value, val, 1e-12);
  }
  sliding_regression_old_params_reset(&o);
  sliding_regression_old(3.0, &o);
  EXPECT_EQ(o.value, 0.0);
  sliding_regression_new_params_reset(&n);
  sliding_regression_new(3.0, &n);
  EXPECT_EQ(n.value, 0.0);
  EXPECT_DEATH(sliding_regression_old_params_init(&o, 1.0), "Assertion `params->delay >= 0' failed");
}

}  // namespace
