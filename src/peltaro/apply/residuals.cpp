#include "peltaro/apply/residuals.hpp"

#include <cmath>

#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/pipeline.hpp"

namespace peltaro::apply {

core::Result<ResidualOutput> residuals_pipeline(std::span<const double> y,
                                                const core::SarimaxConfig& config,
                                                const core::SarimaxParams& params,
                                                const core::Columns* exog) {
  // The data and the system the log-likelihood sees, step for step.
  auto model = core::FilterModel::build(y, params, config, exog);
  if (!model) return core::fail(std::move(model.error()));
  auto filtered = core::kalman_core(model->series(), model->state_space(), model->init(),
                                    config.concentrate_scale, true);
  if (!filtered) return core::fail(std::move(filtered.error()));

  const double c = config.concentrate_scale ? filtered->scale : 1.0;
  const std::size_t n = filtered->innovations.size();
  ResidualOutput out;
  out.standardized_residuals.resize(n);
  out.prediction_variances.resize(n);
  for (std::size_t t = 0; t < n; ++t) {
    const double pv = c * filtered->f_values[t];
    out.prediction_variances[t] = pv;
    // A variance that is not positive (NaN included) standardizes to 0.
    out.standardized_residuals[t] = pv > 0.0 ? filtered->innovations[t] / std::sqrt(pv) : 0.0;
  }
  out.residuals = std::move(filtered->innovations);
  out.n_eff = filtered->n_eff;
  return out;
}

}  // namespace peltaro::apply
