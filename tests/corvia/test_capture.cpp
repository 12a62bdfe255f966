// The capture ring: frames handed over by a real producer thread at full
// speed while the main thread drains, drops when full, the statistics and
// their messages and the irregular-second warning.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
// GCC 12 with the sanitizers reports a false maybe-uninitialized deep
// inside <regex>.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "corvia.h"

namespace {

// Frame k of the test producer: channel c carries a value derived from k, so
// that a frame mixed from two slots or a frame out of order is detected.
void fill_frame(long long k, float values[CORVIA_CAPTURE_NUM_CHANNELS]) {
  for (int c = 0; c < CORVIA_CAPTURE_NUM_CHANNELS; c++)
    values[c] = (float)((k + c * 1234567LL) % 16777216LL);
}

void deliver(long long k) {
  float values[CORVIA_CAPTURE_NUM_CHANNELS];
  fill_frame(k, values);
  corvia_capture_process_data(1, 0, values);
}

// The producer frame number a taken frame belongs to (checking all six
// values against it).
long long frame_number(const corvia_data &d) {
  const long long k = ((long long)d.data[0] - 2 * 1234567LL + 16777216LL * 4) % 16777216LL;
  float expected[CORVIA_CAPTURE_NUM_CHANNELS];
  fill_frame(k, expected);
  for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++)
    EXPECT_EQ(d.data[j], expected[j + 2]) << "torn frame " << k;
  return k;
}

double as_seconds(const corvia_timeval &t) { return t.tv_sec + t.tv_usec * 1e-6; }

std::string stop_messages() {
  testing::internal::CaptureStderr();
  corvia_capture_stop();
  return std::regex_replace(testing::internal::GetCapturedStderr(),
                            std::regex("-nan"), "nan");
}

TEST(CorviaCapture, EmptyBufferChannelMappingAndAFreshStart) {
  // A start resets the ring and the statistics (no device bound: nothing
  // else happens).
  corvia_capture_start();
  for (long long k = 0; k < 25000; k++) deliver(k);
  corvia_capture_start();
  EXPECT_EQ(corvia_capture_get_bufsize(), 20480);
  EXPECT_EQ(std::vector<int>({corvia_capture_get_num_available(), corvia_capture_get_missed(),
                              corvia_capture_get_maxfill(), corvia_capture_get_seconds_n(),
                              corvia_capture_get_seconds_irregular()}),
            std::vector<int>(5, 0));
  corvia_data d;
  memset(&d, 0x5A, sizeof d);
  corvia_data untouched = d;
  EXPECT_EQ(corvia_capture_get_standard_signals(&d), 0);
  EXPECT_EQ(memcmp(&d, &untouched, sizeof d), 0);

  float values[14];
  for (int c = 0; c < 14; c++) values[c] = (float)c;
  corvia_timeval before, after;
  my_gettimeofday(&before, nullptr);
  corvia_capture_process_data(1, 0, values);
  my_gettimeofday(&after, nullptr);
  for (int c = 0; c < 14; c++) values[c] = -1.0f;  // the ring holds a copy
  EXPECT_EQ(corvia_capture_get_num_available(), 1);
  ASSERT_EQ(corvia_capture_get_standard_signals(&d), 1);
  EXPECT_EQ(std::vector<float>(d.data, d.data + 6), (std::vector<float>{2, 3, 4, 5, 6, 7}));
  EXPECT_GE(as_seconds(d.time), as_seconds(before));
  EXPECT_LE(as_seconds(d.time), as_seconds(after));
  EXPECT_EQ(corvia_capture_get_num_available(), 0);
  EXPECT_EQ(corvia_capture_get_standard_signals(&d), 0);
  EXPECT_EQ(stop_messages(),
            "corvia_capture_stop info: max buffer fill was 0.0%, missed frames = 0\n"
            "corvia_capture_stop info: seconds with irregular samplingrate: 0 of 0 = nan%\n"
            "stopping device...\n");
}

TEST(CorviaCapture, ConcurrentProducerAndConsumerLoseNothing) {
  corvia_capture_start();
  const long long total = 1000000;
  // The producer delivers as fast as it can but never into a full ring, so
  // every frame must come out, once, in order.
  std::thread producer([&] {
    for (long long k = 0; k < total; k++) {
      while (corvia_capture_get_num_available() >= CORVIA_CAPTURE_BUFSIZE - 3)
        std::this_thread::yield();
      deliver(k);
    }
  });
  long long next = 0;
  double last_time = 0;
  corvia_data d;
  while (next < total) {
    const int available = corvia_capture_get_num_available();
    for (int i = 0; i < available; i++) {
      ASSERT_EQ(corvia_capture_get_standard_signals(&d), 1);
      ASSERT_EQ(frame_number(d), next);
      ASSERT_GE(as_seconds(d.time), last_time);
      last_time = as_seconds(d.time);
      next++;
    }
  }
  producer.join();
  EXPECT_EQ(corvia_capture_get_standard_signals(&d), 0);
  EXPECT_EQ(corvia_capture_get_missed(), 0);
  EXPECT_GT(corvia_capture_get_maxfill(), 0);
  EXPECT_LE(corvia_capture_get_maxfill(), 20478);
  EXPECT_EQ(corvia_capture_get_seconds_n(), (int)(total / 2048));
}

TEST(CorviaCapture, FullRingDropsAndCountsUnderConcurrency) {
  corvia_capture_start();
  const long long total = 600000;
  std::atomic<bool> done{false};
  // A producer that never waits and a slow consumer: frames are dropped,
  // but what comes out is in order and the counts add up.
  std::thread producer([&] {
    for (long long k = 0; k < total; k++) deliver(k);
    done.store(true);
  });
  // Start draining only once the ring has overflowed.
  while (corvia_capture_get_missed() == 0) std::this_thread::yield();
  long long taken = 0, last = -1;
  corvia_data d;
  for (;;) {
    const bool finished = done.load();
    int n = 0;
    while (n < 5000 && corvia_capture_get_standard_signals(&d)) {
      const long long k = frame_number(d);
      ASSERT_GT(k, last);
      last = k;
      taken++;
      n++;
    }
    if (finished && corvia_capture_get_num_available() == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  producer.join();
  EXPECT_GT(corvia_capture_get_missed(), 0);
  EXPECT_EQ(taken + corvia_capture_get_missed(), total);
  EXPECT_EQ(corvia_capture_get_maxfill(), 20478);
}

TEST(CorviaCapture, IrregularSecondsAreWarnedAndCounted) {
  corvia_capture_start();
  const std::string bang(80, '!');
  // First block: 2047 intervals, spread over 1.2 s -> irregular.
  testing::internal::CaptureStderr();
  deliver(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  for (long long k = 1; k < 2048; k++) deliver(k);
  std::string err = testing::internal::GetCapturedStderr();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      err, m,
      std::regex(bang + "\n corvia_capture_process_data error: milliseconds_diff = "
                        "([0-9]+) \\(should be 1000\\)!!!\n" + bang + "\n")))
      << err;
  EXPECT_GE(std::stoi(m[1]), 1195);
  EXPECT_LT(std::stoi(m[1]), 1400);
  EXPECT_EQ(corvia_capture_get_seconds_n(), 1);
  EXPECT_EQ(corvia_capture_get_seconds_irregular(), 1);

  // Second block at full speed: far too short (regular seconds are met in
  // the live captures). A partial block is not counted.
  testing::internal::CaptureStderr();
  for (long long k = 2048; k < 4952; k++) deliver(k);
  err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_search(err, m, std::regex("milliseconds_diff = ([0-9]+) ")));
  EXPECT_LT(std::stoi(m[1]), 900);
  EXPECT_EQ(corvia_capture_get_seconds_n(), 2);
  EXPECT_EQ(stop_messages(), "corvia_capture_stop info: max buffer fill was 24.2%, missed frames = 0\n"
                             "corvia_capture_stop info: seconds with irregular samplingrate: 2 of 2 = 100.0%\n"
                             "stopping device...\n");  // 4952 * 100 / 20480 = 24.18
}

TEST(CorviaCaptureDeathTest, FrameBeforeStartIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(deliver(0), testing::ExitedWithCode(1),
              "^corvia_capture_process_data error: corvia_init_buffer wasn't "
              "called!\n$");
}

}  // namespace
