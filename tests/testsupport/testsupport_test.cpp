// The test helpers are the reference other suites compare against, so they
// are checked here against the machine's own encodings.
#include <gtest/gtest.h>

#include "testsupport.h"

using namespace testsupport;

TEST(FvFromText, HeaderAndRecordLayout) {
  std::string s = fv_from_text(
      "seq name=ab type=double labelling=class adata=1 seqdata=7879\n"
      "1.5 -2 class=7 adata=41\n");
  std::string expect = le16(23) + "feature vector sequence" + le32(10000) +
                       le32(10000) + le16(2) + "ab" + le32(1) + le32(2) +
                       "xy" + le32(2) + std::string{8, 1, 0, 1} + le32(1) +
                       le_double(1.5) + le_double(-2) + le32(7) + "A";
  EXPECT_EQ(s, expect);
}

TEST(FvFromText, LabelsNoLabelAndDefaults) {
  std::string s = fv_from_text("seq labelling=label\n1 label=rest\n2 nolabel\n");
  // unnamed, float, n_expected 2, label flag set
  std::string body = s.substr(2 + 23 + 8);
  EXPECT_EQ(body.substr(0, 2), le16(0));
  EXPECT_EQ(body.substr(2, 4), le32(2));
  EXPECT_EQ(s.substr(s.size() - 2 - 4 - 2 - 4 - 4), le_float(1) + le16(4) + "rest" + le_float(2) + le16(0));
  EXPECT_THROW(fv_from_text("seq labelling=label\n1\n"), std::invalid_argument);
  EXPECT_THROW(fv_from_text("1 2\n"), std::invalid_argument);
}

TEST(Run, CollectsBothStreamsStatusAndInput) {
  ProcResult r = run("/bin/sh", {"-c", "cat; echo oops >&2; exit 3"}, "hello");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "hello");
  EXPECT_EQ(r.err, "oops\n");
  std::string big(1 << 20, 'x');
  r = run("/bin/cat", {}, big);
  EXPECT_EQ(r.out.size(), big.size());
  r = run("/bin/sh", {"-c", "kill -TERM $$"});
  EXPECT_TRUE(r.signaled);
}

TEST(Run, EnvironmentAndFolder) {
  TempDir d;
  RunOptions o;
  o.cwd = d.path();
  o.env["FOO_TEST_VAR"] = "bar";
  ProcResult r = run("/bin/sh", {"-c", "echo $FOO_TEST_VAR; pwd"}, "", o);
  EXPECT_EQ(r.out, "bar\n" + d.path() + "\n");
}
