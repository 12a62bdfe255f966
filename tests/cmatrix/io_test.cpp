// Matrix file formats: binary stream and text round trips, every message of the readers on malformed input, the exact
// text forms, and PGM output checked by netpbm's readers.
#include <unistd.h>

#include <sstream>

#include "cmatrix.h"
#include "reference.h"
#include "testsupport.h"

namespace {

using ref::re_quote;
using testsupport::stream_of;
using testsupport::written;

std::string binary_header(int32_t h, int32_t w) { return testsupport::le32(h) + testsupport::le32(w); }

std::string doubles(std::initializer_list<double> v) {
  std::string s;
  for (double d : v) s += testsupport::le_double(d);
  return s;
}

// Two matrices written and read back, the second with NaN and infinity (a warning each way), then the end of the stream
// without a message.
TEST(CmatrixBinaryStream, RoundTripWarningsAndQuietEnd) {
  const std::vector<double> values = ref::random_stream(6, 3, -10, 10);
  cmatrix *a = cmatrix_create_from_double_star(2, 3, values.data()), *b = cmatrix_create_zero(4, 1), rb;
  b->data[1][0] = NAN;
  b->data[2][0] = -INFINITY;
  b->data[3][0] = -1e300;
  const std::string inf_warning = " warning: one or more values was INF\n";
  const std::string nan_warning = " warning: one or more values was NAN\n";
  testing::internal::CaptureStderr();
  const std::string bytes = written([&](FILE *f) {
    cmatrix_write(a, f);
    cmatrix_write(b, f);
  });
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cmatrix_write_data_double" + inf_warning + "cmatrix_write_data_double" + nan_warning);
  FILE *f = stream_of(bytes);
  testing::internal::CaptureStderr();
  cmatrix *ra = cmatrix_create_from_file(f);
  ASSERT_EQ(cmatrix_init_from_file(&rb, f), 1);
  EXPECT_EQ(cmatrix_create_from_file(f), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cmatrix_read_data_double" + inf_warning + "cmatrix_read_data_double" + nan_warning);
  std::fclose(f);
  ASSERT_TRUE(ra != nullptr && ra->height == 2 && ra->width == 3 && rb.height == 4);
  EXPECT_EQ(std::memcmp(ra->data[0], a->data[0], 6 * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(rb.data[0], b->data[0], 4 * sizeof(double)), 0);  // NaN too, bit for bit
  cmatrix_delete(ra);
  cmatrix_free(&rb);
  // Reading into a matrix of the caller's.
  cmatrix_set(a, 0);
  f = stream_of(doubles({1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(cmatrix_read_data_double(a, f), 1);
  EXPECT_EQ(std::vector<double>(a->data[0], a->data[0] + 6), (std::vector<double>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(cmatrix_read_data_double(a, f), 0);  // at the end
  std::fclose(f);
  cmatrix_delete(a);
  cmatrix_delete(b);
}

// A damaged header claiming a huge matrix costs no huge allocation.
TEST(CmatrixBinaryStream, MalformedStreamsAndFailingStreamsEndWithAMessage) {
  const std::string E = "cmatrix_init_from_file error: ";
  const auto read = [](const std::string &bytes) {
    return [bytes] {
      cmatrix m;
      cmatrix_init_from_file(&m, stream_of(bytes));
    };
  };
  cmatrix m, dest, *big = cmatrix_create_zero(200, 200);
  cmatrix_init(&dest, 2, 2);
  ref::expect_refusals({
      {read(binary_header(2, 2).substr(0, 5)), E + "unexpected end of file inside a matrix header (5 of 8 bytes)\n"},
      {read(binary_header(2, 2) + doubles({1, 2, 3})), E + "unexpected end of file after 3 of 4 values of a 2*2 matrix\n"},
      {read(binary_header(2, 2)), "after 0 of 4 values"},
      {read(binary_header(-1, 2)), E + "invalid matrix size -1*2 in the stream\n"},
      {read(binary_header(100000, 100000) + doubles({1})), "after 1 of 10000000000 values of a 100000*100000"},
      {read(binary_header(2000000000, 2000000000) + doubles({1})), E + "matrix size 2000000000*2000000000 is too large\n"},
      {[&] { cmatrix_read_data_double(&dest, stream_of(doubles({1}))); },
       "cmatrix_read_data_double error: unexpected end of file after 1 of 4 values of a 2*2 matrix\n"},
      {[&] { cmatrix_init_from_file(&m, std::fopen("/dev/null", "wb")); }, "cmatrix_init_from_file: Bad file descriptor\n"},
      {[&] { cmatrix_init_from_ascii(&m, std::fopen("/dev/null", "wb")); }, "cmatrix_init_from_ascii: Bad file descriptor\n"},
      {[&] { cmatrix_write(big, std::fopen("/dev/full", "wb")); }, "No space left on device"},
      {[&] { cmatrix_write_ascii(big, std::fopen("/dev/full", "w")); }, "cmatrix_write_ascii: No space left"},
  });
  cmatrix_free(&dest);
  cmatrix_delete(big);
  // An empty matrix is a valid stream element.
  FILE *f = stream_of(binary_header(0, 3) + binary_header(1, 1) + doubles({5}));
  cmatrix e, one;
  ASSERT_EQ(cmatrix_init_from_file(&e, f), 1);
  EXPECT_EQ(std::make_pair(e.height, e.width), std::make_pair(0, 3));
  ASSERT_EQ(cmatrix_init_from_file(&one, f), 1);
  EXPECT_EQ(one.data[0][0], 5);
  std::fclose(f);
  cmatrix_free(&one);
}

cmatrix *parse(const std::string &text, std::string *err = nullptr) {
  FILE *f = stream_of(text);
  testing::internal::CaptureStderr();
  cmatrix *m = cmatrix_create_from_ascii(f);
  std::string e = testing::internal::GetCapturedStderr();
  if (err) *err = e;
  std::fclose(f);
  return m;
}

TEST(CmatrixTextInput, CommentsRowsAndTheEmptyLineThatEndsTheMatrix) {
  std::string err;
  const struct {
    std::string text, err;
    int height, width;
    std::vector<double> values;  // NaN compares by its text below
  } cases[] = {
      {"# coefficients\n1 2 3\n4 5 6\n\n7 8 9\n", "cmatrix_init_from_ascii: comment line: # coefficients\n", 2, 3,
       {1, 2, 3, 4, 5, 6}},
      {"\n  \n1.5e3\t-2 \r\n# later\n3 4 5 extra\nnan inf\nend\n9 9\n",
       "comment line: # later\n", 3, 2, {1500, -2, 3, 4, NAN, INFINITY}},  // extra values ignored
  };
  for (const auto &c : cases) {
    cmatrix *m = parse(c.text, &err);
    ASSERT_EQ(std::make_pair(m->height, m->width), std::make_pair(c.height, c.width));
    EXPECT_EQ(::testing::PrintToString(std::vector<double>(m->data[0], m->data[0] + c.values.size())),
              ::testing::PrintToString(c.values));
    EXPECT_EQ(err, c.err);
    cmatrix_delete(m);
  }
}

TEST(CmatrixTextInput, RoundTripOfTheTextWriters) {
  const std::vector<double> values = ref::random_stream(35, 4, -1e6, 1e6);
  cmatrix *a = cmatrix_create_from_double_star(5, 7, values.data());
  for (auto writer : {cmatrix_write_ascii, cmatrix_write_octave}) {
    std::string text = written([&](FILE *f) { writer(a, f); });
    cmatrix *b = parse(text);
    ASSERT_EQ(std::make_pair(b->height, b->width), std::make_pair(5, 7));
    for (int k = 0; k < 35; k++) EXPECT_NEAR(b->data[k / 7][k % 7], values[k], 1e-14 * std::fabs(values[k]));
    cmatrix_delete(b);
  }
  cmatrix_delete(a);
}

// Malformed text ends with a message; the limits include the last allowed size.
TEST(CmatrixTextInput, MessagesOnMalformedTextAndLimits) {
  std::string wide, tall;
  for (int i = 0; i < 99999; i++) wide += "2 ", tall += "1\n";
  const std::string E = "cmatrix_init_from_ascii: ";
  const struct {
    std::string text, message;
  } cases[] = {
      {"", E + "no data.\n"},
      {"1 2 x3\n", "cmatrix_init_from_ascii:\nerror at pos 4 when trying to parse line \"1 2 x3\"\n"},
      {"1 2 3\n4 5\n", E + "error at pos 3 when trying to parse line \"4 5\"\n"},
      {std::string(1000000, '1') + "\n", E + "line 0 is too long (>= 1000000).\n"},
      {"1\n2\n" + std::string(999999, '3') + "\n", E + "line 2 is too long (>= 1000000).\n"},
      {wide + "2 \n", "read_alloc_ascii_matrix: line is too long: >= 100000 items.\n"},
      {tall + "1\n", E + "too many lines: >= 100000\n"},
  };
  for (const auto &c : cases)
    EXPECT_EXIT(cmatrix_create_from_ascii(stream_of(c.text)), testing::ExitedWithCode(1), re_quote(c.message));
  // The largest that fit: 99999 columns, 99999 rows, 999,999 characters.
  cmatrix *fit[] = {parse(wide + "\n"), parse(tall), parse(std::string(999997, ' ') + "7\n")};
  EXPECT_EQ(std::make_tuple(fit[0]->width, fit[1]->height, fit[2]->data[0][0]), std::make_tuple(99999, 99999, 7.0));
  for (cmatrix *m : fit) cmatrix_delete(m);
}

TEST(CmatrixTextOutput, ExactForms) {
  const double d[4] = {1.5, -2.75, 0, 123.9};
  cmatrix *m = cmatrix_create_from_double_star(2, 2, d);
  EXPECT_EQ(written([&](FILE *f) { cmatrix_write_ascii(m, f); }), "1.500000000000000e+00 -2.750000000000000e+00 \n"
            "0.000000000000000e+00 1.239000000000000e+02 \n");
  EXPECT_EQ(written([&](FILE *f) { cmatrix_write_asciif(m, f); }), "1.500000000000000 -2.750000000000000 \n"
            "0.000000000000000 123.900000000000006 \n");
  EXPECT_EQ(written([&](FILE *f) { cmatrix_write_asciii(m, f); }), "1 -2 \n0 123 \n");
  // Widest: trunc(log10(123) + 3) = 5.
  EXPECT_EQ(written([&](FILE *f) { cmatrix_write_asciiif(m, f); }), "    1   -2\n    0  123\n");

  const char *rows[2] = {"r1", "row_two"};
  const char *cols[2] = {"a", "bb"};
  // Left width max(4 + 1, 7 + 2) = 9; columns max(3, 3) and max(4, 5).
  EXPECT_EQ(written([&](FILE *f) { cmatrix_write_table(m, "name", rows, cols, "g", f); }),
            "     name  a   bb\n       r11.5-2.75\n  row_two  0123.9\n");
  cmatrix_delete(m);

  // A vector is written as the matrix of one column.
  const double v[2] = {1.5, -0.25};
  const std::string column = "1.500000000000000e+00 \n-2.500000000000000e-01 \n";
  EXPECT_EQ(written([&](FILE *f) { vector_write_ascii(v, 2, f); }), column);
  const std::string octave =
      "# created for Octave with cmatrix_write_octave\n# name: x\n# type: matrix\n# rows: 2\n# columns: 1\n" + column;
  cmatrix *s = cmatrix_create_from_double_star(2, 1, v);
  EXPECT_EQ(written([&](FILE *f) { cmatrix_write_octave(s, f); }), octave);
  cvector cv;
  cvector_init_from_double(&cv, v, 2);
  EXPECT_EQ(written([&](FILE *f) { cvector_write_octave(&cv, f); }), octave);
  cvector_free(&cv);
  cmatrix_delete(s);
}

const std::string PGM_HEADER_START = "P5\n# stragestly, there must be two lines \n"
    "# of comments for xv to accept this file! here we are!\n";

TEST(CmatrixPgm, BytesScaleBetweenMinimumAndMaximum) {
  const double d[6] = {0, 1, 2, 3, 4, NAN};
  cmatrix *m = cmatrix_create_from_double_star(2, 3, d);
  cmatrix *c = cmatrix_create(3, 2);
  cmatrix_set(c, 42.0);
  EXPECT_EQ(written([&](FILE *f) { cmatrix_write_pgm(m, f); }),
            PGM_HEADER_START + "3 2\n255\n" + std::string("\x00\x40\x80\xc0\xff\x00", 6));
  EXPECT_EQ(written([&](FILE *f) { cmatrix_write_pgm(c, f); }), PGM_HEADER_START + "2 3\n255\n" + std::string(6, '\0'));
  cmatrix_delete(m);
  cmatrix_delete(c);
}

TEST(CmatrixPgm, AcceptedByNetpbm) {
  ASSERT_EQ(access("/usr/bin/pamfile", X_OK), 0) << "netpbm is not installed";
  testsupport::TempDir dir;
  cmatrix *m = cmatrix_create(4, 5);
  for (int k = 0; k < 20; k++) m->data[k / 5][k % 5] = k;
  FILE *f = std::fopen(dir.file("m.pgm").c_str(), "wb");
  cmatrix_write_pgm(m, f);
  std::fclose(f);
  auto info = testsupport::run("/usr/bin/pamfile", {dir.file("m.pgm")});
  EXPECT_NE(info.out.find("PGM raw, 5 by 4"), std::string::npos) << info.out;
  auto plain = testsupport::run("/usr/bin/pnmtoplainpnm", {dir.file("m.pgm")});
  EXPECT_EQ(plain.status, 0) << plain.err;
  // Values 0 ... 19 scaled by 256 / 19, the maximum clipped to 255.
  std::istringstream plain_text(plain.out);
  std::string magic;
  int w = 0, h = 0, maxval = 0;
  plain_text >> magic >> w >> h >> maxval;
  EXPECT_EQ(std::make_tuple(magic, w, h, maxval), std::make_tuple(std::string("P2"), 5, 4, 255));
  for (int v = 0; v < 20; v++) {
    int b = -1;
    plain_text >> b;
    EXPECT_EQ(b, v == 19 ? 255 : (int)(v / 19.0 * 256)) << "pixel " << v;
  }
  cmatrix_delete(m);
}

}  // namespace
