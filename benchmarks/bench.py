"""Benchmark the four kernels against the plain NumPy/SciPy way of computing the same results.

Run with ``python benchmarks/bench.py`` (about 20,000 x 2,000 dense and 60,000 x 8,000
CSR matrices) or ``python benchmarks/bench.py --quick`` (small sizes, well under a
minute). Everything is measured in one run:

- the median wall-clock time of each kernel and of its NumPy/SciPy equivalent (one
  warm-up call, then ``--repeats`` timed calls), with a check that both agree;
- the peak extra memory of one call, measured in a fresh child process from the
  resident-set high-water mark (``VmHWM``, reset through ``/proc/self/clear_refs``),
  so that native allocations count too;
- the kernel time with a one-thread pool (``RAYON_NUM_THREADS=1``), measured in a
  fresh child process because the pool size is fixed at its first use in a process,
  with a check that the results are bit-for-bit those of the default pool;
- for the Seurat kernels, the time with the C library's expm1f/expm1 and a memo instead of
  the vector ones (``BRENIX_VECTOR_EXPM1F=off BRENIX_VECTOR_EXPM1=off``, fresh child
  process), with a check that the results are bit-for-bit the same;
- two yardsticks: ``x.copy()`` of the dense matrices, and ``expm1`` over the CSR
  values (vectorised NumPy, and an estimate of the C library's cost per call).

The data are generated with a fixed seed and look like real single-cell data:
negative-binomial counts, normalised to 10,000 counts per cell and log1p-transformed
(values repeat within a cell); and, for the Seurat kernels, two sets whose values do
not repeat: log1p of gamma values, dense without zeros, and log1p of continuous
FPKM-like values, as CSR and densified. ``--only`` restricts the run to some cases.
The script exits with status 1 if a kernel disagrees with the NumPy/SciPy result
beyond the tolerance, or if its one-thread or C-library result differs from the default one.
Only NumPy, SciPy and the standard library are used.
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import faulthandler
import gc
import hashlib
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
import scipy
import scipy.sparse as sp

from brenix_kernels import _core

SEED = 0
MAX_VALUE = 10.0  # max_value of both scaling functions
CSR_DENSITY = 0.05
SIZES = {
    # (dense rows, dense cols), (CSR rows, CSR cols), (unique-value rows, cols), (FPKM rows, cols),
    # (wide FPKM rows, cols): the last a real FPKM table's shape, fewer rows than two chunks
    "full": ((20_000, 2_000), (60_000, 8_000), (20_000, 2_000), (40_000, 1_000), (2_168, 47_192)),
    "quick": ((4_000, 500), (10_000, 4_000), (4_000, 500), (10_000, 1_000), (500, 12_000)),
}
WIDE_DENSITY = 0.16  # that table's share of nonzero values
LIBM_SAMPLE = 100_000  # values timed one ctypes call at a time for the libm estimate
# Seconds before a measurement is given up as hung: one child process, and one function
# and dtype in this process (its own timings plus its three child processes).
CHILD_TIME_LIMIT = 300
CASE_TIME_LIMIT = 1200

# Agreement with the NumPy/SciPy results: they sum in another order (and NumPy's
# variance is two-pass), so only the last bits may differ. float32 results also
# differ by the rounding of float32 squares and of the float32 output.
TOLERANCE = {"float64": (1e-9, 1e-12), "float32": (1e-5, 1e-6)}  # (rtol, atol)

FUNCTIONS = ("hvg_seurat_stats", "hvg_seurat_stats_sparse", "scale", "scale_sparse_data")
# (function, data set). "counts": log-normalised counts, whose values repeat within a cell;
# "gamma": log1p of gamma values, dense without zeros, every value distinct (imputed-like);
# "fpkm": log1p of continuous FPKM-like values, mostly distinct, as CSR and densified;
# "wide": the same kind of values densified, few cells and many genes.
CASES = [(f, "counts") for f in FUNCTIONS] + [
    ("hvg_seurat_stats", "gamma"),
    ("hvg_seurat_stats_sparse", "fpkm"),
    ("hvg_seurat_stats", "fpkm"),
    ("hvg_seurat_stats", "wide"),
]
# The Seurat kernels can be sent to the C library's expm1f and expm1 (with a memo of repeated
# values) instead of the vector ones: the "C lib" columns time that path, in a fresh process.
LIBRARY_PATH = {"BRENIX_VECTOR_EXPM1F": "off", "BRENIX_VECTOR_EXPM1": "off"}
DTYPES = ("float32", "float64")
OUTPUT_NAMES = {
    "hvg_seurat_stats": ("means", "dispersions"),
    "hvg_seurat_stats_sparse": ("means", "dispersions"),
    "scale": ("scaled", "mean", "std"),
    "scale_sparse_data": ("values", "mean", "std"),
}


# --------------------------------------------------------------------------- data


def make_dense(n_cells: int, n_genes: int, seed: int) -> np.ndarray:
    """Log-normalised negative-binomial counts, about 10% nonzero, as float64."""
    rng = np.random.default_rng(seed)
    gene_mean = rng.lognormal(mean=-2.8, sigma=1.5, size=n_genes)
    cell_size = rng.lognormal(mean=0.0, sigma=0.4, size=(n_cells, 1))
    r = 0.5  # negative-binomial shape: variance mu + mu^2 / r
    x = rng.negative_binomial(r, r / (r + gene_mean * cell_size)).astype(np.float64)
    per_cell = x.sum(axis=1, keepdims=True)
    per_cell[per_cell == 0] = 1.0
    x *= 1e4 / per_cell
    np.log1p(x, out=x)
    return x


def make_csr(n_cells: int, n_genes: int, density: float, seed: int):
    """A log-normalised CSR matrix built directly from its stored entries.

    Each cell stores a number of genes proportional to its size, drawn from a skewed
    gene popularity; duplicates are dropped, so columns are unique and sorted within
    each row. Stored values are nonzero negative-binomial counts, normalised per cell
    and log1p-transformed. Returns (indptr, indices, data) with int64 indices and
    float64 data.
    """
    rng = np.random.default_rng(seed)
    popularity = rng.lognormal(mean=0.0, sigma=1.0, size=n_genes)
    popularity /= popularity.sum()
    gene_mean = rng.lognormal(mean=-0.5, sigma=1.0, size=n_genes)
    cell_size = rng.lognormal(mean=0.0, sigma=0.4, size=n_cells)

    # Draw a little more than the target to make up for the duplicates dropped below:
    # k draws from `popularity` give about sum(1 - (1 - p)^k) distinct genes.
    k = density * n_genes
    distinct = np.sum(-np.expm1(k * np.log1p(-popularity))) / k
    per_row = rng.poisson(cell_size / cell_size.mean() * k / distinct)
    per_row = np.minimum(per_row, n_genes)
    rows = np.repeat(np.arange(n_cells, dtype=np.int64), per_row)
    cols = np.searchsorted(np.cumsum(popularity), rng.random(rows.size), side="right")
    keys = rows * n_genes + np.minimum(cols, n_genes - 1)
    keys.sort()
    keys = keys[np.concatenate(([True], keys[1:] != keys[:-1]))]
    rows, indices = np.divmod(keys, n_genes)
    del keys, cols

    indptr = np.zeros(n_cells + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n_cells), out=indptr[1:])
    r = 0.5
    mu = gene_mean[indices] * cell_size[rows]
    counts = 1.0 + rng.negative_binomial(r, r / (r + mu))
    per_cell = np.bincount(rows, weights=counts, minlength=n_cells)
    data = np.log1p(counts / per_cell[rows] * 1e4)
    return indptr, indices.astype(np.int64), data


def make_gamma(n_cells: int, n_genes: int, seed: int) -> np.ndarray:
    """log1p of gamma values with a shape and scale per gene: no zeros, no repeats."""
    rng = np.random.default_rng(seed)
    shape = rng.uniform(0.5, 3.0, n_genes)
    scale = rng.lognormal(mean=0.0, sigma=1.0, size=n_genes)
    return np.log1p(rng.gamma(shape, scale, size=(n_cells, n_genes)))


def make_fpkm_csr(n_cells: int, n_genes: int, density: float, seed: int):
    """The stored entries of make_csr with continuous values: log1p of FPKM-like values
    (a log-normal level per gene times log-normal noise) printed with six significant
    digits, as expression tables are: about 70% of the float32 values are distinct."""
    indptr, indices, _ = make_csr(n_cells, n_genes, density, seed)
    rng = np.random.default_rng(seed + 100)
    level = rng.lognormal(mean=1.0, sigma=2.0, size=n_genes)
    fpkm = level[indices] * rng.lognormal(0.0, 1.0, indices.size)
    unit = 10.0 ** (np.floor(np.log10(fpkm)) - 5)
    return indptr, indices, np.log1p(np.round(fpkm / unit) * unit)


def save_csr(directory: Path, name: str, indptr, indices, data) -> None:
    np.save(directory / f"csr_{name}_indptr.npy", indptr)
    np.save(directory / f"csr_{name}_indices.npy", indices)
    np.save(directory / f"csr_{name}_float64.npy", data)
    np.save(directory / f"csr_{name}_float32.npy", data.astype(np.float32))


def save_dense(directory: Path, name: str, x: np.ndarray) -> None:
    np.save(directory / f"dense_{name}_float64.npy", x)
    np.save(directory / f"dense_{name}_float32.npy", x.astype(np.float32))


def generate(directory: Path, quick: bool) -> dict:
    """Writes the inputs to `directory` as .npy files and returns their description."""
    dense, csr, gamma, fpkm, wide = SIZES["quick" if quick else "full"]
    meta = {"dense": {}, "csr": {}}
    x = make_dense(*dense, SEED)
    save_dense(directory, "counts", x)
    meta["dense"]["counts"] = {"shape": list(dense), "nonzero": np.count_nonzero(x) / x.size}
    x = make_gamma(*gamma, SEED + 2)
    save_dense(directory, "gamma", x)
    meta["dense"]["gamma"] = {"shape": list(gamma), "nonzero": np.count_nonzero(x) / x.size}
    del x
    for name, (rows, cols), make in [("counts", csr, make_csr), ("fpkm", fpkm, make_fpkm_csr)]:
        indptr, indices, data = make(rows, cols, CSR_DENSITY, SEED + 1)
        save_csr(directory, name, indptr, indices, data)
        distinct = np.unique(data.astype(np.float32)).size
        meta["csr"][name] = {"shape": [rows, cols], "nnz": int(data.size), "distinct": distinct}
        if name == "fpkm":
            X = sp.csr_array((data, indices, indptr), shape=(rows, cols)).toarray()
            save_dense(directory, name, X)
            meta["dense"][name] = {"shape": [rows, cols], "nonzero": data.size / X.size}
            del X
    indptr, indices, data = make_fpkm_csr(*wide, WIDE_DENSITY, SEED + 3)
    x = sp.csr_array((data, indices, indptr), shape=wide).toarray()
    save_dense(directory, "wide", x)
    meta["dense"]["wide"] = {"shape": list(wide), "nonzero": data.size / x.size}
    return meta


@dataclass
class Inputs:
    x: np.ndarray | None = None  # dense matrix
    indices: np.ndarray | None = None  # CSR stored entries
    data: np.ndarray | None = None
    n_rows: int = 0
    n_cols: int = 0
    X: sp.csr_array | None = None  # the same CSR matrix for SciPy

    @property
    def elements(self) -> int:
        return self.x.size if self.x is not None else self.data.size


def is_sparse(function: str) -> bool:
    return function.endswith("_sparse") or function == "scale_sparse_data"


def load(directory: Path, function: str, name: str, dtype: str) -> Inputs:
    if not is_sparse(function):
        x = np.load(directory / f"dense_{name}_{dtype}.npy")
        return Inputs(x=x, n_rows=x.shape[0], n_cols=x.shape[1])
    meta = json.loads((directory / "meta.json").read_text())
    n_rows, n_cols = meta["csr"][name]["shape"]
    indptr = np.load(directory / f"csr_{name}_indptr.npy")
    indices = np.load(directory / f"csr_{name}_indices.npy")
    data = np.load(directory / f"csr_{name}_{dtype}.npy")
    X = sp.csr_array((data, indices, indptr), shape=(n_rows, n_cols))
    return Inputs(indices=indices, data=data, n_rows=n_rows, n_cols=n_cols, X=X)


def small(inputs: Inputs) -> Inputs:
    """A few rows or entries of the same kind, for warming a fresh process up."""
    if inputs.x is not None:
        x = inputs.x[:64]
        return Inputs(x=x, n_rows=x.shape[0], n_cols=x.shape[1])
    m = int(inputs.X.indptr[64])
    X = sp.csr_array(
        (inputs.data[:m], inputs.indices[:m], inputs.X.indptr[:65]), shape=(64, inputs.n_cols)
    )
    return Inputs(
        indices=inputs.indices[:m], data=inputs.data[:m], n_rows=64, n_cols=inputs.n_cols, X=X
    )


# ----------------------------------------------------------- the two ways to compute


def kernel_call(function: str, inp: Inputs):
    if function == "hvg_seurat_stats":
        return _core.hvg_seurat_stats(inp.x)
    if function == "hvg_seurat_stats_sparse":
        return _core.hvg_seurat_stats_sparse(inp.indices, inp.data, inp.n_rows, inp.n_cols)
    if function == "scale":
        return _core.scale(inp.x, max_value=MAX_VALUE, return_mean_std=True)
    return _core.scale_sparse_data(
        inp.indices, inp.data, inp.n_rows, inp.n_cols, max_value=MAX_VALUE
    )


def plain_read(inp: Inputs):
    """The distance to the machine: one plain read of the kernel's input, as NumPy does it on one
    thread. Dense: ``x.sum(axis=0)``; CSR: a sum of ``data`` and a reduction of ``indices``."""
    if inp.x is not None:
        return inp.x.sum(axis=0)
    return inp.data.sum(dtype=np.float64), inp.indices.max()


def seurat_finish(mean: np.ndarray, var: np.ndarray):
    mean[mean == 0] = 1e-12
    dispersion = var / mean
    dispersion[dispersion == 0] = np.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        dispersion = np.log(dispersion)
    return np.log1p(mean), dispersion


def numpy_hvg(inp: Inputs):
    e = np.expm1(inp.x)  # in x's dtype: float32 stays float32
    mean = e.mean(axis=0, dtype=np.float64)
    var = e.var(axis=0, ddof=1, dtype=np.float64)
    return seurat_finish(mean, var)


# SciPy's mean sums in the data's dtype whatever its `dtype` argument, so float32
# matrices are widened first: the sums are then float64, as the kernels' are.


def scipy_hvg(inp: Inputs):
    e = inp.X.expm1()  # in the data's dtype
    n = e.shape[0]
    mean = e.astype(np.float64, copy=False).mean(axis=0)
    squares = e.multiply(e)  # in the data's dtype, as the kernel squares
    mean_sq = squares.astype(np.float64, copy=False).mean(axis=0)
    var = (mean_sq - mean * mean) * (n / (n - 1))
    return seurat_finish(mean, var)


def numpy_scale(inp: Inputs):
    x = inp.x
    mean = x.mean(axis=0, dtype=np.float64)
    std = x.std(axis=0, ddof=1, dtype=np.float64)
    std[std == 0] = 1.0
    scaled = x - mean  # float64 for both input types
    scaled /= std
    np.clip(scaled, -MAX_VALUE, MAX_VALUE, out=scaled)
    if x.dtype == np.float32:
        scaled = scaled.astype(np.float32)
    return scaled, mean, std


def scipy_scale(inp: Inputs):
    X = inp.X
    n = X.shape[0]
    mean = X.astype(np.float64, copy=False).mean(axis=0)
    mean_sq = X.multiply(X).astype(np.float64, copy=False).mean(axis=0)
    std = np.sqrt((mean_sq - mean * mean) * (n / (n - 1)))
    std[std == 0] = 1.0
    values = X.data / std[X.indices]
    np.minimum(values, MAX_VALUE, out=values)
    if X.data.dtype == np.float32:
        values = values.astype(np.float32)
    return values, mean, std


REFERENCE = {
    "hvg_seurat_stats": numpy_hvg,
    "hvg_seurat_stats_sparse": scipy_hvg,
    "scale": numpy_scale,
    "scale_sparse_data": scipy_scale,
}


def call(way: str, function: str, inp: Inputs):
    return kernel_call(function, inp) if way == "kernel" else REFERENCE[function](inp)


def start_pool() -> None:
    """Creates the worker pool with a one-chunk call and lets its threads settle,
    so that thread start-up stays out of the measurements."""
    _core.hvg_seurat_stats(np.zeros((1, 1)))
    time.sleep(0.2)


# ---------------------------------------------------------------------- measuring


def median_time(fn: Callable[[], object], repeats: int):
    """Median wall-clock seconds of `repeats` calls after one warm-up; also its result."""
    result = fn()
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def proc_status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not found in /proc/self/status")


def reset_peak_rss() -> bool:
    """Resets VmHWM to the current resident size; False where that is not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    return proc_status_kb("VmHWM") <= proc_status_kb("VmRSS") + 256


def result_digest(result) -> str:
    h = hashlib.sha256()
    for a in result if isinstance(result, tuple) else (result,):
        h.update(str(a.dtype).encode())
        h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()


def worker(job: dict) -> dict:
    """Runs in a fresh child process: one memory or one-thread timing measurement."""
    directory = Path(job["dir"])
    inp = load(directory, job["function"], job["data"], job["dtype"])
    if job["way"] == "kernel":
        start_pool()
    call(job["way"], job["function"], small(inp))  # NumPy C API, result type, lazy imports
    if job["mode"] == "memory":
        gc.collect()
        exact = reset_peak_rss()
        before = proc_status_kb("VmRSS")
        result = call(job["way"], job["function"], inp)
        peak = proc_status_kb("VmHWM")
        del result
        return {"extra_mb": (peak - before) / 1024, "exact": exact}
    seconds, result = median_time(lambda: call(job["way"], job["function"], inp), job["repeats"])
    return {"seconds": seconds, "digest": result_digest(result)}


def run_worker(job: dict, env: dict | None = None) -> dict:
    try:
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--worker", json.dumps(job)],
            capture_output=True,
            text=True,
            env=env,
            timeout=CHILD_TIME_LIMIT,
        )
    except subprocess.TimeoutExpired:
        raise SystemExit(f"benchmark child process did not finish in {CHILD_TIME_LIMIT} s: {job}")
    if proc.returncode != 0:
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit(f"benchmark child process failed for {job}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def compare(kernel_result, reference, function: str, dtype: str):
    """(agrees, max relative difference, description of the first disagreement)."""
    rtol, atol = TOLERANCE[dtype]
    agrees, max_rel, worst = True, 0.0, ""
    for name, a, b in zip(OUTPUT_NAMES[function], kernel_result, reference, strict=True):
        a = np.asarray(a, dtype=np.float64)
        b = np.asarray(b, dtype=np.float64)
        if a.shape != b.shape:
            return False, np.inf, f"{name}: shape {a.shape} != {b.shape}"
        finite = np.isfinite(a) & np.isfinite(b)
        diff = np.abs(a[finite] - b[finite])
        scale = np.maximum(np.abs(a[finite]), np.abs(b[finite]))
        with np.errstate(invalid="ignore", divide="ignore"):
            rel = np.where(diff == 0, 0.0, diff / scale)
        if rel.size:
            max_rel = max(max_rel, float(rel.max()))
        close = np.isclose(a, b, rtol=rtol, atol=atol, equal_nan=True)
        if not close.all() and agrees:
            agrees = False
            bad = np.argwhere(~close)
            i = tuple(int(k) for k in bad[0])
            worst = (
                f"{name}: {bad.shape[0]} values differ, first at {i}: "
                f"kernel {float(a[i])!r}, NumPy/SciPy {float(b[i])!r}"
            )
    return agrees, max_rel, worst


def libm_expm1_estimate(sample: np.ndarray, rounds: int = 5, batch: int = 1000):
    """Estimated cost of one C-library expm1 (expm1f for float32) call, in seconds.

    Times Python loops of ctypes calls over `sample` and subtracts the same loops
    calling fabs (fabsf), which costs next to nothing itself: what remains is the
    function's own cost. The ctypes overhead is some fifty times larger than that,
    so each batch of values is timed `rounds` times, alternating the two functions,
    and the fastest time of each is kept. Returns (seconds per call, ctypes
    overhead per call).
    """
    libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
    ctype = ctypes.c_float if sample.dtype == np.float32 else ctypes.c_double
    suffix = "f" if sample.dtype == np.float32 else ""
    funcs = []
    for name in ("expm1", "fabs"):
        f = getattr(libm, name + suffix)
        f.restype, f.argtypes = ctype, [ctype]
        funcs.append(f)
    values = [float(v) for v in sample]
    total = [0.0, 0.0]
    for first in range(0, len(values), batch):
        part = values[first : first + batch]
        best = [np.inf, np.inf]
        for _ in range(rounds):
            for k, f in enumerate(funcs):
                start = time.perf_counter()
                for v in part:
                    f(v)
                best[k] = min(best[k], time.perf_counter() - start)
        total = [total[0] + best[0], total[1] + best[1]]
    return max(total[0] - total[1], 0.0) / len(values), total[1] / len(values)


# --------------------------------------------------------------------------- report


def pool_size() -> tuple[int, str]:
    """The worker-pool size a process started with this environment uses."""

    def parse(name: str) -> int | None:
        value = os.environ.get(name)
        if value is None:
            return None
        digits = value[1:] if value.startswith("+") else value
        return int(digits) if digits.isdigit() and digits.isascii() else None

    n = parse("RAYON_NUM_THREADS")
    if n is not None:
        return (n, "RAYON_NUM_THREADS") if n > 0 else (os.cpu_count() or 1, "processor count")
    n = parse("RAYON_RS_NUM_CPUS")
    if n is not None and n > 0:
        return n, "RAYON_RS_NUM_CPUS"
    return os.cpu_count() or 1, "processor count"


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def ms(seconds: float) -> str:
    return f"{1e3 * seconds:.1f}"


def print_table(header: tuple[str, ...], rows: list[tuple[str, ...]]) -> None:
    """Two left-aligned text columns, then right-aligned figures."""
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]

    def line(cells):
        return "  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in
                         enumerate(zip(cells, widths)))  # fmt: skip

    print(line(header))
    print(line(["-" * w for w in widths]))
    for r in rows:
        print(line(r))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes (well under a minute)")
    parser.add_argument("--repeats", type=int, default=5, help="timed calls after the warm-up")
    parser.add_argument(
        "--only", help="only the cases whose 'function/data' contains this, e.g. 'gamma' or 'hvg'"
    )
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return 0

    started = time.perf_counter()
    threads, source = pool_size()
    start_pool()
    print(f"brenix_kernels benchmark ({'quick' if args.quick else 'full'} size)")
    print(f"  CPU: {cpu_model()}, {os.cpu_count()} processors online")
    print(f"  threads: {threads} (from {source})")
    print(
        f"  Python {platform.python_version()}, NumPy {np.__version__}, SciPy {scipy.__version__}"
    )
    for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        value = os.environ.get(name)
        print(f"  {name}: {'set to ' + repr(value) if value is not None else 'not set'}")

    with tempfile.TemporaryDirectory(prefix="brenix-bench-") as tmp:
        directory = Path(tmp)
        t0 = time.perf_counter()
        meta = generate(directory, args.quick)
        (directory / "meta.json").write_text(json.dumps(meta))
        counts, gamma, fpkm = meta["dense"]["counts"], meta["dense"]["gamma"], meta["csr"]["fpkm"]
        wide = meta["dense"]["wide"]
        csr = meta["csr"]["counts"]
        print(
            f"  data (seed {SEED}, generated in {time.perf_counter() - t0:.1f} s), int64 indices:\n"
            f"    counts: dense {counts['shape'][0]:,} x {counts['shape'][1]:,}"
            f" ({100 * counts['nonzero']:.1f}% nonzero); CSR {csr['shape'][0]:,} x"
            f" {csr['shape'][1]:,}, {csr['nnz']:,} stored entries, {csr['distinct']:,} distinct"
            " float32 values\n"
            f"    gamma: dense {gamma['shape'][0]:,} x {gamma['shape'][1]:,}"
            f" ({100 * gamma['nonzero']:.1f}% nonzero, values distinct)\n"
            f"    fpkm: CSR {fpkm['shape'][0]:,} x {fpkm['shape'][1]:,}, {fpkm['nnz']:,} stored"
            f" entries, {fpkm['distinct']:,} distinct float32 values; also densified\n"
            f"    wide: FPKM-like values densified, {wide['shape'][0]:,} x {wide['shape'][1]:,}"
            f" ({100 * wide['nonzero']:.1f}% nonzero)"
        )
        print(f"  median of {args.repeats} runs after one warm-up; max_value={MAX_VALUE:g}\n")

        rows, failures, kernel_times, single_times = [], [], {}, {}
        one_thread = dict(os.environ, RAYON_NUM_THREADS="1")
        library_path = dict(os.environ, **LIBRARY_PATH)
        cases = [c for c in CASES if args.only is None or args.only in f"{c[0]}/{c[1]}"]
        for function, name in cases:
            for dtype in DTYPES:
                sys.stdout.flush()
                print(f"  measuring {function} {name} {dtype} ...", file=sys.stderr, flush=True)
                # A call that never returns ends the run with a traceback instead.
                faulthandler.dump_traceback_later(CASE_TIME_LIMIT, exit=True)
                inp = load(directory, function, name, dtype)
                t_kernel, kernel_result = median_time(
                    lambda: kernel_call(function, inp), args.repeats
                )
                t_numpy, reference = median_time(
                    lambda: REFERENCE[function](inp), args.repeats
                )
                t_read, _ = median_time(lambda: plain_read(inp), args.repeats)
                agrees, max_rel, worst = compare(kernel_result, reference, function, dtype)
                label = f"{function} {name} {dtype}"
                if not agrees:
                    failures.append(f"{label} disagrees with NumPy/SciPy: {worst}")
                digest = result_digest(kernel_result)
                elements = inp.elements
                del inp, kernel_result, reference
                gc.collect()

                job = {
                    "dir": tmp, "function": function, "data": name, "dtype": dtype,
                    "repeats": args.repeats,
                }  # fmt: skip
                mem_kernel = run_worker(dict(job, mode="memory", way="kernel"))
                mem_numpy = run_worker(dict(job, mode="memory", way="numpy"))
                single = run_worker(dict(job, mode="time", way="kernel"), env=one_thread)
                if single["digest"] != digest:
                    failures.append(f"{label}: the one-thread result differs")
                library = None
                if function.startswith("hvg"):
                    library = run_worker(dict(job, mode="time", way="kernel"), env=library_path)
                    if library["digest"] != digest:
                        failures.append(f"{label}: the C-library expm1 path gives other bits")
                faulthandler.cancel_dump_traceback_later()
                kernel_times[function, name, dtype] = t_kernel
                single_times[function, name, dtype] = single["seconds"]
                rows.append(
                    (
                        function,
                        name,
                        dtype,
                        ms(t_kernel),
                        ms(t_numpy),
                        f"{t_numpy / t_kernel:.1f}x",
                        f"{t_kernel / t_read:.2f}",
                        ms(library["seconds"]) if library else "-",
                        f"{library['seconds'] / t_kernel:.1f}x" if library else "-",
                        f"{1e9 * t_kernel / elements:.2f}",
                        f"{mem_kernel['extra_mb']:.1f}" + ("" if mem_kernel["exact"] else "*"),
                        f"{mem_numpy['extra_mb']:.1f}" + ("" if mem_numpy["exact"] else "*"),
                        ms(single["seconds"]),
                        f"{single['seconds'] / t_kernel:.2f}",
                        f"{max_rel:.1e}",
                        "yes" if agrees else "NO",
                    )
                )

        header = (
            "function", "data", "dtype", "kernel ms", "NumPy ms", "speed-up", "vs read", "C lib ms",
            "vs C lib", "ns/elem", "kernel MB", "NumPy MB", "1-thr ms", "scaling",
            "max rel diff", "agree",
        )  # fmt: skip
        print_table(header, rows)
        print(
            f"\n  kernel ms / NumPy ms: median wall-clock time with {threads} threads / of the"
            " NumPy (dense) or SciPy (CSR) way; speed-up = NumPy ms / kernel ms\n"
            "  vs read: kernel ms / the time of one plain read of its input in the same run"
            " (dense: x.sum(axis=0); CSR: data.sum() and indices.max()), one NumPy thread\n"
            "  C lib ms: the Seurat kernel with the C library's expm1f/expm1 and a memo instead of"
            " the vector ones (BRENIX_VECTOR_EXPM1F=off BRENIX_VECTOR_EXPM1=off, fresh process);"
            " vs C lib = C lib ms / kernel ms\n"
            "  ns/elem: kernel time per matrix element (dense) or per stored entry (CSR)\n"
            "  kernel MB / NumPy MB: peak extra resident memory (MiB) of one call, results"
            " included, in a fresh process\n"
            "  1-thr ms: kernel time with RAYON_NUM_THREADS=1 (fresh process);"
            " scaling = 1-thr ms / kernel ms\n"
            "  max rel diff: largest |kernel - NumPy| / max(|kernel|, |NumPy|) over all"
            " outputs; agree: np.isclose with"
            f" rtol/atol {TOLERANCE['float64']} (float64), {TOLERANCE['float32']} (float32)"
        )
        if any(r[10].endswith("*") or r[11].endswith("*") for r in rows):
            print("  * the high-water mark could not be reset: the figure may include loading")

        print("\nYardsticks (same run)")
        for dtype in DTYPES:
            if ("scale", "counts", dtype) not in kernel_times:
                continue
            x = np.load(directory / f"dense_counts_{dtype}.npy")
            t_copy, _ = median_time(x.copy, args.repeats)
            print(
                f"  x.copy() dense {dtype}: {ms(t_copy)} ms ({1e9 * t_copy / x.size:.2f} ns/elem)"
                f"; scale {dtype} kernel / x.copy() = "
                f"{kernel_times['scale', 'counts', dtype] / t_copy:.2f}"
            )
            del x
        for dtype in DTYPES:
            if ("hvg_seurat_stats_sparse", "counts", dtype) not in kernel_times:
                continue
            data = np.load(directory / f"csr_counts_{dtype}.npy")
            t_expm1, _ = median_time(lambda: np.expm1(data), args.repeats)
            sample = np.random.default_rng(SEED).choice(data, size=min(LIBM_SAMPLE, data.size))
            per_call, overhead = libm_expm1_estimate(sample)
            one = single_times["hvg_seurat_stats_sparse", "counts", dtype]
            default = kernel_times["hvg_seurat_stats_sparse", "counts", dtype]
            name = "expm1f" if dtype == "float32" else "expm1"
            print(
                f"  expm1 over the {data.size:,} CSR {dtype} values: np.expm1 {ms(t_expm1)} ms"
                f" ({1e9 * t_expm1 / data.size:.2f} ns/entry, one thread); C library {name}"
                f" about {1e9 * per_call:.1f} ns/call, so {ms(per_call * data.size)} ms on one"
                " thread\n"
                f"    (estimate: {sample.size:,} ctypes calls minus as many calls of fabs, whose"
                f" ctypes overhead, {1e9 * overhead:.0f} ns/call, dwarfs it)\n"
                f"    hvg_seurat_stats_sparse {dtype}: {1e9 * one / data.size:.2f} ns/entry on"
                f" one thread, {1e9 * default / data.size:.2f} ns/entry on {threads}"
            )
            del data

    print(f"\nTotal time {time.perf_counter() - started:.0f} s")
    if failures:
        print("\nFAILED:", file=sys.stderr)
        for f in failures:
            print("  " + f, file=sys.stderr)
        return 1
    print(
        "All kernel results agree with NumPy/SciPy, are identical with one thread and,"
        " for the Seurat kernels, with the C library's expm1."
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
