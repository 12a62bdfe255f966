// Window derivatives, the exact moving regression slope, the change measures
// and their exponential counterparts. Slopes are per sample.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "common.h"
#include "fex.h"
#include "recursive_internal.h"

using fex_internal::add_keeping_first_nan;
using fex_internal::delay_full;
using fex_internal::delay_step;
using fex_internal::moving_mean_step;
using fex_internal::truncate_delay;

// ---------------------------------------------------------------------------
// Window derivatives

void moving_derivative_params_init(moving_derivative_params *params,
                                   int size) {
  PRECONDITION(size >= 2);
  moving_mean_params_init(&params->mu, size);
  params->fac = 2.0 / (size - 1);
  params->delay = 0;
  params->value = 0.0;
}

void moving_derivative_params_reset(moving_derivative_params *params) {
  moving_mean_params_reset(&params->mu);
  params->value = 0.0;
}

void moving_derivative_params_free(moving_derivative_params *params) {
  moving_mean_params_free(&params->mu);
}

void moving_derivative(moving_derivative_params *params, double value) {
  moving_mean_step(&params->mu, value);
  params->value = (value - params->mu.value) * params->fac;
}

void moving_derivative_symm_params_init(moving_derivative_symm_params *params,
                                        int size, int use_old_definition) {
  PRECONDITION(size >= 2);
  delay_params_init(&params->value_delayed, size - 1);
  params->fac = use_old_definition ? 1.0 / size : 1.0 / (size - 1);
  params->delay = moving_default_delay(size);
  params->value = 0.0;
}

void moving_derivative_symm_params_reset(
    moving_derivative_symm_params *params) {
  delay_params_reset(&params->value_delayed);
  params->value = 0.0;
}

void moving_derivative_symm_params_free(
    moving_derivative_symm_params *params) {
  delay_params_free(&params->value_delayed);
}

void moving_derivative_symm(moving_derivative_symm_params *params,
                            double value) {
  delay_step(&params->value_delayed, value);
  params->value = (value - params->value_delayed.value) * params->fac;
}

// The four window lengths of the new form must add up to (size - 1) + 3;
// `size` here is that reduced length. Sums in 64 bits: the quarters of the
// largest widths add up to more than INT_MAX.
static void check_smooth_sizes(int64_t s1, int64_t s2, int64_t s3, int64_t s4,
                               int64_t size) {
  PRECONDITION(s1 + s2 + s3 + s4 == size + 3);
}

void moving_derivative_smooth_params_init(
    moving_derivative_smooth_params *params, int size,
    int use_old_approximative_sizes) {
  int s1, s2, s3, s4;
  const int64_t wide = size;
  if (use_old_approximative_sizes) {
    s1 = s2 = s3 = static_cast<int>((wide + 2) / 4);
    s4 = static_cast<int>(wide - 3 * int64_t{s1} + 2);
    std::fprintf(stderr, "%s old %d: s1-s3=%d, s4=%d\n",
                 "moving_derivative_smooth_params_init", size, s1, s4);
    params->delay = moving_default_delay(size);
  } else {
    const int64_t S = wide - 1;
    s1 = s2 = static_cast<int>(S / 4 + 1);
    s3 = static_cast<int>((S - 2 * int64_t{s1} + 3) / 2);
    s4 = static_cast<int>((S - 2 * int64_t{s1} + 4) / 2);
    check_smooth_sizes(s1, s2, s3, s4, S);
    std::fprintf(stderr, "%s new %d: %d,%d,%d,%d\n",
                 "moving_derivative_smooth_params_init", static_cast<int>(S),
                 s1, s2, s3, s4);
    params->delay = moving_default_delay(static_cast<int>(S));
  }
  moving_mean_params_init(&params->mu1, s1);
  moving_mean_params_init(&params->mu2, s2);
  moving_mean_params_init(&params->mu3, s3);
  moving_mean_params_init(&params->mu4, s4);
  delay_params_init(&params->value_delayed, 1);
  params->value = 0.0;
}

void moving_derivative_smooth_params_reset(
    moving_derivative_smooth_params *params) {
  moving_mean_params_reset(&params->mu1);
  moving_mean_params_reset(&params->mu2);
  moving_mean_params_reset(&params->mu3);
  moving_mean_params_reset(&params->mu4);
  delay_params_reset(&params->value_delayed);
  params->value = 0.0;
}

void moving_derivative_smooth_params_free(
    moving_derivative_smooth_params *params) {
  moving_mean_params_free(&params->mu1);
  moving_mean_params_free(&params->mu2);
  moving_mean_params_free(&params->mu3);
  moving_mean_params_free(&params->mu4);
  delay_params_free(&params->value_delayed);
}

void moving_derivative_smooth(moving_derivative_smooth_params *params,
                              double value) {
  moving_mean_step(&params->mu1, value);
  moving_mean_step(&params->mu2, params->mu1.value);
  moving_mean_step(&params->mu3, params->mu2.value);
  moving_mean_step(&params->mu4, params->mu3.value);
  delay_step(&params->value_delayed, params->mu4.value);
  params->value = params->mu4.value - params->value_delayed.value;
}

// ---------------------------------------------------------------------------
// Exact moving regression

void moving_regression_params_init(moving_regression_params *params,
                                   int size) {
  PRECONDITION(size >= 2);
  // The mean's window is the newest size - 1 samples of the delay line.
  fex_internal::moving_mean_shared_init(&params->mean, size - 1);
  delay_params_init(&params->delayed, size);
  params->size = size;
  const double n = size;
  params->constant = 12.0 / (n * n * n - n);
  params->delay = moving_default_delay(size);
  moving_regression_params_reset(params);
}

void moving_regression_params_reset(moving_regression_params *params) {
  moving_mean_params_reset(&params->mean);
  delay_params_reset(&params->delayed);
  params->num_collected = 0;
  params->weighted_sum = 0.0;
  params->weighted_sum_update = 0.0;
  params->update_collected = 0;
  params->value = 0.0;
}

void moving_regression_params_free(moving_regression_params *params) {
  moving_mean_params_free(&params->mean);
  delay_params_free(&params->delayed);
}

void moving_regression(moving_regression_params *params, double value) {
  fex_internal::moving_regression_step(params, value);
}

// A full window's samples, its sums in locals, in stretches that end at a
// resynchronisation of the mean's sum or of the weighted sum, so that the
// inner loop carries no branch for either: the weighted sum waits on two
// additions a sample, the mean's sum on two others beside it. The same
// operations, in the same order, as moving_regression_step.
size_t moving_regression_run(moving_regression_params *params, const double *in,
                             double *out, size_t count) {
  size_t i = 0;
  for (; i < count && !delay_full(&params->delayed); ++i) {
    fex_internal::moving_regression_step(params, in[i]);
    out[i] = params->value;
    if (!std::isfinite(out[i])) return i + 1;
  }
  if (i == count) return i;
  delay_params *d = &params->delayed;
  moving_mean_params *mean = &params->mean;
  const int n = params->size, n1 = n - 1;
  const double c = (n - 1) * 0.5, constant = params->constant, size1 = n1;
  double *line = d->buf;
  int pos = d->bufpos;
  double ws = params->weighted_sum, fresh = params->weighted_sum_update;
  double sum = mean->sum, new_sum = mean->new_sum;
  double leaving = d->value, mean_value = mean->value;
  bool go = true;  // false after a NaN or infinite value
  while (i < count && go) {
    const size_t piece = std::min<size_t>(
        {count - i, static_cast<size_t>(n1 - mean->new_sum_collected),
         static_cast<size_t>(n - params->update_collected)});
    double k = params->update_collected - c;  // the fresh sum's weight
    size_t u = 0;
    while (u < piece) {
      if (pos % 8 == 0) fex_internal::prefetch_line(line + pos);
      const double x = in[i + u];
      leaving = line[pos];
      line[pos] = x;
      pos = pos + 1 == n ? 0 : pos + 1;
      ws = add_keeping_first_nan(ws, c * (leaving + x)) - sum;
      const double y = ws * constant;
      sum += x;
      sum -= line[pos];  // the mean's window is one sample shorter
      new_sum += x;
      fresh = add_keeping_first_nan(k * x, fresh);
      k += 1.0;
      out[i + u++] = y;
      if (!std::isfinite(y)) {
        go = false;
        break;
      }
    }
    i += u;
    mean_value = sum / size1;
    mean->new_sum_collected += static_cast<int>(u);
    if (mean->new_sum_collected == n1) {
      sum = new_sum;
      new_sum = 0.0;
      mean->new_sum_collected = 0;
    }
    params->update_collected += static_cast<int>(u);
    if (params->update_collected == n) {
      fex_internal::warn_weighted_sum_drift(ws, fresh);
      ws = fresh;
      fresh = 0.0;
      params->update_collected = 0;
    }
  }
  d->bufpos = pos;
  d->value = leaving;
  params->weighted_sum = ws;
  params->weighted_sum_update = fresh;
  params->value = out[i - 1];
  mean->sum = sum;
  mean->new_sum = new_sum;
  mean->value = mean_value;
  return i;
}

// ---------------------------------------------------------------------------
// Window change measures

void moving_delta_params_init(moving_delta_params *params, int size) {
  PRECONDITION(size >= 2);
  moving_mean_params_init(&params->accu, size - 1);
  delay_params_init(&params->lastvalue, 1);
  params->delay = moving_default_delay(size);
  params->value = 0.0;
}

void moving_delta_params_reset(moving_delta_params *params) {
  moving_mean_params_reset(&params->accu);
  delay_params_reset(&params->lastvalue);
  params->value = 0.0;
}

void moving_delta_params_free(moving_delta_params *params) {
  moving_mean_params_free(&params->accu);
  delay_params_free(&params->lastvalue);
}

// Feeds the sample, returns its difference to the previous one (0 for the
// first sample).
static double delta_step(moving_delta_params *params, double value) {
  delay_step(&params->lastvalue, value);
  return value - params->lastvalue.value;
}

static void delta_accumulate(moving_delta_params *params, double term) {
  moving_mean_step(&params->accu, term);
  params->value = params->accu.value;
}

void moving_abschange(moving_delta_params *params, double value) {
  delta_accumulate(params, std::fabs(delta_step(params, value)));
}

void moving_absrise(moving_delta_params *params, double value) {
  const double d = delta_step(params, value);
  delta_accumulate(params, d > 0.0 ? d : 0.0);
}

void moving_absfall(moving_delta_params *params, double value) {
  const double d = delta_step(params, value);
  delta_accumulate(params, d < 0.0 ? -d : 0.0);
}

void moving_sqchange(moving_delta_params *params, double value) {
  const double d = delta_step(params, value);
  delta_accumulate(params, d * d);
}

void moving_sqrise(moving_delta_params *params, double value) {
  const double d = delta_step(params, value);
  delta_accumulate(params, d > 0.0 ? d * d : 0.0);
}

void moving_sqfall(moving_delta_params *params, double value) {
  const double d = delta_step(params, value);
  delta_accumulate(params, d < 0.0 ? d * d : 0.0);
}

// ---------------------------------------------------------------------------
// Exponential derivative and change measures

void sliding_derivative_params_init(sliding_derivative_params *params,
                                    double alpha) {
  params->alpha = alpha;
  params->delay = 0;
  params->lastval = 0.0;
  params->value = 0.0;
  params->firsttime = 1;
}

void sliding_derivative_params_reset(sliding_derivative_params *params) {
  params->firsttime = 1;
  params->value = 0.0;
}

void sliding_delta_params_init(sliding_delta_params *params, double alpha) {
  params->alpha = alpha;
  int delay = truncate_delay(1.0 / (1.0 - alpha));
  PRECONDITION(delay >= 0);
  params->delay = delay;
  params->lastval = 0.0;
  params->value = 0.0;
  params->firsttime = 1;
}

void sliding_delta_params_reset(sliding_delta_params *params) {
  params->firsttime = 1;
  params->value = 0.0;
}

// The sample-to-sample change, 0 on the first sample.
static double sliding_delta_step(sliding_delta_params *params, double value) {
  if (params->firsttime) {
    params->lastval = value;
    params->firsttime = 0;
  }
  return value - params->lastval;
}

// value = alpha * value + (1 - alpha) * term, or alpha * value when the term
// is omitted.
static void sliding_delta_update(sliding_delta_params *params, double value,
                                 bool has_term, double term) {
  params->value = has_term
                      ? params->alpha * params->value +
                            (1.0 - params->alpha) * term
                      : params->alpha * params->value;
  params->lastval = value;
}

void sliding_derivative(double value, sliding_derivative_params *params) {
  const double d = sliding_delta_step(params, value);
  sliding_delta_update(params, value, true, d);
}

void sliding_abschange(double value, sliding_delta_params *params) {
  const double d = sliding_delta_step(params, value);
  sliding_delta_update(params, value, true, std::fabs(d));
}

void sliding_absrise(double value, sliding_delta_params *params) {
  const double d = sliding_delta_step(params, value);
  sliding_delta_update(params, value, d > 0.0, d);
}

void sliding_absfall(double value, sliding_delta_params *params) {
  const double d = sliding_delta_step(params, value);
  sliding_delta_update(params, value, d < 0.0, -d);
}

void sliding_sqchange(double value, sliding_delta_params *params) {
  const double d = sliding_delta_step(params, value);
  sliding_delta_update(params, value, true, d * d);
}

void sliding_sqrise(double value, sliding_delta_params *params) {
  const double d = sliding_delta_step(params, value);
  sliding_delta_update(params, value, d > 0.0, d * d);
}

void sliding_sqfall(double value, sliding_delta_params *params) {
  const double d = sliding_delta_step(params, value);
  sliding_delta_update(params, value, d < 0.0, d * d);
}

// ---------------------------------------------------------------------------
// Exponential regressions

void sliding_regression_old_params_init(sliding_regression_old_params *params,
                                        double alpha) {
  const double eps = (1.0 - alpha) / 100.0;
  params->alpha = alpha;
  params->fac = (alpha - 1.0) * (alpha - 1.0) / eps;
  params->alpha_eps = alpha + eps;
  params->delay = truncate_delay(alpha / (1.0 - alpha));
  PRECONDITION(params->delay >= 0);
  params->mu = params->mu_eps = 0.0;
  params->value = 0.0;
  params->firsttime = 1;
}

void sliding_regression_old_params_reset(
    sliding_regression_old_params *params) {
  params->firsttime = 1;
}

void sliding_regression_old(double value,
                            sliding_regression_old_params *params) {
  if (params->firsttime) {
    params->mu = params->mu_eps = value;
    params->value = params->fac * (value - value);
    params->firsttime = 0;
    return;
  }
  params->mu = params->alpha * params->mu + (1.0 - params->alpha) * value;
  params->mu_eps =
      params->alpha_eps * params->mu_eps + (1.0 - params->alpha_eps) * value;
  params->value = (params->mu - params->mu_eps) * params->fac;
}

void sliding_regression_new_params_init(sliding_regression_new_params *params,
                                        double alpha) {
  params->alpha = alpha;
  params->delay = std::trunc(1.0 / (1.0 - alpha));
  params->lastval = 0.0;
  params->derivative = 0.0;
  params->value = 0.0;
  params->firsttime = 1;
}

void sliding_regression_new_params_reset(
    sliding_regression_new_params *params) {
  params->firsttime = 1;
}

void sliding_regression_new(double value,
                            sliding_regression_new_params *params) {
  const double b = 1.0 - params->alpha;
  if (params->firsttime) {
    params->lastval = value;
    params->derivative = b * (value - value);
    params->value = b * params->derivative;
    params->firsttime = 0;
    return;
  }
  params->derivative =
      params->alpha * params->derivative + b * (value - params->lastval);
  params->value = params->alpha * params->value + b * params->derivative;
  params->lastval = value;
}
