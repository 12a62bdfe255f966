// The front end's command set: identification, the channel tables and the
// channel set-up, acquisition start and stop with the channel-count limit,
// the compression parameters, the memory commands and the raw exchange.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "frontend.h"

namespace {

const int table_words_per_read = 128;
const int memory_words_per_command = 0x4000;
const int memory_block_words = 128;
const uint32_t memory_piece_bytes = 4096;
const uint32_t memory_chunk_bytes = 512;  // 256 words per read command
const int memory_piece_tries = 5;
const uint32_t write_piece_bytes = 256;
const DWORD read_silence_ms = 1000;
const DWORD erase_busy_ms = 2500;
const DWORD opening_pause_ms = 150;

ChannelSetup empty_channel() { return ChannelSetup{0, 0, 1.0f, 0.0f, 0, "", 8, 0}; }

// An offset into a table: 0 and 4096 or more mean none.
bool present(int offset) { return offset > 0 && offset < KS_TABLE_WORDS; }

// The zero-terminated 8-bit text of a name record (one word, then the
// text), or false when it runs off the end of the table.
bool name_record(const uint16_t *table, int offset, std::string *name) {
  const int end = 2 * KS_TABLE_WORDS;
  int i = 2 * (offset + 1);
  std::string s;
  for (; i < end; i++) {
    // Words are little-endian: byte 2k is the low byte of word k.
    const uint16_t w = table[i / 2];
    const char c = static_cast<char>(i % 2 ? w >> 8 : w & 0xFF);
    if (c == '\0') break;
    s += c;
  }
  if (i >= end) return false;
  if (name) *name = s;
  return true;
}

float float_at(const uint16_t *t) {
  const uint32_t u = t[0] | (static_cast<uint32_t>(t[1]) << 16);
  float f;
  memcpy(&f, &u, sizeof f);
  return f;
}

}  // namespace

// ---------------------------------------------------------------------------
// Identification and channels.

void SerialLink::ClearFrontEnd() {
  memset(ident_, 0, sizeof ident_);
  memset(tables_, 0, sizeof tables_);
  channels_ = 0;
  for (ChannelSetup &c : setup_) c = empty_channel();
  device_name_ = "Serial Device";
}

bool SerialLink::OpenFrontEnd() {
  clock_->sleep(opening_pause_ms);
  if (!Identify()) return false;
  clock_->sleep(opening_pause_ms);
  channels_ = 0;
  const int from_tables = ReadTables();
  // A front end without tables answers with an empty one; one that does not
  // answer at all would otherwise get the default channels, whose gains
  // scale every sample wrongly. The link's error says what happened.
  if (from_tables < 0) return false;
  if (ident_[KS_ID_RATE_LIMIT] == 0 || ident_[KS_ID_RATE_LIMIT] == 0xFFFF)
    ident_[KS_ID_RATE_LIMIT] = ident_[KS_ID_BASE_RATE];
  if (from_tables > 0) return ChannelsFromTables(from_tables);
  if (ident_[KS_ID_CHANNELS] > KS_MAX_CHANNELS) {
    char text[96];
    snprintf(text, sizeof text, "Front end reports %d channels; at most %d are served",
             ident_[KS_ID_CHANNELS], KS_MAX_CHANNELS);
    SetError(-1, text);
    return false;
  }
  DefaultChannels();
  return true;
}

bool SerialLink::Identify() {
  if (Command(KS_CMD_IDENTIFY, 0, nullptr) && reply_.count >= 16) {
    memcpy(ident_, reply_.words, sizeof ident_);
    return true;
  }
  memset(ident_, 0, sizeof ident_);
  return false;
}

bool SerialLink::ReadTableWords(int address, int count, uint16_t *destination, int *returned) {
  if (returned) *returned = 0;
  const uint16_t data[2] = {static_cast<uint16_t>(address), static_cast<uint16_t>(count)};
  if (!Command(KS_CMD_READ_TABLE, 2, data)) return false;
  // A read the front end answered late was sent again and is answered
  // twice; the second answer, echoing the read before, comes ahead of
  // this read's own and is passed over.
  for (int late = 1; late < KS_SENDINGS && reply_.count >= 2 && ReplyWord(0) != data[0] &&
                     ReplyWord(0) == table_read_before_;
       late++) {
    if (!WaitReply(ks_block_type(KS_CMD_READ_TABLE)->reply)) return false;
  }
  // Word 0 echoes the address, word 1 counts the words that follow; more
  // than were asked for would not fit.
  const int n = ReplyWord(1);
  if (reply_.count < 2 || ReplyWord(0) != data[0] || n + 2 != reply_.count || n > count)
    return false;
  memcpy(destination, reply_.words + 2, sizeof(uint16_t) * static_cast<size_t>(n));
  table_read_before_ = data[0];
  if (returned) *returned = n;
  return true;
}

int SerialLink::ReadTables() {
  memset(tables_, 0, sizeof tables_);
  table_read_before_ = -1;
  const int send_buffer = ident_[KS_ID_SEND_BUFFER];
  int channels = 0;
  for (int k = 0; k < KS_TABLES; k++) {
    uint16_t *t = &tables_[static_cast<size_t>(k) * KS_TABLE_WORDS];
    t[1] = KS_TABLE_WORDS;
    int offset = 0;
    bool failed = false;
    do {
      const int ask = std::min({KS_TABLE_WORDS - offset, t[1] - offset, send_buffer - 5,
                                table_words_per_read});
      int got = 0;
      if (ask <= 0 || !ReadTableWords(k * KS_TABLE_WORDS + offset, ask, t + offset, &got)) {
        // Only a time-out leaves -1 ("Front end not responding").
        if (k == 0 && offset == 0 && ask > 0 && LastErrorCode() == -1) {
          t[0] = 0;
          return -1;
        }
        failed = true;
        break;
      }
      if (got == 0) {
        t[0] = 1;
        break;
      }
      if (t[0] == 2) break;
      offset += got;
    } while (offset < t[1] && offset < KS_TABLE_WORDS);
    if (failed) {
      t[0] = 0;
      break;
    }
    if (t[0] == 2) break;
    if (t[0] < 2) {
      t[0] = 0;
      break;
    }
    // A table that points outside itself ends the scan like a failed read.
    if (!ValidateTable(k, channels)) {
      t[0] = 0;
      break;
    }
    channels += t[6];
  }
  return channels;
}

bool SerialLink::ValidateTable(int k, int channels_before) {
  const uint16_t *t = &tables_[static_cast<size_t>(k) * KS_TABLE_WORDS];
  const int count = t[6];
  if (channels_before + count > KS_MAX_CHANNELS) return false;
  for (int i = 0; i < count; i++) {
    const long entry = static_cast<long>(t[8]) + static_cast<long>(i) * t[7];
    if (entry + 1 >= KS_TABLE_WORDS) return false;
    const int descriptor = t[entry], name = t[entry + 1];
    if (present(descriptor)) {
      if (descriptor + 9 > KS_TABLE_WORDS) return false;  // bytes 0 to 17
      if (t[descriptor + 3] < 1 || t[descriptor + 3] > 32) return false;
    }
    if (present(name) && !name_record(t, name, nullptr)) return false;
  }
  if (k == 0 && t[0] > 5 && present(t[5]) && !name_record(t, t[5], nullptr)) return false;
  return true;
}

bool SerialLink::ChannelsFromTables(int channels) {
  for (int i = 0; i < channels; i++) {
    // Channels are numbered across the valid tables in table order.
    int k = 0, first = 0;
    while (k < KS_TABLES) {
      const uint16_t *t = &tables_[static_cast<size_t>(k) * KS_TABLE_WORDS];
      if (t[0] > 2 && i < first + t[6]) break;
      if (t[0] > 2) first += t[6];
      k++;
    }
    if (k == KS_TABLES) {
      SetError(-1, "Channel " + std::to_string(i + 1) + " is in none of the channel tables");
      return false;
    }
    const uint16_t *t = &tables_[static_cast<size_t>(k) * KS_TABLE_WORDS];
    const int entry = t[8] + (i - first) * t[7];
    const int descriptor = t[entry], name = t[entry + 1];
    ChannelSetup c = empty_channel();
    if (present(descriptor)) {
      const uint16_t *d = t + descriptor;
      c.reference = d[1] == 1 ? -1 : 0;
      c.width = d[3];
      c.gain = float_at(d + 4);
      c.offset = float_at(d + 6);
      c.unit = static_cast<int8_t>(d[8] & 0xFF);
      c.exponent = static_cast<int8_t>(d[8] >> 8);
    }
    if (!present(name) || !name_record(t, name, &c.name)) c.name = "Ch " + std::to_string(i + 1);
    setup_[i] = c;
  }
  channels_ = channels;
  const uint16_t *t0 = &tables_[0];
  if (!(t0[0] > 5 && present(t0[5]) && name_record(t0, t0[5], &device_name_)))
    device_name_ = "Serial Device";
  return true;
}

void SerialLink::DefaultChannels() {
  const int n = ident_[KS_ID_CHANNELS], exg = ident_[KS_ID_EXG], aux = ident_[KS_ID_AUX];
  char name[32];
  for (int i = 0; i < n; i++) {
    ChannelSetup c = empty_channel();
    c.width = n == 14 && i >= 8 ? 8 : 24;
    if (i < exg) {
      c.reference = -1;
      c.gain = 0.0715f;
      snprintf(name, sizeof name, "ExG %d", i + 1);
      c.unit = 1;
      c.exponent = -6;
    } else if (i < exg + aux) {
      c.gain = 0.00143f;
      snprintf(name, sizeof name, "AUX %d", i - exg + 1);
      c.unit = 1;
      c.exponent = -3;
    } else {
      snprintf(name, sizeof name, "ODig %d", i - exg - aux + 1);
    }
    c.name = name;
    setup_[i] = c;
  }
  channels_ = n;
  device_name_ = "Serial Device";
}

void SerialLink::ConfigureChannels(const std::vector<ChannelSetup> &channels) {
  channels_ = std::min<int>(static_cast<int>(channels.size()), KS_MAX_CHANNELS);
  for (int i = 0; i < KS_MAX_CHANNELS; i++)
    setup_[i] = i < channels_ ? channels[static_cast<size_t>(i)] : empty_channel();
}

void SerialLink::SetCompression(const CompressionParams &params) { compression_ = params; }

const uint16_t *SerialLink::Identification() const { return ident_; }
uint16_t SerialLink::IdentificationWord(int index) const {
  return index >= 0 && index < 16 ? ident_[index] : 0;
}
void SerialLink::SetIdentificationWord(int index, uint16_t value) {
  if (index >= 0 && index < 16) ident_[index] = value;
}
uint32_t SerialLink::SerialNumber() const {
  return ident_[KS_ID_SERIAL_LOW] | (static_cast<uint32_t>(ident_[KS_ID_SERIAL_HIGH]) << 16);
}
int SerialLink::NumberOfChannels() const { return channels_; }
const ChannelSetup &SerialLink::Channel(int index) const {
  static const ChannelSetup none = empty_channel();
  return index >= 0 && index < KS_MAX_CHANNELS ? setup_[index] : none;
}
std::string SerialLink::DeviceName() const { return device_name_; }
CompressionParams SerialLink::Compression() const { return compression_; }

// ---------------------------------------------------------------------------
// Acquisition.

bool SerialLink::ReadCompression() {
  const bool ok = Command(KS_CMD_COMPRESSION, 0, nullptr) && reply_.count >= 3 &&
                  ReplyWord(1) >= 1 && ReplyWord(1) <= 5;
  // Prefix widths beyond 5 bits would announce deltas wider than a value.
  compression_ = ok ? CompressionParams{ReplyWord(1), ReplyWord(2)} : CompressionParams{4, 0};
  for (int c = 0; c < KS_MAX_CHANNELS; c++) setup_[c].decimation = ok ? ReplyWord(3 + c) : 0;
  return ok;
}

bool SerialLink::SetAcquisition(int channels, int rate_code, int stop) {
  data_mode_ = false;
  {
    // The record lock is held only while the ring is reset, not through the
    // exchange: the parser takes it inside the parse lock, so holding it
    // here while waiting for the parse lock could deadlock with the worker.
    std::lock_guard<std::mutex> lock(record_lock_);
    acq_channels_ = channels == 0 ? 1 : channels;
    acq_rate_code_ = rate_code;
    acq_stop_ = stop;
    if (stop == 0) {
      stream_channels_ = std::min(acq_channels_, KS_MAX_CHANNELS);
      ResetRecordRing();
    }
  }
  const uint16_t data[3] = {static_cast<uint16_t>(channels), static_cast<uint16_t>(rate_code),
                            static_cast<uint16_t>(stop)};
  bool ok = Command(KS_CMD_SET_ACQUISITION, 3, data);
  // Tried once more only when the front end was silent, never on a refusal.
  if (!ok && last_error_code_ == -1) ok = Command(KS_CMD_SET_ACQUISITION, 3, data);
  if (ok && stop == 0) data_mode_ = true;
  return ok;
}

// Under the parse lock.
void SerialLink::HandleLimit(const uint16_t *words, int count) {
  if (count < 5) return;  // too short to say a count: ignored
  uint16_t data[3];
  {
    std::lock_guard<std::mutex> lock(record_lock_);
    const int limit = std::max<int>(words[4], 1);
    if (limit < stream_channels_) {
      // Records already in the ring keep their channels; those after this
      // frame carry `limit` channels.
      const int unread = capacity_ ? (write_pos_ - read_pos_ + capacity_) % capacity_ / slot_size_
                                   : 0;
      if (older_records_ == 0) older_channels_ = stream_channels_;
      older_records_ = unread;
      stream_channels_ = limit;
      acq_channels_ = limit;
      int bits = 0;
      for (int c = 0; c < limit; c++) bits += ring_widths_[c];
      record_size_ = (bits + 7) / 8;
    }
    data[0] = static_cast<uint16_t>(acq_channels_);
    data[1] = static_cast<uint16_t>(acq_rate_code_);
    data[2] = static_cast<uint16_t>(acq_stop_);
  }
  // Sent at once without waiting; built apart, so the transmit frame kept
  // for resending the command under way stays as it was.
  uint8_t frame[12];
  const int n = ks_frame_build(frame, KS_CMD_SET_ACQUISITION, 3, data);
  std::lock_guard<std::mutex> lock(write_lock_);
  WriteAll(frame, static_cast<DWORD>(n));
}

// ---------------------------------------------------------------------------
// Memory.

bool SerialLink::MemoryStatus(MemoryStatusInfo *info) {
  const bool ok = Command(KS_CMD_MEMORY_STATUS, 0, nullptr) && reply_.count >= 5;
  if (ok) {
    status_failures_ = 0;
    memory_status_ = ReplyWord(4) & 4;
    if (erase_deadline_set_) {
      const DWORD now = clock_->now();
      if ((memory_status_ & 4) || static_cast<int32_t>(now - erase_deadline_) >= 0)
        erase_deadline_set_ = false;
      else
        memory_status_ |= 4;
    }
  } else if (++status_failures_ >= 2) {
    memory_status_ = 0x8001;  // no device
  }
  if (info) {
    if (ok) {
      info->total_kib = ReplyWord(0) | (static_cast<uint32_t>(ReplyWord(1)) << 16);
      info->free_kib = ReplyWord(2) | (static_cast<uint32_t>(ReplyWord(3)) << 16);
    }
    info->status = memory_status_;
  }
  return ok;
}

bool SerialLink::EraseMemory(uint16_t confirmation) {
  if (confirmation != 0x5555) return false;
  erase_deadline_ = clock_->now() + erase_busy_ms;
  erase_deadline_set_ = true;
  const uint16_t data[1] = {0x5555};
  return Command(KS_CMD_ERASE, 1, data);
}

// Under the parse lock: a type-12 frame, taken only as the next block of
// the read under way.
void SerialLink::HandleMemoryBlock(const uint16_t *words, int count) {
  if (!read_destination_ || count < 4 || count > 4 + memory_block_words) return;
  const int block = words[2], data = count - 4;
  if (block == 0) return;
  const int index = (block - 1) * memory_block_words;
  const uint32_t address = words[0] | (static_cast<uint32_t>(words[1]) << 16);
  if (index != read_received_ || index + data > read_words_ ||
      address != read_address_ + 2u * static_cast<uint32_t>(index))
    return;
  memcpy(read_destination_ + index, words + 4, sizeof(uint16_t) * static_cast<size_t>(data));
  read_received_ += data;
  if (block == words[3]) read_last_block_ = true;
}

// One read command of at most 0x4000 words; the words received so far are
// in `destination` and their number in *received.
bool SerialLink::ReadWords(uint32_t address, int words, uint16_t *destination) {
  words = std::min(words, memory_words_per_command);
  data_mode_ = false;
  address &= 0x7FFFFFFFu;
  {
    std::lock_guard<std::mutex> lock(parse_lock_);
    read_destination_ = destination;
    read_words_ = words;
    read_received_ = 0;
    read_address_ = address;
    read_last_block_ = false;
  }
  const uint16_t data[3] = {static_cast<uint16_t>(address), static_cast<uint16_t>(address >> 16),
                            static_cast<uint16_t>(words)};
  bool ok = Command(KS_CMD_READ_MEMORY, 3, data, [this] {
    std::lock_guard<std::mutex> lock(parse_lock_);
    read_received_ = 0;
    read_last_block_ = false;
  });
  DWORD last = clock_->now();
  int seen = 0;
  while (ok) {
    PollIdle();
    std::lock_guard<std::mutex> lock(parse_lock_);
    if (read_received_ >= words || read_last_block_) break;
    if (read_received_ != seen) {
      seen = read_received_;
      last = clock_->now();
    } else if (clock_->now() - last > read_silence_ms) {
      SetError(-1, "Front end not responding");
      ok = false;
    }
  }
  std::lock_guard<std::mutex> lock(parse_lock_);
  read_destination_ = nullptr;
  read_received_bytes_ = 2 * read_received_;
  return ok && read_received_ >= words;
}

bool SerialLink::ReadMemory(uint32_t address, uint32_t bytes, uint8_t *destination) {
  for (uint32_t done = 0; done < bytes; done += memory_piece_bytes) {
    const uint32_t piece = std::min(memory_piece_bytes, bytes - done);
    bool ok = false;
    for (int attempt = 0; attempt < memory_piece_tries && !ok; attempt++) {
      ok = true;
      for (uint32_t at = 0; at < piece && ok; at += memory_chunk_bytes) {
        const uint32_t chunk = std::min(memory_chunk_bytes, piece - at);
        uint16_t words[memory_chunk_bytes / 2];
        ok = ReadWords(address + done + at, static_cast<int>((chunk + 1) / 2), words);
        // What came stays in the destination, even from a failed read.
        const uint32_t got = std::min<uint32_t>(chunk, read_received_bytes_);
        for (uint32_t i = 0; i < got; i++)
          destination[done + at + i] = static_cast<uint8_t>(words[i / 2] >> (8 * (i % 2)));
      }
    }
    if (!ok) return false;
  }
  return true;
}

bool SerialLink::WriteMemory(uint32_t address, uint32_t bytes, const uint8_t *source) {
  for (uint32_t done = 0; done < bytes; done += write_piece_bytes) {
    const uint32_t piece = std::min(write_piece_bytes, bytes - done);
    const uint32_t at = (address + done) & 0x7FFFFFFFu;
    uint16_t data[4 + write_piece_bytes / 2] = {static_cast<uint16_t>(at),
                                                static_cast<uint16_t>(at >> 16), 1, 1};
    const int words = static_cast<int>((piece + 1) / 2);  // an odd byte count rounds up
    for (uint32_t i = 0; i < piece; i++)
      data[4 + i / 2] |= static_cast<uint16_t>(source[done + i] << (8 * (i % 2)));
    if (!Command(KS_CMD_WRITE_MEMORY, 4 + words, data)) return false;
  }
  return true;
}

int SerialLink::RawExchange(int send_type, int reply_type, int words, const uint16_t *data,
                            int max_kept, uint16_t *copy) {
  if (words < 0 || words > 254 || (words > 0 && !data) || reply_type < 0 || reply_type > 255 ||
      !Exchange(send_type, words, data, reply_type))
    return -1;
  // The reply frame from its sync word: sync, header, data, checksum.
  const int frame_words = reply_.count + 3;
  for (int i = 0; copy && i < std::min(max_kept, frame_words); i++) {
    if (i == 0) copy[i] = 0xAAAA;
    else if (i == 1) copy[i] = static_cast<uint16_t>(reply_.count | (reply_.type << 8));
    else if (i - 2 < reply_.count) copy[i] = reply_.words[i - 2];
    else copy[i] = reply_.checksum;
  }
  return reply_.count;
}
