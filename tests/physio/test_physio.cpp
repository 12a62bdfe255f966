// The synthetic signal generator: what it says it generated is in the
// signals (R peaks, breaths, responses, bursts; the pulse and its lag are
// met by the detectors' tests), rates follow the parameters, frames are
// well formed and deterministic, and physio_gen writes them with clear
// errors for bad options.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvia.h"
#include "physio.h"
#include "testsupport.h"

namespace {

using testsupport::bin_path;
using testsupport::run;

const double fs = PHYSIO_FRAMES_PER_SECOND;

struct Recording {
  std::vector<double> v[CORVIA_NUM_RAW_SIGNALS];  // physical values
  physio_generator g;
};

// Generates `seconds` of signals; the generator is kept for its event lists.
void generate(const physio_params &p, double seconds, Recording *r) {
  physio_generator_init(&r->g, &p);
  const long n = (long)(seconds * fs);
  for (auto &v : r->v) v.resize(n);
  double values[CORVIA_NUM_RAW_SIGNALS];
  for (long k = 0; k < n; k++) {
    physio_generator_next(&r->g, values);
    for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; c++) r->v[c][k] = values[c];
  }
}

physio_params quiet_params() {
  physio_params p;
  physio_params_init(&p);
  p.ecg_noise = p.ecg_wander = p.ecg_mains = 0;
  p.bvp_noise = p.resp_noise = p.sc_noise = p.temp_noise = 0;
  return p;
}

// The bytes of the first n raw frames of a generator made from `p`.
std::string frames(const physio_params &p, int n, physio_generator *g) {
  physio_generator_init(g, &p);
  std::string bytes;
  for (int k = 0; k < n; k++) {
    corvia_data f;
    physio_generator_next_frame(g, &f);
    bytes.append((const char *)&f, 32);
  }
  return bytes;
}

// Index of the maximum of v within [t0, t1] seconds.
long argmax(const std::vector<double> &v, double t0, double t1) {
  long a = std::max(0L, (long)std::floor(t0 * fs));
  long b = std::min((long)v.size() - 1, (long)std::ceil(t1 * fs));
  return std::max_element(v.begin() + a, v.begin() + b + 1) - v.begin();
}

double rms(const std::vector<double> &v, double t0, double t1) {
  long a = (long)(t0 * fs), b = (long)(t1 * fs);
  double s = 0;
  for (long k = a; k < b; k++) s += v[k] * v[k];
  return std::sqrt(s / (b - a));
}

TEST(PhysioGenerator, RPeaksAreWhereTheBeatListSays) {
  for (double noise : {0.0, 1.0}) {
    physio_params p = quiet_params();
    p.ecg_noise = 10.0 * noise;
    p.ecg_wander = 50.0 * noise;
    p.ecg_mains = 5.0 * noise;
    p.heart_rate = 75;
    Recording r;
    generate(p, 30, &r);
    int checked = 0;
    for (const physio_beat &b : r.g.beats) {
      if (b.r_time < 0.5 || b.r_time > 29.5) continue;
      // The highest ECG sample within a quarter second is the R peak.
      const long k = argmax(r.v[PHYSIO_ECG], b.r_time - 0.25, b.r_time + 0.25);
      EXPECT_NEAR(k / fs, b.r_time, noise == 0 ? 1.0 / fs : 4e-3)
          << "beat at " << b.r_time << " noise " << noise;
      EXPECT_GT(r.v[PHYSIO_ECG][k], 0.8 * b.amplitude);
      checked++;
    }
    EXPECT_GE(checked, 35);
  }
}

// Without variability every beat has the rate asked for.
TEST(PhysioGenerator, EcgHasPQRSTShapeAndAnExactRate) {
  physio_params p = quiet_params();
  p.heart_rate = 60;
  p.hrv = p.rsa = 0;
  Recording r;
  generate(p, 10, &r);
  for (const physio_beat &b : r.g.beats) EXPECT_NEAR(b.rate, 60.0, 1e-9);
  const physio_beat &b = r.g.beats[3];
  const auto &ecg = r.v[PHYSIO_ECG];
  auto at = [&](double t) { return ecg[(long)std::lround(t * fs)]; };
  const double R = at(b.r_time);
  EXPECT_GT(at(b.r_time - 0.16), 0.08 * R);   // P wave
  EXPECT_LT(at(b.r_time - 0.16), 0.2 * R);
  EXPECT_LT(at(b.r_time + 0.03), -0.1 * R);   // S wave below the baseline
  const long t_peak = argmax(ecg, b.r_time + 0.15, b.r_time + 0.5);
  EXPECT_NEAR(t_peak / fs - b.r_time, 0.30, 0.02);  // T wave
  EXPECT_GT(ecg[t_peak], 0.2 * R);
  EXPECT_LT(std::fabs(at(b.r_time + 0.55)), 0.02 * R);  // back to baseline
}

TEST(PhysioGenerator, BeatRatesAreTheIntervals) {
  physio_params p;
  physio_params_init(&p);
  p.heart_rate = 90;
  Recording r;
  generate(p, 60, &r);
  std::vector<double> rates;
  for (size_t i = 1; i < r.g.beats.size(); i++) {
    const physio_beat &a = r.g.beats[i - 1], &b = r.g.beats[i];
    EXPECT_NEAR(b.rr, b.r_time - a.r_time, 1e-9);
    EXPECT_NEAR(b.rate, 60.0 / b.rr, 1e-9);
    if (b.r_time < 60) rates.push_back(b.rate);
  }
  const double mean = std::accumulate(rates.begin(), rates.end(), 0.0) / rates.size();
  EXPECT_NEAR(mean, 90, 2.0);
  EXPECT_NEAR((double)rates.size(), 90, 3);
  // Variability is there, but moderate.
  double sd = 0;
  for (double x : rates) sd += (x - mean) * (x - mean);
  sd = std::sqrt(sd / rates.size());
  EXPECT_GT(sd, 0.5);
  EXPECT_LT(sd, 8.0);
}

TEST(PhysioGenerator, HeartRateFollowsTheSchedule) {
  physio_params p;
  physio_params_init(&p);
  ASSERT_TRUE(physio_parse_schedule("0:60,30:120,40:120,60:80", &p.hr_schedule));
  EXPECT_NEAR(physio_rate_at(p.hr_schedule, 0, 15), 90, 1e-12);
  EXPECT_NEAR(physio_rate_at(p.hr_schedule, 0, 50), 100, 1e-12);
  EXPECT_EQ(physio_rate_at(p.hr_schedule, 0, -5), 60);
  EXPECT_EQ(physio_rate_at(p.hr_schedule, 0, 99), 80);
  Recording r;
  generate(p, 70, &r);
  for (const physio_beat &b : r.g.beats) {
    if (b.r_time < 1 || b.r_time > 70) continue;
    const double target = physio_rate_at(p.hr_schedule, 0, b.r_time);
    EXPECT_NEAR(b.rate, target, 0.12 * target) << "at " << b.r_time;
  }
}

TEST(PhysioGenerator, BreathsPeakWhereTheListSays) {
  physio_params p = quiet_params();
  p.resp_rate = 12;
  Recording r;
  generate(p, 120, &r);
  std::vector<double> rates;
  for (size_t i = 0; i < r.g.breaths.size(); i++) {
    const physio_breath &b = r.g.breaths[i];
    if (i > 0) {
      EXPECT_NEAR(b.start, r.g.breaths[i - 1].start + r.g.breaths[i - 1].period, 1e-9);
    }
    EXPECT_NEAR(b.rate, 60 / b.period, 1e-9);
    if (b.start < 0 || b.start + b.period > 120) continue;
    rates.push_back(b.rate);
    const long k = argmax(r.v[PHYSIO_RESP], b.start, b.start + b.period);
    EXPECT_NEAR(k / fs, b.peak_time, 2.0 / fs);
    EXPECT_NEAR(r.v[PHYSIO_RESP][k], p.resp_level + b.depth, 1e-6);
  }
  const double mean = std::accumulate(rates.begin(), rates.end(), 0.0) / rates.size();
  EXPECT_NEAR(mean, 12, 0.6);
  EXPECT_GE(rates.size(), 21u);
}

TEST(PhysioGenerator, SkinConductanceRespondsAtTheOnsets) {
  physio_params p = quiet_params();
  p.scr_rate = 0;
  p.sc_drift = 0;
  p.scr_onsets = {20, 5};
  Recording r;
  generate(p, 30, &r);
  ASSERT_EQ(r.g.scrs.size(), 2u);
  EXPECT_EQ(r.g.scrs[0].onset, 5);
  EXPECT_EQ(r.g.scrs[1].onset, 20);
  const auto &sc = r.v[PHYSIO_SC];
  EXPECT_NEAR(sc[(long)(4.9 * fs)], p.sc_level, 1e-9);
  const physio_event &e = r.g.scrs[0];
  const long k = argmax(sc, 5, 12);
  EXPECT_NEAR(k / fs, 5 + e.duration, 0.01);
  EXPECT_NEAR(sc[k], p.sc_level + e.amplitude, 1e-6);
  // Within plausible ranges of the units after conversion.
  for (double x : sc) EXPECT_GT(x, 0.5);
  for (double x : r.v[PHYSIO_TEMP]) {
    EXPECT_GT(x, 25);
    EXPECT_LT(x, 40);
  }
}

TEST(PhysioGenerator, EmgBurstsRaiseTheActivity) {
  physio_params p;
  physio_params_init(&p);
  p.emg_burst_rate = 10;
  Recording r;
  generate(p, 60, &r);
  ASSERT_GE(r.g.emg_bursts.size(), 3u);
  for (const physio_event &e : r.g.emg_bursts) {
    if (e.onset + e.duration > 59) continue;
    const double inside = rms(r.v[PHYSIO_EMG], e.onset + 0.3 * e.duration,
                              e.onset + 0.7 * e.duration);
    EXPECT_GT(inside, 0.4 * e.amplitude);
    EXPECT_LT(inside, 1.5 * e.amplitude);
  }
  // Between bursts, only the baseline.
  double quiet_start = -1;
  for (size_t i = 1; i < r.g.emg_bursts.size(); i++) {
    const physio_event &a = r.g.emg_bursts[i - 1];
    if (r.g.emg_bursts[i].onset - (a.onset + a.duration) > 1.0) {
      quiet_start = a.onset + a.duration + 0.1;
      break;
    }
  }
  ASSERT_GT(quiet_start, 0);
  const double quiet = rms(r.v[PHYSIO_EMG], quiet_start, quiet_start + 0.5);
  EXPECT_GT(quiet, 0.3 * p.emg_level);
  EXPECT_LT(quiet, 2.0 * p.emg_level);
}

TEST(PhysioGenerator, RawFramesConvertBackToThePhysicalValues) {
  physio_params p;
  physio_params_init(&p);
  p.start_sec = 1000;
  p.start_usec = 999000;
  physio_generator a, b;
  physio_generator_init(&a, &p);
  physio_generator_init(&b, &p);
  for (int k = 0; k < 5000; k++) {
    corvia_data f;
    double values[6];
    physio_generator_next_frame(&a, &f);
    physio_generator_next(&b, values);
    // k / 2048 s after 1000.999 s, truncated to microseconds.
    const long long us = 999000LL + (long long)k * 1000000 / 2048;
    EXPECT_EQ(f.time.tv_sec, 1000 + us / 1000000);
    EXPECT_EQ(f.time.tv_usec, us % 1000000);
    for (int c = 0; c < 6; c++)
      EXPECT_NEAR(corvia_make_human_readable(f.data[c], c), values[c],
                  1e-6 * std::max(1.0, std::fabs(values[c])) + (c == 3 ? 1e-5 : 0));
    EXPECT_LT(f.data[PHYSIO_SC], 0);    // raw SC is negated
    EXPECT_LT(f.data[PHYSIO_RESP], 0);  // raw Resp is negated
    EXPECT_GT(f.data[PHYSIO_TEMP], 500);  // before calibration
  }
  for (int c = 0; c < 6; c++)
    EXPECT_NEAR(corvia_make_human_readable(physio_raw_from_physical(31.5, c), c),
                31.5, 1e-12);
  physio_generator_free(&a);
  physio_generator_free(&b);
}

TEST(PhysioGenerator, DeviceValuesGoThroughTheCaptureBuffer) {
  // The 14 device values, stored by the capture callback and taken out as
  // standard signals, are the raw frame's six values.
  physio_params p;
  physio_params_init(&p);
  physio_generator a, b;
  physio_generator_init(&a, &p);
  physio_generator_init(&b, &p);
  corvia_capture_start();
  for (int k = 0; k < 3000; k++) {
    float values[CORVIA_CAPTURE_NUM_CHANNELS];
    physio_generator_next_device_values(&a, values);
    for (int c : {0, 1, 8, 9, 10, 11, 12, 13}) EXPECT_EQ(values[c], 0.0f);
    corvia_capture_process_data(1, 0, values);
    corvia_data expected, got;
    physio_generator_next_frame(&b, &expected);
    ASSERT_EQ(corvia_capture_get_standard_signals(&got), 1);
    EXPECT_EQ(memcmp(got.data, expected.data, sizeof got.data), 0) << k;
  }
}

TEST(PhysioGenerator, DisconnectsAreExactZeros) {
  physio_params p;
  physio_params_init(&p);
  p.disconnects = {{PHYSIO_ECG, 1.0, 1.5}, {PHYSIO_TEMP, 0.25, 0.5}};
  physio_generator g;
  physio_generator_init(&g, &p);
  for (int k = 0; k < 4096; k++) {
    corvia_data f;
    physio_generator_next_frame(&g, &f);
    const double t = k / fs;
    EXPECT_EQ(f.data[PHYSIO_ECG] == 0.0f, t >= 1.0 && t < 1.5) << k;
    EXPECT_EQ(f.data[PHYSIO_TEMP] == 0.0f, t >= 0.25 && t < 0.5) << k;
    EXPECT_NE(f.data[PHYSIO_BVP], 0.0f);
  }
}

TEST(PhysioSchedule, ParsesAndRejects) {
  std::vector<physio_rate_point> s;
  ASSERT_TRUE(physio_parse_schedule("0:60,10.5:90", &s));
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[1].t, 10.5);
  EXPECT_EQ(s[1].rate, 90);
  for (const char *bad : {"", "60", "0:60,", "0:60,5", "10:60,5:70", "0:-3",
                          "0:0", "a:60", "0:60x"}) {
    std::vector<physio_rate_point> t = {{1, 2}};
    EXPECT_FALSE(physio_parse_schedule(bad, &t)) << bad;
    EXPECT_EQ(t.size(), 1u) << "left unchanged on failure: " << bad;
  }
}

TEST(PhysioGen, WritesTheFramesOfTheLibrary) {
  testsupport::TempDir dir;
  auto r = run(bin_path("physio_gen"),
               {"--frames=3000", "--seed=5", "--hr=65", "--start=1700000000.25",
                "--truth=" + dir.file("truth.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.out.size(), 3000u * 32);
  physio_params p;
  physio_params_init(&p);
  p.seed = 5;
  p.heart_rate = 65;
  p.start_sec = 1700000000;
  p.start_usec = 250000;
  // The same seed gives the same signals, another seed others.
  physio_generator g, other;
  EXPECT_TRUE(r.out == frames(p, 3000, &g));
  p.seed = 6;
  EXPECT_FALSE(r.out == frames(p, 3000, &other));
  // The truth file lists the beats of the recording.
  std::istringstream truth(testsupport::read_file(dir.file("truth.txt")));
  std::string line;
  size_t beats = 0;
  while (std::getline(truth, line)) {
    if (line.rfind("beat ", 0) != 0) continue;
    double r_time;
    ASSERT_EQ(sscanf(line.c_str(), "beat %lf", &r_time), 1);
    EXPECT_NEAR(r_time, g.beats[beats].r_time, 1e-6);
    beats++;
  }
  size_t within = 0;
  for (const auto &b : g.beats) within += b.r_time < 3000 / fs;
  EXPECT_EQ(beats, within);
  EXPECT_GT(beats, 0u);
  // Lengths in seconds.
  EXPECT_EQ(run(bin_path("physio_gen"), {"-s", "1.5"}).out.size(), 3072u * 32);
  r = run(bin_path("physio_gen"), {"--seconds=0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 0u);
}

TEST(PhysioGen, BadOptionsAreReported) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"--hr=fast"}, "physio_gen error: --hr: not a number: 'fast'\n"},
      {{"--hr=0"}, "physio_gen error: --hr must be positive: '0'\n"},
      {{"--seconds=-1"}, "physio_gen error: --seconds must not be negative: '-1'\n"},
      {{"--frames=1e3"}, "physio_gen error: --frames: not an integer: '1e3'\n"},
      {{"--hr-schedule=0:60,5"},
       "physio_gen error: --hr-schedule: expected T:BPM,T:BPM,... with ascending "
       "times and positive rates: '0:60,5' (see --help)\n"},
      {{"--disconnect=7:1:2"},
       "physio_gen error: --disconnect: expected SIGNAL:START:END with SIGNAL 0-5: "
       "'7:1:2' (see --help)\n"},
      {{"--disconnect=0:2:1"},
       "physio_gen error: --disconnect: expected SIGNAL:START:END with END > "
       "START: '0:2:1' (see --help)\n"},
      {{"--start=12.1234567"},
       "physio_gen error: --start: not a time in seconds: '12.1234567' (see --help)\n"},
      {{"--scr-onsets=1,x"},
       "physio_gen error: --scr-onsets: expected T,T,...: '1,x' (see --help)\n"},
      {{"extra"}, "physio_gen error: unexpected argument 'extra' (see --help)\n"},
      {{"--truth=/nonexistent-dir/t.txt", "-n", "1"},
       "/nonexistent-dir/t.txt: No such file or directory\n"},
  };
  for (const Case &c : cases) {
    auto r = run(bin_path("physio_gen"), c.args);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  auto r = run(bin_path("physio_gen"), {"--bogus"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("unrecognized option '--bogus'"), std::string::npos);
  r = run("/bin/sh", {"-c", "exec \"$0\" -s 1 > /dev/full", bin_path("physio_gen")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "stdout: No space left on device\n");
  r = run(bin_path("physio_gen"), {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("usage: physio_gen [OPTIONS]"), std::string::npos);
}

}  // namespace
