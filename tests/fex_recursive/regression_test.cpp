// Derivatives and the moving regression slope.
#include "fex.h"
#include "reference.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// (Its values are checked with the other window statistics.)
TEST(MovingDerivativeSymm, DelayIsHalfTheWindow) {
  moving_derivative_symm_params d;
  moving_derivative_symm_params_init(&d, 3, 0);
  EXPECT_EQ(d.delay, 1);
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

}  // namespace
