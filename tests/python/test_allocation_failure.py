"""Every object a call makes may fail to be made: with the interpreter's
allocator failing from the n-th allocation of the call on, for every n, each
operation gives its right result or raises MemoryError, releases every
reference it took, and leaves the module giving right answers. The sweeps
(nomem_sweep.py) run in a child process, so that a crash fails the test
instead of ending the run."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("_testcapi")

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from nomem_sweep import GRAMMARS  # noqa: E402


@pytest.mark.parametrize("grammar", sorted(GRAMMARS) + ["building"])
def test_every_failed_allocation_raises_memory_error(grammar):
    proc = subprocess.run([sys.executable, os.path.join(HERE, "nomem_sweep.py"), grammar], capture_output=True,
                          text=True, timeout=600)
    # On a crash, the last line of stderr names the operation and the n it died at.
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", \
        f"exit status {proc.returncode}\n{proc.stdout}\n" + "\n".join(proc.stderr.splitlines()[-25:])
