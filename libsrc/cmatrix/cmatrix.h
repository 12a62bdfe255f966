// cmatrix - dense vectors and matrices of doubles, their arithmetic and
// their file formats.
//
// `vector_...` functions work on bare arrays with an explicit length,
// `cvector_...` and `cmatrix_...` functions on the records and check
// dimensions. Bad data and exhausted memory end the program with a message
// on standard error and exit status 1.
#pragma once

#include <cstdio>

// ---------------------------------------------------------------------------
// Vectors
// ---------------------------------------------------------------------------

struct cmatrix;

struct cvector {
  double *data;       // owned; null when length is 0
  int length;         // number of valid elements
  int num_allocated;  // capacity of data in elements
};

// Construction: init fills a caller-owned record, create allocates it too.
void cvector_init(cvector *v, int length);  // uninitialised elements
cvector *cvector_create(int length);
void cvector_init_zero(cvector *v, int length);
cvector *cvector_create_zero(int length);
void cvector_init_from_double(cvector *v, const double *vec, int length);
cvector *cvector_create_from_double(const double *vec, int length);
void cvector_init_copy(cvector *v, const cvector *templ);
void cvector_init_from_row(cvector *v, const cmatrix *m, int row);
cvector *cvector_create_from_row(const cmatrix *m, int row);
void cvector_init_from_column(cvector *v, const cmatrix *m, int col);
cvector *cvector_create_from_column(const cmatrix *m, int col);

// Frees the storage (which must exist) and clears the pointer.
void cvector_free(cvector *v);
// Frees the storage and the record itself.
void cvector_delete(cvector *v);

// Bare-array operations.
void vector_set(double *z, int length, double a);                // z = a
double vector_scalarprod(const double *x, const double *y, int dim);
void vector_pointwise_mult(double *z, const double *x, const double *y,
                           int dim);                             // z = x*y
void vector_pointwise_scale(double *z, const double *x, int dim);  // z *= x
void vector_add_pointwise(double *z, const double *x, const double *y,
                          int dim);                              // z = x+y
void vector_increase_pointwise(double *z, const double *x, int length);
void vector_increase(double *z, int length, double a);          // z += a
void vector_scale(double *z, int length, double a);             // z *= a
int vector_contains_nan(const double *z, int length);
int vector_contains_inf(const double *z, int length);  // +inf or -inf
// Octave text file of an n x 1 matrix / one value per line.
void vector_write_octave(const double *v, int n, FILE *f);
void vector_write_ascii(const double *v, int n, FILE *f);

// Record operations (dimensions checked).
void cvector_set(cvector *z, double a);
double cvector_scalarprod(const cvector *x, const cvector *y);
void cvector_pointwise_mult(cvector *z, const cvector *x, const cvector *y);
void cvector_pointwise_scale(cvector *z, const cvector *x);
void cvector_add_pointwise(cvector *z, const cvector *x, const cvector *y);
void cvector_increase_pointwise(cvector *z, const cvector *x);
void cvector_add(cvector *z, const cvector *x, double a);  // z = x + a
void cvector_increase(cvector *z, double a);
void cvector_scale(cvector *z, double a);
int cvector_contains_nan(const cvector *z);
int cvector_contains_inf(const cvector *z);
void cvector_write_octave(const cvector *v, FILE *f);
void cvector_write_ascii(const cvector *v, FILE *f);
void cvector_copy(cvector *z, const cvector *x);  // equal lengths
// Appends one element, growing the capacity to capacity * 10 / 9 + 1000.
void cvector_append(cvector *v, double value);

// ---------------------------------------------------------------------------
// Matrices
// ---------------------------------------------------------------------------

// Row-major: row i is data[i]; all rows lie in one block owned through
// data[0]. A matrix with height or width <= 0 has no storage.
struct cmatrix {
  double **data;
  int height;
  int width;
};

void cmatrix_init(cmatrix *m, int height, int width);  // uninitialised
cmatrix *cmatrix_create(int height, int width);
void cmatrix_init_zero(cmatrix *m, int height, int width);
cmatrix *cmatrix_create_zero(int height, int width);
void cmatrix_init_from_template(cmatrix *m, const cmatrix *templ);  // size
cmatrix *cmatrix_create_from_template(const cmatrix *templ);
void cmatrix_init_copy(cmatrix *m, const cmatrix *templ);
cmatrix *cmatrix_create_copy(const cmatrix *templ);
// The rows and columns of templ whose flag is non-zero, in order.
void cmatrix_init_deletion_matrix(cmatrix *m, const cmatrix *templ,
                                  const int *use_rows,
                                  const int *use_columns);
cmatrix *cmatrix_create_deletion_matrix(const cmatrix *templ,
                                        const int *use_rows,
                                        const int *use_columns);
void cmatrix_init_transpose(cmatrix *m, const cmatrix *templ);
cmatrix *cmatrix_create_transpose(const cmatrix *templ);
void cmatrix_init_from_double_star(cmatrix *m, int height, int width,
                                   const double *data);  // row-major array
cmatrix *cmatrix_create_from_double_star(int height, int width,
                                         const double *data);
void cmatrix_init_from_double_starstar(cmatrix *m, int height, int width,
                                       const double *const *data);
cmatrix *cmatrix_create_from_double_starstar(int height, int width,
                                             const double *const *data);
// Parses a whitespace-separated text matrix (comment lines begin with '#';
// the matrix ends at the first line without a readable first value).
void cmatrix_init_from_ascii(cmatrix *m, FILE *f);
cmatrix *cmatrix_create_from_ascii(FILE *f);
// Binary matrix stream: returns 1 with a matrix read, 0 (create: null) at
// the end of the stream.
int cmatrix_init_from_file(cmatrix *m, FILE *f);
cmatrix *cmatrix_create_from_file(FILE *f);

void cmatrix_free(cmatrix *m);
void cmatrix_delete(cmatrix *m);

void cmatrix_deletion_matrix(const cmatrix *src, cmatrix *dest,
                             const int *use_rows, const int *use_columns);
void cmatrix_copy(const cmatrix *src, cmatrix *dest);
void cmatrix_set(cmatrix *m, double a);
void cmatrix_scale(cmatrix *m, double a);
void cmatrix_add(cmatrix *m1, double a, const cmatrix *m2);  // m1 += a*m2
void cmatrix_sum(cmatrix *m3, double a, const cmatrix *m1, double b,
                 const cmatrix *m2);                    // m3 = a*m1 + b*m2
void cmatrix_mult(cmatrix *m3, const cmatrix *m1, const cmatrix *m2);
void cmatrix_mult_transpose(cmatrix *m3, const cmatrix *m1,
                            const cmatrix *m2);          // m3 = m1 * m2^T
void cmatrix_vector_mult(const cmatrix *m, const double *x, double *y);
void cmatrix_cvector_mult(const cmatrix *m, const cvector *x, cvector *y);
// m = x * y^T, m += x * y^T, m = x * x^T, m += x * x^T
void cmatrix_outer_product_vector(cmatrix *m, const double *x,
                                  const double *y);
void cmatrix_outer_product_cvector(cmatrix *m, const cvector *x,
                                   const cvector *y);
void cmatrix_add_outer_product_vector(cmatrix *m, const double *x,
                                      const double *y);
void cmatrix_add_outer_product_cvector(cmatrix *m, const cvector *x,
                                       const cvector *y);
void cmatrix_outer_product_vector_same(cmatrix *m, const double *x);
void cmatrix_outer_product_cvector_same(cmatrix *m, const cvector *x);
void cmatrix_add_outer_product_vector_same(cmatrix *m, const double *x);
void cmatrix_add_outer_product_cvector_same(cmatrix *m, const cvector *x);
// Sum of the diagonal over min(height, width).
double cmatrix_trace(const cmatrix *m);

// Row bands: start[i] / end[i] are the first / last column of row i with a
// non-zero value (NaN counts as non-zero); an all-zero row has start =
// width and end = -1.
void cmatrix_alloc_sparsity_info(const cmatrix *m, int **start, int **end);
void cmatrix_gen_sparsity_info(const cmatrix *m, int *start, int *end);
void cmatrix_free_sparsity_info(int *start, int *end);
void cmatrix_vector_mult_sparse(const cmatrix *m, const double *x, double *y,
                                const int *start, const int *end);
void cmatrix_cvector_mult_sparse(const cmatrix *m, const cvector *x,
                                 cvector *y, const int *start,
                                 const int *end);

// Writers. Text: "%.15e " per element ("%.15f " for asciif, truncated
// "%d " for asciii, a common field width without separators for asciiif),
// one line per row.
void cmatrix_write_ascii(const cmatrix *m, FILE *f);
void cmatrix_write_asciif(const cmatrix *m, FILE *f);
void cmatrix_write_asciii(const cmatrix *m, FILE *f);
void cmatrix_write_asciiif(const cmatrix *m, FILE *f);
// Table with row and column names; `format` is a printf conversion without
// its '%' and width (e.g. "g").
void cmatrix_write_table(const cmatrix *m, const char *upper_left_name,
                         const char *const *row_names,
                         const char *const *col_names, const char *format,
                         FILE *f);
void cmatrix_write_octave(const cmatrix *m, FILE *f);  // Octave text format
void cmatrix_write_pgm(const cmatrix *m, FILE *f);     // binary greymap
// Binary stream: int32 height, int32 width, then the doubles row by row.
void cmatrix_write(const cmatrix *m, FILE *f);
// The element block of the binary stream: read returns 1, or 0 when the
// stream ends before the first element.
int cmatrix_read_data_double(cmatrix *m, FILE *f);
void cmatrix_write_data_double(const cmatrix *m, FILE *f);
