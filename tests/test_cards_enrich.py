"""The enrichment card: its tree, the gene-set libraries, the enrichment call and its lock."""

import math
import os
import threading
import time

import pandas as pd
import pytest
import requests

from support import callback, ids_in, write_raw_as_preprocessed
from veltrana.plugins import callbacks, layout, vistro
from veltrana.analyses import enrichment
from veltrana.genesets import load_library
from veltrana.plugins.tables import save_result_path

GMT = "demo_pathways.gmt"
OFFLINE = "GO_Biological_Process_offline"


@pytest.fixture
def env(fresh_paths):
    my_path = callbacks.MyPath(fresh_paths)
    write_raw_as_preprocessed(my_path)
    protein = callbacks.read_expr_path(my_path.get_preprocess_path("Protein")).columns
    glyco = callbacks.read_expr_path(my_path.get_preprocess_path("Glycoform")).columns
    sets = save_result_path(my_path.get_feature_sets_path(), pd.DataFrame(
        [["Differential", "Protein", "U", ";".join(protein[:80])],
         ["Differential", "Protein", "S-U", ""],
         ["Differential", "Protein", "D", ";".join(protein[-3:])],
         ["Decomposition", "Glycoform", "TOP100", ";".join(glyco[:30])]],
        columns=["Module", "Source", "Label", "Features"]))
    app = vistro.build_app(fresh_paths)
    return {"paths": fresh_paths, "my_path": my_path, "sets": sets, "protein": list(protein),
            "glyco": list(glyco), "cb": lambda output: callback(app, output)}


def ora(env, source="Protein", feature_set="Differential@U", gene_sets=GMT, sets=None):
    cb = env["cb"]("enrich-ora-fig.figure")
    return cb(env["sets"] if sets is None else sets, source, feature_set, gene_sets, env["paths"])


@pytest.fixture
def online(monkeypatch):
    """The remote service counts as reachable (the calls themselves are replaced)."""
    monkeypatch.setattr(callbacks, "enrichr_reachable", lambda: True)


@pytest.fixture
def recorded(monkeypatch):
    """Replaces gseapy's enrichr by a recorder; `result` is what it returns."""
    calls = []

    class Result:
        res2d = pd.DataFrame({"Term": [f"T{i}" for i in range(12)],
                              "Adjusted P-value": [10.0 ** -i for i in range(12)]})

    state = {"calls": calls, "result": Result()}

    def enrichr(**kwargs):
        calls.append(kwargs)
        return state["result"]

    monkeypatch.setattr(vistro.gseapy, "enrichr", enrichr)
    return state


def test_card_trees():
    control = layout.build_enrich_control_card()
    assert control.id == "enrich_control_card" and not getattr(control, "className", None)
    assert [c.children for c in control.children if type(c).__name__ in ("H5", "P")] == [
        "Enrichment Analysis", "Select data source", "Select feature set", "Gene sets"]
    dropdowns = [c for c in control.children if type(c).__name__ == "Dropdown"]
    assert [d.id for d in dropdowns] == ["enrich-data-source-dropdown", "enrich-feature-set-dropdown",
                                         "enrich-gene-sets-dropdown"]
    assert all(d.options == [] and d.value == "" and not getattr(d, "multi", False) for d in dropdowns)
    card = layout.build_enrich_card()
    assert (card.id, card.className) == ("enrich-analysis", "row")
    assert [(c.id, c.className) for c in card.children] == [("enrich-control-div", "four columns"),
                                                            ("enrich-pathway-div", "eight columns")]
    ora_card = card.children[1].children[0]
    assert ora_card.id == "enrich-enrichr-card" and ora_card.children[0].children == "ORA analysis"
    assert ora_card.children[1].id == "loading-phenotype-enrich-figure1" and ora_card.children[1].type == "circle"
    assert ora_card.children[2].children[0].id == "enrich-ora-fig"
    gsea = layout.build_enrich_gsea_card()
    assert [getattr(c, "id", None) for c in gsea.children] == [None, "enrich-gsea-pathway-dropdown", None,
                                                               "enrich-gsea-fig"]
    page = ids_in(layout.build_layout({}))
    assert "enrich-ora-fig" in page
    assert "enrich-gsea-fig" not in page and "enrich-gsea-pathway-dropdown" not in page


def test_gene_set_libraries(env, monkeypatch):
    user_dir = env["my_path"].get_user_geneset_dir()
    open(os.path.join(user_dir, "x_gmt.txt"), "w").close()      # not a .gmt file
    os.makedirs(os.path.join(user_dir, "folder.gmt"))              # not a file
    cb = env["cb"]("enrich-gene-sets-dropdown.options")
    options, value = cb(env["paths"])
    values = [o["value"] for o in options]
    libs = callbacks.get_enrich_libraries()
    # The listed libraries first and in order, then the user's files, then the shipped one.
    assert values == libs + [GMT, OFFLINE] and "KEGG_2016" in libs
    assert value == GMT                       # a local library runs offline and keeps the genes here
    os.remove(os.path.join(user_dir, GMT))
    assert cb(env["paths"]) == ([{"label": v, "value": v} for v in libs + [OFFLINE]], OFFLINE)
    monkeypatch.setattr(callbacks, "get_enrich_libraries", lambda: ["Reactome_2022", "WikiPathway_2023_Human"])
    options, value = cb(env["paths"])
    assert [o["value"] for o in options] == ["Reactome_2022", "WikiPathway_2023_Human", OFFLINE]
    assert value == OFFLINE
    # Without any local library nothing is preselected: a remote one only when the user picks it.
    monkeypatch.setattr(callbacks, "get_offline_libraries", lambda: [])
    options, value = cb(env["paths"])
    assert [o["value"] for o in options] == ["Reactome_2022", "WikiPathway_2023_Human"] and value is None


def test_feature_set_pickers(env):
    options = [{"label": "Glycoform", "value": "Glycoform"}]
    assert env["cb"]("enrich-data-source-dropdown.options")(options, env["paths"]) == (options, "Glycoform")
    cb = env["cb"]("enrich-feature-set-dropdown.options")
    opts, value = cb(env["sets"], options, "Protein", env["paths"])
    assert [o["value"] for o in opts] == ["Differential@U", "Differential@S-U", "Differential@D"]
    assert value == "Differential@U"
    assert cb(None, options, "Protein", env["paths"]) == ([], None)


def test_enrichment_with_the_demo_library(env):
    fig, loading = ora(env)
    assert loading == ""
    bars = fig.data[0]
    assert bars.orientation == "h" and 0 < len(bars.y) <= 10
    assert list(bars.x) == sorted(bars.x)                    # most significant last
    assert fig.layout.height == 500 and fig.layout.plot_bgcolor == "White"
    report = os.listdir(env["my_path"].get_enrichment_dir())
    assert report                                             # gseapy's tables land in the enrichment folder
    # Three genes: no term passes gseapy's cutoff; the terms are still drawn, nothing raises.
    fig, _ = ora(env, feature_set="Differential@D")
    assert fig.data and max(fig.data[0].x) < -math.log10(0.05)


def test_enrichment_call(env, recorded, online):
    fig, _ = ora(env)
    call = recorded["calls"][-1]
    assert "description" not in call
    assert type(call["background"]) is int and call["background"] == len(env["protein"])
    assert call["gene_list"] == env["protein"][:80]
    assert call["gene_sets"] == os.path.join(env["my_path"].get_user_geneset_dir(), GMT)
    assert call["outdir"] == env["my_path"].get_enrichment_dir()
    assert list(fig.data[0].y) == [f"T{i}" for i in range(2, 12)]   # ten most significant, the best last

    ora(env, "Glycoform", "Decomposition@TOP100", "KEGG_2016")
    call = recorded["calls"][-1]
    assert call["gene_list"] == callbacks.extract_unique_genes(env["glyco"][:30])
    assert call["background"] == len(set(g.split("_")[0] for g in env["glyco"]))
    assert call["gene_sets"] == "KEGG_2016"

    ora(env, gene_sets=OFFLINE)             # the shipped library goes to gseapy as term -> genes
    call = recorded["calls"][-1]
    assert isinstance(call["gene_sets"], dict) and call["gene_sets"] == load_library(OFFLINE)


def test_nothing_to_show(env, recorded):
    placeholder = lambda fig: fig.layout.paper_bgcolor == "LightSteelBlue" and not fig.data  # noqa: E731
    for result in (None, type("R", (), {"res2d": None})()):
        recorded["result"] = result
        assert placeholder(ora(env)[0])
    calls = len(recorded["calls"])
    assert placeholder(ora(env, feature_set="Differential@S-U")[0])     # an empty set
    assert placeholder(ora(env, sets=float("nan"))[0])
    assert placeholder(ora(env, source=None)[0])
    os.remove(env["my_path"].get_preprocess_path("Protein"))
    assert placeholder(ora(env)[0])
    assert len(recorded["calls"]) == calls


def test_forged_gene_sets_are_refused(env, recorded, tmp_path):
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "x.gmt").write_text("T\t\tGAAA1\n")
    for forged in ("/etc/passwd", "../../x.gmt", str(tmp_path / "other" / "x.gmt"), "missing.gmt",
                   "x_gmt.txt", "Not_A_Library"):
        with pytest.raises(ValueError):
            ora(env, gene_sets=forged)
    assert recorded["calls"] == []


def test_lock_released_after_a_failure(env, monkeypatch, online):
    def failing(**kwargs):
        assert vistro.tlock.locked()
        raise RuntimeError("a fault in the enrichment call")

    monkeypatch.setattr(vistro.gseapy, "enrichr", failing)
    for library in ("KEGG_2016", GMT):
        with pytest.raises(RuntimeError):
            ora(env, gene_sets=library)
        assert not vistro.tlock.locked()
    monkeypatch.undo()
    fig, _ = ora(env)                                              # a second call proceeds
    assert fig.data


def unreachable_message(fig, library):
    title = fig.layout.title.text
    assert fig.layout.paper_bgcolor == "LightSteelBlue" and not fig.data
    assert f"{library} could not be reached" in title and OFFLINE in title
    return title


def test_unreachable_remote_library_is_told(env, monkeypatch):
    # An address that never resolves: the real gseapy is never reached, or the call
    # would wait on its retries.
    monkeypatch.setattr(enrichment, "ENRICHR_ADDRESS", ("enrichr.invalid", 443))
    start = time.monotonic()
    fig, loading = ora(env, gene_sets="KEGG_2016")
    assert time.monotonic() - start < 5 and loading == ""
    unreachable_message(fig, "KEGG_2016")
    assert not vistro.tlock.locked()

    # The service goes away during the call: the same message, the lock released.
    monkeypatch.setattr(callbacks, "enrichr_reachable", lambda: True)
    raised = []

    def dropped(**kwargs):
        raise raised[-1]

    monkeypatch.setattr(vistro.gseapy, "enrichr", dropped)
    for error in (ConnectionError("reset by peer"), requests.exceptions.ConnectTimeout("timed out")):
        raised.append(error)
        unreachable_message(ora(env, gene_sets="Reactome_2022")[0], "Reactome_2022")
        assert not vistro.tlock.locked()
    # With a local library an error is no network matter: it reaches the server.
    raised.append(ConnectionError("reset by peer"))
    with pytest.raises(ConnectionError):
        ora(env)


def test_reachability_check_is_bounded(monkeypatch):
    import socket

    assert enrichment.enrichr_reachable(("enrichr.invalid", 443), timeout=1) is False
    with socket.create_server(("127.0.0.1", 0)) as server:
        assert enrichment.enrichr_reachable(server.getsockname(), timeout=1) is True

    # A name lookup or connection that hangs is abandoned after the timeout.
    def hanging(*args, **kwargs):
        time.sleep(2)
        raise OSError("no answer")

    monkeypatch.setattr(enrichment.socket, "create_connection", hanging)
    start = time.monotonic()
    assert enrichment.enrichr_reachable(timeout=0.3) is False
    assert time.monotonic() - start < 1


@pytest.fixture
def gene_env(env):
    """The Protein source with real gene symbols: 40 DNA repair genes as the feature set
    among 6,000 genes of the library's universe (gseapy takes the background as a count)."""
    library = load_library(OFFLINE)
    repair = library["DNA repair (GO:0006281)"]
    universe = sorted({g for genes in library.values() for g in genes} - set(repair))
    genes = repair[:40] + universe[::2][:5960]
    matrix = pd.DataFrame([[0.1 * (i % 7)] * len(genes) for i in range(6)], columns=genes,
                          index=[f"S{i:03d}" for i in range(6)])
    save_result_path(env["my_path"].get_preprocess_path("Protein"), matrix)
    sets = save_result_path(env["my_path"].get_feature_sets_path(), pd.DataFrame(
        [["Differential", "Protein", "U", ";".join(repair[:40])]], columns=["Module", "Source", "Label", "Features"]))
    return dict(env, sets=sets)


def test_enrichment_on_the_offline_library(gene_env, monkeypatch):
    def no_network(*args, **kwargs):
        raise AssertionError("the offline library needs no network")

    monkeypatch.setattr(enrichment.socket, "create_connection", no_network)
    start = time.monotonic()
    fig, loading = ora(gene_env, gene_sets=OFFLINE)
    assert time.monotonic() - start < 10 and loading == ""
    bars = fig.data[0]
    assert bars.orientation == "h" and len(bars.y) == 10
    assert bars.y[-1] == "DNA repair (GO:0006281)" and max(bars.x) > 20   # 40 of 40 repair genes


def test_calls_are_serialised(env, monkeypatch):
    inside, most = [0], [0]
    guard = threading.Lock()
    real = vistro.gseapy.enrichr

    def counting(**kwargs):
        with guard:
            inside[0] += 1
            most[0] = max(most[0], inside[0])
        try:
            return real(**kwargs)
        finally:
            with guard:
                inside[0] -= 1

    monkeypatch.setattr(vistro.gseapy, "enrichr", counting)
    errors = []
    threads = [threading.Thread(target=lambda: errors.append(None) if ora(env)[0].data else errors.append("empty"))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == [None] * 4 and most[0] == 1
