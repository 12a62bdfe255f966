// Inline building blocks shared by the recursive*.cpp files of the library:
// the per-sample steps of the delay line and the moving mean, so that the
// composite functions do not pay a call per component.
#pragma once

#include <cerrno>
#include <cstdlib>

#include <sys/mman.h>

#include "common.h"
#include "fex.h"

namespace fex_internal {

#define FEX_ALWAYS_INLINE inline __attribute__((always_inline))

// calloc that ends the program with the caller's name on failure.
inline void *checked_calloc(size_t count, size_t size, const char *who) {
  if (count == 0) count = 1;
  void *p = std::calloc(count, size);
  if (p == nullptr) {
    if (errno == 0) errno = ENOMEM;
    fatal_system_error(who);
  }
  return p;
}

// Zeroed room for a delay line of `count` doubles. Long lines are mapped
// with all their pages populated at once: faulting them in one at a time as
// the line fills costs more than the computing when many long lines run.
inline constexpr size_t kMappedDelayLine = 16384;  // doubles (128 KiB)

inline double *delay_buffer_alloc(size_t count, const char *who) {
  if (count < kMappedDelayLine) {
    return static_cast<double *>(checked_calloc(count, sizeof(double), who));
  }
  void *p = mmap(nullptr, count * sizeof(double), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (p == MAP_FAILED) fatal_system_error(who);
  return static_cast<double *>(p);
}

inline void delay_buffer_free(double *buf, size_t count) {
  if (buf == nullptr) return;
  if (count < kMappedDelayLine) {
    std::free(buf);
  } else {
    munmap(buf, count * sizeof(double));
  }
}

// A non-negative double truncated to int; -1 for anything negative, NaN or
// beyond the int range, so that the callers' "delay >= 0" checks catch
// smoothing factors outside [0, 1).
inline int truncate_delay(double d) {
  if (!(d >= 0.0) || d >= 2147483648.0) return -1;
  return static_cast<int>(d);
}

// Delay line: the first input while the line fills, then the input of
// `size` samples ago.
FEX_ALWAYS_INLINE void delay_step(delay_params *params, double value) {
  const int n = params->size;
  if (n == 0) {
    params->value = value;
    params->num_collected = 1;
    return;
  }
  int pos = params->bufpos;
  if (params->num_collected > n) {
    params->value = params->buf[pos];
  } else if (params->num_collected == 0) {
    params->value = value;
    params->num_collected = 1;
  } else {
    params->value = params->buf[0];  // the very first sample stored
    params->num_collected++;
  }
  params->buf[pos] = value;
  if (++pos == n) pos = 0;
  params->bufpos = pos;
}

// Moving mean without resynchronisation, given the sample that leaves the
// window (read only once the window is full), so that records holding the
// same samples can share one delay line.
FEX_ALWAYS_INLINE void moving_mean_sum_step(moving_mean_params *params,
                                            double value, double leaving) {
  params->sum += value;
  if (params->num_collected < params->size) {
    params->num_collected++;
    params->value = params->sum / params->num_collected;
  } else {
    params->sum -= leaving;
    params->value = params->sum / params->size;
  }
}

// The periodic resynchronisation: the fresh sum starts with the window, so
// on completion it holds exactly the last `size` samples and replaces the
// drifting running sum.
FEX_ALWAYS_INLINE void moving_mean_resync_step(moving_mean_params *params,
                                               double value) {
  params->new_sum += value;
  if (++params->new_sum_collected == params->size) {
    params->sum = params->new_sum;
    params->new_sum = 0.0;
    params->new_sum_collected = 0;
  }
}

// Moving mean without resynchronisation, on its own delay line.
FEX_ALWAYS_INLINE void moving_mean_fast_step(moving_mean_params *params,
                                             double value) {
  delay_step(&params->delayed, value);
  moving_mean_sum_step(params, value, params->delayed.value);
}

// Moving mean on its own delay line.
FEX_ALWAYS_INLINE void moving_mean_step(moving_mean_params *params,
                                        double value) {
  moving_mean_fast_step(params, value);
  moving_mean_resync_step(params, value);
}

// Moving mean fed with the leaving sample by its owner.
FEX_ALWAYS_INLINE void moving_mean_shared_step(moving_mean_params *params,
                                               double value, double leaving) {
  moving_mean_sum_step(params, value, leaving);
  moving_mean_resync_step(params, value);
}

// A moving mean of `size` that gets its leaving samples from its owner and
// keeps no delay line (its `delayed` line has length 0 and stays unused).
inline void moving_mean_shared_init(moving_mean_params *params, int size) {
  PRECONDITION(size > 0);
  params->size = size;
  delay_params_init(&params->delayed, 0);
  params->delay = moving_default_delay(size);
  moving_mean_params_reset(params);
}

}  // namespace fex_internal
