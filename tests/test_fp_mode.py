"""Results are those of IEEE defaults whatever flush-to-zero or rounding mode the caller's thread is in, whether that
mode was set before the worker pool started (workers inherit it) or after; and the caller gets its own mode back on
every path."""

import json
import platform

import pytest

from conftest import run_py

pytestmark = pytest.mark.skipif(
    platform.system() != "Linux" or platform.machine() not in ("x86_64", "aarch64"),
    reason="reads and writes the glibc floating-point environment of x86-64 or aarch64",
)

# glibc's fenv_t: on x86-64 the x87 environment (28 bytes) then MXCSR, where FTZ is bit 15 and DAZ bit 6 (and the
# rounding mode bits 13-14); on aarch64 {fpcr, fpsr}, where FZ (flush inputs and outputs) is FPCR bit 24. FE_UPWARD is
# glibc's value for each.
PROGRAM = r"""
import ctypes, ctypes.util, hashlib, json, platform, sys
import numpy as np
from brenix_kernels import _core as C

libm = ctypes.CDLL(ctypes.util.find_library("m"))
# The mode bits only: x86-64 keeps the exception flags in MXCSR too (bits 0 to 5), which any arithmetic may set.
OFFSET, FLUSH, MODE, UPWARD = ((28, 0x8040, 0xFFC0, 0x800) if platform.machine() == "x86_64"
                               else (0, 1 << 24, 0xFFFFFFFF, 0x400000))
env = ctypes.create_string_buffer(64)

def control():
    assert libm.fegetenv(env) == 0
    return int.from_bytes(env.raw[OFFSET:OFFSET + 4], "little") & MODE

def set_flush():
    assert libm.fegetenv(env) == 0
    word = int.from_bytes(env.raw[OFFSET:OFFSET + 4], "little") | FLUSH
    env[OFFSET:OFFSET + 4] = word.to_bytes(4, "little")
    assert libm.fesetenv(env) == 0 and control() & FLUSH == FLUSH

def set_upward():
    assert libm.fesetround(UPWARD) == 0 and libm.fegetround() == UPWARD

rng = np.random.default_rng(11)
# Values near 1e-155 have subnormal squares; the last columns are subnormal themselves. 5000 rows: three chunks.
x = rng.uniform(0.0, 1.0, (5000, 12)) * np.r_[[1e-155] * 8, [1e-310] * 4]
x[rng.random(x.shape) < 0.3] = 0.0
indices = rng.integers(0, 12, 2_500_000)  # three chunks of stored entries
data = rng.uniform(0.0, 1.0, indices.size) * np.where(indices < 8, 1e-155, 1e-310)
bad = indices.copy()
bad[1_700_000] = 12
calls = [lambda: C.scale(x, return_mean_std=True), lambda: C.scale(x[:7], zero_center=False),  # one chunk: inline
         lambda: C.hvg_seurat_stats(x), lambda: C.hvg_seurat_stats_sparse(indices, data, 5000, 12),
         lambda: C.scale_sparse_data(indices, data, 5000, 12)]
failing = [lambda: C.scale_sparse_data(bad, data, 5000, 12), lambda: C.scale(x, bogus=1)]

if sys.argv[1].endswith("after"):
    C.scale(x)  # the pool starts under the default mode
if sys.argv[1] in ("before", "after"):
    set_flush()
elif sys.argv[1].startswith("upward"):
    set_upward()
expected = control()
digest, subnormal, kept = hashlib.sha256(), 0, []
for call in calls:
    for part in call():
        digest.update(part.tobytes())
        magnitude = part.view(np.uint64) << np.uint64(1)  # by the bits: DAZ makes NumPy see subnormals as zeros
        subnormal += int(np.count_nonzero((magnitude != 0) & (magnitude < np.uint64(1 << 53))))
    kept.append(control() == expected)
for call in failing:
    try:
        call()
    except BaseException as error:
        kept.append((type(error).__name__, control() == expected))
print(json.dumps([digest.hexdigest(), subnormal, kept]))
"""


def test_results_and_caller_mode_do_not_depend_on_flush_to_zero_or_rounding():
    runs = {}
    for when in ("clean", "before", "after", "upward", "upward-after"):
        child = run_py(f"import sys; sys.argv[1:] = [{when!r}]\n" + PROGRAM, env={"RAYON_NUM_THREADS": "2"})
        assert child.returncode == 0, child.stderr
        runs[when] = json.loads(child.stdout)
    digest, subnormal, kept = runs["clean"]
    assert subnormal > 1000  # the data do reach the range that flushing changes
    assert kept == [True] * 5 + [["PanicException", True], ["TypeError", True]]
    assert all(run == runs["clean"] for run in runs.values()), runs
