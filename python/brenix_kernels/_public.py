"""The functions users call: dense NumPy arrays, SciPy sparse matrices as they come, groups of rows.

Everything here is bookkeeping. ``_route`` sends X, for all three functions alike, to the module
that reads it: a matrix in a file to ``_stream``, a dask array to :mod:`brenix_kernels.dask`. A
matrix in memory is classified, checked and taken apart (by ``_inputs``) into the arrays the
native module ``brenix_kernels._arrays`` reads in place, and its results are put back together.
The arithmetic, and with it every bit of the results, is native and shares ``_core``'s kernels and
its one worker pool.

The checks run before anything is converted or computed, so that a bad ``groups`` or ``mask``
costs nothing and nothing is half done when it is reported.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np
import numpy.typing as npt

from . import _arrays, _stream, _vst
from ._errors import reraise_public
from ._folds import Sums
from ._inputs import (_check_shape, _dask_sparse, _dense, _group_codes, _kind, _log_base,
                      _max_value, _no_genes, _row_mask, _sparse, _type_name, _warn_if_counts,
                      _with_values)

if TYPE_CHECKING:
    import dask.array as da
    import scipy.sparse as sp

    Matrix = np.ndarray | sp.csr_matrix | sp.csr_array | sp.csc_matrix | sp.csc_array | da.Array

__all__ = ["hvg_seurat_stats", "mean_var", "scale", "vst_stats"]

_F64 = npt.NDArray[np.float64]


# --- where X goes --------------------------------------------------------------------------------


def _route(function: str, X: Any, layer: str | None, groups: Any, streamed, on_dask, in_memory,
           out: Any = None, *, genes: bool = True):
    """The one way every public function takes X.

    An AnnData object stands for its matrix (X or a layer), and ``groups`` naming a column of its
    obs for that column. A matrix in a file goes to ``streamed(src, groups)``; then ``out=``,
    which only such a matrix takes, is refused; a dask array goes to ``on_dask(X, groups)``;
    anything else is in memory and goes to ``in_memory(X, kind, codes, n_groups)``, its groups
    checked first (``None, 0`` without). On every path X's shape is checked first: no cells is
    refused, and no genes too unless ``genes`` is False (the function gives empty results).

    The native modules' internal failures leave as the package's exceptions
    (:class:`InvalidEntriesError` for a bad stored entry), whichever path met them.
    """
    try:
        X, groups = _unwrap(X, layer, groups, function)
        src = _stream.source(X, function)
        if src is not None:
            _check_shape(function, src.n_rows, src.n_cols, genes=genes)
            return streamed(src, groups)
        if out is not None:
            raise TypeError(f"{function}(): out= is where the scaled rows of a matrix read from a "
                            f"file go; for {_type_name(X)} the result is a new array")
        kind = _kind(X, function)
        if kind.name == "dask":
            _check_shape(function, *X.shape, genes=genes)
            return on_dask(X, groups)
        _check_shape(function, kind.n_rows, kind.n_cols, genes=genes)
        codes, n_groups = ((None, 0) if groups is None else
                           _group_codes(groups, kind.n_rows, kind.n_cols))
        return in_memory(X, kind, codes, n_groups)
    except BaseException as error:
        reraise_public(error)
        raise


def _unwrap(X: Any, layer: str | None, groups: Any, function: str) -> tuple[Any, Any]:
    """The matrix an AnnData object holds (X or a layer), and groups named by an obs column."""
    if _stream.is_anndata(X):
        return _stream.anndata_matrix(X, layer, function), _stream.anndata_groups(X, groups)
    if layer is not None:
        raise TypeError(f"{function}(): layer= names a layer of an AnnData object, and X is "
                        f"{_type_name(X)}")
    return X, groups


# --- the public functions ------------------------------------------------------------------------


def hvg_seurat_stats(X: Matrix, *, log_base: float | None = None, square_f64: bool = False,
                     groups: npt.ArrayLike | str | None = None, layer: str | None = None,
                     block_bytes: int | None = None, progress: bool = False) -> tuple[_F64, _F64]:
    """Per-gene Seurat statistics ``(means, dispersions)`` of a log1p-transformed matrix.

    Over the cells (rows) of X, with ``y = expm1(x)`` the values before the logarithm:
    ``means = log1p(mean(y))`` and ``dispersions = log(var(y) / mean(y))``, the variance with
    the n/(n-1) correction (none for one cell).

    Parameters
    ----------
    X
        Cells x genes, log-normalised (``log1p`` of counts normalised per cell), as one of:

        - a 2-D NumPy array. A row-major float32 or float64 array is read in place, float32
          taken in single precision (expm1 and the squares); other layouts are copied
          row-major, bool and integer values converted to float64.
        - a SciPy ``csr_matrix``, ``csr_array``, ``csc_matrix`` or ``csc_array`` with int32 or
          int64 indices, read in place; unsorted indices are fine.
        - a dask array: :func:`brenix_kernels.dask.hvg_seurat_stats` (lazy results).
        - an ``anndata.AnnData`` object (its X, or the layer named by ``layer``; the object is
          not changed).
        - a matrix in a file, read in row blocks and never loaded whole: the X of a backed
          AnnData (``anndata.read_h5ad(path, backed="r")``), an HDF5 (h5py) or Zarr dataset of
          a dense matrix, or anndata's sparse dataset of a CSR matrix
          (``anndata.io.sparse_dataset(group)``).
    log_base
        The base of the logarithm X was transformed with; None: natural. The means are
        natural logarithms whatever the base.
    square_f64
        Square float32 values of a sparse matrix after widening them to float64. Float64
        values are squared in float64 anyway; a dense float32 matrix has no such path.
    groups
        One integer code per row (k >= 0 puts the row in group k, -1 leaves it out), a pandas
        Categorical (its codes), with an AnnData object the name of an ``obs`` column, or for a
        dask X a dask array chunked like its rows.
    layer
        The layer of an AnnData object to read instead of its X.
    block_bytes
        For a matrix in a file: about how much memory a block of rows takes with its
        conversions (default 256 MiB).
    progress
        For a matrix in a file: show the rows read with tqdm, if it is installed.

    Returns
    -------
    means, dispersions : numpy.ndarray
        float64, one value per gene; with ``groups``, ``(n_groups, n_genes)`` with
        ``n_groups = max(code) + 1``, row k that of ``X[groups == k]`` (all NaN for a group
        without cells). A matrix without genes gives empty arrays.

    Raises
    ------
    ValueError
        X without cells; a ``log_base`` that is not a finite number > 0 other than 1;
        ``square_f64`` with a dense float32 X; a sparse X with an entry stored twice (call
        ``X.sum_duplicates()``: expm1 of a sum is not the sum of the expm1s); ``groups`` of
        another length than the rows, or with a code below -1.
    InvalidEntriesError
        A sparse X whose stored entries do not fit its shape (a column index out of range,
        row pointers past the entries): the first bad one in storage order. A ValueError.
    TypeError
        X of another type, complex, string or object values, non-integer indices or group
        codes, or a ``log_base`` that is not a number.
    OSError
        A matrix in a file that cannot be read (the message names it and the rows).

    Warns
    -----
    UserWarning
        When a gene's mean is above 20 (or infinite): ``log1p`` of data normalised to a total
        of at most 1e6 per cell keeps every mean below ``log1p(1e6)``, about 13.8, and raw
        counts give far larger means (``expm1`` of a count of 710 or more is infinite). X is
        then most likely raw counts, which should be normalised and ``log1p``-transformed
        first.

    Notes
    -----
    The sums run in float64 (float32 values are widened after expm1, and squared in float32
    unless ``square_f64``) over fixed chunks of the matrix, 2048 rows of a dense X or 1,000,000
    stored entries of a sparse one in CSR storage order, each chunk from zero and the chunks'
    sums added in order. The results therefore do not depend on the number of threads, nor on
    how a dask array or a file is cut into blocks: every path gives the same bits for the same
    matrix (a CSC matrix those of its CSR form with sorted indices). With ``groups`` each group's
    rows are chunked as its own subset would be, so row k is bit for bit the ungrouped result of
    ``X[groups == k]``, all groups from one pass over X.

    A mean of exactly 0 is taken as 1e-12, and a ratio ``var / mean`` of exactly 0 gives a
    dispersion of NaN (a gene with the same value in every cell).

    Examples
    --------
    >>> import numpy as np
    >>> from brenix_kernels import hvg_seurat_stats
    >>> X = np.log1p(np.array([[0.0, 1.0, 4.0], [2.0, 1.0, 0.0], [4.0, 1.0, 2.0]]))
    >>> means, dispersions = hvg_seurat_stats(X)
    >>> np.round(np.expm1(means), 6)
    array([2., 1., 2.])
    >>> np.isnan(dispersions[1])  # the same value in every cell
    np.True_
    >>> hvg_seurat_stats(X, groups=[0, 1, 1])[0].shape
    (2, 3)
    """
    function = "hvg_seurat_stats"
    log_base = _log_base(log_base, function)

    def streamed(src, groups):
        if square_f64 and not src.sparse:
            _check_dense_square_f64(src.dtype)
        sums = Sums(sparse=src.sparse, expm1=True, log_base=log_base,
                    square_f64=bool(square_f64) and src.sparse)
        return _stream.statistics(src, sums, groups, block_bytes, progress, function)

    def on_dask(X, groups):
        from . import dask as bd

        squared = bool(square_f64)
        if squared and not _dask_sparse(X):  # dense blocks take no square_f64 at all
            _check_dense_square_f64(X.dtype)
            squared = False
        return bd.hvg_seurat_stats(X, log_base=log_base, square_f64=squared, groups=groups)

    def in_memory(X, kind, codes, n_groups):
        if kind.name == "dense" and square_f64:
            _check_dense_square_f64(X.dtype)
        if kind.n_cols == 0:
            return _no_genes(None if codes is None else n_groups)
        if kind.name == "dense":
            return _arrays.hvg_seurat_stats(_dense(X), log_base, codes, n_groups)
        return _arrays.hvg_seurat_stats_sparse(*_sparse(X, kind).args(), log_base,
                                               bool(square_f64), codes, n_groups)

    means, dispersions = _route(function, X, layer, groups, streamed, on_dask, in_memory,
                                genes=False)
    if isinstance(means, np.ndarray):  # a dask X's lazy means are checked when computed
        _warn_if_counts(means, stacklevel=2)
    return means, dispersions


def _check_dense_square_f64(dtype: np.dtype) -> None:
    if dtype == np.float32:
        raise ValueError("square_f64 applies to sparse float32 values: a dense float32 matrix is "
                         "squared in float32, as _core.hvg_seurat_stats does (X.astype(np.float64) "
                         "takes expm1 and the squares in float64)")


def mean_var(X: Matrix, *, square_f64: bool = False, groups: npt.ArrayLike | str | None = None,
             layer: str | None = None, block_bytes: int | None = None,
             progress: bool = False) -> tuple[_F64, _F64]:
    """Per-gene ``(means, variances)`` over the cells (rows) of X.

    Parameters
    ----------
    X
        Cells x genes: a 2-D NumPy array (a row-major float32 or float64 one is read in place),
        a SciPy CSR or CSC matrix with int32 or int64 indices (read in place; implicit zeros
        count as observations), a dask array (:func:`brenix_kernels.dask.mean_var`, lazy
        results), an AnnData object, or a matrix in a file, as :func:`hvg_seurat_stats` takes.
    square_f64
        Square float32 values in float64: the results are then those of
        ``X.astype(np.float64)``, computed without that copy (for float64 X it changes nothing).
    groups
        As in :func:`hvg_seurat_stats`.
    layer, block_bytes, progress
        As in :func:`hvg_seurat_stats`: an AnnData object's layer, and the row blocks of a
        matrix in a file.

    Returns
    -------
    means, variances : numpy.ndarray
        float64, one value per gene, the variances with the n/(n-1) correction (none for one
        cell) and not zero-replaced; with ``groups``, ``(n_groups, n_genes)``, row k that of
        ``X[groups == k]`` (NaN for a group without cells). A matrix without genes gives empty
        arrays.

    Raises
    ------
    ValueError
        X without cells, a sparse X with an entry stored twice (call ``X.sum_duplicates()``),
        bad ``groups``.
    InvalidEntriesError
        A sparse X whose stored entries do not fit its shape (the first bad one in storage
        order). A ValueError.
    TypeError
        X of another type or with values that are not real numbers.
    OSError
        A matrix in a file that cannot be read.

    Notes
    -----
    The bits are those of the moments :func:`scale` computes for the same input: the sums run
    in float64 over 2048-row chunks of a dense X, or 1,000,000 stored entries of a sparse one in
    CSR storage order (a CSC matrix gives the bits of its CSR form with sorted indices), each
    chunk from zero and the chunks' sums added in order. So the results do not depend on the
    number of threads, nor on how a dask array or a file is cut into blocks, and
    ``np.sqrt(variances)`` is :func:`scale`'s std wherever that std is not the 1.0 that
    replaces a zero.

    Examples
    --------
    >>> import numpy as np
    >>> from brenix_kernels import mean_var
    >>> X = np.array([[1.0, 0.0], [3.0, 0.0], [5.0, 6.0]])
    >>> mean_var(X)
    (array([3., 2.]), array([ 4., 12.]))
    >>> means, variances = mean_var(X, groups=[0, 0, 1])
    >>> means
    array([[2., 0.],
           [5., 6.]])
    """
    def streamed(src, groups):
        sums = Sums(sparse=src.sparse, expm1=False, square_f64=bool(square_f64),
                    statistic="mean_var")
        return _stream.statistics(src, sums, groups, block_bytes, progress, "mean_var")

    def on_dask(X, groups):
        from . import dask as bd

        return bd.mean_var(X, square_f64=bool(square_f64), groups=groups)

    def in_memory(X, kind, codes, n_groups):
        if kind.n_cols == 0:
            return _no_genes(None if codes is None else n_groups)
        if kind.name == "dense":
            return _arrays.mean_var(_dense(X), bool(square_f64), codes, n_groups)
        return _arrays.mean_var_sparse(*_sparse(X, kind).args(), bool(square_f64), codes, n_groups)

    return _route("mean_var", X, layer, groups, streamed, on_dask, in_memory, genes=False)


@overload
def scale(X: Matrix, *, zero_center: bool = True, max_value: float | None = None,
          promote: bool = False, mask: npt.ArrayLike | None = None,
          return_mean_std: Literal[False] = False, layer: str | None = None, out: Any = None,
          block_bytes: int | None = None, progress: bool = False) -> Any: ...
@overload
def scale(X: Matrix, *, zero_center: bool = True, max_value: float | None = None,
          promote: bool = False, mask: npt.ArrayLike | None = None,
          return_mean_std: Literal[True], layer: str | None = None, out: Any = None,
          block_bytes: int | None = None, progress: bool = False) -> tuple[Any, _F64, _F64]: ...
def scale(X: Matrix, *, zero_center: bool = True, max_value: float | None = None,
          promote: bool = False, mask: npt.ArrayLike | None = None,
          return_mean_std: bool = False, layer: str | None = None, out: Any = None,
          block_bytes: int | None = None, progress: bool = False) -> Any:
    """Each gene (column) of X divided by its standard deviation over the cells (rows), centred
    on its mean first when ``zero_center``.

    Parameters
    ----------
    X
        Cells x genes: a 2-D NumPy array (a row-major float32 or float64 one is read in place),
        a SciPy CSR or CSC matrix with int32 or int64 indices (read in place), a dask array, an
        AnnData object, or a matrix in a file, as :func:`hvg_seurat_stats` takes.
    zero_center
        Subtract each gene's mean before dividing. Without it a sparse X stays sparse: zeros
        stay zeros.
    max_value
        Clip the scaled values at ``max_value`` from above and, when centring, at
        ``-max_value`` from below; a number > 0 (``inf`` clips nothing), or None not to clip.
    promote
        With float32 X, compute as if X were ``X.astype(np.float64)``: float64 squares and a
        float64 result. It changes nothing for other X.
    mask
        One boolean per row. The statistics come from the rows where it is True, which are
        scaled as ``scale(X[mask])`` would scale them; the other rows come back unscaled, in
        the result's dtype.
    return_mean_std
        Also return the means and standard deviations used.
    layer, block_bytes, progress
        As in :func:`hvg_seurat_stats`.
    out
        For a matrix in a file only, where the scaled result is written block by block (a
        NumPy memmap, a Zarr array or an HDF5 dataset), and which is returned: X's shape, or
        for a CSR X without ``zero_center`` one value per stored entry in storage order (the
        structure is X's).

    Returns
    -------
    scaled
        A new matrix: for a NumPy array, or a sparse X with ``zero_center``, a dense array,
        float32 for float32 X (unless ``promote``) and float64 otherwise; for a sparse X
        without ``zero_center``, a matrix of X's class and structure holding the scaled values;
        for a dask X, a lazy dask array of the same; for a matrix in a file, ``out``.
    mean, std : numpy.ndarray
        With ``return_mean_std``: float64, one per gene (lazy for a dask X); a std of exactly 0
        is taken as 1.0.

    Raises
    ------
    ValueError
        X without cells or without genes, a ``max_value`` that is not > 0 (or NaN), a sparse X
        with an entry stored twice (call ``X.sum_duplicates()``), a ``mask`` of another length
        than the rows, a missing or misshapen ``out`` for a matrix in a file.
    InvalidEntriesError
        A sparse X whose stored entries do not fit its shape (the first bad one in storage
        order). A ValueError.
    TypeError
        X of another type or with values that are not real numbers, a ``max_value`` that is
        not a number, a ``mask`` that is not boolean, ``out`` for a matrix in memory.
    OSError
        A matrix in a file that cannot be read, or an ``out`` that cannot be written.

    Notes
    -----
    The means and standard deviations are :func:`mean_var`'s, bit for bit (the standard
    deviation with the n/(n-1) correction): sums in float64 over fixed 2048-row chunks of a
    dense X, or 1,000,000 stored entries of a sparse one in CSR order, added in chunk order.
    Each value is then ``(x - mean) / std`` (``x / std`` without centring), clipped, in the
    result's precision. The results do not depend on the number of threads, and a dask array or
    a file gives the bits of the same matrix in memory, however it is cut into blocks. A sparse
    X with ``zero_center`` gives the dense result its ``X.toarray()`` would, without forming
    that copy.

    Examples
    --------
    >>> import numpy as np
    >>> from brenix_kernels import scale
    >>> X = np.array([[1.0, 10.0], [3.0, 10.0], [5.0, 10.0]])
    >>> scale(X)
    array([[-1.,  0.],
           [ 0.,  0.],
           [ 1.,  0.]])
    >>> scaled, mean, std = scale(X, zero_center=False, max_value=2.0, return_mean_std=True)
    >>> scaled[:, 0], mean, std
    (array([0.5, 1.5, 2. ]), array([ 3., 10.]), array([2., 1.]))
    """
    max_value = _max_value(max_value, "scale")

    def streamed(src, _):
        return _stream.scale(src, zero_center, max_value, promote, mask, return_mean_std, out,
                             block_bytes, progress)

    def on_dask(X, _):
        from . import dask as bd

        if _dask_sparse(X) and not zero_center:
            scaled, mean, std = bd.scale_sparse(X, max_value=max_value, promote=bool(promote),
                                                mask=mask)
            return (scaled, mean, std) if return_mean_std else scaled
        if promote and X.dtype == np.float32:
            X = X.astype(np.float64)
        return bd.scale(X, zero_center=bool(zero_center), max_value=max_value,
                        return_mean_std=bool(return_mean_std), mask=mask)

    def in_memory(X, kind, _codes, _n_groups):
        rows = None if mask is None else _row_mask(mask, kind.n_rows)
        if kind.name == "dense":
            result, mean, std = _arrays.scale(_dense(X, promote and X.dtype == np.float32),
                                              bool(zero_center), max_value, rows)
        elif zero_center:
            parts = _sparse(X, kind, promote and X.dtype == np.float32)
            result, mean, std = _arrays.scale_sparse_to_dense(*parts.args(), max_value, rows)
        else:
            parts = _sparse(X, kind)
            values, mean, std = _arrays.scale_sparse(*parts.args(), max_value, bool(promote), rows)
            result = _with_values(X, parts, values)
        return (result, mean, std) if return_mean_std else result

    return _route("scale", X, layer, None, streamed, on_dask, in_memory, out=out)


def vst_stats(X: Matrix, *, span: float = 0.3, clip_max: float | None = None,
              groups: npt.ArrayLike | str | None = None, layer: str | None = None,
              block_bytes: int | None = None,
              progress: bool = False) -> tuple[_F64, _F64, _F64, _F64]:
    """Per-gene statistics of the variance-stabilising selection of variable genes, from raw
    counts: ``(means, variances, variances_expected, variances_standardized)``.

    Parameters
    ----------
    X
        Counts, cells x genes, of any real dtype (integer and float32 counts are taken as
        float64, exactly): anything :func:`mean_var` takes. A dask array gives NumPy results,
        each pass one graph, computed; a matrix in a file is read twice in row blocks.
    span
        The fraction of the genes each local fit of the loess uses, in (0, 1].
    clip_max
        The upper clip of the standardised values, > 0; None: ``sqrt(n)`` for n cells (each
        group's own with ``groups``).
    groups
        As in :func:`hvg_seurat_stats`; each group is fitted on its own.
    layer, block_bytes, progress
        As in :func:`hvg_seurat_stats`.

    Returns
    -------
    means, variances, variances_expected, variances_standardized : numpy.ndarray
        float64, one value per gene (``(n_groups, n_genes)`` with ``groups``, row k bit for
        bit that of ``X[groups == k]``):

        - ``means``: the bits of :func:`mean_var`'s means of ``X.astype(np.float64)``;
        - ``variances``: about the mean, ``(sum((x - mean)**2 over the stored values) +
          mean**2 * (n - stored)) / (n - 1)`` (every value of a dense X is stored; the implicit
          zeros of a sparse one each add ``mean**2``);
        - ``variances_expected``: ``10 **`` the loess fit of ``log10(variances)`` on
          ``log10(means)`` over the genes whose variance is > 0; 0 for the other genes;
        - ``variances_standardized``: ``sum(min((x - mean) / sd, clip_max)**2) / (n - 1)``
          over all cells with ``sd = sqrt(variances_expected)``, the implicit zeros each adding
          ``((0 - mean) / sd)**2``; 0 where the expected variance is 0.

    Raises
    ------
    ValueError
        Values that are negative or not finite (counts are expected), fewer than 2 cells (in
        a group), no genes, a ``span`` outside (0, 1], a ``clip_max`` that is not > 0, too few
        genes with a variance > 0 for the fit (``span`` times their number must be at least
        6), an entry stored twice, bad ``groups``.
    InvalidEntriesError
        A sparse X whose stored entries do not fit its shape. A ValueError.
    TypeError
        X of another type, a ``span`` or ``clip_max`` that is not a number.
    ImportError
        Without scikit-misc, whose loess makes the fit (extra ``selection``).

    Notes
    -----
    The fit is scikit-misc's loess with degree 2, gaussian family, surface "interpolate",
    statistics "approximate", cell 0.2 and the given ``span``.

    The two passes about the mean run natively in float64, in the chunks and order of
    :func:`mean_var`'s sums (2048-row chunks of a dense X; 1,000,000 stored entries of a sparse
    one, in CSR order, so a CSC matrix gives the bits of its CSR form): the results do not
    depend on the number of threads, nor on the blocks of a dask array or a file. The
    standardised values are clipped from above only, so the implicit zeros never are.

    Examples
    --------
    >>> import numpy as np
    >>> from brenix_kernels import vst_stats
    >>> counts = np.random.default_rng(0).poisson(np.linspace(0.5, 8, 30), (100, 30))
    >>> means, variances, expected, standardized = vst_stats(counts)
    >>> means.shape, bool((expected > 0).all())
    ((30,), True)
    """
    function = "vst_stats"
    opts = _vst.options(span, clip_max, function)

    def in_memory(X, kind, codes, n_groups):
        n = _cells(codes, n_groups, kind.n_rows)
        if kind.name == "dense":
            x = _dense(X)

            def means():
                return _arrays.mean_var(x, True, codes, n_groups)[0]

            def deviations(mean, sd, clip):
                return _arrays.deviation_sums(x, *_deviation_args(mean, sd, clip, n), codes,
                                              n_groups)
        else:
            parts = _sparse(X, kind)

            def means():
                return _arrays.mean_var_sparse(*parts.args(), True, codes, n_groups)[0]

            def deviations(mean, sd, clip):
                return _arrays.deviation_sums_sparse(*parts.args(),
                                                     *_deviation_args(mean, sd, clip, n), codes,
                                                     n_groups)
        return _vst.compute((means, deviations), n, opts, codes is not None, function)

    def streamed(src, groups):
        codes, n_groups = (None, None) if groups is None else _group_codes(groups, src.n_rows,
                                                                          src.n_cols)
        n = _cells(codes, n_groups or 0, src.n_rows)
        read = _stream.Pass(src, block_bytes, progress, function)

        def means():
            sums = Sums(sparse=src.sparse, expm1=False, square_f64=True, statistic="mean_var")
            return read.run(sums, codes=codes, n_groups=n_groups)[0]

        def deviations(mean, sd, clip):
            sums = Sums(sparse=src.sparse, expm1=False, deviations=(mean, sd, clip))
            return read.run(sums, codes=codes, n_groups=n_groups)

        return _vst.compute((means, deviations), n, opts, codes is not None, function)

    def on_dask(X, groups):
        from . import dask as bd

        return bd.vst_stats(X, span=span, clip_max=clip_max, groups=groups)

    return _route(function, X, layer, groups, streamed, on_dask, in_memory)


def _cells(codes, n_groups: int, n_rows: int) -> np.ndarray:
    """The cells of each group (of X without groups)."""
    if codes is None:
        return np.array([n_rows], np.int64)
    return np.bincount(codes[codes >= 0], minlength=n_groups).astype(np.int64)


def _deviation_args(mean, sd, clip, n):
    """mean, sd and a clip per group as the native passes take them (flat, C-contiguous)."""
    mean = np.ascontiguousarray(mean, dtype=np.float64).reshape(-1)
    if sd is None:
        return mean, None, None
    sd = np.ascontiguousarray(sd, dtype=np.float64).reshape(-1)
    return mean, sd, np.ascontiguousarray(np.broadcast_to(clip, (len(n),)), dtype=np.float64)
