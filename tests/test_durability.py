"""Durable in batches: workers under the runner do not flush; the runner makes
each batch of finished jobs durable with one barrier before it records them."""

import json
import shutil
import subprocess
import sys
import textwrap

import pytest

from test_run import Project
from vorda.run import make_plan
from vorda.run.runner import Run
from vorda.run.store import files
from vorda.run.store.history import History
from vorda.run.store.layout import Store

MANY = """
from vorda import asset, partitions

@asset(partitions={"i": partitions(list(range(12)))})
def many(i):
    return i * i

@asset(inputs={"many": many})
def total(many):
    return sum(entry["value"] for entry in many)
"""


def test_every_ok_is_recorded_after_a_barrier_that_follows_its_files(tmp_path, monkeypatch):
    (tmp_path / "many.py").write_text(MANY)
    monkeypatch.chdir(tmp_path)
    events = []
    finish, barrier, record_jobs = Run.finish, Store.barrier, History.record_jobs
    monkeypatch.setattr(Run, "finish", lambda self, job, outcome: (finish(self, job, outcome),
                                                                    events.append(("done", job.seq)))[0])
    monkeypatch.setattr(Store, "barrier", lambda self, *a: (barrier(self, *a), events.append(("barrier",)))[0])
    monkeypatch.setattr(History, "record_jobs", lambda self, run_id, updates: (
        record_jobs(self, run_id, updates),
        events.extend(("ok", seq) for seq, fields in updates if fields["status"] == "ok"))[0])
    result = make_plan(["many"], path=[str(tmp_path)], store=tmp_path / "store").execute("forks", jobs=2)
    assert result.status == "ok"
    recorded = [event[1] for event in events if event[0] == "ok"]
    assert sorted(recorded) == list(range(13))
    for seq in recorded:
        done = events.index(("done", seq))
        committed = events.index(("ok", seq))
        assert ("barrier",) in events[done:committed], events
    # Batches, not one barrier a job.
    assert events.count(("barrier",)) < 13


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
@pytest.mark.parametrize("executor", ["processes", "forks"])
def test_workers_make_no_flush_of_their_own(tmp_path, executor):
    project = Project(tmp_path)
    project.write("many", MANY)
    argv, kw = project.command("run", "--executor", executor, "many")
    trace = tmp_path / "trace"
    subprocess.run(["strace", "-f", "-o", str(trace), "-e", "trace=execve,clone,clone3,fsync,fdatasync,syncfs", *argv],
                   check=True, capture_output=True, **kw)
    lines = trace.read_text().splitlines()
    runner = {lines[0].split()[0]}
    threading = set()  # runner threads in a clone that strace split in two lines
    for line in lines:  # the runner's threads are the runner too
        tid = line.split()[0]
        if tid in runner and "CLONE_THREAD" in line:
            threading.add(tid)
        if tid in threading and "= " in line and ("CLONE_THREAD" in line or "resumed>" in line):
            runner.add(line.rsplit("= ", 1)[1].split()[0])
            threading.discard(tid)
    calls = [line for line in lines if "(" in line and "resumed" not in line and "clone" not in line]
    # The runner's own SQLite may sync its log at a checkpoint; no worker flushes.
    workers = [line for line in calls if line.split()[0] not in runner]
    assert not [line for line in workers if "sync" in line], workers
    assert 1 <= sum("syncfs(" in line for line in calls) <= 13  # at most one barrier a job
    # Outside the runner the worker flushes as always.
    out = tmp_path / "out"
    subprocess.run(["strace", "-f", "-o", str(trace), "-e", "trace=fsync", sys.executable, "-m", "vorda", "worker",
                    "many", "total", str(out), "--inputs", '{"many": []}'], check=True, capture_output=True, **kw)
    assert trace.read_text().count("fsync(") >= 4


def test_per_file_flushes_where_the_file_system_has_no_syncfs(tmp_path, monkeypatch):
    (tmp_path / "many.py").write_text(MANY)
    monkeypatch.setattr(files, "_SYNCFS", None)
    flushed = set()
    flush_paths = files.flush_paths
    monkeypatch.setattr(files, "flush_paths", lambda paths: (flushed.update(paths), flush_paths(paths))[1])
    result = make_plan(["many"], path=[str(tmp_path)], store=tmp_path / "store").execute("processes", jobs=2)
    assert result.status == "ok"
    job = tmp_path / "store/assets/many/many/i=3"
    assert {str(job / "value.json"), str(job / "result.json"), str(job)} <= flushed
    # The folders this run made are only there once their parents are flushed too.
    assert {str(folder) for folder in job.parents if tmp_path in folder.parents or folder == tmp_path} <= flushed


KILLER = """
import os, signal, sys
from vorda.run import make_plan
from vorda.run.store.history import History
from vorda.run.store.layout import Store

where = sys.argv[1]
if where == "before-barrier":
    Store.barrier = lambda self, *a: os.kill(os.getpid(), signal.SIGKILL)
else:
    barrier = Store.barrier

    def then_die(self, *a):
        barrier(self, *a)
        History.record_jobs = lambda *a: os.kill(os.getpid(), signal.SIGKILL)

    Store.barrier = then_die
make_plan(["many"], store="store").execute("processes", jobs=2)
"""


@pytest.mark.parametrize("where", ["before-barrier", "before-commit"])
def test_a_kill_around_the_barrier_loses_nothing_recorded(tmp_path, where):
    project = Project(tmp_path)
    project.write("many", MANY)
    (tmp_path / "killer.py").write_text(textwrap.dedent(KILLER))
    argv, kw = project.command()
    done = subprocess.run([sys.executable, "killer.py", where], capture_output=True, **kw)
    assert done.returncode == -9, done.stderr
    jobs, summary = project.run_json("--store", "store", "many")
    assert summary["status"] == "ok"
    for job in jobs.values():
        if job["status"] == "up-to-date":  # recorded before the kill: it must be intact
            assert json.loads((tmp_path / job["value_path"]).read_text()) is not None
    assert json.loads((tmp_path / "store/assets/many/total/value.json").read_text()) == sum(i * i for i in range(12))
