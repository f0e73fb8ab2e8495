"""sarimax_residuals against statsmodels' filter output, and its error paths with exact messages
(the conversions of the argument list it shares with sarimax_diagnostics are checked there).

The reference numbers come from tests/data/residuals_reference.json, written by
tests/data/make_residuals_reference.py (its "how" entry gives the statsmodels calls).
"""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pytest

import peltaro

REFERENCE = Path(__file__).resolve().parent.parent / "data" / "residuals_reference.json"
CASES = json.loads(REFERENCE.read_text())["cases"]
KEYS = ["residuals", "standardized_residuals", "prediction_variances"]
FLAGS = ["concentrate_scale", "trend", "simple_differencing", "enforce_stationarity",
         "enforce_invertibility"]


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_matches_statsmodels(case):
    exog = None if case["exog"] is None else np.asarray(case["exog"], dtype=np.float64)
    ours = peltaro.sarimax_residuals(
        np.asarray(case["y"], dtype=np.float64), tuple(case["order"]), tuple(case["seasonal"]),
        np.asarray(case["params"], dtype=np.float64), exog=exog, **{f: case[f] for f in FLAGS})
    assert list(ours) == KEYS
    for key in KEYS:
        got, ref = np.array(ours[key]), np.array(case[key])
        assert got.shape == ref.shape, key
        worst = np.max(np.abs(got - ref) / np.abs(ref))
        assert worst <= 1e-6, f"{key}: max relative difference {worst:.2e}"


def test_reference_covers_the_model_features():
    assert all(any(feature(c) for c in CASES) for feature in [
        lambda c: c["seasonal"][3] > 1 and c["seasonal"][1] == 1 and c["simple_differencing"],
        lambda c: c["trend"] == "ct", lambda c: c["trend"] == "t",
        lambda c: c["exog"] is not None and len(c["exog"][0]) == 2,
        lambda c: c["concentrate_scale"] and c["exog"] is not None,
        lambda c: c["simple_differencing"] and c["exog"] is not None,
        lambda c: not c["enforce_stationarity"]])


N = 40
Y = np.random.default_rng(3).standard_normal(N).cumsum() * 0.2
AR1 = np.array([0.5, 1.0])


def call(**overrides):
    return peltaro.sarimax_residuals(
        **{"y": Y, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1, **overrides})


def test_positional_call_follows_the_signature_order():
    # exog, concentrate_scale, trend, simple_differencing, enforce_stationarity,
    # enforce_invertibility
    params = np.array([0.1, 0.5])
    positional = peltaro.sarimax_residuals(Y, (1, 1, 0), (0, 0, 0, 0), params,
                                           None, True, "c", True, False, True)
    assert positional == call(order=(1, 1, 0), params=params, concentrate_scale=True, trend="c",
                              simple_differencing=True, enforce_stationarity=False)
    with pytest.raises(TypeError) as info:
        peltaro.sarimax_residuals(Y, (1, 0, 0), (0, 0, 0, 0))
    assert str(info.value) == "sarimax_residuals() missing 1 required positional argument: 'params'"


@pytest.mark.parametrize("overrides, exc_type, message", [
    ({"y": np.where(np.arange(N) == 5, np.inf, Y)}, ValueError,
     "input time series contains NaN or Inf values"),
    ({"exog": np.ones((N, 1))}, ValueError, "parameter length mismatch: expected 3, got 2"),
    ({"params": np.array([0.5, -1.0])}, ValueError,
     "data error: variance sigma2 must be positive, got -1"),
    ({"params": np.array([0.5, np.nan])}, ValueError,
     "data error: variance sigma2 must be positive and finite, got NaN"),
    ({"params": np.array([0.5, np.inf])}, ValueError,
     "data error: variance sigma2 must be positive and finite, got inf"),
    ({"order": (0, 0, 0), "seasonal": (0, 2, 0, 4), "params": np.array([-1.0])}, ValueError,
     "state space construction failed: Seasonal differencing D > 1 is not yet supported"),
    ({"y": Y[:12], "order": (0, 0, 0), "seasonal": (0, 1, 0, 12), "params": np.array([1.0]),
      "simple_differencing": True}, ValueError,
     "data error: Not enough observations: n=12 <= burn=12"),
])
def test_errors(overrides, exc_type, message):
    with pytest.raises(exc_type) as info:
        call(**overrides)
    assert type(info.value) is exc_type
    assert str(info.value) == message
