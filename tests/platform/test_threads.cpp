// Threads and waits (critical sections, interlocked counts, the message box, and that a thread has ended only once it
// is gone are met in the KestoSerial tests).
#include <atomic>

#include "win32.h"
#include "testsupport.h"

namespace {

struct WaitingThread {
  std::atomic<bool> go{false};
  std::atomic<int> stage{0};
};

DWORD waiting_main(void *param) {
  auto *w = static_cast<WaitingThread *>(param);
  w->stage = 1;
  while (!w->go) Sleep(1);
  w->stage = 2;
  return 77;
}

// A wait times out, then sees the end, which stays signalled; closing the handle of a running thread leaves it running;
// bad handles and arguments.
TEST(Threads, WaitsHandlesAndRefusals) {
  WaitingThread w;
  static WaitingThread left;
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, waiting_main, &w, 0, &id), u = CreateThread(nullptr, 0, waiting_main, &left, 0, nullptr);
  ASSERT_TRUE(t != nullptr && u != nullptr && id != 0);
  const DWORD t0 = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(t, 100), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - t0, 100u);  // an unsigned difference survives the wrap
  EXPECT_LT(GetTickCount() - t0, 1000u);
  w.go = true;
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(w.stage.load(), 2);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(t));
  while (left.stage.load() != 1) Sleep(1);
  EXPECT_TRUE(CloseHandle(u));  // the worker is left behind, as after a failed wait
  EXPECT_TRUE(WaitForSingleObject(u, 0) == WAIT_FAILED && GetLastError() == ERROR_INVALID_HANDLE) << GetLastError();
  left.go = true;
  for (int i = 0; i < 500 && left.stage.load() != 2; ++i) Sleep(2);
  EXPECT_EQ(left.stage.load(), 2);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x12345)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
