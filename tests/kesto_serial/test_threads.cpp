// Clients attaching and detaching while the delivery thread sends: a
// detached client gets no call once AddClient(..., TRUE, ...) has returned,
// also when it detaches itself from inside its ReceiveBlock; the clients
// that stay get every record in order. Also run under ThreadSanitizer.
#include <chrono>
#include <cmath>
#include <thread>

#include "kesto_test.h"

using namespace kesto_test;

namespace {
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

TEST_F(Registered, ClientsAttachAndDetachSafelyDuringDelivery) {
  Sim sim("COM32", {}, registry());
  Source src(create<ISerialSource>(IID_ISerialSource));
  ASSERT_EQ(src.port("COM32"), S_OK);
  const int saw = channel_index(src.node, "L Saw");
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
  const auto blocks = steady.blocks();
  ASSERT_GT(blocks.size(), 1000u);
  for (size_t i = 1; i < blocks.size(); ++i) {
    ASSERT_EQ(blocks[i].index, static_cast<LONG>(i));
    ASSERT_EQ(std::fmod(blocks[i].values[saw] - blocks[i - 1].values[saw] + 256, 256.0f), 1.0f);
  }
}
