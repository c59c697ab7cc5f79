"""What the test modules share: component trees, the registered callbacks, callback
requests as the page posts them, a fresh interpreter, and data written as the cards leave it."""

import json
import os
import subprocess
import sys
import threading

import numpy as np
import pandas as pd

from veltrana.plugins import callbacks, vistro
from veltrana.analyses.matrices import DEFAULT_SETTINGS, FINGERPRINT_KEY
from veltrana.study.loader import file_fingerprint
from veltrana.plugins.tables import save_result_path


# ---- component trees ---------------------------------------------------------------

def children(component) -> list:
    """A component's children as a list (a single child in a list of one)."""
    kids = getattr(component, "children", None)
    if kids is None or isinstance(kids, str):
        return []
    return list(kids) if isinstance(kids, (list, tuple)) else [kids]


def walk(component):
    """The component and every component below it, depth first (text and numbers are no components)."""
    yield component
    for kid in children(component):
        if hasattr(kid, "to_plotly_json"):
            yield from walk(kid)


def by_id(tree, wanted):
    """The first component of `tree` with id `wanted` (depth first), or None."""
    return next((c for c in walk(tree) if getattr(c, "id", None) == wanted), None)


def ids_in(tree) -> list:
    """Every component id in a tree, depth first."""
    return [c.id for c in walk(tree) if getattr(c, "id", None) is not None]


def kinds(component) -> list:
    """The class names of a component's children, in order."""
    return [type(k).__name__ for k in children(component)]


# ---- registered callbacks --------------------------------------------------------------

def make_app(paths):
    return vistro.build_app(paths)


def callback(app, first_output):
    """The undecorated function registered with `first_output` ("id.prop") as its first output."""
    for key, entry in app.callback_map.items():
        if key.strip(".").split("...")[0] == first_output:
            return entry["callback"].__wrapped__
    raise KeyError(first_output)


def by_name(app) -> dict:
    """Registered name -> undecorated callback (of a repeated name, the later one); client-side
    callbacks, which run in the browser, have none."""
    return {v["callback"].__wrapped__.__name__: v["callback"].__wrapped__ for v in app.callback_map.values()
            if "callback" in v}


# ---- requests and processes ------------------------------------------------------------

def run_python(code: str, cwd, env=None, timeout=120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (module state at import is per process)."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=full_env, capture_output=True,
                          text=True, timeout=timeout)


def dep(ident, prop, value=None, with_value=False):
    d = {"id": ident, "property": prop}
    if with_value:
        d["value"] = value
    return d


def request(outputs, inputs, states=()):
    """The JSON body that the page posts for one callback."""
    outs = [dep(i, p) for i, p in outputs]
    key = outs[0]["id"] + "." + outs[0]["property"] if len(outs) == 1 else \
        ".." + "...".join(f"{o['id']}.{o['property']}" for o in outs) + ".."
    return {"output": key, "outputs": outs[0] if len(outs) == 1 else outs,
            "inputs": [dep(i, p, v, True) for i, p, v in inputs],
            "state": [dep(i, p, v, True) for i, p, v in states],
            "changedPropIds": [f"{inputs[0][0]}.{inputs[0][1]}"]}


def post(client, body):
    """(status, JSON reply) of one callback request through a Flask test client."""
    reply = client.post("/_dash-update-component", data=json.dumps(body), content_type="application/json")
    return reply.status_code, reply.get_json(silent=True)


def in_threads(work, count: int) -> list:
    """Runs `work()` on `count` threads at once; the exceptions they raised."""
    errors = []

    def guarded():
        try:
            work()
        except Exception as exc:  # noqa: BLE001 - collected for the caller's assertion
            errors.append(exc)

    threads = [threading.Thread(target=guarded) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


# ---- data as the cards leave it ------------------------------------------------------------

def write_preprocessed(my_paths) -> None:
    """Writes each source's matrix as the default preprocessing leaves it (features >50 % missing dropped)."""
    my_path = callbacks.MyPath(my_paths)
    os.makedirs(my_path.get_preprocess_dir(), exist_ok=True)
    for source in my_path.sources():
        raw = callbacks.read_raw_expression(my_path.get_expr_path(source))
        keep = raw.isna().mean() * 100 <= float(DEFAULT_SETTINGS["Filter"])
        callbacks.save_result_path(my_path.get_preprocess_path(source), raw.loc[:, keep])
        # The settings beside it name the raw file it came from, so it is not rebuilt.
        with open(my_path.get_preprocess_settings_path(source), "w") as fh:
            json.dump(dict(DEFAULT_SETTINGS, **{FINGERPRINT_KEY: file_fingerprint(my_path.get_expr_path(source))}),
                      fh)


def pair_patients(my_paths) -> list:
    """Gives each Normal sample the Patient_ID of one Tumor sample (a paired design); returns the pairs."""
    info = pd.read_csv(my_paths["info"], sep="\t", index_col=0)
    tumor = list(info.index[info["Pathological_Status"] == "Tumor"])
    normal = list(info.index[info["Pathological_Status"] == "Normal"])
    pairs = list(zip(tumor, normal))
    for t, n in pairs:
        info.loc[n, "Patient_ID"] = info.loc[t, "Patient_ID"]
    info.to_csv(my_paths["info"], sep="\t")
    return pairs


def write_raw_as_preprocessed(my_path) -> None:
    """Writes each source's matrix as read, unfiltered, as its preprocessed matrix."""
    for source in my_path.sources():
        callbacks.save_result_path(my_path.get_preprocess_path(source),
                                   callbacks.read_raw_expression(my_path.get_expr_path(source)))


def write_numeric_phenotypes(my_path) -> str:
    """Writes the numerical phenotype columns where the profiling card leaves them; returns the path."""
    info = callbacks.read_info_file(my_path.get_meta_path())
    return callbacks.save_result_path(os.path.join(my_path.get_out_dir(), "profile", "numeric.txt"),
                                      info[[c for c in info.columns if "(Numerical" in c]])


def write_results(my_path, n_contrib=150, scaled=True):
    """Differential, decomposition and clustering results as the analysis cards write them."""
    out = my_path.get_out_dir()
    diff_table = pd.DataFrame({"Feature": ["a", "b", "c", "d", "e", "f"],
                               "Significance": ["U", "U", "S-D", "D", "NS", "S-D"]})
    diff_source = save_result_path(os.path.join(out, "differential", "Protein_diff.txt"), diff_table)
    diff = save_result_path(os.path.join(out, "differential", "summary.txt"),
                            pd.DataFrame({"Source": ["Protein"], "DiffPath": [diff_source]}))
    decomposition = save_result_path(
        os.path.join(out, "decomposition", "summary.txt"),
        pd.DataFrame({"Source": ["Protein", "Glycoform"], "Method": ["PCA", "TSNE"],
                      "BaseName": ["Protein_PCA", "Glycoform_TSNE"]}))
    values = np.arange(n_contrib, dtype=float)[::-1] % 97  # distinct ranks, not in column order
    contribution = pd.DataFrame([values * 2, values],
                                index=["Raw" if scaled else "Other", "Scaled" if scaled else "Other2"],
                                columns=[f"F{i}" for i in range(n_contrib)])
    contribution.to_csv(os.path.join(out, "decomposition", "Protein_PCA_PCA_contribution.txt"), sep="\t")
    clustering = save_result_path(
        os.path.join(out, "clustering", "summary.txt"),
        pd.DataFrame({"Source": ["Glycoform"], "Method": ["Hierarchical clustering"], "BaseName": ["Glyco_hc"]}))
    pd.DataFrame({"FeatureCluster": [2, 1, 2, 10]}, index=pd.Index(["g1", "g2", "g3", "g4"], name="Feature")) \
        .to_csv(os.path.join(out, "clustering", "Glyco_hc_feature_clustering.txt"), sep="\t")
    return diff, decomposition, clustering, contribution


def write_summary(paths, rows):
    path = os.path.join(paths["out_dir"], "summary.txt")
    pd.DataFrame(rows, columns=["Source", "DiffPath"]).to_csv(path, sep="\t")
    return path


def _valued(dependencies, values) -> list:
    """Each dependency with its value: `values` by component id (dict), in order (list), or None."""
    if isinstance(values, dict):
        given = [values.get(d["id"]) for d in dependencies]
    else:
        given = list(values or ()) + [None] * len(dependencies)
    return [{**d, "value": v} for d, v in zip(dependencies, given)]


def registered_body(app, key, inputs, states=None) -> dict:
    """The JSON body the page posts to run the callback registered under `key`."""
    entry = app.callback_map[key]
    single = not isinstance(entry["output"], (list, tuple))
    outputs = [{"id": o.component_id, "property": o.component_property}
               for o in ([entry["output"]] if single else entry["output"])]
    first = entry["inputs"][0]
    return {"output": key, "outputs": outputs[0] if single else outputs,
            "inputs": _valued(entry["inputs"], inputs), "state": _valued(entry.get("state", []), states),
            "changedPropIds": [f"{first['id']}.{first['property']}"]}


def run_registered(app, key, inputs, states=None) -> dict:
    """The outputs (and side updates) the callback registered under `key` answers with."""
    status, answer = post(app.server.test_client(), registered_body(app, key, inputs, states))
    assert status == 200, answer
    return {**answer.get("response", {}), **answer.get("sideUpdate", {})}


def require_limma() -> None:
    """Skips the test when R with limma is not installed; fails it where CI says it must be."""
    import pytest
    import shutil

    if shutil.which("Rscript") and subprocess.run(["Rscript", "-e", "library(limma)"],
                                                  capture_output=True).returncode == 0:
        return
    if os.environ.get("VELTRANA_REQUIRE_BROWSER") == "1":
        pytest.fail("Rscript with limma is missing (VELTRANA_REQUIRE_BROWSER=1)")
    pytest.skip("Rscript with limma is not installed")
