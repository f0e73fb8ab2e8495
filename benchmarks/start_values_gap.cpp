// How good are the computed start values? For common models on the public
// series, the log-likelihood at our start values against statsmodels'
// maximum (tests/data/start_gap_reference.json, made by
// tests/data/make_start_gap_reference.py). The smaller the gap, the less the
// optimiser has to climb.
//
// Columns: the peer's maximum, our log-likelihood at our start values, the
// gap between the two, the gap at statsmodels' own start values for
// comparison, and our log-likelihood at the peer's optimum minus the peer's
// maximum, which shows that both sides evaluate the same likelihood.

#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "peltaro/core/params.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/estimation/start_params.hpp"
#include "timing.hpp"

namespace {

using namespace peltaro;
using core::Vec;

// The text of `key` in a one-line JSON record: a string's contents, an
// array's contents without brackets, or a number.
std::string field(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\": ";
  std::size_t at = line.find(tag);
  if (at == std::string::npos) throw std::runtime_error("no field " + key);
  at += tag.size();
  if (line[at] == '[' || line[at] == '"') {
    const std::size_t end = line.find(line[at] == '[' ? ']' : '"', at + 1);
    return line.substr(at + 1, end - at - 1);
  }
  return line.substr(at, line.find_first_of(",}", at) - at);
}

Vec numbers(const std::string& text) {
  Vec out;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t used = 0;
    out.push_back(std::stod(text.substr(at), &used));
    at += used;
    while (at < text.size() && (text[at] == ',' || text[at] == ' ')) ++at;
  }
  return out;
}

// The log-likelihood at a flat parameter vector, or NaN when the filter
// cannot evaluate it.
double loglike_at(const Vec& y, const Vec& theta, const core::SarimaxConfig& config) {
  const auto params = core::SarimaxParams::from_flat(theta, config);
  if (!params) return NAN;
  const auto out = core::kalman_eval(y, *params, config, nullptr);
  return out ? out->loglike : NAN;
}

}  // namespace

int main() {
  std::ifstream in(PELTARO_TEST_DATA_DIR "/start_gap_reference.json");
  if (!in) {
    std::fprintf(stderr, "cannot open tests/data/start_gap_reference.json\n");
    return 1;
  }
  std::printf("%-22s %4s %12s %12s %10s %10s %10s\n", "model", "n", "peer max", "ours@start",
              "gap", "sm gap", "check");
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"name\": ") == std::string::npos) continue;
    Vec y = benchmarks::load_column(field(line, "file"), std::stoull(field(line, "column")));
    if (field(line, "log") == "1") y = benchmarks::log_of(y);
    const Vec o = numbers(field(line, "order"));
    const Vec so = numbers(field(line, "seasonal"));
    const auto u = [](double v) { return static_cast<std::uint64_t>(v); };
    core::SarimaxConfig config;
    config.order = {u(o[0]), u(o[1]), u(o[2]), u(so[0]), u(so[1]), u(so[2]), u(so[3])};
    config.trend = static_cast<core::Trend>(std::stoi(field(line, "trend")));
    const double peer = std::stod(field(line, "peer_loglike"));
    const double peer_start = std::stod(field(line, "peer_start_loglike"));

    const auto start = estimation::validate_and_get_start_params(y, config, nullptr, nullptr);
    const double ours = start ? loglike_at(y, *start, config) : NAN;
    const double check = loglike_at(y, numbers(field(line, "peer_params")), config) - peer;
    std::printf("%-22s %4zu %12.4f %12.4f %10.4f %10.4f %10.1e\n", field(line, "name").c_str(),
                y.size(), peer, ours, peer - ours, peer - peer_start, check);
    if (start) {
      std::printf("%28s", "start:");
      for (double v : *start) std::printf(" %.5g", v);
      std::printf("\n");
    } else {
      std::printf("%28s %s\n", "start failed:", start.error().display().c_str());
    }
  }
  return 0;
}
