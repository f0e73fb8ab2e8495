"""Evaluate the airline model (0,1,1)(0,1,1,12) on log AirPassengers.

Prints the exact Gaussian log-likelihood at a few parameter vectors, with the
scale estimated or concentrated out, with differencing carried in the state or
applied to the data first.
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
    print(f"{'theta':>8} {'Theta':>8} {'sigma2':>9}  {'full':>12} {'concentrated':>13}"
          f" {'full, simple diff':>18}")
    for theta, big_theta, sigma2 in [
        (-0.40, -0.56, 0.00137),
        (-0.30, -0.60, 0.00140),
        (-0.50, -0.50, 0.00150),
        (0.00, 0.00, 0.00200),
    ]:
        full = peltaro.sarimax_loglike(
            y, order, seasonal, np.array([theta, big_theta, sigma2]))
        conc = peltaro.sarimax_loglike(
            y, order, seasonal, np.array([theta, big_theta]), concentrate_scale=True)
        simple = peltaro.sarimax_loglike(
            y, order, seasonal, np.array([theta, big_theta, sigma2]),
            simple_differencing=True)
        print(f"{theta:8.2f} {big_theta:8.2f} {sigma2:9.5f}  {full:12.4f} {conc:13.4f}"
              f" {simple:18.4f}")
    print()
    print("Errors come back as Python exceptions, for example a wrong parameter count:")
    try:
        peltaro.sarimax_loglike(y, order, seasonal, np.array([-0.4, -0.56]))
    except ValueError as exc:
        print(f"  ValueError: {exc}")


if __name__ == "__main__":
    main()
