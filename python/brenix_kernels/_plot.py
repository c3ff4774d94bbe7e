"""The picture of a variable-gene table that an analyst looks at to choose the selection's settings.

matplotlib is an optional extra (``brenix_kernels[plot]``): it is imported when a picture is asked
for, never with the package, so that the kernels install and load without it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes

__all__ = ["plot_variable_genes"]

# What a table holds decides what is drawn against the mean, and on which scales. The vst
# statistics are of raw counts, whose means span orders of magnitude: the mean axis is
# logarithmic there, the standardised variance (already a ratio to the fitted trend) linear. mvp
# and disp tables hold the means and dispersions of log-normalised data, on linear axes.
# column drawn: (the method it comes from, x-axis title, y-axis title, log-scaled mean axis)
_KINDS = {
    "variance_standardized": ("vst", "mean count", "standardized variance", True),
    "dispersion": ("mvp or disp", "mean expression", "dispersion", False),
}
_ALWAYS = ("mean", "variable", "rank")
_COLOURS = ("#9e9e9e", "#d62728")  # not selected, selected: grey recedes, red stands out
_FONT_SIZE = 7.0


def plot_variable_genes(table: pd.DataFrame, *, ax: Axes | None = None, label: int = 10) -> Axes:
    """Draw each gene's mean against its variability, selected genes apart from the others.

    For a vst table the standardized variance is drawn against the mean count on a logarithmic
    mean axis; for an mvp or disp table the dispersion against the mean on linear axes. Genes not
    selected are grey, selected ones red, with their numbers in the legend, and the names of the
    first genes in rank order are written beside their points.

    Parameters
    ----------
    table : pandas.DataFrame
        A table as :func:`brenix_kernels.variable_genes` returns it, one row per gene: the columns
        ``mean``, ``variable`` and ``rank``, and ``variance_standardized`` (vst) or
        ``dispersion`` (mvp, disp). Other columns are ignored. Gene names come from its index.
        A table of batches combined (``groups=``) holds no statistics to draw.
    ax : matplotlib.axes.Axes, optional
        The axes to draw on; by default a new figure with one axes.
    label : int, default 10
        How many genes to name, in order of ``rank`` (1 first; 0 names none).

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn on.

    Raises
    ------
    ImportError
        matplotlib is not installed (``pip install "brenix_kernels[plot]"``).
    TypeError
        ``table`` is not a DataFrame, or ``label`` is not an integer.
    ValueError
        ``table`` lacks a column the picture needs, or ``label`` is negative.

    Notes
    -----
    A point that cannot be drawn is left out, and the legend says how many: a NaN or infinite
    value, or a mean of 0 or less on the logarithmic axis of a vst table (a gene never counted).
    The legend's numbers are the table's, drawn or not.

    Examples
    --------
    >>> import matplotlib
    >>> matplotlib.use("Agg")
    >>> import numpy as np, scipy.sparse as sp
    >>> import brenix_kernels as bk
    >>> rng = np.random.default_rng(0)
    >>> X = sp.csr_matrix(rng.negative_binomial(2, 0.6, (2_000, 1_000)).astype(np.float32))
    >>> table = bk.variable_genes(X, method="vst", n_top=100)
    >>> ax = bk.plot_variable_genes(table, label=5)
    >>> ax.figure.savefig("variable-genes.png", dpi=150)
    """
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError('plot_variable_genes() draws with matplotlib, which is not installed: '
                          'pip install "brenix_kernels[plot]"') from error
    column, (_, x_title, y_title, log_x) = _kind(table)
    n_label = _label_count(label)

    x = np.asarray(table["mean"], dtype=np.float64)
    y = np.asarray(table[column], dtype=np.float64)
    selected = np.asarray(table["variable"], dtype=bool)
    rank = np.asarray(table["rank"])
    drawable = np.isfinite(x) & np.isfinite(y)
    if log_x:
        drawable &= x > 0

    if ax is None:
        _, ax = plt.subplots(figsize=(6.4, 4.8))
    ax.set_xscale("log" if log_x else "linear")  # given axes too: the scale is the method's
    for chosen, colour, size, name in ((False, _COLOURS[0], 4, "not variable"),
                                       (True, _COLOURS[1], 7, "variable")):
        keep = drawable & (selected == chosen)
        ax.scatter(x[keep], y[keep], s=size, c=colour, linewidths=0, rasterized=True,
                   label=f"{name}: {np.count_nonzero(selected == chosen):,}", zorder=2 + chosen)
    hidden = np.count_nonzero(~drawable)
    # Above the axes: the selected genes crowd the top of the cloud, where a legend inside would
    # hide them.
    ax.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), ncols=3, fontsize=8, markerscale=2,
              frameon=False, borderaxespad=0.2, handletextpad=0.1)
    if hidden:
        ax.text(1.0, 1.01, f"{hidden:,} not drawn ({'NaN or mean 0' if log_x else 'NaN'})",
                transform=ax.transAxes, ha="right", va="bottom", fontsize=7, color="0.3")
    ax.set_xlabel(x_title)
    ax.set_ylabel(y_title)

    # Rank 0 is "not selected"; ties keep the table's order.
    ranked = np.flatnonzero(drawable & (rank > 0))
    top = ranked[np.argsort(rank[ranked], kind="stable")][:n_label]
    if top.size:
        names = [str(n) for n in np.asarray(table.index)[top]]
        _label_points(ax, x[top], y[top], names)
    return ax


def _kind(table: Any) -> tuple[str, tuple[str, str, str, bool]]:
    """The column drawn against the mean, and how, or the error naming what is missing."""
    columns = getattr(table, "columns", None)
    if columns is None or not hasattr(table, "index"):
        raise TypeError(f"plot_variable_genes() takes the DataFrame variable_genes() returns, "
                        f"not {type(table).__name__}")
    present = set(columns)
    missing = [c for c in _ALWAYS if c not in present]
    for column, kind in _KINDS.items():
        if column in present:
            if missing:
                raise ValueError(f"plot_variable_genes(): a {kind[0]} table has the columns "
                                 f"{', '.join(_ALWAYS)} and {column}; this one lacks "
                                 f"{', '.join(missing)}")
            return column, kind
    if "n_batches" in present:
        raise ValueError("plot_variable_genes(): a table of batches combined (n_batches, "
                         "median_rank) has no statistics to draw; draw the table of one batch, "
                         "or of all cells, from variable_genes() without groups")
    raise ValueError("plot_variable_genes() draws a variable_genes() table: it needs the columns "
                     f"{', '.join(_ALWAYS)}, and variance_standardized (vst) or dispersion "
                     f"(mvp, disp); this one has {', '.join(map(str, columns)) or 'no columns'}")


def _label_count(label: Any) -> int:
    if isinstance(label, bool) or not isinstance(label, (int, np.integer)):
        raise TypeError(f"plot_variable_genes(): label is how many genes to name, an integer, "
                        f"not {type(label).__name__}")
    if label < 0:
        raise ValueError(f"plot_variable_genes(): label must be 0 or more, not {label}")
    return int(label)


# Where a name may go, in points from its point: beside it first, then farther out. Each name
# takes the first place where it covers no name already placed, so that the top genes, which
# crowd the upper edge of the cloud, stay legible.
_OFFSETS = [(dx * r, dy * r) for r in (1.0, 2.2, 3.6)
            for dx, dy in ((5, 3), (5, -9), (-5, 3), (-5, -9), (0, 9), (0, -15))]


def _label_points(ax: Axes, x: np.ndarray, y: np.ndarray, names: list[str]) -> None:
    ax.autoscale_view()
    bottom, top = ax.get_ylim()
    ax.set_ylim(bottom, top + 0.06 * (top - bottom))  # room for the names of the highest points
    points_per_pixel = 72.0 / ax.figure.dpi
    anchors = ax.transData.transform(np.column_stack([x, y])) * points_per_pixel
    placed: list[tuple[float, float, float, float]] = []
    for (px, py), xi, yi, name in zip(anchors, x, y, names):
        # The size of the name in points, estimated: measuring needs a renderer, and a
        # placement that avoids overlap roughly is all that is wanted here.
        width, height = 0.6 * _FONT_SIZE * len(name), _FONT_SIZE
        for i, (dx, dy) in enumerate(_OFFSETS):
            left = px + dx - (width if dx < 0 else width / 2 if dx == 0 else 0)
            box = (left, py + dy, left + width, py + dy + height)
            if not any(box[0] < b[2] and b[0] < box[2] and box[1] < b[3] and b[1] < box[3]
                       for b in placed):
                break
        placed.append(box)
        far = i >= 4  # not right beside its point: a line says whose name it is
        ax.annotate(name, (xi, yi), xytext=(box[0] - px, box[1] - py), textcoords="offset points",
                    fontsize=_FONT_SIZE, ha="left", va="bottom", zorder=4,
                    arrowprops=dict(arrowstyle="-", lw=0.4, color="0.3", shrinkA=0, shrinkB=1)
                    if far else None)
