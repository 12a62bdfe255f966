// capture_corvia as a program: replay (byte-identical output and copy, block pacing, --die, a truncated tail), option
// and file errors, stop and capture mode without a device library, and capture mode end to end with a fake device
// library that delivers known frames at 2048 per second.
#include <signal.h>

#include <chrono>
#include <thread>

#include "corvia.h"
#include "live_support.h"
#include "testsupport.h"
#include "win32.h"

namespace {

using namespace testsupport;
using live::parse_frames;
using Args = std::vector<std::string>;

// `n` distinct frames, the way a recording looks: time stamps 1/2048 s apart.
std::string make_frames(int n) {
  std::string bytes;
  for (int k = 0; k < n; k++) {
    corvia_data f;
    f.time = {1700000000 + k / 2048, (int32_t)((int64_t)(k % 2048) * 1000000 / 2048)};
    for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++) f.data[j] = (float)k + 0.125f * (float)j;
    bytes.append((const char *)&f, sizeof f);
  }
  return bytes;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A copy of capture_corvia in a folder of its own, where the library loader finds `library` (or no device library at
// all) next to it.
std::string program_copy(const TempDir &dir, const char *library) {
  namespace fs = std::filesystem;
  fs::copy_file(bin_path("capture_corvia"), dir.file("capture_corvia"), fs::copy_options::overwrite_existing);
  fs::permissions(dir.file("capture_corvia"), fs::perms::owner_all);
  if (library) fs::copy_file(library, dir.file("libCorviaDLL.so"), fs::copy_options::overwrite_existing);
  return dir.file("capture_corvia");
}

testsupport::RunOptions in_dir(const TempDir &dir) { return {dir.path(), {{"LD_LIBRARY_PATH", ""}}, 30}; }

long long delivered_frames(const std::string &err) {
  std::smatch m;
  static const std::regex re("fake CorviaDLL: StopCorviaDevice: delivered ([0-9]+) frames");
  return std::regex_search(err, m, re) ? std::stoll(m[1]) : -1;
}

// Checks the frames written by a capture from the fake library, which carries k * 16 + c in channel c of its frame k,
// so raw signal j must be k * 16 + j + 2; the fake's frame numbers must run from 0 up, jumping by `skip` after
// `jump_at` frames. Time stamps never go back.
void expect_fake_frames(const std::string &out, long long delivered, size_t jump_at, long long skip) {
  const auto frames = parse_frames(out);
  ASSERT_EQ((long long)frames.size(), delivered - skip);
  const auto seconds = [&](size_t i) { return frames[i].time.tv_sec + frames[i].time.tv_usec * 1e-6; };
  for (size_t i = 0; i < frames.size(); i++) {
    const long long k = (long long)i + (i >= jump_at ? skip : 0);
    for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++) ASSERT_EQ(frames[i].data[j], (float)(k * 16 + j + 2)) << i;
    ASSERT_TRUE(i == 0 || seconds(i - 1) <= seconds(i)) << "time stamps go back at frame " << i;
  }
}

TEST(CaptureCorviaDevice, HelpBadCommandLinesFilesAndLibraries) {
  const std::string help =
      "\ncapture_corvia - capture data from corvia device, taking the 6 standard signals from channels C to H  "
      "(usually ECG, EMG, SC, Temp, BVP, Resp), all with 2048 kHz. For each frame, the capture time is encoded in 8 "
      "Bytes, and then 6 signals (a float each) follow. That is the input format e.g. for corvia_signals.\nusage: "
      "capture_corvia [OPTIONS]\n\nOPTIONS:\n    --help, -h     Display this help.\n    --verbose      Verbose "
      "output.\n    --read=FILE, -r FILE\n                   replay contents of FILE instead reading from corvia "
      "(for testing under Linux or without the device)\n    --tee=FILE, -t FILE\n                   write a copy of "
      "the output stream to FILE (like unix \"tee\"\n    --die=NUM, -d NUM\n                   stop capturing after "
      "NUM seconds.\n    --stop         Stop the corvia device and exit. Useful if capture_corvia crashed during "
      "recording.\n\n";
  // The second line after a failed binding: what the library is and where it is looked for.
  const std::string hint =
      "capture_corvia: the device library CorviaDLL.dll is the file libCorviaDLL.so (with libKestoSerial.so), "
      "looked for next to capture_corvia, in ../lib beside it and then on the system's library path: build it "
      "(ninja CorviaDLL KestoSerial) or install the programs with make install\n";
  const std::string not_loaded = "read_corvia: could not load dll CorviaDLL.dll: error 126: " +
                                 platform_error_text(126) + "\n" + hint;
  const std::string stopping = "capture_corvia: just stopping corvia device...\ncapture_corvia init...\n";
  TempDir dir;
  const std::string missing = dir.file("no/such/file.raw");
  const struct {
    const char *library;  // next to the program's copy
    Args args;
    int status;
    std::string err;
    bool whole;  // the whole of standard error, else a part
  } cases[] = {
      {nullptr, {"--help"}, 0, help, true},
      {nullptr, {"-r"}, 1, "option requires an argument -- 'r'", false},
      {nullptr, {"recording.raw"}, 1, "capture_corvia error: unexpected argument 'recording.raw' (see --help)\n", true},
      {nullptr, {"--read=" + missing}, 1, missing + ": No such file or directory\n", true},
      {nullptr, {"-t", missing, "-r", "/dev/null"}, 1, missing + ": No such file or directory\n", true},
      // A folder opens but cannot be read: a read error of the replay file.
      {nullptr, {"--read", dir.path()}, 1, dir.path() + ": Is a directory\n", true},
      {nullptr, {"--stop"}, 1, stopping + not_loaded, true},
      {nullptr, {}, 1, "capture_corvia init...\n" + not_loaded, true},
      {FAKE_CORVIA_DLL_INCOMPLETE, {"--die=1"}, 1,
       "capture_corvia init...\nread_corvia: could not load all functions!\n" + hint, true},
      // Stop mode takes precedence over replay.
      {FAKE_CORVIA_DLL, {"--read=/dev/null", "--stop"}, 0,
       stopping + "fake CorviaDLL: InitCorviaDevice\ncapture_corvia stop...\n"
                  "corvia_capture_stop info: max buffer fill was 0.0%, missed frames = 0\n"
                  "corvia_capture_stop info: seconds with irregular samplingrate: 0 of 0 = nan%\n"
                  "stopping device...\nfake CorviaDLL: StopCorviaDevice: delivered 0 frames\ncapture_corvia exit\n",
       true},
  };
  for (const auto &c : cases) {
    TempDir copy;
    auto r = run(program_copy(copy, c.library), c.args, "", in_dir(copy));
    EXPECT_EQ(r.status, c.status) << c.err;
    EXPECT_EQ(r.out, "");
    // glibc prints the not-a-number of 0/0 as "-nan"; either spelling is fine.
    const std::string err = std::regex_replace(r.err, std::regex("-nan"), "nan");
    EXPECT_TRUE(c.whole ? err == c.err : err.find(c.err) != std::string::npos) << err;
  }
}

// Replays are paced: a sleep of a second after each full block of 2048 frames; a partial block ends the replay.
TEST(CaptureCorviaReplay, PacedExactCopiesAndTruncatedTails) {
  TempDir dir;
  const std::string s0 = "capture_corvia: 0.000000 seconds\n", s1 = "capture_corvia: 1.000000 seconds\n";
  const std::string tail = ": recording ends in an incomplete frame: only ";
  const struct {
    int frames, tail_bytes;
    Args args;
    int status, written;
    std::string err;  // "FILE" stands for the recording
    double min_s, max_s;
  } cases[] = {
      {4096, 0, {}, 0, 4096, s0 + s1, 1.9, 4.0},
      {0, 0, {}, 0, 0, "", 0, 3.0},
      // --die stops after the block that reaches the limit.
      {5 * 2048, 0, {"-d", "1"}, 0, 2 * 2048, s0 + s1 + "exiting due to --die option\n", 0.95, 3.0},
      {2148, 7, {}, 1, 2148, s0 + "capture_corvia error: FILE" + tail + "7 of 32 bytes\n", 0.95, 3.0},
      {3, 31, {}, 1, 3, "capture_corvia error: FILE" + tail + "31 of 32 bytes\n", 0, 3.0},
  };
  int i = 0;
  for (const auto &c : cases) {
    const std::string file = dir.file("in" + std::to_string(i++) + ".raw"), copy = file + ".copy";
    const std::string data = make_frames(c.frames);
    write_file(file, data + data.substr(0, c.tail_bytes));
    Args args = {"--read=" + file, "--tee=" + copy};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto t0 = std::chrono::steady_clock::now();
    auto r = run(bin_path("capture_corvia"), args);
    const double elapsed = seconds_since(t0);
    EXPECT_EQ(r.status, c.status) << file;
    EXPECT_TRUE(r.out == data.substr(0, c.written * 32)) << file;
    EXPECT_TRUE(read_file(copy) == r.out) << file;
    EXPECT_EQ(r.err, std::regex_replace(c.err, std::regex("FILE"), file));
    EXPECT_GE(elapsed, c.min_s) << file;
    EXPECT_LT(elapsed, c.max_s) << file;
  }
  // From a pipe; writes that fail (a full block to standard output goes in one write, which fails at once).
  const std::string data = make_frames(500);
  EXPECT_TRUE(run(bin_path("capture_corvia"), {"--read=/dev/stdin"}, data).out == data);
  write_file(dir.file("small.raw"), make_frames(100));
  write_file(dir.file("big.raw"), make_frames(2048));
  const std::pair<std::string, std::string> failing[] = {
      {"exec \"$0\" --read=\"$1\" > /dev/full", "stdout: No space left on device\n"},
      {"exec \"$0\" --read=\"$1\" --tee=/dev/full", "/dev/full: No space left on device\n"},
      {"exec \"$0\" --read=\"$2\" > /dev/full", "stdout: No space left on device\n"}};
  for (const auto &[script, err] : failing) {
    auto r = run("/bin/sh", {"-c", script, bin_path("capture_corvia"), dir.file("small.raw"), dir.file("big.raw")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
  }
}

// capture_corvia with the fake device library to its end (--die or Ctrl-C and Ctrl-Break): status 0, every frame
// delivered written (a full ring drops the newest) and copied, and what standard error says of the run. `check` returns
// the frames the ring dropped after its 20478th, or -1 when frames were lost before they reached it.
TEST(CaptureCorviaDevice, RunsToItsEndWithEveryDeliveredFrameWritten) {
  const std::string pass = "(available = [0-9]+\ncapture_corvia: [0-9.]+ seconds\n)";
  // The statistics and the device stop come between the request and the goodbye line; after it only the main loop's
  // last pass is printed.
  const std::regex shutdown("(.|\n)*capture_corvia: exit request - shutting down corvia...\n" + pass +
      "*corvia_capture_stop info: max buffer fill was [0-9.]+%, missed frames = 0\n" + pass +
      "*corvia_capture_stop info: seconds with irregular samplingrate: 0 of [0-9]+ = [-a-z0-9.]+%\n" + pass +
      "*stopping device...\n" + pass + "*fake CorviaDLL: StopCorviaDevice: delivered [0-9]+ frames\n" + pass +
      "*capture_corvia: ... done - goodbye\n" + pass + "+");
  const auto stopped_by_signal = [&](const std::string &err, const std::string &) {
    EXPECT_TRUE(std::regex_match(err, shutdown)) << err;
    return 0ll;
  };
  const struct {
    const char *what;
    const char *die, *env;  // "NAME=VALUE" or ""
    int signal;
    std::function<long long(const std::string &err, const std::string &out)> check;
  } cases[] = {
      {"--die=1", "--die=1", "", 0, [](const std::string &err, const std::string &) {
         // Three passes (0, 0.5 and 1 seconds; at 2048 frames a second), then the stop (a loaded machine may deliver
         // less than a whole second by then: 0 of 0 seconds).
         std::regex pass_re("available = ([0-9]+)\ncapture_corvia: ([0-9.]+) seconds\n");
         std::vector<int> available;
         std::vector<std::string> seconds;
         for (auto it = std::sregex_iterator(err.begin(), err.end(), pass_re); it != std::sregex_iterator(); ++it) {
           available.push_back(std::stoi((*it)[1]));
           seconds.push_back((*it)[2]);
         }
         EXPECT_EQ(seconds, (std::vector<std::string>{"0.000000", "0.500000", "1.000000"})) << err;
         EXPECT_TRUE(available.size() == 3 && available[1] > 700 && available[1] < 1400) << err;
         EXPECT_EQ(err.find("capture_corvia init...\nfake CorviaDLL: InitCorviaDevice\ncapture_corvia installed CTRL-C "
                            "handler.\ncapture_corvia start...\nfake CorviaDLL: StartCorviaDevice\n"), 0u) << err;
         EXPECT_TRUE(std::regex_search(err, std::regex("capture_corvia: 1.000000 seconds\nexiting due to --die option\n"
             "corvia_capture_stop info: max buffer fill was [0-9.]+%, missed frames = 0\n"
             "corvia_capture_stop info: seconds with irregular samplingrate: 0 of ([12] = 0.0|0 = -?nan)%\n"
             "stopping device...\nfake CorviaDLL: StopCorviaDevice: delivered [0-9]+ frames\n$"))) << err;
         return 0ll;
       }},
      {"Ctrl-C", "", "", SIGINT, stopped_by_signal},
      {"Ctrl-Break", "", "", SIGTERM, stopped_by_signal},
      // A burst before the first pass: the ring keeps 20478 frames and drops the rest of it (4522; more only if the
      // main loop were slower than the device's next 20-ms batch); frames that came at once are irregular.
      {"an overfull ring", "--die=1", "FAKE_CORVIA_INITIAL_BURST=25000", 0, [](const std::string &err, const std::string &) {
         std::smatch m;
         EXPECT_TRUE(std::regex_search(err, m, std::regex("capture_corvia warning: buffer 99.990234% full; "
                                                          "num_missed = ([0-9]+)\navailable = 20478\n")));
         EXPECT_TRUE(m.size() == 2 && std::stoll(m[1]) >= 4522) << err.substr(0, 2000);
         EXPECT_EQ(err.find("available = "), err.find("available = 20478\n")) << "the warning belongs to the first pass";
         EXPECT_NE(err.find(std::string(80, '!') + "\n corvia_capture_process_data error: milliseconds_diff = "),
                   std::string::npos);
         EXPECT_TRUE(std::regex_search(err, m, std::regex("max buffer fill was 100.0%, missed frames = ([0-9]+)\n")));
         EXPECT_TRUE(m.size() == 2 && std::stoll(m[1]) < 4522 + 2048);
         return m.size() == 2 ? std::stoll(m[1]) : 0ll;
       }},
      // A device silent from 1.2 to 4.2 s: reported once the silence has lasted 2 s and again when frames come back;
      // the frames lost meanwhile are estimated at the end.
      {"a silence", "--die=6", "FAKE_CORVIA_PAUSE=1.2:4.2", 0, [](const std::string &err, const std::string &out) {
         EXPECT_TRUE(std::regex_search(err, std::regex(
             "capture_corvia warning: no frames from the amplifier for 2.0 seconds; check that it is switched on and "
             "connected \\(CorviaLog.txt has the device library's log\\)\n(.|\n)*capture_corvia info: frames arrive "
             "again after [23].[05] seconds without\n"))) << err;
         std::smatch m;
         EXPECT_TRUE(std::regex_search(err, m, std::regex(
             "capture_corvia warning: ([0-9]+) frames written over [0-9.]+ seconds, about ([0-9]+) \\([0-9.]+%\\) fewer "
             "than the amplifier's 2048 per second: frames were lost before they reached the capture buffer\n")));
         EXPECT_TRUE(m.size() == 3 && std::abs(std::stod(m[2]) - 3 * 2048) < 150) << err;
         EXPECT_TRUE(m.size() == 3 && std::stoull(m[1]) == parse_frames(out).size());
         return -1ll;
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    auto opts = in_dir(dir);
    if (*c.env) opts.env[std::string(c.env, strchr(c.env, '='))] = strchr(c.env, '=') + 1;
    Args args = {"--tee=" + dir.file("copy.raw")};
    if (*c.die) args.push_back(c.die);
    const auto t0 = std::chrono::steady_clock::now();
    testsupport::Background bg(program_copy(dir, FAKE_CORVIA_DLL), args, opts);
    if (c.signal) {
      ASSERT_TRUE(bg.wait_for("fake CorviaDLL: StartCorviaDevice\n", 10, true)) << bg.err();
      std::this_thread::sleep_for(std::chrono::milliseconds(800));
      bg.signal(c.signal);
    }
    ASSERT_EQ(bg.wait(20), 0) << bg.err();
    EXPECT_LT(seconds_since(t0), c.signal ? 5.0 : atoi(c.die + 6) + 4.0);
    EXPECT_GE(seconds_since(t0), c.signal ? 0.8 : atoi(c.die + 6) - 0.05);
    const std::string out = bg.out(), err = std::regex_replace(bg.err(), std::regex("-nan"), "nan");
    EXPECT_TRUE(read_file(dir.file("copy.raw")) == out);
    ASSERT_GT(delivered_frames(err), 1000) << err;
    const long long dropped = c.check(err, out);
    if (dropped >= 0) expect_fake_frames(out, delivered_frames(err), dropped ? 20478 : 0, dropped);
  }
}

}  // namespace
