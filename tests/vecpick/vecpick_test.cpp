// vecpick as a program: each option with its documented examples, the
// label shift, tables, index files, the end-of-stream reports and every
// refusal with its message.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "streams.h"
#include "testsupport.h"

using namespace vp;
using testsupport::ProcResult;

namespace {

ProcResult vecpick(const std::vector<std::string> &args, const std::string &input) {
  return testsupport::run(testsupport::bin_path("vecpick"), args, input);
}

ProcResult vecpick(const std::vector<std::string> &args, const std::vector<Seq> &input) {
  return vecpick(args, encode(input));
}

std::vector<int32_t> classes_of(const Seq &s) {
  std::vector<int32_t> c;
  for (auto &v : s.v) c.push_back(v.cls);
  return c;
}

std::vector<std::string> labels_of(const Seq &s) {
  std::vector<std::string> l;
  for (auto &v : s.v) l.push_back(v.has_label ? v.label : "-");
  return l;
}

// First features of all vectors of all sequences: the vectors' identities
// when each feature 0 holds the vector's global index.
std::vector<double> ids(const std::vector<Seq> &seqs) {
  std::vector<double> x;
  for (auto &s : seqs)
    for (auto &v : s.v) x.push_back(v.x.at(0));
  return x;
}

// Sequences of 1-dimensional class-numbered vectors whose feature is the
// global vector index.
std::vector<Seq> numbered(const std::vector<int> &lengths) {
  std::vector<Seq> seqs;
  int id = 0;
  for (size_t s = 0; s < lengths.size(); s++) {
    Seq q = class_seq(std::vector<int32_t>(static_cast<size_t>(lengths[s]), 0), "s" + std::to_string(s));
    for (auto &v : q.v) v.x[0] = id++;
    seqs.push_back(q);
  }
  return seqs;
}

std::vector<double> range_of(int from, int to, int step = 1) {
  std::vector<double> x;
  for (int i = from; i <= to; i += step) x.push_back(i);
  return x;
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

// --- Command line -----------------------------------------------------------

TEST(VecpickCommandLine, HelpOnStandardError) {
  for (const char *flag : {"--help", "-h"}) {
    auto r = vecpick({flag}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("vecpick - edit .fv files.\nusage: vecpick [OPTIONS] < old.fv > new.fv \nOPTIONS:\n", 0), 0u);
    for (const char *part :
         {"Only output sequence I or sequences I to K. Counting starts at zero. Useful for leave-one-speaker-out "
          "training/testing.",
          "Skip sequences I or sequences I to K. Counting starts at zero. Useful for leave-one-out "
          "training/testing.",
          "starts at zero and goes across sequences", "label_lister", "glide_stats",
          "The default N=1 outputs all vectors.",
          "By default N = INT_MAX and\n      M = INT_MAX - 1 so that all vectors occurring in practice are put out.",
          "original class numbers: 1 2 3 4 5, shift_labelling=-1 -> new class numbers: 2 3 4 5 5.",
          "Flush stdout after NUM vectors", "--only-zeros-in", "--only-ones-in", "--discard-nan", "--discard-inf",
          "--verbose", "-T FILE, --table=FILE", "-X X, --not-values=X", "-F NUM, --shift-labelling=NUM"})
      EXPECT_TRUE(contains(r.err, part)) << part;
  }
}

TEST(VecpickCommandLine, NonOptionArgumentsGoToStandardError) {
  std::vector<Seq> in = {class_seq({0, 1})};
  auto r = vecpick({"extra", "-c", "1", "more"}, in);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.err, "non-option ARGV-elements: extra more \n")) << r.err;
  // Standard output carries nothing but the stream.
  Seq expected = class_seq({0, 1});
  expected.v.erase(expected.v.begin());
  EXPECT_EQ(r.out, encode({expected}));
}

TEST(VecpickCommandLine, VerboseFlushAndUnknownOptions) {
  std::vector<Seq> in = {class_seq({0, 1})};
  auto r = vecpick({"--verbose", "-H", "5", "--flush=3"}, in);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.err, "verbose flag is set\n"));
  EXPECT_EQ(r.out, encode(in));
  auto bad = vecpick({"--no-such-option"}, in);
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, "");
  auto missing = vecpick({"--only-class"}, in);
  EXPECT_EQ(missing.status, 1);
}

TEST(VecpickCommandLine, LastOccurrenceWins) {
  auto r = vecpick({"-c", "2", "--only-class=1"}, std::vector<Seq>{class_seq({0, 1, 2, 1})});
  EXPECT_EQ(r.status, 0);
  auto out = decode(r.out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(classes_of(out[0]), (std::vector<int32_t>{1, 1}));
}

TEST(VecpickCommandLine, EmptyInputWritesNothing) {
  auto r = vecpick({}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST(VecpickCommandLine, WithoutOptionsTheStreamIsCopied) {
  Seq a = label_seq({"x", "-", "y"}, "a");
  a.type = T_LDOUBLE;
  a.adata_len = 2;
  a.seqdata = std::string("\0\1zz", 4);
  for (auto &v : a.v) v.adata = "q" + std::to_string(v.x[0]).substr(0, 1);
  Seq b = class_seq({3, -4});
  b.has_name = false;
  b.type = T_INT32;
  auto r = vecpick({}, std::vector<Seq>{a, b});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, encode({a, b}));
}

// --- Features ---------------------------------------------------------------

TEST(VecpickFeatures, SubsetOfEveryDataType) {
  for (int type : {T_FLOAT, T_DOUBLE, T_LDOUBLE, T_INT32}) {
    Seq s;
    s.name = "feat";
    s.type = type;
    s.dim = 4;
    s.labelling = L_LABEL;
    s.adata_len = 1;
    s.seqdata = "meta";
    double big = type == T_INT32 ? 2147483647 : (type == T_FLOAT ? 0.5 : 0.1);
    s.v = {Vec{{1, 2, 3, 4}, true, "a", 0, "A"}, Vec{{-5, big, -7, 8}, false, "", 0, "B"}};
    auto r = vecpick({"--only-features=1-2"}, std::vector<Seq>{s});
    ASSERT_EQ(r.status, 0) << r.err;
    Seq e = s;
    e.dim = 2;
    e.v[0].x = {2, 3};
    e.v[1].x = {big, -7};
    EXPECT_EQ(difference({e}, decode(r.out)), "") << "type " << type;
    // A single feature, the last one.
    r = vecpick({"-f", "3-3"}, std::vector<Seq>{s});
    ASSERT_EQ(r.status, 0);
    auto out = decode(r.out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].dim, 1);
    EXPECT_EQ(ids(out), (std::vector<double>{4, 8}));
  }
}

TEST(VecpickFeatures, RefusedSubsets) {
  Seq s;
  s.dim = 4;
  s.v = {plain({1, 2, 3, 4})};
  std::vector<Seq> in = {s};
  struct Case {
    std::string arg, message;
  } cases[] = {
      {"2-1", "vecpick error: 2-1 is no valid feature subset (dim = 4)\n"},
      {"0-4", "vecpick error: 0-4 is no valid feature subset (dim = 4)\n"},
      {"4-4", "vecpick error: 4-4 is no valid feature subset (dim = 4)\n"},
      {"-1-2", "vecpick error: -1-2 is no valid feature subset (dim = 4)\n"},
      {"3", "vecpick error: malformed argument \"3\" for option --only-features! Use something like "
            "--only-features=17-42.\n"},
      {"a-b", "vecpick error: malformed argument \"a-b\" for option --only-features! Use something like "
              "--only-features=17-42.\n"},
  };
  for (const auto &c : cases) {
    auto r = vecpick({"--only-features=" + c.arg}, in);
    EXPECT_EQ(r.status, 1) << c.arg;
    EXPECT_EQ(r.out, "") << c.arg;
    EXPECT_TRUE(contains(r.err, c.message)) << c.arg << ": " << r.err;
  }
  // A subset valid for the first sequence but not for the second.
  Seq narrow;
  narrow.dim = 2;
  narrow.v = {plain({1, 2})};
  auto r = vecpick({"-f", "2-3"}, std::vector<Seq>{s, narrow});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "vecpick error: 2-3 is no valid feature subset (dim = 2)\n"));
  auto out = decode(r.out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(ids(out), std::vector<double>{3});
}

// --- Classes ----------------------------------------------------------------

TEST(VecpickClasses, OnlyAndNotClass) {
  std::vector<Seq> in = {class_seq({0, 1, 2, 1}), class_seq({1, 3})};
  auto r = vecpick({"--only-class=1"}, in);
  ASSERT_EQ(r.status, 0);
  auto out = decode(r.out);
  EXPECT_EQ(ids(out), (std::vector<double>{1, 3, 0}));
  r = vecpick({"-C", "1"}, in);
  out = decode(r.out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(classes_of(out[0]), (std::vector<int32_t>{0, 2}));
  EXPECT_EQ(classes_of(out[1]), (std::vector<int32_t>{3}));
  // Negative class numbers are class numbers too.
  r = vecpick({"-c", "-1"}, std::vector<Seq>{class_seq({-1, 0, -1})});
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{0, 2}));
}

TEST(VecpickClasses, RemoveClassRenumbers) {
  auto r = vecpick({"--remove-class=1"}, std::vector<Seq>{class_seq({0, 1, 2, 3}), class_seq({3, 1})});
  ASSERT_EQ(r.status, 0) << r.err;
  auto out = decode(r.out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(classes_of(out[0]), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(ids({out[0]}), (std::vector<double>{0, 2, 3}));
  EXPECT_EQ(classes_of(out[1]), (std::vector<int32_t>{2}));
}

TEST(VecpickClasses, RemoveClassThatNeverOccurred) {
  std::vector<Seq> in = {class_seq({0, 1, 2, 3})};
  auto r = vecpick({"-r", "7"}, in);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, encode(in)) << "the output is written before the warning";
  EXPECT_TRUE(contains(r.err, "vecpick warning: --remove_class=7: such a high class number never occured (max = 3)\n"));
  // The highest class present is fine.
  r = vecpick({"-r", "3"}, in);
  EXPECT_EQ(r.status, 0);
  // No vector at all.
  r = vecpick({"-r", "0"}, std::vector<Seq>{class_seq({})});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "never occured (max = -1)\n"));
}

TEST(VecpickClasses, Refusals) {
  auto r = vecpick({"--remove-class=-1"}, std::vector<Seq>{class_seq({0})});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "vecpick error: argument of --remove-class must be >= 0 (is -1)\n"));
  const char *msg = "vecpick error: options --only-class, --not-class not possible if vectors have no class numbers!\n";
  for (const char *opt : {"--only-class=0", "--not-class=0", "--remove-class=0"}) {
    r = vecpick({opt}, std::vector<Seq>{label_seq({"a"})});
    EXPECT_EQ(r.status, 1) << opt;
    EXPECT_TRUE(contains(r.err, msg)) << opt;
    Seq none;
    none.dim = 1;
    none.v = {plain({1})};
    r = vecpick({opt}, std::vector<Seq>{none});
    EXPECT_EQ(r.status, 1) << opt;
    EXPECT_TRUE(contains(r.err, msg)) << opt;
  }
}

// --- Labels -----------------------------------------------------------------

TEST(VecpickLabels, OnlyLabelAndAbsentLabels) {
  std::vector<Seq> in = {label_seq({"rest", "-", "task", "rest"}), label_seq({"-", "rest"})};
  auto r = vecpick({"-l", "rest"}, in);
  ASSERT_EQ(r.status, 0);
  auto out = decode(r.out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(labels_of(out[0]), (std::vector<std::string>{"rest", "rest"}));
  EXPECT_EQ(ids({out[0]}), (std::vector<double>{0, 3}));
  EXPECT_EQ(labels_of(out[1]), (std::vector<std::string>{"rest"}));
}

TEST(VecpickLabels, OnlyLabelsFromTable) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("t"), "label_lister\n2\nrest\nwalk\n");
  std::vector<Seq> in = {label_seq({"rest", "-", "task", "walk", "walking"})};
  auto r = vecpick({"--only-labels=" + dir.file("t")}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  auto out = decode(r.out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(labels_of(out[0]), (std::vector<std::string>{"rest", "walk"}));
  EXPECT_EQ(out[0].labelling, L_LABEL);
}

TEST(VecpickLabels, Refusals) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("t"), "label_lister\n1\nrest\n");
  testsupport::write_file(dir.file("empty"), "");
  testsupport::write_file(dir.file("bad"), "labels\n");
  std::vector<Seq> classes = {class_seq({0})};
  auto r = vecpick({"--only-label=a"}, classes);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "vecpick error: option --only_label not possible if vectors have no labels!\n"));
  r = vecpick({"-t", dir.file("t")}, classes);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "vecpick error: option --only_labels not possible if vectors have no labels!\n"));
  std::vector<Seq> labels = {label_seq({"rest"})};
  for (const char *opt : {"--only-labels", "--table"}) {
    r = vecpick({opt, dir.file("empty")}, labels);
    EXPECT_EQ(r.status, 1) << opt;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, std::string("vecpick error: the label table file \"") + dir.file("empty") +
                                    "\" given to " + opt + " is empty!\n"))
        << r.err;
    r = vecpick({opt, dir.file("missing")}, labels);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, dir.file("missing") + ": No such file or directory\n")) << r.err;
    r = vecpick({opt, dir.file("bad")}, labels);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "label_lister_read error: this is not a label table file!\n")) << r.err;
  }
}

// --- Conversion table ---------------------------------------------------------

TEST(VecpickTable, ConvertsLabelsToClassNumbersLast) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("t"), "label_lister\n3\nwalk\nrest\ntask\n");
  std::vector<Seq> in = {label_seq({"task", "rest", "walk", "rest"}), label_seq({"walk"})};
  auto r = vecpick({"-T", dir.file("t")}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  auto out = decode(r.out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].labelling, L_CLASS);
  EXPECT_EQ(classes_of(out[0]), (std::vector<int32_t>{2, 1, 0, 1}));
  EXPECT_EQ(classes_of(out[1]), (std::vector<int32_t>{0}));
  // After the selection by label and the shift: the shifted labels are
  // converted, and a label dropped by --only-labels need not be in the table.
  testsupport::write_file(dir.file("admit"), "label_lister\n2\nrest\ntask\n");
  in = {label_seq({"task", "rest", "unknown", "rest", "task"})};
  r = vecpick({"--table=" + dir.file("t"), "--only-labels=" + dir.file("admit"), "--shift-labelling=1"}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  out = decode(r.out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(ids(out), (std::vector<double>{0, 1, 3, 4}));
  EXPECT_EQ(classes_of(out[0]), (std::vector<int32_t>{2, 2, 1, 1}));
}

TEST(VecpickTable, Refusals) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("t"), "label_lister\n2\nrest\ntask\n");
  // An unknown label stops the program; earlier sequences are written.
  std::vector<Seq> in = {label_seq({"rest"}, "first"), label_seq({"task", "walk"}, "second")};
  auto r = vecpick({"--table", dir.file("t")}, in);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "fv_label_lister_apply error: could not find label walk\n")) << r.err;
  auto out = decode(r.out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "first");
  // An absent label is named as such.
  r = vecpick({"--table", dir.file("t")}, std::vector<Seq>{label_seq({"rest", "-"})});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "fv_label_lister_apply error: could not find label: vector 1 has no label!\n")) << r.err;
  EXPECT_FALSE(contains(r.err, "(null)"));
  // Class numbers cannot be converted.
  r = vecpick({"--table", dir.file("t")}, std::vector<Seq>{class_seq({0})});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "fv_label_lister_apply error: sequence has no label strings!\n")) << r.err;
  // ... but a sequence without kept vectors is never written nor converted.
  r = vecpick({"--table", dir.file("t"), "-c", "5"}, std::vector<Seq>{class_seq({0})});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

// --- Sequences and vectors --------------------------------------------------

TEST(VecpickRanges, OnlyAndNotSequences) {
  std::vector<Seq> in = numbered({2, 3, 1});
  auto r = vecpick({"--only-sequences=1"}, in);
  ASSERT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.err, "only outputting sequences 1 to 1\n"));
  auto out = decode(r.out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "s1");
  EXPECT_EQ(ids(out), (std::vector<double>{2, 3, 4}));
  EXPECT_FALSE(contains(r.err, "warning"));

  r = vecpick({"-s", "5"}, in);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(contains(r.err, "vecpick warning: --only-sequences=5-5 was a range out of range (n = 3)\n"));

  r = vecpick({"--not-sequences=0-1"}, in);
  EXPECT_TRUE(contains(r.err, "not outputting sequences 0 to 1\n"));
  EXPECT_EQ(ids(decode(r.out)), std::vector<double>{5});
  r = vecpick({"-S", "1-3"}, in);
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{0, 1}));
  EXPECT_TRUE(contains(r.err, "vecpick warning: --not-sequences=1-3 was a range out of range (n = 3)\n"));
  // Leave-one-out: only and not the same sequence partition the stream.
  auto a = decode(vecpick({"-s", "2"}, in).out);
  auto b = decode(vecpick({"-S", "2"}, in).out);
  EXPECT_EQ(ids(a), std::vector<double>{5});
  EXPECT_EQ(ids(b), range_of(0, 4));
}

TEST(VecpickRanges, OnlyAndNotVectorsAcrossSequences) {
  std::vector<Seq> in = numbered({3, 3, 3});
  auto r = vecpick({"--only-vectors=2-6"}, in);
  EXPECT_TRUE(contains(r.err, "only outputting vectors 2 to 6\n"));
  auto out = decode(r.out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(ids(out), range_of(2, 6));
  EXPECT_EQ(out[0].v.size(), 1u);
  EXPECT_EQ(out[0].n_expected, 1);
  r = vecpick({"-V", "3-5"}, in);
  EXPECT_TRUE(contains(r.err, "not outputting vectors 3 to 5\n"));
  out = decode(r.out);
  ASSERT_EQ(out.size(), 2u) << "the emptied middle sequence is not written";
  EXPECT_EQ(out[1].name, "s2");
  EXPECT_EQ(ids(out), (std::vector<double>{0, 1, 2, 6, 7, 8}));
  r = vecpick({"-v", "4", "-V", "8-9"}, in);
  EXPECT_EQ(ids(decode(r.out)), std::vector<double>{4});
  EXPECT_TRUE(contains(r.err, "vecpick warning: --not-vectors=8-9 was a range out of range (n = 9)\n"));
  EXPECT_FALSE(contains(r.err, "--only-vectors=4-4 was"));
}

TEST(VecpickRanges, ReportsInOrder) {
  std::vector<Seq> in = numbered({1});
  auto r = vecpick({"-V", "7", "-v", "6", "-S", "5", "-s", "4"}, in);
  EXPECT_EQ(r.status, 0);
  std::string expected_start =
      "only outputting sequences 4 to 4\nnot outputting sequences 5 to 5\n"
      "only outputting vectors 6 to 6\nnot outputting vectors 7 to 7\n";
  EXPECT_EQ(r.err.substr(0, expected_start.size()), expected_start);
  std::string expected_end =
      "vecpick warning: --only-sequences=4-4 was a range out of range (n = 1)\n"
      "vecpick warning: --not-sequences=5-5 was a range out of range (n = 1)\n"
      "vecpick warning: --only-vectors=6-6 was a range out of range (n = 1)\n"
      "vecpick warning: --not-vectors=7-7 was a range out of range (n = 1)\n";
  EXPECT_EQ(r.err.substr(r.err.size() - expected_end.size()), expected_end);
}

// --- Strides ----------------------------------------------------------------

TEST(VecpickStrides, OnlyEveryNthCountsOverAllSequences) {
  std::vector<Seq> in = numbered({4, 5, 3});
  EXPECT_EQ(ids(decode(vecpick({"--only-every-nth=3"}, in).out)), range_of(0, 11, 3));
  EXPECT_EQ(ids(decode(vecpick({"-n", "3", "-o", "1"}, in).out)), range_of(1, 11, 3));
  EXPECT_EQ(ids(decode(vecpick({"-n", "3", "--only-every-nth-offset=-1"}, in).out)), range_of(2, 11, 3));
  EXPECT_EQ(ids(decode(vecpick({"-n", "1"}, in).out)), range_of(0, 11));
  // Offsets at the ends of the int range: computed without overflow.
  // 2147483647 = 3 * 715827882 + 1, so the offset acts as 1.
  EXPECT_EQ(ids(decode(vecpick({"-n", "3", "-o", "2147483647"}, in).out)), range_of(1, 11, 3));
  // -2147483648 = -3 * 715827883 + 1: also 1.
  EXPECT_EQ(ids(decode(vecpick({"-n", "3", "-o", "-2147483648"}, in).out)), range_of(1, 11, 3));
  EXPECT_EQ(ids(decode(vecpick({"-n", "2147483647", "-o", "2147483647"}, in).out)), std::vector<double>{0});
}

TEST(VecpickStrides, NotEveryNth) {
  std::vector<Seq> in = numbered({6, 6});
  std::vector<double> expected;
  for (int i = 0; i < 12; i++)
    if (i % 4 != 1) expected.push_back(i);
  EXPECT_EQ(ids(decode(vecpick({"--not-every-nth=4", "--not-every-nth-offset=1"}, in).out)), expected);
  // With only -N the default offset INT_MAX - 1 decides: 2147483646 =
  // 4 * 536870911 + 2, so vectors 2, 6, 10 are dropped.
  expected.clear();
  for (int i = 0; i < 12; i++)
    if (i % 4 != 2) expected.push_back(i);
  EXPECT_EQ(ids(decode(vecpick({"-N", "4"}, in).out)), expected);
  // With only -O the default N = INT_MAX drops just vector M.
  expected = range_of(0, 11);
  expected.erase(expected.begin() + 5);
  EXPECT_EQ(ids(decode(vecpick({"-O", "5"}, in).out)), expected);
  EXPECT_EQ(ids(decode(vecpick({"-N", "1"}, in).out)), std::vector<double>{});
  EXPECT_EQ(ids(decode(vecpick({"-O", "-2147483648", "-N", "2147483647"}, in).out)), range_of(0, 11));
  EXPECT_EQ(ids(decode(vecpick({"-O", "2147483647", "-N", "2147483647"}, in).out)), range_of(1, 11));
}

TEST(VecpickStrides, DefaultsKeepEveryVector) {
  std::vector<Seq> in = numbered({50, 1, 30});
  auto r = vecpick({}, in);
  EXPECT_EQ(ids(decode(r.out)), range_of(0, 80));
}

TEST(VecpickStrides, DivisorsBelowOneAreRefused) {
  std::vector<Seq> in = numbered({3});
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--only-every-nth=0"}, "vecpick error: argument of --only-every-nth must be >= 1 (is 0)\n"},
      {{"-n", "-3"}, "vecpick error: argument of --only-every-nth must be >= 1 (is -3)\n"},
      {{"-n", "x"}, "vecpick error: argument of --only-every-nth must be >= 1 (is 0)\n"},
      {{"--not-every-nth=0"}, "vecpick error: argument of --not-every-nth must be >= 1 (is 0)\n"},
      {{"-N", "-2147483648"}, "vecpick error: argument of --not-every-nth must be >= 1 (is -2147483648)\n"},
  };
  for (const auto &c : cases) {
    auto r = vecpick(c.args, in);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, c.message)) << r.err;
  }
  // The last occurrence counts.
  EXPECT_EQ(vecpick({"-n", "0", "-n", "2"}, in).status, 0);
}

// --- Values -----------------------------------------------------------------

TEST(VecpickValues, NotValuesReportsEachSkippedVector) {
  Seq s;
  s.type = T_DOUBLE;
  s.dim = 3;
  s.v = {plain({1, 0, 0}), plain({1, 2, 3}), plain({-0.0, 5, 6}), plain({7, 8, 0.5})};
  auto r = vecpick({"--not-values=0"}, std::vector<Seq>{s});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{1, 7}));
  EXPECT_EQ(r.err, "vecpick: skipping 0.000000\nvecpick: skipping 0.000000\n");
  r = vecpick({"-X", "0.5"}, std::vector<Seq>{s});
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{1, 1, -0.0}));
  EXPECT_EQ(r.err, "vecpick: skipping 0.500000\n");
  // Only the selected features count.
  r = vecpick({"-X", "0", "-f", "0-0"}, std::vector<Seq>{s});
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{1, 1, 7}));
}

TEST(VecpickValues, DiscardNanAndInf) {
  for (int type : {T_FLOAT, T_DOUBLE, T_LDOUBLE}) {
    Seq s;
    s.type = type;
    s.dim = 2;
    s.v = {plain({0, NAN}), plain({1, INFINITY}), plain({2, -INFINITY}), plain({3, 4}), plain({NAN, INFINITY})};
    std::vector<Seq> in = {s};
    EXPECT_EQ(ids(decode(vecpick({"--discard-nan"}, in).out)), (std::vector<double>{1, 2, 3})) << type;
    EXPECT_EQ(ids(decode(vecpick({"--discard-inf"}, in).out)), (std::vector<double>{0, 3})) << type;
    EXPECT_EQ(ids(decode(vecpick({"--discard-nan", "--discard-inf"}, in).out)), std::vector<double>{3});
    // Only the kept features are looked at.
    EXPECT_EQ(ids(decode(vecpick({"--discard-nan", "--discard-inf", "-f", "0-0"}, in).out)),
              (std::vector<double>{0, 1, 2, 3}));
  }
}

// --- Shift of the labelling -------------------------------------------------

TEST(VecpickShift, DocumentedExamples) {
  std::vector<Seq> in = {class_seq({1, 2, 3, 4, 5})};
  auto out = decode(vecpick({"--shift-labelling=-1"}, in).out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(classes_of(out[0]), (std::vector<int32_t>{2, 3, 4, 5, 5}));
  EXPECT_EQ(ids(out), range_of(0, 4)) << "features stay in place";
  out = decode(vecpick({"-F", "2"}, in).out);
  EXPECT_EQ(classes_of(out[0]), (std::vector<int32_t>{1, 1, 1, 2, 3}));
  out = decode(vecpick({"-F", "0"}, in).out);
  EXPECT_EQ(classes_of(out[0]), (std::vector<int32_t>{1, 2, 3, 4, 5}));
}

TEST(VecpickShift, AsFarAsTheSequenceOrFurther) {
  std::vector<Seq> in = {class_seq({1, 2, 3, 4, 5}), class_seq({9}), class_seq({6, 7})};
  for (int k : {4, 5, 6, 100, INT_MAX}) {
    auto out = decode(vecpick({"-F", std::to_string(k)}, in).out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(classes_of(out[0]), std::vector<int32_t>(5, 1)) << k;
    EXPECT_EQ(classes_of(out[1]), std::vector<int32_t>{9}) << k;
    EXPECT_EQ(classes_of(out[2]), (std::vector<int32_t>{6, 6})) << k;
  }
  for (int k : {-4, -5, -6, -100, INT_MIN + 1, INT_MIN}) {
    auto r = vecpick({"-F", std::to_string(k)}, in);
    ASSERT_EQ(r.status, 0) << k << r.err;
    auto out = decode(r.out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(classes_of(out[0]), std::vector<int32_t>(5, 5)) << k;
    EXPECT_EQ(classes_of(out[1]), std::vector<int32_t>{9}) << k;
    EXPECT_EQ(classes_of(out[2]), (std::vector<int32_t>{7, 7})) << k;
  }
}

TEST(VecpickShift, LabelStringsIncludingAbsentOnes) {
  std::vector<Seq> in = {label_seq({"a", "-", "b", "c"})};
  auto out = decode(vecpick({"-F", "1"}, in).out);
  EXPECT_EQ(labels_of(out.at(0)), (std::vector<std::string>{"a", "a", "-", "b"}));
  out = decode(vecpick({"-F", "-2"}, in).out);
  EXPECT_EQ(labels_of(out.at(0)), (std::vector<std::string>{"b", "c", "c", "c"}));
  out = decode(vecpick({"-F", "-1"}, std::vector<Seq>{label_seq({"-", "x", "-"})}).out);
  EXPECT_EQ(labels_of(out.at(0)), (std::vector<std::string>{"x", "-", "-"}));
}

TEST(VecpickShift, WorksOnTheKeptVectors) {
  Seq s = class_seq({10, 11, 12, 13, 14, 15, 16});
  auto out = decode(vecpick({"-n", "2", "-F", "1"}, std::vector<Seq>{s}).out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(ids(out), (std::vector<double>{0, 2, 4, 6}));
  EXPECT_EQ(classes_of(out[0]), (std::vector<int32_t>{10, 10, 12, 14}));
}

TEST(VecpickShift, NeedsClassInformation) {
  Seq s;
  s.dim = 1;
  s.v = {plain({1}), plain({2})};
  auto r = vecpick({"--shift-labelling=1"}, std::vector<Seq>{s});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(contains(r.err, "vecpick shift_labelling error: vectors have no class information!\n"));
}

// --- Index files ------------------------------------------------------------

TEST(VecpickIndex, ZerosAndOnes) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("idx"), "0\n1\n01\n\n10 words\n0");
  std::vector<Seq> in = numbered({2, 4});
  auto r = vecpick({"--only-zeros-in=" + dir.file("idx")}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{0, 2, 5}));
  r = vecpick({"--only-ones-in", dir.file("idx")}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{1, 4}));
  // The last of the two options counts.
  r = vecpick({"--only-ones-in", dir.file("idx"), "--only-zeros-in", dir.file("idx")}, in);
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{0, 2, 5}));
}

TEST(VecpickIndex, TooShortTooLongAndMissing) {
  testsupport::TempDir dir;
  std::vector<Seq> in = numbered({2, 2});
  testsupport::write_file(dir.file("short"), "0\n0\n0\n");
  auto r = vecpick({"--only-zeros-in", dir.file("short")}, in);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "vecpick error: premature end of indexfile!\n"));
  // The first sequence was complete and written.
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{0, 1}));

  testsupport::write_file(dir.file("long"), "0\n1\n0\n0\n1\n");
  r = vecpick({"--only-zeros-in", dir.file("long")}, in);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "vecpick error: indexfile too long!\n"));
  EXPECT_EQ(ids(decode(r.out)), (std::vector<double>{0, 2, 3})) << "output written before the error";
  // Even a single extra line feed is more data.
  testsupport::write_file(dir.file("nl"), "0\n1\n0\n0\n\n");
  EXPECT_EQ(vecpick({"--only-zeros-in", dir.file("nl")}, in).status, 1);
  testsupport::write_file(dir.file("exact"), "0\n1\n0\n0");
  EXPECT_EQ(vecpick({"--only-zeros-in", dir.file("exact")}, in).status, 0);

  r = vecpick({"--only-ones-in", dir.file("none")}, in);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(contains(r.err, dir.file("none") + ": No such file or directory\n")) << r.err;
  r = vecpick({"--only-ones-in", dir.path()}, in);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, dir.path() + ": Is a directory\n")) << r.err;
}

TEST(VecpickIndex, LineLengthLimit) {
  testsupport::TempDir dir;
  std::vector<Seq> in = numbered({2});
  // 9998 characters and a line feed fit.
  testsupport::write_file(dir.file("fits"), "1" + std::string(9997, 'x') + "\n0\n");
  auto r = vecpick({"--only-ones-in", dir.file("fits")}, in);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ids(decode(r.out)), std::vector<double>{0});
  testsupport::write_file(dir.file("long"), "1" + std::string(9998, 'x') + "\n0\n");
  r = vecpick({"--only-ones-in", dir.file("long")}, in);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "vecpick error: indexfile has too long line!\n"));
}

// --- Streams ----------------------------------------------------------------

TEST(VecpickStream, OnlineStreamsAreRefused) {
  std::string header = testsupport::fv_from_text("seq name=x labelling=class n_expected=-1\n1 class=0\n");
  auto r = vecpick({}, header);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(contains(r.err, "vecpick: online processing: implement me!\n"));
}

TEST(VecpickStream, DefectInputStops) {
  std::string bytes = encode({numbered({3})});
  auto r = vecpick({}, bytes.substr(0, bytes.size() - 2));
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(r.signaled);
  EXPECT_EQ(r.out, "") << "an incomplete sequence is not written";
  EXPECT_TRUE(contains(r.err, "fv_read error: unexpected end of file")) << r.err;
  r = vecpick({}, "not a stream at all");
  EXPECT_EQ(r.status, 1);
  std::string negative = testsupport::fv_from_text("seq labelling=class dim=1 n_expected=-3\n");
  r = vecpick({}, negative);
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(r.signaled);
  EXPECT_TRUE(contains(r.err, "-3")) << r.err;
}

TEST(VecpickStream, WriteFailureIsReported) {
  testsupport::TempDir dir;
  testsupport::write_file(dir.file("in.fv"), encode({numbered({3})}));
  auto r = testsupport::run("/bin/sh", {"-c", "\"$0\" < \"$1\" > /dev/full", testsupport::bin_path("vecpick"),
                                        dir.file("in.fv")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "No space left on device")) << r.err;
}
