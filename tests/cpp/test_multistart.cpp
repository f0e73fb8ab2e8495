// The multi-start strategies. The tests that fork come first: they need a
// process that has not used the pool yet.

#include "peltaro/estimation/multistart.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fork_child.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/bounded_runner.hpp"
#include "peltaro/estimation/cancellation.hpp"
#include "peltaro/parallel/fork_guard.hpp"
#include "peltaro/parallel/pool.hpp"
#include "runner_reference.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::estimation;
namespace ms = peltaro::estimation::multistart;
namespace fx = peltaro::score_fixtures;
using fx::cfg;

constexpr std::uint64_t kMaxiter = 500;

ms::StrategyResult run(std::string_view name, const SarimaxObjective& o, const Vec& x0,
                       std::size_t n_starts, std::uint64_t budget = kMaxiter) {
  const SarimaxConfig& c = o.config();
  if (name == "lbfgsb") return ms::fit_lbfgsb_single(o, x0, c, budget);
  if (name == "lbfgsb-multi") return ms::fit_lbfgsb_multi(o, x0, x0.size(), c, budget, n_starts);
  if (name == "lbfgsb-hybrid") return ms::fit_lbfgsb_hybrid(o, x0, x0.size(), c, budget, n_starts);
  if (name == "lbfgsb-adaptive") return ms::fit_lbfgsb_adaptive_restart(o, x0, c, budget, n_starts);
  if (name == "lbfgs") return ms::fit_lbfgs_argmin(o, x0, x0.size(), c, budget, n_starts);
  return ms::fit_bfgs_single(o, x0, c, budget);
}

Vec unconstrained(const Vec& start, const SarimaxConfig& config) {
  return core::transform_params_inner(start, config, false).value();
}

struct Model { SarimaxObjective objective; Vec x0; double loglike = 0.0; };  // statsmodels' maximum

// A reference case; "airline" has no AR part, so none of its starts cancels.
Model reference(const std::string& name) {
  for (auto& c : runner_reference::cases(false)) {
    if (c.name != name) continue;
    return {{c.y, std::nullopt, c.config}, unconstrained(c.start, c.config), c.loglike};
  }
  throw std::runtime_error("no reference case " + name);
}

// A result in text, every double exact.
std::string text_of(const ms::StrategyResult& r) {
  if (!r) return "error: " + r.error().display();
  std::ostringstream out;
  out << std::hexfloat << r->f << " " << r->n_iter << " " << r->converged << " " << r->label;
  for (double v : r->x) out << " " << v;
  return out.str();
}

// What a process's fits return, a line each: whether it may use the pool,
// the multi-start result, and whether the hybrid and adaptive strategies
// moved away from what they give without restarts (the relabelled first
// phase; the single fit reporting the budget).
std::string fits(const Model& m) {
  std::string out = parallel::guard_rayon_fork() ? "refused" : "owner";
  auto multi = run("lbfgsb-multi", m.objective, m.x0, 3);
  auto single = run("lbfgsb", m.objective, m.x0, 3);
  out += "\n" + text_of(multi);
  multi->label = "lbfgsb-hybrid";
  single->n_iter = kMaxiter;
  for (const auto& [s, first] : {std::pair{"lbfgsb-hybrid", multi}, {"lbfgsb-adaptive", single}}) {
    const std::string r = text_of(run(s, m.objective, m.x0, 3));
    out += "\n" + (r == text_of(first) ? "unmoved" : "restarted " + r);
  }
  return out + "\n";
}

// The results do not depend on the pool's size. In a child of the pool's
// owner the pool is refused: the multi-start runs its starts one after
// another (the same result here, where no share of the budget binds) and
// the hybrid and adaptive strategies skip their restarts.
TEST(MultistartPool, SameAtEveryPoolSizeAndWithoutRestartsInAForkedChild) {
  std::vector<std::string> owner;
  for (const std::string threads : {"1", "2", "8"}) {
    std::stringstream out(test::in_child([&] {
      setenv("RAYON_NUM_THREADS", threads.c_str(), 1);
      const Model m = reference("airline");
      const std::string owner = std::to_string(parallel::pool_size()) + "\n" + fits(m);
      return owner + test::in_child([&] { return fits(m); });
    }));
    std::vector<std::string> got;
    for (std::string line; std::getline(out, line);) got.push_back(line);
    if (owner.empty()) owner = got;
    ASSERT_EQ(owner.size(), 9u) << out.str();
    // The adaptive strategy's single fit already ends at the top here, so
    // only the hybrid's restarts show whether the pool was used.
    EXPECT_TRUE(owner[3].starts_with("restarted")) << out.str();
    EXPECT_EQ(got, (std::vector<std::string>{threads, "owner", owner[2], owner[3], owner[4],
                                             "refused", owner[2], "unmoved", "unmoved"}));
  }
}

// Nile, MA(1) after one difference, scale concentrated: one coordinate, so no
// refinement runs and the label stays "lbfgsb-multi". After the runs from x0
// and the origin, one candidate runs on the calling thread with all that is
// left (a child forked afterwards finds the pool unclaimed); more than one go
// to the pool with equal shares, and none runs when a share would be nothing.
TEST(MultistartMulti, RunsItsCandidatesWithWhatIsLeft) {
  const SarimaxConfig config = cfg({0, 1, 1, 0, 0, 0, 0}, core::Trend::None, 0, true);
  const SarimaxObjective o(fx::load_csv_column("nile.csv", 1), std::nullopt, config);
  const Vec x0 = unconstrained({0.5}, config);
  const auto count = [&](const Vec& from, std::uint64_t budget) {
    return runners::run_lbfgsb(o, from, runners::compute_bounds(config), budget).value().n_iter;
  };
  const std::uint64_t first = count(x0, kMaxiter);
  const std::uint64_t spent = first + count({0.0}, kMaxiter - first);
  struct Case { std::size_t n_starts; std::uint64_t budget, n_iter; const char* pool; };
  const Case cases[] = {{0, kMaxiter, first, "free"},          {1, spent + 2, spent + 2, "free"},
                        {2, spent + 2, spent + 2, "claimed"}, {5, spent + 3, spent, "claimed"},
                        {5, spent + 5, spent + 5, "claimed"}};
  for (const Case& c : cases) {
    const std::string out = test::in_child([&] {
      const auto r = run("lbfgsb-multi", o, x0, c.n_starts, c.budget);
      const auto pool = [] { return parallel::guard_rayon_fork() ? "claimed" : "free"; };
      return test::in_child([&] { return std::string(pool()); }) + " " +
             std::to_string(r->n_iter) + " " + r->label;
    });
    EXPECT_EQ(out, std::string(c.pool) + " " + std::to_string(c.n_iter) + " lbfgsb-multi")
        << c.n_starts << " starts, budget " << c.budget;
  }
}

Vec numbers(const std::string& text) {
  Vec out;
  std::stringstream ss(text);
  for (std::string v; std::getline(ss, v, ',');) out.push_back(std::stod(v));
  return out;
}

// Lines of the reference script: the inputs, then the exact starts.
TEST(MultistartStarts, MatchTheReferenceGenerators) {
  std::ifstream in(PELTARO_TEST_DATA_DIR "/multistart_reference.csv");
  const SarimaxConfig no_ar = cfg({0, 0, 1, 0, 0, 0, 0});  // nothing can cancel
  int lines = 0;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string field; std::getline(ss, field, ';');) f.push_back(field);
    std::vector<Vec> got;
    std::size_t first = 3;
    if (f[0] == "lcg") {
      const Vec x0 = numbers(f[1]);
      got = ms::lcg_perturbed_starts(x0, x0.size(), std::stoul(f[2]), kMaxiter);
    } else if (f[0] == "scaled") {
      // A gradient of another length stands for a failed one.
      const TextResult<Vec> g = f[1].empty() ? TextResult<Vec>(Vec{2.0}) : numbers(f[1]);
      ms::ScaledStartGenerator generator(g, numbers(f[2]), numbers(f[3]), std::stoull(f[5]));
      got = generator.starts(std::stod(f[4]), std::stoul(f[6]), no_ar);
      got.push_back(generator.jitter());
      first = 7;
    } else {
      continue;
    }
    ++lines;
    ASSERT_EQ(got.size(), f.size() - first) << line;
    for (std::size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], numbers(f[first + k])) << line;
  }
  EXPECT_EQ(lines, 5);
  EXPECT_TRUE(ms::lcg_perturbed_starts(Vec{0.0, 2.0}, 2, 3, 0).empty()) << "nothing left";
  EXPECT_EQ(ms::lcg_perturbed_starts(Vec{}, 0, 3, 1), std::vector<Vec>(3)) << "no coordinates";

  // ARMA(1,1) cancels where both unconstrained coordinates are equal: draws
  // near that line are dropped, each having taken its draws.
  const SarimaxConfig arma = cfg({1, 0, 1, 0, 0, 0, 0});
  const Vec x0{0.3, 0.3, 0.0};
  const auto draw = [&](const SarimaxConfig& config) {
    return ms::ScaledStartGenerator(Vec{1.0, 1.0, 0.1}, x0, x0, 7).starts(1.0, 400, config);
  };
  std::vector<Vec> expected = draw(cfg({0, 0, 2, 0, 0, 0, 0}));
  std::erase_if(expected, [&](const Vec& x) { return !passes_cancellation_filter(x, arma); });
  ASSERT_LT(expected.size(), 400u) << "some draws must cancel";
  EXPECT_EQ(draw(arma), expected);
}

TEST(MultistartBestRecord, KeepsTheFirstOfEqualValuesAndNeverTakesThePenalty) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  // incumbent's f (none: empty), offered f, label of the record after (none: empty)
  const std::tuple<std::optional<double>, double, const char*> cases[] = {
      {std::nullopt, 3.0, "second"}, {3.0, 2.5, "second"},         {3.0, 3.0, "first"},
      {3.0, 4.0, "first"},           {3.0, kNaN, "first"},         {kNaN, 1.0, "first"},
      {std::nullopt, PENALTY, nullptr}, {std::nullopt, kNaN, nullptr}, {3.0, PENALTY, "first"},
  };
  for (const auto& [incumbent, offered, kept] : cases) {
    std::optional<ms::BestRecord> best;
    if (incumbent) best = ms::BestRecord{{1.0}, *incumbent, true, "first"};
    ms::try_update_best(best, {2.0}, false, "second", offered);
    ASSERT_EQ(best.has_value(), kept != nullptr) << offered;
    if (!best) continue;
    EXPECT_EQ(best->label, kept) << offered;
    EXPECT_EQ(best->x, Vec{best->label == "second" ? 2.0 : 1.0}) << offered;
  }
}

TEST(MultistartMaGrid, RunsOnlyForAnInvertibleSeasonalMaPartWithBudgetLeft) {
  const Model airline = reference("airline");
  SarimaxConfig seasonal = airline.objective.config(), free_ma = seasonal;
  seasonal.concentrate_scale = free_ma.concentrate_scale = true;
  free_ma.enforce_invertibility = false;
  const std::tuple<const char*, SarimaxConfig, std::uint64_t, bool> cases[] = {
      {"seasonal MA, scale concentrated", seasonal, kMaxiter, true},
      {"a zero variance cannot be unconstrained", airline.objective.config(), kMaxiter, false},
      {"MA not kept invertible", free_ma, kMaxiter, false},
      {"no budget", seasonal, 0, false},
      {"q alone", cfg({0, 1, 1, 0, 0, 0, 0}, core::Trend::None, 0, true), kMaxiter, false},
  };
  for (const auto& [name, config, left, runs] : cases) {
    const SarimaxObjective objective(airline.objective.endog(), std::nullopt, config);
    ms::EvalBudget budget{left};
    std::optional<ms::BestRecord> best;
    ms::grid_ma_initialization(objective, config, config.n_params(), budget, best, "grid");
    ASSERT_EQ(best.has_value(), runs) << name;
    EXPECT_EQ(budget.total > 0, runs) << name;
    EXPECT_EQ(budget.left + budget.total, left) << name;
    EXPECT_TRUE(!best || (best->label == "grid" && best->f == objective.cost(best->x))) << name;
  }
}

// Every strategy, with and without perturbed starts, reaches statsmodels'
// maximum. The hybrid reports its first phase's count, the adaptive strategy
// its budget.
TEST(MultistartStrategies, ReachThePeersMaximumLikelihood) {
  for (const char* name : {"lakehuron_arma11", "nile_ima11", "airline"}) {
    const Model m = reference(name);
    const std::size_t automatic = ms::automatic_start_count(m.objective.config(), m.x0.size());
    for (std::size_t k : {automatic, std::size_t{0}}) {
      const auto multi = run("lbfgsb-multi", m.objective, m.x0, k);
      for (const std::string s : {"lbfgsb", "lbfgsb-multi", "lbfgsb-hybrid", "lbfgsb-adaptive",
                                  "lbfgs", "bfgs"}) {
        const auto r = run(s, m.objective, m.x0, k);
        ASSERT_TRUE(r.has_value()) << name << " " << s << ": " << r.error().display();
        EXPECT_TRUE(r->converged) << name << " " << s;
        EXPECT_NEAR(-r->f, m.loglike, 1e-7) << name << " " << s;
        if (s == "lbfgsb-hybrid" || s == "lbfgsb-adaptive") {
          EXPECT_EQ(r->n_iter, s == "lbfgsb-hybrid" ? multi->n_iter : kMaxiter) << name << " " << s;
        }
      }
    }
  }
}

// Seasonal differencing twice cannot be built: every strategy ends in
// Nelder-Mead at x0, unconverged, charged for the runs that found only the
// penalty (x0, the origin, two perturbed starts). At a variance of e^800
// only the origin can be evaluated: the single run falls back to the
// multi-start, which reaches the maximum. An empty start fails the bounded
// runner outright, and the labels nest.
TEST(MultistartStrategies, EndInTheirFallbacksWhenRunsFailOrFindOnlyThePenalty) {
  const Model nile = reference("nile_ima11");
  const auto model = [&](core::SarimaxOrder order, Vec x0) {  // no coordinates: scale concentrated
    const SarimaxConfig config = cfg(order, core::Trend::None, 0, x0.empty());
    return Model{{nile.objective.endog(), std::nullopt, config}, std::move(x0)};
  };
  const Model dead = model({1, 0, 0, 0, 2, 0, 4}, {0.3, 0.0}),
              huge = model({0, 1, 1, 0, 0, 0, 0}, {0.0, 800.0}),
              empty = model({0, 0, 0, 0, 0, 0, 0}, {});
  const std::string nm = "nelder-mead \\(fallback\\)";
  // recovers: reaches the maximum instead of staying at x0
  struct Case { const Model& m; const char* strategy; std::size_t n_starts; std::string label;
                std::uint64_t n_iter; bool recovers; };
  const Case cases[] = {
      {dead, "lbfgsb", 2, nm, 0, false},         {dead, "lbfgsb-multi", 2, nm, 4, false},
      {dead, "lbfgsb-hybrid", 2, "lbfgsb-hybrid", 4, false},
      {dead, "lbfgsb-adaptive", 2, nm, 0, false}, {dead, "lbfgs", 2, nm, 0, false},
      {dead, "bfgs", 2, nm, 0, false},           {huge, "lbfgsb-multi", 0, nm, 1, false},
      {huge, "bfgs", 0, nm, 0, false},
      {empty, "lbfgsb", 0, nm + " \\(fallback\\)", 0, false},
      {huge, "lbfgsb", 0, "lbfgsb-multi(\\+nm)? \\(fallback\\)", 0, true},
  };
  for (const Case& c : cases) {
    const auto r = run(c.strategy, c.m.objective, c.m.x0, c.n_starts);
    const std::string name = std::string(c.strategy) + " from " + ::testing::PrintToString(c.m.x0);
    ASSERT_TRUE(r.has_value()) << name << ": " << r.error().display();
    EXPECT_TRUE(std::regex_match(r->label, std::regex(c.label))) << name << ": " << r->label;
    if (c.recovers) {
      EXPECT_TRUE(r->converged && std::fabs(-r->f - nile.loglike) < 1e-7) << name;
      continue;
    }
    const double start_cost = c.m.objective.cost(c.m.x0);
    EXPECT_TRUE(r->n_iter == c.n_iter && r->x == c.m.x0 && r->f == start_cost) << name;
    EXPECT_EQ(r->converged, !is_penalty(start_cost)) << name;
  }
}

// From these starts on white noise the single bounded run ends where an AR
// root nearly cancels an MA root. The multi-start result, lower by 0.40, 0.13
// and 0.08, replaces it only when lower by more than 0.1.
TEST(MultistartSingle, LeavesACancellationRidgeOnlyForAGainAboveTheMargin) {
  const std::tuple<unsigned, core::SarimaxOrder, Vec, const char*> cases[] = {
      {2, {2, 0, 2, 0, 0, 0, 0}, {0.0, 0.0, -0.8, 0.0, 1.0},
       "lbfgsb-multi+nm (cancellation escalation)"},
      {13, {1, 0, 1, 0, 0, 0, 0}, {0.5, -0.5, 1.0}, "lbfgsb-multi (cancellation escalation)"},
      {43, {2, 0, 2, 0, 0, 0, 0}, {0.0, 0.0, -0.8, 0.0, 1.0}, "lbfgsb"},
  };
  for (const auto& [seed, order, start, label] : cases) {
    const SarimaxObjective o(fx::simulate_normal(100, seed), std::nullopt, cfg(order));
    const Vec x0 = unconstrained(start, o.config());
    const auto first = runners::run_lbfgsb(o, x0, runners::compute_bounds(o.config()), kMaxiter);
    ASSERT_TRUE(first && on_cancellation_ridge(first->x, o.config())) << label;
    const auto multi = run("lbfgsb-multi", o, x0, ms::automatic_start_count(o.config(), x0.size()));
    ASSERT_TRUE(multi && multi->f < first->f) << label;

    const auto r = run("lbfgsb", o, x0, 0);
    EXPECT_EQ(r->label, label);
    const bool escalated = multi->f < first->f - 0.1;
    // The run taken, or a better point its continuation found.
    EXPECT_LE(r->f, escalated ? multi->f : first->f) << label;
    EXPECT_GE(r->n_iter, escalated ? std::max(first->n_iter, multi->n_iter) : first->n_iter);
  }
}

}  // namespace
