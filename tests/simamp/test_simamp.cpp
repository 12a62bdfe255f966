// Tests of the simulated front end: commands sent to the device model with a clock of its own and its replies parsed;
// the memory image; the program corvia_sim's command line. Its streams are decoded by the server's link in the
// front-end tests (tests/kesto_frontend), which so check both sides.
#include "simamp.h"
#include "testsupport.h"

namespace {

std::vector<uint8_t> encode(int type, const std::vector<uint16_t> &w) {
  std::vector<uint8_t> f;
  simamp_frame_append(&f, type, w.data(), (int)w.size());
  return f;
}

// A frame as the host sees it; a damaged one (bad checksum, or count 255) is kept with good = false.
struct Frame {
  int type;
  std::vector<uint16_t> w;
  bool good;
};

// Splits a byte stream into frames with the simulator's own parser, whose round trip is checked below.
std::vector<Frame> parse(const std::vector<uint8_t> &bytes) {
  simamp_parser p;
  simamp_parser_init(&p);
  simamp_parser_feed(&p, bytes.data(), bytes.size());
  std::vector<Frame> v;
  simamp_frame f;
  uint16_t header = 0;
  for (int r; (r = simamp_parser_next(&p, &f, &header)) != SIMAMP_PARSE_NONE;) {
    const bool good = r == SIMAMP_PARSE_FRAME;
    v.push_back({good ? f.type : header >> 8, good ? f.words : std::vector<uint16_t>{}, good});
  }
  return v;
}

simamp_config default_config() {
  simamp_config c;
  simamp_config_init(&c);
  c.memory_size = 1u << 20;
  return c;
}

// The device model with the client's clock, on the default configuration as `setup` changes it.
struct Sim {
  simamp_config cfg = default_config();
  simamp_memory mem;
  simamp_device dev;
  int64_t now = 1000000;
  std::vector<uint8_t> rx;  // everything the device sent
  size_t taken = 0;
  explicit Sim(const std::function<void(simamp_config &)> &setup = {}, bool with_memory = true) {
    if (setup) setup(cfg);
    simamp_memory_init(&mem, cfg.memory_size);
    simamp_device_init(&dev, &cfg, with_memory ? &mem : nullptr);
    collect();
  }
  ~Sim() {
    simamp_device_free(&dev);
    simamp_memory_close(&mem);
  }
  void collect() {
    size_t n;
    const uint8_t *p = simamp_device_output(&dev, &n);
    rx.insert(rx.end(), p, p + n);
    simamp_device_consume(&dev, n);
  }
  void send_raw(const std::vector<uint8_t> &b) {
    simamp_device_receive(&dev, b.data(), b.size(), now);
    simamp_device_run(&dev, now);
    collect();
  }
  void send(int type, const std::vector<uint16_t> &w) { send_raw(encode(type, w)); }
  // Advances the clock in 2-ms steps.
  void advance(double seconds) {
    const int64_t end = now + (int64_t)(seconds * 1e6);
    while (now < end) {
      now = std::min(end, now + 2000);
      simamp_device_run(&dev, now);
      collect();
    }
  }
  // The frames sent since the last call.
  std::vector<Frame> frames() {
    std::vector<Frame> f = parse(std::vector<uint8_t>(rx.begin() + (ptrdiff_t)taken, rx.end()));
    taken = rx.size();
    return f;
  }
  // The only frame that came back for a command.
  Frame reply(int type, const std::vector<uint16_t> &w) {
    send(type, w);
    std::vector<Frame> f = frames();
    EXPECT_EQ(f.size(), 1u) << "command " << type;
    return f.empty() ? Frame{-1, {}, false} : f[0];
  }
};

void expect_status(const Frame &f, int command, size_t nwords, int code) {
  EXPECT_TRUE(f.good && f.type == 0) << command;
  EXPECT_EQ(f.w, (std::vector<uint16_t>{(uint16_t)(nwords | (size_t)command << 8), (uint16_t)code})) << command;
}

TEST(SimampFrames, RandomFramesRoundTripThroughParserWithNoise) {
  std::mt19937 rng(7);
  std::vector<uint8_t> stream;
  std::vector<std::vector<uint16_t>> sent;
  for (int k = 0; k < 200; k++) {
    std::vector<uint16_t> w(rng() % 255);
    for (auto &x : w) x = (uint16_t)rng();
    const int noise = (int)(rng() % 4);
    for (int i = 0; i < noise; i++) stream.push_back((uint8_t)(rng() % 0xAA));
    if (k % 17 == 3) {  // a damaged frame that must be dropped whole
      std::vector<uint8_t> bad;
      simamp_frame_append(&bad, 9, w.data(), (int)w.size(), true);
      stream.insert(stream.end(), bad.begin(), bad.end());
      continue;
    }
    simamp_frame_append(&stream, k % 200, w.data(), (int)w.size());
    sent.push_back(w);
  }
  simamp_parser p;
  simamp_parser_init(&p);
  // Fed in pieces of random length.
  size_t at = 0, got = 0, bad = 0;
  simamp_frame f;
  while (at < stream.size()) {
    const size_t n = std::min(stream.size() - at, (size_t)(1 + rng() % 300));
    simamp_parser_feed(&p, &stream[at], n);
    at += n;
    for (int r; (r = simamp_parser_next(&p, &f)) != SIMAMP_PARSE_NONE;) {
      if (r == SIMAMP_PARSE_BAD_SUM) { bad++; continue; }
      ASSERT_EQ(r, SIMAMP_PARSE_FRAME);
      ASSERT_LT(got, sent.size());
      EXPECT_EQ(f.words, sent[got]);
      got++;
    }
  }
  EXPECT_EQ(got, sent.size());
  EXPECT_EQ(bad, 12u);
}

// Each command's refusals, answered by a status frame naming the command, its word count and the error.
TEST(SimampCommands, RefusalsNameTheCommandAndTheError) {
  const auto setup = [](simamp_config &c) {
    c.rate_limit = 1024;
    c.send_buffer = 40;
    c.erase_ms = 200;
  };
  Sim s(setup), none(setup, false);
  const struct {
    int type;
    std::vector<uint16_t> w;
    int code;
  } cases[] = {
      {2, {14, 0, 0}, SIMAMP_ERR_SAMPLERATE},  // 2048 Hz above the limit
      {2, {14, 5, 0}, SIMAMP_ERR_SAMPLERATE},  // no such code
      {2, {15, 1, 0}, SIMAMP_ERR_CHANNELS},
      {2, {14, 1, 2}, SIMAMP_ERR_BAD_ARGUMENTS},
      {2, {14, 1}, SIMAMP_ERR_ARGUMENT_COUNT},
      {77, {1, 2}, SIMAMP_ERR_UNKNOWN_COMMAND},
      {SIMAMP_CMD_IDENTIFY, {1}, SIMAMP_ERR_ARGUMENT_COUNT},
      {12, std::vector<uint16_t>(141, 0), SIMAMP_ERR_ARGUMENT_COUNT},  // longer than the command buffer
      {SIMAMP_CMD_READ_TABLE, {0, 36}, SIMAMP_ERR_BLOCKSIZE},          // more than the send buffer
      {SIMAMP_CMD_ERASE, {0x5556}, SIMAMP_ERR_BAD_ARGUMENTS},
      {SIMAMP_CMD_READ_MEMORY, {0xFFFE, 0x000F, 2}, SIMAMP_ERR_ADDRESS},
      {SIMAMP_CMD_READ_MEMORY, {0, 0, 0x4001}, SIMAMP_ERR_BLOCKSIZE},
      {SIMAMP_CMD_READ_MEMORY, {0, 0, 0}, SIMAMP_ERR_BAD_ARGUMENTS},
      {SIMAMP_CMD_WRITE_MEMORY, {0, 0x10, 1, 1, 1}, SIMAMP_ERR_ADDRESS},
      {SIMAMP_CMD_WRITE_MEMORY, {0, 0, 2, 1, 1}, SIMAMP_ERR_BAD_ARGUMENTS},
      {SIMAMP_CMD_WRITE_MEMORY, {0, 0, 1, 1}, SIMAMP_ERR_ARGUMENT_COUNT},
      {SIMAMP_CMD_WRITE_MEMORY, {0, 0, 1, 1, 0x1234}, 0},
      {SIMAMP_CMD_ERASE, {0x5555}, 0},  // busy for erase_ms
      {SIMAMP_CMD_READ_MEMORY, {0, 0, 1}, SIMAMP_ERR_BUSY},
      {SIMAMP_CMD_WRITE_MEMORY, {0, 0, 1, 1, 1}, SIMAMP_ERR_BUSY},
  };
  for (const auto &k : cases) expect_status(s.reply(k.type, k.w), k.type, k.w.size(), k.code);
  EXPECT_FALSE(s.dev.acquiring);
  EXPECT_EQ(s.reply(SIMAMP_CMD_MEMORY_STATUS, {}).w[4], 4) << "busy while erasing";
  s.advance(0.25);
  EXPECT_EQ(s.reply(SIMAMP_CMD_MEMORY_STATUS, {}).w[4], 0);
  EXPECT_EQ(s.mem.data[0] & s.mem.data[1], 0xFF) << "0x1234 erased";
  expect_status(none.reply(SIMAMP_CMD_READ_MEMORY, {0, 0, 1}), 11, 3, 20);  // no storage medium
  EXPECT_EQ(none.reply(SIMAMP_CMD_MEMORY_STATUS, {}).w[0], 0);
  // A damaged command; a keep-alive gets no reply; a command split over single-byte reads and surrounded by noise.
  std::vector<uint8_t> bad = encode(SIMAMP_CMD_IDENTIFY, {});
  bad[4] ^= 1;
  s.send_raw(bad);
  std::vector<Frame> f = s.frames();
  ASSERT_EQ(f.size(), 1u);
  expect_status(f[0], 5, 0, SIMAMP_ERR_CRC);
  s.send(SIMAMP_CMD_KEEP_ALIVE, {});
  EXPECT_TRUE(s.frames().empty());
  EXPECT_EQ(s.dev.stats.keep_alives, 1u);
  for (uint8_t x : {0x01, 0x55}) s.send_raw({x});
  for (uint8_t x : encode(SIMAMP_CMD_IDENTIFY, {})) s.send_raw({x});
  f = s.frames();
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].type, 2);
}

// Acquisition starts and stops; channel count 0 means one. After a stall the lost time is skipped; while the host does
// not read, records are dropped rather than queued without end.
TEST(SimampStreaming, StartsStopsAndTheOutputStaysBounded) {
  Sim s, t([](simamp_config &c) { c.max_output = 10000; });
  expect_status(s.reply(2, {14, 1, 0}), 2, 3, 0);
  EXPECT_TRUE(s.dev.acquiring && simamp_device_rate(&s.dev) == 1024.0);
  s.now += 5000000;  // five seconds without running
  s.advance(0.001);
  EXPECT_LE(s.frames().size(), 1100u);
  expect_status(s.reply(2, {14, 0, 1}), 2, 3, 0);
  EXPECT_FALSE(s.dev.acquiring);
  s.advance(0.5);
  EXPECT_TRUE(s.frames().empty()) << "nothing streams after the stop";
  s.reply(2, {0, 4, 0});
  s.advance(0.25);
  const std::vector<Frame> f = s.frames();
  EXPECT_EQ(f.size(), 32u);
  EXPECT_EQ(f[1].w.size(), 2u);
  t.reply(2, {14, 0, 0});
  for (int i = 0; i < 500; i++) simamp_device_run(&t.dev, t.now += 2000);  // one second, never read
  size_t n;
  simamp_device_output(&t.dev, &n);
  EXPECT_LT(n, 10100u);
  EXPECT_GT(t.dev.stats.dropped_records, 1500u);
}

TEST(SimampMemory, FormattedImageHoldsConfigurationAndRecordings) {
  simamp_config c = default_config();
  simamp_memory m;
  simamp_memory_init(&m, c.memory_size);
  const auto ch = simamp_channels_build(&c);
  ASSERT_EQ(simamp_memory_format(&m, &c, ch, {1.0, 0.5, 0.25}), "");
  // Little-endian words of the configuration block, then bytes: 14 channels, ECG absolute 24-bit values, Resp 16-bit
  // deltas, no channel 14.
  const uint8_t *b = m.data;
  for (const auto &[at, word] : {std::pair{0, 0xF30A}, {2, 1024}, {8, 1024}, {28, 0x7FFF}, {326, 0x0101}})
    EXPECT_EQ(b[at] | b[at + 1] << 8, word) << at;
  for (const auto &[at, byte] : {std::pair{18, 14}, {39 + 4 * 2, 3}, {39 + 4 * 7, 2}, {39 + 4 * 14, 0}, {1023, 0xFF}})
    EXPECT_EQ(b[at], byte) << at;
  const auto recs = simamp_memory_recordings(&m);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(std::make_tuple(recs[0].header, recs[0].records, recs[2].records), std::make_tuple(1024u, 2048u, 512u));
  EXPECT_EQ(b[1024 + 4] | b[1024 + 5] << 8, 2050) << "the front end counts two records more";
  // The last header's next address is erased; its fields 2 to 5 written.
  const uint8_t *h = b + recs[2].header;
  EXPECT_EQ(h[0] & h[1] & h[2] & h[3], 0xFF);
  const uint32_t f3 = h[12] | h[13] << 8 | h[14] << 16 | (uint32_t)h[15] << 24;
  EXPECT_TRUE(f3 > 0xFFFFu && (f3 & 0xFFFF) != 0u) << f3;
  // Decoding the second recording gives the values the device generates.
  simamp_config rc = c;
  rc.physio.seed = c.physio.seed + 2000;
  simamp_device d;
  simamp_device_init(&d, &rc, nullptr);
  const auto vals = simamp_memory_decode(&m, &recs[1]);
  ASSERT_EQ(vals.size(), 1024u);
  int32_t counts[14];
  bool valid[14];
  for (size_t r = 0; r < vals.size(); r++) {
    simamp_device_next_record(&d, 14, counts, valid);
    for (int k : {2, 3, 4, 5, 6, 11}) EXPECT_EQ(vals[r][(size_t)k], counts[k]) << r << " " << k;
    EXPECT_NEAR(vals[r][7], counts[7], 1) << "Resp deltas are exact for small steps";
    // Battery: a one-byte delta every 16th record, held in between; the first step from 0 is larger than a delta can be
    // and is caught up at the next one.
    EXPECT_TRUE(r == 0 || vals[r][13] == (r % 16 ? vals[r - 1][13] : counts[13])) << r;
  }
  simamp_device_free(&d);
  simamp_memory_close(&m);
}

TEST(SimampFaults, DelayedCorruptedAndRefusedReplies) {
  Sim s([](simamp_config &c) {
    c.reply_faults = {{SIMAMP_FAULT_DELAY, SIMAMP_CMD_MEMORY_STATUS, 300, 1},
                      {SIMAMP_FAULT_CORRUPT, SIMAMP_CMD_COMPRESSION, 0, 1},
                      {SIMAMP_FAULT_ERROR, SIMAMP_CMD_SET_ACQUISITION, 18, 1}};
  });
  s.send(SIMAMP_CMD_MEMORY_STATUS, {});
  s.advance(0.29);
  EXPECT_TRUE(s.frames().empty());
  s.advance(0.02);
  std::vector<Frame> f = s.frames();
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].type, 9);
  EXPECT_FALSE(s.reply(SIMAMP_CMD_COMPRESSION, {}).good);
  EXPECT_TRUE(s.reply(SIMAMP_CMD_COMPRESSION, {}).good);
  expect_status(s.reply(2, {14, 0, 0}), 2, 3, 18);
  EXPECT_FALSE(s.dev.acquiring);
  expect_status(s.reply(2, {14, 0, 0}), 2, 3, 0);
  // A rule for every command, without end.
  Sim e([](simamp_config &c) { c.reply_faults = {{SIMAMP_FAULT_ERROR, -1, 19, -1}}; });
  for (int i = 0; i < 5; i++) expect_status(e.reply(SIMAMP_CMD_IDENTIFY, {}), 5, 0, 19);
  expect_status(e.reply(SIMAMP_CMD_READ_TABLE, {0, 10}), 34, 2, 19);
}

TEST(SimampFaults, FalseSyncsCount255StraysAndOddTables) {
  // False syncs and count-255 frames cost frames but never a crash; strays come at their rate; tables of other
  // versions, without names, and widths other than 8, 16 and 24 (bit-packed plain records).
  Sim s([](simamp_config &c) {
    std::tie(c.noise_every, c.noise_syncs, c.corrupt_samples_every, c.bad_count_every) = std::tuple(2, true, 7, 5);
    std::tie(c.stray_type, c.stray_rate, c.table_version, c.unnamed) = std::tuple(99, 1000, 4, true);
    c.widths = {12, 32, 4, 16};
  });
  s.send(2, {4, 0, 0});
  s.advance(0.1);
  size_t damaged = 0, strays = 0, records = 0;
  for (const Frame &f : s.frames()) {
    damaged += !f.good;
    strays += f.good && f.type == 99;
    if (!f.good || f.type != SIMAMP_BLOCK_RECORD) continue;
    records++;
    ASSERT_EQ(f.w.size(), 4u) << "12 + 32 + 4 + 16 bits in 8 bytes";
  }
  EXPECT_GT(damaged, 0u);
  EXPECT_GT(records, 50u) << "most records survive the false syncs";
  EXPECT_GT(strays, 20u);
  EXPECT_EQ(s.dev.channels[1].width, 32);
  ASSERT_EQ(s.dev.tables.size(), 2u);
  const std::vector<uint16_t> &t = s.dev.tables[0];
  // Version 4: no device name (below version 6) and no channel name.
  EXPECT_EQ(std::make_tuple(t[0], t[5], t[17], t[t[16] + 3]), std::make_tuple(4, 0, 0, 12));
}

TEST(SimampFaults, FrontEndThatStopsAnswering) {
  Sim s([](simamp_config &c) { c.mute_after_commands = 2; });
  EXPECT_EQ(s.reply(SIMAMP_CMD_IDENTIFY, {}).type, 2);
  s.reply(2, {14, 0, 0});
  s.advance(0.1);
  EXPECT_GT(s.frames().size(), 100u);
  s.send(SIMAMP_CMD_IDENTIFY, {});
  s.advance(0.5);
  EXPECT_TRUE(s.frames().empty()) << "silent: no reply and no samples";

  Sim u([](simamp_config &c) { c.mute_after = 0.5; });
  u.send(SIMAMP_CMD_IDENTIFY, {});
  EXPECT_EQ(u.frames().size(), 1u);
  u.advance(0.6);
  u.send(SIMAMP_CMD_IDENTIFY, {});
  EXPECT_TRUE(u.frames().empty());
  // The watchdog stops acquiring when the host falls silent.
  Sim d([](simamp_config &c) { c.watchdog_ms = 300; });
  d.reply(2, {14, 0, 0});
  for (int i = 0; i < 4; i++) {
    d.advance(0.2);
    d.send(SIMAMP_CMD_KEEP_ALIVE, {});
  }
  EXPECT_TRUE(d.dev.acquiring);
  d.advance(0.4);
  EXPECT_FALSE(d.dev.acquiring);
}

TEST(SimampConfig, ChecksRejectImpossibleSettings) {
  struct Case {
    void (*change)(simamp_config &);
    const char *message;
  } cases[] = {
      {[](simamp_config &c) { c.limit_time = 1, c.limit_channels = 15; }, "the channel limit must be 1 to 14"},
      {[](simamp_config &c) { c.compression.decimation.assign(15, 0); }, "15 decimation counts given for 14 channels"},
      {[](simamp_config &c) { c.memory_size = 1000; }, "the memory must be 64 to 1048576 KiB"},
      {[](simamp_config &c) { c.widths = {33}; }, "channel widths must be 1 to 32 bits"},
  };
  for (const Case &k : cases) {
    simamp_config c = default_config();
    k.change(c);
    EXPECT_EQ(simamp_config_check(&c), k.message);
  }
}

std::string sim() { return testsupport::bin_path("corvia_sim"); }

TEST(CorviaSimProgram, CommandLineErrors) {
  testsupport::TempDir dir;
  const testsupport::RunOptions o = {"", {{"CORVIA_REGISTRY_FILE", dir.file("registry.txt")}}};
  testsupport::write_file(dir.file("bad.img"), "x");
  const std::string img = dir.file("m.img"), E = "corvia_sim error: ";
  ASSERT_EQ(testsupport::run(sim(), {"--seconds=0", "--memory=" + img, "--memory-size=128", "COM5"}, "", o).status, 0);
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "corvia_sim error: no COM port name given (see --help)\n"},
      {{"LPT1"}, "corvia_sim error: not a COM port name (COM1, COM2, ...): 'LPT1' (see --help)\n"},
      {{"COM5", "COM6"}, "corvia_sim error: unexpected argument 'COM6' (see --help)\n"},
      {{"--base-rate=0", "COM5"}, "corvia_sim error: --base-rate must be 1 to 65535: '0' (see --help)\n"},
      {{"--channels=x", "COM5"}, "corvia_sim error: --channels: not an integer: 'x' (see --help)\n"},
      {{"--drop=identify:0", "COM5"}, "corvia_sim error: --drop must be 1 to 1000000000: '0' (see --help)\n"},
      {{"--error=5", "COM5"}, "corvia_sim error: --error: expected CMD:VALUE[:COUNT]: '5' (see --help)\n"},
      {{"--disconnect=Q:1:2", "COM5"}, "corvia_sim error: --disconnect: no channel 'Q' (see --help)\n"},
      {{"--disconnect=C:2:1", "COM5"}, "corvia_sim error: --disconnect: END must be after START: 'C:2:1' (see --help)\n"},
      {{"--limit=1", "COM5"}, "corvia_sim error: --limit: expected SECONDS:CHANNELS: '1' (see --help)\n"},
      {{"--recordings=1,-2", "COM5"}, "corvia_sim error: --recordings: lengths must be positive: '1,-2' (see --help)\n"},
      {{"--exg=9", "--aux=9", "COM5"}, "corvia_sim error: ExG and AUX channels must not be negative nor more than the channels (see --help)\n"},
      {{"--memory-size=64", "--recordings=100", "COM5"}, "corvia_sim error: the recordings do not fit into the memory\n"},
      {{"--hr-schedule=5:60,1:70", "COM5"}, "corvia_sim error: --hr-schedule: expected T:BPM,T:BPM,... with ascending times and positive rates: '5:60,1:70' (see --help)\n"},
      {{"--record-channels=1,5", "COM5"}, "corvia_sim error: --record-channels must be 0 to 4: '5' (see --help)\n"},
      {{"--record-channels=1:32", "COM5"}, "corvia_sim error: --record-channels must be 0 to 31: '32' (see --help)\n"},
      {{"--record-channels=1:0:1:2", "COM5"}, "corvia_sim error: --record-channels: expected SIZE[:SHIFT[:SKIP]],...: '1:0:1:2' (see --help)\n"},
      {{"--channels=2", "--exg=0", "--aux=0", "--record-channels=1,1,1", "COM5"}, "corvia_sim error: 3 recorded channels given for 2 channels (see --help)\n"},
      {{"--format-word=0x10000", "COM5"}, "corvia_sim error: --format-word must be 0 to 65535: '0x10000' (see --help)\n"},
      {{"--memory=" + dir.file("bad.img"), "COM5"},
       E + dir.file("bad.img") + ": not a memory image (a file of 64 KiB to 1 GiB, a multiple of 1 KiB)\n"},
      {{"--memory=" + dir.file("no/such.img"), "COM5"}, E + dir.file("no/such.img") + ": No such file or directory\n"},
      {{"--seconds=0", "--memory=" + img, "--memory-size=256", "COM5"},
       E + img + " holds 128 KiB, not the 256 KiB asked for\n"},
  };
  for (const Case &c : cases) {
    const auto r = testsupport::run(sim(), c.args, "", o);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  // A port map that cannot be written.
  const testsupport::RunOptions bad = {"", {{"CORVIA_REGISTRY_FILE", "/proc/no-such-folder/registry.txt"}}};
  const auto p = testsupport::run(sim(), {"--seconds=0", "COM5"}, "", bad);
  EXPECT_EQ(p.status, 1);
  EXPECT_NE(p.err.find("corvia_sim error: cannot enter COM5 in the port map (/proc/no-such-folder/registry.txt): "),
            std::string::npos) << p.err;
  EXPECT_EQ(p.out, "");
  const auto h = testsupport::run(sim(), {"--help"}, "", o);
  EXPECT_EQ(h.status, 0);
  EXPECT_NE(h.err.find("usage: corvia_sim [OPTIONS] COMn"), std::string::npos);
}

TEST(CorviaSimProgram, SecondsLimitEntersAndRemovesThePort) {
  testsupport::TempDir dir;
  const testsupport::RunOptions o = {"", {{"CORVIA_REGISTRY_FILE", dir.file("registry.txt")}}};
  const auto r = testsupport::run(sim(), {"--seconds=0.3", "--memory=" + dir.file("m.img"), "--memory-size=256",
                                          "--recordings=1", "--corrupt-samples=50", "--line-noise=5:9", "--compressed",
                                          "--invalid=I:0:100", "--decimation=0,0,0,0,0,0,0,0,0,0,0,2,3,15", "com7"},
                                  "", o);
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.rfind("corvia_sim: COM7 is /dev/pts/", 0), 0u) << r.out;
  EXPECT_NE(r.err.find("memory 256 KiB with 1 recordings"), std::string::npos) << r.err;
  EXPECT_EQ(testsupport::read_file(dir.file("registry.txt")).find("434f4d37"), std::string::npos)
      << "the entry is gone";
}

}  // namespace
