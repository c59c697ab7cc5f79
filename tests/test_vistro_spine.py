"""The application spine: imports, the lock, build_app."""

import pytest

from support import run_python
from veltrana.plugins import callbacks, layout, plotweave, vistro


def test_module_bindings():
    assert vistro.build_layout is layout.build_layout
    assert vistro.callbacks is callbacks
    assert vistro.volcano is plotweave.volcano and vistro.build_default_fig is plotweave.build_default_fig
    assert vistro.default_phenotype == "Pathological_Status" and vistro.default_figure_height == 500
    for name in ("time", "threading", "os", "re", "gseapy", "np", "pd", "px", "Input", "Output", "State",
                 "dash", "pca_standalone", "sample_dir", "external_stylesheets", "scatter_plot",
                 "genz_volcano", "genz_volcano_pdf", "histogram", "corrplot", "roc_plot", "show_image"):
        assert hasattr(vistro, name), name


def test_app_is_titled_bare_and_independent(fresh_paths):
    first = vistro.build_app(fresh_paths)
    second = vistro.build_app(fresh_paths)
    assert first is not second
    for app in (first, second):
        assert app.title == "Veltrana Dashboard"
        assert app.config.external_stylesheets == []
        assert app.layout is None
        assert app.config.name == "veltrana.plugins.vistro"
    assert first.callback_map is not second.callback_map
    assert list(first.callback_map) == list(second.callback_map)


def test_lock_is_one_per_process(fresh_paths):
    lock = vistro.tlock
    vistro.build_app(fresh_paths)
    assert vistro.tlock is lock
    assert lock.acquire(blocking=False)
    lock.release()


def test_path_object_comes_from_the_host_at_call_time(fresh_paths, monkeypatch):
    seen = []

    class Recorder(callbacks.MyPath):
        def __init__(self, my_paths):
            seen.append(my_paths)
            super().__init__(my_paths)

    monkeypatch.setattr(callbacks, "MyPath", Recorder)
    vistro.build_app(fresh_paths)
    assert seen == [fresh_paths] and seen[0] is fresh_paths


def test_bad_paths_raise_and_return_no_app():
    with pytest.raises(ValueError, match="out_dir"):
        vistro.build_app({"expression": {"Protein": "p.txt"}, "info": "i.txt"})


FALLBACK = """
import sys, types
import veltrana.plugins.plotweave  # imports pca1 relatively, so it must stay importable
# The package's own callbacks and defaults cannot be imported; top-level ones of the same name can.
for name in ("callbacks", "defaults"):
    sys.modules["veltrana.plugins." + name] = None
top = types.ModuleType("callbacks")
defaults = types.ModuleType("defaults")
defaults.default_phenotype, defaults.default_figure_height = "Stage", 321
defaults.sample_dir, defaults.external_stylesheets = ".", []
sys.modules.update(callbacks=top, defaults=defaults)
from veltrana.plugins import vistro
print(vistro.callbacks is top, vistro.default_phenotype, vistro.default_figure_height)
"""


def test_absolute_import_is_used_when_the_relative_one_fails(tmp_path):
    proc = run_python(FALLBACK, tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "Stage", "321"]


def test_import_fails_when_both_imports_fail(tmp_path):
    proc = run_python("import sys\nsys.modules['veltrana.plugins.callbacks'] = None\n"
                      "from veltrana.plugins import vistro\n", tmp_path)
    assert proc.returncode != 0 and "ModuleNotFoundError" in proc.stderr
