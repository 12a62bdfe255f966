// Peak and dip detectors, the rate converter, the step functions, the
// impulse lag and the same-sign product.
#include <climits>

#include "fex.h"
#include "reference.h"
#include "stepper.h"
#include "testsupport.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// The rise-slope state machine, recomputed from exact window statistics.
struct RiseReference {
  int looking_for_max = 0, looking_for_fall = 0;
  int step(double rise, double maximum_slope, bool steep) {
    if (looking_for_max) {
      looking_for_max = maximum_slope > 0;
      return !looking_for_max;
    }
    if (looking_for_fall) looking_for_fall = rise > 0;
    else if (steep) looking_for_max = looking_for_fall = 1;
    return 0;
  }
};

struct AmplitudeReference {
  int looking_for_max = 0, looking_for_fall = 0;
  int step(double x, double mean, double maximum_slope, bool high) {
    if (looking_for_max) {
      looking_for_max = maximum_slope > 0;
      return looking_for_fall = !looking_for_max;  // never both
    }
    if (!looking_for_fall) looking_for_max = high;
    else looking_for_fall = x >= mean;
    return 0;
  }
};

std::vector<double> test_signal(unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> jitter(-15, 15);
  std::vector<double> centres;
  for (double c = 60; c < 2400; c += 120 + jitter(gen)) centres.push_back(c);
  return ref::bumps(2500, centres, 10.0, 6.0, 0.3, seed);
}

// Both rise-slope detectors on one signal, and the dip detector on it
// upside down: the reference window is trunc(60 / 40 * 200) = 300 samples;
// the window maximum is its own algorithm.
TEST(PeakDetectors, SlopeMaxAndSlopeStddevMatchBruteForce) {
  const auto x = test_signal(1);
  moving_peak_slope_max_params pm;
  moving_peak_slope_max_params_init(&pm, 12, 6, 0.6, 40, 200);
  EXPECT_EQ(pm.inherent_lag_times_2, 6);
  EXPECT_EQ(pm.max_rise.size, 300);
  EXPECT_EQ(pm.max_rise.k, 10);
  const ref::Stepper ps = STEPPER(moving_peak_slope_stddev, 12, 6, 2.0, 40, 200),
                     pd = STEPPER(moving_dip_slope_min, 12, 50, 6, 0.5, 40, 200);
  moving_minmax_params ref_max, ref_min;
  moving_max_params_init(&ref_max, 300, 10);
  moving_max_params_init(&ref_min, 300, 10);
  std::vector<double> rises;
  RiseReference rm, rs, rd;
  int peaks[3] = {0, 0, 0};
  for (size_t t = 0; t < x.size(); ++t) {
    moving_peak_slope_max(&pm, x[t]);
    const int s = static_cast<int>(ps.step(x[t])), d = static_cast<int>(pd.step(-x[t]));
    const double rise = ref::slope(ref::window(x, t, 12)), top = ref::slope(ref::window(x, t, 6));
    rises.push_back(rise);
    moving_max(&ref_max, rise);
    moving_min(&ref_min, -rise);
    const double fall_mean = -ref::mean(ref::window(rises, t, 50));
    ASSERT_EQ(pm.value, rm.step(rise, top, rise > ref_max.value * 0.6)) << t;
    ASSERT_EQ(s, rs.step(rise, top, rise > ref::stddev(ref::window(rises, t, 300)) * 2.0)) << t;
    ASSERT_EQ(d, rd.step(rise, top, (ref_min.value - fall_mean) * 0.5 > -rise - fall_mean)) << t;
    peaks[0] += pm.value;
    peaks[1] += s;
    peaks[2] += d;
  }
  for (int n : peaks) EXPECT_GE(n, 18);
  moving_max_params_free(&ref_max);
  moving_max_params_free(&ref_min);
  moving_peak_slope_max_params_free(&pm);
}

// Both amplitude detectors on one signal; the maximum one with a debug
// file: one line of its state per sample.
TEST(PeakDetectors, PeakMaxAndPeakStddevMatchBruteForce) {
  const auto x = test_signal(3);
  testsupport::TempDir dir;
  moving_peak_max_params pm;
  moving_peak_max_params_init(&pm, 100, 8, 0.4, 40, 200, dir.file("peaks.debug").c_str());
  moving_peak_stddev_params ps;
  moving_peak_stddev_params_init(&ps, 100, 8, 1.0, 40, 200);
  EXPECT_EQ(ps.inherent_lag_times_2, 8);
  moving_minmax_params ref_max;
  moving_max_params_init(&ref_max, 300, 10);
  AmplitudeReference rm, rs;
  std::string debug;
  int peaks[2] = {0, 0};
  for (size_t t = 0; t < x.size(); ++t) {
    moving_peak_max(&pm, x[t]);
    moving_peak_stddev(&ps, x[t]);
    moving_max(&ref_max, x[t]);
    const double mean = ref::mean(ref::window(x, t, 100)), top = ref::slope(ref::window(x, t, 8));
    ASSERT_EQ(pm.value, rm.step(x[t], mean, top, x[t] - mean > (ref_max.value - mean) * 0.4)) << t;
    ASSERT_EQ(ps.value, rs.step(x[t], mean, top, x[t] - mean > ref::stddev(ref::window(x, t, 300)))) << t;
    peaks[0] += pm.value;
    peaks[1] += ps.value;
    char line[200];
    std::snprintf(line, sizeof line, "%g %g %d %d %d\n", pm.mean.value, pm.max.value, pm.looking_for_max,
                  pm.looking_for_fall, pm.value);
    debug += line;
  }
  for (int n : peaks) EXPECT_GE(n, 18);
  moving_max_params_free(&ref_max);
  moving_peak_max_params_free(&pm);
  moving_peak_stddev_params_free(&ps);
  EXPECT_EQ(testsupport::read_file(dir.file("peaks.debug")), debug);
}

// One impulse per clean pulse, a few samples after its top (the peak
// regression's half length plus one), for every detector, and the same
// again after a reset.
TEST(PeakDetectors, OneImpulsePerPulseNearItsTop) {
  const auto centres = ref::regular(150, 200, 3000);
  const auto x = ref::bumps(3000, centres, 10.0, 8.0, 0.0, 0);
  const std::pair<const char *, ref::Stepper> detectors[] = {
      {"slope_max", STEPPER(moving_peak_slope_max, 12, 10, 0.6, 20, 200)},
      {"slope_stddev", STEPPER(moving_peak_slope_stddev, 12, 10, 2.0, 20, 200)},
      {"peak_max", STEPPER(moving_peak_max, 100, 10, 0.4, 20, 200, nullptr)},
      {"peak_stddev", STEPPER(moving_peak_stddev, 100, 10, 1.0, 20, 200)},
      {"dip_slope_min", STEPPER(moving_dip_slope_min, 12, 100, 10, 0.5, 20, 200)},  // on the inverted pulses
  };
  for (const auto &[name, d] : detectors) {
    for (int pass = 0; pass < 2; ++pass, d.reset()) {  // a reset starts afresh
      std::vector<size_t> found;
      for (size_t t = 0; t < x.size(); ++t)
        if (d.step(name[0] == 'd' ? -x[t] : x[t])) found.push_back(t);
      ASSERT_EQ(found.size(), centres.size()) << name;
      for (size_t i = 0; i < found.size(); ++i) {
        EXPECT_GE(found[i] - centres[i], 4) << name << " pulse " << i;
        EXPECT_LE(found[i] - centres[i], 6) << name << " pulse " << i;
      }
    }
  }
}

TEST(PeakDetectorsDeathTest, WindowLengthsAndRatesAreChecked) {
  moving_peak_slope_max_params p;
  moving_peak_stddev_params q;
  peaks_to_bpm_imp_params b;
  moving_prod_rect_params r;
  EXPECT_DEATH(moving_peak_slope_max_params_init(&p, 1, 10, 0.6, 20, 2048), "size >= 2");
  EXPECT_DEATH(moving_peak_slope_max_params_init(&p, 130, 10, 0.6, 0, 2048), "minimum_bpm > 0.0");
  // 60 / 200 * 2 = 0.6 samples: no reference window.
  EXPECT_DEATH(moving_peak_stddev_params_init(&q, 10, 4, 1.0, 200, 2), "n >= 1.0");
  EXPECT_DEATH(peaks_to_bpm_imp_params_init(&b, 256, 0.0, 200, 1), "min_bpm > 0.0");
  EXPECT_DEATH(peaks_to_bpm_imp_params_init(&b, 0, 20, 200, 1), "samplefreq > 0.0");
  EXPECT_DEATH(moving_prod_rect_params_init(&r, 0, 0.0), "size >= 1");
  EXPECT_DEATH(moving_prod_rect_params_init(&r, 3, -1.0), "floor >= 0.0");
}

struct BpmRun {
  std::vector<double> value;
  std::vector<int> artefact;
};

BpmRun run_bpm(peaks_to_bpm_imp_params *p, const std::vector<int> &imp) {
  BpmRun r;
  for (int i : imp) {
    peaks_to_bpm_imp(p, i);
    r.value.push_back(p->value);
    r.artefact.push_back(p->artefact);
  }
  return r;
}

std::vector<int> train(size_t n, size_t first, size_t period) {
  std::vector<int> imp(n, 0);
  for (size_t t = first; t < n; t += period) imp[t] = 1;
  return imp;
}

TEST(PeaksToBpm, RateAtEachPeakAndArtefactDuringWarmUp) {
  peaks_to_bpm_imp_params p;
  peaks_to_bpm_imp_params_init(&p, 256, 20, 200, 0);
  const auto imp = train(4000, 10, 256);
  const auto r = run_bpm(&p, imp);
  // The first 2 * max_distance samples are artefact whatever the peaks;
  // after that the first peak clears the flag.
  for (size_t t = 0; t < imp.size(); ++t) {
    EXPECT_EQ(r.value[t], imp[t] && t > 10 ? 60.0 : 0.0) << t;
    EXPECT_TRUE(t >= 2 * 768 || r.artefact[t] == 1) << t;
  }
  // The first peak after the warm-up is at 10 + 6 * 256 = 1546; a reset
  // returns to the initial state.
  EXPECT_EQ((std::vector<int>{r.artefact[1545], r.artefact[1546], r.artefact[3999]}), (std::vector<int>{1, 0, 0}));
  peaks_to_bpm_imp_params_reset(&p);
  const BpmRun again = run_bpm(&p, imp);
  EXPECT_EQ(again.artefact, r.artefact);
  EXPECT_EQ(again.value, r.value);
  peaks_to_bpm_imp_params_free(&p);
}

// At 100 Hz (longest interval 300 samples): a pause of 500 samples after
// the train (the flag comes up 300 samples after its last peak at 900, and
// the peak after it gives 12 bpm, repaired to the minimum), and beats too
// fast (2000 bpm, repaired to the maximum), held as artefact until a
// plausible beat; NAN: not checked.
TEST(PeaksToBpm, PausesAndBeatsTooFast) {
  std::vector<int> pause = train(1400, 0, 100), fast = train(1000, 0, 100);
  std::fill(pause.begin() + 1000, pause.end(), 0);
  for (int i = 0; i < 5; ++i) pause.push_back(1), pause.resize(pause.size() + 99, 0);
  fast.resize(1010, 0);
  for (int t : {950, 1002, 1005}) fast[t] = 1;  // 120 bpm, 115 bpm, 2000 bpm
  const struct {
    const std::vector<int> *imp;
    int repair;
    size_t t;
    double value;
    int artefact;
  } cases[] = {
      {&pause, 1, 1199, NAN, 0}, {&pause, 1, 1200, NAN, 1}, {&pause, 1, 1399, NAN, 1}, {&pause, 1, 1400, 20, 1},
      {&pause, 1, 1500, 60, 0},  {&fast, 0, 950, 120, 0},    {&fast, 0, 1002, NAN, 0},  {&fast, 0, 1005, 2000, 1},
      {&fast, 0, 1009, NAN, 1},  {&fast, 1, 1005, 200, 1},   {&fast, 1, 1009, NAN, 1},
  };
  for (const auto &c : cases) {
    peaks_to_bpm_imp_params p;
    peaks_to_bpm_imp_params_init(&p, 100, 20, 200, c.repair);
    const BpmRun r = run_bpm(&p, *c.imp);
    peaks_to_bpm_imp_params_free(&p);
    EXPECT_TRUE(std::isnan(c.value) || r.value[c.t] == c.value) << c.t << ": " << r.value[c.t];
    EXPECT_EQ(r.artefact[c.t], c.artefact) << c.t << " repair " << c.repair;
  }
}

// A rate changing by more than the factor 1.5 up or down is a problem,
// accepted once the next rate confirms it; accepted rates above 160 are
// questioned. No rate (0) and artefacts change nothing.
TEST(StepFunctions, BpmJumpIsConfirmedBeforeItIsAccepted) {
  bpm_impulses_to_stepfunction_params p;
  bpm_impulses_to_stepfunction_params_init(&p, 1.5);
  EXPECT_DOUBLE_EQ(p.allowed_falling_factor, 1 / 1.5);
  const std::string P = "bpm_impulses_to_stepfunction: ";
  const struct {
    double bpm;
    int artefact;
    double value, tentative;
    std::string message;
  } steps[] = {
      {60, 0, 60, -1, ""},
      {0, 0, 60, -1, ""},
      {200, 1, 60, -1, ""},
      {120, 0, 60, 120, P + "problem (old = 60.000000, new = 120.000000)\n"},
      {118, 0, 118, -1, P + "problem resolved: old = 120.000000, new = 118.000000\n"},
      {50, 0, 118, 50, P + "problem (old = 118.000000, new = 50.000000)\n"},
      {100, 0, 118, 100, P + "still problem (old = 50.000000, new = 100.000000)\n"},
      {170, 0, 118, 170, P + "still problem (old = 100.000000, new = 170.000000)\n"},
      {165, 0, 165, -1, P + "problem resolved: old = 170.000000, new = 165.000000\n" + P + "??? value = 165.000000\n"},
      {162, 0, 162, -1, P + "??? value = 162.000000\n"},
  };
  for (int pass = 0; pass < 2; ++pass, bpm_impulses_to_stepfunction_params_reset(&p)) {  // a reset starts afresh
    ASSERT_EQ(std::make_tuple(p.value, p.problem, p.tentative), std::make_tuple(0.0, 0, -1.0));
    for (const auto &c : steps) {
      CaptureStderr();
      bpm_impulses_to_stepfunction(&p, c.bpm, c.artefact);
      EXPECT_EQ(GetCapturedStderr(), c.message) << c.bpm;
      EXPECT_EQ(p.value, c.value) << c.bpm;
      EXPECT_EQ(p.tentative, c.tentative) << c.bpm;
      EXPECT_EQ(p.problem, c.tentative != -1) << c.bpm;
    }
  }
  CaptureStderr();
  for (double bpm : {100, 300}) bpm_impulses_to_stepfunction(&p, bpm, 0);
  bpm_impulses_to_stepfunction_params_reset(&p);  // from a problem
  GetCapturedStderr();
  EXPECT_EQ(std::make_tuple(p.value, p.problem, p.tentative), std::make_tuple(0.0, 0, -1.0));
  bpm_impulses_to_stepfunction_params_free(&p);
}

// (The counting itself is checked through glide_stats.)
TEST(ImpulsesLag, SaturatesAndResets) {
  impulses_lag_params p;
  impulses_lag_params_init(&p);
  p.value = INT_MAX - 1;
  for (int v : {INT_MAX, INT_MAX}) {
    impulses_lag(&p, 0.0);
    EXPECT_EQ(p.value, v);
  }
  impulses_lag_params_reset(&p);
  EXPECT_EQ(p.value, -1);
  impulses_lag_params_free(&p);
}

// Brute force: the product of |x| + floor over the last size samples when
// there are size of them since the last sign change, else 0.
double prod_rect_reference(const std::vector<double> &x, size_t t, int size, double floor) {
  double prod = t + 1 >= static_cast<size_t>(size);
  for (size_t j = t + 1 - std::min<size_t>(size, t + 1); j <= t; ++j)
    prod *= (x[j] >= 0) == (x[t] >= 0) ? std::fabs(x[j]) + floor : 0.0;
  return prod;
}

TEST(MovingProdRect, MatchesBruteForceOnRandomSigns) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> mag(0.5, 2.0);
  std::bernoulli_distribution flip(0.08);
  std::vector<double> x;
  bool negative = false;
  for (int i = 0; i < 3000; ++i) {
    if (flip(gen)) negative = !negative;
    x.push_back(negative ? -mag(gen) : mag(gen));
  }
  // A zero factor (with a floor of 0) gives 0 while it lies in the window
  // and an exact product again as soon as it has left.
  for (size_t t : {100, 700, 701, 1500}) x[t] = 0.0;
  for (int size : {1, 2, 5, 9}) {
    for (double floor : {0.0, 0.25}) {
      const ref::Stepper p = STEPPER(moving_prod_rect, size, floor);
      for (size_t t = 0; t < x.size(); ++t) {
        const double got = p.step(x[t]), want = prod_rect_reference(x, t, size, floor);
        ASSERT_TRUE(std::isfinite(got)) << t;
        ASSERT_NEAR(got, want, 1e-9 * std::max(1.0, want)) << size << " " << floor << " " << t;
      }
      p.reset();
      EXPECT_NEAR(p.step(5.0), size == 1 ? 5.0 + floor : 0.0, 1e-12);
    }
  }
}

}  // namespace
