"""A short tour of brenix_kernels' public functions on generated single-cell-like data.

Run with ``python -m brenix_kernels.demo``. The data are made with a fixed seed: negative-binomial
counts with log-normal gene means in a few batches of cells, then normalised to 10,000 counts per
cell and log1p-transformed, the way an analysis prepares them before selecting variable genes.
Each step is timed against the same statistic written with plain NumPy (and SciPy, when it is
installed).
"""

from __future__ import annotations

import argparse
import importlib.util
import time

import numpy as np

import brenix_kernels as bk


def make_counts(n_cells: int, n_genes: int, n_batches: int = 3,
                seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Counts (float32) and a batch code per cell; each batch shifts the gene means a little."""
    rng = np.random.default_rng(seed)
    gene_mean = rng.lognormal(mean=-1.5, sigma=1.5, size=n_genes)
    batch = rng.integers(0, n_batches, n_cells)
    shift = rng.lognormal(0.0, 0.3, size=(n_batches, n_genes))
    cell_size = rng.lognormal(mean=0.0, sigma=0.4, size=(n_cells, 1))
    mu = gene_mean * shift[batch] * cell_size
    dispersion = 0.5  # shape r of the negative binomial: variance mu + mu^2 / r
    counts = rng.negative_binomial(dispersion, dispersion / (dispersion + mu))
    return counts.astype(np.float32), batch


def log_normalise(counts: np.ndarray, target: float = 1e4) -> np.ndarray:
    per_cell = counts.sum(axis=1, keepdims=True)
    per_cell[per_cell == 0] = 1
    return np.log1p(counts / per_cell * target, dtype=np.float32)


# --- the plain NumPy way, for the timings ------------------------------------------------------


def numpy_hvg(x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    y = np.expm1(x.astype(np.float64))
    mean, var = y.mean(axis=0), y.var(axis=0, ddof=1)
    mean[mean == 0] = 1e-12
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.log1p(mean), np.log(var / mean)


def numpy_scale(x: np.ndarray, max_value: float) -> np.ndarray:
    mean, std = x.mean(axis=0, dtype=np.float64), x.std(axis=0, ddof=1, dtype=np.float64)
    std[std == 0] = 1.0
    return np.clip((x - mean) / std, -max_value, max_value).astype(x.dtype)


def scipy_grouped_mean_var(m, codes: np.ndarray, n_groups: int):
    """Per-batch means and variances of a CSR matrix through SciPy: one row selection each."""
    means, variances = [], []
    for k in range(n_groups):
        rows = m[codes == k]
        n = rows.shape[0]
        mean = np.asarray(rows.mean(axis=0)).ravel()
        square = np.asarray(rows.multiply(rows).mean(axis=0)).ravel()
        means.append(mean)
        variances.append((square - mean * mean) * n / (n - 1))
    return np.array(means), np.array(variances)


# --- printing ----------------------------------------------------------------------------------


def timed(fn, *args, repeat: int = 3, **kwargs):
    """The result of fn and its best time over a few runs, in ms."""
    best = np.inf
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn(*args, **kwargs)
        best = min(best, time.perf_counter() - start)
    return result, 1e3 * best


def row(label: str, ours: float, plain: float | None, plain_name: str) -> None:
    if plain is None:
        print(f"  {label:<44} {ours:8.1f} ms")
    else:
        print(f"  {label:<44} {ours:8.1f} ms   {plain_name} {plain:8.1f} ms "
              f"({plain / ours:4.1f}x)")


def top_genes(title: str, means: np.ndarray, dispersions: np.ndarray, n: int = 5) -> None:
    order = np.argsort(np.nan_to_num(dispersions, nan=-np.inf), kind="stable")[::-1][:n]
    print(f"\n{title}")
    print(f"  {'gene':>6} {'mean':>10} {'dispersion':>11}")
    for g in order:
        print(f"  {g:>6} {means[g]:>10.4f} {dispersions[g]:>11.4f}")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, default=20_000)
    parser.add_argument("--genes", type=int, default=2_000)
    args = parser.parse_args(argv)
    have_scipy = importlib.util.find_spec("scipy") is not None

    print(f"Generating {args.cells:,} cells x {args.genes:,} genes in 3 batches (seed 0) ...")
    counts, batch = make_counts(args.cells, args.genes)
    x = log_normalise(counts)
    print(f"  log-normalised: {x.dtype}, shape {x.shape}, "
          f"{100 * np.count_nonzero(x) / x.size:.1f}% of the values nonzero\n")

    print("Timings (best of 3; the plain way computes the same statistic)")
    (means, dispersions), ours = timed(bk.hvg_seurat_stats, x)
    _, plain = timed(numpy_hvg, x)
    row("hvg_seurat_stats(x)            dense", ours, plain, "NumPy")
    scaled, ours = timed(bk.scale, x, max_value=10.0)
    _, plain = timed(numpy_scale, x, 10.0)
    row("scale(x, max_value=10)         dense", ours, plain, "NumPy")

    if have_scipy:
        import scipy.sparse as sp

        m = sp.csr_matrix(x)
        (s_means, s_disp), ours = timed(bk.hvg_seurat_stats, m)
        row("hvg_seurat_stats(m)            CSR", ours, None, "")
        (g_means, g_vars), ours = timed(bk.mean_var, m, groups=batch)
        _, plain = timed(scipy_grouped_mean_var, m, batch, 3)
        row("mean_var(m, groups=batch)      CSR, 3 batches", ours, plain, "SciPy")
        sparse_scaled, ours = timed(bk.scale, m, zero_center=False, max_value=10.0)
        row("scale(m, zero_center=False)    CSR stays CSR", ours, None, "")
    else:
        print("  (the CSR examples need SciPy: pip install scipy)")

    print(f"\nResults\n  hvg_seurat_stats: means and dispersions of shape {means.shape}")
    print(f"  scale: {scaled.dtype}, shape {scaled.shape}, values in "
          f"[{scaled.min():.3f}, {scaled.max():.3f}]")
    top_genes("Most dispersed genes (dense x)", means, dispersions)
    if have_scipy:
        if np.array_equal(s_means, means) and np.array_equal(s_disp, dispersions, equal_nan=True):
            print("\n  CSR and dense results agree bit for bit")
        else:  # the sums of float32 squares may round apart in their different chunks
            print(f"\n  CSR and dense dispersions agree to "
                  f"{np.nanmax(np.abs(s_disp - dispersions)):.1e}")
        print(f"  mean_var with groups: shape {g_means.shape}; batch means of gene 0: "
              + ", ".join(f"{v:.4f}" for v in g_means[:, 0]))
        print(f"  scale without centring: {type(sparse_scaled).__name__} with "
              f"{sparse_scaled.nnz:,} stored values, as many as m has")

    missing = [name for name, module in (("scikit-misc", "skmisc"), ("pandas", "pandas"))
               if importlib.util.find_spec(module) is None]
    print("\nVariable genes")
    if missing:
        print(f"  variable_genes and vst_stats need {' and '.join(missing)}: "
              'pip install "brenix_kernels[selection]"')
        return
    table, ours = timed(bk.variable_genes, counts, method="vst", n_top=200, repeat=1)
    print(f"  variable_genes(counts, method='vst', n_top=200): {ours:.1f} ms; the first five:")
    chosen = table[table["variable"]].sort_values("rank").head(5)
    print(f"  {'gene':>6} {'mean':>10} {'variance':>12} {'standardized':>13}")
    for gene, r in chosen.iterrows():
        print(f"  {gene:>6} {r['mean']:>10.4f} {r['variance']:>12.4f} "
              f"{r['variance_standardized']:>13.4f}")
    table = bk.variable_genes(x, method="mvp", groups=batch, n_top=200)
    print(f"  variable_genes(x, method='mvp', groups=batch): {int(table['variable'].sum())} genes "
          f"selected; {int((table['n_batches'] == 3).sum())} of them by all 3 batches")


if __name__ == "__main__":
    main()
