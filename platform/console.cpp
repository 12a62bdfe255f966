// Console control: SIGINT (Ctrl-C) and SIGTERM (Ctrl-Break) are handed to
// the registered handlers on a dispatcher thread of their own.
//
// The signal handler itself only writes the signal number into a pipe (safe
// in signal context, whichever thread the kernel picks); the dispatcher
// thread reads it and runs the handlers, last registered first, like Windows.
// When none returns TRUE the default action follows: the signal's own, so
// the process ends as killed by that signal.
#include "handles.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

std::mutex handlers_mutex;
// The handlers, called from the back; never destroyed, since an event may
// come while the process exits.
struct HandlersTag;
std::vector<PHANDLER_ROUTINE> &handlers_list() {
  return platform_detail::immortal<std::vector<PHANDLER_ROUTINE>, HandlersTag>();
}
bool ignore_ctrl_c = false;
bool installed = false;
int wake_pipe[2] = {-1, -1};

void forward_signal(int sig) {
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(sig);
  ssize_t r = write(wake_pipe[1], &b, 1);
  (void)r;  // a full pipe means events are already queued
  errno = saved;
}

void default_action(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);  // not reached when the default action ends the process
}

void dispatch(int sig) {
  DWORD event = sig == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
  std::vector<PHANDLER_ROUTINE> chain;
  {
    std::lock_guard<std::mutex> lock(handlers_mutex);
    if (event == CTRL_C_EVENT && ignore_ctrl_c) return;
    chain = handlers_list();
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    if ((*it)(event)) return;
  default_action(sig);
}

void *dispatcher(void *) {
  for (;;) {
    unsigned char b;
    ssize_t n = read(wake_pipe[0], &b, 1);
    if (n == 1) dispatch(b);
    else if (n < 0 && errno == EINTR) continue;
    else return nullptr;
  }
}

bool install_locked() {
  if (installed) return true;
  if (pipe2(wake_pipe, O_CLOEXEC) != 0) return false;
  fcntl(wake_pipe[1], F_SETFL, O_NONBLOCK);
  pthread_t thread;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int rc = pthread_create(&thread, &attr, dispatcher, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    close(wake_pipe[0]);
    close(wake_pipe[1]);
    errno = rc;
    return false;
  }
  struct sigaction sa = {};
  sa.sa_handler = forward_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  installed = true;
  return true;
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  std::lock_guard<std::mutex> lock(handlers_mutex);
  if (!install_locked()) {
    SetLastError(platform_error_from_errno(errno));
    return FALSE;
  }
  if (handler == nullptr) {
    ignore_ctrl_c = add != FALSE;
    return TRUE;
  }
  std::vector<PHANDLER_ROUTINE> &handlers = handlers_list();
  if (add) {
    handlers.push_back(handler);
    return TRUE;
  }
  auto it = std::find(handlers.rbegin(), handlers.rend(), handler);
  if (it == handlers.rend()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  handlers.erase(std::next(it).base());
  return TRUE;
}
