// Simulated front end of the Corvia-10 amplifier: the far end of the serial
// line that KestoSerial talks to. The library holds the frame encoding and
// parsing, the compressed-block encoder, the device model (identification,
// channel tables, acquisition, memory commands, faults) and the memory image
// with its configuration block and stored recordings; the program corvia_sim
// puts the model behind a pseudo-terminal.
//
// The model is driven by the caller's clock (microseconds): bytes from the
// host go in with simamp_device_receive, simamp_device_run produces what is
// due by then (sample frames at the acquisition rate, delayed replies, the
// channel-count limit frame), and the bytes for the host are taken from
// simamp_device_output. Tests drive it with a clock of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "physio.h"

// ---------------------------------------------------------------------------
// Frames: AA AA, word count, block type, data words, zero-sum checksum.

#define SIMAMP_SYNC 0xAAAAu
#define SIMAMP_MAX_WORDS 254  // a count of 255 is refused

// Block types.
enum {
  SIMAMP_REPLY_ACK = 0,         // data: echoed command header, error code
  SIMAMP_BLOCK_RECORD = 1,      // one plain sample record
  SIMAMP_CMD_SET_ACQUISITION = 2,
  SIMAMP_REPLY_IDENTIFY = 2,
  SIMAMP_BLOCK_LIMIT = 4,       // channel-count limit, word 4 the count
  SIMAMP_CMD_IDENTIFY = 5,
  SIMAMP_CMD_MEMORY_STATUS = 8,
  SIMAMP_REPLY_MEMORY_STATUS = 9,
  SIMAMP_CMD_ERASE = 10,
  SIMAMP_CMD_READ_MEMORY = 11,
  SIMAMP_CMD_WRITE_MEMORY = 12,
  SIMAMP_BLOCK_MEMORY = 12,     // memory words sent after a read command
  SIMAMP_CMD_READ_TABLE = 34,
  SIMAMP_REPLY_TABLE = 35,
  SIMAMP_BLOCK_COMPRESSED = 47,
  SIMAMP_CMD_COMPRESSION = 48,
  SIMAMP_REPLY_COMPRESSION = 49,
  SIMAMP_CMD_KEEP_ALIVE = 0x27
};

// Error codes of the front end.
enum {
  SIMAMP_ERR_UNKNOWN_COMMAND = 1,
  SIMAMP_ERR_CRC = 2,
  SIMAMP_ERR_BAD_ARGUMENTS = 3,
  SIMAMP_ERR_ARGUMENT_COUNT = 4,
  SIMAMP_ERR_BUSY = 19,
  SIMAMP_ERR_BLOCKSIZE = 21,
  SIMAMP_ERR_SAMPLERATE = 25,
  SIMAMP_ERR_CHANNELS = 26,
  SIMAMP_ERR_ADDRESS = 27
};

// The checksum word that makes the 16-bit sum of sync, header and data
// words (and itself) zero.
uint16_t simamp_checksum(int count, int type, const uint16_t *data, int n);

// Appends the frame (2n + 6 bytes) to `out`. With `corrupt` the checksum is
// deliberately wrong. n must be 0..254.
void simamp_frame_append(std::vector<uint8_t> *out, int type,
                         const uint16_t *data, int n, bool corrupt = false);

// A received frame.
struct simamp_frame {
  int type;
  std::vector<uint16_t> words;
};

// Outcome of simamp_parser_next.
enum {
  SIMAMP_PARSE_NONE = 0,       // no complete frame held
  SIMAMP_PARSE_FRAME = 1,      // a valid frame
  SIMAMP_PARSE_BAD_SUM = 2,    // a frame with a wrong checksum (dropped);
                               // frame->type and the header are still given
  SIMAMP_PARSE_BAD_COUNT = 3   // a frame with word count 255 (dropped)
};

// Reassembles frames from a byte stream: bytes other than AA are skipped,
// AA followed by another byte skips both, AA AA starts a frame; a damaged
// frame is dropped whole.
struct simamp_parser {
  std::vector<uint8_t> buf;
  size_t pos;
  uint64_t skipped;  // noise bytes skipped while searching for a sync
};

void simamp_parser_init(simamp_parser *p);
void simamp_parser_feed(simamp_parser *p, const uint8_t *bytes, size_t n);
// Takes the next frame out; on SIMAMP_PARSE_BAD_SUM, `header` (when not
// null) gets the damaged frame's header word (count | type << 8).
int simamp_parser_next(simamp_parser *p, simamp_frame *frame,
                       uint16_t *header = nullptr);

// ---------------------------------------------------------------------------
// Compressed blocks: a full record, then delta records.

struct simamp_compression {
  int prefix_width;             // bits of the width prefix (1..5)
  int block_records;            // delta records after the full record
  std::vector<int> decimation;  // per channel: a new value every count + 1
};

// Encodes one block of 1 + block_records records. records[r][c] is the count
// of channel c, valid[r][c] whether it is valid. The block can be compressed
// only when every width is 8, 16 or 24, every channel keeps its validity
// through the block and every delta fits the prefix width; returns false
// otherwise (send the records plain then). `held` (optional) gets the values the
// receiver will decode, decimation holds and invalid markers included.
bool simamp_compress_block(const simamp_compression *cp,
                           const std::vector<int> &widths,
                           const std::vector<std::vector<int32_t>> &records,
                           const std::vector<std::vector<bool>> &valid,
                           std::vector<uint8_t> *out,
                           std::vector<std::vector<int32_t>> *held = nullptr);

// The invalid marker of a width: -2^(width-1) (0x8000, 0x800000, ...);
// values of up to 8 bits have none (0).
int32_t simamp_invalid_marker(int width);

// Appends one plain record: each channel's `widths[c]` bits, least
// significant first, packed without gaps (byte-aligned for widths that are
// multiples of 8); invalid channels carry their marker.
void simamp_record_pack(const std::vector<int> &widths, const int32_t *counts,
                        const bool *valid, std::vector<uint8_t> *bytes);

// ---------------------------------------------------------------------------
// Channels and the identification.

// What a channel carries.
enum {
  SIMAMP_ROLE_EXG = 0,     // EEG-like activity (channels A, B)
  SIMAMP_ROLE_SIGNAL = 1,  // a physiological signal of the generator
  SIMAMP_ROLE_AUX = 2,     // a slowly varying auxiliary voltage
  SIMAMP_ROLE_DIGITAL = 3, // a sync pulse in the first 100 ms of each second
  SIMAMP_ROLE_SAW = 4,     // record counter modulo 256
  SIMAMP_ROLE_STATUS = 5,  // status bits
  SIMAMP_ROLE_BATTERY = 6  // battery voltage
};

struct simamp_channel {
  std::string name;
  int type;      // 1: common reference group 1; 2: no reference
  int width;     // bits: 8, 16 or 24 (1 to 32 with simamp_config.widths)
  float gain;    // delivered value = count * gain + offset
  float offset;
  int unit;      // unit code (1 volt, 2 siemens, 8 none)
  int exponent;  // decimal exponent of the unit
  int role;
  int signal;    // generator signal number for SIMAMP_ROLE_SIGNAL
};

// A reply rule for fault injection.
enum {
  SIMAMP_FAULT_DROP = 0,     // no reply
  SIMAMP_FAULT_DELAY = 1,    // reply `value` ms late
  SIMAMP_FAULT_CORRUPT = 2,  // reply with a bad checksum
  SIMAMP_FAULT_ERROR = 3     // reply with error code `value`
};

struct simamp_reply_fault {
  int kind;
  int command;  // block type of the command, -1 for every command
  int value;
  int count;    // how many replies it applies to, -1 for all
};

// A stretch of a channel: reading exactly zero (a cable disconnect) or
// reporting the invalid marker.
struct simamp_stretch {
  int channel;
  double start, end;  // seconds of acquisition
};

// How a channel is kept in stored recordings: its value size in bytes (0
// not recorded; 1 and 2 signed deltas; 3 and 4 absolute values), the shift
// the host applies (values are stored shifted right by it) and the skip
// mask (a value is stored only in records whose counter's low byte has
// none of its bits set).
struct simamp_recorded_channel {
  int size;
  int shift;
  int skip;
};

struct simamp_config {
  // Identification.
  uint32_t serial_number;
  int base_rate;    // Hz
  int rate_limit;   // identification word 3 (0: the base rate)
  int channels;     // number of channels
  int exg_channels;
  int aux_channels;
  int hardware_version;
  int software_version;
  int command_buffer;  // words
  int send_buffer;     // words

  bool tables;      // serve channel tables (else the server's defaults)
  bool compressed;  // stream type-47 blocks instead of type-1 records
  simamp_compression compression;

  physio_params physio;  // the signals of channels C to H

  // Memory.
  uint32_t memory_size;  // bytes
  int erase_ms;          // how long an erase keeps the memory busy
  // Stored recordings: the configuration block's format word (0xF30A; the
  // old 0x0300, or an erased 0xFFFF, puts the data 40 bytes after each
  // header) and the recorded channels (empty: every channel, with a size
  // chosen from its width).
  uint16_t format_word;
  std::vector<simamp_recorded_channel> recorded;

  // Faults.
  std::vector<simamp_reply_fault> reply_faults;
  int corrupt_samples_every;  // every Nth sample frame damaged (0: none)
  int noise_every;            // noise bytes after every Nth frame (0: none)
  int noise_max;              // at most this many noise bytes
  bool noise_syncs;           // noise bytes are AA half the time (false syncs)
  int bad_count_every;        // a frame announcing count 255 after every Nth
                              // frame (0: none)
  int stray_type;             // frames of this block type arrive unasked
  double stray_rate;          // per second from the first byte (0: none)
  int table_version;          // version word of every table (2 to 255)
  bool unnamed;               // channel entries without name records
  std::vector<int> widths;    // channel widths in bits (1 to 32) overriding
                              // the built-in ones; with tables only
  double mute_after;          // seconds after start; < 0: never
  int mute_after_commands;    // answer this many commands only; < 0: all
  double limit_time;          // seconds of acquisition; < 0: no limit frame
  int limit_channels;
  std::vector<simamp_stretch> disconnects;
  std::vector<simamp_stretch> invalids;
  int watchdog_ms;            // stop acquiring after this silence (0: never)

  size_t max_output;  // sample frames are dropped while more is queued
  uint64_t seed;      // noise bytes and the ExG and AUX channels
};

// Defaults: serial number 10000042, 2048 Hz, 14 channels (2 ExG, 6 AUX),
// tables, plain records, prefix width 4 with 7 delta records per block,
// 16 MiB of memory.
void simamp_config_init(simamp_config *cfg);

// Checks the configuration; returns "" or a message saying what is wrong.
std::string simamp_config_check(const simamp_config *cfg);

// The channels of a configuration: with tables the device's own
// descriptions, without them the widths and gains the host assumes.
std::vector<simamp_channel> simamp_channels_build(const simamp_config *cfg);

// The 16 identification words.
std::vector<uint16_t> simamp_identification(const simamp_config *cfg);

// The channel tables as the front end holds them: tables[k] is table k
// (words); empty without tables.
std::vector<std::vector<uint16_t>> simamp_tables_build(
    const simamp_config *cfg, const std::vector<simamp_channel> &channels);

// Count of a physical value on a channel: rounded, limited to the width's
// range (the invalid marker is never produced).
int32_t simamp_channel_count(const simamp_channel *ch, double value);

// ---------------------------------------------------------------------------
// The memory image: configuration block and stored recordings.

struct simamp_memory {
  uint8_t *data;
  uint32_t size;
  uint32_t used;  // end of the last byte that is not erased
  int fd;         // the image file, or -1 when held in memory only
  std::vector<uint8_t> owned;
};

// A fresh erased image of `size` bytes in memory.
void simamp_memory_init(simamp_memory *m, uint32_t size);
// Opens (or creates, erased, with `size` bytes) an image file, mapped so
// that every change lands in the file. `*created` tells whether it was new.
// Returns "" or an error message.
std::string simamp_memory_open(simamp_memory *m, const std::string &path,
                               uint32_t size, bool *created);
void simamp_memory_close(simamp_memory *m);
void simamp_memory_erase(simamp_memory *m);
// Writes bytes (the range must lie inside the image).
void simamp_memory_write(simamp_memory *m, uint32_t address,
                         const uint8_t *bytes, size_t n);

// Writes a configuration block for the device's channels and stored
// recordings of the given lengths (seconds at the base rate), made by the
// generator: channels in their invalid stretches (seconds into each
// recording) store their invalid marker. A header's record count is two
// more than the records stored, as the front end counts them. Returns ""
// or a message (too long for the memory).
std::string simamp_memory_format(simamp_memory *m, const simamp_config *cfg,
                                 const std::vector<simamp_channel> &channels,
                                 const std::vector<double> &seconds);

// One stored recording as found by walking the header chain.
struct simamp_recording {
  uint32_t header;  // address of its header
  uint32_t records; // records stored (the header's count less two)
};
// Walks the directory of a formatted image (for checks and for the
// program's start-up message).
std::vector<simamp_recording> simamp_memory_recordings(const simamp_memory *m);

// Decodes the values of a stored recording as a replay does: records[r][c]
// for each recorded channel (0 when invalid).
std::vector<std::vector<int32_t>> simamp_memory_decode(
    const simamp_memory *m, const simamp_recording *rec);

// ---------------------------------------------------------------------------
// The device model.

struct simamp_stats {
  uint64_t commands;         // valid command frames received
  uint64_t bad_frames;       // frames received with a bad checksum
  uint64_t replies;          // reply frames queued
  uint64_t records;          // sample records generated
  uint64_t sample_frames;    // type 1 and 47 frames queued
  uint64_t compressed_blocks;
  uint64_t plain_fallbacks;  // blocks that had to go as plain records
  uint64_t dropped_records;  // not queued because the host did not read
  uint64_t keep_alives;
};

struct simamp_pending {
  int64_t due_us;
  std::vector<uint8_t> bytes;
};

struct simamp_device {
  simamp_config cfg;
  std::vector<simamp_channel> channels;
  std::vector<uint16_t> ident;
  std::vector<std::vector<uint16_t>> tables;
  simamp_memory *memory;  // not owned; may be null (memory commands fail)
  int64_t busy_until_us;

  simamp_parser parser;
  std::vector<uint8_t> out;  // bytes for the host
  size_t out_pos;
  std::vector<simamp_pending> pending;  // delayed replies

  int64_t start_us;
  bool started;
  bool muted;
  int64_t last_host_us;  // last frame from the host

  // Acquisition.
  bool acquiring;
  int rate_code;
  int stream_channels;
  int channel_limit;  // after a limit frame, else the number of channels
  bool limit_sent;
  int64_t acq_start_us;
  uint64_t acq_records;  // records of this acquisition
  double subject_time;   // seconds of acquisition so far (all acquisitions)
  uint64_t record_counter;  // all records, for the sawtooth channel
  std::vector<std::vector<int32_t>> block;  // records of the open block
  std::vector<std::vector<bool>> block_valid;
  uint64_t frames_sent;  // for noise insertion
  uint64_t strays_sent;
  uint64_t sample_frames_sent;

  physio_generator gen;
  double gen_frame;  // generator position in 2048-Hz frames
  double values[CORVIA_NUM_RAW_SIGNALS];
  uint64_t rng;

  int active_fault;  // fault rule kind for the reply under way, or -1
  int active_value;
  bool verbose;      // log commands on standard error
  simamp_stats stats;
};

// Sets up the device; `memory` may be null. The configuration must have
// passed simamp_config_check.
void simamp_device_init(simamp_device *d, const simamp_config *cfg,
                        simamp_memory *memory);
void simamp_device_free(simamp_device *d);

// Bytes from the host, received at `now_us`.
void simamp_device_receive(simamp_device *d, const uint8_t *bytes, size_t n,
                           int64_t now_us);
// Produces what is due at `now_us`.
void simamp_device_run(simamp_device *d, int64_t now_us);
// The bytes waiting for the host, and taking `n` of them away.
const uint8_t *simamp_device_output(const simamp_device *d, size_t *n);
void simamp_device_consume(simamp_device *d, size_t n);

// The current sample rate (base rate / 2^rate code).
double simamp_device_rate(const simamp_device *d);

// The counts and validity of the next record on the first `n` channels
// (advances the generator). Used by the streaming and by tests.
void simamp_device_next_record(simamp_device *d, int n, int32_t *counts,
                               bool *valid);
