#include "peltaro/estimation/edge_polish.hpp"

#include <cmath>
#include <complex>
#include <vector>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/cancellation.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/unbounded_runners.hpp"

namespace peltaro::estimation::edge_polish {
namespace {

constexpr double NEAR_EDGE = 0.99;

struct MaBlocks {
  std::size_t ma, q, sma, Q;
  explicit MaBlocks(const SarimaxConfig& c) {
    const core::SarimaxOrder& o = c.order;
    ma = c.k_trend() + c.n_exog + o.p;
    q = o.q;
    sma = ma + o.q + o.P;
    Q = o.Q;
  }
};

// Reflects the block's inverse roots of modulus above 1 in place; the
// product of their squared moduli, 1 when none is reflected or the roots
// are not found.
double reflect_block(std::span<double> theta) {
  Vec c(theta.begin(), theta.end());
  for (double& v : c) v = -v;
  const RootList roots = polynomial_roots(c);
  if (theta.empty() || roots.size() != theta.size()) return 1.0;
  double factor = 1.0;
  // 1 + θ1·L + … = Π (1 − λ·L) over the inverse roots λ.
  std::vector<std::complex<double>> poly{1.0};
  for (const auto& [re, im] : roots) {
    std::complex<double> lambda(re, im);
    if (std::abs(lambda) > 1.0) {
      factor *= std::norm(lambda);
      lambda = 1.0 / std::conj(lambda);
    }
    poly.push_back(0.0);
    for (std::size_t k = poly.size() - 1; k > 0; --k) poly[k] -= lambda * poly[k - 1];
  }
  if (factor == 1.0) return 1.0;
  for (std::size_t k = 0; k < theta.size(); ++k) theta[k] = poly[k + 1].real();
  return factor;
}

}  // namespace

bool applies(std::span<const double> params, const SarimaxConfig& config) {
  if (!config.enforce_invertibility) return false;
  const MaBlocks at(config);
  for (const auto& [from, len] : {std::pair{at.ma, at.q}, std::pair{at.sma, at.Q}}) {
    if (len == 0) continue;
    const auto largest = largest_inverse_root(params.subspan(from, len), true);
    if (largest && *largest >= NEAR_EDGE) return true;
  }
  return false;
}

Vec reflect_ma_roots(std::span<const double> params, const SarimaxConfig& config) {
  const MaBlocks at(config);
  Vec out(params.begin(), params.end());
  double factor = reflect_block(std::span<double>(out).subspan(at.ma, at.q));
  factor *= reflect_block(std::span<double>(out).subspan(at.sma, at.Q));
  if (!config.concentrate_scale) out.back() *= factor;
  return out;
}

std::optional<Crossing> search_across(std::span<const double> endog, const Columns* exog,
                                 const SarimaxConfig& config, std::span<const double> params,
                                 std::uint64_t maxiter) {
  SarimaxConfig free = config;
  free.enforce_invertibility = false;
  auto x0 = core::transform_params_inner(params, free, false);
  if (!x0) return std::nullopt;
  const SarimaxObjective objective(
      Vec(endog.begin(), endog.end()),
      exog != nullptr ? std::optional<Columns>(*exog) : std::nullopt, free);
  auto run = runners::run_bfgs(objective.clone(), std::move(*x0), maxiter);
  if (!run || is_penalty(run->f)) return std::nullopt;
  auto end = core::transform_params_inner(run->x, free, true);
  if (!end) return std::nullopt;
  return Crossing{reflect_ma_roots(*end, config), run->converged};
}

}  // namespace peltaro::estimation::edge_polish
