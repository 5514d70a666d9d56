"""The runner keeps its word under faults: killed runners, files changed or
linked behind its back, assets that linger, odd bindings and stores."""

import json
import os
import random
import signal
import subprocess
import sys
import time

import pytest

from test_run import Project, gone
from test_runner_seams import PIPE, FakeExecutor, asset, catalogue, plan, run
from vorda.run.executors.dask_remote import pack
from vorda.run.executors.groups import start_time
from vorda.run.status import JobStatus
from vorda.run.store.history import History
from vorda.run.store.layout import JobFolder, Place, Store

CHAIN = """
import os, random, time
from vorda import asset, partitions

PIDS = {pids!r}

def _mark():
    open(os.path.join(PIDS, str(os.getpid())), "w").close()
    # Long enough to outlive a killed runner, until the last, clean run.
    time.sleep(30 if os.path.exists(PIDS + ".slow") else random.uniform(0, 0.1))

@asset(partitions={{"n": partitions(list(range(4)))}})
def up(n):
    _mark()
    return {{"n": n, "square": n * n}}

@asset(inputs={{"up": up}}, partitions={{"n": partitions(list(range(4)))}})
def down(up, n):
    _mark()
    return up["square"] + n
"""


@pytest.mark.parametrize("executor", ["processes", "forks"])
def test_a_killed_runner_leaves_no_writer_and_the_next_run_is_exact(tmp_path, executor):
    project = Project(tmp_path)
    pids = tmp_path / "pids"
    pids.mkdir()
    (tmp_path / "pids.slow").touch()
    project.write("chain", CHAIN.format(pids=str(pids)))
    rounds = int(os.environ.get("VORDA_KILL_ROUNDS", "2"))
    argv, kw = project.command("run", "--executor", executor, "-j", "2", "chain")
    for _ in range(rounds):
        runner = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)
        deadline = time.monotonic() + 60
        while not any(pids.iterdir()) and time.monotonic() < deadline:
            time.sleep(0.02)
        time.sleep(random.uniform(0, 0.5))
        runner.kill()
        runner.wait()
        started = [int(p.name) for p in pids.iterdir()]
        deadline = time.monotonic() + 2.5
        while not all(gone(pid) for pid in started) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert all(gone(pid) for pid in started)
        for p in pids.iterdir():
            p.unlink()
    (tmp_path / "pids.slow").unlink()
    project.run("run", "chain", check=0)
    for n in range(4):
        assert project.value("chain", "down", f"n={n}") == n * n + n
    plan_, _ = project.run_json("--dry-run", "chain")
    assert {job["status"] for job in plan_.values()} == {"up-to-date"}


def test_a_successor_ends_recorded_groups_only_while_they_are_the_same_process(tmp_path):
    store = Store(tmp_path / "store")
    store.create()
    mine = subprocess.Popen(["sleep", "60"], start_new_session=True)
    other = subprocess.Popen(["sleep", "60"], start_new_session=True)
    history = store.history()
    dead = "20260101-000000-dead"  # a killed runner's run
    history.start_run(dead, ["vorda"], ["m"], [(0, "a", "m:a", None, "v"), (1, "b", "m:b", None, "v")])
    history.record_job(dead, 0, status=JobStatus.RUNNING, pid=mine.pid, pid_start=start_time(mine.pid))
    # A pid whose start time differs is another process now: never signalled.
    history.record_job(dead, 1, status=JobStatus.RUNNING, pid=other.pid, pid_start=start_time(other.pid) - 1)
    history.close()
    (tmp_path / "store/tmp" / dead).mkdir(parents=True)
    try:
        plan(tmp_path).execute(FakeExecutor())
        assert mine.wait(timeout=5) == -signal.SIGTERM
        assert other.poll() is None
        assert not (tmp_path / "store/tmp" / dead).exists()
    finally:
        mine.kill()
        other.kill()
        mine.wait()
        other.wait()


def test_recorded_input_hash_is_that_of_the_bytes_read(tmp_path, monkeypatch):
    hashed = JobFolder.value

    def hashed_then_changed(self, name):
        value = hashed(self, name)
        if self.where.endswith("/base"):  # someone rewrites it right after the hash
            value.path.write_text('{"n": 3}')
        return value

    monkeypatch.setattr(JobFolder, "value", hashed_then_changed)
    executor = FakeExecutor()
    run(tmp_path, catalogue(asset("base"), asset("reads", {"b": "base"})), executor)
    given = executor.ran[-1][1]
    assert given == {"b": {"n": 3}}
    history = History(tmp_path / "store/history.sqlite", readonly=True)
    (recorded,) = [row for row in history.db.execute("SELECT input_hashes FROM jobs WHERE label='m:reads'")]
    import hashlib

    assert hashlib.sha256(b'{"n": 3}').hexdigest() in recorded[0]
    history.close()


def test_up_to_date_needs_the_whole_record_and_no_links(tmp_path):
    run(tmp_path)
    job_dir = tmp_path / "store/assets/m/part/region=north"
    result = job_dir / "result.json"

    def statuses():
        return {name: row.status for name, row in run(tmp_path)[1].items() if name[0] == "m:part"}

    for damage in (result.unlink,
                   lambda: result.write_text(json.dumps({"ok": False, "error": "x"})),
                   lambda: result.write_text(json.dumps({"ok": True, "value_path": "/elsewhere/value.json"}))):
        damage()
        # Made again (here restored from the kept objects), then trusted.
        assert statuses()[("m:part", "region=north")] == JobStatus.RESTORED
        assert json.loads(result.read_text())["ok"] is True
        assert statuses()[("m:part", "region=north")] == JobStatus.UP_TO_DATE

    # A value file replaced by a link to the same bytes is not trusted.
    value = job_dir / "value.json"
    (tmp_path / "copy.json").write_bytes(value.read_bytes())
    value.unlink()
    value.symlink_to(tmp_path / "copy.json")
    assert statuses()[("m:part", "region=north")] == JobStatus.RESTORED
    assert not value.is_symlink()
    # A linked directory cannot be replaced: the job fails, saying why.
    os.rename(job_dir, tmp_path / "moved")
    job_dir.symlink_to(tmp_path / "moved")
    _, rows = run(tmp_path)
    row = rows[("m:part", "region=north")]
    assert row.status == JobStatus.FAILED and "symbolic link" in row.error


LINGER = """
import os, threading, time
from vorda import asset

@asset()
def sleepy():
    time.sleep(60)

@asset()
def lingering():
    threading.Thread(target=time.sleep, args=(60,)).start()  # not a daemon
    return 2

@asset()
def daemonised():
    if os.fork() == 0:
        os.setsid()
        if os.fork() == 0:
            open("daemon.pid", "w").write(str(os.getpid()))
            time.sleep(60)
        os._exit(0)
    while not os.path.exists("daemon.pid"):
        time.sleep(0.01)
    return 3
"""


@pytest.mark.parametrize("executor", ["processes", "forks"])
def test_lingering_assets_time_out_or_end_with_the_run(tmp_path, executor):
    project = Project(tmp_path)
    project.write("linger", LINGER)
    jobs, summary = project.run_json("--executor", executor, "--timeout", "1.5", "linger", check=1)
    got = {asset: (job["status"], job["error"]) for (asset, _), job in jobs.items()}
    assert got["linger:sleepy"] == ("failed", "timed out after 1.5 s")
    assert got["linger:lingering"] == got["linger:daemonised"] == ("ok", None)
    daemon = int((tmp_path / "daemon.pid").read_text())
    deadline = time.monotonic() + 3
    while not gone(daemon) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert gone(daemon)


def test_assets_are_found_by_their_bound_names(tmp_path):
    project = Project(tmp_path)
    project.write("made", """
        import os
        from vorda import asset

        def make(n):
            @asset()
            def f():
                return n
            return f

        one = make(1)
        two = make(2)
        lam = asset()(lambda: 42)
        print("chatter without a newline", end="")
        os.write(1, b"{not json")

        @asset(inputs={"x": lam})
        def uses(x):
            return x + 1
    """)
    jobs, summary = project.run_json("made")
    assert summary["status"] == "ok" and len(jobs) == 4
    assert [project.value("made", name) for name in ("one", "two", "lam", "uses")] == [1, 2, 42, 43]
    project.write("reader", """
        from made import one
        from vorda import asset

        @asset(inputs={"a": one})
        def reads(a):
            return a
    """)
    done = project.run("run", "made", "reader", check=2)
    assert done.stderr.count("\n") == 1
    assert "reader:reads reads" in done.stderr and "(made:one, made:two)" in done.stderr
    assert "__name__" in done.stderr


def test_runs_on_missing_broken_and_read_only_stores(tmp_path):
    project = Project(tmp_path)
    done = project.run("runs", "--store", "nowhere", check=2)
    assert done.stdout == "" and done.stderr == "vorda runs: error: no store at nowhere\n"
    (tmp_path / "broken").mkdir()
    (tmp_path / "broken/history.sqlite").write_bytes(b"not a database" * 100)
    done = project.run("runs", "--store", "broken", check=2)
    assert done.stdout == "" and done.stderr.count("\n") == 1

    project.write("pipe", "from vorda import asset\n\n@asset()\ndef one():\n    return 1\n")
    project.run_json("pipe")
    store = str(tmp_path / ".vorda")
    # A writer killed outright leaves its last transaction in the WAL file.
    subprocess.run([sys.executable, "-c", f"""if True:
        import os, sqlite3
        db = sqlite3.connect({store + '/history.sqlite'!r}, isolation_level=None)
        db.execute("PRAGMA wal_autocheckpoint=0")
        db.execute("INSERT INTO runs (id, started, status, argv, modules) VALUES ('in-the-wal', 0, 'ok', '[]', '[]')")
        os._exit(0)
    """], check=True)
    assert os.path.getsize(store + "/history.sqlite-wal") > 0
    # The store made read-only where it is (a bind mount over itself).
    mounted = subprocess.run(["mount", "--bind", store, store], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot make a read-only mount here: {mounted.stderr.decode().strip()}")
    try:
        subprocess.run(["mount", "-o", "remount,bind,ro", store], check=True)
        listing = project.run("runs", check=0)
        assert "1/0/0/0/0 of 1" in listing.stdout and "in-the-wal" in listing.stdout
        plan_ = json.loads(project.run("run", "--dry-run", "--json", "pipe", check=0).stdout)
        assert [job["status"] for job in plan_["jobs"]] == ["up-to-date"]
    finally:
        subprocess.run(["umount", store], check=True)


def test_leftovers_and_names(tmp_path):
    # The store under a --path folder is never shipped to a cluster.
    (tmp_path / "mods").mkdir()
    (tmp_path / "mods/m.py").write_text("x = 1\n")
    (tmp_path / "mods/store/assets").mkdir(parents=True)
    (tmp_path / "mods/store/assets/value.json").write_text("1")
    import io
    import zipfile

    names = zipfile.ZipFile(io.BytesIO(pack([str(tmp_path / "mods")], 1 << 20, [str(tmp_path / "mods/store")])))
    assert names.namelist() == ["0/m.py"]

    # Log names say whose log it is and stay within a path component.
    store = Store(tmp_path)
    log = store.log_path("r", 7, Place("shop.sales", "daily", {"region": "north"}))
    assert log.name == "0007-shop.sales.daily.region=north.log"
    long = store.log_path("r", 7, Place("shop.sales", "daily", {"region": "n" * 300}))
    assert len(long.name) <= 200 and long.name.startswith("0007-shop.sales.daily.region=nnn")
    assert long != store.log_path("r", 7, Place("shop.sales", "daily", {"region": "n" * 301}))
