#pragma once
// What every pass over one system forms once, before its time loop: the
// sparse forms of T and Z, the strategy chosen from them, T' and the
// covariance kernel over T and R·Q·R'.

#include <Eigen/Dense>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "peltaro/core/error.hpp"
#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/covariance_kernel.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/kalman/state_covariance.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::core {

struct FilterSystem {
  Eigen::MatrixXd dense_t;  // T for the `Dense` strategy; empty for `Sparse`
  Eigen::MatrixXd tt;       // T' for the `Dense` strategy; empty for `Sparse`
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

  // next ← T·(P − g·g'·f)·T' + RQR from the covariance predicted for step t
  // of a pass whose first `burn` steps resolve the diffuse states (no update
  // when `g` is null): the one covariance step of every recursion, so that
  // all hold the same covariance bit for bit. The order of operations is
  // chosen here (see covariance_kernel.hpp): the reference order while the
  // diffuse states are resolved, folded after; with the sparse strategy both
  // in their lower forms where the kernel has them, the dense strategy's
  // reference order by the dense products. `next` must not be P.
  // Inline: the filter's step does little else.
  void predict_covariance(const StateCovariance& P, const Eigen::VectorXd* g, double f,
                          StateCovariance& next, CovarianceWorkspace& ws, std::size_t t,
                          std::size_t burn) const {
    const bool resolving = t < burn;
    if (strategy == KalmanStrategy::Sparse) {
      // The lower forms leave above the diagonal only what their next step
      // and the sparse P·Z read.
      if (!resolving) {
        covariance.predict_lower(P.p_, g, f, next.p_, ws);
        next.whole_ = false;
      } else if (covariance.has_lower_reference_order()) {
        covariance.predict_lower_in_reference_order(P.p_, g, f, next.p_, ws);
        next.whole_ = false;
      } else {
        // Only reference steps came before: P is whole.
        covariance.predict_in_reference_order(P.p_, g, f, next.p_, ws);
        next.whole_ = true;
      }
      return;
    }
    next.whole_ = true;
    if (!resolving) {
      covariance.predict(P.p_, g, f, next.p_, ws);
    } else {
      predict_dense_reference(P.p_, g, f, next.p_, ws);
    }
  }

  // P ← T·P·T' + RQR in place for a step beyond the series (a forecast):
  // the reference order, whole, in which forecasts have always been made,
  // with `work` (m × m) as its only storage.
  void predict_covariance_ahead(StateCovariance& P, Eigen::MatrixXd& work) const;

 private:
  // The dense strategy's reference order: the update, then T·P·T' + RQR by
  // the dense products.
  void predict_dense_reference(const Eigen::MatrixXd& p, const Eigen::VectorXd* g, double f,
                               Eigen::MatrixXd& out, CovarianceWorkspace& ws) const;

  Eigen::MatrixXd rqr_scratch_;
  std::vector<std::size_t> z_columns_;
};

// R·Q·R' of the system's one shock, into `rqr`.
void shock_covariance(const StateSpace& ss, Eigen::MatrixXd& rqr);

// Why a system of one shock and an initial state do not fit together, if
// they do not: the one check of their sizes, before any product can index
// past a matrix.
std::optional<std::string> size_mismatch(const StateSpace& ss, const KalmanInit& init);

// A system and an initial state built from one configuration always fit
// together; anything else is a programming error: std::logic_error, with
// `who` and the mismatch.
void require_consistent_sizes(const StateSpace& ss, const KalmanInit& init, const char* who);

// The failure of every pass over a series not longer than `burn`.
SarimaxError not_enough_observations(std::size_t n, std::size_t burn);

}  // namespace peltaro::core
