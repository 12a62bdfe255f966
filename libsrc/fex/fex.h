// fex - the sliding-window signal library.
//
// One caller-owned parameter record per function instance (`..._params`),
// with `..._params_init`, `..._params_reset`, `..._params_free` and a
// per-sample function that leaves its results in the record. Every record
// carries `delay`, the lag of its output in samples.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// ===========================================================================
// Delay lines, moving statistics, extremes, medians, derivatives, regressions
// and detectors (recursive)
// ===========================================================================

// ---------------------------------------------------------------------------
// Conventions: window ("moving") functions take (params, value), exponential
// ("sliding") functions take (value, params). Counters and sizes are 32-bit
// ints, values doubles. Preconditions stop the program with an assertion.

// Smoothing factor exp(-1 / (windowsize * samplerate)).
double compute_alpha_from_time_constant(double windowsize, double samplerate);
// Smoothing factor of an exponential window whose standard deviation equals
// that of a rectangular window of windowsize * samplerate samples; values
// below 0.01 are raised to 0.01 with a warning.
double compute_alpha_corresponding_rectangle(double windowsize,
                                             double samplerate);
// trunc(1 / (1 - alpha)), the default lag of the exponential families.
int sliding_default_delay(double alpha);
// (size - 1) / 2, the default lag of the rectangular families.
int moving_default_delay(int size);

// Delay line of doubles: value is the input of `size` samples ago (the first
// input while fewer have been seen).
struct delay_params {
  int size;           // delay in samples, >= 0
  int num_collected;  // samples seen, saturating at size + 1
  double *buf;        // size doubles; null when size is 0
  int bufpos;         // next write position
  double value;       // output
};
void delay_params_init(delay_params *params, int size);
void delay_params_reset(delay_params *params);
void delay_params_free(delay_params *params);
// The per-sample steps of the delay line and of impulses_lag are defined
// here, so that callers fed at every sample do not pay a call for them.
// The first input while the line fills, then the input of `size` samples
// ago.
inline void delay(delay_params *params, double value) {
  const int n = params->size;
  if (n == 0) {
    params->value = value;
    params->num_collected = 1;
    return;
  }
  int pos = params->bufpos;
  if (params->num_collected > n) {
    params->value = params->buf[pos];
  } else if (params->num_collected == 0) {
    params->value = value;
    params->num_collected = 1;
  } else {
    params->value = params->buf[0];  // the very first sample stored
    params->num_collected++;
  }
  params->buf[pos] = value;
  if (++pos == n) pos = 0;
  params->bufpos = pos;
}
// The value seen i samples ago (0 = the newest).
double delay_params_get_n_ago(const delay_params *params, int i);
// The buffer's contents, oldest first (room for size doubles).
void delay_params_get_history(const delay_params *params, double *values);
inline int delay_params_is_valid(const delay_params *params) {
  return static_cast<int64_t>(params->num_collected) >=
         static_cast<int64_t>(params->size) + 1;
}

// Delay line of opaque items of itemsize bytes.
struct delay_any_params {
  int size;
  int itemsize;
  int num_collected;
  void *buf;    // size * itemsize bytes; null when size < 1
  int bufpos;
  void *value;  // one item, always allocated
};
void delay_any_params_init(delay_any_params *params, int size, int itemsize);
void delay_any_params_reset(delay_any_params *params);
void delay_any_params_free(delay_any_params *params);
void delay_any(delay_any_params *params, const void *item);
void delay_any_params_get_n_ago(const delay_any_params *params, int i,
                                void *destination);
int delay_any_params_is_valid(const delay_any_params *params);

// Rectangular moving mean; during warm-up the mean of all samples so far.
struct moving_mean_params {
  int num_collected;      // saturating at size
  int size;               // non-zero
  double sum;             // running sum of the window
  double new_sum;         // sum accumulated afresh (resynchronisation)
  int new_sum_collected;
  delay_params delayed;   // supplies the leaving sample
  int delay;              // (size - 1) / 2
  double value;
};
void moving_mean_params_init(moving_mean_params *params, int size);
void moving_mean_params_reset(moving_mean_params *params);
void moving_mean_params_free(moving_mean_params *params);
void moving_mean(moving_mean_params *params, double value);
// As moving_mean, without the periodic resynchronisation of the sum.
void moving_mean_fast(moving_mean_params *params, double value);
// moving_mean over in[0], in[1], ...: out[i] gets `value` after in[i]. The
// same values and state as one call per sample, at a fraction of the cost.
// Stops after the first NaN or infinite value (so that the caller can report
// it before going on) and returns the number of samples taken. The
// moving_stddev_instantaneous, moving_max and moving_min runs do the same
// for stddev_instantaneous and the extremes' value.
size_t moving_mean_run(moving_mean_params *params, const double *in,
                       double *out, size_t count);
// moving_mean over `ncols` columns of `count` samples, column c (with the
// record params[c]) taking in[c * stride + t] and writing its values to
// out[c * stride + t]: the same values and states as moving_mean_run over
// each column in turn, all of its samples. Columns whose windows are full
// and step together run side by side.
void moving_mean_columns(moving_mean_params *const *params, int ncols,
                         const double *in, size_t stride, double *out,
                         size_t count);
// The window's samples, oldest first (room for size doubles).
void moving_mean_debug_inputwindow(const moving_mean_params *params,
                                   double *values);

// Moving mean of 32-bit integers (sums wrap around; the mean truncates).
struct moving_mean_int32_params {
  int num_collected;
  int size;
  int32_t sum;
  int32_t new_sum;
  int new_sum_collected;
  delay_any_params delayed;  // items of 4 bytes
  int delay;
  int32_t value;
};
void moving_mean_int32_params_init(moving_mean_int32_params *params, int size);
void moving_mean_int32_params_reset(moving_mean_int32_params *params);
void moving_mean_int32_params_free(moving_mean_int32_params *params);
void moving_mean_int32(moving_mean_int32_params *params, int32_t value);
void moving_mean_int32_fast(moving_mean_int32_params *params, int32_t value);

// Product of the last size samples; 0 during warm-up and while a zero lies
// in the window.
struct moving_product_params {
  int num_collected;
  int size;
  double product;
  double new_product;
  int new_product_collected;
  delay_params delayed;
  int delay;
  double value;
};
void moving_product_params_init(moving_product_params *params, int size);
void moving_product_params_reset(moving_product_params *params);
void moving_product_params_free(moving_product_params *params);
void moving_product(moving_product_params *params, double value);

// Two cascaded moving means of combined support size.
struct moving_mean_triangle_params {
  moving_mean_params first;
  moving_mean_params second;
  double value;
  int delay;
};
void moving_mean_triangle_params_init(moving_mean_triangle_params *params,
                                      int size);
void moving_mean_triangle_params_reset(moving_mean_triangle_params *params);
void moving_mean_triangle_params_free(moving_mean_triangle_params *params);
void moving_mean_triangle(moving_mean_triangle_params *params, double value);

// Three cascaded moving means (sizes printed on standard error at init).
struct moving_mean_bell_params {
  moving_mean_params first;
  moving_mean_params second;
  moving_mean_params third;
  double value;
  int delay;
};
void moving_mean_bell_params_init(moving_mean_bell_params *params, int size,
                                  int use_old_approximative_sizes);
void moving_mean_bell_params_reset(moving_mean_bell_params *params);
void moving_mean_bell_params_free(moving_mean_bell_params *params);
void moving_mean_bell(moving_mean_bell_params *params, double value);

// Moving variance and standard deviation: instantaneous (mean of squares
// minus squared mean) and lagged (mean of squared deviations from the
// current mean).
struct moving_stddev_params {
  moving_mean_params mean;
  moving_mean_params square;  // fed from mean's delay line; has none itself
  moving_mean_params mean_var;
  double variance_lagged;
  double stddev_lagged;
  double variance_instantaneous;
  double stddev_instantaneous;
  int variance_instantaneous_warned;
  int delay;
};
void moving_stddev_params_init(moving_stddev_params *params, int size);
void moving_stddev_params_reset(moving_stddev_params *params);
void moving_stddev_params_free(moving_stddev_params *params);
void moving_stddev(moving_stddev_params *params, double value);
// As moving_stddev for the mean, the energy and the instantaneous variance
// and deviation only (the same values, warning included); the lagged ones
// keep their last values. Half the work and memory traffic of moving_stddev;
// use one or the other on a record. The library's composite records that
// hold a moving_stddev_params read only its instantaneous values and step it
// with this.
void moving_stddev_instantaneous(moving_stddev_params *params, double value);
size_t moving_stddev_instantaneous_run(moving_stddev_params *params,
                                      const double *in, double *out,
                                      size_t count);
// moving_stddev_instantaneous on `dim` records side by side: row r gives
// in[r * dim + j] to records[j], in order, and out[r * dim + j] its
// stddev_instantaneous. The same values, warning and state as one call per
// sample in that order; stops after the first row with a NaN or infinite
// value and returns the rows taken.
size_t moving_stddev_instantaneous_rows(moving_stddev_params *const *records,
                                        int dim, const double *in,
                                        double *out, size_t count);
// moving_stddev_instantaneous over `ncols` columns of `count` samples, as
// moving_mean_columns: column c (with the record params[c]) takes
// in[c * stride + t] and writes out[c * stride + t]; the same values,
// warning and states as moving_stddev_instantaneous_run over each column in
// turn, all of its samples.
void moving_stddev_instantaneous_columns(moving_stddev_params *const *params,
                                         int ncols, const double *in,
                                         size_t stride, double *out,
                                         size_t count);

// Centre sample of the window minus the window mean (lag size / 2).
struct moving_mean_normalize_params {
  moving_mean_params mean;
  delay_params delay;  // length size / 2
  double value;
  int size;
  int num_collected;
};
void moving_mean_normalize_params_init(moving_mean_normalize_params *params,
                                       int size);
void moving_mean_normalize_params_reset(moving_mean_normalize_params *params);
void moving_mean_normalize_params_free(moving_mean_normalize_params *params);
void moving_mean_normalize(moving_mean_normalize_params *params, double value);

// Centre sample minus the window mean, divided by the window's deviation.
struct moving_meanvariance_normalize_params {
  moving_stddev_params stddev;
  delay_params delay;  // length size / 2
  double value;
  int size;
  int num_collected;
};
void moving_meanvariance_normalize_params_init(
    moving_meanvariance_normalize_params *params, int size);
void moving_meanvariance_normalize_params_reset(
    moving_meanvariance_normalize_params *params);
void moving_meanvariance_normalize_params_free(
    moving_meanvariance_normalize_params *params);
void moving_meanvariance_normalize(
    moving_meanvariance_normalize_params *params, double value);

// Exponential mean, variance, energy and median tracker.
struct sliding_mean_variance_energy_params {
  int firsttime;
  double alpha;
  double mean;
  double variance_lagged;
  double median_lagged;
  double variance_instantaneous;
  double energy;
  int delay;
  int variance_instantaneous_warned;
};
void sliding_mean_variance_energy_params_init(
    sliding_mean_variance_energy_params *params, double alpha);
void sliding_mean_variance_energy_params_reset(
    sliding_mean_variance_energy_params *params);
// Updates `mean` only.
void sliding_mean(double value, sliding_mean_variance_energy_params *params);
void sliding_mean_variance_energy(double value,
                                  sliding_mean_variance_energy_params *params);

// ---------------------------------------------------------------------------
// Extremes, medians and pseudo-statistics

// Windowed maximum with k staggered block accumulators: value lies between
// the maximum of the last size samples and that of the last size + size / k.
// O(k) per sample. moving_min is the same on the negated input.
struct moving_minmax_params {
  int num_collected;      // saturating at size
  int size;
  double max;             // current estimate
  int k;                  // number of accumulators
  double *max_updates;    // k block maxima
  int *updates_collected; // k block fill counts
  double value;
  int delay;              // (size / k + size - 1) / 2; (size - 1) / 2 for k 0
  // Samples ahead in which no accumulator starts or completes a block, and
  // samples taken since the fill counts were last brought up to date: in
  // between, a sample only raises the maxima.
  int quiet;
  int pending;
};
void moving_max_params_init(moving_minmax_params *params, int size, int k);
void moving_max_params_reset(moving_minmax_params *params);
void moving_max_params_free(moving_minmax_params *params);
void moving_max(moving_minmax_params *params, double value);
void moving_min_params_reset(moving_minmax_params *params);
void moving_min_params_free(moving_minmax_params *params);
void moving_min(moving_minmax_params *params, double value);
size_t moving_max_run(moving_minmax_params *params, const double *in,
                      double *out, size_t count);
size_t moving_min_run(moving_minmax_params *params, const double *in,
                      double *out, size_t count);

// Exponential envelopes: instantaneous attack, exponential release.
struct sliding_min_max_params {
  int firsttime;
  double alpha;
  double min;
  double max;
  int delay;
};
void sliding_min_max_params_init(sliding_min_max_params *params, double alpha);
void sliding_min_max_params_reset(sliding_min_max_params *params);
void sliding_min_max(double value, sliding_min_max_params *params);

// Median tracker moving by a deviation-scaled step per sample.
struct sliding_median_params {
  int firsttime;
  double alpha;
  double value;
  int delay;
  int use_old_definition;
  double mean_;
  double variance_instantaneous_;
  double energy_;
  double fac;
};
typedef sliding_median_params sliding_median_old_params;
typedef sliding_median_params sliding_median_new_params;
void sliding_median_generic_params_init(sliding_median_params *params,
                                        double alpha, int use_old_definition);
void sliding_median_generic_params_reset(sliding_median_params *params);
void sliding_median_generic(double value, sliding_median_params *params);
void sliding_median_old_params_init(sliding_median_old_params *params,
                                    double alpha);
void sliding_median_old_params_reset(sliding_median_old_params *params);
void sliding_median_old(double value, sliding_median_old_params *params);
void sliding_median_new_params_init(sliding_median_new_params *params,
                                    double alpha);
void sliding_median_new_params_reset(sliding_median_new_params *params);
void sliding_median_new(double value, sliding_median_new_params *params);

// Upper power mean: mean of (x - mean)^exponent over the window samples above
// their mean, to the power 1 / exponent, plus the mean.
struct moving_pseudomax_params {
  moving_mean_params mean;
  moving_mean_params sum;
  moving_mean_params count;
  double value;
  double exponent;
  double exponent_reciprocal;
};
void moving_pseudomax_params_init(moving_pseudomax_params *params, int size,
                                  double exponent);
void moving_pseudomax_params_reset(moving_pseudomax_params *params);
void moving_pseudomax_params_free(moving_pseudomax_params *params);
void moving_pseudomax(moving_pseudomax_params *params, double value);

// Median tracker stepping by rate * deviation, with an optional second
// tracker that refreshes it every size + 1 samples.
struct moving_pseudomedian_params {
  int num_collected;
  moving_stddev_params stddev;
  moving_mean_params mu;
  double rate;
  double value;
  int do_update;
  int num_collected_update;
  double value_update;
  int delay;
};
void moving_pseudomedian_params_init(moving_pseudomedian_params *params,
                                     int size, int do_update);
void moving_pseudomedian_params_reset(moving_pseudomedian_params *params);
void moving_pseudomedian_params_free(moving_pseudomedian_params *params);
void moving_pseudomedian(moving_pseudomedian_params *params, double value);

// Robust window means weighting each sample by its distance from the
// current estimate (hard cut at rate * deviation, or Gaussian).
struct moving_pseudomedian_stddev_params {
  int num_collected;
  moving_stddev_params stddev;
  moving_mean_params mean;
  moving_mean_params sum;
  double rate;
  double value;
};
typedef moving_pseudomedian_stddev_params moving_pseudomedian_gauss_params;
void moving_pseudomedian_stddev_params_init(
    moving_pseudomedian_stddev_params *params, int size, double rate);
void moving_pseudomedian_stddev_params_reset(
    moving_pseudomedian_stddev_params *params);
void moving_pseudomedian_stddev_params_free(
    moving_pseudomedian_stddev_params *params);
void moving_pseudomedian_stddev(moving_pseudomedian_stddev_params *params,
                                double value);
void moving_pseudomedian_gauss_params_init(
    moving_pseudomedian_gauss_params *params, int size, double rate);
void moving_pseudomedian_gauss_params_reset(
    moving_pseudomedian_gauss_params *params);
void moving_pseudomedian_gauss_params_free(
    moving_pseudomedian_gauss_params *params);
void moving_pseudomedian_gauss(moving_pseudomedian_gauss_params *params,
                               double value);
// Non-zero: moving_pseudomedian_gauss prints its weight line for every
// sample on standard error. 0 (quiet) by default.
extern int moving_pseudomedian_gauss_debug;

// Soft exponential mean and derivative, old form (three means with factors
// eps apart, extrapolated and differenced).
struct sliding_soft_old_params {
  int firsttime;
  double mu;
  double mu_eps;
  double mu_2eps;
  double alpha_orig;
  double a_1;
  double a_2;
  double a_3;
  double fac;
  double fac1;
  double fac2;
  double mean;
  double derivative;
  int delay;
};
void sliding_soft_old_params_init(sliding_soft_old_params *params,
                                  double alpha);
void sliding_soft_old_params_reset(sliding_soft_old_params *params);
void sliding_soft_old(double value, sliding_soft_old_params *params);

// Soft exponential mean and derivative, new form (cascaded means).
struct sliding_soft_new_params {
  int firsttime;
  double alpha_orig;
  double alpha;
  double firstmean;
  double lastmean;
  double mean;
  double derivative;
  int delay;
};
void sliding_soft_new_params_init(sliding_soft_new_params *params,
                                  double alpha);
void sliding_soft_new_params_reset(sliding_soft_new_params *params);
void sliding_soft_new(double value, sliding_soft_new_params *params);

// Exponentially smoothed change of the new-form soft mean.
struct sliding_test_params {
  int firsttime;
  double alpha;
  double alpha_1;
  sliding_soft_new_params soft;
  double value;
};
void sliding_test_params_init(sliding_test_params *params, double alpha);
void sliding_test_params_reset(sliding_test_params *params);
void sliding_test(double value, sliding_test_params *params);

// ---------------------------------------------------------------------------
// Derivatives, deltas and regressions (slopes per sample)

// (x - window mean) * 2 / (size - 1); size >= 2.
struct moving_derivative_params {
  moving_mean_params mu;
  double fac;
  double value;
  int delay;
};
void moving_derivative_params_init(moving_derivative_params *params, int size);
void moving_derivative_params_reset(moving_derivative_params *params);
void moving_derivative_params_free(moving_derivative_params *params);
void moving_derivative(moving_derivative_params *params, double value);

// (x - x of size - 1 samples ago) * fac; size >= 2.
struct moving_derivative_symm_params {
  delay_params value_delayed;
  double value;
  double fac;  // 1 / size with the old definition, else 1 / (size - 1)
  int delay;
};
void moving_derivative_symm_params_init(moving_derivative_symm_params *params,
                                        int size, int use_old_definition);
void moving_derivative_symm_params_reset(
    moving_derivative_symm_params *params);
void moving_derivative_symm_params_free(moving_derivative_symm_params *params);
void moving_derivative_symm(moving_derivative_symm_params *params,
                            double value);

// Difference of four cascaded moving means; size >= 2.
struct moving_derivative_smooth_params {
  moving_mean_params mu1;
  moving_mean_params mu2;
  moving_mean_params mu3;
  moving_mean_params mu4;
  delay_params value_delayed;  // length 1
  double value;
  int delay;
};
void moving_derivative_smooth_params_init(
    moving_derivative_smooth_params *params, int size,
    int use_old_approximative_sizes);
void moving_derivative_smooth_params_reset(
    moving_derivative_smooth_params *params);
void moving_derivative_smooth_params_free(
    moving_derivative_smooth_params *params);
void moving_derivative_smooth(moving_derivative_smooth_params *params,
                              double value);

// Exact least-squares slope over the last size samples (the partial window
// during warm-up), O(1) per sample; size >= 2.
struct moving_regression_params {
  moving_mean_params mean;     // length size - 1, fed from `delayed`
  delay_params delayed;        // length size
  int size;
  int num_collected;           // saturating at size
  double weighted_sum;         // sum of (j - (m - 1) / 2) * x_j
  double weighted_sum_update;  // the same, accumulated afresh
  int update_collected;
  double constant;             // 12 / (size^3 - size)
  double value;
  int delay;
};
void moving_regression_params_init(moving_regression_params *params, int size);
void moving_regression_params_reset(moving_regression_params *params);
void moving_regression_params_free(moving_regression_params *params);
void moving_regression(moving_regression_params *params, double value);
// moving_regression over in[0, count), as moving_mean_run: the same values,
// states and warnings as one call per sample; stops after a NaN or infinite
// value and returns the samples taken.
size_t moving_regression_run(moving_regression_params *params, const double *in,
                             double *out, size_t count);

// Mean of a sample-to-sample change term over the last size - 1 differences
// (absolute, rising, falling, squared, squared rising, squared falling);
// size >= 2.
struct moving_delta_params {
  moving_mean_params accu;  // length size - 1
  delay_params lastvalue;   // length 1
  double value;
  int delay;
};
void moving_delta_params_init(moving_delta_params *params, int size);
void moving_delta_params_reset(moving_delta_params *params);
void moving_delta_params_free(moving_delta_params *params);
void moving_abschange(moving_delta_params *params, double value);
void moving_absrise(moving_delta_params *params, double value);
void moving_absfall(moving_delta_params *params, double value);
void moving_sqchange(moving_delta_params *params, double value);
void moving_sqrise(moving_delta_params *params, double value);
void moving_sqfall(moving_delta_params *params, double value);

// Exponential means of the sample-to-sample change (derivative) and of the
// change terms above.
struct sliding_derivative_params {
  int firsttime;
  double alpha;
  double lastval;
  double value;
  int delay;
};
typedef sliding_derivative_params sliding_delta_params;
void sliding_derivative_params_init(sliding_derivative_params *params,
                                    double alpha);
void sliding_derivative_params_reset(sliding_derivative_params *params);
void sliding_derivative(double value, sliding_derivative_params *params);
void sliding_delta_params_init(sliding_delta_params *params, double alpha);
void sliding_delta_params_reset(sliding_delta_params *params);
void sliding_abschange(double value, sliding_delta_params *params);
void sliding_absrise(double value, sliding_delta_params *params);
void sliding_absfall(double value, sliding_delta_params *params);
void sliding_sqchange(double value, sliding_delta_params *params);
void sliding_sqrise(double value, sliding_delta_params *params);
void sliding_sqfall(double value, sliding_delta_params *params);

// Exponential regression, old form: finite difference of the exponential
// mean with respect to its smoothing factor.
struct sliding_regression_old_params {
  int firsttime;
  double mu;
  double mu_eps;
  double alpha;
  double alpha_eps;
  double fac;
  double value;
  int delay;
};
void sliding_regression_old_params_init(sliding_regression_old_params *params,
                                        double alpha);
void sliding_regression_old_params_reset(
    sliding_regression_old_params *params);
void sliding_regression_old(double value,
                            sliding_regression_old_params *params);

// Exponential regression, new form: twice-smoothed sample-to-sample change.
struct sliding_regression_new_params {
  int firsttime;
  double alpha;
  double lastval;
  double derivative;
  double value;
  double delay;  // a whole number
};
void sliding_regression_new_params_init(sliding_regression_new_params *params,
                                        double alpha);
void sliding_regression_new_params_reset(
    sliding_regression_new_params *params);
void sliding_regression_new(double value,
                            sliding_regression_new_params *params);


// ===========================================================================
// Peak and dip detectors, heart-rate, pulse and respiration detectors
// (recursive)
// ===========================================================================

// ---------------------------------------------------------------------------
// Peak and dip detectors (recursive_peaks)
//
// Each detector turns a quasi-periodic signal into impulses: `value` is 1 at
// the sample at which a peak (dip) is reported, else 0. The reference
// statistics cover the longest expected beat interval,
// trunc(60 / minimum_bpm * samplefreq) samples (moving maxima and minima
// with 10 refreshes). Window lengths of regressions must be at least 2.

// Arms on a steep rise (rise slope above threshold times the largest recent
// rise slope) and fires when the short regression's slope is no longer
// positive; re-arms after the rise slope has become non-positive.
struct moving_peak_slope_max_params {
  moving_regression_params regression_rise;     // length rise_size
  moving_regression_params regression_maximum;  // length maximum_size
  moving_minmax_params max_rise;                // largest recent rise slope
  double threshold;
  int looking_for_max;
  int looking_for_fall;
  int value;                 // the impulse
  int inherent_lag_times_2;  // maximum_size
  FILE *debug;               // unused (null)
};
void moving_peak_slope_max_params_init(moving_peak_slope_max_params *params,
                                       int rise_size, int maximum_size,
                                       double threshold, double minimum_bpm,
                                       double samplefreq);
void moving_peak_slope_max_params_reset(moving_peak_slope_max_params *params);
void moving_peak_slope_max_params_free(moving_peak_slope_max_params *params);
void moving_peak_slope_max(moving_peak_slope_max_params *params, double value);

// As moving_peak_slope_max, the rise slope compared with threshold times
// the deviation of the rise slope.
struct moving_peak_slope_stddev_params {
  moving_regression_params regression_rise;
  moving_regression_params regression_maximum;
  moving_stddev_params stddev_rise;
  double threshold;
  int looking_for_max;
  int looking_for_fall;
  int value;
  FILE *debug;  // unused (null)
};
void moving_peak_slope_stddev_params_init(
    moving_peak_slope_stddev_params *params, int rise_size, int maximum_size,
    double threshold, double minimum_bpm, double samplefreq);
void moving_peak_slope_stddev_params_reset(
    moving_peak_slope_stddev_params *params);
void moving_peak_slope_stddev_params_free(
    moving_peak_slope_stddev_params *params);
void moving_peak_slope_stddev(moving_peak_slope_stddev_params *params,
                              double value);

// Dip detector: arms on a steep fall relative to the mean fall slope and
// fires when the short regression's slope is no longer negative.
struct moving_dip_slope_min_params {
  moving_regression_params regression_fall;     // length fall_size
  moving_regression_params regression_minimum;  // length minimum_size
  moving_minmax_params min_fall;                // largest recent fall
  moving_mean_params mean_fall;                 // length mean_size
  double threshold;
  int looking_for_min;
  int looking_for_rise;
  int value;
  FILE *debug;  // unused (null)
};
void moving_dip_slope_min_params_init(moving_dip_slope_min_params *params,
                                      int fall_size, int mean_size,
                                      int minimum_size, double threshold,
                                      double minimum_bpm, double samplefreq);
void moving_dip_slope_min_params_reset(moving_dip_slope_min_params *params);
void moving_dip_slope_min_params_free(moving_dip_slope_min_params *params);
void moving_dip_slope_min(moving_dip_slope_min_params *params, double value);

// Amplitude peak detector: arms when the sample lies above the mean by more
// than threshold times the distance of the recent maximum from the mean,
// fires when the short regression's slope is no longer positive, re-arms
// once the signal has fallen below the mean. With a debug file name, one
// line "mean max looking_for_max looking_for_fall value" per sample goes to
// that file (a file that cannot be created ends the program).
struct moving_peak_max_params {
  moving_minmax_params max;
  moving_regression_params regression_maximum;  // length maximum_size
  moving_mean_params mean;                      // length mean_size
  double threshold;
  int looking_for_max;
  int looking_for_fall;
  int value;
  int inherent_lag_times_2;  // maximum_size
  FILE *debug;               // null without a debug file
};
void moving_peak_max_params_init(moving_peak_max_params *params,
                                 int mean_size, int maximum_size,
                                 double threshold, double minimum_bpm,
                                 double samplefreq, const char *debugfile);
void moving_peak_max_params_reset(moving_peak_max_params *params);
// Also closes the debug file.
void moving_peak_max_params_free(moving_peak_max_params *params);
void moving_peak_max(moving_peak_max_params *params, double value);

// As moving_peak_max with threshold times the signal's deviation in place
// of the distance of the maximum from the mean.
struct moving_peak_stddev_params {
  moving_stddev_params stddev;
  moving_regression_params regression_maximum;
  moving_mean_params mean;
  double threshold;
  int looking_for_max;
  int looking_for_fall;
  int value;
  int inherent_lag_times_2;  // maximum_size
  FILE *debug;               // unused (null)
};
void moving_peak_stddev_params_init(moving_peak_stddev_params *params,
                                    int mean_size, int maximum_size,
                                    double threshold, double minimum_bpm,
                                    double samplefreq);
void moving_peak_stddev_params_reset(moving_peak_stddev_params *params);
void moving_peak_stddev_params_free(moving_peak_stddev_params *params);
void moving_peak_stddev(moving_peak_stddev_params *params, double value);

// Peak impulses to beats per minute: at a peak, value is the rate from the
// distance to the previous peak (else 0). artefact is set for the first
// 2 * max_distance samples, after max_distance samples without a peak and
// for rates outside [min_bpm, max_bpm] (which repair clamps to the limit).
struct peaks_to_bpm_imp_params {
  int num_collected;
  int last_peak_distance;  // -1 before the first peak
  double samplefreq_times_60;
  double value;
  int artefact;
  int max_distance;  // trunc(samplefreq * 60 / min_bpm)
  double min_bpm;
  double max_bpm;
  int repair;
};
// samplefreq and min_bpm must be positive.
void peaks_to_bpm_imp_params_init(peaks_to_bpm_imp_params *params,
                                  double samplefreq, double min_bpm,
                                  double max_bpm, int repair);
void peaks_to_bpm_imp_params_reset(peaks_to_bpm_imp_params *params);
void peaks_to_bpm_imp_params_free(peaks_to_bpm_imp_params *params);
void peaks_to_bpm_imp(peaks_to_bpm_imp_params *params, int value);

// Holds the last non-zero input (NaN counts as non-zero).
struct impulses_to_stepfunction_params {
  double value;
};
void impulses_to_stepfunction_params_init(
    impulses_to_stepfunction_params *params);
void impulses_to_stepfunction_params_reset(
    impulses_to_stepfunction_params *params);
void impulses_to_stepfunction_params_free(
    impulses_to_stepfunction_params *params);
void impulses_to_stepfunction(impulses_to_stepfunction_params *params,
                              double value);

// Holds the last accepted rate; a jump by more than allowed_rising_factor
// (up or down) is accepted only when the next rate confirms it. Reports
// problems on standard error.
struct bpm_impulses_to_stepfunction_params {
  double tentative;  // -1 when none
  double value;
  int problem;
  double allowed_rising_factor;
  double allowed_falling_factor;  // 1 / allowed_rising_factor
};
// allowed_rising_factor must be positive.
void bpm_impulses_to_stepfunction_params_init(
    bpm_impulses_to_stepfunction_params *params, double allowed_rising_factor);
void bpm_impulses_to_stepfunction_params_reset(
    bpm_impulses_to_stepfunction_params *params);
void bpm_impulses_to_stepfunction_params_free(
    bpm_impulses_to_stepfunction_params *params);
void bpm_impulses_to_stepfunction(bpm_impulses_to_stepfunction_params *p,
                                  double value, int artefact);

// Samples since the last non-zero input (NaN counts as non-zero); -1 before
// the first; saturates at the largest int.
struct impulses_lag_params {
  int value;
};
void impulses_lag_params_init(impulses_lag_params *params);
void impulses_lag_params_reset(impulses_lag_params *params);
void impulses_lag_params_free(impulses_lag_params *params);
inline void impulses_lag(impulses_lag_params *params, double value) {
  if (value != 0.0) {  // NaN compares unequal
    params->value = 0;
  } else if (params->value != -1 && params->value != INT_MAX) {
    params->value++;
  }
}

// Product of |x| + floor over the last size samples when they all have one
// sign (x >= 0 or x < 0), else 0. Computed as a moving mean of logarithms;
// a factor of exactly 0 (x = 0 with floor 0) is kept out of that mean and
// gives 0 for as long as it lies in the window.
struct moving_prod_rect_params {
  moving_mean_params product;           // of log(|x| + floor)
  impulses_lag_params last_sign_change;
  delay_any_params last_sign;           // one int, length 1
  int sign;
  double value;
  double floor;                         // >= 0
  int firsttime;
  impulses_lag_params last_zero;        // samples since the last zero factor
};
void moving_prod_rect_params_init(moving_prod_rect_params *params, int size,
                                  double floor);
void moving_prod_rect_params_reset(moving_prod_rect_params *params);
void moving_prod_rect_params_free(moving_prod_rect_params *params);
void moving_prod_rect(moving_prod_rect_params *params, double value);

// ---------------------------------------------------------------------------
// Heart-rate, pulse and respiration detectors (recursive_heart)

// Heart rate from an ECG: R peaks by the rise-slope detector, their rate,
// held between peaks. value is 0 until a rate exists; artefact 1 means the
// value is not to be trusted (always during the first 6 seconds).
struct ecg_hr_params {
  moving_peak_slope_max_params peaks;
  peaks_to_bpm_imp_params bpm_imp;
  impulses_to_stepfunction_params bpm;
  double value;         // beats per minute
  double inherent_lag;  // output delay of the peaks, seconds
  int artefact;
};
void ecg_hr_params_init(ecg_hr_params *params, double samplefrequ,
                        int repair);
void ecg_hr_params_reset(ecg_hr_params *params);
void ecg_hr_params_free(ecg_hr_params *params);
void ecg_hr(ecg_hr_params *params, double value);

// Heart rate from a blood-volume pulse, and breathing rate from a
// respiration signal: the same pipeline with the deviation peak detector.
// A sample rate must give a maximum window of at least 2 samples (at least
// 52 Hz for the pulse, 7 Hz for respiration).
struct bvp_hr_params {
  moving_peak_stddev_params peaks;
  peaks_to_bpm_imp_params bpm_imp;
  impulses_to_stepfunction_params bpm;
  double value;
  double inherent_lag;
  int artefact;
};
typedef bvp_hr_params resp_rate_params;
void bvp_hr_params_init(bvp_hr_params *params, double samplefrequ,
                        int repair);
void bvp_hr_params_reset(bvp_hr_params *params);
void bvp_hr_params_free(bvp_hr_params *params);
void bvp_hr(bvp_hr_params *params, double value);
void resp_rate_params_init(resp_rate_params *params, double samplefrequ,
                           int repair);
void resp_rate_params_reset(resp_rate_params *params);
void resp_rate_params_free(resp_rate_params *params);
void resp_rate(resp_rate_params *params, double value);

// Lag between an R peak and the pulse peak that answers it: value is the
// measured lag minus expected_mean_lag in seconds, within
// +-max_deviation = 30 / maximum_bpm; artefact when no pulse peak answers a
// beat in time or a pulse peak comes without a beat. Fed with the two
// detectors' impulse trains (1.0 at a peak), each at its own rate.
struct ecg_bvp_lag_params {
  delay_params ecg_delayed;
  impulses_lag_params last_ecg;  // ECG samples since the delayed impulse
  double samplefrequ_ecg;
  double samplefrequ_bvp;
  int max_deviation_in_ecg_samples;
  FILE *debug;  // unused (null)
  double value;
  int artefact;
  int looking_for_bvp;
  int repair;
};
void ecg_bvp_lag_params_init(ecg_bvp_lag_params *params,
                             double samplefrequ_ecg, double samplefrequ_bvp,
                             double expected_mean_lag, double inherent_ecg_lag,
                             double inherent_bvp_lag, double maximum_bpm,
                             int repair);
void ecg_bvp_lag_params_reset(ecg_bvp_lag_params *params);
void ecg_bvp_lag_params_free(ecg_bvp_lag_params *params);
void ecg_bvp_lag_process_ecg(ecg_bvp_lag_params *params, double value);
void ecg_bvp_lag_process_bvp(ecg_bvp_lag_params *params, double value);

// The last time_before_r + time_after_r seconds of ECG around the most
// recent R peak, captured time_after_r seconds after it when no artefact
// occurred within the window; each captured window is also written to
// "last_ecg_center.debug.ascii" in the working directory. age_in_samples
// is -1 until a window has been captured (after init and after reset),
// then the number of samples since the capture.
struct last_ecg_center_params {
  ecg_hr_params hr;
  delay_params history;  // length size
  impulses_lag_params last_peak;
  impulses_lag_params last_artefact;
  int age_in_samples;
  int size;
  int samples_from_peak_to_window_end;
  double *data;  // size values, oldest first
  int artefact;
  FILE *debugfile;
};
void last_ecg_center_params_init(last_ecg_center_params *params,
                                 int samplerate, double time_before_r,
                                 double time_after_r);
void last_ecg_center_params_reset(last_ecg_center_params *params);
// Also closes the debug file.
void last_ecg_center_params_free(last_ecg_center_params *params);
void last_ecg_center(last_ecg_center_params *params, double value);

// Older amplitude impulse detector: fires when the sample exceeds the
// exponential median by upper_threshold times the envelope's distance from
// it, at most once per 60 / max_bpm seconds.
struct heart_impulse_params {
  sliding_mean_variance_energy_params mvm;
  sliding_min_max_params mm;
  int last_peak;  // samples since the last impulse, the impulse counting 1
  int minimal_distance;
  double upper_threshold;
  int impulse;
};
void heart_impulse_params_init(heart_impulse_params *params, int samplefreq,
                               double max_bpm, double alpha,
                               double upper_threshold);
void heart_impulse(double value, heart_impulse_params *params);

// Older impulse-to-rate converter: pulse = samplefreq * 60 / distance of
// the last two impulses (0 before the first).
struct pulse_params {
  int32_t last_peak;
  int32_t last_distance;
  double samplefreq;
  double pulse;
};
void pulse_params_init(pulse_params *params, int samplefreq);
void pulse(int value, pulse_params *params);


// ===========================================================================
// Vector windows, smoothing, convolution, sweeps, FIR filters and the ECG
// matched filter (window, recfilter, filter, ecg_matched)
// ===========================================================================

#include "cmatrix.h"
#include "ffft.h"

// ---------------------------------------------------------------------------
// Vector windows and small statistics (window)

// v = n Hanning weights 0.5 - 0.5 cos(2 pi (i + 1) / (n + 1)), i = 0 ... n-1
// (no zero end points).
void cvector_init_hanning(cvector *v, int n);
// Ascending order of two doubles, for qsort.
int compar_double_asc(const void *a, const void *b);
void cvector_sort_asc(cvector *v);
double cvector_mean(const cvector *v);
double cvector_max(const cvector *v);     // length > 0
double cvector_argmax(const cvector *v);  // index of the first maximum
void cvector_abs(cvector *v);   // elementwise, in place
void cvector_sq(cvector *v);
void cvector_sqrt(cvector *v);
void cvector_log(cvector *v);

// ---------------------------------------------------------------------------
// Smoothing: i passes of a moving mean of length d

struct cvector_smooth_parameters {
  int n;                          // input length
  int d;                          // window length of the moving mean
  int i;                          // number of passes
  cvector work;                   // n values
  moving_mean_params mean_params;  // length d
};
void cvector_smooth_parameters_init(cvector_smooth_parameters *params, int n,
                                    int d, int i);
void cvector_smooth_parameters_free(cvector_smooth_parameters *params);
// The "valid" part of the smoothed input: result->length must be
// n - i * (d - 1).
void cvector_smooth(cvector_smooth_parameters *params, const cvector *input,
                    cvector *result);

// Continuation of the input at both ends before smoothing.
enum {
  SMOOTH_CONT_INVALID = 0,
  SMOOTH_CONT_ZERO = 1,    // zeros
  SMOOTH_CONT_REPEAT = 2,  // the edge values repeated
  SMOOTH_CONT_MIRROR = 3   // reflected without repeating the edge sample
};

struct cvector_smooth_cont_parameters {
  cvector_smooth_parameters smooth;  // for length n + i * (d - 1)
  int continuation;                  // one of SMOOTH_CONT_...
  cvector continued;                 // left values, input, right values
  int n;                             // input length
  int left;                          // (i * (d - 1) + 1) / 2
  int right;                         // i * (d - 1) / 2
};
void cvector_smooth_cont_parameters_init(cvector_smooth_cont_parameters *params,
                                         int n, int d, int i,
                                         int continuation);
void cvector_smooth_cont_parameters_free(
    cvector_smooth_cont_parameters *params);
// Smoothed input of the same length n.
void cvector_smooth_cont(cvector_smooth_cont_parameters *params,
                         const cvector *input, cvector *result);

// ---------------------------------------------------------------------------
// Linear convolution through the FFT

struct convolution_parameters {
  int n1, n2;        // input lengths
  int l;             // transform length: power of two >= n1 + n2 - 1
  double *x1, *x2;   // l doubles each
  double *y;         // l doubles
  fft_data fft_info;
};
void convolution_parameters_init(convolution_parameters *params, int n1,
                                 int n2);
// Frees the transform and the three work arrays.
void convolution_parameters_free(convolution_parameters *params);
// y (room for n1 + n2 - 1 values) = x1 (n1 values) * x2 (n2 values).
void convolution_parameters_compute(convolution_parameters *params,
                                    const double *x1, const double *x2,
                                    double *y);

// ---------------------------------------------------------------------------
// Sweeping swipe: a window of signal turned into spectral and
// order-statistic features

// The eight sub-vectors of the full feature vector, back to back: orig (n),
// sort(orig) (n), powspec, sort(powspec), log(powspec), sort(log(powspec)),
// log(smooth(powspec)), sort(log(smooth(powspec))) (n / 2 each).
struct sweeping_swipe_full_params {
  int dim_in;                  // n
  cvector temp;                // n
  cvector powspec_with_DC;     // n / 2 + 1
  cvector powspec;             // n / 2
  cvector powspec_temp;        // n / 2
  cvector output;              // 2n + 6 (n / 2)
  cvector hanning;             // n
  double hanning_sum;
  fft_data fft_info;
  cvector_smooth_cont_parameters smooth;  // mirror continuation, n / 2
  double powspec_floor;
  int subvecs_start[8];
  int subvecs_length[8];
};
void sweeping_swipe_full_params_init(sweeping_swipe_full_params *params,
                                     int n, int smooth_size,
                                     int smooth_times, double powspec_floor);
void sweeping_swipe_full_params_free(sweeping_swipe_full_params *params);
// Fills params->output from an input of n values.
void sweeping_swipe_full(sweeping_swipe_full_params *params,
                         const cvector *input);
int sweeping_swipe_full_params_get_sub_num(
    const sweeping_swipe_full_params *params);  // 8
// Length and start of sub-vector `index` (0 ... 7) inside params->output.
void sweeping_swipe_full_params_get_sub(sweeping_swipe_full_params *params,
                                        int index, int *length,
                                        double **start);
int sweeping_swipe_full_params_compute_output_length(int n);  // (n/2)*6 + 2n

// The reduced feature vector: cosine-transform coefficients and evenly
// spaced order statistics of the sub-vectors, 2r + 6 (r / 2) values.
struct sweeping_swipe_params {
  int reduced_size;  // r
  sweeping_swipe_full_params full;
  cvector output;    // 2r + 6 (r / 2)
  cost_data cos_long;   // length n + 1
  cost_data cos_short;  // length n / 2 + 1
  cvector temp;         // n + 1
  char **names;         // one owned name per output element
};
void sweeping_swipe_params_init(sweeping_swipe_params *params, int n,
                                int reduced_size, int smooth_size,
                                int smooth_times, double powspec_floor);
void sweeping_swipe_params_free(sweeping_swipe_params *params);
void sweeping_swipe(sweeping_swipe_params *params, const cvector *input);
int sweeping_swipe_params_compute_output_length(int n);  // (n/2)*6 + 2n

// ---------------------------------------------------------------------------
// Narrow-band amplitude (recfilter)

// A sine and cosine table of a whole number of cycles close to `frequency`.
struct periodic_wave {
  double frequency;        // the realised frequency
  double value_sin;        // input times sine (NaN before the first input)
  double value_cos;        // input times cosine
  double samplefrequency;
  cvector sin;             // one table period
  cvector cos;
  int pos;                 // position in the tables
};
// Refuses (message, exit status 1) a frequency outside (0, fs/2], a
// negative tolerance, and a tolerance that no table of a sane size meets.
void periodic_wave_init(periodic_wave *params, double frequency,
                        double frequency_tolerance, double samplefrequency);
void periodic_wave_free(periodic_wave *params);
void periodic_wave_reset(periodic_wave *params);
void periodic_wave_process(periodic_wave *params, double value);

// Amplitude near one frequency: demodulation with a periodic wave followed
// by bell-shaped means of length `width` (half the amplitude of a sine at
// the frequency).
struct recfilter_bell {
  periodic_wave filt;
  moving_mean_bell_params sin;
  moving_mean_bell_params cos;
  double value;  // NaN before the first input
};
void recfilter_bell_init(recfilter_bell *params, double frequency,
                         double frequency_tolerance, double samplefrequency,
                         int width);
void recfilter_bell_free(recfilter_bell *params);
void recfilter_bell_reset(recfilter_bell *params);
void recfilter_bell_process(recfilter_bell *params, double value);

// ---------------------------------------------------------------------------
// FIR filters (filter)

struct fir_filter_params {
  int order;          // number of coefficients
  double *coeffs;     // coeffs[i] weighs the sample i steps back
  double *buf;        // ring of the previous order - 1 inputs (zeros first)
  int bufpos;         // next write position in buf
  double value;       // output
  int num_collected;  // samples seen, saturating at order
};
// Largest order the designs build.
constexpr int FIR_MAX_ORDER = 1 << 24;
// Installs a copy of the coefficients (at least one).
void fir_filter_params_init(fir_filter_params *params,
                            const cvector *filter_coeffs);
// Designs from a magnitude response sampled at k fs / (2N), k = 0 ... N; in
// verbose mode the desired response, the coefficients and the real response
// go to Octave files in the working directory.
void fir_filter_params_init_from_frequency_response(fir_filter_params *params,
                                                    const cvector *response,
                                                    int order, int verbose,
                                                    int samplerate);
// Brick-wall designs on the grid of the order (see the frequency response
// above), computed in closed form: time and memory in proportion to the
// order.
void fir_filter_params_init_lowpass(fir_filter_params *params,
                                    double frequency, double samplefrequency,
                                    int order, int sharp, int verbose);
void fir_filter_params_init_highpass(fir_filter_params *params,
                                     double frequency, double samplefrequency,
                                     int order, int sharp, int verbose);
void fir_filter_params_init_bandpass(fir_filter_params *params,
                                     double frequency_start,
                                     double frequency_end,
                                     double samplefrequency, int order,
                                     int sharp, int verbose);
// Hanning-windowed sine kernel at `frequency` (gain about 1 there).
void fir_filter_params_init_peak(fir_filter_params *params, double frequency,
                                 double samplefrequency, int order,
                                 int verbose);
// A unit impulse minus a Hanning-windowed cosine kernel at `frequency`.
void fir_filter_params_init_notch(fir_filter_params *params, double frequency,
                                  double samplefrequency, int order,
                                  int verbose);
void fir_filter_params_process(fir_filter_params *params, double value);
// The same as `count` calls of fir_filter_params_process with `value`, in
// time linear in count + order instead of their product.
void fir_filter_params_fill(fir_filter_params *params, double value, int count);
// Shifts `value` in like fir_filter_params_process without computing the
// output (`value` of the record keeps its old content): for samples whose
// filtered value is not used, such as those a downsampler drops.
void fir_filter_params_skip(fir_filter_params *params, double value);
int fir_filter_params_is_valid(const fir_filter_params *params);
void fir_filter_params_reset(fir_filter_params *params);
// trunc(2 * samplefrequency / transition_width).
int fir_filter_params_compute_order(double samplefrequency,
                                    double transition_width, int verbose);
void fir_filter_params_free(fir_filter_params *params);

// ===========================================================================
// ECG matched filter (ecg_matched)
// ===========================================================================

// Correlation of the input with a piecewise-linear QRS template of four
// contiguous segments (newest first), computed as four moving regressions
// and four moving means of delayed input: O(1) per sample. The template has
// one shape in time at every rate: the segment boundaries scale with the
// sample rate from their places at 2048 Hz (segments stay back to back) and
// the slope weights with 2048 / samplerate.
struct ecg_matched_filter_params {
  moving_regression_params r1, r2, r3, r4;  // slopes of the segments
  moving_mean_params m1, m2, m3, m4;        // means of the segments
  delay_params d1, d2, d3, d4;  // bring each segment's input to its place
  double f1, f2, f3, f4;        // slope weights
  double mf1, mf2, mf3, mf4;    // mean weights
  double value;                 // filter output
};
// samplerate >= 179 Hz, so that every segment holds two samples or more.
void ecg_matched_filter_params_init(ecg_matched_filter_params *params,
                                    int samplerate);
void ecg_matched_filter_params_reset(ecg_matched_filter_params *params);
void ecg_matched_filter_params_free(ecg_matched_filter_params *params);
void ecg_matched_filter(ecg_matched_filter_params *params, double value);

// Heart rate from the matched filter: a local maximum of the filter output
// followed by a local minimum, with enough amplitude against the recent
// maximum and plausible spacings, is a beat; beats become beats per minute
// held in a step function with a jump check. value is 0 until the first
// rates have been accepted.
struct ecg_mf_hr_params {
  ecg_matched_filter_params mf;
  impulses_lag_params maximum;  // samples since the last local maximum
  impulses_lag_params minimum;  // samples since the last local minimum
  moving_minmax_params max;     // recent maximum of the filter output
  double max_value;             // output just after the last maximum
  double min_value;             // output just after the last minimum
  double y1, y2;                // the previous two filter outputs
  int norm_dist1;  // nominal samples from a minimum to the next maximum
  int norm_dist2;  // nominal samples from a maximum to the next minimum
  double candidate;  // 1 at an accepted beat, else 0
  peaks_to_bpm_imp_params bpm_imp;
  bpm_impulses_to_stepfunction_params bpm_step;
  double value;  // heart rate, beats per minute
  double thres;  // amplitude threshold factor
};
// samplerate >= 179; 0 < min_expected_bpm; allowed_rising_factor > 0.
// Prints the threshold on standard error.
void ecg_mf_hr_params_init(ecg_mf_hr_params *p, int samplerate,
                           double min_expected_bpm, double max_expected_bpm,
                           int repair, double thres,
                           double allowed_rising_factor);
void ecg_mf_hr_params_reset(ecg_mf_hr_params *p);
void ecg_mf_hr_params_free(ecg_mf_hr_params *p);
void ecg_mf_hr(ecg_mf_hr_params *p, double value);

// ===========================================================================
// Streaming QRS detector (qrs)
// ===========================================================================

// R peaks of an ECG at any sample rate from 128 Hz up, and the heart rate
// they give. Causal, fixed memory, O(1) per sample apart from, per
// candidate peak, one scan of at most 0.6 s of kept samples and a bounded
// number of shape comparisons on a 2-ms grid.
//
// The ECG is band-passed (5 to 15 Hz) and differentiated; the absolute
// slope is integrated over 150 ms. Each peak of the integrated signal (a
// rise to twice the last trough, ended by a fall to half or 200 ms without
// a new maximum) is a candidate, classed as QRS or noise against adaptive
// signal and noise levels (threshold a quarter of the way from noise to
// signal). No second beat within 200 ms; a candidate within 380 ms of a
// beat with less than half its slope and half its height is its T wave.
// Search-back: when 1.66 average beat intervals pass without a beat, or a
// beat closes such a gap, the largest candidate above half the threshold
// since the last beat is taken as well. The levels are learnt during the
// first 2 s (no beats then) and halved after 3 s without a beat. The R
// peak is the largest deflection of the ECG band-passed from 1 to 30 Hz
// under the candidate, corrected for the filters' delay.
//
// Shapes: the wide-band ECG from 80 ms before to 80 ms after each beat's R
// peak is compared (Pearson correlation, best over shifts of up to 20 ms)
// with up to four kept beat shapes; a beat correlating at least 0.9 with
// one updates it (weight 1/8), any other starts a new one in place of the
// shape unused longest, so that normal and ectopic beats each keep theirs.
// A candidate less alike than that
// - has its R peak moved to another peak under it, at least half the
//   largest, that correlates better by 0.2 (an artefact beside the QRS);
// - is noise while the mean absolute ECG above 35 Hz over the last second
//   exceeds a tenth of its R amplitude (muscle and contact noise).
// A search-back candidate needs a fifth of the last beat's steepest slope.
//
// Outputs, all `delay` samples (1.5 s) late: `beat` is 1 at the sample
// `delay` samples after a detected R peak, else 0 (a beat found later than
// that, which only a search-back after a very long interval can do, is put
// out at once); `value` is the heart rate in beats per minute from the last
// two beats put out, held until the next (0 before the second); `artefact`
// is 1 while there is no rate or the last beat lies more than 3 s back. An
// input that is no finite number counts as a repeat of the last one.
struct qrs_biquad {
  double b0, b1, b2, a1, a2;  // y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2
  double z1, z2;              // transposed direct form II state
};

// A candidate peak of the integrated signal.
struct qrs_candidate {
  double height;   // integrated signal at the peak
  double slope;    // steepest |slope| under it
  long long r;     // sample number of its R peak
};

constexpr int qrs_shapes = 4;  // beat shapes kept (normal, ectopic, ...)

struct qrs_params {
  double samplerate;
  qrs_biquad highpass;
  qrs_biquad lowpass[2];
  double last_input;               // last finite input
  double band_previous;            // last band-passed sample
  moving_mean_params integration;  // 150 ms of absolute slope
  int history;                     // length of the two rings below
  double *slope;                   // |slope|, last `history`
  qrs_biquad wide[2];              // 1 to 30 Hz: where the R peak lies
  double *shape;                   // wide-band samples, last `history`
  int shape_delay;                 // the wide band's delay at 10 Hz
  qrs_biquad highfreq[2];          // above 35 Hz: noise
  double noise;                    // its mean absolute value, last 1 s
  // Shapes of recent beats (wide band, R -shape_half to +shape_half).
  int shape_half, shape_shift, shape_step;  // samples
  double *shape_kept;              // qrs_shapes of 2 shape_half + 1
  int shapes;                      // shapes kept so far
  long long shape_used[qrs_shapes];  // when each last took a beat
  int window;                      // integration window, samples
  int band_delay;                  // band-pass delay at 10 Hz, samples
  int refractory, t_wave, learning, silence, hold;  // periods, samples

  long long n;  // samples seen

  // Candidate tracking: seeking a trough, or following a rise.
  int rising;
  double trough;
  double peak;
  long long peak_at;

  // Classification.
  double signal_level, noise_level;
  double learn_max, learn_sum;
  long long last_r;       // R peak of the last beat, -1 for none
  long long classified_r;  // R peak of the last candidate classed
  int latency;            // longest a candidate takes to be classed
  double last_slope;      // its steepest slope
  double last_height;     // its integrated signal
  long long last_change;  // last beat or threshold drop
  int rr[8];              // last beat intervals
  int rr_count;
  double rr_mean;         // mean of the regular ones
  qrs_candidate backup;   // best sub-threshold candidate, height 0: none

  // Output.
  int delay;                // samples
  unsigned char *pending;   // delay + 1 slots of impulses to put out
  long long last_beat_out;  // output sample of the last beat, -1 for none
  int beat;
  double value;
  int artefact;
};
// 128 <= samplerate <= 8192.
void qrs_params_init(qrs_params *params, double samplerate);
// The output delay, in samples, of a detector at `samplerate`.
int qrs_delay(double samplerate);
void qrs_params_reset(qrs_params *params);
void qrs_params_free(qrs_params *params);
void qrs(qrs_params *params, double value);
