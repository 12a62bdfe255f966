// Matrices and vectors against brute-force references on random data: construction, arithmetic, row-band sparsity,
// growth, NaN/infinity tests, text output and the dimension messages.
#include "cmatrix.h"
#include "reference.h"

namespace {

using ref::re_quote;
using Values = std::vector<double>;

Values values(const cvector &v) { return Values(v.data, v.data + v.length); }
Values flat(const cmatrix *m) {
  Values out;
  for (int i = 0; i < m->height; i++) out.insert(out.end(), m->data[i], m->data[i] + m->width);
  return out;
}

cmatrix *random_matrix(std::mt19937 &rng, int h, int w) {
  cmatrix *m = cmatrix_create(h, w);
  for (int i = 0; i < h; i++)
    for (int j = 0; j < w; j++) m->data[i][j] = std::uniform_real_distribution<double>(-10, 10)(rng);
  return m;
}

void expect_near_matrix(const cmatrix *m, const Values &want) {
  const Values got = flat(m);
  ASSERT_EQ(got.size(), want.size());
  for (size_t k = 0; k < got.size(); k++) EXPECT_NEAR(got[k], want[k], 1e-12) << "at " << k;
}

TEST(CmatrixConstruction, CopiesTransposeAndDeletion) {
  std::mt19937 rng(1);
  cmatrix *a = random_matrix(rng, 3, 4), *copy = cmatrix_create_copy(a), *t = cmatrix_create_transpose(a);
  Values transposed, deleted;
  for (int j = 0; j < 4; j++)
    for (int i = 0; i < 3; i++) transposed.push_back(a->data[i][j]);
  EXPECT_EQ(std::make_pair(t->height, t->width), std::make_pair(4, 3));
  EXPECT_EQ(flat(t), transposed);
  EXPECT_EQ(flat(copy), flat(a));
  const int rows[3] = {1, 0, 1}, cols[4] = {0, 1, 1, 0};
  cmatrix *d = cmatrix_create_deletion_matrix(a, rows, cols);
  EXPECT_EQ(std::make_pair(d->height, d->width), std::make_pair(2, 2));
  EXPECT_EQ(flat(d), (Values{a->data[0][1], a->data[0][2], a->data[2][1], a->data[2][2]}));
  std::vector<const double *> rowptrs{a->data[0], a->data[1], a->data[2]};
  cmatrix *ss = cmatrix_create_from_double_starstar(3, 4, rowptrs.data()), *tmpl = cmatrix_create_from_template(a);
  cmatrix_copy(ss, tmpl);
  EXPECT_EQ(flat(tmpl), flat(a));
  for (cmatrix *m : {a, copy, t, d, ss, tmpl}) cmatrix_delete(m);
}

TEST(CmatrixArithmetic, ProductsAndSumsMatchBruteForce) {
  std::mt19937 rng(2);
  const int p = 3, q = 5, r = 4;
  cmatrix *a = random_matrix(rng, p, q), *b = random_matrix(rng, q, r), *bt = cmatrix_create_transpose(b);
  cmatrix *c = cmatrix_create(p, r), *a2 = random_matrix(rng, p, q), *s = cmatrix_create(p, q);
  Values product(p * r, 0.0), sum(p * q), added(p * q);
  for (int i = 0; i < p; i++) {
    for (int j = 0; j < r; j++)
      for (int k = 0; k < q; k++) product[i * r + j] += a->data[i][k] * b->data[k][j];
    for (int j = 0; j < q; j++) {
      sum[i * q + j] = 2 * a->data[i][j] - 0.5 * a2->data[i][j];
      added[i * q + j] = 3 * (a->data[i][j] + 4 * a2->data[i][j]);
    }
  }
  cmatrix_mult(c, a, b);
  expect_near_matrix(c, product);
  cmatrix_set(c, 7);
  cmatrix_mult_transpose(c, a, bt);
  expect_near_matrix(c, product);
  cmatrix_sum(s, 2, a, -0.5, a2);
  expect_near_matrix(s, sum);
  cmatrix_add(a, 4, a2);
  cmatrix_scale(a, 3);
  expect_near_matrix(a, added);

  // Matrix-vector products, dense and by row bands (a NaN counts as non-zero).
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
  for (int j = 0; j < r; j++) x.data[j] = j - 1.25;
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
  for (cvector *v : {&x, &y, &y2}) cvector_free(v);
  for (cmatrix *m : {a, b, bt, c, a2, s}) cmatrix_delete(m);
}

TEST(CmatrixArithmetic, OuterProductsAndTrace) {
  const double x[3] = {1, 2, 3}, y[2] = {4, -1};
  cmatrix *m = cmatrix_create(3, 2), *sq = cmatrix_create(3, 3);
  cvector cx, cy;
  cvector_init_from_double(&cx, x, 3);
  cvector_init_from_double(&cy, y, 2);
  cmatrix_outer_product_vector(m, x, y);
  expect_near_matrix(m, {4, -1, 8, -2, 12, -3});
  cmatrix_add_outer_product_vector(m, x, y);
  expect_near_matrix(m, {8, -2, 16, -4, 24, -6});
  cmatrix_outer_product_cvector(m, &cx, &cy);
  cmatrix_add_outer_product_cvector(m, &cx, &cy);
  expect_near_matrix(m, {8, -2, 16, -4, 24, -6});
  cmatrix_outer_product_vector_same(sq, x);
  cmatrix_add_outer_product_cvector_same(sq, &cx);
  expect_near_matrix(sq, {2, 4, 6, 4, 8, 12, 6, 12, 18});
  cmatrix_outer_product_cvector_same(sq, &cx);
  cmatrix_add_outer_product_vector_same(sq, x);
  EXPECT_DOUBLE_EQ(cmatrix_trace(sq), 2 * (1 + 4 + 9));
  testing::internal::CaptureStderr();
  EXPECT_DOUBLE_EQ(cmatrix_trace(m), 8 + -4);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cmatrix_trace warning: trace of non-quadratic matrix (3,2) ?\n");
  cvector_free(&cx);
  cvector_free(&cy);
  cmatrix_delete(m);
  cmatrix_delete(sq);
}

TEST(CmatrixArithmetic, DimensionMessagesAndPreconditions) {
  cmatrix *a = cmatrix_create_zero(2, 3), *b = cmatrix_create_zero(2, 3), *c = cmatrix_create_zero(2, 2);
  cmatrix *m = cmatrix_create(3, 2);
  const double x[3] = {1, 2, 3}, y[2] = {4, -1};
  const int rows[3] = {1, 0, 1}, cols[4] = {0, 1, 1, 0};
  cvector cx, cy, empty;
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
      {[&] { cvector_scalarprod(&cy, &cx); }, "cvector_scalarprod error: inconsistent dimensions x(2) and y(3)\n"},
      {[&] { cvector_pointwise_mult(&cy, &cy, &cx); },
       "cvector_pointwise_mult error: inconsistent dimensions: z(2), x(2), y(3).\n"},
      {[&] { cvector_add_pointwise(&cx, &cy, &cy); },
       "cvector_add_pointwise error: inconsistent dimensions: z(3), x(2), y(2).\n"},
      {[&] { cvector_pointwise_scale(&cy, &cx); },
       "cvector_pointwise_scale error: inconsistent dimensions: z(2), x(3).\n"},
      {[&] { cvector_copy(&cy, &cx); }, "cvector_copy error: inconsistent dimensions: z(2), x(3)\n"},
      {[&] { cvector_increase_pointwise(&cx, &cy); },
       "cvector_increase_pointwise error: inconsistent dimensions: z(3), x(2)\n"},
      {[&] { cvector_add(&cy, &cx, 1); }, "cvector_add error: inconsistent dimensions: z(2), x(3)\n"},
      {[&] { cvector_init_from_row(&empty, m, 3); },
       "cvector_init_from_row error: cannot take row 3 from 3*2 matrix!\n"},
      {[&] { cvector_create_from_column(m, -1); },
       "cvector_create_from_column error: cannot take column -1 from 3*2 matrix!\n"},
  });
  EXPECT_DEATH(cmatrix_free_sparsity_info(nullptr, nullptr), re_quote("Assertion `start != NULL' failed."));
  cvector_init(&empty, 0);
  EXPECT_DEATH(cvector_free(&empty), re_quote("Assertion `v->data != NULL' failed."));
  EXPECT_DEATH(cvector_delete(nullptr), re_quote("Assertion `v != NULL' failed."));
  cvector_free(&cx);
  cvector_free(&cy);
  for (cmatrix *k : {a, b, c, m}) cmatrix_delete(k);
}

TEST(Cvector, ConstructionRowsColumnsAndGrowth) {
  cvector v, copy, col;
  cvector_init_zero(&v, 4);
  EXPECT_EQ(std::make_pair(v.length, v.num_allocated), std::make_pair(4, 4));
  EXPECT_EQ(values(v), Values(4, 0.0));
  cvector_free(&v);
  EXPECT_EQ(v.data, nullptr);
  const double src[3] = {1.5, -2, 3};
  cvector *c = cvector_create_from_double(src, 3), *empty = cvector_create(0);
  cvector_init_copy(&copy, c);
  c->data[0] = 99;  // the copy owns its storage
  EXPECT_EQ(values(copy), (Values{1.5, -2, 3}));
  EXPECT_EQ(std::make_pair(empty->data, empty->length), std::make_pair((double *)nullptr, 0));
  cvector_free(&copy);
  cvector_delete(c);
  // Growth by the fixed formula: 1000, then (at 999 stored) 1000 * 10 / 9 + 1000.
  for (int i = 0; i < 1000; i++) {
    cvector_append(empty, i);
    EXPECT_TRUE((i != 0 && i != 998) || empty->num_allocated == 1000) << i;
  }
  EXPECT_EQ(empty->num_allocated, 2111);
  for (int i = 0; i < empty->length; i++) ASSERT_EQ(empty->data[i], i);
  cvector_delete(empty);

  const double m_data[6] = {1, 2, 3, 4, 5, 6};
  cmatrix *m = cmatrix_create_from_double_star(2, 3, m_data);
  testing::internal::CaptureStderr();
  cvector *row = cvector_create_from_row(m, 1);
  cvector_init_from_column(&col, m, 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cvector_create_from_row warning: I'm still untested!\ncvector_init_from_column warning: I'm still untested!\n");
  EXPECT_EQ(values(*row), (Values{4, 5, 6}));
  EXPECT_EQ(values(col), (Values{3, 6}));
  cvector_delete(row);
  cvector_free(&col);
  cmatrix_delete(m);
}

TEST(CvectorArithmetic, MatchesDirectLoops) {
  const int n = 37;
  const Values x = ref::random_stream(n, 7, -10, 10), y = ref::random_stream(n, 8, -10, 10);
  cvector X, Y, Z;
  cvector_init_from_double(&X, x.data(), n);
  cvector_init_from_double(&Y, y.data(), n);
  cvector_init(&Z, n);
  double dot = 0;
  for (int i = 0; i < n; i++) dot += x[i] * y[i];
  EXPECT_DOUBLE_EQ(cvector_scalarprod(&X, &Y), dot);
  EXPECT_DOUBLE_EQ(vector_scalarprod(x.data(), y.data(), n), dot);
  const auto expect_each = [&](const std::function<double(int)> &want) {
    for (int i = 0; i < n; i++) EXPECT_DOUBLE_EQ(Z.data[i], want(i)) << i;
  };
  cvector_pointwise_mult(&Z, &X, &Y);
  expect_each([&](int i) { return x[i] * y[i]; });
  cvector_add_pointwise(&Z, &X, &Y);
  cvector_pointwise_scale(&Z, &X);
  cvector_increase_pointwise(&Z, &Y);
  expect_each([&](int i) { return (x[i] + y[i]) * x[i] + y[i]; });
  cvector_add(&Z, &X, 2.5);
  cvector_increase(&Z, -1);
  cvector_scale(&Z, 3);
  expect_each([&](int i) { return (x[i] + 1.5) * 3; });
  cvector_set(&Z, 4);
  EXPECT_EQ(values(Z), Values(n, 4.0));
  cvector_copy(&Z, &Y);
  EXPECT_EQ(values(Z), y);
  for (double last : {0.0, double(NAN), -double(INFINITY), double(INFINITY)}) {
    Z.data[n - 1] = last;
    EXPECT_EQ(cvector_contains_nan(&Z), std::isnan(last));
    EXPECT_EQ(cvector_contains_inf(&Z), std::isinf(last));
    EXPECT_EQ(vector_contains_inf(Z.data, n), std::isinf(last));
    EXPECT_EQ(vector_contains_inf(Z.data, n - 1), 0);
  }
  for (cvector *v : {&X, &Y, &Z}) cvector_free(v);
}

}  // namespace
