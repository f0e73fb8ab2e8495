#pragma once
// A plain dense Kalman filter for tests: no steady state, no sparse forms, no
// shortcuts. It is the slow, obvious version the real filter must agree with.

#include <Eigen/Dense>
#include <cmath>
#include <span>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::testing {

struct ReferenceResult {
  double loglike = 0.0;
  double sum_ln_f = 0.0;
  double sum_v2_f = 0.0;
  std::vector<double> innovations;
  std::vector<double> f_values;
};

inline ReferenceResult reference_filter(std::span<const double> y, const core::StateSpace& ss,
                                        const core::KalmanInit& init, bool concentrate_scale) {
  const std::size_t n = y.size();
  const std::size_t m = ss.k_states;
  Eigen::VectorXd a = init.a0;
  Eigen::MatrixXd P = init.p0;
  const Eigen::MatrixXd RQR = ss.selection * ss.state_cov * ss.selection.transpose();
  ReferenceResult r;
  for (std::size_t t = 0; t < n; ++t) {
    const double d = t < ss.obs_intercept.size() ? ss.obs_intercept[t] : 0.0;
    const double v = y[t] - ss.design.dot(a) - d;
    const Eigen::VectorXd PZ = P * ss.design;
    const double F = ss.design.dot(PZ);
    r.innovations.push_back(v);
    r.f_values.push_back(F);
    if (F > 0) {
      a += PZ * (v / F);
      P -= PZ * PZ.transpose() / F;
      if (t >= init.burn) {
        r.sum_ln_f += std::log(F);
        r.sum_v2_f += v * v / F;
      }
    } else if (t >= init.burn) {
      r.sum_ln_f += std::log(1e10);
      r.sum_v2_f += v * v / 1e10;
    }
    Eigen::VectorXd c = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(m));
    if (ss.state_intercept.size() == n) {
      c[static_cast<Eigen::Index>(ss.k_diff)] = ss.state_intercept[t];
    }
    a = ss.transition * a + c;
    P = ss.transition * P * ss.transition.transpose() + RQR;
  }
  const double N = static_cast<double>(n - init.burn);
  const double ln2pi = std::log(2.0 * M_PI);
  if (concentrate_scale) {
    const double s2 = r.sum_v2_f / N;
    r.loglike = -0.5 * N * ln2pi - 0.5 * N * std::log(s2) - 0.5 * N - 0.5 * r.sum_ln_f;
  } else {
    r.loglike = -0.5 * N * ln2pi - 0.5 * r.sum_ln_f - 0.5 * r.sum_v2_f;
  }
  return r;
}

}  // namespace peltaro::testing
