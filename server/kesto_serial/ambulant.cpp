// The front end's recording memory (ambulant recordings): its status, the
// erase, the standard configuration, the directory of stored recordings,
// their configuration and header bytes, and their replay through the
// output in worker state 4.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "serial_source.h"

namespace {

const uint32_t kBlockBytes = 1024;  // the configuration block, a header
const uint32_t kPageBytes = 4096;   // replay pages
const uint32_t kNone = 0xFFFFFFFFu;

// Memory codes under which the directory is read.
const uint16_t kMemoryCodes[] = {0x0FFE, 0x0FFF, 0x1FFE, 0x1FFF, 0x3FFE, 0x3FFF, 0x7FFF};

// Offsets in the configuration block.
enum {
  CFG_FORMAT = 0,
  CFG_HEADER_LENGTH = 2,
  CFG_FIRST_HEADER = 8,
  CFG_END = 12,
  CFG_CHANNELS = 18,
  CFG_MEMORY_CODE = 28,
  CFG_CHANNEL_ENTRIES = 38  // 64 x (shift, size, skip mask, 255)
};

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t *p) { return get16(p) | static_cast<uint32_t>(get16(p + 2)) << 16; }
void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
  put16(p, static_cast<uint16_t>(v));
  put16(p + 2, static_cast<uint16_t>(v >> 16));
}

bool listed_memory_code(uint16_t code) {
  for (uint16_t c : kMemoryCodes)
    if (c == code) return true;
  return false;
}

// The header length that data start after; an old format word (0x0300, or
// an erased one) means 40 bytes.
void apply_format_rules(uint8_t *config) {
  if (get16(config + CFG_FORMAT) == 0xFFFF) put16(config + CFG_FORMAT, 0x0300);
  if (get16(config + CFG_FORMAT) == 0x0300) put16(config + CFG_HEADER_LENGTH, 40);
}

// A header copy as the walk keeps it: a next-address of 0 marks an erased
// header, and a chained header that was begun but never filled (record
// count 0, zero words at byte 8 and at bytes 26 to 38) gets erased fields.
void normalise_header(uint8_t *h) {
  bool unfilled = get32(h + 4) == 0 && get16(h + 8) == 0;
  for (int at = 26; at <= 38; at += 2) unfilled = unfilled && get16(h + at) == 0;
  if (get32(h) == 0) put32(h, kNone);
  else if (!unfilled) return;
  put32(h + 4, kNone);
  memset(h + 8, 0xFF, 16);
}

// The last header of the chain counts only when its fields 2 to 5 look
// written.
bool fields_look_written(const uint8_t *h) {
  for (int f = 2; f <= 5; ++f) {
    const uint32_t v = get32(h + 4 * f);
    if ((v & 0xFFFF) == 0xFFFF || v >= 0xFFFF0000u) return false;
  }
  const uint32_t f3 = get32(h + 12), f4 = get32(h + 16);
  return (f3 & 0xFFFF) != 0 && f3 > 0xFFFF && (f4 & 0xFFFF) != 0;
}

// The invalid marker of a value size.
int32_t invalid_marker(int size) {
  static const int32_t markers[5] = {0, -128, -32768, -8388608, INT32_MIN};
  return markers[size];
}

}  // namespace

bool SerialSource::Busy() const {
  return WorkerState() >= WORKER_ACQUIRING || link_.DataMode();
}

// ---------------------------------------------------------------------------
// Status, erase, standard configuration.

HRESULT SerialSource::GetAmbulantDeviceStatus(LONG *Status, LONG *AvailableLow,
                                              LONG *AvaialableHigh, LONG *TotalLow,
                                              LONG *TotalHigh, LONG *pErrorResult) {
  set_result(Status, 5);
  for (LONG *p : {AvailableLow, AvaialableHigh, TotalLow, TotalHigh}) set_result(p, 0);
  MemoryStatusInfo info = {};
  bool ok = false;
  if (HasPort()) {
    Exchange exchange(this);
    // A status query that got no answer is a failure, also the first one
    // (which leaves the link's status word as it was).
    ok = link_.MemoryStatus(&info) && info.status != 0x8001;
  }
  if (ok) {
    set_result(Status, static_cast<LONG>((info.status & 4u) | 0xFFFFFFFAu));
    set_result(AvailableLow, static_cast<LONG>(info.free_kib * 1024u));
    set_result(TotalLow, static_cast<LONG>(info.total_kib * 1024u));
  }
  return outcome(ok, pErrorResult);
}

HRESULT SerialSource::EraseAmbulantMemory(LONG *pErrorResult) {
  bool ok = false;
  if (HasPort() && !Busy()) {
    Exchange exchange(this);
    ok = link_.EraseMemory(0x5555);
  }
  if (ok) recordings_.clear();
  return outcome(ok, pErrorResult);
}

HRESULT SerialSource::InitAmbulantStandardConfig(LONG *pErrorResult) {
  // The standard configuration block: five one-byte channels.
  uint8_t block[kBlockBytes] = {};
  put16(block + CFG_FORMAT, 0xF30A);
  put16(block + CFG_HEADER_LENGTH, 1024);
  put32(block + CFG_FIRST_HEADER, 1024);
  put32(block + CFG_END, 0xF40000);
  put16(block + 16, 100);
  put16(block + CFG_CHANNELS, 5);
  put32(block + 20, 4);
  put16(block + CFG_MEMORY_CODE, 0x7FFF);
  put32(block + 30, GetTickCount());
  for (int c = 0; c < 64; ++c) {
    uint8_t *e = block + CFG_CHANNEL_ENTRIES + 4 * c;
    e[0] = 0;              // shift
    e[1] = c < 5 ? 1 : 0;  // value size
    e[2] = 0;              // skip mask
    e[3] = 255;
  }
  put16(block + 326, 0x0101);
  memset(block + 768, 0xFF, 256);
  bool ok = false;
  if (HasPort() && !Busy()) {
    Exchange exchange(this);
    ok = link_.WriteMemory(0, sizeof block, block);
  }
  return outcome(ok, pErrorResult);
}

// ---------------------------------------------------------------------------
// The directory and the bytes of its entries.

HRESULT SerialSource::GetNumberOfAmbulantRecordings(LONG *NrOfRecs) {
  set_result(NrOfRecs, -1);
  // A walk that fails leaves no directory behind, so that nothing stale can
  // be read or replayed.
  recordings_.clear();
  if (!HasPort() || Busy()) return S_FALSE;
  Exchange exchange(this);
  MemoryStatusInfo info = {};
  link_.MemoryStatus(&info);
  if (info.status == 0x8001 || (info.status & 4) != 0) return S_FALSE;
  uint8_t config[kBlockBytes];
  if (!link_.ReadMemory(0, kBlockBytes, config)) return S_FALSE;
  apply_format_rules(config);
  if (!listed_memory_code(get16(config + CFG_MEMORY_CODE))) return S_FALSE;

  const uint32_t end = get32(config + CFG_END);
  uint32_t address = get32(config + CFG_FIRST_HEADER);
  while (address < end) {
    AmbulantRecording rec;
    rec.address = address;
    memcpy(rec.config, config, kBlockBytes);
    // A failed read ends the walk with the recordings found so far.
    if (!link_.ReadMemory(address, kBlockBytes, rec.header)) break;
    normalise_header(rec.header);
    const uint32_t next = get32(rec.header);
    if (next == kNone) {
      if (fields_look_written(rec.header)) recordings_.push_back(rec);
      break;
    }
    recordings_.push_back(rec);
    // A chain that does not move forward would never end.
    if (next <= address) break;
    address = next;
  }
  set_result(NrOfRecs, static_cast<LONG>(recordings_.size()));
  return S_OK;
}

HRESULT SerialSource::GetBinaryAmbulantData(LONG RecID, LONG DataPart, LONG OffsetLow,
                                            LONG OffsetHigh, LONG *pLengthLow,
                                            LONG *pLengthHigh, LONG *DataBuffer,
                                            LONG *pErrorResult) {
  const LONG length = pLengthLow != nullptr ? *pLengthLow : 0;
  set_result(pLengthLow, 0);
  const bool listed = RecID >= 0 && static_cast<size_t>(RecID) < recordings_.size();
  if (!listed || OffsetHigh != 0 || pLengthHigh == nullptr || *pLengthHigh != 0 ||
      DataBuffer == nullptr || OffsetLow < 0 || length <= 0)
    return outcome(false, pErrorResult);
  const AmbulantRecording &rec = recordings_[static_cast<size_t>(RecID)];
  const int64_t stop = static_cast<int64_t>(OffsetLow) + length;
  const uint8_t *source = nullptr;
  int64_t limit = kBlockBytes;
  if (DataPart == 0) {
    source = rec.config;
    limit = std::min<int64_t>(limit, get32(rec.config + CFG_FIRST_HEADER));
  } else if (DataPart == 1) {
    source = rec.header;
    limit = std::min<int64_t>(limit, get16(rec.config + CFG_HEADER_LENGTH));
  }
  if (stop > limit) return outcome(false, pErrorResult);
  // Another part copies nothing, and says so, but succeeds: kept as is.
  if (source != nullptr)
    for (LONG i = 0; i < length; ++i) DataBuffer[i] = source[OffsetLow + i];
  set_result(pLengthLow, source != nullptr ? length : 0);
  return outcome(true, pErrorResult);
}

// ---------------------------------------------------------------------------
// The replay.

HRESULT SerialSource::DownloadAmbulantRecording(LONG RecID, LONG *pErrorResult) {
  if (!HasPort() || Busy() || RecID < 0 || static_cast<size_t>(RecID) >= recordings_.size())
    return outcome(false, pErrorResult);
  const AmbulantRecording &rec = recordings_[static_cast<size_t>(RecID)];
  AmbulantReplay &r = replay_;
  r.channels = std::min<int>(get16(rec.config + CFG_CHANNELS), KS_MAX_CHANNELS);
  for (int c = 0; c < KS_MAX_CHANNELS; ++c) {
    const uint8_t *e = rec.config + CFG_CHANNEL_ENTRIES + 4 * c;
    AmbulantReplay::Channel &ch = r.channel[c];
    ch.shift = e[0];
    ch.size = c < r.channels ? e[1] : 0;
    ch.skip = e[2];
    // A value size or shift the decoder cannot take would replay garbage.
    if (ch.size > 4 || ch.shift > 31) return outcome(false, pErrorResult);
    ch.marker = invalid_marker(ch.size);
    ch.last = 0;
    ch.valid = true;
    r.values[c] = 0.0f;
  }
  uint32_t records = get32(rec.header + 4) & 0x7FFFFFFFu;
  // Kept as is: the front end counts two records beyond those it stored.
  // A count that was never written (all ones) stands for an empty recording.
  if (records == 0x7FFFFFFFu)
    records = 0;
  else if (records > 1)
    records -= 2;
  r.records = records;
  const uint32_t next = get32(rec.header);
  r.end = next != kNone && next > rec.address ? next : get32(rec.config + CFG_END);
  const uint32_t start = rec.address + get16(rec.config + CFG_HEADER_LENGTH);
  r.page_address = start & ~(kPageBytes - 1);
  r.index = start - r.page_address;
  Exchange exchange(this);
  if (!link_.ReadMemory(r.page_address, kPageBytes, r.page)) return outcome(false, pErrorResult);
  r.counter = 0;
  sample_counter_ = 0;
  exchange.EndIn(WORKER_REPLAYING);
  return outcome(true, pErrorResult);
}

HRESULT SerialSource::GetAmbulantDownloadRemainingPercentage(LONG *RemainingPercentage) {
  if (RemainingPercentage == nullptr) return S_FALSE;
  *RemainingPercentage = 0;
  if (WorkerState() == WORKER_REPLAYING && replay_.records != 0)
    *RemainingPercentage = static_cast<LONG>(
        100 - static_cast<int64_t>(sample_counter_) * 100 / replay_.records);
  return S_OK;
}

HRESULT SerialSource::StopAmbulantDownloading(LONG *pErrorResult) {
  SetWorkerState(WORKER_IDLE);
  set_result(pErrorResult, 0);
  return S_OK;
}

// The next byte of the recording's data: a new page is read when the page
// is used up. False, with the reason, when it cannot be had.
bool SerialSource::ReplayByte(uint8_t *byte, const char **problem) {
  AmbulantReplay &r = replay_;
  if (r.index >= kPageBytes) {
    r.page_address += kPageBytes;
    r.index = 0;
    if (!link_.ReadMemory(r.page_address, kPageBytes, r.page)) {
      *problem = "the front end's memory could not be read";
      return false;
    }
  }
  if (r.page_address + r.index >= r.end) {
    *problem = "its data run into the next recording or past the end of the memory";
    return false;
  }
  *byte = r.page[r.index++];
  return true;
}

// One turn of worker state 4: decodes and sends one record, or ends the
// replay when all are sent or the data cannot be read.
void SerialSource::ReplayStep() {
  // An exchange of the COM thread holds the port and is about to pause the
  // replay: wait for it.
  if (!port_mutex_.try_lock()) {
    Sleep(1);
    return;
  }
  AmbulantReplay &r = replay_;
  const uint32_t counter = r.counter;
  const char *problem = nullptr;
  bool ended = counter >= r.records;
  for (int c = 0; c < r.channels && !ended; ++c) {
    AmbulantReplay::Channel &ch = r.channel[c];
    if (ch.size == 0 || (ch.skip & counter & 0xFF) != 0) continue;
    uint32_t u = 0;
    for (int b = 0; b < ch.size && !ended; ++b) {
      uint8_t byte = 0;
      ended = !ReplayByte(&byte, &problem);
      u |= static_cast<uint32_t>(byte) << (8 * b);
    }
    if (ended) break;
    // Sign-extended from the value's size.
    const int32_t raw = static_cast<int32_t>(u << (32 - 8 * ch.size)) >> (32 - 8 * ch.size);
    if (raw == ch.marker) {
      ch.valid = false;
      continue;
    }
    ch.valid = true;
    ch.last = ch.size <= 2 ? static_cast<int32_t>(static_cast<uint32_t>(ch.last) +
                                                  static_cast<uint32_t>(raw))
                           : raw;
  }
  port_mutex_.unlock();
  if (ended) {
    if (problem != nullptr)
      fprintf(stderr, "KestoSerial: the replay of a stored recording stopped at record %u of %u: %s\n",
              counter, r.records, problem);
    InterlockedCompareExchange(&requested_state_, WORKER_IDLE, WORKER_REPLAYING);
    return;
  }
  for (int c = 0; c < r.channels; ++c) {
    const AmbulantReplay::Channel &ch = r.channel[c];
    r.values[c] = ch.size != 0 && ch.valid
                      ? static_cast<float>(static_cast<int32_t>(static_cast<uint32_t>(ch.last)
                                                                << ch.shift))
                      : 0.0f;
  }
  r.counter = counter + 1;
  sample_counter_ = static_cast<LONG>(r.counter);
  SendRecord(r.values, static_cast<LONG>(counter));
}
