// vecshow on the command line: every mode and export format, per-sequence
// files, the name list, flushing and the messages.
#include <sys/stat.h>
#include <unistd.h>

#include "testsupport.h"

using testsupport::fv_from_text;
using testsupport::ProcResult;
using testsupport::read_file;
using testsupport::TempDir;

namespace {

ProcResult vecshow(const std::vector<std::string> &args, const std::string &input) {
  return testsupport::run(testsupport::bin_path("vecshow"), args, input);
}

std::string floats(std::initializer_list<float> values) {
  std::string out;
  for (float v : values) out += testsupport::le_float(v);
  return out;
}

const std::string kWalk = fv_from_text("seq name=walk type=double labelling=class\n1.5 0.1 -2 class=0\n1 2 3 class=1\n");
const std::string kWalkText = "feature vector sequence\n- file format version: 10000 (means 1.0.0)\n- name: \"walk\"\n"
                              "- n_expected: 2\n- n (contained): 0\n- length of additional sequence data: 0\n"
                              "- dimension of feature vectors: 3\n- size of feature data type: 8 bytes\n"
                              "- data type: 1 (i.e. double)\n- labelling? class numbers\n"
                              "- length of additional data per vector: 0\n1.5 0.1 -2\n- class = 0\n1 2 3\n- class = 1\n";
const std::string kLabelled = fv_from_text("seq name=a type=float labelling=label\n0.1 2 label=rest\n3 -4.5 nolabel\n");
const std::string kTwoA = fv_from_text("seq name=a seqdata=410042 adata=2\n1 adata=5859\nseq name=a\n2\n3\nseq dim=1\n");

// vecshow with `args` on `input` must end with `status` and write exactly
// `out` and `err`; with `err_part`, only the status and `err` within
// standard error count.
struct Case {
  std::vector<std::string> args;
  std::string input;
  int status;
  std::string out, err;
  bool err_part = false;
};

void check(const std::vector<Case> &cases) {
  for (const Case &c : cases) {
    std::string shown;
    for (const auto &a : c.args) shown += a + " ";
    const ProcResult r = vecshow(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << shown << r.err;
    EXPECT_TRUE(c.err_part || r.out == c.out) << shown << r.out;
    EXPECT_TRUE(c.err_part ? r.err.find(c.err) != std::string::npos : r.err == c.err) << shown << r.err;
  }
}

TEST(Vecshow, DescriptionsSelectedPartsAndExportFormats) {
  const std::string v = "vecshow warning: ";
  const std::string squeeze = "vecshow lfv mode warning: could not squeeze label abcdefghijk";
  const std::string e = "vecshow error: ";
  const std::string regress = fv_from_text("seq type=double\n1 2 3\n-0.5 7 8.25\n");
  check({
      {{}, kWalk, 0, kWalkText, ""},
      {{},
       fv_from_text("seq type=int32 labelling=label adata=3 seqdata=41090a00\n7 -8 label=rest adata=41200a\n"
                    "9 10 nolabel adata=000102\n"),
       0,
       "feature vector sequence\n- file format version: 10000 (means 1.0.0)\n- name: \"\"\n- n_expected: 2\n"
       "- n (contained): 0\n- length of additional sequence data: 4\n- additional data:\nA\t\n.\n"
       "- dimension of feature vectors: 2\n- size of feature data type: 4 bytes\n- data type: 3 (i.e. int32_t)\n"
       "- labelling? label strings\n- length of additional data per vector: 3\n"
       "7 -8\n- label = \"rest\"\n- additional data:\nA .\n9 10\n- label = \"\"\n- additional data:\n...\n",
       ""},
      {{"--labels"}, kLabelled, 0, "rest\n\n", ""},
      {{"--features"}, kLabelled, 0, "0.1 2\n3 -4.5\n", ""},
      {{"--classes"}, kWalk, 0, "0\n1\n", ""},
      {{"--classes"}, kLabelled, 1, "", "vecshow: sequence 0 named a has no class numbers!\n"},
      {{"--labels"}, fv_from_text("seq\n1\nseq labelling=class\n1 class=2\n"), 1, "",
       "vecshow: sequence 0 named unnamed_0 has no label strings!\n"},
      // Precedence: classes before labels before features (and the short spellings).
      {{"-f", "-c"}, kWalk, 0, "0\n1\n", ""},
      {{"-f", "-l"}, kLabelled, 0, "rest\n\n", ""},
      {{"--names"}, kTwoA, 0, "a\na\nunnamed_2\n", ""},
      {{"-n", "--number"}, kTwoA, 0, "a_0\na_1\nunnamed_2\n", ""},
      {{"-n", "-f"}, kTwoA, 0, "a\na\nunnamed_2\n", ""},  // the names win over a vector mode
      {{"--seqdata"}, kTwoA, 0, std::string("A\0B", 3),
       v + "additional sequence data has length 0 in sequence 1 named a!\n" + v +
           "additional sequence data has length 0 in sequence 2 named unnamed_2!\n"},
      {{"--n_expected"}, kTwoA, 0, "1\n2\n0\n", ""},
      {{"-N"}, fv_from_text("seq n_expected=-1\n"), 1, "-1\n",
       "vecshow error: open-ended sequence 0 named unnamed_0 has empty vector records!\n"},
      {{"--adata"}, kTwoA, 0, "XY",
       v + "additional data per feature vector has zero length in segment 1 named a!\n" + v +
           "additional data per feature vector has zero length in segment 2 named unnamed_2!\n"},
      {{"--ufv"}, kWalk, 0, floats({1.5f, 0.1f, -2.0f, 1, 2, 3}), ""},
      {{"-u"}, fv_from_text("seq type=int32\n5 -6\nseq type=ldouble\n0.25\n"), 0, floats({5, -6, 0.25f}),
       "vecshow: warning: dimension changed from 2 to 1 in sequence 1 named unnamed_1.\n"},
      // A label field of 12 bytes before the floats, cut where it must be.
      {{"--lfv"},
       fv_from_text("seq type=double labelling=label\n1 label=rest\n2 label=abcdefghijklmnop\n3 nolabel\n"
                    "4 label=abcdefghijk\n5 label=abcdefghijkl\n"),
       0,
       std::string("rest\0\0\0\0\0\0\0\0", 12) + floats({1}) + std::string("abcdefghijk\0", 12) + floats({2}) +
           std::string(12, '\0') + floats({3}) + std::string("abcdefghijk\0", 12) + floats({4}) +
           std::string("abcdefghijk\0", 12) + floats({5}),
       squeeze + "lmnop into 12 chars -> class name is abcdefghijk, which might be ambiguous.\n" + squeeze +
           "l into 12 chars -> class name is abcdefghijk, which might be ambiguous.\n"},
      {{"-C"}, fv_from_text("seq labelling=class\n1.5 2 class=-2147483648\n0 0 class=42\n"), 0,
       std::string("-2147483648\0", 12) + floats({1.5f, 2}) + std::string("42\0\0\0\0\0\0\0\0\0\0", 12) +
           floats({0, 0}),
       ""},
      {{"--lfv"}, fv_from_text("seq\n1 2\n"), 1, "", "vecshow lfv mode error: these vectors contain no label information!\n"},
      {{"--svm_light"}, fv_from_text("seq type=float labelling=class\n0.5 -1 class=0\n2 3 class=1\n4 0.1 class=0\n"),
       0, "+1 1:0.5 2:-1\n-1 1:2 2:3\n+1 1:4 2:0.1\n", ""},
      {{"-S"}, kWalk, 0, "+1 1:1.5 2:0.1 3:-2\n-1 1:1 2:2 3:3\n", ""},
      {{"-S"}, fv_from_text("seq labelling=class\n1 class=0\n2 class=2\n"), 1, "+1 1:1\n",
       e + "only class 0 and 1 allowed in svm_light mode!\n"},
      {{"-S"}, fv_from_text("seq labelling=label\n1 label=x\n"), 1, "", e + "need class numbers for svm_light output!\n"},
      {{"--svm_light_regression_last"}, regress, 0, "3 1:1 2:2\n8.25 1:-0.5 2:7\n", ""},
      {{"-R"}, regress, 0, "3 1:1 2:2\n8.25 1:-0.5 2:7\n", ""},
      {{"--svm_light_regression_first"}, regress, 0, "1 1:2 2:3\n-0.5 1:7 2:8.25\n", ""},
      {{"-r"}, fv_from_text("seq type=int32 labelling=class adata=1\n4 5 class=3 adata=00\n"), 0, "4 1:5\n", ""},
      {{"-r"}, fv_from_text("seq\n1\n"), 1, "", e + "options --svm_light_regression* only work with dim > 1!\n"},
  });
  EXPECT_EQ(vecshow({"-s"}, kTwoA).out, std::string("A\0B", 3));
  EXPECT_EQ(vecshow({"-a"}, kTwoA).out, "XY");
}

TEST(Vecshow, DirWritesOneFilePerSequenceWithSafeNames) {
  TempDir dir, numbered, described, outer;
  const std::string input = fv_from_text("seq name=a\n1\nseq name=a\n2\nseq\n3\nseq name=b\n4\n");
  check({{{"--dir=" + dir.path(), "-f"}, input, 0, "",
          "vecshow error: file " + dir.file("a") +
              " already exists, I will overwrite it. Use option --number to disambiguate names.\n"},
         {{"-d", numbered.path(), "--number", "-u"}, input, 0, "", ""},
         {{"-d", described.path()}, kWalk, 0, "", ""},  // the default description goes into the files too
         {{"--dir=" + dir.path() + "/missing", "-f"}, input, 1, "", dir.path() + "/missing/a: No such file or directory\n"}});
  const std::pair<std::string, std::string> files[] = {
      {dir.file("a"), "2\n"}, {dir.file("unnamed_2"), "3\n"}, {dir.file("b"), "4\n"},
      {numbered.file("a_0"), floats({1})}, {numbered.file("a_1"), floats({2})},
      {numbered.file("unnamed_2"), floats({3})}, {numbered.file("b_3"), floats({4})}, {described.file("walk"), kWalkText}};
  for (const auto &[path, content] : files) EXPECT_EQ(read_file(path), content) << path;
  // Names that would leave the folder stay inside it.
  const std::string inside = outer.file("inside");
  ASSERT_EQ(mkdir(inside.c_str(), 0755), 0);
  ProcResult r = vecshow({"--dir", inside, "-f"}, fv_from_text("seq name=../escape\n1\nseq name=a/b\n2\nseq name=.\n3\n"
                                                                "seq name=..\n4\nseq name=/abs\n5\n"));
  EXPECT_EQ(r.status, 0) << r.err;
  vecshow({"--dir", inside, "--number", "-f"}, fv_from_text("seq name=..\n6\n"));
  const std::pair<const char *, const char *> safe[] = {{"/.._escape", "1\n"}, {"/a_b", "2\n"}, {"/_.", "3\n"},
                                                        {"/_..", "4\n"}, {"/_abs", "5\n"}, {"/_.._0", "6\n"}};
  for (const auto &[name, content] : safe) EXPECT_EQ(read_file(inside + name), content) << name;
}

TEST(Vecshow, ListFile) {
  TempDir dir;
  const std::string input = fv_from_text("seq name=a\n1\nseq\nseq name=a/b\n");
  const std::string changed = "vecshow: warning: dimension changed from 1 to 0 in sequence 1 named unnamed_1.\n";
  check({{{"--list=" + dir.file("list"), "-n"}, input, 0, "a\nunnamed_1\na/b\n", changed},
         {{"-L", dir.file("list2"), "--number", "-f"}, input, 0, "1\n", changed},
         {{"--list", dir.file("no/such/list")}, input, 1, "", dir.file("no/such/list") + ": No such file or directory\n"}});
  EXPECT_EQ(read_file(dir.file("list")), "a\nunnamed_1\na/b\n");
  EXPECT_EQ(read_file(dir.file("list2")), "a_0\nunnamed_1\na/b_2\n");
}

TEST(Vecshow, OptionsStartUpMessagesAndReaderErrors) {
  const ProcResult r = vecshow({"--help"}, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  for (const char *line : {"vecshow - read .fv files from STDIN and print selected parts.\n",
                           "usage: vecshow [OPTIONS] < .fv-file \n", "a \"/\" in a name becomes \"_\"",
                           "Output ufv-format (i.e., no header, raw floats, no label)"})
    EXPECT_NE(r.err.find(line), std::string::npos) << line;
  EXPECT_EQ(vecshow({"-h"}, "").err, r.err);
  const std::string cut = kWalk.substr(0, kWalk.size() - 5), online = "seq name=live n_expected=-1\n1 2\n3 4\n5 6\n";
  const std::string eof = "fv_read error: unexpected end of file when reading features\n";
  check({
      {{"--verbose", "-f", "x", "y"}, kWalk, 0, "1.5 0.1 -2\n1 2 3\n",
       "verbose flag is set\nnon-option ARGV-elements: x y \n"},
      {{}, "", 0, "", "vecshow warning: zero length input.\n"},
      {{"-f"}, fv_from_text("seq name=a\n1 2\nseq\n3\nseq dim=0 n_expected=0\nseq name=c\n4 5\n"), 0, "1 2\n3\n4 5\n",
       "vecshow: warning: dimension changed from 2 to 1 in sequence 1 named unnamed_1.\n"
       "vecshow: warning: dimension changed from 1 to 0 in sequence 2 named unnamed_2.\n"},
      {{"-f"}, cut, 1, "1.5 0.1 -2\n", eof},
      // An open-ended sequence runs to the end of input.
      {{"-f"}, fv_from_text(online), 0, "1 2\n3 4\n5 6\n", ""},
      {{"-f"}, fv_from_text(online).substr(0, fv_from_text(online).size() - 1), 1, "1 2\n3 4\n", eof},
      {{"--bogus"}, kWalk, 1, "", "vecshow error: unknown option or missing value; see vecshow --help.", true},
      {{}, "garbage, not a stream", 1, "", "fv_sequence_init_from_header error: this is no .fv file", true},
  });
}

TEST(Vecshow, WriteErrorsAreReported) {
  std::string big = "seq\n", labels = "seq labelling=class dim=0\n", hex;
  for (int i = 0; i < 5000; i++) big += "1 2 3\n";
  for (int i = 0; i < 2000; i++) labels += "class=7\n";  // dimension 0: lfv writes only the label fields
  for (int i = 0; i < 3000; i++) hex += "41";
  const std::string adata = "seq dim=0 adata=3000\nadata=" + hex + "\nadata=" + hex + "\n";
  const struct {
    std::string mode, stream, err;
  } cases[] = {{"-u", big, "vecshow error (writing floats): No space left on device\n"},
               {"-C", labels, "vecshow error (writing label): No space left on device\n"},
               {"-a", adata, "vecshow: No space left on device\n"},
               {"-f", "seq\n1\n", "vecshow: No space left on device\n"}};
  for (const auto &c : cases) {
    const ProcResult r = testsupport::run(
        "/bin/sh", {"-c", "exec '" + testsupport::bin_path("vecshow") + "' " + c.mode + " > /dev/full"},
        fv_from_text(c.stream));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
  }
}

// --flush: with standard output not a terminal, the vectors of an open-ended
// stream arrive while the input is still open only when flushed.
TEST(Vecshow, FlushAfterEveryNumVectors) {
  const std::string online = fv_from_text("seq n_expected=-1\n1\n2\n3\n");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-f", "--flush=1"}, "1\n2\n3\n"}, {{"-f", "-H", "2"}, "1\n2\n"}, {{"-f"}, ""}};
  for (const auto &[args, out] : cases) {
    testsupport::Background v(testsupport::bin_path("vecshow"), args, {}, true);
    v.write(online);
    EXPECT_TRUE(out.empty() || v.wait_for(out, 3)) << args.back();
    usleep(300000);
    EXPECT_EQ(v.out(), out) << args.back();
    v.close_input();
    EXPECT_EQ(v.wait(10), 0);
    EXPECT_EQ(v.out(), "1\n2\n3\n");
  }
}

}  // namespace
