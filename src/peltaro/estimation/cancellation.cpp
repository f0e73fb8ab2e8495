#include "peltaro/estimation/cancellation.hpp"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <limits>

#include "peltaro/estimation/constrained_params.hpp"

namespace peltaro::estimation {
namespace {

// A subdiagonal entry above this marks a 2×2 block of the Schur form.
constexpr double BLOCK_THRESHOLD = 1e-12;

}  // namespace

RootList polynomial_roots(std::span<const double> c) {
  const std::size_t n = c.size();
  if (n == 0) return {};
  if (n == 1) return {{c[0], 0.0}};
  const auto nn = static_cast<Eigen::Index>(n);
  Eigen::MatrixXd M = Eigen::MatrixXd::Zero(nn, nn);
  for (Eigen::Index j = 0; j < nn; ++j) M(0, j) = c[static_cast<std::size_t>(j)];
  for (Eigen::Index i = 0; i + 1 < nn; ++i) M(i + 1, i) = 1.0;
  if (!M.allFinite()) return {};

  Eigen::RealSchur<Eigen::MatrixXd> schur(nn);
  schur.setMaxIterations(static_cast<Eigen::Index>(std::max<std::size_t>(n, 10) * 100));
  schur.compute(M, /*computeU=*/false);
  if (schur.info() != Eigen::Success) return {};
  const Eigen::MatrixXd& T = schur.matrixT();

  RootList roots;
  roots.reserve(n);
  std::size_t i = 0;
  while (i < n) {
    const auto k = static_cast<Eigen::Index>(i);
    if (i + 1 < n && std::fabs(T(k + 1, k)) > BLOCK_THRESHOLD) {
      const double a = T(k, k), b = T(k, k + 1), cc = T(k + 1, k), d = T(k + 1, k + 1);
      const double re = (a + d) * 0.5;
      const double disc = -(b * cc + (a - d) * (a - d) * 0.25);
      const double im = std::sqrt(std::fmax(disc, 0.0));  // fmax drops a NaN argument
      roots.emplace_back(re, im);
      roots.emplace_back(re, -im);
      i += 2;
    } else {
      roots.emplace_back(T(k, k), 0.0);
      i += 1;
    }
  }
  return roots;
}

std::optional<double> largest_inverse_root(std::span<const double> block, bool moving_average) {
  // An MA block's polynomial is the AR form of −θ.
  Vec c(block.begin(), block.end());
  if (moving_average) {
    for (double& v : c) v = -v;
  }
  const RootList roots = polynomial_roots(c);
  if (roots.size() != c.size()) return std::nullopt;
  double largest = 0.0;
  for (const auto& [re, im] : roots) largest = std::fmax(largest, std::hypot(re, im));
  return largest;
}

void scale_inverse_roots(std::span<const double> from, std::span<double> to, double rho) {
  double factor = 1.0;
  for (std::size_t k = 0; k < from.size(); ++k) {
    factor *= rho;
    to[k] = from[k] * factor;
  }
}

bool validate_no_near_cancellation(const core::SarimaxParams& params, std::size_t p, std::size_t q,
                                   double tol) {
  if (p == 0 || q == 0) return true;
  const RootList ar = polynomial_roots(params.ar);
  Vec neg_ma(params.ma.size());
  std::transform(params.ma.begin(), params.ma.end(), neg_ma.begin(), [](double v) { return -v; });
  const RootList ma = polynomial_roots(neg_ma);
  double min_dist = std::numeric_limits<double>::infinity();
  for (const auto& [ar_re, ar_im] : ar) {
    for (const auto& [ma_re, ma_im] : ma) {
      const double dr = ar_re - ma_re;
      const double di = ar_im - ma_im;
      const double dist = std::sqrt(dr * dr + di * di);
      if (dist < min_dist) min_dist = dist;  // a NaN distance is passed over
    }
  }
  return min_dist > tol;
}

bool on_cancellation_ridge(std::span<const double> x, const SarimaxConfig& config) {
  if (config.order.p == 0 || config.order.q == 0) return false;
  const auto params = constrain_and_split(x, config);
  if (!params) return false;
  return !validate_no_near_cancellation(*params, config.order.p, config.order.q, RIDGE_TOLERANCE);
}

bool passes_cancellation_filter(std::span<const double> x, const SarimaxConfig& config) {
  if (config.order.p == 0 || config.order.q == 0) return true;
  const auto params = constrain_and_split(x, config);
  if (!params) return false;
  return validate_no_near_cancellation(*params, config.order.p, config.order.q, FILTER_TOLERANCE);
}

}  // namespace peltaro::estimation
