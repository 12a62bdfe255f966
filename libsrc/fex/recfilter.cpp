// Narrow-band amplitude detection: demodulation with a tabulated sine and
// cosine of a whole number of cycles, followed by bell-shaped means.
#include <cmath>
#include <cstdio>

#include "common.h"
#include "fex.h"

namespace {

constexpr double PI = 3.141592653589793;

// The longest wave table the search may settle on.
constexpr int PERIODIC_WAVE_MAX_WIDTH = 1 << 24;

}  // namespace

void periodic_wave_init(periodic_wave *params, double frequency,
                        double frequency_tolerance, double samplefrequency) {
  static const char *name = "periodic_wave_init";
  PRECONDITION(params != NULL);
  if (!(samplefrequency > 0) || !std::isfinite(samplefrequency))
    fatal_error("%s error: invalid sample frequency %g\n", name,
                samplefrequency);
  if (!(frequency > 0 && frequency <= samplefrequency / 2))
    fatal_error("%s error: invalid frequency %g (it must lie above 0 and at "
                "most at samplefrequency / 2 = %g)\n",
                name, frequency, samplefrequency / 2);
  if (!(frequency_tolerance >= 0))
    fatal_error("%s error: invalid frequency tolerance %g (it must not be "
                "negative)\n",
                name, frequency_tolerance);

  // The shortest table holding a whole number of cycles close enough to the
  // frequency. The realised frequency approaches the wanted one as the
  // number of cycles grows, so a positive tolerance is always met; a zero
  // tolerance only when the frequency divides into the sample frequency
  // within a table of bounded length.
  int cycles = 0, width = 0;
  double realised = 0;
  for (cycles = 1;; cycles++) {
    double w = std::trunc(0.5 + samplefrequency * cycles / frequency);
    if (w > PERIODIC_WAVE_MAX_WIDTH)
      fatal_error("%s error: no table of at most %d samples realises frequency "
                  "%g within tolerance %g at sample frequency %g\n",
                  name, PERIODIC_WAVE_MAX_WIDTH, frequency,
                  frequency_tolerance, samplefrequency);
    width = (int)w;
    realised = cycles * samplefrequency / width;
    if (std::fabs(realised - frequency) <= frequency_tolerance) break;
  }
  std::fprintf(stderr,
               "%s info: frequ. %f, tol. %f -> width %d (%d cycles), real "
               "frequ. %f\n",
               name, frequency, frequency_tolerance, width, cycles, realised);
  params->frequency = realised;
  params->samplefrequency = samplefrequency;
  cvector_init(&params->sin, width);
  cvector_init(&params->cos, width);
  for (int i = 0; i < width; i++) {
    double phase = 2 * PI * i * realised / samplefrequency;
    params->sin.data[i] = std::sin(phase);
    params->cos.data[i] = std::cos(phase);
  }
  periodic_wave_reset(params);
}

void periodic_wave_free(periodic_wave *params) {
  cvector_free(&params->sin);
  cvector_free(&params->cos);
}

void periodic_wave_reset(periodic_wave *params) {
  params->value_sin = NAN;
  params->value_cos = NAN;
  params->pos = 0;
}

void periodic_wave_process(periodic_wave *params, double value) {
  params->value_sin = value * params->sin.data[params->pos];
  params->value_cos = value * params->cos.data[params->pos];
  params->pos++;
  if (params->pos >= params->sin.length) params->pos = 0;
}

void recfilter_bell_init(recfilter_bell *params, double frequency,
                         double frequency_tolerance, double samplefrequency,
                         int width) {
  PRECONDITION(params != NULL);
  if (width < 1)
    fatal_error("%s error: width %d must be positive!\n", "recfilter_bell_init",
                width);
  periodic_wave_init(&params->filt, frequency, frequency_tolerance,
                     samplefrequency);
  moving_mean_bell_params_init(&params->sin, width, 0);
  moving_mean_bell_params_init(&params->cos, width, 0);
  params->value = NAN;
}

void recfilter_bell_free(recfilter_bell *params) {
  periodic_wave_free(&params->filt);
  moving_mean_bell_params_free(&params->sin);
  moving_mean_bell_params_free(&params->cos);
}

void recfilter_bell_reset(recfilter_bell *params) {
  periodic_wave_reset(&params->filt);
  moving_mean_bell_params_reset(&params->sin);
  moving_mean_bell_params_reset(&params->cos);
  params->value = NAN;
}

void recfilter_bell_process(recfilter_bell *params, double value) {
  periodic_wave_process(&params->filt, value);
  moving_mean_bell(&params->sin, params->filt.value_sin);
  moving_mean_bell(&params->cos, params->filt.value_cos);
  params->value = std::sqrt(params->sin.value * params->sin.value +
                            params->cos.value * params->cos.value);
}
