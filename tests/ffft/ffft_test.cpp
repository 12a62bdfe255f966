// The FFT wrapper against direct evaluations of its definitions: the real
// DFT in FFTPACK's half-complex layout, its inverse, the cosine transform,
// the power spectrum, and FFTPACK's factorisation with its warnings.
#include <complex>

#include "ffft.h"
#include "reference.h"

namespace {

const long double PI_L = 3.141592653589793238462643383279502884L;

// exp(-2 pi i m / n), the exponent reduced mod n for accuracy.
std::complex<long double> twiddle(long long m, int n) { return std::polar(1.0L, -2 * PI_L * (m % n) / n); }

// r0, r1, i1, r2, i2, ..., r(n/2) for even n.
std::vector<double> direct_dft(const std::vector<double> &x) {
  const int n = (int)x.size();
  std::vector<double> out(n);
  for (int k = 0; 2 * k <= n; k++) {
    std::complex<long double> s = 0;
    for (int j = 0; j < n; j++) s += (long double)x[j] * twiddle((long long)j * k, n);
    out[k == 0 ? 0 : 2 * k - 1] = (double)s.real();
    if (k > 0 && 2 * k < n) out[2 * k] = (double)s.imag();
  }
  return out;
}

// The unnormalised inverse of the half-complex layout.
std::vector<double> direct_inverse(const std::vector<double> &hc) {
  const int n = (int)hc.size();
  std::vector<double> x(n);
  for (int j = 0; j < n; j++) {
    long double sum = hc[0] + (n % 2 ? 0 : (j % 2 ? -1 : 1) * (long double)hc[n - 1]);
    for (int k = 1; 2 * k < n; k++)
      sum += 2 * (std::complex<long double>(hc[2 * k - 1], hc[2 * k]) * std::conj(twiddle((long long)j * k, n))).real();
    x[j] = (double)sum;
  }
  return x;
}

void expect_close(const std::vector<double> &got, const std::vector<double> &want, double tol) {
  ASSERT_EQ(got.size(), want.size());
  ref::expect_close(got.data(), want, tol, "of " + std::to_string(got.size()));
}

// Even, odd and prime lengths; forward then backward multiplies by n.
TEST(RealFft, MatchesTheDirectTransformAndItsInverse) {
  for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 60, 97, 100, 127, 128, 210, 1009}) {
    const std::vector<double> x = ref::random_stream(n, n, -1, 1), hc = ref::random_stream(n, n + 1000, -1, 1);
    fft_data data;
    testing::internal::CaptureStderr();
    fft_data_init(&data, n);
    testing::internal::GetCapturedStderr();
    std::vector<double> y = x, z = hc, scaled = x;
    fft_data_execute_forward(&data, y.data());
    expect_close(y, direct_dft(x), 1e-9 * n);
    fft_data_execute_backward(&data, z.data());
    expect_close(z, direct_inverse(hc), 1e-9 * n);
    fft_data_execute_backward(&data, y.data());
    for (double &v : scaled) v *= n;
    expect_close(y, scaled, 1e-10 * n);
    fft_data_free(&data);
  }
}

TEST(FftPowerSpectrum, SquaredMagnitudesWithoutScaling) {
  fft_data data;
  for (int n : {10, 11}) {
    std::vector<double> sig = ref::random_stream(n, 5, -1, 1), want = ref::power_spectrum(sig), ps(n / 2 + 1, -1.0);
    fft_data_init(&data, n);
    fft_data_powerspec(&data, sig.data(), ps.data());
    fft_data_free(&data);
    expect_close(ps, want, 1e-12);
  }
}

TEST(CosineTransform, MatchesItsDefinitionAndTwiceScalesBy2nMinus2) {
  for (int n : {1, 2, 3, 4, 5, 9, 17, 33, 65, 100, 1010}) {
    std::vector<double> x = ref::random_stream(n, 3 * n, -1, 1), y = x;
    cost_data data;
    testing::internal::CaptureStderr();
    cost_data_init(&data, n);
    testing::internal::GetCapturedStderr();
    cost_data_execute(&data, y.data());
    expect_close(y, n > 1 ? ref::cosine_transform(x) : x, 1e-9 * n);  // one sample stays as it is
    cost_data_execute(&data, y.data());
    for (int i = 0; i < n && n > 1; i++) EXPECT_NEAR(y[i], 2.0 * (n - 1) * x[i], 1e-9 * n) << n;
    cost_data_free(&data);
  }
}

TEST(FftFactorisation, FollowsFftpackTrialOrder) {
  auto factors = [](int n) {
    int f[FFT_MAX_FACTORS];
    return std::vector<int>(f, f + fft_factorize(n, f));
  };
  const std::pair<int, std::vector<int>> cases[] = {
      {1, {}},          {2, {2}},          {8, {2, 4}},         {16, {4, 4}},
      {60, {4, 3, 5}},  {120, {2, 4, 3, 5}}, {2 * 9 * 49, {2, 3, 3, 7, 7}}, {1009, {1009}},
      {2147483647, {2147483647}}, {2 * 1000003, {2, 1000003}},
  };
  for (const auto &[n, want] : cases) EXPECT_EQ(factors(n), want) << n;
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
