// FIR designs checked by their measured frequency response, filtering
// against a direct convolution, the verbose Octave files, and the messages.
#include <sys/stat.h>

#include <array>

#include "fex.h"
#include "reference.h"
#include "testsupport.h"

namespace {

using ref::re_quote;

double gain(const fir_filter_params &p, double f, double fs) {
  return ref::magnitude(p.coeffs, p.order, f, fs);
}

// Largest deviation of the gain from `want` over [f1, f2] (1 Hz steps).
double worst(const fir_filter_params &p, double fs, double f1, double f2, double want) {
  double w = 0;
  for (double f = f1; f <= f2; f += 1) w = std::fmax(w, std::fabs(gain(p, f, fs) - want));
  return w;
}

// The gain of each design over bands {from, to (1-Hz steps), gain,
// tolerance} at 1000 Hz; sharp designs move their edges inward and say so.
TEST(FirDesign, ResponsesOfEachDesign) {
  using Band = std::array<double, 4>;
  const struct {
    const char *name;
    std::function<void(fir_filter_params *)> init;
    std::vector<Band> bands;
    std::string message = "";
  } cases[] = {
      {"lowpass", [](auto *p) { fir_filter_params_init_lowpass(p, 100, 1000, 101, 0, 0); },
       {{0, 70, 1, 0.01}, {130, 500, 0, 0.01}, {100, 100, 0.5, 0.05}}},  // the edge lies half-way
      {"highpass", [](auto *p) { fir_filter_params_init_highpass(p, 100, 1000, 101, 0, 0); },
       {{0, 70, 0, 0.01}, {130, 500, 1, 0.01}}},
      {"bandpass", [](auto *p) { fir_filter_params_init_bandpass(p, 100, 250, 1000, 101, 0, 0); },
       {{0, 70, 0, 0.01}, {130, 220, 1, 0.01}, {280, 500, 0, 0.01}}},
      {"peak", [](auto *p) { fir_filter_params_init_peak(p, 50, 1000, 201, 0); },
       {{50, 50, 1, 0.01}, {0, 25, 0, 0.01}, {75, 500, 0, 0.01}}},
      {"notch", [](auto *p) { fir_filter_params_init_notch(p, 50, 1000, 201, 0); },
       {{50, 50, 0, 1e-9}, {0, 25, 1, 0.01}, {75, 500, 1, 0.01}}},
      {"even notch", [](auto *p) { fir_filter_params_init_notch(p, 50, 1000, 200, 0); },
       {{50, 50, 0, 1e-9}, {0, 25, 1, 0.01}, {75, 500, 1, 0.01}}},
      // The given edges already in the stop band.
      {"sharp lowpass", [](auto *p) { fir_filter_params_init_lowpass(p, 100, 1000, 101, 1, 0); },
       {{0, 50, 1, 0.01}, {100, 100, 0, 0.03}},
       "producing sharp filter by moving frequency from 100.000000 (0.200000pi) to 80.198020 (0.160396pi)\n"},
      {"sharp highpass", [](auto *p) { fir_filter_params_init_highpass(p, 100, 1000, 101, 1, 0); },
       {{100, 100, 0, 0.03}, {150, 500, 1, 0.01}},
       "producing sharp filter by moving frequency from 100.000000 (0.200000pi) to 119.801980 (0.239604pi)\n"},
      {"sharp bandpass", [](auto *p) { fir_filter_params_init_bandpass(p, 100, 250, 1000, 101, 1, 0); },
       {{100, 100, 0, 0.03}, {250, 250, 0, 0.03}},
       "producing sharp filter by moving frequencies from 100.000000-250.000000 (0.200000pi-0.500000pi) to "
       "119.801980-230.198020 (0.239604pi-0.460396pi)\n"},
  };
  for (const auto &c : cases) {
    fir_filter_params p;
    testing::internal::CaptureStderr();
    c.init(&p);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message) << c.name;
    for (const Band &b : c.bands) EXPECT_LT(worst(p, 1000, b[0], b[1], b[2]), b[3]) << c.name << " " << b[0];
    EXPECT_TRUE(c.name[0] != 'e' || p.coeffs[199] == 0.0);
    fir_filter_params_free(&p);
  }
}

// The brick-wall designs compute their coefficients in closed form; the
// general design transforms the same sampled response on its whole grid.
TEST(FirDesign, BrickWallsMatchTheTransformedResponse) {
  const struct {
    double lo, hi;  // passband in Hz at fs 1000 (lo 0: lowpass, hi 500: highpass)
    int order;
  } cases[] = {{0, 100, 101}, {0, 500, 9},    {0, 0, 12},   {300, 500, 64},  {0.4, 500, 33},
               {100, 250, 101}, {200, 200, 40}, {0, 37.3, 1}, {12, 480, 1000}};
  for (const auto &c : cases) {
    fir_filter_params got, want;
    if (c.lo == 0)
      fir_filter_params_init_lowpass(&got, c.hi, 1000, c.order, 0, 0);
    else if (c.hi == 500)
      fir_filter_params_init_highpass(&got, c.lo, 1000, c.order, 0, 0);
    else
      fir_filter_params_init_bandpass(&got, c.lo, c.hi, 1000, c.order, 0, 0);
    const int N = 1 << (int)(std::log2(4.0 * c.order + 1000) + 0.999);
    cvector response;
    cvector_init_zero(&response, N + 1);
    for (int k = (int)(c.lo / 500 * N + 0.49); k <= (int)(c.hi / 500 * N + 0.49); k++)
      response.data[k] = 1.0;
    fir_filter_params_init_from_frequency_response(&want, &response, c.order, 0, 1000);
    cvector_free(&response);
    ASSERT_EQ(got.order, want.order);
    for (int i = 0; i < c.order; i++)
      ASSERT_NEAR(got.coeffs[i], want.coeffs[i], 1e-14) << c.lo << "-" << c.hi << " order " << c.order << ": " << i;
    fir_filter_params_free(&got);
    fir_filter_params_free(&want);
  }
}

TEST(FirDesign, OrderFromTransitionWidth) {
  EXPECT_EQ(fir_filter_params_compute_order(256, 2, 0), 256);
  EXPECT_EQ(fir_filter_params_compute_order(1000, 3, 0), 666);
  testing::internal::CaptureStderr();
  EXPECT_EQ(fir_filter_params_compute_order(100, 8, 1), 25);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "fir_filter_params_compute_order verbose: order = trunc(2 * 100 / 8) = 25\n");
  EXPECT_EXIT(fir_filter_params_compute_order(256, 0, 0), testing::ExitedWithCode(1),
              re_quote("fir_filter_params_compute_order error: invalid transition width 0 for sample frequency 256\n"));
}

TEST(FirDesign, Messages) {
  fir_filter_params p;
  cvector none;
  cvector_init(&none, 0);
  const std::string nyq = " (f_nyq = samplefrequency / 2 = 500)\n";
  const char *low_order = " error: cannot produce sharp filter with such a low order!\n";
  ref::expect_refusals({
      {[&] { fir_filter_params_init_lowpass(&p, 600, 1000, 11, 0, 0); },
       "fir_filter_params_init_lowpass error: invalid frequency 600" + nyq},
      {[&] { fir_filter_params_init_highpass(&p, -1, 1000, 11, 0, 0); },
       "fir_filter_params_init_highpass error: invalid frequency -1" + nyq},
      {[&] { fir_filter_params_init_lowpass(&p, NAN, 1000, 11, 0, 0); }, "invalid frequency nan"},
      {[&] { fir_filter_params_init_bandpass(&p, 100, 600, 1000, 11, 0, 0); },
       "fir_filter_params_init_bandpass error: invalid frequencies 100 - 600" + nyq},
      {[&] { fir_filter_params_init_bandpass(&p, 300, 200, 1000, 11, 0, 0); },
       "invalid frequencies 300 - 200"},
      {[&] { fir_filter_params_init_lowpass(&p, 125, 1000, 8, 1, 0); },
       std::string("producing sharp filter by moving frequency from 125.000000 (0.250000pi) to -125.000000 "
                   "(-0.250000pi)\nfir_filter_params_init_lowpass") + low_order},
      {[&] { fir_filter_params_init_highpass(&p, 400, 1000, 8, 1, 0); },
       std::string("fir_filter_params_init_highpass") + low_order},
      {[&] { fir_filter_params_init_bandpass(&p, 100, 300, 1000, 8, 1, 0); },
       "fir_filter_params_init_bandpass error: cannot produce sharp bandpass filter with such a low order and "
       "such a small passband!\n"},
      {[&] { fir_filter_params_init_notch(&p, 50, 1000, 2, 0); },
       "fir_filter_params_init_notch error: invalid filter order 2 (it must lie in 3 ... 16777216)\n"},
      {[&] { fir_filter_params_init_peak(&p, 50, 0, 11, 0); },
       "fir_filter_params_init_peak error: invalid sample frequency 0\n"},
      {[&] { fir_filter_params_init_lowpass(&p, 50, 1000, 0, 0, 0); },
       "fir_filter_params_init_lowpass error: invalid filter order 0 (it must lie in 1 ... 16777216)\n"},
      {[&] { fir_filter_params_init(&p, &none); },
       "fir_filter_params_init error: a FIR filter needs at least one coefficient (order = 0)\n"},
      {[&] { fir_filter_params_init_from_frequency_response(&p, &none, 1, 0, 1000); },
       "fir_filter_params_init_from_frequency_response error: a frequency response needs at least 2 values (got 0)\n"},
      {[&] { cvector r; cvector_init_zero(&r, 3); fir_filter_params_init_from_frequency_response(&p, &r, 5, 0, 1000); },
       "fir_filter_params_init_from_frequency_response error: order 5 is too large for a response of 3 values\n"},
  });
  fir_filter_params empty{};
  EXPECT_DEATH(fir_filter_params_free(&empty), re_quote("Assertion `params->coeffs != NULL' failed."));
}

TEST(FirFiltering, MatchesDirectConvolution) {
  fir_filter_params p;
  cvector c;
  for (int order : {1, 2, 7, 64}) {
    std::vector<double> coeffs = ref::random_stream(order, order, -1, 1);
    std::vector<double> x = ref::random_stream(300, order + 1, -1, 1);
    std::vector<double> want = ref::convolve(coeffs, x);
    cvector_init_from_double(&c, coeffs.data(), order);
    fir_filter_params_init(&p, &c);
    cvector_free(&c);
    for (int pass = 0; pass < 2; pass++) {
      for (int k = 0; k < 300; k++) {
        fir_filter_params_process(&p, x[k]);
        ASSERT_NEAR(p.value, want[k], 1e-12) << "order " << order << " sample " << k;
        EXPECT_EQ(fir_filter_params_is_valid(&p) != 0, k + 1 >= order);
      }
      fir_filter_params_reset(&p);  // the same again from a clean state
    }
    fir_filter_params_free(&p);
  }
}

// Filling with one value, and skipping all but the last of the steps,
// equal that many single steps, wherever the ring stands and whatever the
// count against the order.
TEST(FirFiltering, FillEqualsRepeatedSteps) {
  for (int order : {1, 2, 5, 33}) {
    std::vector<double> coeffs = ref::random_stream(order, order + 7, -1, 1);
    std::vector<double> x = ref::random_stream(40, order + 8, -1, 1);
    for (int lead : {0, 1, 3, order + 2}) {
      for (int count : {1, 2, order - 1, order, 3 * order + 1}) {
        if (count < 1) continue;
        fir_filter_params f[3];  // stepped, filled, skipped
        cvector c;
        cvector_init_from_double(&c, coeffs.data(), order);
        for (auto &p : f) fir_filter_params_init(&p, &c);
        cvector_free(&c);
        for (int k = 0; k < lead; k++)
          for (auto &p : f) fir_filter_params_process(&p, x[k]);
        for (int k = 0; k < count; k++) fir_filter_params_process(&f[0], -2.5);
        fir_filter_params_fill(&f[1], -2.5, count);
        for (int k = 0; k + 1 < count; k++) fir_filter_params_skip(&f[2], -2.5);
        fir_filter_params_process(&f[2], -2.5);
        for (int k = 0; k <= 10; k++) {  // the same value, count and ring afterwards
          for (int i : {1, 2}) {
            ASSERT_EQ(f[i].value, f[0].value) << order << " " << lead << " " << count << ": " << i << " " << k;
            ASSERT_EQ(f[i].num_collected, f[0].num_collected) << order << " " << lead << " " << count;
          }
          for (auto &p : f) fir_filter_params_process(&p, x[20 + k]);
        }
        for (auto &p : f) fir_filter_params_free(&p);
      }
    }
  }
}

std::vector<double> read_octave_column(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  EXPECT_NE(f, nullptr) << path;
  if (!f) return {};
  testing::internal::CaptureStderr();
  cmatrix *m = cmatrix_create_from_ascii(f);
  std::string comments = testing::internal::GetCapturedStderr();
  std::fclose(f);
  EXPECT_NE(comments.find("comment line: # created for Octave with cmatrix_write_octave"), std::string::npos);
  EXPECT_EQ(m->width, 1);
  std::vector<double> v;
  for (int i = 0; i < m->height; i++) v.push_back(m->data[i][0]);
  cmatrix_delete(m);
  return v;
}

TEST(FirVerbose, DesignWritesItsOctaveFilesOrFails) {
  const testsupport::TempDir dir;
  const testsupport::InFolder in(dir.path());
  fir_filter_params p;
  testing::internal::CaptureStderr();
  fir_filter_params_init_lowpass(&p, 20, 100, 11, 0, 1);
  const std::string v = "fir_filter_params_init_from_frequency_response verbose: writing ";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            v + "desired frequency response into file fir.response.octave.\n" + v +
                "coefficients to file fir.coeffs.octave.\n" + v +
                "real filter response in dB into file fir.response_real.octave.\n");
  std::vector<double> desired = read_octave_column("fir.response_desired.octave");
  ASSERT_EQ(desired.size(), 2049u);  // order 11: N = 2048
  int last = (int)(0.4 * ref::PI * 2048 / ref::PI + 0.49);
  for (int k = 0; k < 2049; k++) EXPECT_EQ(desired[k], k <= last ? 1.0 : 0.0) << k;
  std::vector<double> coeffs = read_octave_column("fir.coeffs.octave");
  ASSERT_EQ(coeffs.size(), 11u);
  for (int i = 0; i < 11; i++) EXPECT_NEAR(coeffs[i], p.coeffs[i], 1e-14 * std::fabs(p.coeffs[i]) + 1e-300);
  std::vector<double> real = read_octave_column("fir.response_real.octave");
  ASSERT_EQ(real.size(), 51u);
  for (int k = 0; k <= 50; k++) EXPECT_NEAR(real[k], 20 * std::log10(std::pow(gain(p, k, 100), 2)), 1e-6) << k;
  fir_filter_params_free(&p);

  // Peak: coefficients and real response, padded to a multiple of the
  // sample rate when the filter is longer than one second.
  testing::internal::CaptureStderr();
  fir_filter_params_init_peak(&p, 10, 64, 100, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "fir_filter_params_init_peak verbose: writing coefficients to file fir.coeffs.octave.\n"
            "fir_filter_params_init_peak verbose: writing real filter response in dB into file "
            "fir.response_real.octave.\n");
  EXPECT_EQ(read_octave_column("fir.coeffs.octave").size(), 100u);
  real = read_octave_column("fir.response_real.octave");
  ASSERT_EQ(real.size(), 65u);  // padded to 128
  EXPECT_NEAR(real[20], 20 * std::log10(std::pow(gain(p, 10, 64), 2)), 1e-6);
  fir_filter_params_free(&p);

  // A file that cannot be written is fatal.
  ASSERT_EQ(std::remove("fir.coeffs.octave"), 0);
  ASSERT_EQ(mkdir("fir.coeffs.octave", 0755), 0);
  EXPECT_EXIT(fir_filter_params_init_notch(&p, 10, 100, 11, 1), testing::ExitedWithCode(1),
              re_quote("fir.coeffs.octave: Is a directory\n"));
}

}  // namespace
