"""The page's component tree against its committed snapshot (page_snapshot.json).

A deliberate change of the page regenerates the snapshot with `make snapshot`; its diff is
the review of the change.
"""

import difflib

import page_snapshot


def test_page_matches_its_snapshot():
    with open(page_snapshot.SNAPSHOT, encoding="utf-8") as fh:
        committed = fh.read()
    built = page_snapshot.as_text(page_snapshot.page())
    if built != committed:
        diff = "".join(list(difflib.unified_diff(committed.splitlines(True), built.splitlines(True),
                                                 "page_snapshot.json", "the page built now", n=2))[:80])
        raise AssertionError("the page differs from its snapshot; if that is intended, run "
                             f"`make snapshot` and commit the file:\n{diff}")
