// Heart-rate, pulse and respiration detectors assembled from the peak
// detectors, the ECG-to-pulse lag, the window around the last R peak and
// the older impulse detector and rate converter.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "fex.h"
#include "recursive_internal.h"

using fex_internal::checked_calloc;
using fex_internal::delay_step;

namespace {

// trunc(factor * f) as a window length; callers check the minimum.
int window_length(double factor, double samplefrequ) {
  PRECONDITION(samplefrequ > 0.0);
  const double n = std::trunc(factor * samplefrequ);
  PRECONDITION(n <= INT_MAX);
  return static_cast<int>(n);
}

// The common tail of the three rate pipelines.
template <class P>
void rate_pipeline_finish_init(P *params, double samplefrequ, double min_bpm,
                               double max_bpm, int repair) {
  peaks_to_bpm_imp_params_init(&params->bpm_imp, samplefrequ, min_bpm,
                               max_bpm, repair);
  impulses_to_stepfunction_params_init(&params->bpm);
  params->value = 0.0;
  params->artefact = 1;
  params->inherent_lag = params->peaks.inherent_lag_times_2 * 0.5 / samplefrequ;
}

template <class P>
void rate_pipeline_reset(P *params) {
  peaks_to_bpm_imp_params_reset(&params->bpm_imp);
  impulses_to_stepfunction_params_reset(&params->bpm);
  params->bpm.value = 0.0;
  params->value = 0.0;
  params->artefact = 1;
}

// Steps 2 to 4 of a rate pipeline, after the peak detector has seen x.
template <class P>
void rate_pipeline_step(P *params) {
  peaks_to_bpm_imp(&params->bpm_imp, params->peaks.value);
  impulses_to_stepfunction(&params->bpm, params->bpm_imp.value);
  params->value = params->bpm.value;
  params->artefact = params->bpm_imp.artefact;
}

}  // namespace

// ---------------------------------------------------------------------------
// Heart rate from the ECG

void ecg_hr_params_init(ecg_hr_params *params, double samplefrequ,
                        int repair) {
  int rise_size = window_length(0.0634765625, samplefrequ);
  int maximum_size = window_length(0.0048828125, samplefrequ);
  if (rise_size < 2) rise_size = 2;
  if (maximum_size < 2) maximum_size = 2;
  moving_peak_slope_max_params_init(&params->peaks, rise_size, maximum_size,
                                    0.6, 20.0, samplefrequ);
  rate_pipeline_finish_init(params, samplefrequ, 20.0, 200.0, repair);
}

void ecg_hr_params_reset(ecg_hr_params *params) {
  moving_peak_slope_max_params_reset(&params->peaks);
  rate_pipeline_reset(params);
}

void ecg_hr_params_free(ecg_hr_params *params) {
  moving_peak_slope_max_params_free(&params->peaks);
  peaks_to_bpm_imp_params_free(&params->bpm_imp);
  impulses_to_stepfunction_params_free(&params->bpm);
}

void ecg_hr(ecg_hr_params *params, double value) {
  moving_peak_slope_max(&params->peaks, value);
  rate_pipeline_step(params);
}

// ---------------------------------------------------------------------------
// Heart rate from the pulse wave, breathing rate from respiration

static void stddev_rate_init(bvp_hr_params *params, double samplefrequ,
                             double mean_factor, double maximum_factor,
                             double threshold, double min_bpm, double max_bpm,
                             int repair) {
  moving_peak_stddev_params_init(&params->peaks,
                                 window_length(mean_factor, samplefrequ),
                                 window_length(maximum_factor, samplefrequ),
                                 threshold, min_bpm, samplefrequ);
  rate_pipeline_finish_init(params, samplefrequ, min_bpm, max_bpm, repair);
}

void bvp_hr_params_init(bvp_hr_params *params, double samplefrequ,
                        int repair) {
  stddev_rate_init(params, samplefrequ, 0.390625, 0.0390625, 1.0, 20.0, 200.0,
                   repair);
}

void bvp_hr_params_reset(bvp_hr_params *params) {
  moving_peak_stddev_params_reset(&params->peaks);
  rate_pipeline_reset(params);
}

void bvp_hr_params_free(bvp_hr_params *params) {
  moving_peak_stddev_params_free(&params->peaks);
  peaks_to_bpm_imp_params_free(&params->bpm_imp);
  impulses_to_stepfunction_params_free(&params->bpm);
}

void bvp_hr(bvp_hr_params *params, double value) {
  moving_peak_stddev(&params->peaks, value);
  rate_pipeline_step(params);
}

void resp_rate_params_init(resp_rate_params *params, double samplefrequ,
                           int repair) {
  stddev_rate_init(params, samplefrequ, 2.34375, 0.29296875, 0.8, 7.0, 30.0,
                   repair);
}

void resp_rate_params_reset(resp_rate_params *params) {
  bvp_hr_params_reset(params);
}

void resp_rate_params_free(resp_rate_params *params) {
  bvp_hr_params_free(params);
}

void resp_rate(resp_rate_params *params, double value) {
  bvp_hr(params, value);
}

// ---------------------------------------------------------------------------
// Lag between ECG peak and pulse peak

void ecg_bvp_lag_params_init(ecg_bvp_lag_params *params,
                             double samplefrequ_ecg, double samplefrequ_bvp,
                             double expected_mean_lag, double inherent_ecg_lag,
                             double inherent_bvp_lag, double maximum_bpm,
                             int repair) {
  PRECONDITION(samplefrequ_ecg > 0.0);
  PRECONDITION(maximum_bpm > 0.0);
  const double max_deviation = 60.0 / maximum_bpm * 0.5;
  const double length =
      std::trunc((inherent_bvp_lag - inherent_ecg_lag + expected_mean_lag -
                  max_deviation) *
                 samplefrequ_ecg);
  PRECONDITION(length >= 0.0 && length <= INT_MAX);
  const double deviation = std::trunc(samplefrequ_ecg * max_deviation);
  // Twice the deviation plus one is compared with the lag counter.
  PRECONDITION(deviation <= (INT_MAX - 1) / 2);
  delay_params_init(&params->ecg_delayed, static_cast<int>(length));
  impulses_lag_params_init(&params->last_ecg);
  params->samplefrequ_ecg = samplefrequ_ecg;
  params->samplefrequ_bvp = samplefrequ_bvp;
  params->max_deviation_in_ecg_samples = static_cast<int>(deviation);
  params->debug = nullptr;
  params->value = 0.0;
  params->artefact = 1;
  params->looking_for_bvp = 0;
  params->repair = repair;
}

void ecg_bvp_lag_params_reset(ecg_bvp_lag_params *params) {
  delay_params_reset(&params->ecg_delayed);
  impulses_lag_params_reset(&params->last_ecg);
  params->value = 0.0;
  params->artefact = 1;
  params->looking_for_bvp = 0;
}

void ecg_bvp_lag_params_free(ecg_bvp_lag_params *params) {
  delay_params_free(&params->ecg_delayed);
  impulses_lag_params_free(&params->last_ecg);
}

void ecg_bvp_lag_process_ecg(ecg_bvp_lag_params *params, double value) {
  delay_step(&params->ecg_delayed, value);
  const double d = params->ecg_delayed.value;
  if (d == 1.0) params->looking_for_bvp = 1;
  impulses_lag(&params->last_ecg, d);
  if (params->looking_for_bvp &&
      params->last_ecg.value == 2 * params->max_deviation_in_ecg_samples + 1) {
    params->artefact = 1;  // no pulse peak answered the beat in time
  }
}

void ecg_bvp_lag_process_bvp(ecg_bvp_lag_params *params, double value) {
  if (value != 1.0) return;
  const int lag = params->last_ecg.value;
  const int deviation = params->max_deviation_in_ecg_samples;
  if (lag != -1 && lag <= 2 * deviation) {
    params->value = (lag - deviation) / params->samplefrequ_ecg;
    params->artefact = 0;
    params->looking_for_bvp = 0;
  } else {
    params->artefact = 1;
  }
}

// ---------------------------------------------------------------------------
// Window around the last R peak

static const char *const kCenterDebugFile = "last_ecg_center.debug.ascii";

void last_ecg_center_params_init(last_ecg_center_params *params,
                                 int samplerate, double time_before_r,
                                 double time_after_r) {
  static const char *const kName = "last_ecg_center_params_init";
  PRECONDITION(samplerate > 0);
  const double size = std::trunc((time_after_r + time_before_r) * samplerate);
  const double after = std::trunc(time_after_r * samplerate);
  PRECONDITION(size >= 1.0 && size <= INT_MAX);
  PRECONDITION(after >= 0.0 && after <= size);
  params->size = static_cast<int>(size);
  std::fprintf(stderr, "%s: size = %d\n", kName, params->size);
  params->data = static_cast<double *>(
      checked_calloc(static_cast<size_t>(params->size), sizeof(double), kName));
  delay_params_init(&params->history, params->size);
  ecg_hr_params_init(&params->hr, samplerate, 0);
  impulses_lag_params_init(&params->last_peak);
  impulses_lag_params_init(&params->last_artefact);
  params->samples_from_peak_to_window_end = static_cast<int>(after);
  params->age_in_samples = -1;
  params->artefact = 1;
  params->debugfile = std::fopen(kCenterDebugFile, "wb");
  if (params->debugfile == nullptr) {
    fatal_error("%s: %s: %s\n", kName, kCenterDebugFile,
                std::strerror(errno));
  }
  std::fprintf(stderr,
               "%s: size: %d, inherent_lag = %f, "
               "samples_from_peak_to_window_end: %d [%d %d]\n",
               kName, params->size, params->hr.inherent_lag,
               params->samples_from_peak_to_window_end, params->size / 2,
               static_cast<int>(samplerate * params->hr.inherent_lag));
}

void last_ecg_center_params_reset(last_ecg_center_params *params) {
  delay_params_reset(&params->history);
  ecg_hr_params_reset(&params->hr);
  impulses_lag_params_reset(&params->last_peak);
  impulses_lag_params_reset(&params->last_artefact);
  // No window is held after a reset, as after init.
  params->age_in_samples = -1;
  params->artefact = 1;
}

void last_ecg_center_params_free(last_ecg_center_params *params) {
  std::free(params->data);
  params->data = nullptr;
  delay_params_free(&params->history);
  ecg_hr_params_free(&params->hr);
  if (params->debugfile != nullptr) {
    FILE *f = params->debugfile;
    params->debugfile = nullptr;
    if (std::fclose(f) != 0) {
      fatal_error("%s: %s: %s\n", "last_ecg_center_params_free",
                  kCenterDebugFile, std::strerror(errno));
    }
  }
}

void last_ecg_center(last_ecg_center_params *params, double value) {
  delay_step(&params->history, value);
  ecg_hr(&params->hr, value);
  impulses_lag(&params->last_peak, params->hr.bpm_imp.value);
  impulses_lag(&params->last_artefact, params->hr.artefact ? 1.0 : 0.0);
  // age_in_samples counts every sample after a capture (-1: none yet).
  if (params->age_in_samples >= 0 && params->age_in_samples < INT_MAX) {
    params->age_in_samples++;
  }
  if (params->last_artefact.value < params->size) {
    params->artefact = 1;
    return;
  }
  if (params->last_peak.value == params->samples_from_peak_to_window_end) {
    params->age_in_samples = 0;
    delay_params_get_history(&params->history, params->data);
    FILE *f = params->debugfile;
    bool ok = true;
    for (int i = 0; i < params->size && ok; ++i) {
      ok = std::fprintf(f, "%f ", params->data[i]) >= 0;
    }
    if (ok) ok = std::fputc('\n', f) != EOF && std::fflush(f) == 0;
    if (!ok) {
      fatal_error("%s: %s: %s\n", "last_ecg_center", kCenterDebugFile,
                  std::strerror(errno));
    }
    params->artefact = 0;
  }
}

// ---------------------------------------------------------------------------
// Older amplitude impulse detector and impulse-to-rate converter

void heart_impulse_params_init(heart_impulse_params *params, int samplefreq,
                               double max_bpm, double alpha,
                               double upper_threshold) {
  PRECONDITION(max_bpm > 0.0);
  sliding_min_max_params_init(&params->mm, alpha);
  sliding_mean_variance_energy_params_init(&params->mvm, alpha);
  const double distance = std::trunc(samplefreq / (max_bpm / 60.0));
  PRECONDITION(distance >= 0.0 && distance < INT_MAX);
  params->minimal_distance = static_cast<int>(distance);
  params->last_peak = 1;
  params->upper_threshold = upper_threshold;
  params->impulse = 0;
}

void heart_impulse(double value, heart_impulse_params *params) {
  sliding_min_max(value, &params->mm);
  sliding_mean_variance_energy(value, &params->mvm);
  const double median = params->mvm.median_lagged;
  if (value > median + params->upper_threshold * (params->mm.max - median) &&
      params->last_peak > params->minimal_distance) {
    params->impulse = 1;
    params->last_peak = 1;
  } else {
    params->impulse = 0;
    if (params->last_peak < INT_MAX) params->last_peak++;
  }
}

void pulse_params_init(pulse_params *params, int samplefreq) {
  params->last_peak = 1;
  params->last_distance = 0;
  params->samplefreq = samplefreq;
  params->pulse = 0.0;
}

void pulse(int value, pulse_params *params) {
  if (value == 1) {
    params->last_distance = params->last_peak;
    params->last_peak = 0;
  }
  params->pulse = params->last_distance != 0
                      ? params->samplefreq * 60.0 / params->last_distance
                      : 0.0;
  if (params->last_peak < INT32_MAX) params->last_peak++;
}
