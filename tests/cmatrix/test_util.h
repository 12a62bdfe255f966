// Helpers of the cmatrix tests: exact-message matching for death tests and
// in-memory streams.
#pragma once

#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "reference.h"

using ref::re_quote;

// Everything written to a temporary stream by `write`.
template <typename F>
std::string capture_stream(F write) {
  FILE *f = std::tmpfile();
  EXPECT_NE(f, nullptr);
  write(f);
  std::fflush(f);
  long size = std::ftell(f);
  std::rewind(f);
  std::string bytes((size_t)size, '\0');
  size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
  EXPECT_EQ(got, bytes.size());
  std::fclose(f);
  return bytes;
}

// A stream for reading `bytes`; closed by the caller.
inline FILE *stream_of(const std::string &bytes) {
  FILE *f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

inline double random_value(std::mt19937 &rng) {
  return std::uniform_real_distribution<double>(-10, 10)(rng);
}
