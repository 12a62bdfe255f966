// The wrapped exit of the fuzz targets (see fuzz_support.h), and what makes
// it safe to go on in the same process: the libraries' malloc family and
// fopen/fclose are wrapped too (-Wl,--wrap=...), so that what a body had
// allocated or opened when the library ended it is released after the
// unwinding, as the end of the program would release it. Without that the
// abandoned records of thousands of inputs add up to an out-of-memory stop.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <vector>

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

// Inputs are at most a few kilobytes (run.sh), so a block of the libraries
// beyond a megabyte is one that a header field asked for. Such a request
// fails at once, as on a small machine, taking the reader through its
// exhausted-memory path instead of spending AddressSanitizer's mapping and
// page faults on a block that the input will never fill.
constexpr size_t kBodyBlockLimit = size_t{1} << 20;

void *refuse() {
  errno = ENOMEM;
  return nullptr;
}

// A set of pointers by open addressing (linear probing, tombstones): an
// insert or erase allocates nothing, where a node-based set doubled the
// allocations of the library under AddressSanitizer.
class PointerSet {
 public:
  void insert(void *p) {
    if (2 * (used_ + 1) > slots_.size()) {
      size_t size = 64;
      while (size < 4 * (live_ + 1)) size *= 2;
      rehash(size);
    }
    size_t i = home(p);
    while (slots_[i] != nullptr && slots_[i] != kTomb) i = (i + 1) & mask_;
    if (slots_[i] == nullptr) used_++;
    slots_[i] = p;
    live_++;
  }
  void erase(void *p) {
    if (live_ == 0) return;
    for (size_t i = home(p); slots_[i] != nullptr; i = (i + 1) & mask_) {
      if (slots_[i] == p) {
        slots_[i] = kTomb;
        live_--;
        return;
      }
    }
  }
  template <typename F>
  void for_each(F f) const {
    for (void *p : slots_)
      if (p != nullptr && p != kTomb) f(p);
  }
  // Empties the set. A table grown for a large input shrinks to its first
  // size again (keeping its memory), so that every later input, which
  // mostly holds a few blocks, is not charged for walking the large one.
  void clear() {
    if (used_ == 0) return;
    slots_.assign(64, nullptr);
    mask_ = 63;
    shift_ = 58;
    used_ = live_ = 0;
  }

 private:
  inline static void *const kTomb = reinterpret_cast<void *>(uintptr_t{1});
  // The product's top bits: its low bits are those of the pointer alone,
  // and blocks that the allocator spaces by a power of two would share a
  // few home slots (probes then grow with the blocks held: a body that
  // holds tens of thousands of them ran past the fuzzer's time limit).
  size_t home(void *p) const {
    return static_cast<size_t>(
        (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void rehash(size_t size) {
    std::vector<void *> old(size, nullptr);
    old.swap(slots_);
    mask_ = size - 1;
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(size));
    used_ = live_ = 0;
    for (void *p : old)
      if (p != nullptr && p != kTomb) insert(p);
  }
  std::vector<void *> slots_;  // a power of two in size, null when empty
  size_t mask_ = 0;
  unsigned shift_ = 64;  // 64 - log2 of the slots, once there are slots
  size_t used_ = 0;  // slots not null: entries and tombstones
  size_t live_ = 0;  // entries
};

// Blocks and streams the current body holds (the fuzzer runs one input at
// a time on one thread). Made with new, which is not wrapped.
PointerSet &blocks() {
  static auto *set = new PointerSet;
  return *set;
}
PointerSet &streams() {
  static auto *set = new PointerSet;
  return *set;
}

}  // namespace

namespace fuzz {

void release_abandoned(bool exited) {
  if (exited) {
    blocks().for_each([](void *p) { __real_free(p); });
    streams().for_each([](void *f) { __real_fclose(static_cast<FILE *>(f)); });
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
  if (fuzz::in_body && size > kBodyBlockLimit) return refuse();
  void *p = __real_malloc(size);
  if (fuzz::in_body && p != nullptr) blocks().insert(p);
  return p;
}

void *__wrap_calloc(size_t count, size_t size) {
  if (fuzz::in_body && size != 0 && count > kBodyBlockLimit / size) return refuse();
  void *p = __real_calloc(count, size);
  if (fuzz::in_body && p != nullptr) blocks().insert(p);
  return p;
}

void *__wrap_realloc(void *old, size_t size) {
  if (fuzz::in_body && size > kBodyBlockLimit) return refuse();
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
