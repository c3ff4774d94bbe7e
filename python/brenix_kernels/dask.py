"""The four statistics over Dask arrays, with the bits of the single-machine functions.

``x`` is a 2-D dask array chunked along rows; several column chunks are merged first. Its blocks are
NumPy arrays (the dense rules of :func:`brenix_kernels._core.hvg_seurat_stats` and ``scale``) or
SciPy CSR matrices, ``csr_matrix`` or ``csr_array`` (the sparse rules: int32 or int64 indices,
float32 or float64 data used as they are). Results are lazy dask arrays; compute them with any
scheduler.

The results are those of ``brenix_kernels._core`` called on the whole matrix, bit for bit, for any
row chunking. The kernels sum fixed chunks of the matrix (2048 rows, or 1,000,000 stored entries in
storage order) each from zero and add the chunks' sums to a zero total in chunk order; here every
row block computes the sums of the chunks wholly inside it in parallel, and a chain of small
tasks, one per block in row order, passes the running total and the one open chunk's running sums
from block to block: it finishes a chunk cut by block boundaries over the next block's first rows,
then adds that block's chunk sums. No task gathers the chunk sums of all blocks.
"""

from __future__ import annotations

import math
import operator

import numpy as np

try:
    import dask
    import dask.array as da
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError('brenix_kernels.dask needs dask: pip install "brenix_kernels[dask]"') from error

from . import _blocks
from ._blockwise import (PanicException, Sums, csr_entries, dense_block, is_csr, native, type_name,
                         zero_sums)

__all__ = ["hvg_seurat_stats", "mean_var", "scale", "scale_sparse", "PanicException"]


# --- input ------------------------------------------------------------------------------------


def _check_array(x, name):
    if not isinstance(x, da.Array):
        raise TypeError(f"{name}() takes a dask array, not '{type_name(x)}'")
    if x.ndim != 2:
        raise ValueError(f"{name}() takes a 2-D array; this one has shape {x.shape}")
    if any(math.isnan(c) for c in x.chunks[0]):
        raise ValueError(f"{name}(): the row chunk sizes of x must be known, not {x.chunks[0]}; "
                         "call x.compute_chunk_sizes() first")


def _hstack(parts, column_chunks):
    """One row block from its column chunks, in the type of the chunks."""
    if len(parts) == 1:
        return parts[0]
    if all(isinstance(p, np.ndarray) for p in parts):
        return np.concatenate(parts, axis=1)
    if all(is_csr(p) for p in parts) and len({type(p) for p in parts}) == 1:
        import scipy.sparse as sp

        merged = sp.hstack(parts, format="csr")
        return merged if type(merged) is type(parts[0]) else type(parts[0])(merged)
    kinds = sorted({type_name(p) for p in parts})
    raise TypeError(f"cannot merge the column chunks {column_chunks} of x, of types {kinds}: the "
                    "blocks must all be NumPy arrays or all CSR matrices of one class")


def _merge_columns(x, name):
    if x.numblocks[1] == 1:
        return x
    if any(math.isnan(c) for c in x.chunks[1]):
        raise ValueError(f"{name}(): cannot merge the column chunks {x.chunks[1]} of x: their "
                         "sizes must be known")
    n_cols = int(sum(x.chunks[1]))
    return da.blockwise(_hstack, "ik", x, "ij", new_axes={"k": n_cols}, concatenate=False,
                        column_chunks=x.chunks[1], dtype=x.dtype, meta=x._meta)


def _prepare(x, name):
    """The array with one column chunk, whether its blocks are sparse (as its meta says: the graph
    differs), and their row offsets."""
    _check_array(x, name)
    x = _merge_columns(x, name)
    sparse = is_csr(x._meta) or type(x._meta).__module__.startswith("scipy.sparse")
    offsets = np.concatenate([[0], np.cumsum(x.chunks[0])]).astype(int).tolist()
    return x, sparse, offsets


def _statistics(x, sums, offsets):
    """A delayed pair of float64 vectors, from the chain of folds over the row blocks."""
    n_rows, n_cols = x.shape
    blocks = x.to_delayed(optimize_graph=False)[:, 0]
    first = offsets[:-1]
    if sums.sparse:
        # Where each block's entries start in the storage order of the whole matrix: a chain of
        # additions over the blocks' entry counts.
        first, position = [], 0
        for block in blocks:
            first.append(position)
            position = dask.delayed(operator.add, pure=True)(position, _nnz(block))
    partial = dask.delayed(sums.partial, pure=True)
    fold = dask.delayed(sums.fold, pure=True)
    state = (zero_sums(n_cols), None)
    for block, start in zip(blocks, first):
        state = fold(state, partial(block, start))
    return dask.delayed(sums.finish, pure=True)(state, n_rows)


@dask.delayed(pure=True)
def _nnz(block):
    return int(block.indptr[-1]) if is_csr(block) else 0


def _vector(pair, i, n_cols):
    return da.from_delayed(dask.delayed(operator.getitem, pure=True)(pair, i), shape=(n_cols,),
                           dtype=np.float64)


# --- the public functions ----------------------------------------------------------------------


def hvg_seurat_stats(x, *, log_base=None, square_f64=False):
    """Per-gene ``(means, dispersions)`` of a log1p-transformed matrix, as float64 dask arrays.

    Dense blocks follow ``_core.hvg_seurat_stats`` (``square_f64`` must be False), CSR blocks
    ``_core.hvg_seurat_stats_sparse`` on the whole matrix's stored entries.
    """
    x, sparse, offsets = _prepare(x, "hvg_seurat_stats")
    if square_f64 and not sparse:
        raise TypeError("hvg_seurat_stats(): square_f64 applies to CSR blocks only; the dense "
                        "function squares in the precision of the data")
    sums = Sums(sparse, True, log_base, bool(square_f64))
    pair = _statistics(x, sums, offsets)
    return _vector(pair, 0, x.shape[1]), _vector(pair, 1, x.shape[1])


def mean_var(x, *, square_f64=False, groups=None):
    """Per-gene ``(means, variances)`` as float64 dask arrays: those of
    :func:`brenix_kernels.mean_var` on the whole matrix (variances with the n/(n-1) factor, none
    for one row). Dense blocks sum in 2048-row chunks as ``_core.scale``, CSR blocks in
    1,000,000-entry chunks as ``_core.scale_sparse_data``; ``square_f64`` squares float32 values
    after widening.
    """
    x, sparse, offsets = _prepare(x, "mean_var")
    sums = Sums(sparse, False, None, bool(square_f64), "mean_var")
    pair = _statistics(x, sums, offsets)
    return _vector(pair, 0, x.shape[1]), _vector(pair, 1, x.shape[1])


def _scale_dense_block(block, mean, std, zero_center, max_value):
    return native(_blocks.scale_dense, dense_block(block), mean, std, zero_center=zero_center,
                   max_value=max_value)


def scale(x, *, zero_center=True, max_value=None, return_mean_std=False):
    """``_core.scale`` of a dense matrix: the scaled matrix (float32 for float32 input, float64
    otherwise) in the row chunks of ``x``, or ``(scaled, mean, std)`` with ``return_mean_std``.
    """
    x, sparse, offsets = _prepare(x, "scale")
    if sparse:
        raise TypeError("scale() takes dense blocks; use scale_sparse() for CSR blocks")
    pair = _statistics(x, Sums(False, False), offsets)
    mean, std = _vector(pair, 0, x.shape[1]), _vector(pair, 1, x.shape[1])
    dtype = np.float32 if x.dtype == np.float32 else np.float64
    scaled = da.blockwise(_scale_dense_block, "ij", x, "ij", mean, "j", std, "j",
                          zero_center=bool(zero_center), max_value=max_value, dtype=dtype,
                          meta=np.empty((0, 0), dtype))
    return (scaled, mean, std) if return_mean_std else scaled


def _scale_csr_block(block, std, max_value, promote):
    indices, data = csr_entries(block)
    values = native(_blocks.scale_sparse_values, indices, data, std, max_value=max_value,
                     promote=promote)
    out = type(block)((values, block.indices, block.indptr), shape=block.shape, copy=False)
    out.indices, out.indptr = block.indices, block.indptr  # the input's index types, unchanged
    return out


def scale_sparse(x, *, max_value=None, promote=False):
    """``_core.scale_sparse_data`` of a CSR matrix: ``(scaled, mean, std)``, where ``scaled`` has
    CSR blocks of the input's class and structure holding the scaled values.
    """
    x, sparse, offsets = _prepare(x, "scale_sparse")
    if not sparse:
        raise TypeError("scale_sparse() takes CSR blocks; use scale() for dense blocks")
    pair = _statistics(x, Sums(True, False, square_f64=bool(promote)), offsets)
    mean, std = _vector(pair, 0, x.shape[1]), _vector(pair, 1, x.shape[1])
    dtype = np.float32 if x.dtype == np.float32 and not promote else np.float64
    scaled = da.blockwise(_scale_csr_block, "ij", x, "ij", std, "j", max_value=max_value,
                          promote=bool(promote), dtype=dtype, meta=x._meta.astype(dtype))
    return scaled, mean, std
