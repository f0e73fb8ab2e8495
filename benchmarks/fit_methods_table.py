"""How close every method name of sarimax_fit comes to statsmodels' maximum.

For each case of tests/data/fit_reference.json (tightly converged
statsmodels maxima) and each of the twelve method names, prints the fitted
log-likelihood minus the peer's maximum (negative: below it), with the
method label and count of the fit. Not a test: some methods are allowed to
stop early.

    python benchmarks/fit_methods_table.py
"""
import os
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))
from test_fit import METHODS, REFERENCE, reference_problem  # noqa: E402

import peltaro  # noqa: E402


def main():
    short = [m.replace("lbfgsb", "lb").replace("profile-", "p-") for m in METHODS]
    print(f"{'case':<36}" + "".join(f"{m:>11}" for m in short))
    worst = dict.fromkeys(METHODS, 0.0)
    for case in REFERENCE:
        y, order, seasonal, kw = reference_problem(case)
        row = []
        for method in METHODS:
            try:
                fit = peltaro.sarimax_fit(y, order, seasonal, method=method, **kw)
                gap = fit["loglike"] - case["loglike"]
                worst[method] = min(worst[method], gap)
                row.append(f"{gap:11.1e}" if np.isfinite(gap) else f"{'nan':>11}")
            except (ValueError, RuntimeError) as exc:
                row.append(f"{type(exc).__name__[:9]:>11}")
        print(f"{case['name']:<36}" + "".join(row))
    print(f"{'worst':<36}" + "".join(f"{worst[m]:11.1e}" for m in METHODS))


if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    main()
