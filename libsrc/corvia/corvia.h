// The recording library: the raw recording frame and its reader, and the
// capture buffer that the device library's callback fills.
//
// A raw recording is a headerless stream of 32-byte frames, 2048 frames per
// second of recording: a capture time stamp and the six raw signals (ECG,
// EMG, SC, Temp, BVP, Resp) as the amplifier delivered them. Failures (read
// errors, truncated frames, a missing device library) print a message on
// standard error and end the program with status 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// ---------------------------------------------------------------------------
// Raw recording frames

#define CORVIA_NUM_RAW_SIGNALS 6
// Frames per second of recording (the rate of the fast channels).
#define CORVIA_FRAMES_PER_SECOND 2048

// Capture time of a frame: two signed 32-bit integers, whatever the size of
// the system's own struct timeval.
struct corvia_timeval {
  int32_t tv_sec;   // whole seconds since 1970-01-01 00:00:00 UTC
  int32_t tv_usec;  // microseconds within that second
};

// One frame; its memory layout is the file layout (little-endian host).
struct corvia_data {
  corvia_timeval time;
  float data[CORVIA_NUM_RAW_SIGNALS];  // ECG, EMG, SC, Temp, BVP, Resp
};

static_assert(sizeof(corvia_timeval) == 8, "corvia_timeval must be 8 bytes");
static_assert(sizeof(float) == 4, "float must be IEEE binary32");
static_assert(sizeof(corvia_data) == 32, "corvia_data must be 32 bytes");
static_assert(offsetof(corvia_data, time) == 0, "time at offset 0");
static_assert(offsetof(corvia_timeval, tv_usec) == 4, "tv_usec at offset 4");
static_assert(offsetof(corvia_data, data) == 8, "data at offset 8");

// Reads one frame from `file` (binary mode). Returns 1 for a whole frame, 0 at
// the regular end of the stream; a read error or a truncated frame ends the
// program with a message.
int corvia_read_sample(FILE *file, corvia_data *sample);

// Reads `chunksize` frames and stores them column by column:
// chunks[j][i] = raw signal j of frame i (unscaled). With `seconds` non-null,
// seconds[i] and useconds[i] receive the frame's time stamp. Returns 1 when
// all frames were read (also for chunksize <= 0), 0 when the stream ended
// first; the frames read before the end stay stored.
int corvia_read_chunks(FILE *file, int chunksize, double **chunks,
                       int32_t *seconds, int32_t *useconds);

// Reads a recording in blocks of frames, with the failure handling of
// corvia_read_sample. next() returns 1 for a frame and 0 at the regular end.
// A truncated last frame or a read error first calls `on_failure`, so that a
// program can save and close what it has computed, and then ends the program
// with corvia_read_sample's message.
class corvia_frame_reader {
 public:
  explicit corvia_frame_reader(FILE *in) : in_(in), buf_(kBlock) {}

  template <typename F>
  int next(corvia_data *frame, F on_failure) {
    if (pos_ == n_ && !at_end_) fill();
    if (pos_ < n_) {
      *frame = buf_[pos_++];
      return 1;
    }
    if (partial_ == 0 && !error_) return 0;
    on_failure();
    fail();
  }

 private:
  static constexpr size_t kBlock = 4096;
  void fill();
  [[noreturn]] void fail() const;

  FILE *in_;
  std::vector<corvia_data> buf_;
  size_t pos_ = 0, n_ = 0;
  bool at_end_ = false;
  bool error_ = false;
  int partial_ = 0;
  int errno_ = 0;
};

// Converts a raw value of raw signal `signal` into the unit the rest of the
// system works with (SC and Resp negated, Temp scaled, others unchanged). A
// signal number >= CORVIA_NUM_RAW_SIGNALS ends the program. Inline: it is
// applied to every raw sample.
inline double corvia_make_human_readable(double value, int signal) {
  if (signal >= CORVIA_NUM_RAW_SIGNALS) {
    fprintf(stderr,
            "corvia_make_human_readable: signal = %d >= "
            "CORVIA_NUM_RAW_SIGNALS = %d\n",
            signal, CORVIA_NUM_RAW_SIGNALS);
    exit(1);
  }
  switch (signal) {
    case 2:  // SC: the sensor's polarity is inverted
      return -value;
    case 3:  // Temp: linear calibration of the sensor
      return value * 0.0102712 + 23.6745;
    case 5:  // Resp: inverted
      return -value;
    default:  // ECG, EMG, BVP, and negative numbers: unchanged
      return value;
  }
}

// ---------------------------------------------------------------------------
// Capture buffer and device binding (one instance per process)
//
// The device library calls corvia_capture_process_data on its own thread for
// every frame; the main thread takes the frames out with
// corvia_capture_get_standard_signals. The ring is lock-free, single
// producer and single consumer.

#define CORVIA_CAPTURE_NUM_CHANNELS 14
#define CORVIA_CAPTURE_BUFSIZE 20480

// The callback type the device library's InitCorviaDevice takes.
typedef void (*corvia_process_data_function)(int nSamples, int nChan,
                                             float *fData);

// Loads "CorviaDLL.dll", looks up its three entry points and initialises the
// device with corvia_capture_process_data as callback. Ends the program when
// the library or one of its functions is missing. Returns InitCorviaDevice's
// result: 0 when the device was found, else non-zero (the device library
// writes the reason to its log, "CorviaLog.txt").
int corvia_capture_init();

// Empties the ring, resets the statistics and starts acquisition.
void corvia_capture_start();

// Prints the statistics (maximum fill, missed frames, irregular seconds) on
// standard error and stops the device (when one was bound). May run on
// another thread while frames still arrive.
void corvia_capture_stop();

int corvia_capture_get_num_available();  // frames buffered now
int corvia_capture_get_bufsize();        // CORVIA_CAPTURE_BUFSIZE
int corvia_capture_get_missed();         // frames dropped on a full ring
int corvia_capture_get_maxfill();        // highest number of frames buffered
int corvia_capture_get_seconds_n();      // blocks of 2048 frames seen
int corvia_capture_get_seconds_irregular();  // blocks not 900..1100 ms long

// Takes the oldest buffered frame out as a raw recording frame (channels C
// to H, positions 2..7, become raw signals 0..5). Returns 0 when the buffer
// is empty (the record is then untouched), 1 otherwise.
int corvia_capture_get_standard_signals(corvia_data *frame);

// The device library's callback: stores one frame of 14 floats from fData
// with the wall-clock time; nSamples and nChan are ignored.
void corvia_capture_process_data(int nSamples, int nChan, float *fData);

// Fills `tv` from the wall clock (100-ns units since 1601 converted to the
// Unix epoch); `tz` is ignored.
void my_gettimeofday(corvia_timeval *tv, void *tz);

// ---------------------------------------------------------------------------
// Signal catalogue and per-frame processing (signals)
//
// Ten signals come out of a recording: the six raw signals in physical units
// (with cable disconnects marked as NaN) and four derived ones computed by
// the detectors of the sliding-window library. After every frame, each
// signal either has a new sample (has_value 1; the value may be NaN when the
// source is disconnected, in its one-second hold or in an artefact) or has
// none (has_value 0, value +infinity).


#include "fex.h"
#include "rel_time.h"

#define CORVIA_NUM_SIGNALS 10
// Consecutive exact zeros after which a raw signal may count as disconnected.
#define NUM_ZERO_DISCONNECT 4

// Names of the raw signals (0..5) and of all ten signals (the names that
// --signal accepts and that name the output sequences).
extern const char *const corvia_raw_signal_names[CORVIA_NUM_RAW_SIGNALS];
extern const char *const corvia_derived_signal_names[CORVIA_NUM_SIGNALS];
// A raw signal is taken from every frame whose counter divides by this.
extern const int corvia_signal_samplerepeat[CORVIA_NUM_RAW_SIGNALS];
// A raw signal's rate is this times 256 Hz; also its hold length / 256.
extern const int corvia_signal_sampleoftener[CORVIA_NUM_RAW_SIGNALS];
// The output rate of each of the ten signals is this times 256 Hz.
extern const int corvia_derived_signal_sampleoftener[CORVIA_NUM_SIGNALS];

// The R-peak detector behind ECG-HR and the ECG side of ECG-BVP-Lag.
enum corvia_ecg_detector {
  CORVIA_ECG_DETECTOR_ECG_HR = 0,  // ecg_hr (the default)
  CORVIA_ECG_DETECTOR_QRS = 1,     // the streaming QRS detector, 1.5 s late
};

struct corvia_signals {
  impulses_lag_params last_nonzeros[CORVIA_NUM_RAW_SIGNALS];
  delay_params delayed_signals[CORVIA_NUM_RAW_SIGNALS];  // length 3
  impulses_lag_params last_disconnected[CORVIA_NUM_RAW_SIGNALS];
  int is_disconnected[CORVIA_NUM_RAW_SIGNALS];
  int needs_reset[CORVIA_NUM_SIGNALS];  // entries 6..9 used
  double values[CORVIA_NUM_SIGNALS];
  int has_value[CORVIA_NUM_SIGNALS];
  int32_t samples_got;  // frame counter, 0..8
  ecg_hr_params ecg_hr;
  bvp_hr_params bvp_hr;
  resp_rate_params resp_rate;
  ecg_bvp_lag_params peaklag;
  int ignore_disconnect;
  int ecg_detector;           // corvia_ecg_detector
  qrs_params qrs;             // used with CORVIA_ECG_DETECTOR_QRS
  delay_params bvp_impulses;  // BVP peaks held back as long as the QRS
                              // detector's beats (length 0 with ecg_hr)
  unsigned computed;          // signals worked out each frame: bit i for
                              // signal i (all ten unless selected)
};

// Sets up the record; `repair` is handed to the detectors. With
// ignore_disconnect no disconnect or artefact handling takes place.
void corvia_signals_init(corvia_signals *signals, int ignore_disconnect,
                         int repair);
// The same with the R-peak detector of ECG-HR and ECG-BVP-Lag chosen. With
// the QRS detector ECG-HR is 1.5 s late, and the BVP peaks are held back by
// as much before the lag is measured.
void corvia_signals_init_with_detector(corvia_signals *signals,
                                       int ignore_disconnect, int repair,
                                       int ecg_detector);
// Consumes the next frame of the recording (every frame, in order) and
// updates values and has_value of all ten signals.
void corvia_signals_process_sample(corvia_signals *signals,
                                   const corvia_data *sample);
// Restricts the work of each frame to the signals in `wanted` (bit i for
// signal i) and those they are derived from; the others get has_value 0.
// The signals still worked out take the values of a full run. Called after
// the init, before the first frame.
void corvia_signals_select(corvia_signals *signals, unsigned wanted);
void corvia_signals_free(corvia_signals *signals);

// ---------------------------------------------------------------------------
// Event maps and class numbers (map)
//
// An event file lists named, time-stamped events ("1000.5 relax_start");
// a map file gives a starting class and then entries of an event line
// (optionally "NAME + SECONDS" or "NAME - SECONDS") and a class number. The
// class at time t is that of the entry with the latest start time strictly
// before t. Every failure while reading the files ends the program with a
// message.

struct event {
  rel_time time;
  char *classname;  // owned
};

struct eventmapper {
  rel_time time;         // event time plus offset
  int32_t classnumber;   // the class that begins then
};

struct eventmap {
  int32_t start_classnumber;
  eventmapper **mappers;  // owned entries, in map-file order
  int n;
  int num_allocated;      // room in mappers
};

// The events of an event file, in file order. Reading prints each event
// ("read_events: TIME: NAME") on standard error; failures end the program.
struct event_list {
  event *events;
  int n;
  int num_allocated;
};
void event_list_init_from_file(event_list *list, const char *eventfilename);
void event_list_free(event_list *list);

void eventmap_init_from_files(eventmap *map, const char *eventfilename,
                              const char *mapfilename);
eventmap *eventmap_create_from_files(const char *eventfilename,
                                     const char *mapfilename);
void eventmap_free(eventmap *map);
void eventmap_delete(eventmap *map);

int32_t get_classnumber(const eventmap *map, rel_time time);
// The class at a frame's capture time (tv_sec + tv_usec / 1000000).
int32_t get_classnumber_time_t(const eventmap *map, const corvia_timeval *tv);
