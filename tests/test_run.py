"""`vorda run` through the command, on small generated pipelines."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import vorda
from vorda.run.store.keys import encode_key

PACKAGE_ROOT = str(pathlib.Path(vorda.__file__).resolve().parent.parent)

PIPE = """
from vorda import asset, partitions

REGIONS = partitions(["north", "south"])

@asset()
def base():
    return {"n": 2}

@asset(inputs={"base": base}, partitions={"region": REGIONS})
def part(base, region):
    return {"region": region, "n": base["n"] * VERSION}

@asset(inputs={"part": part}, partitions={"region": REGIONS})
def same(part, region):
    return [region, part]

@asset(inputs={"part": part})
def every(part):
    return part

VERSION = 10
"""


class Project:
    def __init__(self, path):
        self.path = path

    def write(self, name, source):
        target = self.path.joinpath(*name.split(".")).with_suffix(".py")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(source))
        return target

    def command(self, *args):
        env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
        return [sys.executable, "-m", "vorda", *args], dict(cwd=self.path, env=env)

    def run(self, *args, check=None):
        argv, kw = self.command(*args)
        done = subprocess.run(argv, capture_output=True, text=True, timeout=300, **kw)
        assert "Traceback" not in done.stderr, done.stderr
        if check is not None:
            assert done.returncode == check, done.stdout + done.stderr
        return done

    def run_json(self, *args, check=0):
        done = self.run("run", "--json", *args, check=check)
        summary = json.loads(done.stdout)
        return {(j["asset"], json.dumps(j["partition"])): j for j in summary["jobs"]}, summary

    def value(self, *parts):
        return json.loads(self.path.joinpath(".vorda", "assets", *parts, "value.json").read_text())


def statuses(jobs):
    return {key: job["status"] for key, job in jobs.items()}


@pytest.fixture
def project(tmp_path):
    return Project(tmp_path)


def test_values_reach_readers_by_the_three_rules(project):
    project.write("pipe", PIPE)
    project.write("again", "from pipe import base, part\n")  # the same assets, imported
    jobs, summary = project.run_json("again", "pipe")
    assert summary["status"] == "ok" and len(jobs) == 6
    # Planned order: upstream first, partitions in declared order.
    assert [j["asset"] for j in summary["jobs"]] == ["pipe:base", "pipe:part", "pipe:part", "pipe:every",
                                                     "pipe:same", "pipe:same"]
    assert jobs[("pipe:part", '{"region": "south"}')]["value_path"] == str(
        project.path / ".vorda/assets/pipe/part/region=south/value.json")
    assert project.value("pipe", "part", "region=north") == {"region": "north", "n": 20}
    assert project.value("pipe", "same", "region=south") == ["south", {"region": "south", "n": 20}]
    assert project.value("pipe", "every") == [
        {"partition": {"region": "north"}, "value": {"region": "north", "n": 20}},
        {"partition": {"region": "south"}, "value": {"region": "south", "n": 20}},
    ]


def test_up_to_date_edits_and_dry_run(project):
    source = project.write("pipe", PIPE)
    project.run_json("pipe")
    jobs, _ = project.run_json()  # no module: those of the last run
    assert set(statuses(jobs).values()) == {"up-to-date"} and len(jobs) == 6

    # Editing part reruns it and its readers; base stays.
    source.write_text(source.read_text().replace('base["n"] * VERSION', 'base["n"] * VERSION + 1'))
    plan, _ = project.run_json("--dry-run", "pipe")
    assert statuses(plan) == {
        ("pipe:base", "null"): "up-to-date",
        ("pipe:part", '{"region": "north"}'): "run",
        ("pipe:part", '{"region": "south"}'): "run",
        ("pipe:every", "null"): "may run",
        ("pipe:same", '{"region": "north"}'): "may run",
        ("pipe:same", '{"region": "south"}'): "may run",
    }
    jobs, _ = project.run_json("pipe")
    assert statuses(jobs)[("pipe:base", "null")] == "up-to-date"
    assert {s for (a, _), s in statuses(jobs).items() if a != "pipe:base"} == {"ok"}
    assert project.value("pipe", "same", "region=north") == ["north", {"region": "north", "n": 21}]

    # A value changed behind the store's back is made again; its readers
    # then see the same value and stay up to date.
    value = project.path / ".vorda/assets/pipe/base/value.json"
    value.write_text('{"n": 3}')
    jobs, _ = project.run_json("pipe")
    assert statuses(jobs)[("pipe:base", "null")] == "ok" and value.read_text() == '{"n": 2}'
    assert list(statuses(jobs).values()).count("up-to-date") == 5
    jobs, _ = project.run_json("--force", "pipe")
    assert set(statuses(jobs).values()) == {"ok"}


def test_selection_and_upstream_from_the_store(project):
    project.write("pipe", PIPE)
    done = project.run("run", "--select", "same", "pipe", check=2)
    assert "pipe:part region=north is needed upstream but has no value" in done.stderr
    assert "--select +pipe:part" in done.stderr
    assert not (project.path / ".vorda/assets").exists()

    jobs, _ = project.run_json("--select", "+same", "--partition", "region=south", "pipe")
    assert statuses(jobs) == {("pipe:base", "null"): "ok", ("pipe:part", '{"region": "south"}'): "ok",
                              ("pipe:same", '{"region": "south"}'): "ok"}
    # every reads both partitions of part; north was never made.
    done = project.run("run", "--select", "every", "pipe", check=2)
    assert "pipe:part region=north is needed upstream" in done.stderr
    jobs, _ = project.run_json("--select", "part+", "pipe")
    assert len(jobs) == 5 and "pipe:base" not in {a for a, _ in jobs}


def test_a_package_with_empty_files_runs_its_assets(project):
    # Empty __init__.py files, as most packages have, and an empty module:
    # their source cannot be read, so they must not stop discovery.
    for name in ("shop.__init__", "shop.empty", "shop.sub.__init__"):
        project.write(name, "")
    project.write("shop.sub.pipe", PIPE)
    jobs, summary = project.run_json("shop")
    assert summary["status"] == "ok" and len(jobs) == 6
    assert project.value("shop.sub.pipe", "base") == {"n": 2}
    project.write("hollow.__init__", "")
    done = project.run("run", "hollow", check=2)
    assert "no assets found in hollow" in done.stderr


def test_failures_skip_downstream_only(project):
    project.write("flaky", """
        import os, signal, sys
        from vorda import asset

        @asset()
        def good():
            return 1

        @asset(inputs={"good": good})
        def after_good(good):
            return good + 1

        @asset()
        def bad():
            raise ValueError("no data")

        @asset(inputs={"bad": bad})
        def after_bad(bad):
            return bad

        @asset()
        def exits():
            print("giving up now", file=sys.stderr, flush=True)
            os._exit(3)

        @asset(inputs={"exits": exits})
        def after_exits(exits):
            return exits

        @asset()
        def killed():
            os.kill(os.getpid(), signal.SIGKILL)
    """)
    jobs, summary = project.run_json("flaky", check=1)
    got = {a: (j["status"], j["error"]) for (a, _), j in jobs.items()}
    assert summary["status"] == "failed"
    assert got["flaky:good"] == got["flaky:after_good"] == ("ok", None)
    assert got["flaky:bad"] == ("failed", "ValueError: no data")
    assert got["flaky:after_bad"] == ("skipped", "upstream flaky:bad failed")
    assert got["flaky:exits"][1].startswith("the worker exited with status 3 without a result record")
    assert got["flaky:exits"][1].endswith("giving up now")
    assert got["flaky:after_exits"][0] == "skipped"
    assert got["flaky:killed"][0] == "failed" and "SIGKILL" in got["flaky:killed"][1]

    table = project.run("run", "flaky", check=1).stdout
    assert "flaky:bad" in table and "ValueError: no data" in table
    run_id = table.strip().splitlines()[-1].split("(run ")[1].split(",")[0]
    listing = project.run("runs", run_id, check=0).stdout
    assert project.run("runs", "last", check=0).stdout == listing
    log = [line.split("log: ")[1] for line in listing.splitlines() if "log: " in line and "exits" in line][0]
    assert "giving up now" in pathlib.Path(log).read_text()
    # Asked how a value was made, an asset that only ever failed says so and where its log is.
    done = project.run("why", "bad", check=2)
    assert f"its last job, in run {run_id}, is failed: ValueError: no data" in done.stderr
    assert f"vorda logs {run_id} flaky:bad" in done.stderr


def test_graph_errors_exit_2(project):
    project.write("loop", """
        from vorda import asset

        @asset(inputs={"b": __file__ + ":b"})
        def a(b):
            return b

        @asset(inputs={"a": a})
        def b(a):
            return a
    """)
    project.write("lib.extra", """
        from vorda import asset

        @asset()
        def thing():
            return 1
    """)
    project.write("reader", """
        from vorda import asset
        from lib import extra

        @asset(inputs={"thing": extra.thing})
        def uses(thing):
            return thing
    """)
    done = project.run("run", "loop", check=2)
    assert "cycle between assets" in done.stderr and "loop:a" in done.stderr and "loop:b" in done.stderr
    # reader imports lib.extra, which is not named.
    done = project.run("run", "reader", check=2)
    assert "reader:uses reads" in done.stderr and "extra.py:thing" in done.stderr
    assert "add the module lib.extra" in done.stderr
    project.write("keyed", """
        from vorda import asset, partitions

        @asset(partitions={"region": partitions(["north", "south"])})
        def a(region):
            return region

        @asset(inputs={"a": "keyed:a"})
        def b(a):
            return a
    """)
    done = project.run("run", "keyed", check=2)
    assert '"<resolved source file>:<function>"; or give the asset itself, as inputs={\'a\': a}' in done.stderr
    (project.path / "keyed.py").write_text((project.path / "keyed.py").read_text().replace('"keyed:a"', "a"))
    done = project.run("run", "--partition", "region=east", "keyed", check=2)
    assert "--partition region=east: no selected asset has that key (keys of region: north, south)" in done.stderr
    done = project.run("run", "lib/extra.py", check=2)
    assert "name a module as Python imports it, dotted, such as lib.extra" in done.stderr
    assert not (project.path / ".vorda").exists()
    (project.path / "afile").write_text("")
    done = project.run("run", "--store", "afile", "lib.extra", check=2)
    assert done.stderr.strip().endswith("afile: File exists") and "cannot make the store" in done.stderr


def test_big_upstream_value_goes_through_a_file(project):
    project.write("big", """
        from vorda import asset

        @asset()
        def blob():
            return "x" * 20_000_000

        @asset(inputs={"blob": blob})
        def size(blob):
            return len(blob)
    """)
    project.run_json("big")
    assert project.value("big", "size") == 20_000_000


SLOW = """
import os, subprocess, time
from vorda import asset

def _slow(name):
    start = time.time()
    # A child in the worker's process group, to be ended with it.
    child = subprocess.Popen(["sleep", "{seconds}"])
    open(name + ".pids", "w").write(f"{{os.getpid()}} {{child.pid}}")
    child.wait()
    return [start, time.time()]

@asset()
def one():
    return _slow("one")

@asset()
def two():
    return _slow("two")
"""


def test_two_jobs_at_once(project):
    project.write("slow", SLOW.format(seconds=1))
    project.run_json("-j", "2", "slow")
    one, two = project.value("slow", "one"), project.value("slow", "two")
    assert one[0] < two[1] and two[0] < one[1]


def gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError):  # reaped before, or while, it was read
        return True


def test_interrupt_ends_every_worker_and_a_second_runner_is_refused(project):
    project.write("slow", SLOW.format(seconds=60))
    argv, kw = project.command("run", "--json", "-j", "2", "slow")
    runner = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    pid_files = [project.path / "one.pids", project.path / "two.pids"]
    deadline = time.monotonic() + 120
    while not all(p.exists() and p.read_text() for p in pid_files):
        assert runner.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    second = project.run("run", "slow", check=2)
    assert "another runner is using the store" in second.stderr

    runner.send_signal(signal.SIGINT)
    out, err = runner.communicate(timeout=60)
    assert runner.returncode == 130 and "Traceback" not in err, out + err
    summary = json.loads(out)
    assert summary["status"] == "interrupted"
    assert {j["status"] for j in summary["jobs"]} == {"interrupted"}
    pids = [int(pid) for p in pid_files for pid in p.read_text().split()]
    deadline = time.monotonic() + 10
    while not all(gone(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert all(gone(pid) for pid in pids)
    # Nothing was recorded as done, so the next run does both jobs.
    project.write("slow", SLOW.format(seconds=0))
    jobs, _ = project.run_json("slow")
    assert set(statuses(jobs).values()) == {"ok"}


def test_key_encoding_is_injective_and_readable():
    keys = ["north", "2026-12-01", 3, "3", 3.5, True, "true", None, "null", "", "a/b", "a%2Fb", ".", "..",
            ".hidden", "x=y", "Zürich", [1, "a"], {"a": 1}, "é" * 300, "é" * 301]
    encoded = [encode_key(k) for k in keys]
    assert len(set(encoded)) == len(keys)
    assert encoded[:3] == ["north", "2026-12-01", "3"]
    for text in encoded:
        assert "/" not in text and not text.startswith(".") and 0 < len(text) <= 200
