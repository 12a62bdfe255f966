// Conversions between a vector's stored features and plain arrays of
// doubles, floats and 32-bit integers, and the text forms of a vector.
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "fv.h"

// ---------------------------------------------------------------------------
// Extended-precision items

#if (defined(__x86_64__) || defined(__i386__)) && LDBL_MANT_DIG == 64

// On x87 machines the item's 10 value bytes are the long double's own.
long double fv_ldouble_get(const void *item) {
  long double value = 0.0L;
  std::memcpy(&value, item, 10);
  return value;
}

void fv_ldouble_set(void *item, long double value) {
  std::memcpy(item, &value, 10);
  std::memset((char *)item + 10, 0, FV_LDOUBLE_ITEMSIZE - 10);
}
#else
// Elsewhere the 80-bit value (sign, 15-bit exponent with bias 16383, 64-bit
// mantissa with explicit integer bit) is decoded and encoded arithmetically.
long double fv_ldouble_get(const void *item) {
  const unsigned char *b = (const unsigned char *)item;
  uint64_t mant = 0;
  for (int i = 7; i >= 0; i--) mant = (mant << 8) | b[i];
  int se = b[8] | (b[9] << 8);
  int sign = se >> 15, e = se & 0x7fff;
  long double v;
  if (e == 0x7fff)
    v = (mant << 1) == 0 ? HUGE_VALL : NAN;
  else if (e == 0)
    v = std::ldexp((long double)mant, -16382 - 63);
  else
    v = std::ldexp((long double)mant, e - 16383 - 63);
  return sign ? -v : v;
}

void fv_ldouble_set(void *item, long double value) {
  unsigned char *b = (unsigned char *)item;
  int sign = std::signbit(value) ? 1 : 0;
  long double a = std::fabs(value);
  uint64_t mant;
  int e;
  if (std::isnan(value)) {
    e = 0x7fff;
    mant = 0xC000000000000000ull;
  } else if (std::isinf(value)) {
    e = 0x7fff;
    mant = 0x8000000000000000ull;
  } else if (a == 0.0L) {
    e = 0;
    mant = 0;
  } else {
    int exp2;
    long double m = std::frexp(a, &exp2);  // a = m * 2^exp2, m in [0.5, 1)
    e = exp2 - 1 + 16383;
    if (e >= 0x7fff) {
      e = 0x7fff;
      mant = 0x8000000000000000ull;
    } else if (e <= 0) {
      mant = (uint64_t)std::ldexp(a, 16382 + 63);
      e = 0;
    } else {
      mant = (uint64_t)std::ldexp(m, 64);
    }
  }
  for (int i = 0; i < 8; i++) b[i] = (unsigned char)(mant >> (8 * i));
  int se = (sign << 15) | e;
  b[8] = (unsigned char)(se & 0xff);
  b[9] = (unsigned char)(se >> 8);
  b[10] = b[11] = 0;
}
#endif

// ---------------------------------------------------------------------------
// Numeric conversions

int32_t fv_double_to_int32(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0) return INT32_MAX;
  if (x <= -2147483648.0) return INT32_MIN;
  return (int32_t)x;  // truncates toward zero
}

// The same for extended precision, so that truncation sees every bit.
static int32_t ldouble_to_int32(long double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0L) return INT32_MAX;
  if (x <= -2147483648.0L) return INT32_MIN;
  return (int32_t)x;
}

// Values scanned at a time for NaN and infinity.
static constexpr size_t kChunk = 32;

static const unsigned char *item_at(const fv *f, int itemsize, int32_t i) {
  return (const unsigned char *)f->data + (size_t)i * (size_t)itemsize;
}
static unsigned char *item_at(fv *f, int itemsize, int32_t i) {
  return (unsigned char *)f->data + (size_t)i * (size_t)itemsize;
}

// True when all kChunk values from v on are finite: x * 0 is 0 for a finite
// x and NaN otherwise, summed in independent vector lanes.
template <typename T>
static bool chunk_is_finite(const T *v) {
  constexpr size_t kLanes = 16 / sizeof(T);
  typedef T lanes __attribute__((vector_size(16)));
  lanes a{}, b{};
  for (size_t i = 0; i < kChunk; i += 2 * kLanes) {
    lanes x, y;
    std::memcpy(&x, v + i, sizeof x);
    std::memcpy(&y, v + i + kLanes, sizeof y);
    a += x * T(0);
    b += y * T(0);
  }
  a += b;
  T sum = 0;
  for (size_t i = 0; i < kLanes; i++) sum += a[i];
  return sum == 0;
}

template <typename T>
static size_t find_unwarned(const fv_info *info, const T *v, size_t n) {
  const bool nan = !info->did_warn_NAN, inf = !info->did_warn_INF;
  if (!nan && !inf) return n;
  size_t i = 0;
  while (i < n) {
    const size_t end = n - i >= kChunk ? i + kChunk : n;
    if (end - i < kChunk || !chunk_is_finite(v + i)) {
      for (; i < end; i++)
        if ((nan && std::isnan(v[i])) || (inf && std::isinf(v[i]))) return i;
    }
    i = end;
  }
  return n;
}

size_t fv_find_unwarned(const fv_info *info, const double *v, size_t n) {
  return find_unwarned(info, v, n);
}

size_t fv_find_unwarned(const fv_info *info, const float *v, size_t n) {
  return find_unwarned(info, v, n);
}

// Warns once per description at the first NaN and at the first infinity.
template <typename T>
static void check_values(fv_info *info, const T *v, int32_t n,
                         const char *who) {
  if (n <= 0 || find_unwarned(info, v, (size_t)n) == (size_t)n) return;
  if (!info->did_warn_NAN) {
    for (int32_t i = 0; i < n; i++)
      if (std::isnan(v[i])) {
        std::fprintf(stderr,
                     "%s warning: NAN value encountered (this warning/check "
                     "will not be repeated)!\n",
                     who);
        info->did_warn_NAN = 1;
        break;
      }
  }
  if (!info->did_warn_INF) {
    for (int32_t i = 0; i < n; i++)
      if (std::isinf(v[i])) {
        std::fprintf(stderr,
                     "%s warning: INF value encountered (this warning/check "
                     "will not be repeated)!\n",
                     who);
        info->did_warn_INF = 1;
        break;
      }
  }
}

template <typename T>
static void check_values(fv_info *info, const T *v, const char *who) {
  check_values(info, v, info->dim, who);
}

void fv_check_values(fv_info *info, const double *v, int32_t n,
                     const char *who) {
  check_values(info, v, n, who);
}

// Reads feature i of a vector of any data type as T (floating point).
template <typename T>
static T get_floating(const fv_info *info, const fv *f, int32_t i) {
  const unsigned char *p = item_at(f, info->itemsize, i);
  switch (info->datatype) {
    case FV_FLOAT: { float x; std::memcpy(&x, p, 4); return (T)x; }
    case FV_DOUBLE: { double x; std::memcpy(&x, p, 8); return (T)x; }
    case FV_LDOUBLE: return (T)fv_ldouble_get(p);
    default: { int32_t x; std::memcpy(&x, p, 4); return (T)x; }
  }
}

static bool known_datatype(int datatype) {
  return datatype >= 0 && datatype < FV_NUM_DATATYPES;
}

void fv_to_double(fv_info *info, const fv *f, double *v) {
  if (!known_datatype(info->datatype))
    fatal_error("fv_to_double: unknown data type %d!\n", info->datatype);
  if (info->datatype == FV_DOUBLE) {
    if (info->dim > 0) std::memcpy(v, f->data, (size_t)info->dim * 8);
  } else {
    for (int32_t i = 0; i < info->dim; i++) v[i] = get_floating<double>(info, f, i);
  }
  check_values(info, v, "fv_to_double");
}

void fv_to_float(fv_info *info, const fv *f, float *v) {
  if (!known_datatype(info->datatype))
    fatal_error("fv_to_float: unknown data type %d!\n", info->datatype);
  if (info->datatype == FV_FLOAT) {
    if (info->dim > 0) std::memcpy(v, f->data, (size_t)info->dim * 4);
  } else {
    for (int32_t i = 0; i < info->dim; i++) v[i] = get_floating<float>(info, f, i);
  }
  check_values(info, v, "fv_to_float");
}

void fv_to_int32_t(const fv_info *info, const fv *f, int32_t *v) {
  switch (info->datatype) {
    case FV_FLOAT:
      for (int32_t i = 0; i < info->dim; i++) {
        float x;
        std::memcpy(&x, item_at(f, info->itemsize, i), 4);
        v[i] = fv_double_to_int32(x);
      }
      break;
    case FV_DOUBLE:
      for (int32_t i = 0; i < info->dim; i++) {
        double x;
        std::memcpy(&x, item_at(f, info->itemsize, i), 8);
        v[i] = fv_double_to_int32(x);
      }
      break;
    case FV_LDOUBLE:
      for (int32_t i = 0; i < info->dim; i++)
        v[i] = ldouble_to_int32(fv_ldouble_get(item_at(f, info->itemsize, i)));
      break;
    case FV_INT32:
      PRECONDITION(sizeof(int32_t) == info->itemsize);
      if (info->dim > 0) std::memcpy(v, f->data, (size_t)info->dim * 4);
      break;
    default:
      fatal_error("fv_to_int: unknown data type %d!\n", info->datatype);
  }
}

// Stores floating-point values of type T into a vector of any data type.
template <typename T>
static void put_floating(const fv_info *info, const T *v, fv *f) {
  for (int32_t i = 0; i < info->dim; i++) {
    unsigned char *p = item_at(f, info->itemsize, i);
    switch (info->datatype) {
      case FV_FLOAT: { float x = (float)v[i]; std::memcpy(p, &x, 4); break; }
      case FV_DOUBLE: { double x = (double)v[i]; std::memcpy(p, &x, 8); break; }
      case FV_LDOUBLE: fv_ldouble_set(p, (long double)v[i]); break;
      default: { int32_t x = fv_double_to_int32((double)v[i]); std::memcpy(p, &x, 4); }
    }
  }
}

void double_to_fv(fv_info *info, const double *v, fv *f) {
  if (!known_datatype(info->datatype))
    fatal_error("int_to_fv: unknown data type %d!\n", info->datatype);
  check_values(info, v, "double_to_fv");
  put_floating(info, v, f);
}

void float_to_fv(fv_info *info, const float *v, fv *f) {
  if (!known_datatype(info->datatype))
    fatal_error("int_to_fv: unknown data type %d!\n", info->datatype);
  check_values(info, v, "float_to_fv");
  put_floating(info, v, f);
}

void int32_t_to_fv(const fv_info *info, const int32_t *v, fv *f) {
  switch (info->datatype) {
    case FV_FLOAT:
    case FV_DOUBLE:
    case FV_LDOUBLE:
      for (int32_t i = 0; i < info->dim; i++) {
        unsigned char *p = item_at(f, info->itemsize, i);
        if (info->datatype == FV_FLOAT) {
          float x = (float)v[i];
          std::memcpy(p, &x, 4);
        } else if (info->datatype == FV_DOUBLE) {
          double x = v[i];
          std::memcpy(p, &x, 8);
        } else {
          fv_ldouble_set(p, (long double)v[i]);
        }
      }
      break;
    case FV_INT32:
      PRECONDITION(sizeof(int32_t) == info->itemsize);
      if (info->dim > 0) std::memcpy(f->data, v, (size_t)info->dim * 4);
      break;
    default:
      fatal_error("int_to_fv: unknown data type %d!\n", info->datatype);
  }
}

// ---------------------------------------------------------------------------
// Text forms

static char *to_text(const fv_info *info, const fv *f, bool numbered,
                     const char *who) {
  if (!known_datatype(info->datatype))
    fatal_error("%s: unknown data type %d!\n", who, info->datatype);
  if (info->dim == 0) return nullptr;
  char *buf = nullptr;
  size_t capacity = 0, len = 0;
  for (int32_t i = 0; i < info->dim; i++) {
    if (capacity - len < 100) {
      size_t grown_capacity = capacity * 10 / 8 + 1000;
      char *grown = (char *)std::realloc(buf, grown_capacity);
      if (grown == nullptr) fatal_system_error("fv_to_ascii");
      buf = grown;
      capacity = grown_capacity;
    }
    const unsigned char *p = item_at(f, info->itemsize, i);
    char *out = buf + len;
    size_t room = capacity - len;
    int w = 0;
    int index = i + 1;
    switch (info->datatype) {
      case FV_FLOAT: {
        float x;
        std::memcpy(&x, p, 4);
        w = numbered ? std::snprintf(out, room, "%d:%g", index, (double)x)
                     : std::snprintf(out, room, "%.*g", 6, (double)x);
        break;
      }
      case FV_DOUBLE: {
        double x;
        std::memcpy(&x, p, 8);
        w = numbered ? std::snprintf(out, room, "%d:%.9g", index, x)
                     : std::snprintf(out, room, "%.*g", 15, x);
        break;
      }
      case FV_LDOUBLE: {
        double x = (double)fv_ldouble_get(p);
        w = numbered ? std::snprintf(out, room, "%d:%.12g", index, x)
                     : std::snprintf(out, room, "%.*g", 15, x);
        break;
      }
      default: {
        int32_t x;
        std::memcpy(&x, p, 4);
        w = numbered ? std::snprintf(out, room, "%d:%d", index, (int)x)
                     : std::snprintf(out, room, "%d", (int)x);
      }
    }
    len += (size_t)w;
    if (i + 1 < info->dim) {
      buf[len++] = ' ';
      buf[len] = '\0';
    }
  }
  return buf;
}

char *fv_to_ascii(const fv_info *info, const fv *f) {
  return to_text(info, f, false, "fv_to_ascii");
}

char *fv_to_numbered_ascii(const fv_info *info, const fv *f) {
  return to_text(info, f, true, "fv_to_numbered_ascii");
}

// True when `s` up to `end` is optional white space, an optional sign and
// decimal digits only: an integer text that is read exactly.
static bool is_integer_text(const char *s, const char *end) {
  while (s < end && (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' ||
                     *s == '\f' || *s == '\v'))
    s++;
  if (s < end && (*s == '+' || *s == '-')) s++;
  if (s == end) return false;
  for (; s < end; s++)
    if (*s < '0' || *s > '9') return false;
  return true;
}

void ascii_to_fv(const fv_info *info, const char *ascii, fv *f) {
  PRECONDITION(ascii != NULL);
  if (!known_datatype(info->datatype))
    fatal_error("ascii_to_fv error: unknown data type %d!\n", info->datatype);
  const char *pos = ascii;
  for (int32_t i = 0; i < info->dim; i++) {
    char *end = nullptr;
    unsigned char *p = item_at(f, info->itemsize, i);
    switch (info->datatype) {
      case FV_FLOAT: {
        float x = std::strtof(pos, &end);
        if (end != pos) std::memcpy(p, &x, 4);
        break;
      }
      case FV_DOUBLE: {
        double x = std::strtod(pos, &end);
        if (end != pos) std::memcpy(p, &x, 8);
        break;
      }
      case FV_LDOUBLE: {
        double x = std::strtod(pos, &end);
        if (end != pos) fv_ldouble_set(p, x);
        break;
      }
      default: {
        double x = std::strtod(pos, &end);
        if (end == pos) break;
        int32_t value;
        if (is_integer_text(pos, end)) {
          // Integers keep all their digits; beyond the int32 range they
          // saturate.
          errno = 0;
          long long l = std::strtoll(pos, nullptr, 10);
          value = l > INT32_MAX   ? INT32_MAX
                  : l < INT32_MIN ? INT32_MIN
                                  : (int32_t)l;
        } else {
          value = fv_double_to_int32(x);
        }
        std::memcpy(p, &value, 4);
      }
    }
    if (end == pos)
      fatal_error("ascii_to_fv error: could not read feature %d (too short line?).\n",
                  (int)i);
    pos = end;
  }
  char *end = nullptr;
  (void)std::strtod(pos, &end);
  if (end != pos)
    fatal_error("ascii_to_fv error: line not empty after last feature! "
                "trailing string: \"%s\"\n",
                pos);
}
