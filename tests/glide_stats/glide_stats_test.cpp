// glide_stats as a program: options, messages, the stream loop and the
// functions' values against brute-force references.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fv.h"
#include "testsupport.h"

using testsupport::fv_from_text;
using testsupport::ProcResult;

namespace {

ProcResult glide(const std::vector<std::string> &args,
                 const std::string &input = "") {
  return testsupport::run(testsupport::bin_path("glide_stats"), args, input);
}

// One sequence of a .fv stream, decoded with the fv library.
struct Seq {
  std::string name;
  int32_t n_expected = 0;
  int datatype = 0, labelling = 0, dim = 0, adata_len = 0;
  std::vector<std::vector<double>> rows;
  std::vector<std::string> labels;  // "<null>" for an absent label
  std::vector<int32_t> classes;
  std::vector<std::string> adata;
};

std::vector<Seq> decode(const std::string &bytes) {
  std::vector<Seq> out;
  if (bytes.empty()) return out;
  FILE *f = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
  while (fv_sequence *s = fv_sequence_create_from_file_one(f)) {
    Seq q;
    q.name = s->name ? s->name : "";
    q.n_expected = s->n_expected;
    q.datatype = s->info->datatype;
    q.labelling = s->info->labelling;
    q.dim = s->info->dim;
    q.adata_len = s->info->adata_len;
    for (int32_t i = 0; i < s->n; ++i) {
      std::vector<double> v(q.dim);
      fv_to_double(s->info, s->vectors[i], v.data());
      q.rows.push_back(v);
      q.labels.push_back(s->vectors[i]->label ? s->vectors[i]->label : "<null>");
      q.classes.push_back(s->vectors[i]->class_number);
      q.adata.push_back(std::string(static_cast<char *>(s->vectors[i]->adata),
                                    q.adata_len));
    }
    out.push_back(q);
    fv_sequence_delete(s);
  }
  std::fclose(f);
  return out;
}

// A text description of a one-dimensional stream of the given values.
std::string column(const std::vector<double> &x, const std::string &seq_line) {
  std::string text = seq_line + "\n";
  char buf[64];
  for (double v : x) {
    std::snprintf(buf, sizeof buf, "%.17g\n", v);
    text += buf;
  }
  return text;
}

std::vector<double> random_values(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> d(-3, 3);
  std::vector<double> x(n);
  for (auto &v : x) v = d(gen);
  return x;
}

std::vector<double> first_column(const Seq &s) {
  std::vector<double> c;
  for (const auto &r : s.rows) c.push_back(r[0]);
  return c;
}

std::vector<double> window(const std::vector<double> &x, size_t t, size_t w) {
  const size_t len = std::min(t + 1, w);
  return std::vector<double>(x.begin() + (t + 1 - len), x.begin() + t + 1);
}

double mean_of(const std::vector<double> &w) {
  double s = 0;
  for (double v : w) s += v;
  return s / w.size();
}

size_t count(const std::string &haystack, const std::string &needle) {
  size_t n = 0;
  for (size_t p = haystack.find(needle); p != std::string::npos;
       p = haystack.find(needle, p + 1))
    ++n;
  return n;
}

// ---------------------------------------------------------------------------
// Command line

TEST(GlideStatsOptions, StartUpMessagesInOrder) {
  const auto r = glide({"--verbose", "-f", "mean", "-w", "10", "extra1", "extra2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "verbose flag is set.\n"
            "non-option ARGV-elements: extra1 extra2 \n"
            "using default samplerate 2048.000000 Hz.\n"
            "width = 10 samples -> alpha = 0.653590 = 1 - 0.34641\n"
            "glide_stats: size = 10\n"
            "glide_stats warning: zero length input.\n");
  EXPECT_EQ(r.out, "");
}

TEST(GlideStatsOptions, LongShortAttachedAndAbbreviatedForms) {
  const std::string in = fv_from_text(column({1, 2, 3, 4}, "seq type=double"));
  const auto a = glide({"--function=mean", "--width=2"}, in);
  const auto b = glide({"-f", "mean", "-w", "2"}, in);
  const auto c = glide({"-fmean", "-w2"}, in);
  const auto d = glide({"--func", "mean", "--wid=2"}, in);
  const auto e = glide({"--width=7", "-f", "max", "--width=2"}, in);  // last wins
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(b.out, a.out);
  EXPECT_EQ(c.out, a.out);
  EXPECT_EQ(d.out, a.out);
  EXPECT_EQ(decode(a.out)[0].rows,
            (std::vector<std::vector<double>>{{1}, {1.5}, {2.5}, {3.5}}));
  EXPECT_EQ(e.status, 0);
  EXPECT_NE(e.err.find("glide_stats: size = 2\n"), std::string::npos);
}

TEST(GlideStatsOptions, RefusedFunctionsAndMissingOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "glide_stats: please give option --function!\n"},
      {{"-w", "3"}, "glide_stats: please give option --function!\n"},
      {{"--function=nosuch"}, "glide_stats error: unknown function nosuch!\n"},
      {{"--function=sliding_median2", "-w", "3"},
       "glide_stats error: unknown function sliding_median2!\n"},
      {{"--function=Mean", "-w", "3"}, "glide_stats error: unknown function Mean!\n"},
      {{"--function=mean"}, "glide_stats: please give option --width!\n"},
      {{"--function=regression2", "-w", "5"},
       "glide_stats error: function regression2 is not available (the second "
       "regression variant is unfinished); use --function=regression!\n"},
  };
  for (const auto &c : cases) {
    const auto r = glide(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_FALSE(r.signaled);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(GlideStatsOptions, SettingsTheLibraryCannotWorkWithAreRefused) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-f", "mean", "-w", "0"},
       "glide_stats error: the width must be a positive number of samples (got 0)!\n"},
      {{"-f", "sliding_mean", "-w", "-5"},
       "glide_stats error: the width must be a positive number of samples (got -5)!\n"},
      {{"-f", "mean", "-w", "3000000000"},
       "glide_stats error: width 3000000000 is out of range (at most 2147483647 samples)!\n"},
      {{"-f", "mean", "-w", "-3000000000"},
       "glide_stats error: width -3000000000 is out of range (at most 2147483647 samples)!\n"},
      {{"-f", "max", "-w", "8", "-u", "-1"},
       "glide_stats error: --updates must not be negative (got -1)!\n"},
      {{"-f", "amplitude", "-w", "8", "--updates=-3"},
       "glide_stats error: --updates must not be negative (got -3)!\n"},
      {{"-f", "pseudomax", "-w", "8", "-e", "0"},
       "glide_stats error: function pseudomax needs a finite, non-zero --exponent (got 0)!\n"},
      {{"-f", "sliding_mean_protect", "-w", "8", "-P", "0"},
       "glide_stats error: function sliding_mean_protect needs an --epsilon between 0 and 1 (got 0)!\n"},
      {{"-f", "sliding_mean_protect", "-w", "8", "-P", "1"},
       "glide_stats error: function sliding_mean_protect needs an --epsilon between 0 and 1 (got 1)!\n"},
  };
  for (const auto &c : cases) {
    const auto r = glide(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_FALSE(r.signaled);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  for (const char *name : {"derivative", "derivative_symm", "derivative_smooth",
                           "regression", "absrise", "absfall", "sqrise", "sqfall"}) {
    const auto r = glide({"-f", name, "-w", "1"});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.err.find(std::string("glide_stats error: function ") + name +
                         " needs a width of at least 2 samples (got 1)!\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(glide({"-f", name, "-w", "2"}).status, 0) << name;
  }
  // Width 1 is fine where no window of size - 1 is involved.
  const auto r = glide({"-f", "mean", "-w", "1"},
                       fv_from_text(column({4, 5}, "seq type=double")));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(first_column(decode(r.out)[0]), (std::vector<double>{4, 5}));
}

TEST(GlideStatsOptions, ParserComplaintsHelpAndNumberReading) {
  auto r = glide({"--nosuchoption", "-f", "mean", "-w", "3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("unrecognized option"), std::string::npos) << r.err;
  r = glide({"-f", "mean", "-w"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("requires an argument"), std::string::npos) << r.err;

  r = glide({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("glide_stats - read .fv file and apply one of several "
                        "functions over a moving window of a certain size, on "
                        "each dimension separately. Computing time should be "
                        "independent of the width due to recursive "
                        "implementations. For indices i below the size of the "
                        "window, the value of the the function for a window of "
                        "size i will be put out.\n\nusage: glide_stats "
                        "[OPTIONS] < .fv-file > .fv-file\nOPTIONS:\n",
                        0),
            0u);
  for (const char *text :
       {"-mean\n", "-delay-any\n", "-mean-normalize (output is delayed by width/2)\n",
        "-mean-variance-normalize (subtracts mean and divides by standard "
        "deviation; output is delayed by width/2)\n",
        "-min (counterpart to '-max')\n", "-amplitude (max - min, see -max and -min)\n",
        "-pseudomax (see extra parameter --exponent)\n",
        "-pseudomedian (see extra parameter --rate)\n",
        "-sliding_mean (window size such that the standard deviation is equal "
        "to the standard deviation of a rectangular window of size 'width')\n",
        "-sliding_softderivative_new\n", "Output some information about what's going on.",
        "Flush stdout after NUM vectors", "Width of the moving window in samples.",
        "Set exponent for the 'pseudomax' function. Default: 2",
        "Set parameter rate for 'pseudomedian' function.",
        "Set number of updates (parameter k) for functions 'max' and 'min'.",
        "Floor for product_rect: abs(value) + NUM is taken to avoid "
        "division-by-zero-problems.",
        "--peak_regression_width", "-1, --hr_mf_threshold", "-2, --hr_mf_rising_factor",
        "-P, --epsilon", "-H, --flush", "--nosharp"}) {
    EXPECT_NE(r.err.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(glide({"-h"}).status, 0);

  // atoi/atof: text that is no number reads as 0, and the sample rate as a
  // whole number.
  r = glide({"-f", "mean", "-w", "4", "--samplerate=250.7", "--rate=0.5"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("rate given = 0.500000\n"), std::string::npos);
  EXPECT_NE(r.err.find("using samplerate 250.000000 Hz.\n"), std::string::npos);
  r = glide({"-f", "mean", "-w", "abc"});
  EXPECT_NE(r.err.find("got 0"), std::string::npos);
}

TEST(GlideStatsOptions, CoefficientFileErrors) {
  testsupport::TempDir dir;
  auto r = glide({"-f", "mean", "-w", "3", "--coeffs", dir.file("missing.txt")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(dir.file("missing.txt") + ": No such file or directory\n"),
            std::string::npos)
      << r.err;
  testsupport::write_file(dir.file("two.txt"), "1 2 3\n4 5 6\n");
  r = glide({"-f", "mean", "-w", "3", "-c", dir.file("two.txt")},
            fv_from_text("seq type=float\n1\n2\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("glide_stats error: when doing FIR filtering, the "
                       "coefficient matrix must contain one row per dimension "
                       "(1). Actual number of rows: 2\n"),
            std::string::npos)
      << r.err;
}

// ---------------------------------------------------------------------------
// The stream loop

TEST(GlideStatsStream, EmptyInputWarnsAndWritesNothing) {
  const auto r = glide({"-f", "stddev", "-w", "5"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("glide_stats warning: zero length input.\n"), std::string::npos);
}

TEST(GlideStatsStream, SequencesContinueTheFunctionsState) {
  const auto x = random_values(9, 31);
  std::vector<double> a(x.begin(), x.begin() + 5), b(x.begin() + 5, x.end());
  const std::string in = fv_from_text(column(a, "seq name=first type=double") +
                                      column(b, "seq name=second type=double"));
  const auto r = glide({"-f", "mean", "-w", "3"}, in);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto seqs = decode(r.out);
  ASSERT_EQ(seqs.size(), 2u);
  EXPECT_EQ(seqs[0].name, "first");
  EXPECT_EQ(seqs[0].n_expected, 5);
  EXPECT_EQ(seqs[1].name, "second");
  EXPECT_EQ(seqs[1].n_expected, 4);
  std::vector<double> got = first_column(seqs[0]);
  for (double v : first_column(seqs[1])) got.push_back(v);
  for (size_t t = 0; t < x.size(); ++t) {
    EXPECT_NEAR(got[t], mean_of(window(x, t, 3)), 1e-12) << t;
  }
}

TEST(GlideStatsStream, DimensionChangeStopsAfterTheFirstSequence) {
  const std::string in = fv_from_text(
      "seq name=one type=double\n1 2\n3 4\n5 6\nseq type=double\n1 2 3\n");
  const auto r = glide({"-f", "mean", "-w", "2"}, in);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("glide_stats: dim changed!!!\n"), std::string::npos);
  const auto seqs = decode(r.out);
  ASSERT_EQ(seqs.size(), 1u);
  EXPECT_EQ(seqs[0].rows,
            (std::vector<std::vector<double>>{{1, 2}, {2, 3}, {4, 5}}));
}

TEST(GlideStatsStream, LabelsClassesAndAdditionalDataPassThrough) {
  const std::string labelled = fv_from_text(
      "seq name=lab type=float labelling=label adata=2 seqdata=6869\n"
      "1 10 label=rest adata=0a0b\n"
      "2 20 nolabel adata=0c0d\n"
      "4 40 label=walk adata=0e0f\n");
  const std::string classes = fv_from_text(
      "seq name=cls type=float labelling=class adata=1\n"
      "1 10 class=4 adata=01\n"
      "2 20 class=-7 adata=02\n"
      "4 40 class=0 adata=03\n");
  const std::string plain =
      fv_from_text("seq name=pl type=float\n1 10\n2 20\n4 40\n");
  const auto rl = glide({"-f", "amplitude", "-w", "2", "-u", "2"}, labelled);
  const auto rc = glide({"-f", "amplitude", "-w", "2", "-u", "2"}, classes);
  const auto rp = glide({"-f", "amplitude", "-w", "2", "-u", "2"}, plain);
  ASSERT_EQ(rl.status, 0) << rl.err;
  ASSERT_EQ(rc.status, 0) << rc.err;
  const auto sl = decode(rl.out)[0], sc = decode(rc.out)[0], sp = decode(rp.out)[0];
  EXPECT_EQ(sl.labels, (std::vector<std::string>{"rest", "<null>", "walk"}));
  EXPECT_EQ(sl.adata, (std::vector<std::string>{"\x0a\x0b", "\x0c\x0d", "\x0e\x0f"}));
  EXPECT_EQ(sc.classes, (std::vector<int32_t>{4, -7, 0}));
  EXPECT_EQ(sc.adata, (std::vector<std::string>{"\x01", "\x02", "\x03"}));
  // Each dimension has its own trackers; all three layouts agree.
  const std::vector<std::vector<double>> expected{{0, 0}, {1, 10}, {2, 20}};
  EXPECT_EQ(sl.rows, expected);
  EXPECT_EQ(sc.rows, expected);
  EXPECT_EQ(sp.rows, expected);
  EXPECT_EQ(sl.labelling, FV_LABELLING_LABEL_STRING);
  // Sequence data travels with the header.
  EXPECT_NE(rl.out.find("hi"), std::string::npos);
}

TEST(GlideStatsStream, OutputKeepsTheDataTypeInt32Truncates) {
  const auto r = glide({"-f", "mean", "-w", "2"},
                       fv_from_text("seq type=int32\n1\n2\n-1\n-2\n7\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  const auto s = decode(r.out)[0];
  EXPECT_EQ(s.datatype, FV_INT32);
  // 1, 1.5, 0.5, -1.5, 2.5 truncated toward zero
  EXPECT_EQ(first_column(s), (std::vector<double>{1, 1, 0, -1, 2}));
  for (const char *type : {"float", "double", "ldouble"}) {
    const auto q = glide({"-f", "mean", "-w", "2"},
                         fv_from_text(std::string("seq type=") + type + "\n1\n2\n"));
    ASSERT_EQ(q.status, 0) << q.err;
    const auto d = decode(q.out)[0];
    EXPECT_EQ(d.datatype, std::string(type) == "float"    ? FV_FLOAT
                          : std::string(type) == "double" ? FV_DOUBLE
                                                          : FV_LDOUBLE);
    EXPECT_EQ(first_column(d), (std::vector<double>{1, 1.5}));
  }
}

TEST(GlideStatsStream, NanAndInfinityWarnOncePerSequence) {
  const std::string seq = "seq type=double\n1\nnan\nnan\ninf\n2\n";
  const auto r = glide({"-f", "delay", "-w", "1"}, fv_from_text(seq + seq));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count(r.err, "fv_to_double warning: NAN value encountered (this "
                         "warning/check will not be repeated)!\n"),
            2u);
  EXPECT_EQ(count(r.err, "fv_to_double warning: INF value encountered"), 2u);
  EXPECT_EQ(count(r.err, "double_to_fv warning: NAN value encountered"), 2u);
  EXPECT_EQ(count(r.err, "double_to_fv warning: INF value encountered"), 2u);
}

TEST(GlideStatsStream, DefectInputIsReportedAfterTheCompleteVectors) {
  std::string in = fv_from_text("seq type=float n_expected=4\n1\n2\n3\n");
  auto r = glide({"-f", "mean", "-w", "2"}, in + "\x01\x02");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("fv_read error: unexpected end of file when reading features\n"),
            std::string::npos)
      << r.err;
  // The header and three complete records were written first.
  EXPECT_EQ(r.out.size(), in.size());
  const std::string cls = fv_from_text(
      "seq type=float labelling=class adata=2 n_expected=2\n1 class=1 adata=0102\n");
  r = glide({"-f", "mean", "-w", "2"}, cls + std::string("\0\0\x80\x3f\x05", 5));
  EXPECT_NE(r.err.find("fv_read error: unexpected end of file when reading class number!\n"),
            std::string::npos)
      << r.err;
  r = glide({"-f", "mean", "-w", "2"}, cls + std::string("\0\0\x80\x3f\x05\0\0\0\x01", 9));
  EXPECT_NE(r.err.find("fv_read error: unexpected end of file when reading adata!\n"),
            std::string::npos)
      << r.err;
  r = glide({"-f", "mean", "-w", "2"},
            fv_from_text("seq type=float n_expected=-1\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("glide_stats error: online processing not yet implemented!\n"),
            std::string::npos);
  r = glide({"-f", "mean", "-w", "2"}, "not a stream at all");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("fv_sequence_init_from_header"), std::string::npos);
  const std::string lab = fv_from_text("seq type=float labelling=label n_expected=2\n1 label=ab\n");
  r = glide({"-f", "mean", "-w", "2"}, lab + std::string("\0\0\x80\x3f\x05\0ab", 8));
  EXPECT_NE(r.err.find("fv_read error: unexpected end of file when reading label!\n"),
            std::string::npos)
      << r.err;
}

// Runs glide_stats with --flush=2, writes two vectors and checks that their
// output arrives before the input ends.
TEST(GlideStatsStream, FlushMakesOutputAvailableEveryNVectors) {
  const std::string full = fv_from_text(column({1, 2, 3, 4, 5}, "seq type=float"));
  const std::string header = full.substr(0, full.size() - 5 * 4);
  int in_pipe[2], out_pipe[2];
  ASSERT_EQ(pipe(in_pipe), 0);
  ASSERT_EQ(pipe(out_pipe), 0);
  const std::string prog = testsupport::bin_path("glide_stats");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    close(in_pipe[1]);
    close(out_pipe[0]);
    execl(prog.c_str(), prog.c_str(), "-f", "mean", "-w", "1", "--flush=2",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  auto read_until = [&](size_t want, std::string &got) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
      pollfd p{out_pipe[0], POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        char buf[4096];
        ssize_t n = read(out_pipe[0], buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
      }
    }
  };
  std::string got;
  ASSERT_EQ(write(in_pipe[1], header.data(), header.size()),
            static_cast<ssize_t>(header.size()));
  ASSERT_EQ(write(in_pipe[1], full.data() + header.size(), 8), 8);  // 2 vectors
  read_until(header.size() + 8, got);
  EXPECT_EQ(got, full.substr(0, header.size() + 8));
  ASSERT_EQ(write(in_pipe[1], full.data() + header.size() + 8, 12), 12);
  close(in_pipe[1]);
  read_until(full.size(), got);
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(got, full);  // a one-sample mean gives back the input
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
