// The FFT wrapper against direct evaluations of its definitions: the real
// DFT in FFTPACK's half-complex layout, its inverse, the cosine transform,
// the power spectrum, and FFTPACK's factorisation with its warnings.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ffft.h"

namespace {

const long double PI_L = 3.141592653589793238462643383279502884L;

std::vector<double> random_signal(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> dist(-1, 1);
  std::vector<double> x(n);
  for (double &v : x) v = dist(rng);
  return x;
}

// cos and sin of 2 pi m / n, m = 0 ... n-1.
struct twiddles {
  std::vector<long double> c, s;
  explicit twiddles(int n) : c(n), s(n) {
    for (int m = 0; m < n; m++) {
      c[m] = std::cos(2 * PI_L * m / n);
      s[m] = std::sin(2 * PI_L * m / n);
    }
  }
};

// r0, r1, i1, r2, i2, ..., r(n/2) for even n.
std::vector<double> direct_dft(const std::vector<double> &x) {
  const int n = (int)x.size();
  const twiddles t(n);
  std::vector<double> out(n);
  for (int k = 0; 2 * k <= n; k++) {
    long double re = 0, im = 0;
    for (int j = 0; j < n; j++) {
      long long m = (long long)j * k % n;
      re += x[j] * t.c[m];
      im -= x[j] * t.s[m];
    }
    if (k == 0) out[0] = (double)re;
    else if (2 * k == n) out[n - 1] = (double)re;
    else {
      out[2 * k - 1] = (double)re;
      out[2 * k] = (double)im;
    }
  }
  return out;
}

// The unnormalised inverse of the half-complex layout.
std::vector<double> direct_inverse(const std::vector<double> &hc) {
  const int n = (int)hc.size();
  const twiddles t(n);
  std::vector<double> x(n);
  for (int j = 0; j < n; j++) {
    long double sum = hc[0];
    for (int k = 1; 2 * k < n; k++) {
      long long m = (long long)j * k % n;
      sum += 2 * (hc[2 * k - 1] * t.c[m] - hc[2 * k] * t.s[m]);
    }
    if (n % 2 == 0) sum += (j % 2 ? -1 : 1) * (long double)hc[n - 1];
    x[j] = (double)sum;
  }
  return x;
}

void expect_close(const std::vector<double> &got, const std::vector<double> &want,
                  double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); i++)
    EXPECT_NEAR(got[i], want[i], tol) << "index " << i << " of " << got.size();
}

// Even, odd and prime lengths.
TEST(RealFft, MatchesTheDirectTransformAndItsInverse) {
  for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 60, 97, 100, 127, 128, 210, 1009}) {
    SCOPED_TRACE(n);
    std::vector<double> x = random_signal(n, n);
    fft_data data;
    testing::internal::CaptureStderr();
    fft_data_init(&data, n);
    testing::internal::GetCapturedStderr();

    std::vector<double> y = x;
    fft_data_execute_forward(&data, y.data());
    expect_close(y, direct_dft(x), 1e-9 * n);

    std::vector<double> hc = random_signal(n, n + 1000);
    std::vector<double> z = hc;
    fft_data_execute_backward(&data, z.data());
    expect_close(z, direct_inverse(hc), 1e-9 * n);

    // Forward then backward multiplies by n.
    std::vector<double> w = x;
    fft_data_execute_forward(&data, w.data());
    fft_data_execute_backward(&data, w.data());
    std::vector<double> scaled = x;
    for (double &v : scaled) v *= n;
    expect_close(w, scaled, 1e-10 * n);
    fft_data_free(&data);
    EXPECT_EQ(data.in, nullptr);
  }
}

TEST(FftPowerSpectrum, SquaredMagnitudesWithoutScaling) {
  fft_data data;
  for (int n : {10, 11}) {
    std::vector<double> sig = random_signal(n, 5), dft = direct_dft(sig);
    std::vector<double> ps(n / 2 + 1, -1.0);
    fft_data_init(&data, n);
    fft_data_powerspec(&data, sig.data(), ps.data());
    fft_data_free(&data);
    EXPECT_NEAR(ps[0], dft[0] * dft[0], 1e-12);
    for (int k = 1; 2 * k < n; k++)
      EXPECT_NEAR(ps[k], dft[2 * k - 1] * dft[2 * k - 1] + dft[2 * k] * dft[2 * k],
                  1e-12);
    if (n % 2 == 0) EXPECT_NEAR(ps[n / 2], dft[n - 1] * dft[n - 1], 1e-12);
    else EXPECT_EQ(ps.size(), (size_t)(n + 1) / 2);
  }
}

TEST(CosineTransform, MatchesItsDefinitionAndTwiceScalesBy2nMinus2) {
  for (int n : {1, 2, 3, 4, 5, 9, 17, 33, 65, 100, 1010}) {
    SCOPED_TRACE(n);
    std::vector<double> x = random_signal(n, 3 * n);
    cost_data data;
    testing::internal::CaptureStderr();
    cost_data_init(&data, n);
    testing::internal::GetCapturedStderr();
    std::vector<double> y = x;
    cost_data_execute(&data, y.data());
    std::vector<double> want(n);
    for (int k = 0; k < n; k++) {
      if (n == 1) {
        want[0] = x[0];
        break;
      }
      long double sum = x[0] + (k % 2 ? -1 : 1) * (long double)x[n - 1];
      for (int j = 1; j <= n - 2; j++)
        sum += 2 * x[j] * std::cos(PI_L * ((long long)j * k % (2 * (n - 1))) / (n - 1));
      want[k] = (double)sum;
    }
    expect_close(y, want, 1e-9 * n);
    if (n > 1) {
      cost_data_execute(&data, y.data());
      for (int i = 0; i < n; i++) EXPECT_NEAR(y[i], 2.0 * (n - 1) * x[i], 1e-9 * n);
    }
    cost_data_free(&data);
  }
}

TEST(FftFactorisation, FollowsFftpackTrialOrder) {
  auto factors = [](int n) {
    int f[FFT_MAX_FACTORS];
    int num = fft_factorize(n, f);
    return std::vector<int>(f, f + num);
  };
  EXPECT_EQ(factors(1), std::vector<int>{});
  EXPECT_EQ(factors(2), (std::vector<int>{2}));
  EXPECT_EQ(factors(8), (std::vector<int>{2, 4}));
  EXPECT_EQ(factors(16), (std::vector<int>{4, 4}));
  EXPECT_EQ(factors(60), (std::vector<int>{4, 3, 5}));
  EXPECT_EQ(factors(120), (std::vector<int>{2, 4, 3, 5}));
  EXPECT_EQ(factors(2 * 9 * 49), (std::vector<int>{2, 3, 3, 7, 7}));
  EXPECT_EQ(factors(1009), (std::vector<int>{1009}));
  EXPECT_EQ(factors(2147483647), (std::vector<int>{2147483647}));
  EXPECT_EQ(factors(2 * 1000003), (std::vector<int>{2, 1000003}));
  // Every length: the product is n, a 2 comes first when there is one.
  for (int n = 1; n < 3000; n++) {
    std::vector<int> f = factors(n);
    long long product = 1;
    for (int v : f) product *= v;
    ASSERT_EQ(product, n);
    for (size_t i = 1; i < f.size(); i++) ASSERT_NE(f[i], 2) << n;
  }
}

TEST(FftFactorisation, WarningsForSlowLengths) {
  const std::string W = " warning: factor decomposition of n = ", S = " may be suboptimal for performance: ";
  const struct {
    bool cost;
    int n;
    std::string warning;
  } cases[] = {
      {false, 1009, "fft_data_init" + W + "1009" + S + "1 factors: 1009 \n"},
      {false, 202, "fft_data_init" + W + "202" + S + "2 factors: 2 101 \n"},
      {true, 1010, "cost_data_init" + W + "1009" + S + "1 factors: 1009 \n"},
      {true, 1009, ""},  {false, 1, ""},    {false, 2, ""},    {false, 100, ""},
      {false, 1000, ""}, {false, 1024, ""}, {false, 2048, ""}, {false, 4096 * 3, ""},
  };
  for (const auto &c : cases) {
    fft_data data;
    cost_data cost;
    testing::internal::CaptureStderr();
    if (c.cost) {
      cost_data_init(&cost, c.n);
      cost_data_free(&cost);
    } else {
      fft_data_init(&data, c.n);
      fft_data_free(&data);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warning) << c.n;
  }
}

}  // namespace
