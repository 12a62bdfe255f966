// corvia_signals: extracts one primary or derived signal from a raw
// recording on standard input and writes it as a one-dimensional .fv stream,
// optionally labelled from event and map files, filtered and downsampled.
// With --raw it instead cuts the raw frames of one class out of the
// recording.
#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "cmatrix.h"
#include "common.h"
#include "corvia.h"
#include "fex.h"
#include "fv.h"
#include "rel_time.h"

namespace {

const char *const kProgram = "corvia_signals";

void print_help() {
  const char *const *n = corvia_derived_signal_names;
  fprintf(stderr,
          "corvia_signals - extract a primary or derived signal from a raw "
          "corvia-recording as (possibly labelled) feature vectors.\n"
          "Per default, cable-disconnects are detected automatically and "
          "marked as NAN, and errors in heart/resp rate and peak lag detection "
          "are marked as NAN as well. The detection algorithms are reset "
          "appropriately if the sources return from a NAN section. Note that "
          "the cable-disconnect detection introduces a miniscule time lag in "
          "all signals. You can change that behaviour by option "
          "--ignore_disconnect.\n"
          "\n"
          "usage: corvia_signals [OPTIONS] < signals.corvia > out.fv\n"
          "OPTIONS:\n"
          "    --help, -h     Display this help.\n"
          "    --verbose      Display additional information during "
          "processing.\n"
          "    --flush=NUM, -H NUM\n"
          "                   Flush stdout after NUM vectors\n"
          "    --signal=NUM, --signal=NAME, -s NUM, -s NAME\n"
          "                   Put out signal with number NUM or name NAME "
          "(%s=%d, %s=%d, %s=%d, %s=%d, %s=%d, %s=%d, %s=%d, %s=%d, %s=%d, "
          "%s=%d).\n"
          "    --events=FILE, -e FILE\n"
          "                   Label feature vectors: take event time-stamps "
          "from FILE.\n"
          "    --map=FILE, -m FILE\n"
          "                   Label feature vectors: use FILE as the mapping "
          "between events and class numbers.\n"
          "    --timestamps FILE, -t FILE\n"
          "                   Put out timestamp of each sample into FILE "
          "(ascii; format <signal-time-in-sec> <clock-in-sec>)\n"
          "    --ignore_disconnect\n"
          "                   Do not detect cable-disconnects and heart/resp "
          "rate and peak lag detection errors; instead, put out the unchanged "
          "signal values. Note that you do not get the time lag any more that "
          "you would when detecting cable disconnects.\n"
          "    --repair       Use naive guess for derived signals when at "
          "artefact.\n"
          "    --no_artefacts Only put out proper (non-artefact) vectors: "
          "Ignores all vectors with class 0, decreases all class numbers by "
          "one. A new sequence is started at each transition from artefact "
          "to non-artefact.\n"
          "    --downsample=INT-FACTOR, -d INT-FACTOR\n"
          "                   Downsample by INT-FACTOR. Introduces a time lag "
          "unless you use --nolag.\n"
          "    --sharpness=FACTOR, -S FACTOR\n"
          "                   Details of downsampling: how close the passband "
          "frequency should be to the stopband frequency; use values in "
          "(0,1). Values approaching 1 need an increasing number of filter "
          "coefficients. Default: 0.75\n"
          "    --nolag\n"
          "                   Avoid time lag when downsampling.\n"
          "    --pick=N, -p N\n"
          "                   Only pick every Nth value. This is no proper "
          "downsampling and leads to aliasing artefacts; however, it is the "
          "preferred method when resampling step functions like ECG-HR\n"
          "    --raw=CLASS, -r CLASS\n"
          "                   Don't process signals, don't write feature "
          "vectors; instead, write the raw signals from all frames that have "
          "class CLASS.\n"
          "                   Needs --events and --map. The frames are "
          "written unchanged in the raw recording format (32 bytes each), so "
          "the result can be fed to corvia_signals again; with --no_artefacts "
          "CLASS is a lowered class number (map class CLASS + 1). With "
          "--timestamps, one line per frame written. Has no effect together "
          "with --signal.\n"
          "    --ecg_detector=NAME\n"
          "                   R-peak detector behind ECG-HR and ECG-BVP-Lag: "
          "ecg_hr (the default) or qrs (the streaming QRS detector, which "
          "finds more beats on arrhythmic ECG; ECG-HR is then 1.5 s late).\n",
          n[0], 0, n[1], 1, n[2], 2, n[3], 3, n[4], 4, n[5], 5, n[6], 6, n[7],
          7, n[8], 8, n[9], 9);
}

// Parses a --signal argument: a catalogue name (exact spelling) or an
// integer 0..9.
int parse_signal(const char *arg) {
  for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i)
    if (strcmp(arg, corvia_derived_signal_names[i]) == 0) return i;
  char *end = nullptr;
  errno = 0;
  long v = strtol(arg, &end, 10);
  if (end == arg || *end != '\0') {
    fprintf(stderr, "%s: option --signal: malformed signal specifier \"%s\"\n",
            kProgram, arg);
    fprintf(stderr, "%s: valid signals are", kProgram);
    for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i)
      fprintf(stderr, " %s=%d", corvia_derived_signal_names[i], i);
    fprintf(stderr, " (names are case-sensitive)\n");
    exit(1);
  }
  if (errno == ERANGE || v < 0 || v >= CORVIA_NUM_SIGNALS) {
    if (v < INT_MIN) v = INT_MIN;
    if (v > INT_MAX) v = INT_MAX;
    fprintf(stderr, "%s: signal number %d is out of range!\n", kProgram,
            static_cast<int>(v));
    exit(1);
  }
  return static_cast<int>(v);
}

struct options {
  int verbose = 0;
  int flush = 0;
  int signal = -1;
  const char *eventfile = nullptr;
  const char *mapfile = nullptr;
  const char *timestampfile = nullptr;
  int ignore_disconnect = 0;
  int repair = 0;
  int no_artefacts = 0;
  int downsample = 1;
  double sharpness = 0.75;
  int nolag = 0;
  int step = 1;
  int raw = -1;
  bool raw_given = false;
  int ecg_detector = CORVIA_ECG_DETECTOR_ECG_HR;
};

void parse_options(int argc, char **argv, options *o) {
  enum {
    OPT_VERBOSE = 1000,
    OPT_IGNORE_DISCONNECT,
    OPT_REPAIR,
    OPT_NO_ARTEFACTS,
    OPT_NOLAG,
    OPT_ECG_DETECTOR
  };
  static const struct option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"verbose", no_argument, nullptr, OPT_VERBOSE},
      {"flush", required_argument, nullptr, 'H'},
      {"signal", required_argument, nullptr, 's'},
      {"events", required_argument, nullptr, 'e'},
      {"map", required_argument, nullptr, 'm'},
      {"timestamps", required_argument, nullptr, 't'},
      {"ignore_disconnect", no_argument, nullptr, OPT_IGNORE_DISCONNECT},
      {"repair", no_argument, nullptr, OPT_REPAIR},
      {"no_artefacts", no_argument, nullptr, OPT_NO_ARTEFACTS},
      {"downsample", required_argument, nullptr, 'd'},
      {"sharpness", required_argument, nullptr, 'S'},
      {"nolag", no_argument, nullptr, OPT_NOLAG},
      {"pick", required_argument, nullptr, 'p'},
      {"raw", required_argument, nullptr, 'r'},
      {"ecg_detector", required_argument, nullptr, OPT_ECG_DETECTOR},
      {nullptr, 0, nullptr, 0}};
  for (;;) {
    int c = getopt_long(argc, argv, "hm:e:d:s:p:S:r:t:H:", long_options,
                        nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        print_help();
        exit(0);
      case OPT_VERBOSE:
        o->verbose = 1;
        break;
      case 'H':
        o->flush = atoi(optarg);
        if (o->flush < 0) {
          fprintf(stderr, "%s error: invalid flush count %d\n", kProgram,
                  o->flush);
          exit(1);
        }
        break;
      case 's':
        o->signal = parse_signal(optarg);
        fprintf(stderr, "signal %d (%s) selected\n", o->signal,
                corvia_derived_signal_names[o->signal]);
        break;
      case 'e':
        o->eventfile = optarg;
        break;
      case 'm':
        o->mapfile = optarg;
        break;
      case 't':
        o->timestampfile = optarg;
        break;
      case OPT_IGNORE_DISCONNECT:
        o->ignore_disconnect = 1;
        break;
      case OPT_REPAIR:
        o->repair = 1;
        break;
      case OPT_NO_ARTEFACTS:
        o->no_artefacts = 1;
        break;
      case 'd':
        o->downsample = atoi(optarg);
        if (o->downsample < 1) {
          fprintf(stderr, "%s error: invalid downsamplefactor %d\n", kProgram,
                  o->downsample);
          exit(1);
        }
        o->step = o->downsample;
        break;
      case 'S':
        o->sharpness = atof(optarg);
        if (!(o->sharpness > 0.0 && o->sharpness < 1.0)) {
          fprintf(stderr, "%s error: sharpness (%f) must be in (0;1)\n",
                  kProgram, o->sharpness);
          exit(1);
        }
        break;
      case OPT_NOLAG:
        o->nolag = 1;
        break;
      case 'p':
        o->step = atoi(optarg);
        if (o->step < 1) {
          fprintf(stderr, "%s error: invalid pick step %d\n", kProgram,
                  o->step);
          exit(1);
        }
        fprintf(stderr, "step = %d\n", o->step);
        break;
      case 'r':
        o->raw = atoi(optarg);
        o->raw_given = true;
        break;
      case OPT_ECG_DETECTOR:
        if (strcmp(optarg, "ecg_hr") == 0) {
          o->ecg_detector = CORVIA_ECG_DETECTOR_ECG_HR;
        } else if (strcmp(optarg, "qrs") == 0) {
          o->ecg_detector = CORVIA_ECG_DETECTOR_QRS;
        } else {
          fprintf(stderr,
                  "%s error: unknown ECG detector \"%s\" (ecg_hr or qrs)\n",
                  kProgram, optarg);
          exit(1);
        }
        break;
      default:  // getopt_long has printed its message
        exit(1);
    }
  }
  if (optind < argc) {
    fprintf(stderr,
            "%s error: unexpected argument \"%s\"; the recording is read from "
            "standard input\n",
            kProgram, argv[optind]);
    exit(1);
  }
}

// The time-stamp file: one line per vector (or frame) put out.
struct timestamp_file {
  FILE *f = nullptr;
  const char *name = nullptr;

  void open(const char *filename) {
    name = filename;
    if (filename == nullptr) return;
    f = fopen(filename, "wb");
    if (f == nullptr) fatal_system_error(filename);
  }
  void write(long frame_index, const corvia_data &frame) {
    if (f == nullptr) return;
    long double signal_time =
        static_cast<long double>(frame_index) * 0.00048828125L;
    long double clock = static_cast<long double>(frame.time.tv_sec) +
                        static_cast<long double>(frame.time.tv_usec) *
                            0.000001L;
    if (fprintf(f, "%Lf %Lf\n", signal_time, clock) < 0) fail();
  }
  void close() {
    if (f == nullptr) return;
    FILE *g = f;
    f = nullptr;
    if (fclose(g) != 0) fail();
  }
  [[noreturn]] void fail() {
    int e = errno != 0 ? errno : EIO;
    fprintf(stderr, "%s error: writing time-stamp file ", kProgram);
    errno = e;
    fatal_system_error(name);
  }
};

void write_stdout_or_die(const void *data, size_t bytes) {
  if (fwrite(data, 1, bytes, stdout) != bytes) {
    if (errno == 0) errno = EIO;
    fatal_system_error("corvia_signals: writing raw frames");
  }
}

// Storage for the values of a sequence, which may grow to hundreds of
// megabytes: large blocks are huge regions (huge_region_alloc), so that
// filling them costs a fault per 2 MiB rather than per page.
template <typename T>
struct bulk_allocator {
  using value_type = T;
  static constexpr size_t kLarge = size_t{4} << 20;
  bulk_allocator() = default;
  template <typename U>
  bulk_allocator(const bulk_allocator<U> &) {}
  T *allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kLarge) return std::allocator<T>().allocate(n);
    void *p = huge_region_alloc(bytes, false);
    if (p == nullptr) {
      // Out of memory as for `new`: the installed handler reports it.
      if (std::new_handler h = std::get_new_handler()) h();
      throw std::bad_alloc();
    }
    return static_cast<T *>(p);
  }
  void deallocate(T *p, size_t n) {
    if (n * sizeof(T) < kLarge) {
      std::allocator<T>().deallocate(p, n);
    } else {
      huge_region_free(p, n * sizeof(T));
    }
  }
  template <typename U>
  bool operator==(const bulk_allocator<U> &) const { return true; }
};
using float_store = std::vector<float, bulk_allocator<float>>;

// The vector records of a one-dimensional float sequence, as fv_write
// writes them one by one (the feature, then the class number when
// labelled, both little-endian), in large writes.
void write_records(const float_store &values,
                   const std::vector<int32_t> &classes, bool labelling) {
  const size_t n = values.size();
  if (!labelling) {
    if (n > 0 && fwrite(values.data(), sizeof(float), n, stdout) != n)
      fatal_system_error("fv_write");
    return;
  }
  constexpr size_t kChunk = 8192;  // records a write
  unsigned char buf[kChunk * 8];
  for (size_t first = 0; first < n; first += kChunk) {
    const size_t m = std::min(kChunk, n - first);
    for (size_t i = 0; i < m; ++i) {
      memcpy(buf + 8 * i, &values[first + i], 4);
      const uint32_t c = static_cast<uint32_t>(classes[first + i]);
      const unsigned char le[4] = {
          static_cast<unsigned char>(c), static_cast<unsigned char>(c >> 8),
          static_cast<unsigned char>(c >> 16), static_cast<unsigned char>(c >> 24)};
      memcpy(buf + 8 * i + 4, le, 4);
    }
    if (fwrite(buf, 8, m, stdout) != m) fatal_system_error("fv_write");
  }
}

// --raw: copies the frames of one class through unchanged.
int run_raw(const options &o, const eventmap *map, timestamp_file *ts) {
  corvia_data frame;
  long frame_index = -1;
  long written = 0;
  auto on_failure = [&]() {
    fflush(stdout);
    ts->close();
  };
  corvia_frame_reader reader(stdin);
  while (reader.next(&frame, on_failure)) {
    ++frame_index;
    int32_t c = get_classnumber_time_t(map, &frame.time);
    if (o.no_artefacts) {
      if (c == 0) continue;
      c -= 1;
    }
    if (c != o.raw) continue;
    write_stdout_or_die(&frame, sizeof frame);
    ts->write(frame_index, frame);
    ++written;
    if (o.flush > 0 && written % o.flush == 0 && fflush(stdout) != 0)
      fatal_system_error("corvia_signals: writing raw frames");
  }
  fprintf(stderr, "%s info: wrote %ld raw frames of class %d\n", kProgram,
          written, o.raw);
  if (fflush(stdout) != 0) fatal_system_error("corvia_signals: writing raw frames");
  ts->close();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  fv_exit_when_memory_runs_out("corvia_signals");
  options o;
  parse_options(argc, argv, &o);

  if (o.verbose) fprintf(stderr, "verbose flag is set");
  const bool labelling = o.eventfile != nullptr || o.mapfile != nullptr;
  if (labelling && (o.eventfile == nullptr || o.mapfile == nullptr)) {
    fprintf(stderr,
            "For labelling, you have to give both option --events and option "
            "--map!\n");
    exit(1);
  }
  if (o.no_artefacts && !labelling) {
    fprintf(stderr,
            "%s: when using option --no_artefacts, you must supply labelling "
            "information using options --events and --map!\n",
            kProgram);
    exit(1);
  }
  if (o.signal < 0 && !o.raw_given) {
    fprintf(stderr, "%s: please give option --signal or --raw!\n", kProgram);
    exit(1);
  }
  const bool raw_mode = o.signal < 0;
  if (raw_mode && !labelling) {
    fprintf(stderr,
            "%s: option --raw selects frames by class: you must supply "
            "labelling information using options --events and --map!\n",
            kProgram);
    exit(1);
  }
  if (!raw_mode && o.raw_given)
    fprintf(stderr, "%s warning: --raw has no effect together with --signal!\n",
            kProgram);

  eventmap *map = nullptr;
  if (labelling) map = eventmap_create_from_files(o.eventfile, o.mapfile);

  timestamp_file ts;
  ts.open(o.timestampfile);

  if (raw_mode) {
    int status = run_raw(o, map, &ts);
    eventmap_delete(map);
    return status;
  }

  const char *name = corvia_derived_signal_names[o.signal];
  const int labelling_code =
      labelling ? FV_LABELLING_CLASS_NUMBER : FV_LABELLING_NONE;
  fv_sequence *templ = fv_sequence_create_default(1, labelling_code, name, 0);
  fv *vec = fv_create(templ->info);
  fv_sequence *seq = fv_sequence_create_from_template(templ, name, 0);

  const int F = o.downsample;
  fir_filter_params filter;
  bool have_filter = false;
  int order = 0;
  delay_any_params class_delay;
  bool have_class_delay = false;
  int append = 0;
  if (F != 1) {
    const double R = corvia_derived_signal_sampleoftener[o.signal] * 256.0;
    const double C = 0.5 * R / F;
    const double wanted = std::trunc(2 * R / (o.sharpness * C));
    if (!(wanted <= FIR_MAX_ORDER))
      fatal_error("%s error: downsampling factor %d needs a filter of %.0f "
                  "coefficients, more than the %d that can be built\n",
                  kProgram, F, wanted, FIR_MAX_ORDER);
    order = fir_filter_params_compute_order(R, o.sharpness * C, o.verbose);
    fir_filter_params_init_lowpass(&filter, C, R, order, 1, o.verbose);
    have_filter = true;
    if (o.nolag) {
      delay_any_params_init(&class_delay, (order + 1) / 2, sizeof(int32_t));
      have_class_delay = true;
      append = (order + 1) / 2;
    }
  } else if (o.nolag) {
    fprintf(stderr,
            "%s warning: --nolag only makes sense when downsampling! I will "
            "ignore it!\n",
            kProgram);
    o.nolag = 0;
  }

  corvia_signals signals;
  corvia_signals_init_with_detector(&signals, o.ignore_disconnect, o.repair,
                                    o.ecg_detector);
  // Only the chosen signal and what it is derived from are worked out.
  corvia_signals_select(&signals, 1u << o.signal);

  // The current sequence. Its vectors are kept as the converted floats and
  // their classes (8 bytes a vector instead of one allocated vector each)
  // and written through seq's header and the vector record format when the
  // sequence is closed: the same bytes, with a fraction of the memory.
  float_store pending_values;
  std::vector<int32_t> pending_classes;
  auto pending_n = [&]() { return static_cast<int>(pending_values.size()); };
  {
    // A recording in a file tells how many vectors to expect.
    struct stat st;
    if (fstat(fileno(stdin), &st) == 0 && S_ISREG(st.st_mode)) {
      long long frames = st.st_size / static_cast<long long>(sizeof(corvia_data));
      long long expected =
          frames * corvia_derived_signal_sampleoftener[o.signal] / 8 / o.step + 1;
      if (o.flush > 0 && expected > o.flush) expected = o.flush;
      if (expected > (1LL << 28)) expected = 1LL << 28;
      pending_values.reserve(static_cast<size_t>(expected));
      if (labelling) pending_classes.reserve(static_cast<size_t>(expected));
    }
  }
  auto append_vector = [&](double value, int32_t cls) {
    if (pending_values.size() >= static_cast<size_t>(INT32_MAX))
      fatal_error("%s error: a sequence holds at most %d vectors; use "
                  "--flush\n",
                  kProgram, INT32_MAX);
    // A finite value needs no check: convert it here, without a call.
    float f = static_cast<float>(value);
    if (!std::isfinite(value)) {
      double_to_fv(templ->info, &value, vec);
      memcpy(&f, vec->data, sizeof f);
    }
    pending_values.push_back(f);
    if (labelling) pending_classes.push_back(cls);
    seq->n_expected += 1;
  };
  // Writes the current sequence (when it holds vectors) and starts a new one.
  auto write_sequence = [&]() {
    if (!pending_values.empty()) {
      seq->n_expected = pending_n();
      fv_sequence_write_header(seq, stdout);
      write_records(pending_values, pending_classes, labelling);
    }
    pending_values.clear();
    pending_classes.clear();
    seq->n_expected = 0;
  };
  // On a truncated recording: keep what has been computed.
  auto on_failure = [&]() {
    fprintf(stderr, "closing last sequence at n = %d\n", pending_n());
    write_sequence();
    fflush(stdout);
    ts.close();
  };

  corvia_data frame;
  memset(&frame, 0, sizeof frame);
  corvia_frame_reader reader(stdin);
  bool reading = true;
  bool first_value = true;
  int skipped = 0;
  int32_t previous_class = -1;
  long frame_index = -1;
  long n_out = 0;
  long frames_read = 0;

  while (reading || append > 0) {
    if (reading) {
      if (reader.next(&frame, on_failure)) {
        ++frames_read;
      } else {
        reading = false;
        // Without a frame there is nothing to repeat.
        if (append == 0 || frames_read == 0) break;
      }
    }
    ++frame_index;
    corvia_signals_process_sample(&signals, &frame);
    if (!signals.has_value[o.signal]) continue;
    double value = signals.values[o.signal];

    int32_t cls = 0;
    if (labelling) cls = get_classnumber_time_t(map, &frame.time);

    if (have_filter) {
      if (first_value) {
        first_value = false;
        const int fill = o.nolag ? order / 2 : order - 1;
        fir_filter_params_fill(&filter, value, fill);
      }
      // With --nolag nothing is put out before the class delay is filled.
      bool delayed = true;
      if (have_class_delay) {
        delay_any(&class_delay, &cls);
        delayed = delay_any_params_is_valid(&class_delay) != 0;
        if (delayed) memcpy(&cls, class_delay.value, sizeof cls);
      }
      // Only values that may be put out need the filter's output: the
      // others just move it on, so that a factor F costs one filtering per
      // F values, and the values that --nolag holds back until the class
      // delay is filled cost no filtering at all.
      if (delayed && skipped + 1 >= o.step) {
        fir_filter_params_process(&filter, value);
      } else {
        fir_filter_params_skip(&filter, value);
      }
      if (!delayed) continue;
      if (!fir_filter_params_is_valid(&filter)) {
        fprintf(stderr, "%s implementation error: value is invalid!\n",
                kProgram);
        exit(1);
      }
      value = filter.value;
    }

    if (!reading) --append;
    ++skipped;

    if (labelling) {
      if (o.no_artefacts && previous_class != 0 && cls == 0 &&
          pending_n() > 0) {
        fprintf(stderr, "closing sequence at n = %d\n", pending_n());
        write_sequence();
      }
      previous_class = cls;
    }

    if (skipped < o.step) continue;

    if (labelling && o.no_artefacts) {
      if (cls == 0) continue;
      cls -= 1;
    }

    append_vector(value, cls);
    ts.write(frame_index, frame);

    ++n_out;
    if (o.flush > 0 && n_out % o.flush == 0) {
      write_sequence();
      if (fflush(stdout) != 0) fatal_system_error("corvia_signals: stdout");
    }
    skipped = 0;
  }

  fprintf(stderr, "closing last sequence at n = %d\n", pending_n());
  fflush(stderr);
  if (pending_n() > 0) {
    write_sequence();
    fprintf(stderr, "done writing\n");
  }
  if (fflush(stdout) != 0) fatal_system_error("corvia_signals: stdout");
  ts.close();

  fv_sequence_delete(seq);
  fv_sequence_delete(templ);
  fv_delete(vec);
  if (have_filter) fir_filter_params_free(&filter);
  if (have_class_delay) delay_any_params_free(&class_delay);
  corvia_signals_free(&signals);
  eventmap_delete(map);
  return 0;
}
