"""The model cases of benchmarks/fit_quality.py, generated deterministically.

A case is a small dict of names and numbers (no arrays), so that it travels
cheaply to a worker process; `case_data(case)` rebuilds its series and
regressors there. The same code and seeds give the same cases everywhere.

Scaled copies multiply the series by c, not the regressors: the model then
fits with trend and regression coefficients times c and σ² times c², and
every observation in the likelihood adds −ln c to it, exactly so where no
state starts approximately diffuse (a fixed variance 1e6 does not scale).
"""
import functools
import math
from pathlib import Path

import numpy as np

DATA = Path(__file__).resolve().parent.parent / "data"
SCALES = (1e-8, 1e-4, 1e4, 1e8)
N_SCALED_BASES = 40
TREND_TERMS = {"n": 0, "c": 1, "t": 1, "ct": 2}


# ---------------------------------------------------------------- series
def _column(file, column="value"):
    with open(DATA / file) as handle:
        names = [name.strip('"') for name in handle.readline().strip().split(",")]
    return np.loadtxt(DATA / file, delimiter=",", skiprows=1, usecols=names.index(column))


def _arma(seed, n, ar=(), ma=(), sigma=1.0, burn=300):
    """An ARMA path after a burn-in, from N(0, σ²) shocks of a fixed seed."""
    e = np.random.default_rng(seed).normal(scale=sigma, size=n + burn)
    x = np.zeros(n + burn)
    for t in range(n + burn):
        x[t] = e[t] + sum(a * x[t - i - 1] for i, a in enumerate(ar) if t > i) \
            + sum(b * e[t - j - 1] for j, b in enumerate(ma) if t > j)
    return x[burn:]


def _seasonal_integrate(w, s, d, D):
    """Undo (1 − L)^d (1 − L^s)^D, starting from zeros."""
    w = w.copy()
    for _ in range(D):
        for t in range(s, w.size):
            w[t] += w[t - s]
    for _ in range(d):
        w = np.cumsum(w)
    return w


def _sim_airline(seed, n, s):
    """(1 − L)(1 − L^s) y = (1 − 0.4L)(1 − 0.6L^s) e, plus a level."""
    e = np.random.default_rng(seed).normal(scale=0.05, size=n + s + 1)
    w = e[s + 1:] - 0.4 * e[s:-1] - 0.6 * e[1:-s] + 0.24 * e[:-s - 1]
    return 5.0 + _seasonal_integrate(w, s, 1, 1)


# name -> (builder, seasonal period s); "log" where the series grows multiplicatively.
SERIES = {
    "log airpassengers": (lambda: np.log(_column("airpassengers.csv")), 12),
    "airpassengers": (lambda: _column("airpassengers.csv"), 12),
    "co2": (lambda: _column("co2.csv"), 12),
    "log ukgas": (lambda: np.log(_column("ukgas.csv")), 4),
    "log lynx": (lambda: np.log(_column("lynx.csv")), 1),
    "nile": (lambda: _column("nile.csv"), 1),
    "lakehuron": (lambda: _column("lakehuron.csv"), 1),
    "log drivers": (lambda: np.log(_column("seatbelts.csv", "drivers")), 12),
    "log front": (lambda: np.log(_column("seatbelts.csv", "front")), 12),
    "DriversKilled": (lambda: _column("seatbelts.csv", "DriversKilled"), 12),
    "sim arma21": (lambda: 3.0 + _arma(11, 200, ar=(0.9, -0.4), ma=(0.5,)), 1),
    "sim ar1 drift": (lambda: 0.05 * np.arange(150) + _arma(12, 150, ar=(0.7,)), 1),
    "sim rw+noise": (lambda: np.cumsum(_arma(13, 160)) + 2.0 * _arma(14, 160), 1),
    "sim airline": (lambda: _sim_airline(15, 168, 12), 12),
    "sim quarterly": (lambda: _sim_airline(16, 120, 4), 4),
    "sim regression": (lambda: 2.0 + _regressors("rw 1e4 + noise", 180) @ [3e-4, 0.5]
                       + _arma(17, 180, ar=(0.6,), ma=(0.3,)), 1),
}
SEATBELTS = ("log drivers", "log front", "DriversKilled")


# ---------------------------------------------------------------- regressors
def _regressors(name, n):
    """Regressor matrices by name: seatbelts columns, or simulated ones with nonzero means
    and very different scales (a random walk near 1e4·5, noise around 50 or 3)."""
    if name in ("kms", "PetrolPrice", "law", "PetrolPrice, law", "kms, PetrolPrice, law"):
        return np.column_stack([_column("seatbelts.csv", c) for c in name.split(", ")])
    rng = np.random.default_rng(sum(map(ord, name)))
    walk = 1e4 * (5.0 + 0.1 * np.cumsum(rng.normal(size=n)))
    if name == "rw 1e4":
        return walk[:, None]
    if name == "noise 50":
        return 50.0 + rng.normal(size=(n, 1))
    if name == "rw 1e4 + noise":
        return np.column_stack([walk, 3.0 + rng.normal(size=n)])
    if name == "noise 1e-3":
        return 1e-3 * (5.0 + rng.normal(size=(n, 1)))
    raise KeyError(name)


SEATBELT_REGRESSORS = ("kms", "PetrolPrice, law", "law", "kms, PetrolPrice, law")
SIMULATED_REGRESSORS = ("rw 1e4", "noise 50", "rw 1e4 + noise", "noise 1e-3")


@functools.lru_cache(maxsize=None)
def _series(name):
    return np.ascontiguousarray(SERIES[name][0](), dtype=float)


def case_data(case):
    """The series (times the case's scale) and the regressor matrix (or None) of a case."""
    y = _series(case["series"]) * case["scale"]
    exog = None
    if case["exog"] is not None:
        exog = np.ascontiguousarray(_regressors(case["exog"], y.size), dtype=float)
    return np.ascontiguousarray(y), exog


# ---------------------------------------------------------------- model facts
def k_exog(case):
    return 0 if case["exog"] is None else len(case["exog"].split(" + ")[-1].split(", ")) \
        + case["exog"].count(" + ")


def k_arma(case):
    p, _, q = case["order"]
    P, _, Q, _ = case["seasonal"]
    return p + q + P + Q


def k_params(case):
    p, _, q = case["order"]
    P, _, Q, _ = case["seasonal"]
    return TREND_TERMS[case["trend"]] + k_exog(case) + p + q + P + Q \
        + (not case["concentrate_scale"])


def k_states(case):
    p, d, q = case["order"]
    P, D, Q, s = case["seasonal"]
    k_diff = 0 if case["simple_differencing"] else d + D * s
    return k_diff + max(p + P * s, q + Q * s + 1)


def n_in_likelihood(case, n):
    """Observations the likelihood counts: the series (differenced first under simple
    differencing) less the approximately diffuse states' burn-in."""
    p, d, q = case["order"]
    P, D, Q, s = case["seasonal"]
    n_used = n - (d + D * s if case["simple_differencing"] else 0)
    k_diff = 0 if case["simple_differencing"] else d + D * s
    burn = k_diff if case["enforce_stationarity"] else k_states(case)
    return n_used - burn


def exact_scaling(case):
    """Whether scaling the series shifts the maximum by exactly −n·ln c: only without
    approximately diffuse states, whose fixed variance 1e6 does not scale with the data."""
    p, d, q = case["order"]
    P, D, Q, s = case["seasonal"]
    return case["enforce_stationarity"] and (case["simple_differencing"] or d + D * s == 0)


def describe(case):
    p, d, q = case["order"]
    P, D, Q, s = case["seasonal"]
    flags = [name for name, on in (("es", case["enforce_stationarity"]),
                                   ("ei", case["enforce_invertibility"]),
                                   ("conc", case["concentrate_scale"]),
                                   ("sdiff", case["simple_differencing"])) if on]
    text = f"{case['series']} ({p},{d},{q})"
    if s:
        text += f"({P},{D},{Q},{s})"
    text += f" trend={case['trend']}"
    if case["exog"] is not None:
        text += f" x=[{case['exog']}]"
    text += " " + ",".join(flags or ["-"])
    if case["scale"] != 1.0:
        text += f" y*{case['scale']:g}"
    return text


# ---------------------------------------------------------------- the case list
def _draw(rng, values, weights):
    return values[int(rng.choice(len(values), p=np.asarray(weights) / sum(weights)))]


def _draw_case(rng, series):
    s = SERIES[series][1]
    big = series == "co2"  # 468 observations: keep its models small
    p = _draw(rng, (0, 1, 2, 3), (3, 4, 3, 1) if big else (3, 4, 3, 2))
    q = _draw(rng, (0, 1, 2, 3), (3, 4, 3, 1) if big else (3, 4, 3, 2))
    d = _draw(rng, (0, 1), (1, 1))
    P = D = Q = 0
    if s > 1 and rng.random() < 0.75:
        P = _draw(rng, (0, 1, 2), (5, 4, 1) if s == 12 else (4, 4, 2))
        Q = _draw(rng, (0, 1, 2), (5, 4, 1) if s == 12 else (4, 4, 2))
        D = _draw(rng, (0, 1), (1, 2))
        if s == 12 and (big or p + q >= 4):
            P, Q = min(P, 1), min(Q, 1)
    if p + q + P + Q == 0:
        q = 1
    integrated = d + D
    trend = _draw(rng, ("n", "c", "t", "ct"),
                  (1, 1, 1, 1) if integrated == 0 else (3, 2, 1, 0) if integrated == 1
                  else (1, 0, 0, 0))  # a second difference leaves only "n" identified well
    exog = None
    if series == "sim regression":
        exog = "rw 1e4 + noise"
    elif series in SEATBELTS and rng.random() < 0.6:
        exog = _draw(rng, SEATBELT_REGRESSORS, (1, 2, 2, 1))
    elif rng.random() < 0.25:
        exog = _draw(rng, SIMULATED_REGRESSORS, (1, 1, 1, 1))
    return dict(series=series, order=(p, d, q), seasonal=(P, D, Q, s) if P + D + Q else (0, 0, 0, 0),
                trend=trend, exog=exog, enforce_stationarity=bool(rng.random() < 0.7),
                enforce_invertibility=bool(rng.random() < 0.7),
                concentrate_scale=bool(rng.random() < 0.5),
                simple_differencing=bool(integrated > 0 and rng.random() < 0.3), scale=1.0)


def _feasible(case):
    """Enough observations for the model, and not too many states for the peers' time."""
    n = _series(case["series"]).size
    return n_in_likelihood(case, n) >= 3 * k_params(case) + 20 and k_states(case) <= 42 \
        and n * k_states(case) ** 2 <= 468 * 20 ** 2


# Relative number of cases per series.
WEIGHTS = {"log airpassengers": 8, "airpassengers": 2, "co2": 3, "log ukgas": 6, "log lynx": 5,
           "nile": 5, "lakehuron": 5, "log drivers": 6, "log front": 4, "DriversKilled": 3,
           "sim arma21": 4, "sim ar1 drift": 3, "sim rw+noise": 3, "sim airline": 4,
           "sim quarterly": 3, "sim regression": 3}


def base_cases(count=520, seed=20250101):
    rng = np.random.default_rng(seed)
    names = list(WEIGHTS)
    seen, cases = set(), []
    while len(cases) < count:
        case = _draw_case(rng, _draw(rng, names, [WEIGHTS[n] for n in names]))
        key = describe(case)
        if key not in seen and _feasible(case):
            seen.add(key)
            cases.append(case)
    return cases


def all_cases():
    """Base cases, then the copies of 40 cheap base cases, spread evenly over the list, with
    the series scaled; each case gets its index as "id", a scaled copy the id of its base as
    "base"."""
    cases = base_cases()
    for i, case in enumerate(cases):
        case.update(id=i, base=None, name=describe(case))
    cheap = [c for c in cases if k_states(c) <= 16]
    step = len(cheap) // N_SCALED_BASES
    for base in cheap[::step][:N_SCALED_BASES]:
        for c in SCALES:
            copy = dict(base, scale=c, base=base["id"], id=len(cases))
            copy["name"] = describe(copy)
            cases.append(copy)
    return cases


def quick_subset(cases):
    """About a fifth: every fifth base case, and every fifth scaled base with its copies."""
    bases = [c for c in cases if c["base"] is None]
    scaled_bases = sorted({c["base"] for c in cases if c["base"] is not None})[::5]
    keep = {c["id"] for c in bases[::5]} | set(scaled_bases)
    keep |= {c["id"] for c in cases if c["base"] in scaled_bases}
    return [c for c in cases if c["id"] in keep]


def log_shift(case, n):
    """The exact shift of the log-likelihood from the unscaled series to this copy."""
    return -n_in_likelihood(case, n) * math.log(case["scale"])
