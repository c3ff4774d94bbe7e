"""Seurat statistics through every expm1 path: the vector kernels of each instruction set and the C library's
(BRENIX_VECTOR_EXPM1F=off for float32, BRENIX_VECTOR_EXPM1=off for float64) give the reference's bits,
including the special lanes and the row runs summed whole, gathered, scaled or with zeros counted. This process's
path against the reference here; the others, through digest(), in test_isa."""

import hashlib

import numpy as np
import pytest

import reference as ref
from brenix_kernels._core import hvg_seurat_stats, hvg_seurat_stats_sparse
from conftest import INDEX_MSG, assert_same, panic

# Values that leave the kernel's short path (below 15.5, not negative): k = -1 and below, 23 <= k <= 56, the -1
# and overflow limits and the range between the two overflow thresholds, NaN, infinities, -0, tiny and subnormal.
SPECIAL = {
    np.float32: [-0.3, -1.0, -5.0, -18.8, -100.0, 15.6, 16.0, 30.0, 38.9, 88.7217, 88.72, 89.0, 1e30,
                 np.nan, np.inf, -np.inf, -0.0, 1e-8, 1e-40, -1e-40],
    np.float64: [-0.3, -1.0, -5.0, -38.9, -1e3, 12.9, 13.9, 30.0, 38.9, 709.782712893384, 709.7827128933841,
                 710.0, 1e300, np.nan, np.inf, -np.inf, -0.0, 1e-17, 1e-310, -1e-310],
}


def inputs(dtype=np.float32, repeats=False):
    """A dense matrix whose rows are dense (summed whole) or 20% nonzero (gathered, more than one 512-value
    block per 4096-column run), and CSR entries of several blocks; a few columns hold SPECIAL values.
    With `repeats`, log1p of small counts, whose values repeat: float64 then keeps the memo after probing."""
    rng = np.random.default_rng(7)
    special = np.array(SPECIAL[dtype], dtype=dtype)
    x = (np.log1p(rng.poisson(2.0, (40, 4700))) if repeats else rng.gamma(1.5, 1.5, (40, 4700))).astype(dtype)
    x[rng.random(x.shape) < 0.8 * (np.arange(40) % 2)[:, None]] = 0  # odd rows sparse
    x[:, 4100:4100 + special.size] = rng.choice(special, (40, special.size))
    x[:, 4200] = rng.choice(special, 40)
    indices = rng.integers(0, 300, 5000)
    data = (np.log1p(rng.poisson(2.0, 5000)) if repeats else rng.gamma(1.5, 1.5, 5000)).astype(dtype)
    special_entries = np.flatnonzero(indices < 10)
    data[special_entries] = rng.choice(special, special_entries.size)
    return x, indices, data


CALLS = [  # (dtype, repeats?, dense?, keyword arguments)
    *[(dtype, False, True, kw) for dtype in (np.float32, np.float64)
      for kw in [{}, {"log_base": 2.0}, {"log_base": np.inf}]],
    *[(np.float32, False, False, kw) for kw in [{}, {"square_f64": True}, {"log_base": 10.0}]],
    *[(np.float64, False, False, kw) for kw in [{}, {"log_base": 10.0}]],
    (np.float64, True, True, {}), (np.float64, True, False, {}),
]


def results():
    out = []
    for dtype, repeats, dense, kw in CALLS:
        x, indices, data = inputs(dtype, repeats)
        out.append(hvg_seurat_stats(x, **kw) if dense else hvg_seurat_stats_sparse(indices, data, 70, 300, **kw))
    return out


def digest():
    """Of every bit, but NaN's sign and payload, which depend on the operand order the compiler picks for an
    addition of two NaNs (assert_same does not compare them either)."""
    h = hashlib.sha256()
    for pair in results():
        for a in pair:
            h.update(np.where(np.isnan(a), np.nan, a).tobytes())
    return h.hexdigest()


def test_default_path_matches_reference():
    for (dtype, repeats, dense, kw), got in zip(CALLS, results(), strict=True):
        x, indices, data = inputs(dtype, repeats)
        if dense:
            expected = ref.hvg_seurat_stats(x, kw.get("log_base"))
        else:
            expected = ref.hvg_seurat_stats_sparse(indices, data, 70, 300, kw.get("log_base"),
                                                   kw.get("square_f64", False))
        assert_same(got, expected)


@pytest.mark.parametrize("bad, n_indices", [([700, 2000], 5000), ([], 600), ([1000], 1024)])
def test_first_bad_entry_across_blocks(bad, n_indices):
    x, indices, data = inputs()
    indices = indices[:n_indices].copy()
    indices[bad] = [400 + k for k in range(len(bad))]
    first = INDEX_MSG.format(300, 400) if bad else INDEX_MSG.format(n_indices, n_indices)
    assert str(panic(hvg_seurat_stats_sparse, indices, data, 70, 300).args[0]) == first
