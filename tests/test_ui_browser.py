"""`vorda ui` in a real browser (headless Chromium through Selenium): the
graph's colours, the matrix's pivot, a log, and a run started from the page.

Needs Debian's chromium and chromium-driver (`make browser-deps`) and
selenium (the test extra). Skipped without them, except under CI=true,
where a missing browser fails the run.
"""

import os
import shutil

import pytest

from test_run import Project
from test_ui import PIPE, UI, wait_for

BROWSER, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
# The sanitizer run preloads its runtime into every process; the browser is not built for it.
NOT_FOR_THE_BROWSER = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
COLOURS = {"ok": "rgb(46, 157, 79)", "failed": "rgb(217, 54, 62)", "skipped": "rgb(240, 140, 46)",
           "stale": "rgb(233, 194, 48)"}


def _missing():
    missing = [name for name, found in (("chromium", BROWSER), ("chromedriver", DRIVER)) if not found]
    try:
        import selenium  # noqa: F401
    except ImportError:
        missing.append("selenium")
    return missing


@pytest.fixture(scope="module")
def browser():
    missing = _missing()
    if missing:
        reason = f"no browser to test the page in: {', '.join(missing)} missing (make browser-deps installs them)"
        if os.environ.get("CI") == "true":
            pytest.fail(reason)
        pytest.skip(reason)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = BROWSER
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1100,700"):
        options.add_argument(arg)
    env = {k: v for k, v in os.environ.items() if k not in NOT_FOR_THE_BROWSER}
    driver = webdriver.Chrome(options=options, service=Service(DRIVER, env=env))
    driver.implicitly_wait(0)
    yield driver
    driver.quit()


@pytest.fixture
def ui(tmp_path):
    project = Project(tmp_path)
    project.write("pipe", PIPE)
    project.run("run", "pipe", check=1)
    started = UI(project, "pipe")
    started.project = project
    started.current()
    yield started
    started.stop()


def css(browser, selector):
    return browser.find_elements("css selector", selector)


def screenshot(browser, name):
    folder = os.environ.get("VORDA_UI_SCREENSHOTS")
    if folder:
        browser.save_screenshot(os.path.join(folder, name))


def test_graph_matrix_and_log(browser, ui):
    browser.get(ui.url)
    boxes = {box.get_attribute("data-asset"): box for box in css(browser, "svg.graph a.box")}
    assert set(boxes) == {"pipe:base", "pipe:part", "pipe:same", "pipe:other"}
    expected = {"pipe:base": "ok", "pipe:other": "ok", "pipe:part": "failed", "pipe:same": "skipped"}
    for name, box in boxes.items():
        fill = box.find_element("css selector", "rect.box-bg").value_of_css_property("fill")
        assert (box.get_attribute("data-state"), fill) == (expected[name], COLOURS[expected[name]])
    assert "1 failed · 5 ok" in boxes["pipe:part"].text
    screenshot(browser, "ui-graph.png")

    boxes["pipe:part"].click()
    wait_for(lambda: "/assets/pipe:part" in browser.current_url)
    headers = [th.text for th in css(browser, "table.matrix thead th.ch")]
    rows = [th.text for th in css(browser, "table.matrix tbody th.rh")]
    assert (headers, rows) == (["north", "south"], ["1", "2", "3"])
    failed = css(browser, "table.matrix a.c.s-failed")
    assert [c.get_attribute("data-p") for c in failed] == ['{"day": 3, "region": "south"}']
    screenshot(browser, "ui-matrix.png")
    # Pivot on the page: rows become columns, in the URL too.
    browser.find_element("css selector", "select[name=rows] option[value=region]").click()
    wait_for(lambda: "rows=region" in browser.current_url and css(browser, "table.matrix"))
    assert [th.text for th in css(browser, "table.matrix thead th.ch")] == ["1", "2", "3"]
    assert [th.text for th in css(browser, "table.matrix tbody th.rh")] == ["north", "south"]
    assert css(browser, "table.matrix tbody tr")[1].find_elements("css selector", "a.c")[2].get_attribute(
        "data-state") == "failed"

    # A cell opens its last job; its log opens from there.
    css(browser, "table.matrix a.c.s-failed")[0].click()
    wait_for(lambda: "/partition" in browser.current_url)
    assert "ValueError: no data for <b>south</b> on day 3" in browser.find_element("css selector", "pre.error").text
    browser.find_element("css selector", "a.log").click()
    wait_for(lambda: "/log/" in browser.current_url)
    assert "making south 3" in browser.find_element("css selector", "pre.log").text


def test_run_from_the_page_updates_it(browser, ui):
    source = ui.project.path / "pipe.py"
    source.write_text(source.read_text().replace('raise ValueError', 'pass  # ValueError'))
    browser.get(ui.url + "assets/pipe:part")
    browser.execute_script("window.notReloaded = true")
    wait_for(lambda: css(browser, "table.matrix a.c.s-stale"), what="the edit to show")
    assert len(css(browser, "table.matrix a.c.s-stale")) == 5
    # Select the failed cell and a stale one, with upstream.
    browser.find_element("id", "select-mode").click()
    css(browser, "table.matrix a.c.s-failed")[0].click()
    css(browser, 'table.matrix a.c[data-p=\'{"day": 3, "region": "north"}\']')[0].click()
    assert browser.find_element("id", "selected-count").text == "2 selected"
    browser.find_element("id", "upstream").click()
    browser.find_element("id", "run-btn").click()
    message = wait_for(lambda: browser.find_element("id", "run-msg").text.startswith(("started", "not")) and
                       browser.find_element("id", "run-msg").text)
    assert message.startswith("started: vorda run") and "--select +pipe:part" in message
    # Every partition of day 3 ran (the selection's keys in each dimension); the page followed without a reload.
    wait_for(lambda: [c.get_attribute("data-state") for c in css(browser, "table.matrix tbody tr")[2]
                      .find_elements("css selector", "a.c")] == ["ok", "ok"], what="the run to show")
    assert browser.execute_script("return window.notReloaded") is True
    runs = ui.json("/api/runs")["runs"]
    assert runs[0]["status"] == "ok" and runs[0]["counts"]["ok"] == 2 and runs[0]["counts"]["up-to-date"] == 1
    browser.find_element("link text", "Runs").click()
    wait_for(lambda: "/runs" in browser.current_url)
    assert "exit status 0" in browser.find_element("css selector", "ul.launched").text
    assert runs[0]["run_id"] in browser.find_element("css selector", "table.runs").text


def test_the_page_runs_exactly_the_keys_it_shows(browser, tmp_path):
    # Keys a JavaScript number cannot hold, and an asset with no partitions.
    project = Project(tmp_path)
    project.write("exact", """
        from vorda import asset, partitions

        @asset(partitions={"n": partitions([1, 1.0, 9007199254740992, 9007199254740993])})
        def keyed(n):
            return n

        @asset()
        def single():
            return 1
    """)
    started = UI(project, "exact")
    try:
        started.current()
        for asset, cell in (("exact:keyed", '{"n": 9007199254740993}'), ("exact:keyed", '{"n": 1.0}'),
                            ("exact:single", "")):
            browser.get(started.url + "assets/" + asset)
            browser.find_element("id", "select-mode").click()
            css(browser, f"a.c[data-p='{cell}']")[0].click()
            browser.find_element("id", "run-btn").click()
            message = wait_for(lambda: browser.find_element("id", "run-msg").text.startswith(("started", "not"))
                               and browser.find_element("id", "run-msg").text, what="the run to start")
            assert message.startswith("started: vorda run"), message
            if cell:
                assert f"--partition n={cell[6:-1]} " in message + " "
            wait_for(lambda: all(run["returncode"] is not None for run in started.json("/api/runs")["launched"]),
                     what="the run to end")
    finally:
        started.stop()
