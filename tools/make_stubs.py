"""Writes the type stubs (.pyi) of the native modules next to them in host/veltrana/plugins.

Run from a folder without a sample-information file (the stubs then show the
import-time defaults): `make stubs`, or `python tools/make_stubs.py [--check]`.
`--share` prints how many parameters and returns of the committed stubs are typed
(anything but a bare `object`) instead of writing them.
"""

from __future__ import annotations

import ast
import importlib
import os
import re
import sys
import tempfile

MODULES = ("vistro", "layout", "plotweave", "survival", "preprocess", "ranked")
HERE = os.path.dirname(os.path.abspath(__file__))
TARGET = os.path.join(HERE, "..", "host", "veltrana", "plugins")


def render(name: str) -> str:
    from nanobind.stubgen import StubGen

    module = importlib.import_module(f"veltrana.plugins.{name}")
    gen = StubGen(module, include_private=False)
    gen.put(module)
    # The demo folder depends on the user's home: keep its type, not its value.
    text = re.sub(r"^sample_dir: str = .*$", "sample_dir: str", gen.get(), flags=re.M)
    # The hooks that bind libraries on first use are no part of the interface.
    return re.sub(r"^def __(getattr|dir)__\(.*\n\n", "", text, flags=re.M)


def typed_share() -> str:
    """Typed parameters and returns of the committed stubs, against all of them."""
    untyped = {"object", "object | None"}
    params = [0, 0]
    returns = [0, 0]
    for name in MODULES:
        with open(os.path.join(TARGET, f"{name}.pyi")) as fh:
            tree = ast.parse(fh.read())
        for fn in (n for n in ast.walk(tree) if isinstance(n, ast.FunctionDef)):
            for arg in fn.args.posonlyargs + fn.args.args + fn.args.kwonlyargs:
                params[1] += 1
                params[0] += arg.annotation is not None and ast.unparse(arg.annotation) not in untyped
            returns[1] += 1
            returns[0] += fn.returns is not None and ast.unparse(fn.returns) not in untyped
    return (f"parameters typed: {params[0]}/{params[1]}; "
            f"returns typed: {returns[0]}/{returns[1]}")


def main(argv: list[str]) -> int:
    if "--share" in argv:
        print(typed_share())
        return 0
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
