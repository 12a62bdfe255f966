// A small shared library for the loader tests: exports a function and counts its load and unload through
// PLATFORM_DLL_MAIN.
#include "win32.h"

#include <cstdlib>
#include <cstring>

static HMODULE self_at_load = nullptr;
static int attach_count = 0;

static BOOL TestDllMain(HINSTANCE instance, DWORD reason, void *) {
  if (reason == DLL_PROCESS_ATTACH) {
    self_at_load = instance;
    ++attach_count;
  } else if (reason == DLL_PROCESS_DETACH) {
    // Reported to the test through an environment variable it reads back.
    const char *flag = getenv("PLATFORM_TESTLIB_DETACH_FILE");
    if (flag != nullptr) {
      FILE *f = fopen(flag, "w");
      if (f != nullptr) {
        fputs("detached\n", f);
        fclose(f);
      }
    }
  }
  return TRUE;
}

PLATFORM_DLL_MAIN(TestDllMain)

extern "C" int platform_test_add(int a, int b) { return a + b; }
extern "C" HMODULE platform_test_self(void) { return self_at_load; }
extern "C" int platform_test_attach_count(void) { return attach_count; }
