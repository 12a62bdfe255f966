// The runs (moving_mean_run and the like, and the deviation's rows of
// several dimensions) against one call per sample: the same values, the
// same warnings, a stop right after each NaN or infinity.
#include <cfloat>

#include "fex.h"
#include "recursive_internal.h"
#include "reference.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// A record of each kind behind one interface: per-sample step, state (the
// value first, then the outputs and sums of its parts), run, and runs over
// columns and over rows of several records where there are.
struct Kind {
  const char *name;
  void (*init)(void *p, int size, int k);
  void (*step)(void *p, double x);
  std::vector<double> (*state)(const void *p);
  size_t (*run)(void *p, const double *in, double *out, size_t n);
  void (*free)(void *p);
  void (*columns)(void *const *p, int ncols, const double *in, size_t stride, double *out, size_t n) = nullptr;
  size_t (*rows)(void *const *p, int dim, const double *in, double *out, size_t n) = nullptr;
  int min_size = 1;
  bool nan_signs = false;  // the run's NaNs have the step's signs
};

template <class R>
R *as(void *p) { return static_cast<R *>(p); }
template <class R>
const R *as(const void *p) { return static_cast<const R *>(p); }

const Kind kKinds[] = {
    {"mean", [](void *p, int s, int) { moving_mean_params_init(as<moving_mean_params>(p), s); },
     [](void *p, double x) { moving_mean(as<moving_mean_params>(p), x); },
     [](const void *p) { return std::vector<double>{as<moving_mean_params>(p)->value, as<moving_mean_params>(p)->delayed.value}; },
     [](void *p, const double *i, double *o, size_t n) { return moving_mean_run(as<moving_mean_params>(p), i, o, n); },
     [](void *p) { moving_mean_params_free(as<moving_mean_params>(p)); },
     [](void *const *p, int n, const double *i, size_t stride, double *o, size_t count) {
       moving_mean_columns(reinterpret_cast<moving_mean_params *const *>(p), n, i, stride, o, count);
     }},
    {"stddev", [](void *p, int s, int) { moving_stddev_params_init(as<moving_stddev_params>(p), s); },
     [](void *p, double x) { moving_stddev_instantaneous(as<moving_stddev_params>(p), x); },
     [](const void *p) {
       const auto *d = as<moving_stddev_params>(p);
       return std::vector<double>{d->stddev_instantaneous, d->variance_instantaneous, d->mean.value, d->square.value,
                                  d->mean.delayed.value, d->mean.sum, d->mean.new_sum, d->square.sum, d->square.new_sum};
     },
     [](void *p, const double *i, double *o, size_t n) { return moving_stddev_instantaneous_run(as<moving_stddev_params>(p), i, o, n); },
     [](void *p) { moving_stddev_params_free(as<moving_stddev_params>(p)); },
     [](void *const *p, int n, const double *i, size_t stride, double *o, size_t count) {
       moving_stddev_instantaneous_columns(reinterpret_cast<moving_stddev_params *const *>(p), n, i, stride, o, count);
     },
     [](void *const *p, int dim, const double *i, double *o, size_t n) {
       std::vector<moving_stddev_params *> records(dim);
       for (int j = 0; j < dim; ++j) records[j] = as<moving_stddev_params>(p[j]);
       return moving_stddev_instantaneous_rows(records.data(), dim, i, o, n);
     }},
    {"max", [](void *p, int s, int k) { moving_max_params_init(as<moving_minmax_params>(p), s, k); },
     [](void *p, double x) { moving_max(as<moving_minmax_params>(p), x); },
     [](const void *p) { return std::vector<double>{as<moving_minmax_params>(p)->value}; },
     [](void *p, const double *i, double *o, size_t n) { return moving_max_run(as<moving_minmax_params>(p), i, o, n); },
     [](void *p) { moving_max_params_free(as<moving_minmax_params>(p)); }},
    {"min", [](void *p, int s, int k) { moving_max_params_init(as<moving_minmax_params>(p), s, k); },
     [](void *p, double x) { moving_min(as<moving_minmax_params>(p), x); },
     [](const void *p) { return std::vector<double>{as<moving_minmax_params>(p)->value}; },
     [](void *p, const double *i, double *o, size_t n) { return moving_min_run(as<moving_minmax_params>(p), i, o, n); },
     [](void *p) { moving_max_params_free(as<moving_minmax_params>(p)); }},
    {"regression", [](void *p, int s, int) { moving_regression_params_init(as<moving_regression_params>(p), s); },
     [](void *p, double x) { moving_regression(as<moving_regression_params>(p), x); },
     [](const void *p) {
       const auto *r = as<moving_regression_params>(p);
       return std::vector<double>{r->value, r->weighted_sum, r->weighted_sum_update, r->mean.sum, r->mean.new_sum,
                                  r->mean.value, r->delayed.value, double(r->update_collected),
                                  double(r->mean.new_sum_collected), double(r->delayed.bufpos)};
     },
     [](void *p, const double *i, double *o, size_t n) { return moving_regression_run(as<moving_regression_params>(p), i, o, n); },
     [](void *p) { moving_regression_params_free(as<moving_regression_params>(p)); }, nullptr, nullptr, 2, true},
};

// The same bits, or both NaN: which NaN an operation on two NaNs hands on
// is up to the compiler's order of the operands, unless the code pins it
// (`bits`).
bool same(double a, double b, bool bits = false) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (!bits && std::isnan(a) && std::isnan(b));
}

// Random samples with ties, signed zeros, NaN, infinities, values whose
// squares overflow and pairs whose sum does, one in `rate` of each; `offset`
// makes the variance cancel (its warning). Samples are multiples of
// 1 / `quantum`: 0.2 makes windows whose largest value is a zero of either
// sign common, 0.1 every sample such a zero (but the rare ones above), 1e9
// sums that round (and drift until resynchronised).
std::vector<double> hostile_stream(size_t n, unsigned seed, double offset,
                                   unsigned rate = 200, double quantum = 4) {
  std::mt19937 gen(seed);
  auto x = ref::random_stream(n, seed);
  for (size_t t = 0; t < n; ++t) {
    double &v = x[t];
    v = std::round(v * quantum) / quantum + offset;
    switch (gen() % rate) {
      case 5: v = 1e308; if (t + 1 < n) x[++t] = 1e308; break;
      case 0: v = NAN; break;
      case 1: v = INFINITY; break;
      case 2: v = -INFINITY; break;
      case 3: v = 1e200; break;
      case 4: v = -0.0; break;
    }
  }
  return x;
}

std::vector<std::string> sorted_lines(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(Runs, MatchOneCallPerSample) {
  alignas(16) static unsigned char a[17][512], b[17][512];
  void *rows_of[17];
  for (int j = 0; j < 17; ++j) rows_of[j] = b[j];
  std::mt19937 gen(5);
  for (const Kind &kind : kKinds) {
    // The deviation's divisions and square roots, and the mean's groups, in every vector width.
    const int narrowest = kind.rows == nullptr && std::strcmp(kind.name, "mean") ? fex_internal::kWidest : 0;
    for (int width = fex_internal::kWidest; width >= narrowest; --width) {
      if (fex_internal::wide_width(width) != width) continue;
      for (int dim : {1, 3, 17}) {
        if (dim > 1 && kind.rows == nullptr) continue;
        for (int size : {1, 2, 3, 7, 64, 700, 40000}) {
          if (size < kind.min_size) continue;
          // Dense faults in short runs; rare ones in runs of many windows, with sums that round (-1) or not (-2).
          for (int k : {0, 1, 4, 9, -1, -2}) {
            const bool sparse = k < 0, exact = k == -2;
            if (sparse) k = 4;
            const bool extremes = !std::strcmp(kind.name, "max") || !std::strcmp(kind.name, "min");
            if (k != 4 && !extremes) continue;
            SCOPED_TRACE(testing::Message() << kind.name << " size " << size << " k " << k << " sparse " << sparse
                                            << " exact " << exact << " vector width " << width << " dim " << dim);
            // Windows longer than the pieces of lanes of whole windows take (the lanes of one window, in
            // AVX-512); an infinity near the end, since a window of non-finite sums is one call a sample.
            const bool long_windows = size > 1000;
            if (long_windows && (!sparse || dim > 1 || width < fex_internal::kWidest || extremes)) continue;
            const size_t rows = (long_windows ? 3 * size : sparse ? 40000 : 4000) / dim;
            auto x = hostile_stream(rows * dim, size * 10 + k + sparse + dim, size >= 700 ? 1e6 : 0.0,
                                    long_windows ? 1000000000 : sparse ? 8000 : 200,
                                    !sparse || exact ? 4 : !extremes ? 1e9 : size < 64 ? 0.2 : 0.1);
            if (extremes && sparse) {
              // Windows of nothing but the lowest value, then a NaN and one more: runs that start from an
              // estimate that is not finite.
              const double low = std::strcmp(kind.name, "max") ? INFINITY : -INFINITY;
              std::fill(x.begin(), x.begin() + 2 * size, low);
              x[2 * size] = NAN;
              x[2 * size + 1] = low;
            }
            if (long_windows) {
              // Windows of one value, whose variances cancel to below zero in places (their warning), then an
              // infinity near the end.
              std::fill(x.begin() + size, x.begin() + 5 * size / 2, 12345678.9);
              x[x.size() - 500] = INFINITY;
            }
            if (kind.nan_signs) {  // NaNs of both signs a window apart: a sum of two hands on one of them
              for (size_t t = x.size() / 3; t < std::min(x.size(), x.size() / 3 + 3 * size); ++t) {
                x[t] = t % 3 ? NAN : -NAN;
              }
            }
            CaptureStderr();  // k = 0 warns
            for (int j = 0; j < dim; ++j) {
              kind.init(a[j], size, k);
              kind.init(b[j], size, k);
            }
            for (int ahead = exact && dim == 17 ? 3 : 0; ahead > 0; --ahead) {  // the last record out of step
              kind.step(a[dim - 1], ahead);
              kind.step(b[dim - 1], ahead);
            }
            GetCapturedStderr();
            std::vector<double> expected(x.size()), got(x.size());
            std::vector<std::vector<double>> states(x.size());
            CaptureStderr();
            for (size_t t = 0; t < x.size(); ++t) {
              kind.step(a[t % dim], x[t]);
              states[t] = kind.state(a[t % dim]);
              expected[t] = states[t][0];
            }
            const std::string step_warnings = GetCapturedStderr();
            CaptureStderr();
            for (size_t r = 0; r < rows;) {
              size_t want = std::min<size_t>(1 + gen() % ((sparse ? 20000 : 300) / dim), rows - r);
              if (long_windows && want % 2) want -= want % 64;  // half the calls whole lanes of eight
              want = std::max<size_t>(want, 1);
              double *y = &got[r * dim];
              // Each call's samples on their own, after NaNs: the samples before them are the state's to give.
              std::vector<double> call(1024, NAN);
              call.insert(call.end(), x.begin() + r * dim, x.begin() + (r + want) * dim);
              const size_t took = dim == 1 ? kind.run(b[0], &call[1024], y, want)
                                           : kind.rows(rows_of, dim, &call[1024], y, want);
              ASSERT_GE(took, 1u);
              ASSERT_LE(took, want);
              // A run stops only right after a NaN or an infinity.
              for (size_t i = 0; i + dim < took * dim; ++i) ASSERT_TRUE(std::isfinite(y[i])) << r * dim + i;
              bool finite = true;
              for (size_t i = (took - 1) * dim; i < took * dim; ++i) finite = finite && std::isfinite(y[i]);
              ASSERT_TRUE(took == want || !finite);
              r += took;
              // The state after each call, as after its last sample.
              for (int j = 0; j < dim; ++j) {
                const auto left = states[(r - 1) * dim + j], right = kind.state(b[j]);
                for (size_t i = 0; i < left.size(); ++i) ASSERT_TRUE(same(left[i], right[i], kind.nan_signs)) << "state " << i;
              }
            }
            EXPECT_EQ(GetCapturedStderr(), step_warnings);
            for (size_t t = 0; t < x.size(); ++t) ASSERT_TRUE(same(expected[t], got[t], kind.nan_signs)) << t;
            for (int j = 0; j < dim; ++j) {
              // The state a run leaves behind carries on as the calls' does.
              for (double v : hostile_stream(1500 / dim, 99, 0.0)) {
                kind.step(a[j], v);
                kind.step(b[j], v);
                ASSERT_TRUE(same(kind.state(a[j])[0], kind.state(b[j])[0], kind.nan_signs));
              }
              kind.free(a[j]);
              kind.free(b[j]);
            }
          }
        }
      }
    }
  }
  fex_internal::wide_width(fex_internal::kWidest);
}

// Moving means and deviations over columns, side by side where they step together, against one call per sample:
// the same values, warnings and states after every call. Mixed sizes never step together, nor does a column that
// took a few samples more; calls short beside the window go side by side.
TEST(Runs, ColumnsMatchOneCallPerSample) {
  alignas(16) static unsigned char a[9][512], b[9][512];
  void *records[9];
  std::mt19937 gen(11);
  for (const Kind &kind : kKinds) {
    if (kind.columns == nullptr) continue;
    // Side by side where the mean's groups do not guess, one after another where they do; the deviations
    // divided and in both widths that prove their quotients.
    for (int width : {1, 3, fex_internal::kWidest}) {
      fex_internal::wide_width(width);
      for (int ncols : {1, 4, 9}) {
        for (int size : {1, 7, 700, -1}) {
          SCOPED_TRACE(testing::Message() << kind.name << ": " << ncols << " columns of size " << size
                                          << " vector width " << width);
          const size_t count = 6000, stride = count + 3;
          std::vector<double> x(stride * ncols), expected(x.size()), got(x.size());
          for (int c = 0; c < ncols; ++c) {
            const int w = size > 0 ? size : 300 + c % 2;
            kind.init(a[c], w, 0);
            kind.init(b[c], w, 0);
            records[c] = b[c];
            for (int extra = c == 8 ? 5 : 0; extra > 0; --extra) {  // the ninth out of step
              kind.step(a[c], extra);
              kind.step(b[c], extra);
            }
            // Sums that round, and at the largest width, variances that cancel (their warning).
            const auto column = hostile_stream(count, 7 * c + w, size == 700 ? 1e6 : 0.0, 2000, 1e9);
            std::copy(column.begin(), column.end(), x.begin() + c * stride);
          }
          std::vector<std::vector<double>> states(x.size());
          CaptureStderr();
          for (int c = 0; c < ncols; ++c) {
            for (size_t t = 0; t < count; ++t) {
              kind.step(a[c], x[c * stride + t]);
              states[c * stride + t] = kind.state(a[c]);
              expected[c * stride + t] = states[c * stride + t][0];
            }
          }
          const std::string step_warnings = GetCapturedStderr();
          CaptureStderr();
          for (size_t t = 0; t < count;) {
            const size_t want = std::min<size_t>(1 + gen() % 1500, count - t);
            kind.columns(records, ncols, &x[t], stride, &got[t], want);
            t += want;
            for (int c = 0; c < ncols; ++c) {
              const std::vector<double> state = kind.state(b[c]);
              for (size_t i = 0; i < state.size(); ++i) {
                ASSERT_TRUE(same(states[c * stride + t - 1][i], state[i])) << "column " << c << " state " << i;
              }
            }
          }
          // Each record warns once, in the order the calls come to it.
          EXPECT_EQ(sorted_lines(GetCapturedStderr()), sorted_lines(step_warnings));
          for (int c = 0; c < ncols; ++c) {
            for (size_t t = 0; t < count; ++t) {
              ASSERT_TRUE(same(expected[c * stride + t], got[c * stride + t])) << c << " " << t;
            }
            kind.free(a[c]);
            kind.free(b[c]);
          }
        }
      }
    }
  }
  fex_internal::wide_width(fex_internal::kWidest);
}

TEST(Runs, FinitePrefixStopsAtTheFirstNaNOrInfinity) {
  const double finite[] = {DBL_MAX, -0.0, 5e-324, -1.0};
  for (int width = fex_internal::kWidest; width >= 0; --width) {
    if (fex_internal::wide_width(width) != width) continue;
    for (double bad : {NAN, INFINITY, -INFINITY}) {
      for (size_t count : {0, 1, 31, 32, 33, 100}) {
        for (size_t at = 0; at <= count; ++at) {
          std::vector<double> v(count + 1);
          for (size_t i = 0; i <= count; ++i) v[i] = finite[i % 4];
          v[at] = bad;  // at == count: past the range
          EXPECT_EQ(fex_internal::finite_prefix(v.data(), count), at) << width << " " << bad << " " << count;
        }
      }
    }
  }
  fex_internal::wide_width(fex_internal::kWidest);
}

}  // namespace

// The quotients that AVX2 with FMA and AVX-512 take without dividing: over random sums of every exponent, the
// rounded quotient is proven nearly always where it is normal and far from the extremes, and its neighbours never;
// the deviations from such sums equal those from the divisions to the bit, zeros and their signs included, where
// some lanes of a group are not proven too.
TEST(Runs, QuotientsWithoutDividingAreTheRoundedOnes) {
  double probe[8] = {}, candidate[8] = {};
  if (fex_internal::proven_quotients(3, probe, candidate, 1.0) < 0) GTEST_SKIP() << "no AVX2 with FMA";
  std::mt19937_64 gen(5);
  const double specials[] = {0.0, -0.0, 5e-324, -DBL_MIN, DBL_MAX, 0x1p-890, -0x1p890, 1.0, -3.0, NAN, INFINITY};
  for (int width = 3; fex_internal::wide_width(width) == width; ++width) {
    for (double size : {1.0, 3.0, 7.0, 10.0, 1000.0, 4099.0, 100000.0, 2147483647.0}) {
      SCOPED_TRACE(testing::Message() << size << " vector width " << width);
      size_t in_range = 0, proven = 0;
      for (int round = 0; round < 4000; ++round) {
        double s[8], q[3][8];
        for (int u = 0; u < 8; ++u) {
          const uint64_t bits = gen();
          s[u] = round % 4 == 0 ? specials[bits % 11] * (bits % 3 == 0 ? size : 1.0) : 0.0;
          if (round % 4 != 0) std::memcpy(&s[u], &bits, 8);
          if (round % 4 == 1) {  // quotients near powers of two
            s[u] = std::ldexp(size, static_cast<int>(bits % 64) - 32);
            for (int step = static_cast<int>(bits >> 60); step > 0; --step) s[u] = std::nextafter(s[u], bits & 64 ? 0.0 : INFINITY);
          }
          q[0][u] = s[u] / size;
          q[1][u] = std::nextafter(q[0][u], INFINITY);
          q[2][u] = std::nextafter(q[0][u], -INFINITY);
        }
        for (int k = 0; k < 3; ++k) {
          const int mask = fex_internal::proven_quotients(width, s, q[k], size);
          for (int u = 0; u < 8; ++u) {
            const bool taken = (mask >> u & 1) != 0, normal = std::fabs(q[0][u]) >= 0x1p-890 && std::fabs(q[0][u]) <= 0x1p890;
            if (k > 0) {
              ASSERT_FALSE(taken && q[k][u] != q[0][u]) << s[u] << " / " << size << " neighbour " << k;
            } else {
              in_range += normal;
              proven += normal && taken;
            }
          }
        }
        // The deviations from those quotients, the first group's sums as above, the second's all from the specials.
        double sd[16], sums[16], squares[16];
        for (int u = 0; u < 16; ++u) {
          sums[u] = u < 8 ? s[u] : specials[gen() % 9];
          if (!(std::fabs(sums[u] / size) <= 0x1p400)) sums[u] = 0x1p400;  // squares that do not overflow
          const double mean = sums[u] / size;
          squares[u] = u % 3 == 0 ? 0x1p890 : mean * mean * size * static_cast<double>(2 + gen() % 5);
          if (squares[u] == 0.0 && u % 2 == 1) squares[u] = -0.0;  // a deviation of -0
        }
        if (size == 10.0) {  // a subnormal quotient that the product's correction gets wrong: not proven
          sums[15] = 0.0;
          squares[15] = 0x1.45b8c40ce4253p-1022;
        }
        ASSERT_EQ(fex_internal::clean_deviations(sums, squares, sd, 16, size), 16u);
        for (int u = 0; u < 16; ++u) {
          const double mean = sums[u] / size, square = squares[u] / size;
          ASSERT_TRUE(same(sd[u], std::sqrt(square - mean * mean))) << sums[u] << " " << squares[u] << " / " << size;
        }
      }
      EXPECT_GT(proven, in_range * 99 / 100);
    }
  }
  fex_internal::wide_width(fex_internal::kWidest);
}
