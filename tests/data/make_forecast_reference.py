"""Build tests/data/forecast_reference.json: SARIMAX forecasts computed by statsmodels.

Every case fixes a series, a model, a parameter vector in model (constrained) space, a horizon, an
alpha and (for models with regressors) the future regressor values, and records statsmodels'
`get_forecast` at that point: mean, variance and the 1 - alpha interval. The models are built by
`statsmodels_model` of make_loglike_reference.py, so the likelihoods of the two references agree
(trend_offset=0, statsmodels' default initialisation); filtering is exact (ssm.tolerance = 0).

A case with simple_differencing=True is compared with the forecast of the same model in its
integrated form (simple_differencing=False): after the burn-in its differencing states are known,
so both forecast the same level with the same error variances, covariances between steps
included. The differenced model's trend counts time on the differenced series; the integrated
reference counts it on the series itself, so a slope b on the differenced series becomes the
trend "ct" with constant b0 - b*(d + D*s) in the reference (column "reference_trend").

Run from anywhere:  OPENBLAS_NUM_THREADS=1 python tests/data/make_forecast_reference.py
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

# The same series, generators and statsmodels model as the log-likelihood reference.
from make_loglike_reference import (  # noqa: E402
    NS, co2, law_petrol, lakehuron, log_air, log_drivers, log_front, log_gas, log_lynx, nile,
    regressors, simulate, statsmodels_model)

OUT = HERE / "forecast_reference.json"
CASES: list[dict] = []


def case(name, y, order, seasonal, params, *, steps, alpha, exog=None, future_exog=None,
         trend=None, concentrate_scale=False, simple_differencing=False,
         enforce_stationarity=True, enforce_invertibility=True):
    y = np.asarray(y, dtype=float)
    if exog is not None:
        exog = np.asarray(exog, dtype=float).reshape(len(y), -1)
        future_exog = np.asarray(future_exog, dtype=float).reshape(steps, -1)
    CASES.append(dict(
        name=name, y=y, order=tuple(order), seasonal=tuple(seasonal),
        params=np.asarray(params, dtype=float), steps=steps, alpha=alpha, exog=exog,
        future_exog=future_exog, trend=trend, concentrate_scale=concentrate_scale,
        simple_differencing=simple_differencing, enforce_stationarity=enforce_stationarity,
        enforce_invertibility=enforce_invertibility))


def future_law_petrol(steps: int) -> np.ndarray:
    """The law stays in force; the petrol price wanders around its last value."""
    h = np.arange(steps)
    return np.column_stack([np.ones(steps), law_petrol[-1, 1] * (1.0 + 0.02 * np.sin(0.7 * h))])


# ---------------------------------------------------------------- plain forecasts
case("lakehuron_ar2_c", lakehuron, (2, 0, 0), NS, [124.95, 1.038, -0.254, 0.475],
     steps=12, alpha=0.05, trend="c")
case("nile_arma11_c_conc", nile, (1, 0, 1), NS, [314.84, 0.658771, -0.248],
     steps=20, alpha=0.1, trend="c", concentrate_scale=True)
case("nile_arima011", nile, (0, 1, 1), NS, [-0.733449, 20598.9], steps=10, alpha=0.2)
case("lynx_log_arma21_c_noninvertible", log_lynx, (2, 0, 1), NS,
     [2.28183, 1.4752, -0.816566, -0.228437, 0.264514], steps=36, alpha=0.01, trend="c",
     enforce_invertibility=False)
case("co2_airline", co2, (0, 1, 1), (0, 1, 1, 12), [-0.350074, -0.850552, 0.0826],
     steps=36, alpha=0.05)
case("air_log_210_010_12_diffuse", log_air, (2, 1, 0), (0, 1, 0, 12),
     [-0.348178, -0.0144325, 0.00184124], steps=24, alpha=0.1, enforce_stationarity=False)
case("gas_log_200_100_4_ct", log_gas, (2, 0, 0), (1, 0, 0, 4),
     [8.51466, 0.0331834, -0.133922, -0.843502, 0.0686582, 0.0443964],
     steps=16, alpha=0.05, trend="ct")
case("drivers_log_100_100_12_c_law_petrol", log_drivers, (1, 0, 0), (1, 0, 0, 12),
     [1.68088, -0.221054, -2.79923, 0.337434, 0.67156, 0.00782151], steps=12, alpha=0.05,
     trend="c", exog=law_petrol, future_exog=future_law_petrol(12))
case("front_log_101_011_12_law_petrol", log_front, (1, 0, 1), (0, 1, 1, 12),
     [-0.336036, -3.30235, 0.984887, -0.808828, -0.851215, 0.00725894], steps=24, alpha=0.2,
     exog=law_petrol, future_exog=future_law_petrol(24))
n = 150
case("sim_ar1_t_one_step", simulate(109, n, ar=[0.6], intercept=0.01 * np.arange(n)),
     (1, 0, 0), NS, [0.01, 0.6, 1.0], steps=1, alpha=0.05, trend="t")
case("sim_arima110_t", simulate(110, n, ar=[0.5], intercept=0.002 * np.arange(n), d=1),
     (1, 1, 0), NS, [0.002, 0.5, 1.0], steps=30, alpha=0.01, trend="t")
n = 300
case("sim_ar3_sar12_ct", simulate(106, n, ar=[0.5, -0.2, 0.1], sar=[0.4], s=12,
                                  intercept=18.0 + 0.018 * np.arange(n)),
     (3, 0, 0), (1, 0, 0, 12), [18.0, 0.018, 0.5, -0.2, 0.1, 0.4, 1.0], steps=36, alpha=0.05,
     trend="ct")
case("sim_sarma_s12_conc", simulate(104, n, ar=[0.7], sma=[-0.6], s=12, sigma2=0.5),
     (1, 0, 0), (0, 0, 1, 12), [0.7, -0.6], steps=24, alpha=0.1, concentrate_scale=True)
n = 200
x1 = regressors(201, n + 8, [5.0])
case("sim_arma11_c_x1", simulate(114, n, ar=[0.6], ma=[0.3], intercept=np.full(n, 8.0))
     + 2.0 * x1[:n, 0], (1, 0, 1), NS, [8.0, 2.0, 0.6, 0.3, 1.0], steps=8, alpha=0.05,
     trend="c", exog=x1[:n], future_exog=x1[n:])

# ---------------------------------------------------------------- simple differencing
case("co2_airline_simple_diff", co2, (0, 1, 1), (0, 1, 1, 12), [-0.350074, -0.850552, 0.0826],
     steps=36, alpha=0.05, simple_differencing=True)
case("gas_log_111_011_4_simple_diff", log_gas, (1, 1, 1), (0, 1, 1, 4),
     [-0.20319, -0.886784, -0.202702, 0.0106116], steps=20, alpha=0.1,
     simple_differencing=True)
case("air_log_110_100_12_t_simple_diff", log_air, (1, 1, 0), (1, 0, 0, 12),
     [1e-5, -0.29, 0.9, 0.0018], steps=24, alpha=0.05, trend="t", simple_differencing=True)
case("drivers_log_airline_law_simple_diff_conc", log_drivers, (0, 1, 1), (0, 1, 1, 12),
     [-0.245011, -0.692259, -0.881699], steps=18, alpha=0.05, exog=law_petrol[:, :1],
     future_exog=future_law_petrol(18)[:, :1], simple_differencing=True, concentrate_scale=True)
n = 200
x2 = regressors(203, n + 15, [2.0, 7.0])
case("sim_arima210_x2_simple_diff", simulate(116, n, ar=[0.45], d=2) + x2[:n] @ [-1.0, 0.5],
     (1, 2, 0), NS, [-1.0, 0.5, 0.45, 1.0], steps=15, alpha=0.05, exog=x2[:n],
     future_exog=x2[n:], simple_differencing=True)
n = 150
case("sim_arima111_ct_simple_diff",
     simulate(111, n, ar=[0.4], ma=[-0.3], intercept=0.3 + 0.001 * np.arange(n), d=1),
     (1, 1, 1), NS, [0.3, 0.001, 0.4, -0.3, 1.0], steps=12, alpha=0.05, trend="ct",
     simple_differencing=True)


# ---------------------------------------------------------------- reference values
def k_trend(trend) -> int:
    return {None: 0, "n": 0, "c": 1, "t": 1, "ct": 2}[trend]


def reference_model(c: dict):
    """The statsmodels model and parameters whose forecast is the reference."""
    if not c["simple_differencing"]:
        return dict(c), c["params"]
    _, d, _ = c["order"]
    _, D, _, s = c["seasonal"]
    dropped = d + D * s
    ref = dict(c, simple_differencing=False)
    params = c["params"]
    if c["trend"] in ("t", "ct"):
        # The same trend counted from the first observation instead of the first difference.
        slope = params[k_trend(c["trend"]) - 1]
        constant = params[0] if c["trend"] == "ct" else 0.0
        params = np.concatenate([[constant - slope * dropped, slope], params[k_trend(c["trend"]):]])
        ref["trend"] = "ct"
    return ref, params


def forecast(c: dict) -> dict:
    ref, params = reference_model(c)
    model = statsmodels_model(ref)
    model.ssm.tolerance = 0.0  # filter every step exactly, as the module does
    result = model.filter(params)
    assert math.isfinite(result.llf), c["name"]
    prediction = result.get_forecast(c["steps"], exog=c["future_exog"])
    interval = np.asarray(prediction.conf_int(alpha=c["alpha"]))
    out = dict(mean=np.asarray(prediction.predicted_mean), variance=np.asarray(prediction.var_pred_mean),
               ci_lower=interval[:, 0], ci_upper=interval[:, 1])
    for key, values in out.items():
        assert values.shape == (c["steps"],) and np.all(np.isfinite(values)), (c["name"], key)
    return dict(reference_trend=ref["trend"], reference_params=params.tolist(),
                **{key: values.tolist() for key, values in out.items()})


HOW = (
    f"Computed with statsmodels {statsmodels.__version__} (numpy {np.__version__}, scipy "
    f"{scipy.__version__}) by tests/data/make_forecast_reference.py: the model of "
    "make_loglike_reference.statsmodels_model (SARIMAX with trend_offset=0 and statsmodels' default "
    "initialisation), ssm.tolerance = 0, result = model.filter(params), "
    "prediction = result.get_forecast(steps, exog=future_exog); mean = predicted_mean, variance = "
    "var_pred_mean, ci_lower/ci_upper = conf_int(alpha=alpha). Cases with simple_differencing=True "
    "are compared with the same model in its integrated form (simple_differencing=False), with a "
    "slope on the differenced series rewritten as trend 'ct' on the series' own time index "
    "(reference_trend, reference_params). Series: R datasets from data/*.csv and simulated series "
    "with fixed seeds, stored inline."
)


def to_json(c: dict) -> dict:
    matrix = (lambda m: None if m is None else m.tolist())
    return dict(
        name=c["name"], y=c["y"].tolist(), order=list(c["order"]), seasonal=list(c["seasonal"]),
        params=c["params"].tolist(), steps=c["steps"], alpha=c["alpha"],
        exog=matrix(c["exog"]), future_exog=matrix(c["future_exog"]), trend=c["trend"],
        concentrate_scale=c["concentrate_scale"], simple_differencing=c["simple_differencing"],
        enforce_stationarity=c["enforce_stationarity"],
        enforce_invertibility=c["enforce_invertibility"], **forecast(c))


def main() -> None:
    warnings.simplefilter("ignore")
    names = [c["name"] for c in CASES]
    assert len(names) == len(set(names))
    doc = {"how": HOW, "cases": [to_json(c) for c in CASES]}
    OUT.write_text(json.dumps(doc, indent=1) + "\n")
    for c in doc["cases"]:
        print(f"{c['name']:44s} steps={c['steps']:3d} alpha={c['alpha']:<5} "
              f"last mean={c['mean'][-1]:.6g} last variance={c['variance'][-1]:.6g}")
    print(f"{len(doc['cases'])} cases, {OUT.stat().st_size} bytes -> {OUT}")


if __name__ == "__main__":
    main()
