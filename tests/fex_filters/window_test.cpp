// Vector windows and statistics, repeated smoothing with its continuation
// modes, and FFT convolution, against direct computations.
#include "fex.h"
#include "reference.h"

namespace {

using ref::re_quote;

std::vector<double> values(const cvector &v) {
  return std::vector<double>(v.data, v.data + v.length);
}

TEST(VectorWindows, SmallStatistics) {
  const double d[5] = {3, -1, 4, 4, -5};
  cvector v;
  cvector_init_from_double(&v, d, 5);
  EXPECT_DOUBLE_EQ(cvector_mean(&v), 1.0);
  EXPECT_EQ(cvector_max(&v), 4);
  EXPECT_EQ(cvector_argmax(&v), 2.0);  // the first of two maxima
  cvector_abs(&v);
  EXPECT_EQ(values(v), (std::vector<double>{3, 1, 4, 4, 5}));
  cvector_sq(&v);
  EXPECT_EQ(values(v), (std::vector<double>{9, 1, 16, 16, 25}));
  cvector_sqrt(&v);
  cvector_log(&v);
  ref::expect_close(v.data, {std::log(3), 0, std::log(4), std::log(4), std::log(5)},
                    1e-15);
  cvector_free(&v);

  std::vector<double> r = ref::random_stream(101, 9, -1, 1);
  r[50] = NAN;
  cvector s;
  cvector_init_from_double(&s, r.data(), 101);
  cvector_sort_asc(&s);
  for (int i = 1; i < 100; i++) EXPECT_LE(s.data[i - 1], s.data[i]);
  EXPECT_TRUE(std::isnan(s.data[100]));  // NaN sorts last
  cvector_free(&s);

  cvector empty;
  cvector_init(&empty, 0);
  EXPECT_DEATH(cvector_max(&empty), re_quote("Assertion `v->length > 0' failed."));
  EXPECT_DEATH(cvector_argmax(&empty), re_quote("Assertion `v->length > 0' failed."));
}

// The continued input smoothed by cvector_smooth: the valid part of repeated
// window means, over the input and its continuation.
TEST(CvectorSmoothCont, AllModesAgainstReference) {
  for (int mode : {SMOOTH_CONT_ZERO, SMOOTH_CONT_REPEAT, SMOOTH_CONT_MIRROR}) {
    // Long continuations (beyond one reflection), a one-sample input and a
    // one-sample window.
    for (auto [n, d, passes] : {std::tuple{20, 5, 2}, std::tuple{5, 6, 3}, std::tuple{1, 3, 2},
                                std::tuple{9, 2, 1}, std::tuple{30, 7, 4}, std::tuple{64, 1, 2}}) {
      std::vector<double> x = ref::random_stream(n, 17 * n + mode, -1, 1);
      const int num = passes * (d - 1);
      std::vector<double> want =
          ref::smooth_valid(ref::continued(x, (num + 1) / 2, num / 2, mode), d, passes);
      cvector_smooth_cont_parameters p;
      cvector_smooth_cont_parameters_init(&p, n, d, passes, mode);
      cvector in, out;
      cvector_init_from_double(&in, x.data(), n);
      cvector_init(&out, n);
      cvector_smooth_cont(&p, &in, &out);
      cvector_smooth_cont(&p, &in, &out);  // reusable
      ASSERT_EQ(want.size(), (size_t)n);
      ref::expect_close(out.data, want, 1e-12,
                        "mode " + std::to_string(mode) + " n " + std::to_string(n));
      cvector_free(&in);
      cvector_free(&out);
      cvector_smooth_cont_parameters_free(&p);
    }
  }
}

TEST(CvectorSmooth, Messages) {
  cvector_smooth_parameters p;
  cvector_smooth_parameters_init(&p, 5, 2, 1);
  cvector_smooth_cont_parameters c;
  cvector_smooth_cont_parameters_init(&c, 4, 3, 1, SMOOTH_CONT_ZERO);
  c.continuation = 7;
  cvector in, out;
  cvector_init_zero(&in, 5);
  cvector_init_zero(&out, 5);
  const std::string E = "cvector_smooth_parameters_init error: ";
  ref::expect_refusals({
      {[&] { cvector_smooth_parameters_init(&p, 5, 2, 0); }, E + "cannot apply filter 0 times!\n"},
      {[&] { cvector_smooth_parameters_init(&p, 5, 3, 3); },
       E + "resulting output length n - i * (d - 1) = -1 is negative (d = 3, i = 3)!\n"},
      {[&] { cvector_smooth_parameters_init(&p, 5, 0, 1); }, E + "window length d = 0 must be positive!\n"},
      {[&] { cvector_smooth(&p, &in, &out); },
       "cvector_smooth error: result->length (5) must be equal to n - i * (d - 1) = 4 (n = 5, d = 2, i = 1\n"},
      {[] { convolution_parameters p; convolution_parameters_init(&p, 1 << 29, (1 << 29) + 2); },
       "convolution_parameters_init error: inputs of 536870912 and 536870914 values are too long\n"},
      {[&] { cvector_smooth_cont_parameters_init(&c, 4, 3, 1, SMOOTH_CONT_INVALID); },
       "cvector_smooth_cont_parameters_init error: unknown continuation function 0\n"},
      {[&] { in.length = out.length = 4; cvector_smooth_cont(&c, &in, &out); },
       "cvector_smooth_cont error: unknown continuation function 7\n"},
  });
  cvector_free(&in);
  cvector_free(&out);
  cvector_smooth_parameters_free(&p);
  cvector_smooth_cont_parameters_free(&c);
}

TEST(FftConvolution, MatchesDirectConvolution) {
  convolution_parameters p;
  for (auto [n1, n2] : {std::pair{1, 1}, std::pair{1, 5}, std::pair{7, 2},
                        std::pair{33, 32}, std::pair{100, 17}}) {
    std::vector<double> x1 = ref::random_stream(n1, n1, -1, 1), x2 = ref::random_stream(n2, n2 + 99, -1, 1);
    std::vector<double> want = ref::convolve(x1, x2), got(want.size() + 1, 1234.5);
    convolution_parameters_init(&p, n1, n2);
    convolution_parameters_compute(&p, x1.data(), x2.data(), got.data());
    ref::expect_close(got.data(), want, 1e-12);
    EXPECT_EQ(got.back(), 1234.5);  // nothing written beyond n1 + n2 - 1
    convolution_parameters_free(&p);
  }
  EXPECT_DEATH(convolution_parameters_init(&p, 0, 3), re_quote("Assertion `n1 > 0' failed."));
  EXPECT_DEATH(convolution_parameters_init(&p, 3, 0), re_quote("Assertion `n2 > 0' failed."));
}

}  // namespace
