#include "peltaro/core/kalman/batched_filter.hpp"

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/kalman/steady_state.hpp"

namespace peltaro::core {
namespace {

// Sized before the time loop: the switch allocates nothing.
struct SteadyGain {
  explicit SteadyGain(Eigen::Index m) : gain(m) {}
  bool on = false;
  double f = 0.0;
  Eigen::VectorXd gain;  // T·P·Z frozen at the switch, not divided by F
};

}  // namespace

Result<BatchedKalmanOutput> kalman_filter_batched(std::span<const std::span<const double>> series,
                                                  const StateSpace& ss, const KalmanInit& init) {
  require_consistent_sizes(ss, init, "kalman_filter_batched");
  if (series.empty()) {
    return fail(SarimaxError::data_error(
        "kalman_filter_batched: observations must contain at least one series"));
  }
  const std::size_t n = series[0].size();
  for (std::size_t j = 0; j < series.size(); ++j) {
    if (series[j].size() != n) {
      return fail(SarimaxError::data_error(
          "kalman_filter_batched: series " + std::to_string(j) + " has length " +
          std::to_string(series[j].size()) + " but series 0 has length " + std::to_string(n)));
    }
  }
  const std::size_t burn = init.burn;
  if (n <= burn) return fail(not_enough_observations(n, burn));

  const std::size_t k = series.size();
  const auto mm = static_cast<Eigen::Index>(ss.k_states);
  const Eigen::VectorXd& Z = ss.design;

  StateCovariance P(init.p0);
  StateCovariance P_next(Eigen::MatrixXd::Zero(mm, mm));
  const FilterSystem sys(ss);
  std::vector<Eigen::VectorXd> states(k, init.a0);
  Eigen::VectorXd scratch = Eigen::VectorXd::Zero(mm);
  Eigen::VectorXd PZ = Eigen::VectorXd::Zero(mm);
  CovarianceWorkspace ws(mm);
  SteadyStateRule rule(burn);
  // A trend built for another series length contributes nothing.
  const std::span<const double> intercept =
      ss.state_intercept.size() == n ? std::span<const double>(ss.state_intercept)
                                     : std::span<const double>();

  BatchedKalmanOutput out;
  out.innovations.resize(k);
  for (Vec& v : out.innovations) v.reserve(n);
  out.f_values.reserve(n);
  out.n_eff = n - burn;

  SteadyGain steady(mm);

  for (std::size_t t = 0; t < n; ++t) {
    const double d_t = t < ss.obs_intercept.size() ? ss.obs_intercept[t] : 0.0;
    auto innovation = [&](std::size_t i) {
      const double v = (series[i][t] - sparse_dot(sys.sparse_z, states[i])) - d_t;
      out.innovations[i].push_back(v);
      return v;
    };

    if (steady.on) {
      out.f_values.push_back(steady.f);
      for (std::size_t i = 0; i < k; ++i) {
        const double v = innovation(i);
        sys.predict_state(states[i], scratch, intercept, t, ss.k_diff);
        scratch += steady.gain * (v / steady.f);
        states[i].swap(scratch);
      }
      continue;
    }

    const double F = P.times_z(sys.strategy, Z, sys.sparse_z, PZ);
    out.f_values.push_back(F);
    if (F > 0.0) {
      const double f = 1.0 / F;
      for (std::size_t i = 0; i < k; ++i) {
        const double v = innovation(i);
        states[i] += (v * f) * PZ;
        sys.predict_state(states[i], scratch, intercept, t, ss.k_diff);
        states[i].swap(scratch);
      }
      // As in the single-series filter: the next covariance is predicted
      // beside the current one (the update P − PZ·PZ'·f made inside the
      // prediction), the rule compares the two, and they exchange; so both
      // filters freeze at the same step.
      sys.predict_covariance(P, &PZ, f, P_next, ws, t, burn);
      const bool settled = rule.after_update(t, P_next, P);
      P.swap(P_next);
      if (settled) {
        P.complete();
        const double f_ss = P.times_z(KalmanStrategy::Dense, Z, sys.sparse_z, PZ);
        if (std::isfinite(f_ss) && f_ss > 0.0) {
          steady.on = true;
          steady.f = f_ss;
          sys.covariance.times_t(PZ.data(), steady.gain.data());
          out.steady_from = t + 1;
        }
      }
    } else {
      // Not an update step: states and covariance are only predicted.
      for (std::size_t i = 0; i < k; ++i) {
        innovation(i);
        sys.predict_state(states[i], scratch, intercept, t, ss.k_diff);
        states[i].swap(scratch);
      }
      sys.predict_covariance(P, nullptr, 0.0, P_next, ws, t, burn);
      P.swap(P_next);
      rule.after_skip();
    }
  }
  return out;
}

}  // namespace peltaro::core
