// glide_stats as a program: options, messages, help, and the stream loop;
// and hostile headers and option values against the stream programs, which
// answer with a message and status 1 (or do their work) in bounded time and
// memory, never killed by a signal.
#include <unistd.h>

#include <chrono>

#include "fv.h"
#include "glide_harness.h"
#include "testsupport.h"

using glide_harness::Args;
using glide_harness::Refusal;
using testsupport::fv_decode;
using testsupport::fv_from_text;
using testsupport::ProcResult;

namespace {

ProcResult glide(const Args &args, const std::string &input = "") {
  return testsupport::run(testsupport::bin_path("glide_stats"), args, input);
}

// A text description of a one-dimensional stream of the given values.
std::string column(const std::vector<double> &x, const std::string &seq_line = "seq type=double") {
  std::string text = seq_line + "\n";
  for (double v : x) text += std::to_string(v) + "\n";
  return text;
}

std::vector<double> first_column(const testsupport::FvSeq &s) {
  std::vector<double> c;
  for (const auto &r : s.rows) c.push_back(r[0]);
  return c;
}

TEST(GlideStatsOptions, StartUpMessagesAndTheFormsOfOptions) {
  auto r = glide({"--verbose", "-f", "mean", "-w", "10", "extra1", "extra2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "verbose flag is set.\n"
            "non-option ARGV-elements: extra1 extra2 \n"
            "using default samplerate 2048.000000 Hz.\n"
            "width = 10 samples -> alpha = 0.653590 = 1 - 0.34641\n"
            "glide_stats: size = 10\n"
            "glide_stats warning: zero length input.\n");
  EXPECT_EQ(r.out, "");
  // Long, short, attached and abbreviated forms; the last one wins.
  const std::string in = fv_from_text(column({1, 2, 3, 4}));
  const auto a = glide({"--function=mean", "--width=2"}, in);
  ASSERT_EQ(a.status, 0) << a.err;
  for (const Args &args : {Args{"-f", "mean", "-w", "2"}, Args{"-fmean", "-w2"}, Args{"--func", "mean", "--wid=2"},
                           Args{"--width=7", "-f", "mean", "--width=2"}})
    EXPECT_EQ(glide(args, in).out, a.out) << args[0];
  // atoi/atof: text that is no number reads as 0, the sample rate as a
  // whole number.
  r = glide({"-f", "mean", "-w", "4", "--samplerate=250.7", "--rate=0.5"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("rate given = 0.500000\n"), std::string::npos);
  EXPECT_NE(r.err.find("using samplerate 250.000000 Hz.\n"), std::string::npos);
}

TEST(GlideStatsOptions, RefusedSettings) {
  const std::string e = "glide_stats error: ";
  std::vector<Refusal> cases = {
      {{}, "glide_stats: please give option --function!\n"},
      {{"--function=nosuch"}, e + "unknown function nosuch!\n"},
      {{"--function=sliding_median2", "-w", "3"}, e + "unknown function sliding_median2!\n"},
      {{"--function=Mean", "-w", "3"}, e + "unknown function Mean!\n"},
      {{"--function=mean"}, "glide_stats: please give option --width!\n"},
      {{"--function=regression2", "-w", "5"},
       e + "function regression2 is not available (the second regression variant is unfinished); use "
           "--function=regression!\n"},
      {{"-f", "mean", "-w", "0"}, e + "the width must be a positive number of samples (got 0)!\n"},
      {{"-f", "mean", "-w", "abc"}, e + "the width must be a positive number of samples (got 0)!\n"},
      {{"-f", "mean", "-w", "3000000000"}, e + "width 3000000000 is out of range (at most 2147483647 samples)!\n"},
      {{"-f", "mean", "-w", "-3000000000"}, e + "width -3000000000 is out of range (at most 2147483647 samples)!\n"},
      {{"-f", "max", "-w", "8", "-u", "-1"}, e + "--updates must not be negative (got -1)!\n"},
      {{"-f", "pseudomax", "-w", "8", "-e", "0"},
       e + "function pseudomax needs a finite, non-zero --exponent (got 0)!\n"},
      {{"-f", "sliding_mean_protect", "-w", "8", "-P", "0"},
       e + "function sliding_mean_protect needs an --epsilon between 0 and 1 (got 0)!\n"},
      {{"-f", "sliding_mean_protect", "-w", "8", "-P", "1"},
       e + "function sliding_mean_protect needs an --epsilon between 0 and 1 (got 1)!\n"},
      {{"--nosuchoption", "-f", "mean", "-w", "3"}, "unrecognized option"},
      {{"-f", "mean", "-w"}, "requires an argument"},
  };
  for (const char *name : {"derivative", "derivative_symm", "derivative_smooth", "regression", "absrise", "absfall",
                           "sqrise", "sqfall"}) {
    cases.push_back({{"-f", name, "-w", "1"},
                     e + "function " + name + " needs a width of at least 2 samples (got 1)!\n"});
    EXPECT_EQ(glide({"-f", name, "-w", "2"}).status, 0) << name;
  }
  glide_harness::expect_refused(cases);
}

// The help of glide_stats names its functions and their extra parameters.
TEST(GlideStatsOptions, Help) {
  const auto r = glide({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("glide_stats - read .fv file and apply one of several functions over a moving window of a "
                        "certain size, on each dimension separately. Computing time should be independent of the "
                        "width due to recursive implementations. For indices i below the size of the window, the "
                        "value of the the function for a window of size i will be put out.\n\nusage: glide_stats "
                        "[OPTIONS] < .fv-file > .fv-file\nOPTIONS:\n", 0), 0u);
  for (const char *text : {"-mean-normalize (output is delayed by width/2)\n", "-P, --epsilon", "--nosharp",
                           "-ecg_hr (needs parameter --samplerate)", "-ecg_mf_hr (see extra parameter --samplerate)\n",
                           "-fir (FIR filter, with coefficients from a file specified by option --coeffs)\n",
                           "-qrs_beats (streaming QRS detector", "-qrs_hr (heart rate in beats per minute"})
    EXPECT_NE(r.err.find(text), std::string::npos) << text;
  EXPECT_EQ(glide({"-h"}).err, r.err);
}

TEST(GlideStatsStream, SequencesContinueTheStateAndAChangedDimensionStops) {
  const std::string in = fv_from_text(column({1, 2, 3, 4, 5}, "seq name=first type=double") +
                                      column({6, 7, 8, 9}, "seq name=second type=double"));
  auto seqs = fv_decode(glide({"-f", "mean", "-w", "3"}, in).out);
  ASSERT_EQ(seqs.size(), 2u);
  EXPECT_EQ(seqs[0].name + " " + seqs[1].name, "first second");
  EXPECT_EQ(std::make_pair(seqs[0].n_expected, seqs[1].n_expected), std::make_pair(5, 4));
  EXPECT_EQ(first_column(seqs[0]), (std::vector<double>{1, 1.5, 2, 3, 4}));
  EXPECT_EQ(first_column(seqs[1]), (std::vector<double>{5, 6, 7, 8}));
  const auto r = glide({"-f", "mean", "-w", "2"}, fv_from_text("seq name=one type=double\n1 2\n3 4\n5 6\n"
                                                               "seq type=double\n1 2 3\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("glide_stats: dim changed!!!\n"), std::string::npos);
  seqs = fv_decode(r.out);
  ASSERT_EQ(seqs.size(), 1u);
  EXPECT_EQ(seqs[0].rows, (std::vector<std::vector<double>>{{1, 2}, {2, 3}, {4, 5}}));
}

TEST(GlideStatsStream, LabelsClassesAndAdditionalDataPassThrough) {
  const Args args = {"-f", "amplitude", "-w", "2", "-u", "2"};
  const auto rl = glide(args, fv_from_text("seq name=lab type=float labelling=label adata=2 seqdata=6869\n"
                                           "1 10 label=rest adata=0a0b\n2 20 nolabel adata=0c0d\n"
                                           "4 40 label=walk adata=0e0f\n"));
  const auto rc = glide(args, fv_from_text("seq name=cls type=float labelling=class adata=1\n"
                                           "1 10 class=4 adata=01\n2 20 class=-7 adata=02\n4 40 class=0 adata=03\n"));
  const auto rp = glide(args, fv_from_text("seq name=pl type=float\n1 10\n2 20\n4 40\n"));
  ASSERT_EQ(rl.status + rc.status, 0) << rl.err << rc.err;
  const auto sl = fv_decode(rl.out)[0], sc = fv_decode(rc.out)[0], sp = fv_decode(rp.out)[0];
  EXPECT_EQ(sl.labelling, FV_LABELLING_LABEL_STRING);
  EXPECT_EQ(sl.labels, (std::vector<std::string>{"rest", "<null>", "walk"}));
  EXPECT_EQ(sl.adata, (std::vector<std::string>{"\x0a\x0b", "\x0c\x0d", "\x0e\x0f"}));
  EXPECT_EQ(sc.classes, (std::vector<int32_t>{4, -7, 0}));
  EXPECT_EQ(sc.adata, (std::vector<std::string>{"\x01", "\x02", "\x03"}));
  // Each dimension has its own trackers; all three layouts agree.
  for (const auto *s : {&sl, &sc, &sp})
    EXPECT_EQ(s->rows, (std::vector<std::vector<double>>{{0, 0}, {1, 10}, {2, 20}}));
  EXPECT_NE(rl.out.find("hi"), std::string::npos);  // sequence data travels with the header
}

TEST(GlideStatsStream, OutputKeepsTheDataTypeInt32Truncates) {
  auto s = fv_decode(glide({"-f", "mean", "-w", "2"}, fv_from_text("seq type=int32\n1\n2\n-1\n-2\n7\n")).out).at(0);
  EXPECT_EQ(s.datatype, FV_INT32);
  EXPECT_EQ(first_column(s), (std::vector<double>{1, 1, 0, -1, 2}));  // 1, 1.5, 0.5, -1.5, 2.5 truncated
  const std::pair<const char *, int> types[] = {{"float", FV_FLOAT}, {"double", FV_DOUBLE}, {"ldouble", FV_LDOUBLE}};
  for (const auto &[type, datatype] : types) {
    s = fv_decode(glide({"-f", "mean", "-w", "2"}, fv_from_text(std::string("seq type=") + type + "\n1\n2\n")).out).at(0);
    EXPECT_EQ(s.datatype, datatype);
    EXPECT_EQ(first_column(s), (std::vector<double>{1, 1.5}));
  }
}

TEST(GlideStatsStream, NanAndInfinityWarnOncePerSequence) {
  const std::string seq = "seq type=double\n1\nnan\nnan\ninf\n2\n";
  const auto r = glide({"-f", "delay", "-w", "1"}, fv_from_text(seq + seq));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char *w : {"fv_to_double warning: NAN value encountered (this warning/check will not be repeated)!\n",
                        "fv_to_double warning: INF value encountered", "double_to_fv warning: NAN value encountered",
                        "double_to_fv warning: INF value encountered"})
    EXPECT_EQ(testsupport::count(r.err, w), 2u) << w;
}

// The conversions warn in the order of the records, whichever way the dimensions run: the infinities of
// record 1 (its input's warning, then its output's) before the NaN of record 10.
TEST(GlideStatsStream, WarningsComeInTheOrderOfTheRecords) {
  std::vector<double> x(3 * 40, 1.0);
  x[3] = INFINITY;
  x[4] = -INFINITY;
  x[32] = NAN;
  for (const char *name : {"mean", "max", "min", "stddev"}) {
    for (const char *width : {"2", "12000"}) {
      const auto r = glide({"-f", name, "-w", width}, glide_harness::stream_of(x, 3));
      ASSERT_EQ(r.status, 0) << r.err;
      const size_t in_inf = r.err.find("fv_to_double warning: INF"), out = r.err.find("double_to_fv warning"),
                   in_nan = r.err.find("fv_to_double warning: NAN");
      EXPECT_TRUE(in_inf < out && out < in_nan && in_nan != std::string::npos) << name << " -w " << width << "\n" << r.err;
    }
  }
}

TEST(GlideStatsStream, DefectInputIsReportedAfterTheCompleteVectors) {
  const std::string three = fv_from_text("seq type=float n_expected=4\n1\n2\n3\n");
  const std::string cls = fv_from_text("seq type=float labelling=class adata=2 n_expected=2\n1 class=1 adata=0102\n");
  const std::string lab = fv_from_text("seq type=float labelling=label n_expected=2\n1 label=ab\n");
  const std::pair<std::string, std::string> cases[] = {
      {three + "\x01\x02", "fv_read error: unexpected end of file when reading features\n"},
      {cls + std::string("\0\0\x80\x3f\x05", 5), "fv_read error: unexpected end of file when reading class number!\n"},
      {cls + std::string("\0\0\x80\x3f\x05\0\0\0\x01", 9), "fv_read error: unexpected end of file when reading adata!\n"},
      {lab + std::string("\0\0\x80\x3f\x05\0ab", 8), "fv_read error: unexpected end of file when reading label!\n"},
      {fv_from_text("seq type=float n_expected=-1\n"), "glide_stats error: online processing not yet implemented!\n"},
      {"not a stream at all", "fv_sequence_init_from_header"},
  };
  for (const auto &[in, message] : cases) {
    const auto r = glide({"-f", "mean", "-w", "2"}, in);
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
  }
  // The header and three complete records were written first.
  EXPECT_EQ(glide({"-f", "mean", "-w", "2"}, three + "\x01\x02").out.size(), three.size());
}

// A failed write ends the program with the system's reason, records in bulk and one at a time (labels).
TEST(GlideStatsStream, WriteFailuresAreReported) {
  for (const char *text : {"seq type=float\n1\n2\n3\n", "seq type=float labelling=label\n1 label=ab\n"}) {
    const auto r = testsupport::run("/bin/sh", {"-c", "exec \"$0\" -f mean -w 2 > /dev/full",
                                                testsupport::bin_path("glide_stats")}, fv_from_text(text));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fv_write: No space left on device\n"), std::string::npos) << r.err;
  }
}

// With --flush=2 the output of two vectors arrives before the input ends.
TEST(GlideStatsStream, FlushMakesOutputAvailableEveryNVectors) {
  const std::string full = fv_from_text(column({1, 2, 3, 4, 5}, "seq type=float"));
  const size_t header = full.size() - 5 * 4;
  testsupport::Background g(testsupport::bin_path("glide_stats"), {"-f", "mean", "-w", "1", "--flush=2"}, {}, true);
  g.write(full.substr(0, header + 8));  // two vectors
  EXPECT_TRUE(g.wait_for(full.substr(0, header + 8)));
  g.write(full.substr(header + 8));
  g.close_input();
  EXPECT_EQ(g.wait(10), 0);
  EXPECT_EQ(g.out(), full);  // a one-sample mean gives back the input
}

// A header of `n` float vectors of dimension `dim`, without labels.
std::string header(int32_t n, int32_t dim) {
  return fv_from_text("seq type=float dim=" + std::to_string(dim) + " n_expected=" + std::to_string(n) + "\n");
}

const std::string kEof = "fv_read error: unexpected end of file when reading features";
const std::string kNoMemory = "Cannot allocate memory";
const std::string kEmpty = "vectors announced that hold no data at all; at most 65536";

// Float records through the conversions, in counts around their vectors of sixteen and four and their tiles of eight
// and four records by dimensions (with dimensions left over): a one-sample maximum gives every record back to the
// bit, and a NaN or infinity anywhere is warned of.
TEST(GlideStatsStream, FloatRecordsComeBackAndTheirNaNsAreWarnedOf) {
  std::mt19937 gen(3);
  std::normal_distribution<float> d;
  const auto records = [](const std::vector<float> &v, int dim) {
    return header(static_cast<int32_t>(v.size()) / dim, dim) +
           std::string(reinterpret_cast<const char *>(v.data()), 4 * v.size());
  };
  for (int dim : {1, 11}) {
    for (size_t n : {13, 16, 37, 100}) {
      std::vector<float> x(n * dim);
      for (float &v : x) v = d(gen);
      EXPECT_EQ(glide({"-f", "max", "-w", "1", "-u", "1"}, records(x, dim)).out, records(x, dim)) << n;
      for (size_t at : {size_t{2}, static_cast<size_t>(9 * dim + 9 % dim), x.size() - 1}) {
        for (float bad : {NAN, -INFINITY}) {
          std::vector<float> y = x;
          y[at] = bad;
          const std::string err = glide({"-f", "max", "-w", "1", "-u", "1"}, records(y, dim)).err;
          EXPECT_NE(err.find(std::isnan(bad) ? "fv_to_double warning: NAN" : "fv_to_double warning: INF"),
                    std::string::npos)
              << dim << " " << n << " " << at << " " << err;
        }
      }
    }
  }
  // A product that overflows from finite records, in a block of records after the first, in a dimension of a tile
  // and in one left over.
  for (int j : {2, 9}) {
    std::vector<float> x(3600 * 11, 1.0f);
    for (size_t t = 3300; t < 3311; ++t) x[t * 11 + j] = 1e30f;
    EXPECT_NE(glide({"-f", "product", "-w", "3000"}, records(x, 11)).err.find("double_to_fv warning: INF"),
              std::string::npos)
        << j;
  }
}

struct hostile_case {
  std::string program;
  std::vector<std::string> args;
  std::string input;
  std::string message;  // on standard error, with status 1
  bool may_succeed;     // a machine with that much memory may run it
};

TEST(Hostile, BoundedAnswersToHeadersAndOptionValues) {
  const std::string empty = header(INT32_MAX, 0);
  const std::string one8 = fv_from_text("seq type=float\n1 2 3 4 5 6 7 8\n");
  std::vector<hostile_case> cases = {
      {"vecpick", {}, empty, kEmpty, false},
      {"vecshow", {"-a"}, empty, kEmpty, false},
      {"glide_stats", {"-f", "mean", "-w", "3"}, empty, kEmpty, false},
      {"glide_stats", {"-f", "mean", "-w", "3"}, header(5, 2000000), kEof, false},
      {"glide_stats", {"-f", "amplitude", "-w", "3"}, header(5, 33000000), kEof, false},
      {"vecpick", {}, header(5, 2000000), kEof, false},
  };
  for (const char *f : {"mean_triangle", "mean_bell", "derivative_smooth", "sqfall"})
    for (const char *w : {"2147483647", "2147483646"})
      cases.push_back({"glide_stats", {"-f", f, "-w", w}, one8, kNoMemory, true});
  // 2^31 updates take 25 GB that are written at once: only where they
  // cannot be had.
  if (sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE) < (24LL << 30))
    cases.push_back({"glide_stats", {"-f", "max", "-w", "1", "-u", "2147483647"}, one8,
                     "moving_max_params_init: " + kNoMemory, false});
  for (const auto &c : cases) {
    const std::string line = c.program + (c.args.empty() ? "" : " " + c.args[0] + " " + c.args.back()) + ": ";
    auto r = testsupport::run(testsupport::bin_path(c.program), c.args, c.input, {"", {}, 20});
    EXPECT_FALSE(r.signaled) << line << r.err;
    if (c.may_succeed && r.status == 0) continue;
    EXPECT_EQ(r.status, 1) << line << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << line << r.err;
  }
}

// Admitted labels are looked up by hashing: a table and a stream of 50,000
// labels each take well under a second (the scan took about 8 s).
TEST(Hostile, LargeLabelTablesCostLinearTime) {
  const int n = 50000;
  testsupport::TempDir dir;
  std::string table = "label_lister\n" + std::to_string(n / 2) + "\n", stream;
  for (int i = 0; i < n; ++i) {
    if (i % 2 == 0) table += "l" + std::to_string(i) + "\n";
    stream += std::to_string(i) + " label=l" + std::to_string(i) + "\n";
  }
  testsupport::write_file(dir.file("t"), table);
  const auto start = std::chrono::steady_clock::now();
  auto r = testsupport::run(testsupport::bin_path("vecpick"), {"--only-labels", dir.file("t")},
                            fv_from_text("seq type=float labelling=label\n" + stream));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(seconds, 4.0);
  // Header (n_expected) of the output: every second vector was kept.
  EXPECT_NE(r.out.find(testsupport::le32(n / 2)), std::string::npos);
}

}  // namespace
