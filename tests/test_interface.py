"""The module's surface: import, function table, binding, conversions, array intake and result arrays."""

import ast
import ctypes
import importlib
import inspect
import itertools
import sys
from pathlib import Path

import numpy as np
import pytest

from brenix_kernels import _core
from brenix_kernels._core import hvg_seurat_stats, hvg_seurat_stats_sparse, scale, scale_sparse_data  # noqa: F401
from conftest import INDEX_MSG, Convertible, assert_same, panic, run_py

X = np.array([[0.0, 1.0], [0.0, 2.0], [0.0, 4.0], [0.0, 8.0], [10.0, 1.0]])
I, D, D32 = np.array([0, 1, 1]), np.array([1.1, 2.3, 3.7]), np.array([1.1, 2.3, 3.7], np.float32)
PYARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"
NOT_CONTIG, NOT_FLOAT = "The given array is not contiguous", "sparse data must be float32 or float64"


def run(call, **names):  # calls are written as source text, as a user would write them
    return eval(call, globals(), names)


def raises(exc_type, message, call, **names):
    with pytest.raises(BaseException) as info:
        run(call, **names)
    assert type(info.value) is exc_type and message in (None, str(info.value)), repr(info.value)
    return info.value


def test_a_second_import_runs_the_entry_point_again(monkeypatch):
    monkeypatch.delitem(sys.modules, "brenix_kernels._core")
    assert importlib.import_module("brenix_kernels._core") is _core


STUBS = sorted({"_core", "_arrays", "_blocks"} | {p.stem for p in Path(_core.__file__).parent.glob("*.pyi")})


@pytest.mark.parametrize("name", STUBS)
def test_type_stub_agrees_with_the_text_signatures(name):
    """The stub names the module's public functions, and every definition of one (each overload) has the parameters
    of its text signature, in the same order, positional or keyword-only alike, and any default it states is the
    function's."""
    module = importlib.import_module(f"brenix_kernels.{name}")
    path = Path(_core.__file__).parent / f"{name}.pyi"
    defs = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            defs.setdefault(node.name, []).append(node.args)
        elif isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            assert ast.literal_eval(node.value) == module.__all__
    assert set(defs) == set(module.__all__) == {n for n in dir(module) if not n.startswith("_")}
    keyword_only = inspect.Parameter.KEYWORD_ONLY
    for fn, overloads in defs.items():
        runtime = inspect.signature(getattr(module, fn)).parameters
        for args in overloads:
            positional = args.posonlyargs + args.args
            stated = [(a.arg, False) for a in positional] + [(a.arg, True) for a in args.kwonlyargs]
            assert stated == [(p.name, p.kind == keyword_only) for p in runtime.values()], fn
            defaults = dict(zip([a.arg for a in positional][len(positional) - len(args.defaults):], args.defaults))
            defaults.update({a.arg: d for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None})
            for arg, default in defaults.items():
                assert ast.literal_eval(default) == runtime[arg].default, (fn, arg)


def test_fresh_process_import_panic_results_and_sub_interpreter():
    child = run_py("""
import gc, os, sys, _interpreters
tasks = lambda: len(os.listdir('/proc/self/task'))
before = tasks()
from brenix_kernels import _core
try:
    _core.scale()
except TypeError:
    print('numpy' in sys.modules, tasks() - before)  # import and binding load no NumPy, start no threads
import numpy as np
try:
    try:
        _core.scale(np.zeros((4, 0)))
    except Exception:
        print('caught as Exception')
except BaseException as exc:
    print(type(exc).__name__, type(exc).__bases__ == (BaseException,), exc.args)
print(_core.scale(np.array([[1.0], [3.0]])).ravel().tolist())  # creates the owner type: no warning
full = _core.scale(np.random.default_rng(1).random((300, 64)))  # 150 KiB: freed memory would be unmapped
part, expected = full[1::3, 5:40], full[1::3, 5:40].copy()
del full
gc.collect()
churn = [_core.scale(np.full((300, 64), k)) for k in range(4)]
print(np.array_equal(part, expected))  # the slice kept the buffer alive
interp = _interpreters.create('legacy')  # 'legacy' allows single-phase init
print(_interpreters.exec(interp, 'import brenix_kernels._core'))
_interpreters.destroy(interp)  # one left at exit is a warning (an error here) from 3.14 on
""", env={"PYTHONWARNINGS": "error"})
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[:4] == ["False 0", "PanicException True ('chunk_size must not be zero',)",
                         "[-0.7071067811865475, 0.7071067811865475]", "True"]
    assert "ImportError" in lines[4] and "interpreter" in lines[4].lower()
    assert "chunk_size must not be zero" in child.stderr  # the diagnostic


@pytest.mark.parametrize("call, message", [
    ("scale(np.zeros((3, 0), np.float32))", "chunk_size must not be zero"),
    ("hvg_seurat_stats(np.zeros((5, 0), int))", "chunk_size must not be zero"),
    ("scale_sparse_data(np.array([0, 3, 1, 7]), D32[[0, 0, 1, 2]], 5, 3)", INDEX_MSG.format(3, 3)),
    ("hvg_seurat_stats_sparse(np.array([0, -1, 9]), D, 3, 5)", INDEX_MSG.format(5, 2**64 - 1)),
    ("scale_sparse_data(I[:2], D, 3, 5)", INDEX_MSG.format(2, 2)),
    ("hvg_seurat_stats_sparse(I, D32, 3, 0)", INDEX_MSG.format(0, 0)),
])
def test_internal_failures(call, message):
    assert (exc := panic(lambda: run(call))).args == (message,)
    assert type(panic(scale, np.zeros((1, 0)))) is type(exc) and scale(X).shape == X.shape  # one class; still usable


@pytest.mark.parametrize("call, exc_type, message", [
    ("scale(X, True)", TypeError, "scale() takes 1 positional arguments but 2 were given"),
    ("scale(X, x=X)", TypeError, "scale() got multiple values for argument 'x'"),
    ("hvg_seurat_stats_sparse(data=D, promote=1)", TypeError,
     "hvg_seurat_stats_sparse() got an unexpected keyword argument 'promote'"),
    ("hvg_seurat_stats(log_base=2.0)", TypeError, "hvg_seurat_stats() missing 1 required positional argument: 'x'"),
    ("scale_sparse_data(I, D)", TypeError,
     "scale_sparse_data() missing 2 required positional arguments: 'n_rows' and 'n_cols'"),
    ("scale_sparse_data()", TypeError,
     "scale_sparse_data() missing 4 required positional arguments: 'indices', 'data', 'n_rows', and 'n_cols'"),
    # order: sizes, then the scalar options in signature order, then indices, then data, then the kernel
    ("scale_sparse_data('a', 'b', 1.5, -1, promote=1)", TypeError,
     "argument 'n_rows': 'float' object cannot be interpreted as an integer"),
    ("scale_sparse_data('a', 'b', 2, -1, max_value='m')", OverflowError, None),
    ("hvg_seurat_stats_sparse('a', 'b', 2, 2, log_base='m', square_f64=1)", TypeError,
     "argument 'log_base': must be real number, not str"),
    ("scale([[1.0]], zero_center=1, max_value='m', return_mean_std=1)", TypeError,
     "argument 'zero_center': 'int' object cannot be converted to 'PyBool'"),
])
def test_binding_errors_and_check_order(call, exc_type, message):
    raises(exc_type, message, call)


class Name(str):
    pass


@pytest.mark.parametrize("fn, args, name", [
    (scale, (), "x\x00junk"),  # a name is all of its characters, not its text up to a NUL
    (scale, (X,), "x\x00"),
    (scale, (X,), "max_value\x00"),
    (hvg_seurat_stats_sparse, (I, D, 2, 2), "square_f64\x00"),
    (scale, (X,), "\udc80"),  # a lone surrogate has no UTF-8 form: it is compared, not encoded
    (hvg_seurat_stats, (X,), "log_base\udc80"),
    (scale_sparse_data, (I, D, 2), "n_cols\udc80\x00"),
    (scale, (X,), Name("x\x00")),
])
def test_unexpected_keyword_names(fn, args, name):
    with pytest.raises(BaseException) as info:
        fn(*args, **{name: X})
    assert type(info.value) is TypeError, repr(info.value)
    assert str(info.value) == f"{fn.__name__}() got an unexpected keyword argument '{name}'"


def test_keyword_names_from_c_callers():
    assert_same(scale(**{Name("x"): X}, **{Name("max_value"): 0.5}), scale(X, max_value=0.5))  # str subclasses bind
    # A caller in C can put anything in the names of a vectorcall; the interpreter refuses what is not a str.
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                                        ctypes.py_object]
    for kwnames in [(1,), (b"x",), ("max_value", None)]:
        values = (ctypes.py_object * 3)(X, *[0.5] * len(kwnames))
        raises(TypeError, "scale() keywords must be strings", "vectorcall(scale, values, 1, kwnames)",
               vectorcall=api.PyObject_Vectorcall, values=values, kwnames=kwnames)


@pytest.mark.parametrize("fn, args", [(scale, (X,)), (hvg_seurat_stats, (X.astype("f4"),)),
                                      (scale_sparse_data, (I, D32, 3, 2)), (hvg_seurat_stats_sparse, (I, D32, 3, 2))])
def test_defaults_are_the_advertised_ones(fn, args):
    # What a call leaves out takes the default its text signature shows; every argument binds by name, in any order.
    parameters = inspect.signature(fn).parameters
    given = dict(zip(parameters, args)) | {n: p.default for n, p in parameters.items() if p.default is not p.empty}
    assert_same(fn(**dict(reversed(given.items()))), fn(*args))


@pytest.mark.parametrize("call", ["scale(X, zero_center=v)", "scale(X, return_mean_std=v)",
                                  "scale_sparse_data(I, D32, 2, 2, promote=v)",
                                  "hvg_seurat_stats_sparse(I, D32, 2, 2, square_f64=v)"])
def test_flags(call):
    name = call.split(", ")[-1].split("=")[0]
    for value in (True, False):  # NumPy booleans count as their value; the two values differ
        assert_same(run(call, v=np.bool_(value)), run(call, v=value))
    with pytest.raises(AssertionError):
        assert_same(run(call, v=True), run(call, v=False))
    raises(TypeError, f"argument '{name}': 'int' object cannot be converted to 'PyBool'", call, v=1)  # test_hostile: more


class Floaty:
    def __init__(self, error, cause):
        self.error, self.cause = error, cause

    def __float__(self):
        raise self.error from self.cause


@pytest.mark.parametrize("call", ["scale(X, max_value=v)", "scale_sparse_data(I, D, 2, 2, max_value=v)",
                                  "hvg_seurat_stats(X, log_base=v)", "hvg_seurat_stats_sparse(I, D, 2, 2, log_base=v)"])
def test_optional_double(call):
    name = call.split(", ")[-1].split("=")[0]
    assert_same(run(call, v=None), run(call.replace(f", {name}=v", "")))
    for given, value in [(3, 3.0), (np.float32(1), 1.0), (np.int64(1), 1.0), (True, 1.0), (-1, -1.0)]:
        assert_same(run(call, v=given), run(call, v=value))
    raises(TypeError, f"argument '{name}': must be real number, not str", call, v="2")
    raises(OverflowError, "int too large to convert to float", call, v=10**400)  # not relabelled
    error, root = ValueError("no float here"), KeyError("root")
    assert raises(ValueError, None, call, v=Floaty(error, root)) is error  # other exception types pass untouched
    relabelled = raises(TypeError, f"argument '{name}': not today", call, v=Floaty(TypeError("not today"), root))
    assert relabelled.__cause__ is root


@pytest.mark.parametrize("call, name", [
    ("scale_sparse_data(I, D, n_rows=v, n_cols=2)", "n_rows"), ("scale_sparse_data(I, D, 2, v)", "n_cols"),
    ("hvg_seurat_stats_sparse(I, D, v, 2)", "n_rows"), ("hvg_seurat_stats_sparse(I, D, 2, n_cols=v)", "n_cols")])
def test_sizes(call, name):
    assert_same(run(call, v=np.int64(2)), run(call, v=2))
    if name == "n_rows":
        assert_same(run(call, v=True), run(call, v=1))
    assert name not in str(raises(OverflowError, None, call, v=-1))  # not relabelled
    raises(TypeError, f"argument '{name}': 'float' object cannot be interpreted as an integer", call, v=10.0)


@pytest.mark.parametrize("fn", [scale, hvg_seurat_stats])
def test_dense_intake(fn):
    good = Convertible(X.copy())
    assert_same(fn(good), fn(x=X))  # x may be given by keyword
    assert good.last_call == (("float64",), {})
    for bad in (X[0], np.zeros((2, 2, 2), np.float32), np.array(1.0), Convertible(X[0]), Convertible(X.astype("f4"))):
        raises(TypeError, PYARRAY.format("ndarray"), "fn(bad)", fn=fn, bad=bad)
    raises(TypeError, PYARRAY.format("list"), "fn(Convertible([[1.0]]))", fn=fn)
    raises(AttributeError, "'list' object has no attribute 'astype'", "fn([[1.0, 2.0]])", fn=fn)
    raises(ValueError, "cannot cast", "fn(Convertible(ValueError('cannot cast')))", fn=fn)  # passed on unchanged
    frozen = np.frombuffer(X.astype("f4").tobytes(), "f4").reshape(X.shape)  # read-only: accepted and left alone
    # byte-swapped and half-precision arrays go through astype("float64"); subclasses are read as arrays
    for other, plain in [(X.astype(">f8"), X), (X.astype(">f4"), X.astype("f4").astype("f8")), (frozen, X.astype("f4")),
                         (X.astype("f2"), X.astype("f2").astype("f8")), (np.ma.array(X, mask=X > 3), X),
                         (X.view(type("Sub", (np.ndarray,), {})), X)]:
        assert_same(fn(other), fn(plain))
    assert_same(frozen, X.astype(np.float32))


@pytest.mark.parametrize("fn", [scale_sparse_data, hvg_seurat_stats_sparse])
def test_sparse_intake(fn):
    for indices, data, message in [
            (I.astype(np.int32), D, PYARRAY.format("ndarray")), (I.astype(">i8"), D, PYARRAY.format("ndarray")),
            (I.reshape(1, 3), D, PYARRAY.format("ndarray")), ([0, 1, 1], D, PYARRAY.format("list")),
            (np.repeat(I, 2)[::2], D, NOT_CONTIG), (I, D.reshape(1, 3), NOT_FLOAT), (I, I, NOT_FLOAT), (I, [1.0], NOT_FLOAT),
            (I, D.astype(">f8"), NOT_FLOAT), (I, D.astype(np.float16), NOT_FLOAT), (I, np.repeat(D32, 2)[::-2], NOT_CONTIG)]:
        raises(TypeError, message, "fn(indices, data, 2, 2)", fn=fn, indices=indices, data=data)
    frozen = [np.frombuffer(a.tobytes(), a.dtype) for a in (I, D32)]  # read-only
    assert_same(fn(*frozen, 2, 2), fn(n_cols=2, data=D32, indices=I, n_rows=2))  # by keyword too
    assert_same(fn(I.view(type("Sub", (np.ndarray,), {})), np.ma.array(D32, mask=[1, 0, 1]), 2, 2), fn(I, D32, 2, 2))
    assert_same(frozen[1], D32)


C32 = np.full((3, 4), 2.5, np.float32)  # constant columns: std 1.0, the values come back unchanged


@pytest.mark.parametrize("call", ["scale(X)", "scale(C32, zero_center=False)", "hvg_seurat_stats(X.astype('f4'))",
                                  "scale(X.astype('f4'), zero_center=False, return_mean_std=True)",
                                  "scale_sparse_data(I, D32, 6, 2)", "scale_sparse_data(I, D32, 6, 2, promote=True)",
                                  "scale(np.zeros((0, 3), np.float32))", "scale_sparse_data(I[:0], D32[:0], 3, 2)",
                                  "hvg_seurat_stats_sparse(I[:0], D[:0], 3, 0)"])
def test_result_arrays(call):
    """New, writable, native, aligned, C-contiguous arrays, sharing memory with no input and no other result (their
    dtypes and shapes are those of the reference in test_exact)."""
    result = run(call)
    arrays = list(result) if isinstance(result, tuple) else [result]
    for a in arrays:
        assert type(a) is np.ndarray and a.dtype.isnative and a.flags.writeable and a.flags.c_contiguous and a.flags.aligned
    for a, b in itertools.product(arrays, [X, I, D, D32, C32] + arrays):
        assert a is b or not np.shares_memory(a, b)
