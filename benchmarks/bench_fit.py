"""Time peltaro.sarimax_fit against statsmodels' SARIMAX(...).fit() and, when
they are on the PATH, R's arima(..., method="ML") (Rscript) and gretl's
exact-ML arima (gretlcli), in one run. R and gretl are timed inside their own
process, so that start-up is not counted.

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
import re  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
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


# gretl's model statement: its univariate arima carries a constant unless told
# otherwise, so only the cases without a trend or with a constant have an
# equivalent there.
GRETL_TREND = {None: " --nc", "n": " --nc", "c": ""}

# A batch of fits lasts about this long; the best of a few batches is kept.
GRETL_BATCH_SECONDS = 0.1
GRETL_BATCHES = 5


def gretl_script(values, order, seasonal, constant_flag):
    """A hansl script printing one marker line: seconds per fit (CPU time of
    the best batch, by gretl's stopwatch) and the log-likelihood reached."""
    period = seasonal[3] if seasonal[3] > 1 else 1
    orders = f"{order[0]} {order[1]} {order[2]}"
    if period > 1 and any(seasonal[:3]):
        orders += f" ; {seasonal[0]} {seasonal[1]} {seasonal[2]}"
    # Frequency 1 takes a plain start; a seasonal frequency wants major:minor.
    start = "1:1" if period > 1 else "1"
    command = f"arima {orders} ; y{constant_flag} --quiet"
    return "\n".join([
        "set echo off",
        "set messages off",
        f"nulldata {len(values)} --preserve",
        f"setobs {period} {start} --time-series",
        f"matrix v = {{{','.join(repr(float(v)) for v in values)}}}",
        "series y = v'",
        "set stopwatch",
        command,
        "scalar once = $stopwatch",
        "scalar loglike = $lnl",
        f"scalar reps = xmax(10, int({GRETL_BATCH_SECONDS} / xmax(once, 1e-6)))",
        "scalar best = 1e300",
        f"loop {GRETL_BATCHES} --quiet",
        "  set stopwatch",
        "  loop reps --quiet",
        f"    {command}",
        "  endloop",
        "  best = xmin(best, $stopwatch / reps)",
        "endloop",
        'printf "GRETL_FIT %.10g %.17g\\n", best, loglike',
        "",
    ])


def gretl_fit(values, order, seasonal, trend):
    """Seconds per fit and log-likelihood of gretl's exact-ML arima, or a text
    saying why there is none."""
    if shutil.which("gretlcli") is None:
        return "gretl not installed"
    if trend not in GRETL_TREND:
        return f"no gretl equivalent of trend {trend!r}"
    script = gretl_script(values, order, seasonal, GRETL_TREND[trend])
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "fit.inp"
        path.write_text(script)
        # The C locale keeps the decimal point a point; -e keeps messages in English.
        env = dict(os.environ, LC_ALL="C")
        try:
            out = subprocess.run(["gretlcli", "-b", "-e", "-q", str(path)], capture_output=True,
                                 text=True, cwd=tmp, env=env, timeout=300)
        except (OSError, subprocess.TimeoutExpired) as err:
            return f"gretl failed: {err}"
    # Only the marker line is read: whatever else gretl prints may change
    # between versions. A decimal comma is read as a point all the same.
    found = re.search(r"^GRETL_FIT\s+(\S+)\s+(\S+)\s*$", out.stdout, re.MULTILINE)
    if found is None:
        lines = [ln for ln in (out.stdout + out.stderr).splitlines() if ln.strip()]
        return "gretl failed: " + (lines[-1].strip() if lines else f"exit {out.returncode}")
    try:
        seconds, loglike = (float(g.replace(",", ".")) for g in found.groups())
    except ValueError:
        return f"gretl failed: unreadable {found.group(0)!r}"
    return seconds, loglike


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
    g = gretl_fit(y, order, seasonal, trend)
    if isinstance(g, tuple):
        print(f"  {'gretl arima (exact ML)':<34} {g[0] * 1e3:10.2f} {g[1]:12.4f} {'':>12}")
    else:
        print(f"  {'gretl arima (exact ML)':<34} {'-':>10}  {g}")
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
    ratio_g = f", {g[0] / t_ours:.2f}x gretl" if isinstance(g, tuple) else ", no gretl"
    print(f"  default fit: {t_sm / t_ours:.1f}x statsmodels{ratio_r}{ratio_g}"
          " (peer time / peltaro time)")
    gaps = [("statsmodels", sm_result.llf)] + ([("R", r[1])] if r is not None else [])
    gaps += [("gretl", g[1])] if isinstance(g, tuple) else []
    print("  default fit loglike minus the peer's: "
          + ", ".join(f"{ours['loglike'] - ll:+.2e} {peer}" for peer, ll in gaps))


def main():
    air = np.log(np.loadtxt(ROOT / "data" / "airpassengers.csv", delimiter=",", skiprows=1,
                            usecols=1))
    huron = np.loadtxt(ROOT / "data" / "lakehuron.csv", delimiter=",", skiprows=1, usecols=1)
    lynx = np.log(np.loadtxt(ROOT / "data" / "lynx.csv", delimiter=",", skiprows=1, usecols=1))
    case("airline (0,1,1)(0,1,1,12), log AirPassengers", air, (0, 1, 1), (0, 1, 1, 12))
    case("(2,1,2)(1,1,1,12), log AirPassengers", air, (2, 1, 2), (1, 1, 1, 12))
    case("ARMA(1,1) + constant, Lake Huron", huron, (1, 0, 1), (0, 0, 0, 0), trend="c")
    case("AR(2) + constant, log lynx", lynx, (2, 0, 0), (0, 0, 0, 0), trend="c")


if __name__ == "__main__":
    main()
