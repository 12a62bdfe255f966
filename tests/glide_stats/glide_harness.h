// Running glide_stats on a stream of doubles and reading its output back,
// the library run directly for comparison, and refused command lines;
// shared by the glide_stats test folders.
#pragma once

#include "stepper.h"
#include "testsupport.h"

namespace glide_harness {

using testsupport::ProcResult;
using Args = std::vector<std::string>;

// A one-sequence FV_DOUBLE stream of x, dim values per vector.
inline std::string stream_of(const std::vector<double> &x, int dim = 1) {
  std::string text = "seq name=s type=double\n";
  char buf[64];
  for (size_t i = 0; i < x.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%.17g%s", x[i], (i + 1) % dim ? " " : "\n");
    text += buf;
  }
  return testsupport::fv_from_text(text);
}

inline ProcResult glide(const Args &args, const std::vector<double> &x, int dim = 1,
                        const testsupport::RunOptions &opts = {}) {
  return testsupport::run(testsupport::bin_path("glide_stats"), args, stream_of(x, dim), opts);
}

// Runs glide_stats, expects success, and returns its output features.
inline std::vector<double> run_ok(const Args &args, const std::vector<double> &x, int dim = 1,
                                  std::string *err = nullptr) {
  const ProcResult r = glide(args, x, dim);
  EXPECT_EQ(r.status, 0) << r.err;
  if (err) *err = r.err;
  return testsupport::fv_values(r.out);
}

// The library's values over interleaved samples, one instance (made by
// `make`) per dimension.
inline std::vector<double> library_values(const std::vector<double> &x, int dim,
                                          const std::function<ref::Stepper()> &make) {
  std::vector<ref::Stepper> s;
  for (int d = 0; d < dim; ++d) s.push_back(make());
  std::vector<double> out;
  for (size_t i = 0; i < x.size(); ++i) out.push_back(s[i % dim].step(x[i]));
  return out;
}

inline void expect_same(const std::vector<double> &got, const std::vector<double> &want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(want[i])) {
      ASSERT_TRUE(std::isnan(got[i])) << "at " << i;
    } else {
      ASSERT_DOUBLE_EQ(got[i], want[i]) << "at " << i;
    }
  }
}

// A command line glide_stats refuses at start-up: status 1, `message` on
// standard error, nothing written; run in `cwd` if given.
struct Refusal {
  Args args;
  std::string message;
  int dim = 1;
  std::string cwd = "";
};

inline void expect_refused(const std::vector<Refusal> &cases, const std::vector<double> &x = {1, 2, 3}) {
  for (const Refusal &c : cases) {
    std::string all;
    for (const auto &a : c.args) all += a + " ";
    const std::vector<double> records(x.begin(), x.end() - x.size() % c.dim);
    const ProcResult r = glide(c.args, records, c.dim, {c.cwd, {}, 120});
    EXPECT_EQ(r.status, 1) << all << "\n" << r.err;
    EXPECT_FALSE(r.signaled) << all;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << all << "\nexpected: " << c.message << "\ngot: " << r.err;
    EXPECT_TRUE(r.out.empty()) << all;
  }
}

}  // namespace glide_harness
