// Frame encoding and parsing, and the compressed-block encoder.
#include <cstring>

#include "common.h"
#include "simamp.h"

uint16_t simamp_checksum(int count, int type, const uint16_t *data, int n) {
  uint32_t sum = SIMAMP_SYNC + (uint32_t)((count & 0xFF) | ((type & 0xFF) << 8));
  for (int i = 0; i < n; i++) sum += data[i];
  return (uint16_t)(0x10000u - (sum & 0xFFFFu));
}

static void put16(std::vector<uint8_t> *out, uint16_t w) {
  out->push_back((uint8_t)(w & 0xFF));
  out->push_back((uint8_t)(w >> 8));
}

void simamp_frame_append(std::vector<uint8_t> *out, int type,
                         const uint16_t *data, int n, bool corrupt) {
  PRECONDITION(n >= 0 && n <= SIMAMP_MAX_WORDS);
  PRECONDITION(type >= 0 && type <= 255);
  put16(out, (uint16_t)SIMAMP_SYNC);
  out->push_back((uint8_t)n);
  out->push_back((uint8_t)type);
  for (int i = 0; i < n; i++) put16(out, data[i]);
  uint16_t sum = simamp_checksum(n, type, data, n);
  if (corrupt) sum ^= 0x5A5A;
  put16(out, sum);
}

void simamp_parser_init(simamp_parser *p) {
  p->buf.clear();
  p->pos = 0;
  p->skipped = 0;
}

void simamp_parser_feed(simamp_parser *p, const uint8_t *bytes, size_t n) {
  // Drop what was parsed before growing the buffer further.
  if (p->pos > 0 && p->pos * 2 >= p->buf.size()) {
    p->buf.erase(p->buf.begin(), p->buf.begin() + (ptrdiff_t)p->pos);
    p->pos = 0;
  }
  p->buf.insert(p->buf.end(), bytes, bytes + n);
}

int simamp_parser_next(simamp_parser *p, simamp_frame *frame,
                       uint16_t *header) {
  const std::vector<uint8_t> &b = p->buf;
  for (;;) {
    size_t held = b.size() - p->pos;
    if (held < 4) return SIMAMP_PARSE_NONE;
    if (b[p->pos] != 0xAA) {
      p->pos++;
      p->skipped++;
      continue;
    }
    if (b[p->pos + 1] != 0xAA) {
      p->pos += 2;
      p->skipped += 2;
      continue;
    }
    const int count = b[p->pos + 2];
    const int type = b[p->pos + 3];
    const size_t len = 2 * (size_t)count + 6;
    if (held < len) return SIMAMP_PARSE_NONE;
    const uint8_t *f = &b[p->pos];
    p->pos += len;
    if (header) *header = (uint16_t)(count | (type << 8));
    frame->type = type;
    frame->words.clear();
    if (count == 255) return SIMAMP_PARSE_BAD_COUNT;
    uint32_t sum = SIMAMP_SYNC + (uint32_t)(count | (type << 8));
    for (int i = 0; i <= count; i++) {
      const uint16_t w = (uint16_t)(f[4 + 2 * i] | (f[5 + 2 * i] << 8));
      sum += w;
      if (i < count) frame->words.push_back(w);
    }
    if ((sum & 0xFFFF) != 0) {
      frame->words.clear();
      return SIMAMP_PARSE_BAD_SUM;
    }
    return SIMAMP_PARSE_FRAME;
  }
}

int32_t simamp_invalid_marker(int width) {
  if (width <= 8) return 0;  // always valid
  return static_cast<int32_t>(-(int64_t{1} << (width - 1)));
}

namespace {

// Bits least significant first, bytes in order.
struct BitWriter {
  std::vector<uint8_t> *out;
  uint32_t acc = 0;
  int nbits = 0;
  void put(uint32_t value, int width) {
    for (int i = 0; i < width; i++) {
      acc |= ((value >> i) & 1u) << nbits;
      if (++nbits == 8) {
        out->push_back((uint8_t)acc);
        acc = 0;
        nbits = 0;
      }
    }
  }
  void flush() {
    if (nbits > 0) out->push_back((uint8_t)acc);
    acc = 0;
    nbits = 0;
  }
};

// The smallest field width for a delta: 0 for 0 and -1 (a 2-bit code),
// else w with -2^w <= d <= -2^(w-1)-1 or 2^(w-1) <= d <= 2^w-1.
int delta_width(int64_t d) {
  if (d == 0 || d == -1) return 0;
  uint64_t m = d > 0 ? (uint64_t)d : (uint64_t)(-d - 1);
  int w = 0;
  while (m) {
    w++;
    m >>= 1;
  }
  return w;
}

}  // namespace

void simamp_record_pack(const std::vector<int> &widths, const int32_t *counts,
                        const bool *valid, std::vector<uint8_t> *bytes) {
  BitWriter bw{bytes};
  for (size_t c = 0; c < widths.size(); c++) {
    const int w = widths[c];
    const int32_t v = valid[c] || w <= 8 ? counts[c] : simamp_invalid_marker(w);
    bw.put((uint32_t)v, w);
  }
  bw.flush();
}

bool simamp_compress_block(const simamp_compression *cp,
                           const std::vector<int> &widths,
                           const std::vector<std::vector<int32_t>> &records,
                           const std::vector<std::vector<bool>> &valid,
                           std::vector<uint8_t> *out,
                           std::vector<std::vector<int32_t>> *held) {
  const size_t nch = widths.size();
  const int deltas = cp->block_records;
  PRECONDITION(records.size() == (size_t)deltas + 1);
  PRECONDITION(valid.size() == records.size());
  const int max_width = (1 << cp->prefix_width) - 1;
  std::vector<uint8_t> bytes;
  std::vector<int64_t> prev(nch);
  std::vector<bool> ok(nch);
  std::vector<std::vector<int32_t>> decoded;
  // Full record.
  std::vector<int32_t> first(nch);
  for (size_t c = 0; c < nch; c++)
    if (widths[c] != 8 && widths[c] != 16 && widths[c] != 24) return false;
  for (size_t c = 0; c < nch; c++) {
    int32_t v = records[0][c];
    ok[c] = widths[c] == 8 ? true : (bool)valid[0][c];
    if (!ok[c]) v = simamp_invalid_marker(widths[c]);
    for (int k = 0; k < widths[c] / 8; k++) bytes.push_back((uint8_t)((uint32_t)v >> (8 * k)));
    prev[c] = ok[c] ? v : 0;
    first[c] = v;
  }
  decoded.push_back(first);
  // Delta records.
  BitWriter bw{&bytes};
  std::vector<int> counter(nch, 0);
  for (int r = 1; r <= deltas; r++) {
    std::vector<int32_t> rec(nch);
    for (size_t c = 0; c < nch; c++) {
      const bool v_ok = widths[c] == 8 ? true : (bool)valid[r][c];
      if (v_ok != ok[c]) return false;  // validity changes inside the block
      const int dec = c < cp->decimation.size() ? cp->decimation[c] : 0;
      if (counter[c] == dec) {
        counter[c] = 0;
        if (ok[c]) {
          const int64_t d = (int64_t)records[r][c] - prev[c];
          const int w = delta_width(d);
          if (w > max_width) return false;
          bw.put((uint32_t)w, cp->prefix_width);
          if (w == 0) {
            bw.put(d == -1 ? 3u : 0u, 2);
          } else {
            const uint32_t field = d > 0 ? (uint32_t)d : (uint32_t)(d + ((int64_t)1 << w));
            bw.put(field, w);
          }
          prev[c] = records[r][c];
        } else {
          prev[c] = 0;
        }
      } else {
        counter[c]++;
      }
      rec[c] = ok[c] ? (int32_t)prev[c] : simamp_invalid_marker(widths[c]);
    }
    decoded.push_back(rec);
  }
  bw.flush();
  if ((bytes.size() + 1) / 2 > SIMAMP_MAX_WORDS) return false;
  std::vector<uint16_t> words((bytes.size() + 1) / 2, 0);
  for (size_t i = 0; i < bytes.size(); i++)
    words[i / 2] |= (uint16_t)(bytes[i] << (8 * (i % 2)));
  simamp_frame_append(out, SIMAMP_BLOCK_COMPRESSED, words.data(), (int)words.size());
  if (held) *held = decoded;
  return true;
}
