// The multi-start strategies: results independent of the pool, the start
// generators against a reference, the best record, the MA grid, labels,
// counts, fallbacks and escalation on real models, and the rule that a cost
// at the penalty is a failure.
//
// The tests that fork come first: they need a process that has not used the
// pool, which every test has under ctest, and the first ones have when the
// whole file runs in one process.

#include "peltaro/estimation/multistart.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <map>
#include <numeric>
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
const char* const kStrategies[] = {"lbfgsb", "lbfgsb-multi", "lbfgsb-hybrid",
                                   "lbfgsb-adaptive", "lbfgs", "bfgs"};

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

struct Model {
  SarimaxObjective objective;
  Vec x0;
  double loglike = 0.0;  // statsmodels' maximum, where known
};

// A reference case: "airline" has no AR part, so no start of it is ever
// dropped as cancelling.
Model reference(const std::string& name) {
  for (auto& c : runner_reference::cases(false)) {
    if (c.name != name) continue;
    return {{c.y, std::nullopt, c.config}, unconstrained(c.start, c.config), c.loglike};
  }
  throw std::runtime_error("no reference case " + name);
}

// Nile, MA(1) after one difference, scale concentrated: one coordinate, so
// no refinement ever runs.
Model nile_ma1() {
  const SarimaxConfig config = cfg({0, 1, 1, 0, 0, 0, 0}, core::Trend::None, 0, true);
  return {{fx::load_csv_column("nile.csv", 1), std::nullopt, config}, unconstrained({0.5}, config)};
}

std::uint64_t lbfgsb_count(const Model& m, const Vec& from, std::uint64_t budget) {
  const auto& o = m.objective;
  return runners::run_lbfgsb(o, from, runners::compute_bounds(o.config()), budget).value().n_iter;
}

// The exact bytes of a result.
std::string bytes_of(const ms::StrategyResult& r) {
  if (!r) return "error: " + r.error().display();
  std::string out(reinterpret_cast<const char*>(r->x.data()), r->x.size() * sizeof(double));
  out.append(reinterpret_cast<const char*>(&r->f), sizeof r->f);
  return out + "|" + std::to_string(r->n_iter) + "|" + (r->converged ? "converged" : "not") + "|" +
         r->label;
}

TEST(MultistartPool, ResultsAreBitIdenticalAtEveryPoolSize) {
  std::vector<std::string> outs;
  for (const char* threads : {"1", "2", "8"}) {
    outs.push_back(test::in_child([threads] {
      setenv("RAYON_NUM_THREADS", threads, 1);
      if (parallel::guard_rayon_fork()) return std::string("refused: this process used the pool");
      const Model m = reference("airline");
      std::string out = std::to_string(parallel::pool_size()) + " threads\n";
      for (const char* s : {"lbfgsb-multi", "lbfgsb-hybrid", "lbfgsb-adaptive"}) {
        out += bytes_of(run(s, m.objective, m.x0, 3));
      }
      return out;
    }));
  }
  const std::string results = outs[0].substr(outs[0].find('\n'));
  EXPECT_EQ(outs[0], "1 threads" + results);
  EXPECT_EQ(outs[1], "2 threads" + results);
  EXPECT_EQ(outs[2], "8 threads" + results);
}

// What the hybrid and adaptive strategies return when no restart runs: the
// relabelled first phase, or the single fit reporting the budget.
std::string restarts_of(const Model& m) {
  std::string out = parallel::guard_rayon_fork() ? "refused" : "owner";
  auto multi = run("lbfgsb-multi", m.objective, m.x0, 3);
  auto single = run("lbfgsb", m.objective, m.x0, 3);
  multi->label = "lbfgsb-hybrid";
  single->n_iter = kMaxiter;
  for (const auto& [s, first] : {std::pair{"lbfgsb-hybrid", multi}, {"lbfgsb-adaptive", single}}) {
    const bool same = bytes_of(run(s, m.objective, m.x0, 3)) == bytes_of(first);
    out += std::string(", ") + s + (same ? " without restarts" : " restarted");
  }
  return out;
}

// Where the pool belongs to the parent, the multi-start runs its starts one
// after another (the same result here, where no share of the budget binds),
// and the hybrid and adaptive strategies skip the restarts that move them in
// the pool's owner.
TEST(MultistartPool, AChildOfThePoolOwnerStaysOnItsOwnThread) {
  const std::string report = test::in_child([] {
    const Model m = reference("airline");
    const std::string multi = bytes_of(run("lbfgsb-multi", m.objective, m.x0, 3));
    const std::string owner = restarts_of(m);
    return owner + "\n" + test::in_child([&] {
             const bool same = bytes_of(run("lbfgsb-multi", m.objective, m.x0, 3)) == multi;
             return restarts_of(m) + (same ? ", multi as in the owner" : ", multi differs");
           });
  });
  EXPECT_EQ(report,
            "owner, lbfgsb-hybrid restarted, lbfgsb-adaptive restarted\n"
            "refused, lbfgsb-hybrid without restarts, lbfgsb-adaptive without restarts, "
            "multi as in the owner");
}

// One candidate runs on the calling thread with all that is left: the pool
// stays unclaimed, as a child forked afterwards shows. Two claim it.
TEST(MultistartPool, ASingleCandidateLeavesThePoolAlone) {
  const Model m = nile_ma1();
  const std::uint64_t first = lbfgsb_count(m, m.x0, kMaxiter);
  const std::uint64_t budget = first + lbfgsb_count(m, {0.0}, kMaxiter) + 2;
  for (const auto& [n_starts, pool] : {std::pair{1, "free"}, std::pair{2, "claimed"}}) {
    const std::string out = test::in_child([&, n_starts = n_starts] {
      const auto r = run("lbfgsb-multi", m.objective, m.x0, n_starts, budget);
      return test::in_child([] {
               return std::string(parallel::guard_rayon_fork() ? "claimed" : "free");
             }) +
             " " + std::to_string(r->n_iter);
    });
    EXPECT_EQ(out, std::string(pool) + " " + std::to_string(budget)) << n_starts;
  }
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string f; std::getline(ss, f, sep);) out.push_back(f);
  return out;
}

Vec numbers(const std::string& text) {
  Vec out;
  for (const std::string& v : split(text, ',')) out.push_back(std::stod(v));
  return out;
}

// Lines of the reference script: the inputs, then the exact starts.
TEST(MultistartStarts, MatchTheReferenceGenerators) {
  std::ifstream in(PELTARO_TEST_DATA_DIR "/multistart_reference.csv");
  const SarimaxConfig no_ar = cfg({0, 0, 1, 0, 0, 0, 0});  // nothing can cancel
  int lines = 0;
  for (std::string line; std::getline(in, line);) {
    const auto f = split(line, ';');
    std::vector<Vec> got;
    std::size_t first = 0;
    if (f[0] == "lcg") {
      const Vec x0 = numbers(f[1]);
      got = ms::lcg_perturbed_starts(x0, x0.size(), std::stoul(f[2]), kMaxiter);
      first = 3;
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
}

TEST(MultistartStarts, PerturbedStartsStayWithinAQuarterOrAFixedStepNearZero) {
  for (const Vec& x : ms::lcg_perturbed_starts(Vec{0.0, 2.0}, 2, 2000, 1)) {
    EXPECT_TRUE(x[0] >= -0.05 && x[0] < 0.05) << x[0];
    EXPECT_TRUE(x[1] >= 1.5 && x[1] < 2.5) << x[1];
  }
  EXPECT_TRUE(ms::lcg_perturbed_starts(Vec{0.0, 2.0}, 2, 3, 0).empty()) << "nothing left";
  EXPECT_EQ(ms::lcg_perturbed_starts(Vec{}, 0, 3, 1), std::vector<Vec>(3)) << "no coordinates";
}

// ARMA(1,1) cancels exactly where both unconstrained coordinates are equal:
// draws near that line are dropped, each having taken its draws.
TEST(MultistartStarts, DroppedScaledStartsStillConsumeTheirDraws) {
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
    if (best) {
      EXPECT_EQ(best->label, "grid");
      EXPECT_EQ(best->f, objective.cost(best->x));
    }
  }
}

// On the reference series every strategy, with and without perturbed
// starts, reaches statsmodels' maximum. The hybrid reports its first phase's
// count, the adaptive strategy its budget, the multi-starts what they spent.
TEST(MultistartStrategies, ReachThePeersMaximumLikelihood) {
  const std::map<std::string, std::string> labels{
      {"lbfgsb", "lbfgsb"},         {"lbfgsb-multi", "lbfgsb-multi(\\+nm)?"},
      {"lbfgs", "lbfgs(\\+nm)?"},   {"lbfgsb-hybrid", "lbfgsb-hybrid"},
      {"bfgs", "bfgs"},             {"lbfgsb-adaptive", "lbfgsb(-adaptive)?"}};
  for (const char* name : {"lakehuron_arma11", "nile_ima11", "airline"}) {
    const Model m = reference(name);
    const auto& config = m.objective.config();
    for (std::size_t k : {ms::automatic_start_count(config, m.x0.size()), std::size_t{0}}) {
      const auto multi = run("lbfgsb-multi", m.objective, m.x0, k);
      for (const std::string s : kStrategies) {
        const auto r = run(s, m.objective, m.x0, k);
        ASSERT_TRUE(r.has_value()) << name << " " << s << ": " << r.error().display();
        EXPECT_TRUE(r->converged) << name << " " << s;
        EXPECT_NEAR(-r->f, m.loglike, 1e-7) << name << " " << s;
        EXPECT_TRUE(std::regex_match(r->label, std::regex(labels.at(s)))) << s << ": " << r->label;
        if (s == "lbfgsb-hybrid") {
          EXPECT_EQ(r->n_iter, multi->n_iter) << name;
        } else if (s == "lbfgsb-adaptive") {
          EXPECT_EQ(r->n_iter, kMaxiter) << name;
        } else if (s == "lbfgsb-multi" || s == "lbfgs") {
          EXPECT_LE(r->n_iter, kMaxiter) << name;
        }
      }
    }
  }
}

// Paths that end in a fallback. Seasonal differencing twice cannot be built,
// so nothing there is evaluable: every strategy ends in Nelder-Mead at x0,
// unconverged; runs that found only the penalty are charged (one request per
// bounded run: x0, the origin, two perturbed starts). A variance of e^800
// cannot be evaluated either, but the origin can: the single run falls back
// to the multi-start and reaches the maximum from there. An empty start fails
// the bounded runner outright, and the labels nest.
TEST(MultistartStrategies, EndInTheirFallbacksWhenRunsFailOrFindOnlyThePenalty) {
  const Model nile = reference("nile_ima11");
  const auto model = [&](core::SarimaxOrder order, Vec x0) {
    // No coordinates at all needs the scale concentrated out.
    const SarimaxConfig config = cfg(order, core::Trend::None, 0, x0.empty());
    return Model{{nile.objective.endog(), std::nullopt, config}, std::move(x0)};
  };
  const core::SarimaxOrder unbuildable{1, 0, 0, 0, 2, 0, 4}, ima{0, 1, 1, 0, 0, 0, 0};
  const Vec stuck{0.3, 0.0}, huge_variance{0.0, 800.0};
  const char* const nm = "nelder-mead \\(fallback\\)";
  struct Case {
    Model m;
    const char* strategy;
    std::size_t n_starts;
    std::string label;
    std::uint64_t n_iter;
    bool recovers;  // reaches the maximum instead of staying at x0
  };
  const Case cases[] = {
      {model(unbuildable, stuck), "lbfgsb", 2, nm, 0, false},
      {model(unbuildable, stuck), "lbfgsb-multi", 2, nm, 4, false},
      {model(unbuildable, stuck), "lbfgsb-hybrid", 2, "lbfgsb-hybrid", 4, false},
      {model(unbuildable, stuck), "lbfgsb-adaptive", 2, nm, 0, false},
      {model(unbuildable, stuck), "lbfgs", 2, nm, 0, false},
      {model(unbuildable, stuck), "bfgs", 2, nm, 0, false},
      {model(ima, huge_variance), "lbfgsb-multi", 0, nm, 1, false},
      {model(ima, huge_variance), "bfgs", 0, nm, 0, false},
      {model(ima, huge_variance), "lbfgsb", 0, "lbfgsb-multi(\\+nm)? \\(fallback\\)", 0, true},
      {model({0, 0, 0, 0, 0, 0, 0}, {}), "lbfgsb", 0, std::string(nm) + " \\(fallback\\)", 0,
       false},
  };
  for (const Case& c : cases) {
    const auto r = run(c.strategy, c.m.objective, c.m.x0, c.n_starts);
    const std::string name = std::string(c.strategy) + " from " + ::testing::PrintToString(c.m.x0);
    ASSERT_TRUE(r.has_value()) << name << ": " << r.error().display();
    EXPECT_TRUE(std::regex_match(r->label, std::regex(c.label))) << name << ": " << r->label;
    if (c.recovers) {
      EXPECT_NEAR(-r->f, nile.loglike, 1e-7) << name;
      EXPECT_TRUE(r->converged) << name;
      continue;
    }
    const double start_cost = c.m.objective.cost(c.m.x0);
    EXPECT_EQ(r->n_iter, c.n_iter) << name;
    EXPECT_EQ(r->x, c.m.x0) << name;
    EXPECT_EQ(r->f, start_cost) << name;
    EXPECT_EQ(r->converged, !is_penalty(start_cost)) << name;
  }
}

Vec demeaned_log_lynx() {
  Vec y = fx::log_of(fx::load_csv_column("lynx.csv", 1));
  const double mean = std::accumulate(y.begin(), y.end(), 0.0) / static_cast<double>(y.size());
  for (double& v : y) v -= mean;
  return y;
}

// From these starts the single bounded run ends where an AR root nearly
// cancels an MA root. The multi-start result replaces it only when lower by
// more than 0.1; in the last case it is lower, by less.
TEST(MultistartSingle, LeavesACancellationRidgeOnlyForAGainAboveTheMargin) {
  const Vec noise = fx::simulate_normal(100, 2);
  const std::tuple<Vec, core::SarimaxOrder, Vec, const char*> cases[] = {
      {demeaned_log_lynx(), {1, 0, 2, 0, 0, 0, 0}, {0.0, -0.8, 0.0, 1.0},
       "lbfgsb-multi (cancellation escalation)"},
      {noise, {2, 0, 2, 0, 0, 0, 0}, {0.0, 0.0, -0.8, 0.0, 1.0},
       "lbfgsb-multi+nm (cancellation escalation)"},
      {noise, {2, 0, 2, 0, 0, 0, 0}, {-0.8, 0.0, 0.4, 0.0, 1.0}, "lbfgsb"},
  };
  for (const auto& [y, order, start, label] : cases) {
    const Model m{{y, std::nullopt, cfg(order)}, unconstrained(start, cfg(order))};
    const auto& config = m.objective.config();
    const auto first =
        runners::run_lbfgsb(m.objective, m.x0, runners::compute_bounds(config), kMaxiter);
    ASSERT_TRUE(first && on_cancellation_ridge(first->x, config)) << label;
    const auto multi =
        run("lbfgsb-multi", m.objective, m.x0, ms::automatic_start_count(config, m.x0.size()));
    ASSERT_TRUE(multi && multi->f < first->f) << label;

    const auto r = run("lbfgsb", m.objective, m.x0, 0);
    EXPECT_EQ(r->label, label);
    const bool escalated = multi->f < first->f - 0.1;
    EXPECT_EQ(r->x, escalated ? multi->x : first->x) << label;
    EXPECT_EQ(r->n_iter, escalated ? std::max(first->n_iter, multi->n_iter) : first->n_iter);
  }
}

// After the runs from x0 and the origin, a share of less than one evaluation
// per start runs no start at all; one each runs them all.
TEST(MultistartMulti, StartsBeyondTheEvaluationsLeftAreDroppedUnrun) {
  const Model m = nile_ma1();
  const std::uint64_t first = lbfgsb_count(m, m.x0, kMaxiter);
  const std::uint64_t spent = first + lbfgsb_count(m, {0.0}, kMaxiter - first);
  for (const auto& [left, n_iter] : {std::pair{3ul, spent}, std::pair{5ul, spent + 5}}) {
    const auto r = run("lbfgsb-multi", m.objective, m.x0, 5, spent + left);
    EXPECT_EQ(r->n_iter, n_iter) << left;
    EXPECT_EQ(r->label, "lbfgsb-multi") << left;
  }
}

}  // namespace
