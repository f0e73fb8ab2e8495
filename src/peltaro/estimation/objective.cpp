#include "peltaro/estimation/objective.hpp"

#include <cmath>

#include "peltaro/core/css.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/polynomial.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/score/score.hpp"

namespace peltaro::estimation {
namespace {

bool all_finite(std::span<const double> v) {
  for (const double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

// IEEE equality coordinate by coordinate: −0.0 matches 0.0, NaN matches nothing.
bool same_point(std::span<const double> a, std::span<const double> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!(a[i] == b[i])) return false;
  return true;
}

// Rewrites the parameter-dependent entries of a model built for this
// configuration and series length. The structural entries (differencing
// block, companion shifts, Z, R at row k_diff, sizes) never change.
void refresh_model(core::StateSpace& ss, const core::SarimaxParams& params,
                   const SarimaxConfig& config, std::size_t n, const Columns* exog) {
  const std::size_t k_diff = ss.k_diff;
  const std::size_t k_arma = config.k_arma();
  const auto col = static_cast<Eigen::Index>(k_diff);

  // The whole ARMA column is rewritten, zeros included, so that a shorter
  // polynomial leaves no stale coefficient behind.
  const Vec ar = core::reduced_ar(params, config);
  for (std::size_t i = 0; i < k_arma; ++i) {
    ss.transition(static_cast<Eigen::Index>(k_diff + i), col) = i + 1 < ar.size() ? -ar[i + 1] : 0.0;
  }
  const Vec ma = core::reduced_ma(params, config);
  for (std::size_t i = 1; i < k_arma; ++i) {
    ss.selection(static_cast<Eigen::Index>(k_diff + i), 0) = i < ma.size() ? ma[i] : 0.0;
  }
  ss.state_cov(0, 0) = (config.concentrate_scale || !params.sigma2) ? 1.0 : *params.sigma2;

  if (exog == nullptr || params.exog.empty()) {
    ss.obs_intercept.clear();
  } else {
    ss.obs_intercept = core::StateSpace::build_obs_intercept(n, exog, params.exog);
  }
  ss.state_intercept = core::StateSpace::build_state_intercept(n, config.trend, params.trend);
}

}  // namespace

ModelLease::ModelLease(ModelLease&& other) noexcept
    : owner_(other.owner_), model_(std::move(other.model_)) {
  other.owner_ = nullptr;
}

ModelLease::~ModelLease() {
  if (owner_ != nullptr) owner_->ss_cache_ = std::move(model_);
}

SarimaxObjective::SarimaxObjective(Vec endog, std::optional<Columns> exog, SarimaxConfig config)
    : endog_(std::move(endog)), exog_(std::move(exog)), config_(config) {}

SarimaxObjective SarimaxObjective::clone() const { return {endog_, exog_, config_}; }

TextResult<PipelineEval> SarimaxObjective::eval_pipeline(std::span<const double> x) const& {
  auto constrained = core::transform_params_inner(x, config_, true);
  if (!constrained) return fail_text(constrained.error().display());
  auto params = core::SarimaxParams::from_flat(*constrained, config_);
  if (!params) return fail_text(params.error().display());

  std::optional<CachedModel> cached = std::move(ss_cache_);
  ss_cache_.reset();
  // Only a model of this configuration may be refreshed in place (the
  // refresh rewrites everything that depends on the series length); anything
  // else is rebuilt rather than written past its ends.
  if (cached && (cached->model.k_states != config_.k_diff() + config_.k_arma() ||
                 cached->model.k_diff != config_.k_diff())) {
    cached.reset();
  }
  CachedModel entry;
  if (cached) {
    entry = std::move(*cached);
    refresh_model(entry.model, *params, config_, endog_.size(), exog());
  } else {
    auto built = core::StateSpace::create(config_, *params, endog_, exog());
    if (!built) return fail_text(built.error().display());
    entry.model = std::move(*built);
  }
  entry.system.refresh(entry.model);
  ModelLease lease(this, std::move(entry));
  core::KalmanInit init = core::KalmanInit::from_config_default(lease.model(), config_);
  return PipelineEval{std::move(*params), std::move(lease), std::move(init)};
}

TextResult<double> SarimaxObjective::eval_loglike(std::span<const double> x) const {
  auto ev = eval_pipeline(x);
  if (!ev) return fail_text(std::move(ev.error()));
  auto out = core::kalman_loglike(endog_, ev->model.model(), ev->init, ev->model.system(),
                                  config_.concentrate_scale);
  if (!out) return fail_text(out.error().display());
  if (!std::isfinite(out->loglike)) return fail_text("non-finite log-likelihood");
  return out->loglike;
}

TextResult<std::pair<double, Vec>> SarimaxObjective::eval_negloglike_with_gradient(
    std::span<const double> x) const {
  auto ev = eval_pipeline(x);
  if (!ev) return fail_text(std::move(ev.error()));
  // One pass gives both: the value is the filter's bit for bit.
  auto both = score::loglike_and_score(endog_, ev->model.model(), ev->init, config_, ev->params,
                                       config_.concentrate_scale, exog(), ev->model.system());
  if (!both) return fail_text(both.error().display());
  if (!std::isfinite(both->loglike)) return fail_text("non-finite log-likelihood");
  auto j = core::apply_transform_jacobian(both->gradient, x, config_);
  if (!j) return fail_text(std::move(j.error()));
  for (double& v : *j) v = -v;
  return std::pair{-both->loglike, std::move(*j)};
}

TextResult<Vec> SarimaxObjective::analytical_gradient_negloglike(std::span<const double> x) const {
  auto ev = eval_pipeline(x);
  if (!ev) return fail_text(std::move(ev.error()));
  auto g = score::score(endog_, ev->model.model(), ev->init, config_, ev->params,
                        config_.concentrate_scale, exog());
  if (!g) return fail_text(g.error().display());
  auto j = core::apply_transform_jacobian(*g, x, config_);
  if (!j) return fail_text(std::move(j.error()));
  for (double& v : *j) v = -v;
  return std::move(*j);
}

double SarimaxObjective::cost(std::span<const double> x) const {
  if (cache_ && same_point(cache_->params, x)) return cache_->value;
  auto ll = eval_loglike(x);
  return ll ? -*ll : PENALTY;
}

Vec SarimaxObjective::gradient(std::span<const double> x) const {
  if (cache_ && same_point(cache_->params, x)) return cache_->gradient;

  if (auto fg = eval_negloglike_with_gradient(x);
      fg && std::isfinite(fg->first) && all_finite(fg->second)) {
    cache_ = CachedEval{Vec(x.begin(), x.end()), fg->second, fg->first};
    return std::move(fg->second);
  }
  if (auto g = analytical_gradient_negloglike(x); g && all_finite(*g)) return std::move(*g);

  // Finite differences of the cost. A forward step out of the feasible
  // region costs the penalty and overflows the quotient; the central
  // formula then takes over, and where both sides fail the entry is 0.
  const std::size_t n = x.size();
  Vec g(n, 0.0);
  if (n == 0) return g;
  const double f0 = cost(x);
  Vec xp(x.begin(), x.end());
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = xp[i];
    const double h = (std::fabs(xi) + 1.0) * 1e-7;
    xp[i] = xi + h;
    const double f1 = cost(xp);
    xp[i] = xi;
    double gi = (f1 - f0) / h;
    if (!std::isfinite(gi)) {
      xp[i] = xi + h;
      const double fp = cost(xp);
      xp[i] = xi - h;
      const double fm = cost(xp);
      xp[i] = xi;
      gi = (fp - fm) / (h + h);
    }
    g[i] = std::isfinite(gi) ? gi : 0.0;
  }
  return g;
}

double css_cost(std::span<const double> x, const core::CssData& data, const SarimaxConfig& config) {
  auto constrained = core::transform_params_inner(x, config, true);
  if (!constrained) return PENALTY;
  auto params = core::SarimaxParams::from_flat(*constrained, config);
  if (!params) return PENALTY;
  const double c = core::css_loglike_prepared(data, config, *params);
  return std::isfinite(c) ? -c : PENALTY;
}

double CssObjective::cost(std::span<const double> x) const { return css_cost(x, data_, config_); }

}  // namespace peltaro::estimation
