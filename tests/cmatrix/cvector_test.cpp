// Vectors: construction, growth, elementwise arithmetic against direct
// loops, NaN/infinity tests, text output and the dimension messages.
#include <cmath>
#include <random>
#include <vector>

#include "cmatrix.h"
#include "test_util.h"

namespace {

std::vector<double> values(const cvector &v) {
  return std::vector<double>(v.data, v.data + v.length);
}

TEST(CvectorConstruction, InitsSetLengthAndCapacityAlike) {
  cvector v;
  cvector_init_zero(&v, 4);
  EXPECT_EQ(v.length, 4);
  EXPECT_EQ(v.num_allocated, 4);
  EXPECT_EQ(values(v), std::vector<double>(4, 0.0));
  cvector_free(&v);
  EXPECT_EQ(v.data, nullptr);

  const double src[3] = {1.5, -2, 3};
  cvector *c = cvector_create_from_double(src, 3);
  EXPECT_EQ(values(*c), (std::vector<double>{1.5, -2, 3}));
  cvector copy;
  cvector_init_copy(&copy, c);
  c->data[0] = 99;  // the copy owns its storage
  EXPECT_EQ(values(copy), (std::vector<double>{1.5, -2, 3}));
  cvector_free(&copy);
  cvector_delete(c);

  cvector *empty = cvector_create(0);
  EXPECT_EQ(empty->data, nullptr);
  EXPECT_EQ(empty->length, 0);
  cvector_delete(empty);
}

TEST(CvectorConstruction, RowsAndColumnsOfAMatrix) {
  const double m_data[6] = {1, 2, 3, 4, 5, 6};
  cmatrix *m = cmatrix_create_from_double_star(2, 3, m_data);
  testing::internal::CaptureStderr();
  cvector *row = cvector_create_from_row(m, 1);
  cvector col;
  cvector_init_from_column(&col, m, 2);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(values(*row), (std::vector<double>{4, 5, 6}));
  EXPECT_EQ(values(col), (std::vector<double>{3, 6}));
  EXPECT_EQ(err,
            "cvector_create_from_row warning: I'm still untested!\n"
            "cvector_init_from_column warning: I'm still untested!\n");
  cvector_delete(row);
  cvector_free(&col);

  cvector v;
  EXPECT_EXIT(cvector_init_from_row(&v, m, 2), testing::ExitedWithCode(1),
              re_quote("cvector_init_from_row error: cannot take row 2 from "
                       "2*3 matrix!\n"));
  EXPECT_EXIT(cvector_create_from_column(m, -1), testing::ExitedWithCode(1),
              re_quote("cvector_create_from_column error: cannot take column "
                       "-1 from 2*3 matrix!\n"));
  cmatrix_delete(m);
}

TEST(CvectorAppend, GrowsByTheFixedFormula) {
  cvector *v = cvector_create(0);
  cvector_append(v, 0.0);
  EXPECT_EQ(v->num_allocated, 1000);
  for (int i = 1; i < 999; i++) cvector_append(v, i);
  EXPECT_EQ(v->length, 999);
  EXPECT_EQ(v->num_allocated, 1000);
  cvector_append(v, 999);  // finds 999 stored: 1000 * 10 / 9 + 1000
  EXPECT_EQ(v->num_allocated, 2111);
  for (int i = 0; i < v->length; i++) ASSERT_EQ(v->data[i], i);
  cvector_delete(v);
}

TEST(CvectorArithmetic, MatchesDirectLoops) {
  std::mt19937 rng(7);
  const int n = 37;
  std::vector<double> x(n), y(n);
  for (int i = 0; i < n; i++) {
    x[i] = random_value(rng);
    y[i] = random_value(rng);
  }
  cvector X, Y, Z;
  cvector_init_from_double(&X, x.data(), n);
  cvector_init_from_double(&Y, y.data(), n);
  cvector_init(&Z, n);

  double dot = 0;
  for (int i = 0; i < n; i++) dot += x[i] * y[i];
  EXPECT_DOUBLE_EQ(cvector_scalarprod(&X, &Y), dot);
  EXPECT_DOUBLE_EQ(vector_scalarprod(x.data(), y.data(), n), dot);

  cvector_pointwise_mult(&Z, &X, &Y);
  for (int i = 0; i < n; i++) EXPECT_DOUBLE_EQ(Z.data[i], x[i] * y[i]);
  cvector_add_pointwise(&Z, &X, &Y);
  for (int i = 0; i < n; i++) EXPECT_DOUBLE_EQ(Z.data[i], x[i] + y[i]);
  cvector_pointwise_scale(&Z, &X);
  for (int i = 0; i < n; i++) EXPECT_DOUBLE_EQ(Z.data[i], (x[i] + y[i]) * x[i]);
  cvector_increase_pointwise(&Z, &Y);
  for (int i = 0; i < n; i++)
    EXPECT_DOUBLE_EQ(Z.data[i], (x[i] + y[i]) * x[i] + y[i]);
  cvector_add(&Z, &X, 2.5);
  for (int i = 0; i < n; i++) EXPECT_DOUBLE_EQ(Z.data[i], x[i] + 2.5);
  cvector_increase(&Z, -1);
  cvector_scale(&Z, 3);
  for (int i = 0; i < n; i++) EXPECT_DOUBLE_EQ(Z.data[i], (x[i] + 1.5) * 3);
  cvector_set(&Z, 4);
  EXPECT_EQ(values(Z), std::vector<double>(n, 4.0));
  cvector_copy(&Z, &Y);
  EXPECT_EQ(values(Z), y);

  cvector_free(&X);
  cvector_free(&Y);
  cvector_free(&Z);
}

TEST(CvectorArithmetic, NanAndInfinityTests) {
  cvector v;
  cvector_init_zero(&v, 5);
  for (double last : {0.0, double(NAN), -double(INFINITY), double(INFINITY)}) {
    v.data[4] = last;
    EXPECT_EQ(cvector_contains_nan(&v), std::isnan(last));
    EXPECT_EQ(cvector_contains_inf(&v), std::isinf(last));
    EXPECT_EQ(vector_contains_inf(v.data, 5), std::isinf(last));
    EXPECT_EQ(vector_contains_inf(v.data, 4), 0);
  }
  cvector_free(&v);
}

TEST(CvectorArithmetic, DimensionMessagesAndPreconditions) {
  cvector a, b, c;
  cvector_init_zero(&a, 2);
  cvector_init_zero(&b, 3);
  cvector_init_zero(&c, 2);
  ref::expect_refusals({
      {[&] { cvector_scalarprod(&a, &b); }, "cvector_scalarprod error: inconsistent dimensions x(2) and y(3)\n"},
      {[&] { cvector_pointwise_mult(&a, &c, &b); },
       "cvector_pointwise_mult error: inconsistent dimensions: z(2), x(2), y(3).\n"},
      {[&] { cvector_add_pointwise(&b, &a, &c); },
       "cvector_add_pointwise error: inconsistent dimensions: z(3), x(2), y(2).\n"},
      {[&] { cvector_pointwise_scale(&a, &b); }, "cvector_pointwise_scale error: inconsistent dimensions: z(2), x(3).\n"},
      {[&] { cvector_copy(&a, &b); }, "cvector_copy error: inconsistent dimensions: z(2), x(3)\n"},
      {[&] { cvector_increase_pointwise(&b, &a); },
       "cvector_increase_pointwise error: inconsistent dimensions: z(3), x(2)\n"},
      {[&] { cvector_add(&a, &b, 1); }, "cvector_add error: inconsistent dimensions: z(2), x(3)\n"},
  });
  cvector empty;
  cvector_init(&empty, 0);
  EXPECT_DEATH(cvector_free(&empty), re_quote("Assertion `v->data != NULL' failed."));
  EXPECT_DEATH(cvector_delete(nullptr), re_quote("Assertion `v != NULL' failed."));
  cvector_free(&a);
  cvector_free(&b);
  cvector_free(&c);
}

TEST(CvectorOutput, TextAndOctaveForms) {
  const double d[2] = {1.5, -0.25};
  std::string ascii = capture_stream([&](FILE *f) { vector_write_ascii(d, 2, f); });
  EXPECT_EQ(ascii, "1.500000000000000e+00 \n-2.500000000000000e-01 \n");
  cvector v;
  cvector_init_from_double(&v, d, 2);
  std::string octave = capture_stream([&](FILE *f) { cvector_write_octave(&v, f); });
  EXPECT_EQ(octave,
            "# created for Octave with cmatrix_write_octave\n"
            "# name: x\n# type: matrix\n# rows: 2\n# columns: 1\n"
            "1.500000000000000e+00 \n-2.500000000000000e-01 \n");
  cvector_free(&v);
}

}  // namespace
