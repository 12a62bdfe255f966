// The runs (moving_mean_run and the like) against one call per sample: the
// same values, the same warnings, a stop right after each NaN or infinity.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "fex.h"
#include "recursive_internal.h"
#include "reference.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// A record of each kind behind one interface: per-sample step, state (the
// value first, then the outputs of its parts), run.
struct Kind {
  const char *name;
  void (*init)(void *p, int size, int k);
  void (*step)(void *p, double x);
  std::vector<double> (*state)(const void *p);
  size_t (*run)(void *p, const double *in, double *out, size_t n);
  void (*free)(void *p);
};

template <class R>
R *as(void *p) { return static_cast<R *>(p); }
template <class R>
const R *as(const void *p) { return static_cast<const R *>(p); }

const Kind kKinds[] = {
    {"mean", [](void *p, int s, int) { moving_mean_params_init(as<moving_mean_params>(p), s); },
     [](void *p, double x) { moving_mean(as<moving_mean_params>(p), x); },
     [](const void *p) { return std::vector<double>{as<moving_mean_params>(p)->value}; },
     [](void *p, const double *i, double *o, size_t n) { return moving_mean_run(as<moving_mean_params>(p), i, o, n); },
     [](void *p) { moving_mean_params_free(as<moving_mean_params>(p)); }},
    {"stddev", [](void *p, int s, int) { moving_stddev_params_init(as<moving_stddev_params>(p), s); },
     [](void *p, double x) { moving_stddev_instantaneous(as<moving_stddev_params>(p), x); },
     [](const void *p) {
       const auto *d = as<moving_stddev_params>(p);
       return std::vector<double>{d->stddev_instantaneous, d->variance_instantaneous, d->mean.value, d->square.value};
     },
     [](void *p, const double *i, double *o, size_t n) { return moving_stddev_instantaneous_run(as<moving_stddev_params>(p), i, o, n); },
     [](void *p) { moving_stddev_params_free(as<moving_stddev_params>(p)); }},
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
};

// The same bits, or both NaN: which NaN an operation on two NaNs hands on
// is up to the compiler's order of the operands.
bool same(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Random samples with ties, signed zeros, NaN, infinities, values whose
// squares overflow and pairs whose sum does, one in `rate` of each; `offset`
// makes the variance cancel (its warning). Samples are multiples of
// 1 / `quantum`: 0.2 makes windows whose largest value is a zero of either
// sign common, 1e9 sums that round (and drift until resynchronised).
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

TEST(Runs, MatchOneCallPerSample) {
  alignas(16) unsigned char a[512], b[512];
  std::mt19937 gen(5);
  for (const Kind &kind : kKinds) {
    // The deviation's divisions and square roots in every vector width.
    const int narrowest = std::strcmp(kind.name, "stddev") ? 3 : 0;
    for (int width = 3; width >= narrowest; --width) {
      if (fex_internal::wide_width(width) != width) continue;
      for (int size : {1, 2, 3, 7, 64, 700}) {
        // Dense faults in short runs; rare ones in runs of many windows.
        for (int k : {0, 1, 4, 9, -1}) {
          const bool sparse = k < 0;
          if (sparse) k = 4;
          const bool extremes = !std::strcmp(kind.name, "max") || !std::strcmp(kind.name, "min");
          if (k != 4 && !extremes) continue;
          SCOPED_TRACE(testing::Message() << kind.name << " size " << size << " k " << k << " sparse " << sparse
                                          << " vector width " << width);
          const auto x = hostile_stream(sparse ? 40000 : 4000, size * 10 + k + sparse, size == 700 ? 1e6 : 0.0,
                                        sparse ? 8000 : 200, !sparse ? 4 : extremes ? 0.2 : 1e9);
          CaptureStderr();  // k = 0 warns
          kind.init(a, size, k);
          kind.init(b, size, k);
          GetCapturedStderr();
          std::vector<double> expected(x.size()), got(x.size());
          CaptureStderr();
          for (size_t t = 0; t < x.size(); ++t) {
            kind.step(a, x[t]);
            expected[t] = kind.state(a)[0];
          }
          const std::string step_warnings = GetCapturedStderr();
          CaptureStderr();
          for (size_t t = 0; t < x.size();) {
            const size_t want = std::min<size_t>(1 + gen() % (sparse ? 20000 : 300), x.size() - t);
            const size_t took = kind.run(b, &x[t], &got[t], want);
            ASSERT_GE(took, 1u);
            ASSERT_LE(took, want);
            // A run stops only right after a NaN or an infinity.
            for (size_t i = t; i + 1 < t + took; ++i) ASSERT_TRUE(std::isfinite(got[i])) << i;
            ASSERT_TRUE(took == want || !std::isfinite(got[t + took - 1]));
            t += took;
          }
          EXPECT_EQ(GetCapturedStderr(), step_warnings);
          for (size_t t = 0; t < x.size(); ++t) ASSERT_TRUE(same(expected[t], got[t])) << t;
          const auto left = kind.state(a), right = kind.state(b);
          for (size_t i = 0; i < left.size(); ++i) ASSERT_TRUE(same(left[i], right[i])) << "state " << i;
          // The state a run leaves behind carries on as the calls' does.
          for (double v : hostile_stream(1500, 99, 0.0)) {
            kind.step(a, v);
            kind.step(b, v);
            ASSERT_TRUE(same(kind.state(a)[0], kind.state(b)[0]));
          }
          kind.free(a);
          kind.free(b);
        }
      }
    }
  }
  fex_internal::wide_width(3);
}

// moving_stddev_instantaneous_rows against one call per sample, row by row:
// values, warnings, each record's state, and what follows.
TEST(Runs, StddevRowsMatchOneCallPerSample) {
  std::mt19937 gen(8);
  for (int width = 3; width >= 0; --width) {
    if (fex_internal::wide_width(width) != width) continue;
    for (int dim : {1, 3, 17}) {
      for (int size : {1, 7, 64, 700}) {
        SCOPED_TRACE(testing::Message() << "dim " << dim << " size " << size << " vector width " << width);
        const size_t rows = 3000;
        const auto x = hostile_stream(rows * dim, size + dim, size == 700 ? 1e6 : 0.0, 2000, 1e9);
        std::vector<moving_stddev_params> a(dim), b(dim);
        std::vector<moving_stddev_params *> pb(dim);
        for (int j = 0; j < dim; ++j) {
          moving_stddev_params_init(&a[j], size);
          moving_stddev_params_init(&b[j], size);
          pb[j] = &b[j];
        }
        std::vector<double> expected(x.size()), got(x.size());
        CaptureStderr();
        for (size_t t = 0; t < x.size(); ++t) {
          moving_stddev_instantaneous(&a[t % dim], x[t]);
          expected[t] = a[t % dim].stddev_instantaneous;
        }
        const std::string step_warnings = GetCapturedStderr();
        CaptureStderr();
        for (size_t r = 0; r < rows;) {
          const size_t want = std::min<size_t>(1 + gen() % 400, rows - r);
          const size_t took = moving_stddev_instantaneous_rows(pb.data(), dim, &x[r * dim], &got[r * dim], want);
          ASSERT_GE(took, 1u);
          ASSERT_LE(took, want);
          bool finite = true;
          for (size_t i = (r + took - 1) * dim; i < (r + took) * dim; ++i) finite = finite && std::isfinite(got[i]);
          ASSERT_TRUE(took == want || !finite);
          r += took;
        }
        EXPECT_EQ(GetCapturedStderr(), step_warnings);
        for (size_t t = 0; t < x.size(); ++t) ASSERT_TRUE(same(expected[t], got[t])) << t;
        for (int j = 0; j < dim; ++j) {
          const auto left = kKinds[1].state(&a[j]), right = kKinds[1].state(&b[j]);
          for (size_t i = 0; i < left.size(); ++i) ASSERT_TRUE(same(left[i], right[i])) << "state " << i;
          for (double v : hostile_stream(300, 98, 0.0)) {
            moving_stddev_instantaneous(&a[j], v);
            moving_stddev_instantaneous(&b[j], v);
            ASSERT_TRUE(same(a[j].stddev_instantaneous, b[j].stddev_instantaneous));
          }
          moving_stddev_params_free(&a[j]);
          moving_stddev_params_free(&b[j]);
        }
      }
    }
  }
  fex_internal::wide_width(3);
}

}  // namespace
