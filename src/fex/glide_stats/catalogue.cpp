// The catalogue of glide_stats functions: one table entry per function.
//
// An entry is written with ENTRY(name, code, note, min_width, setup, record,
// create, process, output): `create` initialises the record `p` for
// dimension `j` from the settings `s`, `process` feeds the sample `x` to `p`,
// `output` is the value written. Adding a function means adding one entry (and its library code).
#include "catalogue.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "fex.h"

int verbose = 0;
int sharp = 1;

namespace {

template <class R, auto Create, auto Process, auto Output>
struct entry_functions {
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
  static void process_vector(void *const *instances, int dim,
                             const double *in, double *out) {
    for (int j = 0; j < dim; ++j) {
      R *p = static_cast<R *>(instances[j]);
      Process(p, in[j]);
      out[j] = Output(p);
    }
  }
  static void process_column(void *instance, size_t count, const double *in,
                             double *out) {
    R *p = static_cast<R *>(instance);
    for (size_t r = 0; r < count; ++r) {
      Process(p, in[r]);
      out[r] = Output(p);
    }
  }
};

template <class R, auto Create, auto Process, auto Output>
constexpr function_entry make_entry(const char *name, int code,
                                    const char *note, int min_width,
                                    void (*setup)(glide_settings *)) {
  using F = entry_functions<R, Create, Process, Output>;
  return function_entry{name,      code,       note,
                        min_width, setup,      F::create,
                        F::process, F::output, F::process_vector,
                        F::process_column};
}

#define ENTRY(NAME, CODE, NOTE, MIN_WIDTH, SETUP, REC, CREATE, PROCESS,     \
              OUTPUT)                                                       \
  make_entry<REC,                                                           \
             [](REC *p, [[maybe_unused]] const glide_settings *s,           \
                [[maybe_unused]] int j) { CREATE; },                        \
             [](REC *p, [[maybe_unused]] double x) { PROCESS; },            \
             [](const REC *p) -> double { return OUTPUT; }>(                \
      NAME, CODE, NOTE, MIN_WIDTH, SETUP)

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
          moving_mean_params_init(p, s->size), moving_mean(p, x), p->value),
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
          moving_stddev_params_init(p, s->size), moving_stddev(p, x),
          p->stddev_instantaneous),
    ENTRY("stddev_lagged", MW_STDDEV_LAGGED, nullptr, 1, nullptr,
          moving_stddev_params, moving_stddev_params_init(p, s->size),
          moving_stddev(p, x), p->stddev_lagged),
    ENTRY("energy", MW_ENERGY, nullptr, 1, nullptr, moving_stddev_params,
          moving_stddev_params_init(p, s->size), moving_stddev(p, x),
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
          p->value),
    // Refused at start-up: the library has no second regression variant.
    function_entry{"regression2", MW_REGRESSION2, "(not available)", 2,
                   refuse_regression2, nullptr, nullptr, nullptr, nullptr,
                   nullptr},

    // Extremes and pseudo-statistics
    ENTRY("max", MW_MAX, kMaxNote, 1, check_updates, moving_minmax_params,
          minmax_init(p, s), moving_max(p, x), p->value),
    ENTRY("min", MW_MIN, "(counterpart to '-max')", 1, check_updates,
          moving_minmax_params, minmax_init(p, s), moving_min(p, x),
          p->value),
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

    // Exponential statistics (alpha from the width)
    ENTRY("sliding_test", SLIDING_TEST, nullptr, 1, nullptr,
          sliding_test_params, sliding_test_params_init(p, s->alpha),
          sliding_test(x, p), p->value),
    ENTRY("sliding_mean", SLIDING_MEAN,
          "(window size such that the standard deviation is equal to the "
          "standard deviation of a rectangular window of size 'width')",
          1, nullptr, smve, sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean(x, p), p->mean),
    ENTRY("sliding_mean_protect", SLIDING_MEAN_PROTECT, nullptr, 1,
          check_epsilon, protect_instance, protect_init(p, s),
          protect_process(p, x), p->means[p->current].mean),
    ENTRY("sliding_median", SLIDING_MEDIAN, nullptr, 1, nullptr,
          sliding_median_new_params,
          sliding_median_new_params_init(p, s->alpha),
          sliding_median_new(x, p), p->value),
    ENTRY("sliding_median_lagged", SLIDING_MEDIAN_LAGGED, nullptr, 1, nullptr,
          smve, sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean_variance_energy(x, p), p->median_lagged),
    ENTRY("sliding_stddev", SLIDING_STDDEV, nullptr, 1, nullptr, smve,
          sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean_variance_energy(x, p),
          std::sqrt(p->variance_instantaneous)),
    ENTRY("sliding_stddev_lagged", SLIDING_STDDEV_LAGGED, nullptr, 1, nullptr,
          smve, sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean_variance_energy(x, p), std::sqrt(p->variance_lagged)),
    ENTRY("sliding_energy", SLIDING_ENERGY, nullptr, 1, nullptr, smve,
          sliding_mean_variance_energy_params_init(p, s->alpha),
          sliding_mean_variance_energy(x, p), p->energy),
    ENTRY("sliding_derivative", SLIDING_DERIVARIVE, nullptr, 1, nullptr,
          sliding_derivative_params,
          sliding_derivative_params_init(p, s->alpha),
          sliding_derivative(x, p), p->value),
    ENTRY("sliding_regression_old", SLIDING_REGRESSION_OLD, nullptr, 1,
          nullptr, sliding_regression_old_params,
          sliding_regression_old_params_init(p, s->alpha),
          sliding_regression_old(x, p), p->value),
    ENTRY("sliding_regression_new", SLIDING_REGRESSION_NEW, nullptr, 1,
          nullptr, sliding_regression_new_params,
          sliding_regression_new_params_init(p, s->alpha),
          sliding_regression_new(x, p), p->value),
    ENTRY("sliding_softmean_old", SLIDING_SOFTMEAN_OLD, nullptr, 1, nullptr,
          sliding_soft_old_params, sliding_soft_old_params_init(p, s->alpha),
          sliding_soft_old(x, p), p->mean),
    ENTRY("sliding_softderivative_old", SLIDING_SOFTDERIVATIVE_OLD, nullptr, 1,
          nullptr, sliding_soft_old_params,
          sliding_soft_old_params_init(p, s->alpha), sliding_soft_old(x, p),
          p->derivative),
    ENTRY("sliding_softmean_new", SLIDING_SOFTMEAN_NEW, nullptr, 1, nullptr,
          sliding_soft_new_params, sliding_soft_new_params_init(p, s->alpha),
          sliding_soft_new(x, p), p->mean),
    ENTRY("sliding_softderivative_new", SLIDING_SOFTDERIVATIVE_NEW, nullptr, 1,
          nullptr, sliding_soft_new_params,
          sliding_soft_new_params_init(p, s->alpha), sliding_soft_new(x, p),
          p->derivative),
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
