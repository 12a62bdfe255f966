// The front end's recording memory through the KestoSerial server and the
// command corvia_memory, against corvia_sim's memory image: the directory
// walk, the bytes of its entries, the replay against the simulator's own
// decoder, and the refusals while acquiring or replaying.
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "kesto_test.h"
#include "simamp.h"

using namespace kesto_test;

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits until the replay has ended (at most 10 s).
void wait_for_replay(IAcqDataSource *source) {
  LONG status = 3;
  for (int i = 0; i < 1000 && status == 3; ++i) {
    source->GetStatus(&status);
    if (status == 3) sleep_ms(10);
  }
}

// Byte `at` of recording `rec`'s configuration (0) or header (1) copy;
// -1 when the server refuses.
int binary_byte(ISerialSource *s, LONG rec, LONG part, LONG at) {
  LONG len = 1, high = 0, err = 0, byte = -1;
  return s->GetBinaryAmbulantData(rec, part, at, 0, &len, &high, &byte, &err) == S_OK ? byte : -1;
}

// An image file written by the simulator (which then ends), to be patched.
std::string make_image(const testsupport::TempDir &dir, const std::vector<std::string> &options) {
  std::vector<std::string> args = {"--seconds=0", "--memory=" + dir.file("m.img"),
                                   "--memory-size=256"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back("COM79");
  EXPECT_EQ(testsupport::run(testsupport::bin_path("corvia_sim"), args).status, 0);
  return dir.file("m.img");
}

// Opens an image file; `edit` may change it.
std::vector<simamp_recording> image_recordings(const std::string &path,
                                               void (*edit)(simamp_memory *) = nullptr) {
  simamp_memory m;
  bool created = false;
  EXPECT_EQ(simamp_memory_open(&m, path, 0, &created), "");
  if (edit != nullptr) edit(&m);
  std::vector<simamp_recording> recs = simamp_memory_recordings(&m);
  simamp_memory_close(&m);
  return recs;
}

// The fields 2 to 5 of the last header erased: a recording still under way.
void unwrite_last_header(simamp_memory *m) {
  const std::vector<simamp_recording> recs = simamp_memory_recordings(m);
  const uint8_t erased[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  simamp_memory_write(m, recs.back().header + 8, erased, sizeof erased);
}

// Both headers claim far more records than they hold, and the memory
// reaches past the image: the first replay runs into the second header, the
// second into memory the front end cannot read.
void overstate_counts(simamp_memory *m) {
  const uint8_t count[4] = {0x00, 0x00, 0x01, 0x00}, end[4] = {0x00, 0x00, 0xF4, 0x00};
  for (const simamp_recording &r : simamp_memory_recordings(m))
    simamp_memory_write(m, r.header + 4, count, 4);
  simamp_memory_write(m, 12, end, 4);
}

// The first header's next address points back at itself.
void loop_first_header(simamp_memory *m) {
  const uint8_t self[4] = {0x00, 0x04, 0x00, 0x00};
  simamp_memory_write(m, 1024, self, 4);
}

}  // namespace

TEST_F(Registered, ReadsTheDirectoryAsTheConfigurationBlockAndHeadersSay) {
  struct Case {
    const char *com;
    std::vector<std::string> options;  // of the image; none: an erased image
    void (*edit)(simamp_memory *);
    LONG recordings;                  // -1: the directory is not read
    int format_word, header_length;  // as the configuration copy reads
  };
  const Case cases[] = {
      {"COM70", {}, nullptr, -1, 0, 0},
      {"COM70", {"--recordings=0.1,0.1,0.1"}, nullptr, 3, 0xF30A, 1024},
      {"COM70", {"--recordings=0.1,0.1,0.1"}, unwrite_last_header, 2, 0xF30A, 1024},
      {"COM70", {"--recordings=0.1,0.1,0.1"}, loop_first_header, 1, 0xF30A, 1024},
      {"COM70", {"--recordings=0.1,0.1", "--format-word=0xFFFF"}, nullptr, 2, 0x0300, 40},
      {"COM70", {"--recordings=0.1,0.1", "--format-word=0x0300"}, nullptr, 2, 0x0300, 40},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options.empty() ? "erased" : c.options.back());
    testsupport::TempDir dir;
    std::string image = dir.file("m.img");
    if (c.options.empty()) {
      simamp_memory m;
      bool created = false;
      ASSERT_EQ(simamp_memory_open(&m, image, 256 * 1024, &created), "");
      simamp_memory_close(&m);
    } else {
      image = make_image(dir, c.options);
    }
    image_recordings(image, c.edit);
    Sim sim(c.com, {"--memory=" + image}, registry());
    Source src(create<ISerialSource>(IID_ISerialSource));
    ASSERT_EQ(src.port(c.com), S_OK);
    LONG n = 7;
    EXPECT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), c.recordings < 0 ? S_FALSE : S_OK);
    EXPECT_EQ(n, c.recordings);
    LONG test = 0;
    src.serial->get_Test(&test);
    EXPECT_EQ(test, c.recordings);
    if (c.recordings <= 0) continue;
    EXPECT_EQ(binary_byte(src.serial, 0, 0, 0) | binary_byte(src.serial, 0, 0, 1) << 8,
              c.format_word);
    EXPECT_EQ(binary_byte(src.serial, 0, 0, 2) | binary_byte(src.serial, 0, 0, 3) << 8,
              c.header_length);
  }
}

TEST_F(Registered, CopiesEntryBytesOnlyWithinTheirBounds) {
  testsupport::TempDir dir;
  const std::string image = make_image(dir, {"--recordings=0.1", "--format-word=0x0300"});
  Sim sim("COM71", {"--memory=" + image, "--drop=status:4"}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  ASSERT_EQ(src.port("COM71"), S_OK);
  // A status query without an answer fails, also the first.
  LONG status = 0, n = 0, err = 0;
  EXPECT_EQ(src.serial->GetAmbulantDeviceStatus(&status, nullptr, nullptr, nullptr, nullptr, &err),
            S_FALSE);
  EXPECT_EQ(status, 5);
  EXPECT_EQ(err, -1);
  ASSERT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  ASSERT_EQ(n, 1);
  simamp_memory m;
  bool created = false;
  ASSERT_EQ(simamp_memory_open(&m, image, 0, &created), "");
  struct Case {
    LONG rec, part, offset, offset_high, length, length_high;
    LONG copied;  // -1: refused
  };
  const Case cases[] = {
      {0, 1, 30, 0, 20, 0, -1},  // 50 passes the header length of 40
      {0, 1, 20, 0, 20, 0, 20},   {0, 0, 1000, 0, 24, 0, 24}, {0, 0, 1000, 0, 25, 0, -1},
      {0, 0, -1, 0, 4, 0, -1},    {0, 0, 0, 1, 4, 0, -1},     {0, 0, 0, 0, 4, 1, -1},
      {0, 0, 0, 0, 0, 0, -1},     {1, 0, 0, 0, 4, 0, -1},     {-1, 0, 0, 0, 4, 0, -1},
      {0, 2, 0, 0, 4, 0, 0},  // another part: nothing copied, yet success
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.rec << " " << c.part << " " << c.offset << " "
                                    << c.length);
    LONG len = c.length, high = c.length_high, err = 7;
    std::vector<LONG> buf(64, -5);
    const HRESULT hr = src.serial->GetBinaryAmbulantData(c.rec, c.part, c.offset, c.offset_high,
                                                         &len, &high, buf.data(), &err);
    EXPECT_EQ(hr, c.copied < 0 ? S_FALSE : S_OK);
    EXPECT_EQ(err, c.copied < 0 ? -1 : 0);
    EXPECT_EQ(len, std::max<LONG>(c.copied, 0));
    const uint8_t *source = m.data + (c.part == 0 ? 0 : 1024);
    for (LONG i = 0; i < c.copied; ++i) EXPECT_EQ(buf[i], source[c.offset + i]) << i;
  }
  simamp_memory_close(&m);
}

namespace {
// Asks the server for the remaining percentage while record 249 is delivered
// (the counter then stands at 250).
struct PercentageProbe final : AcqClientNode {
  ISerialSource *serial = nullptr;
  std::atomic<LONG> at_250{-1};
  HRESULT QueryInterface(REFIID riid, void **object) override {
    const bool node = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAcqDataNode);
    *object = node ? static_cast<IAcqDataNode *>(this) : nullptr;
    return node ? S_OK : E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT ReceiveBlock(LONG, LONG index, const AcqDataBlock *) override {
    LONG p = -1;
    if (index == 249 && serial->GetAmbulantDownloadRemainingPercentage(&p) == S_OK) at_250 = p;
    return S_OK;
  }
};
}  // namespace

// Channels A to J stored with every value size, shifts, skip masks (B: only
// in records with an even counter) and invalid stretches (B and C).
const std::vector<std::string> kRecorded = {
    "--base-rate=2000", "--recordings=0.5,0.25", "--record-channels=1,2:0:1,3,4,3:4,4:8,2:2,2,0,1:0:3",
    "--invalid=B:0.05:0.1", "--invalid=C:0.1:0.2"};

TEST_F(Registered, ReplaysExactlyTheStoredSamplesToEveryClientAndThroughCorviaMemory) {
  testsupport::TempDir dir;
  const std::string image = make_image(dir, kRecorded);
  simamp_memory m;
  bool created = false;
  ASSERT_EQ(simamp_memory_open(&m, image, 0, &created), "");
  const std::vector<simamp_recording> recs = simamp_memory_recordings(&m);
  ASSERT_EQ(recs.size(), 2u);
  ASSERT_EQ(recs[0].records, 1000u);
  const std::vector<std::vector<int32_t>> stored = simamp_memory_decode(&m, &recs[0]);
  simamp_memory_close(&m);
  simamp_config cfg;
  simamp_config_init(&cfg);
  const std::vector<simamp_channel> ch = simamp_channels_build(&cfg);
  auto expected = [&](size_t r, size_t c) {
    return c < stored[r].size() ? static_cast<float>(stored[r][c]) * ch[c].gain + ch[c].offset
                                : ch[c].offset;
  };
  Sim sim("COM72", {"--memory=" + image}, registry());
  {
    Source src(create<ISerialSource>(IID_ISerialSource));
    ASSERT_EQ(src.port("COM72"), S_OK);
    LONG n = 0, err = 7;
    ASSERT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
    Client one, two;
    PercentageProbe probe;
    probe.serial = src.serial;
    ACQ_OUTPUT out = nullptr;
    for (IAcqDataNode *c : std::initializer_list<IAcqDataNode *>{&one, &two, &probe})
      ASSERT_EQ(src.node->AddClient(0, 1, c, FALSE, &out), S_OK);
    ASSERT_EQ(src.serial->DownloadAmbulantRecording(0, &err), S_OK);
    EXPECT_EQ(err, 0);
    // A status query pauses the replay and lets it go on.
    LONG status = 0;
    EXPECT_EQ(src.serial->GetAmbulantDeviceStatus(&status, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr),
              S_OK);
    wait_for_replay(src.source);
    EXPECT_EQ(probe.at_250, 75);
    LONG left = 7;
    EXPECT_EQ(src.serial->GetAmbulantDownloadRemainingPercentage(&left), S_OK);
    EXPECT_EQ(left, 0);
    for (Client *c : {&one, &two}) {
      const std::vector<Client::Block> blocks = c->blocks();
      ASSERT_EQ(blocks.size(), 1000u);
      for (size_t r = 0; r < blocks.size(); ++r) {
        ASSERT_EQ(blocks[r].index, static_cast<LONG>(r));
        for (size_t k = 0; k < blocks[r].values.size(); ++k)
          ASSERT_FLOAT_EQ(blocks[r].values[k], expected(r, k)) << r << " " << k;
        // B: a value only in even records; 0 while invalid (records 100 to 199).
        if (r % 2 == 1) {
          ASSERT_EQ(blocks[r].values[1], blocks[r - 1].values[1]) << r;
        }
        if (r >= 100 && r < 200) {
          ASSERT_EQ(blocks[r].values[1], 0.0f) << r;
        }
      }
    }
    for (IAcqDataNode *c : std::initializer_list<IAcqDataNode *>{&one, &two, &probe})
      src.node->AddClient(0, 1, c, TRUE, &out);
  }
  // The same records through corvia_memory, read back with vecshow.
  testsupport::RunOptions o;
  o.env["CORVIA_REGISTRY_FILE"] = registry();
  const auto r = testsupport::run(testsupport::bin_path("corvia_memory"),
                                  {"--port=COM72", "download", "0"}, "", o);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::run(testsupport::bin_path("vecshow"), {"--names"}, r.out).out,
            "recording 0\n");
  const std::string floats = testsupport::run(testsupport::bin_path("vecshow"), {"--ufv"}, r.out).out;
  ASSERT_EQ(floats.size(), 1000u * 10 * sizeof(float));
  for (size_t i = 0; i < 1000u * 10; ++i) {
    float v;
    memcpy(&v, floats.data() + i * sizeof v, sizeof v);
    ASSERT_FLOAT_EQ(v, expected(i / 10, i % 10)) << i;
  }
  const auto list = testsupport::run(testsupport::bin_path("corvia_memory"), {"--port=COM72", "list"}, "", o);
  EXPECT_EQ(list.out,
            "0  address 0x000400  1000 records  10 channels  sizes 1,2,3,4,3,4,2,2,0,1\n"
            "1  address 0x005800  500 records  10 channels  sizes 1,2,3,4,3,4,2,2,0,1\n");
}

TEST_F(Registered, RefusesDownloadsAndErasesWhileAcquiringOrReplaying) {
  testsupport::TempDir dir;
  const std::string image = make_image(dir, kRecorded);
  // Slow memory reads stretch the replay over about two seconds.
  Sim sim("COM73", {"--memory=" + image, "--delay=read:30:all", "--erase-time=100"}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  ASSERT_EQ(src.port("COM73"), S_OK);
  LONG n = 0, err = 0, test = 0;
  ASSERT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  ASSERT_EQ(src.serial->StartAcq(nullptr, &err), S_OK);
  EXPECT_EQ(src.serial->DownloadAmbulantRecording(0, &err), S_FALSE);
  EXPECT_EQ(err, -1);
  EXPECT_EQ(src.serial->EraseAmbulantMemory(&err), S_FALSE);
  EXPECT_EQ(err, -1);
  EXPECT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_FALSE);
  ASSERT_EQ(src.serial->StopAcq(&err), S_OK);

  ASSERT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  Client client;
  ACQ_OUTPUT out = nullptr;
  ASSERT_EQ(src.node->AddClient(0, 1, &client, FALSE, &out), S_OK);
  ASSERT_EQ(src.serial->put_Test(0), S_OK);  // replays recording 0
  src.serial->get_Test(&test);
  EXPECT_EQ(test, -1);
  EXPECT_EQ(src.serial->DownloadAmbulantRecording(1, &err), S_FALSE);
  EXPECT_EQ(src.serial->EraseAmbulantMemory(&err), S_FALSE);
  EXPECT_EQ(src.serial->InitAmbulantStandardConfig(&err), S_FALSE);
  EXPECT_EQ(src.serial->StartAcq(nullptr, &err), S_OK);
  EXPECT_EQ(err, 1);  // refused: the replay goes on
  src.serial->get_Test(&test);
  EXPECT_EQ(test, -1);
  for (int i = 0; i < 200 && client.count() == 0; ++i) sleep_ms(10);
  ASSERT_EQ(src.serial->StopAmbulantDownloading(&err), S_OK);
  const size_t got = client.count();
  EXPECT_GT(got, 0u);
  EXPECT_LT(got, 1000u);
  src.node->AddClient(0, 1, &client, TRUE, &out);
  // Nothing was touched: the directory is whole; then 5555 erases the memory
  // and writes the standard configuration.
  EXPECT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  EXPECT_EQ(n, 2);
  // A value size the replay cannot decode is refused.
  image_recordings(image, [](simamp_memory *m) {
    const uint8_t size = 5;
    simamp_memory_write(m, 39, &size, 1);
  });
  EXPECT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  EXPECT_EQ(src.serial->DownloadAmbulantRecording(0, &err), S_FALSE);
  ASSERT_EQ(src.serial->put_Test(5555), S_OK);
  EXPECT_EQ(src.serial->GetNumberOfAmbulantRecordings(&n), S_OK);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(image_recordings(image).size(), 0u);
  simamp_memory m;
  bool created = false;
  ASSERT_EQ(simamp_memory_open(&m, image, 0, &created), "");
  EXPECT_EQ(m.data[0] | m.data[1] << 8, 0xF30A);
  EXPECT_EQ(m.data[18], 5);
  simamp_memory_close(&m);
}

namespace {
std::string corvia_memory_error(const std::string &text) {
  return "corvia_memory error: " + text + "\n";
}
}  // namespace

TEST_F(Registered, CorviaMemorySaysWhatWentWrong) {
  testsupport::TempDir dir;
  const std::string image = make_image(dir, {"--recordings=0.1,0.1"});
  image_recordings(image, overstate_counts);
  Sim sim("COM11", {"--memory=" + image}, registry());
  testsupport::RunOptions o;
  o.env["CORVIA_REGISTRY_FILE"] = registry();
  struct Case {
    std::vector<std::string> args;
    std::string err;  // all of standard error; the status is 1
    const char *written = "";  // vecshow --n_expected of what was written
  };
  const Case cases[] = {
      {{}, corvia_memory_error("no command given: list, status, download N, erase or format (see --help)")},
      {{"wipe"}, corvia_memory_error("unknown command 'wipe' (see --help)")},
      {{"download", "1x"}, corvia_memory_error("'1x' is not a recording number")},
      {{"download"}, corvia_memory_error("download needs a recording number")},
      {{"list", "more"}, corvia_memory_error("unexpected argument 'more'")},
      {{"erase"}, corvia_memory_error("erase deletes every stored recording; add --yes to go ahead")},
      {{"format"}, corvia_memory_error("format writes the standard configuration over the memory's; add --yes to go ahead")},
      {{"--port=COM74", "list"}, corvia_memory_error("no front end answers on COM74")},
      {{"-p", "COM11", "download", "2"}, corvia_memory_error("no recording 2: the memory holds 2 recordings")},
      // The scan finds the front end on COM11; the overstated count runs
      // into the next recording, and what came is written.
      {{"download", "0"}, "KestoSerial: the replay of a stored recording stopped at record 229 of 65534: its data run into the next recording or past the end of the memory\n" +
                              corvia_memory_error("the replay of recording 0 stopped after 229 of 65534 records"), "229\n"},
      {{"-p", "COM11", "download", "1"}, "KestoSerial: the replay of a stored recording stopped at record 8077 of 65534: the front end's memory could not be read\n" +
                              corvia_memory_error("the replay of recording 1 stopped after 8077 of 65534 records"), "8077\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args.empty() ? "" : c.args.back());
    const auto r = testsupport::run(testsupport::bin_path("corvia_memory"), c.args, "", o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(testsupport::run(testsupport::bin_path("vecshow"), {"--n_expected"}, r.out).out,
              c.written);
  }
  // A configuration the replay cannot take, a recording without channels,
  // and one whose configuration ends before its channel entries.
  const struct {
    uint32_t at;
    uint8_t byte;
    std::string err;
  } patches[] = {
      {39, 5, "the front end did not start the replay of recording 0"},
      {18, 0, "recording 0 holds no channels"},
      {9, 1, "cannot read the configuration and header of recording 0"},  // first header 256
  };
  for (const auto &p : patches) {
    simamp_memory m;
    bool created = false;
    ASSERT_EQ(simamp_memory_open(&m, image, 0, &created), "");
    simamp_memory_write(&m, p.at, &p.byte, 1);
    simamp_memory_close(&m);
    EXPECT_EQ(testsupport::run(testsupport::bin_path("corvia_memory"), {"-p", "COM11", "download", "0"}, "", o).err,
              corvia_memory_error(p.err));
  }
}

TEST_F(Registered, CorviaMemoryNeedsTheServerAndAFrontEnd) {
  testsupport::TempDir dir;
  testsupport::RunOptions o;
  o.env["CORVIA_REGISTRY_FILE"] = registry();
  // Without the server next to it, and without a front end on any port.
  const std::string lonely = dir.file("corvia_memory");
  testsupport::write_file(lonely, testsupport::read_file(testsupport::bin_path("corvia_memory")));
  chmod(lonely.c_str(), 0755);
  EXPECT_EQ(testsupport::run(lonely, {"list"}, "", o).err,
            corvia_memory_error("cannot load the KestoSerial server (Kestoserial.dll): The "
                                "specified module could not be found."));
  EXPECT_EQ(testsupport::run(testsupport::bin_path("corvia_memory"), {"list"}, "", o).err,
            corvia_memory_error("no front end found on COM3 to COM8, COM1, COM2 or COM9 to COM12 (see corvia_ports)"));
}

TEST_F(Registered, CorviaMemoryErasesOnlyWhenToldAndRefusesWhileBusy) {
  Sim sim("COM76", {"--memory-size=256", "--recordings=0.1", "--erase-time=3000", "--drop=status:4",
                    "--error=erase:3:1", "--error=write:3:1"}, registry());
  testsupport::RunOptions o;
  o.env["CORVIA_REGISTRY_FILE"] = registry();
  auto memory = [&](const std::vector<std::string> &args) {
    std::vector<std::string> all = {"--port=COM76"};
    all.insert(all.end(), args.begin(), args.end());
    return testsupport::run(testsupport::bin_path("corvia_memory"), all, "", o);
  };
  const std::string busy = corvia_memory_error("the front end is busy (recording or erasing its memory); try again later");
  EXPECT_EQ(memory({"status"}).err, corvia_memory_error("the front end does not answer its memory commands"));
  EXPECT_EQ(memory({"--yes", "erase"}).err, corvia_memory_error("the front end did not erase its memory"));
  EXPECT_EQ(memory({"--yes", "erase"}).err, "corvia_memory info: the memory is erased\n");
  std::string out = memory({"status"}).out;
  EXPECT_EQ(out, "total memory: 256 KiB\nfree memory: 256 KiB\nbusy: yes (recording or erasing)\n");
  for (const char *command : {"list", "format"}) {
    const auto r = memory({"-y", command});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, busy);
  }
  for (int i = 0; i < 100 && out.find("busy: no") == std::string::npos; ++i) out = memory({"status"}).out;
  EXPECT_EQ(memory({"list"}).err,
            corvia_memory_error("the front end's memory holds no directory of recordings (not formatted? 'corvia_memory format --yes' writes the standard configuration)"));
  EXPECT_EQ(memory({"--yes", "format"}).err, corvia_memory_error("the front end did not take the standard configuration"));
  EXPECT_EQ(memory({"--yes", "format"}).err, "corvia_memory info: the standard configuration is written\n");
  const auto r = memory({"list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "corvia_memory info: no stored recordings\n");
}
