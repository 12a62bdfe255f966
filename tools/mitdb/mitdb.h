// Records of the MIT-BIH Arrhythmia Database (WFDB header, signal format 212,
// MIT annotation format) and the beat-by-beat scoring of heart-beat
// detectors against their reference annotations.
//
// Matching: a detection matches a reference beat when they lie at most
// `window` seconds apart; each reference beat takes the nearest unmatched
// detection within the window, in time order. Only reference beats from
// `skip` seconds to `end` seconds count (`end`: the end of the detector's
// output less its delay and the window, so that every counted beat could
// have been put out), and only detections in that span that no counted
// reference beat takes are false. TP = matched reference beats, FN = the
// other counted reference beats, FP = the other detections.
//
// Heart-rate error: for every reference beat k after `skip` (and not the
// first of the record) the reference rate 60 / (t_k - t_{k-1}) is compared
// with the detector's rate output read `window` seconds after t_k (plus the
// detector's delay); the error is the mean absolute difference over the
// beats at which the output holds a rate (finite and positive).
#pragma once

#include <string>
#include <vector>

struct mitdb_record {
  std::string name;
  double frequency = 0;    // samples per second
  int gain = 200;          // ADC units per millivolt
  int baseline = 0;        // ADC units at 0 mV
  std::vector<double> mv;  // first signal, millivolts
  std::vector<long> beats;  // sample numbers of the beat annotations
  std::vector<int> types;   // their annotation codes (1 normal, 5 PVC, ...)
};

// Reads `base`.hea, `base`.dat and `base`.atr (base = folder/record). On
// failure returns false and says why in `error`.
bool mitdb_read(const std::string &base, mitdb_record *record,
                std::string *error);

// The first signal at `rate` Hz by linear interpolation.
std::vector<double> mitdb_resample(const mitdb_record &record, double rate);

struct beat_score {
  long tp = 0, fn = 0, fp = 0;
  double hr_error_sum = 0;  // over hr_count beats
  long hr_count = 0;
  long hr_missing = 0;  // beats at which the output held no rate
  double sensitivity() const;             // percent
  double positive_predictivity() const;   // percent
  double hr_error() const;                // bpm
  void add(const beat_score &other);
};

// Beat times (seconds) of a record's annotations.
std::vector<double> mitdb_beat_times(const mitdb_record &record);

// Matches detections (seconds, sorted) against reference beats (seconds,
// sorted); fills tp, fn, fp.
void score_beats(const std::vector<double> &reference,
                 const std::vector<double> &detections, double window,
                 double skip, double end, beat_score *score);

// Heart-rate error of `rate` (one value per output sample at `samplerate`,
// `delay` seconds late) over the beats from `skip` on; fills the hr_
// fields.
void score_rate(const std::vector<double> &reference,
                const std::vector<double> &rate, double samplerate,
                double delay, double window, double skip, beat_score *score);

// Times (seconds) of the samples at which `impulses` is non-zero, less
// `delay` seconds.
std::vector<double> impulse_times(const std::vector<double> &impulses,
                                  double samplerate, double delay);

// Scores a detector's outputs at `samplerate`, `delay` seconds late: beat
// impulses and heart rate, with the 150-ms window, the first 10 s skipped.
beat_score score_outputs(const std::vector<double> &reference,
                         const std::vector<double> &impulses,
                         const std::vector<double> &rate, double samplerate,
                         double delay);

// The records of the database kept in the shared data folder.
extern const char *const mitdb_records[11];
