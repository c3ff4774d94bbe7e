"""Benchmark brenix_kernels.dask against the same statistics written with dask.array's own operations.

Run with ``python benchmarks/bench_dask.py`` (a 400 MB dense and a 70 million-entry CSR array held on the
workers, then a 1 GB Zarr array four times a worker's memory limit, then 100 groups of a 270,000-row
CSR array) or ``--quick`` (about a tenth of that); ``--only csr batches`` runs some of the parts.
Everything runs on a LocalCluster of two worker processes with one thread each (and a one-thread pool of
ours in each), as on a two-core machine.

For the CSR array, the in-memory row is ``brenix_kernels.hvg_seurat_stats`` on the whole matrix in this
process, with the same two cores (a pool of two threads). The batches part compares, for 100 groups of
rows, ours in one pass (``groups=``) with a loop over the groups written with dask.array (one mean and
variance of expm1 per group) and with the in-memory grouped call.

For each statistic the table gives the median wall-clock time of ours and of the dask.array way (one
warm-up, then ``--repeats`` timed runs), their ratio, and the peak resident memory of the busiest worker
while it ran (sampled every few milliseconds, in the warm-up run only). The inputs of the in-memory part
are persisted on the workers first, so both ways time only the statistics; in the Zarr part both read the
store, and a way whose workers are restarted for outgrowing their memory limit, or that gives no result
within ``--timeout`` seconds, is reported as failed. Ours agrees with brenix_kernels._core bit for bit
(see tests/test_dask.py); here the two ways are only checked to agree to a relative tolerance, the
dask.array way summing in another order.
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time

import dask
import dask.array as da
import distributed
import numpy as np
import scipy.sparse as sp
import zarr

import brenix_kernels as bk
from brenix_kernels import dask as bd

SIZES = {  # dense (rows, cols, block rows), CSR (rows, cols, density, block rows), Zarr (rows, cols, block rows),
    # batches (rows, cols, density, block rows, groups)
    "full": ((100_000, 1_000, 5_000), (200_000, 5_000, 0.07, 10_000), (250_000, 1_000, 5_000),
             (270_000, 2_000, 0.1, 13_500, 100)),
    "quick": ((20_000, 500, 3_000), (40_000, 2_000, 0.05, 7_000), (50_000, 1_000, 5_000),
              (27_000, 2_000, 0.1, 2_700, 100)),
}
PARTS = ("dense", "csr", "zarr", "batches")
ZARR_MEMORY_LIMIT = 250e6


def levels(seed, shape):
    """log1p of counts 0..3, three quarters zeros."""
    counts = np.maximum(np.random.default_rng(seed).integers(-12, 4, shape, dtype=np.int8), 0)
    return np.log1p(np.arange(4, dtype="f4"))[counts]


def dense_array(rows, cols, block):
    chunks = [min(block, rows - first) for first in range(0, rows, block)]
    return da.concatenate([da.from_delayed(dask.delayed(levels)(i, (n, cols)), (n, cols), dtype="f4")
                           for i, n in enumerate(chunks)])


def csr_block(seed, rows, cols, density):
    m = sp.random(rows, cols, density=density, format="csr", rng=np.random.default_rng(seed), dtype="f4")
    m.data = np.log1p(np.ceil(m.data * 4)).astype("f4")
    return m


def csr_array(rows, cols, density, block):
    parts = []
    for i, first in enumerate(range(0, rows, block)):
        n = min(block, rows - first)
        parts.append(da.from_delayed(dask.delayed(csr_block)(i, n, cols, density), (n, cols), dtype="f4",
                                     meta=sp.csr_matrix((0, cols), dtype="f4")))
    return da.concatenate(parts)


# --- the dask.array way ---------------------------------------------------------------------------


def dask_hvg(x):
    e = da.expm1(x.astype("f8"))
    mean, var = e.mean(axis=0), e.var(axis=0, ddof=1)
    safe = da.where(mean == 0, 1e-12, mean)
    return da.log1p(safe), da.log(var / safe)


def dask_scale(x):
    wide = x.astype("f8")
    mean, std = wide.mean(axis=0), wide.std(axis=0, ddof=1)
    std = da.where(std == 0, 1.0, std)
    return ((wide - mean) / std).astype(x.dtype), mean, std


def block_sums(block):
    """Per-column sums of a CSR block's values and squares, as one dense (1, 2, cols) record."""
    e = block.astype("f8")
    return np.stack([np.asarray(e.sum(axis=0)).ravel(), np.asarray(e.multiply(e).sum(axis=0)).ravel()])[None]


def dask_sparse_moments(x, expm1):
    e = x.map_blocks(lambda b: b.expm1() if expm1 else b, dtype="f4")
    sums = e.map_blocks(block_sums, dtype="f8", chunks=((1,) * e.numblocks[0], (2,), (x.shape[1],)),
                        new_axis=1).sum(axis=0)
    n = x.shape[0]
    mean = sums[0] / n
    var = (sums[1] / n - mean * mean) * (n / (n - 1))
    return mean, var


def dask_sparse_hvg(x):
    mean, var = dask_sparse_moments(x, True)
    safe = da.where(mean == 0, 1e-12, mean)
    return da.log1p(safe), da.log(var / safe)


def dask_scale_sparse(x):
    mean, var = dask_sparse_moments(x, False)
    std = da.where(var == 0, 1.0, da.sqrt(var))
    scaled = x.map_blocks(lambda b, s: b.multiply(1.0 / s).tocsr().astype("f4"), std[None, :], dtype="f4")
    return scaled, mean, std


def tiny(array):
    """A scaled matrix reduced to one number per block on the workers, so that no task ships it whole."""
    if array.ndim == 1:
        return array
    return array.map_blocks(lambda b: np.full((1, 1), b.sum() if hasattr(b, "sum") else 0.0), chunks=(1, 1),
                            dtype="f8")


# --- measuring ------------------------------------------------------------------------------------


def start_sampler(dask_worker):
    import threading

    import psutil

    process, state = psutil.Process(), {"peak": 0, "run": True}

    def sample():
        while state["run"]:
            state["peak"] = max(state["peak"], process.memory_info().rss)
            time.sleep(0.003)

    dask_worker.bench_memory = state
    threading.Thread(target=sample, daemon=True).start()


def stop_sampler(dask_worker):
    dask_worker.bench_memory["run"] = False
    return dask_worker.bench_memory["peak"]


class Failed(Exception):
    pass


def run(client, arrays, timeout):
    futures = client.compute([tiny(a) for a in arrays])
    try:
        distributed.wait(futures, timeout=timeout)
        return client.gather(futures)
    except TimeoutError as error:
        client.cancel(futures)
        raise Failed(f"not done in {timeout:.0f} s") from error
    except distributed.KilledWorker as error:
        raise Failed("KilledWorker: workers restarted for exceeding their memory limit") from error


def measure(client, make, repeats, timeout):
    """Median seconds of computing make()'s arrays (after a warm-up), their values, and the peak worker RSS;
    or why it failed (a worker restarted for exceeding its memory limit, or no result in time). The memory
    is sampled in a run of its own, the warm-up: the sampler's thread, waking every few milliseconds, takes
    the interpreter lock from the worker's own threads and slowed the timed runs by up to a third."""
    client.run(start_sampler)
    workers = set(client.scheduler_info()["workers"])
    try:
        results = run(client, make(), timeout)
        peak = max(client.run(stop_sampler).values())
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            run(client, make(), timeout)
            times.append(time.perf_counter() - start)
    except Failed as failure:
        # The cluster is left as it is, its workers may not come back: only the dask.array way, measured
        # last on the Zarr cluster, is expected to fail (its workers outgrow their memory limit).
        restarted = workers - set(client.scheduler_info()["workers"])
        note = ", workers restarted" if restarted and "restarted" not in str(failure) else ""
        return f"{failure}{note}", None, None
    return statistics.median(times), results, peak


def agree(ours, theirs):
    for a, b in zip(ours, theirs):
        a, b = np.asarray(a, "f8"), np.asarray(b, "f8")
        if not np.allclose(a, b, rtol=1e-4, atol=1e-6, equal_nan=True):
            raise SystemExit(f"results disagree: {np.nanmax(np.abs(a - b))}")


def row(name, size, ours, theirs):
    (t_ours, r_ours, m_ours), (t_theirs, r_theirs, m_theirs) = ours, theirs
    if isinstance(t_ours, str):
        raise SystemExit(f"{name} on {size}: ours failed ({t_ours})")
    if isinstance(t_theirs, str):
        print(f"| {name} | {size} | {t_ours:.2f} | failed: {t_theirs} | | {m_ours / 1e6:.0f} | |", flush=True)
        return
    agree(r_ours, r_theirs)
    print(f"| {name} | {size} | {t_ours:.2f} | {t_theirs:.2f} | {t_theirs / t_ours:.2f} | "
          f"{m_ours / 1e6:.0f} | {m_theirs / 1e6:.0f} |", flush=True)


def in_memory(make, repeats):
    """Median seconds of make() in this process (after a warm-up), and its results."""
    results = make()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        make()
        times.append(time.perf_counter() - start)
    return statistics.median(times), results


def in_memory_row(name, size, ours, kernel):
    (t_ours, r_ours, _), (t_kernel, r_kernel) = ours, kernel
    for a, b in zip(r_ours, r_kernel):
        if not np.array_equal(np.asarray(a), np.ravel(b), equal_nan=True):
            raise SystemExit(f"{name}: ours differs from the in-memory call")
    print(f"| {name} | {size} | {t_ours:.2f} | in memory, 2 threads: {t_kernel:.2f} | "
          f"{t_kernel / t_ours:.2f} | | |", flush=True)


def gather_csr(client, m):
    """The whole CSR matrix of a persisted dask array, in this process."""
    return sp.vstack(client.gather(client.compute(m.to_delayed().ravel().tolist())), format="csr")


def batches(client, args, rows, cols, density, block, n_groups):
    m = csr_array(rows, cols, density, block).persist()
    distributed.wait(m)
    codes = np.random.default_rng(0).integers(0, n_groups, rows)
    whole = gather_csr(client, m)
    size = f"CSR f32 {rows}x{cols}, {whole.nnz / 1e6:.0f} M entries in {m.numblocks[0]} blocks, {n_groups} groups"
    # Both ways' (n_groups, cols) results raveled: the table's runs reduce 2-D results to block sums.
    ours = measure(client, lambda: [r.ravel() for r in bd.hvg_seurat_stats(m, groups=codes)], args.repeats,
                   args.timeout)

    def per_group():
        # The plain way: one masked selection of the rows, then the moments of expm1, per group.
        out = [dask_sparse_hvg(m[codes == k]) for k in range(n_groups)]
        return [da.stack([o[i] for o in out]).ravel() for i in (0, 1)]

    if not args.skip_loop:
        row("hvg_seurat_stats, groups", size, ours, measure(client, per_group, 1, 20 * args.timeout))
    in_memory_row("hvg_seurat_stats, groups", size, ours,
                  in_memory(lambda: bk.hvg_seurat_stats(whole, groups=codes), args.repeats))


def cluster(memory_limit):
    return distributed.LocalCluster(n_workers=2, threads_per_worker=1, memory_limit=memory_limit,
                                    dashboard_address=":0", env={"RAYON_NUM_THREADS": "1"})


def dense_part(client, args, d_rows, d_cols, d_block):
    x = dense_array(d_rows, d_cols, d_block).persist()
    distributed.wait(x)
    size = f"dense f32 {d_rows}x{d_cols}, {x.nbytes / 1e6:.0f} MB in {x.numblocks[0]} blocks"
    row("hvg_seurat_stats", size, measure(client, lambda: bd.hvg_seurat_stats(x), args.repeats, args.timeout),
        measure(client, lambda: dask_hvg(x), args.repeats, args.timeout))
    row("scale (matrix, mean, std)", size,
        measure(client, lambda: bd.scale(x, return_mean_std=True), args.repeats, args.timeout),
        measure(client, lambda: dask_scale(x), args.repeats, args.timeout))
    del x


def csr_part(client, args, s_rows, s_cols, density, s_block):
    m = csr_array(s_rows, s_cols, density, s_block).persist()
    distributed.wait(m)
    nnz = int(m.map_blocks(lambda b: np.full((1, 1), b.nnz), chunks=(1, 1), dtype=int).sum().compute())
    size = f"CSR f32 {s_rows}x{s_cols}, {nnz / 1e6:.0f} M entries in {m.numblocks[0]} blocks"
    ours = measure(client, lambda: bd.hvg_seurat_stats(m), args.repeats, args.timeout)
    row("hvg_seurat_stats", size, ours, measure(client, lambda: dask_sparse_hvg(m), args.repeats, args.timeout))
    whole = gather_csr(client, m)
    in_memory_row("hvg_seurat_stats", size, ours,
                  in_memory(lambda: bk.hvg_seurat_stats(whole), args.repeats))
    del whole
    row("scale_sparse (values, mean, std)", size,
        measure(client, lambda: bd.scale_sparse(m), args.repeats, args.timeout),
        measure(client, lambda: dask_scale_sparse(m), args.repeats, args.timeout))
    del m


def zarr_part(args, z_rows, z_cols, z_block):
    with tempfile.TemporaryDirectory() as tmp:
        z = zarr.create_array(f"{tmp}/x.zarr", shape=(z_rows, z_cols), chunks=(z_block, z_cols), dtype="f4",
                              compressors=None)
        for first in range(0, z_rows, z_block):
            z[first:first + z_block] = levels(first, (min(z_block, z_rows - first), z_cols))
        with cluster(ZARR_MEMORY_LIMIT) as c, distributed.Client(c) as client:
            x = da.from_zarr(z)
            size = (f"Zarr f32 {z_rows}x{z_cols}, {x.nbytes / 1e6:.0f} MB, worker limit "
                    f"{ZARR_MEMORY_LIMIT / 1e6:.0f} MB")
            row("hvg_seurat_stats", size, measure(client, lambda: bd.hvg_seurat_stats(x), args.repeats, args.timeout),
                measure(client, lambda: dask_hvg(x), args.repeats, args.timeout))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=120, help="seconds before a run is given up")
    parser.add_argument("--only", nargs="+", choices=PARTS, default=PARTS)
    parser.add_argument("--skip-loop", action="store_true",
                        help="batches: leave out the per-group dask.array loop (minutes at full size)")
    args = parser.parse_args()
    (d_rows, d_cols, d_block), (s_rows, s_cols, density, s_block), (z_rows, z_cols, z_block), batch = \
        SIZES["quick" if args.quick else "full"]

    print("| statistic | input | ours (s) | dask.array (s) | ratio | ours: peak worker MB | dask.array: peak worker MB |")
    print("|---|---|---|---|---|---|---|")
    with cluster("4GB") as c, distributed.Client(c) as client:
        if "dense" in args.only:
            dense_part(client, args, d_rows, d_cols, d_block)
        if "csr" in args.only:
            csr_part(client, args, s_rows, s_cols, density, s_block)
        if "batches" in args.only:
            batches(client, args, *batch)
    if "zarr" in args.only:
        zarr_part(args, z_rows, z_cols, z_block)


if __name__ == "__main__":
    main()
