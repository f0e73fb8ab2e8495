"""sarimax_residuals against statsmodels' filter output, and its error paths with exact messages.

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


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_matches_statsmodels(case):
    exog = None if case["exog"] is None else np.asarray(case["exog"], dtype=np.float64)
    ours = peltaro.sarimax_residuals(
        np.asarray(case["y"], dtype=np.float64), tuple(case["order"]), tuple(case["seasonal"]),
        np.asarray(case["params"], dtype=np.float64), exog=exog,
        concentrate_scale=case["concentrate_scale"], trend=case["trend"],
        simple_differencing=case["simple_differencing"],
        enforce_stationarity=case["enforce_stationarity"],
        enforce_invertibility=case["enforce_invertibility"])
    assert list(ours) == KEYS
    for key in KEYS:
        got, ref = np.array(ours[key]), np.array(case[key])
        assert got.shape == ref.shape, key
        worst = np.max(np.abs(got - ref) / np.abs(ref))
        assert worst <= 1e-6, f"{key}: max relative difference {worst:.2e}"


def test_reference_covers_the_model_features():
    def has(predicate):
        return any(predicate(c) for c in CASES)

    assert has(lambda c: c["seasonal"][3] > 1 and c["seasonal"][1] == 1)
    assert has(lambda c: c["trend"] == "ct") and has(lambda c: c["trend"] == "t")
    assert has(lambda c: c["exog"] is not None and len(c["exog"][0]) == 2)
    assert has(lambda c: c["concentrate_scale"] and c["exog"] is not None)
    assert has(lambda c: c["simple_differencing"] and c["exog"] is not None)
    assert has(lambda c: not c["enforce_stationarity"])


N = 40
Y = np.random.default_rng(3).standard_normal(N).cumsum() * 0.2
AR1 = np.array([0.5, 1.0])


def call(**overrides):
    kwargs = {"y": Y, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1}
    kwargs.update(overrides)
    return peltaro.sarimax_residuals(**kwargs)


@pytest.mark.parametrize(
    "order, seasonal, simple_differencing, length",
    [
        ((1, 1, 0), (0, 0, 0, 0), False, N),
        ((1, 1, 0), (0, 0, 0, 0), True, N - 1),
        ((1, 1, 0), (0, 1, 0, 4), True, N - 5),
    ],
)
def test_one_entry_per_filtered_observation(order, seasonal, simple_differencing, length):
    out = call(order=order, seasonal=seasonal, simple_differencing=simple_differencing)
    assert [len(out[key]) for key in KEYS] == [length] * 3


def test_positional_call_follows_the_signature_order():
    # exog, concentrate_scale, trend, simple_differencing, enforce_stationarity,
    # enforce_invertibility
    params = np.array([0.1, 0.5])
    positional = peltaro.sarimax_residuals(Y, (1, 1, 0), (0, 0, 0, 0), params,
                                           None, True, "c", True, False, True)
    assert positional == call(order=(1, 1, 0), params=params, concentrate_scale=True, trend="c",
                              simple_differencing=True, enforce_stationarity=False)
    with pytest.raises(TypeError, match=r"^sarimax_residuals\(\) missing 1 required positional "
                                        r"argument: 'params'$"):
        peltaro.sarimax_residuals(Y, (1, 0, 0), (0, 0, 0, 0))


CONTIGUITY = "The given array is not contiguous or is misaligned."


@pytest.mark.parametrize(
    "overrides, exc_type, message",
    [
        ({"y": list(Y)}, TypeError,
         "argument 'y': 'list' object cannot be converted to 'numpy.ndarray'"),
        ({"trend": 1, "enforce_stationarity": None}, TypeError,
         "argument 'trend': 'int' object cannot be converted to 'str'"),
        ({"simple_differencing": 1, "enforce_invertibility": None}, TypeError,
         "argument 'simple_differencing': 'int' object cannot be converted to 'bool'"),
        ({"order": (1, 0)}, ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ({"y": np.repeat(Y, 2)[::2]}, TypeError, CONTIGUITY),
        ({"params": np.repeat(AR1, 2)[::2], "y": np.full(N, np.nan)}, TypeError, CONTIGUITY),
        ({"y": np.where(np.arange(N) == 5, np.inf, Y)}, ValueError,
         "input time series contains NaN or Inf values"),
        ({"exog": np.ones((N + 1, 1))}, ValueError,
         "exog has 41 rows but endog has 40 observations; they must match"),
        ({"order": (21, 0, 0)}, ValueError, "AR order p=21 exceeds maximum 20"),
        ({"trend": "x"}, ValueError, "unknown trend 'x', expected one of: 'n', 'c', 't', 'ct'"),
        ({"params": np.array([0.5])}, ValueError, "parameter length mismatch: expected 2, got 1"),
        ({"exog": np.ones((N, 1))}, ValueError, "parameter length mismatch: expected 3, got 2"),
        ({"params": np.array([0.5, 0.0])}, ValueError,
         "data error: variance sigma2 must be positive, got 0"),
        ({"params": np.array([0.5, np.nan])}, ValueError,
         "data error: variance sigma2 must be positive, got NaN"),
        ({"order": (0, 0, 0), "seasonal": (0, 2, 0, 4), "params": np.array([-1.0])}, ValueError,
         "state space construction failed: Seasonal differencing D > 1 is not yet supported"),
        ({"y": Y[:12], "order": (0, 0, 0), "seasonal": (0, 1, 0, 12), "params": np.array([1.0]),
          "simple_differencing": True}, ValueError,
         "data error: Not enough observations: n=12 <= burn=12"),
        ({"y": np.array([])}, ValueError, "data error: Not enough observations: n=0 <= burn=0"),
    ],
)
def test_errors(overrides, exc_type, message):
    with pytest.raises(exc_type) as info:
        call(**overrides)
    assert type(info.value) is exc_type
    assert str(info.value) == message
