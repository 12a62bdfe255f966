// Label tables: building from sequences, look-up, applying, both file
// formats with their messages, and release.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fv.h"
#include "reference.h"
#include "testsupport.h"

namespace {

const auto lit = ref::re_quote;

// A sequence with label strings; a null entry is an absent label.
fv_sequence *labelled_sequence(const std::vector<const char *> &labels) {
  fv_sequence *seq = fv_sequence_create_default(2, FV_LABELLING_LABEL_STRING, "s", 0);
  fv *f = fv_create(seq->info);
  float x[2];
  for (size_t i = 0; i < labels.size(); i++) {
    x[0] = static_cast<float>(i);
    x[1] = -static_cast<float>(i);
    float_to_fv(seq->info, x, f);
    fv_label(f, labels[i]);
    fv_sequence_append(seq, f);
    seq->n_expected++;
  }
  fv_delete(f);
  return seq;
}

fv_sequence *class_sequence(int count) {
  fv_sequence *seq = fv_sequence_create_default(1, FV_LABELLING_CLASS_NUMBER, "c", 0);
  fv *f = fv_create(seq->info);
  for (int i = 0; i < count; i++) {
    fv_class(f, i);
    fv_sequence_append(seq, f);
  }
  fv_delete(f);
  return seq;
}

std::vector<std::string> labels_of(const fv_label_lister *table) {
  return std::vector<std::string>(table->labels, table->labels + table->num_classes);
}

// A FILE holding `bytes`, positioned at the start.
FILE *file_with(const std::string &bytes) {
  FILE *f = std::tmpfile();
  if (f == nullptr) std::abort();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

std::string table_file_text(const fv_label_lister *table) {
  FILE *f = std::tmpfile();
  fv_label_lister_write(table, f);
  std::rewind(f);
  std::string text;
  for (int c; (c = std::getc(f)) != EOF;) text += static_cast<char>(c);
  std::fclose(f);
  return text;
}

fv_label_lister *read_table_text(const std::string &text) {
  FILE *f = file_with(text);
  fv_label_lister *table = fv_label_lister_create_from_file(f);
  std::fclose(f);
  return table;
}

fv_label_lister *read_list_text(const std::string &text) {
  FILE *f = file_with(text);
  fv_label_lister *table = fv_label_lister_create_from_asciifile(f);
  std::fclose(f);
  return table;
}

// A table made from a list of labels, in that order.
fv_label_lister *table_of(const std::string &lines) { return read_list_text(lines); }

}  // namespace

// --- Building from sequences ------------------------------------------------

TEST(LabelTableBuild, MultipleSequencesAndAbsentLabels) {
  fv_sequence *s1 = labelled_sequence({"walk", nullptr, "rest"});
  fv_sequence *s2 = labelled_sequence({});
  fv_sequence *s3 = labelled_sequence({"task", "walk", nullptr});
  fv_sequence *all[] = {s1, s2, s3};
  fv_label_lister table;
  fv_label_lister_init_from_multiple_sequences(&table, all, 3);
  // An absent label names no class.
  EXPECT_EQ(labels_of(&table), (std::vector<std::string>{"rest", "task", "walk"}));
  fv_label_lister_free(&table);
  for (auto *s : all) fv_sequence_delete(s);
}

TEST(LabelTableBuild, EmptyInputGivesEmptyTableThatCanBeReleased) {
  fv_sequence *seq = labelled_sequence({nullptr, nullptr});
  fv_label_lister *table = fv_label_lister_create(seq);
  EXPECT_EQ(table->num_classes, 0);
  EXPECT_EQ(fv_label_lister_find_label(table, "x"), -1);
  EXPECT_EQ(table_file_text(table), "label_lister\n0\n");
  fv_label_lister_delete(table);
  fv_label_lister table2;
  fv_label_lister_init_from_multiple_sequences(&table2, nullptr, 0);
  EXPECT_EQ(table2.num_classes, 0);
  fv_label_lister_free(&table2);
  fv_sequence_delete(seq);
}

TEST(LabelTableBuild, RandomLabelsMatchSortedSet) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; round++) {
    // Enough distinct labels to make the array grow several times.
    int count = std::uniform_int_distribution<int>(0, 700)(rng);
    std::vector<std::string> words;
    std::set<std::string> expected;
    for (int i = 0; i < count; i++) {
      std::string w;
      int len = std::uniform_int_distribution<int>(1, 4)(rng);
      for (int k = 0; k < len; k++)
        w += static_cast<char>(std::uniform_int_distribution<int>('a', 'h')(rng));
      words.push_back(w);
      expected.insert(w);
    }
    std::vector<const char *> ptrs;
    for (auto &w : words) ptrs.push_back(w.c_str());
    // Split over two sequences.
    size_t half = ptrs.size() / 2;
    fv_sequence *a = labelled_sequence({ptrs.begin(), ptrs.begin() + half});
    fv_sequence *b = labelled_sequence({ptrs.begin() + half, ptrs.end()});
    fv_sequence *both[] = {a, b};
    fv_label_lister table;
    fv_label_lister_init_from_multiple_sequences(&table, both, 2);
    ASSERT_EQ(labels_of(&table), std::vector<std::string>(expected.begin(), expected.end()));
    for (const auto &w : words)
      EXPECT_EQ(table.labels[fv_label_lister_find_label(&table, w.c_str())], w);
    fv_label_lister_free(&table);
    fv_sequence_delete(a);
    fv_sequence_delete(b);
  }
}

TEST(LabelTableBuildDeath, SequenceWithoutLabelStrings) {
  fv_sequence *s1 = labelled_sequence({"a"});
  fv_sequence *s2 = class_sequence(2);
  fv_sequence *both[] = {s1, s2};
  fv_label_lister table;
  EXPECT_EXIT(fv_label_lister_init_from_multiple_sequences(&table, both, 2),
              testing::ExitedWithCode(1),
              lit("fv_label_lister_init_from_multiple_sequences error: sequence 1 has no label "
                  "strings!\n"));
  EXPECT_EXIT(fv_label_lister_init(&table, s2), testing::ExitedWithCode(1),
              lit("fv_label_lister_init error: sequence 0 has no label strings!\n"));
  EXPECT_EXIT(fv_label_lister_create(s2), testing::ExitedWithCode(1),
              lit("fv_label_lister_create error: sequence 0 has no label strings!\n"));
  fv_sequence_delete(s1);
  fv_sequence_delete(s2);
}

// --- Look-up and applying ---------------------------------------------------

TEST(LabelTableLookup, FindLabel) {
  fv_label_lister *table = table_of("rest\ntask\n");
  EXPECT_EQ(fv_label_lister_find_label(table, "rest"), 0);
  EXPECT_EQ(fv_label_lister_find_label(table, "task"), 1);
  EXPECT_EQ(fv_label_lister_find_label(table, "walk"), -1);
  EXPECT_EQ(fv_label_lister_find_label(table, "tas"), -1);
  EXPECT_EQ(fv_label_lister_find_label(table, "task "), -1);
  EXPECT_EQ(fv_label_lister_find_label(table, ""), -1);
  EXPECT_EQ(fv_label_lister_find_label(table, nullptr), -1);
  fv_label_lister_delete(table);
}

TEST(LabelTableApply, SequenceBecomesClassNumbers) {
  fv_sequence *seq = labelled_sequence({"task", "rest", "task", "walk"});
  fv_label_lister *table = table_of("walk\nrest\ntask\n");
  fv_label_lister_apply(table, seq);
  EXPECT_EQ(seq->info->labelling, FV_LABELLING_CLASS_NUMBER);
  std::vector<int> classes;
  for (int i = 0; i < seq->n; i++) {
    classes.push_back(seq->vectors[i]->class_number);
    EXPECT_EQ(seq->vectors[i]->label, nullptr);
  }
  EXPECT_EQ(classes, (std::vector<int>{2, 1, 2, 0}));
  // The data are untouched.
  float x[2];
  fv_to_float(seq->info, seq->vectors[3], x);
  EXPECT_EQ(x[0], 3.0f);
  EXPECT_EQ(x[1], -3.0f);
  fv_label_lister_delete(table);
  fv_sequence_delete(seq);
}

TEST(LabelTableApplyDeath, RefusalsNameTheProblem) {
  fv_label_lister *table = table_of("rest\ntask\n");
  fv_sequence *unknown = labelled_sequence({"rest", "walk", "run"});
  // Stops at the first unknown label.
  EXPECT_EXIT(fv_label_lister_apply(table, unknown), testing::ExitedWithCode(1),
              lit("fv_label_lister_apply error: could not find label walk\n"));
  fv_sequence *absent = labelled_sequence({"rest", nullptr});
  EXPECT_EXIT(fv_label_lister_apply(table, absent), testing::ExitedWithCode(1),
              lit("fv_label_lister_apply error: could not find label: vector 1 has no label!\n"));
  fv_sequence *classes = class_sequence(2);
  EXPECT_EXIT(fv_label_lister_apply(table, classes), testing::ExitedWithCode(1),
              lit("fv_label_lister_apply error: sequence has no label strings!\n"));
  fv_sequence_delete(unknown);
  fv_sequence_delete(absent);
  fv_sequence_delete(classes);
  fv_label_lister_delete(table);
}

TEST(LabelTableApply, OnceAndLookup) {
  fv_label_lister *table = table_of("rest\ntask\n");
  fv_info *info = fv_info_create(FV_DOUBLE, 1, FV_LABELLING_LABEL_STRING, 0);
  fv_info *info_new = fv_info_create_from_template(info);
  fv *f = fv_create(info);
  fv_label(f, "task");
  EXPECT_EQ(fv_label_lister_lookup(table, info, f), 1);
  fv_label_lister_apply_once(table, info, info_new, f);
  EXPECT_EQ(f->class_number, 1);
  EXPECT_EQ(f->label, nullptr);
  EXPECT_EQ(info_new->labelling, FV_LABELLING_CLASS_NUMBER);
  EXPECT_EQ(info->labelling, FV_LABELLING_LABEL_STRING);

  fv_label(f, "walk");
  EXPECT_EXIT(fv_label_lister_apply_once(table, info, info_new, f), testing::ExitedWithCode(1),
              lit("fv_label_lister_apply_once error: could not find label walk\n"));
  EXPECT_EXIT(fv_label_lister_lookup(table, info, f), testing::ExitedWithCode(1),
              lit("label_lister_lookup error: label walk not found.\n"));
  fv_label(f, nullptr);
  EXPECT_EXIT(fv_label_lister_apply_once(table, info, info_new, f), testing::ExitedWithCode(1),
              lit("fv_label_lister_apply_once error: could not find label: the vector has no "
                  "label!\n"));
  EXPECT_EXIT(fv_label_lister_lookup(table, info, f), testing::ExitedWithCode(1),
              lit("label_lister_lookup error: vector has no label!\n"));
  // A description without label strings.
  EXPECT_EXIT(fv_label_lister_apply_once(table, info_new, info_new, f),
              testing::ExitedWithCode(1),
              lit("fv_label_lister_apply_once error: this vector has no label strings!\n"));
  EXPECT_EXIT(fv_label_lister_lookup(table, info_new, f), testing::ExitedWithCode(1),
              lit("label_lister_lookup error: vector has no label!\n"));
  fv_delete(f);
  fv_info_delete(info);
  fv_info_delete(info_new);
  fv_label_lister_delete(table);
}

// --- Table files ------------------------------------------------------------

TEST(LabelTableFile, ReadsAndWritesTheFormat) {
  const std::string longest(998, 'q');
  struct Case {
    std::string text;
    std::vector<std::string> labels;
  } cases[] = {
      {"label_lister\n2\nrest\ntask\n", {"rest", "task"}},
      {"label_lister\n  3 \n\n\nx y\n\tz\nlast", {"x y", "\tz", "last"}},  // blank lines, no last line feed
      {"label_lister\n1\na\nb\n", {"a"}},  // labels after the count are not read
      {"label_lister\n2\n" + longest + "\nb\n", {longest, "b"}},
  };
  for (const Case &c : cases) {
    fv_label_lister *table = read_table_text(c.text);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(labels_of(table), c.labels);
    fv_label_lister_delete(table);
  }
  fv_label_lister *table = table_of("rest\ntask\n");
  EXPECT_EQ(table_file_text(table), "label_lister\n2\nrest\ntask\n");
  EXPECT_EQ(fv_label_lister_find_label(table, "walk"), -1);
  fv_label_lister_delete(table);
  // An empty file is no table.
  EXPECT_EQ(read_table_text(""), nullptr);
  fv_label_lister t;
  FILE *f = file_with("");
  EXPECT_EQ(fv_label_lister_init_from_file(&t, f), 0);
  std::fclose(f);
}

TEST(LabelTableFile, RoundTripOfRandomTables) {
  std::mt19937 rng(11);
  for (int round = 0; round < 30; round++) {
    std::set<std::string> distinct;
    int count = std::uniform_int_distribution<int>(0, 300)(rng);
    while (static_cast<int>(distinct.size()) < count) {
      // Printable bytes, blanks inside, up to the longest label a line holds.
      int len = std::uniform_int_distribution<int>(1, round == 0 ? 998 : 20)(rng);
      std::string w;
      for (int k = 0; k < len; k++)
        w += static_cast<char>(std::uniform_int_distribution<int>(33, 126)(rng));
      if (std::uniform_int_distribution<int>(0, 3)(rng) == 0 && len > 2) w[1] = ' ';
      distinct.insert(w);
    }
    // Keep a random order: a table file is not sorted.
    std::vector<std::string> order(distinct.begin(), distinct.end());
    std::shuffle(order.begin(), order.end(), rng);
    std::string list;
    for (auto &w : order) list += w + "\n";
    fv_label_lister *table = count > 0 ? read_list_text(list) : nullptr;
    if (table == nullptr) {
      fv_sequence *empty = labelled_sequence({});
      table = fv_label_lister_create(empty);
      fv_sequence_delete(empty);
    }
    std::string text = table_file_text(table);
    fv_label_lister *back = read_table_text(text);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(labels_of(back), order);
    EXPECT_EQ(table_file_text(back), text);
    fv_label_lister_delete(table);
    fv_label_lister_delete(back);
  }
}

TEST(LabelTableFileDeath, EveryReadMessage) {
  const std::string not_table = "label_lister_read error: this is not a label table file!\n";
  const std::string no_count = "label_lister_read: unexpected end of file when trying to read num_classes!\n";
  const std::string not_number = "label_lister_read error: the number of classes is not a number!\n";
  const struct {
    std::string text, message;
  } cases[] = {
      {"label_listers\n1\na\n", not_table},
      {"label_lister", not_table},
      {"\n", not_table},
      {"label_lister\n", no_count},
      {"label_lister\n \n\n", no_count},
      {"label_lister\n3\nrest\ntask\n", "label_lister_read: unexpected end of file when trying to read label[2]!\n"},
      {"label_lister\n3\nrest\n\ntask\n", "label_lister_read: short label for class 1: ''!\n"},
      {"label_lister\nthree\na\n", not_number},
      {"label_lister\n2x\na\nb\n", not_number},
      {"label_lister\n-2\na\nb\n", "label_lister_read error: invalid number of classes -2!\n"},
      {"label_lister\n99999999999\na\n", "label_lister_read error: invalid number of classes 99999999999!\n"},
      // A defect count larger than the file ends at the file's end, not in
      // an attempt to allocate two billion labels.
      {"label_lister\n2147483647\na\n", "label_lister_read: unexpected end of file when trying to read label[1]!\n"},
      {"label_lister\n2\n" + std::string(999, 'x') + "\nb\n",
       "label_lister_read error: label for class 0 is longer than 998 characters!\n"},
  };
  for (const auto &c : cases)
    EXPECT_EXIT(read_table_text(c.text), testing::ExitedWithCode(1), lit(c.message)) << c.text;
}

TEST(LabelTableFileDeath, SystemErrors) {
  testsupport::TempDir dir;
  // Reading a folder fails with the system's error, not as an empty file.
  FILE *folder = std::fopen(dir.path().c_str(), "r");
  ASSERT_NE(folder, nullptr);
  fv_label_lister table;
  EXPECT_EXIT(fv_label_lister_init_from_file(&table, folder), testing::ExitedWithCode(1),
              lit("fv_label_lister_init_from_file: Is a directory\n"));
  EXPECT_EXIT(fv_label_lister_create_from_file(folder), testing::ExitedWithCode(1),
              lit("fv_label_lister_create_from_file: Is a directory\n"));
  EXPECT_EXIT(fv_label_lister_init_from_asciifile(&table, folder), testing::ExitedWithCode(1),
              lit("fv_label_lister_init_from_asciifile: Is a directory\n"));
  std::fclose(folder);

  FILE *full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  fv_label_lister *t = table_of("rest\ntask\n");
  EXPECT_EXIT(fv_label_lister_write(t, full), testing::ExitedWithCode(1),
              lit("fv_label_lister_write: No space left on device\n"));
  std::fclose(full);
  fv_label_lister_delete(t);
}

TEST(LabelTableFileDeath, UnstorableLabelsAreRefusedBeforeWriting) {
  const char *bad[] = {"line\nfeed", "", nullptr};
  std::string too_long(999, 'y');
  bad[2] = too_long.c_str();
  for (const char *label : bad) {
    fv_sequence *seq = labelled_sequence({"a", label});
    fv_label_lister *table = fv_label_lister_create(seq);
    // "" sorts first, the others after "a".
    int index = label[0] == '\0' ? 0 : 1;
    FILE *f = std::tmpfile();
    EXPECT_EXIT(fv_label_lister_write(table, f), testing::ExitedWithCode(1),
                lit("fv_label_lister_write error: label " + std::to_string(index) +
                    " cannot be stored in a table file"));
    std::fseek(f, 0, SEEK_END);
    EXPECT_EQ(std::ftell(f), 0) << "nothing written before the refusal";
    std::fclose(f);
    fv_label_lister_delete(table);
    fv_sequence_delete(seq);
  }
  // White space in front of the first label would be skipped on reading.
  fv_label_lister *leading = table_of(" a\nb\n");
  FILE *f = std::tmpfile();
  EXPECT_EXIT(fv_label_lister_write(leading, f), testing::ExitedWithCode(1),
              lit("fv_label_lister_write error: label 0 cannot be stored"));
  std::fclose(f);
  fv_label_lister_delete(leading);
  // ... but is fine further down.
  fv_label_lister *inner = table_of("a\n b\n");
  fv_label_lister *back = read_table_text(table_file_text(inner));
  EXPECT_EQ(labels_of(back), (std::vector<std::string>{"a", " b"}));
  fv_label_lister_delete(inner);
  fv_label_lister_delete(back);
}

// --- Plain label lists ------------------------------------------------------

TEST(LabelList, KeepsTheFileOrder) {
  fv_label_lister *table = read_list_text("task\nrest\nwalk");
  EXPECT_EQ(labels_of(table), (std::vector<std::string>{"task", "rest", "walk"}));
  EXPECT_EQ(fv_label_lister_find_label(table, "walk"), 2);
  fv_label_lister_delete(table);
  fv_label_lister init;
  FILE *f = file_with("x\ny\n");
  fv_label_lister_init_from_asciifile(&init, f);
  std::fclose(f);
  EXPECT_EQ(labels_of(&init), (std::vector<std::string>{"x", "y"}));
  fv_label_lister_free(&init);
}

TEST(LabelListDeath, EveryMessage) {
  EXPECT_EXIT(read_list_text("a\nb\nc\nb\n"), testing::ExitedWithCode(1),
              lit("fv_label_lister_create_from_asciifile error: label b (line 4) is duplicate!\n"));
  fv_label_lister table;
  FILE *dup = file_with("a\na\n");
  EXPECT_EXIT(fv_label_lister_init_from_asciifile(&table, dup), testing::ExitedWithCode(1),
              lit("fv_label_lister_init_from_asciifile error: label a (line 2) is duplicate!\n"));
  std::fclose(dup);
  EXPECT_EXIT(read_list_text(""), testing::ExitedWithCode(1),
              lit("fv_label_lister_create_from_asciifile error: empty file!\n"));
  EXPECT_EXIT(read_list_text("a\n\nb\n"), testing::ExitedWithCode(1),
              lit("fv_label_lister_create_from_asciifile error: empty label (line 2)!\n"));
  EXPECT_EXIT(read_list_text("a\n" + std::string(1200, 'z') + "\n"), testing::ExitedWithCode(1),
              lit("fv_label_lister_create_from_asciifile error: line 2 is longer than 998 "
                  "characters!\n"));
}

// --- Release ----------------------------------------------------------------

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
