#pragma once
// Initial state of the Kalman recursion: differencing states approximately
// diffuse, the ARMA block from its stationary distribution when it has one.

#include <Eigen/Dense>
#include <optional>
#include <utility>

#include "peltaro/core/state_space.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::core {

struct KalmanInit {
  // (start, size) of the block initialised from the stationary distribution.
  std::optional<std::pair<std::size_t, std::size_t>> stationary_block;
  Eigen::VectorXd a0;
  Eigen::MatrixXd p0;
  // Leading observations left out of the likelihood: one per diffuse state.
  std::size_t burn = 0;

  static KalmanInit approximate_diffuse(std::size_t k_states,
                                        double variance = DIFFUSE_VARIANCE);
  static KalmanInit from_config_default(const StateSpace& ss, const SarimaxConfig& config);
};

// The variance the approximately diffuse states start with: the
// configuration's, but never more than DIFFUSE_TO_INNOVATION times the
// innovation variance σ² of the system. The burn steps subtract numbers of
// the size of that variance and keep what is left, which is of the size of
// σ²; a variance of 1e6 beside a σ² of 1e-10 (a series in units of 1e-4)
// leaves rounding where σ² should be, and the log-likelihood is off by
// thousands. What the observations after the burn see of the start is of
// relative size σ² / variance, 1e-10 at the cap, against rounding of
// 2e-6 relative; the log-likelihood is then that of the series in any
// units. A concentrated model runs with σ² = 1 and keeps the configuration's
// variance.
inline constexpr double DIFFUSE_TO_INNOVATION = 1e10;
double carried_diffuse_variance(const StateSpace& ss, const SarimaxConfig& config);

// X = A X A' + Q by doubling; absent when it does not settle within 100
// iterations or the solution is not finite.
std::optional<Eigen::MatrixXd> lyapunov_doubling(const Eigen::MatrixXd& A, const Eigen::MatrixXd& Q);
// `lyapunov_doubling` followed by symmetrisation.
std::optional<Eigen::MatrixXd> solve_lyapunov_general(const Eigen::MatrixXd& A,
                                                      const Eigen::MatrixXd& Q);
// `solve_lyapunov_general` for the block of an ARMA model: when A is a
// companion matrix whose AR polynomial is stationary with room to spare
// (every partial autocorrelation below STRUCTURED_PACF_LIMIT), by a linear
// solve on its first row; otherwise by the doubling, which also decides what
// is not stationary.
inline constexpr double STRUCTURED_PACF_LIMIT = 0.99;
std::optional<Eigen::MatrixXd> stationary_covariance(const Eigen::MatrixXd& A,
                                                     const Eigen::MatrixXd& Q);
// Lower-triangular factorisation test: fails at the first pivot that is not
// strictly positive (NaN included).
bool cholesky_test(const Eigen::MatrixXd& M);

// Mean of the stationary block: the solution μ of (I − T_b)·μ = c_b, with c_b
// the block's rows of the state intercept at time 0. Absent when I − T_b is
// singular or the solution is not finite.
std::optional<Eigen::VectorXd> stationary_mean(const Eigen::MatrixXd& T_b, const Eigen::VectorXd& c_b);

}  // namespace peltaro::core
