"""The committed type stubs match the built modules."""

import os
import subprocess
import sys

TOOL = os.path.join(os.path.dirname(__file__), "..", "tools", "make_stubs.py")


def test_stubs_are_fresh():
    proc = subprocess.run([sys.executable, TOOL, "--check"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
