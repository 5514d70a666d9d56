"""The `vorda ui` rows of `make bench`: an asset of 100,000 partitions (1,000
days x 100 shards): its page's first paint, the cells in one answer, the
server's memory beside the same asset at 1,000 partitions, and what the
dry run behind "stale" costs.

    python3 bench/bench_ui.py [--quick]

How: `vorda ui --port 0` is started on each pipeline and asked for the
asset page once its survey (discovery and the dry run of every partition)
is done, as it is a moment after the server starts. First paint is the
browser's first-contentful-paint of that page in headless Chromium (the
median of 5 loads), where Chromium and selenium are there, and the
server's time to answer it in any case. Memory is the server's resident
set (VmRSS) after the pages were served; the survey runs in a process of
its own, whose peak is shown beside it. Both pipelines' partitions never
ran (every state "new"): the page costs the same whatever the states. The
dry run's cost per partition does depend on it (a partition that ran ok is
checked against its files): that row runs a real pipeline of 2,000
partitions (VORDA_BENCH_FULL=1: 10,000) and gives the time per partition
and what it makes for 100,000, and how soon after the server starts its
page is served (each partition's last job, before the dry run is done).
"""

import argparse
import http.client
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import urllib.parse
from pathlib import Path

import bench_env  # noqa: F401,E402  (PYTHONPATH made absolute before any command runs)

PAINT_TARGET_MS = 1000
CELLS_TARGET = 5000  # "a few thousand" at most in one answer
RSS_GROWTH_TARGET_MB = 10  # 100 times the partitions, at most this much more server memory

WIDE = """
    from vorda import asset, partitions

    @asset(partitions={{"day": partitions(list(range({days}))), "shard": partitions(list(range({shards})))}})
    def wide(day, shard):
        return day
"""


def _get(url, path):
    parts = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=120)
    try:
        start = time.perf_counter()
        connection.request("GET", path)
        answer = connection.getresponse()
        body = answer.read()
        return answer.status, body, time.perf_counter() - start
    finally:
        connection.close()


def _rss_mb(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return float("nan")


class Server:
    def __init__(self, folder, module):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(folder), os.environ.get("PYTHONPATH")])))
        self.process = subprocess.Popen([sys.executable, "-m", "vorda", "ui", "--port", "0", "--store",
                                         str(folder / f"{module}-store"), module], cwd=folder, env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.url = self.process.stdout.readline().strip()
        self.started = time.perf_counter()

    def surveyed(self, timeout=1800):
        while time.perf_counter() - self.started < timeout:
            _, body, _ = _get(self.url, "/api/assets")
            survey = json.loads(body)["survey"]
            if survey["current"]:
                return survey
            time.sleep(0.2)
        raise RuntimeError("the survey did not finish")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=60)
        self.process.stdout.close()


def _browser():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        return None
    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not browser or not driver:
        return None
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1200,800"):
        options.add_argument(arg)
    return webdriver.Chrome(options=options, service=Service(driver))


def _first_paint(driver, url, loads):
    times = []
    for _ in range(loads):
        driver.get("about:blank")
        driver.get(url)
        paint = driver.execute_script(
            "const e = performance.getEntriesByName('first-contentful-paint')[0]; return e ? e.startTime : null")
        if paint is not None:
            times.append(paint)
    return statistics.median(times) if times else None


def report(quick):
    """Print the rows; the labels of missed targets."""
    misses = []
    loads = 3 if quick else 5
    driver = _browser()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        rss = {}
        for module, days, shards in (("small", 100, 10), ("big", 1000, 100)):
            (folder / f"{module}.py").write_text(textwrap.dedent(WIDE.format(days=days, shards=shards)))
            server = Server(folder, module)
            try:
                survey = server.surveyed()
                ready = time.perf_counter() - server.started
                page = f"/assets/{module}:wide"
                answers = [_get(server.url, page) for _ in range(loads)]
                status, body, _ = answers[-1]
                served = statistics.median(t for _, _, t in answers) * 1e3
                cells = body.count(b'class="c s-')
                api_cells = len(json.loads(_get(server.url, "/api/assets/" + module + ":wide")[1])["partitions"])
                paint = _first_paint(driver, server.url + page.lstrip("/"), loads) if driver else None
                for extra in ("/", f"/assets/{module}:wide?rows=shard&cols=day&page=1", "/runs"):
                    _get(server.url, extra)
                rss[module] = _rss_mb(server.process.pid)
            finally:
                server.stop()
            n = days * shards
            if module == "big":
                ok = status == 200 and paint is not None and paint <= PAINT_TARGET_MS
                shown = f"{paint:7.0f} ms" if paint is not None else "   (no browser)"
                print(f"  {f'asset page, {n:,} partitions: first paint (Chromium)':58} {shown}  "
                      f"<={PAINT_TARGET_MS} ms {'ok' if ok else 'MISS'}")
                if not ok:
                    misses.append("ui first paint")
                print(f"  {'  the server answering the page':58} {served:7.0f} ms  ({len(body) / 1e3:.0f} kB)")
                ok = max(cells, api_cells) <= CELLS_TARGET
                print(f"  {'  cells in one answer (page / API)':58} {cells:>7,} / {api_cells:,}  "
                      f"<={CELLS_TARGET:,} {'ok' if ok else 'MISS'}")
                if not ok:
                    misses.append("ui cells per answer")
            print(f"  {f'survey of {n:,} never-run partitions (discovery + dry run)':58} {survey['seconds']:7.2f} s  "
                  f"(ready {ready:.1f} s after start; survey process peak {survey['peak_rss_mb']:.0f} MB)")
        growth = rss["big"] - rss["small"]
        ok = growth <= RSS_GROWTH_TARGET_MB
        print(f"  {'server memory (VmRSS), 100,000 vs 1,000 partitions':58} {rss['big']:7.1f} MB vs "
              f"{rss['small']:.1f} MB  +{growth:.1f} MB <={RSS_GROWTH_TARGET_MB} MB {'ok' if ok else 'MISS'}")
        if not ok:
            misses.append("ui server memory")

        # The dry run over partitions that ran ok: a real run, then the survey.
        count = 10_000 if os.environ.get("VORDA_BENCH_FULL") else (500 if quick else 2_000)
        (folder / "ran.py").write_text(textwrap.dedent(WIDE.format(days=count // 10, shards=10)))
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(folder), os.environ.get("PYTHONPATH")])))
        subprocess.run([sys.executable, "-m", "vorda", "run", "--executor", "forks", "--store", str(folder / "ran-store"),
                        "ran"], cwd=folder, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        server = Server(folder, "ran")
        try:
            while _get(server.url, "/assets/ran:wide")[0] != 200:
                time.sleep(0.05)
            shown = time.perf_counter() - server.started
            survey = server.surveyed()
        finally:
            server.stop()
        per = survey["seconds"] / count * 1e3
        print(f"  {f'survey of {count:,} partitions that ran ok':58} {survey['seconds']:7.2f} s  "
              f"({per:.2f} ms/partition: {per * 100:.0f} s for 100,000; peak {survey['peak_rss_mb']:.0f} MB)")
        print(f"  {'  its asset page served, last jobs only, after start':58} {shown:7.2f} s")
    if driver:
        driver.quit()
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer loads, fewer partitions that ran")
    args = parser.parse_args()
    return 1 if report(args.quick) else 0


if __name__ == "__main__":
    sys.exit(main())
