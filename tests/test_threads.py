"""The thread limit: how many of the pool's workers a call uses (brenix_kernels.threads, set_num_threads,
get_num_threads and threadpoolctl's controller). Results never depend on it, so the workers' CPU time is what shows
that it holds; bits are compared across limits, also while another thread changes the limit."""

import importlib.util
import json

import numpy as np
import pytest

import brenix_kernels as bk
from conftest import WORKER_TICKS, run_py

BUSY_PER_CALL = WORKER_TICKS + r"""
import json, time
import numpy as np
import brenix_kernels as bk
from brenix_kernels import _core

def busy_in_one_call():
    # A worker that works on the call's chunks runs for many clock ticks, while one that only wakes, finds the
    # pass full and sleeps again may be charged the odd tick that falls meanwhile.
    start = worker_ticks()
    _core.hvg_seurat_stats(x)
    return sum(ticks >= start.get(name, 0) + 3 for name, ticks in worker_ticks().items())

x = np.random.default_rng(0).random((64 * 2048, 64))  # 64 chunks
_core.scale(x[:10])  # starts the pool
deadline, unlimited = time.monotonic() + 20, 0
while unlimited < 2 and time.monotonic() < deadline:  # the measure can see more than one worker at work
    unlimited = busy_in_one_call()
limited = {}
limits = [("threads(1)", lambda: bk.threads(1)), ("threads(2)", lambda: bk.threads(2))]
try:  # an optional dependency: the roots and the wheels' venvs run without it
    import threadpoolctl
    limits += [("threadpool_limits(1)", lambda: threadpoolctl.threadpool_limits(1)),
               ("threadpool_limits(1, user_api)",
                lambda: threadpoolctl.threadpool_limits(1, user_api="brenix_kernels"))]
except ImportError:
    pass
for name, limit in limits:
    with limit():
        limited[name] = [busy_in_one_call() for _ in range(4)]
print(json.dumps([unlimited, bk.get_num_threads(), limited]))
"""


@pytest.mark.slow
def test_the_limit_caps_the_workers_that_run_a_call():
    """With a pool of three, one call's chunks run on two workers or more (a busy machine may keep one from it for a
    while); under a limit of one, set by threads() or by threadpoolctl, every call runs on one worker, and under a
    limit of two on at most two. A worker counts as busy when its CPU time grew by three clock ticks or more: a
    worker that only woke and slept again does not show."""
    # The C library's expm1 makes each call long: a working worker runs for many clock ticks.
    child = run_py(BUSY_PER_CALL, env={"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": None,
                                       "BRENIX_VECTOR_EXPM1": "off"}, timeout=90)
    assert child.returncode == 0, child.stderr
    unlimited, after, limited = json.loads(child.stdout)
    assert unlimited >= 2 and after == 3, child.stdout
    for name, calls in limited.items():
        assert max(calls) <= (2 if name == "threads(2)" else 1) and sum(calls) >= 1, limited


BITS = r"""
import hashlib, json, sys, threading
import numpy as np
import scipy.sparse as sp
import brenix_kernels as bk

rng = np.random.default_rng(7)
x = np.log1p(rng.poisson(0.7, (5000, 70)) * rng.uniform(0.5, 3.0, (5000, 1)))  # several chunks
csr, groups = sp.csr_matrix(x.astype(np.float32)), rng.integers(-1, 5, 5000)
calls = [lambda: bk.hvg_seurat_stats(x), lambda: bk.mean_var(csr, groups=groups),
         lambda: bk.scale(csr, max_value=2.0)]
digest = lambda: [hashlib.sha256(b"".join(a.tobytes() for a in c())).hexdigest() for c in calls]
out = {"all": digest()}
for n in (1, 2, 3):
    with bk.threads(n):
        out[str(n)] = digest()
stop = threading.Event()
def change():  # another Python thread changes the limit while the calls run
    for i in range(10**9):
        if stop.is_set():
            break
        bk.set_num_threads(1 + i % 4)
changer, switch = threading.Thread(target=change), sys.getswitchinterval()
sys.setswitchinterval(1e-6)
changer.start()
try:
    out["changing"] = [digest() for _ in range(3)]
finally:
    stop.set()
    changer.join()
    sys.setswitchinterval(switch)
print(json.dumps(out))
"""


def test_results_are_the_same_bits_whatever_the_limit():
    """An ungrouped dense call, a grouped sparse one and a sparse scaling under limits 1, 2 and 3 of a pool of four,
    and while another thread keeps changing the limit, give the bits of the unlimited pool."""
    child = run_py(BITS, env={"RAYON_NUM_THREADS": "4", "RAYON_RS_NUM_CPUS": None}, timeout=120)
    assert child.returncode == 0, child.stderr
    out = json.loads(child.stdout)
    changing = out.pop("changing")
    assert all(digests == out["all"] for digests in [*out.values(), *changing]), out


def test_threads_sets_and_restores_the_limit():
    size = bk.get_num_threads()  # no limit is set: the pool's size
    with bk.threads(1) as n:
        assert n == bk.get_num_threads() == 1
        with bk.threads(np.int64(10**6)) as inner:  # above the pool's size: all of it
            assert inner == bk.get_num_threads() == size
        assert bk.get_num_threads() == 1
    assert bk.get_num_threads() == size
    with pytest.raises(KeyError):
        with bk.threads(1):
            raise KeyError("inside")
    assert bk.get_num_threads() == size


@pytest.mark.parametrize("n, error", [(0, ValueError), (-2, ValueError), (2.0, TypeError), ("2", TypeError),
                                      (None, TypeError), (True, TypeError), (np.float64(1), TypeError)])
def test_bad_thread_counts_are_refused(n, error):
    size = bk.get_num_threads()
    for call in (bk.threads, bk.set_num_threads):
        with pytest.raises(error, match="number of threads"):
            call(n)
    assert bk.get_num_threads() == size


@pytest.mark.skipif(importlib.util.find_spec("threadpoolctl") is None, reason="threadpoolctl is not installed")
@pytest.mark.parametrize("order", ["brenix_kernels first", "threadpoolctl first"])
def test_threadpoolctl_lists_the_pool_and_loads_nothing_before_it_is_imported(order):
    """Imported first, the package neither imports threadpoolctl nor loads its extension (nor NumPy); either way,
    once both are imported threadpoolctl lists the pool, limits it and restores it."""
    child = run_py(f"""
import json, os, sys
if {order == "threadpoolctl first"}:
    import threadpoolctl
import brenix_kernels as bk
loaded = sorted({{"threadpoolctl", "brenix_kernels._arrays", "numpy"}} & set(sys.modules))
import threadpoolctl
from brenix_kernels import _core
ours = [i for i in threadpoolctl.threadpool_info() if i["user_api"] == "brenix_kernels"]
with threadpoolctl.threadpool_limits(1):
    inside = bk.get_num_threads()
print(json.dumps([loaded, ours, os.path.realpath(_core.__file__), inside, bk.get_num_threads()]))
""", env={"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": None})
    assert child.returncode == 0, child.stderr
    loaded, ours, core_file, inside, after = json.loads(child.stdout)
    assert loaded == (["brenix_kernels._arrays", "threadpoolctl"] if order == "threadpoolctl first" else [])
    assert [(i["internal_api"], i["num_threads"], i["filepath"], i["version"]) for i in ours] == [
        ("brenix", 3, core_file, bk.__version__)]
    assert (inside, after) == (1, 3)
