// Inline building blocks shared by the recursive*.cpp files of the library:
// the per-sample steps of the delay line and the moving mean, so that the
// composite functions do not pay a call per component.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common.h"
#include "fex.h"

namespace fex_internal {

#define FEX_ALWAYS_INLINE inline __attribute__((always_inline))

// Bytes the system can still hand out: available memory plus free swap
// (from /proc/meminfo), or SIZE_MAX when that cannot be told.
inline size_t memory_available() {
  FILE *f = std::fopen("/proc/meminfo", "r");
  if (f == nullptr) return SIZE_MAX;
  char line[128];
  unsigned long long kib = 0, total = 0;
  int found = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1 ||
        std::sscanf(line, "SwapFree: %llu kB", &kib) == 1) {
      total += kib;
      ++found;
    }
  }
  std::fclose(f);
  if (found == 0) return SIZE_MAX;
  return total > SIZE_MAX / 1024 ? SIZE_MAX : static_cast<size_t>(total * 1024);
}

// Bytes of delay lines that are mapped but not yet touched: the system does
// not count them as used until the lines fill. Written and read only by the
// thread that builds and frees records (the library is single-threaded).
inline size_t lazily_mapped_bytes = 0;

// Requests at least this large are checked against the memory left, so that
// a width or count that cannot be had ends with a message rather than with
// the out-of-memory killer once the memory is touched.
inline constexpr size_t kCheckedRequest = size_t{64} << 20;

// Ends the program with ENOMEM and `who` when `bytes` (with the lines mapped
// so far) are more than the memory left.
inline void refuse_beyond_memory(size_t bytes, const char *who) {
  const size_t available = memory_available();
  if (bytes > available || lazily_mapped_bytes > available - bytes) {
    errno = ENOMEM;
    fatal_system_error(who);
  }
}

// calloc that ends the program with the caller's name on failure.
inline void *checked_calloc(size_t count, size_t size, const char *who) {
  if (count == 0) count = 1;
  size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes)) {
    errno = ENOMEM;
    fatal_system_error(who);
  }
  if (bytes >= kCheckedRequest) refuse_beyond_memory(bytes, who);
  void *p = std::calloc(count, size);
  if (p == nullptr) {
    if (errno == 0) errno = ENOMEM;
    fatal_system_error(who);
  }
  return p;
}

// A non-negative double truncated to int; -1 for anything negative, NaN or
// beyond the int range, so that the callers' "delay >= 0" checks catch
// smoothing factors outside [0, 1).
inline int truncate_delay(double d) {
  if (!(d >= 0.0) || d >= 2147483648.0) return -1;
  return static_cast<int>(d);
}

// Delay line (defined in fex.h).
FEX_ALWAYS_INLINE void delay_step(delay_params *params, double value) {
  ::delay(params, value);
}

// Moving mean without resynchronisation, given the sample that leaves the
// window (read only once the window is full), so that records holding the
// same samples can share one delay line.
FEX_ALWAYS_INLINE void moving_mean_sum_step(moving_mean_params *params,
                                            double value, double leaving) {
  params->sum += value;
  if (params->num_collected < params->size) {
    params->num_collected++;
    params->value = params->sum / params->num_collected;
  } else {
    params->sum -= leaving;
    params->value = params->sum / params->size;
  }
}

// The periodic resynchronisation: the fresh sum starts with the window, so
// on completion it holds exactly the last `size` samples and replaces the
// drifting running sum.
FEX_ALWAYS_INLINE void moving_mean_resync_step(moving_mean_params *params,
                                               double value) {
  params->new_sum += value;
  if (++params->new_sum_collected == params->size) {
    params->sum = params->new_sum;
    params->new_sum = 0.0;
    params->new_sum_collected = 0;
  }
}

// Moving mean without resynchronisation, on its own delay line.
FEX_ALWAYS_INLINE void moving_mean_fast_step(moving_mean_params *params,
                                             double value) {
  delay_step(&params->delayed, value);
  moving_mean_sum_step(params, value, params->delayed.value);
}

// A moving mean's running sums held in locals through a run of samples in
// which its window is full. A run is cut into stretches that end at a
// resynchronisation (sum_of + resynchronise), so that the inner loops carry
// no branch for it; the sums are those of moving_mean_sum_step and
// moving_mean_resync_step.
struct mean_sums {
  double sum, new_sum, size;
  int collected, isize;
  explicit mean_sums(const moving_mean_params *p)
      : sum(p->sum), new_sum(p->new_sum), size(p->size),
        collected(p->new_sum_collected), isize(p->size) {}
  // Samples up to and including the next resynchronisation.
  size_t until_resync() const { return static_cast<size_t>(isize - collected); }
  // The window's new sum, `leaving` being the sample that leaves it.
  FEX_ALWAYS_INLINE double add_sum(double value, double leaving) {
    sum += value;
    sum -= leaving;
    new_sum += value;
    return sum;
  }
  // The window's new mean.
  FEX_ALWAYS_INLINE double add(double value, double leaving) {
    return add_sum(value, leaving) / size;
  }
  // After `taken` samples of a stretch.
  void resynchronise(size_t taken) {
    collected += static_cast<int>(taken);
    if (collected == isize) {
      sum = new_sum;
      new_sum = 0.0;
      collected = 0;
    }
  }
  void store(moving_mean_params *p, double value) const {
    p->sum = sum;
    p->new_sum = new_sum;
    p->new_sum_collected = collected;
    p->value = value;
  }
};

// The samples of a run once the window is full, on the delay line `d` that
// hands out the leaving samples: out[i] = step(in[i], leaving). Stretches
// end where the line wraps or after `stretch_limit()` samples (the next
// resynchronisation), and `stretch_done(taken)` follows each; the run stops
// after a NaN or infinite output. A stretch starts with
// `groups(x, line, y, n, leaving)`, which may take its first samples in
// groups (feeding the line, writing y and setting the last leaving sample)
// and returns how many it took; the rest go one by one.
template <class Limit, class Groups, class Step, class Done>
FEX_ALWAYS_INLINE size_t windowed_run(delay_params *d, const double *in,
                                      double *out, size_t i, size_t count,
                                      Limit stretch_limit, Groups groups,
                                      Step step, Done stretch_done) {
  const size_t n = static_cast<size_t>(d->size);
  size_t pos = static_cast<size_t>(d->bufpos);
  double leaving = d->value;
  bool finite = true;
  while (i < count && finite) {
    const size_t stretch = std::min({count - i, n - pos, stretch_limit()});
    const double *x = in + i;
    double *y = out + i, *line = d->buf + pos;
    size_t j = groups(x, line, y, stretch, leaving);
    while (j < stretch && finite) {
      leaving = line[j];
      line[j] = x[j];
      y[j] = step(x[j], leaving);
      finite = std::isfinite(y[j++]);
    }
    stretch_done(j);
    i += j;
    pos = pos + j == n ? 0 : pos + j;
  }
  d->bufpos = static_cast<int>(pos);
  d->value = leaving;
  return i;
}

// Asks for a delay line's samples some way ahead of `at`, to be read and
// overwritten there: a run over many dimensions comes back to each line
// only for a short piece, too short for the processor's own prefetching to
// get going before the piece is done, and a long line is in memory.
FEX_ALWAYS_INLINE void prefetch_line(const double *at) {
  __builtin_prefetch(at + 256, 1, 3);
}

// The window sums of a full window over x[0, n) in groups of eight, with
// the leaving samples on `line` (overwritten with x): `Sums` running sums
// st[0, Sums) and fresh sums st[Sums, 2 * Sums) as mean_sums::add_sum
// keeps them, of the samples and (the second) of their squares, written to
// out[s][t]. A group's samples go to the line only once its last sums are
// known finite (a sum that is not finite stays so); the loop stops before
// a group that is not. `done(t)` follows the group from t on, once the next
// group's additions are under way, so that its divisions overlap them
// instead of waiting for them. Returns the samples taken, a multiple of
// eight, and sets `leaving` to the last one's leaving sample.
template <int Sums, class Done>
FEX_ALWAYS_INLINE size_t sums_in_groups(double *st, const double *x,
                                        double *line, double *const *out,
                                        size_t n, double &leaving, Done done) {
  constexpr size_t kGroup = 8;
  double run[Sums], fresh[Sums];
  for (int s = 0; s < Sums; ++s) {
    run[s] = st[s];
    fresh[s] = st[Sums + s];
  }
  size_t j = 0;
  for (; j + kGroup <= n; j += kGroup) {
    prefetch_line(line + j);
    double v[kGroup], l[kGroup];
#pragma GCC unroll 8
    for (size_t u = 0; u < kGroup; ++u) {
      v[u] = x[j + u];
      l[u] = line[j + u];
    }
    double a[Sums], f[Sums];
    for (int s = 0; s < Sums; ++s) {
      a[s] = run[s];
      f[s] = fresh[s];
    }
#pragma GCC unroll 8
    for (size_t u = 0; u < kGroup; ++u) {
      for (int s = 0; s < Sums; ++s) {
        const double in = s == 0 ? v[u] : v[u] * v[u];
        a[s] += in;
        a[s] -= s == 0 ? l[u] : l[u] * l[u];
        f[s] += in;
        out[s][j + u] = a[s];
      }
    }
    bool finite = true;
    for (int s = 0; s < Sums; ++s) finite = finite && std::isfinite(a[s]);
    if (!finite) break;
#pragma GCC unroll 8
    for (size_t u = 0; u < kGroup; ++u) line[j + u] = v[u];
    leaving = l[kGroup - 1];
    for (int s = 0; s < Sums; ++s) {
      run[s] = a[s];
      fresh[s] = f[s];
    }
    if (j > 0) done(j - kGroup);
  }
  if (j > 0) done(j - kGroup);
  for (int s = 0; s < Sums; ++s) {
    st[s] = run[s];
    st[Sums + s] = fresh[s];
  }
  return j;
}

// sums_in_groups for a moving mean (running sum s[0], fresh sum s[1]), the
// means to y. Where the processor has wide vectors, the groups' sums are
// guessed with the additions in another order and each sample's step is
// checked against the guess (recursive_wide.cpp); the values are those of
// one sample after another to the bit.
size_t mean_groups(double *s, const double *x, double *line, double *y,
                   size_t n, double size, double &leaving);

// Whether mean_groups guesses (the processor has wide vectors).
bool mean_groups_guess();

// sums_in_groups for a moving deviation (running sums s[0] of the samples
// and s[1] of their squares, fresh sums s[2] and s[3]) with their
// deviations in y[0, *clean): the groups from the first on that need no
// warning and are finite. The window sums go to sum[t] and square[t] for
// the rest and for the last sample; all of them when `clean` is null, and
// then no deviations are wanted.
size_t deviation_groups(double *s, const double *x, double *line, double *sum,
                        double *square, double *y, size_t n, double size,
                        double &leaving, size_t *clean);

// Whether deviation_groups runs lanes of one stretch (the processor has
// AVX-512).
bool deviation_groups_in_lanes();

// Samples before the first NaN or infinity of v[0, count).
size_t finite_prefix(const double *v, size_t count);

// The deviations out[t] = sqrt(sq[t] / size - (s[t] / size)^2) from the sums
// s and sq of a window of `size`, in groups of eight from t = 0, stopping
// before the first group in which a variance is negative or a deviation not
// finite (those take the one-by-one path with its warning). Returns the
// samples done, a multiple of eight. `out` may be `s`.
size_t clean_deviations(const double *s, const double *sq, double *out,
                        size_t count, double size);

// For the tests: the lanes (bits 0 to 7) in which the pass of
// clean_deviations in vector width `width` (3, AVX2 with FMA, or 4,
// AVX-512) takes q[u] as the rounded s[u] / size without dividing; -1
// where the processor does not have that width or it divides.
int proven_quotients(int width, const double *s, const double *q,
                     double size);

// For the tests: the vector width of clean_deviations, finite_prefix and
// the groups, 0 (scalar), 1 (SSE2), 2 (AVX), 3 (AVX2 with FMA) or 4
// (AVX-512), at most `at_most` and what the processor has. Returns it.
constexpr int kWidest = 4;
int wide_width(int at_most);

// Whether a moving mean's window is full, so that mean_sums applies.
inline bool moving_mean_full(const moving_mean_params *p) {
  return p->num_collected == p->size;
}

// delay() of x[0, k) while a line fills (no sample leaves it): copied at
// once where the line is in order from its first slot, else one by one.
inline void delay_filling(delay_params *d, const double *x, size_t k) {
  const int n = d->size;
  if (k == 0) return;
  if (n > 0 && d->bufpos == d->num_collected &&
      k <= static_cast<size_t>(n - d->num_collected)) {
    std::memcpy(d->buf + d->bufpos, x, k * sizeof(double));
    d->num_collected += static_cast<int>(k);
    d->bufpos = d->num_collected == n ? 0 : d->num_collected;
    d->value = d->buf[0];  // the very first sample stored
    return;
  }
  for (size_t i = 0; i < k; ++i) delay(d, x[i]);
}

// Whether a delay line has filled and hands out the sample of `size` ago.
inline bool delay_full(const delay_params *d) {
  return d->num_collected > d->size;
}

// Moving mean on its own delay line.
FEX_ALWAYS_INLINE void moving_mean_step(moving_mean_params *params,
                                        double value) {
  moving_mean_fast_step(params, value);
  moving_mean_resync_step(params, value);
}

// Moving mean fed with the leaving sample by its owner.
FEX_ALWAYS_INLINE void moving_mean_shared_step(moving_mean_params *params,
                                               double value, double leaving) {
  moving_mean_sum_step(params, value, leaving);
  moving_mean_resync_step(params, value);
}

// A moving mean of `size` that gets its leaving samples from its owner and
// keeps no delay line (its `delayed` line has length 0 and stays unused).
inline void moving_mean_shared_init(moving_mean_params *params, int size) {
  PRECONDITION(size > 0);
  params->size = size;
  delay_params_init(&params->delayed, 0);
  params->delay = moving_default_delay(size);
  moving_mean_params_reset(params);
}

// a + b, with a's NaN where both are NaN: the processor hands on the first
// operand's NaN, and left to itself the compiler picks the order of a
// sum's operands. The regression's step and run take the two sums whose
// NaN reaches their slopes (the weighted sum's and its fresh sum's) in one
// order through it, so that they write the same NaNs, signs included (a
// window holding a NaN and infinities of both signs gives either sign).
FEX_ALWAYS_INLINE double add_keeping_first_nan(double a, double b) {
#if defined(__SSE2__)
  asm("addsd %1, %0" : "+x"(a) : "x"(b));
  return a;
#else
  return a + b;
#endif
}

// The regression's warning when its running weighted sum has drifted from
// the sum accumulated afresh, `fresh`, that replaces it.
inline void warn_weighted_sum_drift(double weighted_sum, double fresh) {
  if (std::fabs(weighted_sum - fresh) > 1e-7) {
    std::fprintf(stderr,
                 "%s weighted_sum_update warning: difference was %g (new "
                 "value = %g)\n",
                 "moving_regression", weighted_sum - fresh, fresh);
  }
}

// The exact moving regression's step (moving_regression), inline for the
// peak detectors that run two of them at every sample.
FEX_ALWAYS_INLINE void moving_regression_step(moving_regression_params *params,
                                              double value) {
  const int N = params->size;
  const double c = (N - 1) * 0.5;
  delay_step(&params->delayed, value);
  const int n = params->num_collected;
  if (n == 0) {
    params->num_collected = 1;
    params->value = 0.0;
  } else if (n < N) {
    // The window grows from n to n + 1 samples: every old sample's offset
    // from the new centre drops by one half, the new one enters at n / 2.
    params->weighted_sum =
        params->weighted_sum + value * (n * 0.5) - params->mean.sum * 0.5;
    params->num_collected = n + 1;
    const double m = n + 1;
    params->value = params->weighted_sum * 12.0 / (m * m * m - m);
  } else {
    params->weighted_sum =
        add_keeping_first_nan(
            params->weighted_sum,
            c * (value + params->delayed.value)) -
        params->mean.sum;
    params->value = params->weighted_sum * params->constant;
  }
  // The sample leaving the mean's window: size - 1 samples ago, the oldest
  // one left in the line (all slots are written once the mean is full).
  moving_mean_shared_step(
      &params->mean, value, params->delayed.buf[params->delayed.bufpos]);

  // Resynchronisation: the freshly accumulated sum is exact after N samples.
  const double f = add_keeping_first_nan(
      (params->update_collected - c) * value, params->weighted_sum_update);
  if (params->update_collected + 1 == N) {
    warn_weighted_sum_drift(params->weighted_sum, f);
    params->weighted_sum = f;
    params->update_collected = 0;
    params->weighted_sum_update = 0.0;
  } else {
    params->update_collected++;
    params->weighted_sum_update = f;
  }
}

// Raises the k block maxima of moving_max to `value`: value > m ? value : m,
// which keeps m when either is NaN (as maxpd does).
FEX_ALWAYS_INLINE void raise_block_maxima(double *m, int k, double value) {
  int i = 0;
#if defined(__SSE2__)
  const __m128d v = _mm_set1_pd(value);
  for (; i + 2 <= k; i += 2) {
    _mm_storeu_pd(m + i, _mm_max_pd(v, _mm_loadu_pd(m + i)));
  }
#endif
  for (; i < k; ++i) m[i] = value > m[i] ? value : m[i];
}

// moving_max with its common case inline: a full window in which no
// accumulator starts or completes a block only raises the maxima.
FEX_ALWAYS_INLINE void moving_max_step(moving_minmax_params *params,
                                       double value) {
  if (params->quiet <= 0) {
    ::moving_max(params, value);
    return;
  }
  --params->quiet;
  ++params->pending;
  params->max = value > params->max ? value : params->max;
  raise_block_maxima(params->max_updates, params->k, value);
  params->value = params->max;
}

}  // namespace fex_internal
