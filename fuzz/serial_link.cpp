// The serial link against a hostile front end: the input is what the line
// delivers, in pieces whose sizes it also chooses. The link identifies the
// front end and scans its tables, starts acquisition, parses frames with the
// sync search and decodes sample and compressed blocks into the record
// ring, which is drained. A fake clock moves with every read and wait, so
// nothing waits in real time; once the input is used up it moves in 64-ms
// steps towards the time-outs that are then all that can happen.
#include <algorithm>
#include <cstring>
#include <vector>

#include "frontend.h"
#include "fuzz_support.h"

namespace {

struct FakeClock final : LinkClock {
  DWORD t = 1000;
  DWORD now() override { return t; }
  void sleep(DWORD ms) override { t += ms; }
};

struct HostileFrontEnd final : LinkIo {
  FakeClock *clock = nullptr;
  const uint8_t *data = nullptr;
  size_t size = 0, pos = 0;
  DWORD read(uint8_t *b, DWORD max) override {
    clock->t += 1;
    if (pos >= size) {
      // Nothing more will come: every wait ends in its time-out, which the
      // clock reaches in large steps rather than one read per millisecond.
      clock->t += 63;
      return 0;
    }
    // Each piece is preceded by its length byte (0: the rest).
    size_t n = data[pos++];
    if (n == 0) n = size - pos;
    n = std::min({n, size - pos, static_cast<size_t>(max)});
    std::memcpy(b, data + pos, n);
    pos += n;
    return static_cast<DWORD>(n);
  }
  DWORD write(const uint8_t *, DWORD count) override { return count; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FakeClock clock;
  HostileFrontEnd io;
  io.clock = &clock;
  io.data = data;
  io.size = size;
  SerialLink link;
  link.SetClock(&clock);
  link.SetIo(&io);
  fuzz::run([&] {
    link.OpenFrontEnd();
    link.ReadCompression();
    const int channels = std::max(1, link.NumberOfChannels());
    link.SetAcquisition(std::min(channels, KS_MAX_CHANNELS), 0, 0);
    std::vector<float> record(KS_MAX_CHANNELS);
    while (io.pos < io.size) {
      link.Poll(clock.now());
      while (link.ReadRecord(record.data())) {
      }
    }
  });
  link.SetIo(nullptr);
  return 0;
}
