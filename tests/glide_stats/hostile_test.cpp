// Hostile headers and option values: the programs answer with a message
// and status 1 (or do their work) in bounded time and memory; none of them
// is killed by a signal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "testsupport.h"

using testsupport::fv_from_text;
using testsupport::le32;

namespace {

// A header of `n` float vectors of dimension `dim`, without labels.
std::string header(int32_t n, int32_t dim) {
  return fv_from_text("seq type=float dim=" + std::to_string(dim) +
                      " n_expected=" + std::to_string(n) + "\n");
}

const std::string kEof = "fv_read error: unexpected end of file when reading features";
const std::string kNoMemory = "Cannot allocate memory";
const std::string kEmpty = "vectors announced that hold no data at all; at most 65536";

struct hostile_case {
  std::string program;
  std::vector<std::string> args;
  std::string input;
  std::string message;  // on standard error, with status 1
  bool may_succeed;     // a machine with that much memory may run it
};

TEST(Hostile, BoundedAnswersToHeadersAndOptionValues) {
  const std::string empty = header(INT32_MAX, 0);
  const std::string one8 = fv_from_text("seq type=float\n1 2 3 4 5 6 7 8\n");
  std::vector<hostile_case> cases = {
      {"vecpick", {}, empty, kEmpty, false},
      {"vecshow", {"-a"}, empty, kEmpty, false},
      {"glide_stats", {"-f", "mean", "-w", "3"}, empty, kEmpty, false},
      {"glide_stats", {"-f", "mean", "-w", "3"}, header(5, 2000000), kEof, false},
      {"glide_stats", {"-f", "amplitude", "-w", "3"}, header(5, 33000000), kEof, false},
      {"vecpick", {}, header(5, 2000000), kEof, false},
  };
  for (const char *f : {"mean_triangle", "mean_bell", "derivative_smooth", "sqfall"})
    for (const char *w : {"2147483647", "2147483646"})
      cases.push_back({"glide_stats", {"-f", f, "-w", w}, one8, kNoMemory, true});
  // 2^31 updates take 25 GB that are written at once: only where they
  // cannot be had.
  if (sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE) < (24LL << 30))
    cases.push_back({"glide_stats", {"-f", "max", "-w", "1", "-u", "2147483647"}, one8,
                     "moving_max_params_init: " + kNoMemory, false});
  for (const auto &c : cases) {
    std::string line = c.program;
    for (const auto &a : c.args) line += " " + a;
    SCOPED_TRACE(line);
    testsupport::RunOptions o;
    o.timeout_seconds = 20;
    auto r = testsupport::run(testsupport::bin_path(c.program), c.args, c.input, o);
    EXPECT_FALSE(r.signaled) << r.err;
    if (c.may_succeed && r.status == 0) continue;
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

// Admitted labels are looked up by hashing: a table and a stream of 50,000
// labels each take well under a second (the scan took about 8 s).
TEST(Hostile, LargeLabelTablesCostLinearTime) {
  const int n = 50000;
  testsupport::TempDir dir;
  std::string table = "label_lister\n" + std::to_string(n / 2) + "\n", stream;
  for (int i = 0; i < n; ++i) {
    if (i % 2 == 0) table += "l" + std::to_string(i) + "\n";
    stream += std::to_string(i) + " label=l" + std::to_string(i) + "\n";
  }
  testsupport::write_file(dir.file("t"), table);
  const auto start = std::chrono::steady_clock::now();
  auto r = testsupport::run(testsupport::bin_path("vecpick"), {"--only-labels", dir.file("t")},
                            fv_from_text("seq type=float labelling=label\n" + stream));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(seconds, 4.0);
  // Header (n_expected) of the output: every second vector was kept.
  EXPECT_NE(r.out.find(le32(n / 2)), std::string::npos);
}

}  // namespace
