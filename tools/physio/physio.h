// Synthetic physiological signals for tests, benchmarks and demonstrations:
// a deterministic generator of the six raw signals of a recording (ECG, EMG,
// SC, Temp, BVP, Resp) at 2048 frames per second, which records exactly what
// it generated (R-peak times, beat-to-beat rates, pulse peaks, breaths, skin
// conductance responses, EMG bursts) so that detectors can be checked
// against it.
//
// Physical values are in the units the analysis works with after
// corvia_make_human_readable: ECG, EMG in microvolts, SC in microsiemens,
// Temp in degrees Celsius, BVP and Resp in relative units. Raw frames carry
// the values the amplifier would deliver (SC and Resp negated, Temp before
// its calibration).
//
// Usage:
//   physio_params p;  physio_params_init(&p);  p.heart_rate = 72;  ...
//   physio_generator g;  physio_generator_init(&g, &p);
//   corvia_data frame;  physio_generator_next_frame(&g, &frame);  ...
//   g.beats[k].r_time ...
//   physio_generator_free(&g);
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "corvia.h"

// Signal numbers of the six raw signals.
enum {
  PHYSIO_ECG = 0,
  PHYSIO_EMG = 1,
  PHYSIO_SC = 2,
  PHYSIO_TEMP = 3,
  PHYSIO_BVP = 4,
  PHYSIO_RESP = 5
};

#define PHYSIO_FRAMES_PER_SECOND 2048

// A point of a rate schedule: at `t` seconds after the start the mean rate is
// `rate` per minute; linear in between, constant outside.
struct physio_rate_point {
  double t;
  double rate;
};

// A stretch in which one raw signal is exactly 0.0 (a loose electrode), from
// `start` (inclusive) to `end` (exclusive), in seconds after the start.
struct physio_disconnect {
  int signal;
  double start;
  double end;
};

// Everything the generator is given; physio_params_init sets the defaults.
struct physio_params {
  uint64_t seed;  // every random choice follows from it

  // Heart. The mean rate is `heart_rate` or, when given, the schedule.
  double heart_rate;                             // beats per minute
  std::vector<physio_rate_point> hr_schedule;    // overrides heart_rate
  double hrv;            // random relative deviation of each RR interval (sd)
  double rsa;            // respiratory modulation of the RR interval (relative)
  double ecg_amplitude;  // R-wave height, microvolts
  double ecg_noise;      // white noise on the ECG (sd), microvolts
  double ecg_wander;     // baseline wander amplitude, microvolts
  double ecg_mains;      // 50-Hz hum amplitude, microvolts

  // Pulse wave: its peak follows the R peak by `pulse_lag` seconds.
  double pulse_lag;
  double pulse_lag_jitter;  // random deviation of each beat's lag (sd), s
  double bvp_level;
  double bvp_amplitude;
  double bvp_noise;

  // Respiration.
  double resp_rate;                              // breaths per minute
  std::vector<physio_rate_point> resp_schedule;  // overrides resp_rate
  double resp_variability;  // random relative deviation of each period (sd)
  double resp_level;        // value at the end of an exhalation
  double resp_amplitude;    // depth of a breath
  double resp_noise;

  // Skin conductance: tonic level plus responses (random at `scr_rate` per
  // minute, and at the given onsets).
  double sc_level;       // microsiemens
  double sc_drift;       // amplitude of the slow tonic drift
  double scr_rate;       // spontaneous responses per minute
  double scr_amplitude;  // mean response height, microsiemens
  std::vector<double> scr_onsets;  // responses forced at these times (s)
  double sc_noise;

  // Skin temperature.
  double temp_level;  // degrees Celsius
  double temp_drift;  // amplitude of the slow drift
  double temp_noise;

  // EMG: baseline activity plus bursts of contraction.
  double emg_level;            // baseline (sd), microvolts
  double emg_burst_rate;       // bursts per minute
  double emg_burst_amplitude;  // activity during a burst (sd), microvolts

  std::vector<physio_disconnect> disconnects;

  // Time stamp of the first frame; later frames advance by 1/2048 s.
  int32_t start_sec;
  int32_t start_usec;
};

// One heart beat as generated.
struct physio_beat {
  double r_time;         // R peak, seconds after the start
  double rr;             // interval from the previous R peak (s); the first
                         // beat gets the interval the rate schedule implies
  double rate;           // instantaneous heart rate, 60 / rr
  double bvp_peak_time;  // peak of the pulse wave this beat causes
  double amplitude;      // R-wave height of this beat
};

// One breath: from the end of an exhalation to the next.
struct physio_breath {
  double start;      // seconds after the start
  double period;     // its length, s
  double rate;       // 60 / period, breaths per minute
  double peak_time;  // end of inhalation (the maximum of Resp)
  double depth;      // its amplitude
};

// A skin-conductance response or an EMG burst.
struct physio_event {
  double onset;      // seconds after the start
  double amplitude;  // SCR: peak height (microsiemens); EMG: sd (microvolts)
  double duration;   // SCR: time from onset to peak; EMG: burst length
};

// A normally distributed random stream that gives the same numbers on every
// platform for a seed.
struct physio_random {
  std::mt19937_64 engine;
  bool has_spare;
  double spare;
};

// Generator state. The event lists hold everything generated so far,
// including events a little ahead of the current frame.
struct physio_generator {
  physio_params params;
  int64_t frame;  // index of the next frame
  std::vector<physio_beat> beats;
  std::vector<physio_breath> breaths;
  std::vector<physio_event> scrs;
  std::vector<physio_event> emg_bursts;

  // internal
  physio_random rng_beats, rng_breaths, rng_scr, rng_emg, rng_noise;
  double wander_phase;
  size_t first_active_beat, first_active_breath, first_active_scr,
      first_active_emg;
  size_t next_forced_scr;
  double next_spontaneous_scr, next_emg_burst;
  double emg_hp_state, emg_hp_last, emg_lp_state;
};

// Default parameters: 70 beats per minute, 15 breaths per minute, pulse lag
// 0.25 s, moderate noise, seed 1, start time 2026-01-01 00:00:00 UTC.
void physio_params_init(physio_params *p);

void physio_generator_init(physio_generator *g, const physio_params *p);
void physio_generator_free(physio_generator *g);

// Computes the next frame's six values in physical units (after
// corvia_make_human_readable); a disconnected signal gives exactly 0.0 raw,
// which is reported here as the physical value of a raw 0.0.
void physio_generator_next(physio_generator *g,
                           double values[CORVIA_NUM_RAW_SIGNALS]);

// The next frame as the amplifier would deliver it: time stamp and raw values.
void physio_generator_next_frame(physio_generator *g, corvia_data *frame);

// The next frame as the device library hands it to its callback: 14 values
// in the amplifier's channel order, the six raw signals in channels C to H
// (positions 2 to 7), the other channels 0.0.
void physio_generator_next_device_values(
    physio_generator *g, float values[CORVIA_CAPTURE_NUM_CHANNELS]);

// Time stamp of frame `k` for a recording starting at start_sec/start_usec.
corvia_timeval physio_frame_time(int32_t start_sec, int32_t start_usec,
                                 int64_t k);

// The raw value whose corvia_make_human_readable is `value`.
double physio_raw_from_physical(double value, int signal);

// The mean rate a schedule (or the constant, when the schedule is empty)
// gives at time t.
double physio_rate_at(const std::vector<physio_rate_point> &schedule,
                      double constant, double t);

// Parses a schedule "T:RATE,T:RATE,..." (times ascending). Returns false
// for malformed text.
bool physio_parse_schedule(const char *text,
                           std::vector<physio_rate_point> *schedule);
