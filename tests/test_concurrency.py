"""Results do not depend on who calls, how many call at once, or how big the pool is."""

import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from brenix_kernels import _core
from conftest import run_in_subprocess


def identical(a, b):
    """Bit for bit: same type, dtype, shape and bytes (NaNs included)."""
    return (type(a) is type(b) and a.dtype == b.dtype and a.shape == b.shape
            and a.tobytes() == b.tobytes())


def flatten(results):
    out = []
    for result in results:
        out.extend(result if isinstance(result, tuple) else (result,))
    return out


def inputs(seed, rows, nnz, cols):
    """Values spread over many magnitudes, so that any change in summation order shows."""
    rng = np.random.default_rng(seed)
    dense = rng.standard_normal((rows, cols)) * 10.0 ** rng.uniform(-3, 3, (rows, cols))
    logged = np.log1p(np.abs(dense))
    indices = rng.integers(0, cols, nnz, dtype=np.int64)
    data = np.log1p(rng.exponential(10.0 ** rng.uniform(-3, 3, nnz)))
    return dense, logged, indices, data


def every_function(dense, logged, indices, data, n_rows, n_cols):
    data32 = data.astype(np.float32)
    return flatten([
        _core.scale(dense, max_value=3.0, return_mean_std=True),
        _core.scale(dense.astype(np.float32), zero_center=False, return_mean_std=True),
        _core.hvg_seurat_stats(logged),
        _core.hvg_seurat_stats(logged.astype(np.float32), log_base=2.0),
        _core.hvg_seurat_stats_sparse(indices, data, n_rows, n_cols),
        _core.hvg_seurat_stats_sparse(indices, data32, n_rows, n_cols, square_f64=True),
        _core.scale_sparse_data(indices, data, n_rows, n_cols, max_value=4.0),
        _core.scale_sparse_data(indices, data32, n_rows, n_cols),
        _core.scale_sparse_data(indices, data32, n_rows, n_cols, promote=True),
    ])


# Several chunks everywhere: 3 moment chunks of 2048 rows, 10 write chunks of
# 512 rows, 3 sparse chunks of 1,000,000 entries.
MULTI_CHUNK = dict(seed=11, rows=5000, nnz=2_500_000, cols=97)


def multi_chunk_results():
    dense, logged, indices, data = inputs(**MULTI_CHUNK)
    return every_function(dense, logged, indices, data, 40_000, MULTI_CHUNK["cols"])


# test_threads.py compares RAYON_NUM_THREADS 1, 2 and 8; 3 is the odd one out:
# the pieces of a pass never split evenly between three workers.
@pytest.mark.slow
def test_three_worker_threads_give_the_same_bits(tmp_path):
    out = tmp_path / "results.npz"
    code = (f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
            "import numpy as np, test_concurrency as t\n"
            f"np.savez({str(out)!r}, *t.multi_chunk_results())\n")
    try:
        child = run_in_subprocess(code, env={"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": None}, timeout=300)
    except subprocess.TimeoutExpired:  # a few seconds of work: the pool never ran the pass
        pytest.fail("with 3 worker threads, the first (multi-chunk) call of a fresh process hung")
    assert child.returncode == 0, child.stderr
    expected = multi_chunk_results()
    with np.load(out) as saved:
        got = [saved[f"arr_{i}"] for i in range(len(saved.files))]
    assert len(got) == len(expected)
    for i, (a, b) in enumerate(zip(got, expected)):
        assert identical(a, b), f"result {i} differs with 3 worker threads"


class YieldingSource:
    """Converts to float64 only after letting every other Python thread run."""

    def __init__(self, matrix):
        self.matrix = matrix

    def astype(self, dtype):
        time.sleep(0)  # gives up the interpreter lock in the middle of the call
        return self.matrix.astype(dtype)


def one_thread_workload(seed):
    dense, logged, indices, data = inputs(seed, rows=3000, nnz=200_000, cols=31)
    results = every_function(dense, logged, indices, data, 9000, 31)
    results += flatten([
        _core.scale(YieldingSource(np.rint(dense).astype(np.int64)), return_mean_std=True),
        _core.hvg_seurat_stats(YieldingSource(logged.astype(np.float16))),
    ])
    try:
        _core.hvg_seurat_stats_sparse(indices, data, 9000, 30)  # some index is 30
    except BaseException as error:
        results.append(np.array(str(error)))
    return results


@pytest.mark.slow
def test_python_threads_calling_at_once_get_single_thread_answers():
    n_threads, rounds = 8, 3
    expected = {seed: one_thread_workload(seed) for seed in range(n_threads)}
    start = threading.Barrier(n_threads)
    got, errors = {}, []

    def worker(seed):
        try:
            start.wait()
            got[seed] = [one_thread_workload(seed) for _ in range(rounds)]
        except BaseException as error:  # reported below, not lost in the thread
            errors.append((seed, repr(error)))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(n_threads)]
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(switch)
    assert errors == [] and len(got) == n_threads
    for seed, runs in got.items():
        for run in runs:
            assert len(run) == len(expected[seed])
            for i, (a, b) in enumerate(zip(run, expected[seed])):
                assert identical(a, b), f"thread {seed}, result {i}"
