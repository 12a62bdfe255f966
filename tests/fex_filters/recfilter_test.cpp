// The periodic wave's table search and demodulation, and the narrow-band
// amplitude of recfilter_bell on sines at and away from its frequency.
#include "fex.h"
#include "reference.h"

namespace {

TEST(PeriodicWave, TableSearchSettlesOnTheFirstCycleCountWithinTolerance) {
  periodic_wave w;
  testing::internal::CaptureStderr();
  periodic_wave_init(&w, 50, 0.1, 256);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "periodic_wave_init info: frequ. 50.000000, tol. 0.100000 -> width 41 (8 cycles), real frequ. 49.951220\n");
  EXPECT_EQ(w.sin.length, 41);
  EXPECT_DOUBLE_EQ(w.frequency, 49.951219512195124);
  EXPECT_TRUE(std::isnan(w.value_sin));
  EXPECT_TRUE(std::isnan(w.value_cos));
  // The tables hold exactly 8 cycles of the realised frequency.
  for (int i = 0; i < 41; i++) {
    EXPECT_NEAR(w.sin.data[i], std::sin(2 * ref::PI * 8 * i / 41), 1e-12);
    EXPECT_NEAR(w.cos.data[i], std::cos(2 * ref::PI * 8 * i / 41), 1e-12);
  }
  // Demodulation walks through the tables and wraps around.
  for (int k = 0; k < 90; k++) {
    periodic_wave_process(&w, 2.0);
    EXPECT_DOUBLE_EQ(w.value_sin, 2.0 * w.sin.data[k % 41]);
    EXPECT_DOUBLE_EQ(w.value_cos, 2.0 * w.cos.data[k % 41]);
  }
  periodic_wave_free(&w);

  // Fewer cycles do not meet the tolerance: 1 cycle gives width 5, 51.2 Hz.
  testing::internal::CaptureStderr();
  periodic_wave_init(&w, 50, 1.25, 256);
  periodic_wave_free(&w);
  // A zero tolerance is met by a frequency that divides the sample rate.
  periodic_wave_init(&w, 50, 0, 1000);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("width 5 (1 cycles), real frequ. 51.200000"), std::string::npos);
  EXPECT_NE(err.find("periodic_wave_init info: frequ. 50.000000, tol. 0.000000 -> width 20 (1 cycles), real frequ. "
                     "50.000000\n"), std::string::npos);
  periodic_wave_free(&w);
}

TEST(PeriodicWave, RefusesSearchesThatCannotEndAndBadSettings) {
  periodic_wave w;
  recfilter_bell b;
  const std::string E = "periodic_wave_init error: ";
  ref::expect_refusals({
      {[&] { periodic_wave_init(&w, 50, -0.1, 256); }, E + "invalid frequency tolerance -0.1 (it must not be negative)\n"},
      {[&] { periodic_wave_init(&w, 10 * ref::PI, 0, 256); },
       E + "no table of at most 16777216 samples realises frequency 31.4159 within tolerance 0 at sample frequency 256\n"},
      {[&] { periodic_wave_init(&w, 0, 0.1, 256); },
       E + "invalid frequency 0 (it must lie above 0 and at most at samplefrequency / 2 = 128)\n"},
      {[&] { periodic_wave_init(&w, 200, 0.1, 256); }, E + "invalid frequency 200"},
      {[&] { periodic_wave_init(&w, 10, 0.1, 0); }, E + "invalid sample frequency 0\n"},
      {[&] { recfilter_bell_init(&b, 10, 0.01, 256, 0); }, "recfilter_bell_init error: width 0 must be positive!\n"},
  });
}

// Mean of recfilter_bell's output over the second half of 4 s of a sine
// of amplitude `amplitude` at `f` Hz
// (f = 0: a constant), reset after 1 s.
double bell_amplitude(double f0, double f, double amplitude, double fs, int width) {
  recfilter_bell b;
  testing::internal::CaptureStderr();
  recfilter_bell_init(&b, f0, 0.01, fs, width);
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::isnan(b.value));
  const int n = (int)(4 * fs);
  double sum = 0;
  for (int k = 0; k < n; k++) {
    recfilter_bell_process(&b, amplitude * std::sin(2 * ref::PI * f * k / fs + 0.7));
    if (k >= n / 2) sum += b.value;
    if (k != n / 4) continue;
    recfilter_bell_reset(&b);
    EXPECT_TRUE(std::isnan(b.value));
  }
  recfilter_bell_free(&b);
  return sum / (n - n / 2);
}

TEST(RecfilterBell, HalfTheAmplitudeAtItsFrequencyLittleElsewhere) {
  const struct {
    double f0, f, amplitude, fs;
    int width;
    double want, tol;
  } cases[] = {
      {10, 10, 2, 256, 128, 1, 0.01},  {10, 10, 6, 256, 128, 3, 0.03}, {50, 50, 1, 2048, 512, 0.5, 0.005},
      {10, 30, 2, 256, 128, 0, 0.01},  {10, 20, 2, 256, 128, 0, 0.01}, {10, 3, 2, 256, 128, 0, 0.02},
      {50, 80, 1, 2048, 512, 0, 0.005},
      {10, 0, 5, 256, 128, 0, 0.05},  // a constant carries nothing once the means are full
  };
  for (const auto &c : cases) EXPECT_NEAR(bell_amplitude(c.f0, c.f, c.amplitude, c.fs, c.width), c.want, c.tol) << c.f;
}

}  // namespace
