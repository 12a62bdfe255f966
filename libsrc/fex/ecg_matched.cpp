// ECG matched filter and the heart-rate detector built on it.
//
// The QRS template is piecewise linear over four contiguous segments, so its
// correlation with the signal is a weighted sum of the segments' moving
// slopes and moving sums. Lengths and weights were fitted at 2048 Hz; at
// other rates the template keeps its shape in time.
#include <cstdio>

#include "common.h"
#include "fex.h"

namespace {

// Template geometry at 2048 Hz: segment lengths and input delays (samples).
constexpr double kLength1 = 143.9993531746032;
constexpr double kLength2 = 44.0;
constexpr double kLength3 = 23.0;
constexpr double kLength4 = 193.1085317348378;
constexpr double kDelay3 = 187.9993531746032;
constexpr double kDelay4 = 210.9993531746032;

// Slope and mean weight coefficients of the four segments.
constexpr double kSlope[4] = {0.0008336250938460884, -0.025455488052362606,
                              0.052442008426997845, -0.0010676182557487536};
constexpr double kMean[4] = {-0.0600207371519773, 0.4399792628480227,
                             0.3969169030895248, -0.10308309691047518};

// trunc(samplerate * length / 2048).
int scaled(int samplerate, double length) {
  return static_cast<int>(samplerate * length / 2048.0);
}

// Weight turning a moving regression's slope over s samples into
// a * sum_j (j - (s - 1) / 2) * x_j.
double slope_weight(int s, double a) {
  const double ds = s;
  return (ds * ds * ds - ds) * a / 12.0;
}

}  // namespace

void ecg_matched_filter_params_init(ecg_matched_filter_params *params,
                                    int samplerate) {
  PRECONDITION(samplerate >= 179);
  // The segments lie back to back: each starts where the one before ends,
  // at the boundaries fitted at 2048 Hz scaled to the rate, and the oldest
  // keeps its own length. At 2048 Hz: 143, 44, 23, 193 samples from 0, 143,
  // 187, 210.
  const int d2 = scaled(samplerate, kLength1);
  const int d3 = scaled(samplerate, kDelay3);
  const int d4 = scaled(samplerate, kDelay4);
  const int s1 = d2;
  const int s2 = d3 - d2;
  const int s3 = d4 - d3;
  const int s4 = scaled(samplerate, kLength4);
  PRECONDITION(s1 >= 2 && s2 >= 2 && s3 >= 2 && s4 >= 2);

  delay_params_init(&params->d1, 0);
  delay_params_init(&params->d2, d2);
  delay_params_init(&params->d3, d3);
  delay_params_init(&params->d4, d4);

  moving_regression_params_init(&params->r1, s1);
  moving_regression_params_init(&params->r2, s2);
  moving_regression_params_init(&params->r3, s3);
  moving_regression_params_init(&params->r4, s4);
  moving_mean_params_init(&params->m1, s1);
  moving_mean_params_init(&params->m2, s2);
  moving_mean_params_init(&params->m3, s3);
  moving_mean_params_init(&params->m4, s4);

  // The slopes were fitted per sample at 2048 Hz; per sample at another
  // rate the same ramp in time is 2048 / samplerate times as steep.
  const double steepness = 2048.0 / samplerate;
  params->f1 = slope_weight(s1, kSlope[0] * steepness);
  params->f2 = slope_weight(s2, kSlope[1] * steepness);
  params->f3 = slope_weight(s3, kSlope[2] * steepness);
  params->f4 = slope_weight(s4, kSlope[3] * steepness);
  params->mf1 = s1 * kMean[0];
  params->mf2 = s2 * kMean[1];
  params->mf3 = s3 * kMean[2];
  params->mf4 = s4 * kMean[3];
  params->value = 0.0;
}

void ecg_matched_filter_params_reset(ecg_matched_filter_params *params) {
  delay_params_reset(&params->d1);
  delay_params_reset(&params->d2);
  delay_params_reset(&params->d3);
  delay_params_reset(&params->d4);
  moving_regression_params_reset(&params->r1);
  moving_regression_params_reset(&params->r2);
  moving_regression_params_reset(&params->r3);
  moving_regression_params_reset(&params->r4);
  moving_mean_params_reset(&params->m1);
  moving_mean_params_reset(&params->m2);
  moving_mean_params_reset(&params->m3);
  moving_mean_params_reset(&params->m4);
  params->value = 0.0;
}

void ecg_matched_filter_params_free(ecg_matched_filter_params *params) {
  delay_params_free(&params->d1);
  delay_params_free(&params->d2);
  delay_params_free(&params->d3);
  delay_params_free(&params->d4);
  moving_regression_params_free(&params->r1);
  moving_regression_params_free(&params->r2);
  moving_regression_params_free(&params->r3);
  moving_regression_params_free(&params->r4);
  moving_mean_params_free(&params->m1);
  moving_mean_params_free(&params->m2);
  moving_mean_params_free(&params->m3);
  moving_mean_params_free(&params->m4);
}

void ecg_matched_filter(ecg_matched_filter_params *params, double value) {
  delay(&params->d1, value);
  delay(&params->d2, value);
  delay(&params->d3, value);
  delay(&params->d4, value);
  moving_regression(&params->r1, params->d1.value);
  moving_regression(&params->r2, params->d2.value);
  moving_regression(&params->r3, params->d3.value);
  moving_regression(&params->r4, params->d4.value);
  moving_mean(&params->m1, params->d1.value);
  moving_mean(&params->m2, params->d2.value);
  moving_mean(&params->m3, params->d3.value);
  moving_mean(&params->m4, params->d4.value);
  params->value = params->r1.value * params->f1 +
                  params->r2.value * params->f2 +
                  params->r3.value * params->f3 +
                  params->r4.value * params->f4 +
                  params->m1.value * params->mf1 +
                  params->m2.value * params->mf2 +
                  params->m3.value * params->mf3 +
                  params->m4.value * params->mf4;
}

// ---------------------------------------------------------------------------
// Heart rate from the matched filter

namespace {

// The state that init and reset restore besides the components.
void ecg_mf_hr_restart(ecg_mf_hr_params *p) {
  p->y1 = 0.0;
  p->y2 = 0.0;
  p->max_value = 0.0;
  p->min_value = 1000000.0;
  p->candidate = 0.0;
  p->value = 0.0;
}

}  // namespace

void ecg_mf_hr_params_init(ecg_mf_hr_params *p, int samplerate,
                           double min_expected_bpm, double max_expected_bpm,
                           int repair, double thres,
                           double allowed_rising_factor) {
  PRECONDITION(samplerate >= 179);
  PRECONDITION(min_expected_bpm > 0.0);
  p->thres = thres;
  fprintf(stderr, "%s: thres = %f\n", __func__, thres);
  ecg_matched_filter_params_init(&p->mf, samplerate);
  const int max_size =
      static_cast<int>(60.0 / min_expected_bpm * samplerate);
  PRECONDITION(max_size >= 1);
  moving_max_params_init(&p->max, max_size, 10);
  impulses_lag_params_init(&p->maximum);
  impulses_lag_params_init(&p->minimum);
  peaks_to_bpm_imp_params_init(&p->bpm_imp, samplerate, min_expected_bpm,
                               max_expected_bpm, repair);
  bpm_impulses_to_stepfunction_params_init(&p->bpm_step,
                                           allowed_rising_factor);
  ecg_mf_hr_params_reset(p);
  p->norm_dist1 = samplerate * 59 / 2048;
  p->norm_dist2 = samplerate * 54 / 2048;
}

void ecg_mf_hr_params_reset(ecg_mf_hr_params *p) {
  ecg_matched_filter_params_reset(&p->mf);
  moving_max_params_reset(&p->max);
  impulses_lag_params_reset(&p->maximum);
  impulses_lag_params_reset(&p->minimum);
  peaks_to_bpm_imp_params_reset(&p->bpm_imp);
  bpm_impulses_to_stepfunction_params_reset(&p->bpm_step);
  ecg_mf_hr_restart(p);
}

void ecg_mf_hr_params_free(ecg_mf_hr_params *p) {
  ecg_matched_filter_params_free(&p->mf);
  moving_max_params_free(&p->max);
  impulses_lag_params_free(&p->maximum);
  impulses_lag_params_free(&p->minimum);
  peaks_to_bpm_imp_params_free(&p->bpm_imp);
  bpm_impulses_to_stepfunction_params_free(&p->bpm_step);
}

void ecg_mf_hr(ecg_mf_hr_params *p, double value) {
  ecg_matched_filter(&p->mf, value);
  const double y = p->mf.value;
  moving_max(&p->max, y);

  double minimum_input = 0.0;
  if (p->y1 > p->y2 && y < p->y1) {
    // The previous output was a local maximum.
    p->max_value = y;
    p->candidate = 0.0;
    impulses_lag(&p->maximum, 1.0);
  } else if (p->y1 < p->y2 && p->y1 < y) {
    // A local minimum: a beat when the swing is large enough against the
    // recent maximum and both spacings are plausible.
    // Counters saturate at the largest int; keep their difference exact.
    const long long since_maximum = p->maximum.value;
    const long long min_to_max =
        static_cast<long long>(p->minimum.value) - p->maximum.value;
    const bool amplitude =
        2.0 * p->max_value - p->min_value - y > p->max.max * p->thres;
    const bool spacing1 =
        p->norm_dist1 / 2 < min_to_max && min_to_max < 2 * p->norm_dist1;
    const bool spacing2 = p->norm_dist2 / 2 < since_maximum &&
                          since_maximum < 2 * p->norm_dist2;
    p->candidate = (amplitude && spacing1 && spacing2) ? 1.0 : 0.0;
    impulses_lag(&p->maximum, 0.0);
    p->min_value = y;
    minimum_input = 1.0;
  } else {
    p->candidate = 0.0;
    impulses_lag(&p->maximum, 0.0);
  }
  impulses_lag(&p->minimum, minimum_input);

  peaks_to_bpm_imp(&p->bpm_imp, static_cast<int>(p->candidate));
  bpm_impulses_to_stepfunction(&p->bpm_step, p->bpm_imp.value,
                               p->bpm_imp.artefact);
  p->value = p->bpm_step.value;

  p->y2 = p->y1;
  p->y1 = y;
}
