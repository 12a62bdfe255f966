// Records of the feature-vector library: vectors, stream descriptions and
// sequences, with their life cycle.
#include "fv.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common.h"

const char *const fv_datatype_names[FV_NUM_DATATYPES + 1] = {
    "float", "double", "long double", "int32_t", "UNKNOWN/INVALID"};

const char *fv_datatype_name(int datatype) {
  if (datatype < 0 || datatype >= FV_NUM_DATATYPES)
    return fv_datatype_names[FV_NUM_DATATYPES];
  return fv_datatype_names[datatype];
}

int fv_datatype_itemsize(int datatype) {
  switch (datatype) {
    case FV_FLOAT: return FV_FLOAT_ITEMSIZE;
    case FV_DOUBLE: return FV_DOUBLE_ITEMSIZE;
    case FV_LDOUBLE: return FV_LDOUBLE_ITEMSIZE;
    case FV_INT32: return FV_INT32_ITEMSIZE;
    default: return 0;
  }
}

const char *fv_labelling_name(int labelling) {
  switch (labelling) {
    case FV_LABELLING_CLASS_NUMBER: return "class numbers";
    case FV_LABELLING_LABEL_STRING: return "label strings";
    default: return "no class info";
  }
}

// ---------------------------------------------------------------------------
// Vectors

fv *fv_create(const fv_info *info) {
  PRECONDITION(info->itemsize != 0);
  PRECONDITION(info->dim >= 0 && info->adata_len >= 0);
  // All terms are non-negative 32-bit values, so the sum fits in 64 bits.
  uint64_t data_bytes = (uint64_t)info->dim * (uint64_t)info->itemsize;
  uint64_t total = sizeof(fv) + data_bytes + (uint64_t)info->adata_len;
  if (total > SIZE_MAX) {
    std::fputs("fv_create: out of memory!\n", stderr);
    std::exit(1);
  }
  // Zeroed, so that a new vector holds defined features.
  char *block = (char *)std::calloc(1, (size_t)total);
  if (block == nullptr) {
    std::fputs("fv_create: out of memory!\n", stderr);
    std::exit(1);
  }
  fv *f = (fv *)block;
  f->data = info->dim > 0 ? block + sizeof(fv) : nullptr;
  f->label = nullptr;
  f->class_number = 0;
  f->adata = info->adata_len > 0 ? block + sizeof(fv) + data_bytes : nullptr;
  return f;
}

// Own copy of `label` (null stays null); exhausted memory is reported with
// `prefix`.
static char *copy_label(const char *label, const char *prefix) {
  if (label == nullptr) return nullptr;
  char *copy = strdup(label);
  if (copy == nullptr) fatal_system_error(prefix);
  return copy;
}

void fv_label(fv *f, const char *label) {
  char *copy = copy_label(label, "fv_label");
  std::free(f->label);
  f->label = copy;
}

void fv_class(fv *f, int32_t class_number) { f->class_number = class_number; }

void fv_copy_data(const fv_info *info, const fv *source, fv *dest) {
  if (info->dim > 0)
    std::memcpy(dest->data, source->data,
                (size_t)info->dim * (size_t)info->itemsize);
}

void fv_copy_extras(const fv_info *info, const fv *source, fv *dest) {
  if (info->labelling == FV_LABELLING_LABEL_STRING && source != dest) {
    char *copy = copy_label(source->label, "fv_label");
    std::free(dest->label);
    dest->label = copy;
  }
  dest->class_number = source->class_number;
  if (info->adata_len > 0 && source != dest)
    std::memcpy(dest->adata, source->adata, (size_t)info->adata_len);
}

void fv_copy(const fv_info *info, const fv *source, fv *dest) {
  fv_copy_extras(info, source, dest);
  if (source != dest) fv_copy_data(info, source, dest);
}

fv *fv_duplicate(const fv_info *info, const fv *f) {
  fv *copy = fv_create(info);
  fv_copy(info, f, copy);
  return copy;
}

void fv_concatenate_data(const fv_info *info_orig, const fv *orig,
                         const fv_info *info_append, const fv *append,
                         const fv_info *info_concatenated, fv *concatenated) {
  PRECONDITION(info_orig->dim + info_append->dim == info_concatenated->dim);
  PRECONDITION(info_orig->datatype == info_append->datatype &&
               info_orig->datatype == info_concatenated->datatype);
  PRECONDITION(info_orig->itemsize == info_append->itemsize &&
               info_orig->itemsize == info_concatenated->itemsize);
  size_t item = (size_t)info_concatenated->itemsize;
  char *out = (char *)concatenated->data;
  if (info_orig->dim > 0)
    std::memmove(out, orig->data, (size_t)info_orig->dim * item);
  if (info_append->dim > 0)
    std::memmove(out + (size_t)info_orig->dim * item, append->data,
                 (size_t)info_append->dim * item);
}

void fv_concatenate_data_multiple(const fv_info *infos, const fv *vectors,
                                  int n, const fv_info *info_concatenated,
                                  fv *concatenated) {
  int64_t n_concatenated = 0;
  size_t item = (size_t)info_concatenated->itemsize;
  char *out = (char *)concatenated->data;
  for (int i = 0; i < n; i++) {
    PRECONDITION(n_concatenated + infos[i].dim <= info_concatenated->dim);
    PRECONDITION(infos[i].datatype == info_concatenated->datatype);
    PRECONDITION(infos[i].itemsize == info_concatenated->itemsize);
    if (infos[i].dim > 0)
      std::memmove(out + (size_t)n_concatenated * item, vectors[i].data,
                   (size_t)infos[i].dim * item);
    n_concatenated += infos[i].dim;
  }
  PRECONDITION(n_concatenated == info_concatenated->dim);
}

void fv_copy_data_subset(const fv_info *info_orig, const fv *orig,
                         const fv_info *info_sub, fv *sub, int start) {
  PRECONDITION(start >= 0 && info_sub->dim >= 0);
  PRECONDITION((int64_t)info_sub->dim + start <= info_orig->dim);
  PRECONDITION(info_orig->datatype == info_sub->datatype);
  PRECONDITION(info_orig->itemsize == info_sub->itemsize);
  if (info_sub->dim == 0) return;
  size_t item = (size_t)info_orig->itemsize;
  std::memmove(sub->data, (const char *)orig->data + (size_t)start * item,
               (size_t)info_sub->dim * item);
}

void fv_clean(const fv_info *info, fv *f) {
  if (info->labelling == FV_LABELLING_LABEL_STRING) {
    std::free(f->label);
    f->label = nullptr;
  }
}

void fv_delete(fv *f) {
  PRECONDITION(f != NULL);
  std::free(f->label);
  std::free(f);
}

// ---------------------------------------------------------------------------
// Stream descriptions

void fv_info_init(fv_info *info, int datatype, int32_t dim, int labelling,
                  int32_t adata_len) {
  int itemsize = fv_datatype_itemsize(datatype);
  if (itemsize == 0) fatal_error("%s: unknown feature datatype %d!\n", "fv_info_init", datatype);
  PRECONDITION(dim >= 0);
  PRECONDITION(adata_len >= 0);
  info->dim = dim;
  info->datatype = datatype;
  info->itemsize = itemsize;
  info->read_itemsize = itemsize;
  info->labelling = labelling;
  info->adata_len = adata_len;
  info->did_warn_NAN = 0;
  info->did_warn_INF = 0;
}

// Allocates an uninitialised description; exhausted memory is reported with
// `prefix`.
static fv_info *allocate_info(const char *prefix) {
  fv_info *info = (fv_info *)std::malloc(sizeof(fv_info));
  if (info == nullptr) fatal_system_error(prefix);
  return info;
}

fv_info *fv_info_create(int datatype, int32_t dim, int labelling,
                        int32_t adata_len) {
  fv_info *info = allocate_info("fv_info_create");
  fv_info_init(info, datatype, dim, labelling, adata_len);
  return info;
}

fv_info *fv_info_create_default(int32_t dim, int labelling) {
  fv_info *info = allocate_info("fv_info_create_default");
  fv_info_init(info, FV_FLOAT, dim, labelling, 0);
  return info;
}

void fv_info_init_from_template(fv_info *info, const fv_info *i_template) {
  *info = *i_template;
}

fv_info *fv_info_create_from_template(const fv_info *i_template) {
  fv_info *info = allocate_info("fv_info_create_from_template");
  *info = *i_template;
  return info;
}

void fv_info_free(fv_info *) {}

void fv_info_delete(fv_info *info) {
  PRECONDITION(info != NULL);
  std::free(info);
}

int fv_info_is_equal(const fv_info *a, const fv_info *b) {
  return a->dim == b->dim ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Sequences

void fv_sequence_init(fv_sequence *seq, int datatype, int32_t dim,
                      int labelling, int32_t adata_len, const char *name,
                      int32_t n_expected, int32_t seq_data_len,
                      const void *seq_data) {
  PRECONDITION(seq_data_len >= 0);
  PRECONDITION(seq_data_len == 0 || seq_data != NULL);
  seq->info = fv_info_create(datatype, dim, labelling, adata_len);
  seq->version = FV_VERSION;
  seq->name = copy_label(name, "fv_sequence_init");
  seq->n = 0;
  seq->vectors = nullptr;
  seq->num_allocated = 0;
  seq->seq_data_len = seq_data_len;
  if (seq_data_len > 0) {
    seq->seq_data = std::malloc((size_t)seq_data_len);
    if (seq->seq_data == nullptr) fatal_system_error("fv_sequence_init");
    std::memcpy(seq->seq_data, seq_data, (size_t)seq_data_len);
  } else {
    seq->seq_data = nullptr;
  }
  seq->n_expected = n_expected;
}

static fv_sequence *allocate_sequence(const char *prefix) {
  fv_sequence *seq = (fv_sequence *)std::malloc(sizeof(fv_sequence));
  if (seq == nullptr) fatal_system_error(prefix);
  return seq;
}

fv_sequence *fv_sequence_create(int datatype, int32_t dim, int labelling,
                                int32_t adata_len, const char *name,
                                int32_t n_expected, int32_t seq_data_len,
                                const void *seq_data) {
  fv_sequence *seq = allocate_sequence("fv_sequence_create");
  fv_sequence_init(seq, datatype, dim, labelling, adata_len, name, n_expected,
                   seq_data_len, seq_data);
  return seq;
}

void fv_sequence_init_default(fv_sequence *seq, int32_t dim, int labelling,
                              const char *name, int32_t n_expected) {
  fv_sequence_init(seq, FV_FLOAT, dim, labelling, 0, name, n_expected, 0,
                   nullptr);
}

fv_sequence *fv_sequence_create_default(int32_t dim, int labelling,
                                        const char *name, int32_t n_expected) {
  fv_sequence *seq = allocate_sequence("fv_sequence_create_default");
  fv_sequence_init_default(seq, dim, labelling, name, n_expected);
  return seq;
}

void fv_sequence_init_from_info(fv_sequence *seq, const fv_info *info,
                                const char *name, int32_t n_expected,
                                int32_t seq_data_len, const void *seq_data) {
  fv_sequence_init(seq, info->datatype, info->dim, info->labelling,
                   info->adata_len, name, n_expected, seq_data_len, seq_data);
}

void fv_sequence_init_from_template(fv_sequence *seq,
                                    const fv_sequence *s_template,
                                    const char *name, int32_t n_expected) {
  fv_sequence_init_from_template_with_datatype(
      seq, s_template, name, n_expected, s_template->info->datatype);
}

fv_sequence *fv_sequence_create_from_template(const fv_sequence *s_template,
                                              const char *name,
                                              int32_t n_expected) {
  return fv_sequence_create_from_template_with_datatype(
      s_template, name, n_expected, s_template->info->datatype);
}

void fv_sequence_init_from_template_with_datatype(
    fv_sequence *seq, const fv_sequence *s_template, const char *name,
    int32_t n_expected, int datatype) {
  const fv_info *t = s_template->info;
  fv_sequence_init(seq, datatype, t->dim, t->labelling, t->adata_len, name,
                   n_expected, s_template->seq_data_len,
                   s_template->seq_data);
}

fv_sequence *fv_sequence_create_from_template_with_datatype(
    const fv_sequence *s_template, const char *name, int32_t n_expected,
    int datatype) {
  fv_sequence *seq =
      allocate_sequence("fv_sequence_create_from_template_with_datatype");
  fv_sequence_init_from_template_with_datatype(seq, s_template, name,
                                               n_expected, datatype);
  return seq;
}

void fv_sequence_allocate(fv_sequence *seq, int32_t new_num_allocated) {
  PRECONDITION(seq->info->itemsize != 0);
  PRECONDITION(new_num_allocated >= 0);
  int32_t old = seq->num_allocated;
  if (new_num_allocated == old) return;
  if (new_num_allocated < old) {
    // Shrinking: the vectors beyond the new length are deleted, and n is
    // cut to the new length.
    for (int32_t i = new_num_allocated; i < old; i++)
      fv_delete(seq->vectors[i]);
    if (new_num_allocated == 0) {
      std::free(seq->vectors);
      seq->vectors = nullptr;
    } else {
      fv **shrunk = (fv **)std::realloc(
          seq->vectors, (size_t)new_num_allocated * sizeof(fv *));
      if (shrunk != nullptr) seq->vectors = shrunk;
    }
    seq->num_allocated = new_num_allocated;
    if (seq->n > new_num_allocated) seq->n = new_num_allocated;
    return;
  }
  fv **grown = (fv **)std::realloc(seq->vectors,
                                   (size_t)new_num_allocated * sizeof(fv *));
  if (grown == nullptr) fatal_system_error("fv_sequence_allocate");
  seq->vectors = grown;
  for (int32_t i = old; i < new_num_allocated; i++) {
    seq->vectors[i] = fv_create(seq->info);
    seq->num_allocated = i + 1;
  }
}

void fv_sequence_free(fv_sequence *seq) {
  if (seq == nullptr) return;
  PRECONDITION(seq->seq_data_len <= 0 || seq->seq_data != NULL);
  PRECONDITION(seq->num_allocated <= 0 || seq->vectors != NULL);
  std::free(seq->name);
  seq->name = nullptr;
  if (seq->seq_data_len > 0) std::free(seq->seq_data);
  seq->seq_data = nullptr;
  seq->seq_data_len = 0;
  if (seq->num_allocated > 0) {
    for (int32_t i = 0; i < seq->num_allocated; i++)
      fv_delete(seq->vectors[i]);
    std::free(seq->vectors);
  }
  seq->vectors = nullptr;
  seq->num_allocated = 0;
  seq->n = 0;
  if (seq->info != nullptr) fv_info_delete(seq->info);
  seq->info = nullptr;
}

void fv_sequence_delete(fv_sequence *seq) {
  if (seq == nullptr) return;
  fv_sequence_free(seq);
  std::free(seq);
}

// ---------------------------------------------------------------------------
// Exhausted memory

namespace {
const char *new_handler_origin = "fv";  // set once at start-up, then only read
}

void fv_exit_when_memory_runs_out(const char *origin) {
  new_handler_origin = origin;
  std::set_new_handler([] {
    errno = ENOMEM;
    fatal_system_error(new_handler_origin);
  });
}
