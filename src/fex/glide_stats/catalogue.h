// glide_stats: settings, function codes and the catalogue of functions.
//
// The catalogue is one table (catalogue.cpp) with one entry per function:
// its name, code and help note, the defaults and checks applied at start-up,
// how one instance is created, how it processes one sample and which of its
// values is written. The help text and the name lookup are made from it.
#pragma once

#include <cstddef>

struct cmatrix;

// Function codes, in this order.
enum mw_function {
  MW_UNDEF = 0,
  MW_MEAN,
  MW_MEAN_TRIANGLE,
  MW_MEAN_BELL,
  MW_MEAN_ABS,
  MW_DELAY,
  MW_DELAY_ANY_TEST,
  MW_MEAN_NORMALIZE,
  MW_STDDEV,
  MW_STDDEV_LAGGED,
  MW_ENERGY,
  MW_MEANVARIANCE_NORMALIZE,
  MW_DERIVATIVE,
  MW_DERIVATIVE_SYMM,
  MW_DERIVATIVE_SMOOTH,
  MW_REGRESSION,
  MW_REGRESSION2,
  MW_MAX,
  MW_MIN,
  MW_AMPLITUDE,
  MW_PSEUDOMAX,
  MW_PSEUDOMEDIAN,
  MW_PSEUDOMEDIAN_GAUSS,
  MW_ABSRISE,
  MW_ABSFALL,
  MW_SQRISE,
  MW_SQFALL,
  MW_ECG_HR,
  MW_BVP_HR,
  MW_RESP_RATE,
  MW_PEAK_SLOPE_MAX,
  MW_PEAK_SLOPE_STDDEV,
  MW_PEAK_MAX,
  MW_PEAK_STDDEV,
  MW_DIP_SLOPE_MIN,
  MW_PEAKS_TO_BPM_IMP,
  MW_ECG_MATCHED_FILTER,
  MW_ECG_MF_HR,
  MW_IMP_TO_STEPFUNC,
  MW_IMP_LAG,
  MW_PROD,
  MW_PROD_RECT,
  FIR,
  LOWPASS,
  HIGHPASS,
  BANDPASS,
  PEAKPASS,
  NOTCH,
  RECFILTER_BELL,
  MW_LAST_ECG_CENTER,
  SLIDING_TEST,
  SLIDING_MEAN,
  SLIDING_MEAN_PROTECT,
  SLIDING_MEDIAN,
  SLIDING_MEDIAN_LAGGED,
  SLIDING_MEDIAN2,  // has no name and cannot be chosen
  SLIDING_STDDEV,
  SLIDING_STDDEV_LAGGED,
  SLIDING_ENERGY,
  SLIDING_DERIVARIVE,
  SLIDING_REGRESSION_OLD,
  SLIDING_REGRESSION_NEW,
  SLIDING_SOFTMEAN_OLD,
  SLIDING_SOFTDERIVATIVE_OLD,
  SLIDING_SOFTMEAN_NEW,
  SLIDING_SOFTDERIVATIVE_NEW,
  MW_QRS_BEATS,
  MW_QRS_HR,
};

// The program's source name, the origin of its messages.
#define GLIDE_STATS "glide_stats"

// Settings from the command line; -1 (or -1.0, or 0.0 for the bpm values)
// means "not given".
struct glide_settings {
  int function = MW_UNDEF;
  int size = -1;  // the width
  int minmax_updates = 4;
  double exponent = 2.0;
  double rate = 0.1;
  double samplerate = 2048.0;
  int samplerate_changed = 0;
  int peak_width = -1;
  int peak_regression_width = -1;
  int peak_max = -1;
  double peak_threshold = -1.0;
  double peak_minimum_bpm = 0.0;
  double peak_maximum_bpm = 0.0;
  double hr_mf_threshold = -1.0;
  double hr_mf_rising_factor = -1.0;
  const char *peak_debug = nullptr;
  cmatrix *coeffs = nullptr;
  double frequency = -1.0;
  double frequency_start = -1.0;
  double frequency_end = -1.0;
  double transition = -1.0;
  double eps = 0.01;
  double prod_rect_floor = 1e-9;
  int flush_stdout = 0;
  double alpha = 0.0;
};

extern int verbose;  // --verbose
extern int sharp;    // cleared by --nosharp

struct function_entry {
  const char *name;  // as given to --function (matched exactly)
  int code;
  const char *note;  // behind the name in the help text; null for none
  // Smallest width the function works with; 0 when it does not use the
  // width (it may still have to be given).
  int min_width;
  // Defaults and checks at start-up; may change the settings or end the
  // program with a message. Null for none.
  void (*setup)(glide_settings *s);
  // A new, initialised instance for dimension `j` (0 first).
  void *(*create)(const glide_settings *s, int j);
  // Feeds one sample to an instance.
  void (*process)(void *instance, double x);
  // The value written for the last sample.
  double (*output)(const void *instance);
  // process + output for `count` records of `dim` dimensions held row by
  // row: instances[j] gets in[r * dim + j] for r = 0, 1, ... and its output
  // goes to out[r * dim + j]; generated from the two above. With
  // `stop_at_nonfinite` it returns after the first record with a NaN or
  // infinite output, so that the caller can warn before the next record is
  // processed. Returns the number of records processed.
  size_t (*process_rows)(void *const *instances, int dim, size_t count,
                         const double *in, double *out,
                         bool stop_at_nonfinite);
  // process + output for `count` consecutive samples of `ncols` dimensions
  // held as columns: instances[c] gets in[c * stride + r] for r = 0, 1, ...
  // and its outputs go to out[c * stride + r]; generated as well.
  void (*process_columns)(void *const *instances, int ncols, size_t count,
                          const double *in, size_t stride, double *out);
  // Streams of several dimensions go dimension by dimension at every
  // width: the library has a run of the function and no rows of it (an
  // entry is given no rows when its instances print nothing per sample,
  // whose messages would otherwise come grouped by dimension).
  bool by_dimension;
  // Its instances keep about `width` samples each (delay lines, filter
  // taps), so that many dimensions together outgrow the cache at wide
  // windows; false where their state does not grow with the width.
  bool keeps_window;
};

extern const function_entry glide_catalogue[];
extern const size_t glide_catalogue_size;

// The entry named `name`, or null.
const function_entry *glide_find_function(const char *name);
// The entry with code `code`, or null.
const function_entry *glide_find_code(int code);
