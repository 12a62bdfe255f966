// capture_corvia: writes the raw recording of the amplifier's six standard
// signals to standard output (optionally also to a copy file), replays a
// recording at one second per second, or stops a device left running.
#include <getopt.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "corvia.h"
#include "win32.h"

namespace {

const char *const progname = "capture_corvia";

const char help_text[] =
    "\ncapture_corvia - capture data from corvia device, taking the 6 standard "
    "signals from channels C to H  (usually ECG, EMG, SC, Temp, BVP, Resp), "
    "all with 2048 kHz. For each frame, the capture time is encoded in 8 "
    "Bytes, and then 6 signals (a float each) follow. That is the input "
    "format e.g. for corvia_signals.\n"
    "usage: capture_corvia [OPTIONS]\n"
    "\n"
    "OPTIONS:\n"
    "    --help, -h     Display this help.\n"
    "    --verbose      Verbose output.\n"
    "    --read=FILE, -r FILE\n"
    "                   replay contents of FILE instead reading from corvia "
    "(for testing under Linux or without the device)\n"
    "    --tee=FILE, -t FILE\n"
    "                   write a copy of the output stream to FILE (like unix "
    "\"tee\"\n"
    "    --die=NUM, -d NUM\n"
    "                   stop capturing after NUM seconds.\n"
    "    --stop         Stop the corvia device and exit. Useful if "
    "capture_corvia crashed during recording.\n"
    "\n";

const int frames_per_block = CORVIA_FRAMES_PER_SECOND;
// Passes of 0.5 s without a frame before the silence is reported.
const int silent_passes_reported = 4;
const int frame_bytes = (int)sizeof(corvia_data);

struct options {
  int verbose = 0;
  int stop = 0;
  int ignore_apriori = 0;
  const char *read_name = nullptr;
  FILE *read = nullptr;
  const char *tee_name = nullptr;
  FILE *tee = nullptr;
  int die = 0;
};

options opts;

// Shutdown coordination between the main loop and the console-control
// thread. The device is stopped exactly once, by whoever comes first; the
// mutex also keeps a Ctrl-C during start-up from racing the device start.
std::mutex device_mutex;
bool exit_requested = false;  // guarded by device_mutex
bool device_stopped = false;  // guarded by device_mutex
// Set after the goodbye line: the device delivers no more frames, so the
// main loop writes out what is buffered and ends the program.
std::atomic<bool> shutdown_complete{false};

void stop_device_once() {
  std::lock_guard<std::mutex> lock(device_mutex);
  if (device_stopped) return;
  device_stopped = true;
  corvia_capture_stop();
}

BOOL console_control_handler(DWORD ctrl_type) {
  if (ctrl_type != CTRL_C_EVENT && ctrl_type != CTRL_BREAK_EVENT) return FALSE;
  fprintf(stderr, "%s: exit request - shutting down corvia...\n", progname);
  fflush(stderr);
  {
    std::lock_guard<std::mutex> lock(device_mutex);
    exit_requested = true;
    if (!device_stopped) {
      device_stopped = true;
      corvia_capture_stop();
    }
  }
  fprintf(stderr, "%s: ... done - goodbye\n", progname);
  fflush(stderr);
  shutdown_complete.store(true, std::memory_order_release);
  return TRUE;
}

FILE *open_or_die(const char *name, const char *mode) {
  FILE *f = fopen(name, mode);
  if (!f) {
    perror(name);
    exit(1);
  }
  return f;
}

void flush_stdout_or_die() {
  if (fflush(stdout) != 0) {
    perror("stdout");
    exit(1);
  }
}

// Writes `n` frames to standard output and to the copy file.
void write_frames(const void *frames, size_t n) {
  if (n == 0) return;
  if (fwrite(frames, frame_bytes, n, stdout) != n) {
    perror("stdout");
    exit(1);
  }
  if (opts.tee && fwrite(frames, frame_bytes, n, opts.tee) != n) {
    perror(opts.tee_name);
    exit(1);
  }
}

// Everything written reaches its file before the program ends; a failure
// there is reported, never lost.
[[noreturn]] void finish_and_exit(int status) {
  flush_stdout_or_die();
  if (opts.tee) {
    if (fclose(opts.tee) != 0) {
      perror(opts.tee_name);
      exit(1);
    }
    opts.tee = nullptr;
  }
  exit(status);
}

void parse_options(int argc, char **argv) {
  static const struct option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"verbose", no_argument, nullptr, 'v'},
      {"stop", no_argument, nullptr, 's'},
      {"ignore-apriori", no_argument, nullptr, 'i'},
      {"read", required_argument, nullptr, 'r'},
      {"tee", required_argument, nullptr, 't'},
      {"die", required_argument, nullptr, 'd'},
      {nullptr, 0, nullptr, 0}};
  for (;;) {
    int c = getopt_long(argc, argv, "hr:d:t:", long_options, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h':
        fputs(help_text, stderr);
        exit(0);
      case 'v':
        opts.verbose = 1;
        break;
      case 's':
        opts.stop = 1;
        break;
      case 'i':
        opts.ignore_apriori = 1;
        break;
      case 'r':
        if (opts.read) fclose(opts.read);
        opts.read_name = optarg;
        opts.read = open_or_die(optarg, "rb");
        break;
      case 't':
        if (opts.tee) fclose(opts.tee);
        opts.tee_name = optarg;
        opts.tee = open_or_die(optarg, "wb");
        break;
      case 'd':
        opts.die = atoi(optarg);
        break;
      case '?':
        // getopt_long has said what was wrong.
        exit(1);
      default:
        fprintf(stderr, "%s error: unknown option -%c\n", progname, c);
        exit(1);
    }
  }
  if (optind < argc) {
    // The program takes no file arguments (a recording to replay is given
    // with --read); starting the device on a mistyped command line would be
    // worse than stopping.
    fprintf(stderr, "%s error: unexpected argument '%s' (see --help)\n",
            progname, argv[optind]);
    exit(1);
  }
}

// The last line the device library wrote to its log, "" without one.
std::string last_log_line() {
  FILE *f = fopen("CorviaLog.txt", "rb");
  if (!f) return "";
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  std::string last;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    const size_t a = line.find_first_not_of(" \t\r");
    if (a != std::string::npos)
      last = line.substr(a, line.find_last_not_of(" \t\r") - a + 1);
    start = end + 1;
  }
  return last;
}

// The device library keeps the reason for a failed initialisation in its
// log only; the user is told here, and where to look.
[[noreturn]] void init_failed(int result) {
  const std::string line = last_log_line();
  fprintf(stderr,
          "%s error: the amplifier could not be initialised (InitCorviaDevice "
          "returned %d)%s%s%s\n"
          "%s error: see CorviaLog.txt in the working directory; check that "
          "the amplifier is switched on and connected, and that its serial "
          "port has a COM name from COM1 to COM12 (corvia_ports lists them)\n",
          progname, result, line.empty() ? "" : ": \"", line.c_str(),
          line.empty() ? "" : "\"", progname);
  finish_and_exit(1);
}

// corvia_capture_init ends the program itself when the device library
// cannot be loaded; its message is then followed by what to do. Main thread
// only: the flag is set and cleared around the one call.
bool loading_device_library = false;

void hint_at_device_library() {
  if (!loading_device_library) return;
  fprintf(stderr,
          "%s: the device library CorviaDLL.dll is the file libCorviaDLL.so "
          "(with libKestoSerial.so), looked for next to %s, in ../lib beside "
          "it and then on the system's library path: build it (ninja "
          "CorviaDLL KestoSerial) or "
          "install the programs with make install\n",
          progname, progname);
}

int init_device() {
  atexit(hint_at_device_library);
  loading_device_library = true;
  const int result = corvia_capture_init();
  loading_device_library = false;
  return result;
}

int run_stop_mode() {
  fprintf(stderr, "%s: just stopping corvia device...\n", progname);
  fflush(stderr);
  fprintf(stderr, "%s init...\n", progname);
  fflush(stderr);
  if (const int result = init_device()) init_failed(result);
  fprintf(stderr, "%s stop...\n", progname);
  fflush(stderr);
  corvia_capture_stop();
  fprintf(stderr, "%s exit\n", progname);
  fflush(stderr);
  finish_and_exit(0);
}

int run_replay_mode() {
  const size_t block_bytes = (size_t)frames_per_block * frame_bytes;
  std::vector<unsigned char> block(block_bytes);
  double n = 0.0;
  for (;;) {
    const size_t got = fread(block.data(), 1, block_bytes, opts.read);
    if (got < block_bytes && !feof(opts.read)) {
      perror(opts.read_name);
      exit(1);
    }
    const size_t frames = got / frame_bytes;
    const size_t tail = got % frame_bytes;
    write_frames(block.data(), frames);
    if (frames < (size_t)frames_per_block) {
      if (tail != 0) {
        // Every complete frame has been written; the rest of a frame at the
        // end means a damaged or cut-off recording.
        flush_stdout_or_die();
        fprintf(stderr,
                "%s error: %s: recording ends in an incomplete frame: only "
                "%d of %d bytes\n",
                progname, opts.read_name, (int)tail, frame_bytes);
        finish_and_exit(1);
      }
      finish_and_exit(0);
    }
    flush_stdout_or_die();
    fprintf(stderr, "%s: %f seconds\n", progname, n);
    if (opts.die != 0 && n >= opts.die) {
      fprintf(stderr, "exiting due to --die option\n");
      finish_and_exit(0);
    }
    Sleep(1000);
    n += 1.0;
  }
}

// What capture mode has written: the count and the capture times of the
// first and the last frame (main thread only).
struct written_frames {
  long long n = 0;
  corvia_timeval first = {0, 0}, last = {0, 0};
};
written_frames captured;

// Moves `available` buffered frames to the outputs.
void drain_frames(int available) {
  corvia_data frame;
  for (int i = 0; i < available; i++) {
    if (!corvia_capture_get_standard_signals(&frame)) {
      fprintf(stderr,
              "%s error: internal error: frame %d of %d announced as "
              "available could not be fetched\n",
              progname, i, available);
      exit(1);
    }
    write_frames(&frame, 1);
    if (captured.n++ == 0) captured.first = frame.time;
    captured.last = frame.time;
  }
}

// Frames lost before they reached the capture buffer (damaged on the serial
// line, dropped by the server) show only as fewer frames than the device's
// 2048 per second over the time they span. The server delivers in batches
// every 20 ms, so small shortfalls are pacing, not loss.
void report_shortfall() {
  if (captured.n < 2) return;
  const double span = (captured.last.tv_sec - captured.first.tv_sec) +
                      (captured.last.tv_usec - captured.first.tv_usec) * 1e-6;
  const long long expected = llround(span * CORVIA_FRAMES_PER_SECOND) + 1;
  const long long missing = expected - captured.n;
  if (missing > 50 && missing * 200 > expected) {
    fprintf(stderr,
            "%s warning: %lld frames written over %.1f seconds, about %lld "
            "(%.1f%%) fewer than the amplifier's %d per second: frames were "
            "lost before they reached the capture buffer\n",
            progname, captured.n, span, missing, missing * 100.0 / expected,
            CORVIA_FRAMES_PER_SECOND);
    fflush(stderr);
  }
}

// A front end that falls silent leaves the loop printing "available = 0":
// the silence is said once when it has lasted two seconds, and again when
// frames come back.
void report_silence(int available, int *silent_passes) {
  if (available > 0) {
    if (*silent_passes >= silent_passes_reported) {
      fprintf(stderr, "%s info: frames arrive again after %.1f seconds without\n",
              progname, *silent_passes * 0.5);
      fflush(stderr);
    }
    *silent_passes = 0;
    return;
  }
  if (++*silent_passes == silent_passes_reported) {
    fprintf(stderr,
            "%s warning: no frames from the amplifier for %.1f seconds; check "
            "that it is switched on and connected (CorviaLog.txt has the "
            "device library's log)\n",
            progname, *silent_passes * 0.5);
    fflush(stderr);
  }
}

int run_capture_mode() {
  fprintf(stderr, "%s init...\n", progname);
  fflush(stderr);
  if (const int result = init_device()) init_failed(result);
  if (!SetConsoleCtrlHandler(console_control_handler, TRUE)) {
    fprintf(stderr,
            "%s error: could not install signal handler "
            "(!SetConsoleCtrlHandler)!\n",
            progname);
    exit(1);
  }
  fprintf(stderr, "%s installed CTRL-C handler.\n", progname);
  fprintf(stderr, "%s start...\n", progname);
  fflush(stderr);
  {
    std::lock_guard<std::mutex> lock(device_mutex);
    if (!exit_requested) corvia_capture_start();
  }
  double n = 0.0;
  int silent_passes = 0;
  for (;;) {
    // Read before taking the count: once set, the device has stopped and
    // the count covers every frame it delivered.
    const bool finishing = shutdown_complete.load(std::memory_order_acquire);
    const int available = corvia_capture_get_num_available();
    if (available > corvia_capture_get_bufsize() / 2) {
      fprintf(stderr, "%s warning: buffer %f%% full; num_missed = %d\n",
              progname, available * 100.0 / corvia_capture_get_bufsize(),
              corvia_capture_get_missed());
      fflush(stderr);
    }
    fprintf(stderr, "available = %d\n", available);
    fflush(stderr);
    drain_frames(available);
    flush_stdout_or_die();
    fprintf(stderr, "%s: %f seconds\n", progname, n);
    fflush(stderr);
    if (finishing) {
      report_shortfall();
      finish_and_exit(0);
    }
    report_silence(available, &silent_passes);
    if (opts.die != 0 && n >= opts.die) {
      fprintf(stderr, "exiting due to --die option\n");
      fflush(stderr);
      stop_device_once();
      // Frames that arrived since the last pass are written too.
      drain_frames(corvia_capture_get_num_available());
      report_shortfall();
      finish_and_exit(0);
    }
    for (int i = 0; i < 50 && !shutdown_complete.load(); i++) Sleep(10);
    n += 0.5;
  }
}

}  // namespace

int main(int argc, char **argv) {
  parse_options(argc, argv);
  if (opts.stop) return run_stop_mode();
  if (opts.read) return run_replay_mode();
  return run_capture_mode();
}
