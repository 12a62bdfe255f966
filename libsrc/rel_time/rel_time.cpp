// Time values in extended precision: conversions and text I/O.
#include "rel_time.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"

long double rel_time_to_long_double(rel_time time) { return time.value; }

rel_time long_double_to_rel_time(long double value) {
  rel_time t;
  t.value = value;
  return t;
}

void rel_time_write(rel_time time, FILE *f) {
  errno = 0;
  if (fprintf(f, "%.*Lg", 18, time.value) < 0) {
    if (errno == 0) errno = EIO;
    fatal_system_error("rel_time_write");
  }
}

rel_time rel_time_read(FILE *f) {
  rel_time t;
  t.value = 0;
  errno = 0;
  int n = fscanf(f, "%Lg", &t.value);
  if (n != 1) {
    // At the end of the input or on text that is not a number, errno says
    // nothing useful; name the cause instead of printing "Success".
    if (errno != 0 && ferror(f)) fatal_system_error("rel_time_read");
    if (n == EOF)
      fatal_error("rel_time_read: unexpected end of input, no time value read\n");
    fatal_error("rel_time_read: malformed time value, not a number\n");
  }
  return t;
}
