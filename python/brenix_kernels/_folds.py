"""One row block at a time: the pieces of the four statistics that brenix_kernels.dask chains over the
blocks of an array, in plain Python over brenix_kernels._blocks, so that they run without dask too.

A row block's partial holds what it contributes to the kernels' chunked column sums (see
src/blocks/partials.hpp): the rows or stored entries that finish the chunk left open before it, the
sums of the chunks wholly inside it, and the running sums of the chunk it leaves open. The fold
visits the partials in row order with the running total and the open chunk's sums; the finish turns
the totals into the statistics with the kernels' own finishing steps.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace

import numpy as np

from . import _blocks
from ._inputs import _integer_entries


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


def is_csr(block):
    return getattr(block, "format", None) == "csr" and hasattr(block, "indptr")


def type_name(obj):
    return type(obj).__qualname__


@dataclass
class BadBlock:
    """A block that is not what its array declares (another shape than its chunk, or another
    dtype), standing in for it with the error: whatever reads it raises that error, inside the
    partial that records a block's failure, so that the fold raises it in row order."""

    error: BaseException
    shape: tuple  # the declared chunk's, which the grouped partials check the codes against


def dense_block(block):
    if isinstance(block, BadBlock):
        raise block.error
    if not isinstance(block, np.ndarray):
        raise TypeError(f"x._meta is a NumPy array, so every block must be one, not "
                        f"'{type_name(block)}' (give map_blocks a meta= of the blocks' type)")
    return block


def csr_arrays(block):
    """The indptr (int64, a small copy when it is narrower), indices and data of a CSR block's
    stored entries, the last two as they are."""
    if isinstance(block, BadBlock):
        raise block.error
    if not is_csr(block):
        raise TypeError(f"sparse blocks must be CSR (csr_matrix or csr_array), not "
                        f"'{type_name(block)}'")
    _integer_entries(block.indptr, block.indices, block.data, "a CSR block")
    indptr = np.ascontiguousarray(block.indptr, dtype=np.int64)
    nnz = int(indptr[-1])
    indices, data = (np.ascontiguousarray(a if a.shape[0] == nnz else a[:nnz])
                     for a in (block.indices, block.data))
    return indptr, indices, data


@dataclass
class Summed:
    """A block's head summed where the block is: the running sums of the chunk left open before
    the block continued over the head, or the failure met doing so."""

    sums: np.ndarray | None
    error: BaseException | None = None


@dataclass
class Partial:
    """What one row block contributes: see src/blocks/partials.hpp."""

    head: int  # the rows (or entries) that finish the chunk left open before the block
    head_closes: bool
    chunk_sums: np.ndarray  # of the chunks wholly inside the block, in zero_sums' layout
    tail: np.ndarray | None
    error: BaseException | None = None  # raised when the fold reaches the block, so in row order
    # What the fold continues the open chunk with (set by Sums.seam): the head already summed, or
    # a copy of its rows or entries when the open chunk's sums were not at hand.
    seamed: Summed | tuple | None = None


STATISTICS = ("hvg", "mean_std", "mean_var", "deviations")


@dataclass(frozen=True, kw_only=True)
class Sums:
    """What is summed (plain moments or those of expm1), the native options for it, and the
    statistic the totals finish as:

    - ``"hvg"`` (``expm1``): ``(means, dispersions)`` of ``hvg_seurat_stats``;
    - ``"mean_std"``: ``(mean, std)`` as ``scale`` computes them (a zero std taken as 1.0);
    - ``"mean_var"``: ``(means, variances)`` of ``mean_var``.

    - ``"deviations"``: ``(counts, sums)`` of the deviation sums of the variance-stabilising
      statistics, given ``deviations = (mean, sd, clip)``: ``mean`` (and ``sd``) one row of
      n_cols values per group (one row without groups), ``clip`` one value per group; ``sd`` and
      ``clip`` None for the centred pass (see _arrays.deviation_sums).

    ``statistic`` defaults to ``"hvg"`` with ``expm1``, ``"deviations"`` with ``deviations`` and
    ``"mean_std"`` otherwise. ``square_f64`` squares float32 values after widening: sparse sums
    of either kind, and dense ``mean_var``.
    """

    sparse: bool
    expm1: bool
    log_base: float | None = None
    square_f64: bool = False
    statistic: str | None = None
    deviations: tuple | None = field(default=None, compare=False)

    def __post_init__(self):
        if self.statistic is None:
            default = "hvg" if self.expm1 else "mean_std"
            object.__setattr__(self, "statistic",
                               "deviations" if self.deviations is not None else default)
        if (self.statistic not in STATISTICS or (self.statistic == "hvg") != bool(self.expm1)
                or (self.statistic == "deviations") != (self.deviations is not None)):
            raise ValueError(f"statistic must be one of {STATISTICS}, 'hvg' exactly when expm1, "
                             f"'deviations' exactly with deviations; got {self.statistic!r} with "
                             f"expm1={self.expm1}")

    def options(self, members=None):
        """The native functions' options; ``members``: the groups of a grouped call, in the
        call's own numbering (the deviations' rows it takes)."""
        out = {"expm1": self.expm1, "log_base": self.log_base}
        # Dense hvg squares in the precision of the data; dense plain sums widen on request.
        if self.sparse or not self.expm1:
            out["square_f64"] = self.square_f64
        if self.deviations is not None:
            mean, sd, clip = self.deviations
            rows = slice(None) if members is None else members
            out["mean"] = np.ascontiguousarray(np.atleast_2d(mean)[rows], np.float64).reshape(-1)
            if sd is not None:
                out["sd"] = np.ascontiguousarray(np.atleast_2d(sd)[rows], np.float64).reshape(-1)
                out["clip"] = np.ascontiguousarray(np.atleast_1d(clip)[rows], np.float64)
        return out

    def partial(self, block, first, first_row=None):
        """The block's part, its head not yet summed (see seam).

        With ``first_row`` (the block's first row in the whole matrix), a CSR block's stored
        entries are checked first as the in-memory functions check them: its first bad entry in
        storage order (an index out of range, or an entry stored twice, its row counted from
        ``first_row``) is then the block's failure. Without, they must have been checked before.
        """
        try:
            if self.sparse:
                indptr, indices, data = csr_arrays(block)
                if first_row is not None:
                    native(_blocks.check_csr, indptr, indices, block.shape[1], first_row)
                head, closes, chunk_sums, tail = native(
                    _blocks.sparse_partial, indices, data, block.shape[1], first, **self.options())
            else:
                head, closes, chunk_sums, tail = native(_blocks.dense_partial, dense_block(block),
                                                      first, **self.options())
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            return Partial(0, False, np.zeros(0), None, error)
        return Partial(head, closes, chunk_sums, tail)

    def _head(self, block, n):
        if self.sparse:
            _, indices, data = csr_arrays(block)
            return indices[:n], data[:n]
        return (dense_block(block)[:n],)

    def _continue(self, carry, head):
        fn = _blocks.continue_sparse if self.sparse else _blocks.continue_dense
        return native(fn, carry, *head, **self.options())

    def seam(self, carry, block, part):
        """The part ready to fold, without the block: its head summed from `carry`, the running
        sums of the chunk left open before the block, or, if those are not known (None), copied.
        """
        if part.head == 0:
            return part
        head = self._head(block, part.head)
        if carry is None:
            return replace(part, seamed=tuple(np.array(a) for a in head))
        try:
            return replace(part, seamed=Summed(self._continue(carry, head)))
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            return replace(part, seamed=Summed(None, error))

    def fold(self, state, part):
        """The running (total, open chunk's sums) after one more block, whose part went through
        seam."""
        total, carry = state
        if part.head:
            if isinstance(part.seamed, Summed):
                if part.seamed.error is not None:
                    raise part.seamed.error
                carry = part.seamed.sums
            else:
                carry = self._continue(carry, part.seamed)
            if part.head_closes:
                total, carry = native(_blocks.fold, total, carry), None
        if part.error is not None:
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


@dataclass
class GroupPartial:
    """What one row block contributes to each group of a fold: see src/blocks/group_partials.hpp.
    Lists of one int per group, FlatSums runs, and the heads' items gathered group after group,
    so that the fold needs nothing else of the block."""

    items: list  # the group's items (rows or stored entries) in the block
    head: list  # of which finish the group's chunk an earlier block opened
    head_closes: list
    n_whole: list  # the group's chunks wholly inside the block
    chunk_sums: np.ndarray  # their sums, group after group
    tail_groups: list  # the groups that leave a chunk open, and its sums
    tails: np.ndarray
    heads: tuple = ()  # dense: (rows,); CSR: (indices, values)
    rows: np.ndarray | None = None  # int64: the group's rows in the block
    error: BaseException | None = None  # the block's first bad entry, whatever group it is in


@dataclass
class GroupState:
    """A fold's running state for its groups: per group, its open chunk's sums (zeros when none is
    open: a chunk starts from zeros), whether one is open, its items and rows so far, and its total
    (None while every total is zero, as with groups smaller than a chunk: the state then moves
    between workers at half the size); and the first failure met, with its block's number (later
    blocks are then skipped)."""

    open: np.ndarray  # (n_groups, 2 * n_cols)
    is_open: np.ndarray  # bool (n_groups,)
    items: np.ndarray  # int64 (n_groups,)
    rows: np.ndarray  # int64 (n_groups,)
    totals: np.ndarray | None = None  # (n_groups, 2 * n_cols)
    error: BaseException | None = None
    failed_block: int = -1

    @classmethod
    def zeros(cls, n_groups, n_cols):
        return cls(np.zeros((n_groups, 2 * n_cols)), np.zeros(n_groups, bool),
                   np.zeros(n_groups, np.int64), np.zeros(n_groups, np.int64))

    def total(self, i):
        return np.zeros(self.open.shape[1]) if self.totals is None else self.totals[i]


def block_codes(codes, n_rows):
    """A block's rows' group codes as the native functions take them (checked there)."""
    codes = np.ascontiguousarray(codes, dtype=np.int64)
    if codes.shape != (n_rows,):
        raise ValueError(f"a block of {n_rows} rows came with {codes.shape} group codes")
    return codes


def group_items(sums, block, codes, n_groups):
    """Each group's items (rows, or stored entries for CSR) in a block: how far the next block's
    items are numbered on."""
    if isinstance(block, BadBlock):  # its partial fails, in row order; its count is never used
        return np.zeros(n_groups, np.int64)
    codes = np.asarray(codes, dtype=np.int64)
    keep = codes >= 0
    if sums.sparse:
        indptr = np.asarray(csr_arrays(block)[0])
        weights = np.diff(indptr)[keep]
        return np.bincount(codes[keep], weights=weights, minlength=n_groups).astype(np.int64)
    return np.bincount(codes[keep], minlength=n_groups).astype(np.int64)


class GroupedSums:
    """The grouped counterpart of Sums' partial/fold/finish: a fold carries each group's total and
    open chunk over the row blocks, and one native call per row block gives every group's part of
    it, its heads gathered.

    A fold may carry only some of the groups (``members``, numbered within the fold in that
    order): groups never meet in a sum, so their folds can run side by side, as separate chains,
    each over its own groups' partials. Failures are recorded in the state rather than raised, so
    that ``finish`` of several chains raises the one of the earliest block.
    """

    def __init__(self, sums: Sums, n_groups: int, n_cols: int, members=None):
        self.sums, self.n_groups, self.n_cols = sums, n_groups, n_cols
        self.members = np.arange(n_groups) if members is None else np.asarray(members, np.int64)
        # Global code -> the fold's own number, -1 for groups of other folds; then the number of
        # a code out of range, which the native functions refuse as it is; then code -1's.
        self.local = np.full(n_groups + 2, -1, np.int64)
        self.local[self.members] = np.arange(self.members.size)
        self.local[n_groups] = self.members.size

    def _local(self, codes):
        out_of_range = (codes < -1) | (codes >= self.n_groups)
        return self.local[np.where(out_of_range, self.n_groups, codes)]

    def zeros(self):
        return GroupState.zeros(self.members.size, self.n_cols)

    def _call(self, block, codes, before, first_row, members=None):
        """_blocks.{dense,sparse}_group_partial on a block; the sparse one also takes the block's
        first row, which its messages count from. ``members``: the groups the codes number (all
        groups when None), whose deviations' rows the call takes."""
        options = self.sums.options(members)
        if self.sums.sparse:
            indptr, indices, data = csr_arrays(block)
            return native(_blocks.sparse_group_partial, indptr, indices, data, self.n_cols, codes,
                          before, first_row, **options)
        return native(_blocks.dense_group_partial, dense_block(block), codes, before, **options)

    def partial(self, block, codes, before, first_row=0):
        """The fold's groups' part of a block; `codes`: the block's rows' group codes, `before`:
        each group's items in the blocks above (both for all groups, whatever the members)."""
        try:
            codes = block_codes(codes, block.shape[0])
            local = self._local(codes)
            before = np.asarray(before, np.int64)
            try:
                *part, values, indices = self._call(block, local, before[self.members], first_row,
                                                    self.members)
            except (PanicException, ValueError):
                # The block's first bad entry in storage order, in whatever group's rows: every
                # fold raises the same. Summed with no group's chunk open, the block has no heads,
                # and one call checks every entry of it.
                self._call(block, codes, np.zeros(self.n_groups, np.int64), first_row)
                raise
            rows = np.bincount(local[local >= 0], minlength=self.members.size).astype(np.int64)
            heads = (values,) if indices is None else (indices, values)
            return GroupPartial(*part, heads, rows)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            return GroupPartial([], [], [], [], np.zeros(0), [], np.zeros(0), error=error)

    def fold(self, state, part, index=0):
        """The state after one more block, the `index`-th (a new state: the one given is left as
        it is)."""
        if state.error is None and part.error is not None:
            return replace(state, error=part.error, failed_block=index)
        if state.error is not None:
            return state
        try:
            return self._fold(state, part)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            return replace(state, error=error, failed_block=index)

    def _fold(self, state, part):
        run = 2 * self.n_cols
        size = self.members.size
        open_ = state.open
        head = np.asarray(part.head, np.int64)
        if head.any():
            fn = _blocks.continue_sparse_groups if self.sums.sparse else _blocks.continue_dense_groups
            tail = (self.n_cols,) if self.sums.sparse else ()
            open_ = native(fn, open_.reshape(-1), head, *part.heads, *tail,
                           **self.sums.options(self.members)).reshape(size, run)
        totals = state.totals
        is_open = np.array(state.is_open)
        closes = np.asarray(part.head_closes, bool)
        n_whole = np.asarray(part.n_whole, np.int64)
        starts = np.cumsum(n_whole) - n_whole
        done = np.flatnonzero(closes | (n_whole > 0))
        if done.size:
            totals = np.zeros((size, run)) if totals is None else np.array(totals)
            open_ = np.array(open_) if open_ is state.open else open_
        for i in done:
            if closes[i]:
                totals[i] = native(_blocks.fold, totals[i], open_[i])
                open_[i] = 0.0
                is_open[i] = False
            if n_whole[i]:
                totals[i] = native(_blocks.fold, totals[i],
                                   part.chunk_sums[starts[i] * run:(starts[i] + n_whole[i]) * run])
        if part.tail_groups:
            open_ = np.array(open_) if open_ is state.open else open_
            tail_groups = np.asarray(part.tail_groups, np.int64)
            open_[tail_groups] = part.tails.reshape(-1, run)
            is_open[tail_groups] = True
        return GroupState(open_, is_open, state.items + np.asarray(part.items, np.int64),
                          state.rows + part.rows, totals)

    def finish(self, state):
        """Two (n_groups, n_cols) float64 arrays, row k that of group k's rows alone, from the
        final state of a fold of all groups (see finish_chains for several)."""
        return finish_chains(self.sums, self.n_groups, self.n_cols, [self.members], [state])


def raise_first_failure(states):
    failed = [s for s in states if s.error is not None]
    if failed:
        raise min(failed, key=lambda s: s.failed_block).error


def finish_chains(sums, n_groups, n_cols, members_list, states):
    """The grouped results from the final states of folds over disjoint sets of groups; the
    failure of the earliest block, if any fold met one."""
    raise_first_failure(states)
    first = np.full((n_groups, n_cols), np.nan)
    second = np.full((n_groups, n_cols), np.nan)
    for members, state in zip(members_list, states):
        for i, k in enumerate(members):
            total = state.total(i)
            if state.is_open[i]:  # the group's last chunk
                total = native(_blocks.fold, total, state.open[i])
            first[k], second[k] = native(FINISH[sums.statistic], total, int(state.rows[i]))
    return first, second


def _deviation_totals(total, _n_rows):
    """The deviation sums' totals as they are, (counts, sums): _vst finishes them."""
    n_cols = len(total) // 2
    return np.array(total[:n_cols]), np.array(total[n_cols:])


FINISH = {"hvg": _blocks.finish_hvg, "mean_std": _blocks.finish_mean_std,
          "mean_var": _blocks.finish_mean_var, "deviations": _deviation_totals}


class Chain:
    """The fold over row blocks that arrive one after another, in row order, without dask: what a
    reader of a file larger than memory uses, having checked each CSR block's stored entries
    already. ``add`` each block, then ``result()`` gives what ``Sums.finish`` gives for the whole
    matrix. Only the running total and the open chunk are kept between blocks; the first failure
    is raised by the ``add`` of its block.

    With ``n_groups``, each ``add`` also takes the block's rows' int64 group codes (in
    ``[-1, n_groups)``, -1 leaving a row out), and ``result()`` gives two ``(n_groups, n_cols)``
    float64 arrays, bit for bit those of the in-memory grouped call
    (``brenix_kernels.hvg_seurat_stats(X, groups=codes)`` or ``mean_var``) on the concatenated
    blocks; only each group's running total and open chunk are kept between blocks.
    """

    def __init__(self, sums: Sums, n_cols: int, n_groups: int | None = None):
        self.sums = sums
        self.grouped = None if n_groups is None else GroupedSums(sums, int(n_groups), n_cols)
        self.state = (zero_sums(n_cols), None) if n_groups is None else self.grouped.zeros()
        self.rows = 0
        self.entries = 0

    def add(self, block, codes=None) -> None:
        if self.grouped is not None:
            if codes is None:
                raise TypeError("a grouped Chain takes each block's group codes")
            part = self.grouped.partial(block, codes, self.state.items, self.rows)
            state = self.grouped.fold(self.state, part)
            raise_first_failure([state])
            self.state = state
            self.rows += block.shape[0]
            return
        if codes is not None:
            raise TypeError("group codes need a Chain made with n_groups")
        first = self.entries if self.sums.sparse else self.rows
        part = self.sums.seam(self.state[1], block, self.sums.partial(block, first))
        self.state = self.sums.fold(self.state, part)
        self.rows += block.shape[0]
        if self.sums.sparse:
            self.entries += int(block.indptr[-1])

    def result(self):
        if self.grouped is not None:
            return self.grouped.finish(self.state)
        return self.sums.finish(self.state, self.rows)
