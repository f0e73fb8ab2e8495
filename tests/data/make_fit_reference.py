# Run: .venv/bin/python tests/data/make_fit_reference.py [--all]
"""Build tests/data/fit_reference.json: tightly converged statsmodels SARIMAX maxima for fit tests.

Each case fixes a series, a model and optional regressors, and records statsmodels' maximum
log-likelihood and the parameters there, in model (constrained) space and in the flat order
trend, regression, AR, MA, seasonal AR, seasonal MA, sigma2 (unless concentrate_scale), which is
also statsmodels' own order (checked below from its parameter names).

The models are built exactly as in make_loglike_reference.py (trend_offset=0, default
initialisation, steady-state shortcut off via model.ssm.tolerance = 0). Every case is fitted from
several starts: statsmodels' start values, two random perturbations of them in unconstrained space
(more where the likelihood has many local maxima),
the ARMA part set to zero, and the non-seasonal MA part set to 1 − 0.9·L; with invertibility not
enforced, also from each MA twin of the best of those (one inverse root, or one complex pair,
reflected through the unit circle). From each start: L-BFGS (maxiter 2000, pgtol 1e-10, factr 10), then
rounds of BFGS (gtol 1e-10), Nelder-Mead and Powell (xtol 1e-10, ftol 1e-13) until a round gains
less than 1e-10 in log-likelihood; the best start is kept. The spread of the per-start maxima
tells how flat the likelihood is (or shows other local maxima). The best point is re-evaluated on
a freshly built model (checked to agree) and with peltaro.sarimax_loglike (difference recorded).
"""

from __future__ import annotations

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import json  # noqa: E402
import sys  # noqa: E402
import warnings  # noqa: E402
from concurrent.futures import ProcessPoolExecutor  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import scipy  # noqa: E402
import statsmodels  # noqa: E402

import peltaro  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from make_loglike_reference import DATA, k_trend, regressors, simulate, statsmodels_model  # noqa: E402

OUT = HERE / "fit_reference.json"
NS = (0, 0, 0, 0)
STARTS = ("statsmodels", "perturbed_1", "perturbed_2", "arma_zero", "ma_near_unit_root")


# ---------------------------------------------------------------- series and regressors
def from_file(file: str, column: str = "value", log: bool = False, scale: float = 1.0) -> dict:
    """A data/*.csv column, y = scale * (log(x) if log else x)."""
    x = pd.read_csv(DATA / file)[column].to_numpy(dtype=float)
    return dict(source=dict(file=file, column=column, log=log, scale=scale),
                values=scale * (np.log(x) if log else x))


def simulated(seed: int, n: int, *, intercept: str | None = None, plus=None, **kw) -> dict:
    """A path of make_loglike_reference.simulate, plus an optional regression term, stored inline.

    intercept is an expression in t = 0, 1, ..., n-1 (the state intercept of the ARMA recursion)."""
    drive = None if intercept is None else np.broadcast_to(
        eval(intercept, {"t": np.arange(n)}), (n,)).astype(float)
    y = simulate(seed, n, intercept=drive, **kw)
    text = f"make_loglike_reference.simulate(seed={seed}, n={n}, " + ", ".join(
        [f"{k}={v}" for k, v in kw.items()] + ([f"intercept={intercept}"] if intercept else [])) + ")"
    if plus is not None:
        y = y + plus[0]
        text += " + " + plus[1]
    return dict(source=dict(simulated=text, seed=seed, values=y.tolist()), values=y)


def file_exog(file: str, columns: list[str]) -> dict:
    x = pd.read_csv(DATA / file)[columns].to_numpy(dtype=float)
    return dict(source=dict(file=file, columns=columns), values=x)


def sim_exog(seed: int, n: int, means: list[float]) -> dict:
    x = regressors(seed, n, means)
    text = f"make_loglike_reference.regressors(seed={seed}, n={n}, means={means})"
    return dict(source=dict(simulated=text, seed=seed, values=x.tolist()), values=x)


CASES: list[dict] = []


def case(name, series, order, seasonal=NS, *, exog=None, trend="n", concentrate_scale=False,
         simple_differencing=False, enforce_stationarity=True, enforce_invertibility=True,
         perturbed=2):
    CASES.append(dict(name=name, series=series, order=tuple(order), seasonal=tuple(seasonal),
                      exog=exog, trend=trend, concentrate_scale=concentrate_scale,
                      simple_differencing=simple_differencing,
                      enforce_stationarity=enforce_stationarity,
                      enforce_invertibility=enforce_invertibility, perturbed=perturbed))


air = from_file("airpassengers.csv", log=True)
co2 = from_file("co2.csv")
gas = from_file("ukgas.csv", log=True)
nile = from_file("nile.csv")
huron = from_file("lakehuron.csv")
lynx = from_file("lynx.csv", log=True)
drivers = from_file("seatbelts.csv", "drivers", log=True)
petrol_law = file_exog("seatbelts.csv", ["PetrolPrice", "law"])

AIRLINE, AIRLINE_12 = (0, 1, 1), (0, 1, 1, 12)
case("air_log_airline", air, AIRLINE, AIRLINE_12)
case("air_log_airline_conc", air, AIRLINE, AIRLINE_12, concentrate_scale=True)
case("air_log_airline_simple_diff", air, AIRLINE, AIRLINE_12, simple_differencing=True)
case("air_log_airline_simple_diff_conc", air, AIRLINE, AIRLINE_12, simple_differencing=True,
     concentrate_scale=True)
case("air_log_212_111_12", air, (2, 1, 2), (1, 1, 1, 12))
case("co2_212_111_12", co2, (2, 1, 2), (1, 1, 1, 12))
case("nile_arma11_c", nile, (1, 0, 1), trend="c")
case("nile_arma11_c_conc", nile, (1, 0, 1), trend="c", concentrate_scale=True)
case("nile_scaled_ima11", from_file("nile.csv", scale=0.01), (0, 1, 1))
case("lakehuron_arma11_c", huron, (1, 0, 1), trend="c")
case("lynx_log_arma11_c", lynx, (1, 0, 1), trend="c")
case("lakehuron_ar2_c", huron, (2, 0, 0), trend="c")
case("lynx_log_ar2_c", lynx, (2, 0, 0), trend="c")
case("lakehuron_ar2_ct", huron, (2, 0, 0), trend="ct")
case("gas_log_airline_4", gas, AIRLINE, (0, 1, 1, 4))
case("gas_log_110_011_4_c", gas, (1, 1, 0), (0, 1, 1, 4), trend="c")
case("drivers_log_100_100_12_c_petrol_law", drivers, (1, 0, 0), (1, 0, 0, 12), trend="c",
     exog=petrol_law)
case("drivers_log_airline_petrol_law", drivers, AIRLINE, AIRLINE_12, exog=petrol_law)

n = 150
case("sim_ar1_t", simulated(109, n, ar=[0.6], intercept="0.01 * t"), (1, 0, 0), trend="t")
case("sim_arima111_ct_simple_diff",
     simulated(111, n, ar=[0.4], ma=[-0.3], intercept="0.3 + 0.001 * t", d=1),
     (1, 1, 1), trend="ct", simple_differencing=True)
n = 200
case("sim_ma2", simulated(118, n, ma=[0.6, -0.3], sigma2=0.4), (0, 0, 2))
case("sim_ar3_conc", simulated(123, n, ar=[0.5, -0.3, 0.2], sigma2=2.0), (3, 0, 0),
     concentrate_scale=True)
x2 = sim_exog(202, n, [10.0, -3.0])
case("sim_arma11_c_x2",
     simulated(124, n, ar=[0.6], ma=[0.3], intercept="4.0",
               plus=(x2["values"] @ [1.5, 0.8], "x @ [1.5, 0.8] with x the regressors")),
     (1, 0, 1), trend="c", exog=x2)
x2b = sim_exog(203, n, [2.0, 7.0])
case("sim_arima110_x2_simple_diff_conc",
     simulated(116, n, ar=[0.45], d=1,
               plus=(x2b["values"] @ [-1.0, 0.5], "x @ [-1.0, 0.5] with x the regressors")),
     (1, 1, 0), exog=x2b, simple_differencing=True, concentrate_scale=True)

# Fits that once stopped short of the maximum: regressors in large units beside
# a log series, a maximum beyond the unit box of an unenforced block, series
# in other units, and a pure AR model whose least-squares start is not the
# maximum.
kms_petrol = file_exog("seatbelts.csv", ["kms", "PetrolPrice"])
case("drivers_log_101_100_12_c_kms_petrol", drivers, (1, 0, 1), (1, 0, 0, 12), trend="c",
     exog=kms_petrol)
case("lynx_log_arma21_c_unenforced", lynx, (2, 0, 1), trend="c", enforce_stationarity=False)
case("air_log_211_011_12_c", air, (2, 1, 1), AIRLINE_12, trend="c")
case("co2_arma11_c", co2, (1, 0, 1), trend="c")
case("lakehuron_x100_arma11_c", from_file("lakehuron.csv", scale=100.0), (1, 0, 1), trend="c")
case("lakehuron_x1e-4_arma11_c", from_file("lakehuron.csv", scale=1e-4), (1, 0, 1), trend="c")
diff_air = from_file("airpassengers.csv", log=True)
diff_air = dict(source=dict(diff_air["source"], differenced=1), values=np.diff(diff_air["values"]))
case("air_dlog_ar12_conc", diff_air, (12, 0, 0), concentrate_scale=True)
# L-BFGS-B stops with a slope of only 2e-4 in the unconstrained coordinates,
# 1.08 below the maximum.
case("lakehuron_312", from_file("lakehuron.csv"), (3, 1, 2))
# Higher maxima a single run from the regression start misses: an AR root and
# an MA root near the unit circle that nearly cancel and, beside the trend,
# carry a deterministic trend (12.6 and 14.9 above where it ended).
case("air_log_202_c_unenforced", air, (2, 0, 2), trend="c", enforce_stationarity=False)
# The same pair with the AR root on the edge of the stationary region, where
# the gradient runs stopped 0.025 short.
case("air_log_301_011_12_t_simple_diff", air, (3, 0, 1), AIRLINE_12, trend="t",
     simple_differencing=True)
case("front_log_301_001_12_t_petrol_law", from_file("seatbelts.csv", "front", log=True),
     (3, 0, 1), (0, 0, 1, 12), trend="t", exog=petrol_law)
# Differenced once too often: Lake Huron needs no difference, and the
# maximum holds an MA root at 1 (1.99 above the run from the regression start).
case("lakehuron_111_c_ma_unenforced", huron, (1, 1, 1), trend="c", enforce_invertibility=False)
# Without a seasonal part, an AR and an MA pair near the unit circle carry
# the monthly cycle (147.77, 16.1 above the run from the regression start).
case("air_log_212_t_simple_diff", air, (2, 1, 2), trend="t", simple_differencing=True)
# Invertibility not enforced, with diffuse differencing states: the MA root
# outside the unit circle is the higher of the twins (by 0.0068).
case("air_log_101_010_12_conc_ma_unenforced", air, (1, 0, 1), (0, 1, 0, 12),
     concentrate_scale=True, enforce_invertibility=False)
# The regression start's ARMA blocks lie outside their regions; set to zero,
# they lead to a lower maximum (1.98 below).
case("gas_log_102_010_4_c_conc_simple_diff", gas, (1, 0, 2), (0, 1, 0, 4), trend="c",
     concentrate_scale=True, simple_differencing=True)
# Many local maxima: the highest is reached from 3 of 24 perturbed starts,
# 2.36 above where the run from the regression start ends.
case("lynx_log_213_conc_simple_diff_ma_unenforced", lynx, (2, 1, 3), concentrate_scale=True,
     simple_differencing=True, enforce_invertibility=False, perturbed=24)


# ---------------------------------------------------------------- fitting
def model_of(c: dict):
    model = statsmodels_model(dict(c, y=c["series"]["values"],
                                   exog=None if c["exog"] is None else c["exog"]["values"]))
    model.ssm.tolerance = 0.0  # filter every step exactly, as in make_loglike_reference.py
    return model


def check_param_order(c: dict, names: list[str]) -> None:
    p, _, q = c["order"]
    P, _, Q, s = c["seasonal"]
    k_exog = 0 if c["exog"] is None else c["exog"]["values"].shape[1]
    want = (["intercept", "drift"] if c["trend"] == "ct" else
            ["intercept"] if c["trend"] == "c" else ["drift"] if c["trend"] == "t" else [])
    want += [f"x{i + 1}" for i in range(k_exog)] + [f"ar.L{i + 1}" for i in range(p)]
    want += [f"ma.L{i + 1}" for i in range(q)] + [f"ar.S.L{s * (i + 1)}" for i in range(P)]
    want += [f"ma.S.L{s * (i + 1)}" for i in range(Q)] + ([] if c["concentrate_scale"] else ["sigma2"])
    assert names == want, (c["name"], names, want)
    assert len(want) == k_trend(c["trend"]) + k_exog + p + q + P + Q + (not c["concentrate_scale"])


def start_point(model, which: str, rng) -> np.ndarray:
    start = np.asarray(model.start_params, dtype=float)
    if which == "statsmodels":
        return start
    if which == "arma_zero":
        arma = [i for i, nm in enumerate(model.param_names) if nm.startswith(("ar.", "ma."))]
        start[arma] = 0.0
        return start
    if which == "ma_near_unit_root":
        # An MA part 1 − 0.9·L: near the root a difference the series does
        # not need leaves.
        ma = [i for i, nm in enumerate(model.param_names) if nm.startswith("ma.L")]
        start[ma] = 0.0
        if ma:
            start[ma[0]] = -0.9
        return start
    u = np.asarray(model.untransform_params(start), dtype=float)
    u = u + 0.3 * rng.standard_normal(u.size) * np.maximum(1.0, np.abs(u))
    return np.asarray(model.transform_params(u), dtype=float)


def ma_twins(params: np.ndarray, names: list[str], concentrated: bool) -> list[np.ndarray]:
    """params with one real MA inverse root, or one complex pair, replaced by its reciprocal and
    sigma2 times its squared modulus: the same autocovariances, a likelihood that differs only
    through a diffuse start."""
    out = []
    for prefix in ("ma.L", "ma.S."):
        at = [i for i, nm in enumerate(names) if nm.startswith(prefix)]
        if not at:
            continue
        lags = [int(names[i].rsplit("L", 1)[1]) for i in at]
        if prefix == "ma.S.":                    # in powers of the seasonal lag
            lags = [lag // lags[0] for lag in lags]
        full = np.zeros(lags[-1] + 1)
        full[0] = 1.0
        full[lags] = params[at]
        roots = np.roots(full[::-1])           # roots z of 1 + sum theta_k z^k
        inverse = 1.0 / roots
        done = set()
        for k, lam in enumerate(inverse):
            if k in done or abs(lam) < 1e-8:
                continue
            group = [k] + ([int(np.argmin(np.abs(inverse - np.conj(lam)) + (np.arange(len(inverse)) == k)))]
                           if abs(lam.imag) > 1e-12 else [])
            done.update(group)
            twin = inverse.copy()
            twin[group] = 1.0 / np.conj(twin[group])
            poly = np.real(np.poly(twin))        # z^n - ... : coefficients of prod (1 - lam L)
            t = np.array(params, dtype=float)
            t[at] = poly[lags]
            if not concentrated:
                t[names.index("sigma2")] *= float(np.prod(np.abs(inverse[group]) ** 2))
            out.append(t)
    return out


TIGHT = dict(lbfgs=dict(maxiter=2000, pgtol=1e-10, factr=10.0), bfgs=dict(maxiter=2000, gtol=1e-10),
             nm=dict(maxiter=20000, xtol=1e-10, ftol=1e-13),
             powell=dict(maxiter=20000, xtol=1e-10, ftol=1e-13))


def climb(model, start) -> tuple[np.ndarray, float]:
    """L-BFGS, then rounds of BFGS, Nelder-Mead and Powell until a round gains under 1e-10.

    Returns the best point and the gain of the last round."""
    best = np.asarray(start, dtype=float)
    best_ll = model.loglike(best)
    rounds = [("lbfgs",)] + [("bfgs", "nm", "powell")] * 8
    for methods in rounds:
        before = best_ll
        for method in methods:
            res = model.fit(start_params=best, method=method, disp=False, **TIGHT[method])
            ll = model.loglike(res.params)
            if ll >= best_ll:
                best, best_ll = np.asarray(res.params, dtype=float), ll
        if len(methods) > 1 and best_ll - before < 1e-10:
            break
    return best, best_ll - before


def fit_case(c: dict) -> dict:
    warnings.simplefilter("ignore")
    model = model_of(c)
    check_param_order(c, list(model.param_names))
    rng = np.random.default_rng(20240611)
    # Likelihoods with many local maxima get more perturbed starts.
    starts = STARTS + tuple(f"perturbed_{k}" for k in range(3, c["perturbed"] + 1))
    climbs = [climb(model, start_point(model, w, rng)) for w in starts]
    maxima = [float(model.loglike(e)) for e, _ in climbs]
    twins = []
    if not c["enforce_invertibility"]:
        best = climbs[int(np.argmax(maxima))][0]
        twins = [climb(model, t) for t in ma_twins(best, list(model.param_names),
                                                   c["concentrate_scale"])]
    twin_maxima = [float(model.loglike(e)) for e, _ in twins]
    start_maxima = dict(zip(starts, maxima))
    if twins:
        start_maxima["ma_twin"] = max(twin_maxima)
    climbs, maxima = climbs + twins, maxima + twin_maxima
    best, last_gain = climbs[int(np.argmax(maxima))]
    loglike = float(model.loglike(best))
    again = float(model_of(c).loglike(best))
    assert abs(again - loglike) <= 1e-12 * abs(loglike), (c["name"], again, loglike)
    near = [float(np.max(np.abs(e - best))) for (e, _), m in zip(climbs, maxima) if loglike - m < 1e-6]
    y, exog = c["series"]["values"], None if c["exog"] is None else c["exog"]["values"]
    ours = peltaro.sarimax_loglike(
        np.ascontiguousarray(y, dtype=float), c["order"], c["seasonal"], np.ascontiguousarray(best),
        exog=None if exog is None else np.ascontiguousarray(exog, dtype=float),
        concentrate_scale=c["concentrate_scale"], enforce_stationarity=c["enforce_stationarity"],
        enforce_invertibility=c["enforce_invertibility"], trend=c["trend"],
        simple_differencing=c["simple_differencing"])
    return dict(
        name=c["name"], series=c["series"]["source"], n=len(y), order=list(c["order"]),
        seasonal=list(c["seasonal"]), trend=c["trend"], concentrate_scale=c["concentrate_scale"],
        simple_differencing=c["simple_differencing"],
        enforce_stationarity=c["enforce_stationarity"],
        enforce_invertibility=c["enforce_invertibility"],
        exog=None if c["exog"] is None else c["exog"]["source"],
        param_names=list(model.param_names), loglike=loglike, params=best.tolist(),
        start_maxima=start_maxima, spread=max(maxima) - min(maxima),
        last_round_gain=float(last_gain), param_spread_near_best=max(near),
        peltaro_loglike=float(ours), peltaro_minus_statsmodels=float(ours) - loglike)


HOW = (
    f"statsmodels {statsmodels.__version__}, numpy {np.__version__}, scipy {scipy.__version__}; made by "
    "tests/data/make_fit_reference.py (see its docstring). Series: y = scale * (log(x) if log else x) "
    "for a data/*.csv column, or simulated values stored inline. params are in model (constrained) "
    "space, ordered as param_names: trend, regressors, AR, MA, seasonal AR, seasonal MA, sigma2 (absent "
    "when concentrate_scale). The trend time index starts at 0. start_maxima: best log-likelihood "
    "reached from each start; spread = max - min of those; param_spread_near_best: largest parameter "
    "difference to params among starts within 1e-6 of loglike; last_round_gain: log-likelihood "
    "gained by the last polishing round from the best start (tiny: converged)."
)


def main() -> None:
    """Fits the cases not yet in the file (all of them with --all) and keeps the others."""
    names = [c["name"] for c in CASES]
    assert len(names) == len(set(names))
    kept = {} if "--all" in sys.argv or not OUT.exists() else {
        r["name"]: r for r in json.loads(OUT.read_text())["cases"]}
    todo = [c for c in CASES if c["name"] not in kept]
    with ProcessPoolExecutor(max_workers=os.cpu_count()) as pool:
        fitted = dict(zip([c["name"] for c in todo], pool.map(fit_case, todo)))
    results = [kept.get(name) or fitted[name] for name in names]
    OUT.write_text(json.dumps({"how": HOW, "cases": results}, indent=1) + "\n")
    for r in results:
        flag = "" if abs(r["peltaro_minus_statsmodels"]) <= 1e-6 * abs(r["loglike"]) else "  <-- DIFFERS"
        print(f"{r['name']:38s} n={r['n']:4d} loglike={r['loglike']:.10f} spread={r['spread']:.1e} "
              f"last gain={r['last_round_gain']:.0e} "
              f"ours-sm={r['peltaro_minus_statsmodels']:.1e}{flag}")
    print(f"{len(results)} cases -> {OUT}")


if __name__ == "__main__":
    main()
