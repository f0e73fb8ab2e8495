// The units of the series do not matter: with y, the trend and the regression
// coefficients multiplied by c and σ² by c², the log-likelihood moves by
// exactly −n_eff·ln|c| and each score entry by the parameter's units. Nothing
// else in the filter, its start or its score may depend on the scale.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "peltaro/core/kalman/kalman_filter.hpp"
#include "reference_filter.hpp"
#include "score_fixtures.hpp"

using namespace peltaro;
using namespace peltaro::score_fixtures;

namespace {

struct Model {
  const char* name;
  SarimaxConfig config;
  Vec theta;
  // Power of c each parameter carries: 1 for trend and regression
  // coefficients, 0 for the lag polynomials, 2 for σ².
  std::vector<int> units;
  Vec y;
  std::optional<Columns> exog;
};

std::vector<Model> models() {
  const Vec air = log_of(load_csv_column("airpassengers.csv", 1));
  const Vec nile = load_csv_column("nile.csv", 1);
  Columns dam{Vec(nile.size(), 0.0)};  // the level shift of 1899
  for (std::size_t t = 28; t < nile.size(); ++t) dam[0][t] = 1.0;
  const core::SarimaxOrder ar2{2, 0, 0, 0, 0, 0, 0}, arma{1, 0, 1, 0, 0, 0, 0},
      airline{0, 1, 1, 0, 1, 1, 12};
  const Vec long_arma = simulate_arma(2000, {0.5}, {0.99}, 3);
  return {
      {"AR(2) with a zero lag", cfg(ar2), {0.5, 0.0, 1.0}, {0, 0, 2},
       simulate_arma(200, {0.5}, {}, 1), std::nullopt},
      {"ARMA(1,1), theta 0.99", cfg(arma), {0.5, 0.99, 1.0}, {0, 0, 2}, long_arma, std::nullopt},
      {"ARMA(1,1), theta 0.99, concentrated", cfg(arma, core::Trend::None, 0, true), {0.5, 0.99},
       {0, 0}, long_arma, std::nullopt},
      {"airline, concentrated", cfg(airline, core::Trend::None, 0, true), {-0.4, -0.6}, {0, 0},
       air, std::nullopt},
      {"airline, simple differencing", cfg(airline, core::Trend::None, 0, false, true, true),
       {-0.4, -0.6, 0.0014}, {0, 0, 2}, air, std::nullopt},
      {"ARMA(1,1) with constant and regressor", cfg(arma, core::Trend::Constant, 1),
       {300.0, -250.0, 0.7, -0.3, 15000.0}, {1, 1, 0, 0, 2}, nile, dam},
  };
}

struct Evaluated {
  double loglike;
  Vec score;
  std::optional<std::size_t> steady_from;
  std::size_t n_eff;
};

Evaluated evaluate(const Model& m, double c) {
  Vec y = m.y, theta = m.theta;
  for (double& v : y) v *= c;
  for (std::size_t j = 0; j < theta.size(); ++j) theta[j] *= std::pow(c, m.units[j]);
  const Columns* exog = m.exog ? &*m.exog : nullptr;
  const Evaluation ev = build(m.config, theta, y, exog);
  const bool conc = m.config.concentrate_scale;
  const auto filtered = core::kalman_core(ev.series, ev.ss, ev.init, conc, false);
  const auto score = score::score(ev.series, ev.ss, ev.init, m.config, ev.params, conc, ev.cols());
  if (!filtered || !score) throw std::runtime_error(std::string(m.name) + " failed");
  return {filtered->loglike, *score, filtered->steady_from, filtered->n_eff};
}

}  // namespace

TEST(ScaleEquivariance, LoglikeShiftsByNLogCAndTheScoreByEachParametersUnits) {
  for (const Model& m : models()) {
    const Evaluated base = evaluate(m, 1.0);
    for (const double c : {1e-150, 1e-100, 1e-12, 1e-8, 1e-3, 1e3, 1e8, 1e100, 1e150}) {
      SCOPED_TRACE(::testing::Message() << m.name << ", c = " << c);
      const Evaluated got = evaluate(m, c);
      const double shift = static_cast<double>(base.n_eff) * std::log(c);
      EXPECT_NEAR(got.loglike + shift, base.loglike,
                  1e-12 * (std::fabs(base.loglike) + std::fabs(shift)));
      EXPECT_EQ(got.steady_from, base.steady_from);
      for (std::size_t j = 0; j < base.score.size(); ++j) {
        EXPECT_NEAR(got.score[j] * std::pow(c, m.units[j]), base.score[j],
                    1e-9 * std::fabs(base.score[j]) + 1e-9)
            << "score " << j;
      }
    }
  }
}

// In small units the likelihood must still be the one a plain filter gives
// from the exact stationary start (X = T·X·T' + RQR' by its Kronecker form).
TEST(ScaleEquivariance, SmallUnitsAgreeWithAPlainFilterFromTheExactStart) {
  struct Case {
    double c;
    core::SarimaxOrder order;
    Vec theta;  // σ² last, for the unscaled series
    Vec y;
  };
  const Case cases[] = {
      {1e-8, {2, 0, 0, 0, 0, 0, 0}, {0.5, 0.0, 1.0}, simulate_arma(200, {0.5}, {}, 1)},
      {1e-12, {1, 0, 1, 0, 0, 0, 0}, {0.5, 0.99, 1.0}, simulate_arma(2000, {0.5}, {0.99}, 3)},
  };
  for (const Case& k : cases) {
    Vec y = k.y, theta = k.theta;
    for (double& v : y) v *= k.c;
    theta.back() *= k.c * k.c;
    const Evaluation ev = build(cfg(k.order), theta, y, nullptr);
    const Eigen::MatrixXd& T = ev.ss.transition;
    const Eigen::Index m = T.rows();
    const Eigen::MatrixXd V = ev.ss.selection * ev.ss.state_cov * ev.ss.selection.transpose();
    Eigen::MatrixXd K = Eigen::MatrixXd::Identity(m * m, m * m);
    for (Eigen::Index i = 0; i < m; ++i) {
      for (Eigen::Index j = 0; j < m; ++j) K.block(i * m, j * m, m, m) -= T(i, j) * T;
    }
    core::KalmanInit exact = ev.init;
    exact.p0 = (K.fullPivLu().solve(V.reshaped())).reshaped(m, m);
    const double want = peltaro::testing::reference_filter(ev.series, ev.ss, exact, false).loglike;
    const auto got = core::kalman_loglike(ev.series, ev.ss, ev.init, false);
    ASSERT_TRUE(got.has_value());
    EXPECT_NEAR(got->loglike, want, 1e-11 * std::fabs(want)) << "c = " << k.c;
  }
}

// Differencing states start approximately diffuse. In small units their
// start must not turn into rounding: the log-likelihood after the burn is
// then that of the differenced series from its stationary start (simple
// differencing), which is the limit of a diffuse start, and so is the score.
TEST(ScaleEquivariance, DiffuseStatesInSmallUnitsGiveTheDifferencedSeriesLikelihood) {
  const Vec air = log_of(load_csv_column("airpassengers.csv", 1));
  const Vec nile = load_csv_column("nile.csv", 1);
  struct Case {
    const char* name;
    core::SarimaxOrder order;
    Vec theta;  // σ² last, for the unscaled series
    const Vec* y;
  };
  const Case cases[] = {
      {"airline, log air", {0, 1, 1, 0, 1, 1, 12}, {-0.4, -0.55, 0.00135}, &air},
      {"ARIMA(1,1,1), Nile", {1, 1, 1, 0, 0, 0, 0}, {0.25, -0.87, 19800.0}, &nile},
  };
  for (const Case& k : cases) {
    for (const double c : {1e-4, 1e-8, 1e-12, 1e-150}) {
      SCOPED_TRACE(::testing::Message() << k.name << ", c = " << c);
      Vec y = *k.y, theta = k.theta;
      for (double& v : y) v *= c;
      theta.back() *= c * c;
      const double got = loglike(cfg(k.order), theta, y, nullptr);
      const double want = loglike(cfg(k.order, core::Trend::None, 0, false, true, true), theta, y,
                                  nullptr);
      EXPECT_NEAR(got, want, 1e-5);
      // The filter's rounding at a diffuse start is too large for finite
      // differences at 1e-5; the score of the differenced series is the
      // limit the score must reach as well.
      const Vec score = analytic_score(cfg(k.order), theta, y, nullptr);
      const Vec limit =
          analytic_score(cfg(k.order, core::Trend::None, 0, false, true, true), theta, y, nullptr);
      for (std::size_t j = 0; j < score.size(); ++j) {
        const double units = j + 1 == score.size() ? theta.back() : 1.0;
        EXPECT_NEAR(score[j] * units, limit[j] * units, 1e-4 * std::fabs(limit[j] * units) + 1e-5)
            << "score " << j;
      }
    }
  }
}
