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
#include <type_traits>

#include "fv.h"

extern char **environ;

namespace testsupport {

std::string bin_path(const std::string &name) {
  return std::string(PROJECT_BIN_DIR) + "/" + name;
}

namespace {

// argv and envp for execve: the program and its arguments, and environ with
// `env` added or overriding.
struct CommandLine {
  std::vector<std::string> strings;
  std::vector<char *> argv, envp;
  CommandLine(const std::string &program, const std::vector<std::string> &args,
              const std::map<std::string, std::string> &env) {
    strings.push_back(program);
    strings.insert(strings.end(), args.begin(), args.end());
    const size_t n_args = strings.size();
    for (char **e = environ; *e; ++e) {
      std::string entry = *e;
      if (!env.count(entry.substr(0, entry.find('=')))) strings.push_back(entry);
    }
    for (const auto &[k, v] : env) strings.push_back(k + "=" + v);
    for (size_t i = 0; i < strings.size(); ++i)
      (i < n_args ? argv : envp).push_back(strings[i].data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
  }
};

// In the child: standard streams from `fds`, default signal dispositions and
// an empty mask whatever the test process has set up, then the program.
[[noreturn]] void exec_child(const CommandLine &cl, const int fds[3], const std::string &cwd) {
  for (int i = 0; i < 3; ++i) dup2(fds[i], i);
  for (int i = 0; i < 3; ++i)
    if (fds[i] > 2) close(fds[i]);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM}) signal(sig, SIG_DFL);
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
  execve(cl.argv[0], cl.argv.data(), cl.envp.data());
  fprintf(stderr, "execve %s: %s\n", cl.argv[0], strerror(errno));
  _exit(127);
}

}  // namespace

ProcResult run(const std::string &program, const std::vector<std::string> &args, const std::string &input,
               const RunOptions &opts) {
  Background child(program, args, opts, true);
  child.write(input, opts.timeout_seconds);
  child.close_input();
  ProcResult result;
  result.status = child.wait(opts.timeout_seconds);
  result.signaled = child.signaled() || result.status < 0;
  if (result.status < 0) result.status = 128 + SIGKILL;  // killed after the time-out
  result.out = child.out();
  result.err = child.err();
  result.peak_rss_kb = child.peak_rss_kb();
  return result;
}

namespace {

// The bytes of `v`'s representation, least significant first (through the unsigned integer of its size, whatever the
// machine's byte order).
template <typename T>
std::string le_bytes(T v) {
  std::conditional_t<sizeof v == 2, uint16_t, std::conditional_t<sizeof v == 4, uint32_t, uint64_t>> u;
  static_assert(sizeof u == sizeof v);
  std::memcpy(&u, &v, sizeof v);
  std::string s(sizeof v, '\0');
  for (size_t i = 0; i < sizeof v; ++i) s[i] = (char)((u >> (8 * i)) & 0xff);
  return s;
}

}  // namespace

std::string le16(int16_t v) { return le_bytes(v); }
std::string le32(int32_t v) { return le_bytes(v); }
std::string le_float(float v) { return le_bytes(v); }
std::string le_double(double v) { return le_bytes(v); }

namespace {

[[noreturn]] void bad(const std::string &what, int line) {
  throw std::invalid_argument("fv_from_text line " + std::to_string(line) + ": " + what);
}

std::string from_hex(const std::string &hex, int line) {
  if (hex.size() % 2) bad("odd number of hex digits", line);
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    char *end = nullptr;
    const std::string byte = hex.substr(i, 2);
    out.push_back((char)strtol(byte.c_str(), &end, 16));
    if (*end) bad("bad hex digits " + byte, line);
  }
  return out;
}

// A long double item: the machine's 80-bit x87 encoding (exact for every
// double), little endian, followed by two zero padding bytes.
std::string ldouble12(double d) {
  const long double v = d;
  std::string s(12, '\0');
  std::memcpy(s.data(), &v, 10);
  return s;
}

struct SeqText {
  std::string name, seqdata, vectors;  // vectors: the encoded records
  bool has_name = false;
  int type = 0, labelling = 0, adata = 0, dim = -1;
  long n_expected = LONG_MIN, count = 0;
};

// The position of `v` among `names`.
int index_of(const std::vector<std::string> &names, const std::string &v, const std::string &what, int line) {
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == v) return (int)i;
  bad("unknown " + what + " " + v, line);
}

}  // namespace

std::string fv_from_text(const std::string &text) {
  std::vector<SeqText> seqs;
  std::istringstream in(text);
  std::string line;
  for (int lineno = 1; std::getline(in, line); ++lineno) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::vector<std::string> tok;
    for (std::string w; words >> w;) tok.push_back(w);
    if (tok.empty()) continue;
    if (tok[0] == "seq") {
      SeqText s;
      for (size_t i = 1; i < tok.size(); ++i) {
        const auto eq = tok[i].find('=');
        if (eq == std::string::npos) bad("expected key=value: " + tok[i], lineno);
        const std::string k = tok[i].substr(0, eq), v = tok[i].substr(eq + 1);
        if (k == "name") {
          s.name = v;
          s.has_name = true;
        } else if (k == "type") s.type = index_of({"float", "double", "ldouble", "int32"}, v, "type", lineno);
        else if (k == "labelling") s.labelling = index_of({"none", "class", "label"}, v, "labelling", lineno);
        else if (k == "adata") s.adata = std::stoi(v);
        else if (k == "seqdata") s.seqdata = from_hex(v, lineno);
        else if (k == "n_expected") s.n_expected = std::stol(v);
        else if (k == "dim") s.dim = std::stoi(v);
        else bad("unknown key " + k, lineno);
      }
      seqs.push_back(s);
      continue;
    }
    if (seqs.empty()) bad("vector line before the first seq line", lineno);
    SeqText &s = seqs.back();
    std::string features, label, adata;
    int count = 0;
    bool have_label = false, have_class = false, have_adata = false;
    int32_t cls = 0;
    for (const auto &t : tok) {
      if (t.rfind("class=", 0) == 0) {
        cls = (int32_t)std::stol(t.substr(6));
        have_class = true;
      } else if (t.rfind("label=", 0) == 0 || t == "nolabel") {
        label = t == "nolabel" ? "" : t.substr(6);
        have_label = true;
      } else if (t.rfind("adata=", 0) == 0) {
        adata = from_hex(t.substr(6), lineno);
        have_adata = true;
      } else {
        ++count;
        char *end = nullptr;
        const long long i = s.type == 3 ? strtoll(t.c_str(), &end, 10) : 0;
        const double v = s.type == 3 ? 0 : strtod(t.c_str(), &end);
        if (*end) bad((s.type == 3 ? "bad int32 " : "bad number ") + t, lineno);
        features += s.type == 3   ? le32((int32_t)i)
                    : s.type == 0 ? le_float((float)v)
                    : s.type == 1 ? le_double(v)
                                  : ldouble12(v);
      }
    }
    if (s.dim < 0) s.dim = count;
    else if (s.dim != count) bad("dimension differs from the sequence's", lineno);
    if (s.labelling == 2 && !have_label) bad("label= or nolabel needed", lineno);
    if (s.labelling == 1 && !have_class) bad("class= needed", lineno);
    if (s.adata > 0 && (!have_adata || (int)adata.size() != s.adata))
      bad("adata= of " + std::to_string(s.adata) + " bytes needed", lineno);
    const std::string labelling = s.labelling == 2   ? le16((int16_t)label.size()) + label
                                  : s.labelling == 1 ? le32(cls)
                                                     : "";
    s.vectors += features + labelling + (s.adata > 0 ? adata : "");
    ++s.count;
  }
  static const int sizes[] = {4, 8, 12, 4};
  std::string out;
  for (const auto &s : seqs) {
    out += le16(23) + "feature vector sequence" + le32(10000) + le32(10000);
    out += le16(s.has_name ? (int16_t)s.name.size() : 0) + (s.has_name ? s.name : "");
    out += le32((int32_t)(s.n_expected == LONG_MIN ? s.count : s.n_expected));
    out += le32((int32_t)s.seqdata.size()) + s.seqdata + le32(s.dim < 0 ? 0 : s.dim);
    out += std::string{(char)sizes[s.type], (char)s.type, (char)(s.labelling == 2),
                       (char)(s.labelling == 1)};
    out += le32(s.adata) + s.vectors;
  }
  return out;
}

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

InFolder::InFolder(const std::string &folder) : old_(std::filesystem::current_path()) {
  std::filesystem::current_path(folder);
}

InFolder::~InFolder() {
  std::error_code ec;
  std::filesystem::current_path(old_, ec);
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

FILE *stream_of(const std::string &bytes) {
  FILE *f = std::tmpfile();
  if (f == nullptr) throw std::runtime_error("tmpfile: " + std::string(strerror(errno)));
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

std::string contents(FILE *f) {
  std::fflush(f);
  std::rewind(f);
  std::string out;
  char buf[4096];
  for (size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, got);
  std::fclose(f);
  return out;
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

size_t count(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

std::vector<FvSeq> fv_decode(const std::string &bytes) {
  std::vector<FvSeq> out;
  if (bytes.empty()) return out;
  FILE *f = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
  while (fv_sequence *s = fv_sequence_create_from_file_one(f)) {
    FvSeq q;
    q.name = s->name ? s->name : "";
    q.n_expected = s->n_expected;
    if (s->seq_data_len > 0) q.seqdata.assign(static_cast<const char *>(s->seq_data), s->seq_data_len);
    q.datatype = s->info->datatype;
    q.labelling = s->info->labelling;
    q.dim = s->info->dim;
    for (int32_t i = 0; i < s->n; ++i) {
      const fv *v = s->vectors[i];
      q.rows.emplace_back(q.dim);
      fv_to_double(s->info, v, q.rows.back().data());
      q.labels.push_back(v->label ? v->label : "<null>");
      q.classes.push_back(v->class_number);
      q.adata.emplace_back(static_cast<const char *>(v->adata), s->info->adata_len);
    }
    out.push_back(std::move(q));
    fv_sequence_delete(s);
  }
  fclose(f);
  return out;
}

std::vector<double> fv_values(const std::string &bytes) {
  std::vector<double> v;
  for (const FvSeq &s : fv_decode(bytes))
    for (const auto &row : s.rows) v.insert(v.end(), row.begin(), row.end());
  return v;
}

Background::Background(const std::string &program, const std::vector<std::string> &args,
                       const RunOptions &opts, bool input) {
  const CommandLine cl(program, args, opts.env);
  write_file(dir_.file("out"), "");
  write_file(dir_.file("err"), "");
  int p[2] = {-1, -1};
  if (input && pipe(p) != 0) return;
  const int fds[3] = {input ? p[0] : open("/dev/null", O_RDONLY),
                      open(dir_.file("out").c_str(), O_WRONLY), open(dir_.file("err").c_str(), O_WRONLY)};
  pid_ = fork();
  if (pid_ == 0) {
    if (input) close(p[1]);
    exec_child(cl, fds, opts.cwd);
  }
  for (int fd : fds) close(fd);
  in_ = p[1];
  if (in_ >= 0) fcntl(in_, F_SETFL, fcntl(in_, F_GETFL) | O_NONBLOCK);
}

Background::~Background() {
  close_input();
  if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
    kill(pid_, SIGTERM);
    wait(10);
  }
}

bool Background::wait_for(const std::string &text, double timeout, bool in_err) const {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  do {
    if ((in_err ? err() : out()).find(text) != std::string::npos) return true;
    usleep(10000);
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

void Background::write(const std::string &bytes, double timeout) {
  // A program that exits early or never reads must not kill or stop the test.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  for (size_t done = 0; in_ >= 0 && done < bytes.size() && std::chrono::steady_clock::now() < end;) {
    pollfd p = {in_, POLLOUT, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    if (n > 0) done += static_cast<size_t>(n);
  }
  sigaction(SIGPIPE, &old, nullptr);
}

void Background::close_input() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Background::signal(int sig) const {
  if (pid_ > 0) kill(pid_, sig);
}

int Background::wait(double timeout) {
  if (pid_ <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  int status = 0;
  struct rusage usage {};
  while (wait4(pid_, &status, WNOHANG, &usage) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    usleep(5000);
  }
  peak_rss_kb_ = usage.ru_maxrss;
  pid_ = -1;
  signaled_ = WIFSIGNALED(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

SimulatedFrontEnd::SimulatedFrontEnd(const std::string &com, const std::vector<std::string> &options,
                                     const std::string &registry)
    : bg_(bin_path("corvia_sim"), [&] {
        std::vector<std::string> args = options;
        args.push_back(com);
        return args;
      }(), RunOptions{"", {{"CORVIA_REGISTRY_FILE", registry}}, 0}) {
  const std::string prefix = "corvia_sim: " + com + " is ";
  if (!bg_.wait_for("\n")) return;
  const std::string out = bg_.out();
  if (out.rfind(prefix, 0) == 0) device_ = out.substr(prefix.size(), out.find('\n') - prefix.size());
}

}  // namespace testsupport
