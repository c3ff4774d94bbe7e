"""Benchmark hvg_seurat_stats streamed from a backed .h5ad file against loading the file and calling
it on the matrix in memory.

Run with ``python benchmarks/bench_backed.py`` (a CSR .h5ad file of about 2 GB: float32 values and
int32 indices, written to a temporary directory and removed afterwards; ``--gb`` sets its size,
``--quick`` makes it 0.2 GB, ``--dir`` says where it goes).

Each way runs in a fresh interpreter, ``--repeats`` times: ``streamed`` opens the file with
``anndata.read_h5ad(path, backed="r")`` and calls ``brenix_kernels.hvg_seurat_stats`` on it (row
blocks of ``--block-bytes``, default the function's own, 256 MiB); ``load + call`` reads it with
``anndata.read_h5ad(path)`` and calls the function on the SciPy matrix. The table gives the median
wall-clock time of each (from opening the file to the results), their ratio, and the largest peak
resident memory of the process (ru_maxrss, imports included). Both read the file from the page cache
once it has been written, if the machine's memory holds it. The two results are checked to be
identical, bit for bit.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

N_COLS, PER_ROW = 2000, 250  # genes, stored entries per cell (one in eight genes)

RUN = r"""
import json, resource, sys, time
import numpy as np
import anndata as ad
import brenix_kernels as bk

path, way, block_bytes, out = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
start = time.perf_counter()
if way == "streamed":
    adata = ad.read_h5ad(path, backed="r")
    result = bk.hvg_seurat_stats(adata, block_bytes=None if block_bytes == "None" else int(block_bytes))
else:
    adata = ad.read_h5ad(path)
    result = bk.hvg_seurat_stats(adata)
seconds = time.perf_counter() - start
np.save(out, np.stack(result))
print(json.dumps({"seconds": seconds, "peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
"""


def write_file(path, n_rows, rows_per_write=50_000):
    """A CSR .h5ad file of n_rows cells: anndata writes an empty matrix with the obs and var
    tables, then the matrix's arrays are written in place of its own."""
    import anndata as ad
    import h5py
    import scipy.sparse as sp

    ad.AnnData(sp.csr_matrix((n_rows, N_COLS), dtype=np.float32)).write_h5ad(path)
    nnz = n_rows * PER_ROW
    rng = np.random.default_rng(0)
    with h5py.File(path, "r+") as f:
        g = f["X"]
        for key in ("data", "indices", "indptr"):
            del g[key]
        data = g.create_dataset("data", (nnz,), "f4")
        indices = g.create_dataset("indices", (nnz,), "i4")
        g.create_dataset("indptr", data=np.arange(0, nnz + 1, PER_ROW, dtype=np.int64))
        step = N_COLS // PER_ROW
        for first in range(0, n_rows, rows_per_write):
            rows = min(rows_per_write, n_rows - first)
            # One gene in each run of `step`, so the indices of a row rise and never repeat.
            cols = np.arange(PER_ROW, dtype=np.int32) * step + rng.integers(0, step, (rows, PER_ROW),
                                                                             dtype=np.int32)
            span = slice(first * PER_ROW, (first + rows) * PER_ROW)
            indices[span] = cols.ravel()
            data[span] = np.log1p(rng.integers(1, 30, rows * PER_ROW).astype(np.float32))


def run(path, way, block_bytes, out):
    child = subprocess.run([sys.executable, "-c", RUN, path, way, str(block_bytes), out],
                           capture_output=True, text=True, check=False)
    if child.returncode != 0:
        raise SystemExit(f"{way} failed:\n{child.stderr}")
    return json.loads(child.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--gb", type=float, default=2.0, help="size of the file's matrix arrays")
    parser.add_argument("--quick", action="store_true", help="a 0.2 GB file (--gb 0.2)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--block-bytes", default="None", help="block_bytes= of the streamed run")
    parser.add_argument("--dir", default=None, help="where the temporary file goes")
    args = parser.parse_args()
    n_rows = int((0.2 if args.quick else args.gb) * 1e9 / (PER_ROW * 8))
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        path = os.path.join(tmp, "x.h5ad")
        start = time.perf_counter()
        write_file(path, n_rows)
        print(f"{path}: {n_rows} cells x {N_COLS} genes, {n_rows * PER_ROW:,} stored entries, "
              f"{os.path.getsize(path) / 1e9:.2f} GB, written in {time.perf_counter() - start:.1f} s")
        ways = ("streamed", "load + call")
        results = {way: [] for way in ways}
        for i in range(args.repeats):
            for way in ways:
                results[way].append(run(path, way.split()[0], args.block_bytes,
                                        os.path.join(tmp, f"{way.split()[0]}.npy")))
        got, expected = (np.load(os.path.join(tmp, f"{w}.npy")) for w in ("streamed", "load"))
        same = np.array_equal(got.view(np.uint64), expected.view(np.uint64))
    times = {w: statistics.median(r["seconds"] for r in results[w]) for w in ways}
    peaks = {w: max(r["peak"] for r in results[w]) for w in ways}
    print(f"\n{'way':<14}{'median s':>10}{'runs (s)':>26}{'peak RSS MB':>14}")
    for w in ways:
        runs = " ".join(f"{r['seconds']:.2f}" for r in results[w])
        print(f"{w:<14}{times[w]:>10.2f}{runs:>26}{peaks[w] / 1e6:>14.0f}")
    print(f"\nstreamed / (load + call): {times['streamed'] / times['load + call']:.2f}x the time, "
          f"{peaks['streamed'] / peaks['load + call']:.2f}x the peak memory; results identical: {same}")


if __name__ == "__main__":
    main()
