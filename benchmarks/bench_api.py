"""Benchmark the public functions on SciPy matrices as users hold them, against the plain way.

Run with ``python benchmarks/bench_api.py`` (a CSR matrix of 100,000 cells x 5,000 genes with
40 million stored float32 entries, int32 indices as SciPy makes them) or with ``--small`` (or
``--quick``: 20,000 x 2,000, 3.2 million entries). Every row times the public function and the
way to get the same bits without it, in the same run, on the same pool size (``--threads``,
default 2):

- int32 CSR: ``hvg_seurat_stats(X)`` against ``X.indices.astype(np.int64)`` and ``_core``;
- CSC: ``hvg_seurat_stats(X)`` against ``X.tocsr()``, the int64 copy and ``_core``;
- 50 groups: ``hvg_seurat_stats(X, groups=codes)`` against 50 row subsets ``X[codes == k]``,
  each through ``_core``, and against one ``_core`` pass over all rows (int64 indices, so that
  only the grouping differs);
- sparse to dense ``scale(X)`` (centred, max_value 10) against ``_core.scale(X.toarray())``.

Child processes load the matrix from .npy files and warm up on a few rows. One per way measures
the peak extra resident memory of one call (``VmHWM`` after resetting it through
``/proc/self/clear_refs``: native allocations count); one per case then times its ways in turns,
``--repeats`` calls each after a warm-up, and reports the medians. The two ways must give the same
bits, or the script exits with status 1.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import scipy.sparse as sp

from bench import proc_status_kb, reset_peak_rss

SEED = 0
MAX_VALUE = 10.0
N_GROUPS = 50
SIZES = {"full": (100_000, 5_000, 40_000_000), "small": (20_000, 2_000, 3_200_000)}
CHILD_TIME_LIMIT = 600

# case: (the matrix, the ways timed, targets). The targets bound the public function's time over
# the plain way's, over one ungrouped pass (groups), and its peak extra memory over its result's.
CASES = {
    "int32 CSR hvg": ("csr32", ["public", "plain"], {"time": 0.7}),
    "CSC hvg": ("csc", ["public", "plain"], {"time": 1 / 5}),
    f"{N_GROUPS} groups hvg": ("csr64", ["public", "plain", "ungrouped"], {"time": 1 / 3, "pass": 1.3}),
    "sparse -> dense scale": ("csr32", ["public", "plain"], {"time": 0.6, "memory": 1.1}),
}


# --- data -------------------------------------------------------------------------------------


def generate(directory: Path, small: bool) -> dict:
    """A log-normalised-looking CSR matrix: distinct sorted columns per row, float32 values."""
    n_rows, n_cols, target = SIZES["small" if small else "full"]
    rng = np.random.default_rng(SEED)
    # Uniform columns: k draws per row give n_cols * (1 - (1 - 1/n_cols)^k) distinct ones.
    density = target / (n_rows * n_cols)
    draws = int(n_rows * np.log1p(-density) / np.log1p(-1 / n_cols))
    keys = rng.integers(0, n_rows * n_cols, draws, dtype=np.int64)
    keys = np.unique(keys)
    rows, indices = np.divmod(keys, n_cols)
    del keys
    indptr = np.zeros(n_rows + 1, np.int64)
    np.cumsum(np.bincount(rows, minlength=n_rows), out=indptr[1:])
    del rows
    data = np.log1p(rng.gamma(1.5, 20.0, indices.size)).astype(np.float32)
    X = sp.csr_matrix((data, indices.astype(np.int32), indptr.astype(np.int32)),
                      shape=(n_rows, n_cols))
    C = X.tocsc()
    for name, M in (("csr", X), ("csc", C)):
        for part in ("indptr", "indices", "data"):
            np.save(directory / f"{name}_{part}.npy", getattr(M, part))
    np.save(directory / "codes.npy", rng.integers(0, N_GROUPS, n_rows))
    return {"shape": [n_rows, n_cols], "nnz": int(X.nnz), "index_dtype": str(X.indices.dtype)}


def load(directory: Path, kind: str, shape):
    name = "csc" if kind == "csc" else "csr"
    indptr, indices, data = (np.load(directory / f"{name}_{p}.npy") for p in ("indptr", "indices", "data"))
    cls = sp.csc_matrix if kind == "csc" else sp.csr_matrix
    X = cls((data, indices, indptr), shape=tuple(shape), copy=False)
    if kind == "csr64":
        X.indices, X.indptr = indices.astype(np.int64), indptr.astype(np.int64)
    return X


# --- the ways ---------------------------------------------------------------------------------


def core_hvg(X):
    from brenix_kernels import _core

    return _core.hvg_seurat_stats_sparse(X.indices.astype(np.int64, copy=False), X.data, *X.shape)


def way(case: str, name: str, X, codes):
    import brenix_kernels as bk
    from brenix_kernels import _core

    if case == "sparse -> dense scale":
        if name == "public":
            return lambda: bk.scale(X, max_value=MAX_VALUE, return_mean_std=True)
        return lambda: _core.scale(X.toarray(), max_value=MAX_VALUE, return_mean_std=True)
    if case.endswith("groups hvg"):
        if name == "public":
            return lambda: bk.hvg_seurat_stats(X, groups=codes)
        if name == "ungrouped":
            return lambda: core_hvg(X)

        def subsets():
            parts = [core_hvg(X[codes == k]) for k in range(N_GROUPS)]
            return tuple(np.stack([p[i] for p in parts]) for i in range(2))
        return subsets
    if name == "public":
        return lambda: bk.hvg_seurat_stats(X)
    return lambda: core_hvg(X.tocsr() if X.format == "csc" else X)


def digest(result) -> str:
    h = hashlib.sha256()
    for a in result:
        h.update(str(a.dtype).encode() + np.ascontiguousarray(a).tobytes())
    return h.hexdigest()


def worker(job: dict) -> dict:
    """One child process: the peak memory of one way's call, or the times of all of a case's ways.

    The ways of a case are timed in turns, call after call in one process, so that a change in
    the machine's load during the run weighs on each of them alike.
    """
    directory = Path(job["dir"])
    X = load(directory, job["kind"], job["shape"])
    codes = np.load(directory / "codes.npy")
    few = X[:64] if X.format == "csr" else X[:, :64]
    for w in job["ways"]:  # thread pool, NumPy C API, lazy imports
        way(job["case"], w, few, codes[:64] if X.format == "csr" else codes)()
    fns = {w: way(job["case"], w, X, codes) for w in job["ways"]}
    if job["mode"] == "memory":
        (fn,) = fns.values()
        exact = reset_peak_rss()
        before = proc_status_kb("VmRSS")
        result = fn()
        extra_mb = (proc_status_kb("VmHWM") - before) / 1024
        return {"digest": digest(result), "extra_mb": extra_mb, "exact": exact,
                "result_mb": sum(a.nbytes for a in result) / 2**20}
    times = {w: [] for w in fns}
    for _ in range(job["repeats"] + 1):  # the first turn warms up
        for w, fn in fns.items():
            gc.collect()
            start = time.perf_counter()
            fn()
            times[w].append(time.perf_counter() - start)
    return {w: statistics.median(t[1:]) for w, t in times.items()}


def run_worker(job: dict, threads: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    try:
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", json.dumps(job)],
                              capture_output=True, text=True, env=env, timeout=CHILD_TIME_LIMIT)
    except subprocess.TimeoutExpired:
        raise SystemExit(f"benchmark child process did not finish in {CHILD_TIME_LIMIT} s: {job}")
    if proc.returncode != 0:
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit(f"benchmark child process failed for {job}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- the table --------------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", "--quick", action="store_true", help="20,000 x 2,000 (seconds)")
    parser.add_argument("--threads", type=int, default=2, help="worker pool size (default 2)")
    parser.add_argument("--repeats", type=int, default=5, help="timed calls after the measured one")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return 0

    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="brenix-bench-api-") as tmp:
        t0 = time.perf_counter()
        meta = generate(Path(tmp), args.small)
        n_rows, n_cols = meta["shape"]
        print(f"brenix_kernels public functions ({'small' if args.small else 'full'} size), "
              f"{args.threads} threads")
        print(f"  CSR {n_rows:,} x {n_cols:,}, {meta['nnz']:,} stored float32 entries, "
              f"{meta['index_dtype']} indices (generated in {time.perf_counter() - t0:.1f} s); "
              f"{N_GROUPS} groups of random rows")
        print(f"  median of {args.repeats} calls after a warm-up, the ways of a case in turns in "
              "one process; memory of one call, each way in its own process\n")
        rows, failures = [], []
        for case, (kind, ways, targets) in CASES.items():
            print(f"  measuring {case} ...", file=sys.stderr, flush=True)
            job = {"dir": tmp, "kind": kind, "shape": meta["shape"], "case": case,
                   "repeats": args.repeats}
            got = {w: run_worker(dict(job, mode="memory", ways=[w]), args.threads) for w in ways}
            for w, seconds in run_worker(dict(job, mode="time", ways=ways), args.threads).items():
                got[w]["seconds"] = seconds
            public, plain = got["public"], got["plain"]
            if public["digest"] != plain["digest"]:
                failures.append(f"{case}: the public result differs from the plain one")
            measured = {"time": public["seconds"] / plain["seconds"],
                        "memory": public["extra_mb"] / public["result_mb"]}
            if "ungrouped" in got:
                measured["pass"] = public["seconds"] / got["ungrouped"]["seconds"]
            met = all(measured[k] <= v for k, v in targets.items())
            rows.append((
                case, f"{1e3 * public['seconds']:.0f}", f"{1e3 * plain['seconds']:.0f}",
                f"{1e3 * got['ungrouped']['seconds']:.0f}" if "ungrouped" in got else "-",
                f"{measured['time']:.2f}", f"{measured['pass']:.2f}" if "pass" in measured else "-",
                f"{public['extra_mb']:.0f}" + ("" if public["exact"] else "*"),
                f"{plain['extra_mb']:.0f}" + ("" if plain["exact"] else "*"),
                f"{public['result_mb']:.0f}",
                f"{measured['memory']:.2f}" if "memory" in targets else "-",
                ", ".join(f"{k} <= {v:.2f}" for k, v in targets.items()), "yes" if met else "NO"))

    header = ("case", "public ms", "plain ms", "1 pass ms", "time", "pass", "public MB",
              "plain MB", "result MB", "memory", "targets", "met")
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, ["-" * w for w in widths], *rows]:
        print("  " + "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
    print("\n  public ms / plain ms: median time of the public function / of the plain way: "
          "astype(int64) + _core; tocsr() + astype(int64) + _core;\n"
          f"    {N_GROUPS} subsets X[codes == k] + _core; toarray() + _core.scale."
          " time = public ms / plain ms\n"
          "  1 pass ms: _core on all rows, ungrouped (int64 indices); pass = public ms / 1 pass ms\n"
          "  MB: peak extra resident memory (MiB) of one call, result included; "
          "memory = public MB / result MB")
    if any("*" in r[6] + r[7] for r in rows):
        print("  * the high-water mark could not be reset: the figure may include loading")
    print(f"\nTotal time {time.perf_counter() - started:.0f} s")
    if failures:
        print("\nFAILED:\n  " + "\n  ".join(failures), file=sys.stderr)
        return 1
    print("Every public result has the bits of the plain way's.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
