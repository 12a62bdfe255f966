// Helpers for the test suites: running the project's programs (to the end or
// in the background), building .fv streams from text and decoding them,
// temporary folders, the simulated front end, and the shared sample data.
#pragma once

// Every suite includes this header (directly or through its own): it brings
// GoogleTest and the standard headers the suites share, so that each suite
// lists only what is its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace testsupport {

// Full path of a program or shared library built into the project's bin
// folder, e.g. bin_path("vecshow").
std::string bin_path(const std::string &name);

struct ProcResult {
  int status = -1;      // exit status, or 128 + signal number when killed
  bool signaled = false;
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error
  long peak_rss_kb = 0; // largest resident set (with the forked test's own)
};

struct RunOptions {
  std::string cwd;                          // empty: the test's own
  std::map<std::string, std::string> env;   // added to / overriding environ
  double timeout_seconds = 120;             // killed (SIGKILL) after this
};

// Runs `program` (a path; see bin_path) with `args`, feeding `input` on its
// standard input and collecting both output streams (see Background).
ProcResult run(const std::string &program,
               const std::vector<std::string> &args,
               const std::string &input = "", const RunOptions &opts = {});

// Builds a .fv stream from a small text description, written independently
// of the fv library so that it can serve as a reference in its tests.
//
//   # comment
//   seq name=walk type=double labelling=class adata=2 seqdata=6869
//   1 2.5 -3 class=4 adata=0a0b
//   seq type=float labelling=label          (no name= : unnamed)
//   0.1 0.2 label=rest
//   0.3 0.4 nolabel
//
// `seq` options: name=NAME (no blanks), type=float|double|ldouble|int32
// (default float), labelling=none|class|label (default none), adata=N
// (bytes per vector), seqdata=HEX, n_expected=N (default: the number of
// vector lines that follow), dim=N (needed only for a sequence without
// vector lines).
// Vector lines: numbers (also nan, inf, -inf), then optional class=N,
// label=TEXT (no blanks), nolabel, adata=HEX (must be adata bytes).
std::string fv_from_text(const std::string &text);

// Little-endian byte helpers for hand-made streams.
std::string le16(int16_t v);
std::string le32(int32_t v);
std::string le_float(float v);
std::string le_double(double v);

// A fresh temporary folder, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Works in `folder` for its lifetime, then returns to the previous one.
class InFolder {
 public:
  explicit InFolder(const std::string &folder);
  ~InFolder();
  InFolder(const InFolder &) = delete;
  InFolder &operator=(const InFolder &) = delete;

 private:
  std::filesystem::path old_;
};

std::string read_file(const std::string &path);
// A temporary stream holding `bytes`, positioned at its start; the caller
// closes it.
FILE *stream_of(const std::string &bytes);
// Everything in the temporary stream `f`, which is then closed.
std::string contents(FILE *f);
// The bytes that `write(FILE *)` puts into a stream.
template <typename F>
std::string written(F write) {
  FILE *f = stream_of(std::string());
  write(f);
  return contents(f);
}
void write_file(const std::string &path, const std::string &bytes);

// The folder of the shared sample data (../shared/data seen from the
// source tree), or "" when it is absent; tests then GTEST_SKIP() saying so.
std::string shared_data_dir();

// Occurrences of `needle` in `text`.
size_t count(const std::string &text, const std::string &needle);

// One sequence of a .fv stream decoded with the fv library, features as
// doubles.
struct FvSeq {
  std::string name, seqdata;
  int32_t n_expected = 0;
  int datatype = 0, labelling = 0, dim = 0;
  std::vector<std::vector<double>> rows;
  std::vector<std::string> labels;  // "<null>" for an absent label
  std::vector<int32_t> classes;
  std::vector<std::string> adata;
};
std::vector<FvSeq> fv_decode(const std::string &bytes);
// Every feature of every sequence, row by row.
std::vector<double> fv_values(const std::string &bytes);

// A program running in the background, its standard output and error in
// files of its own (so that it never blocks on them); with `input` its
// standard input is a pipe the test writes to, else /dev/null. The
// destructor ends what still runs (SIGTERM, then SIGKILL) and waits for it.
class Background {
 public:
  Background(const std::string &program, const std::vector<std::string> &args,
             const RunOptions &opts = {}, bool input = false);
  ~Background();
  Background(const Background &) = delete;
  Background &operator=(const Background &) = delete;
  int pid() const { return pid_; }
  std::string out() const { return read_file(dir_.file("out")); }
  std::string err() const { return read_file(dir_.file("err")); }
  // Waits until standard output (or error) holds `text`.
  bool wait_for(const std::string &text, double timeout = 10, bool in_err = false) const;
  // Writes to standard input for at most `timeout` seconds.
  void write(const std::string &bytes, double timeout = 30);
  void close_input();
  void signal(int sig) const;
  // Exit status, 128 + signal number, or -1 when it had to be killed after
  // `timeout` seconds.
  int wait(double timeout = 30);
  bool signaled() const { return signaled_; }  // killed by a signal, by the last wait
  long peak_rss_kb() const { return peak_rss_kb_; }  // largest resident set, by the last wait

 private:
  TempDir dir_;
  int pid_ = -1, in_ = -1;
  bool signaled_ = false;
  long peak_rss_kb_ = 0;
};

// The simulated front end corvia_sim on the COM name `com` (with `options`
// before it), entering its port in the registry file `registry`. The
// constructor returns once the simulator has printed its first line
// ("corvia_sim: COMn is /dev/pts/N").
class SimulatedFrontEnd {
 public:
  SimulatedFrontEnd(const std::string &com, const std::vector<std::string> &options,
                    const std::string &registry);
  bool running() const { return !device_.empty(); }
  const std::string &device() const { return device_; }  // the pseudo-terminal
  std::string err() const { return bg_.err(); }

 private:
  Background bg_;
  std::string device_;
};

}  // namespace testsupport
