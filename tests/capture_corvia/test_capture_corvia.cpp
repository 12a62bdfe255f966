// capture_corvia as a program: replay (byte-identical output and copy, block
// pacing, --die, a truncated tail), option and file errors, stop and capture
// mode without a device library, and capture mode end to end with a fake
// device library that delivers known frames at 2048 per second.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "corvia.h"
#include "live_support.h"
#include "testsupport.h"
#include "win32.h"

namespace {

using live::parse_frames;
using testsupport::bin_path;
using testsupport::read_file;
using testsupport::run;
using testsupport::TempDir;
using testsupport::write_file;

const char expected_help[] =
    "\ncapture_corvia - capture data from corvia device, taking the 6 standard "
    "signals from channels C to H  (usually ECG, EMG, SC, Temp, BVP, Resp), "
    "all with 2048 kHz. For each frame, the capture time is encoded in 8 "
    "Bytes, and then 6 signals (a float each) follow. That is the input "
    "format e.g. for corvia_signals.\nusage: capture_corvia [OPTIONS]\n\n"
    "OPTIONS:\n    --help, -h     Display this help.\n    --verbose      "
    "Verbose output.\n    --read=FILE, -r FILE\n                   replay "
    "contents of FILE instead reading from corvia (for testing under Linux or "
    "without the device)\n    --tee=FILE, -t FILE\n                   write a "
    "copy of the output stream to FILE (like unix \"tee\"\n    --die=NUM, -d "
    "NUM\n                   stop capturing after NUM seconds.\n    --stop    "
    "     Stop the corvia device and exit. Useful if capture_corvia crashed "
    "during recording.\n\n";

// `n` distinct frames, the way a recording looks: time stamps 1/2048 s apart.
std::string make_frames(int n) {
  std::string bytes;
  for (int k = 0; k < n; k++) {
    corvia_data f;
    f.time.tv_sec = 1700000000 + k / 2048;
    f.time.tv_usec = (int32_t)((int64_t)(k % 2048) * 1000000 / 2048);
    for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++)
      f.data[j] = (float)k + 0.125f * (float)j;
    bytes.append((const char *)&f, sizeof f);
  }
  return bytes;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
      .count();
}

std::string system_text(DWORD code) {
  char text[512];
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// glibc prints the not-a-number of 0/0 as "-nan"; either spelling is fine.
std::string normalise_nan(std::string s) {
  return std::regex_replace(s, std::regex("-nan"), "nan");
}

// A copy of capture_corvia in a folder of its own, where the library loader
// finds `library` (or no device library at all) next to it.
std::string program_copy(const TempDir &dir, const char *library) {
  namespace fs = std::filesystem;
  const std::string program = dir.file("capture_corvia");
  fs::copy_file(bin_path("capture_corvia"), program,
                fs::copy_options::overwrite_existing);
  fs::permissions(program, fs::perms::owner_all);
  if (library)
    fs::copy_file(library, dir.file("libCorviaDLL.so"),
                  fs::copy_options::overwrite_existing);
  return program;
}

testsupport::RunOptions in_dir(const TempDir &dir) {
  testsupport::RunOptions o;
  o.cwd = dir.path();
  o.env["LD_LIBRARY_PATH"] = "";
  o.timeout_seconds = 30;
  return o;
}

long long delivered_frames(const std::string &err) {
  std::smatch m;
  static const std::regex re("fake CorviaDLL: StopCorviaDevice: delivered ([0-9]+) frames");
  if (!std::regex_search(err, m, re)) return -1;
  return std::stoll(m[1]);
}

// Frames written by a capture from the fake library: the fake's frame k
// carries k * 16 + c in channel c, so raw signal j must be k * 16 + j + 2.
// Returns the frame numbers in output order.
std::vector<long long> fake_frame_numbers(const std::vector<corvia_data> &frames) {
  std::vector<long long> ks;
  for (size_t i = 0; i < frames.size(); i++) {
    const long long k = (long long)frames[i].data[0] / 16;
    for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++)
      EXPECT_EQ(frames[i].data[j], (float)(k * 16 + j + 2)) << "frame " << i;
    if (i > 0) {
      const double a = frames[i - 1].time.tv_sec + frames[i - 1].time.tv_usec * 1e-6;
      const double b = frames[i].time.tv_sec + frames[i].time.tv_usec * 1e-6;
      EXPECT_LE(a, b) << "time stamps go back at frame " << i;
    }
    ks.push_back(k);
  }
  return ks;
}

void expect_consecutive(const std::vector<long long> &ks, long long first,
                        size_t from, size_t to) {
  for (size_t i = from; i < to; i++)
    ASSERT_EQ(ks[i], first + (long long)(i - from)) << "at output frame " << i;
}

// A capture_corvia running in the background with its output in files, so
// that a test can signal it; the loader finds the library next to it only.
live::Process start_background(const std::string &program,
                               const std::vector<std::string> &args,
                               const TempDir &dir) {
  return live::spawn(program, args, {{"LD_LIBRARY_PATH", ""}}, dir.path(),
                     dir.file("bg.out"), dir.file("bg.err"));
}

using live::wait_exit;
using live::wait_for_text;

// ---------------------------------------------------------------------------

TEST(CaptureCorviaOptions, HelpGoesToStandardErrorWithStatusZero) {
  for (const char *opt : {"--help", "-h"}) {
    auto r = run(bin_path("capture_corvia"), {opt});
    EXPECT_EQ(r.status, 0) << opt;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expected_help);
  }
}

TEST(CaptureCorviaOptions, BadCommandLinesFail) {
  auto r = run(bin_path("capture_corvia"), {"--bogus"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("unrecognized option '--bogus'"), std::string::npos) << r.err;

  r = run(bin_path("capture_corvia"), {"-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos) << r.err;

  r = run(bin_path("capture_corvia"), {"-r"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("option requires an argument -- 'r'"), std::string::npos)
      << r.err;

  r = run(bin_path("capture_corvia"), {"--die"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("option '--die' requires an argument"), std::string::npos)
      << r.err;

  r = run(bin_path("capture_corvia"), {"recording.raw"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "capture_corvia error: unexpected argument 'recording.raw' "
                   "(see --help)\n");
  EXPECT_EQ(r.out, "");
}

TEST(CaptureCorviaOptions, FilesThatCannotBeOpened) {
  TempDir dir;
  const std::string missing = dir.file("no/such/file.raw");
  auto r = run(bin_path("capture_corvia"), {"--read=" + missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, missing + ": No such file or directory\n");

  r = run(bin_path("capture_corvia"), {"-t", missing, "-r", "/dev/null"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, missing + ": No such file or directory\n");

  // A folder opens but cannot be read: a read error of the replay file.
  r = run(bin_path("capture_corvia"), {"--read", dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, dir.path() + ": Is a directory\n");
  EXPECT_EQ(r.out, "");
}

// ---------------------------------------------------------------------------
// Replay

TEST(CaptureCorviaReplay, TwoFullBlocksArePacedAndCopiedExactly) {
  TempDir dir;
  const std::string data = make_frames(4096);
  write_file(dir.file("in.raw"), data);
  const auto t0 = std::chrono::steady_clock::now();
  auto r = run(bin_path("capture_corvia"),
               {"--read=" + dir.file("in.raw"), "--tee=" + dir.file("copy.raw")});
  const double elapsed = seconds_since(t0);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == data) << "stdout differs from the recording";
  EXPECT_TRUE(read_file(dir.file("copy.raw")) == data) << "copy differs";
  EXPECT_EQ(r.err,
            "capture_corvia: 0.000000 seconds\ncapture_corvia: 1.000000 seconds\n");
  // One sleep of a second after each full block.
  EXPECT_GE(elapsed, 1.9);
  EXPECT_LT(elapsed, 4.0);
}

TEST(CaptureCorviaReplay, PartialLastBlockEndsTheReplay) {
  TempDir dir;
  const std::string data = make_frames(3000);
  write_file(dir.file("in.raw"), data);
  const auto t0 = std::chrono::steady_clock::now();
  auto r = run(bin_path("capture_corvia"), {"-r", dir.file("in.raw")});
  const double elapsed = seconds_since(t0);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == data);
  EXPECT_EQ(r.err, "capture_corvia: 0.000000 seconds\n");
  EXPECT_GE(elapsed, 0.95);
  EXPECT_LT(elapsed, 3.0);
}

TEST(CaptureCorviaReplay, EmptyRecordingWritesNothing) {
  TempDir dir;
  write_file(dir.file("in.raw"), "");
  auto r = run(bin_path("capture_corvia"), {"--read", dir.file("in.raw")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(CaptureCorviaReplay, DieStopsAfterTheBlockThatReachesTheLimit) {
  TempDir dir;
  const std::string data = make_frames(5 * 2048);
  write_file(dir.file("in.raw"), data);
  const auto t0 = std::chrono::steady_clock::now();
  auto r = run(bin_path("capture_corvia"), {"--read=" + dir.file("in.raw"), "-d", "1"});
  const double elapsed = seconds_since(t0);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == data.substr(0, 2 * 2048 * 32));
  EXPECT_EQ(r.err,
            "capture_corvia: 0.000000 seconds\ncapture_corvia: 1.000000 "
            "seconds\nexiting due to --die option\n");
  EXPECT_GE(elapsed, 0.95);
  EXPECT_LT(elapsed, 3.0);
}

TEST(CaptureCorviaReplay, TruncatedTailIsWrittenUpToTheLastFrameThenReported) {
  TempDir dir;
  const std::string data = make_frames(2048 + 100);
  write_file(dir.file("in.raw"), data + data.substr(0, 7));
  auto r = run(bin_path("capture_corvia"),
               {"--read=" + dir.file("in.raw"), "--tee=" + dir.file("copy.raw")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out == data);
  EXPECT_TRUE(read_file(dir.file("copy.raw")) == data);
  EXPECT_EQ(r.err, "capture_corvia: 0.000000 seconds\ncapture_corvia error: " +
                       dir.file("in.raw") +
                       ": recording ends in an incomplete frame: only 7 of 32 "
                       "bytes\n");

  // A tail within the first block.
  write_file(dir.file("short.raw"), data.substr(0, 3 * 32 + 31));
  r = run(bin_path("capture_corvia"), {"--read=" + dir.file("short.raw")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out == data.substr(0, 3 * 32));
  EXPECT_EQ(r.err, "capture_corvia error: " + dir.file("short.raw") +
                       ": recording ends in an incomplete frame: only 31 of 32 "
                       "bytes\n");
}

TEST(CaptureCorviaReplay, WriteFailuresAreReported) {
  TempDir dir;
  write_file(dir.file("in.raw"), make_frames(100));
  auto r = run("/bin/sh", {"-c", "exec \"$0\" --read=\"$1\" > /dev/full",
                           bin_path("capture_corvia"), dir.file("in.raw")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "stdout: No space left on device\n");

  r = run(bin_path("capture_corvia"), {"--read=" + dir.file("in.raw"), "--tee=/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "/dev/full: No space left on device\n");

  // A full block goes to standard output in one write, which fails at once.
  write_file(dir.file("big.raw"), make_frames(2048));
  r = run("/bin/sh", {"-c", "exec \"$0\" --read=\"$1\" > /dev/full",
                      bin_path("capture_corvia"), dir.file("big.raw")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "stdout: No space left on device\n");
}

TEST(CaptureCorviaReplay, ReadsFromAPipe) {
  TempDir dir;
  const std::string data = make_frames(500);
  auto r = run(bin_path("capture_corvia"), {"--read=/dev/stdin"}, data);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == data);
}

// ---------------------------------------------------------------------------
// Stop mode and capture mode

// The second line after a failed binding: what the library is and where it
// is looked for.
std::string load_hint() {
  return "capture_corvia: the device library CorviaDLL.dll is the file "
         "libCorviaDLL.so (with libKestoSerial.so), looked for next to "
         "capture_corvia, in ../lib beside it and then on the system's library "
         "path: build it (ninja CorviaDLL KestoSerial) or install the programs "
         "with make install\n";
}

std::string could_not_load() {
  return "read_corvia: could not load dll CorviaDLL.dll: error 126: " +
         system_text(126) + "\n" + load_hint();
}

TEST(CaptureCorviaDevice, WithoutTheDeviceLibrary) {
  TempDir dir;
  const std::string program = program_copy(dir, nullptr);
  EXPECT_EQ(system_text(126), "The specified module could not be found.");

  auto r = run(program, {"--stop"}, "", in_dir(dir));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "capture_corvia: just stopping corvia device...\n"
                   "capture_corvia init...\n" + could_not_load());

  r = run(program, {}, "", in_dir(dir));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "capture_corvia init...\n" + could_not_load());
  EXPECT_EQ(r.out, "");
}

TEST(CaptureCorviaDevice, LibraryWithoutAllFunctions) {
  TempDir dir;
  const std::string program = program_copy(dir, FAKE_CORVIA_DLL_INCOMPLETE);
  auto r = run(program, {"--die=1"}, "", in_dir(dir));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "capture_corvia init...\nread_corvia: could not load all functions!\n" + load_hint());
}

TEST(CaptureCorviaDevice, StopModeTakesPrecedenceOverReplay) {
  TempDir dir;
  const std::string program = program_copy(dir, FAKE_CORVIA_DLL);
  write_file(dir.file("in.raw"), make_frames(10));
  auto r = run(program, {"--read=" + dir.file("in.raw"), "--stop"}, "", in_dir(dir));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(normalise_nan(r.err),
            "capture_corvia: just stopping corvia device...\n"
            "capture_corvia init...\n"
            "fake CorviaDLL: InitCorviaDevice\n"
            "capture_corvia stop...\n"
            "corvia_capture_stop info: max buffer fill was 0.0%, missed frames = 0\n"
            "corvia_capture_stop info: seconds with irregular samplingrate: 0 of 0 = nan%\n"
            "stopping device...\n"
            "fake CorviaDLL: StopCorviaDevice: delivered 0 frames\n"
            "capture_corvia exit\n");
}

TEST(CaptureCorviaDevice, DieWritesEveryDeliveredFrame) {
  TempDir dir;
  const std::string program = program_copy(dir, FAKE_CORVIA_DLL);
  const auto t0 = std::chrono::steady_clock::now();
  auto r = run(program, {"--die=1", "--tee", dir.file("copy.raw")}, "", in_dir(dir));
  const double elapsed = seconds_since(t0);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GE(elapsed, 0.95);
  EXPECT_LT(elapsed, 5.0);
  EXPECT_TRUE(read_file(dir.file("copy.raw")) == r.out);

  const auto frames = parse_frames(r.out);
  const long long delivered = delivered_frames(r.err);
  ASSERT_GT(delivered, 1500) << r.err;
  ASSERT_EQ((long long)frames.size(), delivered) << r.err;
  const auto ks = fake_frame_numbers(frames);
  expect_consecutive(ks, 0, 0, ks.size());

  // Three passes (0, 0.5 and 1 seconds), then the stop.
  std::regex pass_re(
      "available = ([0-9]+)\ncapture_corvia: ([0-9.]+) seconds\n");
  std::vector<int> available;
  std::vector<std::string> seconds;
  for (auto it = std::sregex_iterator(r.err.begin(), r.err.end(), pass_re);
       it != std::sregex_iterator(); ++it) {
    available.push_back(std::stoi((*it)[1]));
    seconds.push_back((*it)[2]);
  }
  ASSERT_EQ(seconds, (std::vector<std::string>{"0.000000", "0.500000", "1.000000"}))
      << r.err;
  // The device delivers 2048 frames per second; a pass every half second.
  EXPECT_GT(available[1], 700);
  EXPECT_LT(available[1], 1400);
  EXPECT_EQ(r.err.find("capture_corvia init...\nfake CorviaDLL: InitCorviaDevice\n"
                       "capture_corvia installed CTRL-C handler.\n"
                       "capture_corvia start...\nfake CorviaDLL: StartCorviaDevice\n"),
            0u)
      << r.err;
  const std::string tail = r.err.substr(r.err.find("capture_corvia: 1.000000 seconds\n"));
  EXPECT_TRUE(std::regex_match(
      tail, std::regex("capture_corvia: 1.000000 seconds\n"
                       "exiting due to --die option\n"
                       "corvia_capture_stop info: max buffer fill was [0-9.]+%, "
                       "missed frames = 0\n"
                       "corvia_capture_stop info: seconds with irregular "
                       "samplingrate: 0 of [12] = 0.0%\n"
                       "stopping device...\n"
                       "fake CorviaDLL: StopCorviaDevice: delivered [0-9]+ frames\n")))
      << tail;
}

void check_interrupt(int signal_number) {
  TempDir dir;
  const std::string program = program_copy(dir, FAKE_CORVIA_DLL);
  live::Process bg = start_background(program, {"--tee=" + dir.file("copy.raw")}, dir);
  ASSERT_GT(bg.pid, 0);
  ASSERT_TRUE(wait_for_text(bg.err_path, "fake CorviaDLL: StartCorviaDevice\n", 10))
      << read_file(bg.err_path);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  kill(bg.pid, signal_number);
  const int status = wait_exit(bg.pid, 10);
  const std::string out = read_file(bg.out_path);
  const std::string err = read_file(bg.err_path);
  ASSERT_EQ(status, 0) << err;
  EXPECT_TRUE(read_file(dir.file("copy.raw")) == out);

  const auto frames = parse_frames(out);
  const long long delivered = delivered_frames(err);
  ASSERT_GT(delivered, 1000) << err;
  ASSERT_EQ((long long)frames.size(), delivered) << err;
  const auto ks = fake_frame_numbers(frames);
  expect_consecutive(ks, 0, 0, ks.size());

  const size_t request = err.find("capture_corvia: exit request - shutting down corvia...\n");
  ASSERT_NE(request, std::string::npos) << err;
  const std::string shutdown = err.substr(request);
  // The statistics and the device stop come between the request and the
  // goodbye line; after it only the main loop's last pass is printed.
  EXPECT_TRUE(std::regex_match(
      shutdown,
      std::regex("capture_corvia: exit request - shutting down corvia...\n"
                 "(available = [0-9]+\ncapture_corvia: [0-9.]+ seconds\n)*"
                 "corvia_capture_stop info: max buffer fill was [0-9.]+%, "
                 "missed frames = 0\n"
                 "(available = [0-9]+\ncapture_corvia: [0-9.]+ seconds\n)*"
                 "corvia_capture_stop info: seconds with irregular samplingrate: "
                 "0 of [0-9]+ = [-a-z0-9.]+%\n"
                 "(available = [0-9]+\ncapture_corvia: [0-9.]+ seconds\n)*"
                 "stopping device...\n"
                 "(available = [0-9]+\ncapture_corvia: [0-9.]+ seconds\n)*"
                 "fake CorviaDLL: StopCorviaDevice: delivered [0-9]+ frames\n"
                 "(available = [0-9]+\ncapture_corvia: [0-9.]+ seconds\n)*"
                 "capture_corvia: ... done - goodbye\n"
                 "(available = [0-9]+\ncapture_corvia: [0-9.]+ seconds\n)+")))
      << shutdown;
}

TEST(CaptureCorviaDevice, CtrlCEndsWithStatusZeroAndEveryFrameWritten) {
  check_interrupt(SIGINT);
}

TEST(CaptureCorviaDevice, CtrlBreakEndsWithStatusZeroAndEveryFrameWritten) {
  check_interrupt(SIGTERM);
}

TEST(CaptureCorviaDevice, OverfullBufferDropsFramesAndWarns) {
  TempDir dir;
  const std::string program = program_copy(dir, FAKE_CORVIA_DLL);
  auto opts = in_dir(dir);
  opts.env["FAKE_CORVIA_INITIAL_BURST"] = "25000";
  auto r = run(program, {"--die=1"}, "", opts);
  EXPECT_EQ(r.status, 0) << r.err;
  // The burst arrives before the first pass: the ring keeps 20478 frames
  // and drops the rest of it (4522 frames; more only if the main loop were
  // slower than the device's next 20-ms batch).
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      r.err, m,
      std::regex("capture_corvia warning: buffer 99.990234% full; "
                 "num_missed = ([0-9]+)\navailable = 20478\n")))
      << r.err.substr(0, 2000);
  EXPECT_GE(std::stoll(m[1]), 4522);
  EXPECT_EQ(r.err.find("available = "), r.err.find("available = 20478\n"))
      << "the warning belongs to the first pass";
  ASSERT_TRUE(std::regex_search(
      r.err, m,
      std::regex("corvia_capture_stop info: max buffer fill was 100.0%, "
                 "missed frames = ([0-9]+)\n")))
      << r.err;
  const long long missed = std::stoll(m[1]);
  EXPECT_GE(missed, 4522);
  EXPECT_LT(missed, 4522 + 2048);
  // Blocks that arrived at once are reported as irregular.
  EXPECT_NE(r.err.find(std::string(80, '!') +
                       "\n corvia_capture_process_data error: milliseconds_diff = "),
            std::string::npos);

  const auto frames = parse_frames(r.out);
  const long long delivered = delivered_frames(r.err);
  ASSERT_EQ((long long)frames.size(), delivered - missed);
  const auto ks = fake_frame_numbers(frames);
  expect_consecutive(ks, 0, 0, 20478);
  expect_consecutive(ks, 20478 + missed, 20478, ks.size());
}

// A device that falls silent for a while: the silence is reported when it
// has lasted 2 s and again when frames come back, and the frames lost
// meanwhile are estimated at the end.
TEST(CaptureCorviaDevice, SilenceAndLostFramesAreReported) {
  TempDir dir;
  const std::string program = program_copy(dir, FAKE_CORVIA_DLL);
  auto opts = in_dir(dir);
  opts.env["FAKE_CORVIA_PAUSE"] = "1.2:4.2";
  auto r = run(program, {"--die=6"}, "", opts);
  EXPECT_EQ(r.status, 0) << r.err;
  std::smatch m;
  EXPECT_TRUE(std::regex_search(
      r.err, m,
      std::regex("capture_corvia warning: no frames from the amplifier for 2.0 seconds; check "
                 "that it is switched on and connected \\(CorviaLog.txt has the device "
                 "library's log\\)\n(.|\n)*capture_corvia info: frames arrive again after "
                 "(2.5|3.0) seconds without\n")))
      << r.err;
  ASSERT_TRUE(std::regex_search(
      r.err, m,
      std::regex("capture_corvia warning: ([0-9]+) frames written over ([0-9.]+) seconds, about "
                 "([0-9]+) \\([0-9.]+%\\) fewer than the amplifier's 2048 per second: frames "
                 "were lost before they reached the capture buffer\n")))
      << r.err;
  EXPECT_EQ(std::stoll(m[1]), (long long)parse_frames(r.out).size());
  EXPECT_NEAR(std::stod(m[3]), 3 * 2048, 150);
}

}  // namespace
