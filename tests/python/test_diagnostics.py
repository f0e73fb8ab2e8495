"""sarimax_diagnostics: the result dict against statsmodels and scipy, and every error path.

Reference values come from tests/data/diagnostics_reference.json, written by
tests/data/make_diagnostics_reference.py: acorr_ljungbox, jarque_bera and the
variance ratio with scipy's F distribution, run on residual vectors and on
statsmodels' standardized forecast errors of models, less the observations
their likelihood leaves out.
"""

import json
import math
import pathlib

import numpy as np
import pytest

import peltaro

ROOT = pathlib.Path(__file__).resolve().parents[2]
REFERENCE = json.loads((ROOT / "tests" / "data" / "diagnostics_reference.json").read_text())
MODELS, VECTORS = REFERENCE["models"], REFERENCE["vectors"]
KEYS = ["ljung_box_stat", "ljung_box_pvalue", "ljung_box_df", "jarque_bera_stat",
        "jarque_bera_pvalue", "het_stat", "het_pvalue"]
# Values of a test that does not run (null in the reference).
DEFAULTS = {"jarque_bera_stat": 0.0, "jarque_bera_pvalue": 1.0, "het_stat": 1.0, "het_pvalue": 1.0}
FLAGS = ["concentrate_scale", "trend", "simple_differencing", "enforce_stationarity",
         "enforce_invertibility"]

N = 40
Y = np.random.default_rng(3).standard_normal(N)
AR1 = np.array([0.5, 1.0])  # phi, sigma2


def model_call(case, function):
    exog = None if case["exog"] is None else np.asarray(case["exog"], dtype=np.float64)
    return function(np.asarray(case["y"], dtype=np.float64), tuple(case["order"]),
                    tuple(case["seasonal"]), np.asarray(case["params"], dtype=np.float64),
                    exog=exog, **{flag: case[flag] for flag in FLAGS})


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


def assert_matches(result, case):
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


@pytest.mark.parametrize("case", VECTORS, ids=[c["name"] for c in VECTORS])
def test_matches_statsmodels_on_residual_vectors(case):
    assert_matches(vector_call(case), case)


@pytest.mark.parametrize("case", MODELS, ids=[c["name"] for c in MODELS])
def test_matches_statsmodels_after_the_diffuse_start(case):
    assert_matches(model_call(case, peltaro.sarimax_diagnostics), case)


def test_residuals_keep_the_diffuse_start():
    airline = next(c for c in MODELS if c["name"] == "airline")
    assert airline["burn"] == 13
    residuals = model_call(airline, peltaro.sarimax_residuals)
    assert len(residuals["standardized_residuals"]) == airline["n_residuals"] == 144


def test_equal_residuals_give_the_no_spread_defaults():
    result = peltaro.sarimax_diagnostics(np.zeros(30), (0, 0, 0), (0, 0, 0, 0), np.array([1.0]))
    assert result == {"ljung_box_stat": 0.0, "ljung_box_pvalue": 1.0, "ljung_box_df": 6,
                      "jarque_bera_stat": 0.0, "jarque_bera_pvalue": 1.0,
                      "het_stat": math.inf, "het_pvalue": 0.0}


def test_positional_and_keyword_calls_agree():
    positional = peltaro.sarimax_diagnostics(Y, (1, 0, 0), (0, 0, 0, 0), AR1, None, False, None,
                                             False, True, True)
    assert peltaro.sarimax_diagnostics(y=Y, order=(1, 0, 0), seasonal=(0, 0, 0, 0),
                                       params=AR1) == positional


# --- errors --------------------------------------------------------------------

CONTIGUITY = "The given array is not contiguous or is misaligned."


def base(**overrides):
    kwargs = {"y": Y, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1}
    kwargs.update(overrides)
    return kwargs


@pytest.mark.parametrize(
    "overrides, exc_type, message",
    [
        # conversion, in signature order
        ({"y": list(Y)}, TypeError,
         "argument 'y': 'list' object cannot be converted to 'numpy.ndarray'"),
        ({"order": [1, 0, 0], "params": [1.0]}, TypeError,
         "argument 'order': 'list' object cannot be converted to 'tuple'"),
        ({"seasonal": (0, 0, 0)}, ValueError,
         "expected tuple of length 4, but got tuple of length 3"),
        ({"order": (1, -1, 0)}, OverflowError, "can't convert negative int to unsigned"),
        ({"params": AR1.astype(np.float32)}, TypeError,
         "argument 'params': type mismatch: from=float32, to=float64"),
        ({"exog": np.ones(N)}, TypeError, "argument 'exog': dimensionality mismatch: from=1, to=2"),
        ({"concentrate_scale": 1}, TypeError,
         "argument 'concentrate_scale': 'int' object cannot be converted to 'bool'"),
        ({"trend": 1, "simple_differencing": None}, TypeError,
         "argument 'trend': 'int' object cannot be converted to 'str'"),
        ({"simple_differencing": None, "enforce_stationarity": 0}, TypeError,
         "argument 'simple_differencing': 'NoneType' object cannot be converted to 'bool'"),
        ({"enforce_stationarity": 0}, TypeError,
         "argument 'enforce_stationarity': 'int' object cannot be converted to 'bool'"),
        ({"enforce_invertibility": "yes"}, TypeError,
         "argument 'enforce_invertibility': 'str' object cannot be converted to 'bool'"),
        # slices: y, then params, before any check of values or model
        ({"y": np.repeat(Y, 2)[::2], "exog": np.full((N, 1), np.nan)}, TypeError, CONTIGUITY),
        ({"params": np.array([0.5, 0.0, 1.0])[::2], "order": (21, 0, 0)}, TypeError, CONTIGUITY),
        # series, regressors, orders and trend
        ({"y": np.where(np.arange(N) == 5, np.inf, Y)}, ValueError,
         "input time series contains NaN or Inf values"),
        ({"exog": np.ones((N - 1, 1))}, ValueError,
         "exog has 39 rows but endog has 40 observations; they must match"),
        ({"exog": np.where(np.arange(2 * N).reshape(N, 2) == 7, np.nan, 1.0)}, ValueError,
         "exog contains NaN or Inf at column 1, row 3"),
        ({"order": (21, 4, 0)}, ValueError, "AR order p=21 exceeds maximum 20"),
        ({"seasonal": (0, 0, 1, 1)}, ValueError,
         "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"),
        ({"trend": "CT"}, ValueError, "unknown trend 'CT', expected one of: 'n', 'c', 't', 'ct'"),
        # the computation: parameter split, model, variance, filter
        ({"params": AR1[:1]}, ValueError, "parameter length mismatch: expected 2, got 1"),
        ({"params": AR1[:1], "order": (1, 0, 0), "seasonal": (0, 2, 0, 4)}, ValueError,
         "parameter length mismatch: expected 2, got 1"),
        ({"order": (0, 0, 0), "seasonal": (0, 2, 0, 4), "params": np.array([1.0])}, ValueError,
         "state space construction failed: Seasonal differencing D > 1 is not yet supported"),
        ({"params": np.array([0.5, -1.0])}, ValueError,
         "data error: variance sigma2 must be positive, got -1"),
        ({"params": np.array([0.5, 0.0])}, ValueError,
         "data error: variance sigma2 must be positive, got 0"),
        ({"params": np.array([0.5, np.nan])}, ValueError,
         "data error: variance sigma2 must be positive, got NaN"),
        ({"params": np.array([0.5, np.inf])}, ValueError,
         "data error: variance sigma2 must be positive, got inf"),
        ({"params": np.array([1.0]), "order": (0, 0, 0), "seasonal": (0, 1, 0, 50)},
         ValueError, "data error: Not enough observations: n=40 <= burn=50"),
        ({"params": np.array([0.5, 1.0]), "order": (0, 0, 0), "seasonal": (0, 1, 0, 40),
          "simple_differencing": True, "trend": "c"},
         ValueError, "data error: Not enough observations: n=40 <= burn=40"),
        ({"params": np.array([np.nan, 1.0])}, ValueError,
         "data error: non-finite Kalman statistics encountered (possible NaN/Inf in inputs)"),
        ({"y": np.array([], dtype=np.float64)}, ValueError,
         "data error: Not enough observations: n=0 <= burn=0"),
    ],
)
def test_errors(overrides, exc_type, message):
    with pytest.raises(exc_type) as info:
        peltaro.sarimax_diagnostics(**base(**overrides))
    assert type(info.value) is exc_type
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((Y, (1, 0, 0), (0, 0, 0, 0)), {},
         "sarimax_diagnostics() missing 1 required positional argument: 'params'"),
        ((Y, (1, 0, 0), (0, 0, 0, 0), AR1, None, False, None, False, True, True, 1), {},
         "sarimax_diagnostics() takes from 4 to 10 positional arguments but 11 were given"),
        ((Y, (1, 0, 0), (0, 0, 0, 0), AR1), {"alpha": 0.05},
         "sarimax_diagnostics() got an unexpected keyword argument 'alpha'"),
        ((Y, (1, 0, 0), (0, 0, 0, 0), AR1, None, False, "c"), {"trend": "c"},
         "sarimax_diagnostics() got multiple values for argument 'trend'"),
    ],
)
def test_argument_matching_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        peltaro.sarimax_diagnostics(*args, **kwargs)
    assert str(info.value) == message
