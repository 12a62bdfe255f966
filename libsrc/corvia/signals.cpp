// The signal catalogue and the per-frame processing that turns raw frames
// into the six raw signals (with disconnect detection) and the four derived
// signals (heart rates, ECG-to-pulse lag, respiration rate).
#include <cmath>
#include <limits>

#include "common.h"
#include "corvia.h"

const char *const corvia_raw_signal_names[CORVIA_NUM_RAW_SIGNALS] = {
    "ECG", "EMG", "SC", "Temp", "BVP", "Resp"};
const char *const corvia_derived_signal_names[CORVIA_NUM_SIGNALS] = {
    "ECG",    "EMG",    "SC",          "Temp",     "BVP",
    "Resp",   "ECG-HR", "BVP-HR",      "ECG-BVP-Lag", "Resp-rate"};
const int corvia_signal_samplerepeat[CORVIA_NUM_RAW_SIGNALS] = {1, 1, 8,
                                                                8, 8, 8};
const int corvia_signal_sampleoftener[CORVIA_NUM_RAW_SIGNALS] = {8, 8, 1,
                                                                 1, 1, 1};
const int corvia_derived_signal_sampleoftener[CORVIA_NUM_SIGNALS] = {
    8, 8, 1, 1, 1, 1, 8, 1, 1, 1};

namespace {

constexpr double kNoSample = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Delay of the disconnect detection, in the signal's own samples.
constexpr int kDetectionDelay = 3;

enum {
  SIG_ECG = 0,
  SIG_BVP = 4,
  SIG_RESP = 5,
  SIG_ECG_HR = 6,
  SIG_BVP_HR = 7,
  SIG_LAG = 8,
  SIG_RESP_RATE = 9
};

constexpr unsigned bit(int signal) { return 1u << signal; }
constexpr unsigned kAllSignals = (1u << CORVIA_NUM_SIGNALS) - 1;

// Whether a frame counter (0 ... 8) falls on a signal's sample: counter mod
// repeat is 0, without a division for the repeats of 1 and 8.
inline bool sampled(int counter, int repeat) {
  if (repeat == 1) return true;
  if (repeat == 8) return (counter & 7) == 0;
  return counter % repeat == 0;
}

// One raw signal's sample: physical value, NaN while disconnected or in the
// hold after a disconnect.
void process_raw(corvia_signals *s, int c, double x) {
  if (s->ignore_disconnect) {
    s->values[c] = corvia_make_human_readable(x, c);
    return;
  }
  impulses_lag(&s->last_nonzeros[c], x != 0.0 ? 1.0 : 0.0);  // NaN != 0
  delay_params *d = &s->delayed_signals[c];
  delay(d, x);
  if (delay_params_is_valid(d) && d->value != 0.0) {
    s->is_disconnected[c] = 0;
  } else if (s->last_nonzeros[c].value > NUM_ZERO_DISCONNECT - 1) {
    PRECONDITION(d->value == 0.0);
    s->is_disconnected[c] = 1;
  }
  impulses_lag(&s->last_disconnected[c], s->is_disconnected[c] ? 1.0 : 0.0);
  if (!s->is_disconnected[c] &&
      s->last_disconnected[c].value >= corvia_signal_sampleoftener[c] * 256)
    s->values[c] = corvia_make_human_readable(d->value, c);
  else
    s->values[c] = kNaN;
}

// The lag detector starts afresh, with no BVP peak held back.
void reset_lag(corvia_signals *s) {
  ecg_bvp_lag_params_reset(&s->peaklag);
  delay_params_reset(&s->bvp_impulses);
}

// Feeds one ECG sample to the chosen detector: its rate, artefact flag and
// beat impulse.
struct ecg_beat {
  double value;
  int artefact;
  double impulse;
};

ecg_beat feed_ecg(corvia_signals *s, double x) {
  if (s->ecg_detector == CORVIA_ECG_DETECTOR_QRS) {
    qrs(&s->qrs, x);
    return {s->qrs.value, s->qrs.artefact, static_cast<double>(s->qrs.beat)};
  }
  ecg_hr(&s->ecg_hr, x);
  return {s->ecg_hr.value, s->ecg_hr.artefact,
          static_cast<double>(s->ecg_hr.peaks.value)};
}

void reset_ecg(corvia_signals *s) {
  if (s->ecg_detector == CORVIA_ECG_DETECTOR_QRS) {
    qrs_params_reset(&s->qrs);
  } else {
    ecg_hr_params_reset(&s->ecg_hr);
  }
}

// The BVP peak impulse as the lag detector gets it: held back with the QRS
// detector (no peak before the hold has filled).
double bvp_impulse(corvia_signals *s) {
  delay(&s->bvp_impulses, s->bvp_hr.peaks.value);
  if (s->bvp_impulses.size == 0) return s->bvp_impulses.value;
  return delay_params_is_valid(&s->bvp_impulses) ? s->bvp_impulses.value
                                                 : 0.0;
}

}  // namespace

void corvia_signals_init(corvia_signals *signals, int ignore_disconnect,
                         int repair) {
  corvia_signals_init_with_detector(signals, ignore_disconnect, repair,
                                    CORVIA_ECG_DETECTOR_ECG_HR);
}

void corvia_signals_init_with_detector(corvia_signals *signals,
                                       int ignore_disconnect, int repair,
                                       int ecg_detector) {
  PRECONDITION(signals != nullptr);
  PRECONDITION(ecg_detector == CORVIA_ECG_DETECTOR_ECG_HR ||
               ecg_detector == CORVIA_ECG_DETECTOR_QRS);
  corvia_signals *s = signals;
  s->ignore_disconnect = ignore_disconnect ? 1 : 0;
  s->ecg_detector = ecg_detector;
  const double ecg_rate = CORVIA_FRAMES_PER_SECOND / corvia_signal_samplerepeat[SIG_ECG];
  const double bvp_rate = CORVIA_FRAMES_PER_SECOND / corvia_signal_samplerepeat[SIG_BVP];
  const double resp_rate_hz =
      CORVIA_FRAMES_PER_SECOND / corvia_signal_samplerepeat[SIG_RESP];
  s->samples_got = 0;
  ecg_hr_params_init(&s->ecg_hr, ecg_rate, repair);
  bvp_hr_params_init(&s->bvp_hr, bvp_rate, repair);
  resp_rate_params_init(&s->resp_rate, resp_rate_hz, repair);

  qrs_params_init(&s->qrs, ecg_rate);
  double ecg_lag = s->ecg_hr.inherent_lag;
  double bvp_lag = s->bvp_hr.inherent_lag;
  int bvp_hold = 0;
  if (ecg_detector == CORVIA_ECG_DETECTOR_QRS) {
    // The lag detector delays the ECG beats; here they come later than the
    // BVP peaks, so the BVP peaks wait as long (in whole BVP samples).
    ecg_lag = s->qrs.delay / ecg_rate;
    bvp_hold = static_cast<int>(std::ceil(ecg_lag * bvp_rate));
    bvp_lag += bvp_hold / bvp_rate;
  }
  delay_params_init(&s->bvp_impulses, bvp_hold);
  if (!s->ignore_disconnect) {
    ecg_lag += kDetectionDelay / ecg_rate;
    bvp_lag += kDetectionDelay / bvp_rate;
  }
  ecg_bvp_lag_params_init(&s->peaklag, ecg_rate, bvp_rate, 0.3, ecg_lag,
                          bvp_lag, 200, repair);

  for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; ++c) {
    delay_params_init(&s->delayed_signals[c], kDetectionDelay);
    impulses_lag_params_init(&s->last_disconnected[c]);
    impulses_lag(&s->last_disconnected[c], 1.0);
    impulses_lag_params_init(&s->last_nonzeros[c]);
    impulses_lag(&s->last_nonzeros[c], 1.0);
    for (int k = 0; k < NUM_ZERO_DISCONNECT; ++k)
      impulses_lag(&s->last_nonzeros[c], 0.0);
    PRECONDITION(s->last_nonzeros[c].value == NUM_ZERO_DISCONNECT);
    s->is_disconnected[c] = 1;
  }
  for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i) {
    s->needs_reset[i] = 0;
    s->values[i] = kNoSample;
    s->has_value[i] = 0;
  }
  s->computed = kAllSignals;
}

void corvia_signals_select(corvia_signals *signals, unsigned wanted) {
  PRECONDITION(signals != nullptr);
  unsigned w = wanted & kAllSignals;
  if (w & bit(SIG_LAG)) w |= bit(SIG_ECG_HR) | bit(SIG_BVP_HR);
  if (w & bit(SIG_ECG_HR)) w |= bit(SIG_ECG);
  if (w & bit(SIG_BVP_HR)) w |= bit(SIG_BVP);
  if (w & bit(SIG_RESP_RATE)) w |= bit(SIG_RESP);
  signals->computed = w;
}

void corvia_signals_process_sample(corvia_signals *signals,
                                   const corvia_data *sample) {
  PRECONDITION(signals != nullptr && sample != nullptr);
  corvia_signals *s = signals;
  const bool checked = !s->ignore_disconnect;
  const unsigned computed = s->computed;
  // The lag detector's inputs are fed only when the lag is worked out.
  const bool lag = (computed & bit(SIG_LAG)) != 0;

  // Unrolled, so that the tables above are read at compile time.
#pragma GCC unroll 6
  for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; ++c) {
    if (!(computed & bit(c)) ||
        !sampled(s->samples_got, corvia_signal_samplerepeat[c])) {
      s->has_value[c] = 0;
      s->values[c] = kNoSample;
    } else {
      s->has_value[c] = 1;
      process_raw(s, c, sample->data[c]);
    }
    if (s->samples_got == 8) s->samples_got = 0;
  }

  // ECG heart rate and the ECG side of the lag detector.
  if (s->has_value[SIG_ECG] && (computed & bit(SIG_ECG_HR))) {
    s->has_value[SIG_ECG_HR] = 1;
    const double x = s->values[SIG_ECG];
    if (!checked) {
      const ecg_beat b = feed_ecg(s, x);
      s->values[SIG_ECG_HR] = b.value;
      if (lag) ecg_bvp_lag_process_ecg(&s->peaklag, b.impulse);
    } else if (std::isnan(x)) {
      s->values[SIG_ECG_HR] = kNaN;
      s->needs_reset[SIG_ECG_HR] = 1;
      s->needs_reset[SIG_LAG] = 1;
    } else {
      if (s->needs_reset[SIG_ECG_HR]) {
        s->needs_reset[SIG_ECG_HR] = 0;
        reset_ecg(s);
      }
      const ecg_beat b = feed_ecg(s, x);
      if (b.artefact) {
        s->values[SIG_ECG_HR] = kNaN;
        s->needs_reset[SIG_LAG] = 1;
      } else {
        s->values[SIG_ECG_HR] = b.value;
        if (lag) {
          if (s->needs_reset[SIG_LAG]) {
            s->needs_reset[SIG_LAG] = 0;
            reset_lag(s);
          }
          ecg_bvp_lag_process_ecg(&s->peaklag, b.impulse);
        }
      }
    }
  } else {
    s->has_value[SIG_ECG_HR] = 0;
    s->values[SIG_ECG_HR] = kNoSample;
  }

  // Pulse heart rate and the pulse side of the lag detector.
  if (s->has_value[SIG_BVP] && (computed & bit(SIG_BVP_HR))) {
    s->has_value[SIG_BVP_HR] = 1;
    const double x = s->values[SIG_BVP];
    if (!checked) {
      bvp_hr(&s->bvp_hr, x);
      s->values[SIG_BVP_HR] = s->bvp_hr.value;
      if (lag) ecg_bvp_lag_process_bvp(&s->peaklag, bvp_impulse(s));
    } else if (std::isnan(x)) {
      s->values[SIG_BVP_HR] = kNaN;
      s->needs_reset[SIG_BVP_HR] = 1;
      s->needs_reset[SIG_LAG] = 1;
    } else {
      if (s->needs_reset[SIG_BVP_HR]) {
        s->needs_reset[SIG_BVP_HR] = 0;
        bvp_hr_params_reset(&s->bvp_hr);
      }
      bvp_hr(&s->bvp_hr, x);
      if (s->bvp_hr.artefact) {
        s->values[SIG_BVP_HR] = kNaN;
        s->needs_reset[SIG_LAG] = 1;
      } else {
        s->values[SIG_BVP_HR] = s->bvp_hr.value;
        if (lag) {
          if (s->needs_reset[SIG_LAG]) {
            s->needs_reset[SIG_LAG] = 0;
            reset_lag(s);
          }
          ecg_bvp_lag_process_bvp(&s->peaklag, bvp_impulse(s));
        }
      }
    }
  } else {
    s->has_value[SIG_BVP_HR] = 0;
    s->values[SIG_BVP_HR] = kNoSample;
  }

  // The lag, published with the pulse samples.
  if (s->has_value[SIG_BVP] && lag) {
    s->has_value[SIG_LAG] = 1;
    s->values[SIG_LAG] =
        (checked && s->peaklag.artefact) ? kNaN : s->peaklag.value;
  } else {
    s->has_value[SIG_LAG] = 0;
    s->values[SIG_LAG] = kNoSample;
  }

  // Respiration rate.
  if (s->has_value[SIG_RESP] && (computed & bit(SIG_RESP_RATE))) {
    s->has_value[SIG_RESP_RATE] = 1;
    const double x = s->values[SIG_RESP];
    if (!checked) {
      resp_rate(&s->resp_rate, x);
      s->values[SIG_RESP_RATE] = s->resp_rate.value;
    } else if (std::isnan(x)) {
      s->values[SIG_RESP_RATE] = kNaN;
      s->needs_reset[SIG_RESP_RATE] = 1;
    } else {
      if (s->needs_reset[SIG_RESP_RATE]) {
        s->needs_reset[SIG_RESP_RATE] = 0;
        resp_rate_params_reset(&s->resp_rate);
      }
      resp_rate(&s->resp_rate, x);
      s->values[SIG_RESP_RATE] =
          s->resp_rate.artefact ? kNaN : s->resp_rate.value;
    }
  } else {
    s->has_value[SIG_RESP_RATE] = 0;
    s->values[SIG_RESP_RATE] = kNoSample;
  }

  s->samples_got += 1;
}

void corvia_signals_free(corvia_signals *signals) {
  PRECONDITION(signals != nullptr);
  ecg_hr_params_free(&signals->ecg_hr);
  bvp_hr_params_free(&signals->bvp_hr);
  resp_rate_params_free(&signals->resp_rate);
  ecg_bvp_lag_params_free(&signals->peaklag);
  qrs_params_free(&signals->qrs);
  delay_params_free(&signals->bvp_impulses);
  for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; ++c) {
    delay_params_free(&signals->delayed_signals[c]);
    impulses_lag_params_free(&signals->last_disconnected[c]);
    impulses_lag_params_free(&signals->last_nonzeros[c]);
  }
}
