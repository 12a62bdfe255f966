// The registry: keys and values, its file, crashes and concurrent writers (the COM port map is met through corvia_ports
// and the serial ports).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "platform_test.h"

namespace {

using namespace platform_test;
using testsupport::Background;
const LONG kNotFound = ERROR_FILE_NOT_FOUND, kNoMore = ERROR_NO_MORE_ITEMS, kMore = ERROR_MORE_DATA;

TEST_F(Registry, FileLocation) {
  EXPECT_EQ(platform_registry_file(), file_);
  unsetenv("CORVIA_REGISTRY_FILE");
  const std::string home = getenv("HOME") ? getenv("HOME") : "";
  const std::string xdg = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  setenv("XDG_CONFIG_HOME", "/x/config", 1);
  EXPECT_EQ(platform_registry_file(), "/x/config/corvia/registry.txt");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(platform_registry_file(), "/home/someone/.config/corvia/registry.txt");
  setenv("HOME", home.c_str(), 1);
  if (!xdg.empty()) setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
}

// What the model below does not see: case, sizes, types, dispositions and the refusals.
TEST_F(Registry, CreateSetQueryEnumerateDelete) {
  DWORD disposition = 0, type = 0, size = 0, got = 0;
  HKEY k = create_key(HKEY_CLASSES_ROOT, "CLSID\\{AB}\\InprocServer32", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(set_string(k, "ThreadingModel", "Apartment"), 0);
  const DWORD number = 0x12345678;
  EXPECT_EQ(RegSetValueExA(k, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), 4), 0);
  EXPECT_EQ(reg_text(HKEY_CLASSES_ROOT, "clsid\\{ab}\\inprocserver32|threadingmodel"), "Apartment");
  EXPECT_EQ(RegQueryValueExA(k, "Number", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(std::make_pair(type, size), std::make_pair(static_cast<DWORD>(REG_DWORD), 4u));
  EXPECT_EQ(RegQueryValueExA(k, "Number", nullptr, &type, reinterpret_cast<BYTE *>(&got), &size), 0);
  EXPECT_EQ(got, number);
  char buf[16];
  size = 2;
  EXPECT_EQ(RegQueryValueExA(k, "ThreadingModel", nullptr, nullptr, reinterpret_cast<BYTE *>(buf), &size), kMore);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(RegQueryValueExA(k, "Missing", nullptr, nullptr, nullptr, &size), kNotFound);
  EXPECT_EQ(RegDeleteValueA(k, "Number"), 0);
  EXPECT_EQ(RegDeleteValueA(k, "Number"), kNotFound);
  RegCloseKey(k);
  RegCloseKey(create_key(HKEY_CLASSES_ROOT, "CLSID\\{AA}"));
  RegCloseKey(create_key(HKEY_CLASSES_ROOT, "CLSID\\{AB}", &disposition));
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &k), 0);
  char name[8];
  DWORD n = 3;
  EXPECT_EQ(RegEnumKeyExA(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr), kMore);
  // A key with subkeys is removed only as a tree.
  EXPECT_EQ(RegDeleteKeyA(k, "{AB}"), static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteTreeA(k, "{AB}"), 0);
  EXPECT_EQ(RegDeleteKeyA(k, "{AA}"), 0);
  EXPECT_EQ(RegDeleteKeyA(k, "{AA}"), kNotFound);
  RegCloseKey(k);
  // The roots are separate.
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "CLSID", 0, KEY_READ, &k), kNotFound);
}

// Random changes mirrored in a plain model (lower-case path -> values); the registry read back whole must equal the
// model (names with odd bytes, values of every size).
using Model = std::map<std::string, std::map<std::string, std::string>>;

std::string lower_text(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
  return s;
}

void read_tree(HKEY k, const std::string &path, Model *out) {
  auto &values = (*out)[lower_text(path)];
  char name[512];
  for (DWORD i = 0;; ++i) {
    BYTE data[4096];
    DWORD n = sizeof name, size = sizeof data, type;
    const LONG rc = RegEnumValueA(k, i, name, &n, nullptr, &type, data, &size);
    if (rc == kNoMore) break;
    ASSERT_EQ(rc, 0);
    values[lower_text(std::string(name, n))] = std::string(reinterpret_cast<char *>(data), size);
  }
  for (DWORD i = 0;; ++i) {
    DWORD n = sizeof name;
    const LONG rc = RegEnumKeyExA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (rc == kNoMore) break;
    ASSERT_EQ(rc, 0);
    HKEY sub;
    ASSERT_EQ(RegOpenKeyExA(k, name, 0, KEY_READ, &sub), 0);
    read_tree(sub, path + "\\" + std::string(name, n), out);
    RegCloseKey(sub);
  }
}

TEST_F(Registry, RandomChangesMatchAModel) {
  std::mt19937 rng(11);
  auto random_name = [&](bool key) {
    static const char alphabet[] = "abcXYZ09 %{}-.'\n\r\t\xe9\xff";
    std::string s;
    for (int i = 1 + static_cast<int>(rng() % 6); i > 0; --i) s += alphabet[rng() % (sizeof alphabet - 1)];
    if (key) s[0] = 'k';  // keys: a letter first, and never a backslash
    return s;
  };
  Model model;
  std::vector<std::string> paths = {"T"};
  HKEY root = create_key(HKEY_LOCAL_MACHINE, "T");
  model["t"];
  for (int op = 0; op < 150; ++op) {
    const std::string path = paths[rng() % paths.size()];
    const int what = static_cast<int>(rng() % 10);
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &k), 0);
    if (what < 5) {
      std::string name = random_name(false), data;
      for (int i = static_cast<int>(rng() % 300); i > 0; --i) data += static_cast<char>(rng());
      ASSERT_EQ(RegSetValueExA(k, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE *>(data.data()),
                               static_cast<DWORD>(data.size())), 0);
      model[lower_text(path)][lower_text(name)] = data;
    } else if (what < 8) {
      const std::string full = path + "\\" + random_name(true);
      RegCloseKey(create_key(k, full.substr(path.size() + 1)));
      if (model.emplace(lower_text(full), std::map<std::string, std::string>()).second) paths.push_back(full);
    } else if (path != "T") {
      ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str()), 0);
      const std::string gone = lower_text(path);
      for (auto it = model.begin(); it != model.end();)
        it = it->first == gone || it->first.rfind(gone + "\\", 0) == 0 ? model.erase(it) : std::next(it);
      std::erase_if(paths, [&](const std::string &p) { return !model.count(lower_text(p)); });
    }
    RegCloseKey(k);
  }
  Model back;
  read_tree(root, "T", &back);
  RegCloseKey(root);
  EXPECT_EQ(back, model);
}

TEST_F(Registry, DeletedKeyAndBadHandles) {
  HKEY k = create_key(HKEY_LOCAL_MACHINE, "A\\B"), sub;
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "A"), 0);
  const LONG deleted = ERROR_KEY_DELETED, bad = ERROR_INVALID_HANDLE;
  EXPECT_EQ(set_string(k, "x", "y"), deleted);
  EXPECT_EQ(RegCreateKeyExA(k, "C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), deleted);
  EXPECT_EQ(RegCloseKey(k), 0);
  EXPECT_EQ(RegCloseKey(k), bad);
  EXPECT_EQ(set_string(reinterpret_cast<HKEY>(0x1234), "x", "y"), bad);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\A", 0, KEY_READ, &k), static_cast<LONG>(ERROR_BAD_PATHNAME));
  // RegDeleteTree without a subkey empties the key.
  RegCloseKey(create_key(HKEY_LOCAL_MACHINE, "E\\F"));
  k = create_key(HKEY_LOCAL_MACHINE, "E");
  EXPECT_EQ(set_string(k, "v", "1"), 0);
  EXPECT_EQ(RegDeleteTreeA(k, nullptr), 0);
  char name[8];
  DWORD n = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr), kNoMore);
  EXPECT_EQ(reg_text(HKEY_LOCAL_MACHINE, "E|v"), "<no value>");
  RegCloseKey(k);
}

// A corrupt file is reported and left alone; a folder that would be a plain file, or below one, is reported.
TEST_F(Registry, CorruptFilesAndUnusableLocationsAreReported) {
  testsupport::write_file(dir_.file("plain"), "x");
  const std::string plain = dir_.file("plain/registry.txt"), below = dir_.file("plain/sub/registry.txt");
  const struct {
    std::string file, contents;
    LONG rc;
    std::string err;
  } cases[] = {
      {file_, "corvia-registry 1\nK HKEY_CLASSES_ROOT\nV 1 zz x\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 3)\n"},
      {file_, "corvia-registry 1\nK HKEY_CLASSES_ROOT\n", ERROR_REGISTRY_CORRUPT, " is corrupt"},  // no end line
      // Every kind of damaged line: its number is named.
      {file_, "corvia-registry 2\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 1)\n"},
      {file_, "corvia-registry 1\nE\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 3)\n"},
      {file_, "corvia-registry 1\nK\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 2)\n"},
      {file_, "corvia-registry 1\nKHKEY_CLASSES_ROOT\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 2)\n"},
      {file_, "corvia-registry 1\nK HKEY_CLASSES_ROOT%zz\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 2)\n"},
      {file_, "corvia-registry 1\nK \\\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 2)\n"},
      {file_, "corvia-registry 1\nK HKEY_ELSEWHERE\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 2)\n"},
      {file_, "corvia-registry 1\nV 1 00 x\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 2)\n"},
      {file_, "corvia-registry 1\nK HKEY_CLASSES_ROOT\nV 1\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 3)\n"},
      {file_, "corvia-registry 1\nK HKEY_CLASSES_ROOT\nV 1 00\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 3)\n"},
      {file_, "corvia-registry 1\nK HKEY_CLASSES_ROOT\nV 1x 00 x\nE\n",
       ERROR_REGISTRY_CORRUPT, " is corrupt (line 3)\n"},
      {file_, "corvia-registry 1\nK HKEY_CLASSES_ROOT\nV 1 000 x\nE\n",
       ERROR_REGISTRY_CORRUPT, " is corrupt (line 3)\n"},
      {file_, "corvia-registry 1\nK HKEY_CLASSES_ROOT\nV 1 00 x%2\nE\n",
       ERROR_REGISTRY_CORRUPT, " is corrupt (line 3)\n"},
      {file_, "corvia-registry 1\nQ HKEY_CLASSES_ROOT\nE\n", ERROR_REGISTRY_CORRUPT, " is corrupt (line 2)\n"},
      {plain, "", ERROR_REGISTRY_IO_FAILED, "registry: cannot open " + plain + ".lock: Not a directory\n"},
      {below, "", ERROR_REGISTRY_IO_FAILED, "registry: cannot create the folder of " + below + ": Not a directory\n"},
  };
  mkdir(dir_.file("reg").c_str(), 0755);
  for (const auto &c : cases) {
    setenv("CORVIA_REGISTRY_FILE", c.file.c_str(), 1);
    if (!c.contents.empty()) testsupport::write_file(c.file, c.contents);
    HKEY k;
    testing::internal::CaptureStderr();
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &k), c.rc);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), c.rc);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.contents.empty() ? c.err : "registry: " + file_ + c.err), std::string::npos) << err;
    EXPECT_TRUE(c.contents.empty() || testsupport::read_file(file_) == c.contents);
  }
  EXPECT_EQ(platform_error_text(ERROR_REGISTRY_IO_FAILED).rfind("An I/O operation initiated by the registry failed", 0),
            0u);
}

TEST_F(Registry, SurvivesAWriterKilledMidWrite) {
  std::mt19937 rng(7);
  // Even rounds kill at a random moment; odd ones as soon as the temporary appears, so that kills land mid-write
  // however fast the disk is against the parsing (a sanitizer build parses slowly and writes quickly). At least three
  // kills must leave the temporary behind, or the test proved nothing.
  const std::string tmp = file_ + ".tmp";
  int cut_short = 0;
  for (int round = 0; round < 150 && cut_short < 3; ++round) {
    Background c(testsupport::bin_path("platform_test_helper"), {"regloop", "Busy"});
    ASSERT_TRUE(c.wait_for("ready\n"));
    if (round % 2 == 0) usleep(20000 + static_cast<unsigned>(rng() % 80000));
    for (int i = 0; round % 2 == 1 && i < 2000000 && access(tmp.c_str(), F_OK) != 0;) ++i;
    c.signal(SIGKILL);
    EXPECT_EQ(c.wait(), 128 + SIGKILL);
    if (unlink(tmp.c_str()) == 0) ++cut_short;  // and the next round waits for a temporary of its own
    // The file is whole: it reads, and the key the child made is there.
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Busy", 0, KEY_READ, &k), 0) << "round " << round;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(k, "v0", nullptr, nullptr, nullptr, &size), 0);
    EXPECT_EQ(size, 20001u);
    RegCloseKey(k);
  }
  EXPECT_GE(cut_short, 3);
}

// The registry file goes away between a port-map reader's opening of the map and its reading of the entries (the
// test holds the registry's lock to step in there): the lookup ends. Run in a child with an alarm, since the fault this
// guards against was a lookup that never ended.
TEST_F(Registry, PortMapLookupEndsWhenTheFileGoesAwayMeanwhile) {
  EXPECT_EXIT(
      {
        alarm(10);
        // A large value makes each reading of the file take a while, so that the test gets the lock in the gap
        // between the reader's two readings; the file is then moved away and back.
        HKEY k = create_key(HKEY_LOCAL_MACHINE, "Big");
        set_string(k, "v", std::string(1 << 20, 'x'));
        RegCloseKey(k);
        platform_portmap_set("COM5", "/dev/pts/x");
        const int lock = open((file_ + ".lock").c_str(), O_RDWR);
        const std::string away = file_ + ".away";
        for (int round = 0; round < 15; ++round) {
          flock(lock, LOCK_EX);
          std::thread reader([] { platform_portmap_lookup("COM5"); });
          usleep(2000);  // the reader waits for the lock
          flock(lock, LOCK_UN);
          usleep(300);  // the reader reads the file to open the map
          while (flock(lock, LOCK_EX | LOCK_NB) != 0) {
          }
          rename(file_.c_str(), away.c_str());
          flock(lock, LOCK_UN);
          reader.join();
          rename(away.c_str(), file_.c_str());
        }
        exit(0);
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(Registry, TwoProcessesWritingAtOnceKeepBothEntries) {
  Background a(testsupport::bin_path("platform_test_helper"), {"regwrite", "First", "60"});
  Background b(testsupport::bin_path("platform_test_helper"), {"regwrite", "Second", "60"});
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);
  for (const char *key : {"First", "Second"})
    for (int i = 0; i < 60; ++i)
      EXPECT_EQ(reg_text(HKEY_LOCAL_MACHINE, key + ("|v" + std::to_string(i))), "value " + std::to_string(i));
}

}  // namespace
