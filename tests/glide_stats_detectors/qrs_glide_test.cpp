// glide_stats with the streaming QRS detector: both functions against the
// library on every dimension, their help notes and parameter line, and the
// sample rates refused.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "fex.h"
#include "../glide_stats/glide_harness.h"
#include "testsupport.h"

namespace {

using glide_harness::glide;
using glide_harness::run_ok;

// Narrow spikes every `period` samples with a T wave after each, on a slow
// wave.
std::vector<double> spikes(size_t n, double period, double rate) {
  std::vector<double> x(n);
  for (size_t t = 0; t < n; ++t) {
    const double phase = std::fmod(t, period);
    const double r = (phase - period / 2) / (0.01 * rate);
    const double tw = (phase - period / 2 - 0.25 * rate) / (0.05 * rate);
    x[t] = std::exp(-0.5 * r * r) + 0.2 * std::exp(-0.5 * tw * tw) +
           0.3 * std::sin(t * 2.0 / rate);
  }
  return x;
}

TEST(GlideQrs, BothFunctionsMatchTheLibraryOnEveryDimension) {
  const double rate = 256;
  const auto a = spikes(256 * 12, 256, rate);  // 60 per minute
  const auto b = spikes(256 * 12, 200, rate);  // 76.8 per minute
  std::vector<double> x;
  for (size_t i = 0; i < a.size(); ++i) {
    x.push_back(a[i]);
    x.push_back(b[i]);
  }
  for (const char *f : {"qrs_beats", "qrs_hr"}) {
    const auto y =
        run_ok({std::string("--function=") + f, "--samplerate=256"}, x, 2);
    ASSERT_EQ(y.size(), x.size()) << f;
    for (int d = 0; d < 2; ++d) {
      qrs_params q;
      qrs_params_init(&q, rate);
      const std::vector<double> &in = d == 0 ? a : b;
      for (size_t i = 0; i < in.size(); ++i) {
        qrs(&q, in[i]);
        const double want = f[4] == 'b' ? q.beat : q.value;
        ASSERT_EQ(y[2 * i + d], want) << f << " " << i;
      }
      qrs_params_free(&q);
    }
  }
  const auto hr = run_ok({"--function=qrs_hr", "-s", "256"}, x, 2);
  EXPECT_NEAR(hr[hr.size() - 2], 60.0, 0.5);
  EXPECT_NEAR(hr[hr.size() - 1], 76.8, 0.5);
}

TEST(GlideQrs, SampleRatesRefusedAndParameterLine) {
  for (const char *f : {"qrs_beats", "qrs_hr"}) {
    for (const char *rate : {"100", "127.5", "8200", "0", "-256"}) {
      const testsupport::ProcResult r = glide(
          {std::string("--function=") + f, std::string("--samplerate=") + rate},
          {1, 2});
      EXPECT_EQ(r.status, 1) << f << " " << rate;
      EXPECT_NE(r.err.find(std::string("glide_stats error: function ") + f +
                           " needs a --samplerate from 128 to 8192 Hz (got "),
                std::string::npos)
          << r.err;
      EXPECT_TRUE(r.out.empty());
    }
    const testsupport::ProcResult ok =
        glide({std::string("--function=") + f, "--samplerate=360"}, {1, 2});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.err.find(std::string("glide_stats: function ") + f +
                          ": samplerate = 360.000000, output delay = 540 "
                          "samples\n"),
              std::string::npos)
        << ok.err;
  }
  const testsupport::ProcResult help =
      testsupport::run(testsupport::bin_path("glide_stats"), {"--help"});
  EXPECT_NE(help.err.find("-qrs_beats (streaming QRS detector"),
            std::string::npos);
  EXPECT_NE(help.err.find("-qrs_hr (heart rate in beats per minute"),
            std::string::npos);
}

}  // namespace
