#include "child.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char **environ;

Child child_start(const std::string &program, const std::vector<std::string> &args,
                  const std::vector<std::string> &env) {
  Child c;
  int fds[2];
  if (pipe(fds) != 0) return c;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  // The child starts with default signal handling, whatever the test has.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_strings;
  for (char **e = environ; *e; ++e) env_strings.push_back(*e);
  for (const std::string &e : env) env_strings.push_back(e);
  std::vector<char *> envp;
  for (std::string &e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data()) == 0)
    c.pid = pid;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  c.out_fd = fds[0];
  return c;
}

static bool fill(Child &c, int timeout_ms) {
  struct pollfd p = {c.out_fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[4096];
  ssize_t n = read(c.out_fd, buf, sizeof buf);
  if (n <= 0) return false;
  c.pending.append(buf, static_cast<size_t>(n));
  return true;
}

std::string child_read_line(Child &c, int timeout_ms) {
  for (;;) {
    size_t nl = c.pending.find('\n');
    if (nl != std::string::npos) {
      std::string line = c.pending.substr(0, nl);
      c.pending.erase(0, nl + 1);
      return line;
    }
    if (!fill(c, timeout_ms)) return "";
  }
}

std::string child_read_rest(Child &c, int timeout_ms) {
  while (fill(c, timeout_ms)) {
  }
  std::string rest = c.pending;
  c.pending.clear();
  return rest;
}

int child_wait(Child &c) {
  int status = 0;
  if (c.out_fd >= 0) close(c.out_fd);
  c.out_fd = -1;
  if (waitpid(c.pid, &status, 0) != c.pid) return -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
