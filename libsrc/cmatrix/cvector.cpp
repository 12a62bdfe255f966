// Dense vectors of doubles: construction, growth, elementwise arithmetic and
// text output through the matrix writers.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmatrix.h"
#include "common.h"

namespace {

// Storage for `length` doubles (none for length 0); allocation failures are
// reported with the name every init uses.
double *alloc_elements(int length) {
  PRECONDITION(length >= 0);
  if (length == 0) return nullptr;
  double *data =
      static_cast<double *>(std::malloc(sizeof(double) * (size_t)length));
  if (data == nullptr) fatal_system_error("cvector_init");
  return data;
}

cvector *alloc_record(const char *name) {
  cvector *v = static_cast<cvector *>(std::malloc(sizeof(cvector)));
  if (v == nullptr) fatal_system_error(name);
  return v;
}

// A temporary n x 1 matrix whose rows point into `v` (no copy).
struct column_view {
  cmatrix m;
  double **rows;
  column_view(const double *v, int n) : m{}, rows(nullptr) {
    PRECONDITION(n >= 0);
    m.height = n;
    m.width = 1;
    m.data = nullptr;
    if (n > 0) {
      rows = static_cast<double **>(std::malloc(sizeof(double *) * (size_t)n));
      if (rows == nullptr) fatal_system_error("cmatrix_alloc");
      for (int i = 0; i < n; i++) rows[i] = const_cast<double *>(v) + i;
      m.data = rows;
    }
  }
  ~column_view() { std::free(rows); }
  column_view(const column_view &) = delete;
  column_view &operator=(const column_view &) = delete;
};

}  // namespace

// --- construction ----------------------------------------------------------

void cvector_init(cvector *v, int length) {
  PRECONDITION(v != NULL);
  v->data = alloc_elements(length);
  v->length = length;
  v->num_allocated = length;
}

cvector *cvector_create(int length) {
  cvector *v = alloc_record("cvector_create");
  cvector_init(v, length);
  return v;
}

void cvector_init_zero(cvector *v, int length) {
  cvector_init(v, length);
  for (int i = 0; i < length; i++) v->data[i] = 0.0;
}

cvector *cvector_create_zero(int length) {
  cvector *v = alloc_record("cvector_create_zero");
  cvector_init_zero(v, length);
  return v;
}

void cvector_init_from_double(cvector *v, const double *vec, int length) {
  cvector_init(v, length);
  if (length > 0) std::memcpy(v->data, vec, sizeof(double) * (size_t)length);
}

cvector *cvector_create_from_double(const double *vec, int length) {
  cvector *v = alloc_record("cvector_create_from_double");
  cvector_init_from_double(v, vec, length);
  return v;
}

void cvector_init_copy(cvector *v, const cvector *templ) {
  PRECONDITION(templ != NULL);
  cvector_init_from_double(v, templ->data, templ->length);
}

static void init_from_row(cvector *v, const cmatrix *m, int row,
                          const char *name) {
  PRECONDITION(m != NULL);
  std::fprintf(stderr, "%s warning: I'm still untested!\n", name);
  if (row < 0 || row >= m->height) {
    fatal_error("%s error: cannot take row %d from %d*%d matrix!\n", name,
                row, m->height, m->width);
  }
  int width = m->width > 0 ? m->width : 0;
  cvector_init(v, width);
  for (int j = 0; j < width; j++) v->data[j] = m->data[row][j];
}

static void init_from_column(cvector *v, const cmatrix *m, int col,
                             const char *name) {
  PRECONDITION(m != NULL);
  std::fprintf(stderr, "%s warning: I'm still untested!\n", name);
  if (col < 0 || col >= m->width) {
    fatal_error("%s error: cannot take column %d from %d*%d matrix!\n", name,
                col, m->height, m->width);
  }
  int height = m->height > 0 ? m->height : 0;
  cvector_init(v, height);
  for (int i = 0; i < height; i++) v->data[i] = m->data[i][col];
}

void cvector_init_from_row(cvector *v, const cmatrix *m, int row) {
  init_from_row(v, m, row, "cvector_init_from_row");
}

cvector *cvector_create_from_row(const cmatrix *m, int row) {
  cvector *v = alloc_record("cvector_create_from_row");
  init_from_row(v, m, row, "cvector_create_from_row");
  return v;
}

void cvector_init_from_column(cvector *v, const cmatrix *m, int col) {
  init_from_column(v, m, col, "cvector_init_from_column");
}

cvector *cvector_create_from_column(const cmatrix *m, int col) {
  cvector *v = alloc_record("cvector_create_from_column");
  init_from_column(v, m, col, "cvector_create_from_column");
  return v;
}

void cvector_free(cvector *v) {
  PRECONDITION(v != NULL);
  PRECONDITION(v->data != NULL);
  std::free(v->data);
  v->data = nullptr;
}

void cvector_delete(cvector *v) {
  PRECONDITION(v != NULL);
  std::free(v->data);
  std::free(v);
}

// --- bare-array operations ----------------------------------------------------

void vector_set(double *z, int length, double a) {
  for (int i = 0; i < length; i++) z[i] = a;
}

double vector_scalarprod(const double *x, const double *y, int dim) {
  double sum = 0.0;
  for (int i = 0; i < dim; i++) sum += x[i] * y[i];
  return sum;
}

void vector_pointwise_mult(double *z, const double *x, const double *y,
                           int dim) {
  for (int i = 0; i < dim; i++) z[i] = x[i] * y[i];
}

void vector_pointwise_scale(double *z, const double *x, int dim) {
  for (int i = 0; i < dim; i++) z[i] *= x[i];
}

void vector_add_pointwise(double *z, const double *x, const double *y,
                          int dim) {
  for (int i = 0; i < dim; i++) z[i] = x[i] + y[i];
}

void vector_increase_pointwise(double *z, const double *x, int length) {
  for (int i = 0; i < length; i++) z[i] += x[i];
}

void vector_increase(double *z, int length, double a) {
  for (int i = 0; i < length; i++) z[i] += a;
}

void vector_scale(double *z, int length, double a) {
  for (int i = 0; i < length; i++) z[i] *= a;
}

int vector_contains_nan(const double *z, int length) {
  for (int i = 0; i < length; i++)
    if (std::isnan(z[i])) return 1;
  return 0;
}

int vector_contains_inf(const double *z, int length) {
  for (int i = 0; i < length; i++)
    if (std::isinf(z[i])) return 1;
  return 0;
}

void vector_write_octave(const double *v, int n, FILE *f) {
  column_view view(v, n);
  cmatrix_write_octave(&view.m, f);
}

void vector_write_ascii(const double *v, int n, FILE *f) {
  column_view view(v, n);
  cmatrix_write_ascii(&view.m, f);
}

// --- record operations --------------------------------------------------------

void cvector_set(cvector *z, double a) { vector_set(z->data, z->length, a); }

double cvector_scalarprod(const cvector *x, const cvector *y) {
  if (x->length != y->length) {
    fatal_error("%s error: inconsistent dimensions x(%d) and y(%d)\n",
                "cvector_scalarprod", x->length, y->length);
  }
  return vector_scalarprod(x->data, y->data, x->length);
}

void cvector_pointwise_mult(cvector *z, const cvector *x, const cvector *y) {
  if (z->length != x->length || z->length != y->length) {
    fatal_error("%s error: inconsistent dimensions: z(%d), x(%d), y(%d).\n",
                "cvector_pointwise_mult", z->length, x->length, y->length);
  }
  vector_pointwise_mult(z->data, x->data, y->data, z->length);
}

void cvector_pointwise_scale(cvector *z, const cvector *x) {
  if (z->length != x->length) {
    fatal_error("%s error: inconsistent dimensions: z(%d), x(%d).\n",
                "cvector_pointwise_scale", z->length, x->length);
  }
  vector_pointwise_scale(z->data, x->data, z->length);
}

void cvector_add_pointwise(cvector *z, const cvector *x, const cvector *y) {
  if (z->length != x->length || z->length != y->length) {
    fatal_error("%s error: inconsistent dimensions: z(%d), x(%d), y(%d).\n",
                "cvector_add_pointwise", z->length, x->length, y->length);
  }
  vector_add_pointwise(z->data, x->data, y->data, z->length);
}

void cvector_increase_pointwise(cvector *z, const cvector *x) {
  if (z->length != x->length) {
    fatal_error("%s error: inconsistent dimensions: z(%d), x(%d)\n",
                "cvector_increase_pointwise", z->length, x->length);
  }
  vector_increase_pointwise(z->data, x->data, z->length);
}

void cvector_add(cvector *z, const cvector *x, double a) {
  if (z->length != x->length) {
    fatal_error("%s error: inconsistent dimensions: z(%d), x(%d)\n",
                "cvector_add", z->length, x->length);
  }
  for (int i = 0; i < z->length; i++) z->data[i] = x->data[i] + a;
}

void cvector_increase(cvector *z, double a) {
  vector_increase(z->data, z->length, a);
}

void cvector_scale(cvector *z, double a) {
  vector_scale(z->data, z->length, a);
}

int cvector_contains_nan(const cvector *z) {
  return vector_contains_nan(z->data, z->length);
}

int cvector_contains_inf(const cvector *z) {
  return vector_contains_inf(z->data, z->length);
}

void cvector_write_octave(const cvector *v, FILE *f) {
  vector_write_octave(v->data, v->length, f);
}

void cvector_write_ascii(const cvector *v, FILE *f) {
  vector_write_ascii(v->data, v->length, f);
}

void cvector_copy(cvector *z, const cvector *x) {
  if (z->length != x->length) {
    fatal_error("%s error: inconsistent dimensions: z(%d), x(%d)\n",
                "cvector_copy", z->length, x->length);
  }
  if (z->length > 0 && z->data != x->data)
    std::memmove(z->data, x->data, sizeof(double) * (size_t)z->length);
}

void cvector_append(cvector *v, double value) {
  PRECONDITION(v != NULL);
  if (v->length + 1 >= v->num_allocated) {
    int64_t grown = (int64_t)v->num_allocated * 10 / 9 + 1000;
    if (grown > INT32_MAX) {
      fatal_error("cvector_append error: cannot grow a vector beyond %d "
                  "elements\n",
                  v->num_allocated);
    }
    double *data = static_cast<double *>(
        std::realloc(v->data, sizeof(double) * (size_t)grown));
    if (data == nullptr) fatal_system_error("cvector_append");
    v->data = data;
    v->num_allocated = (int)grown;
  }
  PRECONDITION(v->length < v->num_allocated);
  v->data[v->length] = value;
  v->length++;
}
