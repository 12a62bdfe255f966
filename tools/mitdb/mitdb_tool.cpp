// mitdb_tool: turns an MIT-BIH record into the project's streams and scores
// heart-beat detector outputs against its annotations (see mitdb.h for how
// beats are matched and how the heart-rate error is defined).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "corvia.h"
#include "fv.h"
#include "mitdb.h"

namespace {

const char *const kProgram = "mitdb_tool";

void usage() {
  std::fprintf(
      stderr,
      "%s - MIT-BIH Arrhythmia Database records for the heart-beat bench.\n"
      "usage:\n"
      "  %s fv RECORD RATE > ecg.fv\n"
      "      the first signal (millivolts) resampled to RATE Hz as a\n"
      "      one-dimensional .fv stream\n"
      "  %s corvia RECORD > ecg.raw\n"
      "      a raw recording at 2048 frames per second with the first signal\n"
      "      as its ECG (microvolts, plus 0.1 so that it is never exactly 0)\n"
      "      and 1.0 in the other five signals\n"
      "  %s score RECORD RATE BEATS.fv RATE.fv DELAY\n"
      "      scores detector outputs at RATE Hz: BEATS.fv holds beat\n"
      "      impulses (\"-\": a beat wherever RATE.fv changes; \"=\": also\n"
      "      the beat one interval, 60 / rate, before each change, for a\n"
      "      rate taken from the last two beats), RATE.fv the\n"
      "      heart rate; DELAY is the outputs' delay in seconds, or \"auto\"\n"
      "      for the median distance of the detections to their nearest\n"
      "      annotated beat. Prints \"TP FN FP hr_error hr_count hr_missing\"\n"
      "      (hr_count beats with a rate, hr_missing beats without).\n"
      "RECORD is the path without extension (e.g. ../shared/data/mitdb/100).\n",
      kProgram, kProgram, kProgram, kProgram);
}

[[noreturn]] void fail(const std::string &message) {
  std::fprintf(stderr, "%s error: %s\n", kProgram, message.c_str());
  std::exit(1);
}

mitdb_record load(const char *base) {
  mitdb_record r;
  std::string error;
  if (!mitdb_read(base, &r, &error)) fail(error);
  return r;
}

double positive_number(const char *text, const char *what) {
  char *end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v > 0) || !std::isfinite(v)) {
    fail(std::string(what) + " must be a positive number (got \"" + text +
         "\")");
  }
  return v;
}

void write_fv(const std::vector<double> &x) {
  fv_sequence *seq = fv_sequence_create_default(1, FV_LABELLING_NONE, "ECG",
                                                static_cast<int32_t>(x.size()));
  fv_sequence_write_header(seq, stdout);
  fv *f = fv_create(seq->info);
  for (double v : x) {
    double_to_fv(seq->info, &v, f);
    fv_write(seq->info, f, stdout);
  }
  fv_delete(f);
  fv_sequence_delete(seq);
}

void write_corvia(const std::vector<double> &x) {
  for (size_t i = 0; i < x.size(); ++i) {
    corvia_data frame{};
    frame.time.tv_sec = static_cast<int32_t>(i / CORVIA_FRAMES_PER_SECOND);
    frame.time.tv_usec = static_cast<int32_t>(
        (i % CORVIA_FRAMES_PER_SECOND) * 1000000 / CORVIA_FRAMES_PER_SECOND);
    frame.data[0] = static_cast<float>(x[i] * 1000.0 + 0.1);
    for (int c = 1; c < CORVIA_NUM_RAW_SIGNALS; ++c) frame.data[c] = 1.0f;
    if (std::fwrite(&frame, sizeof frame, 1, stdout) != 1) {
      fail(std::string("standard output: ") + std::strerror(errno));
    }
  }
}

// The first feature of every vector of every sequence in `path`.
std::vector<double> read_fv(const char *path) {
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) fail(std::string(path) + ": " + std::strerror(errno));
  std::vector<double> values;
  while (fv_sequence *seq = fv_sequence_create_from_header(file)) {
    if (seq->info->dim < 1) fail(std::string(path) + ": vectors have no feature");
    std::vector<double> v(seq->info->dim);
    fv *f = fv_create(seq->info);
    for (int32_t i = 0; i != seq->n_expected; ++i) {
      const int c = std::fgetc(file);
      if (c == EOF) break;
      std::ungetc(c, file);
      fv_read(seq->info, f, file);
      fv_to_double(seq->info, f, v.data());
      values.push_back(v[0]);
      fv_clean(seq->info, f);
    }
    fv_delete(f);
    fv_sequence_delete(seq);
  }
  std::fclose(file);
  return values;
}

// A beat wherever the rate output takes a new value.
std::vector<double> changes(const std::vector<double> &rate) {
  std::vector<double> beats(rate.size(), 0.0);
  for (size_t i = 1; i < rate.size(); ++i) {
    const bool a = std::isfinite(rate[i]), b = std::isfinite(rate[i - 1]);
    if (a && rate[i] > 0 && (!b || rate[i] != rate[i - 1])) beats[i] = 1.0;
  }
  return beats;
}

// A beat wherever the rate output takes a new value, and the beat one
// interval before it when the rate is that of the last two beats: a beat
// whose interval equals the last one to the sample leaves the rate as it
// was, but the next change still tells where it lay. An earlier beat is
// added only where no beat lies within half a matching window (75 ms).
std::vector<double> changes_and_intervals(const std::vector<double> &rate,
                                          double samplerate) {
  std::vector<double> beats = changes(rate);
  const long near = std::lround(0.075 * samplerate);
  const long size = static_cast<long>(rate.size());
  for (long i = 0; i < size; ++i) {
    if (beats[i] == 0.0) continue;
    const long j = i - std::lround(60.0 * samplerate / rate[i]);
    if (j < 0) continue;
    bool alone = true;
    for (long k = std::max(0L, j - near); k <= std::min(size - 1, j + near);
         ++k) {
      if (beats[k] != 0.0) alone = false;
    }
    if (alone) beats[j] = 1.0;
  }
  return beats;
}

double median_offset(const std::vector<double> &reference,
                     const std::vector<double> &detections) {
  std::vector<double> offsets;
  size_t j = 0;
  for (double d : detections) {
    while (j + 1 < reference.size() &&
           std::fabs(reference[j + 1] - d) <= std::fabs(reference[j] - d)) {
      ++j;
    }
    if (!reference.empty()) offsets.push_back(d - reference[j]);
  }
  if (offsets.empty()) return 0.0;
  std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2,
                   offsets.end());
  return offsets[offsets.size() / 2];
}

int score(char **argv) {
  const mitdb_record rec = load(argv[0]);
  const double rate = positive_number(argv[1], "RATE");
  const std::vector<double> hr = read_fv(argv[3]);
  const std::vector<double> impulses =
      std::strcmp(argv[2], "-") == 0   ? changes(hr)
      : std::strcmp(argv[2], "=") == 0 ? changes_and_intervals(hr, rate)
                                       : read_fv(argv[2]);
  const std::vector<double> reference = mitdb_beat_times(rec);
  double delay = 0.0;
  if (std::strcmp(argv[4], "auto") == 0) {
    delay = median_offset(reference, impulse_times(impulses, rate, 0.0));
  } else {
    char *end = nullptr;
    delay = std::strtod(argv[4], &end);
    if (end == argv[4] || *end != '\0' || !std::isfinite(delay)) {
      fail(std::string("DELAY must be a number or \"auto\" (got \"") +
           argv[4] + "\")");
    }
  }
  const beat_score s = score_outputs(reference, impulses, hr, rate, delay);
  std::printf("%ld %ld %ld %.4f %ld %ld\n", s.tp, s.fn, s.fp, s.hr_error(),
              s.hr_count, s.hr_missing);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 ||
                    std::strcmp(argv[1], "-h") == 0)) {
    usage();
    return 0;
  }
  const std::string command = argc >= 2 ? argv[1] : "";
  if (command == "fv" && argc == 4) {
    write_fv(mitdb_resample(load(argv[2]), positive_number(argv[3], "RATE")));
  } else if (command == "corvia" && argc == 3) {
    write_corvia(mitdb_resample(load(argv[2]), CORVIA_FRAMES_PER_SECOND));
  } else if (command == "score" && argc == 7) {
    return score(argv + 2);
  } else {
    usage();
    return 1;
  }
  if (std::fflush(stdout) != 0) {
    fail(std::string("standard output: ") + std::strerror(errno));
  }
  return 0;
}
