// ecg_hr on real ECG: a record of the MIT-BIH Arrhythmia Database (WFDB
// signal format 212, MIT annotation format), resampled to 2048 Hz, against
// the heart rate of its annotated beats.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fex.h"
#include "testsupport.h"

namespace {

struct Record {
  double frequency = 0;
  int gain = 200;          // ADC units per millivolt
  int baseline = 0;        // ADC units at 0 mV
  std::vector<double> mv;  // first signal, millivolts
};

// Reads the header line "name nsig freq nsamp" and the first signal's line
// "file 212 gain bits zero ..." of a .hea file.
bool read_header(const std::string &path, Record *r, long *nsamp) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return false;
  std::istringstream head(line);
  std::string name;
  int nsig = 0;
  if (!(head >> name >> nsig >> r->frequency >> *nsamp) || nsig < 1) return false;
  if (!std::getline(in, line)) return false;
  std::istringstream sig(line);
  std::string file, format, gain;
  int bits = 0;
  if (!(sig >> file >> format >> gain >> bits >> r->baseline)) return false;
  if (format != "212") return false;
  r->gain = std::atoi(gain.c_str());
  return nsig == 2 && r->gain > 0;
}

// Format 212 with two signals: each frame is three bytes holding two 12-bit
// two's-complement samples (the second's high nibble in the middle byte).
// Keeps the first `frames` frames of signal 0.
bool read_212(const std::string &path, long frames, Record *r) {
  const std::string bytes = testsupport::read_file(path);
  if (static_cast<long>(bytes.size()) < frames * 3) return false;
  r->mv.resize(frames);
  for (long i = 0; i < frames; ++i) {
    const auto b0 = static_cast<uint8_t>(bytes[3 * i]);
    const auto b1 = static_cast<uint8_t>(bytes[3 * i + 1]);
    int v = b0 | ((b1 & 0x0f) << 8);
    if (v & 0x800) v -= 0x1000;
    r->mv[i] = static_cast<double>(v - r->baseline) / r->gain;
  }
  return true;
}

// MIT annotation file: 16-bit little-endian words, type in the top 6 bits,
// time increment in the low 10; SKIP (59) carries a 32-bit increment in the
// next two words (high word first), AUX (63) is followed by its bytes
// (padded to even), NUM, SUB and CHN (60-62) carry no time. Returns the
// sample numbers of the beat annotations.
std::vector<long> read_beats(const std::string &path) {
  static const bool is_beat[64] = {
      false, true,  true,  true,  true,  true,  true,  true,  true,  true,
      true,  true,  true,  true,  false, false, false, false, false, false,
      false, false, false, false, false, true,  false, false, false, false,
      true,  false, false, false, true,  true,  false, false, true,  false,
      false, true};
  const std::string bytes = testsupport::read_file(path);
  std::vector<long> beats;
  long time = 0;
  size_t i = 0;
  auto word = [&](size_t at) {
    return static_cast<unsigned>(static_cast<uint8_t>(bytes[at])) |
           (static_cast<unsigned>(static_cast<uint8_t>(bytes[at + 1])) << 8);
  };
  while (i + 1 < bytes.size()) {
    const unsigned w = word(i);
    i += 2;
    const unsigned type = w >> 10, inc = w & 0x3ff;
    if (type == 0 && inc == 0) break;
    if (type == 59) {
      if (i + 3 >= bytes.size()) break;
      const long skip = static_cast<long>(
          static_cast<int32_t>((word(i) << 16) | word(i + 2)));
      i += 4;
      time += skip;
    } else if (type == 63) {
      i += inc + (inc & 1);
    } else if (type >= 60) {
      // NUM, SUB, CHN: attributes of the annotation before
    } else {
      time += inc;
      if (is_beat[type]) beats.push_back(time);
    }
  }
  return beats;
}

TEST(MitDb, EcgHrTracksTheAnnotatedHeartRate) {
  const std::string dir = testsupport::shared_data_dir();
  if (dir.empty() || !std::ifstream(dir + "/mitdb/100.hea")) {
    GTEST_SKIP() << "MIT-BIH Arrhythmia Database record 100 (mitdb/100.hea, 100.dat, 100.atr "
                    "from PhysioNet) not found in $CORVIA_SHARED_DATA or ../shared/data";
  }
  Record rec;
  long nsamp = 0;
  ASSERT_TRUE(read_header(dir + "/mitdb/100.hea", &rec, &nsamp));
  ASSERT_EQ(rec.frequency, 360);
  ASSERT_EQ(nsamp, 650000);
  const double seconds = 150;
  const long frames = static_cast<long>(seconds * rec.frequency);
  ASSERT_TRUE(read_212(dir + "/mitdb/100.dat", frames, &rec));
  // The header's initial value of signal 0 is 995 ADC units.
  EXPECT_DOUBLE_EQ(rec.mv[0], (995.0 - 1024) / 200);
  const std::vector<long> beats = read_beats(dir + "/mitdb/100.atr");
  // The database lists 2273 beats for record 100.
  ASSERT_EQ(beats.size(), 2273u);
  std::vector<double> beat_t;
  for (long b : beats) beat_t.push_back(b / rec.frequency);

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
