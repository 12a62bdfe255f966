// The synthetic signal generator: what it says it generated is in the signals (R peaks, breaths, responses, bursts; the
// pulse and its lag are met by the detectors' tests), rates follow the parameters, frames are well formed and
// deterministic, and physio_gen writes them with clear errors for bad options.
#include <sstream>

#include "corvia.h"
#include "physio.h"
#include "reference.h"
#include "testsupport.h"

namespace {

using testsupport::bin_path;
using testsupport::run;

const double fs = PHYSIO_FRAMES_PER_SECOND;

struct Recording {
  std::vector<double> v[CORVIA_NUM_RAW_SIGNALS];  // physical values
  physio_generator g;
};

// Default parameters, without noise when `quiet`, changed by `setup`.
physio_params params(bool quiet, const std::function<void(physio_params &)> &setup = {}) {
  physio_params p;
  physio_params_init(&p);
  if (quiet) p.ecg_noise = p.ecg_wander = p.ecg_mains = p.bvp_noise = p.resp_noise = p.sc_noise = p.temp_noise = 0;
  if (setup) setup(p);
  return p;
}

// `seconds` of signals; the generator is kept for its event lists.
Recording generated(const physio_params &p, double seconds) {
  Recording r;
  physio_generator_init(&r.g, &p);
  for (auto &v : r.v) v.resize((size_t)(seconds * fs));
  double values[CORVIA_NUM_RAW_SIGNALS];
  for (size_t k = 0; k < r.v[0].size(); k++) {
    physio_generator_next(&r.g, values);
    for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; c++) r.v[c][k] = values[c];
  }
  return r;
}

// The bytes of the first n raw frames of a generator made from `p`.
std::string frames(const physio_params &p, int n, physio_generator *g) {
  physio_generator_init(g, &p);
  std::string bytes;
  for (corvia_data f; n-- > 0; bytes.append((const char *)&f, 32)) physio_generator_next_frame(g, &f);
  return bytes;
}

// Index of the maximum of v within [t0, t1] seconds.
long argmax(const std::vector<double> &v, double t0, double t1) {
  long a = std::max(0L, (long)std::floor(t0 * fs)), b = std::min((long)v.size() - 1, (long)std::ceil(t1 * fs));
  return std::max_element(v.begin() + a, v.begin() + b + 1) - v.begin();
}

double rms(const std::vector<double> &v, double t0, double t1) {
  double s = 0;
  for (long k = (long)(t0 * fs); k < (long)(t1 * fs); k++) s += v[k] * v[k];
  return std::sqrt(s / ((long)(t1 * fs) - (long)(t0 * fs)));
}

// The highest ECG sample within a quarter second is the R peak; the beat rates are the intervals, their mean as asked
// for and their variability moderate.
TEST(PhysioGenerator, RPeaksAndRatesAreWhereTheBeatListSays) {
  for (double noise : {0.0, 1.0}) {
    const Recording r = generated(params(true, [&](physio_params &p) {
                                    std::tie(p.ecg_noise, p.ecg_wander, p.ecg_mains, p.heart_rate) =
                                        std::tuple(10 * noise, 50 * noise, 5 * noise, 90);
                                  }), 60);
    std::vector<double> rates;
    for (size_t i = 1; i < r.g.beats.size(); i++) {
      const physio_beat &a = r.g.beats[i - 1], &b = r.g.beats[i];
      EXPECT_NEAR(b.rr, b.r_time - a.r_time, 1e-9);
      EXPECT_NEAR(b.rate, 60.0 / b.rr, 1e-9);
      if (b.r_time < 60) rates.push_back(b.rate);
      if (b.r_time < 0.5 || b.r_time > 59.5) continue;
      const long k = argmax(r.v[PHYSIO_ECG], b.r_time - 0.25, b.r_time + 0.25);
      EXPECT_NEAR(k / fs, b.r_time, noise == 0 ? 1.0 / fs : 4e-3) << "beat at " << b.r_time << " noise " << noise;
      EXPECT_GT(r.v[PHYSIO_ECG][k], 0.8 * b.amplitude);
    }
    const double sd = ref::stddev(rates);
    EXPECT_NEAR(ref::mean(rates), 90, 2.0);
    EXPECT_NEAR((double)rates.size(), 90, 3);
    EXPECT_GT(sd, 0.5);
    EXPECT_LT(sd, 8.0);
  }
}

// Without variability every beat has the rate asked for.
TEST(PhysioGenerator, EcgHasPQRSTShapeAndAnExactRate) {
  const Recording r = generated(params(true, [](physio_params &p) { p.heart_rate = 60, p.hrv = p.rsa = 0; }), 10);
  for (const physio_beat &b : r.g.beats) EXPECT_NEAR(b.rate, 60.0, 1e-9);
  const physio_beat &b = r.g.beats[3];
  const auto &ecg = r.v[PHYSIO_ECG];
  auto at = [&](double t) { return ecg[(long)std::lround(t * fs)]; };
  const double R = at(b.r_time);
  EXPECT_GT(at(b.r_time - 0.16), 0.08 * R);  // P wave
  EXPECT_LT(at(b.r_time - 0.16), 0.2 * R);
  EXPECT_LT(at(b.r_time + 0.03), -0.1 * R);  // S wave below the baseline
  const long t_peak = argmax(ecg, b.r_time + 0.15, b.r_time + 0.5);
  EXPECT_NEAR(t_peak / fs - b.r_time, 0.30, 0.02);  // T wave
  EXPECT_GT(ecg[t_peak], 0.2 * R);
  EXPECT_LT(std::fabs(at(b.r_time + 0.55)), 0.02 * R);  // back to baseline
}

TEST(PhysioGenerator, HeartRateFollowsTheSchedule) {
  physio_params p = params(false);
  ASSERT_TRUE(physio_parse_schedule("0:60,30:120,40:120,60:80", &p.hr_schedule));
  for (auto [t, rate] : {std::pair{15.0, 90.0}, {50, 100}, {-5, 60}, {99, 80}})
    EXPECT_NEAR(physio_rate_at(p.hr_schedule, 0, t), rate, 1e-12) << t;
  const Recording r = generated(p, 70);
  for (const physio_beat &b : r.g.beats) {
    const double target = physio_rate_at(p.hr_schedule, 0, b.r_time);
    EXPECT_TRUE(b.r_time < 1 || b.r_time > 70 || std::fabs(b.rate - target) <= 0.12 * target) << "at " << b.r_time;
  }
}

TEST(PhysioGenerator, BreathsPeakWhereTheListSays) {
  const physio_params p = params(true, [](physio_params &p) { p.resp_rate = 12; });
  const Recording r = generated(p, 120);
  std::vector<double> rates;
  for (size_t i = 0; i < r.g.breaths.size(); i++) {
    const physio_breath &b = r.g.breaths[i];
    EXPECT_TRUE(i == 0 || std::fabs(b.start - r.g.breaths[i - 1].start - r.g.breaths[i - 1].period) < 1e-9) << i;
    EXPECT_NEAR(b.rate, 60 / b.period, 1e-9);
    if (b.start < 0 || b.start + b.period > 120) continue;
    rates.push_back(b.rate);
    const long k = argmax(r.v[PHYSIO_RESP], b.start, b.start + b.period);
    EXPECT_NEAR(k / fs, b.peak_time, 2.0 / fs);
    EXPECT_NEAR(r.v[PHYSIO_RESP][k], p.resp_level + b.depth, 1e-6);
  }
  EXPECT_NEAR(ref::mean(rates), 12, 0.6);
  EXPECT_GE(rates.size(), 21u);
}

TEST(PhysioGenerator, SkinConductanceRespondsAtTheOnsets) {
  const physio_params p = params(true, [](physio_params &p) { p.scr_rate = p.sc_drift = 0, p.scr_onsets = {20, 5}; });
  const Recording r = generated(p, 30);
  ASSERT_EQ(r.g.scrs.size(), 2u);
  EXPECT_EQ(std::make_pair(r.g.scrs[0].onset, r.g.scrs[1].onset), std::make_pair(5.0, 20.0));
  const auto &sc = r.v[PHYSIO_SC];
  EXPECT_NEAR(sc[(long)(4.9 * fs)], p.sc_level, 1e-9);
  const long k = argmax(sc, 5, 12);
  EXPECT_NEAR(k / fs, 5 + r.g.scrs[0].duration, 0.01);
  EXPECT_NEAR(sc[k], p.sc_level + r.g.scrs[0].amplitude, 1e-6);
  // Within plausible ranges of the units after conversion.
  EXPECT_GT(*std::min_element(sc.begin(), sc.end()), 0.5);
  const auto [lo, hi] = std::minmax_element(r.v[PHYSIO_TEMP].begin(), r.v[PHYSIO_TEMP].end());
  EXPECT_TRUE(*lo > 25 && *hi < 40);
}

TEST(PhysioGenerator, EmgBurstsRaiseTheActivity) {
  const physio_params p = params(false, [](physio_params &p) { p.emg_burst_rate = 10; });
  const Recording r = generated(p, 60);
  ASSERT_GE(r.g.emg_bursts.size(), 3u);
  double quiet_start = -1;  // of the first gap of more than a second
  for (size_t i = 0; i < r.g.emg_bursts.size(); i++) {
    const physio_event &e = r.g.emg_bursts[i];
    if (e.onset + e.duration > 59) continue;
    const double inside = rms(r.v[PHYSIO_EMG], e.onset + 0.3 * e.duration, e.onset + 0.7 * e.duration);
    EXPECT_TRUE(inside > 0.4 * e.amplitude && inside < 1.5 * e.amplitude) << inside;
    if (quiet_start < 0 && i + 1 < r.g.emg_bursts.size() && r.g.emg_bursts[i + 1].onset - (e.onset + e.duration) > 1.0)
      quiet_start = e.onset + e.duration + 0.1;
  }
  ASSERT_GT(quiet_start, 0);
  const double quiet = rms(r.v[PHYSIO_EMG], quiet_start, quiet_start + 0.5);  // only the baseline
  EXPECT_TRUE(quiet > 0.3 * p.emg_level && quiet < 2.0 * p.emg_level) << quiet;
}

// Raw frames convert back to the physical values; the 14 device values, stored by the capture callback and taken out as
// standard signals, are the raw frame's six values.
TEST(PhysioGenerator, RawFramesAndDeviceValuesCarryThePhysicalValues) {
  const physio_params p = params(false, [](physio_params &p) { p.start_sec = 1000, p.start_usec = 999000; });
  physio_generator a, b, d;
  for (physio_generator *g : {&a, &b, &d}) physio_generator_init(g, &p);
  corvia_capture_start();
  for (int k = 0; k < 5000; k++) {
    corvia_data f, got;
    double values[6];
    float device[CORVIA_CAPTURE_NUM_CHANNELS];
    physio_generator_next_frame(&a, &f);
    physio_generator_next(&b, values);
    physio_generator_next_device_values(&d, device);
    // k / 2048 s after 1000.999 s, truncated to microseconds.
    const long long us = 999000LL + (long long)k * 1000000 / 2048;
    EXPECT_EQ(std::make_pair((long long)f.time.tv_sec, (long long)f.time.tv_usec),
              std::make_pair(1000 + us / 1000000, us % 1000000));
    for (int c = 0; c < 6; c++)
      EXPECT_NEAR(corvia_make_human_readable(f.data[c], c), values[c],
                  1e-6 * std::max(1.0, std::fabs(values[c])) + (c == 3 ? 1e-5 : 0));
    // Raw SC and Resp are negated; Temp is before calibration.
    EXPECT_TRUE(f.data[PHYSIO_SC] < 0 && f.data[PHYSIO_RESP] < 0 && f.data[PHYSIO_TEMP] > 500) << k;
    for (int c : {0, 1, 8, 9, 10, 11, 12, 13}) EXPECT_EQ(device[c], 0.0f);
    corvia_capture_process_data(1, 0, device);
    ASSERT_EQ(corvia_capture_get_standard_signals(&got), 1);
    EXPECT_EQ(memcmp(got.data, f.data, sizeof got.data), 0) << k;
  }
  for (int c = 0; c < 6; c++)
    EXPECT_NEAR(corvia_make_human_readable(physio_raw_from_physical(31.5, c), c), 31.5, 1e-12);
  for (physio_generator *g : {&a, &b, &d}) physio_generator_free(g);
}

TEST(PhysioSchedule, ParsesAndRejects) {
  std::vector<physio_rate_point> s;
  ASSERT_TRUE(physio_parse_schedule("0:60,10.5:90", &s));
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(std::make_pair(s[1].t, s[1].rate), std::make_pair(10.5, 90.0));
  for (const char *bad : {"", "60", "0:60,", "0:60,5", "10:60,5:70", "0:-3", "0:0", "a:60", "0:60x"}) {
    std::vector<physio_rate_point> t = {{1, 2}};
    EXPECT_FALSE(physio_parse_schedule(bad, &t)) << bad;
    EXPECT_EQ(t.size(), 1u) << "left unchanged on failure: " << bad;
  }
}

TEST(PhysioGen, WritesTheFramesOfTheLibrary) {
  testsupport::TempDir dir;
  auto r = run(bin_path("physio_gen"),
               {"--frames=3000", "--seed=5", "--hr=65", "--start=1700000000.25", "--truth=" + dir.file("truth.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  physio_params p = params(false, [](physio_params &p) {
    std::tie(p.seed, p.heart_rate, p.start_sec, p.start_usec) = std::tuple(5, 65, 1700000000, 250000);
  });
  // The same seed gives the same signals, another seed others.
  physio_generator g, other;
  EXPECT_TRUE(r.out == frames(p, 3000, &g));
  p.seed = 6;
  EXPECT_FALSE(r.out == frames(p, 3000, &other));
  // The truth file lists the beats of the recording.
  std::istringstream truth(testsupport::read_file(dir.file("truth.txt")));
  std::vector<double> listed, within;
  double r_time;
  for (std::string line; std::getline(truth, line);)
    if (sscanf(line.c_str(), "beat %lf", &r_time) == 1) listed.push_back(r_time);
  for (const auto &b : g.beats)
    if (b.r_time < 3000 / fs) within.push_back(b.r_time);
  ASSERT_EQ(listed.size(), within.size());
  EXPECT_GT(listed.size(), 0u);
  for (size_t i = 0; i < listed.size(); i++) EXPECT_NEAR(listed[i], within[i], 1e-6);
  // Lengths in seconds.
  EXPECT_EQ(run(bin_path("physio_gen"), {"-s", "1.5"}).out.size(), 3072u * 32);
  EXPECT_EQ(run(bin_path("physio_gen"), {"--seconds=0"}).out.size(), 0u);
}

TEST(PhysioGen, BadOptionsAreReported) {
  const std::string E = "physio_gen error: ";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
    bool whole;  // the whole of standard error, else a part
  } cases[] = {
      {{"--hr=fast"}, 1, E + "--hr: not a number: 'fast'\n", true},
      {{"--hr=0"}, 1, E + "--hr must be positive: '0'\n", true},
      {{"--seconds=-1"}, 1, E + "--seconds must not be negative: '-1'\n", true},
      {{"--frames=1e3"}, 1, E + "--frames: not an integer: '1e3'\n", true},
      {{"--hr-schedule=0:60,5"}, 1,
       E + "--hr-schedule: expected T:BPM,T:BPM,... with ascending times and positive rates: '0:60,5' (see --help)\n",
       true},
      {{"--disconnect=7:1:2"}, 1, E + "--disconnect: expected SIGNAL:START:END with SIGNAL 0-5: '7:1:2' (see --help)\n", true},
      {{"--disconnect=0:2:1"}, 1, E + "--disconnect: expected SIGNAL:START:END with END > START: '0:2:1' (see --help)\n", true},
      {{"--start=12.1234567"}, 1, E + "--start: not a time in seconds: '12.1234567' (see --help)\n", true},
      {{"--scr-onsets=1,x"}, 1, E + "--scr-onsets: expected T,T,...: '1,x' (see --help)\n", true},
      {{"extra"}, 1, E + "unexpected argument 'extra' (see --help)\n", true},
      {{"--truth=/nonexistent-dir/t.txt", "-n", "1"}, 1, "/nonexistent-dir/t.txt: No such file or directory\n", true},
      {{"--bogus"}, 1, "unrecognized option '--bogus'", false},
      {{"--help"}, 0, "usage: physio_gen [OPTIONS]", false},
  };
  for (const auto &c : cases) {
    auto r = run(bin_path("physio_gen"), c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_TRUE(c.whole ? r.err == c.err : r.err.find(c.err) != std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  auto r = run("/bin/sh", {"-c", "exec \"$0\" -s 1 > /dev/full", bin_path("physio_gen")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "stdout: No space left on device\n");
}

}  // namespace
