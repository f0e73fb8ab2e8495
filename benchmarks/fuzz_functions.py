"""Reliability fuzzer: every peltaro function against random and hostile arguments.

Call `index` of a function under `seed` is rebuilt from those three values
alone. Batches of calls run in child processes started with 'spawn'; a child
that dies (signal, abort) or stays silent for --timeout seconds is charged to
the call it was in, and the rest of its batch goes on in a new child.
Functions the installed module lacks are skipped. Not part of the test suite.

    python benchmarks/fuzz_functions.py --calls 10000 --jobs 8
    python benchmarks/fuzz_functions.py --replay sarimax_fit:1:4711   # one call, in-process
"""
import argparse
import collections
import ctypes
import faulthandler
import inspect
import math
import multiprocessing
import os
import random
import re
import resource
import signal
import sys
import tempfile
import time
import warnings
from concurrent.futures import ThreadPoolExecutor, as_completed

import numpy as np

import peltaro

FUNCTIONS = ["version", "sarimax_loglike", "sarimax_fit", "sarimax_forecast",
             "sarimax_rolling_forecast", "sarimax_residuals", "sarimax_batch_loglike",
             "sarimax_batch_fit", "sarimax_grid_search", "sarimax_batch_forecast",
             "sarimax_inference", "sarimax_diagnostics"]
FITTING = {"sarimax_fit", "sarimax_batch_fit", "sarimax_grid_search"}
SLOW = FITTING | {"sarimax_inference", "sarimax_rolling_forecast"}  # no period-365 models
FIT_METHODS = ["lbfgsb", "lbfgsb-multi", "lbfgsb-adaptive", "lbfgsb-hybrid", "lbfgsb-strict",
               "lbfgsb_single", "lbfgs", "bfgs", "trust-region", "profile-trust-region",
               "nelder-mead", "nm"]
K_TREND = {None: 0, "n": 0, "c": 1, "t": 1, "ct": 2, "tc": 2}
# Models near and past the documented limits, each with its longest series.
LARGE = [((20, 0, 0), (0, 0, 0, 0), 200), ((0, 0, 20), (0, 0, 0, 0), 200),
         ((20, 3, 20), (0, 0, 0, 0), 150), ((21, 0, 0), (0, 0, 0, 0), 60),
         ((0, 4, 0), (0, 0, 0, 0), 60), ((1, 0, 1), (4, 1, 4, 12), 300),
         ((1, 1, 1), (1, 1, 1, 365), 800), ((0, 0, 0), (0, 2, 0, 4), 60),
         ((0, 0, 0), (5, 0, 0, 4), 60), ((2, 1, 2), (1, 1, 1, 52), 300),
         ((1, 0, 0), (1, 0, 0, 1), 60), ((1, 0, 0), (1, 0, 0, 0), 60)]
NAN, INF = math.nan, math.inf
BAD_FLOATS = [NAN, INF, -INF, 1e308, -1e308, 5e-324, 0.0, -1.0, 1e-300, 1e300]
BAD_INTS = [-1, 0, 2**31, 2**32 + 1, 2**32 + 12, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100,
            -2**63 - 1, 10001, 10**9]
COLUMNS = ["TypeError", "ValueError", "OverflowError", "RuntimeError", "MemoryError", "Boom"]


class Boom(Exception):
    """Raised by the hostile arguments below: seeing it come back out is correct."""


EXPECTED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, Boom)


class Hostile:
    """Fails every protocol a conversion might try."""

    def _fail(self, *args):
        raise Boom("hostile object")

    __index__ = __int__ = __float__ = __len__ = __iter__ = __getitem__ = __bool__ = _fail
    __array__ = _fail

    def __repr__(self):
        return "Hostile()"


class LyingList(list):
    """A list whose __len__ claims three more items than it has."""

    def __len__(self):
        return super().__len__() + 3


def gen_of(items, fail=False):
    yield from items[:1] if fail else items
    if fail:
        raise Boom("generator")


def generic(r):
    return r.choice([None, True, False, 0, -1, 1.5, NAN, "", "x", b"c", 2**64, -2**63 - 1,
                     10**40, [], (), {}, object(), 1j, Hostile(), np.int64(-1), np.float32(1),
                     Ellipsis, print, np.array([]), {"a": 1}, bytearray(b"\x00")])


def misaligned(a):
    out = np.ndarray(a.shape, a.dtype, buffer=bytearray(a.nbytes + 1), offset=1)
    out[...] = a
    return out


def readonly(a):
    a = a.copy()
    a.setflags(write=False)
    return a


def warp(a, r):
    """One hostile variant of an array: dtype, rank, layout, flags or values."""
    a = np.array(a if isinstance(a, np.ndarray) else [1.0, 2.0, 3.0], dtype=np.float64)
    poisoned = a.copy()
    if a.size:
        poisoned.flat[r.randrange(a.size)] = r.choice(BAD_FLOATS)
    return r.choice([
        lambda: a.astype(r.choice([np.float32, np.float16, np.longdouble, np.int64, np.int8,
                                   np.uint64, complex, bool, object, ">f8", "U8", "M8[s]"])),
        lambda: np.array(r.choice([1.0, NAN])), lambda: a.reshape(-1),
        lambda: a.reshape(-1, 1), lambda: a.reshape(1, -1), lambda: a[None, ..., None],
        lambda: np.repeat(a, 2, axis=0)[::2], lambda: a[::-1], lambda: a.T,
        lambda: np.asfortranarray(a.reshape(-1, 1) if a.ndim == 1 else a),
        lambda: readonly(a), lambda: misaligned(a), lambda: a[:0], lambda: a[:-1],
        lambda: np.concatenate([a, a]), lambda: np.tile(a, (20,) + (1,) * (a.ndim - 1)),
        lambda: a.tolist(), lambda: tuple(a.tolist()), lambda: memoryview(a),
        lambda: np.broadcast_to(a[:1], a.shape), lambda: np.asmatrix(a),
        lambda: np.ma.masked_array(a, mask=a > 0), lambda: poisoned, lambda: readonly(poisoned),
        lambda: a * r.choice([1e300, 1e-300, -1e200]), lambda: np.zeros_like(a),
        lambda: np.full_like(a, r.choice(BAD_FLOATS)), lambda: a.tobytes(),
        lambda: [Hostile()] * max(len(a), 1), lambda: np.empty((0, 0)),
    ])()


def warp_list(items, r, fitting):
    """One hostile variant of a list argument."""
    return r.choice([
        lambda: "abc", lambda: dict(enumerate(items)), lambda: gen_of(items),
        lambda: gen_of(items, fail=True), lambda: tuple(items), lambda: [], lambda: items + [None],
        lambda: items + [1.0], lambda: items + ["x"], lambda: [items], lambda: LyingList(items),
        lambda: [x.tolist() if i % 2 and isinstance(x, np.ndarray) else x
                 for i, x in enumerate(items)],
        lambda: [warp(x, r) if isinstance(x, np.ndarray) else x for x in items],
        lambda: items[:1] * (3 if fitting else 200), lambda: np.array(items, dtype=object),
        lambda: (np.asfortranarray if r.random() < 0.5 else np.asarray)(np.array(items))
        if len({np.shape(x) for x in items}) == 1 else items,  # the rows of a 2-D array
        lambda: items + [Hostile()], lambda: set(range(len(items))), lambda: Hostile(),
    ])()


def bad_order(order, r):
    order = list(order)
    if r.random() < 0.15:
        return r.choice([order, tuple(order[:-1]), tuple(order + [0]), np.array(order), ()])
    order[r.randrange(len(order))] = r.choice(
        BAD_INTS + [20, 21, 3, 4, 2, 365, 366, 1000, True, 1.0, np.int64(2), np.uint8(3), "1",
                    None, Hostile()])
    return tuple(order)


def small_order(r):
    return (r.randint(0, 3), r.choice((0, 0, 1, 2)), r.randint(0, 2))


def small_seasonal(r):
    if r.random() < 0.65:
        return (0, 0, 0, r.choice((0, 0, 0, 1, 12)))
    return (r.randint(0, 1), r.choice((0, 0, 1)), r.randint(0, 1), r.choice((2, 4, 7, 12)))


class Model:
    """One model and its series lengths: the arguments drawn from it fit together."""

    def __init__(self, r, fname):
        self.r, self.rng, self.fname = r, np.random.default_rng(r.getrandbits(64)), fname
        fitting = fname in FITTING
        self.order, self.seasonal = small_order(r), small_seasonal(r)
        cap = 200 if fitting else 300
        self.n = r.choice((r.randint(0, 12), r.randint(0, cap), r.randint(cap // 2, cap),
                           r.randint(cap // 2, cap)))
        self.large = r.random() < 0.1
        if self.large:
            self.order, self.seasonal, most = r.choice(
                [m for m in LARGE if fname not in SLOW or m[1][3] < 365])
            self.n = r.randint(0, min(most, cap) if fitting else most)
        self.trend = r.choice(list(K_TREND))
        self.k_exog = r.choice((0, 0, 0, 1, 2, 3))
        self.conc = r.random() < 0.3
        self.steps = r.choice((0, 1, r.randint(1, 30)))
        self.grid = r.choice((0, 1, 1, 2, 3))  # extra models of a grid search
        count = r.choice((1, 2, r.randint(1, 4 if fitting else 8)))
        self.lengths = [self.n] * count if r.random() < 0.7 else [
            r.randint(0, self.n + 10) for _ in range(count)]

    def series(self, n):
        y = self.rng.standard_normal(n)
        y = np.cumsum(y) if self.order[1] or self.seasonal[1] else y
        roll = self.r.random()
        if roll < 0.05:
            return np.zeros(n)
        if roll < 0.12:
            return y * self.r.choice((1e-150, 1e-8, 1e8, 1e150)) + self.r.choice((0.0, 1e12))
        return y

    def params(self):
        r, rng = self.r, self.rng
        p, q, sp, sq = self.order[0], self.order[2], self.seasonal[0], self.seasonal[2]
        parts = [rng.normal(size=K_TREND[self.trend] + self.k_exog)]
        parts += [rng.uniform(-0.9, 0.9, m) / max(m, 1) for m in (p, q, sp, sq)]
        if not self.conc:
            parts.append([r.choice((1.0, rng.uniform(0.1, 3.0)))])
        x = np.concatenate(parts)
        roll = r.random()
        if roll < 0.08:
            x = x[:-1] if r.random() < 0.5 else np.append(x, 0.5)
        elif roll < 0.15 and x.size:
            x[r.randrange(x.size)] = r.choice(BAD_FLOATS + [1.5, -1.5, 1.0, -1.0])
        return x

    def exog(self, n):
        if not self.k_exog:
            return None
        x = self.rng.standard_normal((n, self.k_exog))
        if self.k_exog > 1 and self.r.random() < 0.15:
            x[:, 1] = x[:, 0]  # collinear columns
        return x

    def future_exog(self):
        return self.exog(self.steps + self.r.choice((0, 0, 3)))


# A value that fits the model, per argument name.
NATURAL = {
    "y": lambda m: m.series(m.n),
    "series_list": lambda m: [m.series(n) for n in m.lengths],
    "order": lambda m: m.order,
    "seasonal": lambda m: m.seasonal,
    "order_list": lambda m: [m.order] + [small_order(m.r) for _ in range(m.grid)],
    "seasonal_list": lambda m: [m.seasonal] + [small_seasonal(m.r) for _ in range(m.grid)],
    "params": lambda m: m.params(),
    "start_params": lambda m: m.params() if m.r.random() < 0.4 else None,
    "params_list": lambda m: [m.params() for _ in m.lengths],
    "exog": lambda m: m.exog(m.n),
    "exog_list": lambda m: [m.exog(n) for n in m.lengths] if m.k_exog else None,
    "future_exog": lambda m: m.future_exog(),
    "exog_forecast_list": lambda m: [m.future_exog() for _ in m.lengths] if m.k_exog else None,
    "concentrate_scale": lambda m: m.conc,
    "enforce_stationarity": lambda m: m.r.random() < 0.7,
    "enforce_invertibility": lambda m: m.r.random() < 0.7,
    "simple_differencing": lambda m: m.r.random() < 0.2 and "rolling" not in m.fname,
    "trend": lambda m: m.trend,
    "method": lambda m: m.r.choice(("hessian", "opg") if m.fname == "sarimax_inference"
                                   else FIT_METHODS + [None, None]),
    "maxiter": lambda m: m.r.randint(0, 10) if m.large else m.r.choice(
        (None, m.r.randint(0, 50), m.r.randint(0, 10))),
    "steps": lambda m: m.steps,
    "alpha": lambda m: m.r.choice((0.05, m.r.uniform(1e-6, 1 - 1e-6))),
    "start": lambda m: m.r.randint(1, max(1, m.n - 1)),
    "step": lambda m: m.r.randint(1, 5),
    "horizon": lambda m: m.r.randint(1, 12),
}
FLAGS = {"concentrate_scale", "enforce_stationarity", "enforce_invertibility",
         "simple_differencing"}


def hostile(key, value, m):
    """A hostile replacement for argument `key`."""
    r = m.r
    if r.random() < 0.15:
        return generic(r)
    if key in ("y", "params", "start_params", "exog", "future_exog"):
        if value is None:
            value = m.rng.standard_normal((m.n, r.randint(0, 101)) if "exog" in key else m.n)
        return warp(value, r)
    if key in ("order_list", "seasonal_list") and r.random() < 0.5:
        return [bad_order(value[0], r)] + value[1:]
    if key.endswith("_list"):
        return warp_list(value or [m.series(m.n)], r, m.fname in FITTING)
    if key in ("order", "seasonal"):
        return bad_order(value, r)
    if key in FLAGS:
        if r.random() < 0.6:
            return not value
        return r.choice([0, 1, None, "True", np.bool_(True), 2, Hostile(), 1.0])
    if key in ("trend", "method"):
        return r.choice(["", "x", "C", "ct ", "c\0", "cc", "\u0109", "\ud800", b"c", 1, ["c"],
                         [1, 0, 1], Hostile(), "n" * 100000, "OPG", "LBFGSB", "nm\0", "bogus",
                         np.str_("c"), "nelder-mead "])
    if key in ("maxiter", "steps", "horizon", "start", "step"):
        return r.choice(BAD_INTS + [10000, m.n, m.n - 1, m.n + 1, 1.0, "5", True, None,
                                    np.int32(5), Hostile()])
    if key == "alpha":
        return r.choice([NAN, 0, 1, 0.0, 1.0, -0.1, 1.1, INF, 5e-324, 1 - 1e-16, 1e-300, "0.05",
                         None, np.float32(0.05), 1j, Hostile(), True, np.float64(NAN)])
    return generic(r)


def make_case(name, seed, index):
    """The (args, kwargs) of call `index` of function `name` under `seed`."""
    r = random.Random(f"{seed}:{name}:{index}")
    m = Model(r, name)
    params = list(inspect.signature(getattr(peltaro, name)).parameters.values())
    # An argument this script does not know is left out, or passed as None.
    values = {p.name: NATURAL.get(p.name, lambda m: ...)(m) for p in params}
    for key in r.sample(list(values), min(len(values), r.choice((0, 0, 0, 0, 1, 1, 2, 3)))):
        values[key] = hostile(key, values[key], m)
    required = [p.name for p in params if p.default is inspect.Parameter.empty]
    everything = [None if values[p.name] is ... else values[p.name] for p in params]
    n_positional = r.choice((len(required), len(required), 0, len(params)))
    args, kwargs = everything[:n_positional], {}
    for p, value in zip(params[n_positional:], everything[n_positional:]):
        # Optional arguments at their default are left out now and then.
        if values[p.name] is not ... and (p.name in required or r.random() < 0.6 or not (
                type(value) is type(p.default) and value == p.default)):
            kwargs[p.name] = value
    roll = r.random()
    if roll < 0.02:
        kwargs[r.choice(["bogus", "Y", "orders", "exog_future", "\ud800"])] = 1
    elif roll < 0.04:
        args, kwargs = everything + [1], {}  # one positional argument too many
    elif roll < 0.05 and kwargs:
        kwargs.pop(r.choice(list(kwargs)))
    elif roll < 0.06 and args:
        kwargs[params[r.randrange(len(args))].name] = args[0]  # given twice
    return args, kwargs


def printable(text, limit=300):
    """`text` cut to `limit`, with lone surrogates and control characters escaped."""
    text = text[:limit].encode("utf-8", "backslashreplace").decode("utf-8")
    return re.sub(r"[\x00-\x08\x0b-\x1f]", lambda c: repr(c.group())[1:-1], text)


def run_case(name, seed, index):
    """Makes and runs one call: (name, index, kind, message, warnings, seconds, expected)."""
    try:
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            args, kwargs = make_case(name, seed, index)
    except Exception as e:  # a fault of this script, not of the module
        return name, index, "fuzzer error", repr(e), [], 0.0, False
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        try:
            result = getattr(peltaro, name)(*args, **kwargs)
            kind, message, expected = "ok", "", True
            errors = [d["error"] for d in result if isinstance(d, dict) and "error" in d] \
                if isinstance(result, list) else []
            if errors:  # batch items that carry an error instead of a result
                kind, message = "ok, item errors", printable(errors[0])
                expected = not any("panic" in text for text in errors)
        except BaseException as e:
            kind = type(e).__name__ if type(e).__module__ in ("builtins", __name__) else \
                f"{type(e).__module__}.{type(e).__qualname__}"
            message, expected = printable(str(e)), isinstance(e, EXPECTED)
        seconds = time.perf_counter() - start
    warned = [(w.category.__name__, printable(str(w.message), 200)) for w in caught]
    return name, index, kind, message, warned, seconds, expected


def worker(conn, seed, cases, memory_gib):
    if memory_gib:
        limit = int(memory_gib * 2**30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    # Native code has no business writing to stdout: it goes to a file, and
    # what a call wrote there is reported like a stray warning.
    sink, libc, offset = tempfile.TemporaryFile(), ctypes.CDLL(None), 0
    os.dup2(sink.fileno(), 1)
    for name, index in cases:
        conn.send(("start", name, index))
        result = run_case(name, seed, index)
        libc.fflush(None)
        end = os.lseek(1, 0, os.SEEK_END)
        if end > offset:
            text = os.pread(1, min(end - offset, 200), offset).decode("utf-8", "replace")
            result[4].append(("stdout", text.strip()))
            offset = end
        conn.send(("done", result))
    conn.send(("end",))


def exit_code(proc, timeout):
    """The exit code and its description, polled: a thread starting another
    process may reap this one first."""
    deadline = time.monotonic() + timeout
    while proc.exitcode is None and time.monotonic() < deadline:
        time.sleep(0.005)
    code = proc.exitcode
    return code, ("still running" if code is None else signal.Signals(-code).name
                  if code < 0 else f"exit status {code}")


def run_batch(cases, opts):
    """Runs `cases` in child processes: (results, [(kind, what, (name, index))])."""
    context = multiprocessing.get_context("spawn")
    results, problems, rest = [], [], list(cases)
    while rest:
        receiver, sender = context.Pipe(duplex=False)
        proc = context.Process(target=worker, args=(sender, opts.seed, rest, opts.memory))
        proc.start()
        sender.close()
        current, done, problem = None, 0, None
        while problem is None:
            if not receiver.poll(opts.timeout):
                proc.kill()
                problem = ("hang", f"no answer within {opts.timeout:g} s")
                continue
            try:
                message = receiver.recv()
            except EOFError:
                problem = ("crash", exit_code(proc, opts.timeout)[1])
                continue
            if message[0] == "start":
                current = message[1:]
            elif message[0] == "done":
                results.append(message[1])
                current, done = None, done + 1
            else:
                code, text = exit_code(proc, opts.timeout)
                if code != 0:
                    proc.kill()
                    problems.append(("crash" if code else "hang", f"{text} after its batch",
                                     rest[-1]))
                break
        receiver.close()
        proc.join()
        if problem is None:
            break
        kind, what = problem
        if current is None:
            what += ", between calls, before this one"
        problems.append((kind, what, current or rest[min(done, len(rest) - 1)]))
        rest = rest[done + 1:]
    return results, problems


def show(x, depth=0):
    """A repr of an argument that keeps what matters to a native call."""
    if depth > 3:
        return "..."
    if isinstance(x, np.ndarray):
        notes = [f"dtype={x.dtype.str!r}", f"shape={x.shape}", f"strides={x.strides}"]
        notes += [note for note, bad in (("read-only", not x.flags.writeable),
                                         ("misaligned", not x.flags.aligned)) if bad]
        return f"{type(x).__name__}({x.tolist()!r}, {', '.join(notes)})"
    if isinstance(x, (list, tuple)):
        inner = ", ".join(show(v, depth + 1) for v in x)
        return {list: f"[{inner}]", tuple: f"({inner}{',' if len(x) == 1 else ''})"}.get(
            type(x), f"{type(x).__name__}([{inner}])")
    if isinstance(x, dict):
        return "{" + ", ".join(f"{k!r}: {show(v, depth + 1)}" for k, v in x.items()) + "}"
    if inspect.isgenerator(x):
        inner = ", ".join(f"{k}={show(v, depth + 1)}" for k, v in x.gi_frame.f_locals.items())
        return f"{x.gi_code.co_name}({inner})"
    if isinstance(x, memoryview):
        return f"memoryview({show(np.asarray(x), depth + 1)})"
    if isinstance(x, (str, bytes)) and len(x) > 80:
        return f"{x[:20]!r}... ({len(x)} long)"
    return repr(x)


def reproducer(name, seed, index):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        args, kwargs = make_case(name, seed, index)
    text = ", ".join([show(a) for a in args] + [f"{k}={show(v)}" for k, v in kwargs.items()])
    return (f"    peltaro.{name}({text})\n"
            f"    replay: python {sys.argv[0]} --replay {name}:{seed}:{index}")


def report(results, problems, names, opts, seconds):
    rows = collections.defaultdict(collections.Counter)
    texts = collections.defaultdict(collections.Counter)
    odd_calls = []
    for name, index, kind, message, warned, _, expected in results:
        stray = [w for w in warned if w[0] != "UserWarning"]
        rows[name].update({"calls": 1, "item err": kind == "ok, item errors",
                           "unexpected": not expected, "stray": bool(stray),
                           "UserWarn": len(warned) > len(stray),
                           "ok" if kind.startswith("ok") else
                           kind if kind in COLUMNS else "other": 1})
        for what, text in [(kind, message)] + [
                (c if c == "stdout" else f"{c} (warning)", t) for c, t in warned]:
            first = text.splitlines()[0] if text else ""
            texts[name, what][re.sub(r"\d+(\.\d+)?([eE][-+]?\d+)?", "#", first)[:110]] += 1
        if not expected or stray:
            odd_calls.append(((name, index), f"{kind}: {message} {stray or ''}"))
    for kind, _, (name, _) in problems:
        rows[name][kind] += 1
    print(f"\npeltaro {peltaro.version()} ({peltaro.__file__})\nseed {opts.seed}, "
          f"{len(results)} calls answered, {opts.jobs} jobs, timeout {opts.timeout:g} s, "
          f"{seconds:.0f} s")
    missing = [f for f in FUNCTIONS if not hasattr(peltaro, f)]
    if missing:
        print(f"skipped, not in the installed module: {', '.join(missing)}")
    header = ["calls", "ok", "item err"] + COLUMNS + ["other", "unexpected", "UserWarn",
                                                      "stray", "crash", "hang"]
    print(f"\n{'function':<25}" + "".join(f"{h[:8]:>9}" for h in header))
    for name in names + ["total"]:
        row = sum(rows.values(), collections.Counter()) if name == "total" else rows[name]
        print(f"{name:<25}" + "".join(f"{row[h]:>9}" for h in header))
    print("\nmost common messages per function and outcome (digits shown as #):")
    for (name, kind), counter in sorted(texts.items(),
                                        key=lambda t: (names.index(t[0][0]), t[0][1])):
        if kind != "ok":
            for text, count in counter.most_common(2):
                print(f"  {name:<25}{count:>6}  {kind}: {text}")
    print("\nslowest calls:")
    for name, index, kind, *_, took, _ in sorted(results, key=lambda t: -t[5])[:5]:
        print(f"  {took:8.3f} s  {name}:{opts.seed}:{index}  ({kind})")
    for title, found in (("crashes and hangs", [(p[2], f"{p[0]}: {p[1]}") for p in problems]),
                         ("unexpected exceptions, item faults, stray warnings and output",
                          odd_calls)):
        print(f"\n{title}: {len(found)}")
        for (name, index), what in found[:opts.show]:
            print(f"  {name}:{opts.seed}:{index}  {what}\n{reproducer(name, opts.seed, index)}")
    return bool(problems or odd_calls)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds per call")
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--batch", type=int, default=40, help="calls per child process")
    parser.add_argument("--memory", type=float, default=4.0,
                        help="address-space limit of a child in GiB (0: none)")
    parser.add_argument("--only", nargs="+", metavar="FUNCTION", help="fuzz only these")
    parser.add_argument("--show", type=int, default=20, help="reproducers printed per list")
    parser.add_argument("--replay", metavar="NAME:SEED:INDEX", help="run one call in-process")
    opts = parser.parse_args()
    if opts.replay:
        faulthandler.enable()
        name, seed, index = opts.replay.split(":")
        print(reproducer(name, int(seed), int(index)), flush=True)
        print(run_case(name, int(seed), int(index)))
        return 0
    names = [f for f in FUNCTIONS if hasattr(peltaro, f) and f in (opts.only or FUNCTIONS)]
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    os.environ.setdefault("GFORTRAN_UNBUFFERED_PRECONNECTED", "y")  # stdout per call
    cases = [(names[i % len(names)], i) for i in range(opts.calls)]
    batches = [cases[i:i + opts.batch] for i in range(0, len(cases), opts.batch)]
    results, problems, start = [], [], time.perf_counter()
    with ThreadPoolExecutor(opts.jobs) as pool:
        futures = [pool.submit(run_batch, batch, opts) for batch in batches]
        for done, future in enumerate(as_completed(futures), 1):
            answered, found = future.result()
            results += answered
            problems += found
            if done % max(1, len(batches) // 10) == 0:
                print(f"  {done}/{len(batches)} batches, {time.perf_counter() - start:.0f} s",
                      file=sys.stderr, flush=True)
    return int(report(results, problems, names, opts, time.perf_counter() - start))


if __name__ == "__main__":
    sys.exit(main())
