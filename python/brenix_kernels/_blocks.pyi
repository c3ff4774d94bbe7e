"""Block-wise pieces of the statistics (`brenix_kernels._blocks`)."""

import numpy as np
import numpy.typing as npt

__all__ = [
    "dense_partial",
    "continue_dense",
    "sparse_partial",
    "continue_sparse",
    "fold",
    "finish_mean_std",
    "finish_mean_var",
    "finish_hvg",
    "dense_group_partial",
    "continue_dense_groups",
    "sparse_group_partial",
    "continue_sparse_groups",
    "scale_dense",
    "scale_sparse_values",
    "check_csr",
]

_Float = np.float32 | np.float64
_F64 = npt.NDArray[np.float64]
_I64 = npt.NDArray[np.int64]
_Indices = npt.NDArray[np.int32] | npt.NDArray[np.int64]
_Mask = npt.NDArray[np.bool_] | None
# (head, head_closes, chunk_sums, tail)
_Partial = tuple[int, bool, _F64, _F64 | None]
# (items, head, head_closes, n_whole, chunk_sums, tail_groups, tails, head_values, head_indices)
_GroupedPartial = tuple[
    list[int],
    list[int],
    list[int],
    list[int],
    _F64,
    list[int],
    _F64,
    npt.NDArray[_Float],
    _Indices | None,
]

def dense_partial(
    x: npt.ArrayLike,
    first_row: int,
    *,
    expm1: bool = False,
    log_base: float | None = None,
    square_f64: bool = False,
    mean: _F64 | None = None,
    sd: _F64 | None = None,
    clip: _F64 | None = None,
) -> _Partial: ...
def continue_dense(
    sums: _F64,
    x: npt.ArrayLike,
    *,
    expm1: bool = False,
    log_base: float | None = None,
    square_f64: bool = False,
    mean: _F64 | None = None,
    sd: _F64 | None = None,
    clip: _F64 | None = None,
) -> _F64: ...
def sparse_partial(
    indices: _Indices,
    data: npt.NDArray[_Float],
    n_cols: int,
    first_entry: int,
    *,
    expm1: bool = False,
    log_base: float | None = None,
    square_f64: bool = False,
    mean: _F64 | None = None,
    sd: _F64 | None = None,
    clip: _F64 | None = None,
) -> _Partial: ...
def continue_sparse(
    sums: _F64,
    indices: _Indices,
    data: npt.NDArray[_Float],
    *,
    expm1: bool = False,
    log_base: float | None = None,
    square_f64: bool = False,
    mean: _F64 | None = None,
    sd: _F64 | None = None,
    clip: _F64 | None = None,
) -> _F64: ...
def fold(total: _F64, chunk_sums: _F64) -> _F64: ...
def finish_mean_std(total: _F64, n_rows: int) -> tuple[_F64, _F64]: ...
def finish_mean_var(total: _F64, n_rows: int) -> tuple[_F64, _F64]: ...
def finish_hvg(total: _F64, n_rows: int) -> tuple[_F64, _F64]: ...
def dense_group_partial(
    x: npt.ArrayLike,
    codes: _I64,
    before: _I64,
    *,
    expm1: bool = False,
    log_base: float | None = None,
    square_f64: bool = False,
    mean: _F64 | None = None,
    sd: _F64 | None = None,
    clip: _F64 | None = None,
) -> _GroupedPartial: ...
def continue_dense_groups(
    open: _F64,
    head: _I64,
    x: npt.ArrayLike,
    *,
    expm1: bool = False,
    log_base: float | None = None,
    square_f64: bool = False,
    mean: _F64 | None = None,
    sd: _F64 | None = None,
    clip: _F64 | None = None,
) -> _F64: ...
def sparse_group_partial(
    indptr: _I64,
    indices: _Indices,
    data: npt.NDArray[_Float],
    n_cols: int,
    codes: _I64,
    before: _I64,
    first_row: int,
    *,
    expm1: bool = False,
    log_base: float | None = None,
    square_f64: bool = False,
    mean: _F64 | None = None,
    sd: _F64 | None = None,
    clip: _F64 | None = None,
) -> _GroupedPartial: ...
def continue_sparse_groups(
    open: _F64,
    head: _I64,
    indices: _Indices,
    data: npt.NDArray[_Float],
    n_cols: int,
    *,
    expm1: bool = False,
    log_base: float | None = None,
    square_f64: bool = False,
    mean: _F64 | None = None,
    sd: _F64 | None = None,
    clip: _F64 | None = None,
) -> _F64: ...
def scale_dense(
    x: npt.ArrayLike,
    mean: _F64,
    std: _F64,
    *,
    zero_center: bool = True,
    max_value: float | None = None,
    mask: _Mask = None,
) -> npt.NDArray[_Float]: ...
def scale_sparse_values(
    indptr: _I64,
    indices: _Indices,
    data: npt.NDArray[_Float],
    std: _F64,
    *,
    max_value: float | None = None,
    promote: bool = False,
    mask: _Mask = None,
) -> npt.NDArray[_Float]: ...
def check_csr(indptr: _I64, indices: _Indices, n_cols: int, first_row: int) -> None: ...
