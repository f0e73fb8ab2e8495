"""Time peltaro.sarimax_loglike against statsmodels' SARIMAX.loglike.

Both evaluate the exact Gaussian log-likelihood at the same parameters in the
same run; the figure that matters is the ratio. Needs statsmodels
(`pip install statsmodels`); not part of the test suite.

    python benchmarks/bench_loglike.py
"""
import os

# One BLAS thread: several would fight over the cores and slow statsmodels down.
for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import math  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import peltaro  # noqa: E402
import simulate  # noqa: E402

try:
    from statsmodels.tsa.statespace.sarimax import SARIMAX
except ImportError as exc:  # pragma: no cover
    raise SystemExit("this benchmark needs statsmodels: pip install statsmodels") from exc

warnings.simplefilter("ignore")
ROOT = Path(__file__).resolve().parent.parent


def best_time(fn, budget=1.0, min_batches=5):
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


def case(name, y, order, seasonal, params):
    ours = lambda: peltaro.sarimax_loglike(y, order, seasonal, params)
    model = SARIMAX(y, order=order, seasonal_order=seasonal)
    peer = lambda: model.loglike(params)
    ll_ours, ll_peer = ours(), peer()
    t_ours, t_peer = best_time(ours), best_time(peer)
    print(f"{name:<34} {t_ours * 1e6:11.1f} {t_peer * 1e6:13.1f} {t_peer / t_ours:8.1f}x"
          f"   |dll| = {abs(ll_ours - ll_peer):.2e}")


def main():
    air = np.log(np.loadtxt(ROOT / "data" / "airpassengers.csv", delimiter=",",
                            skiprows=1, usecols=1))
    rng = np.random.default_rng(20261207)
    e = rng.standard_normal(10_000 + 13)
    theta, big_theta = -0.4, -0.6
    sim = simulate.airline(e, theta, big_theta)

    airline = ((0, 1, 1), (0, 1, 1, 12))
    print(f"{'case':<34} {'peltaro (us)':>11} {'statsmodels (us)':>13} {'ratio':>9}")
    case("airline, AirPassengers (n=144)", air, *airline, np.array([-0.40, -0.56, 0.00137]))
    case("(2,1,2)(1,1,1,12), AirPassengers", air, (2, 1, 2), (1, 1, 1, 12),
         np.array([0.2, 0.1, -0.5, 0.1, 0.1, -0.6, 0.00133]))
    case("airline, simulated (n=1000)", sim[:1000], *airline, np.array([theta, big_theta, 1.0]))
    case("airline, simulated (n=10000)", sim, *airline, np.array([theta, big_theta, 1.0]))
    ar = np.zeros(10_000)
    for t in range(2, ar.size):
        ar[t] = 0.5 * ar[t - 1] - 0.2 * ar[t - 2] + e[t]
    case("ARMA(2,0,1), simulated (n=10000)", ar, (2, 0, 1), (0, 0, 0, 0),
         np.array([0.5, -0.2, 0.1, 1.0]))


if __name__ == "__main__":
    main()
