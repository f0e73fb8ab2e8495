#pragma once
// The fit record and how it is built from an optimum: constrained
// parameters, one last filter pass for the log-likelihood and the scale,
// information criteria and the near-cancellation warning.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "peltaro/core/error.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

struct FitResult {
  Vec params;  // flat order, model coordinates; no sigma2 when concentrated
  std::string method;
  std::vector<std::string> warnings;
  double loglike = 0.0;
  double scale = 0.0;
  std::uint64_t n_obs = 0;     // length of the prepared series, burn-in included
  std::uint64_t n_params = 0;  // counts the innovation variance even when concentrated out
  std::uint64_t n_iter = 0;
  double aic = 0.0;
  double bic = 0.0;
  bool converged = false;
};

// k of the information criteria: every coefficient plus the variance.
std::uint64_t information_param_count(const SarimaxConfig& config);

// The record at the optimum x (unconstrained) of an optimiser path. `y` and
// `exog` are the prepared series and columns; `warnings` come first in the
// record, before the near-cancellation one. Fails (optimization failed)
// when the point gives a variance or scale that is not a positive number.
core::Result<FitResult> build_fit_result(std::span<const double> y, const SarimaxConfig& config,
                                         std::span<const double> x, std::uint64_t n_iter,
                                         bool converged, std::string label, const Columns* exog,
                                         std::vector<std::string> warnings = {});

// The same record at the optimum's model parameters `params` (flat order).
core::Result<FitResult> build_fit_result_at(std::span<const double> y, const SarimaxConfig& config,
                                            Vec params, std::uint64_t n_iter, bool converged,
                                            std::string label, const Columns* exog,
                                            std::vector<std::string> warnings = {});

// The record at fixed model parameters when nothing is optimised; converged
// only when the model has no parameters at all. A given variance that is not
// a positive number is a data error; a concentrated scale that is not fails
// as build_fit_result does.
core::Result<FitResult> build_zero_iter_result(std::span<const double> y,
                                               const SarimaxConfig& config,
                                               std::span<const double> params, const Columns* exog,
                                               std::string_view method);

// Log-likelihood at model parameters, −∞ on any failure.
double eval_kf_loglike_constrained(std::span<const double> y, const SarimaxConfig& config,
                                   std::span<const double> params, const Columns* exog);

}  // namespace peltaro::estimation
