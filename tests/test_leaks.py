"""Thousands of calls over every success and error path of _core, _arrays, _blocks and the public functions (dense,
CSR and CSC input, groups and masks) leave memory and reference counts flat; after memory exhaustion (a result or
per-column sums too large to allocate) the next call works."""

import gc
import os
import sys

import numpy as np
import pytest

import scipy.sparse as sp

import brenix_kernels as bk
from brenix_kernels import _arrays as A, _blocks as B
from brenix_kernels._core import hvg_seurat_stats as h, hvg_seurat_stats_sparse as hs, scale as s, scale_sparse_data as ss
from conftest import Convertible

# Under ASan freed memory sits in quarantine and pymalloc is bypassed: only reference counts are checked.
UNDER_SANITIZER = os.environ.get("BRENIX_UNDER_SANITIZER") == "1"
COLS = 1 << 14  # every per-column vector is 128 KiB: one leaked per call shows in the RSS
rng = np.random.default_rng(7)
DENSE = np.log1p(rng.integers(0, 5, (4, COLS)) * 1.5)
DENSE32, DENSE_F, DENSE_INT = DENSE.astype(np.float32), np.asfortranarray(DENSE), rng.integers(0, 9, (4, COLS))
INDICES = np.tile(np.arange(COLS), 2)  # every column touched
DATA = np.log1p(rng.integers(1, 5, INDICES.size) * 1.5)
DATA32, BAD, NEGATIVE = DATA.astype(np.float32), INDICES.copy(), INDICES.copy()
BAD[-1], NEGATIVE[-1] = COLS, -3  # found after every column's sums were written
BIG = np.tile(np.arange(COLS), 1_000_000 // COLS + 10)  # two chunks, the second one bad
BIG[-1] = -1
BIG_DATA, NO_COLUMNS = np.ones(BIG.size), np.zeros((64, 0))
FROM_INTS, WRONG_NDIM = Convertible(lambda: DENSE_INT.astype("float64")), Convertible(np.zeros((4, 4, 4)))
RAISES, GIVES_LIST = Convertible(lambda: int("x")), Convertible([[1.0]])
HUGE = np.broadcast_to(1.0, (2**24, 2**24))  # its result cannot be allocated
CSR = sp.csr_matrix(DENSE)
CSC, DUP, OUT = CSR.tocsc(), CSR.copy(), CSR.copy()  # DUP: a duplicate in row 0; OUT: a column past the last
DUP.indices[1], OUT.indices[0] = DUP.indices[0], COLS
CSR_, CSC_, DUP_ = [(M.format, M.indptr.astype(np.int64), M.indices, M.data, *M.shape) for M in (CSR, CSC, DUP)]
GROUPS, MASK, SUMS = np.array([0, 1, 0, -1]), np.array([True, False, True, True]), np.zeros(2 * COLS)
MEANS, MEANS2, CLIP2 = np.ones(COLS), np.ones(2 * COLS), np.ones(2)  # deviation sums: one set, or one per group


OUTCOMES = {  # every path of every function, by the exception it ends in
    None: ["s(DENSE)", "s(DENSE32, max_value=1.0, return_mean_std=True)", "s(FROM_INTS, return_mean_std=True)",
           "h(DENSE_F, log_base=2.0)", "h(DENSE32)", "h(DENSE_INT)", "hs(INDICES, DATA, 100, COLS)",
           "hs(INDICES, DATA32, 100, COLS, square_f64=True)", "ss(INDICES, DATA, 100, COLS, max_value=2.0)",
           "ss(INDICES, DATA32, 100, COLS)", "ss(INDICES, DATA32, 100, COLS, promote=True)"],
    "TypeError": ["ss(INDICES, DATA)", "h(DENSE, base=2)", "ss(INDICES, DATA, 9, COLS, promote=None)",
                  "h(DENSE, log_base='2')", "ss(INDICES, DATA, 100, float(COLS))", "s(DATA)", "h(WRONG_NDIM)",
                  "hs(INDICES.astype(np.int32), DATA, 100, COLS)", "ss(INDICES, INDICES, 9, COLS)", "s(GIVES_LIST)",
                  "ss(INDICES[:COLS], DATA[::2], 100, COLS)"],
    "ValueError": ["s(RAISES)"], "OverflowError": ["hs(INDICES, DATA, -1, COLS)", "s(DENSE, max_value=10**400)"],
    "AttributeError": ["h([[1.0, 2.0]])"],
    "MemoryError": ["ss(INDICES, DATA, 100, 2**50)", "hs(INDICES[:0], DATA[:0], 9, 2**50)", "s(HUGE)",
                    "h(HUGE.astype(np.float32))", "s(np.empty((0, 2**50)))", "h(np.empty((0, 2**53)))",
                    "ss(INDICES[:2], DATA32[:2], 3, 2**50, promote=True)"],
    "PanicException": ["hs(BAD, DATA, 100, COLS)", "hs(NEGATIVE, DATA32, 100, COLS)", "ss(BAD, DATA32, 9, COLS, promote=True)",
                       "ss(INDICES[:-5], DATA, 9, COLS)", "s(NO_COLUMNS)", "h(NO_COLUMNS.astype(np.int32))",
                       "hs(INDICES, DATA, 100, 2**60)", "ss(BIG, BIG_DATA, 10, COLS)", "ss(INDICES[:0], DATA[:0], 3, 2**60)",
                       "hs(INDICES[:2], DATA32[:2], 3, 2**64 - 1)"],
}
# The other modules' functions, and the public ones on every kind of input, with groups and masks.
OUTCOMES[None] += [
    "A.hvg_seurat_stats(DENSE, 2.0, GROUPS, 2)", "A.mean_var(DENSE32, True, None, 0)", "A.scale(DENSE, True, 1.0, MASK)",
    "A.hvg_seurat_stats_sparse(*CSR_, None, False, GROUPS, 2)", "A.mean_var_sparse(*CSC_, True, None, 0)",
    "A.scale_sparse_to_dense(*CSC_, None, MASK)", "A.scale_sparse(*CSR_, 2.0, True, MASK)",
    "B.dense_partial(DENSE, 0, expm1=True)", "B.sparse_partial(INDICES, DATA32, COLS, 0, square_f64=True)",
    "B.dense_group_partial(DENSE, GROUPS, np.zeros(2, np.int64), expm1=True)", "B.continue_dense(SUMS, DENSE)",
    "B.sparse_group_partial(*CSR_[1:4], COLS, GROUPS, np.zeros(2, np.int64), 0)", "B.fold(SUMS, SUMS)",
    "B.finish_hvg(SUMS, 9)", "B.finish_mean_var(SUMS, 9)",
    "A.deviation_sums(DENSE, MEANS, None, None, None, 0)", "A.deviation_sums_sparse(*CSC_, MEANS2, MEANS2, CLIP2, GROUPS, 2)",
    "B.dense_group_partial(DENSE, GROUPS, np.zeros(2, np.int64), mean=MEANS2, sd=MEANS2, clip=CLIP2)",
    "B.continue_sparse(SUMS, INDICES[:9], DATA[:9], mean=MEANS)",
    "bk.hvg_seurat_stats(DENSE, groups=GROUPS)", "bk.mean_var(DENSE32)", "bk.scale(DENSE32, mask=MASK, promote=True)",
    "bk.hvg_seurat_stats(CSR, groups=GROUPS)", "bk.mean_var(CSC, square_f64=True, groups=GROUPS)",
    "bk.scale(CSR, mask=MASK)", "bk.scale(CSC, zero_center=False, mask=MASK, return_mean_std=True)"]
OUTCOMES["ValueError"] += ["A.mean_var_sparse(*DUP_, False, GROUPS, 2)", "A.scale(DENSE, True, None, MASK[:2])",
                           "B.continue_dense(SUMS[1:], DENSE)", "bk.mean_var(DUP)", "bk.scale(CSC, mask=MASK[:2])",
                           "bk.hvg_seurat_stats(DENSE, groups=GROUPS[:3])",
                           "A.hvg_seurat_stats(DENSE, None, GROUPS.astype(np.int32), 2)",
                           "A.deviation_sums(DENSE, MEANS, MEANS, None, None, 0)", "B.dense_partial(DENSE, 0, mean=MEANS2)"]
OUTCOMES["TypeError"] += ["bk.mean_var(CSR.tocoo())",
                          "bk.scale(CSR, zero_center=False, mask=GROUPS)"]
OUTCOMES["PanicException"] += ["A.scale_sparse(*CSR_[:2], OUT.indices, *CSR_[3:], None, False, MASK)",
                               "B.sparse_partial(BAD, DATA, COLS, 0)", "bk.hvg_seurat_stats(OUT, groups=GROUPS)",
                               "bk.scale(OUT)"]


def call(code, expected):
    try:
        eval(code)
    except BaseException as error:  # internal failures (BaseException) included
        assert type(error).__name__ == expected, error
    else:
        assert expected is None


def memory():
    with open("/proc/self/statm") as statm:
        return np.array([int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"), sys.getallocatedblocks()])


# Thousands of calls, some over two chunks of a million entries: under an emulator this one test took six
# of the suite's eighteen minutes, to check code that every native build and the sanitizers check already.
@pytest.mark.slow
def test_thousands_of_calls_leave_nothing_behind():
    watched = [type(s(DENSE[:2, :2]).base), *map(np.dtype, ("f8", "f4", "i8", "i4")), DENSE, DENSE32, DENSE_F, DENSE_INT,
               INDICES, DATA, DATA32, BAD, NEGATIVE, BIG, BIG_DATA, NO_COLUMNS, FROM_INTS, WRONG_NDIM, RAISES, GIVES_LIST,
               CSR, CSC, DUP, OUT, *CSR_[1:4], *CSC_[1:4], *DUP_[1:4], GROUPS, MASK, SUMS, MEANS, MEANS2, CLIP2]
    leaks = []
    gc.freeze()  # the collections below scan what the calls made, not the rest of a large test process
    try:
        for expected, code in [(e, compile(c, c, "eval")) for e, calls in OUTCOMES.items() for c in calls]:
            for _ in range(50):  # first-use caches settle
                call(code, expected)
            gc.collect()
            refs, growth = [sys.getrefcount(o) for o in watched], []
            for _ in range(5):  # a leak grows in every window; the interpreter's own caches settle in one or two
                before = memory()
                for _ in range(20 if UNDER_SANITIZER else 150):
                    call(code, expected)
                gc.collect()
                growth.append(memory() - before)
            worst = np.min(growth, axis=0)  # bytes, blocks; one 128 KiB vector or one object per call would show
            if [sys.getrefcount(o) for o in watched] != refs or not UNDER_SANITIZER and (worst > (8 << 20, 100)).any():
                leaks.append((code.co_filename, worst.tolist()))
    finally:
        gc.unfreeze()
    assert leaks == []  # (call, [bytes, blocks])
