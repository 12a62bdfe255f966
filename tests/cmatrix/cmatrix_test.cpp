// Matrices and vectors: construction and arithmetic against brute-force
// references on random data, row-band sparsity, growth, NaN/infinity tests,
// text output and the dimension messages.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "cmatrix.h"
#include "reference.h"
#include "testsupport.h"

namespace {

using ref::re_quote;
using testsupport::written;

double random_value(std::mt19937 &rng) { return std::uniform_real_distribution<double>(-10, 10)(rng); }

std::vector<double> values(const cvector &v) { return std::vector<double>(v.data, v.data + v.length); }

cmatrix *random_matrix(std::mt19937 &rng, int h, int w) {
  cmatrix *m = cmatrix_create(h, w);
  for (int i = 0; i < h; i++)
    for (int j = 0; j < w; j++) m->data[i][j] = random_value(rng);
  return m;
}

void expect_near_matrix(const cmatrix *m, const std::vector<double> &ref) {
  ASSERT_EQ((size_t)m->height * m->width, ref.size());
  for (int i = 0; i < m->height; i++)
    for (int j = 0; j < m->width; j++)
      EXPECT_NEAR(m->data[i][j], ref[(size_t)i * m->width + j], 1e-12)
          << "at " << i << "," << j;
}

TEST(CmatrixConstruction, CopiesTransposeAndDeletion) {
  std::mt19937 rng(1);
  cmatrix *a = random_matrix(rng, 3, 4);
  cmatrix *copy = cmatrix_create_copy(a);
  cmatrix *t = cmatrix_create_transpose(a);
  ASSERT_EQ(t->height, 4);
  ASSERT_EQ(t->width, 3);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 4; j++) {
      EXPECT_EQ(copy->data[i][j], a->data[i][j]);
      EXPECT_EQ(t->data[j][i], a->data[i][j]);
    }
  const int rows[3] = {1, 0, 1}, cols[4] = {0, 1, 1, 0};
  cmatrix *d = cmatrix_create_deletion_matrix(a, rows, cols);
  ASSERT_EQ(d->height, 2);
  ASSERT_EQ(d->width, 2);
  EXPECT_EQ(d->data[0][0], a->data[0][1]);
  EXPECT_EQ(d->data[0][1], a->data[0][2]);
  EXPECT_EQ(d->data[1][0], a->data[2][1]);
  EXPECT_EQ(d->data[1][1], a->data[2][2]);

  std::vector<const double *> rowptrs{a->data[0], a->data[1], a->data[2]};
  cmatrix *ss = cmatrix_create_from_double_starstar(3, 4, rowptrs.data());
  cmatrix *tmpl = cmatrix_create_from_template(a);
  EXPECT_EQ(tmpl->height, 3);
  EXPECT_EQ(tmpl->width, 4);
  cmatrix_copy(ss, tmpl);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 4; j++) EXPECT_EQ(tmpl->data[i][j], a->data[i][j]);
  for (cmatrix *m : {a, copy, t, d, ss, tmpl}) cmatrix_delete(m);
}

TEST(CmatrixArithmetic, ProductsAndSumsMatchBruteForce) {
  std::mt19937 rng(2);
  const int p = 3, q = 5, r = 4;
  cmatrix *a = random_matrix(rng, p, q), *b = random_matrix(rng, q, r);
  cmatrix *bt = cmatrix_create_transpose(b);
  cmatrix *c = cmatrix_create(p, r);

  std::vector<double> ref(p * r, 0.0);
  for (int i = 0; i < p; i++)
    for (int j = 0; j < r; j++)
      for (int k = 0; k < q; k++) ref[i * r + j] += a->data[i][k] * b->data[k][j];
  cmatrix_mult(c, a, b);
  expect_near_matrix(c, ref);
  cmatrix_set(c, 7);
  cmatrix_mult_transpose(c, a, bt);
  expect_near_matrix(c, ref);

  cmatrix *a2 = random_matrix(rng, p, q), *s = cmatrix_create(p, q);
  std::vector<double> sum(p * q), added(p * q);
  for (int i = 0; i < p; i++)
    for (int j = 0; j < q; j++) {
      sum[i * q + j] = 2 * a->data[i][j] - 0.5 * a2->data[i][j];
      added[i * q + j] = 3 * (a->data[i][j] + 4 * a2->data[i][j]);
    }
  cmatrix_sum(s, 2, a, -0.5, a2);
  expect_near_matrix(s, sum);
  cmatrix_add(a, 4, a2);
  cmatrix_scale(a, 3);
  expect_near_matrix(a, added);

  // Matrix-vector products, dense and by row bands.
  cmatrix_set(b, 0.0);
  b->data[0][1] = 2;
  b->data[0][3] = -1;
  b->data[2][2] = NAN;
  b->data[3][0] = 5;
  int *start, *end;
  cmatrix_alloc_sparsity_info(b, &start, &end);
  cmatrix_gen_sparsity_info(b, start, end);
  EXPECT_EQ(std::vector<int>(start, start + q), (std::vector<int>{1, 4, 2, 0, 4}));
  EXPECT_EQ(std::vector<int>(end, end + q), (std::vector<int>{3, -1, 2, 0, -1}));
  b->data[2][2] = 1.5;
  cvector x, y, y2;
  cvector_init(&x, r);
  for (int j = 0; j < r; j++) x.data[j] = random_value(rng);
  cvector_init(&y, q);
  cvector_init(&y2, q);
  cmatrix_cvector_mult(b, &x, &y);
  cmatrix_cvector_mult_sparse(b, &x, &y2, start, end);
  for (int i = 0; i < q; i++) {
    double want = 0;
    for (int j = 0; j < r; j++) want += b->data[i][j] * x.data[j];
    EXPECT_NEAR(y.data[i], want, 1e-12);
    EXPECT_NEAR(y2.data[i], want, 1e-12);
  }
  cmatrix_free_sparsity_info(start, end);
  cvector_free(&x);
  cvector_free(&y);
  cvector_free(&y2);
  for (cmatrix *m : {a, b, bt, c, a2, s}) cmatrix_delete(m);
}

TEST(CmatrixArithmetic, SparsityOfSingleRows) {
  const double row1[4] = {0, 0, 5, 0}, row2[4] = {0, 0, 0, 0};
  for (auto [row, want_start, want_end] :
       {std::tuple{row1, 2, 2}, std::tuple{row2, 4, -1}}) {
    cmatrix *m = cmatrix_create_from_double_star(1, 4, row);
    int *start, *end;
    cmatrix_alloc_sparsity_info(m, &start, &end);
    cmatrix_gen_sparsity_info(m, start, end);
    EXPECT_EQ(start[0], want_start);
    EXPECT_EQ(end[0], want_end);
    double x[4] = {1, 2, 3, 4}, y[1] = {99};
    cmatrix_vector_mult_sparse(m, x, y, start, end);
    EXPECT_EQ(y[0], row[2] * 3);
    cmatrix_free_sparsity_info(start, end);
    cmatrix_delete(m);
  }
}

TEST(CmatrixArithmetic, OuterProductsAndTrace) {
  const double x[3] = {1, 2, 3}, y[2] = {4, -1};
  cmatrix *m = cmatrix_create(3, 2);
  cmatrix_outer_product_vector(m, x, y);
  expect_near_matrix(m, {4, -1, 8, -2, 12, -3});
  cmatrix_add_outer_product_vector(m, x, y);
  expect_near_matrix(m, {8, -2, 16, -4, 24, -6});
  cvector cx, cy;
  cvector_init_from_double(&cx, x, 3);
  cvector_init_from_double(&cy, y, 2);
  cmatrix_outer_product_cvector(m, &cx, &cy);
  cmatrix_add_outer_product_cvector(m, &cx, &cy);
  expect_near_matrix(m, {8, -2, 16, -4, 24, -6});

  cmatrix *sq = cmatrix_create(3, 3);
  cmatrix_outer_product_vector_same(sq, x);
  cmatrix_add_outer_product_cvector_same(sq, &cx);
  expect_near_matrix(sq, {2, 4, 6, 4, 8, 12, 6, 12, 18});
  cmatrix_outer_product_cvector_same(sq, &cx);
  cmatrix_add_outer_product_vector_same(sq, x);
  EXPECT_DOUBLE_EQ(cmatrix_trace(sq), 2 * (1 + 4 + 9));

  testing::internal::CaptureStderr();
  EXPECT_DOUBLE_EQ(cmatrix_trace(m), 8 + -4);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cmatrix_trace warning: trace of non-quadratic matrix (3,2) ?\n");

  cvector_free(&cx);
  cvector_free(&cy);
  cmatrix_delete(m);
  cmatrix_delete(sq);
}

TEST(CmatrixArithmetic, DimensionMessages) {
  cmatrix *a = cmatrix_create_zero(2, 3), *b = cmatrix_create_zero(2, 3), *c = cmatrix_create_zero(2, 2);
  cmatrix *m = cmatrix_create(3, 2);
  const double x[3] = {1, 2, 3}, y[2] = {4, -1};
  const int rows[3] = {1, 0, 1}, cols[4] = {0, 1, 1, 0};
  cvector cx, cy;
  cvector_init_from_double(&cx, x, 3);
  cvector_init_from_double(&cy, y, 2);
  const std::string dims = "inconsistent dimensions:\nm1: (2, 3), m2:(2, 3), m3: ";
  ref::expect_refusals({
      {[&] { cmatrix_mult(c, a, b); }, "cmatrix_mult: " + dims + "(2, 2)\n"},
      {[&] { cmatrix_mult_transpose(a, a, b); }, "cmatrix_mult_transpose: " + dims + "(2, 3)\n"},
      {[&] { cmatrix_sum(c, 1, a, 1, b); }, "cmatrix_sum: " + dims + "(2, 2)\n"},
      {[&] { cmatrix_add(a, 1, c); }, "cmatrix_add: inconsistent dimensions:\nm1: (2, 3), m2:(2, 2)\n"},
      {[&] { cmatrix_copy(m, a); }, "cmatrix_copy error: inconsistent dimensions: src(3,2), dest(2,3)\n"},
      {[&] { cmatrix_deletion_matrix(m, a, rows, cols); }, "cmatrix_deletion_matrix error"},
      {[&] { cmatrix_outer_product_cvector(m, &cy, &cx); },
       "cmatrix_outer_product_cvector error: inconsistent dimensions! m(3,2), x(2), y(3)\n"},
      {[&] { cmatrix_add_outer_product_cvector_same(m, &cx); },
       "cmatrix_add_outer_product_cvector_same error: inconsistent dimensions! m(3,2), x(3))\n"},
      {[&] { cmatrix_outer_product_vector_same(m, x); },
       "cmatrix_outer_product_vector_same error: inconsistent dimensions: m(3, 2)\n"},
      {[&] { cmatrix_cvector_mult(m, &cx, &cy); },
       "cmatrix_cvector_mult error: inconsistent dimensions! y(2), m(3,2), x(3)\n"},
  });
  EXPECT_DEATH(cmatrix_free_sparsity_info(nullptr, nullptr), re_quote("Assertion `start != NULL' failed."));
  cmatrix_mult_transpose(c, a, b);  // (2x3) * (2x3)^T fits
  cvector_free(&cx);
  cvector_free(&cy);
  for (cmatrix *k : {a, b, c, m}) cmatrix_delete(k);
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
  std::string ascii = written([&](FILE *f) { vector_write_ascii(d, 2, f); });
  EXPECT_EQ(ascii, "1.500000000000000e+00 \n-2.500000000000000e-01 \n");
  cvector v;
  cvector_init_from_double(&v, d, 2);
  std::string octave = written([&](FILE *f) { cvector_write_octave(&v, f); });
  EXPECT_EQ(octave,
            "# created for Octave with cmatrix_write_octave\n"
            "# name: x\n# type: matrix\n# rows: 2\n# columns: 1\n"
            "1.500000000000000e+00 \n-2.500000000000000e-01 \n");
  cvector_free(&v);
}

}  // namespace
