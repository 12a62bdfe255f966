#include "recording.h"

#include <cstdio>
#include <cstring>

#include "fv.h"
#include "gtest/gtest.h"

namespace rec {

std::vector<corvia_data> make_frames(
    int n, const std::function<void(int, float *)> &fill, int32_t start_sec,
    int32_t start_usec) {
  std::vector<corvia_data> frames(n);
  for (int k = 0; k < n; ++k) {
    corvia_data &f = frames[k];
    int64_t usec = static_cast<int64_t>(start_usec) +
                   static_cast<int64_t>(k) * 1000000 / 2048;
    f.time.tv_sec = start_sec + static_cast<int32_t>(usec / 1000000);
    f.time.tv_usec = static_cast<int32_t>(usec % 1000000);
    for (float &v : f.data) v = 1.0f;
    fill(k, f.data);
  }
  return frames;
}

std::vector<corvia_data> physio_frames(const physio_params &p, int n) {
  physio_generator g;
  physio_generator_init(&g, &p);
  std::vector<corvia_data> frames(n);
  for (auto &f : frames) physio_generator_next_frame(&g, &f);
  physio_generator_free(&g);
  return frames;
}

std::string to_bytes(const std::vector<corvia_data> &frames) {
  std::string s(frames.size() * sizeof(corvia_data), '\0');
  if (!frames.empty()) memcpy(&s[0], frames.data(), s.size());
  return s;
}

std::vector<sequence> decode(const std::string &fv_bytes) {
  std::vector<sequence> out;
  if (fv_bytes.empty()) return out;
  FILE *f = fmemopen(const_cast<char *>(fv_bytes.data()), fv_bytes.size(), "rb");
  EXPECT_NE(f, nullptr);
  if (f == nullptr) return out;
  while (fv_sequence *seq = fv_sequence_create_from_file_one(f)) {
    sequence s;
    s.name = seq->name ? seq->name : "";
    s.labelling = seq->info->labelling;
    EXPECT_EQ(seq->info->dim, 1);
    EXPECT_EQ(seq->info->datatype, FV_FLOAT);
    EXPECT_EQ(seq->n, seq->n_expected);
    for (int i = 0; i < seq->n; ++i) {
      float v;
      memcpy(&v, seq->vectors[i]->data, sizeof v);
      s.values.push_back(v);
      s.classes.push_back(seq->vectors[i]->class_number);
    }
    out.push_back(std::move(s));
    fv_sequence_delete(seq);
  }
  fclose(f);
  return out;
}

std::vector<float> all_values(const std::vector<sequence> &seqs) {
  std::vector<float> v;
  for (const auto &s : seqs) v.insert(v.end(), s.values.begin(), s.values.end());
  return v;
}

}  // namespace rec
