"""Batch and grid-search functions: each item is its single-series call, item
errors stay in their items, whole-call problems raise, and the pool behaves
across pool sizes, fork() and the interpreter lock."""

import gc
import multiprocessing
import os
import pathlib
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import peltaro
from concurrency import assert_lock_released, run_in_forked_child, run_with_pool_size

ROOT = pathlib.Path(__file__).resolve().parents[2]
AIR = np.log(np.loadtxt(ROOT / "data" / "airpassengers.csv", delimiter=",", skiprows=1,
                        usecols=1))
ARMA = ((1, 0, 1), (0, 0, 0, 0))


def ar1(n, seed, phi=0.6, mean=10.0):
    e = np.random.default_rng(seed).standard_normal(n)
    y = np.empty(n)
    prev = 0.0
    for t in range(n):
        prev = phi * prev + e[t]
        y[t] = mean + prev
    return y


SERIES = [ar1(60 + 15 * i, seed=i) for i in range(5)]
SERIES[3] = SERIES[3][:2]  # too short to fit: an item error
PARAMS = np.array([4.0, 0.6, 0.1, 1.1])
FORECAST_ERROR = "model has exogenous variables: future_exog is required for forecasting"


def outcome(call, fit=False):
    """The single-series result, or the error dict a batch item carries instead."""
    try:
        return call()
    except ValueError as e:
        return {"error": str(e), "converged": False} if fit else {"error": str(e)}


def test_items_equal_the_single_series_calls():
    fits = peltaro.sarimax_batch_fit(SERIES, *ARMA, trend="c", maxiter=80)
    logliks = peltaro.sarimax_batch_loglike(SERIES, *ARMA, PARAMS, trend="c")
    params_list = [PARAMS] * 5
    params_list[1] = PARAMS[:2]
    forecasts = peltaro.sarimax_batch_forecast(SERIES, *ARMA, params_list, steps=4, alpha=0.1,
                                               trend="c")
    for i, y in enumerate(SERIES):
        assert fits[i] == outcome(lambda: peltaro.sarimax_fit(y, *ARMA, trend="c", maxiter=80),
                                  fit=True)
        # Both enforce flags default to off here, unlike sarimax_loglike.
        assert logliks[i] == outcome(lambda: {"loglike": peltaro.sarimax_loglike(
            y, *ARMA, PARAMS, trend="c", enforce_stationarity=False,
            enforce_invertibility=False)})
        if i != 1:
            assert forecasts[i] == outcome(lambda: peltaro.sarimax_forecast(
                y, *ARMA, PARAMS, steps=4, alpha=0.1, trend="c"))
    assert fits[3]["error"].startswith("data error: Not enough observations")
    assert forecasts[1] == {"error": "parameter length mismatch: expected 4, got 2"}


def test_grid_items_carry_their_orders_in_input_order():
    orders = [(1, 0, 0), (0, 1, 1), (2, 0, 0), (1, 0, 0)]
    seasonals = [(0, 0, 0, 0), (0, 0, 0, 0), (0, 0, 0, 0), (0, 2, 0, 4)]
    grid = peltaro.sarimax_grid_search(SERIES[4], orders, seasonals, trend="c")
    for item, order, seasonal in zip(grid[:3], orders, seasonals):
        single = peltaro.sarimax_fit(SERIES[4], order, seasonal, trend="c")
        assert item == dict(single, order=order, seasonal_order=seasonal)
        assert list(item)[-2:] == ["order", "seasonal_order"]
    assert grid[3] == {"order": (1, 0, 0), "seasonal_order": (0, 2, 0, 4),
                       "error": "state space construction failed: Seasonal differencing "
                                "D > 1 is not yet supported", "converged": False}
    assert list(grid[3]) == ["order", "seasonal_order", "error", "converged"]


def test_regressors_per_series_and_their_forecast_rows():
    rng = np.random.default_rng(3)
    ys = [SERIES[0], SERIES[2]]
    xs = [rng.standard_normal((len(y), 2)) for y in ys]
    future = [rng.standard_normal((9, 2)) for _ in ys]  # extra rows are not used
    params = np.array([0.5, -0.3, 0.6, 0.1, 1.1])
    got = peltaro.sarimax_batch_forecast(ys, *ARMA, [params] * 2, steps=6, exog_list=xs,
                                         exog_forecast_list=future)
    for i in range(2):
        assert got[i] == peltaro.sarimax_forecast(ys[i], *ARMA, params, steps=6, exog=xs[i],
                                                  future_exog=future[i][:6])
    missing = peltaro.sarimax_batch_forecast(ys, *ARMA, [params] * 2, exog_list=xs)
    assert missing == [{"error": "invalid input: " + FORECAST_ERROR}] * 2
    fits = peltaro.sarimax_batch_fit(ys, *ARMA, exog_list=xs, maxiter=40)
    assert fits[1] == peltaro.sarimax_fit(ys[1], *ARMA, exog=xs[1], maxiter=40)


def test_unknown_method_is_every_items_error():
    valid = ("lbfgsb, lbfgsb-multi, lbfgsb-adaptive, lbfgsb-hybrid, lbfgsb-strict, "
             "lbfgsb_single, lbfgs, bfgs, trust-region, profile-trust-region, nelder-mead, nm")
    text = f"optimization failed: unknown method: 'newton'. Valid methods: {valid}"
    assert peltaro.sarimax_batch_fit(SERIES[:2], *ARMA, method="newton") == \
        [{"error": text, "converged": False}] * 2
    grid = peltaro.sarimax_grid_search(SERIES[0], [(1, 0, 0)], [(0, 0, 0, 0)], method="newton")
    assert grid == [{"order": (1, 0, 0), "seasonal_order": (0, 0, 0, 0), "error": text,
                     "converged": False}]


def test_empty_lists_give_empty_results():
    assert peltaro.sarimax_batch_fit([], *ARMA) == []
    assert peltaro.sarimax_batch_loglike([], *ARMA, PARAMS[1:]) == []
    assert peltaro.sarimax_batch_forecast([], *ARMA, []) == []
    assert peltaro.sarimax_grid_search(SERIES[0], [], []) == []


def test_warnings_come_in_item_order_and_one_raised_as_an_error_ends_the_call():
    # On this white noise ARMA(1,1), (2,1) and (1,2) end where AR and MA roots
    # nearly cancel; MA(1), without AR roots, never does.
    y = np.random.default_rng(6).standard_normal(100)
    orders = [(1, 0, 2), (0, 0, 1), (2, 0, 1), (1, 0, 1)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        grid = peltaro.sarimax_grid_search(y, orders, [(0, 0, 0, 0)] * 4)
    named = [str(w.message).split("fitted ")[1].split(" ")[0] for w in caught]
    assert named == ["ARMA(1,2)", "ARMA(2,1)", "ARMA(1,1)"]
    assert [len(g["warnings"]) for g in grid] == [1, 0, 1, 1]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=r"ARMA\(1,2\)"):
            peltaro.sarimax_grid_search(y, orders, [(0, 0, 0, 0)] * 4)


def test_no_python_code_sees_the_result_list_half_built():
    y = np.random.default_rng(6).standard_normal(100)
    seen = []

    def showwarning(*args, **kwargs):
        seen.extend(o for o in gc.get_objects() if type(o) is list and len(o) == 2
                    and type(o[0]) is dict and "params" in o[0])

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = showwarning
        peltaro.sarimax_batch_fit([y, y], *ARMA)
    assert seen == []


class Endless:
    """A sequence that never ends and says it is enormous."""

    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        return 0


class ChangesArray:
    """An integer whose conversion turns a checked float64 array into float32."""

    def __init__(self, array):
        self.array = array

    def __index__(self):
        self.array.dtype = np.float32
        return 3


def test_adversarial_arguments_raise_cleanly():
    with pytest.raises(TypeError, match="'series_list': 'int' object cannot be converted"):
        peltaro.sarimax_batch_fit(Endless(), *ARMA)
    with pytest.raises(TypeError, match="'order_list': 'int' object cannot be converted"):
        peltaro.sarimax_grid_search(Y, Endless(), [])
    y = np.zeros(64)
    with pytest.raises(TypeError, match="an array argument changed"):
        peltaro.sarimax_batch_fit([y], (0, 0, 0), (0, 0, 0, 0), maxiter=ChangesArray(y))
    x = np.zeros((40, 2))
    with pytest.raises(TypeError, match="an array argument changed"):
        peltaro.sarimax_fit(np.zeros(40), (0, 0, 0), (0, 0, 0, 0), exog=x,
                            maxiter=ChangesArray(x))
    rows = np.stack([SERIES[0][:60], SERIES[1][:60]])  # the rows of a 2-D array are series
    assert peltaro.sarimax_batch_loglike(rows, *ARMA, PARAMS[1:]) == \
        peltaro.sarimax_batch_loglike(list(rows), *ARMA, PARAMS[1:])


Y = SERIES[0]
X2 = np.zeros((len(Y), 2))
STRIDED = np.zeros(20)[::2]
BAD = [
    (peltaro.sarimax_batch_fit, ("abc",) + ARMA, {}, TypeError,
     "argument 'series_list': Can't extract `str` to `Vec`"),
    (peltaro.sarimax_batch_fit, (5,) + ARMA, {}, TypeError,
     "argument 'series_list': 'int' object cannot be converted to 'Sequence'"),
    (peltaro.sarimax_batch_fit, ([Y, Y.astype(np.float32)],) + ARMA, {}, TypeError,
     "argument 'series_list': type mismatch: from=float32, to=float64"),
    (peltaro.sarimax_batch_fit, ([Y, np.array([1.0, np.nan]), STRIDED],) + ARMA, {}, ValueError,
     "input time series at index 1 contains NaN or Inf values"),
    (peltaro.sarimax_batch_fit, ([Y, Y, STRIDED],) + ARMA, {}, TypeError,
     "The given array is not contiguous or is misaligned."),
    (peltaro.sarimax_batch_fit, ([Y],) + ARMA, {"exog_list": [X2, X2]}, ValueError,
     "exog_list length (2) must match series_list length (1)"),
    (peltaro.sarimax_batch_fit, ([Y, Y],) + ARMA,
     {"exog_list": [X2, np.full((len(Y), 1), np.inf)]}, ValueError,
     "exog_list[1] contains NaN or Inf at column 0, row 0"),
    (peltaro.sarimax_batch_fit, ([Y, Y],) + ARMA, {"exog_list": [X2, X2[:, :1]]}, ValueError,
     "exog at index 1 has 1 columns but expected 2 (from first series)"),
    (peltaro.sarimax_batch_fit, ([Y, Y],) + ARMA, {"exog_list": [X2, X2[1:]]}, ValueError,
     f"exog_list[1] has {len(Y) - 1} rows but series[1] has {len(Y)} observations; "
     "they must match"),
    (peltaro.sarimax_batch_fit, ([Y], (21, 0, 0), (0, 0, 0, 0)), {}, ValueError,
     "AR order p=21 exceeds maximum 20"),
    (peltaro.sarimax_batch_fit, ([Y],) + ARMA, {"trend": "CT"}, ValueError,
     "unknown trend 'CT', expected one of: 'n', 'c', 't', 'ct'"),
    (peltaro.sarimax_grid_search, (Y, [(1, 0, 0)], []), {}, ValueError,
     "order_list length (1) must match seasonal_list length (0)"),
    (peltaro.sarimax_grid_search, (Y, [(1, 0)], [(0, 0, 0, 0)]), {}, ValueError,
     "expected tuple of length 3, but got tuple of length 2"),
    (peltaro.sarimax_grid_search, (Y, [(1, 0, 0)] * 2, [(0, 0, 0, 0), (1, 0, 0, 1)]), {},
     ValueError, "seasonal order (P,D,Q) > 0 requires seasonal period s >= 2"),
    (peltaro.sarimax_grid_search, (np.array([1.0, np.nan]), [], []), {}, ValueError,
     "input time series contains NaN or Inf values"),
    (peltaro.sarimax_batch_loglike, ([Y],) + ARMA + (PARAMS,), {}, ValueError,
     "parameter length mismatch: expected 3, got 4"),
    (peltaro.sarimax_batch_forecast, ([Y, Y],) + ARMA + ([PARAMS],), {"steps": 10001},
     ValueError, "series_list and params_list must have same length: 2 vs 1"),
    (peltaro.sarimax_batch_forecast, ([Y],) + ARMA + ([PARAMS],), {"steps": 10001},
     ValueError, "steps must be <= 10000, got 10001"),
    (peltaro.sarimax_batch_forecast, ([Y],) + ARMA + ([PARAMS],), {"alpha": 1.0}, ValueError,
     "alpha must be in (0, 1), got 1"),
    (peltaro.sarimax_batch_forecast, ([Y],) + ARMA + ([STRIDED],), {}, TypeError,
     "The given array is not contiguous or is misaligned."),
    (peltaro.sarimax_batch_forecast, ([Y],) + ARMA + ([PARAMS],),
     {"exog_list": [X2], "exog_forecast_list": []}, ValueError,
     "exog_forecast_list length (0) must match series_list length (1)"),
    (peltaro.sarimax_batch_forecast, ([Y],) + ARMA + ([PARAMS],),
     {"exog_list": [X2], "exog_forecast_list": [np.zeros((10, 1))]}, ValueError,
     "exog_forecast at index 0 has 1 columns but expected 2"),
    (peltaro.sarimax_batch_forecast, ([Y],) + ARMA + ([PARAMS],),
     {"exog_list": [X2], "exog_forecast_list": [np.zeros((9, 2))]}, ValueError,
     "exog_forecast_list[0] column 0 has 9 rows but 10 forecast steps requested"),
    (peltaro.sarimax_batch_forecast, ([Y],) + ARMA + ([PARAMS],),
     {"exog_forecast_list": [np.full((10, 1), np.nan)]}, ValueError,
     "exog_forecast_list[0] contains NaN or Inf at column 0, row 0"),
]


@pytest.mark.parametrize("function, args, kwargs, exception, message", BAD,
                         ids=[f"{b[0].__name__}-{i}" for i, b in enumerate(BAD)])
def test_whole_call_errors(function, args, kwargs, exception, message):
    with pytest.raises(exception) as info:
        function(*args, **kwargs)
    assert str(info.value) == message


# --- the pool: sizes, fork(), spawn, the interpreter lock -------------------

CHILD = textwrap.dedent("""
    import json, sys
    import numpy as np
    import peltaro
    y = np.log(np.loadtxt(sys.argv[1], delimiter=",", skiprows=1, usecols=1))
    ys = [y[:120], y[10:], y[:2], y[20:]]
    out = {}
    for method in ["lbfgsb", "lbfgsb-multi"]:
        fits = peltaro.sarimax_batch_fit(ys, (1, 1, 1), (0, 1, 1, 12), method=method, maxiter=40)
        out[method] = [[x.hex() for x in f["params"]] + [f["n_iter"]] if "params" in f
                       else f["error"] for f in fits]
    grid = peltaro.sarimax_grid_search(y, [(1, 1, 0), (0, 1, 1)], [(0, 1, 1, 12)] * 2)
    out["grid"] = [[x.hex() for x in g["params"]] for g in grid]
    print(json.dumps(out))
""")


def run_child(threads):
    return run_with_pool_size(CHILD, threads, ROOT / "data" / "airpassengers.csv")


def test_results_are_identical_at_every_pool_size():
    results = [run_child(n) for n in (1, 2, os.cpu_count() or 4)]
    assert results[0] == results[1] == results[2]


def _spawned_loglikes(_):
    return peltaro.sarimax_batch_loglike([SERIES[0], SERIES[1]], *ARMA, PARAMS[1:])


def test_spawn_context_children_use_the_pool():
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        got = pool.map(_spawned_loglikes, range(2), chunksize=1)
    assert got == [_spawned_loglikes(0)] * 2


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_forked_child_of_a_pool_user_gets_the_fork_error_in_every_item():
    peltaro.sarimax_batch_loglike(SERIES, *ARMA, PARAMS[1:])  # the parent owns the pool
    child, out = run_in_forked_child(lambda: [
        peltaro.sarimax_batch_fit(SERIES[:2], *ARMA),
        peltaro.sarimax_batch_loglike(SERIES[:2], *ARMA, PARAMS[1:]),
        peltaro.sarimax_batch_forecast(SERIES[:2], *ARMA, [PARAMS[1:]] * 2),
        peltaro.sarimax_grid_search(SERIES[0], [(1, 0, 0)] * 2, [(0, 0, 0, 0)] * 2),
        peltaro.sarimax_batch_fit([], *ARMA)])
    message = (f"invalid input: parallel API called in fork()ed child (pid {child}) but the "
               f"rayon thread pool belongs to parent pid {os.getpid()}; running would "
               "deadlock. Use the 'spawn' multiprocessing context, or fork before the first "
               "parallel call.")
    for items in out[:4]:
        assert len(items) == 2
        assert all(item["error"] == message for item in items)
    assert out[4] == []


FORK_FIRST = textwrap.dedent("""
    import os, sys
    import numpy as np
    import peltaro
    ys = [np.arange(30.0) % 7, np.arange(40.0) % 5]
    pid = os.fork()
    got = peltaro.sarimax_batch_loglike(ys, (1, 0, 0), (0, 0, 0, 0), np.array([0.5, 1.0]))
    assert all("loglike" in item for item in got), got
    if pid == 0:
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    sys.exit(0 if os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 else 1)
""")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_a_child_forked_before_any_parallel_call_owns_its_own_pool():
    out = subprocess.run([sys.executable, "-c", FORK_FIRST], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr


def test_batch_releases_the_interpreter_lock():
    ys = [np.random.default_rng(i).standard_normal(50_000) for i in range(128)]
    params = np.array([0.3, 0.1, 0.2, 0.2, 0.1, 1.0])
    assert_lock_released(lambda: peltaro.sarimax_batch_loglike(ys, (2, 0, 1), (1, 0, 1, 52),
                                                               params))
