#include "live_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "simamp.h"
#include "win32.h"

extern char **environ;

namespace live {

using testsupport::read_file;

namespace {
double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

Process spawn(const std::string &program, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env, const std::string &cwd,
              const std::string &out_path, const std::string &err_path) {
  Process p;
  p.out_path = out_path;
  p.err_path = err_path;
  std::vector<std::string> argv_s{program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::map<std::string, std::string> vars;
  for (char **e = environ; *e; ++e) {
    const char *eq = strchr(*e, '=');
    if (eq) vars[std::string(*e, (size_t)(eq - *e))] = eq + 1;
  }
  for (const auto &[k, v] : env) vars[k] = v;
  std::vector<std::string> env_s;
  for (const auto &[k, v] : vars) env_s.push_back(k + "=" + v);
  std::vector<char *> argv, envp;
  for (auto &s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto &s : env_s) envp.push_back(s.data());
  envp.push_back(nullptr);
  testsupport::write_file(out_path, "");
  testsupport::write_file(err_path, "");
  p.pid = fork();
  if (p.pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || (!cwd.empty() && chdir(cwd.c_str()) != 0)) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return p;
}

int wait_exit(pid_t pid, double timeout) {
  const auto t0 = std::chrono::steady_clock::now();
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (seconds_since(t0) > timeout) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

bool wait_for_text(const std::string &path, const std::string &text, double timeout) {
  const auto t0 = std::chrono::steady_clock::now();
  while (seconds_since(t0) < timeout) {
    if (read_file(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string private_registry(const testsupport::TempDir &dir, const std::string &free_com) {
  const std::string registry = dir.file("registry.txt");
  setenv("CORVIA_REGISTRY_FILE", registry.c_str(), 1);
  for (int k = 1; k <= 12; k++) {
    const std::string com = "COM" + std::to_string(k);
    if (com != free_com) platform_portmap_set(com.c_str(), dir.file("absent-" + com).c_str());
  }
  return registry;
}

testsupport::RunOptions options_in(const testsupport::TempDir &dir, double timeout) {
  testsupport::RunOptions o;
  o.cwd = dir.path();
  o.env["CORVIA_REGISTRY_FILE"] = dir.file("registry.txt");
  o.timeout_seconds = timeout;
  return o;
}

namespace {
std::vector<std::string> subject_args(const Subject &s) {
  return {"--seed=" + std::to_string(s.seed), "--hr=" + std::to_string(s.hr),
          "--resp-rate=" + std::to_string(s.resp), "--hrv=" + std::to_string(s.hrv),
          "--rsa=" + std::to_string(s.rsa)};
}
}  // namespace

Sim::Sim(const testsupport::TempDir &dir, const std::string &com, const Subject &subject,
         const std::vector<std::string> &extra) {
  std::vector<std::string> args = subject_args(subject);
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(com);
  p_ = spawn(testsupport::bin_path("corvia_sim"), args,
             {{"CORVIA_REGISTRY_FILE", dir.file("registry.txt")}}, dir.path(),
             dir.file("sim-" + com + ".out"), dir.file("sim-" + com + ".err"));
  const std::string prefix = "corvia_sim: " + com + " is ";
  if (!wait_for_text(p_.out_path, "\n", 10)) return;
  const std::string out = read_file(p_.out_path);
  if (out.rfind(prefix, 0) == 0) device = out.substr(prefix.size(), out.find('\n') - prefix.size());
}

Sim::~Sim() {
  if (p_.pid > 0) {
    kill(p_.pid, SIGTERM);
    wait_exit(p_.pid, 10);
  }
}

std::string Sim::err() const { return read_file(p_.err_path); }

Expected expected_signals(const Subject &subject, size_t n) {
  simamp_config cfg;
  simamp_config_init(&cfg);
  cfg.physio.seed = subject.seed;
  cfg.seed = subject.seed;
  cfg.physio.heart_rate = subject.hr;
  cfg.physio.hr_schedule.clear();
  cfg.physio.resp_rate = subject.resp;
  cfg.physio.resp_schedule.clear();
  cfg.physio.hrv = subject.hrv;
  cfg.physio.rsa = subject.rsa;
  simamp_device d;
  simamp_device_init(&d, &cfg, nullptr);
  Expected e;
  const int channels = (int)d.channels.size();
  e.tolerance.fill(0);
  std::vector<int32_t> counts((size_t)channels);
  std::unique_ptr<bool[]> valid(new bool[(size_t)channels]);
  e.values.resize(n);
  for (size_t r = 0; r < n; r++) {
    simamp_device_next_record(&d, channels, counts.data(), valid.get());
    for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++) {
      const simamp_channel &ch = d.channels[(size_t)j + 2];
      const double v = (double)counts[(size_t)j + 2] * ch.gain + ch.offset;
      e.values[r][(size_t)j] = v;
      // The server scales in float: a few units in the last place of the
      // value and of its two terms.
      const double t = 4e-7 * (std::fabs(v) + std::fabs(counts[(size_t)j + 2] * ch.gain) +
                               std::fabs(ch.offset)) + 1e-12;
      e.tolerance[(size_t)j] = std::max(e.tolerance[(size_t)j], t);
    }
  }
  simamp_device_free(&d);
  return e;
}

bool frame_matches(const corvia_data &frame, const Expected &e, size_t record) {
  if (record >= e.values.size()) return false;
  for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++)
    if (!(std::fabs(frame.data[j] - e.values[record][(size_t)j]) <= e.tolerance[(size_t)j]))
      return false;
  return true;
}

std::vector<corvia_data> parse_frames(const std::string &bytes) {
  EXPECT_EQ(bytes.size() % sizeof(corvia_data), 0u);
  std::vector<corvia_data> frames(bytes.size() / sizeof(corvia_data));
  if (!frames.empty()) memcpy(frames.data(), bytes.data(), frames.size() * sizeof(corvia_data));
  return frames;
}

std::vector<long> match_records(const std::vector<corvia_data> &frames, const Expected &e,
                                size_t max_gap) {
  std::vector<long> records;
  size_t next = 0;
  for (const corvia_data &f : frames) {
    long found = -1;
    for (size_t r = next; r <= next + max_gap && r < e.values.size(); r++)
      if (frame_matches(f, e, r)) {
        found = (long)r;
        break;
      }
    records.push_back(found);
    if (found >= 0) next = (size_t)found + 1;
  }
  return records;
}

}  // namespace live
