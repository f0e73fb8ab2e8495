#include "peltaro/core/kalman/dense_sweeps.hpp"

#include <atomic>
#include <cstring>

#include "peltaro/core/kalman/pairs.hpp"

namespace peltaro::core {
namespace {

namespace baseline {
#include "peltaro/core/kalman/dense_sweeps_body.inc"
}  // namespace baseline

constexpr DenseSweeps BASELINE{&baseline::transpose,         &baseline::mirror_lower,
                               &baseline::mirror_lower_times, &baseline::lower_times,
                               &baseline::symmetrize,
                               &baseline::reference_rows,     &baseline::reference_columns,
                               &baseline::reference_plain};

#if defined(__GNUC__) && defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
#include "peltaro/core/kalman/dense_sweeps_body.inc"
}  // namespace avx2
#pragma GCC pop_options

constexpr DenseSweeps AVX2{&avx2::transpose,         &avx2::mirror_lower,
                           &avx2::mirror_lower_times, &avx2::lower_times,
                           &avx2::symmetrize,
                           &avx2::reference_rows,     &avx2::reference_columns,
                           &avx2::reference_plain};

const DenseSweeps* widest() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? &AVX2 : &BASELINE;
}
#else
const DenseSweeps* widest() { return &BASELINE; }
#endif

std::atomic<const DenseSweeps*> active{nullptr};

}  // namespace

const DenseSweeps& dense_sweeps() {
  const DenseSweeps* sweeps = active.load(std::memory_order_relaxed);
  if (sweeps == nullptr) {
    sweeps = widest();
    active.store(sweeps, std::memory_order_relaxed);
  }
  return *sweeps;
}

void use_baseline_sweeps(bool baseline) {
  active.store(baseline ? &BASELINE : widest(), std::memory_order_relaxed);
}

}  // namespace peltaro::core
