// Heart-rate, pulse and respiration detectors: window lengths, artefact
// periods, the ECG-to-pulse lag, the window around the last R peak and the
// older impulse detector and rate converter.
#include "fex.h"
#include "reference.h"
#include "testsupport.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Sharp R-wave-like spikes (triangles of 8 + 8 samples at 2048 Hz) every
// `period` samples, starting at `first`.
std::vector<double> spike_train(size_t n, size_t first, size_t period) {
  std::vector<double> x(n, 0.0);
  for (size_t c = first; c < n; c += period) {
    for (int d = -8; d <= 8; ++d) {
      if (c + d < n) x[c + d] = 1000.0 * (1.0 - std::abs(d) / 8.0);
    }
  }
  return x;
}

// Beats every second until 8.5 s, then silence: artefact for the first six
// seconds, the rate from the second beat on and held through the silence,
// which turns into artefact three seconds after the last beat; the same again
// after a reset.
TEST(EcgHr, RateHeldBetweenPeaksArtefactAtStartAndAfterSilence) {
  ecg_hr_params p;
  ecg_hr_params_init(&p, 2048, 1);
  auto x = spike_train(2048 * 12, 1000, 2048);
  std::fill(x.begin() + 2048 * 8 + 1024, x.end(), 0.0);
  for (int pass = 0; pass < 2; ++pass, ecg_hr_params_reset(&p)) {
    ASSERT_EQ(std::make_tuple(p.value, p.artefact, p.bpm.value), std::make_tuple(0.0, 1, 0.0));  // as after init
    std::vector<size_t> peaks;
    for (size_t t = 0; t < x.size(); ++t) {
      ecg_hr(&p, x[t]);
      if (p.peaks.value) peaks.push_back(t);
      ASSERT_EQ(p.value, peaks.size() >= 2 ? 60.0 : 0.0) << t;
      ASSERT_TRUE(p.artefact == 1 || t >= 12288) << t;
      ASSERT_TRUE(p.artefact == 0 || t != 2048 * 8 + 100) << t;
    }
    EXPECT_EQ(p.artefact, 1);  // three seconds after the last beat
    ASSERT_EQ(peaks.size(), 9u);
    for (size_t i = 0; i < peaks.size(); ++i) {  // a few samples after each top
      EXPECT_GE(peaks[i], 1000 + 2048 * i);
      EXPECT_LE(peaks[i], 1000 + 2048 * i + 8);
    }
  }
  for (size_t t = 0; t < 2048 * 7; ++t) ecg_hr(&p, x[t]);
  ecg_hr_params_reset(&p);  // from a valid rate
  EXPECT_EQ(std::make_tuple(p.value, p.artefact), std::make_tuple(0.0, 1));
  ecg_hr_params_free(&p);
  // At small rates both regressions are raised to 2 samples.
  ecg_hr_params_init(&p, 16, 0);
  EXPECT_EQ(p.peaks.regression_rise.size + p.peaks.regression_maximum.size, 4);
  ecg_hr_params_free(&p);
}

TEST(HeartDetectorsDeathTest, RatesTooLowForTheWindowsAndNegativeDelays) {
  bvp_hr_params b;
  ecg_bvp_lag_params p;
  // 40 Hz: a maximum window of trunc(1.5625) = 1 sample.
  EXPECT_DEATH(bvp_hr_params_init(&b, 40, 1), "size >= 2");
  EXPECT_DEATH(resp_rate_params_init(&b, 6, 1), "size >= 2");
  EXPECT_DEATH(ecg_bvp_lag_params_init(&p, 2048, 256, 0.05, 0, 0, 200, 1), "length >= 0.0");
}

ecg_bvp_lag_params lag_detector() {
  ecg_bvp_lag_params p;
  ecg_bvp_lag_params_init(&p, 2048, 256, 0.3, 10.0 / 4096 + 3.0 / 2048, 10.0 / 512 + 3.0 / 256, 200, 1);
  return p;
}

// Feeds one ECG impulse, then `after` ECG samples without.
void ecg_then_wait(ecg_bvp_lag_params *p, int after) {
  ecg_bvp_lag_process_ecg(p, 1.0);
  for (int i = 0; i < after; ++i) ecg_bvp_lag_process_ecg(p, 0.0);
}

// The impulse leaves the delay line 363 samples later; pulses up to 307
// samples from the expected lag are accepted.
TEST(EcgBvpLag, LagFromTheDelayedBeat) {
  for (int wait : {307, 0, 614, 615}) {
    ecg_bvp_lag_params p = lag_detector();
    EXPECT_EQ(p.artefact, 1);
    for (int i = 0; i < 100; ++i) ecg_bvp_lag_process_ecg(&p, 0.0);
    ecg_then_wait(&p, 363 + wait);
    ASSERT_EQ(p.last_ecg.value, wait);
    ASSERT_EQ(p.looking_for_bvp, 1);
    ecg_bvp_lag_process_bvp(&p, 0.0);  // no impulse: nothing happens
    EXPECT_EQ(p.artefact, 1);
    ecg_bvp_lag_process_bvp(&p, 1.0);
    EXPECT_EQ(p.artefact, wait > 614 ? 1 : 0) << wait;
    EXPECT_TRUE(wait > 614 || p.looking_for_bvp == 0) << wait;
    EXPECT_DOUBLE_EQ(p.value, wait > 614 ? 0.0 : (wait - 307) / 2048.0) << wait;  // held when refused
    ecg_bvp_lag_params_free(&p);
  }
}

TEST(EcgBvpLag, PulseWithoutBeatAndBeatWithoutPulse) {
  ecg_bvp_lag_params p = lag_detector();
  ecg_bvp_lag_process_bvp(&p, 1.0);  // before any delayed ECG impulse
  EXPECT_EQ(p.artefact, 1);
  for (int i = 0; i < 10; ++i) ecg_bvp_lag_process_ecg(&p, 0.0);
  ecg_then_wait(&p, 363 + 100);
  ecg_bvp_lag_process_bvp(&p, 1.0);
  EXPECT_EQ(p.artefact, 0);
  // The next beat goes unanswered: artefact once 615 samples have passed.
  ecg_then_wait(&p, 363 + 614);
  EXPECT_EQ(p.artefact, 0);
  ecg_bvp_lag_process_ecg(&p, 0.0);
  EXPECT_EQ(p.artefact, 1);
  ecg_bvp_lag_params_reset(&p);
  EXPECT_EQ(p.last_ecg.value, -1);
  EXPECT_EQ(p.looking_for_bvp, 0);
  EXPECT_EQ(p.value, 0.0);
  ecg_bvp_lag_params_free(&p);
  ecg_bvp_lag_params_init(&p, 2048, 256, 0.3, 10.0 / 4096, 10.0 / 512, 200, 0);
  EXPECT_EQ(p.ecg_delayed.size, 342);  // without the extra delays
  ecg_bvp_lag_params_free(&p);
}

TEST(LastEcgCenter, CapturesTheWindowAroundEachPeak) {
  const testsupport::TempDir dir;
  const testsupport::InFolder in(dir.path());
  const int f = 2048;
  last_ecg_center_params p;
  CaptureStderr();
  last_ecg_center_params_init(&p, f, 1.0 / 6, 1.0 / 3);
  EXPECT_EQ(GetCapturedStderr(), "last_ecg_center_params_init: size = 1024\nlast_ecg_center_params_init: size: 1024, "
                                 "inherent_lag = 0.002441, samples_from_peak_to_window_end: 682 [512 5]\n");

  // A ramp riding on the spikes makes every captured sample identifiable.
  auto x = spike_train(f * 11, 700, 1800);
  for (size_t t = 0; t < x.size(); ++t) x[t] += t * 1e-3;
  std::string expected_debug;
  for (int pass = 0; pass < 2; ++pass, last_ecg_center_params_reset(&p)) {  // a reset forgets the window, as init does
    ASSERT_EQ(std::vector<int>({p.age_in_samples, p.artefact, p.last_peak.value, p.last_artefact.value}),
              std::vector<int>({-1, 1, -1, -1}));
    std::vector<size_t> detections;
    int captures = 0;
    size_t captured_at = 0;
    for (size_t t = 0; t < x.size(); ++t) {
      last_ecg_center(&p, x[t]);
      if (p.hr.bpm_imp.value != 0) detections.push_back(t);
      ASSERT_TRUE(t >= 12288 || (p.artefact == 1 && p.age_in_samples == -1)) << t;  // from init on
      if (p.age_in_samples == 0) {
        ++captures;
        captured_at = t;
        ASSERT_EQ(p.artefact, 0);
        // Captured 682 samples after the detection, covering the last 1024.
        ASSERT_FALSE(detections.empty());
        EXPECT_EQ(t, detections.back() + 682);
        for (int i = 0; i < p.size; ++i) {
          ASSERT_EQ(p.data[i], x[t + 1 - p.size + i]) << i;
          expected_debug += std::to_string(p.data[i]) + " ";
        }
        expected_debug += "\n";
      } else if (p.age_in_samples > 0) {
        ASSERT_EQ(t - captured_at, static_cast<size_t>(p.age_in_samples));
      }
    }
    EXPECT_GE(captures, 4);
  }
  last_ecg_center_params_free(&p);
  EXPECT_EQ(testsupport::read_file("last_ecg_center.debug.ascii"), expected_debug);
}

TEST(HeartImpulse, NeverFiresWithinTheMinimalDistance) {
  heart_impulse_params p;
  heart_impulse_params_init(&p, 256, 200, 0.99, 0.5);
  // A signal that is high every other sample would fire all the time.
  std::vector<int> fired;
  for (int t = 0; t < 2000; ++t) {
    heart_impulse(t % 2 ? 10.0 : 0.0, &p);
    if (p.impulse) fired.push_back(t);
  }
  ASSERT_GE(fired.size(), 10u);
  for (size_t i = 1; i < fired.size(); ++i) {
    EXPECT_GE(fired[i] - fired[i - 1], 77) << i;
    EXPECT_LE(fired[i] - fired[i - 1], 78) << i;
  }
  // Once per beat of a pulse train.
  heart_impulse_params_init(&p, 256, 200, 0.995, 0.6);
  int beats = 0;
  for (double v : ref::bumps(256 * 20, ref::regular(100, 256, 256 * 20), 10, 4, 0.0, 0)) {
    heart_impulse(v, &p);
    beats += p.impulse;
  }
  EXPECT_EQ(beats, 20);
}

TEST(Pulse, RateFromTheLastTwoImpulses) {
  pulse_params p;
  pulse_params_init(&p, 4);
  std::vector<double> out;
  for (int i : {1, 0, 0, 1, 0}) {
    pulse(i, &p);
    out.push_back(p.pulse);
  }
  EXPECT_EQ(out, (std::vector<double>{240, 240, 240, 80, 80}));
  pulse_params_init(&p, 4);
  pulse(0, &p);
  EXPECT_EQ(p.pulse, 0.0);
}

}  // namespace
