// Helpers for the test suites: running the project's programs as
// subprocesses, building .fv streams from text, temporary folders, and the
// location of the shared sample data.
#pragma once

#include <cstdint>
#include <map>
#include <string>
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
// standard input and collecting both output streams.
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
// vector lines that follow), itemsize=N (override, for defect streams),
// dim=N (needed only for a sequence without vector lines).
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

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// The folder of the shared sample data (../shared/data seen from the
// source tree), or "" when it is absent; tests then GTEST_SKIP() saying so.
std::string shared_data_dir();

// The simulated front end corvia_sim on the COM name `com` (with `options`
// before it), entering its port in the registry file `registry`. The
// constructor returns once the simulator has printed its first line
// ("corvia_sim: COMn is /dev/pts/N"); the destructor ends it (SIGTERM) and
// waits for it.
class SimulatedFrontEnd {
 public:
  SimulatedFrontEnd(const std::string &com, const std::vector<std::string> &options,
                    const std::string &registry);
  ~SimulatedFrontEnd();
  SimulatedFrontEnd(const SimulatedFrontEnd &) = delete;
  SimulatedFrontEnd &operator=(const SimulatedFrontEnd &) = delete;
  const std::string &line() const { return line_; }  // "" when it did not start

 private:
  int pid_ = -1;
  int out_ = -1;
  std::string line_;
};

}  // namespace testsupport
