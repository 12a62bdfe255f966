// The matched filter's template has one shape in time at every sample rate:
// unchanged output at 2048 Hz, and at 360 and 256 Hz the output of 2048 Hz
// scaled by the rate ratio, with beats found on synthetic ECG.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fex.h"

namespace {

// A synthetic ECG at `rate` Hz: per beat (every 0.8 s) a P wave, a narrow
// QRS (Q, R, S as Gaussian bumps) and a T wave, on a slow baseline, plus a
// deterministic pseudo-random ripple.
std::vector<double> synthetic_ecg(double rate, double seconds) {
  struct Wave {
    double at, width, height;  // seconds after the beat, seconds, mV
  };
  static const Wave waves[] = {{-0.20, 0.025, 0.15}, {-0.025, 0.010, -0.12},
                               {0.0, 0.012, 1.2},    {0.025, 0.010, -0.25},
                               {0.25, 0.050, 0.30}};
  std::vector<double> x(static_cast<size_t>(seconds * rate));
  uint32_t lcg = 12345;
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = i / rate;
    const double phase = std::fmod(t, 0.8);
    double v = 0.2 * std::sin(2 * M_PI * 0.3 * t);
    for (const Wave &w : waves) {
      for (double p : {phase - 0.8, phase, phase + 0.8}) {
        const double d = (p - 0.3 - w.at) / w.width;
        v += w.height * std::exp(-0.5 * d * d);
      }
    }
    lcg = lcg * 1664525u + 1013904223u;
    x[i] = v + 0.01 * (static_cast<double>(lcg >> 8) / (1u << 24) - 0.5);
  }
  return x;
}

uint64_t fnv1a(uint64_t h, double v) {
  unsigned char bytes[sizeof v];
  std::memcpy(bytes, &v, sizeof v);
  for (unsigned char b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

TEST(EcgMatchedRates, OutputAt2048HzIsUnchanged) {
  const std::vector<double> x = synthetic_ecg(2048, 12.0);
  ecg_matched_filter_params f;
  ecg_matched_filter_params_init(&f, 2048);
  ecg_mf_hr_params h;
  ecg_mf_hr_params_init(&h, 2048, 20, 200, 1, 0.5, 1.1);
  uint64_t filter_hash = 14695981039346656037ull, rate_hash = filter_hash;
  for (double v : x) {
    ecg_matched_filter(&f, v);
    ecg_mf_hr(&h, v);
    filter_hash = fnv1a(filter_hash, f.value);
    rate_hash = fnv1a(rate_hash, h.value);
  }
  EXPECT_NEAR(h.value, 75.0, 0.5);  // beats every 0.8 s
  ecg_matched_filter_params_free(&f);
  ecg_mf_hr_params_free(&h);
  // Taken from the filter before its lengths and weights were made to
  // scale with the rate.
  EXPECT_EQ(filter_hash, 0x2bc1dd8f8d1548d3ull) << std::hex << filter_hash;
  EXPECT_EQ(rate_hash, 0xee545e3f8000f481ull) << std::hex << rate_hash;
}

// The output at `rate`, and the output at 2048 Hz at the same instants
// scaled by rate / 2048 (a sum over a segment has rate / 2048 times as many
// terms): their RMS difference relative to the RMS of the latter.
double shape_difference(int rate) {
  const double seconds = 4.0;
  std::vector<double> fine;
  ecg_matched_filter_params f;
  ecg_matched_filter_params_init(&f, 2048);
  for (double v : synthetic_ecg(2048, seconds)) {
    ecg_matched_filter(&f, v);
    fine.push_back(f.value);
  }
  ecg_matched_filter_params_free(&f);
  ecg_matched_filter_params_init(&f, rate);
  const std::vector<double> x = synthetic_ecg(rate, seconds);
  double diff = 0.0, norm = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    ecg_matched_filter(&f, x[i]);
    if (i < static_cast<size_t>(rate)) continue;  // windows filling
    const double want =
        fine[static_cast<size_t>(std::lround(i * 2048.0 / rate))] * rate /
        2048.0;
    diff += (f.value - want) * (f.value - want);
    norm += want * want;
  }
  ecg_matched_filter_params_free(&f);
  return std::sqrt(diff / norm);
}

TEST(EcgMatchedRates, KeepsItsShapeAndFindsTheBeatsAt360And256Hz) {
  for (int rate : {360, 256}) {
    // Before the template kept its shape: 0.34 at 360 Hz, 0.56 at 256 Hz.
    EXPECT_LT(shape_difference(rate), rate == 360 ? 0.29 : 0.4) << rate << " Hz";

    ecg_mf_hr_params h;
    ecg_mf_hr_params_init(&h, rate, 20, 200, 1, 0.5, 1.1);
    int beats = 0;
    for (double v : synthetic_ecg(rate, 20.0)) {
      ecg_mf_hr(&h, v);
      beats += h.candidate != 0.0;
    }
    EXPECT_NEAR(h.value, 75.0, 1.0) << rate << " Hz";
    EXPECT_NEAR(beats, 25, 1) << rate << " Hz";  // one every 0.8 s
    ecg_mf_hr_params_free(&h);
  }
}

}  // namespace
