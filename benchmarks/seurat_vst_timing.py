"""Time R Seurat's vst selection once on bench_selection.py's matrix, and the package beside it.

Run with ``python benchmarks/seurat_vst_timing.py`` (60,000 cells x 15,000 genes, about 72
million stored counts; ``--quick``: 12,000 x 5,000). It needs ``Rscript`` with the Seurat and
Matrix packages (Debian: ``apt-get install r-cran-seurat``), and is not part of ``make bench``:
Seurat takes minutes on the full matrix.

The matrix is written as raw CSR arrays to a temporary directory; ``seurat_vst_timing.R`` reads
them into a genes x cells dgCMatrix and times ``FindVariableFeatures(selection.method = "vst")``
and the ordering of the top ``--n-top`` genes, on one thread (R's own, with OpenMP and BLAS held
to one). Seurat's statistics are then compared with the plain NumPy way of bench_selection.py
and, where the package has it, with ``vst_stats``; and the package's ``variable_genes`` is timed
on ``--threads`` threads (default 1), best of ``--repeats`` calls.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bench_selection import N_TOP, SIZES, best_time, generate, plain_stats, relative_difference

HERE = Path(__file__).resolve().parent
R_TIME_LIMIT = 3600


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", "--quick", action="store_true", help="12,000 x 5,000")
    parser.add_argument("--threads", type=int, default=1, help="the package's pool size (default 1)")
    parser.add_argument("--repeats", type=int, default=3, help="the package's timed calls")
    parser.add_argument("--n-top", type=int, default=N_TOP)
    args = parser.parse_args(argv)
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)  # before the pool's first use
    if shutil.which("Rscript") is None:
        raise SystemExit("Rscript not found: this needs R with Seurat (apt-get install r-cran-seurat)")
    import brenix_kernels as bk

    n_cells, n_genes, target = SIZES["small" if args.small else "full"]
    X = generate(n_cells, n_genes, target)
    with tempfile.TemporaryDirectory(prefix="brenix-seurat-vst-") as tmp:
        directory = Path(tmp)
        (directory / "shape.txt").write_text(f"{n_cells} {n_genes} {X.nnz}\n")
        X.indptr.astype("<i4").tofile(directory / "indptr.bin")
        X.indices.astype("<i4").tofile(directory / "indices.bin")
        X.data.astype("<f4").tofile(directory / "data.bin")
        env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
        print(f"  running R Seurat on {n_cells:,} x {n_genes:,} ...", file=sys.stderr, flush=True)
        proc = subprocess.run(["Rscript", str(HERE / "seurat_vst_timing.R"), tmp, str(args.n_top)],
                              capture_output=True, text=True, env=env, timeout=R_TIME_LIMIT)
        if proc.returncode != 0:
            sys.stderr.write(proc.stdout + proc.stderr)
            raise SystemExit("seurat_vst_timing.R failed")
        out = dict(line.split(" ", 1) for line in proc.stdout.splitlines() if " " in line)
        seurat = np.fromfile(directory / "seurat_vst.bin", "<f8")
    seconds = float(out["seconds"])
    stats, top = seurat[:4 * n_genes].reshape(4, n_genes), seurat[4 * n_genes:].astype(np.int64) - 1

    print(f"R Seurat FindVariableFeatures(selection.method = 'vst') and the top {args.n_top}, "
          f"one thread ({out['versions'].strip()})")
    print(f"  CSR {n_cells:,} x {n_genes:,} as a genes x cells dgCMatrix, {X.nnz:,} stored counts")
    print(f"  R Seurat: {seconds:.2f} s, {1e9 * seconds / X.nnz:.1f} ns per stored entry")
    names = ("mean", "variance", "variance_expected", "variance_standardized")
    plain = plain_stats(X)
    print("  largest relative difference from Seurat's, per statistic (plain NumPy way"
          + (", vst_stats)" if hasattr(bk, "vst_stats") else ")"))
    package = bk.vst_stats(X) if hasattr(bk, "vst_stats") else None
    for k, name in enumerate(names):
        line = f"    {name:<22} {relative_difference(plain[k], stats[k]):.1e}"
        if package is not None:
            line += f"  {relative_difference(package[k], stats[k]):.1e}"
        print(line)
    plain_top = np.argsort(-plain[3], kind="stable")[:args.n_top]
    print(f"  the plain way selects {np.intersect1d(plain_top, top).size:,} of Seurat's "
          f"{top.size:,} genes")
    if hasattr(bk, "variable_genes"):
        table = bk.variable_genes(X, method="vst", n_top=args.n_top)
        chosen = np.flatnonzero(table["rank"].to_numpy() > 0)
        print(f"  variable_genes selects {np.intersect1d(chosen, top).size:,} of Seurat's "
              f"{top.size:,} genes")
        t = best_time(lambda: bk.variable_genes(X, method="vst", n_top=args.n_top), args.repeats)
        print(f"  variable_genes(method='vst'), {args.threads} thread(s), best of {args.repeats}: "
              f"{t:.3f} s, {1e9 * t / X.nnz:.2f} ns per stored entry; Seurat / package "
              f"{seconds / t:.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
