#pragma once
// The one error type of the numerical core, with its display text, and the
// number formatting that every message shares.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace peltaro::core {

class SarimaxError {
 public:
  enum class Kind : std::uint8_t {
    ParameterLengthMismatch = 0,
    StateSpaceConstruction = 1,
    CholeskyFailed = 2,
    OptimizationFailed = 3,
    NonStationaryAr = 4,
    NonInvertibleMa = 5,
    DataError = 6,
    InvalidInput = 7,
    InferenceFailed = 8,
  };

  static SarimaxError parameter_length_mismatch(std::uint64_t expected, std::uint64_t got) {
    SarimaxError e(Kind::ParameterLengthMismatch, {});
    e.expected_ = expected;
    e.got_ = got;
    return e;
  }
  static SarimaxError state_space_construction(std::string text) {
    return {Kind::StateSpaceConstruction, std::move(text)};
  }
  static SarimaxError cholesky_failed() { return {Kind::CholeskyFailed, {}}; }
  static SarimaxError optimization_failed(std::string text) {
    return {Kind::OptimizationFailed, std::move(text)};
  }
  static SarimaxError non_stationary_ar() { return {Kind::NonStationaryAr, {}}; }
  static SarimaxError non_invertible_ma() { return {Kind::NonInvertibleMa, {}}; }
  static SarimaxError data_error(std::string text) { return {Kind::DataError, std::move(text)}; }
  static SarimaxError invalid_input(std::string text) {
    return {Kind::InvalidInput, std::move(text)};
  }
  static SarimaxError inference_failed(std::string text) {
    return {Kind::InferenceFailed, std::move(text)};
  }

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] const std::string& payload() const { return text_; }
  [[nodiscard]] std::uint64_t expected() const { return expected_; }
  [[nodiscard]] std::uint64_t got() const { return got_; }

  // The only rendering of an error anywhere in the system.
  [[nodiscard]] std::string display() const;

  friend bool operator==(const SarimaxError&, const SarimaxError&) = default;

 private:
  SarimaxError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;
  std::uint64_t expected_ = 0;
  std::uint64_t got_ = 0;
};

template <class T>
using Result = std::expected<T, SarimaxError>;

inline std::unexpected<SarimaxError> fail(SarimaxError e) { return std::unexpected(std::move(e)); }

// Shortest text that reads back to the same double, positional notation,
// no trailing ".0"; NaN reads "NaN", infinities "inf" / "-inf".
std::string format_double(double x);

// A list of counts in the form "[3, 1]".
std::string format_list(const std::vector<std::uint64_t>& values);

// Why a variance is refused, wherever one is. A non-finite value is told it
// must be finite as well: "must be positive, got inf" would read as nonsense.
std::string refused_variance_text(double sigma2);

}  // namespace peltaro::core
