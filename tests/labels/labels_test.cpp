// Label tables: building from sequences, look-up, applying, both file formats with their messages, and release.
#include <set>

#include "fv.h"
#include "reference.h"
#include "testsupport.h"

namespace {

const auto lit = ref::re_quote;
using Labels = std::vector<std::string>;

// A sequence with label strings, a null entry an absent label; or, with another `labelling`, one vector per entry.
fv_sequence *labelled_sequence(const std::vector<const char *> &labels, int labelling = FV_LABELLING_LABEL_STRING) {
  fv_sequence *seq = fv_sequence_create_default(2, labelling, "s", 0);
  fv *f = fv_create(seq->info);
  for (size_t i = 0; i < labels.size(); i++) {
    float x[2] = {static_cast<float>(i), -static_cast<float>(i)};
    float_to_fv(seq->info, x, f);
    fv_label(f, labels[i]);
    fv_sequence_append(seq, f);
    seq->n_expected++;
  }
  fv_delete(f);
  return seq;
}

Labels labels_of(const fv_label_lister *table) { return Labels(table->labels, table->labels + table->num_classes); }

std::string table_file_text(const fv_label_lister *table) {
  return testsupport::written([&](FILE *f) { fv_label_lister_write(table, f); });
}

template <typename Read>
auto read_text(const std::string &text, Read read) {
  FILE *f = testsupport::stream_of(text);
  auto *table = read(f);
  std::fclose(f);
  return table;
}
fv_label_lister *read_table_text(const std::string &t) { return read_text(t, fv_label_lister_create_from_file); }
fv_label_lister *table_of(const std::string &t) { return read_text(t, fv_label_lister_create_from_asciifile); }

}  // namespace

// Random labels over two sequences (absent labels among them) against a sorted set; an empty input gives an empty
// table.
TEST(LabelTableBuild, RandomLabelsMatchSortedSet) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; round++) {
    const int count = round == 0 ? 0 : std::uniform_int_distribution<int>(1, 700)(rng);
    std::vector<std::string> words;
    for (int i = 0; i < count; i++) {
      std::string w;
      for (int k = std::uniform_int_distribution<int>(1, 4)(rng); k > 0; k--)
        w += static_cast<char>(std::uniform_int_distribution<int>('a', 'h')(rng));
      words.push_back(w);
    }
    const std::set<std::string> expected(words.begin(), words.end());
    std::vector<const char *> ptrs;
    for (size_t i = 0; i < words.size(); i++) ptrs.push_back(words[i].c_str());
    if (count > 0) ptrs.insert(ptrs.begin() + count / 3, nullptr);  // an absent label names no class
    const size_t half = ptrs.size() / 2;
    fv_sequence *both[] = {labelled_sequence({ptrs.begin(), ptrs.begin() + half}),
                           labelled_sequence({ptrs.begin() + half, ptrs.end()})};
    fv_label_lister table;
    fv_label_lister_init_from_multiple_sequences(&table, both, 2);
    ASSERT_EQ(labels_of(&table), Labels(expected.begin(), expected.end()));
    for (const auto &w : words) EXPECT_EQ(table.labels[fv_label_lister_find_label(&table, w.c_str())], w);
    if (count == 0) {
      EXPECT_EQ(table_file_text(&table), "label_lister\n0\n");
    }
    fv_label_lister_free(&table);
    for (auto *s : both) fv_sequence_delete(s);
  }
  fv_label_lister none;
  fv_label_lister_init_from_multiple_sequences(&none, nullptr, 0);
  EXPECT_EQ(none.num_classes, 0);
  fv_label_lister_free(&none);
}

TEST(LabelTable, FindApplyAndLookup) {
  fv_label_lister *table = table_of("walk\nrest\ntask\n");
  const struct {
    const char *label;
    int index;
  } finds[] = {{"walk", 0}, {"task", 2}, {"run", -1}, {"tas", -1}, {"task ", -1}, {"", -1}, {nullptr, -1}};
  for (const auto &c : finds) EXPECT_EQ(fv_label_lister_find_label(table, c.label), c.index) << c.index;

  fv_sequence *seq = labelled_sequence({"task", "rest", "task", "walk"});
  fv_label_lister_apply(table, seq);
  EXPECT_EQ(seq->info->labelling, FV_LABELLING_CLASS_NUMBER);
  std::vector<int> classes;
  for (int i = 0; i < seq->n; i++) {
    classes.push_back(seq->vectors[i]->class_number);
    EXPECT_EQ(seq->vectors[i]->label, nullptr);
    float x[2];
    fv_to_float(seq->info, seq->vectors[i], x);
    EXPECT_EQ(x[1], -i);  // the data are untouched
  }
  EXPECT_EQ(classes, (std::vector<int>{2, 1, 2, 0}));
  fv_sequence_delete(seq);

  fv_info *info = fv_info_create(FV_DOUBLE, 1, FV_LABELLING_LABEL_STRING, 0);
  fv_info *info_new = fv_info_create_from_template(info);
  fv *f = fv_create(info);
  fv_label(f, "task");
  EXPECT_EQ(fv_label_lister_lookup(table, info, f), 2);
  fv_label_lister_apply_once(table, info, info_new, f);
  EXPECT_EQ(std::make_pair(f->class_number, f->label), std::make_pair(2, (char *)nullptr));
  EXPECT_EQ(std::make_pair((int)info_new->labelling, (int)info->labelling),
            std::make_pair((int)FV_LABELLING_CLASS_NUMBER, (int)FV_LABELLING_LABEL_STRING));
  fv_delete(f);
  for (fv_info *i : {info, info_new}) fv_info_delete(i);
  fv_label_lister_delete(table);
}

TEST(LabelTableDeath, BuildAndApplyRefusals) {
  fv_label_lister *table = table_of("rest\ntask\n");
  fv_sequence *labelled = labelled_sequence({"a"}), *classes = labelled_sequence({"a", "b"}, FV_LABELLING_CLASS_NUMBER);
  fv_sequence *unknown = labelled_sequence({"rest", "walk", "run"}), *absent = labelled_sequence({"rest", nullptr});
  fv_info *info = fv_info_create(FV_DOUBLE, 1, FV_LABELLING_LABEL_STRING, 0);
  fv_info *info_new = fv_info_create_from_template(info);
  info_new->labelling = FV_LABELLING_CLASS_NUMBER;
  fv *walk = fv_create(info), *unlabelled = fv_create(info);
  fv_label(walk, "walk");
  fv_label_lister out;
  ref::expect_refusals({
      {[&] { fv_sequence *both[] = {labelled, classes}; fv_label_lister_init_from_multiple_sequences(&out, both, 2); },
       "fv_label_lister_init_from_multiple_sequences error: sequence 1 has no label strings!\n"},
      {[&] { fv_label_lister_init(&out, classes); }, "fv_label_lister_init error: sequence 0 has no label strings!\n"},
      {[&] { fv_label_lister_create(classes); }, "fv_label_lister_create error: sequence 0 has no label strings!\n"},
      {[&] { fv_label_lister_apply(table, unknown); }, "fv_label_lister_apply error: could not find label walk\n"},
      {[&] { fv_label_lister_apply(table, absent); },
       "fv_label_lister_apply error: could not find label: vector 1 has no label!\n"},
      {[&] { fv_label_lister_apply(table, classes); }, "fv_label_lister_apply error: sequence has no label strings!\n"},
      {[&] { fv_label_lister_apply_once(table, info, info_new, walk); },
       "fv_label_lister_apply_once error: could not find label walk\n"},
      {[&] { fv_label_lister_lookup(table, info, walk); }, "label_lister_lookup error: label walk not found.\n"},
      {[&] { fv_label_lister_apply_once(table, info, info_new, unlabelled); },
       "fv_label_lister_apply_once error: could not find label: the vector has no label!\n"},
      {[&] { fv_label_lister_lookup(table, info, unlabelled); }, "label_lister_lookup error: vector has no label!\n"},
      {[&] { fv_label_lister_apply_once(table, info_new, info_new, walk); },
       "fv_label_lister_apply_once error: this vector has no label strings!\n"},
      {[&] { fv_label_lister_lookup(table, info_new, walk); }, "label_lister_lookup error: vector has no label!\n"},
  });
  for (auto *s : {labelled, classes, unknown, absent}) fv_sequence_delete(s);
  for (fv *f : {walk, unlabelled}) fv_delete(f);
  for (fv_info *i : {info, info_new}) fv_info_delete(i);
  fv_label_lister_delete(table);
}

// Both formats read into a new table and into the caller's, written and read back; defects refused with their messages;
// random tables round-trip.
TEST(LabelTableFile, ReadsTheFormatsRefusesDefectsAndRoundTripsRandomTables) {
  const std::string longest(998, 'q');
  const std::string not_table = "label_lister_read error: this is not a label table file!\n";
  const std::string not_number = "label_lister_read error: the number of classes is not a number!\n";
  const std::string L = "fv_label_lister_create_from_asciifile error: ";
  const struct {
    std::string text;
    bool list;
    Labels labels;
    std::string message = "";  // a refusal's
  } cases[] = {
      {"label_lister\n2\nrest\ntask\n", false, {"rest", "task"}},
      {"label_lister\n  3 \n\n\nx y\n\tz\nlast", false, {"x y", "\tz", "last"}},  // blank lines, no last line feed
      {"label_lister\n1\na\nb\n", false, {"a"}},  // labels after the count are not read
      {"label_lister\n2\n" + longest + "\nb\n", false, {longest, "b"}},
      {"task\nrest\nwalk", true, {"task", "rest", "walk"}},  // a list keeps its order
      {"a\n b\n", true, {"a", " b"}},
      {"label_listers\n1\na\n", false, {}, not_table},
      {"label_lister", false, {}, not_table},
      {"label_lister\n", false, {}, "label_lister_read: unexpected end of file when trying to read num_classes!\n"},
      {"label_lister\n3\nrest\ntask\n", false, {}, "label_lister_read: unexpected end of file when trying to read label[2]!\n"},
      {"label_lister\n3\nrest\n\ntask\n", false, {}, "label_lister_read: short label for class 1: ''!\n"},
      {"label_lister\nthree\na\n", false, {}, not_number},
      {"label_lister\n2x\na\nb\n", false, {}, not_number},
      {"label_lister\n-2\na\nb\n", false, {}, "label_lister_read error: invalid number of classes -2!\n"},
      {"label_lister\n99999999999\na\n", false, {}, "label_lister_read error: invalid number of classes 99999999999!\n"},
      {"label_lister\n" + std::string(40, '7') + "\n", false, {},
       "label_lister_read error: invalid number of classes " + std::string(31, '7') + "...!\n"},  // the first 31 digits
      // A defect count larger than the file ends at its end, allocating nothing.
      {"label_lister\n2147483647\na\n", false, {}, "label_lister_read: unexpected end of file when trying to read label[1]!\n"},
      {"label_lister\n2\n" + std::string(999, 'x') + "\nb\n", false, {},
       "label_lister_read error: label for class 0 is longer than 998 characters!\n"},
      {"a\nb\nc\nb\n", true, {}, L + "label b (line 4) is duplicate!\n"},
      {"", true, {}, L + "empty file!\n"},
      {"a\n\nb\n", true, {}, L + "empty label (line 2)!\n"},
      {"a\n" + std::string(1200, 'z') + "\n", true, {}, L + "line 2 is longer than 998 characters!\n"},
  };
  // The same through the reader that fills a table of the caller's.
  const auto into = [](const std::string &text, bool list) {
    fv_label_lister t;
    FILE *f = testsupport::stream_of(text);
    const int read = list ? (fv_label_lister_init_from_asciifile(&t, f), 1) : fv_label_lister_init_from_file(&t, f);
    std::fclose(f);
    const Labels labels = read ? labels_of(&t) : Labels{"<none>"};
    if (read) fv_label_lister_free(&t);
    return labels;
  };
  for (const auto &c : cases) {
    if (!c.message.empty()) {
      EXPECT_EXIT(c.list ? table_of(c.text) : read_table_text(c.text), testing::ExitedWithCode(1), lit(c.message))
          << c.text;
      continue;
    }
    fv_label_lister *table = c.list ? table_of(c.text) : read_table_text(c.text);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(labels_of(table), c.labels);
    EXPECT_EQ(into(c.text, c.list), c.labels);
    fv_label_lister *back = read_table_text(table_file_text(table));
    EXPECT_EQ(labels_of(back), c.labels);
    fv_label_lister_delete(table);
    fv_label_lister_delete(back);
  }
  EXPECT_EQ(read_table_text(""), nullptr);  // an empty file is no table
  EXPECT_EQ(into("", false), Labels{"<none>"});
  fv_label_lister own;
  EXPECT_EXIT(fv_label_lister_init_from_asciifile(&own, testsupport::stream_of("a\na\n")), testing::ExitedWithCode(1),
              lit("fv_label_lister_init_from_asciifile error: label a (line 2) is duplicate!\n"));

  std::mt19937 rng(11);
  for (int round = 0; round < 30; round++) {
    std::set<std::string> distinct;
    const int count = std::uniform_int_distribution<int>(1, 300)(rng);
    while (static_cast<int>(distinct.size()) < count) {
      // Printable bytes, blanks inside, up to the longest label a line holds.
      const int len = std::uniform_int_distribution<int>(1, round == 0 ? 998 : 20)(rng);
      std::string w;
      for (int k = 0; k < len; k++) w += static_cast<char>(std::uniform_int_distribution<int>(33, 126)(rng));
      if (std::uniform_int_distribution<int>(0, 3)(rng) == 0 && len > 2) w[1] = ' ';
      distinct.insert(w);
    }
    Labels order(distinct.begin(), distinct.end());
    std::shuffle(order.begin(), order.end(), rng);  // a table file is not sorted
    std::string list;
    for (auto &w : order) list += w + "\n";
    fv_label_lister *table = table_of(list);
    const std::string text = table_file_text(table);
    fv_label_lister *back = read_table_text(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(labels_of(back), order);
    EXPECT_EQ(table_file_text(back), text);
    fv_label_lister_delete(table);
    fv_label_lister_delete(back);
  }
}

TEST(LabelTableFileDeath, SystemErrorsAndUnstorableLabels) {
  testsupport::TempDir dir;
  // Reading a folder fails with the system's error, not as an empty file.
  FILE *folder = std::fopen(dir.path().c_str(), "r"), *full = std::fopen("/dev/full", "w");
  ASSERT_TRUE(folder && full);
  fv_label_lister table, *t = table_of("rest\ntask\n");
  ref::expect_refusals({
      {[&] { fv_label_lister_init_from_file(&table, folder); }, "fv_label_lister_init_from_file: Is a directory\n"},
      {[&] { fv_label_lister_create_from_file(folder); }, "fv_label_lister_create_from_file: Is a directory\n"},
      {[&] { fv_label_lister_init_from_asciifile(&table, folder); }, "fv_label_lister_init_from_asciifile: Is a directory\n"},
      {[&] { fv_label_lister_write(t, full); }, "fv_label_lister_write: No space left on device\n"},
  });
  std::fclose(folder);
  std::fclose(full);
  fv_label_lister_delete(t);

  // Labels a table file cannot hold are refused before anything is written; "" sorts first, the others after "a";
  // leading white space would be skipped on reading the first label.
  const std::string too_long(999, 'y');
  const struct {
    std::vector<const char *> labels;
    int index;
  } cases[] = {{{"a", "line\nfeed"}, 1}, {{"a", ""}, 0}, {{"a", too_long.c_str()}, 1}, {{" a", "b"}, 0}};
  for (const auto &c : cases) {
    fv_sequence *seq = labelled_sequence(c.labels);
    fv_label_lister *bad = fv_label_lister_create(seq);
    FILE *f = std::tmpfile();
    EXPECT_EXIT(fv_label_lister_write(bad, f), testing::ExitedWithCode(1),
                lit("fv_label_lister_write error: label " + std::to_string(c.index) +
                    " cannot be stored in a table file"));
    std::fseek(f, 0, SEEK_END);
    EXPECT_EQ(std::ftell(f), 0) << "nothing written before the refusal";
    std::fclose(f);
    fv_label_lister_delete(bad);
    fv_sequence_delete(seq);
  }
}

TEST(LabelTableDeath, ReleasingTwiceIsAProgrammingError) {
  fv_label_lister *table = table_of("a\n");
  fv_label_lister_free(table);
  EXPECT_DEATH(fv_label_lister_free(table), lit("Assertion `table->labels != NULL' failed."));
  std::free(table);
  fv_label_lister broken;
  char *labels[1] = {nullptr};
  broken.num_classes = 1;
  broken.labels = labels;
  EXPECT_DEATH(fv_label_lister_free(&broken), lit("Assertion `table->labels[i] != NULL' failed."));
  fv_label_lister_delete(nullptr);
}
