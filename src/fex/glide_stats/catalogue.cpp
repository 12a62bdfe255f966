// The catalogue of glide_stats functions: one table entry per function.
//
// An entry is written with ENTRY(name, code, note, min_width, setup, record,
// create, process, output): `create` initialises the record `p` for
// dimension `j` from the settings `s`, `process` feeds the sample `x` to `p`,
// `output` is the value written. Adding a function means adding one entry (and its library code).
#include "catalogue.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "cmatrix.h"
#include "common.h"
#include "fex.h"

int verbose = 0;
int sharp = 1;

namespace {

// Run, when given, is the library's run of Process over samples of one
// dimension (moving_mean_run and the like): `output` of each sample, the
// same values, stopping after a NaN or infinite one. Rows, when given, is
// its run over records of several dimensions (one instance a dimension),
// stopping after a record with a NaN or infinite value. Columns, when
// given, is its run over columns (moving_mean_columns), all of their
// samples.
template <class R, auto Create, auto Process, auto Output, auto Run = nullptr,
          auto Rows = nullptr, auto Columns = nullptr>
struct entry_functions {
  static constexpr bool kHasRun = !std::is_same_v<decltype(Run), std::nullptr_t>;
  static constexpr bool kHasRows = !std::is_same_v<decltype(Rows), std::nullptr_t>;
  static constexpr bool kHasColumns =
      !std::is_same_v<decltype(Columns), std::nullptr_t>;
  static constexpr int kMostColumns = 8;  // handed to Columns at a time
  static void *create(const glide_settings *s, int j) {
    R *p = static_cast<R *>(std::calloc(1, sizeof(R)));
    if (p == nullptr) {
      if (errno == 0) errno = ENOMEM;
      fatal_system_error(GLIDE_STATS);
    }
    Create(p, s, j);
    return p;
  }
  static void process(void *instance, double x) {
    Process(static_cast<R *>(instance), x);
  }
  static double output(const void *instance) {
    return Output(static_cast<const R *>(instance));
  }
  template <bool Stop>
  static size_t rows(void *const *instances, int dim, size_t count,
                     const double *in, double *out) {
    if (dim == 1) {
      R *p = static_cast<R *>(instances[0]);
      if constexpr (kHasRun) {
        if constexpr (Stop) return Run(p, in, out, count);
        for (size_t r = 0; r < count;) r += Run(p, in + r, out + r, count - r);
        return count;
      }
      for (size_t r = 0; r < count; ++r) {
        Process(p, in[r]);
        out[r] = Output(p);
        if constexpr (Stop) {
          if (!std::isfinite(out[r])) return r + 1;
        }
      }
      return count;
    }
    if constexpr (kHasRows) {
      static thread_local std::vector<R *> records;
      records.resize(static_cast<size_t>(dim));
      for (int j = 0; j < dim; ++j) records[j] = static_cast<R *>(instances[j]);
      if constexpr (Stop) return Rows(records.data(), dim, in, out, count);
      for (size_t r = 0; r < count;) {
        r += Rows(records.data(), dim, in + r * dim, out + r * dim, count - r);
      }
      return count;
    }
    for (size_t r = 0; r < count; ++r) {
      const double *x = in + r * static_cast<size_t>(dim);
      double *y = out + r * static_cast<size_t>(dim);
      bool finite = true;
      for (int j = 0; j < dim; ++j) {
        R *p = static_cast<R *>(instances[j]);
        Process(p, x[j]);
        y[j] = Output(p);
        if constexpr (Stop) finite &= std::isfinite(y[j]);
      }
      if (Stop && !finite) return r + 1;
    }
    return count;
  }
  static size_t process_rows(void *const *instances, int dim, size_t count,
                             const double *in, double *out,
                             bool stop_at_nonfinite) {
    return stop_at_nonfinite ? rows<true>(instances, dim, count, in, out)
                             : rows<false>(instances, dim, count, in, out);
  }
  static void process_columns(void *const *instances, int ncols,
                              size_t count, const double *in, size_t stride,
                              double *out) {
    if constexpr (kHasColumns) {
      R *records[kMostColumns];
      for (int c0 = 0; c0 < ncols; c0 += kMostColumns) {
        const int k = std::min(kMostColumns, ncols - c0);
        for (int c = 0; c < k; ++c) records[c] = static_cast<R *>(instances[c0 + c]);
        const size_t offset = static_cast<size_t>(c0) * stride;
        Columns(records, k, in + offset, stride, out + offset, count);
      }
      return;
    }
    if constexpr (kHasRun) {
      for (int c = 0; c < ncols; ++c) {
        R *p = static_cast<R *>(instances[c]);
        const double *x = in + c * stride;
        double *y = out + c * stride;
        for (size_t r = 0; r < count;) r += Run(p, x + r, y + r, count - r);
      }
      return;
    }
    for (size_t r = 0; r < count; ++r) {
      for (int c = 0; c < ncols; ++c) {
        R *p = static_cast<R *>(instances[c]);
        Process(p, in[c * stride + r]);
        out[c * stride + r] = Output(p);
      }
    }
  }
};

template <class R, auto Create, auto Process, auto Output, auto Run = nullptr,
          auto Rows = nullptr, auto Columns = nullptr>
constexpr function_entry make_entry(const char *name, int code,
                                    const char *note, int min_width,
                                    void (*setup)(glide_settings *)) {
  using F = entry_functions<R, Create, Process, Output, Run, Rows, Columns>;
  return function_entry{name,      code,       note,
                        min_width, setup,      F::create,
                        F::process, F::output, F::process_rows,
                        F::process_columns, F::kHasRun && !F::kHasRows,
                        true};
}

// An entry whose instances keep no window of samples (exponential
// statistics: the width only sets their smoothing factor).
constexpr function_entry windowless(function_entry e) {
  e.keeps_window = false;
  return e;
}

// A last argument, when given, is the library's run of PROCESS (with OUTPUT
// as its values), used for one-dimensional streams; one more is its run
// over records of several dimensions (or nullptr), one more its run over
// columns.
#define ENTRY(NAME, CODE, NOTE, MIN_WIDTH, SETUP, REC, CREATE, PROCESS,     \
              OUTPUT, ...)                                                  \
  make_entry<REC,                                                           \
             [](REC *p, [[maybe_unused]] const glide_settings *s,           \
                [[maybe_unused]] int j) { CREATE; },                        \
             [](REC *p, [[maybe_unused]] double x) { PROCESS; },            \
             [](const REC *p) -> double { return OUTPUT; }                  \
                 __VA_OPT__(, __VA_ARGS__)>(NAME, CODE, NOTE, MIN_WIDTH, SETUP)

// ---------------------------------------------------------------------------
// Instances made of more than one library record

// `amplitude`: its own maximum and minimum tracker per dimension.
struct amplitude_instance {
  moving_minmax_params max;
  moving_minmax_params min;
};

// `sliding_mean_protect`: two exponential means restarted in turn.
struct protect_instance {
  sliding_mean_variance_energy_params means[2];
  int current;  // index of the mean written; the other is the reserve
  long long num_collected;
  long long num_before_swap;
};

void protect_init(protect_instance *p, const glide_settings *s) {
  sliding_mean_variance_energy_params_init(&p->means[0], s->alpha);
  sliding_mean_variance_energy_params_init(&p->means[1], s->alpha);
  p->current = 0;
  p->num_collected = 0;
  p->num_before_swap =
      static_cast<long long>(std::trunc(std::log(s->eps) / std::log(s->alpha)));
}

void protect_process(protect_instance *p, double x) {
  sliding_mean_variance_energy(x, &p->means[p->current]);
  sliding_mean_variance_energy(x, &p->means[1 - p->current]);
  if (++p->num_collected > p->num_before_swap) {
    sliding_mean_variance_energy_params_reset(&p->means[p->current]);
    p->current = 1 - p->current;
    p->num_collected = 0;
  }
}

void minmax_init(moving_minmax_params *p, const glide_settings *s) {
  if (s->minmax_updates > s->size) {
    std::fprintf(stderr,
                 "%s warning: setting minmax_updates (%d) > width (%d) is a "
                 "waste of computation time!\n",
                 GLIDE_STATS, s->minmax_updates, s->size);
  }
  moving_max_params_init(p, s->size, s->minmax_updates);
}

void amplitude_init(amplitude_instance *p, const glide_settings *s) {
  minmax_init(&p->max, s);
  moving_max_params_init(&p->min, s->size, s->minmax_updates);
}

void delay_process(delay_params *p, double x) {
  delay(p, x);
  if (!delay_params_is_valid(p)) std::fputs("premature access!\n", stderr);
}

void delay_any_process(delay_any_params *p, double x) {
  const float f = static_cast<float>(x);
  delay_any(p, &f);
}

double delay_any_output(const delay_any_params *p) {
  float f;
  std::memcpy(&f, p->value, sizeof f);
  return f;
}

// ---------------------------------------------------------------------------
// Start-up checks

void check_updates(glide_settings *s) {
  if (s->minmax_updates < 0) {
    fatal_error("%s error: --updates must not be negative (got %d)!\n",
                GLIDE_STATS, s->minmax_updates);
  }
}

void check_exponent(glide_settings *s) {
  if (s->exponent == 0.0 || !std::isfinite(s->exponent)) {
    fatal_error(
        "%s error: function pseudomax needs a finite, non-zero --exponent "
        "(got %g)!\n",
        GLIDE_STATS, s->exponent);
  }
}

void check_epsilon(glide_settings *s) {
  if (!(s->eps > 0.0 && s->eps < 1.0)) {
    fatal_error(
        "%s error: function sliding_mean_protect needs an --epsilon between "
        "0 and 1 (got %g)!\n",
        GLIDE_STATS, s->eps);
  }
}

void refuse_regression2(glide_settings *) {
  fatal_error(
      "%s error: function regression2 is not available (the second "
      "regression variant is unfinished); use --function=regression!\n",
      GLIDE_STATS);
}

// ---------------------------------------------------------------------------
// Peak and heart-rate detectors: defaults and checks at start-up

// The detectors need a positive rate; their windows are trunc(factor *
// samplerate) samples.
void check_samplerate(const char *function, double samplerate) {
  if (!(samplerate > 0.0)) {
    fatal_error("%s error: function %s needs a positive --samplerate (got "
                "%f)!\n",
                GLIDE_STATS, function, samplerate);
  }
}

// A window that the sample rate sets: regressions need two samples, and the
// counters of the detectors hold twice the longest window in an int.
void check_rate_window(const char *function, const char *what,
                       double samplerate, double length) {
  length = std::trunc(length);
  if (!(length >= 2.0)) {
    fatal_error("%s error: function %s: samplerate %g Hz gives a %s of %.0f "
                "samples, below the 2 it needs!\n",
                GLIDE_STATS, function, samplerate, what, length);
  }
  if (length > INT_MAX / 2) {
    fatal_error("%s error: function %s: samplerate %g Hz gives a %s of %.0f "
                "samples, more than the %d it can hold!\n",
                GLIDE_STATS, function, samplerate, what, length, INT_MAX / 2);
  }
}

// A width given by an option (or its default).
void check_peak_width(const char *function, const char *what, int width) {
  if (width < 2) {
    fatal_error("%s error: function %s: %s = %d is below the 2 samples it "
                "needs!\n",
                GLIDE_STATS, function, what, width);
  }
}

// The reference window of a peak detector covers the longest beat
// interval, trunc(60 / peak_minimum_bpm * samplerate) samples.
void check_minimum_bpm(const char *function, const glide_settings *s) {
  if (!(s->peak_minimum_bpm > 0.0)) {
    fatal_error("%s error: function %s needs a positive --peak_min_bpm (got "
                "%f)!\n",
                GLIDE_STATS, function, s->peak_minimum_bpm);
  }
  const double window = std::trunc(60.0 / s->peak_minimum_bpm * s->samplerate);
  if (!(window >= 1.0) || window > INT_MAX / 2) {
    fatal_error("%s error: function %s: --peak_min_bpm = %f at samplerate %g "
                "Hz gives a longest beat interval of %.0f samples (it must be "
                "between 1 and %d)!\n",
                GLIDE_STATS, function, s->peak_minimum_bpm, s->samplerate,
                window, INT_MAX / 2);
  }
}

// Threshold and rate limits not given take the function's defaults; the
// detectors do not use the width.
void fill_peak_defaults(glide_settings *s, double threshold) {
  if (s->peak_threshold == -1.0) s->peak_threshold = threshold;
  if (s->peak_minimum_bpm == 0.0) s->peak_minimum_bpm = 20.0;
  if (s->peak_maximum_bpm == 0.0) s->peak_maximum_bpm = 200.0;
  s->size = 0;
}

// The widths and rate bounds of peak_slope_max and peak_slope_stddev.
void check_slope_peaks(const char *name, const glide_settings *s) {
  check_peak_width(name, "regression width (--peak_regression_width)",
                   s->peak_regression_width);
  check_peak_width(name, "maximum width (--peak_max)", s->peak_max);
  check_minimum_bpm(name, s);
}

void setup_peak_slope_max(glide_settings *s) {
  static const char *const name = "peak_slope_max";
  check_samplerate(name, s->samplerate);
  if (s->peak_regression_width == -1) {
    s->peak_regression_width =
        static_cast<int>(s->samplerate * 0.0634765625);  // 130 / 2048
  }
  if (s->peak_max == -1) {
    s->peak_max = static_cast<int>(s->samplerate * 0.0048828125);  // 10 / 2048
    if (s->peak_max <= 1) s->peak_max = 2;
  }
  fill_peak_defaults(s, 0.6);
  std::fprintf(stderr,
               "%s: function peak_slope_max: regression width = %d, "
               "maximum_width = %d, threshold = %f, min bpm = %f, max bpm = "
               "%f, samplerate = %f\n",
               GLIDE_STATS, s->peak_regression_width, s->peak_max,
               s->peak_threshold, s->peak_minimum_bpm, s->peak_maximum_bpm,
               s->samplerate);
  check_slope_peaks(name, s);
}

void setup_peak_slope_stddev(glide_settings *s) {
  static const char *const name = "peak_slope_stddev";
  check_samplerate(name, s->samplerate);
  if (s->peak_regression_width == -1) s->peak_regression_width = 130;
  if (s->peak_max == -1) s->peak_max = 10;
  fill_peak_defaults(s, 2.0);
  std::fprintf(stderr,
               "%s: function peak_slope_stddev: regression width = %d, "
               "maximum_width = %d, threshold = %f\n, min bpm = %f, max bpm = "
               "%f, samplerate = %f\n",
               GLIDE_STATS, s->peak_regression_width, s->peak_max,
               s->peak_threshold, s->peak_minimum_bpm, s->peak_maximum_bpm,
               s->samplerate);
  check_slope_peaks(name, s);
}

// peak_max and peak_stddev.
void setup_amplitude_peaks(glide_settings *s, const char *name,
                           double threshold) {
  check_samplerate(name, s->samplerate);
  if (s->peak_width == -1) s->peak_width = 100;
  if (s->peak_max == -1) s->peak_max = 10;
  fill_peak_defaults(s, threshold);
  std::fprintf(stderr,
               "%s: function %s: mean width = %d, maximum_width = %d, "
               "threshold = %f, min bpm = %f, max bpm = %f, samplerate = %f\n",
               GLIDE_STATS, name, s->peak_width, s->peak_max,
               s->peak_threshold, s->peak_minimum_bpm, s->peak_maximum_bpm,
               s->samplerate);
  check_peak_width(name, "mean width (--peak_width)", s->peak_width);
  check_peak_width(name, "maximum width (--peak_max)", s->peak_max);
  check_minimum_bpm(name, s);
}

void setup_peak_max(glide_settings *s) {
  setup_amplitude_peaks(s, "peak_max", 0.4);
}

void setup_peak_stddev(glide_settings *s) {
  setup_amplitude_peaks(s, "peak_stddev", 2.0);
}

void setup_dip_slope_min(glide_settings *s) {
  static const char *const name = "dip_slope_min";
  check_samplerate(name, s->samplerate);
  if (s->peak_regression_width == -1) s->peak_regression_width = 80;
  if (s->peak_width == -1) s->peak_width = 100;
  if (s->peak_max == -1) s->peak_max = 10;
  fill_peak_defaults(s, 0.5);
  std::fprintf(stderr,
               "%s: function dip_slope_min: regression width = %d, mean width "
               "= %d, minimum_width = %d, threshold = %f, min bpm = %f, max "
               "bpm = %f, samplerate = %f\n",
               GLIDE_STATS, s->peak_regression_width, s->peak_width,
               s->peak_max, s->peak_threshold, s->peak_minimum_bpm,
               s->peak_maximum_bpm, s->samplerate);
  check_peak_width(name, "regression width (--peak_regression_width)",
                   s->peak_regression_width);
  check_peak_width(name, "mean width (--peak_width)", s->peak_width);
  check_peak_width(name, "minimum width (--peak_max)", s->peak_max);
  check_minimum_bpm(name, s);
}

// peaks_to_bpm_imp takes the rate limits as given: the slowest rate sets
// the longest beat interval (a division), and with no upper limit every
// beat would be repaired to 0.
void setup_peaks_to_bpm_imp(glide_settings *s) {
  static const char *const name = "peaks_to_bpm_imp";
  check_samplerate(name, s->samplerate);
  check_minimum_bpm(name, s);
  if (!(s->peak_maximum_bpm >= s->peak_minimum_bpm)) {
    fatal_error("%s error: function peaks_to_bpm_imp needs a --peak_max_bpm "
                "of at least --peak_min_bpm (got %f and %f)!\n",
                GLIDE_STATS, s->peak_maximum_bpm, s->peak_minimum_bpm);
  }
}

// The rate pipelines: windows of trunc(factor * samplerate) samples and a
// longest beat interval of trunc(60 / min_bpm * samplerate).
void setup_ecg_hr(glide_settings *s) {
  check_samplerate("ecg_hr", s->samplerate);
  check_rate_window("ecg_hr", "longest beat interval", s->samplerate,
                    3.0 * s->samplerate);
}

void setup_bvp_hr(glide_settings *s) {
  static const char *const name = "bvp_hr";
  check_samplerate(name, s->samplerate);
  check_rate_window(name, "mean window", s->samplerate,
                    0.390625 * s->samplerate);
  check_rate_window(name, "maximum window", s->samplerate,
                    0.0390625 * s->samplerate);
  check_rate_window(name, "longest beat interval", s->samplerate,
                    3.0 * s->samplerate);
}

void setup_resp_rate(glide_settings *s) {
  static const char *const name = "resp_rate";
  check_samplerate(name, s->samplerate);
  check_rate_window(name, "mean window", s->samplerate,
                    2.34375 * s->samplerate);
  check_rate_window(name, "maximum window", s->samplerate,
                    0.29296875 * s->samplerate);
  check_rate_window(name, "longest breath interval", s->samplerate,
                    60.0 / 7.0 * s->samplerate);
}

// Window of 1/6 s before and 1/3 s after the R peak at trunc(samplerate).
void setup_last_ecg_center(glide_settings *s) {
  static const char *const name = "last_ecg_center";
  const double n = std::trunc(s->samplerate);
  check_samplerate(name, n);
  check_rate_window(name, "window", n, (1.0 / 6 + 1.0 / 3) * n);
  check_rate_window(name, "longest beat interval", n, 3.0 * n);
}

void check_floor(glide_settings *s) {
  if (!(s->prod_rect_floor >= 0.0)) {
    fatal_error("%s error: function product_rect needs a --floor of 0 or "
                "more (got %g)!\n",
                GLIDE_STATS, s->prod_rect_floor);
  }
}

// A debug file has one name for all instances: only the instance of
// dimension 0 may write it.
void claim_debug_file(const char *function, const char *file, int j) {
  if (j > 0) {
    fatal_error("%s error: function %s writes its debug file %s for one "
                "dimension only; the stream has more than one!\n",
                GLIDE_STATS, function, file);
  }
}

void peak_slope_max_init(moving_peak_slope_max_params *p,
                         const glide_settings *s) {
  moving_peak_slope_max_params_init(p, s->peak_regression_width, s->peak_max,
                                    s->peak_threshold, s->peak_minimum_bpm,
                                    s->samplerate);
  std::fprintf(stderr, "inherent lag = %f\n",
               p->inherent_lag_times_2 * 0.5 / s->samplerate);
}

void peak_max_init(moving_peak_max_params *p, const glide_settings *s,
                   int j) {
  if (s->peak_debug != nullptr) claim_debug_file("peak_max", s->peak_debug, j);
  moving_peak_max_params_init(p, s->peak_width, s->peak_max, s->peak_threshold,
                              s->peak_minimum_bpm, s->samplerate,
                              s->peak_debug);
}

void last_ecg_center_init(last_ecg_center_params *p, const glide_settings *s,
                          int j) {
  claim_debug_file("last_ecg_center", "last_ecg_center.debug.ascii", j);
  last_ecg_center_params_init(p, static_cast<int>(s->samplerate), 1.0 / 6,
                              1.0 / 3);
}

// The impulse as an int, x truncated toward zero (NaN and values beyond
// the int range are no impulse).
int impulse_of(double x) {
  if (!(x > INT_MIN - 1.0 && x < INT_MAX + 1.0)) return 0;
  return static_cast<int>(x);
}

// The streaming QRS detector: its filters are designed for 128 to 8192 Hz.
void setup_qrs(glide_settings *s, const char *function) {
  if (!(s->samplerate >= 128.0 && s->samplerate <= 8192.0)) {
    fatal_error("%s error: function %s needs a --samplerate from 128 to 8192 "
                "Hz (got %f)!\n",
                GLIDE_STATS, function, s->samplerate);
  }
  s->size = 0;
  std::fprintf(stderr,
               "%s: function %s: samplerate = %f, output delay = %d samples\n",
               GLIDE_STATS, function, s->samplerate, qrs_delay(s->samplerate));
}

void setup_qrs_beats(glide_settings *s) { setup_qrs(s, "qrs_beats"); }

void setup_qrs_hr(glide_settings *s) { setup_qrs(s, "qrs_hr"); }

// ---------------------------------------------------------------------------
// ECG matched filter and filters: defaults and checks at start-up

// The matched filter's shortest segment is 23/2048 of the sample rate and
// needs two samples; its longest delay must fit the int arithmetic.
constexpr int kEcgMatchedMaxRate = 1000000;

void check_ecg_matched_samplerate(const char *function, double samplerate) {
  const double n = std::trunc(samplerate);
  if (!(n >= 179.0 && n <= kEcgMatchedMaxRate)) {
    fatal_error("%s error: function %s needs a --samplerate of at least 179 "
                "Hz (every template segment two samples or more) and at most "
                "%d Hz (got %f)!\n",
                GLIDE_STATS, function, kEcgMatchedMaxRate, samplerate);
  }
}

void setup_ecg_matched_filter(glide_settings *s) {
  check_ecg_matched_samplerate("ecg_matched_filter", s->samplerate);
}

void setup_ecg_mf_hr(glide_settings *s) {
  static const char *const name = "ecg_mf_hr";
  s->size = 0;
  if (s->hr_mf_threshold == -1.0) s->hr_mf_threshold = 0.5;
  if (s->hr_mf_rising_factor == -1.0) s->hr_mf_rising_factor = 1.1;
  if (s->peak_minimum_bpm == 0.0) s->peak_minimum_bpm = 20.0;
  if (s->peak_maximum_bpm == 0.0) s->peak_maximum_bpm = 200.0;
  std::fprintf(stderr,
               "%s: function ecg_mf_hr: min bpm = %f, max bpm = %f, "
               "samplerate = %f. hr_mf_threshold = %f, hr_mf_rising_factor = "
               "%f\n",
               GLIDE_STATS, s->peak_minimum_bpm, s->peak_maximum_bpm,
               s->samplerate, s->hr_mf_threshold, s->hr_mf_rising_factor);
  check_ecg_matched_samplerate(name, s->samplerate);
  check_minimum_bpm(name, s);
  if (!(s->peak_maximum_bpm >= s->peak_minimum_bpm)) {
    fatal_error("%s error: function ecg_mf_hr needs a --peak_max_bpm of at "
                "least --peak_min_bpm (got %f and %f)!\n",
                GLIDE_STATS, s->peak_maximum_bpm, s->peak_minimum_bpm);
  }
  if (!(s->hr_mf_rising_factor > 0.0) ||
      !std::isfinite(s->hr_mf_rising_factor)) {
    fatal_error("%s error: function ecg_mf_hr needs a positive, finite "
                "hr_mf_rising_factor (got %f)!\n",
                GLIDE_STATS, s->hr_mf_rising_factor);
  }
  if (std::isnan(s->hr_mf_threshold)) {
    fatal_error("%s error: function ecg_mf_hr needs a numeric "
                "hr_mf_threshold!\n",
                GLIDE_STATS);
  }
}

// A FIR filter keeps its previous order - 1 inputs, so it needs an order of
// two or more.
void check_fir_order(const char *function, int order, const char *source) {
  if (order < 2) {
    fatal_error("%s error: function %s needs a filter order of at least 2 "
                "(got %d from %s)!\n",
                GLIDE_STATS, function, order, source);
  }
}

void setup_fir(glide_settings *s) {
  if (s->size != -1 || s->transition != -1.0) {
    fatal_error("%s error: option --fir already sets the order; options "
                "--size or --transition not possible here.\n",
                GLIDE_STATS);
  }
  if (s->coeffs != nullptr) {
    check_fir_order("fir", s->coeffs->width,
                    "the number of columns of the coefficient matrix");
  }
}

// The order of the designed FIR filters: from --transition or --width.
void settle_fir_order(glide_settings *s, const char *function) {
  if (s->transition != -1.0) {
    if (s->size != -1) {
      fatal_error("%s error: options --transition and --width cannot be used "
                  "together!\n",
                  GLIDE_STATS);
    }
    s->size = fir_filter_params_compute_order(s->samplerate, s->transition,
                                              verbose);
    std::fprintf(stderr, "%s: transition = %f -> order = %d\n", GLIDE_STATS,
                 s->transition, s->size);
    check_fir_order(function, s->size, "--transition");
  } else if (s->size == -1) {
    fatal_error("%s error: please specify the order of the FIR filter either "
                "via --transition or directly by --width!\n",
                GLIDE_STATS);
  } else {
    check_fir_order(function, s->size, "--width");
  }
}

void need_frequency(const glide_settings *s, const char *function) {
  if (s->frequency == -1.0) {
    fatal_error("%s error: need option --frequency for %s filter.\n",
                GLIDE_STATS, function);
  }
}

void setup_lowpass(glide_settings *s) {
  need_frequency(s, "lowpass");
  settle_fir_order(s, "lowpass");
}

void setup_highpass(glide_settings *s) {
  need_frequency(s, "highpass");
  settle_fir_order(s, "highpass");
}

void setup_bandpass(glide_settings *s) {
  if (s->frequency_start == -1.0 || s->frequency_end == -1.0) {
    fatal_error("%s error: need option --frequency_start and --frequency_end "
                "for bandpass filter.\n",
                GLIDE_STATS);
  }
  settle_fir_order(s, "bandpass");
}

// peakpass and notch: one frequency, and only the sharp design exists.
void setup_sharp_only(glide_settings *s, const char *function) {
  need_frequency(s, function);
  if (!sharp) {
    fatal_error("%s error: superfluous option --nosharp in mode %s!\n",
                GLIDE_STATS, function);
  }
  settle_fir_order(s, function);
}

void setup_peakpass(glide_settings *s) { setup_sharp_only(s, "peakpass"); }

void setup_notch(glide_settings *s) { setup_sharp_only(s, "notch"); }

void setup_recfilter_bell(glide_settings *s) {
  if (s->frequency == -1.0) {
    fatal_error("%s error: need option --frequency for recfilter_bell.\n",
                GLIDE_STATS);
  }
  if (!(s->frequency > 0.0)) {
    fatal_error("%s error: function recfilter_bell needs a positive "
                "--frequency (got %f)!\n",
                GLIDE_STATS, s->frequency);
  }
}

// Row j of the coefficient matrix is the filter of dimension j.
void fir_init(fir_filter_params *p, const glide_settings *s, int j) {
  if (s->coeffs == nullptr) {
    fatal_error("%s error: need option --coeffs for FIR filter.\n",
                GLIDE_STATS);
  }
  cvector *row = cvector_create_from_row(s->coeffs, j);
  fir_filter_params_init(p, row);
  cvector_delete(row);
}

void fir_process(fir_filter_params *p, double x) {
  fir_filter_params_process(p, x);
  if (!fir_filter_params_is_valid(p)) {
    std::fprintf(stderr, "%s warning: value is invalid!\n", GLIDE_STATS);
  }
}

const char *const kPeakNote = "(see --peak_width, --peak_max, --peak_threshold)";

const char *const kMaxNote =
    "(value is at least the maximum of the last 'width' values and at most "
    "the maximum of the last width * (1 + 1/k) values; k is set by "
    "--updates)";

using smve = sliding_mean_variance_energy_params;

}  // namespace

// ---------------------------------------------------------------------------
// The table, in the order of the function codes.

const function_entry glide_catalogue[] = {
    // Rectangular-window statistics
    ENTRY("mean", MW_MEAN, nullptr, 1, nullptr, moving_mean_params,
          moving_mean_params_init(p, s->size), moving_mean(p, x), p->value,
          moving_mean_run, nullptr, moving_mean_columns),
    ENTRY("mean_triangle", MW_MEAN_TRIANGLE, nullptr, 1, nullptr,
          moving_mean_triangle_params,
          moving_mean_triangle_params_init(p, s->size),
          moving_mean_triangle(p, x), p->value),
    ENTRY("mean_bell", MW_MEAN_BELL, nullptr, 1, nullptr,
          moving_mean_bell_params,
          moving_mean_bell_params_init(p, s->size, 0), moving_mean_bell(p, x),
          p->value),
    ENTRY("mean_abs", MW_MEAN_ABS, nullptr, 1, nullptr, moving_mean_params,
          moving_mean_params_init(p, s->size), moving_mean(p, x),
          std::fabs(p->value)),
    ENTRY("delay", MW_DELAY, nullptr, 1, nullptr, delay_params,
          delay_params_init(p, s->size), delay_process(p, x), p->value),
    ENTRY("delay-any", MW_DELAY_ANY_TEST, nullptr, 1, nullptr,
          delay_any_params, delay_any_params_init(p, s->size, 4),
          delay_any_process(p, x), delay_any_output(p)),
    ENTRY("mean-normalize", MW_MEAN_NORMALIZE,
          "(output is delayed by width/2)", 1, nullptr,
          moving_mean_normalize_params,
          moving_mean_normalize_params_init(p, s->size),
          moving_mean_normalize(p, x), p->value),
    ENTRY("stddev", MW_STDDEV, nullptr, 1, nullptr, moving_stddev_params,
          moving_stddev_params_init(p, s->size),
          moving_stddev_instantaneous(p, x), p->stddev_instantaneous,
          moving_stddev_instantaneous_run, moving_stddev_instantaneous_rows,
          moving_stddev_instantaneous_columns),
    ENTRY("stddev_lagged", MW_STDDEV_LAGGED, nullptr, 1, nullptr,
          moving_stddev_params, moving_stddev_params_init(p, s->size),
          moving_stddev(p, x), p->stddev_lagged),
    ENTRY("energy", MW_ENERGY, nullptr, 1, nullptr, moving_stddev_params,
          moving_stddev_params_init(p, s->size),
          moving_stddev_instantaneous(p, x),
          p->square.value),
    ENTRY("mean-variance-normalize", MW_MEANVARIANCE_NORMALIZE,
          "(subtracts mean and divides by standard deviation; output is "
          "delayed by width/2)",
          1, nullptr, moving_meanvariance_normalize_params,
          moving_meanvariance_normalize_params_init(p, s->size),
          moving_meanvariance_normalize(p, x), p->value),

    // Derivatives and regressions
    ENTRY("derivative", MW_DERIVATIVE, nullptr, 2, nullptr,
          moving_derivative_params, moving_derivative_params_init(p, s->size),
          moving_derivative(p, x), p->value),
    ENTRY("derivative_symm", MW_DERIVATIVE_SYMM, nullptr, 2, nullptr,
          moving_derivative_symm_params,
          moving_derivative_symm_params_init(p, s->size, 0),
          moving_derivative_symm(p, x), p->value),
    ENTRY("derivative_smooth", MW_DERIVATIVE_SMOOTH, nullptr, 2, nullptr,
          moving_derivative_smooth_params,
          moving_derivative_smooth_params_init(p, s->size, 0),
          moving_derivative_smooth(p, x), p->value),
    ENTRY("regression", MW_REGRESSION, nullptr, 2, nullptr,
          moving_regression_params,
          moving_regression_params_init(p, s->size), moving_regression(p, x),
          p->value, moving_regression_run),
    // Refused at start-up: the library has no second regression variant.
    function_entry{"regression2", MW_REGRESSION2, "(not available)", 2,
                   refuse_regression2, nullptr, nullptr, nullptr, nullptr,
                   nullptr, false, false},

    // Extremes and pseudo-statistics
    ENTRY("max", MW_MAX, kMaxNote, 1, check_updates, moving_minmax_params,
          minmax_init(p, s), moving_max(p, x), p->value, moving_max_run),
    ENTRY("min", MW_MIN, "(counterpart to '-max')", 1, check_updates,
          moving_minmax_params, minmax_init(p, s), moving_min(p, x),
          p->value, moving_min_run),
    ENTRY("amplitude", MW_AMPLITUDE, "(max - min, see -max and -min)", 1,
          check_updates, amplitude_instance, amplitude_init(p, s),
          (moving_min(&p->min, x), moving_max(&p->max, x)),
          p->max.value - p->min.value),
    ENTRY("pseudomax", MW_PSEUDOMAX, "(see extra parameter --exponent)", 1,
          check_exponent, moving_pseudomax_params,
          moving_pseudomax_params_init(p, s->size, s->exponent),
          moving_pseudomax(p, x), p->value),
    ENTRY("pseudomedian", MW_PSEUDOMEDIAN, "(see extra parameter --rate)", 1,
          nullptr, moving_pseudomedian_params,
          moving_pseudomedian_params_init(p, s->size, 0),
          moving_pseudomedian(p, x), p->value),
    ENTRY("pseudomedian_gauss", MW_PSEUDOMEDIAN_GAUSS, nullptr, 1, nullptr,
          moving_pseudomedian_gauss_params,
          moving_pseudomedian_gauss_params_init(p, s->size, s->rate),
          moving_pseudomedian_gauss(p, x), p->value),

    // Change measures
    ENTRY("absrise", MW_ABSRISE, nullptr, 2, nullptr, moving_delta_params,
          moving_delta_params_init(p, s->size), moving_absrise(p, x),
          p->value),
    ENTRY("absfall", MW_ABSFALL, nullptr, 2, nullptr, moving_delta_params,
          moving_delta_params_init(p, s->size), moving_absfall(p, x),
          p->value),
    ENTRY("sqrise", MW_SQRISE, nullptr, 2, nullptr, moving_delta_params,
          moving_delta_params_init(p, s->size), moving_sqrise(p, x),
          p->value),
    ENTRY("sqfall", MW_SQFALL, nullptr, 2, nullptr, moving_delta_params,
          moving_delta_params_init(p, s->size), moving_sqfall(p, x),
          p->value),

    ENTRY("product", MW_PROD, nullptr, 1, nullptr, moving_product_params,
          moving_product_params_init(p, s->size), moving_product(p, x),
          p->value),

    // Peak and heart-rate detectors
    ENTRY("ecg_hr", MW_ECG_HR, "(needs parameter --samplerate)", 0,
          setup_ecg_hr, ecg_hr_params,
          ecg_hr_params_init(p, s->samplerate, 1), ecg_hr(p, x), p->value),
    ENTRY("bvp_hr", MW_BVP_HR, nullptr, 0, setup_bvp_hr, bvp_hr_params,
          bvp_hr_params_init(p, s->samplerate, 1), bvp_hr(p, x), p->value),
    ENTRY("resp_rate", MW_RESP_RATE, "(needs parameter --samplerate)", 0,
          setup_resp_rate, resp_rate_params,
          resp_rate_params_init(p, s->samplerate, 1), resp_rate(p, x),
          p->value),
    ENTRY("peak_slope_max", MW_PEAK_SLOPE_MAX, kPeakNote, 0,
          setup_peak_slope_max, moving_peak_slope_max_params,
          peak_slope_max_init(p, s), moving_peak_slope_max(p, x), p->value),
    ENTRY("peak_slope_stddev", MW_PEAK_SLOPE_STDDEV, kPeakNote, 0,
          setup_peak_slope_stddev, moving_peak_slope_stddev_params,
          moving_peak_slope_stddev_params_init(
              p, s->peak_regression_width, s->peak_max, s->peak_threshold,
              s->peak_minimum_bpm, s->samplerate),
          moving_peak_slope_stddev(p, x), p->value),
    ENTRY("peak_max", MW_PEAK_MAX, kPeakNote, 0, setup_peak_max,
          moving_peak_max_params, peak_max_init(p, s, j), moving_peak_max(p, x),
          p->value),
    ENTRY("peak_stddev", MW_PEAK_STDDEV, kPeakNote, 0, setup_peak_stddev,
          moving_peak_stddev_params,
          moving_peak_stddev_params_init(p, s->peak_width, s->peak_max,
                                         s->peak_threshold,
                                         s->peak_minimum_bpm, s->samplerate),
          moving_peak_stddev(p, x), p->value),
    ENTRY("dip_slope_min", MW_DIP_SLOPE_MIN, kPeakNote, 0,
          setup_dip_slope_min, moving_dip_slope_min_params,
          moving_dip_slope_min_params_init(
              p, s->peak_regression_width, s->peak_width, s->peak_max,
              s->peak_threshold, s->peak_minimum_bpm, s->samplerate),
          moving_dip_slope_min(p, x), p->value),
    ENTRY("peaks_to_bpm_imp", MW_PEAKS_TO_BPM_IMP,
          "(see extra parameter --samplerate)", 0, setup_peaks_to_bpm_imp,
          peaks_to_bpm_imp_params,
          peaks_to_bpm_imp_params_init(p, s->samplerate, s->peak_minimum_bpm,
                                       s->peak_maximum_bpm, 1),
          peaks_to_bpm_imp(p, impulse_of(x)), p->value),
    ENTRY("ecg_matched_filter", MW_ECG_MATCHED_FILTER,
          "(see extra parameter --samplerate)", 0, setup_ecg_matched_filter,
          ecg_matched_filter_params,
          ecg_matched_filter_params_init(p, static_cast<int>(s->samplerate)),
          ecg_matched_filter(p, x), p->value),
    ENTRY("ecg_mf_hr", MW_ECG_MF_HR, "(see extra parameter --samplerate)", 0,
          setup_ecg_mf_hr, ecg_mf_hr_params,
          ecg_mf_hr_params_init(p, static_cast<int>(s->samplerate),
                                s->peak_minimum_bpm, s->peak_maximum_bpm, 1,
                                s->hr_mf_threshold, s->hr_mf_rising_factor),
          ecg_mf_hr(p, x), p->value),
    ENTRY("impulses_to_stepfunction", MW_IMP_TO_STEPFUNC, nullptr, 0, nullptr,
          impulses_to_stepfunction_params,
          impulses_to_stepfunction_params_init(p),
          impulses_to_stepfunction(p, x), p->value),
    ENTRY("impulses_lag", MW_IMP_LAG, nullptr, 0, nullptr,
          impulses_lag_params, impulses_lag_params_init(p),
          impulses_lag(p, x), p->value),
    ENTRY("product_rect", MW_PROD_RECT, nullptr, 1, check_floor,
          moving_prod_rect_params,
          moving_prod_rect_params_init(p, s->size, s->prod_rect_floor),
          moving_prod_rect(p, x), p->value),
    // Filters
    ENTRY("fir", FIR,
          "(FIR filter, with coefficients from a file specified by option "
          "--coeffs)",
          0, setup_fir, fir_filter_params, fir_init(p, s, j),
          fir_process(p, x), p->value),
    ENTRY("lowpass", LOWPASS,
          "(using FIR filter of order 'width'; needs options --frequency and "
          "--samplerate. If --transition is given, order is computed "
          "automatically). See also option --nosharp.",
          0, setup_lowpass, fir_filter_params,
          fir_filter_params_init_lowpass(p, s->frequency, s->samplerate,
                                         s->size, sharp, verbose),
          fir_process(p, x), p->value),
    ENTRY("highpass", HIGHPASS, "(analog to lowpass)", 0, setup_highpass,
          fir_filter_params,
          fir_filter_params_init_highpass(p, s->frequency, s->samplerate,
                                          s->size, sharp, verbose),
          fir_process(p, x), p->value),
    ENTRY("bandpass", BANDPASS, nullptr, 0, setup_bandpass, fir_filter_params,
          fir_filter_params_init_bandpass(p, s->frequency_start,
                                          s->frequency_end, s->samplerate,
                                          s->size, sharp, verbose),
          fir_process(p, x), p->value),
    ENTRY("peakpass", PEAKPASS,
          "(FIR filter only letting through one frequency (option "
          "--frequency). Needs samplerate. If --transition is given, order is "
          "computed automatically)",
          0, setup_peakpass, fir_filter_params,
          fir_filter_params_init_peak(p, s->frequency, s->samplerate, s->size,
                                      verbose),
          fir_process(p, x), p->value),
    ENTRY("notch", NOTCH,
          "(FIR filter letting through all but one frequency (option "
          "--frequency). Needs samplerate. If --transition is given, order is "
          "computed automatically)",
          0, setup_notch, fir_filter_params,
          fir_filter_params_init_notch(p, s->frequency, s->samplerate,
                                       s->size, verbose),
          fir_process(p, x), p->value),
    ENTRY("recfilter_bell", RECFILTER_BELL, nullptr, 1, setup_recfilter_bell,
          recfilter_bell,
          recfilter_bell_init(p, s->frequency, 0.01, s->samplerate, s->size),
          recfilter_bell_process(p, x), p->value),
    ENTRY("last_ecg_center", MW_LAST_ECG_CENTER, nullptr, 0,
          setup_last_ecg_center, last_ecg_center_params,
          last_ecg_center_init(p, s, j), last_ecg_center(p, x),
          (static_cast<void>(p), 0.0)),

    // Exponential statistics (alpha from the width)
    windowless(ENTRY("sliding_test", SLIDING_TEST, nullptr, 1, nullptr,
          sliding_test_params, sliding_test_params_init(p, s->alpha),
          sliding_test(x, p), p->value)),
    windowless(ENTRY("sliding_mean", SLIDING_MEAN,
          "(window size such that the standard deviation is equal to the "
          "standard deviation of a rectangular window of size 'width')",
          1, nullptr, smve, sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean(x, p), p->mean)),
    windowless(ENTRY("sliding_mean_protect", SLIDING_MEAN_PROTECT, nullptr, 1,
          check_epsilon, protect_instance, protect_init(p, s),
          protect_process(p, x), p->means[p->current].mean)),
    windowless(ENTRY("sliding_median", SLIDING_MEDIAN, nullptr, 1, nullptr,
          sliding_median_new_params,
          sliding_median_new_params_init(p, s->alpha),
          sliding_median_new(x, p), p->value)),
    windowless(ENTRY("sliding_median_lagged", SLIDING_MEDIAN_LAGGED, nullptr, 1, nullptr,
          smve, sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean_variance_energy(x, p), p->median_lagged)),
    windowless(ENTRY("sliding_stddev", SLIDING_STDDEV, nullptr, 1, nullptr, smve,
          sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean_variance_energy(x, p),
          std::sqrt(p->variance_instantaneous))),
    windowless(ENTRY("sliding_stddev_lagged", SLIDING_STDDEV_LAGGED, nullptr, 1, nullptr,
          smve, sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean_variance_energy(x, p), std::sqrt(p->variance_lagged))),
    windowless(ENTRY("sliding_energy", SLIDING_ENERGY, nullptr, 1, nullptr, smve,
          sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean_variance_energy(x, p), p->energy)),
    windowless(ENTRY("sliding_derivative", SLIDING_DERIVARIVE, nullptr, 1, nullptr,
          sliding_derivative_params,
          sliding_derivative_params_init(p, s->alpha),
          sliding_derivative(x, p), p->value)),
    windowless(ENTRY("sliding_regression_old", SLIDING_REGRESSION_OLD, nullptr, 1,
          nullptr, sliding_regression_old_params,
          sliding_regression_old_params_init(p, s->alpha),
          sliding_regression_old(x, p), p->value)),
    windowless(ENTRY("sliding_regression_new", SLIDING_REGRESSION_NEW, nullptr, 1,
          nullptr, sliding_regression_new_params,
          sliding_regression_new_params_init(p, s->alpha),
          sliding_regression_new(x, p), p->value)),
    windowless(ENTRY("sliding_softmean_old", SLIDING_SOFTMEAN_OLD, nullptr, 1, nullptr,
          sliding_soft_old_params, sliding_soft_old_params_init(p, s->alpha),
          sliding_soft_old(x, p), p->mean)),
    windowless(ENTRY("sliding_softderivative_old", SLIDING_SOFTDERIVATIVE_OLD, nullptr, 1,
          nullptr, sliding_soft_old_params,
          sliding_soft_old_params_init(p, s->alpha), sliding_soft_old(x, p),
          p->derivative)),
    windowless(ENTRY("sliding_softmean_new", SLIDING_SOFTMEAN_NEW, nullptr, 1, nullptr,
          sliding_soft_new_params, sliding_soft_new_params_init(p, s->alpha),
          sliding_soft_new(x, p), p->mean)),
    windowless(ENTRY("sliding_softderivative_new", SLIDING_SOFTDERIVATIVE_NEW, nullptr, 1,
          nullptr, sliding_soft_new_params,
          sliding_soft_new_params_init(p, s->alpha), sliding_soft_new(x, p),
          p->derivative)),

    // Streaming QRS detector
    ENTRY("qrs_beats", MW_QRS_BEATS,
          "(streaming QRS detector: 1 at each R peak, else 0, delayed by 1.5 s; "
          "needs parameter --samplerate)",
          0, setup_qrs_beats, qrs_params, qrs_params_init(p, s->samplerate),
          qrs(p, x), p->beat),
    ENTRY("qrs_hr", MW_QRS_HR,
          "(heart rate in beats per minute from qrs_beats, held between "
          "beats, 0 before the second beat; needs parameter --samplerate)",
          0, setup_qrs_hr, qrs_params, qrs_params_init(p, s->samplerate),
          qrs(p, x), p->value),
};

const size_t glide_catalogue_size =
    sizeof glide_catalogue / sizeof glide_catalogue[0];

const function_entry *glide_find_function(const char *name) {
  for (size_t i = 0; i < glide_catalogue_size; ++i) {
    if (std::strcmp(glide_catalogue[i].name, name) == 0) {
      return &glide_catalogue[i];
    }
  }
  return nullptr;
}

const function_entry *glide_find_code(int code) {
  for (size_t i = 0; i < glide_catalogue_size; ++i) {
    if (glide_catalogue[i].code == code) return &glide_catalogue[i];
  }
  return nullptr;
}
