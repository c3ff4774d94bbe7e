"""Benchmark the vst gene selection against the plain NumPy/SciPy way a user would write it.

Run with ``python benchmarks/bench_selection.py`` (a CSR matrix of 60,000 cells x 15,000 genes
with about 72 million stored float32 counts, int32 indices as SciPy makes them) or with
``--quick`` (or ``--small``: 12,000 x 5,000, about 4.8 million). Both rows are timed in the same
run, on the same pool size (``--threads``, default 2), as the best of ``--repeats`` calls after a
warm-up:

- ``variable_genes(X, method="vst", n_top=2000)`` against the plain way: per-gene sums with
  ``np.bincount`` over ``X.indices``, the variance from the squares about the mean, the same
  ``skmisc.loess`` fit of log10 variance on log10 mean, ``np.bincount`` of the clipped squares of
  the standardised values, then the top ``n_top`` genes;
- the same with 20 batches of random cells in one grouped call against 20 subset calls of the
  plain way (``X[codes == k]``), whose selections are then combined: genes chosen in more batches
  first, then by their median rank among the batches that chose them.

Before anything is timed, the plain way's statistics must agree with ``vst_stats``' to about
1e-12 relative, and its rankings with the package's up to genes whose scores are that close
(sparse genes with the same counts tie): the script exits with status 1 if not. The
counts are negative-binomial-like (each gene its own chance of being counted in a cell, eight cell
types with their own marker genes, geometric counts) and generated straight into CSR arrays.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time
import warnings

import numpy as np
import scipy.sparse as sp

SEED = 0
SPAN = 0.3
N_TOP = 2000
N_BATCHES = 20
N_TYPES = 8  # cell types, each with marker genes of its own: what the selection should find
SIZES = {"full": (60_000, 15_000, 72_000_000), "small": (12_000, 5_000, 4_800_000)}
RTOL = 1e-12  # plain against package: the sums are taken in another order


# --- data -------------------------------------------------------------------------------------


def generate(n_cells: int, n_genes: int, target: int, seed: int = SEED) -> sp.csr_matrix:
    """Seeded counts as a CSR matrix (float32 values, int32 indices), built block by block.

    Each gene has a chance of being counted in a cell (log-normal across genes, about
    ``target / (n_cells * n_genes)`` on average); a type's marker genes are counted 30 times as
    often in its cells and 5 times less often in the others. A counted gene's value is 1 plus a
    geometric count whose mean grows with how often the gene is counted, and is 5 times higher for
    a marker gene in its type's cells. The cells come in type order, 1,500 rows a block: drawing a
    block of uniforms and keeping those below the chance takes a few seconds for the full size,
    where ``scipy.sparse.random`` would take minutes.
    """
    rng = np.random.default_rng(seed)
    density = target / (n_cells * n_genes)
    chance = np.exp(rng.normal(0.0, 1.2, n_genes))
    chance *= density / chance.mean()
    markers = rng.integers(0, N_TYPES, n_genes)
    markers[rng.random(n_genes) > 0.02] = -1  # 2% of the genes mark a type
    block = 1_500
    n_blocks = -(-n_cells // block)
    # One buffer for the uniforms and one for the mask, reused: fresh ones for each block would
    # cost more in page faults than the drawing.
    uniform = np.empty((block, n_genes), np.float32)
    mask = np.empty((block, n_genes), bool)
    indptr = np.zeros(n_cells + 1, np.int64)
    indices, values = [], []
    for b in range(n_blocks):
        rows = slice(b * block, min(n_cells, (b + 1) * block))
        cell_type = b * N_TYPES // n_blocks
        p = chance.copy()
        p[markers >= 0] /= 5
        p[markers == cell_type] *= 150
        p = np.minimum(p, 0.95).astype(np.float32)
        n = rows.stop - rows.start
        rng.random(out=uniform[:n], dtype=np.float32)
        stored = np.less(uniform[:n], p, out=mask[:n])
        indptr[rows.start + 1:rows.stop + 1] = np.count_nonzero(stored, axis=1)
        cols = (np.flatnonzero(stored) % n_genes).astype(np.int32)
        # 1 + geometric: floor(log(u) / log(q)) with q = m / (1 + m), m the extra mean count.
        extra = 3.0 * np.sqrt(p.astype(np.float64))
        extra[markers == cell_type] *= 5
        log_q = np.log(extra / (1.0 + extra)).astype(np.float32)
        u = 1.0 - rng.random(cols.size, dtype=np.float32)  # (0, 1]
        values.append(1.0 + np.floor(np.log(u) / log_q[cols]))
        indices.append(cols)
    np.cumsum(indptr, out=indptr)
    data = np.concatenate(values).astype(np.float32)
    return sp.csr_matrix((data, np.concatenate(indices), indptr.astype(np.int32)),
                         shape=(n_cells, n_genes))


# --- the plain way ----------------------------------------------------------------------------


def plain_stats(X: sp.csr_matrix, span: float = SPAN):
    """``(means, variances, variances_expected, variances_standardized)`` with NumPy, SciPy's
    arrays and skmisc.loess: what a user would write."""
    from skmisc.loess import loess

    n, g = X.shape
    idx = X.indices
    stored = np.bincount(idx, minlength=g)
    mean = np.bincount(idx, weights=X.data, minlength=g) / n
    d = X.data - mean[idx]
    # The unstored zeros are each -mean from the mean.
    variance = (np.bincount(idx, weights=d * d, minlength=g) + (n - stored) * mean**2) / (n - 1)
    varying = variance > 0
    fit = loess(np.log10(mean[varying]), np.log10(variance[varying]), span=span, degree=2)
    fit.fit()
    expected = np.zeros(g)
    expected[varying] = 10.0 ** fit.outputs.fitted_values
    sd = np.sqrt(expected)
    with np.errstate(divide="ignore", invalid="ignore"):
        z = d / sd[idx]
        np.minimum(z, np.sqrt(n), out=z)  # clipped from above only: a zero is never clipped
        standardized = (np.bincount(idx, weights=z * z, minlength=g)
                        + (n - stored) * (mean / sd) ** 2) / (n - 1)
    standardized[~varying] = 0.0
    return mean, variance, expected, standardized


def plain_rank(mean: np.ndarray, standardized: np.ndarray, n_top: int) -> np.ndarray:
    """1 for the first gene selected, 0 for those not selected: the largest standardised
    variances, ties in gene order, genes never counted left out."""
    candidates = np.flatnonzero(mean != 0)
    order = candidates[np.argsort(-standardized[candidates], kind="stable")][:n_top]
    rank = np.zeros(standardized.size, np.int64)
    rank[order] = np.arange(1, order.size + 1)
    return rank


def plain_vst(X, n_top: int = N_TOP):
    stats = plain_stats(X)
    return stats, plain_rank(stats[0], stats[3], n_top)


def plain_batches(X, codes: np.ndarray, n_batches: int, n_top: int = N_TOP):
    """Each batch's selection from its own rows, then combined (``combine``)."""
    ranks = np.stack([plain_vst(X[codes == k], n_top)[1] for k in range(n_batches)])
    return combine(ranks, n_top)


def combine(ranks: np.ndarray, n_top: int):
    """The genes chosen in most batches, ties broken by the median of their ranks where chosen,
    and equal medians by position: ``(n_chosen, median, rank)``."""
    chosen = ranks > 0
    n_chosen = chosen.sum(axis=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a gene no batch chose: NaN
        median = np.nanmedian(np.where(chosen, ranks, np.nan), axis=0)
    order = np.lexsort((np.where(n_chosen > 0, median, np.inf), -n_chosen))[:n_top]
    rank = np.zeros(ranks.shape[1], np.int64)
    rank[order] = np.arange(1, order.size + 1)
    return n_chosen, median, rank


# --- the guard: both ways give the same answer ------------------------------------------------
#
# Sparse genes often have the same counts as others (ten 1s and a 2, say), and so the same
# statistics: the package gives them equal values, ranked in gene order, while the plain sums,
# taken in storage order, may round them apart and swap them. Two rankings agree when the scores
# read in their orders agree to the tolerance: only such near-ties may be ranked differently.


def relative_difference(got: np.ndarray, expected: np.ndarray) -> float:
    got, expected = np.asarray(got, np.float64), np.asarray(expected, np.float64)
    scale = np.maximum(np.abs(expected), np.finfo(np.float64).tiny)
    both_nan = np.isnan(got) & np.isnan(expected)
    return float(np.max(np.where(both_nan, 0.0, np.abs(got - expected) / scale), initial=0.0))


def in_order(rank: np.ndarray) -> np.ndarray:
    chosen = np.flatnonzero(rank > 0)
    return chosen[np.argsort(rank[chosen])]


def same_ranking(rank: np.ndarray, expected_rank: np.ndarray, score: np.ndarray) -> bool:
    got, want = in_order(rank), in_order(expected_rank)
    return got.size == want.size and relative_difference(score[got], score[want]) <= RTOL


def check(X, codes) -> list[str]:
    import brenix_kernels as bk

    problems = []
    names = ("means", "variances", "variances_expected", "variances_standardized")
    plain, plain_rk = plain_vst(X)
    for name, got, want in zip(names, bk.vst_stats(X), plain):
        if (diff := relative_difference(got, want)) > RTOL:
            problems.append(f"vst_stats {name}: relative difference {diff:.1e}")
    table = bk.variable_genes(X, method="vst", n_top=N_TOP)
    if not same_ranking(table["rank"].to_numpy(), plain_rk, plain[3]):
        problems.append("variable_genes: another ranking than the plain way's")

    grouped = bk.vst_stats(X, groups=codes)
    ranks = []  # each batch's, from the package's statistics
    for k in range(N_BATCHES):
        stats, rank = plain_vst(X[codes == k])
        for name, got, want in zip(names, grouped, stats):
            if (diff := relative_difference(got[k], want)) > RTOL:
                problems.append(f"vst_stats batch {k} {name}: relative difference {diff:.1e}")
        ranks.append(plain_rank(grouped[0][k], grouped[3][k], N_TOP))
        if not same_ranking(ranks[-1], rank, stats[3]):
            problems.append(f"batch {k}: another ranking than the plain way's")
    # The batches combined, from the same rankings, are the package's. Median ranks tie often
    # (halves of integers): at the cut-off the package breaks those ties as R does, by name, and
    # the plain way by position; only such genes may be chosen differently.
    n_chosen, median, rank = combine(np.stack(ranks), N_TOP)
    table = bk.variable_genes(X, method="vst", n_top=N_TOP, groups=codes)
    if not (np.array_equal(table["n_batches"].to_numpy(), n_chosen)
            and np.array_equal(table["median_rank"].to_numpy(), median, equal_nan=True)):
        problems.append("variable_genes with batches: other n_batches or median ranks than the "
                        "plain way's")
    got, want = table["rank"].to_numpy() > 0, rank > 0
    last = in_order(rank)[-1]
    if np.any((got != want) & ((n_chosen != n_chosen[last]) | (median != median[last]))):
        problems.append("variable_genes with batches: another selection than the plain way's")
    return problems


# --- timing -----------------------------------------------------------------------------------


def best_time(fn, repeats: int) -> float:
    fn()  # warm-up: the pool, lazy imports, page faults
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", "--quick", action="store_true", help="12,000 x 5,000 (seconds)")
    parser.add_argument("--threads", type=int, default=2, help="worker pool size (default 2)")
    parser.add_argument("--repeats", type=int, default=3, help="timed calls after a warm-up")
    args = parser.parse_args(argv)
    # The pool takes its size when first used, which is below.
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    import brenix_kernels as bk

    started = time.perf_counter()
    n_cells, n_genes, target = SIZES["small" if args.small else "full"]
    t0 = time.perf_counter()
    X = generate(n_cells, n_genes, target)
    codes = np.random.default_rng(SEED + 1).integers(0, N_BATCHES, n_cells)
    print(f"brenix_kernels vst selection ({'small' if args.small else 'full'} size), "
          f"{args.threads} threads")
    print(f"  CSR {n_cells:,} x {n_genes:,}, {X.nnz:,} stored float32 counts, int32 indices "
          f"(generated in {time.perf_counter() - t0:.1f} s); n_top {N_TOP}, span {SPAN}; "
          f"{N_BATCHES} batches of random cells")
    print(f"  best of {args.repeats} calls after a warm-up\n")

    print("  checking the plain way against the package ...", file=sys.stderr, flush=True)
    problems = check(X, codes)
    if problems:
        print("FAILED: the plain way and the package disagree:\n  " + "\n  ".join(problems),
              file=sys.stderr)
        return 1

    cases = {
        "vst": (lambda: bk.variable_genes(X, method="vst", n_top=N_TOP),
                lambda: plain_vst(X), 20.0),
        f"vst, {N_BATCHES} batches": (
            lambda: bk.variable_genes(X, method="vst", n_top=N_TOP, groups=codes),
            lambda: plain_batches(X, codes, N_BATCHES), None),
    }
    rows = []
    for case, (package, plain, target_ratio) in cases.items():
        print(f"  measuring {case} ...", file=sys.stderr, flush=True)
        t_package, t_plain = best_time(package, args.repeats), best_time(plain, args.repeats)
        ratio = t_plain / t_package
        rows.append((case, f"{1e3 * t_package:.0f}", f"{1e3 * t_plain:.0f}", f"{ratio:.1f}",
                     f"{1e9 * t_package / X.nnz:.2f}",
                     f">= {target_ratio:.0f}" if target_ratio else "-",
                     ("yes" if ratio >= target_ratio else "NO") if target_ratio else "-"))
    header = ("case", "package ms", "plain ms", "faster", "ns/entry", "target", "met")
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, ["-" * w for w in widths], *rows]:
        print("  " + "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
    print("\n  package ms: variable_genes(X, method='vst', n_top=2000[, groups=codes]);"
          " plain ms: np.bincount sums, skmisc.loess, np.bincount of the clipped squares, top\n"
          f"    n_top (with batches: {N_BATCHES} subsets X[codes == k], each the plain way, then"
          " combined). faster = plain ms / package ms; ns/entry: package time per stored count")
    print(f"\nTotal time {time.perf_counter() - started:.0f} s")
    print(f"The plain way's statistics agree with the package's to {RTOL:.0e} relative, and so "
          "do its rankings, up to ties.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
