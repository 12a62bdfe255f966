// The streaming QRS detector on synthetic ECG whose beats are known, at
// rates from 128 to 2048 Hz with baseline wander, noise, mains hum, a
// sudden change of amplitude and bursts of muscle noise; and its streaming
// properties: causal, independent instances, reset to the state after
// init.
#include "fex.h"
#include "physio.h"
#include "testsupport.h"

namespace {

struct Ecg {
  std::vector<double> x;      // at the detector's rate
  std::vector<physio_beat> beats;
};

// `seconds` of the generator's ECG, taken at `rate` Hz by linear
// interpolation; from `gain_at` seconds on multiplied by `gain`.
Ecg make_ecg(const physio_params &params, double rate, double seconds, double gain_at, double gain) {
  physio_generator g;
  physio_generator_init(&g, &params);
  std::vector<double> fine;
  const long n = static_cast<long>(seconds * PHYSIO_FRAMES_PER_SECOND) + 2;
  for (long k = 0; k < n; ++k) {
    double v[CORVIA_NUM_RAW_SIGNALS];
    physio_generator_next(&g, v);
    fine.push_back(v[PHYSIO_ECG]);
  }
  Ecg e;
  e.beats = g.beats;
  physio_generator_free(&g);
  for (long i = 0; i < static_cast<long>(seconds * rate); ++i) {
    const double pos = i * PHYSIO_FRAMES_PER_SECOND / rate;
    const long k = static_cast<long>(pos);
    e.x.push_back((fine[k] + (pos - k) * (fine[k + 1] - fine[k])) * (i >= gain_at * rate ? gain : 1));
  }
  return e;
}

struct Output {
  std::vector<int> beat, artefact;
  std::vector<double> value;
  bool operator==(const Output &o) const { return beat == o.beat && artefact == o.artefact && value == o.value; }
};

void feed(qrs_params *q, const std::vector<double> &x, size_t from, size_t to, Output *out) {
  for (size_t i = from; i < to; ++i) {
    qrs(q, x[i]);
    out->beat.push_back(q->beat);
    out->value.push_back(q->value);
    out->artefact.push_back(q->artefact);
  }
}

Output run(const std::vector<double> &x, double rate) {
  qrs_params q;
  qrs_params_init(&q, rate);
  Output out;
  feed(&q, x, 0, x.size(), &out);
  qrs_params_free(&q);
  return out;
}

// Every beat after the learning time and before the output ends is found
// once, within 30 ms, with the rate of its interval. Bursts of broadband
// noise as large as the QRS (muscle, contact; 1.5 s every 6 s from 8 s on)
// add at most a beat, and the beats more than a second from them are all
// found (within 50 ms).
TEST(Qrs, FindsEveryBeatAtEveryRate) {
  struct Case {
    double rate, bpm, wander, noise, mains, gain, burst_sd;  // microvolts
  };
  const Case cases[] = {
      {2048, 70, 50, 10, 5, 1, 0},   {1000, 70, 50, 10, 5, 1, 0},   {360, 70, 50, 10, 5, 1, 0},
      {256, 70, 50, 10, 5, 1, 0},    {128, 70, 50, 10, 5, 1, 0},    {360, 150, 50, 10, 5, 1, 0},
      {256, 45, 50, 10, 5, 1, 0},    {360, 70, 800, 60, 100, 1, 0}, {128, 70, 800, 60, 100, 1, 0},
      {360, 70, 50, 10, 5, 0.25, 0}, {360, 70, 50, 10, 5, 4, 0},    {360, 70, 50, 10, 5, 1, 300},
      {2048, 70, 50, 10, 5, 1, 300}, {128, 70, 50, 10, 5, 1, 300},  {360, 120, 50, 10, 5, 1, 400},
      {256, 55, 50, 10, 5, 1, 200},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.bpm << " bpm, wander " << c.wander << ", noise "
                                    << c.noise << ", gain " << c.gain << ", bursts of sd " << c.burst_sd);
    physio_params p;
    physio_params_init(&p);
    p.heart_rate = c.bpm;
    p.ecg_wander = c.wander;
    p.ecg_noise = c.noise;
    p.ecg_mains = c.mains;
    const bool bursts = c.burst_sd > 0;
    const double seconds = bursts ? 60 : 40;
    Ecg e = make_ecg(p, c.rate, seconds, 20.0, c.gain);
    auto in_burst = [&](double t) { return bursts && t >= 8 && std::fmod(t - 8, 6.0) < 1.5; };
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, bursts ? c.burst_sd : 1.0);
    for (size_t i = 0; i < e.x.size(); ++i)
      if (in_burst(i / c.rate)) e.x[i] += noise(rng);
    const Output out = run(e.x, c.rate);
    const int delay = qrs_delay(c.rate);
    size_t extra = 0, missed = 0, rated = 0;
    double error_sum = 0;
    std::vector<bool> taken(e.beats.size(), false);
    for (size_t i = 0; i < out.beat.size(); ++i) {
      if (!out.beat[i]) continue;
      const double t = (static_cast<double>(i) - delay) / c.rate;
      size_t k = 0;
      while (k < e.beats.size() && (taken[k] || std::fabs(e.beats[k].r_time - t) >= (bursts ? 0.05 : 0.03))) ++k;
      extra += k == e.beats.size();
      if (k == e.beats.size()) continue;
      taken[k] = true;
      if (bursts || k == 0 || !taken[k - 1]) continue;
      const double err = std::fabs(out.value[i] - e.beats[k].rate);
      EXPECT_LT(err, 3.0) << "at " << t;
      error_sum += err;
      ++rated;
    }
    for (size_t k = 0; k < e.beats.size(); ++k) {
      const double t = e.beats[k].r_time;
      missed += !taken[k] && t > 2.5 && t < seconds - 0.2 - delay / c.rate && !in_burst(t + 0.1) && !in_burst(t - 1.0);
    }
    EXPECT_LE(extra, bursts ? 1u : 0u);
    EXPECT_EQ(missed, 0u);
    if (!bursts) {
      EXPECT_LT(error_sum / rated, 0.8);
      EXPECT_EQ(out.artefact.back(), 0);
    }
  }
}

TEST(Qrs, CausalIndependentAndResettable) {
  physio_params p;
  physio_params_init(&p);
  const double rate = 360;
  const std::vector<double> x = make_ecg(p, rate, 12, 0, 1).x;
  const Output whole = run(x, rate);

  // The output up to a sample does not depend on the input after it.
  std::vector<double> changed = x;
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 2000.0);
  const size_t cut = x.size() / 2;
  for (size_t i = cut + 1; i < x.size(); ++i) changed[i] = noise(rng);
  Output other = run(changed, rate);
  EXPECT_TRUE(std::equal(whole.beat.begin(), whole.beat.begin() + cut + 1, other.beat.begin()));
  EXPECT_TRUE(std::equal(whole.value.begin(), whole.value.begin() + cut + 1, other.value.begin()));

  // Fed in chunks, taking turns with a second instance, and after a reset:
  // the same output as one instance fed at once.
  qrs_params a, b;
  qrs_params_init(&a, rate);
  qrs_params_init(&b, rate);
  Output chunked, second;
  for (size_t from = 0; from < x.size(); from += 997) {
    const size_t to = std::min(x.size(), from + 997);
    feed(&a, x, from, to, &chunked);
    feed(&b, changed, from, to, &second);
  }
  EXPECT_TRUE(chunked == whole);
  EXPECT_TRUE(second == other);
  qrs_params_reset(&a);
  Output again;
  feed(&a, x, 0, x.size(), &again);
  EXPECT_TRUE(again == whole);
  qrs_params_free(&a);
  qrs_params_free(&b);

  // A gap of no numbers is bridged: the beats go on.
  std::vector<double> gap = x;
  std::fill(gap.begin() + cut, gap.begin() + cut + 20, NAN);
  const Output bridged = run(gap, rate);
  EXPECT_EQ(std::count(bridged.beat.begin(), bridged.beat.end(), 1),
            std::count(whole.beat.begin(), whole.beat.end(), 1));
  EXPECT_TRUE(std::isfinite(bridged.value.back()));

  // Flat input: no beats, no rate.
  const Output flat = run(std::vector<double>(4000, 3.0), rate);
  EXPECT_EQ(flat.beat, std::vector<int>(4000, 0));
  EXPECT_EQ(flat.artefact, std::vector<int>(4000, 1));
}

}  // namespace
