// Handles, threads, waits, critical sections, message boxes and the
// cursor.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>

#include "handles.h"

namespace platform_detail {

namespace {
std::mutex handles_mutex;
struct HandleTableTag;
std::map<HANDLE, std::shared_ptr<KernelObject>> &handle_table() {
  return immortal<std::map<HANDLE, std::shared_ptr<KernelObject>>, HandleTableTag>();
}
uintptr_t next_handle = 0x100;
}  // namespace

HANDLE handle_create(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::mutex> lock(handles_mutex);
  next_handle += 4;  // Windows handles are multiples of 4
  HANDLE h = reinterpret_cast<HANDLE>(next_handle);
  handle_table()[h] = std::move(object);
  return h;
}

std::shared_ptr<KernelObject> handle_get(HANDLE h) {
  std::lock_guard<std::mutex> lock(handles_mutex);
  auto it = handle_table().find(h);
  if (it == handle_table().end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

}  // namespace platform_detail

using platform_detail::KernelObject;

namespace {

// A thread counts as ended only once it has been joined: its start routine
// has returned and the thread itself is gone, so none of the module's code
// (this file's thread_main included) still runs on it. Until then
// `signalled` stays false. The first waiter that sees `finished` joins the
// thread (outside the lock; `joining` keeps others off pthread_join) and
// then signals; CloseHandle of a thread nobody joined detaches it.
// Guarded by `m`: finished, joining, signalled, detached.
struct ThreadObject : KernelObject {
  std::mutex m;
  std::condition_variable cv;
  LPTHREAD_START_ROUTINE start = nullptr;
  void *param = nullptr;
  DWORD id = 0;
  pthread_t thread{};
  bool signalled = false;  // ended and joined
  bool finished = false;   // the start routine has returned
  bool joining = false;    // a waiter is in pthread_join
  bool detached = false;   // the handle was closed before anyone joined
};

void *thread_main(void *arg) {
  // The thread holds its own reference, so it outlives CloseHandle.
  std::shared_ptr<ThreadObject> *holder = static_cast<std::shared_ptr<ThreadObject> *>(arg);
  std::shared_ptr<ThreadObject> self = *holder;
  delete holder;
  {
    std::unique_lock<std::mutex> lock(self->m);
    self->id = static_cast<DWORD>(syscall(SYS_gettid));
    self->cv.notify_all();
  }
  self->start(self->param);
  std::lock_guard<std::mutex> lock(self->m);
  self->finished = true;  // signalled only once joined
  self->cv.notify_all();
  return nullptr;
}

// With `lock` held on t->m and t->finished set: joins the thread unless
// another waiter does, and returns with t->signalled set.
void join_finished(ThreadObject *t, std::unique_lock<std::mutex> &lock) {
  if (t->signalled) return;
  if (t->joining) {
    t->cv.wait(lock, [&] { return t->signalled; });
    return;
  }
  if (t->detached) {
    // The handle was closed while this waiter held the object: the thread
    // cannot be joined any more; its start routine has returned.
    t->signalled = true;
    t->cv.notify_all();
    return;
  }
  t->joining = true;
  lock.unlock();
  pthread_join(t->thread, nullptr);  // prompt: the start routine has returned
  lock.lock();
  t->joining = false;
  t->signalled = true;
  t->cv.notify_all();
}

}  // namespace

HANDLE CreateThread(void *security, size_t stack_size, LPTHREAD_START_ROUTINE start,
                    void *param, DWORD flags, DWORD *thread_id) {
  (void)security;
  (void)flags;
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto t = std::make_shared<ThreadObject>();
  t->start = start;
  t->param = param;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size != 0) pthread_attr_setstacksize(&attr, stack_size < 65536 ? 65536 : stack_size);
  auto *holder = new std::shared_ptr<ThreadObject>(t);
  int rc = pthread_create(&t->thread, &attr, thread_main, holder);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete holder;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  {
    std::unique_lock<std::mutex> lock(t->m);
    t->cv.wait(lock, [&] { return t->id != 0; });
  }
  if (thread_id != nullptr) *thread_id = t->id;
  return platform_detail::handle_create(t);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto t = platform_detail::handle_get_as<ThreadObject>(handle);
  if (!t) return WAIT_FAILED;
  std::unique_lock<std::mutex> lock(t->m);
  auto finished = [&] { return t->finished; };
  if (milliseconds == INFINITE) {
    t->cv.wait(lock, finished);
  } else if (!t->cv.wait_for(lock, std::chrono::milliseconds(milliseconds), finished)) {
    return WAIT_TIMEOUT;
  }
  join_finished(t.get(), lock);
  return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
  // The handle goes at once; the object when its last user (a running
  // thread, a wait or read under way) lets go of it.
  std::shared_ptr<KernelObject> object;
  {
    std::lock_guard<std::mutex> lock(platform_detail::handles_mutex);
    auto &table = platform_detail::handle_table();
    auto it = table.find(handle);
    if (it == table.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = std::move(it->second);
    table.erase(it);
  }
  // Nobody can wait for this thread any more: unless a waiter is joining
  // it now, it cleans up after itself when it ends.
  if (auto *t = dynamic_cast<ThreadObject *>(object.get())) {
    std::lock_guard<std::mutex> lock(t->m);
    if (!t->signalled && !t->joining && !t->detached) {
      pthread_detach(t->thread);
      t->detached = true;
    }
  }
  return TRUE;
}

// ---------------------------------------------------------------------------

void InitializeCriticalSection(CRITICAL_SECTION *cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(CRITICAL_SECTION *cs) { pthread_mutex_destroy(&cs->mutex); }
void EnterCriticalSection(CRITICAL_SECTION *cs) { pthread_mutex_lock(&cs->mutex); }
void LeaveCriticalSection(CRITICAL_SECTION *cs) { pthread_mutex_unlock(&cs->mutex); }

// ---------------------------------------------------------------------------

int MessageBoxA(HWND window, const char *text, const char *caption, UINT type) {
  (void)window;
  (void)type;
  fprintf(stderr, "%s: %s\n", caption ? caption : "Error", text ? text : "");
  fflush(stderr);
  return IDOK;
}

namespace {
// The cursor is only remembered: there is no screen to show it on.
std::mutex cursor_mutex;
HCURSOR current_cursor = nullptr;
}  // namespace

HCURSOR LoadCursorA(HINSTANCE instance, const char *name) {
  (void)instance;
  return reinterpret_cast<HCURSOR>(const_cast<char *>(name));
}

HCURSOR SetCursor(HCURSOR cursor) {
  std::lock_guard<std::mutex> lock(cursor_mutex);
  HCURSOR previous = current_cursor;
  current_cursor = cursor;
  return previous;
}
