// The front end's recording memory: an image in memory or mapped from a
// file, its configuration block and stored recordings.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common.h"
#include "simamp.h"

namespace {

const uint32_t header_length = 1024;
const uint32_t old_header_length = 40;  // format word 0x0300 (or erased)
const uint32_t first_header = 1024;

void put16(uint8_t *p, uint16_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
uint16_t get16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t *p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// Where a recording's data start after its header.
uint32_t data_offset(uint16_t format_word) {
  return format_word == 0x0300 || format_word == 0xFFFF ? old_header_length : header_length;
}

void compute_used(simamp_memory *m) {
  uint32_t u = m->size;
  while (u > 0 && m->data[u - 1] == 0xFF) u--;
  m->used = u;
}

// How a channel is recorded when the configuration does not say.
simamp_recorded_channel recorded_format(const simamp_channel &c) {
  simamp_recorded_channel r = {1, 0, 0};
  if (c.width == 24) r.size = 3;
  else if (c.width == 16) r.size = 2;
  else if (c.role == SIMAMP_ROLE_SAW) r.size = 3;  // a delta cannot wrap
  if (c.role == SIMAMP_ROLE_STATUS) r.skip = 7;
  if (c.role == SIMAMP_ROLE_BATTERY) r.skip = 15;
  return r;
}

}  // namespace

void simamp_memory_init(simamp_memory *m, uint32_t size) {
  m->owned.assign(size, 0xFF);
  m->data = m->owned.data();
  m->size = size;
  m->used = 0;
  m->fd = -1;
}

std::string simamp_memory_open(simamp_memory *m, const std::string &path, uint32_t size,
                               bool *created) {
  m->data = nullptr;
  m->size = 0;
  m->used = 0;
  m->fd = -1;
  *created = false;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      *created = true;
      if (ftruncate(fd, (off_t)size) != 0) {
        std::string e = path + ": " + strerror(errno);
        close(fd);
        unlink(path.c_str());
        return e;
      }
    }
  }
  if (fd < 0) return path + ": " + strerror(errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    std::string e = path + ": " + strerror(errno);
    close(fd);
    return e;
  }
  if (!S_ISREG(st.st_mode) || st.st_size < 65536 || st.st_size > (1 << 30) ||
      st.st_size % 1024 != 0) {
    close(fd);
    return path + ": not a memory image (a file of 64 KiB to 1 GiB, a multiple of 1 KiB)";
  }
  void *p = mmap(nullptr, (size_t)st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    std::string e = path + ": " + strerror(errno);
    close(fd);
    return e;
  }
  m->data = (uint8_t *)p;
  m->size = (uint32_t)st.st_size;
  m->fd = fd;
  if (*created) memset(m->data, 0xFF, m->size);
  compute_used(m);
  return "";
}

void simamp_memory_close(simamp_memory *m) {
  if (m->fd >= 0) {
    msync(m->data, m->size, MS_SYNC);
    munmap(m->data, m->size);
    close(m->fd);
  }
  m->owned.clear();
  m->data = nullptr;
  m->size = 0;
  m->fd = -1;
}

void simamp_memory_erase(simamp_memory *m) {
  memset(m->data, 0xFF, m->size);
  m->used = 0;
}

void simamp_memory_write(simamp_memory *m, uint32_t address, const uint8_t *bytes, size_t n) {
  PRECONDITION((uint64_t)address + n <= m->size);
  memcpy(m->data + address, bytes, n);
  if (address + n > m->used) {
    uint32_t u = (uint32_t)(address + n);
    while (u > m->used && m->data[u - 1] == 0xFF) u--;
    if (u > m->used) m->used = u;
  }
}

std::string simamp_memory_format(simamp_memory *m, const simamp_config *cfg,
                                 const std::vector<simamp_channel> &channels,
                                 const std::vector<double> &seconds) {
  simamp_memory_erase(m);
  std::vector<simamp_recorded_channel> rec = cfg->recorded;
  if (rec.empty())
    for (const simamp_channel &c : channels) rec.push_back(recorded_format(c));
  rec.resize(std::min<size_t>({rec.size(), channels.size(), 64}));
  const int nch = (int)rec.size();
  const uint32_t end = std::min<uint32_t>(0xF40000u, m->size);
  const uint32_t hlen = data_offset(cfg->format_word);
  // The configuration block.
  uint8_t blk[1024];
  memset(blk, 0, sizeof blk);
  put16(blk + 0, cfg->format_word);
  put16(blk + 2, (uint16_t)hlen);
  put32(blk + 8, first_header);
  put32(blk + 12, end);
  put16(blk + 16, 100);
  put16(blk + 18, (uint16_t)nch);
  put32(blk + 20, 4);
  put16(blk + 28, 0x7FFF);
  put32(blk + 30, (uint32_t)cfg->physio.start_sec);
  for (int c = 0; c < 64; c++) {
    const simamp_recorded_channel r = c < nch ? rec[(size_t)c] : simamp_recorded_channel{0, 0, 0};
    blk[38 + 4 * c] = (uint8_t)r.shift;
    blk[39 + 4 * c] = (uint8_t)r.size;
    blk[40 + 4 * c] = (uint8_t)r.skip;
    blk[41 + 4 * c] = 255;
  }
  put16(blk + 326, 0x0101);
  memset(blk + 768, 0xFF, 256);
  simamp_memory_write(m, 0, blk, sizeof blk);
  // The recordings, one after the other on 1 KiB boundaries.
  uint32_t addr = first_header;
  for (size_t k = 0; k < seconds.size(); k++) {
    simamp_config rc = *cfg;
    rc.physio.seed = cfg->physio.seed + 1000 * (k + 1);
    rc.reply_faults.clear();
    rc.limit_time = -1;
    simamp_device dev;
    simamp_device_init(&dev, &rc, nullptr);
    const uint32_t records = (uint32_t)(seconds[k] * cfg->base_rate + 0.5);
    std::vector<uint8_t> data;
    std::vector<int64_t> last((size_t)nch, 0);
    std::vector<int32_t> counts((size_t)nch);
    bool valid[64];
    for (uint32_t r = 0; r < records; r++) {
      simamp_device_next_record(&dev, nch, counts.data(), valid);
      for (int c = 0; c < nch; c++) {
        const simamp_recorded_channel &f = rec[(size_t)c];
        if (f.size == 0 || (f.skip & (r & 0xFF))) continue;
        const int64_t marker = -(INT64_C(1) << (8 * f.size - 1));
        int64_t v = (int64_t)(counts[(size_t)c] >> f.shift);
        if (!valid[c]) {
          v = marker;  // the channel's state stays as it was
        } else if (f.size <= 2) {
          // Deltas, limited so that they never read as the invalid marker.
          const int64_t lim = -marker - 1;
          int64_t dlt = v - last[(size_t)c];
          if (dlt > lim) dlt = lim;
          if (dlt < -lim) dlt = -lim;
          last[(size_t)c] += dlt;
          v = dlt;
        } else {
          v = std::clamp(v, marker + 1, -marker - 1);  // absolute, never the marker
        }
        for (int b = 0; b < f.size; b++) data.push_back((uint8_t)((uint64_t)v >> (8 * b)));
      }
    }
    simamp_device_free(&dev);
    const uint64_t data_start = (uint64_t)addr + hlen;
    const uint64_t next = (data_start + data.size() + 1023) / 1024 * 1024;
    if (data_start + data.size() > end) {
      simamp_memory_erase(m);
      return "the recordings do not fit into the memory";
    }
    uint8_t hdr[1024];
    memset(hdr, 0xFF, sizeof hdr);
    const bool last_one = k + 1 == seconds.size();
    put32(hdr + 0, last_one ? 0xFFFFFFFFu : (uint32_t)next);
    put32(hdr + 4, (records + 2) & 0x7FFFFFFFu);
    put32(hdr + 8, (uint32_t)cfg->base_rate);
    uint32_t start = (uint32_t)cfg->physio.start_sec + 3600u * (uint32_t)k;
    if ((start & 0xFFFF) == 0) start++;
    put32(hdr + 12, start);
    put32(hdr + 16, (uint32_t)nch);
    put32(hdr + 20, (uint32_t)(k + 1));
    memset(hdr + 24, 0, 64);
    simamp_memory_write(m, addr, hdr, hlen);
    if (!data.empty()) simamp_memory_write(m, (uint32_t)data_start, data.data(), data.size());
    addr = (uint32_t)next;
  }
  return "";
}

std::vector<simamp_recording> simamp_memory_recordings(const simamp_memory *m) {
  std::vector<simamp_recording> list;
  if (m->size < 1024) return list;
  const uint32_t first = get32(m->data + 8);
  const uint32_t end = std::min(get32(m->data + 12), m->size);
  uint32_t addr = first;
  while (addr >= 1024 && (uint64_t)addr + 1024 <= end) {
    const uint32_t next = get32(m->data + addr);
    const uint32_t count = get32(m->data + addr + 4);
    const uint32_t stored = count & 0x7FFFFFFFu;
    const uint32_t records = stored == 0x7FFFFFFFu ? 0 : stored > 1 ? stored - 2 : stored;
    if (next == 0 || next == 0xFFFFFFFFu) {
      if (count != 0xFFFFFFFFu) list.push_back({addr, records});
      break;
    }
    list.push_back({addr, records});
    if (next <= addr) break;
    addr = next;
  }
  return list;
}

std::vector<std::vector<int32_t>> simamp_memory_decode(const simamp_memory *m,
                                                       const simamp_recording *rec) {
  std::vector<std::vector<int32_t>> out;
  const int nch = std::min<int>(get16(m->data + 18), 64);
  const uint16_t format = get16(m->data);
  const uint32_t hlen = format == 0x0300 || format == 0xFFFF ? old_header_length : get16(m->data + 2);
  std::vector<int32_t> last((size_t)nch, 0);
  std::vector<bool> ok((size_t)nch, true);
  static const int64_t markers[5] = {0, -128, -32768, -8388608, INT32_MIN};
  uint64_t pos = (uint64_t)rec->header + hlen;
  for (uint32_t r = 0; r < rec->records; r++) {
    std::vector<int32_t> v((size_t)nch, 0);
    for (int c = 0; c < nch; c++) {
      const int shift = m->data[38 + 4 * c];
      const int s = m->data[39 + 4 * c];
      const int skip = m->data[40 + 4 * c];
      if (s == 0 || s > 4) continue;
      if (!(skip & (r & 0xFF))) {
        if (pos + (uint64_t)s > m->size) return out;
        uint32_t u = 0;
        for (int b = 0; b < s; b++) u |= (uint32_t)m->data[pos + (uint64_t)b] << (8 * b);
        pos += (uint64_t)s;
        int64_t raw = s == 4 ? (int32_t)u : (int64_t)(int32_t)(u << (32 - 8 * s)) >> (32 - 8 * s);
        if (raw == markers[s]) {
          ok[(size_t)c] = false;
        } else {
          ok[(size_t)c] = true;
          last[(size_t)c] = s <= 2 ? (int32_t)(last[(size_t)c] + raw) : (int32_t)raw;
        }
      }
      v[(size_t)c] = ok[(size_t)c] ? (int32_t)((uint32_t)last[(size_t)c] << shift) : 0;
    }
    out.push_back(v);
  }
  return out;
}
