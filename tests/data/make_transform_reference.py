"""Write tests/data/transform_reference.csv: reference numbers for the
stationarity and invertibility transforms, computed with statsmodels.

Run from anywhere:  python3 tests/data/make_transform_reference.py

statsmodels' SARIMAX maps an unconstrained AR block x to
constrain_stationary_univariate(x) and an MA block x to
-constrain_stationary_univariate(x); the inverse maps are
unconstrain_stationary_univariate(phi) and
unconstrain_stationary_univariate(-theta). Its AR polynomial is
1 - phi_1 L - ... and its MA polynomial 1 + theta_1 L + ..., the same signs as
ours, so its transformed AR and MA blocks compare directly with our
constrain_stationary / constrain_invertible results. The numbers are taken
from SARIMAX.transform_params / untransform_params (the model-level maps), and
the script asserts that they equal the univariate functions with those signs.
Only the variance differs: statsmodels squares it, we exponentiate, so it is
never compared.

Line formats (numbers written with repr(), which reads back exactly):
  poly,k, x_ar[k], ar_constrained[k], x_ma[k], ma_constrained[k],
          phi_in[k], ar_unconstrained[k], theta_in[k], ma_unconstrained[k]
  model,p,q,P,Q, x[n], constrained[n], c_in[n], unconstrained[n]
where n = p + q + P + Q and the model vectors hold the blocks ar, ma,
seasonal_ar, seasonal_ma (no trend, no regressors, no variance). The inputs of
the unconstraining direction (phi_in, theta_in, c_in) are built from random
reciprocal roots inside the unit circle, independently of the constraining
map.
"""

import os
import warnings

import numpy as np
from statsmodels.tsa.statespace.sarimax import SARIMAX
from statsmodels.tsa.statespace.tools import (
    constrain_stationary_univariate,
    unconstrain_stationary_univariate,
)

SEED = 20240611
N_POLY = 1000
N_MODEL = 60
SEASON = 4


def random_unconstrained(rng, k):
    scale = rng.choice([0.3, 1.0, 2.5])
    return rng.normal(0.0, scale, size=k)


def random_reciprocal_roots(rng, k):
    """k reciprocal roots strictly inside the unit circle, closed under
    conjugation, so the polynomial prod(1 - lambda_i L) has real coefficients."""
    roots = []
    while len(roots) < k:
        modulus = rng.uniform(0.05, 0.9)
        if k - len(roots) >= 2 and rng.random() < 0.5:
            angle = rng.uniform(0.1, np.pi - 0.1)
            z = modulus * np.exp(1j * angle)
            roots += [z, np.conj(z)]
        else:
            roots.append(modulus * rng.choice([-1.0, 1.0]))
    poly = np.array([1.0 + 0j])
    for lam in roots:
        poly = np.convolve(poly, np.array([1.0, -lam]))
    return poly.real[1:]  # coefficients of L^1 ... L^k of prod(1 - lambda L)


def stationary_ar(rng, k):
    # 1 - phi_1 L - ... = prod(1 - lambda L)  =>  phi = -coefficients
    return -random_reciprocal_roots(rng, k)


def invertible_ma(rng, k):
    # 1 + theta_1 L + ... = prod(1 - mu L)  =>  theta = coefficients
    return random_reciprocal_roots(rng, k)


def fmt(values):
    return [repr(float(v)) for v in values]


def model(p, q, P, Q):
    return SARIMAX(np.zeros(60), order=(p, 0, q), seasonal_order=(P, 0, Q, SEASON if P + Q else 0),
                   trend="n")


def main():
    warnings.simplefilter("ignore")
    rng = np.random.default_rng(SEED)
    lines = [
        "# Made by tests/data/make_transform_reference.py (statsmodels "
        + __import__("statsmodels").__version__
        + ", numpy " + np.__version__ + f", seed {SEED}); see the script for the line formats."
    ]

    models = {}
    for _ in range(N_POLY):
        k = int(rng.integers(1, 7))
        mod = models.setdefault(k, model(k, k, 0, 0))
        x_ar = random_unconstrained(rng, k)
        x_ma = random_unconstrained(rng, k)
        constrained = mod.transform_params(np.r_[x_ar, x_ma, 1.0])
        ar_c, ma_c = constrained[:k], constrained[k:2 * k]
        assert np.array_equal(ar_c, constrain_stationary_univariate(x_ar))
        assert np.array_equal(ma_c, -constrain_stationary_univariate(x_ma))

        phi_in = stationary_ar(rng, k)
        theta_in = invertible_ma(rng, k)
        unconstrained = mod.untransform_params(np.r_[phi_in, theta_in, 1.0])
        ar_u, ma_u = unconstrained[:k], unconstrained[k:2 * k]
        assert np.array_equal(ar_u, unconstrain_stationary_univariate(phi_in))
        assert np.array_equal(ma_u, unconstrain_stationary_univariate(-theta_in))

        fields = ["poly", str(k)]
        for block in (x_ar, ar_c, x_ma, ma_c, phi_in, ar_u, theta_in, ma_u):
            fields += fmt(block)
        lines.append(",".join(fields))

    for _ in range(N_MODEL):
        p, q, P, Q = (int(v) for v in rng.integers(0, 4, size=4))
        if p + q + P + Q == 0:
            p = 1
        mod = model(p, q, P, Q)
        x = np.concatenate([random_unconstrained(rng, m) for m in (p, q, P, Q)])
        c_in = np.concatenate([stationary_ar(rng, p) if p else [], invertible_ma(rng, q) if q else [],
                               stationary_ar(rng, P) if P else [], invertible_ma(rng, Q) if Q else []])
        n = p + q + P + Q
        constrained = mod.transform_params(np.r_[x, 1.0])[:n]
        unconstrained = mod.untransform_params(np.r_[c_in, 1.0])[:n]
        fields = ["model", str(p), str(q), str(P), str(Q)]
        for block in (x, constrained, c_in, unconstrained):
            fields += fmt(block)
        lines.append(",".join(fields))

    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "transform_reference.csv")
    with open(path, "w") as fh:
        fh.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
