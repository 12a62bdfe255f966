// Threads, waits, critical sections, interlocked operations and the cursor
// (the message box is met in the KestoSerial tests).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "win32.h"

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

TEST(Threads, WaitTimesOutThenSeesTheEnd) {
  WaitingThread w;
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, waiting_main, &w, 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  const DWORD t0 = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(t, 100), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - t0, 100u);  // an unsigned difference survives the wrap
  EXPECT_LT(GetTickCount() - t0, 1000u);
  w.go = true;
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(w.stage.load(), 2);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // an ended thread stays signalled
  EXPECT_TRUE(CloseHandle(t));
}

TEST(Threads, ClosingTheHandleLeavesTheThreadRunning) {
  static WaitingThread w;
  HANDLE t = CreateThread(nullptr, 0, waiting_main, &w, 0, nullptr);
  ASSERT_NE(t, nullptr);
  while (w.stage.load() != 1) Sleep(1);
  EXPECT_TRUE(CloseHandle(t));  // the worker is left behind, as after a failed wait
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  w.go = true;
  for (int i = 0; i < 500 && w.stage.load() != 2; ++i) Sleep(2);
  EXPECT_EQ(w.stage.load(), 2);
}

// Work a thread still does after its start routine has returned: a
// thread-local object's destructor, run at the thread's exit.
struct SlowExit {
  ~SlowExit() { std::this_thread::sleep_for(std::chrono::milliseconds(200)); }
};
thread_local SlowExit slow_exit;

DWORD slow_exit_main(void *) {
  (void)&slow_exit;  // constructs it on this thread
  return 5;
}

// A thread counts as ended only once it is gone, so that a library may be
// unloaded right after waiting for its threads.
TEST(Threads, AThreadHasEndedOnlyOnceItIsGone) {
  DWORD tid = 0;
  HANDLE t = CreateThread(nullptr, 0, slow_exit_main, nullptr, 0, &tid);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  struct stat st;
  EXPECT_NE(stat(("/proc/self/task/" + std::to_string(tid)).c_str(), &st), 0);
  CloseHandle(t);
}

TEST(Threads, BadHandles) {
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x12345)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

struct Shared {
  CRITICAL_SECTION cs;
  long plain = 0;  // only changed inside the critical section
  volatile LONG counter = 0;
};

DWORD hammer(void *param) {
  auto *s = static_cast<Shared *>(param);
  for (int i = 0; i < 20000; ++i) {
    EnterCriticalSection(&s->cs);
    EnterCriticalSection(&s->cs);  // recursive
    long v = s->plain;
    s->plain = v + 1;
    LeaveCriticalSection(&s->cs);
    LeaveCriticalSection(&s->cs);
    InterlockedIncrement(&s->counter);
    InterlockedIncrement(&s->counter);
    InterlockedDecrement(&s->counter);
  }
  return 0;
}

TEST(Threads, CriticalSectionsAndInterlockedCountsAgree) {
  Shared s;
  InitializeCriticalSection(&s.cs);
  std::vector<HANDLE> threads;
  for (int i = 0; i < 4; ++i) threads.push_back(CreateThread(nullptr, 0, hammer, &s, 0, nullptr));
  for (HANDLE t : threads) {
    EXPECT_EQ(WaitForSingleObject(t, 30000), WAIT_OBJECT_0);
    CloseHandle(t);
  }
  EXPECT_EQ(s.plain, 80000);
  EXPECT_EQ(s.counter, 80000);
  DeleteCriticalSection(&s.cs);
  // The results of the single operations.
  volatile LONG v = 5;
  EXPECT_EQ(InterlockedExchange(&v, 9), 5);
  EXPECT_EQ(InterlockedIncrement(&v), 10);
  EXPECT_EQ(InterlockedDecrement(&v), 9);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 11), 9);  // no match: unchanged
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
  EXPECT_EQ(v, 1);
}

TEST(Desktop, TheCursorIsRemembered) {
  HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT), arrow = LoadCursorA(nullptr, IDC_ARROW);
  EXPECT_NE(wait, arrow);
  SetCursor(arrow);
  EXPECT_EQ(SetCursor(wait), arrow);
  EXPECT_EQ(SetCursor(arrow), wait);
}

}  // namespace
