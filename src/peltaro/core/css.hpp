#pragma once
// Differencing of a series by a model configuration, and the conditional
// sum-of-squares log-likelihood that estimation uses for start values.

#include <optional>
#include <span>

#include "peltaro/core/params.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::core {

// D seasonal differences at lag s, then d ordinary differences; a pass that
// does not fit the remaining length is skipped (with the passes after it).
Vec apply_differencing(std::span<const double> x, const SarimaxConfig& config);

// Conditional sum-of-squares log-likelihood of the ARMA part on the
// differenced series, the scale concentrated out: −(m/2)·ln(SSR/m) − m/2.
// The regression effect is removed only when the number of columns equals
// the number of `exog` coefficients; otherwise the columns are ignored.
// `exog` may be null. The trend enters as the likelihood's state intercept
// does: the value at time τ − 1 is subtracted from the differenced value at
// time τ, times counted on the model's series (the raw one, or the
// differenced one under simple differencing). sigma2 plays no part. Returns
// −∞ when the differenced series is too short for the lag polynomials or the
// sum of squares is not a finite positive number.
double css_loglike_with_exog(std::span<const double> y, const SarimaxConfig& config,
                             const SarimaxParams& params, const Columns* exog);

// The differenced data of the criterion, for a search that evaluates it many
// times on one series: the series and each column differenced once.
struct CssData {
  Vec w;                      // the differenced series
  std::optional<Columns> xd;  // the differenced columns, when given
  double first_time = 0.0;    // the model's time of w[0]
};
CssData prepare_css_data(std::span<const double> y, const SarimaxConfig& config,
                         const Columns* exog);
// `css_loglike_with_exog` on prepared data.
double css_loglike_prepared(const CssData& data, const SarimaxConfig& config,
                            const SarimaxParams& params);

}  // namespace peltaro::core
