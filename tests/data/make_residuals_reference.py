"""Build tests/data/residuals_reference.json: one-step prediction errors computed by statsmodels.

The cases are a selection of those of make_loglike_reference.py (same series, models and parameter
vectors; the statsmodels model is built by its `statsmodels_model`). For each, statsmodels filters
the series at the given parameters with its steady-state shortcut switched off and the script records,
for every observation, the forecast error, its variance and the standardized error.

Run from anywhere:  OPENBLAS_NUM_THREADS=1 python tests/data/make_residuals_reference.py
"""

from __future__ import annotations

import json
import math
import sys
import warnings
from pathlib import Path

import numpy as np
import scipy
import statsmodels

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import make_loglike_reference as loglike_reference  # noqa: E402

OUT = HERE / "residuals_reference.json"

SELECTED = [
    "co2_airline",
    "co2_sarma_12_c",
    "air_log_210_010_12_diffuse",
    "lakehuron_ar2_ct_conc",
    "nile_arma11_c_conc",
    "sim_sar12_steady",
    "sim_ar3_sar12_ct_long",
    "drivers_log_100_100_12_c_law_petrol",
    "front_log_200_c_law_petrol_conc",
    "sim_arima111_x1_diffuse",
    "gas_log_111_011_4_simple_diff",
    "air_log_110_100_12_t_simple_diff",
    "drivers_log_airline_law_simple_diff_conc",
    "sim_arima110_x2_simple_diff_conc",
]


def reference(c: dict) -> dict:
    model = loglike_reference.statsmodels_model(c)
    model.ssm.tolerance = 0.0  # filter every step exactly
    result = model.filter(c["params"])
    errors = np.asarray(result.filter_results.forecasts_error[0], dtype=float)
    variances = np.asarray(result.filter_results.forecasts_error_cov[0, 0], dtype=float)
    standardized = np.asarray(result.filter_results.standardized_forecasts_error[0], dtype=float)
    n = len(c["y"])
    if c["simple_differencing"]:
        p, d, q = c["order"]
        P, D, Q, s = c["seasonal"]
        n -= d + D * s
    assert len(errors) == len(variances) == len(standardized) == n, c["name"]
    assert np.all(np.isfinite(errors)) and np.all(variances > 0), c["name"]
    # The standardized error is the error over the square root of its variance.
    assert np.allclose(standardized, errors / np.sqrt(variances), rtol=1e-12, atol=0), c["name"]
    return dict(residuals=errors.tolist(), prediction_variances=variances.tolist(),
                standardized_residuals=standardized.tolist(), scale=float(result.scale))


HOW = (
    f"Computed with statsmodels {statsmodels.__version__} (numpy {np.__version__}, "
    f"scipy {scipy.__version__}) by tests/data/make_residuals_reference.py: the model is built by "
    "make_loglike_reference.statsmodels_model (SARIMAX with trend_offset=0 and the case's flags), "
    "model.ssm.tolerance = 0 so every step is filtered exactly, then res = model.filter(params) and "
    "residuals = res.filter_results.forecasts_error[0], prediction_variances = "
    "res.filter_results.forecasts_error_cov[0, 0], standardized_residuals = "
    "res.filter_results.standardized_forecasts_error[0]; with concentrate_scale the variances are "
    "those statsmodels reports after the scale is concentrated out (scale recorded under 'scale'). "
    "Every observation is included, the diffuse start too; under simple_differencing the series and "
    "the regressors are differenced first. Series and parameters are those of the same-named cases "
    "of loglike_reference.json, whose log-likelihood each case also carries under 'loglike'."
)


def to_json(c: dict) -> dict:
    """The case as make_loglike_reference writes it (its log-likelihood included), plus the filter
    output."""
    return dict(loglike_reference.to_json(c), **reference(c))


def main() -> None:
    warnings.simplefilter("ignore")
    by_name = {c["name"]: c for c in loglike_reference.CASES}
    doc = {"how": HOW, "cases": [to_json(by_name[name]) for name in SELECTED]}
    OUT.write_text(json.dumps(doc, indent=1) + "\n")
    for c in doc["cases"]:
        print(f"{c['name']:44s} n={len(c['residuals']):4d} scale={c['scale']!r}")
    print(f"{len(doc['cases'])} cases, {OUT.stat().st_size} bytes -> {OUT}")


if __name__ == "__main__":
    main()
