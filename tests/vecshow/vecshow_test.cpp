// vecshow on the command line: every mode and export format, per-sequence
// files, the name list, flushing and the messages.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "testsupport.h"

using testsupport::fv_from_text;
using testsupport::le_float;
using testsupport::ProcResult;
using testsupport::read_file;
using testsupport::TempDir;

namespace {

ProcResult vecshow(const std::vector<std::string> &args, const std::string &input) {
  return testsupport::run(testsupport::bin_path("vecshow"), args, input);
}

const std::string kTwoClassVectors = fv_from_text(
    "seq name=walk type=double labelling=class\n"
    "1.5 0.1 -2 class=0\n"
    "1 2 3 class=1\n");

const std::string kHeaderWalk =
    "feature vector sequence\n"
    "- file format version: 10000 (means 1.0.0)\n"
    "- name: \"walk\"\n"
    "- n_expected: 2\n"
    "- n (contained): 0\n"
    "- length of additional sequence data: 0\n"
    "- dimension of feature vectors: 3\n"
    "- size of feature data type: 8 bytes\n"
    "- data type: 1 (i.e. double)\n"
    "- labelling? class numbers\n"
    "- length of additional data per vector: 0\n";

std::string floats(std::initializer_list<float> values) {
  std::string out;
  for (float v : values) out += le_float(v);
  return out;
}

}  // namespace

TEST(Vecshow, DefaultDescription) {
  ProcResult r = vecshow({}, kTwoClassVectors);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, kHeaderWalk + "1.5 0.1 -2\n- class = 0\n1 2 3\n- class = 1\n");

  r = vecshow({}, fv_from_text("seq type=int32 labelling=label adata=3 seqdata=41090a00\n"
                               "7 -8 label=rest adata=41200a\n"
                               "9 10 nolabel adata=000102\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "feature vector sequence\n"
            "- file format version: 10000 (means 1.0.0)\n"
            "- name: \"\"\n"
            "- n_expected: 2\n"
            "- n (contained): 0\n"
            "- length of additional sequence data: 4\n"
            "- additional data:\n"
            "A\t\n.\n"
            "- dimension of feature vectors: 2\n"
            "- size of feature data type: 4 bytes\n"
            "- data type: 3 (i.e. int32_t)\n"
            "- labelling? label strings\n"
            "- length of additional data per vector: 3\n"
            "7 -8\n- label = \"rest\"\n- additional data:\nA .\n"
            "9 10\n- label = \"\"\n- additional data:\n...\n");
}

TEST(Vecshow, LabelsClassesFeatures) {
  std::string labelled = fv_from_text(
      "seq name=a type=float labelling=label\n"
      "0.1 2 label=rest\n"
      "3 -4.5 nolabel\n");
  ProcResult r = vecshow({"--labels"}, labelled);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "rest\n\n");
  EXPECT_EQ(vecshow({"-l"}, labelled).out, "rest\n\n");
  EXPECT_EQ(vecshow({"--features"}, labelled).out, "0.1 2\n3 -4.5\n");
  EXPECT_EQ(vecshow({"-f"}, kTwoClassVectors).out, "1.5 0.1 -2\n1 2 3\n");
  EXPECT_EQ(vecshow({"--classes"}, kTwoClassVectors).out, "0\n1\n");
  EXPECT_EQ(vecshow({"-c"}, kTwoClassVectors).out, "0\n1\n");

  r = vecshow({"--classes"}, labelled);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow: sequence 0 named a has no class numbers!\n");
  r = vecshow({"--labels"}, fv_from_text("seq\n1\nseq labelling=class\n1 class=2\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow: sequence 0 named unnamed_0 has no label strings!\n");
  // Precedence: classes before labels before features.
  EXPECT_EQ(vecshow({"-f", "-c"}, kTwoClassVectors).out, "0\n1\n");
  EXPECT_EQ(vecshow({"-f", "-l"}, labelled).out, "rest\n\n");
}

TEST(Vecshow, UfvWritesRawFloats) {
  ProcResult r = vecshow({"--ufv"}, kTwoClassVectors);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, floats({1.5f, 0.1f, -2.0f, 1, 2, 3}));
  EXPECT_EQ(vecshow({"-u"}, fv_from_text("seq type=int32\n5 -6\nseq type=ldouble\n0.25\n")).out,
            floats({5, -6, 0.25f}));
}

TEST(Vecshow, LfvWritesLabelFieldAndFloats) {
  std::string labelled = fv_from_text(
      "seq type=double labelling=label\n"
      "1 label=rest\n"
      "2 label=abcdefghijklmnop\n"
      "3 nolabel\n"
      "4 label=abcdefghijk\n"
      "5 label=abcdefghijkl\n");
  ProcResult r = vecshow({"--lfv"}, labelled);
  EXPECT_EQ(r.status, 0);
  std::string expect = std::string("rest\0\0\0\0\0\0\0\0", 12) + floats({1}) +
                       std::string("abcdefghijk\0", 12) + floats({2}) +
                       std::string(12, '\0') + floats({3}) +
                       std::string("abcdefghijk\0", 12) + floats({4}) +
                       std::string("abcdefghijk\0", 12) + floats({5});
  EXPECT_EQ(r.out, expect);
  EXPECT_EQ(r.err,
            "vecshow lfv mode warning: could not squeeze label abcdefghijklmnop into 12 "
            "chars -> class name is abcdefghijk, which might be ambiguous.\n"
            "vecshow lfv mode warning: could not squeeze label abcdefghijkl into 12 "
            "chars -> class name is abcdefghijk, which might be ambiguous.\n");

  r = vecshow({"-C"}, fv_from_text("seq labelling=class\n1.5 2 class=-2147483648\n0 0 class=42\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("-2147483648\0", 12) + floats({1.5f, 2}) +
                       std::string("42\0\0\0\0\0\0\0\0\0\0", 12) + floats({0, 0}));

  r = vecshow({"--lfv"}, fv_from_text("seq\n1 2\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow lfv mode error: these vectors contain no label information!\n");
}

TEST(Vecshow, SvmLightClassification) {
  std::string three = fv_from_text(
      "seq type=float labelling=class\n"
      "0.5 -1 class=0\n"
      "2 3 class=1\n"
      "4 0.1 class=0\n");
  ProcResult r = vecshow({"--svm_light"}, three);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "+1 1:0.5 2:-1\n-1 1:2 2:3\n+1 1:4 2:0.1\n");
  EXPECT_EQ(vecshow({"-S"}, kTwoClassVectors).out, "+1 1:1.5 2:0.1 3:-2\n-1 1:1 2:2 3:3\n");

  r = vecshow({"-S"}, fv_from_text("seq labelling=class\n1 class=0\n2 class=2\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "+1 1:1\n");
  EXPECT_EQ(r.err, "vecshow error: only class 0 and 1 allowed in svm_light mode!\n");
  r = vecshow({"-S"}, fv_from_text("seq labelling=label\n1 label=x\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow error: need class numbers for svm_light output!\n");
}

TEST(Vecshow, SvmLightRegression) {
  std::string v = fv_from_text("seq type=double\n1 2 3\n-0.5 7 8.25\n");
  ProcResult r = vecshow({"--svm_light_regression_last"}, v);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "3 1:1 2:2\n8.25 1:-0.5 2:7\n");
  EXPECT_EQ(vecshow({"-R"}, v).out, "3 1:1 2:2\n8.25 1:-0.5 2:7\n");
  r = vecshow({"--svm_light_regression_first"}, v);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1 1:2 2:3\n-0.5 1:7 2:8.25\n");
  EXPECT_EQ(vecshow({"-r"}, fv_from_text("seq type=int32 labelling=class adata=1\n4 5 class=3 adata=00\n")).out,
            "4 1:5\n");
  r = vecshow({"-r"}, fv_from_text("seq\n1\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow error: options --svm_light_regression* only work with dim > 1!\n");
}

TEST(Vecshow, NamesSeqdataNExpectedAdata) {
  std::string two_a = fv_from_text(
      "seq name=a seqdata=410042 adata=2\n1 adata=5859\n"
      "seq name=a\n2\n3\n"
      "seq dim=1\n");
  ProcResult r = vecshow({"--names"}, two_a);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "a\na\nunnamed_2\n");
  EXPECT_EQ(vecshow({"-n", "--number"}, two_a).out, "a_0\na_1\nunnamed_2\n");
  // The names win over a vector mode.
  EXPECT_EQ(vecshow({"-n", "-f"}, two_a).out, "a\na\nunnamed_2\n");

  r = vecshow({"--seqdata"}, two_a);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("A\0B", 3));
  EXPECT_EQ(r.err,
            "vecshow warning: additional sequence data has length 0 in sequence 1 named a!\n"
            "vecshow warning: additional sequence data has length 0 in sequence 2 named unnamed_2!\n");
  EXPECT_EQ(vecshow({"-s"}, two_a).out, std::string("A\0B", 3));

  r = vecshow({"--n_expected"}, two_a);
  EXPECT_EQ(r.out, "1\n2\n0\n");
  EXPECT_EQ(vecshow({"-N"}, fv_from_text("seq n_expected=-1\n")).out, "-1\n");

  r = vecshow({"--adata"}, two_a);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "XY");
  EXPECT_EQ(r.err,
            "vecshow warning: additional data per feature vector has zero length in segment 1 named a!\n"
            "vecshow warning: additional data per feature vector has zero length in segment 2 named unnamed_2!\n");
  EXPECT_EQ(vecshow({"-a"}, two_a).out, "XY");
}

TEST(Vecshow, DirWritesOneFilePerSequence) {
  TempDir dir;
  std::string input = fv_from_text(
      "seq name=a\n1\n"
      "seq name=a\n2\n"
      "seq\n3\n"
      "seq name=b\n4\n");
  ProcResult r = vecshow({"--dir=" + dir.path(), "-f"}, input);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vecshow error: file " + dir.file("a") +
                       " already exists, I will overwrite it. Use option --number to "
                       "disambiguate names.\n");
  EXPECT_EQ(read_file(dir.file("a")), "2\n");
  EXPECT_EQ(read_file(dir.file("unnamed_2")), "3\n");
  EXPECT_EQ(read_file(dir.file("b")), "4\n");

  TempDir numbered;
  r = vecshow({"-d", numbered.path(), "--number", "-u"}, input);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(numbered.file("a_0")), floats({1}));
  EXPECT_EQ(read_file(numbered.file("a_1")), floats({2}));
  EXPECT_EQ(read_file(numbered.file("unnamed_2")), floats({3}));
  EXPECT_EQ(read_file(numbered.file("b_3")), floats({4}));

  // The default description goes into the files too.
  TempDir described;
  r = vecshow({"-d", described.path()}, kTwoClassVectors);
  EXPECT_EQ(read_file(described.file("walk")),
            kHeaderWalk + "1.5 0.1 -2\n- class = 0\n1 2 3\n- class = 1\n");

  r = vecshow({"--dir=" + dir.path() + "/missing", "-f"}, input);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, dir.path() + "/missing/a: No such file or directory\n");
}

TEST(Vecshow, DirKeepsUnsafeNamesInside) {
  TempDir outer;
  std::string inside = outer.file("inside");
  ASSERT_EQ(mkdir(inside.c_str(), 0755), 0);
  std::string input = fv_from_text(
      "seq name=../escape\n1\n"
      "seq name=a/b\n2\n"
      "seq name=.\n3\n"
      "seq name=..\n4\n"
      "seq name=/abs\n5\n");
  ProcResult r = vecshow({"--dir", inside, "-f"}, input);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(inside + "/.._escape"), "1\n");
  EXPECT_EQ(read_file(inside + "/a_b"), "2\n");
  EXPECT_EQ(read_file(inside + "/_."), "3\n");
  EXPECT_EQ(read_file(inside + "/_.."), "4\n");
  EXPECT_EQ(read_file(inside + "/_abs"), "5\n");
  struct stat sb;
  EXPECT_NE(stat(outer.file("escape").c_str(), &sb), 0);
  EXPECT_NE(stat((inside + "/a").c_str(), &sb), 0);

  r = vecshow({"--dir", inside, "--number", "-f"}, fv_from_text("seq name=..\n6\n"));
  EXPECT_EQ(read_file(inside + "/_.._0"), "6\n");
}

TEST(Vecshow, ListFile) {
  TempDir dir;
  std::string input = fv_from_text("seq name=a\n1\nseq\nseq name=a/b\n");
  ProcResult r = vecshow({"--list=" + dir.file("list"), "-n"}, input);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir.file("list")), "a\nunnamed_1\na/b\n");
  EXPECT_EQ(r.out, "a\nunnamed_1\na/b\n");
  r = vecshow({"-L", dir.file("list2"), "--number", "-f"}, input);
  EXPECT_EQ(read_file(dir.file("list2")), "a_0\nunnamed_1\na/b_2\n");
  EXPECT_EQ(r.out, "1\n");

  r = vecshow({"--list", dir.file("no/such/list")}, input);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, dir.file("no/such/list") + ": No such file or directory\n");
  EXPECT_EQ(r.out, "");
}

TEST(Vecshow, OptionsAndStartUpMessages) {
  ProcResult r = vecshow({"--help"}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  for (const char *line :
       {"vecshow - read .fv files from STDIN and print selected parts.\n",
        "usage: vecshow [OPTIONS] < .fv-file \n", "OPTIONS:\n", "Display this help.",
        "Flush stdout after NUM vectors", "Output only labels.", "Output only class numbers.",
        "Output only features.", "Output ufv-format (i.e., no header, raw floats, no label)",
        "Output lfv-format (i.e., no header, raw floats, and a string of NO_OF_LABEL_CHARS "
        "(12) bytes length for the label)",
        "svm_light format for classification", "interpreting the first feature as target value",
        "interpreting the last feature as target value", "Output only additional data.",
        "Output only additional sequence data.", "Output only n_expected (for each sequence).",
        "Output only the sequence names in the .fv file",
        "Output one file for each sequence, into directory DIR",
        "Output the names of the sequences into file LIST",
        "When printing out the name of a sequence, append an underscore and the number of "
        "the sequence. This can be used to disambiguate identically named sequences.",
        "a \"/\" in a name becomes \"_\"",
        "If used without options, everything is printed out, in a format that will be "
        "subject to change in future, so don't rely on that in automatic processing.\n"})
    EXPECT_NE(r.err.find(line), std::string::npos) << line;
  EXPECT_EQ(vecshow({"-h"}, "").err, r.err);

  r = vecshow({"--verbose", "-f", "x", "y"}, kTwoClassVectors);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "verbose flag is set\nnon-option ARGV-elements: x y \n");
  EXPECT_EQ(r.out, "1.5 0.1 -2\n1 2 3\n");

  r = vecshow({"--bogus"}, kTwoClassVectors);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("vecshow error: unknown option or missing value; see vecshow --help."),
            std::string::npos);
  EXPECT_EQ(vecshow({"--dir"}, "").status, 1);

  r = vecshow({}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vecshow warning: zero length input.\n");
}

TEST(Vecshow, DimensionChangeAndReaderErrors) {
  ProcResult r = vecshow({"-f"}, fv_from_text("seq name=a\n1 2\nseq\n3\nseq dim=0 n_expected=0\nseq name=c\n4 5\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1 2\n3\n4 5\n");
  EXPECT_EQ(r.err,
            "vecshow: warning: dimension changed from 2 to 1 in sequence 1 named unnamed_1.\n"
            "vecshow: warning: dimension changed from 1 to 0 in sequence 2 named unnamed_2.\n");

  std::string cut = kTwoClassVectors.substr(0, kTwoClassVectors.size() - 5);
  r = vecshow({"-f"}, cut);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "1.5 0.1 -2\n");
  EXPECT_EQ(r.err, "fv_read error: unexpected end of file when reading features\n");

  r = vecshow({}, "garbage, not a stream");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("fv_sequence_init_from_header error: this is no .fv file"),
            std::string::npos);
}

TEST(Vecshow, OpenEndedSequenceRunsToTheEndOfInput) {
  std::string online = fv_from_text("seq name=live n_expected=-1\n1 2\n3 4\n5 6\n");
  ProcResult r = vecshow({"-f"}, online);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1 2\n3 4\n5 6\n");
  EXPECT_EQ(r.err, "");
  r = vecshow({"-f"}, online.substr(0, online.size() - 1));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "fv_read error: unexpected end of file when reading features\n");
  r = vecshow({"-f"}, fv_from_text("seq n_expected=-1 dim=0\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow error: open-ended sequence 0 named unnamed_0 has empty vector records!\n");
}

TEST(Vecshow, WriteErrorsAreReported) {
  std::string bin = testsupport::bin_path("vecshow");
  std::string big = "seq\n";
  for (int i = 0; i < 5000; i++) big += "1 2 3\n";
  ProcResult r = testsupport::run("/bin/sh", {"-c", "exec '" + bin + "' -u > /dev/full"},
                                  fv_from_text(big));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow error (writing floats): No space left on device\n");
  // Dimension 0: the label fields are all that lfv writes.
  std::string labels = "seq labelling=class dim=0\n";
  for (int i = 0; i < 2000; i++) labels += "class=7\n";
  r = testsupport::run("/bin/sh", {"-c", "exec '" + bin + "' -C > /dev/full"},
                       fv_from_text(labels));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow error (writing label): No space left on device\n");
  std::string adata = "seq dim=0 adata=3000\n";
  std::string hex;
  for (int i = 0; i < 3000; i++) hex += "41";
  adata += "adata=" + hex + "\nadata=" + hex + "\n";
  r = testsupport::run("/bin/sh", {"-c", "exec '" + bin + "' -a > /dev/full"},
                       fv_from_text(adata));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow: No space left on device\n");
  r = testsupport::run("/bin/sh", {"-c", "exec '" + bin + "' -f > /dev/full"},
                       fv_from_text("seq\n1\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vecshow: No space left on device\n");
}

// --flush: with standard output on a pipe, the vectors of an open-ended
// stream arrive while the input is still open only when flushed.
namespace {

// Starts vecshow with `args`, writes `input` without closing standard input
// and returns what standard output delivers within `wait_ms`; once `expect`
// bytes have arrived it waits only 200 ms more.
std::string output_while_input_open(const std::vector<std::string> &args,
                                    const std::string &input, int wait_ms,
                                    size_t expect) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return "<pipe failed>";
  std::string bin = testsupport::bin_path("vecshow");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    std::vector<char *> argv{const_cast<char *>(bin.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (write(in[1], input.data(), input.size()) != (ssize_t)input.size()) return "<write failed>";
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) break;
    char buf[256];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, (size_t)n);
    if (got.size() >= expect) {
      auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
      if (soon < deadline) deadline = soon;
    }
  }
  close(in[1]);
  close(out[0]);
  int status;
  waitpid(pid, &status, 0);
  return got;
}

}  // namespace

TEST(Vecshow, FlushAfterEveryNumVectors) {
  std::string online = fv_from_text("seq n_expected=-1\n1\n2\n3\n");
  EXPECT_EQ(output_while_input_open({"-f", "--flush=1"}, online, 3000, 6), "1\n2\n3\n");
  EXPECT_EQ(output_while_input_open({"-f", "-H", "2"}, online, 3000, 4), "1\n2\n");
  EXPECT_EQ(output_while_input_open({"-f"}, online, 300, 1), "");
}
