"""Time peltaro.sarimax_inference against statsmodels' covariance of the same kind.

For each model both sides start from the same parameters: peltaro computes the "hessian" (or
"opg") covariance with standard errors, intervals and p values in one call; statsmodels runs its
filter with cov_type='approx' (complex-step Hessian) or 'opg' and takes the standard errors. The
figure that matters is the ratio. The last column shows how far the two sets of standard errors
are apart: statsmodels' complex-step Hessian is itself noisy on seasonally differenced models
(tests/data/make_inference_reference.py measures by how much), which accounts for the larger
gaps. Needs statsmodels (`pip install statsmodels`); not part of the test suite.

With --large it times peltaro alone, once per method, on a system of 734 states: a
(2,1,2)(1,1,1,365) model over three seasons of simulated daily data.

    OPENBLAS_NUM_THREADS=1 python benchmarks/bench_inference.py
    python benchmarks/bench_inference.py --large
"""
import sys
import time
import warnings
from pathlib import Path

import numpy as np

import peltaro
from simulate import sarima

warnings.simplefilter("ignore")
ROOT = Path(__file__).resolve().parent.parent
PEER_COV = {"hessian": "approx", "opg": "opg"}


def case(name, y, order, seasonal, params, method, **kw):
    from bench_loglike import best_time  # needs statsmodels, as this comparison does
    from statsmodels.tsa.statespace.sarimax import SARIMAX

    ours = lambda: peltaro.sarimax_inference(y, order, seasonal, params, method=method, **kw)
    model = SARIMAX(y, order=order, seasonal_order=seasonal, trend=kw.get("trend"),
                    trend_offset=0)
    peer = lambda: model.filter(params, cov_type=PEER_COV[method]).bse
    se_ours = np.asarray(ours()["std_err"])
    se_peer = np.asarray(peer(), dtype=float)
    t_ours, t_peer = best_time(ours), best_time(peer)
    gap = np.max(np.abs(se_ours / se_peer - 1.0))
    print(f"{name:<40} {method:<8} {len(params):>2} {t_ours * 1e3:10.2f} {t_peer * 1e3:12.2f} "
          f"{t_peer / t_ours:7.1f}x   max |se/se_peer - 1| = {gap:.1e}")


def large():
    phi, theta, big_phi, big_theta, s = [0.3, -0.2], [-0.5, 0.1], 0.2, -0.5, 365
    ar = np.convolve([1.0, -phi[0], -phi[1]], np.r_[1.0, np.zeros(s - 1), -big_phi])
    ma = np.convolve([1.0, theta[0], theta[1]], np.r_[1.0, np.zeros(s - 1), big_theta])
    y = sarima(np.random.default_rng(20261207).standard_normal(1500), ar, ma, 1, 1, s)
    params = np.array(phi + theta + [big_phi, big_theta, 1.0])
    for method in ("hessian", "opg"):
        t0 = time.perf_counter()
        out = peltaro.sarimax_inference(y, (2, 1, 2), (1, 1, 1, s), params, method=method)
        print(f"(2,1,2)(1,1,1,365), simulated (n=1500)   {method:<8} "
              f"{time.perf_counter() - t0:8.2f} s   status {out['status']}")


def main():
    try:
        import statsmodels  # noqa: F401
    except ImportError as exc:  # pragma: no cover
        raise SystemExit("this benchmark needs statsmodels: pip install statsmodels") from exc
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
    large() if "--large" in sys.argv[1:] else main()
