// corvia_edf and edf2fv against readers and writers nobody here wrote: MNE-Python and biosig (its library through
// edf2fv, its save2gdf). The reference for every value is corvia_signals' output for the same recording.
#include <fstream>
#include <sstream>

#include "testsupport.h"

namespace {

using namespace testsupport;

const char *const kPython = "/usr/bin/python3";  // the one with MNE
#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr int kSeconds = 6;
const char *const kNames[] = {"ECG", "EMG", "SC", "Temp", "BVP", "Resp", "ECG-HR", "BVP-HR", "ECG-BVP-Lag", "Resp-rate"};

std::string ok(const std::string &program, const std::vector<std::string> &args, const std::string &input = "") {
  ProcResult r = run(program, args, input);
  EXPECT_EQ(r.status, 0) << program << ": " << r.err;
  return r.out;
}

// The first sequence of a .fv stream, and one of its columns.
FvSeq first(const std::string &bytes) { return fv_decode(bytes).at(0); }
std::vector<double> column(const FvSeq &seq, int d) {
  std::vector<double> c;
  for (const auto &row : seq.rows) c.push_back(row.at(d));
  return c;
}

// Largest difference where the reference is a number.
double max_diff(const std::vector<double> &got, const std::vector<double> &ref) {
  double worst = 0;
  for (size_t i = 0; i < ref.size() && i < got.size(); ++i)
    if (!std::isnan(ref[i])) worst = std::max(worst, std::fabs(got[i] - ref[i]));
  return worst;
}

// One recording, its event and map files, corvia_signals' ten signals and the exports, made once for all tests.
class Exchange : public ::testing::Test {
 protected:
  static TempDir *dir;
  static std::vector<double> ref[10];  // at the rate of the file

  static std::string file(const std::string &name) { return dir->file(name); }

  static void SetUpTestSuite() {
    dir = new TempDir();
    write_file(file("rec.raw"), ok(bin_path("physio_gen"),
                  {"--seconds=6", "--start=1767225600.25", "--disconnect=0:3:3.5"}));
    write_file(file("ev.txt"), "1767225602.501 relax_start\n1767225604 stress start\n");
    write_file(file("map.txt"), "0\nrelax_start\n1\n\nstress start + 1.52\n2\n");
    for (int s = 0; s < 10; ++s) {
      const std::vector<double> c =
          column(first(ok(bin_path("corvia_signals"), {"--signal=" + std::to_string(s)}, read_file(file("rec.raw")))), 0);
      // ECG-HR comes at 2048 Hz; the file holds every eighth value.
      for (size_t i = 0; i < c.size(); i += (s == 6 ? 8 : 1))
        ref[s].push_back(c[i]);
      std::ofstream out(file(std::string(kNames[s]) + ".f64"), std::ios::binary);
      out.write(reinterpret_cast<const char *>(ref[s].data()), ref[s].size() * 8);
    }
    const std::string ev = "--events=" + file("ev.txt"), map = "--map=" + file("map.txt");
    ok(bin_path("corvia_edf"), {ev, map, file("rec.raw"), "-o", file("rec.edf")});
    ok(bin_path("corvia_edf"), {"--bdf", ev, file("rec.raw"), "-o", file("rec.bdf")});
    ok(bin_path("corvia_edf"), {"--derived", file("rec.raw"), "-o", file("der.edf")});
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
};
TempDir *Exchange::dir = nullptr;
std::vector<double> Exchange::ref[10];

// Resolution of a signal as the header states it (physical over digital range).
double step(bool bdf, double lo, double hi) { return (hi - lo) / (bdf ? 16777215.0 : 65535.0); }

// MNE checks each file against what corvia_signals made of the recording. Onsets count from the first sample (MNE takes
// the 0.25 s of the first record's onset off); the cable of ECG is off from 3 s to 3.5 s, which the disconnect
// detection sees three samples later and holds a second.
TEST_F(Exchange, MneReadsNamesRatesLengthsValuesStartAndAnnotations) {
  const struct {
    const char *path;
    std::vector<int> signals;
    double sfreq;
    std::vector<double> steps;
    std::vector<std::string> annotations;  // "ONSET DURATION TEXT" (DURATION -1: any)
  } groups[] = {
      {"rec.edf", {0, 1}, 2048, {step(false, -1e4, 1e4), step(false, -1e4, 1e4)},
       {"2.251 0 relax_start", "2.251 0 class 1", "5.27 0 class 2", "0 1.000977 ECG disconnected",
        "3.001465 1.499512 ECG disconnected"}},
      {"rec.edf", {2, 3, 4, 5}, 256, {step(false, 0, 100), step(false, 0, 50), step(false, -1e3, 1e3), step(false, -1e3, 1e3)}, {}},
      {"rec.bdf", {0, 1}, 2048, {step(true, -599785, 599785.4), step(true, -599785, 599785.4)}, {"3.75 0 stress start"}},
      {"rec.bdf", {2, 3, 4, 5}, 256, {step(true, 0, 100), step(true, 0, 50), step(true, -1e3, 1e3), step(true, -1e3, 1e3)}, {}},
      {"der.edf", {6, 7, 8, 9}, 256, {step(false, 0, 400), step(false, 0, 400), step(false, -2, 2), step(false, 0, 120)},
       {"0 -1 Resp-rate invalid"}},
  };
  const auto num = [](double x) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.17g", x);
    return std::string(buf);
  };
  std::string manifest;
  for (const auto &g : groups) {
    std::string names, refs, steps;
    for (size_t i = 0; i < g.signals.size(); ++i) {
      const std::string sep = i ? "," : "";
      names += sep + kNames[g.signals[i]];
      refs += sep + file(std::string(kNames[g.signals[i]]) + ".f64");
      steps += sep + num(g.signals[i] < 6 ? g.steps[i] : -g.steps[i]);  // the derived ones need longer to settle
    }
    manifest += "file " + file(g.path) + " " + num(g.sfreq) + " " + num(kSeconds * g.sfreq) + " 1767225600 " + names +
                " " + refs + " " + steps + "\n";
    for (const std::string &a : g.annotations) manifest += "ann " + a + "\n";
  }
  write_file(file("manifest"), manifest);
  ProcResult r = run(kPython, {std::string(PROJECT_SOURCE_DIR) + "/tests/exchange/mne_check.py", file("manifest")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

// What MNE does not look at: the file type, the record count and the units.
TEST_F(Exchange, BiosigReadsTheHeaderAndAnnotations) {
  ProcResult r = run("/usr/bin/save2gdf", {"-JSON", file("rec.bdf")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string json;
  for (char c : r.out)
    if (c != ' ' && c != '\t' && c != '\n') json += c;
  for (const char *expected :
       {"\"TYPE\":\"BDF\"", "\"NumberOfRecords\":48", "\"PhysicalUnit\":\"uS\"",
        "\"Description\":\"relax_start\"", "\"Description\":\"ECGdisconnected\""})
    EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << r.out;
}

TEST_F(Exchange, ImportReadsOurFilesAndBiosigsAndTheirAnnotations) {
  ok("/usr/bin/save2gdf", {"-f=EDF", file("rec.bdf"), file("conv.edf")});
  ok("/usr/bin/save2gdf", {"-f=BDF", file("rec.edf"), file("conv.bdf")});
  // The resolution each signal has in a file, from the listing.
  auto resolutions = [](const std::string &path) {
    std::istringstream listing(ok(bin_path("edf2fv"), {"--list", path}));
    std::map<std::string, double> resolution;
    for (std::string line; std::getline(listing, line);) {
      std::vector<std::string> cells;
      std::istringstream in(line);
      for (std::string cell; std::getline(in, cell, '\t');) cells.push_back(cell);
      if (cells.size() == 6) resolution[cells[1]] = std::stod(cells[5]);
    }
    return resolution;
  };
  struct row {
    const char *path;
    std::vector<int> signals;
    const char *source;  // the file biosig converted, whose steps add up
  };
  for (const row &t : std::vector<row>{{"rec.bdf", {0, 1}, nullptr}, {"rec.edf", {5, 2, 3}, nullptr},
                                       {"der.edf", {9, 6}, nullptr}, {"conv.edf", {0}, "rec.bdf"}, {"conv.bdf", {4}, "rec.edf"}}) {
    SCOPED_TRACE(t.path);
    std::string chosen;
    for (int s : t.signals) chosen += std::string(chosen.empty() ? "" : ",") + kNames[s];
    const FvSeq c = first(ok(bin_path("edf2fv"), {"--signal=" + chosen, file(t.path)}));
    ASSERT_EQ(c.dim, (int)t.signals.size());
    std::map<std::string, double> resolution = resolutions(file(t.path)), before;
    if (t.source) before = resolutions(file(t.source));
    for (size_t d = 0; d < t.signals.size(); ++d) {
      const int s = t.signals[d];
      ASSERT_TRUE(resolution.count(kNames[s])) << kNames[s];
      EXPECT_EQ(c.rows.size(), ref[s].size()) << kNames[s];
      EXPECT_LE(max_diff(column(c, d), ref[s]), (resolution[kNames[s]] + before[kNames[s]]) * 1.0001) << kNames[s];
    }
  }
  // Annotations come back as an event file that labels the vectors as corvia_signals labels them from the original
  // events.
  ok(bin_path("edf2fv"), {"--list", "--events=" + file("back.txt"), file("rec.edf")});
  const std::string back = read_file(file("back.txt"));
  EXPECT_NE(back.find("1767225602.500977 relax_start\n"), std::string::npos) << back;
  EXPECT_NE(back.find("1767225604.000000 stress start\n"), std::string::npos) << back;
  const FvSeq ours = first(ok(bin_path("edf2fv"), {"-s", "SC", "-e", file("back.txt"), "-m", file("map.txt"), file("rec.edf")}));
  const FvSeq theirs = first(ok(bin_path("corvia_signals"), {"-s", "SC", "-e", file("ev.txt"), "-m", file("map.txt")},
                                read_file(file("rec.raw"))));
  EXPECT_EQ(ours.classes, theirs.classes);
}

TEST_F(Exchange, FaultsAreReportedAndWhatIsWholeIsWritten) {
  const std::string raw = read_file(file("rec.raw"));
  // A second stretch 5 s after the first ends: a gap.
  const std::string later = ok(bin_path("physio_gen"), {"--seconds=1", "--start=1767225611.3"});
  const std::string edf = read_file(file("rec.edf"));
  write_file(file("cut.edf"), edf.substr(0, edf.size() / 2));
  ok("/usr/bin/save2gdf", {"-f=GDF", file("rec.edf"), file("rec.gdf")});
  struct row {
    const char *program;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::vector<const char *> messages;
    const char *whole;  // what the written file then holds (edf2fv --list), or ""
  };
  const std::string out = file("fault.edf");
  std::vector<row> rows = {
      {"corvia_edf", {"-o", out}, raw + "12345", 1,
       {"unexpected end of file: could only read 5", "cut short; writing the 12288 whole frames"},
       "\t12288 samples"},
      {"corvia_edf", {"-o", out}, raw + later, 1, {"the capture times jump by 5.05"}, "\t12288 samples"},
      {"corvia_edf", {"-o", out, "--range=ECG:-100:100"}, raw, 0,
       {"samples of ECG lay outside its physical range [-100, 100] and were clipped"},
       "\t12288 samples"},
      {"corvia_edf", {"-o", "/dev/full"}, raw, 1, {"error: writing /dev/full: No space left"}, ""},
      {"corvia_edf", {"-o", "/nonexistent/x.edf"}, raw, 1, {"/nonexistent/x.edf: No such file"}, ""},
      {"corvia_edf", {"-o", out}, "", 1, {"the recording holds no frames"}, ""},
      {"corvia_edf", {"--map=m"}, "", 1, {"--map needs --events"}, ""},
      {"corvia_edf", {"--range=ECG:5:1"}, "", 1, {"malformed --range \"ECG:5:1\""}, ""},
      {"corvia_edf", {"--gap=0.01"}, "", 1, {"--gap=0.01 must be a number of seconds"}, ""},
      {"corvia_edf", {"--sex=Q"}, "", 1, {"--sex=Q must be M, F or X"}, ""},
      {"corvia_edf", {"--birthdate=1.2.1990"}, "", 1, {"--birthdate=1.2.1990 must be a date"}, ""},
      {"corvia_edf", {"--patient-name=" + std::string(80, 'n')}, "", 1,
       {"the patient field", "longer than EDF's 80"}, ""},
      {"corvia_edf", {"--technician=J\xc3\xbcrgen"}, "", 1, {"the recording field", "not printable ASCII"}, ""},
      {"corvia_edf", {"--range=ECG:-1e300:1"}, raw, 1, {"cannot be stored in EDF's 8-character"}, ""},
      {"corvia_edf", {"a", "b"}, "", 1, {"unexpected argument \"b\""}, ""},
      {"edf2fv", {}, "", 1, {"please give the EDF or BDF file"}, ""},
      {"edf2fv", {file("none.edf")}, "", 1, {"none.edf: No such file"}, ""},
      {"edf2fv", {file("ev.txt")}, "", 1, {"biosig cannot read", "ev.txt"}, ""},
      {"edf2fv", {file("rec.gdf")}, "", 1, {"rec.gdf is no EDF or BDF file (biosig reads it as GDF"}, ""},
      {"edf2fv", {"-s", "ECG,SC", file("rec.edf")}, "", 1, {"choose signals of one rate"}, ""},
      {"edf2fv", {"-s", "Pulse", file("rec.edf")}, "", 1, {"has no signal \"Pulse\""}, ""},
      {"edf2fv", {"-m", "map.txt", file("rec.edf")}, "", 1, {"--map needs --events"}, ""},
      {"edf2fv", {"a", "b"}, "", 1, {"unexpected argument \"b\""}, ""},
  };
  // biosig 3.0 itself reads past a buffer when it opens a cut EDF+ file (AddressSanitizer reports it inside libbiosig),
  // so under the sanitizers that case is left out.
  if (!kSanitized)
    rows.push_back({"edf2fv", {file("cut.edf")}, "", 1, {"cut.edf holds only 23 of the 48 records"}, ""});
  for (const row &t : rows) {
    SCOPED_TRACE(t.messages[0]);
    remove(out.c_str());
    ProcResult r = run(bin_path(t.program), t.args, t.input);
    EXPECT_EQ(r.status, t.status);
    for (const char *m : t.messages) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    EXPECT_TRUE(!*t.whole || ok(bin_path("edf2fv"), {"--list", out}).find(t.whole) != std::string::npos);
  }
  // What is whole of a cut EDF file is written.
  if (!kSanitized) {
    EXPECT_EQ(first(run(bin_path("edf2fv"), {"-s", "ECG", file("cut.edf")}).out).rows.size(), 23u * 256);
  }
  // With --discontinuous the gap becomes a second segment of an EDF+D file whose first record starts at the capture
  // time after the gap.
  ok(bin_path("corvia_edf"), {"--discontinuous", "-o", out}, raw + later);
  const std::string d = read_file(out);
  EXPECT_EQ(d.substr(192, 5), "EDF+D");
  EXPECT_NE(d.find(std::string("+11.3\x14\x14", 7)), std::string::npos);
  ProcResult r = run(bin_path("edf2fv"), {"--list", out});
  EXPECT_NE(r.err.find("is discontinuous (EDF+D)"), std::string::npos) << r.err;
}

// A study of three recordings, one of them cut short, through GNU parallel (its --sshlogin machinery with ":", this
// machine) and as Slurm tasks.
TEST(Study, EveryRecordingOfAFolderInParallelAndAsSlurmTasks) {
  TempDir dir;
  const std::string study = dir.file("study"), scripts = std::string(PROJECT_SOURCE_DIR) + "/scripts";
  ASSERT_EQ(run("/bin/mkdir", {study}).status, 0);
  for (int s = 1; s <= 3; ++s)
    write_file(study + "/s" + std::to_string(s) + ".raw",
               ok(bin_path("physio_gen"), {"--seconds=1", "--seed=" + std::to_string(s)})
                   .substr(0, s == 3 ? 1000 : std::string::npos));
  RunOptions env;
  env.env["PATH"] = bin_path("") + ":" + getenv("PATH");
  struct row {
    std::vector<std::string> command;
    int status;
    std::vector<const char *> messages;
    std::vector<const char *> files;  // in the output folder
  };
  const std::string out = dir.file("out");
  const std::vector<row> rows = {
      {{"/usr/bin/env", "SLURM_ARRAY_TASK_ID=1", "bash", scripts + "/study.slurm", study, out, "corvia_edf", "edf"},
       0, {}, {"s2.edf", "s2.log"}},
      {{"/usr/bin/env", "SLURM_ARRAY_TASK_ID=3", "bash", scripts + "/study.slurm", study, out, "x"},
       2, {"task 3, but", "holds only 3 recordings"}, {}},
      {{"/bin/bash", scripts + "/study.slurm", study, out, "x"}, 2, {"no SLURM_ARRAY_TASK_ID"}, {}},
      {{"/usr/bin/env", "SLURM_ARRAY_TASK_ID=0", "CORVIA_SCRIPTS=/none", "bash", scripts + "/study.slurm",
        study, out, "x"},
       2, {"no study-one.sh in /none"}, {}},
      {{scripts + "/study.sh", "--pattern=*.edf", study, out, "x"}, 2, {"no recordings *.edf"}, {}},
      {{scripts + "/study.sh", dir.file("none"), out, "x"}, 2, {"none is no folder"}, {}},
      // Last, so that its outputs stay for the checks below.
      {{scripts + "/study.sh", "--sshlogin=:", "--suffix=bdf", study, out, "corvia_edf --bdf"}, 1,
       {"study: s3 failed with status 1", "2 of 3 recordings done"},
       {"s1.bdf", "s2.bdf", "s3.bdf.part", "joblog"}},
  };
  for (const row &t : rows) {
    SCOPED_TRACE(t.command[1]);
    run("/bin/rm", {"-rf", out});
    ProcResult r = run(t.command[0], std::vector<std::string>(t.command.begin() + 1, t.command.end()), "", env);
    EXPECT_EQ(r.status, t.status) << r.err;
    for (const char *m : t.messages) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    for (const char *f : t.files)
      EXPECT_EQ(run("/usr/bin/test", {"-s", out + "/" + f}).status, 0) << f;
  }
  // The outputs are whole: one second of ECG from the exported recording.
  EXPECT_NE(ok(bin_path("edf2fv"), {"--list", out + "/s2.bdf"}).find("\t2048 samples"), std::string::npos);
  EXPECT_NE(read_file(out + "/s3.log").find("unexpected end of file"), std::string::npos);
}

}  // namespace
