// pace_feedback: speed commands, dead band, messages and errors; and a real
// MPlayer in slave mode that must accept the speed it is sent.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "gtest/gtest.h"
#include "testsupport.h"

namespace {

using testsupport::ProcResult;

ProcResult pf(const std::vector<std::string> &args, const std::string &in) {
  return testsupport::run(testsupport::bin_path("pace_feedback"), args, in);
}

TEST(PaceFeedback, ExamplesForAge30) {
  ProcResult r = pf({"30"}, "150\n180\n120\n165\n135\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "osd 0\n"
            "speed_set 1.000000\n"
            "osd_show_text \"150 bpm [150]    ok   \" 10000\n"
            "speed_set 1.100000\n"
            "osd_show_text \"180 bpm [150] too fast\" 10000\n"
            "speed_set 0.900000\n"
            "osd_show_text \"120 bpm [150] too slow\" 10000\n"
            "speed_set 1.000000\n"
            "osd_show_text \"165 bpm [150]    ok   \" 10000\n"
            "speed_set 1.000000\n"
            "osd_show_text \"135 bpm [150]    ok   \" 10000\n");
  EXPECT_EQ(r.err,
            "pace_feedback info: age = 30 -> target_hr = 150.000000\n"
            "hr = 150.000000 -> speed = 1.000000\n"
            "hr = 180.000000 -> speed = 1.100000\n"
            "hr = 120.000000 -> speed = 0.900000\n"
            "hr = 165.000000 -> speed = 1.000000\n"
            "hr = 135.000000 -> speed = 1.000000\n");
}

TEST(PaceFeedback, SpeedIsContinuousAndRoundingHalfUp) {
  // Just outside the dead band, either side; rates with fractions.
  ProcResult r = pf({"40"}, "155.01 124.99 72.5 200.4");
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("speed_set 1.000071\nosd_show_text \"155 bpm [140] too fast\""),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("speed_set 0.999929\nosd_show_text \"125 bpm [140] too slow\""),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("speed_set 0.625000\nosd_show_text \"73 bpm [140] too slow\""),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("speed_set 1.324286\nosd_show_text \"200 bpm [140] too fast\""),
            std::string::npos) << r.out;
}

TEST(PaceFeedback, EmptyInputAndNonNumbers) {
  ProcResult e = pf({"30"}, "");
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.out, "osd 0\n");
  ProcResult a = pf({"30"}, "150\n180\nabc\n200\n");
  EXPECT_EQ(a.status, 1);
  EXPECT_EQ(a.out,
            "osd 0\nspeed_set 1.000000\nosd_show_text \"150 bpm [150]    ok   \" 10000\n"
            "speed_set 1.100000\nosd_show_text \"180 bpm [150] too fast\" 10000\n");
  EXPECT_NE(a.err.find("pace_feedback error: input \"abc\" is not a number!\n"),
            std::string::npos) << a.err;
  EXPECT_EQ(a.err.find("Success"), std::string::npos);
}

TEST(PaceFeedback, RatesNoHeartHasLeaveTheSpeedAlone) {
  // Skipped rates, each between two that pass (the limits themselves pass).
  ProcResult r = pf({"30"}, "20\nnan\n180\ninf\n-100\n1e300\n19.99\n300.01\n-inf\n300\n");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "osd 0\n"
            "speed_set 0.233333\nosd_show_text \"20 bpm [150] too slow\" 10000\n"
            "speed_set 1.100000\nosd_show_text \"180 bpm [150] too fast\" 10000\n"
            "speed_set 1.900000\nosd_show_text \"300 bpm [150] too fast\" 10000\n");
  for (const char *word : {"nan", "inf", "-100", "1e+300", "19.99", "300.01", "-inf"}) {
    std::string line = std::string("pace_feedback warning: heart rate ") + word +
                       " ignored, speed unchanged\n";
    EXPECT_NE(r.err.find(line), std::string::npos) << line << r.err;
  }
}

TEST(PaceFeedback, HelpNamesTheProgramAndExitsZero) {
  for (const char *flag : {"--help", "-h"}) {
    ProcResult r = pf({flag}, "");
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_TRUE(r.out.empty()) << flag;
    EXPECT_EQ(r.err.rfind("pace_feedback: usage:\n\npace_feedback age-in-years <", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("mplayer -slave -input file=/dev/stdin"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("$0"), std::string::npos) << r.err;
  }
}

TEST(PaceFeedback, ArgumentErrors) {
  const std::string usage =
      "pace_feedback error: argument missing!\n"
      "pace_feedback: usage:\n\npace_feedback age-in-years < heart-rates-ascii.txt\n\n";
  for (auto args : std::vector<std::vector<std::string>>{{}, {"30", "40"}}) {
    ProcResult r = pf(args, "150\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, usage);
  }
  struct bad {
    std::string age, message;
  };
  for (const bad &b : {bad{"abc", "pace_feedback error: age \"abc\" is not a whole number of years!\n"},
                       bad{"30x", "pace_feedback error: age \"30x\" is not a whole number of years!\n"},
                       bad{"", "pace_feedback error: age \"\" is not a whole number of years!\n"},
                       bad{"180", "pace_feedback error: age 180 is too high: the target heart "
                                  "rate 180 - age must be positive!\n"},
                       bad{"250", "age 250 is too high"},
                       bad{"-5", "pace_feedback error: age -5 must not be negative!\n"}}) {
    ProcResult r = pf({b.age}, "150\n");
    EXPECT_EQ(r.status, 1) << b.age;
    EXPECT_TRUE(r.out.empty()) << b.age;
    EXPECT_NE(r.err.find(b.message), std::string::npos) << b.age << ": " << r.err;
  }
  ProcResult ok = pf({"179"}, "30\n");
  EXPECT_EQ(ok.status, 0);
  EXPECT_NE(ok.out.find("speed_set 15.000000\n"), std::string::npos);
}

std::string find_mplayer() {
  for (const char *dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
    std::string p = std::string(dir) + "/mplayer";
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

TEST(PaceFeedbackMPlayer, PlayerAcceptsTheSpeed) {
  const std::string mplayer = find_mplayer();
  if (mplayer.empty()) GTEST_SKIP() << "mplayer is not installed (Debian package mplayer)";
  ProcResult p = pf({"30"}, "180\n");
  ASSERT_EQ(p.status, 0);
  // A few seconds of blank raw video for the player to play.
  testsupport::TempDir dir;
  const std::string video = dir.file("blank.yuv");
  testsupport::write_file(video, std::string(16 * 16 * 3 / 2 * 250, '\0'));
  ProcResult m = testsupport::run(
      mplayer,
      {"-idle", "-slave", "-nosound", "-vo", "null", "-nolirc", "-noconsolecontrols",
       "-demuxer", "rawvideo", "-rawvideo", "w=16:h=16:fps=25:format=i420", video},
      p.out + "get_property speed\nquit\n", testsupport::RunOptions{dir.path(), {}, 30});
  EXPECT_NE(m.out.find("ANS_speed=1.100000"), std::string::npos) << m.out << m.err;
}

}  // namespace
