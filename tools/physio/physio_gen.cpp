// physio_gen: writes a raw recording of synthetic physiological signals to
// standard output (32-byte frames, 2048 per second), optionally with a text
// file that lists what was generated.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "corvia.h"
#include "physio.h"

namespace {

const char *const progname = "physio_gen";

const char help_text[] =
    "\nphysio_gen - write a raw recording of synthetic physiological signals "
    "(ECG, EMG, SC, Temp, BVP, Resp; 2048 frames per second) to standard "
    "output, the format capture_corvia writes and corvia_signals reads.\n"
    "usage: physio_gen [OPTIONS] > recording.raw\n"
    "\n"
    "OPTIONS:\n"
    "    --help, -h            Display this help.\n"
    "    --seconds=S, -s S     Length of the recording in seconds (default 60).\n"
    "    --frames=N, -n N      Length in frames (overrides --seconds).\n"
    "    --seed=N              Seed of all random choices (default 1).\n"
    "    --hr=BPM              Constant mean heart rate (default 70).\n"
    "    --hr-schedule=T:BPM,T:BPM,...\n"
    "                          Mean heart rate over time (linear in between).\n"
    "    --hrv=X               Random beat-to-beat variation of RR (sd, relative; default 0.02).\n"
    "    --rsa=X               Respiratory modulation of RR (relative; default 0.03).\n"
    "    --resp-rate=BPM       Breaths per minute (default 15).\n"
    "    --resp-schedule=T:BPM,...\n"
    "                          Breathing rate over time.\n"
    "    --lag=SEC             Pulse-wave peak after the R peak (default 0.25).\n"
    "    --noise=X             Scale all noise levels by X (default 1; 0 = no noise).\n"
    "    --scr-rate=N          Spontaneous skin-conductance responses per minute (default 3).\n"
    "    --scr-onsets=T,T,...  Skin-conductance responses at these times.\n"
    "    --emg-rate=N          EMG bursts per minute (default 4).\n"
    "    --disconnect=SIGNAL:START:END\n"
    "                          Raw signal SIGNAL (0-5) is exactly 0 from START to END seconds (repeatable).\n"
    "    --start=SEC           Time stamp of the first frame, seconds since 1970 with\n"
    "                          up to six decimals (default 1767225600 = 2026-01-01).\n"
    "    --truth=FILE          Write the generated beats, breaths, responses and bursts\n"
    "                          to FILE as text.\n"
    "\n";

[[noreturn]] void usage_error(const char *fmt, const char *arg) {
  fprintf(stderr, "%s error: ", progname);
  fprintf(stderr, fmt, arg);
  fprintf(stderr, " (see --help)\n");
  exit(1);
}

double parse_double(const char *option, const char *text) {
  char *end;
  errno = 0;
  const double v = strtod(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
    fprintf(stderr, "%s error: --%s: not a number: '%s'\n", progname, option,
            text);
    exit(1);
  }
  return v;
}

double parse_nonnegative(const char *option, const char *text) {
  const double v = parse_double(option, text);
  if (v < 0.0) {
    fprintf(stderr, "%s error: --%s must not be negative: '%s'\n", progname,
            option, text);
    exit(1);
  }
  return v;
}

double parse_positive(const char *option, const char *text) {
  const double v = parse_double(option, text);
  if (!(v > 0.0)) {
    fprintf(stderr, "%s error: --%s must be positive: '%s'\n", progname,
            option, text);
    exit(1);
  }
  return v;
}

long long parse_integer(const char *option, const char *text) {
  char *end;
  errno = 0;
  const long long v = strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE) {
    fprintf(stderr, "%s error: --%s: not an integer: '%s'\n", progname,
            option, text);
    exit(1);
  }
  return v;
}

// "SEC" or "SEC.FRACTION" (at most six decimals) into seconds and
// microseconds.
void parse_start(const char *text, int32_t *sec, int32_t *usec) {
  std::string s(text), whole = s, frac;
  const size_t dot = s.find('.');
  if (dot != std::string::npos) {
    whole = s.substr(0, dot);
    frac = s.substr(dot + 1);
  }
  bool ok = !whole.empty() && frac.size() <= 6;
  for (size_t i = 0; ok && i < whole.size(); i++)
    ok = (whole[i] >= '0' && whole[i] <= '9') || (i == 0 && whole[i] == '-');
  for (char c : frac) ok = ok && c >= '0' && c <= '9';
  long long w = ok ? strtoll(whole.c_str(), nullptr, 10) : 0;
  if (!ok || w < INT32_MIN || w > INT32_MAX || whole == "-")
    usage_error("--start: not a time in seconds: '%s'", text);
  while (frac.size() < 6) frac += '0';
  *sec = (int32_t)w;
  *usec = (int32_t)strtol(frac.c_str(), nullptr, 10);
}

void parse_disconnect(const char *text, physio_params *p) {
  physio_disconnect d;
  char *end;
  d.signal = (int)strtol(text, &end, 10);
  if (end == text || *end != ':' || d.signal < 0 ||
      d.signal >= CORVIA_NUM_RAW_SIGNALS)
    usage_error("--disconnect: expected SIGNAL:START:END with SIGNAL 0-5: '%s'",
                text);
  const char *s = end + 1;
  d.start = strtod(s, &end);
  if (end == s || *end != ':')
    usage_error("--disconnect: expected SIGNAL:START:END: '%s'", text);
  s = end + 1;
  d.end = strtod(s, &end);
  if (end == s || *end != '\0' || !(d.end > d.start))
    usage_error("--disconnect: expected SIGNAL:START:END with END > START: '%s'",
                text);
  p->disconnects.push_back(d);
}

void parse_onsets(const char *text, std::vector<double> *onsets) {
  std::vector<double> v;
  const char *s = text;
  while (*s) {
    char *end;
    const double t = strtod(s, &end);
    if (end == s || (*end != ',' && *end != '\0') || !std::isfinite(t))
      usage_error("--scr-onsets: expected T,T,...: '%s'", text);
    v.push_back(t);
    s = *end == ',' ? end + 1 : end;
  }
  if (v.empty()) usage_error("--scr-onsets: expected T,T,...: '%s'", text);
  *onsets = v;
}

void write_truth(FILE *f, const char *name, const physio_generator &g,
                 double seconds) {
  fprintf(f,
          "# physio_gen: events of the generated recording, times in seconds "
          "after its first frame\n"
          "# beat R_TIME RR RATE BVP_PEAK_TIME R_AMPLITUDE\n"
          "# breath START PERIOD RATE PEAK_TIME DEPTH\n"
          "# scr ONSET AMPLITUDE TIME_TO_PEAK\n"
          "# emg ONSET AMPLITUDE DURATION\n");
  for (const auto &b : g.beats)
    if (b.r_time < seconds)
      fprintf(f, "beat %.6f %.6f %.4f %.6f %.3f\n", b.r_time, b.rr, b.rate,
              b.bvp_peak_time, b.amplitude);
  for (const auto &b : g.breaths)
    if (b.start < seconds)
      fprintf(f, "breath %.6f %.6f %.4f %.6f %.4f\n", b.start, b.period,
              b.rate, b.peak_time, b.depth);
  for (const auto &e : g.scrs)
    if (e.onset < seconds)
      fprintf(f, "scr %.6f %.4f %.4f\n", e.onset, e.amplitude, e.duration);
  for (const auto &e : g.emg_bursts)
    if (e.onset < seconds)
      fprintf(f, "emg %.6f %.3f %.4f\n", e.onset, e.amplitude, e.duration);
  if (fclose(f) != 0) {
    perror(name);
    exit(1);
  }
}

}  // namespace

int main(int argc, char **argv) {
  physio_params p;
  physio_params_init(&p);
  double seconds = 60.0;
  long long frames = -1;
  double noise = 1.0;
  const char *truth_name = nullptr;

  enum {
    OPT_SEED = 256, OPT_HR, OPT_HR_SCHEDULE, OPT_HRV, OPT_RSA, OPT_RESP_RATE,
    OPT_RESP_SCHEDULE, OPT_LAG, OPT_NOISE, OPT_SCR_RATE, OPT_SCR_ONSETS,
    OPT_EMG_RATE, OPT_DISCONNECT, OPT_START, OPT_TRUTH
  };
  static const struct option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"seconds", required_argument, nullptr, 's'},
      {"frames", required_argument, nullptr, 'n'},
      {"seed", required_argument, nullptr, OPT_SEED},
      {"hr", required_argument, nullptr, OPT_HR},
      {"hr-schedule", required_argument, nullptr, OPT_HR_SCHEDULE},
      {"hrv", required_argument, nullptr, OPT_HRV},
      {"rsa", required_argument, nullptr, OPT_RSA},
      {"resp-rate", required_argument, nullptr, OPT_RESP_RATE},
      {"resp-schedule", required_argument, nullptr, OPT_RESP_SCHEDULE},
      {"lag", required_argument, nullptr, OPT_LAG},
      {"noise", required_argument, nullptr, OPT_NOISE},
      {"scr-rate", required_argument, nullptr, OPT_SCR_RATE},
      {"scr-onsets", required_argument, nullptr, OPT_SCR_ONSETS},
      {"emg-rate", required_argument, nullptr, OPT_EMG_RATE},
      {"disconnect", required_argument, nullptr, OPT_DISCONNECT},
      {"start", required_argument, nullptr, OPT_START},
      {"truth", required_argument, nullptr, OPT_TRUTH},
      {nullptr, 0, nullptr, 0}};
  for (;;) {
    int c = getopt_long(argc, argv, "hs:n:", long_options, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        fputs(help_text, stderr);
        return 0;
      case 's':
        seconds = parse_nonnegative("seconds", optarg);
        break;
      case 'n':
        frames = parse_integer("frames", optarg);
        if (frames < 0) usage_error("--frames must not be negative: '%s'", optarg);
        break;
      case OPT_SEED:
        p.seed = (uint64_t)parse_integer("seed", optarg);
        break;
      case OPT_HR:
        p.heart_rate = parse_positive("hr", optarg);
        p.hr_schedule.clear();
        break;
      case OPT_HR_SCHEDULE:
        if (!physio_parse_schedule(optarg, &p.hr_schedule))
          usage_error("--hr-schedule: expected T:BPM,T:BPM,... with ascending "
                      "times and positive rates: '%s'", optarg);
        break;
      case OPT_HRV:
        p.hrv = parse_nonnegative("hrv", optarg);
        break;
      case OPT_RSA:
        p.rsa = parse_nonnegative("rsa", optarg);
        break;
      case OPT_RESP_RATE:
        p.resp_rate = parse_positive("resp-rate", optarg);
        p.resp_schedule.clear();
        break;
      case OPT_RESP_SCHEDULE:
        if (!physio_parse_schedule(optarg, &p.resp_schedule))
          usage_error("--resp-schedule: expected T:BPM,T:BPM,... with "
                      "ascending times and positive rates: '%s'", optarg);
        break;
      case OPT_LAG:
        p.pulse_lag = parse_nonnegative("lag", optarg);
        break;
      case OPT_NOISE:
        noise = parse_nonnegative("noise", optarg);
        break;
      case OPT_SCR_RATE:
        p.scr_rate = parse_nonnegative("scr-rate", optarg);
        break;
      case OPT_SCR_ONSETS:
        parse_onsets(optarg, &p.scr_onsets);
        break;
      case OPT_EMG_RATE:
        p.emg_burst_rate = parse_nonnegative("emg-rate", optarg);
        break;
      case OPT_DISCONNECT:
        parse_disconnect(optarg, &p);
        break;
      case OPT_START:
        parse_start(optarg, &p.start_sec, &p.start_usec);
        break;
      case OPT_TRUTH:
        truth_name = optarg;
        break;
      default:  // getopt_long has said what was wrong
        return 1;
    }
  }
  if (optind < argc) usage_error("unexpected argument '%s'", argv[optind]);
  if (isatty(STDOUT_FILENO)) {
    fprintf(stderr,
            "%s error: standard output is a terminal; redirect the binary "
            "recording to a file or a pipe\n",
            progname);
    return 1;
  }
  if (frames < 0) frames = (long long)std::llround(seconds * PHYSIO_FRAMES_PER_SECOND);

  p.ecg_noise *= noise;
  p.ecg_mains *= noise;
  p.ecg_wander *= noise;
  p.bvp_noise *= noise;
  p.resp_noise *= noise;
  p.sc_noise *= noise;
  p.temp_noise *= noise;

  FILE *truth = nullptr;
  if (truth_name) {
    truth = fopen(truth_name, "wb");
    if (!truth) {
      perror(truth_name);
      return 1;
    }
  }

  physio_generator g;
  physio_generator_init(&g, &p);
  corvia_data frame;
  for (long long k = 0; k < frames; k++) {
    physio_generator_next_frame(&g, &frame);
    if (fwrite(&frame, sizeof frame, 1, stdout) != 1) {
      perror("stdout");
      return 1;
    }
  }
  if (fflush(stdout) != 0) {
    perror("stdout");
    return 1;
  }
  if (truth)
    write_truth(truth, truth_name, g,
                (double)frames / PHYSIO_FRAMES_PER_SECOND);
  physio_generator_free(&g);
  return 0;
}
