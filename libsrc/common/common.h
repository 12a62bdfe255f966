// Shared helpers of the libraries and programs.
//
// Library functions do not return error codes for bad data: they print a
// message on standard error and end the program with status 1. Violated
// preconditions are programming errors and stop the program with an
// assertion message naming the condition (checked in every build).
#pragma once

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
