"""The whole page, and the layout module serving it on its own."""

import json

from dash import html
from plotly.utils import PlotlyJSONEncoder

from support import ids_in, run_python
from veltrana.plugins import layout

def as_json(component) -> str:
    return json.dumps(component, cls=PlotlyJSONEncoder, sort_keys=True)


def test_page_stacks_the_cards_in_order():
    page = layout.build_layout({"out_dir": "x"})
    assert page.id == "app-container" and len(page.children) == 27
    kids = page.children
    expected = {0: layout.build_dcc_store_card, 1: layout.build_input_card, 3: layout.build_profile_card,
                5: layout.build_preprocess_card, 7: layout.build_qc_card, 9: layout.build_annotation_card,
                13: layout.build_diff_card, 15: layout.build_decomposition_card, 17: layout.build_clustering_card,
                19: layout.build_association_card, 21: layout.build_enrich_card}
    for index, builder in expected.items():
        made = builder({"out_dir": "x"}) if index == 0 else builder()
        assert as_json(kids[index]) == as_json(made), index
    breaks = [i for i, k in enumerate(kids) if isinstance(k, html.Br)]
    assert breaks == [2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 23, 24, 25, 26]
    button = kids[11]
    assert (button.children, button.id, button.n_clicks) == ("Phenotype association Analysis", "run-button", 0)
    assert button.style == {"background-color": "red", "color": "white"}
    assert kids[0].children[0].data == {"out_dir": "x"}


def test_ids_are_unique_and_unplaced_cards_stay_off_the_page():
    page = layout.build_layout()
    ids = ids_in(page)
    assert len(ids) == len(set(ids)) and len(ids) > 100
    for builder in (layout.build_genz_card, layout.build_association_survival_card, layout.build_enrich_gsea_card):
        assert not set(ids_in(builder())) & set(ids), builder.__name__
    again = layout.build_layout()
    assert again is not page and ids_in(again) == ids


MAIN = """
import dash
seen = {}
def fake_run(self, **kwargs):
    seen.update(kwargs, title=self.title, suppress=self.config.suppress_callback_exceptions,
                children=len(self.layout.children), callbacks=len(self.callback_map))
dash.Dash.run = fake_run
from veltrana.plugins import layout
layout.main()
print(seen, layout.server is not None)
"""


def test_main_serves_the_bare_page_in_debug_mode(tmp_path):
    proc = run_python(MAIN, tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == ("{'debug': True, 'title': 'Veltrana Dashboard', 'suppress': True, "
                                   "'children': 27, 'callbacks': 0} True")
