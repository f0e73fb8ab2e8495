"""Time peltaro.sarimax_rolling_forecast against a loop of plain forecasts.

Both give the forecasts from every origin of a 1,000-point series: the rolling
function from one filter pass with a state snapshot per origin, the loop by
calling sarimax_forecast on each truncated series y[:t]. The figure that
matters is the ratio; the largest difference between the two answers is
printed beside it. Not part of the test suite.

    python benchmarks/bench_rolling_forecast.py
"""
import math
import time

import numpy as np

import peltaro
import simulate


def best_time(fn, budget=2.0, min_runs=3):
    """Smallest time of one call over repeated calls within a time budget."""
    best, spent, runs = math.inf, 0.0, 0
    while spent < budget or runs < min_runs:
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best = min(best, dt)
        spent += dt
        runs += 1
    return best


def case(name, y, order, seasonal, params, start, horizon):
    n = len(y)

    def rolling():
        return peltaro.sarimax_rolling_forecast(y, order, seasonal, params, start,
                                                horizon=horizon)

    def loop():
        return [peltaro.sarimax_forecast(y[:t], order, seasonal, params, steps=horizon)
                for t in range(start, n)]

    roll, plain = rolling(), loop()
    assert roll["origins"] == list(range(start, n))
    gap = max(max(abs(a - b) / max(1.0, abs(b)) for a, b in zip(row, ref[key]))
              for key in ("mean", "variance") for row, ref in zip(roll[key], plain))
    t_roll, t_loop = best_time(rolling), best_time(loop)
    print(f"{name:<40} {n - start:7d} {t_roll * 1e3:12.2f} {t_loop * 1e3:12.1f} "
          f"{t_loop / t_roll:8.1f}x   max rel diff {gap:.1e}")


def main():
    rng = np.random.default_rng(20261208)
    n = 1000
    e = rng.standard_normal(n + 13)
    arma = np.zeros(n)
    for t in range(2, n):
        arma[t] = 0.5 * arma[t - 1] - 0.2 * arma[t - 2] + e[t] + 0.3 * e[t - 1]
    theta, big_theta = -0.4, -0.6
    airline = simulate.airline(e, theta, big_theta)

    print(f"{'case (n = 1000)':<40} {'origins':>7} {'rolling (ms)':>12} {'loop (ms)':>12} "
          f"{'ratio':>9}")
    for horizon in (1, 12):
        case(f"ARMA(2,0,1), horizon {horizon}", arma, (2, 0, 1), (0, 0, 0, 0),
             np.array([0.5, -0.2, 0.3, 1.0]), 1, horizon)
        # The 13 approximately diffuse differencing states leave the first 13
        # observations out of the likelihood: the plain forecast needs more.
        case(f"airline (0,1,1)(0,1,1,12), horizon {horizon}", airline, (0, 1, 1), (0, 1, 1, 12),
             np.array([theta, big_theta, 1.0]), 14, horizon)


if __name__ == "__main__":
    main()
