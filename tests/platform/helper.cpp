// Child process for the platform tests: runs one scenario named by its first argument and reports on standard output.
//
//   console return-true|return-false|two-handlers|ignore-ctrl-c
//   regwrite KEY COUNT       writes COUNT values under HKLM\KEY
//   regloop KEY              rewrites values under HKLM\KEY until killed
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "win32.h"

namespace {

pthread_t main_thread;
std::atomic<int> handled{0};
BOOL handler_result = TRUE;

BOOL first_handler(DWORD event) {
  printf("first handler event=%u other-thread=%d\n", event, pthread_equal(pthread_self(), main_thread) ? 0 : 1);
  fflush(stdout);
  handled.fetch_add(1);
  return handler_result;
}

BOOL second_handler(DWORD event) {
  printf("second handler event=%u\n", event);
  fflush(stdout);
  return FALSE;  // passes on to the first one
}

int console(const std::string &mode) {
  main_thread = pthread_self();
  if (mode == "return-false") handler_result = FALSE;
  SetConsoleCtrlHandler(first_handler, TRUE);
  if (mode == "two-handlers") SetConsoleCtrlHandler(second_handler, TRUE);
  if (mode == "ignore-ctrl-c") SetConsoleCtrlHandler(nullptr, TRUE);
  printf("ready\n");
  fflush(stdout);
  // Waits for the handler (or for the end); Sleep is not cut short.
  for (int i = 0; i < 500 && handled.load() == 0; ++i) Sleep(10);
  printf("main done handled=%d\n", handled.load());
  return 0;
}

// Writes `count` values under HKLM\key (20000 bytes each with `big`), or until killed with `count` < 0.
int regwrite(const std::string &key, int count, bool big) {
  HKEY hkey;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, nullptr) !=
      ERROR_SUCCESS) {
    fprintf(stderr, "helper: cannot create key\n");
    return 1;
  }
  for (unsigned i = 0; count < 0 || i < static_cast<unsigned>(count); ++i) {
    const std::string name = "v" + std::to_string(count < 0 ? i % 50 : i);
    const std::string data = big ? std::string(20000, 'x') : "value " + std::to_string(i);
    const LONG rc = RegSetValueExA(hkey, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                                   static_cast<DWORD>(data.size() + 1));
    if (rc != ERROR_SUCCESS) {
      fprintf(stderr, "helper: set failed: %d\n", rc);
      return 1;
    }
    if (count < 0 && i == 0) {
      printf("ready\n");
      fflush(stdout);
    }
  }
  RegCloseKey(hkey);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "console") == 0) return console(argv[2]);
  if (argc >= 4 && strcmp(argv[1], "regwrite") == 0) return regwrite(argv[2], atoi(argv[3]), false);
  if (argc >= 3 && strcmp(argv[1], "regloop") == 0) return regwrite(argv[2], -1, true);
  fprintf(stderr, "platform_test_helper: unknown scenario\n");
  return 2;
}
