"""AnnData objects and matrices read from .h5ad / .zarr files in row blocks, against the in-memory
functions on the loaded matrix, bit for bit; scale's out=; the errors of files; a streamed run
within a memory limit far below the file's size."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

ad = pytest.importorskip("anndata")
h5py = pytest.importorskip("h5py")
sp = pytest.importorskip("scipy.sparse")

import brenix_kernels as bk  # noqa: E402
from conftest import INDEX_MSG, TIMEOUT_SCALE, assert_same, run_py  # noqa: E402

UNDER_SANITIZER = os.environ.get("BRENIX_UNDER_SANITIZER") == "1"


def counts(seed, n_rows, n_cols, density, dtype="f4"):
    """log1p of small counts, in CSR with sorted indices."""
    m = sp.random(n_rows, n_cols, density=density, format="csr", dtype=np.float64, random_state=seed)
    m.data = np.log1p(np.ceil(m.data * 9)).astype(dtype)
    return m


def write_csr_group(file, m, name="X"):
    """A CSR matrix as anndata encodes it, its arrays written as they are (duplicates and all)."""
    g = file.create_group(name)
    g.attrs.update({"encoding-type": "csr_matrix", "encoding-version": "0.1.0", "shape": m.shape})
    for key in ("data", "indices", "indptr"):
        g.create_dataset(key, data=getattr(m, key))
    return g


def open_backed(tmp_path, fmt, X):
    """X written as an AnnData object's X in `fmt`, and what reads it back without loading it."""
    adata = ad.AnnData(X)
    adata.obs["cluster"] = np.arange(X.shape[0]) % 3
    if fmt == "h5ad":
        adata.write_h5ad(tmp_path / "x.h5ad")
        return ad.read_h5ad(tmp_path / "x.h5ad", backed="r")
    zarr = pytest.importorskip("zarr")
    adata.write_zarr(tmp_path / "x.zarr")
    g = zarr.open_group(tmp_path / "x.zarr", mode="r")
    return ad.io.sparse_dataset(g["X"]) if sp.issparse(X) else g["X"]


MATRICES = {
    "dense": lambda: counts(1, 5000, 37, 0.3).toarray(),
    "dense-f8": lambda: counts(2, 3000, 20, 0.5, "f8").toarray(),
    "csr": lambda: counts(3, 6000, 50, 0.2),
}


@pytest.mark.parametrize("fmt", ["h5ad", "zarr"])
@pytest.mark.parametrize("matrix", MATRICES)
def test_streamed_matches_in_memory(tmp_path, fmt, matrix):
    """Blocks cut inside the kernels' 2048-row chunks, and the default (one block)."""
    X = MATRICES[matrix]()
    backed = open_backed(tmp_path, fmt, X)
    row = X.shape[1] * X.dtype.itemsize
    for block_bytes, square_f64 in ((700 * row, True), (2500 * row, False), (None, False)):
        kw = {"block_bytes": block_bytes}
        assert_same(bk.hvg_seurat_stats(backed, **kw), bk.hvg_seurat_stats(X))
        assert_same(bk.hvg_seurat_stats(backed, log_base=2, **kw), bk.hvg_seurat_stats(X, log_base=2))
        if sp.issparse(X):
            assert_same(bk.hvg_seurat_stats(backed, square_f64=True, **kw),
                        bk.hvg_seurat_stats(X, square_f64=True))
        assert_same(bk.mean_var(backed, square_f64=square_f64, **kw), bk.mean_var(X, square_f64=square_f64))
        expected = bk.scale(X, max_value=2.5, return_mean_std=True)
        out = np.full(expected[0].shape, np.nan, expected[0].dtype)
        assert_same(bk.scale(backed, max_value=2.5, return_mean_std=True, out=out, **kw), expected)


@pytest.mark.parametrize("sparse", [False, True])
def test_one_row_blocks(tmp_path, sparse):
    X = counts(12, 2100, 9, 0.4)
    backed = open_backed(tmp_path, "h5ad", X if sparse else X.toarray())
    assert_same(bk.hvg_seurat_stats(backed, block_bytes=1), bk.hvg_seurat_stats(X))


def test_anndata_in_memory_and_layers():
    X = counts(4, 3000, 25, 0.3)
    adata = ad.AnnData(X.copy(), layers={"dense": X.toarray(), "f8": X.astype("f8")})
    before = adata.copy()
    assert_same(bk.hvg_seurat_stats(adata), bk.hvg_seurat_stats(X))
    assert_same(bk.hvg_seurat_stats(adata, layer="dense"), bk.hvg_seurat_stats(X.toarray()))
    assert_same(bk.mean_var(adata, layer="f8"), bk.mean_var(X.astype("f8")))
    assert_same(bk.scale(adata, layer="dense", return_mean_std=True),
                bk.scale(X.toarray(), return_mean_std=True))
    for key in ("dense", "f8"):
        assert np.array_equal(adata.layers[key] if key == "dense" else adata.layers[key].toarray(),
                              before.layers[key] if key == "dense" else before.layers[key].toarray())
    assert np.array_equal(adata.X.toarray(), before.X.toarray()) and adata.X is not before.X
    with pytest.raises(KeyError, match="no layer 'counts'.*'dense', 'f8'"):
        bk.hvg_seurat_stats(adata, layer="counts")
    with pytest.raises(TypeError, match="layer= names a layer of an AnnData object"):
        bk.mean_var(X, layer="dense")
    with pytest.raises(TypeError, match="out= is where the scaled rows"):
        bk.scale(adata, out=np.empty(X.shape, "f4"))


@pytest.mark.parametrize("fmt", ["h5ad", "zarr"])
def test_streamed_groups(tmp_path, fmt):
    X = counts(5, 5000, 30, 0.3)
    groups = np.random.default_rng(0).integers(-1, 4, X.shape[0])
    for data in (X, X.toarray()):
        sub = tmp_path / type(data).__name__
        sub.mkdir()
        backed = open_backed(sub, fmt, data)
        for block_bytes in (3000, 900 * 30 * 4):
            assert_same(bk.hvg_seurat_stats(backed, groups=groups, block_bytes=block_bytes),
                        bk.hvg_seurat_stats(data, groups=groups))
            assert_same(bk.mean_var(backed, groups=groups, block_bytes=block_bytes),
                        bk.mean_var(data, groups=groups))
        if fmt == "h5ad":  # groups named by an obs column
            assert_same(bk.hvg_seurat_stats(backed, groups="cluster"),
                        bk.hvg_seurat_stats(data, groups=np.arange(X.shape[0]) % 3))


def test_scale_out(tmp_path):
    """Into a memmap, a Zarr array and an HDF5 dataset; with a mask, promote and without centring."""
    X = counts(6, 4000, 30, 0.3)
    backed = open_backed(tmp_path, "h5ad", X)
    dense_path = tmp_path / "dense.h5"
    with h5py.File(dense_path, "w") as f:
        f.create_dataset("X", data=X.toarray(), chunks=(500, 30))
    mask = np.random.default_rng(1).random(X.shape[0]) < 0.6
    zarr = pytest.importorskip("zarr")
    with h5py.File(dense_path, "r") as f, h5py.File(tmp_path / "out.h5", "w") as outs:
        for source, matrix in ((backed, X), (f["X"], X.toarray())):
            for kw in ({}, {"mask": mask, "max_value": 1.5}, {"promote": True, "mask": mask},
                       {"zero_center": False, "max_value": 2.0}):
                expected = bk.scale(matrix, return_mean_std=True, **kw)
                values = expected[0].data if sp.issparse(expected[0]) else expected[0]
                name = f"{len(outs)}"
                for out in (np.lib.format.open_memmap(tmp_path / f"{name}.npy", "w+", values.dtype,
                                                      values.shape),
                            zarr.create_array(tmp_path / f"{name}.zarr", shape=values.shape,
                                              chunks=(700,) + values.shape[1:], dtype=values.dtype),
                            outs.create_dataset(name, shape=values.shape, dtype=values.dtype)):
                    got, mean, std = bk.scale(source, return_mean_std=True, out=out, block_bytes=200_000,
                                              **kw)
                    assert got is out
                    assert_same((np.asarray(out[...]), mean, std), (values,) + expected[1:])
        with pytest.raises(ValueError, match=re.escape("out= must have shape (4000, 30) and dtype "
                                                       "float32")):
            bk.scale(f["X"], out=np.empty((4000, 30)))
        with pytest.raises(ValueError, match=re.escape(f"shape ({X.nnz},) and dtype float64")):
            bk.scale(backed, zero_center=False, promote=True, out=np.empty(X.nnz, "f4"))
        with pytest.raises(ValueError, match=r"writes the scaled matrix to out=.*rather than loading"):
            bk.scale(f["X"])


def with_duplicate(m, row):
    """m with the first entry of `row` stored twice."""
    at = m.indptr[row]
    indices = np.insert(m.indices, at, m.indices[at])
    data = np.insert(m.data, at, m.data[at])
    indptr = m.indptr.copy()
    indptr[row + 1:] += 1
    return sp.csr_matrix((data, indices, indptr), shape=m.shape)


def with_index(m, entry, col):
    indices = m.indices.copy()
    indices[entry] = col
    return sp.csr_matrix((m.data.copy(), indices, m.indptr.copy()), shape=m.shape)


def csr_file(path, m):
    with h5py.File(path, "w") as f:
        write_csr_group(f, m)
    return h5py.File(path, "r")


def test_entry_errors_as_in_memory(tmp_path):
    """The first bad entry in storage order, duplicate or out of range, in whichever block it is,
    with the in-memory function's message; rows left out by a mask are checked too."""
    m = counts(7, 3000, 20, 0.3)
    late_dup = with_duplicate(m, 2500)
    cases = {
        "duplicate": late_dup,
        "out of range after a duplicate": with_index(late_dup, late_dup.indptr[2600], 20),
        "out of range before a duplicate": with_index(late_dup, m.indptr[1000] + 1, 25),
        "negative": with_index(m, m.indptr[2999], -1),
    }
    mask = np.ones(3000, bool)
    mask[2400:] = False
    for i, (case, bad) in enumerate(cases.items()):
        with pytest.raises(BaseException) as info:
            bk.hvg_seurat_stats(bad)
        expected = (type(info.value).__name__, str(info.value))
        with csr_file(tmp_path / f"{i}.h5", bad) as f:
            X = ad.io.sparse_dataset(f["X"])
            for call in (lambda: bk.hvg_seurat_stats(X, block_bytes=5000),
                         lambda: bk.mean_var(X, groups=np.arange(3000) % 2, block_bytes=3000),
                         lambda: bk.scale(X, out=np.empty(bad.shape, "f4"), block_bytes=20000),
                         lambda: bk.scale(X, zero_center=False, out=np.empty(bad.nnz, "f4"),
                                          mask=mask, block_bytes=777)):
                with pytest.raises(BaseException) as info:
                    call()
                assert (type(info.value).__name__, str(info.value)) == expected, case
    assert expected[1] == INDEX_MSG.format(20, 2**64 - 1)


def test_unreadable_files(tmp_path):
    """A file that ends early or whose chunk cannot be decoded: OSError naming it and the rows."""
    m = counts(8, 4000, 20, 0.3)
    short = tmp_path / "short.h5"
    with h5py.File(short, "w") as f:
        g = write_csr_group(f, m)
        del g["data"]
        g.create_dataset("data", data=m.data[: m.indptr[3100]])
    corrupt = tmp_path / "corrupt.h5"
    with h5py.File(corrupt, "w") as f:
        ds = f.create_dataset("X", data=m.toarray(), chunks=(500, 20), compression="gzip")
        info = ds.id.get_chunk_info(4)  # rows 2000:2500
    with open(corrupt, "r+b") as f:
        f.seek(info.byte_offset + 10)
        f.write(b"\xff" * 64)
    with h5py.File(short, "r") as f:
        with pytest.raises(OSError, match=re.escape(f"of {short}:/X: the file ends early")) as error:
            bk.hvg_seurat_stats(ad.io.sparse_dataset(f["X"]), block_bytes=20000)
        first, last = map(int, re.search(r"cannot read rows (\d+):(\d+) of", str(error.value)).groups())
        assert first <= 3100 < last
    with h5py.File(corrupt, "r") as f:
        with pytest.raises(OSError, match=re.escape(f"cannot read rows 1800:2700 of {corrupt}:/X")):
            bk.hvg_seurat_stats(f["X"], block_bytes=900 * 20 * 4)


def test_kinds_not_streamed(tmp_path):
    m = counts(10, 100, 20, 0.3)
    with h5py.File(tmp_path / "csc.h5", "w") as f:
        write_csr_group(f, m.T.tocsr())
        f["X"].attrs.update({"encoding-type": "csc_matrix", "shape": m.shape})
        f.create_dataset("v", data=np.zeros(5))
        f.create_dataset("d", data=np.zeros((5, 2)))
    with h5py.File(tmp_path / "csc.h5", "r") as f:
        with pytest.raises(TypeError, match="must be stored as CSR, not CSC"):
            bk.hvg_seurat_stats(ad.io.sparse_dataset(f["X"]))
        with pytest.raises(ValueError, match="takes a 2-D matrix"):
            bk.mean_var(f["v"])
        with pytest.raises(ValueError, match="block_bytes must be positive"):
            bk.hvg_seurat_stats(f["d"], block_bytes=0)


@pytest.mark.parametrize("array, dtype, message", [
    ("indices", "f8", "the indices of {}:/X must be integers, not float64"),
    ("indptr", "f4", "the indptr of {}:/X must be integers, not float32"),
    ("data", "c8", "{}:/X must be real numbers (bool, integer or floating), not complex64; take the real part"),
    ("dense", "c16", "{}:/X must be real numbers (bool, integer or floating), not complex128; take the real part"),
])
def test_element_types_refused(tmp_path, array, dtype, message):
    m, path = counts(11, 50, 20, 0.3), tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        if array == "dense":
            f.create_dataset("X", data=m.toarray().astype(dtype))
        else:
            setattr(m, array, getattr(m, array).astype(dtype))
            write_csr_group(f, m)
    with h5py.File(path, "r") as f:
        X = f["X"] if array == "dense" else ad.io.sparse_dataset(f["X"])
        with pytest.raises(TypeError, match=re.escape(message.format(path))):
            bk.mean_var(X)


def test_progress(tmp_path, capsys):
    pytest.importorskip("tqdm")
    X = counts(11, 3000, 20, 0.3)
    backed = open_backed(tmp_path, "h5ad", X)
    bk.hvg_seurat_stats(backed, progress=True, block_bytes=5000)
    assert "3000/3000" in capsys.readouterr().err
    bk.hvg_seurat_stats(backed, block_bytes=5000)
    assert capsys.readouterr().err == ""


MEASURE = """
import sys
import numpy as np
import anndata as ad, h5py
import brenix_kernels as bk

def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))

path, out = sys.argv[1], sys.argv[2]
with h5py.File(path, "r") as f:
    X = ad.io.sparse_dataset(f["X"])
    bk.hvg_seurat_stats(X, block_bytes=1 << 20)  # the modules of the run loaded, at their size
    with open("/proc/self/clear_refs", "w") as refs:  # the peak starts again from here
        refs.write("5")
    start = status("VmRSS")
    means, dispersions = bk.hvg_seurat_stats(X, block_bytes={block_bytes})
    peak = status("VmHWM")
np.save(out, np.stack([means, dispersions]))
print(start, peak)
"""


@pytest.mark.slow
@pytest.mark.skipif(UNDER_SANITIZER, reason="ASan keeps freed memory in quarantine")
@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux's peak RSS reset")
def test_streamed_within_memory_limit(tmp_path):
    """A 480 MB CSR file read by a process whose resident memory grows by less than 80 MB: blocks
    of 32 MiB and the row pointers (4.8 MB), no more."""
    limit, n_rows, n_cols, per_row = 80e6, 600_000, 1000, 100
    path = tmp_path / "x.h5"
    rng = np.random.default_rng(0)
    with h5py.File(path, "w") as f:
        g = f.create_group("X")
        g.attrs.update({"encoding-type": "csr_matrix", "encoding-version": "0.1.0",
                        "shape": (n_rows, n_cols)})
        nnz = n_rows * per_row
        data = g.create_dataset("data", (nnz,), "f4")
        indices = g.create_dataset("indices", (nnz,), "i4")
        g.create_dataset("indptr", data=np.arange(0, nnz + 1, per_row, dtype=np.int64))
        rows = 50_000
        for first in range(0, n_rows, rows):
            step = n_cols // per_row  # one column in each run of `step`: rising, none twice
            cols = np.arange(per_row) * step + rng.integers(0, step, (rows, per_row))
            indices[first * per_row:(first + rows) * per_row] = cols.ravel()
            data[first * per_row:(first + rows) * per_row] = np.log1p(rng.integers(1, 20, rows * per_row))
    size = os.path.getsize(path)
    child = subprocess.run([sys.executable, "-c", MEASURE.format(block_bytes=32 << 20), str(path),
                            str(tmp_path / "got.npy")], capture_output=True, text=True, timeout=300 * TIMEOUT_SCALE)
    assert child.returncode == 0, child.stderr
    start, peak = map(int, child.stdout.split())
    assert size > 4 * limit and peak - start < limit, (size, start, peak)
    with h5py.File(path, "r") as f:
        X = ad.io.sparse_dataset(f["X"]).to_memory()
    assert_same(tuple(np.load(tmp_path / "got.npy")), bk.hvg_seurat_stats(X))


def test_no_file_libraries_imported():
    """In-memory calls, scale included, import none of the libraries of files."""
    child = run_py("import sys, numpy as np, brenix_kernels as bk\n"
                   "x = np.ones((5, 3), 'f4')\n"
                   "bk.hvg_seurat_stats(x); bk.mean_var(x); bk.scale(x)\n"
                   "print(sorted({m.split('.')[0] for m in sys.modules} & "
                   "{'anndata', 'h5py', 'zarr', 'tqdm', 'scipy', 'pandas'}))")
    assert child.returncode == 0 and child.stdout.strip() == "[]", child.stderr
