// The filter system's state prediction against the entry-by-entry product,
// bit for bit: runs of single-entry rows, rows with several entries (AR and
// differencing), rows without entries, weights other than 1, signed zeros
// and NaN in the state, and the trend's intercept; and the product with T'.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::core {
namespace {

TEST(FilterSystem, StatePredictionIsTheEntryByEntryProductBitForBit) {
  const SarimaxOrder orders[] = {{0, 1, 1, 0, 1, 1, 12}, {2, 1, 2, 1, 1, 1, 12}, {2, 2, 1, 0, 1, 0, 12},
                                 {3, 0, 0, 2, 0, 0, 4},  {0, 0, 3, 0, 0, 2, 4},  {1, 0, 0, 0, 0, 0, 0},
                                 {5, 0, 3, 0, 0, 0, 0},  {4, 1, 0, 1, 0, 0, 12}};
  std::mt19937_64 rng(17);
  std::normal_distribution<double> N;
  for (const SarimaxOrder& o : orders) {
    for (const bool trend : {false, true}) {
      SarimaxConfig config;
      config.order = o;
      if (trend) config.trend = Trend::Constant;
      SarimaxParams p;
      if (trend) p.trend = {0.3};
      p.ar.assign(o.p, -0.3);
      p.ma.assign(o.q, 0.4);
      p.seasonal_ar.assign(o.P, 0.2);
      p.seasonal_ma.assign(o.Q, -0.5);
      p.sigma2 = 1.0;
      const Vec y(30, 0.0);
      const StateSpace ss = *StateSpace::create(config, p, y, nullptr);
      const FilterSystem sys(ss);
      const auto m = static_cast<Eigen::Index>(ss.k_states);
      Eigen::VectorXd a(m), expected(m), got(m);
      for (Eigen::Index i = 0; i < m; ++i) {
        a[i] = i % 5 == 1 ? -0.0 : i % 7 == 3 ? std::numeric_limits<double>::quiet_NaN() : N(rng);
      }
      const std::string name = std::to_string(o.p) + std::to_string(o.d) + std::to_string(o.q) +
                               std::to_string(o.P) + std::to_string(o.D) + std::to_string(o.Q) +
                               (trend ? " trend" : "");
      for (const std::size_t t : {0u, 7u}) {
        // Each row summed from +0.0 in the order of its entries.
        expected.setZero();
        for (const auto& e : sys.sparse_t.entries) {
          expected[static_cast<Eigen::Index>(e.row)] += e.value * a[static_cast<Eigen::Index>(e.col)];
        }
        if (!ss.state_intercept.empty()) expected[static_cast<Eigen::Index>(ss.k_diff)] += ss.state_intercept[t];
        got.setConstant(5.0);
        sys.predict_state(a, got, ss.state_intercept, t, ss.k_diff);
        EXPECT_EQ(std::memcmp(got.data(), expected.data(), sizeof(double) * m), 0) << name;
      }
      // T'·a over the rows of the transpose, against the sums down T's
      // columns entry by entry.
      SparseT tt;
      tt.assign_transpose(sys.sparse_t);
      RowRuns transposed;
      transposed.assign(tt);
      expected.setZero();
      for (const auto& e : sys.sparse_t.entries) {
        expected[static_cast<Eigen::Index>(e.col)] += e.value * a[static_cast<Eigen::Index>(e.row)];
      }
      got.setConstant(5.0);
      transposed.times(tt.entries, a.data(), got.data());
      EXPECT_EQ(std::memcmp(got.data(), expected.data(), sizeof(double) * m), 0) << name << " T'";
    }
  }
}

// Every pass refuses a system and an initial state that do not fit, with
// one message for each kind of mismatch.
TEST(FilterSystem, SizeMismatchesAreNamedOnce) {
  SarimaxConfig config;
  config.order = {2, 0, 1, 0, 0, 0, 0};
  SarimaxParams p;
  p.ar = {0.3, 0.1};
  p.ma = {0.2};
  p.sigma2 = 1.0;
  const StateSpace ss = *StateSpace::create(config, p, Vec(20, 0.0), nullptr);
  const KalmanInit init = KalmanInit::from_config_default(ss, config);
  EXPECT_EQ(size_mismatch(ss, init), std::nullopt);
  struct Case {
    void (*spoil)(StateSpace&, KalmanInit&);
    const char* message;
  };
  const Case cases[] = {
      {[](StateSpace& s, KalmanInit&) { s.design = Eigen::VectorXd::Ones(3); },
       "state space matrices do not match its 2 states"},
      {[](StateSpace& s, KalmanInit&) { s.selection = Eigen::MatrixXd::Ones(2, 2); },
       "state space matrices do not match its 2 states"},
      {[](StateSpace& s, KalmanInit&) { s.state_cov = Eigen::MatrixXd::Ones(2, 2); },
       "state space matrices do not match its 2 states"},
      {[](StateSpace&, KalmanInit& i) { i.a0 = Eigen::VectorXd::Zero(3); },
       "initial state has 3 states but the state space has 2"},
      {[](StateSpace&, KalmanInit& i) { i.stationary_block = std::pair<std::size_t, std::size_t>{1, 2}; },
       "stationary block at 1 of size 2 lies outside the 2 states"},
  };
  for (const Case& c : cases) {
    StateSpace bad = ss;
    KalmanInit bad_init = init;
    c.spoil(bad, bad_init);
    EXPECT_EQ(size_mismatch(bad, bad_init), std::optional<std::string>(c.message));
    try {
      require_consistent_sizes(bad, bad_init, "pass");
      ADD_FAILURE() << c.message;
    } catch (const std::logic_error& e) {
      EXPECT_EQ(std::string(e.what()), std::string("pass: ") + c.message);
    }
  }
}

}  // namespace
}  // namespace peltaro::core
