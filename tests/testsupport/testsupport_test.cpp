// The .fv encoder of the test helpers is the reference other suites compare
// against, so it is checked here against the machine's own encodings.
#include <gtest/gtest.h>

#include "testsupport.h"

using namespace testsupport;

TEST(FvFromText, LayoutDefaultsAndRefusals) {
  EXPECT_EQ(fv_from_text("seq name=ab type=double labelling=class adata=1 seqdata=7879\n1.5 -2 class=7 adata=41\n"),
            le16(23) + "feature vector sequence" + le32(10000) + le32(10000) + le16(2) + "ab" + le32(1) + le32(2) +
                "xy" + le32(2) + std::string("\x08\x01\x00\x01", 4) + le32(1) + le_double(1.5) + le_double(-2) + le32(7) + "A");
  // Unnamed, float, n_expected 2, label flag set.
  EXPECT_EQ(fv_from_text("seq labelling=label\n1 label=rest\n2 nolabel\n"),
            le16(23) + "feature vector sequence" + le32(10000) + le32(10000) + le16(0) + le32(2) + le32(0) + le32(1) +
                std::string("\x04\x00\x01\x00", 4) + le32(0) + le_float(1) + le16(4) + "rest" + le_float(2) + le16(0));
  EXPECT_THROW(fv_from_text("seq labelling=label\n1\n"), std::invalid_argument);
  EXPECT_THROW(fv_from_text("1 2\n"), std::invalid_argument);
}
