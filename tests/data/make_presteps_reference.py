"""Write tests/data/presteps_reference.csv (and the simulated series css_sim_arma11.csv).

Two kinds of line:
  css,<name>,<max CSS log-likelihood>,<coefficients...>
      The maximum of the conditional-sum-of-squares log-likelihood, written here from its
      definition in numpy and maximised by scipy.optimize over the model coefficients
      (regression, AR, MA, seasonal AR, seasonal MA in that order): Nelder-Mead from a grid of
      starts, then BFGS polishing; the script asserts a central-difference gradient below 1e-5
      there. The criterion: the series is differenced (D times at lag s, d times at lag 1), each
      regressor column is differenced the same way and its effect removed, then with the reduced
      polynomials a(L) = (1 - phi(L))(1 - Phi(L^s)) and b(L) = (1 + theta(L))(1 + Theta(L^s)) of
      degrees P and Q, residuals e_t = w_t + sum a_i w_{t-i} - sum b_i e_{t-i} for
      t = max(P, Q) .. L-1 (earlier residuals zero); with m = L - max(P, Q) and SSR their sum of
      squares, loglike = -(m/2) ln(SSR/m) - m/2.
  sd,<name>,<llf>,<params...>
      statsmodels' maximum log-likelihood of SARIMAX(..., simple_differencing=True): L-BFGS from
      its own start, then BFGS polishing, both with tight tolerances; params in statsmodels' order
      (AR, MA, seasonal AR, seasonal MA, sigma2).

The series: css_sim_arma11.csv holds an ARMA(1,1) series (phi 0.6, theta 0.3, unit-variance
shocks, 300 values after a burn-in of 200, numpy default_rng seed 20240611), one value per line;
the others are the public series in data/, transformed as CASES below says.

Run from anywhere:  python tests/data/make_presteps_reference.py
"""

from __future__ import annotations

import itertools
import math
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import scipy
import scipy.optimize
import statsmodels
from statsmodels.tsa.statespace.sarimax import SARIMAX

HERE = Path(__file__).resolve().parent
DATA = HERE.parent.parent / "data"
OUT = HERE / "presteps_reference.csv"
SIM = HERE / "css_sim_arma11.csv"


def column(file: str, name: str = "value") -> np.ndarray:
    return pd.read_csv(DATA / f"{file}.csv")[name].to_numpy(dtype=float)


def simulate_arma11(n: int = 300, burn: int = 200, phi: float = 0.6, theta: float = 0.3):
    rng = np.random.default_rng(20240611)
    e = rng.standard_normal(n + burn)
    y = np.zeros(n + burn)
    for t in range(n + burn):
        y[t] = e[t] + (phi * y[t - 1] + theta * e[t - 1] if t > 0 else 0.0)
    return y[burn:]


def difference(x: np.ndarray, d: int, D: int, s: int) -> np.ndarray:
    for _ in range(D):
        x = x[s:] - x[:-s]
    for _ in range(d):
        x = np.diff(x)
    return x


def lag_poly(coefs, step: int, sign: float) -> np.ndarray:
    poly = np.zeros(len(coefs) * step + 1)
    poly[0] = 1.0
    for i, c in enumerate(coefs, start=1):
        poly[i * step] = sign * c
    return poly


def css_loglike(theta, y, exog, order, seasonal):
    p, d, q = order
    P, D, Q, s = seasonal
    k = 0 if exog is None else exog.shape[1]
    beta, theta = theta[:k], theta[k:]
    ar, ma, sar, sma = np.split(theta, np.cumsum([p, q, P]))
    w = difference(np.asarray(y, dtype=float), d, D, s)
    for j in range(k):
        w = w - beta[j] * difference(exog[:, j], d, D, s)
    a = np.convolve(lag_poly(ar, 1, -1.0), lag_poly(sar, s, -1.0))
    b = np.convolve(lag_poly(ma, 1, 1.0), lag_poly(sma, s, 1.0))
    t0 = max(len(a), len(b)) - 1
    e = np.zeros(len(w))
    for t in range(t0, len(w)):
        e[t] = w[t] + a[1:] @ w[t - 1::-1][: len(a) - 1] - b[1:] @ e[t - 1::-1][: len(b) - 1]
    m = len(w) - t0
    ssr = float(e[t0:] @ e[t0:])
    return -(m / 2) * math.log(ssr / m) - m / 2


def css_maximum(y, exog, order, seasonal):
    k = (0 if exog is None else exog.shape[1]) + order[0] + order[2] + seasonal[0] + seasonal[2]

    def f(x):
        try:
            return -css_loglike(x, y, exog, order, seasonal)
        except (ValueError, FloatingPointError, OverflowError):
            return math.inf

    best = None
    for start in itertools.product((-0.5, 0.0, 0.5), repeat=k):
        r = scipy.optimize.minimize(f, np.array(start), method="Nelder-Mead",
                                    options=dict(xatol=1e-12, fatol=1e-14, maxiter=40000,
                                                 maxfev=80000))
        if best is None or r.fun < best.fun:
            best = r
    polished = scipy.optimize.minimize(f, best.x, method="BFGS", options=dict(gtol=1e-10))
    x = polished.x if polished.fun <= best.fun else best.x
    h = 1e-6
    grad = [(f(x + h * np.eye(k)[i]) - f(x - h * np.eye(k)[i])) / (2 * h) for i in range(k)]
    assert max(abs(g) for g in grad) < 1e-5, grad
    return -f(x), x


def sd_maximum(y, **kw):
    model = SARIMAX(y, simple_differencing=True, **kw)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        first = model.fit(disp=False, method="lbfgs", maxiter=5000, pgtol=1e-10, factr=10.0)
        polished = model.fit(np.asarray(first.params), disp=False, method="bfgs", maxiter=1000,
                             gtol=1e-10)
    best = max((first, polished), key=lambda r: r.llf)
    return best.llf, np.asarray(best.params, dtype=float)


def main() -> None:
    sim = simulate_arma11()
    SIM.write_text("".join(f"{float(v)!r}\n" for v in sim))
    airline = 100.0 * np.log(column("airpassengers"))
    lakehuron = column("lakehuron") - 579.0
    drivers = np.log(column("seatbelts", "drivers"))
    seatbelt_exog = np.column_stack([column("seatbelts", "PetrolPrice"),
                                     column("seatbelts", "law")])
    css_cases = {
        "sim_arma11": (sim, None, (1, 0, 1), (0, 0, 0, 0)),
        "lakehuron_arma11": (lakehuron, None, (1, 0, 1), (0, 0, 0, 0)),
        "airline": (airline, None, (0, 1, 1), (0, 1, 1, 12)),
        "seatbelts_arima111_exog": (drivers, seatbelt_exog, (1, 1, 1), (0, 0, 0, 0)),
    }
    sd_cases = {
        "airline": (airline, dict(order=(0, 1, 1), seasonal_order=(0, 1, 1, 12))),
        "lakehuron_arma11": (lakehuron, dict(order=(1, 0, 1))),
    }
    lines = [f"# Made by tests/data/make_presteps_reference.py (statsmodels "
             f"{statsmodels.__version__}, scipy {scipy.__version__}, numpy {np.__version__}); "
             f"see the script for the line format."]
    for name, (y, exog, order, seasonal) in css_cases.items():
        value, x = css_maximum(y, exog, order, seasonal)
        lines.append(",".join(["css", name, repr(float(value))] + [repr(float(v)) for v in x]))
    for name, (y, kw) in sd_cases.items():
        llf, params = sd_maximum(y, **kw)
        assert math.isfinite(llf)
        lines.append(",".join(["sd", name, repr(float(llf))] + [repr(float(v)) for v in params]))
    OUT.write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
