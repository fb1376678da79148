"""Shared fixtures for the host-side tests of the quorix module."""

import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass

import pytest


@dataclass
class Finished:
    returncode: int
    stdout: str
    stderr: str


def run_snippet(code, timeout=60, env=None, args=()):
    """Runs `code` in a fresh interpreter (the one running the tests) and returns its
    exit status, stdout and stderr.

    Tests that trip the process-wide one-way shutdown flag, or need a fresh process
    (first task ids, thread counts at import), use this so that the suite's result
    never depends on test order.
    """
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )
    return Finished(proc.returncode, proc.stdout, proc.stderr)


@pytest.fixture
def fresh():
    """Callable fixture: fresh(code) -> Finished (returncode, stdout, stderr)."""
    return run_snippet


FREE_THREADED = hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled()
