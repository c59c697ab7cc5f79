"""The front door: `python -m veltrana` serves the dashboard on the user's study (or the demo).

Every table is read and the samples reconciled before the server starts; a study that
cannot be served ends the process with one line on stderr (`--debug` shows the traceback).
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import sys
import tempfile

from . import study
from .plugins import limits
from .study import StudyError


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line, like every other start-up error, instead of usage and exit 2.
        raise StudyError(f"{message} (see veltrana --help)")


def _data_options(parser) -> None:
    """The options that name a study, shared by the front door and `veltrana serve`."""
    parser.add_argument("--expression", action="append", metavar="NAME=FILE",
                        help="an expression matrix, features as rows and samples as columns; repeat for each "
                             "source (NAME is the source name shown on the page, such as 'Phospho sites')")
    parser.add_argument("--info", metavar="FILE", help="the sample table: one row per sample, one column per "
                                                       "phenotype (text, .xlsx or FILE.xlsx#Sheet, .parquet; "
                                                       "left out: the obs of an .h5ad matrix)")
    parser.add_argument("--sample-column", metavar="NAME", help="the sample table's id column (default: the "
                                                                "one whose values match the data's sample names)")
    parser.add_argument("--annotation", action="append", metavar="NAME=FILE",
                        help="feature annotation (Feature, Gene, Protein) of the source NAME")
    parser.add_argument("--gene-sets", metavar="DIR", help="a folder whose .gmt files become the user gene-set "
                                                           "libraries")
    parser.add_argument("--config", metavar="FILE", help="a project file (TOML) naming the same things; options "
                                                         "given here override it")
    parser.add_argument("--data", metavar="DIR", help="a folder laid out like the demo (fixed file names)")
    parser.add_argument("--out", metavar="DIR", help="output folder for results (default: DIR/results with "
                                                     "--data, otherwise 'results' beside the sample table)")
    parser.add_argument("--host", default=None, help="address to serve on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=None, help="port to serve on (default 8050)")


def parse_args(argv=None):
    parser = _Parser(prog="veltrana", description="Serve the Veltrana dashboard on a study's files. "
                                                  "Commands: 'veltrana serve --help', 'veltrana worker --help', "
                                                  "'veltrana adduser --help'.")
    _data_options(parser)
    parser.add_argument("--clean-results", action="store_true", help="remove the stored analysis runs and exit")
    parser.add_argument("--debug", action="store_true", help="Dash debug mode; start-up errors show tracebacks")
    return parser.parse_args(argv)


def demo_paths(out=None) -> dict:
    """The demo dataset's paths, written on first use."""
    from . import demo
    from .plugins import defaults

    folder = defaults.sample_dir
    if not os.path.isfile(os.path.join(folder, demo.INFO_FILE)):
        print(f"Writing the demo dataset to {folder}", flush=True)
        demo.write_demo(folder)
    return demo.paths_for(folder, out)


def is_demo(my_paths: dict) -> bool:
    from .plugins import defaults

    return os.path.dirname(os.path.abspath(my_paths["info"])) == os.path.abspath(defaults.sample_dir)


def paths_of(options: dict) -> tuple[dict, str | None]:
    """(my_paths, gene-set folder) of the merged options."""
    chosen = study.study_from(options)
    if chosen is None:
        return demo_paths(options.get("out")), options.get("gene_sets")
    return chosen.my_paths(), chosen.gene_sets


def writable_out_dir(out_dir: str) -> None:
    os.makedirs(out_dir, exist_ok=True)
    if not os.access(out_dir, os.W_OK | os.X_OK):
        raise StudyError(f"the output folder {out_dir} is not writable; choose another with --out")


@contextlib.contextmanager
def _empty_working_dir():
    """The layout module looks for a sample table in the working directory when imported;
    the front door gives it the study's own instead (see `describe_phenotypes`)."""
    previous = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="veltrana-") as empty:
        os.chdir(empty)
        try:
            yield
        finally:
            os.chdir(previous)


def describe_phenotypes(layout, my_paths: dict) -> None:
    """Gives the layout module the study's phenotypes, which its pickers start with."""
    from .plugins import tables
    from .plugins.paths import MyPath

    MyPath(my_paths)  # the readers read only what a configuration names
    table = tables.read_info_file(my_paths["info"])  # read once: reconciling read it already
    phenotypes = [str(c) for c in table.columns]
    layout.info_df = table
    layout.phenotypes = phenotypes
    if phenotypes:
        column = layout.default_phenotype if layout.default_phenotype in phenotypes else phenotypes[0]
        # Empty cells belong to no group; mixed types sort by their text.
        layout.groups = sorted(set(table[column].dropna()), key=str)


def with_summary(page, card):
    """The page of `build_layout` with `card` right after its store card."""
    children = list(page.children)
    at = next((i + 1 for i, c in enumerate(children) if getattr(c, "id", None) == "store-card"), 0)
    page.children = [*children[:at], card, *children[at:]]
    return page


def show_served_paths(page, page_paths: dict) -> None:
    """The input card names the files served (in their short forms), not the demo's file names
    the layout module starts with."""
    page["expr-input"].value = "\n".join(f"{name}={path}" for name, path in page_paths["expression"].items())
    page["info-input"].value = page_paths["info"]


NO_NUMERICAL = ("The sample table has no numerical phenotype, so this card has nothing to correlate the "
                "features with: it needs a column of numbers (its name ending in \"(Numerical)\", or holding "
                "only numbers).")


def tell_missing_numerical(page, phenotypes) -> None:
    """Says in the association card why it does nothing when no phenotype is numerical."""
    from dash import html

    from .plugins.analysis.profiling import is_numerical

    if not any(is_numerical(p) for p in phenotypes):
        card = page["association-card"]
        card.children = [html.P(NO_NUMERICAL, id="assoc-no-numerical", className="veltrana-failure"),
                         *card.children]


def with_options(page, dropdown_id: str, values) -> None:
    """Appends `values` (texts, label = value, or option dicts) to the options of the page's
    dropdown `dropdown_id`, after its described ones; KeyError when the page has no such component."""
    dropdown = page[dropdown_id]
    dropdown.options = [*dropdown.options, *(v if isinstance(v, dict) else {"label": v, "value": v} for v in values)]


def enable_compression(app) -> None:
    """Gzip for responses to clients that accept it (figures and tables compress well)."""
    from flask_compress import Compress

    app.server.config["COMPRESS_ALGORITHM"] = "gzip"
    Compress(app.server)


def create_app(my_paths: dict, report: study.Report | None = None, manager=None):
    """The application with its page and the data summary card; every source preprocessed.

    With a background `manager`, the analyses run as background callbacks of it, their
    Cancel buttons beside their run buttons (see veltrana.background)."""
    from . import navigation, summary
    from .plugins.analysis import batches, designs, exports, group_filter, gsea_card, missing_card, survival_card
    from .plugins.analysis.differential import MODERATED_METHODS
    from .plugins.analysis.preprocessing import extra_imputation_options

    if report is None:
        report = study.reconcile(my_paths)
    with _empty_working_dir():
        layout = importlib.import_module("veltrana.plugins.layout")
        vistro = importlib.import_module("veltrana.plugins.vistro")
    describe_phenotypes(layout, my_paths)
    app = vistro.build_app(my_paths)
    # The page holds the paths in their short forms: the server's own paths never reach the browser.
    page_paths = vistro.callbacks.MyPath(my_paths).page_form()
    app.layout = with_summary(layout.build_layout(page_paths), summary.summary_card(report))
    show_served_paths(app.layout, page_paths)
    with_options(app.layout, "diff-exp-analysis-methods-dropdown", MODERATED_METHODS)
    designs.add_designs(app, my_paths, layout.phenotypes)  # "Adjust for" and the F-test's run and figure
    with_options(app.layout, "preprocess-imputation-dropdown", extra_imputation_options())
    group_filter.add_group_filter(app, my_paths)  # "at least N values in a group of <phenotype>"
    tell_missing_numerical(app.layout, layout.phenotypes)
    # PCA of the data with a batch-like phenotype's effect removed, after the described "PCA".
    with_options(app.layout, "decomposition-method-dropdown",
                 [batches.method_of(p) for p in batches.batch_phenotypes(layout.info_df)])
    survival_card.add_survival_card(app, layout, my_paths)
    missing_card.add_missing_card(app, layout, my_paths)
    gsea_card.add_gsea_card(app, layout, my_paths)
    # Feature and sample pickers of tens of thousands of choices: the first ones, then the user's search.
    importlib.import_module("veltrana.plugins.pickers").add_pickers_on_demand(app, my_paths["out_dir"])
    # Downloads, figure export sizes and the report, on the served page only (after every card).
    exports.add_exports(app, report)
    navigation.add_navigation(app.layout, navigation.study_name(my_paths, demo=is_demo(my_paths)))
    if manager is not None:
        from . import background

        background.run_in_background(app, manager)
        background.place_cancel_buttons(app.layout)
    enable_compression(app)
    # A callback that fails says so in its card instead of only in the server log.
    importlib.import_module("veltrana.plugins.failures").install(app)
    # Preprocess every source now rather than during the first page load.
    vistro.callbacks.init_preprocess_data(my_paths)
    return app


def clean_results(options: dict) -> int:
    """Removes the stored analysis runs of the study's output folder and says what went."""
    from collections import Counter

    from .plugins import results

    out_dir = paths_of(options)[0]["out_dir"]
    kinds = Counter(run["kind"] for run in results.list_runs(out_dir))
    removed = results.clean_results(out_dir)
    detail = f" ({', '.join(f'{kind}: {n}' for kind, n in sorted(kinds.items()))})" if removed else ""
    print(f"Removed {removed} stored analysis run(s) from {out_dir}{detail}", flush=True)
    return 0


def private_files() -> None:
    """Whatever the server creates from now on (results, locks, the job cache, copies) is readable
    by its own user only: folders 0700, files 0600."""
    os.umask(0o077)


def start(options: dict):
    """The application, after every start-up check."""
    private_files()
    my_paths, gene_sets = paths_of(options)
    report = study.reconcile(my_paths, options.get("sample_column"))
    print(study.report_text(report), flush=True)
    writable_out_dir(my_paths["out_dir"])
    if gene_sets:
        copied = study.install_gene_sets(gene_sets, my_paths["out_dir"])
        if copied:
            print(f"Gene-set libraries copied: {', '.join(copied)}", flush=True)
    manager = None
    if options.get("background") or options.get("broker"):
        from . import background

        manager = background.manager_for(options.get("background"), options.get("broker"), my_paths["out_dir"])
    return create_app(my_paths, report, manager)


def _message(err: BaseException) -> str:
    if isinstance(err, OSError) and err.strerror and err.filename:
        return f"{err.strerror}: {err.filename}"
    return str(err) or type(err).__name__


def parse_serve_args(argv):
    parser = _Parser(prog="veltrana serve", description="Serve the dashboard to many users with gunicorn; "
                                                        "debug is never on.")
    _data_options(parser)
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--threads", type=int, default=4, help="threads per worker (default 4)")
    parser.add_argument("--users", metavar="FILE", help="require a login: the users file written by "
                                                        "'veltrana adduser'")
    parser.add_argument("--timeout", type=int, default=None, help="seconds a request, or an analysis run as a "
                                                                  "background job, may take (default 600)")
    parser.add_argument("--jobs", type=int, default=None, help="background jobs running at once, in all (default: "
                                                               "one per core); the others wait in line")
    parser.add_argument("--jobs-per-login", type=int, default=None, help="background jobs of one login running "
                                                                         "at once (default 2)")
    _background_options(parser)
    return parser.parse_args(argv)


def _background_options(parser) -> None:
    parser.add_argument("--background", choices=("disk", "celery"), default=None,
                        help="run the analyses as background jobs that a Cancel button stops: 'disk' in "
                             "processes of this machine (jobs kept under the output folder), 'celery' on "
                             "'veltrana worker' processes (needs --broker)")
    parser.add_argument("--broker", metavar="URL", help="the Redis server of the Celery workers, such as "
                                                        "redis://host:6379/0 (implies --background celery)")


def with_background(options: dict, args) -> dict:
    """The merged options with the background choice of the command line."""
    return {**options, "background": args.background, "broker": args.broker}


def serve_command(raw) -> int:
    """`veltrana serve ...`: the dashboard under gunicorn."""
    from . import serving

    try:
        args = parse_serve_args(raw)
        options = with_background(study.merged_options(args), args)
        timeout = args.timeout or serving.DEFAULT_TIMEOUT
        given = {"job_seconds": args.timeout, "jobs": args.jobs, "jobs_per_login": args.jobs_per_login}
        limits.configure({name: value for name, value in given.items() if value is not None}, "veltrana serve")
        users = os.path.abspath(args.users) if args.users else None
        # Every start-up check and the preprocessing happen here, before any worker starts.
        return serving.serve(options, args.workers, args.threads, users, timeout)
    except Exception as err:
        print(f"veltrana: {_message(err)}", file=sys.stderr, flush=True)
        return 1


def adduser_command(raw) -> int:
    """`veltrana adduser FILE NAME`: adds a login, or changes its password."""
    from . import access

    parser = _Parser(prog="veltrana adduser", description="Add a login to a users file, or change its password "
                                                          "(read from a prompt, or from the first line of stdin).")
    parser.add_argument("file", metavar="FILE", help="the users file (created when missing)")
    parser.add_argument("name", metavar="NAME", help="the login name")
    try:
        args = parser.parse_args(raw)
        changed = access.add_user(args.file, args.name, access.read_password(sys.stdin))
    except (Exception, KeyboardInterrupt, EOFError) as err:
        print(f"veltrana: {_message(err) if isinstance(err, Exception) else 'no password given'}",
              file=sys.stderr, flush=True)
        return 1
    print(f"{'Changed the password of' if changed else 'Added'} {args.name} in {args.file}", flush=True)
    return 0


def worker_command(raw) -> int:
    """`veltrana worker --broker URL ...`: a Celery worker that runs the analyses of `veltrana serve
    --broker URL`; it reads the same study (the same data options) as the served application."""
    parser = _Parser(prog="veltrana worker", description="Run the analyses of 'veltrana serve --broker URL' "
                                                         "on this machine, as a Celery worker.")
    _data_options(parser)
    parser.add_argument("--broker", metavar="URL", required=True, help="the Redis server, such as "
                                                                       "redis://host:6379/0")
    parser.add_argument("--concurrency", type=int, default=None, help="analyses run at once (default: one per "
                                                                      "core)")
    try:
        args = parser.parse_args(raw)
        if args.concurrency is not None and args.concurrency < 1:
            raise StudyError("--concurrency must be at least 1")
        options = {**study.merged_options(args), "background": "celery", "broker": args.broker}
        app = start(options)
    except Exception as err:
        print(f"veltrana: {_message(err)}", file=sys.stderr, flush=True)
        return 1
    from . import background

    from .serving import broker_warning, masked_url

    manager = background.manager_of(app)
    if broker_warning(args.broker):
        print(broker_warning(args.broker), file=sys.stderr, flush=True)
    argv = ["worker", "--loglevel=WARNING", "--without-gossip", "--without-mingle"]
    if args.concurrency:
        argv.append(f"--concurrency={args.concurrency}")
    print(f"Veltrana worker on {masked_url(args.broker)}", flush=True)
    manager.handle.worker_main(argv)
    return 0


class Exposed(StudyError):
    """Debug mode asked for on an address other machines reach."""


def exposure(host: str, debug: bool) -> str | None:
    """The warning of the single-process server bound beyond this machine (it has no login);
    Exposed when debug mode is asked for there (its debugger runs what the page sends)."""
    from .serving import is_loopback

    if is_loopback(host):
        return None
    if debug:
        raise Exposed(f"--debug is refused on {host}: its debugger would let anyone who reaches that address run "
                      "code on this machine; use --debug on 127.0.0.1 only")
    return (f"veltrana: warning: serving on {host} with no login: anyone who reaches this address can use the "
            "dashboard and read its data; to share it, use 'veltrana serve --users FILE'")


COMMANDS = {"serve": serve_command, "adduser": adduser_command, "worker": worker_command}


def main(argv=None) -> int:
    raw = sys.argv[1:] if argv is None else list(argv)
    if raw and raw[0] in COMMANDS:
        return COMMANDS[raw[0]](raw[1:])
    debug = "--debug" in raw
    try:
        args = parse_args(raw)
        options = study.merged_options(args)
        if args.clean_results:
            return clean_results(options)
        host, port = options.get("host", "127.0.0.1"), options.get("port", 8050)
        exposed = exposure(host, args.debug)
        app = start(options)
    except Exception as err:  # StudyError, the loader's DataError, unreadable files, a failed preprocessing
        if debug and not isinstance(err, Exposed):
            raise
        print(f"veltrana: {_message(err)}", file=sys.stderr, flush=True)
        return 1
    if exposed:
        print(exposed, file=sys.stderr, flush=True)
    print(f"Veltrana dashboard on http://{host}:{port}/", flush=True)
    app.run(host=host, port=port, debug=args.debug)
    return 0


if __name__ == "__main__":
    sys.exit(main())
