// A real classifier as the client of vecpick and vecshow: a synthetic
// feature set is split by sequence into training and test sets, exported in
// the svm_light format and handed to libsvm's svm-train and svm-predict.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "streams.h"
#include "testsupport.h"

using namespace vp;

namespace {

std::string find_program(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

const char *kNeeds = "needs bin/vecshow and libsvm's svm-train and svm-predict (Debian package libsvm-tools)";

struct Tools {
  std::string train, predict;
};

// Skips the test (returns false) when a program of the pipeline is missing.
bool tools_present(Tools *tools) {
  if (access(testsupport::bin_path("vecshow").c_str(), X_OK) != 0) return false;
  tools->train = find_program("svm-train");
  tools->predict = find_program("svm-predict");
  return !tools->train.empty() && !tools->predict.empty();
}

size_t count_lines(const std::string &text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

// vecpick with `args` on `stream`, then vecshow with `export_option`.
std::string export_selection(const std::string &stream, const std::vector<std::string> &args,
                             const std::string &export_option, size_t *vectors) {
  auto picked = testsupport::run(testsupport::bin_path("vecpick"), args, stream);
  EXPECT_EQ(picked.status, 0) << picked.err;
  size_t n = 0;
  for (const auto &s : decode(picked.out)) n += s.v.size();
  *vectors = n;
  auto shown = testsupport::run(testsupport::bin_path("vecshow"), {export_option}, picked.out);
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(count_lines(shown.out), n) << "one line per selected vector";
  return shown.out;
}

double number_after(const std::string &text, const std::string &key) {
  size_t p = text.find(key);
  if (p == std::string::npos) return NAN;
  return std::atof(text.c_str() + p + key.size());
}

}  // namespace

TEST(VecpickSvmClient, ClassificationBySequence) {
  Tools tools;
  if (!tools_present(&tools)) GTEST_SKIP() << kNeeds;
  // Six sequences ("subjects") of two Gaussian classes in three features;
  // the third feature is noise.
  std::mt19937 rng(42);
  std::normal_distribution<double> noise(0.0, 0.6);
  std::vector<Seq> seqs;
  for (int s = 0; s < 6; s++) {
    Seq q;
    q.name = "subject" + std::to_string(s);
    q.type = s % 2 == 0 ? T_FLOAT : T_DOUBLE;
    q.dim = 3;
    q.labelling = L_CLASS;
    for (int i = 0; i < 50; i++) {
      Vec v;
      v.cls = std::uniform_int_distribution<int>(0, 1)(rng);
      double centre = v.cls == 0 ? 1.0 : -1.0;
      // Values that survive float storage exactly keep both types alike.
      auto f = [](double x) { return static_cast<double>(static_cast<float>(x)); };
      v.x = {f(centre + noise(rng)), f(centre + noise(rng)), f(noise(rng))};
      q.v.push_back(v);
    }
    seqs.push_back(q);
  }
  std::string stream = encode(seqs);
  testsupport::TempDir dir;
  size_t n_train = 0, n_test = 0;
  std::string train = export_selection(stream, {"--not-sequences=4-5"}, "--svm_light", &n_train);
  std::string test = export_selection(stream, {"-s", "4-5"}, "--svm_light", &n_test);
  EXPECT_EQ(n_train, 200u);
  EXPECT_EQ(n_test, 100u);
  // Class 0 is +1, class 1 is -1; indices count from 1.
  std::istringstream lines(train);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_TRUE(line.rfind("+1 1:", 0) == 0 || line.rfind("-1 1:", 0) == 0) << line;
    EXPECT_NE(line.find(" 3:"), std::string::npos) << line;
  }
  testsupport::write_file(dir.file("train.txt"), train);
  testsupport::write_file(dir.file("test.txt"), test);

  auto trained = testsupport::run(tools.train, {"-q", dir.file("train.txt"), dir.file("model")});
  ASSERT_EQ(trained.status, 0) << trained.out << trained.err;
  std::string model = testsupport::read_file(dir.file("model"));
  EXPECT_NE(model.find("nr_class 2"), std::string::npos) << model.substr(0, 300);
  EXPECT_TRUE(model.find("label 1 -1\n") != std::string::npos || model.find("label -1 1\n") != std::string::npos)
      << model.substr(0, 300);
  auto predicted = testsupport::run(tools.predict, {dir.file("test.txt"), dir.file("model"), dir.file("out")});
  ASSERT_EQ(predicted.status, 0) << predicted.out << predicted.err;
  EXPECT_EQ(count_lines(testsupport::read_file(dir.file("out"))), n_test);
  double accuracy = number_after(predicted.out, "Accuracy = ");
  EXPECT_GE(accuracy, 90.0) << predicted.out;
  EXPECT_NE(predicted.out.find("/100) (classification)"), std::string::npos) << predicted.out;
}

TEST(VecpickSvmClient, RegressionBySequence) {
  Tools tools;
  if (!tools_present(&tools)) GTEST_SKIP() << kNeeds;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.02);
  for (const char *mode : {"--svm_light_regression_last", "--svm_light_regression_first"}) {
    bool target_last = std::string(mode) == "--svm_light_regression_last";
    std::vector<Seq> seqs;
    for (int s = 0; s < 5; s++) {
      Seq q;
      q.name = "run" + std::to_string(s);
      q.type = T_DOUBLE;
      q.dim = 3;
      q.labelling = s % 2 == 0 ? L_NONE : L_CLASS;
      for (int i = 0; i < 60; i++) {
        double a = uniform(rng), b = uniform(rng);
        double y = 0.8 * a - 0.5 * b + 0.1 + noise(rng);
        Vec v;
        v.x = target_last ? std::vector<double>{a, b, y} : std::vector<double>{y, a, b};
        q.v.push_back(v);
      }
      seqs.push_back(q);
    }
    std::string stream = encode(seqs);
    testsupport::TempDir dir;
    size_t n_train = 0, n_test = 0;
    testsupport::write_file(dir.file("train.txt"), export_selection(stream, {"-S", "3-4"}, mode, &n_train));
    testsupport::write_file(dir.file("test.txt"), export_selection(stream, {"--only-sequences=3-4"}, mode, &n_test));
    EXPECT_EQ(n_train, 180u);
    EXPECT_EQ(n_test, 120u);
    auto trained = testsupport::run(tools.train, {"-q", "-s", "3", "-t", "0", "-p", "0.01",
                                                  dir.file("train.txt"), dir.file("model")});
    ASSERT_EQ(trained.status, 0) << trained.out << trained.err;
    EXPECT_NE(testsupport::read_file(dir.file("model")).find("svm_type epsilon_svr"), std::string::npos);
    auto predicted = testsupport::run(tools.predict, {dir.file("test.txt"), dir.file("model"), dir.file("out")});
    ASSERT_EQ(predicted.status, 0) << predicted.out << predicted.err;
    double mse = number_after(predicted.out, "Mean squared error = ");
    double r2 = number_after(predicted.out, "Squared correlation coefficient = ");
    EXPECT_LT(mse, 0.01) << mode << "\n" << predicted.out;
    EXPECT_GT(r2, 0.97) << mode << "\n" << predicted.out;
  }
}
