#pragma once
// Timing helpers shared by the benchmark programs: data loading and a
// comparison of two calls timed in alternating batches.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "peltaro/core/types.hpp"

namespace peltaro::benchmarks {

using core::Vec;

inline Vec load_column(const std::string& file, std::size_t column) {
  std::ifstream in(std::string(PELTARO_DATA_DIR) + "/" + file);
  std::string line;
  std::getline(in, line);
  Vec out;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::string cell;
    for (std::size_t c = 0; std::getline(ss, cell, ','); ++c) {
      if (c == column) {
        out.push_back(std::stod(cell));
        break;
      }
    }
  }
  return out;
}

inline Vec log_of(Vec x) {
  for (double& v : x) v = std::log(v);
  return x;
}

struct Timing {
  double first = 0.0;   // median seconds per call of `a`
  double second = 0.0;  // median seconds per call of `b`
  double ratio = 0.0;   // median of the per-batch ratios b / a
};

template <class F>
double seconds_per_call(F& call, int reps) {
  using clock = std::chrono::steady_clock;
  const auto t0 = clock::now();
  for (int i = 0; i < reps; ++i) call();
  return std::chrono::duration<double>(clock::now() - t0).count() / reps;
}

template <class F>
int calibrate(F& call, double batch_seconds) {
  int reps = 1;
  for (;;) {
    const double per_call = seconds_per_call(call, reps);
    if (per_call * reps > batch_seconds / 4) return std::max(1, static_cast<int>(batch_seconds / per_call));
    reps *= 2;
  }
}

// The two calls are timed in alternating batches, so that a change of load on
// the machine during the run affects both sides of each ratio alike.
template <class A, class B>
Timing compare(A&& a, B&& b, int batches = 15, double batch_seconds = 0.04) {
  const int reps_a = calibrate(a, batch_seconds);
  const int reps_b = calibrate(b, batch_seconds);
  std::vector<double> ta, tb, r;
  for (int i = 0; i < batches; ++i) {
    ta.push_back(seconds_per_call(a, reps_a));
    tb.push_back(seconds_per_call(b, reps_b));
    r.push_back(tb.back() / ta.back());
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  return {median(ta), median(tb), median(r)};
}

}  // namespace peltaro::benchmarks
