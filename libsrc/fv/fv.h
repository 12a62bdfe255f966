// fv - the feature-vector library.
//
// Every signal, feature or classifier input that flows between the analysis
// programs is a sequence of feature vectors. This header holds the records
// (vector `fv`, stream description `fv_info`, sequence `fv_sequence`, label
// table `fv_label_lister`), the `.fv` stream reader and writer, conversions
// between vectors and plain arrays or text, and sequence editing.
//
// Failures: functions do not return error codes for bad data or exhausted
// memory; they print a message on standard error and exit with status 1.
// Violated preconditions stop the program with an assertion message.
//
// Naming: `..._init` fills a record the caller owns, `..._create` allocates
// and initialises one, `..._free` releases what a record holds, `..._delete`
// releases the record too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Makes every failed `new` in the program (containers included) end like a
// failed malloc: the system's error text after `origin`, then exit status 1.
void fv_exit_when_memory_runs_out(const char *origin);

// ---------------------------------------------------------------------------
// Data model (init)

// Data type codes; the item size is the number of bytes one feature takes in
// memory and in a stream.
enum fv_datatype {
  FV_FLOAT = 0,    // IEEE single, 4 bytes
  FV_DOUBLE = 1,   // IEEE double, 8 bytes
  FV_LDOUBLE = 2,  // x87 80-bit extended, stored in 12 bytes (10 + 2 padding)
  FV_INT32 = 3,    // 32-bit signed integer, 4 bytes
};
#define FV_NUM_DATATYPES 4

// Labelling codes: how each vector carries its class.
enum fv_labelling {
  FV_LABELLING_NONE = 0,
  FV_LABELLING_CLASS_NUMBER = 1,
  FV_LABELLING_LABEL_STRING = 2,
};

// Item sizes by data type code.
#define FV_FLOAT_ITEMSIZE 4
#define FV_DOUBLE_ITEMSIZE 8
#define FV_LDOUBLE_ITEMSIZE 12
#define FV_INT32_ITEMSIZE 4

// Printable names by data type code; entry FV_NUM_DATATYPES is
// "UNKNOWN/INVALID".
extern const char *const fv_datatype_names[FV_NUM_DATATYPES + 1];
// "float", ..., or "UNKNOWN/INVALID" for any code outside 0..3.
const char *fv_datatype_name(int datatype);
// Item size of a data type code, 0 for an unknown code.
int fv_datatype_itemsize(int datatype);
// "no class info", "class numbers" or "label strings".
const char *fv_labelling_name(int labelling);

// Description of all vectors of one sequence.
struct fv_info {
  int32_t dim;        // features per vector, >= 0
  int datatype;       // data type code
  int itemsize;       // bytes per feature in memory
  int read_itemsize;  // bytes per feature in the stream being read
  int labelling;      // labelling code
  int32_t adata_len;  // bytes of opaque additional data per vector
  int did_warn_NAN;   // a NaN warning was printed for this stream
  int did_warn_INF;   // an infinity warning was printed for this stream
};

// One feature vector. It does not know its own dimension or type: every
// operation takes the fv_info of its sequence. Record, data area and
// additional-data area are one allocation; the label is a separate one.
struct fv {
  void *data;            // dim items; null when dim is 0
  char *label;           // owned; only with label strings; null when absent
  int32_t class_number;  // only with class numbers; 0 after creation
  void *adata;           // adata_len bytes; null when adata_len is 0
};

// A named, optionally annotated list of vectors with one description.
struct fv_sequence {
  int32_t version;       // 10000 in memory, the stored value when read
  char *name;            // owned, may be null
  int32_t seq_data_len;  // bytes of additional sequence data
  void *seq_data;        // owned; null when seq_data_len is 0
  int32_t n_expected;    // announced vector count; -1 for an open-ended stream
  int32_t n;             // vectors in use
  fv_info *info;         // owned
  fv **vectors;          // owned array of num_allocated created vectors
  int32_t num_allocated;
};

// Vectors.
fv *fv_create(const fv_info *info);
void fv_label(fv *f, const char *label);  // stores an own copy (null: absent)
void fv_class(fv *f, int32_t class_number);
void fv_copy_data(const fv_info *info, const fv *source, fv *dest);
void fv_copy_extras(const fv_info *info, const fv *source, fv *dest);
void fv_copy(const fv_info *info, const fv *source, fv *dest);
fv *fv_duplicate(const fv_info *info, const fv *f);
void fv_concatenate_data(const fv_info *info_orig, const fv *orig,
                         const fv_info *info_append, const fv *append,
                         const fv_info *info_concatenated, fv *concatenated);
// `infos` and `vectors` are arrays of n records (not pointers).
void fv_concatenate_data_multiple(const fv_info *infos, const fv *vectors,
                                  int n, const fv_info *info_concatenated,
                                  fv *concatenated);
// Copies features start .. start + info_sub->dim - 1 of orig into sub.
void fv_copy_data_subset(const fv_info *info_orig, const fv *orig,
                         const fv_info *info_sub, fv *sub, int start);
void fv_clean(const fv_info *info, fv *f);  // releases the label
void fv_delete(fv *f);

// Stream descriptions.
void fv_info_init(fv_info *info, int datatype, int32_t dim, int labelling,
                  int32_t adata_len);
fv_info *fv_info_create(int datatype, int32_t dim, int labelling,
                        int32_t adata_len);
fv_info *fv_info_create_default(int32_t dim, int labelling);
void fv_info_init_from_template(fv_info *info, const fv_info *i_template);
fv_info *fv_info_create_from_template(const fv_info *i_template);
void fv_info_free(fv_info *info);
void fv_info_delete(fv_info *info);
int fv_info_is_equal(const fv_info *a, const fv_info *b);  // compares dim

// Sequences. `name` may be null and is copied; `seq_data` is copied when
// seq_data_len > 0.
void fv_sequence_init(fv_sequence *seq, int datatype, int32_t dim,
                      int labelling, int32_t adata_len, const char *name,
                      int32_t n_expected, int32_t seq_data_len,
                      const void *seq_data);
fv_sequence *fv_sequence_create(int datatype, int32_t dim, int labelling,
                                int32_t adata_len, const char *name,
                                int32_t n_expected, int32_t seq_data_len,
                                const void *seq_data);
void fv_sequence_init_default(fv_sequence *seq, int32_t dim, int labelling,
                              const char *name, int32_t n_expected);
fv_sequence *fv_sequence_create_default(int32_t dim, int labelling,
                                        const char *name, int32_t n_expected);
void fv_sequence_init_from_info(fv_sequence *seq, const fv_info *info,
                                const char *name, int32_t n_expected,
                                int32_t seq_data_len, const void *seq_data);
void fv_sequence_init_from_template(fv_sequence *seq,
                                    const fv_sequence *s_template,
                                    const char *name, int32_t n_expected);
fv_sequence *fv_sequence_create_from_template(const fv_sequence *s_template,
                                              const char *name,
                                              int32_t n_expected);
void fv_sequence_init_from_template_with_datatype(
    fv_sequence *seq, const fv_sequence *s_template, const char *name,
    int32_t n_expected, int datatype);
fv_sequence *fv_sequence_create_from_template_with_datatype(
    const fv_sequence *s_template, const char *name, int32_t n_expected,
    int datatype);
// Grows the vector array to new_num_allocated created vectors; n unchanged.
void fv_sequence_allocate(fv_sequence *seq, int32_t new_num_allocated);
void fv_sequence_free(fv_sequence *seq);    // null is ignored
void fv_sequence_delete(fv_sequence *seq);  // null is ignored

// ---------------------------------------------------------------------------
// The .fv stream (io)

#define FV_ID_STRING "feature vector sequence"
#define FV_ID_STRING_LEN 23
#define FV_VERSION 10000             // the version this library writes
#define FV_MIN_READABLE_VERSION 10000  // the oldest version it reads

void fv_sequence_write_header(const fv_sequence *seq, FILE *file);
void fv_write(const fv_info *info, const fv *f, FILE *file);
void fv_sequence_write_vectors(const fv_sequence *seq, FILE *file);
void fv_sequence_write(fv_sequence *seq, FILE *file);  // may fix n_expected

// 1 when a header was read, 0 at the regular end of the stream.
int fv_sequence_init_from_header(fv_sequence *seq, FILE *file);
// Most vectors of no bytes at all (dimension 0, no labels, no additional
// data) that one header may announce; more are refused as a defect stream.
#define FV_MAX_EMPTY_RECORDS 65536
// New sequence, or null at the regular end of the stream.
fv_sequence *fv_sequence_create_from_header(FILE *file);
// Reads one vector record into an existing vector (created for `info`). The
// previous label is not released: call fv_clean before the next read.
void fv_read(const fv_info *info, fv *f, FILE *file);
void fv_sequence_read_vectors(fv_sequence *seq, FILE *file);
int fv_sequence_init_from_file_one(fv_sequence *seq, FILE *file);
fv_sequence *fv_sequence_create_from_file_one(FILE *file);
// All remaining sequences joined into one; returns 1.
int fv_sequence_init_from_file_all(fv_sequence *seq, FILE *file);

void fv_sequence_print_header(const fv_sequence *seq, FILE *file);
// Text description of one vector: features, label or class line, adata.
void vecshow(fv_info *info, const fv *f, FILE *file);

// ---------------------------------------------------------------------------
// Conversions (convert)
//
// The plain arrays hold exactly dim elements. The floating-point conversions
// warn once per description at the first NaN and at the first infinity.

void fv_to_double(fv_info *info, const fv *f, double *v);
void fv_to_float(fv_info *info, const fv *f, float *v);
void fv_to_int32_t(const fv_info *info, const fv *f, int32_t *v);
void double_to_fv(fv_info *info, const double *v, fv *f);
void float_to_fv(fv_info *info, const float *v, fv *f);
void int32_t_to_fv(const fv_info *info, const int32_t *v, fv *f);

// The once-per-description NaN and infinity warnings of the conversions, for
// callers that convert n values themselves; `who` names the conversion.
void fv_check_values(fv_info *info, const double *v, int32_t n,
                     const char *who);

// Index of the first of the n values at which fv_check_values would warn (a
// NaN while did_warn_NAN is 0, an infinity while did_warn_INF is 0); n when
// there is none. A quick scan, so that callers converting many values can
// check them in bulk and warn in order.
size_t fv_find_unwarned(const fv_info *info, const double *v, size_t n);
size_t fv_find_unwarned(const fv_info *info, const float *v, size_t n);

// Floating-point value to int32: truncated toward zero; NaN gives 0 and
// values beyond the int32 range saturate at INT32_MIN / INT32_MAX.
int32_t fv_double_to_int32(double x);

// Text forms of the data part; new strings owned by the caller (free()),
// null when dim is 0.
char *fv_to_ascii(const fv_info *info, const fv *f);
char *fv_to_numbered_ascii(const fv_info *info, const fv *f);
// Parses dim numbers from `ascii` into the vector's data.
void ascii_to_fv(const fv_info *info, const char *ascii, fv *f);

// Extended-precision items: the 10 value bytes of an FV_LDOUBLE item to and
// from a long double (never relying on sizeof(long double)).
long double fv_ldouble_get(const void *item);
void fv_ldouble_set(void *item, long double value);

// ---------------------------------------------------------------------------
// Sequence editing (vector)

// Copies `vector` (label, class, adata, data) to the end of seq, growing the
// array to num_allocated * 10 / 9 + 1000 entries when full.
void fv_sequence_append(fv_sequence *seq, const fv *vector);
void fv_sequence_remove(fv_sequence *seq, int32_t index);
// Removes index1 .. index2, both included.
void fv_sequence_remove_range(fv_sequence *seq, int32_t index1,
                              int32_t index2);

// ---------------------------------------------------------------------------
// Label tables (classes)
//
// Class number i is the i-th label of the table.

struct fv_label_lister {
  int32_t num_classes;
  char **labels;  // owned array of num_classes owned strings
};

#define FV_LABEL_LISTER_KEYWORD "label_lister"
#define FV_LABEL_LINE_BUFFER 1000  // labels are at most 998 characters

// Distinct labels of all vectors of all sequences, sorted (strcmp); absent
// labels name no class and are skipped.
void fv_label_lister_init_from_multiple_sequences(fv_label_lister *table,
                                                  fv_sequence **seq,
                                                  int num_seq);
void fv_label_lister_init(fv_label_lister *table, fv_sequence *seq);
fv_label_lister *fv_label_lister_create(fv_sequence *seq);
// Class number of `label`, or -1 when absent (also for a null label).
int32_t fv_label_lister_find_label(const fv_label_lister *table,
                                   const char *label);
// Class numbers of a table's labels by hashing, for looking up many vectors
// in a large table (fv_label_lister_find_label scans the table). The index
// refers to the table's strings: the table must outlive it, unchanged.
struct fv_label_index;
fv_label_index *fv_label_index_create(const fv_label_lister *table);
// Same result as fv_label_lister_find_label.
int32_t fv_label_index_find(const fv_label_index *index, const char *label);
void fv_label_index_delete(fv_label_index *index);
void fv_label_lister_apply(const fv_label_lister *table, fv_sequence *seq);
void fv_label_lister_apply_once(const fv_label_lister *table,
                                const fv_info *info, fv_info *info_new,
                                fv *vector);
int32_t fv_label_lister_lookup(const fv_label_lister *table,
                               const fv_info *info, const fv *vector);
// Refuses (message, exit 1) a table whose labels could not be read back:
// empty ones, ones longer than 998 characters or holding a line feed, and a
// first label that begins with white space.
void fv_label_lister_write(const fv_label_lister *table, FILE *file);
// 1 when a table was read, 0 when the file is empty.
int fv_label_lister_init_from_file(fv_label_lister *table, FILE *file);
fv_label_lister *fv_label_lister_create_from_file(FILE *file);
void fv_label_lister_init_from_asciifile(fv_label_lister *table, FILE *file);
fv_label_lister *fv_label_lister_create_from_asciifile(FILE *file);
void fv_label_lister_free(fv_label_lister *table);
void fv_label_lister_delete(fv_label_lister *table);
