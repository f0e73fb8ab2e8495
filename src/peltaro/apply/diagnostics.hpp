#pragma once
// Residual diagnostics: the Ljung-Box test for remaining autocorrelation, the
// Jarque-Bera test for normality and a variance-ratio test for
// heteroskedasticity, run on the standardized one-step residuals of a model
// at given parameters.

#include <cstdint>
#include <span>

#include "peltaro/core/error.hpp"
#include "peltaro/core/types.hpp"

namespace peltaro::apply {

// Each test leaves its fields at these values when it cannot run.
struct DiagnosticsResult {
  double ljung_box_stat = 0.0;
  double ljung_box_pvalue = 1.0;
  std::uint64_t ljung_box_df = 1;
  double jarque_bera_stat = 0.0;
  double jarque_bera_pvalue = 1.0;
  double het_stat = 1.0;
  double het_pvalue = 1.0;
};

struct LjungBox {
  double stat = 0.0;
  double pvalue = 1.0;
  std::uint64_t df = 1;
};

struct JarqueBera {
  double stat = 0.0;
  double pvalue = 1.0;
};

struct Heteroskedasticity {
  double stat = 1.0;
  double pvalue = 1.0;
};

// The three tests never fail: non-finite residuals are not screened and give
// NaN statistics and p values.

// min(max(⌊n/5⌋, 1), 10) lags; the degrees of freedom are the lag count less
// the `n_params` model parameters when that leaves at least one.
LjungBox ljung_box(std::span<const double> r, std::uint64_t n_params);

// Skewness and excess kurtosis against the normal; defaults below 3 values.
JarqueBera jarque_bera(std::span<const double> r);

// Sample variance of the last h values over that of the first h, h = n/3
// rounded; two-sided p value from the F distribution with (h − 1, h − 1)
// degrees of freedom. Defaults unless 2 ≤ h and 2h ≤ n.
Heteroskedasticity heteroskedasticity(std::span<const double> r);

// The three tests on one residual vector; all defaults (df 1) when it is empty.
DiagnosticsResult residual_diagnostics(std::span<const double> r, std::uint64_t n_params);

// The three tests on the standardized residuals of `y` under the model at the
// flat parameter vector `params` (model coordinates, its length the K of the
// degrees of freedom), from the first observation the likelihood counts on.
// Fails only as the parameter split or the residuals pipeline does.
core::Result<DiagnosticsResult> compute_diagnostics(std::span<const double> y,
                                                    const core::SarimaxConfig& config,
                                                    std::span<const double> params,
                                                    const core::Columns* exog);

}  // namespace peltaro::apply
