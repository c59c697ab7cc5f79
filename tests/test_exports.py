"""Results that leave the browser: the downloaded tables equal the runs' tables and forged
paths are refused, the figures' export options exist on the served page only, and the report
holds its sections, the figures with plotly.js once, and the versions."""

import base64
import gzip
import importlib.metadata
import io
import json
import os

import numpy as np
import pandas as pd
import plotly.offline
import pytest
from dash import dcc

from veltrana import __main__ as front
from veltrana import __version__
from veltrana.analyses import clustering, decomposition, differential
from veltrana.cards import exports
from veltrana.plugins.paths import MyPath
from veltrana.plugins.tables import save_result_path

from support import children, run_registered, walk

DIFF = {"diff-data-source-dropdown": ["Protein", "Glycoform"], "phenotype-dropdown": "Pathological_Status",
        "target-groups-dropdown": "Tumor", "refer-groups-dropdown": "Normal",
        "diff-exp-analysis-methods-dropdown": "T-test(Unpaired)", "diff-fdr-input": 0.05, "diff-log2fc-input": 2}




@pytest.fixture
def served(fresh_paths, layout_state):
    return front.create_app(fresh_paths)


def post(app, output, values: dict):
    """The reply of the callback with first output `output` to the given input and state values."""
    key = next(k for k in app.callback_map if k.strip(".").startswith(output))
    return run_registered(app, key, values, values)


def download(app, card, **values):
    reply = post(app, f"{card}-download", {f"{card}-download-button": 1, **values})
    return reply.get(f"{card}-download", {}).get("data"), reply


def runs(paths):
    diff = differential.update_diff_inter({"Paths": paths, **DIFF})
    pca = decomposition.update_decomposition_inter({"Paths": paths, "decomposition-method-dropdown": "PCA",
                                                    "decomposition-data-source-dropdown": ["Protein"]})
    my_path = MyPath(paths)
    clusters = clustering.update_feature_clustering_inter(
        {"Paths": paths, "clustering-source-dropdown": ["Glycoform"], "clustering-number-input": 4},
        my_path.get_clustering_dir())
    return diff, pca, clusters


def text_of(path):
    with open(path, newline="") as fh:
        return fh.read()


def test_downloads_equal_the_runs_tables(served, fresh_paths):
    diff, pca, clusters = runs(fresh_paths)
    paths = {"Paths": fresh_paths}
    sent, _ = download(served, "diff", **paths, **{"diff-inter": diff, "diff-fig-source-dropdown": "Glycoform"})
    assert sent["filename"] == "Glycoform_differential.tsv"
    assert sent["content"] == text_of(os.path.join(os.path.dirname(diff), "Glycoform_differential.txt"))
    table = pd.read_csv(io.StringIO(sent["content"]), sep="\t", index_col=0)
    assert len(table) == 80 and {"P-value", "FDR", "Log2FC(median)"} <= set(table.columns)

    for choice in ("Scores", "Variance", "Contribution"):
        sent, _ = download(served, "decomposition", **paths, **{
            "decomposition-inter": pca, "decomposition-figure-source-dropdown": "Protein",
            "decomposition-download-choice": choice})
        assert sent["filename"] == f"Protein_{choice.lower()}.tsv"
        assert sent["content"] == text_of(os.path.join(os.path.dirname(pca), f"Protein_PCA_{choice.lower()}.txt"))
    sent, _ = download(served, "clustering", **paths, **{"feature-clustering-inter": clusters,
                                                         "clustering-figure-source": "Glycoform"})
    assert sent["content"] == text_of(os.path.join(os.path.dirname(clusters), "Glycoform_feature_clustering.txt"))
    # ids such as "01005" stay as written
    assert sent["content"].splitlines()[1].split("\t")[0] in text_of(
        os.path.join(os.path.dirname(clusters), "Glycoform_feature_clustering.txt"))


def association_run(paths):
    """An association run folder as the card leaves it (summary written last, naming both tables)."""
    folder = os.path.join(paths["out_dir"], "association", "00000000000000aa")
    corr = save_result_path(os.path.join(folder, "corr.txt"), pd.DataFrame(
        {"Correlation": [0.5, -0.25], "P-value": [0.01, 0.2]}, index=pd.Index(["01005", "01006"], name="Feature")))
    roc = save_result_path(os.path.join(folder, "roc.txt"), pd.DataFrame({"01005_FPR": [0.0, 1.0]}))
    return save_result_path(os.path.join(folder, "association_summary.txt"), pd.DataFrame(
        {"Source": ["Protein"], "CorrelationPath": [corr], "LogisticPath": [roc]})), corr, roc


def test_association_tables_and_forged_paths_refused(served, fresh_paths, tmp_path):
    summary, corr, roc = association_run(fresh_paths)
    for choice, path in (("Correlation", corr), ("ROC", roc)):
        sent, _ = download(served, "assoc", **{"Paths": fresh_paths, "phenotype-feature-result-inter": summary,
                                               "assoc-download-choice": choice})
        assert sent["content"] == exports.without_row_numbers(text_of(path))
    # the stored tables' row numbers (an unnamed 0, 1, ... column) are not downloaded; ids and values are
    assert exports.without_row_numbers(text_of(roc)) == "01005_FPR\n0.0\n1.0\n"
    assert exports.without_row_numbers(text_of(corr)) == text_of(corr)
    assert exports.without_row_numbers("\tx\n0\t1\n2\t3\n") == "\tx\n0\t1\n2\t3\n"  # not row numbers

    secret = tmp_path / "secret.txt"
    secret.write_text("Feature\tx\nA\t1\n")
    # a store pointing outside the output folder, a summary naming a table outside its run folder,
    # a path climbing out of the run folder: refused in the card, never read
    inside_run = os.path.join(os.path.dirname(summary), "forged_summary.txt")
    save_result_path(inside_run, pd.DataFrame({"Source": ["Protein"], "DiffPath": [str(secret)]}))
    climbing = os.path.join(fresh_paths["out_dir"], "differential", "..", "..", "secret.txt")
    for stored in (str(secret), inside_run, climbing, "/etc/passwd", {"path": "x"}):
        sent, reply = download(served, "diff", **{"Paths": fresh_paths, "diff-inter": stored,
                                                  "diff-fig-source-dropdown": "Protein"})
        assert sent is None and "diff-volcano-fig" not in reply  # told in the card's text, not a figure title
        message = str(reply["loading-output-diff-calculation"])
        assert "refusing" in message or "outside its folder" in message
    sent, reply = download(served, "diff", **{"Paths": fresh_paths, "diff-inter": ""})
    assert sent is None and "run the analysis first" in str(reply["loading-output-diff-calculation"])
    with pytest.raises(ValueError, match="unknown table"):
        exports.table_of(MyPath(fresh_paths), "assoc", summary, None, "../../x")


def graphs_of(page):
    return [c for c in walk(page) if isinstance(c, dcc.Graph)]


def test_figure_export_options_on_served_page_only(served, fresh_paths, layout_state):
    graphs = graphs_of(served.layout)
    assert len(graphs) >= 12 and "assoc-surv-fig" in [g.id for g in graphs]
    for g in graphs:
        assert g.config["toImageButtonOptions"] == {"format": "svg", "width": 1200, "height": 800, "scale": 1}
    assert all(getattr(g, "config", None) is None for g in graphs_of(layout_state.build_layout(fresh_paths)))
    # each download button right after its card's run button, the export bar closing the data summary
    for card, (_s, _p, button, offered, _r) in exports.CARDS.items():
        ids = next(ids for ids in ([getattr(k, "id", None) for k in children(c)] for c in walk(served.layout))
                   if button in ids)
        after = ids[ids.index(button) + 1:]
        expected = ([f"{card}-download-choice"] if len(offered) > 1 else []) + [f"{card}-download-button"]
        assert after[:len(expected)] == expected
    assert served.layout["data-summary-card"].children[-1].id == "export-bar"

    reply = post(served, f"{graphs[0].id}.config", {"export-format-radio": "png"})
    configs = [reply[g.id]["config"] for g in graphs]
    assert all(c["toImageButtonOptions"] == {"format": "png", "width": 1200, "height": 800, "scale": 3}
               for c in configs)


def test_report_sections_figures_tables_versions(served, fresh_paths):
    diff, pca, clusters = runs(fresh_paths)
    volcano = {"data": [{"type": "scatter", "x": [1, 2], "y": [3, 4]}],
               "layout": {"title": {"text": "Volcano <b>up</b></script>"}, "width": 5000}}
    # as the page sends a drawn figure back: plotly.js's decoded copy beside the binary array
    values = {"dtype": "f8", "bdata": base64.b64encode(np.array([1.5, 2.5]).tobytes()).decode()}
    box = {"data": [{"type": "box", "y": {**values, "_inputArray": {"0": 1.5, "1": 2.5}}}], "layout": {}}
    empty = {"data": [], "layout": {"title": {"text": "nothing yet"}}}
    reply = post(served, "report-download", {"report-button": 1, "Paths": fresh_paths, "diff-inter": diff,
                                             "decomposition-inter": pca, "feature-clustering-inter": clusters,
                                             "diff-volcano-fig": volcano, "diff-box-fig": box,
                                             "qc-corr-fig": empty})
    sent = reply["report-download"]["data"]
    assert sent["filename"].startswith("veltrana_report_") and sent["filename"].endswith(".html")
    page = sent["content"]
    for section in ("data-summary", "settings", "figures", "tables", "versions"):
        assert f'<section id="{section}">' in page
    # plotly.js once, packed inline (the file opens offline)
    assert page.count("<script src=") == 0 and page.count('id="plotlyjs-gzip"') == 1
    packed = page.split('id="plotlyjs-gzip">', 1)[1].split("<", 1)[0]
    assert gzip.decompress(base64.b64decode(packed)).decode() == plotly.offline.get_plotlyjs()
    # figures headed by card, caption and title; no placeholder; each figure's data as sent, and
    # no text of a figure ends its script element early
    assert "<h3>Differential Expression Analysis \u2014 Volcano plot \u2014 Volcano up</h3>" in page
    assert "<h3>Differential Expression Analysis \u2014 Box plot</h3>" in page
    assert "diff-box-fig" not in page and "nothing yet" not in page and page.count("</script>") == 4
    drawn = [json.loads(part.split(">", 1)[1].split("</script>", 1)[0])
             for part in page.split('<script type="application/json"')[1:]]
    assert drawn[0]["data"] == volcano["data"] and "width" not in drawn[0]["layout"]
    assert drawn[1]["data"][0]["y"] == values
    # settings: each source's preprocessing and each run's inputs
    assert "Preprocessing: Protein" in page and "Pathological_Status" in page and "T-test(Unpaired)" in page
    assert "<h3>Protein_differential.tsv</h3><p>top 20 of 200 rows</p>" in page
    assert "<h3>Protein_contribution.tsv</h3><p>top 11 of 11 rows, first 12 of 200 columns</p>" in page
    assert "Glycoform_clusters.tsv" in page
    # a store value from elsewhere is left out of the report, never read
    forged = post(served, "report-download", {"report-button": 1, "Paths": fresh_paths,
                                              "diff-inter": fresh_paths["info"]})["report-download"]["data"]
    assert "No analysis run yet." in forged["content"] and "Pathological_Status</td>" not in forged["content"]
    assert f"<th>veltrana</th><td>{__version__}</td>" in page
    assert f"<th>pandas</th><td>{importlib.metadata.version('pandas')}</td>" in page
