"""Prints one digest per call of a fixed workload, so that builds can be compared bit for bit.

Each build variant (compiler, instruction-set path, architecture, C library) runs this against its own
extension. The first line names the platform; every other line starts with its group, which says how far
its results may agree (scripts/digests-agree holds the rules):
- "ieee": only IEEE arithmetic and sqrt; must agree everywhere.
- "libm-double": also the C library's double expm1, log and log1p.
- "libm-expm1f": also float32 expm1f (then double log and log1p). glibc 2.41 made expm1f correctly
  rounded, so these agree only among C libraries with the same kind of expm1f.
The data come from integer arithmetic and correctly rounded operations (no random generator, whose stream
could change between NumPy versions, and no transcendental function, whose last bit may differ between
platforms). NaN results may differ in their sign bit only, which is cleared before hashing.
"""

import hashlib
import platform

import numpy as np

from brenix_kernels import _arrays as A
from brenix_kernels import _core as C


def stream(n, seed):
    """n values in [0, 1) from a 64-bit xorshift, identical on every platform."""
    state, out = np.uint64(seed * 2654435761 + 1), np.empty(n, np.uint64)
    for i in range(0, n, 4096):  # vectorised across lanes seeded apart
        lanes = state + np.arange(min(4096, n - i), dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
        for shift in (13, 7, 17, 13, 7, 17):
            lanes ^= lanes << np.uint64(shift) if shift != 7 else lanes >> np.uint64(shift)
        out[i:i + lanes.size] = lanes
        state = lanes[-1]
    return (out >> np.uint64(11)).astype(np.float64) / 2.0**53


def matrix(n_rows, n_cols, seed):
    u = stream(n_rows * n_cols, seed).reshape(n_rows, n_cols)
    x = np.where(u < 0.6, 0.0, np.sqrt(np.floor(u * 40.0) * (1.0 + u)))  # counts: zeros and repeats
    x[:, 3] = np.sqrt(u[:, 3] * 1e3)  # a column of distinct values
    x[5::500, 7] = np.nan  # specials in a few columns only, so the others stay finite
    x[9::700, 8] = np.inf
    x[:, 9] = np.where(u[:, 9] < 0.5, 5e-324, 1e-300)  # subnormals must survive (no flush to zero)
    return x


def digest(result):
    parts = result if isinstance(result, tuple) else (result,)
    h = hashlib.sha256()
    for p in parts:
        a = np.ascontiguousarray(p)
        bits = a.view(f"u{a.itemsize}").copy()
        bits[np.isnan(a)] &= ~np.array(1 << (8 * a.itemsize - 1), bits.dtype)  # NaN sign bit
        h.update(str(a.dtype).encode() + str(a.shape).encode() + bits.tobytes())
    return h.hexdigest()[:32]


def main():
    x = matrix(4500, 67, 1)  # three moment chunks, nine write chunks
    x32 = x.astype(np.float32)
    n_rows, n_cols = 3_000_000, 257
    u = stream(2_300_000, 2)  # three chunks of stored entries
    indices = (u * 1e9).astype(np.int64) % n_cols
    data = np.where(u < 0.3, np.round(u * 40.0) / 8.0, np.sqrt(u * 77.0))
    data[indices == 7] = np.nan
    data32 = data.astype(np.float32)
    calls = {
        "ieee scale f64": lambda: C.scale(x, max_value=2.5, return_mean_std=True),
        "ieee scale f32": lambda: C.scale(x32, zero_center=False, return_mean_std=True),
        "ieee scale_sparse_data f64": lambda: C.scale_sparse_data(indices, data, n_rows, n_cols, max_value=3.0),
        "ieee scale_sparse_data f32": lambda: C.scale_sparse_data(indices, data32, n_rows, n_cols),
        "ieee scale_sparse_data f32 promote": lambda: C.scale_sparse_data(indices, data32, n_rows, n_cols,
                                                                           promote=True),
        "libm-double hvg_seurat_stats f64": lambda: C.hvg_seurat_stats(x),
        "libm-expm1f hvg_seurat_stats f32 log2": lambda: C.hvg_seurat_stats(x32, log_base=2),
        "libm-double hvg_seurat_stats_sparse f64": lambda: C.hvg_seurat_stats_sparse(indices, data, n_rows, n_cols),
        "libm-expm1f hvg_seurat_stats_sparse f32": lambda: C.hvg_seurat_stats_sparse(indices, data32, n_rows, n_cols),
        "libm-expm1f hvg_seurat_stats_sparse f32 sq64": lambda: C.hvg_seurat_stats_sparse(
            indices, data32, n_rows, n_cols, square_f64=True),
    }
    # The deviation sums of the variance-stabilising statistics, centred and standardised, dense and CSR.
    counts = np.where(np.isnan(x) | np.isinf(x), 0.0, x)
    rows, cols = np.nonzero(counts)
    csr = ("csr", np.concatenate([[0], np.cumsum(np.bincount(rows, minlength=4500))]), cols.astype(np.int32),
           counts[rows, cols], 4500, 67)
    mean, sd, clip = counts.mean(axis=0), np.sqrt(counts.var(axis=0) + 0.5), np.array([3.0])
    calls["ieee deviation_sums f32"] = lambda: A.deviation_sums(counts.astype(np.float32), mean, None, None, None, 0)
    calls["ieee deviation_sums f64 standardised"] = lambda: A.deviation_sums(counts, mean, sd, clip, None, 0)
    calls["ieee deviation_sums_sparse standardised"] = lambda: A.deviation_sums_sparse(*csr, mean, sd, clip, None, 0)
    libc, libc_version = platform.libc_ver()
    print(f"platform: {platform.machine()} {libc or 'unknown'} {libc_version or 'unknown'}")
    for name, call in calls.items():
        print(f"{name}: {digest(call())}")


if __name__ == "__main__":
    main()
