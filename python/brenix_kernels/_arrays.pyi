"""Kernels of the public array functions (`brenix_kernels._arrays`)."""

from typing import Literal

import numpy as np
import numpy.typing as npt

__all__ = [
    "hvg_seurat_stats",
    "hvg_seurat_stats_sparse",
    "mean_var",
    "mean_var_sparse",
    "scale",
    "scale_sparse_to_dense",
    "scale_sparse",
    "deviation_sums",
    "deviation_sums_sparse",
    "paths",
]

_Float = np.float32 | np.float64
_F64 = npt.NDArray[np.float64]
_Layout = Literal["csr", "csc"]
_Indices = npt.NDArray[np.int32] | npt.NDArray[np.int64]
_Groups = npt.NDArray[np.int64] | None
_Mask = npt.NDArray[np.bool_] | None

def hvg_seurat_stats(
    x: npt.NDArray[_Float], log_base: float | None, groups: _Groups, n_groups: int, /
) -> tuple[_F64, _F64]: ...
def hvg_seurat_stats_sparse(
    layout: _Layout,
    indptr: npt.NDArray[np.int64],
    indices: _Indices,
    data: npt.NDArray[_Float],
    n_rows: int,
    n_cols: int,
    log_base: float | None,
    square_f64: bool,
    groups: _Groups,
    n_groups: int,
    /,
) -> tuple[_F64, _F64]: ...
def mean_var(
    x: npt.NDArray[_Float], square_f64: bool, groups: _Groups, n_groups: int, /
) -> tuple[_F64, _F64]: ...
def mean_var_sparse(
    layout: _Layout,
    indptr: npt.NDArray[np.int64],
    indices: _Indices,
    data: npt.NDArray[_Float],
    n_rows: int,
    n_cols: int,
    square_f64: bool,
    groups: _Groups,
    n_groups: int,
    /,
) -> tuple[_F64, _F64]: ...
def scale(
    x: npt.NDArray[_Float], zero_center: bool, max_value: float | None, mask: _Mask, /
) -> tuple[npt.NDArray[_Float], _F64, _F64]: ...
def scale_sparse_to_dense(
    layout: _Layout,
    indptr: npt.NDArray[np.int64],
    indices: _Indices,
    data: npt.NDArray[_Float],
    n_rows: int,
    n_cols: int,
    max_value: float | None,
    mask: _Mask,
    /,
) -> tuple[npt.NDArray[_Float], _F64, _F64]: ...
def scale_sparse(
    layout: _Layout,
    indptr: npt.NDArray[np.int64],
    indices: _Indices,
    data: npt.NDArray[_Float],
    n_rows: int,
    n_cols: int,
    max_value: float | None,
    promote: bool,
    mask: _Mask,
    /,
) -> tuple[npt.NDArray[_Float], _F64, _F64]: ...
def deviation_sums(
    x: npt.NDArray[_Float],
    mean: _F64,
    sd: _F64 | None,
    clip: _F64 | None,
    groups: _Groups,
    n_groups: int,
    /,
) -> tuple[_F64, _F64]: ...
def deviation_sums_sparse(
    layout: _Layout,
    indptr: npt.NDArray[np.int64],
    indices: _Indices,
    data: npt.NDArray[_Float],
    n_rows: int,
    n_cols: int,
    mean: _F64,
    sd: _F64 | None,
    clip: _F64 | None,
    groups: _Groups,
    n_groups: int,
    /,
) -> tuple[_F64, _F64]: ...
def paths() -> dict[str, str | tuple[str, ...]]: ...
