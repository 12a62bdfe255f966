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
// Threads meet in three places, each with its own lock:
//   - the parse lock: the receive ring, the frame in progress, the status,
//     the awaited reply and the memory-read state. Held for each Poll, by
//     the COM caller's thread (WaitReply, ReadMemory) or the worker thread
//     (PollIdle). A reply that the worker's PollIdle happens to parse is
//     kept for the waiting thread, so no reply is lost to the other parser.
//   - the write lock: the kept transmit frame and every write to the line
//     (commands from the caller's thread, keep-alives from the worker, the
//     channel-count limit's re-send from whichever thread parses).
//   - the record lock: the record ring, its positions, its layout and the
//     lost-record count. The parser writes records under it (taking it
//     inside the parse lock, never the other way round), the delivery thread
//     reads them with ReadRecord, GetStationairSampleRecords a batch at a time
//     with ReadRecords, SetAcquisition resets the ring.
// The identification, tables and channel set-up belong to the COM caller's
// thread. The expected reply type and data mode are atomics read by all.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "win32.h"

#define KS_MAX_CHANNELS 64
#define KS_TABLES 16
#define KS_TABLE_WORDS 4096
#define KS_RX_RING 4096         // receive ring bytes (12-bit indices)
#define KS_RECORD_RING 57344    // record ring bytes at most (0xE000)
#define KS_TX_DATA 522          // transmit frame data area, bytes
#define KS_SENDINGS 4           // of a command before "Front end not responding"

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

// The front end's block types, one catalogue: what the server sends (the
// command's data words and the reply it awaits) and how the parser handles
// a frame of that type when it arrives. The parser's dispatch, the replies
// the commands await and the names in logs are all made from it.
enum {
  KS_HANDLE_NONE = 0,     // no handler: 0x1203 unless awaited
  KS_HANDLE_ACK,          // type 0: echo of the command header, error code
  KS_HANDLE_REPLY,        // a reply whose data the caller reads itself
  KS_HANDLE_PLAIN,        // one plain sample record
  KS_HANDLE_COMPRESSED,   // a compressed block of sample records
  KS_HANDLE_LIMIT,        // the front end lowers the channel count
  KS_HANDLE_MEMORY        // memory words after a read command
};
enum {
  KS_ACK = 0,
  KS_CMD_SET_ACQUISITION = 2,
  KS_CMD_IDENTIFY = 5,
  KS_CMD_MEMORY_STATUS = 8,
  KS_CMD_ERASE = 10,
  KS_CMD_READ_MEMORY = 11,
  KS_CMD_WRITE_MEMORY = 12,
  KS_CMD_READ_TABLE = 34,
  KS_CMD_COMPRESSION = 48,
  KS_CMD_KEEP_ALIVE = 0x27
};
struct KsBlockType {
  int type;
  const char *command;   // its name as a command; null when never sent
  int words;             // data words a command sends; -1 a variable number
  int reply;             // block type the command awaits; -1 none
  const char *received;  // its name as a received frame; null when never seen
  int handler;           // KS_HANDLE_...
};
// The catalogue's entry for a block type, null when it has none.
const KsBlockType *ks_block_type(int type);
// "identify (5)", "compressed block (47)", "block type 99".
std::string ks_block_name(int type, bool as_command);
// "FrontEndError:  ..." for a front-end error code.
std::string ks_front_end_error_text(int code);
// Builds the frame of `type` with n data words (zeros when data is null)
// into `frame` (room for 2n + 6 bytes); returns its length.
int ks_frame_build(uint8_t *frame, int type, int n, const uint16_t *data);

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
  int ReadTables();             // number of channels found in the tables;
                                // -1 when the first read is not answered
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
  // channel (no gain or offset): `record` holds KS_MAX_CHANNELS floats, of
  // which max(NumberOfChannels(), StreamChannels()) are written; channels
  // the record does not carry read 0. False when the ring is empty.
  bool ReadRecord(float *record);
  // Takes up to `count` records in one hold of the record lock, so that no
  // other reader takes one from between them; record i goes to
  // records[i * channels ...] (its first `channels` floats). The number taken.
  int ReadRecords(float *records, int count, int channels);
  bool DataMode() const;
  // Records overwritten unread since the last acquisition start: a full
  // ring drops its oldest record for the newest.
  uint64_t RecordsLost() const;
  // Record size in bytes, and the current channel count of the stream
  // (lowered by a channel-count limit frame).
  int RecordSize() const;
  int StreamChannels() const;

  // Tests and tools: channels and compression set up without a front end
  // (at most KS_MAX_CHANNELS channels; they take effect at the next start).
  void ConfigureChannels(const std::vector<ChannelSetup> &channels);
  void SetCompression(const CompressionParams &params);

 private:
  struct Reply {
    int type = -1;
    int count = 0;
    uint16_t words[255] = {};
    uint16_t checksum = 0;
  };

  // frontend_link.cpp
  HANDLE PortHandle() const { return port_.load(); }
  void SetPortError(DWORD code, const char *function);
  void SetError(int code, const std::string &text);
  bool WriteAll(const uint8_t *bytes, DWORD count);
  void FillReceiveRing();
  void Dispatch(int type, int count);
  bool Exchange(int type, int words, const uint16_t *data, int reply,
                const std::function<void()> &before_resend = {});
  // A command of the catalogue, awaiting the reply the catalogue gives.
  bool Command(int type, int words, const uint16_t *data,
               const std::function<void()> &before_resend = {});
  uint16_t ReplyWord(int index) const;
  // frontend_commands.cpp
  bool ValidateTable(int k, int channels_before);
  bool ChannelsFromTables(int channels);
  void DefaultChannels();
  bool ReadWords(uint32_t address, int words, uint16_t *destination);
  void HandleMemoryBlock(const uint16_t *words, int count);
  void HandleLimit(const uint16_t *words, int count);
  // frontend_records.cpp
  void ResetRecordRing();
  bool TakeRecord(float *record);  // ReadRecord with the record lock held
  uint8_t *NextRecordSlot();
  void DecodePlainRecord(const uint8_t *data, int bytes);
  void DecodeCompressedBlock(const uint8_t *data, int bytes);

  // The port, or the test's byte source, and the clock.
  std::atomic<HANDLE> port_{INVALID_HANDLE_VALUE};
  std::atomic<bool> open_{false};
  LinkIo *io_ = nullptr;
  LinkClock *clock_ = nullptr;
  int last_error_code_ = 0;      // the COM caller's thread
  std::string last_error_text_;

  // Write lock: the transmit frame and every write.
  std::mutex write_lock_;
  uint8_t tx_[6 + KS_TX_DATA] = {};  // sync, count, type, data and checksum
  int tx_length_ = 0;
  std::atomic<uint16_t> last_header_{0};  // header word of the last command

  // Parse lock: the receive ring and what the parser keeps.
  std::mutex parse_lock_;
  uint8_t rx_ring_[KS_RX_RING] = {};
  unsigned rx_read_ = 0, rx_write_ = 0;  // 12-bit indices
  int frame_length_ = 0;                 // 0 while searching for a sync
  uint8_t rx_frame_[4 + 2 * 256] = {};   // header, data words, checksum
  bool one_frame_ = true;
  std::atomic<uint16_t> status_{KS_STATUS_NONE};
  std::atomic<int> expected_{-1};  // -1 as soon as the reply has come
  int armed_ = -1;                   // the type the exchange under way awaits
  bool reply_latched_ = false;     // the awaited reply (or an error for the
  uint16_t latched_status_ = 0;    // last command) came, whoever parsed it
  Reply reply_;
  // A memory read under way (blocks of type 12).
  uint16_t *read_destination_ = nullptr;
  int read_words_ = 0, read_received_ = 0;
  uint32_t read_address_ = 0;
  bool read_last_block_ = false;
  uint32_t read_received_bytes_ = 0;  // of the last read command

  // The front end (the COM caller's thread).
  uint16_t ident_[16] = {};
  uint16_t tables_[KS_TABLES * KS_TABLE_WORDS] = {};
  int channels_ = 0;
  ChannelSetup setup_[KS_MAX_CHANNELS];
  std::string device_name_;
  CompressionParams compression_{4, 0};
  bool erase_deadline_set_ = false;
  DWORD erase_deadline_ = 0;
  int status_failures_ = 0;
  uint16_t memory_status_ = 0;
  int table_read_before_ = -1;  // address of the scan's last table read

  // Record lock: the record ring and its layout for this acquisition.
  mutable std::mutex record_lock_;
  std::atomic<bool> data_mode_{false};
  uint8_t ring_[KS_RECORD_RING] = {};
  int ring_widths_[KS_MAX_CHANNELS] = {};
  int ring_references_[KS_MAX_CHANNELS] = {};
  int ring_decimation_[KS_MAX_CHANNELS] = {};
  CompressionParams ring_compression_{4, 0};
  int record_size_ = 0;    // bytes of a record of the stream's channels
  int slot_size_ = 0;      // bytes a record takes in the ring (this start's)
  int capacity_ = 0;       // slot_size_ x (KS_RECORD_RING / slot_size_)
  int read_pos_ = 0, write_pos_ = 0;
  int stream_channels_ = 0;     // channels per record now
  int output_channels_ = 0;     // floats ReadRecord writes
  int older_records_ = 0;       // unread records from before a limit frame
  int older_channels_ = 0;      // and their channel count
  int acq_channels_ = 1, acq_rate_code_ = 0, acq_stop_ = 1;  // last command 2
  uint64_t records_lost_ = 0;
};
