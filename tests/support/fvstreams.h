// .fv streams as plain values: a description that turns into the text of
// testsupport::fv_from_text, and the stream bytes a program or the writer
// produces decoded into the same description.
#pragma once

#include "testsupport.h"

namespace vp {

enum { T_FLOAT = 0, T_DOUBLE = 1, T_LDOUBLE = 2, T_INT32 = 3 };
enum { L_NONE = 0, L_CLASS = 1, L_LABEL = 2 };

struct Vec {
  std::vector<double> x;
  bool has_label = false;  // with label strings: false is an absent label
  std::string label;
  int32_t cls = 0;
  std::string adata;
};

struct Seq {
  bool has_name = true;
  std::string name = "seq";
  int type = T_FLOAT;
  int dim = 0;
  int labelling = L_NONE;
  int adata_len = 0;
  std::string seqdata;
  std::vector<Vec> v;
};

inline Vec plain(const std::vector<double> &x) {
  Vec v;
  v.x = x;
  return v;
}

// Text for testsupport::fv_from_text; also a readable form of a stream,
// every field shown (NaN as "nan"), to compare two streams by.
inline std::string to_text(const std::vector<Seq> &seqs) {
  static const char *types[] = {"float", "double", "ldouble", "int32"}, *labellings[] = {"none", "class", "label"};
  auto hex = [](const std::string &bytes) {
    std::string out;
    char b[3];
    for (unsigned char c : bytes) {
      std::snprintf(b, sizeof b, "%02x", c);
      out += b;
    }
    return out;
  };
  std::string t;
  for (const auto &s : seqs) {
    t += "seq" + (s.has_name ? " name=" + s.name : "") + " type=" + types[s.type] + " labelling=" +
         labellings[s.labelling] + " adata=" + std::to_string(s.adata_len) + " dim=" + std::to_string(s.dim) +
         (s.seqdata.empty() ? "" : " seqdata=" + hex(s.seqdata)) + "\n";
    for (const auto &v : s.v) {
      char b[32];
      for (double x : v.x) {
        std::snprintf(b, sizeof b, "%.17g ", x);
        t += std::isnan(x) ? "nan " : b;
      }
      if (s.labelling == L_CLASS) t += "class=" + std::to_string(v.cls) + " ";
      if (s.labelling == L_LABEL) t += (v.has_label ? "label=" + v.label : "nolabel") + " ";
      if (s.adata_len > 0) t += "adata=" + hex(v.adata);
      t += "\n";
    }
  }
  return t;
}

inline std::string encode(const std::vector<Seq> &seqs) { return testsupport::fv_from_text(to_text(seqs)); }

// Decodes a whole stream (with the fv library).
inline std::vector<Seq> decode(const std::string &bytes) {
  std::vector<Seq> out;
  for (const testsupport::FvSeq &q : testsupport::fv_decode(bytes)) {
    Seq s;
    s.has_name = !q.name.empty();
    s.name = q.name;
    s.type = q.datatype;
    s.dim = q.dim;
    s.labelling = q.labelling;
    s.adata_len = q.adata.empty() ? 0 : static_cast<int>(q.adata[0].size());
    s.seqdata = q.seqdata;
    for (size_t i = 0; i < q.rows.size(); i++) {
      Vec v = plain(q.rows[i]);
      v.has_label = q.labels[i] != "<null>";
      if (v.has_label) v.label = q.labels[i];
      v.cls = q.classes[i];
      v.adata = q.adata[i];
      s.v.push_back(v);
    }
    out.push_back(s);
  }
  return out;
}

// One sequence of 1-dimensional float vectors whose features are their
// index, with class numbers, or with label strings ("-" for an absent label).
inline Seq class_seq(const std::vector<int32_t> &classes, const std::string &name = "seq") {
  Seq s;
  s.name = name;
  s.dim = 1;
  s.labelling = L_CLASS;
  for (size_t i = 0; i < classes.size(); i++) {
    s.v.push_back(plain({static_cast<double>(i)}));
    s.v.back().cls = classes[i];
  }
  return s;
}
inline Seq label_seq(const std::vector<std::string> &labels, const std::string &name = "seq") {
  Seq s = class_seq(std::vector<int32_t>(labels.size(), 0), name);
  s.labelling = L_LABEL;
  for (size_t i = 0; i < labels.size(); i++) {
    s.v[i].has_label = labels[i] != "-";
    s.v[i].label = s.v[i].has_label ? labels[i] : "";
  }
  return s;
}

}  // namespace vp
