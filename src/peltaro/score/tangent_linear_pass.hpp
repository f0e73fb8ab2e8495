#pragma once
// The tangent-linear Kalman pass: the filter's recursion run again with, beside
// it, the derivative of the predicted state mean and covariance for every
// parameter. At each observation that enters the likelihood it hands the
// innovation v_t, 1/F_t and their derivatives to a sink.
//
// It follows the filter step for step, with the filter's own arithmetic for
// the mean, P·Z, F and the covariance (the same steady-state rule fed the
// same covariances, so the same switch step, and the same frozen quantities
// in steady mode): its innovations and F are the filter's bit for bit, the
// log-likelihood sums it keeps equal the filter's, and the sums it feeds are
// derivatives of exactly the likelihood the filter returns.

#include <Eigen/Dense>
#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/covariance_kernel.hpp"
#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/kalman/steady_state.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/score/system_derivatives.hpp"

namespace peltaro::score {

// A receiver of one record per observation t ≥ burn, in time order. The two
// spans are the pass's own buffers, valid only during the call.
template <class S>
concept TlkfSink = requires(S& sink, std::span<const double> dv, std::span<const double> df,
                            double v, double finv) {
  { sink.record(dv, df, v, finv) } -> std::same_as<void>;
};

struct TlkfResult {
  // Σ over t ≥ burn of v_t²·(1/F_t).
  double sumsq = 0.0;
  // The filter's two sums over t ≥ burn, formed as it forms them: ln F_t and
  // v_t²/F_t (a skipped step counts F = 1e10).
  double sum_ln_f = 0.0;
  double sum_v2_f = 0.0;
  // First step run with the frozen covariance, when steady mode was reached.
  std::optional<std::size_t> steady_from;
};

// The recursion itself, stepped by `tlkf_pass`. Every buffer is allocated by
// the constructor; the steps allocate nothing.
class TangentLinearRecursion {
 public:
  using StepKind = core::StepKind;

  // Throws std::logic_error when the sizes of the inputs do not fit together
  // (a programming fault: the score entries check their inputs first).
  // `system`, when given, must be made from `ss` and outlive the recursion;
  // otherwise the recursion makes its own.
  TangentLinearRecursion(std::span<const double> y, const core::StateSpace& ss,
                         const core::KalmanInit& init, const SystemDerivatives& derivs,
                         const core::FilterSystem* system = nullptr);

  // Innovation of step t and, when the step is recorded or updates, the
  // derivatives handed to the sink.
  void begin_step(std::size_t t);
  // Update, predictions and the steady-state check of step t.
  void finish_step(std::size_t t);

  [[nodiscard]] std::span<const double> dv() const { return {dv_.data(), dv_.size()}; }
  [[nodiscard]] std::span<const double> df() const { return {df_.data(), df_.size()}; }
  [[nodiscard]] double v() const { return v_; }
  [[nodiscard]] double finv() const { return finv_; }
  // The step's terms of the filter's sums: ln F and v²/F (ln F is 0 during
  // the burn steps, which the sums leave out).
  [[nodiscard]] double ln_f() const { return ln_f_; }
  [[nodiscard]] double v2_f() const { return v2_f_; }
  [[nodiscard]] std::optional<std::size_t> steady_from() const { return steady_from_; }

 private:
  void compute_dv(std::size_t t);
  void update_mean_derivatives(double w);
  void predict_derivatives(std::size_t t, const Eigen::VectorXd& filtered);
  void freeze(std::size_t t);

  std::span<const double> y_;
  const core::StateSpace& ss_;
  const SystemDerivatives& derivs_;
  std::size_t n_, m_, k_, burn_;

  // T, T', Z and the covariance kernel as the filters form them. P is
  // predicted by the very call the filters make, so that all hold the same
  // covariance bit for bit (the folded order rounds otherwise than T·P·T'
  // formed from T·P) and the steady-state rule switches all at one step.
  std::optional<core::FilterSystem> own_system_;
  const core::FilterSystem& system_;
  std::span<const double> intercept_;
  core::CovarianceWorkspace cov_ws_;

  // g_ is P·Z; in steady mode gain_ is T·P·Z and f_ the frozen F.
  Eigen::VectorXd a_, a_pred_, a_filt_, g_, g_new_, gain_;
  // P_ is the covariance predicted for the current step; the next one is built
  // in P_next_ beside it, so that the steady-state rule can compare the two
  // before they exchange. out_ takes each predicted derivative.
  core::StateCovariance P_, P_next_;
  Eigen::MatrixXd out_;
  Eigen::VectorXd p_;
  // Derivatives of the predicted mean, one row per parameter (k × m): the
  // prediction T·da_j of all parameters then runs over the entries of T with
  // contiguous inner loops of length k.
  Eigen::MatrixXd DA_, DX_;
  std::vector<Eigen::VectorXd> dg_;
  std::vector<Eigen::MatrixXd> dP_;
  // Parameters whose covariance derivative is not identically zero (they move
  // T, RQR or the initial covariance); the others skip all covariance work.
  std::vector<char> moves_cov_;
  Vec dv_, df_, za_;

  core::SteadyStateRule rule_;
  StepKind kind_ = StepKind::Update;
  bool steady_ = false;
  std::optional<std::size_t> steady_from_;
  double v_ = 0.0, finv_ = 0.0, f_ = 0.0, ln_f_ = 0.0, v2_f_ = 0.0, steady_ln_f_ = 0.0;
};

template <TlkfSink S>
TlkfResult tlkf_pass(std::span<const double> y, const core::StateSpace& ss,
                     const core::KalmanInit& init, const SystemDerivatives& derivs, S& sink,
                     const core::FilterSystem* system = nullptr) {
  TangentLinearRecursion rec(y, ss, init, derivs, system);
  TlkfResult result;
  const std::size_t n = y.size();
  for (std::size_t t = 0; t < n; ++t) {
    rec.begin_step(t);
    if (t >= init.burn) {
      const double v = rec.v();
      const double finv = rec.finv();
      sink.record(rec.dv(), rec.df(), v, finv);
      result.sumsq += (v * v) * finv;
      result.sum_ln_f += rec.ln_f();
      result.sum_v2_f += rec.v2_f();
    }
    rec.finish_step(t);
  }
  result.steady_from = rec.steady_from();
  return result;
}

}  // namespace peltaro::score
