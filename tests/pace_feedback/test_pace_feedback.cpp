// pace_feedback: speed commands, dead band, messages and errors; and a real
// MPlayer in slave mode that must accept the speed it is sent.
#include <unistd.h>

#include "testsupport.h"

namespace {

using testsupport::ProcResult;

ProcResult pf(const std::vector<std::string> &args, const std::string &in) {
  return testsupport::run(testsupport::bin_path("pace_feedback"), args, in);
}

// The two commands for one heart rate.
std::string commands(const char *speed, const char *text) {
  return std::string("speed_set ") + speed + "\nosd_show_text \"" + text + "\" 10000\n";
}

TEST(PaceFeedback, SpeedCommandsAndMessages) {
  const std::string usage = "pace_feedback: usage:\n\npace_feedback age-in-years < heart-rates-ascii.txt\n\n";
  const std::string e = "pace_feedback error: ";
  const struct {
    std::vector<std::string> args;
    std::string in;
    int status;
    std::string out, err;  // err: the start of standard error
  } cases[] = {
      {{"30"}, "150\n180\n120\n165\n135\n", 0,
       "osd 0\n" + commands("1.000000", "150 bpm [150]    ok   ") + commands("1.100000", "180 bpm [150] too fast") +
           commands("0.900000", "120 bpm [150] too slow") + commands("1.000000", "165 bpm [150]    ok   ") +
           commands("1.000000", "135 bpm [150]    ok   "),
       "pace_feedback info: age = 30 -> target_hr = 150.000000\nhr = 150.000000 -> speed = 1.000000\n"
       "hr = 180.000000 -> speed = 1.100000\nhr = 120.000000 -> speed = 0.900000\n"
       "hr = 165.000000 -> speed = 1.000000\nhr = 135.000000 -> speed = 1.000000\n"},
      // Just outside the dead band, either side: the speed is continuous;
      // rates with fractions round half up.
      {{"40"}, "155.01 124.99 72.5 200.4", 0,
       "osd 0\n" + commands("1.000071", "155 bpm [140] too fast") + commands("0.999929", "125 bpm [140] too slow") +
           commands("0.625000", "73 bpm [140] too slow") + commands("1.324286", "200 bpm [140] too fast"),
       "pace_feedback info: age = 40"},
      {{"30"}, "", 0, "osd 0\n", "pace_feedback info"},
      {{"30"}, "150\n180\nabc\n200\n", 1,
       "osd 0\n" + commands("1.000000", "150 bpm [150]    ok   ") + commands("1.100000", "180 bpm [150] too fast"),
       "pace_feedback info: age = 30 -> target_hr = 150.000000\nhr = 150.000000 -> speed = 1.000000\n"
       "hr = 180.000000 -> speed = 1.100000\n" + e + "input \"abc\" is not a number!\n"},
      // Rates no heart has leave the speed alone (the limits themselves pass).
      {{"30"}, "20\nnan\n180\ninf\n-100\n1e300\n19.99\n300.01\n-inf\n300\n", 0,
       "osd 0\n" + commands("0.233333", "20 bpm [150] too slow") + commands("1.100000", "180 bpm [150] too fast") +
           commands("1.900000", "300 bpm [150] too fast"),
       "pace_feedback info"},
      {{"179"}, "30\n", 0, "osd 0\n" + commands("15.000000", "30 bpm [1] too fast"), "pace_feedback info"},
      {{}, "150\n", 1, "", e + "argument missing!\n" + usage},
      {{"abc"}, "150\n", 1, "", e + "age \"abc\" is not a whole number of years!\n"},
      {{"30x"}, "150\n", 1, "", e + "age \"30x\" is not a whole number of years!\n"},
      {{"180"}, "150\n", 1, "", e + "age 180 is too high: the target heart rate 180 - age must be positive!\n"},
      {{"-5"}, "150\n", 1, "", e + "age -5 must not be negative!\n"},
  };
  for (const auto &c : cases) {
    ProcResult r = pf(c.args, c.in);
    EXPECT_EQ(r.status, c.status) << c.in;
    EXPECT_EQ(r.out, c.out) << c.in;
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << c.in;
  }
  ProcResult r = pf({"30"}, "nan\n1e300\n-inf\n");
  for (const char *word : {"nan", "1e+300", "-inf"})
    EXPECT_NE(r.err.find(std::string("pace_feedback warning: heart rate ") + word + " ignored, speed unchanged\n"),
              std::string::npos) << r.err;
  for (const char *flag : {"--help", "-h"}) {
    r = pf({flag}, "");
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_TRUE(r.out.empty()) << flag;
    EXPECT_EQ(r.err.rfind("pace_feedback: usage:\n\npace_feedback age-in-years <", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("mplayer -slave -input file=/dev/stdin"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("$0"), std::string::npos) << r.err;
  }
}

TEST(PaceFeedbackMPlayer, PlayerAcceptsTheSpeed) {
  const std::string mplayer = "/usr/bin/mplayer";
  if (access(mplayer.c_str(), X_OK) != 0) GTEST_SKIP() << "mplayer is not installed (Debian package mplayer)";
  ProcResult p = pf({"30"}, "180\n");
  ASSERT_EQ(p.status, 0);
  // A few seconds of blank raw video for the player to play.
  testsupport::TempDir dir;
  const std::string video = dir.file("blank.yuv");
  testsupport::write_file(video, std::string(16 * 16 * 3 / 2 * 250, '\0'));
  ProcResult m = testsupport::run(mplayer,
                                  {"-idle", "-slave", "-nosound", "-vo", "null", "-nolirc", "-noconsolecontrols",
                                   "-demuxer", "rawvideo", "-rawvideo", "w=16:h=16:fps=25:format=i420", video},
                                  p.out + "get_property speed\nquit\n", testsupport::RunOptions{dir.path(), {}, 30});
  EXPECT_NE(m.out.find("ANS_speed=1.100000"), std::string::npos) << m.out << m.err;
}

}  // namespace
