"""Hostile inputs: every call returns what the documentation says or raises what it says.

The generated cases (the `property_*` functions below) run in a child pytest
process, so that a crash of the interpreter is reported as a failure, together
with the last case tried, instead of killing the test run. The same goes for
the exhaustion cases: allocations that cannot be satisfied.
"""

import json
import math
import operator
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from brenix_kernels import _core
from conftest import run_in_subprocess

MISSING = object()
CANNOT_CONVERT = "'{}' object cannot be converted to '{}'"
SETTINGS = dict(deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def outcome(call, note=True):
    """('ok', result) or (exception class name, message); PanicException is checked here."""
    try:
        result = "ok", call()
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            assert not isinstance(error, Exception) and len(error.args) == 1
        result = type(error).__name__, str(error)
    if note:  # the spread of outcomes shows in --hypothesis-show-statistics
        event(result[0] if result[0] != "PanicException" else result[1][:25])
    return result


def scalar_error(kind, name, value):
    """The relabelled TypeError, or another exception unchanged, that converting `value` gives."""
    if value is MISSING or (kind == "double" and value is None):
        return None
    if kind == "flag":
        if value is True or value is False or type(value) is np.bool_:
            return None
        return "TypeError", f"argument '{name}': " + CANNOT_CONVERT.format(type(value).__qualname__, "PyBool")
    try:  # the interpreter's own conversions
        number = math.copysign(value, 1.0) if kind == "double" else operator.index(value)
    except TypeError as error:
        return "TypeError", f"argument '{name}': {error}"
    except BaseException as error:
        return type(error).__name__, str(error)
    if kind == "size" and not 0 <= number < 2**64:
        return "OverflowError", None  # the interpreter's message, without the name
    return None


def accepted(obj, kinds, ndim):
    return (isinstance(obj, np.ndarray) and obj.ndim == ndim and obj.dtype.isnative
            and (obj.dtype.kind, obj.dtype.itemsize) in kinds)


FLOATS = {("f", 8), ("f", 4)}


def dense_intake(x):
    """(array the kernels see, None) or (None, expected error)."""
    if accepted(x, FLOATS, 2):
        return x, None
    try:
        converted = x.astype("float64")
    except BaseException as error:
        return None, (type(error).__name__, str(error))
    if accepted(converted, {("f", 8)}, 2):
        return converted, None
    return None, ("TypeError", CANNOT_CONVERT.format(type(converted).__qualname__, "PyArray<T, D>"))


def sparse_intake_error(indices, data):
    contiguous = lambda a: a.flags.c_contiguous or a.flags.f_contiguous
    if not accepted(indices, {("i", 8)}, 1):
        return "TypeError", CANNOT_CONVERT.format(type(indices).__qualname__, "PyArray<T, D>")
    if not contiguous(indices):
        return "TypeError", "The given array is not contiguous"
    if not accepted(data, FLOATS, 1):
        return "TypeError", "sparse data must be float32 or float64"
    if not contiguous(data):
        return "TypeError", "The given array is not contiguous"
    return None


def kernel_error(indices, n_data, n_cols):
    """Failure of the sparse column pass: accumulators first, then the first bad entry."""
    if n_cols >= 2**60:
        return "PanicException", "capacity overflow"
    if n_cols >= 2**40:
        return "MemoryError", ""
    columns = np.asarray(indices)[:n_data].view(np.uint64)  # negatives are huge columns
    bad = np.flatnonzero(columns >= np.uint64(n_cols))
    if bad.size:
        length, index = n_cols, int(columns[bad[0]])
    elif len(indices) < n_data:
        length, index = len(indices), len(indices)
    else:
        return None
    return "PanicException", f"index out of bounds: the len is {length} but the index is {index}"


def check_failure(got, expected):
    assert got[0] == expected[0] and expected[1] in (None, got[1]), (got, expected)


def check_results(got, canonical, shapes):
    """Same outcome as on plain row-major copies, bit for bit, in fresh arrays."""
    assert got[0] == canonical[0], (got, canonical)
    if got[0] != "ok":
        assert got[1] == canonical[1]
        return
    a, b = got[1], canonical[1]
    a, b = (a, b) if isinstance(a, tuple) else ((a,), (b,))
    assert [r.shape for r in a] == shapes
    for r, s in zip(a, b):
        assert type(r) is np.ndarray and type(r.base).__name__ == "PySliceContainer"
        assert r.dtype == s.dtype and r.tobytes() == s.tobytes()


DTYPES = ["<f8", ">f8", "<f4", ">f4", "<f2", "<i8", ">i4", "u1", "?", "<c16", "O", "U3", "M8[s]", "<f16"]


@st.composite
def hostile_arrays(draw, dtypes, min_dims=0, max_dims=3):
    dtype = np.dtype(draw(st.sampled_from(dtypes)))
    shape = draw(hnp.array_shapes(min_dims=min_dims, max_dims=max_dims, min_side=0, max_side=5))
    if dtype.kind == "O":
        a = draw(hnp.arrays(dtype, shape, elements=st.one_of(st.floats(), st.integers(-9, 9), st.none(), st.text(max_size=1))))
    elif dtype.kind == "U":
        a = draw(hnp.arrays(dtype, shape, elements=st.sampled_from(["1", "-2", "1e3", "nan", "x", ""])))
    elif dtype.kind in "iu":  # small, so that column indices are often in range
        a = draw(hnp.arrays(dtype, shape, elements=st.integers(-3 * (dtype.kind == "i"), 12)))
    else:
        a = draw(hnp.arrays(dtype, shape))
    layout = draw(st.sampled_from(["c", "fortran", "reversed", "stepped", "field", "broadcast",
                                   "overlap", "misaligned"]))
    if layout == "fortran":
        a = np.asfortranarray(a)
    elif layout == "reversed" and a.ndim:
        a = a[::-1, ...][..., ::-1]
    elif layout == "stepped":  # every other element of a bigger buffer
        big = np.zeros(tuple(2 * n + 1 for n in a.shape), dtype)
        view = big[(..., *(slice(1, None, 2) for _ in a.shape))]
        view[...] = a
        a = view
    elif layout == "field" and dtype.kind != "O":  # strides not a multiple of the item size
        holder = np.zeros(a.shape, dtype=[("pad", "u1"), ("v", dtype)])
        holder["v"] = a
        a = holder["v"]
    elif layout == "broadcast" and a.ndim and a.shape[0]:  # zero stride: the first row repeated
        a = np.broadcast_to(a[:1], a.shape)
    elif layout == "overlap" and a.ndim == 2 and dtype.kind != "O":  # rows overlapping in memory
        flat = np.resize(a, a.shape[0] + a.shape[1] - 1) if a.size else np.zeros(0, dtype)
        a = np.lib.stride_tricks.as_strided(flat, a.shape, (dtype.itemsize, dtype.itemsize), writeable=False)
    elif layout == "misaligned" and a.ndim == 1 and dtype.kind != "O":  # contiguous, not aligned
        raw = np.zeros(a.nbytes + 1, np.uint8)
        raw[1:] = np.frombuffer(a.tobytes(), np.uint8)
        a = np.frombuffer(raw, dtype, offset=1)
    wrapper = draw(st.sampled_from(["plain", "readonly", "masked", "matrix", "subclass"]))
    if wrapper == "readonly":
        a = a.view()
        a.flags.writeable = False
    elif wrapper == "masked":
        a = np.ma.masked_array(a, mask=draw(hnp.arrays(bool, a.shape)))
    elif wrapper == "matrix" and a.ndim <= 2:
        a = np.asmatrix(a)
    elif wrapper == "subclass":
        a = a.view(type("Sub", (np.ndarray,), {}))
    return a


class Source:
    """Not an array; its `astype` raises or returns something odd."""

    def __init__(self, name, convert):
        self.name, self.convert = name, convert

    def astype(self, dtype):
        return self.convert()

    def __repr__(self):
        return f"Source({self.name})"


def _raise(error):
    raise error


SOURCES = [Source(name, convert) for name, convert in {
    "raises ValueError": lambda: _raise(ValueError("no")),
    "raises KeyboardInterrupt": lambda: _raise(KeyboardInterrupt()),
    "None": lambda: None, "list": lambda: [[1.0, 2.0]], "3-D": lambda: np.ones((2, 2, 2)),
    "float32": lambda: np.ones((2, 3), np.float32), "big-endian": lambda: np.ones((2, 3), ">f8"),
    "matrix": lambda: np.asmatrix(np.arange(6.0).reshape(2, 3)),
    "transposed": lambda: np.arange(12.0).reshape(3, 4).T,
    "calls back in": lambda: _core.scale(np.arange(6.0).reshape(3, 2)),
}.items()]
NOT_CALLABLE = type("NotCallable", (), {"astype": 5})()
ODD = st.sampled_from([None, 0, 1, -1, 2**64, -(2**70), 1.5, float("nan"), "2", b"1", [], 1 + 2j,
                       np.bool_(False), np.int64(7), np.uint64(2**64 - 1), np.float32(2.5), np.array(3.0),
                       np.array([1.0, 2.0]), NOT_CALLABLE, object()])
FLAG = st.one_of(st.just(MISSING), st.booleans(), st.just(np.bool_(True)))
DOUBLE = st.one_of(st.just(MISSING), st.none(), st.floats(), st.integers(-5, 5), st.just(np.float32(0.5)))
SIZE = st.one_of(st.integers(0, 64), st.sampled_from([np.int64(9), True, 2**50, 2**60, 2**64 - 1]))
# Each example is hostile in one respect: the layout of valid arrays (always),
# the scalar arguments, or the kind of object passed as an array.
MODES = st.sampled_from(["layouts", "scalars", "objects"])
ODD_OBJECTS = SOURCES + [NOT_CALLABLE, None, 3, "x", [[1.0]], [0, 1], np.array(1)]


def pick(data, valid, odd):
    return data.draw(st.one_of(valid, ODD) if odd else valid)


def traced(case):
    """Leaves the case about to run where the parent can read it if the child dies."""
    path = os.environ.get("BRENIX_HOSTILE_TRACE")
    if path:
        Path(path).write_text(repr(case)[:4000])


@settings(max_examples=400, **SETTINGS)
@given(data=st.data(), mode=MODES, use_scale=st.booleans())
def property_dense_calls(data, mode, use_scale):
    odd = mode == "scalars"
    if use_scale:
        fn, options = _core.scale, {"zero_center": pick(data, FLAG, odd), "max_value": pick(data, DOUBLE, odd),
                                    "return_mean_std": pick(data, FLAG, odd)}
    else:
        fn, options = _core.hvg_seurat_stats, {"log_base": pick(data, DOUBLE, odd)}
    options = {k: v for k, v in options.items() if v is not MISSING}
    x = data.draw(st.one_of(hostile_arrays(DTYPES), st.sampled_from(ODD_OBJECTS)) if mode == "objects"
                  else hostile_arrays(["<f8", "<f4", "<i8", ">f4"], 2, 2))
    traced((fn.__name__, x, options))
    before = x.tobytes() if isinstance(x, np.ndarray) and x.dtype.kind != "O" else None
    got = outcome(lambda: fn(x, **options))
    if before is not None:
        assert x.tobytes() == before  # inputs are never written
    expected = next(filter(None, (scalar_error("double" if k in ("max_value", "log_base") else "flag", k, v)
                                  for k, v in options.items())), None)
    if expected is None:
        seen, expected = dense_intake(x)
    if expected is not None:
        return check_failure(got, expected)
    canonical = np.array(seen, order="C", copy=True)  # plain ndarray, row-major, aligned
    rows, cols = seen.shape
    shapes = ([(rows, cols)] + [(cols,)] * 2 * bool(options.get("return_mean_std", False))
              if use_scale else [(cols,), (cols,)])
    check_results(got, outcome(lambda: fn(canonical, **options), note=False), shapes)


INDEX_DTYPES = ["<i8", "<i8", "<i8", ">i8", "<i4", "<u8"]
DATA_DTYPES = ["<f8", "<f8", "<f4", "<f4", ">f8", "<f2", "<i8"]


@settings(max_examples=400, **SETTINGS)
@given(data=st.data(), mode=MODES, use_scale=st.booleans())
def property_sparse_calls(data, mode, use_scale):
    odd = mode == "scalars"
    fn = _core.scale_sparse_data if use_scale else _core.hvg_seurat_stats_sparse
    names = ("max_value", "promote") if use_scale else ("log_base", "square_f64")
    n_rows, n_cols = pick(data, SIZE, odd), pick(data, SIZE, odd)
    number, flag = pick(data, DOUBLE, odd), pick(data, FLAG, odd)
    options = {k: v for k, v in zip(names, (number, flag)) if v is not MISSING}
    if mode == "objects":
        indices = data.draw(st.one_of(hostile_arrays(INDEX_DTYPES, 0, 2), st.sampled_from(ODD_OBJECTS)))
        values = data.draw(st.one_of(hostile_arrays(DATA_DTYPES, 0, 2), st.sampled_from(ODD_OBJECTS)))
    else:
        indices, values = data.draw(hostile_arrays(["<i8"], 1, 1)), data.draw(hostile_arrays(["<f8", "<f4"], 1, 1))
    traced((fn.__name__, indices, values, n_rows, n_cols, options))
    got = outcome(lambda: fn(indices, values, n_rows, n_cols, **options))
    expected = (scalar_error("size", "n_rows", n_rows) or scalar_error("size", "n_cols", n_cols)
                or scalar_error("double", names[0], number) or scalar_error("flag", names[1], flag)
                or sparse_intake_error(indices, values))
    if expected is None:
        expected = kernel_error(indices, len(values), operator.index(n_cols))
    if expected is not None:
        return check_failure(got, expected)
    plain = [np.array(indices, copy=True), np.array(values, copy=True)]
    cols = (operator.index(n_cols),)
    shapes = [(len(values),), cols, cols] if use_scale else [cols, cols]
    check_results(got, outcome(lambda: fn(*plain, n_rows, n_cols, **options), note=False), shapes)


# Three sparse chunks; bad entries may sit anywhere, several at once.
BIG = 2_200_000
BIG_INDICES = np.arange(BIG, dtype=np.int64) % 50
BIG_DATA = np.linspace(0.0, 3.0, BIG)


@settings(max_examples=60, **SETTINGS)
@given(bad=st.lists(st.tuples(st.integers(0, BIG - 1), st.sampled_from([50, 51, 2**62, -1, -(2**63)])),
                    max_size=3),
       short_by=st.sampled_from([0, 0, 1, 999_999]), f32=st.booleans(), use_scale=st.booleans())
def property_bad_columns_anywhere(bad, short_by, f32, use_scale):
    indices = BIG_INDICES.copy()
    for position, column in bad:
        indices[position] = column
    indices = indices[: BIG - short_by]
    data = BIG_DATA.astype(np.float32) if f32 else BIG_DATA
    fn = _core.scale_sparse_data if use_scale else _core.hvg_seurat_stats_sparse
    traced((fn.__name__, bad, short_by, f32))
    got = outcome(lambda: fn(indices, data, 100, 50))
    expected = kernel_error(indices, BIG, 50)
    if expected is None:
        assert got[0] == "ok"
    else:
        check_failure(got, expected)


PROPERTY_MINIMUM = {"property_dense_calls": 200, "property_sparse_calls": 200,
                    "property_bad_columns_anywhere": 30}


@pytest.mark.slow
def test_generated_cases_in_a_child_process(tmp_path):
    trace = tmp_path / "last-case.txt"
    command = [sys.executable, "-m", "pytest", __file__, "-q", "-p", "no:cacheprovider",
               "-o", "python_functions=property_*", "-W", "ignore", "--hypothesis-show-statistics"]
    env = dict(os.environ, BRENIX_HOSTILE_TRACE=str(trace))
    child = subprocess.run(command, env=env, capture_output=True, text=True, timeout=1800)
    report = child.stdout[-6000:] + child.stderr[-4000:]
    if child.returncode != 0:  # a failed property, a crash or a sanitizer report
        last = trace.read_text() if trace.exists() else "?"
        pytest.fail(f"child exited with status {child.returncode}; last case tried: {last}\n{report}")
    counts = {}
    for name, block in re.findall(r"::(property_\w+):\n(.*?)(?=\n\S|\Z)", child.stdout, re.S):
        counts[name] = sum(map(int, re.findall(r"(\d+) passing", block)))
    print("generated cases run:", counts)
    assert counts.keys() == PROPERTY_MINIMUM.keys(), child.stdout
    assert all(counts[name] >= minimum for name, minimum in PROPERTY_MINIMUM.items()), counts


EXHAUSTION = r"""
import json
import numpy as np
from brenix_kernels import _core as C
i0, d0 = np.empty(0, np.int64), np.empty(0)
two = np.array([0, 1]), np.ones(2, np.float32)
huge = lambda value, dtype=np.float64: np.broadcast_to(dtype(value), (2**24, 2**24))
cases = {
    "sparse, no entries, 2**50 columns": lambda: C.hvg_seurat_stats_sparse(i0, d0, 3, 2**50),
    "sparse, entries, 2**50 columns": lambda: C.scale_sparse_data(*two, 3, 2**50, promote=True),
    "sparse, entries, 2**59 columns": lambda: C.hvg_seurat_stats_sparse(*two, 3, 2**59),
    "sparse, no entries, 2**60 columns": lambda: C.scale_sparse_data(i0, d0, 3, 2**60),
    "sparse, entries, 2**64-1 columns": lambda: C.hvg_seurat_stats_sparse(*two, 3, 2**64 - 1),
    "dense broadcast 2**24 x 2**24": lambda: C.scale(huge(1.0)),
    "dense broadcast float32": lambda: C.hvg_seurat_stats(huge(1.0, np.float32)),
    "dense broadcast int, astype fails": lambda: C.hvg_seurat_stats(huge(1, np.int64)),
    "dense, no rows, 2**50 columns": lambda: C.scale(np.empty((0, 2**50))),
    "dense, no rows, 2**53 columns": lambda: C.hvg_seurat_stats(np.empty((0, 2**53))),
    "dense, no rows, 2**59 columns": lambda: C.scale(np.empty((0, 2**59), np.float32)),
}
x = np.arange(12.0).reshape(4, 3)
baseline = C.scale(x).tobytes()
out = {}
for name, call in cases.items():
    try:
        call()
        out[name] = "returned"
    except BaseException as error:
        out[name] = [type(error).__name__, str(error)]
    out[name + ", then"] = "works" if C.scale(x).tobytes() == baseline else "broken"
print(json.dumps(out))
"""


def test_exhaustion_raises_and_the_module_keeps_working():
    child = run_in_subprocess(EXHAUSTION)
    assert child.returncode == 0, child.stderr[-4000:]
    got = json.loads(child.stdout)
    # Below 2**60 columns the accumulators are merely too big; from there on
    # their byte size no longer fits in an address.
    expected = {name: "works" if name.endswith(", then")
                else ["PanicException", "capacity overflow"] if "2**6" in name
                else ["MemoryError", got[name][1] if "astype" in name else ""] for name in got}
    assert got == expected
