"""The front door: `python -m veltrana` serves the dashboard on the user's study (or the demo).

Every table is read and the samples reconciled before the server starts; a study that
cannot be served ends the process with one line on stderr (`--debug` shows the traceback).
"""

from __future__ import annotations

import argparse
import os
import sys

from veltrana import deferred, study
from veltrana.serve.app import clean_results, create_app, demo_paths, paths_of, start, with_options  # noqa: F401
from veltrana.serve import arenas, limits
from veltrana.study import StudyError


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
    from veltrana.serve import serving

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
    from veltrana.serve import access

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
    from veltrana.serve import background
    from veltrana.serve.serving import broker_warning, masked_url

    deferred.import_all()  # before the worker forks its pool

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
    from veltrana.serve.serving import is_loopback

    if is_loopback(host):
        return None
    if debug:
        raise Exposed(f"--debug is refused on {host}: its debugger would let anyone who reaches that address run "
                      "code on this machine; use --debug on 127.0.0.1 only")
    return (f"veltrana: warning: serving on {host} with no login: anyone who reaches this address can use the "
            "dashboard and read its data; to share it, use 'veltrana serve --users FILE'")


COMMANDS = {"serve": serve_command, "adduser": adduser_command, "worker": worker_command}


def main(argv=None) -> int:
    arenas.tune_malloc()  # before any thread starts
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
    deferred.import_after_first_answer(app.server)  # this server forks nothing
    app.run(host=host, port=port, debug=args.debug)
    return 0


if __name__ == "__main__":
    sys.exit(main())
