#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/cancellation.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "score_fixtures.hpp"

using namespace peltaro;
using core::SarimaxConfig;
using core::Trend;
using core::Vec;
using estimation::RootList;
namespace fx = peltaro::score_fixtures;
using fx::cfg;

namespace {

constexpr double NEG_INF = -std::numeric_limits<double>::infinity();

struct RootCase {
  Vec c;
  RootList roots;
};

std::vector<RootCase> reference_roots() {
  std::ifstream in(std::string(PELTARO_TEST_DATA_DIR) + "/polynomial_roots_reference.csv");
  std::vector<RootCase> out;
  std::string line;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::string cell;
    std::vector<double> v;
    while (std::getline(ss, cell, ',')) v.push_back(std::stod(cell));
    const auto n = static_cast<std::size_t>(v[0]);
    RootCase rc;
    rc.c.assign(v.begin() + 1, v.begin() + 1 + static_cast<std::ptrdiff_t>(n));
    for (std::size_t i = 0; i < n; ++i) rc.roots.emplace_back(v[1 + n + 2 * i], v[2 + n + 2 * i]);
    out.push_back(rc);
  }
  return out;
}

TEST(PolynomialRoots, AgreeWithAnIndependentRootFinder) {
  const auto cases = reference_roots();
  ASSERT_EQ(cases.size(), 60u);
  for (const RootCase& rc : cases) {
    RootList ours = estimation::polynomial_roots(rc.c);
    ASSERT_EQ(ours.size(), rc.roots.size()) << "degree " << rc.c.size();
    for (std::size_t i = 0; i + 1 < ours.size(); ++i) {
      if (ours[i].second != 0.0 && ours[i].second == -ours[i + 1].second) {
        EXPECT_GT(ours[i].second, 0.0) << "the root with the positive imaginary part comes first";
        ++i;
      }
    }
    // Match each reference root to the nearest root not yet taken.
    for (const auto& [re, im] : rc.roots) {
      std::size_t best = ours.size();
      double best_dist = std::numeric_limits<double>::infinity();
      for (std::size_t j = 0; j < ours.size(); ++j) {
        const double d = std::hypot(ours[j].first - re, ours[j].second - im);
        if (d < best_dist) best_dist = d, best = j;
      }
      ASSERT_LT(best, ours.size());
      EXPECT_LE(best_dist, 1e-10 * std::fmax(1.0, std::hypot(re, im))) << "degree " << rc.c.size();
      ours.erase(ours.begin() + static_cast<std::ptrdiff_t>(best));
    }
  }
}

TEST(PolynomialRoots, SmallCases) {
  EXPECT_TRUE(estimation::polynomial_roots(Vec{}).empty());
  EXPECT_EQ(estimation::polynomial_roots(Vec{0.7}), (RootList{{0.7, 0.0}}));
  const RootList pair = estimation::polynomial_roots(Vec{1.0, -0.5});
  ASSERT_EQ(pair.size(), 2u);
  EXPECT_NEAR(pair[0].first, 0.5, 1e-14);
  EXPECT_NEAR(pair[0].second, 0.5, 1e-14);
  EXPECT_NEAR(pair[1].first, 0.5, 1e-14);
  EXPECT_NEAR(pair[1].second, -0.5, 1e-14);
  EXPECT_TRUE(estimation::polynomial_roots(Vec{std::nan(""), 1.0}).empty());
}

core::SarimaxParams arma(Vec ar, Vec ma) {
  core::SarimaxParams p;
  p.ar = std::move(ar);
  p.ma = std::move(ma);
  return p;
}

TEST(NearCancellation, DistanceMustExceedTheTolerance) {
  struct Case {
    Vec ar, ma;
    std::size_t p, q;
    double tol;
    bool clear;
  };
  const Case cases[] = {
      {{0.5}, {-0.5}, 1, 1, 0.05, false},       // both inverted roots at 0.5
      {{0.5}, {0.5}, 1, 1, 0.05, true},         // MA root at −0.5: distance 1
      {{0.75}, {-0.5}, 1, 1, 0.25, false},      // distance exactly the tolerance
      {{0.75}, {-0.5}, 1, 1, 0.2499, true},
      {{0.5}, {-0.5}, 0, 1, 0.05, true},        // p = 0: never tested
      {{0.5}, {-0.5}, 1, 0, 0.05, true},        // q = 0
      {{1.0, -0.5}, {-1.0, 0.5}, 2, 2, 0.05, false},  // shared complex pair
  };
  for (const Case& c : cases) {
    EXPECT_EQ(estimation::validate_no_near_cancellation(arma(c.ar, c.ma), c.p, c.q, c.tol), c.clear)
        << c.ar[0] << " " << c.ma[0] << " tol " << c.tol;
  }
}

TEST(NearCancellation, WrappersOnUnconstrainedPoints) {
  const SarimaxConfig c11 = cfg({1, 0, 1, 0, 0, 0, 0});
  const Vec cancel = *core::transform_params_inner(Vec{0.5, -0.495, 1.0}, c11, false);  // 0.005 apart
  const Vec clear = *core::transform_params_inner(Vec{0.5, 0.3, 1.0}, c11, false);
  const Vec close = *core::transform_params_inner(Vec{0.5, -0.47, 1.0}, c11, false);  // 0.03 apart
  EXPECT_TRUE(estimation::on_cancellation_ridge(cancel, c11));
  EXPECT_FALSE(estimation::passes_cancellation_filter(cancel, c11));
  EXPECT_FALSE(estimation::on_cancellation_ridge(clear, c11));
  EXPECT_TRUE(estimation::passes_cancellation_filter(clear, c11));
  EXPECT_TRUE(estimation::on_cancellation_ridge(close, c11));
  EXPECT_TRUE(estimation::passes_cancellation_filter(close, c11));
  // A point that cannot be mapped is neither on the ridge nor clear of it.
  EXPECT_FALSE(estimation::on_cancellation_ridge(Vec{0.1}, c11));
  EXPECT_FALSE(estimation::passes_cancellation_filter(Vec{0.1}, c11));
  // Without both AR and MA terms there is nothing to cancel.
  const SarimaxConfig seasonal_only = cfg({1, 0, 0, 0, 0, 1, 4});
  EXPECT_FALSE(estimation::on_cancellation_ridge(Vec{0.1, 0.1, 0.0}, seasonal_only));
  EXPECT_TRUE(estimation::passes_cancellation_filter(Vec{0.1}, seasonal_only));
}

TEST(FitResult, RecordAtTheOptimum) {
  const Vec y = fx::simulate_arma(150, {0.5}, {-0.5}, 71, 2.0);
  for (const bool concentrate : {false, true}) {
    const SarimaxConfig c = cfg({1, 0, 1, 0, 0, 0, 0}, Trend::Constant, 0, concentrate);
    const Vec params = concentrate ? Vec{2.0, 0.5, -0.5} : Vec{2.0, 0.5, -0.5, 1.2};
    const Vec x = *core::transform_params_inner(params, c, false);
    auto r = estimation::build_fit_result(y, c, x, 17, true, "label", nullptr);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    const double ll = core::kalman_eval(y, *core::SarimaxParams::from_flat(r->params, c), c, nullptr)->loglike;
    EXPECT_EQ(r->params.size(), params.size());
    EXPECT_EQ(r->n_params, 4u) << "the variance counts even when concentrated";
    EXPECT_EQ(r->loglike, ll);
    EXPECT_EQ(r->aic, -2.0 * ll + 8.0);
    EXPECT_EQ(r->bic, -2.0 * ll + 4.0 * std::log(150.0));
    EXPECT_EQ(r->n_obs, 150u);
    EXPECT_EQ(r->n_iter, 17u);
    EXPECT_TRUE(r->converged);
    EXPECT_EQ(r->method, "label");
    EXPECT_EQ(r->warnings, std::vector<std::string>{
                               "near-cancellation detected in fitted ARMA(1,1) parameters (min "
                               "inverted-root distance < 0.05). Model may be non-identifiable."});
  }
}

TEST(FitResult, BicUsesTheWholePreparedSeries) {
  const Vec y = fx::simulate_arma(100, {}, {0.4}, 72);
  const SarimaxConfig c = cfg({0, 1, 1, 0, 1, 1, 4});
  auto r = estimation::build_zero_iter_result(y, c, Vec{0.3, 0.2, 1.0}, nullptr, "nm");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->n_obs, 100u);
  EXPECT_EQ(r->bic, -2.0 * r->loglike + 3.0 * std::log(100.0));
  EXPECT_EQ(r->method, "nm");
  EXPECT_FALSE(r->converged);
  EXPECT_TRUE(r->warnings.empty());
}

TEST(FitResult, ZeroIterationRecordWithoutParametersIsConverged) {
  const Vec y = fx::simulate_normal(30, 73);
  auto r = estimation::build_zero_iter_result(y, cfg({0, 0, 0, 0, 0, 0, 0}, Trend::None, 0, true),
                                              Vec{}, nullptr, "lbfgsb");
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->converged);
  EXPECT_TRUE(r->params.empty());
  EXPECT_EQ(r->n_params, 1u);
}

TEST(FitResult, ErrorsOfTheServicesPassThrough) {
  const Vec y = fx::simulate_normal(30, 74);
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(estimation::build_zero_iter_result(y, c, Vec{0.1}, nullptr, "nm").error().display(),
            "parameter length mismatch: expected 2, got 1");
  EXPECT_EQ(estimation::build_zero_iter_result(y, c, Vec{0.1, -1.0}, nullptr, "nm").error().display(),
            "data error: variance sigma2 must be positive, got -1");
  EXPECT_EQ(estimation::build_fit_result(Vec{1.0}, cfg({0, 1, 0, 0, 0, 0, 0}), Vec{0.0}, 0, true, "x",
                                         nullptr).error().display(),
            "data error: Not enough observations: n=1 <= burn=1");
}

TEST(FitResult, VarianceOrScaleThatIsNotPositiveFailsTheFit) {
  // ln sigma2 = -800 maps to 0; a series of zeros concentrates to scale 0.
  const Vec y = fx::simulate_arma(60, {0.4}, {}, 76);
  const Vec zeros(60, 0.0);
  const SarimaxConfig ar1 = cfg({1, 0, 0, 0, 0, 0, 0});
  const SarimaxConfig ar1_concentrated = cfg({1, 0, 0, 0, 0, 0, 0}, Trend::None, 0, true);
  const std::string refused = "optimization failed: variance sigma2 must be positive, got 0";
  EXPECT_EQ(estimation::build_fit_result(y, ar1, Vec{0.3, -800.0}, 5, true, "nelder-mead", nullptr)
                .error().display(),
            refused);
  EXPECT_EQ(estimation::build_fit_result(zeros, ar1_concentrated, Vec{0.3}, 5, true, "lbfgsb",
                                         nullptr).error().display(),
            refused);
  EXPECT_EQ(estimation::build_zero_iter_result(zeros, ar1_concentrated, Vec{0.3}, nullptr, "nm")
                .error().display(),
            refused);
  // Just above the underflow the record stands.
  EXPECT_TRUE(estimation::build_fit_result(y, ar1, Vec{0.3, -700.0}, 5, true, "nm", nullptr));
}

TEST(FitResult, GivenWarningsComeBeforeTheRecordsOwn) {
  const Vec y = fx::simulate_arma(150, {0.5}, {-0.5}, 71, 2.0);
  const SarimaxConfig c = cfg({1, 0, 1, 0, 0, 0, 0});
  const Vec x = *core::transform_params_inner(Vec{0.5, -0.5, 1.2}, c, false);
  auto r = estimation::build_fit_result(y, c, x, 3, true, "lbfgsb", nullptr, {"first"});
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->warnings.size(), 2u);
  EXPECT_EQ(r->warnings[0], "first");
  EXPECT_TRUE(r->warnings[1].starts_with("near-cancellation detected"));
}

TEST(FitResult, LoglikeAtModelParametersNeverFails) {
  const Vec y = fx::simulate_arma(60, {0.4}, {}, 75);
  const SarimaxConfig c = cfg({1, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(estimation::eval_kf_loglike_constrained(y, c, Vec{0.4, 1.0}, nullptr),
            core::kalman_eval(y, *core::SarimaxParams::from_flat(Vec{0.4, 1.0}, c), c, nullptr)->loglike);
  EXPECT_EQ(estimation::eval_kf_loglike_constrained(y, c, Vec{0.4}, nullptr), NEG_INF);
  EXPECT_EQ(estimation::eval_kf_loglike_constrained(Vec{1.0}, cfg({0, 1, 0, 0, 0, 0, 0}), Vec{1.0}, nullptr),
            NEG_INF);
  EXPECT_EQ(estimation::eval_kf_loglike_constrained(y, c, Vec{0.4, 0.0}, nullptr), NEG_INF);
}

}  // namespace
