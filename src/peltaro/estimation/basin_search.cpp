#include "peltaro/estimation/basin_search.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/multistart.hpp"
#include "peltaro/estimation/start_region.hpp"
#include "peltaro/parallel/fork_guard.hpp"
#include "peltaro/parallel/pool.hpp"

namespace peltaro::estimation::basin_search {
namespace {

constexpr std::uint64_t MIN_ARMA_COEFFICIENTS = 4;
// Each other start costs about one more fit: from this many states a fit is
// slow enough that the search is left out.
constexpr std::uint64_t MAX_STATES = 40;
// The common factors tried: near the unit circle the pair can carry a trend,
// at zero the reduced model's maximum is the start exactly.
constexpr double NON_SEASONAL_RHOS[] = {0.9, 0.0};
constexpr double SEASONAL_RHO = 0.5;
// Below this φ(1)·Φ(1) the mean a trend implies is left alone.
constexpr double MIN_AR_AT_ONE = 1e-2;

// The coefficients of (1 − Σ c_k B^k)(1 − ρB) for an AR block (`sign` −1)
// or of (1 + Σ c_k B^k)(1 − ρB) for an MA block (`sign` +1), one longer.
Vec times_factor(std::span<const double> c, double rho, double sign) {
  Vec out(c.size() + 1, 0.0);
  for (std::size_t k = 0; k <= c.size(); ++k) {
    const double here = k < c.size() ? c[k] : 0.0;
    const double before = k == 0 ? 1.0 : sign * c[k - 1];
    out[k] = here - sign * rho * before;
  }
  return out;
}

// The tasks on the worker pool when this process may use it, else one after
// another. A task that throws leaves its slot empty.
void each_task(std::size_t count, const std::function<void(std::size_t)>& task) {
  const auto guarded = [&](std::size_t i) {
    try {
      task(i);
    } catch (...) {  // the slot stays empty
    }
  };
  if (count > 1 && !parallel::guard_rayon_fork().has_value()) {
    parallel::for_each_index(count, guarded);
  } else {
    for (std::size_t i = 0; i < count; ++i) guarded(i);
  }
}

}  // namespace

bool applies(const SarimaxConfig& config) {
  const core::SarimaxOrder& o = config.order;
  return o.p + o.q + o.P + o.Q >= MIN_ARMA_COEFFICIENTS && o.k_states() < MAX_STATES;
}

std::optional<SarimaxConfig> reduced_pair(const SarimaxConfig& config, bool seasonal) {
  SarimaxConfig out = config;
  core::SarimaxOrder& o = out.order;
  if (!seasonal) {
    if (o.p == 0 || o.q == 0) return std::nullopt;
    --o.p;
    --o.q;
    return out;
  }
  if (o.P == 0 || o.Q == 0) return std::nullopt;
  --o.P;
  --o.Q;
  if (o.P == 0 && o.Q == 0 && o.D == 0) o.s = 0;
  return out;
}

Vec lift(std::span<const double> reduced_params, const SarimaxConfig& reduced,
         const SarimaxConfig& full, bool seasonal, double rho) {
  const CoefficientLayout from(reduced), to(full);
  Vec out(full.n_params(), 0.0);
  const auto block = [&](std::size_t at, std::size_t end) {
    return reduced_params.subspan(at, end - at);
  };
  std::copy_n(reduced_params.begin(), from.ar, out.begin());
  // The trend enters as the recursion's intercept: the mean is the trend
  // over φ(1)·Φ(1), which the factor multiplies by 1 − ρ.
  for (std::size_t i = 0; i < full.k_trend(); ++i) out[i] *= 1.0 - rho;
  const auto place = [&](std::span<const double> c, std::size_t at, bool lifted, double sign) {
    const Vec v = lifted ? times_factor(c, rho, sign) : Vec(c.begin(), c.end());
    std::copy(v.begin(), v.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
  };
  place(block(from.ar, from.ma), to.ar, !seasonal, -1.0);
  place(block(from.ma, from.sar), to.ma, !seasonal, 1.0);
  place(block(from.sar, from.sma), to.sar, seasonal, -1.0);
  place(block(from.sma, from.end), to.sma, seasonal, 1.0);
  std::copy(reduced_params.begin() + static_cast<std::ptrdiff_t>(from.end), reduced_params.end(),
            out.begin() + static_cast<std::ptrdiff_t>(to.end));
  return out;
}

Vec without_blocks(std::span<const double> start, const SarimaxConfig& config,
                   bool autoregressive) {
  const CoefficientLayout at(config);
  Vec out(start.begin(), start.end());
  const auto zero = [&](std::size_t from, std::size_t to) {
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(from),
              out.begin() + static_cast<std::ptrdiff_t>(to), 0.0);
  };
  if (autoregressive) {
    // Without the AR terms the intercept is the mean itself: divide by
    // φ(1)·Φ(1), unless a root near 1 makes that meaningless.
    double at_one = 1.0;
    for (std::size_t i = at.ar; i < at.ma; ++i) at_one -= out[i];
    double seasonal_at_one = 1.0;
    for (std::size_t i = at.sar; i < at.sma; ++i) seasonal_at_one -= out[i];
    const double scale = at_one * seasonal_at_one;
    if (std::isfinite(scale) && std::fabs(scale) >= MIN_AR_AT_ONE) {
      for (std::size_t i = 0; i < config.k_trend(); ++i) out[i] /= scale;
    }
    zero(at.ar, at.ma);
    zero(at.sar, at.sma);
  } else {
    zero(at.ma, at.sar);
    zero(at.sma, at.end);
  }
  return out;
}

StrategyOutcome search(const SarimaxObjective& objective, const SarimaxConfig& config,
                       std::span<const double> raw_start, StrategyOutcome first,
                       std::uint64_t maxiter, const ReducedFit& fit_reduced) {
  const std::array<std::optional<SarimaxConfig>, 2> reduced{reduced_pair(config, false),
                                                            reduced_pair(config, true)};
  std::array<std::optional<Vec>, 2> fitted;
  each_task(reduced.size(), [&](std::size_t i) {
    if (reduced[i]) fitted[i] = fit_reduced(*reduced[i]);
  });

  std::vector<Vec> starts;
  if (fitted[0]) {
    for (const double rho : NON_SEASONAL_RHOS) {
      starts.push_back(lift(*fitted[0], *reduced[0], config, false, rho));
    }
  }
  if (fitted[1]) starts.push_back(lift(*fitted[1], *reduced[1], config, true, SEASONAL_RHO));
  starts.push_back(without_blocks(raw_start, config, true));
  starts.push_back(without_blocks(raw_start, config, false));
  std::vector<Vec> unique;
  for (Vec& start : starts) {
    if (std::find(unique.begin(), unique.end(), start) == unique.end()) {
      unique.push_back(std::move(start));
    }
  }

  std::vector<std::optional<StrategyOutcome>> runs(unique.size());
  each_task(unique.size(), [&](std::size_t i) {
    // A reduced fit may end on the edge of a region, where the transform
    // cannot come back from: such a block starts just inside. The pull's
    // warnings are for starts a caller gave, not for these.
    (void)pull_into_enforced_region(unique[i], config);
    auto x = core::transform_params_inner(unique[i], config, false);
    if (!x) return;
    auto run = multistart::fit_lbfgsb_single(objective, *x, config, maxiter, false);
    if (run && !is_penalty(run->f) && std::isfinite(run->f)) runs[i] = std::move(*run);
  });

  // In start order, whatever order the runs ended in. Runs that end on the
  // same maximum differ by rounding only: the first one stands unless
  // another is higher beyond that.
  StrategyOutcome best = std::move(first);
  for (auto& run : runs) {
    if (run && lower_beyond_rounding(run->f, best.f)) best = std::move(*run);
  }
  return best;
}

}  // namespace peltaro::estimation::basin_search
