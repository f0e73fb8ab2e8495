#include "peltaro/core/kalman/filter_system.hpp"

#include <stdexcept>
#include <string>

namespace peltaro::core {

void shock_covariance(const StateSpace& ss, Eigen::MatrixXd& rqr) {
  // (R·Q)·R' of one shock, entry by entry: (R_i·q)·R_j, as the product forms it.
  const Eigen::Index m = ss.selection.rows();
  const double q = ss.state_cov(0, 0);
  rqr.resize(m, m);
  for (Eigen::Index j = 0; j < m; ++j) {
    const double rj = ss.selection(j, 0);
    for (Eigen::Index i = 0; i < m; ++i) rqr(i, j) = (ss.selection(i, 0) * q) * rj;
  }
}

FilterSystem::FilterSystem(const StateSpace& ss) { refresh(ss); }

const FilterSystem& FilterSystem::refreshed(FilterSystem& kept, std::optional<FilterSystem>& own,
                                            const StateSpace& ss) {
  if (ss.k_states > MAX_KEPT_STATES) return own.emplace(ss);
  kept.refresh(ss);
  return kept;
}

void FilterSystem::refresh(const StateSpace& ss) {
  sparse_z.assign(ss.design, ss.k_states);
  sparse_t.assign(ss.transition, ss.k_states);
  strategy = choose_strategy(sparse_t);
  // Only the dense products read T'.
  if (strategy == KalmanStrategy::Dense) {
    dense_t = ss.transition;
    tt = ss.transition.transpose();
  } else {
    dense_t.resize(0, 0);
    tt.resize(0, 0);
  }
  shock_covariance(ss, rqr_scratch_);
  // The sparse P·Z reads the columns of Z's entries whole.
  z_columns_.clear();
  z_columns_.reserve(sparse_z.entries.size());
  for (const auto& e : sparse_z.entries) z_columns_.push_back(e.index);
  // The diffuse start of differencing states is when the reference order
  // runs (the first steps).
  covariance.assign(sparse_t, rqr_scratch_, z_columns_,
                    ss.k_diff > 0 ? LowerReference::WhereFaster : LowerReference::Never);
}

void FilterSystem::predict_dense_reference(const Eigen::MatrixXd& p, const Eigen::VectorXd* g,
                                           double f, Eigen::MatrixXd& out,
                                           CovarianceWorkspace& ws) const {
  // The dense products need the updated covariance as a matrix, formed in
  // `out`: P(·, j) + (g_j·(−f))·g, as the filters always have.
  if (g != nullptr) {
    out.resize(p.rows(), p.cols());
    for (Eigen::Index j = 0; j < p.cols(); ++j) out.col(j) = p.col(j) + ((*g)[j] * (-f)) * *g;
  } else {
    out = p;
  }
  core::predict_cov(strategy, dense_t, tt, sparse_t, out, covariance.rqr(), ws.w());
}

void FilterSystem::predict_covariance_ahead(StateCovariance& P, Eigen::MatrixXd& work) const {
  P.complete();
  core::predict_cov(strategy, dense_t, tt, sparse_t, P.p_, covariance.rqr(), work);
}

std::optional<std::string> size_mismatch(const StateSpace& ss, const KalmanInit& init) {
  const std::size_t m = ss.k_states;
  const auto mi = static_cast<Eigen::Index>(m);
  if (ss.transition.rows() != mi || ss.transition.cols() != mi || ss.design.size() != mi ||
      ss.selection.rows() != mi || ss.selection.cols() != 1 || ss.state_cov.rows() != 1 ||
      ss.state_cov.cols() != 1) {
    return "state space matrices do not match its " + std::to_string(m) + " states";
  }
  if (init.a0.size() != mi || init.p0.rows() != mi || init.p0.cols() != mi) {
    return "initial state has " + std::to_string(init.a0.size()) +
           " states but the state space has " + std::to_string(m);
  }
  if (init.stationary_block && init.stationary_block->first + init.stationary_block->second > m) {
    return "stationary block at " + std::to_string(init.stationary_block->first) + " of size " +
           std::to_string(init.stationary_block->second) + " lies outside the " +
           std::to_string(m) + " states";
  }
  return std::nullopt;
}

void require_consistent_sizes(const StateSpace& ss, const KalmanInit& init, const char* who) {
  if (auto why = size_mismatch(ss, init)) throw std::logic_error(std::string(who) + ": " + *why);
}

SarimaxError not_enough_observations(std::size_t n, std::size_t burn) {
  return SarimaxError::data_error("Not enough observations: n=" + std::to_string(n) +
                                  " <= burn=" + std::to_string(burn));
}

}  // namespace peltaro::core
