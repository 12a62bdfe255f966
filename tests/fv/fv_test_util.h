// Helpers of the fv library tests: streams over byte strings, bytes written
// into a stream, and death-test patterns that match a message literally.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fv.h"
#include "reference.h"

namespace fvtest {

// A temporary stream holding `bytes`, positioned at its start.
inline FILE *stream_of(const std::string &bytes) {
  FILE *f = std::tmpfile();
  if (f == nullptr) return nullptr;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

// Everything written into the temporary stream `f`; the stream is closed.
inline std::string contents(FILE *f) {
  std::fflush(f);
  std::rewind(f);
  std::string out;
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, got);
  std::fclose(f);
  return out;
}

// The bytes that `write` puts into a stream.
template <typename F>
std::string written(F write) {
  FILE *f = std::tmpfile();
  write(f);
  return contents(f);
}

using ref::re_quote;
const auto lit = re_quote;  // a pattern that matches its text literally

}  // namespace fvtest
