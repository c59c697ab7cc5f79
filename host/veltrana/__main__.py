"""The front door: `python -m veltrana` serves the dashboard on a data folder (or the demo)."""

from __future__ import annotations

import argparse
import importlib
import os
import sys


def parse_args(argv=None):
    parser = argparse.ArgumentParser(prog="veltrana", description="Serve the Veltrana dashboard.")
    parser.add_argument("--data", help="folder with the expression files and the sample-information file "
                                       "(default: a demo dataset is written and used)")
    parser.add_argument("--out", help="output folder for results (default: <data>/results)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8050)
    parser.add_argument("--debug", action="store_true", help="Dash debug mode")
    return parser.parse_args(argv)


def prepare_data(args) -> tuple[str, dict]:
    from . import demo
    from .plugins import defaults

    if args.data:
        folder = os.path.abspath(args.data)
        missing = [f for f in (demo.PROTEIN_FILE, demo.GLYCOFORM_FILE, demo.INFO_FILE)
                   if not os.path.isfile(os.path.join(folder, f))]
        if missing:
            raise SystemExit(f"veltrana: {folder} lacks {', '.join(missing)}")
        return folder, demo.paths_for(folder, args.out)
    folder = defaults.sample_dir
    if not os.path.isfile(os.path.join(folder, demo.INFO_FILE)):
        print(f"Writing the demo dataset to {folder}", flush=True)
        demo.write_demo(folder)
    return folder, demo.paths_for(folder, args.out)


def create_app(folder: str, my_paths: dict):
    """The application with its page; `layout` is imported inside the data folder."""
    previous = os.getcwd()
    os.chdir(folder)
    try:
        layout = importlib.import_module("veltrana.plugins.layout")
        vistro = importlib.import_module("veltrana.plugins.vistro")
    finally:
        os.chdir(previous)
    app = vistro.build_app(my_paths)
    app.layout = layout.build_layout(my_paths)
    # Preprocess every source now rather than during the first page load.
    vistro.callbacks.init_preprocess_data(my_paths)
    return app


def main(argv=None) -> int:
    args = parse_args(argv)
    folder, my_paths = prepare_data(args)
    os.makedirs(my_paths["out_dir"], exist_ok=True)
    app = create_app(folder, my_paths)
    print(f"Veltrana dashboard on http://{args.host}:{args.port}/", flush=True)
    app.run(host=args.host, port=args.port, debug=args.debug)
    return 0


if __name__ == "__main__":
    sys.exit(main())
