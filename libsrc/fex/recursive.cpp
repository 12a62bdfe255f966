// Delay lines, rectangular moving statistics and the exponential mean,
// variance and energy.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common.h"
#include "fex.h"
#include "recursive_internal.h"

using fex_internal::checked_calloc;
using fex_internal::delay_full;
using fex_internal::moving_mean_full;
using fex_internal::delay_step;
using fex_internal::moving_mean_step;
using fex_internal::truncate_delay;

// ---------------------------------------------------------------------------
// Smoothing factors and default delays

double compute_alpha_from_time_constant(double windowsize, double samplerate) {
  return std::exp(-1.0 / (windowsize * samplerate));
}

double compute_alpha_corresponding_rectangle(double windowsize,
                                             double samplerate) {
  double alpha = 1.0 - 6.0 / (windowsize * samplerate * 1.7320508075688772);
  if (alpha < 0.01) {
    std::fprintf(stderr, "%s warning: alpha = %f ->setting to 0.01.\n",
                 "compute_alpha_corresponding_rectangle", alpha);
    alpha = 0.01;
  }
  return alpha;
}

int sliding_default_delay(double alpha) {
  int delay = truncate_delay(1.0 / (1.0 - alpha));
  PRECONDITION(delay >= 0);
  return delay;
}

int moving_default_delay(int size) {
  int delay = (size - 1) / 2;
  PRECONDITION(delay >= 0);
  return delay;
}

// ---------------------------------------------------------------------------
// Delay line of doubles

// Room for delay lines. Short lines come from the heap. Longer ones are
// mapped with their pages populated at once: faulting them in one at a time
// as the line fills costs more than the computing when many long lines run.
// They are huge regions (huge_region_alloc), and lines shorter than a huge
// page share one ("a slab", given back with its last line), so that the
// lines of many dimensions at a wide window fill a few huge pages instead of
// faulting page by page. Lines beyond kPopulatedDelayLine are mapped without
// populating, so that a huge width costs memory only as samples arrive; all
// are refused when the memory left cannot hold them.
constexpr size_t kMappedDelayLine = 16384;                  // doubles (128 KiB)
constexpr size_t kPopulatedDelayLine = size_t{1} << 25;     // doubles (256 MiB)

namespace {

// The slab being filled and the lines alive in each slab, by its address.
// Any thread that makes or frees a delay line; `guard` guards it all.
struct line_slabs {
  std::mutex guard;
  unsigned char *current = nullptr;
  size_t used = 0;  // bytes of `current` handed out
  std::unordered_map<uintptr_t, int> lines;
};

line_slabs &slabs() {
  static line_slabs *s = new line_slabs;  // outlives lines freed at exit
  return *s;
}

// Whether a line of `count` doubles comes from the heap: a short one, and
// in address-sanitizer builds (which check the heap's bounds) any line
// that would share a slab.
bool on_heap(size_t count) {
#ifdef HEAP_FOR_SANITIZER
  return count * sizeof(double) < kHugePage;
#else
  return count < kMappedDelayLine;
#endif
}

double *slab_line(size_t bytes, const char *who) {
  line_slabs &s = slabs();
  std::lock_guard<std::mutex> lock(s.guard);
  bytes = (bytes + 63) / 64 * 64;
  if (s.current == nullptr || kHugePage - s.used < bytes) {
    void *p = huge_region_alloc(kHugePage, true);
    if (p == nullptr) fatal_system_error(who);
    s.current = static_cast<unsigned char *>(p);
    s.used = 0;
  }
  double *line = reinterpret_cast<double *>(s.current + s.used);
  s.used += bytes;
  ++s.lines[reinterpret_cast<uintptr_t>(s.current)];
  return line;
}

void slab_line_free(double *line) {
  line_slabs &s = slabs();
  std::lock_guard<std::mutex> lock(s.guard);
  const uintptr_t slab = reinterpret_cast<uintptr_t>(line) & ~(kHugePage - 1);
  const auto it = s.lines.find(slab);
  PRECONDITION(it != s.lines.end());
  if (--it->second > 0) return;
  s.lines.erase(it);
  huge_region_free(reinterpret_cast<void *>(slab), kHugePage);
  if (slab == reinterpret_cast<uintptr_t>(s.current)) s.current = nullptr;
}

// Zeroed room for a delay line of `count` doubles.
double *delay_buffer_alloc(size_t count, const char *who) {
  if (on_heap(count)) {
    return static_cast<double *>(checked_calloc(count, sizeof(double), who));
  }
  const size_t bytes = count * sizeof(double);
  fex_internal::refuse_beyond_memory(bytes, who);
  if (bytes < kHugePage) return slab_line(bytes, who);
  const bool populate = count <= kPopulatedDelayLine;
  void *p = huge_region_alloc(bytes, populate);
  if (p == nullptr) fatal_system_error(who);
  if (!populate) fex_internal::lazily_mapped_bytes += bytes;
  return static_cast<double *>(p);
}

void delay_buffer_free(double *buf, size_t count) {
  if (buf == nullptr) return;
  const size_t bytes = count * sizeof(double);
  if (on_heap(count)) {
    std::free(buf);
  } else if (bytes < kHugePage) {
    slab_line_free(buf);
  } else {
    huge_region_free(buf, bytes);
    if (count > kPopulatedDelayLine) fex_internal::lazily_mapped_bytes -= bytes;
  }
}

}  // namespace

void delay_params_init(delay_params *params, int size) {
  PRECONDITION(size >= 0);
  params->size = size;
  params->buf = size > 0 ? delay_buffer_alloc(static_cast<size_t>(size),
                                              "delay_params_init")
                         : nullptr;
  delay_params_reset(params);
}

void delay_params_reset(delay_params *params) {
  params->num_collected = 0;
  params->bufpos = 0;
  params->value = 0.0;
}

void delay_params_free(delay_params *params) {
  delay_buffer_free(params->buf, static_cast<size_t>(params->size));
  params->buf = nullptr;
}

double delay_params_get_n_ago(const delay_params *params, int i) {
  PRECONDITION(i >= 0);
  if (params->num_collected == 0) {
    fatal_error("%s error: haven't seen any value yet!\n",
                "delay_params_get_n_ago");
  }
  if (params->size == 0) return params->value;
  if (i >= params->num_collected || i > params->size) {
    fatal_error(
        "%s error: cannot access the %d-last value (num_collected = %d, "
        "size = %d)!\n",
        "delay_params_get_n_ago", i, params->num_collected, params->size);
  }
  if (i == params->size) return params->value;
  const int64_t n = params->size;
  return params->buf[(params->bufpos + n - i - 1) % n];
}

void delay_params_get_history(const delay_params *params, double *values) {
  if (params->num_collected < params->size) {
    fatal_error("%s error: haven't seen enough values yet!\n",
                "delay_params_get_history");
  }
  const int64_t n = params->size;
  for (int64_t j = 0; j < n; ++j) values[j] = params->buf[(params->bufpos + j) % n];
}

// ---------------------------------------------------------------------------
// Delay line of opaque items

void delay_any_params_init(delay_any_params *params, int size, int itemsize) {
  PRECONDITION(size >= 0);
  PRECONDITION(itemsize > 0);
  params->size = size;
  params->itemsize = itemsize;
  params->buf = size >= 1 ? checked_calloc(static_cast<size_t>(size),
                                           static_cast<size_t>(itemsize),
                                           "delay_any_params_init")
                          : nullptr;
  params->value = checked_calloc(1, static_cast<size_t>(itemsize),
                                 "delay_any_params_init");
  delay_any_params_reset(params);
}

void delay_any_params_reset(delay_any_params *params) {
  params->num_collected = 0;
  params->bufpos = 0;
  std::memset(params->value, 0, static_cast<size_t>(params->itemsize));
}

void delay_any_params_free(delay_any_params *params) {
  std::free(params->buf);
  std::free(params->value);
  params->buf = nullptr;
  params->value = nullptr;
}

static unsigned char *delay_any_slot(const delay_any_params *params,
                                     int64_t index) {
  return static_cast<unsigned char *>(params->buf) +
         index * static_cast<int64_t>(params->itemsize);
}

void delay_any(delay_any_params *params, const void *item) {
  const size_t itemsize = static_cast<size_t>(params->itemsize);
  const int n = params->size;
  if (n == 0) {
    std::memcpy(params->value, item, itemsize);
    params->num_collected = 1;
    return;
  }
  if (params->num_collected == 0) {
    std::memcpy(params->value, item, itemsize);
    params->num_collected = 1;
  } else if (params->num_collected <= n) {
    std::memcpy(params->value, delay_any_slot(params, 0), itemsize);
    params->num_collected++;
  } else {
    std::memcpy(params->value, delay_any_slot(params, params->bufpos),
                itemsize);
  }
  std::memcpy(delay_any_slot(params, params->bufpos), item, itemsize);
  if (++params->bufpos == n) params->bufpos = 0;
}

void delay_any_params_get_n_ago(const delay_any_params *params, int i,
                                void *destination) {
  PRECONDITION(i >= 0);
  const size_t itemsize = static_cast<size_t>(params->itemsize);
  if (params->num_collected == 0) {
    fatal_error("%s error: haven't seen any value yet!\n",
                "delay_any_params_get_n_ago");
  }
  if (params->size == 0) {
    std::memcpy(destination, params->value, itemsize);
    return;
  }
  if (i >= params->num_collected || i > params->size) {
    fatal_error(
        "%s error: cannot access the %d-last value (num_collected = %d, "
        "size = %d)!\n",
        "delay_any_params_get_n_ago", i, params->num_collected, params->size);
  }
  if (i == params->size) {
    std::memcpy(destination, params->value, itemsize);
    return;
  }
  const int64_t n = params->size;
  std::memcpy(destination,
              delay_any_slot(params, (params->bufpos + n - i - 1) % n),
              itemsize);
}

int delay_any_params_is_valid(const delay_any_params *params) {
  return static_cast<int64_t>(params->num_collected) >=
         static_cast<int64_t>(params->size) + 1;
}

// ---------------------------------------------------------------------------
// Moving mean

void moving_mean_params_init(moving_mean_params *params, int size) {
  PRECONDITION(size != 0);
  params->size = size;
  delay_params_init(&params->delayed, size);
  params->delay = moving_default_delay(size);
  moving_mean_params_reset(params);
}

void moving_mean_params_reset(moving_mean_params *params) {
  params->num_collected = 0;
  params->sum = 0.0;
  params->new_sum = 0.0;
  params->new_sum_collected = 0;
  params->value = 0.0;
  delay_params_reset(&params->delayed);
}

void moving_mean_params_free(moving_mean_params *params) {
  delay_params_free(&params->delayed);
}

void moving_mean_fast(moving_mean_params *params, double value) {
  fex_internal::moving_mean_fast_step(params, value);
}

void moving_mean(moving_mean_params *params, double value) {
  moving_mean_step(params, value);
}

// ---------------------------------------------------------------------------
// Moving means' full windows in lanes
//
// Once the window is full, the running sum takes two dependent additions and
// a division per sample, and one by one the divisions bound a run. But the
// running sum starts afresh at every resynchronisation, from the fresh sum
// accumulated over the stretch before, so the stretches between
// resynchronisations do not depend on each other's running sums: lanes run
// runs of neighbouring stretches side by side, two to a register, and
// divide two at a time. Every lane takes the same additions in the same
// order as mean_sums::add, so every value is the same to the bit. The
// moving mean runs eight lanes of its sum; the deviation four lanes of the
// sums of the samples and of their squares.

namespace {

template <int Sums>
constexpr int kLanes = Sums == 1 ? 8 : 4;
// Lanes take pieces of whole stretches: up to kLanePiece samples or
// kPieceStretches stretches, whichever is more (but at most kMaxPiece
// samples where the piece needs room of its own), so that a piece stays in
// the cache and one given up (below) costs little, while the fresh sums
// that start the lanes cost little beside it.
constexpr size_t kLanePiece = 8192;
constexpr size_t kPieceStretches = 32;
constexpr size_t kMaxPiece = 65536;

// out[0] = a / size and out[1] = b / size, in one division where SSE2 is.
FEX_ALWAYS_INLINE void divide_two(double a, double b, double size,
                                  double *out) {
#if defined(__SSE2__)
  _mm_storeu_pd(out, _mm_div_pd(_mm_set_pd(b, a), _mm_set1_pd(size)));
#else
  out[0] = a / size;
  out[1] = b / size;
#endif
}

// Sum s of the samples: the samples themselves, or their squares.
template <int S>
FEX_ALWAYS_INLINE double term(double x) {
  if constexpr (S == 0) {
    return x;
  } else {
    return x * x;
  }
}

// Lane q runs `rounds` stretches of `width` samples from in + offset(q)
// (the samples leaving the window `width` before each, in the same array,
// but those of lane 0's first stretch in `before` when it is given) from
// the running sums sum[s][q], writing to out[s] at the samples' places the
// means of a single sum (its divisions hide behind the additions), the
// window sums of two (their divisions come after, in wider vectors); after
// each round its sums are the stretch's fresh sums. Stops before finishing a
// round in which a lane's sum is not finite (that round's values are
// written, its fresh sums not) and returns the rounds finished.
template <int Sums>
size_t lanes_run(const double *in, const double *before, double *const *out,
                 const ptrdiff_t *offset, double (*sum)[8], size_t rounds,
                 size_t width, double size) {
  constexpr int kL = kLanes<Sums>;
#if defined(__SSE2__)
  constexpr int kRegs = kL / 2;
  const __m128d w = _mm_set1_pd(size);
  // One pointer for all lanes: lane q is at offset o[q] from it.
  ptrdiff_t o[kL];
#pragma GCC unroll 8
  for (int q = 0; q < kL; ++q) o[q] = offset[q];
  for (size_t r = 0; r < rounds; ++r) {
    const double *x = in + r * width, *leaving = x - width;
    const double *leaving0 = r == 0 && before != nullptr ? before : leaving;
    double *y0 = out[0] + r * width, *y1 = Sums == 2 ? out[1] + r * width : nullptr;
    __m128d a[Sums][kRegs], f[Sums][kRegs];
#pragma GCC unroll 8
    for (int k = 0; k < Sums * kRegs; ++k) {
      a[k / kRegs][k % kRegs] =
          _mm_set_pd(sum[k / kRegs][2 * (k % kRegs) + 1], sum[k / kRegs][2 * (k % kRegs)]);
      f[k / kRegs][k % kRegs] = _mm_setzero_pd();
    }
    for (size_t j = 0; j < width; ++j, ++x, ++leaving) {
#pragma GCC unroll 4
      for (int k = 0; k < kRegs; ++k) {
        const ptrdiff_t o0 = o[2 * k], o1 = o[2 * k + 1];
        const __m128d v = _mm_loadh_pd(_mm_load_sd(x + o0), x + o1);
        const double *l0 = k == 0 ? leaving0 + j : leaving + o0;  // o[0] is 0
        const __m128d l = _mm_loadh_pd(_mm_load_sd(l0), leaving + o1);
        a[0][k] = _mm_sub_pd(_mm_add_pd(a[0][k], v), l);
        f[0][k] = _mm_add_pd(f[0][k], v);
        const __m128d m = Sums == 1 ? _mm_div_pd(a[0][k], w) : a[0][k];
        _mm_storel_pd(y0 + j + o0, m);
        _mm_storeh_pd(y0 + j + o1, m);
        if constexpr (Sums == 2) {
          const __m128d v2 = _mm_mul_pd(v, v), l2 = _mm_mul_pd(l, l);
          a[1][k] = _mm_sub_pd(_mm_add_pd(a[1][k], v2), l2);
          f[1][k] = _mm_add_pd(f[1][k], v2);
          _mm_storel_pd(y1 + j + o0, a[1][k]);
          _mm_storeh_pd(y1 + j + o1, a[1][k]);
        }
      }
    }
    __m128d probe = _mm_setzero_pd();
#pragma GCC unroll 8
    for (int k = 0; k < Sums * kRegs; ++k) {
      probe = _mm_add_pd(probe, _mm_mul_pd(a[k / kRegs][k % kRegs], _mm_setzero_pd()));
    }
    if (_mm_movemask_pd(_mm_cmpunord_pd(probe, probe)) != 0) return r;
#pragma GCC unroll 8
    for (int k = 0; k < Sums * kRegs; ++k) {
      _mm_storel_pd(sum[k / kRegs] + 2 * (k % kRegs), f[k / kRegs][k % kRegs]);
      _mm_storeh_pd(sum[k / kRegs] + 2 * (k % kRegs) + 1, f[k / kRegs][k % kRegs]);
    }
  }
#else
  for (size_t r = 0; r < rounds; ++r) {
    double f[Sums][kL] = {};
    bool finite = true;
    for (int q = 0; q < kL; ++q) {
      const double *x = in + offset[q] + r * width;
      const double *l =
          q == 0 && r == 0 && before != nullptr ? before : x - width;
      for (int s = 0; s < Sums; ++s) {
        double *y = out[s] + offset[q] + r * width;
        double a = sum[s][q];
        for (size_t j = 0; j < width; ++j) {
          const double v = s == 0 ? term<0>(x[j]) : term<1>(x[j]);
          a += v;
          a -= s == 0 ? term<0>(l[j]) : term<1>(l[j]);
          f[s][q] += v;
          y[j] = Sums == 1 ? a / size : a;
        }
        finite = finite && std::isfinite(a);
      }
    }
    if (!finite) return r;
    for (int s = 0; s < Sums; ++s) std::copy(f[s], f[s] + kL, sum[s]);
  }
#endif
  return rounds;
}

// The whole stretches from in[i] that the lanes of a moving mean take (0
// when they do not apply): the window resynchronises at i (`aligned`, the
// sums finite), its leaving samples are in `in` or (before in[width]) the
// delay line `d` in order, and the stretches hold no NaN or infinity. A
// multiple of the lanes, or fewer stretches when at least half the lanes
// have one.
template <int Sums>
size_t lane_stretches(bool aligned, const delay_params *d, const double *in,
                      size_t i, size_t count, size_t width) {
  constexpr size_t kL = kLanes<Sums>;
  // The line and the resynchronisations step together, so a line that
  // starts at its first slot is the rule.
  if (!aligned || (i < width && d->bufpos != 0)) return 0;
  size_t most = std::max(kPieceStretches, kLanePiece / width);
  if constexpr (Sums == 2) most = std::min(most, kMaxPiece / width);
  size_t stretches = std::min((count - i) / width, most);
  if (stretches < kL / 2) return 0;
  stretches = fex_internal::finite_prefix(in + i, stretches * width) / width;
  return stretches < kL ? (stretches < kL / 2 ? 0 : stretches)
                        : stretches - stretches % kL;
}

// Whether a moving mean's sums start a stretch and are finite.
bool aligned(const fex_internal::mean_sums &sums) {
  return sums.collected == 0 && std::isfinite(sums.sum);
}

// The running sums that start lanes at in[i] + offset[q]: the sums of the
// window, then the fresh sums of the stretch before each lane's first.
template <int Sums>
void lane_starts(const fex_internal::mean_sums *const *sums, const double *in,
                 size_t i, const ptrdiff_t *offset, size_t width,
                 double (*start)[8]) {
  constexpr int kL = kLanes<Sums>;
  for (int s = 0; s < Sums; ++s) {
    start[s][0] = sums[s]->sum;
    std::fill(start[s] + 1, start[s] + kL, 0.0);
  }
  for (size_t j = 0; j < width; ++j) {
#pragma GCC unroll 8
    for (int q = 1; q < kL; ++q) {
      const double x = in[i + offset[q] - width + j];
      start[0][q] += term<0>(x);
      if constexpr (Sums == 2) start[1][q] += term<1>(x);
    }
  }
}

// The delay line `d` after `count` samples from v, whose leaving samples
// are `size` before them: in `before` (the `size` samples before v) where
// it is given, else in the same array (v - size is readable).
void feed_line(delay_params *d, const double *v, size_t count,
               const double *before) {
  const size_t n = static_cast<size_t>(d->size);
  const size_t pos = static_cast<size_t>(d->bufpos);
  const size_t keep = std::min(count, n);
  const size_t at = (pos + (count - keep) % n) % n;
  const size_t a = std::min(keep, n - at);
  const double *src = v + (count - keep);
  std::memcpy(d->buf + at, src, a * sizeof(double));
  std::memcpy(d->buf, src + a, (keep - a) * sizeof(double));
  d->bufpos = static_cast<int>((pos + count % n) % n);
  const ptrdiff_t last = static_cast<ptrdiff_t>(count) - 1;
  d->value = count <= n && before != nullptr
                 ? before[last]
                 : v[last - static_cast<ptrdiff_t>(n)];
}

// Runs the lanes of `stretches` stretches from in[i] for the moving means
// `sums` (writing from at[s] on what lanes_run writes) and feeds the delay
// line `d`. Fewer stretches than lanes take a round, the last of them in
// the lanes left over too (the same sums to the same places). Before
// in[width], the leaving samples of the first stretch come from the line.
// A lane whose sum overflowed gives up the piece: lane 0's finished rounds
// stand, and `alone_until` marks the rest, which then runs one by one.
// Returns the samples taken.
template <int Sums>
size_t run_lanes(fex_internal::mean_sums *const *sums, delay_params *d,
                 const double *in, double *const *at, size_t i,
                 size_t stretches, size_t width, size_t *alone_until) {
  constexpr int kL = kLanes<Sums>;
  const size_t rounds = std::max<size_t>(1, stretches / kL);
  const size_t used = stretches / rounds, span = rounds * width;
  ptrdiff_t offset[kL];
  for (int q = 0; q < kL; ++q) {
    offset[q] = static_cast<ptrdiff_t>(std::min<size_t>(q, used - 1) * span);
  }
  const double *before = i < width ? d->buf : nullptr;  // oldest first
  double start[Sums][8];
  lane_starts<Sums>(sums, in, i, offset, width, start);
  const size_t done = lanes_run<Sums>(in + i, before, at, offset, start,
                                      rounds, width, sums[0]->size);
  const size_t taken = (done == rounds ? stretches : done) * width;
  if (done < rounds) *alone_until = i + stretches * width;
  if (taken == 0) return 0;
  for (int s = 0; s < Sums; ++s) {
    sums[s]->sum = done == rounds ? start[s][kL - 1] : start[s][0];
  }
  feed_line(d, in + i, taken, before);
  return taken;
}

// fex_internal::mean_groups on a moving mean's sums.
size_t mean_groups(fex_internal::mean_sums &sums, const double *x,
                   double *line, double *y, size_t n, double &leaving) {
  double st[2] = {sums.sum, sums.new_sum};
  const size_t taken =
      fex_internal::mean_groups(st, x, line, y, n, sums.size, leaving);
  sums.sum = st[0];
  sums.new_sum = st[1];
  return taken;
}

}  // namespace

// moving_mean_step while the window fills, its sums in locals: each mean
// waits for one addition, and the divisions by the growing count overlap;
// the samples go to the delay line at once after.
// Stops after a NaN or infinite value or once the window is full; returns
// the samples taken.
static size_t mean_filling(moving_mean_params *p, const double *in, double *out,
                           size_t count) {
  double sum = p->sum, new_sum = p->new_sum;
  int collected = p->num_collected, fresh = p->new_sum_collected;
  size_t i = 0;
  while (i < count && collected < p->size) {
    const double x = in[i];
    sum += x;
    const double y = sum / ++collected;
    new_sum += x;
    if (++fresh == p->size) {
      sum = new_sum;
      new_sum = 0.0;
      fresh = 0;
    }
    out[i++] = y;
    if (!std::isfinite(y)) break;
  }
  fex_internal::delay_filling(&p->delayed, in, i);
  p->sum = sum;
  p->new_sum = new_sum;
  p->num_collected = collected;
  p->new_sum_collected = fresh;
  if (i > 0) p->value = out[i - 1];
  return i;
}

size_t moving_mean_run(moving_mean_params *params, const double *in,
                       double *out, size_t count) {
  delay_params *d = &params->delayed;
  size_t i = mean_filling(params, in, out, count);
  if (i > 0 && !std::isfinite(out[i - 1])) return i;
  while (i < count && !(moving_mean_full(params) && delay_full(d))) {
    moving_mean_step(params, in[i]);
    out[i] = params->value;
    if (!std::isfinite(out[i++])) return i;
  }
  if (i == count) return i;
  fex_internal::mean_sums sums(params);
  fex_internal::mean_sums *const all[] = {&sums};
  double value = params->value;
  const size_t width = static_cast<size_t>(d->size);
  size_t alone_until = 0;  // samples before it run one by one
  bool go = true;          // false after a NaN or infinite value
  while (i < count && go) {
    const size_t stretches =
        i < alone_until
            ? 0
            : lane_stretches<1>(aligned(sums), d, in, i, count, width);
    if (stretches == 0) {  // in groups, then one by one, to the next resynchronisation
      const size_t end = std::max(i + sums.until_resync(), alone_until);
      i = fex_internal::windowed_run(
          d, in, out, i, std::min(count, end),
          [&] { return sums.until_resync(); },
          [&](const double *x, double *line, double *y, size_t n,
              double &leaving) {
            return mean_groups(sums, x, line, y, n, leaving);
          },
          [&](double x, double leaving) { return sums.add(x, leaving); },
          [&](size_t taken) { sums.resynchronise(taken); });
      value = out[i - 1];
      go = std::isfinite(value);
      continue;
    }
    double *const at[] = {out + i};
    const size_t taken =
        run_lanes<1>(all, d, in, at, i, stretches, width, &alone_until);
    if (taken == 0) continue;
    i += taken;
    value = out[i - 1];
  }
  sums.store(params, value);
  return i;
}

// ---------------------------------------------------------------------------
// Moving means of several columns side by side
//
// A column's running sum takes two dependent additions a sample; four
// columns that step together (full windows of one size, lines at the same
// place) give the processor four such chains to overlap (more would not
// keep their sums and pointers in registers). Their sums come first, the
// divisions after in a pass of their own. Where a call holds enough
// windows for lanes (moving_mean_run), those are faster, and so is one
// column after another where the groups guess their sums: float samples
// took a tenth less time over 32 columns, double samples whose sums round
// a twentieth more.

namespace {

constexpr int kSide = 4;

// Whether the moving means p[0, k) step together from here (a line's
// position and its resynchronisation's count move as one).
bool in_step(moving_mean_params *const *p, int k) {
  for (int c = 0; c < k; ++c) {
    if (!moving_mean_full(p[c]) || !delay_full(&p[c]->delayed) ||
        p[c]->size != p[0]->size ||
        p[c]->delayed.bufpos != p[0]->delayed.bufpos) {
      return false;
    }
  }
  return true;
}

// The `count` samples of K columns that step together, their lines (of n
// samples) at `pos` and their resynchronisation `collected` samples in:
// step(t, at) takes sample t at the lines' place `at`, in pieces that end at
// the lines' wrap or at the resynchronisation, where resynchronise() is
// called. leaving[c] gets the last sample taken out of line c.
template <int K, class Step, class Resynchronise>
FEX_ALWAYS_INLINE void side_by_side(double *const *line, size_t n, size_t &pos,
                                    size_t &collected, size_t count,
                                    double *leaving, Step step,
                                    Resynchronise resynchronise) {
  for (size_t t = 0; t < count;) {
    const size_t piece = std::min({count - t, n - pos, n - collected});
    for (int c = 0; c < K; ++c) leaving[c] = line[c][pos + piece - 1];
    for (size_t u = 0; u < piece; ++u) {
      if (u % 8 == 0) {
#pragma GCC unroll 8
        for (int c = 0; c < K; ++c) fex_internal::prefetch_line(line[c] + pos + u);
      }
      step(t + u, pos + u);
    }
    t += piece;
    pos = pos + piece == n ? 0 : pos + piece;
    collected += piece;
    if (collected == n) {
      resynchronise();
      collected = 0;
    }
  }
}

void columns_side_by_side(moving_mean_params *const *p, const double *in,
                          size_t stride, double *out, size_t count) {
  const size_t n = static_cast<size_t>(p[0]->size);
  const double size = p[0]->size;
  size_t pos = static_cast<size_t>(p[0]->delayed.bufpos);
  size_t collected = static_cast<size_t>(p[0]->new_sum_collected);
  double s[kSide], f[kSide], leaving[kSide];
  double *line[kSide];
  const double *x[kSide];
  double *y[kSide];
  for (int c = 0; c < kSide; ++c) {
    s[c] = p[c]->sum;
    f[c] = p[c]->new_sum;
    leaving[c] = p[c]->delayed.value;
    line[c] = p[c]->delayed.buf;
    x[c] = in + static_cast<size_t>(c) * stride;
    y[c] = out + static_cast<size_t>(c) * stride;
  }
  side_by_side<kSide>(
      line, n, pos, collected, count, leaving,
      [&](size_t t, size_t at) {
#pragma GCC unroll 8
        for (int c = 0; c < kSide; ++c) {
          const double v = x[c][t], l = line[c][at];
          line[c][at] = v;
          s[c] += v;
          s[c] -= l;
          f[c] += v;
          y[c][t] = s[c];
        }
      },
      [&] {
        for (int c = 0; c < kSide; ++c) {
          s[c] = f[c];
          f[c] = 0.0;
        }
      });
  for (int c = 0; c < kSide; ++c) {
    size_t t = 0;
    for (; t + 2 <= count; t += 2) divide_two(y[c][t], y[c][t + 1], size, y[c] + t);
    if (t < count) y[c][t] /= size;
    p[c]->sum = s[c];
    p[c]->new_sum = f[c];
    p[c]->new_sum_collected = static_cast<int>(collected);
    p[c]->delayed.bufpos = static_cast<int>(pos);
    p[c]->delayed.value = leaving[c];
    if (count > 0) p[c]->value = y[c][count - 1];
  }
}

}  // namespace

void moving_mean_columns(moving_mean_params *const *params, int ncols,
                         const double *in, size_t stride, double *out,
                         size_t count) {
  int c = 0;
  const bool side = ncols > 0 && !fex_internal::mean_groups_guess() &&
                    count < static_cast<size_t>(kLanes<1> / 2) *
                                static_cast<size_t>(params[0]->size);
  for (; side && c + kSide <= ncols && in_step(params + c, kSide); c += kSide) {
    const size_t offset = static_cast<size_t>(c) * stride;
    columns_side_by_side(params + c, in + offset, stride, out + offset, count);
  }
  for (; c < ncols; ++c) {
    const size_t offset = static_cast<size_t>(c) * stride;
    for (size_t t = 0; t < count;) {
      t += moving_mean_run(params[c], in + offset + t, out + offset + t, count - t);
    }
  }
}

void moving_mean_debug_inputwindow(const moving_mean_params *params,
                                   double *values) {
  delay_params_get_history(&params->delayed, values);
}

// ---------------------------------------------------------------------------
// Moving mean of int32 values. The sums wrap around modulo 2^32 instead of
// overflowing; the window sum is exact whenever it fits into 32 bits.

static int32_t wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) +
                              static_cast<uint32_t>(b));
}

static int32_t wrap_sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) -
                              static_cast<uint32_t>(b));
}

// Quotient truncated toward zero; INT32_MIN / -1 cannot occur (divisors are
// positive counts).
static int32_t int32_mean(int32_t sum, int count) {
  return count > 0 ? static_cast<int32_t>(sum / count) : 0;
}

void moving_mean_int32_params_init(moving_mean_int32_params *params,
                                   int size) {
  PRECONDITION(size != 0);
  params->size = size;
  delay_any_params_init(&params->delayed, size, 4);
  params->delay = moving_default_delay(size);
  moving_mean_int32_params_reset(params);
}

void moving_mean_int32_params_reset(moving_mean_int32_params *params) {
  params->num_collected = 0;
  params->sum = 0;
  params->new_sum = 0;
  params->new_sum_collected = 0;
  params->value = 0;
  delay_any_params_reset(&params->delayed);
}

void moving_mean_int32_params_free(moving_mean_int32_params *params) {
  delay_any_params_free(&params->delayed);
}

void moving_mean_int32_fast(moving_mean_int32_params *params, int32_t value) {
  params->sum = wrap_add(params->sum, value);
  delay_any(&params->delayed, &value);
  if (params->num_collected < params->size) {
    params->num_collected++;
    params->value = int32_mean(params->sum, params->num_collected);
  } else {
    int32_t leaving;
    std::memcpy(&leaving, params->delayed.value, sizeof leaving);
    params->sum = wrap_sub(params->sum, leaving);
    params->value = int32_mean(params->sum, params->size);
  }
}

void moving_mean_int32(moving_mean_int32_params *params, int32_t value) {
  moving_mean_int32_fast(params, value);
  params->new_sum = wrap_add(params->new_sum, value);
  if (++params->new_sum_collected == params->size) {
    params->sum = params->new_sum;
    params->new_sum = 0;
    params->new_sum_collected = 0;
  }
}

// ---------------------------------------------------------------------------
// Moving product

void moving_product_params_init(moving_product_params *params, int size) {
  PRECONDITION(size != 0);
  params->size = size;
  delay_params_init(&params->delayed, size);
  params->delay = moving_default_delay(size);
  moving_product_params_reset(params);
}

void moving_product_params_reset(moving_product_params *params) {
  params->num_collected = 0;
  params->product = 1.0;
  params->new_product = 1.0;
  params->new_product_collected = 0;
  params->value = 0.0;
  delay_params_reset(&params->delayed);
}

void moving_product_params_free(moving_product_params *params) {
  delay_params_free(&params->delayed);
}

void moving_product(moving_product_params *params, double value) {
  if (value == 0.0) {
    params->num_collected = 0;
    params->product = 1.0;
    params->value = 0.0;
    params->new_product = 1.0;
    params->new_product_collected = 0;
    delay_step(&params->delayed, 0.0);
    return;
  }
  params->product *= value;
  delay_step(&params->delayed, value);
  // Only "below, at or above size" matters, so the count stops at size + 1
  // instead of overflowing on long zero-free streams.
  if (params->num_collected <= params->size) params->num_collected++;
  if (params->num_collected < params->size) {
    params->value = 0.0;
  } else if (params->num_collected == params->size) {
    params->value = params->product;
  } else {
    PRECONDITION(params->delayed.value != 0.0);
    params->product /= params->delayed.value;
    params->value = params->product;
  }
  params->new_product *= value;
  if (++params->new_product_collected == params->size) {
    params->product = params->new_product;
    params->new_product = 1.0;
    params->new_product_collected = 0;
  }
}

// ---------------------------------------------------------------------------
// Triangular and bell-shaped means

void moving_mean_triangle_params_init(moving_mean_triangle_params *params,
                                      int size) {
  // In 64 bits: the halves of the largest widths do not fit size + 2.
  const int64_t wide = size;
  moving_mean_params_init(&params->first, static_cast<int>((wide + 1) / 2));
  moving_mean_params_init(&params->second, static_cast<int>((wide + 2) / 2));
  params->delay = moving_default_delay(size);
  params->value = 0.0;
}

void moving_mean_triangle_params_reset(moving_mean_triangle_params *params) {
  moving_mean_params_reset(&params->first);
  moving_mean_params_reset(&params->second);
  params->value = 0.0;
}

void moving_mean_triangle_params_free(moving_mean_triangle_params *params) {
  moving_mean_params_free(&params->first);
  moving_mean_params_free(&params->second);
}

void moving_mean_triangle(moving_mean_triangle_params *params, double value) {
  moving_mean_step(&params->first, value);
  moving_mean_step(&params->second, params->first.value);
  params->value = params->second.value;
}

void moving_mean_bell_params_init(moving_mean_bell_params *params, int size,
                                  int use_old_approximative_sizes) {
  // In 64 bits: the thirds of the largest widths add up to more than INT_MAX.
  const int64_t wide = size;
  int64_t s1, s3;
  if (use_old_approximative_sizes) {
    s1 = (wide + 2) / 3;
    s3 = wide - 2 * s1 + 2;
  } else {
    s1 = wide / 3 + 1;
    s3 = wide - 2 * (wide / 3);
  }
  const int64_t s2 = s1;
  PRECONDITION(s1 + s2 + s3 == wide + 2);
  std::fprintf(stderr, "%s %s: %d -> %d, %d, %d\n",
               "moving_mean_bell_params_init",
               use_old_approximative_sizes ? "old" : "new", size,
               static_cast<int>(s1), static_cast<int>(s2), static_cast<int>(s3));
  moving_mean_params_init(&params->first, static_cast<int>(s1));
  moving_mean_params_init(&params->second, static_cast<int>(s2));
  moving_mean_params_init(&params->third, static_cast<int>(s3));
  params->delay = moving_default_delay(size);
  params->value = 0.0;
}

void moving_mean_bell_params_reset(moving_mean_bell_params *params) {
  moving_mean_params_reset(&params->first);
  moving_mean_params_reset(&params->second);
  moving_mean_params_reset(&params->third);
  params->value = 0.0;
}

void moving_mean_bell_params_free(moving_mean_bell_params *params) {
  moving_mean_params_free(&params->first);
  moving_mean_params_free(&params->second);
  moving_mean_params_free(&params->third);
}

void moving_mean_bell(moving_mean_bell_params *params, double value) {
  moving_mean_step(&params->first, value);
  moving_mean_step(&params->second, params->first.value);
  moving_mean_step(&params->third, params->second.value);
  params->value = params->third.value;
}

// ---------------------------------------------------------------------------
// Moving standard deviation

void moving_stddev_params_init(moving_stddev_params *params, int size) {
  moving_mean_params_init(&params->mean, size);
  // The squares leaving the window are the squares of the samples leaving
  // the mean's window: one delay line serves both.
  fex_internal::moving_mean_shared_init(&params->square, size);
  moving_mean_params_init(&params->mean_var, size);
  params->delay = moving_default_delay(size);
  params->variance_instantaneous_warned = 0;
  moving_stddev_params_reset(params);
}

void moving_stddev_params_reset(moving_stddev_params *params) {
  moving_mean_params_reset(&params->mean);
  moving_mean_params_reset(&params->square);
  moving_mean_params_reset(&params->mean_var);
  params->variance_lagged = 0.0;
  params->stddev_lagged = 0.0;
  params->variance_instantaneous = 0.0;
  params->stddev_instantaneous = 0.0;
}

void moving_stddev_params_free(moving_stddev_params *params) {
  moving_mean_params_free(&params->mean);
  moving_mean_params_free(&params->square);
  moving_mean_params_free(&params->mean_var);
}

// The instantaneous variance from the mean square and the mean: a negative
// one (rounding) is taken as zero, with a warning the first time.
static FEX_ALWAYS_INLINE double instantaneous_variance(
    moving_stddev_params *params, double square, double mean) {
  const double var = square - mean * mean;
  if (!(var < 0.0)) return var;
  if (!params->variance_instantaneous_warned) {
    std::fprintf(stderr,
                 "%s warning: cannot compute sqrt(variance_instantaneous = "
                 "%g) -> taking zero (this warning will not be repeated).\n",
                 "moving_stddev", var);
    params->variance_instantaneous_warned = 1;
  }
  return 0.0;
}

// The mean, the mean square and the instantaneous variance and deviation.
static FEX_ALWAYS_INLINE void stddev_instantaneous_step(
    moving_stddev_params *params, double value) {
  moving_mean_step(&params->mean, value);
  const double leaving = params->mean.delayed.value;
  fex_internal::moving_mean_shared_step(&params->square, value * value,
                                        leaving * leaving);
  const double var = instantaneous_variance(params, params->square.value,
                                            params->mean.value);
  params->variance_instantaneous = var;
  params->stddev_instantaneous = std::sqrt(var);
}

// Deviations out[t] from the window sums s[t] of the samples and sq[t] of
// their squares, in order (`out` may be `s`); stops after the first that is
// not finite and returns the number written. Groups with a negative
// variance (its warning) or a value not finite go one by one.
static size_t deviations(moving_stddev_params *params, const double *s,
                         const double *sq, double *out, size_t count,
                         double size) {
  size_t t = 0;
  while (true) {
    t += fex_internal::clean_deviations(s + t, sq + t, out + t, count - t, size);
    const size_t end = std::min(count, t + 8);
    if (t == end) return count;
    for (; t < end; ++t) {
      out[t] = std::sqrt(instantaneous_variance(params, sq[t] / size, s[t] / size));
      if (!std::isfinite(out[t])) return t + 1;
    }
  }
}

// stddev_instantaneous_step while the windows fill, as mean_filling does
// for the mean (the variance's warning as there). Takes nothing unless the
// mean and the mean square have seen the same samples. The sums of a piece
// come first, one sample after another; then its two divisions by the
// growing count and square root a sample, two samples at a time where SSE2
// is (the divider, not the additions, sets the pace), and one by one from
// a variance that is negative (its warning) or a value that is not finite.
// A value is not finite only where a sum is not, so a piece ends there.
static size_t stddev_filling(moving_stddev_params *params, const double *in,
                             double *out, size_t count) {
  moving_mean_params *m = &params->mean, *q = &params->square;
  if (m->num_collected != q->num_collected || m->size != q->size ||
      m->new_sum_collected != q->new_sum_collected) {
    return 0;
  }
  double s = m->sum, fresh_s = m->new_sum, sq = q->sum, fresh_sq = q->new_sum;
  int collected = m->num_collected, fresh = m->new_sum_collected;
  constexpr size_t kPiece = 256;
  double s_of[kPiece], sq_of[kPiece], count_of[kPiece];
  size_t i = 0;
  bool finite = true;
  while (i < count && collected < m->size && finite) {
    size_t n = 0;
    while (n < kPiece && i + n < count && collected < m->size && finite) {
      const double x = in[i + n], x2 = x * x;
      s += x;
      sq += x2;
      s_of[n] = s;
      sq_of[n] = sq;
      count_of[n++] = ++collected;
      fresh_s += x;
      fresh_sq += x2;
      if (++fresh == m->size) {
        s = fresh_s;
        sq = fresh_sq;
        fresh_s = fresh_sq = 0.0;
        fresh = 0;
      }
      finite = std::isfinite(s_of[n - 1] * 0.0 + sq_of[n - 1] * 0.0);
    }
    double *y = out + i;
    size_t t = 0;
#if defined(__SSE2__)
    for (; t + 2 <= n; t += 2) {
      const __m128d c = _mm_loadu_pd(count_of + t);
      const __m128d mean = _mm_div_pd(_mm_loadu_pd(s_of + t), c);
      const __m128d var = _mm_sub_pd(_mm_div_pd(_mm_loadu_pd(sq_of + t), c),
                                     _mm_mul_pd(mean, mean));
      const __m128d sd = _mm_sqrt_pd(var);
      const __m128d nan = _mm_sub_pd(sd, sd);  // NaN where not finite
      if (_mm_movemask_pd(_mm_or_pd(_mm_cmplt_pd(var, _mm_setzero_pd()),
                                    _mm_cmpunord_pd(nan, nan))) != 0) {
        break;
      }
      _mm_storeu_pd(y + t, sd);
    }
#endif
    for (; t < n; ++t) {
      y[t] = std::sqrt(instantaneous_variance(params, sq_of[t] / count_of[t],
                                              s_of[t] / count_of[t]));
    }
    m->value = s_of[n - 1] / count_of[n - 1];
    q->value = sq_of[n - 1] / count_of[n - 1];
    const double var = q->value - m->value * m->value;
    params->variance_instantaneous = var < 0.0 ? 0.0 : var;  // warned above
    params->stddev_instantaneous = y[n - 1];
    i += n;
  }
  fex_internal::delay_filling(&m->delayed, in, i);
  m->sum = s;
  m->new_sum = fresh_s;
  q->sum = sq;
  q->new_sum = fresh_sq;
  m->num_collected = q->num_collected = collected;
  m->new_sum_collected = q->new_sum_collected = fresh;
  return i;
}

size_t moving_stddev_instantaneous_run(moving_stddev_params *params,
                                      const double *in, double *out,
                                      size_t count) {
  moving_mean_params *mean = &params->mean, *square = &params->square;
  delay_params *d = &mean->delayed;
  size_t i = stddev_filling(params, in, out, count);
  if (i > 0 && !std::isfinite(out[i - 1])) return i;
  while (i < count && !(moving_mean_full(mean) && delay_full(d) &&
                        moving_mean_full(square))) {
    stddev_instantaneous_step(params, in[i]);
    out[i] = params->stddev_instantaneous;
    if (!std::isfinite(out[i++])) return i;
  }
  if (i == count) return i;
  fex_internal::mean_sums sums(mean), squares(square);
  fex_internal::mean_sums *const both[] = {&sums, &squares};
  const size_t width = static_cast<size_t>(d->size);
  double m_last = mean->value, q_last = square->value;
  size_t alone_until = 0;  // samples before it run one by one
  // One by one, the sums run in blocks, stopping after a sum that is not
  // finite; the deviations of the block follow. A deviation is not finite
  // only where a sum is not, so both stop at the same sample. In lanes, the
  // sums of the samples go to `out` and those of the squares to
  // `squares_of`, and the deviations follow.
  constexpr size_t kBlock = 512;
  double s_of[kBlock], sq_of[kBlock];  // the block's window sums
  const double size = sums.size;
  static thread_local std::vector<double> squares_of;
  while (i < count) {
    const size_t stretches =
        i < alone_until ? 0
                        : lane_stretches<2>(aligned(sums) && aligned(squares),
                                            d, in, i, count, width);
    if (stretches > 0) {
      if (squares_of.size() < stretches * width) squares_of.resize(stretches * width);
      double *const at[] = {out + i, squares_of.data()};
      const size_t taken =
          run_lanes<2>(both, d, in, at, i, stretches, width, &alone_until);
      if (taken == 0) continue;
      m_last = out[i + taken - 1] / size;
      q_last = squares_of[taken - 1] / size;
      deviations(params, out + i, squares_of.data(), out + i, taken, size);
      i += taken;
      continue;
    }
    const size_t start = i;
    const size_t resync = std::min(sums.until_resync(), squares.until_resync());
    size_t t = 0, done = 0;  // the block's sums, and deviations from its start
    i = fex_internal::windowed_run(
        d, in, out, i,
        std::min({count, i + kBlock, std::max(i + resync, alone_until)}),
        [&] { return std::min(sums.until_resync(), squares.until_resync()); },
        [&](const double *x, double *line, double *y, size_t n,
            double &leaving) {
          double st[4] = {sums.sum, squares.sum, sums.new_sum, squares.new_sum};
          size_t clean = 0;
          const size_t taken = fex_internal::deviation_groups(
              st, x, line, s_of + t, sq_of + t, y, n, size, leaving,
              done == t ? &clean : nullptr);
          sums.sum = st[0];
          squares.sum = st[1];
          sums.new_sum = st[2];
          squares.new_sum = st[3];
          if (done == t) done += clean;
          t += taken;
          return taken;
        },
        [&](double x, double leaving) {
          const double s = sums.add_sum(x, leaving);
          const double sq = squares.add_sum(x * x, leaving * leaving);
          s_of[t] = s;
          sq_of[t++] = sq;
          return s * 0.0 + sq * 0.0;  // NaN when either is not finite
        },
        [&](size_t n) {
          sums.resynchronise(n);
          squares.resynchronise(n);
        });
    deviations(params, s_of + done, sq_of + done, out + start + done, t - done,
               size);
    m_last = s_of[t - 1] / size;
    q_last = sq_of[t - 1] / size;
    if (!std::isfinite(out[i - 1])) break;
  }
  sums.store(mean, m_last);
  squares.store(square, q_last);
  const double var = q_last - m_last * m_last;
  params->variance_instantaneous = var < 0.0 ? 0.0 : var;  // warned above
  params->stddev_instantaneous = out[i - 1];
  return i;
}

// The window sums of records of moving_stddev whose windows are full, of
// one size and in step (their delay lines at the same place, their sums
// resynchronising together), in arrays a slot per record: the delay lines,
// running and fresh sums and resynchronisations step as moving_mean_step
// does, with no divisions, and a row's sums go to s and sq.
class stddev_row_sums {
 public:
  // Whether the records step together (and so can go in arrays).
  static bool in_step(moving_stddev_params *const *records, size_t n) {
    const moving_mean_params *first = &records[0]->mean;
    for (size_t j = 0; j < n; ++j) {
      const moving_mean_params *m = &records[j]->mean, *q = &records[j]->square;
      if (m->size != first->size || m->delayed.bufpos != first->delayed.bufpos ||
          m->new_sum_collected != first->new_sum_collected ||
          q->new_sum_collected != first->new_sum_collected) {
        return false;
      }
    }
    return true;
  }
  stddev_row_sums(moving_stddev_params *const *records, size_t n) : n_(n) {
    static thread_local std::vector<double> room;
    static thread_local std::vector<double *> lines;
    room.resize(7 * n);
    lines.resize(n);
    run_ = room.data();
    fresh_ = run_ + n;
    run2_ = fresh_ + n;
    fresh2_ = run2_ + n;
    leaving_ = fresh2_ + n;
    s = leaving_ + n;
    sq = s + n;
    line_ = lines.data();
    const moving_mean_params *first = &records[0]->mean;
    size_ = first->size;
    pos_ = first->delayed.bufpos;
    collected_ = first->new_sum_collected;
    for (size_t j = 0; j < n; ++j) {
      const moving_mean_params *m = &records[j]->mean, *q = &records[j]->square;
      run_[j] = m->sum;
      fresh_[j] = m->new_sum;
      run2_[j] = q->sum;
      fresh2_[j] = q->new_sum;
      line_[j] = m->delayed.buf;
    }
  }
  // The sums after the row x.
  void step(const double *x) {
    for (size_t j = 0; j < n_; ++j) {
      leaving_[j] = line_[j][pos_];
      line_[j][pos_] = x[j];
    }
    if (++pos_ == size_) pos_ = 0;
    size_t j = 0;
#if defined(__SSE2__)
    for (; j + 2 <= n_; j += 2) {
      const __m128d v = _mm_loadu_pd(x + j), l = _mm_loadu_pd(leaving_ + j);
      const __m128d v2 = _mm_mul_pd(v, v), l2 = _mm_mul_pd(l, l);
      const __m128d a = _mm_sub_pd(_mm_add_pd(_mm_loadu_pd(run_ + j), v), l);
      const __m128d a2 = _mm_sub_pd(_mm_add_pd(_mm_loadu_pd(run2_ + j), v2), l2);
      _mm_storeu_pd(s + j, a);
      _mm_storeu_pd(run_ + j, a);
      _mm_storeu_pd(sq + j, a2);
      _mm_storeu_pd(run2_ + j, a2);
      _mm_storeu_pd(fresh_ + j, _mm_add_pd(_mm_loadu_pd(fresh_ + j), v));
      _mm_storeu_pd(fresh2_ + j, _mm_add_pd(_mm_loadu_pd(fresh2_ + j), v2));
    }
#endif
    for (; j < n_; ++j) {
      const double v = x[j], l = leaving_[j], v2 = v * v, l2 = l * l;
      run_[j] = s[j] = run_[j] + v - l;
      run2_[j] = sq[j] = run2_[j] + v2 - l2;
      fresh_[j] += v;
      fresh2_[j] += v2;
    }
    if (++collected_ == size_) {  // the fresh sums hold the window
      collected_ = 0;
      std::copy(fresh_, fresh_ + n_, run_);
      std::copy(fresh2_, fresh2_ + n_, run2_);
      std::fill(fresh_, fresh_ + n_, 0.0);
      std::fill(fresh2_, fresh2_ + n_, 0.0);
    }
  }
  // Gives the records their state after the last row, whose deviations
  // are y (their variances were warned about where negative).
  void store(moving_stddev_params *const *records, const double *y) const {
    for (size_t j = 0; j < n_; ++j) {
      moving_stddev_params *p = records[j];
      moving_mean_params *m = &p->mean, *q = &p->square;
      m->sum = run_[j];
      m->new_sum = fresh_[j];
      q->sum = run2_[j];
      q->new_sum = fresh2_[j];
      m->new_sum_collected = q->new_sum_collected = collected_;
      m->delayed.bufpos = pos_;
      m->delayed.value = leaving_[j];
      m->value = s[j] / size_;
      q->value = sq[j] / size_;
      const double var = q->value - m->value * m->value;
      p->variance_instantaneous = var < 0.0 ? 0.0 : var;
      p->stddev_instantaneous = y[j];
    }
  }
  double *s, *sq;  // the last row's window sums

 private:
  size_t n_;
  int size_, pos_, collected_;
  double *run_, *fresh_, *run2_, *fresh2_, *leaving_;
  double **line_;
};

// Whether the records' windows are all full and they step together.
static bool stddev_settled(moving_stddev_params *const *records, size_t n) {
  for (size_t j = 0; j < n; ++j) {
    const moving_stddev_params *p = records[j];
    if (!(moving_mean_full(&p->mean) && delay_full(&p->mean.delayed) &&
          moving_mean_full(&p->square))) {
      return false;
    }
  }
  return stddev_row_sums::in_step(records, n);
}

size_t moving_stddev_instantaneous_rows(moving_stddev_params *const *records,
                                        int dim, const double *in,
                                        double *out, size_t count) {
  const size_t n = static_cast<size_t>(dim);
  // Rows one call per sample until every window is full, and for good when
  // the records do not step together.
  size_t r = 0;
  for (; r < count && !stddev_settled(records, n); ++r) {
    bool finite = true;
    for (size_t j = 0; j < n; ++j) {
      stddev_instantaneous_step(records[j], in[r * n + j]);
      out[r * n + j] = records[j]->stddev_instantaneous;
      finite = finite && std::isfinite(out[r * n + j]);
    }
    if (!finite) return r + 1;
  }
  // Then the sums of a row first, the steps of the means without their
  // divisions held in arrays a slot per dimension (the records take them
  // back at the end), and the row's deviations together in wide vectors.
  if (r == count) return count;
  stddev_row_sums sums(records, n);
  const double size = records[0]->mean.size;
  for (; r < count; ++r) {
    double *y = out + r * n;
    sums.step(in + r * n);
    size_t j = fex_internal::clean_deviations(sums.s, sums.sq, y, n, size);
    bool finite = true;
    for (; j < n; ++j) {
      const double var = instantaneous_variance(records[j], sums.sq[j] / size, sums.s[j] / size);
      y[j] = std::sqrt(var);
      finite = finite && std::isfinite(y[j]);
    }
    if (!finite) {
      sums.store(records, out + r * n);
      return r + 1;
    }
  }
  sums.store(records, out + (count - 1) * n);
  return count;
}

// ---------------------------------------------------------------------------
// Deviations of several columns side by side
//
// Over windows longer than a call (glide_stats' long windows, dimension by
// dimension), a column's sums wait on two additions a sample each. Four
// columns that step together (full windows of one size, lines at the same
// place, sums resynchronising together) take their sums side by side, two
// columns to a pair of lanes, so that four such chains overlap; each
// column's deviations follow in a pass of their own. Where a column's
// groups run in lanes of one stretch (AVX-512), one column after another
// is faster (over 32 columns at width 100,000, 0.118 against 0.124 s).

namespace {

constexpr int kDeviationSide = 4;
typedef double lane_pair __attribute__((vector_size(16)));

void stddev_columns_side_by_side(moving_stddev_params *const *p,
                                 const double *in, size_t stride,
                                 double *out, size_t count) {
  constexpr int K = kDeviationSide;
  const size_t n = static_cast<size_t>(p[0]->mean.size);
  const double size = p[0]->mean.size;
  size_t pos = static_cast<size_t>(p[0]->mean.delayed.bufpos);
  size_t collected = static_cast<size_t>(p[0]->mean.new_sum_collected);
  static thread_local std::vector<double> room;  // the sums of the squares
  room.resize(K * count);
  lane_pair s[K / 2], q[K / 2], f[K / 2], g[K / 2];
  double leaving[K], *line[K], *y[K], *sq[K];
  const double *x[K];
  for (int c = 0; c < K; ++c) {
    leaving[c] = p[c]->mean.delayed.value;
    line[c] = p[c]->mean.delayed.buf;
    x[c] = in + static_cast<size_t>(c) * stride;
    y[c] = out + static_cast<size_t>(c) * stride;
    sq[c] = room.data() + static_cast<size_t>(c) * count;
  }
  for (int h = 0; h < K / 2; ++h) {
    const moving_stddev_params *a = p[2 * h], *b = p[2 * h + 1];
    s[h] = lane_pair{a->mean.sum, b->mean.sum};
    q[h] = lane_pair{a->square.sum, b->square.sum};
    f[h] = lane_pair{a->mean.new_sum, b->mean.new_sum};
    g[h] = lane_pair{a->square.new_sum, b->square.new_sum};
  }
  side_by_side<K>(
      line, n, pos, collected, count, leaving,
      [&](size_t t, size_t at) {
#pragma GCC unroll 2
        for (int h = 0; h < K / 2; ++h) {
          const int a = 2 * h, b = a + 1;
          const lane_pair v = {x[a][t], x[b][t]}, l = {line[a][at], line[b][at]};
          line[a][at] = v[0];
          line[b][at] = v[1];
          const lane_pair v2 = v * v;
          s[h] += v;
          s[h] -= l;
          q[h] += v2;
          q[h] -= l * l;
          f[h] += v;
          g[h] += v2;
          y[a][t] = s[h][0];
          y[b][t] = s[h][1];
          sq[a][t] = q[h][0];
          sq[b][t] = q[h][1];
        }
      },
      [&] {  // the fresh sums hold the window
        for (int h = 0; h < K / 2; ++h) {
          s[h] = f[h];
          q[h] = g[h];
          f[h] = g[h] = lane_pair{0.0, 0.0};
        }
      });
  for (int c = 0; c < K; ++c) {
    moving_stddev_params *r = p[c];
    moving_mean_params *m = &r->mean, *sqr = &r->square;
    const int h = c / 2, lane = c % 2;
    m->sum = s[h][lane];
    m->new_sum = f[h][lane];
    sqr->sum = q[h][lane];
    sqr->new_sum = g[h][lane];
    m->new_sum_collected = sqr->new_sum_collected = static_cast<int>(collected);
    m->delayed.bufpos = static_cast<int>(pos);
    m->delayed.value = leaving[c];
    if (count == 0) continue;
    m->value = y[c][count - 1] / size;
    sqr->value = sq[c][count - 1] / size;
    for (size_t t = 0; t < count;) {
      t += deviations(r, y[c] + t, sq[c] + t, y[c] + t, count - t, size);
    }
    const double var = sqr->value - m->value * m->value;
    r->variance_instantaneous = var < 0.0 ? 0.0 : var;  // warned above
    r->stddev_instantaneous = y[c][count - 1];
  }
}

}  // namespace

void moving_stddev_instantaneous_columns(moving_stddev_params *const *params,
                                         int ncols, const double *in,
                                         size_t stride, double *out,
                                         size_t count) {
  int c = 0;
  const bool side = ncols > 0 && !fex_internal::deviation_groups_in_lanes() &&
                    count < static_cast<size_t>(kLanes<2> / 2) *
                                static_cast<size_t>(params[0]->mean.size);
  for (; side && c + kDeviationSide <= ncols &&
         stddev_settled(params + c, kDeviationSide);
       c += kDeviationSide) {
    const size_t offset = static_cast<size_t>(c) * stride;
    stddev_columns_side_by_side(params + c, in + offset, stride, out + offset, count);
  }
  for (; c < ncols; ++c) {
    const size_t offset = static_cast<size_t>(c) * stride;
    for (size_t t = 0; t < count;) {
      t += moving_stddev_instantaneous_run(params[c], in + offset + t,
                                           out + offset + t, count - t);
    }
  }
}

void moving_stddev(moving_stddev_params *params, double value) {
  stddev_instantaneous_step(params, value);
  const double d = params->mean.value - value;
  moving_mean_step(&params->mean_var, d * d);
  params->variance_lagged = params->mean_var.value;
  params->stddev_lagged = std::sqrt(params->variance_lagged);
}

void moving_stddev_instantaneous(moving_stddev_params *params, double value) {
  stddev_instantaneous_step(params, value);
}

// ---------------------------------------------------------------------------
// Mean and mean-variance normalisation

void moving_mean_normalize_params_init(moving_mean_normalize_params *params,
                                       int size) {
  moving_mean_params_init(&params->mean, size);
  delay_params_init(&params->delay, size / 2);
  params->size = size;
  moving_mean_normalize_params_reset(params);
}

void moving_mean_normalize_params_reset(moving_mean_normalize_params *params) {
  moving_mean_params_reset(&params->mean);
  delay_params_reset(&params->delay);
  params->value = 0.0;
  params->num_collected = 0;
}

void moving_mean_normalize_params_free(moving_mean_normalize_params *params) {
  moving_mean_params_free(&params->mean);
  delay_params_free(&params->delay);
}

// The centre sample of the (partial) window: while the window fills, the
// sample half-way back; afterwards the delay line's output.
static double centre_sample(const delay_params *line, int *num_collected,
                            int size) {
  if (static_cast<int64_t>(*num_collected) + 1 < size) {
    const double v = delay_params_get_n_ago(line, (*num_collected + 1) / 2);
    (*num_collected)++;
    return v;
  }
  return line->value;
}

void moving_mean_normalize(moving_mean_normalize_params *params,
                           double value) {
  moving_mean_step(&params->mean, value);
  delay_step(&params->delay, value);
  params->value = centre_sample(&params->delay, &params->num_collected,
                                params->size) -
                  params->mean.value;
}

void moving_meanvariance_normalize_params_init(
    moving_meanvariance_normalize_params *params, int size) {
  moving_stddev_params_init(&params->stddev, size);
  delay_params_init(&params->delay, size / 2);
  params->size = size;
  moving_meanvariance_normalize_params_reset(params);
}

void moving_meanvariance_normalize_params_reset(
    moving_meanvariance_normalize_params *params) {
  moving_stddev_params_reset(&params->stddev);
  delay_params_reset(&params->delay);
  params->value = 0.0;
  params->num_collected = 0;
}

void moving_meanvariance_normalize_params_free(
    moving_meanvariance_normalize_params *params) {
  moving_stddev_params_free(&params->stddev);
  delay_params_free(&params->delay);
}

void moving_meanvariance_normalize(
    moving_meanvariance_normalize_params *params, double value) {
  moving_stddev_instantaneous(&params->stddev, value);
  delay_step(&params->delay, value);
  if (params->num_collected == 0) {
    params->num_collected = 1;
    params->value = 0.0;
    return;
  }
  const double centre =
      centre_sample(&params->delay, &params->num_collected, params->size);
  params->value = (centre - params->stddev.mean.value) /
                  params->stddev.stddev_instantaneous;
}

// ---------------------------------------------------------------------------
// Exponential mean, variance, energy and median

void sliding_mean_variance_energy_params_init(
    sliding_mean_variance_energy_params *params, double alpha) {
  params->alpha = alpha;
  params->firsttime = 1;
  params->variance_instantaneous_warned = 0;
  params->delay = sliding_default_delay(alpha);
  params->mean = 0.0;
  params->variance_lagged = 0.0;
  params->median_lagged = 0.0;
  params->variance_instantaneous = 0.0;
  params->energy = 0.0;
}

void sliding_mean_variance_energy_params_reset(
    sliding_mean_variance_energy_params *params) {
  params->firsttime = 1;
}

void sliding_mean(double value, sliding_mean_variance_energy_params *params) {
  if (params->firsttime) {
    params->mean = value;
    params->firsttime = 0;
  } else {
    params->mean =
        params->alpha * params->mean + (1.0 - params->alpha) * value;
  }
}

void sliding_mean_variance_energy(
    double value, sliding_mean_variance_energy_params *params) {
  if (params->firsttime) {
    params->mean = value;
    params->median_lagged = value;
    params->variance_lagged = 0.0;
    params->variance_instantaneous = 0.0;
    params->energy = value * value;
    params->firsttime = 0;
    return;
  }
  const double a = params->alpha, b = 1.0 - params->alpha;
  params->mean = a * params->mean + b * value;
  params->energy = a * params->energy + b * value * value;
  const double d = value - params->mean;
  params->variance_lagged = a * params->variance_lagged + b * d * d;
  double var = params->energy - params->mean * params->mean;
  if (var < 0.0) {
    if (!params->variance_instantaneous_warned) {
      std::fprintf(stderr,
                   "%s warning: variance_instantaneous = %g is negative! "
                   "Setting it to zero. This warning will not be repeated.\n",
                   "sliding_mean_variance_energy", var);
      params->variance_instantaneous_warned = 1;
    }
    var = 0.0;
  }
  params->variance_instantaneous = var;
  const double s = std::sqrt(params->variance_lagged);
  if (value >= params->median_lagged) {
    params->median_lagged += s * b;
  } else {
    params->median_lagged -= s * b;
  }
}
