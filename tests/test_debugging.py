"""Runs you can read and failures you can find: quiet output, retries, logs."""

import re
import subprocess

import pytest

from test_run import PIPE, Project


@pytest.fixture
def project(tmp_path):
    return Project(tmp_path)


def test_quiet_when_nothing_happens(project):
    project.write("pipe", PIPE)
    project.run("run", "pipe", check=0)
    done = project.run("run", "pipe", check=0)
    assert done.stderr == ""
    assert done.stdout.splitlines()[:1] == ["(6 up-to-date jobs not listed; --all lists them)"]
    assert done.stdout.splitlines()[1].startswith("6 jobs: 6 up-to-date")
    listed = project.run("run", "--all", "pipe", check=0)
    assert len(listed.stdout.splitlines()) == 8 and listed.stderr.count("up-to-date") == 6
    one = project.run("run", "--force", "--select", "base", "pipe", check=0)
    assert one.stdout.splitlines()[-1].startswith("1 job: 1 ok") and one.stderr.count("\n") == 1


FLAKY = """
import os, time
from vorda import asset

@asset()
def flaky():
    if not os.path.exists("tried"):
        open("tried", "w").close()
        print("first attempt going wrong", flush=True)
        raise ValueError("not yet")
    return "fine"

@asset()
def broken():
    raise KeyError("never")

@asset()
def slow():
    time.sleep(30)
"""


def test_retries_and_logs(project):
    project.write("flaky", FLAKY)
    jobs, summary = project.run_json("--retries", "1", "--timeout", "1", "flaky", check=1)
    got = {asset: (job["status"], job["attempts"]) for (asset, _), job in jobs.items()}
    assert got == {"flaky:flaky": ("ok", 2), "flaky:broken": ("failed", 2), "flaky:slow": ("failed", 1)}
    assert project.value("flaky", "flaky") == "fine"

    log = project.run("logs", "last", "flaky", check=0).stdout
    assert log.startswith("==> flaky:flaky (ok) <==\n")
    assert "first attempt going wrong" in log and "--- attempt 1 failed: ValueError: not yet; trying again" in log
    everything = project.run("logs", summary["run_id"], check=0).stdout
    assert everything.count("==> ") == 3 and "KeyError: 'never'" in everything
    table = project.run("run", "--force", "--retries", "1", "--select", "broken", "flaky", check=1).stdout
    assert re.search(r"KeyError: 'never' \(flaky.py:\d+ in broken\) \(2 attempts\)", table), table
    for args in (["nope"], ["last", "missing"]):
        done = project.run("logs", *args, check=2)
        assert done.stdout == "" and done.stderr.count("\n") == 1


TWICE = """
import os, time
from vorda import asset

def second_try(name):
    if not os.path.exists(name):
        open(name, "w").close()
        raise ValueError("not yet")
    time.sleep(2)

@asset()
def a():
    second_try("a")

@asset()
def b():
    second_try("b")
"""


def test_a_retry_waiting_for_a_free_slot_is_timed_from_its_own_start(project):
    # -j 1: b's retry comes due while a's runs; its --timeout starts when it does.
    project.write("twice", TWICE)
    jobs, _ = project.run_json("-j", "1", "--retries", "1", "--timeout", "3.5", "twice")
    assert {asset: (job["status"], job["attempts"]) for (asset, _), job in jobs.items()} == {
        "twice:a": ("ok", 2), "twice:b": ("ok", 2)}
    assert all(job["seconds"] < 3.5 for job in jobs.values())


def test_a_key_the_locale_cannot_show_is_escaped_not_a_traceback(project, monkeypatch):
    project.write("cities", """
        from vorda import asset, partitions

        @asset(partitions={"city": partitions(["Z\\u00fcrich"])})
        def pop(city):
            return 1
    """)
    for name, value in (("LC_ALL", "C"), ("PYTHONCOERCECLOCALE", "0"), ("PYTHONUTF8", "0")):
        monkeypatch.setenv(name, value)
    done = project.run("run", "cities", check=0)
    assert "city=Z\\xfcrich" in done.stdout and "Traceback" not in done.stderr
    run_id = done.stdout.rsplit("(run ", 1)[1].split(",")[0]
    assert "Traceback" not in project.run("runs", run_id, check=0).stderr


BIRDS = {
    "pkg/__init__.py": "",
    "pkg/helpers.py": "def lookup(row):\n    return row['wingspan_mm']\n",
    "pkg/birds.py": """from vorda import asset
from pkg.helpers import lookup

@asset()
def cohort_stats():
    return lookup({"mass": 3})

@asset(serializer="pickle")
def pickled():
    return lookup({})
""",
    "pkg/broken.py": "open('side-effect', 'a').write('x')\nraise RuntimeError('cannot import')\n",
}


@pytest.mark.parametrize("executor", ["processes", "forks"])
def test_tracebacks_reach_the_log_and_the_table(project, executor):
    for name, text in BIRDS.items():
        (project.path / name).parent.mkdir(exist_ok=True)
        (project.path / name).write_text(text)
    jobs, summary = project.run_json("--executor", executor, "pkg.birds", check=1)
    for asset in ("pkg.birds:cohort_stats", "pkg.birds:pickled"):
        job = jobs[(asset, "null")]
        assert (job["error"], job["error_at"]) == ("KeyError: 'wingspan_mm'", "pkg/helpers.py:2")
        log = project.run("logs", "last", asset, check=0).stdout
        assert 'File "' + str(project.path / "pkg/helpers.py") + '", line 2, in lookup' in log
        assert "Traceback (most recent call last)" in log
    # The engine's record is as it always was: one line, no traceback.
    record = project.path / ".vorda/assets/pkg.birds/cohort_stats/result.json"
    assert record.read_text() == """{"error":"KeyError: 'wingspan_mm'","error_type":"KeyError","ok":false}"""
    table = project.run("run", "pkg.birds", check=1).stdout
    assert "KeyError: 'wingspan_mm' (pkg/helpers.py:2 in lookup)" in table


def test_a_failing_import_runs_once_and_is_reported(project):
    for name, text in BIRDS.items():
        (project.path / name).parent.mkdir(exist_ok=True)
        (project.path / name).write_text(text)
    argv, kw = project.command("worker", "pkg.broken", "x", "out")
    done = subprocess.run(argv, capture_output=True, text=True, timeout=60, **kw)
    assert done.returncode == 1
    assert (project.path / "side-effect").read_text() == "x"
    assert "pkg/broken.py\", line 2, in <module>" in done.stderr
    assert "vorda worker: raised at pkg/broken.py:2 in <module>" in done.stderr
    assert (project.path / "out/result.json").read_text() == (
        '{"error":"RuntimeError: cannot import","error_type":"RuntimeError","ok":false}')
