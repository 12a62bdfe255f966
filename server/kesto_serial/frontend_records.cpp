// The record ring: raw records decoded from plain and compressed sample
// frames, read back referenced; and the sample-rate rounding.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "frontend.h"

namespace {

const int groups = 10;

// Little-endian value of `bytes` bytes.
uint32_t le_bytes(const uint8_t *p, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; i++) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

// A field of `width` bits (1 to 32) of the raw value: up to 8 bits
// unsigned and always valid, above that signed and invalid at -2^(width-1).
int64_t field_value(uint32_t raw, int width, bool *valid) {
  *valid = true;
  if (width <= 8) return raw;
  const uint32_t top = 1u << (width - 1);
  int64_t v = static_cast<int64_t>(raw & (top | (top - 1)));
  if (v & top) v -= static_cast<int64_t>(top) * 2;
  *valid = v != -static_cast<int64_t>(top);
  return v;
}

// Bits least significant first, bytes in order; reading past the end of
// the data sets `overrun` instead.
struct BitReader {
  const uint8_t *p, *end;
  uint64_t bits = 0;
  int held = 0;
  bool overrun = false;
  uint32_t get(int width) {
    while (held < width) {
      if (p == end) {
        overrun = true;
        return 0;
      }
      bits |= static_cast<uint64_t>(*p++) << held;
      held += 8;
    }
    const uint32_t v = static_cast<uint32_t>(bits & ((1ull << width) - 1));
    bits >>= width;
    held -= width;
    return v;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Under the record lock.

void SerialLink::ResetRecordRing() {
  int bits = 0;
  for (int c = 0; c < KS_MAX_CHANNELS; c++) {
    const bool in = c < stream_channels_;
    ring_widths_[c] = in ? setup_[c].width : 0;
    ring_references_[c] = in ? setup_[c].reference : 0;
    ring_decimation_[c] = in ? setup_[c].decimation : 0;
    bits += ring_widths_[c];
  }
  ring_compression_ = compression_;
  record_size_ = slot_size_ = (bits + 7) / 8;
  capacity_ = slot_size_ ? slot_size_ * (KS_RECORD_RING / slot_size_) : 0;
  read_pos_ = write_pos_ = 0;
  output_channels_ = std::max(channels_, stream_channels_);
  older_records_ = older_channels_ = 0;
  records_lost_ = 0;
}

// The slot for the next record; a full ring gives up its oldest record
// (newest data wins) and counts it lost.
uint8_t *SerialLink::NextRecordSlot() {
  int next = write_pos_ + slot_size_;
  if (next == capacity_) next = 0;
  if (next == read_pos_) {
    read_pos_ += slot_size_;
    if (read_pos_ == capacity_) read_pos_ = 0;
    records_lost_++;
    if (older_records_ > 0) older_records_--;
  }
  uint8_t *slot = &ring_[static_cast<size_t>(write_pos_)];
  write_pos_ = next;
  return slot;
}

void SerialLink::DecodePlainRecord(const uint8_t *data, int bytes) {
  if (!data_mode_) return;
  std::lock_guard<std::mutex> lock(record_lock_);
  if (capacity_ == 0 || bytes < record_size_) return;  // shorter than a record: ignored
  uint8_t *slot = NextRecordSlot();
  memcpy(slot, data, static_cast<size_t>(record_size_));
  memset(slot + record_size_, 0, static_cast<size_t>(slot_size_ - record_size_));
}

void SerialLink::DecodeCompressedBlock(const uint8_t *data, int bytes) {
  if (!data_mode_) return;
  std::lock_guard<std::mutex> lock(record_lock_);
  if (capacity_ == 0 || bytes < record_size_) return;
  const int n = stream_channels_;
  // Compressed blocks carry whole-byte values; other widths have no
  // compressed form, such a block is ignored.
  for (int c = 0; c < n; c++)
    if (ring_widths_[c] % 8) return;
  int64_t previous[KS_MAX_CHANNELS];
  bool valid[KS_MAX_CHANNELS];
  int counter[KS_MAX_CHANNELS];
  uint8_t record[4 * KS_MAX_CHANNELS];
  // The full record, as the front end sent it.
  const uint8_t *p = data;
  for (int c = 0; c < n; c++) {
    const int w = ring_widths_[c];
    const int64_t v = w ? field_value(le_bytes(p, w / 8), w, &valid[c]) : 0;
    if (!w) valid[c] = true;
    previous[c] = valid[c] ? v : 0;
    counter[c] = 0;
    p += w / 8;
  }
  uint8_t *slot = NextRecordSlot();
  memcpy(slot, data, static_cast<size_t>(record_size_));
  memset(slot + record_size_, 0, static_cast<size_t>(slot_size_ - record_size_));
  // The delta records. A record whose bits run past the frame is not
  // stored, nor any after it.
  BitReader bits{data + record_size_, data + bytes};
  const int prefix = ring_compression_.prefix_width;
  for (int r = 0; r < ring_compression_.block_records; r++) {
    uint8_t *out = record;
    for (int c = 0; c < n; c++) {
      const int w = ring_widths_[c];
      if (counter[c] == ring_decimation_[c]) {
        int64_t v = 0;
        if (valid[c]) {
          const int dw = static_cast<int>(bits.get(prefix));
          if (dw == 0) {
            v = previous[c] - (bits.get(2) == 3 ? 1 : 0);
          } else {
            const int64_t f = bits.get(dw);
            v = previous[c] + ((f >> (dw - 1)) & 1 ? f : f - (int64_t{1} << dw));
          }
        }
        counter[c] = 0;
        previous[c] = v;
      } else {
        counter[c]++;
      }
      const uint32_t raw = valid[c] ? static_cast<uint32_t>(previous[c]) : 1u << ((w ? w : 1) - 1);
      for (int b = 0; b < w / 8; b++) *out++ = static_cast<uint8_t>(raw >> (8 * b));
    }
    if (bits.overrun) break;
    slot = NextRecordSlot();
    memcpy(slot, record, static_cast<size_t>(record_size_));
    memset(slot + record_size_, 0, static_cast<size_t>(slot_size_ - record_size_));
  }
}

// ---------------------------------------------------------------------------
// The delivery side.

bool SerialLink::ReadRecord(float *record) {
  std::lock_guard<std::mutex> lock(record_lock_);
  return TakeRecord(record);
}

int SerialLink::ReadRecords(float *records, int count, int channels) {
  std::lock_guard<std::mutex> lock(record_lock_);
  float record[KS_MAX_CHANNELS];
  int taken = 0;
  for (; taken < count && TakeRecord(record); ++taken)
    memcpy(records + static_cast<size_t>(taken) * channels, record, sizeof(float) * channels);
  return taken;
}

bool SerialLink::TakeRecord(float *record) {
  if (read_pos_ == write_pos_) return false;
  int n = stream_channels_;
  if (older_records_ > 0) {
    n = older_channels_;
    older_records_--;
  }
  const uint8_t *p = &ring_[static_cast<size_t>(read_pos_)];
  int64_t value[KS_MAX_CHANNELS];
  bool valid[KS_MAX_CHANNELS];
  double sum[groups] = {};
  int members[groups] = {};
  int bit = 0;
  for (int c = 0; c < n; c++) {
    const int w = ring_widths_[c];
    uint32_t raw = 0;
    if (w % 8 == 0 && bit % 8 == 0) {
      raw = le_bytes(p + bit / 8, w / 8);
    } else {
      // Bit-packed: the bytes that hold bits [bit, bit + w).
      const int first = bit / 8, last = (bit + w - 1) / 8;
      uint64_t v = 0;
      for (int b = first; b <= last; b++) v |= static_cast<uint64_t>(p[b]) << (8 * (b - first));
      raw = static_cast<uint32_t>((v >> (bit % 8)) & ((1ull << w) - 1));
    }
    bit += w;
    value[c] = w ? field_value(raw, w, &valid[c]) : 0;
    if (!w) valid[c] = true;
    if (!valid[c]) value[c] = 0;
    const int ref = ring_references_[c];
    if (valid[c] && ref <= -1 && ref >= -groups) {
      sum[-ref - 1] += static_cast<double>(value[c]);
      members[-ref - 1]++;
    }
  }
  for (int c = 0; c < output_channels_; c++) {
    float out = 0.0f;
    if (c < n && valid[c]) {
      const int ref = ring_references_[c];
      double v = static_cast<double>(value[c]);
      if (ref >= 1 && ref <= KS_MAX_CHANNELS) v -= ref <= n ? static_cast<double>(value[ref - 1]) : 0.0;
      else if (ref <= -1 && ref >= -groups) v -= sum[-ref - 1] / members[-ref - 1];
      out = static_cast<float>(v);
    }
    record[c] = out;
  }
  read_pos_ += slot_size_;
  if (read_pos_ == capacity_) read_pos_ = 0;
  return true;
}

bool SerialLink::DataMode() const { return data_mode_; }

uint64_t SerialLink::RecordsLost() const {
  std::lock_guard<std::mutex> lock(record_lock_);
  return records_lost_;
}

int SerialLink::RecordSize() const {
  std::lock_guard<std::mutex> lock(record_lock_);
  return record_size_;
}

int SerialLink::StreamChannels() const {
  std::lock_guard<std::mutex> lock(record_lock_);
  return stream_channels_;
}

// ---------------------------------------------------------------------------
// Sample rates.

int SerialLink::RoundSampleRate(float *rate, int *rate_code) {
  if (!IsOpen()) return 0;
  const int base = ident_[KS_ID_BASE_RATE];
  if (base == 0 || !rate) return -1;
  int limit = ident_[KS_ID_RATE_LIMIT];
  if (limit == 0 || limit == 0xFFFF || limit > base) limit = base;
  int halved = base;
  while (halved > limit) halved /= 2;
  ident_[KS_ID_RATE_LIMIT] = static_cast<uint16_t>(halved);
  // Not a number reads as no rate at all: the limit.
  const double requested = *rate > 0 ? *rate : halved;
  const double code = std::trunc(std::clamp(std::log2(base / requested) + 0.5, 0.0, 4.0));
  const int c = static_cast<int>(code);
  *rate = static_cast<float>(base) / static_cast<float>(1 << c);
  if (rate_code) *rate_code = c;
  return 0;
}
