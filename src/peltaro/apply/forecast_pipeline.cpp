#include "peltaro/apply/forecast_pipeline.hpp"

#include <optional>
#include <utility>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::apply::forecast {

namespace {

using core::fail;

struct FilteredModel {
  core::StateSpace ss;
  core::KalmanFilterOutput output;
};

// The model over `series` and one filter pass with stored outputs; the
// variance is checked after the model and data checks, as the likelihood
// does, so both report the same error for the same input.
core::Result<FilteredModel> filter_model(std::span<const double> series,
                                         const core::SarimaxConfig& config,
                                         const core::SarimaxParams& params,
                                         const core::Columns* exog) {
  auto ss = core::StateSpace::create(config, params, series, exog);
  if (!ss) return fail(std::move(ss.error()));
  if (auto err = core::check_variance(params, config)) return fail(std::move(*err));
  const core::KalmanInit init = core::KalmanInit::from_config_default(*ss, config);
  auto output = core::kalman_core(series, *ss, init, config.concentrate_scale, true);
  if (!output) return fail(std::move(output.error()));
  return FilteredModel{std::move(*ss), std::move(*output)};
}

// The differencing states of the integrated form at the time just past `u`,
// from its last d + s·D values (u is the series net of the regression
// effect): first Δⁱu at the last time for i = 0 … d − 1, then, under a
// seasonal difference, the last s values of Δᵈu, newest first.
Eigen::VectorXd known_differencing_states(std::span<const double> u_tail, std::size_t d) {
  Eigen::VectorXd states(static_cast<Eigen::Index>(u_tail.size()));
  core::Vec level(u_tail.begin(), u_tail.end());
  for (std::size_t i = 0; i < d; ++i) {
    states[static_cast<Eigen::Index>(i)] = level.back();
    for (std::size_t t = level.size() - 1; t > 0; --t) level[t] = level[t] - level[t - 1];
    level.erase(level.begin());
  }
  for (std::size_t j = 0; j < level.size(); ++j) {
    states[static_cast<Eigen::Index>(d + j)] = level[level.size() - 1 - j];
  }
  return states;
}

// Under simple differencing the filter runs on the differenced series, but a
// forecast of the level must carry the covariances of the differenced
// forecast errors across steps. The model's integrated form does exactly
// that: its ARMA block is the differenced model's, and its differencing
// states are known once the last d + s·D values are, so they enter with
// zero variance.
core::Result<ForecastResult> forecast_differenced(std::span<const double> y,
                                                  const core::SarimaxConfig& config,
                                                  const core::SarimaxParams& params,
                                                  std::size_t steps, const core::Columns* exog,
                                                  const core::Columns* future_exog, double alpha) {
  // The regressors are differenced with the series, so the differenced model
  // is the one whose likelihood is evaluated at these parameters; its checks
  // come first, as on the likelihood path.
  auto prepared = core::prepare_endog(y, config, exog);
  if (!prepared) return fail(std::move(prepared.error()));
  const std::span<const double> w = prepared->series;
  auto filtered = filter_model(w, config, params,
                               prepared->columns ? &*prepared->columns : nullptr);
  if (!filtered) return fail(std::move(filtered.error()));

  // The integrated form is needed for its matrices and for the regression
  // effect of the last d + s·D observations only, so it is built over those.
  core::SarimaxConfig integrated_config = config;
  integrated_config.simple_differencing = false;
  const std::size_t k_diff = integrated_config.k_diff();
  const std::size_t n = y.size();
  const std::span<const double> y_tail = y.subspan(n - k_diff);
  std::optional<core::Columns> exog_tail;
  if (exog != nullptr) {
    exog_tail.emplace();
    for (const core::Vec& column : *exog) {
      const std::size_t from = column.size() >= k_diff ? column.size() - k_diff : 0;
      exog_tail->emplace_back(column.begin() + static_cast<std::ptrdiff_t>(from), column.end());
    }
  }
  auto integrated = core::StateSpace::create(integrated_config, params, y_tail,
                                             exog_tail ? &*exog_tail : nullptr);
  if (!integrated) return fail(std::move(integrated.error()));

  const auto kd = static_cast<Eigen::Index>(k_diff);
  core::Vec u_tail(k_diff);
  const core::Vec& d = integrated->obs_intercept;  // empty without a regression
  for (std::size_t i = 0; i < k_diff; ++i) u_tail[i] = y_tail[i] - (i < d.size() ? d[i] : 0.0);
  const Eigen::VectorXd& a_arma = filtered->output.predicted_state;
  const Eigen::MatrixXd& p_arma = filtered->output.predicted_cov;
  const Eigen::Index k = kd + a_arma.size();
  Eigen::VectorXd a(k);
  a << known_differencing_states(u_tail, config.order.d), a_arma;
  Eigen::MatrixXd P = Eigen::MatrixXd::Zero(k, k);
  P.bottomRightCorner(a_arma.size(), a_arma.size()) = p_arma;

  return forecast_from_state(*integrated, a, P, steps, future_exog, params.exog, config.trend,
                             config.concentrate_scale, params.trend, w.size(),
                             filtered->output.scale, alpha);
}

}  // namespace

core::Result<ForecastResult> forecast_pipeline(std::span<const double> y,
                                               const core::SarimaxConfig& config,
                                               const core::SarimaxParams& params,
                                               std::size_t steps, const core::Columns* exog,
                                               const core::Columns* future_exog, double alpha) {
  if (config.simple_differencing) {
    return forecast_differenced(y, config, params, steps, exog, future_exog, alpha);
  }
  auto filtered = filter_model(y, config, params, exog);
  if (!filtered) return fail(std::move(filtered.error()));
  return forecast_from_state(filtered->ss, filtered->output.predicted_state,
                             filtered->output.predicted_cov, steps, future_exog, params.exog,
                             config.trend, config.concentrate_scale, params.trend, y.size(),
                             filtered->output.scale, alpha);
}

}  // namespace peltaro::apply::forecast
