"""sarimax_rolling_forecast: rows equal to plain forecasts of the truncated series, and every error
path with its exact message and exception class."""

from __future__ import annotations

import math

import numpy as np
import pytest

import peltaro

N = 40
RNG = np.random.default_rng(5)
Y = 10.0 + np.cumsum(RNG.standard_normal(N)) * 0.3
X = np.column_stack([RNG.standard_normal(N), np.arange(N) % 3.0])
AR1 = np.array([0.5, 1.0])
KEYS = ["origins", "mean", "variance", "ci_lower", "ci_upper"]


def call(**overrides):
    kwargs = {"y": Y, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1, "start": 1}
    kwargs.update(overrides)
    return peltaro.sarimax_rolling_forecast(**kwargs)


@pytest.mark.parametrize(
    "order, params, exog, trend",
    [
        ((1, 0, 1), [2.0, 0.8, 0.3, 0.5], None, "c"),
        ((1, 1, 0), [0.01, 1.5, -0.4, 0.3, 0.7], X, "t"),
    ],
)
def test_rows_are_plain_forecasts_of_the_truncated_series(order, params, exog, trend):
    horizon, start, step = 4, 3, 5
    params = np.array(params)
    out = call(order=order, params=params, exog=exog, trend=trend, start=start, step=step,
               horizon=horizon, alpha=0.2)
    assert list(out) == KEYS
    last = N - 1 if exog is None else N - horizon
    assert out["origins"] == list(range(start, last + 1, step))
    assert all(type(t) is int for t in out["origins"])
    for i, t in enumerate(out["origins"]):
        plain = peltaro.sarimax_forecast(
            Y[:t], order, (0, 0, 0, 0), params, steps=horizon, alpha=0.2, trend=trend,
            exog=None if exog is None else exog[:t],
            future_exog=None if exog is None else exog[t:t + horizon])
        for key in KEYS[1:]:
            assert out[key][i] == pytest.approx(plain[key], rel=1e-10, abs=1e-10), (t, key)


def test_positional_call_follows_the_signature_order():
    # start, step, horizon, alpha, exog, concentrate_scale, trend, simple_differencing,
    # enforce_stationarity, enforce_invertibility
    params = np.array([1.0, 0.5])
    positional = peltaro.sarimax_rolling_forecast(Y, (1, 0, 0), (0, 0, 0, 0), params, 2, 3, 4,
                                                  0.3, None, True, "c", False, False, True)
    assert positional == call(params=params, start=2, step=3, horizon=4, alpha=0.3,
                              concentrate_scale=True, trend="c", enforce_stationarity=False)
    with pytest.raises(TypeError, match=r"^sarimax_rolling_forecast\(\) missing 1 required "
                                        r"positional argument: 'start'$"):
        peltaro.sarimax_rolling_forecast(Y, (1, 0, 0), (0, 0, 0, 0), AR1)


def test_horizon_at_the_limit_passes_the_step_check():
    assert len(call(start=N - 1, horizon=10000)["mean"][0]) == 10000


CONTIGUITY = "The given array is not contiguous or is misaligned."
STRIDED_Y = np.repeat(Y, 2)[::2]
EXOG_MODEL = {"exog": X, "params": np.array([1.0, 1.0, 0.5, 1.0])}
# (0,0,0)(0,1,0,365): 366 states; 2009 origins keep 2009·366² doubles, past 2^28.
MEMORY = ("invalid input: rolling forecast would retain 2009 origin snapshots of 366x366 state "
          "covariances (~2.0 GiB > 2 GiB limit); increase `step`, raise `start`, or split the "
          "series into chunks")


@pytest.mark.parametrize(
    "overrides, exc_type, message",
    [
        ({"start": 1.0}, TypeError,
         "argument 'start': 'float' object cannot be interpreted as an integer"),
        ({"horizon": None}, TypeError,
         "argument 'horizon': 'NoneType' object cannot be interpreted as an integer"),
        ({"alpha": "0.05"}, TypeError, "argument 'alpha': must be real number, not str"),
        ({"step": -1}, OverflowError, "can't convert negative int to unsigned"),
        # alpha, then the horizon, come before anything is read from the arrays.
        ({"alpha": 0, "y": STRIDED_Y}, ValueError, "alpha must be in (0, 1), got 0"),
        ({"alpha": 1.0, "horizon": 20000}, ValueError, "alpha must be in (0, 1), got 1"),
        ({"alpha": math.nan}, ValueError, "alpha must be in (0, 1), got NaN"),
        ({"horizon": 20000, "y": STRIDED_Y}, ValueError, "steps must be <= 10000, got 20000"),
        ({"y": STRIDED_Y}, TypeError, CONTIGUITY),
        ({"params": np.repeat(AR1, 2)[::2], "y": np.full(N, np.nan)}, TypeError, CONTIGUITY),
        ({"y": np.full(N, np.nan), "simple_differencing": True}, ValueError,
         "input time series contains NaN or Inf values"),
        ({"exog": X[:-1]}, ValueError,
         "exog has 39 rows but endog has 40 observations; they must match"),
        ({"seasonal": (1, 0, 0, 1)}, ValueError,
         "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"),
        ({"params": np.array([0.5, 1.0, 2.0])}, ValueError,
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
        ({"y": np.zeros(2010), "order": (0, 0, 0), "seasonal": (0, 1, 0, 365),
          "params": np.array([1.0])}, ValueError, MEMORY),
        # 7,000 origins of 10,000 steps: 2.8e8 result values, refused before any is made.
        ({"y": np.zeros(7001), "horizon": 10000}, ValueError,
         "invalid input: rolling forecast would return 7000 origins of 10000 steps (~2.1 GiB > "
         "2 GiB limit); increase `step`, raise `start`, lower `horizon`, or split the series into "
         "chunks"),
        ({"params": np.array([0.5, -1.0])}, ValueError,
         "data error: variance sigma2 must be positive, got -1"),
        ({"order": (0, 0, 0), "seasonal": (0, 2, 0, 4), "params": np.array([1.0])}, ValueError,
         "state space construction failed: Seasonal differencing D > 1 is not yet supported"),
    ],
)
def test_errors(overrides, exc_type, message):
    with pytest.raises(exc_type) as info:
        call(**overrides)
    assert type(info.value) is exc_type
    assert str(info.value) == message
