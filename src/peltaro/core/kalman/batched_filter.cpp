#include "peltaro/core/kalman/batched_filter.hpp"

#include <optional>
#include <stdexcept>
#include <string>

#include "peltaro/core/kalman/filter_system.hpp"
#include "peltaro/core/kalman/kalman_filter.hpp"
#include "peltaro/core/kalman/sparse_forms.hpp"

namespace peltaro::core {
namespace {

// The series after the first, carried through the filter's own steps over
// the first: every step's kind, P·Z, F and frozen gain are the filter's, so
// all series see the same covariance recursion and switch at the same step.
class OtherSeries final : public FilterObserver {
 public:
  OtherSeries(std::span<const std::span<const double>> series, const StateSpace& ss,
              const KalmanInit& init, const FilterSystem& sys, BatchedKalmanOutput& out)
      : series_(series),
        ss_(ss),
        sys_(sys),
        out_(out),
        states_(series.size(), init.a0),
        scratch_(init.a0.size()),
        intercept_(state_intercept_for(ss, series[0].size())) {}

  bool step(const FilterStep& s) override {
    const std::size_t t = s.t;
    out_.f_values.push_back(s.f);
    out_.innovations[0].push_back(s.v);
    const double d_t = t < ss_.obs_intercept.size() ? ss_.obs_intercept[t] : 0.0;
    for (std::size_t i = 1; i < series_.size(); ++i) {
      const double v = (series_[i][t] - sparse_dot(sys_.sparse_z, states_[i])) - d_t;
      out_.innovations[i].push_back(v);
      advance_mean(sys_, s, v, states_[i], scratch_, intercept_, ss_.k_diff);
    }
    ++seen_;
    return true;
  }

  void steady_from(std::size_t t) override { out_.steady_from = t; }

  [[nodiscard]] std::size_t seen() const { return seen_; }

 private:
  std::span<const std::span<const double>> series_;
  const StateSpace& ss_;
  const FilterSystem& sys_;
  BatchedKalmanOutput& out_;
  std::vector<Eigen::VectorXd> states_;  // the first is the filter's own
  Eigen::VectorXd scratch_;
  std::span<const double> intercept_;
  std::size_t seen_ = 0;
};

}  // namespace

Result<BatchedKalmanOutput> kalman_filter_batched(std::span<const std::span<const double>> series,
                                                  const StateSpace& ss, const KalmanInit& init) {
  require_consistent_sizes(ss, init, "kalman_filter_batched");
  if (series.empty()) {
    return fail(SarimaxError::data_error(
        "kalman_filter_batched: observations must contain at least one series"));
  }
  const std::size_t n = series[0].size();
  for (std::size_t j = 0; j < series.size(); ++j) {
    if (series[j].size() != n) {
      return fail(SarimaxError::data_error(
          "kalman_filter_batched: series " + std::to_string(j) + " has length " +
          std::to_string(series[j].size()) + " but series 0 has length " + std::to_string(n)));
    }
  }
  const std::size_t burn = init.burn;
  if (n <= burn) return fail(not_enough_observations(n, burn));

  BatchedKalmanOutput out;
  out.innovations.resize(series.size());
  for (Vec& v : out.innovations) v.reserve(n);
  out.f_values.reserve(n);
  out.n_eff = n - burn;
  const FilterSystem sys(ss);
  OtherSeries others(series, ss, init, sys, out);
  // The filter's log-likelihood is not wanted: a series with non-finite
  // values fails it, and keeps its innovations all the same.
  (void)kalman_core(series[0], ss, init, sys, false, false, std::nullopt, &others);
  if (others.seen() != n) {
    throw std::logic_error("kalman_filter_batched: the filter stopped before the end");
  }
  return out;
}

}  // namespace peltaro::core
