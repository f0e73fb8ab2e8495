// Parameter inference: the two information estimates against closed forms,
// the numerical Hessian's difference rule, the covariance and status rules,
// and every error path of compute_inference.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "peltaro/apply/inference.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/transforms.hpp"
#include "score_fixtures.hpp"

namespace {

using peltaro::apply::compute_inference;
using peltaro::apply::inference_from_information;
using peltaro::apply::InferenceResult;
using peltaro::core::SarimaxOrder;
using peltaro::core::Trend;
using peltaro::core::Vec;
using peltaro::score_fixtures::cfg;
using Matrix = Eigen::MatrixXd;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
const SarimaxOrder WHITE_NOISE{};
const SarimaxOrder AR1{.p = 1};
const SarimaxOrder AIRLINE{.p = 0, .d = 1, .q = 1, .P = 0, .D = 1, .Q = 1, .s = 12};

InferenceResult infer(const Vec& y, const peltaro::core::SarimaxConfig& config, const Vec& params,
                      const std::string& method, double alpha = 0.05,
                      const peltaro::core::Columns* exog = nullptr) {
  auto r = compute_inference(y, config, params, method, alpha, exog);
  if (!r) throw std::runtime_error(r.error().display());
  return *r;
}

std::string error_text(const Vec& y, const peltaro::core::SarimaxConfig& config,
                       const Vec& params, const std::string& method) {
  auto r = compute_inference(y, config, params, method, 0.05, nullptr);
  return r ? "no error" : r.error().display();
}

// y_t = c + e_t at its maximum over the observations from `first` on:
// c = their mean, sigma2 = their mean squared deviation.
struct WhiteNoiseMle {
  Vec y;
  double n = 0.0, c = 0.0, sigma2 = 0.0;
  double m3 = 0.0, m4 = 0.0;  // Σ e³, Σ e⁴

  WhiteNoiseMle(double level, unsigned seed, std::size_t first) {
    y = peltaro::score_fixtures::simulate_normal(200, seed, 1.5);
    for (double& v : y) v += level;
    n = static_cast<double>(y.size() - first);
    for (std::size_t t = first; t < y.size(); ++t) c += y[t] / n;
    for (std::size_t t = first; t < y.size(); ++t) {
      const double e = y[t] - c;
      sigma2 += e * e / n;
      m3 += e * e * e;
      m4 += e * e * e * e;
    }
  }
};

// White noise around a constant, from its stationary start (every
// observation in the likelihood) or with its one state diffuse (the first
// observation left out, the others still independent).
struct WhiteNoiseCase {
  const char* name;
  double level;
  bool stationary;
};
constexpr WhiteNoiseCase WHITE_NOISE_CASES[] = {
    {"stationary start", 3.0, true},
    {"level 1e6", 1e6, true},
    {"diffuse start", 3.0, false},
};

// Observed information at the maximum: diag(n/σ², n/(2σ⁴)). A difference
// quotient of the identity map at a level of 1e6 would get the constant's
// standard error wrong in the fourth digit.
TEST(Inference, HessianOfWhiteNoiseMatchesTheClosedForm) {
  for (const WhiteNoiseCase& wc : WHITE_NOISE_CASES) {
    const WhiteNoiseMle m(wc.level, 21, wc.stationary ? 0 : 1);
    const auto config = cfg(WHITE_NOISE, Trend::Constant, 0, false, wc.stationary);
    const InferenceResult r = infer(m.y, config, {m.c, m.sigma2}, "hessian");
    EXPECT_NEAR(r.std_err[0] / std::sqrt(m.sigma2 / m.n), 1.0, 1e-7) << wc.name;
    EXPECT_NEAR(r.std_err[1] / (m.sigma2 * std::sqrt(2.0 / m.n)), 1.0, 1e-7) << wc.name;
    EXPECT_NEAR(r.cov_params[1] / (r.std_err[0] * r.std_err[1]), 0.0, 1e-7) << wc.name;
    EXPECT_EQ(r.status, "ok") << wc.name;
    EXPECT_FALSE(r.message.has_value()) << wc.name;
  }
}

// Σ s·sᵀ over the observations in the likelihood, with
// s = ((y − c)/σ², −1/(2σ²) + (y − c)²/(2σ⁴)); with the diffuse start the sum
// runs over one observation less and is not scaled up to the series length.
TEST(Inference, OpgOfWhiteNoiseIsTheSumOfOuterProducts) {
  for (const WhiteNoiseCase& wc : WHITE_NOISE_CASES) {
    const WhiteNoiseMle m(wc.level, 22, wc.stationary ? 0 : 1);
    const double s2 = m.sigma2;
    Matrix info(2, 2);
    info(0, 0) = m.n / s2;
    info(0, 1) = info(1, 0) = m.m3 / (2.0 * s2 * s2 * s2);
    info(1, 1) = (m.m4 - m.n * s2 * s2) / (4.0 * s2 * s2 * s2 * s2);
    const Matrix V = info.inverse();
    const auto config = cfg(WHITE_NOISE, Trend::Constant, 0, false, wc.stationary);
    const InferenceResult r = infer(m.y, config, {m.c, s2}, "opg");
    for (int i = 0; i < 2; ++i) {
      for (int j = 0; j < 2; ++j) {
        EXPECT_NEAR(r.cov_params[2 * i + j] / V(i, j), 1.0, 1e-6) << wc.name << i << j;
      }
    }
  }
}

TEST(NumericalHessian, StepGrowsWithTheCoordinate) {
  EXPECT_EQ(peltaro::apply::hessian_step(0.0), 1e-4);
  EXPECT_EQ(peltaro::apply::hessian_step(0.5), 1e-4);
  EXPECT_EQ(peltaro::apply::hessian_step(-50.0), 1e-4 * 50.0);
}

// f = x0²·x1 + 3·x1²: its gradient is quadratic, so central differences of it
// give the Hessian up to rounding.
TEST(NumericalHessian, DifferencesTheGradientColumnByColumnAndSymmetrises) {
  const Vec u{2.0, -1.0};
  const Matrix H = peltaro::apply::numerical_hessian(u, [](std::span<const double> x) {
    return std::optional<Vec>(Vec{2.0 * x[0] * x[1], x[0] * x[0] + 6.0 * x[1]});
  });
  EXPECT_NEAR(H(0, 0), 2.0 * u[1], 1e-9);
  EXPECT_NEAR(H(1, 1), 6.0, 1e-9);
  EXPECT_NEAR(H(0, 1), 2.0 * u[0], 1e-9);
  EXPECT_EQ(H(0, 1), H(1, 0));
}

TEST(NumericalHessian, FailedEvaluationMakesItsColumnAndRowNaN) {
  const Vec u{0.5, 1.0, -2.0};
  const Matrix H = peltaro::apply::numerical_hessian(u, [&](std::span<const double> x) {
    if (x[1] > u[1]) return std::optional<Vec>();
    return std::optional<Vec>(Vec{x[0], x[1], x[2]});
  });
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(std::isnan(H(i, 1))) << i;
    EXPECT_TRUE(std::isnan(H(1, i))) << i;
  }
  EXPECT_NEAR(H(0, 0), 1.0, 1e-12);
  EXPECT_NEAR(H(2, 2), 1.0, 1e-12);
  EXPECT_EQ(H(0, 2), 0.0);
}

// --- covariance, statistics and status -----------------------------------

Matrix diag(std::initializer_list<double> d) {
  const Vec v(d);
  Matrix m = Matrix::Zero(static_cast<Eigen::Index>(v.size()), static_cast<Eigen::Index>(v.size()));
  for (std::size_t i = 0; i < v.size(); ++i) m(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(i)) = v[i];
  return m;
}

TEST(InferenceFromInformation, StatusAndMessageRules) {
  const std::string singular = "information matrix is near-singular; standard errors may be "
                               "unreliable. Consider inference='opg'.";
  Matrix duplicated(3, 3);
  duplicated << 2, 1, 1, 1, 2, 2, 1, 2, 2;
  Matrix negative(2, 2);
  negative << -4, 0, 0, 1;
  Matrix with_nan = diag({1, 1});
  with_nan(0, 1) = NaN;
  Matrix with_inf = diag({1, INF});
  struct Case {
    const char* name;
    Matrix info;
    std::size_t k;
    const char* status;
    std::optional<std::string> message;
    std::size_t nan_se;
  } cases[] = {
      {"well conditioned", diag({4, 1, 0.25}), 3, "ok", std::nullopt, 0},
      {"one zero row and column", diag({4, 0, 1}), 3, "partial",
       "1 of 3 parameters have non-finite SE (singular information matrix)", 1},
      {"two equal rows", duplicated, 3, "partial", singular, 0},
      {"negative curvature", negative, 2, "partial",
       "1 of 2 parameters have non-finite SE (singular information matrix)", 1},
      {"all zero", Matrix::Zero(2, 2), 2, "failed",
       "all standard errors are non-finite; information matrix may be singular", 2},
      {"a NaN entry", with_nan, 2, "failed",
       "all standard errors are non-finite; information matrix may be singular", 2},
      {"an infinite entry", with_inf, 2, "failed",
       "all standard errors are non-finite; information matrix may be singular", 2},
  };
  for (const Case& c : cases) {
    const Vec params(c.k, 0.5);
    const InferenceResult r = inference_from_information(c.info, params, "opg", 0.05);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.message, c.message) << c.name;
    EXPECT_EQ(r.n_params, c.k) << c.name;
    EXPECT_EQ(r.method, "opg") << c.name;
    std::size_t nan_se = 0;
    for (std::size_t i = 0; i < c.k; ++i) {
      if (!std::isnan(r.std_err[i])) continue;
      ++nan_se;
      EXPECT_TRUE(std::isnan(r.z_stat[i]) && std::isnan(r.p_value[i]) &&
                  std::isnan(r.ci_lower[i]) && std::isnan(r.ci_upper[i]))
          << c.name << " " << i;
    }
    EXPECT_EQ(nan_se, c.nan_se) << c.name;
  }
}

// V = I⁻¹ row by row, se = √V_ii, z = θ/se, p = 2(1 − Φ(|z|)), θ ± q·se.
TEST(InferenceFromInformation, StatisticsFromTheCovariance) {
  Matrix info(2, 2);
  info << 4.0, 1.0, 3.0, 2.0;  // not symmetric: the layout is visible
  const Matrix V = info.inverse();
  const Vec params{0.0, 1.0};
  struct Case {
    double alpha, q;
  } cases[] = {{0.05, 1.959964}, {0.10, 1.644854}};
  for (const Case& c : cases) {
    const InferenceResult r = inference_from_information(info, params, "hessian", c.alpha);
    ASSERT_EQ(r.cov_params.size(), 4u);
    EXPECT_DOUBLE_EQ(r.cov_params[1], V(0, 1));
    EXPECT_DOUBLE_EQ(r.cov_params[2], V(1, 0));
    for (std::size_t i = 0; i < 2; ++i) {
      const double se = std::sqrt(V(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(i)));
      EXPECT_DOUBLE_EQ(r.std_err[i], se);
      EXPECT_NEAR((r.ci_upper[i] - params[i]) / se, c.q, 5e-7);
      EXPECT_NEAR((params[i] - r.ci_lower[i]) / se, c.q, 5e-7);
    }
    EXPECT_EQ(r.z_stat[0], 0.0);
    EXPECT_EQ(r.p_value[0], 1.0);
    const double z = params[1] / r.std_err[1];
    EXPECT_DOUBLE_EQ(r.z_stat[1], z);
    EXPECT_NEAR(r.p_value[1], std::erfc(z / std::sqrt(2.0)), 1e-15);
  }
}

// --- compute_inference ----------------------------------------------------

TEST(Inference, NoParametersAnswersAtOnceWhateverTheMethod) {
  auto config = cfg(WHITE_NOISE, Trend::None, 0, /*concentrate=*/true);
  const InferenceResult r = infer(Vec{1.0, 2.0, 3.0}, config, {}, "anything");
  EXPECT_EQ(r.method, "anything");
  EXPECT_EQ(r.status, "ok");
  EXPECT_FALSE(r.message.has_value());
  EXPECT_EQ(r.n_params, 0u);
  EXPECT_TRUE(r.cov_params.empty() && r.std_err.empty() && r.ci_upper.empty());
}

TEST(Inference, ErrorTexts) {
  const Vec y = peltaro::score_fixtures::simulate_normal(60, 5);
  const Vec air =
      peltaro::score_fixtures::log_of(peltaro::score_fixtures::load_csv_column("airpassengers.csv", 1));
  const Vec air13(air.begin(), air.begin() + 13);
  SarimaxOrder d2{.D = 2, .s = 2};
  const std::string variance = "data error: variance sigma2 must be positive, got ";
  struct Case {
    const char* name;
    Vec y;
    peltaro::core::SarimaxConfig config;
    Vec params;
    const char* method;
    std::string text;
  } cases[] = {
      {"capitals", y, cfg(AR1), {0.5, 1.0}, "HESSIAN",
       "invalid input: unknown inference method 'HESSIAN', expected 'hessian' or 'opg'"},
      {"empty method", y, cfg(AR1), {0.5, 1.0}, "",
       "invalid input: unknown inference method '', expected 'hessian' or 'opg'"},
      {"length, hessian", y, cfg(AR1), {0.5}, "hessian",
       "parameter length mismatch: expected 2, got 1"},
      {"length, opg", y, cfg(AR1), {0.5}, "opg", "parameter length mismatch: expected 2, got 1"},
      {"D = 2", y, cfg(d2), {1.0}, "hessian",
       "state space construction failed: Seasonal differencing D > 1 is not yet supported"},
      {"D = 2, opg", y, cfg(d2), {1.0}, "opg",
       "state space construction failed: Seasonal differencing D > 1 is not yet supported"},
      {"n = d + sD, opg", air13, cfg(AIRLINE), {-0.4, -0.6, 0.001}, "opg",
       "data error: Not enough observations: n=13 <= burn=13"},
      {"n = d + sD, hessian", air13, cfg(AIRLINE), {-0.4, -0.6, 0.001}, "hessian",
       "data error: Not enough observations: n=13 <= burn=13"},
      {"unit root under enforced stationarity", y, cfg(AR1), {1.0, 1.0}, "hessian",
       "data error: transform Jacobian is singular; cannot map the Hessian to constrained space"},
      {"NaN AR coefficient", y, cfg(AR1), {NaN, 1.0}, "hessian",
       "data error: non-finite Kalman statistics encountered (possible NaN/Inf in inputs)"},
      {"negative variance, hessian", y, cfg(AR1), {0.5, -1.0}, "hessian", variance + "-1"},
      {"negative variance, opg", y, cfg(AR1), {0.5, -1.0}, "opg", variance + "-1"},
      {"zero variance, opg", y, cfg(AR1), {0.5, 0.0}, "opg", variance + "0"},
      {"NaN variance, hessian", y, cfg(AR1), {0.5, NaN}, "hessian", variance + "NaN"},
      {"NaN variance, opg", y, cfg(AR1), {0.5, NaN}, "opg", variance + "NaN"},
      {"infinite variance, hessian", y, cfg(AR1), {0.5, INF}, "hessian", variance + "inf"},
      {"infinite variance, opg", y, cfg(AR1), {0.5, INF}, "opg", variance + "inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_text(c.y, c.config, c.params, c.method), c.text) << c.name;
}

// A regressor that is zero throughout carries no information: its row and
// column of the information matrix vanish under both estimates.
TEST(Inference, UninformativeRegressorGivesPartialStatus) {
  const Vec y = peltaro::score_fixtures::simulate_arma(150, {0.4}, {}, 9, 2.0);
  const peltaro::core::Columns zero{Vec(y.size(), 0.0)};
  const auto config = cfg(AR1, Trend::Constant, 1);
  for (const char* method : {"hessian", "opg"}) {
    const InferenceResult r = infer(y, config, {1.2, 0.0, 0.4, 1.0}, method, 0.05, &zero);
    EXPECT_EQ(r.status, "partial") << method;
    EXPECT_EQ(r.message, "1 of 4 parameters have non-finite SE (singular information matrix)")
        << method;
    EXPECT_TRUE(std::isnan(r.std_err[1])) << method;
    EXPECT_TRUE(std::isfinite(r.std_err[0]) && std::isfinite(r.std_err[2])) << method;
  }
}

TEST(EvalLoglikeAtUnconstrained, IsTheLogLikelihoodOfTheConstrainedPoint) {
  const Vec y = peltaro::score_fixtures::simulate_arma(100, {0.6}, {}, 4);
  const auto config = cfg(AR1);
  const Vec u{0.3, -0.2};
  auto theta = peltaro::core::transform_params_inner(u, config, true);
  ASSERT_TRUE(theta.has_value());
  auto ll = peltaro::apply::eval_loglike_at_unconstrained(u, config, y, nullptr);
  ASSERT_TRUE(ll.has_value());
  EXPECT_EQ(*ll, peltaro::score_fixtures::loglike(config, *theta, y, nullptr));
  auto wrong = peltaro::apply::eval_loglike_at_unconstrained(Vec{0.3}, config, y, nullptr);
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().display(), "parameter length mismatch: expected 2, got 1");
}

}  // namespace
