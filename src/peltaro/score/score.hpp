#pragma once
// The analytic score: the exact gradient of the Kalman log-likelihood with
// respect to the model (constrained) parameters, in flat-vector order, summed
// (`score`) or one row per observation in the likelihood (`score_obs`).

#include <span>
#include <vector>

#include "peltaro/core/error.hpp"
#include "peltaro/core/initialization.hpp"
#include "peltaro/core/params.hpp"
#include "peltaro/core/state_space.hpp"
#include "peltaro/core/types.hpp"
#include "peltaro/score/tangent_linear_pass.hpp"

namespace peltaro::score {

// Everything the pass hands over, one record per observation; the rows of dv
// and df are kept flat (row i at i·k) so that recording never allocates.
struct ObsRecords {
  Vec v;
  Vec finv;
  Vec dv;
  Vec df;
  std::size_t k = 0;

  ObsRecords(std::size_t k_params, std::size_t capacity) : k(k_params) {
    v.reserve(capacity);
    finv.reserve(capacity);
    dv.reserve(capacity * k_params);
    df.reserve(capacity * k_params);
  }

  void record(std::span<const double> dv_row, std::span<const double> df_row, double v_t,
              double finv_t) {
    v.push_back(v_t);
    finv.push_back(finv_t);
    dv.insert(dv.end(), dv_row.begin(), dv_row.end());
    df.insert(df.end(), df_row.begin(), df_row.end());
  }

  [[nodiscard]] std::size_t size() const { return v.size(); }
  [[nodiscard]] std::span<const double> dv_row(std::size_t i) const { return {dv.data() + i * k, k}; }
  [[nodiscard]] std::span<const double> df_row(std::size_t i) const { return {df.data() + i * k, k}; }
};

static_assert(TlkfSink<ObsRecords>);

// Gradient of the log-likelihood that `kalman_loglike` returns for the same
// inputs; not negated, not divided by the number of observations. `ss` and
// `init` must be built for `config`, `params` and a series of y.size()
// observations, as `kalman_eval` builds them; `exog` (may be null) holds the
// regressor columns the system was built from.
core::Result<Vec> score(std::span<const double> y, const core::StateSpace& ss,
                        const core::KalmanInit& init, const core::SarimaxConfig& config,
                        const core::SarimaxParams& params, bool concentrate_scale,
                        const core::Columns* exog);

struct LoglikeAndScore {
  double loglike = 0.0;
  Vec gradient;
};

// The log-likelihood and its gradient from one pass: the value is the one
// `kalman_loglike` returns for the same inputs and `system` bit for bit
// (and fails as it fails), the gradient the one `score` returns. `system`
// must be made from `ss`.
core::Result<LoglikeAndScore> loglike_and_score(std::span<const double> y,
                                                const core::StateSpace& ss,
                                                const core::KalmanInit& init,
                                                const core::SarimaxConfig& config,
                                                const core::SarimaxParams& params,
                                                bool concentrate_scale, const core::Columns* exog,
                                                const core::FilterSystem& system);

// One row per observation t ≥ burn (row i belongs to t = burn + i); the rows
// sum to `score`.
core::Result<std::vector<Vec>> score_obs(std::span<const double> y, const core::StateSpace& ss,
                                         const core::KalmanInit& init,
                                         const core::SarimaxConfig& config,
                                         const core::SarimaxParams& params,
                                         bool concentrate_scale, const core::Columns* exog);

}  // namespace peltaro::score
