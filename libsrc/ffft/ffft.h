// ffft - the real FFT and the discrete cosine transform, in place on arrays
// of doubles, unnormalised, in FFTPACK's conventions.
//
// Real FFT of length n, half-complex layout: r0, r1, i1, r2, i2, ..., and
// for even n the real Nyquist term r(n/2) last, with
//   r_k = sum_j x_j cos(2 pi j k / n),  i_k = -sum_j x_j sin(2 pi j k / n).
// A forward followed by a backward transform multiplies the data by n.
//
// Cosine transform of length n:
//   X_k = x_0 + (-1)^k x_(n-1) + 2 sum_(j=1)^(n-2) x_j cos(pi j k / (n - 1));
// applying it twice multiplies the data by 2 (n - 1).
//
// The records own the transform plans and work arrays, made once at init;
// executing a transform allocates nothing.
#pragma once

struct fftw_plan_s;

// Upper bound of the number of factors of an int length.
constexpr int FFT_MAX_FACTORS = 32;

struct fft_data {
  int n;                      // transform length
  double *in;                 // work arrays of n doubles
  double *out;
  fftw_plan_s *forward;       // real to half-complex
  fftw_plan_s *backward;      // half-complex to real
  int num_factors;            // factorisation of n (see fft_factorize)
  int factors[FFT_MAX_FACTORS];
};

struct cost_data {
  int n;                      // transform length
  double *in;                 // work arrays of n doubles
  double *out;
  fftw_plan_s *plan;          // null for n = 1 (the identity)
  int num_factors;            // factorisation of n - 1
  int factors[FFT_MAX_FACTORS];
};

// Factorises n (> 0) as FFTPACK does: trial factors 4, 2, 3, 5, then 7, 9,
// 11, ...; a factor 2 is moved to the front. Returns the number of factors
// (0 for n = 1) and stores them in `factors`.
int fft_factorize(int n, int factors[FFT_MAX_FACTORS]);

// Prepares the real FFT of length n (> 0) and warns on standard error when
// the factorisation of n makes it slow.
void fft_data_init(fft_data *data, int n);
void fft_data_free(fft_data *data);
void fft_data_execute_forward(fft_data *data, double *inout);
void fft_data_execute_backward(fft_data *data, double *inout);
// Forward-transforms `inout` in place and stores the unscaled power
// spectrum (n / 2 + 1 values for even n, (n + 1) / 2 for odd n).
void fft_data_powerspec(fft_data *data, double *inout, double *powerspec);

// Prepares the cosine transform of length n (> 0); warns as fft_data_init
// does for the factorisation of n - 1.
void cost_data_init(cost_data *data, int n);
void cost_data_free(cost_data *data);
void cost_data_execute(cost_data *data, double *inout);
