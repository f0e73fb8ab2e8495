#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "peltaro/estimation/least_squares.hpp"

using peltaro::estimation::LEAST_SQUARES_EPS;
using peltaro::estimation::svd_least_squares;

namespace {

Eigen::MatrixXd random_matrix(Eigen::Index rows, Eigen::Index cols, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> z;
  Eigen::MatrixXd a(rows, cols);
  for (Eigen::Index j = 0; j < cols; ++j)
    for (Eigen::Index i = 0; i < rows; ++i) a(i, j) = z(rng);
  return a;
}

}  // namespace

// Against the minimum-norm solution of an independent decomposition, on
// tall, square and wide systems, full rank and not.
TEST(LeastSquares, MatchesTheMinimumNormSolution) {
  struct Case {
    const char* name;
    Eigen::Index rows, cols;
    bool repeat_column;  // column 1 a copy of column 0: rank one short
  };
  const Case cases[] = {{"tall", 200, 5, false},    {"tall, rank-deficient", 200, 5, true},
                        {"square", 6, 6, false},    {"wide", 3, 6, false},
                        {"one column", 40, 1, false}, {"wide, rank-deficient", 4, 6, true}};
  unsigned seed = 1;
  for (const Case& c : cases) {
    Eigen::MatrixXd a = random_matrix(c.rows, c.cols, seed++);
    if (c.repeat_column) a.col(1) = a.col(0);
    const Eigen::VectorXd b = random_matrix(c.rows, 1, seed++).col(0);
    const Eigen::VectorXd expected = a.completeOrthogonalDecomposition().solve(b);
    const auto x = svd_least_squares(a, b, LEAST_SQUARES_EPS);
    ASSERT_TRUE(x.has_value()) << c.name;
    EXPECT_LT((*x - expected).norm(), 1e-12 * (1.0 + expected.norm())) << c.name;
    if (c.repeat_column) {
      EXPECT_NEAR((*x)[0], (*x)[1], 1e-12) << c.name;
    }
  }
}

// The answer scales with A at any magnitude: squares of entries past 1e154
// overflow, of entries below 1e-154 underflow, and neither may decide it.
TEST(LeastSquares, AnswerScalesWithTheSystem) {
  const Eigen::MatrixXd a = random_matrix(200, 3, 5);
  const Eigen::VectorXd b = a * Eigen::Vector3d(1.0, 2.0, 3.0);
  for (const double scale : {1e-160, 1e-100, 1e100, 1e155, 1e200}) {
    const auto x = svd_least_squares(a * scale, b, LEAST_SQUARES_EPS * scale);
    ASSERT_TRUE(x.has_value()) << scale;
    const Eigen::Vector3d expected = Eigen::Vector3d(1.0, 2.0, 3.0) / scale;
    // Largest entries, not norms: their squares would over- or underflow too.
    EXPECT_LT((*x - expected).lpNorm<Eigen::Infinity>(),
              1e-12 * expected.lpNorm<Eigen::Infinity>())
        << scale;
  }
}

// Values at or below the cut-off count as zero; a zero column takes no weight.
TEST(LeastSquares, CutOffAndZeroColumns) {
  Eigen::MatrixXd a = random_matrix(30, 3, 7);
  a.col(2).setZero();
  const Eigen::VectorXd b = a.col(0) * 2.0 - a.col(1);
  const auto x = svd_least_squares(a, b, LEAST_SQUARES_EPS);
  ASSERT_TRUE(x.has_value());
  EXPECT_NEAR((*x)[0], 2.0, 1e-12);
  EXPECT_NEAR((*x)[1], -1.0, 1e-12);
  EXPECT_EQ((*x)[2], 0.0);
  // A cut-off above every singular value leaves nothing.
  const auto none = svd_least_squares(a, b, 1e6);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->norm(), 0.0);
}

TEST(LeastSquares, RefusesWhatNoDecompositionCanUse) {
  Eigen::MatrixXd a = random_matrix(10, 2, 3);
  Eigen::VectorXd b = Eigen::VectorXd::Ones(10);
  EXPECT_EQ(svd_least_squares(a, Eigen::VectorXd::Ones(9), LEAST_SQUARES_EPS).error(),
            "right-hand side has the wrong length");
  b[4] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(svd_least_squares(a, b, LEAST_SQUARES_EPS).error(), "non-finite values in the system");
  const auto empty = svd_least_squares(Eigen::MatrixXd(0, 3), Eigen::VectorXd(0), 1e-12);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->size(), 3);
}

// Past STREAMED_LEAST_SQUARES values the rows are folded in a block at a
// time: the answer must be the whole-matrix one to rounding, rank deficiency
// and extreme scales included.
TEST(LeastSquares, StreamedSystemsMatchTheWholeMatrix) {
  const Eigen::Index k = 9;
  const auto n = static_cast<Eigen::Index>(peltaro::estimation::STREAMED_LEAST_SQUARES / k + 1000);
  for (const double scale : {1.0, 1e200}) {
    for (const bool repeat : {false, true}) {
      Eigen::MatrixXd a = random_matrix(n, k, 9) * scale;
      if (repeat) a.col(4) = a.col(2);
      const Eigen::VectorXd b = random_matrix(n, 1, 10).col(0);
      std::vector<std::span<const double>> columns;
      for (Eigen::Index j = 0; j < k; ++j) columns.emplace_back(a.col(j).data(), n);
      const auto streamed = svd_least_squares(columns, std::span<const double>(b.data(), n),
                                              static_cast<std::size_t>(n), LEAST_SQUARES_EPS * scale);
      const auto whole = svd_least_squares(a, b, LEAST_SQUARES_EPS * scale);
      ASSERT_TRUE(streamed.has_value() && whole.has_value()) << scale << " " << repeat;
      EXPECT_LT((*streamed - *whole).lpNorm<Eigen::Infinity>(),
                1e-10 * whole->lpNorm<Eigen::Infinity>())
          << scale << " " << repeat;
      if (repeat) {
        EXPECT_NEAR((*streamed)[2] / (*streamed)[4], 1.0, 1e-10);
      }
    }
  }
  std::vector<std::span<const double>> short_column{std::span<const double>()};
  const double one = 1.0;
  EXPECT_EQ(svd_least_squares(short_column, std::span<const double>(&one, 1), 1, 1e-12).error(),
            "a column is shorter than the rows asked for");
}
