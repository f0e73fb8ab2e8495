# Run: OPENBLAS_NUM_THREADS=1 .venv/bin/python tests/data/make_inference_reference.py
"""Build tests/data/inference_reference.json: standard errors of SARIMAX parameters from statsmodels.

Each case fixes a series, a model and a parameter vector in model (constrained) space. Models are
built exactly as in make_loglike_reference.py (trend_offset=0, default initialisation, steady-state
shortcut off via model.ssm.tolerance = 0). Two references are recorded per case:

hessian  The information matrix I = -(J^-1)' H_u J^-1, where H_u is the Hessian of statsmodels'
         log-likelihood as a function of unconstrained coordinates u and J = d theta / d u. The
         coordinates are those of the optimiser: the Durbin-Levinson map for AR and seasonal AR
         blocks (when stationarity is enforced), its negative for MA blocks (when invertibility is
         enforced), exp for sigma2, the identity otherwise. H_u is statsmodels' complex-step Hessian
         (statsmodels.tools.numdiff.approx_hess_cs, the routine behind cov_type='approx') of
         u -> SARIMAX.loglike(theta(u), complex_step=True); J is an exact complex-step derivative.
         At a maximum this is statsmodels' cov_type='approx' covariance (recorded beside it for the
         cases that sit at a maximum); elsewhere it also carries the curvature of the map, as the
         Hessian estimate taken in unconstrained coordinates does. The script checks that the
         Hessian barely moves when the complex-step increments are scaled by 4.
opg      I = S'S with S the per-observation scores of statsmodels (SARIMAX.score_obs, complex step),
         one row per observation (zero rows in the burn-in). With concentrate_scale the rows are
         those of the same model with sigma2 free, evaluated at sigma2 = the concentrated scale,
         without the sigma2 column: the derivative of each observation's contribution with the
         scale held at its estimate.

The covariance is V = I^-1 and the standard errors sqrt(diag V); cases are chosen so that both
information matrices are positive definite. Points: the tightly converged maxima of
fit_reference.json, rounded points of loglike_reference.json away from a maximum (several with
every state approximately diffuse), and one rounded maximum written out below.
"""

from __future__ import annotations

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import json  # noqa: E402
import sys  # noqa: E402
import warnings  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import scipy  # noqa: E402
import statsmodels  # noqa: E402
from statsmodels.tools.numdiff import _get_epsilon, approx_hess_cs  # noqa: E402
from statsmodels.tsa.statespace.tools import constrain_stationary_univariate  # noqa: E402
from statsmodels.tsa.statespace.tools import unconstrain_stationary_univariate  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from make_loglike_reference import DATA, k_trend, log_air, statsmodels_model  # noqa: E402

OUT = HERE / "inference_reference.json"
FIT = json.loads((HERE / "fit_reference.json").read_text())["cases"]
LOGLIKE = json.loads((HERE / "loglike_reference.json").read_text())["cases"]

# Rounded points of loglike_reference.json, away from a maximum.
LOGLIKE_POINTS = [
    "lakehuron_ar2_ct_diffuse", "nile_arima011_diffuse", "lynx_log_arma21_c", "co2_airline",
    "co2_111_011_12_conc", "air_log_210_010_12_diffuse", "air_log_110_100_12_c",
    "gas_log_100_110_4_c", "gas_log_111_011_4_diffuse", "drivers_log_airline_law",
    "front_log_101_011_12_law_petrol", "sim_sarima_011_110_12_long",
    "sim_sarima_100_011_4_c_diffuse", "sim_arima111_x1_diffuse",
]


# ---------------------------------------------------------------- cases
def fit_case(c: dict) -> dict:
    def column(spec: dict, name: str) -> np.ndarray:
        return pd.read_csv(DATA / spec["file"])[name].to_numpy(dtype=float)

    series = c["series"]
    if "values" in series:
        y = np.array(series["values"], dtype=float)
    else:
        x = column(series, series["column"])
        y = series["scale"] * (np.log(x) if series["log"] else x)
    spec = c["exog"]
    exog = None
    if spec is not None:
        exog = (np.array(spec["values"], dtype=float) if "values" in spec else
                np.column_stack([column(spec, name) for name in spec["columns"]]))
    return dict(c, y=y, exog=exog, point="maximum of fit_reference.json",
                seasonal=tuple(c["seasonal"]), order=tuple(c["order"]))


def loglike_case(c: dict) -> dict:
    exog = None if c["exog"] is None else np.asarray(c["exog"], dtype=float)
    return dict(c, y=np.asarray(c["y"], dtype=float), exog=exog,
                point="rounded point of loglike_reference.json",
                seasonal=tuple(c["seasonal"]), order=tuple(c["order"]))


# A model whose Hessian needs care: on log AirPassengers, differencing the log-likelihood twice at
# increments of 1e-4 makes its information matrix indefinite. The point is statsmodels' maximum
# (L-BFGS, then BFGS and Nelder-Mead polishing), rounded to 10 decimals.
LITERAL = [
    dict(name="air_log_211_011_12", y=log_air, exog=None, order=(2, 1, 1), seasonal=(0, 1, 1, 12),
         params=[0.5580832759, 0.2471132705, -0.9646844067, -0.5573930959, 0.0013065047],
         trend=None, concentrate_scale=False, simple_differencing=False,
         enforce_stationarity=True, enforce_invertibility=True,
         point="statsmodels' maximum rounded to 10 decimals"),
]

CASES = [fit_case(c) for c in FIT]
CASES += [loglike_case(c) for c in LOGLIKE if c["name"] in LOGLIKE_POINTS]
CASES += LITERAL
assert len(CASES) == len(FIT) + len(LOGLIKE_POINTS) + len(LITERAL)


def model_of(c: dict, **overrides):
    model = statsmodels_model(dict(c, **overrides))
    model.ssm.tolerance = 0.0
    return model


# ---------------------------------------------------------------- the optimiser's coordinates
def blocks(c: dict) -> list[tuple[int, int, str]]:
    """(start, length, map) of the flat vector: identity, stationary, invertible or variance."""
    p, _, q = c["order"]
    P, _, Q, _ = c["seasonal"]
    n_exog = 0 if c["exog"] is None else c["exog"].shape[1]
    st = "stationary" if c["enforce_stationarity"] else "identity"
    inv = "invertible" if c["enforce_invertibility"] else "identity"
    lens = [(k_trend(c["trend"]) + n_exog, "identity"), (p, st), (q, inv), (P, st), (Q, inv),
            (0 if c["concentrate_scale"] else 1, "variance")]
    out, pos = [], 0
    for n, kind in lens:
        out.append((pos, n, kind))
        pos += n
    return out


def transform(x: np.ndarray, c: dict, constraining: bool) -> np.ndarray:
    """Unconstrained -> model parameters (constraining) or back; complex input stays complex."""
    out = np.array(x, copy=True)
    for start, n, kind in blocks(c):
        block = x[start:start + n]
        if n == 0 or kind == "identity":
            continue
        if kind == "variance":
            out[start] = np.exp(block[0]) if constraining else np.log(block[0])
            continue
        sign = -1.0 if kind == "invertible" else 1.0
        out[start:start + n] = (sign * constrain_stationary_univariate(block) if constraining
                                else unconstrain_stationary_univariate(sign * block))
    return out


def constrain(u: np.ndarray, c: dict) -> np.ndarray:
    return transform(u, c, True)


def unconstrain(theta: np.ndarray, c: dict) -> np.ndarray:
    return transform(np.asarray(theta, dtype=float), c, False)


def jacobian(u: np.ndarray, c: dict) -> np.ndarray:
    """J[i, j] = d theta_i / d u_j by complex step (exact to rounding)."""
    k, h = len(u), 1e-30
    J = np.empty((k, k))
    for j in range(k):
        du = u.astype(complex)
        du[j] += 1j * h
        J[:, j] = constrain(du, c).imag / h
    return J


# ---------------------------------------------------------------- references
def gradient_u(model, u: np.ndarray, c: dict) -> np.ndarray:
    """Complex-step gradient of statsmodels' log-likelihood in unconstrained coordinates.

    The increment is 1e-7 * max(|u_i|, 1): statsmodels' complex-step log-likelihood carries an
    absolute error of about 1e-16 in its imaginary part, so much smaller increments lose the
    derivative in that error, while the truncation error at this one is about 1e-14 relative."""
    g = np.empty(len(u))
    for i in range(len(u)):
        h = 1e-7 * max(abs(u[i]), 1.0)
        du = u.astype(complex)
        du[i] += 1j * h
        g[i] = model.loglike(constrain(du, c), transformed=True, complex_step=True).imag / h
    return g


def hessian_u(model, u: np.ndarray, c: dict, step: float = 1e-3) -> np.ndarray:
    """Hessian in unconstrained coordinates: central differences of the complex-step gradient
    with increments step * max(|u_j|, 1) and half that, Richardson-extrapolated, symmetrised.

    statsmodels' own approx_hess_cs differences the complex-step derivative over increments near
    6e-6 * |u|, which divides the error above by those increments; on the seasonal models with
    differencing and on the badly conditioned intercepts its standard errors move by up to a few
    percent when the increments are scaled by 4 (this script reports by how much)."""
    k = len(u)
    H = np.empty((k, k))
    for j in range(k):
        def central(h):
            e = np.zeros(k)
            e[j] = h
            return (gradient_u(model, u + e, c) - gradient_u(model, u - e, c)) / (2.0 * h)

        h = step * max(abs(u[j]), 1.0)
        H[:, j] = (4.0 * central(h / 2.0) - central(h)) / 3.0
    return (H + H.T) / 2.0


def statsmodels_hessian_u(model, u: np.ndarray, c: dict, scale: float = 1.0) -> np.ndarray:
    """statsmodels' approx_hess_cs in unconstrained coordinates, increments scaled by `scale`."""
    def loglike(x):
        return model.loglike(constrain(x, c), transformed=True, complex_step=True)

    return approx_hess_cs(u, loglike, epsilon=scale * _get_epsilon(u, 3.0, None, len(u)))


def std_err(information: np.ndarray) -> np.ndarray:
    np.linalg.cholesky(information)  # positive definite, or the case is not usable
    return np.sqrt(np.diag(np.linalg.inv(information)))


def hessian_reference(c: dict) -> dict:
    model = model_of(c)
    theta = np.asarray(c["params"], dtype=float)
    u = unconstrain(theta, c)
    assert np.allclose(constrain(u, c), theta, rtol=1e-12, atol=1e-14), c["name"]
    J_inv = np.linalg.inv(jacobian(u, c))
    information = -(J_inv.T @ hessian_u(model, u, c) @ J_inv)
    se = std_err(information)
    wider = std_err(-(J_inv.T @ hessian_u(model, u, c, step=2e-3) @ J_inv))

    def spread(H1, H2):
        try:
            return float(np.max(np.abs(std_err(-(J_inv.T @ H1 @ J_inv))
                                       / std_err(-(J_inv.T @ H2 @ J_inv)) - 1.0)))
        except np.linalg.LinAlgError:
            return float("inf")

    out = dict(std_err=se.tolist(), information=information.tolist(),
               step_sensitivity=float(np.max(np.abs(wider / se - 1.0))),
               approx_hess_cs_step_sensitivity=spread(statsmodels_hessian_u(model, u, c, 4.0),
                                                      statsmodels_hessian_u(model, u, c)))
    if "maximum" in c["point"]:
        res = model.smooth(theta, cov_type="approx")
        out["statsmodels_approx_std_err"] = np.asarray(res.bse, dtype=float).tolist()
    return out


def opg_reference(c: dict) -> dict:
    theta = np.asarray(c["params"], dtype=float)
    if c["concentrate_scale"]:
        scale = float(model_of(c).filter(theta).scale)
        full = model_of(c, concentrate_scale=False)
        S = full.score_obs(np.r_[theta, scale])[:, :-1]
    else:
        scale = None
        full = model_of(c)
        S = full.score_obs(theta)
    burn = full.loglikelihood_burn
    assert np.all(S[:burn] == 0.0), c["name"]
    information = S.T @ S
    return dict(std_err=std_err(information).tolist(), information=information.tolist(),
                rows=int(len(S) - burn), concentrated_scale=scale)


HOW = (
    f"statsmodels {statsmodels.__version__}, numpy {np.__version__}, scipy {scipy.__version__}; made by "
    "tests/data/make_inference_reference.py (its docstring says how). params are in model "
    "(constrained) space in the flat order trend, regressors, AR, MA, seasonal AR, seasonal MA, "
    "sigma2 (absent when concentrate_scale). hessian.std_err: sqrt(diag(I^-1)) with "
    "I = -(J^-1)' H_u J^-1, H_u the complex-step Hessian of statsmodels' log-likelihood in the "
    "optimiser's unconstrained coordinates and J their exact Jacobian; "
    "hessian.statsmodels_approx_std_err: statsmodels' own cov_type='approx' bse at the same point "
    "(maxima only); hessian.step_sensitivity: largest relative change of std_err when the "
    "complex-step increments are scaled by 4. opg.std_err: sqrt(diag((S'S)^-1)), S the "
    "complex-step per-observation scores (sigma2 held at the concentrated scale when the scale is "
    "concentrated). The trend time index starts at 0."
)


def to_json(c: dict) -> dict:
    return dict(
        name=c["name"], point=c["point"], y=c["y"].tolist(), order=list(c["order"]),
        seasonal=list(c["seasonal"]), params=list(c["params"]),
        exog=None if c["exog"] is None else c["exog"].tolist(), trend=c["trend"],
        concentrate_scale=c["concentrate_scale"], simple_differencing=c["simple_differencing"],
        enforce_stationarity=c["enforce_stationarity"],
        enforce_invertibility=c["enforce_invertibility"],
        hessian=hessian_reference(c), opg=opg_reference(c))


def main() -> None:
    warnings.simplefilter("ignore")
    names = [c["name"] for c in CASES]
    assert len(names) == len(set(names))
    doc = {"how": HOW, "cases": [to_json(c) for c in CASES]}
    OUT.write_text(json.dumps(doc, indent=1) + "\n")
    for c in doc["cases"]:
        h = c["hessian"]
        gap = ""
        if "statsmodels_approx_std_err" in h:
            sm = np.asarray(h["statsmodels_approx_std_err"])
            gap = f" vs cov_type='approx' {np.max(np.abs(sm / np.asarray(h['std_err']) - 1.0)):.1e}"
        print(f"{c['name']:44s} k={len(c['params'])} step sensitivity "
              f"{h['step_sensitivity']:.1e} (approx_hess_cs {h['approx_hess_cs_step_sensitivity']:.1e})"
              f"{gap}")
    print(f"{len(doc['cases'])} cases, {OUT.stat().st_size} bytes -> {OUT}")


if __name__ == "__main__":
    main()
