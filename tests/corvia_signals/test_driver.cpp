// corvia_signals as a program: options and their errors, physical units and
// the disconnect hold, derived signals, labelling, --no_artefacts, picking
// and downsampling, flushing, time stamps and --raw.
#include "corvia.h"
#include "recording.h"
#include "testsupport.h"

namespace {

using testsupport::fv_decode;
using testsupport::fv_values;
using testsupport::ProcResult;
using testsupport::TempDir;
using Args = std::vector<std::string>;

ProcResult cs(const Args &args, const std::string &in = "") {
  return testsupport::run(testsupport::bin_path("corvia_signals"), args, in);
}

// A ramp recording: raw value of signal c in frame k is k + 1 (never zero).
void ramp(int k, float *d) { std::fill(d, d + CORVIA_NUM_RAW_SIGNALS, static_cast<float>(k + 1)); }
std::string ramp_bytes(int n, int32_t start_sec = 1767225600) {
  return rec::to_bytes(rec::make_frames(n, ramp, start_sec));
}

// Frames of ramp values at the given times (seconds, microseconds).
std::string frames_at(const std::vector<std::pair<int32_t, int32_t>> &times) {
  auto frames = rec::make_frames(static_cast<int>(times.size()), ramp);
  for (size_t k = 0; k < times.size(); ++k) frames[k].time = {times[k].first, times[k].second};
  return rec::to_bytes(frames);
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t a = 0, b; (b = text.find('\n', a)) != std::string::npos; a = b + 1) lines.push_back(text.substr(a, b - a));
  return lines;
}

TEST(CorviaSignalsCli, HelpAndOptionErrors) {
  const ProcResult help = cs({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.empty());
  EXPECT_EQ(help.err.rfind("corvia_signals - extract a primary or derived signal", 0), 0u);
  for (const char *text : {"(ECG=0, EMG=1, SC=2, Temp=3, BVP=4, Resp=5, ECG-HR=6, BVP-HR=7, ECG-BVP-Lag=8, "
                           "Resp-rate=9).\n", "    --raw=CLASS, -r CLASS\n", "Needs --events and --map.",
                           "    --ecg_detector=NAME\n"})
    EXPECT_NE(help.err.find(text), std::string::npos) << text;
  EXPECT_EQ(cs({"-h"}).err, help.err);
  rec::labelling L("1 a\n", "0\n");
  const std::string e = "corvia_signals error: ", labelling = "supply labelling information using options "
                                                             "--events and --map!\n";
  const std::pair<Args, std::string> cases[] = {
      {{"-s", "0", "-S", "0"}, e + "sharpness (0.000000) must be in (0;1)\n"},
      {{"-s", "0", "--sharpness=1"}, e + "sharpness (1.000000) must be in (0;1)\n"},
      {{"--signal=bvp-hr"},
       "corvia_signals: option --signal: malformed signal specifier \"bvp-hr\"\n"
       "corvia_signals: valid signals are ECG=0 EMG=1 SC=2 Temp=3 BVP=4 Resp=5 ECG-HR=6 "
       "BVP-HR=7 ECG-BVP-Lag=8 Resp-rate=9 (names are case-sensitive)\n"},
      {{"-s", "3x"}, "malformed signal specifier \"3x\"\n"},
      {{"--signal=10"}, "corvia_signals: signal number 10 is out of range!\n"},
      {{"-s", "-1"}, "corvia_signals: signal number -1 is out of range!\n"},
      {{"-s", "0", "-d", "0"}, e + "invalid downsamplefactor 0\n"},
      {{"-s", "0", "--downsample=-3"}, e + "invalid downsamplefactor -3\n"},
      {{"-s", "0", "-d", "2147483647"},
       e + "downsampling factor 2147483647 needs a filter of 11453246117 coefficients, more than the 16777216 "
           "that can be built\n"},
      {{"-s", "SC", "-d", "3145728", "-S", "0.5"}, "factor 3145728 needs a filter of 25165824"},
      {{"-s", "0", "-p", "0"}, e + "invalid pick step 0\n"},
      {{"-s", "0", "-H", "-2"}, e + "invalid flush count -2\n"},
      {{"-s", "0", "-t", L.dir.file("no/such/file")}, "no/such/file: No such file or directory\n"},
      {{"-s", "0", "-e", L.events}, "For labelling, you have to give both option --events and option --map!\n"},
      {{"-s", "0", "--map", L.map}, "For labelling, you have to give both option --events and option --map!\n"},
      {{"-s", "0", "--no_artefacts"}, "corvia_signals: when using option --no_artefacts, you must " + labelling},
      {{}, "corvia_signals: please give option --signal or --raw!\n"},
      {{"-r", "1"}, "corvia_signals: option --raw selects frames by class: you must " + labelling},
      {{"-s", "0", "recording.raw"}, e + "unexpected argument \"recording.raw\""},
      {{"-s", "0", "--bogus"}, "unrecognized option"},
      {{"-s", "0", "-e", L.dir.file("none"), "-m", L.map}, "none: No such file or directory\n"},
      {{"-s", "6", "--ecg_detector=QRS"}, e + "unknown ECG detector \"QRS\" (ecg_hr or qrs)\n"},
  };
  for (const auto &[args, message] : cases) {
    ProcResult r = cs(args, ramp_bytes(16));
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << message;
  }
}

TEST(CorviaSignalsCli, SignalByNameOrNumberEmptyAndTruncatedRecordings) {
  const std::string in = ramp_bytes(2048);
  ProcResult a = cs({"--signal=BVP-HR"}, in);
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(a.out, cs({"-s", "7"}, in).out);
  EXPECT_NE(a.err.find("signal 7 (BVP-HR) selected\n"), std::string::npos);
  EXPECT_NE(a.err.find("closing last sequence at n = 256\ndone writing\n"), std::string::npos);
  auto seqs = fv_decode(a.out);
  ASSERT_EQ(seqs.size(), 1u);
  EXPECT_EQ(seqs[0].name + " " + std::to_string(seqs[0].labelling) + " " + std::to_string(seqs[0].rows.size()),
            "BVP-HR 0 256");
  EXPECT_NE(cs({"--verbose", "-s", "Temp", "--repair"}, in).err.find("verbose flag is set"), std::string::npos);
  EXPECT_EQ(fv_values(cs({"-s", "SC", "-s", "ECG"}, in).out).size(), 2048u);  // the last --signal wins
  // An empty recording writes nothing.
  for (const Args &args : {Args{"-s", "0"}, Args{"-s", "ECG", "-d", "8", "--nolag"}, Args{"-s", "9", "-d", "4"}}) {
    ProcResult r = cs(args, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("closing last sequence at n = 0\n"), std::string::npos);
    EXPECT_EQ(r.err.find("done writing"), std::string::npos);
  }
  // A truncated last frame: the vectors computed before it are kept.
  ProcResult r = cs({"-s", "ECG", "--ignore_disconnect"}, ramp_bytes(1000) + "12345");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("corvia_read_sample: unexpected end of file: could only read 5 instead of 32 bytes!\n"),
            std::string::npos) << r.err;
  auto v = fv_values(r.out);
  ASSERT_EQ(v.size(), 1000u);
  EXPECT_EQ(v[999], 1000.0f);
}

// Every raw signal in physical units, with and without the disconnect
// detection (NaN for the first second, then three frames late).
TEST(CorviaSignalsRaw, EveryRawSignalInPhysicalUnits) {
  auto frames = rec::make_frames(2048 + 300, [](int k, float *d) {
    for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; ++c) d[c] = (k + 1) * 0.5f + c;
  });
  const std::string in = rec::to_bytes(frames);
  for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; ++c) {
    const int repeat = c < 2 ? 1 : 8;
    for (int ignore = 0; ignore <= 1; ++ignore) {
      Args args = {"-s", std::to_string(c)};
      if (ignore) args.push_back("--ignore_disconnect");
      ProcResult r = cs(args, in);
      ASSERT_EQ(r.status, 0) << r.err;
      auto v = fv_values(r.out);
      ASSERT_EQ(v.size(), (frames.size() + repeat - 1) / repeat) << c;
      const int lag = ignore ? 0 : 3, hold = ignore ? 0 : (c < 2 ? 2050 : 258);
      for (size_t j = 0; j < v.size(); ++j) {
        if (static_cast<int>(j) < hold) {
          ASSERT_TRUE(std::isnan(v[j])) << c << " " << j;
          continue;
        }
        const double x = frames[(j - lag) * repeat].data[c];
        const double want = c == 2 || c == 5 ? -x : c == 3 ? x * 0.0102712 + 23.6745 : x;
        ASSERT_FLOAT_EQ(v[j], static_cast<float>(want)) << c << " " << j;
      }
    }
  }
}

TEST(CorviaSignalsDerived, SyntheticRecordingAllDerivedSignals) {
  physio_params p = rec::quiet_params();
  p.heart_rate = 66;
  p.pulse_lag_jitter = 0;
  const int seconds = 30;
  const std::string in = rec::to_bytes(rec::physio_frames(p, 2048 * seconds));
  const struct {
    const char *name;
    size_t count;
    double expected, tolerance;
    const char *detector;
  } checks[] = {{"ECG-HR", 2048 * seconds, 66, 2, "ecg_hr"},     {"BVP-HR", 256 * seconds, 66, 3, "ecg_hr"},
                {"Resp-rate", 256 * seconds, 15, 1.5, "ecg_hr"}, {"ECG-BVP-Lag", 256 * seconds, -0.05, 0.03, "ecg_hr"},
                {"ECG-HR", 2048 * seconds, 66, 1, "qrs"},        {"ECG-BVP-Lag", 256 * seconds, -0.05, 0.03, "qrs"}};
  for (const auto &c : checks) {
    ProcResult r = cs({"--signal", c.name, std::string("--ecg_detector=") + c.detector}, in);
    ASSERT_EQ(r.status, 0) << r.err;
    auto v = fv_values(r.out);
    ASSERT_EQ(v.size(), c.count) << c.name;
    EXPECT_TRUE(std::isnan(v[0])) << c.name;
    for (double x : v) EXPECT_TRUE(std::isnan(x) || std::fabs(x - c.expected) <= c.tolerance) << c.name << " " << x;
    const long valid = std::count_if(v.begin(), v.end(), [](double x) { return !std::isnan(x); });
    EXPECT_GT(valid, static_cast<long>(c.count / 4)) << c.name;
  }
}

TEST(CorviaSignalsLabels, ClassesFromEventsAndMapAndNoArtefacts) {
  // Classes 0, 1, 1, 0, 2: --no_artefacts drops class 0, lowers the others
  // by one and splits the sequence where it dropped.
  rec::labelling M("1.5 a\n3.5 b\n4.5 c\n", "0\na\n1\nb\n0\nc\n2\n");
  const std::string in = frames_at({{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}});
  ProcResult r = cs(M.args({"-s", "0", "--ignore_disconnect", "--no_artefacts"}), in);
  auto seqs = fv_decode(r.out);
  ASSERT_EQ(seqs.size(), 2u);
  EXPECT_EQ(seqs[0].classes, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(seqs[0].rows, (std::vector<std::vector<double>>{{2}, {3}}));
  EXPECT_EQ(seqs[1].classes, (std::vector<int32_t>{1}));
  EXPECT_EQ(seqs[1].rows, (std::vector<std::vector<double>>{{5}}));
  EXPECT_NE(r.err.find("closing sequence at n = 2\n"), std::string::npos);
  seqs = fv_decode(cs(M.args({"-s", "0", "--ignore_disconnect"}), in).out);
  ASSERT_EQ(seqs.size(), 1u);
  EXPECT_EQ(seqs[0].labelling, 1);
  EXPECT_EQ(seqs[0].classes, (std::vector<int32_t>{0, 1, 1, 0, 2}));

  // With a pick step the first value after an artefact comes at once, then
  // every 4th: frames 0..4 are class 0, frame 5 the first of class 1.
  std::vector<std::pair<int32_t, int32_t>> times;
  for (int k = 0; k < 16; ++k) times.push_back({100 + k, 0});
  rec::labelling N("104.5 go\n", "0\ngo\n1\n");
  seqs = fv_decode(cs(N.args({"-s", "0", "--ignore_disconnect", "--no_artefacts", "-p", "4"}), frames_at(times)).out);
  ASSERT_EQ(seqs.size(), 1u);
  EXPECT_EQ(seqs[0].rows, (std::vector<std::vector<double>>{{6}, {10}, {14}}));
  EXPECT_EQ(seqs[0].classes, (std::vector<int32_t>{0, 0, 0}));
}

// The DC gain of the downsampling filter, measured on a constant recording.
double dc_gain(const Args &args) {
  auto v = fv_values(cs(args, rec::to_bytes(rec::make_frames(4096, [](int, float *) {}))).out);
  EXPECT_FALSE(v.empty());
  return v.empty() ? 1.0 : v.back();
}

// The cost of a large factor stays in proportion to the filter's order: its
// start-up is linear (a factor of 65536 on ten frames took 100 s) and its
// design no longer transforms a grid four times its order (a factor of a
// million took 1.9 GB).
TEST(CorviaSignalsSampling, LargeFactorsCostInProportionToTheirOrder) {
  for (const char *lag : {"--ignore_disconnect", "--nolag"}) {
    ProcResult r = cs({"-s", "ECG", lag, "-d", "1000000"}, ramp_bytes(10));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.peak_rss_kb, 400 * 1024) << lag;
  }
  // Every value put out is one full filtering: ten for ten frames.
  ProcResult r = cs({"-s", "ECG", "--ignore_disconnect", "-d", "1000000", "-p", "1"}, ramp_bytes(10));
  EXPECT_EQ(fv_values(r.out).size(), 10u) << r.err;
}

TEST(CorviaSignalsSampling, PickAndDownsampleCountsAndTiming) {
  TempDir dir;
  const std::string ts = dir.file("ts.txt"), in = ramp_bytes(2048);
  const double g = dc_gain({"-s", "ECG", "--ignore_disconnect", "-d", "8"});
  EXPECT_GT(g, 0.3);
  const struct {
    Args args;
    size_t count;
    std::string first_stamp;
    size_t at;
    double value;  // at `at`, divided by the filter's gain with -d
  } cases[] = {
      // -p 8 on ECG: 256 per second, the first at the eighth frame.
      {{"-p", "8"}, 256, "0.003418 1767225600.003417", 1, 16},
      // -d 8: filter order 42; the filtered ramp lags by the group delay of
      // 20.5 samples (gain times the delayed ramp).
      {{"-d", "8"}, 256, "0.003418 ", 100, 808 - 20.5},
      // --nolag: as many vectors; the first after the class delay of 21
      // values (frame 28).
      {{"-d", "8", "--nolag"}, 256, "0.013672 ", 100, 829 - 20.5},
  };
  for (const auto &c : cases) {
    Args args = {"-s", "ECG", "--ignore_disconnect", "-t", ts};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcResult r = cs(args, in);
    ASSERT_EQ(r.status, 0) << r.err;
    auto v = fv_values(r.out);
    auto lines = lines_of(testsupport::read_file(ts));
    ASSERT_EQ(v.size(), c.count);
    ASSERT_EQ(lines.size(), c.count);
    EXPECT_EQ(lines[0].substr(0, c.first_stamp.size()), c.first_stamp) << c.args[1];
    EXPECT_NEAR(v[c.at] / (c.args[0] == "-d" ? g : 1), c.value, 0.5) << c.args[1];
    if (c.args[0] == "-p") {
      EXPECT_EQ(v[0], 8.0f);
      EXPECT_NE(r.err.find("step = 8\n"), std::string::npos);
      EXPECT_EQ(lines[255], "0.999512 1767225600.999511");
    }
    if (c.args.size() == 3) {
      EXPECT_EQ(lines[255].substr(0, 9), "1.009766 ");  // the last frame again
    }
  }
  // -d 8 -p 4: filtered for 8, every 4th kept; a 256-Hz signal with --nolag.
  EXPECT_EQ(fv_values(cs({"-s", "ECG", "-d", "8", "-p", "4", "--ignore_disconnect"}, in).out).size(), 512u);
  EXPECT_EQ(fv_values(cs({"-s", "SC", "-d", "8", "--nolag", "--ignore_disconnect"}, in).out).size(), 32u);
  // --nolag without -d warns and changes nothing.
  ProcResult nl = cs({"-s", "ECG", "--nolag"}, in);
  EXPECT_NE(nl.err.find("corvia_signals warning: --nolag only makes sense when downsampling! I will ignore it!\n"),
            std::string::npos);
  EXPECT_EQ(nl.out, cs({"-s", "ECG"}, in).out);
}

TEST(CorviaSignalsSampling, NolagAlignsClassesWithFilteredValues) {
  const int32_t start = 1767225600;
  rec::labelling L(std::to_string(start) + ".4885 go\n", "0\ngo\n1\n");  // class 1 after frame 1000
  const std::string in = ramp_bytes(2048, start);
  const double g = dc_gain({"-s", "ECG", "--ignore_disconnect", "-d", "2"});
  auto first_class1_value = [&](Args args) {
    args.insert(args.end(), {"-s", "ECG", "--ignore_disconnect", "-d", "2", "-p", "1"});
    const auto seqs = fv_decode(cs(L.args(args), in).out);
    for (size_t i = 0; i < seqs.at(0).classes.size(); ++i)
      if (seqs[0].classes[i] == 1) return seqs[0].rows[i][0] / g;
    return -1.0;
  };
  // The first class-1 frame has the raw value 1002.
  EXPECT_NEAR(first_class1_value({"--nolag"}), 1002, 1.0);
  EXPECT_LT(first_class1_value({}), 1002 - 3);
}

TEST(CorviaSignalsOutput, FlushTimestampsAndWriteFailure) {
  // Sequences of exactly the flush count; an exact multiple leaves no empty
  // sequence behind.
  const std::pair<Args, std::vector<size_t>> flushes[] = {
      {{"-s", "ECG", "--flush=100"}, {100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 24}},
      {{"-s", "SC", "-H", "32"}, {32, 32, 32, 32}}};
  for (const auto &[args, sizes] : flushes) {
    std::vector<size_t> got;
    for (const auto &s : fv_decode(cs(args, ramp_bytes(1024)).out)) {
      got.push_back(s.rows.size());
      EXPECT_EQ(s.name, args[1]);
    }
    EXPECT_EQ(got, sizes);
  }
  TempDir dir;
  ProcResult r = cs({"-s", "EMG", "--timestamps", dir.file("ts")}, frames_at({{1000, 500000}, {1000, 500488}, {1001, 999999}}));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(testsupport::read_file(dir.file("ts")), "0.000000 1000.500000\n0.000488 1000.500488\n0.000977 1001.999999\n");
  r = cs({"-s", "ECG", "-t", "/dev/full"}, ramp_bytes(4096));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("corvia_signals error: writing time-stamp file /dev/full: No space left on device"),
            std::string::npos) << r.err;
}

TEST(CorviaSignalsRawCut, RawFramesOfOneClassRoundTrip) {
  std::vector<std::pair<int32_t, int32_t>> times;
  for (int k = 0; k < 40; ++k) times.push_back({10 + k / 10, (k % 10) * 100000});
  // class 0 until 11.05, class 3 until 12.55, then class 1.
  rec::labelling L("11.05 a\n12.55 b\n", "0\na\n3\nb\n1\n");
  const std::string in = frames_at(times), ts = L.dir.file("ts.txt");
  ProcResult r = cs(L.args({"--raw=3", "-t", ts}), in);
  ASSERT_EQ(r.status, 0) << r.err;
  // Frames 11 (11.1 s) to 25 (12.5 s), unchanged, one time-stamp line each.
  EXPECT_EQ(r.out, in.substr(11 * 32, 15 * 32));
  EXPECT_NE(r.err.find("wrote 15 raw frames of class 3"), std::string::npos);
  auto lines = lines_of(testsupport::read_file(ts));
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_EQ(lines[0], "0.005371 11.100000");
  // The cut is a recording again.
  auto v = fv_values(cs({"-s", "ECG", "--ignore_disconnect"}, r.out).out);
  ASSERT_EQ(v.size(), 15u);
  EXPECT_EQ(v[0], 12.0f);
  // With --no_artefacts CLASS counts lowered: 2 selects map class 3.
  EXPECT_EQ(cs(L.args({"-r", "2", "--no_artefacts"}), in).out, r.out);
  // With --signal, --raw has no effect.
  ProcResult both = cs(L.args({"-r", "3", "-s", "ECG", "--ignore_disconnect"}), in);
  EXPECT_EQ(both.status, 0);
  EXPECT_NE(both.err.find("--raw has no effect together with --signal"), std::string::npos);
  EXPECT_EQ(fv_values(both.out).size(), 40u);
  // A truncated recording: the frames before are written, then the error.
  ProcResult t = cs(L.args({"-r", "3"}), in.substr(0, 20 * 32 + 7));
  EXPECT_EQ(t.status, 1);
  EXPECT_EQ(t.out, in.substr(11 * 32, 9 * 32));
  EXPECT_NE(t.err.find("could only read 7 instead of 32 bytes!"), std::string::npos);
}

}  // namespace
