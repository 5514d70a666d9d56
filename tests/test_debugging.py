"""Runs you can read and failures you can find: quiet output, retries, logs."""

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
    assert "KeyError: 'never' (2 attempts)" in table
    for args in (["nope"], ["last", "missing"]):
        done = project.run("logs", *args, check=2)
        assert done.stdout == "" and done.stderr.count("\n") == 1
