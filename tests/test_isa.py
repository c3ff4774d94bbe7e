"""Every instruction-set variant this build has and this processor runs computes the same bits, and is run: each child
process says which variant it used, and the test fails when one that this machine supports was not exercised (the
portable-only build and the other compilers are compared by `make test` through the same digests)."""

import os

import pytest

from conftest import VARIANT_NAMES, run_py, supported_variants, variants_ran

DIGESTS = open(os.path.join(os.path.dirname(__file__), "digests.py")).read()
REPORT = "from brenix_kernels import _blocks; print(_blocks.instruction_set()[0])\n"


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
