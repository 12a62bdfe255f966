// glide_stats - applies one moving-window function to every dimension of a
// .fv stream, each dimension with an instance of its own.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "catalogue.h"
#include "cmatrix.h"
#include "common.h"
#include "fex.h"
#include "fv.h"

namespace {

// ---------------------------------------------------------------------------
// Help text

void print_help() {
  std::fprintf(
      stderr,
      "glide_stats - read .fv file and apply one of several functions over a "
      "moving window of a certain size, on each dimension separately. "
      "Computing time should be independent of the width due to recursive "
      "implementations. For indices i below the size of the window, the "
      "value of the the function for a window of size i will be put out.\n"
      "\n"
      "usage: glide_stats [OPTIONS] < .fv-file > .fv-file\n"
      "OPTIONS:\n"
      "  -h, --help                      Print this help and exit.\n"
      "      --verbose                   Output some information about "
      "what's going on.\n"
      "      --nosharp                   Switch off default behaviour of "
      "creating sharp filters (low-/high-/bandpass filters).\n"
      "  -f, --function=NAME             Function to apply to each "
      "dimension, one of:\n");
  for (size_t i = 0; i < glide_catalogue_size; ++i) {
    const function_entry &e = glide_catalogue[i];
    if (e.note != nullptr) {
      std::fprintf(stderr, "                                    -%s %s\n",
                   e.name, e.note);
    } else {
      std::fprintf(stderr, "                                    -%s\n", e.name);
    }
  }
  std::fprintf(
      stderr,
      "  -w, --width=NUM                 Width of the moving window in "
      "samples.\n"
      "  -e, --exponent=NUM              Set exponent for the 'pseudomax' "
      "function. Default: 2\n"
      "  -r, --rate=NUM                  Set parameter rate for "
      "'pseudomedian' function.\n"
      "  -u, --updates=NUM               Set number of updates (parameter k) "
      "for functions 'max' and 'min'.\n"
      "  -s, --samplerate=NUM            Sample rate of the input in Hz (a "
      "whole number). Default: 2048\n"
      "  -W, --peak_width=NUM            Width of the mean window of the peak "
      "detectors in samples.\n"
      "  -R, --peak_regression_width=NUM Width of the regression window of "
      "the peak detectors in samples.\n"
      "  -M, --peak_max=NUM              Width of the maximum (minimum) "
      "window of the peak detectors in samples.\n"
      "  -T, --peak_threshold=NUM        Threshold of the peak detectors.\n"
      "  -1, --hr_mf_threshold=NUM       Threshold of the matched-filter "
      "heart-rate detector.\n"
      "  -2, --hr_mf_rising_factor=NUM   Rising factor of the matched-filter "
      "heart-rate detector.\n"
      "  -b, --peak_min_bpm=NUM          Lowest expected rate in beats per "
      "minute.\n"
      "  -B, --peak_max_bpm=NUM          Highest expected rate in beats per "
      "minute.\n"
      "  -D, --peak_debug=FILE           Write debugging output of the peak "
      "detector to FILE.\n"
      "  -c, --coeffs=FILE               Coefficient matrix for FIR filter in "
      "ascii or octave-ascii format. Each row of the matrix specifies the "
      "filter coefficients for one dimension.\n"
      "  -F, --frequency=NUM             Cut-off frequency for low/highpass "
      "filter.\n"
      "  -S, --frequency_start=NUM       Start frequency for bandpass "
      "filter.\n"
      "  -E, --frequency_end=NUM         End frequency for bandpass filter.\n"
      "  -t, --transition=NUM            Transition width for "
      "low-/high-/bandpass filter (for auto order).\n"
      "  -P, --epsilon=NUM               Weight below which a sample counts "
      "as forgotten ('sliding_mean_protect'). Default: 0.01\n"
      "  -l, --floor=NUM                 Floor for product_rect: abs(value) "
      "+ NUM is taken to avoid division-by-zero-problems.\n"
      "  -H, --flush=NUM                 Flush stdout after NUM vectors\n");
}

// ---------------------------------------------------------------------------
// Command line

enum { OPT_VERBOSE = 1000, OPT_NOSHARP };

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"verbose", no_argument, nullptr, OPT_VERBOSE},
    {"nosharp", no_argument, nullptr, OPT_NOSHARP},
    {"function", required_argument, nullptr, 'f'},
    {"width", required_argument, nullptr, 'w'},
    {"exponent", required_argument, nullptr, 'e'},
    {"rate", required_argument, nullptr, 'r'},
    {"updates", required_argument, nullptr, 'u'},
    {"samplerate", required_argument, nullptr, 's'},
    {"peak_width", required_argument, nullptr, 'W'},
    {"peak_regression_width", required_argument, nullptr, 'R'},
    {"peak_max", required_argument, nullptr, 'M'},
    {"peak_threshold", required_argument, nullptr, 'T'},
    {"hr_mf_threshold", required_argument, nullptr, '1'},
    {"hr_mf_rising_factor", required_argument, nullptr, '2'},
    {"peak_min_bpm", required_argument, nullptr, 'b'},
    {"peak_max_bpm", required_argument, nullptr, 'B'},
    {"peak_debug", required_argument, nullptr, 'D'},
    {"coeffs", required_argument, nullptr, 'c'},
    {"frequency", required_argument, nullptr, 'F'},
    {"frequency_start", required_argument, nullptr, 'S'},
    {"frequency_end", required_argument, nullptr, 'E'},
    {"transition", required_argument, nullptr, 't'},
    {"epsilon", required_argument, nullptr, 'P'},
    {"floor", required_argument, nullptr, 'l'},
    {"flush", required_argument, nullptr, 'H'},
    {nullptr, 0, nullptr, 0},
};
const char kShortOptions[] = "hf:w:e:r:u:s:W:R:M:T:1:2:b:B:D:c:F:S:E:t:P:l:H:";

// Reads the coefficient matrix of --coeffs at once.
cmatrix *read_coefficients(const char *filename) {
  FILE *f = std::fopen(filename, "rb");
  if (f == nullptr) fatal_system_error(filename);
  cmatrix *m = cmatrix_create_from_ascii(f);
  std::fclose(f);
  if (m == nullptr || m->height <= 0 || m->width <= 0) {
    fatal_error("%s error: no coefficient matrix could be read from %s!\n",
                GLIDE_STATS, filename);
  }
  return m;
}

// Refuses widths the chosen function cannot work with.
void check_width(const function_entry *entry, int size) {
  if (entry->min_width <= 0) return;
  if (size <= 0) {
    fatal_error(
        "%s error: the width must be a positive number of samples (got "
        "%d)!\n",
        GLIDE_STATS, size);
  }
  if (size < entry->min_width) {
    fatal_error(
        "%s error: function %s needs a width of at least %d samples (got "
        "%d)!\n",
        GLIDE_STATS, entry->name, entry->min_width, size);
  }
}

// ---------------------------------------------------------------------------
// Stream loop

// Values per block of records processed row by row: input and output
// together stay within the level-2 cache.
constexpr size_t kRowBlock = 8192;

// Records per block of a one-dimensional stream: the library's runs split a
// block into the stretches between the resynchronisations of their sums
// (one window each) and run several side by side, which wants blocks of a
// few dozen windows; blocks that cannot hold enough windows stay small.
size_t one_dimensional_block(int width) {
  constexpr size_t kMostRecords = 65536;
  const size_t windows = 32 * static_cast<size_t>(std::max(width, 1));
  return windows > kMostRecords * 4 ? kRowBlock
                                    : std::clamp(windows, kRowBlock, kMostRecords);
}

// Memory for the bulk path's large buffers (a chunk of records, the doubles
// of a block in and out), kept from sequence to sequence; the contents are
// unspecified. Whole huge pages (huge_region_alloc), so that filling it
// costs a fault per 2 MiB. Address sanitizer builds keep the heap, whose
// bounds it checks.
class work_region {
 public:
  work_region() = default;
  work_region(const work_region &) = delete;
  work_region &operator=(const work_region &) = delete;
  ~work_region() { release(); }
  // Room for at least `n` items, aligned to 64 bytes; growing loses the
  // contents.
  template <typename T>
  T *get(size_t n) {
    if (n * sizeof(T) > size_) grow(n * sizeof(T));
    return static_cast<T *>(base_);
  }

 private:
  void grow(size_t bytes) {
    release();
#ifdef HEAP_FOR_SANITIZER
    base_ = ::operator new(bytes, std::align_val_t{64});
    size_ = bytes;
#else
    const size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    base_ = bytes > SIZE_MAX - kHugePage ? nullptr : huge_region_alloc(size, false);
    if (base_ == nullptr) {
      errno = ENOMEM;
      fatal_system_error(GLIDE_STATS);
    }
    size_ = size;
#endif
  }
  void release() {
    if (base_ == nullptr) return;
#ifdef HEAP_FOR_SANITIZER
    ::operator delete(base_, std::align_val_t{64});
#else
    huge_region_free(base_, size_);
#endif
    base_ = nullptr;
    size_ = 0;
  }
  void *base_ = nullptr;
  size_t size_ = 0;
};

struct loop_state {
  const function_entry *entry = nullptr;
  // moving_structs: one instance per dimension; a plain array that is never
  // released, so the instances stay reachable until the program ends.
  void **instances = nullptr;
  int dim = 0;                    // remembered dimension, 0 before the first
  // The instances, vec and outvec are made when the first record has
  // arrived, so that a header alone cannot claim memory for its dimension;
  // until then the output header waits too, so that an instance that cannot
  // be made stops the program before anything is written.
  const glide_settings *settings = nullptr;
  bool created = false;
  fv_sequence *pending_header = nullptr;
  std::vector<double> vec, outvec;
  // The chunk of records read, and a block of them as doubles, in and out:
  // row by row (record r's dimension j at r * dim + j), or by dimension
  // (dimension j at j * stride) where streams of more than one dimension
  // are processed one dimension at a time.
  work_region chunk, doubles;
  work_region chunk_ahead;  // the chunk pipeline's room
  bool by_dimension = false;
  long long n_vectors_global = 0;
  int flush_stdout = 0;
};

void create_instances(loop_state *st);

// Before the first output record: the instances and the output header.
void start_output(loop_state *st) {
  if (!st->created) create_instances(st);
  if (st->pending_header != nullptr) {
    fv_sequence_write_header(st->pending_header, stdout);
    st->pending_header = nullptr;
  }
}

void count_vector_and_flush(loop_state *st) {
  ++st->n_vectors_global;
  if (st->flush_stdout > 0 && st->n_vectors_global % st->flush_stdout == 0) {
    std::fflush(stdout);
  }
}

// One vector at a time through the fv library: for label strings, extended
// precision and anything else without fixed-size little-endian records.
void process_sequence_generic(loop_state *st, fv_sequence *seq,
                              fv_sequence *outseq) {
  fv *in = fv_create(seq->info);
  fv *out = fv_create(outseq->info);
  const int dim = seq->info->dim;
  for (int32_t i = 0; i < seq->n_expected; ++i) {
    fv_read(seq->info, in, stdin);
    start_output(st);
    fv_copy_extras(seq->info, in, out);
    fv_to_double(seq->info, in, st->vec.data());
    st->entry->process_rows(st->instances, dim, 1, st->vec.data(),
                            st->outvec.data(), false);
    double_to_fv(outseq->info, st->outvec.data(), out);
    fv_write(outseq->info, out, stdout);
    count_vector_and_flush(st);
    fv_clean(seq->info, in);
    fv_clean(outseq->info, out);
  }
  fv_delete(in);
  fv_delete(out);
}

// Whether the n records of a block held by dimension (dimension j at
// j * stride) are all finite.
inline bool all_finite(const double *columns, size_t stride, int dim,
                       size_t n) {
#if defined(__SSE2__)
  // x * 0 is +0 or -0 for finite x and NaN otherwise, so the bits of all
  // of them OR'ed together are a NaN only if one is: no chain of additions
  // to wait on.
  const __m128d zero = _mm_setzero_pd();
  __m128d a = zero, b = zero;
  for (int j = 0; j < dim; ++j) {
    const double *c = columns + static_cast<size_t>(j) * stride;
    size_t r = 0;
    for (; r + 4 <= n; r += 4) {
      a = _mm_or_pd(a, _mm_mul_pd(_mm_loadu_pd(c + r), zero));
      b = _mm_or_pd(b, _mm_mul_pd(_mm_loadu_pd(c + r + 2), zero));
    }
    for (; r < n; ++r) a = _mm_or_pd(a, _mm_set_sd(c[r] * 0.0));
  }
  a = _mm_or_pd(a, b);
  return _mm_movemask_pd(_mm_cmpunord_pd(a, a)) == 0;
#else
  double probe = 0.0;
  for (int j = 0; j < dim; ++j) {
    const double *c = columns + static_cast<size_t>(j) * stride;
    for (size_t r = 0; r < n; ++r) probe += c[r] * 0.0;
  }
  return probe == 0.0;
#endif
}

// The first of the n records of a block held by dimension with a NaN or
// infinity not yet warned of in `info`, or n; the first `known` records
// are known to be finite.
inline size_t first_unwarned(const fv_info *info, const double *columns,
                             size_t stride, int dim, size_t n, size_t known) {
  if ((info->did_warn_NAN && info->did_warn_INF) ||
      all_finite(columns + known, stride, dim, n - known)) {
    return n;
  }
  size_t first = n;
  for (int j = 0; j < dim; ++j) {
    const double *c = columns + static_cast<size_t>(j) * stride;
    for (size_t r = 0; r < first; ++r) {
      if (!std::isfinite(c[r]) &&
          !(std::isnan(c[r]) ? info->did_warn_NAN : info->did_warn_INF)) {
        first = r;
      }
    }
  }
  return first;
}

// The NaN/infinity warnings for a block of n records held by dimension: a
// quick scan of the whole block, and record by record (in order, through
// `row`) only when it holds such a value.
inline void check_block(fv_info *info, const double *columns, size_t stride,
                        int dim, size_t n, double *row, const char *who) {
  if ((info->did_warn_NAN && info->did_warn_INF) ||
      all_finite(columns, stride, dim, n)) {
    return;
  }
  for (size_t r = 0; r < n; ++r) {
    for (int j = 0; j < dim; ++j) row[j] = columns[static_cast<size_t>(j) * stride + r];
    fv_check_values(info, row, dim, who);
  }
}

#if defined(__SSE2__)
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 conversions pass an unset register as the unused merge
// source of the masked forms they are built on.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// Where the processor has AVX-512, floats go to doubles and back sixteen at
// a time; each returns the floats done. The probe gathers x * 0, which is 0
// for finite x and NaN otherwise.
__attribute__((target("avx512f"))) size_t floats_to_doubles_avx512(
    const float *f, double *out, size_t n, bool *finite) {
  const __m256 zero = _mm256_setzero_ps();
  __m256 probe = zero;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256 a = _mm256_loadu_ps(f + i), b = _mm256_loadu_ps(f + i + 8);
    probe = _mm256_add_ps(probe, _mm256_add_ps(_mm256_mul_ps(a, zero),
                                               _mm256_mul_ps(b, zero)));
    _mm512_storeu_pd(out + i, _mm512_cvtps_pd(a));
    _mm512_storeu_pd(out + i + 8, _mm512_cvtps_pd(b));
  }
  *finite = _mm256_movemask_ps(_mm256_cmp_ps(probe, probe, _CMP_UNORD_Q)) == 0;
  return i;
}

__attribute__((target("avx512f"))) size_t doubles_to_floats_avx512(
    const double *in, float *f, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    _mm256_storeu_ps(f + i, _mm512_cvtpd_ps(_mm512_loadu_pd(in + i)));
    _mm256_storeu_ps(f + i + 8, _mm512_cvtpd_ps(_mm512_loadu_pd(in + i + 8)));
  }
  return i;
}

// Eight float vectors of eight transposed in registers.
__attribute__((target("avx"))) inline void transpose8(__m256 v[8]) {
  __m256 t[8], u[8];
  for (int k = 0; k < 8; k += 2) {
    t[k] = _mm256_unpacklo_ps(v[k], v[k + 1]);
    t[k + 1] = _mm256_unpackhi_ps(v[k], v[k + 1]);
  }
  for (int k = 0; k < 8; k += 4) {
    u[k] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(1, 0, 1, 0));
    u[k + 1] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(3, 2, 3, 2));
    u[k + 2] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(1, 0, 1, 0));
    u[k + 3] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  for (int k = 0; k < 4; ++k) {
    v[k] = _mm256_permute2f128_ps(u[k], u[k + 4], 0x20);
    v[k + 4] = _mm256_permute2f128_ps(u[k], u[k + 4], 0x31);
  }
}

// Float records to columns of doubles and back in AVX, in tiles of eight
// records by eight dimensions (AVX-512's conversions of eight at once were
// no faster): the first n - n % 8 records, the dimensions past a
// multiple of eight one item at a time. Each returns the records done and
// whether all their values (the floats read, the doubles written back) are
// finite, so that the blocks without NaN or infinity need no scan of their
// own.
__attribute__((target("avx"))) size_t floats_to_columns_avx(
    const unsigned char *block, size_t record_size, size_t n, int dim,
    double *columns, size_t stride, bool *finite) {
  const __m256 zero = _mm256_setzero_ps();
  __m256 probe = zero;
  bool rest_finite = true;
  size_t r = 0;
  for (; r + 8 <= n; r += 8) {
    const unsigned char *p = block + r * record_size;
    int j = 0;
    for (; j + 8 <= dim; j += 8) {
      const unsigned char *q = p + static_cast<size_t>(j) * sizeof(float);
      __m256 v[8];
      for (int k = 0; k < 8; ++k) {
        v[k] = _mm256_loadu_ps(reinterpret_cast<const float *>(q + k * record_size));
        probe = _mm256_or_ps(probe, _mm256_mul_ps(v[k], zero));
      }
      transpose8(v);  // v[k]: dimension j + k
      for (int k = 0; k < 8; ++k) {
        double *c = columns + static_cast<size_t>(j + k) * stride + r;
        _mm256_storeu_pd(c, _mm256_cvtps_pd(_mm256_castps256_ps128(v[k])));
        _mm256_storeu_pd(c + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(v[k], 1)));
      }
    }
    for (; j < dim; ++j) {
      for (size_t k = 0; k < 8; ++k) {
        float item;
        std::memcpy(&item, p + k * record_size + j * sizeof(float), sizeof item);
        rest_finite = rest_finite && std::isfinite(item);
        columns[static_cast<size_t>(j) * stride + r + k] = item;
      }
    }
  }
  *finite = rest_finite &&
            _mm256_movemask_ps(_mm256_cmp_ps(probe, probe, _CMP_UNORD_Q)) == 0;
  return r;
}

__attribute__((target("avx"))) size_t columns_to_floats_avx(
    const double *columns, size_t stride, size_t n, int dim,
    unsigned char *block, size_t record_size, bool *finite) {
  const __m256d zero = _mm256_setzero_pd();
  __m256d probe = zero;
  bool rest_finite = true;
  size_t r = 0;
  for (; r + 8 <= n; r += 8) {
    unsigned char *p = block + r * record_size;
    int j = 0;
    for (; j + 8 <= dim; j += 8) {
      __m256 v[8];
      for (int k = 0; k < 8; ++k) {
        const double *c = columns + static_cast<size_t>(j + k) * stride + r;
        const __m256d lo = _mm256_loadu_pd(c), hi = _mm256_loadu_pd(c + 4);
        probe = _mm256_or_pd(probe, _mm256_or_pd(_mm256_mul_pd(lo, zero), _mm256_mul_pd(hi, zero)));
        v[k] = _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
      }
      transpose8(v);  // v[k]: record r + k
      unsigned char *q = p + static_cast<size_t>(j) * sizeof(float);
      for (int k = 0; k < 8; ++k) {
        _mm256_storeu_ps(reinterpret_cast<float *>(q + k * record_size), v[k]);
      }
    }
    for (; j < dim; ++j) {
      for (size_t k = 0; k < 8; ++k) {
        const double d = columns[static_cast<size_t>(j) * stride + r + k];
        rest_finite = rest_finite && std::isfinite(d);
        const float item = static_cast<float>(d);
        std::memcpy(p + k * record_size + j * sizeof(float), &item, sizeof item);
      }
    }
  }
  *finite = rest_finite && _mm256_movemask_pd(_mm256_cmp_pd(probe, probe, _CMP_UNORD_Q)) == 0;
  return r;
}

const bool has_avx512 = [] {
  __builtin_cpu_init();  // before main: not yet done by the runtime
  return __builtin_cpu_supports("avx512f") != 0;
}();
const bool has_avx = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx") != 0;
}();
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// `n` packed feature items to doubles, and doubles back to items (rounded
// as a single conversion each); float items sixteen or four at a time where
// AVX-512 or SSE2 is there, with the same results. items_to_doubles tells
// whether every item is finite, so that a block without NaN or infinity
// needs no other scan.
template <typename T>
inline bool items_to_doubles(const unsigned char *items, double *out,
                             size_t n) {
  size_t i = 0;
  bool finite = true;
#if defined(__SSE2__)
  if constexpr (std::is_same_v<T, float>) {
    const float *f = reinterpret_cast<const float *>(items);
    if (has_avx512) i = floats_to_doubles_avx512(f, out, n, &finite);
    const __m128 zero = _mm_setzero_ps();
    __m128 probe = zero;
    for (; i + 4 <= n; i += 4) {
      const __m128 v = _mm_loadu_ps(f + i);
      probe = _mm_add_ps(probe, _mm_mul_ps(v, zero));
      _mm_storeu_pd(out + i, _mm_cvtps_pd(v));
      _mm_storeu_pd(out + i + 2, _mm_cvtps_pd(_mm_movehl_ps(v, v)));
    }
    finite = finite && _mm_movemask_ps(_mm_cmpunord_ps(probe, probe)) == 0;
  }
#endif
  for (; i < n; ++i) {
    T item;
    std::memcpy(&item, items + i * sizeof(T), sizeof(T));
    out[i] = static_cast<double>(item);
    if constexpr (!std::is_integral_v<T>) finite = finite && std::isfinite(item);
  }
  return finite;
}

template <typename T>
inline void store_feature(unsigned char *p, double v);

template <typename T>
inline void doubles_to_items(const double *in, unsigned char *items,
                             size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  if constexpr (std::is_same_v<T, float>) {
    float *f = reinterpret_cast<float *>(items);
    if (has_avx512) i = doubles_to_floats_avx512(in, f, n);
    for (; i + 4 <= n; i += 4) {
      const __m128 lo = _mm_cvtpd_ps(_mm_loadu_pd(in + i));
      const __m128 hi = _mm_cvtpd_ps(_mm_loadu_pd(in + i + 2));
      _mm_storeu_ps(f + i, _mm_movelh_ps(lo, hi));
    }
  }
#endif
  for (; i < n; ++i) store_feature<T>(items + i * sizeof(T), in[i]);
}

// Stores one result in a record's feature slot.
template <typename T>
inline void store_feature(unsigned char *p, double v) {
  T item;
  if constexpr (std::is_integral_v<T>) {
    item = fv_double_to_int32(v);
  } else {
    item = static_cast<T>(v);
  }
  std::memcpy(p, &item, sizeof(T));
}

// Float records to and from columns of doubles, in tiles of eight records
// by eight dimensions where AVX is there, then of four by four (a
// transposition in registers): the first n - n % 4 records, when there are
// four dimensions or more; the others go one item at a time. The
// conversions are those of one item at a time. Each tells how many of the
// first records are known to be finite (their floats read, or their doubles
// written back), which spares those records a scan.
template <typename T>
constexpr bool float_tiles(size_t n, int dim) {
#if defined(__SSE2__)
  return std::is_same_v<T, float> && n >= 4 && dim >= 4;
#else
  return false;
#endif
}

#if defined(__SSE2__)
size_t floats_to_columns(const unsigned char *block, size_t record_size,
                         size_t n, int dim, double *columns, size_t stride,
                         size_t *finite_records) {
  size_t r = 0;
  *finite_records = 0;
  if (has_avx && dim >= 8) {
    bool finite = false;
    r = floats_to_columns_avx(block, record_size, n, dim, columns, stride,
                                 &finite);
    if (finite) *finite_records = r;
  }
  for (; r + 4 <= n; r += 4) {
    const unsigned char *p = block + r * record_size;
    int j = 0;
    for (; j + 4 <= dim; j += 4) {
      const unsigned char *q = p + static_cast<size_t>(j) * sizeof(float);
      __m128 v[4];
      for (int k = 0; k < 4; ++k) {
        v[k] = _mm_loadu_ps(reinterpret_cast<const float *>(q + k * record_size));
      }
      _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]);  // v[k]: dimension j + k
      for (int k = 0; k < 4; ++k) {
        double *c = columns + static_cast<size_t>(j + k) * stride + r;
        _mm_storeu_pd(c, _mm_cvtps_pd(v[k]));
        _mm_storeu_pd(c + 2, _mm_cvtps_pd(_mm_movehl_ps(v[k], v[k])));
      }
    }
    for (; j < dim; ++j) {
      for (size_t k = 0; k < 4; ++k) {
        float item;
        std::memcpy(&item, p + k * record_size + j * sizeof(float), sizeof item);
        columns[static_cast<size_t>(j) * stride + r + k] = item;
      }
    }
  }
  return r;
}

size_t columns_to_floats(const double *columns, size_t stride, size_t n,
                         int dim, unsigned char *block, size_t record_size,
                         size_t *finite_records) {
  size_t r = 0;
  *finite_records = 0;
  if (has_avx && dim >= 8) {
    bool finite = false;
    r = columns_to_floats_avx(columns, stride, n, dim, block, record_size,
                                 &finite);
    if (finite) *finite_records = r;
  }
  for (; r + 4 <= n; r += 4) {
    unsigned char *p = block + r * record_size;
    int j = 0;
    for (; j + 4 <= dim; j += 4) {
      __m128 v[4];
      for (int k = 0; k < 4; ++k) {
        const double *c = columns + static_cast<size_t>(j + k) * stride + r;
        v[k] = _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(c)),
                             _mm_cvtpd_ps(_mm_loadu_pd(c + 2)));
      }
      _MM_TRANSPOSE4_PS(v[0], v[1], v[2], v[3]);  // v[k]: record r + k
      unsigned char *q = p + static_cast<size_t>(j) * sizeof(float);
      for (int k = 0; k < 4; ++k) {
        _mm_storeu_ps(reinterpret_cast<float *>(q + k * record_size), v[k]);
      }
    }
    for (; j < dim; ++j) {
      for (size_t k = 0; k < 4; ++k) {
        store_feature<float>(p + k * record_size + j * sizeof(float),
                             columns[static_cast<size_t>(j) * stride + r + k]);
      }
    }
  }
  return r;
}
#else
size_t floats_to_columns(const unsigned char *, size_t, size_t, int, double *,
                         size_t, size_t *finite_records) {
  *finite_records = 0;
  return 0;
}
size_t columns_to_floats(const double *, size_t, size_t, int, unsigned char *,
                         size_t, size_t *finite_records) {
  *finite_records = 0;
  return 0;
}
#endif

// The records of a chunk, a group of dimensions after the other: the
// instances of a group run through their delay lines sequentially, which
// keeps long windows fast when there are many dimensions (record by record,
// the long delay lines of all dimensions compete for the cache and the
// memory streams), and lets the library's runs (moving means, extremes)
// take a column at a time at every width. Eight dimensions at a time give
// the processor independent work to overlap, since each instance's samples
// depend on each other, while the hardware prefetcher keeps up with their
// lines. The results and the conversions' warnings are the same as record
// by record; only the warnings that instances print per sample come
// grouped by group of dimensions within a block of records instead of
// interleaved. Kept out of line: inlined into the rest of the program, its
// transposing loops were compiled a sixth slower.
template <typename T>
__attribute__((noinline)) void process_records_by_dimension(
    loop_state *st, fv_info *in_info, fv_info *out_info, unsigned char *buf,
    size_t count, size_t record_size) {
  // Blocks of records small enough that the columns of all dimensions stay
  // in cache; the column stride is padded off a power of two.
  // Never more rows than records at hand: the columns of a huge dimension
  // grow with the records read, not with the header.
  const size_t kBlock = std::min<size_t>(1024, count), kStride = kBlock + 8;
  constexpr int kGroup = 8;
  const int dim = st->dim;
  const size_t needed = kStride * static_cast<size_t>(dim);
  double *cin = st->doubles.get<double>(2 * needed);
  double *cout = cin + needed;
  double *vec = st->vec.data();
  double *outvec = st->outvec.data();
  const auto process_columns = st->entry->process_columns;
  for (size_t first = 0; first < count; first += kBlock) {
    const size_t n = std::min(kBlock, count - first);
    unsigned char *block = buf + first * record_size;
    size_t finite_in = 0, finite_out = 0;
    for (size_t r = float_tiles<T>(n, dim) ? floats_to_columns(block, record_size, n, dim, cin, kStride, &finite_in) : 0;
         r < n; ++r) {
      const unsigned char *p = block + r * record_size;
      for (int j = 0; j < dim; ++j) {
        T item;
        std::memcpy(&item, p + j * sizeof(T), sizeof(T));
        cin[static_cast<size_t>(j) * kStride + r] = static_cast<double>(item);
      }
    }
    // Pieces that end before a record whose input warns, so that the
    // conversions' warnings come in the order of record by record: the
    // outputs' of the records before it, then its input's.
    // A block in one piece has its outputs checked after their conversion
    // back, which tells which are finite; nothing comes in between.
    size_t r = 0;
    bool r_checked = false, check_after = false;
    while (r < n) {
      size_t e = n;
      if constexpr (!std::is_integral_v<T>) {
        const size_t from = r + (r_checked ? 1 : 0);
        e = from + first_unwarned(in_info, cin + from, kStride, dim, n - from,
                                  finite_in > from ? finite_in - from : 0);
      }
      for (int j = 0; j < dim; j += kGroup) {
        const size_t offset = static_cast<size_t>(j) * kStride + r;
        process_columns(st->instances + j, std::min(kGroup, dim - j), e - r,
                        cin + offset, kStride, cout + offset);
      }
      if (r == 0 && e == n) {
        check_after = true;
      } else {
        check_block(out_info, cout + r, kStride, dim, e - r, outvec,
                    "double_to_fv");
      }
      if (e < n) {
        for (int j = 0; j < dim; ++j) vec[j] = cin[static_cast<size_t>(j) * kStride + e];
        fv_check_values(in_info, vec, dim, "fv_to_double");
      }
      r = e;
      r_checked = true;
    }
    for (size_t r = float_tiles<T>(n, dim) ? columns_to_floats(cout, kStride, n, dim, block, record_size, &finite_out) : 0;
         r < n; ++r) {
      unsigned char *p = block + r * record_size;
      for (int j = 0; j < dim; ++j) {
        store_feature<T>(p + j * sizeof(T),
                         cout[static_cast<size_t>(j) * kStride + r]);
      }
    }
    if (check_after) {
      check_block(out_info, cout + finite_out, kStride, dim, n - finite_out,
                  outvec, "double_to_fv");
    }
  }
}

// Runs records [first, end) of a block held row by row through the
// instances; a record with a NaN or infinite result is followed at once by
// the output conversion's warning, as record by record.
inline void run_rows(loop_state *st, fv_info *out_info, const double *in,
                     double *out, size_t first, size_t end) {
  const size_t dim = static_cast<size_t>(st->dim);
  while (first < end) {
    const bool check = !(out_info->did_warn_NAN && out_info->did_warn_INF);
    first += st->entry->process_rows(st->instances, st->dim, end - first,
                                     in + first * dim, out + first * dim,
                                     check);
    if (check) {
      fv_check_values(out_info, out + (first - 1) * dim, st->dim,
                      "double_to_fv");
    }
  }
}

// Converts, processes and converts back `count` records of `record_size`
// bytes in place: the output record has the input's layout, so its class
// number and additional data are already where they belong. Blocks of
// records are converted, scanned for NaN and infinity and run through the
// instances at once; the warnings come in the same order as record by record
// (an input's before the record is processed, an output's right after it).
template <typename T>
void process_records(loop_state *st, fv_info *in_info, fv_info *out_info,
                     unsigned char *buf, size_t count, size_t record_size) {
  if (count == 0) return;
  if (st->by_dimension) {
    process_records_by_dimension<T>(st, in_info, out_info, buf, count,
                                    record_size);
    return;
  }
  const size_t dim = static_cast<size_t>(st->dim);
  const size_t block = dim == 1 ? one_dimensional_block(st->settings->size)
                                : std::max<size_t>(1, kRowBlock / dim);
  double *in = st->doubles.get<double>(2 * block * dim);
  double *out = in + block * dim;
  for (size_t first = 0; first < count; first += block) {
    const size_t n = std::min(block, count - first);
    unsigned char *records = buf + first * record_size;
    bool finite = false;  // known to hold no NaN or infinity
    if (record_size == dim * sizeof(T)) {
      finite = items_to_doubles<T>(records, in, n * dim);
    } else {
      for (size_t r = 0; r < n; ++r) {
        const unsigned char *p = records + r * record_size;
        for (size_t j = 0; j < dim; ++j) {
          T item;
          std::memcpy(&item, p + j * sizeof(T), sizeof(T));
          in[r * dim + j] = static_cast<double>(item);
        }
      }
    }
    // Records [r, s) are ready to run: record r's input has been checked
    // when `r_checked`, and none of the others needs a warning.
    size_t r = 0;
    bool r_checked = false;
    while (r < n) {
      size_t s = r + (r_checked ? 1 : 0);
      if constexpr (!std::is_integral_v<T>) {
        s = finite ? n : s + fv_find_unwarned(in_info, in + s * dim, (n - s) * dim) / dim;
      } else {
        s = n;
      }
      run_rows(st, out_info, in, out, r, s);
      if (s < n) {
        fv_check_values(in_info, in + s * dim, st->dim, "fv_to_double");
      }
      r = s;
      r_checked = true;
    }
    if (record_size == dim * sizeof(T)) {
      doubles_to_items<T>(out, records, n * dim);
    } else {
      for (size_t r2 = 0; r2 < n; ++r2) {
        unsigned char *p = records + r2 * record_size;
        for (size_t j = 0; j < dim; ++j) {
          store_feature<T>(p + j * sizeof(T), out[r2 * dim + j]);
        }
      }
    }
  }
}

// Chunks of records go past stdio's buffers, in one system call each: a
// read through them takes two (the buffer's refill and the rest), and so
// does a write. The bytes stdio holds already come first; the output's
// header, flushed, too. Both give back an errno value (0 when all went
// well), so that whoever reports it does so in the stream's order.

// Reads `bytes` from standard input into p, fewer only at its end or on an
// error; *got is the bytes read. glibc's FILE tells what its buffer holds
// (nothing here pushes bytes back into it, which would move them to a
// buffer of their own).
int read_chunk(unsigned char *p, size_t bytes, size_t *got) {
  *got = 0;
#if defined(__GLIBC__)
  const size_t held =
      static_cast<size_t>(stdin->_IO_read_end - stdin->_IO_read_ptr);
  *got = std::fread(p, 1, std::min(held, bytes), stdin);
  while (*got < bytes && !std::ferror(stdin)) {
    const ssize_t n = ::read(STDIN_FILENO, p + *got, bytes - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
#else
  *got = std::fread(p, 1, bytes, stdin);
#endif
  return 0;
}

int write_chunk(const unsigned char *p, size_t bytes) {
  if (std::fflush(stdout) != 0) return errno;
  while (bytes > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, p, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    p += n;
    bytes -= static_cast<size_t>(n);
  }
  return 0;
}

// Ends the program with `who` and the error `err`, unless it is 0.
void unless_ok(int err, const char *who) {
  if (err == 0) return;
  errno = err;
  fatal_system_error(who);
}

// The chunk pipeline of a long sequence: while the main thread computes a
// chunk, a thread of its own writes the chunk before and then reads the one
// after into the same room, so that the system's copying overlaps the
// computing. The main thread hands over one job at a time (start) and waits
// for it (finish) before it touches that room or standard input or output
// again; `m_` guards the job and its result, which each side writes in turn.
class chunk_pipeline {
 public:
  struct result {
    size_t got = 0;       // bytes read
    int read_error = 0;   // errno values, 0 for none
    int write_error = 0;
  };
  chunk_pipeline() : thread_([this] { serve(); }) {}
  chunk_pipeline(const chunk_pipeline &) = delete;
  chunk_pipeline &operator=(const chunk_pipeline &) = delete;
  ~chunk_pipeline() {
    {
      std::lock_guard<std::mutex> lock(m_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  // Writes `wbytes` from w (none when 0), then reads `rbytes` into r unless
  // the write failed.
  void start(const unsigned char *w, size_t wbytes, unsigned char *r,
             size_t rbytes) {
    {
      std::lock_guard<std::mutex> lock(m_);
      job_ = {w, wbytes, r, rbytes};
      busy_ = true;
    }
    cv_.notify_all();
  }
  result finish() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return !busy_; });
    return result_;
  }

 private:
  struct job {
    const unsigned char *w;
    size_t wbytes;
    unsigned char *r;
    size_t rbytes;
  };
  void serve() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      cv_.wait(lock, [this] { return busy_ || quit_; });
      if (!busy_) return;
      const job j = job_;
      lock.unlock();
      result r;
      r.write_error = j.wbytes > 0 ? write_chunk(j.w, j.wbytes) : 0;
      if (r.write_error == 0) r.read_error = read_chunk(j.r, j.rbytes, &r.got);
      lock.lock();
      result_ = r;
      busy_ = false;
      cv_.notify_all();
    }
  }
  std::mutex m_;
  std::condition_variable cv_;
  job job_{};
  result result_;
  bool busy_ = false, quit_ = false;
  std::thread thread_;  // last: starts once the rest is ready
};

// Records to read next, of `remaining`: a chunk, or (with --flush) up to
// the vector after which standard output is flushed.
size_t next_want(const loop_state *st, int64_t remaining, size_t chunk) {
  size_t want = static_cast<size_t>(std::min<int64_t>(remaining, chunk));
  if (st->flush_stdout > 0) {
    const long long to_flush =
        st->flush_stdout - st->n_vectors_global % st->flush_stdout;
    want = std::min<size_t>(want, static_cast<size_t>(to_flush));
  }
  return want;
}

// Whole records in bulk for streams whose records all have the same size.
// Reads never go past the sequence's last record, so the next header is
// read by the fv library from the same stream. With --flush, reads end at
// the vectors after which standard output is flushed, and reading and
// writing wait for the computing; without it, sequences of more than two
// chunks overlap them (chunk_pipeline). Errors are reported in the order of
// the stream: a read's after the chunks before it are written.
void process_sequence_bulk(loop_state *st, fv_sequence *seq,
                           fv_sequence *outseq) {
  fv_info *in_info = seq->info;
  fv_info *out_info = outseq->info;
  const size_t feature_bytes =
      static_cast<size_t>(in_info->dim) * static_cast<size_t>(in_info->itemsize);
  const size_t class_bytes =
      in_info->labelling == FV_LABELLING_CLASS_NUMBER ? 4 : 0;
  const size_t record_size =
      feature_bytes + class_bytes + static_cast<size_t>(in_info->adata_len);
  // Chunks of 256 KiB, the cheapest to read and write one after the other;
  // in the pipeline, of 1 MiB, fewer hand-overs from thread to thread.
  const size_t piped = std::max<size_t>(1, (size_t{1} << 20) / record_size);
  const bool overlap = st->flush_stdout == 0 &&
                       seq->n_expected > 2 * static_cast<int64_t>(piped);
  const size_t chunk =
      overlap ? piped : std::max<size_t>(1, (size_t{1} << 18) / record_size);
  unsigned char *buf = st->chunk.get<unsigned char>(chunk * record_size);
  std::optional<chunk_pipeline> io;
  unsigned char *other = nullptr;  // the pipeline's room
  if (overlap) {
    other = st->chunk_ahead.get<unsigned char>(chunk * record_size);
    io.emplace();
  }
  size_t pending = 0;  // bytes of `other` still to be written

  int64_t remaining = seq->n_expected;
  size_t want = next_want(st, remaining, chunk);
  size_t got = 0;
  int err = read_chunk(buf, want * record_size, &got);
  for (;;) {
    if (err != 0) {
      if (pending > 0) unless_ok(write_chunk(other, pending), "fv_write");
      unless_ok(err, "fv_read");
    }
    const size_t full = got / record_size;
    const int64_t left = remaining - static_cast<int64_t>(full);
    const size_t then =
        io && full == want && left > 0 ? next_want(st, left, chunk) : 0;
    if (full > 0) start_output(st);
    if (then > 0) {
      if (std::fflush(stdout) != 0) unless_ok(errno, "fv_write");
      io->start(other, pending, other, then * record_size);
    }
    switch (in_info->datatype) {
      case FV_FLOAT:
        process_records<float>(st, in_info, out_info, buf, full,
                               record_size);
        break;
      case FV_DOUBLE:
        process_records<double>(st, in_info, out_info, buf, full,
                                record_size);
        break;
      default:
        process_records<int32_t>(st, in_info, out_info, buf, full,
                                 record_size);
        break;
    }
    if (then > 0) {
      const chunk_pipeline::result r = io->finish();
      unless_ok(r.write_error, "fv_write");
      got = r.got;
      err = r.read_error;
      pending = full * record_size;
      std::swap(buf, other);
    } else {
      if (pending > 0) unless_ok(write_chunk(other, pending), "fv_write");
      pending = 0;
      if (full > 0) unless_ok(write_chunk(buf, full * record_size), "fv_write");
    }
    st->n_vectors_global += static_cast<long long>(full);
    remaining = left;
    if (full > 0 && st->flush_stdout > 0 &&
        st->n_vectors_global % st->flush_stdout == 0) {
      std::fflush(stdout);
    }
    if (full < want) {
      // The record after the last complete one is cut short: report the
      // field as the vector reader does.
      if (std::ferror(stdin)) fatal_system_error("fv_read");
      const size_t partial = got - full * record_size;
      const char *what =
          partial < feature_bytes
              ? "%s error: unexpected end of file when reading features\n"
          : partial < feature_bytes + class_bytes
              ? "%s error: unexpected end of file when reading class number!\n"
              : "%s error: unexpected end of file when reading adata!\n";
      std::fprintf(stderr, what, "fv_read");
      std::exit(1);
    }
    if (remaining == 0) break;
    if (then == 0) {
      want = next_want(st, remaining, chunk);
      err = read_chunk(buf, want * record_size, &got);
    } else {
      want = then;
    }
  }
}

bool has_fixed_records(const fv_info *info) {
  return std::endian::native == std::endian::little && info->dim > 0 &&
         info->labelling != FV_LABELLING_LABEL_STRING &&
         (info->datatype == FV_FLOAT || info->datatype == FV_DOUBLE ||
          info->datatype == FV_INT32);
}

void create_instances(loop_state *st) {
  const glide_settings *s = st->settings;
  const int dim = st->dim;
  st->created = true;
  st->vec.assign(static_cast<size_t>(dim), 0.0);
  st->outvec.assign(static_cast<size_t>(dim), 0.0);
  const function_entry *entry = glide_find_code(s->function);
  if (entry == nullptr || entry->create == nullptr) {
    fatal_error("%s error: unknown function number %d!\n", GLIDE_STATS,
                s->function);
  }
  st->instances = static_cast<void **>(
      std::calloc(static_cast<size_t>(std::max(dim, 1)), sizeof(void *)));
  if (st->instances == nullptr) {
    if (errno == 0) errno = ENOMEM;
    fatal_system_error(GLIDE_STATS);
  }
  for (int j = 0; j < dim; ++j) st->instances[j] = entry->create(s, j);
  // Dimension by dimension once the delay lines of all dimensions together
  // (about width * dim doubles) no longer fit into the cache, or where the
  // library's runs are faster than records one by one.
  st->by_dimension =
      dim > 1 && (entry->by_dimension ||
                  (entry->keeps_window &&
                   static_cast<long long>(s->size) * dim > 32768));
}

void run_stream(const function_entry *entry, const glide_settings *s) {
  // Never destroyed: when an error ends the program, the chunk pipeline's
  // thread may still be copying into its rooms.
  static loop_state &st = *new loop_state;
  st.entry = entry;
  st.flush_stdout = s->flush_stdout;
  st.settings = s;
  long long sequences_read = 0;
  for (;;) {
    fv_sequence *seq = fv_sequence_create_from_header(stdin);
    if (seq == nullptr) {
      if (sequences_read == 0) {
        std::fprintf(stderr, "%s warning: zero length input.\n", GLIDE_STATS);
      }
      return;
    }
    if (seq->n_expected == -1) {
      fatal_error("%s error: online processing not yet implemented!\n",
                  GLIDE_STATS);
    }
    if (seq->n_expected < 0) {
      fatal_error("%s error: defect stream (n_expected = %d)!\n", GLIDE_STATS,
                  seq->n_expected);
    }
    const int dim = seq->info->dim;
    if (st.dim != 0 && dim != st.dim) {
      fatal_error("%s: dim changed!!!\n", GLIDE_STATS);
    }
    if (st.dim == 0) {
      st.dim = dim;
      std::free(st.instances);  // empty: a stream of dimension 0 came first
      st.instances = nullptr;
      st.created = false;
      if (s->coeffs != nullptr && s->coeffs->height != dim) {
        fatal_error(
            "%s error: when doing FIR filtering, the coefficient matrix must "
            "contain one row per dimension (%d). Actual number of rows: %d\n",
            GLIDE_STATS, dim, s->coeffs->height);
      }
    }
    if (entry->process_rows == nullptr || entry->process_columns == nullptr) {
      fatal_error("%s implementation error: unknown function number %d!\n",
                  GLIDE_STATS, s->function);
    }
    fv_sequence *outseq =
        fv_sequence_create_from_template(seq, seq->name, seq->n_expected);
    if (st.created || seq->n_expected == 0) {
      fv_sequence_write_header(outseq, stdout);
    } else {
      st.pending_header = outseq;
    }
    if (has_fixed_records(seq->info)) {
      process_sequence_bulk(&st, seq, outseq);
    } else {
      process_sequence_generic(&st, seq, outseq);
    }
    fv_sequence_delete(seq);
    fv_sequence_delete(outseq);
    ++sequences_read;
  }
}

}  // namespace

int main(int argc, char **argv) {
  fv_exit_when_memory_runs_out(GLIDE_STATS);
  static glide_settings s;  // holds the coefficient matrix until exit
  long width = -1;
  int c;
  while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) !=
         -1) {
    switch (c) {
      case 'h':
        print_help();
        return 0;
      case OPT_VERBOSE:
        verbose = 1;
        break;
      case OPT_NOSHARP:
        sharp = 0;
        break;
      case 'f': {
        const function_entry *e = glide_find_function(optarg);
        if (e == nullptr) {
          fatal_error("%s error: unknown function %s!\n", GLIDE_STATS, optarg);
        }
        s.function = e->code;
        break;
      }
      case 'w':
        width = std::atol(optarg);
        break;
      case 'e':
        s.exponent = std::atof(optarg);
        break;
      case 'r':
        s.rate = std::atof(optarg);
        std::fprintf(stderr, "rate given = %f\n", s.rate);
        break;
      case 'u':
        s.minmax_updates = std::atoi(optarg);
        break;
      case 's':
        s.samplerate = std::atoi(optarg);
        s.samplerate_changed = 1;
        break;
      case 'W':
        s.peak_width = std::atoi(optarg);
        break;
      case 'R':
        s.peak_regression_width = std::atoi(optarg);
        break;
      case 'M':
        s.peak_max = std::atoi(optarg);
        break;
      case 'T':
        s.peak_threshold = std::atof(optarg);
        break;
      case '1':
        s.hr_mf_threshold = std::atof(optarg);
        break;
      case '2':
        s.hr_mf_rising_factor = std::atof(optarg);
        break;
      case 'b':
        s.peak_minimum_bpm = std::atof(optarg);
        break;
      case 'B':
        s.peak_maximum_bpm = std::atof(optarg);
        break;
      case 'D':
        s.peak_debug = optarg;
        break;
      case 'c':
        if (s.coeffs != nullptr) cmatrix_delete(s.coeffs);
        s.coeffs = read_coefficients(optarg);
        break;
      case 'F':
        s.frequency = std::atof(optarg);
        break;
      case 'S':
        s.frequency_start = std::atof(optarg);
        break;
      case 'E':
        s.frequency_end = std::atof(optarg);
        break;
      case 't':
        s.transition = std::atof(optarg);
        break;
      case 'P':
        s.eps = std::atof(optarg);
        break;
      case 'l':
        s.prod_rect_floor = std::atof(optarg);
        break;
      case 'H':
        s.flush_stdout = std::atoi(optarg);
        break;
      default:
        // getopt_long has named the offending option.
        std::fprintf(stderr, "%s: see '%s --help' for the options.\n",
                     GLIDE_STATS, GLIDE_STATS);
        return 1;
    }
  }

  if (verbose) std::fprintf(stderr, "verbose flag is set.\n");
  moving_pseudomedian_gauss_debug = verbose;
  if (optind < argc) {
    std::fprintf(stderr, "non-option ARGV-elements: ");
    while (optind < argc) std::fprintf(stderr, "%s ", argv[optind++]);
    std::fprintf(stderr, "\n");
  }
  if (s.function == MW_UNDEF) {
    fatal_error("%s: please give option --function!\n", GLIDE_STATS);
  }
  const function_entry *entry = glide_find_code(s.function);

  if (s.samplerate_changed) {
    std::fprintf(stderr, "using samplerate %f Hz.\n", s.samplerate);
  } else {
    std::fprintf(stderr, "using default samplerate %f Hz.\n", s.samplerate);
  }

  if (width > INT_MAX || width < INT_MIN) {
    fatal_error("%s error: width %ld is out of range (at most %d samples)!\n",
                GLIDE_STATS, width, INT_MAX);
  }
  s.size = static_cast<int>(width);
  if (s.size != -1) check_width(entry, s.size);

  s.alpha = compute_alpha_corresponding_rectangle(s.size, 1.0);
  std::fprintf(stderr, "width = %d samples -> alpha = %f = 1 - %g\n", s.size,
               s.alpha, 1.0 - s.alpha);

  // Function-specific defaults and checks (filter orders included).
  if (entry->setup != nullptr) entry->setup(&s);

  if (s.size == -1 && s.function != FIR) {
    fatal_error("%s: please give option --width!\n", GLIDE_STATS);
  }
  check_width(entry, s.size);
  std::fprintf(stderr, "%s: size = %d\n", GLIDE_STATS, s.size);

  run_stream(entry, &s);
  if (std::fflush(stdout) != 0) fatal_system_error("fv_write");
  return 0;
}
