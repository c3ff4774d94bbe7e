"""Every instruction-set variant this build has and this processor runs computes the same bits, and is run: each child
process says which variant it used, and the test fails when one that this machine supports was not exercised (the
portable-only build and the other compilers are compared by `make test` through the same digests)."""

import json
import os
import platform

import pytest

from conftest import VARIANT_NAMES, run_py, supported_variants, variants_ran

DIGESTS = open(os.path.join(os.path.dirname(__file__), "digests.py")).read()
REPORT = "from brenix_kernels import _arrays; print(_arrays.paths()['isa'])\n"


@pytest.mark.slow
def test_instruction_set_variants_agree():
    runs = {}
    for cap in VARIANT_NAMES:
        child = run_py(REPORT + DIGESTS, env={"BRENIX_MAX_ISA": cap})
        assert child.returncode == 0, child.stderr
        variant, digests = child.stdout.split("\n", 1)
        runs.setdefault(variant, set()).add(digests)
    variants_ran.update(runs)
    lines = next(iter(runs["portable"])).splitlines()
    assert lines[0].startswith("platform: ") and len(lines) == 11  # the platform, then ten digests
    assert all(r == runs["portable"] for r in runs.values()), runs
    assert set(runs) == supported_variants(), f"ran {sorted(runs)}, this machine runs {sorted(supported_variants())}"


ORDER = ["portable", "avx2", "avx512"]
CHILD = "import json; from brenix_kernels import _arrays; print(json.dumps(_arrays.paths()))"


def paths(**env):
    clean = {"BRENIX_MAX_ISA": None, "BRENIX_VECTOR_EXPM1": None, "BRENIX_VECTOR_EXPM1F": None, **env}
    child = run_py(CHILD, env=clean)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout)


def cpu_flags():
    """The x86-64 feature flags the kernel reports (it leaves out what the OS does not save), or None."""
    if platform.machine() != "x86_64":
        return None
    with open("/proc/cpuinfo") as cpuinfo:
        return next(set(line.split(":", 1)[1].split()) for line in cpuinfo if line.startswith("flags"))


def best_isa(flags):
    if flags is None:
        return "portable"
    if {"avx512f", "avx512vl", "avx512bw", "avx512dq", "avx2", "popcnt"} <= flags:
        return "avx512"
    return "avx2" if {"avx2", "popcnt"} <= flags else "portable"


def test_chosen_paths_are_the_best_this_cpu_runs():
    """A build whose feature test fails silently still computes the right bits, only slower: this is the
    test that notices. The paths are printed (pytest -s, or on failure)."""
    flags = cpu_flags()
    chosen = paths()
    print(f"paths: {chosen}; cpu: {best_isa(flags)}, fma: {flags is not None and 'fma' in flags}")
    best = best_isa(flags) if len(chosen["built"]) > 1 else "portable"
    assert chosen["isa"] == best
    fma_ok = flags is None or "fma" in flags or chosen["isa"] == "avx512"
    assert chosen["expm1_isa"] == (best if fma_ok else "portable")
    if flags is not None and platform.libc_ver()[0] == "glibc" and chosen["expm1_isa"] != "portable":
        # The vector kernels are transcriptions of this C library's algorithms.
        assert chosen["expm1"] == "vector" and chosen["expm1f"] != "library"
    for cap in ORDER:
        capped = paths(BRENIX_MAX_ISA=cap)["isa"]
        assert capped == min(best, cap, key=ORDER.index), cap
    off = paths(BRENIX_VECTOR_EXPM1="off", BRENIX_VECTOR_EXPM1F="off")
    assert off == chosen | {"expm1": "library", "expm1f": "library"}
