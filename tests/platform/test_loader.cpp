// Run-time loading, last error and message texts, time.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <cstring>
#include <string>
#include <thread>

#include "testsupport.h"
#include "win32.h"

namespace {

std::string system_text(DWORD code) {
  char buf[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           buf, sizeof buf, nullptr);
  return n ? std::string(buf, n) : std::string();
}

TEST(Loader, LoadsByWindowsNameFromTheExecutablesFolder) {
  EXPECT_EQ(platform_library_file_name("CorviaDLL.dll"), "libCorviaDLL.so");
  EXPECT_EQ(platform_library_file_name("KestoSerial"), "libKestoSerial.so");
  EXPECT_EQ(platform_library_file_name("/opt/x/libA.so"), "/opt/x/libA.so");

  HMODULE lib = LoadLibraryA("PlatformTestLib.dll");
  ASSERT_NE(lib, nullptr) << GetLastError();
  auto add = reinterpret_cast<int (*)(int, int)>(GetProcAddress(lib, "platform_test_add"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(2, 40), 42);

  // The constructor saw the same handle that LoadLibrary gives.
  auto self = reinterpret_cast<HMODULE (*)(void)>(GetProcAddress(lib, "platform_test_self"));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self(), lib);

  char path[4096];
  DWORD n = GetModuleFileNameA(lib, path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::string(path, n), testsupport::bin_path("libPlatformTestLib.so"));
  // A short buffer is filled, terminated and reported.
  char small[8];
  EXPECT_EQ(GetModuleFileNameA(lib, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(strlen(small), sizeof small - 1);
  // The program's own path.
  n = GetModuleFileNameA(nullptr, path, sizeof path);
  EXPECT_EQ(std::string(path, n), testsupport::bin_path("test_platform"));

  // Case does not matter in the executable's folder, as on Windows; a second
  // load gives the same module.
  HMODULE again = LoadLibraryA("platformtestlib.DLL");
  EXPECT_EQ(again, lib);
  auto count = reinterpret_cast<int (*)(void)>(GetProcAddress(lib, "platform_test_attach_count"));
  EXPECT_EQ(count(), 1);
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_TRUE(FreeLibrary(lib));
}

TEST(Loader, MissingLibraryGivesError126AndItsText) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("NoSuchLibrary.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(system_text(GetLastError()), "The specified module could not be found.\r\n");
  EXPECT_EQ(LoadLibraryA("/nonexistent/libX.so"), nullptr);
  EXPECT_EQ(GetLastError(), 126u);
  EXPECT_EQ(LoadLibraryA(""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Loader, FileThatIsNoLibraryGivesBadFormat) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("libjunk.so"), "this is not a library");
  EXPECT_EQ(LoadLibraryA(dir.file("libjunk.so").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
  EXPECT_EQ(system_text(193), "%1 is not a valid Win32 application.\r\n");
}

TEST(Loader, MissingExportGivesError127) {
  HMODULE lib = LoadLibraryA("PlatformTestLib.dll");
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(GetProcAddress(lib, "NoSuchFunction"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(system_text(127), "The specified procedure could not be found.\r\n");
  EXPECT_EQ(GetProcAddress(nullptr, "x"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  FreeLibrary(lib);
}

TEST(Loader, ModuleHandleFromAddress) {
  HMODULE lib = LoadLibraryA("PlatformTestLib.dll");
  ASSERT_NE(lib, nullptr);
  FARPROC f = GetProcAddress(lib, "platform_test_add");
  HMODULE found = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                     GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<const char *>(f), &found));
  EXPECT_EQ(found, lib);
  EXPECT_EQ(GetModuleHandleA("PlatformTestLib.dll"), lib);
  FreeLibrary(lib);
}

TEST(Loader, UnloadRunsTheDetachEntry) {
  testsupport::TempDir dir;
  std::string flag = dir.file("detached");
  setenv("PLATFORM_TESTLIB_DETACH_FILE", flag.c_str(), 1);
  HMODULE lib = LoadLibraryA("PlatformTestLib.dll");
  ASSERT_NE(lib, nullptr);
  EXPECT_TRUE(FreeLibrary(lib));
  unsetenv("PLATFORM_TESTLIB_DETACH_FILE");
  EXPECT_EQ(testsupport::read_file(flag), "detached\n");
}

TEST(Errors, LastErrorIsPerThread) {
  SetLastError(1234);
  DWORD seen_in_other = 99;
  std::thread t([&] {
    seen_in_other = GetLastError();
    SetLastError(5);
  });
  t.join();
  EXPECT_EQ(seen_in_other, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Errors, MessageTexts) {
  EXPECT_EQ(system_text(2), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(system_text(5), "Access is denied.\r\n");
  EXPECT_EQ(system_text(0x80040154u), "Class not registered\r\n");
  // HRESULT_FROM_WIN32 shares the Win32 text.
  EXPECT_EQ(system_text(0x80070002u), system_text(2));
  // Unknown code: failure and ERROR_MR_MID_NOT_FOUND.
  char buf[64];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x12345678u, 0, buf,
                           sizeof buf, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  // A buffer too small.
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 126, 0, buf, 10, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  // An allocated buffer.
  char *text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                           126, 0, reinterpret_cast<char *>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, n), "The specified module could not be found.\r\n");
  LocalFree(text);
  // Inserts: filled from an argument array, refused without arguments.
  const char *args[] = {"libx.so"};
  n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, 193, 0,
                     buf, sizeof buf, args);
  EXPECT_EQ(std::string(buf, n), "libx.so is not a valid Win32 application.\r\n");
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 193, 0, buf, sizeof buf, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(platform_error_text(126), "The specified module could not be found.");
  EXPECT_EQ(platform_error_text(0x12345678u), "Unknown error 0x12345678");
}

TEST(Time, SystemTimeMatchesTheWallClock) {
  FILETIME ft;
  struct timeval before, after;
  gettimeofday(&before, nullptr);
  GetSystemTimeAsFileTime(&ft);
  gettimeofday(&after, nullptr);
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // Same conversion as the capture's time stamps.
  int64_t sec = static_cast<int64_t>((t - 116444736000000000ull) / 10000000ull);
  EXPECT_GE(sec, before.tv_sec);
  EXPECT_LE(sec, after.tv_sec);
  // 2026 lies about 13.3e16 units after 1601.
  EXPECT_GT(t, 133000000000000000ull);
}

TEST(Time, TickCountAndSleep) {
  DWORD t0 = GetTickCount();
  uint64_t t64 = GetTickCount64();
  Sleep(120);
  DWORD elapsed = GetTickCount() - t0;  // unsigned difference survives the wrap
  EXPECT_GE(elapsed, 120u);
  EXPECT_LT(elapsed, 1000u);
  // Both counts read the same clock.
  EXPECT_LE(static_cast<DWORD>(t64) - t0, 1u);
  Sleep(0);
}

}  // namespace
