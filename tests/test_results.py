"""Analysis runs keyed by their inputs and published whole; failures told on the page."""

import itertools
import os
import time
from pathlib import Path

import pandas as pd
import pytest

from support import by_id, in_threads, post, request, write_numeric_phenotypes, write_preprocessed
from veltrana.plugins import callbacks, layout, vistro
from veltrana.cards import failures
from veltrana.runs import results
from veltrana.analyses import differential


def write_file(name):
    def write(folder, final):
        with open(os.path.join(folder, name), "w") as fh:
            fh.write(final)
    return write


def test_a_run_is_published_once_and_a_failure_never(tmp_path):
    parent = str(tmp_path / "differential")
    calls = []

    def counted(folder, final):
        calls.append(final)
        write_file("t.txt")(folder, final)

    first = results.publish(parent, "differential", {"x": 1}, ["data-1"], counted)
    assert results.publish(parent, "differential", {"x": 1}, ["data-1"], counted) == first
    assert len(calls) == 1
    # The table names its files where they are once published.
    assert Path(first, "t.txt").read_text() == first
    other_inputs = results.publish(parent, "differential", {"x": 2}, ["data-1"], counted)
    other_data = results.publish(parent, "differential", {"x": 1}, ["data-2"], counted)
    assert len({first, other_inputs, other_data}) == 3

    def failing(folder, final):
        write_file("t.txt")(folder, final)
        raise ValueError("group 'Normal' has 1 usable sample")

    with pytest.raises(ValueError, match="usable sample"):
        results.publish(parent, "differential", {"x": 3}, ["data-1"], failing)
    assert sorted(os.listdir(parent)) == sorted(os.path.basename(p) for p in (first, other_inputs, other_data))

    listed = results.list_runs(str(tmp_path))
    assert {r["path"] for r in listed} == {first, other_inputs, other_data}
    assert results.clean_results(str(tmp_path)) == 3 and os.listdir(parent) == []


def test_concurrent_publishers_of_one_run_share_one_folder_and_compute_it_once(tmp_path):
    parent = str(tmp_path / "clustering")
    got, computed = [], []

    def slow(folder, final):
        computed.append(final)
        time.sleep(0.05)
        write_file("t.txt")(folder, final)

    errors = in_threads(lambda: got.append(results.publish(parent, "clustering", {"k": 3}, ["d"], slow)), 8)
    assert errors == [] and len(set(got)) == 1 and len(computed) == 1
    assert os.listdir(parent) == [os.path.basename(got[0])]
    assert sorted(os.listdir(got[0])) == [results.MANIFEST, "t.txt"]
    # Another run is not held up by one being computed.
    other = results.publish(parent, "clustering", {"k": 4}, ["d"], write_file("t.txt"))
    assert other != got[0] and results.list_runs(tmp_path) and len(results.list_runs(tmp_path)) == 2


# ---- the differential service and the page ----------------------------------

def diff_body(paths, target="Tumor", reference="Normal", sources=("Protein",), method="T-test(Unpaired)"):
    return request([("diff-inter", "data"), ("loading-output-diff-calculation", "children")],
                   [("diff-data-source-dropdown", "value", list(sources)),
                    ("preprocess-source-dropdown", "options", []), ("run-diff-button", "n_clicks", 1)],
                   [("diff-exp-analysis-methods-dropdown", "value", method),
                    ("target-groups-dropdown", "value", target), ("refer-groups-dropdown", "value", reference),
                    ("phenotype-dropdown", "value", "Pathological_Status"), ("diff-fdr-input", "value", 0.05),
                    ("diff-log2fc-input", "value", 1.5), ("Paths", "data", paths)])


@pytest.fixture
def served(fresh_paths):
    write_preprocessed(fresh_paths)
    os.makedirs(fresh_paths["out_dir"], exist_ok=True)
    app = failures.install(vistro.build_app(fresh_paths))
    app.layout = layout.build_layout(fresh_paths)
    return app, fresh_paths


def stored(reply, output_id):
    return reply["response"].get(output_id, {})


def test_two_sessions_keep_their_own_results(served):
    app, paths = served
    one, two = app.server.test_client(), app.server.test_client()
    status, reply = post(one, diff_body(paths, "Tumor", "Normal"))
    assert status == 200
    first = stored(reply, "diff-inter")["data"]
    status, reply = post(two, diff_body(paths, "Normal", "Tumor"))
    second = stored(reply, "diff-inter")["data"]
    assert first != second
    summary_one, summary_two = callbacks.read_result_path(first), callbacks.read_result_path(second)
    assert summary_one["Target"].iloc[0] == "Tumor" and summary_two["Target"].iloc[0] == "Normal"
    # Every sample used is on record, and the counts agree with it.
    row = summary_one.iloc[0]
    assert len(row["TargetSampleIds"].split(";")) == row["TargetSamples"]
    assert len(row["ReferenceSampleIds"].split(";")) == row["ReferenceSamples"]

    # The same choices again (a reload, another tab) reuse the run without rewriting it.
    before = os.stat(first).st_mtime_ns
    status, reply = post(two, diff_body(paths, "Tumor", "Normal"))
    assert stored(reply, "diff-inter")["data"] == first and os.stat(first).st_mtime_ns == before


def test_a_failed_run_leaves_the_earlier_one_and_says_why(served, monkeypatch):
    app, paths = served
    client = app.server.test_client()
    _, reply = post(client, diff_body(paths))
    earlier = stored(reply, "diff-inter")["data"]
    earlier_table = callbacks.read_result_path(callbacks.read_result_path(earlier)["DiffPath"].iloc[0])

    real = differential.differential_table

    def second_source_fails(matrix, *args):
        if matrix.shape[1] < 150:  # the glycoform matrix is the smaller one
            raise ValueError("the glycoform run failed")
        return real(matrix, *args)

    monkeypatch.setattr(differential, "differential_table", second_source_fails)
    status, reply = post(client, diff_body(paths, sources=("Protein", "Glycoform")))
    assert status == 200
    # The store keeps pointing at the earlier run; the card says what went wrong.
    assert "diff-inter" not in reply["response"]
    assert "the glycoform run failed" in str(stored(reply, "loading-output-diff-calculation"))
    runs = os.listdir(os.path.dirname(os.path.dirname(earlier)))
    assert runs == [os.path.basename(os.path.dirname(earlier))]
    pd.testing.assert_frame_equal(
        callbacks.read_result_path(callbacks.read_result_path(earlier)["DiffPath"].iloc[0]), earlier_table)


def test_a_replaced_data_file_gives_a_new_run(served):
    app, paths = served
    client = app.server.test_client()
    _, reply = post(client, diff_body(paths))
    before = stored(reply, "diff-inter")["data"]
    raw = pd.read_csv(paths["expression"]["Protein"], sep="\t", index_col=0, dtype={0: str})
    raw.iloc[:, :5] = raw.iloc[:, :5] + 3.0  # the first five samples shift
    raw.to_csv(paths["expression"]["Protein"], sep="\t")
    _, reply = post(client, diff_body(paths))
    after = stored(reply, "diff-inter")["data"]
    assert after != before and os.path.exists(before)
    old = callbacks.read_result_path(callbacks.read_result_path(before)["DiffPath"].iloc[0])
    new = callbacks.read_result_path(callbacks.read_result_path(after)["DiffPath"].iloc[0])
    assert not old["Log2FC(median)"].equals(new["Log2FC(median)"])


def test_failures_reach_the_card(served):
    app, paths = served
    client = app.server.test_client()
    # A run that cannot be done: its loading output says why, the store is left alone.
    _, reply = post(client, diff_body(paths, "Tumor", "Tumor"))
    assert "diff-inter" not in reply["response"]
    assert "target and reference groups are the same" in str(stored(reply, "loading-output-diff-calculation"))

    # A callback with only a store output says why in its card's text, not in a figure's title.
    body = request([("decomposition-inter", "data")],
                   [("run-decomposition-button", "n_clicks", 1), ("preprocess-source-dropdown", "options", []),
                    ("decomposition-data-source-dropdown", "options", [])],
                   [("decomposition-data-source-dropdown", "value", ["Protein"]),
                    ("decomposition-method-dropdown", "value", "ICA"), ("Paths", "data", paths)])
    status, reply = post(client, body)
    assert status == 200
    assert list(reply["sideUpdate"]) == ["loading-output-decomposition"]
    assert "unknown decomposition method 'ICA'" in str(reply["sideUpdate"]["loading-output-decomposition"])


def test_failure_words():
    assert failures.user_message(ValueError("no overlap")) == "no overlap"
    assert failures.user_message(KeyError("Patient_ID")) == "Patient_ID"
    internal = failures.user_message(TypeError("unsupported operand"))
    assert "internal error" in internal and "TypeError" in internal and "server log" in internal
    assert failures.card_note("assoc-download") == "loading-output-phenotype-feature-1"
    assert failures.card_note("Paths") is None


def test_refusals_name_the_study_files_without_the_server_paths(fresh_paths, tmp_path):
    my_path = callbacks.MyPath(fresh_paths)
    # A table that is not there.
    gone = os.path.join(my_path.get_diff_dir(), "gone.txt")
    with pytest.raises(FileNotFoundError) as missing:
        callbacks.read_result_path(gone)
    assert str(tmp_path) in str(missing.value)  # the server log keeps the whole path
    assert failures.user_message(missing.value) == "no such table: 'results/differential/gone.txt'"
    # A raw file with a cell that is no number, met when a card preprocesses it.
    with open(fresh_paths["expression"]["Glycoform"], "a") as fh:
        fh.write("X_1_HexNAc\t" + "\t".join(["oops"] * 24) + "\n")
    with pytest.raises(ValueError) as bad:
        callbacks.update_decomposition_inter({"Paths": fresh_paths, "decomposition-method-dropdown": "PCA",
                                              "decomposition-data-source-dropdown": ["Glycoform"]})
    told = failures.user_message(bad.value)
    name = os.path.basename(fresh_paths["expression"]["Glycoform"])
    assert str(tmp_path) not in told and told.startswith(name) and "oops" in told


def test_a_figure_of_unchanged_inputs_is_drawn_once(tmp_path):
    table = tmp_path / "t.txt"
    table.write_text("a\n")
    drawn = []

    def build():
        drawn.append(1)
        return {"figure": len(drawn)}

    first = results.kept_figure("qc", [results.file_state(table), ["S1", "S2"]], build)
    assert results.kept_figure("qc", [results.file_state(table), ["S1", "S2"]], build) is first
    assert results.kept_figure("qc", [results.file_state(table), ["S1"]], build) == {"figure": 2}
    table.write_text("a changed table\n")
    assert results.kept_figure("qc", [results.file_state(table), ["S1", "S2"]], build) == {"figure": 3}


def test_a_phenotype_with_one_group_is_told(served):
    app, paths = served
    info = pd.read_csv(paths["info"], sep="\t", index_col=0, dtype=str)
    info["Site(Categorical)"] = "Liver"
    info.to_csv(paths["info"], sep="\t")
    client = app.server.test_client()
    # Its group pickers stay empty (as they do for any phenotype with fewer than two groups) ...
    _, reply = post(client, request(
        [("target-groups-dropdown", "options"), ("target-groups-dropdown", "value"),
         ("refer-groups-dropdown", "options"), ("refer-groups-dropdown", "value")],
        [("phenotype-dropdown", "value", "Site(Categorical)")]))
    assert reply["response"]["target-groups-dropdown"]["options"] == []
    # ... and the run says why instead of doing nothing.
    body = diff_body(paths, None, None)
    for state in body["state"]:
        if state["id"] == "phenotype-dropdown":
            state["value"] = "Site(Categorical)"
    _, reply = post(client, body)
    message = str(stored(reply, "loading-output-diff-calculation"))
    assert "has 1 group(s) ('Liver')" in message and "diff-inter" not in reply["response"]


def test_an_association_of_all_features_does_not_depend_on_the_feature_sets(fresh_paths):
    my_path = callbacks.MyPath(fresh_paths)
    choices = ("Protein", "Age(Numerical)", "Pathological_Status", ["Tumor"])
    every = [results.association_paths(my_path, *choices, "All Features", sets)["summary"]
             for sets in (None, "/a/feature_sets.txt", "/b/feature_sets.txt")]
    assert len(set(every)) == 1
    chosen = [results.association_paths(my_path, *choices, "Differential@U", sets)["summary"]
              for sets in ("/a/feature_sets.txt", "/b/feature_sets.txt")]
    assert len(set(chosen)) == 2 and every[0] not in chosen


# ---- page load: runs that fire before their pickers are filled ------------------------------

def published_runs(out_dir) -> dict:
    """{run folder: manifest mtime} of every published run (a run computed again rewrites its
    manifest or makes a new folder)."""
    return {str(m.parent): m.stat().st_mtime_ns for m in Path(out_dir).glob("*/*/" + results.MANIFEST)}


def test_runs_fired_before_their_pickers_are_filled_compute_nothing_else(served):
    """On page load a run fires when its inputs arrive, whatever its pickers hold by then: any
    picker may still hold the page's first value. Such a firing computes nothing, or exactly the
    run the filled pickers then ask for (a click reuses it)."""
    app, paths = served
    my_path = callbacks.MyPath(paths)
    numeric = write_numeric_phenotypes(my_path)
    page = app.layout
    sources = [{"label": s, "value": s} for s in my_path.sources()]
    arriving = {"preprocess-source-dropdown.options": sources, "decomposition-data-source-dropdown.options": sources,
                "clustering-source-dropdown.options": sources, "numeric-info-inter.data": numeric,
                "assoc-feature-set-dropdown.options": [{"label": "All Features", "value": "All Features"}],
                "feature-sets-inter.data": None, "Paths.data": paths}
    # The pickers each card fills at page load, with the values they then hold.
    filled = {
        "diff-inter.data": {"diff-data-source-dropdown.value": "Protein", "phenotype-dropdown.value":
                            "Pathological_Status", "target-groups-dropdown.value": "Tumor",
                            "refer-groups-dropdown.value": "Normal"},
        "decomposition-inter.data": {"decomposition-data-source-dropdown.value": "Protein"},
        "feature-clustering-inter.data": {"clustering-source-dropdown.value": "Protein",
                                          "clustering-phenotype-dropdown.value": "Pathological_Status"},
        "phenotype-feature-result-inter.data": {
            "assoc-data-source-dropdown.value": "Protein", "assoc-phenotype-dropdown.value": "Age(Numerical)",
            "assoc-target-phenotype-dropdown.value": "Pathological_Status",
            "assoc-target-groups-dropdown.value": "Tumor", "assoc-feature-set-dropdown.value": "All Features"},
    }
    for first_output, pickers in filled.items():
        entry = next(e for k, e in app.callback_map.items() if k.strip(".").split("...")[0] == first_output)
        deps = [f"{d['id']}.{d['property']}" for d in [*entry["inputs"], *entry["state"]]]
        first = {d: arriving[d] if d in arriving else
                 0 if d.endswith(".n_clicks") else getattr(by_id(page, d.rsplit(".", 1)[0]), d.rsplit(".", 1)[1])
                 for d in deps}
        run = entry["callback"].__wrapped__
        run(*[{**first, **pickers}[d] for d in deps])
        ran = published_runs(paths["out_dir"])
        # Any of the pickers still at the page's first value.
        for unfilled in (c for n in range(1, len(pickers) + 1) for c in itertools.combinations(pickers, n)):
            values = {**first, **{p: v for p, v in pickers.items() if p not in unfilled}}
            try:
                run(*[values[d] for d in deps])
            except ValueError:
                pass  # refused with a message: nothing computed either
            assert published_runs(paths["out_dir"]) == ran, f"{first_output} ran with {unfilled} unfilled"


def fixed_study(tmp_path) -> dict:
    """A study of one small source whose files' contents and times are fixed: its runs' keys are too."""
    data = tmp_path / "study"
    data.mkdir()
    samples = [f"S{i}" for i in range(1, 9)]
    (data / "protein.txt").write_text("Feature\t" + "\t".join(samples) + "\n" + "".join(
        f"G{f}\t" + "\t".join(f"{(f * 7 + s * 3) % 11 / 4 + (1.5 if s <= 4 and f % 2 else 0):.2f}" for s in range(1, 9))
        + "\n" for f in range(1, 7)))
    (data / "info.txt").write_text("Sample\tPathological_Status\tAge(Numerical)\n" + "".join(
        f"{s}\t{'Tumor' if i < 4 else 'Normal'}\t{40 + 3 * i}\n" for i, s in enumerate(samples)))
    for name in ("protein.txt", "info.txt"):
        os.utime(data / name, ns=(1_700_000_000_000_000_000, 1_700_000_000_000_000_000))
    paths = {"expression": {"Protein": str(data / "protein.txt")}, "info": str(data / "info.txt"),
             "out_dir": str(tmp_path / "out")}
    callbacks.MyPath(paths)  # the server's configuration
    return paths


def run_differential(paths) -> str:
    return differential.update_diff_inter({
        "Paths": paths, "diff-data-source-dropdown": ["Protein"], "phenotype-dropdown": "Pathological_Status",
        "target-groups-dropdown": "Tumor", "refer-groups-dropdown": "Normal",
        "diff-exp-analysis-methods-dropdown": "T-test(Unpaired)", "diff-fdr-input": 0.05, "diff-log2fc-input": 1})


def test_stored_runs_keep_their_keys(tmp_path):
    """A run's folder is named by its inputs and the fingerprints of its data: however the run comes by
    those fingerprints, the runs stored by earlier versions must still be found."""
    paths = fixed_study(tmp_path)
    diff = run_differential(paths)
    pca = callbacks.update_decomposition_inter({"Paths": paths, "decomposition-data-source-dropdown": ["Protein"],
                                                "decomposition-method-dropdown": "PCA"})
    association = results.association_paths(callbacks.MyPath(paths), "Protein", "Age(Numerical)",
                                             "Pathological_Status", ["Tumor", "Normal"], "All Features", None)
    keys = [os.path.basename(os.path.dirname(p)) for p in (diff, pca, association["summary"])]
    assert keys == ["ba0c177640b8e6cb", "69de920f64c3325c", "818c3c854b16d537"]


def test_a_run_fingerprints_each_file_once(tmp_path, monkeypatch):
    """From the page's values to the stored folder, a differential run (new, then reused) looks at
    each of its files once: the matrix is made or found up to date and the run keyed from one look."""
    from veltrana.study import loader
    from veltrana.analyses import matrices

    paths = fixed_study(tmp_path)
    seen = []
    real = loader.file_fingerprint

    def counted(path):
        seen.append(os.path.basename(path))
        return real(path)

    monkeypatch.setattr(loader, "file_fingerprint", counted)
    monkeypatch.setattr(matrices, "file_fingerprint", counted)
    run_differential(paths)
    # Making the matrix adds the reader's own two looks (its parsed copy checked before and after parsing).
    assert seen.count("info.txt") == 1 and seen.count("protein.txt") == 1 + 2, seen
    seen.clear()
    run_differential(paths)  # the run stored: found by its key
    assert sorted(seen) == ["info.txt", "protein.txt"]
