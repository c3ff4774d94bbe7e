"""The sums of each chunk of a call are folded into its totals as chunks finish, so the memory a call needs does not
grow with the number of chunks: a few chunk sums per thread, whatever the size of the input."""

import os

import pytest

from conftest import run_py

PROGRAM = r"""
import numpy as np
from brenix_kernels import _core as C

def kib(key):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(key + ":"))

cols = 1 << 19  # one record (sums and sums of squares) is 8 MiB
indices = np.arange(30_000_000, dtype=np.int64) * 7919 % cols  # 30 chunks, each touching every column
data = np.ones(indices.size, dtype=np.float32)
C.hvg_seurat_stats_sparse(indices[:5], data[:5], 9, cols)  # the pool and everything loaded once are there before
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak resident size starts again from the current one
before = kib("VmRSS")
means, dispersions = C.hvg_seurat_stats_sparse(indices, data, 100_000, cols)
print((kib("VmHWM") - before) / 1024)
"""


@pytest.mark.slow
@pytest.mark.skipif(not os.access("/proc/self/clear_refs", os.W_OK), reason="needs Linux and /proc/self/clear_refs")
@pytest.mark.skipif(os.environ.get("BRENIX_UNDER_SANITIZER") == "1", reason="ASan keeps freed memory in quarantine")
def test_peak_memory_of_a_call_with_many_chunks():
    # Four threads: at most a few chunk sums each may be alive at once, where all 30 were before (248 MiB).
    child = run_py(PROGRAM, env={"RAYON_NUM_THREADS": "4"})
    assert child.returncode == 0, child.stderr
    assert float(child.stdout) < 100  # MiB above the inputs, for 8 MiB of results
