// The .fv stream: header and vector writers and readers, whole-sequence
// readers and the text printouts of a header and of a vector.
//
// All multi-byte integers are little-endian; feature items are stored as
// they are in memory on a little-endian IEEE machine, so a vector's feature
// block is read and written with a single call.
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common.h"
#include "fv.h"

static_assert(std::endian::native == std::endian::little,
              "the .fv feature blocks are copied as they are in memory");
static_assert(std::numeric_limits<float>::is_iec559 &&
                  std::numeric_limits<double>::is_iec559,
              "the .fv format stores IEEE 754 floats");

namespace {

const int32_t kMaxStringLength = 32767;  // names and labels: 16-bit lengths

int16_t get16(const unsigned char *b) {
  return (int16_t)(uint16_t)(b[0] | (b[1] << 8));
}
int32_t get32(const unsigned char *b) {
  return (int32_t)((uint32_t)b[0] | ((uint32_t)b[1] << 8) |
                   ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24));
}
void put16(unsigned char *b, int16_t v) {
  uint16_t u = (uint16_t)v;
  b[0] = (unsigned char)(u & 0xff);
  b[1] = (unsigned char)(u >> 8);
}
void put32(unsigned char *b, int32_t v) {
  uint32_t u = (uint32_t)v;
  for (int i = 0; i < 4; i++) b[i] = (unsigned char)((u >> (8 * i)) & 0xff);
}

// Reads exactly `n` bytes or ends the program: on a read error with the
// system's error text after `prefix`, at the end of the input with
// `eof_format` (which takes `prefix` and then `arg`, when it has a second
// conversion).
void read_or_die(void *buf, size_t n, FILE *file, const char *prefix,
                 const char *eof_format, int arg = 0) {
  if (n == 0) return;
  if (std::fread(buf, 1, n, file) == n) return;
  if (std::ferror(file)) fatal_system_error(prefix);
  std::fprintf(stderr, eof_format, prefix, arg);
  std::exit(1);
}

const char *const kHeader = "fv_sequence_init_from_header";

int32_t read_header32(FILE *file, const char *eof_format) {
  unsigned char b[4];
  read_or_die(b, 4, file, kHeader, eof_format);
  return get32(b);
}

int read_header8(FILE *file, const char *eof_format) {
  unsigned char b;
  read_or_die(&b, 1, file, kHeader, eof_format);
  return b;
}

// Reads `len` bytes of sequence data. The buffer grows with the bytes that
// actually arrive, so a defect length does not cost a huge allocation before
// the input runs out.
void *read_seq_data(FILE *file, int32_t len) {
  const char *eof = "%s error: unexpected end of file when reading sequence data!\n";
  size_t total = (size_t)len, capacity = 0, have = 0;
  char *buf = nullptr;
  while (have < total) {
    size_t want = capacity == 0 ? 65536 : capacity * 2;
    if (want > total) want = total;
    char *grown = (char *)std::realloc(buf, want);
    if (grown == nullptr) fatal_system_error(kHeader);
    buf = grown;
    capacity = want;
    read_or_die(buf + have, capacity - have, file, kHeader, eof);
    have = capacity;
  }
  return buf;
}

// Header writer: one field, with its message when it cannot be written.
const char *const kWriteHeader = "fv_sequence_write_header";

void write_field(const void *buf, size_t n, FILE *file, const char *what) {
  if (n == 0 || std::fwrite(buf, 1, n, file) == n) return;
  std::fprintf(stderr, "%s: error writing %s\n", kWriteHeader, what);
  fatal_system_error(kWriteHeader);
}

void write_int4(int32_t v, FILE *file) {
  unsigned char b[4];
  put32(b, v);
  write_field(b, 4, file, "int4");
}

void write_int1(int v, FILE *file) {
  unsigned char b = (unsigned char)v;
  write_field(&b, 1, file, "int1");
}

void write_or_die(const void *buf, size_t n, FILE *file) {
  if (n == 0) return;
  if (std::fwrite(buf, 1, n, file) != n) fatal_system_error("fv_write");
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing

void fv_sequence_write_header(const fv_sequence *seq, FILE *file) {
  const fv_info *info = seq->info;
  unsigned char b[2];

  put16(b, FV_ID_STRING_LEN);
  size_t w = std::fwrite(b, 1, 2, file);
  if (w != 2) {
    std::fprintf(stderr, "%s: error writing int2: w = %d\n", kWriteHeader,
                 (int)w);
    fatal_system_error(kWriteHeader);
  }
  if (std::fwrite(FV_ID_STRING, 1, FV_ID_STRING_LEN, file) !=
      FV_ID_STRING_LEN) {
    int err = errno;
    std::fprintf(stderr, "%s: error writing FV_ID_STRING %s\n", kWriteHeader,
                 FV_ID_STRING);
    std::fflush(stderr);
    errno = err;
    std::perror(kWriteHeader);
    std::fflush(stderr);
    std::exit(1);
  }
  write_int4(FV_VERSION, file);
  write_int4(FV_MIN_READABLE_VERSION, file);

  size_t name_len = seq->name != nullptr ? std::strlen(seq->name) : 0;
  if (name_len > (size_t)kMaxStringLength)
    fatal_error("%s error: sequence name of %zu bytes is too long (at most %d)!\n",
                kWriteHeader, name_len, kMaxStringLength);
  put16(b, (int16_t)name_len);
  write_field(b, 2, file, "int2");
  write_field(seq->name, name_len, file, "name");

  write_int4(seq->n_expected, file);
  PRECONDITION(seq->seq_data_len >= 0);
  write_int4(seq->seq_data_len, file);
  if (seq->seq_data_len > 0)
    write_field(seq->seq_data, (size_t)seq->seq_data_len, file, "seq_data");
  write_int4(info->dim, file);
  write_int1(info->itemsize, file);
  write_int1(info->datatype, file);
  write_int1(info->labelling == FV_LABELLING_LABEL_STRING ? 1 : 0, file);
  write_int1(info->labelling == FV_LABELLING_CLASS_NUMBER ? 1 : 0, file);
  write_int4(info->adata_len, file);
}

void fv_write(const fv_info *info, const fv *f, FILE *file) {
  if (info->dim > 0) {
    size_t n = (size_t)info->dim;
    if (std::fwrite(f->data, (size_t)info->itemsize, n, file) != n)
      fatal_system_error("fv_write");
  }
  if (info->labelling == FV_LABELLING_LABEL_STRING) {
    size_t len = f->label != nullptr ? std::strlen(f->label) : 0;
    if (len > (size_t)kMaxStringLength)
      fatal_error("fv_write error: label of %zu bytes is too long (at most %d)!\n",
                  len, kMaxStringLength);
    unsigned char b[2];
    put16(b, (int16_t)len);
    write_or_die(b, 2, file);
    write_or_die(f->label, len, file);
  } else if (info->labelling == FV_LABELLING_CLASS_NUMBER) {
    unsigned char b[4];
    put32(b, f->class_number);
    write_or_die(b, 4, file);
  }
  if (info->adata_len > 0) write_or_die(f->adata, (size_t)info->adata_len, file);
}

void fv_sequence_write_vectors(const fv_sequence *seq, FILE *file) {
  if (seq->n != seq->n_expected)
    std::fprintf(stderr,
                 "%s warning: n (contained) (%d) != n_expected (%d)! This will "
                 "create a defect fv-file!\n",
                 "fv_sequence_write_vectors", seq->n, seq->n_expected);
  for (int32_t i = 0; i < seq->n; i++) fv_write(seq->info, seq->vectors[i], file);
}

void fv_sequence_write(fv_sequence *seq, FILE *file) {
  if (seq->n != seq->n_expected) {
    std::fprintf(stderr,
                 "%s warning: n (contained) (%d) != n_expected (%d). Setting "
                 "n_expected = n.\n",
                 "fv_sequence_write", seq->n, seq->n_expected);
    seq->n_expected = seq->n;
  }
  fv_sequence_write_header(seq, file);
  fv_sequence_write_vectors(seq, file);
}

// ---------------------------------------------------------------------------
// Reading

int fv_sequence_init_from_header(fv_sequence *seq, FILE *file) {
  seq->vectors = nullptr;
  seq->n = 0;
  seq->num_allocated = 0;
  seq->name = nullptr;
  seq->seq_data = nullptr;
  seq->seq_data_len = 0;
  seq->info = nullptr;

  // 1. ID length; nothing at all is the regular end of the stream, a single
  // byte is a truncated header.
  unsigned char b[4];
  size_t got = std::fread(b, 1, 2, file);
  if (got != 2) {
    if (std::ferror(file)) fatal_system_error(kHeader);
    if (got == 0) return 0;
    fatal_error("%s error: unexpected end of file while reading ID string!\n",
                kHeader);
  }
  int id_len = get16(b);
  if (id_len != FV_ID_STRING_LEN)
    fatal_error("%s error: this is no .fv file (wrong size %d of ID string)!\n",
                kHeader, id_len);

  // 2. ID string.
  char id[FV_ID_STRING_LEN + 1];
  read_or_die(id, FV_ID_STRING_LEN, file, kHeader,
              "%s error: unexpected end of file while reading ID string!\n");
  id[FV_ID_STRING_LEN] = '\0';
  if (std::memcmp(id, FV_ID_STRING, FV_ID_STRING_LEN) != 0)
    fatal_error("%s error: this is no .fv file (wrong ID string %s)!\n",
                kHeader, id);

  // 3. Versions.
  int32_t version = read_header32(
      file, "%s error: unexpected end of file when reading file format version!\n");
  if (version < FV_MIN_READABLE_VERSION)
    fatal_error("%s: cannot read file version %d, it's outdated. My version is "
                "%d, and I can versions down to %d.\n",
                kHeader, version, FV_VERSION, FV_MIN_READABLE_VERSION);
  seq->version = version;
  int32_t min_reader = read_header32(
      file, "%s error: unexpected end of file when reading minimum reader version!\n");
  if (min_reader > FV_VERSION)
    fatal_error("%s: cannot read file version %d, I'm outdated. My version is "
                "%d, and this file can only be read from versions >= %d\n",
                kHeader, version, FV_VERSION, min_reader);

  // 4. Name.
  read_or_die(b, 2, file, kHeader,
              "%s error: unexpected end of file when sequence name length!\n");
  int name_len = get16(b);
  if (name_len < 0)
    fatal_error("%s error: defect fv file (sequence name length = %d)!\n",
                kHeader, name_len);
  if (name_len > 0) {
    char *name = (char *)std::malloc((size_t)name_len + 1);
    if (name == nullptr) fatal_system_error(kHeader);
    read_or_die(name, (size_t)name_len, file, kHeader,
                "%s error: unexpected end of file when reading name!\n");
    name[name_len] = '\0';
    seq->name = name;
  }

  // 5. Vector count and sequence data.
  seq->n_expected =
      read_header32(file, "%s error: unexpected end of file when num_fv!\n");
  if (seq->n_expected < -1)
    fatal_error("%s error: defect fv file (n_expected = %d)!\n", kHeader,
                seq->n_expected);
  int32_t seq_data_len = read_header32(
      file, "%s error: unexpected end of file when reading length of sequence data!\n");
  if (seq_data_len < 0)
    fatal_error("%s error: defect fv file (length of sequence data = %d)!\n",
                kHeader, seq_data_len);
  seq->seq_data_len = seq_data_len;
  if (seq_data_len > 0) seq->seq_data = read_seq_data(file, seq_data_len);

  // 6. Description of the vectors.
  int32_t dim = read_header32(
      file, "%s error: unexpected end of file when reading dimension!\n");
  if (dim < 0)
    fatal_error("%s error: defect fv file (dimension = %d)!\n", kHeader, dim);
  int itemsize = read_header8(
      file, "%s error: unexpected end of file when reading itemsize!\n");
  int datatype = read_header8(
      file, "%s error: unexpected end of file when reading data type!\n");
  int have_label_string = read_header8(
      file, "%s error: unexpected end of file when reading label flag!\n");
  int have_class_number = read_header8(
      file, "%s error: unexpected end of file when reading class flag!\n");
  if (have_label_string && have_class_number)
    fatal_error("%s error: both have_label_string and have_class_number are set!\n",
                kHeader);
  int labelling = have_class_number   ? FV_LABELLING_CLASS_NUMBER
                  : have_label_string ? FV_LABELLING_LABEL_STRING
                                      : FV_LABELLING_NONE;
  int32_t adata_len = read_header32(
      file, "%s error: unexpected end of file when reading adata_len!\n");
  if (adata_len < 0)
    fatal_error("%s error: defect fv file (adata_len = %d)!\n", kHeader,
                adata_len);

  fv_info *info = (fv_info *)std::malloc(sizeof(fv_info));
  if (info == nullptr) fatal_system_error(kHeader);
  fv_info_init(info, datatype, dim, labelling, adata_len);
  info->read_itemsize = itemsize;
  seq->info = info;
  if (itemsize != info->itemsize)
    fatal_error("%s: the datatype %d (%s) has the storage size (%d) on this "
                "machine. You won't be able to process this file, where the "
                "datatype has storage size %d.\n",
                kHeader, datatype, fv_datatype_name(datatype), info->itemsize,
                itemsize);
  // A vector is one allocation of its data and additional data; keep it
  // within what 32-bit sizes describe.
  int64_t vector_bytes = (int64_t)dim * info->itemsize + adata_len;
  if (vector_bytes > INT32_MAX)
    fatal_error("%s error: defect fv file (vectors of dimension %d with %d "
                "bytes of additional data take %lld bytes, more than %d)!\n",
                kHeader, dim, adata_len, (long long)vector_bytes, INT32_MAX);
  // Records without a single byte cannot be counted in the input, so a
  // header could make its readers loop (and keep) billions of them; a
  // bounded number keeps the work in proportion to the bytes read.
  if (vector_bytes == 0 && labelling == FV_LABELLING_NONE &&
      seq->n_expected > FV_MAX_EMPTY_RECORDS)
    fatal_error("%s error: defect fv file (%d vectors announced that hold no "
                "data at all; at most %d are accepted)!\n",
                kHeader, seq->n_expected, FV_MAX_EMPTY_RECORDS);
  return 1;
}

fv_sequence *fv_sequence_create_from_header(FILE *file) {
  fv_sequence *seq = (fv_sequence *)std::malloc(sizeof(fv_sequence));
  if (seq == nullptr) fatal_system_error("fv_sequence_create_from_header");
  if (!fv_sequence_init_from_header(seq, file)) {
    std::free(seq);
    return nullptr;
  }
  return seq;
}

void fv_read(const fv_info *info, fv *f, FILE *file) {
  const char *P = "fv_read";
  if (info->dim > 0) {
    if (f->data == nullptr)
      fatal_error("%s error: please allocate memory for f->data!\n", P);
    size_t n = (size_t)info->dim;
    if (info->read_itemsize == info->itemsize) {
      read_or_die(f->data, n * (size_t)info->itemsize, file, P,
                  "%s error: unexpected end of file when reading features\n");
    } else {
      PRECONDITION(info->read_itemsize > 0 && info->read_itemsize <= 8);
      size_t item = (size_t)info->itemsize;
      size_t take = (size_t)info->read_itemsize < item
                        ? (size_t)info->read_itemsize
                        : item;
      char *data = (char *)f->data;
      std::memset(data, 0, n * item);
      unsigned char buf[8];
      for (size_t i = 0; i < n; i++) {
        read_or_die(buf, (size_t)info->read_itemsize, file, P,
                    "%s error: unexpected end of file when reading feature %d!\n",
                    (int)i);
        std::memcpy(data + i * item, buf, take);
      }
    }
  }
  if (info->labelling == FV_LABELLING_LABEL_STRING) {
    unsigned char b[2];
    read_or_die(b, 2, file, P,
                "%s error: unexpected end of file when reading label string length!\n");
    int len = get16(b);
    if (len < 0)
      fatal_error("%s error: defect fv file (label string length = %d)\n", P,
                  len);
    if (len == 0) {
      f->label = nullptr;
    } else {
      char *label = (char *)std::malloc((size_t)len + 1);
      if (label == nullptr) fatal_system_error(P);
      read_or_die(label, (size_t)len, file, P,
                  "%s error: unexpected end of file when reading label!\n");
      label[len] = '\0';
      f->label = label;
    }
  } else if (info->labelling == FV_LABELLING_CLASS_NUMBER) {
    unsigned char b[4];
    read_or_die(b, 4, file, P,
                "%s error: unexpected end of file when reading class number!\n");
    f->class_number = get32(b);
  }
  if (info->adata_len > 0) {
    if (f->adata == nullptr)
      fatal_error("%s error: please allocate memory for f->data!\n", P);
    read_or_die(f->adata, (size_t)info->adata_len, file, P,
                "%s error: unexpected end of file when reading adata!\n");
  }
}

void fv_sequence_read_vectors(fv_sequence *seq, FILE *file) {
  if (seq->n_expected == -1)
    fatal_error("%s error: online processing impossible!\n",
                "fv_sequence_read_vectors");
  PRECONDITION(seq->n_expected >= 0);
  int32_t target = seq->n_expected;
  // The array grows as records arrive, up to n_expected, so that a defect
  // count does not allocate millions of vectors before the input runs out;
  // its first step is at most 64 kB of vectors (and 64 vectors), so that
  // what is allocated stays within twice what was read plus that step.
  const int64_t vector_bytes = (int64_t)seq->info->dim * seq->info->itemsize +
                               seq->info->adata_len + (int64_t)sizeof(fv);
  int64_t first_step = ((int64_t)1 << 16) / vector_bytes;
  if (first_step < 1) first_step = 1;
  if (first_step > 64) first_step = 64;
  for (int32_t i = 0; i < target; i++) {
    if (i == seq->num_allocated) {
      int64_t next = (int64_t)seq->num_allocated * 2;
      if (next < first_step) next = first_step;
      if (next > target) next = target;
      fv_sequence_allocate(seq, (int32_t)next);
    }
    fv_clean(seq->info, seq->vectors[i]);
    fv_read(seq->info, seq->vectors[i], file);
  }
  seq->n = target;
}

int fv_sequence_init_from_file_one(fv_sequence *seq, FILE *file) {
  if (!fv_sequence_init_from_header(seq, file)) return 0;
  fv_sequence_read_vectors(seq, file);
  return 1;
}

fv_sequence *fv_sequence_create_from_file_one(FILE *file) {
  fv_sequence *seq = (fv_sequence *)std::malloc(sizeof(fv_sequence));
  if (seq == nullptr) fatal_system_error("fv_sequence_create_from_file_one");
  if (!fv_sequence_init_from_file_one(seq, file)) {
    std::free(seq);
    return nullptr;
  }
  return seq;
}

int fv_sequence_init_from_file_all(fv_sequence *seq, FILE *file) {
  const char *P = "fv_sequence_init_from_file_all";
  const char *kAllName = "all sequences concatenated";
  bool initialised = false;
  int index = 0;
  fv_sequence s;
  while (fv_sequence_init_from_header(&s, file)) {
    // A first sequence of dimension 0 without vectors gives way to the next.
    if (initialised && seq->info->dim == 0 && seq->n == 0) {
      fv_sequence_free(seq);
      initialised = false;
    }
    if (!initialised) {
      fv_sequence_init_from_template(seq, &s, kAllName, 0);
      initialised = true;
    } else {
      const fv_info *a = seq->info, *b = s.info;
      if (a->labelling != b->labelling)
        fatal_error("%s error: sequence %d has %s, the sequences before it "
                    "have %s!\n",
                    P, index, fv_labelling_name(b->labelling),
                    fv_labelling_name(a->labelling));
      if (a->dim != b->dim || a->datatype != b->datatype ||
          a->adata_len != b->adata_len)
        fatal_error("%s error: sequence %d has dimension %d, data type %s and "
                    "%d bytes of additional data per vector, the sequences "
                    "before it have %d, %s and %d!\n",
                    P, index, b->dim, fv_datatype_name(b->datatype),
                    b->adata_len, a->dim, fv_datatype_name(a->datatype),
                    a->adata_len);
    }
    if (s.n_expected == -1)
      fatal_error("%s error: online processing impossible!\n", P);
    fv *scratch = fv_create(s.info);
    for (int32_t k = 0; k < s.n_expected; k++) {
      fv_read(s.info, scratch, file);
      if (seq->n_expected == INT32_MAX)
        fatal_error("%s error: more than %d vectors!\n", P, INT32_MAX);
      fv_sequence_append(seq, scratch);
      seq->n_expected++;
      fv_clean(s.info, scratch);
    }
    fv_delete(scratch);
    fv_sequence_free(&s);
    index++;
  }
  if (!initialised)
    fv_sequence_init_default(seq, 0, FV_LABELLING_NONE, kAllName, 0);
  return 1;
}

// ---------------------------------------------------------------------------
// Printouts

void fv_sequence_print_header(const fv_sequence *seq, FILE *file) {
  const fv_info *info = seq->info;
  int v = seq->version;
  std::fprintf(file, "feature vector sequence\n");
  std::fprintf(file, "- file format version: %d (means %d.%d.%d)\n", v,
               v / 10000, (v % 10000) / 100, v % 100);
  std::fprintf(file, "- name: \"%s\"\n", seq->name != nullptr ? seq->name : "");
  std::fprintf(file, "- n_expected: %d\n", seq->n_expected);
  std::fprintf(file, "- n (contained): %d\n", seq->n);
  std::fprintf(file, "- length of additional sequence data: %d\n",
               seq->seq_data_len);
  if (seq->seq_data_len > 0) {
    std::fprintf(file, "- additional data:\n");
    const unsigned char *d = (const unsigned char *)seq->seq_data;
    for (int32_t i = 0; i < seq->seq_data_len; i++)
      std::fputc(std::isprint(d[i]) || std::isspace(d[i]) ? d[i] : '.', file);
    std::fputc('\n', file);
  }
  std::fprintf(file, "- dimension of feature vectors: %d\n", info->dim);
  std::fprintf(file, "- size of feature data type: %d bytes\n", info->itemsize);
  std::fprintf(file, "- data type: %d (i.e. %s)\n", info->datatype,
               fv_datatype_name(info->datatype));
  std::fprintf(file, "- labelling? %s\n", fv_labelling_name(info->labelling));
  std::fprintf(file, "- length of additional data per vector: %d\n",
               info->adata_len);
}

void vecshow(fv_info *info, const fv *f, FILE *file) {
  char *text = fv_to_ascii(info, f);
  if (text != nullptr) std::fputs(text, file);
  std::free(text);
  std::fputc('\n', file);
  if (info->labelling == FV_LABELLING_LABEL_STRING)
    std::fprintf(file, "- label = \"%s\"\n", f->label != nullptr ? f->label : "");
  else if (info->labelling == FV_LABELLING_CLASS_NUMBER)
    std::fprintf(file, "- class = %d\n", f->class_number);
  if (info->adata_len > 0) {
    std::fprintf(file, "- additional data:\n");
    const unsigned char *d = (const unsigned char *)f->adata;
    for (int32_t i = 0; i < info->adata_len; i++)
      std::fputc(std::isprint(d[i]) ? d[i] : '.', file);
    std::fputc('\n', file);
  }
}
