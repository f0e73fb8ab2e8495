"""Time peltaro.sarimax_fit against statsmodels' SARIMAX(...).fit() and, when
Rscript is on the PATH, R's arima(..., method="ML"), in one run.

Prints, per model, the time of one fit by each peer and by every method name
of sarimax_fit, the log-likelihood each reaches, and the number of objective
evaluations (L-BFGS-B methods count evaluations in n_iter; statsmodels
reports its function calls). Needs statsmodels; not part of the test suite.

    python benchmarks/bench_fit.py
"""
import os

# One BLAS thread: several would fight over the cores and slow statsmodels down.
for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[var] = "1"

import math  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import peltaro  # noqa: E402

try:
    from statsmodels.tsa.statespace.sarimax import SARIMAX  # noqa: E402
except ImportError as exc:  # pragma: no cover
    raise SystemExit("this benchmark needs statsmodels: pip install statsmodels") from exc

warnings.simplefilter("ignore")
ROOT = Path(__file__).resolve().parent.parent
METHODS = ["lbfgsb", "lbfgsb-multi", "lbfgsb-adaptive", "lbfgsb-hybrid", "lbfgsb-strict",
           "lbfgsb_single", "lbfgs", "bfgs", "trust-region", "profile-trust-region",
           "nelder-mead", "nm"]


def best_time(fn, budget=2.0, min_reps=3):
    """Smallest time of one call over repeated calls within a time budget."""
    best, spent, reps = math.inf, 0.0, 0
    while spent < budget or reps < min_reps:
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best, spent, reps = min(best, dt), spent + dt, reps + 1
    return best


def r_fit(values, order, seasonal, trend):
    """Seconds per fit and log-likelihood of R's arima, timed inside R."""
    if shutil.which("Rscript") is None:
        return None
    mean = "TRUE" if trend == "c" else "FALSE"
    script = (
        f"x <- c({','.join(repr(float(v)) for v in values)});"
        f"fit <- function() arima(x, order=c({order[0]},{order[1]},{order[2]}),"
        f" seasonal=list(order=c({seasonal[0]},{seasonal[1]},{seasonal[2]}), period={seasonal[3]}),"
        f" include.mean={mean}, method='ML');"
        "f <- fit(); reps <- 50; t <- system.time(for (i in 1:reps) fit())[['elapsed']];"
        "cat(t / reps, f$loglik, '\\n')"
    )
    out = subprocess.run(["Rscript", "-e", script], capture_output=True, text=True)
    if out.returncode != 0:
        return None
    seconds, loglik = out.stdout.split()
    return float(seconds), float(loglik)


def case(name, y, order, seasonal, trend=None):
    print(f"\n{name}  (n = {y.size})")
    sm_model = SARIMAX(y, order=order, seasonal_order=seasonal, trend=trend or "n")
    sm_result = sm_model.fit(disp=False)
    t_sm = best_time(lambda: sm_model.fit(disp=False))
    fcalls = sm_result.mle_retvals.get("fcalls", "?")
    ours = peltaro.sarimax_fit(y, order, seasonal, trend=trend)
    t_ours = best_time(lambda: peltaro.sarimax_fit(y, order, seasonal, trend=trend))
    print(f"  {'fit':<34} {'time (ms)':>10} {'loglike':>12} {'evals/iters':>12}")
    print(f"  {'statsmodels SARIMAX.fit()':<34} {t_sm * 1e3:10.2f} {sm_result.llf:12.4f}"
          f" {fcalls:>12}")
    r = r_fit(y, order, seasonal, trend)
    if r is not None:
        print(f"  {'R arima(method=ML)':<34} {r[0] * 1e3:10.2f} {r[1]:12.4f} {'':>12}")
    for method in METHODS:
        try:
            fit = peltaro.sarimax_fit(y, order, seasonal, trend=trend, method=method)
        except RuntimeError as err:
            # The strict methods raise where the optimiser fails.
            print(f"  {'peltaro ' + method:<34} {'failed':>10}  {err}")
            continue
        t = best_time(lambda: peltaro.sarimax_fit(y, order, seasonal, trend=trend,
                                                  method=method), budget=0.5)
        print(f"  {'peltaro ' + method:<34} {t * 1e3:10.2f} {fit['loglike']:12.4f}"
              f" {fit['n_iter']:>12}  {fit['method']}")
    ratio_r = f", {r[0] / t_ours:.1f}x R" if r is not None else ", R not installed"
    print(f"  default fit: {t_sm / t_ours:.1f}x statsmodels{ratio_r};"
          f" loglike {ours['loglike'] - sm_result.llf:+.2e} against statsmodels")


def main():
    air = np.log(np.loadtxt(ROOT / "data" / "airpassengers.csv", delimiter=",", skiprows=1,
                            usecols=1))
    huron = np.loadtxt(ROOT / "data" / "lakehuron.csv", delimiter=",", skiprows=1, usecols=1)
    case("airline (0,1,1)(0,1,1,12), log AirPassengers", air, (0, 1, 1), (0, 1, 1, 12))
    case("(2,1,2)(1,1,1,12), log AirPassengers", air, (2, 1, 2), (1, 1, 1, 12))
    case("ARMA(1,1) + constant, Lake Huron", huron, (1, 0, 1), (0, 0, 0, 0), trend="c")


if __name__ == "__main__":
    main()
