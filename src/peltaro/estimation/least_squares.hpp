#pragma once
// Least squares by singular value decomposition with an absolute cut-off:
// singular values at or below it count as zero, so a rank-deficient system
// still has an answer, the one of minimum norm.

#include <Eigen/Dense>
#include <cstddef>
#include <expected>
#include <span>
#include <string>

namespace peltaro::estimation {

inline constexpr double LEAST_SQUARES_EPS = 1e-12;

// argmin ‖A·x − b‖ of minimum norm; A may have fewer rows than columns.
// Fails on a non-finite entry, which no decomposition can use. A tall A is
// first reduced to its square triangle, in A's own storage (pass it by move
// to spare the copy): the extra memory is then twice b's size and the
// triangle's, whatever the number of rows.
std::expected<Eigen::VectorXd, std::string> svd_least_squares(Eigen::MatrixXd A,
                                                              const Eigen::VectorXd& b, double eps);

// The same for A given by its columns, each read over its first `rows`
// values. A system of more than STREAMED_LEAST_SQUARES values is never held
// whole: its rows are folded into the triangle a block at a time, so the
// memory is O(k·(k + block)) however many rows there are (the answer agrees
// with the whole-matrix one to rounding). Smaller systems take the
// whole-matrix path.
inline constexpr std::size_t STREAMED_LEAST_SQUARES = std::size_t{1} << 20;
std::expected<Eigen::VectorXd, std::string> svd_least_squares(
    std::span<const std::span<const double>> columns, std::span<const double> b,
    std::size_t rows, double eps);

}  // namespace peltaro::estimation
