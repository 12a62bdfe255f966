// corvia_edf: writes a raw recording as an EDF+ file (16-bit samples) or,
// with --bdf, a BDF+ file (24-bit samples): the six primary signals, with
// --derived the four derived ones, the experiment's events and the cable
// disconnects as annotations. A gap in the capture times ends the export
// with an error (what comes before it is written), or with --discontinuous
// starts a new segment of an EDF+D file.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common.h"
#include "corvia.h"
#include "edf_writer.h"
#include "rel_time.h"

namespace {

const char *const kProgram = "corvia_edf";

// 256 frames a record: 32 samples of the 256-Hz signals.
constexpr int kFramesPerRecord = 256;
constexpr double kRecordDuration = 0.125;
// The slow and derived signals are taken from every eighth frame.
constexpr int kSlowStep = 8;

// What a signal becomes in the file: its unit and the physical range for
// EDF (16-bit) and BDF (24-bit). ECG and EMG cover the amplifier's 24-bit
// range at its 0.0715 microvolts per count in BDF, so one digital step is
// one count there.
struct signal_format {
  const char *unit;
  double edf_min, edf_max;
  double bdf_min, bdf_max;
  const char *transducer;
};

const signal_format kFormats[CORVIA_NUM_SIGNALS] = {
    {"uV", -10000, 10000, -8388608 * 0.0715, 8388607 * 0.0715,
     "Corvia-10 channel C"},
    {"uV", -10000, 10000, -8388608 * 0.0715, 8388607 * 0.0715,
     "Corvia-10 channel D"},
    {"uS", 0, 100, 0, 100, "Corvia-10 channel E"},
    {"degC", 0, 50, 0, 50, "Corvia-10 channel F"},
    {"", -1000, 1000, -1000, 1000, "Corvia-10 channel G"},
    {"", -1000, 1000, -1000, 1000, "Corvia-10 channel H"},
    {"bpm", 0, 400, 0, 400, "from ECG"},
    {"bpm", 0, 400, 0, 400, "from BVP"},
    {"s", -2, 2, -2, 2, "ECG to BVP peak, minus 0.3 s"},
    {"/min", 0, 120, 0, 120, "from Resp"},
};

void print_help() {
  fprintf(stderr,
          "corvia_edf - write a raw corvia-recording as an EDF+ file (or a "
          "BDF+ file) that EDFbrowser, MNE-Python, EEGLAB and biosig read.\n"
          "The six primary signals (ECG, EMG 2048 Hz; SC, Temp, BVP, Resp 256 "
          "Hz) go in physical units, with the values corvia_signals puts out "
          "(NaN stretches, such as cable disconnects and the first second, "
          "are written as the value nearest 0 and listed as annotations "
          "\"NAME disconnected\" or \"NAME invalid\"). The start time is the "
          "first frame's capture time (UTC). Records last 0.125 s; the last "
          "one is padded with the last values and annotated \"padding\".\n"
          "A jump in the capture times of more than --gap seconds means lost "
          "frames, which EDF+C cannot show: the part before it is written and "
          "the program fails, unless --discontinuous is given.\n"
          "\n"
          "usage: corvia_edf [OPTIONS] [RECORDING] > out.edf\n"
          "       corvia_edf [OPTIONS] --output=out.edf < RECORDING\n"
          "OPTIONS:\n"
          "    --help, -h     Display this help.\n"
          "    --output=FILE, -o FILE\n"
          "                   Write FILE instead of standard output.\n"
          "    --bdf          Write BDF+ (24-bit samples) instead of EDF+ "
          "(16-bit).\n"
          "    --derived      Add ECG-HR, BVP-HR, ECG-BVP-Lag and Resp-rate "
          "at 256 Hz.\n"
          "    --events=FILE, -e FILE\n"
          "                   Annotate the events of FILE (as corvia_signals "
          "--events reads it) by their names.\n"
          "    --map=FILE, -m FILE\n"
          "                   With --events: annotate the class starts of the "
          "map FILE as \"class N\".\n"
          "    --ignore_disconnect\n"
          "                   Write the signals as recorded: no disconnect "
          "detection, no lag (as corvia_signals --ignore_disconnect).\n"
          "    --range=NAME:MIN:MAX\n"
          "                   Physical range of signal NAME (defaults: ECG, "
          "EMG -10000:10000 uV in EDF and the amplifier's 24-bit range in "
          "BDF; SC 0:100 uS; Temp 0:50 degC; BVP, Resp -1000:1000; heart "
          "rates 0:400 bpm; lag -2:2 s; Resp-rate 0:120 /min). Values outside "
          "are clipped, with a warning.\n"
          "    --gap=SECONDS  Largest jump in capture time still taken as "
          "continuous (default 0.5).\n"
          "    --discontinuous\n"
          "                   At a larger jump start a new segment of an EDF+D "
          "file, with its record onsets from the capture times; the signal "
          "processing starts anew there. EDFbrowser honours the onsets; MNE "
          "and biosig read such a file as if it were continuous.\n"
          "    --patient-code=TEXT, --sex=M|F|X, --birthdate=YYYY-MM-DD, "
          "--patient-name=TEXT\n"
          "                   The EDF+ patient field (blanks become '_').\n"
          "    --admincode=TEXT, --technician=TEXT, --equipment=TEXT\n"
          "                   The EDF+ recording field (equipment defaults "
          "to Corvia-10).\n");
}

struct options {
  const char *output = nullptr;
  const char *input = nullptr;
  bool bdf = false;
  bool derived = false;
  const char *eventfile = nullptr;
  const char *mapfile = nullptr;
  int ignore_disconnect = 0;
  double gap = 0.5;
  bool discontinuous = false;
  double range_min[CORVIA_NUM_SIGNALS];
  double range_max[CORVIA_NUM_SIGNALS];
  bool range_given[CORVIA_NUM_SIGNALS] = {};
  std::string patient_code, sex, birthdate, patient_name;
  std::string admincode, technician, equipment = "Corvia-10";
};

[[noreturn]] void usage_error(const char *format, const char *arg) {
  fprintf(stderr, "%s error: ", kProgram);
  fprintf(stderr, format, arg);
  fprintf(stderr, "\n");
  exit(1);
}

void parse_range(const char *arg, options *o) {
  const char *colon = strchr(arg, ':');
  if (colon != nullptr) {
    std::string name(arg, colon - arg);
    char *end = nullptr;
    double lo = strtod(colon + 1, &end);
    if (end != colon + 1 && *end == ':') {
      char *end2 = nullptr;
      double hi = strtod(end + 1, &end2);
      if (end2 != end + 1 && *end2 == '\0' && lo < hi) {
        for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i)
          if (name == corvia_derived_signal_names[i]) {
            o->range_min[i] = lo;
            o->range_max[i] = hi;
            o->range_given[i] = true;
            return;
          }
      }
    }
  }
  usage_error("malformed --range \"%s\": use NAME:MIN:MAX with MIN < MAX "
              "and a signal name such as ECG",
              arg);
}

void parse_options(int argc, char **argv, options *o) {
  enum {
    OPT_BDF = 1000, OPT_DERIVED, OPT_IGNORE, OPT_RANGE, OPT_GAP, OPT_CODE,
    OPT_SEX, OPT_BIRTH, OPT_NAME, OPT_ADMIN, OPT_TECH, OPT_EQUIP, OPT_DISC
  };
  static const struct option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"output", required_argument, nullptr, 'o'},
      {"bdf", no_argument, nullptr, OPT_BDF},
      {"derived", no_argument, nullptr, OPT_DERIVED},
      {"events", required_argument, nullptr, 'e'},
      {"map", required_argument, nullptr, 'm'},
      {"ignore_disconnect", no_argument, nullptr, OPT_IGNORE},
      {"range", required_argument, nullptr, OPT_RANGE},
      {"gap", required_argument, nullptr, OPT_GAP},
      {"discontinuous", no_argument, nullptr, OPT_DISC},
      {"patient-code", required_argument, nullptr, OPT_CODE},
      {"sex", required_argument, nullptr, OPT_SEX},
      {"birthdate", required_argument, nullptr, OPT_BIRTH},
      {"patient-name", required_argument, nullptr, OPT_NAME},
      {"admincode", required_argument, nullptr, OPT_ADMIN},
      {"technician", required_argument, nullptr, OPT_TECH},
      {"equipment", required_argument, nullptr, OPT_EQUIP},
      {nullptr, 0, nullptr, 0}};
  for (;;) {
    int c = getopt_long(argc, argv, "ho:e:m:", long_options, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h': print_help(); exit(0);
      case 'o': o->output = optarg; break;
      case OPT_BDF: o->bdf = true; break;
      case OPT_DERIVED: o->derived = true; break;
      case 'e': o->eventfile = optarg; break;
      case 'm': o->mapfile = optarg; break;
      case OPT_IGNORE: o->ignore_disconnect = 1; break;
      case OPT_RANGE: parse_range(optarg, o); break;
      case OPT_GAP: {
        char *end = nullptr;
        o->gap = strtod(optarg, &end);
        if (end == optarg || *end != '\0' || !(o->gap >= kRecordDuration))
          usage_error("--gap=%s must be a number of seconds of at least 0.125 "
                      "(one record)",
                      optarg);
        break;
      }
      case OPT_DISC: o->discontinuous = true; break;
      case OPT_CODE: o->patient_code = optarg; break;
      case OPT_SEX:
        if (strcmp(optarg, "M") != 0 && strcmp(optarg, "F") != 0 &&
            strcmp(optarg, "X") != 0)
          usage_error("--sex=%s must be M, F or X", optarg);
        o->sex = optarg;
        break;
      case OPT_BIRTH: o->birthdate = optarg; break;
      case OPT_NAME: o->patient_name = optarg; break;
      case OPT_ADMIN: o->admincode = optarg; break;
      case OPT_TECH: o->technician = optarg; break;
      case OPT_EQUIP: o->equipment = optarg; break;
      default: exit(1);  // getopt_long has printed its message
    }
  }
  if (optind < argc) o->input = argv[optind++];
  if (optind < argc) usage_error("unexpected argument \"%s\"", argv[optind]);
  if (o->mapfile != nullptr && o->eventfile == nullptr)
    usage_error("%s", "--map needs --events");
}

// "dd-MMM-yyyy", the EDF+ date form.
std::string edf_date(int day, int month, int year) {
  static const char *const months[] = {"JAN", "FEB", "MAR", "APR",
                                       "MAY", "JUN", "JUL", "AUG",
                                       "SEP", "OCT", "NOV", "DEC"};
  char buf[32];
  snprintf(buf, sizeof buf, "%02d-%s-%04d", day, months[month - 1], year);
  return buf;
}

std::string birthdate_subfield(const std::string &text) {
  if (text.empty()) return "X";
  int y = 0, m = 0, d = 0;
  char extra = 0;
  if (sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) != 3 ||
      m < 1 || m > 12 || d < 1 || d > 31 || y < 1800)
    usage_error("--birthdate=%s must be a date YYYY-MM-DD", text.c_str());
  return edf_date(d, m, y);
}

// Checks a header field against EDF's rules: at most 80 printable ASCII
// characters.
void check_field(const char *what, const std::string &text) {
  for (unsigned char c : text)
    if (c < 32 || c > 126)
      fatal_error("%s error: the %s field \"%s\" holds characters that are "
                  "not printable ASCII, which EDF does not allow\n",
                  kProgram, what, text.c_str());
  if (text.size() > 80)
    fatal_error("%s error: the %s field \"%s\" is longer than EDF's 80 "
                "characters\n",
                kProgram, what, text.c_str());
}

// One signal of the file and the NaN stretch it may be in.
struct out_signal {
  int signal;   // catalogue number
  int step;     // frames per sample: 1 or 8
  int index;    // in the writer
  bool in_nan;
  double nan_start;
};

struct exporter {
  options o;
  edf_writer w;
  std::vector<out_signal> out;
  corvia_signals signals;
  bool have_signals = false;
  long frames = 0;            // frames read
  long seg_frames = 0;        // frames of the current segment
  double seg_onset = 0;       // onset of the current segment
  double next_free = 0;       // end of the last record written
  corvia_timeval last_time{};

  // Onset of frame `frame_in_segment` of the current segment.
  double frame_time(long frame_in_segment) const {
    return seg_onset + static_cast<double>(frame_in_segment) /
                           CORVIA_FRAMES_PER_SECOND;
  }

  void annotate_nan(out_signal *s, double end) {
    const char *name = corvia_derived_signal_names[s->signal];
    std::string text = std::string(name) +
                       (s->signal < CORVIA_NUM_RAW_SIGNALS ? " disconnected"
                                                           : " invalid");
    edf_writer_annotate(&w, s->nan_start, end - s->nan_start, text);
    s->in_nan = false;
  }

  // Ends the current segment: pads and writes its last record, closes its
  // NaN stretches.
  void end_segment() {
    if (seg_frames == 0) return;
    const double end = frame_time(seg_frames);
    for (out_signal &s : out)
      if (s.in_nan) annotate_nan(&s, end);
    const int in_record = static_cast<int>(seg_frames % kFramesPerRecord);
    if (in_record != 0) {
      for (out_signal &s : out)
        edf_writer_pad(&w, s.index, (in_record + s.step - 1) / s.step);
      const double onset =
          seg_onset + (seg_frames / kFramesPerRecord) * kRecordDuration;
      edf_writer_end_record(&w, onset);
      edf_writer_annotate(&w, end, onset + kRecordDuration - end, "padding");
    }
    next_free = w.record_onsets.back() + kRecordDuration;
    seg_frames = 0;
  }

  void start_segment(const corvia_data &frame) {
    if (have_signals) corvia_signals_free(&signals);
    corvia_signals_init(&signals, o.ignore_disconnect, 0);
    have_signals = true;
    double onset = static_cast<double>(frame.time.tv_sec - w.start_second) +
                   frame.time.tv_usec / 1e6;
    // The capture clock may run behind the frame count; records never
    // overlap.
    if (frames > 0 && onset < next_free) onset = next_free;
    seg_onset = onset;
  }

  // Returns false at a gap that ends the export.
  bool process(const corvia_data &frame) {
    if (frames == 0) {
      // The whole second of the first frame (its fields are not checked).
      w.start_second = static_cast<int64_t>(
          std::floor(frame.time.tv_sec + frame.time.tv_usec / 1e6));
      start_segment(frame);
    } else {
      const double dt =
          static_cast<double>(frame.time.tv_sec - last_time.tv_sec) +
          (frame.time.tv_usec - last_time.tv_usec) / 1e6;
      if (dt > o.gap) {
        if (!o.discontinuous) {
          fprintf(stderr,
                  "%s error: the capture times jump by %.6f s before frame "
                  "%ld: frames are missing there, which EDF+C cannot show. "
                  "The %ld frames before the gap are written; give "
                  "--discontinuous to write the whole recording as EDF+D\n",
                  kProgram, dt, frames, frames);
          return false;
        }
        fprintf(stderr,
                "%s info: a gap of %.6f s in the capture times before frame "
                "%ld; a new segment begins (EDF+D)\n",
                kProgram, dt, frames);
        end_segment();
        start_segment(frame);
      }
    }
    last_time = frame.time;
    corvia_signals_process_sample(&signals, &frame);
    const long j = seg_frames;
    const int in_record = static_cast<int>(j % kFramesPerRecord);
    for (out_signal &s : out) {
      if (j % s.step != 0) continue;
      double v = signals.values[s.signal];
      if (std::isnan(v)) {
        if (!s.in_nan) {
          s.in_nan = true;
          s.nan_start = frame_time(j);
        }
        v = 0.0;
      } else if (s.in_nan) {
        annotate_nan(&s, frame_time(j));
      }
      edf_writer_put(&w, s.index, in_record / s.step, v);
    }
    ++frames;
    ++seg_frames;
    if (seg_frames % kFramesPerRecord == 0)
      edf_writer_end_record(
          &w, seg_onset + (seg_frames / kFramesPerRecord - 1) * kRecordDuration);
    return true;
  }
};

// The experiment's events by name and, with a map, its class starts.
void add_event_annotations(exporter *x, const event_list *events,
                           const eventmap *map) {
  if (events == nullptr) return;
  const long double start = static_cast<long double>(x->w.start_second);
  for (int i = 0; i < events->n; ++i)
    edf_writer_annotate(
        &x->w,
        static_cast<double>(rel_time_to_long_double(events->events[i].time) -
                            start),
        -1, events->events[i].classname);
  if (map == nullptr) return;
  edf_writer_annotate(&x->w, x->w.record_onsets.front(), -1,
                      "class " + std::to_string(map->start_classnumber));
  for (int i = 0; i < map->n; ++i) {
    const long double t = map->mappers[i]->time.value;
    // Entries at times of 0 or below never apply; of entries with equal
    // times the first one does.
    bool shadowed = t <= 0;
    for (int k = 0; k < i && !shadowed; ++k)
      shadowed = map->mappers[k]->time.value == t;
    if (shadowed) continue;
    edf_writer_annotate(&x->w, static_cast<double>(t - start), -1,
                        "class " + std::to_string(map->mappers[i]->classnumber));
  }
}

}  // namespace

int main(int argc, char **argv) {
  exporter x;
  options &o = x.o;
  parse_options(argc, argv, &o);

  std::string patient = edf_subfield(o.patient_code) + " " +
                        edf_subfield(o.sex) + " " +
                        birthdate_subfield(o.birthdate) + " " +
                        edf_subfield(o.patient_name);
  check_field("patient", patient);
  const std::string recording_tail = " " + edf_subfield(o.admincode) + " " +
                                     edf_subfield(o.technician) + " " +
                                     edf_subfield(o.equipment);
  // The start date is not known yet; its text has always the same length.
  check_field("recording", "Startdate 01-JAN-2000" + recording_tail);
  // The event and map files are read before the recording, so that their
  // faults show at once.
  event_list events{};
  eventmap *map = nullptr;
  if (o.eventfile != nullptr) {
    event_list_init_from_file(&events, o.eventfile);
    if (o.mapfile != nullptr)
      map = eventmap_create_from_files(o.eventfile, o.mapfile);
  }

  edf_writer_init(&x.w, kProgram, o.bdf, kRecordDuration);
  const int n_signals = o.derived ? CORVIA_NUM_SIGNALS : CORVIA_NUM_RAW_SIGNALS;
  for (int i = 0; i < n_signals; ++i) {
    const signal_format &f = kFormats[i];
    const int step = corvia_derived_signal_sampleoftener[i] == 8 && i < 6
                         ? 1
                         : kSlowStep;
    double lo = o.bdf ? f.bdf_min : f.edf_min, hi = o.bdf ? f.bdf_max : f.edf_max;
    if (o.range_given[i]) {
      lo = o.range_min[i];
      hi = o.range_max[i];
    }
    int index = edf_writer_add_signal(&x.w, corvia_derived_signal_names[i],
                                      f.unit, f.transducer, lo, hi,
                                      kFramesPerRecord / step);
    x.out.push_back(out_signal{i, step, index, false, 0});
  }

  FILE *in = stdin;
  if (o.input != nullptr) {
    in = fopen(o.input, "rb");
    if (in == nullptr) fatal_system_error(o.input);
  }
  FILE *out = stdout;
  const char *out_name = "standard output";
  if (o.output != nullptr) {
    out = fopen(o.output, "wb");
    if (out == nullptr) fatal_system_error(o.output);
    out_name = o.output;
  } else if (isatty(fileno(stdout))) {
    fatal_error("%s error: standard output is a terminal; redirect it to a "
                "file or give --output\n",
                kProgram);
  }

  // Writes what is whole; used at the end and before a fault in the input.
  auto finish = [&]() {
    x.end_segment();
    if (x.frames == 0) {
      if (o.output != nullptr) {
        fclose(out);
        remove(o.output);
      }
      return false;
    }
    const time_t start = static_cast<time_t>(x.w.start_second);
    struct tm tm;
    gmtime_r(&start, &tm);
    x.w.patient = patient;
    x.w.recording = "Startdate " +
                    edf_date(tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900) +
                    recording_tail;
    add_event_annotations(&x, o.eventfile ? &events : nullptr, map);
    edf_writer_finish(&x.w, out, out_name);
    if (out != stdout && fclose(out) != 0) {
      std::string prefix = std::string(kProgram) + " error: writing " + out_name;
      fatal_system_error(prefix.c_str());
    }
    for (const edf_signal &s : x.w.signals)
      if (s.clipped > 0)
        fprintf(stderr,
                "%s warning: %ld samples of %s lay outside its physical range "
                "[%g, %g] and were clipped; widen it with --range=%s:MIN:MAX "
                "or use --bdf\n",
                kProgram, s.clipped, s.label.c_str(), s.physical_min,
                s.physical_max, s.label.c_str());
    fprintf(stderr, "%s info: wrote %ld frames in %zu records\n", kProgram,
            x.frames, x.w.record_onsets.size());
    return true;
  };

  corvia_data frame;
  corvia_frame_reader reader(in);
  while (reader.next(&frame, [&]() {
    if (x.frames > 0)
      fprintf(stderr, "%s: the recording is cut short; writing the %ld whole "
              "frames before the fault\n", kProgram, x.frames);
    finish();
  }))
    if (!x.process(frame)) {
      finish();
      exit(1);
    }

  const bool wrote = finish();
  if (x.have_signals) corvia_signals_free(&x.signals);
  edf_writer_free(&x.w);
  event_list_free(&events);
  eventmap_delete(map);
  if (!wrote)
    fatal_error("%s error: the recording holds no frames; nothing written\n",
                kProgram);
  return 0;
}
