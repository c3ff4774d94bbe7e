"""Thousands of calls, successful and failing, leave memory and reference counts flat.

Inputs have 8192 columns, so every per-column vector (sums, means, results) is
64 KiB: leaking one of them per call grows the process by ~125 MiB over 2000
calls, far beyond the tolerance. Small Python allocations are counted too, so
that a leaked exception, tuple or array header shows as well.
"""

import gc
import os
import sys
import weakref

import numpy as np
import pytest

from brenix_kernels import _core

# Under ASan freed memory sits in a quarantine and pymalloc is bypassed: the
# calls still run, for the sanitizer's sake, but only reference counts are checked.
UNDER_SANITIZER = os.environ.get("BRENIX_UNDER_SANITIZER") == "1"
CALLS = 400 if UNDER_SANITIZER else 2000
WARMUP = 50
RSS_TOLERANCE = 16 << 20
BLOCKS_TOLERANCE = 200  # a leak of one small object per call adds CALLS blocks

COLS = 8192
rng = np.random.default_rng(7)
DENSE = rng.random((8, COLS)) * 4
DENSE32 = DENSE.astype(np.float32)
DENSE_F = np.asfortranarray(DENSE)
DENSE_INT = rng.integers(0, 9, size=(8, COLS))
INDICES = np.tile(np.arange(COLS, dtype=np.int64), 2)  # every column touched
DATA = rng.random(INDICES.size) + 0.5
DATA32 = DATA.astype(np.float32)
BAD_LAST = INDICES.copy()
BAD_LAST[-1] = COLS  # found after every column's sums have been written
BAD_NEGATIVE = INDICES.copy()
BAD_NEGATIVE[-1] = -3
SHORT = INDICES[:-5].copy()
NO_COLUMNS = np.zeros((64, 0))
NO_COLUMNS_INT = np.zeros((64, 0), dtype=np.int32)
# Two sparse chunks, the second one bad: the first chunk's record must be freed.
BIG_INDICES = np.tile(np.arange(COLS, dtype=np.int64), 1_000_000 // COLS + 10)
BIG_INDICES[-1] = -1
BIG_DATA = np.ones(BIG_INDICES.size)


class Source:
    """Not an array; `astype` hands back what `make` makes, counting the arrays still alive."""

    live = 0

    def __init__(self, make):
        self.make = make

    def astype(self, dtype):
        result = self.make()
        if isinstance(result, np.ndarray):
            Source.live += 1
            weakref.finalize(result, Source.forget)
        return result

    @staticmethod
    def forget():
        Source.live -= 1


def raising_astype():
    raise ValueError("cannot convert")


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


FROM_INTS = Source(lambda: DENSE_INT.astype("float64"))
WRONG_NDIM = Source(lambda: np.zeros((4, 4, 4)))
RAISES = Source(raising_astype)
GIVES_LIST = Source(lambda: [[1.0]])

s, ss, h, hs = _core.scale, _core.scale_sparse_data, _core.hvg_seurat_stats, _core.hvg_seurat_stats_sparse
CASES = {
    # successes, every path of every function
    "scale": (lambda: s(DENSE), None),
    "scale-f32-mean-std": (lambda: s(DENSE32, max_value=1.0, return_mean_std=True), None),
    "scale-astype-copy": (lambda: s(FROM_INTS, return_mean_std=True), None),
    "hvg-fortran-copy": (lambda: h(DENSE_F, log_base=2.0), None),
    "hvg-f32": (lambda: h(DENSE32), None),
    "hvg-int": (lambda: h(DENSE_INT), None),
    "hvg-sparse": (lambda: hs(INDICES, DATA, 100, COLS), None),
    "hvg-sparse-f32": (lambda: hs(INDICES, DATA32, 100, COLS, square_f64=True), None),
    "scale-sparse": (lambda: ss(INDICES, DATA, 100, COLS, max_value=2.0), None),
    "scale-sparse-f32": (lambda: ss(INDICES, DATA32, 100, COLS), None),
    "scale-sparse-promote": (lambda: ss(INDICES, DATA32, 100, COLS, promote=True), None),
    # binding and scalar conversion errors
    "missing": (lambda: ss(INDICES, DATA), "TypeError"),
    "too-many": (lambda: s(DENSE, True), "TypeError"),
    "unexpected-keyword": (lambda: h(DENSE, base=2), "TypeError"),
    "multiple-values": (lambda: hs(INDICES, DATA, 1, 2, indices=INDICES), "TypeError"),
    "flag": (lambda: ss(INDICES, DATA, 100, COLS, promote=None), "TypeError"),
    "double": (lambda: h(DENSE, log_base="2"), "TypeError"),
    "double-raises": (lambda: s(DENSE, max_value=BadFloat()), "ValueError"),
    "negative-size": (lambda: hs(INDICES, DATA, -1, COLS), "OverflowError"),
    "float-size": (lambda: ss(INDICES, DATA, 100, float(COLS)), "TypeError"),
    # intake errors
    "indices-int32": (lambda: hs(INDICES.astype(np.int32), DATA, 100, COLS), "TypeError"),
    "data-int": (lambda: ss(INDICES, INDICES, 100, COLS), "TypeError"),
    "data-noncontiguous": (lambda: ss(INDICES[:COLS], DATA[::2], 100, COLS), "TypeError"),
    "dense-1d": (lambda: s(DATA), "TypeError"),
    "astype-missing": (lambda: h(DENSE.tolist()), "AttributeError"),
    "astype-raises": (lambda: s(RAISES), "ValueError"),
    "astype-wrong-ndim": (lambda: h(WRONG_NDIM), "TypeError"),
    "astype-list": (lambda: s(GIVES_LIST), "TypeError"),
    # failures inside the kernels
    "bad-column": (lambda: hs(BAD_LAST, DATA, 100, COLS), "PanicException"),
    "negative-column-f32": (lambda: hs(BAD_NEGATIVE, DATA32, 100, COLS), "PanicException"),
    "bad-column-scale": (lambda: ss(BAD_LAST, DATA32, 100, COLS, promote=True), "PanicException"),
    "short-indices": (lambda: ss(SHORT, DATA, 100, COLS), "PanicException"),
    "no-columns": (lambda: s(NO_COLUMNS), "PanicException"),
    "no-columns-astype": (lambda: h(NO_COLUMNS_INT), "PanicException"),
    "capacity-overflow": (lambda: hs(INDICES, DATA, 100, 2**60), "PanicException"),
    "out-of-memory": (lambda: ss(INDICES, DATA, 100, 2**50), "MemoryError"),
    "out-of-memory-empty": (lambda: hs(INDICES[:0], DATA[:0], 100, 2**50), "MemoryError"),
    # a million entries per call: fewer calls, still ~37 MiB if a chunk's sums leaked
    "big-second-chunk-bad": (lambda: ss(BIG_INDICES, BIG_DATA, 10, COLS), "PanicException"),
}


def call(run, expected):
    try:
        run()
    except BaseException as error:  # PanicException derives from BaseException
        if type(error).__name__ != expected:
            raise
        return
    assert expected is None, f"expected {expected}"


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def watched_objects():
    owner_type = type(_core.scale(DENSE[:2, :2]).base)
    try:
        _core.scale(NO_COLUMNS)
    except BaseException as error:
        panic_type = type(error)
    descriptors = [np.dtype(t) for t in ("float64", "float32", "int64", "int32")]
    inputs = [DENSE, DENSE32, DENSE_F, DENSE_INT, INDICES, DATA, DATA32, BAD_LAST, BAD_NEGATIVE, SHORT,
              NO_COLUMNS, NO_COLUMNS_INT, FROM_INTS, WRONG_NDIM, RAISES, GIVES_LIST, BIG_INDICES, BIG_DATA]
    return [owner_type, panic_type, *descriptors, *inputs]


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leave_nothing_behind(name):
    run, expected = CASES[name]
    watched = watched_objects()
    for _ in range(WARMUP):
        call(run, expected)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched]
    rss, blocks = resident_bytes(), sys.getallocatedblocks()
    for _ in range(CALLS // 7 if name.startswith("big") else CALLS):
        call(run, expected)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert [(repr(obj)[:60], b, a) for obj, b, a in zip(watched, refs, after) if a != b] == []
    assert Source.live == 0
    if not UNDER_SANITIZER:
        assert resident_bytes() - rss < RSS_TOLERANCE
        assert sys.getallocatedblocks() - blocks < BLOCKS_TOLERANCE
