// Run-time loading, last error and message texts; console control (Ctrl-C and Ctrl-Break reach the handlers on a thread
// of their own in a child process).
#include <signal.h>
#include <unistd.h>

#include "platform_test.h"

namespace {

std::string system_text(DWORD code, DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS, const char **args = nullptr) {
  char buf[512];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | flags, nullptr, code,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buf, sizeof buf,
                                 const_cast<char **>(args));
  return n ? std::string(buf, n) : "<failed " + std::to_string(GetLastError()) + ">";
}

template <class F>
F export_of(HMODULE lib, const char *name) {
  return reinterpret_cast<F>(GetProcAddress(lib, name));
}

TEST(Loader, LoadsByWindowsNameFromTheExecutablesFolder) {
  for (auto [name, file] : {std::pair{"CorviaDLL.dll", "libCorviaDLL.so"}, {"KestoSerial", "libKestoSerial.so"},
                             {"/opt/x/libA.so", "/opt/x/libA.so"}})
    EXPECT_EQ(platform_library_file_name(name), file);
  HMODULE lib = LoadLibraryA("PlatformTestLib.dll");
  ASSERT_NE(lib, nullptr) << GetLastError();
  EXPECT_EQ(export_of<int (*)(int, int)>(lib, "platform_test_add")(2, 40), 42);
  // The constructor saw the same handle that LoadLibrary gives.
  EXPECT_EQ(export_of<HMODULE (*)()>(lib, "platform_test_self")(), lib);
  char path[4096], small[8];
  DWORD n = GetModuleFileNameA(lib, path, sizeof path);
  EXPECT_EQ(std::string(path, n), testsupport::bin_path("libPlatformTestLib.so"));
  // A short buffer is filled, terminated and reported.
  EXPECT_EQ(GetModuleFileNameA(lib, small, sizeof small), sizeof small);
  EXPECT_TRUE(GetLastError() == ERROR_INSUFFICIENT_BUFFER && strlen(small) == sizeof small - 1);
  n = GetModuleFileNameA(nullptr, path, sizeof path);  // the program's own path
  EXPECT_EQ(std::string(path, n), testsupport::bin_path("test_platform"));
  // Found from an address inside it, and by name.
  HMODULE found = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<const char *>(GetProcAddress(lib, "platform_test_add")), &found));
  EXPECT_EQ(found, lib);
  EXPECT_EQ(GetModuleHandleA("PlatformTestLib.dll"), lib);
  // Case does not matter in the executable's folder, as on Windows; a second load gives the same module.
  HMODULE again = LoadLibraryA("platformtestlib.DLL");
  EXPECT_EQ(again, lib);
  EXPECT_EQ(export_of<int (*)()>(lib, "platform_test_attach_count")(), 1);
  EXPECT_TRUE(FreeLibrary(again));
  // A missing export, a null module.
  EXPECT_TRUE(GetProcAddress(lib, "NoSuchFunction") == nullptr && GetLastError() == ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(GetProcAddress(nullptr, "x") == nullptr && GetLastError() == ERROR_INVALID_HANDLE);
  // Unloading runs the detach entry.
  testsupport::TempDir dir;
  setenv("PLATFORM_TESTLIB_DETACH_FILE", dir.file("detached").c_str(), 1);
  EXPECT_TRUE(FreeLibrary(lib));
  unsetenv("PLATFORM_TESTLIB_DETACH_FILE");
  EXPECT_EQ(testsupport::read_file(dir.file("detached")), "detached\n");
}

TEST(Loader, LibrariesThatCannotBeLoaded) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("libjunk.so"), "this is not a library");
  const std::pair<std::string, DWORD> cases[] = {{"NoSuchLibrary.dll", ERROR_MOD_NOT_FOUND},
                                                 {"/nonexistent/libX.so", 126},
                                                 {"", ERROR_INVALID_PARAMETER},
                                                 {dir.file("libjunk.so"), ERROR_BAD_EXE_FORMAT}};
  for (const auto &[name, error] : cases) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), error) << name;
  }
}

TEST(Errors, MessageTexts) {
  const char *insert[] = {"libx.so"};
  const struct {
    DWORD code, flags;
    const char **args;
    std::string text;
  } cases[] = {
      {2, FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, "The system cannot find the file specified.\r\n"},
      {5, FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, "Access is denied.\r\n"},
      {0x80040154u, FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, "Class not registered\r\n"},
      {0x80070002u, FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, "The system cannot find the file specified.\r\n"},
      {126, FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, "The specified module could not be found.\r\n"},
      {127, FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, "The specified procedure could not be found.\r\n"},
      {193, FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, "%1 is not a valid Win32 application.\r\n"},
      // Inserts: filled from an argument array, refused without arguments.
      {193, FORMAT_MESSAGE_ARGUMENT_ARRAY, insert, "libx.so is not a valid Win32 application.\r\n"},
      {193, 0, nullptr, "<failed " + std::to_string(ERROR_INVALID_PARAMETER) + ">"},
      {0x12345678u, 0, nullptr, "<failed " + std::to_string(ERROR_MR_MID_NOT_FOUND) + ">"},
  };
  for (const auto &c : cases) EXPECT_EQ(system_text(c.code, c.flags, c.args), c.text) << c.code;
  char buf[64];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 126, 0, buf, 10, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  char *text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 126, 0,
                                 reinterpret_cast<char *>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, n), platform_error_text(126) + "\r\n");
  EXPECT_EQ(platform_error_text(126), "The specified module could not be found.");
  LocalFree(text);
  EXPECT_EQ(platform_error_text(0x12345678u), "Unknown error 0x12345678");
}

TEST(Console, HandlersRunOnAnotherThreadForCtrlCAndCtrlBreak) {
  const std::string done = "main done handled=1\n";
  const struct {
    const char *mode;
    std::vector<int> signals;
    std::string output;
    int status;
  } cases[] = {
      {"return-true", {SIGINT}, "first handler event=0 other-thread=1\n" + done, 0},
      {"return-true", {SIGTERM}, "first handler event=1 other-thread=1\n" + done, 0},
      // The last added runs first; FALSE passes on.
      {"two-handlers", {SIGINT}, "second handler event=0\nfirst handler event=0 other-thread=1\n" + done, 0},
      // No handler takes the event: the default action ends the process.
      {"return-false", {SIGINT}, "first handler event=0 other-thread=1\n", 128 + SIGINT},
      // An ignored Ctrl-C reaches no handler; Ctrl-Break still does.
      {"ignore-ctrl-c", {SIGINT, SIGTERM}, "first handler event=1 other-thread=1\n" + done, 0},
      // Other signals keep their default action.
      {"return-true", {SIGHUP}, "", 128 + SIGHUP},
  };
  for (const auto &c : cases) {
    testsupport::Background child(testsupport::bin_path("platform_test_helper"), {"console", c.mode});
    ASSERT_TRUE(child.wait_for("ready\n"));
    for (int sig : c.signals) {
      child.signal(sig);
      usleep(100000);
    }
    EXPECT_EQ(child.wait(10), c.status) << c.mode;
    EXPECT_EQ(child.out(), "ready\n" + c.output) << c.mode;
  }
}

}  // namespace
