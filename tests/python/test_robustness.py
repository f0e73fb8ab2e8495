"""Hostile inputs: sarimax_loglike must answer with a float or one of the
documented exceptions, never crash, hang or leak a foreign exception type."""

import concurrent.futures
import ctypes
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import peltaro

N = 40
Y = np.random.default_rng(3).standard_normal(N)
AR1 = np.array([0.5, 1.0])
DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError)
CONTIGUITY = "The given array is not contiguous or is misaligned."
# The sanitizer run preloads AddressSanitizer, which reserves its shadow memory
# as address space when the process starts, so no address-space limit can be
# set under it; and it ends the process on an allocation it cannot serve
# rather than failing that allocation.
UNDER_ASAN = hasattr(ctypes.CDLL(None), "__asan_init")


def loglike(y=Y, order=(1, 0, 0), seasonal=(0, 0, 0, 0), params=AR1, **kwargs):
    return peltaro.sarimax_loglike(y, order, seasonal, params, **kwargs)


class TaggedArray(np.ndarray):
    """An ndarray subclass, as pandas-like wrappers produce."""


def readonly(a):
    a = a.copy()
    a.setflags(write=False)
    return a


# --- array variants that are accepted and give the plain result ---------------

ACCEPTED_SERIES = {
    "read-only": lambda a: readonly(a),
    "subclass": lambda a: a.copy().view(TaggedArray),
    "masked-array": lambda a: np.ma.masked_array(a.copy(), mask=np.zeros(a.shape, bool)),
    "fortran-flag-1d": lambda a: np.asfortranarray(a),
    "column-slice-of-fortran": lambda a: np.asfortranarray(np.column_stack([a, a]))[:, 1],
    "native-byte-order-spelled-out": lambda a: a.astype("=f8"),
    "from-buffer": lambda a: np.frombuffer(a.tobytes(), dtype=np.float64),
}


@pytest.mark.parametrize("variant", list(ACCEPTED_SERIES))
def test_series_array_variants_are_accepted(variant):
    make = ACCEPTED_SERIES[variant]
    expected = loglike()
    assert loglike(y=make(Y)) == expected
    assert loglike(params=make(AR1)) == expected


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_matrix_subclass_and_read_only_regressors():
    x = np.linspace(0.0, 1.0, N).reshape(N, 1)
    params = np.array([0.2, 0.5, 1.0])
    expected = loglike(exog=x, params=params)
    assert loglike(exog=np.asmatrix(x), params=params) == expected
    assert loglike(exog=readonly(x), params=params) == expected
    assert loglike(exog=np.broadcast_to(x, (N, 1)), params=params) == expected


def test_broadcast_regressor_with_zero_strides():
    params = np.array([0.2, 0.5, 1.0])
    ones = np.broadcast_to(1.0, (N, 1))
    assert ones.strides == (0, 0)
    assert loglike(exog=ones, params=params) == loglike(exog=np.ones((N, 1)), params=params)


def test_huge_regressor_view_is_refused_before_it_is_copied():
    # Copied, this view would take 8 GB; under a 3 GB address-space limit (under
    # AddressSanitizer, a 3 GB cap on one allocation) the call must still answer
    # from the shape alone.
    script = textwrap.dedent("""
        import resource
        import sys
        import numpy as np
        import peltaro
        if sys.argv[1] == "False":
            resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        y = np.zeros(40)
        for shape in [(10**7, 101), (40, 101)]:
            try:
                peltaro.sarimax_loglike(y, (1, 0, 0), (0, 0, 0, 0), np.zeros(103),
                                        exog=np.broadcast_to(1.0, shape))
            except ValueError as e:
                print(e)
    """)
    asan_options = os.environ.get("ASAN_OPTIONS", "") + ":max_allocation_size_mb=3072"
    out = subprocess.run([sys.executable, "-c", script, str(UNDER_ASAN)], capture_output=True,
                         text=True, timeout=120, env=dict(os.environ, ASAN_OPTIONS=asan_options))
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "exog has 10000000 rows but endog has 40 observations; they must match",
        "n_exog=101 exceeds maximum 100",
    ]


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("y", Y.astype(">f8"), "argument 'y': type mismatch: from=>f8, to=float64"),
        ("params", AR1.astype(">f8"), "argument 'params': type mismatch: from=>f8, to=float64"),
        ("exog", np.ones((N, 1), dtype=">f8"),
         "argument 'exog': type mismatch: from=>f8, to=float64"),
        ("y", np.asfortranarray(np.column_stack([Y, Y])),
         "argument 'y': dimensionality mismatch: from=2, to=1"),
        ("y", Y.astype(np.complex128), "argument 'y': type mismatch: from=complex128, to=float64"),
        ("y", Y.astype(object), "argument 'y': type mismatch: from=object, to=float64"),
        ("y", np.broadcast_to(1.0, (N,)), CONTIGUITY),
        ("y", np.column_stack([Y, Y])[:, 0], CONTIGUITY),
        ("params", np.asfortranarray(np.column_stack([AR1, AR1]))[0], CONTIGUITY),
    ],
)
def test_rejected_array_variants(name, value, message):
    with pytest.raises(TypeError) as info:
        loglike(**{name: value})
    assert str(info.value) == message


def test_inputs_are_not_modified():
    y, params, exog = Y.copy(), np.array([0.3, 0.5, 1.0]), np.arange(N, dtype=float)[:, None]
    snapshot = (y.copy(), params.copy(), exog.copy())
    loglike(y=y, params=params, exog=exog, simple_differencing=True, order=(1, 1, 0))
    for before, after in zip(snapshot, (y, params, exog)):
        np.testing.assert_array_equal(before, after)


def test_non_finite_parameters_are_left_to_the_filter():
    for params in (np.array([np.nan, 1.0]), np.array([np.inf, 1.0]), np.array([1e308, 1e-308])):
        try:
            value = loglike(params=params, enforce_stationarity=False)
        except ValueError:
            continue
        assert isinstance(value, float)


def test_concurrent_calls_match_sequential_ones():
    rng = np.random.default_rng(11)
    jobs = [
        (rng.standard_normal(200).cumsum(), (p, d, q), np.r_[np.full(p + q, 0.2), 1.0])
        for p, d, q in [(1, 0, 0), (2, 1, 1), (0, 1, 2), (3, 0, 1)] * 4
    ]
    sequential = [loglike(y=y, order=o, params=p) for y, o, p in jobs]
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        parallel = list(pool.map(lambda job: loglike(y=job[0], order=job[1], params=job[2]), jobs))
    assert parallel == sequential


# --- random fuzz, isolated in a child interpreter ------------------------------

FUZZ_SCRIPT = textwrap.dedent(
    r"""
    import random
    import sys

    import numpy as np

    import peltaro

    SEED, COUNT = int(sys.argv[1]), int(sys.argv[2])
    np.seterr(all="ignore")  # casts of huge values in the mangled copies
    rng = random.Random(SEED)
    nrng = np.random.default_rng(SEED)
    DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError)
    K_TREND = {None: 0, "n": 0, "c": 1, "t": 1, "ct": 2, "tc": 2}


    class Sub(np.ndarray):
        pass


    def series(n):
        kind = rng.randrange(12)
        a = nrng.standard_normal(n)
        if kind == 0:
            a = a.cumsum()
        elif kind == 1 and n:
            a[rng.randrange(n)] = rng.choice([np.nan, np.inf, -np.inf])
        elif kind == 2:
            a = a * rng.choice([1e300, 1e-300, 0.0])
        return a


    def mangle(a, ndim):
        kind = rng.randrange(22)
        if kind == 0:
            return a.tolist()
        if kind == 1:
            return a.astype(rng.choice(["f4", "i8", ">f8", "c16", "O", "?"]))
        if kind == 2:
            return np.repeat(a, 2, axis=0)[::2]
        if kind == 3:
            return a[::-1]
        if kind == 4:
            return a.reshape(a.shape + (1,))
        if kind == 5:
            b = a.copy(); b.setflags(write=False); return b
        if kind == 6:
            return a.view(Sub)
        if kind == 7:
            return np.asfortranarray(a)
        if kind == 8:
            buf = np.frombuffer(bytearray(a.nbytes + 1), dtype=np.uint8)
            b = buf[1:].view(np.float64).reshape(a.shape); b[...] = a; return b
        if kind == 9:
            return rng.choice([None, 1, 1.5, "y", b"y", (), np.float64(2.0), np.array(1.0)])
        if kind == 10 and ndim == 2:
            return a.T
        return a


    INTS = [0, 0, 0, 1, 1, 2, 3, 4, 5, 12, 20, 21, 365, 366, -1, 2**63, 2**64 - 1, 2**64,
            2**200, True, np.int64(2), np.uint64(3), 1.0, "1", None]


    def small():
        return rng.choice([0, 0, 0, 1, 1, 2])


    def order_value():
        r = rng.random()
        if r < 0.03:  # large but within the limits
            return (rng.randrange(21), rng.randrange(4), rng.randrange(21))
        if r < 0.85:
            return (small(), rng.choice([0, 0, 1, 2]), small())
        if r < 0.95:
            return tuple(rng.choice(INTS) for _ in range(rng.choice([3, 3, 2, 4, 0])))
        return rng.choice([[1, 0, 0], None, "100", 3, (1, 0, 0)[::-1], np.array([1, 0, 0])])


    def seasonal_value():
        r = rng.random()
        if r < 0.02:  # large but within the limits
            return (rng.randrange(5), rng.randrange(2), rng.randrange(5), rng.randrange(2, 53))
        if r < 0.6:
            return (0, 0, 0, rng.choice([0, 1]))
        if r < 0.9:
            return (rng.choice([0, 1]), rng.choice([0, 0, 1, 2]), rng.choice([0, 1]),
                    rng.choice([2, 4, 7, 12]))
        if r < 0.97:
            return tuple(rng.choice(INTS) for _ in range(rng.choice([4, 4, 3, 5])))
        return rng.choice([[0, 0, 0, 0], None, "0000"])


    def n_params(order, seasonal, n_exog, trend, concentrate):
        try:
            p, _, q = (int(v) for v in order)
            P, _, Q, _ = (int(v) for v in seasonal)
            if min(p, q, P, Q) < 0 or max(p, q, P, Q) > 50:
                return None
            return K_TREND.get(trend, 0) + n_exog + p + q + P + Q + (0 if concentrate else 1)
        except Exception:
            return None


    def flag():
        if rng.random() < 0.05:
            return rng.choice([1, 0, None, "no", np.array(True)])
        return rng.choice([True, False, np.True_, np.False_])


    def call(i):
        n = rng.choice([0, 1, 2, 3, 5, 12, 30, 60, 60, 60])
        y = series(n)
        order, seasonal = order_value(), seasonal_value()
        kwargs = {"concentrate_scale": flag(), "enforce_stationarity": flag(),
                  "enforce_invertibility": flag(), "simple_differencing": flag()}
        for key in list(kwargs):
            if rng.random() < 0.4:
                del kwargs[key]
        kwargs["trend"] = rng.choice([None, None, "n", "c", "t", "ct", "tc"])
        if rng.random() < 0.05:
            kwargs["trend"] = rng.choice(["CT", "", "\ud800", "c\x00", 1, b"c"])
        n_exog = 0
        if rng.random() < 0.3:
            n_exog = rng.choice([0, 1, 1, 2, 3, 101])
            rows = n if rng.random() < 0.8 else rng.choice([0, n + 1, max(n - 1, 0)])
            x = nrng.standard_normal((rows, n_exog))
            if rows and n_exog and rng.random() < 0.2:
                x[rng.randrange(rows), rng.randrange(n_exog)] = np.nan
            kwargs["exog"] = mangle(x, 2) if rng.random() < 0.2 else x
        concentrate = isinstance(kwargs.get("concentrate_scale"), (bool, np.bool_)) and bool(
            kwargs["concentrate_scale"])
        length = n_params(order, seasonal, n_exog, kwargs["trend"], concentrate)
        if length is None or rng.random() < 0.1:
            length = rng.randrange(0, 12)
        params = nrng.uniform(-0.9, 0.9, length)
        if length and not concentrate:
            params[-1] = rng.choice([1.0, 0.5, 2.0, 1.0, 1e300])
            if rng.random() < 0.05:
                params[-1] = rng.choice([-1.0, 0.0, np.nan])
        if length and rng.random() < 0.1:
            params[rng.randrange(length)] = rng.choice([np.nan, np.inf, 5.0, -5.0])
        if rng.random() < 0.1:
            y = mangle(y, 1)
        if rng.random() < 0.1:
            params = mangle(params, 1)
        args = [y, order, seasonal, params]
        if rng.random() < 0.05:
            args = args[: rng.randrange(5)]
        if rng.random() < 0.03:
            kwargs["bogus"] = 1
        try:
            value = peltaro.sarimax_loglike(*args, **kwargs)
        except DOCUMENTED:
            return
        except BaseException as exc:
            print(f"case {i}: {type(exc).__module__}.{type(exc).__qualname__}: {exc}")
            sys.exit(1)
        if type(value) is not float:
            print(f"case {i}: returned {type(value)!r}")
            sys.exit(1)


    for i in range(COUNT):
        call(i)
    print("done", COUNT)
    """
)


@pytest.mark.parametrize("seed", range(4))
def test_random_arguments_never_crash(seed):
    count = 3000
    result = subprocess.run(
        [sys.executable, "-c", FUZZ_SCRIPT, str(seed), str(count)],
        capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, (
        f"seed {seed}: exit {result.returncode}\n{result.stdout[-2000:]}\n{result.stderr[-2000:]}"
    )
    assert result.stdout.strip().endswith(f"done {count}")


MEMORY_SCRIPT = textwrap.dedent(
    r"""
    import resource

    import numpy as np

    import peltaro

    y = np.zeros(40_000_000)  # 320 MB; the call needs copies of it
    with open("/proc/self/statm") as fh:
        used = int(fh.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, resource.RLIM_INFINITY))
    try:
        peltaro.sarimax_loglike(y, (1, 0, 0), (0, 0, 0, 0), np.array([0.5, 1.0]))
    except MemoryError:
        print("MemoryError")
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer ends the process when memory runs out")
def test_running_out_of_memory_raises_memory_error():
    result = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "MemoryError"
