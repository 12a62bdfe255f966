// Streaming QRS detector: band-pass, absolute slope, moving integration,
// adaptive signal and noise levels, refractory period, T-wave test and
// search-back; candidates checked against high-frequency noise and the
// shapes of recent beats; beats put out at their R peak with a fixed delay.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "fex.h"

namespace {

constexpr double kPi = 3.141592653589793;

// Pass band of the ECG feature, Hz.
constexpr double kHighpassHz = 5.0;
constexpr double kLowpassHz = 15.0;
// Band in which the R peak is placed and beat shapes are compared.
constexpr double kWideHighpassHz = 1.0;
constexpr double kWideLowpassHz = 30.0;
// Above this, an ECG holds little but the steep edges of the QRS: muscle
// and contact noise.
constexpr double kNoiseHighpassHz = 35.0;
// Times, seconds.
constexpr double kIntegration = 0.150;  // moving integration window
constexpr double kRefractory = 0.200;   // no second beat within this
constexpr double kTWave = 0.380;        // T-wave test within this
constexpr double kHold = 0.200;         // a peak not exceeded this long ends
constexpr double kMargin = 0.050;       // R search before the window
constexpr double kLearning = 2.0;       // levels learnt, no beats
constexpr double kSilence = 3.0;        // levels halved after this
constexpr double kDelay = 1.5;          // output delay
constexpr double kDefaultInterval = 0.8;
constexpr double kNoiseAverage = 1.0;   // high-frequency noise averaged
// A QRS and its surroundings (R -80 ms to +80 ms) make a beat's shape,
// compared with a shift of up to 20 ms, on a 2-ms grid (enough below
// 30 Hz).
constexpr double kShapeHalf = 0.080;
constexpr double kShapeShift = 0.020;
constexpr double kShapeGrid = 0.002;
// Correlations: a beat this like a kept shape updates it (else it starts a
// new one); a candidate less alike than this needs a clean signal.
constexpr double kSameShape = 0.9;
// Another peak under a candidate, at least half the largest, that is more
// like a known beat by this much is its R peak.
constexpr double kOtherPeak = 0.5;
constexpr double kBetterShape = 0.2;
// Noise: mean absolute high-frequency signal above a tenth of the R
// amplitude (a QRS alone gives a few hundredths).
constexpr double kNoiseRatio = 0.1;
// A search-back candidate with less than a fifth of the last beat's steepest
// slope is a P or T wave or baseline wander.
constexpr double kSearchBackSlope = 0.2;
// Threshold a quarter of the way from the noise level to the signal level;
// the search-back takes candidates above half of it, after 1.66 intervals.
constexpr double kThresholdFraction = 0.25;
constexpr double kSearchBackFactor = 1.66;

int samples(double seconds, double samplerate) {
  return static_cast<int>(seconds * samplerate + 0.5);
}

// Second-order Butterworth section (bilinear transform with prewarping).
qrs_biquad design(bool highpass, double frequency, double q,
                  double samplerate) {
  const double w0 = 2.0 * kPi * frequency / samplerate;
  const double cw = std::cos(w0);
  const double alpha = std::sin(w0) / (2.0 * q);
  const double a0 = 1.0 + alpha;
  qrs_biquad f{};
  if (highpass) {
    f.b0 = (1.0 + cw) / 2.0 / a0;
    f.b1 = -(1.0 + cw) / a0;
  } else {
    f.b0 = (1.0 - cw) / 2.0 / a0;
    f.b1 = (1.0 - cw) / a0;
  }
  f.b2 = f.b0;
  f.a1 = -2.0 * cw / a0;
  f.a2 = (1.0 - alpha) / a0;
  return f;
}

double filter(qrs_biquad *f, double x) {
  const double y = f->b0 * x + f->z1;
  f->z1 = f->b1 * x - f->a1 * y + f->z2;
  f->z2 = f->b2 * x - f->a2 * y;
  return y;
}

std::complex<double> response(const qrs_biquad &f, double w) {
  const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
  return (f.b0 + f.b1 * z1 + f.b2 * z2) / (1.0 + f.a1 * z1 + f.a2 * z2);
}

// Group delay of a chain of sections at `frequency`, in samples.
double group_delay(std::initializer_list<const qrs_biquad *> chain,
                   double frequency, double samplerate) {
  auto phase = [&chain](double w) {
    std::complex<double> h = 1.0;
    for (const qrs_biquad *f : chain) h *= response(*f, w);
    return std::arg(h);
  };
  const double w = 2.0 * kPi * frequency / samplerate, dw = 1e-4;
  return -(phase(w + dw) - phase(w - dw)) / (2.0 * dw);
}

void *allocate(size_t bytes) {
  void *m = std::calloc(bytes, 1);
  if (m == nullptr) {
    if (errno == 0) errno = ENOMEM;
    fatal_system_error("qrs_params_init");
  }
  return m;
}

// The average beat interval, samples.
double interval(const qrs_params *p) {
  return p->rr_count > 0 ? p->rr_mean : kDefaultInterval * p->samplerate;
}

// A beat with its R peak at sample r, found at sample n.
void accept(qrs_params *p, long long r, double slope, double height,
            long long n) {
  if (p->last_r >= 0) {
    const long long rr = r - p->last_r;
    if (rr <= kSilence * p->samplerate) {
      p->rr[p->rr_count % 8] = static_cast<int>(rr);
      p->rr_count += 1;
      const int k = p->rr_count < 8 ? p->rr_count : 8;
      double sum = 0.0;
      for (int i = 0; i < k; ++i) sum += p->rr[i];
      p->rr_mean = sum / k;
    }
  }
  p->last_r = r;
  p->last_slope = slope;
  p->last_height = height;
  p->last_change = n;
  p->backup.height = 0.0;
  // Put out at r + delay, or now when that has passed already.
  long long at = r + p->delay;
  if (at < n) at = n;
  p->pending[at % (p->delay + 1)] = 1;
}

// Takes the best candidate below the threshold since the last beat.
void search_back(qrs_params *p, long long n) {
  const qrs_candidate c = p->backup;
  if (c.height <= 0.0) return;
  accept(p, c.r, c.slope, c.height, n);
  p->signal_level = 0.25 * c.height + 0.75 * p->signal_level;
}

// Whether the shape around ring sample c (from c - shape_half on) is kept.
bool kept(const qrs_params *p, long long c, long long n) {
  const long long a = c - p->shape_half;
  return a >= 0 && a > n - p->history && c + p->shape_half <= n;
}

// Pearson correlation of the wide-band shape around ring sample c with
// template t, the best over shifts of up to shape_shift; -1 when the
// samples needed are not kept.
double correlation(const qrs_params *p, const double *t, long long c,
                   long long n) {
  const int half = p->shape_half, step = p->shape_step;
  double tm = 0.0, tt = 0.0;
  int count = 0;
  for (int j = -half; j <= half; j += step, ++count) tm += t[j + half];
  tm /= count;
  for (int j = -half; j <= half; j += step) {
    tt += (t[j + half] - tm) * (t[j + half] - tm);
  }
  double best = -1.0;
  for (int s = -p->shape_shift; s <= p->shape_shift; s += step) {
    if (!kept(p, c + s, n)) continue;
    double xm = 0.0;
    for (int j = -half; j <= half; j += step) {
      xm += p->shape[(c + s + j) % p->history];
    }
    xm /= count;
    double xx = 0.0, xt = 0.0;
    for (int j = -half; j <= half; j += step) {
      const double d = p->shape[(c + s + j) % p->history] - xm;
      xx += d * d;
      xt += d * (t[j + half] - tm);
    }
    if (xx > 0.0 && tt > 0.0) best = std::max(best, xt / std::sqrt(xx * tt));
  }
  return best;
}

// The best correlation of the shape around ring sample c with the kept
// beat shapes (1 while there are none), and which one gave it.
double likeness(const qrs_params *p, long long c, long long n, int *which) {
  const int length = 2 * p->shape_half + 1;
  double best = p->shapes == 0 ? 1.0 : -1.0;
  *which = -1;
  for (int k = 0; k < p->shapes; ++k) {
    const double v = correlation(p, p->shape_kept + k * length, c, n);
    if (v > best) {
      best = v;
      *which = k;
    }
  }
  return best;
}

// Learns the beat shape around ring sample c: into the kept shape it is
// like, or as a new one in place of the shape unused longest.
void learn_shape(qrs_params *p, long long c, long long n, int which,
                 double like) {
  if (!kept(p, c, n)) return;
  const int length = 2 * p->shape_half + 1;
  double weight = 0.125;
  if (which < 0 || like < kSameShape) {
    weight = 1.0;
    if (p->shapes < qrs_shapes) {
      which = p->shapes++;
    } else {
      which = 0;
      for (int k = 1; k < qrs_shapes; ++k) {
        if (p->shape_used[k] < p->shape_used[which]) which = k;
      }
    }
  }
  double *t = p->shape_kept + which * length;
  for (int j = 0; j < length; ++j) {
    t[j] += weight * (p->shape[(c - p->shape_half + j) % p->history] - t[j]);
  }
  p->shape_used[which] = n;
}

// Classes the candidate peak that has just ended (at sample n).
void classify(qrs_params *p, long long n) {
  // The QRS lies under the integration window that ends at the peak: its
  // steepest slope, and its R peak as the largest wide-band deflection.
  const long long from = std::max(
      {p->peak_at - p->window - samples(kMargin, p->samplerate), 0LL,
       n - p->history + 1 + p->band_delay});
  double slope = 0.0;
  for (long long i = from; i <= p->peak_at; ++i) {
    slope = std::max(slope, p->slope[i % p->history]);
  }
  const long long shift = p->band_delay - p->shape_delay;
  long long r_at = p->peak_at - shift;
  double r_size = -1.0;
  for (long long i = std::max(from - shift, 0LL); i <= p->peak_at - shift;
       ++i) {
    const double v = std::fabs(p->shape[i % p->history]);
    if (v > r_size) {
      r_size = v;
      r_at = i;
    }
  }
  // Of the peaks under the candidate, one much more like a known beat than
  // the largest is the R peak; the larger one is an artefact beside it.
  int which = -1;
  double like = likeness(p, r_at, n, &which);
  if (p->shapes > 0 && like < kSameShape) {
    const long long last = p->peak_at - shift;
    const long long largest = r_at;
    for (long long i = std::max(from - shift, 0LL) + 1; i < last; ++i) {
      const double v = std::fabs(p->shape[i % p->history]);
      if (i == largest || v < kOtherPeak * r_size ||
          v < std::fabs(p->shape[(i - 1) % p->history]) ||
          v <= std::fabs(p->shape[(i + 1) % p->history])) {
        continue;
      }
      int w = -1;
      const double l = likeness(p, i, n, &w);
      if (l > like + kBetterShape) {
        like = l;
        which = w;
        r_at = i;
      }
    }
  }
  const long long r = std::max(r_at - p->shape_delay, 0LL);

  const double height = p->peak;
  p->classified_r = r;
  if (n < p->learning) {
    if (height > p->learn_max) p->learn_max = height;
    return;
  }
  // Past a gap of 1.66 intervals the best candidate in it is a beat, before
  // this one is looked at.
  if (p->last_r >= 0 && r - p->last_r > kSearchBackFactor * interval(p)) {
    search_back(p, n);
  }
  const long long since = p->last_r < 0 ? -1 : r - p->last_r;
  if (since >= 0 && since < p->refractory) {  // noise, or the beat's tail
    p->noise_level = 0.125 * height + 0.875 * p->noise_level;
    return;
  }
  // A T wave follows its beat closely, with half its slope and half its
  // height at most.
  const bool t_wave = since >= 0 && since < p->t_wave &&
                      slope < 0.5 * p->last_slope &&
                      height < 0.5 * p->last_height;
  // A candidate unlike every recent beat, in a stretch of high-frequency
  // noise, is noise; at most as high as the beats, lest a burst of it
  // lift the threshold above the beats that follow.
  if (like < kSameShape && p->noise > kNoiseRatio * r_size) {
    p->noise_level = 0.125 * std::min(height, p->signal_level) +
                     0.875 * p->noise_level;
    return;
  }
  const double threshold =
      p->noise_level +
      kThresholdFraction * (p->signal_level - p->noise_level);
  if (height > threshold && !t_wave) {
    accept(p, r, slope, height, n);
    learn_shape(p, r_at, n, which, like);
    p->signal_level = 0.125 * height + 0.875 * p->signal_level;
    return;
  }
  p->noise_level = 0.125 * height + 0.875 * p->noise_level;
  if (!t_wave && height > 0.5 * threshold && height > p->backup.height &&
      slope >= kSearchBackSlope * p->last_slope) {
    p->backup = qrs_candidate{height, slope, r};
  }
}

}  // namespace

void qrs_params_init(qrs_params *params, double samplerate) {
  PRECONDITION(params != nullptr);
  PRECONDITION(samplerate >= 128.0 && samplerate <= 8192.0);
  qrs_params *p = params;
  p->samplerate = samplerate;
  p->highpass = design(true, kHighpassHz, std::sqrt(0.5), samplerate);
  // Fourth-order Butterworth low-pass as two sections.
  p->lowpass[0] = design(false, kLowpassHz, 0.5411961001461969, samplerate);
  p->lowpass[1] = design(false, kLowpassHz, 1.3065629648763766, samplerate);
  p->window = samples(kIntegration, samplerate);
  moving_mean_params_init(&p->integration, p->window);
  p->refractory = samples(kRefractory, samplerate);
  p->t_wave = samples(kTWave, samplerate);
  p->learning = samples(kLearning, samplerate);
  p->silence = samples(kSilence, samplerate);
  p->hold = samples(kHold, samplerate);
  p->wide[0] = design(true, kWideHighpassHz, std::sqrt(0.5), samplerate);
  p->wide[1] = design(false, kWideLowpassHz, std::sqrt(0.5), samplerate);
  p->band_delay = static_cast<int>(std::lround(group_delay(
      {&p->highpass, &p->lowpass[0], &p->lowpass[1]}, 10.0, samplerate)));
  p->shape_delay = static_cast<int>(
      std::lround(group_delay({&p->wide[0], &p->wide[1]}, 10.0, samplerate)));
  if (p->shape_delay < 0) p->shape_delay = 0;
  if (p->shape_delay > p->band_delay) p->shape_delay = p->band_delay;
  p->latency = p->hold + p->window + samples(kMargin, samplerate) +
               p->band_delay;
  p->shape_half = samples(kShapeHalf, samplerate);
  p->shape_shift = samples(kShapeShift, samplerate);
  p->shape_step = std::max(1, samples(kShapeGrid, samplerate));
  // Room for a shape around the earliest R peak a candidate can have.
  p->history = p->latency + 2 + p->shape_half + p->shape_shift;
  p->slope = static_cast<double *>(allocate(sizeof(double) * p->history));
  p->shape = static_cast<double *>(allocate(sizeof(double) * p->history));
  p->shape_kept = static_cast<double *>(
      allocate(sizeof(double) * qrs_shapes * (2 * p->shape_half + 1)));
  p->highfreq[0] =
      design(true, kNoiseHighpassHz, 0.5411961001461969, samplerate);
  p->highfreq[1] =
      design(true, kNoiseHighpassHz, 1.3065629648763766, samplerate);
  p->delay = qrs_delay(samplerate);
  p->pending = static_cast<unsigned char *>(allocate(p->delay + 1));
  qrs_params_reset(p);
}

int qrs_delay(double samplerate) { return samples(kDelay, samplerate); }

void qrs_params_reset(qrs_params *params) {
  qrs_params *p = params;
  for (qrs_biquad *f :
       {&p->highpass, &p->lowpass[0], &p->lowpass[1], &p->wide[0], &p->wide[1],
        &p->highfreq[0], &p->highfreq[1]}) {
    f->z1 = 0.0;
    f->z2 = 0.0;
  }
  p->band_previous = 0.0;
  p->last_input = 0.0;
  moving_mean_params_reset(&p->integration);
  std::memset(p->slope, 0, sizeof(double) * p->history);
  std::memset(p->shape, 0, sizeof(double) * p->history);
  std::memset(p->shape_kept, 0,
              sizeof(double) * qrs_shapes * (2 * p->shape_half + 1));
  std::memset(p->shape_used, 0, sizeof p->shape_used);
  p->shapes = 0;
  p->noise = 0.0;
  p->n = 0;
  p->rising = 0;
  p->trough = HUGE_VAL;
  p->peak = 0.0;
  p->peak_at = 0;
  p->signal_level = 0.0;
  p->noise_level = 0.0;
  p->learn_max = 0.0;
  p->learn_sum = 0.0;
  p->last_r = -1;
  p->classified_r = -1;
  p->last_slope = 0.0;
  p->last_height = 0.0;
  p->last_change = 0;
  std::memset(p->rr, 0, sizeof p->rr);
  p->rr_count = 0;
  p->rr_mean = 0.0;
  p->backup = qrs_candidate{0.0, 0.0, 0};
  std::memset(p->pending, 0, p->delay + 1);
  p->last_beat_out = -1;
  p->beat = 0;
  p->value = 0.0;
  p->artefact = 1;
}

void qrs_params_free(qrs_params *params) {
  moving_mean_params_free(&params->integration);
  std::free(params->slope);
  std::free(params->shape);
  std::free(params->shape_kept);
  std::free(params->pending);
  params->slope = nullptr;
  params->shape = nullptr;
  params->shape_kept = nullptr;
  params->pending = nullptr;
}

void qrs(qrs_params *params, double value) {
  qrs_params *p = params;
  const long long n = p->n++;
  // A sample that is no number (a gap in the signal) repeats the last one,
  // so that the filters keep working.
  if (std::isfinite(value)) {
    p->last_input = value;
  } else {
    value = p->last_input;
  }

  // Feature: band-passed slope, its absolute value integrated.
  double b = filter(&p->highpass, value);
  b = filter(&p->lowpass[0], b);
  b = filter(&p->lowpass[1], b);
  const double d = (b - p->band_previous) * p->samplerate;
  p->band_previous = b;
  const int k = static_cast<int>(n % p->history);
  p->slope[k] = std::fabs(d);
  p->shape[k] = filter(&p->wide[1], filter(&p->wide[0], value));
  moving_mean(&p->integration, std::fabs(d));
  const double h = filter(&p->highfreq[1], filter(&p->highfreq[0], value));
  p->noise += (std::fabs(h) - p->noise) / (kNoiseAverage * p->samplerate);
  const double m = p->integration.value;

  if (n < p->learning) p->learn_sum += m;
  if (n + 1 == p->learning) {
    p->signal_level = 0.5 * p->learn_max;
    p->noise_level = 0.5 * p->learn_sum / p->learning;
    if (p->signal_level < p->noise_level) p->signal_level = p->noise_level;
    p->last_change = n;
  }

  // Candidate peaks: a rise to twice the last trough, ended by a fall to
  // half the peak or by the hold time.
  if (!p->rising) {
    if (m < p->trough) {
      p->trough = m;
    } else if (m > 2.0 * p->trough && m > 0.0) {
      p->rising = 1;
      p->peak = m;
      p->peak_at = n;
    }
  } else if (m >= p->peak) {
    p->peak = m;
    p->peak_at = n;
  } else if (m < 0.5 * p->peak || n - p->peak_at >= p->hold) {
    classify(p, n);
    p->rising = 0;
    p->trough = m;
  }

  if (n >= p->learning) {
    // Search-back for a beat missed since the last one.
    // The signal has been looked at up to the R peak of the last candidate
    // classed, and at least up to the longest a candidate takes.
    const long long horizon = std::max(p->classified_r, n - p->latency);
    if (p->last_r >= 0 && p->backup.height > 0.0 &&
        horizon - p->last_r > kSearchBackFactor * interval(p)) {
      search_back(p, n);
    }
    // A long silence: the levels were too high.
    if (n - p->last_change > p->silence) {
      p->signal_level *= 0.5;
      p->noise_level *= 0.5;
      p->last_change = n;
    }
  }

  // Output, delay samples late.
  const int slot = static_cast<int>(n % (p->delay + 1));
  p->beat = p->pending[slot];
  p->pending[slot] = 0;
  if (p->beat) {
    if (p->last_beat_out >= 0) {
      p->value = 60.0 * p->samplerate / (n - p->last_beat_out);
    }
    p->last_beat_out = n;
  }
  p->artefact = (p->value == 0.0 || n - p->last_beat_out > p->silence) ? 1 : 0;
}
