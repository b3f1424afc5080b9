#!/usr/bin/python3
"""Sets a printer's default density and media type on the printer
application's web pages with a real browser (headless Chromium driven by
Selenium).  Usage: web_defaults.py BASE-URL PRINTER DARKNESS MEDIA-TYPE LABELS,
the base URL with the administrator's credentials; LABELS 1 when the server
offers its labels, and the page is to show the mirror option by its label."""
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.support.ui import Select, WebDriverWait

base, printer, darkness, media_type, labels = sys.argv[1:6]

options = Options()
options.binary_location = "/usr/bin/chromium"
profile = tempfile.mkdtemp()
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--window-size=1280,2400", "--user-data-dir=" + profile):
    options.add_argument(flag)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    def save(page, field, value):
        browser.get(f"{base}/{printer}/{page}")
        Select(browser.find_element(By.NAME, field)).select_by_value(value)
        button = browser.find_element(By.CSS_SELECTOR, "input[type=submit]")
        browser.execute_script("arguments[0].scrollIntoView({block: 'center'});", button)
        button.click()
        # Only the page that answers the form says it saved; that page has the
        # saved value selected.
        WebDriverWait(browser, 60, ignored_exceptions=(NoSuchElementException, StaleElementReferenceException)).until(
            lambda b: "Changes saved." in b.page_source
            and Select(b.find_element(By.NAME, field)).first_selected_option.get_attribute("value") == value)

    save("printing", "print-darkness", darkness)
    if labels == "1" and "<th>Mirror image:</th>" not in browser.page_source:
        sys.exit("the mirror option is shown without its label")
    if labels == "0" and "quillet-mirror" not in browser.page_source:
        sys.exit("the mirror option is not shown")
    save("media", "ready0-type", media_type)
finally:
    browser.quit()
print("saved print-darkness", darkness, "and media type", media_type)
