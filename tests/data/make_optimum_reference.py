"""Print the maximised log-likelihoods that tests/cpp/test_unbounded_runners.cpp
expects the unbounded runners to reach, computed with statsmodels.

Run from anywhere:  python tests/data/make_optimum_reference.py

Each model is fitted by statsmodels (L-BFGS from its own start, then a Nelder-Mead
polish with tight tolerances, since the L-BFGS stop alone leaves the maximum
uncertain in the sixth decimal), and the log-likelihood at the optimum
and the model parameters are printed with repr(). The maximum does not depend
on how the parameters are coordinatised, so it compares directly with the
negated best cost of our runners.
"""

import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import statsmodels
from statsmodels.tsa.statespace.sarimax import SARIMAX

DATA = Path(__file__).resolve().parent.parent.parent / "data"

MODELS = [
    ("Nile ARIMA(1,1,1)", "nile.csv", dict(order=(1, 1, 1))),
    ("log lynx AR(2) constant", "lynx.csv", dict(order=(2, 0, 0), trend="c")),
]


def main() -> None:
    print(f"statsmodels {statsmodels.__version__}")
    for name, file, kwargs in MODELS:
        y = pd.read_csv(DATA / file)["value"].to_numpy(dtype=float)
        if "lynx" in file:
            y = np.log(y)
        model = SARIMAX(y, **kwargs)
        warnings.simplefilter("ignore")  # the tight polish may report its iteration limit
        first = model.fit(disp=False, maxiter=1000)
        best = model.fit(start_params=first.params, method="nm", disp=False, maxiter=20000,
                         xtol=1e-12, ftol=1e-14)
        if best.llf < first.llf:
            best = first
        print(name, repr(float(best.llf)), [repr(float(v)) for v in best.params])


if __name__ == "__main__":
    main()
