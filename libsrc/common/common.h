// Shared helpers of the libraries and programs.
//
// Library functions do not return error codes for bad data: they print a
// message on standard error and end the program with status 1. Violated
// preconditions are programming errors and stop the program with an
// assertion message naming the condition (checked in every build).
#pragma once

#include <cstddef>
#include <cstdio>

// Stops the program with "FILE:LINE: FUNCTION: Assertion `COND' failed."
// when COND is false. Unlike assert() it is never compiled out.
#define PRECONDITION(cond)                                                   \
  ((cond) ? (void)0                                                          \
          : precondition_failed(#cond, __FILE__, __LINE__, __func__))

[[noreturn]] void precondition_failed(const char *cond, const char *file,
                                      int line, const char *function);

// Prints "PREFIX: <system error text>\n" for the current errno (as perror
// does) and exits with status 1.
[[noreturn]] void fatal_system_error(const char *prefix);

// printf-style message on standard error, then exit with status 1.
[[noreturn]] void fatal_error(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

// Zeroed room for at least `bytes`, aligned to 2 MiB and mapped with the
// advice to back it with transparent huge pages: where the system has them
// to give, touching it costs a fault per 2 MiB instead of one per 4 KiB page
// (dear on virtual machines, about 10 us each). The whole 2 MiB pages of
// the room are huge; a caller that wants all of it so asks for a multiple
// of 2 MiB. With `populate`, every page is mapped before it returns. Null
// when the system refuses the mapping; huge_region_free(p, bytes) gives it
// back.
inline constexpr size_t kHugePage = size_t{2} << 20;
void *huge_region_alloc(size_t bytes, bool populate);
void huge_region_free(void *p, size_t bytes);

// Set in address-sanitizer builds, which keep such buffers on the heap,
// whose bounds the sanitizer checks.
#if defined(__SANITIZE_ADDRESS__)
#define HEAP_FOR_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HEAP_FOR_SANITIZER 1
#endif
#endif
