"""Matrices that stay in their files: AnnData objects, and X read a row block at a time.

A backed AnnData's X (``anndata.read_h5ad(path, backed="r")``), an HDF5 or Zarr dataset, or
anndata's sparse dataset over an HDF5 or Zarr group is never loaded whole. Its rows are read in
blocks whose size bounds the memory a run takes, and folded in row order by
``_folds.Chain``, whose results are those of the in-memory functions on the whole matrix, bit
for bit, wherever the blocks are cut. ``scale`` reads the file twice: once for the statistics,
then again to write the scaled rows, block by block, where the caller says.

Nothing here imports anndata, h5py or zarr: their objects are recognised by their types' names,
and such an object cannot exist unless its library has been imported already.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _blocks
from ._folds import Chain, Sums, csr_arrays, native
from ._inputs import _group_codes, _integer_entries, _no_genes, _real_values, _row_mask

# A block of about this many bytes, with its conversions, is what a streamed run keeps in memory
# beside its results.
DEFAULT_BLOCK_BYTES = 256 << 20


def _module(obj: Any) -> str:
    return type(obj).__module__.split(".")[0]


def is_anndata(obj: Any) -> bool:
    return type(obj).__name__ == "AnnData" and _module(obj) == "anndata"


def anndata_matrix(adata: Any, layer: str | None, function: str) -> Any:
    """The matrix of an AnnData object that a function reads: X, or one of its layers."""
    if layer is None:
        X = adata.X
        if X is None:
            raise ValueError(f"{function}(): this AnnData object has no X; name a layer with layer=")
        return X
    if layer not in adata.layers:
        raise KeyError(f"{function}(): no layer {layer!r} in this AnnData object; it has "
                       f"{sorted(k for k in adata.layers.keys() if k is not None)}")
    return adata.layers[layer]


def anndata_groups(adata: Any, groups: Any) -> Any:
    """``groups`` given by the name of a column of ``adata.obs``: that column."""
    if isinstance(groups, str):
        if groups not in adata.obs.columns:
            raise KeyError(f"groups={groups!r} is not a column of this AnnData object's obs")
        return adata.obs[groups]
    return groups


# --- what is read ------------------------------------------------------------------------------


def _name(obj: Any) -> str:
    """Where an HDF5 or Zarr object lives, for messages: the file, and the path within it."""
    if hasattr(obj, "file") and hasattr(obj.file, "filename"):  # h5py
        return f"{obj.file.filename}:{obj.name}"
    store = getattr(obj, "store", None)
    if store is not None:
        return f"{store}/{getattr(obj, 'path', '')}".rstrip("/")
    return type(obj).__qualname__


class _Light:
    """A CSR row block as the chain reads it (``format``, ``shape``, ``indptr``, ``indices``,
    ``data``): the arrays as read, none converted. SciPy's constructor would pick one index type
    for indptr and indices and so may copy the block's indices."""

    format = "csr"

    def __init__(self, indptr: np.ndarray, indices: np.ndarray, data: np.ndarray, n_cols: int):
        self.indptr, self.indices, self.data = indptr, indices, data
        self.shape = (indptr.size - 1, n_cols)

    def select(self, keep: np.ndarray) -> _Light:
        """The rows where ``keep`` is True, their entries in storage order."""
        counts = np.diff(self.indptr)
        entries = np.repeat(keep, counts)
        indptr = np.concatenate([[0], np.cumsum(counts[keep])])
        return _Light(indptr, self.indices[entries], self.data[entries], self.shape[1])

    def toarray(self) -> np.ndarray:
        """The dense rows; entries were checked first (in range, none twice)."""
        out = np.zeros(self.shape, self.data.dtype)
        out[np.repeat(np.arange(self.shape[0]), np.diff(self.indptr)), self.indices] = self.data
        return out


@dataclass
class Source:
    """A 2-D matrix in a file, read a row range at a time."""

    obj: Any  # the dataset, or anndata's sparse dataset
    name: str
    sparse: bool
    n_rows: int
    n_cols: int
    dtype: np.dtype
    group: Any = None  # sparse: the group holding data, indices, indptr
    indptr: np.ndarray | None = None

    def read(self, start: int, stop: int):
        try:
            if not self.sparse:
                block = np.asarray(self.obj[start:stop])
                if block.shape != (stop - start, self.n_cols):
                    raise OSError(f"read {block.shape[0]} rows instead of {stop - start}")
                return block
            first, last = int(self.indptr[start]), int(self.indptr[stop])
            indices = np.asarray(self.group["indices"][first:last])
            data = np.asarray(self.group["data"][first:last])
            if indices.size != last - first or data.size != last - first:
                raise OSError(f"the file ends early: {min(indices.size, data.size)} of the "
                              f"{last - first} stored entries {first}:{last} are there")
            return _Light(self.indptr[start:stop + 1] - first, indices, data, self.n_cols)
        except (KeyboardInterrupt, SystemExit, MemoryError):
            raise
        except Exception as error:
            raise OSError(f"cannot read rows {start}:{stop} of {self.name}: {error}") from error

    def blocks(self, block_bytes: int | None, row_bytes: int, entry_bytes: int):
        """(start, stop) of each block, in order: as many rows as fit in ``block_bytes`` at the
        given cost per row and per stored entry, at least one."""
        budget = DEFAULT_BLOCK_BYTES if block_bytes is None else int(block_bytes)
        if budget <= 0:
            raise ValueError(f"block_bytes must be positive, not {block_bytes}")
        if not self.sparse:
            step = max(1, budget // max(1, row_bytes))
            return [(s, min(s + step, self.n_rows)) for s in range(0, self.n_rows, step)]
        cost = self.indptr * entry_bytes + np.arange(self.n_rows + 1, dtype=np.int64) * row_bytes
        bounds, start = [], 0
        while start < self.n_rows:
            stop = int(np.searchsorted(cost, cost[start] + budget, side="right")) - 1
            stop = min(max(stop, start + 1), self.n_rows)
            bounds.append((start, stop))
            start = stop
        return bounds


def _load_indptr(group: Any, name: str, n_rows: int) -> np.ndarray:
    try:
        indptr = np.asarray(group["indptr"][:], dtype=np.int64)
    except (KeyboardInterrupt, SystemExit, MemoryError):
        raise
    except Exception as error:
        raise OSError(f"cannot read the row pointers of {name}: {error}") from error
    if indptr.shape != (n_rows + 1,) or indptr[0] != 0 or np.any(np.diff(indptr) < 0):
        raise OSError(f"the row pointers of {name} are not those of a CSR matrix of {n_rows} rows "
                      "(n_rows + 1 of them, from 0, never decreasing)")
    return indptr


def source(X: Any, function: str) -> Source | None:
    """X as a matrix to read from its file a block at a time, or None if X is something else."""
    module, name = _module(X), type(X).__name__
    if module == "anndata" and hasattr(X, "group") and getattr(X, "format", None) in ("csr", "csc"):
        if X.format == "csc":
            raise TypeError(f"{function}() reads a matrix from its file by rows, so it must be "
                            f"stored as CSR, not CSC ({_name(X.group)}); write it as CSR")
        n_rows, n_cols = (int(n) for n in X.shape)
        where = _name(X.group)
        _integer_entries(X.group["indptr"].dtype, X.group["indices"].dtype, X.dtype, where)
        return Source(X, where, True, n_rows, n_cols, np.dtype(X.dtype), X.group,
                      _load_indptr(X.group, where, n_rows))
    if (module == "h5py" and name == "Dataset") or (module == "zarr" and name == "Array"):
        if len(X.shape) != 2:
            raise ValueError(f"{function}() takes a 2-D matrix; {_name(X)} has shape {X.shape}")
        _real_values(X.dtype, _name(X))
        return Source(X, _name(X), False, int(X.shape[0]), int(X.shape[1]), np.dtype(X.dtype))
    return None


# --- the passes --------------------------------------------------------------------------------


def _values(dtype: np.dtype, as_float64: bool) -> np.dtype:
    """The element type the native code reads: float32 or float64 as stored, others as float64."""
    if as_float64 or dtype not in (np.float32, np.float64):
        return np.dtype(np.float64)
    return dtype


def _check_entries(block: _Light, first_row: int, n_cols: int) -> None:
    """Raises the block's first bad stored entry in storage order as the in-memory functions do:
    an index out of range, or an entry stored twice (its row counted from ``first_row``).

    Indices of a type other than int32 and int64, which SciPy does not make but a file may hold,
    are checked widened, as the in-memory functions take them; the sums refuse them still.
    """
    indices = block.indices
    if indices.dtype != np.int32 and indices.dtype != np.int64:
        indices = indices.astype(np.int64)
    native(_blocks.check_csr, block.indptr, indices, n_cols, first_row)


class _Progress:
    def __init__(self, show: bool, total: int, what: str):
        self.bar = None
        if show:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit="rows", desc=what)

    def update(self, rows: int) -> None:
        if self.bar is not None:
            self.bar.update(rows)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


@dataclass
class Pass:
    """One read of the whole matrix: how its blocks are converted and folded."""

    src: Source
    block_bytes: int | None
    progress: bool
    what: str

    def run(self, sums: Sums, *, as_float64: bool = False, densify: bool = False,
            codes: np.ndarray | None = None, n_groups: int | None = None,
            rows: np.ndarray | None = None, write=None):
        """Folds every block into a chain of ``sums`` and returns its result; ``write(start,
        stop, block)`` is called with each block after its checks and conversions, when given.
        With ``rows`` (one boolean per row), only the rows where it is True are folded."""
        src = self.src
        values = _values(src.dtype, as_float64)
        chain = None if sums is None else Chain(sums, src.n_cols, n_groups)
        if src.sparse:
            index_bytes = np.dtype(src.group["indices"].dtype).itemsize
            # Values converted to float64 are a second copy of them; a dense block comes with
            # its scaled rows; scaled values come with one float64 (at most) per entry.
            entry = src.dtype.itemsize + index_bytes + (8 if values != src.dtype else 0)
            entry += 8 if write is not None and not densify else 0
            row = 8 + (src.n_cols * (values.itemsize + 8) if densify else 0)
        else:
            entry = 0
            row = src.n_cols * (src.dtype.itemsize + (values.itemsize if values != src.dtype else 0)
                                + (8 if write is not None else 0))
        bar = _Progress(self.progress, src.n_rows, self.what)
        try:
            for start, stop in src.blocks(self.block_bytes, row, entry):
                block = src.read(start, stop)
                if src.sparse:
                    _check_entries(block, start, src.n_cols)
                    if block.data.dtype != values:
                        block.data = block.data.astype(values)
                    if densify:
                        block = block.toarray()
                elif block.dtype != values:
                    block = block.astype(values)
                if chain is not None:
                    kept = block
                    if rows is not None:
                        keep = rows[start:stop]
                        kept = block[keep] if isinstance(block, np.ndarray) else block.select(keep)
                    if codes is None:
                        chain.add(kept)
                    else:
                        chain.add(kept, codes=codes[start:stop])
                if write is not None:
                    write(start, stop, block)
                bar.update(stop - start)
                block = kept = None  # before the next block is read
        finally:
            bar.close()
        return None if chain is None else chain.result()


# --- what the public functions stream ----------------------------------------------------------


def statistics(src: Source, sums: Sums, groups: Any, block_bytes: int | None, progress: bool,
               what: str):
    """The statistics of ``sums`` over the matrix, of each group's rows with ``groups``."""
    codes, n_groups = (None, None) if groups is None else _group_codes(groups, src.n_rows,
                                                                      src.n_cols)
    if src.n_cols == 0:
        return _no_genes(n_groups)
    return Pass(src, block_bytes, progress, what).run(sums, codes=codes, n_groups=n_groups)


def _check_out(out: Any, shape: tuple[int, ...], dtype: np.dtype, what: str) -> None:
    if out is None:
        raise ValueError(f"scale() of a matrix read from a file writes {what} to out=, an array "
                         f"of shape {shape} and dtype {dtype} (a NumPy memmap, a Zarr array or an "
                         "HDF5 dataset), rather than loading it all into memory")
    if tuple(out.shape) != shape or np.dtype(out.dtype) != dtype:
        raise ValueError(f"out= must have shape {shape} and dtype {dtype} ({what}); it has shape "
                         f"{tuple(out.shape)} and dtype {np.dtype(out.dtype)}")


def _write(out: Any, first: int, last: int, values: np.ndarray, src: Source) -> None:
    try:
        out[first:last] = values
    except (KeyboardInterrupt, SystemExit, MemoryError):
        raise
    except Exception as error:
        raise OSError(f"cannot write rows of the scaled {src.name} to out=: {error}") from error


def scale(src: Source, zero_center, max_value, promote, mask, return_mean_std, out, block_bytes,
          progress):
    """``scale`` of the matrix: the statistics from one read, then the scaled rows written to
    ``out`` block by block from a second."""
    rows = None if mask is None else _row_mask(mask, src.n_rows)
    as_float64 = bool(promote) and src.dtype == np.float32
    first = Pass(src, block_bytes, progress, "scale: statistics")
    second = Pass(src, block_bytes, progress, "scale: writing")
    if not src.sparse or zero_center:
        dtype = np.dtype(np.float32 if _values(src.dtype, as_float64) == np.float32
                         else np.float64)
        _check_out(out, (src.n_rows, src.n_cols), dtype, "the scaled matrix")
        mean, std = first.run(Sums(sparse=False, expm1=False), as_float64=as_float64,
                              densify=src.sparse, rows=rows)

        def write(start, stop, block):
            scaled = native(_blocks.scale_dense, block, mean, std, zero_center=bool(zero_center),
                            max_value=max_value, mask=None if rows is None else rows[start:stop])
            _write(out, start, stop, scaled, src)

        second.run(None, as_float64=as_float64, densify=src.sparse, write=write)
    else:
        nnz = int(src.indptr[-1])
        dtype = np.dtype(np.float32 if src.dtype == np.float32 and not promote else np.float64)
        _check_out(out, (nnz,), dtype, "the scaled values of the stored entries, in storage order "
                   "(the structure is the input's)")
        mean, std = first.run(Sums(sparse=True, expm1=False, square_f64=bool(promote)), rows=rows)

        def write(start, stop, block):
            values = native(_blocks.scale_sparse_values, *csr_arrays(block), std,
                            max_value=max_value, promote=bool(promote),
                            mask=None if rows is None else rows[start:stop])
            _write(out, int(src.indptr[start]), int(src.indptr[stop]), values, src)

        second.run(None, write=write)
    return (out, mean, std) if return_mean_std else out
