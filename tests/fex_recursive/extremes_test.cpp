// Windowed extremes, exponential envelopes, median trackers, the robust
// median's messages and the soft estimators.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "fex.h"
#include "reference.h"
#include "testsupport.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// The plain definition: every accumulator updated at every sample.
struct plain_max {
  int size, k, n = 0;
  double max = 0.0;
  std::vector<double> blocks;
  std::vector<int> collected;
  plain_max(int size_, int k_) : size(size_), k(k_), blocks(k_), collected(k_) {}
  double step(double v) {
    const double current = n == 0 ? v : max;
    max = v > current ? v : current;
    for (int i = 0; i < k; ++i) {
      if (n < size && n < static_cast<int64_t>(i) * size / k) continue;
      const double block = collected[i] == 0 ? v : blocks[i];
      blocks[i] = v > block ? v : block;
      if (++collected[i] == size) {
        collected[i] = 0;
        max = blocks[i];
      }
    }
    if (n < size) ++n;
    return max;
  }
};

// Between block starts and ends a sample only raises the maxima: the same
// values bit for bit as the plain definition, NaN, infinities and signed
// zeros included, across resets; k = size is the exact maximum. The minimum
// of the negated samples is the negated maximum.
TEST(MovingMax, QuietStretchesMatchThePlainDefinition) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const double specials[] = {NAN, INFINITY, -INFINITY, 0.0, -0.0};
  const std::string no_update = "moving_max_params_init warning: k = 0 means no update at all, "
                                "you will get a global maximum!\n";
  for (int size : {1, 2, 3, 10, 64, 1000}) {
    for (int k : {0, 1, 2, 3, 7, 10, 11}) {
      CaptureStderr();  // k = 0 never updates: a global maximum
      moving_minmax_params m, mn;
      moving_max_params_init(&m, size, k);
      moving_max_params_init(&mn, size, k);
      EXPECT_EQ(GetCapturedStderr(), k ? "" : no_update + no_update);
      for (int pass = 0; pass < 2; ++pass) {
        plain_max ref(size, k);
        for (int t = 0; t < 5000; ++t) {
          const double v = rng() % 97 == 0 ? specials[rng() % 5] : u(rng);
          moving_max(&m, v);
          moving_min(&mn, -v);
          const double want = ref.step(v), negated = -want;
          ASSERT_EQ(std::memcmp(&m.value, &want, sizeof want), 0)
              << size << " " << k << " " << t << " " << m.value << " " << want;
          ASSERT_EQ(std::memcmp(&mn.value, &negated, sizeof want), 0)
              << size << " " << k << " " << t;
        }
        moving_max_params_reset(&m);
        moving_min_params_reset(&mn);
      }
      moving_max_params_free(&m);
      moving_min_params_free(&mn);
    }
  }
}

TEST(SlidingMinMax, InstantAttackExponentialRelease) {
  sliding_min_max_params p;
  sliding_min_max_params_init(&p, 0.5);
  double mn = 0;
  for (int i = 0; i < 10; ++i) {
    sliding_min_max(i, &p);
    EXPECT_EQ(p.max, i);
    mn = i == 0 ? 0 : 0.5 * mn + 0.5 * i;
    EXPECT_DOUBLE_EQ(p.min, mn);
  }
  sliding_min_max(-3, &p);
  EXPECT_EQ(p.min, -3);
  EXPECT_DOUBLE_EQ(p.max, 0.5 * 9 + 0.5 * -3);
  sliding_min_max_params_reset(&p);
  sliding_min_max(7, &p);
  EXPECT_EQ(p.min, 7);
  EXPECT_EQ(p.max, 7);
}

TEST(SlidingMedian, ConstantStaysAndStepsFollowTheRecurrence) {
  for (int old_def : {0, 1}) {
    sliding_median_params p;
    sliding_median_generic_params_init(&p, 0.9, old_def);
    EXPECT_EQ(p.delay, static_cast<int>(std::log(0.5) * (2.0 / 3) / std::log(0.9)));
    for (int i = 0; i < 50; ++i) sliding_median_generic(3.0, &p);
    EXPECT_EQ(p.value, 3.0);
  }
  const double alpha = 0.8;
  sliding_median_new_params n;
  sliding_median_old_params o;
  sliding_median_new_params_init(&n, alpha);
  sliding_median_old_params_init(&o, alpha);
  const auto x = ref::random_stream(300, 13);
  double mean = x[0], energy = x[0] * x[0], vn = x[0], vo = x[0];
  const double fac = (1 - alpha) / (M_PI / 2 - 1);
  for (size_t t = 0; t < x.size(); ++t) {
    sliding_median_new(x[t], &n);
    sliding_median_old(x[t], &o);
    if (t > 0) {
      mean = alpha * mean + (1 - alpha) * x[t];
      energy = alpha * energy + (1 - alpha) * x[t] * x[t];
      const double s = std::sqrt(std::max(0.0, energy - mean * mean)) * fac;
      vn += x[t] > vn ? s : x[t] < vn ? -s : 0;
      vo += x[t] >= vo ? s : -s;
    }
    ASSERT_NEAR(n.value, vn, 1e-9);
    ASSERT_NEAR(o.value, vo, 1e-9);
  }
  sliding_median_new_params_reset(&n);
  sliding_median_new(-4.0, &n);
  EXPECT_EQ(n.value, -4.0);
  sliding_median_params bad;
  EXPECT_DEATH(sliding_median_new_params_init(&bad, 1.5), "Assertion `params->delay >= 0' failed");
}

// Rate 0 accepts no sample: every later sample falls back with a warning;
// the per-sample weight line of the Gaussian form is behind its switch.
TEST(MovingPseudomedianRobust, EmptyMeanFallbackAndDebugLine) {
  moving_pseudomedian_stddev_params zero;
  moving_pseudomedian_stddev_params_init(&zero, 4, 0.0);
  CaptureStderr();
  for (double v : {1.0, 2.0, 3.0, 5.0}) {
    moving_pseudomedian_stddev(&zero, v);
    EXPECT_EQ(zero.value, v);
  }
  EXPECT_EQ(testsupport::count(GetCapturedStderr(), "moving_pseudomedian_stddev warning: empty mean!\n"), 3u);
  moving_pseudomedian_stddev_params_free(&zero);
  moving_pseudomedian_gauss_params g;
  moving_pseudomedian_gauss_params_init(&g, 4, 1.0);
  moving_pseudomedian_gauss_debug = 1;
  CaptureStderr();
  moving_pseudomedian_gauss(&g, 1.0);
  moving_pseudomedian_gauss(&g, 3.0);
  moving_pseudomedian_gauss_debug = 0;
  EXPECT_EQ(GetCapturedStderr(), "value = 3.000000, mean = 1.000000, variance = 1.000000 -> weight = 0.135335\n");
  moving_pseudomedian_gauss_params_free(&g);
}

TEST(SoftEstimators, OldFormFirstSampleAndRecurrences) {
  const double alpha = 0.9;
  sliding_soft_old_params p;
  sliding_soft_old_params_init(&p, alpha);
  EXPECT_EQ(p.delay, 10);
  sliding_soft_old(2.0, &p);
  EXPECT_NEAR(p.mean, 2.0 / 0.99, 1e-12);
  EXPECT_EQ(p.derivative, 0.0);
  const double a1 = alpha / (2 - alpha), eps = (1 - a1) / 100;
  const double a2 = a1 + eps, a3 = a1 + 2 * eps;
  const double fac1 = -(1 - a1) / eps, fac2 = (a1 - 1) * (a1 - 1) / eps / ((1 - a1) - eps);
  const double fac = std::pow(a1 - 1, 3) / (eps * 2 * eps);
  double mu = 2, me = 2, m2 = 2;
  const auto x = ref::random_stream(200, 17);
  for (double v : x) {
    sliding_soft_old(v, &p);
    mu = a1 * mu + (1 - a1) * v;
    me = a2 * me + (1 - a2) * v;
    m2 = a3 * m2 + (1 - a3) * v;
    ASSERT_NEAR(p.mean, mu * fac1 + me * fac2, 1e-8);
    ASSERT_NEAR(p.derivative, (m2 + (mu - 2 * me)) * fac, 1e-8);
  }
  sliding_soft_old_params_reset(&p);
  sliding_soft_old(1.0, &p);
  EXPECT_NEAR(p.mean, 1.0 / 0.99, 1e-12);
}

TEST(SoftEstimators, NewFormAndTestFunction) {
  const double alpha = 0.75;
  sliding_soft_new_params s;
  sliding_test_params t;
  const std::string soft = "sliding_soft_new_params_init: alpha_orig = 0.750000 -> alpha = 0.500000\n";
  CaptureStderr();
  sliding_soft_new_params_init(&s, alpha);
  sliding_test_params_init(&t, alpha);
  EXPECT_EQ(GetCapturedStderr(), soft + "sliding_test_params_init: alpha = 0.750000, alpha_1 = 0.500000\n" + soft);
  EXPECT_EQ(s.delay, 4);
  const double a = 2 * alpha - 1;
  const auto x = ref::random_stream(200, 18);
  double first = x[0], mean = x[0], last = x[0], deriv = 0, tv = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    sliding_soft_new(x[i], &s);
    sliding_test(x[i], &t);
    const double before = mean;
    if (i > 0) {
      first = a * first + (1 - a) * x[i];
      mean = a * mean + (1 - a) * first;
      deriv = a * deriv + (1 - a) * (mean - last);
      last = mean;
      tv = a * tv + (1 - a) * (mean - before);
    }
    ASSERT_NEAR(s.mean, mean, 1e-12);
    ASSERT_NEAR(s.derivative, deriv, 1e-12);
    ASSERT_NEAR(t.value, tv, 1e-12);
  }
  sliding_test_params_reset(&t);
  sliding_test(5.0, &t);
  EXPECT_EQ(t.value, 0.0);
  EXPECT_EQ(t.soft.mean, 5.0);
  sliding_soft_old_params bad;
  EXPECT_DEATH(sliding_soft_old_params_init(&bad, 1.0), "Assertion `params->delay >= 0' failed");
  EXPECT_DEATH(sliding_soft_new_params_init(&s, 2.0), "Assertion `delay >= 0' failed");
}

}  // namespace
