#include "live_support.h"

#include "simamp.h"
#include "win32.h"

namespace live {

void private_registry(const testsupport::TempDir &dir, const std::string &free_com) {
  setenv("CORVIA_REGISTRY_FILE", dir.file("registry.txt").c_str(), 1);
  for (int k = 1; k <= 12; k++) {
    const std::string com = "COM" + std::to_string(k);
    if (com != free_com) platform_portmap_set(com.c_str(), dir.file("absent-" + com).c_str());
  }
}

testsupport::RunOptions options_in(const testsupport::TempDir &dir, double timeout) {
  return {dir.path(), {{"CORVIA_REGISTRY_FILE", dir.file("registry.txt")}}, timeout};
}

std::vector<std::string> Subject::args(std::vector<std::string> extra) const {
  extra.insert(extra.begin(), {"--seed=" + std::to_string(seed), "--hr=" + std::to_string(hr),
                               "--resp-rate=" + std::to_string(resp), "--hrv=" + std::to_string(hrv),
                               "--rsa=" + std::to_string(rsa)});
  return extra;
}

Expected expected_signals(const Subject &subject, size_t n) {
  simamp_config cfg;
  simamp_config_init(&cfg);
  std::tie(cfg.physio.seed, cfg.seed, cfg.physio.heart_rate, cfg.physio.resp_rate, cfg.physio.hrv, cfg.physio.rsa) =
      std::tuple(subject.seed, subject.seed, subject.hr, subject.resp, subject.hrv, subject.rsa);
  cfg.physio.hr_schedule.clear();
  cfg.physio.resp_schedule.clear();
  simamp_device d;
  simamp_device_init(&d, &cfg, nullptr);
  Expected e;
  const int channels = (int)d.channels.size();
  e.tolerance.fill(0);
  std::vector<int32_t> counts((size_t)channels);
  std::unique_ptr<bool[]> valid(new bool[(size_t)channels]);
  e.values.resize(n);
  for (size_t r = 0; r < n; r++) {
    simamp_device_next_record(&d, channels, counts.data(), valid.get());
    for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++) {
      const simamp_channel &ch = d.channels[(size_t)j + 2];
      const double v = (double)counts[(size_t)j + 2] * ch.gain + ch.offset;
      e.values[r][(size_t)j] = v;
      // The server scales in float: a few units in the last place of the value and of its two terms.
      const double t = 4e-7 * (std::fabs(v) + std::fabs(counts[(size_t)j + 2] * ch.gain) +
                               std::fabs(ch.offset)) + 1e-12;
      e.tolerance[(size_t)j] = std::max(e.tolerance[(size_t)j], t);
    }
  }
  simamp_device_free(&d);
  return e;
}

bool frame_matches(const corvia_data &frame, const Expected &e, size_t record) {
  if (record >= e.values.size()) return false;
  for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++)
    if (!(std::fabs(frame.data[j] - e.values[record][(size_t)j]) <= e.tolerance[(size_t)j]))
      return false;
  return true;
}

std::vector<corvia_data> parse_frames(const std::string &bytes) {
  EXPECT_EQ(bytes.size() % sizeof(corvia_data), 0u);
  std::vector<corvia_data> frames(bytes.size() / sizeof(corvia_data));
  if (!frames.empty()) memcpy(frames.data(), bytes.data(), frames.size() * sizeof(corvia_data));
  return frames;
}

}  // namespace live
