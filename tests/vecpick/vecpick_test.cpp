// vecpick as a program: the cases the reference model (random_test.cpp)
// does not reach: the command line, the end-of-stream reports and every
// refusal with its message, each with the output written before it.

#include "fvstreams.h"
#include "testsupport.h"

using namespace vp;
using testsupport::ProcResult;

namespace {

ProcResult vecpick(const std::vector<std::string> &args, const std::string &input) {
  return testsupport::run(testsupport::bin_path("vecpick"), args, input);
}

// Sequences of 1-dimensional class-numbered vectors whose feature is the
// global vector index.
std::string numbered(const std::vector<int> &lengths) {
  std::vector<Seq> seqs;
  int id = 0;
  for (size_t s = 0; s < lengths.size(); s++) {
    Seq q = class_seq(std::vector<int32_t>(static_cast<size_t>(lengths[s]), 0), "s" + std::to_string(s));
    for (auto &v : q.v) v.x[0] = id++;
    seqs.push_back(q);
  }
  return encode(seqs);
}

// The first features of the output, blank-separated; "-" for no output.
std::string ids(const std::string &out) {
  std::string t;
  for (auto &s : decode(out))
    for (auto &v : s.v) t += (t.empty() ? "" : " ") + std::to_string(static_cast<int>(v.x.at(0)));
  return out.empty() ? "-" : t;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(Vecpick, CommandLineReportsAndRefusals) {
  testsupport::TempDir dir;
  const std::string d = dir.path() + "/";
  testsupport::write_file(d + "t", "label_lister\n2\nrest\ntask\n");
  testsupport::write_file(d + "empty", "");
  testsupport::write_file(d + "short", "0\n0\n0\n");
  testsupport::write_file(d + "long", "0\n1\n0\n0\n1\n");
  testsupport::write_file(d + "nl", "0\n1\n0\n0\n\n");
  testsupport::write_file(d + "exact", "0\n1\n0\n0");
  testsupport::write_file(d + "idx", "0\n1\n01\n\n");
  testsupport::write_file(d + "fits", "1" + std::string(9997, 'x') + "\n0\n0\n0\n");
  testsupport::write_file(d + "overlong", "1" + std::string(9998, 'x') + "\n0\n");
  const std::string dim4 = testsupport::fv_from_text("seq\n1 2 3 4\n"), none = testsupport::fv_from_text("seq\n1\n2\n");
  const std::string zeros = testsupport::fv_from_text("seq type=double\n1 0 0\n1 2 3\n-0 5 6\n7 8 0.5\n");
  const std::string n4 = numbered({2, 2}), n6 = numbered({2, 3, 1}), classes = encode({class_seq({0, 1, 2, 3})});
  const std::string labels = encode({label_seq({"rest"})});
  const std::string full = numbered({3});
  const char *subset_hint = "! Use something like --only-features=17-42.\n";
  const char *no_classes = "vecpick error: options --only-class, --not-class not possible if vectors have no class numbers!\n";
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out_ids;  // see ids()
    std::vector<std::string> err;
  } cases[] = {
      {{}, "", 0, "-", {}},
      {{"extra", "-c", "0", "more"}, n4, 0, "0 1 2 3", {"non-option ARGV-elements: extra more \n"}},
      {{"--verbose", "-H", "5", "--flush=3"}, n4, 0, "0 1 2 3", {"verbose flag is set\n"}},
      {{"-c", "2", "--only-class=1"}, encode({class_seq({0, 1, 2, 1})}), 0, "1 3", {}},
      {{"-c", "-1"}, encode({class_seq({-1, 0, -1})}), 0, "0 2", {}},
      {{"--no-such-option"}, n4, 1, "-", {"vecpick error: try --help\n"}},
      // Feature subsets.
      {{"--only-features=2-1"}, dim4, 1, "-", {"vecpick error: 2-1 is no valid feature subset (dim = 4)\n"}},
      {{"-f", "0-4"}, dim4, 1, "-", {"vecpick error: 0-4 is no valid feature subset (dim = 4)\n"}},
      {{"-f", "-1-2"}, dim4, 1, "-", {"vecpick error: -1-2 is no valid feature subset (dim = 4)\n"}},
      {{"-f", "3"}, dim4, 1, "-", {"vecpick error: malformed argument \"3\" for option --only-features", subset_hint}},
      {{"-f", "2-3"}, dim4 + testsupport::fv_from_text("seq\n1 2\n"), 1, "3", {"vecpick error: 2-3 is no valid feature subset (dim = 2)\n"}},
      // Classes and labels.
      {{"--remove-class=-1"}, classes, 1, "-", {"vecpick error: argument of --remove-class must be >= 0 (is -1)\n"}},
      {{"-r", "7"}, classes, 1, "0 1 2 3",
       {"vecpick warning: --remove_class=7: such a high class number never occured (max = 3)\n"}},
      {{"-r", "0"}, encode({class_seq({})}), 1, "-", {"never occured (max = -1)\n"}},
      {{"--only-class=0"}, labels, 1, "-", {no_classes}},
      {{"--not-class=0"}, none, 1, "-", {no_classes}},
      {{"--remove-class=0"}, labels, 1, "-", {no_classes}},
      {{"--only-label=a"}, classes, 1, "-", {"vecpick error: option --only_label not possible if vectors have no labels!\n"}},
      {{"-t", d + "t"}, classes, 1, "-", {"vecpick error: option --only_labels not possible if vectors have no labels!\n"}},
      {{"--only-labels", d + "empty"}, labels, 1, "-",
       {"vecpick error: the label table file \"" + d + "empty\" given to --only-labels is empty!\n"}},
      {{"--table", d + "empty"}, labels, 1, "-",
       {"vecpick error: the label table file \"" + d + "empty\" given to --table is empty!\n"}},
      {{"-t", d + "missing"}, labels, 1, "-", {d + "missing: No such file or directory\n"}},
      {{"--table", d + "t", "-c", "5"}, classes, 0, "-", {}},  // nothing kept: nothing converted
      {{"--shift-labelling=1"}, none, 1, "-", {"vecpick shift_labelling error: vectors have no class information!\n"}},
      // Ranges and strides.
      {{"-S", "1-3"}, n6, 0, "0 1", {"vecpick warning: --not-sequences=1-3 was a range out of range (n = 3)\n"}},
      {{"--only-every-nth=0"}, full, 1, "-", {"vecpick error: argument of --only-every-nth must be >= 1 (is 0)\n"}},
      {{"-N", "-2147483648"}, full, 1, "-",
       {"vecpick error: argument of --not-every-nth must be >= 1 (is -2147483648)\n"}},
      {{"-n", "0", "-n", "2"}, full, 0, "0 2", {}},
      {{"--not-values=0"}, zeros, 0, "1 7", {"vecpick: skipping 0.000000\nvecpick: skipping 0.000000\n"}},
      // Index files.
      {{"--only-ones-in", d + "idx", "--only-zeros-in", d + "short"}, n4, 1, "0 1",
       {"vecpick error: premature end of indexfile!\n"}},
      {{"--only-zeros-in", d + "long"}, n4, 1, "0 2 3", {"vecpick error: indexfile too long!\n"}},
      {{"--only-zeros-in", d + "nl"}, n4, 1, "0 2 3", {"vecpick error: indexfile too long!\n"}},
      {{"--only-zeros-in", d + "exact"}, n4, 0, "0 2 3", {}},
      {{"--only-ones-in", d + "none"}, n4, 1, "-", {d + "none: No such file or directory\n"}},
      {{"--only-ones-in", dir.path()}, n4, 1, "-", {dir.path() + ": Is a directory\n"}},
      {{"--only-ones-in", d + "fits"}, n4, 0, "0", {}},
      {{"--only-ones-in", d + "overlong"}, n4, 1, "-", {"vecpick error: indexfile has too long line!\n"}},
      // Streams.
      {{}, testsupport::fv_from_text("seq name=x labelling=class n_expected=-1\n1 class=0\n"), 1, "-",
       {"vecpick: online processing: implement me!\n"}},
      {{}, full.substr(0, full.size() - 2), 1, "-", {"fv_read error: unexpected end of file"}},
  };
  for (const Case &c : cases) {
    std::string context;
    for (auto &a : c.args) context += a + " ";
    const ProcResult r = vecpick(c.args, c.input);
    EXPECT_FALSE(r.signaled) << context;
    EXPECT_EQ(r.status, c.status) << context << r.err;
    EXPECT_EQ(ids(r.out), c.out_ids) << context << r.err;
    for (auto &e : c.err) EXPECT_TRUE(contains(r.err, e)) << context << "\nwants: " << e << "\nstderr: " << r.err;
  }
}

TEST(Vecpick, HelpReportOrderAndWriteFailure) {
  for (const char *flag : {"--help", "-h"}) {
    auto r = vecpick({flag}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("vecpick - edit .fv files.\nusage: vecpick [OPTIONS] < old.fv > new.fv \nOPTIONS:\n", 0), 0u);
    for (const char *part :
         {"Useful for leave-one-speaker-out training/testing.", "starts at zero and goes across sequences",
          "By default N = INT_MAX and\n      M = INT_MAX - 1 so that all vectors occurring in practice are put out.",
          "original class numbers: 1 2 3 4 5, shift_labelling=-1 -> new class numbers: 2 3 4 5 5.",
          "Flush stdout after NUM vectors", "--only-zeros-in", "--discard-inf", "-T FILE, --table=FILE"})
      EXPECT_TRUE(contains(r.err, part)) << part;
  }
  // The reports come in a fixed order, the range warnings at the end.
  auto r = vecpick({"-V", "7", "-v", "6", "-S", "5", "-s", "4"}, numbered({1}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "only outputting sequences 4 to 4\nnot outputting sequences 5 to 5\n"
            "only outputting vectors 6 to 6\nnot outputting vectors 7 to 7\n"
            "vecpick warning: --only-sequences=4-4 was a range out of range (n = 1)\n"
            "vecpick warning: --not-sequences=5-5 was a range out of range (n = 1)\n"
            "vecpick warning: --only-vectors=6-6 was a range out of range (n = 1)\n"
            "vecpick warning: --not-vectors=7-7 was a range out of range (n = 1)\n");
  r = testsupport::run("/bin/sh", {"-c", "exec \"$0\" > /dev/full", testsupport::bin_path("vecpick")}, numbered({3}));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "No space left on device")) << r.err;
}
