// The README's walk-through run line by line as a new user would paste it, the help people look for, and an
// installation into a fresh prefix.
#include <sys/stat.h>
#include <unistd.h>

#include "testsupport.h"

namespace {

using testsupport::ProcResult;
using testsupport::RunOptions;
using testsupport::TempDir;
using testsupport::count;

bool on_path(const std::string &program) {
  return testsupport::run("/bin/sh", {"-c", "command -v " + program}).status == 0;
}

// The shell lines of the README's fenced blocks between the markers "<!-- NAME begin -->" and "<!-- NAME end -->", in
// order.
std::string readme_blocks(const std::string &name) {
  const std::string readme = testsupport::read_file(GUIDE_SOURCE_DIR "/README.md");
  const std::string begin = "<!-- " + name + " begin -->", end = "<!-- " + name + " end -->";
  std::string script;
  for (size_t at = readme.find(begin); at != std::string::npos; at = readme.find(begin, at)) {
    const size_t stop = readme.find(end, at);
    if (stop == std::string::npos) break;
    std::string block = readme.substr(at + begin.size(), stop - at - begin.size());
    const size_t open = block.find("```sh\n"), close = block.rfind("```");
    if (open != std::string::npos && close > open) script += block.substr(open + 6, close - open - 6);
    at = stop;
  }
  return script;
}

// Runs a script with bash in `dir`, build/bin first on PATH, stopping at the first failing command (of a pipeline too).
ProcResult run_script(const std::string &script, const std::string &dir, std::map<std::string, std::string> env = {}) {
  env["PATH"] = std::string(GUIDE_BUILD_DIR "/bin:") + getenv("PATH");
  return testsupport::run("/bin/bash", {"-c", "set -eo pipefail\n" + script}, "", RunOptions{dir, env, 60});
}

TEST(Guide, WalkThroughRunsAsWritten) {
  if (!on_path("svm-train") || !on_path("svm-predict"))
    GTEST_SKIP() << "svm-train and svm-predict are not installed (Debian package libsvm-tools)";
  const std::string script = readme_blocks("walk-through");
  ASSERT_NE(script.find("svm-train"), std::string::npos) << "no walk-through in README.md";
  TempDir dir;
  for (const char *f : {"events.txt", "map.txt"})
    std::filesystem::copy_file(std::string(GUIDE_SOURCE_DIR "/examples/") + f, dir.file(f));
  ProcResult r = run_script(script, dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;

  // Both classes, no NaN, and a model that tells them apart.
  const std::string train = testsupport::read_file(dir.file("train.txt"));
  EXPECT_GT(count(train, "+1 "), 50u);
  EXPECT_GT(count(train, "-1 "), 50u);
  EXPECT_EQ(train.find("nan"), std::string::npos);
  const size_t acc = r.out.find("Accuracy = ");
  ASSERT_NE(acc, std::string::npos) << r.out;
  EXPECT_GE(atof(r.out.c_str() + acc + 11), 90.0) << r.out.substr(acc);

  // One command pair per second of heart rate; the first seconds are NaN.
  const std::string commands = testsupport::read_file(dir.file("commands.txt"));
  EXPECT_EQ(commands.rfind("osd 0\n", 0), 0u);
  EXPECT_GT(count(commands, "speed_set "), 115u);
  EXPECT_EQ(count(commands, "speed_set "), count(commands, "osd_show_text "));
}

TEST(Guide, LiveRecordingRunsAsWritten) {
  const std::string script = readme_blocks("live recording");
  ASSERT_NE(script.find("capture_corvia"), std::string::npos) << "no live block in README.md";
  TempDir dir;
  ProcResult r = run_script(script, dir.path(), {{"CORVIA_REGISTRY_FILE", dir.file("registry.txt")}});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const double celsius = atof(r.out.c_str());
  EXPECT_TRUE(celsius > 25.0 && celsius < 40.0) << r.out;
  const auto bytes = std::filesystem::file_size(dir.file("live.raw"));
  EXPECT_EQ(bytes % 32, 0u);
  EXPECT_GE(bytes, 3u * 2048 * 32 / 2);  // --die=2: about two seconds
}

// The README's exchange and study blocks, in a folder that sees the repository's scripts/.
TEST(Guide, ExchangeAndStudyRunAsWritten) {
  if (!on_path("save2gdf") || !on_path("parallel") || !std::filesystem::exists(testsupport::bin_path("edf2fv")))
    GTEST_SKIP() << "needs biosig-tools, parallel and edf2fv (libbiosig-dev)";
  const std::string script = readme_blocks("exchange") + readme_blocks("study");
  ASSERT_NE(script.find("study.sh"), std::string::npos) << "no exchange or study block in README.md";
  TempDir dir;
  std::filesystem::create_directory_symlink(GUIDE_SOURCE_DIR "/scripts", dir.file("scripts"));
  ProcResult r = run_script(script, dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("1 \t\t\"Description\"\t: \"relax_start\""), std::string::npos) << r.out;
  EXPECT_NE(testsupport::read_file(dir.file("back.txt")).find("1767225640.000000 arithmetic_start"), std::string::npos);
  // Heart rates of 65 to 80 beats per minute, one per subject.
  for (int s = 1; s <= 4; ++s) {
    const double bpm = atof(testsupport::read_file(dir.file("results/s" + std::to_string(s) + ".out")).c_str());
    EXPECT_NEAR(bpm, 60 + 5 * s, 4) << s;
    EXPECT_TRUE(std::filesystem::exists(dir.file("bdf/s" + std::to_string(s) + ".bdf")));
  }
}

// Installs into DESTDIR and runs the installed programs from there: the device library and the server
// ("Kestoserial.dll", installed as libKestoSerial.so) must be found in the prefix's lib folder, not the build folder.
TEST(Guide, InstalledProgramsFindTheirLibraries) {
  TempDir dir;
  const std::string prefix = "/opt/corvia";
  ProcResult in = testsupport::run("/usr/bin/env", {"cmake", "--install", GUIDE_BUILD_DIR, "--prefix", prefix},
                                   "", RunOptions{dir.path(), {{"DESTDIR", dir.path()}}, 120});
  ASSERT_EQ(in.status, 0) << in.out << in.err;
  const std::string root = dir.path() + prefix;
  for (const char *p : {"bin/capture_corvia", "bin/corvia_memory", "bin/vecshow", "bin/pace_feedback",
                        "lib/libCorviaDLL.so", "lib/libKestoSerial.so"})
    EXPECT_TRUE(std::filesystem::exists(root + "/" + p)) << p;

  RunOptions opts{dir.path(), {{"CORVIA_REGISTRY_FILE", dir.file("registry.txt")}}, 30};
  {
    ProcResult pf = testsupport::run(root + "/bin/pace_feedback", {"--help"}, "", opts);
    EXPECT_EQ(pf.status, 0);
    testsupport::SimulatedFrontEnd sim("COM8", {"--seconds=20"}, dir.file("registry.txt"));
    ASSERT_TRUE(sim.running());
    ProcResult cap = testsupport::run(root + "/bin/capture_corvia", {"--die=1"}, "", opts);
    EXPECT_EQ(cap.status, 0) << cap.err;
    EXPECT_EQ(cap.out.size() % 32, 0u);
    EXPECT_GT(cap.out.size(), 2048u * 32 / 2) << cap.err;  // --die=1: about a second
    ProcResult mem = testsupport::run(root + "/bin/corvia_memory", {"--port=COM8", "list"}, "", opts);
    EXPECT_EQ(mem.status, 0) << mem.err;
    EXPECT_NE(mem.out.find("records"), std::string::npos) << mem.out;
  }
  // The server registered from its installed place.
  EXPECT_NE(testsupport::read_file(dir.file("registry.txt")).find("InprocServer32"), std::string::npos);

  const std::string page = root + "/share/man/man1/vecpick.1";
  if (!on_path("help2man")) GTEST_SKIP() << "help2man is not installed: no manual pages to check";
  ASSERT_TRUE(std::filesystem::exists(page));
  if (!on_path("man")) return;  // the page exists; nothing here can show it
  ProcResult man = testsupport::run("/usr/bin/env", {"man", "-l", page}, "",
                                    RunOptions{dir.path(), {{"MANPAGER", "cat"}, {"MANWIDTH", "80"}}, 30});
  EXPECT_EQ(man.status, 0) << man.err;
  EXPECT_NE(man.out.find("--only-class"), std::string::npos) << man.out;
}

}  // namespace
