"""The statistics over Dask arrays (``hvg_seurat_stats``, ``mean_var``, ``scale``, ``scale_sparse``),
with the bits of the single-machine functions.

``x`` is a 2-D dask array chunked along rows; several column chunks are merged first. Its blocks are
NumPy arrays (the dense rules of :func:`brenix_kernels._core.hvg_seurat_stats` and ``scale``) or
SciPy CSR matrices, ``csr_matrix`` or ``csr_array`` (the sparse rules: int32 or int64 indices,
float32 or float64 data used as they are). Results are lazy dask arrays; compute them with any
scheduler.

The results are those of the single-machine functions called on the whole matrix
(``brenix_kernels._core``'s, and :func:`brenix_kernels.mean_var`'s), bit for bit, for any row
chunking. The kernels sum fixed chunks of the matrix (2048 rows, or 1,000,000 stored entries in
storage order) each from zero and add the chunks' sums to a zero total in chunk order; here every
row block computes the sums of the chunks wholly inside it, and of the start of the chunk it leaves
open, in parallel. A second task on the block's worker continues that open chunk, as the block
before left it, over the next block's first rows (copying them instead when the chunk started
further up), and a chain of small tasks, each over a few blocks in row order, adds the chunks'
sums to the running total. No task gathers the chunk sums of all blocks.

With ``groups`` (``hvg_seurat_stats``, ``mean_var``), the results are those of the in-memory
grouped functions (``brenix_kernels.hvg_seurat_stats(X, groups=...)``), every group from one pass:
a group's rows are chunked as its own subset would be, and a chain of folds carries each group's
running total and open chunk. Groups never meet in a sum, so their folds may run in chains of
disjoint groups side by side (one by default: see MAX_CHAINS). For each chain, a task on each row
block's worker computes, for the chain's groups, the chunks of their rows wholly inside the block
and the start of the one each leaves open, and gathers the rows or entries that continue the
chunks left open above (with groups smaller than a chunk, nearly all of them): the chain's folds
take only those, not the block.
"""

from __future__ import annotations

import math
import operator
import os

import numpy as np

try:
    import dask
    import dask.array as da
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError('brenix_kernels.dask needs dask: pip install "brenix_kernels[dask]"') from error

from dask.base import tokenize
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph
from dask.sizeof import sizeof

from . import _blocks, _vst
from ._folds import (BadBlock, GroupPartial, GroupState, GroupedSums, PanicException, Partial, Sums,
                     csr_arrays, dense_block, finish_chains, group_items, is_csr, native,
                     type_name, zero_sums)
from ._inputs import _group_codes, _real_values, _row_mask

__all__ = ["hvg_seurat_stats", "mean_var", "scale", "scale_sparse", "vst_stats", "PanicException"]


# The scheduler runs a task where the largest of its inputs is, and weighs moving a result by its
# size: without these it would take a partial (with a copied head, up to a million entries) or
# a grouped fold's state (megabytes) for a few bytes, and move it rather than the smaller
# inputs of the task.
@sizeof.register(Partial)
@sizeof.register(GroupPartial)
@sizeof.register(GroupState)
def _sizeof_record(record):
    return sum(sizeof(value) for value in vars(record).values())


# --- input ------------------------------------------------------------------------------------


def _check_array(x, name):
    if not isinstance(x, da.Array):
        raise TypeError(f"{name}() takes a dask array, not '{type_name(x)}'")
    if x.ndim != 2:
        raise ValueError(f"{name}() takes a 2-D array; this one has shape {x.shape}")
    if any(math.isnan(c) for c in x.chunks[0]):
        raise ValueError(f"{name}(): the row chunk sizes of x must be known, not {x.chunks[0]}; "
                         "call x.compute_chunk_sizes() first")


def _held(block, dtype, block_info=None):
    """The block, if it has its chunk's shape and the array's dtype; else a BadBlock with the error.

    Every path takes x's blocks through this: a block of other rows than its chunk declares would
    shift every row after it, and one of another dtype would be summed as another precision."""
    index, chunk = block_info[None]["chunk-location"], block_info[None]["chunk-shape"]
    shape = tuple(int(n) for n in getattr(block, "shape", ()))
    if len(shape) != len(chunk) or any(n != c for n, c in zip(shape, chunk) if not math.isnan(c)):
        error = ValueError(f"block {index} of x has shape {shape}, but x's chunks give it "
                           f"{tuple(chunk)}")
    elif np.dtype(getattr(block, "dtype", object)) != dtype:
        error = TypeError(f"block {index} of x has dtype {np.dtype(getattr(block, 'dtype', object))}"
                          f", but x's is {dtype}")
    else:
        return block
    return BadBlock(error, tuple(chunk))


def _hstack(parts, column_chunks):
    """One row block from its column chunks, in the type of the chunks."""
    bad = [p for p in parts if isinstance(p, BadBlock)]
    if bad:
        return BadBlock(bad[0].error, (bad[0].shape[0], int(sum(column_chunks))))
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
    _real_values(x.dtype, "x")
    x = x.map_blocks(_held, np.dtype(x.dtype), dtype=x.dtype, meta=x._meta)
    x = _merge_columns(x, name)
    sparse = is_csr(x._meta) or type(x._meta).__module__.startswith("scipy.sparse")
    offsets = np.concatenate([[0], np.cumsum(x.chunks[0])]).astype(int).tolist()
    return x, sparse, offsets


def _statistics(x, sums, offsets):
    """A delayed pair of float64 vectors, from the chain of folds over the row blocks.

    The graph is written out directly: through dask.delayed, its ~3 tasks per block took longer
    to build than the workers took to run them."""
    n_rows, n_cols = x.shape
    token = tokenize(x.name, sums, n_rows)
    blocks = [key for (key,) in x.__dask_keys__()]
    name = {step: f"{step}-{token}" for step in ("nnz", "starts", "partial", "seam", "fold")}
    dsk = {}
    if sums.sparse:
        # Where each block's entries start in the storage order of the whole matrix, from all
        # blocks' entry counts in one small task: a chain of additions would make each block's
        # partial wait for a hop between workers per block above it.
        for i, block in enumerate(blocks):
            dsk[(name["nnz"], i)] = (_nnz, block)
        dsk[name["starts"]] = (_starts, [(name["nnz"], i) for i in range(len(blocks))])
        starts = name["starts"]
    else:
        starts = offsets[:-1]
    # Each block's head (up to a chunk) is summed on the block's worker, from the tail of the
    # block before, so that the folds move and add only small sums; and they take several blocks
    # at once: the chain's every hop between workers waits for a worker to finish its current task.
    for i, block in enumerate(blocks):
        dsk[(name["partial"], i)] = (_partial_at, sums, block, starts, i, offsets[i])
        before = (name["partial"], i - 1) if i else None
        dsk[(name["seam"], i)] = (_seam, sums, before, block, (name["partial"], i))
    state = None
    for j, first in enumerate(range(0, len(blocks), FOLD_BLOCKS)):
        seamed = [(name["seam"], i) for i in range(first, min(first + FOLD_BLOCKS, len(blocks)))]
        dsk[(name["fold"], j)] = (_fold, sums, n_cols, state, *seamed)
        state = (name["fold"], j)
    finish = f"finish-{token}"
    dsk[finish] = (_finish, sums, n_cols, state, n_rows)
    return Delayed(finish, HighLevelGraph.from_collections(finish, dsk, dependencies=[x]))


# The blocks one fold task takes: its inputs are a few chunks' sums per block.
FOLD_BLOCKS = 8


def _seam(sums, before, block, part):
    carry = before.tail if before is not None and before.error is None else None
    return sums.seam(carry, block, part)


def _fold(sums, n_cols, state, *parts):
    state = (zero_sums(n_cols), None) if state is None else state
    for part in parts:
        state = sums.fold(state, part)
    return state


def _finish(sums, n_cols, state, n_rows):
    return sums.finish((zero_sums(n_cols), None) if state is None else state, n_rows)


def _starts(counts):
    """Where each block's items start: the counts of the blocks above it (per group if the counts
    are per group)."""
    counts = np.asarray(counts, np.int64)
    return np.concatenate([np.zeros_like(counts[:1]), np.cumsum(counts, axis=0)[:-1]])


def _partial_at(sums, block, starts, i, first_row):
    """The block's partial; a CSR block's entries are checked in it, its first bad one being the
    block's failure, which the fold raises in row order."""
    return sums.partial(block, int(starts[i]), first_row)


def _nnz(block):
    return int(block.indptr[-1]) if is_csr(block) else 0


# --- groups -------------------------------------------------------------------------------------


def _codes(groups, x):
    """The groups' codes, one block per row block of x (NumPy arrays, or delayed ones from a dask
    array), the number of groups, and the codes if they are known now. The in-memory functions'
    checks, made now."""
    codes, n_groups = _group_codes(groups, *x.shape, lazy=True)
    if isinstance(codes, np.ndarray):
        offsets = np.concatenate([[0], np.cumsum(x.chunks[0])]).astype(int)
        return [codes[a:b] for a, b in zip(offsets, offsets[1:])], n_groups, codes
    return list(codes.rechunk((x.chunks[0],)).to_delayed(optimize_graph=False)), n_groups, None


# The groups' folds may run in chains of disjoint groups side by side: only chains of different
# groups can run at once. But dask orders a graph's tasks chain after chain, so a second chain's
# folds waited behind the first chain's and every partial (100 groups on a two-process cluster,
# after the partials took to gathering the heads: one chain 0.46 s, two 0.72 s). One chain it is,
# until an ordering keeps chains in step; the folds are only additions.
MAX_CHAINS = 1


def _threads():
    """The threads the computation will likely run on: the default distributed client's, if there
    is one, else this machine's processors."""
    try:
        from distributed import default_client

        return max(sum(default_client().nthreads().values()), 1)
    except (ImportError, ValueError):
        return os.cpu_count() or 1


def _chains(n_groups, codes):
    """The groups of each chain: by rows, largest first, each to the chain with the fewest rows so
    far when the codes are known now; in turn otherwise."""
    n_chains = min(n_groups, _threads(), MAX_CHAINS)
    if n_chains == 0:
        return []
    if codes is None:
        return [np.arange(c, n_groups, n_chains) for c in range(n_chains)]
    sizes = np.bincount(codes[codes >= 0], minlength=n_groups)
    load, members = [0] * n_chains, [[] for _ in range(n_chains)]
    for k in np.argsort(-sizes, kind="stable"):
        c = int(np.argmin(load))
        members[c].append(int(k))
        load[c] += int(sizes[k])
    return [np.array(sorted(m), np.int64) for m in members]


def _grouped_statistics(x, sums, offsets, groups, check_left_out=False):
    """A delayed pair of (n_groups, n_cols) arrays, from the chains of grouped folds, and
    n_groups. With ``check_left_out`` (CSR blocks), the rows no group holds are checked too, as
    the in-memory call checks them: after the groups' rows, so a bad entry there fails first."""
    n_cols = x.shape[1]
    code_blocks, n_groups, codes = _codes(groups, x)
    token = tokenize(x.name, sums, n_groups, [getattr(c, "key", c) for c in code_blocks])
    blocks = [key for (key,) in x.__dask_keys__()]
    codes_in = [getattr(c, "key", c) for c in code_blocks]  # NumPy codes, or keys of dask ones
    name = {step: f"{step}-{token}" for step in ("items", "before")}
    dsk = {}
    # Where each block's items start in each group's numbering. Dense rows follow from NumPy
    # codes now; entries (or codes still to compute) from all blocks' counts in one small task.
    if codes is not None and not sums.sparse:
        kept = np.where(codes >= 0, codes, n_groups)
        before = [np.bincount(kept[:a], minlength=n_groups + 1)[:n_groups].astype(np.int64)
                  for a in offsets[:-1]]
    else:
        for i, (block, block_codes) in enumerate(zip(blocks, codes_in)):
            dsk[(name["items"], i)] = (group_items, sums, block, block_codes, n_groups)
        dsk[name["before"]] = (_starts, [(name["items"], i) for i in range(len(blocks))])
        before = [(operator.getitem, name["before"], i) for i in range(len(blocks))]
    # One task per block, where the block is, computes each chain's partial of it and gathers the
    # chain's heads, so that a chain's fold takes only those, and the chain's state moves between
    # workers, never the block. With several chains, a small task per chain picks its part, so
    # that a fold elsewhere fetches only its own; one chain's fold picks it itself, since each
    # such task was one more wait on the chain's path, queued behind a partial on its worker
    # (100 groups on a two-process cluster: 0.46 s with it, 0.43 s without).
    members_list = _chains(n_groups, codes)
    chains = [GroupedSums(sums, n_groups, n_cols, members) for members in members_list]
    partial = f"partial-{token}"
    for i, (block, block_codes, first_row) in enumerate(zip(blocks, codes_in, offsets[:-1])):
        dsk[(partial, i)] = (_chain_partials, chains, block, block_codes, before[i], first_row)
    states = []
    for c, chain in enumerate(chains):
        part, fold = f"part-{c}-{token}", f"fold-{c}-{token}"
        state = chain.zeros()
        for i in range(len(blocks)):
            picked = (operator.getitem, (partial, i), c)
            if len(chains) > 1:
                dsk[(part, i)], picked = picked, (part, i)
            dsk[(fold, i)] = (chain.fold, state, picked, i)
            state = (fold, i)
        states.append(state)
    finish = f"finish-{token}"
    dsk[finish] = (finish_chains, sums, n_groups, n_cols, members_list, states)
    dependencies = [x] + [c for c in code_blocks if isinstance(c, Delayed)]
    pair = Delayed(finish, HighLevelGraph.from_collections(finish, dsk, dependencies=dependencies))
    if check_left_out and (codes is None or (codes < 0).any()):
        pair = dask.delayed(_checked, pure=True)(pair, _problems(x, n_cols, offsets))
    return pair, n_groups


def _chain_partials(chains, block, codes, before, first_row):
    return [chain.partial(block, codes, before, first_row) for chain in chains]


def _results(x, sums, offsets, groups):
    """The two results, as lazy float64 arrays: vectors, or (n_groups, n_cols) with groups."""
    n_cols = x.shape[1]
    if groups is None:
        pair = _statistics(x, sums, offsets)
        return _vector(pair, 0, n_cols), _vector(pair, 1, n_cols)
    pair, n_groups = _grouped_statistics(x, sums, offsets, groups, check_left_out=sums.sparse)
    return tuple(da.from_delayed(dask.delayed(operator.getitem, pure=True)(pair, i),
                                 shape=(n_groups, n_cols), dtype=np.float64) for i in (0, 1))


def _vector(pair, i, n_cols):
    return da.from_delayed(dask.delayed(operator.getitem, pure=True)(pair, i), shape=(n_cols,),
                           dtype=np.float64)


# --- the public functions ----------------------------------------------------------------------


def hvg_seurat_stats(x, *, log_base=None, square_f64=False, groups=None):
    """Per-gene ``(means, dispersions)`` of a log1p-transformed matrix, as float64 dask arrays.

    Dense blocks follow ``_core.hvg_seurat_stats`` (``square_f64`` must be False), CSR blocks
    ``_core.hvg_seurat_stats_sparse`` on the whole matrix's stored entries, which are checked as
    in memory: an entry stored twice raises ``ValueError``.

    ``groups``: one integer code per row (a NumPy array, a pandas Categorical by its codes, or a
    1-D dask array, rechunked like x's rows), k >= 0 for group k, -1 to leave the row out. The
    results are then ``(n_groups, n_genes)`` with ``n_groups = max(code) + 1``, bit for bit those
    of :func:`brenix_kernels.hvg_seurat_stats` with the same groups on the whole matrix, all groups
    from one pass over x: each row block's one task computes every group's part of it, and the
    chain of folds carries each group's running total and open chunk (a group's rows are chunked
    as its own subset would be: 2048 rows, or 1,000,000 of their stored entries). The codes'
    number of groups is computed when this is called.
    """
    x, sparse, offsets = _prepare(x, "hvg_seurat_stats")
    if square_f64 and not sparse:
        raise TypeError("hvg_seurat_stats(): square_f64 applies to CSR blocks only; the dense "
                        "function squares in the precision of the data")
    sums = Sums(sparse=sparse, expm1=True, log_base=log_base, square_f64=bool(square_f64))
    return _results(x, sums, offsets, groups)


def mean_var(x, *, square_f64=False, groups=None):
    """Per-gene ``(means, variances)`` as float64 dask arrays: those of
    :func:`brenix_kernels.mean_var` on the whole matrix (variances with the n/(n-1) factor, none
    for one row). Dense blocks sum in 2048-row chunks as ``_core.scale``, CSR blocks in
    1,000,000-entry chunks as ``_core.scale_sparse_data``, their entries checked as in
    :func:`hvg_seurat_stats`; ``square_f64`` squares float32 values after widening. ``groups``:
    as in :func:`hvg_seurat_stats`, results ``(n_groups, n_genes)``, row k that of
    ``brenix_kernels.mean_var(X, groups=...)`` (NaN for an empty group).
    """
    x, sparse, offsets = _prepare(x, "mean_var")
    sums = Sums(sparse=sparse, expm1=False, square_f64=bool(square_f64), statistic="mean_var")
    return _results(x, sums, offsets, groups)


def vst_stats(x, *, span=0.3, clip_max=None, groups=None):
    """The variance-stabilising statistics of :func:`brenix_kernels.vst_stats`, ``(means,
    variances, variances_expected, variances_standardized)``, bit for bit those of the whole
    matrix in memory, as NumPy arrays: the loess fit between the passes needs the variances, so
    each pass (the means of :func:`mean_var`, the centred sums, the clipped standardised sums) is
    one graph, computed when this is called. Blocks of integer counts are taken as float64.
    ``groups``: as in :func:`hvg_seurat_stats`.
    """
    opts = _vst.options(span, clip_max, "vst_stats")
    if x.dtype.kind in "biu":
        x = x.astype(np.float64)
    x, sparse, offsets = _prepare(x, "vst_stats")
    if groups is None:
        n = np.array([x.shape[0]], np.int64)
    else:
        codes, n_groups = _group_codes(groups, *x.shape, lazy=True)
        kept = codes[codes >= 0]
        n = np.bincount(np.asarray(kept.compute() if hasattr(kept, "compute") else kept),
                        minlength=n_groups).astype(np.int64)

    def means():
        sums = Sums(sparse=sparse, expm1=False, square_f64=True, statistic="mean_var")
        return _results(x, sums, offsets, groups)[0].compute()

    def deviations(mean, sd, clip):
        sums = Sums(sparse=sparse, expm1=False, deviations=(mean, sd, clip))
        return dask.compute(*_results(x, sums, offsets, groups))

    return _vst.compute((means, deviations), n, opts, groups is not None, "vst_stats")


def _scale_dense_block(block, mean, std, rows=None, *, zero_center, max_value):
    """The block scaled; with `rows` (a boolean per row), only those rows, the others in the
    result's dtype."""
    return native(_blocks.scale_dense, dense_block(block), mean, std, zero_center=zero_center,
                  max_value=max_value, mask=rows)


def _csr_rows(block, checked):
    """A CSR block's dense rows, as ``X.toarray()`` makes them, once every block's stored entries
    passed the in-memory checks (`checked`): SciPy would write a bad index out of bounds."""
    return block.toarray()


def scale(x, *, zero_center=True, max_value=None, return_mean_std=False, mask=None):
    """``_core.scale`` of a dense matrix: the scaled matrix (float32 for float32 input, float64
    otherwise) in the row chunks of ``x``, or ``(scaled, mean, std)`` with ``return_mean_std``.
    CSR blocks give ``_core.scale(X.toarray())``, their entries checked as in memory (a
    duplicate raises ``ValueError``); ``scale_sparse`` scales them without centring, keeping
    them sparse.

    ``mask`` (one boolean per row, a NumPy array): the statistics come from the rows where it is
    True, which are scaled as ``_core.scale(x[mask])`` scales them (in one pass over x, as the
    group of those rows); the other rows come back unscaled, in the result's dtype.
    """
    x, sparse, offsets = _prepare(x, "scale")
    n_cols = x.shape[1]
    if sparse:
        checked = dask.delayed(_first_problem, pure=True)(_problems(x, n_cols, offsets))
        x = x.map_blocks(_csr_rows, checked, dtype=x.dtype, meta=np.empty((0, 0), x.dtype))
    if mask is None:
        pair = _statistics(x, Sums(sparse=False, expm1=False), offsets)
        mean, std = _vector(pair, 0, n_cols), _vector(pair, 1, n_cols)
        rows = ()
    else:
        mask = _row_mask(mask, x.shape[0])
        # The masked rows are group 0 of a one-group grouped pass.
        pair, _ = _grouped_statistics(x, Sums(sparse=False, expm1=False), offsets,
                                      np.where(mask, 0, -1).astype(np.int64))
        mean, std = (_vector(dask.delayed(operator.getitem, pure=True)(pair, i), 0, n_cols)
                     for i in (0, 1))
        rows = (da.from_array(mask, chunks=(x.chunks[0],)), "i")
    dtype = np.float32 if x.dtype == np.float32 else np.float64
    scaled = da.blockwise(_scale_dense_block, "ij", x, "ij", mean, "j", std, "j", *rows,
                          zero_center=bool(zero_center), max_value=max_value, dtype=dtype,
                          meta=np.empty((0, 0), dtype))
    return (scaled, mean, std) if return_mean_std else scaled


def _scale_csr_block(block, std, rows=None, *, max_value, promote):
    """The block's scaled values in its structure; with `rows` (a boolean per row), only those
    rows' values, the others kept as they are in the result's dtype."""
    values = native(_blocks.scale_sparse_values, *csr_arrays(block), std, max_value=max_value,
                    promote=promote, mask=rows)
    out = type(block)((values, block.indices, block.indptr), shape=block.shape, copy=False)
    out.indices, out.indptr = block.indices, block.indptr  # the input's index types, unchanged
    return out


def _problem(block, n_cols, first_row):
    """The block's first bad entry in storage order, as the in-memory call finds it (an index
    out of range, or an entry stored twice, its row counted from `first_row`), or what is wrong
    with the block itself (its shape or types): the error, or None."""
    try:
        indptr, indices, _ = csr_arrays(block)
        native(_blocks.check_csr, indptr, indices, n_cols, first_row)
    except (PanicException, ValueError, TypeError) as error:
        return error
    return None


def _first_problem(problems):
    """Raises the first of the blocks' problems in row order, as the in-memory call would meet it;
    the blocks fail in any order in time."""
    for problem in problems:
        if problem is not None:
            raise problem


def _problems(x, n_cols, offsets):
    """Each CSR block's first bad entry, or None, as delayed values that do not raise."""
    blocks = x.to_delayed(optimize_graph=False)[:, 0]
    return [dask.delayed(_problem, pure=True)(block, n_cols, a) for block, a in zip(blocks, offsets)]


def _checked(pair, problems):
    """The pair, once no block has a bad entry."""
    _first_problem(problems)
    return pair


def _group_zero(pair, problems):
    """Group 0's rows of the grouped results, once no block has a bad entry: the in-memory call
    checks the masked rows as it sums them, then the others, and fails at the first. A bad entry
    in the masked rows fails their pass, before this."""
    _first_problem(problems)
    return pair[0][0], pair[1][0]


def scale_sparse(x, *, max_value=None, promote=False, mask=None):
    """``_core.scale_sparse_data`` of a CSR matrix: ``(scaled, mean, std)``, where ``scaled`` has
    CSR blocks of the input's class and structure holding the scaled values. The stored entries
    are checked as in memory: an entry stored twice raises ``ValueError``.

    ``mask`` (one boolean per row, a NumPy array): the statistics come from the rows where it is
    True, whose values are scaled as ``scale_sparse(x[mask])`` scales them (in one pass over x,
    as the group of those rows); the other rows' values are kept, in the result's dtype.
    """
    x, sparse, offsets = _prepare(x, "scale_sparse")
    if not sparse:
        raise TypeError("scale_sparse() takes CSR blocks; use scale() for dense blocks")
    n_cols = x.shape[1]
    sums = Sums(sparse=True, expm1=False, square_f64=bool(promote))
    if mask is None:
        pair, rows = _statistics(x, sums, offsets), ()
    else:
        mask = _row_mask(mask, x.shape[0])
        # The masked rows are group 0 of a one-group grouped pass; then every block is checked,
        # and the first problem in row order is raised before any block scales.
        pair, _ = _grouped_statistics(x, sums, offsets, np.where(mask, 0, -1).astype(np.int64))
        pair = dask.delayed(_group_zero, pure=True)(pair, _problems(x, n_cols, offsets))
        rows = (da.from_array(mask, chunks=(x.chunks[0],)), "i")
    mean, std = _vector(pair, 0, n_cols), _vector(pair, 1, n_cols)
    dtype = np.float32 if x.dtype == np.float32 and not promote else np.float64
    scaled = da.blockwise(_scale_csr_block, "ij", x, "ij", std, "j", *rows, max_value=max_value,
                          promote=bool(promote), dtype=dtype, meta=x._meta.astype(dtype))
    return scaled, mean, std
