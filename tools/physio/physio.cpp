// The synthetic signal generator: heart beats, breaths, skin-conductance
// responses and EMG bursts are drawn as events a little ahead of the frame
// being computed; each frame's values are the sum of the waves of the
// events near it, plus baseline and noise.
#include "physio.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common.h"

namespace {

const double two_pi = 2.0 * M_PI;
const double frame_dt = 1.0 / PHYSIO_FRAMES_PER_SECOND;

// Skin-conductance response: rise and decay time constants (s).
const double scr_tau_rise = 0.7;
const double scr_tau_decay = 3.5;

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void random_seed(physio_random *r, uint64_t seed, uint64_t stream) {
  r->engine.seed(splitmix64(seed ^ splitmix64(stream)));
  r->has_spare = false;
  r->spare = 0.0;
}

// Uniform in the open interval (0, 1).
double random_uniform(physio_random *r) {
  return ((double)(r->engine() >> 11) + 0.5) * (1.0 / 9007199254740992.0);
}

// Standard normal (Marsaglia's polar method).
double random_normal(physio_random *r) {
  if (r->has_spare) {
    r->has_spare = false;
    return r->spare;
  }
  double u, v, s;
  do {
    u = 2.0 * random_uniform(r) - 1.0;
    v = 2.0 * random_uniform(r) - 1.0;
    s = u * u + v * v;
  } while (s >= 1.0 || s == 0.0);
  const double f = std::sqrt(-2.0 * std::log(s) / s);
  r->spare = v * f;
  r->has_spare = true;
  return u * f;
}

double random_exponential(physio_random *r, double mean) {
  return -mean * std::log(random_uniform(r));
}

double gauss(double dt, double width) {
  return std::exp(-dt * dt / (2.0 * width * width));
}

double clamp(double x, double lo, double hi) {
  return std::min(std::max(x, lo), hi);
}

// Shape of one breath over its phase u in [0, 1): a quick inhalation up to
// 1 at u = 0.4, a slower exhalation back to 0.
double breath_shape(double u) {
  if (u < 0.4) return 0.5 * (1.0 - std::cos(M_PI * u / 0.4));
  return 0.5 * (1.0 + std::cos(M_PI * (u - 0.4) / 0.6));
}

// Peak height of the difference of the two exponentials, for normalising.
double scr_peak_time() {
  return std::log(scr_tau_decay / scr_tau_rise) * scr_tau_rise *
         scr_tau_decay / (scr_tau_decay - scr_tau_rise);
}

double scr_wave(double dt) {
  static const double tp = scr_peak_time();
  static const double norm =
      std::exp(-tp / scr_tau_decay) - std::exp(-tp / scr_tau_rise);
  if (dt <= 0.0) return 0.0;
  return (std::exp(-dt / scr_tau_decay) - std::exp(-dt / scr_tau_rise)) /
         norm;
}

// Pulse wave of one beat around its peak (dt = t - peak), 1 at the peak: a
// steep systolic rise, a slower fall with a small dicrotic wave.
double pulse_wave(double dt, double s) {
  if (dt < 0.0) return gauss(dt, 0.07 * s);
  return gauss(dt, 0.16 * s) + 0.08 * gauss(dt - 0.30 * s, 0.04 * s);
}

// ECG complex of one beat around its R peak (dt = t - R), R wave 1: P, Q,
// R, S and T waves, the T wave moving with the RR interval (QT ~ sqrt(RR)).
double ecg_complex(double dt, double s) {
  return 0.12 * gauss(dt + 0.16, 0.022) - 0.10 * gauss(dt + 0.028, 0.009) +
         gauss(dt, 0.011) - 0.22 * gauss(dt - 0.030, 0.010) +
         0.28 * gauss(dt - 0.30 * s, 0.055 * s);
}

double breath_end(const physio_breath &b) { return b.start + b.period; }

void add_breath(physio_generator *g) {
  const physio_params &p = g->params;
  const double start = g->breaths.empty() ? 0.0 : breath_end(g->breaths.back());
  const double mean_period =
      60.0 / std::max(physio_rate_at(p.resp_schedule, p.resp_rate, start), 1.0);
  double period = mean_period *
                  (1.0 + p.resp_variability * random_normal(&g->rng_breaths));
  period = clamp(period, 0.6 * mean_period, 1.4 * mean_period);
  double depth = p.resp_amplitude *
                 (1.0 + 0.1 * random_normal(&g->rng_breaths));
  depth = std::max(depth, 0.3 * p.resp_amplitude);
  physio_breath b;
  b.start = start;
  b.period = period;
  b.rate = 60.0 / period;
  b.peak_time = start + 0.4 * period;
  b.depth = depth;
  g->breaths.push_back(b);
}

void ensure_breaths(physio_generator *g, double t) {
  while (breath_end(g->breaths.back()) <= t) add_breath(g);
}

// The breath under way at t (t must lie before the end of the last breath).
const physio_breath &breath_at(physio_generator *g, double t) {
  ensure_breaths(g, t);
  size_t i = g->first_active_breath;
  while (i + 1 < g->breaths.size() && breath_end(g->breaths[i]) <= t) i++;
  return g->breaths[i];
}

double breath_phase(physio_generator *g, double t) {
  const physio_breath &b = breath_at(g, t);
  return clamp((t - b.start) / b.period, 0.0, 1.0);
}

void add_beat(physio_generator *g, double r_time, double rr) {
  const physio_params &p = g->params;
  physio_beat b;
  b.r_time = r_time;
  b.rr = rr;
  b.rate = 60.0 / rr;
  b.bvp_peak_time =
      r_time + p.pulse_lag + p.pulse_lag_jitter * random_normal(&g->rng_beats);
  const double phase = breath_phase(g, r_time);
  b.amplitude = p.ecg_amplitude * (1.0 + 0.05 * std::cos(two_pi * phase) +
                                   0.02 * random_normal(&g->rng_beats));
  g->beats.push_back(b);
}

double mean_rr_at(const physio_params &p, double t) {
  return 60.0 / clamp(physio_rate_at(p.hr_schedule, p.heart_rate, t), 10.0,
                      400.0);
}

void next_beat(physio_generator *g) {
  const physio_params &p = g->params;
  const physio_beat &prev = g->beats.back();
  const double mean_rr = mean_rr_at(p, prev.r_time);
  // Shorter intervals while breathing in (respiratory sinus arrhythmia),
  // plus random variability.
  const double phase = breath_phase(g, prev.r_time);
  double rr = mean_rr * (1.0 - p.rsa * std::sin(two_pi * phase) +
                         p.hrv * random_normal(&g->rng_beats));
  rr = clamp(rr, 0.7 * mean_rr, 1.3 * mean_rr);
  add_beat(g, prev.r_time + rr, rr);
}

void ensure_ahead(physio_generator *g, double t) {
  while (g->beats.back().r_time < t + 1.5) next_beat(g);
  ensure_breaths(g, t + 1.0);
}

void emit_events(physio_generator *g, double t) {
  const physio_params &p = g->params;
  while (g->next_forced_scr < p.scr_onsets.size() &&
         p.scr_onsets[g->next_forced_scr] <= t) {
    physio_event e;
    e.onset = p.scr_onsets[g->next_forced_scr++];
    e.amplitude = p.scr_amplitude * (0.5 + random_uniform(&g->rng_scr));
    e.duration = scr_peak_time();
    g->scrs.push_back(e);
  }
  while (p.scr_rate > 0.0 && g->next_spontaneous_scr <= t) {
    physio_event e;
    e.onset = g->next_spontaneous_scr;
    e.amplitude = p.scr_amplitude * (0.5 + random_uniform(&g->rng_scr));
    e.duration = scr_peak_time();
    g->scrs.push_back(e);
    g->next_spontaneous_scr +=
        random_exponential(&g->rng_scr, 60.0 / p.scr_rate);
  }
  while (p.emg_burst_rate > 0.0 && g->next_emg_burst <= t) {
    physio_event e;
    e.onset = g->next_emg_burst;
    e.amplitude =
        p.emg_burst_amplitude * (0.6 + 0.8 * random_uniform(&g->rng_emg));
    e.duration = 0.3 + 0.7 * random_uniform(&g->rng_emg);
    g->emg_bursts.push_back(e);
    g->next_emg_burst = e.onset + e.duration +
                        random_exponential(&g->rng_emg, 60.0 / p.emg_burst_rate);
  }
}

bool is_disconnected(const physio_params &p, int signal, double t) {
  for (const auto &d : p.disconnects)
    if (d.signal == signal && t >= d.start && t < d.end) return true;
  return false;
}

}  // namespace

void physio_params_init(physio_params *p) {
  PRECONDITION(p != nullptr);
  *p = physio_params();
  p->seed = 1;
  p->heart_rate = 70.0;
  p->hrv = 0.02;
  p->rsa = 0.03;
  p->ecg_amplitude = 1000.0;
  p->ecg_noise = 10.0;
  p->ecg_wander = 50.0;
  p->ecg_mains = 5.0;
  p->pulse_lag = 0.25;
  p->pulse_lag_jitter = 0.005;
  p->bvp_level = 30.0;
  p->bvp_amplitude = 10.0;
  p->bvp_noise = 0.1;
  p->resp_rate = 15.0;
  p->resp_variability = 0.05;
  p->resp_level = 30.0;
  p->resp_amplitude = 8.0;
  p->resp_noise = 0.05;
  p->sc_level = 5.0;
  p->sc_drift = 0.3;
  p->scr_rate = 3.0;
  p->scr_amplitude = 0.3;
  p->sc_noise = 0.002;
  p->temp_level = 32.0;
  p->temp_drift = 0.2;
  p->temp_noise = 0.005;
  p->emg_level = 3.0;
  p->emg_burst_rate = 4.0;
  p->emg_burst_amplitude = 50.0;
  p->start_sec = 1767225600;  // 2026-01-01 00:00:00 UTC
  p->start_usec = 0;
}

double physio_rate_at(const std::vector<physio_rate_point> &schedule,
                      double constant, double t) {
  if (schedule.empty()) return constant;
  if (t <= schedule.front().t) return schedule.front().rate;
  if (t >= schedule.back().t) return schedule.back().rate;
  for (size_t i = 1; i < schedule.size(); i++) {
    const physio_rate_point &a = schedule[i - 1], &b = schedule[i];
    if (t <= b.t) {
      if (b.t <= a.t) return b.rate;
      return a.rate + (b.rate - a.rate) * (t - a.t) / (b.t - a.t);
    }
  }
  return schedule.back().rate;
}

void physio_generator_init(physio_generator *g, const physio_params *p) {
  PRECONDITION(g != nullptr && p != nullptr);
  PRECONDITION(p->heart_rate > 0.0 || !p->hr_schedule.empty());
  PRECONDITION(p->resp_rate > 0.0 || !p->resp_schedule.empty());
  PRECONDITION(p->start_usec >= 0 && p->start_usec < 1000000);
  *g = physio_generator();
  g->params = *p;
  std::sort(g->params.scr_onsets.begin(), g->params.scr_onsets.end());
  g->frame = 0;
  random_seed(&g->rng_beats, p->seed, 1);
  random_seed(&g->rng_breaths, p->seed, 2);
  random_seed(&g->rng_scr, p->seed, 3);
  random_seed(&g->rng_emg, p->seed, 4);
  random_seed(&g->rng_noise, p->seed, 5);
  g->wander_phase = two_pi * random_uniform(&g->rng_noise);

  // The recording starts somewhere within a breath and within a beat.
  add_breath(g);
  g->breaths[0].start = -random_uniform(&g->rng_breaths) * g->breaths[0].period;
  g->breaths[0].peak_time = g->breaths[0].start + 0.4 * g->breaths[0].period;
  const double rr0 = mean_rr_at(g->params, 0.0);
  add_beat(g, 0.15 + random_uniform(&g->rng_beats) * rr0, rr0);

  g->next_spontaneous_scr =
      p->scr_rate > 0.0 ? random_exponential(&g->rng_scr, 60.0 / p->scr_rate)
                        : HUGE_VAL;
  g->next_emg_burst =
      p->emg_burst_rate > 0.0
          ? random_exponential(&g->rng_emg, 60.0 / p->emg_burst_rate)
          : HUGE_VAL;
}

void physio_generator_free(physio_generator *g) {
  PRECONDITION(g != nullptr);
  *g = physio_generator();
}

void physio_generator_next(physio_generator *g,
                           double values[CORVIA_NUM_RAW_SIGNALS]) {
  PRECONDITION(g != nullptr && values != nullptr);
  const physio_params &p = g->params;
  const double t = (double)g->frame * frame_dt;
  ensure_ahead(g, t);
  emit_events(g, t);
  while (g->first_active_breath + 1 < g->breaths.size() &&
         breath_end(g->breaths[g->first_active_breath]) < t - 1.0)
    g->first_active_breath++;

  const physio_breath &breath = breath_at(g, t);
  const double resp_phase = clamp((t - breath.start) / breath.period, 0.0, 1.0);
  const double resp_shape = breath_shape(resp_phase);

  // Heart: ECG complexes and pulse waves of the beats near t.
  while (g->first_active_beat + 1 < g->beats.size() &&
         g->beats[g->first_active_beat].bvp_peak_time + 1.5 < t)
    g->first_active_beat++;
  double ecg = 0.0, bvp = 0.0;
  for (size_t i = g->first_active_beat; i < g->beats.size(); i++) {
    const physio_beat &b = g->beats[i];
    if (b.r_time - 1.0 > t) break;
    const double s = std::sqrt(clamp(b.rr, 0.2, 3.0));
    const double dt = t - b.r_time;
    if (dt > -0.35 && dt < 0.8) ecg += b.amplitude * ecg_complex(dt, s);
    const double dp = t - b.bvp_peak_time;
    if (dp > -0.5 && dp < 1.5) bvp += pulse_wave(dp, s);
  }
  ecg += p.ecg_wander * (0.6 * (resp_shape - 0.5) +
                         0.4 * std::sin(two_pi * 0.04 * t + g->wander_phase));
  ecg += p.ecg_mains * std::sin(two_pi * 50.0 * t + g->wander_phase);
  ecg += p.ecg_noise * random_normal(&g->rng_noise);

  // EMG: band-limited noise (about 20 to 500 Hz) whose level rises during
  // bursts.
  double emg_sd = p.emg_level;
  while (g->first_active_emg < g->emg_bursts.size() &&
         g->emg_bursts[g->first_active_emg].onset +
                 g->emg_bursts[g->first_active_emg].duration <
             t)
    g->first_active_emg++;
  for (size_t i = g->first_active_emg; i < g->emg_bursts.size(); i++) {
    const physio_event &e = g->emg_bursts[i];
    const double dt = t - e.onset;
    if (dt >= 0.0 && dt < e.duration) {
      const double env = std::sin(M_PI * dt / e.duration);
      emg_sd = std::sqrt(emg_sd * emg_sd + e.amplitude * e.amplitude * env * env);
    }
  }
  {
    const double lp = 1.0 - std::exp(-two_pi * 500.0 * frame_dt);
    const double hp = 1.0 / (1.0 + two_pi * 20.0 * frame_dt);
    const double x = emg_sd * std::sqrt((2.0 - lp) / lp) *
                     random_normal(&g->rng_noise);
    g->emg_lp_state += lp * (x - g->emg_lp_state);
    g->emg_hp_state = hp * (g->emg_hp_state + g->emg_lp_state - g->emg_hp_last);
    g->emg_hp_last = g->emg_lp_state;
  }
  const double emg = g->emg_hp_state;

  // Pulse: level, waves, a little respiratory modulation, noise.
  bvp = p.bvp_level + p.bvp_amplitude * bvp * (1.0 + 0.05 * (resp_shape - 0.5)) +
        p.bvp_noise * random_normal(&g->rng_noise);

  const double resp = p.resp_level + breath.depth * resp_shape +
                      p.resp_noise * random_normal(&g->rng_noise);

  // Skin conductance: tonic level with slow drift plus responses.
  while (g->first_active_scr < g->scrs.size() &&
         g->scrs[g->first_active_scr].onset + 40.0 < t)
    g->first_active_scr++;
  double sc = p.sc_level + p.sc_drift * std::sin(two_pi * t / 180.0 +
                                                 g->wander_phase);
  for (size_t i = g->first_active_scr; i < g->scrs.size(); i++)
    sc += g->scrs[i].amplitude * scr_wave(t - g->scrs[i].onset);
  sc += p.sc_noise * random_normal(&g->rng_noise);

  const double temp = p.temp_level +
                      p.temp_drift * std::sin(two_pi * t / 600.0 + g->wander_phase) +
                      p.temp_noise * random_normal(&g->rng_noise);

  values[PHYSIO_ECG] = ecg;
  values[PHYSIO_EMG] = emg;
  values[PHYSIO_SC] = sc;
  values[PHYSIO_TEMP] = temp;
  values[PHYSIO_BVP] = bvp;
  values[PHYSIO_RESP] = resp;
  for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; c++)
    if (is_disconnected(p, c, t)) values[c] = corvia_make_human_readable(0.0, c);
  g->frame++;
}

void physio_generator_next_frame(physio_generator *g, corvia_data *frame) {
  PRECONDITION(frame != nullptr);
  const double t = (double)g->frame * frame_dt;
  frame->time = physio_frame_time(g->params.start_sec, g->params.start_usec,
                                  g->frame);
  double values[CORVIA_NUM_RAW_SIGNALS];
  physio_generator_next(g, values);
  for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; c++)
    frame->data[c] = is_disconnected(g->params, c, t)
                         ? 0.0f
                         : (float)physio_raw_from_physical(values[c], c);
}

void physio_generator_next_device_values(
    physio_generator *g, float values[CORVIA_CAPTURE_NUM_CHANNELS]) {
  PRECONDITION(values != nullptr);
  corvia_data frame;
  physio_generator_next_frame(g, &frame);
  for (int c = 0; c < CORVIA_CAPTURE_NUM_CHANNELS; c++) values[c] = 0.0f;
  for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++) values[2 + j] = frame.data[j];
}

corvia_timeval physio_frame_time(int32_t start_sec, int32_t start_usec,
                                 int64_t k) {
  // k / 2048 s is exactly k * 15625 / 32 microseconds.
  const int64_t usec = (int64_t)start_usec + k * 15625 / 32;
  corvia_timeval tv;
  tv.tv_sec = (int32_t)(start_sec + usec / 1000000);
  tv.tv_usec = (int32_t)(usec % 1000000);
  return tv;
}

double physio_raw_from_physical(double value, int signal) {
  switch (signal) {
    case PHYSIO_SC:
    case PHYSIO_RESP:
      return -value;
    case PHYSIO_TEMP:
      return (value - 23.6745) / 0.0102712;
    default:
      return value;
  }
}

bool physio_parse_schedule(const char *text,
                           std::vector<physio_rate_point> *schedule) {
  PRECONDITION(text != nullptr && schedule != nullptr);
  std::vector<physio_rate_point> points;
  const char *s = text;
  while (*s) {
    char *end;
    physio_rate_point pt;
    pt.t = strtod(s, &end);
    if (end == s || *end != ':') return false;
    s = end + 1;
    pt.rate = strtod(s, &end);
    if (end == s || !(pt.rate > 0.0) || !std::isfinite(pt.t)) return false;
    if (!points.empty() && pt.t < points.back().t) return false;
    points.push_back(pt);
    s = end;
    if (*s == ',') {
      s++;
      if (!*s) return false;
    } else if (*s) {
      return false;
    }
  }
  if (points.empty()) return false;
  *schedule = points;
  return true;
}
