"""The application the front door serves: the study's paths, the checks before serving, and the page
with the cards and services that stand beside the described ones.

`python -m veltrana` (veltrana/__main__.py) and `veltrana serve` (veltrana/serve/serving.py) both build it
with `start`.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import tempfile

from veltrana import study
from veltrana.study import StudyError


def demo_paths(out=None) -> dict:
    """The demo dataset's paths, written on first use."""
    from veltrana.study import demo
    from veltrana.plugins import defaults

    folder = defaults.sample_dir
    if not os.path.isfile(os.path.join(folder, demo.INFO_FILE)):
        print(f"Writing the demo dataset to {folder}", flush=True)
        demo.write_demo(folder)
    return demo.paths_for(folder, out)


def is_demo(my_paths: dict) -> bool:
    from veltrana.plugins import defaults

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
    from veltrana.plugins import tables
    from veltrana.plugins.paths import MyPath

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

    from veltrana.analyses.profiling import is_numerical

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
    Cancel buttons beside their run buttons (see veltrana.serve.background)."""
    from veltrana.cards import navigation, summary
    from veltrana.analyses import batches, designs
    from veltrana.cards import exports, group_filter, gsea_card, missing_card, survival_card
    from veltrana.analyses.differential import MODERATED_METHODS
    from veltrana.analyses.preprocessing import extra_imputation_options

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
    batches.add_clustering_option(app, my_paths)  # clustering with a phenotype's effect removed
    tell_missing_numerical(app.layout, layout.phenotypes)
    # PCA of the data with a batch-like phenotype's effect removed, after the described "PCA".
    with_options(app.layout, "decomposition-method-dropdown",
                 [batches.method_of(p) for p in batches.batch_phenotypes(layout.info_df)])
    survival_card.add_survival_card(app, layout, my_paths)
    missing_card.add_missing_card(app, layout, my_paths)
    gsea_card.add_gsea_card(app, layout, my_paths)
    # Feature and sample pickers of tens of thousands of choices: the first ones, then the user's search.
    importlib.import_module("veltrana.cards.pickers").add_pickers_on_demand(app, my_paths["out_dir"])
    # Downloads, figure export sizes and the report, on the served page only (after every card).
    exports.add_exports(app, report)
    navigation.add_navigation(app.layout, navigation.study_name(my_paths, demo=is_demo(my_paths)))
    if manager is not None:
        from veltrana.serve import background

        background.run_in_background(app, manager)
        background.place_cancel_buttons(app.layout)
    enable_compression(app)
    # Each graph's toolbar in a strip above its figure, never over a title or a legend.
    importlib.import_module("veltrana.plugins.vocabulary").with_toolbar_strip(app)
    # A callback that fails says so in its card instead of only in the server log.
    importlib.import_module("veltrana.cards.failures").install(app)
    # Preprocess every source now rather than during the first page load.
    vistro.callbacks.init_preprocess_data(my_paths)
    return app


def clean_results(options: dict) -> int:
    """Removes the stored analysis runs of the study's output folder and says what went."""
    from collections import Counter

    from veltrana.runs import results

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
        from veltrana.serve import background

        manager = background.manager_for(options.get("background"), options.get("broker"), my_paths["out_dir"])
    return create_app(my_paths, report, manager)
