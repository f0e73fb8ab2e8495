"""Build tests/data/diagnostics_reference.json: residual diagnostics computed by statsmodels and scipy.

Two sections:

* "vectors": residual vectors (simulated with fixed seeds, stored inline) and a model parameter
  count K, with the three tests computed on each vector:
    - Ljung-Box: statsmodels.stats.diagnostic.acorr_ljungbox(r, lags=[L], model_df=K if L > K else 0)
      with L = min(max(n // 5, 1), 10); df = L minus that model_df.
    - Jarque-Bera: statsmodels.stats.stattools.jarque_bera(r) (biased skewness and kurtosis,
      p value chi2.sf(stat, 2)).
    - Heteroskedasticity: h = n / 3 rounded to the nearest integer; H = var(last h) / var(first h),
      both sample variances (ddof = 1) by numpy; p = 2 min(G, 1 - G), G = scipy.stats.f.cdf(H, h-1, h-1).
  A test that does not run for the vector's length (Jarque-Bera below 3 values; the variance ratio
  unless 2 <= h and 2h <= n) is written as null.
* "models": series from data/*.csv with a SARIMAX model at fixed (rounded fit) parameters.
  statsmodels filters it exactly (model.ssm.tolerance = 0, default initialisation: approximate
  diffuse variance 1e6 on differencing states, stationary ARMA block, or every state approximately
  diffuse without enforce_stationarity); the standardized forecast errors with the first
  loglikelihood_burn values left out are run through the three tests above, K = number of parameters.
  "burn" records how many were left out.

Run from anywhere:  python tests/data/make_diagnostics_reference.py
"""

from __future__ import annotations

import json
import math
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import scipy
import statsmodels
from scipy import stats
from statsmodels.stats.diagnostic import acorr_ljungbox
from statsmodels.stats.stattools import jarque_bera
from statsmodels.tsa.statespace.sarimax import SARIMAX

HERE = Path(__file__).resolve().parent
DATA = HERE.parent.parent / "data"
OUT = HERE / "diagnostics_reference.json"


def lags_for(n: int) -> int:
    return min(max(n // 5, 1), 10)


def ljung_box(r: np.ndarray, k: int) -> dict:
    lags = lags_for(len(r))
    model_df = k if lags > k else 0
    table = acorr_ljungbox(r, lags=[lags], model_df=model_df, return_df=True)
    return dict(ljung_box_stat=float(table["lb_stat"].iloc[0]),
                ljung_box_pvalue=float(table["lb_pvalue"].iloc[0]),
                ljung_box_df=lags - model_df)


def jarque_bera_test(r: np.ndarray) -> dict:
    if len(r) < 3:
        return dict(jarque_bera_stat=None, jarque_bera_pvalue=None)
    stat, pvalue, _, _ = jarque_bera(r)
    return dict(jarque_bera_stat=float(stat), jarque_bera_pvalue=float(pvalue))


def variance_ratio(r: np.ndarray) -> dict:
    n = len(r)
    h = int(math.floor(n / 3.0 + 0.5))
    if h < 2 or 2 * h > n:
        return dict(het_stat=None, het_pvalue=None)
    ratio = float(np.var(r[n - h:], ddof=1) / np.var(r[:h], ddof=1))
    g = stats.f.cdf(ratio, h - 1, h - 1)
    upper = stats.f.sf(ratio, h - 1, h - 1)
    return dict(het_stat=ratio, het_pvalue=float(2.0 * min(g, upper)))


def tests_on(r: np.ndarray, k: int) -> dict:
    return {**ljung_box(r, k), **jarque_bera_test(r), **variance_ratio(r)}


# ---------------------------------------------------------------- residual vectors
def rng(seed: int) -> np.random.Generator:
    return np.random.default_rng(seed)


def ar1(seed: int, n: int, phi: float) -> np.ndarray:
    e = rng(seed).standard_normal(n + 50)
    x = np.zeros_like(e)
    for t in range(1, len(e)):
        x[t] = phi * x[t - 1] + e[t]
    return x[50:]


VECTORS = [
    ("normal_n100_k3", "white noise; L = 10, df = 7", rng(11).standard_normal(100), 3),
    ("student_t3_n250_k12", "heavy tails (t with 3 df); K above L keeps df = L",
     rng(12).standard_t(3, 250), 12),
    ("ar1_n150_k2", "AR(1) with phi 0.6: remaining autocorrelation", ar1(13, 150, 0.6), 2),
    ("growing_variance_n90_k1", "scale rising from 0.5 to 2.5: last third wider",
     rng(14).standard_normal(90) * np.linspace(0.5, 2.5, 90), 1),
    ("shrinking_variance_n61_k2", "scale falling from 3 to 0.6: lower tail of the ratio",
     rng(15).standard_normal(61) * np.linspace(3.0, 0.6, 61), 2),
    ("skewed_n40_k0", "centred exponential: skewed", rng(16).exponential(1.0, 40) - 1.0, 0),
    ("n60_k3", "L = 10 reduced to df = 7", rng(17).standard_normal(60), 3),
    ("n20_k4", "L = 4 and K = 4: df stays 4", rng(18).standard_normal(20), 4),
    ("n54_k0", "floor(54 / 5) = 10 lags", rng(19).standard_normal(54), 0),
    ("n49_k8", "9 lags, df 1", rng(20).standard_normal(49), 8),
    ("n10_k1", "2 lags, df 1; h = 3", rng(21).standard_normal(10), 1),
    ("n8_k0", "h = 3, blocks 0-2 and 5-7", rng(22).standard_normal(8), 0),
    ("n7_k0", "h = 2, blocks 0-1 and 5-6", rng(23).standard_normal(7), 0),
    ("n6_k2", "h = 2, blocks 0-1 and 4-5; K above L", rng(24).standard_normal(6), 2),
    ("n5_k1", "h = 2 and 2h = 4 <= 5: the smallest variance ratio", rng(25).standard_normal(5), 1),
    ("n4_k0", "h = 1: no variance ratio; Jarque-Bera runs", rng(26).standard_normal(4), 0),
    ("n3_k0", "the shortest Jarque-Bera", rng(27).standard_normal(3), 0),
    ("n2_k5", "only Ljung-Box: one lag, df 1", rng(28).standard_normal(2), 5),
]


# ---------------------------------------------------------------- models
def column(name: str, field: str = "value") -> np.ndarray:
    return pd.read_csv(DATA / f"{name}.csv")[field].to_numpy(dtype=float)


def seatbelts(field: str) -> np.ndarray:
    return column("seatbelts", field)


MODELS = [
    dict(name="airline", description="log AirPassengers, (0,1,1)(0,1,1,12): 13 diffuse states",
         y=np.log(column("airpassengers")), order=(0, 1, 1), seasonal=(0, 1, 1, 12),
         params=[-0.4019, -0.5571, 0.0013476]),
    dict(name="nile_arma11_c_concentrated", description="Nile ARMA(1,1) + constant, scale concentrated",
         y=column("nile"), order=(1, 0, 1), seasonal=(0, 0, 0, 0), params=[315.94, 0.6576, -0.2466],
         trend="c", concentrate_scale=True),
    dict(name="lakehuron_ar2_c_unenforced", description="LakeHuron AR(2) + constant, every state diffuse",
         y=column("lakehuron"), order=(2, 0, 0), seasonal=(0, 0, 0, 0),
         params=[124.95, 1.0217, -0.2376, 0.454], trend="c", enforce_stationarity=False),
    dict(name="ukgas_simple_differencing", description="log UKgas (1,1,0)(0,1,1,4) differenced up front",
         y=np.log(column("ukgas")), order=(1, 1, 0), seasonal=(0, 1, 1, 4),
         params=[-0.5454, -0.22, 0.016759], simple_differencing=True),
    dict(name="seatbelts_exog", description="log drivers with law and petrol price, (1,0,0)(0,1,1,12)",
         y=np.log(seatbelts("drivers")), exog=np.column_stack([seatbelts("law"), seatbelts("PetrolPrice")]),
         order=(1, 0, 0), seasonal=(0, 1, 1, 12), params=[-0.188, -3.6693, 0.4464, -0.8012, 0.0061855]),
]


def model_case(m: dict) -> dict:
    flags = dict(trend=m.get("trend"), concentrate_scale=m.get("concentrate_scale", False),
                 simple_differencing=m.get("simple_differencing", False),
                 enforce_stationarity=m.get("enforce_stationarity", True),
                 enforce_invertibility=m.get("enforce_invertibility", True))
    model = SARIMAX(m["y"], exog=m.get("exog"), order=m["order"], seasonal_order=m["seasonal"],
                    trend_offset=0, **flags)
    assert len(model.param_names) == len(m["params"]), m["name"]
    model.ssm.tolerance = 0.0
    result = model.filter(np.asarray(m["params"]))
    standardized = result.filter_results.standardized_forecasts_error[0]
    burn = int(model.loglikelihood_burn)
    used = standardized[burn:]
    assert np.all(np.isfinite(used)), m["name"]
    exog = m.get("exog")
    return dict(name=m["name"], description=m["description"], y=m["y"].tolist(),
                order=list(m["order"]), seasonal=list(m["seasonal"]), params=list(m["params"]),
                exog=None if exog is None else exog.tolist(), **flags,
                n_residuals=len(standardized), burn=burn, **tests_on(used, len(m["params"])))


def main() -> None:
    warnings.simplefilter("ignore")
    doc = dict(
        how=(f"statsmodels {statsmodels.__version__}, scipy {scipy.__version__}, numpy {np.__version__}; "
             "see the docstring of tests/data/make_diagnostics_reference.py"),
        vectors=[dict(name=name, description=description, r=r.tolist(), n_params=k, **tests_on(r, k))
                 for name, description, r, k in VECTORS],
        models=[model_case(m) for m in MODELS],
    )
    OUT.write_text(json.dumps(doc, indent=1) + "\n")
    print(f"wrote {OUT}: {len(doc['vectors'])} vectors, {len(doc['models'])} models")


if __name__ == "__main__":
    main()
