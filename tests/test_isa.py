"""The paths a process takes (instruction-set variant, vector or C library expm1 and expm1f) are the best this
processor and C library allow, and every one this build has and this processor runs computes the same bits: each
child process, under a cap or with the vector kernels off, says which paths it took and prints the digests of
digests.py's workload and of test_expm1_paths' special lanes. The test fails when a variant this machine supports was
not exercised (the portable-only build and the other compilers are compared by `make test` through the digests)."""

import ctypes
import ctypes.util
import json
import math
import os
import platform

import numpy as np
import pytest

from conftest import run_py, variants_ran

ORDER = ["portable", "avx2", "avx512"]
CHILD = """import json, os, digests, test_expm1_paths
from conftest import paths
print(json.dumps(paths()))
print(test_expm1_paths.digest())
if os.environ.get("BRENIX_UNDER_EMULATION") != "1":  # a large workload: the native builds compare it
    digests.main()
"""
ENVS = {"default": {}, **{cap: {"BRENIX_MAX_ISA": cap} for cap in ORDER},
        "off": {"BRENIX_VECTOR_EXPM1": "off", "BRENIX_VECTOR_EXPM1F": "off"}}


@pytest.fixture(scope="module")
def runs():
    tests = os.path.dirname(__file__)
    out = {}
    for name, env in ENVS.items():
        clean = {"BRENIX_MAX_ISA": None, "BRENIX_VECTOR_EXPM1": None, "BRENIX_VECTOR_EXPM1F": None, **env,
                 "PYTHONPATH": os.pathsep.join(filter(None, [tests, os.environ.get("PYTHONPATH")]))}
        child = run_py(CHILD, env=clean)
        assert child.returncode == 0, child.stderr
        chosen, results = child.stdout.split("\n", 1)
        out[name] = json.loads(chosen), results
    return out


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


def test_every_path_gives_the_same_bits_and_each_supported_variant_ran(runs):
    ran = {chosen["isa"] for chosen, _ in runs.values()}
    variants_ran.update(ran)
    expected = runs["default"][1]
    assert len(expected.splitlines()) in (1, 15)  # the expm1 digest, then the platform and thirteen digests
    assert all(results == expected for _, results in runs.values()), runs
    chosen = runs["default"][0]
    supported = set(ORDER[:ORDER.index(best_isa(cpu_flags())) + 1]) & set(chosen["built"])
    assert ran == supported, f"ran {sorted(ran)}, this machine runs {sorted(supported)}"


def test_chosen_paths_are_the_best_this_cpu_runs(runs):
    """A build whose feature test fails silently still computes the right bits, only slower: this is the
    test that notices. The paths are printed (pytest -s, or on failure)."""
    flags, chosen = cpu_flags(), runs["default"][0]
    print(f"paths: {chosen}; cpu: {best_isa(flags)}, fma: {flags is not None and 'fma' in flags}")
    best = best_isa(flags) if len(chosen["built"]) > 1 else "portable"
    assert chosen["isa"] == best
    fma_ok = flags is None or "fma" in flags or chosen["isa"] == "avx512"
    assert chosen["expm1_isa"] == (best if fma_ok else "portable")
    if flags is not None and platform.libc_ver()[0] == "glibc" and chosen["expm1_isa"] != "portable":
        # The vector kernels are transcriptions of this C library's algorithms.
        assert chosen["expm1"] == "vector" and chosen["expm1f"] != "library"
    for cap in ORDER:
        assert runs[cap][0]["isa"] == min(best, cap, key=ORDER.index), cap
    assert runs["off"][0] == chosen | {"expm1": "library", "expm1f": "library"}


# Inputs on which the classic single-precision algorithm and a correctly rounded expm1f differ.
SEPARATING = np.array([0x3f4448fc, 0x3fa3ed32, 0x4011773f, 0x41093099, 0xbf516249, 0x3e245699], np.uint32)


def library_expm1f_is_correctly_rounded():
    """Judged from the C library's own expm1f, independently of the kernels: on these inputs the double expm1
    lies far from a float midpoint, so rounding it gives the correctly rounded float."""
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    libm.expm1f.restype, libm.expm1f.argtypes = ctypes.c_float, [ctypes.c_float]
    xs = SEPARATING.view(np.float32)
    return all(np.float32(libm.expm1f(float(x))) == np.float32(math.expm1(float(x))) for x in xs)


def test_float32_path_follows_the_c_library(runs):
    """The process takes the vector kernel that agrees with its C library: the correctly rounded one where the
    library rounds correctly (glibc 2.41 and later), the classic one under older glibc on x86-64."""
    chosen = runs["default"][0]["expm1f"]
    print(f"expm1f path: {chosen} (glibc {platform.libc_ver()[1] or 'none'}, {platform.machine()})")
    if library_expm1f_is_correctly_rounded():
        assert chosen == "correctly rounded vector"
    elif platform.machine() == "x86_64" and platform.libc_ver()[0] == "glibc":
        assert chosen == "classic vector"
