// Event and map files: the input up to its first NUL byte is the event
// file, the rest the map file; the map built is then looked up.
#include <unistd.h>

#include <cstring>
#include <string>

#include "corvia.h"
#include "fuzz_support.h"

namespace {

std::string write_temp(const char *name, const uint8_t *data, size_t size) {
  static const std::string dir = [] {
    char t[] = "/tmp/fuzz_event_maps.XXXXXX";
    return std::string(mkdtemp(t));
  }();
  const std::string path = dir + "/" + name;
  FILE *f = std::fopen(path.c_str(), "wb");
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
  const size_t first = nul != nullptr ? static_cast<size_t>(nul - data) : size;
  const size_t rest = nul != nullptr ? size - first - 1 : 0;
  const std::string events = write_temp("events", data, first);
  const std::string map = write_temp("map", nul != nullptr ? nul + 1 : data, rest);
  std::FILE *saved = stderr;
  stderr = std::fopen("/dev/null", "w");  // the readers report every line
  fuzz::run([&] {
    eventmap m;
    eventmap_init_from_files(&m, events.c_str(), map.c_str());
    for (long double t : {-1.0L, 0.0L, 1.0L, 1e9L})
      (void)get_classnumber(&m, long_double_to_rel_time(t));
    eventmap_free(&m);
  });
  std::fclose(stderr);
  stderr = saved;
  return 0;
}
