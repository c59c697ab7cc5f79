"""The page frame: module constants, phenotype discovery at import, placeholder, store and input cards."""

import json

from dash import dcc, html

from support import run_python
from veltrana.plugins import layout

STORE_IDS = ["Paths", "info-inter", "decomposition-inter", "numeric-info-inter", "data-source-inter", "diff-inter",
             "profile-corr-inter", "feature-clustering-inter", "feature-sets-inter",
             "phenotype-feature-result-inter", "enrich-gsea-pres-inter", "path-check-result"]


def test_module_constants():
    assert layout.default_figure_height == 500
    assert layout.sample_expression_path == "protein_log2r_20210811.txt"
    assert layout.sample_glycoform_path == "glycoform_log2r_20210811.txt"
    assert layout.sample_information_path == "clinical_information3.txt"
    assert layout.default_phenotype == "Pathological_Status"
    for alias in ("dcc", "html", "dash_table", "pd", "np", "go", "px", "pearsonr", "spearmanr", "dt", "ClientsideFunction"):
        assert hasattr(layout, alias), alias


DISCOVER = """
import json
from veltrana.plugins import layout
print(json.dumps({"info": layout.info_df is not None, "phenotypes": [str(p) for p in layout.phenotypes],
                  "groups": [str(g) for g in layout.groups], "default": layout.default_phenotype}))
"""


def _discover(cwd):
    proc = run_python(DISCOVER, cwd)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_discovery_without_information_file(tmp_path):
    assert _discover(tmp_path) == {"info": False, "phenotypes": [], "groups": [], "default": "Pathological_Status"}


def test_discovery_reads_columns_in_file_order_and_default_groups(tmp_path):
    (tmp_path / "clinical_information3.txt").write_text(
        "Sample\tAge(Numerical)\tPathological_Status\nA\t50\tTumor\nB\t61\tNormal\nC\t70\tTumor\n")
    got = _discover(tmp_path)
    assert got["phenotypes"] == ["Age(Numerical)", "Pathological_Status"]
    assert got["groups"] == ["Normal", "Tumor"]
    assert got["default"] == "Pathological_Status"


def test_discovery_falls_back_to_first_phenotype_and_tolerates_no_columns(tmp_path):
    (tmp_path / "clinical_information3.txt").write_text("Sample\tStage\nA\tII\nB\tI\nC\tII\n")
    assert _discover(tmp_path)["groups"] == ["I", "II"]
    (tmp_path / "clinical_information3.txt").write_text("Sample\nA\nB\n")
    got = _discover(tmp_path)
    assert got["info"] and got["phenotypes"] == [] and got["groups"] == []


def test_discovery_skips_missing_cells_and_fails_on_a_refused_table(tmp_path):
    # Empty cells of the default phenotype used to sort NaN beside text and fail the import.
    (tmp_path / "clinical_information3.txt").write_text(
        "Sample\tPathological_Status\n01005\tTumor\n01006\t\n01007\tNormal\n01008\tNA\n")
    assert _discover(tmp_path)["groups"] == ["Normal", "Tumor"]
    for table in ("Sample\tPathological_Status\nA\tTumor\nA\tNormal\n", ""):  # refused, empty
        (tmp_path / "clinical_information3.txt").write_text(table)
        proc = run_python(DISCOVER, tmp_path)
        assert proc.returncode != 0 and "DataError" in proc.stderr, proc.stderr
        assert ("duplicate" if table else "the file is empty") in proc.stderr


def test_placeholder_figure():
    fig = layout.build_default_fig()
    assert fig == layout.build_default_fig(height=500)
    assert fig.layout.margin.to_plotly_json() == {"l": 20, "r": 20, "t": 20, "b": 20}
    assert fig.layout.paper_bgcolor == "LightSteelBlue" and len(fig.data) == 0
    other = layout.build_default_fig(height=300).to_dict()
    assert other["layout"].pop("height") == 300
    base = fig.to_dict()
    base["layout"].pop("height")
    assert other == base


def test_store_card_holds_twelve_empty_stores_and_the_paths():
    paths = {"expression": {"Protein": "p.txt"}, "info": "i.txt", "out_dir": "out"}
    card = layout.build_dcc_store_card(paths)
    assert card.id == "store-card" and len(card.children) == 13
    stores, last = card.children[:12], card.children[12]
    assert [s.id for s in stores] == STORE_IDS
    assert all(isinstance(s, dcc.Store) for s in stores)
    assert stores[0].data is paths
    assert all(getattr(s, "data", None) is None for s in stores[1:])
    assert isinstance(last, html.Div) and last.id == "test-div" and last.children is None


def test_input_card():
    card = layout.build_input_card()
    assert card.id == "input-card"
    kinds = [type(c).__name__ for c in card.children]
    assert kinds == ["Hr", "P", "Textarea", "Br", "P", "Input", "Br", "P", "Input", "Checklist"]
    texts = [c.children for c in card.children if isinstance(c, html.P)]
    assert texts == ["Expression Matrix Paths", "Information Matrix Path", "Output Directory"]
    area, info, out, check = card.children[2], card.children[5], card.children[8], card.children[9]
    assert area.id == "expr-input"
    assert area.value == "Protein=protein_log2r_20210811.txt\nGlycoform=glycoform_log2r_20210811.txt"
    assert area.style == {"height": 100, "width": "100%"}
    assert (info.id, info.type, info.placeholder, info.value) == ("info-input", "text", "", "clinical_information3.txt")
    assert (out.id, out.value) == ("out-dir", "")
    assert check.id == "path_checklist" and check.value == []
    assert check.options == [{"label": "Confirm Paths", "value": "CP"}]


def test_builders_return_fresh_trees():
    a, b = layout.build_input_card(), layout.build_input_card()
    assert a is not b and a.children[2] is not b.children[2]
    a.children[2].value = "changed"
    assert b.children[2].value.startswith("Protein=")
