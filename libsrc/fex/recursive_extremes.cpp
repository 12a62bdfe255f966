// Extremes, median trackers, pseudo-statistics and the soft exponential
// estimators.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common.h"
#include "fex.h"
#include "recursive_internal.h"

int moving_pseudomedian_gauss_debug = 0;

using fex_internal::delay_step;
using fex_internal::moving_mean_step;
using fex_internal::truncate_delay;

// ---------------------------------------------------------------------------
// Windowed maximum and minimum with staggered block accumulators

void moving_max_params_init(moving_minmax_params *params, int size, int k) {
  PRECONDITION(size > 0);
  PRECONDITION(k >= 0);
  params->size = size;
  params->k = k;
  params->max_updates = nullptr;
  params->updates_collected = nullptr;
  if (k == 0) {
    std::fprintf(stderr,
                 "%s warning: k = 0 means no update at all, you will get a "
                 "global maximum!\n",
                 "moving_max_params_init");
    params->delay = (size - 1) / 2;
  } else {
    // Both arrays together, so that a k beyond the memory left is refused
    // before the reset touches them.
    const size_t bytes = static_cast<size_t>(k) * (sizeof(double) + sizeof(int));
    if (bytes >= fex_internal::kCheckedRequest)
      fex_internal::refuse_beyond_memory(bytes, "moving_max_params_init");
    params->max_updates = static_cast<double *>(fex_internal::checked_calloc(
        static_cast<size_t>(k), sizeof(double), "moving_max_params_init"));
    params->updates_collected = static_cast<int *>(fex_internal::checked_calloc(
        static_cast<size_t>(k), sizeof(int), "moving_max_params_init"));
    params->delay = static_cast<int>(
        (static_cast<int64_t>(size / k) + size - 1) / 2);
  }
  moving_max_params_reset(params);
}

void moving_max_params_reset(moving_minmax_params *params) {
  params->num_collected = 0;
  params->max = 0.0;
  params->value = 0.0;
  params->quiet = 0;
  params->pending = 0;
  for (int i = 0; i < params->k; ++i) {
    params->updates_collected[i] = 0;
    params->max_updates[i] = 0.0;
  }
}

void moving_max_params_free(moving_minmax_params *params) {
  std::free(params->max_updates);
  std::free(params->updates_collected);
  params->max_updates = nullptr;
  params->updates_collected = nullptr;
}

// Samples from now on in which no accumulator starts (fill count 0) or
// completes (fill count size - 1) a block; the window must be full.
static int quiet_samples(const moving_minmax_params *params) {
  int quiet = 1 << 30;  // without accumulators: bounds `pending`
  for (int i = 0; i < params->k; ++i) {
    const int c = params->updates_collected[i];
    const int q = c == 0 ? 0 : params->size - 1 - c;
    if (q < quiet) quiet = q;
  }
  return quiet;
}

// A sample once the window is full, with the fill counts brought up to date
// on the way and the quiet samples ahead counted in the same pass.
static FEX_ALWAYS_INLINE void full_window_step(moving_minmax_params *params,
                                               double value) {
  const int k = params->k, size = params->size, pending = params->pending;
  double max = value > params->max ? value : params->max;
  int quiet = 1 << 30;  // as quiet_samples
  for (int i = 0; i < k; ++i) {
    int collected = params->updates_collected[i] + pending;
    const double block = collected == 0 ? value : params->max_updates[i];
    params->max_updates[i] = value > block ? value : block;
    if (++collected == size) {
      collected = 0;
      max = params->max_updates[i];
    }
    params->updates_collected[i] = collected;
    const int q = collected == 0 ? 0 : size - 1 - collected;
    quiet = q < quiet ? q : quiet;
  }
  params->pending = 0;
  params->quiet = quiet;
  params->max = max;
  params->value = max;
}

// The sample at which accumulator i starts its first block, as the window
// fills.
static int block_start(int i, int size, int k) {
  return static_cast<int>(static_cast<int64_t>(i) * size / k);
}

void moving_max(moving_minmax_params *params, double value) {
  if (params->quiet > 0) {
    // Full window, and every accumulator is inside its block.
    fex_internal::moving_max_step(params, value);
    return;
  }
  if (params->num_collected == params->size) {
    full_window_step(params, value);
    return;
  }
  if (params->pending > 0) {
    for (int i = 0; i < params->k; ++i)
      params->updates_collected[i] += params->pending;
    params->pending = 0;
  }
  const int n = params->num_collected;
  const int size = params->size;
  const int k = params->k;
  // Comparisons are written as selections (no data-dependent branches); a
  // NaN never replaces a value, as with `if (value > max) max = value`.
  const double current = n == 0 ? value : params->max;
  params->max = value > current ? value : current;
  // Accumulator i starts its first block i * size / k samples in; once the
  // window is full every accumulator runs.
  for (int i = 0; i < k; ++i) {
    if (n < size && n < block_start(i, size, k)) continue;
    int collected = params->updates_collected[i];
    const double block = collected == 0 ? value : params->max_updates[i];
    params->max_updates[i] = value > block ? value : block;
    if (++collected == size) {
      collected = 0;
      params->max = params->max_updates[i];
    }
    params->updates_collected[i] = collected;
  }
  if (n < size) params->num_collected = n + 1;
  if (params->num_collected == size) params->quiet = quiet_samples(params);
  params->value = params->max;
}

void moving_min_params_reset(moving_minmax_params *params) {
  moving_max_params_reset(params);
}

void moving_min_params_free(moving_minmax_params *params) {
  moving_max_params_free(params);
}

void moving_min(moving_minmax_params *params, double value) {
  moving_max(params, -value);
  params->value = -params->max;
}

// A run of moving_max (or moving_min, on the negated input). In the quiet
// samples, where no accumulator starts or completes a block, a sample only
// raises the estimate and the block maxima: the block maxima are raised once
// by the largest sample of the stretch, which gives them the same values
// (only a strictly larger sample replaces a value, so a NaN never does).
//
// When blocks start or complete every few samples (short windows), the
// accumulators are kept in locals instead and every sample runs them all.

namespace {
// The accumulators of such a run, and the estimate.
struct DenseState {
  double blocks[16];
  int collected[16];
  double max;
};
}  // namespace

// Samples in[t, until) one by one, every sample running every accumulator;
// stops after an estimate that is not finite. Returns the sample reached.
// Where the samples are finite and so is the estimate (`NoNaN`), a block
// that completes is set to -infinity instead of a block that starts being
// set to the sample: x > -inf ? x : -inf is x for every x but NaN, and the
// selection leaves the chain of maxima of each sample. Only a block that
// completes can then make the estimate not finite.
template <bool Min, int K, bool NoNaN>
static size_t dense_steps(DenseState *st, int k, int size, const double *in,
                          double *out, size_t t, size_t until) {
  double max = st->max;
  bool finite = true;
  // Locals, which the stores to `out` cannot touch.
  double blocks[16];
  int collected[16];
  std::copy(st->blocks, st->blocks + k, blocks);
  std::copy(st->collected, st->collected + k, collected);
  if (NoNaN) {
    for (int i = 0; i < k; ++i) {
      if (collected[i] == 0) blocks[i] = -HUGE_VAL;
    }
  }
#if defined(__SSE2__)
  if constexpr (K == 4) {
    // The four accumulators side by side, with the same selections: a block
    // that starts takes x, then x > block ? x : block; the last one to
    // complete hands on its maximum.
    __m128d b01 = _mm_loadu_pd(blocks), b23 = _mm_loadu_pd(blocks + 2);
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(collected));
    const __m128i one = _mm_set1_epi32(1), full = _mm_set1_epi32(size);
    const __m128d none = _mm_set1_pd(-HUGE_VAL);
    const auto select = [](__m128d mask, __m128d a, __m128d b) {
      return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
    };
    const auto lo = [](__m128i m) { return _mm_castsi128_pd(_mm_unpacklo_epi32(m, m)); };
    const auto hi = [](__m128i m) { return _mm_castsi128_pd(_mm_unpackhi_epi32(m, m)); };
    while (t < until && finite) {
      const double xs = Min ? -in[t] : in[t];
      max = xs > max ? xs : max;
      const __m128d x = _mm_set1_pd(xs);
      if (NoNaN) {
        b01 = _mm_max_pd(x, b01);  // x > b ? x : b
        b23 = _mm_max_pd(x, b23);
      } else {
        const __m128i start = _mm_cmpeq_epi32(c, _mm_setzero_si128());
        b01 = _mm_max_pd(x, select(lo(start), x, b01));
        b23 = _mm_max_pd(x, select(hi(start), x, b23));
      }
      c = _mm_add_epi32(c, one);
      const __m128i complete = _mm_cmpeq_epi32(c, full);
      const int done = _mm_movemask_ps(_mm_castsi128_ps(complete));
      if (done != 0) {
        const bool upper = done >= 4;  // accumulator 2 or 3
        const __m128d b = upper ? b23 : b01;
        const bool high = (done & (upper ? 8 : 2)) != 0;  // 1 or 3
        max = _mm_cvtsd_f64(high ? _mm_unpackhi_pd(b, b) : b);
        c = _mm_andnot_si128(complete, c);
        if (NoNaN) {
          b01 = select(lo(complete), none, b01);
          b23 = select(hi(complete), none, b23);
          finite = std::isfinite(max);
        }
      }
      out[t++] = Min ? -max : max;
      if (!NoNaN) finite = std::isfinite(max);
    }
    _mm_storeu_pd(blocks, b01);
    _mm_storeu_pd(blocks + 2, b23);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(collected), c);
  }
#endif
  while (t < until && finite) {
    const double x = Min ? -in[t] : in[t];
    max = x > max ? x : max;
#pragma GCC unroll 4
    for (int i = 0; i < (K > 0 ? K : k); ++i) {
      const double b = !NoNaN && collected[i] == 0 ? x : blocks[i];
      blocks[i] = x > b ? x : b;
      if (++collected[i] == size) {
        collected[i] = 0;
        max = blocks[i];
        if (NoNaN) blocks[i] = -HUGE_VAL;
      }
    }
    out[t++] = Min ? -max : max;
    finite = std::isfinite(max);
  }
  if (NoNaN) {
    // A block that completed last keeps its maximum, as one by one.
    for (int i = 0; i < k; ++i) {
      if (collected[i] == 0) blocks[i] = max;
    }
  }
  std::copy(blocks, blocks + k, st->blocks);
  std::copy(collected, collected + k, st->collected);
  st->max = max;
  return t;
}

// Samples in[t, until), all finite, with a finite estimate: as dense_steps,
// but segment by segment. The accumulators complete in turn, so that the
// samples between two completions (a segment) are added to every
// accumulator alike. Over finite samples the fold x > m ? x : m takes the
// first of the largest, so a segment's samples may be folded first and the
// fold added once: each sample then costs the segment's fold and the
// estimate (the last completed block folded with the segment so far), and
// each completion one step of every accumulator. The completions repeat
// every `size` samples, so their order is worked out once. Stops after an
// estimate that is not finite (a block that began before, with a NaN).
// Returns the sample reached.
template <bool Min, int K>
static size_t segment_steps(DenseState *st, int k, int size, const double *in,
                            double *out, size_t t, size_t until) {
  if (K > 0) k = K;
  // The completions of the next `size` samples, in order (each accumulator
  // completes once): the samples since the one before (it included; the
  // first counts from the one a period earlier), which accumulators
  // complete and the last of them.
  struct Completion {
    int gap;
    unsigned mask;
    int last;
  } completions[16];
  int m = 0, first_gap = 0;
  {
    int c[16];
    std::copy(st->collected, st->collected + k, c);
    for (int elapsed = 0;; ++m) {
      int gap = size;
      for (int i = 0; i < k; ++i) gap = std::min(gap, size - c[i]);
      if (elapsed + gap > size) break;
      completions[m] = {gap, 0u, 0};
      for (int i = 0; i < k; ++i) {
        c[i] += gap;
        if (c[i] == size) {
          c[i] = 0;
          completions[m].mask |= 1u << i;
          completions[m].last = i;
        }
      }
      elapsed += gap;
    }
    first_gap = completions[0].gap;
    int last_time = 0;
    for (int e = 0; e < m; ++e) last_time += completions[e].gap;
    completions[0].gap = first_gap + size - last_time;
  }
  double blocks[16];  // each accumulator's fold before the current segment
  for (int i = 0; i < k; ++i) {
    blocks[i] = st->collected[i] == 0 ? -HUGE_VAL : st->blocks[i];
  }
  const size_t first = t;
  double done = st->max;    // the estimate before the segment
  double part = -HUGE_VAL;  // the segment's fold so far
  double max = done;
  for (int e = 0, gap = first_gap; t < until;) {
    const Completion &next = completions[e];
    const size_t plain = std::min(until, t + static_cast<size_t>(gap) - 1);
    for (; t < plain; ++t) {
      const double x = Min ? -in[t] : in[t];
      part = x > part ? x : part;
      max = part > done ? part : done;
      out[t] = Min ? -max : max;
    }
    if (t == until) break;
    const double x = Min ? -in[t] : in[t];
    part = x > part ? x : part;
#pragma GCC unroll 4
    for (int i = 0; i < k; ++i) blocks[i] = part > blocks[i] ? part : blocks[i];
    max = blocks[next.last];
    for (unsigned r = next.mask; r != 0; r &= r - 1) {
      blocks[__builtin_ctz(r)] = -HUGE_VAL;
    }
    done = max;
    part = -HUGE_VAL;
    out[t++] = Min ? -max : max;
    if (!std::isfinite(max)) break;
    e = e + 1 == m ? 0 : e + 1;
    gap = completions[e].gap;
  }
  const int taken = static_cast<int>((t - first) % static_cast<size_t>(size));
  for (int i = 0; i < k; ++i) {
    const int c = (st->collected[i] + taken) % size;
    st->collected[i] = c;
    // A block that completed last keeps its maximum, as one by one.
    st->blocks[i] = c == 0 ? max : part > blocks[i] ? part : blocks[i];
  }
  st->max = max;
  return t;
}

template <bool Min, int K>
static size_t dense_run(moving_minmax_params *params, const double *in,
                        double *out, size_t count) {
  const int k = K > 0 ? K : params->k, size = params->size;
  DenseState st;
  for (int i = 0; i < k; ++i) {
    st.blocks[i] = params->max_updates[i];
    st.collected[i] = params->updates_collected[i] + params->pending;
  }
  st.max = params->max;
  size_t t = 0;
  while (t < count) {
    // Up to the next NaN or infinity, then that sample on its own.
    const size_t clean = t + fex_internal::finite_prefix(in + t, count - t);
    if (clean == t || !std::isfinite(st.max)) {
      t = dense_steps<Min, K, false>(&st, k, size, in, out, t, t + 1);
    } else if (size > 2 * k) {  // completions more than two samples apart
      t = segment_steps<Min, K>(&st, k, size, in, out, t, clean);
    } else {
      t = dense_steps<Min, K, true>(&st, k, size, in, out, t, clean);
    }
    if (!std::isfinite(st.max)) break;
  }
  for (int i = 0; i < k; ++i) {
    params->max_updates[i] = st.blocks[i];
    params->updates_collected[i] = st.collected[i];
  }
  params->pending = 0;
  params->quiet = quiet_samples(params);
  params->max = st.max;
  params->value = Min ? -st.max : st.max;
  return t;
}

// moving_max while the window fills. Accumulator i starts its first block
// floor(i * size / k) samples in, so between two starts the accumulators
// that run do not change; over finite samples the fold x > m ? x : m takes
// the first of the largest, so such a stretch is folded once and the fold
// taken into each of them, and the estimate is the fold of every sample so
// far. A sample that is not finite, or one after an estimate that is not,
// goes through moving_max on its own.
// Stops after an estimate that is not finite; returns the samples taken.
template <bool Min>
static size_t minmax_filling(moving_minmax_params *params, const double *in,
                             double *out, size_t count) {
  const int k = params->k, size = params->size, filled = params->num_collected;
  if (filled < size && params->pending > 0) {
    for (int i = 0; i < k; ++i) params->updates_collected[i] += params->pending;
    params->pending = 0;
  }
  size_t t = 0;
  while (t < count && params->num_collected < size) {
    const int n = params->num_collected;
    int next = size;  // the next sample at which an accumulator starts
    for (int i = 0; i < k; ++i) {
      const int start = block_start(i, size, k);
      if (start > n) next = std::min(next, start);
    }
    const size_t end = t + std::min(count - t, static_cast<size_t>(next - n));
    const size_t clean = t + fex_internal::finite_prefix(in + t, end - t);
    if (clean == t || (n > 0 && !std::isfinite(params->max))) {
      moving_max(params, Min ? -in[t] : in[t]);
      out[t] = params->value = Min ? -params->max : params->max;
      if (!std::isfinite(out[t++])) return t;
      continue;
    }
    double max = params->max, part = Min ? -in[t] : in[t];
    if (n == 0) max = part;
    for (size_t u = t; u < clean; ++u) {
      const double x = Min ? -in[u] : in[u];
      part = x > part ? x : part;
      max = x > max ? x : max;
      out[u] = Min ? -max : max;
    }
    const int taken = static_cast<int>(clean - t);
    for (int i = 0; i < k; ++i) {
      if (block_start(i, size, k) > n) continue;
      int &collected = params->updates_collected[i];
      double &block = params->max_updates[i];
      block = collected == 0 || part > block ? part : block;
      collected += taken;
      if (collected == size) {  // the first, as the window fills
        collected = 0;
        max = block;
      }
    }
    params->num_collected = n + taken;
    params->max = max;
    params->value = Min ? -max : max;
    t = clean;
  }
  if (filled < size && params->num_collected == size) params->quiet = quiet_samples(params);
  return t;
}

template <bool Min>
static size_t minmax_run(moving_minmax_params *params, const double *in,
                         double *out, size_t count) {
  size_t i = minmax_filling<Min>(params, in, out, count);
  if (i > 0 && !std::isfinite(out[i - 1])) return i;
  if (params->k > 0 && params->k <= 16 && params->size / params->k < 64) {
    // Past the warm-up, the accumulators run in locals.
    if (i == count) return i;
    const auto run = params->k == 4 ? dense_run<Min, 4> : dense_run<Min, 0>;
    return i + run(params, in + i, out + i, count - i);
  }
  while (i < count) {
    if (params->quiet <= 0) {
      if (params->num_collected == params->size) {
        full_window_step(params, Min ? -in[i] : in[i]);
      } else {
        moving_max(params, Min ? -in[i] : in[i]);
      }
      out[i] = params->value = Min ? -params->max : params->max;
      if (!std::isfinite(out[i++])) return i;
      continue;
    }
    const size_t quiet = std::min<size_t>(params->quiet, count - i);
    double max = params->max, top = -HUGE_VAL;
    size_t j = 0;
    bool finite = true;
    // In pieces without a test per sample: from a finite estimate, the
    // estimate only grows, so it is not finite from the first sample at which
    // it is not. (A first sample after one that is not finite goes alone.)
    while (j < quiet && finite) {
      const size_t end = std::isfinite(max) ? std::min(quiet, j + 256) : j + 1;
      for (size_t u = j; u < end; ++u) {
        const double x = Min ? -in[i + u] : in[i + u];
        max = x > max ? x : max;
        top = x > top ? x : top;
        out[i + u] = Min ? -max : max;
      }
      if (std::isfinite(max)) {
        j = end;
        continue;
      }
      // It turned +infinity there, and so did `top`, for good.
      size_t f = j;
      while (std::isfinite(out[i + f])) ++f;
      max = Min ? -out[i + f] : out[i + f];
      j = f + 1;
      finite = false;
    }
    params->quiet -= static_cast<int>(j);
    params->pending += static_cast<int>(j);
    params->max = max;
    params->value = Min ? -max : max;
    fex_internal::raise_block_maxima(params->max_updates, params->k, top);
    i += j;
    if (!finite) return i;
  }
  return i;
}

size_t moving_max_run(moving_minmax_params *params, const double *in,
                      double *out, size_t count) {
  return minmax_run<false>(params, in, out, count);
}

size_t moving_min_run(moving_minmax_params *params, const double *in,
                      double *out, size_t count) {
  return minmax_run<true>(params, in, out, count);
}

// ---------------------------------------------------------------------------
// Exponential envelopes

void sliding_min_max_params_init(sliding_min_max_params *params, double alpha) {
  params->alpha = alpha;
  params->delay = sliding_default_delay(alpha);
  params->min = 0.0;
  params->max = 0.0;
  params->firsttime = 1;
}

void sliding_min_max_params_reset(sliding_min_max_params *params) {
  params->firsttime = 1;
}

void sliding_min_max(double value, sliding_min_max_params *params) {
  if (params->firsttime) {
    params->min = params->max = value;
    params->firsttime = 0;
    return;
  }
  const double a = params->alpha, b = 1.0 - params->alpha;
  if (value < params->min) {
    params->min = value;
  } else {
    params->min = a * params->min + b * value;
  }
  if (value > params->max) {
    params->max = value;
  } else {
    params->max = a * params->max + b * value;
  }
}

// ---------------------------------------------------------------------------
// Median trackers

void sliding_median_generic_params_init(sliding_median_params *params,
                                        double alpha, int use_old_definition) {
  params->alpha = alpha;
  params->use_old_definition = use_old_definition;
  params->fac = (1.0 - alpha) / 0.5707963267948966;
  params->delay =
      truncate_delay(std::log(0.5) * 0.6666666666666666 / std::log(alpha));
  PRECONDITION(params->delay >= 0);
  params->value = 0.0;
  params->mean_ = 0.0;
  params->variance_instantaneous_ = 0.0;
  params->energy_ = 0.0;
  params->firsttime = 1;
}

void sliding_median_generic_params_reset(sliding_median_params *params) {
  params->firsttime = 1;
}

void sliding_median_generic(double value, sliding_median_params *params) {
  if (params->firsttime) {
    params->value = value;
    params->mean_ = value;
    params->variance_instantaneous_ = 0.0;
    params->energy_ = value * value;
    params->firsttime = 0;
    return;
  }
  const double a = params->alpha, b = 1.0 - params->alpha;
  params->mean_ = a * params->mean_ + b * value;
  params->energy_ = a * params->energy_ + b * value * value;
  double var = params->energy_ - params->mean_ * params->mean_;
  if (!(var > 0.0)) var = 0.0;
  params->variance_instantaneous_ = var;
  const double step = std::sqrt(var) * params->fac;
  // The direction is unpredictable, so the new value is picked by index
  // rather than by branches.
  const double v = params->value;
  const double candidates[3] = {v - step, v, v + step};
  if (params->use_old_definition) {
    params->value = candidates[value >= v ? 2 : 0];
  } else {
    params->value = candidates[1 + (value > v) - (value < v)];
  }
}

void sliding_median_old_params_init(sliding_median_old_params *params,
                                    double alpha) {
  sliding_median_generic_params_init(params, alpha, 1);
}

void sliding_median_old_params_reset(sliding_median_old_params *params) {
  sliding_median_generic_params_reset(params);
}

void sliding_median_old(double value, sliding_median_old_params *params) {
  sliding_median_generic(value, params);
}

void sliding_median_new_params_init(sliding_median_new_params *params,
                                    double alpha) {
  sliding_median_generic_params_init(params, alpha, 0);
}

void sliding_median_new_params_reset(sliding_median_new_params *params) {
  sliding_median_generic_params_reset(params);
}

void sliding_median_new(double value, sliding_median_new_params *params) {
  sliding_median_generic(value, params);
}

// ---------------------------------------------------------------------------
// Upper power mean

void moving_pseudomax_params_init(moving_pseudomax_params *params, int size,
                                  double exponent) {
  moving_mean_params_init(&params->mean, size);
  moving_mean_params_init(&params->sum, size);
  moving_mean_params_init(&params->count, size);
  params->exponent = exponent;
  params->exponent_reciprocal = 1.0 / exponent;
  params->value = 0.0;
}

void moving_pseudomax_params_reset(moving_pseudomax_params *params) {
  moving_mean_params_reset(&params->mean);
  moving_mean_params_reset(&params->sum);
  moving_mean_params_reset(&params->count);
  params->value = 0.0;
}

void moving_pseudomax_params_free(moving_pseudomax_params *params) {
  moving_mean_params_free(&params->mean);
  moving_mean_params_free(&params->sum);
  moving_mean_params_free(&params->count);
}

void moving_pseudomax(moving_pseudomax_params *params, double value) {
  moving_mean_step(&params->mean, value);
  const double m = params->mean.value;
  if (value > m) {
    moving_mean_step(&params->count, 1.0);
    moving_mean_step(&params->sum, std::pow(value - m, params->exponent));
  } else {
    moving_mean_step(&params->count, 0.0);
    moving_mean_step(&params->sum, 0.0);
  }
  // No sample above the mean in the window: the quotient is 0/0, whatever
  // rounding residue the sum of the excesses kept when they left.
  params->value = params->count.sum == 0.0
                      ? NAN
                      : std::pow(params->sum.sum / params->count.sum,
                                 params->exponent_reciprocal) +
                            m;
}

// ---------------------------------------------------------------------------
// Deviation-stepped pseudo-median

void moving_pseudomedian_params_init(moving_pseudomedian_params *params,
                                     int size, int do_update) {
  moving_stddev_params_init(&params->stddev, size);
  moving_mean_params_init(&params->mu, size);
  params->rate = 2.5464790894703255 / size;
  params->do_update = do_update;
  params->delay = moving_default_delay(size);
  moving_pseudomedian_params_reset(params);
}

void moving_pseudomedian_params_reset(moving_pseudomedian_params *params) {
  moving_stddev_params_reset(&params->stddev);
  moving_mean_params_reset(&params->mu);
  params->num_collected = 0;
  params->num_collected_update = 0;
  params->value = 0.0;
  params->value_update = 0.0;
}

void moving_pseudomedian_params_free(moving_pseudomedian_params *params) {
  moving_stddev_params_free(&params->stddev);
  moving_mean_params_free(&params->mu);
}

static double step_toward(double current, double target, double step) {
  if (target > current) return current + step;
  if (target < current) return current - step;
  return current;
}

void moving_pseudomedian(moving_pseudomedian_params *params, double value) {
  moving_stddev_instantaneous(&params->stddev, value);
  moving_mean_step(&params->mu, value);
  const double step = params->rate * params->stddev.stddev_instantaneous;
  if (params->num_collected == 0) {
    params->num_collected = 1;
    params->value = value;
  } else {
    params->value = step_toward(params->value, value, step);
  }
  if (!params->do_update) return;
  if (params->num_collected_update == 0) {
    params->num_collected_update = 1;
    params->value_update = params->mu.value;
    return;
  }
  params->value_update = step_toward(params->value_update, value, step);
  if (params->num_collected_update == params->stddev.mean.size) {
    params->value = params->value_update;
    params->num_collected_update = 0;
  } else {
    params->num_collected_update++;
  }
}

// ---------------------------------------------------------------------------
// Robust weighted means

void moving_pseudomedian_stddev_params_init(
    moving_pseudomedian_stddev_params *params, int size, double rate) {
  moving_stddev_params_init(&params->stddev, size);
  moving_mean_params_init(&params->mean, size);
  moving_mean_params_init(&params->sum, size);
  params->rate = rate;
  moving_pseudomedian_stddev_params_reset(params);
}

void moving_pseudomedian_stddev_params_reset(
    moving_pseudomedian_stddev_params *params) {
  moving_stddev_params_reset(&params->stddev);
  moving_mean_params_reset(&params->mean);
  moving_mean_params_reset(&params->sum);
  params->num_collected = 0;
  params->value = 0.0;
}

void moving_pseudomedian_stddev_params_free(
    moving_pseudomedian_stddev_params *params) {
  moving_stddev_params_free(&params->stddev);
  moving_mean_params_free(&params->mean);
  moving_mean_params_free(&params->sum);
}

void moving_pseudomedian_gauss_params_init(
    moving_pseudomedian_gauss_params *params, int size, double rate) {
  moving_pseudomedian_stddev_params_init(params, size, rate);
}

void moving_pseudomedian_gauss_params_reset(
    moving_pseudomedian_gauss_params *params) {
  moving_pseudomedian_stddev_params_reset(params);
}

void moving_pseudomedian_gauss_params_free(
    moving_pseudomedian_gauss_params *params) {
  moving_pseudomedian_stddev_params_free(params);
}

// Feeds the weighted sample and sets the weighted window mean, falling back
// to the current sample when no weight lies in the window.
static void weighted_mean_step(moving_pseudomedian_stddev_params *params,
                               double value, double w, const char *who) {
  moving_mean_step(&params->mean, value * w);
  moving_mean_step(&params->sum, w);
  if (params->sum.sum != 0.0) {
    params->value = params->mean.sum / params->sum.sum;
  } else {
    params->value = value;
    std::fprintf(stderr, "%s warning: empty mean!\n", who);
  }
}

void moving_pseudomedian_stddev(moving_pseudomedian_stddev_params *params,
                                double value) {
  moving_stddev_instantaneous(&params->stddev, value);
  const double sd = params->stddev.stddev_instantaneous;
  if (params->num_collected == 0) {
    params->num_collected = 1;
    params->value = value;
    return;
  }
  const double w = params->rate * sd > std::fabs(value - params->value) ? 1.0 : 0.0;
  weighted_mean_step(params, value, w, "moving_pseudomedian_stddev");
}

void moving_pseudomedian_gauss(moving_pseudomedian_gauss_params *params,
                               double value) {
  moving_stddev_instantaneous(&params->stddev, value);
  const double sd = params->stddev.stddev_instantaneous;
  if (params->num_collected == 0) {
    params->num_collected = 1;
    params->value = value;
    return;
  }
  double w;
  if (sd == 0.0) {
    w = 1.0;
  } else {
    const double d = value - params->value;
    const double width = params->rate * sd;
    const double denominator = width * width;
    // exp(-0.5 d^2 / 0) is exp(-inf) = 0 for d != 0 and exp(NaN) (taken as
    // 1) for d == 0; written out to avoid dividing by zero.
    if (denominator == 0.0) {
      w = d == 0.0 ? 1.0 : 0.0;
    } else {
      w = std::exp(-0.5 * d * d / denominator);
    }
    if (std::isnan(w) || std::isinf(w)) w = 1.0;
  }
  if (moving_pseudomedian_gauss_debug) {
    std::fprintf(stderr, "value = %f, mean = %f, variance = %f -> weight = %f\n",
                 value, params->value, sd, w);
  }
  weighted_mean_step(params, value, w, "moving_pseudomedian_gauss");
}

// ---------------------------------------------------------------------------
// Soft exponential mean and derivative

void sliding_soft_old_params_init(sliding_soft_old_params *params,
                                  double alpha) {
  params->delay = truncate_delay(1.0 / (1.0 - alpha));
  PRECONDITION(params->delay >= 0);
  params->alpha_orig = alpha;
  params->a_1 = alpha / (2.0 - alpha);
  const double eps = (1.0 - params->a_1) / 100.0;
  params->a_2 = params->a_1 + eps;
  params->a_3 = params->a_1 + 2.0 * eps;
  params->fac1 = -(1.0 - params->a_1) / eps;
  params->fac2 = (params->a_1 - 1.0) * (params->a_1 - 1.0) / eps /
                 ((1.0 - params->a_1) - eps);
  params->fac = (params->a_1 - 1.0) * (params->a_1 - 1.0) *
                (params->a_1 - 1.0) / (eps * 2.0 * eps);
  params->mu = params->mu_eps = params->mu_2eps = 0.0;
  params->mean = params->derivative = 0.0;
  params->firsttime = 1;
}

void sliding_soft_old_params_reset(sliding_soft_old_params *params) {
  params->firsttime = 1;
}

void sliding_soft_old(double value, sliding_soft_old_params *params) {
  if (params->firsttime) {
    params->mu = params->mu_eps = params->mu_2eps = value;
    params->mean = value * params->fac2 + value * params->fac1;
    params->derivative = params->fac * (value + (value - 2.0 * value));
    params->firsttime = 0;
    return;
  }
  params->mu = params->a_1 * params->mu + (1.0 - params->a_1) * value;
  params->mu_eps = params->a_2 * params->mu_eps + (1.0 - params->a_2) * value;
  params->mu_2eps =
      params->a_3 * params->mu_2eps + (1.0 - params->a_3) * value;
  params->mean = params->mu * params->fac1 + params->mu_eps * params->fac2;
  params->derivative =
      (params->mu_2eps + (params->mu - 2.0 * params->mu_eps)) * params->fac;
}

void sliding_soft_new_params_init(sliding_soft_new_params *params,
                                  double alpha) {
  params->alpha_orig = alpha;
  params->alpha = 2.0 * alpha - 1.0;
  int delay = truncate_delay(1.0 / (1.0 - alpha));
  PRECONDITION(delay >= 0);
  params->delay = delay;
  std::fprintf(stderr, "%s: alpha_orig = %f -> alpha = %f\n",
               "sliding_soft_new_params_init", params->alpha_orig,
               params->alpha);
  params->firstmean = params->lastmean = params->mean = 0.0;
  params->derivative = 0.0;
  params->firsttime = 1;
}

void sliding_soft_new_params_reset(sliding_soft_new_params *params) {
  params->firsttime = 1;
}

void sliding_soft_new(double value, sliding_soft_new_params *params) {
  if (params->firsttime) {
    params->firstmean = params->mean = params->lastmean = value;
    params->derivative = 0.0;
    params->firsttime = 0;
    return;
  }
  const double a = params->alpha, b = 1.0 - params->alpha;
  params->firstmean = a * params->firstmean + b * value;
  params->mean = a * params->mean + b * params->firstmean;
  params->derivative = a * params->derivative + b * (params->mean - params->lastmean);
  params->lastmean = params->mean;
}

void sliding_test_params_init(sliding_test_params *params, double alpha) {
  params->alpha = alpha;
  params->alpha_1 = 2.0 * alpha - 1.0;
  std::fprintf(stderr, "%s: alpha = %f, alpha_1 = %f\n",
               "sliding_test_params_init", params->alpha, params->alpha_1);
  sliding_soft_new_params_init(&params->soft, alpha);
  params->value = 0.0;
  params->firsttime = 1;
}

void sliding_test_params_reset(sliding_test_params *params) {
  params->firsttime = 1;
  params->soft.firsttime = 1;
}

void sliding_test(double value, sliding_test_params *params) {
  const double last = params->soft.mean;
  sliding_soft_new(value, &params->soft);
  if (params->firsttime) {
    params->value = 0.0;
    params->firsttime = 0;
  } else {
    params->value = params->alpha_1 * params->value +
                    (1.0 - params->alpha_1) * (params->soft.mean - last);
  }
}
