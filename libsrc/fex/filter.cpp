// FIR filters: design by frequency sampling (lowpass, highpass, bandpass),
// windowed sinusoidal kernels (peak, notch), and per-sample filtering.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "fex.h"

namespace {

constexpr double PI = 3.141592653589793;

void check_samplefrequency(double samplefrequency, const char *name) {
  if (!(samplefrequency > 0) || !std::isfinite(samplefrequency))
    fatal_error("%s error: invalid sample frequency %g\n", name,
                samplefrequency);
}

void check_order(int order, int minimum, const char *name) {
  if (order < minimum || order > FIR_MAX_ORDER)
    fatal_error("%s error: invalid filter order %d (it must lie in %d ... "
                "%d)\n",
                name, order, minimum, FIR_MAX_ORDER);
}

void check_frequency(double frequency, double samplefrequency,
                     const char *name) {
  if (!(frequency >= 0 && frequency <= samplefrequency / 2))
    fatal_error("%s error: invalid frequency %g (f_nyq = samplefrequency / 2 "
                "= %g)\n",
                name, frequency, samplefrequency / 2);
}

// Size N of the design grid: the response holds N + 1 values.
int design_grid_size(int order) {
  int p = (int)(std::log(4.0 * order + 1000) / std::log(2.0) + 0.999);
  return (int)(std::pow(2.0, p) + 0.25);
}

void write_octave_file(const char *filename, const cvector *v) {
  FILE *f = std::fopen(filename, "wb");
  if (f == nullptr) fatal_system_error(filename);
  cvector_write_octave(v, f);
  if (std::fclose(f) != 0) fatal_system_error(filename);
}

// Verbose output of a finished design: the coefficients, and the real
// response in dB on a grid of whole Hertz (the coefficients zero-padded to
// `samplerate`, or to the smallest multiple of it that holds them all).
void write_design_files(const cvector *coeffs, int samplerate,
                        const char *name) {
  std::fprintf(stderr,
               "%s verbose: writing coefficients to file fir.coeffs.octave.\n",
               name);
  write_octave_file("fir.coeffs.octave", coeffs);
  if (samplerate < 1)
    fatal_error("%s error: cannot compute the real response for sample rate "
                "%d\n",
                name, samplerate);
  long long padded = samplerate;
  while (padded < coeffs->length) padded += samplerate;
  if (padded > (1 << 28))
    fatal_error("%s error: real response too long (%lld values)\n", name,
                padded);
  cvector signal, power;
  cvector_init_zero(&signal, (int)padded);
  std::memcpy(signal.data, coeffs->data, sizeof(double) * (size_t)coeffs->length);
  cvector_init(&power, (int)padded / 2 + 1);
  fft_data fft;
  fft_data_init(&fft, (int)padded);
  fft_data_powerspec(&fft, signal.data, power.data);
  fft_data_free(&fft);
  cvector_log(&power);
  cvector_scale(&power, 20 / std::log(10.0));
  std::fprintf(stderr,
               "%s verbose: writing real filter response in dB into file "
               "fir.response_real.octave.\n",
               name);
  write_octave_file("fir.response_real.octave", &power);
  cvector_free(&signal);
  cvector_free(&power);
}

// Multiplies by the Hanning window of the vector's length.
void apply_hanning(cvector *c) {
  cvector w;
  cvector_init_hanning(&w, c->length);
  cvector_pointwise_scale(c, &w);
  cvector_free(&w);
}

void sharp_error(const char *name) {
  fatal_error("%s error: cannot produce sharp filter with such a low order!\n",
              name);
}

}  // namespace

// --- filtering ----------------------------------------------------------------------

namespace {

// Allocates the coefficients (left for the caller to fill) and the zeroed
// ring of a filter of `order` >= 1.
void allocate_filter(fir_filter_params *params, int order) {
  params->order = order;
  params->coeffs = static_cast<double *>(std::malloc(sizeof(double) * (size_t)order));
  // An order-1 filter keeps no past samples; its ring still owns one slot.
  const int ring = order > 1 ? order - 1 : 1;
  params->buf = static_cast<double *>(std::calloc((size_t)ring, sizeof(double)));
  if (params->coeffs == nullptr || params->buf == nullptr)
    fatal_system_error("fir_filter_params_init");
  params->bufpos = 0;
  params->value = 0.0;
  params->num_collected = 0;
}

}  // namespace

void fir_filter_params_init(fir_filter_params *params,
                            const cvector *filter_coeffs) {
  static const char *name = "fir_filter_params_init";
  PRECONDITION(params != NULL);
  PRECONDITION(filter_coeffs != NULL);
  const int order = filter_coeffs->length;
  if (order < 1)
    fatal_error("%s error: a FIR filter needs at least one coefficient (order "
                "= %d)\n",
                name, order);
  allocate_filter(params, order);
  std::memcpy(params->coeffs, filter_coeffs->data, sizeof(double) * (size_t)order);
}

void fir_filter_params_process(fir_filter_params *params, double value) {
  const int order = params->order;
  const double *c = params->coeffs;
  double sum = value * c[0];
  if (order > 1) {
    const int ring = order - 1;
    const double *buf = params->buf;
    int pos = params->bufpos;
    for (int i = 1; i < order; i++) {
      int idx = pos - i;
      if (idx < 0) idx += ring;
      sum += c[i] * buf[idx];
    }
    params->buf[pos] = value;
    params->bufpos = pos + 1 == ring ? 0 : pos + 1;
  }
  params->value = sum;
  if (params->num_collected < order) params->num_collected++;
}

void fir_filter_params_fill(fir_filter_params *params, double value, int count) {
  PRECONDITION(count >= 0);
  if (count == 0) return;
  const int order = params->order;
  if (order > 1) {
    // All but the last call only shift `value` into the ring; the ring holds
    // order - 1 samples, so older stores are overwritten anyway.
    const int ring = order - 1;
    const int stores = count - 1 < ring ? count - 1 : ring;
    const int start = static_cast<int>(
        (static_cast<int64_t>(params->bufpos) + (count - 1) - stores) % ring);
    for (int k = 0; k < stores; k++) params->buf[(start + k) % ring] = value;
    params->bufpos =
        static_cast<int>((static_cast<int64_t>(params->bufpos) + count - 1) % ring);
  }
  const int64_t collected = static_cast<int64_t>(params->num_collected) + count - 1;
  params->num_collected = collected < order ? static_cast<int>(collected) : order;
  fir_filter_params_process(params, value);
}

void fir_filter_params_skip(fir_filter_params *params, double value) {
  if (params->order > 1) {
    const int ring = params->order - 1;
    params->buf[params->bufpos] = value;
    params->bufpos = params->bufpos + 1 == ring ? 0 : params->bufpos + 1;
  }
  if (params->num_collected < params->order) params->num_collected++;
}

int fir_filter_params_is_valid(const fir_filter_params *params) {
  return params->num_collected >= params->order;
}

void fir_filter_params_reset(fir_filter_params *params) {
  const int ring = params->order > 1 ? params->order - 1 : 1;
  std::memset(params->buf, 0, sizeof(double) * (size_t)ring);
  params->bufpos = 0;
  params->value = 0.0;
  params->num_collected = 0;
}

void fir_filter_params_free(fir_filter_params *params) {
  PRECONDITION(params != NULL);
  PRECONDITION(params->coeffs != NULL);
  PRECONDITION(params->buf != NULL);
  std::free(params->coeffs);
  std::free(params->buf);
  params->coeffs = nullptr;
  params->buf = nullptr;
}

int fir_filter_params_compute_order(double samplefrequency,
                                    double transition_width, int verbose) {
  static const char *name = "fir_filter_params_compute_order";
  double order = std::trunc(2 * samplefrequency / transition_width);
  if (!(transition_width > 0) || !(samplefrequency > 0) ||
      !(order <= FIR_MAX_ORDER))
    fatal_error("%s error: invalid transition width %g for sample frequency "
                "%g\n",
                name, transition_width, samplefrequency);
  if (verbose)
    std::fprintf(stderr,
                 "%s verbose: order = trunc(2 * %g / %g) = %d\n", name,
                 samplefrequency, transition_width, (int)order);
  return (int)order;
}

// --- design from a sampled magnitude response -----------------------------------------

void fir_filter_params_init_from_frequency_response(fir_filter_params *params,
                                                    const cvector *response,
                                                    int order, int verbose,
                                                    int samplerate) {
  static const char *name = "fir_filter_params_init_from_frequency_response";
  PRECONDITION(response != NULL);
  const int L = response->length;
  if (L < 2)
    fatal_error("%s error: a frequency response needs at least 2 values "
                "(got %d)\n",
                name, L);
  const int n = 2 * L - 2;
  check_order(order, 1, name);
  if (order > n)
    fatal_error("%s error: order %d is too large for a response of %d "
                "values\n",
                name, order, L);
  if (verbose) {
    std::fprintf(stderr,
                 "%s verbose: writing desired frequency response into file "
                 "fir.response.octave.\n",
                 name);
    write_octave_file("fir.response_desired.octave", response);
  }

  // Zero-phase impulse response: the magnitudes as real half-complex
  // coefficients, inverse-transformed and scaled.
  cvector impulse;
  cvector_init(&impulse, n);
  double *h = impulse.data;
  h[0] = response->data[0];
  for (int k = 1; k <= L - 2; k++) {
    h[2 * k - 1] = response->data[k];
    h[2 * k] = 0.0;
  }
  h[n - 1] = response->data[L - 1];
  fft_data fft;
  fft_data_init(&fft, n);
  fft_data_execute_backward(&fft, h);
  fft_data_free(&fft);
  cvector_scale(&impulse, 1.0 / n);

  // The `order` samples around index 0, tapered.
  cvector coeffs;
  cvector_init(&coeffs, order);
  for (int i = 0; i < order; i++)
    coeffs.data[i] = h[((long long)n + i - (order - 1) / 2) % n];
  apply_hanning(&coeffs);
  if (verbose) write_design_files(&coeffs, samplerate, name);
  fir_filter_params_init(params, &coeffs);
  cvector_free(&coeffs);
  cvector_free(&impulse);
}

namespace {

// The design grid entry of angular frequency omega (0 ... pi).
int grid_index(double omega, int N) { return (int)(omega * N / PI + 0.49); }

// sum_{k=a}^{b} cos(pi * j * k / N) for 0 <= a <= b <= N and 0 <= j < N,
// summed in closed form: sin(m t / 2) cos((a + b) t / 2) / sin(t / 2) with
// t = pi j / N and m = b - a + 1. The angles are reduced in integers to
// -pi ... pi, which keeps them exact however far the grid reaches.
double cosine_run(long long a, long long b, long long j, long long N) {
  const long long m = b - a + 1;
  if (j == 0) return (double)m;
  auto angle = [&](long long x) {  // pi x / (2N)
    x %= 4 * N;
    if (x > 2 * N) x -= 4 * N;
    return PI * (double)x / (double)(2 * N);
  };
  return std::sin(angle(j * m)) * std::cos(angle(j * (a + b))) /
         std::sin(angle(j));
}

// Designs from the brick-wall response that is 1.0 at grid entries
// first ... last of N + 1. The inverse transform of such a response has a
// closed form, so each of the `order` coefficients costs a few sines: time
// and memory stay in proportion to the order instead of the grid (whose
// transform for a downsampling factor of a million needed 2 GB). The
// response, zero-phase and real, gives
//   h[j] = (2 sum_{k=first}^{last} cos(pi j k / N) - [first = 0]
//           - [last = N] (-1)^j) / (2N),
// the endpoints 0 and N counting once; coefficient i is h[i - (order-1)/2]
// under the Hanning window.
void design_brickwall(fir_filter_params *params, int first, int last, int N,
                      int order, int verbose, double samplefrequency) {
  static const char *name = "fir_filter_params_init_from_frequency_response";
  PRECONDITION(order <= N);
  if (verbose) {
    cvector response;
    cvector_init_zero(&response, N + 1);
    for (int k = first; k <= last; k++) response.data[k] = 1.0;
    std::fprintf(stderr,
                 "%s verbose: writing desired frequency response into file "
                 "fir.response.octave.\n",
                 name);
    write_octave_file("fir.response_desired.octave", &response);
    cvector_free(&response);
  }
  allocate_filter(params, order);
  double *c = params->coeffs;
  const int centre = (order - 1) / 2;
  for (int i = 0; i < order; i++) {
    const int j = i < centre ? centre - i : i - centre;  // h is even
    double h = 0.0;
    if (first <= last) {
      h = 2 * cosine_run(first, last, j, N);
      if (first == 0) h -= 1.0;
      if (last == N) h -= j % 2 == 0 ? 1.0 : -1.0;
      h /= 2.0 * N;
    }
    c[i] = h * (0.5 - 0.5 * std::cos(2 * PI * (i + 1) / (order + 1)));
  }
  if (verbose) {
    const cvector view{c, order, order};
    write_design_files(&view, (int)samplefrequency, name);
  }
}

// The angular frequency of a low- or highpass edge; a sharp design moves it
// by 4 pi / order into the stop band (direction -1: down, +1: up).
double edge_omega(double frequency, double samplefrequency, int order,
                  int sharp, int direction, const char *name) {
  const double nyquist = samplefrequency / 2;
  double omega = frequency * PI / nyquist;
  if (sharp) {
    std::fprintf(stderr,
                 "producing sharp filter by moving frequency from %f (%fpi) to ",
                 frequency, omega / PI);
    omega += direction * (12.566370614359172 / order);
    std::fprintf(stderr, "%f (%fpi)\n", omega / PI * nyquist, omega / PI);
    if (omega < 0 || omega > PI) sharp_error(name);
  }
  return omega;
}

}  // namespace

void fir_filter_params_init_lowpass(fir_filter_params *params,
                                    double frequency, double samplefrequency,
                                    int order, int sharp, int verbose) {
  static const char *name = "fir_filter_params_init_lowpass";
  check_samplefrequency(samplefrequency, name);
  check_order(order, 1, name);
  check_frequency(frequency, samplefrequency, name);
  const double omega =
      edge_omega(frequency, samplefrequency, order, sharp, -1, name);
  const int N = design_grid_size(order);
  const int size = N + 1;
  int last = grid_index(omega, N);
  PRECONDITION(last >=0 && last < size);
  design_brickwall(params, 0, last, N, order, verbose, samplefrequency);
}

void fir_filter_params_init_highpass(fir_filter_params *params,
                                     double frequency, double samplefrequency,
                                     int order, int sharp, int verbose) {
  static const char *name = "fir_filter_params_init_highpass";
  check_samplefrequency(samplefrequency, name);
  check_order(order, 1, name);
  check_frequency(frequency, samplefrequency, name);
  const double omega =
      edge_omega(frequency, samplefrequency, order, sharp, +1, name);
  const int N = design_grid_size(order);
  const int size = N + 1;
  int first = grid_index(omega, N);
  PRECONDITION(first >=0 && first < size);
  design_brickwall(params, first, N, N, order, verbose, samplefrequency);
}

void fir_filter_params_init_bandpass(fir_filter_params *params,
                                     double frequency_start,
                                     double frequency_end,
                                     double samplefrequency, int order,
                                     int sharp, int verbose) {
  static const char *name = "fir_filter_params_init_bandpass";
  check_samplefrequency(samplefrequency, name);
  check_order(order, 1, name);
  const double nyquist = samplefrequency / 2;
  if (!(frequency_start >= 0 && frequency_start <= nyquist &&
        frequency_end >= 0 && frequency_end <= nyquist &&
        frequency_start <= frequency_end))
    fatal_error("%s error: invalid frequencies %g - %g (f_nyq = "
                "samplefrequency / 2 = %g)\n",
                name, frequency_start, frequency_end, nyquist);
  double lo = frequency_start * PI / nyquist;
  double hi = frequency_end * PI / nyquist;
  if (sharp) {
    std::fprintf(stderr,
                 "producing sharp filter by moving frequencies from %f-%f "
                 "(%fpi-%fpi) to ",
                 frequency_start, frequency_end, lo / PI, hi / PI);
    lo += 12.566370614359172 / order;
    hi -= 12.566370614359172 / order;
    std::fprintf(stderr, "%f-%f (%fpi-%fpi)\n", lo / PI * nyquist,
                 hi / PI * nyquist, lo / PI, hi / PI);
    if (!(lo < hi))
      fatal_error("%s error: cannot produce sharp bandpass filter with such a "
                  "low order and such a small passband!\n",
                  name);
  }
  const int N = design_grid_size(order);
  const int size = N + 1;
  int first = grid_index(lo, N);
  PRECONDITION(first >=0 && first < size);
  int last = grid_index(hi, N);
  PRECONDITION(last >=0 && last < size);
  design_brickwall(params, first, last, N, order, verbose, samplefrequency);
}

// --- windowed sinusoidal kernels --------------------------------------------------------

void fir_filter_params_init_peak(fir_filter_params *params, double frequency,
                                 double samplefrequency, int order,
                                 int verbose) {
  static const char *name = "fir_filter_params_init_peak";
  check_samplefrequency(samplefrequency, name);
  check_order(order, 1, name);
  check_frequency(frequency, samplefrequency, name);
  cvector coeffs;
  cvector_init_hanning(&coeffs, order);
  for (int i = 0; i < order; i++)
    coeffs.data[i] *= std::sin((i - order * 0.5 + 0.5) * 2 * PI * frequency /
                               samplefrequency);
  cvector_scale(&coeffs, 1.0 / (order * 0.25));
  if (verbose) write_design_files(&coeffs, (int)samplefrequency, name);
  fir_filter_params_init(params, &coeffs);
  cvector_free(&coeffs);
}

// The kernel is a Hanning-windowed cosine symmetric about a whole sample,
// scaled to a gain of exactly 1 at `frequency`; subtracting it from a unit
// impulse at that sample removes the frequency. (A sine kernel would pass
// the frequency shifted by a quarter period, and the difference from the
// impulse would amplify it instead.) An even order leaves its last
// coefficient 0, so that the kernel keeps an odd, centred support.
void fir_filter_params_init_notch(fir_filter_params *params, double frequency,
                                  double samplefrequency, int order,
                                  int verbose) {
  static const char *name = "fir_filter_params_init_notch";
  check_samplefrequency(samplefrequency, name);
  check_order(order, 3, name);
  check_frequency(frequency, samplefrequency, name);
  const int support = order % 2 == 1 ? order : order - 1;
  const int centre = (support - 1) / 2;
  const double omega = 2 * PI * frequency / samplefrequency;
  cvector window, coeffs;
  cvector_init_hanning(&window, support);
  cvector_init_zero(&coeffs, order);
  double gain = 0.0;
  for (int i = 0; i < support; i++) {
    double c = std::cos((i - centre) * omega);
    coeffs.data[i] = c * window.data[i];
    gain += coeffs.data[i] * c;
  }
  for (int i = 0; i < support; i++) coeffs.data[i] = -coeffs.data[i] / gain;
  coeffs.data[centre] += 1.0;
  if (verbose) write_design_files(&coeffs, (int)samplefrequency, name);
  fir_filter_params_init(params, &coeffs);
  cvector_free(&coeffs);
  cvector_free(&window);
}
