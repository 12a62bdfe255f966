// The sweeping swipe feature vectors against a computation written from
// their definition: windowed signal, spectra, smoothing, cosine transforms
// and order statistics, with their sub-vector layout and names.
#include "fex.h"
#include "reference.h"

namespace {

using ref::re_quote;

struct full_reference {
  std::vector<double> sub[8];
};

full_reference reference_full(const std::vector<double> &x, int smooth_size, int smooth_times, double floor) {
  const int n = (int)x.size(), half = n / 2;
  std::vector<double> w(n);
  double wsum = 0, xw = 0;
  for (int i = 0; i < n; i++) {
    w[i] = 0.5 - 0.5 * std::cos(2 * ref::PI * (i + 1) / (n + 1));
    wsum += w[i];
    xw += x[i] * w[i];
  }
  const double m = xw / wsum;
  full_reference r;
  std::vector<double> dev(n);
  for (int i = 0; i < n; i++) {
    dev[i] = (x[i] - m) * w[i];
    r.sub[0].push_back(m + dev[i]);
  }
  r.sub[1] = dev;
  std::sort(r.sub[1].begin(), r.sub[1].end());
  for (double &v : r.sub[1]) v += m;
  std::vector<double> ps = ref::power_spectrum(dev);
  for (int k = 1; k <= half; k++) r.sub[2].push_back(ps[k] / n);
  for (double v : r.sub[2]) r.sub[4].push_back(std::log(v + floor));
  const int num = smooth_times * (smooth_size - 1);
  for (double v : ref::smooth_valid(ref::continued(r.sub[2], (num + 1) / 2, num / 2, 3), smooth_size, smooth_times))
    r.sub[6].push_back(std::log(std::max(v, 0.0) + floor));
  for (int s : {3, 5, 7}) {
    r.sub[s] = r.sub[s - 1];
    std::sort(r.sub[s].begin(), r.sub[s].end());
  }
  return r;
}

TEST(SweepingSwipeFull, SubVectorsFollowTheirDefinitions) {
  for (int n : {16, 15, 64}) {
    std::vector<double> x = ref::random_stream(n, n, 0, 5);
    x[3] += 3;  // a little structure
    sweeping_swipe_full_params p;
    sweeping_swipe_full_params_init(&p, n, 3, 2, 1e-3);
    EXPECT_EQ(p.output.length, 2 * n + 6 * (n / 2));
    EXPECT_EQ(sweeping_swipe_full_params_compute_output_length(n), 2 * n + 6 * (n / 2));
    EXPECT_EQ(sweeping_swipe_full_params_get_sub_num(&p), 8);
    cvector in;
    cvector_init_from_double(&in, x.data(), n);
    sweeping_swipe_full(&p, &in);
    full_reference want = reference_full(x, 3, 2, 1e-3);
    int expected_start = 0;
    for (int s = 0; s < 8; s++) {
      int length;
      double *start;
      sweeping_swipe_full_params_get_sub(&p, s, &length, &start);
      ASSERT_EQ(length, (int)want.sub[s].size()) << "sub-vector " << s;
      EXPECT_EQ(start, p.output.data + expected_start);
      expected_start += length;
      ref::expect_close(start, want.sub[s], 1e-9, "sub-vector " + std::to_string(s));
    }
    int length;
    double *start;
    EXPECT_EXIT(sweeping_swipe_full_params_get_sub(&p, 8, &length, &start), testing::ExitedWithCode(1),
                re_quote("sweeping_swipe_full_params_get_sub error: access to invalid subvector 8\n"));
    cvector_free(&in);
    sweeping_swipe_full_params_free(&p);
  }
}

TEST(SweepingSwipeReduced, CoefficientsOrderStatisticsAndNames) {
  const int n = 32, r = 6;
  std::vector<double> x = ref::random_stream(n, 77, -2, 2);
  sweeping_swipe_params p;
  sweeping_swipe_params_init(&p, n, r, 2, 1, 1e-4);
  ASSERT_EQ(p.output.length, 2 * r + 6 * (r / 2));
  cvector in;
  cvector_init_from_double(&in, x.data(), n);
  sweeping_swipe(&p, &in);
  full_reference full = reference_full(x, 2, 1, 1e-4);

  std::vector<double> want;
  auto coefficients = [&](const std::vector<double> &sub, int count) {
    std::vector<double> t{0.0};
    t.insert(t.end(), sub.begin(), sub.end());
    std::vector<double> c = ref::cosine_transform(t);
    double norm = std::sqrt(2.0 * (double)t.size() - 2);
    for (int i = 0; i < count; i++) want.push_back(c[i] / norm);
  };
  auto order_statistics = [&](const std::vector<double> &sorted, int count) {
    const int len = (int)sorted.size();
    for (int j = 0; j < count; j++)
      want.push_back(sorted[count > 1 ? j * (len - 1) / (count - 1) : 0]);
  };
  coefficients(full.sub[0], r);
  order_statistics(full.sub[1], r);
  for (int s : {2, 4, 6}) {
    coefficients(full.sub[s], r / 2);
    order_statistics(full.sub[s + 1], r / 2);
  }
  ref::expect_close(p.output.data, want, 1e-9);
  // The first and last order statistics are the extremes.
  EXPECT_EQ(p.output.data[r], full.sub[1].front());
  EXPECT_EQ(p.output.data[2 * r - 1], full.sub[1].back());

  const std::pair<int, std::string> names[] = {
      {0, "cost(orig) 0 of 6"},          {5, "cost(orig) 5 of 6"},
      {6, "sort(orig) 0 of 6"},          {12, "cost(powspec) 0 of 3"},
      {15, "sort(powspec) 0 of 3"},      {18, "cost(log(powspec)) 0 of 3"},
      {21, "sort(log(powspec)) 0 of 3"}, {24, "cost(log(smooth(powspec))) 0 of 3"},
      {29, "sort(log(smooth(powspec))) 2 of 3"}};
  for (const auto &[i, name] : names) EXPECT_EQ(p.names[i], "sweeping swipe " + std::to_string(i) + ": " + name);
  cvector_free(&in);
  sweeping_swipe_params_free(&p);
}

TEST(SweepingSwipeReduced, SizesAndMessages) {
  EXPECT_EQ(sweeping_swipe_params_compute_output_length(10), 5 * 6 + 20);
  sweeping_swipe_params p;
  sweeping_swipe_full_params f;
  ref::expect_refusals({
      {[&] { sweeping_swipe_params_init(&p, 8, 9, 2, 1, 0.1); },
       "sweeping_swipe_params_init error: n (8) is too small for reduced_size (9)!\n"},
      {[&] { sweeping_swipe_params_init(&p, 8, 0, 2, 1, 0.1); },
       "sweeping_swipe_params_init error: reduced_size (0) must be positive!\n"},
      {[&] { sweeping_swipe_full_params_init(&f, 1, 2, 1, 0.1); },
       "sweeping_swipe_full_params_init error: invalid window length n = 1 (at least 2)!\n"},
  });

  // r = n: every coefficient and every sample of the sorted window.
  sweeping_swipe_params_init(&p, 4, 4, 1, 1, 0.1);
  const double x[] = {1, 5, 2, 8};
  cvector in;
  cvector_init_from_double(&in, x, 4);
  sweeping_swipe(&p, &in);
  int length;
  double *sorted;
  sweeping_swipe_full_params_get_sub(&p.full, 1, &length, &sorted);
  for (int j = 0; j < 4; j++) EXPECT_EQ(p.output.data[4 + j], sorted[j]);
  cvector_free(&in);
  sweeping_swipe_params_free(&p);
}

}  // namespace
