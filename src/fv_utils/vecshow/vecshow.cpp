// vecshow - reads a .fv stream from standard input and prints selected
// parts of it: a readable description, names, labels, class numbers,
// features, additional data or sequence data, or the vectors in the export
// formats ufv, lfv and svm_light.
#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common.h"
#include "fv.h"

namespace {

const char *const kProgram = "vecshow";
const int NO_OF_LABEL_CHARS = 12;

// How each vector is printed, in order of precedence.
enum VectorMode {
  MODE_DEFAULT,
  MODE_CLASSES,
  MODE_LABELS,
  MODE_FEATURES,
  MODE_UFV,
  MODE_LFV,
  MODE_SVM_LIGHT,
  MODE_REGRESSION_FIRST,
  MODE_REGRESSION_LAST,
  MODE_ADATA,
};

struct Settings {
  bool classes = false, labels = false, features = false, ufv = false,
       lfv = false, svm_light = false, regression_first = false,
       regression_last = false, adata = false;
  bool names = false, seqdata = false, n_expected = false;
  std::string dirname;
  std::string listname;
  bool number_flag = false;
  long flush_stdout = 0;
  bool verbose_flag = false;

  bool default_header() const {
    return !(classes || labels || features || ufv || lfv || svm_light ||
             regression_first || regression_last || adata || names ||
             seqdata || n_expected);
  }
  bool print_vectors() const { return !(names || seqdata || n_expected); }
  VectorMode vector_mode() const {
    if (classes) return MODE_CLASSES;
    if (labels) return MODE_LABELS;
    if (features) return MODE_FEATURES;
    if (ufv) return MODE_UFV;
    if (lfv) return MODE_LFV;
    if (svm_light) return MODE_SVM_LIGHT;
    if (regression_first) return MODE_REGRESSION_FIRST;
    if (regression_last) return MODE_REGRESSION_LAST;
    if (adata) return MODE_ADATA;
    return MODE_DEFAULT;
  }
};

void print_help() {
  std::fprintf(
      stderr,
      "vecshow - read .fv files from STDIN and print selected parts.\n"
      "usage: vecshow [OPTIONS] < .fv-file \n"
      "OPTIONS:\n"
      "  -h, --help        Display this help.\n"
      "      --verbose     Print a note that the verbose flag is set.\n"
      "  -H, --flush=NUM   Flush stdout after NUM vectors\n"
      "  -l, --labels      Output only labels.\n"
      "  -c, --classes     Output only class numbers.\n"
      "  -f, --features    Output only features.\n"
      "  -u, --ufv         Output ufv-format (i.e., no header, raw floats, no "
      "label)\n"
      "  -C, --lfv         Output lfv-format (i.e., no header, raw floats, and "
      "a string of NO_OF_LABEL_CHARS (%d) bytes length for the label)\n"
      "  -S, --svm_light   Output in svm_light format for classification "
      "(needs feature vectors labelled with class numbers 0 and 1).\n"
      "  -r, --svm_light_regression_first\n"
      "                    Output in svm_light format for regression, "
      "interpreting the first feature as target value.\n"
      "  -R, --svm_light_regression_last\n"
      "                    Output in svm_light format for regression, "
      "interpreting the last feature as target value.\n"
      "  -a, --adata       Output only additional data.\n"
      "  -s, --seqdata     Output only additional sequence data.\n"
      "  -N, --n_expected  Output only n_expected (for each sequence).\n"
      "  -n, --names       Output only the sequence names in the .fv file\n"
      "  -d, --dir=DIR     Output one file for each sequence, into directory "
      "DIR\n"
      "                    (named after the sequence; a \"/\" in a name "
      "becomes \"_\", and the names \".\" and \"..\" become \"_.\" and "
      "\"_..\";\n"
      "                    a sequence without name gives unnamed_S, S being "
      "its number from 0)\n"
      "  -L, --list=LIST   Output the names of the sequences into file LIST\n"
      "      --number      When printing out the name of a sequence, append "
      "an underscore and the number of the sequence. This can be used to "
      "disambiguate identically named sequences.\n"
      "\n"
      "If used without options, everything is printed out, in a format that "
      "will be subject to change in future, so don't rely on that in "
      "automatic processing.\n",
      NO_OF_LABEL_CHARS);
}

// The name of sequence s as printed and listed: NAME, NAME_S with --number,
// or unnamed_S for a sequence without name.
std::string printed_name(const fv_sequence *seq, long s, bool number_flag) {
  if (seq->name == nullptr) return "unnamed_" + std::to_string(s);
  std::string name = seq->name;
  if (number_flag) name += "_" + std::to_string(s);
  return name;
}

// The name used in messages: the sequence name, or unnamed_S.
std::string message_name(const fv_sequence *seq, long s) {
  return seq->name != nullptr ? std::string(seq->name)
                              : "unnamed_" + std::to_string(s);
}

// A sequence name made safe as a file name inside the output directory:
// every "/" becomes "_", and "." and ".." get a "_" in front.
std::string safe_file_name(const std::string &name) {
  std::string safe = name;
  for (char &c : safe)
    if (c == '/') c = '_';
  if (safe == "." || safe == "..") safe = "_" + safe;
  return safe;
}

std::string output_file_name(const Settings &set, const fv_sequence *seq,
                             long s) {
  std::string leaf;
  if (seq->name == nullptr)
    leaf = "unnamed_" + std::to_string(s);
  else {
    leaf = safe_file_name(seq->name);
    if (set.number_flag) leaf += "_" + std::to_string(s);
  }
  return set.dirname + "/" + leaf;
}

void write_bytes(const void *data, size_t n, FILE *out, const char *prefix) {
  if (n > 0 && std::fwrite(data, 1, n, out) != n) fatal_system_error(prefix);
}

void print_text(char *text, FILE *out) {
  if (text != nullptr) std::fputs(text, out);
  std::free(text);
}

// Everything that is set up per sequence for printing its vectors.
struct SequenceState {
  fv *vector = nullptr;
  std::vector<float> floats;
  fv_info *target_info = nullptr, *input_info = nullptr;
  fv *target = nullptr, *input = nullptr;

  ~SequenceState() {
    if (vector) fv_delete(vector);
    if (target) fv_delete(target);
    if (input) fv_delete(input);
    if (target_info) fv_info_delete(target_info);
    if (input_info) fv_info_delete(input_info);
  }
};

void print_vector(VectorMode mode, fv_sequence *seq, long s,
                  SequenceState &st, FILE *out) {
  fv_info *info = seq->info;
  fv *f = st.vector;
  switch (mode) {
    case MODE_CLASSES:
      if (info->labelling != FV_LABELLING_CLASS_NUMBER)
        fatal_error("vecshow: sequence %ld named %s has no class numbers!\n",
                    s, message_name(seq, s).c_str());
      std::fprintf(out, "%ld\n", (long)f->class_number);
      break;
    case MODE_LABELS:
      if (info->labelling != FV_LABELLING_LABEL_STRING)
        fatal_error("vecshow: sequence %ld named %s has no label strings!\n",
                    s, message_name(seq, s).c_str());
      std::fprintf(out, "%s\n", f->label != nullptr ? f->label : "");
      break;
    case MODE_FEATURES:
      print_text(fv_to_ascii(info, f), out);
      std::fputc('\n', out);
      break;
    case MODE_UFV:
    case MODE_LFV:
      if (mode == MODE_LFV) {
        char field[NO_OF_LABEL_CHARS];
        std::memset(field, 0, sizeof field);
        if (info->labelling == FV_LABELLING_LABEL_STRING) {
          if (f->label != nullptr) {
            size_t len = std::strlen(f->label);
            if (len >= (size_t)NO_OF_LABEL_CHARS) {
              std::memcpy(field, f->label, NO_OF_LABEL_CHARS - 1);
              std::fprintf(stderr,
                           "%s lfv mode warning: could not squeeze label %s "
                           "into %d chars -> class name is %s, which might be "
                           "ambiguous.\n",
                           kProgram, f->label, NO_OF_LABEL_CHARS, field);
            } else {
              std::memcpy(field, f->label, len);
            }
          }
        } else if (info->labelling == FV_LABELLING_CLASS_NUMBER) {
          std::snprintf(field, sizeof field, "%d", (int)f->class_number);
        } else {
          fatal_error("%s lfv mode error: these vectors contain no label "
                      "information!\n",
                      kProgram);
        }
        write_bytes(field, sizeof field, out, "vecshow error (writing label)");
      }
      fv_to_float(info, f, st.floats.data());
      write_bytes(st.floats.data(), st.floats.size() * sizeof(float), out,
                  "vecshow error (writing floats)");
      break;
    case MODE_SVM_LIGHT:
      if (f->class_number == 0)
        std::fputs("+1 ", out);
      else if (f->class_number == 1)
        std::fputs("-1 ", out);
      else
        fatal_error("%s error: only class 0 and 1 allowed in svm_light mode!\n",
                    kProgram);
      print_text(fv_to_numbered_ascii(info, f), out);
      std::fputc('\n', out);
      break;
    case MODE_REGRESSION_FIRST:
    case MODE_REGRESSION_LAST: {
      bool first = mode == MODE_REGRESSION_FIRST;
      fv_copy_data_subset(info, f, st.target_info, st.target,
                          first ? 0 : info->dim - 1);
      fv_copy_data_subset(info, f, st.input_info, st.input, first ? 1 : 0);
      print_text(fv_to_ascii(st.target_info, st.target), out);
      std::fputc(' ', out);
      print_text(fv_to_numbered_ascii(st.input_info, st.input), out);
      std::fputc('\n', out);
      break;
    }
    case MODE_ADATA:
      if (info->adata_len > 0)
        write_bytes(f->adata, (size_t)info->adata_len, out, kProgram);
      break;
    case MODE_DEFAULT:
      vecshow(info, f, out);
      break;
  }
}

// Number of bytes of one vector record of `info`.
int64_t record_bytes(const fv_info *info) {
  int64_t bytes = (int64_t)info->dim * info->read_itemsize + info->adata_len;
  if (info->labelling == FV_LABELLING_LABEL_STRING) bytes += 2;
  if (info->labelling == FV_LABELLING_CLASS_NUMBER) bytes += 4;
  return bytes;
}

// For an open-ended sequence: true when the input ends here, before the
// next vector record.
bool at_end_of_input(FILE *in) {
  int c = std::getc(in);
  if (c == EOF) {
    if (std::ferror(in)) fatal_system_error(kProgram);
    return true;
  }
  std::ungetc(c, in);
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  fv_exit_when_memory_runs_out(kProgram);
  Settings set;
  static const struct option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"verbose", no_argument, nullptr, 'V'},
      {"labels", no_argument, nullptr, 'l'},
      {"classes", no_argument, nullptr, 'c'},
      {"features", no_argument, nullptr, 'f'},
      {"ufv", no_argument, nullptr, 'u'},
      {"lfv", no_argument, nullptr, 'C'},
      {"svm_light", no_argument, nullptr, 'S'},
      {"svm_light_regression_first", no_argument, nullptr, 'r'},
      {"svm_light_regression_last", no_argument, nullptr, 'R'},
      {"names", no_argument, nullptr, 'n'},
      {"adata", no_argument, nullptr, 'a'},
      {"seqdata", no_argument, nullptr, 's'},
      {"n_expected", no_argument, nullptr, 'N'},
      {"dir", required_argument, nullptr, 'd'},
      {"list", required_argument, nullptr, 'L'},
      {"number", no_argument, nullptr, 'M'},
      {"flush", required_argument, nullptr, 'H'},
      {nullptr, 0, nullptr, 0}};
  for (;;) {
    int c = getopt_long(argc, argv, "hlcfuCSRrnasNd:L:H:", long_options,
                        nullptr);
    if (c == -1) break;
    switch (c) {
      case 'h': print_help(); return 0;
      case 'V': set.verbose_flag = true; break;
      case 'l': set.labels = true; break;
      case 'c': set.classes = true; break;
      case 'f': set.features = true; break;
      case 'u': set.ufv = true; break;
      case 'C': set.lfv = true; break;
      case 'S': set.svm_light = true; break;
      case 'r': set.regression_first = true; break;
      case 'R': set.regression_last = true; break;
      case 'n': set.names = true; break;
      case 'a': set.adata = true; break;
      case 's': set.seqdata = true; break;
      case 'N': set.n_expected = true; break;
      case 'd': set.dirname = optarg; break;
      case 'L': set.listname = optarg; break;
      case 'M': set.number_flag = true; break;
      case 'H': set.flush_stdout = std::atol(optarg); break;
      default:
        std::fprintf(stderr, "%s error: unknown option or missing value; see "
                     "%s --help.\n", kProgram, kProgram);
        return 1;
    }
  }

  if (set.verbose_flag) std::fprintf(stderr, "verbose flag is set\n");
  if (optind < argc) {
    std::fprintf(stderr, "non-option ARGV-elements: ");
    while (optind < argc) std::fprintf(stderr, "%s ", argv[optind++]);
    std::fprintf(stderr, "\n");
  }

  FILE *list_file = nullptr;
  if (!set.listname.empty()) {
    list_file = std::fopen(set.listname.c_str(), "wb");
    if (list_file == nullptr) fatal_system_error(set.listname.c_str());
  }

  const bool default_header = set.default_header();
  const bool print_vectors = set.print_vectors();
  const VectorMode mode = set.vector_mode();
  FILE *in = stdin;
  long remembered_dim = 0;
  long s = 0;
  long n_vectors_global = 0;

  for (;; s++) {
    fv_sequence *seq = fv_sequence_create_from_header(in);
    if (seq == nullptr) break;
    fv_info *info = seq->info;
    SequenceState st;

    // 1. Vectors for reading and, for regression, target and input.
    st.vector = fv_create(info);
    if (print_vectors &&
        (mode == MODE_REGRESSION_FIRST || mode == MODE_REGRESSION_LAST)) {
      if (info->dim <= 1)
        fatal_error("%s error: options --svm_light_regression* only work with "
                    "dim > 1!\n",
                    kProgram);
      st.target_info = fv_info_create(info->datatype, 1, info->labelling,
                                      info->adata_len);
      st.input_info = fv_info_create(info->datatype, info->dim - 1,
                                     info->labelling, info->adata_len);
      st.target = fv_create(st.target_info);
      st.input = fv_create(st.input_info);
    }

    // 2. Dimension changes.
    if (remembered_dim != 0 && info->dim != remembered_dim)
      std::fprintf(stderr,
                   "vecshow: warning: dimension changed from %ld to %ld in "
                   "sequence %ld named %s.\n",
                   remembered_dim, (long)info->dim, s,
                   message_name(seq, s).c_str());
    remembered_dim = info->dim;

    // 3. List file.
    std::string name = printed_name(seq, s, set.number_flag);
    if (list_file != nullptr &&
        std::fprintf(list_file, "%s\n", name.c_str()) < 0)
      fatal_system_error(set.listname.c_str());

    // 4. Output file.
    FILE *out = stdout;
    std::string file_name;
    if (!set.dirname.empty()) {
      file_name = output_file_name(set, seq, s);
      struct stat sb;
      if (stat(file_name.c_str(), &sb) == 0)
        std::fprintf(stderr,
                     "vecshow error: file %s already exists, I will overwrite "
                     "it. Use option --number to disambiguate names.\n",
                     file_name.c_str());
      out = std::fopen(file_name.c_str(), "wb");
      if (out == nullptr) fatal_system_error(file_name.c_str());
    }

    // 5. Per-sequence part.
    if (default_header) {
      fv_sequence_print_header(seq, out);
    } else if (set.names) {
      std::fprintf(out, "%s\n", name.c_str());
    } else if (set.seqdata) {
      if (seq->seq_data_len == 0)
        std::fprintf(stderr,
                     "vecshow warning: additional sequence data has length 0 "
                     "in sequence %ld named %s!\n",
                     s, message_name(seq, s).c_str());
      else
        write_bytes(seq->seq_data, (size_t)seq->seq_data_len, out, kProgram);
    } else if (set.n_expected) {
      std::fprintf(out, "%d\n", seq->n_expected);
    }

    // 6. Checks and buffers of the vector mode.
    if (print_vectors) {
      if (mode == MODE_ADATA && info->adata_len == 0)
        std::fprintf(stderr,
                     "vecshow warning: additional data per feature vector has "
                     "zero length in segment %ld named %s!\n",
                     s, message_name(seq, s).c_str());
      if (mode == MODE_UFV || mode == MODE_LFV) {
        try {
          st.floats.assign((size_t)info->dim, 0.0f);
        } catch (const std::bad_alloc &) {
          errno = ENOMEM;
          fatal_system_error(kProgram);
        }
      }
      if (mode == MODE_SVM_LIGHT &&
          info->labelling != FV_LABELLING_CLASS_NUMBER)
        fatal_error("%s error: need class numbers for svm_light output!\n",
                    kProgram);
    }

    // 7. Vectors. An open-ended sequence runs until the input ends.
    bool open_ended = seq->n_expected == -1;
    if (open_ended && record_bytes(info) == 0)
      fatal_error("vecshow error: open-ended sequence %ld named %s has empty "
                  "vector records!\n",
                  s, message_name(seq, s).c_str());
    for (int32_t i = 0; open_ended || i < seq->n_expected; i++) {
      if (open_ended && at_end_of_input(in)) break;
      fv_read(info, st.vector, in);
      if (print_vectors) print_vector(mode, seq, s, st, out);
      fv_clean(info, st.vector);
      n_vectors_global++;
      if (set.flush_stdout > 0 && n_vectors_global % set.flush_stdout == 0)
        std::fflush(out);
    }

    // 8. Close and release.
    if (out != stdout && std::fclose(out) != 0)
      fatal_system_error(file_name.c_str());
    fv_sequence_delete(seq);
  }

  if (s == 0) std::fprintf(stderr, "%s warning: zero length input.\n", kProgram);
  if (list_file != nullptr && std::fclose(list_file) != 0)
    fatal_system_error(set.listname.c_str());
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    fatal_system_error(kProgram);
  return 0;
}
