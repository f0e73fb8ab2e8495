#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "peltaro/core/kalman/sparse_forms.hpp"
#include "peltaro/core/types.hpp"

using namespace peltaro::core;

TEST(SparseForms, FromDenseKeepsNonZerosInRowMajorOrder) {
  Eigen::MatrixXd T(3, 3);
  T << 1, 1, 0, 0, 0.5, 1, 0, 0, -0.0;
  const auto st = SparseT::from_dense(T, 3);
  ASSERT_EQ(st.entries.size(), 4u);
  EXPECT_EQ(st.dim, 3u);
  const std::size_t rc[4][2] = {{0, 0}, {0, 1}, {1, 1}, {1, 2}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(st.entries[i].row, rc[i][0]);
    EXPECT_EQ(st.entries[i].col, rc[i][1]);
  }
  EXPECT_EQ(st.entries[2].value, 0.5);
  EXPECT_EQ(choose_strategy(st), KalmanStrategy::Dense);  // 4 is not below ⌊9/2⌋

  T(1, 1) = 0.0;
  EXPECT_EQ(choose_strategy(SparseT::from_dense(T, 3)), KalmanStrategy::Sparse);
  T(2, 2) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(SparseT::from_dense(T, 3).entries.size(), 4u);  // NaN is stored

  const auto sz = SparseZ::from_dense(Eigen::Vector3d(1, 1, 0), 3);
  ASSERT_EQ(sz.entries.size(), 2u);
  EXPECT_EQ(sz.entries[1].index, 1u);
  EXPECT_EQ(choose_strategy(SparseT::from_dense(Eigen::MatrixXd::Ones(1, 1), 1)), KalmanStrategy::Dense);
}

TEST(SparseForms, DenseAndSparseProductsAgree) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> N;
  const int m = 9;
  Eigen::MatrixXd T = Eigen::MatrixXd::Zero(m, m);
  for (int i = 0; i + 1 < m; ++i) T(i, i + 1) = 1.0;
  for (int i = 0; i < m; ++i) T(i, 0) = 0.1 * N(rng);
  Eigen::MatrixXd A(m, m);
  for (int i = 0; i < m * m; ++i) A.data()[i] = N(rng);
  const Eigen::MatrixXd P0 = A * A.transpose();
  Eigen::VectorXd r(m);
  for (int i = 0; i < m; ++i) r[i] = N(rng);
  const Eigen::MatrixXd RQR = r * r.transpose();
  Eigen::VectorXd Z = Eigen::VectorXd::Zero(m);
  Z[0] = 1.0;
  Z[3] = 0.5;
  Eigen::VectorXd a(m);
  for (int i = 0; i < m; ++i) a[i] = N(rng);

  const auto st = SparseT::from_dense(T, m);
  const auto sz = SparseZ::from_dense(Z, m);
  const Eigen::MatrixXd Tt = T.transpose();
  Eigen::MatrixXd W(m, m);
  Eigen::MatrixXd Pd = P0, Ps = P0;
  predict_cov(KalmanStrategy::Dense, T, Tt, st, Pd, RQR, W);
  predict_cov(KalmanStrategy::Sparse, T, Tt, st, Ps, RQR, W);
  EXPECT_LT((Pd - (T * P0 * Tt + RQR)).norm(), 1e-12);
  EXPECT_LT((Pd - Ps).norm(), 1e-12);

  Eigen::VectorXd ta(m);
  RowRuns runs;
  runs.assign(st);
  runs.times(st.entries, a.data(), ta.data());
  EXPECT_LT((ta - T * a).norm(), 1e-13);

  Eigen::VectorXd pzd(m), pzs(m);
  const double fd = compute_pz_and_f(KalmanStrategy::Dense, P0, Z, sz, m, pzd);
  const double fs = compute_pz_and_f(KalmanStrategy::Sparse, P0, Z, sz, m, pzs);
  EXPECT_NEAR(fd, Z.dot(P0 * Z), 1e-12);
  EXPECT_NEAR(fd, fs, 1e-12);
  EXPECT_LT((pzd - pzs).norm(), 1e-12);
}

TEST(SparseForms, AllZeroTransitionLeavesOnlyTheShockAndIntercept) {
  const int m = 3;
  const Eigen::MatrixXd T = Eigen::MatrixXd::Zero(m, m);
  const auto st = SparseT::from_dense(T, m);
  EXPECT_EQ(choose_strategy(st), KalmanStrategy::Sparse);
  Eigen::MatrixXd P = Eigen::MatrixXd::Identity(m, m), W(m, m);
  const Eigen::MatrixXd RQR = 2.0 * Eigen::MatrixXd::Identity(m, m);
  predict_cov(KalmanStrategy::Sparse, T, T, st, P, RQR, W);
  EXPECT_EQ(P, RQR);
  Eigen::VectorXd out = Eigen::VectorXd::Constant(m, 5.0);
  const Eigen::VectorXd ones = Eigen::VectorXd::Ones(m);
  RowRuns runs;
  runs.assign(st);
  runs.times(st.entries, ones.data(), out.data());
  EXPECT_TRUE(out.isZero(0.0));

  Eigen::VectorXd pz(m);
  const double f = compute_pz_and_f(KalmanStrategy::Sparse, P, Eigen::VectorXd::Zero(m), SparseZ{}, m, pz);
  EXPECT_EQ(f, 0.0);
  EXPECT_TRUE(std::signbit(f));
  EXPECT_TRUE(pz.isZero(0.0));
}

TEST(SparseForms, SymmetrizeAndMirrorWorkEntryByEntry) {
  // Tiled walks of both triangles, against the plain entry-by-entry rules,
  // for odd and even sizes.
  std::mt19937_64 rng(3);
  std::normal_distribution<double> N;
  for (const int m : {1, 2, 3, 4, 5, 6, 7, 8, 27, 28}) {
    Eigen::MatrixXd A(m, m);
    for (int i = 0; i < m * m; ++i) A.data()[i] = N(rng);
    // Zeros of both signs: their average keeps a sign only when both have it.
    for (int i = 0; i < m * m; i += 5) A.data()[i] = i % 2 == 0 ? -0.0 : 0.0;
    Eigen::MatrixXd averaged = A, mirrored = A;
    symmetrize(averaged);
    mirror_lower(mirrored.data(), static_cast<std::size_t>(m));
    Eigen::MatrixXd turned(m, m);
    dense_sweeps().transpose(A.data(), static_cast<std::size_t>(m), turned.data());
    EXPECT_TRUE(turned == A.transpose()) << m;
    for (int j = 0; j < m; ++j) {
      for (int i = 0; i < m; ++i) {
        const double avg = i == j ? A(i, j) : 0.5 * (A(std::max(i, j), std::min(i, j)) +
                                                     A(std::min(i, j), std::max(i, j)));
        EXPECT_EQ(averaged(i, j), avg) << m << ": " << i << "," << j;
        EXPECT_EQ(std::signbit(averaged(i, j)), std::signbit(avg)) << m << ": " << i << "," << j;
        EXPECT_EQ(mirrored(i, j), A(std::max(i, j), std::min(i, j))) << m << ": " << i << "," << j;
      }
    }
  }
}

// The fused sweep copies as `mirror_lower` does and multiplies by the whole
// symmetric matrix (its own upper triangle ignored on entry).
TEST(SparseForms, MirrorLowerTimesMultipliesTheSymmetricMatrix) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> N;
  for (const int m : {1, 2, 3, 4, 5, 6, 7, 8, 27, 28}) {
    Eigen::MatrixXd A(m, m);
    for (int i = 0; i < m * m; ++i) A.data()[i] = N(rng);
    Eigen::VectorXd x(m), u(m);
    for (int i = 0; i < m; ++i) x[i] = N(rng);
    Eigen::MatrixXd mirrored = A, fused = A;
    mirror_lower(mirrored.data(), static_cast<std::size_t>(m));
    mirror_lower_times(fused.data(), static_cast<std::size_t>(m), x.data(), u.data());
    EXPECT_TRUE(fused == mirrored) << m;
    const Eigen::VectorXd expected = mirrored * x;
    for (int i = 0; i < m; ++i) {
      EXPECT_NEAR(u[i], expected[i], 1e-13 * (mirrored.cwiseAbs() * x.cwiseAbs())[i]) << m << ": " << i;
    }
  }
}

// Past the first few rows the columns are read four values at a time: every
// kind of value (signed zeros, NaN, tiny, ordinary), at every place of a
// block, must come out as a row-by-row scan lists it.
TEST(SparseForms, FromDenseMatchesARowByRowScanOnLargerMatrices) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> kind(0, 9);
  const double values[] = {0.0, -0.0, 0.0, -0.0, 0.0, 1.0, -2.5, 5e-324,
                           std::numeric_limits<double>::quiet_NaN(), 0.0};
  for (const std::size_t m : {4u, 7u, 13u, 27u}) {
    Eigen::MatrixXd T(m, m);
    for (std::size_t j = 0; j < m; ++j)
      for (std::size_t i = 0; i < m; ++i) T(i, j) = values[kind(rng)];
    std::vector<SparseTEntry> expected;
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < m; ++j)
        if (T(i, j) != 0.0) expected.push_back({i, j, T(i, j)});
    const auto st = SparseT::from_dense(T, m);
    ASSERT_EQ(st.entries.size(), expected.size()) << m;
    for (std::size_t q = 0; q < expected.size(); ++q) {
      EXPECT_EQ(st.entries[q].row, expected[q].row) << m;
      EXPECT_EQ(st.entries[q].col, expected[q].col) << m;
    }
  }
}
