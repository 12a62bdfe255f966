// Vectors and sequences of the feature-vector library made for the tests.
#pragma once

#include "fv.h"
#include "fvstreams.h"

// A vector of `type` holding `values` (through doubles), with its description; released at the end of the scope.
struct Vec {
  fv_info info;
  fv *f;
  Vec(int type, std::vector<double> values, int labelling = 0, int adata = 0) {
    fv_info_init(&info, type, (int32_t)values.size(), labelling, adata);
    f = fv_create(&info);
    if (!values.empty()) {
      testing::internal::CaptureStderr();
      double_to_fv(&info, values.data(), f);
      testing::internal::GetCapturedStderr();
    }
    info.did_warn_NAN = info.did_warn_INF = 0;
  }
  ~Vec() { fv_delete(f); }
  // The text form, or the numbered one; "<null>" for none.
  std::string text(bool numbered = false) {
    char *t = numbered ? fv_to_numbered_ascii(&info, f) : fv_to_ascii(&info, f);
    std::string s = t ? t : "<null>";
    std::free(t);
    return s;
  }
};

// `q` as a library record, appended vector by vector.
inline fv_sequence *sequence_of(const vp::Seq &q) {
  fv_sequence *s = fv_sequence_create(q.type, q.dim, q.labelling, q.adata_len, q.has_name ? q.name.c_str() : nullptr,
                                      (int32_t)q.v.size(), (int32_t)q.seqdata.size(), q.seqdata.data());
  fv *f = fv_create(s->info);
  for (const auto &v : q.v) {
    double_to_fv(s->info, v.x.data(), f);
    if (q.labelling == FV_LABELLING_LABEL_STRING) fv_label(f, v.has_label ? v.label.c_str() : nullptr);
    fv_class(f, q.labelling == FV_LABELLING_CLASS_NUMBER ? v.cls : 0);
    if (q.adata_len) std::memcpy(f->adata, v.adata.data(), q.adata_len);
    fv_sequence_append(s, f);
  }
  fv_delete(f);
  return s;
}
