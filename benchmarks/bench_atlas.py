"""An atlas-sized backed .h5ad file, more than 2^31 stored entries, streamed by the functions.

Run by hand: neither CI nor ``make bench`` runs it. As root, so that the page cache can be dropped
before each timed read (``sync; echo 3 > /proc/sys/vm/drop_caches``); without root the reads may
come partly from memory, which the report then says::

    .venv/bin/python benchmarks/bench_atlas.py            # 2.2e9 entries: a 35 GB file, ~8 minutes
    .venv/bin/python benchmarks/bench_atlas.py --small    # 2e7 entries (0.3 GB): a quick check
    .venv/bin/python benchmarks/bench_atlas.py --dir /big --keep --json out.json
    .venv/bin/python benchmarks/bench_atlas.py --reuse /big/atlas.h5ad   # a file kept before
    .venv/bin/python benchmarks/bench_atlas.py --small --no-drop   # leaves the page cache alone

It writes a CSR ``.h5ad`` file of ``--entries`` stored entries in pieces, so that memory stays
bounded: h5py datasets grown piece by piece, in anndata's on-disk layout (group X with
encoding-type "csr_matrix", encoding-version "0.1.0" and its shape; data, indices, indptr; obs and
var written by anndata), and checks that ``anndata.read_h5ad(path, backed="r")`` opens it. The
values are small counts (integers 1 to 26, the range and density varying by gene) stored as
float64, the indices and indptr as int64, as SciPy and anndata hold a matrix of more than 2^31
entries. Float64 values, because the check below is to 1e-12: float32 expm1 is the C library's,
which is not correctly rounded, so a NumPy model of float32 terms would be off by float32 ulps.

Then, each after dropping the page cache, with the peak resident memory reset before each:

- the disk's read rate: the data and indices datasets read raw with h5py in 512 MiB slices;
- ``mean_var``, ``hvg_seurat_stats`` and ``vst_stats`` on the backed AnnData (``block_bytes`` left
  at its default): wall-clock time, stored entries per second (``vst_stats`` reads the file three
  times: the entries of the three reads per second), peak memory (VmHWM; the resident memory
  before the call, the libraries and the open file, is shown beside it). hvg_seurat_stats takes
  the counts as its log1p input: for throughput, not meaning;
- the NumPy check: the file read in row blocks again, by h5py, and the stored values of each
  gene counted per value (every value must be an integer in 1..26); the per-gene sums the three
  functions need follow exactly in float64 from those counts, so the check is independent of the
  order of the functions' sums. The loess fit of vst_stats is made again with scikit-misc on the
  check's own means and variances. Every result must agree to 1e-12 (relative).

The file is deleted at the end unless ``--keep`` (or ``--reuse``).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

MAX_COUNT = 26  # counts are 1..MAX_COUNT
N_GENES = 30_000
STEP = (3, 20)  # a row holds at most one gene in each run of `step` genes
PIECE_CANDIDATES = 1 << 24  # generated per piece: a bound on the writer's memory
H5_CHUNK = 1 << 20  # entries per HDF5 chunk
RAW_SLICE = 1 << 26  # entries per raw read (512 MiB of float64 or int64)
CHECK_ENTRIES = 1 << 23  # entries per block of the NumPy check
RTOL = 1e-12


# --- the file ----------------------------------------------------------------------------------


def gene_parameters(seed: int):
    """Per gene: the chance (in 256ths) that a candidate entry is stored, and the largest count."""
    rng = np.random.default_rng([seed, 1])
    keep = np.round(256 * 10.0 ** rng.uniform(-1.2, 0.0, N_GENES)).astype(np.int16)
    top = rng.integers(1, MAX_COUNT + 1, N_GENES).astype(np.uint16)
    return keep, top


def random_bytes(rng, shape) -> np.ndarray:
    return np.frombuffer(rng.bytes(int(np.prod(shape))), np.uint8).reshape(shape)


def piece(rng, keep: np.ndarray, top: np.ndarray):
    """Some rows of the matrix: (entries per row, indices, values). The rows of a piece have one
    candidate gene in each run of `step` genes (so their columns rise and never repeat), step
    drawn per piece, each kept with its gene's chance; a stored count is uniform in 1..top of its
    gene."""
    step = int(rng.integers(STEP[0], STEP[1] + 1))
    per_row = N_GENES // step
    n_rows = max(1, PIECE_CANDIDATES // per_row)
    cols = np.arange(per_row, dtype=np.int32) * step + (
        random_bytes(rng, (n_rows, per_row)).astype(np.int32) * step >> 8)
    kept = random_bytes(rng, cols.shape) < keep[cols]
    cols = cols[kept]
    values = 1 + (random_bytes(rng, cols.shape).astype(np.uint16) * top[cols] >> 8)
    return kept.sum(axis=1), cols.astype(np.int64), values.astype(np.float64)


def write_file(path: str, entries: int, seed: int) -> tuple[int, float]:
    """Writes the file; returns its rows and the seconds taken."""
    import anndata as ad
    import h5py
    import pandas as pd
    from anndata.io import write_elem

    start = time.perf_counter()
    keep, top = gene_parameters(seed)
    rng = np.random.default_rng([seed, 2])
    counts, written = [], 0
    with h5py.File(path, "w") as f:
        X = f.create_group("X")
        data = X.create_dataset("data", (0,), np.float64, chunks=(H5_CHUNK,), maxshape=(None,))
        indices = X.create_dataset("indices", (0,), np.int64, chunks=(H5_CHUNK,),
                                   maxshape=(None,))
        while written < entries:
            per_row, cols, values = piece(rng, keep, top)
            if written + cols.size > entries:  # the last row is cut short
                cols, values = cols[:entries - written], values[:entries - written]
                ends = np.cumsum(per_row)
                last = int(np.searchsorted(ends, cols.size))
                per_row = per_row[:last + 1].copy()
                per_row[last] -= ends[last] - cols.size
            stop = written + cols.size
            for dataset, part in ((data, values), (indices, cols)):
                dataset.resize((stop,))
                dataset[written:stop] = part
            counts.append(per_row)
            if stop * 20 // entries > written * 20 // entries:
                print(f"  {stop:,} entries written, {time.perf_counter() - start:.0f} s",
                      flush=True)
            written = stop
        per_row = np.concatenate(counts)
        n_rows = per_row.size
        X.create_dataset("indptr", data=np.concatenate([[0], np.cumsum(per_row)]).astype(np.int64))
        X.attrs.update({"encoding-type": "csr_matrix", "encoding-version": "0.1.0",
                        "shape": np.array([n_rows, N_GENES], np.int64)})
        f.attrs.update({"encoding-type": "anndata", "encoding-version": "0.1.0"})
        write_elem(f, "obs", pd.DataFrame(index=pd.RangeIndex(n_rows).astype(str)))
        write_elem(f, "var", pd.DataFrame(index=[f"gene{j}" for j in range(N_GENES)]))
        for name in ("layers", "obsm", "obsp", "uns", "varm", "varp"):
            write_elem(f, name, {})
    adata = ad.read_h5ad(path, backed="r")
    assert adata.shape == (n_rows, N_GENES) and adata.X.format == "csr", adata
    adata.file.close()
    return n_rows, time.perf_counter() - start


# --- measuring ---------------------------------------------------------------------------------


DROP_CACHES = True


def write_proc(path: str, value: str) -> bool:
    """Writes a value to a /proc control file; False where the system refuses."""
    try:
        with open(path, "w") as f:
            f.write(value + "\n")
        return True
    except OSError:
        return False


def drop_caches() -> bool:
    """Empties the page cache (root only), so that what is read next comes from the disk."""
    if not DROP_CACHES:
        return False
    subprocess.run(["sync"], check=False)
    return write_proc("/proc/sys/vm/drop_caches", "3")


def reset_peak() -> bool:
    return write_proc("/proc/self/clear_refs", "5")


def status_bytes(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            return int(re.search(rf"{field}:\s+(\d+) kB", f.read()).group(1)) * 1024
    except (OSError, AttributeError):
        return None


def peak_bytes() -> int:
    """VmHWM (since the last reset_peak), or ru_maxrss of the whole process where there is none."""
    peak = status_bytes("VmHWM")
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 if peak is None else peak


def measured(fn):
    """(result, seconds, peak bytes, resident bytes before, whether the page cache was dropped)
    of fn()."""
    dropped = drop_caches()
    reset_peak()
    before = status_bytes("VmRSS") or 0
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start, peak_bytes(), before, dropped


def raw_read(path: str) -> int:
    """Reads X's data and indices whole, a slice at a time; returns the bytes read."""
    import h5py

    total = 0
    with h5py.File(path, "r") as f:
        for name in ("data", "indices"):
            dataset = f["X"][name]
            buffer = np.empty(min(RAW_SLICE, dataset.shape[0]), dataset.dtype)
            for first in range(0, dataset.shape[0], RAW_SLICE):
                last = min(first + RAW_SLICE, dataset.shape[0])
                dataset.read_direct(buffer, np.s_[first:last], np.s_[:last - first])
                total += (last - first) * dataset.dtype.itemsize
    return total


# --- the NumPy check ---------------------------------------------------------------------------


def value_counts(path: str) -> tuple[np.ndarray, int]:
    """(genes x MAX_COUNT int64: how often each gene stores each count, rows), over row blocks."""
    import h5py

    with h5py.File(path, "r") as f:
        X = f["X"]
        indptr = X["indptr"][:]
        n_rows = indptr.size - 1
        hist = np.zeros(N_GENES * MAX_COUNT, np.int64)
        row = 0
        while row < n_rows:
            stop = int(np.searchsorted(indptr, indptr[row] + CHECK_ENTRIES, side="right")) - 1
            stop = min(max(stop, row + 1), n_rows)
            first, last = int(indptr[row]), int(indptr[stop])
            cols = X["indices"][first:last]
            values = X["data"][first:last]
            counts = values.astype(np.int64)
            if (np.any(counts != values) or np.any(counts < 1) or np.any(counts > MAX_COUNT)
                    or np.any(cols < 0) or np.any(cols >= N_GENES)):
                raise SystemExit(f"rows {row}:{stop}: a value not an integer in 1..{MAX_COUNT}, "
                                 "or a gene out of range")
            hist += np.bincount(cols * MAX_COUNT + (counts - 1), minlength=hist.size)
            row = stop
        if hist.sum() != indptr[-1]:
            raise SystemExit("the counted values are not the stored entries")
    return hist.reshape(N_GENES, MAX_COUNT), n_rows


def loess_expected(means: np.ndarray, variances: np.ndarray, span: float = 0.3) -> np.ndarray:
    from skmisc.loess import loess

    fitted = variances > 0
    model = loess(np.log10(means[fitted]), np.log10(variances[fitted]), span=span, degree=2,
                  family="gaussian", surface="interpolate", statistics="approximate", cell=0.2)
    model.fit()
    out = np.zeros_like(variances)
    out[fitted] = 10.0 ** model.outputs.fitted_values
    return out


def expected_results(hist: np.ndarray, n: int) -> dict:
    """The three functions' results from the per-gene value counts, in float64."""
    h = hist.astype(np.float64)  # counts below 2^53: exact
    v = np.arange(1, MAX_COUNT + 1, dtype=np.float64)
    stored = h.sum(axis=1)
    s, q = h @ v, h @ (v * v)  # integers below 2^53: exact whatever the order
    means = s / n
    variances = (q - s * s / n) / (n - 1)
    e = np.expm1(v)
    es, eq = h @ e, h @ (e * e)
    e_mean = es / n
    e_var = (eq - es * es / n) / (n - 1)
    expected = loess_expected(means, variances)
    sd = np.sqrt(expected)
    safe = np.where(sd > 0, sd, 1.0)
    clip = np.sqrt(n)
    z = np.minimum((v[None, :] - means[:, None]) / safe[:, None], clip)
    zero = (0.0 - means) / safe
    standardised = np.where(sd > 0, ((h * z * z).sum(axis=1) + zero * zero * (n - stored))
                            / (n - 1), 0.0)
    return {
        "mean_var": (means, variances),
        "hvg_seurat_stats": (np.log1p(e_mean), np.log(e_var / e_mean)),
        "vst_stats": (means, variances, expected, standardised),
    }


def largest_error(got, want) -> float:
    worst = 0.0
    for a, b in zip(got, want):
        a, b = np.asarray(a), np.asarray(b)
        if a.shape != b.shape or not np.array_equal(np.isfinite(a), np.isfinite(b)):
            return float("inf")
        finite = np.isfinite(b)
        scale = np.maximum(np.abs(b[finite]), np.finfo(np.float64).tiny)
        worst = max(worst, float(np.max(np.abs(a[finite] - b[finite]) / scale, initial=0.0)))
    return worst


# --- the run -----------------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entries", type=float, default=2.2e9,
                        help="stored entries of the file (default 2.2e9, above 2^31)")
    parser.add_argument("--small", action="store_true", help="2e7 entries: a quick check")
    parser.add_argument("--dir", default=None, help="where the file goes (default: $TMPDIR)")
    parser.add_argument("--keep", action="store_true", help="keep the file")
    parser.add_argument("--reuse", default=None, help="a file this script wrote before")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--json", default=None, help="also write the figures here")
    parser.add_argument("--no-drop", action="store_true",
                        help="leave the page cache alone (a machine shared with others)")
    args = parser.parse_args()
    global DROP_CACHES
    DROP_CACHES = not args.no_drop

    import anndata as ad

    import brenix_kernels as bk

    entries = int(2e7 if args.small else args.entries)
    if args.reuse:
        path = args.reuse
    else:
        fd, path = tempfile.mkstemp(suffix=".h5ad", prefix="atlas-", dir=args.dir)
        os.close(fd)
    report: dict = {"command": " ".join([sys.executable] + sys.argv)}
    try:
        if args.reuse:
            print(f"reusing {path}")
        else:
            print(f"writing {path}: {entries:,} stored entries")
            n_rows, seconds = write_file(path, entries, args.seed)
            report["write_seconds"] = seconds
        adata = ad.read_h5ad(path, backed="r")
        n_rows = adata.n_obs
        nnz = int(adata.X.group["indptr"][-1])
        size = os.path.getsize(path)
        report.update(entries=nnz, rows=n_rows, genes=adata.n_vars, file_bytes=size,
                      above_2_31=nnz > 2**31)
        print(f"{path}: {n_rows:,} cells x {adata.n_vars:,} genes, {nnz:,} stored entries "
              f"({'more' if nnz > 2**31 else 'fewer'} than 2^31), {size / 1e9:.2f} GB"
              + (f", written in {report['write_seconds']:.0f} s" if "write_seconds" in report
                 else ""))

        read, seconds, _, _, dropped = measured(lambda: raw_read(path))
        report["disk"] = {"bytes": read, "seconds": seconds, "cache_dropped": dropped}
        cache = "dropped" if dropped else "NOT dropped"
        print(f"disk: {read / 1e9:.1f} GB of data and indices read raw in {seconds:.1f} s, "
              f"{read / seconds / 1e9:.2f} GB/s (page cache {cache})")

        calls = {"mean_var": (bk.mean_var, 1), "hvg_seurat_stats": (bk.hvg_seurat_stats, 1),
                 "vst_stats": (bk.vst_stats, 3)}
        results = {}
        print(f"\n{'function':<18}{'reads':>6}{'seconds':>10}{'entries/s':>12}{'peak RSS MB':>13}"
              f"{'(before MB)':>13}")
        for name, (fn, reads) in calls.items():
            result, seconds, peak, before, dropped = measured(lambda fn=fn: fn(adata))
            results[name] = result
            rate = reads * nnz / seconds
            report[name] = {"seconds": seconds, "reads": reads, "entries_per_second": rate,
                            "peak_bytes": peak, "rss_before_bytes": before,
                            "cache_dropped": dropped}
            print(f"{name:<18}{reads:>6}{seconds:>10.1f}{rate:>12.3g}{peak / 1e6:>13.0f}"
                  f"{before / 1e6:>13.0f}")
        adata.file.close()

        (hist, rows), seconds, peak, before, _ = measured(lambda: value_counts(path))
        assert rows == n_rows
        want = expected_results(hist, n_rows)
        report["numpy_check"] = {"seconds": seconds, "peak_bytes": peak,
                                 "rss_before_bytes": before}
        print(f"\nNumPy check: the file read again in blocks of {CHECK_ENTRIES:,} entries, "
              f"{seconds:.1f} s, peak RSS {peak / 1e6:.0f} MB ({before / 1e6:.0f} MB before)")
        failed = []
        for name, result in results.items():
            error = largest_error(result, want[name])
            report["numpy_check"][name] = error
            ok = error <= RTOL
            failed += [] if ok else [name]
            print(f"  {name:<18} largest relative difference {error:.2e} "
                  f"({'within' if ok else 'NOT within'} {RTOL:g})")
    finally:
        if not (args.keep or args.reuse) and os.path.exists(path):
            os.remove(path)
            print(f"removed {path}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)
    if failed:
        raise SystemExit(f"disagreement with the NumPy check: {', '.join(failed)}")


if __name__ == "__main__":
    main()
