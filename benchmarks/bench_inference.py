"""Time peltaro.sarimax_inference against statsmodels' complex-step covariance.

For each model both sides start from the same parameters: peltaro computes the "hessian" (or
"opg") covariance with standard errors, intervals and p values in one call; statsmodels builds its
results with cov_type='approx' (complex-step Hessian) or 'opg' through SARIMAX.smooth, which is
the cheapest way to its covariance (the smoother pass is included, as any statsmodels user pays
it). The figure that matters is the ratio. The last column shows how far the two standard errors
are apart; statsmodels' complex-step Hessian is itself noisy on seasonally differenced models
(tests/data/make_inference_reference.py measures by how much), which accounts for the larger gaps. Needs statsmodels (`pip install statsmodels`); not part
of the test suite.

    OPENBLAS_NUM_THREADS=1 python benchmarks/bench_inference.py
"""
import math
import time
import warnings
from pathlib import Path

import numpy as np

import peltaro

try:
    from statsmodels.tsa.statespace.sarimax import SARIMAX
except ImportError as exc:  # pragma: no cover
    raise SystemExit("this benchmark needs statsmodels: pip install statsmodels") from exc

warnings.simplefilter("ignore")
ROOT = Path(__file__).resolve().parent.parent
PEER_COV = {"hessian": "approx", "opg": "opg"}


def best_time(fn, budget=1.0, min_batches=3):
    """Smallest per-call time over repeated batches within a time budget."""
    fn()
    reps, best, spent, batches = 1, math.inf, 0.0, 0
    while spent < budget or batches < min_batches:
        t0 = time.perf_counter()
        for _ in range(reps):
            fn()
        dt = time.perf_counter() - t0
        best = min(best, dt / reps)
        spent += dt
        batches += 1
        if dt < 0.05:
            reps *= 2
    return best


def case(name, y, order, seasonal, params, method, **kw):
    ours = lambda: peltaro.sarimax_inference(y, order, seasonal, params, method=method, **kw)
    model = SARIMAX(y, order=order, seasonal_order=seasonal, trend=kw.get("trend"),
                    trend_offset=0)
    peer = lambda: model.smooth(params, cov_type=PEER_COV[method])
    se_ours = np.asarray(ours()["std_err"])
    se_peer = np.asarray(peer().bse, dtype=float)
    t_ours, t_peer = best_time(ours), best_time(peer)
    gap = np.max(np.abs(se_ours / se_peer - 1.0))
    print(f"{name:<40} {method:<8} {len(params):>2} {t_ours * 1e3:10.2f} {t_peer * 1e3:12.2f} "
          f"{t_peer / t_ours:7.1f}x   max |se/se_peer - 1| = {gap:.1e}")


def main():
    air = np.log(np.loadtxt(ROOT / "data" / "airpassengers.csv", delimiter=",", skiprows=1,
                            usecols=1))
    co2 = np.loadtxt(ROOT / "data" / "co2.csv", delimiter=",", skiprows=1, usecols=1)
    rng = np.random.default_rng(20261207)
    e = rng.standard_normal(5000)
    arma = np.zeros(e.size)
    for t in range(2, e.size):
        arma[t] = 0.5 * arma[t - 1] - 0.2 * arma[t - 2] + e[t] + 0.3 * e[t - 1]

    cases = [
        ("airline, AirPassengers (n=144)", air, (0, 1, 1), (0, 1, 1, 12),
         np.array([-0.4018540911, -0.5569387152, 0.0013480985]), {}),
        ("(2,1,2)(1,1,1,12), AirPassengers", air, (2, 1, 2), (1, 1, 1, 12),
         np.array([0.167566, 0.236034, -0.569495, -0.159227, -0.066622, -0.527405, 0.001319]), {}),
        ("(2,1,2)(1,1,1,12), co2 (n=468)", co2, (2, 1, 2), (1, 1, 1, 12),
         np.array([0.004828, 0.241663, -0.343601, -0.256869, 0.038429, -0.863294, 0.081551]), {}),
    ]
    # At a maximum, where both covariances estimate the same matrix.
    fitted = peltaro.sarimax_fit(arma + 10.0, (2, 0, 1), (0, 0, 0, 0), trend="c")
    cases.append(("ARMA(2,1) + constant (n=5000)", arma + 10.0, (2, 0, 1), (0, 0, 0, 0),
                  np.array(fitted["params"]), {"trend": "c"}))
    print(f"{'case':<40} {'method':<8} {'k':>2} {'peltaro ms':>10} {'statsmodels ms':>12} "
          f"{'ratio':>8}")
    for name, y, order, seasonal, params, kw in cases:
        for method in ("hessian", "opg"):
            case(name, y, order, seasonal, params, method, **kw)


if __name__ == "__main__":
    main()
