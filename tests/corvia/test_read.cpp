// The raw frame reader: whole frames, the regular end, the three failures with their messages, reading blocks column by
// column, and the conversion's refusal of signals beyond the raw ones.
#include <cerrno>

#include "corvia.h"
#include "reference.h"
#include "testsupport.h"

namespace {

// Streams over a real (temporary) file, so that end of file and errors behave as with recordings.
using testsupport::stream_of;

// A stream that hands out `good` bytes and then fails with EIO.
FILE *failing_stream_after(const std::string &good) {
  static std::string bytes;  // one such stream per (death-test) process
  static size_t pos;
  bytes = good;
  pos = 0;
  cookie_io_functions_t io = {[](void *, char *buf, size_t size) -> ssize_t {
                                if (pos >= bytes.size()) return errno = EIO, -1;
                                const size_t n = std::min(size, bytes.size() - pos);
                                memcpy(buf, bytes.data() + pos, n);
                                pos += n;
                                return (ssize_t)n;
                              },
                              nullptr, nullptr, nullptr};
  FILE *f = fopencookie(nullptr, "rb", io);
  setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

std::string frame_bytes(int32_t sec, int32_t usec, const std::vector<float> &v) {
  std::string b(32, '\0');
  memcpy(&b[0], &sec, 4);
  memcpy(&b[4], &usec, 4);
  memcpy(&b[8], v.data(), 24);
  return b;
}

// `s` as a regular expression that matches exactly it.
std::string quoted(const std::string &s) { return "^" + ref::re_quote(s) + "$"; }

// The bytes of the file in little-endian order (seconds, microseconds, six floats); the time fields and values pass
// unchecked.
TEST(CorviaReadSample, FrameLayoutIsTheFileLayout) {
  FILE *f = stream_of(std::string("\x01\x02\x03\x04\x40\x42\x0F\x00\x00\x00\x80\x3F\x00\x00\x00\xC0", 16) +
                      std::string("\0\0\0\0\x00\x00\xC0\x7F\x00\x00\x80\x7F\x00\x00\x20\x41", 16));
  corvia_data d;
  ASSERT_EQ(corvia_read_sample(f, &d), 1);
  EXPECT_EQ(std::make_pair(d.time.tv_sec, d.time.tv_usec), std::make_pair(0x04030201, 1000000));
  EXPECT_EQ(testing::PrintToString(std::vector<float>(d.data, d.data + 6)), "{ 1, -2, 0, nan, inf, 10 }");
  // The end of the stream, quietly.
  testing::internal::CaptureStderr();
  EXPECT_EQ(corvia_read_sample(f, &d), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  fclose(f);
}

TEST(CorviaReadDeathTest, TruncatedFramesReadErrorsAndSignalsBeyondTheRawSignals) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string frame = frame_bytes(1, 2, {1, 2, 3, 4, 5, 6});
  const struct {
    std::string bytes;
    bool failing;  // the stream fails after the bytes, else it ends
    std::string message;
  } cases[] = {
      {frame + "x", false, "corvia_read_sample: unexpected end of file: could only read 1 instead of 32 bytes!\n"},
      {"", true, "corvia_read_sample: error reading one raw time-stamped sample: Input/output error\n"},
      {std::string(5, 'a'), true, "corvia_read_sample: could only read 5 of 32 bytesInput/output error\n"},
  };
  for (const auto &c : cases) {
    EXPECT_EXIT({
          FILE *f = c.failing ? failing_stream_after(c.bytes) : stream_of(c.bytes);
          corvia_data d;
          while (corvia_read_sample(f, &d) == 1) {
          }
          exit(0);
        },
        testing::ExitedWithCode(1), quoted(c.message));
  }
  EXPECT_EXIT(corvia_make_human_readable(1.0, 6), testing::ExitedWithCode(1),
              quoted("corvia_make_human_readable: signal = 6 >= CORVIA_NUM_RAW_SIGNALS = 6\n"));
}

TEST(CorviaReadChunks, StoresColumnsAndTimeStamps) {
  std::string bytes;
  for (int i = 0; i < 7; i++)
    bytes += frame_bytes(1000 + i, 10 * i, {(float)i, i + 0.5f, -(float)i, 100.0f + i, 1e-3f * i, 7.25f});
  FILE *f = stream_of(bytes);
  std::vector<double> cols[6];
  double *chunks[6];
  for (int j = 0; j < 6; j++) {
    cols[j].assign(5, -99.0);
    chunks[j] = cols[j].data();
  }
  int32_t sec[5] = {0}, usec[5] = {0};
  ASSERT_EQ(corvia_read_chunks(f, 4, chunks, sec, usec), 1);
  for (int i = 0; i < 4; i++) {  // raw, not converted; the floats widened
    const std::vector<double> row = {cols[0][i], cols[1][i], cols[2][i], cols[3][i], cols[4][i], cols[5][i]};
    EXPECT_EQ(row, (std::vector<double>{(double)i, i + 0.5, -(double)i, 100.0 + i, (double)(1e-3f * i), 7.25}));
    EXPECT_EQ(std::make_pair(sec[i], usec[i]), std::make_pair(1000 + i, 10 * i));
  }
  // Three frames are left: one read without time stamps, then a request for five stores two and reports the end.
  ASSERT_EQ(corvia_read_chunks(f, 1, chunks, nullptr, nullptr), 1);
  EXPECT_EQ(std::make_pair(cols[1][0], sec[0]), std::make_pair(4.5, 1000));
  for (int j = 0; j < 6; j++) cols[j].assign(5, -99.0);
  sec[2] = -1;
  ASSERT_EQ(corvia_read_chunks(f, 5, chunks, sec, usec), 0);
  EXPECT_EQ(cols[0], (std::vector<double>{5, 6, -99, -99, -99}));
  EXPECT_EQ(std::make_pair(sec[1], sec[2]), std::make_pair(1006, -1));
  // Nothing requested: success without reading.
  EXPECT_EQ(corvia_read_chunks(f, -3, nullptr, nullptr, nullptr), 1);
  fclose(f);
}

}  // namespace
