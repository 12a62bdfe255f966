// Records of the feature-vector library: descriptions, vectors, sequences, appending and removing vectors.
#include "fv.h"
#include "reference.h"
#include "vec.h"

namespace {

const auto lit = ref::re_quote;

// A sequence of n one-dimensional int32 vectors holding 0 .. n-1, each labelled "vI".
fv_sequence *numbered_sequence(int n) {
  vp::Seq q{true, "s", FV_INT32, 1, FV_LABELLING_LABEL_STRING, 0, "", {}};
  for (int i = 0; i < n; i++) q.v.push_back({{(double)i}, true, "v" + std::to_string(i), 0, ""});
  return sequence_of(q);
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

TEST(FvInfo, SizesTemplatesNamesAndLayout) {
  const int sizes[] = {4, 8, 12, 4};
  const char *names[] = {"float", "double", "long double", "int32_t"};
  for (int t = 0; t < 4; t++) {
    fv_info *i = fv_info_create(t, 5, FV_LABELLING_LABEL_STRING, 7);
    EXPECT_EQ(std::make_tuple(i->itemsize, i->read_itemsize, std::string(fv_datatype_name(t))),
              std::make_tuple(sizes[t], sizes[t], std::string(names[t])));
    i->did_warn_NAN = 1;
    fv_info *copy = fv_info_create_from_template(i);
    EXPECT_EQ(std::memcmp(copy, i, sizeof(fv_info)), 0);
    fv_info other;
    fv_info_init_from_template(&other, i);
    EXPECT_EQ(fv_info_is_equal(&other, i), 1);
    other.dim = 4;
    EXPECT_EQ(fv_info_is_equal(&other, i), 0);
    fv_info_free(&other);
    fv_info_delete(copy);
    fv_info_delete(i);
  }
  fv_info *d = fv_info_create_default(3, 1);
  EXPECT_EQ(d->datatype, FV_FLOAT);
  fv_info_delete(d);
  EXPECT_EQ(std::string(fv_datatype_name(4)) + fv_datatype_name(-1) + fv_labelling_name(2),
            "UNKNOWN/INVALIDUNKNOWN/INVALIDlabel strings");
  // A vector is one block; dimension 0 has no data area but its own additional data.
  Vec wide(FV_LDOUBLE, {0, 0, 0}, FV_LABELLING_LABEL_STRING, 5), none(FV_FLOAT, {}, FV_LABELLING_NONE, 4);
  EXPECT_EQ((char *)wide.f->adata, (char *)wide.f->data + 36);
  EXPECT_EQ(none.f->data, nullptr);
  EXPECT_EQ((char *)none.f->adata, (char *)none.f + sizeof(fv));
}

TEST(Fv, CopiesAndExtras) {
  Vec va(FV_DOUBLE, {1.25, -8}, FV_LABELLING_LABEL_STRING, 3), vc(FV_DOUBLE, {5, 6}, FV_LABELLING_LABEL_STRING, 3);
  fv_info &info = va.info;
  fv *a = va.f, *c = vc.f;
  double got[2];
  fv_label(a, "rest");
  fv_class(a, 9);
  std::memcpy(a->adata, "xyz", 3);
  fv *b = fv_duplicate(&info, a);
  EXPECT_EQ(std::make_tuple(std::string(b->label), b->class_number, std::string((char *)b->adata, 3)),
            std::make_tuple(std::string("rest"), 9, std::string("xyz")));
  EXPECT_EQ(std::memcmp(b->data, a->data, 16), 0);
  // Extras only: the data stay; a source without label leaves none.
  fv_label(c, "old");
  fv_copy_extras(&info, a, c);
  EXPECT_STREQ(c->label, "rest");
  fv_to_double(&info, c, got);
  EXPECT_EQ(got[1], 6);
  fv_label(a, nullptr);
  fv_copy_extras(&info, a, c);
  EXPECT_EQ(c->label, nullptr);
  fv_label(c, "again");
  fv_clean(&info, c);
  EXPECT_EQ(c->label, nullptr);
  fv_delete(b);
}

TEST(Fv, ConcatenateAndSubset) {
  Vec va(FV_INT32, {1, 2}), vb(FV_INT32, {3, 4, 5}), vc(FV_INT32, std::vector<double>(5)), vz(FV_INT32, {});
  Vec vsub(FV_INT32, std::vector<double>(3));
  fv_info &i2 = va.info, &i3 = vb.info, &i5 = vc.info, &i0 = vz.info;
  fv *a = va.f, *b = vb.f, *c = vc.f, *z = vz.f, *sub = vsub.f;
  int32_t out[5];
  fv_concatenate_data(&i2, a, &i3, b, &i5, c);
  fv_to_int32_t(&i5, c, out);
  EXPECT_EQ(std::vector<int32_t>(out, out + 5), (std::vector<int32_t>{1, 2, 3, 4, 5}));
  // Multiple: vectors (not pointers) placed one after the other.
  fv_info infos[3] = {i3, i0, i2};
  fv vectors[3] = {*b, *z, *a};
  fv_concatenate_data_multiple(infos, vectors, 3, &i5, c);
  fv_to_int32_t(&i5, c, out);
  EXPECT_EQ(std::vector<int32_t>(out, out + 5), (std::vector<int32_t>{3, 4, 5, 1, 2}));
  fv_copy_data_subset(&i5, c, &i3, sub, 1);
  fv_to_int32_t(&i3, sub, out);
  EXPECT_EQ(std::vector<int32_t>(out, out + 3), (std::vector<int32_t>{4, 5, 1}));
  EXPECT_DEATH(fv_copy_data_subset(&i5, c, &i3, sub, 3),
               lit("Assertion `(int64_t)info_sub->dim + start <= info_orig->dim' failed."));
  EXPECT_DEATH(fv_concatenate_data(&i2, a, &i2, a, &i5, c),
               lit("info_orig->dim + info_append->dim == info_concatenated->dim"));
  Vec d3(FV_FLOAT, {0, 0, 0});
  EXPECT_DEATH(fv_concatenate_data(&i2, a, &d3.info, b, &i5, c), "datatype");
  infos[1] = i3;
  EXPECT_DEATH(fv_concatenate_data_multiple(infos, vectors, 3, &i5, c),
               lit("n_concatenated + infos[i].dim <= info_concatenated->dim"));
  EXPECT_DEATH(fv_concatenate_data_multiple(infos, vectors, 1, &i5, c), lit("n_concatenated == info_concatenated->dim"));
}

TEST(FvDeath, Preconditions) {
  EXPECT_DEATH(fv_delete(nullptr), lit("Assertion `f != NULL' failed."));
  EXPECT_DEATH(fv_info_delete(nullptr), lit("Assertion `info != NULL' failed."));
  fv_info info;
  fv_info_init(&info, FV_FLOAT, 1, 0, 0);
  info.itemsize = 0;
  EXPECT_DEATH(fv_create(&info), lit("Assertion `info->itemsize != 0' failed."));
  fv_sequence seq;
  fv_sequence_init_default(&seq, 1, 0, nullptr, 0);
  seq.info->itemsize = 0;
  EXPECT_DEATH(fv_sequence_allocate(&seq, 3), lit("Assertion `seq->info->itemsize != 0' failed."));
  seq.info->itemsize = 4;
  seq.seq_data_len = 3;
  EXPECT_DEATH(fv_sequence_free(&seq), lit("seq->seq_data != NULL"));
  seq.seq_data_len = 0;
  seq.num_allocated = 2;
  EXPECT_DEATH(fv_sequence_free(&seq), lit("seq->vectors != NULL"));
  seq.num_allocated = 0;
  fv_sequence_free(&seq);
}

TEST(FvSequence, InitVariants) {
  const char sd[3] = {'a', 0, 'b'};
  fv_sequence *s = fv_sequence_create(FV_DOUBLE, 4, FV_LABELLING_CLASS_NUMBER, 2, "walk", 17, 3, sd);
  EXPECT_EQ(std::make_tuple(s->version, std::string(s->name), (void *)s->vectors),
            std::make_tuple(10000, std::string("walk"), nullptr));
  // From a template: its description and sequence data (own copies), a new name and n_expected, and maybe another data
  // type.
  fv_sequence *t = fv_sequence_create_from_template(s, nullptr, -1);
  EXPECT_TRUE(t->name == nullptr && t->n_expected == -1);
  EXPECT_TRUE(t->seq_data != s->seq_data && std::memcmp(t->seq_data, sd, 3) == 0);
  EXPECT_TRUE(t->info != s->info && fv_info_is_equal(t->info, s->info) == 1);
  fv_sequence v;
  fv_sequence *w = fv_sequence_create_from_template_with_datatype(s, "w", 1, FV_LDOUBLE);
  EXPECT_EQ(w->info->itemsize, 12);
  fv_sequence_init_from_info(&v, s->info, "v", 2, 0, nullptr);
  EXPECT_TRUE(v.seq_data == nullptr && v.info->adata_len == 2);
  fv_sequence_free(&v);
  fv_sequence *d = fv_sequence_create_default(6, FV_LABELLING_LABEL_STRING, "d", 0);
  EXPECT_EQ(d->info->datatype, FV_FLOAT);
  for (fv_sequence *q : {d, w, t, s, (fv_sequence *)nullptr}) fv_sequence_delete(q);
  fv_sequence_free(nullptr);
  EXPECT_EXIT(fv_sequence_init(&v, -2, 3, 0, 0, "x", 0, 0, nullptr), testing::ExitedWithCode(1),
              lit("fv_info_init: unknown feature datatype -2!"));
}

// Growth by the fixed formula (n * 10 / 9 + 1000), shrinking with each removal, and every refusal of a bad index.
TEST(FvSequence, AllocateAppendAndRemove) {
  fv_sequence *s = fv_sequence_create_default(2, FV_LABELLING_LABEL_STRING, "a", 0);
  fv_sequence_allocate(s, 1000);
  fv *keep = s->vectors[7];
  fv_sequence_allocate(s, 1500);  // existing vectors are kept
  EXPECT_EQ(s->vectors[7], keep);
  fv_label(s->vectors[1200], "far");  // labels beyond n are released too
  s->n = 2;
  fv_sequence_allocate(s, 1);  // shrinking cuts n
  EXPECT_EQ(std::make_pair(s->num_allocated, s->n), std::make_pair(1, 1));
  fv_sequence_delete(s);

  s = numbered_sequence(1000);
  EXPECT_EQ(s->num_allocated, 1000);
  fv_sequence_append(s, s->vectors[5]);  // the 1001st, a copy
  EXPECT_EQ(s->num_allocated, 2111);
  EXPECT_NE(s->vectors[1000]->label, s->vectors[5]->label);
  fv_sequence_remove_range(s, 10, 1000);
  fv_sequence_remove(s, 9);
  fv_sequence_remove(s, 0);
  fv_sequence_remove(s, 1);
  EXPECT_EQ(values_of(s), (std::vector<int32_t>{1, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(s->num_allocated, 2111 - 994);
  fv_sequence_remove_range(s, 6, 6);
  fv_sequence_remove_range(s, 0, 0);
  EXPECT_EQ(values_of(s), (std::vector<int32_t>{3, 4, 5, 6, 7}));
  for (auto [from, to] : {std::pair{3, 2}, {-1, 2}, {0, 5}, {5, 5}})
    EXPECT_EXIT(fv_sequence_remove_range(s, from, to), testing::ExitedWithCode(1),
                lit("fv_sequence_remove_range: illegal indices " + std::to_string(from) + "/" + std::to_string(to) +
                    " (n = 5)"));
  for (int i : {5, -1})
    EXPECT_EXIT(fv_sequence_remove(s, i), testing::ExitedWithCode(1),
                lit("fv_sequence_remove: illegal index " + std::to_string(i) + " (n = 5)"));
  fv_sequence_delete(s);

  // Removing everything that was allocated leaves an empty array, which grows again from nothing.
  s = fv_sequence_create_default(1, 0, nullptr, 0);
  fv *f = fv_create(s->info);
  fv_sequence_allocate(s, 2);
  fv_sequence_append(s, f);
  fv_sequence_append(s, f);
  fv_sequence_remove_range(s, 0, 1);
  EXPECT_TRUE(s->num_allocated == 0 && s->vectors == nullptr);
  fv_sequence_append(s, f);
  EXPECT_EQ(s->num_allocated, 1000);
  fv_delete(f);
  fv_sequence_delete(s);
}
