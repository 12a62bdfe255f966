// The ECG matched filter against a direct correlation with its template, and
// its heart-rate detector on synthetic ECG whose beats are known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "fex.h"
#include "physio.h"

namespace {

struct Geometry {
  int length[4];
  int delay[4];
};

Geometry geometry_of(const ecg_matched_filter_params &p) {
  return {{p.r1.size, p.r2.size, p.r3.size, p.r4.size},
          {p.d1.size, p.d2.size, p.d3.size, p.d4.size}};
}

void expect_geometry(int samplerate, const Geometry &want) {
  ecg_matched_filter_params p;
  ecg_matched_filter_params_init(&p, samplerate);
  const Geometry got = geometry_of(p);
  const int mean_sizes[4] = {p.m1.size, p.m2.size, p.m3.size, p.m4.size};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(got.length[i], want.length[i]) << "segment " << i + 1;
    EXPECT_EQ(mean_sizes[i], want.length[i]) << "segment " << i + 1;
    EXPECT_EQ(got.delay[i], want.delay[i]) << "segment " << i + 1;
  }
  ecg_matched_filter_params_free(&p);
}

// Direct evaluation of the template correlation at time t (all windows
// full): segment i covers the s_i samples ending d_i samples back, j counting
// from the oldest of them; the slopes fitted at 2048 Hz are per sample.
double reference_correlation(const std::vector<double> &x, long t,
                             const Geometry &g, int samplerate) {
  static const double a[4] = {0.0008336250938460884, -0.025455488052362606,
                              0.052442008426997845, -0.0010676182557487536};
  static const double b[4] = {-0.0600207371519773, 0.4399792628480227,
                              0.3969169030895248, -0.10308309691047518};
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) {
    const int s = g.length[i];
    for (int j = 0; j < s; ++j) {
      const double xj = x[t - g.delay[i] - (s - 1 - j)];
      sum += a[i] * 2048.0 / samplerate * (j - (s - 1) / 2.0) * xj +
             b[i] * xj;
    }
  }
  return sum;
}

TEST(EcgMatchedFilter, SegmentGeometryScalesWithTheSampleRate) {
  expect_geometry(2048, {{143, 44, 23, 193}, {0, 143, 187, 210}});
  // Back to back at every rate: each segment ends where the next begins.
  expect_geometry(360, {{25, 8, 4, 33}, {0, 25, 33, 37}});
  expect_geometry(256, {{17, 6, 3, 24}, {0, 17, 23, 26}});
  expect_geometry(179, {{12, 4, 2, 16}, {0, 12, 16, 18}});
}

TEST(EcgMatchedFilter, RefusesSampleRatesWithSegmentsTooShort) {
  ecg_matched_filter_params p;
  EXPECT_DEATH(ecg_matched_filter_params_init(&p, 178),
               "samplerate >= 179");
  ecg_mf_hr_params h;
  EXPECT_DEATH(ecg_mf_hr_params_init(&h, 100, 20, 200, 1, 0.5, 1.1),
               "samplerate >= 179");
}

TEST(EcgMatchedFilter, EqualsTheTemplateCorrelation) {
  for (int samplerate : {2048, 256, 179}) {
    ecg_matched_filter_params p;
    ecg_matched_filter_params_init(&p, samplerate);
    const Geometry g = geometry_of(p);
    const long span = g.delay[3] + g.length[3];  // oldest sample used
    std::mt19937 rng(samplerate);
    std::normal_distribution<double> noise(0.0, 100.0);
    std::vector<double> x(span * 4);
    for (double &v : x) v = noise(rng) + 50.0;
    for (long t = 0; t < static_cast<long>(x.size()); ++t) {
      ecg_matched_filter(&p, x[t]);
      if (t >= span) {
        ASSERT_NEAR(p.value, reference_correlation(x, t, g, samplerate), 1e-6)
            << "samplerate " << samplerate << ", t " << t;
      }
    }
    // After a reset the filter starts afresh.
    ecg_matched_filter_params_reset(&p);
    for (long t = 0; t <= span + 5; ++t) ecg_matched_filter(&p, x[t]);
    EXPECT_NEAR(p.value, reference_correlation(x, span + 5, g, samplerate), 1e-6);
    ecg_matched_filter_params_free(&p);
  }
}

TEST(EcgMatchedFilter, ConstantInputGivesConstantOutputAndNoBeats) {
  for (int samplerate : {2048, 256}) {
    ecg_matched_filter_params p;
    ecg_matched_filter_params_init(&p, samplerate);
    double mean_weight = 0.0;
    const double b[4] = {p.mf1, p.mf2, p.mf3, p.mf4};
    for (int i = 0; i < 4; ++i) mean_weight += b[i];
    for (int t = 0; t < 3 * samplerate; ++t) {
      ecg_matched_filter(&p, 7.5);
      ASSERT_NEAR(p.value, 7.5 * mean_weight, 1e-9) << "t " << t;
    }
    ecg_matched_filter_params_free(&p);

    ecg_mf_hr_params h;
    ecg_mf_hr_params_init(&h, samplerate, 20, 200, 1, 0.5, 1.1);
    for (int t = 0; t < 10 * samplerate; ++t) {
      ecg_mf_hr(&h, 7.5);
      ASSERT_EQ(h.candidate, 0.0);
      ASSERT_EQ(h.value, 0.0);
    }
    ecg_mf_hr_params_free(&h);
  }
}

struct RateRun {
  std::vector<double> t, value, candidate_t;
};

// Runs the detector on `seconds` of synthetic ECG taken every `step`-th
// frame (2048 / step Hz).
RateRun run_ecg_mf_hr(const physio_params &params, double seconds, int step,
                      ecg_mf_hr_params *h) {
  physio_generator g;
  physio_generator_init(&g, &params);
  RateRun r;
  const long n = static_cast<long>(seconds * PHYSIO_FRAMES_PER_SECOND);
  for (long k = 0; k < n; ++k) {
    double v[CORVIA_NUM_RAW_SIGNALS];
    physio_generator_next(&g, v);
    if (k % step != 0) continue;
    ecg_mf_hr(h, v[PHYSIO_ECG]);
    const double t = static_cast<double>(k) / PHYSIO_FRAMES_PER_SECOND;
    r.t.push_back(t);
    r.value.push_back(h->value);
    if (h->candidate != 0.0) r.candidate_t.push_back(t);
  }
  physio_generator_free(&g);
  return r;
}

TEST(EcgMfHr, FindsTheRateOfSyntheticEcg) {
  struct Case {
    double bpm;
    int step;  // 1: 2048 Hz, 8: 256 Hz
  };
  for (const Case c : {Case{72, 1}, Case{60, 1}, Case{95, 8}, Case{72, 8}}) {
    physio_params params;
    physio_params_init(&params);
    params.heart_rate = c.bpm;
    params.hrv = 0.0;
    params.rsa = 0.0;
    const int samplerate = PHYSIO_FRAMES_PER_SECOND / c.step;
    ecg_mf_hr_params h;
    ecg_mf_hr_params_init(&h, samplerate, 20, 200, 1, 0.5, 1.1);
    const RateRun r = run_ecg_mf_hr(params, 9.0, c.step, &h);
    // Nothing until the first accepted beat pair.
    EXPECT_EQ(r.value.front(), 0.0);
    // One accepted beat per generated beat, roughly, once the windows have
    // filled (the first second, well within the artefact period).
    const size_t beats = static_cast<size_t>(8.0 * c.bpm / 60);
    const size_t found = static_cast<size_t>(std::count_if(
        r.candidate_t.begin(), r.candidate_t.end(),
        [](double t) { return t >= 1.0; }));
    EXPECT_GE(found, beats - 1) << c.bpm << " bpm";
    EXPECT_LE(found, beats + 1) << c.bpm << " bpm";
    // The artefact period lasts two longest intervals (6 s at 20 bpm); from
    // the beat after it on the rate holds the true value.
    size_t checked = 0;
    for (size_t i = 0; i < r.t.size(); ++i) {
      if (r.t[i] < 6.0 + 60.0 / c.bpm + 0.2) continue;
      ASSERT_NEAR(r.value[i], c.bpm, 1.0)
          << c.bpm << " bpm at " << samplerate << " Hz, t " << r.t[i];
      ++checked;
    }
    EXPECT_GT(checked, 0u);

    // A reset detector repeats the run exactly.
    ecg_mf_hr_params_reset(&h);
    const RateRun again = run_ecg_mf_hr(params, 9.0, c.step, &h);
    EXPECT_EQ(again.value, r.value);
    ecg_mf_hr_params_free(&h);
  }
}

}  // namespace
