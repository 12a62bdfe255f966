// A small writer of EDF+ and BDF+ files (16-bit or 24-bit samples) with an
// annotation signal, continuous (EDF+C) or with record onsets (EDF+D).
//
// Data records are spooled to a temporary file while a recording is read,
// because the header must state the number of records and the room of the
// annotation signal, and both are known only at the end. edf_writer_finish
// then writes the header and every record with its annotations; it needs no
// seekable output, so the file may go to a pipe.
//
// Annotations go into the record in which their onset falls, or into the
// next record with room; the room per record is chosen at the end so that
// every annotation fits. Failures print a message naming `origin` and end
// the program with status 1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct edf_signal {
  std::string label;       // at most 16 characters
  std::string unit;        // at most 8 characters
  std::string transducer;  // at most 80 characters
  double physical_min, physical_max;  // exactly as the header states them
  int32_t digital_min, digital_max;
  int samples_per_record;
  size_t first;         // index of its first sample in a record
  double gain, offset;  // physical = gain * (digital + offset)
  long clipped;         // samples put out of range to the nearest limit
  int32_t last;         // the last digital value stored (for padding)
};

struct edf_annotation {
  double onset;     // seconds after the header's start second
  double duration;  // seconds; negative: none
  std::string text;
};

struct edf_writer {
  const char *origin;  // message prefix, the program's name
  bool bdf;            // 24-bit BDF+ instead of 16-bit EDF+
  double record_duration;
  std::string patient, recording;  // the two 80-character fields
  int64_t start_second;            // seconds since 1970, UTC
  std::vector<edf_signal> signals;
  std::vector<double> record_onsets;  // seconds after start_second
  std::vector<edf_annotation> annotations;
  std::vector<int32_t> record;  // current record, signal after signal
  std::vector<unsigned char> bytes;
  FILE *spool;
};

void edf_writer_init(edf_writer *w, const char *origin, bool bdf,
                     double record_duration);
void edf_writer_free(edf_writer *w);

// Adds a signal with the physical range [physical_min, physical_max] (each
// end rounded to what the header's 8 characters can hold) over the full
// digital range of the format. Returns its index.
int edf_writer_add_signal(edf_writer *w, const char *label, const char *unit,
                          const char *transducer, double physical_min,
                          double physical_max, int samples_per_record);

// Stores `value` as sample `i` of signal `s` in the current record; values
// outside the physical range are clipped (and counted), NaN must not be
// given (callers store a value of their choice and annotate it).
void edf_writer_put(edf_writer *w, int s, int i, double value);
// Fills samples `from` … end of the record of signal `s` with its last value.
void edf_writer_pad(edf_writer *w, int s, int from);
// Ends the current record, which begins `onset` seconds after start_second.
void edf_writer_end_record(edf_writer *w, double onset);

void edf_writer_annotate(edf_writer *w, double onset, double duration,
                         const std::string &text);

// Writes the whole file to `out` (named `out_name` in messages) and flushes
// it. A record onset that breaks the even spacing makes the file EDF+D.
void edf_writer_finish(edf_writer *w, FILE *out, const char *out_name);

// The EDF+ subfield form of a text: "X" when empty, blanks become '_'.
std::string edf_subfield(const std::string &text);
// An 8-character header number as close to v as fits; the empty string when
// none fits.
std::string edf_number(double v);
