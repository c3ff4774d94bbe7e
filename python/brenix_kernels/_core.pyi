"""The native extension module (`brenix_kernels._core`)."""

from typing import Literal, overload

import numpy as np
import numpy.typing as npt

__all__ = ["scale", "scale_sparse_data", "hvg_seurat_stats", "hvg_seurat_stats_sparse"]

_Float = np.float32 | np.float64
_F64 = npt.NDArray[np.float64]

@overload
def scale(
    x: npt.ArrayLike,
    *,
    zero_center: bool = True,
    max_value: float | None = None,
    return_mean_std: Literal[False] = False,
) -> npt.NDArray[_Float]: ...
@overload
def scale(
    x: npt.ArrayLike,
    *,
    zero_center: bool = True,
    max_value: float | None = None,
    return_mean_std: Literal[True],
) -> tuple[npt.NDArray[_Float], _F64, _F64]: ...
def scale_sparse_data(
    indices: npt.NDArray[np.int64],
    data: npt.NDArray[_Float],
    n_rows: int,
    n_cols: int,
    *,
    max_value: float | None = None,
    promote: bool = False,
) -> tuple[npt.NDArray[_Float], _F64, _F64]: ...
def hvg_seurat_stats(x: npt.ArrayLike, *, log_base: float | None = None) -> tuple[_F64, _F64]: ...
def hvg_seurat_stats_sparse(
    indices: npt.NDArray[np.int64],
    data: npt.NDArray[_Float],
    n_rows: int,
    n_cols: int,
    *,
    log_base: float | None = None,
    square_f64: bool = False,
) -> tuple[_F64, _F64]: ...
