// vecpick - edit .fv streams: keep a subset of the features, drop vectors by
// class, label, position, sequence, value or an index file, shift the
// labelling along each sequence and convert label strings to class numbers.
// Reads standard input, writes standard output, one sequence at a time.

#include <getopt.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common.h"
#include "fv.h"

namespace {

const char *const PROGRAM = "vecpick";

// Codes of the long options that have no short form.
enum { OPT_ONLY_ZEROS_IN = 1000, OPT_ONLY_ONES_IN };

// Longest index file line: 9999 characters and the terminator.
constexpr int INDEX_LINE_BUFFER = 10000;

int verbose_flag = 0;
int discard_nan = 0;
int discard_inf = 0;

// A range option "I" or "I-K".
struct range_option {
  int given = 0;
  int first = 0;
  int last = 0;
};

struct settings {
  int feature_subset = 0;
  const char *feature_subset_text = nullptr;
  int first_feature = 0;
  int last_feature = 0;
  const char *indexfilename = nullptr;
  char outputcharacter = '0';
  const char *only_label = nullptr;
  const char *only_labels_filename = nullptr;
  // Class criteria; each applies once its option is given (-1 marks unset).
  int only_class_given = 0, only_class = -1;
  int not_class_given = 0, not_class = -1;
  int remove_class_given = 0, remove_class = -1;
  range_option pick_sequences, skip_sequences, pick_vectors, skip_vectors;
  int only_every_nth = 1;
  int only_every_nth_offset = 0;
  int not_every_nth = INT_MAX;
  int not_every_nth_offset = INT_MAX - 1;
  // Whether any --not-every-nth option was given: the defaults alone must
  // keep every vector, however long the stream.
  int not_every_nth_given = 0;
  int not_value_given = 0;
  double not_value = 0.0;
  int shift_labelling = 0;
  const char *table_filename = nullptr;
};

void print_help() {
  std::fprintf(
      stderr,
      "vecpick - edit .fv files.\n"
      "usage: vecpick [OPTIONS] < old.fv > new.fv \n"
      "OPTIONS:\n"
      "  -h, --help\n"
      "      Display this help.\n"
      "  --verbose\n"
      "      Print what is being done.\n"
      "  --discard-nan\n"
      "      Do not output vectors that contain a NaN feature.\n"
      "  --discard-inf\n"
      "      Do not output vectors that contain an infinite feature.\n"
      "  -f A-B, --only-features=A-B\n"
      "      Only output features A to B (both included). Counting starts at zero.\n"
      "  --only-zeros-in=FILE\n"
      "      Only output vector i if line i of FILE begins with '0'.\n"
      "  --only-ones-in=FILE\n"
      "      Only output vector i if line i of FILE begins with '1'.\n"
      "  -l STRING, --only-label=STRING\n"
      "      Only output vectors labelled STRING.\n"
      "  -t TABLE, --only-labels=TABLE\n"
      "      Only output vectors whose label is in the label table TABLE.\n"
      "      Label tables are made with label_lister.\n"
      "  -c NUM, --only-class=NUM\n"
      "      Only output vectors of class NUM.\n"
      "  -C NUM, --not-class=NUM\n"
      "      Do not output vectors of class NUM.\n"
      "  -r NUM, --remove-class=NUM\n"
      "      Do not output vectors of class NUM, and decrement every class number\n"
      "      above NUM by one.\n"
      "  -s I[-K], --only-sequences=I[-K]\n"
      "      Only output sequence I or sequences I to K. Counting starts at zero. "
      "Useful for leave-one-speaker-out training/testing.\n"
      "  -S I[-K], --not-sequences=I[-K]\n"
      "      Skip sequences I or sequences I to K. Counting starts at zero. "
      "Useful for leave-one-out training/testing.\n"
      "  -v I[-K], --only-vectors=I[-K]\n"
      "      Only output vector I or vectors I to K.\n"
      "      Counting starts at zero and goes across sequences.\n"
      "  -V I[-K], --not-vectors=I[-K]\n"
      "      Skip vector I or vectors I to K.\n"
      "      Counting starts at zero and goes across sequences.\n"
      "  -n N, --only-every-nth=N\n"
      "      Only output every N-th vector (N >= 1). Can follow a glide_stats\n"
      "      low-pass filtering for downsampling. The default N=1 outputs all vectors.\n"
      "  -o M, --only-every-nth-offset=M\n"
      "      Offset M for --only-every-nth: output vectors M, M+N, M+2N, ...\n"
      "  -N N, --not-every-nth=N\n"
      "      Do not output every N-th vector (N >= 1). By default N = INT_MAX and\n"
      "      M = INT_MAX - 1 so that all vectors occurring in practice are put out.\n"
      "  -O M, --not-every-nth-offset=M\n"
      "      Offset M for --not-every-nth: skip vectors M, M+N, M+2N, ...\n"
      "  -X X, --not-values=X\n"
      "      Do not output vectors that have a feature equal to X.\n"
      "  -F NUM, --shift-labelling=NUM\n"
      "      Shift labels or class numbers by NUM positions within each sequence;\n"
      "      vectors at the edge take the labelling of the first or last vector.\n"
      "      Example: original class numbers: 1 2 3 4 5, shift_labelling=-1 -> new class "
      "numbers: 2 3 4 5 5.\n"
      "  -T FILE, --table=FILE\n"
      "      Convert label strings to class numbers with the label table in FILE,\n"
      "      after all other steps.\n"
      "  -H NUM, --flush=NUM\n"
      "      Flush stdout after NUM vectors (accepted; the output is flushed after\n"
      "      every sequence).\n");
}

// "I" or "I-K". The hyphen is looked for behind the first character, so
// that a leading minus sign reads as the sign of I.
void parse_range(const char *text, range_option *range) {
  range->given = 1;
  range->first = std::atoi(text);
  const char *hyphen = text[0] != '\0' ? std::strchr(text + 1, '-') : nullptr;
  range->last = hyphen != nullptr ? std::atoi(hyphen + 1) : range->first;
}

FILE *open_for_reading(const char *filename) {
  FILE *file = std::fopen(filename, "rb");
  if (file == nullptr) fatal_system_error(filename);
  return file;
}

fv_label_lister *read_table(const char *filename, const char *option) {
  FILE *file = open_for_reading(filename);
  fv_label_lister *table = fv_label_lister_create_from_file(file);
  std::fclose(file);
  if (table == nullptr)
    fatal_error("%s error: the label table file \"%s\" given to %s is empty!\n", PROGRAM, filename,
                option);
  return table;
}

void parse_command_line(int argc, char **argv, settings *opt) {
  static const struct option long_options[] = {
      {"help", no_argument, nullptr, 'h'},
      {"verbose", no_argument, &verbose_flag, 1},
      {"discard-nan", no_argument, &discard_nan, 1},
      {"discard-inf", no_argument, &discard_inf, 1},
      {"only-features", required_argument, nullptr, 'f'},
      {"only-zeros-in", required_argument, nullptr, OPT_ONLY_ZEROS_IN},
      {"only-ones-in", required_argument, nullptr, OPT_ONLY_ONES_IN},
      {"only-label", required_argument, nullptr, 'l'},
      {"only-labels", required_argument, nullptr, 't'},
      {"only-class", required_argument, nullptr, 'c'},
      {"not-class", required_argument, nullptr, 'C'},
      {"remove-class", required_argument, nullptr, 'r'},
      {"only-sequences", required_argument, nullptr, 's'},
      {"not-sequences", required_argument, nullptr, 'S'},
      {"only-vectors", required_argument, nullptr, 'v'},
      {"not-vectors", required_argument, nullptr, 'V'},
      {"only-every-nth", required_argument, nullptr, 'n'},
      {"only-every-nth-offset", required_argument, nullptr, 'o'},
      {"not-every-nth", required_argument, nullptr, 'N'},
      {"not-every-nth-offset", required_argument, nullptr, 'O'},
      {"not-values", required_argument, nullptr, 'X'},
      {"shift-labelling", required_argument, nullptr, 'F'},
      {"table", required_argument, nullptr, 'T'},
      {"flush", required_argument, nullptr, 'H'},
      {nullptr, 0, nullptr, 0},
  };
  for (;;) {
    int option_index = 0;
    int c = getopt_long(argc, argv, "hf:l:t:c:C:r:s:S:v:V:n:o:N:O:X:F:T:H:", long_options,
                        &option_index);
    if (c == -1) break;
    switch (c) {
      case 0:
        break;  // a flag option
      case 'h':
        print_help();
        std::exit(0);
      case 'f':
        opt->feature_subset = 1;
        opt->feature_subset_text = optarg;
        break;
      case OPT_ONLY_ZEROS_IN:
        opt->indexfilename = optarg;
        opt->outputcharacter = '0';
        break;
      case OPT_ONLY_ONES_IN:
        opt->indexfilename = optarg;
        opt->outputcharacter = '1';
        break;
      case 'l':
        opt->only_label = optarg;
        break;
      case 't':
        opt->only_labels_filename = optarg;
        break;
      case 'c':
        opt->only_class_given = 1;
        opt->only_class = std::atoi(optarg);
        break;
      case 'C':
        opt->not_class_given = 1;
        opt->not_class = std::atoi(optarg);
        break;
      case 'r':
        opt->remove_class_given = 1;
        opt->remove_class = std::atoi(optarg);
        if (opt->remove_class < 0)
          fatal_error("%s error: argument of --remove-class must be >= 0 (is %d)\n", PROGRAM,
                      opt->remove_class);
        break;
      case 's':
        parse_range(optarg, &opt->pick_sequences);
        break;
      case 'S':
        parse_range(optarg, &opt->skip_sequences);
        break;
      case 'v':
        parse_range(optarg, &opt->pick_vectors);
        break;
      case 'V':
        parse_range(optarg, &opt->skip_vectors);
        break;
      case 'n':
        opt->only_every_nth = std::atoi(optarg);
        break;
      case 'o':
        opt->only_every_nth_offset = std::atoi(optarg);
        break;
      case 'N':
        opt->not_every_nth = std::atoi(optarg);
        opt->not_every_nth_given = 1;
        break;
      case 'O':
        opt->not_every_nth_offset = std::atoi(optarg);
        opt->not_every_nth_given = 1;
        break;
      case 'X':
        opt->not_value_given = 1;
        opt->not_value = std::atof(optarg);
        break;
      case 'F':
        opt->shift_labelling = std::atoi(optarg);
        break;
      case 'T':
        opt->table_filename = optarg;
        break;
      case 'H':
        break;  // output is flushed after every sequence
      default:
        // getopt_long has named the unknown option or missing value.
        std::fprintf(stderr, "%s error: try --help\n", PROGRAM);
        std::exit(1);
    }
  }

  if (verbose_flag) std::fprintf(stderr, "verbose flag is set\n");
  if (optind < argc) {
    std::fprintf(stderr, "non-option ARGV-elements: ");
    while (optind < argc) std::fprintf(stderr, "%s ", argv[optind++]);
    std::fprintf(stderr, "\n");
  }

  if (opt->feature_subset &&
      std::sscanf(opt->feature_subset_text, "%d-%d", &opt->first_feature, &opt->last_feature) !=
          2)
    fatal_error(
        "%s error: malformed argument \"%s\" for option --only-features! Use something like "
        "--only-features=17-42.\n",
        PROGRAM, opt->feature_subset_text);
  // Both strides are divisors.
  if (opt->only_every_nth < 1)
    fatal_error("%s error: argument of --only-every-nth must be >= 1 (is %d)\n", PROGRAM,
                opt->only_every_nth);
  if (opt->not_every_nth < 1)
    fatal_error("%s error: argument of --not-every-nth must be >= 1 (is %d)\n", PROGRAM,
                opt->not_every_nth);
}

// Gives vector `dest` the labelling (label string or class number) of `src`.
void copy_labelling(const fv_info *info, const fv *src, fv *dest) {
  if (info->labelling == FV_LABELLING_LABEL_STRING)
    fv_label(dest, src->label);
  else
    dest->class_number = src->class_number;
}

// Moves the labelling of the m kept vectors by `shift` positions; vectors
// that have no source inside the sequence take the first (shift > 0) or the
// last (shift < 0) vector's labelling. Shifts of m positions or more thus
// give every vector that edge vector's labelling.
void shift_labelling(fv_sequence *out, int shift) {
  if (out->info->labelling == FV_LABELLING_NONE)
    fatal_error("%s shift_labelling error: vectors have no class information!\n", PROGRAM);
  const int64_t m = out->n;
  if (m == 0) return;
  fv **v = out->vectors;
  if (shift > 0) {
    const int64_t k = shift;
    for (int64_t i = m - 1; i >= k; i--) copy_labelling(out->info, v[i - k], v[i]);
    for (int64_t i = 1; i < k && i < m; i++) copy_labelling(out->info, v[0], v[i]);
  } else {
    const int64_t k = -static_cast<int64_t>(shift);
    for (int64_t i = 0; i + k < m; i++) copy_labelling(out->info, v[i + k], v[i]);
    for (int64_t i = m - k > 0 ? m - k : 0; i < m - 1; i++)
      copy_labelling(out->info, v[m - 1], v[i]);
  }
}

bool in_range(const range_option &r, int64_t x) { return r.first <= x && x <= r.last; }

void warn_range(const range_option &r, const char *option, int64_t count) {
  if (r.given && (r.first >= count || r.last >= count))
    std::fprintf(stderr, "%s warning: --%s=%ld-%ld was a range out of range (n = %ld)\n", PROGRAM,
                 option, static_cast<long>(r.first), static_cast<long>(r.last),
                 static_cast<long>(count));
}

}  // namespace

int main(int argc, char **argv) {
  fv_exit_when_memory_runs_out(PROGRAM);
  settings opt;
  parse_command_line(argc, argv, &opt);

  fv_label_lister *admitted = nullptr;
  if (opt.only_labels_filename != nullptr)
    admitted = read_table(opt.only_labels_filename, "--only-labels");
  fv_label_index *admitted_index =
      admitted != nullptr ? fv_label_index_create(admitted) : nullptr;
  fv_label_lister *conversion = nullptr;
  if (opt.table_filename != nullptr) conversion = read_table(opt.table_filename, "--table");
  FILE *indexfile = nullptr;
  if (opt.indexfilename != nullptr) indexfile = open_for_reading(opt.indexfilename);

  if (opt.pick_sequences.given)
    std::fprintf(stderr, "only outputting sequences %ld to %ld\n",
                 static_cast<long>(opt.pick_sequences.first),
                 static_cast<long>(opt.pick_sequences.last));
  if (opt.skip_sequences.given)
    std::fprintf(stderr, "not outputting sequences %ld to %ld\n",
                 static_cast<long>(opt.skip_sequences.first),
                 static_cast<long>(opt.skip_sequences.last));
  if (opt.pick_vectors.given)
    std::fprintf(stderr, "only outputting vectors %ld to %ld\n",
                 static_cast<long>(opt.pick_vectors.first),
                 static_cast<long>(opt.pick_vectors.last));
  if (opt.skip_vectors.given)
    std::fprintf(stderr, "not outputting vectors %ld to %ld\n",
                 static_cast<long>(opt.skip_vectors.first),
                 static_cast<long>(opt.skip_vectors.last));

  int64_t s = 0;  // current sequence
  int64_t n = 0;  // current vector, counted over all sequences
  int32_t max_class = -1;
  std::vector<char> line(INDEX_LINE_BUFFER);
  std::vector<double> values;

  while (fv_sequence *in = fv_sequence_create_from_header(stdin)) {
    if (in->n_expected == -1) fatal_error("vecpick: online processing: implement me!\n");
    if (in->n_expected < -1)
      fatal_error("%s error: defect stream: sequence %ld announces %d vectors!\n", PROGRAM,
                  static_cast<long>(s), in->n_expected);
    const int32_t dim = in->info->dim;
    int first = 0;
    int last = dim - 1;
    if (opt.feature_subset) {
      first = opt.first_feature;
      last = opt.last_feature;
      if (first < 0 || first >= dim || last < 0 || last >= dim || first > last)
        fatal_error("%s error: %d-%d is no valid feature subset (dim = %d)\n", PROGRAM, first,
                    last, dim);
    }
    fv_sequence *out = fv_sequence_create_from_template(in, in->name, 0);
    out->info->dim = last - first + 1;

    const int labelling = in->info->labelling;
    if (opt.only_label != nullptr && labelling != FV_LABELLING_LABEL_STRING)
      fatal_error("vecpick error: option --only_label not possible if vectors have no labels!\n");
    if (admitted != nullptr && labelling != FV_LABELLING_LABEL_STRING)
      fatal_error("vecpick error: option --only_labels not possible if vectors have no labels!\n");
    if ((opt.only_class_given || opt.not_class_given || opt.remove_class_given) &&
        labelling != FV_LABELLING_CLASS_NUMBER)
      fatal_error(
          "vecpick error: options --only-class, --not-class not possible if vectors have no class "
          "numbers!\n");

    fv *f_in = fv_create(in->info);
    fv *f_out = fv_create(out->info);
    values.assign(out->info->dim > 0 ? static_cast<size_t>(out->info->dim) : 1, 0.0);
    for (int32_t i = 0; i < in->n_expected; i++, n++) {
      fv_read(in->info, f_in, stdin);
      fv_copy_data_subset(in->info, f_in, out->info, f_out, first);
      fv_copy_extras(in->info, f_in, f_out);
      bool drop = false;

      if (indexfile != nullptr) {
        if (std::fgets(line.data(), INDEX_LINE_BUFFER, indexfile) == nullptr) {
          if (std::ferror(indexfile)) fatal_system_error(opt.indexfilename);
          fatal_error("%s error: premature end of indexfile!\n", PROGRAM);
        }
        size_t len = std::strlen(line.data());
        if (len == static_cast<size_t>(INDEX_LINE_BUFFER - 1) && line[len - 1] != '\n')
          fatal_error("%s error: indexfile has too long line!\n", PROGRAM);
        if (line[0] != opt.outputcharacter) drop = true;
      }
      if (opt.only_label != nullptr &&
          (f_out->label == nullptr || std::strcmp(f_out->label, opt.only_label) != 0))
        drop = true;
      if (admitted_index != nullptr && fv_label_index_find(admitted_index, f_out->label) < 0)
        drop = true;
      if (opt.only_class_given && f_out->class_number != opt.only_class) drop = true;
      if (opt.not_class_given && f_out->class_number == opt.not_class) drop = true;
      if (opt.remove_class_given) {
        if (f_out->class_number > max_class) max_class = f_out->class_number;
        if (f_out->class_number == opt.remove_class)
          drop = true;
        else if (f_out->class_number > opt.remove_class)
          f_out->class_number--;
      }
      if (opt.skip_sequences.given && in_range(opt.skip_sequences, s)) drop = true;
      if (opt.pick_sequences.given && !in_range(opt.pick_sequences, s)) drop = true;
      if (opt.skip_vectors.given && in_range(opt.skip_vectors, n)) drop = true;
      if (opt.pick_vectors.given && !in_range(opt.pick_vectors, n)) drop = true;
      // 64-bit remainders: no overflow for any vector count or offset.
      if ((n + opt.only_every_nth - opt.only_every_nth_offset) % opt.only_every_nth != 0)
        drop = true;
      if (opt.not_every_nth_given &&
          (n + opt.not_every_nth - opt.not_every_nth_offset) % opt.not_every_nth == 0)
        drop = true;
      if (discard_nan || discard_inf) {
        fv_to_double(out->info, f_out, values.data());
        for (int32_t d = 0; d < out->info->dim; d++) {
          if (discard_nan && std::isnan(values[d])) drop = true;
          if (discard_inf && std::isinf(values[d])) drop = true;
        }
      }
      if (opt.not_value_given) {
        fv_to_double(out->info, f_out, values.data());
        for (int32_t d = 0; d < out->info->dim; d++) {
          if (values[d] == opt.not_value) {
            std::fprintf(stderr, "%s: skipping %f\n", PROGRAM, opt.not_value);
            std::fflush(stderr);
            drop = true;
            break;
          }
        }
      }

      if (!drop) {
        fv_sequence_append(out, f_out);
        out->n_expected++;
      }
      fv_clean(in->info, f_in);
      fv_clean(out->info, f_out);
    }

    if (opt.shift_labelling != 0) shift_labelling(out, opt.shift_labelling);
    if (out->n > 0) {
      if (conversion != nullptr) fv_label_lister_apply(conversion, out);
      fv_sequence_write(out, stdout);
      if (std::fflush(stdout) != 0) fatal_system_error(PROGRAM);
    }
    fv_delete(f_in);
    fv_delete(f_out);
    fv_sequence_delete(out);
    fv_sequence_delete(in);
    s++;
  }

  warn_range(opt.pick_sequences, "only-sequences", s);
  warn_range(opt.skip_sequences, "not-sequences", s);
  warn_range(opt.pick_vectors, "only-vectors", n);
  warn_range(opt.skip_vectors, "not-vectors", n);

  if (opt.remove_class_given && max_class < opt.remove_class) {
    std::fprintf(stderr,
                 "%s warning: --remove_class=%d: such a high class number never occured (max = "
                 "%d)\n",
                 PROGRAM, opt.remove_class, max_class);
    std::exit(1);
  }
  if (indexfile != nullptr) {
    int c = std::getc(indexfile);
    if (c == EOF && std::ferror(indexfile)) fatal_system_error(opt.indexfilename);
    if (c != EOF) fatal_error("%s error: indexfile too long!\n", PROGRAM);
    std::fclose(indexfile);
  }
  fv_label_index_delete(admitted_index);
  fv_label_lister_delete(admitted);
  fv_label_lister_delete(conversion);
  if (std::fflush(stdout) != 0) fatal_system_error(PROGRAM);
  return 0;
}
