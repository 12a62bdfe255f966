#include "mitdb.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

const char *const mitdb_records[11] = {"100", "101", "103", "105",
                                       "106", "119", "200", "203",
                                       "208", "210", "228"};

namespace {

bool read_bytes(const std::string &path, std::string *bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in),
                std::istreambuf_iterator<char>());
  return true;
}

// "name nsig freq nsamp" and the first signal's "file 212 gain bits zero".
bool read_header(const std::string &path, mitdb_record *r, long *nsamp,
                 std::string *error) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) {
    *error = path + ": cannot be read";
    return false;
  }
  std::istringstream head(line);
  int nsig = 0;
  if (!(head >> r->name >> nsig >> r->frequency >> *nsamp) || nsig != 2 ||
      !(r->frequency > 0) || *nsamp < 0) {
    *error = path + ": expected \"name 2 frequency samples\" on line 1";
    return false;
  }
  std::string file, format, gain;
  int bits = 0;
  if (!std::getline(in, line) ||
      !(std::istringstream(line) >> file >> format >> gain >> bits >>
        r->baseline) ||
      format != "212" || (r->gain = std::atoi(gain.c_str())) <= 0) {
    *error = path + ": the first signal is not in format 212 with a gain";
    return false;
  }
  return true;
}

// Format 212 with two signals: three bytes per frame, two 12-bit
// two's-complement samples; the first takes the low nibble of byte 1.
bool read_212(const std::string &path, long frames, mitdb_record *r,
              std::string *error) {
  std::string bytes;
  if (!read_bytes(path, &bytes) ||
      static_cast<long>(bytes.size()) < frames * 3) {
    *error = path + ": missing or shorter than the header says";
    return false;
  }
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

// MIT annotations: 16-bit little-endian words, type in the top 6 bits, time
// increment in the low 10; SKIP (59) carries a 32-bit increment in the next
// two words (high word first), AUX (63) is followed by its bytes (padded to
// even), NUM, SUB and CHN (60-62) carry no time.
bool read_beats(const std::string &path, mitdb_record *r,
                std::string *error) {
  static const bool is_beat[64] = {
      false, true,  true,  true,  true,  true,  true,  true,  true,  true,
      true,  true,  true,  true,  false, false, false, false, false, false,
      false, false, false, false, false, true,  false, false, false, false,
      true,  false, false, false, true,  true,  false, false, true,  false,
      false, true};
  std::string bytes;
  if (!read_bytes(path, &bytes)) {
    *error = path + ": cannot be read";
    return false;
  }
  auto word = [&](size_t at) {
    return static_cast<unsigned>(static_cast<uint8_t>(bytes[at])) |
           (static_cast<unsigned>(static_cast<uint8_t>(bytes[at + 1])) << 8);
  };
  long time = 0;
  size_t i = 0;
  r->beats.clear();
  r->types.clear();
  while (i + 1 < bytes.size()) {
    const unsigned w = word(i);
    i += 2;
    const unsigned type = w >> 10, inc = w & 0x3ff;
    if (type == 0 && inc == 0) break;
    if (type == 59) {
      if (i + 3 >= bytes.size()) break;
      time += static_cast<int32_t>((word(i) << 16) | word(i + 2));
      i += 4;
    } else if (type == 63) {
      i += inc + (inc & 1);
    } else if (type < 60) {
      time += inc;
      if (is_beat[type]) {
        r->beats.push_back(time);
        r->types.push_back(static_cast<int>(type));
      }
    }
  }
  if (r->beats.empty()) {
    *error = path + ": no beat annotations";
    return false;
  }
  return true;
}

}  // namespace

bool mitdb_read(const std::string &base, mitdb_record *record,
                std::string *error) {
  long nsamp = 0;
  return read_header(base + ".hea", record, &nsamp, error) &&
         read_212(base + ".dat", nsamp, record, error) &&
         read_beats(base + ".atr", record, error);
}

std::vector<double> mitdb_resample(const mitdb_record &record, double rate) {
  const std::vector<double> &x = record.mv;
  std::vector<double> out;
  if (x.size() < 2) return out;
  const long n = static_cast<long>((x.size() - 1) * rate / record.frequency);
  out.resize(n);
  for (long k = 0; k < n; ++k) {
    const double pos = k * record.frequency / rate;
    const long i = static_cast<long>(pos);
    const double frac = pos - i;
    out[k] = x[i] * (1 - frac) + x[i + 1] * frac;
  }
  return out;
}

std::vector<double> mitdb_beat_times(const mitdb_record &record) {
  std::vector<double> t;
  for (long b : record.beats) t.push_back(b / record.frequency);
  return t;
}

double beat_score::sensitivity() const {
  return tp + fn > 0 ? 100.0 * tp / (tp + fn) : 0.0;
}

double beat_score::positive_predictivity() const {
  return tp + fp > 0 ? 100.0 * tp / (tp + fp) : 0.0;
}

double beat_score::hr_error() const {
  return hr_count > 0 ? hr_error_sum / hr_count : 0.0;
}

void beat_score::add(const beat_score &o) {
  tp += o.tp;
  fn += o.fn;
  fp += o.fp;
  hr_error_sum += o.hr_error_sum;
  hr_count += o.hr_count;
  hr_missing += o.hr_missing;
}

void score_beats(const std::vector<double> &reference,
                 const std::vector<double> &detections, double window,
                 double skip, double end, beat_score *score) {
  std::vector<bool> used(detections.size(), false);
  size_t first = 0;  // detections before it lie too early for any beat left
  for (double t : reference) {
    if (t < skip || t > end) continue;
    while (first < detections.size() && detections[first] < t - window) {
      ++first;
    }
    long best = -1;
    for (size_t d = first; d < detections.size() && detections[d] <= t + window;
         ++d) {
      if (!used[d] && (best < 0 || std::fabs(detections[d] - t) <
                                       std::fabs(detections[best] - t))) {
        best = static_cast<long>(d);
      }
    }
    if (best >= 0) {
      used[best] = true;
      score->tp += 1;
    } else {
      score->fn += 1;
    }
  }
  for (size_t d = 0; d < detections.size(); ++d) {
    if (!used[d] && detections[d] >= skip && detections[d] <= end) {
      score->fp += 1;
    }
  }
}

void score_rate(const std::vector<double> &reference,
                const std::vector<double> &rate, double samplerate,
                double delay, double window, double skip,
                beat_score *score) {
  for (size_t k = 1; k < reference.size(); ++k) {
    if (reference[k] < skip) continue;
    const long at =
        std::lround((reference[k] + window + delay) * samplerate);
    if (at < 0 || at >= static_cast<long>(rate.size())) continue;
    const double v = rate[at];
    if (!(std::isfinite(v) && v > 0)) {
      score->hr_missing += 1;
      continue;
    }
    score->hr_error_sum +=
        std::fabs(v - 60.0 / (reference[k] - reference[k - 1]));
    score->hr_count += 1;
  }
}

std::vector<double> impulse_times(const std::vector<double> &impulses,
                                  double samplerate, double delay) {
  std::vector<double> t;
  for (size_t i = 0; i < impulses.size(); ++i) {
    if (impulses[i] != 0) t.push_back(i / samplerate - delay);
  }
  return t;
}

beat_score score_outputs(const std::vector<double> &reference,
                         const std::vector<double> &impulses,
                         const std::vector<double> &rate, double samplerate,
                         double delay) {
  const double window = 0.150, skip = 10.0;
  const double end = impulses.size() / samplerate - delay - window;
  beat_score s;
  score_beats(reference, impulse_times(impulses, samplerate, delay), window,
              skip, end, &s);
  score_rate(reference, rate, samplerate, delay, window, skip, &s);
  return s;
}
