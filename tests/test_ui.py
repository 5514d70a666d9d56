"""`vorda ui` through HTTP: the API says what `vorda run --dry-run --json`
and `vorda runs` say, answers stay bounded, and what must be refused is."""

import http.client
import json
import os
import signal
import sqlite3
import subprocess
import time
import urllib.parse

import pytest

from test_run import Project

PIPE = """
from vorda import asset, partitions

REGIONS = partitions(["north", "south"])
DAYS = partitions([1, 2, 3])

@asset()
def base():
    return {"n": 2}

@asset(inputs={"base": base}, partitions={"region": REGIONS, "day": DAYS})
def part(base, region, day):
    print("making", region, day, flush=True)
    if region == "south" and day == 3:
        raise ValueError("no data for <b>south</b> on day 3")
    return {"region": region, "n": base["n"] * day}

@asset(inputs={"part": part}, partitions={"region": REGIONS, "day": DAYS})
def same(part, region, day):
    return [region, part]

@asset(inputs={"base": base})
def other(base):
    return base
"""


def wait_for(check, timeout=60.0, what="the condition"):
    deadline = time.monotonic() + timeout
    while True:
        try:
            found = check()
        except Exception as error:  # the page swapped the elements a browser check was reading
            if type(error).__name__ != "StaleElementReferenceException":
                raise
            found = None
        if found:
            return found
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.1)


class UI:
    """A `vorda ui` server of a project, and requests to it."""

    def __init__(self, project, *args):
        argv, kw = project.command("ui", "--port", "0", *args)
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
        self.url = self.process.stdout.readline().strip()
        assert self.url.startswith("http://127.0.0.1:"), self.process.stderr.read()
        parts = urllib.parse.urlsplit(self.url)
        self.host, self.port = parts.hostname, parts.port

    def request(self, path, method="GET", body=None, headers=None, host=None):
        connection = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            connection.putrequest(method, path, skip_host=True)
            connection.putheader("Host", f"{self.host}:{self.port}" if host is None else host)
            data = json.dumps(body).encode() if body is not None else b""
            for name, value in {"Content-Length": str(len(data)), **(headers or {})}.items():
                connection.putheader(name, value)
            connection.endheaders(data)
            answer = connection.getresponse()
            return answer.status, answer.read().decode("utf-8"), dict(answer.getheaders())
        finally:
            connection.close()

    def json(self, path):
        status, body, _ = self.request(path)
        assert status == 200, body
        return json.loads(body)

    def current(self):
        """The asset facts once the dry run is of the history and modules as they are now."""
        return wait_for(lambda: (lambda a: a if a["survey"]["current"] else None)(self.json("/api/assets")),
                        what="the survey")

    def token(self):
        _, page, _ = self.request("/runs")
        return page.split('name="vorda-token" content="')[1].split('"')[0]

    def start_run(self, body, token=None, headers=None):
        head = {"Content-Type": "application/json", "X-Vorda-Token": token or self.token(), **(headers or {})}
        status, text, _ = self.request("/api/run", "POST", body, head)
        return status, json.loads(text)

    def stop(self, sig=signal.SIGTERM):
        if self.process.stderr.closed:
            return self.process.returncode, ""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            self.process.wait(timeout=60)
        finally:
            self.process.stdout.close()
        stderr = self.process.stderr.read()
        self.process.stderr.close()
        assert "Traceback" not in stderr, stderr
        return self.process.returncode, stderr


@pytest.fixture
def project(tmp_path):
    return Project(tmp_path)


@pytest.fixture
def ui_of(project):
    started = []

    def start(*args):
        started.append(UI(project, *args))
        return started[-1]

    yield start
    for ui in started:
        ui.stop()


def all_partitions(ui, asset):
    return ui.json("/api/assets/" + asset)["partitions"]


def test_api_agrees_with_the_dry_run_and_the_runs(project, ui_of):
    source = project.write("pipe", PIPE)
    project.run("run", "pipe", check=1)
    source.write_text(source.read_text().replace('base["n"] * day', 'base["n"] * day + 1'))  # part is stale
    ui = ui_of("pipe")
    facts = ui.current()
    shown = {a["asset"]: a for a in facts["assets"]}
    assert set(shown) == {"pipe:base", "pipe:part", "pipe:same", "pipe:other"}
    assert shown["pipe:part"]["state"] == "failed" and shown["pipe:part"]["counts"] == {"failed": 1, "stale": 5}
    assert shown["pipe:base"]["counts"] == {"ok": 1} and shown["pipe:part"]["layer"] == 1

    dry = json.loads(project.run("run", "--dry-run", "--json", "pipe", check=0).stdout)["jobs"]
    page = {(a, json.dumps(p["partition"], sort_keys=True)): p for a in shown for p in all_partitions(ui, a)}
    assert len(page) == len(dry) == 14
    for job in dry:
        fact = page[(job["asset"], json.dumps(job["partition"], sort_keys=True))]
        assert fact["dry_run"] == {k: job[k] for k in ("status", "reason", "reason_detail")}
    assert page[("pipe:part", '{"day": 1, "region": "north"}')]["state"] == "stale"
    assert page[("pipe:part", '{"day": 3, "region": "south"}')] | {"dry_run": None} == {
        "partition": {"day": 3, "region": "south"}, "state": "failed", "status": "failed", "reason": "new",
        "dry_run": None}
    assert page[("pipe:same", '{"day": 3, "region": "south"}')]["state"] == "skipped"

    project.run("run", "--select", "other", "pipe", check=0)
    runs = wait_for(lambda: (lambda r: r if len(r) == 2 else None)(ui.json("/api/runs")["runs"]), what="two runs")
    listed = project.run("runs", check=0).stdout.splitlines()[1:]
    for run, line in zip(runs, listed):
        rid, _, _, _, status, counts, _, total, *_ = line.split()
        assert (run["run_id"], run["status"], f"{total}") == (rid, status, str(run["jobs"]))
        assert "/".join(str(run["counts"][k]) for k in ("ok", "restored", "failed", "skipped", "up-to-date")) == counts
    one = ui.json("/api/runs/" + runs[1]["run_id"])
    assert [j["status"] for j in one["jobs"]] == [line.split("  ")[1] for line in project.run(
        "runs", runs[1]["run_id"], check=0).stdout.splitlines() if not line.startswith("    log:")]

    # A partition's page: its last job, its log, and its value.
    cell = ui.json("/api/assets/pipe:part/partition?region=south&day=3")
    assert ui.json("/api/assets/pipe:part/partition?k.region=south&k.day=3") == cell  # as the matrix filters
    assert cell["last_job"]["error"].startswith("ValueError: no data for <b>south</b>") and cell["value"]["kind"] == "none"
    status, log, _ = ui.request(f"/api/runs/{cell['last_job']['run_id']}/log/{cell['last_job']['seq']}")
    assert status == 200 and "making south 3" in log
    _, page_html, _ = ui.request("/assets/pipe:part/partition?region=south&day=3")
    assert "no data for &lt;b&gt;south&lt;/b&gt;" in page_html and "<b>south" not in page_html
    value = ui.json("/api/assets/pipe:part/partition?region=north&day=2")["value"]
    assert value["kind"] == "json" and json.loads(value["text"]) == {"region": "north", "n": 4}
    assert value["changed"] is False
    # A value file changed behind the history's back is not shown as its run's.
    (project.path / ".vorda/assets/pipe/part/day=2/region=north/value.json").write_text('{"n": 999}')
    assert ui.json("/api/assets/pipe:part/partition?region=north&day=2")["value"]["changed"] is True
    _, page_html, _ = ui.request("/assets/pipe:part/partition?region=north&day=2")
    assert "not that run&#x27;s value" in page_html or "not that run's value" in page_html
    assert ui.request("/api/assets/pipe:part/partition?region=west&day=2")[0] == 400


def test_a_helper_module_edited_makes_what_reads_it_stale(project, ui_of):
    project.write("helpers", "FACTOR = 2\n")
    project.write("calc", """
        from vorda import asset
        from helpers import FACTOR

        @asset()
        def doubled():
            return FACTOR * 21
    """)
    project.run("run", "calc", check=0)
    ui = ui_of("calc")
    assert ui.current()["assets"][0]["counts"] == {"ok": 1}
    # A value file changed behind the history shows once the survey looks again.
    (project.path / ".vorda/assets/calc/doubled/value.json").write_text("43")
    wait_for(lambda: ui.current()["assets"][0]["counts"] == {"stale": 1}, timeout=120,
             what="the changed value to show")
    project.run("run", "calc", check=0)
    wait_for(lambda: ui.current()["assets"][0]["counts"] == {"ok": 1}, what="the run to show")
    project.write("helpers", "FACTOR = 3\n")
    wait_for(lambda: ui.current()["assets"][0]["counts"] == {"stale": 1}, what="the edit to show")


def test_without_history_and_without_modules(project, ui_of):
    project.write("pipe", PIPE)
    ui = ui_of("pipe")
    facts = ui.current()
    assert {a["asset"]: a["counts"] for a in facts["assets"]}["pipe:part"] == {"new": 6}
    assert ui.json("/api/runs")["runs"] == [] and ui.request("/runs")[0] == 200
    bare = ui_of("--store", "elsewhere")
    survey = wait_for(lambda: (lambda s: s if s["ready"] else None)(bare.json("/api/assets")["survey"]))
    assert survey["error"].startswith("no module given") and bare.json("/api/assets")["assets"] == []
    assert "no module given" in bare.request("/")[1]


def test_matrix_answers_are_pivoted_paged_and_bounded(project, ui_of):
    # A dimension may be called "page": its filter is not the matrix's page.
    project.write("big", """
        from vorda import asset, partitions

        @asset(partitions={"day": partitions(list(range(300))), "shard": partitions(list(range(40))),
                           "page": partitions(["a", "b"])})
        def wide(day, shard, page):
            return day

        @asset(partitions={"a": partitions([1, 2]), "b": partitions([]), "c": partitions([3])})
        def empty(a, b, c):
            return a

        @asset(partitions={"k": partitions(["NaN", "x"])})
        def nan(k):
            return k
    """)
    ui = ui_of("big")
    ui.current()
    first = ui.json("/api/assets/big:wide?rows=day&cols=shard&k.page=b")
    assert first["counts"] == {"new": 24000} and first["filters"] == {"page": "b"}
    assert len(first["partitions"]) == 2000 and first["pages"] == 6
    assert first["partitions"][41]["partition"] == {"day": 1, "shard": 1, "page": "b"}
    assert ui.json("/api/assets/big:wide?rows=day&cols=page&shard=3")["filters"] == {"shard": 3}  # an older link
    last = ui.json("/api/assets/big:wide?rows=day&cols=shard&k.page=b&page=5")
    assert len(last["partitions"]) == 40 * 300 - 5 * 2000 and last["filters"] == {"page": "b"}
    turned = ui.json("/api/assets/big:wide?rows=shard&cols=day")
    assert turned["cpages"] == 3 and len(turned["partitions"]) == 20 * 100
    assert turned["partitions"][1]["partition"] == {"day": 1, "shard": 0, "page": "a"}
    for query in ("rows=nope", "rows=day&cols=day", "rows=day&cols=shard&k.page=c", "page=x"):
        assert ui.request("/api/assets/big:wide?" + query)[0] == 400
    # No partitions at all, however pivoted; a string key "NaN" is that string.
    for query in ("", "?rows=c&cols=b", "?rows=b&cols=a"):
        assert ui.json("/api/assets/big:empty" + query)["partitions"] == []
        assert ui.request("/assets/big:empty" + query)[0] == 200
    assert ui.json("/api/assets/big:nan/partition?k=NaN")["partition"] == {"k": "NaN"}
    assert "1 would run" in project.run("run", "--dry-run", "--partition", "k=NaN", "big", check=0).stdout
    status, html, _ = ui.request("/assets/big:wide?rows=day&cols=shard")
    assert status == 200 and html.count('class="c s-new"') == 2000


def test_refusals(project, ui_of, tmp_path):
    project.write("pipe", PIPE)
    project.run("run", "pipe", check=1)
    ui = ui_of("pipe")
    ui.current()
    # A name that is not the address served (DNS rebinding), or none.
    for host in ("evil.example:%d" % ui.port, "127.0.0.1:1", ""):
        status, body, _ = ui.request("/api/assets", host=host)
        assert status == 403 and "Host" in body
    assert ui.request("/", host=f"localhost:{ui.port}")[0] == 200
    # What a refused name gets back holds neither the token nor the store's path.
    status, body, _ = ui.request("/", host="evil.example:%d" % ui.port)
    assert status == 403 and ui.token() not in body and str(project.path) not in body
    # Changing state takes a POST with the token, from this server's pages.
    runs_before = len(ui.json("/api/runs")["runs"])
    assert ui.request("/api/run?asset=pipe:base")[0] == 405
    body = {"asset": "pipe:base"}
    assert ui.start_run(body, token="guess")[0] == 403
    assert ui.start_run(body, headers={"Origin": "http://evil.example"})[0] == 403
    assert ui.request("/api/run", "POST", body, {"X-Vorda-Token": ui.token()})[0] == 415
    assert ui.request("/assets/pipe:base", "POST", body)[0] == 405
    # Two cells on a diagonal would run all four combinations of their keys.
    diagonal = [{"region": "north", "day": 1}, {"region": "south", "day": 2}]
    status, answer = ui.start_run({"asset": "pipe:part", "partitions": diagonal})
    assert status == 409 and "would run every combination of theirs (4)" in answer["error"]
    time.sleep(1)
    assert len(ui.json("/api/runs")["runs"]) == runs_before

    # Paths the history names outside the store, or through a link, are not read.
    secret = tmp_path / "secret.txt"
    secret.write_text("do not show")
    store = project.path / ".vorda"
    (store / "logs" / "linked.log").symlink_to(secret)
    db = sqlite3.connect(store / "history.sqlite")
    with db:
        jobs = db.execute("SELECT run_id, seq FROM jobs ORDER BY seq LIMIT 3").fetchall()
        for (run_id, seq), path in zip(jobs, ["../secret.txt", str(secret), "logs/linked.log"]):
            db.execute("UPDATE jobs SET log_path=? WHERE run_id=? AND seq=?", (path, run_id, seq))
    db.close()
    for run_id, seq in jobs:
        status, text, _ = ui.request(f"/runs/{run_id}/log/{seq}")
        assert status == 200 and "do not show" not in text
        assert ui.request(f"/api/runs/{run_id}/log/{seq}")[0] == 404
    # A FIFO where a log was is refused at once, not waited on; numbers past
    # what the history holds are no error of the server's.
    run_id, seq = jobs[2]  # its log is logs/linked.log
    os.unlink(store / "logs" / "linked.log")
    os.mkfifo(store / "logs" / "linked.log")
    assert ui.request(f"/api/runs/{run_id}/log/{seq}")[0] == 404
    assert ui.request(f"/api/runs/{run_id}?page=99999999999999999999")[0] == 200
    assert ui.request(f"/api/runs/{run_id}/log/99999999999999999999")[0] == 404
    value = store / "assets/pipe/base/value.json"
    value.unlink()
    value.symlink_to(secret)
    shown = ui.json("/api/assets/pipe:base/partition")["value"]
    assert shown["kind"] == "missing" and "do not show" not in json.dumps(shown)


SLOW = """
import time
from vorda import asset

@asset()
def slow():
    time.sleep(60)
    return 1
"""


def test_runs_started_here_are_refused_while_the_store_is_busy_and_end_with_the_server(project, ui_of):
    project.write("pipe", PIPE)
    project.write("slow", SLOW)
    ui = ui_of("pipe", "slow")
    ui.current()
    argv, kw = project.command("run", "slow")
    busy = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
    try:
        wait_for(lambda: any(r["status"] == "running" for r in ui.json("/api/runs")["runs"]), what="a busy store")
        status, answer = ui.start_run({"asset": "pipe:part", "partitions": [{"region": "north", "day": 1}]})
        assert status == 409 and "another runner is using the store" in answer["error"]
    finally:
        busy.send_signal(signal.SIGTERM)
        assert busy.wait(timeout=60) == 130

    status, answer = ui.start_run({"asset": "slow:slow"})
    assert status == 202 and answer["command"][:2] == ["vorda", "run"]
    assert ui.start_run({"asset": "slow:slow"})[0] == 409  # one at a time
    wait_for(lambda: ui.json("/api/runs")["runs"][0]["status"] == "running", what="the started run")
    launched = answer["pid"]
    code, _ = ui.stop()
    assert code == 130
    # The run it started is ended with it, recorded as interrupted.
    with pytest.raises(ProcessLookupError):
        os.kill(launched, 0)
    assert project.run("runs", check=0).stdout.splitlines()[1].split()[4] == "interrupted"


def test_command_line(project, ui_of):
    project.write("pipe", PIPE)
    ui = ui_of("pipe")
    argv, kw = project.command("ui", "--port", str(ui.port), "pipe")
    taken = subprocess.run(argv, capture_output=True, text=True, timeout=60, **kw)
    assert taken.returncode == 2 and taken.stderr.startswith("vorda ui: error: cannot serve on 127.0.0.1:")
    argv, kw = project.command("ui", "--host", "0.0.0.0", "--port", "0", "pipe")
    wide = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    assert wide.stdout.readline().startswith("http://0.0.0.0:")
    wide.send_signal(signal.SIGINT)
    assert wide.wait(timeout=60) == -signal.SIGINT
    stderr = wide.stderr.read()
    assert stderr.startswith("vorda ui: warning: serving on 0.0.0.0, not this machine only")
    assert stderr.endswith("vorda ui: error: interrupted\n")
    wide.stdout.close(), wide.stderr.close()


def test_value_previews_say_when_they_are_cut_and_keep_columns_apart(tmp_path):
    pa = pytest.importorskip("pyarrow")
    from pyarrow import ipc

    from vorda.run.store.layout import Store
    from vorda.ui import reading

    store, folder = Store(tmp_path), tmp_path / "assets/m/f"
    folder.mkdir(parents=True)
    # Under the limit as a file, past it once indented.
    (folder / "value.json").write_text(json.dumps(list(range(10000))))
    shown = reading.preview(store, "assets/m/f/value.json")
    assert shown["truncated"] and len(shown["text"]) == reading.PREVIEW_LIMIT
    table = pa.table([[1, 2], [3, 4], [5, 6]], names=["x", "x", "y"])
    with ipc.new_file(str(folder / "value.arrow"), table.schema) as out:
        out.write_table(table)
    shown = reading.preview(store, "assets/m/f/value.arrow")
    assert shown["columns"] == ["x", "x", "y"] and shown["rows"] == [["1", "3", "5"], ["2", "4", "6"]]
