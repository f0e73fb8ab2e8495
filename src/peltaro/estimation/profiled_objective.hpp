#pragma once
// The negative log-likelihood of a model with regressors as a function of
// every parameter but the regression coefficients: at each point the
// coefficients are concentrated out by generalised least squares from one
// batched Kalman pass over the series and the regressor columns.

#include <span>

#include "peltaro/core/params.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// One profiled evaluation.
struct ProfiledEval {
  core::SarimaxParams params;  // model parameters, GLS betas included
  Vec x_full;                  // the full unconstrained vector, betas inserted
  double negloglike = 0.0;     // −loglike at params
};

// profiled[0 … k_trend), then the betas, then profiled[k_trend …).
// `profiled` must hold at least k_trend entries.
Vec insert_exog_block(std::span<const double> profiled, std::span<const double> betas,
                      core::Trend trend);

// full without its regression block. `full` must hold at least
// k_trend + n_exog entries.
Vec remove_exog_block(std::span<const double> full, const SarimaxConfig& config);

class ProfiledSarimaxObjective {
 public:
  ProfiledSarimaxObjective(Vec endog, Columns exog, SarimaxConfig config)
      : endog_(std::move(endog)), exog_(std::move(exog)), config_(config) {}

  // x: [trend][AR][MA][seasonal AR][seasonal MA][log sigma2 unless concentrated],
  // unconstrained.
  [[nodiscard]] TextResult<ProfiledEval> eval_profiled(std::span<const double> x) const;
  // Gradient of −loglike of the full model at the GLS betas, over the
  // profiled coordinates.
  [[nodiscard]] TextResult<Vec> analytical_gradient_negloglike(std::span<const double> x) const;

  [[nodiscard]] const Vec& endog() const { return endog_; }
  [[nodiscard]] const Columns& exog() const { return exog_; }
  [[nodiscard]] const SarimaxConfig& config() const { return config_; }

 private:
  Vec endog_;
  Columns exog_;
  SarimaxConfig config_;
};

}  // namespace peltaro::estimation
