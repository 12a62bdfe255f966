// Appending vectors to and removing them from a sequence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fv.h"
#include "fv_test_util.h"

using fvtest::lit;

namespace {

// A sequence of n one-dimensional int32 vectors holding 0 .. n-1, each
// labelled "vI".
fv_sequence *numbered_sequence(int n) {
  fv_sequence *s = fv_sequence_create(FV_INT32, 1, FV_LABELLING_LABEL_STRING,
                                      0, "s", 0, 0, nullptr);
  fv *f = fv_create(s->info);
  for (int32_t i = 0; i < n; i++) {
    int32_t_to_fv(s->info, &i, f);
    fv_label(f, ("v" + std::to_string(i)).c_str());
    fv_sequence_append(s, f);
  }
  fv_delete(f);
  return s;
}

std::vector<int32_t> values_of(const fv_sequence *s) {
  std::vector<int32_t> out;
  for (int32_t i = 0; i < s->n; i++) {
    int32_t v;
    fv_to_int32_t(s->info, s->vectors[i], &v);
    EXPECT_EQ(std::string(s->vectors[i]->label), "v" + std::to_string(v));
    out.push_back(v);
  }
  return out;
}

}  // namespace

TEST(FvSequenceEdit, AppendGrowsAndCopies) {
  fv_sequence *s = fv_sequence_create(FV_DOUBLE, 2, FV_LABELLING_LABEL_STRING,
                                      1, nullptr, 0, 0, nullptr);
  fv *f = fv_create(s->info);
  double v[2] = {1, 2};
  double_to_fv(s->info, v, f);
  fv_label(f, "keep");
  *(char *)f->adata = 'q';
  fv_sequence_append(s, f);
  EXPECT_EQ(s->n, 1);
  EXPECT_EQ(s->num_allocated, 1000);
  EXPECT_STREQ(s->vectors[0]->label, "keep");
  EXPECT_NE(s->vectors[0]->label, f->label);  // the caller keeps its vector
  EXPECT_EQ(*(char *)s->vectors[0]->adata, 'q');
  for (int i = 1; i < 1000; i++) fv_sequence_append(s, f);
  EXPECT_EQ(s->num_allocated, 1000);
  fv_sequence_append(s, f);  // the 1001st
  EXPECT_EQ(s->n, 1001);
  EXPECT_EQ(s->num_allocated, 2111);
  double out[2];
  fv_to_double(s->info, s->vectors[1000], out);
  EXPECT_EQ(out[1], 2);
  EXPECT_STREQ(f->label, "keep");
  fv_delete(f);
  fv_sequence_delete(s);
}

TEST(FvSequenceEdit, RemoveOne) {
  fv_sequence *s = numbered_sequence(5);
  fv_sequence_remove(s, 4);
  fv_sequence_remove(s, 0);
  fv_sequence_remove(s, 1);
  EXPECT_EQ(values_of(s), (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(s->num_allocated, 997);
  fv_sequence_append(s, s->vectors[0]);
  EXPECT_EQ(values_of(s), (std::vector<int32_t>{1, 3, 1}));
  fv_sequence_delete(s);
  s = numbered_sequence(1);
  for (int i : {1, -1}) {
    EXPECT_EXIT(fv_sequence_remove(s, i), testing::ExitedWithCode(1),
                lit("fv_sequence_remove: illegal index " + std::to_string(i) + " (n = 1)"));
  }
  fv_sequence_remove(s, 0);
  EXPECT_EXIT(fv_sequence_remove(s, 0), testing::ExitedWithCode(1), lit("fv_sequence_remove: illegal index 0 (n = 0)"));
  fv_sequence_delete(s);
}

TEST(FvSequenceEdit, RemoveRange) {
  fv_sequence *s = numbered_sequence(10);
  fv_sequence_remove_range(s, 2, 4);
  EXPECT_EQ(s->n, 7);
  EXPECT_EQ(s->num_allocated, 997);
  EXPECT_EQ(values_of(s), (std::vector<int32_t>{0, 1, 5, 6, 7, 8, 9}));
  fv_sequence_remove_range(s, 6, 6);
  fv_sequence_remove_range(s, 0, 0);
  EXPECT_EQ(values_of(s), (std::vector<int32_t>{1, 5, 6, 7, 8}));
  for (auto [from, to] : {std::pair{3, 2}, {-1, 2}, {0, 5}, {5, 5}}) {
    const std::string range = std::to_string(from) + "/" + std::to_string(to);
    EXPECT_EXIT(fv_sequence_remove_range(s, from, to), testing::ExitedWithCode(1),
                lit("fv_sequence_remove_range: illegal indices " + range + " (n = 5)"));
  }
  fv_sequence_remove_range(s, 0, 4);
  EXPECT_EQ(s->n, 0);
  fv_sequence_delete(s);

  // Removing everything that was allocated leaves an empty array.
  fv_sequence *t = numbered_sequence(3);
  fv_sequence_free(t);
  fv_sequence_init_default(t, 1, 0, nullptr, 0);
  fv *f = fv_create(t->info);
  fv_sequence_allocate(t, 2);
  fv_sequence_append(t, f);
  fv_sequence_append(t, f);
  fv_sequence_remove_range(t, 0, 1);
  EXPECT_EQ(t->num_allocated, 0);
  EXPECT_EQ(t->vectors, nullptr);
  fv_sequence_append(t, f);  // grows again from nothing
  EXPECT_EQ(t->num_allocated, 1000);
  fv_delete(f);
  fv_sequence_delete(t);
}
