// Streams long enough for glide_stats' chunk pipeline, which reads and writes
// on a thread of its own while the records are computed: the same output,
// warnings and errors as with --flush, which keeps to one thread. Run under
// ThreadSanitizer too.
#include "testsupport.h"

namespace {

using testsupport::fv_from_text;

// A one-dimensional sequence of n random values of type T, with NaN and
// infinity at a few places.
template <typename T>
std::string sequence(size_t n, const char *type, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<T> d(1, 3);
  std::vector<T> v(n);
  for (T &x : v) x = d(gen);
  for (size_t k = 1; k < 4; ++k) v[n * k / 4] = k == 2 ? INFINITY : NAN;
  return fv_from_text("seq dim=1 type=" + std::string(type) + " n_expected=" + std::to_string(n) + "\n") +
         std::string(reinterpret_cast<const char *>(v.data()), n * sizeof(T));
}

TEST(GlideStatsPipeline, SameStreamAsOneThreadAndErrorsInOrder) {
  const std::string in = sequence<float>(600001, "float", 1) + fv_from_text("seq type=float\n1\n2\n") +
                         sequence<double>(300001, "double", 2);
  const std::string glide = testsupport::bin_path("glide_stats");
  for (const std::string &input : {in, in.substr(0, in.size() - 3), in.substr(0, 2500003)}) {
    const auto piped = testsupport::run(glide, {"-f", "stddev", "-w", "1000"}, input);
    const auto one = testsupport::run(glide, {"-f", "stddev", "-w", "1000", "--flush=2000000000"}, input);
    EXPECT_EQ(piped.status, one.status);
    EXPECT_EQ(piped.err, one.err);
    EXPECT_GT(one.out.size(), 2400000u);
    EXPECT_TRUE(piped.out == one.out) << piped.out.size() << " " << one.out.size();
  }
  const auto full = testsupport::run("/bin/sh", {"-c", "exec \"$0\" -f mean -w 2 > /dev/full", glide}, in);
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("fv_write: No space left on device\n"), std::string::npos) << full.err;
}

}  // namespace
