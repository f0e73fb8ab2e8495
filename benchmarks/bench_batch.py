"""Time peltaro.sarimax_batch_fit at several pool sizes against statsmodels.

Two cases: airline fits (0,1,1)(0,1,1,12) of simulated log-monthly series of
150 points, and ARMA(1,1) + constant fits of simulated series of 200 points.
Every run is a fresh subprocess: peltaro reads RAYON_NUM_THREADS once per
process, and each process gets one BLAS thread. statsmodels'
SARIMAX(...).fit(disp=False) runs in a plain loop and on a spawned
multiprocessing pool with one process per CPU; the pool is timed after its
workers have started and imported statsmodels. Wall times exclude imports and
data creation; peltaro's are the best of three runs. "own CPU" is the CPU time
of the timing process, "busy CPUs" the mean number of CPUs busy machine-wide
(any process) during the run: on a shared machine they tell a lack of free
cores from extra work. Needs statsmodels; not part of the test suite.

    python benchmarks/bench_batch.py [--n-airline 1000] [--n-arma 200] [--loop-max N] [--quick]
"""
import argparse
import json
import multiprocessing
import os
import subprocess
import sys
import time
import warnings

import numpy as np

import simulate

CASES = {
    "airline": dict(title="airline (0,1,1)(0,1,1,12)", order=(0, 1, 1),
                    seasonal=(0, 1, 1, 12), trend=None, n_obs=150),
    "arma": dict(title="ARMA(1,1) + constant", order=(1, 0, 1),
                 seasonal=(0, 0, 0, 0), trend="c", n_obs=200),
}
ONE_BLAS_THREAD = {v: "1" for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS",
                                    "MKL_NUM_THREADS")}


def make_series(case, count, seed=20260101):
    """count simulated series of the case, the same in every process."""
    rng = np.random.default_rng(seed)
    n = CASES[case]["n_obs"]
    t = np.arange(n)
    out = []
    for _ in range(count):
        if case == "airline":
            # Log-monthly look: a level, a slope and a seasonal profile (all
            # removed by the two differences) plus the airline process.
            e = 0.04 * rng.standard_normal(n + 13)
            out.append(5.0 + 0.01 * t + 0.1 * np.sin(2 * np.pi * t / 12)
                       + simulate.airline(e, -0.4, -0.6))
        else:
            # y_t = c + 0.6 y_{t-1} + e_t + 0.3 e_{t-1}, mean 10.
            e = rng.standard_normal(n + 100)
            y = np.full(e.size, 10.0)
            for k in range(1, e.size):
                y[k] = 4.0 + 0.6 * y[k - 1] + e[k] + 0.3 * e[k - 1]
            out.append(y[100:].copy())
    return out


def sm_fit(item):
    """Log-likelihood of one statsmodels fit; item = (y, order, seasonal, trend)."""
    from statsmodels.tsa.statespace.sarimax import SARIMAX
    y, order, seasonal, trend = item
    warnings.simplefilter("ignore")
    return float(SARIMAX(y, order=order, seasonal_order=seasonal,
                         trend=trend or "n").fit(disp=False).llf)


def busy_cpu_seconds():
    """CPU seconds the whole machine has spent busy since boot (/proc/stat)."""
    with open("/proc/stat") as f:
        user, nice, system, idle, iowait, irq, softirq, steal = map(int, f.readline().split()[1:9])
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def timed(fn):
    """fn() with its wall time, this process's CPU time, and the mean number of
    CPUs busy machine-wide meanwhile (any process)."""
    b0, c0, t0 = busy_cpu_seconds(), time.process_time(), time.perf_counter()
    out = fn()
    wall = time.perf_counter() - t0
    return out, {"seconds": wall, "cpu": time.process_time() - c0,
                 "busy": (busy_cpu_seconds() - b0) / wall}


def run_worker(job):
    """One timed run inside this process; returns its timings and log-likelihoods."""
    c = CASES[job["case"]]
    series = make_series(job["case"], job["count"])
    items = [(y, c["order"], c["seasonal"], c["trend"]) for y in series]
    if job["kind"] == "ours":
        import peltaro
        fit = lambda ys: peltaro.sarimax_batch_fit(ys, c["order"], c["seasonal"],
                                                   trend=c["trend"])
        fit(series[:job["threads"]])  # start the pool
        # Best of three: cheap next to the statsmodels runs.
        res, stats = min((timed(lambda: fit(series)) for _ in range(3)),
                         key=lambda run: run[1]["seconds"])
        failed = [r["error"] for r in res if "error" in r]
        if failed:
            raise SystemExit(f"{len(failed)} fits failed, first: {failed[0]}")
        return {**stats, "loglike": [r["loglike"] for r in res],
                "n_iter": [r["n_iter"] for r in res]}
    if job["kind"] == "sm-loop":
        ll, stats = timed(lambda: [sm_fit(item) for item in items])
        return {**stats, "loglike": ll}
    with multiprocessing.get_context("spawn").Pool(job["procs"]) as pool:
        pool.map(sm_fit, items[:2 * job["procs"]], chunksize=1)  # start the workers
        ll, stats = timed(lambda: pool.map(sm_fit, items, chunksize=1))
        return {**stats, "loglike": ll}


def spawn(job, threads=1):
    """run_worker(job) in a fresh interpreter with RAYON_NUM_THREADS=threads."""
    env = {**os.environ, **ONE_BLAS_THREAD, "RAYON_NUM_THREADS": str(threads)}
    out = subprocess.run([sys.executable, __file__, "--worker", json.dumps(job)], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def machine_facts():
    lines = [f"nproc: {subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()}"
             f", os.cpu_count(): {os.cpu_count()}"]
    keep = ("Model name", "CPU(s)", "Thread(s) per core", "Core(s) per socket", "Socket(s)",
            "Hypervisor vendor", "L2 cache", "L3 cache")
    lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines()
    lines += [" ".join(l.split()) for l in lscpu if l.split(":")[0].strip() in keep]
    return lines


def bench_case(case, count, loop_count, thread_counts):
    c = CASES[case]
    print(f"\n{c['title']}: {count} series of {c['n_obs']} points "
          f"(load average before: {os.getloadavg()[0]:.1f})")
    print(f"  {'run':<24} {'wall (s)':>9} {'fits/s':>8} {'speed-up':>9} {'efficiency':>10} "
          f"{'own CPU (s)':>11} {'busy CPUs':>9}")

    def row(label, wall, base, n, r):
        cpu = f"{r['cpu']:11.2f}" if "cpu" in r else f"{'':11}"
        print(f"  {label:<24} {wall:9.2f} {count / wall:8.1f} {base / wall:8.2f}x "
              f"{base / wall / n:10.2f} {cpu} {r['busy']:9.1f}")

    ours = {n: spawn({"kind": "ours", "case": case, "count": count, "threads": n}, n)
            for n in thread_counts}
    t1 = ours[1]["seconds"]
    for n, r in ours.items():
        row(f"peltaro, {n} thread" + "s" * (n > 1), r["seconds"], t1, n, r)
    loop = spawn({"kind": "sm-loop", "case": case, "count": loop_count})
    t_loop = loop["seconds"] * count / loop_count
    row("statsmodels loop", t_loop, t_loop, 1, loop)
    if loop_count < count:
        print(f"    (statsmodels loop: {loop_count} fits timed, extrapolated to {count})")
    procs = max(thread_counts)
    pool = spawn({"kind": "sm-pool", "case": case, "count": count, "procs": procs})
    del pool["cpu"]  # the work runs in the pool's processes
    tp = pool["seconds"]
    row(f"statsmodels Pool({procs})", tp, t_loop, procs, pool)
    tn = ours[procs]["seconds"]
    print(f"  peltaro({procs} threads) vs statsmodels loop: {t_loop / tn:.1f}x faster; "
          f"vs statsmodels Pool({procs}): {tp / tn:.1f}x; "
          f"peltaro(1 thread) vs statsmodels loop: {t_loop / t1:.1f}x")
    diff = np.array(ours[1]["loglike"]) - np.array(pool["loglike"])
    same = all(r["loglike"] == ours[1]["loglike"] for r in ours.values())
    iters = np.array(ours[1]["n_iter"])
    print(f"  loglike peltaro - statsmodels: mean {diff.mean():+.2e}, "
          f"|diff| > 1e-3 in {(np.abs(diff) > 1e-3).sum()} of {count} "
          f"(peltaro higher in {(diff > 1e-3).sum()}); "
          f"identical at every pool size: {'yes' if same else 'NO'}")
    print(f"  peltaro n_iter per fit: median {np.median(iters):.0f}, "
          f"p90 {np.percentile(iters, 90):.0f}, max {iters.max()}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n-airline", type=int, default=1000)
    ap.add_argument("--n-arma", type=int, default=200)
    ap.add_argument("--loop-max", type=int, default=None,
                    help="time the statsmodels loop on at most this many series, extrapolate")
    ap.add_argument("--quick", action="store_true", help="100 airline, 40 ARMA series")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        print(json.dumps(run_worker(json.loads(args.worker))))
        return
    if args.quick:
        args.n_airline, args.n_arma = 100, 40
    cpus = os.cpu_count()
    print("machine:", *machine_facts(), sep="\n  ")
    thread_counts = sorted({1, 2, 4, cpus} & set(range(1, cpus + 1)))
    for case, count in (("airline", args.n_airline), ("arma", args.n_arma)):
        bench_case(case, count, min(count, args.loop_max or count), thread_counts)


if __name__ == "__main__":
    main()
