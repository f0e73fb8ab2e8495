"""sarimax_forecast: agreement with statsmodels' get_forecast, the future regressors' layout, and
the argument checks in their order.

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


def as_array(values):
    return None if values is None else np.asarray(values, dtype=np.float64)


def forecast_case(case, **overrides):
    kwargs = {key: case[key] for key in [
        "steps", "alpha", "concentrate_scale", "trend", "simple_differencing",
        "enforce_stationarity", "enforce_invertibility"]}
    kwargs.update(exog=as_array(case["exog"]), future_exog=as_array(case["future_exog"]))
    kwargs.update(overrides)
    return peltaro.sarimax_forecast(as_array(case["y"]), tuple(case["order"]),
                                    tuple(case["seasonal"]), as_array(case["params"]), **kwargs)


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_forecast_agrees_with_statsmodels(case):
    result = forecast_case(case)
    assert list(result) == KEYS
    for key in KEYS:
        assert all(type(v) is float for v in result[key])
        np.testing.assert_allclose(result[key], case[key], rtol=1e-6, atol=0.0, err_msg=key)


def test_future_rows_past_the_horizon_and_strides_do_not_change_the_forecast():
    case = next(c for c in CASES if c["simple_differencing"] and c["future_exog"] is not None
                and len(c["exog"][0]) == 2)
    future = as_array(case["future_exog"])
    longer = np.vstack([future, np.full((5, future.shape[1]), 1e6)])
    strided = np.asfortranarray(np.repeat(longer, 2, axis=0))[::2]
    assert not strided.flags.c_contiguous
    assert forecast_case(case, future_exog=strided) == forecast_case(case)


N = 60
Y = np.cumsum(np.random.default_rng(5).standard_normal(N)) * 0.2
X = np.column_stack([np.linspace(1.0, 2.0, N), np.sin(np.arange(N))])
AR1 = np.array([0.5, 1.0])
AR1_X2 = {"exog": X, "params": np.array([0.3, -0.2, 0.5, 1.0])}


def forecast(**overrides):
    return peltaro.sarimax_forecast(
        **{"y": Y, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1, **overrides})


def test_signature_defaults_and_limits():
    positional = peltaro.sarimax_forecast(Y, (1, 0, 0), (0, 0, 0, 0), AR1, 5, 0.1, None, None,
                                          False, None, False, True, True)
    assert positional == forecast(steps=5, alpha=0.1)
    assert forecast() == forecast(steps=10, alpha=0.05) != forecast(alpha=0.5)
    assert len(forecast(steps=10000)["mean"]) == 10000
    # No steps need no future regressors, on both paths.
    for simple_differencing in (False, True):
        assert forecast(steps=0, order=(1, 1, 0), simple_differencing=simple_differencing,
                        **AR1_X2) == {key: [] for key in KEYS}
    with pytest.raises(TypeError) as info:
        peltaro.sarimax_forecast(Y, (1, 0, 0), (0, 0, 0, 0), AR1, 5, 0.1, None, None, False,
                                 None, False, True, True, 1)
    assert str(info.value) == \
        "sarimax_forecast() takes from 4 to 13 positional arguments but 14 were given"


def with_nan(array, row, col):
    array = array.copy()
    array[row, col] = np.nan
    return array


STRIDED = np.repeat(Y, 2)[::2]


@pytest.mark.parametrize("overrides, exc_type, message", [
    # conversion, in signature order
    ({"steps": 2.0}, TypeError,
     "argument 'steps': 'float' object cannot be interpreted as an integer"),
    ({"steps": -1, "alpha": 2.0}, OverflowError, "can't convert negative int to unsigned"),
    ({"alpha": None}, TypeError, "argument 'alpha': must be real number, not NoneType"),
    ({"alpha": 10**400}, OverflowError, "int too large to convert to float"),
    ({"future_exog": np.ones((4, 1), dtype=np.float32)}, TypeError,
     "argument 'future_exog': type mismatch: from=float32, to=float64"),
    # alpha, then steps, before the arrays are looked at
    ({"alpha": 0.0, "steps": 10001}, ValueError, "alpha must be in (0, 1), got 0"),
    ({"alpha": 1}, ValueError, "alpha must be in (0, 1), got 1"),
    ({"alpha": -1.0}, ValueError, "alpha must be in (0, 1), got -1"),
    ({"alpha": math.nan}, ValueError, "alpha must be in (0, 1), got NaN"),
    ({"steps": 10001, "y": STRIDED}, ValueError, "steps must be <= 10000, got 10001"),
    # the shared single-series checks, before the future regressors
    ({"trend": "x", "future_exog": np.full((1, 3), np.nan)}, ValueError,
     "unknown trend 'x', expected one of: 'n', 'c', 't', 'ct'"),
    # the future regressors: values, then column count, then rows
    ({**AR1_X2, "future_exog": with_nan(np.ones((2, 1)), 1, 0)}, ValueError,
     "future_exog contains NaN or Inf at column 0, row 1"),
    ({**AR1_X2, "future_exog": np.ones((3, 3)), "steps": 4}, ValueError,
     "future_exog column count (3) must match exog column count (2)"),
    ({**AR1_X2, "future_exog": np.ones((3, 2)), "steps": 4}, ValueError,
     "future_exog column 0 has 3 rows but 4 forecast steps requested"),
    ({**AR1_X2, "steps": 1}, ValueError,
     "model has exogenous variables: future_exog is required for forecasting"),
    # the computation, behind the lock
    ({"params": np.array([0.5, 1.0, 2.0]), "concentrate_scale": True}, ValueError,
     "parameter length mismatch: expected 1, got 3"),
    # the same texts on both paths: the likelihood's checks, in its order
    *[({**model, "simple_differencing": sd}, ValueError, message) for sd in (False, True)
      for model, message in [
          ({"order": (0, 0, 0), "seasonal": (0, 2, 0, 4), "params": np.array([1.0])},
           "state space construction failed: Seasonal differencing D > 1 is not yet supported"),
          ({"order": (1, 1, 0), "params": np.array([0.5, -1.0])},
           "data error: variance sigma2 must be positive, got -1"),
          ({"order": (1, 1, 0), "exog": X, "params": np.array([0.3, -0.2, 0.5, math.nan]),
            "future_exog": np.ones((10, 2))},
           "data error: variance sigma2 must be positive and finite, got NaN"),
          ({"order": (1, 1, 0), "params": np.array([0.5, math.inf])},
           "data error: variance sigma2 must be positive and finite, got inf"),
          ({"y": Y[:13], "order": (0, 1, 0), "seasonal": (0, 1, 0, 12), "params": np.array([1.0])},
           "data error: Not enough observations: n=13 <= burn=13")]],
])
def test_errors(overrides, exc_type, message):
    with pytest.raises(exc_type) as info:
        forecast(**overrides)
    assert type(info.value) is exc_type
    assert str(info.value) == message
