#include "common.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

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

namespace {
constexpr size_t kPage = 4096;
size_t whole_pages(size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }
}  // namespace

void *huge_region_alloc(size_t bytes, bool populate) {
  if (bytes > SIZE_MAX - 2 * kHugePage) {
    errno = ENOMEM;
    return nullptr;
  }
  const size_t size = whole_pages(bytes == 0 ? 1 : bytes);
  void *p = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  // The 2 MiB-aligned part of the mapping; the rest goes back.
  const uintptr_t at = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (at + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > at) munmap(p, aligned - at);
  munmap(reinterpret_cast<void *>(aligned + size), kHugePage - (aligned - at));
  void *base = reinterpret_cast<void *>(aligned);
  madvise(base, size, MADV_HUGEPAGE);  // advice only: may be refused
#if !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif
  // Kernels before 5.14 do not populate on advice: a write to every page
  // does it.
  if (populate && madvise(base, size, MADV_POPULATE_WRITE) != 0) {
    for (size_t k = 0; k < size; k += kPage) {
      static_cast<volatile unsigned char *>(base)[k] = 0;
    }
  }
  return base;
}

void huge_region_free(void *p, size_t bytes) {
  if (p != nullptr) munmap(p, whole_pages(bytes == 0 ? 1 : bytes));
}
