#pragma once
// One-step prediction errors of a series at fixed model parameters.

#include <span>

#include "peltaro/core/error.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::apply {

// One entry per filtered observation (the differenced series under simple
// differencing), the observations of the diffuse start included.
struct ResidualOutput {
  core::Vec residuals;               // innovation v_t
  core::Vec standardized_residuals;  // v_t / sqrt(c·F_t), 0.0 unless c·F_t > 0
  core::Vec prediction_variances;    // c·F_t, c the concentrated scale or 1
  // The last n_eff entries are the observations the likelihood counts; the
  // ones before them belong to the diffuse start.
  std::size_t n_eff = 0;
};

// Under simple differencing the series and every regressor column are
// differenced first, as for the log-likelihood. `exog` may be null.
core::Result<ResidualOutput> residuals_pipeline(std::span<const double> y,
                                                const core::SarimaxConfig& config,
                                                const core::SarimaxParams& params,
                                                const core::Columns* exog);

}  // namespace peltaro::apply
