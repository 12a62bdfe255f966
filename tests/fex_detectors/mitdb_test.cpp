// ecg_hr on real ECG: a record of the MIT-BIH Arrhythmia Database,
// resampled to 2048 Hz, against the heart rate of its annotated beats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "fex.h"
#include "mitdb.h"
#include "testsupport.h"

namespace {

TEST(MitDb, EcgHrTracksTheAnnotatedHeartRate) {
  const std::string dir = testsupport::shared_data_dir();
  if (dir.empty() || !std::ifstream(dir + "/mitdb/100.hea")) {
    GTEST_SKIP() << "MIT-BIH Arrhythmia Database record 100 (mitdb/100.hea, 100.dat, 100.atr "
                    "from PhysioNet) not found in $CORVIA_SHARED_DATA or ../shared/data";
  }
  mitdb_record rec;
  std::string error;
  ASSERT_TRUE(mitdb_read(dir + "/mitdb/100", &rec, &error)) << error;
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

}  // namespace
