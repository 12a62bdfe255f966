// EDF+/BDF+ writer: header fields, sample packing, annotation lists (TALs)
// and their placement in the records.
#include "edf_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common.h"

namespace {

// The annotation signal's name in each format.
const char *annotation_label(bool bdf) {
  return bdf ? "BDF Annotations" : "EDF Annotations";
}

// A header field: `text` cut to `width` and padded with blanks.
void field(std::string *header, const std::string &text, size_t width) {
  std::string f = text.substr(0, width);
  f.resize(width, ' ');
  *header += f;
}

// Seconds as a TAL number: at most six decimals, trailing zeros dropped.
std::string tal_seconds(double t, bool with_sign) {
  char buf[64];
  snprintf(buf, sizeof buf, with_sign ? "%+.6f" : "%.6f", t);
  std::string s = buf;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  if (s == "-0") s = "+0";
  return s;
}

std::string time_keeping_tal(double onset) {
  return tal_seconds(onset, true) + "\x14\x14" + std::string(1, '\0');
}

std::string annotation_tal(const edf_annotation &a) {
  std::string tal = tal_seconds(a.onset, true);
  if (a.duration >= 0) tal += "\x15" + tal_seconds(a.duration, false);
  std::string text = a.text;
  // The separators of the format may not appear in a text.
  for (char &c : text)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return tal + "\x14" + text + "\x14" + std::string(1, '\0');
}

[[noreturn]] void write_failed(const edf_writer *w, const char *name) {
  if (errno == 0) errno = EIO;
  std::string prefix = std::string(w->origin) + " error: writing " + name;
  fatal_system_error(prefix.c_str());
}

int bytes_per_sample(const edf_writer *w) { return w->bdf ? 3 : 2; }

}  // namespace

std::string edf_subfield(const std::string &text) {
  if (text.empty()) return "X";
  std::string s = text;
  for (char &c : s)
    if (c == ' ') c = '_';
  return s;
}

std::string edf_number(double v) {
  char buf[64];
  for (int decimals = 7; decimals >= 0; --decimals) {
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    if (strlen(buf) <= 8) return buf;
  }
  return "";
}

void edf_writer_init(edf_writer *w, const char *origin, bool bdf,
                     double record_duration) {
  PRECONDITION(w != nullptr && origin != nullptr && record_duration > 0);
  *w = edf_writer();
  w->origin = origin;
  w->bdf = bdf;
  w->record_duration = record_duration;
  w->start_second = 0;
  w->spool = tmpfile();
  if (w->spool == nullptr) {
    std::string prefix = std::string(origin) + " error: temporary file";
    fatal_system_error(prefix.c_str());
  }
}

void edf_writer_free(edf_writer *w) {
  if (w->spool != nullptr) fclose(w->spool);
  w->spool = nullptr;
}

int edf_writer_add_signal(edf_writer *w, const char *label, const char *unit,
                          const char *transducer, double physical_min,
                          double physical_max, int samples_per_record) {
  PRECONDITION(samples_per_record > 0);
  edf_signal s;
  s.label = label;
  s.unit = unit;
  s.transducer = transducer;
  const std::string lo = edf_number(physical_min), hi = edf_number(physical_max);
  if (lo.empty() || hi.empty() || !(atof(lo.c_str()) < atof(hi.c_str())))
    fatal_error("%s error: the physical range [%g, %g] of %s cannot be "
                "stored in EDF's 8-character fields\n",
                w->origin, physical_min, physical_max, label);
  // The header's own numbers define the scaling that every reader uses.
  s.physical_min = atof(lo.c_str());
  s.physical_max = atof(hi.c_str());
  s.digital_min = w->bdf ? -8388608 : -32768;
  s.digital_max = w->bdf ? 8388607 : 32767;
  s.samples_per_record = samples_per_record;
  s.gain = (s.physical_max - s.physical_min) /
           (static_cast<double>(s.digital_max) - s.digital_min);
  s.offset = s.physical_max / s.gain - s.digital_max;
  s.clipped = 0;
  s.last = 0;
  s.first = w->record.size();
  w->signals.push_back(s);
  w->record.resize(s.first + samples_per_record, 0);
  return static_cast<int>(w->signals.size()) - 1;
}

void edf_writer_put(edf_writer *w, int s, int i, double value) {
  edf_signal &sig = w->signals[s];
  PRECONDITION(i >= 0 && i < sig.samples_per_record);
  PRECONDITION(!std::isnan(value));
  double d = std::nearbyint(value / sig.gain - sig.offset);
  if (d < sig.digital_min || d > sig.digital_max) {
    sig.clipped++;
    d = std::clamp(d, static_cast<double>(sig.digital_min),
                   static_cast<double>(sig.digital_max));
  }
  sig.last = static_cast<int32_t>(d);
  w->record[sig.first + i] = sig.last;
}

void edf_writer_pad(edf_writer *w, int s, int from) {
  const edf_signal &sig = w->signals[s];
  for (int i = std::max(from, 0); i < sig.samples_per_record; ++i)
    w->record[sig.first + i] = sig.last;
}

void edf_writer_end_record(edf_writer *w, double onset) {
  const int bps = bytes_per_sample(w);
  w->bytes.resize(w->record.size() * bps);
  unsigned char *p = w->bytes.data();
  for (int32_t v : w->record) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int b = 0; b < bps; ++b) *p++ = static_cast<unsigned char>(u >> (8 * b));
  }
  if (fwrite(w->bytes.data(), 1, w->bytes.size(), w->spool) != w->bytes.size())
    write_failed(w, "the temporary file");
  w->record_onsets.push_back(onset);
}

void edf_writer_annotate(edf_writer *w, double onset, double duration,
                         const std::string &text) {
  w->annotations.push_back(edf_annotation{onset, duration, text});
}

namespace {

// Places the annotations (sorted by onset) with `room` bytes per record.
// Returns false when they do not all fit; else fills `texts`.
bool place_annotations(const edf_writer *w, size_t room,
                       std::vector<std::string> *texts) {
  const size_t n = w->record_onsets.size();
  texts->assign(n, std::string());
  for (size_t r = 0; r < n; ++r)
    (*texts)[r] = time_keeping_tal(w->record_onsets[r]);
  size_t r = 0;
  for (const edf_annotation &a : w->annotations) {
    // The record that holds the onset (onsets only grow), or a later one.
    size_t home = std::upper_bound(w->record_onsets.begin(),
                                   w->record_onsets.end(), a.onset) -
                  w->record_onsets.begin();
    if (home > 0) --home;
    r = std::max(r, home);
    const std::string tal = annotation_tal(a);
    while (r < n && (*texts)[r].size() + tal.size() > room) ++r;
    if (r == n) return false;
    (*texts)[r] += tal;
  }
  return true;
}

}  // namespace

void edf_writer_finish(edf_writer *w, FILE *out, const char *out_name) {
  const size_t n_records = w->record_onsets.size();
  PRECONDITION(n_records > 0);
  std::stable_sort(w->annotations.begin(), w->annotations.end(),
                   [](const edf_annotation &a, const edf_annotation &b) {
                     return a.onset < b.onset;
                   });
  // Room: the longest time-keeping TAL plus the longest annotation, grown
  // until all annotations find a place.
  size_t tk = 0, longest = 0, total = 0;
  for (double onset : w->record_onsets)
    tk = std::max(tk, time_keeping_tal(onset).size());
  for (const edf_annotation &a : w->annotations) {
    longest = std::max(longest, annotation_tal(a).size());
    total += annotation_tal(a).size();
  }
  const int bps = bytes_per_sample(w);
  size_t room = std::max<size_t>(tk + longest, tk + total / n_records + 1);
  room = std::max<size_t>(room, 2 * 3 * 8);  // a little to spare
  room = (room + bps - 1) / bps * bps;
  std::vector<std::string> texts;
  while (!place_annotations(w, room, &texts))
    room = (room * 3 / 2 + bps - 1) / bps * bps;
  const int annotation_samples = static_cast<int>(room / bps);

  bool discontinuous = false;
  for (size_t r = 1; r < n_records; ++r)
    if (std::fabs(w->record_onsets[r] -
                  (w->record_onsets[0] + r * w->record_duration)) > 1e-7)
      discontinuous = true;

  // Header.
  const int ns = static_cast<int>(w->signals.size()) + 1;
  std::string h;
  if (w->bdf)
    h += "\xff" "BIOSEMI";
  else
    field(&h, "0", 8);
  field(&h, w->patient, 80);
  field(&h, w->recording, 80);
  const time_t start = static_cast<time_t>(w->start_second);
  struct tm tm;
  gmtime_r(&start, &tm);
  char buf[64];
  snprintf(buf, sizeof buf, "%02d.%02d.%02d", tm.tm_mday, tm.tm_mon + 1,
           tm.tm_year % 100);
  field(&h, buf, 8);
  snprintf(buf, sizeof buf, "%02d.%02d.%02d", tm.tm_hour, tm.tm_min,
           tm.tm_sec);
  field(&h, buf, 8);
  field(&h, std::to_string(256 * (ns + 1)), 8);
  field(&h, std::string(w->bdf ? "BDF+" : "EDF+") + (discontinuous ? "D" : "C"),
        44);
  field(&h, std::to_string(n_records), 8);
  field(&h, edf_number(w->record_duration), 8);
  field(&h, std::to_string(ns), 4);
  auto each = [&](auto get, size_t width) {
    for (const edf_signal &s : w->signals) field(&h, get(s), width);
  };
  each([](const edf_signal &s) { return s.label; }, 16);
  field(&h, annotation_label(w->bdf), 16);
  each([](const edf_signal &s) { return s.transducer; }, 80);
  field(&h, "", 80);
  each([](const edf_signal &s) { return s.unit; }, 8);
  field(&h, "", 8);
  each([](const edf_signal &s) { return edf_number(s.physical_min); }, 8);
  field(&h, "-1", 8);
  each([](const edf_signal &s) { return edf_number(s.physical_max); }, 8);
  field(&h, "1", 8);
  each([](const edf_signal &s) { return std::to_string(s.digital_min); }, 8);
  field(&h, w->bdf ? "-8388608" : "-32768", 8);
  each([](const edf_signal &s) { return std::to_string(s.digital_max); }, 8);
  field(&h, w->bdf ? "8388607" : "32767", 8);
  each([](const edf_signal &) { return std::string(); }, 80);
  field(&h, "", 80);
  each([](const edf_signal &s) { return std::to_string(s.samples_per_record); },
       8);
  field(&h, std::to_string(annotation_samples), 8);
  for (int i = 0; i < ns; ++i) field(&h, "", 32);
  PRECONDITION(h.size() == static_cast<size_t>(256 * (ns + 1)));

  errno = 0;
  if (fwrite(h.data(), 1, h.size(), out) != h.size()) write_failed(w, out_name);
  if (fflush(w->spool) != 0 || fseek(w->spool, 0, SEEK_SET) != 0)
    write_failed(w, "the temporary file");
  std::vector<unsigned char> data(w->record.size() * bps);
  std::string annotations;
  for (size_t r = 0; r < n_records; ++r) {
    if (fread(data.data(), 1, data.size(), w->spool) != data.size()) {
      if (errno == 0) errno = EIO;
      std::string prefix = std::string(w->origin) + " error: reading the temporary file";
      fatal_system_error(prefix.c_str());
    }
    annotations = texts[r];
    annotations.resize(room, '\0');
    if (fwrite(data.data(), 1, data.size(), out) != data.size() ||
        fwrite(annotations.data(), 1, room, out) != room)
      write_failed(w, out_name);
  }
  if (fflush(out) != 0) write_failed(w, out_name);
}
