"""Build tests/data/regression_fit_reference.csv: maximum log-likelihoods of SARIMAX fits with regressors.

Each case fits one model with statsmodels: L-BFGS from statsmodels' own start, then BFGS, Powell and
Nelder-Mead in turn from the best point so far, all with tight tolerances, until a round gains no
more than 1e-10 (regression coefficients on very different scales leave the likelihood badly
conditioned, and one gradient run can stop short of the maximum). Every step is filtered exactly
(model.ssm.tolerance = 0) and the trend index starts at 0 (trend_offset=0). Each line records the
maximised log-likelihood and the parameters in model (constrained) space, in the flat order trend,
regressors, AR, MA, seasonal AR, seasonal MA, sigma2.

Line format: name,loglike,param,param,...
Run from anywhere:  OPENBLAS_NUM_THREADS=1 python tests/data/make_regression_fit_reference.py
"""

from __future__ import annotations

import warnings
from pathlib import Path

import numpy as np
import pandas as pd
from statsmodels.tsa.statespace.sarimax import SARIMAX

from make_runner_reference import write_reference

HERE = Path(__file__).resolve().parent
DATA = HERE.parent.parent / "data"
OUT = HERE / "regression_fit_reference.csv"


def column(name: str, field: str = "value") -> np.ndarray:
    return pd.read_csv(DATA / f"{name}.csv")[field].to_numpy(dtype=float)


def fit(y, exog, **kw):
    model = SARIMAX(y, exog=exog, trend_offset=0, **kw)
    model.ssm.tolerance = 0.0
    polishers = [
        dict(method="bfgs", maxiter=1000, gtol=1e-10),
        dict(method="powell", maxiter=20000, xtol=1e-10, ftol=1e-14),
        dict(method="nm", maxiter=20000, xatol=1e-10, fatol=1e-14),
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        best = model.fit(disp=False, method="lbfgs", maxiter=5000, pgtol=1e-10, factr=10.0)
        while True:
            start = best.llf
            for options in polishers:
                r = model.fit(best.params, disp=False, **options)
                if r.llf > best.llf:
                    best = r
            if best.llf - start <= 1e-10:
                break
    return best.llf, np.asarray(best.params, dtype=float)


nile = column("nile") / 100.0
# The Aswan dam: the Nile's level drops from 1899 on.
dam = (column("nile", "time") >= 1899).astype(float)
log_drivers = np.log(column("seatbelts", "drivers"))
law_petrol = np.column_stack([column("seatbelts", "law"), column("seatbelts", "PetrolPrice")])

CASES = {
    "nile_ar1_c_dam": (nile, dam, dict(order=(1, 0, 0), trend="c")),
    "drivers_ar2_c_law_petrol": (log_drivers, law_petrol, dict(order=(2, 0, 0), trend="c")),
}


def main() -> None:
    write_reference(OUT, ((name, fit(y, exog, **kw)) for name, (y, exog, kw) in CASES.items()))


if __name__ == "__main__":
    main()
