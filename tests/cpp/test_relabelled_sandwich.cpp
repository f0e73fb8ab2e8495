// The labelled covariance adjoint against the same steps on a dense matrix:
// X ← T'·X·T, X + z·p' + p·z', X·g and a column's dot, over transitions of
// every shape the way back meets.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/types.hpp"
#include "peltaro/score/relabelled_sandwich.hpp"

namespace peltaro::score {
namespace {

struct Case {
  std::string name;
  Eigen::MatrixXd T;
};

Case sarimax(const char* name, core::SarimaxOrder o, double c) {
  core::SarimaxConfig config;
  config.order = o;
  core::SarimaxParams p;
  p.ar.assign(o.p, c);
  p.ma.assign(o.q, c);
  p.seasonal_ar.assign(o.P, c);
  p.seasonal_ma.assign(o.Q, c);
  p.sigma2 = 1.0;
  const core::Vec y(4, 0.0);
  return {name, core::StateSpace::create(config, p, y, nullptr)->transition};
}

std::vector<Case> cases() {
  // Two rows of T' with one unit entry in the same column (the second is
  // formed), one whose single entry is not 1, and one with none.
  Eigen::MatrixXd twice = Eigen::MatrixXd::Zero(5, 5);
  twice(0, 1) = 1.0;
  twice(0, 2) = 1.0;
  twice(1, 0) = 1.0;
  twice(4, 3) = -0.5;
  std::mt19937_64 rng(3);
  std::normal_distribution<double> N;
  Eigen::MatrixXd dense(4, 4);
  for (Eigen::Index i = 0; i < dense.size(); ++i) dense.data()[i] = 0.4 * N(rng);
  return {sarimax("airline", {0, 1, 1, 0, 1, 1, 12}, -0.4),
          sarimax("(2,1,2)(1,1,1,12)", {2, 1, 2, 1, 1, 1, 12}, 0.3),
          sarimax("(3,0,0)(1,0,0,24)", {3, 0, 0, 1, 0, 0, 24}, 0.2),
          sarimax("(2,2,1)(0,1,0,4)", {2, 2, 1, 0, 1, 0, 4}, 0.2),
          sarimax("AR(1)", {1, 0, 0, 0, 0, 0, 0}, 0.6),
          {"shared column, empty and scaled rows", twice},
          {"dense 4x4", dense}};
}

TEST(RelabelledSandwich, FollowsTheDenseStepsAndCopiesTheShiftsExactly) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> N;
  // One object for all, as a thread keeps it from one model to the next.
  RelabelledSandwich x;
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const auto m = c.T.rows();
    const auto mu = static_cast<std::size_t>(m);
    const core::SparseT t = core::SparseT::from_dense(c.T.transpose(), mu);
    x.assign(t);
    Eigen::MatrixXd dense = Eigen::MatrixXd::Zero(m, m);
    // Start from a full symmetric matrix: z·p' + p·z' with dense z.
    std::vector<core::SparseZEntry> all;
    for (std::size_t i = 0; i < mu; ++i) all.push_back({i, 1.0});
    Eigen::VectorXd z(m), p(m), p_slotted(m), g(m), u(m);
    auto add = [&](const std::vector<core::SparseZEntry>& entries) {
      for (Eigen::Index i = 0; i < m; ++i) p[i] = N(rng);
      for (std::size_t b = 0; b < mu; ++b) p_slotted[static_cast<Eigen::Index>(b)] = p[static_cast<Eigen::Index>(x.label(b))];
      x.add_outer(entries, z, p_slotted.data());
      dense += z * p.transpose() + p * z.transpose();
    };
    for (Eigen::Index i = 0; i < m; ++i) z[i] = N(rng);
    add(all);
    // Then steps with a sparse z between them, as the way back takes them.
    z.setZero();
    z[m - 1] = -2.0;
    z[0] = 1.0;
    std::vector<core::SparseZEntry> two{{0, 1.0}};
    if (m > 1) two.push_back({mu - 1, -2.0});
    for (int step = 0; step < 3 * m; ++step) {
      const Eigen::MatrixXd before = dense;
      x.step();
      dense = c.T.transpose() * before * c.T;
      // A row of T' that is a plain shift copies: its entries are exact.
      if (step == 0 && c.name == "airline") {
        EXPECT_EQ(x.at(3, 5), before(4, 6));
        EXPECT_EQ(x.at(20, 15), before(19, 14));
        EXPECT_EQ(x.at(3, 20), before(4, 19));
      }
      if (step % 2 == 0) add(two);
      const double scale = dense.cwiseAbs().maxCoeff();
      ASSERT_LE((x.logical() - dense).cwiseAbs().maxCoeff(), 1e-13 * scale) << "step " << step;

      for (Eigen::Index i = 0; i < m; ++i) g[i] = N(rng);
      x.times(g.data(), u.data());
      const Eigen::VectorXd want = dense * g;
      for (std::size_t b = 0; b < mu; ++b) {
        const auto i = static_cast<Eigen::Index>(x.label(b));
        EXPECT_NEAR(u[static_cast<Eigen::Index>(b)], want[i], 1e-13 * scale * g.lpNorm<1>());
        EXPECT_EQ(x.g_slotted()[static_cast<Eigen::Index>(b)], g[i]);
      }
      const std::size_t j = static_cast<std::size_t>(step) % mu;
      EXPECT_NEAR(x.column_dot(j, x.g_slotted().data()), g.dot(dense.col(static_cast<Eigen::Index>(j))),
                  1e-13 * scale * g.lpNorm<1>());
    }
  }
}

}  // namespace
}  // namespace peltaro::score
