// A child process of the tests with its standard output read line by line,
// so that a test can wait for "ready" before it signals or kills the child.
#pragma once

#include <string>
#include <vector>

struct Child {
  int pid = -1;
  int out_fd = -1;
  std::string pending;
};

// Starts `program` with `args`; the environment variables in `env`
// ("NAME=value") are added.
Child child_start(const std::string &program, const std::vector<std::string> &args,
                  const std::vector<std::string> &env = {});
// The next line of the child's output (without the newline), or "" at the
// end or after `timeout_ms`.
std::string child_read_line(Child &c, int timeout_ms = 5000);
// Everything the child still writes, until it closes its output.
std::string child_read_rest(Child &c, int timeout_ms = 5000);
// Waits for the child; returns its exit status, or 128 + signal.
int child_wait(Child &c);
