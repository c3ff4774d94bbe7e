"""Highly variable genes, chosen as R Seurat chooses them.

The per-gene statistics come from the package's public functions (``vst_stats`` and
``hvg_seurat_stats``), so every input they take works here too. What this module adds is the
small part R does on top of them, done the way R does it wherever the result depends on it:

- ``cut(x, breaks = n)``: ``n`` bins of equal width over the range of the means, the outer edges
  moved out by a thousandth of the range, a mean on an inner edge going to the lower bin;
- R's ``mean`` and ``sd`` of the dispersions in a bin, which accumulate in extended precision and
  correct the mean with a second pass (we use NumPy's long double, R's ``LDOUBLE`` on x86-64);
- ``order(decreasing = TRUE)``, which keeps tied genes in their original order;
- genes with a mean of 0 are never selected (R drops them before ranking);
- the integration rule of ``SelectIntegrationFeatures``, tie breaks included.
"""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _public, _stream
from ._inputs import _check_shape, _group_codes, _log_base, _type_name

if TYPE_CHECKING:
    import pandas as pd

    from ._public import Matrix

__all__ = ["variable_genes"]

METHODS = ("vst", "mvp", "disp")

# hvg_seurat_stats reports a gene expressed in no cell with this mean (0 is taken as 1e-12 before
# the logarithm); R's mean there is 0, which decides both the bins' range and exclusion.
_ZERO_MEAN = math.log1p(1e-12)


def variable_genes(X: Matrix | Any, *, method: str = "vst", n_top: int | None = None,
                   groups: npt.ArrayLike | str | None = None,
                   gene_names: npt.ArrayLike | None = None, layer: str | None = None,
                   inplace: bool = False, log_base: float | None = None, span: float = 0.3,
                   clip_max: float | None = None, n_bins: int = 20,
                   mean_cutoff: tuple[float, float] = (0.1, 8),
                   dispersion_cutoff: tuple[float, float] = (1, math.inf)) -> pd.DataFrame | None:
    """Rank the genes (columns) of X by how variable they are, and select the top ones.

    Parameters
    ----------
    X
        Cells x genes: anything :func:`hvg_seurat_stats` takes (NumPy array, SciPy CSR or CSC
        matrix, dask array, AnnData object, a matrix in a file). Raw counts for ``"vst"``,
        log-normalised values for ``"mvp"`` and ``"disp"``.
    method
        ``"vst"``: the variance of the values standardised by a variance expected from the mean
        (a loess fit of log variance on log mean over the genes), largest first.
        ``"mvp"``: the dispersion scaled within bins of genes of similar mean; the genes within
        ``mean_cutoff`` and ``dispersion_cutoff`` are selected, ranked by dispersion.
        ``"disp"``: the ``n_top`` genes of largest dispersion.
    n_top
        How many genes to select (default 2000; for ``"mvp"`` without ``groups`` the default is
        all those within the cut-offs). A number larger than the genes there are selects them
        all, as R does.
    groups
        A batch per cell: integer codes (-1 leaves a cell out), a pandas Categorical, or with an
        AnnData object the name of an ``obs`` column. Each batch is ranked on its own cells and
        the rankings combined into ``n_top`` genes as R's ``SelectIntegrationFeatures`` combines
        them (see Notes).
    gene_names
        One name per gene, for the table's index and for ordering ties as R does; by default an
        AnnData object's ``var_names``.
    layer
        The layer of an AnnData object to read instead of its X.
    inplace
        With an AnnData object: write the table's columns into ``X.var`` and return None.
    log_base
        ``"mvp"``, ``"disp"``: the base of the logarithm X was transformed with (None: natural).
    span, clip_max
        ``"vst"``: the loess span, and the upper clip of the standardised values (default
        ``sqrt(n_cells)``; of each batch's cells with ``groups``).
    n_bins
        ``"mvp"``: how many bins of equal width the range of the means is cut into.
    mean_cutoff, dispersion_cutoff
        ``"mvp"``: the open intervals a selected gene's mean and scaled dispersion lie in.

    Returns
    -------
    pandas.DataFrame or None
        One row per gene, in X's order, indexed by the gene names (a RangeIndex without any).
        Columns: for ``"vst"`` ``mean``, ``variance``, ``variance_expected``,
        ``variance_standardized``; for ``"mvp"`` and ``"disp"`` ``mean``, ``dispersion``,
        ``dispersion_scaled``; with ``groups`` instead ``n_batches`` (how many batches selected
        the gene) and ``median_rank`` (over those batches; NaN for none). Always ``variable``
        (bool) and ``rank`` (1 for the first gene in the selection's order, 0 for genes not
        selected).

    Raises
    ------
    ValueError
        An unknown method, X without cells or genes, ``n_top`` < 1, ``n_bins`` < 2, cut-offs
        that are not pairs of numbers, ``gene_names`` of another length than the genes, a batch
        of fewer than 2 cells, a ``log_base`` that is not a finite number > 0 other than 1; for
        ``"vst"`` what :func:`vst_stats` refuses (too few genes with a variance above 0 for the
        loess fit, a ``span`` outside (0, 1], negative or non-finite counts).
    InvalidEntriesError
        A sparse X whose stored entries do not fit its shape. A ValueError.
    TypeError
        ``inplace=True`` without an AnnData object, or a number of another type.

    Warns
    -----
    UserWarning
        ``"mvp"``, ``"disp"``: when X looks like raw counts (a gene's mean above what
        log-normalised data reach), as :func:`hvg_seurat_stats` warns.

    Notes
    -----
    The order of the selected genes is R's. ``"vst"`` and ``"disp"`` rank by their statistic,
    largest first, ties in the genes' order. ``"mvp"`` ranks its selection by the dispersion,
    not the scaled one. Genes with a mean of 0 are never selected.

    ``"mvp"`` and ``"disp"``: a dispersion that is NaN (a gene expressed in no cell, or the same
    in every cell) is taken as 0 before binning, as R takes NaN. R's equal-width bins over
    ``[min, max]`` of the means are widened by a thousandth of the range at both ends, and each
    bin holds the means above its lower edge up to its upper edge. The scaled dispersion is
    ``(dispersion - mean) / sd`` over the bin; in a bin of one gene sd is undefined, and that
    gene's scaled dispersion is NaN (never selected).

    With ``groups``, let *k* be the number of batches that selected the gene at position
    ``n_top`` when the genes are sorted by how many batches selected them. First come the genes
    selected by more than *k* batches, ordered by their median rank in those batches; then the
    genes selected by exactly *k*, by median rank, until there are ``n_top``. (Each batch
    selects ``n_top`` genes, or with ``"mvp"`` all those within the cut-offs.) Equal median ranks
    keep the order of the count sort: more batches first, then the names compared as strings
    (by code point: R's order in the C locale, where "g391" comes before "g79"), or the genes'
    positions without names.

    Examples
    --------
    >>> import numpy as np
    >>> from brenix_kernels import variable_genes
    >>> counts = np.random.default_rng(0).poisson(np.linspace(0.1, 5, 40), (200, 40))
    >>> table = variable_genes(counts, method="vst", n_top=5)
    >>> int(table["variable"].sum()), int(table["rank"].max())
    (5, 5)
    """
    try:
        import pandas as pd
    except ImportError as exc:
        raise ImportError("variable_genes() returns a pandas DataFrame: install pandas (the "
                          "package's extra 'selection' brings it)") from exc
    if method not in METHODS:
        raise ValueError(f"method={method!r}: the methods are {', '.join(map(repr, METHODS))}")
    adata = X if _stream.is_anndata(X) else None
    if inplace and adata is None:
        raise TypeError(f"inplace=True writes into an AnnData object's var; X is {_type_name(X)}")
    n_top = _count("n_top", n_top, 1) if n_top is not None else None
    if n_top is None and (method != "mvp" or groups is not None):
        n_top = 2000
    n_bins = _count("n_bins", n_bins, 2)
    mean_cutoff = _pair("mean_cutoff", mean_cutoff)
    dispersion_cutoff = _pair("dispersion_cutoff", dispersion_cutoff)
    shape = getattr(X, "shape", ())
    if len(shape) != 2:
        raise TypeError(f"X must be a matrix of cells x genes; got {_type_name(X)}")
    n_cells, n_genes = (int(n) for n in shape)
    _check_shape("variable_genes", n_cells, n_genes, genes=True)
    log_base = _log_base(log_base, "variable_genes")
    names = _gene_names(gene_names, adata, n_genes)
    codes, n_groups = _batches(X if adata is not None else None, groups, n_cells, n_genes)

    if method == "vst":
        stats = _public.vst_stats(X, span=span, clip_max=clip_max, layer=layer, groups=codes)
        columns = ("mean", "variance", "variance_expected", "variance_standardized")
        stats = dict(zip(columns, _computed(stats)))
        key = stats["variance_standardized"]
    else:
        means, dispersions = _computed(_public.hvg_seurat_stats(X, log_base=log_base,
                                                                layer=layer, groups=codes))
        means = np.where((means == _ZERO_MEAN) | np.isnan(means), 0.0, means)
        dispersions = np.where(np.isnan(dispersions), 0.0, dispersions)
        scaled = np.stack([_scaled_dispersion(m, d, n_bins)
                           for m, d in zip(np.atleast_2d(means), np.atleast_2d(dispersions))])
        stats = {"mean": means, "dispersion": dispersions,
                 "dispersion_scaled": scaled.reshape(means.shape)}
        key = dispersions

    if codes is None:
        order = _ranked(stats["mean"], key, n_top, method, stats.get("dispersion_scaled"),
                        mean_cutoff, dispersion_cutoff)
        table = pd.DataFrame(stats)
    else:
        # R's mean.var.plot selects all the genes within the cut-offs in each batch.
        per_batch = [_ranked(stats["mean"][k], key[k], None if method == "mvp" else n_top,
                             method, stats["dispersion_scaled"][k] if method == "mvp" else None,
                             mean_cutoff, dispersion_cutoff) for k in range(n_groups)]
        order, n_batches, median_rank = _integrated(per_batch, n_top, n_genes, names)
        table = pd.DataFrame({"n_batches": n_batches, "median_rank": median_rank})
    rank = np.zeros(n_genes, np.int64)
    rank[order] = np.arange(1, len(order) + 1)
    table["variable"] = rank > 0
    table["rank"] = rank
    if names is not None:
        table.index = pd.Index(names)
    if inplace:
        for column in table.columns:
            adata.var[column] = table[column].to_numpy()
        return None
    return table


# --- the arguments -------------------------------------------------------------------------------


def _count(name: str, value: Any, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer; got {_type_name(value)}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}; got {value}")
    return int(value)


def _pair(name: str, value: Any) -> tuple[float, float]:
    try:
        low, high = (float(v) for v in value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a pair of numbers (low, high); got {value!r}") from None
    return low, high


def _gene_names(gene_names: Any, adata: Any, n_genes: int) -> np.ndarray | None:
    if gene_names is None:
        return None if adata is None else np.asarray(adata.var_names, dtype=object)
    names = np.asarray(gene_names, dtype=object)
    if names.ndim != 1 or names.shape[0] != n_genes:
        raise ValueError(f"gene_names must hold one name per gene ({n_genes}); got shape "
                         f"{names.shape}")
    return names


def _batches(adata: Any, groups: Any, n_cells: int, n_genes: int) -> tuple[Any, int]:
    """The batch codes as a NumPy array, every batch checked to hold at least 2 cells."""
    if groups is None:
        return None, 0
    if adata is not None:
        groups = _stream.anndata_groups(adata, groups)
    codes, n_groups = _group_codes(groups, n_cells, n_genes)
    codes = np.asarray(codes)
    sizes = np.bincount(codes[codes >= 0], minlength=n_groups)
    if n_groups == 0 or sizes.min() < 2:
        small = [(k, int(s)) for k, s in enumerate(sizes) if s < 2]
        raise ValueError("every batch needs at least 2 cells for a variance; "
                         + (", ".join(f"batch {k} has {s}" for k, s in small) if small
                            else "groups puts no cell in any batch"))
    return codes, n_groups


def _computed(results: tuple) -> tuple[np.ndarray, ...]:
    """The results of a public function as NumPy arrays (dask inputs give lazy ones)."""
    if any(hasattr(r, "compute") for r in results):
        import dask

        results = dask.compute(*results)
    return tuple(np.asarray(r, dtype=np.float64) for r in results)


# --- R's arithmetic ------------------------------------------------------------------------------


def _r_mean(x: np.ndarray) -> float:
    """R's mean of doubles: a long double sum, then a second pass correcting it."""
    x = x.astype(np.longdouble)
    s = x.sum() / len(x)
    if np.isfinite(s):
        s += (x - s).sum() / len(x)
    return float(s)


def _r_sd(x: np.ndarray) -> float:
    """R's sd: the square root of var, which centres on R's mean (rounded to double) and sums
    the squared differences (each in double) in long double. NaN for fewer than 2 values."""
    if len(x) < 2:
        return math.nan
    d = x - _r_mean(x)
    return math.sqrt(float((d * d).astype(np.longdouble).sum() / (len(x) - 1)))


def _r_bins(means: np.ndarray, n_bins: int) -> np.ndarray:
    """Bin numbers 0 ... n_bins - 1 as ``cut(means, breaks = n_bins)`` makes them."""
    low, high = float(means.min()), float(means.max())
    width = high - low
    if width == 0:
        width = abs(low) if low != 0 else 1.0
        edges = _r_seq(low - width / 1000, high + width / 1000, n_bins + 1)
    else:
        edges = _r_seq(low, high, n_bins + 1)
        edges[0], edges[-1] = low - width / 1000, high + width / 1000
    # A mean on an edge belongs to the bin below it (right-closed intervals).
    return np.searchsorted(edges, means, side="left") - 1


def _r_seq(start: float, stop: float, n: int) -> np.ndarray:
    """``seq.int(start, stop, length.out = n)``: start + i * step, the last value exactly stop."""
    step = (stop - start) / (n - 1)
    edges = np.arange(n, dtype=np.float64) * step + start
    edges[-1] = stop
    return edges


def _scaled_dispersion(means: np.ndarray, dispersions: np.ndarray, n_bins: int) -> np.ndarray:
    bins = _r_bins(means, n_bins)
    scaled = np.empty_like(dispersions)
    for b in np.unique(bins):
        members = bins == b
        d = dispersions[members]
        with np.errstate(divide="ignore", invalid="ignore"):  # a bin of equal values: as in R
            scaled[members] = (d - _r_mean(d)) / _r_sd(d)
    return scaled


# --- the selections ------------------------------------------------------------------------------


def _ranked(means: np.ndarray, key: np.ndarray, n_top: int | None, method: str,
            scaled: np.ndarray | None, mean_cutoff: tuple[float, float],
            dispersion_cutoff: tuple[float, float]) -> np.ndarray:
    """The selected genes' positions in R's order: genes with mean 0 dropped, then by ``key``
    from the largest (ties in the genes' order), then for "mvp" the genes within the cut-offs."""
    candidates = np.flatnonzero(means != 0)
    order = candidates[np.argsort(-key[candidates], kind="stable")]
    if method == "mvp":
        m, s = means[order], scaled[order]
        keep = ((mean_cutoff[0] < m) & (m < mean_cutoff[1]) & (dispersion_cutoff[0] < s)
                & (s < dispersion_cutoff[1]))
        order = order[keep]
    return order if n_top is None else order[:n_top]


def _integrated(per_batch: list[np.ndarray], n_top: int, n_genes: int,
                names: np.ndarray | None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Combines each batch's selection as R's SelectIntegrationFeatures does.

    Returns the genes' positions in the combined order, each gene's number of batches that
    selected it, and its median rank over them (NaN for none).
    """
    # ranks[b, g]: the gene's rank in batch b, NaN where the batch did not select it. The ranks
    # are small integers, so every median (the mean of two of them at most) is exact.
    ranks = np.full((len(per_batch), n_genes), np.nan)
    for b, order in enumerate(per_batch):
        ranks[b, order] = np.arange(1, len(order) + 1)
    selected = ~np.isnan(ranks)
    n_batches = selected.sum(axis=0).astype(np.int64)
    median = np.full(n_genes, math.nan)
    chosen = np.flatnonzero(n_batches)
    median[chosen] = np.nanmedian(ranks[:, chosen], axis=0)
    if chosen.size == 0:
        return chosen, n_batches, median
    # R tabulates the selected names (sorted as strings), then sorts by count, largest first,
    # keeping that order among equal counts.
    by_name = chosen if names is None else chosen[np.argsort(names[chosen].astype(str),
                                                             kind="stable")]
    by_count = by_name[np.argsort(-n_batches[by_name], kind="stable")]
    tie = n_batches[by_count[min(n_top, by_count.size) - 1]]
    above = by_count[n_batches[by_count] > tie]
    at = by_count[n_batches[by_count] == tie]
    above = above[np.argsort(median[above], kind="stable")]
    at = at[np.argsort(median[at], kind="stable")][:n_top - above.size]
    return np.concatenate([above, at]), n_batches, median
