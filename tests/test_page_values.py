"""Every callback of the application, fed hostile page values in each argument.

A callback may raise (Dash reports the error and keeps its outputs), but only an error
whose type says what to change (a bad value, a missing name or file, a refused table):
never a SystemError or an internal error, it must never take the process down, and a
forged value must never make the server read or write a file outside the configured locations. The calls run in a child process, so a
crash fails the test instead of ending pytest.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# The child imports the same veltrana as this process (installed, or the source tree in development).
CHILD_PATH = os.pathsep.join(p for p in sys.path if p)

DRIVER = textwrap.dedent(
    r'''
    import builtins, faulthandler, json, os, sys, site, sysconfig
    faulthandler.enable()
    os.environ.setdefault("MPLBACKEND", "Agg")
    import pandas as pd

    my_paths = json.loads(sys.argv[1])
    data_root = os.path.realpath(os.path.dirname(my_paths["info"]))

    from veltrana.plugins import callbacks, vistro
    from veltrana.study.loader import DataError

    # What a user can act on: the failure handler shows these messages as they are.
    ACTIONABLE = (ValueError, TypeError, KeyError, LookupError, FileNotFoundError, PermissionError, DataError)

    app = vistro.build_app(my_paths)

    # Files a call reads: only the data folder and the installed libraries may be touched.
    allowed = [data_root] + [os.path.realpath(p) for p in
               {sys.prefix, sys.base_prefix, sysconfig.get_paths()["purelib"], *site.getsitepackages(),
                os.path.dirname(os.path.dirname(vistro.__file__))}]
    reads, watching = [], [False]

    def note(path, where):
        if watching[0] and isinstance(path, (str, bytes, os.PathLike)):
            real = os.path.realpath(os.fsdecode(path))
            if not any(real == a or real.startswith(a.rstrip(os.sep) + os.sep) for a in allowed):
                reads.append([where, real])

    def watch(module, name, at=0):
        real_fn = getattr(module, name)
        def watched(*a, **k):
            if len(a) > at:
                note(a[at], name)
            return real_fn(*a, **k)
        setattr(module, name, watched)

    # Reads, and the two steps by which a result table reaches its place.
    for module, name, at in ((builtins, "open", 0), (pd, "read_csv", 0), (pd, "read_table", 0),
                             (os, "listdir", 0), (os, "makedirs", 0), (os, "replace", 1)):
        watch(module, name, at)

    protein = pd.read_csv(my_paths["expression"]["Protein"], sep="\t", index_col=0, nrows=1)
    sample_ids = list(protein.columns[:2])
    sources = [{"label": s, "value": s} for s in my_paths["expression"]]
    plausible = {
        "Paths": my_paths, "profile-corr-inter": None, "qc-samples-dropdown": sample_ids,
        "phenotype-dropdown": "Pathological_Status", "profile-phenotype-dropdown": "Pathological_Status",
        "assoc-target-phenotype-dropdown": "Pathological_Status", "target-groups-dropdown": "Tumor",
        "refer-groups-dropdown": "Normal", "clustering-number-input": 3, "diff-fdr-input": 0.05,
        "diff-log2fc-input": 1, "diff-exp-analysis-methods-dropdown": "T-test(Unpaired)",
        "decomposition-method-dropdown": "PCA", "preprocess-max-miss-ratio-input": 50,
    }

    produced = {}  # (id, property) -> what a callback gave for it on plausible values

    def good(dep):
        cid, prop = dep["id"], dep["property"]
        if (cid, prop) in produced:
            return produced[(cid, prop)]
        if prop == "n_clicks":
            return 1
        if prop == "options" and "source" in cid:
            return sources
        if cid in plausible:
            return plausible[cid]
        if prop == "value" and "source" in cid:
            return "Protein"
        return None

    forged = [
        {"expression": {"Protein": "/etc/passwd"}, "info": "/etc/passwd", "out_dir": "/"},
        dict(my_paths, out_dir="/tmp"),
        dict(my_paths, info="../../x"),
    ]
    hostile = [None, "", [], {}, 0, -1, 1e308, "x", ["x"], [None], {"a": 1}, ("t",),
               "/etc/passwd", "../../x", "../../../etc/x.gmt", "/etc/x.gmt", True, float("nan"), float("inf"), 2**70, "a" * 5000,
               [{}], [{"value": None}], [{"value": ["x"]}], [[]], [1, 2], [{"a": 1}], [["x"], None], *forged]

    def outputs_of(key):
        return [tuple(part.rsplit(".", 1)) for part in key.strip(".").split("...")]

    # One pass in table order on plausible values with the real services, so later
    # callbacks see real results (stored tables, paths) in their inputs.
    for key, entry in [*app.callback_map.items()] * 2:  # twice: some inputs come from later rows
        deps = list(entry["inputs"]) + list(entry["state"])
        try:
            out = entry["callback"].__wrapped__(*[good(d) for d in deps])
        except Exception as e:
            print("PLAUSIBLE-FAILED", key, repr(e)[:200], flush=True)
            continue
        outs = outputs_of(key)
        for dep, value in zip(outs, out if len(outs) > 1 else [out]):
            produced[dep] = value

    # The long runs are not what is under test from here on; their C++ callers are.
    for name in ("update_diff_inter", "update_decomposition_inter", "update_feature_clustering_inter",
                 "update_phenotype_feature_correlation_inter", "update_phenotype_feature_logistic_inter"):
        setattr(callbacks, name, lambda *a, **k: None)
    vistro.gseapy.enrichr = lambda *a, **k: None

    calls = 0
    for key, entry in app.callback_map.items():
        fn = entry["callback"].__wrapped__
        deps = list(entry["inputs"]) + list(entry["state"])
        base = [good(d) for d in deps]
        cases = [list(base)]
        for i in range(len(deps)):
            for value in hostile:
                args = list(base)
                args[i] = value
                cases.append(args)
        for args in cases:
            print("CALL", key, repr(args)[:300], flush=True)
            watching[0] = True
            try:
                fn(*args)
            except ACTIONABLE:
                pass
            except Exception as e:  # noqa: BLE001 - the type is what is under test
                print("UNACTIONABLE", json.dumps({"callback": key, "args": repr(args)[:300],
                                                  "error": f"{type(e).__name__}: {e}"[:300]}), flush=True)
            finally:
                watching[0] = False
            calls += 1
            if reads:
                print("READ", json.dumps({"callback": key, "args": repr(args)[:300], "reads": reads}), flush=True)
                reads.clear()
    print("DONE", calls, flush=True)
    '''
)


def test_no_page_value_crashes_or_reads_outside(fresh_paths):
    env = dict(os.environ, PYTHONPATH=CHILD_PATH, MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, "-c", DRIVER, json.dumps(fresh_paths)], capture_output=True,
                          text=True, env=env, timeout=600,
                          cwd=os.path.dirname(fresh_paths["info"]))
    lines = proc.stdout.splitlines()
    last_call = next((line for line in reversed(lines) if line.startswith("CALL")), "")
    assert proc.returncode == 0, f"exit {proc.returncode} during {last_call}\n{proc.stderr[-3000:]}"
    assert lines and lines[-1].startswith("DONE"), proc.stderr[-3000:]
    outside = [json.loads(line[5:]) for line in lines if line.startswith("READ")]
    assert not outside, json.dumps(outside[:5], indent=1)
    unactionable = [json.loads(line[13:]) for line in lines if line.startswith("UNACTIONABLE")]
    kinds = sorted({(u["callback"].strip(".").split("...")[0], u["error"].split(":")[0]) for u in unactionable})
    assert not unactionable, f"{len(unactionable)} calls; by first output and type: {kinds}\n" + \
        json.dumps(unactionable[:3], indent=1)


def test_sample_lists_that_lie_or_repeat_are_refused_or_bounded():
    import pandas as pd
    from veltrana.plugins import plotweave

    frame = pd.DataFrame([[1.0, 2.0, 3.0], [2.0, 1.0, 4.0], [0.5, 1.5, 2.0]], index=["S1", "S2", "S3"],
                         columns=["a", "b", "c"])

    class Lying:
        """len() says three, iteration gives one."""

        def __len__(self):
            return 3

        def __iter__(self):
            return iter(["S1"])

    fig = plotweave.qc_corr_matrix_plot(frame, Lying())
    assert len(fig.data) == 1
    with pytest.raises(ValueError, match="4 samples asked of a frame with 3 rows"):
        plotweave.qc_corr_matrix_plot(frame, ["S1"] * 4)


MODULE_DRIVER = textwrap.dedent(
    r'''
    import faulthandler, os, re, sys
    faulthandler.enable()
    os.environ.setdefault("MPLBACKEND", "Agg")
    import numpy as np
    import pandas as pd
    from veltrana.plugins import layout, plotweave, preprocess, ranked, survival

    frame = pd.DataFrame({"Log2FC(median)": [1.5, -2.0, np.nan], "-Log10(FDR)": [3.0, 0.5, 2.0],
                          "S1": [0.1, 0.2, 0.3]}, index=["S1", "S2", "S3"])
    survival_frame = pd.DataFrame({"group": ["a", "b"], "duration": ["1,2", "3"], "event": ["True,False", "True"]})
    odd_frames = [pd.DataFrame(), pd.DataFrame([[1, "x"]], columns=["a", "a"]), pd.Series([1.0, None]),
                  np.arange(6.0).reshape(2, 3), np.float64(1.0), pd.DataFrame({"a": ["x", None]}),
                  pd.DataFrame([[np.inf, -np.inf]]), pd.Index([]), (), [[1, 2], [3]]]
    hostile = [None, "", [], {}, 0, -1, 1e308, float("nan"), "x", ["x"], [None], {"a": 1}, ("t",), "../../x",
               2**70, True, *odd_frames]
    skip = {"main", "info", "genz_volcano_pdf"}  # a server loop, a print, a file writer
    # a valid ranked call: 40 genes, one set of 14, 10 permutations
    ranked_base = [np.linspace(1.0, -1.0, 40), np.arange(0, 40, 3, dtype=np.int64), np.array([0, 14]), 10, 1, 1, 1.0]

    def params(fn):
        text = fn.__nb_signature__[0][0]
        inner = text[text.index("(") + 1:text.rindex(")")]
        return re.findall(r"(?:^|, )(\w+):", inner)

    calls = 0
    for module in (plotweave, survival, preprocess, layout, ranked):
        for name in sorted(dir(module)):
            fn = getattr(module, name)
            if type(fn).__name__ != "nb_func" or name in skip or not name.islower() or name.startswith("build_") \
                    and name not in ("build_default_fig", "build_dcc_store_card", "build_layout"):
                continue
            names = params(fn)
            base = ranked_base[:len(names)] if module is ranked else \
                [survival_frame if module is survival else frame if i == 0 else None for i in range(len(names))]
            for i in range(len(names)):
                for value in hostile:
                    args = list(base)
                    args[i] = value
                    print("CALL", module.__name__, name, i, repr(value)[:80], flush=True)
                    try:
                        fn(*args)
                    except SystemError as e:  # an error the C++ left set: a fault, not an answer
                        print("SYSTEMERROR", module.__name__, name, i, repr(value)[:80], str(e)[:200], flush=True)
                    except Exception:  # noqa: BLE001 - odd frames may fail in any plain way
                        pass
                    calls += 1
    print("DONE", calls, flush=True)
    '''
)


def test_native_functions_survive_hostile_arguments(tmp_path):
    env = dict(os.environ, PYTHONPATH=CHILD_PATH, MPLBACKEND="Agg")
    proc = subprocess.run([sys.executable, "-c", MODULE_DRIVER], capture_output=True, text=True, env=env,
                          timeout=600, cwd=str(tmp_path))
    lines = proc.stdout.splitlines()
    last_call = next((line for line in reversed(lines) if line.startswith("CALL")), "")
    assert proc.returncode == 0, f"exit {proc.returncode} during {last_call}\n{proc.stderr[-3000:]}"
    assert lines and lines[-1].startswith("DONE"), proc.stderr[-3000:]
    faults = [line for line in lines if line.startswith("SYSTEMERROR")]
    assert not faults, "\n".join(faults[:8])


THREADS_DRIVER = textwrap.dedent(
    r'''
    import resource
    import numpy as np
    import pandas as pd
    from veltrana.plugins import preprocess

    df = pd.DataFrame(np.random.default_rng(0).normal(size=(1000, 200)))
    preprocess.norm(df.iloc[:5], "MedianNorm")  # imports done, no worker thread started (nor its stack cached)
    expected = df.sub(df.median(axis=1), axis=0).to_numpy()
    vm = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith("VmSize"))
    # Room for the result, none for a worker thread's stack.
    resource.setrlimit(resource.RLIMIT_AS, (vm + 6 * 2**20, resource.RLIM_INFINITY))
    out = preprocess.norm(df, "MedianNorm").to_numpy()
    assert np.allclose(out, expected), "wrong medians"
    print("OK", flush=True)
    '''
)


def test_preprocessing_goes_on_when_the_system_refuses_a_thread():
    env = dict(os.environ, PYTHONPATH=CHILD_PATH)
    proc = subprocess.run([sys.executable, "-c", THREADS_DRIVER], capture_output=True, text=True, env=env,
                          timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "OK", proc.stderr[-2000:]
