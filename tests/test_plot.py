"""plot_variable_genes: what is drawn is the table (points per colour, the top-ranked names, the
scales of each kind of table), and the errors for what it cannot draw."""

import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import brenix_kernels as bk  # noqa: E402

N_GENES, N_SELECTED = 400, 30


def table(kind):
    """A hand-made table of one kind: 30 of 400 genes selected, ranked in a shuffled order; a gene
    with mean 0 (vst: not drawn on the log axis) and one with a NaN value (not drawn)."""
    rng = np.random.default_rng(3)
    mean = 10 ** rng.uniform(-2, 2, N_GENES)
    value = rng.gamma(2.0, 0.5, N_GENES)
    rank = np.zeros(N_GENES, int)
    rank[rng.choice(N_GENES, N_SELECTED, replace=False)] = rng.permutation(N_SELECTED) + 1
    mean[np.flatnonzero(rank == 0)[0]] = 0.0
    value[np.flatnonzero(rank == 0)[1]] = np.nan
    columns = {"mean": mean}
    if kind == "vst":
        columns |= {"variance": mean, "variance_expected": mean, "variance_standardized": value}
    else:
        columns |= {"dispersion": value, "dispersion_scaled": value}
    columns |= {"variable": rank > 0, "rank": rank}
    return pd.DataFrame(columns, index=[f"g{i}" for i in range(N_GENES)])


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.mark.parametrize("kind, xscale, hidden", [("vst", "log", 2), ("disp", "linear", 1)])
def test_points_labels_and_scales_are_the_tables(kind, xscale, hidden):
    t = table(kind)
    ax = bk.plot_variable_genes(t, label=7)
    assert (ax.get_xscale(), ax.get_yscale()) == (xscale, "linear")
    column = "variance_standardized" if kind == "vst" else "dispersion"
    not_selected, selected = ax.collections
    for points, chosen in ((not_selected, False), (selected, True)):
        rows = t[t["variable"] == chosen]
        drawn = rows[np.isfinite(rows[column]) & (rows["mean"] > (0 if kind == "vst" else -np.inf))]
        np.testing.assert_array_equal(points.get_offsets(), drawn[["mean", column]].to_numpy())
    legend = [text.get_text() for text in ax.get_legend().get_texts()]
    assert legend == [f"not variable: {N_GENES - N_SELECTED}", f"variable: {N_SELECTED}"]
    top = t[t["rank"] > 0].sort_values("rank").index[:7].tolist()
    names = [a.get_text() for a in ax.texts if a.get_text().startswith("g")]
    assert names == top
    assert any(a.get_text().startswith(f"{hidden} not drawn") for a in ax.texts)


@pytest.mark.parametrize("method, xscale", [("vst", "log"), ("mvp", "linear"), ("disp", "linear")])
def test_the_tables_variable_genes_makes(method, xscale):
    pytest.importorskip("skmisc")
    rng = np.random.default_rng(4)
    counts = rng.negative_binomial(2, 2 / (2 + rng.gamma(0.5, 2, 300)), (500, 300)).astype(float)
    X = counts if method == "vst" else np.log1p(counts)
    t = bk.variable_genes(X, method=method, n_top=40)
    ax = bk.plot_variable_genes(t, label=3)
    not_selected, selected = ax.collections
    assert ax.get_xscale() == xscale and len(selected.get_offsets()) == t["variable"].sum()
    assert len(not_selected.get_offsets()) + len(selected.get_offsets()) <= len(t)
    names = [a.get_text() for a in ax.texts if "not drawn" not in a.get_text()]
    assert names == [str(g) for g in t[t["rank"] > 0].sort_values("rank").index[:3]]


def test_label_count_and_given_axes():
    t = table("vst")
    _, ax = plt.subplots()
    assert bk.plot_variable_genes(t, ax=ax, label=0) is ax
    assert not [a for a in ax.texts if a.get_text().startswith("g")]
    ax = bk.plot_variable_genes(t, label=100)  # more than are selected: the selected ones
    assert len([a for a in ax.texts if a.get_text().startswith("g")]) == N_SELECTED


@pytest.mark.parametrize("bad, error, message", [
    (lambda t: t.drop(columns="variance_standardized"), ValueError, "variance_standardized (vst)"),
    (lambda t: t.drop(columns=["rank", "variable"]), ValueError, "lacks variable, rank"),
    (lambda t: t[["variable", "rank"]].assign(n_batches=1, median_rank=1.0), ValueError,
     "batches combined"),
    (lambda t: t.to_numpy(), TypeError, "not ndarray"),
    (lambda t: {"mean": t["mean"]}, TypeError, "not dict"),
])
def test_a_table_it_cannot_draw(bad, error, message):
    with pytest.raises(error, match="plot_variable_genes") as info:
        bk.plot_variable_genes(bad(table("vst")))
    assert message in str(info.value)


def test_without_matplotlib_it_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)  # import fails
    with pytest.raises(ImportError, match=r'pip install "brenix_kernels\[plot\]"'):
        bk.plot_variable_genes(table("vst"))
