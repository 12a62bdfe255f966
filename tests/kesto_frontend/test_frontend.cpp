// Tests of the front-end layer of KestoSerial. A scripted front end and a test clock make the timing exact; the
// simulator's device model behind the link's byte hook serves every command (the real port is met in the server's
// tests).
#include "frontend.h"
#include "simamp.h"
#include "testsupport.h"

namespace {

struct TestClock final : LinkClock {
  DWORD t = 1000;
  DWORD now() override { return t; }
  void sleep(DWORD ms) override { t += ms; }
};

struct Frame {
  int type;
  std::vector<uint16_t> w;
};

std::vector<uint8_t> frame(int type, const std::vector<uint16_t> &w) {
  std::vector<uint8_t> b(2 * w.size() + 6);
  ks_frame_build(b.data(), type, (int)w.size(), w.data());
  return b;
}
// A frame as the link wrote it.
Frame written(const uint8_t *b) {
  Frame f{b[3], {}};
  for (int i = 0; i < b[2]; i++) f.w.push_back((uint16_t)(b[4 + 2 * i] | b[5 + 2 * i] << 8));
  return f;
}
// A frame carrying `bytes` (padded to whole words).
std::vector<uint8_t> frame_of_bytes(int type, std::vector<uint8_t> bytes) {
  bytes.resize((bytes.size() + 1) / 2 * 2, 0);
  std::vector<uint16_t> w(bytes.size() / 2);
  memcpy(w.data(), bytes.data(), bytes.size());
  return frame(type, w);
}
uint16_t header(int type, int n) { return (uint16_t)(n | type << 8); }
std::vector<uint8_t> ack(const Frame &f, int code = 0) {
  return frame(0, {header(f.type, (int)f.w.size()), (uint16_t)code});
}
void append(std::vector<uint8_t> *to, const std::vector<uint8_t> &b) {
  to->insert(to->end(), b.begin(), b.end());
}

// A scripted front end: every read takes 1 ms of the test clock and gives at most `chunk` bytes; every frame written is
// logged and may be answered.
struct Script final : LinkIo {
  TestClock *clock = nullptr;
  std::vector<uint8_t> in;
  size_t pos = 0, chunk = 1 << 20;
  std::vector<Frame> sent;
  std::function<std::vector<uint8_t>(const Frame &)> respond;
  std::function<void()> after_write;
  DWORD write_limit = ~0u;
  DWORD read(uint8_t *b, DWORD max) override {
    clock->t++;
    const size_t n = std::min({(size_t)max, chunk, in.size() - pos});
    if (n) memcpy(b, in.data() + pos, n);
    pos += n;
    return (DWORD)n;
  }
  DWORD write(const uint8_t *b, DWORD n) override {
    const Frame f = written(b);
    sent.push_back(f);
    if (respond) append(&in, respond(f));
    if (after_write) after_write();
    return std::min(n, write_limit);
  }
};

struct Rig {
  TestClock clock;
  Script io;
  SerialLink link;
  Rig() {
    io.clock = &clock;
    link.SetClock(&clock);
    link.SetIo(&io);
  }
  void feed(const std::vector<uint8_t> &b) { append(&io.in, b); }
};

// The simulator's device model behind the link, on the test clock.
struct SimRig {
  TestClock clock;
  simamp_config cfg;
  simamp_memory mem;
  simamp_device dev;
  std::vector<Frame> sent;
  struct Io final : LinkIo {
    SimRig *r;
    DWORD read(uint8_t *b, DWORD max) override {
      r->clock.t++;
      simamp_device_run(&r->dev, (int64_t)r->clock.t * 1000);
      size_t n;
      const uint8_t *p = simamp_device_output(&r->dev, &n);
      n = std::min(n, (size_t)max);
      if (n) memcpy(b, p, n);
      simamp_device_consume(&r->dev, n);
      return (DWORD)n;
    }
    DWORD write(const uint8_t *b, DWORD n) override {
      r->sent.push_back(written(b));
      simamp_device_receive(&r->dev, b, n, (int64_t)r->clock.t * 1000);
      return n;
    }
  } io;
  SerialLink link;
  explicit SimRig(const std::function<void(simamp_config *)> &setup = {}) {
    simamp_config_init(&cfg);
    cfg.memory_size = 1u << 20;
    if (setup) setup(&cfg);
    simamp_memory_init(&mem, cfg.memory_size);
    simamp_device_init(&dev, &cfg, &mem);
    io.r = this;
    link.SetClock(&clock);
    link.SetIo(&io);
  }
  ~SimRig() {
    simamp_device_free(&dev);
    simamp_memory_close(&mem);
  }
  int commands(int type) const {
    int n = 0;
    for (const Frame &f : sent) n += f.type == type;
    return n;
  }
};

ChannelSetup channel(int width, int reference = 0, int decimation = 0) {
  return ChannelSetup{width, reference, 1.0f, 0.0f, decimation, "", 8, 0};
}

// Channels set up, acquisition started (the script acknowledges it).
void start(Rig &r, const std::vector<ChannelSetup> &channels, CompressionParams cp = {4, 0}) {
  r.link.ConfigureChannels(channels);
  r.link.SetCompression(cp);
  r.io.respond = [](const Frame &f) { return ack(f); };
  ASSERT_TRUE(r.link.SetAcquisition((int)channels.size(), 0, 0));
  r.io.respond = nullptr;
}

// The first n floats of the next record, empty when none is waiting.
std::vector<float> read_record(SerialLink &link, int n = KS_MAX_CHANNELS) {
  std::vector<float> v(KS_MAX_CHANNELS, NAN);
  if (!link.ReadRecord(v.data())) return {};
  v.resize((size_t)n);
  return v;
}

TEST(KestoLink, FramesAreFoundWhateverComesAroundThem) {
  const std::vector<uint8_t> ident = frame(2, std::vector<uint16_t>(16, 7));
  std::vector<uint8_t> bad = frame(9, {1, 2, 3, 4, 5});
  bad[6] ^= 1;
  std::vector<uint8_t> count255 = {0xAA, 0xAA, 0xFF, 0x09};
  count255.resize(516, 0x11);
  const std::vector<uint8_t> noise = {0x01, 0xAA, 0x55, 0x00, 0xAA, 0x13};
  const struct {
    const char *what;
    std::vector<std::vector<uint8_t>> parts;
    std::vector<uint16_t> statuses;  // of successive Polls
  } cases[] = {
      {"a plain reply", {ident}, {2, KS_STATUS_NONE}},
      {"noise, AA 55 and AA 13 before the sync", {noise, ident}, {2}},
      {"a bad checksum dropped, the next frame found", {bad, ident}, {KS_STATUS_CHECKSUM, 2}},
      {"count 0 is valid", {frame(9, {})}, {9}},
      {"count 255 is refused whole", {count255, ident}, {KS_STATUS_COUNT_255, 2}},
      {"a type without a handler", {frame(99, {1})}, {KS_STATUS_UNHANDLED}},
  };
  for (size_t chunk : {(size_t)1, (size_t)5, (size_t)4096}) {
    for (const auto &c : cases) {
      Rig r;
      r.io.chunk = chunk;
      // 4090 noise bytes first, so that the frames straddle the ring's end.
      r.feed(std::vector<uint8_t>(4090, 0x42));
      while (r.io.pos < r.io.in.size()) r.link.Poll(0);
      for (const auto &p : c.parts) r.feed(p);
      for (uint16_t want : c.statuses) {
        uint16_t got = KS_STATUS_NONE;
        for (bool drained = false; got == KS_STATUS_NONE && !drained;) {
          drained = r.io.pos == r.io.in.size();
          r.link.Poll(0);
          got = r.link.Status();
        }
        EXPECT_EQ(got, want) << c.what << ", chunks of " << chunk;
      }
    }
  }
  Rig r;
  ASSERT_TRUE(r.link.SendKeepAlive());
  EXPECT_EQ(frame(0x27, {}), (std::vector<uint8_t>{0xAA, 0xAA, 0x00, 0x27, 0x56, 0x2E}));  // the checksum, known
  ASSERT_EQ(r.io.sent.size(), 1u);
  EXPECT_EQ(r.io.sent[0].type, 0x27);
  EXPECT_EQ(ks_block_name(0x27, true), "keep-alive (39)");
  EXPECT_EQ(ks_block_name(47, false), "compressed block (47)");
  EXPECT_EQ(ks_block_name(99, false), "block type 99");
}

TEST(KestoLink, WaitReplyResendsFailsAndKeepsTheTexts) {
  const uint16_t q = KS_CMD_IDENTIFY;
  const std::vector<uint16_t> id(16, 1);
  const struct {
    const char *what;
    std::function<std::vector<uint8_t>(const Frame &, int sending)> respond;
    std::function<std::vector<uint8_t>()> stream;  // fed on every read
    bool ok;
    int sendings;
    int code;
    const char *text;
  } cases[] = {
      {"refused with 25", [](const Frame &f, int) { return ack(f, 25); }, {}, false, 1, 25,
       "FrontEndError:  samplerate not supported"},
      {"unknown code", [](const Frame &f, int) { return ack(f, 99); }, {}, false, 1, 99, "Unknown FrontEndError: 99"},
      {"code 2 resends at once", [&](const Frame &f, int n) { return n == 1 ? ack(f, 2) : frame(2, id); }, {}, true, 2, 0, ""},
      {"silence", [](const Frame &, int) { return std::vector<uint8_t>{}; }, {}, false, 4, -1, "Front end not responding"},
      {"512 other replies each", [](const Frame &, int) { return std::vector<uint8_t>{}; },
       [] { return frame(7, {1}); }, false, 4, -1, "Front end not responding"},
      {"unhandled types count time", [&](const Frame &, int n) {
         return n == 2 ? frame(2, id) : std::vector<uint8_t>{}; },
       [] { return frame(99, {1}); }, true, 2, 0, ""},
      {"an error reply to another command is ignored", [&](const Frame &, int n) {
         return n == 1 ? frame(0, {header(8, 0), 25}) : frame(2, id); }, {}, true, 2, 0, ""},
  };
  for (const auto &c : cases) {
    Rig r;
    int sending = 0;
    r.io.respond = [&](const Frame &f) { return c.respond(f, ++sending); };
    std::vector<DWORD> times;
    r.io.after_write = [&] { times.push_back(r.clock.t); };
    if (c.stream) r.io.chunk = 64;
    // 300 strays take longer than 250 ms; 3000 outlast four sendings.
    for (int i = 0; c.stream && i < (c.stream()[3] == 7 ? 3000 : 300); i++) r.feed(c.stream());
    EXPECT_EQ(r.link.SendFrame(q, 0, nullptr) && r.link.WaitReply(2), c.ok) << c.what;
    EXPECT_EQ((int)r.io.sent.size(), c.sendings) << c.what;
    EXPECT_EQ(r.link.LastErrorCode(), c.code) << c.what;
    EXPECT_EQ(r.link.LastErrorText(), c.text) << c.what;
    for (size_t i = 1; std::string(c.what) == "silence" && i < times.size(); i++)
      EXPECT_EQ(times[i] - times[i - 1], 251u);
    EXPECT_TRUE(std::string(c.what) != "code 2 resends at once" || times[1] - times[0] <= 1u);
  }
  // A reply that the worker's parser gets first, right after it arrives, is not lost.
  Rig r;
  r.io.respond = [&](const Frame &) { return frame(2, std::vector<uint16_t>(16, 3)); };
  r.io.after_write = [&] { r.link.Poll(0); };
  EXPECT_TRUE(r.link.Identify());
  EXPECT_EQ(r.io.sent.size(), 1u);
  EXPECT_EQ(r.link.IdentificationWord(15), 3);
}

TEST(KestoLink, PortErrorsNameTheFunction) {
  testsupport::TempDir dir;
  setenv("CORVIA_REGISTRY_FILE", dir.file("registry.txt").c_str(), 1);
  SerialLink link;
  EXPECT_EQ(link.Open("COM250", 115200), 2u);
  EXPECT_EQ(link.LastErrorText(), "The system cannot find the file specified. [Code=2; Function=CreateFile]");
  testsupport::write_file(dir.file("plain"), "x");
  EXPECT_EQ(link.Open(dir.file("plain").c_str(), 0), 1u);
  EXPECT_EQ(link.LastErrorText(), "Incorrect function. [Code=1; Function=SetupComm]");
  unsetenv("CORVIA_REGISTRY_FILE");
  // A short write closes the line and fails the exchange at once.
  Rig r;
  r.io.write_limit = 3;
  EXPECT_EQ(r.link.RawExchange(KS_CMD_IDENTIFY, 2, 0, nullptr, 0, nullptr), -1);
  EXPECT_FALSE(r.link.IsOpen());
  EXPECT_EQ(r.link.LastErrorText(),
            "A device attached to the system is not functioning. [Code=31; Function=WriteFile]");
  EXPECT_EQ(r.link.Read(nullptr, 10), 0u);
}

TEST(KestoCommands, OpeningWithAndWithoutTables) {
  SimRig s;
  ASSERT_TRUE(s.link.OpenFrontEnd());
  // The tables, read in pieces, describe the simulator's channels.
  const std::vector<simamp_channel> want = simamp_channels_build(&s.cfg);
  for (int i = 0; i < 14; i++) {
    const ChannelSetup &c = s.link.Channel(i);
    const simamp_channel &w = want[(size_t)i];
    EXPECT_EQ(std::tie(c.name, c.width, c.gain, c.offset, c.unit, c.exponent),
              std::tie(w.name, w.width, w.gain, w.offset, w.unit, w.exponent)) << i;
    EXPECT_EQ(c.reference, w.type == 1 ? -1 : 0) << i;
  }
  EXPECT_EQ(s.link.IdentificationWord(KS_ID_RATE_LIMIT), 2048) << "0 becomes the base rate";
  // The default set-up: 14 channels, 8 ExG and 4 AUX.
  SimRig d([](simamp_config *c) { c->tables = false; c->exg_channels = 8; c->aux_channels = 4; });
  ASSERT_TRUE(d.link.OpenFrontEnd());
  ASSERT_EQ(d.link.NumberOfChannels(), 14);
  for (int i = 0; i < 14; i++) {
    const ChannelSetup &c = d.link.Channel(i);
    EXPECT_EQ(std::make_tuple(c.width, c.reference, c.gain, c.unit, c.exponent),
              std::make_tuple(i < 8 ? 24 : 8, i < 8 ? -1 : 0, i < 8 ? 0.0715f : i < 12 ? 0.00143f : 1.0f,
                              i < 12 ? 1 : 8, i < 8 ? -6 : i < 12 ? -3 : 0)) << i;
  }
  for (auto [at, name] : {std::pair{7, "ExG 8"}, {8, "AUX 1"}, {11, "AUX 4"}, {12, "ODig 1"}, {13, "ODig 2"}})
    EXPECT_EQ(d.link.Channel(at).name, name);
  EXPECT_EQ(d.link.DeviceName(), "Serial Device");
  // Tables of version 4 without names; a version-2 table ends the scan.
  SimRig v([](simamp_config *c) { c->table_version = 4; c->unnamed = true; });
  ASSERT_TRUE(v.link.OpenFrontEnd());
  EXPECT_EQ(v.link.Channel(9).name + v.link.DeviceName(), "Ch 10Serial Device");
  SimRig two([](simamp_config *c) { c->table_version = 2; c->exg_channels = 8; c->aux_channels = 4; });
  ASSERT_TRUE(two.link.OpenFrontEnd());
  EXPECT_EQ(two.link.Channel(12).name, "ODig 1");
  // The identification and compression words as configured.
  SimRig id([](simamp_config *c) {
    std::tie(c->serial_number, c->base_rate, c->rate_limit, c->hardware_version, c->software_version) =
        std::make_tuple(1234567890, 1024, 512, 7, 9);
    std::tie(c->command_buffer, c->send_buffer, c->compression) = std::make_tuple(100, 60, simamp_compression{3, 5, {0, 0, 0, 0, 7}});
  });
  ASSERT_TRUE(id.link.OpenFrontEnd() && id.link.ReadCompression());
  EXPECT_EQ(std::vector<uint16_t>(id.link.Identification() + 3, id.link.Identification() + 14),
            (std::vector<uint16_t>{512, 1234567890 & 0xFFFF, 1234567890 >> 16, 2, 6, 7, 9, 100, 60, 14, 1024}));
  EXPECT_EQ(std::make_tuple(id.link.Compression().prefix_width, id.link.Compression().block_records,
                            id.link.Channel(4).decimation, id.link.Channel(13).decimation), std::make_tuple(3, 5, 7, 0));
  // Silence after an opening: nothing is taken from earlier replies, the identification is cleared and the opening
  // fails; closing forgets the rest.
  ASSERT_TRUE(s.link.ReadCompression());
  s.dev.muted = true;
  EXPECT_FALSE(s.link.ReadCompression() || s.link.OpenFrontEnd());
  EXPECT_EQ(std::make_pair(s.link.LastErrorText(), s.link.SerialNumber()),
            std::make_pair(std::string("Front end not responding"), 0u));
  s.link.ClearFrontEnd();
  EXPECT_EQ(std::make_pair(s.link.NumberOfChannels(), s.link.DeviceName()),
            std::make_pair(0, std::string("Serial Device")));
}

// A front end whose second table is damaged in one way or another.
TEST(KestoCommands, MalformedTablesEndTheScanKeepingEarlierChannels) {
  simamp_config cfg;
  simamp_config_init(&cfg);
  cfg.channels = 10;
  const std::vector<std::vector<uint16_t>> good = simamp_tables_build(&cfg, simamp_channels_build(&cfg));
  const struct {
    const char *what;
    std::function<void(std::vector<uint16_t> &t)> table;  // damages table 1
    std::function<void(std::vector<uint16_t> &reply)> reply;  // damages its replies
    int channels;  // -1: no tables, and 65 channels announced, more than are served
    bool late = false;  // the first read answered only when sent again, and then twice
  } cases[] = {
      {"sound, a late answer to a resent read passed over", {}, {}, 10, true},
      {"reply count not word 1 + 2", {}, [](std::vector<uint16_t> &w) { w[1]++; }, 8},
      {"address not echoed", {}, [](std::vector<uint16_t> &w) { w[0]++; }, 8},
      {"entry outside the table", [](std::vector<uint16_t> &t) { t[8] = 4095; }, {}, 8},
      {"descriptor at the table's end", [](std::vector<uint16_t> &t) { t[16] = 4090; }, {}, 8},
      {"width 0", [](std::vector<uint16_t> &t) { t[t[16] + 3] = 0; }, {}, 8},
      {"width 33", [](std::vector<uint16_t> &t) { t[t[16] + 3] = 33; }, {}, 8},
      {"name without its zero", [](std::vector<uint16_t> &t) {
         t.resize(4096, 0x4141);
         t[1] = 4096;
         t[17] = 4000;
       }, {}, 8},
      {"more than 64 channels", [](std::vector<uint16_t> &t) { t[6] = 57; t[7] = 0; }, {}, 8},
      {"65 channels without tables", {}, {}, -1},
  };
  for (const auto &c : cases) {
    std::vector<std::vector<uint16_t>> tables = c.channels < 0 ? std::vector<std::vector<uint16_t>>{} : good;
    if (c.table) c.table(tables[1]);
    std::vector<uint16_t> ident = simamp_identification(&cfg);
    if (c.channels < 0) ident[KS_ID_CHANNELS] = 65;
    Rig r;
    int sendings = 0;
    r.io.respond = [&](const Frame &f) {
      if (f.type == KS_CMD_IDENTIFY) return frame(2, ident);
      const bool late = c.late && f.w[0] == 0;
      if (late && sendings++ == 0) return std::vector<uint8_t>{};
      const size_t k = f.w[0] / 4096, off = f.w[0] % 4096;
      std::vector<uint16_t> w = {f.w[0], 0};
      if (k < tables.size() && off < tables[k].size())
        for (size_t i = off; i < std::min(tables[k].size(), off + f.w[1]); i++) w.push_back(tables[k][i]);
      w[1] = (uint16_t)(w.size() - 2);
      if (k == 1 && c.reply) c.reply(w);
      std::vector<uint8_t> b = frame(35, w);
      if (late) append(&b, frame(35, w));
      return b;
    };
    ASSERT_EQ(r.link.OpenFrontEnd(), c.channels >= 0) << c.what;
    if (c.channels < 0) {
      EXPECT_EQ(r.link.LastErrorText(), "Front end reports 65 channels; at most 64 are served");
      continue;
    }
    EXPECT_EQ(std::make_pair(r.link.NumberOfChannels(), r.link.Channel(7).name), std::make_pair(c.channels, std::string("H Resp")))
        << c.what;
  }
  // A front end that never answers the table scan is not one without tables: the opening fails rather than scale the
  // samples with the defaults.
  SimRig mute([](simamp_config *c) { c->reply_faults = {{SIMAMP_FAULT_DROP, KS_CMD_READ_TABLE, 0, -1}}; });
  EXPECT_FALSE(mute.link.OpenFrontEnd());
  EXPECT_EQ(mute.link.LastErrorText(), "Front end not responding");
}

TEST(KestoCommands, AcquisitionRetriesOnSilenceOnly) {
  SimRig s([](simamp_config *c) { c->reply_faults = {{SIMAMP_FAULT_DROP, 2, 0, 4}}; });
  ASSERT_TRUE(s.link.OpenFrontEnd());
  EXPECT_TRUE(s.link.SetAcquisition(14, 0, 0));
  EXPECT_EQ(s.commands(2), 5) << "four sendings unanswered, then the second attempt";
  EXPECT_TRUE(s.link.DataMode());
  SimRig e([](simamp_config *c) { c->reply_faults = {{SIMAMP_FAULT_ERROR, 2, 25, 1}}; });
  ASSERT_TRUE(e.link.OpenFrontEnd());
  EXPECT_FALSE(e.link.SetAcquisition(14, 0, 0));
  EXPECT_EQ(e.commands(2), 1);
  EXPECT_FALSE(e.link.DataMode());
}

// The link as the simulator's client: the records it decodes in `seconds` of the test clock, as counts (channels 0 and
// 1 referenced to their mean).
std::vector<std::vector<float>> stream(SimRig &s, int channels, int rate_code, double seconds) {
  EXPECT_TRUE(s.link.OpenFrontEnd());
  s.link.ReadCompression();
  EXPECT_TRUE(s.link.SetAcquisition(channels, rate_code, 0));
  std::vector<std::vector<float>> got;
  for (const DWORD end = s.clock.t + (DWORD)(seconds * 1000); s.clock.t < end;) {
    s.link.PollIdle();
    for (std::vector<float> v; !(v = read_record(s.link, channels)).empty();) got.push_back(v);
  }
  return got;
}
float scaled(const simamp_channel &ch, float count) { return count * ch.gain + ch.offset; }

// Records from the simulator: the sawtooth channel counts up, the two ExG channels referenced to their average are
// opposite, through a limit frame.
TEST(KestoCommands, RecordsFlowThroughALimitFrame) {
  for (bool compressed : {false, true}) {
    SimRig s([&](simamp_config *c) {
      c->compressed = compressed;
      c->limit_time = 0.25;
      c->limit_channels = 12;
      c->noise_every = 5;
    });
    const std::vector<std::vector<float>> got = stream(s, 14, 0, 0.5);
    int fourteen = 0;
    for (size_t k = 0; k < got.size(); k++) {
      EXPECT_TRUE(k == 0 || (int)got[k][11] == ((int)got[k - 1][11] + 1) % 256) << k;
      EXPECT_EQ(got[k][0], -got[k][1]);
      fourteen += got[k][12] != 0.0f;
    }
    EXPECT_GT(got.size(), 1000u) << compressed;
    EXPECT_EQ(s.link.StreamChannels(), 12);
    EXPECT_TRUE(fourteen > 400 && fourteen < 600) << "records before the limit keep their 14 channels: " << fourteen;
    ASSERT_GE(s.sent.size(), 2u);
    const Frame &resent = s.sent.back();
    EXPECT_EQ(resent.w, (std::vector<uint16_t>{12, 0, 0})) << "command 2 again at once";
    ASSERT_TRUE(s.link.Resend());
    EXPECT_EQ(s.sent.back().w, (std::vector<uint16_t>{14, 0, 0})) << "the kept frame restored";
    EXPECT_EQ(s.link.RecordsLost(), 0u);
  }
}

// Every record (or every fourth at a quarter of the rate) carries the generator's frame of its instant; the sawtooth,
// sync pulse and battery. A disconnected channel (ECG and Temp, which has an offset, from 0.25 to 0.5 s) reads exactly
// 0 once scaled; EMG crosses zero but never reads 0 four times in a row.
TEST(KestoSimulator, RecordsCarryTheGeneratorsSignalsAndDisconnectsReadZero) {
  for (const auto &[rate_code, channels, step] : {std::tuple{0, 14, 1}, {2, 8, 4}}) {
    SimRig s([](simamp_config *c) { c->disconnects = {{2, 0.25, 0.5}, {5, 0.25, 0.5}}; });
    const std::vector<std::vector<float>> got = stream(s, channels, rate_code, 1.0);
    EXPECT_NEAR((double)got.size(), 2048.0 / step, 20.0);
    const auto ch = simamp_channels_build(&s.cfg);
    physio_generator g;
    physio_generator_init(&g, &s.cfg.physio);
    for (size_t k = 0; k < got.size(); k++) {
      corvia_data raw, skipped;
      for (int i = 0; i < step; i++) physio_generator_next_frame(&g, i ? &skipped : &raw);
      const size_t n = k * step;  // the frame's number
      const bool off = n >= 512 && n < 1024;
      for (size_t j = 0; j < 6; j++)
        ASSERT_TRUE((off && (j == 0 || j == 3)) || std::fabs(scaled(ch[2 + j], got[k][2 + j]) - raw.data[j]) <=
                                                          ch[2 + j].gain * 0.51 + std::fabs(raw.data[j]) * 1e-6)
            << "record " << k << " signal " << j << ": " << scaled(ch[2 + j], got[k][2 + j]) << " for " << raw.data[j];
      ASSERT_TRUE(!off || scaled(ch[2], got[k][2]) == 0.0f) << k;
      ASSERT_EQ(scaled(ch[5], got[k][5]) == 0.0f, off) << k;
      if (channels < 14) continue;
      ASSERT_EQ(got[k][11], (float)(k % 256)) << "sawtooth";
      ASSERT_EQ(got[k][10], k % 2048 < 205 ? 1.0f : 0.0f) << "sync pulse in the first 100 ms of a second";
      ASSERT_NEAR(scaled(ch[13], got[k][13]), 3.9, 0.011);
      bool emg = k >= 3, ecg = k >= 3;
      for (size_t j = k - std::min<size_t>(k, 3); j <= k; j++) emg = emg && got[j][3] == 0, ecg = ecg && got[j][2] == 0;
      ASSERT_FALSE(emg) << k;
      ASSERT_EQ(ecg, k >= 515 && k < 1024) << k;
    }
    physio_generator_free(&g);
  }
}

// Compressed blocks (a three-bit prefix is too short for the ExG noise, so every block then goes plain) decode into the
// plain stream's values, held between decimated samples; invalid stretches read 0.
TEST(KestoSimulator, CompressedBlocksGiveThePlainRecordsHeldAsDecimated) {
  for (int prefix : {4, 5, 3}) {
    const auto setup = [&](bool compressed) {
      return [=](simamp_config *c) {
        c->compressed = compressed;
        c->compression = {prefix, 7, {0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3, 15}};
        c->invalids = {{7, 0.30, 0.40}, {6, 0.5, 0.5 + 16.0 / 2048}};  // Resp; BVP, two blocks
      };
    };
    SimRig sc(setup(true)), sp(setup(false));
    const auto got = stream(sc, 14, 0, 1.0), plain = stream(sp, 14, 0, 1.0);
    ASSERT_GT(std::min(got.size(), plain.size()), 2000u);
    const uint64_t blocks = sc.dev.stats.compressed_blocks, all = blocks + sc.dev.stats.plain_fallbacks;
    EXPECT_NEAR((double)all, 256.0, 4.0);
    EXPECT_TRUE(prefix == 3 ? blocks == 0 : blocks + 6 >= all) << blocks << " of " << all;
    for (size_t r = 0; r < std::min(got.size(), plain.size()); r++) {
      const size_t in_block = r % 8;
      for (size_t c = 0; c < 14; c++) {
        const size_t dec = (size_t)sc.cfg.compression.decimation[c] + 1;
        const float held = plain[r - in_block + in_block / dec * dec][c];
        ASSERT_TRUE(got[r][c] == plain[r][c] || got[r][c] == held) << r << " " << c;
      }
      const double t = (double)r / 2048;
      ASSERT_TRUE((t < 0.30 || t >= 0.40 || got[r][7] == 0.0f) && (r < 1024 || r >= 1040 || got[r][6] == 0.0f)) << r;
    }
  }
}

TEST(KestoCommands, MemoryWriteReadStatusAndErase) {
  SimRig s([](simamp_config *c) { c->erase_ms = 100; });
  std::vector<uint8_t> data(5001), back(5001, 0);
  std::mt19937 rng(5);
  for (auto &b : data) b = (uint8_t)rng();
  ASSERT_TRUE(s.link.WriteMemory(0x10001, 5001, data.data()));
  EXPECT_EQ(s.commands(KS_CMD_WRITE_MEMORY), 20);
  ASSERT_TRUE(s.link.ReadMemory(0x10001 | 0x80000000u, 5001, back.data()));
  EXPECT_EQ(back, data);
  MemoryStatusInfo info;
  ASSERT_TRUE(s.link.MemoryStatus(&info));
  EXPECT_EQ(std::make_pair(info.total_kib, (int)info.status), std::make_pair(1024u, 0));
  EXPECT_FALSE(s.link.EraseMemory(0x1234));
  EXPECT_EQ(s.commands(KS_CMD_ERASE), 0);
  ASSERT_TRUE(s.link.EraseMemory(0x5555));
  s.clock.t += 1000;  // the device is done, the deadline has not passed
  ASSERT_TRUE(s.link.MemoryStatus(&info));
  EXPECT_EQ(info.status, 4);
  s.clock.t += 1600;
  ASSERT_TRUE(s.link.MemoryStatus(&info));
  EXPECT_EQ(info.status, 0);
  // Two failures in a row: no device; an answer between them starts the count again.
  for (bool muted : {true, false, true}) {
    s.dev.muted = muted;
    EXPECT_NE(s.link.MemoryStatus(&info), muted);
    EXPECT_EQ(info.status, 0);
  }
  EXPECT_FALSE(s.link.MemoryStatus(&info));
  EXPECT_EQ(info.status, 0x8001);
  // The raw exchange keeps the reply frame from its sync word.
  s.dev.muted = false;
  uint16_t copy[32] = {};
  EXPECT_EQ(s.link.RawExchange(KS_CMD_IDENTIFY, 2, 0, nullptr, 32, copy), 16);
  EXPECT_EQ(std::make_tuple(copy[0], copy[1], copy[2 + KS_ID_CHANNELS]), std::make_tuple(0xAAAA, header(2, 16), 14));
}

TEST(KestoCommands, MemoryBlocksOutOfOrderOrAddressAreRefused) {
  Rig r;
  r.io.respond = [](const Frame &f) {
    if (f.type != KS_CMD_READ_MEMORY) return std::vector<uint8_t>{};
    const uint32_t a = f.w[0] | f.w[1] << 16;
    auto block = [&](int n, uint32_t at, uint16_t fill) {
      std::vector<uint16_t> w = {(uint16_t)at, (uint16_t)(at >> 16), (uint16_t)n, 2};
      w.resize(4 + 128, fill);
      return frame(12, w);
    };
    std::vector<uint8_t> b = ack(f);
    append(&b, block(2, a + 256, 0xBBBB));  // out of order
    append(&b, block(1, a + 2, 0xCCCC));    // wrong address
    append(&b, block(0, a, 0xDDDD));        // block 0
    append(&b, block(1, a, 0x1111));        // the first block, then silence
    return b;
  };
  std::vector<uint8_t> dest(512, 0);
  const DWORD t0 = r.clock.t;
  EXPECT_FALSE(r.link.ReadMemory(0x400, 512, dest.data()));
  EXPECT_EQ(r.io.sent.size(), 5u) << "the piece tried five times";
  EXPECT_NEAR((double)(r.clock.t - t0), 5 * 1001.0, 30.0) << "1000 ms of silence each";
  EXPECT_EQ(r.link.LastErrorText(), "Front end not responding");
  EXPECT_EQ(std::make_tuple(dest[0], dest[255], dest[256]), std::make_tuple(0x11, 0x11, 0)) << "the words received are kept";
  // Acknowledged, and then not a single block.
  r.io.respond = [](const Frame &f) { return ack(f); };
  EXPECT_FALSE(r.link.ReadMemory(0x400, 512, dest.data()));
}

// A compressed block: the full record's bytes, then LSB-first fields.
std::vector<uint8_t> block(std::vector<uint8_t> bytes, const std::vector<std::pair<int, int>> &fields) {
  uint64_t acc = 0;
  int n = 0;
  for (auto [value, width] : fields) {
    acc |= (uint64_t)(value & ((1 << width) - 1)) << n;
    for (n += width; n >= 8; n -= 8, acc >>= 8) bytes.push_back((uint8_t)acc);
  }
  if (n) bytes.push_back((uint8_t)acc);
  return frame_of_bytes(47, bytes);
}

TEST(KestoDecode, ReferencesInPlainRecordsAndCompressedBlocks) {
  Rig r;
  // ExG 10 and 20 in group 1; channel 3 minus channel 1; a 12-bit and a 4-bit channel packed after them.
  start(r, {channel(24, -1), channel(24, -1), channel(16, 1), channel(12), channel(4)});
  r.feed(frame(1, {10, 20 << 8, 0, 30, 0x9FFF}));
  r.feed(frame(1, {1}));  // too short: ignored
  r.link.Poll(0);
  EXPECT_EQ(read_record(r.link, 5), (std::vector<float>{-5, 5, 20, -1, 9}));
  EXPECT_TRUE(read_record(r.link).empty());
  // A channel invalid in a block's full record: 0, and its marker keeps it out of the reference group in every record
  // of the block.
  Rig b;
  start(b, {channel(16, -1), channel(16, -1), channel(8, -1)}, {4, 3});
  b.feed(block({10, 0, 0x00, 0x80, 30}, {{0, 4}, {0, 2}, {0, 4}, {0, 2}, {0, 4}, {0, 2}, {0, 4}, {0, 2},
                                        {0, 4}, {0, 2}, {0, 4}, {0, 2}}));
  b.link.Poll(0);
  float got[4 * 3];
  ASSERT_EQ(b.link.ReadRecords(got, 3, 3), 3);
  ASSERT_EQ(b.link.ReadRecords(got + 9, 5, 3), 1);  // a batch stops at its count or where the ring ends
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(std::vector<float>(got + 3 * i, got + 3 * i + 3), (std::vector<float>{-10, 0, 10})) << i;
}

TEST(KestoDecode, AFullRingDropsItsOldestRecords) {
  Rig r;
  start(r, {channel(16)});
  const int held = KS_RECORD_RING / 2 - 1, fed = held + 100;
  for (int i = 0; i < fed; i++) r.feed(frame(1, {(uint16_t)i}));
  while (r.io.pos < r.io.in.size()) r.link.Poll(0);
  EXPECT_EQ(r.link.RecordsLost(), 100u);
  for (int i = fed - held; i < fed; i++) ASSERT_EQ(read_record(r.link, 1), std::vector<float>{(float)i});
  EXPECT_TRUE(read_record(r.link).empty());
}

TEST(KestoDecode, RoundTripOfRandomBlocksAndRecords) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 60; trial++) {
    const int n = 1 + (int)(rng() % 12);
    simamp_compression cp;
    cp.prefix_width = 3 + (int)(rng() % 3);
    cp.block_records = (int)(rng() % 12);
    std::vector<int> widths;
    std::vector<ChannelSetup> setup;
    for (int c = 0; c < n; c++) {
      widths.push_back(trial % 3 == 2 ? 1 + (int)(rng() % 32) : 8 * (1 + (int)(rng() % 3)));
      cp.decimation.push_back((int)(rng() % 4));
      setup.push_back(channel(widths.back(), 0, cp.decimation.back()));
    }
    Rig r;
    r.io.chunk = 1 + rng() % 40;
    start(r, setup, {cp.prefix_width, trial % 3 == 2 ? 0 : cp.block_records});
    std::vector<std::vector<float>> want;
    for (int b = 0; b < 10; b++) {
      std::vector<std::vector<int32_t>> recs;
      std::vector<std::vector<bool>> valid;
      std::vector<bool> ok(n);
      for (int c = 0; c < n; c++) ok[c] = widths[c] <= 8 || rng() % 5;
      int64_t base = (int64_t)(rng() % 200) - 100;
      for (int k = 0; k <= cp.block_records; k++) {
        recs.emplace_back();
        for (int c = 0; c < n; c++) recs.back().push_back((int32_t)(std::abs(base) + (int)(rng() % 7) - 3 + 10));
        valid.push_back(ok);
        base += (int)(rng() % 9) - 4;
      }
      if (trial % 3 == 2) {  // plain records of any width
        for (size_t k = 0; k < recs.size(); k++) {
          bool vk[64];
          for (int c = 0; c < n; c++) vk[c] = ok[c];
          std::vector<uint8_t> bytes;
          simamp_record_pack(widths, recs[k].data(), vk, &bytes);
          append(&r.io.in, frame_of_bytes(1, bytes));
          std::vector<float> e;
          for (int c = 0; c < n; c++) {
            const int32_t mask = widths[c] == 32 ? -1 : (int32_t)((1u << widths[c]) - 1);
            int32_t x = recs[k][c] & mask;
            if (widths[c] > 8 && x >> (widths[c] - 1)) x -= mask + 1;
            e.push_back(ok[c] ? (float)x : 0.0f);
          }
          want.push_back(e);
        }
        continue;
      }
      std::vector<uint8_t> out;
      std::vector<std::vector<int32_t>> held;
      if (!simamp_compress_block(&cp, widths, recs, valid, &out, &held)) continue;
      // A channel with decimation d takes its true value every d + 1 records.
      for (size_t k = 0; k < held.size(); k++)
        for (int c = 0; c < n; c++)
          ASSERT_TRUE(!ok[c] || held[k][c] == recs[k - k % (size_t)(cp.decimation[c] + 1)][c]) << trial << " " << k;
      append(&r.io.in, out);
      append(&r.io.in, {0x42, 0xAA, 0x17});  // noise and a lone AA between frames
      for (const auto &h : held) {
        std::vector<float> e;
        for (int c = 0; c < n; c++) e.push_back(ok[c] ? (float)h[c] : 0.0f);
        want.push_back(e);
      }
    }
    for (int i = 0; i < 2000 && r.io.pos < r.io.in.size(); i++) r.link.Poll(0);
    for (size_t k = 0; k < want.size(); k++) ASSERT_EQ(read_record(r.link, n), want[k]) << trial << " record " << k;
    EXPECT_TRUE(read_record(r.link).empty()) << trial;
  }
}

TEST(KestoDecode, SampleRatesRoundToTheBaseRateHalved) {
  Rig r;
  std::vector<uint16_t> id(16, 0);
  id[KS_ID_BASE_RATE] = 1024;
  id[KS_ID_RATE_LIMIT] = 300;
  r.io.respond = [&](const Frame &) { return frame(2, id); };
  ASSERT_TRUE(r.link.Identify());
  const struct {
    float in, out;
    int code;
  } cases[] = {{1000, 1024, 0}, {700, 512, 1}, {300, 256, 2}, {20, 64, 4},
               {0, 256, 2},     {-1, 256, 2},  {NAN, 256, 2}, {1e9f, 1024, 0}};
  for (const auto &c : cases) {
    float rate = c.in;
    int code = -1;
    EXPECT_EQ(r.link.RoundSampleRate(&rate, &code), 0);
    EXPECT_EQ(std::make_pair(rate, code), std::make_pair(c.out, c.code)) << c.in;
  }
  EXPECT_EQ(r.link.IdentificationWord(KS_ID_RATE_LIMIT), 256) << "the limit halved from the base";
  r.link.SetIdentificationWord(KS_ID_BASE_RATE, 0);
  float rate = 100;
  EXPECT_EQ(r.link.RoundSampleRate(&rate, nullptr), -1);
}

}  // namespace
