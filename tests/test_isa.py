"""Every instruction-set path this machine can run computes the same bits (BRENIX_MAX_ISA caps the path per
process; the portable-only build and the other compilers are compared by `make test` through the same digests)."""

import os

import pytest

from conftest import run_py

DIGESTS = open(os.path.join(os.path.dirname(__file__), "digests.py")).read()


@pytest.mark.slow
def test_instruction_set_paths_agree():
    runs = {}
    for cap in ("portable", "avx2", "avx512"):
        child = run_py(DIGESTS, env={"BRENIX_MAX_ISA": cap})
        assert child.returncode == 0, child.stderr
        runs[cap] = child.stdout
    lines = runs["portable"].splitlines()
    assert lines[0].startswith("platform: ") and len(lines) == 11  # the platform, then ten digests
    assert runs["avx2"] == runs["portable"] and runs["avx512"] == runs["portable"]
