"""Helpers shared by the test modules."""

import os
import subprocess
import sys

import numpy as np
import pytest

INDEX_MSG = "index out of bounds: the len is {} but the index is {}"


# Under emulation everything runs many times slower; the runner there scales the children's time limits.
TIMEOUT_SCALE = float(os.environ.get("BRENIX_TEST_TIMEOUT_SCALE", "1"))


def run_py(code, env=None, timeout=120, cwd=None):
    """Run `code` in a fresh interpreter (`env` updates the environment; None removes a variable),
    in the directory `cwd` (None: this one)."""
    full = {k: v for k, v in {**os.environ, **(env or {})}.items() if v is not None}
    return subprocess.run([sys.executable, "-c", code], env=full, capture_output=True, text=True,
                          timeout=timeout * TIMEOUT_SCALE, cwd=cwd)


def assert_same(got, expected):
    """Bit for bit (any NaN matches any NaN; zeros must agree in sign), same dtype, shape and nesting."""
    if isinstance(expected, tuple):
        assert type(got) is tuple and len(got) == len(expected), type(got)
        return [assert_same(g, e) for g, e in zip(got, expected)]
    assert type(got) is np.ndarray and (got.dtype, got.shape) == (expected.dtype, expected.shape), (got, expected)
    bits = f"u{got.dtype.itemsize}"
    g, e = np.where(np.isnan(got), np.nan, got), np.where(np.isnan(expected), np.nan, expected)
    bad = np.flatnonzero(g.view(bits) != e.view(bits))
    assert bad.size == 0, f"{bad.size} differ, first at {bad[:4]}: {got.ravel()[bad[:4]]} != {expected.ravel()[bad[:4]]}"


# For child scripts: each worker's CPU time so far, in clock ticks, by its thread name.
WORKER_TICKS = r'''
import os

def worker_ticks():
    out = {}
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm, open(f"/proc/self/task/{task}/stat") as stat:
                name, fields = comm.read().strip(), stat.read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        if name.startswith("brenix-w"):
            out[name] = int(fields[11]) + int(fields[12])  # utime + stime, in clock ticks
    return out
'''


class Convertible:
    """Not an array, but has `astype` as array-likes of other libraries do: it raises `result`, calls it or returns it."""

    def __init__(self, result):
        self.result, self.last_call = result, None

    def astype(self, *args, **kwargs):
        self.last_call = args, kwargs
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result() if callable(self.result) else self.result


def panic(fn, *args, **kwargs):
    """The internal failure (PanicException, a BaseException only, with one argument) the call must raise."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    exc = info.value
    assert type(exc).__name__ == "PanicException" and not isinstance(exc, Exception) and len(exc.args) == 1, exc
    return exc


def paths():
    """The paths this process's kernels take (instruction-set variant, expm1 and expm1f), as the module reports them."""
    from brenix_kernels import _arrays

    return _arrays.paths()


variants_ran = set()  # the instruction-set variants the tests ran


def pytest_terminal_summary(terminalreporter):
    if variants_ran:
        terminalreporter.write_line(f"instruction-set variants run: {', '.join(sorted(variants_ran))}")


def pytest_report_header(config):
    """Which build the suite runs against: build variants put theirs first on PYTHONPATH."""
    import brenix_kernels._core

    return f"brenix_kernels._core: {brenix_kernels._core.__file__}"


def pytest_collection_modifyitems(config, items):
    # Under an emulator the large inputs alone would take longer than the rest of CI together; the
    # native builds run them, and the digests compare this build's bits with theirs.
    if os.environ.get("BRENIX_UNDER_EMULATION") != "1":
        return
    skip = pytest.mark.skip(reason="large inputs: run natively, not under an emulator")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)
