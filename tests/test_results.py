"""The arrays handed back: their type, layout, owner object and independence from the inputs."""

import itertools

import numpy as np
import pytest

from brenix_kernels._core import hvg_seurat_stats, hvg_seurat_stats_sparse, scale, scale_sparse_data
from conftest import run_in_subprocess

_rng = np.random.default_rng(7)
X = _rng.random((6, 5))
X32 = X.astype(np.float32)
I = np.array([0, 4, 2, 2, 1], dtype=np.int64)
D = _rng.random(5)
D32 = D.astype(np.float32)
INPUTS = [X, X32, I, D, D32]
NS = dict(globals())

F8_5 = ("f8", (5,), (8,))

# call -> (dtype, shape, strides) of each returned array, in order; one entry means a bare array.
CASES = {
    "scale(X)": [("f8", (6, 5), (40, 8))],
    "scale(X32)": [("f4", (6, 5), (20, 4))],
    "scale(X, return_mean_std=True)": [("f8", (6, 5), (40, 8)), F8_5, F8_5],
    "scale(X32, zero_center=False, return_mean_std=True)": [("f4", (6, 5), (20, 4)), F8_5, F8_5],
    "scale(X.T, return_mean_std=True)": [("f8", (5, 6), (48, 8)), ("f8", (6,), (8,)), ("f8", (6,), (8,))],
    "hvg_seurat_stats(X)": [F8_5, F8_5],
    "hvg_seurat_stats(X32)": [F8_5, F8_5],
    "hvg_seurat_stats_sparse(I, D32, 6, 5)": [F8_5, F8_5],
    "scale_sparse_data(I, D, 6, 5)": [F8_5, F8_5, F8_5],
    "scale_sparse_data(I, D32, 6, 5)": [("f4", (5,), (4,)), F8_5, F8_5],
    "scale_sparse_data(I, D32, 6, 5, promote=True)": [F8_5, F8_5, F8_5],
    # Any zero-length dimension makes every stride of that array 0.
    "scale(np.zeros((0, 3)), return_mean_std=True)": [("f8", (0, 3), (0, 0)), ("f8", (3,), (8,)), ("f8", (3,), (8,))],
    "scale(np.zeros((0, 3), np.float32))": [("f4", (0, 3), (0, 0))],
    "hvg_seurat_stats(np.zeros((0, 3)))": [("f8", (3,), (8,))] * 2,
    "scale_sparse_data(I[:0], D[:0], 3, 4)": [("f8", (0,), (0,)), ("f8", (4,), (8,)), ("f8", (4,), (8,))],
    "scale_sparse_data(I[:0], D32[:0], 3, 4)": [("f4", (0,), (0,)), ("f8", (4,), (8,)), ("f8", (4,), (8,))],
    "scale_sparse_data(I[:0], D[:0], 3, 0)": [("f8", (0,), (0,))] * 3,
    "hvg_seurat_stats_sparse(I[:0], D[:0], 3, 0)": [("f8", (0,), (0,))] * 2,
}


@pytest.mark.parametrize("call", CASES)
def test_result_arrays(call):
    result = eval(call, NS)
    expected = CASES[call]
    if len(expected) == 1:
        assert type(result) is np.ndarray  # a bare array, not a 1-tuple
        arrays = [result]
    else:
        assert type(result) is tuple and len(result) == len(expected)
        arrays = list(result)
    for arr, (dtype, shape, strides) in zip(arrays, expected):
        assert type(arr) is np.ndarray
        assert (arr.dtype, arr.dtype.isnative, arr.shape, arr.strides) == (np.dtype(dtype), True, shape, strides)
        assert (type(arr.base).__name__, type(arr.base).__module__) == ("PySliceContainer", "builtins")
        flags = arr.flags
        assert flags.writeable and flags.c_contiguous and flags.aligned and not flags.owndata
    # One owner per buffer, all of the same type; nothing shared with the inputs or between results.
    assert len({id(a.base) for a in arrays}) == len(arrays)
    assert {type(a.base) for a in arrays} == {type(scale(X).base)}
    for a, b in itertools.product(arrays, INPUTS + arrays):
        assert a is b or not np.shares_memory(a, b)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_unchanged_values_are_still_new_arrays(dtype):
    # Constant columns have variance 0, hence std 1.0: without centring the values come back as they were.
    x = np.full((2, 3), 3.0, dtype=dtype)
    out = scale(x, zero_center=False)
    assert out.dtype == dtype and np.array_equal(out, x)
    assert not np.shares_memory(out, x)
    d = np.array([5.0, 7.0], dtype=dtype)
    values, _, std = scale_sparse_data(np.array([0, 1]), d, 1, 2)  # one row: no variance correction
    assert std.tolist() == [1.0, 1.0] and values.tolist() == [5.0, 7.0]
    assert not np.shares_memory(values, d)


def test_slice_keeps_the_buffer_alive():
    # In a child process: if the buffer were freed with the parent array, reading it could crash.
    # Its first result also creates the owner type, which must not warn while doing so.
    proc = run_in_subprocess(
        """
import gc
import numpy as np
from brenix_kernels._core import scale
x = np.random.default_rng(1).random((300, 64))  # 150 KiB: freed memory would be unmapped
full = scale(x)
part = full[1::3, 5:40]
expected = part.copy()
del full
gc.collect()
churn = [scale(x + k) for k in range(4)]
assert np.array_equal(part, expected)
print('ok')
""",
        env={"PYTHONWARNINGS": "error"},
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"
