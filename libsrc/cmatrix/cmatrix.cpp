// Dense matrices of doubles: construction, arithmetic, row-band sparsity and
// the text, Octave, table, PGM and binary file formats.
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmatrix.h"
#include "common.h"

namespace {

// Limits of the text reader.
constexpr int ASCII_LINE_BUFFER = 1000000;
constexpr int ASCII_MAX_ITEMS = 100000;
constexpr int ASCII_MAX_LINES = 100000;

// Element block and row pointers for an allocated matrix. The block may be
// handed over (already filled) by the binary reader.
void attach_storage(cmatrix *m, int height, int width, double *block) {
  m->height = height;
  m->width = width;
  m->data = nullptr;
  if (height <= 0 || width <= 0) {
    std::free(block);
    return;
  }
  m->data =
      static_cast<double **>(std::malloc(sizeof(double *) * (size_t)height));
  if (m->data == nullptr) fatal_system_error("cmatrix_alloc");
  if (block == nullptr) {
    block = static_cast<double *>(
        std::malloc(sizeof(double) * (size_t)height * (size_t)width));
    if (block == nullptr) fatal_system_error("cmatrix_alloc");
  }
  for (int i = 0; i < height; i++) m->data[i] = block + (size_t)i * width;
}

cmatrix *alloc_record(const char *name) {
  cmatrix *m = static_cast<cmatrix *>(std::malloc(sizeof(cmatrix)));
  if (m == nullptr) fatal_system_error(name);
  return m;
}

bool has_storage(const cmatrix *m) { return m->height > 0 && m->width > 0; }

// Conversion of a value to int for the integer writers: truncation toward
// zero, NaN as 0, magnitudes beyond int saturated.
int trunc_to_int(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT_MAX;
  if (v <= -2147483648.0) return INT_MIN;
  return (int)v;
}

// Field width of an integer value: trunc(log(|v|) / log(10) + 3), where 0
// counts like 1.
int int_field_width(int t) {
  double a = std::fabs((double)t);
  if (a < 1.0) a = 1.0;
  return (int)(std::log(a) / std::log(10.0) + 3);
}

// Text writers clear the error indicator first and report a failed write
// after flushing.
void begin_write(FILE *f) {
  PRECONDITION(f != NULL);
  std::clearerr(f);
}

void end_write(FILE *f, const char *name) {
  if (std::fflush(f) != 0 || std::ferror(f)) fatal_system_error(name);
}

void check_same_size(const cmatrix *src, const cmatrix *dest,
                     const char *name) {
  if (src->height != dest->height || src->width != dest->width) {
    fatal_error("%s error: inconsistent dimensions: src(%d,%d), dest(%d,%d)\n",
                name, src->height, src->width, dest->height, dest->width);
  }
}

void warn_nan_inf(const double *v, size_t n, const char *name) {
  bool nan = false, inf = false;
  for (size_t i = 0; i < n; i++) {
    if (std::isnan(v[i])) nan = true;
    else if (std::isinf(v[i])) inf = true;
  }
  if (inf) std::fprintf(stderr, "%s warning: one or more values was INF\n", name);
  if (nan) std::fprintf(stderr, "%s warning: one or more values was NAN\n", name);
}

int count_flags(const int *flags, int n) {
  int count = 0;
  for (int i = 0; i < n; i++)
    if (flags[i]) count++;
  return count;
}

}  // namespace

// --- construction ----------------------------------------------------------

void cmatrix_init(cmatrix *m, int height, int width) {
  PRECONDITION(m != NULL);
  PRECONDITION(height >= 0 && width >= 0);
  attach_storage(m, height, width, nullptr);
}

cmatrix *cmatrix_create(int height, int width) {
  cmatrix *m = alloc_record("cmatrix_create");
  cmatrix_init(m, height, width);
  return m;
}

void cmatrix_init_zero(cmatrix *m, int height, int width) {
  cmatrix_init(m, height, width);
  cmatrix_set(m, 0.0);
}

cmatrix *cmatrix_create_zero(int height, int width) {
  cmatrix *m = alloc_record("cmatrix_create_zero");
  cmatrix_init_zero(m, height, width);
  return m;
}

void cmatrix_init_from_template(cmatrix *m, const cmatrix *templ) {
  cmatrix_init(m, templ->height, templ->width);
}

cmatrix *cmatrix_create_from_template(const cmatrix *templ) {
  cmatrix *m = alloc_record("cmatrix_create_from_template");
  cmatrix_init_from_template(m, templ);
  return m;
}

void cmatrix_init_copy(cmatrix *m, const cmatrix *templ) {
  cmatrix_init(m, templ->height, templ->width);
  cmatrix_copy(templ, m);
}

cmatrix *cmatrix_create_copy(const cmatrix *templ) {
  cmatrix *m = alloc_record("cmatrix_create_copy");
  cmatrix_init_copy(m, templ);
  return m;
}

void cmatrix_init_deletion_matrix(cmatrix *m, const cmatrix *templ,
                                  const int *use_rows,
                                  const int *use_columns) {
  cmatrix_init(m, count_flags(use_rows, templ->height),
               count_flags(use_columns, templ->width));
  cmatrix_deletion_matrix(templ, m, use_rows, use_columns);
}

cmatrix *cmatrix_create_deletion_matrix(const cmatrix *templ,
                                        const int *use_rows,
                                        const int *use_columns) {
  cmatrix *m = alloc_record("cmatrix_create_deletion_matrix");
  cmatrix_init_deletion_matrix(m, templ, use_rows, use_columns);
  return m;
}

void cmatrix_init_transpose(cmatrix *m, const cmatrix *templ) {
  PRECONDITION(m != templ);
  cmatrix_init(m, templ->width, templ->height);
  for (int i = 0; i < m->height; i++)
    for (int j = 0; j < m->width; j++) m->data[i][j] = templ->data[j][i];
}

cmatrix *cmatrix_create_transpose(const cmatrix *templ) {
  cmatrix *m = alloc_record("cmatrix_create_transpose");
  cmatrix_init_transpose(m, templ);
  return m;
}

void cmatrix_init_from_double_star(cmatrix *m, int height, int width,
                                   const double *data) {
  cmatrix_init(m, height, width);
  if (has_storage(m))
    std::memcpy(m->data[0], data,
                sizeof(double) * (size_t)height * (size_t)width);
}

cmatrix *cmatrix_create_from_double_star(int height, int width,
                                         const double *data) {
  cmatrix *m = alloc_record("cmatrix_create_from_double_star");
  cmatrix_init_from_double_star(m, height, width, data);
  return m;
}

void cmatrix_init_from_double_starstar(cmatrix *m, int height, int width,
                                       const double *const *data) {
  cmatrix_init(m, height, width);
  if (!has_storage(m)) return;
  for (int i = 0; i < height; i++)
    std::memcpy(m->data[i], data[i], sizeof(double) * (size_t)width);
}

cmatrix *cmatrix_create_from_double_starstar(int height, int width,
                                             const double *const *data) {
  cmatrix *m = alloc_record("cmatrix_create_from_double_starstar");
  cmatrix_init_from_double_starstar(m, height, width, data);
  return m;
}

// --- text input ----------------------------------------------------------------

namespace {

// Growing array of doubles for the text reader.
struct value_buffer {
  double *data = nullptr;
  size_t length = 0;
  size_t capacity = 0;
  void push(double v) {
    if (length == capacity) {
      size_t grown = capacity < 1024 ? 1024 : capacity * 2;
      double *p =
          static_cast<double *>(std::realloc(data, sizeof(double) * grown));
      if (p == nullptr) fatal_system_error("cmatrix_alloc");
      data = p;
      capacity = grown;
    }
    data[length++] = v;
  }
};

// The line without its line end, for messages.
std::string printable_line(const char *line) {
  std::string s(line);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

bool is_blank(const char *line) {
  for (const char *p = line; *p; p++)
    if (!std::isspace((unsigned char)*p)) return false;
  return true;
}

// Reads one value at `pos` (leading blanks skipped, as "%lf" does). Returns
// false with `pos` at the offending character when no number starts there;
// returns false with `at_end` set when only blanks remain.
bool read_value(const char *line, int *pos, double *value, bool *at_end) {
  const char *p = line + *pos;
  while (*p && std::isspace((unsigned char)*p)) p++;
  *pos = (int)(p - line);
  *at_end = (*p == '\0');
  if (*at_end) return false;
  char *end = nullptr;
  double v = std::strtod(p, &end);
  if (end == p) return false;
  *value = v;
  *pos = (int)(end - line);
  return true;
}

// Reads a line as fgets(*line, ASCII_LINE_BUFFER, f) would, with *line
// (malloc'd, *capacity bytes) grown only as far as the line needs: a small
// file costs no megabyte of buffer.
char *read_ascii_line(FILE *f, char **line, size_t *capacity, const char *name) {
  size_t len = 0;
  while (len + 1 < (size_t)ASCII_LINE_BUFFER) {
    int c = std::getc(f);
    if (c == EOF) {
      if (len == 0 || std::ferror(f)) return nullptr;
      break;
    }
    if (len + 2 > *capacity) {  // room for c and the terminator
      size_t grown = *capacity < 128 ? 256 : *capacity * 2;
      if (grown > (size_t)ASCII_LINE_BUFFER) grown = ASCII_LINE_BUFFER;
      char *p = static_cast<char *>(std::realloc(*line, grown));
      if (p == nullptr) fatal_system_error(name);
      *line = p;
      *capacity = grown;
    }
    (*line)[len++] = (char)c;
    if (c == '\n') break;
  }
  (*line)[len] = '\0';
  return *line;
}

}  // namespace

void cmatrix_init_from_ascii(cmatrix *m, FILE *f) {
  static const char *name = "cmatrix_init_from_ascii";
  PRECONDITION(m != NULL);
  PRECONDITION(f != NULL);
  char *line = nullptr;
  size_t capacity = 0;
  value_buffer values;
  int width = 0, height = 0;
  int line_number = 0;
  bool have_data = false;

  for (;; line_number++) {
    if (read_ascii_line(f, &line, &capacity, name) == nullptr) {
      if (std::ferror(f)) fatal_system_error(name);
      break;
    }
    size_t len = std::strlen(line);
    if (len == (size_t)ASCII_LINE_BUFFER - 1 && line[len - 1] != '\n') {
      if (line_number == 0)
        fatal_error("%s: line 0 is too long (>= %d).\n", name,
                    ASCII_LINE_BUFFER);
      fatal_error("%s: line %d is too long (>= %d).\n", name, line_number,
                  ASCII_LINE_BUFFER);
    }
    // The line end is no part of the values (nor of the messages).
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
      line[--len] = '\0';
    if (line[0] == '#') {
      std::string text = printable_line(line);
      if (!have_data)
        std::fprintf(stderr, "%s: comment line: %s\n", name, text.c_str());
      else
        std::fprintf(stderr, "comment line: %s\n", text.c_str());
      continue;
    }

    if (!have_data) {
      // Blank lines before the first data line carry nothing.
      if (is_blank(line)) continue;
      // The first data line fixes the width.
      int pos = 0;
      for (;;) {
        double v;
        bool at_end;
        if (!read_value(line, &pos, &v, &at_end)) {
          if (at_end) break;
          std::string text = printable_line(line);
          fatal_error("%s:\nerror at pos %d when trying to parse line \"%s\"\n",
                      name, pos, text.c_str());
        }
        values.push(v);
        width++;
        if (width >= ASCII_MAX_ITEMS)
          fatal_error("read_alloc_ascii_matrix: line is too long: >= %d "
                      "items.\n",
                      ASCII_MAX_ITEMS);
      }
      have_data = true;
      height = 1;
      continue;
    }

    // Further lines supply `width` values; extra values are ignored.
    int pos = 0;
    double v;
    bool at_end;
    if (!read_value(line, &pos, &v, &at_end)) break;  // the matrix ends
    if (height + 1 >= ASCII_MAX_LINES)
      fatal_error("%s: too many lines: >= %d\n", name, ASCII_MAX_LINES);
    values.push(v);
    for (int j = 1; j < width; j++) {
      if (!read_value(line, &pos, &v, &at_end)) {
        std::string text = printable_line(line);
        fatal_error("%s: error at pos %d when trying to parse line \"%s\"\n",
                    name, pos, text.c_str());
      }
      values.push(v);
    }
    height++;
  }
  std::free(line);
  if (!have_data) {
    std::free(values.data);
    fatal_error("%s: no data.\n", name);
  }
  // The value buffer becomes the element block.
  double *block = static_cast<double *>(
      std::realloc(values.data, sizeof(double) * values.length));
  if (block == nullptr) block = values.data;
  attach_storage(m, height, width, block);
}

cmatrix *cmatrix_create_from_ascii(FILE *f) {
  cmatrix *m = alloc_record("cmatrix_create_from_ascii");
  cmatrix_init_from_ascii(m, f);
  return m;
}

// --- binary stream -------------------------------------------------------------

int cmatrix_read_data_double(cmatrix *m, FILE *f) {
  static const char *name = "cmatrix_read_data_double";
  PRECONDITION(m != NULL);
  PRECONDITION(f != NULL);
  if (!has_storage(m)) return 1;
  size_t total = (size_t)m->height * (size_t)m->width;
  size_t got = std::fread(m->data[0], sizeof(double), total, f);
  if (got < total) {
    if (!std::feof(f)) fatal_system_error(name);
    if (got == 0) return 0;
    fatal_error("%s error: unexpected end of file after %zu of %zu values of "
                "a %d*%d matrix\n",
                name, got, total, m->height, m->width);
  }
  warn_nan_inf(m->data[0], total, name);
  return 1;
}

int cmatrix_init_from_file(cmatrix *m, FILE *f) {
  static const char *name = "cmatrix_init_from_file";
  PRECONDITION(m != NULL);
  PRECONDITION(f != NULL);
  int32_t header[2];
  size_t got = std::fread(header, 1, sizeof(header), f);
  if (got < sizeof(header)) {
    if (!std::feof(f)) fatal_system_error(name);
    if (got == 0) return 0;  // the regular end of the stream
    fatal_error("%s error: unexpected end of file inside a matrix header "
                "(%zu of %zu bytes)\n",
                name, got, sizeof(header));
  }
  int height = header[0], width = header[1];
  if (height < 0 || width < 0)
    fatal_error("%s error: invalid matrix size %d*%d in the stream\n", name,
                height, width);
  size_t total = (size_t)height * (size_t)width;
  if (total > SIZE_MAX / sizeof(double) / 2)
    fatal_error("%s error: matrix size %d*%d is too large\n", name, height,
                width);

  // The block is read in growing pieces, so that a damaged header that
  // claims a huge matrix costs no more memory than the data that follow it.
  double *block = nullptr;
  size_t have = 0, capacity = 0;
  while (have < total) {
    if (have == capacity) {
      size_t grown = capacity == 0 ? (size_t)1 << 9 : capacity * 2;
      if (grown > total) grown = total;
      double *p =
          static_cast<double *>(std::realloc(block, sizeof(double) * grown));
      if (p == nullptr) fatal_system_error("cmatrix_alloc");
      block = p;
      capacity = grown;
    }
    size_t n = std::fread(block + have, sizeof(double), capacity - have, f);
    have += n;
    if (have < capacity) {
      if (!std::feof(f)) fatal_system_error("cmatrix_read_data_double");
      std::free(block);
      fatal_error("%s error: unexpected end of file after %zu of %zu values "
                  "of a %d*%d matrix\n",
                  name, have, total, height, width);
    }
  }
  attach_storage(m, height, width, block);
  if (has_storage(m)) warn_nan_inf(m->data[0], total, "cmatrix_read_data_double");
  return 1;
}

cmatrix *cmatrix_create_from_file(FILE *f) {
  cmatrix *m = alloc_record("cmatrix_create_from_file");
  if (!cmatrix_init_from_file(m, f)) {
    std::free(m);
    return nullptr;
  }
  return m;
}

void cmatrix_write_data_double(const cmatrix *m, FILE *f) {
  static const char *name = "cmatrix_write_data_double";
  PRECONDITION(m != NULL);
  PRECONDITION(f != NULL);
  if (!has_storage(m)) return;
  size_t total = (size_t)m->height * (size_t)m->width;
  if (std::fwrite(m->data[0], sizeof(double), total, f) != total)
    fatal_system_error(name);
  warn_nan_inf(m->data[0], total, name);
}

void cmatrix_write(const cmatrix *m, FILE *f) {
  PRECONDITION(m != NULL);
  PRECONDITION(f != NULL);
  int32_t header[2] = {m->height, m->width};
  std::clearerr(f);
  if (std::fwrite(header, sizeof(header), 1, f) != 1)
    fatal_system_error("cmatrix_write");
  cmatrix_write_data_double(m, f);
  if (std::fflush(f) != 0 || std::ferror(f)) fatal_system_error("cmatrix_write");
}

// --- release ---------------------------------------------------------------------

void cmatrix_free(cmatrix *m) {
  PRECONDITION(m != NULL);
  if (!has_storage(m)) return;
  PRECONDITION(m->data != NULL);
  PRECONDITION(m->data[0] != NULL);
  std::free(m->data[0]);
  std::free(m->data);
  m->data = nullptr;
}

void cmatrix_delete(cmatrix *m) {
  PRECONDITION(m != NULL);
  cmatrix_free(m);
  std::free(m);
}

// --- arithmetic --------------------------------------------------------------------

void cmatrix_deletion_matrix(const cmatrix *src, cmatrix *dest,
                             const int *use_rows, const int *use_columns) {
  int rows = count_flags(use_rows, src->height);
  int cols = count_flags(use_columns, src->width);
  if (dest->height != rows || dest->width != cols) {
    fatal_error("cmatrix_deletion_matrix error: inconsistent dimensions: "
                "dest(%d,%d) for %d selected rows and %d selected columns\n",
                dest->height, dest->width, rows, cols);
  }
  int di = 0;
  for (int i = 0; i < src->height; i++) {
    if (!use_rows[i]) continue;
    int dj = 0;
    for (int j = 0; j < src->width; j++)
      if (use_columns[j]) dest->data[di][dj++] = src->data[i][j];
    di++;
  }
}

void cmatrix_copy(const cmatrix *src, cmatrix *dest) {
  check_same_size(src, dest, "cmatrix_copy");
  if (has_storage(src) && src->data[0] != dest->data[0])
    std::memmove(dest->data[0], src->data[0],
                 sizeof(double) * (size_t)src->height * (size_t)src->width);
}

void cmatrix_set(cmatrix *m, double a) {
  if (!has_storage(m)) return;
  vector_set(m->data[0], m->height * m->width, a);
}

void cmatrix_scale(cmatrix *m, double a) {
  if (!has_storage(m)) return;
  vector_scale(m->data[0], m->height * m->width, a);
}

void cmatrix_add(cmatrix *m1, double a, const cmatrix *m2) {
  if (m1->height != m2->height || m1->width != m2->width) {
    fatal_error("%s: inconsistent dimensions:\nm1: (%d, %d), m2:(%d, %d)\n",
                "cmatrix_add", m1->height, m1->width, m2->height, m2->width);
  }
  for (int i = 0; i < m1->height; i++)
    for (int j = 0; j < m1->width; j++) m1->data[i][j] += a * m2->data[i][j];
}

static void dims3_error(const char *name, const cmatrix *m3,
                        const cmatrix *m1, const cmatrix *m2) {
  fatal_error("%s: inconsistent dimensions:\nm1: (%d, %d), m2:(%d, %d), m3: "
              "(%d, %d)\n",
              name, m1->height, m1->width, m2->height, m2->width, m3->height,
              m3->width);
}

void cmatrix_sum(cmatrix *m3, double a, const cmatrix *m1, double b,
                 const cmatrix *m2) {
  if (m1->height != m2->height || m1->width != m2->width ||
      m3->height != m1->height || m3->width != m1->width)
    dims3_error("cmatrix_sum", m3, m1, m2);
  for (int i = 0; i < m3->height; i++)
    for (int j = 0; j < m3->width; j++)
      m3->data[i][j] = a * m1->data[i][j] + b * m2->data[i][j];
}

void cmatrix_mult(cmatrix *m3, const cmatrix *m1, const cmatrix *m2) {
  if (m1->width != m2->height || m3->height != m1->height ||
      m3->width != m2->width)
    dims3_error("cmatrix_mult", m3, m1, m2);
  PRECONDITION(m3 != m1 && m3 != m2);
  for (int i = 0; i < m3->height; i++) {
    for (int j = 0; j < m3->width; j++) m3->data[i][j] = 0.0;
    for (int k = 0; k < m1->width; k++) {
      double a = m1->data[i][k];
      for (int j = 0; j < m3->width; j++) m3->data[i][j] += a * m2->data[k][j];
    }
  }
}

void cmatrix_mult_transpose(cmatrix *m3, const cmatrix *m1,
                            const cmatrix *m2) {
  if (m1->width != m2->width || m3->height != m1->height ||
      m3->width != m2->height)
    dims3_error("cmatrix_mult_transpose", m3, m1, m2);
  PRECONDITION(m3 != m1 && m3 != m2);
  for (int i = 0; i < m3->height; i++)
    for (int j = 0; j < m3->width; j++)
      m3->data[i][j] = vector_scalarprod(m1->data[i], m2->data[j], m1->width);
}

void cmatrix_vector_mult(const cmatrix *m, const double *x, double *y) {
  PRECONDITION(x != y);
  for (int i = 0; i < m->height; i++)
    y[i] = vector_scalarprod(m->data[i], x, m->width);
}

void cmatrix_cvector_mult(const cmatrix *m, const cvector *x, cvector *y) {
  if (y->length != m->height || x->length != m->width) {
    fatal_error("%s error: inconsistent dimensions! y(%d), m(%d,%d), x(%d)\n",
                "cmatrix_cvector_mult", y->length, m->height, m->width,
                x->length);
  }
  cmatrix_vector_mult(m, x->data, y->data);
}

static void outer(cmatrix *m, const double *x, const double *y, bool add) {
  for (int i = 0; i < m->height; i++)
    for (int j = 0; j < m->width; j++) {
      double p = x[i] * y[j];
      m->data[i][j] = add ? m->data[i][j] + p : p;
    }
}

static void check_outer_cvector(const cmatrix *m, const cvector *x,
                                const cvector *y, const char *name) {
  if (m->height != x->length || m->width != y->length) {
    fatal_error("%s error: inconsistent dimensions! m(%d,%d), x(%d), y(%d)\n",
                name, m->height, m->width, x->length, y->length);
  }
}

static void check_outer_cvector_same(const cmatrix *m, const cvector *x,
                                     const char *name) {
  if (m->height != x->length || m->width != x->length) {
    fatal_error("%s error: inconsistent dimensions! m(%d,%d), x(%d))\n", name,
                m->height, m->width, x->length);
  }
}

static void check_square(const cmatrix *m, const char *name) {
  if (m->height != m->width) {
    fatal_error("%s error: inconsistent dimensions: m(%d, %d)\n", name,
                m->height, m->width);
  }
}

void cmatrix_outer_product_vector(cmatrix *m, const double *x,
                                  const double *y) {
  outer(m, x, y, false);
}

void cmatrix_outer_product_cvector(cmatrix *m, const cvector *x,
                                   const cvector *y) {
  check_outer_cvector(m, x, y, "cmatrix_outer_product_cvector");
  outer(m, x->data, y->data, false);
}

void cmatrix_add_outer_product_vector(cmatrix *m, const double *x,
                                      const double *y) {
  outer(m, x, y, true);
}

void cmatrix_add_outer_product_cvector(cmatrix *m, const cvector *x,
                                       const cvector *y) {
  check_outer_cvector(m, x, y, "cmatrix_add_outer_product_cvector");
  outer(m, x->data, y->data, true);
}

void cmatrix_outer_product_vector_same(cmatrix *m, const double *x) {
  check_square(m, "cmatrix_outer_product_vector_same");
  outer(m, x, x, false);
}

void cmatrix_outer_product_cvector_same(cmatrix *m, const cvector *x) {
  check_outer_cvector_same(m, x, "cmatrix_outer_product_cvector_same");
  outer(m, x->data, x->data, false);
}

void cmatrix_add_outer_product_vector_same(cmatrix *m, const double *x) {
  check_square(m, "cmatrix_add_outer_product_vector_same");
  outer(m, x, x, true);
}

void cmatrix_add_outer_product_cvector_same(cmatrix *m, const cvector *x) {
  check_outer_cvector_same(m, x, "cmatrix_add_outer_product_cvector_same");
  outer(m, x->data, x->data, true);
}

double cmatrix_trace(const cmatrix *m) {
  if (m->height != m->width) {
    std::fprintf(stderr,
                 "%s warning: trace of non-quadratic matrix (%d,%d) ?\n",
                 "cmatrix_trace", m->height, m->width);
  }
  int n = m->height < m->width ? m->height : m->width;
  double sum = 0.0;
  for (int i = 0; i < n; i++) sum += m->data[i][i];
  return sum;
}

// --- sparsity ----------------------------------------------------------------------

void cmatrix_alloc_sparsity_info(const cmatrix *m, int **start, int **end) {
  PRECONDITION(m != NULL);
  PRECONDITION(start != NULL && end != NULL);
  size_t n = m->height > 0 ? (size_t)m->height : 1;
  *start = static_cast<int *>(std::malloc(sizeof(int) * n));
  *end = static_cast<int *>(std::malloc(sizeof(int) * n));
  if (*start == nullptr || *end == nullptr)
    fatal_system_error("cmatrix_alloc_sparsity_info");
}

void cmatrix_gen_sparsity_info(const cmatrix *m, int *start, int *end) {
  for (int i = 0; i < m->height; i++) {
    start[i] = m->width;
    end[i] = -1;
    for (int j = 0; j < m->width; j++) {
      if (m->data[i][j] != 0.0) {  // NaN compares unequal: non-zero
        if (start[i] == m->width) start[i] = j;
        end[i] = j;
      }
    }
  }
}

void cmatrix_free_sparsity_info(int *start, int *end) {
  PRECONDITION(start != NULL);
  PRECONDITION(end != NULL);
  std::free(start);
  std::free(end);
}

void cmatrix_vector_mult_sparse(const cmatrix *m, const double *x, double *y,
                                const int *start, const int *end) {
  PRECONDITION(x != y);
  for (int i = 0; i < m->height; i++) {
    double sum = 0.0;
    for (int j = start[i]; j <= end[i]; j++) sum += m->data[i][j] * x[j];
    y[i] = sum;
  }
}

void cmatrix_cvector_mult_sparse(const cmatrix *m, const cvector *x,
                                 cvector *y, const int *start,
                                 const int *end) {
  if (y->length != m->height || x->length != m->width) {
    fatal_error("%s error: inconsistent dimensions! y(%d), m(%d,%d), x(%d)\n",
                "cmatrix_cvector_mult_sparse", y->length, m->height, m->width,
                x->length);
  }
  cmatrix_vector_mult_sparse(m, x->data, y->data, start, end);
}

// --- writers -----------------------------------------------------------------------

static void write_body(const cmatrix *m, FILE *f, const char *conversion) {
  for (int i = 0; i < m->height; i++) {
    for (int j = 0; j < m->width; j++)
      std::fprintf(f, conversion, 15, m->data[i][j]);
    std::fputc('\n', f);
  }
}

void cmatrix_write_ascii(const cmatrix *m, FILE *f) {
  begin_write(f);
  write_body(m, f, "%.*e ");
  end_write(f, "cmatrix_write_ascii");
}

void cmatrix_write_asciif(const cmatrix *m, FILE *f) {
  begin_write(f);
  write_body(m, f, "%.*f ");
  end_write(f, "cmatrix_write_asciif");
}

void cmatrix_write_asciii(const cmatrix *m, FILE *f) {
  begin_write(f);
  for (int i = 0; i < m->height; i++) {
    for (int j = 0; j < m->width; j++)
      std::fprintf(f, "%d ", trunc_to_int(m->data[i][j]));
    std::fputc('\n', f);
  }
  end_write(f, "cmatrix_write_asciii");
}

void cmatrix_write_asciiif(const cmatrix *m, FILE *f) {
  begin_write(f);
  int width = 1;
  for (int i = 0; i < m->height; i++)
    for (int j = 0; j < m->width; j++) {
      int w = int_field_width(trunc_to_int(m->data[i][j]));
      if (w > width) width = w;
    }
  for (int i = 0; i < m->height; i++) {
    for (int j = 0; j < m->width; j++)
      std::fprintf(f, "%*d", width, trunc_to_int(m->data[i][j]));
    std::fputc('\n', f);
  }
  end_write(f, "cmatrix_write_asciiif");
}

void cmatrix_write_table(const cmatrix *m, const char *upper_left_name,
                         const char *const *row_names,
                         const char *const *col_names, const char *format,
                         FILE *f) {
  static const char *name = "cmatrix_write_table";
  PRECONDITION(upper_left_name != NULL && format != NULL);
  begin_write(f);
  size_t ncols = m->width > 0 ? (size_t)m->width : 1;
  int *widths = static_cast<int *>(std::malloc(sizeof(int) * ncols));
  if (widths == nullptr) fatal_system_error(name);
  for (int j = 0; j < m->width; j++) {
    widths[j] = (int)std::strlen(col_names[j]) + 2;
    for (int i = 0; i < m->height; i++) {
      int w = int_field_width(trunc_to_int(m->data[i][j]));
      if (w > widths[j]) widths[j] = w;
    }
  }
  int left = (int)std::strlen(upper_left_name) + 1;
  for (int i = 0; i < m->height; i++) {
    int w = (int)std::strlen(row_names[i]) + 2;
    if (w > left) left = w;
  }
  std::string conversion = std::string("%*") + format;
  std::fprintf(f, "%*s", left, upper_left_name);
  for (int j = 0; j < m->width; j++)
    std::fprintf(f, "%*s", widths[j], col_names[j]);
  std::fputc('\n', f);
  for (int i = 0; i < m->height; i++) {
    std::fprintf(f, "%*s", left, row_names[i]);
    for (int j = 0; j < m->width; j++)
      std::fprintf(f, conversion.c_str(), widths[j], m->data[i][j]);
    std::fputc('\n', f);
  }
  std::free(widths);
  end_write(f, name);
}

void cmatrix_write_octave(const cmatrix *m, FILE *f) {
  static const char *name = "cmatrix_write_octave";
  begin_write(f);
  std::fprintf(f, "# created for Octave with %s\n", name);
  std::fprintf(f, "# name: x\n");
  std::fprintf(f, "# type: matrix\n");
  std::fprintf(f, "# rows: %ld\n", (long)m->height);
  std::fprintf(f, "# columns: %ld\n", (long)m->width);
  write_body(m, f, "%.*e ");
  end_write(f, name);
}

void cmatrix_write_pgm(const cmatrix *m, FILE *f) {
  static const char *name = "cmatrix_write_pgm";
  begin_write(f);
  std::fprintf(f, "P5\n");
  std::fprintf(f, "# stragestly, there must be two lines \n");
  std::fprintf(f, "# of comments for xv to accept this file! here we are!\n");
  std::fprintf(f, "%ld %ld\n", (long)m->width, (long)m->height);
  std::fprintf(f, "%d\n", 255);
  // The grey scale spans the finite values; NaN is black, +inf white.
  double min = INFINITY, max = -INFINITY;
  for (int i = 0; i < m->height; i++)
    for (int j = 0; j < m->width; j++) {
      double v = m->data[i][j];
      if (!std::isfinite(v)) continue;
      if (v < min) min = v;
      if (v > max) max = v;
    }
  for (int i = 0; i < m->height; i++)
    for (int j = 0; j < m->width; j++) {
      double v = m->data[i][j];
      int b;
      if (std::isnan(v) || v == -INFINITY) b = 0;
      else if (v == INFINITY) b = 255;
      else if (!(max > min)) b = 0;
      else {
        double scaled = std::trunc((v - min) / (max - min) * 256);
        b = scaled < 0 ? 0 : scaled >= 256 ? 255 : (int)scaled;
      }
      std::fputc(b, f);
    }
  end_write(f, name);
}
