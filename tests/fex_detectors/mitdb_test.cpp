// ecg_hr on real ECG: a record of the MIT-BIH Arrhythmia Database,
// resampled to 2048 Hz, against the heart rate of its annotated beats; and
// the bench's pipeline (mitdb_tool, glide_stats, corvia_signals) on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fex.h"
#include "mitdb.h"
#include "testsupport.h"

namespace {

// The folder of record 100, or "" (the caller skips, saying why).
std::string record_dir() {
  const std::string dir = testsupport::shared_data_dir();
  return dir.empty() || !std::ifstream(dir + "/mitdb/100.hea") ? "" : dir + "/mitdb";
}
#define SKIP_WITHOUT_RECORD(dir)                                                           \
  if ((dir).empty())                                                                       \
  GTEST_SKIP() << "MIT-BIH Arrhythmia Database record 100 (mitdb/100.hea, 100.dat, 100.atr " \
                  "from PhysioNet) not found in $CORVIA_SHARED_DATA or ../shared/data"

TEST(MitDb, EcgHrTracksTheAnnotatedHeartRate) {
  const std::string dir = record_dir();
  SKIP_WITHOUT_RECORD(dir);
  mitdb_record rec;
  std::string error;
  ASSERT_TRUE(mitdb_read(dir + "/100", &rec, &error)) << error;
  ASSERT_EQ(rec.frequency, 360);
  ASSERT_EQ(rec.mv.size(), 650000u);
  const double seconds = 150;
  // The header's initial value of signal 0 is 995 ADC units.
  EXPECT_DOUBLE_EQ(rec.mv[0], (995.0 - 1024) / 200);
  // The database lists 2273 beats for record 100.
  ASSERT_EQ(rec.beats.size(), 2273u);
  const std::vector<double> beat_t = mitdb_beat_times(rec);

  // Linear interpolation to 2048 Hz.
  ecg_hr_params hr;
  ecg_hr_params_init(&hr, 2048, 1);
  std::vector<double> det_t, det_v;
  std::vector<int> det_a;
  const long n = static_cast<long>((seconds - 0.01) * 2048);
  for (long k = 0; k < n; ++k) {
    const double pos = k * rec.frequency / 2048;
    const long i = static_cast<long>(pos);
    const double frac = pos - i;
    ecg_hr(&hr, rec.mv[i] * (1 - frac) + rec.mv[i + 1] * frac);
    if (hr.peaks.value) {
      det_t.push_back(k / 2048.0);
      det_v.push_back(hr.value);
      det_a.push_back(hr.artefact);
    }
  }
  ecg_hr_params_free(&hr);

  // Each annotated beat after the artefact period is detected once, within
  // 60 ms of its annotation, with the rate of its RR interval.
  int matched = 0, within_1 = 0, within_3 = 0;
  double abs_sum = 0;
  std::vector<int> hits(beat_t.size(), 0);
  for (size_t d = 0; d < det_t.size(); ++d) {
    if (det_t[d] < 7) continue;
    EXPECT_EQ(det_a[d], 0) << det_t[d];
    auto it = std::upper_bound(beat_t.begin(), beat_t.end(), det_t[d]);
    const size_t j = static_cast<size_t>(it - beat_t.begin()) - 1;
    EXPECT_LE(det_t[d] - beat_t[j], 0.06) << "detection at " << det_t[d];
    hits[j]++;
    const double rate = 60.0 / (beat_t[j] - beat_t[j - 1]);
    const double err = std::fabs(det_v[d] - rate);
    ++matched;
    abs_sum += err;
    within_1 += err <= 1.0;
    within_3 += err <= 3.0;
  }
  for (size_t j = 0; j < beat_t.size(); ++j) {
    if (beat_t[j] > 7.1 && beat_t[j] < seconds - 0.1) {
      EXPECT_EQ(hits[j], 1) << "annotated beat at " << beat_t[j];
    }
  }
  ASSERT_GT(matched, 150);
  EXPECT_LT(abs_sum / matched, 1.0);
  EXPECT_GE(within_1, matched * 0.9);
  EXPECT_GE(within_3, matched * 0.99);
}

// Record 100 through the programs the heart-beat bench runs: scored beats,
// the "-" form (beats from rate changes), and the tool's refusals. (The
// detector's delay is 1.5 s.)
TEST(MitDbTool, PipelinesScoreRecord100AndBadUsageIsRefused) {
  const std::string dir = record_dir();
  SKIP_WITHOUT_RECORD(dir);
  using testsupport::bin_path;
  using testsupport::run;
  const std::string rec = dir + "/100", tool = bin_path("mitdb_tool");
  testsupport::TempDir tmp;
  const auto to_file = [&](const testsupport::ProcResult &r, const std::string &name) {
    EXPECT_EQ(r.status, 0) << r.err;
    testsupport::write_file(tmp.file(name), r.out);
    return tmp.file(name);
  };
  const testsupport::ProcResult ecg = run(tool, {"fv", rec, "360"});
  ASSERT_EQ(ecg.status, 0) << ecg.err;
  const std::string beats = to_file(
      run(bin_path("glide_stats"), {"-f", "qrs_beats", "--samplerate", "360"}, ecg.out), "b.fv");
  const std::string hr = to_file(
      run(bin_path("glide_stats"), {"-f", "qrs_hr", "--samplerate", "360"}, ecg.out), "h.fv");
  struct Case {
    std::string beats, delay;
    long min_tp, max_fp;
  } cases[] = {{beats, "1.5", 2255, 2}, {"-", "1.5", 2000, 2}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.beats + " " + c.delay);
    const testsupport::ProcResult r = run(tool, {"score", rec, "360", c.beats, hr, c.delay});
    ASSERT_EQ(r.status, 0) << r.err;
    long tp = 0, fn = 0, fp = 0;
    double hr_error = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "%ld %ld %ld %lf", &tp, &fn, &fp, &hr_error), 4) << r.out;
    EXPECT_GE(tp, c.min_tp);
    EXPECT_LE(fp, c.max_fp);
    EXPECT_LT(hr_error, 1.0);
  }

  const struct {
    std::vector<std::string> args;
    std::string message;
  } refusals[] = {
      {{}, "usage:"},
      {{"fv", rec}, "usage:"},
      {{"fv", rec, "0"}, "RATE must be a positive number (got \"0\")"},
      {{"fv", dir + "/none", "360"}, "/none.hea: cannot be read"},
      {{"score", rec, "360", beats, hr, "soon"}, "DELAY must be a number or \"auto\" (got \"soon\")"},
      {{"score", rec, "360", beats, tmp.file("missing.fv"), "auto"}, "missing.fv: No such file"},
  };
  for (const auto &c : refusals) {
    SCOPED_TRACE(c.message);
    const testsupport::ProcResult r = run(tool, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(run(tool, {"--help"}).status, 0);
}

}  // namespace
