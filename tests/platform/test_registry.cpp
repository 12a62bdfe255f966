// The registry: keys and values, its file, crashes and concurrent writers,
// and the COM port map.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "child.h"
#include "testsupport.h"
#include "win32.h"

namespace {

// Each test gets a registry file of its own.
class Registry : public testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_.file("reg/registry.txt");
    setenv("CORVIA_REGISTRY_FILE", file_.c_str(), 1);
  }
  void TearDown() override { unsetenv("CORVIA_REGISTRY_FILE"); }
  testsupport::TempDir dir_;
  std::string file_;
};

std::string query_string(HKEY root, const char *key, const char *name) {
  HKEY k;
  if (RegOpenKeyExA(root, key, 0, KEY_READ, &k) != 0) return "<no key>";
  char buf[256];
  DWORD size = sizeof buf, type = 0;
  LONG rc = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
  RegCloseKey(k);
  if (rc != 0) return "<error " + std::to_string(rc) + ">";
  return std::string(buf, size ? size - 1 : 0);
}

LONG set_string(HKEY k, const char *name, const std::string &text) {
  return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

TEST_F(Registry, FileLocation) {
  EXPECT_EQ(platform_registry_file(), file_);
  unsetenv("CORVIA_REGISTRY_FILE");
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  std::string xdg = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  setenv("XDG_CONFIG_HOME", "/x/config", 1);
  EXPECT_EQ(platform_registry_file(), "/x/config/corvia/registry.txt");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(platform_registry_file(), "/home/someone/.config/corvia/registry.txt");
  setenv("HOME", home.c_str(), 1);
  if (!xdg.empty()) setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
  setenv("CORVIA_REGISTRY_FILE", file_.c_str(), 1);
}

TEST_F(Registry, CreateSetQueryEnumerateDelete) {
  HKEY k;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{AB}\\InprocServer32", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &k, &disposition), 0);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(set_string(k, nullptr, "/lib/libX.so"), 0);
  EXPECT_EQ(set_string(k, "ThreadingModel", "Apartment"), 0);
  DWORD number = 0x12345678;
  EXPECT_EQ(RegSetValueExA(k, "Number", 0, REG_DWORD, reinterpret_cast<BYTE *>(&number), 4), 0);
  std::string binary("\0\1\n%\xff", 5);
  EXPECT_EQ(RegSetValueExA(k, "Odd%\nName", 0, REG_BINARY,
                           reinterpret_cast<const BYTE *>(binary.data()), 5), 0);
  RegCloseKey(k);

  // Case does not matter; the file is read back by every call.
  EXPECT_EQ(query_string(HKEY_CLASSES_ROOT, "clsid\\{ab}\\inprocserver32", ""), "/lib/libX.so");
  EXPECT_EQ(query_string(HKEY_CLASSES_ROOT, "CLSID\\{AB}\\InprocServer32", "threadingmodel"), "Apartment");
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{AB}\\InprocServer32", 0, KEY_READ, &k), 0);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(k, "Number", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  DWORD got = 0;
  EXPECT_EQ(RegQueryValueExA(k, "Number", nullptr, &type, reinterpret_cast<BYTE *>(&got), &size), 0);
  EXPECT_EQ(got, number);
  char buf[16];
  size = 2;
  EXPECT_EQ(RegQueryValueExA(k, "ThreadingModel", nullptr, nullptr, reinterpret_cast<BYTE *>(buf), &size),
            static_cast<LONG>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 10u);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(k, "Odd%\nName", nullptr, &type, reinterpret_cast<BYTE *>(buf), &size), 0);
  EXPECT_EQ(std::string(buf, size), binary);
  EXPECT_EQ(RegQueryValueExA(k, "Missing", nullptr, nullptr, nullptr, &size),
            static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  // Values in alphabetical order; the default value has the empty name.
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[64];
    DWORD n = sizeof name;
    LONG rc = RegEnumValueA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    ASSERT_EQ(rc, 0);
    names.emplace_back(name, n);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"", "Number", "Odd%\nName", "ThreadingModel"}));
  EXPECT_EQ(RegDeleteValueA(k, "Number"), 0);
  EXPECT_EQ(RegDeleteValueA(k, "Number"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  RegCloseKey(k);

  // Subkeys.
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{AA}", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, &disposition), 0);
  RegCloseKey(k);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{AB}", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, &disposition), 0);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(k);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &k), 0);
  char name[8];
  DWORD n = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(k, 1, name, &n, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(std::string(name, n), "{AB}");
  n = 3;
  EXPECT_EQ(RegEnumKeyExA(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr),
            static_cast<LONG>(ERROR_MORE_DATA));
  n = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(k, 2, name, &n, nullptr, nullptr, nullptr, nullptr),
            static_cast<LONG>(ERROR_NO_MORE_ITEMS));
  // A key with subkeys is removed only as a tree.
  EXPECT_EQ(RegDeleteKeyA(k, "{AB}"), static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteTreeA(k, "{AB}"), 0);
  EXPECT_EQ(RegDeleteKeyA(k, "{AA}"), 0);
  EXPECT_EQ(RegDeleteKeyA(k, "{AA}"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  RegCloseKey(k);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{AB}\\InprocServer32", 0, KEY_READ, &k),
            static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  // The roots are separate.
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "CLSID", 0, KEY_READ, &k),
            static_cast<LONG>(ERROR_FILE_NOT_FOUND));
}

// Random changes mirrored in a plain model; the registry read back whole
// must equal the model (names with odd bytes, values of every size).
struct Model {
  std::map<std::string, std::map<std::string, std::string>> keys;  // lower-case path -> values
};

std::string lower_text(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

void read_tree(HKEY k, const std::string &path, Model *out) {
  auto &values = out->keys[lower_text(path)];
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD n = sizeof name;
    BYTE data[4096];
    DWORD size = sizeof data;
    DWORD type;
    LONG rc = RegEnumValueA(k, i, name, &n, nullptr, &type, data, &size);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
    ASSERT_EQ(rc, 0);
    values[lower_text(std::string(name, n))] = std::string(reinterpret_cast<char *>(data), size);
  }
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD n = sizeof name;
    LONG rc = RegEnumKeyExA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (rc == static_cast<LONG>(ERROR_NO_MORE_ITEMS)) break;
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
    int n = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < n; ++i) s += alphabet[rng() % (sizeof alphabet - 1)];
    if (key) s[0] = 'k';  // keys: a letter first, and never a backslash
    return s;
  };
  Model model;
  std::vector<std::string> paths = {"T"};
  HKEY root;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "T", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root, nullptr), 0);
  model.keys["t"];
  for (int op = 0; op < 150; ++op) {
    std::string path = paths[rng() % paths.size()];
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &k), 0);
    int what = static_cast<int>(rng() % 10);
    if (what < 5) {
      std::string name = random_name(false), data;
      int n = static_cast<int>(rng() % 300);
      for (int i = 0; i < n; ++i) data += static_cast<char>(rng());
      ASSERT_EQ(RegSetValueExA(k, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE *>(data.data()),
                               static_cast<DWORD>(data.size())), 0);
      model.keys[lower_text(path)][lower_text(name)] = data;
    } else if (what < 8) {
      std::string name = random_name(true);
      HKEY sub;
      ASSERT_EQ(RegCreateKeyExA(k, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), 0);
      RegCloseKey(sub);
      std::string full = path + "\\" + name;
      if (model.keys.emplace(lower_text(full), std::map<std::string, std::string>()).second)
        paths.push_back(full);
    } else if (path != "T") {
      RegCloseKey(k);
      ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str()), 0);
      std::string gone = lower_text(path);
      for (auto it = model.keys.begin(); it != model.keys.end();)
        it = it->first == gone || it->first.rfind(gone + "\\", 0) == 0 ? model.keys.erase(it) : std::next(it);
      std::vector<std::string> kept;
      for (const std::string &p : paths)
        if (model.keys.count(lower_text(p))) kept.push_back(p);
      paths = kept;
      continue;
    }
    RegCloseKey(k);
  }
  Model back;
  read_tree(root, "T", &back);
  RegCloseKey(root);
  EXPECT_EQ(back.keys, model.keys);
}

TEST_F(Registry, DeletedKeyAndBadHandles) {
  HKEY k, sub;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "A"), 0);
  EXPECT_EQ(set_string(k, "x", "y"), static_cast<LONG>(ERROR_KEY_DELETED));
  EXPECT_EQ(RegCreateKeyExA(k, "C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
            static_cast<LONG>(ERROR_KEY_DELETED));
  EXPECT_EQ(RegCloseKey(k), 0);
  EXPECT_EQ(RegCloseKey(k), static_cast<LONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(set_string(reinterpret_cast<HKEY>(0x1234), "x", "y"), static_cast<LONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\A", 0, KEY_READ, &k), static_cast<LONG>(ERROR_BAD_PATHNAME));
  // RegDeleteTree without a subkey empties the key.
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "E\\F", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  RegCloseKey(k);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "E", 0, KEY_ALL_ACCESS, &k), 0);
  EXPECT_EQ(set_string(k, "v", "1"), 0);
  EXPECT_EQ(RegDeleteTreeA(k, nullptr), 0);
  char name[8];
  DWORD n = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(k, 0, name, &n, nullptr, nullptr, nullptr, nullptr), static_cast<LONG>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(query_string(HKEY_LOCAL_MACHINE, "E", "v"), "<error 2>");
  RegCloseKey(k);
}

TEST_F(Registry, CorruptFileIsReportedAndLeftAlone) {
  mkdir(dir_.file("reg").c_str(), 0755);
  testsupport::write_file(dir_.file("reg/registry.txt"), "corvia-registry 1\nK HKEY_CLASSES_ROOT\nV 1 zz x\n");
  HKEY k;
  testing::internal::CaptureStderr();
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &k),
            static_cast<LONG>(ERROR_REGISTRY_CORRUPT));
  EXPECT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            static_cast<LONG>(ERROR_REGISTRY_CORRUPT));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("registry: " + file_ + " is corrupt (line 3)\n"), std::string::npos) << err;
  EXPECT_EQ(testsupport::read_file(file_), "corvia-registry 1\nK HKEY_CLASSES_ROOT\nV 1 zz x\n");
  // A file cut short (no end line) is corrupt too.
  testsupport::write_file(file_, "corvia-registry 1\nK HKEY_CLASSES_ROOT\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, nullptr, 0, KEY_READ, &k), static_cast<LONG>(ERROR_REGISTRY_CORRUPT));
  testing::internal::GetCapturedStderr();
}

TEST_F(Registry, UnusableLocationIsReported) {
  // The registry's folder would be a plain file.
  testsupport::write_file(dir_.file("plain"), "x");
  std::string file = dir_.file("plain/registry.txt");
  setenv("CORVIA_REGISTRY_FILE", file.c_str(), 1);
  HKEY k;
  testing::internal::CaptureStderr();
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            static_cast<LONG>(ERROR_REGISTRY_IO_FAILED));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "registry: cannot open " + file + ".lock: Not a directory\n");
  EXPECT_EQ(platform_error_text(ERROR_REGISTRY_IO_FAILED).rfind("An I/O operation initiated by the registry failed", 0), 0u);
  // A folder that cannot be made.
  file = dir_.file("plain/sub/registry.txt");
  setenv("CORVIA_REGISTRY_FILE", file.c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &k), static_cast<LONG>(ERROR_REGISTRY_IO_FAILED));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "registry: cannot create the folder of " + file + ": Not a directory\n");
}

TEST_F(Registry, SurvivesAWriterKilledMidWrite) {
  std::mt19937 rng(7);
  // Kills at random moments until three of them came while the new file was
  // being written (its temporary is left behind), at most 150 rounds; on a
  // loaded machine the kills may land mid-write less often, but at least
  // one must, or the test proved nothing.
  int cut_short = 0;
  for (int round = 0; round < 150 && cut_short < 3; ++round) {
    Child c = child_start(testsupport::bin_path("platform_test_helper"), {"regloop", "Busy"});
    ASSERT_EQ(child_read_line(c), "ready");
    usleep(20000 + static_cast<unsigned>(rng() % 80000));
    kill(c.pid, SIGKILL);
    EXPECT_EQ(child_wait(c), 128 + SIGKILL);
    if (access((file_ + ".tmp").c_str(), F_OK) == 0) ++cut_short;
    // The file is whole: it reads, and the key the child made is there.
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Busy", 0, KEY_READ, &k), 0) << "round " << round;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(k, "v0", nullptr, nullptr, nullptr, &size), 0);
    EXPECT_EQ(size, 20001u);
    RegCloseKey(k);
  }
  EXPECT_GE(cut_short, 1);
}

TEST_F(Registry, TwoProcessesWritingAtOnceKeepBothEntries) {
  Child a = child_start(testsupport::bin_path("platform_test_helper"), {"regwrite", "First", "60"});
  Child b = child_start(testsupport::bin_path("platform_test_helper"), {"regwrite", "Second", "60"});
  EXPECT_EQ(child_wait(a), 0);
  EXPECT_EQ(child_wait(b), 0);
  for (const char *key : {"First", "Second"})
    for (int i = 0; i < 60; ++i) {
      std::string name = "v" + std::to_string(i);
      EXPECT_EQ(query_string(HKEY_LOCAL_MACHINE, key, name.c_str()), "value " + std::to_string(i))
          << key << " " << name;
    }
}

TEST_F(Registry, PortMap) {
  EXPECT_EQ(platform_portmap_lookup("COM4"), "");
  EXPECT_EQ(platform_portmap_set("COM4", "/dev/pts/9"), 0);
  EXPECT_EQ(platform_portmap_set("COM5", "/dev/ttyUSB0"), 0);
  EXPECT_EQ(platform_portmap_lookup("com4"), "/dev/pts/9");
  // Entered as Windows lists its ports: device name -> COM name.
  EXPECT_EQ(query_string(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", "/dev/ttyUSB0"), "COM5");
  // A new device for COM4 replaces the old one.
  EXPECT_EQ(platform_portmap_set("COM4", "/dev/pts/10"), 0);
  EXPECT_EQ(platform_portmap_lookup("COM4"), "/dev/pts/10");
  EXPECT_EQ(query_string(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", "/dev/pts/9"), "<error 2>");
  EXPECT_EQ(platform_comm_device_path("COM4"), "/dev/pts/10");
  EXPECT_EQ(platform_comm_device_path("\\\\.\\COM5"), "/dev/ttyUSB0");
  EXPECT_EQ(platform_portmap_remove("COM4"), 0);
  EXPECT_EQ(platform_portmap_remove("COM4"), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  // Without an entry: /dev/ttyS<n-1>; other names are paths.
  EXPECT_EQ(platform_comm_device_path("COM4"), "/dev/ttyS3");
  EXPECT_EQ(platform_comm_device_path("COM12"), "/dev/ttyS11");
  EXPECT_EQ(platform_comm_device_path("COM0"), "COM0");
  EXPECT_EQ(platform_comm_device_path("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(platform_portmap_set("", "/dev/x"), static_cast<LONG>(ERROR_INVALID_PARAMETER));
}

}  // namespace
