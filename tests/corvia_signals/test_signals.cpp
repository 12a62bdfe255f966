// The signal module: sampling of the slow signals, disconnect detection
// with its one-second hold, and the derived signals with their detector
// resets, against detectors run directly.
#include <array>
#include <cmath>
#include <vector>

#include "corvia.h"
#include "fex.h"
#include "gtest/gtest.h"
#include "recording.h"

namespace {

// Runs the frames through a fresh module and records values and has_value
// of every signal after each frame.
struct trace {
  std::vector<std::array<double, CORVIA_NUM_SIGNALS>> values;
  std::vector<std::array<int, CORVIA_NUM_SIGNALS>> has;
};

trace run(const std::vector<corvia_data> &frames, int ignore_disconnect) {
  corvia_signals s;
  corvia_signals_init(&s, ignore_disconnect, 0);
  trace t;
  for (const auto &f : frames) {
    corvia_signals_process_sample(&s, &f);
    t.values.emplace_back();
    t.has.emplace_back();
    for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i) t.values.back()[i] = s.values[i], t.has.back()[i] = s.has_value[i];
  }
  corvia_signals_free(&s);
  return t;
}

// Raw value of frame k in the ramp recordings: never 0, distinct per frame.
float ramp(int k, int c) { return static_cast<float>(k + 1 + 100000 * c); }

std::vector<corvia_data> ramp_frames(int n) {
  return rec::make_frames(n, [](int k, float *d) {
    for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; ++c) d[c] = ramp(k, c);
  });
}

TEST(SignalSampling, SlowSignalsEveryEighthFrameInfinityBetween) {
  for (int ignore = 0; ignore <= 1; ++ignore) {
    trace t = run(ramp_frames(100), ignore);
    for (int k = 0; k < 100; ++k) {
      const bool slow = k % 8 == 0;
      for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i) {
        const bool fast = i == 0 || i == 1 || i == 6;
        ASSERT_EQ(t.has[k][i], fast || slow) << k << " " << i;
        ASSERT_EQ(t.values[k][i] == INFINITY, !fast && !slow) << k << " " << i;
      }
    }
  }
}

std::vector<corvia_data> ecg_zeros(std::vector<corvia_data> frames, int from, int to_inclusive) {
  for (int k = from; k <= to_inclusive; ++k) frames[k].data[0] = 0.0f;
  return frames;
}

// Four zeros in a row disconnect ECG: NaN from the fourth (as the output
// lags by three frames) until a second after the last zero, then the value
// of three frames before. Zeros during the start-up hold extend it.
TEST(SignalDisconnect, FourZerosThenOneSecondHold) {
  for (int zeros_from : {1000, 3000}) {
    const int n = zeros_from + 2300, nan_from = zeros_from + 3, valid_from = zeros_from + 2054;
    auto frames = ecg_zeros(ramp_frames(n), zeros_from, zeros_from + 3);
    trace t = run(frames, 0);
    for (int k = std::min(nan_from, 2050); k < n; ++k) {
      const bool nan = k >= nan_from && k < valid_from;
      ASSERT_TRUE(nan ? std::isnan(t.values[k][0]) : k < 2050 || t.values[k][0] == ramp(k - 3, 0)) << k;
      ASSERT_TRUE(k < 2050 || !std::isnan(t.values[k][1])) << k;  // EMG was never touched
    }
  }
}

TEST(SignalDisconnect, ThreeZerosNeverDisconnect) {
  auto frames = ecg_zeros(ramp_frames(3000), 2500, 2502);
  // A slow signal too: three zero samples of SC (own samples 300..302).
  for (int j = 300; j <= 302; ++j) frames[8 * j].data[2] = 0.0f;
  trace t = run(frames, 0);
  for (int k = 2050; k < 3000; ++k) ASSERT_EQ(t.values[k][0], frames[k - 3].data[0]) << k;
  for (int j = 258; 8 * j < 3000; ++j) ASSERT_FALSE(std::isnan(t.values[8 * j][2])) << j;
  EXPECT_EQ(t.values[8 * 303][2], -0.0);  // the zero, three samples later
}

TEST(SignalDisconnect, SlowSignalHoldIs256OwnSamples) {
  auto frames = ramp_frames(8 * 1200);
  for (int j = 500; j < 510; ++j) frames[8 * j].data[4] = 0.0f;  // BVP
  trace t = run(frames, 0);
  // Disconnected at own sample 503; zeros are delayed up to 512; the hold
  // ends 256 samples after the last disconnected sample 512.
  EXPECT_FALSE(std::isnan(t.values[8 * 502][4]));
  for (int j = 503; j < 512 + 256; ++j) ASSERT_TRUE(std::isnan(t.values[8 * j][4])) << j;
  EXPECT_EQ(t.values[8 * 768][4], frames[8 * 765].data[4]);
}

// After a disconnect the module's ECG detector is in the same state as a
// fresh detector fed with the module's ECG values from their return on.
TEST(SignalDerived, EcgDetectorResetWhenSourceReturns) {
  auto frames = ecg_zeros(rec::physio_frames(rec::quiet_params(), 2048 * 12), 3000, 3003);
  corvia_signals s;
  corvia_signals_init(&s, 0, 0);
  ecg_hr_params ref;
  ecg_hr_params_init(&ref, 2048, 0);
  int first_valid = -1;
  for (int k = 0; k < static_cast<int>(frames.size()); ++k) {
    corvia_signals_process_sample(&s, &frames[k]);
    if (k >= 3003 && k <= 5053) {
      ASSERT_TRUE(std::isnan(s.values[0]) && std::isnan(s.values[6])) << k;
    } else if (k >= 5054) {
      ASSERT_FALSE(std::isnan(s.values[0]));
      ecg_hr(&ref, s.values[0]);
      ASSERT_EQ(s.ecg_hr.value, ref.value) << k;
      ASSERT_EQ(s.ecg_hr.artefact, ref.artefact) << k;
      ASSERT_TRUE(ref.artefact ? std::isnan(s.values[6]) : s.values[6] == ref.value) << k;
      if (!ref.artefact && first_valid < 0) first_valid = k;
    }
  }
  // The restarted detector stays in its artefact state for at least 12288
  // samples, and then gives the heart rate.
  ASSERT_GT(first_valid, 0);
  EXPECT_GE(first_valid - 5054, 12288);
  ecg_hr_params_free(&ref);
  corvia_signals_free(&s);
}

TEST(SignalDerived, NaNInBvpIsNoDisconnectButResetsPulseDetectors) {
  auto frames = rec::physio_frames(rec::quiet_params(), 2048 * 4);
  const int j_nan = 400;  // own BVP sample (frame 3200)
  frames[8 * j_nan].data[4] = NAN;
  corvia_signals s;
  corvia_signals_init(&s, 0, 0);
  bvp_hr_params ref;
  bvp_hr_params_init(&ref, 256, 0);
  for (int k = 0; k < static_cast<int>(frames.size()); ++k) {
    corvia_signals_process_sample(&s, &frames[k]);
    const int j = k / 8;
    if (k % 8) continue;
    if (j == j_nan + 3) {
      EXPECT_TRUE(std::isnan(s.values[4]) && std::isnan(s.values[7]));
      EXPECT_EQ(s.needs_reset[7] + s.needs_reset[8], 2);
      EXPECT_EQ(s.is_disconnected[4], 0);
    } else if (j > j_nan + 3) {
      // No hold: the signal is valid at once, the detector restarted.
      ASSERT_FALSE(std::isnan(s.values[4])) << j;
      EXPECT_EQ(s.needs_reset[7], 0);
      bvp_hr(&ref, s.values[4]);
      ASSERT_EQ(s.bvp_hr.value, ref.value) << j;
      ASSERT_EQ(s.bvp_hr.artefact, ref.artefact) << j;
    }
  }
  bvp_hr_params_free(&ref);
  corvia_signals_free(&s);
}

TEST(SignalDerived, IgnoreDisconnectFeedsDetectorsDirectly) {
  auto frames = rec::physio_frames(rec::quiet_params(), 2048 * 10);
  ecg_hr_params e;
  bvp_hr_params b;
  resp_rate_params r;
  ecg_hr_params_init(&e, 2048, 1);
  bvp_hr_params_init(&b, 256, 1);
  resp_rate_params_init(&r, 256, 1);
  corvia_signals s;
  corvia_signals_init(&s, 1, 1);
  for (int k = 0; k < static_cast<int>(frames.size()); ++k) {
    corvia_signals_process_sample(&s, &frames[k]);
    ecg_hr(&e, corvia_make_human_readable(frames[k].data[0], 0));
    ASSERT_EQ(s.values[6], e.value) << k;
    if (k % 8 == 0) {
      bvp_hr(&b, corvia_make_human_readable(frames[k].data[4], 4));
      resp_rate(&r, corvia_make_human_readable(frames[k].data[5], 5));
      ASSERT_EQ(s.values[7], b.value) << k;
      ASSERT_EQ(s.values[9], r.value) << k;
      ASSERT_FALSE(std::isnan(s.values[8])) << k;  // artefacts not marked
    }
  }
  // The lag detector got no disconnect delay in its inherent lags.
  ecg_bvp_lag_params lag;
  ecg_bvp_lag_params_init(&lag, 2048, 256, 0.3, e.inherent_lag, b.inherent_lag, 200, 1);
  EXPECT_EQ(lag.ecg_delayed.size, s.peaklag.ecg_delayed.size);
  ecg_bvp_lag_params_free(&lag);
  corvia_signals_free(&s);
  ecg_hr_params_free(&e);
  bvp_hr_params_free(&b);
  resp_rate_params_free(&r);
}

}  // namespace
