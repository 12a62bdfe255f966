// glide_stats with the peak, dip, impulse and heart-rate functions: their
// defaults and parameter lines, their values against the library run
// directly, and the settings refused at start-up.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fex.h"
#include "fv.h"
#include "../glide_stats/glide_harness.h"
#include "testsupport.h"

namespace {

using testsupport::ProcResult;

using glide_harness::features;
using glide_harness::glide;
using glide_harness::run_ok;
using glide_harness::stream_of;

// Gaussian pulses every `period` samples on a slow ramp.
std::vector<double> pulses(size_t n, double period, double sd) {
  std::vector<double> x(n);
  for (size_t t = 0; t < n; ++t) {
    double v = 0.001 * t;
    for (double c = period / 2; c < n + 8 * sd; c += period) {
      const double d = (t - c) / sd;
      if (std::fabs(d) < 8) v += 10 * std::exp(-0.5 * d * d);
    }
    x[t] = v;
  }
  return x;
}

// The library run directly with one instance, for comparison.
template <class P>
std::vector<double> library(const std::vector<double> &x,
                            std::function<void(P *)> init,
                            std::function<double(P *, double)> step,
                            std::function<void(P *)> fin) {
  P p;
  init(&p);
  std::vector<double> out;
  for (double v : x) out.push_back(step(&p, v));
  fin(&p);
  return out;
}

bool has_line(const std::string &err, const std::string &line) {
  return err.find(line) != std::string::npos;
}

// ---------------------------------------------------------------------------
// Defaults and parameter lines

TEST(GlideDetectors, PeakMaxDefaults) {
  std::string err;
  run_ok({"--function=peak_max"}, {1, 2, 3}, 1, &err);
  EXPECT_TRUE(has_line(err,
                       "glide_stats: function peak_max: mean width = 100, "
                       "maximum_width = 10, threshold = 0.400000, min bpm = "
                       "20.000000, max bpm = 200.000000, samplerate = "
                       "2048.000000\n"))
      << err;
  EXPECT_TRUE(has_line(err, "glide_stats: size = 0\n")) << err;
}

TEST(GlideDetectors, PeakSlopeMaxDefaultsFollowTheSampleRate) {
  std::string err;
  run_ok({"--function=peak_slope_max", "--samplerate=256"}, {1, 2, 3, 4}, 2,
         &err);
  EXPECT_TRUE(has_line(err,
                       "glide_stats: function peak_slope_max: regression "
                       "width = 16, maximum_width = 2, threshold = 0.600000, "
                       "min bpm = 20.000000, max bpm = 200.000000, "
                       "samplerate = 256.000000\n"))
      << err;
  // One instance per dimension, each with its lag: 2 * 0.5 / 256 s.
  const std::string lag = "inherent lag = 0.003906\n";
  const size_t first = err.find(lag);
  ASSERT_NE(first, std::string::npos) << err;
  EXPECT_NE(err.find(lag, first + 1), std::string::npos) << err;

  run_ok({"--function=peak_slope_max"}, {1, 2, 3}, 1, &err);
  EXPECT_TRUE(has_line(err, "regression width = 130, maximum_width = 10, "
                            "threshold = 0.600000"))
      << err;
  EXPECT_TRUE(has_line(err, "inherent lag = 0.002441\n")) << err;
}

TEST(GlideDetectors, OtherPeakDefaultsAndGivenSettings) {
  std::string err;
  run_ok({"--function=peak_slope_stddev"}, {1}, 1, &err);
  EXPECT_TRUE(has_line(err,
                       "glide_stats: function peak_slope_stddev: regression "
                       "width = 130, maximum_width = 10, threshold = "
                       "2.000000\n, min bpm = 20.000000, max bpm = "
                       "200.000000, samplerate = 2048.000000\n"))
      << err;
  run_ok({"--function=peak_stddev"}, {1}, 1, &err);
  EXPECT_TRUE(has_line(err,
                       "glide_stats: function peak_stddev: mean width = 100, "
                       "maximum_width = 10, threshold = 2.000000, min bpm = "
                       "20.000000, max bpm = 200.000000, samplerate = "
                       "2048.000000\n"))
      << err;
  run_ok({"--function=dip_slope_min"}, {1}, 1, &err);
  EXPECT_TRUE(has_line(err,
                       "glide_stats: function dip_slope_min: regression "
                       "width = 80, mean width = 100, minimum_width = 10, "
                       "threshold = 0.500000, min bpm = 20.000000, max bpm = "
                       "200.000000, samplerate = 2048.000000\n"))
      << err;
  run_ok({"--function=peak_max", "-W", "50", "-M", "6", "-T", "0.3", "-b",
          "40", "-B", "180", "-s", "500"},
         {1}, 1, &err);
  EXPECT_TRUE(has_line(err,
                       "glide_stats: function peak_max: mean width = 50, "
                       "maximum_width = 6, threshold = 0.300000, min bpm = "
                       "40.000000, max bpm = 180.000000, samplerate = "
                       "500.000000\n"))
      << err;
  run_ok({"--function=dip_slope_min", "--peak_regression_width=20",
          "--peak_width=30", "--peak_max=4", "--peak_threshold=0.7"},
         {1}, 1, &err);
  EXPECT_TRUE(has_line(err, "regression width = 20, mean width = 30, "
                            "minimum_width = 4, threshold = 0.700000"))
      << err;
}

TEST(GlideDetectors, RateFunctionsNeedAWidth) {
  for (const char *f : {"ecg_hr", "bvp_hr", "resp_rate", "peaks_to_bpm_imp",
                        "impulses_lag", "impulses_to_stepfunction",
                        "last_ecg_center", "product_rect"}) {
    const ProcResult r = glide({std::string("--function=") + f,
                                "--peak_min_bpm=20", "--peak_max_bpm=200"},
                               {1, 2});
    EXPECT_EQ(r.status, 1) << f;
    EXPECT_TRUE(has_line(r.err, "glide_stats: please give option --width!\n"))
        << f << ": " << r.err;
  }
}

TEST(GlideDetectors, HelpNotes) {
  const ProcResult r =
      testsupport::run(testsupport::bin_path("glide_stats"), {"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char *line :
       {"-ecg_hr (needs parameter --samplerate)",
        "-resp_rate (needs parameter --samplerate)",
        "-peak_slope_max (see --peak_width, --peak_max, --peak_threshold)",
        "-dip_slope_min (see --peak_width, --peak_max, --peak_threshold)",
        "-peaks_to_bpm_imp (see extra parameter --samplerate)", "-bvp_hr",
        "-impulses_lag", "-impulses_to_stepfunction", "-product_rect",
        "-last_ecg_center"}) {
    EXPECT_TRUE(has_line(r.err, line)) << line << "\n" << r.err;
  }
}

// ---------------------------------------------------------------------------
// Values against the library

TEST(GlideDetectors, PeakFunctionsMatchTheLibrary) {
  const auto x = pulses(1500, 100, 4);
  const std::vector<double> y = run_ok(
      {"--function=peak_max", "-s", "256", "-W", "40", "-M", "6"}, x);
  const auto want = library<moving_peak_max_params>(
      x,
      [](auto *p) { moving_peak_max_params_init(p, 40, 6, 0.4, 20, 256, nullptr); },
      [](auto *p, double v) { moving_peak_max(p, v); return double(p->value); },
      [](auto *p) { moving_peak_max_params_free(p); });
  EXPECT_EQ(y, want);
  double peaks = 0;
  for (double v : y) peaks += v;
  EXPECT_GE(peaks, 14);

  const auto y2 = run_ok({"--function=peak_slope_max", "-s", "256"}, x);
  const auto want2 = library<moving_peak_slope_max_params>(
      x,
      [](auto *p) { moving_peak_slope_max_params_init(p, 16, 2, 0.6, 20, 256); },
      [](auto *p, double v) { moving_peak_slope_max(p, v); return double(p->value); },
      [](auto *p) { moving_peak_slope_max_params_free(p); });
  EXPECT_EQ(y2, want2);

  const auto y3 = run_ok({"--function=peak_slope_stddev", "-s", "256", "-R",
                          "12", "-M", "6", "-T", "1.5"},
                         x);
  const auto want3 = library<moving_peak_slope_stddev_params>(
      x,
      [](auto *p) { moving_peak_slope_stddev_params_init(p, 12, 6, 1.5, 20, 256); },
      [](auto *p, double v) { moving_peak_slope_stddev(p, v); return double(p->value); },
      [](auto *p) { moving_peak_slope_stddev_params_free(p); });
  EXPECT_EQ(y3, want3);

  const auto y4 = run_ok({"--function=peak_stddev", "-s", "256", "-T", "1"}, x);
  const auto want4 = library<moving_peak_stddev_params>(
      x,
      [](auto *p) { moving_peak_stddev_params_init(p, 100, 10, 1.0, 20, 256); },
      [](auto *p, double v) { moving_peak_stddev(p, v); return double(p->value); },
      [](auto *p) { moving_peak_stddev_params_free(p); });
  EXPECT_EQ(y4, want4);

  std::vector<double> neg(x.size());
  for (size_t i = 0; i < x.size(); ++i) neg[i] = -x[i];
  const auto y5 = run_ok({"--function=dip_slope_min", "-s", "256", "-R", "12",
                          "-W", "50", "-M", "6"},
                         neg);
  const auto want5 = library<moving_dip_slope_min_params>(
      neg,
      [](auto *p) { moving_dip_slope_min_params_init(p, 12, 50, 6, 0.5, 20, 256); },
      [](auto *p, double v) { moving_dip_slope_min(p, v); return double(p->value); },
      [](auto *p) { moving_dip_slope_min_params_free(p); });
  EXPECT_EQ(y5, want5);
  peaks = 0;
  for (double v : y5) peaks += v;
  EXPECT_GE(peaks, 14);
}

TEST(GlideDetectors, RateDetectorsMatchTheLibrary) {
  // Pulses at 60 per minute (256 Hz) for 8 s, on two dimensions.
  const auto a = pulses(256 * 8, 256, 5);
  const auto b = pulses(256 * 8, 200, 5);
  std::vector<double> x;
  for (size_t i = 0; i < a.size(); ++i) {
    x.push_back(a[i]);
    x.push_back(b[i]);
  }
  struct Case {
    const char *name;
    std::function<std::vector<double>(const std::vector<double> &)> lib;
  };
  const Case cases[] = {
      {"ecg_hr",
       [](const std::vector<double> &v) {
         return library<ecg_hr_params>(
             v, [](auto *p) { ecg_hr_params_init(p, 256, 1); },
             [](auto *p, double s) { ecg_hr(p, s); return p->value; },
             [](auto *p) { ecg_hr_params_free(p); });
       }},
      {"bvp_hr",
       [](const std::vector<double> &v) {
         return library<bvp_hr_params>(
             v, [](auto *p) { bvp_hr_params_init(p, 256, 1); },
             [](auto *p, double s) { bvp_hr(p, s); return p->value; },
             [](auto *p) { bvp_hr_params_free(p); });
       }},
      {"resp_rate",
       [](const std::vector<double> &v) {
         return library<resp_rate_params>(
             v, [](auto *p) { resp_rate_params_init(p, 256, 1); },
             [](auto *p, double s) { resp_rate(p, s); return p->value; },
             [](auto *p) { resp_rate_params_free(p); });
       }},
  };
  for (const Case &c : cases) {
    const auto y =
        run_ok({std::string("--function=") + c.name, "-s", "256", "-w", "1"},
               x, 2);
    ASSERT_EQ(y.size(), x.size()) << c.name;
    std::vector<double> y0, y1;
    for (size_t i = 0; i < y.size(); i += 2) {
      y0.push_back(y[i]);
      y1.push_back(y[i + 1]);
    }
    EXPECT_EQ(y0, c.lib(a)) << c.name;
    EXPECT_EQ(y1, c.lib(b)) << c.name;
  }
  // The heart rates found: 60 and 76.8 per minute.
  const auto y = run_ok({"--function=ecg_hr", "-s", "256", "-w", "1"}, x, 2);
  EXPECT_NEAR(y[y.size() - 2], 60.0, 0.5);
  EXPECT_NEAR(y[y.size() - 1], 76.8, 0.5);
}

TEST(GlideDetectors, ImpulseConverters) {
  const std::vector<double> imp = {0, 0, 1, 0, 0, 3, 0, NAN, 0};
  EXPECT_EQ(run_ok({"--function=impulses_lag", "-w", "1"}, imp),
            (std::vector<double>{-1, -1, 0, 1, 2, 0, 1, 0, 1}));
  const auto step = run_ok({"--function=impulses_to_stepfunction", "-w", "1"},
                           {0, 0, 1, 0, 0, 3, 0, 0});
  EXPECT_EQ(step, (std::vector<double>{0, 0, 1, 1, 1, 3, 3, 3}));

  // Impulses 64 samples apart at 256 Hz (240 per minute, repaired to the
  // maximum of 200), then 128 apart (120 per minute); 1.7 truncates to 1,
  // NaN and 2 are no impulse.
  std::vector<double> x(1400, 0.0);
  for (int t = 0; t < 400; t += 64) x[t] = 1;
  for (int t = 448; t < 1400; t += 128) x[t] = 1.7;
  x[500] = NAN;
  x[520] = 2;
  const auto y = run_ok({"--function=peaks_to_bpm_imp", "-w", "1", "-s",
                         "256", "--peak_min_bpm=20", "--peak_max_bpm=200"},
                        x);
  ASSERT_EQ(y.size(), x.size());
  EXPECT_EQ(y[64], 200.0);
  EXPECT_EQ(y[448], 200.0);  // 448 - 384 = 64
  EXPECT_EQ(y[576], 120.0);
  EXPECT_EQ(y[1344], 120.0);
  EXPECT_EQ(y[500], 0.0);
  EXPECT_EQ(y[520], 0.0);
  EXPECT_EQ(y[577], 0.0);
}

TEST(GlideDetectors, ProductRectWithZeroAndNoFloor) {
  std::vector<double> x = {2, 3, 4, 0, 5, 6, 7, 8, -1, -2, -3, -4};
  const auto y =
      run_ok({"--function=product_rect", "-w", "3", "--floor=0"}, x);
  const std::vector<double> want = {0, 0, 24, 0, 0, 0, 210, 336, 0, 0, 6, 24};
  ASSERT_EQ(y.size(), want.size());
  for (size_t i = 0; i < y.size(); ++i) {
    EXPECT_NEAR(y[i], want[i], 1e-9) << i;
  }
  // The default floor of 1e-9 keeps a zero factor tiny but non-zero.
  const auto z = run_ok({"--function=product_rect", "-w", "2"}, {3, 0, 2});
  EXPECT_NEAR(z[1], 3e-9, 1e-15);
  EXPECT_NEAR(z[2], 2e-9, 1e-15);
}

TEST(GlideDetectors, LastEcgCenterWritesZerosAndItsDebugFile) {
  testsupport::TempDir dir;
  testsupport::RunOptions opts;
  opts.cwd = dir.path();
  const auto x = pulses(256 * 10, 200, 2);
  const ProcResult r = glide({"--function=last_ecg_center", "-s", "256",
                              "-w", "1"},
                             x, 1, opts);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto y = features(r);
  ASSERT_EQ(y.size(), x.size());
  for (double v : y) ASSERT_EQ(v, 0.0);
  EXPECT_TRUE(has_line(r.err, "last_ecg_center_params_init: size = 128\n"))
      << r.err;
  // After the 6 s artefact period, one line of 128 values per beat.
  const std::string debug =
      testsupport::read_file(dir.file("last_ecg_center.debug.ascii"));
  int lines = 0;
  for (char c : debug) lines += c == '\n';
  EXPECT_GE(lines, 3);
  EXPECT_LE(lines, 6);
}

// ---------------------------------------------------------------------------
// Settings refused at start-up

struct Refusal {
  std::vector<std::string> args;
  std::string message;
};

TEST(GlideDetectors, RefusedSettings) {
  const Refusal cases[] = {
      {{"--function=peaks_to_bpm_imp", "-w", "1"},
       "glide_stats error: function peaks_to_bpm_imp needs a positive "
       "--peak_min_bpm (got 0.000000)!\n"},
      {{"--function=peaks_to_bpm_imp", "-w", "1", "-b", "-5", "-B", "200"},
       "glide_stats error: function peaks_to_bpm_imp needs a positive "
       "--peak_min_bpm (got -5.000000)!\n"},
      {{"--function=peaks_to_bpm_imp", "-w", "1", "-b", "20"},
       "glide_stats error: function peaks_to_bpm_imp needs a --peak_max_bpm "
       "of at least --peak_min_bpm (got 0.000000 and 20.000000)!\n"},
      {{"--function=peaks_to_bpm_imp", "-w", "1", "-b", "1e-9", "-B", "200"},
       "glide_stats error: function peaks_to_bpm_imp: --peak_min_bpm = "
       "0.000000 at samplerate 2048 Hz gives a longest beat interval of "
       "122880000000000 samples (it must be between 1 and 1073741823)!\n"},
      {{"--function=peak_max", "-W", "1"},
       "glide_stats error: function peak_max: mean width (--peak_width) = 1 "
       "is below the 2 samples it needs!\n"},
      {{"--function=peak_stddev", "-M", "0"},
       "glide_stats error: function peak_stddev: maximum width (--peak_max) "
       "= 0 is below the 2 samples it needs!\n"},
      {{"--function=peak_slope_stddev", "-R", "1"},
       "glide_stats error: function peak_slope_stddev: regression width "
       "(--peak_regression_width) = 1 is below the 2 samples it needs!\n"},
      {{"--function=dip_slope_min", "-M", "1"},
       "glide_stats error: function dip_slope_min: minimum width (--peak_max) "
       "= 1 is below the 2 samples it needs!\n"},
      {{"--function=peak_slope_max", "-s", "16"},
       "glide_stats error: function peak_slope_max: regression width "
       "(--peak_regression_width) = 1 is below the 2 samples it needs!\n"},
      {{"--function=peak_max", "-b", "-20"},
       "glide_stats error: function peak_max needs a positive --peak_min_bpm "
       "(got -20.000000)!\n"},
      {{"--function=peak_max", "-b", "1000", "-s", "10"},
       "glide_stats error: function peak_max: --peak_min_bpm = 1000.000000 "
       "at samplerate 10 Hz gives a longest beat interval of 0 samples (it "
       "must be between 1 and 1073741823)!\n"},
      {{"--function=peak_max", "-s", "0"},
       "glide_stats error: function peak_max needs a positive --samplerate "
       "(got 0.000000)!\n"},
      {{"--function=ecg_hr", "-w", "1", "-s", "-5"},
       "glide_stats error: function ecg_hr needs a positive --samplerate "
       "(got -5.000000)!\n"},
      {{"--function=bvp_hr", "-w", "1", "-s", "40"},
       "glide_stats error: function bvp_hr: samplerate 40 Hz gives a maximum "
       "window of 1 samples, below the 2 it needs!\n"},
      {{"--function=resp_rate", "-w", "1", "-s", "6"},
       "glide_stats error: function resp_rate: samplerate 6 Hz gives a "
       "maximum window of 1 samples, below the 2 it needs!\n"},
      {{"--function=ecg_hr", "-w", "1", "-s", "2000000000"},
       "glide_stats error: function ecg_hr: samplerate 2e+09 Hz gives a "
       "longest beat interval of 6000000000 samples, more than the "
       "1073741823 it can hold!\n"},
      {{"--function=last_ecg_center", "-w", "1", "-s", "3"},
       "glide_stats error: function last_ecg_center: samplerate 3 Hz gives a "
       "window of 1 samples, below the 2 it needs!\n"},
      {{"--function=product_rect", "-w", "3", "--floor=-1"},
       "glide_stats error: function product_rect needs a --floor of 0 or "
       "more (got -1)!\n"},
      {{"--function=product_rect", "-w", "0"},
       "glide_stats error: the width must be a positive number of samples "
       "(got 0)!\n"},
  };
  for (const Refusal &c : cases) {
    const ProcResult r = glide(c.args, {1, 2, 3});
    EXPECT_EQ(r.status, 1) << c.args[0] << " " << r.err;
    EXPECT_TRUE(has_line(r.err, c.message)) << c.args[0] << "\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << c.args[0];
  }
}

TEST(GlideDetectors, DebugFilesOfOneDimensionOnly) {
  testsupport::TempDir dir;
  const std::string path = dir.file("peaks.txt");
  // One dimension: the file gets one line per sample.
  ProcResult r = glide({"--function=peak_max", "--peak_debug=" + path},
                       {1, 2, 3, 2});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string debug = testsupport::read_file(path);
  EXPECT_EQ(std::count(debug.begin(), debug.end(), '\n'), 4);
  // Two dimensions would write the same file twice over.
  r = glide({"--function=peak_max", "-D", path}, {1, 2, 3, 4}, 2);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err,
                       "glide_stats error: function peak_max writes its "
                       "debug file " +
                           path +
                           " for one dimension only; the stream has more "
                           "than one!\n"))
      << r.err;
  testsupport::RunOptions opts;
  opts.cwd = dir.path();
  r = glide({"--function=last_ecg_center", "-w", "1"}, {1, 2, 3, 4}, 2, opts);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err,
                       "glide_stats error: function last_ecg_center writes "
                       "its debug file last_ecg_center.debug.ascii for one "
                       "dimension only; the stream has more than one!\n"))
      << r.err;
}

TEST(GlideDetectors, DebugFilesThatCannotBeCreated) {
  testsupport::TempDir dir;
  const std::string path = dir.file("no/such/folder/peaks.txt");
  ProcResult r = glide({"--function=peak_max", "--peak_debug=" + path}, {1});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err, path + ": " + std::strerror(ENOENT) + "\n"))
      << r.err;
  EXPECT_TRUE(r.out.empty());

  ASSERT_EQ(mkdir(dir.file("last_ecg_center.debug.ascii").c_str(), 0755), 0);
  testsupport::RunOptions opts;
  opts.cwd = dir.path();
  r = glide({"--function=last_ecg_center", "-w", "1"}, {1}, 1, opts);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has_line(r.err,
                       std::string("last_ecg_center_params_init: "
                                   "last_ecg_center.debug.ascii: ") +
                           std::strerror(EISDIR) + "\n"))
      << r.err;
}

}  // namespace
