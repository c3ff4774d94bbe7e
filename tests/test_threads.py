"""Results must not depend on the size of the worker pool.

The pool size is read once per process, so every size runs in a fresh
interpreter; each child prints a digest of every result's bytes (or the
failure it raised) and the digests must agree exactly.
"""

import json
import os
import subprocess
import sys

import pytest

CHILD = r"""
import hashlib, json
import numpy as np
from brenix_kernels import _core as C

rng = np.random.default_rng(20240607)
x = rng.uniform(0.0, 6.0, (5000, 64))            # 3 moment chunks, 10 write chunks
x32 = x.astype(np.float32)
indices = rng.integers(0, 300, 2_500_000)         # 3 sparse chunks
data = np.round(rng.uniform(0.0, 4.0, indices.size), 4)
data32 = data.astype(np.float32)

calls = {
    "hvg64": lambda: C.hvg_seurat_stats(x, log_base=2),
    "hvg32": lambda: C.hvg_seurat_stats(x32),
    "scale64": lambda: C.scale(x, max_value=1.5, return_mean_std=True),
    "scale32": lambda: C.scale(x32, zero_center=False, return_mean_std=True),
    "hvg_sparse64": lambda: C.hvg_seurat_stats_sparse(indices, data, 4_000_000, 300),
    "hvg_sparse32": lambda: C.hvg_seurat_stats_sparse(indices, data32, 4_000_000, 300),
    "scale_sparse64": lambda: C.scale_sparse_data(indices, data, 4_000_000, 300, max_value=2.0),
    "scale_sparse32": lambda: C.scale_sparse_data(indices, data32, 4_000_000, 300),
}
bad = indices.copy()
bad[2_400_000] = 300      # chunk 2
bad[1_600_000] = -5       # chunk 1: first bad entry in storage order
bad[1_900_000] = 301
calls["hvg_sparse_bad"] = lambda: C.hvg_seurat_stats_sparse(bad, data, 10, 300)
calls["scale_sparse_bad"] = lambda: C.scale_sparse_data(bad, data32, 10, 300)

out = {}
for name, call in calls.items():
    try:
        result = call()
    except BaseException as exc:
        out[name] = [type(exc).__name__, list(exc.args)]
        continue
    parts = result if isinstance(result, tuple) else (result,)
    digest = hashlib.sha256()
    for part in parts:
        digest.update(str(part.dtype).encode() + str(part.shape).encode() + part.tobytes())
    out[name] = digest.hexdigest()
print(json.dumps(out))
"""


def run_child(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                              text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no result within 120 s with RAYON_NUM_THREADS={threads}")
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.mark.slow
def test_results_identical_for_any_pool_size():
    runs = {threads: run_child(threads) for threads in (1, 2, 8)}
    first = f"index out of bounds: the len is 300 but the index is {2**64 - 5}"
    for threads, digests in runs.items():
        assert digests["hvg_sparse_bad"] == ["PanicException", [first]], threads
        assert digests["scale_sparse_bad"] == ["PanicException", [first]], threads
        assert digests == runs[1], threads
