"""sarimax_forecast: agreement with statsmodels' get_forecast, the argument checks in their order,
and the errors of the computation behind the lock.

The reference numbers come from tests/data/forecast_reference.json, written by
tests/data/make_forecast_reference.py (see its "how" entry for the exact statsmodels calls).
"""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
import pytest

import peltaro

REFERENCE = Path(__file__).resolve().parent.parent / "data" / "forecast_reference.json"
CASES = json.loads(REFERENCE.read_text())["cases"]
KEYS = ["mean", "variance", "ci_lower", "ci_upper"]
REL_TOL = 1e-6


def as_array(values):
    return None if values is None else np.asarray(values, dtype=np.float64)


def forecast_case(case, **overrides):
    kwargs = dict(
        steps=case["steps"], alpha=case["alpha"], exog=as_array(case["exog"]),
        future_exog=as_array(case["future_exog"]), concentrate_scale=case["concentrate_scale"],
        trend=case["trend"], simple_differencing=case["simple_differencing"],
        enforce_stationarity=case["enforce_stationarity"],
        enforce_invertibility=case["enforce_invertibility"])
    kwargs.update(overrides)
    return peltaro.sarimax_forecast(as_array(case["y"]), tuple(case["order"]),
                                    tuple(case["seasonal"]), as_array(case["params"]), **kwargs)


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_forecast_agrees_with_statsmodels(case):
    result = forecast_case(case)
    assert list(result) == KEYS
    for key in KEYS:
        assert all(type(v) is float for v in result[key])
        np.testing.assert_allclose(result[key], case[key], rtol=REL_TOL, atol=0.0, err_msg=key)


def test_future_regressor_rows_past_the_horizon_are_not_used():
    case = next(c for c in CASES if c["future_exog"] is not None and c["simple_differencing"])
    future = as_array(case["future_exog"])
    longer = np.vstack([future, np.full((5, future.shape[1]), 1e6)])
    assert forecast_case(case, future_exog=longer) == forecast_case(case)


def test_strided_future_regressors_give_the_same_forecast():
    case = next(c for c in CASES if c["future_exog"] is not None and len(c["exog"][0]) == 2)
    future = as_array(case["future_exog"])
    strided = np.asfortranarray(np.repeat(future, 2, axis=0))[::2]
    assert not strided.flags.c_contiguous
    assert forecast_case(case, future_exog=strided) == forecast_case(case)


# --- argument checks ------------------------------------------------------------

N = 60
Y = np.cumsum(np.random.default_rng(5).standard_normal(N)) * 0.2
X = np.column_stack([np.linspace(1.0, 2.0, N), np.sin(np.arange(N))])
FUTURE = np.ones((4, 2))
AR1 = np.array([0.5, 1.0])
AR1_X2 = np.array([0.3, -0.2, 0.5, 1.0])


def forecast(**overrides):
    kwargs = {"y": Y, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1}
    kwargs.update(overrides)
    return peltaro.sarimax_forecast(**kwargs)


def raises_exactly(exc_type, message, **overrides):
    with pytest.raises(exc_type) as info:
        forecast(**overrides)
    assert type(info.value) is exc_type
    assert str(info.value) == message


def with_nan(array, row, col):
    array = array.copy()
    array[row, col] = np.nan
    return array


NAN_Y = Y.copy()
NAN_Y[3] = np.nan
STRIDED = np.repeat(Y, 2)[::2]
CONTIGUITY = "The given array is not contiguous or is misaligned."
MISSING_FUTURE = "model has exogenous variables: future_exog is required for forecasting"


@pytest.mark.parametrize(
    "overrides, exc_type, message",
    [
        # conversion, in signature order
        ({"steps": 2.0}, TypeError, "argument 'steps': 'float' object cannot be interpreted as an integer"),
        ({"steps": "3"}, TypeError, "argument 'steps': 'str' object cannot be interpreted as an integer"),
        ({"steps": None}, TypeError, "argument 'steps': 'NoneType' object cannot be interpreted as an integer"),
        ({"steps": -1}, OverflowError, "can't convert negative int to unsigned"),
        ({"steps": 2**64}, OverflowError, "int too big to convert"),
        ({"alpha": "0.05"}, TypeError, "argument 'alpha': must be real number, not str"),
        ({"alpha": None}, TypeError, "argument 'alpha': must be real number, not NoneType"),
        ({"alpha": 10**400}, OverflowError, "int too large to convert to float"),
        ({"future_exog": [[1.0]]}, TypeError,
         "argument 'future_exog': 'list' object cannot be converted to 'numpy.ndarray'"),
        ({"future_exog": np.ones(4)}, TypeError,
         "argument 'future_exog': dimensionality mismatch: from=1, to=2"),
        ({"future_exog": np.ones((4, 1), dtype=np.float32)}, TypeError,
         "argument 'future_exog': type mismatch: from=float32, to=float64"),
        ({"steps": -1, "alpha": 2.0}, OverflowError, "can't convert negative int to unsigned"),
        # alpha, then steps, before the arrays are looked at
        ({"alpha": 0.0, "steps": 10001}, ValueError, "alpha must be in (0, 1), got 0"),
        ({"alpha": 1}, ValueError, "alpha must be in (0, 1), got 1"),
        ({"alpha": -0.5}, ValueError, "alpha must be in (0, 1), got -0.5"),
        ({"alpha": math.nan}, ValueError, "alpha must be in (0, 1), got NaN"),
        ({"alpha": math.inf}, ValueError, "alpha must be in (0, 1), got inf"),
        ({"steps": 10001, "y": STRIDED}, ValueError, "steps must be <= 10000, got 10001"),
        ({"steps": 2**64 - 1}, ValueError, f"steps must be <= 10000, got {2**64 - 1}"),
        ({"y": STRIDED}, TypeError, CONTIGUITY),
        ({"params": np.repeat(AR1, 2)[::2]}, TypeError, CONTIGUITY),
        ({"params": np.repeat(AR1, 2)[::2], "y": NAN_Y}, TypeError, CONTIGUITY),
        # the shared single-series checks
        ({"y": NAN_Y}, ValueError, "input time series contains NaN or Inf values"),
        ({"exog": X[:-1], "params": AR1_X2}, ValueError,
         "exog has 59 rows but endog has 60 observations; they must match"),
        ({"order": (21, 0, 0)}, ValueError, "AR order p=21 exceeds maximum 20"),
        ({"trend": "x"}, ValueError, "unknown trend 'x', expected one of: 'n', 'c', 't', 'ct'"),
        ({"trend": "x", "future_exog": np.full((1, 3), np.nan)}, ValueError,
         "unknown trend 'x', expected one of: 'n', 'c', 't', 'ct'"),
        # the future regressors: values, then column count, then rows
        ({"exog": X, "params": AR1_X2, "future_exog": with_nan(np.ones((2, 1)), 1, 0)}, ValueError,
         "future_exog contains NaN or Inf at column 0, row 1"),
        ({"future_exog": with_nan(np.ones((9, 3)), 8, 2)}, ValueError,
         "future_exog contains NaN or Inf at column 2, row 8"),
        ({"exog": X, "params": AR1_X2, "future_exog": np.ones((4, 1))}, ValueError,
         "future_exog column count (1) must match exog column count (2)"),
        ({"future_exog": np.ones((10, 1))}, ValueError,
         "future_exog column count (1) must match exog column count (0)"),
        ({"exog": X, "params": AR1_X2, "future_exog": np.ones((3, 3)), "steps": 4}, ValueError,
         "future_exog column count (3) must match exog column count (2)"),
        ({"exog": X, "params": AR1_X2, "future_exog": np.ones((3, 2)), "steps": 4}, ValueError,
         "future_exog column 0 has 3 rows but 4 forecast steps requested"),
        ({"exog": X, "params": AR1_X2}, ValueError, MISSING_FUTURE),
        ({"exog": X, "params": AR1_X2, "steps": 1}, ValueError, MISSING_FUTURE),
        # the computation, behind the lock
        ({"params": AR1[:1]}, ValueError, "parameter length mismatch: expected 2, got 1"),
        ({"params": np.array([0.5, 1.0, 2.0]), "concentrate_scale": True}, ValueError,
         "parameter length mismatch: expected 1, got 3"),
        ({"params": np.array([0.5, -1.0])}, ValueError,
         "data error: variance sigma2 must be positive, got -1"),
        ({"params": np.array([0.5, 0.0]), "simple_differencing": True, "order": (1, 1, 0)},
         ValueError, "data error: variance sigma2 must be positive, got 0"),
        ({"params": np.array([0.5, math.nan])}, ValueError,
         "data error: variance sigma2 must be positive, got NaN"),
        ({"order": (0, 0, 0), "seasonal": (0, 2, 0, 4), "params": np.array([1.0])}, ValueError,
         "state space construction failed: Seasonal differencing D > 1 is not yet supported"),
        ({"y": Y[:13], "order": (0, 1, 0), "seasonal": (0, 1, 0, 12), "params": np.array([1.0]),
          "simple_differencing": True}, ValueError,
         "data error: Not enough observations: n=13 <= burn=13"),
        ({"y": Y[:0]}, ValueError, "data error: Not enough observations: n=0 <= burn=0"),
    ],
)
def test_errors(overrides, exc_type, message):
    raises_exactly(exc_type, message, **overrides)


@pytest.mark.parametrize("simple_differencing", [False, True])
def test_regressors_without_future_values_and_no_steps_give_empty_lists(simple_differencing):
    result = forecast(exog=X, params=AR1_X2, steps=0, order=(1, 1, 0),
                      simple_differencing=simple_differencing)
    assert result == {key: [] for key in KEYS}


def test_steps_limit_is_inclusive_and_defaults_apply():
    assert len(forecast(steps=10000)["mean"]) == 10000
    default = forecast()
    assert [len(default[k]) for k in KEYS] == [10] * 4
    assert forecast(steps=10, alpha=0.05) == default
    assert forecast(alpha=1 / 2) != default


def test_positional_call_and_keywords_agree():
    positional = peltaro.sarimax_forecast(Y, (1, 0, 0), (0, 0, 0, 0), AR1, 5, 0.1, None, None,
                                          False, None, False, True, True)
    assert positional == forecast(steps=5, alpha=0.1)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((Y, (1, 0, 0), (0, 0, 0, 0), AR1, 5, 0.1, None, None, False, None, False, True, True,
          1), {}, "sarimax_forecast() takes from 4 to 13 positional arguments but 14 were given"),
        ((Y, (1, 0, 0), (0, 0, 0, 0), AR1), {"horizon": 5},
         "sarimax_forecast() got an unexpected keyword argument 'horizon'"),
    ],
)
def test_argument_matching(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        peltaro.sarimax_forecast(*args, **kwargs)
    assert str(info.value) == message


def test_alpha_sets_the_quantile_of_the_interval():
    # AR(1) with sigma2 = 1 from a known state: the first variance is 1.
    result = forecast(alpha=0.01, steps=1)
    half_width = result["ci_upper"][0] - result["mean"][0]
    assert result["variance"] == [1.0]
    assert half_width == pytest.approx(2.5758293035489004, rel=1.2e-9)
    assert result["mean"][0] - result["ci_lower"][0] == pytest.approx(half_width, rel=1e-15)
