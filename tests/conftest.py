"""Shared fixtures: the demo dataset and the path object of the host stand-in."""

import os

import pytest

from veltrana.study import demo

# Figures written in tests never need a display.
os.environ.setdefault("MPLBACKEND", "Agg")


@pytest.fixture(scope="session")
def demo_dir(tmp_path_factory):
    """A demo dataset (full size) written once per test session."""
    folder = tmp_path_factory.mktemp("demo")
    demo.write_demo(str(folder))
    return str(folder)


@pytest.fixture(scope="session")
def demo_paths(demo_dir):
    return demo.paths_for(demo_dir)


@pytest.fixture
def fresh_paths(tmp_path):
    """A small demo dataset of its own, for tests that write results."""
    return demo.write_demo(str(tmp_path / "data"), n_samples=24, n_proteins=200, n_glycoforms=80)


@pytest.fixture(autouse=True)
def layout_state(monkeypatch):
    """The layout module's study state (create_app gives it the study's phenotypes): every test
    leaves it as it found it, so no later test sees another study's pickers."""
    from veltrana.plugins import layout

    for name in ("info_df", "phenotypes", "groups"):
        monkeypatch.setattr(layout, name, getattr(layout, name))
    return layout
