// The raw frame reader: whole frames, the regular end, the three failures
// with their messages, reading blocks column by column, and the conversion
// into physical units.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvia.h"

namespace {

// A stream over a copy of `bytes` (a real file, so that end of file and
// errors behave as with recordings).
FILE *stream_of(const std::string &bytes) {
  FILE *f = tmpfile();
  EXPECT_NE(f, nullptr);
  if (!bytes.empty()) {
    EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  rewind(f);
  return f;
}

// A stream that hands out `good` bytes of `bytes` and then fails with EIO.
struct failing_source {
  std::string bytes;
  size_t pos = 0;
};

ssize_t failing_read(void *cookie, char *buf, size_t size) {
  auto *s = static_cast<failing_source *>(cookie);
  if (s->pos >= s->bytes.size()) {
    errno = EIO;
    return -1;
  }
  size_t n = std::min(size, s->bytes.size() - s->pos);
  memcpy(buf, s->bytes.data() + s->pos, n);
  s->pos += n;
  return (ssize_t)n;
}

FILE *failing_stream_after(const std::string &good) {
  static failing_source source;  // one such stream per (death-test) process
  source = failing_source{good, 0};
  cookie_io_functions_t io = {failing_read, nullptr, nullptr, nullptr};
  FILE *f = fopencookie(&source, "rb", io);
  setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

std::string frame_bytes(int32_t sec, int32_t usec, const float v[6]) {
  std::string b(32, '\0');
  memcpy(&b[0], &sec, 4);
  memcpy(&b[4], &usec, 4);
  memcpy(&b[8], v, 24);
  return b;
}

// `s` as a regular expression that matches exactly it.
std::string quoted(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (strchr(".^$|()[]{}*+?\\", c)) out += '\\';
    out += c;
  }
  return out;
}

TEST(CorviaReadSample, FrameLayoutIsTheFileLayout) {
  // The bytes of the file, written out by hand in little-endian order.
  const unsigned char bytes[32] = {
      0x01, 0x02, 0x03, 0x04,  // tv_sec 0x04030201
      0xFF, 0xFF, 0xFF, 0xFF,  // tv_usec -1
      0x00, 0x00, 0x80, 0x3F,  // 1.0f
      0x00, 0x00, 0x00, 0xC0,  // -2.0f
      0x00, 0x00, 0x00, 0x00,  // 0.0f
      0x00, 0x00, 0xC0, 0x7F,  // NaN
      0x00, 0x00, 0x80, 0x7F,  // +inf
      0x00, 0x00, 0x20, 0x41,  // 10.0f
  };
  FILE *f = stream_of(std::string((const char *)bytes, 32));
  corvia_data d;
  ASSERT_EQ(corvia_read_sample(f, &d), 1);
  EXPECT_EQ(d.time.tv_sec, 0x04030201);
  EXPECT_EQ(d.time.tv_usec, -1);
  EXPECT_EQ(d.data[0], 1.0f);
  EXPECT_EQ(d.data[1], -2.0f);
  EXPECT_EQ(d.data[2], 0.0f);
  EXPECT_TRUE(std::isnan(d.data[3]));  // values pass unchecked
  EXPECT_EQ(d.data[4], INFINITY);
  EXPECT_EQ(d.data[5], 10.0f);
  EXPECT_EQ(corvia_read_sample(f, &d), 0);
  fclose(f);
}

TEST(CorviaReadSample, TimeFieldsAreNotRangeChecked) {
  const unsigned char head[8] = {0, 0, 0, 0, 0x40, 0x42, 0x0F, 0};
  std::string b((const char *)head, 8);
  b.append(24, '\0');
  FILE *f = stream_of(b);
  corvia_data d;
  ASSERT_EQ(corvia_read_sample(f, &d), 1);
  EXPECT_EQ(d.time.tv_sec, 0);
  EXPECT_EQ(d.time.tv_usec, 1000000);
  fclose(f);
}

TEST(CorviaReadSample, RoundTripOfRandomFrames) {
  std::mt19937 rng(7);
  std::string bytes;
  std::vector<corvia_data> written;
  for (int i = 0; i < 1000; i++) {
    corvia_data d;
    d.time.tv_sec = (int32_t)rng();
    d.time.tv_usec = (int32_t)(rng() % 1000000);
    for (float &v : d.data) {
      uint32_t bits = rng();
      memcpy(&v, &bits, 4);
    }
    written.push_back(d);
    bytes.append((const char *)&d, 32);
  }
  FILE *f = stream_of(bytes);
  corvia_data d;
  for (const corvia_data &w : written) {
    ASSERT_EQ(corvia_read_sample(f, &d), 1);
    EXPECT_EQ(memcmp(&d, &w, 32), 0);  // bit for bit, NaNs included
  }
  EXPECT_EQ(corvia_read_sample(f, &d), 0);
  fclose(f);
}

TEST(CorviaReadSample, EmptyStreamEndsQuietly) {
  FILE *f = stream_of("");
  corvia_data d;
  testing::internal::CaptureStderr();
  EXPECT_EQ(corvia_read_sample(f, &d), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  fclose(f);
}

TEST(CorviaReadSampleDeathTest, TruncatedLastFrame) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const float v[6] = {1, 2, 3, 4, 5, 6};
  const std::string bytes = frame_bytes(1, 2, v) + "x";  // 33 bytes
  EXPECT_EXIT(
      {
        FILE *f = stream_of(bytes);
        corvia_data d;
        if (corvia_read_sample(f, &d) != 1) exit(3);
        corvia_read_sample(f, &d);
        exit(0);
      },
      testing::ExitedWithCode(1),
      "^" + quoted("corvia_read_sample: unexpected end of file: could only "
                   "read 1 instead of 32 bytes!\n") + "$");
}

TEST(CorviaReadSampleDeathTest, ReadErrorAtAFrameBoundary) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        FILE *f = failing_stream_after("");
        corvia_data d;
        corvia_read_sample(f, &d);
        exit(0);
      },
      testing::ExitedWithCode(1),
      "^" + quoted("corvia_read_sample: error reading one raw time-stamped "
                   "sample: Input/output error\n") + "$");
}

TEST(CorviaReadSampleDeathTest, ReadErrorWithinAFrame) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        FILE *f = failing_stream_after(std::string(5, 'a'));
        corvia_data d;
        corvia_read_sample(f, &d);
        exit(0);
      },
      testing::ExitedWithCode(1),
      "^" + quoted("corvia_read_sample: could only read 5 of 32 bytes"
                   "Input/output error\n") + "$");
}

TEST(CorviaReadChunks, StoresColumnsAndTimeStamps) {
  std::string bytes;
  for (int i = 0; i < 7; i++) {
    const float v[6] = {(float)i, i + 0.5f, -(float)i, 100.0f + i, 1e-3f * i, 7.25f};
    bytes += frame_bytes(1000 + i, 10 * i, v);
  }
  FILE *f = stream_of(bytes);
  std::vector<double> cols[6];
  double *chunks[6];
  for (int j = 0; j < 6; j++) {
    cols[j].assign(4, -99.0);
    chunks[j] = cols[j].data();
  }
  int32_t sec[4] = {0}, usec[4] = {0};
  ASSERT_EQ(corvia_read_chunks(f, 4, chunks, sec, usec), 1);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(cols[0][i], (double)i);
    EXPECT_EQ(cols[1][i], i + 0.5);
    EXPECT_EQ(cols[2][i], -(double)i);  // raw, not converted
    EXPECT_EQ(cols[3][i], 100.0 + i);
    EXPECT_EQ(cols[4][i], (double)(1e-3f * i));  // the float widened
    EXPECT_EQ(cols[5][i], 7.25);
    EXPECT_EQ(sec[i], 1000 + i);
    EXPECT_EQ(usec[i], 10 * i);
  }
  // Three frames are left; a request for four stores them and reports the end.
  for (int j = 0; j < 6; j++) cols[j].assign(4, -99.0);
  ASSERT_EQ(corvia_read_chunks(f, 4, chunks, nullptr, nullptr), 0);
  for (int i = 0; i < 3; i++) EXPECT_EQ(cols[0][i], (double)(4 + i));
  EXPECT_EQ(cols[0][3], -99.0);
  // Nothing requested: success without reading.
  EXPECT_EQ(corvia_read_chunks(f, 0, chunks, nullptr, nullptr), 1);
  EXPECT_EQ(corvia_read_chunks(f, -3, nullptr, nullptr, nullptr), 1);
  fclose(f);
}

TEST(CorviaReadChunks, FiveRequestedFromThreeFrames) {
  std::string bytes;
  for (int i = 0; i < 3; i++) {
    const float v[6] = {1.0f + i, 2, 3, 4, 5, 6};
    bytes += frame_bytes(i, i, v);
  }
  FILE *f = stream_of(bytes);
  std::vector<double> cols[6];
  double *chunks[6];
  for (int j = 0; j < 6; j++) {
    cols[j].assign(5, 0.0);
    chunks[j] = cols[j].data();
  }
  int32_t sec[5] = {-1, -1, -1, -1, -1}, usec[5] = {-1, -1, -1, -1, -1};
  EXPECT_EQ(corvia_read_chunks(f, 5, chunks, sec, usec), 0);
  EXPECT_EQ(cols[0], (std::vector<double>{1, 2, 3, 0, 0}));
  EXPECT_EQ(sec[2], 2);
  EXPECT_EQ(sec[3], -1);
  fclose(f);
}

TEST(CorviaReadChunksDeathTest, TruncatedFrameInsideABlockIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const float v[6] = {0, 0, 0, 0, 0, 0};
  const std::string bytes = frame_bytes(0, 0, v) + frame_bytes(0, 0, v).substr(0, 20);
  EXPECT_EXIT(
      {
        FILE *f = stream_of(bytes);
        std::vector<double> cols[6];
        double *chunks[6];
        for (int j = 0; j < 6; j++) {
          cols[j].assign(5, 0.0);
          chunks[j] = cols[j].data();
        }
        corvia_read_chunks(f, 5, chunks, nullptr, nullptr);
        exit(0);
      },
      testing::ExitedWithCode(1),
      quoted("could only read 20 instead of 32 bytes!"));
}

TEST(CorviaMakeHumanReadable, ConvertsEachSignal) {
  EXPECT_EQ(corvia_make_human_readable(2.5, 0), 2.5);
  EXPECT_EQ(corvia_make_human_readable(2.5, 1), 2.5);
  EXPECT_EQ(corvia_make_human_readable(2.5, 2), -2.5);
  EXPECT_NEAR(corvia_make_human_readable(100.0, 3), 24.70162, 1e-12);
  EXPECT_EQ(corvia_make_human_readable(0.0, 3), 23.6745);
  EXPECT_EQ(corvia_make_human_readable(-7.0, 4), -7.0);
  EXPECT_EQ(corvia_make_human_readable(2.5, 5), -2.5);
  // Negative signal numbers are not rejected: the value comes back as is.
  EXPECT_EQ(corvia_make_human_readable(3.25, -1), 3.25);
  EXPECT_EQ(corvia_make_human_readable(3.25, -100), 3.25);
  EXPECT_TRUE(std::isnan(corvia_make_human_readable(NAN, 3)));
}

TEST(CorviaMakeHumanReadableDeathTest, SignalBeyondTheRawSignals) {
  EXPECT_EXIT(corvia_make_human_readable(1.0, 6), testing::ExitedWithCode(1),
              "^" + quoted("corvia_make_human_readable: signal = 6 >= "
                           "CORVIA_NUM_RAW_SIGNALS = 6\n") + "$");
  EXPECT_EXIT(corvia_make_human_readable(1.0, 42), testing::ExitedWithCode(1),
              quoted("signal = 42 >= CORVIA_NUM_RAW_SIGNALS = 6"));
}

}  // namespace
