// The wrapped exit of the fuzz targets (see fuzz_support.h), and what makes
// it safe to go on in the same process: the libraries' malloc family and
// fopen/fclose are wrapped too (-Wl,--wrap=...), so that what a body had
// allocated or opened when the library ended it is released after the
// unwinding, as the end of the program would release it. Without that the
// abandoned records of thousands of inputs add up to an out-of-memory stop.
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

#include "fuzz_support.h"

extern "C" {
[[noreturn]] void __real_exit(int status);
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *p, size_t size);
void __real_free(void *p);
char *__real_strdup(const char *s);
FILE *__real_fopen(const char *path, const char *mode);
int __real_fclose(FILE *f);
}

namespace {

// Blocks and streams the current body holds (the fuzzer runs one input at
// a time on one thread). Made with new, which is not wrapped.
std::unordered_set<void *> &blocks() {
  static auto *set = new std::unordered_set<void *>;
  return *set;
}
std::unordered_set<FILE *> &streams() {
  static auto *set = new std::unordered_set<FILE *>;
  return *set;
}

}  // namespace

namespace fuzz {

void release_abandoned(bool exited) {
  if (exited) {
    for (void *p : blocks()) __real_free(p);
    for (FILE *f : streams()) __real_fclose(f);
  }
  blocks().clear();
  streams().clear();
}

}  // namespace fuzz

extern "C" {

[[noreturn]] void __wrap_exit(int status) {
  if (!fuzz::in_body) __real_exit(status);
  fuzz::in_body = false;
  throw fuzz::library_exit{status};
}

void *__wrap_malloc(size_t size) {
  void *p = __real_malloc(size);
  if (fuzz::in_body && p != nullptr) blocks().insert(p);
  return p;
}

void *__wrap_calloc(size_t count, size_t size) {
  void *p = __real_calloc(count, size);
  if (fuzz::in_body && p != nullptr) blocks().insert(p);
  return p;
}

void *__wrap_realloc(void *old, size_t size) {
  void *p = __real_realloc(old, size);
  if (fuzz::in_body && p != nullptr) {
    blocks().erase(old);
    blocks().insert(p);
  }
  return p;
}

char *__wrap_strdup(const char *text) {
  char *p = __real_strdup(text);
  if (fuzz::in_body && p != nullptr) blocks().insert(p);
  return p;
}

void __wrap_free(void *p) {
  blocks().erase(p);
  __real_free(p);
}

FILE *__wrap_fopen(const char *path, const char *mode) {
  FILE *f = __real_fopen(path, mode);
  if (fuzz::in_body && f != nullptr) streams().insert(f);
  return f;
}

int __wrap_fclose(FILE *f) {
  streams().erase(f);
  return __real_fclose(f);
}

}  // extern "C"
