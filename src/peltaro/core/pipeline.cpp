#include "peltaro/core/pipeline.hpp"

#include <cmath>

#include "peltaro/core/css.hpp"
#include "peltaro/core/kalman/filter_system.hpp"

namespace peltaro::core {

Result<PreparedEndog> prepare_endog(std::span<const double> y, const SarimaxConfig& config,
                                    const Columns* exog) {
  PreparedEndog out;
  if (!config.simple_differencing) {
    out.series.assign(y.begin(), y.end());
    return out;
  }
  // Differencing consumes d + D·s values; a series with none left over would
  // otherwise come back undifferenced and be filtered as if it were.
  const std::size_t consumed = config.order.d + config.order.D * config.order.s;
  if (y.size() <= consumed) return fail(not_enough_observations(y.size(), consumed));
  out.series = apply_differencing(y, config);
  if (exog == nullptr) return out;
  Columns cols;
  cols.reserve(exog->size());
  for (std::size_t j = 0; j < exog->size(); ++j) {
    Vec c = apply_differencing((*exog)[j], config);
    if (c.size() != out.series.size()) {
      return fail(SarimaxError::invalid_input(
          "exog column " + std::to_string(j) + " has " + std::to_string(c.size()) +
          " rows after simple_differencing, but y has " + std::to_string(out.series.size()) +
          " observations"));
    }
    cols.push_back(std::move(c));
  }
  out.columns = std::move(cols);
  return out;
}

std::optional<SarimaxError> check_variance(const SarimaxParams& params, const SarimaxConfig& config) {
  if (config.concentrate_scale || !params.sigma2) return std::nullopt;
  const double s2 = *params.sigma2;
  if (std::isfinite(s2) && s2 > 0.0) return std::nullopt;
  return SarimaxError::data_error(refused_variance_text(s2));
}

Result<FilterModel> FilterModel::build(std::span<const double> y, const SarimaxParams& params,
                                       const SarimaxConfig& config, const Columns* exog) {
  FilterModel model;
  model.y_ = y;
  model.exog_ = exog;
  if (config.simple_differencing) {
    auto p = prepare_endog(y, config, exog);
    if (!p) return fail(std::move(p.error()));
    model.prepared_ = std::move(*p);
  }
  auto ss = StateSpace::create(config, params, model.series(), model.columns());
  if (!ss) return fail(std::move(ss.error()));
  // After the model and data checks, so that their errors are the ones reported.
  if (auto err = check_variance(params, config)) return fail(std::move(*err));
  model.ss_ = std::move(*ss);
  model.init_ = KalmanInit::from_config_default(model.ss_, config);
  return model;
}

Result<KalmanOutput> kalman_eval(std::span<const double> y, const SarimaxParams& params,
                                 const SarimaxConfig& config, const Columns* exog) {
  auto model = FilterModel::build(y, params, config, exog);
  if (!model) return fail(std::move(model.error()));
  return kalman_loglike(model->series(), model->state_space(), model->init(),
                        config.concentrate_scale);
}

}  // namespace peltaro::core
