// Parameter inference: the two information estimates against closed forms,
// the numerical Hessian's difference rule, and the status rules; the error
// texts are checked through sarimax_inference (tests/python/test_inference.py).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "peltaro/apply/inference.hpp"
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

InferenceResult infer(const Vec& y, const peltaro::core::SarimaxConfig& config, const Vec& params,
                      const std::string& method) {
  auto r = compute_inference(y, config, params, method, 0.05, nullptr);
  if (!r) throw std::runtime_error(r.error().display());
  return *r;
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

// Hessian: the observed information at the maximum, diag(n/σ², n/(2σ⁴)). A
// difference quotient of the identity map at a level of 1e6 would get the
// constant's standard error wrong in the fourth digit.
// OPG: Σ s·sᵀ over the observations in the likelihood, with
// s = ((y − c)/σ², −1/(2σ²) + (y − c)²/(2σ⁴)); with the diffuse start the sum
// runs over one observation less and is not scaled up to the series length.
TEST(Inference, WhiteNoiseMatchesTheClosedForms) {
  for (const WhiteNoiseCase& wc : WHITE_NOISE_CASES) {
    const WhiteNoiseMle m(wc.level, 21, wc.stationary ? 0 : 1);
    const double s2 = m.sigma2;
    const auto config = cfg(WHITE_NOISE, Trend::Constant, 0, false, wc.stationary);
    const InferenceResult h = infer(m.y, config, {m.c, s2}, "hessian");
    EXPECT_NEAR(h.std_err[0] / std::sqrt(s2 / m.n), 1.0, 1e-7) << wc.name;
    EXPECT_NEAR(h.std_err[1] / (s2 * std::sqrt(2.0 / m.n)), 1.0, 1e-7) << wc.name;
    EXPECT_NEAR(h.cov_params[1] / (h.std_err[0] * h.std_err[1]), 0.0, 1e-7) << wc.name;
    EXPECT_EQ(h.status, "ok") << wc.name;
    EXPECT_FALSE(h.message.has_value()) << wc.name;

    Matrix info(2, 2);
    info(0, 0) = m.n / s2;
    info(0, 1) = info(1, 0) = m.m3 / (2.0 * s2 * s2 * s2);
    info(1, 1) = (m.m4 - m.n * s2 * s2) / (4.0 * s2 * s2 * s2 * s2);
    const Matrix V = info.inverse();
    const InferenceResult opg = infer(m.y, config, {m.c, s2}, "opg");
    for (int i = 0; i < 4; ++i)
      EXPECT_NEAR(opg.cov_params[i] / V(i / 2, i % 2), 1.0, 1e-6) << wc.name << " " << i;
  }
}

// f = x0²·x1 + 3·x1²: its gradient is quadratic, so central differences of it
// give the Hessian up to rounding. A failed evaluation makes its column and
// row NaN and leaves the others alone.
TEST(NumericalHessian, DifferencesTheGradientColumnByColumnAndSymmetrises) {
  const Vec u{2.0, -1.0};
  const Matrix H = peltaro::apply::numerical_hessian(u, [](std::span<const double> x) {
    return std::optional<Vec>(Vec{2.0 * x[0] * x[1], x[0] * x[0] + 6.0 * x[1]});
  });
  EXPECT_NEAR(H(0, 0), 2.0 * u[1], 1e-9);
  EXPECT_NEAR(H(1, 1), 6.0, 1e-9);
  EXPECT_NEAR(H(0, 1), 2.0 * u[0], 1e-9);
  EXPECT_EQ(H(0, 1), H(1, 0));

  const Vec v{0.5, 1.0, -2.0};
  const Matrix G = peltaro::apply::numerical_hessian(v, [&](std::span<const double> x) {
    if (x[1] > v[1]) return std::optional<Vec>();
    return std::optional<Vec>(Vec{x[0], x[1], x[2]});
  });
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(G(i, 1)) && std::isnan(G(1, i))) << i;
  EXPECT_NEAR(G(0, 0), 1.0, 1e-12);
  EXPECT_NEAR(G(2, 2), 1.0, 1e-12);
  EXPECT_EQ(G(0, 2), 0.0);
}

// --- status and message ----------------------------------------------------
// (the singular estimates of real models are checked through sarimax_inference)

Matrix diag(Eigen::VectorXd d) { return d.asDiagonal(); }

TEST(InferenceFromInformation, StatusAndMessageRules) {
  Matrix with_nan = Matrix::Identity(2, 2);
  with_nan(0, 1) = NaN;
  const Matrix with_inf = diag(Eigen::Vector2d(1, INF));
  struct Case {
    const char* name;
    Matrix info;
    std::size_t k;
    const char* status;
    std::optional<std::string> message;
    std::size_t nan_se;
  } cases[] = {
      {"well conditioned", diag(Eigen::Vector3d(4, 1, 0.25)), 3, "ok", std::nullopt, 0},
      {"negative curvature", diag(Eigen::Vector2d(-4, 1)), 2, "partial",
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
    EXPECT_TRUE(r.n_params == c.k && r.method == "opg") << c.name;
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

}  // namespace
