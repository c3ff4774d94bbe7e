"""One row block at a time: the pieces of the four statistics that brenix_kernels.dask chains over the
blocks of an array, in plain Python over brenix_kernels._blocks, so that they run without dask too.

A row block's partial holds what it contributes to the kernels' chunked column sums (see
src/blocks/partials.hpp): the rows or stored entries that finish the chunk left open before it, the
sums of the chunks wholly inside it, and the running sums of the chunk it leaves open. The fold
visits the partials in row order with the running total and the open chunk's sums; the finish turns
the totals into the statistics with the kernels' own finishing steps.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from . import _blocks


class PanicException(Exception):
    """An internal failure of the native code met while computing a result, with the message the
    single-machine function gives for the same input (``index out of bounds: ...``).

    The one of ``brenix_kernels._core`` derives from BaseException only; this one is an Exception,
    a class of this package (``brenix_kernels.dask.PanicException``), because it must travel
    between the processes of a cluster and be re-raised by the distributed client, whose event
    loop a BaseException would break instead.
    """


def native(fn, *args, **kwargs):
    """Calls a function of _blocks, turning its internal failures into PanicException."""
    try:
        return fn(*args, **kwargs)
    except BaseException as error:
        if type(error).__name__ == "PanicException" and not isinstance(error, PanicException):
            raise PanicException(*error.args) from None
        raise


def zero_sums(n_cols):
    """Column sums from zero, laid out as _blocks takes and returns them: one float64 run of the
    n_cols sums, then the n_cols sums of squares; the sums of several chunks are such runs one after
    another (FlatSums in src/core/column_sums.hpp)."""
    return np.zeros(2 * n_cols)


def sums_columns(sums):
    """The number of columns of one run of column sums (see zero_sums)."""
    return sums.size // 2


def is_csr(block):
    return getattr(block, "format", None) == "csr" and hasattr(block, "indptr")


def type_name(obj):
    return type(obj).__qualname__


def dense_block(block):
    if not isinstance(block, np.ndarray):
        raise TypeError(f"x._meta is a NumPy array, so every block must be one, not "
                        f"'{type_name(block)}' (give map_blocks a meta= of the blocks' type)")
    return block


def csr_entries(block):
    """The stored column indices (int64) and values of a CSR block, in storage order."""
    if not is_csr(block):
        raise TypeError(f"sparse blocks must be CSR (csr_matrix or csr_array), not "
                        f"'{type_name(block)}'")
    nnz = int(block.indptr[-1])
    indices = np.ascontiguousarray(block.indices[:nnz], dtype=np.int64)
    return indices, block.data[:nnz]


@dataclass
class Partial:
    """What one row block contributes: see src/blocks/partials.hpp."""

    head: tuple | None  # the rows (or entries) that finish the chunk left open before the block
    head_closes: bool
    chunk_sums: np.ndarray  # of the chunks wholly inside the block, in zero_sums' layout
    tail: np.ndarray | None
    error: BaseException | None = None  # raised when the fold reaches the block, so in row order
    # A failed block's stored entries, so that the fold reports the block's first bad entry: the
    # failure met in its whole chunks may come after one in its head.
    entries: tuple | None = None


STATISTICS = ("hvg", "mean_std", "mean_var")


@dataclass(frozen=True)
class Sums:
    """What is summed (plain moments or those of expm1), the native options for it, and the
    statistic the totals finish as:

    - ``"hvg"`` (``expm1``): ``(means, dispersions)`` of ``hvg_seurat_stats``;
    - ``"mean_std"``: ``(mean, std)`` as ``scale`` computes them (a zero std taken as 1.0);
    - ``"mean_var"``: ``(means, variances)`` of ``mean_var``.

    ``statistic`` defaults to ``"hvg"`` with ``expm1`` and ``"mean_std"`` without. ``square_f64``
    squares float32 values after widening: sparse sums of either kind, and dense ``mean_var``.
    """

    sparse: bool
    expm1: bool
    log_base: float | None = None
    square_f64: bool = False
    statistic: str | None = None

    def __post_init__(self):
        if self.statistic is None:
            object.__setattr__(self, "statistic", "hvg" if self.expm1 else "mean_std")
        if self.statistic not in STATISTICS or (self.statistic == "hvg") != bool(self.expm1):
            raise ValueError(f"statistic must be one of {STATISTICS}, 'hvg' exactly when expm1; "
                             f"got {self.statistic!r} with expm1={self.expm1}")

    def options(self):
        out = {"expm1": self.expm1, "log_base": self.log_base}
        # Dense hvg squares in the precision of the data; dense plain sums widen on request.
        if self.sparse or not self.expm1:
            out["square_f64"] = self.square_f64
        return out

    def partial(self, block, first):
        entries = None
        try:
            if self.sparse:
                indices, data = entries = csr_entries(block)
                head, closes, chunk_sums, tail = native(
                    _blocks.sparse_partial, indices, data, block.shape[1], first, **self.options())
                kept = (indices[:head].copy(), data[:head].copy()) if head else None
            else:
                block = dense_block(block)
                head, closes, chunk_sums, tail = native(_blocks.dense_partial, block, first,
                                                      **self.options())
                # A copy, so that the block itself can go once this task is done.
                kept = (np.array(block[:head]),) if head else None
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            return Partial(None, False, np.zeros(0), None, error, entries)
        return Partial(kept, closes, chunk_sums, tail)

    def fold(self, state, part):
        """The running (total, open chunk's sums) after one more block."""
        total, carry = state
        if part.head is not None:
            fn = _blocks.continue_sparse if self.sparse else _blocks.continue_dense
            carry = native(fn, carry, *part.head, **self.options())
            if part.head_closes:
                total, carry = native(_blocks.fold, total, carry), None
        if part.error is not None:
            if part.entries is not None and isinstance(part.error, PanicException):
                native(_blocks.continue_sparse, zero_sums(sums_columns(total)), *part.entries)
            raise part.error
        total = native(_blocks.fold, total, part.chunk_sums)
        if part.tail is not None:
            carry = part.tail
        return total, carry

    def finish(self, state, n_rows):
        total, carry = state
        if carry is not None:  # the matrix's last chunk
            total = native(_blocks.fold, total, carry)
        return native(FINISH[self.statistic], total, n_rows)


FINISH = {"hvg": _blocks.finish_hvg, "mean_std": _blocks.finish_mean_std,
          "mean_var": _blocks.finish_mean_var}


class Chain:
    """The fold over row blocks that arrive one after another, in row order, without dask: what a
    reader of a file larger than memory uses. ``add`` each block, then ``result()`` gives what
    ``Sums.finish`` gives for the whole matrix. Only the running total and the open chunk are kept
    between blocks; the first failure is raised by the ``add`` of its block.
    """

    def __init__(self, sums: Sums, n_cols: int):
        self.sums = sums
        self.state = (zero_sums(n_cols), None)
        self.rows = 0
        self.entries = 0

    def add(self, block) -> None:
        first = self.entries if self.sums.sparse else self.rows
        self.state = self.sums.fold(self.state, self.sums.partial(block, first))
        self.rows += block.shape[0]
        if self.sums.sparse:
            self.entries += int(block.indptr[-1])

    def result(self):
        return self.sums.finish(self.state, self.rows)
