#include "common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

void precondition_failed(const char *cond, const char *file, int line,
                         const char *function) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line,
               function, cond);
  std::fflush(stderr);
  std::abort();
}

void fatal_system_error(const char *prefix) {
  int err = errno;
  std::fprintf(stderr, "%s: %s\n", prefix, std::strerror(err));
  std::exit(1);
}

void fatal_error(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::exit(1);
}
