"""Write tests/data/start_gap_reference.json: statsmodels' maximum log-likelihood for common models.

benchmarks/start_values_gap.cpp reads it and reports how far below the peer's maximum our start
values are. For each case statsmodels' SARIMAX (trend_offset=0, so the trend time index starts at 0
as ours does; default stationarity and invertibility constraints and initialisation) is fitted with
L-BFGS (maxiter=1000, factr=10, pgtol=1e-10), then refitted from its own optimum with L-BFGS and
with BFGS; the best log-likelihood is kept. The filter's steady-state tolerance is set to 0
(model.ssm.tolerance = 0) so that every step is filtered exactly, as in make_loglike_reference.py.
Also recorded: the log-likelihood at statsmodels' own start values, for comparison.

Run from anywhere:  OPENBLAS_NUM_THREADS=1 python tests/data/make_start_gap_reference.py
"""

from __future__ import annotations

import json
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import scipy
import statsmodels
from statsmodels.tsa.statespace.sarimax import SARIMAX

HERE = Path(__file__).resolve().parent
DATA = HERE.parent.parent / "data"
OUT = HERE / "start_gap_reference.json"

NS = (0, 0, 0, 0)
TREND = {0: "n", 1: "c", 2: "t", 3: "ct"}

# name, file, column (0 = time), log, order, seasonal order, trend code
CASES = [
    ("air_log_airline", "airpassengers.csv", 1, True, (0, 1, 1), (0, 1, 1, 12), 0),
    ("co2_airline", "co2.csv", 1, False, (0, 1, 1), (0, 1, 1, 12), 0),
    ("gas_log_airline_4", "ukgas.csv", 1, True, (0, 1, 1), (0, 1, 1, 4), 0),
    ("nile_arma11_c", "nile.csv", 1, False, (1, 0, 1), NS, 1),
    ("lakehuron_arma11_c", "lakehuron.csv", 1, False, (1, 0, 1), NS, 1),
    ("lynx_log_arma11_c", "lynx.csv", 1, True, (1, 0, 1), NS, 1),
    ("lakehuron_ar2_c", "lakehuron.csv", 1, False, (2, 0, 0), NS, 1),
    ("lynx_log_ar2_c", "lynx.csv", 1, True, (2, 0, 0), NS, 1),
    ("nile_ar2_c", "nile.csv", 1, False, (2, 0, 0), NS, 1),
    ("air_log_212_111_12", "airpassengers.csv", 1, True, (2, 1, 2), (1, 1, 1, 12), 0),
    ("co2_212_111_12", "co2.csv", 1, False, (2, 1, 2), (1, 1, 1, 12), 0),
    ("gas_log_212_111_4", "ukgas.csv", 1, True, (2, 1, 2), (1, 1, 1, 4), 0),
]


def series(file: str, column: int, log: bool) -> np.ndarray:
    y = pd.read_csv(DATA / file).iloc[:, column].to_numpy(dtype=float)
    return np.log(y) if log else y


def peer_maximum(model: SARIMAX) -> tuple[float, np.ndarray]:
    best_ll, best = -np.inf, None
    start = model.start_params
    for method in ("lbfgs", "lbfgs", "bfgs"):
        kwargs = dict(factr=10.0, pgtol=1e-10) if method == "lbfgs" else dict(gtol=1e-10)
        res = model.fit(start_params=start, method=method, maxiter=1000, disp=False, **kwargs)
        ll = model.loglike(res.params)
        if ll > best_ll:
            best_ll, best = ll, res.params
        start = best
    return float(best_ll), np.asarray(best)


def main() -> None:
    warnings.simplefilter("ignore")
    lines = []
    for name, file, column, log, order, seasonal, trend in CASES:
        y = series(file, column, log)
        model = SARIMAX(y, order=order, seasonal_order=seasonal, trend=TREND[trend], trend_offset=0)
        model.ssm.tolerance = 0.0
        ll, params = peer_maximum(model)
        record = dict(name=name, file=file, column=column, log=int(log), order=list(order),
                      seasonal=list(seasonal), trend=trend, peer_loglike=ll,
                      peer_params=params.tolist(),
                      peer_start_loglike=float(model.loglike(model.start_params)))
        lines.append(json.dumps(record))
        print(f"{name:24s} max {ll:14.6f}  at statsmodels' start {record['peer_start_loglike']:14.6f}")
    how = (f"statsmodels {statsmodels.__version__}, numpy {np.__version__}, scipy {scipy.__version__}; "
           "made by tests/data/make_start_gap_reference.py (see its docstring)")
    OUT.write_text('{"how": ' + json.dumps(how) + ',\n "cases": [\n  ' + ",\n  ".join(lines) + "\n ]}\n")


if __name__ == "__main__":
    main()
