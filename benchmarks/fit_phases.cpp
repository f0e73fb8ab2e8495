// Where the default fit's time goes. The steps of estimation::fit for the
// default method are run one by one on the inputs the fit gives them, each
// timed on its own, next to the whole fit:
//
//   prepare     the series the model sees (a copy unless simple differencing)
//   start       the computed start values
//   css         the conditional-sum-of-squares pre-step, when it applies
//   css choice  the two exact log-likelihoods that decide whether its
//               proposal replaces the start
//   warm        the fit under simple differencing, when it applies, and the
//               two log-likelihoods of its choice
//   transform   the start mapped to unconstrained coordinates
//   objective   the objective over the prepared series
//   main run    the default strategy from there (fresh objective, empty caches)
//   record      the fit record at the optimum (one more filter pass)
//
// "rest" is the whole fit less the sum of the steps: what the driver does
// besides them, and timing noise. The main run's bounded L-BFGS-B run is
// split further into the time spent answering its value-and-gradient
// requests and the time the search spends around them. The record's
// log-likelihood is checked against the fit's, so that the steps shown are
// those the fit took.
//
// Each time is the best of many calls. The steps take turns in rounds, so
// that a burst of load on the machine does not fall on one step alone.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "peltaro/core/pipeline.hpp"
#include "peltaro/core/transforms.hpp"
#include "peltaro/estimation/bounded_runner.hpp"
#include "peltaro/estimation/fit_driver.hpp"
#include "peltaro/estimation/fit_result.hpp"
#include "peltaro/estimation/multistart.hpp"
#include "peltaro/estimation/objective.hpp"
#include "peltaro/estimation/presteps.hpp"
#include "peltaro/estimation/start_params.hpp"
#include "timing.hpp"

namespace {

using namespace peltaro;
using namespace peltaro::benchmarks;
using estimation::SarimaxObjective;
using clock_type = std::chrono::steady_clock;

// The fit driver's request limit for its CSS pre-step and the margin a warm
// start must beat the start by; the driver keeps both to itself.
constexpr std::size_t CSS_LIMIT = 300;
constexpr double WARM_START_MARGIN = 1.0;
constexpr std::uint64_t MAXITER = estimation::DEFAULT_MAXITER;

constexpr int ROUNDS = 10;
constexpr double ROUND_SECONDS = 0.05;  // per step and round
constexpr int MIN_CALLS = 5;            // per step and round

volatile double sink_value = 0.0;

// Seconds of one call; what it returns goes to a sink, so that it is computed.
template <class F>
double timed(F&& call) {
  const auto t0 = clock_type::now();
  sink_value = sink_value + call();
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// A step to time. `call` returns the seconds of the part it times, so that it
// can prepare its inputs (a fresh objective) outside the measurement.
struct Step {
  std::string name;
  std::function<double()> call;
  bool in_sum = true;  // one of the fit's steps, not a whole or a part of one
  double best = std::numeric_limits<double>::infinity();
};

void measure(std::vector<Step>& steps) {
  for (int round = 0; round < ROUNDS; ++round) {
    for (Step& step : steps) {
      double spent = 0.0;
      for (int n = 0; n < MIN_CALLS || spent < ROUND_SECONDS; ++n) {
        const auto t0 = clock_type::now();
        step.best = std::min(step.best, step.call());
        spent += std::chrono::duration<double>(clock_type::now() - t0).count();
      }
    }
  }
}

// An objective that adds the time of every value-and-gradient request to a
// total, for the runner, which asks for nothing else on the way.
class TimedObjective {
 public:
  TimedObjective(const SarimaxObjective& objective, double& total)
      : objective_(&objective), total_(&total) {}

  [[nodiscard]] TimedObjective clone() const { return *this; }
  [[nodiscard]] estimation::TextResult<double> eval_loglike(std::span<const double> x) const {
    return objective_->eval_loglike(x);
  }
  [[nodiscard]] estimation::TextResult<std::pair<double, Vec>> eval_negloglike_with_gradient(
      std::span<const double> x) const {
    estimation::TextResult<std::pair<double, Vec>> out;
    *total_ += timed([&] {
      out = objective_->eval_negloglike_with_gradient(x);
      return out ? out->first : 0.0;
    });
    return out;
  }
  [[nodiscard]] const core::SarimaxConfig& config() const { return objective_->config(); }
  [[nodiscard]] const Vec& endog() const { return objective_->endog(); }

 private:
  const SarimaxObjective* objective_;
  double* total_;
};

void bench(const char* title, const Vec& y, const core::SarimaxConfig& config) {
  const auto fit = estimation::fit(y, config, std::nullopt, std::nullopt, std::nullopt, nullptr);
  if (!fit) {
    std::printf("\n%s: the fit failed: %s\n", title, fit.error().display().c_str());
    return;
  }

  // The driver's path, once, for each step's inputs.
  const Vec endog = core::prepare_endog(y, config, nullptr)->series;
  const Vec computed = *estimation::validate_and_get_start_params(y, config, nullptr, nullptr);
  const auto loglike_at = [&](const Vec& params) {
    return estimation::eval_kf_loglike_constrained(endog, config, params, nullptr);
  };
  Vec chosen = computed;
  const std::optional<double> margin = estimation::css_prestep_margin(config);
  std::optional<Vec> css;
  bool css_taken = false;
  if (margin) {
    css = estimation::run_css_optimization(y, config, computed, CSS_LIMIT, nullptr);
    css_taken = css && loglike_at(*css) > loglike_at(chosen) + *margin;
    if (css_taken) chosen = *css;
  }
  const bool warm_applies = estimation::warm_start_applies(config);
  if (warm_applies) {
    const auto warm = estimation::run_sd_warm_start(y, config, nullptr);
    if (warm && loglike_at(*warm) > loglike_at(chosen) + WARM_START_MARGIN) chosen = *warm;
  }
  const Vec x0 = *core::transform_params_inner(chosen, config, false);
  const auto outcome = [&] {
    const SarimaxObjective objective(endog, std::nullopt, config);
    return *estimation::multistart::fit_lbfgsb_single(objective, x0, config, MAXITER);
  }();
  const auto record = estimation::build_fit_result(endog, config, outcome.x, outcome.n_iter,
                                                   outcome.converged, outcome.label, nullptr);

  std::vector<Step> steps;
  const auto step = [&](const char* name, auto call) {
    steps.push_back({name, [call] { return timed(call); }});
  };
  // A fresh objective for every call, made outside the measurement: the
  // fit's objective starts with empty caches.
  const auto on_fresh_objective = [&](const char* name, auto call) {
    steps.push_back({name, [&endog, &config, call] {
                       const SarimaxObjective objective(endog, std::nullopt, config);
                       return timed([&] { return call(objective); });
                     }});
  };
  step("prepare", [&] { return core::prepare_endog(y, config, nullptr)->series[0]; });
  step("start", [&] {
    return (*estimation::validate_and_get_start_params(y, config, nullptr, nullptr))[0];
  });
  if (margin) {
    step("css", [&] {
      const auto r = estimation::run_css_optimization(y, config, computed, CSS_LIMIT, nullptr);
      return r ? (*r)[0] : 0.0;
    });
    if (css) step("css choice", [&] { return loglike_at(*css) + loglike_at(computed); });
  }
  if (warm_applies) {
    step("warm", [&] {
      const auto w = estimation::run_sd_warm_start(y, config, nullptr);
      return w ? loglike_at(*w) + loglike_at(chosen) : 0.0;
    });
  }
  step("transform", [&] { return (*core::transform_params_inner(chosen, config, false))[0]; });
  step("objective", [&] { return SarimaxObjective(endog, std::nullopt, config).endog()[0]; });
  on_fresh_objective("main run", [&](const SarimaxObjective& objective) {
    return estimation::multistart::fit_lbfgsb_single(objective, x0, config, MAXITER)->f;
  });
  step("record", [&] {
    return estimation::build_fit_result(endog, config, outcome.x, outcome.n_iter,
                                        outcome.converged, outcome.label, nullptr)
        ->loglike;
  });
  step("whole fit", [&] {
    return estimation::fit(y, config, std::nullopt, std::nullopt, std::nullopt, nullptr)
        ->loglike;
  });
  // The main run's bounded run alone, with the time of its requests: the
  // least over the calls, as for the run itself.
  double requests_best = std::numeric_limits<double>::infinity();
  on_fresh_objective("bounded run", [&](const SarimaxObjective& objective) {
    double requests = 0.0;
    const double f = estimation::runners::run_lbfgsb(TimedObjective(objective, requests), x0,
                                                     estimation::runners::compute_bounds(config),
                                                     MAXITER)
                         ->f;
    requests_best = std::min(requests_best, requests);
    return f;
  });
  steps[steps.size() - 2].in_sum = false;
  steps.back().in_sum = false;
  measure(steps);

  const double whole = steps[steps.size() - 2].best;
  const double run = steps.back().best;
  std::printf("\n%s\n  %-12s %10s %8s\n", title, "step", "us", "share");
  double sum = 0.0;
  for (const Step& s : steps) {
    if (!s.in_sum) continue;
    sum += s.best;
    std::printf("  %-12s %10.2f %7.1f%%\n", s.name.c_str(), s.best * 1e6, 100.0 * s.best / whole);
  }
  std::printf("  %-12s %10.2f %7.1f%%\n", "rest", (whole - sum) * 1e6,
              100.0 * (whole - sum) / whole);
  std::printf("  %-12s %10.2f %7.1f%%\n", "whole fit", whole * 1e6, 100.0);
  std::printf("  css %s; warm start %s\n",
              !margin ? "does not apply" : css_taken ? "taken" : "not taken",
              warm_applies ? "applies" : "does not apply");
  std::printf("  main run: %llu requests (%s); its bounded run %.2f us, of which %.2f us in the "
              "requests (%.2f us each) and %.2f us around them\n",
              static_cast<unsigned long long>(outcome.n_iter), outcome.label.c_str(), run * 1e6,
              requests_best * 1e6,
              requests_best * 1e6 / static_cast<double>(std::max<std::uint64_t>(outcome.n_iter, 1)),
              (run - requests_best) * 1e6);
  std::printf("  loglike %.6f, the fit's %.6f\n", record->loglike, fit->loglike);
}

}  // namespace

int main() {
  const Vec air = log_of(load_column("airpassengers.csv", 1));
  core::SarimaxConfig airline;
  airline.order = {0, 1, 1, 0, 1, 1, 12};
  bench("airline (0,1,1)(0,1,1,12), log AirPassengers", air, airline);

  const Vec lynx = log_of(load_column("lynx.csv", 1));
  core::SarimaxConfig ar2;
  ar2.order = {2, 0, 0, 0, 0, 0, 0};
  ar2.trend = core::Trend::Constant;
  bench("AR(2) + constant, log lynx", lynx, ar2);
  return 0;
}
