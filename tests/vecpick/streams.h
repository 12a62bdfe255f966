// .fv streams as plain values for the vecpick tests: a description that
// turns into the text of testsupport::fv_from_text, and the stream bytes a
// program writes decoded into the same description.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
  int32_t n_expected = 0;  // filled by decode; ignored by to_text
  std::vector<Vec> v;
};

// Text for testsupport::fv_from_text; also a readable form of a stream,
// every field shown (NaN as "nan"), to compare two streams by.
std::string to_text(const std::vector<Seq> &seqs);
// The .fv bytes of `seqs`.
std::string encode(const std::vector<Seq> &seqs);
// Decodes a whole stream (with the fv library).
std::vector<Seq> decode(const std::string &bytes);

// A vector of features only.
Vec plain(const std::vector<double> &x);

// Convenience: one sequence of class-numbered 1-dimensional float vectors
// whose features are their index.
Seq class_seq(const std::vector<int32_t> &classes, const std::string &name = "seq");
// One sequence of label strings ("-" for an absent label).
Seq label_seq(const std::vector<std::string> &labels, const std::string &name = "seq");

}  // namespace vp
