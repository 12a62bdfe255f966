// The .fv stream: writer output against an independent encoder, round trips, the readers' checks and messages,
// printouts.
#include "fv.h"
#include "reference.h"
#include "testsupport.h"
#include "vec.h"

using testsupport::fv_from_text;
using testsupport::stream_of;
using testsupport::written;
using testsupport::le16;
using testsupport::le32;
using testsupport::le_double;

namespace {

const auto lit = ref::re_quote;

// The writer test's vectors: every field set (the sequence's labelling and adata_len decide which are written), an
// absent label among them.
std::vector<vp::Vec> vectors_for(int type) {
  if (type == FV_INT32)
    return {{{7, -3, 2147483647}, true, "rest", 4, std::string("\x00\x01\x02", 3)},
            {{0, -2147483648.0, 5}, false, "", -7, "\xff\xee\x41"},
            {{1, 2, 3}, true, "task_1", 0, "   "}};
  return {{{1.5, -2.25, 3}, true, "rest", 4, std::string("\x00\x01\x02", 3)},
          {{0.1, 1e-3, 65504}, false, "", -7, "\xff\xee\x41"},
          {{-0.0, 1e30, -7.125}, true, "task_1", 0, "   "}};
}

// A header (name "seq", dimension 2, one vector announced, sequence data `seqdata` in hex) with `bytes` written over it
// at `offset`, for defect streams. Offsets: 0 ID length, 2 ID, 25 and 29 versions, 33 name length, 35 name, 38
// n_expected, 42 sequence data length, 46 + data length: dimension, then item size, data type, label and class flags,
// adata_len.
std::string header(size_t offset = 0, const std::string &bytes = "", const std::string &seqdata = "") {
  std::string h = fv_from_text("seq name=seq dim=2 n_expected=1 seqdata=" + seqdata + "\n");
  return h.replace(offset, bytes.size(), bytes);
}

// Reads headers and their vectors from `bytes` (in a death test).
void read_all(const std::string &bytes) {
  FILE *f = stream_of(bytes);
  fv_sequence seq;
  while (fv_sequence_init_from_file_one(&seq, f)) fv_sequence_free(&seq);
}

}  // namespace

TEST(FvStream, WriterMatchesIndependentEncoderAndReadsBack) {
  for (int type = 0; type < 4; type++)
    for (int labelling = 0; labelling < 3; labelling++)
      for (int adata : {0, 3})
        for (const char *name : {"walk", (const char *)nullptr}) {
          const vp::Seq q{name != nullptr, name ? name : "", type, 3, labelling, adata, "\x01\x02\xff",
                          vectors_for(type)};
          const std::string text = vp::to_text({q});
          fv_sequence *s = sequence_of(q);
          const std::string bytes = written([&](FILE *f) { fv_sequence_write(s, f); });
          EXPECT_EQ(bytes, fv_from_text(text)) << text;
          fv_sequence_delete(s);

          // Read back: labels only where given, and the same bytes written again (so the items are as they were).
          FILE *in = stream_of(bytes);
          fv_sequence *r = fv_sequence_create_from_file_one(in);
          ASSERT_NE(r, nullptr);
          for (int i = 0; i < 3; i++)
            EXPECT_EQ(r->vectors[i]->label != nullptr, labelling == 2 && q.v[i].has_label) << text;
          EXPECT_EQ(fv_sequence_create_from_file_one(in), nullptr);  // end
          EXPECT_EQ(written([&](FILE *f) { fv_sequence_write(r, f); }), bytes);
          std::fclose(in);
          fv_sequence_delete(r);
        }
}

// At the end of the input, the regular end: the record is left without a description.
TEST(FvStream, EndOfInputIsTheRegularEnd) {
  FILE *in = stream_of("");
  fv_sequence seq;
  seq.info = (fv_info *)&seq;  // must be cleared
  EXPECT_EQ(fv_sequence_init_from_header(&seq, in), 0);
  EXPECT_EQ(seq.info, nullptr);
  std::fclose(in);
}

// Streams at the edges (dimension 0, sequence data larger than one read, more vectors than one allocation) read back
// whole and write the same bytes.
TEST(FvStream, EdgeStreamsRoundTrip) {
  std::string many = "seq type=int32 labelling=class\n", big(200000, '\0');
  for (int i = 0; i < 2500; i++) many += std::to_string(i) + " class=" + std::to_string(i % 3) + "\n";
  for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7 + 3);
  fv_sequence *b = fv_sequence_create(FV_FLOAT, 1, 0, 0, "big", 0, (int32_t)big.size(), big.data());
  const std::string streams[] = {
      fv_from_text("seq name=z type=double labelling=class adata=2 dim=0\nclass=3 adata=6162\nclass=4 adata=6364\n"),
      fv_from_text(many), written([&](FILE *f) { fv_sequence_write(b, f); })};
  fv_sequence_delete(b);
  for (const std::string &bytes : streams) {
    FILE *in = stream_of(bytes);
    fv_sequence *s = fv_sequence_create_from_file_one(in);
    std::fclose(in);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(written([&](FILE *f) { fv_sequence_write(s, f); }), bytes);
    EXPECT_EQ(s->num_allocated, s->n);
    fv_sequence_delete(s);
  }
}

TEST(FvStream, WriteWarningsAndNullLabel) {
  fv_sequence *s = fv_sequence_create(FV_FLOAT, 1, FV_LABELLING_LABEL_STRING, 0, "w", 5, 0, nullptr);
  fv *f = fv_create(s->info);
  for (int i = 0; i < 3; i++) fv_sequence_append(s, f);  // null labels
  fv_delete(f);
  testing::internal::CaptureStderr();
  std::string vec_only = written([&](FILE *out) { fv_sequence_write_vectors(s, out); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "fv_sequence_write_vectors warning: n (contained) (3) != n_expected (5)! This will create a defect fv-file!\n");
  EXPECT_EQ(vec_only.size(), 3u * 6u);  // 4 bytes of feature, length 0
  testing::internal::CaptureStderr();
  std::string bytes = written([&](FILE *out) { fv_sequence_write(s, out); });
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "fv_sequence_write warning: n (contained) (3) != n_expected (5). Setting n_expected = n.\n");
  EXPECT_EQ(s->n_expected, 3);
  EXPECT_EQ(bytes, fv_from_text("seq name=w labelling=label\n0 nolabel\n0 nolabel\n0 nolabel\n"));
  fv_sequence_delete(s);
}

// Joined: the vectors in order (values 1 2, 3 4, ...), the first sequence's data; no sequence at all gives an empty
// one, and a leading empty sequence of dimension 0 gives way to the next.
TEST(FvStream, ReadAllJoinsSequences) {
  const struct {
    const char *text;
    int n, seq_data_len;
    std::string labels;  // "-" for an absent one
  } cases[] = {
      {"seq name=a type=double labelling=label seqdata=aa\n1 2 label=p\n3 4 nolabel\n"
       "seq name=b type=double labelling=label\n5 6 label=q\n7 8 label=r\n9 10 label=s\n",
       5, 1, "p - q r s"},
      {"", 0, 0, ""},
      {"seq name=e dim=0 n_expected=0\nseq name=f\n1 2\n", 1, 0, ""},
  };
  for (const auto &c : cases) {
    FILE *in = stream_of(fv_from_text(c.text));
    fv_sequence all;
    EXPECT_EQ(fv_sequence_init_from_file_all(&all, in), 1);
    std::fclose(in);
    EXPECT_STREQ(all.name, "all sequences concatenated");
    EXPECT_EQ(std::make_tuple(all.n, all.n_expected, all.seq_data_len), std::make_tuple(c.n, c.n, c.seq_data_len));
    std::string labels;
    for (int i = 0; i < all.n; i++) {
      double v[2];
      fv_to_double(all.info, all.vectors[i], v);
      EXPECT_EQ(std::make_pair(v[0], v[1]), std::make_pair(2.0 * i + 1, 2.0 * i + 2));
      const char *label = all.vectors[i]->label;
      if (all.info->labelling) labels += std::string(i ? " " : "") + (label ? label : "-");
    }
    EXPECT_EQ(labels, c.labels);
    fv_sequence_free(&all);
  }
}

TEST(FvStreamDeath, ReadAllRefusesDifferentSequences) {
  const std::string E = "fv_sequence_init_from_file_all error: ";
  const struct {
    const char *text;
    std::string message;
  } cases[] = {
      {"seq labelling=class\n1 class=1\nseq labelling=label\n1 nolabel\n",
       E + "sequence 1 has label strings, the sequences before it have class numbers!"},
      {"seq\n1 2\nseq\n1 2 3\n", "sequence 1 has dimension 3, data type float and 0 bytes of additional data per vector, "
                                 "the sequences before it have 2, float and 0!"},
      {"seq\n1 2\nseq type=double\n1 2\n", "data type double"},
      {"seq\n1 2\nseq adata=1\n1 2 adata=00\n", "and 1 bytes of additional data"},
      {"seq n_expected=-1\n1 2\n", E + "online processing impossible!"},
  };
  for (const auto &c : cases) {
    fv_sequence all;
    EXPECT_EXIT(fv_sequence_init_from_file_all(&all, stream_of(fv_from_text(c.text))), testing::ExitedWithCode(1),
                lit(c.message));
  }
}

// The printouts are checked through vecshow's default mode; here what it does not show: another version, long double
// items, no labelling, and a vector of dimension 0.
TEST(FvStream, PrintoutsOfRareCases) {
  fv_sequence *s = fv_sequence_create(FV_LDOUBLE, 0, FV_LABELLING_NONE, 1, nullptr, -1, 0, nullptr);
  s->version = 10203;
  const std::string header = written([&](FILE *f) { fv_sequence_print_header(s, f); });
  for (const char *line : {"- file format version: 10203 (means 1.2.3)\n- name: \"\"\n- n_expected: -1\n",
                           "- size of feature data type: 12 bytes\n- data type: 2 (i.e. long double)\n"
                           "- labelling? no class info\n"})
    EXPECT_NE(header.find(line), std::string::npos) << line;
  fv *v = fv_create(s->info);
  std::memcpy(v->adata, "\x01", 1);
  EXPECT_EQ(written([&](FILE *f) { vecshow(s->info, v, f); }), "\n- additional data:\n.\n");
  fv_delete(v);
  fv_sequence_delete(s);
}

TEST(FvStream, ForeignItemSizeReadsItemByItem) {
  // A description set up by the caller: 4-byte items into 8-byte doubles copy the first 4 bytes of each.
  Vec v(FV_DOUBLE, {0, 0});
  v.info.read_itemsize = 4;
  FILE *in = stream_of(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  fv_read(&v.info, v.f, in);
  EXPECT_EQ(std::string((char *)v.f->data, 16), std::string("\x01\x02\x03\x04\0\0\0\0\x05\x06\x07\x08\0\0\0\0", 16));
  std::fclose(in);
  in = stream_of(std::string("\x01\x02\x03\x04\x05", 5));
  EXPECT_EXIT(fv_read(&v.info, v.f, in), testing::ExitedWithCode(1),
              lit("fv_read error: unexpected end of file when reading feature 1!"));
  std::fclose(in);
}

// Defect streams end with a message naming the defect: bytes written over a header, a header cut short after every
// field, and vector records cut short or broken.
TEST(FvStreamDeath, DefectStreams) {
  const std::string P = "fv_sequence_init_from_header", E = P + " error: ", D = E + "defect fv file (";
  const std::string T = E + "unexpected end of file ", V = "fv_read error: unexpected end of file when reading ";
  const std::string full = header(0, "", "7879"), rec = le_double(1) + le_double(2);
  ASSERT_EQ(full.size(), 60u);
  const auto cut = [&](size_t length) { return full.substr(0, length); };
  // Header bytes with dim 2 come from a dim=2 description without vectors.
  const std::string head_label = fv_from_text("seq type=double labelling=label adata=2 n_expected=1 dim=2\n");
  const std::string head_class = fv_from_text("seq type=double labelling=class n_expected=1 dim=2\n");
  const struct {
    std::string bytes, message;
  } cases[] = {
      {header(0, le16(24)), E + "this is no .fv file (wrong size 24 of ID string)!"},
      {header(24, "X"), E + "this is no .fv file (wrong ID string feature vector sequencX)!"},
      {header(25, le32(9999)),
       P + ": cannot read file version 9999, it's outdated. My version is 10000, and I can versions down to 10000."},
      {header(29, le32(10001)),
       P + ": cannot read file version 10000, I'm outdated. My version is 10000, and this file can only be read "
           "from versions >= 10001"},
      {header(52, "\x01\x01"), E + "both have_label_string and have_class_number are set!"},
      {header(51, "\x09"), "fv_info_init: unknown feature datatype 9!"},
      {header(51, "\x01"),
       P + ": the datatype 1 (double) has the storage size (8) on this machine. You won't be able to process this "
           "file, where the datatype has storage size 4."},
      {header(33, le16(-5)), D + "sequence name length = -5)!"},
      {header(38, le32(-2)), D + "n_expected = -2)!"},
      {header(42, le32(-1)), D + "length of sequence data = -1)!"},
      {header(46, le32(-3)), D + "dimension = -3)!"},
      {header(54, le32(-4)), D + "adata_len = -4)!"},
      {header(46, le32(2147483647)),
       D + "vectors of dimension 2147483647 with 0 bytes of additional data take 8589934588 bytes, more than "
           "2147483647)!"},
      {header(46, le32(536870911) + std::string("\x04\0\0\0", 4) + le32(4)), "take 2147483648 bytes"},  // 2^31 - 4 + 4
      // A huge sequence data length on a short input: the end of the input, without allocating that much first.
      {header(42, le32(2147483647), "616263").substr(0, 49), T + "when reading sequence data!"},
      {cut(1), T + "while reading ID string!"},
      {cut(24), T + "while reading ID string!"},
      {cut(25), T + "when reading file format version!"},
      {cut(29), T + "when reading minimum reader version!"},
      {cut(33), T + "when sequence name length!"},
      {cut(35), T + "when reading name!"},
      {cut(38), T + "when num_fv!"},
      {cut(42), T + "when reading length of sequence data!"},
      {cut(46), T + "when reading sequence data!"},
      {cut(48), T + "when reading dimension!"},
      {cut(52), T + "when reading itemsize!"},
      {cut(53), T + "when reading data type!"},
      {cut(54), T + "when reading label flag!"},
      {cut(55), T + "when reading class flag!"},
      {cut(56), T + "when reading adata_len!"},
      {head_label + rec.substr(0, 15), V + "features"},
      {head_label + rec + "\x05", V + "label string length!"},
      {head_label + rec + le16(-2), "fv_read error: defect fv file (label string length = -2)"},
      {head_label + rec + le16(4) + "abc", V + "label!"},
      {head_label + rec + le16(1) + "a" + "z", V + "adata!"},
      {head_class + rec + "\x01\x02\x03", V + "class number!"},
      {fv_from_text("seq n_expected=-1 dim=1\n"), "fv_sequence_read_vectors error: online processing impossible!"},
  };
  for (const auto &c : cases) EXPECT_EXIT(read_all(c.bytes), testing::ExitedWithCode(1), lit(c.message)) << c.message;
}

TEST(FvStreamDeath, SystemErrorsOverlongNamesAndMissingAreas) {
  FILE *w = std::fopen("/dev/null", "w"), *full = std::fopen("/dev/full", "w"), *tmp = std::tmpfile();
  FILE *in = stream_of("abcdefgh");
  ASSERT_TRUE(w && full);
  std::setvbuf(full, nullptr, _IONBF, 0);
  std::string name(32768, 'n');
  fv_sequence seq, *x = fv_sequence_create_default(2, 0, "x", 0);
  fv_sequence *s = fv_sequence_create_default(1, FV_LABELLING_LABEL_STRING, name.c_str(), 0);
  fv_info one;
  fv_info_init(&one, FV_FLOAT, 1, FV_LABELLING_NONE, 1);
  fv *f = fv_create(x->info), *labelled = fv_create(s->info);
  fv_label(labelled, name.c_str());
  char data[4];
  fv no_data = {nullptr, nullptr, 0, nullptr}, no_adata = {data, nullptr, 0, nullptr};
  ref::expect_refusals({
      {[&] { fv_sequence_init_from_header(&seq, w); }, "fv_sequence_init_from_header: Bad file descriptor"},
      {[&] { fv_read(x->info, f, w); }, "fv_read: Bad file descriptor"},
      {[&] { fv_write(x->info, f, full); }, "fv_write: No space left on device"},
      {[&] { fv_sequence_write_header(s, tmp); },
       "fv_sequence_write_header error: sequence name of 32768 bytes is too long (at most 32767)!"},
      {[&] { fv_write(s->info, labelled, tmp); }, "fv_write error: label of 32768 bytes is too long (at most 32767)!"},
      {[&] { fv_read(&one, &no_data, in); }, "fv_read error: please allocate memory for f->data!"},
      {[&] { fv_read(&one, &no_adata, in); }, "fv_read error: please allocate memory for f->data!"},
  });
  EXPECT_EXIT(fv_sequence_write_header(x, full), testing::ExitedWithCode(1),
              lit("fv_sequence_write_header: error writing int2: w = 0") + "[\n]+" +
                  lit("fv_sequence_write_header: No space left on device"));
  // 32767 bytes are the limit and round-trip.
  name.pop_back();
  fv_label(labelled, name.c_str());
  FILE *back = stream_of(written([&](FILE *f) { fv_write(s->info, labelled, f); }));
  fv *g = fv_create(s->info);
  fv_read(s->info, g, back);
  EXPECT_TRUE(g->label == name);
  for (FILE *file : {w, full, tmp, in, back}) std::fclose(file);
  for (fv *v : {f, g, labelled}) fv_delete(v);
  fv_sequence_delete(x);
  fv_sequence_delete(s);
}
