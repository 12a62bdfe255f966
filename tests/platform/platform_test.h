// What the platform tests share: a private registry file per test and registry reads that give text.
#pragma once

#include "testsupport.h"
#include "win32.h"

namespace platform_test {

// Each test gets a registry file of its own, in a folder yet to be made.
class Registry : public testing::Test {
 protected:
  void SetUp() override { setenv("CORVIA_REGISTRY_FILE", file_.c_str(), 1); }
  void TearDown() override { unsetenv("CORVIA_REGISTRY_FILE"); }
  testsupport::TempDir dir_;
  std::string file_ = dir_.file("reg/registry.txt");
};

// The value "KEY|NAME" (the default value for "KEY"): a string without its terminator, other types as their bytes; "<no
// key>" or "<error N>".
inline std::string reg_text(HKEY root, const std::string &key_and_name) {
  const size_t bar = key_and_name.find('|');
  const std::string key = key_and_name.substr(0, bar);
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != 0) return "<no key>";
  char buf[4096];
  DWORD size = sizeof buf, type = 0;
  const LONG rc = RegQueryValueExA(k, bar == std::string::npos ? nullptr : key_and_name.c_str() + bar + 1,
                                   nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
  RegCloseKey(k);
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return "<no value>";
  if (rc != 0) return "<error " + std::to_string(rc) + ">";
  return std::string(buf, type == REG_SZ && size > 0 && buf[size - 1] == '\0' ? size - 1 : size);
}

inline HKEY create_key(HKEY root, const std::string &path, DWORD *disposition = nullptr) {
  HKEY k = nullptr;
  EXPECT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, disposition), 0) << path;
  return k;
}

inline bool key_exists(HKEY root, const std::string &key) {
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != 0) return false;
  RegCloseKey(k);
  return true;
}

inline LONG set_string(HKEY k, const char *name, const std::string &text) {
  return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

}  // namespace platform_test
