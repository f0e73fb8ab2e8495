#pragma once
// statsmodels' maximum log-likelihoods of SARIMAX fits on public series
// (tests/data/make_runner_reference.py), each with its series prepared as that
// script prepares it, its model, and a start for the runners.

#include <cmath>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "score_fixtures.hpp"

namespace peltaro::runner_reference {

using core::SarimaxConfig;
using core::Vec;

struct Case {
  std::string name;
  Vec y;
  SarimaxConfig config;
  Vec start;  // model coordinates
  double loglike = std::nan("");  // until read from the file
};

inline Vec mapped(const char* file, double (*f)(double)) {
  Vec y = score_fixtures::load_csv_column(file, 1);
  for (double& v : y) v = f(v);
  return y;
}

// The cases every runner can reach; `bounded` adds the lynx model whose
// coefficients are used as they stand, with a first AR coefficient beyond
// 0.999 at its maximum.
inline std::vector<Case> cases(bool bounded) {
  using score_fixtures::cfg;
  std::vector<Case> out{
      {"lakehuron_arma11", mapped("lakehuron.csv", [](double v) { return v - 579.0; }),
       cfg({1, 0, 1, 0, 0, 0, 0}), {0.0, 0.0, 1.0}},
      {"nile_ima11", mapped("nile.csv", [](double v) { return v / 100.0; }),
       cfg({0, 1, 1, 0, 0, 0, 0}), {0.0, 1.0}},
      {"airline", mapped("airpassengers.csv", [](double v) { return 100.0 * std::log(v); }),
       cfg({0, 1, 1, 0, 1, 1, 12}), {0.0, 0.0, 1.0}},
  };
  if (bounded) {
    const Vec y = mapped("lynx.csv", [](double v) { return std::log10(v); });
    // The constant starts where it keeps the series' mean.
    const double mean = std::accumulate(y.begin(), y.end(), 0.0) / static_cast<double>(y.size());
    const SarimaxConfig unenforced = cfg({2, 0, 0, 0, 0, 0, 0}, core::Trend::Constant, 0, false,
                                         /*stationary=*/false);
    out.push_back({"lynx_ar2_c", y, unenforced, {0.3 * mean, 0.7, 0.0, 1.0}});
  }
  std::ifstream in(PELTARO_TEST_DATA_DIR "/runner_reference.csv");
  for (std::string name, rest; std::getline(in, name, ',') && std::getline(in, rest);) {
    for (Case& c : out) {
      if (c.name == name) c.loglike = std::stod(rest);
    }
  }
  return out;
}

}  // namespace peltaro::runner_reference
