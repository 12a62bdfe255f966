// kesto_decode: how fast the serial server's front-end layer parses and
// decodes the amplifier's byte stream, as a multiple of the amplifier's real
// data rate (14 channels at 2048 records per second).
//
// A minute of the simulated front end's output (plain records, then
// compressed blocks; noise bytes after every 50th frame and a damaged
// checksum in every 100th sample frame) is recorded first. Each run feeds it
// through the link's byte hook in 256-byte chunks, as a serial driver hands
// them over, parses and decodes it into the record ring and reads every
// record back referenced, as the delivery thread does. The floor copies the
// same bytes in the same chunks. Prints a Markdown table of medians.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frontend.h"
#include "simamp.h"

namespace {

const int rate = 2048;
const int seconds = 60;
const size_t chunk = 256;

struct NoClock final : LinkClock {
  DWORD t = 0;
  DWORD now() override { return t; }
  void sleep(DWORD ms) override { t += ms; }
};

// Hands the stream over in chunks; acknowledges every command.
struct Feed final : LinkIo {
  const std::vector<uint8_t> *bytes = nullptr;
  size_t pos = 0;
  std::vector<uint8_t> reply;
  DWORD read(uint8_t *b, DWORD max) override {
    if (!reply.empty()) {
      const DWORD n = std::min<DWORD>(max, (DWORD)reply.size());
      memcpy(b, reply.data(), n);
      reply.erase(reply.begin(), reply.begin() + n);
      return n;
    }
    const size_t n = std::min({(size_t)max, chunk, bytes->size() - pos});
    memcpy(b, bytes->data() + pos, n);
    pos += n;
    return (DWORD)n;
  }
  DWORD write(const uint8_t *b, DWORD n) override {
    const uint16_t w[2] = {(uint16_t)(b[2] | b[3] << 8), 0};
    reply.resize(10);
    ks_frame_build(reply.data(), 0, 2, w);
    return n;
  }
};

std::vector<uint8_t> record_stream(bool compressed, std::vector<simamp_channel> *channels,
                                   simamp_compression *cp) {
  simamp_config cfg;
  simamp_config_init(&cfg);
  cfg.compressed = compressed;
  cfg.noise_every = 50;
  cfg.corrupt_samples_every = 100;
  cfg.max_output = (size_t)1 << 30;
  simamp_device dev;
  simamp_device_init(&dev, &cfg, nullptr);
  std::vector<uint8_t> start;
  const uint16_t w[3] = {14, 0, 0};
  simamp_frame_append(&start, 2, w, 3);
  simamp_device_receive(&dev, start.data(), start.size(), 0);
  std::vector<uint8_t> out;
  for (int64_t us = 0; us <= (int64_t)seconds * 1000000; us += 10000) {
    simamp_device_run(&dev, us);
    size_t n;
    const uint8_t *p = simamp_device_output(&dev, &n);
    out.insert(out.end(), p, p + n);
    simamp_device_consume(&dev, n);
  }
  *channels = dev.channels;
  *cp = dev.cfg.compression;
  simamp_device_free(&dev);
  // The acknowledgement of the start command is not part of the stream.
  out.erase(out.begin(), out.begin() + 10);
  return out;
}

double decode_seconds(const std::vector<uint8_t> &stream, const std::vector<simamp_channel> &chs,
                      const simamp_compression &cp, uint64_t *records) {
  static SerialLink link;  // its rings are large: made once
  NoClock clock;
  Feed feed;
  feed.bytes = &stream;
  link.SetClock(&clock);
  link.SetIo(&feed);
  std::vector<ChannelSetup> setup;
  for (size_t c = 0; c < chs.size(); c++)
    setup.push_back(ChannelSetup{chs[c].width, chs[c].type == 1 ? -1 : 0, chs[c].gain,
                                 chs[c].offset, cp.decimation[c], chs[c].name, chs[c].unit,
                                 chs[c].exponent});
  link.ConfigureChannels(setup);
  link.SetCompression({cp.prefix_width, cp.block_records});
  if (!link.SetAcquisition((int)chs.size(), 0, 0)) {
    fprintf(stderr, "kesto_decode: the start was not acknowledged\n");
    exit(1);
  }
  feed.pos = 0;
  float record[KS_MAX_CHANNELS];
  uint64_t n = 0;
  double check = 0;
  const auto t0 = std::chrono::steady_clock::now();
  while (feed.pos < stream.size()) {
    link.Poll(0);
    while (link.ReadRecord(record)) {
      n++;
      check += record[11];
    }
  }
  link.Poll(0);
  while (link.ReadRecord(record)) n++;
  const auto t1 = std::chrono::steady_clock::now();
  if (check < 0) puts("");
  *records = n;
  link.SetIo(nullptr);
  return std::chrono::duration<double>(t1 - t0).count();
}

double copy_seconds(const std::vector<uint8_t> &stream) {
  std::vector<uint8_t> ring(4096);
  unsigned sum = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (size_t pos = 0; pos < stream.size(); pos += chunk) {
    const size_t n = std::min(chunk, stream.size() - pos);
    memcpy(ring.data() + (pos % 4096 / chunk) * chunk, stream.data() + pos, n);
    sum += ring[pos % 4096];
  }
  const auto t1 = std::chrono::steady_clock::now();
  if (sum == 1) puts("");
  return std::chrono::duration<double>(t1 - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
  printf("| Stream | Bytes | Records | Decode, median (min to max) | Times real time | Copy floor, median | Times real time |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (bool compressed : {false, true}) {
    std::vector<simamp_channel> chs;
    simamp_compression cp;
    const std::vector<uint8_t> stream = record_stream(compressed, &chs, &cp);
    std::vector<double> decode, copy;
    uint64_t records = 0;
    for (int r = 0; r < runs; r++) {
      decode.push_back(decode_seconds(stream, chs, cp, &records));
      copy.push_back(copy_seconds(stream));
    }
    const double real = (double)seconds;  // the stream's length in real time
    const double d = median(decode), c = median(copy);
    printf("| %s | %zu | %llu | %.2f ms (%.2f to %.2f) | %.0f | %.3f ms | %.0f |\n",
           compressed ? "compressed blocks (type 47)" : "plain records (type 1)", stream.size(),
           (unsigned long long)records, d * 1e3,
           *std::min_element(decode.begin(), decode.end()) * 1e3,
           *std::max_element(decode.begin(), decode.end()) * 1e3, real / d, c * 1e3, real / c);
    if (records < (uint64_t)rate * seconds * 95 / 100) {
      fprintf(stderr, "kesto_decode: only %llu of %d records decoded\n",
              (unsigned long long)records, rate * seconds);
      return 1;
    }
  }
  return 0;
}
