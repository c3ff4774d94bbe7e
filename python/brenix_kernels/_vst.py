"""The variance-stabilising gene statistics from their passes: what is done between and after them.

A caller supplies the passes over its kind of X (in memory, dask, a file): ``means()``, the means of
``mean_var``, and ``deviations(mean, sd, clip)``, the native deviation sums ``(counts, sums)`` of
the stored values about ``mean`` (centred when ``sd`` is None, else divided by ``sd`` and clipped
at ``clip``), both with one row per group. The rest is here, in float64 NumPy, one elementwise
operation after another (so its bits are those of the same expressions anywhere):

- variance = (sum + mean**2 * (n - count)) / (n - 1), the implicit zeros of a column each adding
  mean**2;
- expected = 10 ** the loess fit of log10(variance) on log10(mean) over the genes with variance
  > 0, 0 for the others;
- standardised = (sum + ((0 - mean) / sd)**2 * (n - count)) / (n - 1) with sd = sqrt(expected),
  0 where expected is 0.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

# The local fits are of degree 2 in one variable: fewer neighbours than this in a fit's window
# (span times the genes fitted) and the fit is singular, or worse, crashes the fitting library.
MIN_NEIGHBOURS = 6

Passes = tuple[Callable[[], np.ndarray],
               Callable[[np.ndarray, np.ndarray | None, float], tuple[np.ndarray, np.ndarray]]]


@dataclass(frozen=True)
class Options:
    span: float
    clip_max: float | None


def options(span: float, clip_max: float | None, function: str) -> Options:
    """The fit's span and the clip, refused before any pass when they cannot be used."""
    if isinstance(span, bool) or not isinstance(span, (int, float, np.floating, np.integer)):
        raise TypeError(f"{function}(): span must be a number, not {type(span).__name__}")
    if not 0 < span <= 1:  # NaN too
        raise ValueError(f"{function}(): span must be in (0, 1], the fraction of the genes each "
                         f"local fit uses (0.3 by default), not {span!r}")
    if clip_max is not None:
        if isinstance(clip_max, bool) or not isinstance(clip_max, (int, float, np.floating,
                                                                    np.integer)):
            raise TypeError(f"{function}(): clip_max must be a number or None, not "
                            f"{type(clip_max).__name__}")
        if not clip_max > 0:  # NaN too
            raise ValueError(f"{function}(): clip_max must be > 0 (None: the square root of the "
                             f"number of cells), not {clip_max!r}")
    return Options(float(span), None if clip_max is None else float(clip_max))


def check_cells(n: np.ndarray, grouped: bool, function: str) -> None:
    """Every set of rows must have 2 cells at least: the variances divide by n - 1."""
    few = np.flatnonzero(n < 2)
    if few.size == 0:
        return
    k = int(few[0])
    if grouped:
        raise ValueError(f"{function}(): group {k} has {int(n[k])} cell(s); each group needs at "
                         f"least 2 for a variance (leave a group's cells out with code -1)")
    raise ValueError(f"{function}(): X has {int(n[0])} row(s); the variances need at least 2 "
                     f"cells")


def compute(passes: Passes, n: np.ndarray, opts: Options, grouped: bool, function: str):
    """(means, variances, expected, standardised), each with one row per group (n: its cells)."""
    means_pass, deviations = passes
    check_cells(n, grouped, function)
    means = np.atleast_2d(means_pass())
    if not np.isfinite(means).all():
        raise ValueError(f"{function}(): X holds values that are not finite (NaN or infinity); "
                         f"the variance-stabilising statistics are for raw counts")
    cells = n.astype(np.float64)[:, None]
    counts, sums = (np.atleast_2d(a) for a in deviations(means, None, 0.0))
    if np.isnan(sums).any():
        raise ValueError(f"{function}(): X holds negative values; the variance-stabilising "
                         f"statistics are for raw counts (>= 0), not normalised or scaled data")
    variances = (sums + means * means * (cells - counts)) / (cells - 1.0)
    expected = np.zeros_like(variances)
    for k in range(variances.shape[0]):
        expected[k] = _expected(means[k], variances[k], opts.span, k if grouped else None,
                                function)
    sd = np.sqrt(expected)
    safe_sd = np.where(sd > 0, sd, 1.0)  # those genes' results are 0 whatever their sums
    clip = np.sqrt(cells[:, 0]) if opts.clip_max is None else np.full(len(n), opts.clip_max)
    counts, sums = (np.atleast_2d(a) for a in deviations(means, safe_sd, clip))
    z = (0.0 - means) / safe_sd
    standardised = np.where(sd > 0, (sums + z * z * (cells - counts)) / (cells - 1.0), 0.0)
    if not grouped:
        return means[0], variances[0], expected[0], standardised[0]
    return means, variances, expected, standardised


def _expected(mean: np.ndarray, variance: np.ndarray, span: float, group: int | None,
              function: str) -> np.ndarray:
    """10 ** the loess fit of log10(variance) on log10(mean) over the genes of variance > 0."""
    fitted = variance > 0
    n_fitted = int(fitted.sum())
    neighbours = math.floor(n_fitted * span)
    if neighbours < MIN_NEIGHBOURS:
        where = "" if group is None else f" in group {group}"
        raise ValueError(
            f"{function}(): the loess fit cannot be made{where}: {n_fitted} gene(s) have a "
            f"variance > 0, and a fit with span={span} needs at least "
            f"{math.ceil(MIN_NEIGHBOURS / span)} (span times the genes must be {MIN_NEIGHBOURS} "
            f"or more)")
    try:
        from skmisc.loess import loess
    except ImportError:
        raise ImportError(f"{function}() fits the mean-variance trend with scikit-misc's loess: "
                          f'pip install "brenix_kernels[selection]"') from None
    # R's loess settings: degree 2, gaussian family, surface "interpolate", statistics
    # "approximate", cell 0.2 (scikit-misc's defaults but the span and degree).
    model = loess(np.log10(mean[fitted]), np.log10(variance[fitted]), span=span, degree=2,
                  family="gaussian", surface="interpolate", statistics="approximate", cell=0.2)
    try:
        model.fit()
    except ValueError as error:
        where = "" if group is None else f" in group {group}"
        raise ValueError(f"{function}(): the loess fit of the {n_fitted} genes with a variance "
                         f"> 0{where} failed: {error}") from None
    out = np.zeros_like(variance)
    out[fitted] = 10.0 ** model.outputs.fitted_values
    return out
