// The one covariance step and the readers of the covariance it forms:
// through the diffuse steps (reference order) and after (folded), with and
// without an update, against the dense product T·(P − g·g'·f)·T' + RQR; and
// every reader of a covariance whose upper triangle is partly stale gives
// the whole matrix's values.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::core {
namespace {

TEST(StateCovariance, EveryStepIsTheDenseProductAndEveryReaderSeesTheWholeMatrix) {
  struct Case {
    const char* name;
    SarimaxOrder order;
  };
  const Case cases[] = {{"airline", {0, 1, 1, 0, 1, 1, 12}},
                        {"(2,1,2)(1,1,1,12)", {2, 1, 2, 1, 1, 1, 12}},
                        {"(3,0,0)(1,0,0,24)", {3, 0, 0, 1, 0, 0, 24}},
                        {"ARMA(1,1), dense", {1, 0, 1, 0, 0, 0, 0}}};
  for (const Case& c : cases) {
    SarimaxConfig config;
    config.order = c.order;
    SarimaxParams p;
    p.ar.assign(c.order.p, 0.4);
    p.ma.assign(c.order.q, -0.3);
    p.seasonal_ar.assign(c.order.P, 0.2);
    p.seasonal_ma.assign(c.order.Q, -0.5);
    p.sigma2 = 2.0;
    const Vec y(60, 0.0);
    const StateSpace ss = *StateSpace::create(config, p, y, nullptr);
    const KalmanInit init = KalmanInit::from_config_default(ss, config);
    const FilterSystem sys(ss);
    const auto m = static_cast<Eigen::Index>(ss.k_states);
    const Eigen::MatrixXd& T = ss.transition;
    Eigen::MatrixXd rqr;
    shock_covariance(ss, rqr);

    StateCovariance P(init.p0), next;
    CovarianceWorkspace ws(m);
    Eigen::VectorXd g(m), column(m);
    Eigen::MatrixXd whole, expected;
    for (std::size_t t = 0; t < init.burn + 4; ++t) {
      const std::string at = std::string(c.name) + ", step " + std::to_string(t);
      const bool update = t % 3 != 2;  // some steps without an observation
      const double F = P.times_z(sys.strategy, ss.design, sys.sparse_z, g);
      const double f = 1.0 / F;
      P.copy_whole(whole);
      EXPECT_NEAR(F, ss.design.dot(whole * ss.design), 1e-12 * std::fabs(F)) << at;
      expected = whole;
      if (update) expected -= g * g.transpose() * f;
      expected = T * expected * T.transpose() + rqr;

      sys.predict_covariance(P, update ? &g : nullptr, f, next, ws, t, init.burn);
      P.swap(next);
      P.copy_whole(whole);
      EXPECT_LE((whole - expected).norm(), 1e-12 * expected.norm()) << at;
      EXPECT_EQ(whole, whole.transpose()) << at;
      for (Eigen::Index j = 0; j < m; ++j) {
        P.column(static_cast<std::size_t>(j), column.data());
        EXPECT_EQ(column, whole.col(j)) << at << ", column " << j;
        for (Eigen::Index i = 0; i < m; ++i) {
          EXPECT_EQ(P(static_cast<std::size_t>(i), static_cast<std::size_t>(j)), whole(i, j)) << at;
        }
      }
    }
    // Completed in place, it is the copy, and it hands itself over whole.
    P.copy_whole(whole);
    EXPECT_EQ(P.complete(), whole) << c.name;
    EXPECT_EQ(P.take_whole(), whole) << c.name;
  }
}

}  // namespace
}  // namespace peltaro::core
