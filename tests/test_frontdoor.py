"""The front door: start-up errors as one line, the served page with its summary card, gzip
responses, user gene-set libraries, and cleaning stored results."""

import gzip
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from support import post, registered_body, run_python, run_registered, walk
from veltrana import __main__ as front
from veltrana import study
from veltrana.plugins import paths, tables
from veltrana.analyses import matrices, qc

def run_front_door(*argv, cwd):
    # The same package the tests import: the installed one, or the source tree built in place.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), MPLBACKEND="Agg", HOME=str(cwd))
    return subprocess.run([sys.executable, "-m", "veltrana", *argv], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=300)




def small_study(folder, matrix_ids=None, cell=None):
    """A comma-separated gzip matrix with ids like "01005" and a sample table, in `folder`."""
    os.makedirs(folder, exist_ok=True)
    ids = [f"0{i:04d}" for i in range(1001, 1025)]
    rng = np.random.default_rng(3)
    matrix = pd.DataFrame(np.round(rng.normal(size=(50, 24)), 4), columns=matrix_ids or ids,
                          index=pd.Index([f"SITE{i}" for i in range(50)], name="Feature"))
    if cell is not None:
        matrix = matrix.astype(object)
        matrix.iloc[7, 3] = cell
    with gzip.open(os.path.join(folder, "phospho.csv.gz"), "wt") as fh:
        matrix.to_csv(fh)
    pd.DataFrame({"Status": ["Tumor", "Normal"] * 12}, index=pd.Index(ids, name="Sample")).to_csv(
        os.path.join(folder, "samples.tsv"), sep="\t")
    return ["--expression", f"Phospho sites={folder}/phospho.csv.gz", "--info", f"{folder}/samples.tsv"]


def bad_settings(folder):
    """Stored settings that keep no feature of a matrix with a missing value in each feature."""
    argv = small_study(folder)
    matrix = pd.read_csv(f"{folder}/phospho.csv.gz", index_col=0, dtype={"Feature": str})
    for i in range(len(matrix)):  # a gap in every feature, none in every sample (that sample would be left out)
        matrix.iloc[i, i % matrix.shape[1]] = np.nan
    matrix.to_csv(f"{folder}/phospho.csv.gz")
    settings = os.path.join(folder, "results", "preprocess", f"{paths.file_safe('Phospho sites')}_settings.json")
    os.makedirs(os.path.dirname(settings))
    with open(settings, "w") as fh:
        json.dump({"Transformation": "NA", "Normalization": "NA", "Filter": "0", "Imputation": "NA"}, fh)
    return argv


def listed_twice(folder):
    argv = small_study(folder)
    with open(os.path.join(folder, "samples.tsv"), "a") as fh:
        fh.write("01003\tNormal\n")
    return argv


@pytest.mark.parametrize("case, message", [
    ("missing file", "no such file: .*nope.tsv"),
    ("not text", r"not UTF-8 text"),
    ("text cell", r"phospho.csv.gz.*SITE7.*1\.2\.3"),
    ("no overlap", "Phospho sites .* shares no sample id"),
    ("sample listed twice", "samples.tsv.*01003"),
    ("no feature kept", "keep no feature"),
    ("out not a folder", "File exists: .*latin.tsv"),
    ("bad project file", "not valid TOML"),
    ("bad option value", "--port: invalid int value"),
    ("unknown option", "unrecognized arguments: --expresion"),
])
def test_start_up_errors_are_one_line_and_a_failing_exit(tmp_path, case, message):
    folder = str(tmp_path / "study")
    argv = {
        "missing file": lambda: small_study(folder)[:2] + ["--info", f"{folder}/nope.tsv"],
        "not text": lambda: [*small_study(folder)[:2], "--info", str(tmp_path / "latin.tsv")],
        "text cell": lambda: small_study(folder, cell="1.2.3"),
        "no overlap": lambda: small_study(folder, matrix_ids=[f"{i}" for i in range(1001, 1025)]),
        "no feature kept": lambda: bad_settings(folder),
        "sample listed twice": lambda: listed_twice(folder),
        "out not a folder": lambda: [*small_study(folder), "--out", str(tmp_path / "latin.tsv")],
        "bad project file": lambda: ["--config", str(tmp_path / "study.toml")],
        "bad option value": lambda: ["--port", "eighty"],
        "unknown option": lambda: ["--expresion", "P=p.tsv"],
    }[case]()
    (tmp_path / "latin.tsv").write_bytes("Sample\tSex\nS1\tmännlich\n".encode("latin-1"))
    (tmp_path / "study.toml").write_text("[expression\n")
    done = run_front_door(*argv, cwd=tmp_path)
    lines = done.stderr.strip().splitlines()
    assert done.returncode != 0 and len(lines) == 1, done.stderr
    assert lines[0].startswith("veltrana: ") and __import__("re").search(message, lines[0]), lines[0]


def test_debug_shows_the_traceback(tmp_path):
    done = run_front_door("--debug", *small_study(str(tmp_path), cell="<5"), cwd=tmp_path)
    assert done.returncode != 0 and "Traceback" in done.stderr and "DataError" in done.stderr


def test_start_up_leaves_the_statistics_libraries_to_their_first_use(tmp_path):
    # They take seconds to import; the names the modules bind still are the libraries' own.
    code = f"""
import sys
from veltrana import __main__ as front, deferred, study
front.start(study.merged_options(front.parse_args({small_study(str(tmp_path))!r})))
print([name for name in deferred.LIBRARIES + ("matplotlib.pyplot",) if name in sys.modules])
import gseapy, lifelines, scipy.stats, sklearn.metrics
from veltrana.plugins import callbacks, layout, plotweave, survival, vistro
print(layout.pearsonr is scipy.stats.pearsonr, plotweave.roc_curve is sklearn.metrics.roc_curve,
      survival.KaplanMeierFitter is lifelines.KaplanMeierFitter, vistro.gseapy is gseapy,
      "gseapy" in dir(vistro), sys.modules["gseapy.enrichr"].EnrichrAPIError in callbacks.REMOTE_ERRORS,
      hasattr(layout, "nope"))
"""
    done = run_python(code, cwd=tmp_path, env={"HOME": str(tmp_path)})
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines()[-2:] == ["[]", "True True True True True True False"]


def test_libraries_imported_on_first_use_by_two_threads_at_once_load_once(tmp_path):
    # lifelines imports itself in a cycle: a second thread importing it while the first one is
    # inside it failed with "partially initialized module" (a page's callbacks run in threads).
    code = """
import sys, threading, time
from veltrana import deferred
from veltrana.plugins import survival
class Slow:  # the first thread pauses inside lifelines' own import, and the second one starts
    def find_spec(self, name, path=None, target=None):
        if name == "lifelines.fitters.coxph_fitter" and threading.current_thread().name == "first":
            second.start()
            time.sleep(0.5)
sys.meta_path.insert(0, Slow())
failed = []
def run(get):
    try:
        get()
    except Exception as err:
        failed.append(repr(err))
first = threading.Thread(target=run, args=(lambda: deferred.load("lifelines"),), name="first")
second = threading.Thread(target=run, args=(lambda: survival.logrank_test,), name="second")
first.start(); first.join(); second.join()
print(failed)
"""
    done = run_python(code, cwd=tmp_path)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines()[-1] == "[]"


def test_a_named_study_starts_with_safe_files_and_its_summary_card(tmp_path, capsys, layout_state):
    argv = small_study(str(tmp_path / "study"))
    app = front.start(study.merged_options(front.parse_args(argv)))
    out = capsys.readouterr().out
    assert "Phospho sites" in out and "50 features, 24 samples used" in out
    ids = [getattr(c, "id", None) for c in app.layout.children]
    assert ids[:3] == ["store-card", "page-nav", "data-summary-card"]
    written = os.listdir(tmp_path / "study" / "results" / "preprocess")
    assert f"{paths.file_safe('Phospho sites')}_preprocessed.npz" in written
    stored = tables.read_expr_path(paths.configured(app.layout.children[0].children[0].data)
                                   .get_preprocess_path("Phospho sites"))
    assert list(stored.index[:2]) == ["01001", "01002"] and stored.shape == (24, 50)
    assert layout_state.phenotypes == ["Status"]
    # The input card names what is served, not the demo's files.
    assert app.layout["expr-input"].value == "Phospho sites=phospho.csv.gz"
    assert app.layout["info-input"].value == "samples.tsv"
    # No numerical phenotype: the association card says why it does nothing
    assert "no numerical phenotype" in app.layout["assoc-no-numerical"].children
    # PCA with a categorical phenotype's effect removed, offered after the described PCA
    assert [o["value"] for o in app.layout["decomposition-method-dropdown"].options] == \
        ["PCA", "PCA, Status effect removed"]
    # The bar names the study (its folder) and links every card by its title.
    bar = app.layout["page-nav"]
    assert bar.children[0].children == "study"
    links = {a.children: a.href for a in bar.children[1:]}
    assert links["Data summary"] == "#data-summary-card" and links["Differential Expression"] == \
        "#diff-exp-analysis-component"
    assert all(app.layout[href[1:]] is not None for href in links.values())


def callback_request(app, output_prefix, inputs, state):
    """The body the page posts to run the callback whose outputs start with `output_prefix`."""
    key = next(k for k in app.callback_map if k.startswith(output_prefix))
    return registered_body(app, key, inputs, state)


def test_demo_serves_its_page_unchanged_around_the_card_with_gzip_responses(fresh_paths, layout_state):
    app = front.create_app(fresh_paths)
    page = layout_state.build_layout(fresh_paths)
    served = [getattr(c, "id", None) for c in app.layout.children]
    assert "assoc-no-numerical" not in [getattr(c, "id", None) for c in walk(app.layout)]  # the demo has some
    assert served.pop(1) == "page-nav"  # the bar of links at the top, then the described page
    assert served.pop(1) == "data-summary-card"
    for card in ("km-card", "gsea-card", "missing-card"):  # the extra cards and their separators stand beside the page
        at = served.index(card)
        del served[at - 1:at + 1]
    assert served == [getattr(c, "id", None) for c in page.children]
    # the survival and GSEA cards, the exports, the moderated tests' run and its way into the card's store
    extra = ("km-", "assoc-surv-fig", "gsea-", "missing-", "-download.data", ".config", "export-format-", "preprocess-group-", "preprocess-figure.figure@", "feature-clustering-inter.data@", "diff-designs-", "diff-inter.data@",
             "-dropdown.options@")
    assert len([k for k in app.callback_map if not any(e in k for e in extra)]) == 44

    body = callback_request(app, "..preprocess-figure.figure", [1, "Protein"],
                            [fresh_paths, "NA", 50, "NA", "NA"])
    client = app.server.test_client()
    packed = client.post("/_dash-update-component", json=body, headers={"Accept-Encoding": "gzip"})
    assert packed.status_code == 200 and packed.headers["Content-Encoding"] == "gzip"
    figure = json.loads(gzip.decompress(packed.data))["response"]["preprocess-figure"]["figure"]
    assert len(figure["data"][0]["x"]) == 24
    plain = client.post("/_dash-update-component", json=body)
    assert "Content-Encoding" not in plain.headers and json.loads(plain.data)["response"]


def test_the_group_rule_runs_from_its_button_beside_the_ratio(fresh_paths, layout_state):
    app = front.create_app(fresh_paths)
    card = app.layout["preproc-card"]
    ids = [getattr(c, "id", None) for c in walk(card)]
    assert ids.index("preprocess-group-filter") > ids.index("preprocess-max-miss-ratio-input")
    key = next(k for k in app.callback_map if k.startswith("preprocess-figure.figure@"))
    states = [app.layout["Paths"].data, "Protein", "NA", 50, "NA", "SampleMin", 5, "Pathological_Status"]
    figure = run_registered(app, key, [1], states)["preprocess-figure"]["figure"]
    assert figure["data"]
    stored = matrices.load_settings(paths.configured(fresh_paths), "Protein")
    assert stored["GroupFilter"] == {"Phenotype": "Pathological_Status", "MinValid": 5}
    # a value the card does not offer is refused in the card, nothing stored
    status, answer = post(app.server.test_client(), registered_body(app, key, [2], states[:-1] + ["Sample_ID"]))
    assert status == 500 or "categorical phenotype" in json.dumps(answer)


def test_a_picker_above_the_limit_gets_its_first_choices_and_answers_searches(fresh_paths, layout_state,
                                                                              monkeypatch):
    from veltrana.serve import limits
    from veltrana.cards import pickers

    monkeypatch.setitem(limits._values, "picker_options", 10)
    monkeypatch.setattr(pickers, "SHOWN", 5)
    app = front.create_app(fresh_paths)
    client = app.server.test_client()
    fill = callback_request(app, "..qc-samples-dropdown.options", ["Protein"], [fresh_paths])
    answer = json.loads(client.post("/_dash-update-component", json=fill).data)["response"]["qc-samples-dropdown"]
    samples = [str(s) for s in tables.read_expr_path(paths.MyPath(fresh_paths).get_preprocess_path("Protein")).index]
    options, selected = answer["options"], answer["value"]
    assert [o["value"] for o in options[:5]] == samples[:5] and selected == samples[:qc.DEFAULT_SAMPLE_COUNT]
    assert options[5] == {"label": f"{len(samples) - 5} more: type to search", "value": pickers.MORE,
                          "disabled": True} and len(options) == 6

    key = next(k for k in app.callback_map if k.startswith("qc-samples-dropdown.options@"))

    def search(text, chosen, paths_value=fresh_paths):
        body = registered_body(app, key, [text], [chosen, "Protein", paths_value])
        return client.post("/_dash-update-component", json=body)

    wanted = samples[-3]
    found = json.loads(search(wanted.upper(), selected).data)["response"]["qc-samples-dropdown"]["options"]
    # the selected samples stay offered first, then the matches (any letter case)
    assert [o["value"] for o in found] == selected + [s for s in samples if wanted.casefold() in s.casefold()]
    # the full list gone (pruned, or another server's folder): the search fills it again
    shutil.rmtree(os.path.join(fresh_paths["out_dir"], "pickers"))
    again = json.loads(search(wanted, None).data)["response"]["qc-samples-dropdown"]["options"]
    assert [o["value"] for o in again] == [s for s in samples if wanted.casefold() in s.casefold()]
    # a forged search, or a forged study, is refused: the picker keeps what it has
    for refused in (search(["x"], selected), search("0", selected, {"study": "elsewhere"})):
        assert "qc-samples-dropdown" not in json.loads(refused.data or b"{}").get("response", {})

    monkeypatch.setitem(limits._values, "picker_options", 10_000)  # below the limit: every choice, no search
    answer = json.loads(client.post("/_dash-update-component", json=fill).data)["response"]["qc-samples-dropdown"]
    assert [o["value"] for o in answer["options"]] == samples
    assert "qc-samples-dropdown" not in json.loads(search("0", selected).data or b"{}").get("response", {})


def test_gene_set_libraries_are_copied_when_new_or_changed(tmp_path):
    libraries, out = tmp_path / "sets", tmp_path / "out"
    libraries.mkdir()
    (libraries / "hallmark.gmt").write_text("SET1\tdesc\tGAAC3\tGENE1\n")
    (libraries / "notes.txt").write_text("not a library")
    assert study.install_gene_sets(str(libraries), str(out)) == ["hallmark.gmt"]
    target = out / "user" / "database" / "enrichment" / "hallmark.gmt"
    assert not target.is_symlink() and target.read_text().startswith("SET1")
    assert study.install_gene_sets(str(libraries), str(out)) == []  # unchanged: left alone
    (libraries / "hallmark.gmt").write_text("SET1\tdesc\tGENE2\n")
    assert study.install_gene_sets(str(libraries), str(out)) == ["hallmark.gmt"]
    assert "GENE2" in target.read_text()
    assert os.listdir(target.parent) == ["hallmark.gmt"]
    (libraries / "hallmark.gmt").unlink()
    with pytest.raises(study.StudyError, match="no .gmt file"):
        study.install_gene_sets(str(libraries), str(out))


def test_clean_results_removes_runs_keeps_the_preprocessed_matrices_and_serves_nothing(fresh_paths, capsys):
    from veltrana.runs import results

    out = fresh_paths["out_dir"]
    for area, inputs in (("differential", {"a": 1}), ("differential", {"a": 2}), ("clustering", {})):
        results.publish(os.path.join(out, area), area, inputs, [],
                        lambda folder, final: open(os.path.join(folder, "t.txt"), "w").close())
    os.makedirs(os.path.join(out, "preprocess"), exist_ok=True)
    assert front.main(["--clean-results", "--data", os.path.dirname(fresh_paths["info"])]) == 0
    assert (f"Removed 3 stored analysis run(s) from {out} (clustering: 1, differential: 2)"
            in capsys.readouterr().out)
    assert results.list_runs(out) == [] and os.path.isdir(os.path.join(out, "preprocess"))
