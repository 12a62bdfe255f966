// Conversions between vectors, plain arrays and text.
#include <cfloat>
#include <limits>

#include "fv.h"
#include "reference.h"
#include "testsupport.h"
#include "vec.h"

using ref::re_quote;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(FvConvert, DoubleToInt32IsDefinedEverywhere) {
  struct Case {
    double x;
    int32_t want;
  } cases[] = {
      {0.0, 0},          {-0.0, 0},         {3.99, 3},
      {-3.99, -3},       {-0.9, 0},         {2147483646.9, 2147483646},
      {2147483647.0, INT32_MAX},            {2147483647.5, INT32_MAX},
      {2147483648.0, INT32_MAX},            {1e300, INT32_MAX},
      {-2147483648.0, INT32_MIN},           {-2147483648.9, INT32_MIN},
      {-2147483649.0, INT32_MIN},           {-1e300, INT32_MIN},
      {kInf, INT32_MAX}, {-kInf, INT32_MIN}, {kNaN, 0},
      {-kNaN, 0},        {DBL_MIN, 0},      {-2147483647.9, -2147483647},
  };
  int32_t out[1];
  for (const Case &c : cases) {
    EXPECT_EQ(fv_double_to_int32(c.x), c.want) << c.x;
    for (int type : {FV_FLOAT, FV_DOUBLE, FV_LDOUBLE, FV_INT32}) {  // vectors of every type saturate alike
      Vec v(type, {c.x});
      fv_to_int32_t(&v.info, v.f, out);
      EXPECT_EQ(out[0], type == FV_FLOAT ? fv_double_to_int32((float)c.x) : c.want) << c.x << " type " << type;
    }
  }
  // Extended precision is truncated with all its bits: just below -1.
  Vec g(FV_LDOUBLE, {0});
  fv_ldouble_set(g.f->data, -1.0L + LDBL_EPSILON);
  fv_to_int32_t(&g.info, g.f, out);
  EXPECT_EQ(out[0], 0);
}

TEST(FvConvert, ExtendedPrecisionItems) {
  unsigned char item[12];
  std::memset(item, 0x55, sizeof item);
  fv_ldouble_set(item, 1.0L);
  EXPECT_EQ(std::string((char *)item, 12), std::string("\0\0\0\0\0\0\0\x80\xff\x3f\0\0", 12));
  item[10] = item[11] = 0x12;  // padding bytes are ignored when reading
  EXPECT_EQ(fv_ldouble_get(item), 1.0L);
  // Every bit of the 64-bit mantissa survives.
  long double fine = 1.0L + LDBL_EPSILON;
  fv_ldouble_set(item, fine);
  EXPECT_EQ(fv_ldouble_get(item), fine);
  EXPECT_NE((long double)(double)fine, fine);  // more than a double holds

  // Against the independent encoder: doubles written as ldouble items.
  const std::string bytes = testsupport::fv_from_text("seq type=ldouble\n1.5 -0 1e-310 -2.75e300 inf -inf nan 0.1\n");
  double values[8] = {1.5, -0.0, 1e-310, -2.75e300, kInf, -kInf, kNaN, 0.1}, back[8];
  Vec v(FV_LDOUBLE, std::vector<double>(values, values + 8));
  EXPECT_EQ(std::string((char *)v.f->data, 96), bytes.substr(bytes.size() - 8 * 12));
  v.info.did_warn_NAN = v.info.did_warn_INF = 1;
  fv_to_double(&v.info, v.f, back);
  EXPECT_EQ(std::memcmp(back, values, sizeof values), 0);  // NaN and signs too
}

TEST(FvConvert, RandomRoundTripsThroughEveryType) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<double> uni(-1e6, 1e6);
  for (int type = 0; type < 4; type++) {
    const int dim = 257;
    Vec x(type, std::vector<double>(dim));
    fv_info &info = x.info;
    fv *f = x.f;
    std::vector<double> v(dim), d(dim);
    std::vector<float> fl(dim), fo(dim);
    std::vector<int32_t> iv(dim), io(dim);
    for (int round = 0; round < 20; round++) {
      for (int i = 0; i < dim; i++) {
        v[i] = uni(rng);
        fl[i] = (float)uni(rng);
        iv[i] = (int32_t)rng();
      }
      double_to_fv(&info, v.data(), f);
      fv_to_double(&info, f, d.data());
      for (int i = 0; i < dim; i++) {
        double want = type == FV_FLOAT   ? (double)(float)v[i]
                      : type == FV_INT32 ? (double)(int32_t)std::trunc(v[i])
                                         : v[i];
        ASSERT_EQ(d[i], want);
      }
      float_to_fv(&info, fl.data(), f);
      fv_to_float(&info, f, fo.data());
      for (int i = 0; i < dim; i++) {
        float want = type == FV_INT32 ? (float)(int32_t)std::trunc(fl[i]) : fl[i];
        ASSERT_EQ(fo[i], want);
      }
      int32_t_to_fv(&info, iv.data(), f);
      fv_to_int32_t(&info, f, io.data());
      for (int i = 0; i < dim; i++) {
        int32_t want = type == FV_FLOAT ? fv_double_to_int32((float)iv[i]) : iv[i];
        ASSERT_EQ(io[i], want);
      }
    }
  }
}

// Each operation names itself, warns once per kind and description, both kinds in one vector give two lines; integer
// conversions do not check.
TEST(FvConvert, NanAndInfWarnOncePerDescription) {
  double dv[2] = {kInf, kNaN};
  float fv2[2] = {(float)kInf, (float)kNaN};
  const struct {
    const char *op;
    std::function<void(fv_info *, fv *)> call;
  } ops[] = {
      {"fv_to_double", [&](fv_info *i, fv *f) { fv_to_double(i, f, dv); }},
      {"fv_to_float", [&](fv_info *i, fv *f) { fv_to_float(i, f, fv2); }},
      {"double_to_fv", [&](fv_info *i, fv *f) { double_to_fv(i, dv, f); }},
      {"float_to_fv", [&](fv_info *i, fv *f) { float_to_fv(i, fv2, f); }},
  };
  const std::string w = " value encountered (this warning/check will not be repeated)!\n";
  for (int type : {FV_FLOAT, FV_DOUBLE})
    for (const auto &o : ops) {
      Vec v(type, {kInf, kNaN});
      testing::internal::CaptureStderr();
      o.call(&v.info, v.f);
      o.call(&v.info, v.f);
      EXPECT_EQ(testing::internal::GetCapturedStderr(), o.op + (" warning: NAN" + w) + o.op + " warning: INF" + w) << type;
    }
  Vec ints(FV_INT32, {5}), one_nan(FV_DOUBLE, {1, 0});
  const double values[2] = {1, kNaN};
  int32_t iv = 5;
  testing::internal::CaptureStderr();
  int32_t_to_fv(&ints.info, &iv, ints.f);
  fv_to_int32_t(&ints.info, ints.f, &iv);
  double_to_fv(&one_nan.info, values, one_nan.f);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "double_to_fv warning: NAN" + w);
}

// The bulk scan against the plain definition: random lengths (across the scan's chunks), one or two non-finite values
// anywhere, every state of the two flags, in doubles and floats.
TEST(FvConvert, FindUnwarnedMatchesThePlainScan) {
  std::mt19937 rng(20);
  const double specials[] = {kNaN, kInf, -kInf};
  for (int trial = 0; trial < 4000; trial++) {
    std::vector<double> v(rng() % 200);
    for (double &x : v) x = (double)(rng() % 2001) - 1000.0;
    for (int k = rng() % 3; k > 0 && !v.empty(); k--) v[rng() % v.size()] = specials[rng() % 3];
    std::vector<float> vf(v.begin(), v.end());
    fv_info info;
    fv_info_init(&info, FV_DOUBLE, 1, 0, 0);
    info.did_warn_NAN = trial % 2;
    info.did_warn_INF = trial / 2 % 2;
    size_t want = v.size();
    for (size_t i = 0; i < v.size() && want == v.size(); i++)
      if ((!info.did_warn_NAN && std::isnan(v[i])) || (!info.did_warn_INF && std::isinf(v[i])))
        want = i;
    ASSERT_EQ(fv_find_unwarned(&info, v.data(), v.size()), want) << trial;
    ASSERT_EQ(fv_find_unwarned(&info, vf.data(), vf.size()), want) << trial;
  }
}

// The text forms against snprintf piece by piece: long random vectors of every type (non-finite values among them),
// and no text for dimension 0.
TEST(FvConvert, TextFormsMatchPieceByPiece) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> uni(-1e-300, 1e300);
  const double specials[] = {kNaN, kInf, -kInf};
  for (int type = 0; type < 4; type++) {
    std::vector<double> values(5000);
    for (double &x : values) x = type == FV_INT32 ? (double)(int32_t)rng() : -uni(rng);
    for (int k = 0; k < 30 && type != FV_INT32; k++) values[rng() % values.size()] = specials[k % 3];
    Vec v(type, values);
    const char *plain = type == FV_FLOAT ? "%.6g" : type == FV_INT32 ? "%.0f" : "%.15g";
    const char *numbered =
        type == FV_FLOAT ? "%d:%g" : type == FV_INT32 ? "%d:%.0f" : type == FV_DOUBLE ? "%d:%.9g" : "%d:%.12g";
    std::string want, want_numbered;
    for (int i = 0; i < 5000; i++) {
      char buf[64], nbuf[64];
      const double x = type == FV_FLOAT ? (double)(float)values[i] : values[i];
      std::snprintf(buf, sizeof buf, plain, x);
      std::snprintf(nbuf, sizeof nbuf, numbered, i + 1, x);
      want += (i ? " " : "") + std::string(buf);
      want_numbered += (i ? " " : "") + std::string(nbuf);
    }
    EXPECT_EQ(v.text(), want);
    EXPECT_EQ(v.text(true), want_numbered);
    Vec empty(type, {});
    EXPECT_EQ(empty.text(), "<null>");
    EXPECT_EQ(empty.text(true), "<null>");
  }
}

TEST(FvConvert, ParsingText) {
  struct Case {
    int type;
    const char *text;
    std::vector<double> want;       // with a message, only its size counts
    const char *message = nullptr;  // the refusal
  } cases[] = {
      {FV_INT32, "3.9 -2.5 7", {3, -2, 7}},
      {FV_INT32, "  2147483647\t-2147483647 1e3\n", {2147483647, -2147483647, 1000}},  // all digits kept
      {FV_INT32, "99999999999 -1E12 +16777217", {INT32_MAX, INT32_MIN, 16777217}},
      {FV_INT32, "nan inf 0x10", {0, INT32_MAX, 16}},
      {FV_DOUBLE, "1 2 x", {1, 2}},
      {FV_DOUBLE, "0.1 -1e-5", {0.1, -1e-5}},
      {FV_FLOAT, "0.1", {0.1f}},
      {FV_LDOUBLE, "0.1 2.5", {0.1, 2.5}},
      {FV_DOUBLE, "1 2 3", {0, 0}, "ascii_to_fv error: line not empty after last feature! trailing string: \" 3\""},
      {FV_DOUBLE, "1", {0, 0}, "ascii_to_fv error: could not read feature 1 (too short line?)."},
      {FV_DOUBLE, "abc", {0, 0}, "could not read feature 0"},
      {FV_INT32, "x", {0}, "could not read feature 0"},
  };
  for (const Case &c : cases) {
    Vec v(c.type, std::vector<double>(c.want.size(), 0));
    if (c.message) {
      EXPECT_EXIT(ascii_to_fv(&v.info, c.text, v.f), testing::ExitedWithCode(1), re_quote(c.message)) << c.text;
      continue;
    }
    ascii_to_fv(&v.info, c.text, v.f);
    std::vector<double> got(c.want.size());
    fv_to_double(&v.info, v.f, got.data());
    EXPECT_EQ(got, c.want) << c.text;
  }
  Vec ld(FV_LDOUBLE, {0});
  ascii_to_fv(&ld.info, "0.1", ld.f);
  EXPECT_EQ(fv_ldouble_get(ld.f->data), (long double)0.1) << "read as a double, kept in extended precision";
  // Text form and parser round-trip doubles exactly at precision 15 for values with at most 15 digits.
  Vec rt(FV_DOUBLE, {123.456, -7e-12, 1e15});
  Vec back(FV_DOUBLE, {0, 0, 0});
  ascii_to_fv(&back.info, rt.text().c_str(), back.f);
  EXPECT_EQ(std::memcmp(rt.f->data, back.f->data, 24), 0);
}

TEST(FvConvertDeath, UnknownDataTypes) {
  Vec v(FV_FLOAT, {0});
  fv_info &info = v.info;
  fv *f = v.f;
  info.datatype = 6;
  double d = 0;
  float fl = 0;
  int32_t i = 0;
  ref::expect_refusals({
      {[&] { fv_to_double(&info, f, &d); }, "fv_to_double: unknown data type 6!"},
      {[&] { fv_to_float(&info, f, &fl); }, "fv_to_float: unknown data type 6!"},
      {[&] { fv_to_int32_t(&info, f, &i); }, "fv_to_int: unknown data type 6!"},
      {[&] { double_to_fv(&info, &d, f); }, "int_to_fv: unknown data type 6!"},
      {[&] { float_to_fv(&info, &fl, f); }, "int_to_fv: unknown data type 6!"},
      {[&] { int32_t_to_fv(&info, &i, f); }, "int_to_fv: unknown data type 6!"},
      {[&] { fv_to_ascii(&info, f); }, "fv_to_ascii: unknown data type 6!"},
      {[&] { fv_to_numbered_ascii(&info, f); }, "fv_to_numbered_ascii: unknown data type 6!"},
      {[&] { ascii_to_fv(&info, "1", f); }, "ascii_to_fv error: unknown data type 6!"},
  });
  info.datatype = FV_INT32;
  info.itemsize = 8;
  EXPECT_DEATH(fv_to_int32_t(&info, f, &i), re_quote("sizeof(int32_t) == info->itemsize"));
  EXPECT_DEATH(int32_t_to_fv(&info, &i, f), re_quote("sizeof(int32_t) == info->itemsize"));
}
