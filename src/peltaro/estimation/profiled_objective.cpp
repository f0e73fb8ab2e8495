#include "peltaro/estimation/profiled_objective.hpp"

#include <Eigen/Dense>
#include <cmath>
#include <string>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/batched_filter.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/constrained_params.hpp"
#include "peltaro/estimation/least_squares.hpp"
#include "peltaro/score/score.hpp"

namespace peltaro::estimation {
namespace {

// Weight of a step whose innovation variance is unusable, and the variance
// it is counted with.
constexpr double TINY_WEIGHT = 1e-10;

}  // namespace

Vec insert_exog_block(std::span<const double> profiled, std::span<const double> betas,
                      core::Trend trend) {
  const std::size_t k_trend = core::K_TREND_TABLE[static_cast<std::size_t>(trend)];
  if (profiled.size() < k_trend) throw std::logic_error("insert_exog_block: vector shorter than its trend block");
  Vec out;
  out.reserve(profiled.size() + betas.size());
  out.insert(out.end(), profiled.begin(), profiled.begin() + static_cast<std::ptrdiff_t>(k_trend));
  out.insert(out.end(), betas.begin(), betas.end());
  out.insert(out.end(), profiled.begin() + static_cast<std::ptrdiff_t>(k_trend), profiled.end());
  return out;
}

Vec remove_exog_block(std::span<const double> full, const SarimaxConfig& config) {
  const std::size_t k_trend = config.k_trend();
  const std::size_t end = k_trend + config.n_exog;
  if (full.size() < end) throw std::logic_error("remove_exog_block: vector shorter than its trend and regression blocks");
  Vec out;
  out.reserve(full.size() - config.n_exog);
  out.insert(out.end(), full.begin(), full.begin() + static_cast<std::ptrdiff_t>(k_trend));
  out.insert(out.end(), full.begin() + static_cast<std::ptrdiff_t>(end), full.end());
  return out;
}

TextResult<ProfiledEval> ProfiledSarimaxObjective::eval_profiled(std::span<const double> x) const {
  const std::size_t n_exog = config_.n_exog;
  const std::size_t n_params = config_.n_params();
  const std::size_t expected = n_params >= n_exog ? n_params - n_exog : 0;
  if (x.size() != expected) {
    return fail_text("profiled parameter length mismatch: expected " + std::to_string(expected) +
                     ", got " + std::to_string(x.size()));
  }
  auto p0 = constrain_and_split(insert_exog_block(x, Vec(n_exog, 0.0), config_.trend), config_);
  if (!p0) return fail_text(std::move(p0.error()));

  Vec betas;
  double ll = 0.0;
  if (n_exog == 0) {
    auto model = core::StateSpace::create(config_, *p0, endog_, nullptr);
    if (!model) return fail_text(model.error().display());
    const core::KalmanInit init = core::KalmanInit::from_config_default(*model, config_);
    auto out = core::kalman_loglike(endog_, *model, init, config_.concentrate_scale);
    if (!out) return fail_text(out.error().display());
    ll = out->loglike;
  } else {
    // The filter model keeps the trend and drops the regression effect. The
    // mean recursion is linear in (series, trend): y filtered with the trend
    // gives its innovations under the full model before the betas, and a
    // regressor's innovations without the trend are its innovations with the
    // trend minus those of a series of zeros. One batched pass gives all.
    const bool with_trend = config_.k_trend() > 0;
    core::SarimaxParams filter_params = *p0;
    filter_params.exog.assign(n_exog, 0.0);
    auto model = core::StateSpace::create(config_, filter_params, endog_, nullptr);
    if (!model) return fail_text(model.error().display());
    const core::KalmanInit init = core::KalmanInit::from_config_default(*model, config_);

    std::vector<std::span<const double>> series;
    series.reserve(n_exog + 2);
    series.emplace_back(endog_);
    for (std::size_t j = 0; j < n_exog; ++j) {
      if (j >= exog_.size()) return fail_text("missing exog column " + std::to_string(j));
      series.emplace_back(exog_[j]);
    }
    const Vec zeros(with_trend ? endog_.size() : 0, 0.0);
    if (with_trend) series.emplace_back(zeros);

    auto b = core::kalman_filter_batched(series, *model, init);
    if (!b) return fail_text(b.error().display());
    if (b->n_eff == 0) return fail_text("profiled objective has no effective observations");
    if (with_trend) {
      const Vec& v0 = b->innovations.back();
      for (std::size_t j = 1; j <= n_exog; ++j) {
        Vec& vx = b->innovations[j];
        for (std::size_t t = 0; t < vx.size(); ++t) vx[t] = vx[t] - v0[t];
      }
    }

    const Vec& f = b->f_values;
    const Vec& vy = b->innovations[0];
    const std::size_t t0 = f.size() >= b->n_eff ? f.size() - b->n_eff : 0;
    auto usable = [](double F) { return std::isfinite(F) && F > 0.0; };

    Eigen::MatrixXd A = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(n_exog),
                                              static_cast<Eigen::Index>(n_exog));
    Eigen::VectorXd c = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(n_exog));
    for (std::size_t t = t0; t < f.size(); ++t) {
      const double w = usable(f[t]) ? 1.0 / f[t] : TINY_WEIGHT;
      for (std::size_t j = 0; j < n_exog; ++j) {
        const double xj = b->innovations[j + 1][t];
        const double wx = w * xj;
        for (std::size_t k = 0; k < n_exog; ++k) {
          A(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(k)) += wx * b->innovations[k + 1][t];
        }
        c(static_cast<Eigen::Index>(j)) += w * vy[t] * xj;
      }
    }
    auto solved = svd_least_squares(A, c, LEAST_SQUARES_EPS);
    if (!solved) return fail_text("profiled exog GLS solve failed: " + solved.error());
    betas.assign(solved->data(), solved->data() + solved->size());

    double L = 0.0;
    double S = 0.0;
    for (std::size_t t = t0; t < f.size(); ++t) {
      const double F = usable(f[t]) ? f[t] : 1.0 / TINY_WEIGHT;
      double e = vy[t];
      for (std::size_t j = 0; j < n_exog; ++j) e -= betas[j] * b->innovations[j + 1][t];
      L += std::log(F);
      S += e * e / F;
    }
    if (!std::isfinite(L) || !std::isfinite(S)) {
      return fail_text("profiled objective produced non-finite Kalman sums");
    }
    const double n = static_cast<double>(b->n_eff);
    if (config_.concentrate_scale) {
      const double sigma2 = std::fmax(S / n, 1e-300);
      ll = -0.5 * n * core::LN_2PI - 0.5 * n * std::log(sigma2) - 0.5 * n - 0.5 * L;
    } else {
      ll = -0.5 * n * core::LN_2PI - 0.5 * L - 0.5 * S;
    }
    if (!std::isfinite(ll)) return fail_text("profiled objective produced non-finite loglike");
  }

  Vec x_full = insert_exog_block(x, betas.empty() ? Vec(n_exog, 0.0) : betas, config_.trend);
  auto params = constrain_and_split(x_full, config_);
  if (!params) return fail_text(std::move(params.error()));
  return ProfiledEval{std::move(*params), std::move(x_full), -ll};
}

TextResult<Vec> ProfiledSarimaxObjective::analytical_gradient_negloglike(
    std::span<const double> x) const {
  auto e = eval_profiled(x);
  if (!e) return fail_text(std::move(e.error()));
  auto model = core::StateSpace::create(config_, e->params, endog_, &exog_);
  if (!model) return fail_text(model.error().display());
  const core::KalmanInit init = core::KalmanInit::from_config_default(*model, config_);
  auto g = score::score(endog_, *model, init, config_, e->params, config_.concentrate_scale, &exog_);
  if (!g) return fail_text(g.error().display());
  auto j = core::apply_transform_jacobian(*g, e->x_full, config_);
  if (!j) return fail_text(std::move(j.error()));
  Vec out = remove_exog_block(*j, config_);
  for (double& v : out) v = -v;
  return out;
}

}  // namespace peltaro::estimation
