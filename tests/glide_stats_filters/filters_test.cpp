// glide_stats with the FIR filters, recfilter_bell and the ECG matched
// filter: outputs against the library run directly (or a brute-force
// convolution), the parameter lines, and the settings refused at start-up.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "cmatrix.h"
#include "fex.h"
#include "fv.h"
#include "../glide_stats/glide_harness.h"
#include "testsupport.h"

namespace {

using testsupport::ProcResult;

using glide_harness::features;
using glide_harness::glide;
using glide_harness::stream_of;

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos;
       pos = text.find(what, pos + 1)) {
    ++n;
  }
  return n;
}

std::vector<double> noise(size_t n, unsigned seed, double sd = 1.0) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> d(0.0, sd);
  std::vector<double> x(n);
  for (double &v : x) v = d(rng);
  return x;
}

// Runs one library instance per dimension over interleaved samples.
template <class R>
std::vector<double> run_library(const std::vector<double> &x, int dim,
                                const std::function<void(R *, int)> &init,
                                void (*process)(R *, double),
                                void (*release)(R *)) {
  std::vector<R> inst(dim);
  for (int j = 0; j < dim; ++j) init(&inst[j], j);
  std::vector<double> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    R *p = &inst[i % dim];
    process(p, x[i]);
    out[i] = p->value;
  }
  for (int j = 0; j < dim; ++j) release(&inst[j]);
  return out;
}

void expect_same(const std::vector<double> &got,
                 const std::vector<double> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i])) {
      ASSERT_TRUE(std::isnan(got[i])) << "at " << i;
    } else {
      ASSERT_DOUBLE_EQ(got[i], want[i]) << "at " << i;
    }
  }
}

// ---------------------------------------------------------------------------
// ECG matched filter

TEST(GlideStatsEcgMatched, MatchedFilterEqualsTheLibrary) {
  const std::vector<double> x = noise(2 * 600, 3, 50.0);
  const ProcResult r = glide(
      {"--function=ecg_matched_filter", "--samplerate=256", "--width=1"}, x,
      2);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto want = run_library<ecg_matched_filter_params>(
      x, 2,
      [](ecg_matched_filter_params *p, int) {
        ecg_matched_filter_params_init(p, 256);
      },
      ecg_matched_filter, ecg_matched_filter_params_free);
  expect_same(features(r), want);
}

// A QRS-like spike every 200 samples at 256 Hz (76.8 beats per minute).
std::vector<double> spike_train(size_t n) {
  std::vector<double> x(n, 0.0);
  for (size_t i = 0; i < n; ++i) {
    const int k = static_cast<int>(i % 200);
    if (k >= 100 && k < 104) x[i] = 1000.0 * (k < 102 ? k - 99 : 104 - k);
    if (k >= 104 && k < 107) x[i] = -200.0;
  }
  return x;
}

TEST(GlideStatsEcgMatched, RateDetectorDefaultsAndValues) {
  const std::vector<double> x = spike_train(256 * 12);
  const ProcResult r =
      glide({"--function=ecg_mf_hr", "--samplerate=256"}, x);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("glide_stats: function ecg_mf_hr: min bpm = "
                       "20.000000, max bpm = 200.000000, samplerate = "
                       "256.000000. hr_mf_threshold = 0.500000, "
                       "hr_mf_rising_factor = 1.100000\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("ecg_mf_hr_params_init: thres = 0.500000\n"),
            std::string::npos);
  const auto want = run_library<ecg_mf_hr_params>(
      x, 1,
      [](ecg_mf_hr_params *p, int) {
        ecg_mf_hr_params_init(p, 256, 20, 200, 1, 0.5, 1.1);
      },
      ecg_mf_hr, ecg_mf_hr_params_free);
  const auto got = features(r);
  expect_same(got, want);
  EXPECT_NEAR(got.back(), 76.8, 0.5);  // the library does find the beats

  // Settings given on the command line reach the detector.
  const ProcResult r2 =
      glide({"--function=ecg_mf_hr", "--samplerate=256", "--peak_min_bpm=30",
             "--peak_max_bpm=150", "--hr_mf_threshold=0.25",
             "--hr_mf_rising_factor=1.5"},
            x);
  ASSERT_EQ(r2.status, 0) << r2.err;
  EXPECT_NE(r2.err.find("min bpm = 30.000000, max bpm = 150.000000, "
                        "samplerate = 256.000000. hr_mf_threshold = "
                        "0.250000, hr_mf_rising_factor = 1.500000"),
            std::string::npos)
      << r2.err;
  const auto want2 = run_library<ecg_mf_hr_params>(
      x, 1,
      [](ecg_mf_hr_params *p, int) {
        ecg_mf_hr_params_init(p, 256, 30, 150, 1, 0.25, 1.5);
      },
      ecg_mf_hr, ecg_mf_hr_params_free);
  expect_same(features(r2), want2);
}

TEST(GlideStatsEcgMatched, LowestSampleRateIsAccepted) {
  const std::vector<double> x = noise(400, 5);
  EXPECT_EQ(glide({"--function=ecg_matched_filter", "--samplerate=179.9",
                   "--width=1"},
                  x)
                .status,
            0);
  EXPECT_EQ(glide({"--function=ecg_mf_hr", "--samplerate=179"}, x).status, 0);
}

// ---------------------------------------------------------------------------
// FIR filters

TEST(GlideStatsFir, CoefficientRowsFilterTheirDimensions) {
  testsupport::TempDir dir;
  const std::string file = dir.file("coeffs.txt");
  testsupport::write_file(file, "0.5 0.25 0.125\n1 -1 2\n");
  const std::vector<double> x = noise(2 * 50, 7);
  const ProcResult r = glide({"--function=fir", "--coeffs=" + file}, x, 2);
  ASSERT_EQ(r.status, 0) << r.err;
  // Brute-force convolution, with zeros before the first sample.
  const double c[2][3] = {{0.5, 0.25, 0.125}, {1, -1, 2}};
  const auto got = features(r);
  ASSERT_EQ(got.size(), x.size());
  for (size_t t = 0; t < x.size() / 2; ++t) {
    for (int j = 0; j < 2; ++j) {
      double y = 0.0;
      for (size_t i = 0; i < 3 && i <= t; ++i) {
        y += c[j][i] * x[2 * (t - i) + j];
      }
      ASSERT_NEAR(got[2 * t + j], y, 1e-12) << "t " << t << ", dim " << j;
    }
  }
  // The first order - 1 values of each dimension are not yet valid.
  EXPECT_EQ(count_of(r.err, "glide_stats warning: value is invalid!\n"), 4u);
}

struct DesignCase {
  const char *name;
  std::vector<std::string> args;
  std::function<void(fir_filter_params *)> init;
};

TEST(GlideStatsFir, DesignedFiltersEqualTheLibrary) {
  const std::vector<double> x = noise(300, 11);
  const std::vector<DesignCase> cases = {
      {"lowpass",
       {"--function=lowpass", "--frequency=20", "--samplerate=256",
        "--width=32"},
       [](fir_filter_params *p) {
         fir_filter_params_init_lowpass(p, 20, 256, 32, 1, 0);
       }},
      {"lowpass --nosharp",
       {"--function=lowpass", "--frequency=20", "--samplerate=256",
        "--width=32", "--nosharp"},
       [](fir_filter_params *p) {
         fir_filter_params_init_lowpass(p, 20, 256, 32, 0, 0);
       }},
      {"highpass",
       {"--function=highpass", "--frequency=30", "--samplerate=256",
        "--width=40"},
       [](fir_filter_params *p) {
         fir_filter_params_init_highpass(p, 30, 256, 40, 1, 0);
       }},
      {"bandpass",
       {"--function=bandpass", "--frequency_start=10", "--frequency_end=40",
        "--samplerate=256", "--width=48"},
       [](fir_filter_params *p) {
         fir_filter_params_init_bandpass(p, 10, 40, 256, 48, 1, 0);
       }},
      {"peakpass",
       {"--function=peakpass", "--frequency=25", "--samplerate=256",
        "--width=30"},
       [](fir_filter_params *p) {
         fir_filter_params_init_peak(p, 25, 256, 30, 0);
       }},
      {"notch",
       {"--function=notch", "--frequency=50", "--samplerate=256",
        "--width=30"},
       [](fir_filter_params *p) {
         fir_filter_params_init_notch(p, 50, 256, 30, 0);
       }},
      // trunc(2 * 256 / 16) = 32
      {"lowpass --transition",
       {"--function=lowpass", "--frequency=20", "--samplerate=256",
        "--transition=16"},
       [](fir_filter_params *p) {
         fir_filter_params_init_lowpass(p, 20, 256, 32, 1, 0);
       }},
  };
  for (const DesignCase &c : cases) {
    const ProcResult r = glide(c.args, x);
    ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
    const auto want = run_library<fir_filter_params>(
        x, 1, [&](fir_filter_params *p, int) { c.init(p); },
        fir_filter_params_process, fir_filter_params_free);
    SCOPED_TRACE(c.name);
    expect_same(features(r), want);
  }
  const ProcResult r = glide({"--function=notch", "--frequency=50",
                              "--samplerate=256", "--transition=16"},
                             x);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("glide_stats: transition = 16.000000 -> order = 32\n"),
            std::string::npos)
      << r.err;
}

TEST(GlideStatsFir, RecfilterBellEqualsTheLibrary) {
  std::vector<double> x(600);
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = std::sin(2 * M_PI * 8 * i / 256.0);
  }
  const ProcResult r = glide({"--function=recfilter_bell", "--frequency=8",
                              "--samplerate=256", "--width=64"},
                             x);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto want = run_library<recfilter_bell>(
      x, 1,
      [](recfilter_bell *p, int) {
        recfilter_bell_init(p, 8, 0.01, 256, 64);
      },
      recfilter_bell_process, recfilter_bell_free);
  const auto got = features(r);
  expect_same(got, want);
  EXPECT_NEAR(got.back(), 0.5, 0.05);  // amplitude of the demodulated sine
}

TEST(GlideStatsFilters, HelpListsTheFilters) {
  const ProcResult r =
      testsupport::run(testsupport::bin_path("glide_stats"), {"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char *text :
       {"-ecg_matched_filter (see extra parameter --samplerate)\n",
        "-ecg_mf_hr (see extra parameter --samplerate)\n",
        "-fir (FIR filter, with coefficients from a file specified by option "
        "--coeffs)\n",
        "-lowpass (using FIR filter of order 'width'; needs options "
        "--frequency and --samplerate. If --transition is given, order is "
        "computed automatically). See also option --nosharp.\n",
        "-highpass (analog to lowpass)\n", "-bandpass\n",
        "-peakpass (FIR filter only letting through one frequency (option "
        "--frequency). Needs samplerate. If --transition is given, order is "
        "computed automatically)\n",
        "-notch (FIR filter letting through all but one frequency (option "
        "--frequency). Needs samplerate. If --transition is given, order is "
        "computed automatically)\n",
        "-recfilter_bell\n"}) {
    EXPECT_NE(r.err.find(text), std::string::npos) << text;
  }
}

// ---------------------------------------------------------------------------
// Refusals

struct Refusal {
  std::vector<std::string> args;
  std::string message;
  int dim = 1;
};

TEST(GlideStatsFilters, RefusedSettings) {
  testsupport::TempDir dir;
  const std::string two_rows = dir.file("two.txt");
  testsupport::write_file(two_rows, "1 2 3\n4 5 6\n");
  const std::string one_column = dir.file("one.txt");
  testsupport::write_file(one_column, "1\n2\n");
  const std::string missing = dir.file("missing.txt");
  const std::string ecg_rate =
      "glide_stats error: function ecg_matched_filter needs a --samplerate "
      "of at least 179 Hz";
  const std::string hr_rate =
      "glide_stats error: function ecg_mf_hr needs a --samplerate of at "
      "least 179 Hz";
  const std::vector<Refusal> cases = {
      // fir
      {{"--function=fir", "--coeffs=" + two_rows, "--width=3"},
       "glide_stats error: option --fir already sets the order; options "
       "--size or --transition not possible here.\n", 2},
      {{"--function=fir", "--coeffs=" + two_rows, "--transition=100"},
       "glide_stats error: option --fir already sets the order; options "
       "--size or --transition not possible here.\n", 2},
      {{"--function=fir"}, "glide_stats error: need option --coeffs for FIR "
                           "filter.\n"},
      {{"--function=fir", "--coeffs=" + one_column},
       "glide_stats error: function fir needs a filter order of at least 2 "
       "(got 1 from the number of columns of the coefficient matrix)!\n", 2},
      {{"--function=fir", "--coeffs=" + two_rows},
       "glide_stats error: when doing FIR filtering, the coefficient matrix "
       "must contain one row per dimension (1). Actual number of rows: 2\n"},
      {{"--function=fir", "--coeffs=" + missing},
       missing + ": No such file or directory\n"},
      // missing frequencies
      {{"--function=lowpass", "--width=10"},
       "glide_stats error: need option --frequency for lowpass filter.\n"},
      {{"--function=highpass", "--width=10"},
       "glide_stats error: need option --frequency for highpass filter.\n"},
      {{"--function=peakpass", "--width=10"},
       "glide_stats error: need option --frequency for peakpass filter.\n"},
      {{"--function=notch", "--width=10"},
       "glide_stats error: need option --frequency for notch filter.\n"},
      {{"--function=bandpass", "--width=10", "--frequency_start=5"},
       "glide_stats error: need option --frequency_start and --frequency_end "
       "for bandpass filter.\n"},
      {{"--function=bandpass", "--width=10", "--frequency_end=5"},
       "glide_stats error: need option --frequency_start and --frequency_end "
       "for bandpass filter.\n"},
      // --nosharp
      {{"--function=peakpass", "--frequency=50", "--width=10", "--nosharp"},
       "glide_stats error: superfluous option --nosharp in mode peakpass!\n"},
      {{"--function=notch", "--frequency=50", "--width=10", "--nosharp"},
       "glide_stats error: superfluous option --nosharp in mode notch!\n"},
      // the order
      {{"--function=lowpass", "--frequency=50", "--width=10",
        "--transition=100"},
       "glide_stats error: options --transition and --width cannot be used "
       "together!\n"},
      {{"--function=highpass", "--frequency=50"},
       "glide_stats error: please specify the order of the FIR filter either "
       "via --transition or directly by --width!\n"},
      {{"--function=lowpass", "--width=0", "--frequency=1"},
       "glide_stats error: function lowpass needs a filter order of at least "
       "2 (got 0 from --width)!\n"},
      {{"--function=lowpass", "--width=1", "--frequency=1"},
       "glide_stats error: function lowpass needs a filter order of at least "
       "2 (got 1 from --width)!\n"},
      {{"--function=highpass", "--width=1", "--frequency=1"},
       "glide_stats error: function highpass needs a filter order of at least "
       "2 (got 1 from --width)!\n"},
      {{"--function=bandpass", "--width=-3", "--frequency_start=1",
        "--frequency_end=5"},
       "glide_stats error: function bandpass needs a filter order of at least "
       "2 (got -3 from --width)!\n"},
      {{"--function=peakpass", "--width=1", "--frequency=1"},
       "glide_stats error: function peakpass needs a filter order of at least "
       "2 (got 1 from --width)!\n"},
      {{"--function=notch", "--width=1", "--frequency=1"},
       "glide_stats error: function notch needs a filter order of at least "
       "2 (got 1 from --width)!\n"},
      // trunc(2 * 2048 / 3000) = 1
      {{"--function=notch", "--transition=3000", "--frequency=50"},
       "glide_stats error: function notch needs a filter order of at least "
       "2 (got 1 from --transition)!\n"},
      {{"--function=lowpass", "--transition=3000", "--frequency=50"},
       "glide_stats error: function lowpass needs a filter order of at least "
       "2 (got 1 from --transition)!\n"},
      // recfilter_bell
      {{"--function=recfilter_bell", "--width=10"},
       "glide_stats error: need option --frequency for recfilter_bell.\n"},
      {{"--function=recfilter_bell", "--width=10", "--frequency=0"},
       "glide_stats error: function recfilter_bell needs a positive "
       "--frequency (got 0.000000)!\n"},
      {{"--function=recfilter_bell", "--width=10", "--frequency=-5"},
       "glide_stats error: function recfilter_bell needs a positive "
       "--frequency (got -5.000000)!\n"},
      // the matched filter's sample rate
      {{"--function=ecg_matched_filter", "--width=1", "--samplerate=178.9"},
       ecg_rate},
      {{"--function=ecg_matched_filter", "--width=1", "--samplerate=-256"},
       ecg_rate},
      {{"--function=ecg_matched_filter", "--width=1", "--samplerate=1e9"},
       ecg_rate},
      {{"--function=ecg_mf_hr", "--samplerate=100"}, hr_rate},
      {{"--function=ecg_mf_hr", "--peak_min_bpm=-10"},
       "glide_stats error: function ecg_mf_hr needs a positive "
       "--peak_min_bpm"},
      {{"--function=ecg_mf_hr", "--peak_min_bpm=100", "--peak_max_bpm=50"},
       "glide_stats error: function ecg_mf_hr needs a --peak_max_bpm of at "
       "least --peak_min_bpm"},
      {{"--function=ecg_mf_hr", "--hr_mf_rising_factor=-2"},
       "glide_stats error: function ecg_mf_hr needs a positive, finite "
       "hr_mf_rising_factor (got -2.000000)!\n"},
  };
  const std::vector<double> x = noise(40, 13);
  for (const Refusal &c : cases) {
    std::string all;
    for (const auto &a : c.args) all += a + " ";
    const ProcResult r = glide(c.args, x, c.dim);
    EXPECT_EQ(r.status, 1) << all << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos)
        << all << "\nexpected: " << c.message << "\ngot: " << r.err;
    EXPECT_TRUE(r.out.empty()) << all;
  }
}

}  // namespace
