// Delay lines, moving means, products, cascades, deviations, normalisation,
// the change measures, and the exponential statistics against their
// recurrences.
#include "fex.h"
#include "reference.h"
#include "stepper.h"
#include "testsupport.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr double kTol = 1e-9;

// Delay lines of every size, of doubles and of any item, through warm-up,
// wrapping and a reset; long lines live in their own mapped pages: both
// sides of that boundary.
TEST(DelayLine, RandomStreamsMatchIndexing) {
  for (int size : {0, 1, 2, 3, 7, 64, 16383, 16384, 40000}) {
    const auto x = ref::random_stream(std::max(size * 5 / 2, 500), 1);
    delay_params d;
    delay_any_params a;
    delay_params_init(&d, size);
    delay_any_params_init(&a, size, sizeof(double));
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t t = 0; t < x.size(); ++t) {
        delay(&d, x[t]);
        delay_any(&a, &x[t]);
        double out;
        std::memcpy(&out, a.value, sizeof out);
        const bool valid = t >= static_cast<size_t>(size);
        ASSERT_EQ(d.value, valid ? x[t - size] : x[0]) << size << " " << t;
        ASSERT_EQ(out, d.value) << size << " " << t;
        ASSERT_EQ(delay_params_is_valid(&d), valid);
        ASSERT_EQ(delay_any_params_is_valid(&a), valid);
        if (size > 100 && t % 97) continue;
        for (int i = 0; i <= std::min<int>(size, t); ++i) {
          ASSERT_EQ(delay_params_get_n_ago(&d, i), x[t - i]) << size << " " << t;
          if (size > 100) continue;
          delay_any_params_get_n_ago(&a, i + (size == 0 ? 4 : 0), &out);
          ASSERT_EQ(out, x[t - i]) << size << " " << t << " " << i;
        }
      }
      std::vector<double> hist(size);
      delay_params_get_history(&d, hist.data());  // oldest first
      EXPECT_TRUE(std::equal(hist.begin(), hist.end(), x.end() - size));
      delay_params_reset(&d);
      delay_any_params_reset(&a);
    }
    delay_params_free(&d);
    delay_any_params_free(&a);
  }
}

// Lines from 128 KiB to 2 MiB share huge pages: lines made among others,
// filled side by side and freed in a shuffled order keep their own samples.
TEST(DelayLine, LinesSharingPagesKeepTheirOwnSamples) {
  struct Line {
    delay_params d;
    double id;
    size_t fed = 0;
  };
  std::mt19937 rng(5);
  std::vector<std::unique_ptr<Line>> lines;
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 5; ++k) {
      lines.push_back(std::make_unique<Line>());
      const int size = std::uniform_int_distribution<int>(16384, 262200)(rng);
      delay_params_init(&lines.back()->d, size);
      lines.back()->id = 1e7 * (round * 5 + k);
    }
    for (int t = 0; t <= 262200; ++t) {
      for (auto &l : lines) delay(&l->d, l->id + static_cast<double>(l->fed++));
    }
    for (auto &l : lines) {
      std::vector<double> hist(static_cast<size_t>(l->d.size));
      delay_params_get_history(&l->d, hist.data());
      for (size_t j = 0; j < hist.size(); ++j) {
        ASSERT_EQ(hist[j], l->id + static_cast<double>(l->fed - hist.size() + j));
      }
    }
    std::shuffle(lines.begin(), lines.end(), rng);
    for (size_t k = 0; k < lines.size() / 2; ++k) delay_params_free(&lines[k]->d);
    lines.erase(lines.begin(), lines.begin() + static_cast<ptrdiff_t>(lines.size() / 2));
  }
  for (auto &l : lines) delay_params_free(&l->d);
}

TEST(DelayLineDeathTest, ReadingThePastTooEarlyOrTooFarIsFatal) {
  delay_params d, e;
  delay_any_params a;
  moving_mean_params mm;
  moving_product_params p;
  delay_params_init(&d, 3);
  delay_any_params_init(&a, 2, sizeof(float));
  moving_mean_params_init(&mm, 4);
  moving_mean(&mm, 1);
  float v;
  const std::string history = "delay_params_get_history error: haven't seen enough values yet!";
  ref::expect_refusals({
      {[&] { delay_params_get_n_ago(&d, 0); }, "delay_params_get_n_ago error: haven't seen any value yet!"},
      {[&] { delay_any_params_get_n_ago(&a, 0, &v); }, "haven't seen any value yet!"},
      {[&] { delay(&d, 1); delay(&d, 2); delay_params_get_n_ago(&d, 2); },
       "delay_params_get_n_ago error: cannot access the 2-last value (num_collected = 2, size = 3)!"},
      {[&] { for (float f : {1.f, 2.f, 3.f}) delay_any(&a, &f); delay_any_params_get_n_ago(&a, 3, &v); },
       "cannot access the 3-last value (num_collected = 3, size = 2)"},
      {[&] { delay_params_get_history(&d, nullptr); }, history},
      {[&] { moving_mean_debug_inputwindow(&mm, nullptr); }, history},
  });
  EXPECT_DEATH(delay_params_get_n_ago(&d, -1), "Assertion `i >= 0' failed");
  EXPECT_DEATH(delay_params_init(&e, -1), "Assertion `size >= 0' failed");
  EXPECT_DEATH(moving_mean_params_init(&mm, 0), "Assertion `size != 0' failed");
  EXPECT_DEATH(moving_product_params_init(&p, 0), "Assertion `size != 0' failed");
  delay_params_free(&d);
  delay_any_params_free(&a);
  moving_mean_params_free(&mm);
}

// Every windowed statistic against its brute-force reference: one table of
// statistics, run over several widths, through warm-up, resynchronisation
// and a reset (the second pass must repeat the first).
#define LIB(F, ...) [](int s) { return STEPPER(F, __VA_ARGS__); }

using Stream = std::vector<double>;
using Reference = std::function<Stream(const Stream &, int)>;
using Recurrence = std::function<Stream(const Stream &, double)>;  // of alpha

// f(window, width) for the window up to each sample.
Reference windowed(double (*f)(const Stream &, int)) {
  return [f](const Stream &x, int size) {
    Stream y(x.size());
    for (size_t t = 0; t < x.size(); ++t) y[t] = f(ref::window(x, t, size), size);
    return y;
  };
}

// term(difference to the previous sample), the first difference taken as 0
// (as every term of 0 is).
Stream changes(const Stream &x, double (*term)(double) = nullptr) {
  Stream d(x.size());
  for (size_t t = 1; t < x.size(); ++t) d[t] = term ? term(x[t] - x[t - 1]) : x[t] - x[t - 1];
  return d;
}

// The change measures: their terms of the difference to the previous sample,
// of which they take window means (over width - 1) or exponential means.
const struct {
  void (*moving)(moving_delta_params *, double);
  void (*sliding)(double, sliding_delta_params *);
  double (*term)(double);
} kChanges[] = {
    {moving_abschange, sliding_abschange, [](double d) { return std::fabs(d); }},
    {moving_absrise, sliding_absrise, [](double d) { return d > 0 ? d : 0; }},
    {moving_absfall, sliding_absfall, [](double d) { return d < 0 ? -d : 0; }},
    {moving_sqchange, sliding_sqchange, [](double d) { return d * d; }},
    {moving_sqrise, sliding_sqrise, [](double d) { return d > 0 ? d * d : 0; }},
    {moving_sqfall, sliding_sqfall, [](double d) { return d < 0 ? d * d : 0; }},
};

// Mean of the excesses over the window mean (each taken with the mean when
// its sample came) to the power e, over the samples above it.
Reference pseudomax(double e) {
  return [e](const Stream &x, int size) {
    Stream excess(x.size()), above(x.size()), y(x.size());
    for (size_t t = 0; t < x.size(); ++t) {
      const double m = ref::mean(ref::window(x, t, size));
      above[t] = x[t] > m;
      excess[t] = x[t] > m ? std::pow(x[t] - m, e) : 0.0;
      const double se = ref::mean(ref::window(excess, t, size)), sa = ref::mean(ref::window(above, t, size));
      y[t] = sa == 0 ? NAN : std::pow(se / sa, 1 / e) + m;
    }
    return y;
  };
}

// Steps of 8 / (pi * width) window deviations toward each sample; with
// `refresh` a second tracker, started at the window mean, replaces it every
// width samples.
Reference pseudomedian(bool refresh) {
  return [refresh](const Stream &x, int size) {
    Stream y(x.size());
    double value = 0, update = 0;
    int n_update = 0;
    for (size_t t = 0; t < x.size(); ++t) {
      const auto w = ref::window(x, t, size);
      const double step = 8 / M_PI / size * ref::stddev(w);
      auto toward = [&](double cur) { return x[t] > cur ? cur + step : x[t] < cur ? cur - step : cur; };
      value = t == 0 ? x[0] : toward(value);
      if (refresh && n_update == 0) {
        n_update = 1;
        update = ref::mean(w);
      } else if (refresh) {
        update = toward(update);
        if (n_update == size) value = update, n_update = 0;
        else ++n_update;
      }
      y[t] = value;
    }
    return y;
  };
}

// Weighted window means of the samples after the first, weighing the
// distance of each to the last value against `rate` window deviations: 1
// within, 0 beyond (hard), or a Gaussian of it; the sample itself when no
// weight is left.
Reference weighted_median(bool gauss, double rate) {
  return [gauss, rate](const Stream &x, int size) {
    Stream y(x.size(), x[0]), weight(x.size()), weighted(x.size());
    for (size_t t = 1; t < x.size(); ++t) {
      const double sd = ref::stddev(ref::window(x, t, size)), d = (x[t] - y[t - 1]) / (rate * sd);
      weight[t] = gauss ? (sd == 0 ? 1.0 : std::exp(-0.5 * d * d)) : rate * sd > std::fabs(x[t] - y[t - 1]);
      weighted[t] = weight[t] * x[t];
      const double sw = ref::mean(ref::window(weight, t, size));
      y[t] = sw != 0 ? ref::mean(ref::window(weighted, t, size)) / sw : x[t];
    }
    return y;
  };
}

double centre(const Stream &w) { return w[w.size() - 1 - w.size() / 2]; }

Stream cascade(Stream x, const std::vector<int> &sizes) {
  for (int s : sizes) x = ref::moving_mean(x, s);
  return x;
}

// Feeds x to s twice, with a reset between: each pass must give want (NaN
// where it is NaN) within tol, relative to 1 + |want| where `relative`.
void expect_stream(const std::string &name, const ref::Stepper &s, const Stream &x, const Stream &want, double tol,
                   bool relative = true) {
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t t = 0; t < x.size(); ++t) {
      const double got = s.step(x[t]), scale = relative ? 1 + std::fabs(want[t]) : 1.0;
      ASSERT_TRUE(std::isnan(want[t]) ? std::isnan(got) : std::fabs(got - want[t]) <= tol * scale)
          << name << " " << t << ": " << got << " instead of " << want[t];
    }
    s.reset();
  }
}

TEST(WindowStatistics, AgainstBruteForceOverWidthsAndAReset) {
  const Stream x = ref::random_stream(2000, 2);
  const struct {
    const char *name;
    int min_size;
    std::function<ref::Stepper(int)> make;
    Reference want;
    double tol;
  } rows[] = {
      {"mean", 1, LIB(moving_mean, s), [](const Stream &x, int s) { return ref::moving_mean(x, s); }, 1e-9},
      {"mean_fast", 1, [](int s) { return STEPPER_OF(moving_mean, moving_mean_fast, value, s); },
       [](const Stream &x, int s) { return ref::moving_mean(x, s); }, 1e-7},
      {"triangle", 1, LIB(moving_mean_triangle, s),
       [](const Stream &x, int s) { return cascade(x, {(s + 1) / 2, (s + 2) / 2}); }, 1e-9},
      {"bell", 1, LIB(moving_mean_bell, s, 0),
       [](const Stream &x, int s) { return cascade(x, {s / 3 + 1, s / 3 + 1, s - 2 * (s / 3)}); }, 1e-9},
      {"derivative", 2, LIB(moving_derivative, s),
       windowed([](const Stream &w, int s) { return (w.back() - ref::mean(w)) * 2 / (s - 1); }), 1e-9},
      {"derivative_symm", 2, LIB(moving_derivative_symm, s, 0),
       windowed([](const Stream &w, int s) { return (w.back() - w.front()) / (s - 1); }), 1e-9},
      {"derivative_symm old", 2, LIB(moving_derivative_symm, s, 1),
       windowed([](const Stream &w, int s) { return (w.back() - w.front()) / s; }), 1e-9},
      {"regression", 2, LIB(moving_regression, s), windowed([](const Stream &w, int) { return ref::slope(w); }), 1e-9},
      {"mean_normalize", 1, LIB(moving_mean_normalize, s),
       windowed([](const Stream &w, int) { return centre(w) - ref::mean(w); }), 1e-9},
      {"meanvariance_normalize", 2, LIB(moving_meanvariance_normalize, s),
       windowed([](const Stream &w, int) { return w.size() < 2 ? 0.0 : (centre(w) - ref::mean(w)) / ref::stddev(w); }),
       1e-5},
      {"pseudomax 1", 2, LIB(moving_pseudomax, s, 1.0), pseudomax(1.0), 1e-8},
      {"pseudomax 2", 2, LIB(moving_pseudomax, s, 2.0), pseudomax(2.0), 1e-8},
      // (A one-sample window has no deviation, the library's rounding noise
      // over 0; in short ones the weights underflow.)
      {"pseudomedian", 2, LIB(moving_pseudomedian, s, 0), pseudomedian(false), 1e-7},
      {"pseudomedian refreshed", 2, LIB(moving_pseudomedian, s, 1), pseudomedian(true), 1e-7},
      {"pseudomedian_stddev", 7, LIB(moving_pseudomedian_stddev, s, 1.5), weighted_median(false, 1.5), 1e-9},
      {"pseudomedian_gauss", 7, LIB(moving_pseudomedian_gauss, s, 1.5), weighted_median(true, 1.5), 1e-9},
  };
  for (int size : {1, 2, 3, 7, 31, 256}) {
    SCOPED_TRACE(testing::Message() << "width " << size);
    for (const auto &r : rows)
      if (size >= r.min_size) {
        CaptureStderr();  // sizes, empty means
        expect_stream(r.name, r.make(size), x, r.want(x, size), r.tol);
        GetCapturedStderr();
      }
    for (const auto &c : kChanges)
      if (size >= 2)
        expect_stream("delta", STEPPER_OF(moving_delta, c.moving, value, size),
                      x, ref::moving_mean(changes(x, c.term), size - 1), 1e-9);
  }
}

// y_0 = x_0, y_t = a y_(t-1) + (1 - a) x_t.
Stream exp_mean(const Stream &x, double a) {
  Stream y = x;
  for (size_t t = 1; t < y.size(); ++t) y[t] = a * y[t - 1] + (1 - a) * x[t];
  return y;
}

template <class F>
Stream each(Stream x, F f) {
  for (double &v : x) v = f(v);
  return x;
}

template <class F>
Stream zip(const Stream &a, const Stream &b, F f) {
  Stream y(a.size());
  for (size_t t = 0; t < y.size(); ++t) y[t] = f(a[t], b[t]);
  return y;
}

// Steps of step_t toward each sample from the first on; with `up_on_ties`
// up unless below, else none on a tie.
Stream stepped(const Stream &x, const Stream &step, bool up_on_ties) {
  Stream y = x;
  for (size_t t = 1; t < y.size(); ++t) {
    const double v = y[t - 1], s = step[t];
    y[t] = up_on_ties ? v + (x[t] >= v ? s : -s) : v + (x[t] > v ? s : x[t] < v ? -s : 0.0);
  }
  return y;
}

Stream mean_square(const Stream &x, double a) { return exp_mean(each(x, [](double v) { return v * v; }), a); }

// Mean square minus squared mean, 0 where rounding takes it below.
Stream variance(const Stream &x, double a) {
  return zip(mean_square(x, a), exp_mean(x, a), [](double e, double m) { return std::max(0.0, e - m * m); });
}

// The mean of the squared distances to the mean as it was at each sample.
Stream lagged_variance(const Stream &x, double a) {
  return exp_mean(zip(x, exp_mean(x, a), [](double v, double m) { return (v - m) * (v - m); }), a);
}

// Steps of (1 - a) lagged deviations, up on ties.
Stream lagged_median(const Stream &x, double a) {
  return stepped(x, each(lagged_variance(x, a), [a](double v) { return std::sqrt(v) * (1 - a); }), true);
}

// The median trackers step (1 - a) / (pi / 2 - 1) deviations.
Recurrence median(bool up_on_ties) {
  return [up_on_ties](const Stream &x, double a) {
    const double fac = (1 - a) / (M_PI / 2 - 1);
    return stepped(x, each(variance(x, a), [fac](double v) { return std::sqrt(v) * fac; }), up_on_ties);
  };
}

// The old soft mean and derivative: means for a_1 = alpha / (2 - alpha) and
// eps, 2 eps above it (eps = (1 - a_1) / 100), extrapolated and differenced.
Recurrence soft_old(bool derivative) {
  return [derivative](const Stream &x, double alpha) {
    const double a1 = alpha / (2 - alpha), eps = (1 - a1) / 100;
    const Stream mu = exp_mean(x, a1), me = exp_mean(x, a1 + eps), m2 = exp_mean(x, a1 + 2 * eps);
    Stream y(x.size());
    for (size_t t = 0; t < y.size(); ++t)
      y[t] = derivative ? (m2[t] + mu[t] - 2 * me[t]) * std::pow(a1 - 1, 3) / (2 * eps * eps)
                        : -mu[t] * (1 - a1) / eps + me[t] * (a1 - 1) * (a1 - 1) / eps / ((1 - a1) - eps);
    return y;
  };
}

// The new soft mean is the mean of the mean for 2 alpha - 1.
Stream soft_mean(const Stream &x, double alpha) { return exp_mean(exp_mean(x, 2 * alpha - 1), 2 * alpha - 1); }

Stream derivative(const Stream &x, double a) { return exp_mean(changes(x), a); }

Stream soft_derivative(const Stream &x, double alpha) { return derivative(soft_mean(x, alpha), 2 * alpha - 1); }

Stream regression_new(const Stream &x, double a) { return exp_mean(derivative(x, a), a); }

// The old regression: the difference of the means for alpha and alpha + eps
// (eps = (1 - alpha) / 100), times (1 - alpha)^2 / eps.
Stream regression_old(const Stream &x, double a) {
  const double eps = (1 - a) / 100, fac = (a - 1) * (a - 1) / eps;
  return zip(exp_mean(x, a), exp_mean(x, a + eps), [fac](double mu, double me) { return (mu - me) * fac; });
}

// An exponential statistic: its record P made for alpha (with the given
// delay where it has one), fed with step, giving get.
template <class P>
ref::Stepper sliding(void (*init)(P *, double), void (*step)(double, P *), void (*reset)(P *),
                     double (*get)(const P &), double alpha, double delay) {
  const auto p = std::make_shared<P>();
  init(p.get(), alpha);
  if constexpr (requires { p->delay; }) {
    EXPECT_EQ(p->delay, delay);
  }
  return {[=](double v) {
            step(v, p.get());
            return get(*p);
          },
          [=] { reset(p.get()); }};
}
// The statistic F (record F_params) for alpha; SLIDING_OF(F, STEP, ...) steps
// with another function.
#define SLIDING_OF(F, STEP, FIELD, delay)                                                            \
  [](double alpha) {                                                                                 \
    return sliding<F##_params>(F##_params_init, STEP, F##_params_reset,                              \
                               [](const F##_params &p) -> double { return p.FIELD; }, alpha, delay); \
  }
#define SLIDING(F, FIELD, delay) SLIDING_OF(F, F, FIELD, delay)

// Every exponential statistic against its recurrences, written as exponential
// means of derived streams, through a reset; the delay of each.
TEST(ExponentialStatistics, FollowTheirRecurrencesThroughAReset) {
  const Stream x = ref::random_stream(400, 9);
  const struct {
    const char *name;
    double alpha;
    std::function<ref::Stepper(double)> make;
    Recurrence want;
    double tol;
  } rows[] = {
      {"mean", 0.9, SLIDING(sliding_mean_variance_energy, mean, 10), exp_mean, 1e-12},
      {"mean alone", 0.9, SLIDING_OF(sliding_mean_variance_energy, sliding_mean, mean, 10), exp_mean, 1e-12},
      {"energy", 0.9, SLIDING(sliding_mean_variance_energy, energy, 10), mean_square, 1e-12},
      {"variance_lagged", 0.9, SLIDING(sliding_mean_variance_energy, variance_lagged, 10), lagged_variance, 1e-12},
      {"variance_instantaneous", 0.9, SLIDING(sliding_mean_variance_energy, variance_instantaneous, 10), variance,
       1e-9},
      {"median_lagged", 0.9, SLIDING(sliding_mean_variance_energy, median_lagged, 10), lagged_median, 1e-12},
      {"median new", 0.8, SLIDING(sliding_median_new, value, 2), median(false), 1e-9},
      {"median old", 0.8, SLIDING(sliding_median_old, value, 2), median(true), 1e-9},
      {"soft old mean", 0.9, SLIDING(sliding_soft_old, mean, 10), soft_old(false), 1e-8},
      {"soft old derivative", 0.9, SLIDING(sliding_soft_old, derivative, 10), soft_old(true), 1e-8},
      {"soft new mean", 0.75, SLIDING(sliding_soft_new, mean, 4), soft_mean, 1e-12},
      {"soft new derivative", 0.75, SLIDING(sliding_soft_new, derivative, 4), soft_derivative, 1e-12},
      {"test", 0.75, SLIDING(sliding_test, value, 0), soft_derivative, 1e-12},
      {"derivative", 0.8, SLIDING(sliding_derivative, value, 0), derivative, 1e-12},
      {"regression new derivative", 0.9, SLIDING(sliding_regression_new, derivative, 10), derivative, 1e-12},
      {"regression new", 0.9, SLIDING(sliding_regression_new, value, 10), regression_new, 1e-12},
      {"regression old", 0.9, SLIDING(sliding_regression_old, value, 9), regression_old, 1e-9},
  };
  CaptureStderr();
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    expect_stream(r.name, r.make(r.alpha), x, r.want(x, r.alpha), r.tol, false);
  }
  for (const auto &c : kChanges) {
    const ref::Stepper s = sliding<sliding_delta_params>(sliding_delta_params_init, c.sliding,
                                                         sliding_delta_params_reset,
                                                         [](const sliding_delta_params &p) { return p.value; }, 0.8, 5);
    expect_stream("delta", s, x, exp_mean(changes(x, c.term), 0.8), 1e-12, false);
  }
  // The new soft form (also inside the test function) says what it makes of alpha.
  const std::string soft = "sliding_soft_new_params_init: alpha_orig = 0.750000 -> alpha = 0.500000\n";
  EXPECT_EQ(GetCapturedStderr(),
            soft + soft + "sliding_test_params_init: alpha = 0.750000, alpha_1 = 0.500000\n" + soft);
  // A constant input leaves no variance: the median stays on it.
  sliding_median_params p;
  sliding_median_generic_params_init(&p, 0.9, 0);
  for (int i = 0; i < 50; ++i) sliding_median_generic(3.0, &p);
  EXPECT_EQ(p.value, 3.0);
}

TEST(MovingMean, ResynchronisationRemovesDrift) {
  // Large values followed by small ones: the running sum of the fast form
  // keeps the rounding residue, the resynchronised one is exact again.
  const ref::Stepper m = STEPPER(moving_mean, 4);
  for (int i = 0; i < 8; ++i) m.step(i % 2 ? 1e17 : -1e17);
  for (int i = 0; i < 7; ++i) m.step(0.25);
  EXPECT_EQ(m.step(0.25), 0.25);
}

TEST(MovingMeanInt32, TruncatesTowardZeroAndMatchesBruteForce) {
  std::mt19937 gen(3);
  std::uniform_int_distribution<int32_t> dist(-1000, 1000);
  for (int size : {1, 3, 16}) {
    moving_mean_int32_params m, f;
    moving_mean_int32_params_init(&m, size);
    moving_mean_int32_params_init(&f, size);
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<int32_t> x;
      for (int t = 0; t < 300; ++t) {
        x.push_back(dist(gen));
        moving_mean_int32(&m, x.back());
        moving_mean_int32_fast(&f, x.back());
        int64_t s = 0;
        const int len = std::min<int>(t + 1, size);
        for (int j = t + 1 - len; j <= t; ++j) s += x[j];
        ASSERT_EQ(m.value, static_cast<int32_t>(s / len)) << size << " " << t;
        ASSERT_EQ(f.value, m.value);
      }
      moving_mean_int32_params_reset(&m);
      moving_mean_int32_params_reset(&f);
    }
    moving_mean_int32_params_free(&m);
    moving_mean_int32_params_free(&f);
  }
}

// A zero anywhere since the window start restarts the warm-up.
TEST(MovingProduct, ZerosInTheWindow) {
  auto x = ref::random_stream(2000, 4, 0.5, 1.5);
  for (size_t t = 0; t < x.size(); t += 37) x[t] = 0.0;
  for (int size : {1, 3, 10}) {
    const ref::Stepper p = STEPPER(moving_product, size);
    for (size_t t = 0; t < x.size(); ++t) {
      const double got = p.step(x[t]);
      double want = t + 1 >= static_cast<size_t>(size);
      for (size_t j = t + 1 >= static_cast<size_t>(size) ? t + 1 - size : 0; j <= t; ++j) want *= x[j];
      ASSERT_NEAR(got, want, 1e-9 * std::fabs(want) + 1e-12) << size << " " << t;
    }
    p.reset();
    EXPECT_EQ(p.step(5.0), size == 1 ? 5.0 : 0.0);
  }
}

TEST(MovingMeanCascades, BellSizesAreReported) {
  const struct {
    int size, old_flag;
    const char *line;
  } cases[] = {
      {10, 1, "moving_mean_bell_params_init old: 10 -> 4, 4, 4\n"},
      {9, 1, "moving_mean_bell_params_init old: 9 -> 3, 3, 5\n"},
      {9, 0, "moving_mean_bell_params_init new: 9 -> 4, 4, 3\n"},
  };
  for (const auto &c : cases) {
    moving_mean_bell_params bell;
    CaptureStderr();
    moving_mean_bell_params_init(&bell, c.size, c.old_flag);
    EXPECT_EQ(GetCapturedStderr(), c.line);
    EXPECT_EQ(bell.delay, (c.size - 1) / 2);
    moving_mean_bell_params_free(&bell);
  }
}

// The mean square shares the mean's delay line, and the instantaneous-only
// step skips the lagged mean: both must give exactly what two independent
// moving means of x and x * x give (moving means are checked against brute
// force above), through warm-up, resynchronisation (several windows) and
// reset; the lagged deviation against brute force.
TEST(MovingStddev, BothDeviationsAndEnergyAgainstBruteForceAndExactMeans) {
  const auto x = ref::random_stream(3000, 8, -50.0, 70.0);
  for (int size : {1, 2, 3, 7, 200, 999}) {
    moving_stddev_params full, inst;
    moving_stddev_params_init(&full, size);
    moving_stddev_params_init(&inst, size);
    const ref::Stepper mean_of[2] = {STEPPER(moving_mean, size), STEPPER(moving_mean, size)};  // x, x * x
    for (int pass = 0; pass < 2; ++pass) {
      std::vector<double> sqdev(x.size());
      for (size_t t = 0; t < x.size(); ++t) {
        moving_stddev(&full, x[t]);
        moving_stddev_instantaneous(&inst, x[t]);
        const double m = mean_of[0].step(x[t]), sq = mean_of[1].step(x[t] * x[t]);
        ASSERT_EQ(full.square.value, sq) << size << " " << t;
        ASSERT_EQ(inst.square.value, sq) << size << " " << t;
        ASSERT_EQ(inst.mean.value, m);
        const double var = std::max(0.0, sq - m * m);
        ASSERT_EQ(full.variance_instantaneous, var);
        ASSERT_EQ(inst.variance_instantaneous, var);
        ASSERT_EQ(inst.stddev_instantaneous, full.stddev_instantaneous);
        if (pass) continue;
        // Lagged: window mean of the squared deviations from the mean at the
        // time each sample arrived.
        const double mean = ref::mean(ref::window(x, t, size));
        sqdev[t] = (mean - x[t]) * (mean - x[t]);
        const double lag = ref::mean(ref::window(sqdev, t, size));
        ASSERT_NEAR(full.variance_lagged, lag, 1e-8 * (1 + lag)) << size << " " << t;
        ASSERT_NEAR(full.stddev_lagged, std::sqrt(lag), 1e-6);
      }
      EXPECT_EQ(inst.stddev_lagged, 0.0);  // never computed
      moving_stddev_params_reset(&full);
      moving_stddev_params_reset(&inst);
      for (const auto &s : mean_of) s.reset();
    }
    moving_stddev_params_free(&full);
    moving_stddev_params_free(&inst);
  }
}

TEST(MovingStddev, ConstantSignalIsQuietAndRoundingWarnsOncePerRecord) {
  moving_stddev_params s;
  moving_stddev_params_init(&s, 8);
  CaptureStderr();
  for (int i = 0; i < 100; ++i) moving_stddev(&s, 0.5);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(s.stddev_instantaneous, 0.0);
  EXPECT_EQ(s.stddev_lagged, 0.0);
  moving_stddev_params_free(&s);

  // A large offset with tiny noise makes E[x^2] - E[x]^2 negative now and
  // then; the warning comes once per record.
  const auto noise = ref::random_stream(2000, 7, 0.0, 1e-6);
  for (int rec = 0; rec < 2; ++rec) {
    moving_stddev_params_init(&s, 5);
    CaptureStderr();
    for (double n : noise) {
      moving_stddev(&s, 1e8 + n);
      ASSERT_GE(s.variance_instantaneous, 0.0);
    }
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(testsupport::count(err, "moving_stddev warning: cannot compute sqrt(variance_instantaneous = "), 1u);
    EXPECT_NE(err.find(") -> taking zero (this warning will not be repeated).\n"), std::string::npos);
    EXPECT_EQ(s.variance_instantaneous_warned, 1);
    moving_stddev_params_free(&s);
  }
}

// With a large offset and tiny noise the variance comes out negative now
// and then: one warning.
TEST(SlidingMeanVarianceEnergy, WarnsOnceOfANegativeVariance) {
  sliding_mean_variance_energy_params p;
  sliding_mean_variance_energy_params_init(&p, 0.5);
  CaptureStderr();
  for (double n : ref::random_stream(2000, 10, 0.0, 1e-6)) sliding_mean_variance_energy(1e8 + n, &p);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(testsupport::count(err, "sliding_mean_variance_energy warning: variance_instantaneous = "), 1u);
  EXPECT_NE(err.find(" is negative! Setting it to zero. This warning will not be repeated.\n"), std::string::npos);
}

TEST(SmoothingFactors, FormulasWarningsAndDelays) {
  EXPECT_NEAR(compute_alpha_from_time_constant(0.5, 4.0), std::exp(-0.5), 1e-15);
  CaptureStderr();
  EXPECT_EQ(compute_alpha_corresponding_rectangle(1.0, 2.0), 0.01);
  EXPECT_EQ(GetCapturedStderr(),
            "compute_alpha_corresponding_rectangle warning: alpha = -0.732051 ->setting to 0.01.\n");
  EXPECT_EQ(sliding_default_delay(0.0), 1);
  EXPECT_EQ(sliding_default_delay(0.75), 4);
  EXPECT_EQ(moving_default_delay(10), 4);
  EXPECT_EQ(moving_default_delay(1), 0);
  // Factors that leave no delay are refused.
  sliding_mean_variance_energy_params p;
  for (double alpha : {1.5, 1.0})
    EXPECT_DEATH(sliding_mean_variance_energy_params_init(&p, alpha), "Assertion `delay >= 0' failed");
  sliding_median_params m;
  EXPECT_DEATH(sliding_median_new_params_init(&m, 1.5), "Assertion `params->delay >= 0' failed");
  sliding_soft_old_params so;
  EXPECT_DEATH(sliding_soft_old_params_init(&so, 1.0), "Assertion `params->delay >= 0' failed");
  sliding_soft_new_params sn;
  EXPECT_DEATH(sliding_soft_new_params_init(&sn, 2.0), "Assertion `delay >= 0' failed");
  sliding_delta_params d;
  EXPECT_DEATH(sliding_delta_params_init(&d, 1.0), "Assertion `delay >= 0' failed");
  sliding_regression_old_params r;
  EXPECT_DEATH(sliding_regression_old_params_init(&r, 1.0), "Assertion `params->delay >= 0' failed");
}

}  // namespace
