// The front end's recording memory through the KestoSerial server and the command corvia_memory, against corvia_sim's
// memory image: the directory walk, the bytes of its entries, the replay against the simulator's own decoder, the
// refusals while acquiring or replaying, and every message.
#include <sys/stat.h>

#include "kesto_test.h"
#include "simamp.h"

using namespace kesto_test;
using Bytes = std::vector<uint8_t>;

namespace {

// An image file written by the simulator (which then ends).
std::string make_image(const testsupport::TempDir &dir, std::vector<std::string> options) {
  options.insert(options.begin(), {"--seconds=0", "--memory=" + dir.file("m.img"), "--memory-size=256"});
  options.push_back("COM79");
  EXPECT_EQ(testsupport::run(testsupport::bin_path("corvia_sim"), options).status, 0);
  return dir.file("m.img");
}

// The image's recordings and, with `bytes`, a change at `at` first (the running simulator sees it at once: the image is
// mapped).
std::vector<simamp_recording> image(const std::string &path, uint32_t at = 0, const Bytes &bytes = {}) {
  simamp_memory m;
  bool created = false;
  EXPECT_EQ(simamp_memory_open(&m, path, 0, &created), "");
  if (!bytes.empty()) simamp_memory_write(&m, at, bytes.data(), bytes.size());
  std::vector<simamp_recording> recs = simamp_memory_recordings(&m);
  simamp_memory_close(&m);
  return recs;
}

// corvia_memory (or a copy of it at `program`) with this test's registry.
testsupport::ProcResult memory(const std::string &registry, const std::vector<std::string> &args,
                               const std::string &program = testsupport::bin_path("corvia_memory")) {
  return testsupport::run(program, args, "", {"", {{"CORVIA_REGISTRY_FILE", registry}}});
}
std::string error(const std::string &text) { return "corvia_memory error: " + text + "\n"; }

// Channels A to J stored with every value size, shifts, skip masks (B: only in records with an even counter) and
// invalid stretches (B and C).
const std::vector<std::string> kRecorded = {
    "--base-rate=2000", "--recordings=0.5,0.25", "--record-channels=1,2:0:1,3,4,3:4,4:8,2:2,2,0,1:0:3",
    "--invalid=B:0.05:0.1", "--invalid=C:0.1:0.2"};

}  // namespace

TEST_F(Registered, ReadsTheDirectoryAsTheConfigurationBlockAndHeadersSay) {
  struct Case {
    std::vector<std::string> options;
    std::function<void(const std::string &)> edit;  // of the image, before the simulator starts
    LONG recordings;      // -1: the directory is not read
    Bytes format;         // the configuration copy's format word and header length
  };
  const std::vector<std::string> three = {"--recordings=0.1,0.1,0.1"};
  const Case cases[] = {
      {{"--recordings=none"}, [](const std::string &p) { image(p, 0, Bytes(1024, 0xFF)); }, -1, {}},
      {three, {}, 3, {0x0A, 0xF3, 0x00, 0x04}},
      // The last header's fields 2 to 5 not written yet: a recording under way.
      {three, [](const std::string &p) { image(p, image(p).back().header + 8, Bytes(16, 0xFF)); }, 2, {0x0A, 0xF3, 0x00, 0x04}},
      // A first header that names itself as the next.
      {three, [](const std::string &p) { image(p, 1024, {0x00, 0x04, 0x00, 0x00}); }, 1, {0x0A, 0xF3, 0x00, 0x04}},
      {{"--recordings=0.1,0.1", "--format-word=0xFFFF"}, {}, 2, {0x00, 0x03, 40, 0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options.back() + " " + std::to_string(c.recordings));
    testsupport::TempDir dir;
    const std::string path = make_image(dir, c.options);
    if (c.edit) c.edit(path);
    Sim sim("COM70", {"--memory=" + path}, registry());
    Source src(create<ISerialSource>(IID_ISerialSource));
    ASSERT_EQ(src.port("COM70"), S_OK);
    LONG n = 7, test = 0, len = 4, high = 0, err = 0, word[4] = {};
    EXPECT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), c.recordings < 0 ? S_FALSE : S_OK);
    EXPECT_EQ(n, c.recordings);
    src.serial->get_Test(&test);
    EXPECT_EQ(test, c.recordings);
    if (c.recordings < 0) continue;
    EXPECT_EQ(src.serial->GetBinaryAmbulantData(0, 0, 0, 0, &len, &high, word, &err), S_OK);
    EXPECT_EQ(Bytes(word, word + 4), c.format);
  }
}

TEST_F(Registered, CopiesEntryBytesOnlyWithinTheirBounds) {
  testsupport::TempDir dir;
  const std::string path = make_image(dir, {"--recordings=0.1", "--format-word=0x0300"});
  Sim sim("COM71", {"--memory=" + path, "--drop=status:4"}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  ASSERT_EQ(src.port("COM71"), S_OK);
  // A status query without an answer fails, also the first.
  LONG status = 0, n = 0, err = 0;
  EXPECT_EQ(reported(src.serial->GetAmbulantDeviceStatus(&status, nullptr, nullptr, nullptr, nullptr, &err), status),
            Reported(S_FALSE, 5));
  EXPECT_EQ(err, -1);
  ASSERT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  ASSERT_EQ(n, 1);
  const std::string memory = testsupport::read_file(path);  // the image holds the memory byte for byte
  const struct {
    LONG rec, part, offset, offset_high, length, length_high, copied;  // copied -1: refused
  } cases[] = {
      {0, 1, 30, 0, 20, 0, -1},  // 50 passes the header length of 40
      {0, 1, 20, 0, 20, 0, 20},   {0, 0, 1000, 0, 24, 0, 24}, {0, 0, 1000, 0, 25, 0, -1},
      {0, 0, -1, 0, 4, 0, -1},    {0, 0, 0, 1, 4, 0, -1},     {0, 0, 0, 0, 4, 1, -1},
      {0, 0, 0, 0, 0, 0, -1},     {1, 0, 0, 0, 4, 0, -1},     {-1, 0, 0, 0, 4, 0, -1},
      {0, 2, 0, 0, 4, 0, 0},  // another part: nothing copied, yet success
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.rec << " " << c.part << " " << c.offset << " " << c.length);
    LONG len = c.length, high = c.length_high, buf[64];
    err = 7;
    EXPECT_EQ(src.serial->GetBinaryAmbulantData(c.rec, c.part, c.offset, c.offset_high, &len, &high, buf, &err),
              c.copied < 0 ? S_FALSE : S_OK);
    EXPECT_EQ(err, c.copied < 0 ? -1 : 0);
    EXPECT_EQ(len, std::max<LONG>(c.copied, 0));
    for (LONG i = 0; i < c.copied; ++i) EXPECT_EQ(buf[i], (uint8_t)memory[c.part * 1024 + c.offset + i]) << i;
  }
}

TEST_F(Registered, ReplaysExactlyTheStoredSamplesToEveryClientAndThroughCorviaMemory) {
  testsupport::TempDir dir;
  const std::string path = make_image(dir, kRecorded);
  simamp_memory m;
  bool created = false;
  ASSERT_EQ(simamp_memory_open(&m, path, 0, &created), "");
  const std::vector<simamp_recording> recs = simamp_memory_recordings(&m);
  ASSERT_EQ(recs[0].records, 1000u);
  const std::vector<std::vector<int32_t>> stored = simamp_memory_decode(&m, &recs[0]);
  simamp_memory_close(&m);
  simamp_config cfg;
  simamp_config_init(&cfg);
  const std::vector<simamp_channel> ch = simamp_channels_build(&cfg);
  auto expected = [&](size_t r, size_t c) {
    return (c < stored[r].size() ? static_cast<float>(stored[r][c]) * ch[c].gain : 0.0f) + ch[c].offset;
  };
  Sim sim("COM72", {"--memory=" + path}, registry());
  {
    Source src(create<ISerialSource>(IID_ISerialSource));
    ASSERT_EQ(src.port("COM72"), S_OK);
    LONG n = 0, err = 7, status = 3, left = 7;
    ASSERT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
    Client one, two;
    ACQ_OUTPUT out = nullptr;
    for (Client *c : {&one, &two}) ASSERT_EQ(src.node->AddClient(0, 1, c, FALSE, &out), S_OK);
    ASSERT_EQ(src.serial->DownloadAmbulantRecording(0, &err), S_OK);
    EXPECT_EQ(err, 0);
    // A status query pauses the replay and lets it go on.
    EXPECT_EQ(src.serial->GetAmbulantDeviceStatus(&left, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    for (int i = 0; i < 1000 && status == 3; ++i, sleep_ms(10)) src.source->GetStatus(&status);
    EXPECT_EQ(reported(src.serial->GetAmbulantDownloadRemainingPercentage(&left), left), Reported(S_OK, 0));
    for (Client *c : {&one, &two}) {
      const std::vector<Client::Block> blocks = c->blocks();
      ASSERT_EQ(blocks.size(), 1000u);
      for (size_t r = 0; r < blocks.size(); ++r) {
        ASSERT_EQ(blocks[r].index, static_cast<LONG>(r));
        for (size_t k = 0; k < blocks[r].values.size(); ++k)
          ASSERT_FLOAT_EQ(blocks[r].values[k], expected(r, k)) << r << " " << k;
        // B: a value only in even records; 0 while invalid (records 100 to 199).
        const float b = blocks[r].values[1];
        ASSERT_TRUE(r % 2 == 0 || b == blocks[r - 1].values[1]) << r;
        ASSERT_TRUE(r < 100 || r >= 200 || b == 0.0f) << r;
      }
    }
    for (Client *c : {&one, &two}) src.node->AddClient(0, 1, c, TRUE, &out);
  }
  // The same records through corvia_memory, read back with vecshow.
  const auto r = memory(registry(), {"--port=COM72", "download", "0"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::run(testsupport::bin_path("vecshow"), {"--names"}, r.out).out, "recording 0\n");
  const std::string floats = testsupport::run(testsupport::bin_path("vecshow"), {"--ufv"}, r.out).out;
  ASSERT_EQ(floats.size(), 1000u * 10 * sizeof(float));
  for (size_t i = 0; i < 1000u * 10; ++i) {
    float v;
    memcpy(&v, floats.data() + i * sizeof v, sizeof v);
    ASSERT_FLOAT_EQ(v, expected(i / 10, i % 10)) << i;
  }
  EXPECT_EQ(memory(registry(), {"--port=COM72", "list"}).out,
            "0  address 0x000400  1000 records  10 channels  sizes 1,2,3,4,3,4,2,2,0,1\n"
            "1  address 0x005800  500 records  10 channels  sizes 1,2,3,4,3,4,2,2,0,1\n");
}

TEST_F(Registered, RefusesDownloadsAndErasesWhileAcquiringOrReplaying) {
  testsupport::TempDir dir;
  const std::string path = make_image(dir, kRecorded);
  // Slow memory reads stretch the replay over about two seconds.
  Sim sim("COM73", {"--memory=" + path, "--delay=read:30:all", "--erase-time=100"}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  ASSERT_EQ(src.port("COM73"), S_OK);
  LONG n = 0, err = 0, test = 0;
  ASSERT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  ASSERT_EQ(src.serial->StartAcq(nullptr, &err), S_OK);
  auto refused = [&](HRESULT hr) { return hr == S_FALSE && err == -1; };
  EXPECT_TRUE(refused(src.serial->DownloadAmbulantRecording(0, &err)));
  EXPECT_TRUE(refused(src.serial->EraseAmbulantMemory(&err)));
  EXPECT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_FALSE);
  ASSERT_EQ(src.serial->StopAcq(&err), S_OK);

  ASSERT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  Client client;
  ACQ_OUTPUT out = nullptr;
  ASSERT_EQ(src.node->AddClient(0, 1, &client, FALSE, &out), S_OK);
  ASSERT_EQ(src.serial->put_Test(0), S_OK);  // replays recording 0
  EXPECT_EQ(reported(src.serial->get_Test(&test), test), Reported(S_OK, -1));
  EXPECT_TRUE(refused(src.serial->DownloadAmbulantRecording(1, &err)));
  EXPECT_TRUE(refused(src.serial->EraseAmbulantMemory(&err)));
  EXPECT_TRUE(refused(src.serial->InitAmbulantStandardConfig(&err)));
  EXPECT_EQ(reported(src.serial->StartAcq(nullptr, &err), err), Reported(S_OK, 1));  // refused: the replay goes on
  for (int i = 0; i < 200 && client.count() < 250; ++i) sleep_ms(10);
  // The remaining percentage, 100 - trunc(records sent x 100 / 1000), with the records sent between the count before
  // and the one after (and the record on its way).
  const size_t before = client.count();
  LONG left = -1;
  EXPECT_EQ(src.serial->GetAmbulantDownloadRemainingPercentage(&left), S_OK);
  const size_t after = client.count() + 1;
  EXPECT_GE(left, static_cast<LONG>(100 - after / 10));
  EXPECT_LE(left, static_cast<LONG>(100 - before / 10));
  ASSERT_EQ(src.serial->StopAmbulantDownloading(&err), S_OK);
  EXPECT_GT(client.count(), 0u);
  EXPECT_LT(client.count(), 1000u);
  src.node->AddClient(0, 1, &client, TRUE, &out);
  // Nothing was touched: the directory is whole. A value size the replay cannot decode is refused. Then 5555 erases the
  // memory and writes the standard configuration.
  EXPECT_EQ(reported(src.serial->GetNumberOfAmbulantRecordings(&n), n), Reported(S_OK, 2));
  image(path, 39, {5});
  EXPECT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  EXPECT_TRUE(refused(src.serial->DownloadAmbulantRecording(0, &err)));
  ASSERT_EQ(src.serial->put_Test(5555), S_OK);
  EXPECT_EQ(reported(src.serial->GetNumberOfAmbulantRecordings(&n), n), Reported(S_OK, 0));
  const std::string config = testsupport::read_file(path).substr(0, 20);
  EXPECT_EQ(config.substr(0, 2) + config[18], "\x0A\xF3\x05");
}

TEST_F(Registered, CorviaMemorySaysWhatWentWrong) {
  testsupport::TempDir dir;
  const std::string path = make_image(dir, {"--recordings=0.1,0.1"});
  // Both headers claim far more records than they hold, and the memory reaches past the image: the first replay runs
  // into the second header, the second into memory the front end cannot read.
  for (const simamp_recording &rec : image(path)) image(path, rec.header + 4, {0x00, 0x00, 0x01, 0x00});
  image(path, 12, {0x00, 0x00, 0xF4, 0x00});
  Sim sim("COM11", {"--memory=" + path}, registry());
  const struct {
    std::vector<std::string> args;
    std::string err;           // all of standard error; the status is 1
    const char *written = "";  // vecshow --n_expected of what was written
  } cases[] = {
      {{}, error("no command given: list, status, download N, erase or format (see --help)")},
      {{"wipe"}, error("unknown command 'wipe' (see --help)")},
      {{"download", "1x"}, error("'1x' is not a recording number")},
      {{"download"}, error("download needs a recording number")},
      {{"list", "more"}, error("unexpected argument 'more'")},
      {{"erase"}, error("erase deletes every stored recording; add --yes to go ahead")},
      {{"format"}, error("format writes the standard configuration over the memory's; add --yes to go ahead")},
      {{"--port=COM74", "list"}, error("no front end answers on COM74")},
      {{"-p", "COM11", "download", "2"}, error("no recording 2: the memory holds 2 recordings")},
      // Found by the scan.
      {{"download", "0"},
       "KestoSerial: the replay of a stored recording stopped at record 229 of 65534: its data run into the next recording or past the end of the memory\n" +
           error("the replay of recording 0 stopped after 229 of 65534 records"),
       "229\n"},
      {{"-p", "COM11", "download", "1"},
       "KestoSerial: the replay of a stored recording stopped at record 8077 of 65534: the front end's memory could not be read\n" +
           error("the replay of recording 1 stopped after 8077 of 65534 records"),
       "8077\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args.empty() ? "" : c.args.back());
    const auto r = memory(registry(), c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(testsupport::run(testsupport::bin_path("vecshow"), {"--n_expected"}, r.out).out, c.written);
  }
  // A configuration the replay cannot take, a recording without channels, one whose configuration ends (first header at
  // 256) before its entries.
  const struct {
    uint32_t at;
    uint8_t byte;
    std::string err;
  } patches[] = {{39, 5, "the front end did not start the replay of recording 0"},
                 {18, 0, "recording 0 holds no channels"},
                 {9, 1, "cannot read the configuration and header of recording 0"}};
  for (const auto &p : patches) {
    image(path, p.at, {p.byte});
    EXPECT_EQ(memory(registry(), {"-p", "COM11", "download", "0"}).err, error(p.err));
  }
}

TEST_F(Registered, CorviaMemoryNeedsTheServerAndAFrontEnd) {
  testsupport::TempDir dir;
  const std::string lonely = dir.file("corvia_memory");
  testsupport::write_file(lonely, testsupport::read_file(testsupport::bin_path("corvia_memory")));
  chmod(lonely.c_str(), 0755);
  EXPECT_EQ(memory(registry(), {"list"}, lonely).err,
            error("cannot load the KestoSerial server (Kestoserial.dll): The specified module could not be found."));
  EXPECT_EQ(memory(registry(), {"list"}).err,
            error("no front end found on COM3 to COM8, COM1, COM2 or COM9 to COM12 (see corvia_ports)"));
}

TEST_F(Registered, CorviaMemoryErasesOnlyWhenToldAndRefusesWhileBusy) {
  Sim sim("COM76", {"--memory-size=256", "--recordings=0.1", "--erase-time=5000", "--drop=status:4",
                    "--error=erase:3:1", "--error=write:3:1"}, registry());
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--port=COM76", "--yes"});
    return memory(registry(), args);
  };
  const std::string busy = error("the front end is busy (recording or erasing its memory); try again later");
  EXPECT_EQ(run({"status"}).err, error("the front end does not answer its memory commands"));
  EXPECT_EQ(run({"erase"}).err, error("the front end did not erase its memory"));
  EXPECT_EQ(run({"erase"}).err, "corvia_memory info: the memory is erased\n");
  std::string out = run({"status"}).out;
  EXPECT_EQ(out, "total memory: 256 KiB\nfree memory: 256 KiB\nbusy: yes (recording or erasing)\n");
  EXPECT_EQ(run({"list"}).err, busy);
  EXPECT_EQ(run({"format"}).err, busy);
  for (int i = 0; i < 100 && out.find("busy: no") == std::string::npos; ++i) out = run({"status"}).out;
  EXPECT_EQ(run({"list"}).err, error("the front end's memory holds no directory of recordings (not formatted? "
                                     "'corvia_memory format --yes' writes the standard configuration)"));
  EXPECT_EQ(run({"format"}).err, error("the front end did not take the standard configuration"));
  EXPECT_EQ(run({"format"}).err, "corvia_memory info: the standard configuration is written\n");
  const auto r = run({"list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "corvia_memory info: no stored recordings\n");
}
