// Event and map files: the input up to its first NUL byte is the event
// file, the rest the map file; the map built is then looked up. The two
// files live in memory (memfd), rewritten for every input and opened by
// the library through /proc/self/fd, so no input touches the disk.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "corvia.h"
#include "fuzz_support.h"

namespace {

struct MemoryFile {
  int fd;
  std::string path;
  explicit MemoryFile(const char *name)
      : fd(memfd_create(name, 0)), path("/proc/self/fd/" + std::to_string(fd)) {
    if (fd < 0) __builtin_trap();
  }
  // Replaces the content.
  void set(const uint8_t *data, size_t size) const {
    if (ftruncate(fd, 0) != 0) __builtin_trap();
    if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
      __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const MemoryFile events("events"), map("map");
  static FILE *quiet = std::fopen("/dev/null", "w");
  const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
  const size_t first = nul != nullptr ? static_cast<size_t>(nul - data) : size;
  events.set(data, first);
  map.set(nul != nullptr ? nul + 1 : data, nul != nullptr ? size - first - 1 : 0);
  std::FILE *saved = stderr;
  stderr = quiet;  // the readers report every line
  fuzz::run([&] {
    eventmap m;
    eventmap_init_from_files(&m, events.path.c_str(), map.path.c_str());
    for (long double t : {-1.0L, 0.0L, 1.0L, 1e9L})
      (void)get_classnumber(&m, long_double_to_rel_time(t));
    eventmap_free(&m);
  });
  stderr = saved;
  return 0;
}
