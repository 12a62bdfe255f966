// frontend.h - the serial link to the amplifier's front end, its command
// set, and the record ring that sample frames are decoded into.
//
// One SerialLink belongs to each SerialSource object. It opens and
// configures the port, frames commands, reassembles and checks the frames
// that come back in a 4096-byte receive ring, dispatches them by block type
// (sample frames are decoded straight into the record ring), and waits for
// replies with time-outs and resending. On top of that: identification,
// the channel tables and channel set-up, acquisition start and stop, the
// compression parameters, the memory commands and the raw exchange.
//
// Threads: the COM caller's thread runs exchanges; the server's worker
// thread calls PollIdle (which never parses while a reply is awaited) and
// SendKeepAlive; the delivery thread calls ReadRecord. The record ring and
// its positions are guarded by the record lock; see frontend_link.cpp for
// the rules that keep two threads from parsing at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "win32.h"

#define KS_MAX_CHANNELS 64
#define KS_TABLES 16
#define KS_TABLE_WORDS 4096
#define KS_RX_RING 4096         // receive ring bytes (12-bit indices)
#define KS_RECORD_RING 57344    // record ring bytes at most (0xE000)
#define KS_TX_DATA 522          // transmit frame data area, bytes

// Status values of the last parsing pass (0x0000..0x00FF: a valid frame of
// that block type).
#define KS_STATUS_FE_ERROR 0x1100    // + the front end's error code
#define KS_STATUS_NONE 0x1200        // no complete frame, or a foreign error reply
#define KS_STATUS_COUNT_255 0x1201
#define KS_STATUS_CHECKSUM 0x1202
#define KS_STATUS_UNHANDLED 0x1203

// The identification block's words (reply to command 5).
enum {
  KS_ID_RATE_CODE = 1,       // kept here by StartAcq
  KS_ID_RATE_LIMIT = 3,
  KS_ID_SERIAL_LOW = 4,
  KS_ID_SERIAL_HIGH = 5,
  KS_ID_EXG = 6,
  KS_ID_AUX = 7,
  KS_ID_HARDWARE = 8,
  KS_ID_SOFTWARE = 9,
  KS_ID_COMMAND_BUFFER = 10,
  KS_ID_SEND_BUFFER = 11,
  KS_ID_CHANNELS = 12,
  KS_ID_BASE_RATE = 13
};

// What the link's bytes go through: the serial port by default; tests
// install a scripted source.
struct LinkIo {
  virtual ~LinkIo() = default;
  // Non-blocking: what is there now, at most `max` bytes.
  virtual DWORD read(uint8_t *buffer, DWORD max) = 0;
  // Bytes written (fewer means the line failed).
  virtual DWORD write(const uint8_t *buffer, DWORD count) = 0;
};

// The link's clock and its waits (GetTickCount and Sleep by default).
struct LinkClock {
  virtual ~LinkClock() = default;
  virtual DWORD now() = 0;
  virtual void sleep(DWORD ms) = 0;
};

// One channel as the front end describes it.
struct ChannelSetup {
  int width;        // bits
  int reference;    // 0 none; 1..channels subtract that channel; -1..-10 a group
  float gain;       // physical units per count
  float offset;
  int decimation;   // compression: a new value every decimation + 1 records
  std::string name; // "ExG 1", "AUX 1", "ODig 1", a table's name or "Ch N"
  int unit;         // unit code
  int exponent;     // decimal exponent
};

// Compression parameters (reply to command 48).
struct CompressionParams {
  int prefix_width;    // bits of a delta's width prefix (4 by default)
  int block_records;   // delta records after the full record (0 by default)
};

// Memory status (reply to command 9).
struct MemoryStatusInfo {
  uint32_t total_kib;
  uint32_t free_kib;
  uint16_t status;     // bit 2 busy; 0x8001 no device
};

class SerialLink {
 public:
  SerialLink();
  ~SerialLink();
  SerialLink(const SerialLink &) = delete;
  SerialLink &operator=(const SerialLink &) = delete;

  // --- The port and the frames ------------------------------------------

  // Opens and configures the port; 0 or the system error code, with the
  // error text "%s [Code=%d; Function=%s]".
  DWORD Open(const char *name, DWORD baud);
  void Close();                 // purge and close; harmless when closed
  bool IsOpen() const;
  DWORD Read(uint8_t *buffer, DWORD max);
  DWORD Write(const uint8_t *buffer, DWORD count);
  bool SendFrame(int type, int n, const uint16_t *data);
  bool Resend();
  void Poll(DWORD now);
  void PollIdle();              // Poll only when no reply is awaited
  // Waits for a frame of `type`; before_resend runs before each resend.
  bool WaitReply(int type, const std::function<void()> &before_resend = {});
  bool SendKeepAlive();

  int LastErrorCode() const;
  std::string LastErrorText() const;
  uint16_t Status() const;

  // Tests and tools: a byte source instead of the port (null: the port),
  // and a clock of their own (null: the system's). Not owned.
  void SetIo(LinkIo *io);
  void SetClock(LinkClock *clock);

  // --- The command set ---------------------------------------------------

  // The opening sequence after the port is open: identify, read the
  // tables, set the channels up. False when the front end did not answer
  // or a channel could not be set up (the identification is then cleared).
  bool OpenFrontEnd();
  // Clears the identification, tables and channel set-up (the port
  // connection closed).
  void ClearFrontEnd();
  bool Identify();
  int ReadTables();             // number of channels found in the tables
  bool ReadTableWords(int address, int count, uint16_t *destination, int *returned);
  // Command 2 with its retry; stop 0 resets the record ring and turns data
  // mode on when the front end acknowledged.
  bool SetAcquisition(int channels, int rate_code, int stop);
  bool ReadCompression();       // defaults when the exchange fails
  bool MemoryStatus(MemoryStatusInfo *info);
  bool EraseMemory(uint16_t confirmation);
  bool ReadMemory(uint32_t address, uint32_t bytes, uint8_t *destination);
  bool WriteMemory(uint32_t address, uint32_t bytes, const uint8_t *source);
  // A command of any type; `kept` words of the reply frame counted from its
  // sync word go to `copy` (at most max_kept). -1 on failure, else the
  // reply's word count.
  int RawExchange(int send_type, int reply_type, int words, const uint16_t *data,
                  int max_kept, uint16_t *copy);

  // What the front end said about itself (valid after OpenFrontEnd).
  const uint16_t *Identification() const;  // 16 words
  uint16_t IdentificationWord(int index) const;
  void SetIdentificationWord(int index, uint16_t value);
  uint32_t SerialNumber() const;
  int NumberOfChannels() const;
  const ChannelSetup &Channel(int index) const;
  std::string DeviceName() const;          // "Serial Device" without one
  CompressionParams Compression() const;

  // --- Sample rates and the record ring ----------------------------------

  // Rounds `*rate` to base / 2^code (code 0..4) from the identification;
  // without a port connection nothing changes. 0 or -1 (no base rate).
  int RoundSampleRate(float *rate, int *rate_code);

  // Takes the oldest raw record out of the ring, referenced, one float per
  // channel (no gain or offset). False when the ring is empty.
  bool ReadRecord(float *record);
  bool DataMode() const;
  // Records overwritten unread since the last acquisition start.
  uint64_t RecordsLost() const;
  // Record size in bytes, and the current channel count of the stream
  // (lowered by a channel-count limit frame).
  int RecordSize() const;
  int StreamChannels() const;
};
