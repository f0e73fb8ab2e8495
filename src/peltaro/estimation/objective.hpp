#pragma once
// What every optimiser minimises: the negative Gaussian log-likelihood of a
// SARIMAX model at a point in unconstrained coordinates, with its analytic
// gradient chained through the parameter transforms.
//
// An objective owns its data and two caches: the state-space model of the
// last evaluation with the filter's forms of it (both refreshed in place, so
// a search allocates them once) and the last value and gradient. The caches are mutable state behind const
// operations: an objective is used by one thread at a time, and every run
// works on its own `clone()`, which starts with both caches empty.

#include <optional>
#include <span>
#include <utility>

#include "peltaro/core/css.hpp"
#include "peltaro/core/initialization.hpp"
#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/estimation/types.hpp"

namespace peltaro::estimation {

// The last successful value-and-gradient evaluation, keyed by its point.
struct CachedEval {
  Vec params;    // the unconstrained point (the key)
  Vec gradient;  // gradient of the negative log-likelihood there
  double value = 0.0;
};

class SarimaxObjective;

// A state-space model and the forms every filter pass over it uses, made from
// it (sparse forms, T', R·Q·R', strategy, covariance kernel).
struct CachedModel {
  core::StateSpace model;
  core::FilterSystem system;
};

// A model taken out of an objective's cache for one evaluation. It goes back
// into the cache when the lease ends, whatever the evaluation's outcome. A
// lease must not outlive its objective nor see it moved; `eval_pipeline` is
// refused on a temporary objective for that reason.
class ModelLease {
 public:
  ModelLease(const SarimaxObjective* owner, CachedModel model)
      : owner_(owner), model_(std::move(model)) {}
  ModelLease(ModelLease&& other) noexcept;
  ModelLease& operator=(ModelLease&&) = delete;
  ModelLease(const ModelLease&) = delete;
  ModelLease& operator=(const ModelLease&) = delete;
  ~ModelLease();

  [[nodiscard]] const core::StateSpace& model() const { return model_.model; }
  [[nodiscard]] const core::FilterSystem& system() const { return model_.system; }

 private:
  const SarimaxObjective* owner_;
  CachedModel model_;
};

// Parameters, model and initial state of one point.
struct PipelineEval {
  core::SarimaxParams params;
  ModelLease model;
  core::KalmanInit init;
};

class SarimaxObjective {
 public:
  // `endog` is the prepared series (already differenced under simple
  // differencing); `exog` the matching regressor columns, absent for none.
  SarimaxObjective(Vec endog, std::optional<Columns> exog, SarimaxConfig config);

  SarimaxObjective(SarimaxObjective&&) noexcept = default;
  SarimaxObjective& operator=(SarimaxObjective&&) noexcept = default;
  // Copies go through `clone`, so that no copy ever carries caches along.
  SarimaxObjective(const SarimaxObjective&) = delete;
  SarimaxObjective& operator=(const SarimaxObjective&) = delete;

  // Deep copy of the data and configuration, both caches empty.
  [[nodiscard]] SarimaxObjective clone() const;

  // Model parameters, state-space model and initial state at x.
  [[nodiscard]] TextResult<PipelineEval> eval_pipeline(std::span<const double> x) const&;
  TextResult<PipelineEval> eval_pipeline(std::span<const double> x) const&& = delete;
  // Log-likelihood at x; "non-finite log-likelihood" when it is not finite.
  [[nodiscard]] TextResult<double> eval_loglike(std::span<const double> x) const;
  // (−loglike, its gradient in unconstrained coordinates) from one filter and
  // one tangent-linear pass.
  [[nodiscard]] TextResult<std::pair<double, Vec>> eval_negloglike_with_gradient(
      std::span<const double> x) const;
  // The gradient alone; its finiteness is not tested.
  [[nodiscard]] TextResult<Vec> analytical_gradient_negloglike(std::span<const double> x) const;

  // Negative log-likelihood, or PENALTY where it cannot be evaluated. Never fails.
  [[nodiscard]] double cost(std::span<const double> x) const;
  // Cache, analytic value and gradient, analytic gradient, finite differences
  // of `cost`: the first that gives a finite vector wins.
  [[nodiscard]] Vec gradient(std::span<const double> x) const;

  [[nodiscard]] const Vec& endog() const { return endog_; }
  [[nodiscard]] const Columns* exog() const { return exog_ ? &*exog_ : nullptr; }
  [[nodiscard]] const std::optional<Columns>& exog_columns() const { return exog_; }
  [[nodiscard]] const SarimaxConfig& config() const { return config_; }

  // Read-only views of the caches, for tests.
  [[nodiscard]] const std::optional<CachedEval>& cached_eval() const { return cache_; }
  [[nodiscard]] bool has_cached_model() const { return ss_cache_.has_value(); }

 private:
  friend class ModelLease;

  Vec endog_;
  std::optional<Columns> exog_;
  SarimaxConfig config_;
  mutable std::optional<CachedEval> cache_;
  mutable std::optional<CachedModel> ss_cache_;
};

// The conditional-sum-of-squares criterion on the raw series, for the
// pre-estimate. No caches.
class CssObjective {
 public:
  // The series and columns are differenced once, here.
  CssObjective(std::span<const double> endog, const Columns* exog, SarimaxConfig config)
      : data_(core::prepare_css_data(endog, config, exog)), config_(config) {}
  CssObjective(std::span<const double> endog, const std::optional<Columns>& exog,
               SarimaxConfig config)
      : CssObjective(endog, exog ? &*exog : nullptr, config) {}

  // −(CSS log-likelihood), or PENALTY. Never fails.
  [[nodiscard]] double cost(std::span<const double> x) const;
  [[nodiscard]] const core::CssData& data() const { return data_; }

 private:
  core::CssData data_;
  SarimaxConfig config_;
};

// The CSS rule of `CssObjective::cost` on borrowed prepared data.
double css_cost(std::span<const double> x, const core::CssData& data, const SarimaxConfig& config);

}  // namespace peltaro::estimation
