// Running glide_stats on a stream of doubles and reading its output back,
// shared by the glide_stats test folders.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fv.h"
#include "testsupport.h"

namespace glide_harness {

using testsupport::ProcResult;

// A one-sequence FV_DOUBLE stream of x, dim values per vector.
inline std::string stream_of(const std::vector<double> &x, int dim = 1) {
  std::string text = "seq name=s type=double\n";
  char buf[64];
  for (size_t i = 0; i < x.size(); i += dim) {
    for (int j = 0; j < dim; ++j) {
      std::snprintf(buf, sizeof buf, "%.17g ", x[i + j]);
      text += buf;
    }
    text += "\n";
  }
  return testsupport::fv_from_text(text);
}

inline ProcResult glide(const std::vector<std::string> &args,
                        const std::vector<double> &x, int dim = 1,
                        const testsupport::RunOptions &opts = {}) {
  return testsupport::run(testsupport::bin_path("glide_stats"), args,
                          stream_of(x, dim), opts);
}

// The features of the single output sequence, row by row.
inline std::vector<double> features(const ProcResult &r) {
  std::vector<double> out;
  if (r.out.empty()) return out;
  FILE *f = fmemopen(const_cast<char *>(r.out.data()), r.out.size(), "rb");
  fv_sequence *s = fv_sequence_create_from_file_one(f);
  EXPECT_NE(s, nullptr);
  if (s) {
    std::vector<double> v(s->info->dim);
    for (int32_t i = 0; i < s->n; ++i) {
      fv_to_double(s->info, s->vectors[i], v.data());
      out.insert(out.end(), v.begin(), v.end());
    }
    fv_sequence_delete(s);
  }
  std::fclose(f);
  return out;
}

// Runs glide_stats, expects success, and returns its output features.
inline std::vector<double> run_ok(const std::vector<std::string> &args,
                                  const std::vector<double> &x, int dim = 1,
                                  std::string *err = nullptr) {
  const ProcResult r = glide(args, x, dim);
  EXPECT_EQ(r.status, 0) << r.err;
  if (err) *err = r.err;
  return features(r);
}

}  // namespace glide_harness
