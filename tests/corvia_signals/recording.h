// Helpers of the recording tests: hand-made and synthetic raw recordings,
// and the .fv output of corvia_signals decoded into plain values.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "corvia.h"
#include "physio.h"

namespace rec {

// n frames; frame k gets time stamp start_sec + k / 2048 s and the values
// fill(k, values) writes (raw, unscaled). Unfilled values are 1.0.
std::vector<corvia_data> make_frames(
    int n, const std::function<void(int, float *)> &fill,
    int32_t start_sec = 1767225600, int32_t start_usec = 0);

// n frames of the synthetic generator with parameters p.
std::vector<corvia_data> physio_frames(const physio_params &p, int n);

// The frames as a raw recording stream.
std::string to_bytes(const std::vector<corvia_data> &frames);

struct sequence {
  std::string name;
  int labelling = 0;
  std::vector<float> values;
  std::vector<int32_t> classes;
};

// Decodes a .fv stream of one-dimensional float sequences.
std::vector<sequence> decode(const std::string &fv_bytes);

// All values of all sequences, in order.
std::vector<float> all_values(const std::vector<sequence> &seqs);

}  // namespace rec
