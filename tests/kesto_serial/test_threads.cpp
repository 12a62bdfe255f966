// Where threads meet: clients attaching and detaching while the delivery thread sends (a detached client gets no call
// once AddClient(..., TRUE, ...) has returned, also when it detaches itself from inside its ReceiveBlock; the clients
// that stay get every record in order), two clients getting the same blocks, format events, a refusing client and lost
// records. Also run under ThreadSanitizer (make test-tsan).
#include "kesto_test.h"

using namespace kesto_test;

TEST_F(Registered, ClientsAttachAndDetachSafelyDuringDelivery) {
  Sim sim("COM32", {}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  ASSERT_EQ(src.port("COM32"), S_OK);
  const int saw = 11;  // L Saw, counting up by one a record
  Client steady, churning, self;
  self.detach_from = src.node;
  self.detach_after = 50;
  ACQ_OUTPUT out = nullptr;
  ASSERT_EQ(src.node->AddClient(0, 1, &steady, FALSE, &out), S_OK);
  ASSERT_EQ(src.node->AddClient(0, 3, &self, FALSE, &out), S_OK);
  ASSERT_EQ(src.source->Start(0, 0, 0), S_OK);
  for (int cycle = 0; cycle < 200; ++cycle) {
    churning.detached = false;
    ASSERT_EQ(src.node->AddClient(0, 2, &churning, FALSE, &out), S_OK);
    sleep_ms(cycle % 7);
    ASSERT_EQ(src.node->AddClient(0, 2, &churning, TRUE, &out), S_OK);
    churning.detached = true;
    sleep_ms(cycle % 5);
    ASSERT_EQ(churning.calls_after_detach, 0) << "cycle " << cycle;
  }
  src.source->Stop();
  EXPECT_EQ(src.node->AddClient(0, 1, &steady, TRUE, &out), S_OK);

  EXPECT_EQ(self.self_detach.load(), S_OK);
  EXPECT_EQ(self.count(), 50u);
  EXPECT_EQ(self.calls_after_detach, 0);
  EXPECT_EQ(src.node->AddClient(0, 3, &self, TRUE, &out), E_FAIL);  // already gone
  EXPECT_GT(churning.count(), 0u);
  const auto blocks = steady.blocks(), first = self.blocks();  // the same blocks while both were attached
  ASSERT_GT(blocks.size(), 1000u);
  for (size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_EQ(blocks[i].index, static_cast<LONG>(i));
    ASSERT_TRUE(i >= first.size() || (first[i].index == blocks[i].index && first[i].values == blocks[i].values)) << i;
    ASSERT_TRUE(i == 0 || std::fmod(blocks[i].values[saw] - blocks[i - 1].values[saw] + 256, 256.0f) == 1.0f) << i;
  }
}

TEST_F(Registered, AddingClientsAndFormatEventsSayWhatChanged) {
  Sim sim("COM28", {}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  ASSERT_EQ(src.port("COM28"), S_OK);
  Client one, two;
  ACQ_OUTPUT out = nullptr;
  ASSERT_EQ(src.node->AddClient(0, 1, &one, FALSE, &out), S_OK);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(src.node->AddClient(0, 1, &one, FALSE, &out), S_OK);  // already there
  ASSERT_EQ(src.node->AddClient(0, 2, &two, FALSE, &out), S_OK);
  EXPECT_EQ(src.node->AddClient(0, 3, &two, TRUE, &out), E_FAIL);  // not attached
  ACQ_OUTPUT other = reinterpret_cast<ACQ_OUTPUT>(&one);
  EXPECT_EQ(src.node->AddClient(0, 1, &one, FALSE, &other), E_FAIL);
  EXPECT_EQ(src.node->AddClient(0, 1, &one, FALSE, nullptr), E_FAIL);

  // Format events: a new name 8, a new rate 4, the same format nothing.
  BSTR name = platform_bstr_from_utf8("Heart");
  EXPECT_EQ(src.source->SetChannel(2, 2, name, nullptr), S_OK);
  SysFreeString(name);
  EXPECT_EQ(src.serial->put_SampleRate(1024), S_OK);
  AcqSignalFormat *f = nullptr;
  ASSERT_EQ(src.node->GetOutputFormat(out, &f), S_OK);
  EXPECT_EQ(std::string(f->entries[2].name), "Heart");
  EXPECT_EQ(f->rate, 1024.0f);
  std::vector<char> same(reinterpret_cast<char *>(f), reinterpret_cast<char *>(f) + 16 + 156 * f->channels);
  EXPECT_EQ(src.node->SetPinFormat(0, 1, reinterpret_cast<AcqSignalFormat *>(same.data())), S_OK);
  EXPECT_EQ(one.events(), (std::vector<LONG>{8, 4}));
  EXPECT_EQ(two.events(), (std::vector<LONG>{8, 4}));
  EXPECT_EQ(src.node->AddClient(0, 1, &one, TRUE, &out), S_OK);
  EXPECT_EQ(src.node->AddClient(0, 2, &two, TRUE, &out), S_OK);
}

TEST_F(Registered, AFailingClientIsReportedOnceAndLostRecordsAreCounted) {
  Sim sim("COM29", {}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  ASSERT_EQ(src.port("COM29"), S_OK);
  Client refusing, after;
  refusing.result = E_FAIL;
  ACQ_OUTPUT out = nullptr;
  src.node->AddClient(0, 1, &refusing, FALSE, &out);
  src.node->AddClient(0, 2, &after, FALSE, &out);
  testing::internal::CaptureStderr();
  src.source->Start(0, 0, 0);
  sleep_ms(300);
  src.source->Stop();
  const std::string err = testing::internal::GetCapturedStderr();
  const size_t blocks = refusing.count();
  ASSERT_GT(blocks, 100u);
  EXPECT_EQ(after.count(), 0u);  // the rest of a refused block's clients get nothing
  EXPECT_EQ(err, "KestoSerial: Failed to send data (" + std::to_string(blocks) + " blocks)\n");

  // Without a delivery thread the ring (about 1.6 s at 2048 Hz) overflows: the newest records win and the loss is told
  // when acquisition stops.
  LONG e = 0;
  src.serial->StartAcq(nullptr, &e);
  sleep_ms(2500);
  testing::internal::CaptureStderr();
  src.serial->StopAcq(&e);
  const std::string lost = testing::internal::GetCapturedStderr();
  EXPECT_NE(lost.find("KestoSerial: "), std::string::npos);
  EXPECT_NE(lost.find(" records lost: the record ring overflowed before they were delivered\n"), std::string::npos)
      << lost;
  src.node->AddClient(0, 1, &refusing, TRUE, &out);
  src.node->AddClient(0, 2, &after, TRUE, &out);
}
