"""Exact SARIMAX log-likelihoods checked against statsmodels reference values.

The numbers come from tests/data/loglike_reference.json, written by
tests/data/make_loglike_reference.py (see the file's "how" entry for the exact statsmodels calls).
"""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pytest

import peltaro

REFERENCE = Path(__file__).resolve().parent.parent / "data" / "loglike_reference.json"
DOC = json.loads(REFERENCE.read_text())
CASES = DOC["cases"]

REL_TOL = 1e-8
K_TREND = {None: 0, "n": 0, "c": 1, "t": 1, "ct": 2}


def n_exog(case) -> int:
    return 0 if case["exog"] is None else len(case["exog"][0])


def n_params(case) -> int:
    p, _, q = case["order"]
    P, _, Q, _ = case["seasonal"]
    return (K_TREND[case["trend"]] + n_exog(case) + p + q + P + Q
            + (0 if case["concentrate_scale"] else 1))


def is_seasonal(case) -> bool:
    P, D, Q, s = case["seasonal"]
    return s > 1 and P + D + Q > 0


def undifferenced(case) -> bool:
    return case["order"][1] == 0 and case["seasonal"][1] == 0


def far_from_zero(values) -> bool:
    v = np.asarray(values, dtype=float)
    return abs(v.mean()) > 3.0 * v.std()


def loglike(case) -> float:
    exog = None if case["exog"] is None else np.asarray(case["exog"], dtype=np.float64)
    return peltaro.sarimax_loglike(
        np.asarray(case["y"], dtype=np.float64),
        tuple(case["order"]),
        tuple(case["seasonal"]),
        np.asarray(case["params"], dtype=np.float64),
        exog=exog,
        concentrate_scale=case["concentrate_scale"],
        enforce_stationarity=case["enforce_stationarity"],
        enforce_invertibility=case["enforce_invertibility"],
        trend=case["trend"],
        simple_differencing=case["simple_differencing"],
    )


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_loglike_matches_statsmodels(case):
    ours = loglike(case)
    ref = case["loglike"]
    assert isinstance(ours, float)
    assert abs(ours - ref) <= REL_TOL * max(1.0, abs(ref)), (
        f"{case['name']}: ours {ours!r}, statsmodels {ref!r}, diff {ours - ref:.3e}")


class TestReferenceCoverage:
    """Guards the reference file itself, so that dropping cases cannot quietly weaken the test."""

    def test_file_is_well_formed(self):
        assert DOC["how"].strip()
        names = [c["name"] for c in CASES]
        assert len(names) == len(set(names))
        for c in CASES:
            assert len(c["params"]) == n_params(c), c["name"]
            assert c["order"][1] <= 1 and c["seasonal"][1] <= 1, c["name"]
            if c["exog"] is not None:
                assert len(c["exog"]) == len(c["y"]), c["name"]
            assert np.isfinite(c["loglike"]), c["name"]

    def test_enough_cases(self):
        assert len(CASES) >= 30

    def test_orders_and_periods(self):
        periods = {c["seasonal"][3] for c in CASES if is_seasonal(c)}
        assert {4, 12} <= periods
        assert any(c["order"][0] > 0 for c in CASES)
        assert any(c["order"][2] > 0 for c in CASES)
        assert any(c["seasonal"][0] > 0 for c in CASES)
        assert any(c["seasonal"][2] > 0 for c in CASES)
        assert any(c["order"][1] == 1 for c in CASES)
        assert any(c["seasonal"][1] == 1 for c in CASES)
        assert any(c["order"][1] == 1 and c["seasonal"][1] == 1 for c in CASES)

    def test_trends_regressors_and_flags(self):
        assert {None, "n", "c", "t", "ct"} <= {c["trend"] for c in CASES}
        assert {0, 1, 2} <= {n_exog(c) for c in CASES}
        for flag in ("concentrate_scale", "simple_differencing", "enforce_invertibility"):
            assert {True, False} <= {c[flag] for c in CASES}, flag
        assert sum(not c["enforce_stationarity"] for c in CASES) >= 3
        assert any(not c["enforce_stationarity"] and K_TREND[c["trend"]] > 0 for c in CASES)
        assert any(not c["enforce_stationarity"] and n_exog(c) > 0 for c in CASES)
        assert any(c["simple_differencing"] and K_TREND[c["trend"]] > 0 for c in CASES)
        assert any(c["simple_differencing"] and n_exog(c) > 0 for c in CASES)
        assert any(c["concentrate_scale"] and n_exog(c) > 0 for c in CASES)
        assert any(n_exog(c) > 0 and any(far_from_zero(col) for col in zip(*c["exog"]))
                   for c in CASES)

    def test_seasonal_steady_state_cases(self):
        def present(seasonal, params):
            return any(c["order"] == [0, 0, 0] and c["seasonal"] == seasonal
                       and c["params"] == params and c["trend"] in (None, "n")
                       and c["exog"] is None and len(c["y"]) == 240 for c in CASES)

        assert present([1, 0, 0, 12], [0.5, 1.0])
        assert present([0, 0, 1, 12], [0.5, 1.0])
        long_seasonal = [c for c in CASES if is_seasonal(c) and len(c["y"]) >= 200
                         and c["order"] != [0, 0, 0]]
        assert len(long_seasonal) >= 2

    def test_level_and_trend_cases(self):
        assert any(c["order"] == [2, 0, 0] and c["trend"] == "c"
                   and c["params"] == [124.95, 1.038, -0.254, 0.475] for c in CASES)
        levelled = [c for c in CASES if undifferenced(c) and c["trend"] in ("c", "ct")
                    and far_from_zero(c["y"])]
        assert len(levelled) >= 4
        assert any(is_seasonal(c) for c in levelled)

    def test_long_nonseasonal_arma(self):
        assert any(len(c["y"]) >= 2000 and not is_seasonal(c) and c["order"][0] > 0
                   and c["order"][2] > 0 for c in CASES)
