// The real FFT and the cosine transform on top of FFTW3, presented in
// FFTPACK's half-complex layout and unnormalised definitions.
#include <fftw3.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "ffft.h"

namespace {

double *alloc_work(int n, const char *name) {
  double *p = static_cast<double *>(fftw_malloc(sizeof(double) * (size_t)n));
  if (p == nullptr) fatal_system_error(name);
  return p;
}

// Reads back the factorisation made for a transform of `length` and warns
// when the factors are so large that the transform will be slow.
void check_factorisation(const char *name, int expected_length, int length,
                         int num_factors, const int *factors) {
  if (expected_length <= 1) return;  // nothing to factorise
  int64_t product = 1;
  for (int i = 0; i < num_factors; i++) product *= factors[i];
  if (length != expected_length || product != length) {
    std::fprintf(stderr,
                 "%s: cannot give prime number information for some strange "
                 "reason (implementation error?) :(\n",
                 name);
    return;
  }
  if (std::pow((double)length, 1.0 / num_factors) > 10) {
    std::fprintf(stderr,
                 "%s warning: factor decomposition of n = %d may be "
                 "suboptimal for performance: %d factors: ",
                 name, length, num_factors);
    for (int i = 0; i < num_factors; i++) std::fprintf(stderr, "%d ", factors[i]);
    std::fprintf(stderr, "\n");
  }
}

}  // namespace

int fft_factorize(int n, int factors[FFT_MAX_FACTORS]) {
  PRECONDITION(n > 0);
  static const int first_trials[4] = {4, 2, 3, 5};
  int remaining = n, num = 0, trial = 0;
  for (int j = 0; remaining != 1; j++) {
    trial = j < 4 ? first_trials[j] : trial + 2;
    // Once every factor below `trial` is gone and trial^2 exceeds the rest,
    // the rest is prime: the odd trials would reach it, so go there at once.
    if (j >= 3 && (int64_t)trial * trial > remaining) trial = remaining;
    while (remaining % trial == 0) {
      PRECONDITION(num < FFT_MAX_FACTORS);
      factors[num++] = trial;
      remaining /= trial;
      if (trial == 2 && num != 1) {
        for (int i = num - 1; i > 0; i--) factors[i] = factors[i - 1];
        factors[0] = 2;
      }
    }
  }
  return num;
}

// --- real FFT --------------------------------------------------------------------

void fft_data_init(fft_data *data, int n) {
  static const char *name = "fft_data_init";
  PRECONDITION(data != NULL);
  PRECONDITION(n > 0);
  data->n = n;
  data->in = alloc_work(n, name);
  data->out = alloc_work(n, name);
  data->forward = fftw_plan_r2r_1d(n, data->in, data->out, FFTW_R2HC,
                                   FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
  data->backward = fftw_plan_r2r_1d(n, data->in, data->out, FFTW_HC2R,
                                    FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
  if (data->forward == nullptr || data->backward == nullptr)
    fatal_error("%s error: cannot plan a real FFT of length %d\n", name, n);
  data->num_factors = fft_factorize(n, data->factors);
  check_factorisation(name, n, n, data->num_factors, data->factors);
}

void fft_data_free(fft_data *data) {
  PRECONDITION(data != NULL);
  if (data->forward) fftw_destroy_plan(data->forward);
  if (data->backward) fftw_destroy_plan(data->backward);
  fftw_free(data->in);
  fftw_free(data->out);
  data->forward = data->backward = nullptr;
  data->in = data->out = nullptr;
}

void fft_data_execute_forward(fft_data *data, double *inout) {
  PRECONDITION(data->forward != NULL);
  const int n = data->n;
  std::memcpy(data->in, inout, sizeof(double) * (size_t)n);
  fftw_execute(data->forward);
  // FFTW: r0, r1, ..., r(n/2), i((n+1)/2 - 1), ..., i1 -> FFTPACK order.
  const double *hc = data->out;
  inout[0] = hc[0];
  for (int k = 1; k < (n + 1) / 2; k++) {
    inout[2 * k - 1] = hc[k];
    inout[2 * k] = hc[n - k];
  }
  if (n % 2 == 0 && n > 1) inout[n - 1] = hc[n / 2];
}

void fft_data_execute_backward(fft_data *data, double *inout) {
  PRECONDITION(data->backward != NULL);
  const int n = data->n;
  double *hc = data->in;
  hc[0] = inout[0];
  for (int k = 1; k < (n + 1) / 2; k++) {
    hc[k] = inout[2 * k - 1];
    hc[n - k] = inout[2 * k];
  }
  if (n % 2 == 0 && n > 1) hc[n / 2] = inout[n - 1];
  fftw_execute(data->backward);
  std::memcpy(inout, data->out, sizeof(double) * (size_t)n);
}

void fft_data_powerspec(fft_data *data, double *inout, double *powerspec) {
  const int n = data->n;
  fft_data_execute_forward(data, inout);
  powerspec[0] = inout[0] * inout[0];
  for (int k = 1; k < (n + 1) / 2; k++)
    powerspec[k] = inout[2 * k - 1] * inout[2 * k - 1] + inout[2 * k] * inout[2 * k];
  if (n % 2 == 0 && n > 1) powerspec[n / 2] = inout[n - 1] * inout[n - 1];
}

// --- cosine transform -----------------------------------------------------------------

void cost_data_init(cost_data *data, int n) {
  static const char *name = "cost_data_init";
  PRECONDITION(data != NULL);
  PRECONDITION(n > 0);
  data->n = n;
  data->in = alloc_work(n, name);
  data->out = alloc_work(n, name);
  data->plan = nullptr;
  if (n > 1) {
    // REDFT00 is exactly the unnormalised cosine transform defined above.
    data->plan = fftw_plan_r2r_1d(n, data->in, data->out, FFTW_REDFT00,
                                  FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
    if (data->plan == nullptr)
      fatal_error("%s error: cannot plan a cosine transform of length %d\n",
                  name, n);
  }
  data->num_factors = fft_factorize(n > 1 ? n - 1 : 1, data->factors);
  check_factorisation(name, n - 1, n - 1, data->num_factors, data->factors);
}

void cost_data_free(cost_data *data) {
  PRECONDITION(data != NULL);
  if (data->plan) fftw_destroy_plan(data->plan);
  fftw_free(data->in);
  fftw_free(data->out);
  data->plan = nullptr;
  data->in = data->out = nullptr;
}

void cost_data_execute(cost_data *data, double *inout) {
  PRECONDITION(data->in != NULL);
  if (data->n == 1) return;  // X_0 = x_0
  std::memcpy(data->in, inout, sizeof(double) * (size_t)data->n);
  fftw_execute(data->plan);
  std::memcpy(inout, data->out, sizeof(double) * (size_t)data->n);
}
