// The registry: HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE (and HKEY_CURRENT_USER)
// kept in one text file per user.
//
// Every call is a transaction on the file: it takes an advisory lock on
// "<file>.lock" (shared to read, exclusive to change), reads the file, and a
// change is written to "<file>.tmp", flushed to the disk and renamed over
// the file. So a process killed mid-write leaves the old or the new file
// whole, and processes registering at the same time never lose an entry.
//
// File format (text, one item a line, keys in tree order):
//   corvia-registry 1
//   K <root>\<key>\<subkey>          a key
//   V <type> <hex data> <name>       a value of the key above ("" default)
//   E                                end (a file without it is corrupt)
// '%', CR and LF in names are written as %25, %0D, %0A.
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "handles.h"
#include "win32.h"

namespace {

std::string lower(const std::string &s) {
  std::string r = s;
  for (char &c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

struct RegValue {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

struct RegNode {
  std::string name;
  std::map<std::string, RegNode> children;  // by lower-case name
  std::map<std::string, RegValue> values;   // by lower-case name
};

const char *const root_names[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                  "HKEY_LOCAL_MACHINE"};
const int n_roots = 3;

struct RegTree {
  RegNode roots[n_roots];
};

// An open key: its root and the path below it.
struct RegKey {
  int root;
  std::vector<std::string> path;
};

std::mutex process_mutex;            // one transaction at a time per process
struct OpenKeysTag;
// The open keys, guarded by process_mutex.
std::set<const RegKey *> &open_keys() {
  return platform_detail::immortal<std::set<const RegKey *>, OpenKeysTag>();
}

int root_index(HKEY h) {
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if (v >= 0x80000000u && v <= 0x80000002u) return static_cast<int>(v - 0x80000000u);
  return -1;
}

// Resolves a handle (predefined or opened) to root and path.
bool resolve(HKEY h, RegKey *out) {
  int r = root_index(h);
  if (r >= 0) {
    out->root = r;
    out->path.clear();
    return true;
  }
  const RegKey *k = reinterpret_cast<const RegKey *>(h);
  if (open_keys().count(k) == 0) return false;
  *out = *k;
  return true;
}

bool split_path(const char *subkey, std::vector<std::string> *parts) {
  if (subkey == nullptr) return true;
  if (subkey[0] == '\\') return false;
  std::string part;
  for (const char *p = subkey;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (!part.empty()) parts->push_back(part);
      part.clear();
      if (*p == '\0') break;
    } else {
      part += *p;
    }
  }
  return true;
}

RegNode *find_node(RegTree &t, int root, const std::vector<std::string> &path) {
  RegNode *n = &t.roots[root];
  for (const std::string &p : path) {
    auto it = n->children.find(lower(p));
    if (it == n->children.end()) return nullptr;
    n = &it->second;
  }
  return n;
}

std::string escape(const std::string &s) {
  std::string r;
  for (char c : s) {
    if (c == '%') r += "%25";
    else if (c == '\n') r += "%0A";
    else if (c == '\r') r += "%0D";
    else r += c;
  }
  return r;
}

bool unescape(const std::string &s, std::string *out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return false;
    int v = 0;
    if (sscanf(s.substr(i + 1, 2).c_str(), "%2x", &v) != 1) return false;
    *out += static_cast<char>(v);
    i += 2;
  }
  return true;
}

void write_node(std::string &out, const RegNode &n, const std::string &path) {
  out += "K " + escape(path) + "\n";
  static const char hex[] = "0123456789abcdef";
  for (const auto &kv : n.values) {
    const RegValue &v = kv.second;
    char type[16];
    snprintf(type, sizeof type, "%u", v.type);
    out += "V " + std::string(type) + " ";
    for (unsigned char c : v.data) {
      out += hex[c >> 4];
      out += hex[c & 15];
    }
    if (v.data.empty()) out += "-";
    out += " " + escape(v.name) + "\n";
  }
  for (const auto &kv : n.children) write_node(out, kv.second, path + "\\" + kv.second.name);
}

std::string serialise(const RegTree &t) {
  std::string out = "corvia-registry 1\n";
  for (int r = 0; r < n_roots; ++r) write_node(out, t.roots[r], root_names[r]);
  out += "E\n";
  return out;
}

// Parses the file's text; false (with the line number) when it is damaged.
bool parse(const std::string &text, RegTree *t, int *bad_line) {
  std::istringstream in(text);
  std::string line;
  int n = 0;
  RegNode *current = nullptr;
  bool ended = false;
  while (std::getline(in, line)) {
    ++n;
    *bad_line = n;
    if (ended) return false;
    if (n == 1) {
      if (line != "corvia-registry 1") return false;
      continue;
    }
    if (line == "E") {
      ended = true;
      continue;
    }
    if (line.size() < 2 || line[1] != ' ') return false;
    if (line[0] == 'K') {
      std::string path;
      if (!unescape(line.substr(2), &path)) return false;
      std::vector<std::string> parts;
      split_path(path.c_str(), &parts);
      if (parts.empty()) return false;
      int root = -1;
      for (int r = 0; r < n_roots; ++r)
        if (parts[0] == root_names[r]) root = r;
      if (root < 0) return false;
      current = &t->roots[root];
      for (size_t i = 1; i < parts.size(); ++i) {
        RegNode &child = current->children[lower(parts[i])];
        child.name = parts[i];
        current = &child;
      }
    } else if (line[0] == 'V') {
      if (current == nullptr) return false;
      size_t sp1 = line.find(' ', 2);
      if (sp1 == std::string::npos) return false;
      size_t sp2 = line.find(' ', sp1 + 1);
      if (sp2 == std::string::npos) return false;
      RegValue v;
      char *end = nullptr;
      std::string type = line.substr(2, sp1 - 2);
      v.type = static_cast<DWORD>(strtoul(type.c_str(), &end, 10));
      if (type.empty() || *end != '\0') return false;
      std::string hex = line.substr(sp1 + 1, sp2 - sp1 - 1);
      if (hex != "-") {
        if (hex.size() % 2 != 0) return false;
        for (size_t i = 0; i < hex.size(); i += 2) {
          int b = 0;
          if (!isxdigit(static_cast<unsigned char>(hex[i])) ||
              !isxdigit(static_cast<unsigned char>(hex[i + 1])) ||
              sscanf(hex.substr(i, 2).c_str(), "%2x", &b) != 1)
            return false;
          v.data += static_cast<char>(b);
        }
      }
      if (!unescape(line.substr(sp2 + 1), &v.name)) return false;
      current->values[lower(v.name)] = v;
    } else {
      return false;
    }
  }
  return ended;
}

bool make_folders(const std::string &file) {
  size_t pos = 0;
  while ((pos = file.find('/', pos + 1)) != std::string::npos) {
    std::string dir = file.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Runs `f` on the registry's contents under the file lock; with `change`,
// the contents are written back when `f` succeeds and reports a change.
template <class F>
LONG transaction(bool change, F f) {
  std::string file = platform_registry_file();
  if (file.empty()) return static_cast<LONG>(ERROR_REGISTRY_IO_FAILED);
  if (!make_folders(file)) {
    fprintf(stderr, "registry: cannot create the folder of %s: %s\n", file.c_str(),
            strerror(errno));
    return static_cast<LONG>(ERROR_REGISTRY_IO_FAILED);
  }
  std::string lock_name = file + ".lock";
  int lock_fd = open(lock_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) {
    fprintf(stderr, "registry: cannot open %s: %s\n", lock_name.c_str(), strerror(errno));
    return static_cast<LONG>(ERROR_REGISTRY_IO_FAILED);
  }
  while (flock(lock_fd, change ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
  }
  struct Unlock {
    int fd;
    ~Unlock() { close(fd); }  // releases the lock
  } unlock{lock_fd};

  RegTree tree;
  FILE *in = fopen(file.c_str(), "rb");
  if (in != nullptr) {
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, n);
    bool read_error = ferror(in) != 0;
    fclose(in);
    int bad_line = 0;
    if (read_error) {
      fprintf(stderr, "registry: cannot read %s\n", file.c_str());
      return static_cast<LONG>(ERROR_REGISTRY_IO_FAILED);
    }
    if (!text.empty() && !parse(text, &tree, &bad_line)) {
      fprintf(stderr, "registry: %s is corrupt (line %d)\n", file.c_str(), bad_line);
      return static_cast<LONG>(ERROR_REGISTRY_CORRUPT);
    }
  } else if (errno != ENOENT) {
    fprintf(stderr, "registry: %s: %s\n", file.c_str(), strerror(errno));
    return static_cast<LONG>(ERROR_REGISTRY_IO_FAILED);
  }
  bool changed = false;
  LONG rc = f(tree, changed);
  if (!change || rc != static_cast<LONG>(ERROR_SUCCESS) || !changed) return rc;

  std::string text = serialise(tree);
  std::string tmp = file + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) ok = false;
    else done += static_cast<size_t>(w);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), file.c_str()) != 0) ok = false;
  if (!ok) {
    fprintf(stderr, "registry: cannot write %s: %s\n", file.c_str(), strerror(errno));
    unlink(tmp.c_str());
    return static_cast<LONG>(ERROR_REGISTRY_IO_FAILED);
  }
  std::string dir = file.substr(0, file.rfind('/') == std::string::npos ? 0 : file.rfind('/'));
  int dfd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return rc;
}

HKEY new_handle(int root, std::vector<std::string> path) {
  RegKey *k = new RegKey{root, std::move(path)};
  open_keys().insert(k);
  return reinterpret_cast<HKEY>(k);
}

LONG copy_out(const std::string &bytes, BYTE *data, DWORD *size) {
  if (size == nullptr) return data == nullptr ? static_cast<LONG>(ERROR_SUCCESS)
                                              : static_cast<LONG>(ERROR_INVALID_PARAMETER);
  DWORD need = static_cast<DWORD>(bytes.size());
  if (data == nullptr) {
    *size = need;
    return static_cast<LONG>(ERROR_SUCCESS);
  }
  if (*size < need) {
    *size = need;
    return static_cast<LONG>(ERROR_MORE_DATA);
  }
  memcpy(data, bytes.data(), need);
  *size = need;
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG copy_name(const std::string &name, char *out, DWORD *size) {
  if (out == nullptr || size == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  if (*size < name.size() + 1) return static_cast<LONG>(ERROR_MORE_DATA);
  memcpy(out, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  return static_cast<LONG>(ERROR_SUCCESS);
}

#define REG_RESULT(code) static_cast<LONG>(code)

}  // namespace

std::string platform_registry_file(void) {
  const char *env = getenv("CORVIA_REGISTRY_FILE");
  if (env != nullptr && *env != '\0') return env;
  const char *xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/corvia/registry.txt";
  const char *home = getenv("HOME");
  if (home == nullptr || *home == '\0') {
    struct passwd *pw = getpwuid(getuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  if (home == nullptr) return "";
  return std::string(home) + "/.config/corvia/registry.txt";
}

LONG RegCreateKeyExA(HKEY key, const char *subkey, DWORD reserved, char *klass, DWORD options,
                     DWORD sam, void *security, HKEY *result, DWORD *disposition) {
  (void)reserved, (void)klass, (void)options, (void)sam, (void)security;
  if (result == nullptr) return REG_RESULT(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  std::lock_guard<std::mutex> lock(process_mutex);
  RegKey base;
  if (!resolve(key, &base)) return REG_RESULT(ERROR_INVALID_HANDLE);
  std::vector<std::string> path = base.path;
  if (!split_path(subkey, &path)) return REG_RESULT(ERROR_BAD_PATHNAME);
  DWORD disp = REG_OPENED_EXISTING_KEY;
  LONG rc = transaction(true, [&](RegTree &t, bool &changed) {
    if (find_node(t, base.root, base.path) == nullptr) return REG_RESULT(ERROR_KEY_DELETED);
    RegNode *n = &t.roots[base.root];
    for (const std::string &p : path) {
      auto it = n->children.find(lower(p));
      if (it == n->children.end()) {
        RegNode &child = n->children[lower(p)];
        child.name = p;
        changed = true;
        disp = REG_CREATED_NEW_KEY;
        n = &child;
      } else {
        n = &it->second;
      }
    }
    return REG_RESULT(ERROR_SUCCESS);
  });
  if (rc != REG_RESULT(ERROR_SUCCESS)) return rc;
  if (disposition != nullptr) *disposition = disp;
  *result = new_handle(base.root, path);
  return rc;
}

LONG RegOpenKeyExA(HKEY key, const char *subkey, DWORD options, DWORD sam, HKEY *result) {
  (void)options, (void)sam;
  if (result == nullptr) return REG_RESULT(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  std::lock_guard<std::mutex> lock(process_mutex);
  RegKey base;
  if (!resolve(key, &base)) return REG_RESULT(ERROR_INVALID_HANDLE);
  std::vector<std::string> path = base.path;
  if (!split_path(subkey, &path)) return REG_RESULT(ERROR_BAD_PATHNAME);
  LONG rc = transaction(false, [&](RegTree &t, bool &) {
    if (find_node(t, base.root, base.path) == nullptr) return REG_RESULT(ERROR_KEY_DELETED);
    return find_node(t, base.root, path) ? REG_RESULT(ERROR_SUCCESS)
                                         : REG_RESULT(ERROR_FILE_NOT_FOUND);
  });
  if (rc == REG_RESULT(ERROR_SUCCESS)) *result = new_handle(base.root, path);
  return rc;
}

LONG RegCloseKey(HKEY key) {
  std::lock_guard<std::mutex> lock(process_mutex);
  if (root_index(key) >= 0) return REG_RESULT(ERROR_SUCCESS);
  const RegKey *k = reinterpret_cast<const RegKey *>(key);
  if (open_keys().erase(k) == 0) return REG_RESULT(ERROR_INVALID_HANDLE);
  delete k;
  return REG_RESULT(ERROR_SUCCESS);
}

LONG RegSetValueExA(HKEY key, const char *name, DWORD reserved, DWORD type, const BYTE *data,
                    DWORD size) {
  (void)reserved;
  if (data == nullptr && size != 0) return REG_RESULT(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(process_mutex);
  RegKey k;
  if (!resolve(key, &k)) return REG_RESULT(ERROR_INVALID_HANDLE);
  std::string value_name = name ? name : "";
  return transaction(true, [&](RegTree &t, bool &changed) {
    RegNode *n = find_node(t, k.root, k.path);
    if (n == nullptr) return REG_RESULT(ERROR_KEY_DELETED);
    RegValue v;
    v.name = value_name;
    v.type = type;
    v.data.assign(reinterpret_cast<const char *>(data), size);
    n->values[lower(value_name)] = v;
    changed = true;
    return REG_RESULT(ERROR_SUCCESS);
  });
}

LONG RegQueryValueExA(HKEY key, const char *name, DWORD *reserved, DWORD *type, BYTE *data,
                      DWORD *size) {
  (void)reserved;
  std::lock_guard<std::mutex> lock(process_mutex);
  RegKey k;
  if (!resolve(key, &k)) return REG_RESULT(ERROR_INVALID_HANDLE);
  std::string value_name = lower(name ? name : "");
  return transaction(false, [&](RegTree &t, bool &) {
    RegNode *n = find_node(t, k.root, k.path);
    if (n == nullptr) return REG_RESULT(ERROR_KEY_DELETED);
    auto it = n->values.find(value_name);
    if (it == n->values.end()) return REG_RESULT(ERROR_FILE_NOT_FOUND);
    if (type != nullptr) *type = it->second.type;
    return copy_out(it->second.data, data, size);
  });
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *name_size, DWORD *reserved,
                   char *klass, DWORD *class_size, FILETIME *last_write) {
  (void)reserved;
  if (klass != nullptr && class_size != nullptr && *class_size > 0) klass[0] = '\0';
  if (class_size != nullptr) *class_size = 0;
  if (last_write != nullptr) GetSystemTimeAsFileTime(last_write);
  std::lock_guard<std::mutex> lock(process_mutex);
  RegKey k;
  if (!resolve(key, &k)) return REG_RESULT(ERROR_INVALID_HANDLE);
  return transaction(false, [&](RegTree &t, bool &) {
    RegNode *n = find_node(t, k.root, k.path);
    if (n == nullptr) return REG_RESULT(ERROR_KEY_DELETED);
    if (index >= n->children.size()) return REG_RESULT(ERROR_NO_MORE_ITEMS);
    auto it = n->children.begin();
    std::advance(it, index);
    return copy_name(it->second.name, name, name_size);
  });
}

LONG RegEnumValueA(HKEY key, DWORD index, char *name, DWORD *name_size, DWORD *reserved,
                   DWORD *type, BYTE *data, DWORD *data_size) {
  (void)reserved;
  std::lock_guard<std::mutex> lock(process_mutex);
  RegKey k;
  if (!resolve(key, &k)) return REG_RESULT(ERROR_INVALID_HANDLE);
  return transaction(false, [&](RegTree &t, bool &) {
    RegNode *n = find_node(t, k.root, k.path);
    if (n == nullptr) return REG_RESULT(ERROR_KEY_DELETED);
    if (index >= n->values.size()) return REG_RESULT(ERROR_NO_MORE_ITEMS);
    auto it = n->values.begin();
    std::advance(it, index);
    LONG rc = copy_name(it->second.name, name, name_size);
    if (rc != REG_RESULT(ERROR_SUCCESS)) return rc;
    if (type != nullptr) *type = it->second.type;
    if (data != nullptr || data_size != nullptr) return copy_out(it->second.data, data, data_size);
    return rc;
  });
}

LONG RegDeleteValueA(HKEY key, const char *name) {
  std::lock_guard<std::mutex> lock(process_mutex);
  RegKey k;
  if (!resolve(key, &k)) return REG_RESULT(ERROR_INVALID_HANDLE);
  std::string value_name = lower(name ? name : "");
  return transaction(true, [&](RegTree &t, bool &changed) {
    RegNode *n = find_node(t, k.root, k.path);
    if (n == nullptr) return REG_RESULT(ERROR_KEY_DELETED);
    if (n->values.erase(value_name) == 0) return REG_RESULT(ERROR_FILE_NOT_FOUND);
    changed = true;
    return REG_RESULT(ERROR_SUCCESS);
  });
}

static LONG delete_key(HKEY key, const char *subkey, bool tree) {
  std::lock_guard<std::mutex> lock(process_mutex);
  RegKey k;
  if (!resolve(key, &k)) return REG_RESULT(ERROR_INVALID_HANDLE);
  std::vector<std::string> path = k.path;
  if (!split_path(subkey, &path)) return REG_RESULT(ERROR_BAD_PATHNAME);
  bool whole = path.size() > k.path.size();
  if (!tree && !whole) return REG_RESULT(ERROR_INVALID_PARAMETER);
  return transaction(true, [&](RegTree &t, bool &changed) {
    if (find_node(t, k.root, k.path) == nullptr) return REG_RESULT(ERROR_KEY_DELETED);
    RegNode *n = find_node(t, k.root, path);
    if (n == nullptr) return REG_RESULT(ERROR_FILE_NOT_FOUND);
    if (!whole) {
      // RegDeleteTree without a subkey empties the key itself.
      changed = !n->children.empty() || !n->values.empty();
      n->children.clear();
      n->values.clear();
      return REG_RESULT(ERROR_SUCCESS);
    }
    if (!tree && !n->children.empty()) return REG_RESULT(ERROR_ACCESS_DENIED);
    std::vector<std::string> parent_path(path.begin(), path.end() - 1);
    RegNode *parent = find_node(t, k.root, parent_path);
    parent->children.erase(lower(path.back()));
    changed = true;
    return REG_RESULT(ERROR_SUCCESS);
  });
}

LONG RegDeleteKeyA(HKEY key, const char *subkey) { return delete_key(key, subkey, false); }
LONG RegDeleteTreeA(HKEY key, const char *subkey) { return delete_key(key, subkey, true); }

// ---------------------------------------------------------------------------
// The port map.

namespace {
const char portmap_key[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

bool same_com_name(const std::string &data, const char *com_name) {
  std::string s = data;
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return strcasecmp(s.c_str(), com_name) == 0;
}
}  // namespace

LONG platform_portmap_set(const char *com_name, const char *device_path) {
  if (com_name == nullptr || device_path == nullptr || *com_name == '\0' || *device_path == '\0')
    return REG_RESULT(ERROR_INVALID_PARAMETER);
  platform_portmap_remove(com_name);
  HKEY k;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, portmap_key, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &k, nullptr);
  if (rc != REG_RESULT(ERROR_SUCCESS)) return rc;
  rc = RegSetValueExA(k, device_path, 0, REG_SZ, reinterpret_cast<const BYTE *>(com_name),
                      static_cast<DWORD>(strlen(com_name) + 1));
  RegCloseKey(k);
  return rc;
}

static std::vector<std::pair<std::string, std::string>> portmap_entries() {
  std::vector<std::pair<std::string, std::string>> entries;
  HKEY k;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, portmap_key, 0, KEY_READ, &k) != REG_RESULT(ERROR_SUCCESS))
    return entries;
  for (DWORD i = 0;; ++i) {
    char name[1024];
    DWORD name_size = sizeof name;
    BYTE data[256];
    DWORD data_size = sizeof data;
    DWORD type = 0;
    LONG rc = RegEnumValueA(k, i, name, &name_size, nullptr, &type, data, &data_size);
    if (rc == REG_RESULT(ERROR_MORE_DATA)) continue;  // too long for a port: not one of ours
    // The end, or the map is gone meanwhile (deleted, or its file removed):
    // any other result would come again for every index.
    if (rc != REG_RESULT(ERROR_SUCCESS)) break;
    if (type != REG_SZ) continue;
    entries.emplace_back(name, std::string(reinterpret_cast<char *>(data), data_size));
  }
  RegCloseKey(k);
  return entries;
}

LONG platform_portmap_remove(const char *com_name) {
  if (com_name == nullptr || *com_name == '\0') return REG_RESULT(ERROR_INVALID_PARAMETER);
  LONG result = REG_RESULT(ERROR_FILE_NOT_FOUND);
  HKEY k;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, portmap_key, 0, KEY_ALL_ACCESS, &k) != REG_RESULT(ERROR_SUCCESS))
    return result;
  for (const auto &e : portmap_entries())
    if (same_com_name(e.second, com_name) && RegDeleteValueA(k, e.first.c_str()) == 0)
      result = REG_RESULT(ERROR_SUCCESS);
  RegCloseKey(k);
  return result;
}

std::string platform_portmap_lookup(const char *com_name) {
  if (com_name == nullptr) return "";
  for (const auto &e : portmap_entries())
    if (same_com_name(e.second, com_name)) return e.first;
  return "";
}
