"""The page's component tree as plain data, and the committed snapshot of it.

`python page_snapshot.py` (or `make snapshot`) rewrites page_snapshot.json from the page
as built now; test_page_snapshot compares the two. A figure is recorded by its traces'
types and its layout without the template (plotly's theme, not this page's).
"""

import json
import os
import sys

SNAPSHOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "page_snapshot.json")


def _plain(value):
    """A property value as JSON data: components as trees, figures summarised."""
    if hasattr(value, "to_plotly_json") and hasattr(value, "_namespace"):
        return tree(value)
    if hasattr(value, "to_plotly_json") and hasattr(value, "layout") and hasattr(value, "data"):
        plain = value.to_plotly_json()
        layout = {k: v for k, v in plain["layout"].items() if k != "template"}
        return {"figure": {"traces": [t.get("type") for t in plain["data"]], "layout": _plain(layout)}}
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def tree(component) -> dict:
    """{"type", "props", "children"} of a component and everything below it."""
    plain = component.to_plotly_json()
    props = {k: _plain(v) for k, v in plain["props"].items() if k != "children"}
    node = {"type": f"{plain['namespace']}.{plain['type']}", "props": props}
    if "children" in plain["props"]:
        node["children"] = _plain(plain["props"]["children"])
    return node


def page() -> dict:
    """The tree of the described page, as `build_layout` gives it without a study."""
    from veltrana.plugins import layout

    return tree(layout.build_layout({}))


def as_text(data) -> str:
    return json.dumps(data, indent=1, sort_keys=True, ensure_ascii=False) + "\n"


if __name__ == "__main__":
    with open(SNAPSHOT, "w", encoding="utf-8") as fh:
        fh.write(as_text(page()))
    print(f"wrote {SNAPSHOT}", file=sys.stderr)
