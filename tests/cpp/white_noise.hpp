#pragma once
// Reproducible standard normal draws for the tests.

#include <cstddef>
#include <random>

#include "peltaro/core/types.hpp"

namespace peltaro::testing {

inline core::Vec white_noise(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> N;
  core::Vec y(n);
  for (double& v : y) v = N(rng);
  return y;
}

}  // namespace peltaro::testing
