"""The GSEA card: the ranking (direction, gene collapse), the run (reused, its table and curves),
the library confinement, and its place on the served page (never in build_layout's page)."""

import json
import os
import re

import numpy as np
import pandas as pd
import pytest

from veltrana import __main__ as front
from veltrana.plugins import callbacks
from veltrana.serve import limits
from veltrana.runs import results
from veltrana.cards import gsea_card as gc
from veltrana.plugins.paths import MyPath
from support import ids_in, run_registered, write_preprocessed

GMT = "demo_pathways.gmt"


def diff_table(features, fold, p, **extra):
    return pd.DataFrame({"Feature": features, "Log2FC(median)": fold, "P-value": p, "Statistic": fold, **extra},
                        index=features)


def test_signed_p_ranks_up_first_and_collapses_features_of_one_gene():
    features = ["MUC1_N57_H5N4", "MUC1_N88_H5N4", "EGFR", "CD44_N25_H3N3", "TP53", "KRAS"]
    table = diff_table(features, [1.0, -2.0, 0.5, -0.1, -1.0, 0.3], [1e-3, 1e-6, 1e-2, 0.5, 1e-4, np.nan])
    before = table.copy()
    scores = gc.feature_scores(table, gc.SIGNED_P)
    pd.testing.assert_frame_equal(table, before)
    assert "KRAS" not in scores.index  # no p-value, no rank
    np.testing.assert_allclose(scores[["EGFR", "TP53"]], [2.0, -4.0])
    ranking, several = gc.gene_ranking(scores)
    assert several == 1
    # MUC1 keeps its feature of largest |score| (-6), not the first one (+3)
    assert list(ranking.index) == ["EGFR", "CD44", "TP53", "MUC1"]
    assert ranking["MUC1"] == pytest.approx(-6.0)
    # p = 0 (underflow) ranks at the top, not as infinity
    zero = gc.feature_scores(diff_table(["A", "B"], [1.0, -1.0], [0.0, 0.5]), gc.SIGNED_P)
    assert np.isfinite(zero).all() and zero["A"] > 300
    assert gc.statistics_of(table) == [gc.SIGNED_P, gc.FOLD_CHANGE]
    with pytest.raises(ValueError, match="unknown ranking"):
        gc.feature_scores(table, gc.MODERATED_T)
    moderated = diff_table(["A", "B"], [1.0, -1.0], [0.1, 0.2], ModeratedT=[-3.0, 2.0])
    assert list(gc.gene_ranking(gc.feature_scores(moderated, gc.MODERATED_T))[0].index) == ["B", "A"]


def test_library_refuses_remote_names_and_paths_outside_the_user_folder(fresh_paths, tmp_path):
    my_path = MyPath(fresh_paths)
    outside = tmp_path / "evil.gmt"
    outside.write_text("T\td\tA\tB\n")
    sets, _ = gc.library(my_path, GMT)
    assert len(sets) > 3
    assert gc.library_choices(my_path) == [*gc.get_offline_libraries(), GMT]
    for forged in ("KEGG_2021_Human", str(outside), "../../evil.gmt", "../" * 6 + str(outside)[1:], None, ["x"]):
        with pytest.raises(ValueError):
            gc.library(my_path, forged)
    with pytest.raises(ValueError, match="no gene-set file"):
        gc.library(my_path, "missing.gmt")
    with pytest.raises(ValueError, match="not a GSEA run"):
        gc.run_folder(my_path, str(tmp_path))


@pytest.fixture
def diff_run(fresh_paths):
    """A published differential run of both demo sources (its summary path)."""
    write_preprocessed(fresh_paths)
    kwargs = {"diff-data-source-dropdown": ["Protein", "Glycoform"], "diff-exp-analysis-methods-dropdown":
              "T-test(Unpaired)", "target-groups-dropdown": "Tumor", "refer-groups-dropdown": "Normal",
              "phenotype-dropdown": "Pathological_Status", "diff-fdr-input": 0.05, "diff-log2fc-input": 1.5,
              "Paths": fresh_paths}
    return callbacks.update_diff_inter(kwargs)


def test_run_is_published_reused_and_drawn(fresh_paths, diff_run, monkeypatch):
    my_path = MyPath(fresh_paths)
    folder = gc.run_gsea(my_path, diff_run, "Glycoform", gc.SIGNED_P, GMT, 20)
    with open(os.path.join(folder, "run.json")) as fh:
        assert json.load(fh)["kind"] == "gsea"
    top = pd.read_csv(os.path.join(folder, gc.TERMS_FILE), sep="\t", index_col=0)
    assert list(top.columns) == gc.TABLE_COLUMNS
    assert top["P-value"].is_monotonic_increasing and (top["Leading edge"] <= top["Set size"]).all()
    assert "several features" in gc.note(folder)  # glycoforms of one gene collapse
    # the note counts the sets tested, not the library's
    tested = re.search(r"(\d+) of the library's (\d+) gene sets have 15 to 500", gc.note(folder))
    assert tested and len(top) <= int(tested[1]) <= int(tested[2])

    # the same choices reuse the run without ranking again; other choices make another run
    monkeypatch.setattr(gc, "prerank", lambda *a: pytest.fail("a published run is computed again"))
    assert gc.run_gsea(my_path, diff_run, "Glycoform", gc.SIGNED_P, GMT, "20") == folder
    monkeypatch.undo()
    other = gc.run_gsea(my_path, diff_run, "Glycoform", gc.FOLD_CHANGE, GMT, 20)
    assert other != folder and results.is_published(other)

    # a p or FDR of 0 from 20 permutations is shown as the bound it is
    shown = [r[column] for r in gc.terms_view(folder).data for column in ("P-value", "FDR")]
    assert 0 not in shown and all(v == "< 0.05" or v > 0 for v in shown)
    assert gc.shown_estimate(0.0, 1000) == "< 0.001" and gc.shown_estimate(0.012345, 1000) == 0.0123

    term = top["Term"].iloc[0]
    res, hits = gc.curve(folder, term)
    ranking = pd.read_csv(os.path.join(folder, gc.RANKING_FILE), sep="\t")["Score"].to_numpy()
    assert len(res) == len(ranking) and len(hits) == top["Set size"].iloc[0]
    # the running score peaks at the term's enrichment score
    assert res[np.argmax(np.abs(res))] == pytest.approx(top["ES"].iloc[0], abs=1e-5)
    fig = gc.term_figure(folder, term)
    lines = {t.name: t for t in fig.data}
    np.testing.assert_array_equal(lines["Genes of the set"].x, hits)
    assert term in fig.layout.title.text
    # the title bounds a p of 0 as the table does
    assert gc.estimate_text(0.0, 20) == "< 0.05" and gc.estimate_text(0.012345, 20) == "0.0123"
    zero = next((t for t, p in zip(top["Term"], top["P-value"]) if p == 0), None)
    if zero is not None:
        assert "p < 0.05" in gc.term_figure(folder, zero).layout.title.text

    for bad in (0, -5, 2.5, "many", None):
        with pytest.raises(ValueError, match="permutations"):
            gc.run_gsea(my_path, diff_run, "Glycoform", gc.SIGNED_P, GMT, bad)
    with open(os.path.join(my_path.get_user_geneset_dir(), "other.gmt"), "w") as fh:
        fh.write("T1\tmade up\t" + "\t".join(f"X{i}" for i in range(40)) + "\n")
    with pytest.raises(ValueError, match="no gene set of other.gmt has 15 to 500"):
        gc.run_gsea(my_path, diff_run, "Protein", gc.SIGNED_P, "other.gmt", 20)
    assert not [f for f in os.listdir(os.path.dirname(folder)) if f.startswith(".partial")]
    with pytest.raises(ValueError, match="no source"):
        gc.run_gsea(my_path, diff_run, "RNA", gc.SIGNED_P, GMT, 20)


@pytest.fixture
def default_limits():
    """The server's limits as shipped; a test that changes them leaves them so."""
    limits.reset()
    yield limits
    limits.reset()


def test_permutations_beyond_the_server_limit_are_refused_and_the_limit_is_a_setting(fresh_paths, diff_run,
                                                                                        default_limits, monkeypatch):
    my_path = MyPath(fresh_paths)
    monkeypatch.setattr(gc, "prerank", lambda *a: pytest.fail("a refused run is computed"))
    for asked in (10_001, 100_000, "10001"):
        with pytest.raises(ValueError, match="the number of permutations must be from 1 to 10,000 on this server"):
            gc.run_gsea(my_path, diff_run, "Glycoform", gc.SIGNED_P, GMT, asked)
    for forged in (True, float("nan"), float("inf"), [5]):
        with pytest.raises(ValueError, match="the number of permutations must be a whole number"):
            gc.permutations_of(forged)
    assert gc.permutations_of(10_000) == 10_000 and gc.permutations_of(3.0) == 3
    controls = gc.gsea_controls([GMT])
    assert (controls["gsea-permutations-input"].min, controls["gsea-permutations-input"].max) == (1, 10_000)
    # a server whose project file raises the limit admits more, and its card says so
    limits.configure({"permutations": 20_000})
    assert gc.permutations_of(20_000) == 20_000
    assert gc.gsea_controls([GMT])["gsea-permutations-input"].max == 20_000
    # one whose limit is lower refuses what the default admits; at the limit a run is made
    monkeypatch.undo()
    limits.configure({"permutations": 12})
    with pytest.raises(ValueError, match="from 1 to 12 on this server, got 20"):
        gc.run_gsea(my_path, diff_run, "Glycoform", gc.SIGNED_P, GMT, 20)
    assert results.is_published(gc.run_gsea(my_path, diff_run, "Glycoform", gc.SIGNED_P, GMT, 12))


def post(app, output, inputs: dict, states: dict):
    key = next(k for k in app.callback_map if output in k)
    return run_registered(app, key, inputs, states)


def test_card_served_below_enrichment_card_never_in_build_layout(fresh_paths, diff_run, monkeypatch):
    from veltrana.plugins import layout

    for name in ("info_df", "phenotypes", "groups"):
        monkeypatch.setattr(layout, name, getattr(layout, name))
    alone = ids_in(layout.build_layout(fresh_paths))
    assert "gsea-card" not in alone and "enrich-gsea-fig" not in alone
    app = front.create_app(fresh_paths)
    top = [getattr(c, "id", None) for c in app.layout.children]
    assert top.index("gsea-card") == top.index("enrich-analysis") + 2
    assert ids_in(app.layout).count("enrich-gsea-fig") == 1

    chosen = post(app, "gsea-source-dropdown.options", {"diff-inter": diff_run}, {})
    assert chosen["gsea-source-dropdown"]["value"] == "Protein"
    assert GMT in chosen["gsea-library-dropdown"]["options"]
    states = {"diff-inter": diff_run, "gsea-source-dropdown": "Protein", "gsea-statistic-dropdown": gc.SIGNED_P,
              "gsea-library-dropdown": GMT, "gsea-permutations-input": 10}
    ran = post(app, "enrich-gsea-pres-inter", {"gsea-run-button": 1}, states)
    folder = ran["enrich-gsea-pres-inter"]["data"]
    term = ran["enrich-gsea-pathway-dropdown"]["value"]
    assert results.is_published(folder) and "genes ranked" in ran["loading-output-gsea"]["children"]
    drawn = post(app, "enrich-gsea-fig", {"enrich-gsea-pathway-dropdown": term}, {"enrich-gsea-pres-inter": folder})
    assert term in drawn["enrich-gsea-fig"]["figure"]["layout"]["title"]["text"]
    # a tampered library name or run folder is told in the card, nothing read
    forged = post(app, "enrich-gsea-pres-inter", {"gsea-run-button": 2},
                  {**states, "gsea-library-dropdown": "../../../etc/passwd.gmt"})
    assert "Not run" in json.dumps(forged["loading-output-gsea"])
    many = post(app, "enrich-gsea-pres-inter", {"gsea-run-button": 3}, {**states, "gsea-permutations-input": 100_000})
    assert "Not run: the number of permutations must be from 1 to 10,000 on this server" in json.dumps(many)
    tampered = post(app, "enrich-gsea-fig", {"enrich-gsea-pathway-dropdown": term},
                    {"enrich-gsea-pres-inter": os.path.dirname(folder)})
    assert "not a GSEA run" in tampered["enrich-gsea-fig"]["figure"]["layout"]["title"]["text"]
