"""Pickers of tens of thousands of choices, sent on demand.

A browser indexes every option a dropdown is given: 22,000 features take seconds of the page
load. Above the server's `picker_options` limit, the callback that fills such a picker sends
its first choices (the selected ones kept) and a last, disabled line saying how many more there
are; what the user types then asks the server for the matching choices (Dash's `search_value`).
Below the limit the picker gets every choice, as its callback gives them.

The full list stays on the server: the filling callback writes it under the output folder,
named by a digest of the picker and the callback's arguments, and the search callback, which
receives the same arguments as states, reads it back (or calls the filling callback again when
the file is gone). Nothing the page sends names a file.
"""

from __future__ import annotations

import hashlib
import json
import os
import threading
from collections import OrderedDict
from functools import lru_cache

from dash import Input, Output, State, no_update

from veltrana.runs import results
from veltrana.serve import limits

# The feature and sample pickers of the described cards.
PICKERS = ("diff-gene-dropdown", "assoc-roc-figure-feature-dropdown", "qc-samples-dropdown")
SHOWN = 200            # choices sent at once: the first ones, or the first matches of a search
SEARCH_CHARS = 200     # a search longer than this is no one's typing
KEPT_LISTS = 50        # full lists kept on disk per output folder; the oldest go first
MORE = "\u2026 more"   # the value of the disabled line that counts the rest
# Pickers filled from one published run alone, named by this input. A run never changes, and a
# click elsewhere (a new differential run) sends the association card its same run again: the
# same run file and paths get the answer given before, not its 20,000-point figure drawn again.
FROM_RUN = {"assoc-roc-figure-feature-dropdown": "phenotype-feature-result-inter"}
ANSWERS_KEPT = 4       # per picker

_write_lock = threading.Lock()


def _label(option) -> str:
    return str(option.get("label", option.get("value"))) if isinstance(option, dict) else str(option)


def _value(option):
    return option.get("value") if isinstance(option, dict) else option


def shown(options: list, selected, search: str | None = None) -> list:
    """The first `SHOWN` options whose label holds `search` (any letter case), the selected ones
    kept first when not among them, and a disabled line counting the rest."""
    if search:
        wanted = search.casefold()
        matches = [o for o in options if wanted in _label(o).casefold()]
    else:
        matches = options
    first = matches[:SHOWN]
    chosen = selected if isinstance(selected, list) else [] if selected is None else [selected]
    present = {_value(o) for o in first}
    # The rest of the list is looked through only for a selection not shown already.
    absent = [c for c in chosen if c not in present]
    kept = [o for o in options if _value(o) in absent] if absent else []
    rest = len(matches) - len(first)
    more = [{"label": f"{rest:,} more{' matching' if search else ''}: type to search", "value": MORE,
             "disabled": True}] if rest else []
    return [*kept, *first, *more]


class _Store:
    """The full option lists of the pickers, in `<out_dir>/pickers/<digest>.json`."""

    def __init__(self, out_dir: str):
        self.folder = os.path.join(out_dir, "pickers")

    @staticmethod
    def digest(picker: str, args) -> str:
        text = json.dumps([picker, list(args)], sort_keys=True, default=str)
        return hashlib.sha256(text.encode()).hexdigest()[:32]

    def path(self, digest: str) -> str:
        return os.path.join(self.folder, digest + ".json")

    def write(self, digest: str, options: list) -> None:
        os.makedirs(self.folder, exist_ok=True)
        final = self.path(digest)
        tmp = f"{final}.{os.getpid()}.{threading.get_ident()}.tmp"
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(json.dumps(options))  # one text from the C encoder: dump writes piece by piece
        os.replace(tmp, final)  # readers see the whole list or none
        with _write_lock:
            lists = sorted((_age(e), e.path) for e in os.scandir(self.folder) if e.name.endswith(".json"))
            for _, old in lists[:-KEPT_LISTS]:
                try:
                    os.unlink(old)
                except FileNotFoundError:  # another worker pruned it first
                    pass

    def read(self, digest: str) -> list | None:
        path = self.path(digest)
        try:
            st = os.stat(path)
        except FileNotFoundError:
            return None
        return _read_list(path, st.st_mtime_ns, st.st_size)


def _age(entry) -> float:
    try:
        return entry.stat().st_mtime
    except FileNotFoundError:
        return 0.0


@lru_cache(maxsize=8)
def _read_list(path: str, _mtime: int, _size: int) -> list:
    with open(path, encoding="utf-8") as fh:
        return json.load(fh)


def _outputs_of(key: str) -> list:
    return key.strip(".").split("...")


def _filling(app, picker: str) -> tuple[int, dict]:
    """(index in the callback list, entry) of the callback that fills the picker's options."""
    for index, entry in enumerate(app._callback_list):
        if f"{picker}.options" in _outputs_of(entry["output"]):
            return index, entry
    raise KeyError(f"no callback fills {picker}.options")


def _replace(app, index: int, entry: dict, wrap) -> None:
    """Registers `wrap(native)` in place of the callback `entry`: the same outputs and
    dependencies, in the same place of the callback list and map."""
    key = entry["output"]
    native = app.callback_map[key]["callback"].__wrapped__
    order = list(app.callback_map)
    del app.callback_map[key]
    del app._callback_list[index]
    outputs = [Output(*o.rsplit(".", 1)) for o in _outputs_of(key)]
    app.callback(outputs if key.startswith("..") else outputs[0],
                 [Input(d["id"], d["property"]) for d in entry["inputs"]],
                 [State(d["id"], d["property"]) for d in entry.get("state", [])],
                 prevent_initial_call=entry.get("prevent_initial_call"))(wrap(native))
    app._callback_list.insert(index, app._callback_list.pop())
    entries = app.callback_map
    app.callback_map = {k: entries[k] for k in order}


def _on_demand(app, picker: str, store: _Store) -> None:
    index, entry = _filling(app, picker)
    outputs = _outputs_of(entry["output"])
    listed = entry["output"].startswith("..")
    at_options = outputs.index(f"{picker}.options")
    at_value = outputs.index(f"{picker}.value") if f"{picker}.value" in outputs else None
    dependencies = [*entry["inputs"], *entry.get("state", [])]

    answer_of = _run_answers(dependencies, FROM_RUN.get(picker))

    def full(native, args) -> tuple[list, list | None, bool]:
        """(every output of the filling callback, its options when they are a list, whether they
        are the answer given before)."""
        answer, again = answer_of(native, args)
        values = list(answer) if listed else [answer]
        options = values[at_options]
        return values, options if isinstance(options, list) else None, again

    def wrap(native):
        def fill(*args):
            values, options, again = full(native, args)
            if options is not None and len(options) > limits.get("picker_options"):
                digest = store.digest(picker, args)
                if not (again and os.path.isfile(store.path(digest))):  # the same list is there already
                    store.write(digest, options)
                selected = values[at_value] if at_value is not None else None
                values[at_options] = shown(options, selected)
            return tuple(values) if listed else values[0]
        fill.__name__ = native.__name__
        return fill

    native = app.callback_map[entry["output"]]["callback"].__wrapped__
    _replace(app, index, entry, wrap)

    def search(text, selected, *args):
        if text is not None and not isinstance(text, str):
            raise ValueError(f"the search of {picker} must be text, not {text!r}")
        text = (text or "")[:SEARCH_CHARS]
        options = store.read(store.digest(picker, args))
        if options is None:  # written by a server that kept other lists since: fill again
            options = full(native, args)[1]
        if options is None or len(options) <= limits.get("picker_options"):
            return no_update  # a small picker has every choice already
        return shown(options, selected, text)

    search.__name__ = f"search_{picker.replace('-', '_')}"
    app.callback(Output(picker, "options", allow_duplicate=True), Input(picker, "search_value"),
                 State(picker, "value"), *[State(d["id"], d["property"]) for d in dependencies],
                 prevent_initial_call=True)(search)


def _run_answers(dependencies: list, run_input: str | None):
    """answer_of(native, args): (native(*args), False), or, when the callback draws from the one run
    named by the input `run_input`, (the answer given before, True) for the same run file (by its
    size and time) and the same other arguments (clicks aside, which change nothing drawn)."""
    at = next((i for i, d in enumerate(dependencies) if d["id"] == run_input), None)
    if at is None:
        return lambda native, args: (native(*args), False)
    kept: OrderedDict = OrderedDict()
    lock = threading.Lock()

    def answer_of(native, args):
        others = [a for i, (d, a) in enumerate(zip(dependencies, args)) if i != at and d["property"] != "n_clicks"]
        key = json.dumps([results.file_state(args[at]), others], sort_keys=True, default=str)
        with lock:
            if key in kept:
                kept.move_to_end(key)
                return kept[key], True
        answer = native(*args)
        with lock:
            kept[key] = answer
            while len(kept) > ANSWERS_KEPT:
                kept.popitem(last=False)
        return answer, False

    return answer_of


def add_pickers_on_demand(app, out_dir: str, pickers=PICKERS) -> None:
    """Fills each of `pickers` on demand above the `picker_options` limit (after `build_app`)."""
    store = _Store(out_dir)
    for picker in pickers:
        _on_demand(app, picker, store)
