// Peak and dip detectors and the converters of their impulse trains (rates,
// step functions, lags), and the same-sign windowed product.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "fex.h"
#include "recursive_internal.h"

using fex_internal::delay_step;
using fex_internal::moving_mean_step;

namespace {

// Length of the reference window of a detector: the longest expected beat
// interval, trunc(60 / minimum_bpm * samplefreq) samples.
int reference_window(double minimum_bpm, double samplefreq) {
  PRECONDITION(minimum_bpm > 0.0);
  PRECONDITION(samplefreq > 0.0);
  const double n = std::trunc(60.0 / minimum_bpm * samplefreq);
  PRECONDITION(n >= 1.0 && n <= INT_MAX);
  return static_cast<int>(n);
}

// Refreshes of the reference maxima and minima.
constexpr int kReferenceUpdates = 10;

}  // namespace

// ---------------------------------------------------------------------------
// Rise-slope peak detector

void moving_peak_slope_max_params_init(moving_peak_slope_max_params *params,
                                       int rise_size, int maximum_size,
                                       double threshold, double minimum_bpm,
                                       double samplefreq) {
  const int window = reference_window(minimum_bpm, samplefreq);
  moving_regression_params_init(&params->regression_rise, rise_size);
  moving_regression_params_init(&params->regression_maximum, maximum_size);
  moving_max_params_init(&params->max_rise, window, kReferenceUpdates);
  params->threshold = threshold;
  params->inherent_lag_times_2 = maximum_size;
  params->debug = nullptr;
  params->looking_for_max = 0;
  params->looking_for_fall = 0;
  params->value = 0;
}

void moving_peak_slope_max_params_reset(moving_peak_slope_max_params *params) {
  moving_regression_params_reset(&params->regression_rise);
  moving_regression_params_reset(&params->regression_maximum);
  moving_max_params_reset(&params->max_rise);
  params->looking_for_max = 0;
  params->looking_for_fall = 0;
  params->value = 0;
}

void moving_peak_slope_max_params_free(moving_peak_slope_max_params *params) {
  moving_regression_params_free(&params->regression_rise);
  moving_regression_params_free(&params->regression_maximum);
  moving_max_params_free(&params->max_rise);
}

// The state machine shared by the two rise-slope detectors: fire when the
// peak regression stops rising, re-arm after the rise slope has fallen to
// zero or below.
static void rise_slope_step(int *looking_for_max, int *looking_for_fall,
                            int *value, double rise, double maximum_slope,
                            bool steep) {
  if (*looking_for_max) {
    if (maximum_slope <= 0.0) {
      *looking_for_max = 0;
      *value = 1;
    } else {
      *value = 0;
    }
    return;
  }
  *value = 0;
  if (*looking_for_fall) {
    if (rise <= 0.0) *looking_for_fall = 0;
  } else if (steep) {
    *looking_for_max = 1;
    *looking_for_fall = 1;
  }
}

void moving_peak_slope_max(moving_peak_slope_max_params *params,
                           double value) {
  fex_internal::moving_regression_step(&params->regression_rise, value);
  fex_internal::moving_regression_step(&params->regression_maximum, value);
  const double rise = params->regression_rise.value;
  fex_internal::moving_max_step(&params->max_rise, rise);
  rise_slope_step(&params->looking_for_max, &params->looking_for_fall,
                  &params->value, rise, params->regression_maximum.value,
                  rise > params->max_rise.value * params->threshold);
}

// ---------------------------------------------------------------------------
// Rise-slope peak detector with a deviation reference

void moving_peak_slope_stddev_params_init(
    moving_peak_slope_stddev_params *params, int rise_size, int maximum_size,
    double threshold, double minimum_bpm, double samplefreq) {
  const int window = reference_window(minimum_bpm, samplefreq);
  moving_regression_params_init(&params->regression_rise, rise_size);
  moving_regression_params_init(&params->regression_maximum, maximum_size);
  moving_stddev_params_init(&params->stddev_rise, window);
  params->threshold = threshold;
  params->debug = nullptr;
  params->looking_for_max = 0;
  params->looking_for_fall = 0;
  params->value = 0;
}

void moving_peak_slope_stddev_params_reset(
    moving_peak_slope_stddev_params *params) {
  moving_regression_params_reset(&params->regression_rise);
  moving_regression_params_reset(&params->regression_maximum);
  moving_stddev_params_reset(&params->stddev_rise);
  params->looking_for_max = 0;
  params->looking_for_fall = 0;
  params->value = 0;
}

void moving_peak_slope_stddev_params_free(
    moving_peak_slope_stddev_params *params) {
  moving_regression_params_free(&params->regression_rise);
  moving_regression_params_free(&params->regression_maximum);
  moving_stddev_params_free(&params->stddev_rise);
}

void moving_peak_slope_stddev(moving_peak_slope_stddev_params *params,
                              double value) {
  fex_internal::moving_regression_step(&params->regression_rise, value);
  fex_internal::moving_regression_step(&params->regression_maximum, value);
  const double rise = params->regression_rise.value;
  moving_stddev_instantaneous(&params->stddev_rise, rise);
  rise_slope_step(
      &params->looking_for_max, &params->looking_for_fall, &params->value,
      rise, params->regression_maximum.value,
      rise > params->stddev_rise.stddev_instantaneous * params->threshold);
}

// ---------------------------------------------------------------------------
// Fall-slope dip detector

void moving_dip_slope_min_params_init(moving_dip_slope_min_params *params,
                                      int fall_size, int mean_size,
                                      int minimum_size, double threshold,
                                      double minimum_bpm, double samplefreq) {
  const int window = reference_window(minimum_bpm, samplefreq);
  moving_regression_params_init(&params->regression_fall, fall_size);
  moving_regression_params_init(&params->regression_minimum, minimum_size);
  moving_max_params_init(&params->min_fall, window, kReferenceUpdates);
  moving_mean_params_init(&params->mean_fall, mean_size);
  params->threshold = threshold;
  params->debug = nullptr;
  params->looking_for_min = 0;
  params->looking_for_rise = 0;
  params->value = 0;
}

void moving_dip_slope_min_params_reset(moving_dip_slope_min_params *params) {
  moving_regression_params_reset(&params->regression_fall);
  moving_regression_params_reset(&params->regression_minimum);
  moving_min_params_reset(&params->min_fall);
  moving_mean_params_reset(&params->mean_fall);
  params->looking_for_min = 0;
  params->looking_for_rise = 0;
  params->value = 0;
}

void moving_dip_slope_min_params_free(moving_dip_slope_min_params *params) {
  moving_regression_params_free(&params->regression_fall);
  moving_regression_params_free(&params->regression_minimum);
  moving_min_params_free(&params->min_fall);
  moving_mean_params_free(&params->mean_fall);
}

void moving_dip_slope_min(moving_dip_slope_min_params *params, double value) {
  fex_internal::moving_regression_step(&params->regression_fall, value);
  fex_internal::moving_regression_step(&params->regression_minimum, value);
  const double fall = params->regression_fall.value;
  moving_mean_step(&params->mean_fall, fall);
  moving_min(&params->min_fall, fall);
  if (params->looking_for_min) {
    if (params->regression_minimum.value >= 0.0) {
      params->looking_for_min = 0;
      params->value = 1;
    } else {
      params->value = 0;
    }
    return;
  }
  params->value = 0;
  if (params->looking_for_rise) {
    if (fall >= 0.0) params->looking_for_rise = 0;
  } else {
    const double m = params->mean_fall.value;
    if ((params->min_fall.value - m) * params->threshold > fall - m) {
      params->looking_for_min = 1;
      params->looking_for_rise = 1;
    }
  }
}

// ---------------------------------------------------------------------------
// Amplitude peak detectors

// The state machine shared by the two amplitude detectors.
static void amplitude_step(int *looking_for_max, int *looking_for_fall,
                           int *value, double x, double mean,
                           double maximum_slope, bool high) {
  if (*looking_for_max) {
    if (maximum_slope <= 0.0) {
      *looking_for_max = 0;
      *looking_for_fall = 1;
      *value = 1;
    } else {
      *value = 0;
    }
    return;
  }
  *value = 0;
  if (!*looking_for_fall) {
    if (high) *looking_for_max = 1;
  } else if (x < mean) {
    *looking_for_fall = 0;
  }
}

void moving_peak_max_params_init(moving_peak_max_params *params,
                                 int mean_size, int maximum_size,
                                 double threshold, double minimum_bpm,
                                 double samplefreq, const char *debugfile) {
  const int window = reference_window(minimum_bpm, samplefreq);
  moving_max_params_init(&params->max, window, kReferenceUpdates);
  moving_regression_params_init(&params->regression_maximum, maximum_size);
  moving_mean_params_init(&params->mean, mean_size);
  params->threshold = threshold;
  params->inherent_lag_times_2 = maximum_size;
  params->debug = nullptr;
  if (debugfile != nullptr) {
    params->debug = std::fopen(debugfile, "wb");
    if (params->debug == nullptr) fatal_system_error(debugfile);
  }
  params->looking_for_max = 0;
  params->looking_for_fall = 0;
  params->value = 0;
}

void moving_peak_max_params_reset(moving_peak_max_params *params) {
  moving_max_params_reset(&params->max);
  moving_regression_params_reset(&params->regression_maximum);
  moving_mean_params_reset(&params->mean);
  params->looking_for_max = 0;
  params->looking_for_fall = 0;
  params->value = 0;
}

void moving_peak_max_params_free(moving_peak_max_params *params) {
  moving_max_params_free(&params->max);
  moving_regression_params_free(&params->regression_maximum);
  moving_mean_params_free(&params->mean);
  if (params->debug != nullptr) {
    FILE *f = params->debug;
    params->debug = nullptr;
    if (std::fclose(f) != 0) fatal_system_error("moving_peak_max_params_free");
  }
}

void moving_peak_max(moving_peak_max_params *params, double value) {
  moving_mean_step(&params->mean, value);
  fex_internal::moving_regression_step(&params->regression_maximum, value);
  fex_internal::moving_max_step(&params->max, value);
  const double mean = params->mean.value;
  amplitude_step(&params->looking_for_max, &params->looking_for_fall,
                 &params->value, value, mean,
                 params->regression_maximum.value,
                 value - mean > (params->max.value - mean) * params->threshold);
  if (params->debug != nullptr &&
      std::fprintf(params->debug, "%g %g %d %d %d\n", mean, params->max.value,
                   params->looking_for_max, params->looking_for_fall,
                   params->value) < 0) {
    fatal_system_error("moving_peak_max");
  }
}

void moving_peak_stddev_params_init(moving_peak_stddev_params *params,
                                    int mean_size, int maximum_size,
                                    double threshold, double minimum_bpm,
                                    double samplefreq) {
  const int window = reference_window(minimum_bpm, samplefreq);
  moving_stddev_params_init(&params->stddev, window);
  moving_regression_params_init(&params->regression_maximum, maximum_size);
  moving_mean_params_init(&params->mean, mean_size);
  params->threshold = threshold;
  params->inherent_lag_times_2 = maximum_size;
  params->debug = nullptr;
  params->looking_for_max = 0;
  params->looking_for_fall = 0;
  params->value = 0;
}

void moving_peak_stddev_params_reset(moving_peak_stddev_params *params) {
  moving_stddev_params_reset(&params->stddev);
  moving_regression_params_reset(&params->regression_maximum);
  moving_mean_params_reset(&params->mean);
  params->looking_for_max = 0;
  params->looking_for_fall = 0;
  params->value = 0;
}

void moving_peak_stddev_params_free(moving_peak_stddev_params *params) {
  moving_stddev_params_free(&params->stddev);
  moving_regression_params_free(&params->regression_maximum);
  moving_mean_params_free(&params->mean);
}

void moving_peak_stddev(moving_peak_stddev_params *params, double value) {
  moving_mean_step(&params->mean, value);
  fex_internal::moving_regression_step(&params->regression_maximum, value);
  moving_stddev_instantaneous(&params->stddev, value);
  const double mean = params->mean.value;
  amplitude_step(
      &params->looking_for_max, &params->looking_for_fall, &params->value,
      value, mean, params->regression_maximum.value,
      value - mean > params->stddev.stddev_instantaneous * params->threshold);
}

// ---------------------------------------------------------------------------
// Peak impulses to beats per minute

void peaks_to_bpm_imp_params_init(peaks_to_bpm_imp_params *params,
                                  double samplefreq, double min_bpm,
                                  double max_bpm, int repair) {
  PRECONDITION(samplefreq > 0.0);
  PRECONDITION(min_bpm > 0.0);
  const double distance = std::trunc(samplefreq * 60.0 / min_bpm);
  // Twice the distance is counted in an int as well.
  PRECONDITION(distance >= 1.0 && distance <= INT_MAX / 2);
  params->samplefreq_times_60 = samplefreq * 60.0;
  params->max_distance = static_cast<int>(distance);
  params->min_bpm = min_bpm;
  params->max_bpm = max_bpm;
  params->repair = repair;
  peaks_to_bpm_imp_params_reset(params);
}

void peaks_to_bpm_imp_params_reset(peaks_to_bpm_imp_params *params) {
  params->num_collected = 0;
  params->last_peak_distance = -1;
  params->value = 0.0;
  params->artefact = 1;
}

void peaks_to_bpm_imp_params_free(peaks_to_bpm_imp_params *) {}

void peaks_to_bpm_imp(peaks_to_bpm_imp_params *params, int value) {
  if (params->last_peak_distance == -1) {
    if (value == 1) params->last_peak_distance = 0;
    params->value = 0.0;
  } else {
    if (params->last_peak_distance < INT_MAX) params->last_peak_distance++;
    if (params->last_peak_distance >= params->max_distance) {
      params->artefact = 1;  // no beat for longer than the slowest rate
    }
    if (value == 1) {
      const double bpm =
          params->samplefreq_times_60 / params->last_peak_distance;
      params->last_peak_distance = 0;
      if (bpm > params->max_bpm) {
        params->artefact = 1;
        params->value = params->repair ? params->max_bpm : bpm;
      } else {
        params->value = bpm;
        if (bpm < params->min_bpm) {
          if (!params->artefact) {
            std::fprintf(stderr,
                         "%s warning: params->artefact = 0 but params->value "
                         "< min_bpm! This is probably an implementation "
                         "error!\n",
                         "peaks_to_bpm_imp");
          }
          params->artefact = 1;
          if (params->repair) params->value = params->min_bpm;
        } else {
          params->artefact = 0;
        }
      }
    } else {
      params->value = 0.0;
    }
  }
  if (params->num_collected < 2 * params->max_distance) {
    params->artefact = 1;
    params->num_collected++;
  }
}

// ---------------------------------------------------------------------------
// Step functions

void impulses_to_stepfunction_params_init(
    impulses_to_stepfunction_params *params) {
  params->value = 0.0;
}

void impulses_to_stepfunction_params_reset(
    impulses_to_stepfunction_params *params) {
  params->value = 0.0;
}

void impulses_to_stepfunction_params_free(impulses_to_stepfunction_params *) {}

void impulses_to_stepfunction(impulses_to_stepfunction_params *params,
                              double value) {
  if (value != 0.0) params->value = value;  // NaN compares unequal
}

void bpm_impulses_to_stepfunction_params_init(
    bpm_impulses_to_stepfunction_params *params,
    double allowed_rising_factor) {
  PRECONDITION(allowed_rising_factor > 0.0);
  params->allowed_rising_factor = allowed_rising_factor;
  params->allowed_falling_factor = 1.0 / allowed_rising_factor;
  bpm_impulses_to_stepfunction_params_reset(params);
}

void bpm_impulses_to_stepfunction_params_reset(
    bpm_impulses_to_stepfunction_params *params) {
  params->value = 0.0;
  params->problem = 0;
  params->tentative = -1.0;
}

void bpm_impulses_to_stepfunction_params_free(
    bpm_impulses_to_stepfunction_params *) {}

void bpm_impulses_to_stepfunction(bpm_impulses_to_stepfunction_params *p,
                                  double value, int artefact) {
  static const char *const kName = "bpm_impulses_to_stepfunction";
  if (value == 0.0 || artefact) return;
  if (p->value == 0.0) p->value = value;
  bool accepted = false;
  if (!p->problem) {
    const double r = p->value / value;
    if (r > p->allowed_rising_factor || r < p->allowed_falling_factor) {
      p->problem = 1;
      std::fprintf(stderr, "%s: problem (old = %f, new = %f)\n", kName,
                   p->value, value);
      p->tentative = value;
    } else {
      PRECONDITION(p->tentative == -1);
      p->value = value;
      accepted = true;
    }
  } else {
    const double r = p->tentative / value;
    if (r > p->allowed_rising_factor || r < p->allowed_falling_factor) {
      std::fprintf(stderr, "%s: still problem (old = %f, new = %f)\n", kName,
                   p->tentative, value);
      p->tentative = value;
    } else {
      std::fprintf(stderr, "%s: problem resolved: old = %f, new = %f\n",
                   kName, p->tentative, value);
      p->problem = 0;
      p->tentative = -1.0;
      p->value = value;
      accepted = true;
    }
  }
  if (accepted && p->value > 160.0) {
    std::fprintf(stderr, "%s: ??? value = %f\n", kName, p->value);
  }
}

// ---------------------------------------------------------------------------
// Samples since the last impulse

void impulses_lag_params_init(impulses_lag_params *params) {
  params->value = -1;
}

void impulses_lag_params_reset(impulses_lag_params *params) {
  params->value = -1;
}

void impulses_lag_params_free(impulses_lag_params *) {}


// ---------------------------------------------------------------------------
// Same-sign windowed product

void moving_prod_rect_params_init(moving_prod_rect_params *params, int size,
                                  double floor) {
  PRECONDITION(size >= 1);
  PRECONDITION(floor >= 0.0);
  moving_mean_params_init(&params->product, size);
  impulses_lag_params_init(&params->last_sign_change);
  delay_any_params_init(&params->last_sign, 1, sizeof(int));
  impulses_lag_params_init(&params->last_zero);
  params->floor = floor;
  params->sign = 0;
  params->value = 0.0;
  params->firsttime = 1;
}

void moving_prod_rect_params_reset(moving_prod_rect_params *params) {
  moving_mean_params_reset(&params->product);
  impulses_lag_params_reset(&params->last_sign_change);
  delay_any_params_reset(&params->last_sign);
  impulses_lag_params_reset(&params->last_zero);
  params->sign = 0;
  params->value = 0.0;
  params->firsttime = 1;
}

void moving_prod_rect_params_free(moving_prod_rect_params *params) {
  moving_mean_params_free(&params->product);
  delay_any_params_free(&params->last_sign);
}

void moving_prod_rect(moving_prod_rect_params *params, double value) {
  const int size = params->product.size;
  const double factor = std::fabs(value) + params->floor;
  // A zero factor would put -infinity into the running sum, which the sum
  // never recovers from exactly; it enters as log(1) and is remembered.
  const bool zero = factor == 0.0;
  moving_mean_step(&params->product, zero ? 0.0 : std::log(factor));
  impulses_lag(&params->last_zero, zero ? 1.0 : 0.0);

  params->sign = value >= 0.0;
  delay_any(&params->last_sign, &params->sign);
  int previous;
  std::memcpy(&previous, params->last_sign.value, sizeof previous);
  impulses_lag(&params->last_sign_change,
               previous != params->sign ? 1.0 : 0.0);
  if (params->firsttime) {
    params->last_sign_change.value = 0;
    params->firsttime = 0;
  }

  if (static_cast<long long>(params->last_sign_change.value) + 1 < size) {
    params->value = 0.0;
  } else if (params->last_zero.value != -1 && params->last_zero.value < size) {
    params->value = 0.0;  // a zero factor lies in the window
  } else {
    params->value = std::exp(size * params->product.value);
  }
}
