// Wall clock, tick count and sleeping.
#include "win32.h"

#include <sched.h>
#include <unistd.h>
#include <time.h>

#include <cerrno>

namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01 (UTC).
const uint64_t unix_epoch_as_filetime = 116444736000000000ull;
}  // namespace

void GetSystemTimeAsFileTime(FILETIME *ft) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t t = static_cast<uint64_t>(ts.tv_sec) * 10000000ull +
               static_cast<uint64_t>(ts.tv_nsec) / 100u + unix_epoch_as_filetime;
  ft->dwLowDateTime = static_cast<DWORD>(t);
  ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

DWORD GetTickCount(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);  // wraps after 49.7 days, as on Windows
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();  // gives up the rest of the time slice
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  struct timespec left;
  left.tv_sec = milliseconds / 1000;
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  // A signal (the console-control forwarding, for one) must not cut it short.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
