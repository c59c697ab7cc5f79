"""The front door serves a page a browser can load."""

from selenium.webdriver.common.by import By

from harness import console_errors, load, server_errors


def test_page_loads_with_input_card(server, browser):
    load(browser, server["url"])
    assert browser.title == "Veltrana Dashboard"
    area = browser.find_element(By.ID, "expr-input")
    assert area.get_attribute("value") == "Protein=protein_log2r_20210811.txt\nGlycoform=glycoform_log2r_20210811.txt"
    assert console_errors(browser) == []
    assert server_errors(server) == []
