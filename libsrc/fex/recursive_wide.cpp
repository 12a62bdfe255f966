// The moving deviation's divisions and square roots over arrays, in the
// widest vectors the processor has: its runs and rows hand over their
// window sums after the additions, since the divider, not the additions,
// set their pace. IEEE division and square root round every element on its
// own, so each width gives the scalar results to the bit (this file is
// built without contraction into fused multiply-adds); in AVX2 with FMA and
// in AVX-512 the quotients come from products proven to be the rounded
// quotients, with a division only where the proof fails.
// Also the scan for NaN and infinity that the runs cut their pieces at, the
// moving mean's groups with their sums guessed ahead, and the deviation's
// sums in lanes of one stretch.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's _mm512_sqrt_pd passes an unset register as the unused merge
// source of the masked form it is built on.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#define FEX_WIDE_X86 1
#endif

#include "recursive_internal.h"

namespace fex_internal {
namespace {

// The deviations go in groups of eight. A group is clean when all its
// deviations are finite: then no variance was negative (its square root
// would be NaN), and none needs the one-by-one path.
constexpr size_t kGroup = 8;

// The scans for NaN and infinity (x * 0 is 0 for finite x, NaN otherwise)
// return the samples before the first group that holds one: of 32 in the
// wide ones, of 8 in the narrowest, which takes SSE2 where the build has it
// and narrows down what a wide one leaves.
constexpr size_t kScan = 32;

size_t finite_narrow(const double *v, size_t count) {
  size_t t = 0;
#if defined(__SSE2__)
  const __m128d zero = _mm_setzero_pd();
  for (; t + 8 <= count; t += 8) {
    __m128d probe = zero;
    for (size_t u = t; u < t + 8; u += 2) {
      probe = _mm_add_pd(probe, _mm_mul_pd(_mm_loadu_pd(v + u), zero));
    }
    if (_mm_movemask_pd(_mm_cmpunord_pd(probe, probe)) != 0) break;
  }
#else
  (void)v;
  (void)count;
#endif
  return t;
}

size_t deviations_scalar(const double *s, const double *sq, double *out,
                         size_t count, double size) {
  size_t t = 0;
  for (; t + kGroup <= count; t += kGroup) {
    double sd[kGroup];
    bool clean = true;
    for (size_t u = 0; u < kGroup; ++u) {
      const double m = s[t + u] / size, q = sq[t + u] / size;
      sd[u] = std::sqrt(q - m * m);
      clean = clean && std::isfinite(sd[u]);
    }
    if (!clean) break;
    for (size_t u = 0; u < kGroup; ++u) out[t + u] = sd[u];
  }
  return t;
}

#if defined(FEX_WIDE_X86)
size_t deviations_sse2(const double *s, const double *sq, double *out,
                       size_t count, double size) {
  const __m128d w = _mm_set1_pd(size), zero = _mm_setzero_pd();
  size_t t = 0;
  for (; t + kGroup <= count; t += kGroup) {
    __m128d sd[kGroup / 2], bad = zero;
    for (size_t u = 0; u < kGroup / 2; ++u) {
      const __m128d m = _mm_div_pd(_mm_loadu_pd(s + t + 2 * u), w);
      const __m128d q = _mm_div_pd(_mm_loadu_pd(sq + t + 2 * u), w);
      sd[u] = _mm_sqrt_pd(_mm_sub_pd(q, _mm_mul_pd(m, m)));
      const __m128d nan = _mm_sub_pd(sd[u], sd[u]);  // NaN where not finite
      bad = _mm_or_pd(bad, _mm_cmpunord_pd(nan, nan));
    }
    if (_mm_movemask_pd(bad) != 0) break;
    for (size_t u = 0; u < kGroup / 2; ++u) {
      _mm_storeu_pd(out + t + 2 * u, sd[u]);
    }
  }
  return t;
}

__attribute__((target("avx"))) size_t finite_avx(const double *v,
                                                 size_t count) {
  const __m256d zero = _mm256_setzero_pd();
  size_t t = 0;
  for (; t + kScan <= count; t += kScan) {
    __m256d probe = zero;
    for (size_t u = t; u < t + kScan; u += 4) {
      probe = _mm256_add_pd(probe, _mm256_mul_pd(_mm256_loadu_pd(v + u), zero));
    }
    const __m256d nan = _mm256_cmp_pd(probe, probe, _CMP_UNORD_Q);
    if (_mm256_movemask_pd(nan) != 0) break;
  }
  return t;
}

__attribute__((target("avx"))) size_t deviations_avx(
    const double *s, const double *sq, double *out, size_t count,
    double size) {
  const __m256d w = _mm256_set1_pd(size), zero = _mm256_setzero_pd();
  size_t t = 0;
  for (; t + kGroup <= count; t += kGroup) {
    __m256d sd[2], bad = zero;
    for (size_t u = 0; u < 2; ++u) {
      const __m256d m = _mm256_div_pd(_mm256_loadu_pd(s + t + 4 * u), w);
      const __m256d q = _mm256_div_pd(_mm256_loadu_pd(sq + t + 4 * u), w);
      sd[u] = _mm256_sqrt_pd(_mm256_sub_pd(q, _mm256_mul_pd(m, m)));
      const __m256d nan = _mm256_sub_pd(sd[u], sd[u]);
      bad = _mm256_or_pd(bad, _mm256_cmp_pd(nan, nan, _CMP_UNORD_Q));
    }
    if (_mm256_movemask_pd(bad) != 0) break;
    for (size_t u = 0; u < 2; ++u) {
      _mm256_storeu_pd(out + t + 4 * u, sd[u]);
    }
  }
  return t;
}

__attribute__((target("avx512f"))) size_t finite_avx512(const double *v,
                                                       size_t count) {
  const __m512d zero = _mm512_setzero_pd();
  size_t t = 0;
  for (; t + kScan <= count; t += kScan) {
    __m512d probe = zero;
    for (size_t u = t; u < t + kScan; u += 8) {
      probe = _mm512_add_pd(probe, _mm512_mul_pd(_mm512_loadu_pd(v + u), zero));
    }
    if (_mm512_cmp_pd_mask(probe, probe, _CMP_UNORD_Q) != 0) break;
  }
  return t;
}

// Quotients proven only between these powers of two, by the bits of their
// exponents.
constexpr long long kProvenLow = 0x07b0000000000000;   // 2^-900
constexpr long long kProvenHigh = 0x7830000000000000;  // 2^900

// Quotients by a window's size without the divider, which with the square
// root sets the pace of the deviations. q = s * (1 / size) is corrected
// once by its remainder q * size - s (fused, so rounded once), and proven
// the rounded s / size where the remainder of the corrected q is below half
// the gap between q and its neighbours, times size: then s / size lies
// nearer q than any other double. Rounding is monotone and the bound is a
// double, so a rounded remainder below it means an exact one below it.
// The gap comes from the exponent of q's bits less one, which halves it
// for a power of two (its gap below is half its gap above); the bound is
// that power of two times size * 2^-53, made by adding exponents, and is
// exact while the power is well inside the normal range. Nonnegative
// doubles order as their bits, so the comparisons are on integers. NaN and
// infinity are not proven, nor are zeros, but a zero sum gives its zero
// with its sign (-0 * size - -0 is +0, and -(+0 / size) + -0 is -0), which
// the deviations take (zero_512) before they divide.
struct Quotients512 {
  __m512d size, inv;  // size and 1 / size
  __m512i half_gap;   // the bits of size * 2^-53 less those of 1
};

__attribute__((target("avx512f"), always_inline)) inline Quotients512
quotients_512(double size) {
  return {_mm512_set1_pd(size), _mm512_set1_pd(1.0 / size),
          _mm512_sub_epi64(_mm512_castpd_si512(_mm512_set1_pd(size * 0x1p-53)),
                           _mm512_castpd_si512(_mm512_set1_pd(1.0)))};
}

// The lanes in which q is proven the rounded s / size.
__attribute__((target("avx512f"), always_inline)) inline __mmask8 proven_512(
    const Quotients512 &d, __m512d s, __m512d q) {
  const __m512i r = _mm512_castpd_si512(_mm512_fmsub_pd(q, d.size, s));
  const __m512i gap = _mm512_and_si512(
      _mm512_sub_epi64(_mm512_castpd_si512(q), _mm512_set1_epi64(1)),
      _mm512_set1_epi64(0x7ff0000000000000));
  const __m512i size_of_r = _mm512_and_si512(r, _mm512_set1_epi64(0x7fffffffffffffff));
  const __mmask8 ok = _mm512_cmplt_epi64_mask(size_of_r, _mm512_add_epi64(gap, d.half_gap));
  return _mm512_mask_cmple_epu64_mask(ok, _mm512_sub_epi64(gap, _mm512_set1_epi64(kProvenLow)),
                                      _mm512_set1_epi64(kProvenHigh - kProvenLow));
}

// s / size, with the lanes not proven cleared from `proven`.
__attribute__((target("avx512f"), always_inline)) inline __m512d quotient_512(
    const Quotients512 &d, __m512d s, __mmask8 &proven) {
  const __m512d q1 = _mm512_mul_pd(s, d.inv);
  const __m512d q = _mm512_fnmadd_pd(_mm512_fmsub_pd(q1, d.size, s), d.inv, q1);
  proven &= proven_512(d, s, q);
  return q;
}

// The lanes of s that are zeros.
__attribute__((target("avx512f"), always_inline)) inline __mmask8 zero_512(__m512d s) {
  return _mm512_cmp_pd_mask(s, _mm512_setzero_pd(), _CMP_EQ_OQ);
}

// The deviations of a group in AVX-512 from its window sums, the quotients
// proven where they can be, to *out; false (nothing stored) when one is not
// finite.
__attribute__((target("avx512f"), always_inline)) inline bool group_deviations_512(
    const Quotients512 &d, __m512d sv, __m512d sqv, __m512d *out) {
  __mmask8 pm = 0xff, pq = 0xff;
  __m512d m = quotient_512(d, sv, pm), q = quotient_512(d, sqv, pq);
  if ((pm & pq) != 0xff &&
      ((pm | zero_512(sv)) & (pq | zero_512(sqv))) != 0xff) {
    m = _mm512_div_pd(sv, d.size);
    q = _mm512_div_pd(sqv, d.size);
  }
  const __m512d sd = _mm512_sqrt_pd(_mm512_sub_pd(q, _mm512_mul_pd(m, m)));
  const __m512d nan = _mm512_sub_pd(sd, sd);
  if (_mm512_cmp_pd_mask(nan, nan, _CMP_UNORD_Q) != 0) return false;
  *out = sd;
  return true;
}

__attribute__((target("avx512f"))) size_t deviations_avx512(
    const double *s, const double *sq, double *out, size_t count,
    double size) {
  static_assert(kGroup == 8, "a group is one register");
  const Quotients512 d = quotients_512(size);
  size_t t = 0;
  __m512d sd;
  while (t + kGroup <= count &&
         group_deviations_512(d, _mm512_loadu_pd(s + t), _mm512_loadu_pd(sq + t), &sd)) {
    _mm512_storeu_pd(out + t, sd);
    t += kGroup;
  }
  return t;
}

__attribute__((target("avx512f"))) int proven_quotients_avx512(
    const double *s, const double *q, double size) {
  return proven_512(quotients_512(size), _mm512_loadu_pd(s), _mm512_loadu_pd(q));
}

// The same quotients in AVX2 with FMA, four lanes to a register: the
// lanes' masks are all ones where proven, and the unsigned range check of
// the exponent is two signed ones (the exponent bits are never negative).
struct Quotients256 {
  __m256d size, inv;
  __m256i half_gap;
};

__attribute__((target("avx2,fma"), always_inline)) inline Quotients256
quotients_256(double size) {
  return {_mm256_set1_pd(size), _mm256_set1_pd(1.0 / size),
          _mm256_sub_epi64(_mm256_castpd_si256(_mm256_set1_pd(size * 0x1p-53)),
                           _mm256_castpd_si256(_mm256_set1_pd(1.0)))};
}

__attribute__((target("avx2,fma"), always_inline)) inline __m256i proven_256(
    const Quotients256 &d, __m256d s, __m256d q) {
  const __m256i r = _mm256_castpd_si256(_mm256_fmsub_pd(q, d.size, s));
  const __m256i gap = _mm256_and_si256(
      _mm256_sub_epi64(_mm256_castpd_si256(q), _mm256_set1_epi64x(1)),
      _mm256_set1_epi64x(0x7ff0000000000000));
  const __m256i size_of_r = _mm256_and_si256(r, _mm256_set1_epi64x(0x7fffffffffffffff));
  const __m256i ok = _mm256_cmpgt_epi64(_mm256_add_epi64(gap, d.half_gap), size_of_r);
  const __m256i out = _mm256_or_si256(_mm256_cmpgt_epi64(_mm256_set1_epi64x(kProvenLow), gap),
                                      _mm256_cmpgt_epi64(gap, _mm256_set1_epi64x(kProvenHigh)));
  return _mm256_andnot_si256(out, ok);
}

__attribute__((target("avx2,fma"), always_inline)) inline __m256d quotient_256(
    const Quotients256 &d, __m256d s, __m256i &proven) {
  const __m256d q1 = _mm256_mul_pd(s, d.inv);
  const __m256d q = _mm256_fnmadd_pd(_mm256_fmsub_pd(q1, d.size, s), d.inv, q1);
  proven = _mm256_and_si256(proven, proven_256(d, s, q));
  return q;
}

__attribute__((target("avx2,fma"), always_inline)) inline __m256i zero_256(__m256d s) {
  return _mm256_castpd_si256(_mm256_cmp_pd(s, _mm256_setzero_pd(), _CMP_EQ_OQ));
}

// Whether all lanes of a mask are set.
__attribute__((target("avx2,fma"), always_inline)) inline bool all_256(__m256i m) {
  return _mm256_movemask_pd(_mm256_castsi256_pd(m)) == 0xf;
}

// The deviations of four lanes from their window sums, NaN where one is
// not finite.
__attribute__((target("avx2,fma"), always_inline)) inline __m256d deviations_256(
    const Quotients256 &d, __m256d sv, __m256d sqv) {
  const __m256i all = _mm256_set1_epi64x(-1);
  __m256i pm = all, pq = all;
  __m256d m = quotient_256(d, sv, pm), q = quotient_256(d, sqv, pq);
  if (!all_256(_mm256_and_si256(pm, pq)) &&
      !all_256(_mm256_and_si256(_mm256_or_si256(pm, zero_256(sv)),
                                _mm256_or_si256(pq, zero_256(sqv))))) {
    m = _mm256_div_pd(sv, d.size);
    q = _mm256_div_pd(sqv, d.size);
  }
  return _mm256_sqrt_pd(_mm256_sub_pd(q, _mm256_mul_pd(m, m)));
}

__attribute__((target("avx2,fma"))) size_t deviations_avx2(
    const double *s, const double *sq, double *out, size_t count,
    double size) {
  const Quotients256 d = quotients_256(size);
  size_t t = 0;
  for (; t + kGroup <= count; t += kGroup) {
    const __m256d lo = deviations_256(d, _mm256_loadu_pd(s + t), _mm256_loadu_pd(sq + t));
    const __m256d hi = deviations_256(d, _mm256_loadu_pd(s + t + 4), _mm256_loadu_pd(sq + t + 4));
    const __m256d nan = _mm256_add_pd(_mm256_sub_pd(lo, lo), _mm256_sub_pd(hi, hi));
    if (_mm256_movemask_pd(_mm256_cmp_pd(nan, nan, _CMP_UNORD_Q)) != 0) break;
    _mm256_storeu_pd(out + t, lo);
    _mm256_storeu_pd(out + t + 4, hi);
  }
  return t;
}

__attribute__((target("avx2,fma"))) int proven_quotients_avx2(
    const double *s, const double *q, double size) {
  const Quotients256 d = quotients_256(size);
  const int lo = _mm256_movemask_pd(_mm256_castsi256_pd(
      proven_256(d, _mm256_loadu_pd(s), _mm256_loadu_pd(q))));
  const int hi = _mm256_movemask_pd(_mm256_castsi256_pd(
      proven_256(d, _mm256_loadu_pd(s + 4), _mm256_loadu_pd(q + 4))));
  return lo | hi << 4;
}

// ---------------------------------------------------------------------------
// The moving mean's groups with their sums guessed ahead
//
// One sample after another, a moving mean's running sum waits for two
// additions a sample, each rounded. Where they do not round (float samples
// summed in doubles, mostly), any order of the additions gives the same
// sums. So a group's sums are guessed in a register: the sums before it
// plus the prefix sums of the differences x - leaving (of the samples, for
// the fresh sum). Then each sample's step is taken from the guess of the
// sample before, (p[u-1] + x[u]) - leaving[u] and f[u-1] + x[u], and must
// give the guesses p[u] and f[u] to the bit. These checks do not wait on
// one another, and a group that passes them all has the sums of the step
// one sample after another (by induction from the sums before it). The
// guesses that do not pass (a rounding, a NaN or infinity, a sum that is
// not finite) hand over to the groups one after another (mean_groups_with).

// Lanes moved up by K, the lowest K taken from the top of `fill`.
template <int K>
__attribute__((target("avx512f"), always_inline)) inline __m512d up_512(
    __m512d v, __m512d fill) {
  return _mm512_castsi512_pd(_mm512_alignr_epi64(
      _mm512_castpd_si512(v), _mm512_castpd_si512(fill), 8 - K));
}

// Prefix sums of the lanes (-0 adds nothing to any value, even -0).
__attribute__((target("avx512f"), always_inline)) inline __m512d prefix_512(
    __m512d v) {
  const __m512d none = _mm512_set1_pd(-0.0);
  v = _mm512_add_pd(v, up_512<1>(v, none));
  v = _mm512_add_pd(v, up_512<2>(v, none));
  return _mm512_add_pd(v, up_512<4>(v, none));
}

// Groups of eight in one register each while the guesses pass; returns the
// samples taken. s[0] and s[1] are the running and fresh sums.
__attribute__((target("avx512f"))) size_t guessed_groups_avx512(
    double *s, const double *x, double *line, double *y, size_t n,
    double size, double &leaving) {
  const __m512d w = _mm512_set1_pd(size);
  const __m512i top = _mm512_set1_epi64(kGroup - 1);
  __m512d p0 = _mm512_set1_pd(s[0]), f0 = _mm512_set1_pd(s[1]);
  size_t j = 0;
  for (; j + kGroup <= n; j += kGroup) {
    prefetch_line(line + j);
    const double last_leaving = line[j + kGroup - 1];
    const __m512d v = _mm512_loadu_pd(x + j), l = _mm512_loadu_pd(line + j);
    const __m512d dp = prefix_512(_mm512_sub_pd(v, l)), df = prefix_512(v);
    const __m512d p = _mm512_add_pd(dp, p0), f = _mm512_add_pd(df, f0);
    const __m512d p_step = _mm512_sub_pd(_mm512_add_pd(up_512<1>(p, p0), v), l);
    const __m512d f_step = _mm512_add_pd(up_512<1>(f, f0), v);
    const __m512i off = _mm512_or_si512(
        _mm512_xor_si512(_mm512_castpd_si512(p_step), _mm512_castpd_si512(p)),
        _mm512_xor_si512(_mm512_castpd_si512(f_step), _mm512_castpd_si512(f)));
    const __m512d nan = _mm512_sub_pd(p, p);  // NaN where not finite
    if (_mm512_test_epi64_mask(off, off) != 0 ||
        _mm512_cmp_pd_mask(nan, nan, _CMP_UNORD_Q) != 0) {
      break;
    }
    _mm512_storeu_pd(line + j, v);
    _mm512_storeu_pd(y + j, _mm512_div_pd(p, w));
    leaving = last_leaving;
    // The last sums in every lane, one addition after the last ones.
    p0 = _mm512_add_pd(p0, _mm512_permutexvar_pd(top, dp));
    f0 = _mm512_add_pd(f0, _mm512_permutexvar_pd(top, df));
  }
  s[0] = _mm512_cvtsd_f64(p0);
  s[1] = _mm512_cvtsd_f64(f0);
  return j;
}

// The same in AVX, a group in two registers of four.
__attribute__((target("avx"), always_inline)) inline __m256d up1_avx(
    __m256d v, __m256d fill) {  // [fill[3], v[0], v[1], v[2]]
  return _mm256_shuffle_pd(_mm256_permute2f128_pd(v, fill, 0x03), v, 0x5);
}

__attribute__((target("avx"), always_inline)) inline __m256d prefix_avx(
    __m256d v) {
  const __m256d none = _mm256_set1_pd(-0.0);
  v = _mm256_add_pd(v, up1_avx(v, none));
  return _mm256_add_pd(v, _mm256_permute2f128_pd(v, none, 0x03));
}

__attribute__((target("avx"), always_inline)) inline __m256d top_avx(
    __m256d v) {  // v[3] in every lane
  return _mm256_permute_pd(_mm256_permute2f128_pd(v, v, 0x11), 0xf);
}

// The deviation's sums in eight lanes of one stretch (AVX-512)
//
// One sample after another, each of the deviation's running sums waits for
// two additions a sample. Eight lanes, each an eighth of a call's samples,
// take their sums one sample after another side by side, from the sums at
// the starts of their eighths, which are guessed. On one grid (the unit in
// the last place of a binade) a sum moved by an even number of units takes
// the same roundings, ties to even included, and ends moved by as much; by
// an odd number, the ties may go the other way. So a first pass runs every
// lane from the sums before the call, S, and from S plus a unit; then each
// lane's start is the end of the lane before, found from the run of its
// parity moved by the rest. The second pass runs the lanes from those
// starts, and the deviations follow. A lane whose start is not the end the
// lane before reached (a sum crossed a binade) is given up with the lanes
// after it; the lanes before it are the sums one sample after another, by
// induction from the first, which starts from the sums before the call.

// The most steps a lane takes in a call.
constexpr size_t kLaneSteps = 64;

// The rows r[0, 8) of a block of 8 x 8 doubles become its columns.
__attribute__((target("avx512f"), always_inline)) inline void transpose_8x8(
    __m512d *r) {
  __m512d t[8], u[8];
#pragma GCC unroll 8
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm512_unpacklo_pd(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_pd(r[i], r[i + 1]);
  }
#pragma GCC unroll 8
  for (int i = 0; i < 8; i += 4) {
#pragma GCC unroll 8
    for (int k = 0; k < 2; ++k) {
      u[i + k] = _mm512_shuffle_f64x2(t[i + k], t[i + 2 + k], 0x88);
      u[i + 2 + k] = _mm512_shuffle_f64x2(t[i + k], t[i + 2 + k], 0xdd);
    }
  }
#pragma GCC unroll 8
  for (int k = 0; k < 4; ++k) {
    r[k] = _mm512_shuffle_f64x2(u[k], u[4 + k], 0x88);
    r[4 + k] = _mm512_shuffle_f64x2(u[k], u[4 + k], 0xdd);
  }
}

// Steps [k, k + 8) of the lanes of `from` (lane q from from[q * steps]) to
// r, a step to a row.
__attribute__((target("avx512f"), always_inline)) inline void lanes_tile(
    const double *from, size_t steps, size_t k, __m512d *r) {
#pragma GCC unroll 8
  for (size_t q = 0; q < 8; ++q) r[q] = _mm512_loadu_pd(from + q * steps + k);
  transpose_8x8(r);
}

// The rows r back to steps [k, k + 8) of the lanes of `to`.
__attribute__((target("avx512f"), always_inline)) inline void lanes_tile_back(
    __m512d *r, double *to, size_t steps, size_t k) {
  transpose_8x8(r);
#pragma GCC unroll 8
  for (size_t q = 0; q < 8; ++q) _mm512_storeu_pd(to + q * steps + k, r[q]);
}

// One step of the four sums in every lane: the running sums of the samples
// v and of their squares (leaving samples l), then their fresh sums.
__attribute__((target("avx512f"), always_inline)) inline void lanes_step(
    __m512d *s, __m512d v, __m512d v2, __m512d l, __m512d l2) {
  s[0] = _mm512_sub_pd(_mm512_add_pd(s[0], v), l);
  s[1] = _mm512_sub_pd(_mm512_add_pd(s[1], v2), l2);
  s[2] = _mm512_add_pd(s[2], v);
  s[3] = _mm512_add_pd(s[3], v2);
}

// The lanes of x[0, n) from the sums st (running sums of the samples and of
// their squares, then their fresh sums; left at the last lane's ends), the
// deviations to y: those of every lane taken when all are finite and need
// no warning (then *clean is the samples taken), else none (*clean is 0).
// The window sums go to sum and square when there are no deviations or
// `all_sums`, else only the last sample's. Returns the samples taken, whole
// lanes of a multiple of eight steps: none when a sum is not finite in the
// first lane.
__attribute__((target("avx512f"))) size_t lane_deviation_groups_avx512(
    double *st, const double *x, double *line, double *sum, double *square,
    double *y, size_t n, const Quotients512 &d, double &leaving, bool all_sums,
    size_t *clean) {
  const size_t steps = std::min(n / 64 * 8, kLaneSteps);
  if (steps == 0) return 0;
  // Over many dimensions a long line is in memory: ask for all of the
  // call's leaving samples at once rather than eight streams of them.
  for (size_t i = 0; i < 8 * steps; i += 8) _mm_prefetch(reinterpret_cast<const char *>(line + i), _MM_HINT_T0);
  // The samples and the leaving samples a step to a row (eight lanes), and
  // the second pass's running sums.
  alignas(64) double xt[8 * kLaneSteps], lt[8 * kLaneSteps], at[2][8 * kLaneSteps];
  // The first pass: every lane from S (the sums before the call) in e[0, 4)
  // and from S plus a unit in e[4, 8).
  __m512d e[8];
  alignas(64) const double sums[8] = {st[0], st[1], st[2], st[3]};
  const __m512d from = _mm512_load_pd(sums);  // S in lanes 0 to 3 (4 to 7 unused)
  const __m512d size_of = _mm512_abs_pd(from);
  const __m512d unit = _mm512_sub_pd(
      _mm512_castsi512_pd(_mm512_add_epi64(_mm512_castpd_si512(size_of), _mm512_set1_epi64(1))),
      size_of);
  alignas(64) double units[8];
  _mm512_store_pd(units, unit);
  for (int s = 0; s < 4; ++s) {
    e[s] = _mm512_set1_pd(st[s]);
    e[4 + s] = _mm512_set1_pd(st[s] + units[s]);
  }
  for (size_t k = 0; k < steps; k += 8) {
    __m512d v[8], l[8];
    lanes_tile(x, steps, k, v);
    lanes_tile(line, steps, k, l);
#pragma GCC unroll 8
    for (size_t i = 0; i < 8; ++i) {
      _mm512_store_pd(xt + 8 * (k + i), v[i]);
      _mm512_store_pd(lt + 8 * (k + i), l[i]);
      const __m512d v2 = _mm512_mul_pd(v[i], v[i]), l2 = _mm512_mul_pd(l[i], l[i]);
      lanes_step(e, v[i], v2, l[i], l2);
      lanes_step(e + 4, v[i], v2, l[i], l2);
    }
  }
  // The lanes' starts, the four sums side by side: lane 0 from S, each next
  // from the end of the run of the parity of its start's distance to S,
  // moved by the rest of it; then one row per sum.
  transpose_8x8(e);  // e[q]: lane q's ends from S, then from S plus a unit
  __m512d g[8];
  g[0] = from;
  for (int q = 0; q < 7; ++q) {
    const __mmask8 odd = _mm512_test_epi64_mask(
        _mm512_xor_si512(_mm512_castpd_si512(g[q]), _mm512_castpd_si512(from)),
        _mm512_set1_epi64(1));
    const __m512d end = _mm512_mask_blend_pd(odd, e[q], _mm512_shuffle_f64x2(e[q], e[q], 0x4e));
    const __m512d by = _mm512_sub_pd(g[q], from);
    g[q + 1] = _mm512_add_pd(end, _mm512_mask_sub_pd(by, odd, by, unit));
  }
  transpose_8x8(g);  // g[s]: the starts of the lanes of sum s
  __m512d start[4];
  for (int s = 0; s < 4; ++s) start[s] = g[s];
  bool fine = true;  // the deviations so far finite and without warning
  for (size_t k = 0; k < steps; k += 8) {
    __m512d dev[8];
#pragma GCC unroll 8
    for (size_t i = 0; i < 8; ++i) {
      const __m512d v = _mm512_load_pd(xt + 8 * (k + i)), l = _mm512_load_pd(lt + 8 * (k + i));
      lanes_step(g, v, _mm512_mul_pd(v, v), l, _mm512_mul_pd(l, l));
      _mm512_store_pd(at[0] + 8 * (k + i), g[0]);
      _mm512_store_pd(at[1] + 8 * (k + i), g[1]);
      fine = fine && group_deviations_512(d, g[0], g[1], &dev[i]);
    }
    if (fine) lanes_tile_back(dev, y, steps, k);
  }
  // Lane q holds when the lanes before it do, it starts where the lane
  // before it ended (bits compared) and its running sums end finite (a sum
  // that is not finite stays so).
  const __m512d probe = _mm512_sub_pd(g[0], g[0]);
  __mmask8 holds = static_cast<__mmask8>(
      ~_mm512_cmp_pd_mask(probe, _mm512_sub_pd(g[1], g[1]), _CMP_UNORD_Q));
  for (int s = 0; s < 4; ++s) {
    holds &= _mm512_cmpeq_epi64_mask(
                 _mm512_castpd_si512(up_512<1>(g[s], g[s])),
                 _mm512_castpd_si512(start[s])) | 1;
  }
  const int lanes = __builtin_ctz(~static_cast<unsigned>(holds));
  if (lanes == 0) return 0;
  const size_t taken = lanes * steps;
  alignas(64) double last[4][8];
  for (int s = 0; s < 4; ++s) {
    _mm512_store_pd(last[s], g[s]);
    st[s] = last[s][lanes - 1];
  }
  *clean = fine ? taken : 0;
  if (!fine || all_sums) {
    for (size_t k = 0; k < steps; k += 8) {
      for (int s = 0; s < 2; ++s) {
        __m512d r[8];
        for (size_t i = 0; i < 8; ++i) r[i] = _mm512_load_pd(at[s] + 8 * (k + i));
        lanes_tile_back(r, s == 0 ? sum : square, steps, k);
      }
    }
  }
  sum[taken - 1] = st[0];
  square[taken - 1] = st[1];
  leaving = line[taken - 1];
  std::copy(x, x + taken, line);
  return taken;
}

__attribute__((target("avx"))) size_t guessed_groups_avx(
    double *s, const double *x, double *line, double *y, size_t n,
    double size, double &leaving) {
  const __m256d w = _mm256_set1_pd(size);
  __m256d p0 = _mm256_set1_pd(s[0]), f0 = _mm256_set1_pd(s[1]);
  size_t j = 0;
  for (; j + kGroup <= n; j += kGroup) {
    prefetch_line(line + j);
    const double last_leaving = line[j + kGroup - 1];
    __m256d v[2], p[2], pb = p0, fb = f0, bad = _mm256_setzero_pd();
    for (int h = 0; h < 2; ++h) {
      v[h] = _mm256_loadu_pd(x + j + 4 * h);
      const __m256d l = _mm256_loadu_pd(line + j + 4 * h);
      const __m256d dp = prefix_avx(_mm256_sub_pd(v[h], l)), df = prefix_avx(v[h]);
      p[h] = _mm256_add_pd(dp, pb);
      const __m256d f = _mm256_add_pd(df, fb);
      const __m256d p_step = _mm256_sub_pd(_mm256_add_pd(up1_avx(p[h], pb), v[h]), l);
      const __m256d f_step = _mm256_add_pd(up1_avx(f, fb), v[h]);
      const __m256d nan = _mm256_sub_pd(p[h], p[h]);
      bad = _mm256_or_pd(bad, _mm256_or_pd(_mm256_xor_pd(p_step, p[h]),
                                           _mm256_xor_pd(f_step, f)));
      bad = _mm256_or_pd(bad, _mm256_cmp_pd(nan, nan, _CMP_UNORD_Q));
      pb = _mm256_add_pd(pb, top_avx(dp));
      fb = _mm256_add_pd(fb, top_avx(df));
    }
    if (!_mm256_testz_si256(_mm256_castpd_si256(bad), _mm256_castpd_si256(bad))) break;
    for (int h = 0; h < 2; ++h) {
      _mm256_storeu_pd(line + j + 4 * h, v[h]);
      _mm256_storeu_pd(y + j + 4 * h, _mm256_div_pd(p[h], w));
    }
    leaving = last_leaving;
    p0 = pb;
    f0 = fb;
  }
  s[0] = _mm256_cvtsd_f64(p0);
  s[1] = _mm256_cvtsd_f64(f0);
  return j;
}
#endif

// deviation_groups with `Dev`, the deviations of one group in a vector
// width, as each group's divisions and square roots come due.
template <size_t (*Dev)(const double *, const double *, double *, size_t,
                        double)>
FEX_ALWAYS_INLINE size_t deviation_groups_with(
    double *st, const double *x, double *line, double *sum, double *square,
    double *y, size_t n, double size, double &leaving, size_t *clean) {
  double *const out[] = {sum, square};
  size_t c = clean != nullptr ? 0 : n;  // deviations done, from the first group on
  const size_t taken = sums_in_groups<2>(st, x, line, out, n, leaving, [&](size_t t) {
    if (c == t) c += Dev(sum + t, square + t, y + t, kGroup, size);
  });
  if (clean != nullptr) *clean = c;
  return taken;
}

__attribute__((flatten)) size_t deviation_groups_scalar(double *st, const double *x, double *line,
                               double *sum, double *square, double *y,
                               size_t n, double size, double &leaving,
                               size_t *clean) {
  return deviation_groups_with<deviations_scalar>(st, x, line, sum, square, y,
                                                  n, size, leaving, clean);
}

#if defined(FEX_WIDE_X86)
__attribute__((flatten)) size_t deviation_groups_sse2(double *st, const double *x, double *line,
                             double *sum, double *square, double *y, size_t n,
                             double size, double &leaving, size_t *clean) {
  return deviation_groups_with<deviations_sse2>(st, x, line, sum, square, y, n,
                                                size, leaving, clean);
}

__attribute__((target("avx"), flatten)) size_t deviation_groups_avx(
    double *st, const double *x, double *line, double *sum, double *square,
    double *y, size_t n, double size, double &leaving, size_t *clean) {
  return deviation_groups_with<deviations_avx>(st, x, line, sum, square, y, n,
                                               size, leaving, clean);
}
#endif

// The mean's groups one sample after another.
size_t mean_groups_exact(double *s, const double *x, double *line, double *y,
                         size_t n, double size, double &leaving) {
  double *const out[] = {y};
  return sums_in_groups<1>(s, x, line, out, n, leaving, [&](size_t t) {
    for (size_t u = t; u < t + kGroup; ++u) y[u] /= size;
  });
}

// Samples that a guess which failed hands to the groups one after another
// before the next guess, twice as many after each guess that fails at once
// (up to kMostUnguessed): where sums round, most guesses fail, and each
// costs a group's worth of work.
constexpr size_t kUnguessed = 64;
constexpr size_t kMostUnguessed = 4096;

// Guessed groups from x[0, n) while the guesses pass, `guess(j)` taking
// them from j on, then `exact(j, m)` one after another for m samples, and
// so on; stops where `exact` does (before a sum that is not finite).
// Returns the samples taken.
template <class Guess, class Exact>
FEX_ALWAYS_INLINE size_t guessing(size_t n, Guess guess, Exact exact) {
  size_t j = 0, span = kUnguessed;
  for (;;) {
    const size_t guessed = guess(j);
    j += guessed;
    span = guessed > 0 ? kUnguessed : std::min(2 * span, kMostUnguessed);
    const size_t m = std::min(n - j, span) / kGroup * kGroup;
    if (m == 0) return j;
    const size_t k = exact(j, m);
    j += k;
    if (k < m) return j;
  }
}

// mean_groups with `Guess`, the guessed groups in a vector width.
template <size_t (*Guess)(double *, const double *, double *, double *,
                          size_t, double, double &)>
size_t mean_groups_with(double *s, const double *x, double *line, double *y,
                        size_t n, double size, double &leaving) {
  return guessing(
      n, [&](size_t j) { return Guess(s, x + j, line + j, y + j, n - j, size, leaving); },
      [&](size_t j, size_t m) {
        return mean_groups_exact(s, x + j, line + j, y + j, m, size, leaving);
      });
}

#if defined(FEX_WIDE_X86)
// deviation_groups in AVX-512: the sums in lanes where they can be.
__attribute__((target("avx512f"))) size_t deviation_groups_avx512(
    double *st, const double *x, double *line, double *sum, double *square,
    double *y, size_t n, double size, double &leaving, size_t *clean) {
  const Quotients512 d = quotients_512(size);
  size_t c = clean != nullptr ? 0 : n;  // deviations done, from the first group on
  const size_t taken = guessing(
      n,
      [&](size_t j) {
        size_t done = 0;
        const size_t k = lane_deviation_groups_avx512(
            st, x + j, line + j, sum + j, square + j, y + j, n - j, d, leaving,
            c != j, &done);
        if (c == j) c += done > 0 ? done : deviations_avx512(sum + j, square + j, y + j, k, size);
        return k;
      },
      [&](size_t j, size_t m) {
        double *const out[] = {sum + j, square + j};
        const size_t k = sums_in_groups<2>(st, x + j, line + j, out, m, leaving,
                                           [](size_t) {});
        if (c == j) c += deviations_avx512(sum + j, square + j, y + j, k, size);
        return k;
      });
  if (clean != nullptr) *clean = c;
  return taken;
}
#endif

// The passes in each vector width, narrowest first.
struct WidePasses {
  size_t (*deviations)(const double *, const double *, double *, size_t,
                       double);
  size_t (*finite)(const double *, size_t);
  size_t (*deviation_groups)(double *, const double *, double *, double *,
                             double *, double *, size_t, double, double &,
                             size_t *);
  size_t (*mean_groups)(double *, const double *, double *, double *, size_t,
                        double, double &);
};
constexpr WidePasses kWide[] = {
    {deviations_scalar, finite_narrow, deviation_groups_scalar, mean_groups_exact},
#if defined(FEX_WIDE_X86)
    {deviations_sse2, finite_narrow, deviation_groups_sse2, mean_groups_exact},
    {deviations_avx, finite_avx, deviation_groups_avx,
     mean_groups_with<guessed_groups_avx>},
    // The groups one sample after another keep AVX's divisions: the
    // divider keeps pace beside the sums, where the proofs' instructions
    // slowed them (a tenth, at width 100,000).
    {deviations_avx2, finite_avx, deviation_groups_avx,
     mean_groups_with<guessed_groups_avx>},
    {deviations_avx512, finite_avx512, deviation_groups_avx512,
     mean_groups_with<guessed_groups_avx512>},
#endif
};

int supported_width() {
#if defined(FEX_WIDE_X86)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return 4;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 3;
  if (__builtin_cpu_supports("avx")) return 2;
  return 1;
#else
  return 0;
#endif
}

// The index into kWide in use: the widest supported, unless narrowed.
std::atomic<int> &width_in_use() {
  static std::atomic<int> width{supported_width()};
  return width;
}

}  // namespace

size_t finite_prefix(const double *v, size_t count) {
  const int width = width_in_use().load(std::memory_order_relaxed);
  size_t t = kWide[width].finite(v, count);
  t += finite_narrow(v + t, count - t);  // 0 where the narrow one stopped
  while (t < count && std::isfinite(v[t])) ++t;
  return t;
}

int wide_width(int at_most) {
  const int width = std::min(std::max(at_most, 0), supported_width());
  width_in_use().store(width, std::memory_order_relaxed);
  return width;
}

int proven_quotients(int width, const double *s, const double *q,
                     double size) {
  if (width > supported_width()) return -1;
#if defined(FEX_WIDE_X86)
  if (width == 4) return proven_quotients_avx512(s, q, size);
  if (width == 3) return proven_quotients_avx2(s, q, size);
#endif
  (void)s;
  (void)q;
  (void)size;
  return -1;
}

size_t clean_deviations(const double *s, const double *sq, double *out,
                        size_t count, double size) {
  return kWide[width_in_use().load(std::memory_order_relaxed)].deviations(
      s, sq, out, count, size);
}

size_t mean_groups(double *s, const double *x, double *line, double *y,
                   size_t n, double size, double &leaving) {
  return kWide[width_in_use().load(std::memory_order_relaxed)].mean_groups(
      s, x, line, y, n, size, leaving);
}

bool deviation_groups_in_lanes() {
#if defined(FEX_WIDE_X86)
  return kWide[width_in_use().load(std::memory_order_relaxed)].deviation_groups ==
         deviation_groups_avx512;
#else
  return false;
#endif
}

bool mean_groups_guess() {
  return kWide[width_in_use().load(std::memory_order_relaxed)].mean_groups !=
         mean_groups_exact;
}

size_t deviation_groups(double *s, const double *x, double *line, double *sum,
                        double *square, double *y, size_t n, double size,
                        double &leaving, size_t *clean) {
  return kWide[width_in_use().load(std::memory_order_relaxed)].deviation_groups(
      s, x, line, sum, square, y, n, size, leaving, clean);
}

}  // namespace fex_internal
