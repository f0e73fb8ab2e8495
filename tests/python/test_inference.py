"""sarimax_inference: standard errors against statsmodels, the result dict, and every error path.

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
DOC = json.loads((ROOT / "tests" / "data" / "inference_reference.json").read_text())
CASES = DOC["cases"]
KEYS = ["method", "std_err", "z_stat", "p_value", "ci_lower", "ci_upper", "cov_params",
        "n_params", "status", "message"]

HESSIAN_TOL = 2e-3
OPG_TOL = 1e-4
# An intercept far from zero beside AR coefficients whose sum is near one: the information
# matrix, scaled to unit diagonal, has a condition number above 1e5, so the forward-difference
# Jacobian of the stationary AR map (relative error near 1e-8) moves the intercept's standard
# error by a few 1e-3.
BADLY_CONDITIONED = {"lakehuron_ar2_c", "lakehuron_ar2_ct", "lakehuron_arma11_c"}
BADLY_CONDITIONED_TOL = 1e-2


def call(case, method):
    exog = None if case["exog"] is None else np.asarray(case["exog"], dtype=np.float64)
    return peltaro.sarimax_inference(
        np.asarray(case["y"], dtype=np.float64), tuple(case["order"]), tuple(case["seasonal"]),
        np.asarray(case["params"], dtype=np.float64), method=method, exog=exog,
        concentrate_scale=case["concentrate_scale"],
        enforce_stationarity=case["enforce_stationarity"],
        enforce_invertibility=case["enforce_invertibility"], trend=case["trend"],
        simple_differencing=case["simple_differencing"])


def relative_error(ours, reference):
    return float(np.max(np.abs(np.asarray(ours) / np.asarray(reference) - 1.0)))


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_hessian_standard_errors_match_the_complex_step_reference(case):
    result = call(case, "hessian")
    assert result["status"] == "ok", result["message"]
    tol = BADLY_CONDITIONED_TOL if case["name"] in BADLY_CONDITIONED else HESSIAN_TOL
    assert relative_error(result["std_err"], case["hessian"]["std_err"]) <= tol


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_opg_standard_errors_match_the_reference_scores(case):
    result = call(case, "opg")
    assert result["status"] == "ok", result["message"]
    assert relative_error(result["std_err"], case["opg"]["std_err"]) <= OPG_TOL


class TestReferenceCoverage:
    """Guards the reference file, so that dropping or loosening cases cannot weaken the tests."""

    def test_enough_seasonal_cases_with_differencing(self):
        seasonal = [c for c in CASES if c["seasonal"][1] == 1 and c["seasonal"][3] > 1]
        assert len(seasonal) >= 10
        assert {4, 12} <= {c["seasonal"][3] for c in seasonal}
        assert any(not c["enforce_stationarity"] for c in seasonal)
        assert any(c["exog"] is not None for c in seasonal)

    def test_flags_and_points(self):
        for flag in ("concentrate_scale", "simple_differencing", "enforce_stationarity",
                     "enforce_invertibility"):
            assert {True, False} <= {c[flag] for c in CASES}, flag
        assert sum("maximum" not in c["point"] for c in CASES) >= 10

    def test_the_reference_is_steadier_than_the_tolerance(self):
        for c in CASES:
            assert c["hessian"]["step_sensitivity"] < HESSIAN_TOL / 20, c["name"]

    def test_loosened_cases_are_badly_conditioned(self):
        for c in CASES:
            if c["name"] not in BADLY_CONDITIONED:
                continue
            information = np.asarray(c["hessian"]["information"])
            scale = 1.0 / np.sqrt(np.diag(information))
            assert np.linalg.cond(information * np.outer(scale, scale)) > 1e5, c["name"]
            assert c["enforce_stationarity"] and c["order"][0] > 0, c["name"]


# --- the result dict ------------------------------------------------------------------------

AIR = np.log(np.loadtxt(ROOT / "data" / "airpassengers.csv", delimiter=",", skiprows=1,
                        usecols=1))
AIRLINE = ((0, 1, 1), (0, 1, 1, 12))
AIRLINE_PARAMS = np.array([-0.4018540911, -0.5569387152, 0.0013480985])


@pytest.mark.parametrize("method", ["hessian", "opg"])
@pytest.mark.parametrize("alpha, q", [(0.05, 1.959964), (0.10, 1.644854)])
def test_dict_holds_the_statistics_of_the_covariance(method, alpha, q):
    result = peltaro.sarimax_inference(AIR, *AIRLINE, AIRLINE_PARAMS, method=method, alpha=alpha)
    assert list(result) == KEYS
    assert result["method"] == method and result["n_params"] == 3
    assert (result["status"], result["message"]) == ("ok", None)
    k = 3
    cov = np.array(result["cov_params"]).reshape(k, k)
    np.testing.assert_allclose(cov, cov.T, rtol=1e-10, atol=0)
    for i, theta in enumerate(AIRLINE_PARAMS):
        se = result["std_err"][i]
        assert se == math.sqrt(cov[i, i])
        assert result["z_stat"][i] == theta / se
        z = abs(theta / se)
        assert result["p_value"][i] == pytest.approx(math.erfc(z / math.sqrt(2.0)), abs=1e-15)
        assert (result["ci_upper"][i] - theta) / se == pytest.approx(q, abs=5e-7)
        assert (theta - result["ci_lower"][i]) / se == pytest.approx(q, abs=5e-7)


def test_hessian_is_the_default_method():
    assert peltaro.sarimax_inference(AIR, *AIRLINE, AIRLINE_PARAMS) == \
        peltaro.sarimax_inference(AIR, *AIRLINE, AIRLINE_PARAMS, "hessian", 0.05)


def test_alpha_accepts_any_object_with_a_float_value():
    class Half:
        def __float__(self):
            return 0.5

    a = peltaro.sarimax_inference(AIR, *AIRLINE, AIRLINE_PARAMS, alpha=Half())
    b = peltaro.sarimax_inference(AIR, *AIRLINE, AIRLINE_PARAMS, alpha=0.5)
    assert a == b


@pytest.mark.parametrize("method", ["anything", "hessian", "opg"])
def test_model_without_parameters(method):
    result = peltaro.sarimax_inference(AIR, (0, 0, 0), (0, 0, 0, 0), np.array([]),
                                       method=method, concentrate_scale=True)
    assert result == {"method": method, "std_err": [], "z_stat": [], "p_value": [],
                      "ci_lower": [], "ci_upper": [], "cov_params": [], "n_params": 0,
                      "status": "ok", "message": None}


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


# --- errors ---------------------------------------------------------------------------------

Y60 = RNG.standard_normal(60)
AR1 = np.array([0.5, 1.0])
CONTIGUITY = "The given array is not contiguous or is misaligned."
VARIANCE = "data error: variance sigma2 must be positive, got "


def base(**overrides):
    kwargs = {"y": Y60, "order": (1, 0, 0), "seasonal": (0, 0, 0, 0), "params": AR1}
    kwargs.update(overrides)
    return kwargs


@pytest.mark.parametrize("overrides, exc_type, message", [
    # conversion comes first, then alpha, then the layout of y and params
    ({"y": list(Y60), "alpha": 1.5}, TypeError,
     "argument 'y': 'list' object cannot be converted to 'numpy.ndarray'"),
    ({"y": Y60[::2], "alpha": 1.5}, ValueError, "alpha must be in (0, 1), got 1.5"),
    ({"y": Y60[::2]}, TypeError, CONTIGUITY),
    ({"params": np.array([0.5, 0.0, 1.0])[::2]}, TypeError, CONTIGUITY),
    ({"method": None}, TypeError,
     "argument 'method': 'NoneType' object cannot be converted to 'str'"),
    ({"method": 3}, TypeError, "argument 'method': 'int' object cannot be converted to 'str'"),
    ({"alpha": "0.05"}, TypeError, "argument 'alpha': must be real number, not str"),
    ({"alpha": None}, TypeError, "argument 'alpha': must be real number, not NoneType"),
    ({"alpha": 10**400}, OverflowError, "int too large to convert to float"),
    ({"method": None, "alpha": "x"}, TypeError,
     "argument 'method': 'NoneType' object cannot be converted to 'str'"),
    ({"alpha": 0.0}, ValueError, "alpha must be in (0, 1), got 0"),
    ({"alpha": 1}, ValueError, "alpha must be in (0, 1), got 1"),
    ({"alpha": -0.5}, ValueError, "alpha must be in (0, 1), got -0.5"),
    ({"alpha": float("nan")}, ValueError, "alpha must be in (0, 1), got NaN"),
    ({"alpha": float("-inf")}, ValueError, "alpha must be in (0, 1), got -inf"),
    ({"alpha": 1e-20, "method": "bad"}, ValueError,
     "invalid input: unknown inference method 'bad', expected 'hessian' or 'opg'"),
    ({"method": "HESSIAN"}, ValueError,
     "invalid input: unknown inference method 'HESSIAN', expected 'hessian' or 'opg'"),
    ({"method": "bad", "params": np.array([0.5])}, ValueError,
     "parameter length mismatch: expected 2, got 1"),
    ({"y": np.r_[Y60[:-1], np.nan]}, ValueError, "input time series contains NaN or Inf values"),
    ({"order": (21, 0, 0)}, ValueError, "AR order p=21 exceeds maximum 20"),
    ({"trend": "CT"}, ValueError, "unknown trend 'CT', expected one of: 'n', 'c', 't', 'ct'"),
    ({"exog": np.ones((59, 1)), "params": np.array([1.0, 0.5, 1.0])}, ValueError,
     "exog has 59 rows but endog has 60 observations; they must match"),
    ({"seasonal": (0, 2, 0, 2), "order": (0, 0, 0), "params": np.array([1.0])}, ValueError,
     "state space construction failed: Seasonal differencing D > 1 is not yet supported"),
    ({"params": np.array([1.0, 1.0])}, ValueError,
     "data error: transform Jacobian is singular; cannot map the Hessian to constrained space"),
    ({"params": np.array([0.5, -1.0])}, ValueError, VARIANCE + "-1"),
    ({"params": np.array([0.5, -1.0]), "method": "opg"}, ValueError, VARIANCE + "-1"),
    ({"params": np.array([0.5, np.nan]), "method": "opg"}, ValueError, VARIANCE + "NaN"),
    ({"params": np.array([0.5, np.inf]), "method": "opg"}, ValueError, VARIANCE + "inf"),
    ({"params": np.array([0.5, np.inf])}, ValueError, VARIANCE + "inf"),
    ({"y": Y60[:13], "order": AIRLINE[0], "seasonal": AIRLINE[1], "method": "opg",
      "params": np.array([-0.4, -0.6, 0.001])}, ValueError,
     "data error: Not enough observations: n=13 <= burn=13"),
])
def test_error_classes_and_messages(overrides, exc_type, message):
    with pytest.raises(exc_type) as info:
        peltaro.sarimax_inference(**base(**overrides))
    assert type(info.value) is exc_type
    assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs, message", [
    ((Y60, (1, 0, 0), (0, 0, 0, 0)), {},
     "sarimax_inference() missing 1 required positional argument: 'params'"),
    ((Y60, (1, 0, 0), (0, 0, 0, 0), AR1, "hessian", 0.05, None, False, True, True, None, False,
      1), {}, "sarimax_inference() takes from 4 to 12 positional arguments but 13 were given"),
    ((Y60, (1, 0, 0), (0, 0, 0, 0), AR1), {"inference": "opg"},
     "sarimax_inference() got an unexpected keyword argument 'inference'"),
    ((Y60, (1, 0, 0), (0, 0, 0, 0), AR1, "opg"), {"method": "opg"},
     "sarimax_inference() got multiple values for argument 'method'"),
])
def test_argument_matching_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        peltaro.sarimax_inference(*args, **kwargs)
    assert str(info.value) == message
