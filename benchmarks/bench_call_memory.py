"""Peak memory of one single-series call against the size of its series.

Each case runs in a fresh subprocess that builds its series, notes its RSS,
makes one call and reports the growth of the peak RSS (ru_maxrss) over that
RSS, next to the bytes of the series. A call should hold the series, its
outputs and a working set that does not grow with the series length times the
number of states. Not part of the test suite.

    python benchmarks/bench_call_memory.py
"""
import json
import os
import resource
import subprocess
import sys

import numpy as np

CASES = {
    "loglike (1,0,1)(1,0,1,365), n = 100,000": (
        "loglike", 100_000, (1, 0, 1), (1, 0, 1, 365), [0.5, 0.3, 0.4, 0.2, 1.0]),
    "loglike ARMA(1,1), n = 1,000,000": (
        "loglike", 1_000_000, (1, 0, 1), (0, 0, 0, 0), [0.5, 0.3, 1.0]),
    "fit ARMA(1,1), n = 1,000,000": (
        "fit", 1_000_000, (1, 0, 1), (0, 0, 0, 0), [0.5, 0.3, 1.0]),
    "fit (0,1,1)(0,1,1,12), n = 100,000": (
        "fit", 100_000, (0, 1, 1), (0, 1, 1, 12), [-0.4, -0.6, 1.0]),
}


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def worker(name):
    import peltaro
    kind, n, order, seasonal, params = CASES[name]
    rng = np.random.default_rng(3)
    e = rng.standard_normal(n)
    y = e.copy()
    y[1:] += 0.3 * e[:-1]
    for t in range(1, n):
        y[t] += 0.5 * y[t - 1]
    if seasonal[1] > 0:
        y = np.cumsum(y)
    before = rss_kib()
    if kind == "loglike":
        peltaro.sarimax_loglike(y, order, seasonal, np.array(params))
    else:
        peltaro.sarimax_fit(y, order, seasonal, maxiter=20)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"growth_mib": (peak - before) / 1024, "series_mib": y.nbytes / 2**20}))


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--worker":
        worker(sys.argv[2])
        return
    print(f"{'call':44s} {'peak growth (MiB)':>18s} {'series (MiB)':>13s}")
    for name in CASES:
        out = subprocess.run([sys.executable, __file__, "--worker", name], check=True,
                             capture_output=True, text=True).stdout
        r = json.loads(out.strip().splitlines()[-1])
        print(f"{name:44s} {r['growth_mib']:18.1f} {r['series_mib']:13.1f}")


if __name__ == "__main__":
    main()
