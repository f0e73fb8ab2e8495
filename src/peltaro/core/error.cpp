#include "peltaro/core/error.hpp"

#include <charconv>
#include <cmath>

namespace peltaro::core {

std::string SarimaxError::display() const {
  switch (kind_) {
    case Kind::ParameterLengthMismatch:
      return "parameter length mismatch: expected " + std::to_string(expected_) + ", got " +
             std::to_string(got_);
    case Kind::StateSpaceConstruction:
      return "state space construction failed: " + text_;
    case Kind::CholeskyFailed:
      return "Cholesky decomposition failed: covariance matrix is not positive-definite";
    case Kind::OptimizationFailed:
      return "optimization failed: " + text_;
    case Kind::NonStationaryAr:
      return "non-stationary AR polynomial";
    case Kind::NonInvertibleMa:
      return "non-invertible MA polynomial";
    case Kind::DataError:
      return "data error: " + text_;
    case Kind::InvalidInput:
      return "invalid input: " + text_;
    case Kind::InferenceFailed:
      return "inference computation failed: " + text_;
  }
  return {};
}

std::string format_double(double x) {
  if (std::isnan(x)) return "NaN";
  // Positional notation of the shortest round-trip digits: at most ~330
  // characters for the smallest subnormal.
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof(buf), x, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

std::string format_list(const std::vector<std::uint64_t>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(values[i]);
  }
  out += "]";
  return out;
}

}  // namespace peltaro::core
