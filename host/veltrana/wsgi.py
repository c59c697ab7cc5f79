"""The WSGI entry for those who run their own gunicorn: `veltrana.wsgi:server`.

Configured from the environment, with the same meaning as the options of `veltrana`:

    VELTRANA_CONFIG      the project file (study.toml)
    VELTRANA_DATA        a folder laid out like the demo
    VELTRANA_EXPRESSION  NAME=FILE entries separated by ';' (names holding ';' need the project file)
    VELTRANA_INFO        the sample table
    VELTRANA_ANNOTATION  NAME=FILE entries separated by ';'
    VELTRANA_GENE_SETS   a folder of .gmt files
    VELTRANA_OUT         the output folder
    VELTRANA_USERS       the users file of the login (written by 'veltrana adduser')
    VELTRANA_BACKGROUND  "disk": the analyses run as background jobs (as `serve --background disk`)
    VELTRANA_BROKER      redis://host:port/db: the analyses run on `veltrana worker` processes
    VELTRANA_PROXIES     the number of proxies in front that set X-Forwarded-For (default 0: the header is
                         not trusted); the login counts failures per client address (`veltrana serve` reads it too)

None of them set: the demo. For example::

    VELTRANA_CONFIG=study.toml VELTRANA_USERS=users gunicorn --preload -w 4 --threads 4 -t 600 \\
        -b 127.0.0.1:8050 veltrana.wsgi:server

With --preload the study is read and preprocessed once, in gunicorn's master; without it
each worker builds the application and the preprocessing runs in one of them, the others
waiting on its file lock and reusing its matrices.
"""

from __future__ import annotations

import argparse
import os

from veltrana import study

ENVIRONMENT = ("VELTRANA_CONFIG", "VELTRANA_DATA", "VELTRANA_EXPRESSION", "VELTRANA_INFO", "VELTRANA_ANNOTATION",
               "VELTRANA_GENE_SETS", "VELTRANA_OUT", "VELTRANA_USERS", "VELTRANA_BACKGROUND", "VELTRANA_BROKER",
               "VELTRANA_PROXIES")


def _entries(text: str | None) -> list[str]:
    return [e.strip() for e in (text or "").split(";") if e.strip()]


def options_from(environ) -> tuple[dict, str | None]:
    """(the merged options, the users file) that the environment names."""
    def get(name):
        value = environ.get(name, "").strip()
        return value or None

    args = argparse.Namespace(config=get("VELTRANA_CONFIG"), data=get("VELTRANA_DATA"), info=get("VELTRANA_INFO"),
                              out=get("VELTRANA_OUT"), gene_sets=get("VELTRANA_GENE_SETS"), host=None, port=None,
                              expression=_entries(environ.get("VELTRANA_EXPRESSION")),
                              annotation=_entries(environ.get("VELTRANA_ANNOTATION")))
    users = get("VELTRANA_USERS")
    options = {**study.merged_options(args), "background": get("VELTRANA_BACKGROUND"),
               "broker": get("VELTRANA_BROKER")}
    return options, (os.path.abspath(users) if users else None)


def application(environ=None):
    """The Flask server of the application the environment describes."""
    from veltrana.serve.serving import serving_app

    options, users = options_from(os.environ if environ is None else environ)
    return serving_app(options, users).server


def __getattr__(name):
    # Built when gunicorn first asks for it, so that importing this module builds nothing.
    if name == "server":
        global server
        from veltrana.serve.arenas import tune_malloc

        tune_malloc()  # gunicorn's threads start after this
        server = application()
        return server
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
