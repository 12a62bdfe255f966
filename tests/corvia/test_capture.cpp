// The capture ring under a real producer thread at full speed while the main thread drains (its statistics, warnings
// and drops are met through capture_corvia in tests/capture_corvia).
#include <thread>

#include "corvia.h"
#include "testsupport.h"

namespace {

// Frame k of the test producer: channel c carries a value derived from k, so that a frame mixed from two slots or a
// frame out of order is detected.
void fill_frame(long long k, float values[CORVIA_CAPTURE_NUM_CHANNELS]) {
  for (int c = 0; c < CORVIA_CAPTURE_NUM_CHANNELS; c++)
    values[c] = (float)((k + c * 1234567LL) % 16777216LL);
}

void deliver(long long k) {
  float values[CORVIA_CAPTURE_NUM_CHANNELS];
  fill_frame(k, values);
  corvia_capture_process_data(1, 0, values);
}

// The producer frame number a taken frame belongs to (checking all six values against it).
long long frame_number(const corvia_data &d) {
  const long long k = ((long long)d.data[0] - 2 * 1234567LL + 16777216LL * 4) % 16777216LL;
  float expected[CORVIA_CAPTURE_NUM_CHANNELS];
  fill_frame(k, expected);
  for (int j = 0; j < CORVIA_NUM_RAW_SIGNALS; j++)
    EXPECT_EQ(d.data[j], expected[j + 2]) << "torn frame " << k;
  return k;
}

double as_seconds(const corvia_timeval &t) { return t.tv_sec + t.tv_usec * 1e-6; }

TEST(CorviaCapture, ConcurrentProducerAndConsumerLoseNothing) {
  corvia_capture_start();
  const long long total = 1000000;
  // The producer delivers as fast as it can but never into a full ring, so every frame must come out, once, in order.
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

TEST(CorviaCaptureDeathTest, FrameBeforeStartIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(deliver(0), testing::ExitedWithCode(1), "^corvia_capture_process_data error: corvia_init_buffer wasn't "
              "called!\n$");
}

}  // namespace
