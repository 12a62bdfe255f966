#include "streams.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
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

struct Reader {
  const std::string &b;
  size_t pos = 0;
  bool ok = true;
  bool take(size_t n, std::string *out) {
    if (!ok || pos + n > b.size()) {
      ok = false;
      return false;
    }
    if (out) *out = b.substr(pos, n);
    pos += n;
    return true;
  }
  uint64_t le(size_t n) {
    std::string s;
    if (!take(n, &s)) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) v |= static_cast<uint64_t>(static_cast<unsigned char>(s[i])) << (8 * i);
    return v;
  }
  int16_t i16() { return static_cast<int16_t>(le(2)); }
  int32_t i32() { return static_cast<int32_t>(le(4)); }
  int u8() { return static_cast<int>(le(1)); }
};

double ldouble_value(const std::string &item) {
  uint64_t mant = 0;
  for (int i = 0; i < 8; i++) mant |= static_cast<uint64_t>(static_cast<unsigned char>(item[i])) << (8 * i);
  unsigned se = static_cast<unsigned char>(item[8]) | (static_cast<unsigned char>(item[9]) << 8);
  bool negative = se & 0x8000;
  int e = static_cast<int>(se & 0x7fff);
  double v;
  if (e == 0x7fff)
    v = (mant << 1) == 0 ? INFINITY : NAN;
  else
    v = std::ldexp(static_cast<double>(mant), e - 16383 - 63);
  return negative ? -v : v;
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

std::vector<Seq> decode(const std::string &bytes, bool *decode_ok) {
  static const int sizes[] = {4, 8, 12, 4};
  std::vector<Seq> out;
  Reader r{bytes};
  while (r.ok && r.pos < bytes.size()) {
    Seq s;
    std::string id;
    EXPECT_EQ(r.i16(), 23);
    r.take(23, &id);
    EXPECT_EQ(id, "feature vector sequence");
    EXPECT_EQ(r.i32(), 10000);
    EXPECT_EQ(r.i32(), 10000);
    int name_len = r.i16();
    s.has_name = name_len > 0;
    s.name.clear();
    if (name_len > 0) r.take(static_cast<size_t>(name_len), &s.name);
    s.n_expected = r.i32();
    int32_t seqdata_len = r.i32();
    if (seqdata_len > 0) r.take(static_cast<size_t>(seqdata_len), &s.seqdata);
    s.dim = r.i32();
    int itemsize = r.u8();
    s.type = r.u8();
    int have_label = r.u8();
    int have_class = r.u8();
    s.adata_len = r.i32();
    if (!r.ok) break;
    if (s.type < 0 || s.type > 3 || itemsize != sizes[s.type] || (have_label && have_class) ||
        s.n_expected < 0 || s.dim < 0) {
      ADD_FAILURE() << "defect header in output";
      r.ok = false;
      break;
    }
    s.labelling = have_class ? L_CLASS : have_label ? L_LABEL : L_NONE;
    for (int32_t i = 0; i < s.n_expected && r.ok; i++) {
      Vec v;
      for (int d = 0; d < s.dim; d++) {
        std::string item;
        if (!r.take(static_cast<size_t>(itemsize), &item)) break;
        double x;
        if (s.type == T_FLOAT) {
          float f;
          std::memcpy(&f, item.data(), 4);
          x = f;
        } else if (s.type == T_DOUBLE) {
          std::memcpy(&x, item.data(), 8);
        } else if (s.type == T_LDOUBLE) {
          x = ldouble_value(item);
        } else {
          int32_t k;
          std::memcpy(&k, item.data(), 4);
          x = k;
        }
        v.x.push_back(x);
      }
      if (s.labelling == L_LABEL) {
        int len = r.i16();
        v.has_label = len > 0;
        if (len > 0) r.take(static_cast<size_t>(len), &v.label);
      } else if (s.labelling == L_CLASS) {
        v.cls = r.i32();
      }
      if (s.adata_len > 0) r.take(static_cast<size_t>(s.adata_len), &v.adata);
      s.v.push_back(v);
    }
    out.push_back(s);
  }
  if (!r.ok) ADD_FAILURE() << "output stream ends inside a record";
  if (decode_ok) *decode_ok = r.ok;
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
