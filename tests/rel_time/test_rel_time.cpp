// rel_time: conversions and text round trips.
#include "rel_time.h"
#include "testsupport.h"

namespace {

std::string write_to_string(rel_time t) {
  return testsupport::written([&](FILE *f) { rel_time_write(t, f); });
}

rel_time read_from_string(const std::string &text) {
  FILE *f = testsupport::stream_of(text);
  const rel_time t = rel_time_read(f);
  fclose(f);
  return t;
}

TEST(RelTime, WritesEighteenSignificantDigits) {
  EXPECT_EQ(write_to_string(long_double_to_rel_time(1000.5L)), "1000.5");
  EXPECT_EQ(write_to_string(long_double_to_rel_time(1.0L / 3)), "0.333333333333333333");
  EXPECT_EQ(write_to_string(long_double_to_rel_time(1767225600.25L)), "1767225600.25");
  EXPECT_EQ(write_to_string(long_double_to_rel_time(-1e30L)), "-1e+30");
}

TEST(RelTime, RoundTripKeepsMicroseconds) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int64_t> sec(0, 4000000000LL);
  std::uniform_int_distribution<int> usec(0, 999999);
  for (int i = 0; i < 1000; ++i) {
    long double t = static_cast<long double>(sec(rng)) + usec(rng) / 1000000.0L;
    EXPECT_EQ(rel_time_to_long_double(long_double_to_rel_time(t)), t);
    rel_time back = read_from_string(write_to_string(long_double_to_rel_time(t)) + "\n");
    // 18 digits of a value below 1e10 leave at least 8 decimals.
    EXPECT_NEAR(static_cast<double>(back.value - t), 0.0, 1e-8) << i;
  }
}

TEST(RelTime, ReadsSuccessiveValues) {
  FILE *f = testsupport::stream_of("1.5 2e3\n  -7\n");
  for (long double want : {1.5L, 2000.0L, -7.0L}) EXPECT_EQ(rel_time_read(f).value, want);
  fclose(f);
}

TEST(RelTimeDeathTest, ReadFailuresAndWriteFailure) {
  EXPECT_EXIT(read_from_string("abc"), testing::ExitedWithCode(1),
              "rel_time_read: malformed time value, not a number\n");
  EXPECT_EXIT(read_from_string(""), testing::ExitedWithCode(1),
              "rel_time_read: unexpected end of input, no time value read\n");
  EXPECT_EXIT(
      {
        FILE *f = fopen("/dev/full", "w");
        setvbuf(f, nullptr, _IONBF, 0);  // the write itself fails
        rel_time_write(long_double_to_rel_time(1.0L), f);
        exit(0);
      },
      testing::ExitedWithCode(1), "rel_time_write: No space left on device");
}

}  // namespace
