// Records of the feature-vector library: descriptions, vectors, sequences.
#include <gtest/gtest.h>

#include <cstring>

#include "fv.h"
#include "fv_test_util.h"

using fvtest::lit;

TEST(FvInfo, SizesTemplatesNamesAndLayout) {
  const int sizes[] = {4, 8, 12, 4};
  const char *names[] = {"float", "double", "long double", "int32_t"};
  for (int t = 0; t < 4; t++) {
    fv_info *i = fv_info_create(t, 5, FV_LABELLING_LABEL_STRING, 7);
    EXPECT_EQ(i->itemsize, sizes[t]);
    EXPECT_EQ(i->read_itemsize, sizes[t]);
    EXPECT_STREQ(fv_datatype_name(t), names[t]);
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
  EXPECT_STREQ(fv_datatype_name(4), "UNKNOWN/INVALID");
  EXPECT_STREQ(fv_datatype_name(-1), "UNKNOWN/INVALID");
  EXPECT_STREQ(fv_labelling_name(2), "label strings");
  EXPECT_EXIT(fv_info_create(7, 3, 0, 0), testing::ExitedWithCode(1), lit("fv_info_init: unknown feature datatype 7!"));
  // A vector is one block; dimension 0 has no data area but its own
  // additional data.
  fv_info info;
  fv_info_init(&info, FV_LDOUBLE, 3, FV_LABELLING_LABEL_STRING, 5);
  fv *f = fv_create(&info);
  EXPECT_EQ((char *)f->adata, (char *)f->data + 36);
  fv_delete(f);
  fv_info_init(&info, FV_FLOAT, 0, FV_LABELLING_NONE, 4);
  f = fv_create(&info);
  EXPECT_EQ(f->data, nullptr);
  EXPECT_EQ((char *)f->adata, (char *)f + sizeof(fv));
  std::memset(f->adata, 0xab, 4);
  fv_delete(f);
}

TEST(Fv, CopiesAndExtras) {
  fv_info info;
  fv_info_init(&info, FV_DOUBLE, 2, FV_LABELLING_LABEL_STRING, 3);
  fv *a = fv_create(&info);
  double va[2] = {1.25, -8};
  double_to_fv(&info, va, a);
  fv_label(a, "rest");
  fv_class(a, 9);
  std::memcpy(a->adata, "xyz", 3);

  fv *b = fv_duplicate(&info, a);
  EXPECT_STREQ(b->label, "rest");
  EXPECT_NE(b->label, a->label);  // an own copy
  EXPECT_EQ(b->class_number, 9);
  EXPECT_EQ(std::memcmp(b->adata, "xyz", 3), 0);
  EXPECT_EQ(std::memcmp(b->data, a->data, 16), 0);

  // Extras only: the data stay.
  fv *c = fv_create(&info);
  double vc[2] = {5, 6};
  double_to_fv(&info, vc, c);
  fv_label(c, "old");
  fv_copy_extras(&info, a, c);
  EXPECT_STREQ(c->label, "rest");
  double got[2];
  fv_to_double(&info, c, got);
  EXPECT_EQ(got[0], 5);
  EXPECT_EQ(got[1], 6);

  // A source without label leaves the destination without one.
  fv_label(a, nullptr);
  EXPECT_EQ(a->label, nullptr);
  fv_copy_extras(&info, a, c);
  EXPECT_EQ(c->label, nullptr);

  fv_copy_data(&info, a, c);
  fv_to_double(&info, c, got);
  EXPECT_EQ(got[0], 1.25);

  fv_label(c, "again");
  fv_clean(&info, c);
  EXPECT_EQ(c->label, nullptr);
  fv_delete(a);
  fv_delete(b);
  fv_delete(c);

  // Without label strings, labels are neither copied nor cleaned.
  fv_info_init(&info, FV_FLOAT, 1, FV_LABELLING_CLASS_NUMBER, 0);
  fv *d = fv_create(&info), *e = fv_create(&info);
  fv_class(d, -4);
  fv_copy(&info, d, e);
  EXPECT_EQ(e->class_number, -4);
  EXPECT_EQ(e->label, nullptr);
  fv_delete(d);
  fv_delete(e);
}

TEST(Fv, ConcatenateAndSubset) {
  fv_info i2, i3, i5;
  fv_info_init(&i2, FV_INT32, 2, 0, 0);
  fv_info_init(&i3, FV_INT32, 3, 0, 0);
  fv_info_init(&i5, FV_INT32, 5, 0, 0);
  fv *a = fv_create(&i2), *b = fv_create(&i3), *c = fv_create(&i5);
  int32_t va[2] = {1, 2}, vb[3] = {3, 4, 5}, out[5];
  int32_t_to_fv(&i2, va, a);
  int32_t_to_fv(&i3, vb, b);
  fv_concatenate_data(&i2, a, &i3, b, &i5, c);
  fv_to_int32_t(&i5, c, out);
  for (int k = 0; k < 5; k++) EXPECT_EQ(out[k], k + 1);

  // Multiple: vectors (not pointers) placed one after the other.
  fv_info i0;
  fv_info_init(&i0, FV_INT32, 0, 0, 0);
  fv_info infos[3] = {i3, i0, i2};
  fv *z = fv_create(&i0);
  fv vectors[3] = {*b, *z, *a};
  fv_concatenate_data_multiple(infos, vectors, 3, &i5, c);
  fv_to_int32_t(&i5, c, out);
  const int32_t expect[5] = {3, 4, 5, 1, 2};
  for (int k = 0; k < 5; k++) EXPECT_EQ(out[k], expect[k]);

  // Subset: features 1..3 of (3, 4, 5, 1, 2).
  fv *sub = fv_create(&i3);
  fv_copy_data_subset(&i5, c, &i3, sub, 1);
  int32_t s3[3];
  fv_to_int32_t(&i3, sub, s3);
  EXPECT_EQ(s3[0], 4);
  EXPECT_EQ(s3[1], 5);
  EXPECT_EQ(s3[2], 1);

  EXPECT_DEATH(fv_copy_data_subset(&i5, c, &i3, sub, 3),
               lit("Assertion `(int64_t)info_sub->dim + start <= info_orig->dim' failed."));
  EXPECT_DEATH(fv_concatenate_data(&i2, a, &i2, a, &i5, c),
               lit("info_orig->dim + info_append->dim == info_concatenated->dim"));
  fv_info d3;
  fv_info_init(&d3, FV_FLOAT, 3, 0, 0);
  EXPECT_DEATH(fv_concatenate_data(&i2, a, &d3, b, &i5, c), "datatype");
  infos[1] = i3;
  EXPECT_DEATH(fv_concatenate_data_multiple(infos, vectors, 3, &i5, c),
               lit("n_concatenated + infos[i].dim <= info_concatenated->dim"));
  EXPECT_DEATH(fv_concatenate_data_multiple(infos, vectors, 1, &i5, c),
               lit("n_concatenated == info_concatenated->dim"));
  fv_delete(sub);
  fv_delete(z);
  fv_delete(a);
  fv_delete(b);
  fv_delete(c);
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
  EXPECT_DEATH(fv_sequence_allocate(&seq, 3),
               lit("Assertion `seq->info->itemsize != 0' failed."));
  seq.info->itemsize = 4;
  seq.seq_data_len = 3;
  EXPECT_DEATH(fv_sequence_free(&seq),
               lit("seq->seq_data != NULL"));
  seq.seq_data_len = 0;
  seq.num_allocated = 2;
  EXPECT_DEATH(fv_sequence_free(&seq), lit("seq->vectors != NULL"));
  seq.num_allocated = 0;
  fv_sequence_free(&seq);
}

TEST(FvSequence, InitVariants) {
  const char sd[3] = {'a', 0, 'b'};
  fv_sequence *s = fv_sequence_create(FV_DOUBLE, 4, FV_LABELLING_CLASS_NUMBER, 2, "walk", 17, 3, sd);
  EXPECT_EQ(s->version, 10000);
  EXPECT_STREQ(s->name, "walk");
  EXPECT_EQ(s->vectors, nullptr);
  EXPECT_NE(s->seq_data, (const void *)sd);
  EXPECT_EQ(std::memcmp(s->seq_data, sd, 3), 0);
  // From a template: its description and sequence data (own copies), a new
  // name and n_expected, and maybe another data type.
  fv_sequence *t = fv_sequence_create_from_template(s, nullptr, -1);
  EXPECT_EQ(t->name, nullptr);
  EXPECT_EQ(t->n_expected, -1);
  EXPECT_NE(t->seq_data, s->seq_data);
  EXPECT_EQ(std::memcmp(t->seq_data, sd, 3), 0);
  EXPECT_NE(t->info, s->info);
  EXPECT_EQ(fv_info_is_equal(t->info, s->info), 1);
  fv_sequence u;
  fv_sequence_init_from_template_with_datatype(&u, s, "u", 5, FV_INT32);
  EXPECT_EQ(u.info->itemsize, 4);
  EXPECT_EQ(u.info->dim, 4);
  fv_sequence_free(&u);
  fv_sequence *w = fv_sequence_create_from_template_with_datatype(s, "w", 1, FV_LDOUBLE);
  EXPECT_EQ(w->info->itemsize, 12);
  fv_sequence_delete(w);
  fv_sequence v;
  fv_sequence_init_from_info(&v, s->info, "v", 2, 0, nullptr);
  EXPECT_EQ(v.seq_data, nullptr);
  EXPECT_EQ(v.info->adata_len, 2);
  fv_sequence_free(&v);
  fv_sequence *d = fv_sequence_create_default(6, FV_LABELLING_LABEL_STRING, "d", 0);
  EXPECT_EQ(d->info->datatype, FV_FLOAT);
  fv_sequence_delete(d);
  fv_sequence_delete(t);
  fv_sequence_delete(s);
  fv_sequence_delete(nullptr);
  fv_sequence_free(nullptr);
  EXPECT_EXIT(fv_sequence_init(&v, -2, 3, 0, 0, "x", 0, 0, nullptr), testing::ExitedWithCode(1),
              lit("fv_info_init: unknown feature datatype -2!"));
}

TEST(FvSequence, AllocateAndFreeAllVectors) {
  fv_sequence *s = fv_sequence_create_default(2, FV_LABELLING_LABEL_STRING, "a", 0);
  fv_sequence_allocate(s, 1000);
  EXPECT_EQ(s->num_allocated, 1000);
  EXPECT_EQ(s->n, 0);
  for (int i = 0; i < 1000; i++) ASSERT_NE(s->vectors[i], nullptr);
  fv *keep = s->vectors[7];
  fv_sequence_allocate(s, 1500);  // existing vectors are kept
  EXPECT_EQ(s->vectors[7], keep);
  // Labels beyond n are released too (the sanitizer build checks leaks).
  fv_label(s->vectors[1200], "far");
  s->n = 2;
  fv_sequence_allocate(s, 1);  // shrinking cuts n
  EXPECT_EQ(s->num_allocated, 1);
  EXPECT_EQ(s->n, 1);
  fv_sequence_allocate(s, 1000);
  s->n = 2;
  fv_sequence_delete(s);
}
