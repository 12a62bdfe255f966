#include "testsupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace testsupport {

std::string bin_path(const std::string &name) {
  return std::string(PROJECT_BIN_DIR) + "/" + name;
}

namespace {

void set_nonblocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

ProcResult run(const std::string &program,
               const std::vector<std::string> &args, const std::string &input,
               const RunOptions &opts) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe))
    throw std::runtime_error("pipe: " + std::string(strerror(errno)));

  std::vector<std::string> env_strings;
  for (char **e = environ; *e; ++e) {
    std::string entry = *e;
    std::string key = entry.substr(0, entry.find('='));
    if (!opts.env.count(key)) env_strings.push_back(entry);
  }
  for (const auto &[k, v] : opts.env) env_strings.push_back(k + "=" + v);
  std::vector<char *> envp;
  for (auto &s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork: " + std::string(strerror(errno)));
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1],
                   err_pipe[0], err_pipe[1]})
      close(fd);
    // The child starts with default signal dispositions and an empty mask,
    // whatever the test process has set up.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(127);
    execve(program.c_str(), argv.data(), envp.data());
    fprintf(stderr, "execve %s: %s\n", program.c_str(), strerror(errno));
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  set_nonblocking(in_pipe[1]);
  set_nonblocking(out_pipe[0]);
  set_nonblocking(err_pipe[0]);

  // A program that exits early must not kill the test with SIGPIPE.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);

  ProcResult result;
  size_t written = 0;
  int in_fd = in_pipe[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  bool out_open = true, err_open = true;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds((long)(opts.timeout_seconds * 1000));
  char buf[65536];
  while (out_open || err_open) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3];
    int nfds = 0;
    int out_idx = -1, err_idx = -1, in_idx = -1;
    if (out_open) { fds[nfds] = {out_pipe[0], POLLIN, 0}; out_idx = nfds++; }
    if (err_open) { fds[nfds] = {err_pipe[0], POLLIN, 0}; err_idx = nfds++; }
    if (in_fd >= 0) { fds[nfds] = {in_fd, POLLOUT, 0}; in_idx = nfds++; }
    int ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                 deadline - now).count();
    int r = poll(fds, nfds, ms > 1000 ? 1000 : ms);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    auto drain = [&](int idx, int fd, std::string &dest, bool &open) {
      if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
      for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) { dest.append(buf, n); continue; }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) open = false;
        break;
      }
    };
    drain(out_idx, out_pipe[0], result.out, out_open);
    drain(err_idx, err_pipe[0], result.err, err_open);
    if (in_idx >= 0 && (fds[in_idx].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) written += n;
      if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
          written == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.peak_rss_kb = usage.ru_maxrss;
  sigaction(SIGPIPE, &old, nullptr);
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signaled = true;
    result.status = 128 + WTERMSIG(status);
  }
  return result;
}

// ---------------------------------------------------------------------------
// Little-endian helpers

std::string le16(int16_t v) {
  uint16_t u = (uint16_t)v;
  return std::string{(char)(u & 0xff), (char)(u >> 8)};
}

std::string le32(int32_t v) {
  uint32_t u = (uint32_t)v;
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = (char)((u >> (8 * i)) & 0xff);
  return s;
}

std::string le_float(float v) {
  uint32_t u;
  std::memcpy(&u, &v, 4);
  return le32((int32_t)u);
}

std::string le_double(double v) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = (char)((u >> (8 * i)) & 0xff);
  return s;
}

// ---------------------------------------------------------------------------
// .fv streams from text

namespace {

[[noreturn]] void bad(const std::string &what, int line) {
  throw std::invalid_argument("fv_from_text line " + std::to_string(line) +
                              ": " + what);
}

std::string from_hex(const std::string &hex, int line) {
  if (hex.size() % 2) bad("odd number of hex digits", line);
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char *end = nullptr;
    std::string byte = hex.substr(i, 2);
    long v = strtol(byte.c_str(), &end, 16);
    if (*end) bad("bad hex digits " + byte, line);
    out.push_back((char)v);
  }
  return out;
}

// The 80-bit x87 encoding of a double (exact: every double fits), little
// endian, followed by two padding bytes.
std::string ldouble12(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  uint16_t sign = (uint16_t)((bits >> 63) << 15);
  int exp = (int)((bits >> 52) & 0x7ff);
  uint64_t frac = bits & ((1ull << 52) - 1);
  uint64_t mant;
  uint16_t e80;
  if (exp == 0x7ff) {  // inf / nan
    e80 = 0x7fff;
    mant = (1ull << 63) | (frac << 11);
  } else if (exp == 0 && frac == 0) {
    e80 = 0;
    mant = 0;
  } else if (exp == 0) {  // subnormal double: normalise
    int shift = 0;
    while (!(frac & (1ull << 52))) {
      frac <<= 1;
      ++shift;
    }
    e80 = (uint16_t)(1 - 1023 - shift + 16383);
    mant = frac << 11;
  } else {
    e80 = (uint16_t)(exp - 1023 + 16383);
    mant = (1ull << 63) | (frac << 11);
  }
  std::string s(12, '\0');
  for (int i = 0; i < 8; ++i) s[i] = (char)((mant >> (8 * i)) & 0xff);
  uint16_t se = sign | e80;
  s[8] = (char)(se & 0xff);
  s[9] = (char)(se >> 8);
  return s;
}

struct SeqText {
  std::string name;
  bool has_name = false;
  int type = 0;
  int labelling = 0;
  int adata = 0;
  std::string seqdata;
  long n_expected = LONG_MIN;
  int itemsize = -1;
  std::vector<std::string> vectors;  // encoded records
  int dim = -1;
};

std::string encode_header(const SeqText &s) {
  static const int sizes[] = {4, 8, 12, 4};
  std::string h = le16(23) + "feature vector sequence" + le32(10000) +
                  le32(10000);
  h += le16(s.has_name ? (int16_t)s.name.size() : 0);
  if (s.has_name) h += s.name;
  long n = s.n_expected == LONG_MIN ? (long)s.vectors.size() : s.n_expected;
  h += le32((int32_t)n);
  h += le32((int32_t)s.seqdata.size()) + s.seqdata;
  h += le32(s.dim < 0 ? 0 : s.dim);
  h.push_back((char)(s.itemsize >= 0 ? s.itemsize : sizes[s.type]));
  h.push_back((char)s.type);
  h.push_back((char)(s.labelling == 2));
  h.push_back((char)(s.labelling == 1));
  h += le32(s.adata);
  return h;
}

}  // namespace

std::string fv_from_text(const std::string &text) {
  std::vector<SeqText> seqs;
  std::istringstream in(text);
  std::string line;
  int lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    auto hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::vector<std::string> tok;
    for (std::string w; words >> w;) tok.push_back(w);
    if (tok.empty()) continue;
    if (tok[0] == "seq") {
      SeqText s;
      for (size_t i = 1; i < tok.size(); ++i) {
        auto eq = tok[i].find('=');
        if (eq == std::string::npos) bad("expected key=value: " + tok[i], lineno);
        std::string k = tok[i].substr(0, eq), v = tok[i].substr(eq + 1);
        if (k == "name") {
          s.name = v;
          s.has_name = true;
        } else if (k == "type") {
          static const char *names[] = {"float", "double", "ldouble", "int32"};
          s.type = -1;
          for (int t = 0; t < 4; ++t)
            if (v == names[t]) s.type = t;
          if (s.type < 0) bad("unknown type " + v, lineno);
        } else if (k == "labelling") {
          if (v == "none") s.labelling = 0;
          else if (v == "class") s.labelling = 1;
          else if (v == "label") s.labelling = 2;
          else bad("unknown labelling " + v, lineno);
        } else if (k == "adata") {
          s.adata = std::stoi(v);
        } else if (k == "seqdata") {
          s.seqdata = from_hex(v, lineno);
        } else if (k == "n_expected") {
          s.n_expected = std::stol(v);
        } else if (k == "itemsize") {
          s.itemsize = std::stoi(v);
        } else if (k == "dim") {
          s.dim = std::stoi(v);
        } else {
          bad("unknown key " + k, lineno);
        }
      }
      seqs.push_back(s);
      continue;
    }
    if (seqs.empty()) bad("vector line before the first seq line", lineno);
    SeqText &s = seqs.back();
    std::string features, extras;
    int count = 0;
    bool have_label = false, have_class = false, have_adata = false;
    std::string label, adata;
    int32_t cls = 0;
    for (const auto &t : tok) {
      if (t.rfind("class=", 0) == 0) {
        cls = (int32_t)std::stol(t.substr(6));
        have_class = true;
      } else if (t.rfind("label=", 0) == 0) {
        label = t.substr(6);
        have_label = true;
      } else if (t == "nolabel") {
        have_label = true;
        label.clear();
      } else if (t.rfind("adata=", 0) == 0) {
        adata = from_hex(t.substr(6), lineno);
        have_adata = true;
      } else {
        ++count;
        if (s.type == 3) {
          char *end = nullptr;
          long long v = strtoll(t.c_str(), &end, 10);
          if (*end) bad("bad int32 " + t, lineno);
          features += le32((int32_t)v);
        } else {
          char *end = nullptr;
          double v = strtod(t.c_str(), &end);
          if (*end) bad("bad number " + t, lineno);
          if (s.type == 0) features += le_float((float)v);
          else if (s.type == 1) features += le_double(v);
          else features += ldouble12(v);
        }
      }
    }
    if (s.dim < 0) s.dim = count;
    else if (s.dim != count) bad("dimension differs from the sequence's", lineno);
    if (s.labelling == 2) {
      if (!have_label) bad("label= or nolabel needed", lineno);
      extras += le16((int16_t)label.size()) + label;
    } else if (s.labelling == 1) {
      if (!have_class) bad("class= needed", lineno);
      extras += le32(cls);
    }
    if (s.adata > 0) {
      if (!have_adata || (int)adata.size() != s.adata)
        bad("adata= of " + std::to_string(s.adata) + " bytes needed", lineno);
      extras += adata;
    }
    s.vectors.push_back(features + extras);
  }
  std::string out;
  for (const auto &s : seqs) {
    out += encode_header(s);
    for (const auto &v : s.vectors) out += v;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Files and folders

TempDir::TempDir() {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / "corvia-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data()))
    throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string shared_data_dir() {
  if (const char *env = std::getenv("CORVIA_SHARED_DATA"))
    return std::filesystem::is_directory(env) ? env : "";
  std::filesystem::path p =
      std::filesystem::path(PROJECT_SOURCE_DIR) / ".." / "shared" / "data";
  std::error_code ec;
  if (std::filesystem::is_directory(p, ec))
    return std::filesystem::canonical(p, ec).string();
  return "";
}

SimulatedFrontEnd::SimulatedFrontEnd(const std::string &com,
                                     const std::vector<std::string> &options,
                                     const std::string &registry) {
  int p[2];
  if (pipe(p) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(p[1], 1);
    close(p[0]);
    setenv("CORVIA_REGISTRY_FILE", registry.c_str(), 1);
    std::string prog = bin_path("corvia_sim");
    std::vector<std::string> args = options;
    args.push_back(com);
    std::vector<char *> argv = {prog.data()};
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(prog.c_str(), argv.data());
    _exit(127);
  }
  close(p[1]);
  char ch;
  while (read(p[0], &ch, 1) == 1 && ch != '\n') line_ += ch;
  out_ = p[0];
}

SimulatedFrontEnd::~SimulatedFrontEnd() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) close(out_);
}

}  // namespace testsupport
