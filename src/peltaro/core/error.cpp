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
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  // The shortest digits that read back to x come from the scientific form;
  // they are then written out positionally. (The fixed form would print
  // every digit of a large integer value: 1e23 as 99999999999999991611392.)
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof(buf), x, std::chars_format::scientific);
  std::string text(buf, res.ptr);
  const bool negative = text.front() == '-';
  if (negative) text.erase(0, 1);
  const std::size_t e = text.find('e');
  const int exponent = std::stoi(text.substr(e + 1));
  std::string digits = text.substr(0, e);
  std::erase(digits, '.');
  // x = 0.d1d2… × 10^point.
  const long point = exponent + 1;
  const auto count = static_cast<long>(digits.size());
  std::string out;
  if (point <= 0) {
    out = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (point >= count) {
    out = digits + std::string(static_cast<std::size_t>(point - count), '0');
  } else {
    out = digits.substr(0, static_cast<std::size_t>(point)) + "." +
          digits.substr(static_cast<std::size_t>(point));
  }
  return negative ? "-" + out : out;
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

std::string refused_variance_text(double sigma2) {
  const char* requirement = std::isfinite(sigma2) ? "positive" : "positive and finite";
  return std::string("variance sigma2 must be ") + requirement + ", got " + format_double(sigma2);
}

}  // namespace peltaro::core
