// Raw recordings for the tests of the signal and map modules and
// corvia_signals: hand-made frames and the synthetic generator's, and event
// and map files.
#pragma once

#include "corvia.h"
#include "physio.h"
#include "testsupport.h"

namespace rec {

// n frames; frame k gets time stamp start_sec + k / 2048 s and the values
// fill(k, values) writes (raw, unscaled). Unfilled values are 1.0.
inline std::vector<corvia_data> make_frames(int n, const std::function<void(int, float *)> &fill,
                                            int32_t start_sec = 1767225600) {
  std::vector<corvia_data> frames(n);
  for (int k = 0; k < n; ++k) {
    const int64_t usec = static_cast<int64_t>(k) * 1000000 / 2048;
    frames[k].time = {start_sec + static_cast<int32_t>(usec / 1000000), static_cast<int32_t>(usec % 1000000)};
    for (float &v : frames[k].data) v = 1.0f;
    fill(k, frames[k].data);
  }
  return frames;
}

// n frames of the synthetic generator with parameters p.
inline std::vector<corvia_data> physio_frames(const physio_params &p, int n) {
  physio_generator g;
  physio_generator_init(&g, &p);
  std::vector<corvia_data> frames(n);
  for (auto &f : frames) physio_generator_next_frame(&g, &f);
  physio_generator_free(&g);
  return frames;
}

// A steady subject: 72 beats and 15 breaths a minute without variation.
inline physio_params quiet_params() {
  physio_params p;
  physio_params_init(&p);
  p.heart_rate = 72;
  p.hrv = p.rsa = p.resp_variability = 0.0;
  p.resp_rate = 15;
  return p;
}

// The frames as a raw recording stream.
inline std::string to_bytes(const std::vector<corvia_data> &frames) {
  std::string s(frames.size() * sizeof(corvia_data), '\0');
  if (!frames.empty()) memcpy(&s[0], frames.data(), s.size());
  return s;
}

// Events and a map in files of their own.
struct labelling {
  testsupport::TempDir dir;
  std::string events = dir.file("events.txt"), map = dir.file("map.txt");
  labelling(const std::string &ev, const std::string &mp) {
    testsupport::write_file(events, ev);
    testsupport::write_file(map, mp);
  }
  // `more` and the options that name them to corvia_signals.
  std::vector<std::string> args(std::vector<std::string> more) const {
    more.insert(more.end(), {"-e", events, "-m", map});
    return more;
  }
};

}  // namespace rec
