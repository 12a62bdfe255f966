// Whole-vector operations: the Hanning window and small statistics,
// repeated moving-mean smoothing with edge continuation, linear convolution
// through the FFT and the "sweeping swipe" feature vectors.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "fex.h"

namespace {

constexpr double PI = 3.141592653589793;

// Evenly spaced order statistic j of `count` from a sorted array of `len`.
double order_statistic(const double *sorted, int len, int j, int count) {
  if (count <= 1) return sorted[0];
  int64_t index = (int64_t)j * (len - 1) / (count - 1);
  return sorted[index];
}

void sort_doubles(double *v, int n) {
  if (n > 1) std::qsort(v, (size_t)n, sizeof(double), compar_double_asc);
}

}  // namespace

// --- windows and statistics --------------------------------------------------------

void cvector_init_hanning(cvector *v, int n) {
  cvector_init(v, n);
  for (int i = 0; i < n; i++)
    v->data[i] = 0.5 - 0.5 * std::cos(2 * PI * (i + 1) / (n + 1));
}

// NaN sorts after every number, so that the order stays consistent.
int compar_double_asc(const void *a, const void *b) {
  double x = *static_cast<const double *>(a);
  double y = *static_cast<const double *>(b);
  if (x < y) return -1;
  if (x > y) return 1;
  if (x == y) return 0;
  bool xn = std::isnan(x), yn = std::isnan(y);
  return (int)xn - (int)yn;
}

void cvector_sort_asc(cvector *v) { sort_doubles(v->data, v->length); }

double cvector_mean(const cvector *v) {
  double sum = 0.0;
  for (int i = 0; i < v->length; i++) sum += v->data[i];
  return sum / v->length;
}

double cvector_max(const cvector *v) {
  PRECONDITION(v->length > 0);
  double max = v->data[0];
  for (int i = 1; i < v->length; i++)
    if (v->data[i] > max) max = v->data[i];
  return max;
}

double cvector_argmax(const cvector *v) {
  PRECONDITION(v->length > 0);
  int arg = 0;
  for (int i = 1; i < v->length; i++)
    if (v->data[i] > v->data[arg]) arg = i;
  return (double)arg;
}

void cvector_abs(cvector *v) {
  for (int i = 0; i < v->length; i++) v->data[i] = std::fabs(v->data[i]);
}

void cvector_sq(cvector *v) {
  for (int i = 0; i < v->length; i++) v->data[i] *= v->data[i];
}

void cvector_sqrt(cvector *v) {
  for (int i = 0; i < v->length; i++) v->data[i] = std::sqrt(v->data[i]);
}

void cvector_log(cvector *v) {
  for (int i = 0; i < v->length; i++) v->data[i] = std::log(v->data[i]);
}

// --- smoothing ---------------------------------------------------------------------------

void cvector_smooth_parameters_init(cvector_smooth_parameters *params, int n,
                                    int d, int i) {
  static const char *name = "cvector_smooth_parameters_init";
  PRECONDITION(params != NULL);
  if (i <= 0) fatal_error("%s error: cannot apply filter %d times!\n", name, i);
  if (d <= 0)
    fatal_error("%s error: window length d = %d must be positive!\n", name, d);
  int64_t out = (int64_t)n - (int64_t)i * (d - 1);
  if (out <= 0) {
    fatal_error("%s error: resulting output length n - i * (d - 1) = %lld is "
                "negative (d = %d, i = %d)!\n",
                name, (long long)out, d, i);
  }
  params->n = n;
  params->d = d;
  params->i = i;
  cvector_init(&params->work, n);
  moving_mean_params_init(&params->mean_params, d);
}

void cvector_smooth_parameters_free(cvector_smooth_parameters *params) {
  cvector_free(&params->work);
  moving_mean_params_free(&params->mean_params);
}

void cvector_smooth(cvector_smooth_parameters *params, const cvector *input,
                    cvector *result) {
  static const char *name = "cvector_smooth";
  const int n = params->n, d = params->d, passes = params->i;
  const int out = n - passes * (d - 1);
  if (result->length != out) {
    fatal_error("%s error: result->length (%d) must be equal to n - i * (d - "
                "1) = %d (n = %d, d = %d, i = %d\n",
                name, result->length, out, n, d, passes);
  }
  if (input->length != n) {
    fatal_error("%s error: input->length (%d) must be equal to n = %d\n", name,
                input->length, n);
  }
  double *work = params->work.data;
  std::memcpy(work, input->data, sizeof(double) * (size_t)n);
  for (int p = 0; p < passes; p++) {
    moving_mean_params_reset(&params->mean_params);
    for (int k = p * (d - 1); k < n; k++) {
      moving_mean_fast(&params->mean_params, work[k]);
      work[k] = params->mean_params.value;
    }
  }
  std::memcpy(result->data, work + passes * (d - 1), sizeof(double) * (size_t)out);
}

static void check_continuation(int continuation, const char *name) {
  if (continuation != SMOOTH_CONT_ZERO && continuation != SMOOTH_CONT_REPEAT &&
      continuation != SMOOTH_CONT_MIRROR)
    fatal_error("%s error: unknown continuation function %d\n", name,
                continuation);
}

void cvector_smooth_cont_parameters_init(cvector_smooth_cont_parameters *params,
                                         int n, int d, int i,
                                         int continuation) {
  static const char *name = "cvector_smooth_cont_parameters_init";
  PRECONDITION(params != NULL);
  check_continuation(continuation, name);
  if (n <= 0) fatal_error("%s error: input length n = %d must be positive!\n", name, n);
  if (i <= 0)
    fatal_error("%s error: cannot apply filter %d times!\n",
                "cvector_smooth_parameters_init", i);
  if (d <= 0)
    fatal_error("%s error: window length d = %d must be positive!\n",
                "cvector_smooth_parameters_init", d);
  int64_t num_cont = (int64_t)i * (d - 1);
  if (num_cont + n > INT32_MAX)
    fatal_error("%s error: continued length n + i * (d - 1) is too large "
                "(n = %d, d = %d, i = %d)\n",
                name, n, d, i);
  params->continuation = continuation;
  params->n = n;
  params->left = (int)((num_cont + 1) / 2);
  params->right = (int)(num_cont / 2);
  cvector_smooth_parameters_init(&params->smooth, n + (int)num_cont, d, i);
  cvector_init(&params->continued, n + (int)num_cont);
}

void cvector_smooth_cont_parameters_free(
    cvector_smooth_cont_parameters *params) {
  cvector_smooth_parameters_free(&params->smooth);
  cvector_free(&params->continued);
}

// Index into the input for a mirrored continuation: periodic with period
// 2n - 2, indices k >= n folded to 2n - k - 2.
static int mirror_index(int64_t k, int n) {
  if (n == 1) return 0;
  int64_t period = 2 * (int64_t)n - 2;
  k %= period;
  if (k < 0) k += period;
  if (k >= n) k = period - k;
  return (int)k;
}

void cvector_smooth_cont(cvector_smooth_cont_parameters *params,
                         const cvector *input, cvector *result) {
  static const char *name = "cvector_smooth_cont";
  const int n = params->n, left = params->left, right = params->right;
  if (input->length != n || result->length != n) {
    fatal_error("%s error: input->length (%d) and result->length (%d) must "
                "be equal to n = %d\n",
                name, input->length, result->length, n);
  }
  double *c = params->continued.data;
  const double *x = input->data;
  switch (params->continuation) {
    case SMOOTH_CONT_ZERO:
      for (int j = 0; j < left; j++) c[j] = 0.0;
      for (int j = 0; j < right; j++) c[left + n + j] = 0.0;
      break;
    case SMOOTH_CONT_REPEAT:
      for (int j = 0; j < left; j++) c[j] = x[0];
      for (int j = 0; j < right; j++) c[left + n + j] = x[n - 1];
      break;
    case SMOOTH_CONT_MIRROR:
      for (int j = 0; j < left; j++) c[j] = x[mirror_index(left - j, n)];
      for (int j = 0; j < right; j++)
        c[left + n + j] = x[mirror_index((int64_t)n + j, n)];
      break;
    default:
      fatal_error("%s error: unknown continuation function %d\n", name,
                  params->continuation);
  }
  std::memcpy(c + left, x, sizeof(double) * (size_t)n);
  cvector_smooth(&params->smooth, &params->continued, result);
}

// --- convolution ---------------------------------------------------------------------------

void convolution_parameters_init(convolution_parameters *params, int n1,
                                 int n2) {
  static const char *name = "convolution_parameters_init";
  PRECONDITION(n1 > 0);
  PRECONDITION(n2 > 0);
  int64_t needed = (int64_t)n1 + n2 - 1;
  if (needed > (1 << 30))
    fatal_error("%s error: inputs of %d and %d values are too long\n", name, n1,
                n2);
  int l = 1;
  while (l < needed) l *= 2;
  params->n1 = n1;
  params->n2 = n2;
  params->l = l;
  params->x1 = static_cast<double *>(std::malloc(sizeof(double) * (size_t)l));
  params->x2 = static_cast<double *>(std::malloc(sizeof(double) * (size_t)l));
  params->y = static_cast<double *>(std::malloc(sizeof(double) * (size_t)l));
  if (!params->x1 || !params->x2 || !params->y) fatal_system_error(name);
  fft_data_init(&params->fft_info, l);
}

void convolution_parameters_free(convolution_parameters *params) {
  fft_data_free(&params->fft_info);
  std::free(params->x1);
  std::free(params->x2);
  std::free(params->y);
  params->x1 = params->x2 = params->y = nullptr;
}

void convolution_parameters_compute(convolution_parameters *params,
                                    const double *x1, const double *x2,
                                    double *y) {
  const int l = params->l, n1 = params->n1, n2 = params->n2;
  double *a = params->x1, *b = params->x2, *c = params->y;
  std::memcpy(a, x1, sizeof(double) * (size_t)n1);
  std::memset(a + n1, 0, sizeof(double) * (size_t)(l - n1));
  std::memcpy(b, x2, sizeof(double) * (size_t)n2);
  std::memset(b + n2, 0, sizeof(double) * (size_t)(l - n2));
  fft_data_execute_forward(&params->fft_info, a);
  fft_data_execute_forward(&params->fft_info, b);
  // Products of the spectra (DC and Nyquist terms are real), scaled by 1/l
  // so that the inverse transform yields the convolution itself.
  c[0] = a[0] * b[0] / l;
  if (l > 1) c[l - 1] = a[l - 1] * b[l - 1] / l;
  for (int k = 1; k < l / 2; k++) {
    double re1 = a[2 * k - 1], im1 = a[2 * k];
    double re2 = b[2 * k - 1], im2 = b[2 * k];
    c[2 * k - 1] = (re1 * re2 - im1 * im2) / l;
    c[2 * k] = (re1 * im2 + im1 * re2) / l;
  }
  fft_data_execute_backward(&params->fft_info, c);
  std::memcpy(y, c, sizeof(double) * (size_t)(n1 + n2 - 1));
}

// --- sweeping swipe, full feature vector -----------------------------------------------------

int sweeping_swipe_full_params_compute_output_length(int n) {
  return (n / 2) * 6 + 2 * n;
}

int sweeping_swipe_params_compute_output_length(int n) {
  return (n / 2) * 6 + 2 * n;
}

void sweeping_swipe_full_params_init(sweeping_swipe_full_params *params,
                                     int n, int smooth_size,
                                     int smooth_times, double powspec_floor) {
  static const char *name = "sweeping_swipe_full_params_init";
  PRECONDITION(params != NULL);
  if (n < 2 || n > (1 << 28))
    fatal_error("%s error: invalid window length n = %d (at least 2)!\n", name,
                n);
  const int half = n / 2;
  params->dim_in = n;
  params->powspec_floor = powspec_floor;
  cvector_init(&params->temp, n);
  cvector_init(&params->powspec_with_DC, half + 1);
  cvector_init(&params->powspec, half);
  cvector_init(&params->powspec_temp, half);
  cvector_init(&params->output, sweeping_swipe_full_params_compute_output_length(n));
  cvector_init_hanning(&params->hanning, n);
  params->hanning_sum = 0.0;
  for (int i = 0; i < n; i++) params->hanning_sum += params->hanning.data[i];
  fft_data_init(&params->fft_info, n);
  cvector_smooth_cont_parameters_init(&params->smooth, half, smooth_size,
                                      smooth_times, SMOOTH_CONT_MIRROR);
  int start = 0;
  for (int s = 0; s < 8; s++) {
    params->subvecs_start[s] = start;
    params->subvecs_length[s] = s < 2 ? n : half;
    start += params->subvecs_length[s];
  }
  PRECONDITION(start == params->output.length);
}

void sweeping_swipe_full_params_free(sweeping_swipe_full_params *params) {
  cvector_free(&params->temp);
  cvector_free(&params->powspec_with_DC);
  cvector_free(&params->powspec);
  cvector_free(&params->powspec_temp);
  cvector_free(&params->output);
  cvector_free(&params->hanning);
  fft_data_free(&params->fft_info);
  cvector_smooth_cont_parameters_free(&params->smooth);
}

int sweeping_swipe_full_params_get_sub_num(
    const sweeping_swipe_full_params * /*params*/) {
  return 8;
}

void sweeping_swipe_full_params_get_sub(sweeping_swipe_full_params *params,
                                        int index, int *length,
                                        double **start) {
  if (index < 0 || index > 7)
    fatal_error("%s error: access to invalid subvector %d\n",
                "sweeping_swipe_full_params_get_sub", index);
  *length = params->subvecs_length[index];
  *start = params->output.data + params->subvecs_start[index];
}

void sweeping_swipe_full(sweeping_swipe_full_params *params,
                         const cvector *input) {
  static const char *name = "sweeping_swipe_full";
  const int n = params->dim_in, half = n / 2;
  if (input->length != n)
    fatal_error("%s error: input length %d differs from the window length %d\n",
                name, input->length, n);
  const double *x = input->data;
  const double *w = params->hanning.data;
  double *out = params->output.data;
  double *sub[8];
  for (int s = 0; s < 8; s++) sub[s] = out + params->subvecs_start[s];

  // Window-weighted mean, and the windowed deviations from it.
  const double m = vector_scalarprod(x, w, n) / params->hanning_sum;
  double *t = params->temp.data;
  for (int i = 0; i < n; i++) {
    t[i] = (x[i] - m) * w[i];
    sub[0][i] = m + t[i];
  }
  std::memcpy(sub[1], t, sizeof(double) * (size_t)n);
  sort_doubles(sub[1], n);
  for (int i = 0; i < n; i++) sub[1][i] += m;

  // Power spectrum without the DC term, per sample.
  fft_data_powerspec(&params->fft_info, t, params->powspec_with_DC.data);
  double *ps = params->powspec.data;
  double min = 0.0;
  for (int k = 0; k < half; k++) {
    ps[k] = params->powspec_with_DC.data[k + 1] / n;
    if (ps[k] < min) min = ps[k];
    if (ps[k] < 0) ps[k] = 0.0;
  }
  if (min < 0)
    std::fprintf(stderr, "%s warning: had to correct powerspec: min value was %g\n",
                 name, min);
  const double floor = params->powspec_floor;
  for (int k = 0; k < half; k++) {
    sub[2][k] = ps[k];
    sub[4][k] = std::log(ps[k] + floor);
  }
  std::memcpy(sub[3], sub[2], sizeof(double) * (size_t)half);
  sort_doubles(sub[3], half);
  std::memcpy(sub[5], sub[4], sizeof(double) * (size_t)half);
  sort_doubles(sub[5], half);

  // Smoothed spectrum; the moving means may dip slightly below zero.
  cvector_smooth_cont(&params->smooth, &params->powspec, &params->powspec_temp);
  double *sm = params->powspec_temp.data;
  min = 0.0;
  for (int k = 0; k < half; k++) {
    if (sm[k] < min) min = sm[k];
    if (sm[k] < 0) sm[k] = 0.0;
  }
  if (min < -0.5 * floor)
    std::fprintf(stderr,
                 "%s warning: had to correct smoothed powerspec noticeably: min "
                 "value was %g\n",
                 name, min);
  for (int k = 0; k < half; k++) sub[6][k] = std::log(sm[k] + floor);
  std::memcpy(sub[7], sub[6], sizeof(double) * (size_t)half);
  sort_doubles(sub[7], half);
}

// --- sweeping swipe, reduced -----------------------------------------------------------------

void sweeping_swipe_params_init(sweeping_swipe_params *params, int n,
                                int reduced_size, int smooth_size,
                                int smooth_times, double powspec_floor) {
  static const char *name = "sweeping_swipe_params_init";
  PRECONDITION(params != NULL);
  const int r = reduced_size;
  if (r < 1)
    fatal_error("%s error: reduced_size (%d) must be positive!\n", name, r);
  if (n < r || n / 2 < r / 2)
    fatal_error("%s error: n (%d) is too small for reduced_size (%d)!\n", name,
                n, r);
  params->reduced_size = r;
  sweeping_swipe_full_params_init(&params->full, n, smooth_size, smooth_times,
                                  powspec_floor);
  const int len = 2 * r + 6 * (r / 2);
  cvector_init(&params->output, len);
  cost_data_init(&params->cos_long, n + 1);
  cost_data_init(&params->cos_short, n / 2 + 1);
  cvector_init(&params->temp, n + 1);

  static const char *const kinds[8] = {
      "cost(orig)",        "sort(orig)",
      "cost(powspec)",     "sort(powspec)",
      "cost(log(powspec))", "sort(log(powspec))",
      "cost(log(smooth(powspec)))", "sort(log(smooth(powspec)))"};
  params->names = static_cast<char **>(std::malloc(sizeof(char *) * (size_t)len));
  if (params->names == nullptr) fatal_system_error(name);
  int f = 0;
  for (int s = 0; s < 8; s++) {
    const int count = s < 2 ? r : r / 2;
    for (int i = 0; i < count; i++, f++) {
      int size = std::snprintf(nullptr, 0, "sweeping swipe %d: %s %d of %d", f,
                               kinds[s], i, count);
      char *text = static_cast<char *>(std::malloc((size_t)size + 1));
      if (text == nullptr) fatal_system_error(name);
      std::snprintf(text, (size_t)size + 1, "sweeping swipe %d: %s %d of %d", f,
                    kinds[s], i, count);
      params->names[f] = text;
    }
  }
  PRECONDITION(f == len);
}

void sweeping_swipe_params_free(sweeping_swipe_params *params) {
  for (int f = 0; f < params->output.length; f++) std::free(params->names[f]);
  std::free(params->names);
  params->names = nullptr;
  cvector_free(&params->output);
  cvector_free(&params->temp);
  cost_data_free(&params->cos_long);
  cost_data_free(&params->cos_short);
  sweeping_swipe_full_params_free(&params->full);
}

void sweeping_swipe(sweeping_swipe_params *params, const cvector *input) {
  sweeping_swipe_full(&params->full, input);
  const int n = params->full.dim_in, half = n / 2;
  const int r = params->reduced_size, r2 = r / 2;
  double *sub[8];
  for (int s = 0; s < 8; s++) {
    int length;
    sweeping_swipe_full_params_get_sub(&params->full, s, &length, &sub[s]);
  }
  double *out = params->output.data;
  double *t = params->temp.data;
  int o = 0;

  // Cosine coefficients of the windowed signal, and its order statistics.
  t[0] = 0.0;
  std::memcpy(t + 1, sub[0], sizeof(double) * (size_t)n);
  cost_data_execute(&params->cos_long, t);
  const double norm_long = std::sqrt(2.0 * (n + 1) - 2);
  for (int i = 0; i < r; i++) out[o++] = t[i] / norm_long;
  for (int j = 0; j < r; j++) out[o++] = order_statistic(sub[1], n, j, r);

  // The same for the three spectra, with r / 2 values each.
  const double norm_short = std::sqrt(2.0 * (half + 1) - 2);
  for (int s = 2; s <= 6; s += 2) {
    t[0] = 0.0;
    std::memcpy(t + 1, sub[s], sizeof(double) * (size_t)half);
    cost_data_execute(&params->cos_short, t);
    for (int i = 0; i < r2; i++) out[o++] = t[i] / norm_short;
    for (int j = 0; j < r2; j++) out[o++] = order_statistic(sub[s + 1], half, j, r2);
  }
  PRECONDITION(o == params->output.length);
}
