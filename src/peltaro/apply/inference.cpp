#include "peltaro/apply/inference.hpp"

#include <boost/math/distributions/normal.hpp>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/score/score.hpp"

namespace peltaro::apply {
namespace {

using core::SarimaxError;
using Matrix = Eigen::MatrixXd;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Singular values at or below k times this count as zero in the pseudo-inverse.
constexpr double PINV_THRESHOLD_PER_PARAM = 1e-10;

// Out-of-domain arguments give NaN (and overflow ±inf) instead of throwing.
using NanPolicy = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<boost::math::policies::ignore_error>>;
using StandardNormal = boost::math::normal_distribution<double, NanPolicy>;

bool all_finite(std::span<const double> v) {
  for (const double x : v)
    if (!std::isfinite(x)) return false;
  return true;
}

// The series and regressor columns the filter sees: differenced under simple
// differencing, the caller's otherwise.
class FilterData {
 public:
  static core::Result<FilterData> prepare(std::span<const double> y, const SarimaxConfig& config,
                                          const Columns* exog) {
    auto prepared = core::prepare_endog(y, config, exog);
    if (!prepared) return core::fail(std::move(prepared.error()));
    return FilterData(std::move(*prepared), config.simple_differencing ? nullptr : exog);
  }

  [[nodiscard]] std::span<const double> series() const { return prepared_.series; }
  [[nodiscard]] const Columns* columns() const {
    return prepared_.columns ? &*prepared_.columns : caller_columns_;
  }

 private:
  FilterData(core::PreparedEndog prepared, const Columns* caller_columns)
      : prepared_(std::move(prepared)), caller_columns_(caller_columns) {}

  core::PreparedEndog prepared_;
  const Columns* caller_columns_;
};

struct ModelAt {
  core::StateSpace ss;
  core::KalmanInit init;
};

// The system and initial state of `params` on the filter's data, with the
// variance check of the log-likelihood pipeline, in the same order.
core::Result<ModelAt> build_model(const FilterData& data, const core::SarimaxParams& params,
                                  const SarimaxConfig& config) {
  auto ss = core::StateSpace::create(config, params, data.series(), data.columns());
  if (!ss) return core::fail(std::move(ss.error()));
  if (auto err = core::check_variance(params, config)) return core::fail(std::move(*err));
  core::KalmanInit init = core::KalmanInit::from_config_default(*ss, config);
  return ModelAt{std::move(*ss), std::move(init)};
}

// Gradient of the log-likelihood in unconstrained coordinates: the analytic
// score at the constrained point, chained through the transform Jacobian.
// Absent when any step fails or an entry is not finite.
std::optional<Vec> unconstrained_gradient(const FilterData& data, const SarimaxConfig& config,
                                          std::span<const double> u) {
  auto theta = core::transform_params_inner(u, config, true);
  if (!theta) return std::nullopt;
  auto params = core::SarimaxParams::from_flat(*theta, config);
  if (!params) return std::nullopt;
  auto model = build_model(data, *params, config);
  if (!model) return std::nullopt;
  auto g = score::score(data.series(), model->ss, model->init, config, *params,
                        config.concentrate_scale, data.columns());
  if (!g || !all_finite(*g)) return std::nullopt;
  auto gu = core::transform_jacobian_t_vec(u, config, *g);
  if (!gu || !all_finite(*gu)) return std::nullopt;
  return std::move(*gu);
}

// J[i][j] = ∂θ_i/∂u_j, row i being Jᵀ·e_i: the same Jacobian that chains the
// score into the gradient above, exact on the identity and variance blocks,
// forward differences on the stationary and invertible ones. A difference
// quotient of the identity would lose its step against a large |u|: next to
// an intercept of 1e6, u + 1e-7 − u is 1e-7 only to within 6e-4, and so is
// the intercept's standard error.
core::Result<Matrix> transform_jacobian(std::span<const double> u, const SarimaxConfig& config) {
  const auto k = static_cast<Eigen::Index>(u.size());
  Matrix J(k, k);
  Vec unit(u.size(), 0.0);
  for (Eigen::Index i = 0; i < k; ++i) {
    const auto ii = static_cast<std::size_t>(i);
    unit[ii] = 1.0;
    auto row = core::transform_jacobian_t_vec(u, config, unit);
    unit[ii] = 0.0;
    if (!row) return core::fail(std::move(row.error()));
    for (Eigen::Index j = 0; j < k; ++j) J(i, j) = (*row)[static_cast<std::size_t>(j)];
  }
  return J;
}

// −(J⁻¹)ᵀ·H·J⁻¹, with H the Hessian in unconstrained coordinates.
core::Result<Matrix> hessian_information(std::span<const double> y, const SarimaxConfig& config,
                                         std::span<const double> theta, const Columns* exog) {
  auto u = core::transform_params_inner(theta, config, false);
  if (!u) return core::fail(std::move(u.error()));
  auto f0 = eval_loglike_at_unconstrained(*u, config, y, exog);
  if (!f0) return core::fail(std::move(f0.error()));
  auto data = FilterData::prepare(y, config, exog);
  if (!data) return core::fail(std::move(data.error()));

  const Matrix H = numerical_hessian(*u, [&](std::span<const double> point) {
    return unconstrained_gradient(*data, config, point);
  });

  auto J = transform_jacobian(*u, config);
  if (!J) return core::fail(std::move(J.error()));
  Eigen::FullPivLU<Matrix> lu(*J);
  lu.setThreshold(0.0);
  if (!lu.isInvertible()) {
    return core::fail(SarimaxError::data_error(
        "transform Jacobian is singular; cannot map the Hessian to constrained space"));
  }
  const Matrix J_inv = lu.inverse();
  const Matrix left = J_inv.transpose() * H;
  const Matrix information = -(left * J_inv);
  return information;
}

// Σ s·sᵀ over the per-observation scores of every observation in the
// likelihood: the same sum of terms whose second derivatives the Hessian
// estimate adds up.
core::Result<Matrix> opg_information(std::span<const double> y, const SarimaxConfig& config,
                                     std::span<const double> theta, const Columns* exog) {
  auto params = core::SarimaxParams::from_flat(theta, config);
  if (!params) return core::fail(std::move(params.error()));
  auto data = FilterData::prepare(y, config, exog);
  if (!data) return core::fail(std::move(data.error()));
  auto model = build_model(*data, *params, config);
  if (!model) return core::fail(std::move(model.error()));
  auto rows = score::score_obs(data->series(), model->ss, model->init, config, *params,
                               config.concentrate_scale, data->columns());
  if (!rows) return core::fail(std::move(rows.error()));

  const auto k = static_cast<Eigen::Index>(theta.size());
  Matrix information = Matrix::Zero(k, k);
  for (const Vec& s : *rows) {
    for (Eigen::Index i = 0; i < k; ++i) {
      const double si = s[static_cast<std::size_t>(i)];
      for (Eigen::Index j = i; j < k; ++j) information(i, j) += si * s[static_cast<std::size_t>(j)];
    }
  }
  for (Eigen::Index i = 0; i < k; ++i) {
    for (Eigen::Index j = 0; j < i; ++j) information(i, j) = information(j, i);
  }
  return information;
}

// Σ over singular values above `threshold` of v·uᵀ/σ.
Matrix pseudo_inverse(const Matrix& A, double threshold) {
  const Eigen::JacobiSVD<Matrix> svd(A, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const Eigen::VectorXd& sigma = svd.singularValues();
  Matrix out = Matrix::Zero(A.cols(), A.rows());
  for (Eigen::Index r = 0; r < sigma.size(); ++r) {
    if (!(sigma(r) > threshold)) continue;
    out += (svd.matrixV().col(r) / sigma(r)) * svd.matrixU().col(r).transpose();
  }
  return out;
}

struct Covariance {
  Matrix V;
  bool pseudo_inverted = false;
};

// The inverse of I, or its pseudo-inverse when I is exactly singular. An I
// with a non-finite entry has no meaningful inverse: V is NaN throughout.
Covariance covariance_of(const Matrix& information) {
  const Eigen::Index k = information.rows();
  if (!information.allFinite()) return {Matrix::Constant(k, k, NaN), false};
  Eigen::FullPivLU<Matrix> lu(information);
  lu.setThreshold(0.0);
  if (lu.isInvertible()) return {lu.inverse(), false};
  const double threshold = static_cast<double>(k) * PINV_THRESHOLD_PER_PARAM;
  return {pseudo_inverse(information, threshold), true};
}

}  // namespace

double hessian_step(double u) { return std::fmax(1e-4 * std::fmax(std::fabs(u), 1.0), 1e-5); }

Matrix numerical_hessian(std::span<const double> u, const GradientFn& gradient) {
  const auto k = static_cast<Eigen::Index>(u.size());
  Matrix H(k, k);
  Vec point(u.begin(), u.end());
  for (Eigen::Index j = 0; j < k; ++j) {
    const auto jj = static_cast<std::size_t>(j);
    const double h = hessian_step(u[jj]);
    point[jj] = u[jj] + h;
    const std::optional<Vec> plus = gradient(point);
    point[jj] = u[jj] - h;
    const std::optional<Vec> minus = gradient(point);
    point[jj] = u[jj];
    const bool ok = plus && minus && plus->size() == u.size() && minus->size() == u.size();
    for (Eigen::Index i = 0; i < k; ++i) {
      const auto ii = static_cast<std::size_t>(i);
      H(i, j) = ok ? ((*plus)[ii] - (*minus)[ii]) / (h + h) : NaN;
    }
  }
  const Matrix symmetric = (H + H.transpose()) * 0.5;
  return symmetric;
}

core::Result<double> eval_loglike_at_unconstrained(std::span<const double> x,
                                                   const SarimaxConfig& config,
                                                   std::span<const double> y,
                                                   const Columns* exog) {
  auto theta = core::transform_params_inner(x, config, true);
  if (!theta) return core::fail(std::move(theta.error()));
  auto params = core::SarimaxParams::from_flat(*theta, config);
  if (!params) return core::fail(std::move(params.error()));
  auto out = core::kalman_eval(y, *params, config, exog);
  if (!out) return core::fail(std::move(out.error()));
  if (!std::isfinite(out->loglike)) return core::fail(SarimaxError::data_error("non-finite loglike"));
  return out->loglike;
}

InferenceResult inference_from_information(const Matrix& information,
                                           std::span<const double> params, std::string method,
                                           double alpha) {
  const std::size_t k = params.size();
  if (information.rows() != static_cast<Eigen::Index>(k) ||
      information.cols() != static_cast<Eigen::Index>(k)) {
    throw std::logic_error("information matrix does not match the parameter count");
  }
  const Covariance cov = covariance_of(information);
  const StandardNormal normal;
  const double q = boost::math::quantile(normal, 1.0 - alpha / 2.0);

  InferenceResult r;
  r.method = std::move(method);
  r.n_params = k;
  r.cov_params.reserve(k * k);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j < k; ++j) {
      r.cov_params.push_back(cov.V(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)));
    }
  }
  std::size_t non_finite = 0;
  for (std::size_t i = 0; i < k; ++i) {
    const double v = cov.V(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(i));
    const double se = v > 0.0 ? std::sqrt(v) : NaN;
    const bool usable = std::isfinite(se) && se > 0.0;
    const double z = usable ? params[i] / se : NaN;
    double p = NaN;
    if (std::isfinite(z)) {
      const double tail = 1.0 - boost::math::cdf(normal, std::fabs(z));
      p = tail + tail;
    }
    r.std_err.push_back(se);
    r.z_stat.push_back(z);
    r.p_value.push_back(p);
    r.ci_lower.push_back(params[i] - q * se);
    r.ci_upper.push_back(params[i] + q * se);
    if (!std::isfinite(se)) ++non_finite;
  }

  if (non_finite == k) {
    r.status = "failed";
    r.message = "all standard errors are non-finite; information matrix may be singular";
  } else if (non_finite > 0) {
    r.status = "partial";
    r.message = std::to_string(non_finite) + " of " + std::to_string(k) +
                " parameters have non-finite SE (singular information matrix)";
  } else if (cov.pseudo_inverted) {
    r.status = "partial";
    r.message =
        "information matrix is near-singular; standard errors may be unreliable. "
        "Consider inference='opg'.";
  } else {
    r.status = "ok";
  }
  return r;
}

core::Result<InferenceResult> compute_inference(std::span<const double> y,
                                                const SarimaxConfig& config,
                                                std::span<const double> params,
                                                std::string_view method, double alpha,
                                                const Columns* exog) {
  if (params.empty()) {
    InferenceResult r;
    r.method = std::string(method);
    r.status = "ok";
    return r;
  }
  core::Result<Matrix> information = [&]() -> core::Result<Matrix> {
    if (method == "hessian") return hessian_information(y, config, params, exog);
    if (method == "opg") return opg_information(y, config, params, exog);
    return core::fail(SarimaxError::invalid_input("unknown inference method '" +
                                                  std::string(method) +
                                                  "', expected 'hessian' or 'opg'"));
  }();
  if (!information) return core::fail(std::move(information.error()));
  return inference_from_information(*information, params, std::string(method), alpha);
}

}  // namespace peltaro::apply
