// The rate and lag detectors on synthetic physiological signals whose beats
// and breaths are known: ECG at 2048 Hz, pulse and respiration taken every
// eighth frame (256 Hz), as the signal module feeds them.
#include "fex.h"
#include "physio.h"
#include "testsupport.h"

namespace {

struct Detection {
  double t;      // seconds
  double value;  // detector output at the impulse
  int artefact;
};

struct DetectorRun {
  std::vector<Detection> ecg, bvp, resp, lag;
  std::vector<double> r_times, bvp_times, breath_peaks;
};

// Generates `seconds` of signal and runs the four detectors on it.
DetectorRun run_detectors(const physio_params &params, double seconds) {
  physio_generator g;
  physio_generator_init(&g, &params);
  ecg_hr_params ecg;
  ecg_hr_params_init(&ecg, 2048, 1);
  bvp_hr_params bvp;
  bvp_hr_params_init(&bvp, 256, 1);
  resp_rate_params resp;
  resp_rate_params_init(&resp, 256, 1);
  ecg_bvp_lag_params lag;
  ecg_bvp_lag_params_init(&lag, 2048, 256, 0.3, ecg.inherent_lag, bvp.inherent_lag, 200, 1);
  DetectorRun r;
  const long n = static_cast<long>(seconds * 2048);
  for (long k = 0; k < n; ++k) {
    double v[CORVIA_NUM_RAW_SIGNALS];
    physio_generator_next(&g, v);
    const double t = k / 2048.0;
    ecg_hr(&ecg, v[PHYSIO_ECG]);
    ecg_bvp_lag_process_ecg(&lag, ecg.peaks.value);
    if (ecg.peaks.value) r.ecg.push_back({t, ecg.value, ecg.artefact});
    if (k % 8 != 0) continue;
    bvp_hr(&bvp, v[PHYSIO_BVP]);
    resp_rate(&resp, v[PHYSIO_RESP]);
    ecg_bvp_lag_process_bvp(&lag, bvp.peaks.value);
    if (bvp.peaks.value) {
      r.bvp.push_back({t, bvp.value, bvp.artefact});
      r.lag.push_back({t, lag.value, lag.artefact});
    }
    if (resp.peaks.value) r.resp.push_back({t, resp.value, resp.artefact});
  }
  for (const auto &b : g.beats) {
    r.r_times.push_back(b.r_time);
    r.bvp_times.push_back(b.bvp_peak_time);
  }
  for (const auto &b : g.breaths) r.breath_peaks.push_back(b.peak_time);
  ecg_hr_params_free(&ecg);
  bvp_hr_params_free(&bvp);
  resp_rate_params_free(&resp);
  ecg_bvp_lag_params_free(&lag);
  physio_generator_free(&g);
  return r;
}

// Index of the last event at or before t (-1 for none).
int last_at_or_before(const std::vector<double> &times, double t) {
  return static_cast<int>(std::upper_bound(times.begin(), times.end(), t) - times.begin()) - 1;
}

// Every detection after `settle` seconds must have cleared the artefact
// flag, follow its generated event within `max_delay` seconds, and give the
// event's rate (from its interval to the event before) within `tolerance`;
// every generated event in between is detected exactly once. Returns the
// per-event errors.
std::vector<double> check_rates(const std::vector<Detection> &detections, const std::vector<double> &events,
                                double settle, double end, double max_delay, double tolerance, const char *what) {
  std::vector<double> errors;
  std::vector<int> hits(events.size(), 0);
  for (const auto &d : detections) {
    if (d.t < settle) continue;
    const int i = last_at_or_before(events, d.t);
    EXPECT_GE(i, 1) << what << " at " << d.t;
    if (i < 1) continue;
    EXPECT_LE(d.t - events[i], max_delay) << what << " at " << d.t;
    hits[i]++;
    EXPECT_EQ(d.artefact, 0) << what << " at " << d.t;
    const double rate = 60.0 / (events[i] - events[i - 1]);
    errors.push_back(d.value - rate);
    EXPECT_NEAR(d.value, rate, tolerance) << what << " at " << d.t;
  }
  for (size_t i = 0; i < events.size(); ++i)
    EXPECT_TRUE(events[i] <= settle || events[i] >= end - max_delay || hits[i] == 1) << what << " event " << i;
  return errors;
}

physio_params base_params(uint64_t seed) {
  physio_params p;
  physio_params_init(&p);
  p.seed = seed;
  return p;
}

// Heart rates from 50 to 180 beats per minute, beat by beat, in a sweep
// with the generator's beat-to-beat variability.
TEST(PhysioSignals, EcgHeartRateWithinOneBpm) {
  physio_params p = base_params(7);
  p.hr_schedule = {{6, 50}, {36, 180}};
  const DetectorRun r = run_detectors(p, 38);
  const auto errors = check_rates(r.ecg, r.r_times, 6.5, 38, 0.01, 1.0, "ecg");
  EXPECT_GE(errors.size(), 55u);
}

// The pulse is sampled at 256 Hz, where one sample of timing is 0.5 bpm at
// 90 and 2.1 bpm at 180 beats per minute, and the noise on the flat top of
// the pulse wave moves the detection by a sample or two. Each beat is held
// to 1 bpm plus three samples of timing; the rate averaged over eight
// beats, in which the timing errors cancel, to 1 bpm.
// The lag detector reports the generated pulse lag minus the expected
// 0.3 s. The pulse detector fires about two samples later than its nominal
// lag of five samples, because the pulse wave falls more slowly than it
// rises, so the lag reads high by 6 to 8 ms on average.
TEST(PhysioSignals, PulseHeartRateAndEcgToPulseLag) {
  for (double rate : {50.0, 90.0, 130.0, 180.0}) {
    for (double pulse_lag : {0.2, 0.25, 0.33}) {
      physio_params p = base_params(static_cast<uint64_t>(rate + pulse_lag * 1000));
      p.heart_rate = rate;
      p.pulse_lag = pulse_lag;
      const DetectorRun r = run_detectors(p, 17);
      const double tolerance = 1.0 + 3 * rate * rate / (60.0 * 256);
      const auto errors = check_rates(r.bvp, r.bvp_times, 7, 17, 0.05, tolerance, "bvp");
      ASSERT_GE(errors.size(), 8u);
      for (size_t i = 0; i + 8 <= errors.size(); ++i) {
        double sum = 0;
        for (size_t j = i; j < i + 8; ++j) sum += errors[j];
        EXPECT_NEAR(sum / 8, 0.0, 1.0) << rate << " beats " << i;
      }
      double sum = 0;
      int n = 0;
      for (const auto &d : r.lag) {
        if (d.t < 7) continue;
        const int i = last_at_or_before(r.bvp_times, d.t);
        ASSERT_GE(i, 0);
        ASSERT_EQ(d.artefact, 0) << d.t;
        const double err = d.value - (r.bvp_times[i] - r.r_times[i] - 0.3);
        EXPECT_GT(err, -0.005) << pulse_lag << " " << rate << " " << d.t;
        EXPECT_LT(err, 0.020) << pulse_lag << " " << rate << " " << d.t;
        sum += err;
        ++n;
      }
      ASSERT_GE(n, 6);
      EXPECT_GT(sum / n, 0.003) << pulse_lag << " " << rate;
      EXPECT_LT(sum / n, 0.010) << pulse_lag << " " << rate;
    }
  }
}

// Breathing from 7 to 30 per minute, breath by breath, after the artefact
// period of 2 * trunc(60 * 256 / 7) samples (17.1 s). The detector flags
// every breath slower than 7 or faster than 30 per minute as artefact, so
// the generated rates keep a little inside these limits (with a small
// breath-to-breath variability).
TEST(PhysioSignals, RespirationRateWithinOneBreathPerMinute) {
  physio_params p = base_params(300);
  p.resp_variability = 0.01;
  p.resp_schedule = {{17, 7.2}, {60, 29}};
  const DetectorRun r = run_detectors(p, 62);
  EXPECT_GE(check_rates(r.resp, r.breath_peaks, 18, 62, 0.4, 1.0, "resp").size(), 12u);
}

// Breaths beyond the detector's limits are artefact: slower than 7 per
// minute (no peak for trunc(60 * 256 / 7) samples) and faster than 30.
TEST(PhysioSignals, RespirationOutsideTheLimitsIsArtefact) {
  for (double rate : {6.0, 34.0}) {
    physio_params p = base_params(400);
    p.resp_rate = rate;
    p.resp_variability = 0.01;
    const DetectorRun r = run_detectors(p, 40);
    int late = 0;
    for (const auto &d : r.resp) {
      if (d.t < 18) continue;
      ++late;
      EXPECT_EQ(d.artefact, 1) << rate << " " << d.t;
      EXPECT_EQ(d.value, rate < 7 ? 7.0 : 30.0) << rate << " " << d.t;
    }
    EXPECT_GE(late, 2) << rate;
  }
}

}  // namespace
