"""The worker pool: when it starts, how big it is, the interpreter lock, failures and fork.

The pool size is not exposed, so it is read from outside: the number of
threads of a fresh process (``/proc/self/task``, which also lists native
threads) before and after its first call.
"""

import os

import numpy as np
import pytest

from brenix_kernels import _core
from conftest import run_in_subprocess

NCPU = {len(os.sched_getaffinity(0)), os.cpu_count()}  # either is a fair processor count
OTHER = str(max(NCPU) + 3)  # a RAYON_RS_NUM_CPUS value no processor count can be mistaken for

COUNT = """
import os
import numpy as np
from brenix_kernels import _core
def tasks():
    return len(os.listdir('/proc/self/task'))
before = tasks()
_core.hvg_seurat_stats(np.ones((1, 2)))  # a single chunk still creates the pool
print(tasks() - before)
"""


def new_threads(num_threads, rs_cpus, more_code=""):
    env = {"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": rs_cpus}
    proc = run_in_subprocess(COUNT + more_code, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return [int(line) for line in proc.stdout.split()]


@pytest.mark.parametrize(
    "num_threads, rs_cpus, expected",
    [
        ("3", None, {3}),
        ("+4", OTHER, {4}),
        ("1", OTHER, {1}),
        ("0", OTHER, NCPU),  # 0 means "processor count"; the second variable is not consulted
        ("abc", OTHER, {int(OTHER)}),
        (" 4", OTHER, {int(OTHER)}),
        ("4 ", OTHER, {int(OTHER)}),
        ("-4", OTHER, {int(OTHER)}),
        ("18446744073709551616", OTHER, {int(OTHER)}),  # one above the largest unsigned 64-bit value
        (None, "+2", {2}),
        (None, "0", NCPU),
        (None, None, NCPU),
    ],
)
def test_pool_size_from_environment(num_threads, rs_cpus, expected):
    (started,) = new_threads(num_threads, rs_cpus)
    assert started in expected


def test_pool_size_is_fixed_once_created():
    more = """
os.environ['RAYON_NUM_THREADS'] = '7'
_core.hvg_seurat_stats(np.ones((5000, 3)))
_core.scale_sparse_data(np.zeros(50, np.int64), np.ones(50), 50, 1)
print(tasks() - before)
"""
    assert new_threads("3", None, more) == [3, 3]


def test_import_and_failed_binding_start_no_threads():
    proc = run_in_subprocess(
        """
import os
before = len(os.listdir('/proc/self/task'))
from brenix_kernels import _core
try:
    _core.scale()
except TypeError:
    pass
print(len(os.listdir('/proc/self/task')) - before)
"""
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "0\n"


@pytest.mark.parametrize("threads", ["1", "2", "4"])
def test_first_parallel_pass_of_a_process_completes(threads):
    # The very first pass runs right after the workers were started.
    proc = run_in_subprocess(
        """
import numpy as np
from brenix_kernels import _core
values, mean, std = _core.scale_sparse_data(np.array([0, 1, 1]), np.array([1.0, 2.0, 3.0]), 2, 2)
print(values.tolist(), mean.tolist(), std.tolist())
""",
        env={"RAYON_NUM_THREADS": threads},
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    s = 0.5**0.5
    assert proc.stdout == f"{[1 / s, 2 / s, 3 / s]} {[0.5, 2.5]} {[s, s]}\n"


@pytest.mark.parametrize("fn", [_core.hvg_seurat_stats_sparse, _core.scale_sparse_data])
def test_failure_of_the_lowest_chunk_is_reported(fn):
    # Entries are summed in chunks of 1,000,000; both chunk 1 (its last entry)
    # and chunk 2 (its first) hold a bad column, and chunk 2 fails first in time.
    indices = np.zeros(3_000_000, dtype=np.int64)
    data = np.ones(indices.size)
    indices[1_999_999], indices[2_000_000] = 1000, 1001
    with pytest.raises(BaseException) as info:
        fn(indices, data, 10, 10)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("index out of bounds: the len is 10 but the index is 1000",)
    indices[[1_999_999, 2_000_000]] = 3
    assert fn(indices, data, 10, 10)[1].shape == (10,)  # the pool serves the next pass


def test_other_python_threads_wait_while_a_call_runs():
    # The spinning thread sees the input's reference count raised exactly while
    # the main thread is inside the call (the argument sits on its stack). If a
    # call let go of the interpreter lock, the spinner would run in that window.
    proc = run_in_subprocess(
        """
import sys, threading
import numpy as np
from brenix_kernels import _core
box = [np.random.default_rng(0).random((20000, 100))]
_core.hvg_seurat_stats(box[0])
base = sys.getrefcount(box[0])
state = {"stop": False, "during": 0, "total": 0}
ready = threading.Event()
def spin():
    ready.set()
    while not state["stop"]:
        state["total"] += 1
        if sys.getrefcount(box[0]) > base:
            state["during"] += 1
thread = threading.Thread(target=spin)
thread.start()
ready.wait()
for _ in range(5):
    _core.hvg_seurat_stats(box[0])
    _core.scale(box[0])
state["stop"] = True
thread.join()
print(state["during"], state["total"] > 0)
""",
        env={"RAYON_NUM_THREADS": "2"},
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "0 True\n"


def test_forked_child_gets_a_working_pool():
    proc = run_in_subprocess(
        """
import os, signal, sys, time
import numpy as np
from brenix_kernels import _core
x = np.random.default_rng(3).random((5000, 50))  # three chunks: the pool is used
expected = _core.hvg_seurat_stats(x)
pid = os.fork()
if pid == 0:
    try:
        got = _core.hvg_seurat_stats(x)
        os._exit(0 if all(np.array_equal(a, b, equal_nan=True) for a, b in zip(got, expected)) else 3)
    except BaseException:
        os._exit(4)
deadline = time.monotonic() + 60  # a safety net against a hung child, not a measurement
while (status := os.waitpid(pid, os.WNOHANG))[0] == 0:
    if time.monotonic() > deadline:
        os.kill(pid, signal.SIGKILL)
        sys.exit('child hung')
    time.sleep(0.05)
assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(_core.hvg_seurat_stats(x), expected))
print(os.waitstatus_to_exitcode(status[1]))
""",
        env={"RAYON_NUM_THREADS": "4"},
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "0\n"
