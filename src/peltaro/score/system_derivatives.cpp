#include "peltaro/score/system_derivatives.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "peltaro/core/polynomial.hpp"

namespace peltaro::score {
namespace {

// Entries below this magnitude are structural or coefficient zeros; keeping
// them out of the lists keeps the per-step work proportional to real terms.
constexpr double DERIV_CUTOFF = 1e-15;

// T[k_diff + r, k_diff] = −(reduced AR)[r + 1], so ∂T is the negated
// derivative of the reduced AR polynomial, written down column k_diff.
std::vector<SparseTEntry> ar_column_entries(const Vec& g, std::size_t k_diff, std::size_t k_arma) {
  std::vector<SparseTEntry> out;
  for (std::size_t r = 0; r < k_arma; ++r) {
    if (r + 1 < g.size() && std::fabs(g[r + 1]) > DERIV_CUTOFF)
      out.push_back({k_diff + r, k_diff, -g[r + 1]});
  }
  return out;
}

// R[k_diff + r] = (reduced MA)[r]; g is the derivative of that polynomial.
Vec selection_derivative(const Vec& g, std::size_t k_diff, std::size_t k_arma, std::size_t m) {
  Vec dR(m, 0.0);
  for (std::size_t r = 0; r < k_arma; ++r) {
    if (r < g.size() && std::fabs(g[r]) > DERIV_CUTOFF) dR[k_diff + r] = g[r];
  }
  return dR;
}

}  // namespace

Eigen::MatrixXd compute_drqr(std::span<const double> dR, const Eigen::MatrixXd& R, std::size_t m,
                             double q) {
  if (dR.size() < m || static_cast<std::size_t>(R.rows()) < m || R.cols() < 1)
    throw std::logic_error("compute_drqr: selection or its derivative shorter than m");
  const auto mm = static_cast<Eigen::Index>(m);
  Eigen::MatrixXd out(mm, mm);
  for (Eigen::Index c = 0; c < mm; ++c) {
    for (Eigen::Index r = 0; r < mm; ++r) {
      const double a = dR[static_cast<std::size_t>(r)] * R(c, 0);
      const double b = R(r, 0) * dR[static_cast<std::size_t>(c)];
      out(r, c) = q * (a + b);
    }
  }
  return out;
}

SystemDerivatives precompute_derivatives(const core::SarimaxConfig& config,
                                         const core::SarimaxParams& params,
                                         const core::StateSpace& ss, std::size_t n,
                                         const core::Columns* exog) {
  const core::SarimaxOrder& o = config.order;
  const std::size_t k_diff = config.k_diff();
  const std::size_t k_arma = config.k_arma();
  const std::size_t k_trend = config.k_trend();
  const std::size_t k = config.n_params();
  const std::size_t m = ss.k_states;
  if (m != k_diff + k_arma || ss.selection.rows() != static_cast<Eigen::Index>(m) ||
      ss.selection.cols() != 1 || ss.state_cov.rows() != 1 || ss.state_cov.cols() != 1)
    throw std::logic_error("precompute_derivatives: state space not built for this configuration");
  if ((o.P > 0 || o.Q > 0) && o.s == 0)
    throw std::logic_error("precompute_derivatives: seasonal coefficients need a period s >= 1");
  if (exog != nullptr && exog->size() < config.n_exog)
    throw std::logic_error("precompute_derivatives: fewer regressor columns than n_exog");

  SystemDerivatives out;
  out.dt_entries.resize(k);
  out.drqr.resize(k);
  out.dobs_intercept.resize(k);
  out.dstate_intercept.resize(k);
  out.n_params = k;

  const Vec a = core::make_ar_poly(params.ar, o.p);
  const Vec A = core::make_seasonal_ar_poly(params.seasonal_ar, o.s);
  const Vec b = core::make_ma_poly(params.ma, o.q);
  const Vec B = core::make_seasonal_ma_poly(params.seasonal_ma, o.s);
  const double q = ss.state_cov(0, 0);

  std::size_t j = 0;
  if (config.trend != core::Trend::None) {
    Vec first(n, 0.0);
    Vec second;
    if (config.trend == core::Trend::ConstantLinear) second.assign(n, 0.0);
    for (std::size_t t = 0; t < n; ++t) {
      const double tt = static_cast<double>(t);
      first[t] = config.trend == core::Trend::Linear ? tt : 1.0;
      if (!second.empty()) second[t] = tt;
    }
    out.dstate_intercept[0] = std::move(first);
    if (config.trend == core::Trend::ConstantLinear) out.dstate_intercept[1] = std::move(second);
  }
  j = k_trend;

  if (exog != nullptr) {
    for (std::size_t i = 0; i < config.n_exog; ++i) out.dobs_intercept[j + i] = (*exog)[i];
  }
  j += config.n_exog;

  for (std::size_t i = 1; i <= o.p; ++i, ++j) {
    Vec e(o.p + 1, 0.0);
    e[i] = -1.0;
    out.dt_entries[j] = ar_column_entries(core::polymul(e, A), k_diff, k_arma);
  }
  for (std::size_t i = 1; i <= o.q; ++i, ++j) {
    Vec e(o.q + 1, 0.0);
    e[i] = 1.0;
    const Vec dR = selection_derivative(core::polymul(e, B), k_diff, k_arma, m);
    out.drqr[j] = compute_drqr(dR, ss.selection, m, q);
  }
  for (std::size_t J = 1; J <= o.P; ++J, ++j) {
    Vec e(o.P * o.s + 1, 0.0);
    e[J * o.s] = -1.0;
    out.dt_entries[j] = ar_column_entries(core::polymul(a, e), k_diff, k_arma);
  }
  for (std::size_t J = 1; J <= o.Q; ++J, ++j) {
    Vec e(o.Q * o.s + 1, 0.0);
    e[J * o.s] = 1.0;
    const Vec dR = selection_derivative(core::polymul(b, e), k_diff, k_arma, m);
    out.drqr[j] = compute_drqr(dR, ss.selection, m, q);
  }
  if (!config.concentrate_scale) {
    // R·Q·R' = sigma2·R·R': no factor q here.
    const auto mm = static_cast<Eigen::Index>(m);
    Eigen::MatrixXd rr(mm, mm);
    for (Eigen::Index c = 0; c < mm; ++c)
      for (Eigen::Index r = 0; r < mm; ++r) rr(r, c) = ss.selection(r, 0) * ss.selection(c, 0);
    out.drqr[j] = std::move(rr);
  }
  return out;
}

}  // namespace peltaro::score
