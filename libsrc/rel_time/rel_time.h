// rel_time - a point in time or a duration in seconds, kept in extended
// precision so that wall-clock times since 1970 keep their microseconds.
#pragma once

#include <cstdio>

struct rel_time {
  long double value;  // seconds
};

long double rel_time_to_long_double(rel_time time);
rel_time long_double_to_rel_time(long double value);

// Prints the value with 18 significant digits ("%.*Lg"); a failed print
// ends the program with the system's error text.
void rel_time_write(rel_time time, FILE *f);

// Reads one value ("%Lg"); anything but exactly one value read ends the
// program with a message.
rel_time rel_time_read(FILE *f);
