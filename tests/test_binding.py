"""Argument binding, scalar conversions and array intake of the four functions.

Calls are written as source text so that each case reads like the call a user
would make and shows up as such in the test id.
"""

import numpy as np
import pytest

from brenix_kernels import _core
from brenix_kernels._core import hvg_seurat_stats, hvg_seurat_stats_sparse, scale, scale_sparse_data

X = np.array([[0.0, 1.0], [0.0, 2.0], [0.0, 4.0], [0.0, 8.0], [10.0, 1.0]])
I = np.array([0, 1, 1], dtype=np.int64)
D = np.array([1.0, 2.0, 3.0])
PYARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"
NOT_CONTIG = "The given array is not contiguous"
NS = dict(globals())


def raises_exactly(exc_type, message, call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is exc_type, repr(info.value)
    if message is not None:
        assert str(info.value) == message
    return info.value


def same(a, b):
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(map(same, a, b))
    return a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)


@pytest.mark.parametrize(
    "call, message",
    [
        ("scale(X, True)", "scale() takes 1 positional arguments but 2 were given"),
        ("hvg_seurat_stats(X, None)", "hvg_seurat_stats() takes 1 positional arguments but 2 were given"),
        ("scale_sparse_data(I, D, 2, 2, 1.0)", "scale_sparse_data() takes 4 positional arguments but 5 were given"),
        ("hvg_seurat_stats_sparse(I, D, 2, 2, None, 1, bogus=1)", "hvg_seurat_stats_sparse() takes 4 positional arguments but 6 were given"),
        ("scale(X, x=X)", "scale() got multiple values for argument 'x'"),
        ("scale_sparse_data(I, D, 2, 2, n_cols=2)", "scale_sparse_data() got multiple values for argument 'n_cols'"),
        ("hvg_seurat_stats_sparse(I, indices=I, bogus=1)", "hvg_seurat_stats_sparse() got multiple values for argument 'indices'"),
        ("hvg_seurat_stats(X, base=2)", "hvg_seurat_stats() got an unexpected keyword argument 'base'"),
        ("scale(X, zero_center=1, promote=True)", "scale() got an unexpected keyword argument 'promote'"),
        ("scale_sparse_data(I, D, 2, 2, log_base=2.0)", "scale_sparse_data() got an unexpected keyword argument 'log_base'"),
        ("hvg_seurat_stats_sparse(data=D, promote=1)", "hvg_seurat_stats_sparse() got an unexpected keyword argument 'promote'"),
        ("scale()", "scale() missing 1 required positional argument: 'x'"),
        ("hvg_seurat_stats(log_base=2.0)", "hvg_seurat_stats() missing 1 required positional argument: 'x'"),
        ("hvg_seurat_stats_sparse(I, D, 2)", "hvg_seurat_stats_sparse() missing 1 required positional argument: 'n_cols'"),
        ("scale_sparse_data(I, D)", "scale_sparse_data() missing 2 required positional arguments: 'n_rows' and 'n_cols'"),
        ("hvg_seurat_stats_sparse(I, n_rows=2)", "hvg_seurat_stats_sparse() missing 2 required positional arguments: 'data' and 'n_cols'"),
        ("hvg_seurat_stats_sparse(data=D)",
         "hvg_seurat_stats_sparse() missing 3 required positional arguments: 'indices', 'n_rows', and 'n_cols'"),
        ("scale_sparse_data()",
         "scale_sparse_data() missing 4 required positional arguments: 'indices', 'data', 'n_rows', and 'n_cols'"),
    ],
)
def test_binding_errors(call, message):
    raises_exactly(TypeError, message, lambda: eval(call, NS))


def test_positional_parameters_accept_keywords():
    assert same(scale(x=X), scale(X))
    assert same(scale_sparse_data(n_cols=2, data=D, indices=I, n_rows=2), scale_sparse_data(I, D, 2, 2))


@pytest.mark.parametrize("value", [1, 0, None, "x", np.int64(1), np.array(True)])
@pytest.mark.parametrize(
    "call", ["scale(X, zero_center=v)", "scale(X, return_mean_std=v)", "scale_sparse_data(I, D, 2, 2, promote=v)",
             "hvg_seurat_stats_sparse(I, D, 2, 2, square_f64=v)"]
)
def test_flag_refuses_non_booleans(call, value):
    name = call.split(", ")[-1].split("=")[0]
    message = f"argument '{name}': '{type(value).__qualname__}' object cannot be converted to 'PyBool'"
    raises_exactly(TypeError, message, lambda: eval(call, NS, {"v": value}))


def test_flag_takes_the_value_of_numpy_booleans():
    assert same(scale(X, zero_center=np.False_), scale(X, zero_center=False))
    assert not same(scale(X, zero_center=np.True_), scale(X, zero_center=False))
    assert type(scale(X, return_mean_std=np.True_)) is tuple
    assert type(scale(X, return_mean_std=np.False_)) is np.ndarray
    assert scale_sparse_data(I, D.astype(np.float32), 2, 2, promote=np.True_)[0].dtype == np.float64
    assert scale_sparse_data(I, D.astype(np.float32), 2, 2, promote=np.False_)[0].dtype == np.float32


@pytest.mark.parametrize("given, as_float", [(1, 1.0), (np.float32(1), 1.0), (np.int64(1), 1.0), (True, 1.0), (-1, -1.0)])
def test_optional_double_accepts_numbers(given, as_float):
    expected = scale(X, max_value=as_float)
    assert not same(expected, scale(X))  # the bound really clips something
    assert same(scale(X, max_value=given), expected)
    assert same(scale_sparse_data(I, D, 2, 2, max_value=given), scale_sparse_data(I, D, 2, 2, max_value=as_float))
    assert same(hvg_seurat_stats(X, log_base=given), hvg_seurat_stats(X, log_base=as_float))


@pytest.mark.parametrize(
    "call", ["scale(X, max_value=v)", "scale_sparse_data(I, D, 2, 2, max_value=v)", "hvg_seurat_stats(X, log_base=v)",
             "hvg_seurat_stats_sparse(I, D, 2, 2, log_base=v)"]
)
def test_optional_double_failures(call):
    name = call.split(", ")[-1].split("=")[0]
    run = lambda v: eval(call, NS, {"v": v})  # noqa: E731
    raises_exactly(TypeError, f"argument '{name}': must be real number, not str", lambda: run("2"))

    class BadValue:
        error = ValueError("no float here")

        def __float__(self):
            raise self.error

    with pytest.raises(ValueError) as info:
        run(BadValue())
    assert info.value is BadValue.error  # other exception types pass untouched

    root = KeyError("root cause")

    class BadType:
        def __float__(self):
            raise TypeError("not today") from root

    assert raises_exactly(TypeError, f"argument '{name}': not today", lambda: run(BadType())).__cause__ is root


@pytest.mark.parametrize("param", ["n_rows", "n_cols"])
@pytest.mark.parametrize("fn", [scale_sparse_data, hvg_seurat_stats_sparse])
def test_size_conversion(fn, param):
    def call(value):
        sizes = {"n_rows": 2, "n_cols": 2, param: value}
        return fn(I, D, sizes["n_rows"], sizes["n_cols"])

    assert same(call(np.int64(2)), call(2))
    if param == "n_rows":
        assert same(call(True), call(1))
    for bad in (-1, 2**64):
        assert param not in str(raises_exactly(OverflowError, None, lambda: call(bad)))
    raises_exactly(TypeError, f"argument '{param}': 'float' object cannot be interpreted as an integer", lambda: call(10.0))
    raises_exactly(TypeError, f"argument '{param}': 'str' object cannot be interpreted as an integer", lambda: call("2"))


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        ("scale_sparse_data(I, D, 1.5, -1, promote=1)", TypeError, "argument 'n_rows': 'float' object cannot be interpreted as an integer"),
        ("scale_sparse_data('a', 'b', 2, -1, max_value='m')", OverflowError, None),
        ("scale_sparse_data('a', 'b', 2, 2, max_value='m', promote=1)", TypeError, "argument 'max_value': must be real number, not str"),
        ("hvg_seurat_stats_sparse('a', 'b', 2, 2, log_base='m', square_f64=1)", TypeError, "argument 'log_base': must be real number, not str"),
        ("hvg_seurat_stats_sparse('a', 'b', 2, 2, square_f64=None)", TypeError,
         "argument 'square_f64': 'NoneType' object cannot be converted to 'PyBool'"),
        ("scale([[1.0]], zero_center=1, max_value='m', return_mean_std=1)", TypeError,
         "argument 'zero_center': 'int' object cannot be converted to 'PyBool'"),
        ("scale([[1.0]], max_value='m', return_mean_std=1)", TypeError, "argument 'max_value': must be real number, not str"),
        ("scale([[1.0]], return_mean_std=1)", TypeError, "argument 'return_mean_std': 'int' object cannot be converted to 'PyBool'"),
        ("hvg_seurat_stats([[1.0]], log_base='m')", TypeError, "argument 'log_base': must be real number, not str"),
        ("scale_sparse_data(I.astype(np.int32), [1.0], 2, 2)", TypeError, PYARRAY.format("ndarray")),
        ("hvg_seurat_stats_sparse(I[::2], [1.0], 2, 2)", TypeError, NOT_CONTIG),
    ],
)
def test_order_of_checks(call, exc_type, message):
    raises_exactly(exc_type, message, lambda: eval(call, NS))


DENSE = [scale, hvg_seurat_stats]


class Convertible:
    """Not an array, but offers ``astype`` like array-likes of other libraries do."""

    def __init__(self, result):
        self.result, self.calls = result, []

    def astype(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.mark.parametrize("fn", DENSE)
def test_dense_astype_protocol(fn):
    good = Convertible(X.copy())
    assert same(fn(good), fn(X))
    assert good.calls == [(("float64",), {})]
    for bad in (np.arange(3.0), np.zeros((2, 2, 2), np.float32), np.array(1.0), Convertible(np.arange(3.0))):
        raises_exactly(TypeError, PYARRAY.format("ndarray"), lambda: fn(bad))
    # astype's result must itself be a 2-D float64 array; it is named in the error.
    raises_exactly(TypeError, PYARRAY.format("list"), lambda: fn(Convertible([[1.0]])))
    raises_exactly(TypeError, PYARRAY.format("ndarray"), lambda: fn(Convertible(X.astype(np.float32))))
    with pytest.raises(AttributeError, match="astype"):
        fn([[1.0, 2.0], [3.0, 4.0]])
    error = ValueError("cannot cast")
    with pytest.raises(ValueError) as info:
        fn(Convertible(error))
    assert info.value is error


@pytest.mark.parametrize("fn", DENSE)
@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.uint8, np.bool_, np.float16, ">f8", ">f4"])
def test_dense_other_dtypes_are_cast_to_float64(fn, dtype):
    x = (X > 1 if dtype is np.bool_ else X).astype(dtype)
    result = fn(x)
    assert same(result, fn(x.astype(np.float64)))
    assert (result if fn is scale else result[0]).dtype == np.float64


@pytest.mark.parametrize("fn", DENSE)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize(
    "view", ["np.asfortranarray(a)", "a[::-1]", "a[::2]", "a[:, ::-1]", "np.hstack([a, a])[:, 1:3]", "np.ma.array(a, mask=a > 3)"]
)
def test_dense_views_and_subclasses_match_row_major_copy(fn, dtype, view):
    a = np.hstack([X, X[::-1] * 0.5]).astype(dtype)
    v = eval(view, {"np": np, "a": a})
    result = fn(v)
    assert same(result, fn(np.ascontiguousarray(v)))
    if fn is scale:
        assert result.dtype == dtype  # float32 is never widened at intake


@pytest.mark.parametrize("fn", [scale_sparse_data, hvg_seurat_stats_sparse])
def test_sparse_intake(fn):
    for bad in (I.astype(np.int32), I.astype(np.uint64), I.reshape(1, 3), I.astype(np.float64), [0, 1, 1]):
        raises_exactly(TypeError, PYARRAY.format(type(bad).__qualname__), lambda: fn(bad, D, 2, 2))
    for strided in (np.repeat(I, 2)[::2], I[::-1]):
        raises_exactly(TypeError, NOT_CONTIG, lambda: fn(strided, D, 2, 2))
    for bad in (D.reshape(1, 3), D.astype(np.int64), [1.0, 2.0, 3.0], D.astype(">f8"), D.astype(">f4"), D.astype(np.float16)):
        raises_exactly(TypeError, "sparse data must be float32 or float64", lambda: fn(I, bad, 2, 2))
    for dtype in (np.float64, np.float32):
        wide = np.repeat(D, 2).astype(dtype)
        raises_exactly(TypeError, NOT_CONTIG, lambda: fn(I, wide[::2], 2, 2))
        raises_exactly(TypeError, NOT_CONTIG, lambda: fn(I, wide[::-2], 2, 2))


@pytest.mark.parametrize(
    "fn, arrays",
    [
        (scale, [X]), (scale, [X.astype(np.float32)]), (scale, [X.astype(np.int64)]), (scale, [np.asfortranarray(X)]),
        (hvg_seurat_stats, [X.astype(np.float32)[::-1]]), (scale_sparse_data, [I, D.astype(np.float32)]),
        (hvg_seurat_stats_sparse, [I, D]),
    ],
)
def test_read_only_inputs_are_accepted_and_left_unchanged(fn, arrays):
    sizes = (2, 2) if len(arrays) == 2 else ()
    snapshots = [a.copy() for a in arrays]
    expected = fn(*arrays, *sizes)
    frozen = [a.view() for a in arrays]
    for a in frozen:
        a.flags.writeable = False
    assert same(fn(*frozen, *sizes), expected)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(arrays, snapshots))
