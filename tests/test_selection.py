"""variable_genes against R Seurat's own selections (tests/seurat, written by make_reference.R).

R and we compute the same statistics in different orders, so they agree to about 1e-14, and
genes whose statistic is equal in R (identical genes, common among low counts) may come in
another order here. A selection therefore matches R's when, at every position, our gene's R
statistic equals that of R's gene there.
"""

import gzip
import math
import warnings
from functools import cache
from pathlib import Path

import numpy as np
import pytest
import scipy.io
import scipy.sparse as sp

pd = pytest.importorskip("pandas")
pytest.importorskip("skmisc")
from brenix_kernels import variable_genes  # noqa: E402
from brenix_kernels._selection import _integrated  # noqa: E402

REF = Path(__file__).parent / "seurat"
RTOL = 1e-12


@cache
def data():
    with gzip.open(REF / "counts.mtx.gz") as f, warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # SciPy's coming change of type
        counts = sp.csr_matrix(scipy.io.mmread(f), dtype=np.float64)
    counts.sort_indices()  # R's stored order of the cells x genes matrix: lognorm_values'
    lognorm = counts.copy()
    lognorm.data = np.loadtxt(REF / "lognorm_values.txt.gz")
    names = np.array((REF / "genes.txt").read_text().split())
    batches = np.loadtxt(REF / "batches.txt", dtype=np.int64)
    return counts, lognorm, names, batches


def r_table(name):
    table = pd.read_csv(REF / f"{name}.tsv.gz", sep="\t", index_col=0, na_values="NA")
    table.columns = table.columns.str.replace(".", "_")
    return table


def r_selected(name):
    return (REF / f"{name}_selected.txt").read_text().split()


def selected(table):
    chosen = table[table["rank"] > 0].sort_values("rank")
    assert (chosen["rank"].to_numpy() == np.arange(1, len(chosen) + 1)).all()
    assert (table["variable"] == (table["rank"] > 0)).all()
    return list(chosen.index)


def assert_stats(table, expected, columns):
    for column in columns:  # the scaled dispersion is a z-score: its error is absolute
        atol = RTOL if column == "dispersion_scaled" else 0
        np.testing.assert_allclose(table[column], expected.loc[table.index, column], rtol=RTOL,
                                   atol=atol, err_msg=column)  # NaN where R has NaN


def assert_order(got, want, statistic):
    assert len(got) == len(want)
    np.testing.assert_allclose(statistic[got].to_numpy(), statistic[want].to_numpy(), rtol=RTOL)


@pytest.mark.parametrize("name, clip_max", [("vst", None), ("vst_clip4", 4.0)])
def test_vst(name, clip_max):
    counts, _, names, _ = data()
    table = variable_genes(counts, method="vst", n_top=150, gene_names=names, clip_max=clip_max)
    expected = r_table(name)
    assert list(table.columns) == ["mean", "variance", "variance_expected",
                                   "variance_standardized", "variable", "rank"]
    assert_stats(table, expected, table.columns[:4])
    assert_order(selected(table), r_selected(name), expected["variance_standardized"])
    # g1 (all zero) and g2 (constant) have no expected variance; g4's one huge count is clipped.
    assert (table.loc[["g1", "g2"], "variance_standardized"] == 0).all()
    g4 = table.loc["g4"]
    clip = math.sqrt(counts.shape[0]) if clip_max is None else clip_max
    assert (400 - g4["mean"]) / math.sqrt(g4["variance_expected"]) > clip
    if clip_max is not None:  # g6 and g7 are the same gene: R keeps tied genes in their order
        assert table.loc["g7", "rank"] == table.loc["g6", "rank"] + 1 > 1


@pytest.mark.parametrize("method, n_bins, name", [("mvp", 20, "mvp"), ("mvp", 60, "mvp_bins60"),
                                                  ("disp", 20, "disp")])
def test_dispersion_methods(method, n_bins, name):
    _, lognorm, names, _ = data()
    table = variable_genes(lognorm, method=method, n_top=150 if method == "disp" else None,
                           n_bins=n_bins, gene_names=names)
    expected = r_table("mvp" if method == "disp" else name)
    assert_stats(table, expected, ["mean", "dispersion", "dispersion_scaled"])
    assert_order(selected(table), r_selected(name), expected["dispersion"])
    # g1 is expressed nowhere: its NaN dispersion binned as 0, and never selected.
    assert table.loc["g1", "dispersion"] == 0 and table.loc["g1", "rank"] == 0
    if n_bins == 60:  # a bin holding only g75
        assert np.isnan(table.loc["g75", "dispersion_scaled"])
    if name == "mvp":  # the cut-offs are open intervals
        lowest = expected.loc[r_selected(name), "mean"].idxmin()
        cut = variable_genes(lognorm, method="mvp", gene_names=names,
                             mean_cutoff=(expected.loc[lowest, "mean"], 8))
        assert selected(cut) == [g for g in selected(table) if g != lowest]
    if method == "disp":  # more genes than there are: all but those expressed nowhere
        every = variable_genes(lognorm, method="disp", n_top=10**6, gene_names=names)
        assert set(selected(every)) == set(expected.index[expected["mean"] != 0])


def test_batches():
    counts, _, names, batches = data()
    n_top = 120
    table = variable_genes(counts, method="vst", n_top=n_top, groups=batches, gene_names=names)
    per_batch = [r_selected(f"vst_batch{k}") for k in range(3)]
    want = r_selected("integration")
    # R's rule on R's own batch rankings gives R's order exactly, ties of median rank included.
    position = {g: i for i, g in enumerate(names)}
    order, _, _ = _integrated([np.array([position[g] for g in vf]) for vf in per_batch], n_top,
                              len(names), names)
    assert list(names[order]) == want
    # Ours: genes tied within a batch (to 1e-12 in R) may swap places there, which moves their
    # ranks and counts; every other gene is where R puts it, relative to the others.
    tied = set()
    for k in range(3):
        stat = r_table(f"vst_batch{k}")["variance_standardized"]
        stat = stat[stat > 0].sort_values()
        close = np.isclose(stat.to_numpy()[1:], stat.to_numpy()[:-1], rtol=RTOL, atol=0)
        tied |= set(stat.index[1:][close]) | set(stat.index[:-1][close])
    got = selected(table)
    assert set(got) ^ set(want) <= tied
    assert [g for g in got if g not in tied] == [g for g in want if g not in tied]
    counts_r = pd.Series(np.concatenate(per_batch)).value_counts()
    untied = [g for g in counts_r.index if g not in tied]
    assert (table.loc[untied, "n_batches"] == counts_r[untied]).all()
    assert table.loc["g3", "n_batches"] == counts_r.get("g3", 0)  # all zero in batch 0
    # mean.var.plot in each batch (LogNormalize works cell by cell: the same values), no ties.
    table = variable_genes(data()[1], method="mvp", n_top=60, groups=batches, gene_names=names)
    assert selected(table) == r_selected("integration_mvp")


def test_integration_ties_by_name_or_position():
    # Genes 1 and 3 ("g79", "g391") are selected by both batches with median rank 1.5, genes 2
    # and 0 ("g10", "g8") by one each at rank 3: each pair is ordered by name as strings, or
    # by position without names.
    per_batch = [np.array([1, 3, 2]), np.array([3, 1, 0])]
    names = np.array(["g8", "g79", "g10", "g391"])
    assert list(_integrated(per_batch, 3, 4, names)[0]) == [3, 1, 2]
    assert list(_integrated(per_batch, 3, 4, None)[0]) == [1, 3, 0]
    order, n_batches, median = _integrated(per_batch, 4, 4, None)
    assert list(order) == [1, 3, 0, 2] and list(n_batches) == [1, 2, 1, 2]
    assert list(median) == [3, 1.5, 3, 1.5]


@pytest.mark.parametrize("method", ["vst", "mvp"])
def test_input_kinds(method):
    counts, lognorm, names, batches = data()
    X = counts if method == "vst" else lognorm
    key = "variance_standardized" if method == "vst" else "dispersion"
    kw = dict(method=method, n_top=100)
    want = variable_genes(X, gene_names=names, **kw)

    def same(got):  # dense and sparse sums round differently: ties may swap
        assert (got.index == want.index).all()
        pd.testing.assert_frame_equal(got.drop(columns=["variable", "rank"]),
                                      want.drop(columns=["variable", "rank"]), rtol=RTOL)
        assert_order(selected(got), selected(want), want[key])

    for other in [X.toarray(), X.tocsc(), sp.csr_array(X)]:
        same(variable_genes(other, gene_names=names, **kw))
    unnamed = variable_genes(X, **kw)
    assert isinstance(unnamed.index, pd.RangeIndex)
    same(unnamed.set_index(want.index))
    ad = pytest.importorskip("anndata")
    adata = ad.AnnData(X, obs=pd.DataFrame({"batch": pd.Categorical(batches)},
                                           index=[f"c{i}" for i in range(X.shape[0])]),
                       var=pd.DataFrame(index=list(names)))
    pd.testing.assert_frame_equal(variable_genes(adata, groups="batch", **kw),
                                  variable_genes(X, groups=batches, gene_names=names, **kw))
    assert variable_genes(adata, inplace=True, **kw) is None
    pd.testing.assert_frame_equal(adata.var[want.columns], want)
    if method == "mvp":  # vst_stats takes no dask array yet
        da = pytest.importorskip("dask.array")
        lazy = da.from_array(X.toarray(), chunks=(100, -1))
        same(variable_genes(lazy, gene_names=names, **kw))


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(method="pca"), ValueError, "the methods are 'vst', 'mvp', 'disp'"),
    (dict(n_top=0), ValueError, "n_top must be at least 1"),
    (dict(n_top=2.5), TypeError, "n_top must be an integer"),
    (dict(n_bins=1), ValueError, "n_bins must be at least 2"),
    (dict(mean_cutoff=0.1), ValueError, "mean_cutoff must be a pair"),
    (dict(dispersion_cutoff=(1, 2, 3)), ValueError, "dispersion_cutoff must be a pair"),
    (dict(gene_names=["a", "b"]), ValueError, "one name per gene (500)"),
    (dict(inplace=True), TypeError, "inplace=True writes into an AnnData"),
    (dict(groups=np.r_[np.zeros(299, int), 1]), ValueError, "batch 1 has 1"),
    (dict(groups=np.r_[np.zeros(299, int), 2]), ValueError, "batch 1 has 0, batch 2 has 1"),
    (dict(span=0.01), ValueError, "the loess fit"),
])
def test_bad_input(kwargs, error, message):
    counts, _, _, _ = data()
    with pytest.raises(error) as info:
        variable_genes(counts, **kwargs)
    assert message in str(info.value)
