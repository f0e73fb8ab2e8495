"""sarimax_inference: standard errors against statsmodels, the result dict, and the error paths.

The reference numbers come from tests/data/inference_reference.json, written by
tests/data/make_inference_reference.py (its "how" entry and docstring say how).
"""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
import pytest

import peltaro

ROOT = Path(__file__).resolve().parents[2]
CASES = json.loads((ROOT / "tests" / "data" / "inference_reference.json").read_text())["cases"]
KEYS = ["method", "std_err", "z_stat", "p_value", "ci_lower", "ci_upper", "cov_params",
        "n_params", "status", "message"]
FLAGS = ["concentrate_scale", "enforce_stationarity", "enforce_invertibility", "trend",
         "simple_differencing"]

TOLERANCE = {"hessian": 2e-3, "opg": 1e-4}
# An intercept far from zero beside AR coefficients whose sum is near one: the information
# matrix, scaled to unit diagonal, has a condition number above 1e5, so the forward-difference
# Jacobian of the stationary AR map (relative error near 1e-8) moves the intercept's standard
# error by a few 1e-3.
BADLY_CONDITIONED = {"lakehuron_ar2_c", "lakehuron_ar2_ct", "lakehuron_arma11_c"}
BADLY_CONDITIONED_TOL = 1e-2


@pytest.mark.parametrize("method", ["hessian", "opg"])
@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_standard_errors_match_the_reference(case, method):
    exog = None if case["exog"] is None else np.asarray(case["exog"], dtype=np.float64)
    result = peltaro.sarimax_inference(
        np.asarray(case["y"], dtype=np.float64), tuple(case["order"]), tuple(case["seasonal"]),
        np.asarray(case["params"], dtype=np.float64), method=method, exog=exog,
        **{flag: case[flag] for flag in FLAGS})
    assert result["status"] == "ok", result["message"]
    tol = TOLERANCE[method]
    if method == "hessian" and case["name"] in BADLY_CONDITIONED:
        tol = BADLY_CONDITIONED_TOL
    reference = np.asarray(case[method]["std_err"])
    assert np.max(np.abs(np.asarray(result["std_err"]) / reference - 1.0)) <= tol


def test_reference_is_broad_and_steadier_than_the_tolerance():
    """Guards the reference file, so that dropping or loosening cases cannot weaken the tests."""
    seasonal = [c for c in CASES if c["seasonal"][1] == 1 and c["seasonal"][3] > 1]
    assert len(seasonal) >= 10 and {4, 12} <= {c["seasonal"][3] for c in seasonal}
    assert any(not c["enforce_stationarity"] for c in seasonal)
    assert any(c["exog"] is not None for c in seasonal)
    for flag in (f for f in FLAGS if f != "trend"):
        assert {True, False} <= {c[flag] for c in CASES}, flag
    assert sum("maximum" not in c["point"] for c in CASES) >= 10
    for c in CASES:
        assert c["hessian"]["step_sensitivity"] < TOLERANCE["hessian"] / 20, c["name"]
        if c["name"] in BADLY_CONDITIONED:
            information = np.asarray(c["hessian"]["information"])
            scale = 1.0 / np.sqrt(np.diag(information))
            assert np.linalg.cond(information * np.outer(scale, scale)) > 1e5, c["name"]
            assert c["enforce_stationarity"] and c["order"][0] > 0, c["name"]


# --- the result dict ------------------------------------------------------------------------

AIR = np.log(np.loadtxt(ROOT / "data" / "airpassengers.csv", delimiter=",", skiprows=1,
                        usecols=1))
AIRLINE = ((0, 1, 1), (0, 1, 1, 12))
AIRLINE_PARAMS = np.array([-0.4018540911, -0.5569387152, 0.0013480985])


def test_dict_holds_the_statistics_of_the_covariance():
    result = peltaro.sarimax_inference(AIR, *AIRLINE, AIRLINE_PARAMS, method="opg", alpha=0.1)
    assert list(result) == KEYS
    assert [result[k] for k in KEYS[7:] + KEYS[:1]] == [3, "ok", None, "opg"]
    cov = np.array(result["cov_params"]).reshape(3, 3)
    se = np.sqrt(np.diag(cov))
    np.testing.assert_allclose(cov, cov.T, rtol=1e-10, atol=0)
    np.testing.assert_array_equal(result["std_err"], se)
    np.testing.assert_array_equal(result["z_stat"], AIRLINE_PARAMS / se)
    p = [math.erfc(abs(z) / math.sqrt(2.0)) for z in AIRLINE_PARAMS / se]
    np.testing.assert_allclose(result["p_value"], p, rtol=0, atol=1e-15)
    for side in (result["ci_upper"] - AIRLINE_PARAMS, AIRLINE_PARAMS - result["ci_lower"]):
        np.testing.assert_allclose(side / se, 1.644854, rtol=0, atol=5e-7)


def test_signature_and_a_model_without_parameters():
    class Half:
        def __float__(self):
            return 0.5

    # method, alpha, exog, concentrate_scale, enforce_stationarity, enforce_invertibility,
    # trend, simple_differencing
    y, order, params = AIR[:60], (1, 1, 0), np.array([0.01, 0.3])
    positional = peltaro.sarimax_inference(y, order, (0, 0, 0, 0), params, "opg", Half(), None,
                                           True, False, True, "c", True)
    assert positional == peltaro.sarimax_inference(
        y, order, (0, 0, 0, 0), params, method="opg", alpha=0.5, concentrate_scale=True,
        enforce_stationarity=False, trend="c", simple_differencing=True)
    assert peltaro.sarimax_inference(AIR, *AIRLINE, AIRLINE_PARAMS) == \
        peltaro.sarimax_inference(AIR, *AIRLINE, AIRLINE_PARAMS, "hessian", 0.05)
    with pytest.raises(TypeError) as info:
        peltaro.sarimax_inference(y, order, (0, 0, 0, 0), params, "opg", 0.5, None, True, False,
                                  True, "c", True, 1)
    assert str(info.value) == \
        "sarimax_inference() takes from 4 to 12 positional arguments but 13 were given"
    # No parameters: nothing to estimate, whatever the method.
    assert peltaro.sarimax_inference(AIR, (0, 0, 0), (0, 0, 0, 0), np.array([]),
                                     method="anything", concentrate_scale=True) == {
        **{key: [] for key in KEYS}, "method": "anything", "n_params": 0, "status": "ok",
        "message": None}


# An AR(1) with a constant and two regressors: one regressor zero throughout (no information
# about its coefficient), or both regressors equal (only their sum is identified).
N = 120
RNG = np.random.default_rng(5)
X = RNG.standard_normal(N)
Y = 2.0 + 0.5 * X + RNG.standard_normal(N)
PARTIAL = "1 of 4 parameters have non-finite SE (singular information matrix)"
NEAR_SINGULAR = ("information matrix is near-singular; standard errors may be unreliable. "
                 "Consider inference='opg'.")


@pytest.mark.parametrize("method", ["hessian", "opg"])
@pytest.mark.parametrize("exog, params, message, nan_at", [
    (np.zeros((N, 1)), [2.0, 0.0, 0.1, 1.0], PARTIAL, [1]),
    (np.column_stack([X, X]), [2.0, 0.25, 0.25, 0.1, 1.0], NEAR_SINGULAR, []),
])
def test_singular_information_is_a_status_not_an_error(method, exog, params, message, nan_at):
    result = peltaro.sarimax_inference(Y, (1, 0, 0), (0, 0, 0, 0), np.array(params),
                                       method=method, exog=exog, trend="c")
    assert (result["status"], result["message"]) == ("partial", message)
    assert [i for i, se in enumerate(result["std_err"]) if math.isnan(se)] == nan_at
    for key in ("z_stat", "p_value", "ci_lower", "ci_upper"):
        assert all(math.isnan(result[key][i]) for i in nan_at), key


Y60 = RNG.standard_normal(60)
AR1 = {"y": Y60, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": np.array([0.5, 1.0])}
VARIANCE = "data error: variance sigma2 must be positive"


@pytest.mark.parametrize("overrides, exc_type, message", [
    # conversion comes first, then alpha, then the layout of y and params
    ({"y": list(Y60), "alpha": 1.5}, TypeError,
     "argument 'y': 'list' object cannot be converted to 'numpy.ndarray'"),
    ({"method": None, "alpha": "x"}, TypeError,
     "argument 'method': 'NoneType' object cannot be converted to 'str'"),
    ({"y": Y60[::2], "alpha": 1.5}, ValueError, "alpha must be in (0, 1), got 1.5"),
    # the shared checks, then the parameter split before the method
    ({"y": np.r_[Y60[:-1], np.nan]}, ValueError, "input time series contains NaN or Inf values"),
    ({"method": "bad", "params": np.array([0.5])}, ValueError,
     "parameter length mismatch: expected 2, got 1"),
    ({"alpha": 1e-20, "method": "bad"}, ValueError,
     "invalid input: unknown inference method 'bad', expected 'hessian' or 'opg'"),
    # the computation, by either estimate
    ({"params": np.array([1.0, 1.0])}, ValueError,
     "data error: transform Jacobian is singular; cannot map the Hessian to constrained space"),
    ({"params": np.array([np.nan, 1.0])}, ValueError,
     "data error: non-finite Kalman statistics encountered (possible NaN/Inf in inputs)"),
    ({"params": np.array([0.5, -1.0])}, ValueError, VARIANCE + ", got -1"),
    ({"params": np.array([0.5, np.nan])}, ValueError, VARIANCE + " and finite, got NaN"),
    ({"params": np.array([0.5, np.inf])}, ValueError, VARIANCE + " and finite, got inf"),
    ({"params": np.array([0.5, np.nan]), "method": "opg"}, ValueError,
     VARIANCE + " and finite, got NaN"),
    # the same texts from both estimates
    *[({**model, "method": m}, ValueError, message) for m in ("hessian", "opg")
      for model, message in [
          ({"order": (0, 0, 0), "seasonal": (0, 2, 0, 2), "params": np.array([1.0])},
           "state space construction failed: Seasonal differencing D > 1 is not yet supported"),
          ({"y": AIR[:13], "order": AIRLINE[0], "seasonal": AIRLINE[1],
            "params": np.array([-0.4, -0.6, 0.001])},
           "data error: Not enough observations: n=13 <= burn=13")]],
])
def test_error_classes_and_messages(overrides, exc_type, message):
    with pytest.raises(exc_type) as info:
        peltaro.sarimax_inference(**{**AR1, **overrides})
    assert type(info.value) is exc_type
    assert str(info.value) == message
