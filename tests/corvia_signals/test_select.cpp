// Selecting signals: each signal worked out alone (with what it is derived
// from) takes exactly the values of a full run, through disconnects and
// detector resets, with both ECG detectors; signals outside the selection
// have no value.
#include <cmath>
#include <cstring>
#include <vector>

#include "corvia.h"
#include "gtest/gtest.h"
#include "recording.h"

namespace {

bool same(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

TEST(SignalSelection, EachSignalAloneMatchesTheFullRun) {
  physio_params p = rec::quiet_params();
  p.hrv = 0.05;
  p.ecg_noise = 20;
  // Disconnects of each derived signal's sources, and of a slow signal.
  p.disconnects = {{0, 6.0, 7.5}, {4, 12.0, 13.0}, {5, 17.0, 18.5}, {2, 3.0, 4.0}};
  const std::vector<corvia_data> frames = rec::physio_frames(p, 24 * 2048);
  // What each signal is derived from: all else stays without a value.
  const std::vector<int> sources[CORVIA_NUM_SIGNALS] = {
      {0}, {1}, {2}, {3}, {4}, {5}, {6, 0}, {7, 4}, {8, 6, 7, 0, 4}, {9, 5}};
  unsigned unrelated[CORVIA_NUM_SIGNALS];
  for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i) {
    unrelated[i] = (1u << CORVIA_NUM_SIGNALS) - 1;
    for (int j : sources[i]) unrelated[i] &= ~(1u << j);
  }
  for (int detector : {CORVIA_ECG_DETECTOR_ECG_HR, CORVIA_ECG_DETECTOR_QRS}) {
    for (int ignore = 0; ignore <= 1; ++ignore) {
      SCOPED_TRACE(testing::Message() << "detector " << detector << " ignore " << ignore);
      corvia_signals full, alone[CORVIA_NUM_SIGNALS];
      corvia_signals_init_with_detector(&full, ignore, 1, detector);
      for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i) {
        corvia_signals_init_with_detector(&alone[i], ignore, 1, detector);
        corvia_signals_select(&alone[i], 1u << i);
      }
      int nan_values = 0;
      for (size_t k = 0; k < frames.size(); ++k) {
        corvia_signals_process_sample(&full, &frames[k]);
        for (int i = 0; i < CORVIA_NUM_SIGNALS; ++i) {
          corvia_signals *a = &alone[i];
          corvia_signals_process_sample(a, &frames[k]);
          ASSERT_EQ(a->has_value[i], full.has_value[i]) << "signal " << i << " frame " << k;
          ASSERT_TRUE(same(a->values[i], full.values[i])) << "signal " << i << " frame " << k;
          for (int j = 0; j < CORVIA_NUM_SIGNALS; ++j)
            ASSERT_TRUE(!(unrelated[i] >> j & 1) || !a->has_value[j]) << i << " " << j;
          nan_values += std::isnan(full.values[i]);
        }
      }
      EXPECT_TRUE(ignore || nan_values > 0);  // the disconnects did reach the detectors
      corvia_signals_free(&full);
      for (auto &a : alone) corvia_signals_free(&a);
    }
  }
}

}  // namespace
