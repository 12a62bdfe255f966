// The ECG matched filter against a direct correlation with its template, and
// its heart-rate detector on synthetic ECG whose beats are known. The
// template has one shape in time at every sample rate: unchanged output at
// 2048 Hz, and at 360 and 256 Hz the output of 2048 Hz scaled by the rate
// ratio, with the beats found.
#include "fex.h"
#include "physio.h"
#include "stepper.h"
#include "testsupport.h"

namespace {

struct Geometry {
  int length[4];
  int delay[4];
};

// Direct evaluation of the template correlation at time t (all windows
// full): segment i covers the s_i samples ending d_i samples back, j counting
// from the oldest of them; the slopes fitted at 2048 Hz are per sample.
double reference_correlation(const std::vector<double> &x, long t, const Geometry &g, int samplerate) {
  static const double a[4] = {0.0008336250938460884, -0.025455488052362606, 0.052442008426997845,
                              -0.0010676182557487536};
  static const double b[4] = {-0.0600207371519773, 0.4399792628480227, 0.3969169030895248, -0.10308309691047518};
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) {
    const int s = g.length[i];
    for (int j = 0; j < s; ++j)
      sum += (a[i] * 2048.0 / samplerate * (j - (s - 1) / 2.0) + b[i]) * x[t - g.delay[i] - (s - 1 - j)];
  }
  return sum;
}

// The segments lie back to back at every rate: each ends where the next
// begins. Below 179 Hz a segment would be empty.
TEST(EcgMatchedFilter, EqualsTheTemplateCorrelationFrom179Hz) {
  const std::pair<int, Geometry> cases[] = {{2048, {{143, 44, 23, 193}, {0, 143, 187, 210}}},
                                            {360, {{25, 8, 4, 33}, {0, 25, 33, 37}}},
                                            {256, {{17, 6, 3, 24}, {0, 17, 23, 26}}},
                                            {179, {{12, 4, 2, 16}, {0, 12, 16, 18}}}};
  for (const auto &[samplerate, g] : cases) {
    ecg_matched_filter_params p;
    ecg_matched_filter_params_init(&p, samplerate);
    const long span = g.delay[3] + g.length[3];  // oldest sample used
    std::mt19937 rng(samplerate);
    std::normal_distribution<double> noise(0.0, 100.0);
    std::vector<double> x(span * 4);
    for (double &v : x) v = noise(rng) + 50.0;
    for (long t = 0; t < static_cast<long>(x.size()); ++t) {
      ecg_matched_filter(&p, x[t]);
      if (t >= span) {
        ASSERT_NEAR(p.value, reference_correlation(x, t, g, samplerate), 1e-6) << samplerate << " " << t;
      }
    }
    // After a reset the filter starts afresh.
    ecg_matched_filter_params_reset(&p);
    for (long t = 0; t <= span + 5; ++t) ecg_matched_filter(&p, x[t]);
    EXPECT_NEAR(p.value, reference_correlation(x, span + 5, g, samplerate), 1e-6);
    ecg_matched_filter_params_free(&p);
  }
  ecg_matched_filter_params p;
  ecg_mf_hr_params h;
  EXPECT_DEATH(ecg_matched_filter_params_init(&p, 178), "samplerate >= 179");
  EXPECT_DEATH(ecg_mf_hr_params_init(&h, 100, 20, 200, 1, 0.5, 1.1), "samplerate >= 179");
}

struct RateRun {
  std::vector<double> t, value, candidate_t;
};

// Runs the detector on `seconds` of synthetic ECG taken every `step`-th
// frame (2048 / step Hz).
RateRun run_ecg_mf_hr(const physio_params &params, double seconds, int step, ecg_mf_hr_params *h) {
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
  const std::pair<double, int> cases[] = {{72, 1}, {60, 1}, {95, 8}, {72, 8}};  // bpm, 2048 Hz / step
  for (const auto &[bpm, step] : cases) {
    physio_params params;
    physio_params_init(&params);
    params.heart_rate = bpm;
    params.hrv = params.rsa = 0.0;
    const int samplerate = PHYSIO_FRAMES_PER_SECOND / step;
    ecg_mf_hr_params h;
    ecg_mf_hr_params_init(&h, samplerate, 20, 200, 1, 0.5, 1.1);
    const RateRun r = run_ecg_mf_hr(params, 9.0, step, &h);
    EXPECT_EQ(r.value.front(), 0.0);  // nothing until the first accepted beat pair
    // One accepted beat per generated beat, roughly, once the windows have
    // filled (the first second, well within the artefact period).
    const long beats = static_cast<long>(8.0 * bpm / 60);
    EXPECT_NEAR(std::count_if(r.candidate_t.begin(), r.candidate_t.end(), [](double t) { return t >= 1.0; }), beats, 1)
        << bpm;
    // The artefact period lasts two longest intervals (6 s at 20 bpm); from
    // the beat after it on the rate holds the true value.
    size_t checked = 0;
    for (size_t i = 0; i < r.t.size(); ++i) {
      if (r.t[i] < 6.0 + 60.0 / bpm + 0.2) continue;
      ASSERT_NEAR(r.value[i], bpm, 1.0) << bpm << " bpm at " << samplerate << " Hz, t " << r.t[i];
      ++checked;
    }
    EXPECT_GT(checked, 0u);

    // A reset detector repeats the run exactly, and finds no beat in a
    // constant input.
    ecg_mf_hr_params_reset(&h);
    const RateRun again = run_ecg_mf_hr(params, 9.0, step, &h);
    EXPECT_EQ(again.value, r.value);
    ecg_mf_hr_params_reset(&h);
    for (int t = 0; t < 10 * samplerate; ++t) {
      ecg_mf_hr(&h, 7.5);
      ASSERT_EQ(h.candidate, 0.0);
      ASSERT_EQ(h.value, 0.0);
    }
    ecg_mf_hr_params_free(&h);
  }
}

// A synthetic ECG at `rate` Hz: per beat (every 0.8 s) a P wave, a narrow
// QRS (Q, R, S as Gaussian bumps) and a T wave, on a slow baseline, plus a
// deterministic pseudo-random ripple.
std::vector<double> synthetic_ecg(double rate, double seconds) {
  struct Wave {
    double at, width, height;  // seconds after the beat, seconds, mV
  };
  static const Wave waves[] = {
      {-0.20, 0.025, 0.15}, {-0.025, 0.010, -0.12}, {0.0, 0.012, 1.2}, {0.025, 0.010, -0.25}, {0.25, 0.050, 0.30}};
  std::vector<double> x(static_cast<size_t>(seconds * rate));
  uint32_t lcg = 12345;
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = i / rate;
    const double phase = std::fmod(t, 0.8);
    double v = 0.2 * std::sin(2 * M_PI * 0.3 * t);
    for (const Wave &w : waves) {
      for (double p : {phase - 0.8, phase, phase + 0.8}) {
        const double d = (p - 0.3 - w.at) / w.width;
        v += w.height * std::exp(-0.5 * d * d);
      }
    }
    lcg = lcg * 1664525u + 1013904223u;
    x[i] = v + 0.01 * (static_cast<double>(lcg >> 8) / (1u << 24) - 0.5);
  }
  return x;
}

uint64_t fnv1a(uint64_t h, double v) {
  unsigned char bytes[sizeof v];
  std::memcpy(bytes, &v, sizeof v);
  for (unsigned char b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

TEST(EcgMatchedRates, OutputAt2048HzIsUnchanged) {
  const std::vector<double> x = synthetic_ecg(2048, 12.0);
  const ref::Stepper f = STEPPER(ecg_matched_filter, 2048), h = STEPPER(ecg_mf_hr, 2048, 20, 200, 1, 0.5, 1.1);
  uint64_t filter_hash = 14695981039346656037ull, rate_hash = filter_hash;
  for (double v : x) {
    filter_hash = fnv1a(filter_hash, f.step(v));
    rate_hash = fnv1a(rate_hash, h.step(v));
  }
  // Taken from the filter before its lengths and weights were made to
  // scale with the rate.
  EXPECT_EQ(filter_hash, 0x2bc1dd8f8d1548d3ull) << std::hex << filter_hash;
  EXPECT_EQ(rate_hash, 0xee545e3f8000f481ull) << std::hex << rate_hash;
}

// The output at `rate`, and the output at 2048 Hz at the same instants
// scaled by rate / 2048 (a sum over a segment has rate / 2048 times as many
// terms): their RMS difference relative to the RMS of the latter.
double shape_difference(int rate) {
  const double seconds = 4.0;
  std::vector<double> fine;
  const ref::Stepper f = STEPPER(ecg_matched_filter, 2048), g = STEPPER(ecg_matched_filter, rate);
  for (double v : synthetic_ecg(2048, seconds)) fine.push_back(f.step(v));
  const std::vector<double> x = synthetic_ecg(rate, seconds);
  double diff = 0.0, norm = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double got = g.step(x[i]);
    if (i < static_cast<size_t>(rate)) continue;  // windows filling
    const double want = fine[static_cast<size_t>(std::lround(i * 2048.0 / rate))] * rate / 2048.0;
    diff += (got - want) * (got - want);
    norm += want * want;
  }
  return std::sqrt(diff / norm);
}

TEST(EcgMatchedRates, KeepsItsShapeAndFindsTheBeatsAt360And256Hz) {
  for (int rate : {360, 256}) {
    // Before the template kept its shape: 0.34 at 360 Hz, 0.56 at 256 Hz.
    EXPECT_LT(shape_difference(rate), rate == 360 ? 0.29 : 0.4) << rate << " Hz";

    ecg_mf_hr_params h;
    ecg_mf_hr_params_init(&h, rate, 20, 200, 1, 0.5, 1.1);
    int beats = 0;
    for (double v : synthetic_ecg(rate, 20.0)) {
      ecg_mf_hr(&h, v);
      beats += h.candidate != 0.0;
    }
    EXPECT_NEAR(h.value, 75.0, 1.0) << rate << " Hz";
    EXPECT_NEAR(beats, 25, 1) << rate << " Hz";  // one every 0.8 s
    ecg_mf_hr_params_free(&h);
  }
}

}  // namespace
