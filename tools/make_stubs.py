"""Writes the type stubs (.pyi) of the native modules next to them in host/veltrana/plugins.

Run from a folder without a sample-information file (the stubs then show the
import-time defaults): `make stubs`, or `python tools/make_stubs.py [--check]`.
"""

from __future__ import annotations

import importlib
import os
import re
import sys
import tempfile

MODULES = ("vistro", "layout", "plotweave", "survival", "preprocess")
HERE = os.path.dirname(os.path.abspath(__file__))
TARGET = os.path.join(HERE, "..", "host", "veltrana", "plugins")


def render(name: str) -> str:
    from nanobind.stubgen import StubGen

    module = importlib.import_module(f"veltrana.plugins.{name}")
    gen = StubGen(module, include_private=False)
    gen.put(module)
    # The demo folder depends on the user's home: keep its type, not its value.
    return re.sub(r"^sample_dir: str = .*$", "sample_dir: str", gen.get(), flags=re.M)


def main(argv: list[str]) -> int:
    check = "--check" in argv
    os.chdir(tempfile.mkdtemp())  # no sample-information file here
    stale = []
    for name in MODULES:
        text = render(name)
        path = os.path.join(TARGET, f"{name}.pyi")
        old = open(path).read() if os.path.exists(path) else None
        if check:
            if old != text:
                stale.append(name)
        elif old != text:
            with open(path, "w") as fh:
                fh.write(text)
    if not check:
        open(os.path.join(TARGET, "py.typed"), "w").close()
    if stale:
        print("stale stubs: " + ", ".join(stale) + " (run `make stubs`)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
