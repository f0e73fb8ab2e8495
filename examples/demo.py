"""Fit the airline model (0,1,1)(0,1,1,12) to log AirPassengers.

Prints the fit dict of the default method, the log-likelihood at the fitted
parameters evaluated on its own, and a fit by each of two other methods.
"""
import csv
import math
from pathlib import Path

import numpy as np

import peltaro

DATA = Path(__file__).resolve().parent.parent / "data" / "airpassengers.csv"


def load_log_airpassengers() -> np.ndarray:
    with DATA.open() as fh:
        rows = list(csv.DictReader(fh))
    return np.array([math.log(float(r["value"])) for r in rows], dtype=np.float64)


def main() -> None:
    y = load_log_airpassengers()
    order, seasonal = (0, 1, 1), (0, 1, 1, 12)
    print(f"peltaro {peltaro.version()}: airline model on log AirPassengers, n = {y.size}")
    print()
    fit = peltaro.sarimax_fit(y, order, seasonal)
    width = max(len(key) for key in fit)
    for key, value in fit.items():
        print(f"  {key:<{width}}  {value}")
    print()
    again = peltaro.sarimax_loglike(y, order, seasonal, np.array(fit["params"]))
    print(f"sarimax_loglike at the fitted parameters: {again:.10f}")
    print()
    for method in ("lbfgsb-multi", "nelder-mead"):
        other = peltaro.sarimax_fit(y, order, seasonal, method=method)
        params = ", ".join(f"{p:.6f}" for p in other["params"])
        print(f"{method:>13}: loglike {other['loglike']:.6f}  params [{params}]"
              f"  n_iter {other['n_iter']}  ({other['method']})")
    print()
    print("Errors come back as Python exceptions, for example an unknown method:")
    try:
        peltaro.sarimax_fit(y, order, seasonal, method="newton")
    except RuntimeError as exc:
        print(f"  RuntimeError: {exc}")


if __name__ == "__main__":
    main()
