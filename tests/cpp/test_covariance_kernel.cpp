// The covariance kernel against the plain products: the reference order bit
// for bit against the update followed by `predict_cov`, the folded order
// against T·(P − g·g'·f)·T' + RQR formed densely.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "peltaro/core/kalman/covariance_kernel.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"

namespace peltaro::core {
namespace {

struct System {
  std::string name;
  Eigen::MatrixXd T;
  Eigen::MatrixXd rqr;
  Eigen::VectorXd z;
};

// The transition of a SARIMAX model with every coefficient set to `c`.
System sarimax(const char* name, SarimaxOrder o, double c, bool simple_differencing = false) {
  SarimaxConfig config;
  config.order = o;
  config.simple_differencing = simple_differencing;
  SarimaxParams p;
  p.ar.assign(o.p, c);
  p.ma.assign(o.q, c);
  p.seasonal_ar.assign(o.P, c);
  p.seasonal_ma.assign(o.Q, c);
  p.sigma2 = 1.7;
  const Vec y(4, 0.0);
  const StateSpace ss = *StateSpace::create(config, p, y, nullptr);
  return {name, ss.transition, (ss.selection * ss.state_cov) * ss.selection.transpose(), ss.design};
}

std::vector<System> systems() {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> N;
  System dense{"dense 5x5", Eigen::MatrixXd(5, 5), Eigen::MatrixXd(5, 5), Eigen::VectorXd::Ones(5)};
  for (int i = 0; i < 25; ++i) dense.T.data()[i] = 0.3 * N(rng);
  Eigen::VectorXd r(5);
  for (int i = 0; i < 5; ++i) r[i] = N(rng);
  dense.rqr = r * r.transpose();
  System zero{"zero 3x3", Eigen::MatrixXd::Zero(3, 3), 2.0 * Eigen::MatrixXd::Identity(3, 3),
              Eigen::VectorXd::Ones(3)};
  return {sarimax("airline", {0, 1, 1, 0, 1, 1, 12}, -0.4),
          sarimax("(2,1,2)(1,1,1,12)", {2, 1, 2, 1, 1, 1, 12}, 0.3),
          sarimax("(2,2,1)(0,1,0,12)", {2, 2, 1, 0, 1, 0, 12}, 0.2),
          sarimax("(3,0,0)(2,0,0,4)", {3, 0, 0, 2, 0, 0, 4}, -0.2),
          sarimax("(0,0,3)(0,0,2,4)", {0, 0, 3, 0, 0, 2, 4}, 0.5),
          sarimax("AR(1)", {1, 0, 0, 0, 0, 0, 0}, 0.6),
          sarimax("ARIMA(1,1,1)", {1, 1, 1, 0, 0, 0, 0}, 0.5),
          sarimax("ARIMA(1,1,1) at 0", {1, 1, 1, 0, 0, 0, 0}, 0.0),
          sarimax("airline s=4, simple differencing", {0, 1, 1, 0, 1, 1, 4}, 0.3, true),
          sarimax("ARMA(5,3)", {5, 0, 3, 0, 0, 0, 0}, 0.1),
          // An AR column in two blocks of consecutive rows.
          sarimax("(4,1,0)(1,0,0,12)", {4, 1, 0, 1, 0, 0, 12}, 0.1),
          // AR columns of a few rows among many, which the folded products
          // take as a rank-two term beside a T of shifts: in column 13, and
          // in column 0 from the first row on.
          sarimax("(2,1,2)(2,1,2,12)", {2, 1, 2, 2, 1, 2, 12}, 0.2),
          sarimax("(1,0,0)(2,0,0,12)", {1, 0, 0, 2, 0, 0, 12}, 0.3),
          dense,                                  zero};
}

// A symmetric P with a diffuse-sized leading block, as the first steps see it.
Eigen::MatrixXd covariance(Eigen::Index m, unsigned seed, double diffuse) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> N;
  Eigen::MatrixXd A(m, m);
  for (Eigen::Index i = 0; i < m * m; ++i) A.data()[i] = N(rng);
  Eigen::MatrixXd P = A * A.transpose();
  for (Eigen::Index i = 0; i < m / 3; ++i) P(i, i) += diffuse;
  return 0.5 * (P + P.transpose());
}

// In every instruction set the dense sweeps offer: the expected values are
// the baseline's.
TEST(CovarianceKernel, ReferenceOrderIsTheUpdateThenPredictCovBitForBit) {
  for (const bool baseline : {true, false}) {
    for (const System& s : systems()) {
      const auto m = s.T.rows();
      const SparseT st = SparseT::from_dense(s.T, static_cast<std::size_t>(m));
      const CovarianceKernel kernel(st, s.rqr);
      CovarianceWorkspace ws(m);
      for (const bool update : {true, false}) {
        const Eigen::MatrixXd P0 = covariance(m, 11, 1e6);
        const Eigen::VectorXd g = P0 * s.z;
        const double f = 1.0 / s.z.dot(g);
        Eigen::MatrixXd expected = P0;
        if (update) {
          for (Eigen::Index j = 0; j < m; ++j) expected.col(j) += (g[j] * (-f)) * g;
        }
        Eigen::MatrixXd W(m, m);
        use_baseline_sweeps(true);
        predict_cov(KalmanStrategy::Sparse, s.T, s.T.transpose(), st, expected, s.rqr, W);
        use_baseline_sweeps(baseline);
        Eigen::MatrixXd got = P0;
        kernel.predict_in_reference_order(got, update ? &g : nullptr, f, ws);
        use_baseline_sweeps(false);
        EXPECT_TRUE(got.cwiseEqual(expected).all())
            << s.name << (update ? " updated" : "") << (baseline ? ", baseline" : ", widest");
      }
    }
  }
}

TEST(CovarianceKernel, FoldedPredictionMatchesTheDenseProductAndIsSymmetric) {
  for (const System& s : systems()) {
    const auto m = s.T.rows();
    const CovarianceKernel kernel(SparseT::from_dense(s.T, static_cast<std::size_t>(m)), s.rqr);
    CovarianceWorkspace ws(m);
    for (const bool update : {true, false}) {
      const Eigen::MatrixXd P0 = covariance(m, 3, 10.0);
      const Eigen::VectorXd g = P0 * s.z;
      const double f = 1.0 / s.z.dot(g);
      const Eigen::MatrixXd updated = update ? Eigen::MatrixXd(P0 - g * g.transpose() * f) : P0;
      const Eigen::MatrixXd expected = s.T * updated * s.T.transpose() + s.rqr;
      Eigen::MatrixXd got = P0;
      kernel.predict(got, update ? &g : nullptr, f, ws);
      EXPECT_LE((got - expected).norm(), 1e-13 * expected.norm()) << s.name;
      EXPECT_TRUE(got.cwiseEqual(got.transpose()).all()) << s.name;
    }
  }
}

TEST(CovarianceKernel, OutOfPlaceFormsEqualTheInPlaceOnesBitForBit) {
  for (const System& s : systems()) {
    const auto m = s.T.rows();
    const CovarianceKernel kernel(SparseT::from_dense(s.T, static_cast<std::size_t>(m)), s.rqr);
    CovarianceWorkspace ws(m);
    for (const bool update : {true, false}) {
      const Eigen::MatrixXd P0 = covariance(m, 21, 1e6);
      const Eigen::VectorXd g = P0 * s.z;
      const double f = 1.0 / s.z.dot(g);
      const Eigen::VectorXd* gp = update ? &g : nullptr;
      const std::string name = s.name + (update ? " updated" : "");

      Eigen::MatrixXd in_place = P0;
      kernel.predict(in_place, gp, f, ws);
      // Stale contents in `out` must not leak into the result.
      Eigen::MatrixXd out = Eigen::MatrixXd::Constant(m, m, 3.0);
      kernel.predict(P0, gp, f, out, ws);
      EXPECT_TRUE(out.cwiseEqual(in_place).all()) << name;

      in_place = P0;
      kernel.predict_in_reference_order(in_place, gp, f, ws);
      out.setConstant(-7.0);
      kernel.predict_in_reference_order(P0, gp, f, out, ws);
      EXPECT_TRUE(out.cwiseEqual(in_place).all()) << name << ", reference order";
    }
  }
}

TEST(CovarianceKernel, SandwichAndTimesTMatchTheDenseProducts) {
  for (const System& s : systems()) {
    const auto m = s.T.rows();
    const CovarianceKernel kernel(SparseT::from_dense(s.T, static_cast<std::size_t>(m)), s.rqr);
    CovarianceWorkspace ws(m);
    const Eigen::MatrixXd X = covariance(m, 8, 0.0);
    const Eigen::MatrixXd C = covariance(m, 9, 0.0);
    Eigen::MatrixXd out(m, m);
    kernel.sandwich(X, &C, nullptr, 0.0, out, ws);
    const Eigen::MatrixXd expected = s.T * X * s.T.transpose() + C;
    EXPECT_LE((out - expected).norm(), 1e-13 * expected.norm()) << s.name;
    kernel.sandwich(X, nullptr, nullptr, 0.0, out, ws);
    EXPECT_LE((out - s.T * X * s.T.transpose()).norm(), 1e-13 * expected.norm()) << s.name;

    // The rank-two term, with a g of diffuse scale as the first steps have.
    Eigen::VectorXd g = X.col(1 % m);
    g[0] *= 1e6;
    const Eigen::VectorXd p = -1e-6 * X.col(0);
    kernel.sandwich_rank_two(X, &C, g, p, out, ws);
    const Eigen::MatrixXd X2 = X + g * p.transpose() + p * g.transpose();
    const Eigen::MatrixXd expected2 = s.T * X2 * s.T.transpose() + C;
    EXPECT_LE((out - expected2).norm(), 1e-12 * expected2.norm()) << s.name;
    EXPECT_EQ(out, out.transpose()) << s.name;

    const Eigen::VectorXd x = X.col(0);
    Eigen::VectorXd y(m);
    kernel.times_t(x.data(), y.data());
    EXPECT_LE((y - s.T * x).norm(), 1e-14 * (1.0 + (s.T * x).norm())) << s.name;
  }
}

// The upper triangle left unformed (NaN here) must never be read: two steps
// of `predict_lower` give `predict`'s lower triangles and Z's columns.
TEST(CovarianceKernel, LowerFormFeedsTheNextStepAsTheWholeOneDoes) {
  for (const System& s : systems()) {
    const auto m = s.T.rows();
    std::vector<std::size_t> z_columns;
    for (Eigen::Index i = 0; i < m; ++i) {
      if (s.z[i] != 0.0) z_columns.push_back(static_cast<std::size_t>(i));
    }
    const CovarianceKernel kernel(SparseT::from_dense(s.T, static_cast<std::size_t>(m)), s.rqr,
                                  z_columns);
    CovarianceWorkspace ws(m);
    const Eigen::MatrixXd P0 = covariance(m, 17, 1e6);
    const Eigen::VectorXd g = P0 * s.z;
    const double f = 1.0 / s.z.dot(g);
    Eigen::MatrixXd whole = P0, next(m, m);
    Eigen::MatrixXd lower = P0, stale(m, m);
    for (int step = 0; step < 2; ++step) {
      kernel.predict(whole, &g, f, next, ws);
      whole.swap(next);
      stale.setConstant(std::numeric_limits<double>::quiet_NaN());
      kernel.predict_lower(lower, &g, f, stale, ws);
      lower.swap(stale);
      const std::string name = s.name + ", step " + std::to_string(step);
      EXPECT_TRUE(lower.triangularView<Eigen::Lower>().toDenseMatrix().cwiseEqual(
                      whole.triangularView<Eigen::Lower>().toDenseMatrix()).all()) << name;
      for (const std::size_t c : z_columns) {
        const auto col = static_cast<Eigen::Index>(c);
        EXPECT_TRUE(lower.col(col).cwiseEqual(whole.col(col)).all()) << name << ", column " << c;
      }
    }
    mirror_lower(lower.data(), static_cast<std::size_t>(m));
    EXPECT_TRUE(lower.cwiseEqual(whole).all()) << s.name;
  }
}

// Bit for bit over the lower triangle (signed zeros told apart, any NaN
// matching any NaN).
bool same_lower_bits(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  for (Eigen::Index j = 0; j < a.cols(); ++j) {
    for (Eigen::Index i = j; i < a.rows(); ++i) {
      const double x = a(i, j), y = b(i, j);
      if (std::isnan(x) && std::isnan(y)) continue;
      if (std::bit_cast<std::uint64_t>(x) != std::bit_cast<std::uint64_t>(y)) return false;
    }
  }
  return true;
}

// Rows the SARIMAX systems do not have: weights other than 1 on rows with
// one entry, an empty row between runs, rows with several entries below
// runs; and an RQR that is not symmetric bit for bit, with zeros of both signs.
System odd_rows() {
  const Eigen::Index m = 8;
  System s{"odd rows", Eigen::MatrixXd::Zero(m, m), Eigen::MatrixXd::Zero(m, m),
           Eigen::VectorXd::Zero(m)};
  s.T(0, 1) = 0.5, s.T(0, 3) = -2.0;  // several
  s.T(1, 0) = 1.0, s.T(2, 1) = -0.7, s.T(3, 2) = 1.0;  // one run, weighted
  // row 4 empty
  s.T(5, 6) = 1.0, s.T(6, 7) = 1.0;  // a plain run
  s.T(7, 0) = 1.5, s.T(7, 7) = 0.3;  // several, below the runs
  std::mt19937_64 rng(9);
  std::normal_distribution<double> N;
  for (Eigen::Index j = 0; j < m; ++j) {
    for (Eigen::Index i = 0; i < m; ++i) s.rqr(i, j) = (i + j) % 3 == 0 ? N(rng) : 0.0;
  }
  s.rqr(5, 6) = -0.0, s.rqr(6, 5) = 0.0, s.rqr(4, 1) = -0.0, s.rqr(2, 6) = 0.25;
  s.z(0) = 1.0, s.z(5) = 1.0;
  return s;
}

// Three steps of the lower form from a P whose upper triangle is left stale
// (NaN), against the whole reference order: the lower triangles, Z's
// columns and a folded step after them.
TEST(CovarianceKernel, LowerReferenceOrderIsTheWholeOneBitForBit) {
  auto all = systems();
  all.push_back(odd_rows());
  for (const System& s : all) {
    const auto m = s.T.rows();
    std::vector<std::size_t> z_columns;
    for (Eigen::Index i = 0; i < m; ++i) {
      if (s.z[i] != 0.0) z_columns.push_back(static_cast<std::size_t>(i));
    }
    const CovarianceKernel kernel(SparseT::from_dense(s.T, static_cast<std::size_t>(m)), s.rqr,
                                  z_columns, LowerReference::Always);
    ASSERT_TRUE(kernel.has_lower_reference_order()) << s.name;
    CovarianceWorkspace ws(m);
    Eigen::MatrixXd whole = covariance(m, 23, 1e6);
    // A last state known exactly, its covariances −0.0 and no gain to it:
    // where entries are −0.0 every sum that starts from +0.0 shows.
    if (m > 2) {
      whole.row(m - 1).setConstant(-0.0);
      whole.col(m - 1).setConstant(-0.0);
    }
    Eigen::MatrixXd lower = whole, next(m, m);
    for (int step = 0; step < 4; ++step) {
      Eigen::VectorXd g = whole * s.z;
      if (m > 2) g(m - 1) = 0.0;
      const double f = 1.0 / s.z.dot(g);
      const Eigen::VectorXd* gp = step == 2 ? nullptr : &g;  // a step without an update
      const std::string name = s.name + ", step " + std::to_string(step);
      if (step < 3) {
        kernel.predict_in_reference_order(whole, gp, f, next, ws);
        whole.swap(next);
        next.setConstant(std::numeric_limits<double>::quiet_NaN());
        kernel.predict_lower_in_reference_order(lower, gp, f, next, ws);
      } else {
        kernel.predict_lower(whole, gp, f, next, ws);
        whole.swap(next);
        next.setConstant(std::numeric_limits<double>::quiet_NaN());
        kernel.predict_lower(lower, gp, f, next, ws);
      }
      lower.swap(next);
      EXPECT_TRUE(same_lower_bits(lower, whole)) << name;
      for (const std::size_t c : z_columns) {
        const auto col = static_cast<Eigen::Index>(c);
        EXPECT_TRUE(lower.col(col).cwiseEqual(whole.col(col)).all()) << name << ", column " << c;
      }
    }
  }
}

// Where few rows are plain shifts the whole reference order is kept, and
// the lower form is refused where it was not planned.
TEST(CovarianceKernel, LowerReferenceOrderIsPlannedWhereItIsFaster) {
  const System air = systems()[0];
  const CovarianceKernel unplanned(SparseT::from_dense(air.T, 27), air.rqr);
  CovarianceWorkspace ws(27);
  Eigen::MatrixXd out(27, 27);
  EXPECT_THROW(unplanned.predict_lower_in_reference_order(air.rqr, nullptr, 0.0, out, ws),
               std::logic_error);
  for (const auto& [name, planned] : {std::pair{"airline", true},
                                     std::pair{"(2,1,2)(1,1,1,12)", false},
                                     std::pair{"dense 5x5", false}}) {
    for (const System& s : systems()) {
      if (s.name != name) continue;
      const CovarianceKernel kernel(SparseT::from_dense(s.T, static_cast<std::size_t>(s.T.rows())),
                                    s.rqr, {}, LowerReference::WhereFaster);
      EXPECT_EQ(kernel.has_lower_reference_order(), planned) << name;
    }
  }
}

TEST(CovarianceKernel, ReassignedKernelForgetsItsFormerSystem) {
  const auto all = systems();
  const System& first = all[0];
  const System& second = all[1];
  CovarianceKernel reused(SparseT::from_dense(first.T, static_cast<std::size_t>(first.T.rows())),
                          first.rqr);
  const auto m = second.T.rows();
  reused.assign(SparseT::from_dense(second.T, static_cast<std::size_t>(m)), second.rqr);
  const CovarianceKernel fresh(SparseT::from_dense(second.T, static_cast<std::size_t>(m)), second.rqr);
  CovarianceWorkspace ws(m);
  const Eigen::MatrixXd P0 = covariance(m, 4, 1e6);
  const Eigen::VectorXd g = P0 * second.z;
  const double f = 1.0 / second.z.dot(g);
  Eigen::MatrixXd a = P0, b = P0;
  reused.predict(a, &g, f, ws);
  fresh.predict(b, &g, f, ws);
  EXPECT_TRUE(a.cwiseEqual(b).all());
  a = P0;
  b = P0;
  reused.predict_in_reference_order(a, &g, f, ws);
  fresh.predict_in_reference_order(b, &g, f, ws);
  EXPECT_TRUE(a.cwiseEqual(b).all());
}

// A kernel given the same T keeps its plan and takes RQR's new values; where
// a zero of RQR appears, goes or changes sign it plans anew. Either way its
// steps are a fresh kernel's, bit for bit.
TEST(CovarianceKernel, ReassignedKernelTakesNewRqrValuesOrPlansAnew) {
  auto all = systems();
  all.push_back(odd_rows());
  for (const System& s : all) {
    const auto m = s.T.rows();
    const SparseT st = SparseT::from_dense(s.T, static_cast<std::size_t>(m));
    std::vector<std::size_t> z_columns;
    for (Eigen::Index i = 0; i < m; ++i) {
      if (s.z[i] != 0.0) z_columns.push_back(static_cast<std::size_t>(i));
    }
    Eigen::MatrixXd scaled = 1.3 * s.rqr;  // the same zeros
    Eigen::MatrixXd moved = s.rqr;  // a zero gone or come
    moved(m - 1, 0) = moved(m - 1, 0) == 0.0 ? 0.5 : 0.0;
    Eigen::MatrixXd signed_zeros = s.rqr;  // every zero −0.0
    for (Eigen::Index k = 0; k < m * m; ++k) {
      if (signed_zeros.data()[k] == 0.0) signed_zeros.data()[k] = -0.0;
    }
    CovarianceKernel reused(st, s.rqr, z_columns, LowerReference::Always);
    for (const Eigen::MatrixXd* rqr : {&scaled, &moved, &scaled, &signed_zeros}) {
      const std::string name = s.name + (rqr == &scaled ? ", scaled" : rqr == &moved ? ", moved" : ", signed zeros");
      reused.assign(st, *rqr, z_columns, LowerReference::Always);
      const CovarianceKernel fresh(st, *rqr, z_columns, LowerReference::Always);
      CovarianceWorkspace ws(m);
      const Eigen::MatrixXd P0 = covariance(m, 31, 1e6);
      const Eigen::VectorXd g = P0 * s.z;
      const double f = 1.0 / s.z.dot(g);
      Eigen::MatrixXd a(m, m), b(m, m);
      reused.predict(P0, &g, f, a, ws);
      fresh.predict(P0, &g, f, b, ws);
      EXPECT_TRUE(same_lower_bits(a, b)) << name << ", folded";
      reused.predict_in_reference_order(P0, &g, f, a, ws);
      fresh.predict_in_reference_order(P0, &g, f, b, ws);
      EXPECT_TRUE(same_lower_bits(a, b)) << name << ", reference";
      reused.predict_lower_in_reference_order(P0, &g, f, a, ws);
      fresh.predict_lower_in_reference_order(P0, &g, f, b, ws);
      EXPECT_TRUE(same_lower_bits(a, b)) << name << ", lower reference";
    }
  }
}

}  // namespace
}  // namespace peltaro::core
