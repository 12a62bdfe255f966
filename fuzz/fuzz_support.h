// What every fuzz target shares: the libraries end the program with exit()
// on bad input, as they should in the programs. Here the link step wraps
// exit (-Wl,--wrap=exit), and the wrapper throws library_exit, which run()
// catches: the input is then done, and the fuzzer goes on in the same
// process with its coverage. Unwinding runs the destructors; the blocks and
// streams that the C-style readers had begun are released afterwards
// (exit_wrapper.cpp), as the end of the program would release them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzz {

struct library_exit {
  int status;
};

// True while run() executes a body: only then does exit() throw. The fuzzer
// itself (linked with the same wrapper) exits for real.
inline bool in_body = false;

// Releases what the body still held when it exited (exit_wrapper.cpp).
void release_abandoned(bool exited);

// Runs body(), treating an exit() of the library as the regular end of the
// input.
template <typename F>
void run(F body) {
  in_body = true;
  bool exited = false;
  try {
    body();
  } catch (const library_exit &) {
    exited = true;
  }
  in_body = false;
  release_abandoned(exited);
}

// The input as a read-only stream (null for an empty input, which fmemopen
// refuses: the caller then feeds an empty stream of its own).
inline FILE *open_input(const uint8_t *data, size_t size) {
  static const char nothing = 0;
  return size == 0 ? fmemopen(const_cast<char *>(&nothing), 1, "r")
                   : fmemopen(const_cast<uint8_t *>(data), size, "rb");
}

}  // namespace fuzz
