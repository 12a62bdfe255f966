// The capture buffer: a static ring of 20480 frames (10 s at 2048 frames per
// second) that the device library's delivery thread fills through
// corvia_capture_process_data and the program's main thread drains, with the
// statistics that tell whether a recording was complete, and the run-time
// binding of the device library.
//
// Single producer, single consumer, no lock. Only the callback writes
// pos_write, the slot contents and the statistics; only the consumer writes
// pos_read. The per-slot is_data flag hands a slot over: the producer stores
// it with release after the frame is in place, the consumer loads it with
// acquire before copying and stores 0 with release afterwards. The ring keeps
// two slots free, so the slot being written is never the slot being read.
#include "corvia.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "win32.h"

namespace {

struct corvia_capture_frame {
  float data[CORVIA_CAPTURE_NUM_CHANNELS];
  corvia_timeval t;
  std::atomic<int> is_data;
};

corvia_capture_frame corvia_capture_buffer[CORVIA_CAPTURE_BUFSIZE];

std::atomic<int> corvia_capture_buffer_is_initialized{0};
std::atomic<int> corvia_capture_buffer_pos_write{0};
std::atomic<int> corvia_capture_buffer_pos_read{0};

// Statistics: written by the producer only, read by the stop function, which
// may run on the console-control thread; relaxed atomics keep those reads
// well defined.
std::atomic<int> corvia_capture_frames_missed{0};
std::atomic<int> corvia_capture_buffer_maxfill{0};
std::atomic<int> corvia_capture_seconds_irregular{0};
std::atomic<int> corvia_capture_seconds_n{0};

// Producer-only block bookkeeping.
int corvia_capture_second_n_frames = 0;
corvia_timeval corvia_capture_lasttime = {0, 0};
corvia_timeval thistime = {0, 0};

// Positions in the device's 14 values of the amplifier's channels C to H,
// which become raw signals 0 to 5.
const int corvia_capture_standard_signal_indices[CORVIA_NUM_RAW_SIGNALS] = {
    2, 3, 4, 5, 6, 7};

// Entry points of the device library.
typedef uint16_t (*init_corvia_device_function)(corvia_process_data_function);
typedef uint16_t (*start_stop_corvia_device_function)(void);

std::atomic<init_corvia_device_function> InitCorviaDevice{nullptr};
std::atomic<start_stop_corvia_device_function> StartCorviaDevice{nullptr};
std::atomic<start_stop_corvia_device_function> StopCorviaDevice{nullptr};

const char corvia_dll_name[] = "CorviaDLL.dll";

int buffer_fill(int pos_write, int pos_read) {
  return (pos_write - pos_read + CORVIA_CAPTURE_BUFSIZE) %
         CORVIA_CAPTURE_BUFSIZE;
}

// Milliseconds since the epoch, from a time stamp.
int64_t timeval_ms(const corvia_timeval &tv) {
  return (int64_t)tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

void print_exclamation_line() {
  for (int i = 0; i < 80; i++) fputc('!', stderr);
  fputc('\n', stderr);
}

}  // namespace

void my_gettimeofday(corvia_timeval *tv, void * /*tz*/) {
  PRECONDITION(tv != nullptr);
  FILETIME ft_parts;
  GetSystemTimeAsFileTime(&ft_parts);
  const int64_t ft =
      (int64_t)(((uint64_t)ft_parts.dwHighDateTime << 32) |
                ft_parts.dwLowDateTime);
  tv->tv_usec = (int32_t)((ft / 10) % 1000000);
  tv->tv_sec = (int32_t)((ft - 116444736000000000LL) / 10000000);
}

void corvia_capture_process_data(int /*nSamples*/, int /*nChan*/,
                                 float *fData) {
  if (!corvia_capture_buffer_is_initialized.load(std::memory_order_acquire)) {
    fprintf(stderr,
            "corvia_capture_process_data error: corvia_init_buffer wasn't "
            "called!\n");
    exit(1);
  }
  const int pos_write =
      corvia_capture_buffer_pos_write.load(std::memory_order_relaxed);
  corvia_capture_frame &slot = corvia_capture_buffer[pos_write];
  my_gettimeofday(&thistime, nullptr);
  if (slot.is_data.load(std::memory_order_acquire)) {
    fprintf(stderr,
            "corvia_capture_process_data implementation error: buffer is not "
            "empty! (readpos = %ld, writepos = %ld\n",
            (long)corvia_capture_buffer_pos_read.load(),
            (long)pos_write);
    exit(1);
  }
  slot.t = thistime;
  memcpy(slot.data, fData, sizeof slot.data);

  const int pos_read =
      corvia_capture_buffer_pos_read.load(std::memory_order_acquire);
  int new_pos_write = pos_write;
  if ((pos_write + 2) % CORVIA_CAPTURE_BUFSIZE == pos_read) {
    // Full: storing this frame would leave only one free slot. The frame is
    // dropped and counted; the slot is never handed over.
    corvia_capture_frames_missed.fetch_add(1, std::memory_order_relaxed);
  } else {
    slot.is_data.store(1, std::memory_order_release);
    new_pos_write = (pos_write + 1) % CORVIA_CAPTURE_BUFSIZE;
    corvia_capture_buffer_pos_write.store(new_pos_write,
                                          std::memory_order_release);
  }

  const int fill = buffer_fill(new_pos_write, pos_read);
  if (fill > corvia_capture_buffer_maxfill.load(std::memory_order_relaxed))
    corvia_capture_buffer_maxfill.store(fill, std::memory_order_relaxed);

  const int seconds_n =
      corvia_capture_seconds_n.load(std::memory_order_relaxed);
  if (corvia_capture_second_n_frames == 0 && seconds_n == 0)
    corvia_capture_lasttime = thistime;  // first frame after start

  corvia_capture_second_n_frames++;
  if (corvia_capture_second_n_frames == CORVIA_FRAMES_PER_SECOND) {
    corvia_capture_second_n_frames = 0;
    const int milliseconds_diff =
        (int)(timeval_ms(thistime) - timeval_ms(corvia_capture_lasttime));
    if (milliseconds_diff < 900 || milliseconds_diff > 1100) {
      print_exclamation_line();
      fprintf(stderr, " %s error: milliseconds_diff = %d (should be 1000)!!!\n",
              "corvia_capture_process_data", milliseconds_diff);
      print_exclamation_line();
      fflush(stderr);
      corvia_capture_seconds_irregular.fetch_add(1, std::memory_order_relaxed);
    }
    corvia_capture_seconds_n.store(seconds_n + 1, std::memory_order_relaxed);
    corvia_capture_lasttime = thistime;
  }
}

int corvia_capture_init() {
  HMODULE library = LoadLibraryA(corvia_dll_name);
  if (library == nullptr) {
    const DWORD code = GetLastError();
    char text[512];
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, text, sizeof text, nullptr);
    if (n >= sizeof text) n = sizeof text - 1;
    text[n] = '\0';
    // The system's text ends in a line break of its own; the message ends
    // in exactly one newline.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' ||
                     text[n - 1] == ' '))
      text[--n] = '\0';
    fprintf(stderr, "read_corvia: could not load dll %s: error %ld: %s\n",
            corvia_dll_name, (long)code,
            n > 0 ? text : "(the system has no text for this error)");
    exit(1);
  }
  auto init = (init_corvia_device_function)(void *)GetProcAddress(
      library, "InitCorviaDevice");
  auto start = (start_stop_corvia_device_function)(void *)GetProcAddress(
      library, "StartCorviaDevice");
  auto stop = (start_stop_corvia_device_function)(void *)GetProcAddress(
      library, "StopCorviaDevice");
  if (!init || !start || !stop) {
    fprintf(stderr, "read_corvia: could not load all functions!\n");
    exit(1);
  }
  // The library stays loaded until the process ends.
  InitCorviaDevice.store(init);
  StartCorviaDevice.store(start);
  StopCorviaDevice.store(stop);
  return init(corvia_capture_process_data);
}

void corvia_capture_start() {
  for (auto &slot : corvia_capture_buffer)
    slot.is_data.store(0, std::memory_order_relaxed);
  corvia_capture_frames_missed.store(0, std::memory_order_relaxed);
  corvia_capture_buffer_maxfill.store(0, std::memory_order_relaxed);
  corvia_capture_buffer_pos_read.store(0, std::memory_order_relaxed);
  corvia_capture_buffer_pos_write.store(0, std::memory_order_relaxed);
  corvia_capture_seconds_irregular.store(0, std::memory_order_relaxed);
  corvia_capture_seconds_n.store(0, std::memory_order_relaxed);
  corvia_capture_second_n_frames = 0;
  corvia_capture_lasttime = {0, 0};
  // Publishes the reset state to the delivery thread.
  corvia_capture_buffer_is_initialized.store(1, std::memory_order_release);
  if (auto start = StartCorviaDevice.load()) start();
}

void corvia_capture_stop() {
  const char *name = "corvia_capture_stop";
  const int maxfill = corvia_capture_buffer_maxfill.load();
  const int missed = corvia_capture_frames_missed.load();
  const int irregular = corvia_capture_seconds_irregular.load();
  const int seconds_n = corvia_capture_seconds_n.load();
  fprintf(stderr, "%s info: max buffer fill was %.1f%%, missed frames = %ld\n",
          name, maxfill * 100.0 / CORVIA_CAPTURE_BUFSIZE, (long)missed);
  fprintf(stderr,
          "%s info: seconds with irregular samplingrate: %d of %d = %.1f%%\n",
          name, irregular, seconds_n, irregular * 100.0 / seconds_n);
  fprintf(stderr, "stopping device...\n");
  fflush(stderr);
  if (auto stop = StopCorviaDevice.load()) stop();
}

int corvia_capture_get_num_available() {
  const int pos_read =
      corvia_capture_buffer_pos_read.load(std::memory_order_relaxed);
  const int pos_write =
      corvia_capture_buffer_pos_write.load(std::memory_order_acquire);
  return buffer_fill(pos_write, pos_read);
}

int corvia_capture_get_bufsize() { return CORVIA_CAPTURE_BUFSIZE; }

int corvia_capture_get_missed() {
  return corvia_capture_frames_missed.load(std::memory_order_relaxed);
}

int corvia_capture_get_maxfill() {
  return corvia_capture_buffer_maxfill.load(std::memory_order_relaxed);
}

int corvia_capture_get_seconds_n() {
  return corvia_capture_seconds_n.load(std::memory_order_relaxed);
}

int corvia_capture_get_seconds_irregular() {
  return corvia_capture_seconds_irregular.load(std::memory_order_relaxed);
}

int corvia_capture_get_standard_signals(corvia_data *frame) {
  PRECONDITION(frame != nullptr);
  const int pos_read =
      corvia_capture_buffer_pos_read.load(std::memory_order_relaxed);
  const int pos_write =
      corvia_capture_buffer_pos_write.load(std::memory_order_acquire);
  if (pos_read == pos_write) return 0;
  corvia_capture_frame &slot = corvia_capture_buffer[pos_read];
  if (!slot.is_data.load(std::memory_order_acquire)) {
    fprintf(stderr,
            "%s: implementation error: there doesn't seem to be data to fetch "
            "here (readpos = %ld, writepos = %ld\n",
            "corvia_capture_get_standard_signals", (long)pos_read,
            (long)pos_write);
    exit(1);
  }
  frame->time = slot.t;
  for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++)
    frame->data[j] = slot.data[corvia_capture_standard_signal_indices[j]];
  slot.is_data.store(0, std::memory_order_release);
  corvia_capture_buffer_pos_read.store(
      (pos_read + 1) % CORVIA_CAPTURE_BUFSIZE, std::memory_order_release);
  return 1;
}
