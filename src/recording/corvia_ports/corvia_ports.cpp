// corvia_ports: the COM port map for people. On Linux an amplifier's serial
// adapter appears as /dev/ttyUSB0 or /dev/ttyACM0; the device library looks
// for it under a COM name (COM3 first). This lists the map, gives a device a
// COM name and takes one away.
#include <getopt.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "win32.h"

namespace {

const char *const progname = "corvia_ports";
const char portmap_key[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

const char help_text[] =
    "\ncorvia_ports - the COM port map: which serial device each COM name "
    "(COM1, COM2, ...) opens.\n"
    "capture_corvia finds the amplifier on COM3 to COM8, then COM1, COM2 and "
    "COM9 to COM12.\n"
    "usage: corvia_ports [OPTIONS] [list]\n"
    "       corvia_ports [OPTIONS] set COMn DEVICE\n"
    "       corvia_ports [OPTIONS] remove COMn\n"
    "\n"
    "    list            show every entry, its device and whether the device "
    "is present,\n"
    "                    and serial adapters (/dev/ttyUSB*, /dev/ttyACM*) that "
    "have no COM name\n"
    "    set COMn DEVICE give DEVICE (e.g. /dev/ttyUSB0) the name COMn, "
    "replacing an earlier entry\n"
    "    remove COMn     take the entry COMn away\n"
    "\n"
    "OPTIONS:\n"
    "    --help, -h      Display this help.\n"
    "\n"
    "The map is kept in the registry file named by CORVIA_REGISTRY_FILE, else\n"
    "~/.config/corvia/registry.txt.\n"
    "\n";

[[noreturn]] void fail(const std::string &message) {
  fprintf(stderr, "%s error: %s\n", progname, message.c_str());
  exit(1);
}

std::string registry_error(LONG rc) {
  return platform_registry_file() + ": " + platform_error_text((DWORD)rc);
}

// "com3" -> "COM3"; "" when the text is no COM name (COM1 to COM255).
std::string com_name(const char *text) {
  if (strncasecmp(text, "COM", 3) != 0) return "";
  const char *digits = text + 3;
  if (*digits < '1' || *digits > '9' || strlen(digits) > 3) return "";
  for (const char *p = digits; *p; p++)
    if (*p < '0' || *p > '9') return "";
  if (atoi(digits) > 255) return "";
  return std::string("COM") + digits;
}

std::string checked_com_name(const char *text) {
  const std::string name = com_name(text);
  if (name.empty())
    fail(std::string("'") + text + "' is not a COM name (COM1 to COM255)");
  return name;
}

struct Entry {
  std::string com;
  std::string device;
};

// The map's entries, by COM number.
std::vector<Entry> read_map() {
  std::vector<Entry> entries;
  HKEY key;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, portmap_key, 0, KEY_READ, &key);
  if (rc == (LONG)ERROR_FILE_NOT_FOUND) return entries;
  if (rc != 0) fail("cannot read the port map: " + registry_error(rc));
  for (DWORD i = 0;; i++) {
    char name[4096];
    DWORD name_size = sizeof name;
    BYTE data[256];
    DWORD data_size = sizeof data - 1;
    DWORD type = 0;
    rc = RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &data_size);
    if (rc == (LONG)ERROR_NO_MORE_ITEMS) break;
    if (rc != 0 || type != REG_SZ) continue;
    data[data_size] = 0;
    entries.push_back({(const char *)data, name});
  }
  RegCloseKey(key);
  std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
    const int na = atoi(a.com.c_str() + std::min<size_t>(3, a.com.size()));
    const int nb = atoi(b.com.c_str() + std::min<size_t>(3, b.com.size()));
    return na != nb ? na < nb : a.com < b.com;
  });
  return entries;
}

// "present", or why the device cannot serve as a serial port.
std::string device_state(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::string("missing (") + strerror(errno) + ")";
  if (!S_ISCHR(st.st_mode)) return "not a serial device";
  if (access(path.c_str(), R_OK | W_OK) != 0)
    return std::string("present, but ") + strerror(errno) +
           " (is the user in the device's group, e.g. dialout?)";
  return "present";
}

int list_map() {
  const std::vector<Entry> entries = read_map();
  printf("port map in %s:\n", platform_registry_file().c_str());
  if (entries.empty()) printf("  (no entries)\n");
  for (const Entry &e : entries)
    printf("  %-6s %s  %s\n", e.com.c_str(), e.device.c_str(), device_state(e.device).c_str());
  std::vector<std::string> unnamed;
  for (const char *pattern : {"/dev/ttyUSB*", "/dev/ttyACM*"}) {
    glob_t g;
    if (glob(pattern, 0, nullptr, &g) == 0)
      for (size_t i = 0; i < g.gl_pathc; i++) {
        const std::string path = g.gl_pathv[i];
        if (std::none_of(entries.begin(), entries.end(),
                         [&](const Entry &e) { return e.device == path; }))
          unnamed.push_back(path);
      }
    globfree(&g);
  }
  for (const std::string &path : unnamed)
    printf("  (none) %s  present, no COM name: corvia_ports set COM3 %s\n", path.c_str(),
           path.c_str());
  return 0;
}

int set_entry(const char *com_text, const char *device_text) {
  const std::string com = checked_com_name(com_text);
  if (*device_text == '\0') fail("no device given for " + com);
  // Stored as an absolute path: the programs that open the port run
  // anywhere.
  std::error_code ec;
  const std::string device = std::filesystem::absolute(device_text, ec).lexically_normal();
  if (ec) fail(std::string(device_text) + ": " + ec.message());
  const std::string state = device_state(device);
  if (state != "present") fail(device + ": " + state);
  for (const Entry &e : read_map())
    if (e.device == device && e.com != com)
      printf("%s: %s was %s\n", progname, device.c_str(), e.com.c_str());
  const LONG rc = platform_portmap_set(com.c_str(), device.c_str());
  if (rc != 0) fail("cannot enter " + com + " in the port map: " + registry_error(rc));
  printf("%s: %s is %s\n", progname, com.c_str(), device.c_str());
  return 0;
}

int remove_entry(const char *com_text) {
  const std::string com = checked_com_name(com_text);
  const LONG rc = platform_portmap_remove(com.c_str());
  if (rc == (LONG)ERROR_FILE_NOT_FOUND) fail(com + " is not in the port map");
  if (rc != 0) fail("cannot remove " + com + " from the port map: " + registry_error(rc));
  printf("%s: %s removed\n", progname, com.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  static const struct option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                               {nullptr, 0, nullptr, 0}};
  for (;;) {
    const int c = getopt_long(argc, argv, "h", long_options, nullptr);
    if (c == -1) break;
    if (c == 'h') {
      fputs(help_text, stderr);
      return 0;
    }
    return 1;  // getopt_long has said what was wrong
  }
  const int n = argc - optind;
  char **args = argv + optind;
  const std::string command = n > 0 ? args[0] : "list";
  int want = -1;
  if (command == "list") want = 1;
  if (command == "set") want = 3;
  if (command == "remove") want = 2;
  if (want < 0) fail("unknown command '" + command + "' (list, set or remove; see --help)");
  if (n > 0 && n != want)
    fail(command + " takes " + std::to_string(want - 1) + " argument" + (want == 2 ? "" : "s") +
         ", not " + std::to_string(n - 1) + " (see --help)");
  if (command == "set") return set_entry(args[1], args[2]);
  if (command == "remove") return remove_entry(args[1]);
  return list_map();
}
