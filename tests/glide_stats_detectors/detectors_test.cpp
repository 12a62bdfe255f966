// glide_stats with the peak, dip, impulse and heart-rate functions: their
// defaults and parameter lines, their values against the library run
// directly, their debug files, and the settings refused at start-up.
#include <sys/stat.h>

#include "../glide_stats/glide_harness.h"
#include "fex.h"
#include "reference.h"
#include "stepper.h"

namespace {

using glide_harness::Args;
using glide_harness::glide;
using glide_harness::run_ok;
using testsupport::ProcResult;

// Gaussian pulses every `period` samples on a slow ramp.
std::vector<double> pulses(size_t n, double period, double sd) {
  auto x = ref::bumps(n, ref::regular(period / 2, period, n + 8 * sd), 10, sd, 0, 0);
  for (size_t t = 0; t < n; ++t) x[t] += 0.001 * t;
  return x;
}

// Narrow spikes every `period` samples with a T wave after each, on a slow
// wave.
std::vector<double> spikes(size_t n, double period, double rate) {
  std::vector<double> x(n);
  for (size_t t = 0; t < n; ++t) {
    const double phase = std::fmod(t, period);
    const double r = (phase - period / 2) / (0.01 * rate), tw = (phase - period / 2 - 0.25 * rate) / (0.05 * rate);
    x[t] = std::exp(-0.5 * r * r) + 0.2 * std::exp(-0.5 * tw * tw) + 0.3 * std::sin(t * 2.0 / rate);
  }
  return x;
}

TEST(GlideDetectors, DefaultsAndGivenSettingsInTheParameterLines) {
  const std::string bpm = "min bpm = 20.000000, max bpm = 200.000000, samplerate = 2048.000000\n";
  const std::pair<Args, std::vector<std::string>> cases[] = {
      {{"--function=peak_max"},
       {"glide_stats: function peak_max: mean width = 100, maximum_width = 10, threshold = 0.400000, " + bpm,
        "glide_stats: size = 0\n"}},
      // One instance per dimension, each with its lag: 2 * 0.5 / 256 s.
      {{"--function=peak_slope_max", "--samplerate=256"},
       {"glide_stats: function peak_slope_max: regression width = 16, maximum_width = 2, threshold = 0.600000, "
        "min bpm = 20.000000, max bpm = 200.000000, samplerate = 256.000000\n",
        "inherent lag = 0.003906\n"}},
      {{"--function=peak_slope_max"},
       {"regression width = 130, maximum_width = 10, threshold = 0.600000", "inherent lag = 0.002441\n"}},
      {{"--function=peak_slope_stddev"},
       {"glide_stats: function peak_slope_stddev: regression width = 130, maximum_width = 10, threshold = "
        "2.000000\n, " + bpm}},
      {{"--function=peak_stddev"},
       {"glide_stats: function peak_stddev: mean width = 100, maximum_width = 10, threshold = 2.000000, " + bpm}},
      {{"--function=dip_slope_min"},
       {"glide_stats: function dip_slope_min: regression width = 80, mean width = 100, minimum_width = 10, "
        "threshold = 0.500000, " + bpm}},
      {{"--function=peak_max", "-W", "50", "-M", "6", "-T", "0.3", "-b", "40", "-B", "180", "-s", "500"},
       {"glide_stats: function peak_max: mean width = 50, maximum_width = 6, threshold = 0.300000, min bpm = "
        "40.000000, max bpm = 180.000000, samplerate = 500.000000\n"}},
      {{"--function=dip_slope_min", "--peak_regression_width=20", "--peak_width=30", "--peak_max=4",
        "--peak_threshold=0.7"},
       {"regression width = 20, mean width = 30, minimum_width = 4, threshold = 0.700000"}},
      {{"--function=qrs_beats", "--samplerate=360"},
       {"glide_stats: function qrs_beats: samplerate = 360.000000, output delay = 540 samples\n"}},
  };
  for (const auto &[args, lines] : cases) {
    std::string err;
    run_ok(args, {1, 2, 3, 4}, 2, &err);
    for (const std::string &line : lines) {  // the lag once per dimension
      if (line.find("lag") != std::string::npos) {
        EXPECT_EQ(testsupport::count(err, line), 2u) << line << err;
      } else {
        EXPECT_NE(err.find(line), std::string::npos) << line << err;
      }
    }
  }
}

TEST(GlideDetectors, EachDetectorIsItsLibraryFunction) {
  const auto x = pulses(1500, 100, 4);
  std::vector<double> neg(x.size()), two;
  std::transform(x.begin(), x.end(), neg.begin(), [](double v) { return -v; });
  // Pulses at 60 and 76.8 per minute (256 Hz) for 8 s, on two dimensions.
  const auto a = pulses(256 * 8, 256, 5), b = pulses(256 * 8, 200, 5);
  for (size_t i = 0; i < a.size(); ++i) two.insert(two.end(), {a[i], b[i]});
  std::vector<double> qrs_in;  // QRS complexes at 60 and 76.8 per minute for 12 s
  const auto qa = spikes(256 * 12, 256, 256), qb = spikes(256 * 12, 200, 256);
  for (size_t i = 0; i < qa.size(); ++i) qrs_in.insert(qrs_in.end(), {qa[i], qb[i]});
  const struct {
    Args args;
    const std::vector<double> *input;
    int dim;
    std::function<ref::Stepper()> make;
  } cases[] = {
      {{"--function=peak_max", "-s", "256", "-W", "40", "-M", "6"}, &x, 1,
       [] { return STEPPER(moving_peak_max, 40, 6, 0.4, 20, 256, nullptr); }},
      {{"--function=peak_slope_max", "-s", "256"}, &x, 1, [] { return STEPPER(moving_peak_slope_max, 16, 2, 0.6, 20, 256); }},
      {{"--function=peak_slope_stddev", "-s", "256", "-R", "12", "-M", "6", "-T", "1.5"}, &x, 1,
       [] { return STEPPER(moving_peak_slope_stddev, 12, 6, 1.5, 20, 256); }},
      {{"--function=peak_stddev", "-s", "256", "-T", "1"}, &x, 1,
       [] { return STEPPER(moving_peak_stddev, 100, 10, 1.0, 20, 256); }},
      {{"--function=dip_slope_min", "-s", "256", "-R", "12", "-W", "50", "-M", "6"}, &neg, 1,
       [] { return STEPPER(moving_dip_slope_min, 12, 50, 6, 0.5, 20, 256); }},
      {{"--function=ecg_hr", "-s", "256", "-w", "1"}, &two, 2, [] { return STEPPER(ecg_hr, 256, 1); }},
      {{"--function=bvp_hr", "-s", "256", "-w", "1"}, &two, 2, [] { return STEPPER(bvp_hr, 256, 1); }},
      {{"--function=resp_rate", "-s", "256", "-w", "1"}, &two, 2, [] { return STEPPER(resp_rate, 256, 1); }},
      {{"--function=qrs_beats", "--samplerate=256"}, &qrs_in, 2, [] { return STEPPER_OF(qrs, qrs, beat, 256); }},
      {{"--function=qrs_hr", "--samplerate=256"}, &qrs_in, 2, [] { return STEPPER(qrs, 256); }},
  };
  for (const auto &c : cases) {
    const auto y = run_ok(c.args, *c.input, c.dim);
    EXPECT_EQ(y, glide_harness::library_values(*c.input, c.dim, c.make)) << c.args[0];
    const bool finds = c.args[0] == "--function=peak_max" || c.args[0] == "--function=dip_slope_min";
    EXPECT_TRUE(!finds || std::count(y.begin(), y.end(), 1.0) >= 14) << c.args[0];  // the pulses are found
    if (c.args[0] == "--function=ecg_hr" || c.args[0] == "--function=qrs_hr") {
      EXPECT_NEAR(y[y.size() - 2], 60.0, 0.5);
      EXPECT_NEAR(y[y.size() - 1], 76.8, 0.5);
    }
  }
}

TEST(GlideDetectors, ImpulseConvertersAndProductRect) {
  EXPECT_EQ(run_ok({"--function=impulses_lag", "-w", "1"}, {0, 1, 0, 0, -3, 0, NAN, 0}),
            (std::vector<double>{-1, 0, 1, 2, 0, 1, 0, 1}));
  EXPECT_EQ(run_ok({"--function=impulses_to_stepfunction", "-w", "1"}, {0, 0, 1, 0, 0, -3, 0}),
            (std::vector<double>{0, 0, 1, 1, 1, -3, -3}));
  // Impulses 64 samples apart at 256 Hz (240 per minute, repaired to the
  // maximum of 200), then 128 apart (120 per minute); 1.7 truncates to 1,
  // NaN and 2 are no impulse.
  std::vector<double> x(1400, 0.0);
  for (int t = 0; t < 400; t += 64) x[t] = 1;
  for (int t = 448; t < 1400; t += 128) x[t] = 1.7;
  x[500] = NAN;
  x[520] = 2;
  const auto y = run_ok(
      {"--function=peaks_to_bpm_imp", "-w", "1", "-s", "256", "--peak_min_bpm=20", "--peak_max_bpm=200"}, x);
  ASSERT_EQ(y.size(), x.size());
  const std::pair<size_t, double> at[] = {{64, 200}, {448, 200}, {576, 120}, {1344, 120}, {500, 0}, {520, 0}, {577, 0}};
  for (const auto &[t, bpm] : at) EXPECT_EQ(y[t], bpm) << t;
  // A zero factor without a floor; the default floor of 1e-9 keeps it tiny
  // but non-zero.
  const auto p = run_ok({"--function=product_rect", "-w", "3", "--floor=0"}, {2, 3, 4, 0, 5, 6, 7, 8, -1, -2, -3, -4});
  const std::vector<double> want = {0, 0, 24, 0, 0, 0, 210, 336, 0, 0, 6, 24};
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(p.at(i), want[i], 1e-9) << i;
  const auto z = run_ok({"--function=product_rect", "-w", "2"}, {3, 0, 2});
  EXPECT_NEAR(z[1], 3e-9, 1e-15);
  EXPECT_NEAR(z[2], 2e-9, 1e-15);
}

TEST(GlideDetectors, DebugFiles) {
  testsupport::TempDir dir;
  testsupport::RunOptions in_dir{dir.path(), {}, 120};
  // last_ecg_center writes zeros, and one line of 128 values per beat after
  // the 6 s artefact period into its debug file.
  const auto x = pulses(256 * 10, 200, 2);
  ProcResult r = glide({"--function=last_ecg_center", "-s", "256", "-w", "1"}, x, 1, in_dir);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::fv_values(r.out), std::vector<double>(x.size(), 0.0));
  EXPECT_NE(r.err.find("last_ecg_center_params_init: size = 128\n"), std::string::npos) << r.err;
  const size_t lines = testsupport::count(testsupport::read_file(dir.file("last_ecg_center.debug.ascii")), "\n");
  EXPECT_GE(lines, 3u);
  EXPECT_LE(lines, 6u);
  // One dimension: the peak file gets one line per sample.
  const std::string path = dir.file("peaks.txt");
  r = glide({"--function=peak_max", "--peak_debug=" + path}, {1, 2, 3, 2});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::count(testsupport::read_file(path), "\n"), 4u);
  // Two dimensions would write the same file twice over; files that cannot
  // be made.
  const std::string e = "glide_stats error: function ";
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("sub/last_ecg_center.debug.ascii").c_str(), 0755), 0);
  const std::string missing = dir.file("no/such/folder/peaks.txt");
  glide_harness::expect_refused(
      {{{"--function=peak_max", "-D", path},
        e + "peak_max writes its debug file " + path + " for one dimension only; the stream has more than one!\n", 2},
       {{"--function=last_ecg_center", "-w", "1"},
        e + "last_ecg_center writes its debug file last_ecg_center.debug.ascii for one dimension only; the stream "
            "has more than one!\n",
        2, dir.path()},
       {{"--function=peak_max", "--peak_debug=" + missing}, missing + ": " + std::strerror(ENOENT) + "\n"},
       {{"--function=last_ecg_center", "-w", "1"},
        std::string("last_ecg_center_params_init: last_ecg_center.debug.ascii: ") + std::strerror(EISDIR) + "\n", 1,
        dir.file("sub")}},
      {1, 2, 3, 4});
}

TEST(GlideDetectors, RefusedSettings) {
  const std::string e = "glide_stats error: function ";
  std::vector<glide_harness::Refusal> cases = {
      {{"--function=peaks_to_bpm_imp", "-w", "1"}, e + "peaks_to_bpm_imp needs a positive --peak_min_bpm (got 0.000000)!\n"},
      {{"--function=peaks_to_bpm_imp", "-w", "1", "-b", "20"},
       e + "peaks_to_bpm_imp needs a --peak_max_bpm of at least --peak_min_bpm (got 0.000000 and 20.000000)!\n"},
      {{"--function=peaks_to_bpm_imp", "-w", "1", "-b", "1e-9", "-B", "200"},
       e + "peaks_to_bpm_imp: --peak_min_bpm = 0.000000 at samplerate 2048 Hz gives a longest beat interval of "
           "122880000000000 samples (it must be between 1 and 1073741823)!\n"},
      {{"--function=peak_max", "-W", "1"},
       e + "peak_max: mean width (--peak_width) = 1 is below the 2 samples it needs!\n"},
      {{"--function=peak_stddev", "-M", "0"},
       e + "peak_stddev: maximum width (--peak_max) = 0 is below the 2 samples it needs!\n"},
      {{"--function=peak_slope_stddev", "-R", "1"},
       e + "peak_slope_stddev: regression width (--peak_regression_width) = 1 is below the 2 samples it needs!\n"},
      {{"--function=dip_slope_min", "-M", "1"},
       e + "dip_slope_min: minimum width (--peak_max) = 1 is below the 2 samples it needs!\n"},
      {{"--function=peak_slope_max", "-s", "16"},
       e + "peak_slope_max: regression width (--peak_regression_width) = 1 is below the 2 samples it needs!\n"},
      {{"--function=peak_max", "-b", "-20"}, e + "peak_max needs a positive --peak_min_bpm (got -20.000000)!\n"},
      {{"--function=peak_max", "-b", "1000", "-s", "10"},
       e + "peak_max: --peak_min_bpm = 1000.000000 at samplerate 10 Hz gives a longest beat interval of 0 samples "
           "(it must be between 1 and 1073741823)!\n"},
      {{"--function=peak_max", "-s", "0"}, e + "peak_max needs a positive --samplerate (got 0.000000)!\n"},
      {{"--function=ecg_hr", "-w", "1", "-s", "-5"}, e + "ecg_hr needs a positive --samplerate (got -5.000000)!\n"},
      {{"--function=bvp_hr", "-w", "1", "-s", "40"},
       e + "bvp_hr: samplerate 40 Hz gives a maximum window of 1 samples, below the 2 it needs!\n"},
      {{"--function=resp_rate", "-w", "1", "-s", "6"},
       e + "resp_rate: samplerate 6 Hz gives a maximum window of 1 samples, below the 2 it needs!\n"},
      {{"--function=ecg_hr", "-w", "1", "-s", "2000000000"},
       e + "ecg_hr: samplerate 2e+09 Hz gives a longest beat interval of 6000000000 samples, more than the "
           "1073741823 it can hold!\n"},
      {{"--function=last_ecg_center", "-w", "1", "-s", "3"},
       e + "last_ecg_center: samplerate 3 Hz gives a window of 1 samples, below the 2 it needs!\n"},
      {{"--function=product_rect", "-w", "3", "--floor=-1"}, e + "product_rect needs a --floor of 0 or more (got -1)!\n"},
      {{"--function=product_rect", "-w", "0"},
       "glide_stats error: the width must be a positive number of samples (got 0)!\n"},
  };
  for (const char *f : {"qrs_beats", "qrs_hr"})
    for (const char *rate : {"100", "127.5", "8200", "0", "-256"})
      cases.push_back({{std::string("--function=") + f, std::string("--samplerate=") + rate},
                       e + f + " needs a --samplerate from 128 to 8192 Hz (got "});
  // The rate functions need a width.
  for (const char *f : {"ecg_hr", "bvp_hr", "resp_rate", "peaks_to_bpm_imp", "impulses_lag",
                        "impulses_to_stepfunction", "last_ecg_center", "product_rect"})
    cases.push_back({{std::string("--function=") + f, "--peak_min_bpm=20", "--peak_max_bpm=200"},
                     "glide_stats: please give option --width!\n"});
  glide_harness::expect_refused(cases);
}

}  // namespace
