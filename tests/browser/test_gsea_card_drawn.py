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
