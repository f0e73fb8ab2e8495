"""Shared probes of the interpreter lock and of the pool size, for the tests."""

import json
import os
import signal
import subprocess
import sys
import threading
import time


def assert_lock_released(call):
    """Runs `call` on a thread while this thread keeps running Python code:
    holding the lock would leave no tick inside the call's window."""
    window = {}

    def worker():
        window["start"] = time.perf_counter()
        call()
        window["end"] = time.perf_counter()

    thread = threading.Thread(target=worker)
    ticks = []
    thread.start()
    while thread.is_alive():
        # One tick per millisecond of Python work: bounded memory however slow the call.
        now = time.perf_counter()
        ticks.append(now)
        while time.perf_counter() - now < 0.001:
            pass
    thread.join()
    duration = window["end"] - window["start"]
    assert duration > 0.05, "call too quick to observe the lock"
    margin = 0.2 * duration
    inside = [t for t in ticks if window["start"] + margin < t < window["end"] - margin]
    assert len(inside) >= 10


def run_with_pool_size(script, threads, *args):
    """The JSON printed by `script` in a fresh interpreter whose pool has
    `threads` threads."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def run_in_forked_child(work, timeout=120):
    """What `work()` returns (JSON-encodable) when run in a child made by
    os.fork(); a hang is ended by an alarm and fails like a crash."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            signal.alarm(timeout)
            os.write(write, json.dumps([os.getpid(), work()]).encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        text = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status), "the child hung or crashed"
    return json.loads(text)
