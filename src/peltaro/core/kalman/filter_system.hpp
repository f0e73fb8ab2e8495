#pragma once
// What every pass over one system forms once, before its time loop: the
// sparse forms of T and Z, the strategy chosen from them, T' and R·Q·R'.

#include <Eigen/Dense>
#include <cstddef>

#include "peltaro/core/error.hpp"
#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::core {

struct FilterSystem {
  Eigen::MatrixXd rqr;  // (R·Q)·R'
  Eigen::MatrixXd tt;   // T'
  SparseZ sparse_z;
  SparseT sparse_t;
  KalmanStrategy strategy = KalmanStrategy::Dense;

  explicit FilterSystem(const StateSpace& ss);

  // T·v by the pass's strategy (the steady gain T·P·Z at the switch).
  [[nodiscard]] Eigen::VectorXd times_t(const Eigen::MatrixXd& T, const Eigen::VectorXd& v) const;
};

// A system and an initial state built from one configuration always fit
// together; anything else is a programming error, refused before any product
// can index past a matrix.
void require_consistent_sizes(const StateSpace& ss, const KalmanInit& init, const char* who);

// The failure of every pass over a series not longer than `burn`.
SarimaxError not_enough_observations(std::size_t n, std::size_t burn);

}  // namespace peltaro::core
