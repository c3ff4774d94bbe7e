"""Comparison helpers and input builders shared by the numeric tests."""

import numpy as np
import pytest

INDEX_MSG = "index out of bounds: the len is {} but the index is {}"


def assert_same(actual, expected):
    """Bit-for-bit equality; any NaN matches any NaN, zeros must agree in sign."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.dtype == expected.dtype, (actual.dtype, expected.dtype)
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    nan_a, nan_e = np.isnan(actual), np.isnan(expected)
    bits = np.uint64 if actual.dtype == np.float64 else np.uint32
    bad = (nan_a != nan_e) | (~nan_a & (actual.view(bits) != expected.view(bits)))
    if bad.any():
        where = np.argwhere(bad)[:5].tolist()
        raise AssertionError(
            f"{int(bad.sum())} of {bad.size} elements differ, first at {where}: "
            f"got {actual[bad][:5].tolist()}, expected {expected[bad][:5].tolist()}")


def assert_all_same(actual, expected):
    if isinstance(expected, tuple):
        assert isinstance(actual, tuple) and len(actual) == len(expected)
        for a, e in zip(actual, expected):
            assert_same(a, e)
    else:
        assert isinstance(actual, np.ndarray)
        assert_same(actual, expected)


def panic_args(fn, *args, **kwargs):
    """Run a call that must end in the module's internal-failure exception."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # the exception class derives from BaseException only
        assert type(exc).__name__ == "PanicException", repr(exc)
        assert not isinstance(exc, Exception)
        return exc.args
    pytest.fail("call did not fail")


def random_csr(seed, nnz, n_cols, dtype=np.float64, empty_cols=3):
    """Stored entries of a log1p-like CSR matrix.

    Columns repeat (as duplicates would), some stored values are explicit
    zeros and the last `empty_cols` columns receive no entries at all.
    """
    rng = np.random.default_rng(seed)
    indices = rng.integers(0, n_cols - empty_cols, nnz)
    data = rng.uniform(0.0, 5.0, nnz)
    data[rng.random(nnz) < 0.05] = 0.0
    return indices, data.astype(dtype)


def big_csr(seed, dtype=np.float64, nnz=2_500_000, n_cols=200):
    """More than two 1,000,000-entry chunks; few distinct values keep the model fast."""
    rng = np.random.default_rng(seed)
    indices = rng.integers(0, n_cols, nnz)
    data = np.round(rng.uniform(0.0, 4.0, nnz), 3)
    return indices, data.astype(dtype)
