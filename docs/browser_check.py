"""Opens the built site in headless Chromium, as a reader would, and checks that:

- the search page, asked for ``scalar_get_many``, lists a link to its API entry;
- that link leads to the entry, which shows the function's signature and the C type of
  its native, with that type's declaration.

Usage: ``python docs/browser_check.py BUILD_DIR`` (BUILD_DIR holds ``html/``). The site
is served over HTTP on a free local port, as the search page fetches its index. It
needs Selenium and Debian's chromium and chromium-driver (scripts/docs.sh --check sees to
them). Screenshots of the search results and of the entry go to BUILD_DIR; what the
check saw is printed.
"""

from __future__ import annotations

import functools
import http.server
import sys
import threading
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as seen
from selenium.webdriver.support.ui import WebDriverWait

FUNCTION = "scalar_get_many"
ANCHOR = f"quorpy._fastloop.{FUNCTION}"
SIGNATURE = f"{FUNCTION}(fn, inst, h, pos)"
NATIVE = "QLgetscl_t"
DECLARATION = f"typedef unsigned char (*{NATIVE})(QLu64 inst, QLu64 h, const float* pos, float* value);"


def serve(root: Path) -> http.server.ThreadingHTTPServer:
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args: object) -> None:
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Quiet, directory=str(root)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def browser() -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    # Root in a container has no user namespace for Chromium's sandbox.
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1400"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def one_line(text: str) -> str:
    return " ".join(text.split())


def check(build: Path) -> list[str]:
    """The problems found (none if the site passes); prints what it saw."""
    problems = []
    server = serve(build / "html")
    base = f"http://127.0.0.1:{server.server_address[1]}"
    driver = browser()
    wait = WebDriverWait(driver, 30)
    try:
        driver.get(f"{base}/search.html?q={FUNCTION}")
        # The results come in as the pages are searched; the summary closes the list.
        wait.until(seen.text_to_be_present_in_element((By.ID, "search-results"), "Search finished"))
        links = driver.find_elements(By.CSS_SELECTOR, "#search-results ul li a")
        hrefs = [a.get_attribute("href") or "" for a in links]
        print(f"search for {FUNCTION}: {len(hrefs)} results: " + ", ".join(h.removeprefix(base + "/") for h in hrefs))
        driver.save_screenshot(str(build / "search.png"))
        entry_links = [a for a, h in zip(links, hrefs) if h.endswith(f"api.html#{ANCHOR}")]
        if not entry_links:
            return [f"the search results hold no link to api.html#{ANCHOR}"]
        entry_links[0].click()
        title = wait.until(seen.visibility_of_element_located((By.ID, ANCHOR)))
        entry = title.find_element(By.XPATH, "..")  # the <dl> of the entry: signature and body
        print(f"followed to {driver.current_url.removeprefix(base + '/')}")
        shown = one_line(title.text)
        print(f"entry's signature: {shown}")
        if SIGNATURE not in shown:
            problems.append(f"the entry does not show the signature {SIGNATURE}")
        body = one_line(entry.text)
        for wanted in (f"fn is the address of a {NATIVE}", DECLARATION):
            ok = wanted in body
            print(f"entry shows {wanted!r}: {'yes' if ok else 'NO'}")
            if not ok:
                problems.append(f"the entry does not show {wanted!r}")
        # The signature at the top, below the theme's header bar.
        driver.execute_script("arguments[0].scrollIntoView(); window.scrollBy(0, -100)", title)
        driver.save_screenshot(str(build / f"{FUNCTION}.png"))
        print(f"screenshots: {build / 'search.png'}, {build / f'{FUNCTION}.png'}")
    finally:
        driver.quit()
        server.shutdown()
    return problems


if __name__ == "__main__":
    problems = check(Path(sys.argv[1]).resolve())
    for p in problems:
        print(f"browser check: {p}", file=sys.stderr)
    print("browser check: " + ("FAILED" if problems else "passed"))
    sys.exit(1 if problems else 0)
