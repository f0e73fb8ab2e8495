#include "peltaro/core/kalman/kalman_filter.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/kalman/steady_state.hpp"

namespace peltaro::core {
namespace {

// Out of the loop's way.
[[gnu::noinline]] bool observe(FilterObserver& observer, const FilterStep& step) {
  return observer.step(step);
}

[[gnu::noinline, gnu::cold]] SarimaxError observer_stopped(std::size_t t) {
  return SarimaxError::invalid_input("filter pass stopped by its observer at step " +
                                     std::to_string(t));
}

// Sized before the time loop: the switch allocates nothing.
struct SteadyMode {
  explicit SteadyMode(Eigen::Index m) : pz(m), gain(m) {}
  bool on = false;
  double f = 0.0;
  double finv = 0.0;
  double ln_f = 0.0;
  Eigen::VectorXd pz;    // P·Z frozen at the switch
  Eigen::VectorXd gain;  // T·P·Z, not divided by F
};

}  // namespace

void advance_mean(const FilterSystem& sys, const FilterStep& s, double v, Eigen::VectorXd& a,
                  Eigen::VectorXd& scratch, std::span<const double> intercept, std::size_t row) {
  switch (s.kind) {
    case StepKind::Update:
      a += (v * s.finv) * s.pz;
      sys.predict_state(a, scratch, intercept, s.t, row);
      break;
    case StepKind::Steady:
      sys.predict_state(a, scratch, intercept, s.t, row);
      scratch += s.gain * (v / s.f);
      break;
    case StepKind::Skip:
      sys.predict_state(a, scratch, intercept, s.t, row);
      break;
  }
  a.swap(scratch);
}

Result<KalmanFilterOutput> kalman_core(std::span<const double> y, const StateSpace& ss,
                                       const KalmanInit& init, bool concentrate_scale,
                                       bool store_outputs, std::optional<SnapshotRequest> snapshots) {
  if (y.size() <= init.burn) return fail(not_enough_observations(y.size(), init.burn));
  require_consistent_sizes(ss, init, "kalman_core");
  thread_local FilterSystem kept;
  std::optional<FilterSystem> own;
  return kalman_core(y, ss, init, FilterSystem::refreshed(kept, own, ss), concentrate_scale,
                     store_outputs, snapshots);
}

namespace {

// The filter, from the start or, for `kalman_resume`, from a step of a pass
// run before.
Result<KalmanFilterOutput> filter_pass(std::span<const double> y, const StateSpace& ss,
                                       const KalmanInit& init, const FilterSystem& sys,
                                       bool concentrate_scale, bool store_outputs,
                                       std::optional<SnapshotRequest> snapshots,
                                       FilterObserver* observer, const FilterResume* resume);

}  // namespace

Result<KalmanFilterOutput> kalman_core(std::span<const double> y, const StateSpace& ss,
                                       const KalmanInit& init, const FilterSystem& sys,
                                       bool concentrate_scale, bool store_outputs,
                                       std::optional<SnapshotRequest> snapshots,
                                       FilterObserver* observer) {
  return filter_pass(y, ss, init, sys, concentrate_scale, store_outputs, snapshots, observer,
                     nullptr);
}

void kalman_resume(std::span<const double> y, const StateSpace& ss, const KalmanInit& init,
                   const FilterSystem& sys, const FilterResume& from, FilterObserver& observer) {
  // The observer ends the stretch; the failure that reports its stop says
  // nothing more.
  (void)filter_pass(y, ss, init, sys, false, false, std::nullopt, &observer, &from);
}

namespace {

Result<KalmanFilterOutput> filter_pass(std::span<const double> y, const StateSpace& ss,
                                       const KalmanInit& init, const FilterSystem& sys,
                                       bool concentrate_scale, bool store_outputs,
                                       std::optional<SnapshotRequest> snapshots,
                                       FilterObserver* observer, const FilterResume* resume) {
  const std::size_t n = y.size();
  const std::size_t burn = init.burn;
  if (n <= burn) return fail(not_enough_observations(n, burn));
  require_consistent_sizes(ss, init, "kalman_core");
  const auto mm = static_cast<Eigen::Index>(ss.k_states);
  const Eigen::VectorXd& Z = ss.design;

  Eigen::VectorXd a = resume != nullptr ? resume->mean : init.a0;
  StateCovariance P = resume != nullptr ? resume->cov : StateCovariance(init.p0);
  // Each step builds the next covariance here while P keeps the current one
  // for the steady-state rule to compare with; then the two exchange.
  StateCovariance P_next(Eigen::MatrixXd::Zero(mm, mm));
  Eigen::VectorXd PZ = Eigen::VectorXd::Zero(mm);
  Eigen::VectorXd scratch = Eigen::VectorXd::Zero(mm);
  CovarianceWorkspace ws(mm);
  SteadyStateRule rule(burn);
  const std::span<const double> intercept = state_intercept_for(ss, n);

  KalmanFilterOutput out;
  // A pass with an observer hands each innovation to it and keeps none: its
  // caller keeps what it needs, and a long series would hold both.
  const bool keep_innovations = observer == nullptr;
  if (keep_innovations) out.innovations.reserve(n);
  if (store_outputs) out.f_values.reserve(n);
  // Formed only for a pass that hands them out.
  if (store_outputs) {
    out.filtered_state = Eigen::VectorXd::Zero(mm);
    out.filtered_cov = Eigen::MatrixXd::Zero(mm, mm);
  }

  double sum_ln_f = 0.0;
  double sum_v2_f = 0.0;
  SteadyMode steady(mm);

  auto take_snapshots = [&](std::size_t t) {
    if (!snapshots) return;
    while (snapshots->out->size() < snapshots->origins.size() &&
           snapshots->origins[snapshots->out->size()] == t) {
      StateSnapshot& snapshot = snapshots->out->emplace_back();
      snapshot.state = a;
      P.copy_whole(snapshot.cov);
      snapshot.t = t;
    }
  };

  for (std::size_t t = resume != nullptr ? resume->t : 0; t < n; ++t) {
    take_snapshots(t);
    const double d_t = t < ss.obs_intercept.size() ? ss.obs_intercept[t] : 0.0;
    const double v = (y[t] - sparse_dot(sys.sparse_z, a)) - d_t;
    if (keep_innovations) out.innovations.push_back(v);

    // The observer sees the step before its update; a stop ends the pass.
    // Without one, the steps run as they always have: a steady step of a
    // long series does little else.
    if (steady.on) {
      const FilterStep step{t, StepKind::Steady, v, steady.f, steady.finv, steady.ln_f,
                            (v * v) / steady.f, a, steady.pz, steady.gain, P};
      if (observer != nullptr && !observe(*observer, step)) return fail(observer_stopped(t));
      if (store_outputs) {
        out.f_values.push_back(steady.f);
        out.filtered_state = a + steady.pz * (v / steady.f);
      }
      advance_mean(sys, step, v, a, scratch, intercept, ss.k_diff);
      if (t >= burn) {
        sum_ln_f += steady.ln_f;
        sum_v2_f += (v * v) / steady.f;
      }
      continue;
    }

    const double F = P.times_z(sys.strategy, Z, sys.sparse_z, PZ);
    if (store_outputs) out.f_values.push_back(F);
    if (F > 0.0) {
      const double f = 1.0 / F;
      const double ln_f = t >= burn ? std::log(F) : 0.0;
      const double v2_f = v * v * f;
      const FilterStep step{t, StepKind::Update, v, F, f, ln_f, v2_f, a, PZ, steady.gain, P};
      if (observer != nullptr && !observe(*observer, step)) return fail(observer_stopped(t));
      if (store_outputs) {
        out.filtered_state = a + (v * f) * PZ;
        P.copy_whole(out.filtered_cov);
        for (Eigen::Index j = 0; j < mm; ++j) out.filtered_cov.col(j) += (PZ[j] * (-f)) * PZ;
      }
      advance_mean(sys, step, v, a, scratch, intercept, ss.k_diff);
      // The update P − PZ·PZ'·f is made inside the prediction, formed beside P.
      sys.predict_covariance(P, &PZ, f, P_next, ws, t, burn);
      if (t >= burn) {
        sum_ln_f += ln_f;
        sum_v2_f += v2_f;
      }
      // A resumed pass has not seen the changes before its first step: the
      // rule's decisions are the first pass's, and its stretch lies before
      // the switch.
      const bool settled = resume == nullptr && rule.after_update(t, P_next, P);
      P.swap(P_next);
      if (settled) {
        // P·Z and F of the frozen covariance by the dense product, whole.
        P.complete();
        const double f_ss = P.times_z(KalmanStrategy::Dense, Z, sys.sparse_z, PZ);
        if (std::isfinite(f_ss) && f_ss > 0.0) {
          steady.on = true;
          steady.f = f_ss;
          steady.finv = 1.0 / f_ss;
          steady.ln_f = std::log(f_ss);
          steady.pz = PZ;
          sys.covariance.times_t(PZ.data(), steady.gain.data());
          out.steady_from = t + 1;
          if (observer != nullptr) observer->steady_from(t + 1);
        }
      }
    } else {
      const double v2_f = (v * v) / SKIP_F;
      const FilterStep step{t, StepKind::Skip, v, F, SKIP_FINV, LN_SKIP_F, v2_f, a, PZ,
                            steady.gain, P};
      if (observer != nullptr && !observe(*observer, step)) return fail(observer_stopped(t));
      if (t >= burn) {
        sum_ln_f += LN_SKIP_F;
        sum_v2_f += v2_f;
      }
      if (store_outputs) {
        out.filtered_state = a;
        P.copy_whole(out.filtered_cov);
      }
      advance_mean(sys, step, v, a, scratch, intercept, ss.k_diff);
      sys.predict_covariance(P, nullptr, 0.0, P_next, ws, t, burn);
      P.swap(P_next);
      rule.after_skip();
    }
  }

  take_snapshots(n);
  if (snapshots && snapshots->out->size() != snapshots->origins.size()) {
    std::vector<std::uint64_t> list(snapshots->origins.begin(), snapshots->origins.end());
    return fail(SarimaxError::invalid_input("snapshot origins must be sorted ascending and <= n=" +
                                            std::to_string(n) + ", got " + format_list(list)));
  }
  auto value = loglike_from_sums(sum_ln_f, sum_v2_f, n - burn, concentrate_scale,
                                 ss.state_cov(0, 0));
  if (!value) return fail(std::move(value.error()));
  out.predicted_state = std::move(a);
  out.predicted_cov = P.take_whole();
  out.loglike = value->loglike;
  out.scale = value->scale;
  out.n_eff = n - burn;
  return out;
}

}  // namespace

Result<LoglikeValue> loglike_from_sums(double sum_ln_f, double sum_v2_f, std::size_t n_eff,
                                      bool concentrate_scale, double state_var) {
  if (!std::isfinite(sum_ln_f) || !std::isfinite(sum_v2_f)) {
    return fail(SarimaxError::data_error(
        "non-finite Kalman statistics encountered (possible NaN/Inf in inputs)"));
  }
  const double N = static_cast<double>(n_eff);
  double loglike;
  double scale;
  if (concentrate_scale) {
    const double sigma2_hat = sum_v2_f / N;
    // Only a series fitted exactly (σ̂² = 0) is floored, at the least
    // positive double: any larger floor would cut off the scale of a series
    // measured in small enough units.
    const double floored = std::fmax(sigma2_hat, std::numeric_limits<double>::denorm_min());
    loglike = (-0.5 * N) * LN_2PI - (N / 2.0) * std::log(floored) - N / 2.0 - 0.5 * sum_ln_f;
    scale = sigma2_hat;
  } else {
    loglike = (-0.5 * N) * LN_2PI - 0.5 * sum_ln_f - 0.5 * sum_v2_f;
    scale = state_var;
  }
  if (!std::isfinite(loglike) || !std::isfinite(scale)) {
    return fail(SarimaxError::data_error("non-finite loglike/scale produced by Kalman filter"));
  }
  return LoglikeValue{loglike, scale};
}

namespace {

KalmanOutput reduce(KalmanFilterOutput&& res) {
  KalmanOutput out;
  out.innovations = std::move(res.innovations);
  out.loglike = res.loglike;
  out.scale = res.scale;
  out.n_eff = res.n_eff;
  return out;
}

}  // namespace

Result<KalmanOutput> kalman_loglike(std::span<const double> y, const StateSpace& ss,
                                    const KalmanInit& init, const FilterSystem& sys,
                                    bool concentrate_scale) {
  auto res = kalman_core(y, ss, init, sys, concentrate_scale, false);
  if (!res) return fail(std::move(res.error()));
  return reduce(std::move(*res));
}

Result<KalmanOutput> kalman_loglike(std::span<const double> y, const StateSpace& ss,
                                    const KalmanInit& init, bool concentrate_scale) {
  auto res = kalman_core(y, ss, init, concentrate_scale, false);
  if (!res) return fail(std::move(res.error()));
  return reduce(std::move(*res));
}

Result<std::pair<KalmanFilterOutput, std::vector<StateSnapshot>>> kalman_filter_with_snapshots(
    std::span<const double> y, const StateSpace& ss, const KalmanInit& init, bool concentrate_scale,
    std::span<const std::size_t> origins) {
  std::vector<StateSnapshot> snaps;
  snaps.reserve(origins.size());
  auto res = kalman_core(y, ss, init, concentrate_scale, true, SnapshotRequest{origins, &snaps});
  if (!res) return fail(std::move(res.error()));
  return std::make_pair(std::move(*res), std::move(snaps));
}

}  // namespace peltaro::core
