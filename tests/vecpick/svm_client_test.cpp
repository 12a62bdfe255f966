// A real regression as the client of vecpick and vecshow: synthetic feature
// sets are split by sequence into training and test sets, exported in the
// svm_light regression formats and handed to libsvm's svm-train and
// svm-predict (the README's walk-through, run by the guide's tests, does the
// same for classification).

#include <unistd.h>

#include "fvstreams.h"
#include "testsupport.h"

using namespace vp;
using testsupport::bin_path;
using testsupport::run;

namespace {

double number_after(const std::string &text, const std::string &key) {
  size_t p = text.find(key);
  return p == std::string::npos ? NAN : std::atof(text.c_str() + p + key.size());
}

// vecpick with `pick` on `stream`, then vecshow with `mode`, into `file`;
// returns the number of vectors selected.
size_t export_selection(const std::string &stream, const std::vector<std::string> &pick, const std::string &mode,
                        const std::string &file) {
  auto picked = run(bin_path("vecpick"), pick, stream);
  EXPECT_EQ(picked.status, 0) << picked.err;
  size_t n = 0;
  for (const auto &s : decode(picked.out)) n += s.v.size();
  auto shown = run(bin_path("vecshow"), {mode}, picked.out);
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(testsupport::count(shown.out, "\n"), n) << "one line per selected vector";
  testsupport::write_file(file, shown.out);
  return n;
}

// Sequences of 3-dimensional vectors whose last or first feature is a
// linear target of the other two, with and without class numbers.
std::vector<Seq> feature_set(bool target_last, std::mt19937 &rng) {
  std::normal_distribution<double> noise(0.0, 0.02);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<Seq> seqs;
  for (int s = 0; s < 5; s++) {
    Seq q;
    q.name = "run" + std::to_string(s);
    q.type = T_DOUBLE;
    q.dim = 3;
    q.labelling = s % 2 ? L_CLASS : L_NONE;
    for (int i = 0; i < 60; i++) {
      const double a = uniform(rng), b = uniform(rng), y = 0.8 * a - 0.5 * b + 0.1 + noise(rng);
      q.v.push_back(plain(target_last ? std::vector<double>{a, b, y} : std::vector<double>{y, a, b}));
    }
    seqs.push_back(q);
  }
  return seqs;
}

}  // namespace

TEST(VecpickSvmClient, RegressionBySequence) {
  if (access(bin_path("vecshow").c_str(), X_OK) != 0 || access("/usr/bin/svm-train", X_OK) != 0 ||
      access("/usr/bin/svm-predict", X_OK) != 0)
    GTEST_SKIP() << "needs bin/vecshow and libsvm's svm-train and svm-predict (Debian package libsvm-tools)";
  std::mt19937 rng(5);
  for (const char *mode : {"--svm_light_regression_last", "--svm_light_regression_first"}) {
    SCOPED_TRACE(mode);
    const std::string stream = encode(feature_set(std::string(mode) == "--svm_light_regression_last", rng));
    testsupport::TempDir dir;
    EXPECT_EQ(export_selection(stream, {"-S", "3-4"}, mode, dir.file("train.txt")), 180u);
    EXPECT_EQ(export_selection(stream, {"--only-sequences=3-4"}, mode, dir.file("test.txt")), 120u);
    auto trained = run("/usr/bin/svm-train", {"-q", "-s", "3", "-t", "0", "-p", "0.01", dir.file("train.txt"),
                                              dir.file("model")});
    ASSERT_EQ(trained.status, 0) << trained.out << trained.err;
    EXPECT_NE(testsupport::read_file(dir.file("model")).find("svm_type epsilon_svr"), std::string::npos);
    auto predicted = run("/usr/bin/svm-predict", {dir.file("test.txt"), dir.file("model"), dir.file("out")});
    ASSERT_EQ(predicted.status, 0) << predicted.out << predicted.err;
    EXPECT_EQ(testsupport::count(testsupport::read_file(dir.file("out")), "\n"), 120u);
    EXPECT_LT(number_after(predicted.out, "Mean squared error = "), 0.01) << predicted.out;
    EXPECT_GT(number_after(predicted.out, "Squared correlation coefficient = "), 0.97) << predicted.out;
  }
}
