#pragma once
// The tangent-linear Kalman pass: the filter's recursion run again with, beside
// it, the derivative of the predicted state mean and covariance for every
// parameter. At each observation that enters the likelihood it hands the
// innovation v_t, 1/F_t and their derivatives to a sink.
//
// It rides on the filter as an observer of its steps, as the adjoint does:
// the mean, P·Z, F, the covariance, the switch step and the frozen
// quantities of steady mode are the filter's own, so its innovations and F
// are the filter's bit for bit, the log-likelihood sums it keeps equal the
// filter's, and the sums it feeds are derivatives of exactly the likelihood
// the filter returns.

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

// Throws std::logic_error where the system, the initial state and the
// derivatives were not built for one another and for y.
void check_tlkf_sizes(std::span<const double> y, const core::StateSpace& ss,
                      const core::KalmanInit& init, const SystemDerivatives& derivs);

// The derivative recursion, stepped by `tlkf_pass` over the filter's own
// steps (as an observer of them): the filter decides update, skip, switch
// and freeze, and hands each step's mean, P·Z, F and covariance over. Every
// buffer is allocated by the constructor; the steps allocate nothing.
class TangentLinearRecursion {
 public:
  // Throws std::logic_error when the sizes of the inputs do not fit together
  // (a programming fault: the score entries check their inputs first).
  // `system` must be made from `ss` and outlive the recursion.
  TangentLinearRecursion(std::span<const double> y, const core::StateSpace& ss,
                         const core::KalmanInit& init, const SystemDerivatives& derivs,
                         const core::FilterSystem& system);

  // The derivatives of the innovation and of F at step s, before its update.
  void begin_step(const core::FilterStep& s);
  // The update and prediction of the mean and covariance derivatives.
  void finish_step(const core::FilterStep& s);

  [[nodiscard]] std::span<const double> dv() const { return {dv_.data(), dv_.size()}; }
  [[nodiscard]] std::span<const double> df() const { return {df_.data(), df_.size()}; }

 private:
  void compute_dv(std::size_t t);
  void update_mean_derivatives(const Eigen::VectorXd& g, double finv, double v, double w);
  void predict_derivatives(std::size_t t, const Eigen::VectorXd& filtered);
  // dF at the first steady step: of the frozen covariance, whose F and P·Z
  // every steady step uses.
  void freeze();

  const core::StateSpace& ss_;
  const SystemDerivatives& derivs_;
  std::size_t m_, k_, burn_;
  const core::FilterSystem& system_;
  std::span<const double> intercept_;
  core::CovarianceWorkspace cov_ws_;
  bool steady_ = false;

  // The filtered mean the derivative predictions map through dT; p_ the
  // term of the update's derivative; out_ takes each predicted derivative.
  Eigen::VectorXd a_filt_, p_;
  Eigen::MatrixXd out_;
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
};

// The filter's steps handed to the recursion, and its records to the sink.
template <TlkfSink S>
class TlkfObserver final : public core::FilterObserver {
 public:
  TlkfObserver(TangentLinearRecursion& rec, S& sink, std::size_t burn)
      : rec_(rec), sink_(sink), burn_(burn) {}

  bool step(const core::FilterStep& s) override {
    rec_.begin_step(s);
    if (s.t >= burn_) {
      sink_.record(rec_.dv(), rec_.df(), s.v, s.finv);
      result_.sumsq += (s.v * s.v) * s.finv;
      result_.sum_ln_f += s.ln_f;
      result_.sum_v2_f += s.v2_f;
    }
    rec_.finish_step(s);
    return true;
  }
  void steady_from(std::size_t t) override { result_.steady_from = t; }

  [[nodiscard]] const TlkfResult& result() const { return result_; }

 private:
  TangentLinearRecursion& rec_;
  S& sink_;
  std::size_t burn_;
  TlkfResult result_;
};

// `system`, when given, must be made from `ss`; otherwise the pass makes its
// own. The filter's own failures (a series not longer than burn, sums that
// are not finite) are not the pass's: it records what the steps gave.
template <TlkfSink S>
TlkfResult tlkf_pass(std::span<const double> y, const core::StateSpace& ss,
                     const core::KalmanInit& init, const SystemDerivatives& derivs, S& sink,
                     const core::FilterSystem* system = nullptr) {
  check_tlkf_sizes(y, ss, init, derivs);
  std::optional<core::FilterSystem> own;
  const core::FilterSystem& sys = system != nullptr ? *system : own.emplace(ss);
  TangentLinearRecursion rec(y, ss, init, derivs, sys);
  TlkfObserver<S> observer(rec, sink, init.burn);
  (void)core::kalman_core(y, ss, init, sys, false, false, std::nullopt, &observer);
  return observer.result();
}

}  // namespace peltaro::score
