#pragma once
// Two doubles as one SSE2 vector, loaded and stored from any address. The
// covariance sweeps work in such pairs where the compiler would not pair
// their entries by itself.

#include <cstring>

namespace peltaro::core {

using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store_pair(double* p, Pair v) { std::memcpy(p, &v, sizeof v); }

}  // namespace peltaro::core
