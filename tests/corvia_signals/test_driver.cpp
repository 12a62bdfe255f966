// corvia_signals as a program: options and their errors, labelling,
// --no_artefacts, picking and downsampling, flushing, time stamps and --raw.
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "corvia.h"
#include "gtest/gtest.h"
#include "recording.h"
#include "testsupport.h"

namespace {

using testsupport::ProcResult;
using testsupport::TempDir;

ProcResult cs(const std::vector<std::string> &args, const std::string &in = "") {
  return testsupport::run(testsupport::bin_path("corvia_signals"), args, in);
}

// A ramp recording: raw value of signal c in frame k is k + 1 (never zero).
std::string ramp_bytes(int n, int32_t start_sec = 1767225600) {
  return rec::to_bytes(rec::make_frames(
      n,
      [](int k, float *d) {
        for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; ++c)
          d[c] = static_cast<float>(k + 1);
      },
      start_sec));
}

size_t count_vectors(const std::string &out) {
  return rec::all_values(rec::decode(out)).size();
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

TEST(CorviaSignalsCli, HelpListsSignalsAndRaw) {
  for (const char *opt : {"--help", "-h"}) {
    ProcResult r = cs({opt});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err.rfind("corvia_signals - extract a primary or derived signal", 0), 0u);
    EXPECT_NE(r.err.find("(ECG=0, EMG=1, SC=2, Temp=3, BVP=4, Resp=5, ECG-HR=6, "
                         "BVP-HR=7, ECG-BVP-Lag=8, Resp-rate=9).\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("    --raw=CLASS, -r CLASS\n"), std::string::npos);
    EXPECT_NE(r.err.find("Needs --events and --map."), std::string::npos);
    EXPECT_NE(r.err.find("    --ecg_detector=NAME\n"), std::string::npos);
  }
}

TEST(CorviaSignalsCli, OptionErrors) {
  struct bad {
    std::vector<std::string> args;
    std::string message;
  };
  TempDir dir;
  const std::string ev = dir.file("ev"), mp = dir.file("mp");
  testsupport::write_file(ev, "1 a\n");
  testsupport::write_file(mp, "0\n");
  const bad cases[] = {
      {{"-s", "0", "-S", "0"}, "corvia_signals error: sharpness (0.000000) must be in (0;1)\n"},
      {{"-s", "0", "--sharpness=1"}, "corvia_signals error: sharpness (1.000000) must be in (0;1)\n"},
      {{"-s", "0", "-S", "abc"}, "corvia_signals error: sharpness (0.000000) must be in (0;1)\n"},
      {{"--signal=bvp-hr"}, "corvia_signals: option --signal: malformed signal specifier \"bvp-hr\"\n"},
      {{"-s", "3x"}, "malformed signal specifier \"3x\"\n"},
      {{"--signal=10"}, "corvia_signals: signal number 10 is out of range!\n"},
      {{"-s", "-1"}, "corvia_signals: signal number -1 is out of range!\n"},
      {{"-s", "0", "-d", "0"}, "corvia_signals error: invalid downsamplefactor 0\n"},
      {{"-s", "0", "--downsample=-3"}, "corvia_signals error: invalid downsamplefactor -3\n"},
      {{"-s", "0", "-d", "2147483647"},
       "corvia_signals error: downsampling factor 2147483647 needs a filter of 11453246117 "
       "coefficients, more than the 16777216 that can be built\n"},
      {{"-s", "SC", "-d", "3145728", "-S", "0.5"}, "factor 3145728 needs a filter of 25165824"},
      {{"-s", "0", "-p", "0"}, "corvia_signals error: invalid pick step 0\n"},
      {{"-s", "0", "-H", "-2"}, "corvia_signals error: invalid flush count -2\n"},
      {{"-s", "0", "-t", dir.file("no/such/file")}, "no/such/file: No such file or directory\n"},
      {{"-s", "0", "-e", ev}, "For labelling, you have to give both option --events and option --map!\n"},
      {{"-s", "0", "--map", mp}, "For labelling, you have to give both option --events and option --map!\n"},
      {{"-s", "0", "--no_artefacts"},
       "corvia_signals: when using option --no_artefacts, you must supply labelling "
       "information using options --events and --map!\n"},
      {{}, "corvia_signals: please give option --signal or --raw!\n"},
      {{"--verbose"}, "corvia_signals: please give option --signal or --raw!\n"},
      {{"-r", "1"}, "corvia_signals: option --raw selects frames by class: you must "
                    "supply labelling information using options --events and --map!\n"},
      {{"-s", "0", "recording.raw"}, "corvia_signals error: unexpected argument \"recording.raw\""},
      {{"-s", "0", "--bogus"}, "unrecognized option"},
      {{"-s"}, "requires an argument"},
      {{"-s", "0", "-e", dir.file("none"), "-m", mp}, "none: No such file or directory\n"},
      {{"-s", "6", "--ecg_detector=QRS"},
       "corvia_signals error: unknown ECG detector \"QRS\" (ecg_hr or qrs)\n"},
  };
  for (const bad &b : cases) {
    ProcResult r = cs(b.args, ramp_bytes(16));
    std::string all;
    for (const auto &a : b.args) all += a + " ";
    EXPECT_EQ(r.status, 1) << all;
    EXPECT_NE(r.err.find(b.message), std::string::npos) << all << "\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << all;
  }
}

TEST(CorviaSignalsCli, SignalByNameOrNumberAndMessages) {
  const std::string in = ramp_bytes(2048);
  ProcResult a = cs({"--signal=BVP-HR"}, in);
  ProcResult b = cs({"-s", "7"}, in);
  ASSERT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(a.out, b.out);
  EXPECT_NE(a.err.find("signal 7 (BVP-HR) selected\n"), std::string::npos);
  auto seqs = rec::decode(a.out);
  ASSERT_EQ(seqs.size(), 1u);
  EXPECT_EQ(seqs[0].name, "BVP-HR");
  EXPECT_EQ(seqs[0].labelling, 0);
  EXPECT_EQ(seqs[0].values.size(), 256u);
  EXPECT_NE(a.err.find("closing last sequence at n = 256\ndone writing\n"), std::string::npos);

  ProcResult v = cs({"--verbose", "-s", "Temp", "--repair"}, in);
  EXPECT_EQ(v.status, 0);
  EXPECT_NE(v.err.find("verbose flag is set"), std::string::npos);
  // The last --signal wins.
  ProcResult w = cs({"-s", "SC", "-s", "ECG"}, in);
  EXPECT_EQ(count_vectors(w.out), 2048u);
}

TEST(CorviaSignalsCli, EmptyRecordingWritesNothing) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"-s", "0"}, {"-s", "ECG", "-d", "8", "--nolag"}, {"-s", "9", "-d", "4"}}) {
    ProcResult r = cs(args, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("closing last sequence at n = 0\n"), std::string::npos);
    EXPECT_EQ(r.err.find("done writing"), std::string::npos);
  }
}

TEST(CorviaSignalsCli, TruncatedLastFrameKeepsComputedVectors) {
  ProcResult r = cs({"-s", "ECG", "--ignore_disconnect"}, ramp_bytes(1000) + "12345");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("corvia_read_sample: unexpected end of file: could only read 5 "
                       "instead of 32 bytes!\n"),
            std::string::npos)
      << r.err;
  auto v = rec::all_values(rec::decode(r.out));
  ASSERT_EQ(v.size(), 1000u);
  EXPECT_EQ(v[999], 1000.0f);
}

TEST(CorviaSignalsRaw, EveryRawSignalInPhysicalUnits) {
  // Raw value of signal c in frame k: (k + 1) * 0.5 + c.
  auto frames = rec::make_frames(2048 + 300, [](int k, float *d) {
    for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; ++c) d[c] = (k + 1) * 0.5f + c;
  });
  const std::string in = rec::to_bytes(frames);
  for (int c = 0; c < CORVIA_NUM_RAW_SIGNALS; ++c) {
    const int repeat = c < 2 ? 1 : 8;
    for (int ignore = 0; ignore <= 1; ++ignore) {
      std::vector<std::string> args = {"-s", std::to_string(c)};
      if (ignore) args.push_back("--ignore_disconnect");
      ProcResult r = cs(args, in);
      ASSERT_EQ(r.status, 0) << r.err;
      auto v = rec::all_values(rec::decode(r.out));
      ASSERT_EQ(v.size(), (frames.size() + repeat - 1) / repeat) << c;
      const int lag = ignore ? 0 : 3;
      const int hold = ignore ? 0 : (c < 2 ? 2050 : 258);
      for (size_t j = 0; j < v.size(); ++j) {
        if (static_cast<int>(j) < hold) {
          ASSERT_TRUE(std::isnan(v[j])) << c << " " << j;
          continue;
        }
        const double x = frames[(j - lag) * repeat].data[c];
        double want = x;
        if (c == 2 || c == 5) want = -x;
        if (c == 3) want = x * 0.0102712 + 23.6745;
        ASSERT_FLOAT_EQ(v[j], static_cast<float>(want)) << c << " " << j;
      }
    }
  }
}

TEST(CorviaSignalsRaw, DisconnectExampleThroughTheProgram) {
  auto frames = rec::make_frames(3200, [](int k, float *d) {
    d[0] = (k >= 1000 && k <= 1003) ? 0.0f : static_cast<float>(k + 1);
  });
  ProcResult r = cs({"-s", "ECG"}, rec::to_bytes(frames));
  auto v = rec::all_values(rec::decode(r.out));
  ASSERT_EQ(v.size(), 3200u);
  for (int k = 1003; k <= 3053; ++k) ASSERT_TRUE(std::isnan(v[k])) << k;
  EXPECT_EQ(v[3054], 3052.0f);  // raw value of frame 3051
  // With --ignore_disconnect the zeros pass through.
  ProcResult q = cs({"-s", "ECG", "--ignore_disconnect"}, rec::to_bytes(frames));
  auto w = rec::all_values(rec::decode(q.out));
  EXPECT_EQ(w[0], 1.0f);
  EXPECT_EQ(w[1001], 0.0f);
  EXPECT_EQ(w[1004], 1005.0f);
}

TEST(CorviaSignalsDerived, SyntheticRecordingAllDerivedSignals) {
  physio_params p;
  physio_params_init(&p);
  p.heart_rate = 66;
  p.hrv = 0;
  p.rsa = 0;
  p.pulse_lag_jitter = 0;
  const int seconds = 30;
  const std::string in = rec::to_bytes(rec::physio_frames(p, 2048 * seconds));
  struct check {
    const char *name;
    size_t count;
    double expected, tolerance;
    const char *detector;
  };
  for (const check &c :
       {check{"ECG-HR", 2048 * seconds, 66, 2, "ecg_hr"},
        check{"BVP-HR", 256 * seconds, 66, 3, "ecg_hr"},
        check{"Resp-rate", 256 * seconds, 15, 1.5, "ecg_hr"},
        check{"ECG-BVP-Lag", 256 * seconds, -0.05, 0.03, "ecg_hr"},
        check{"ECG-HR", 2048 * seconds, 66, 1, "qrs"},
        check{"ECG-BVP-Lag", 256 * seconds, -0.05, 0.03, "qrs"}}) {
    ProcResult r = cs({"--signal", c.name,
                       std::string("--ecg_detector=") + c.detector},
                      in);
    ASSERT_EQ(r.status, 0) << r.err;
    auto v = rec::all_values(rec::decode(r.out));
    ASSERT_EQ(v.size(), c.count) << c.name;
    size_t valid = 0;
    for (float x : v) {
      if (std::isnan(x)) continue;
      ++valid;
      EXPECT_NEAR(x, c.expected, c.tolerance) << c.name;
    }
    EXPECT_GT(valid, c.count / 4) << c.name;
    EXPECT_TRUE(std::isnan(v[0])) << c.name;
  }
}

// Events at given times and a map; frames whose time stamps are chosen.
struct labelled {
  TempDir dir;
  std::string ev = dir.file("events.txt"), mp = dir.file("map.txt");
  labelled(const std::string &events, const std::string &map) {
    testsupport::write_file(ev, events);
    testsupport::write_file(mp, map);
  }
  std::vector<std::string> args(std::vector<std::string> more) const {
    more.insert(more.end(), {"-e", ev, "-m", mp});
    return more;
  }
};

// n frames of ramp values, frame k at second times[k].
std::string frames_at(const std::vector<std::pair<int32_t, int32_t>> &times) {
  std::vector<corvia_data> frames(times.size());
  for (size_t k = 0; k < times.size(); ++k) {
    frames[k].time.tv_sec = times[k].first;
    frames[k].time.tv_usec = times[k].second;
    for (float &x : frames[k].data) x = static_cast<float>(k + 1);
  }
  return rec::to_bytes(frames);
}

TEST(CorviaSignalsLabels, ClassesFromEventsAndMapStrictlyAfterStart) {
  labelled L("1000.5 relax_start\r\n", "0\r\nrelax_start + 15.7\r\n2\r\n\r\nrelax_start + 60\r\n1\r\n");
  std::string in = frames_at({{1016, 199999}, {1016, 200000}, {1016, 200001},
                              {1060, 500000}, {1060, 500001}, {2000, 0}});
  ProcResult r = cs(L.args({"-s", "ECG", "--ignore_disconnect"}), in);
  ASSERT_EQ(r.status, 0) << r.err;
  auto seqs = rec::decode(r.out);
  ASSERT_EQ(seqs.size(), 1u);
  EXPECT_EQ(seqs[0].labelling, 1);
  EXPECT_EQ(seqs[0].classes, (std::vector<int32_t>{0, 0, 2, 2, 1, 1}));
}

TEST(CorviaSignalsLabels, NoArtefactsDropsClassZeroAndSplitsSequences) {
  // Classes 0, 1, 1, 0, 2 at consecutive output instants.
  labelled L("1.5 a\n3.5 b\n4.5 c\n", "0\na\n1\nb\n0\nc\n2\n");
  std::string in = frames_at({{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}});
  ProcResult r = cs(L.args({"-s", "0", "--ignore_disconnect", "--no_artefacts"}), in);
  ASSERT_EQ(r.status, 0) << r.err;
  auto seqs = rec::decode(r.out);
  ASSERT_EQ(seqs.size(), 2u);
  EXPECT_EQ(seqs[0].classes, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(seqs[0].values, (std::vector<float>{2, 3}));
  EXPECT_EQ(seqs[1].classes, (std::vector<int32_t>{1}));
  EXPECT_EQ(seqs[1].values, (std::vector<float>{5}));
  EXPECT_NE(r.err.find("closing sequence at n = 2\n"), std::string::npos);
  // Without --no_artefacts all five, in one sequence.
  ProcResult q = cs(L.args({"-s", "0", "--ignore_disconnect"}), in);
  auto all = rec::decode(q.out);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].classes, (std::vector<int32_t>{0, 1, 1, 0, 2}));
}

TEST(CorviaSignalsLabels, NoArtefactsWithPickPutsOutFirstValueAfterArtefact) {
  // 16 frames, classes: 0 for frames 0..4, then 1; pick every 4th.
  std::vector<std::pair<int32_t, int32_t>> times;
  for (int k = 0; k < 16; ++k) times.push_back({100 + k, 0});
  labelled L("104.5 go\n", "0\ngo\n1\n");
  ProcResult r = cs(L.args({"-s", "0", "--ignore_disconnect", "--no_artefacts", "-p", "4"}),
                    frames_at(times));
  auto seqs = rec::decode(r.out);
  ASSERT_EQ(seqs.size(), 1u);
  // Frames 3 is class 0 (not put out, counter kept); frame 5 is the first of
  // class 1 and comes at once; then every 4th value.
  EXPECT_EQ(seqs[0].values, (std::vector<float>{6, 10, 14}));
  EXPECT_EQ(seqs[0].classes, (std::vector<int32_t>{0, 0, 0}));
}

// The DC gain of the downsampling filter, measured on a constant recording.
double dc_gain(const std::vector<std::string> &args) {
  std::string in = rec::to_bytes(rec::make_frames(4096, [](int, float *) {}));
  auto v = rec::all_values(rec::decode(cs(args, in).out));
  EXPECT_FALSE(v.empty());
  return v.empty() ? 1.0 : v.back();
}

// The cost of a large factor stays in proportion to the filter's order:
// its start-up is linear (a factor of 65536 on ten frames took 100 s when
// each start-up step ran the whole filter), and its design no longer
// transforms a grid four times its order (a factor of a million, order
// 5,333,333, took 1.9 GB; its coefficients and ring now take 85 MB).
TEST(CorviaSignalsSampling, LargeFactorsCostInProportionToTheirOrder) {
  for (const char *lag : {"--ignore_disconnect", "--nolag"}) {
    ProcResult r = cs({"-s", "ECG", lag, "-d", "1000000"}, ramp_bytes(10));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.peak_rss_kb, 400 * 1024) << lag;
  }
  // Every value put out is one full filtering: ten for ten frames.
  ProcResult r = cs({"-s", "ECG", "--ignore_disconnect", "-d", "1000000", "-p", "1"},
                    ramp_bytes(10));
  EXPECT_EQ(rec::all_values(rec::decode(r.out)).size(), 10u) << r.err;
}

TEST(CorviaSignalsSampling, PickAndDownsampleCountsAndTiming) {
  TempDir dir;
  const std::string ts = dir.file("ts.txt");
  const std::string in = ramp_bytes(2048);
  // -p 8 on ECG: 256 per second, the first at the eighth frame.
  ProcResult p = cs({"-s", "ECG", "--ignore_disconnect", "-p", "8", "-t", ts}, in);
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_NE(p.err.find("step = 8\n"), std::string::npos);
  auto v = rec::all_values(rec::decode(p.out));
  ASSERT_EQ(v.size(), 256u);
  EXPECT_EQ(v[0], 8.0f);
  EXPECT_EQ(v[1], 16.0f);
  auto lines = lines_of(testsupport::read_file(ts));
  ASSERT_EQ(lines.size(), 256u);
  EXPECT_EQ(lines[0], "0.003418 1767225600.003417");
  EXPECT_EQ(lines[255], "0.999512 1767225600.999511");

  // -d 8: filter order 42, 256 vectors, the first at the eighth frame.
  ProcResult d = cs({"-s", "ECG", "--ignore_disconnect", "-d", "8", "-t", ts}, in);
  ASSERT_EQ(d.status, 0) << d.err;
  auto w = rec::all_values(rec::decode(d.out));
  ASSERT_EQ(w.size(), 256u);
  lines = lines_of(testsupport::read_file(ts));
  ASSERT_EQ(lines.size(), 256u);
  EXPECT_EQ(lines[0].substr(0, 9), "0.003418 ");
  // The filtered ramp lags by the group delay of 20.5 samples (a ramp
  // through a symmetric filter: gain times the delayed ramp).
  const double g = dc_gain({"-s", "ECG", "--ignore_disconnect", "-d", "8"});
  EXPECT_GT(g, 0.3);
  EXPECT_NEAR(w[100] / g, 808 - 20.5, 0.5);

  // --nolag: as many vectors; the first after the class delay of 21 values.
  ProcResult n = cs({"-s", "ECG", "--ignore_disconnect", "-d", "8", "--nolag", "-t", ts}, in);
  ASSERT_EQ(n.status, 0) << n.err;
  auto x = rec::all_values(rec::decode(n.out));
  ASSERT_EQ(x.size(), 256u);
  lines = lines_of(testsupport::read_file(ts));
  ASSERT_EQ(lines.size(), 256u);
  EXPECT_EQ(lines[0].substr(0, 9), "0.013672 ");  // frame 28
  // The last vectors come from the last frame processed again.
  EXPECT_EQ(lines[255].substr(0, 9), "1.009766 ");  // frame 2068
  EXPECT_NEAR(x[100] / g, 829 - 20.5, 0.5);

  // -d 8 -p 4: filtered for 8, every 4th kept.
  ProcResult dp = cs({"-s", "ECG", "-d", "8", "-p", "4", "--ignore_disconnect"}, in);
  EXPECT_EQ(count_vectors(dp.out), 512u);

  // A 256-Hz signal with --nolag: 32 vectors for a second.
  ProcResult sc = cs({"-s", "SC", "-d", "8", "--nolag", "--ignore_disconnect"}, in);
  EXPECT_EQ(count_vectors(sc.out), 32u);

  // --nolag without -d warns and changes nothing.
  ProcResult nl = cs({"-s", "ECG", "--nolag"}, in);
  EXPECT_NE(nl.err.find("corvia_signals warning: --nolag only makes sense when "
                        "downsampling! I will ignore it!\n"),
            std::string::npos);
  EXPECT_EQ(nl.out, cs({"-s", "ECG"}, in).out);
}

TEST(CorviaSignalsSampling, NolagAlignsClassesWithFilteredValues) {
  // Class 1 begins after frame 1000; the ramp's value equals frame + 1.
  const int32_t start = 1767225600;
  labelled L(std::to_string(start) + ".4885 go\n", "0\ngo\n1\n");  // after frame 1000
  const std::string in = ramp_bytes(2048, start);
  const double g = dc_gain({"-s", "ECG", "--ignore_disconnect", "-d", "2"});
  auto first_class1_value = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"-s", "ECG", "--ignore_disconnect", "-d", "2", "-p", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcResult r = cs(L.args(args), in);
    EXPECT_EQ(r.status, 0) << r.err;
    auto seqs = rec::decode(r.out);
    for (size_t i = 0; i < seqs[0].classes.size(); ++i)
      if (seqs[0].classes[i] == 1) return seqs[0].values[i] / g;
    return -1.0;
  };
  // The first class-1 frame has the raw value 1002.
  EXPECT_NEAR(first_class1_value({"--nolag"}), 1002, 1.0);
  EXPECT_LT(first_class1_value({}), 1002 - 3);
}

TEST(CorviaSignalsOutput, FlushWritesSequencesOfExactSize) {
  ProcResult r = cs({"-s", "ECG", "--flush=100"}, ramp_bytes(1024));
  ASSERT_EQ(r.status, 0) << r.err;
  auto seqs = rec::decode(r.out);
  ASSERT_EQ(seqs.size(), 11u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(seqs[i].values.size(), 100u);
  EXPECT_EQ(seqs[10].values.size(), 24u);
  for (const auto &s : seqs) EXPECT_EQ(s.name, "ECG");
  // An exact multiple leaves no empty sequence behind.
  ProcResult e = cs({"-s", "SC", "-H", "32"}, ramp_bytes(1024));
  auto es = rec::decode(e.out);
  ASSERT_EQ(es.size(), 4u);
  for (const auto &s : es) EXPECT_EQ(s.values.size(), 32u);
}

TEST(CorviaSignalsOutput, TimestampLinesAndWriteFailure) {
  TempDir dir;
  const std::string ts = dir.file("ts.txt");
  std::string in = frames_at({{1000, 500000}, {1000, 500488}, {1001, 999999}});
  ProcResult r = cs({"-s", "EMG", "--timestamps", ts}, in);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(testsupport::read_file(ts),
            "0.000000 1000.500000\n0.000488 1000.500488\n0.000977 1001.999999\n");
  // A file that cannot take the lines is an error.
  ProcResult f = cs({"-s", "ECG", "-t", "/dev/full"}, ramp_bytes(4096));
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(f.err.find("corvia_signals error: writing time-stamp file /dev/full: No space "
                       "left on device"),
            std::string::npos)
      << f.err;
}

TEST(CorviaSignalsRawCut, RawFramesOfOneClassRoundTrip) {
  std::vector<std::pair<int32_t, int32_t>> times;
  for (int k = 0; k < 40; ++k) times.push_back({10 + k / 10, (k % 10) * 100000});
  // class 0 until 11.05, class 3 until 12.55, then class 1.
  labelled L("11.05 a\n12.55 b\n", "0\na\n3\nb\n1\n");
  const std::string in = frames_at(times);
  ProcResult r = cs(L.args({"--raw=3"}), in);
  ASSERT_EQ(r.status, 0) << r.err;
  // Frames 11 (11.1 s) to 25 (12.5 s), unchanged.
  ASSERT_EQ(r.out.size(), 15u * 32);
  EXPECT_EQ(r.out, in.substr(11 * 32, 15 * 32));
  EXPECT_NE(r.err.find("wrote 15 raw frames of class 3"), std::string::npos);
  // The cut is a recording again.
  ProcResult again = cs({"-s", "ECG", "--ignore_disconnect"}, r.out);
  auto v = rec::all_values(rec::decode(again.out));
  ASSERT_EQ(v.size(), 15u);
  EXPECT_EQ(v[0], 12.0f);
  // One time-stamp line per frame written.
  const std::string ts = L.dir.file("ts.txt");
  ProcResult withts = cs(L.args({"--raw=3", "-t", ts}), in);
  EXPECT_EQ(withts.out, r.out);
  auto lines = lines_of(testsupport::read_file(ts));
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_EQ(lines[0], "0.005371 11.100000");  // frame 11
  // With --no_artefacts CLASS counts lowered: 2 selects map class 3.
  ProcResult lowered = cs(L.args({"-r", "2", "--no_artefacts"}), in);
  EXPECT_EQ(lowered.out, r.out);
  // With --signal, --raw has no effect.
  ProcResult both = cs(L.args({"-r", "3", "-s", "ECG", "--ignore_disconnect"}), in);
  EXPECT_EQ(both.status, 0);
  EXPECT_NE(both.err.find("--raw has no effect together with --signal"), std::string::npos);
  EXPECT_EQ(count_vectors(both.out), 40u);
  // A truncated recording: the frames before are written, then the error.
  ProcResult t = cs(L.args({"-r", "3"}), in.substr(0, 20 * 32 + 7));
  EXPECT_EQ(t.status, 1);
  EXPECT_EQ(t.out, in.substr(11 * 32, 9 * 32));
  EXPECT_NE(t.err.find("could only read 7 instead of 32 bytes!"), std::string::npos);
}

}  // namespace
