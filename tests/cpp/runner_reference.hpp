#pragma once
// statsmodels' maximum log-likelihoods of SARIMAX fits on public series
// (tests/data/make_runner_reference.py), and each series prepared as that
// script prepares it.

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "score_fixtures.hpp"

namespace peltaro::runner_reference {

using core::Vec;

// Case name → maximised log-likelihood.
inline std::map<std::string, double> peer_loglikes() {
  std::ifstream in(PELTARO_DATA_DIR "/../tests/data/runner_reference.csv");
  std::map<std::string, double> out;
  for (std::string line, name, value; std::getline(in, line);) {
    std::stringstream ss(line);
    if (line[0] != '#' && std::getline(ss, name, ',') && std::getline(ss, value, ',')) {
      out[name] = std::stod(value);
    }
  }
  return out;
}

// The series the named case was fitted on.
inline Vec series(const std::string& name) {
  namespace fx = score_fixtures;
  const auto mapped = [](Vec y, double (*f)(double)) {
    for (double& v : y) v = f(v);
    return y;
  };
  if (name == "lakehuron_arma11") {
    return mapped(fx::load_csv_column("lakehuron.csv", 1), [](double v) { return v - 579.0; });
  }
  if (name == "nile_ima11") {
    return mapped(fx::load_csv_column("nile.csv", 1), [](double v) { return v / 100.0; });
  }
  if (name == "airline") {
    return mapped(fx::load_csv_column("airpassengers.csv", 1),
                  [](double v) { return 100.0 * std::log(v); });
  }
  if (name == "lynx_ar2_c_fixed") {
    return mapped(fx::load_csv_column("lynx.csv", 1), [](double v) { return std::log10(v); });
  }
  throw std::invalid_argument("no reference series " + name);
}

}  // namespace peltaro::runner_reference
