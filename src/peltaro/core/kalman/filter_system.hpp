#pragma once
// What every pass over one system forms once, before its time loop: the
// sparse forms of T and Z, the strategy chosen from them, T' and the
// covariance kernel over T and R·Q·R'.

#include <Eigen/Dense>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "peltaro/core/error.hpp"
#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/covariance_kernel.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::core {

// Which order of operations a covariance step takes (see covariance_kernel.hpp).
enum class CovarianceOrder : std::uint8_t { Reference, Folded };

struct FilterSystem {
  Eigen::MatrixXd tt;  // T' for the `Dense` strategy; empty for `Sparse`
  SparseZ sparse_z;
  SparseT sparse_t;
  KalmanStrategy strategy = KalmanStrategy::Dense;
  CovarianceKernel covariance;  // over sparse_t, with (R·Q)·R', reading Z's columns whole

  FilterSystem() = default;
  explicit FilterSystem(const StateSpace& ss);

  // Passes that form their own products of a system per call may keep the
  // storage with the thread up to this many states (a few hundred kilobytes
  // at most); larger ones form and free it per call.
  static constexpr std::size_t MAX_KEPT_STATES = 128;

  // Everything formed again for `ss`, in the storage already held: an
  // objective keeps one system per model and refreshes it with the model.
  void refresh(const StateSpace& ss);

  // The system of `ss` for one pass: for up to MAX_KEPT_STATES states,
  // `kept` (a thread's own, held by one caller) refreshed, which keeps its
  // storage and, while T and the zeros of R·Q·R' stay, its kernel's plan
  // from one call to the next; otherwise one formed anew in `own`.
  static const FilterSystem& refreshed(FilterSystem& kept, std::optional<FilterSystem>& own,
                                       const StateSpace& ss);

  // out ← T·a (+ intercept[t] at state `row` unless `intercept` is empty),
  // by the kernel's product with T. Inline: a steady step of a long series
  // does little else.
  void predict_state(const Eigen::VectorXd& a, Eigen::VectorXd& out,
                     std::span<const double> intercept, std::size_t t, std::size_t row) const {
    covariance.times_t(a.data(), out.data());
    if (!intercept.empty()) out[static_cast<Eigen::Index>(row)] += intercept[t];
  }

  // P ← T·(P − g·g'·f)·T' + RQR (no update when `g` is null). The reference
  // order is the pass's strategy's: the dense products for `Dense`.
  void predict_cov(const Eigen::MatrixXd& T, Eigen::MatrixXd& P, const Eigen::VectorXd* g,
                   double f, CovarianceWorkspace& ws, CovarianceOrder order) const;

  // The same step out of place: `out` ← the prediction from P, P unchanged,
  // bit for bit the result of the in-place form. `out` must not alias P or `g`.
  void predict_cov(const Eigen::MatrixXd& T, const Eigen::MatrixXd& P, const Eigen::VectorXd* g,
                   double f, Eigen::MatrixXd& out, CovarianceWorkspace& ws,
                   CovarianceOrder order) const;

 private:
  Eigen::MatrixXd rqr_scratch_;
  std::vector<std::size_t> z_columns_;
};

// R·Q·R' of the system's one shock, into `rqr`.
void shock_covariance(const StateSpace& ss, Eigen::MatrixXd& rqr);

// The order of the covariance step at time t: the reference order while the
// diffuse states are resolved (t < burn), folded after.
inline CovarianceOrder covariance_order(std::size_t t, std::size_t burn) {
  return t < burn ? CovarianceOrder::Reference : CovarianceOrder::Folded;
}

// A system and an initial state built from one configuration always fit
// together; anything else is a programming error, refused before any product
// can index past a matrix.
void require_consistent_sizes(const StateSpace& ss, const KalmanInit& init, const char* who);

// The failure of every pass over a series not longer than `burn`.
SarimaxError not_enough_observations(std::size_t n, std::size_t burn);

}  // namespace peltaro::core
