"""Write tests/data/start_params_reference.csv: start values for SARIMAX models on the public series.

A second, independent implementation of the start values in numpy: the differenced series, the trend
and regressor least squares, the Hannan-Rissanen two-stage regressions, the guard on coefficient
blocks beyond 0.99, the trend in intercept form and the variance fallbacks. Least squares use
LAPACK's SVD (numpy.linalg.svd) with
singular values at or below 1e-12 dropped; where the design has full rank the script asserts that the
result agrees with numpy.linalg.lstsq. The C++ test recomputes every line and compares.

Run from anywhere:  python tests/data/make_start_params_reference.py

Line format (numbers written with repr(), which reads back exactly):
  name,file,column,log,rows,exog,p,d,q,P,D,Q,s,trend,concentrate,values...
file and column (0 = time) name the series in data/; log = 1 takes its logarithm; rows = 0 uses the
whole series, otherwise its first `rows` values; exog lists the regressor columns of the same file
separated by ';' (empty: none); trend is 0 none, 1 constant, 2 linear, 3 both; values is the flat
start vector (trend, regressors, AR, MA, seasonal AR, seasonal MA, sigma2 unless concentrate = 1).
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
DATA = HERE.parent.parent / "data"
OUT = HERE / "start_params_reference.csv"
EPS = 1e-12
FLOOR = 1e-6


def lstsq(columns: list[np.ndarray], target: np.ndarray) -> np.ndarray:
    a = np.column_stack(columns)
    u, s, vt = np.linalg.svd(a, full_matrices=False)
    keep = s > EPS
    x = vt.T @ np.where(keep, (u.T @ target) / np.where(keep, s, 1.0), 0.0)
    if keep.all() and a.shape[0] >= a.shape[1]:
        ref = np.linalg.lstsq(a, target, rcond=None)[0]
        assert np.allclose(x, ref, rtol=1e-9, atol=1e-12), (x, ref)
    return x


def ols(columns: list[np.ndarray], target: np.ndarray) -> np.ndarray | None:
    if not columns:
        return np.zeros(0)
    if len(target) == 0:
        return np.zeros(len(columns))
    rows = min([len(target)] + [len(c) for c in columns])
    if rows < len(columns):
        return None
    return lstsq([c[:rows] for c in columns], target[:rows])


def hannan_rissanen(y: np.ndarray, ar_lags: list[int], ma_lags: list[int]):
    n = len(y)
    q_max = max(ma_lags, default=0)
    p_max = max(ar_lags, default=0)
    m = 2 * q_max
    t0 = max(p_max, 3 * q_max)
    e = np.zeros(n)
    if ma_lags:
        if n <= m + 2:
            return None
        lagged = [y[m - j: n - j] for j in range(1, m + 1)]
        gamma = ols(lagged, y[m:])
        if gamma is None:
            return None
        e[m:] = y[m:] - np.column_stack(lagged) @ gamma
    if n <= t0 + 2:
        return None
    design = [y[t0 - l: n - l] for l in ar_lags] + [e[t0 - l: n - l] for l in ma_lags]
    beta = ols(design, y[t0:])
    if beta is None:
        return None
    r = y[t0:] - np.column_stack(design) @ beta
    L = len(r)
    if L > len(ma_lags):
        sigma2 = np.sum(r[len(ma_lags):] ** 2) / (L - len(ma_lags))
    else:
        sigma2 = np.var(r)
    return beta[: len(ar_lags)], beta[len(ar_lags):], max(sigma2, FLOOR)


def unsafe(block: np.ndarray, moving_average: bool) -> bool:
    """An inverse root of modulus 0.999 or more (the block's own polynomial; seasonal blocks in L^s)."""
    if len(block) == 0:
        return False
    coefficients = block if moving_average else -block
    return bool(np.any(np.abs(np.roots(np.concatenate(([1.0], coefficients)))) >= 0.999))


def guarded(block: np.ndarray, moving_average: bool) -> np.ndarray:
    return np.zeros_like(block) if unsafe(block, moving_average) else block


def diff(x: np.ndarray, d: int, D: int, s: int) -> np.ndarray:
    x = np.diff(x, n=d) if d else x
    for _ in range(D if s else 0):
        x = x[s:] - x[:-s] if len(x) > s else np.zeros(0)
    return x


def start_values(y, exog, order, seasonal, trend, concentrate, guard_hits):
    p, d, q = order
    P, D, Q, s = seasonal
    w = diff(y, d, D, s)
    n, nw = len(y), len(w)
    out = []
    cols = []
    if trend in (1, 3):
        cols.append(np.ones(nw))
    if trend in (2, 3):
        cols.append(np.arange(n - nw, n, dtype=float))
    k_trend = len(cols)
    # Trend and regressors in one least-squares fit on the differenced series.
    if exog is not None:
        cols += [diff(c, d, D, s) for c in exog.T]
    if cols:
        r0 = min([nw] + [len(c) for c in cols])
        beta = lstsq([c[:r0] for c in cols], w[:r0])
        w = w.copy()
        w[:r0] -= np.column_stack([c[:r0] for c in cols]) @ beta
        out += list(beta)
    ar, ma, sar, sma = np.zeros(p), np.zeros(q), np.zeros(P), np.zeros(Q)
    sigma2 = None
    if p or q:
        fit = hannan_rissanen(w, list(range(1, p + 1)), list(range(1, q + 1)))
        if fit is not None:
            ar, ma, sigma2 = fit
    if (P or Q) and s:
        fit = hannan_rissanen(w, [i * s for i in range(1, P + 1)], [i * s for i in range(1, Q + 1)])
        if fit is not None:
            sar, sma = fit[0], fit[1]
            sigma2 = fit[2] if sigma2 is None else sigma2
    blocks = [ar, ma, sar, sma]
    is_ma = [False, True, False, True]
    guard_hits.extend(name for name, b, m in zip(["ar", "ma", "sar", "sma"], blocks, is_ma)
                      if unsafe(b, m))
    blocks = [guarded(b, m) for b, m in zip(blocks, is_ma)]
    for b in blocks:
        out += list(b)
    if k_trend:
        # The trend regression gives the mean; the model's trend is the
        # intercept of the AR recursion: c_t = a(L) mu_(t+1).
        seasonal_poly = np.zeros(P * s + 1)
        seasonal_poly[0] = 1.0
        for k, v in enumerate(blocks[2]):
            seasonal_poly[(k + 1) * s] = -v
        a = np.convolve(np.concatenate(([1.0], -blocks[0])), seasonal_poly)
        total, moment = a.sum(), (np.arange(len(a)) * a).sum()
        if trend == 3:
            out[0], out[1] = total * out[0] + out[1] * (total - moment), total * out[1]
        else:
            out[0] = total * out[0]
    if not concentrate:
        if sigma2 is None:
            e = w
            if p:
                e = np.array([w[t] - blocks[0] @ w[t - p: t][::-1] for t in range(p, len(w))])
            if P and s:
                e = np.array([e[t] - sum(blocks[2][k] * e[t - (k + 1) * s] for k in range(P))
                              for t in range(P * s, len(e))])
            sigma2 = FLOOR if len(e) == 0 else max(np.var(e), FLOOR)
        out.append(sigma2)
    return out


AIR, CO2, GAS, LYNX, NILE, LAKE, BELTS = ("airpassengers.csv", "co2.csv", "ukgas.csv", "lynx.csv",
                                          "nile.csv", "lakehuron.csv", "seatbelts.csv")
DRIVERS, FRONT, PETROL, LAW = 2, 3, 6, 8

# name, file, column, log, rows, exog columns, order, seasonal, trend, concentrate, guarded blocks
CASES = [
    # Lake Huron's level is close to a unit root, but the AR(2) start is stationary.
    ("lakehuron_ar2_c", LAKE, 1, 0, 0, [], (2, 0, 0), (0, 0, 0, 0), 1, 0, []),
    ("nile_arma11_c", NILE, 1, 0, 0, [], (1, 0, 1), (0, 0, 0, 0), 1, 0, []),
    # A cyclical series: phi1 beyond 1 in a stationary AR(2).
    ("lynx_log_ar2_ct", LYNX, 1, 1, 0, [], (2, 0, 0), (0, 0, 0, 0), 3, 0, []),
    ("air_log_airline", AIR, 1, 1, 0, [], (0, 1, 1), (0, 1, 1, 12), 0, 0, []),
    ("air_log_212_111_12", AIR, 1, 1, 0, [], (2, 1, 2), (1, 1, 1, 12), 0, 0, []),
    ("co2_111_011_12_conc", CO2, 1, 0, 0, [], (1, 1, 1), (0, 1, 1, 12), 0, 1, []),
    ("gas_log_100_110_4_c", GAS, 1, 1, 0, [], (1, 0, 0), (1, 1, 0, 4), 1, 0, []),
    ("drivers_log_101_011_12_t_law_petrol", BELTS, DRIVERS, 1, 0, [LAW, PETROL], (1, 0, 1),
     (0, 1, 1, 12), 2, 0, []),
    ("front_log_010_law_petrol", BELTS, FRONT, 1, 0, [LAW, PETROL], (0, 1, 0), (0, 0, 0, 0), 0, 0, []),
    ("nile_mean_only", NILE, 1, 0, 0, [], (0, 0, 0), (0, 0, 0, 0), 1, 0, []),
    # The constant leaves co2's upward drift in the series: AR(1) comes out at 0.998, kept.
    ("co2_ar1_c", CO2, 1, 0, 0, [], (1, 0, 0), (0, 0, 0, 0), 1, 0, []),
    # A linear trend takes the drift; regressors with means of their own beside a constant.
    ("co2_ar1_ct", CO2, 1, 0, 0, [], (1, 0, 0), (0, 0, 0, 0), 3, 0, []),
    ("drivers_log_101_100_12_c_kms_petrol", BELTS, DRIVERS, 1, 0, [5, PETROL], (1, 0, 1),
     (1, 0, 0, 12), 1, 0, []),
    # Differencing twice over-differences: the MA estimate leaves the invertible
    # region and is zeroed, the AR block stays.
    ("lakehuron_121_ma_guarded", LAKE, 1, 0, 0, [], (1, 2, 1), (0, 0, 0, 0), 0, 0, ["ma"]),
    # 14 values: the seasonal two-stage regression has no rows left, so sigma2 comes
    # from the seasonal AR residuals of the detrended series.
    ("nile14_sar12_c_short", NILE, 1, 0, 14, [], (0, 0, 0), (1, 0, 0, 12), 1, 0, []),
    # 7 values, d = 1, q = 2: stage 1 needs more than 6 differenced values.
    ("nile7_112_short", NILE, 1, 0, 7, [], (1, 1, 2), (0, 0, 0, 0), 0, 0, []),
]


def main() -> None:
    lines = ["# Made by tests/data/make_start_params_reference.py "
             f"(numpy {np.__version__}); see the script for the line format."]
    for name, file, col, log, rows, exog_cols, order, seasonal, trend, conc, expect_guard in CASES:
        frame = pd.read_csv(DATA / file)
        y = frame.iloc[:, col].to_numpy(dtype=float)
        y = np.log(y) if log else y
        exog = frame.iloc[:, exog_cols].to_numpy(dtype=float) if exog_cols else None
        if rows:
            y = y[:rows]
            exog = None if exog is None else exog[:rows]
        hits: list[str] = []
        values = start_values(y, exog, order, seasonal, trend, conc, hits)
        assert hits == expect_guard, (name, hits)
        fields = [name, file, col, log, rows, ";".join(map(str, exog_cols)), *order, *seasonal, trend,
                  conc, *map(repr, map(float, values))]
        lines.append(",".join(map(str, fields)))
        print(name, np.round(values, 5))
    OUT.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
