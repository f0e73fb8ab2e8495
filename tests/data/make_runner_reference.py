"""Build tests/data/runner_reference.csv: maximum log-likelihoods of SARIMAX fits by statsmodels.

Each case fits one model with statsmodels (L-BFGS from its own start, then BFGS polishing, both
with tight tolerances) and records the maximised log-likelihood and the parameters in model
(constrained) space, in the flat order trend, AR, MA, seasonal AR, seasonal MA, sigma2. A case
named "..._fixed" would hold the coefficients given in its dict and maximise over the others. The
lynx case is fitted without enforced stationarity: its maximum (phi1 near 1.4) lies beyond 0.999,
inside the bounded runner's box for an AR(2) block, which bounds phi1 by 2 x 0.999.

Line format: name,loglike,param,param,...
Run from anywhere:  python tests/data/make_runner_reference.py
"""

from __future__ import annotations

import math
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import scipy
import statsmodels
from statsmodels.tsa.statespace.sarimax import SARIMAX

HERE = Path(__file__).resolve().parent
DATA = HERE.parent.parent / "data"
OUT = HERE / "runner_reference.csv"


def column(name: str) -> np.ndarray:
    return pd.read_csv(DATA / f"{name}.csv")["value"].to_numpy(dtype=float)


def fit(y, fixed=None, **kw):
    model = SARIMAX(y, **kw)

    free = [i for i, name in enumerate(model.param_names) if name not in (fixed or {})]

    def run():
        first = model.fit(disp=False, method="lbfgs", maxiter=5000, pgtol=1e-10, factr=10.0)
        start = np.asarray(first.params, dtype=float)[free]
        polished = model.fit(start, disp=False, method="bfgs", maxiter=1000, gtol=1e-10)
        return max((first, polished), key=lambda r: r.llf)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if fixed:
            with model.fix_params(fixed):
                best = run()
        else:
            best = run()
    # Held coefficients are part of the result's parameters.
    return best.llf, np.asarray(best.params, dtype=float)


CASES = {
    "lakehuron_arma11": (column("lakehuron") - 579.0, {}, dict(order=(1, 0, 1))),
    "nile_ima11": (column("nile") / 100.0, {}, dict(order=(0, 1, 1))),
    "airline": (100.0 * np.log(column("airpassengers")), {},
                dict(order=(0, 1, 1), seasonal_order=(0, 1, 1, 12))),
    "lynx_ar2_c": (np.log10(column("lynx")), {},
                   dict(order=(2, 0, 0), trend="c", enforce_stationarity=False)),
}


def write_reference(out: Path, results) -> None:
    """Writes one line per (name, (loglike, params)) of `results` below a line saying how it was made."""
    lines = [f"# Made by tests/data/make_{out.stem}.py (statsmodels {statsmodels.__version__}, "
             f"scipy {scipy.__version__}, numpy {np.__version__}); see the script for the line format."]
    for name, (llf, params) in results:
        assert math.isfinite(llf)
        lines.append(",".join([name, repr(float(llf))] + [repr(float(p)) for p in params]))
    out.write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


def main() -> None:
    write_reference(OUT, ((name, fit(y, fixed, **kw)) for name, (y, fixed, kw) in CASES.items()))


if __name__ == "__main__":
    main()
