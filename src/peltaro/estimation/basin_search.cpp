#include "peltaro/estimation/basin_search.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

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
// The MA factor of a pair that differences once too often: near the unit
// root that the differencing put there, yet inside the invertible region.
constexpr double OVERDIFFERENCED_RHO = 0.9;
// Below this φ(1)·Φ(1) the mean a trend implies is left alone.
constexpr double MIN_AR_AT_ONE = 1e-2;
// Starts drawn around the first run's end point, in the optimiser's
// coordinates, for the maxima that no structured start reaches; their
// spread, as the hybrid method's, and a fixed seed, so that a fit gives
// the same starts, and the same result, every time.
constexpr std::size_t SCATTERED_STARTS = 2;
constexpr double SCATTER_AMPLITUDE = 1.5;
constexpr std::uint64_t SCATTER_SEED = 12;

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

// Runs the default strategy from each distinct start and keeps the best of
// `first` and those runs.
StrategyOutcome run_starts(const SarimaxObjective& objective, const SarimaxConfig& config,
                           std::vector<Vec> starts, StrategyOutcome first, std::uint64_t maxiter) {
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

// SCATTERED_STARTS draws around `end` (the optimiser's coordinates), each
// coordinate spread by its share of the slope at `raw_start` (the start of
// the run that ended there); in model coordinates, those clear of
// near-cancelling roots only.
std::vector<Vec> scattered_starts(const SarimaxObjective& objective, const SarimaxConfig& config,
                                  std::span<const double> raw_start, std::span<const double> end) {
  const auto x0 = core::transform_params_inner(raw_start, config, false);
  const std::span<const double> from = x0 ? std::span<const double>(*x0) : end;
  multistart::ScaledStartGenerator generator(objective.clone().analytical_gradient_negloglike(from),
                                             from, end, SCATTER_SEED);
  std::vector<Vec> out;
  for (const Vec& x : generator.starts(SCATTER_AMPLITUDE, SCATTERED_STARTS, config)) {
    if (auto params = core::transform_params_inner(x, config, true)) out.push_back(std::move(*params));
  }
  return out;
}

// Models that search every kind of basin; smaller ones only the
// over-differenced one.
bool full_search(const SarimaxConfig& config) {
  const core::SarimaxOrder& o = config.order;
  return o.p + o.q + o.P + o.Q >= MIN_ARMA_COEFFICIENTS;
}

}  // namespace

bool applies(const SarimaxConfig& config) {
  const core::SarimaxOrder& o = config.order;
  if (o.k_states() >= MAX_STATES) return false;
  if (full_search(config)) return true;
  return o.P == 0 && o.Q == 0 && reduced_ma(config, false).has_value();
}

std::optional<SarimaxConfig> reduced_ma(const SarimaxConfig& config, bool seasonal) {
  SarimaxConfig out = config;
  core::SarimaxOrder& o = out.order;
  const std::uint64_t differences = seasonal ? o.D : o.d;
  std::uint64_t& ma = seasonal ? o.Q : o.q;
  if (differences == 0 || ma == 0) return std::nullopt;
  --ma;
  return out;
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
         const SarimaxConfig& full, bool seasonal, double rho, Factor factor) {
  const CoefficientLayout from(reduced), to(full);
  Vec out(full.n_params(), 0.0);
  const auto block = [&](std::size_t at, std::size_t end) {
    return reduced_params.subspan(at, end - at);
  };
  std::copy_n(reduced_params.begin(), from.ar, out.begin());
  const bool common = factor == Factor::Common;
  // The trend enters as the recursion's intercept: the mean is the trend
  // over φ(1)·Φ(1), which a common factor multiplies by 1 − ρ. An MA factor
  // leaves the mean alone.
  if (common) {
    for (std::size_t i = 0; i < full.k_trend(); ++i) out[i] *= 1.0 - rho;
  }
  const auto place = [&](std::span<const double> c, std::size_t at, bool lifted, double sign) {
    const Vec v = lifted ? times_factor(c, rho, sign) : Vec(c.begin(), c.end());
    std::copy(v.begin(), v.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
  };
  place(block(from.ar, from.ma), to.ar, common && !seasonal, -1.0);
  place(block(from.ma, from.sar), to.ma, !seasonal, 1.0);
  place(block(from.sar, from.sma), to.sar, common && seasonal, -1.0);
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
  struct Reduced {
    std::optional<SarimaxConfig> config;
    bool seasonal;
    Factor factor;
    std::optional<Vec> fitted;
  };
  const bool full = full_search(config);
  std::vector<Reduced> reduced;
  if (full) {
    reduced.push_back({reduced_pair(config, false), false, Factor::Common, std::nullopt});
    reduced.push_back({reduced_pair(config, true), true, Factor::Common, std::nullopt});
    reduced.push_back({reduced_ma(config, true), true, Factor::MovingAverage, std::nullopt});
  }
  reduced.push_back({reduced_ma(config, false), false, Factor::MovingAverage, std::nullopt});
  each_task(reduced.size(), [&](std::size_t i) {
    if (reduced[i].config) reduced[i].fitted = fit_reduced(*reduced[i].config);
  });

  std::vector<Vec> starts;
  for (const Reduced& r : reduced) {
    if (!r.fitted) continue;
    if (r.factor == Factor::MovingAverage) {
      starts.push_back(
          lift(*r.fitted, *r.config, config, r.seasonal, OVERDIFFERENCED_RHO, r.factor));
    } else if (r.seasonal) {
      starts.push_back(lift(*r.fitted, *r.config, config, true, SEASONAL_RHO, r.factor));
    } else {
      for (const double rho : NON_SEASONAL_RHOS) {
        starts.push_back(lift(*r.fitted, *r.config, config, false, rho, r.factor));
      }
    }
  }
  // The end point of the first run with its MA part replaced by the factor
  // alone: the same basin, approached with everything else where it was.
  if (reduced_ma(config, false)) {
    if (auto end = core::transform_params_inner(first.x, config, true)) {
      const CoefficientLayout at(config);
      std::fill(end->begin() + static_cast<std::ptrdiff_t>(at.ma),
                end->begin() + static_cast<std::ptrdiff_t>(at.sar), 0.0);
      (*end)[at.ma] = -OVERDIFFERENCED_RHO;
      starts.push_back(std::move(*end));
    }
  }
  if (full) {
    starts.push_back(without_blocks(raw_start, config, true));
    starts.push_back(without_blocks(raw_start, config, false));
    for (Vec& start : scattered_starts(objective, config, raw_start, first.x)) {
      starts.push_back(std::move(start));
    }
  }
  return run_starts(objective, config, std::move(starts), std::move(first), maxiter);
}

}  // namespace peltaro::estimation::basin_search
