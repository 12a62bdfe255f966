// capture_corvia live, end to end: the simulated front end on a pseudo-terminal, the KestoSerial server, CorviaDLL and
// the capture ring. The recordings are checked against the simamp device model, which reproduces what the simulator
// sent from the same seed.
#include "live_support.h"
#include "testsupport.h"

namespace {

using namespace testsupport;

const live::Subject subject;  // seed 11, 72 beats and 20 breaths a minute

// capture_corvia --die=`die` against the simulator: its standard error, the frames in `recording`.
testsupport::ProcResult capture(const TempDir &dir, int die, const std::string &recording) {
  return run("/bin/sh", {"-c", "exec \"$0\" --die=\"$1\" > \"$2\"", bin_path("capture_corvia"), std::to_string(die),
                         recording}, "", live::options_in(dir, 60));
}

// The mean of the values a corvia_signals rate takes over the last 2 s of the recording (8 values a second; NaN while a
// detector settles).
double settled_rate(const std::string &recording, const char *signal, int pick) {
  auto r = run("/bin/sh", {"-c", "\"$0\" --signal=$1 --pick=$2 < \"$3\" | \"$4\" --features",
                           bin_path("corvia_signals"), signal, std::to_string(pick), recording, bin_path("vecshow")});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<double> v;
  for (size_t a = 0, b; (b = r.out.find('\n', a)) != std::string::npos; a = b + 1) v.push_back(atof(&r.out[a]));
  double sum = 0;
  int n = 0;
  for (size_t k = v.size() > 16 ? v.size() - 16 : 0; k < v.size(); k++)
    if (std::isfinite(v[k])) sum += v[k], n++;
  return n ? sum / n : NAN;
}

// Plain and compressed records arrive complete and unchanged; the heart rates the detectors find (settled after 6 s)
// are the subject's.
TEST(LiveCapture, RecordsArriveCompleteAndUnchanged) {
  const struct {
    const char *option;
    int die;
  } cases[] = {{"", 8}, {"--compressed", 4}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.option);
    TempDir dir;
    live::private_registry(dir, "COM3");
    live::Sim sim(dir, "COM3", subject, *c.option ? std::vector<std::string>{c.option} : std::vector<std::string>{});
    ASSERT_TRUE(sim.running()) << sim.err();
    const std::string recording = dir.file("live.raw");
    auto r = capture(dir, c.die, recording);
    ASSERT_EQ(r.status, 0) << r.err.substr(0, 3000);
    const auto frames = live::parse_frames(read_file(recording));
    // No frame missed and no second irregular. --die ends at the pass after the limit, the passes' own time after the
    // start (longer on a loaded machine); every second of frames counted.
    std::smatch m;
    EXPECT_NE(r.err.find("missed frames = 0\n"), std::string::npos) << r.err;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex("irregular samplingrate: 0 of ([0-9]+) = "))) << r.err;
    EXPECT_GE(std::stol(m[1]), c.die - 1);
    EXPECT_EQ((long)frames.size() / 2048, std::stol(m[1]));
    const live::Expected e = live::expected_signals(subject, frames.size());
    size_t mismatches = 0, first_mismatch = 0;
    for (size_t k = 0; k < frames.size(); k++)
      if (!live::frame_matches(frames[k], e, k) && mismatches++ == 0) first_mismatch = k;
    EXPECT_EQ(mismatches, 0u) << "first at frame " << first_mismatch;
    if (!*c.option) {
      EXPECT_NEAR(settled_rate(recording, "ECG-HR", 256), subject.hr, 1.0);
      EXPECT_NEAR(settled_rate(recording, "BVP-HR", 32), subject.hr, 1.0);
    }
  }
}

}  // namespace
