// The signal module: sampling of the slow signals, disconnect detection
// with its one-second hold, the derived signals with their detector resets,
// against detectors run directly, and the selection of signals.
#include <array>

#include "corvia.h"
#include "fex.h"
#include "recording.h"
#include "testsupport.h"

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

// Zeros of one signal in its own samples (every frame for ECG and EMG, every
// eighth for the others). Four in a row disconnect it: NaN from the fourth (as
// the output lags by three samples) until a second after the last zero has
// come out, then the value of three samples before. Fewer never disconnect;
// zeros in the start-up hold extend it; the other signals go on as before.
TEST(SignalDisconnect, FourZerosThenOneSecondHold) {
  const struct {
    int signal, from, count;
  } cases[] = {{0, 1000, 4}, {0, 3000, 4}, {0, 2500, 3}, {2, 300, 3}, {4, 500, 10}};
  for (const auto &c : cases) {
    auto frames = ramp_frames(8 * 1200);
    for (int j = c.from; j < c.from + c.count; ++j) frames[(c.signal < 2 ? 1 : 8) * j].data[c.signal] = 0.0f;
    trace t = run(frames, 0);
    for (int i = 0; i < CORVIA_NUM_RAW_SIGNALS; ++i) {
      const int repeat = i < 2 ? 1 : 8, second = 2048 / repeat;
      for (int j = 0; j * repeat < static_cast<int>(frames.size()); ++j) {
        const double v = t.values[j * repeat][i];
        const bool nan = j < second + 2 || (i == c.signal && c.count >= 4 && j >= c.from + 3 &&
                                            j < c.from + c.count + 2 + second);
        ASSERT_EQ(std::isnan(v), nan) << "zeros of " << c.signal << " at " << c.from << ": " << i << " " << j;
        if (!nan) {
          ASSERT_EQ(v, corvia_make_human_readable(frames[(j - 3) * repeat].data[i], i)) << i << " " << j;
        }
      }
    }
  }
}

// After a disconnect the module's ECG detector is in the same state as a
// fresh detector fed with the module's ECG values from their return on.
TEST(SignalDerived, EcgDetectorResetWhenSourceReturns) {
  auto frames = rec::physio_frames(rec::quiet_params(), 2048 * 12);
  for (int k = 3000; k <= 3003; ++k) frames[k].data[0] = 0.0f;
  corvia_signals s;
  corvia_signals_init(&s, 0, 0);
  ecg_hr_params ref;
  ecg_hr_params_init(&ref, 2048, 0);
  int rates = 0;  // past the restarted detector's artefact period
  for (int k = 0; k < static_cast<int>(frames.size()); ++k) {
    corvia_signals_process_sample(&s, &frames[k]);
    if (k >= 3003 && k <= 5053) {
      ASSERT_TRUE(std::isnan(s.values[6])) << k;
    } else if (k >= 5054) {
      ecg_hr(&ref, s.values[0]);
      ASSERT_EQ(s.ecg_hr.value, ref.value) << k;
      ASSERT_EQ(s.ecg_hr.artefact, ref.artefact) << k;
      ASSERT_TRUE(ref.artefact ? std::isnan(s.values[6]) : s.values[6] == ref.value) << k;
      rates += !ref.artefact;
    }
  }
  EXPECT_GT(rates, 0);
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

bool same(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

// Selecting signals: each signal worked out alone (with what it is derived
// from) takes exactly the values of a full run, through disconnects and
// detector resets, with both ECG detectors; signals outside the selection
// have no value.
TEST(SignalSelection, EachSignalAloneMatchesTheFullRun) {
  physio_params p = rec::quiet_params();
  p.hrv = 0.05;
  p.ecg_noise = 20;
  // Disconnects of each derived signal's sources, and of a slow signal.
  p.disconnects = {{0, 6.0, 7.5}, {4, 12.0, 13.0}, {5, 17.0, 18.5}, {2, 3.0, 4.0}};
  const std::vector<corvia_data> frames = rec::physio_frames(p, 24 * 2048);
  // What each signal is derived from: all else stays without a value.
  const std::vector<int> sources[CORVIA_NUM_SIGNALS] = {
      {0}, {1}, {2}, {3}, {4}, {5}, {6, 0}, {7, 4}, {8, 6, 7, 0, 4}, {9, 5}};
  unsigned unrelated[CORVIA_NUM_SIGNALS];
  for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i) {
    unrelated[i] = (1u << CORVIA_NUM_SIGNALS) - 1;
    for (int j : sources[i]) unrelated[i] &= ~(1u << j);
  }
  for (int detector : {CORVIA_ECG_DETECTOR_ECG_HR, CORVIA_ECG_DETECTOR_QRS}) {
    for (int ignore = 0; ignore <= 1; ++ignore) {
      SCOPED_TRACE(testing::Message() << "detector " << detector << " ignore " << ignore);
      corvia_signals full, alone[CORVIA_NUM_SIGNALS];
      corvia_signals_init_with_detector(&full, ignore, 1, detector);
      for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i) {
        corvia_signals_init_with_detector(&alone[i], ignore, 1, detector);
        corvia_signals_select(&alone[i], 1u << i);
      }
      int nan_values = 0;
      for (size_t k = 0; k < frames.size(); ++k) {
        corvia_signals_process_sample(&full, &frames[k]);
        for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i) {
          corvia_signals *a = &alone[i];
          corvia_signals_process_sample(a, &frames[k]);
          ASSERT_EQ(a->has_value[i], full.has_value[i]) << "signal " << i << " frame " << k;
          ASSERT_TRUE(same(a->values[i], full.values[i])) << "signal " << i << " frame " << k;
          for (int j = 0; j < CORVIA_NUM_SIGNALS; ++j)
            ASSERT_TRUE(!(unrelated[i] >> j & 1) || !a->has_value[j]) << i << " " << j;
          nan_values += std::isnan(full.values[i]);
        }
      }
      EXPECT_TRUE(ignore || nan_values > 0);  // the disconnects did reach the detectors
      corvia_signals_free(&full);
      for (auto &a : alone) corvia_signals_free(&a);
    }
  }
}

}  // namespace
