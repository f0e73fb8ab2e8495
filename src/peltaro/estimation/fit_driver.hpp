#pragma once
// The one entry of estimation: which optimiser names exist, which data each
// step sees, how start values are obtained and improved, when nothing is
// optimised, which strategy runs, and how its optimum becomes the fit record.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "peltaro/core/error.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

inline constexpr std::string_view DEFAULT_METHOD = "lbfgsb";
inline constexpr std::uint64_t DEFAULT_MAXITER = 500;

// The accepted method names, in the order the unknown-method error lists them.
inline constexpr std::array<std::string_view, 12> METHOD_NAMES = {
    "lbfgsb",       "lbfgsb-multi", "lbfgsb-adaptive", "lbfgsb-hybrid",
    "lbfgsb-strict", "lbfgsb_single", "lbfgs",          "bfgs",
    "trust-region", "profile-trust-region", "nelder-mead", "nm",
};

// The margin by which a conditional-sum-of-squares proposal must beat the
// start's log-likelihood (0 for seasonal models, 2 otherwise), or nothing
// when the pre-step does not run: it needs two or more ARMA coefficients, or
// a seasonal one.
std::optional<double> css_prestep_margin(const SarimaxConfig& config);

// A fit under simple differencing is tried first for large state vectors.
bool warm_start_applies(const SarimaxConfig& config);

// Maximum-likelihood fit of `config` to the raw series `y`. `start_params`
// are model (constrained) values in flat order; `exog` the caller's columns.
core::Result<FitResult> fit(std::span<const double> y, const SarimaxConfig& config,
                            std::optional<std::span<const double>> start_params,
                            std::optional<std::string_view> method,
                            std::optional<std::uint64_t> maxiter, const Columns* exog);

}  // namespace peltaro::estimation
