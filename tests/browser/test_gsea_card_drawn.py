"""The GSEA card drawn on the demo in a real browser: a differential run, then GSEA against the
demo's own library (its genes are made up), the top terms' table and a term's running score."""

from selenium.webdriver.common.by import By

from harness import graph, pick, press, settle, wait_for

GMT = "demo_pathways.gmt"



def test_gsea_card_draws_on_the_demo(page, server):
    press(page, "run-diff-button")
    wait_for(page, lambda: "Protein" in page.find_element(By.ID, "gsea-source-dropdown").text)
    page.execute_script("document.getElementById('gsea-card').scrollIntoView()")
    pick(page, "gsea-library-dropdown", GMT)
    settle(page)
    permutations = page.find_element(By.ID, "gsea-permutations-input")
    permutations.clear()
    permutations.send_keys("100")
    press(page, "gsea-run-button")
    wait_for(page, lambda: page.find_elements(By.CSS_SELECTOR, "#gsea-terms-table td"))
    assert "genes ranked by" in page.find_element(By.ID, "loading-output-gsea").text
    drawn = wait_for(page, lambda: graph(page, "enrich-gsea-fig") if (graph(page, "enrich-gsea-fig") or {})
                     .get("title") else None)
    assert "NES" in drawn["title"]
    names = [t["name"] for t in drawn["traces"]]
    assert names == ["Running score", "Genes of the set", "Ranked score"]
    page.save_screenshot(str(server["log"].parent / "gsea-card.png"))


def test_the_shipped_library_finds_the_demos_planted_terms(page):
    """The demo's features are real gene symbols with a few GO terms planted in Tumor: GSEA and the
    over-representation of the up-regulated set, both on the shipped offline library, rank them on top."""
    from veltrana.study import demo
    from veltrana.genesets import LIBRARIES

    offline = next(iter(LIBRARIES))
    press(page, "run-diff-button")
    wait_for(page, lambda: "Protein" in page.find_element(By.ID, "gsea-source-dropdown").text)
    page.execute_script("document.getElementById('gsea-card').scrollIntoView()")
    assert offline in page.find_element(By.ID, "gsea-library-dropdown").text  # preselected
    permutations = page.find_element(By.ID, "gsea-permutations-input")
    permutations.clear()
    permutations.send_keys("100")
    press(page, "gsea-run-button")
    wait_for(page, lambda: page.find_elements(By.CSS_SELECTOR, "#gsea-terms-table td"))
    cells = " ".join(c.text for c in page.find_elements(By.CSS_SELECTOR, "#gsea-terms-table td"))
    assert any(term in cells for term in demo.PLANTED), cells[:500]

    pick(page, "enrich-feature-set-dropdown", "Differential@U")
    pick(page, "enrich-gene-sets-dropdown", offline)
    settle(page)
    bars = wait_for(page, lambda: graph(page, "enrich-ora-fig") if (graph(page, "enrich-ora-fig") or {})
                    .get("traces") else None)
    shown = " ".join(str(v) for t in bars["traces"] for v in [*t["x"], *t["y"]])
    assert any(term.split(" (GO:")[0] in shown for term, up in demo.PLANTED.items() if up > 0), shown[:500]
