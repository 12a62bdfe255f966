// Label tables: the mapping between label strings and class numbers (class
// number i is the i-th label), built from sequences or read from files.

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "common.h"
#include "fv.h"

struct fv_label_index {
  // First class of each label, as fv_label_lister_find_label finds it.
  std::unordered_map<std::string_view, int32_t> classes;
};

namespace {

// Longest label a table line can hold: the line buffer minus line feed and
// terminator.
constexpr int MAX_LABEL_LEN = FV_LABEL_LINE_BUFFER - 2;

void *checked_realloc(void *p, size_t bytes, const char *op) {
  void *q = std::realloc(p, bytes == 0 ? 1 : bytes);
  if (q == nullptr) fatal_system_error(op);
  return q;
}

char *checked_strdup(const char *s, const char *op) {
  size_t len = std::strlen(s);
  char *copy = static_cast<char *>(std::malloc(len + 1));
  if (copy == nullptr) fatal_system_error(op);
  std::memcpy(copy, s, len + 1);
  return copy;
}

// An empty table whose label array is already present, so that every table
// this file makes can be released, even one without labels.
void table_start(fv_label_lister *table, int32_t *capacity, const char *op) {
  table->num_classes = 0;
  table->labels = static_cast<char **>(checked_realloc(nullptr, sizeof(char *), op));
  *capacity = 1;
}

// Appends an own copy of `label`, growing the array to capacity * 10 / 8 +
// 100 entries when it is full.
void table_append(fv_label_lister *table, int32_t *capacity, const char *label,
                  const char *op) {
  if (table->num_classes >= *capacity) {
    int64_t grown = static_cast<int64_t>(*capacity) * 10 / 8 + 100;
    if (grown > INT32_MAX) grown = INT32_MAX;
    if (grown <= table->num_classes) {
      errno = ENOMEM;
      fatal_system_error(op);
    }
    table->labels = static_cast<char **>(
        checked_realloc(table->labels, static_cast<size_t>(grown) * sizeof(char *), op));
    *capacity = static_cast<int32_t>(grown);
  }
  table->labels[table->num_classes++] = checked_strdup(label, op);
}

int compare_labels(const void *a, const void *b) {
  return std::strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

void build_from_sequences(fv_label_lister *table, fv_sequence **seq, int num_seq,
                          const char *op) {
  PRECONDITION(table != NULL);
  PRECONDITION(num_seq >= 0);
  PRECONDITION(num_seq == 0 || seq != NULL);
  int32_t capacity;
  table_start(table, &capacity, op);
  std::unordered_set<std::string_view> seen;  // views of the table's labels
  for (int s = 0; s < num_seq; s++) {
    PRECONDITION(seq[s] != NULL);
    if (seq[s]->info->labelling != FV_LABELLING_LABEL_STRING)
      fatal_error("%s error: sequence %d has no label strings!\n", op, s);
    for (int32_t i = 0; i < seq[s]->n; i++) {
      const char *label = seq[s]->vectors[i]->label;
      // An absent label names no class.
      if (label == nullptr) continue;
      if (seen.count(label) == 0) {
        table_append(table, &capacity, label, op);
        seen.insert(table->labels[table->num_classes - 1]);
      }
    }
  }
  if (table->num_classes > 1)
    std::qsort(table->labels, static_cast<size_t>(table->num_classes), sizeof(char *),
               compare_labels);
}

// Reads one line into buf (FV_LABEL_LINE_BUFFER bytes). Returns 0 at the end
// of the file; a read error is fatal with `op` as prefix.
int read_line(char *buf, FILE *file, const char *op) {
  if (std::fgets(buf, FV_LABEL_LINE_BUFFER, file) != nullptr) return 1;
  if (std::ferror(file)) fatal_system_error(op);
  return 0;
}

// Removes the trailing line feed. Returns 0 when the line did not fit into
// the buffer (no line feed although the file goes on).
int strip_line(char *buf, FILE *file) {
  size_t len = std::strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') {
    buf[len - 1] = '\0';
    return 1;
  }
  if (len < static_cast<size_t>(FV_LABEL_LINE_BUFFER - 1)) return 1;
  // A full buffer without line feed: fine only when the file ends here.
  int c = std::getc(file);
  if (c == EOF) return 1;
  std::ungetc(c, file);
  return 0;
}

// Reads the class count as "%d\n" does (white space before and after it,
// blank lines included, is skipped), but refuses text that is not a number
// and numbers beyond the 32-bit range instead of guessing.
void read_num_classes(FILE *file, int32_t *num_classes, const char *op) {
  int c;
  do {
    c = std::getc(file);
  } while (c != EOF && std::isspace(c));
  if (c == EOF) {
    if (std::ferror(file)) fatal_system_error(op);
    fatal_error("label_lister_read: unexpected end of file when trying to read num_classes!\n");
  }
  char digits[32];
  size_t len = 0;
  if (c == '-' || c == '+') {
    digits[len++] = static_cast<char>(c);
    c = std::getc(file);
  }
  while (c != EOF && std::isdigit(c) && len < sizeof(digits) - 1) {
    digits[len++] = static_cast<char>(c);
    c = std::getc(file);
  }
  digits[len] = '\0';
  if (c != EOF) std::ungetc(c, file);
  if (std::ferror(file)) fatal_system_error(op);
  if (len == 0 || !std::isdigit(static_cast<unsigned char>(digits[len - 1]))) {
    if (c == EOF)
      fatal_error("label_lister_read: unexpected end of file when trying to read num_classes!\n");
    fatal_error("label_lister_read error: the number of classes is not a number!\n");
  }
  errno = 0;
  long value = std::strtol(digits, nullptr, 10);
  if (c != EOF && std::isdigit(c))
    fatal_error("label_lister_read error: invalid number of classes %s...!\n", digits);
  if (c != EOF && !std::isspace(c))
    fatal_error("label_lister_read error: the number of classes is not a number!\n");
  if (errno != 0 || value < 0 || value > INT32_MAX)
    fatal_error("label_lister_read error: invalid number of classes %s!\n", digits);
  *num_classes = static_cast<int32_t>(value);
  do {
    c = std::getc(file);
  } while (c != EOF && std::isspace(c));
  if (c != EOF) std::ungetc(c, file);
  if (std::ferror(file)) fatal_system_error(op);
}

int init_from_file(fv_label_lister *table, FILE *file, const char *op) {
  PRECONDITION(table != NULL);
  PRECONDITION(file != NULL);
  char buf[FV_LABEL_LINE_BUFFER];
  table->num_classes = 0;
  table->labels = nullptr;
  if (!read_line(buf, file, op)) return 0;
  if (std::strcmp(buf, FV_LABEL_LISTER_KEYWORD "\n") != 0)
    fatal_error("label_lister_read error: this is not a label table file!\n");
  int32_t num_classes;
  read_num_classes(file, &num_classes, op);
  // The array grows with the labels actually read, so that a defect count
  // ends in the end-of-file message rather than in a huge allocation.
  int32_t capacity;
  table_start(table, &capacity, op);
  for (int32_t i = 0; i < num_classes; i++) {
    if (!read_line(buf, file, op))
      fatal_error("label_lister_read: unexpected end of file when trying to read label[%d]!\n", i);
    if (!strip_line(buf, file))
      fatal_error("label_lister_read error: label for class %d is longer than %d characters!\n", i,
                  MAX_LABEL_LEN);
    if (buf[0] == '\0') fatal_error("label_lister_read: short label for class %d: '%s'!\n", i, buf);
    table_append(table, &capacity, buf, op);
  }
  return 1;
}

void init_from_asciifile(fv_label_lister *table, FILE *file, const char *op) {
  PRECONDITION(table != NULL);
  PRECONDITION(file != NULL);
  char buf[FV_LABEL_LINE_BUFFER];
  int32_t capacity;
  table_start(table, &capacity, op);
  int line = 0;
  std::unordered_set<std::string_view> seen;  // views of the table's labels
  while (read_line(buf, file, op)) {
    line++;
    if (!strip_line(buf, file))
      fatal_error("%s error: line %d is longer than %d characters!\n", op, line, MAX_LABEL_LEN);
    // Class numbers are line numbers: an empty line would be a class
    // without a name that no vector can carry.
    if (buf[0] == '\0') fatal_error("%s error: empty label (line %d)!\n", op, line);
    if (seen.count(buf) != 0)
      fatal_error("%s error: label %s (line %d) is duplicate!\n", op, buf, line);
    table_append(table, &capacity, buf, op);
    seen.insert(table->labels[table->num_classes - 1]);
  }
  if (line == 0) fatal_error("%s error: empty file!\n", op);
}

fv_label_lister *allocate_table(const char *op) {
  auto *table = static_cast<fv_label_lister *>(std::malloc(sizeof(fv_label_lister)));
  if (table == nullptr) fatal_system_error(op);
  table->num_classes = 0;
  table->labels = nullptr;
  return table;
}

// Whether a label survives a table file: the reader takes lines of at most
// 998 characters, refuses empty ones and skips white space in front of the
// first label.
bool storable_label(const char *label, int32_t index) {
  size_t len = std::strlen(label);
  if (len == 0 || len > static_cast<size_t>(MAX_LABEL_LEN)) return false;
  if (std::strchr(label, '\n') != nullptr) return false;
  if (index == 0 && std::isspace(static_cast<unsigned char>(label[0]))) return false;
  return true;
}

}  // namespace

void fv_label_lister_init_from_multiple_sequences(fv_label_lister *table, fv_sequence **seq,
                                                  int num_seq) {
  build_from_sequences(table, seq, num_seq, "fv_label_lister_init_from_multiple_sequences");
}

void fv_label_lister_init(fv_label_lister *table, fv_sequence *seq) {
  build_from_sequences(table, &seq, 1, "fv_label_lister_init");
}

fv_label_lister *fv_label_lister_create(fv_sequence *seq) {
  fv_label_lister *table = allocate_table("fv_label_lister_create");
  build_from_sequences(table, &seq, 1, "fv_label_lister_create");
  return table;
}

int32_t fv_label_lister_find_label(const fv_label_lister *table, const char *label) {
  PRECONDITION(table != NULL);
  if (label == nullptr) return -1;
  for (int32_t i = 0; i < table->num_classes; i++)
    if (std::strcmp(table->labels[i], label) == 0) return i;
  return -1;
}

fv_label_index *fv_label_index_create(const fv_label_lister *table) {
  PRECONDITION(table != NULL);
  fv_label_index *index = new fv_label_index;
  index->classes.reserve(static_cast<size_t>(table->num_classes));
  for (int32_t i = 0; i < table->num_classes; i++)
    index->classes.emplace(table->labels[i], i);  // keeps the first
  return index;
}

int32_t fv_label_index_find(const fv_label_index *index, const char *label) {
  PRECONDITION(index != NULL);
  if (label == nullptr) return -1;
  auto it = index->classes.find(label);
  return it == index->classes.end() ? -1 : it->second;
}

void fv_label_index_delete(fv_label_index *index) { delete index; }

void fv_label_lister_apply(const fv_label_lister *table, fv_sequence *seq) {
  PRECONDITION(table != NULL);
  PRECONDITION(seq != NULL);
  const char *op = "fv_label_lister_apply";
  if (seq->info->labelling != FV_LABELLING_LABEL_STRING)
    fatal_error("%s error: sequence has no label strings!\n", op);
  fv_label_index *index = fv_label_index_create(table);
  for (int32_t i = 0; i < seq->n; i++) {
    fv *f = seq->vectors[i];
    if (f->label == nullptr)
      fatal_error("%s error: could not find label: vector %d has no label!\n", op, i);
    int32_t c = fv_label_index_find(index, f->label);
    if (c < 0) fatal_error("%s error: could not find label %s\n", op, f->label);
    f->class_number = c;
    fv_clean(seq->info, f);
  }
  fv_label_index_delete(index);
  seq->info->labelling = FV_LABELLING_CLASS_NUMBER;
}

void fv_label_lister_apply_once(const fv_label_lister *table, const fv_info *info,
                                fv_info *info_new, fv *vector) {
  PRECONDITION(table != NULL);
  PRECONDITION(info != NULL);
  PRECONDITION(info_new != NULL);
  PRECONDITION(vector != NULL);
  const char *op = "fv_label_lister_apply_once";
  if (info->labelling != FV_LABELLING_LABEL_STRING)
    fatal_error("%s error: this vector has no label strings!\n", op);
  if (vector->label == nullptr)
    fatal_error("%s error: could not find label: the vector has no label!\n", op);
  int32_t c = fv_label_lister_find_label(table, vector->label);
  if (c < 0) fatal_error("%s error: could not find label %s\n", op, vector->label);
  vector->class_number = c;
  fv_clean(info, vector);
  info_new->labelling = FV_LABELLING_CLASS_NUMBER;
}

int32_t fv_label_lister_lookup(const fv_label_lister *table, const fv_info *info,
                               const fv *vector) {
  PRECONDITION(table != NULL);
  PRECONDITION(info != NULL);
  PRECONDITION(vector != NULL);
  if (info->labelling != FV_LABELLING_LABEL_STRING || vector->label == nullptr)
    fatal_error("label_lister_lookup error: vector has no label!\n");
  int32_t c = fv_label_lister_find_label(table, vector->label);
  if (c < 0) fatal_error("label_lister_lookup error: label %s not found.\n", vector->label);
  return c;
}

void fv_label_lister_write(const fv_label_lister *table, FILE *file) {
  PRECONDITION(table != NULL);
  PRECONDITION(file != NULL);
  PRECONDITION(table->num_classes == 0 || table->labels != NULL);
  const char *op = "fv_label_lister_write";
  // Refuse, before writing anything, a table that could not be read back.
  for (int32_t i = 0; i < table->num_classes; i++) {
    PRECONDITION(table->labels[i] != NULL);
    if (!storable_label(table->labels[i], i))
      fatal_error("%s error: label %d cannot be stored in a table file (it is empty, longer "
                  "than %d characters, holds a line feed or, as the first label, begins with "
                  "white space)!\n",
                  op, i, MAX_LABEL_LEN);
  }
  if (std::fprintf(file, "%s\n", FV_LABEL_LISTER_KEYWORD) < 0) fatal_system_error(op);
  if (std::fprintf(file, "%d\n", table->num_classes) < 0) fatal_system_error(op);
  for (int32_t i = 0; i < table->num_classes; i++)
    if (std::fprintf(file, "%s\n", table->labels[i]) < 0) fatal_system_error(op);
  // Buffered data may only fail when they reach the file.
  if (std::fflush(file) != 0 || std::ferror(file)) fatal_system_error(op);
}

int fv_label_lister_init_from_file(fv_label_lister *table, FILE *file) {
  return init_from_file(table, file, "fv_label_lister_init_from_file");
}

fv_label_lister *fv_label_lister_create_from_file(FILE *file) {
  const char *op = "fv_label_lister_create_from_file";
  fv_label_lister *table = allocate_table(op);
  if (!init_from_file(table, file, op)) {
    std::free(table);
    return nullptr;
  }
  return table;
}

void fv_label_lister_init_from_asciifile(fv_label_lister *table, FILE *file) {
  init_from_asciifile(table, file, "fv_label_lister_init_from_asciifile");
}

fv_label_lister *fv_label_lister_create_from_asciifile(FILE *file) {
  const char *op = "fv_label_lister_create_from_asciifile";
  fv_label_lister *table = allocate_table(op);
  init_from_asciifile(table, file, op);
  return table;
}

void fv_label_lister_free(fv_label_lister *table) {
  PRECONDITION(table != NULL);
  PRECONDITION(table->labels != NULL);
  for (int32_t i = 0; i < table->num_classes; i++) {
    PRECONDITION(table->labels[i] != NULL);
    std::free(table->labels[i]);
  }
  std::free(table->labels);
  table->labels = nullptr;
  table->num_classes = 0;
}

void fv_label_lister_delete(fv_label_lister *table) {
  if (table == nullptr) return;
  fv_label_lister_free(table);
  std::free(table);
}
