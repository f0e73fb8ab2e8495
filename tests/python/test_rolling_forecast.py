"""sarimax_rolling_forecast: rows equal to plain forecasts of the truncated series, the signature,
and every error path with its exact message and exception class."""

from __future__ import annotations

import numpy as np
import pytest

import peltaro

N = 40
RNG = np.random.default_rng(5)
Y = 10.0 + np.cumsum(RNG.standard_normal(N)) * 0.3
X = np.column_stack([RNG.standard_normal(N), np.arange(N) % 3.0])
AR1 = np.array([0.5, 1.0])
KEYS = ["origins", "mean", "variance", "ci_lower", "ci_upper"]
EXOG_MODEL = {"exog": X, "params": np.array([1.0, 1.0, 0.5, 1.0])}


def call(**overrides):
    return peltaro.sarimax_rolling_forecast(
        **{"y": Y, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1, "start": 1,
           **overrides})


def test_rows_are_plain_forecasts_of_the_truncated_series():
    params = np.array([0.01, 1.5, -0.4, 0.3, 0.7])
    model = {"order": (1, 1, 0), "seasonal": (0, 0, 0, 0), "params": params, "trend": "t",
             "alpha": 0.2}
    out = call(**model, exog=X, start=3, step=5, horizon=4)
    assert list(out) == KEYS
    assert out["origins"] == list(range(3, N - 4 + 1, 5))  # with regressors, up to n - horizon
    assert all(type(t) is int for t in out["origins"])
    for i, t in enumerate(out["origins"]):
        plain = peltaro.sarimax_forecast(Y[:t], **model, steps=4, exog=X[:t],
                                         future_exog=X[t:t + 4])
        for key in KEYS[1:]:
            assert out[key][i] == pytest.approx(plain[key], rel=1e-10, abs=1e-10), (t, key)


def test_signature():
    # start, step, horizon, alpha, exog, concentrate_scale, trend, simple_differencing,
    # enforce_stationarity, enforce_invertibility
    params = np.array([1.0, 0.5])
    positional = peltaro.sarimax_rolling_forecast(Y, (1, 0, 0), (0, 0, 0, 0), params, 2, 3, 4,
                                                  0.3, None, True, "c", False, False, True)
    assert positional == call(params=params, start=2, step=3, horizon=4, alpha=0.3,
                              concentrate_scale=True, trend="c", enforce_stationarity=False)
    assert len(call(start=N - 1, horizon=10000)["mean"][0]) == 10000
    with pytest.raises(TypeError) as info:
        peltaro.sarimax_rolling_forecast(Y, (1, 0, 0), (0, 0, 0, 0), AR1)
    assert str(info.value) == \
        "sarimax_rolling_forecast() missing 1 required positional argument: 'start'"


STRIDED_Y = np.repeat(Y, 2)[::2]


@pytest.mark.parametrize("overrides, exc_type, message", [
    ({"start": 1.0}, TypeError,
     "argument 'start': 'float' object cannot be interpreted as an integer"),
    ({"step": -1}, OverflowError, "can't convert negative int to unsigned"),
    # alpha, then the horizon, come before anything is read from the arrays.
    ({"alpha": 1.0, "horizon": 20000, "y": STRIDED_Y}, ValueError,
     "alpha must be in (0, 1), got 1"),
    ({"horizon": 20000, "y": STRIDED_Y}, ValueError, "steps must be <= 10000, got 20000"),
    # the shared checks, then the parameter split, then the model's own
    ({"y": np.full(N, np.nan), "simple_differencing": True}, ValueError,
     "input time series contains NaN or Inf values"),
    ({"params": np.array([0.5, 1.0, 2.0]), "start": 0}, ValueError,
     "parameter length mismatch: expected 2, got 3"),
    ({"simple_differencing": True, "start": 0}, ValueError,
     "invalid input: rolling_forecast does not support simple_differencing yet"),
    ({"y": np.array([])}, ValueError, "invalid input: endog is empty"),
    ({"y": Y[:1]}, ValueError, "invalid input: start must be in [1, n-1] = [1, 0], got 1"),
    ({"start": 0}, ValueError, "invalid input: start must be in [1, n-1] = [1, 39], got 0"),
    ({"start": N}, ValueError, "invalid input: start must be in [1, n-1] = [1, 39], got 40"),
    ({"step": 0, "horizon": 0}, ValueError, "invalid input: step must be >= 1"),
    ({"horizon": 0, **EXOG_MODEL}, ValueError, "invalid input: horizon must be >= 1"),
    ({"horizon": 41, "start": 50, **EXOG_MODEL}, ValueError,
     "invalid input: start must be in [1, n-1] = [1, 39], got 50"),
    ({"horizon": 41, **EXOG_MODEL}, ValueError,
     "invalid input: horizon 41 exceeds series length 40 for exog model"),
    ({"horizon": 3, "start": 38, **EXOG_MODEL}, ValueError,
     "invalid input: start 38 exceeds max origin 37 (exog models cap origins at n - horizon)"),
    # 7,000 origins of 10,000 steps: 2.8e8 result values, refused before any is made.
    ({"y": np.zeros(7001), "horizon": 10000}, ValueError,
     "invalid input: rolling forecast would return 7000 origins of 10000 steps (~2.1 GiB > "
     "2 GiB limit); increase `step`, raise `start`, lower `horizon`, or split the series into "
     "chunks"),
    ({"params": np.array([0.5, -1.0])}, ValueError,
     "data error: variance sigma2 must be positive, got -1"),
    ({"params": np.array([0.5, np.nan])}, ValueError,
     "data error: variance sigma2 must be positive and finite, got NaN"),
    ({"params": np.array([0.5, np.inf])}, ValueError,
     "data error: variance sigma2 must be positive and finite, got inf"),
])
def test_errors(overrides, exc_type, message):
    with pytest.raises(exc_type) as info:
        call(**overrides)
    assert type(info.value) is exc_type
    assert str(info.value) == message
