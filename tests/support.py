"""Helpers for tests that need a fresh interpreter."""

import os
import subprocess
import sys


def run_python(code: str, cwd, env=None, timeout=120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (module state at import is per process)."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=full_env, capture_output=True,
                          text=True, timeout=timeout)
