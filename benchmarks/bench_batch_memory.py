"""Peak memory of the batch functions against the size of their inputs and results.

Each run is a fresh subprocess that imports peltaro, builds its AR(1) + constant
series (one 2-D array, rows of 200 points, built in place), notes its RSS, calls
one batch function once and reports the growth of the peak RSS
(ru_maxrss) over that RSS. Runs at 1 thread and at every CPU, on 1,000 and
10,000 series: the growth should follow the inputs (a call holds one copy of
the series while it runs) and the results, not the number of threads. Not
part of the test suite.

    python benchmarks/bench_batch_memory.py [--sizes 1000 10000] [--steps 12]
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

N_OBS = 200
ORDER, SEASONAL, TREND = (1, 0, 0), (0, 0, 0, 0), "c"
PARAMS = np.array([2.0, 0.8, 1.0])  # constant, φ, σ²


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def deep_size(obj, seen=None):
    """Bytes of a result: the object and, for dicts and lists, what they hold."""
    seen = set() if seen is None else seen
    if id(obj) in seen:
        return 0
    seen.add(id(obj))
    size = sys.getsizeof(obj)
    if isinstance(obj, dict):
        size += sum(deep_size(k, seen) + deep_size(v, seen) for k, v in obj.items())
    elif isinstance(obj, (list, tuple)):
        size += sum(deep_size(v, seen) for v in obj)
    return size


def run_worker(func, count, steps):
    import peltaro
    rng = np.random.default_rng(7)
    y = rng.standard_normal((count, N_OBS))
    for t in range(1, N_OBS):
        y[:, t] += PARAMS[1] * y[:, t - 1]
    y += PARAMS[0] / (1 - PARAMS[1])
    params = np.tile(PARAMS, (count, 1))
    series, params_list = list(y), list(params)
    call = {
        "loglike": lambda: peltaro.sarimax_batch_loglike(series, ORDER, SEASONAL, PARAMS,
                                                         trend=TREND),
        "fit": lambda: peltaro.sarimax_batch_fit(series, ORDER, SEASONAL, trend=TREND,
                                                 maxiter=50),
        "forecast": lambda: peltaro.sarimax_batch_forecast(series, ORDER, SEASONAL,
                                                           params_list, steps=steps,
                                                           trend=TREND),
    }[func]
    before = rss_kib()
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss <= before + 1024, "peak before"
    t0 = time.perf_counter()
    res = call()
    seconds = time.perf_counter() - t0
    assert not any("error" in r for r in res)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    inputs = y.nbytes + (params.nbytes if func == "forecast" else 0)
    return {"base_kib": before, "growth_kib": peak - before, "input_bytes": inputs,
            "result_bytes": deep_size(res), "seconds": seconds}


def spawn(func, count, steps, threads):
    env = {**os.environ, "RAYON_NUM_THREADS": str(threads)}
    args = [sys.executable, __file__, "--worker", func, str(count), str(steps)]
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    ap.add_argument("--steps", type=int, default=12, help="forecast steps")
    ap.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        func, count, steps = args.worker
        print(json.dumps(run_worker(func, int(count), int(steps))))
        return
    mib = 1 / 2**20
    print(f"AR(1) + constant, series of {N_OBS} points; sizes in MiB (2^20 bytes); "
          f"fit with maxiter=50, forecast {args.steps} steps.\n"
          f"inputs: the series (and forecast parameters), already in the base RSS; "
          f"results: the returned Python objects; peak growth: ru_maxrss after the "
          f"call - RSS before it")
    print(f"{'function':<9} {'series':>7} {'threads':>7} {'inputs':>8} {'results':>8} "
          f"{'base RSS':>9} {'peak growth':>12} {'- in - res':>10} {'time (s)':>9}")
    for func in ("loglike", "fit", "forecast"):
        for count in args.sizes:
            for threads in sorted({1, os.cpu_count()}):
                r = spawn(func, count, args.steps, threads)
                growth = r["growth_kib"] / 1024
                rest = growth - (r["input_bytes"] + r["result_bytes"]) * mib
                print(f"{func:<9} {count:>7} {threads:>7} {r['input_bytes'] * mib:8.2f} "
                      f"{r['result_bytes'] * mib:8.2f} {r['base_kib'] / 1024:9.1f} "
                      f"{growth:12.2f} {rest:10.2f} {r['seconds']:9.3f}")


if __name__ == "__main__":
    main()
