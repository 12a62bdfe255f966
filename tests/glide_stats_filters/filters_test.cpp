// glide_stats with the FIR filters, recfilter_bell and the ECG matched
// filter: outputs against the library run directly (or a brute-force
// convolution), the parameter lines, and the settings refused at start-up.
#include "../glide_stats/glide_harness.h"
#include "fex.h"
#include "reference.h"

namespace {

using glide_harness::Args;
using glide_harness::expect_same;
using glide_harness::glide;
using glide_harness::library_values;
using testsupport::fv_values;
using testsupport::ProcResult;

TEST(GlideStatsEcgMatched, MatchedFilterEqualsTheLibrary) {
  const std::vector<double> x = ref::random_stream(2 * 600, 3, -50, 50);
  const ProcResult r = glide({"--function=ecg_matched_filter", "--samplerate=256", "--width=1"}, x, 2);
  ASSERT_EQ(r.status, 0) << r.err;
  expect_same(fv_values(r.out), library_values(x, 2, [] { return STEPPER(ecg_matched_filter, 256); }));
  // The lowest sample rates are accepted.
  EXPECT_EQ(glide({"--function=ecg_matched_filter", "--samplerate=179.9", "--width=1"}, x).status, 0);
  EXPECT_EQ(glide({"--function=ecg_mf_hr", "--samplerate=179"}, x).status, 0);
}

TEST(GlideStatsEcgMatched, RateDetectorDefaultsAndValues) {
  // A QRS-like spike every 200 samples at 256 Hz (76.8 beats per minute).
  std::vector<double> x(256 * 12, 0.0);
  for (size_t i = 0; i < x.size(); ++i) {
    const int k = static_cast<int>(i % 200);
    if (k >= 100 && k < 104) x[i] = 1000.0 * (k < 102 ? k - 99 : 104 - k);
    if (k >= 104 && k < 107) x[i] = -200.0;
  }
  const struct {
    Args args;
    double min, max, threshold, rising;
  } cases[] = {{{}, 20, 200, 0.5, 1.1},
               {{"--peak_min_bpm=30", "--peak_max_bpm=150", "--hr_mf_threshold=0.25", "--hr_mf_rising_factor=1.5"},
                30, 150, 0.25, 1.5}};
  for (const auto &c : cases) {
    Args args = {"--function=ecg_mf_hr", "--samplerate=256"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcResult r = glide(args, x);
    ASSERT_EQ(r.status, 0) << r.err;
    char line[200];
    snprintf(line, sizeof line, "min bpm = %f, max bpm = %f, samplerate = 256.000000. hr_mf_threshold = %f, "
             "hr_mf_rising_factor = %f\n", c.min, c.max, c.threshold, c.rising);
    EXPECT_NE(r.err.find(std::string("glide_stats: function ecg_mf_hr: ") + line), std::string::npos) << r.err;
    const auto got = fv_values(r.out);
    expect_same(got,
                library_values(x, 1, [&] { return STEPPER(ecg_mf_hr, 256, c.min, c.max, 1, c.threshold, c.rising); }));
    if (c.args.empty()) {
      EXPECT_NE(r.err.find("ecg_mf_hr_params_init: thres = 0.500000\n"), std::string::npos);
      EXPECT_NEAR(got.back(), 76.8, 0.5);  // the library does find the beats
    }
  }
}

TEST(GlideStatsFir, CoefficientRowsFilterTheirDimensions) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("coeffs.txt"), "0.5 0.25 0.125\n1 -1 2\n");
  const std::vector<double> x = ref::random_stream(2 * 50, 7);
  const ProcResult r = glide({"--function=fir", "--coeffs=" + dir.file("coeffs.txt")}, x, 2);
  ASSERT_EQ(r.status, 0) << r.err;
  // Brute-force convolution, with zeros before the first sample.
  const std::vector<double> c[2] = {{0.5, 0.25, 0.125}, {1, -1, 2}};
  const auto got = fv_values(r.out);
  ASSERT_EQ(got.size(), x.size());
  for (int j = 0; j < 2; ++j) {
    std::vector<double> column;
    for (size_t t = j; t < x.size(); t += 2) column.push_back(x[t]);
    const auto want = ref::convolve(c[j], column);
    for (size_t t = 0; t < column.size(); ++t) ASSERT_NEAR(got[2 * t + j], want[t], 1e-12) << t << " " << j;
  }
  // The first order - 1 values of each dimension are not yet valid.
  EXPECT_EQ(testsupport::count(r.err, "glide_stats warning: value is invalid!\n"), 4u);
}

TEST(GlideStatsFir, DesignedFiltersEqualTheLibrary) {
  const std::vector<double> x = ref::random_stream(300, 11);
  const struct {
    Args args;
    std::function<void(fir_filter_params *)> init;
  } cases[] = {
      {{"--function=lowpass", "--frequency=20", "--width=32"},
       [](auto *p) { fir_filter_params_init_lowpass(p, 20, 256, 32, 1, 0); }},
      {{"--function=lowpass", "--frequency=20", "--width=32", "--nosharp"},
       [](auto *p) { fir_filter_params_init_lowpass(p, 20, 256, 32, 0, 0); }},
      {{"--function=highpass", "--frequency=30", "--width=40"},
       [](auto *p) { fir_filter_params_init_highpass(p, 30, 256, 40, 1, 0); }},
      {{"--function=bandpass", "--frequency_start=10", "--frequency_end=40", "--width=48"},
       [](auto *p) { fir_filter_params_init_bandpass(p, 10, 40, 256, 48, 1, 0); }},
      {{"--function=peakpass", "--frequency=25", "--width=30"},
       [](auto *p) { fir_filter_params_init_peak(p, 25, 256, 30, 0); }},
      {{"--function=notch", "--frequency=50", "--width=30"},
       [](auto *p) { fir_filter_params_init_notch(p, 50, 256, 30, 0); }},
      // trunc(2 * 256 / 16) = 32
      {{"--function=lowpass", "--frequency=20", "--transition=16"},
       [](auto *p) { fir_filter_params_init_lowpass(p, 20, 256, 32, 1, 0); }},
  };
  for (const auto &c : cases) {
    Args args = c.args;
    args.push_back("--samplerate=256");
    const ProcResult r = glide(args, x);
    ASSERT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
    SCOPED_TRACE(c.args[0]);
    expect_same(fv_values(r.out), library_values(x, 1, [&] {
                  return ref::stepper<fir_filter_params>(c.init, fir_filter_params_process, fir_filter_params_reset,
                                                         fir_filter_params_free);
                }));
  }
  const ProcResult r = glide({"--function=notch", "--frequency=50", "--samplerate=256", "--transition=16"}, x);
  EXPECT_NE(r.err.find("glide_stats: transition = 16.000000 -> order = 32\n"), std::string::npos) << r.err;
  // recfilter_bell demodulates a sine.
  std::vector<double> sine(600);
  for (size_t i = 0; i < sine.size(); ++i) sine[i] = std::sin(2 * M_PI * 8 * i / 256.0);
  const auto got = fv_values(
      glide({"--function=recfilter_bell", "--frequency=8", "--samplerate=256", "--width=64"}, sine).out);
  expect_same(got, library_values(sine, 1, [] {
                return ref::stepper<recfilter_bell>([](auto *p) { recfilter_bell_init(p, 8, 0.01, 256, 64); },
                                                    recfilter_bell_process, recfilter_bell_reset, recfilter_bell_free);
              }));
  EXPECT_NEAR(got.back(), 0.5, 0.05);
}

TEST(GlideStatsFilters, RefusedSettings) {
  testsupport::TempDir dir;
  const std::string two_rows = dir.file("two.txt"), one_column = dir.file("one.txt"), missing = dir.file("missing");
  testsupport::write_file(two_rows, "1 2 3\n4 5 6\n");
  testsupport::write_file(one_column, "1\n2\n");
  const std::string e = "glide_stats error: ", f = e + "function ";
  const std::string fir_order = e + "option --fir already sets the order; options --size or --transition not "
                                    "possible here.\n";
  const std::string ecg_rate = f + "ecg_matched_filter needs a --samplerate of at least 179 Hz";
  std::vector<glide_harness::Refusal> cases = {
      {{"--function=fir", "--coeffs=" + two_rows, "--width=3"}, fir_order, 2},
      {{"--function=fir", "--coeffs=" + two_rows, "--transition=100"}, fir_order, 2},
      {{"--function=fir"}, e + "need option --coeffs for FIR filter.\n"},
      {{"--function=fir", "--coeffs=" + one_column},
       f + "fir needs a filter order of at least 2 (got 1 from the number of columns of the coefficient matrix)!\n", 2},
      {{"--function=fir", "--coeffs=" + two_rows},
       e + "when doing FIR filtering, the coefficient matrix must contain one row per dimension (1). Actual number "
           "of rows: 2\n"},
      {{"--function=fir", "--coeffs=" + missing}, missing + ": No such file or directory\n"},
      {{"--function=bandpass", "--width=10", "--frequency_start=5"},
       e + "need option --frequency_start and --frequency_end for bandpass filter.\n"},
      {{"--function=bandpass", "--width=10", "--frequency_end=5"},
       e + "need option --frequency_start and --frequency_end for bandpass filter.\n"},
      {{"--function=lowpass", "--frequency=50", "--width=10", "--transition=100"},
       e + "options --transition and --width cannot be used together!\n"},
      {{"--function=highpass", "--frequency=50"},
       e + "please specify the order of the FIR filter either via --transition or directly by --width!\n"},
      {{"--function=lowpass", "--width=0", "--frequency=1"},
       f + "lowpass needs a filter order of at least 2 (got 0 from --width)!\n"},
      {{"--function=bandpass", "--width=-3", "--frequency_start=1", "--frequency_end=5"},
       f + "bandpass needs a filter order of at least 2 (got -3 from --width)!\n"},
      // trunc(2 * 2048 / 3000) = 1
      {{"--function=notch", "--transition=3000", "--frequency=50"},
       f + "notch needs a filter order of at least 2 (got 1 from --transition)!\n"},
      {{"--function=recfilter_bell", "--width=10"}, e + "need option --frequency for recfilter_bell.\n"},
      {{"--function=recfilter_bell", "--width=10", "--frequency=0"},
       f + "recfilter_bell needs a positive --frequency (got 0.000000)!\n"},
      {{"--function=ecg_matched_filter", "--width=1", "--samplerate=178.9"}, ecg_rate},
      {{"--function=ecg_matched_filter", "--width=1", "--samplerate=1e9"}, ecg_rate},
      {{"--function=ecg_mf_hr", "--samplerate=100"}, f + "ecg_mf_hr needs a --samplerate of at least 179 Hz"},
      {{"--function=ecg_mf_hr", "--peak_min_bpm=-10"}, f + "ecg_mf_hr needs a positive --peak_min_bpm"},
      {{"--function=ecg_mf_hr", "--peak_min_bpm=100", "--peak_max_bpm=50"},
       f + "ecg_mf_hr needs a --peak_max_bpm of at least --peak_min_bpm"},
      {{"--function=ecg_mf_hr", "--hr_mf_rising_factor=-2"},
       f + "ecg_mf_hr needs a positive, finite hr_mf_rising_factor (got -2.000000)!\n"},
  };
  for (const char *name : {"lowpass", "highpass", "peakpass", "notch"}) {
    cases.push_back({{std::string("--function=") + name, "--width=10"},
                     e + "need option --frequency for " + name + " filter.\n"});
    cases.push_back({{std::string("--function=") + name, "--width=1", "--frequency=1"},
                     f + name + " needs a filter order of at least 2 (got 1 from --width)!\n"});
  }
  for (const char *name : {"peakpass", "notch"})
    cases.push_back({{std::string("--function=") + name, "--frequency=50", "--width=10", "--nosharp"},
                     e + "superfluous option --nosharp in mode " + name + "!\n"});
  glide_harness::expect_refused(cases, ref::random_stream(40, 13));
}

}  // namespace
