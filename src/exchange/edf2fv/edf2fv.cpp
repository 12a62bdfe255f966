// edf2fv: writes chosen signals of an EDF, EDF+, BDF or BDF+ file as a .fv
// stream (one dimension per signal, all of one rate), lists the file's
// signals and annotations, and writes the annotations as an event file that
// corvia_signals --events reads. The file is read with biosig, which knows
// the many variants of the format found in the field.
#include <biosig.h>
#include <getopt.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "corvia.h"
#include "fv.h"
#include "rel_time.h"

namespace {

const char *const kProgram = "edf2fv";
// biosig's event code at each record of a discontinuous file.
constexpr uint16_t kNewSegment = 0x7ffe;

void print_help() {
  fprintf(stderr,
          "edf2fv - write signals of an EDF, EDF+, BDF or BDF+ file as a "
          "feature-vector stream, so that glide_stats, vecpick and vecshow "
          "work on recordings made elsewhere.\n"
          "Each vector holds one sample of every chosen signal, in the order "
          "chosen; the chosen signals must share one sampling rate. The "
          "stream is one sequence named after the signals (\"ECG,EMG\").\n"
          "\n"
          "usage: edf2fv [OPTIONS] FILE > out.fv\n"
          "OPTIONS:\n"
          "    --help, -h     Display this help.\n"
          "    --list, -l     List the signals (number, label, unit, rate, "
          "samples, resolution) and the annotations on standard output; write no "
          "vectors.\n"
          "    --signal=NAMES, -s NAMES\n"
          "                   The signals to write, by label or number (from "
          "0, as --list shows), separated by commas; the option may be "
          "repeated. Default: the first signal and every other signal of its "
          "rate.\n"
          "    --events=FILE, -e FILE\n"
          "                   Write the annotations to FILE as events, one "
          "line \"SECONDS NAME\" each, SECONDS since 1970 (UTC), as "
          "corvia_signals --events reads them.\n"
          "    --map=FILE, -m FILE\n"
          "                   With --events: label the vectors with class "
          "numbers from those events and the map FILE (as corvia_signals "
          "--map).\n");
}

struct options {
  bool list = false;
  std::vector<std::string> signals;
  const char *eventfile = nullptr;
  const char *mapfile = nullptr;
  const char *input = nullptr;
};

void parse_options(int argc, char **argv, options *o) {
  static const struct option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"list", no_argument, nullptr, 'l'},
      {"signal", required_argument, nullptr, 's'},
      {"events", required_argument, nullptr, 'e'},
      {"map", required_argument, nullptr, 'm'},
      {nullptr, 0, nullptr, 0}};
  for (;;) {
    int c = getopt_long(argc, argv, "hls:e:m:", long_options, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h': print_help(); exit(0);
      case 'l': o->list = true; break;
      case 's': {
        std::string all = optarg;
        size_t from = 0;
        for (;;) {
          size_t comma = all.find(',', from);
          o->signals.push_back(all.substr(from, comma - from));
          if (comma == std::string::npos) break;
          from = comma + 1;
        }
        break;
      }
      case 'e': o->eventfile = optarg; break;
      case 'm': o->mapfile = optarg; break;
      default: exit(1);  // getopt_long has printed its message
    }
  }
  if (optind < argc) o->input = argv[optind++];
  if (optind < argc)
    fatal_error("%s error: unexpected argument \"%s\"; give one file\n",
                kProgram, argv[optind]);
  if (o->input == nullptr)
    fatal_error("%s error: please give the EDF or BDF file to read (see "
                "--help)\n",
                kProgram);
  if (o->mapfile != nullptr && o->eventfile == nullptr)
    fatal_error("%s error: --map needs --events\n", kProgram);
}

// The data signals of the file: biosig's channels without the annotation
// signal, which it keeps as a channel that is switched off.
struct file_signal {
  int channel;  // biosig's channel number
  std::string label;
  std::string unit;
  double rate;
  size_t samples;
  double step;  // physical units per digital step
};

// An annotation: onset in seconds after the header's start second.
struct annotation {
  double onset;
  double duration;
  std::string text;
};

struct edf_file {
  HDRTYPE *hdr;
  std::vector<file_signal> signals;
  std::vector<annotation> annotations;
  long double start;  // the header's start second, seconds since 1970
  long double t0;     // the first sample's time, seconds since 1970
  bool discontinuous = false;
};

HDRTYPE *open_biosig(const char *name) {
  // A clear message for files that are not there or not readable.
  FILE *probe = fopen(name, "rb");
  if (probe == nullptr) fatal_system_error(name);
  fclose(probe);
  HDRTYPE *h = sopen(name, "r", nullptr);
  if (h == nullptr || serror2(h)) {
    const char *why = h ? biosig_get_errormsg(h) : nullptr;
    fatal_error("%s error: biosig cannot read %s%s%s\n", kProgram, name,
                why ? ": " : "", why ? why : "");
  }
  const int t = biosig_get_filetype(h);
  if (t != EDF && t != BDF)
    fatal_error("%s error: %s is no EDF or BDF file (biosig reads it as "
                "%s)\n",
                kProgram, name, GetFileTypeString(biosig_get_filetype(h)));
  return h;
}

void close_biosig(HDRTYPE *h) {
  sclose(h);
  destructHDR(h);
}

void open_file(const char *name, edf_file *f) {
  HDRTYPE *h = open_biosig(name);
  f->hdr = h;
  for (int k = 0; k < h->NS; ++k) {
    const CHANNEL_TYPE *c = &h->CHANNEL[k];
    if (!c->OnOff) continue;  // the annotation signal
    file_signal s;
    s.channel = k;
    s.label = c->Label;
    s.unit = PhysDim3(c->PhysDimCode) ? PhysDim3(c->PhysDimCode) : "";
    s.rate = h->SampleRate * c->SPR / h->SPR;
    s.samples = static_cast<size_t>(h->NRec) * c->SPR;
    s.step = c->Cal;
    f->signals.push_back(s);
  }
  // EDF+ places the start second in the header and the fraction in the
  // first record's onset; biosig's start time holds both, its event
  // positions count from the whole second.
  const double t0 = gdf_time2t_time(biosig_get_startdatetime_gdf(h));
  f->t0 = t0;
  f->start = std::floor(t0 + 1e-4);

  // biosig 3.0 may crash reading samples from a handle whose event table
  // has been walked: the annotations come from a handle of their own.
  HDRTYPE *e = open_biosig(name);
  const double fs = biosig_get_eventtable_samplerate(e);
  for (size_t i = 0; i < biosig_get_number_of_events(e); ++i) {
    uint16_t typ = 0;
    uint32_t pos = 0, dur = 0;
    const char *desc = nullptr;
    biosig_get_nth_event(e, i, &typ, &pos, nullptr, &dur, nullptr, &desc);
    if (typ == kNewSegment) {
      if (!f->discontinuous)
        fprintf(stderr,
                "%s warning: %s is discontinuous (EDF+D); biosig reads its "
                "records as one continuous stretch, so times after the "
                "first gap come early\n",
                kProgram, name);
      f->discontinuous = true;
      continue;
    }
    annotation a;
    a.onset = pos / fs;
    a.duration = dur / fs;
    if (desc != nullptr) {
      a.text = desc;
    } else {
      char buf[32];
      snprintf(buf, sizeof buf, "event 0x%04x", typ);
      a.text = buf;
    }
    f->annotations.push_back(a);
  }
  close_biosig(e);
}

void list_file(const edf_file &f) {
  printf("signals:\n");
  for (size_t i = 0; i < f.signals.size(); ++i) {
    const file_signal &s = f.signals[i];
    printf("%zu\t%s\t%s\t%g Hz\t%zu samples\t%g per step\n", i,
           s.label.c_str(), s.unit.c_str(), s.rate, s.samples, s.step);
  }
  printf("annotations (seconds after %.0Lf):\n", f.start);
  for (const annotation &a : f.annotations)
    printf("%.6f\t%.6f\t%s\n", a.onset, a.duration, a.text.c_str());
}

void write_events(const edf_file &f, const char *name) {
  FILE *out = fopen(name, "wb");
  if (out == nullptr) fatal_system_error(name);
  for (const annotation &a : f.annotations) {
    // An event name runs to the line end and cannot be empty.
    std::string text = a.text.empty() ? "(empty)" : a.text;
    for (char &c : text)
      if (c == '\n' || c == '\r') c = ' ';
    if (fprintf(out, "%.6Lf %s\n", f.start + a.onset, text.c_str()) < 0)
      fatal_system_error(name);
  }
  if (fclose(out) != 0) fatal_system_error(name);
}

// The chosen signals' indices into f.signals.
std::vector<size_t> choose(const edf_file &f, const options &o) {
  std::vector<size_t> chosen;
  if (f.signals.empty())
    fatal_error("%s error: %s holds no signals\n", kProgram, o.input);
  if (o.signals.empty()) {
    for (size_t i = 0; i < f.signals.size(); ++i)
      if (f.signals[i].rate == f.signals[0].rate) chosen.push_back(i);
    return chosen;
  }
  for (const std::string &name : o.signals) {
    size_t found = f.signals.size();
    for (size_t i = 0; i < f.signals.size() && found == f.signals.size(); ++i)
      if (f.signals[i].label == name) found = i;
    if (found == f.signals.size()) {
      char *end = nullptr;
      long v = strtol(name.c_str(), &end, 10);
      if (end != name.c_str() && *end == '\0' && v >= 0 &&
          static_cast<size_t>(v) < f.signals.size())
        found = static_cast<size_t>(v);
    }
    if (found == f.signals.size())
      fatal_error("%s error: %s has no signal \"%s\" (see --list)\n", kProgram,
                  o.input, name.c_str());
    if (f.signals[found].rate != f.signals[chosen.empty() ? found : chosen[0]].rate)
      fatal_error("%s error: signal %s has %g Hz, but %s has %g Hz; choose "
                  "signals of one rate at a time\n",
                  kProgram, f.signals[found].label.c_str(),
                  f.signals[found].rate, f.signals[chosen[0]].label.c_str(),
                  f.signals[chosen[0]].rate);
    chosen.push_back(found);
  }
  return chosen;
}

}  // namespace

int main(int argc, char **argv) {
  fv_exit_when_memory_runs_out(kProgram);
  options o;
  parse_options(argc, argv, &o);
  edf_file f;
  open_file(o.input, &f);
  if (o.list) {
    list_file(f);
    if (fflush(stdout) != 0) fatal_system_error("edf2fv: standard output");
  }
  if (o.eventfile != nullptr) write_events(f, o.eventfile);
  if (o.list) {
    close_biosig(f.hdr);
    return 0;
  }
  const std::vector<size_t> chosen = choose(f, o);
  eventmap *map = nullptr;
  if (o.mapfile != nullptr) map = eventmap_create_from_files(o.eventfile, o.mapfile);

  std::string name;
  for (size_t i : chosen) name += (name.empty() ? "" : ",") + f.signals[i].label;
  const file_signal &first = f.signals[chosen[0]];
  const int dim = static_cast<int>(chosen.size());
  fv_sequence *seq = fv_sequence_create_default(
      dim, map ? FV_LABELLING_CLASS_NUMBER : FV_LABELLING_NONE, name.c_str(),
      0);

  // biosig 3.0 returns wrong samples when a file is read in pieces, so the
  // chosen signals are read in one go (the others switched off). biosig
  // returns every signal at the file's highest rate, lower rates repeated,
  // one column per signal.
  HDRTYPE *h = f.hdr;
  std::vector<char> on(h->NS, 0);
  for (int d = 0; d < dim; ++d) on[f.signals[chosen[d]].channel] = 1;
  for (int k = 0; k < h->NS; ++k) h->CHANNEL[k].OnOff = on[k];
  const size_t announced = static_cast<size_t>(h->NRec);
  const size_t n_records = announced > 0 ? sread(nullptr, 0, announced, h) : 0;
  const size_t per_record = h->CHANNEL[first.channel].SPR;
  const size_t samples = n_records * per_record;
  const size_t rows = h->data.size[0];
  const size_t stride = h->SPR / per_record;
  const double *block = h->data.block;
  std::vector<size_t> column(dim);
  for (int d = 0; d < dim; ++d)
    for (int k = 0; k < f.signals[chosen[d]].channel; ++k)
      if (on[k]) ++column[d];

  if (samples > static_cast<size_t>(INT32_MAX))
    fatal_error("%s error: %s has more samples than a sequence holds\n",
                kProgram, o.input);
  seq->n_expected = static_cast<int32_t>(samples);
  fv *vec = fv_create(seq->info);
  if (samples > 0) fv_sequence_write_header(seq, stdout);
  std::vector<double> v(dim);
  size_t written = 0;
  for (size_t i = 0; i < samples; ++i) {
    for (int d = 0; d < dim; ++d) v[d] = block[column[d] * rows + i * stride];
    double_to_fv(seq->info, v.data(), vec);
    if (map != nullptr) {
      const long double t =
          f.t0 + static_cast<long double>(i) / first.rate;
      fv_class(vec, get_classnumber(map, long_double_to_rel_time(t)));
    }
    fv_write(seq->info, vec, stdout);
    ++written;
  }
  if (fflush(stdout) != 0) fatal_system_error("edf2fv: standard output");
  fprintf(stderr, "%s info: wrote %zu vectors of %s at %g Hz\n", kProgram,
          written, name.c_str(), first.rate);
  fv_delete(vec);
  fv_sequence_delete(seq);
  eventmap_delete(map);
  close_biosig(h);
  if (n_records < announced)
    fatal_error("%s error: %s holds only %zu of the %zu records its header "
                "announces; the vectors of those are written\n",
                kProgram, o.input, n_records, announced);
  return 0;
}
