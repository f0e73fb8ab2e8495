#pragma once
// Standard errors, z statistics, two-sided p values, confidence intervals and
// the covariance matrix of given model parameters, from one of two estimates
// of the information matrix:
//   "hessian"  the negative Hessian of the log-likelihood in the optimiser's
//              unconstrained coordinates, carried to the model parameters by
//              the inverse transform Jacobian (delta method);
//   "opg"      the sum of the outer products of the per-observation scores.
// Numerical trouble once the information matrix exists (singular, NaN) is
// reported in the result's status and message, not as an error.

#include <Eigen/Dense>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "peltaro/core/error.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::apply {

using core::Columns;
using core::SarimaxConfig;
using core::Vec;

// All vectors in the flat parameter order; k = n_params.
struct InferenceResult {
  std::string method;  // the method text received
  Vec cov_params;      // V row by row: element i·k + j is V[i][j]
  Vec std_err;
  Vec z_stat;
  Vec p_value;
  Vec ci_lower;
  Vec ci_upper;
  std::string status;                  // "ok", "partial" or "failed"
  std::optional<std::string> message;  // absent exactly with "ok"
  std::size_t n_params = 0;
};

// `params` are model (constrained) parameters; alpha lies in (0, 1), which
// the caller guarantees. An empty parameter vector answers at once, whatever
// the method text; otherwise the method must be "hessian" or "opg".
core::Result<InferenceResult> compute_inference(std::span<const double> y,
                                                const SarimaxConfig& config,
                                                std::span<const double> params,
                                                std::string_view method, double alpha,
                                                const Columns* exog);

// The log-likelihood at a point of unconstrained coordinates (`kalman_eval`
// on the constrained parameters); a value that is not finite fails with
// "non-finite loglike".
core::Result<double> eval_loglike_at_unconstrained(std::span<const double> x,
                                                   const SarimaxConfig& config,
                                                   std::span<const double> y,
                                                   const Columns* exog);

// Difference step of the numerical Hessian for one unconstrained coordinate.
double hessian_step(double u);

// Gradient of the log-likelihood at a point; absent where it cannot be had.
using GradientFn = std::function<std::optional<Vec>(std::span<const double>)>;

// Hessian at u by central differences of the gradient: column j is
// (g(u + h_j·e_j) − g(u − h_j·e_j)) / (2·h_j), h_j = hessian_step(u_j), then
// H = (H + Hᵀ)/2. Differencing the log-likelihood twice instead would divide
// its rounding noise (large after the 1e6 diffuse start) by h², which swamps
// the curvature; the gradient's noise is divided by h only. A failed
// evaluation makes its column, and by the symmetrisation its row, NaN.
Eigen::MatrixXd numerical_hessian(std::span<const double> u, const GradientFn& gradient);

// Covariance V (inverse of `information`, or its pseudo-inverse when it is
// singular) and everything derived from it, with the status rules.
// `information` must be k×k for the k parameters (std::logic_error otherwise).
InferenceResult inference_from_information(const Eigen::MatrixXd& information,
                                           std::span<const double> params, std::string method,
                                           double alpha);

}  // namespace peltaro::apply
