"""Many threads calling the dashboard at once get what one thread gets."""

import random
import threading

import pandas as pd
import pytest

from support import post, request, write_numeric_phenotypes, write_raw_as_preprocessed, write_results
from veltrana.plugins import callbacks, layout, vistro
from veltrana.runs import results
from veltrana.plugins.tables import save_result_path

THREADS = 8
ROUNDS = 3  # each thread sends every request this many times, in its own order


@pytest.fixture
def server(fresh_paths):
    my_path = callbacks.MyPath(fresh_paths)
    write_raw_as_preprocessed(my_path)
    numeric = write_numeric_phenotypes(my_path)
    diff, decomposition, clustering, _ = write_results(my_path)
    protein = callbacks.read_expr_path(my_path.get_preprocess_path("Protein")).columns
    # The differential sets over real demo genes, so that the enrichment finds terms.
    diff_source = pd.DataFrame({"Feature": protein[:60], "Significance": ["U"] * 30 + ["S-D"] * 30})
    save_result_path(callbacks.read_result_path(diff)["DiffPath"].iloc[0], diff_source)
    app = vistro.build_app(fresh_paths)
    app.layout = layout.build_layout(fresh_paths)
    return {"client_of": app.server.test_client, "paths": fresh_paths, "numeric": numeric,
            "results": (diff, decomposition, clustering), "my_path": my_path}


def requests_for(s):
    paths = s["paths"]
    P = ("Paths", "data", paths)
    diff, decomposition, clustering = s["results"]
    sets = results.feature_sets_path(s["my_path"], diff, decomposition, clustering)
    summary = results.association_paths(s["my_path"], "Protein", "CA19-9(Numerical)", "Pathological_Status",
                                        ["Tumor", "Normal"], "Differential@U", sets)["summary"]
    return {
        "collect": request([("feature-sets-inter", "data"), ("loading-output-phenotype-feature-2", "children")],
                           [("diff-inter", "data", diff), ("decomposition-inter", "data", decomposition),
                            ("feature-clustering-inter", "data", clustering)], [P]),
        "groups": request([("assoc-target-groups-dropdown", "options"), ("assoc-target-groups-dropdown", "value")],
                          [("assoc-target-phenotype-dropdown", "value", "Smoking(Categorical)")], [P]),
        "phenotypes": request([("assoc-phenotype-dropdown", "options"), ("assoc-phenotype-dropdown", "value")],
                              [("numeric-info-inter", "data", s["numeric"])], [P]),
        "features": request([("assoc-feature-set-dropdown", "options"), ("assoc-feature-set-dropdown", "value")],
                            [("assoc-data-source-dropdown", "value", "Protein"), ("feature-sets-inter", "data", sets)],
                            [P]),
        "run": request([("phenotype-feature-result-inter", "data"), ("loading-output-phenotype-feature-1", "children")],
                       [("run-assoc-button", "n_clicks", 1), ("feature-sets-inter", "data", sets),
                        ("numeric-info-inter", "data", s["numeric"]), ("assoc-feature-set-dropdown", "options", [])],
                       [("assoc-data-source-dropdown", "value", "Protein"),
                        ("assoc-phenotype-dropdown", "value", "CA19-9(Numerical)"),
                        ("assoc-target-phenotype-dropdown", "value", "Pathological_Status"),
                        ("assoc-target-groups-dropdown", "value", ["Tumor", "Normal"]),
                        ("assoc-feature-set-dropdown", "value", "Differential@U"), P]),
        "scatter": request([("assoc-corr-fig", "figure"), ("loading-output-phenotype-feature-corr", "children"),
                            ("assoc-roc-figure-feature-dropdown", "options"),
                            ("assoc-roc-figure-feature-dropdown", "value")],
                           [("run-assoc-button", "n_clicks", 1), ("phenotype-feature-result-inter", "data", summary)],
                           [P]),
        "libraries": request([("enrich-gene-sets-dropdown", "options"), ("enrich-gene-sets-dropdown", "value")],
                             [P]),
        "ora": request([("enrich-ora-fig", "figure"), ("loading-output-phenotype-enrich-figure1", "children")],
                       [("feature-sets-inter", "data", sets), ("enrich-data-source-dropdown", "value", "Protein"),
                        ("enrich-feature-set-dropdown", "value", "Differential@U"),
                        ("enrich-gene-sets-dropdown", "value", "demo_pathways.gmt")], [P]),
    }


def test_threads_agree_with_one_thread(server):
    bodies = requests_for(server)
    client = server["client_of"]()
    # One thread first: the stored results every later request reads.
    expected = {}
    for name, body in bodies.items():
        status, reply = post(client, body)
        assert status == 200, (name, reply)
        expected[name] = reply

    failures, done = [], []

    def worker(seed):
        own = server["client_of"]()
        order = [name for name in bodies for _ in range(ROUNDS)]
        random.Random(seed).shuffle(order)
        for name in order:
            status, reply = post(own, bodies[name])
            if status != 200 or reply != expected[name]:
                failures.append((name, status))
            done.append(name)

    threads = [threading.Thread(target=worker, args=(seed,), daemon=True) for seed in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(240)
    assert not any(t.is_alive() for t in threads), "deadlock: threads still running"
    assert failures == []
    assert len(done) == THREADS * ROUNDS * len(bodies)
    assert not vistro.tlock.locked()
