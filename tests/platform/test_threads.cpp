// Threads, waits, events, critical sections, interlocked operations and the
// cursor (the message box is met in the KestoSerial tests).
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
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> stage{0};
};

DWORD waiting_main(void *param) {
  auto *w = static_cast<WaitingThread *>(param);
  w->stage = 1;
  WaitForSingleObject(w->go, INFINITE);
  w->stage = 2;
  return 77;
}

TEST(Threads, WaitTimesOutThenSeesTheEndAndTheExitCode) {
  WaitingThread w;
  DWORD id = 0, code = 0;
  HANDLE t = CreateThread(nullptr, 0, waiting_main, &w, 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  const DWORD t0 = GetTickCount();
  EXPECT_LE(static_cast<DWORD>(GetTickCount64()) - t0, 1u);  // both counts read the same clock
  EXPECT_EQ(WaitForSingleObject(t, 100), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - t0, 100u);  // an unsigned difference survives the wrap
  EXPECT_LT(GetTickCount() - t0, 1000u);
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  SetEvent(w.go);
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(w.stage.load(), 2);
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 77u);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // an ended thread stays signalled
  EXPECT_TRUE(CloseHandle(t));
  EXPECT_TRUE(CloseHandle(w.go));
}

TEST(Threads, ClosingTheHandleLeavesTheThreadRunning) {
  static WaitingThread w;
  HANDLE t = CreateThread(nullptr, 0, waiting_main, &w, 0, nullptr);
  ASSERT_NE(t, nullptr);
  while (w.stage.load() != 1) Sleep(1);
  EXPECT_TRUE(CloseHandle(t));  // the worker is left behind, as after a failed wait
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetEvent(w.go);
  for (int i = 0; i < 500 && w.stage.load() != 2; ++i) Sleep(2);
  EXPECT_EQ(w.stage.load(), 2);
  CloseHandle(w.go);
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
// unloaded right after waiting for its threads: both ways of seeing the end.
TEST(Threads, AThreadHasEndedOnlyOnceItIsGone) {
  for (bool by_exit_code : {false, true}) {
    DWORD tid = 0, code = STILL_ACTIVE;
    HANDLE t = CreateThread(nullptr, 0, slow_exit_main, nullptr, 0, &tid);
    ASSERT_NE(t, nullptr);
    if (by_exit_code) {
      while (GetExitCodeThread(t, &code) && code == STILL_ACTIVE) Sleep(1);
    } else {
      ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
      GetExitCodeThread(t, &code);
    }
    EXPECT_EQ(code, 5u);
    struct stat st;
    EXPECT_NE(stat(("/proc/self/task/" + std::to_string(tid)).c_str(), &st), 0) << by_exit_code;
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // and stays signalled
    CloseHandle(t);
  }
}

TEST(Threads, SuspendedThreadStartsOnResume) {
  std::atomic<int> ran{0};
  HANDLE t = CreateThread(
      nullptr, 0, [](void *p) -> DWORD { static_cast<std::atomic<int> *>(p)->store(1); return 0; }, &ran,
      CREATE_SUSPENDED, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 50), WAIT_TIMEOUT);
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(ran.load(), 1);
  CloseHandle(t);
}

TEST(Threads, AutoResetEventsAndBadHandles) {
  HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  SetEvent(e);
  ResetEvent(e);
  EXPECT_EQ(WaitForSingleObject(e, 10), WAIT_TIMEOUT);
  CloseHandle(e);
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "named"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x12345)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DWORD code;
  EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
}

struct Shared {
  CRITICAL_SECTION cs;
  long plain = 0;  // only changed inside the critical section
  volatile LONG counter = 0;
  std::atomic<int> try_result{-1};
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
    InterlockedExchangeAdd(&s->counter, 2);
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
  EXPECT_EQ(s.counter, 160000);
  // TryEnter fails while another thread holds the section.
  EnterCriticalSection(&s.cs);
  HANDLE t = CreateThread(
      nullptr, 0,
      [](void *p) -> DWORD {
        auto *shared = static_cast<Shared *>(p);
        shared->try_result = TryEnterCriticalSection(&shared->cs);
        return 0;
      },
      &s, 0, nullptr);
  WaitForSingleObject(t, 5000);
  CloseHandle(t);
  EXPECT_EQ(s.try_result.load(), 0);
  EXPECT_TRUE(TryEnterCriticalSection(&s.cs));  // the owner may enter again
  LeaveCriticalSection(&s.cs);
  LeaveCriticalSection(&s.cs);
  DeleteCriticalSection(&s.cs);
  // The results of the single operations.
  volatile LONG v = 5;
  EXPECT_EQ(InterlockedExchange(&v, 9), 5);
  EXPECT_EQ(InterlockedIncrement(&v), 10);
  EXPECT_EQ(InterlockedDecrement(&v), 9);
  EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 9);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 11), 12);  // no match: unchanged
  EXPECT_EQ(v, 12);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 12), 12);
  EXPECT_EQ(v, 1);
}

TEST(Desktop, TheDesktopAndTheCursor) {
  HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT), arrow = LoadCursorA(nullptr, IDC_ARROW);
  EXPECT_NE(wait, arrow);
  EXPECT_EQ(GetDesktopWindow(), nullptr);
  SetCursor(arrow);
  EXPECT_EQ(SetCursor(wait), arrow);
  EXPECT_EQ(SetCursor(arrow), wait);
}

}  // namespace
