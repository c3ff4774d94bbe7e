"""Helpers shared by the test modules."""

import os
import subprocess
import sys

import pytest


def run_in_subprocess(code: str, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Run ``code`` with ``python -c`` in a fresh interpreter and capture its output.

    ``env`` updates a copy of the current environment; a value of None removes
    that variable.  Fresh processes are needed wherever process-wide state
    matters: the worker pool, the first import, fork, crashes.
    """
    full_env = os.environ.copy()
    for name, value in (env or {}).items():
        if value is None:
            full_env.pop(name, None)
        else:
            full_env[name] = value
    return subprocess.run(
        [sys.executable, "-c", code],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture(scope="session")
def core():
    """The extension module under test."""
    from brenix_kernels import _core

    return _core
