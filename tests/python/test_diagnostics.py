"""sarimax_diagnostics: the result dict against statsmodels and scipy, and the error paths of the
argument list it shares with sarimax_residuals.

Reference values come from tests/data/diagnostics_reference.json, written by
tests/data/make_diagnostics_reference.py: acorr_ljungbox, jarque_bera and the variance ratio with
scipy's F distribution, on residual vectors and on statsmodels' standardized forecast errors of
models, less the observations their likelihood leaves out.
"""

import json
import pathlib

import numpy as np
import pytest

import peltaro

ROOT = pathlib.Path(__file__).resolve().parents[2]
REFERENCE = json.loads((ROOT / "tests" / "data" / "diagnostics_reference.json").read_text())
KEYS = ["ljung_box_stat", "ljung_box_pvalue", "ljung_box_df", "jarque_bera_stat",
        "jarque_bera_pvalue", "het_stat", "het_pvalue"]
# Values of a test that does not run (null in the reference).
DEFAULTS = {"jarque_bera_stat": 0.0, "jarque_bera_pvalue": 1.0, "het_stat": 1.0, "het_pvalue": 1.0}
FLAGS = ["concentrate_scale", "trend", "simple_differencing", "enforce_stationarity",
         "enforce_invertibility"]


def model_call(case):
    exog = None if case["exog"] is None else np.asarray(case["exog"], dtype=np.float64)
    return peltaro.sarimax_diagnostics(
        np.asarray(case["y"], dtype=np.float64), tuple(case["order"]), tuple(case["seasonal"]),
        np.asarray(case["params"], dtype=np.float64), exog=exog, **{f: case[f] for f in FLAGS})


def vector_call(case):
    """A model without dynamics whose standardized residuals are the vector itself and whose
    parameter count is K: K - 1 regressors with zero coefficients and unit variance. With K = 0
    the scale is concentrated, which divides every residual by one constant."""
    r = np.asarray(case["r"], dtype=np.float64)
    k = case["n_params"]
    if k == 0:
        return peltaro.sarimax_diagnostics(r, (0, 0, 0), (0, 0, 0, 0), np.empty(0),
                                           concentrate_scale=True)
    exog = np.ones((len(r), k - 1)) if k > 1 else None
    params = np.append(np.zeros(k - 1), 1.0)
    return peltaro.sarimax_diagnostics(r, (0, 0, 0), (0, 0, 0, 0), params, exog=exog)


CASES = [(vector_call, c) for c in REFERENCE["vectors"]] + \
    [(model_call, c) for c in REFERENCE["models"]]


@pytest.mark.parametrize("call, case", CASES, ids=[c["name"] for _, c in CASES])
def test_matches_statsmodels(call, case):
    result = call(case)
    assert list(result) == KEYS
    assert type(result["ljung_box_df"]) is int
    assert result["ljung_box_df"] == case["ljung_box_df"]
    for key in ["ljung_box_stat", "jarque_bera_stat", "het_stat"]:
        want = DEFAULTS[key] if case[key] is None else case[key]
        assert type(result[key]) is float
        assert result[key] == pytest.approx(want, rel=1e-6, abs=0.0), key
    for key in ["ljung_box_pvalue", "jarque_bera_pvalue", "het_pvalue"]:
        want = DEFAULTS[key] if case[key] is None else case[key]
        assert result[key] == pytest.approx(want, rel=0.0, abs=1e-6), key


N = 40
Y = np.random.default_rng(3).standard_normal(N)
AR1 = np.array([0.5, 1.0])  # phi, sigma2


def test_signature():
    # The argument list is sarimax_residuals', whose positional order is checked there.
    with pytest.raises(TypeError) as info:
        peltaro.sarimax_diagnostics(Y, (1, 0, 0), (0, 0, 0, 0), AR1, None, False, None, False,
                                    True, True, 1)
    assert str(info.value) == \
        "sarimax_diagnostics() takes from 4 to 10 positional arguments but 11 were given"


@pytest.mark.parametrize("overrides, exc_type, message", [
    # conversion, in signature order
    ({"y": list(Y)}, TypeError,
     "argument 'y': 'list' object cannot be converted to 'numpy.ndarray'"),
    ({"params": AR1.astype(np.float32), "exog": np.ones(N)}, TypeError,
     "argument 'params': type mismatch: from=float32, to=float64"),
    ({"exog": np.ones(N)}, TypeError, "argument 'exog': dimensionality mismatch: from=1, to=2"),
    ({"concentrate_scale": 1, "trend": 1}, TypeError,
     "argument 'concentrate_scale': 'int' object cannot be converted to 'bool'"),
    ({"trend": 1, "simple_differencing": None}, TypeError,
     "argument 'trend': 'int' object cannot be converted to 'str'"),
    ({"simple_differencing": None, "enforce_stationarity": 0}, TypeError,
     "argument 'simple_differencing': 'NoneType' object cannot be converted to 'bool'"),
    ({"enforce_stationarity": 0, "enforce_invertibility": "yes"}, TypeError,
     "argument 'enforce_stationarity': 'int' object cannot be converted to 'bool'"),
    ({"enforce_invertibility": "yes"}, TypeError,
     "argument 'enforce_invertibility': 'str' object cannot be converted to 'bool'"),
    # the layout of y before any check of values or model
    ({"y": np.repeat(Y, 2)[::2], "exog": np.full((N, 1), np.nan)}, TypeError,
     "The given array is not contiguous or is misaligned."),
    ({"y": np.where(np.arange(N) == 5, np.inf, Y)}, ValueError,
     "input time series contains NaN or Inf values"),
    # the computation: parameter split, model, variance, filter
    ({"params": AR1[:1], "seasonal": (0, 2, 0, 4)}, ValueError,
     "parameter length mismatch: expected 2, got 1"),
    ({"params": np.array([0.5, -1.0])}, ValueError,
     "data error: variance sigma2 must be positive, got -1"),
    ({"params": np.array([0.5, np.nan])}, ValueError,
     "data error: variance sigma2 must be positive and finite, got NaN"),
    ({"params": np.array([0.5, np.inf])}, ValueError,
     "data error: variance sigma2 must be positive and finite, got inf"),
    ({"params": np.array([1.0]), "order": (0, 0, 0), "seasonal": (0, 1, 0, 50)},
     ValueError, "data error: Not enough observations: n=40 <= burn=50"),
    ({"params": np.array([np.nan, 1.0])}, ValueError,
     "data error: non-finite Kalman statistics encountered (possible NaN/Inf in inputs)"),
])
def test_errors(overrides, exc_type, message):
    with pytest.raises(exc_type) as info:
        peltaro.sarimax_diagnostics(
            **{"y": Y, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1, **overrides})
    assert type(info.value) is exc_type
    assert str(info.value) == message
