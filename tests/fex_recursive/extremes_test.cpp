// Windowed extremes, exponential envelopes and the robust median's
// messages.
#include "fex.h"
#include "stepper.h"
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

// Rate 0 accepts no sample: every later sample falls back with a warning;
// the per-sample weight line of the Gaussian form is behind its switch.
TEST(MovingPseudomedianRobust, EmptyMeanFallbackAndDebugLine) {
  const ref::Stepper zero = STEPPER(moving_pseudomedian_stddev, 4, 0.0);
  CaptureStderr();
  for (double v : {1.0, 2.0, 3.0, 5.0}) EXPECT_EQ(zero.step(v), v);
  EXPECT_EQ(testsupport::count(GetCapturedStderr(), "moving_pseudomedian_stddev warning: empty mean!\n"), 3u);
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

}  // namespace
