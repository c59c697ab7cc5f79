"""The Kaplan-Meier card drawn on the demo in a real browser: by phenotype, with bands, and by a
feature split at its median."""

import pandas as pd
from selenium.webdriver.common.by import By

from harness import graph, pick, settle, wait_for
from veltrana.study import demo



def legend(page):
    drawn = graph(page, "assoc-surv-fig") or {"traces": []}
    return [t["name"] for t in drawn["traces"] if t["name"] and " " not in t["name"]]


def click_input(page, container, value):
    page.find_element(By.CSS_SELECTOR, f"#{container} input[value='{value}']").click()
    settle(page)


def test_kaplan_meier_card_draws_on_the_demo(page, server):
    wait_for(page, lambda: sorted(legend(page)) == ["Normal", "Tumor"])
    drawn = graph(page, "assoc-surv-fig")
    assert drawn["title"].startswith("Kaplan-Meier: Pathological_Status (")
    names = [t["name"] for t in drawn["traces"]]
    assert "Tumor censored" in names and "Tumor at risk" in names and "Tumor 95% CI" not in names
    steps = next(t for t in drawn["traces"] if t["name"] == "Tumor")
    assert steps["y"][0] == 1 and all(a >= b for a, b in zip(steps["y"], steps["y"][1:]))
    table = page.find_element(By.ID, "km-pvalue-table").text
    assert "Normal" in table and "Tumor" in table

    page.execute_script("document.getElementById('km-card').scrollIntoView()")
    click_input(page, "km-options-checklist", "95% confidence bands")
    wait_for(page, lambda: any(t["name"] == "Tumor 95% CI" for t in graph(page, "assoc-surv-fig")["traces"]))

    feature = pd.read_csv(server["data"] / demo.PROTEIN_FILE, sep="\t", index_col=0, nrows=2).index[1]
    click_input(page, "km-grouping-radio", "Feature")
    pick(page, "km-feature-dropdown", feature)
    wait_for(page, lambda: legend(page) == ["Low", "High"])
    assert graph(page, "assoc-surv-fig")["title"].startswith(f"Kaplan-Meier: {feature} (Protein), split at median")
    page.save_screenshot(str(server["log"].parent / "km-card.png"))
