// A streaming function of the signal library as one callable: its record
// made with its init function, fed one sample at a time (giving the record's
// value), reset, and freed with the last copy.
#pragma once

#include <functional>
#include <memory>

namespace ref {

struct Stepper {
  std::function<double(double)> step;
  std::function<void()> reset;
};

// The value fed back is the record's `value`, or get(record).
template <class P>
Stepper stepper(const std::function<void(P *)> &init, void (*step)(P *, double), void (*reset)(P *),
                void (*release)(P *), double (*get)(const P &) = nullptr) {
  std::shared_ptr<P> p(new P, [release](P *q) {
    release(q);
    delete q;
  });
  init(p.get());
  return {[p, step, get](double v) -> double {
            step(p.get(), v);
            if constexpr (requires(P q) { q.value; }) {
              if (!get) return p->value;
            }
            return get(*p);
          },
          [p, reset] { reset(p.get()); }};
}

}  // namespace ref

// The library function F (record F_params) made with F_params_init(p, ...);
// STEPPER_OF(F, step, field, ...) steps with another function and gives
// another field.
#define STEPPER(F, ...)                                                                                  \
  ref::stepper<F##_params>([&](F##_params *p) { F##_params_init(p __VA_OPT__(, ) __VA_ARGS__); }, F,          \
                           F##_params_reset, F##_params_free)
#define STEPPER_OF(F, STEP, FIELD, ...)                                                                  \
  ref::stepper<F##_params>([&](F##_params *p) { F##_params_init(p __VA_OPT__(, ) __VA_ARGS__); }, STEP,     \
                           F##_params_reset, F##_params_free, [](const F##_params &p) -> double { return p.FIELD; })
