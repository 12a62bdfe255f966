#include "streams.h"

#include <cmath>
#include <cstdio>
#include <sstream>

#include "testsupport.h"

namespace vp {

namespace {

std::string number_text(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", x);
  return buf;
}

std::string hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace

std::string to_text(const std::vector<Seq> &seqs) {
  static const char *types[] = {"float", "double", "ldouble", "int32"};
  static const char *labellings[] = {"none", "class", "label"};
  std::ostringstream t;
  for (const auto &s : seqs) {
    t << "seq";
    if (s.has_name) t << " name=" << s.name;
    t << " type=" << types[s.type] << " labelling=" << labellings[s.labelling]
      << " adata=" << s.adata_len << " dim=" << s.dim;
    if (!s.seqdata.empty()) t << " seqdata=" << hex(s.seqdata);
    t << "\n";
    for (const auto &v : s.v) {
      for (double x : v.x) t << number_text(x) << " ";
      if (s.labelling == L_CLASS) t << "class=" << v.cls << " ";
      if (s.labelling == L_LABEL) t << (v.has_label ? "label=" + v.label : "nolabel") << " ";
      if (s.adata_len > 0) t << "adata=" << hex(v.adata);
      t << "\n";
    }
  }
  return t.str();
}

std::string encode(const std::vector<Seq> &seqs) { return testsupport::fv_from_text(to_text(seqs)); }

std::vector<Seq> decode(const std::string &bytes) {
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
    s.n_expected = q.n_expected;
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

Vec plain(const std::vector<double> &x) {
  Vec v;
  v.x = x;
  return v;
}

Seq class_seq(const std::vector<int32_t> &classes, const std::string &name) {
  Seq s;
  s.name = name;
  s.dim = 1;
  s.labelling = L_CLASS;
  for (size_t i = 0; i < classes.size(); i++) {
    Vec v;
    v.x = {static_cast<double>(i)};
    v.cls = classes[i];
    s.v.push_back(v);
  }
  return s;
}

Seq label_seq(const std::vector<std::string> &labels, const std::string &name) {
  Seq s;
  s.name = name;
  s.dim = 1;
  s.labelling = L_LABEL;
  for (size_t i = 0; i < labels.size(); i++) {
    Vec v;
    v.x = {static_cast<double>(i)};
    v.has_label = labels[i] != "-";
    if (v.has_label) v.label = labels[i];
    s.v.push_back(v);
  }
  return s;
}

}  // namespace vp
