"""Incremental runs explain themselves: reasons, lineage, names, moved stores."""

import json
import shutil
import sqlite3
import subprocess
import textwrap
import time

from test_run import PIPE, Project, statuses

import pytest

import vorda
from vorda.run.store.layout import stat_text


@pytest.fixture
def project(tmp_path):
    return Project(tmp_path)


def reasons(jobs):
    return {key: (job["reason"], job["reason_detail"]) for key, job in jobs.items()}


def test_every_decision_says_why(project):
    source = project.write("pipe", PIPE)
    jobs, _ = project.run_json("pipe")
    assert {r for r, _ in reasons(jobs).values()} == {"new"}
    jobs, _ = project.run_json("--force", "--select", "base", "pipe")
    assert reasons(jobs) == {("pipe:base", "null"): ("forced", "forced: --force")}

    source.write_text(source.read_text().replace("VERSION = 10", "VERSION = 10\n"))  # no change of code
    source.write_text(source.read_text().replace('base["n"] * VERSION', 'base["n"] * VERSION + 1'))
    plan, _ = project.run_json("--dry-run", "pipe")
    got = reasons(plan)
    assert got[("pipe:part", '{"region": "north"}')] == ("code", "code: part in pipe.py")
    assert got[("pipe:same", '{"region": "south"}')] == ("upstream", "upstream: pipe:part will run")
    assert got[("pipe:base", "null")] == ("up-to-date", "")
    table = project.run("run", "--dry-run", "pipe", check=0).stdout
    assert "code: part in pipe.py" in table
    assert table.splitlines()[-1].startswith("6 jobs: 2 would run, 3 may run, 1 up-to-date")

    jobs, _ = project.run_json("pipe")
    got = reasons(jobs)
    assert got[("pipe:same", '{"region": "north"}')] == ("input", "input: pipe:part {region=north}")
    assert got[("pipe:every", "null")][0] == "input"
    # A value changed behind the store's back is put back from its kept copy.
    value = project.path / ".vorda/assets/pipe/base/value.json"
    value.write_text('{"n": 3}')
    jobs, _ = project.run_json("--select", "base", "pipe")
    reason, detail = reasons(jobs)[("pipe:base", "null")]
    assert reason == "restored" and detail.endswith("(new: its stored value or record changed or is gone)")
    assert value.read_text() == '{"n": 2}'


def test_going_back_restores_instead_of_recomputing(project):
    first = PIPE.replace("def part(base, region):", """def part(base, region):
    open(f"ran-{region}", "a").write("x")""")
    second = first.replace('base["n"] * VERSION', 'base["n"] * VERSION * 2')
    source = project.write("pipe", first)
    _, one = project.run_json("pipe")
    source.write_text(second)
    project.run_json("pipe")
    # A value as it was after an earlier run, from the kept objects.
    store = project.path / ".vorda"
    north = {"region": "north"}
    assert vorda.load("pipe:part", north, store=store) == {"region": "north", "n": 40}
    assert vorda.load("pipe:part", north, store=store, run=one["run_id"]) == {"region": "north", "n": 20}
    with pytest.raises(LookupError, match="no run nope"):
        vorda.load("pipe:part", north, store=store, run="nope")
    source.write_text(first)
    jobs, summary = project.run_json("pipe")
    # Back to the first code: restored, not run (the asset's own marks prove
    # it), and the values are the first run's again.
    assert statuses(jobs)[("pipe:part", '{"region": "north"}')] == "restored"
    assert (project.path / "ran-north").read_text() == "xx"
    assert project.value("pipe", "part", "region=north") == {"region": "north", "n": 20}
    assert statuses(jobs)[("pipe:same", '{"region": "north"}')] == "restored"
    assert summary["status"] == "ok"
    # The run list counts them too.
    tally = project.run("runs", check=0).stdout.splitlines()[1].split()[5]
    assert tally == "/".join(str(list(statuses(jobs).values()).count(word))
                             for word in ("ok", "restored", "failed", "skipped", "up-to-date"))
    # What was restored is the value from then on: the next run finds it up to date.
    jobs, _ = project.run_json("pipe")
    assert set(statuses(jobs).values()) == {"up-to-date"}
    assert vorda.load("pipe:part", north, store=store) == {"region": "north", "n": 20}
    # Lost objects are never restored: the job runs.
    for obj in (project.path / ".vorda/objects").rglob("*"):
        if obj.is_file():
            obj.unlink()
    source.write_text(second)
    project.run_json("pipe")
    source.write_text(first)
    jobs, _ = project.run_json("pipe")
    assert statuses(jobs)[("pipe:part", '{"region": "north"}')] == "ok"
    assert (project.path / "ran-north").read_text() == "xxxx"


def test_why_tells_how_a_value_was_made(project):
    project.write("pipe", PIPE)
    _, first = project.run_json("pipe")
    made = json.loads(project.run("why", "same", "--partition", "region=north", "--json", check=0).stdout)
    assert made["run_id"] == first["run_id"] and made["reason"] == "new"
    assert set(made["covers"]) == {"same in pipe.py", "REGIONS in pipe.py"}  # its decorator reads REGIONS
    (entry,) = made["inputs"]
    assert (entry["param"], entry["asset"], entry["partition"], entry["run_id"]) == (
        "part", "pipe:part", {"region": "north"}, first["run_id"])
    text = project.run("why", "pipe:same", "--partition", "region=north", check=0).stdout
    assert text.startswith("pipe:same region=north\n") and f"made by run {first['run_id']}" in text

    for args, message in ((["nothing"], "no asset nothing in the history (it has pipe:base"),
                          (["same"], "no value of pipe:same in the history (it has region=north, region=south"),
                          (["same", "--partition", "region=west"], "no value of partition region=west")):
        done = project.run("why", *args, check=2)
        assert message in done.stderr and done.stderr.count("\n") == 1 and done.stdout == ""


def test_names_and_a_moved_store(project):
    project.write("named", """
        from vorda import asset

        @asset(name="totals")
        def total():
            return 3

        @asset(inputs={"t": total})
        def doubled(t):
            return 2 * t
    """)
    jobs, _ = project.run_json("--select", "totals", "named")
    assert [(job["asset"], job["name"]) for job in jobs.values()] == [("named:total", "totals")]
    assert project.value("named", "total") == 3
    assert "totals" in project.run("run", "--all", "named", check=0).stdout
    made = json.loads(project.run("why", "totals", "--json", check=0).stdout)
    assert made["name"] == "totals" and made["asset"] == "named:total"

    shutil.move(project.path / ".vorda", project.path / "elsewhere")
    plan, _ = project.run_json("--dry-run", "--store", "elsewhere", "named")
    assert set(statuses(plan).values()) == {"up-to-date"}

    project.write("twice", """
        from vorda import asset

        @asset(name="same")
        def one():
            return 1

        @asset(name="same")
        def two():
            return 2
    """)
    done = project.run("run", "twice", check=2)
    assert "two assets are named 'same': twice:one and twice:two" in done.stderr


def test_gc_keeps_what_it_must(project):
    first = PIPE
    second = first.replace('base["n"] * VERSION', 'base["n"] * VERSION * 2')
    source = project.write("pipe", second)
    project.run_json("pipe")
    source.write_text(first)
    project.run_json("pipe")
    project.run_json("pipe")  # all up to date: this run made nothing
    project.run_json("--force", "--select", "base", "pipe")  # base's value is now this run's
    counted = project.run("gc", "--keep-runs", "1", "--dry-run", check=0).stdout
    objects = sorted(p for p in (project.path / ".vorda/objects").rglob("*") if p.is_file())
    assert counted.startswith("would free 5 kept value(s)")
    assert sorted(p for p in (project.path / ".vorda/objects").rglob("*") if p.is_file()) == objects

    done = project.run("gc", "--keep-runs", "1", check=0)
    # The first variant's values go; so do the first run (its base was made
    # again since) and the up-to-date run.
    assert done.stdout.startswith("freed 5 kept value(s)") and "2 run(s) of history" in done.stdout
    assert len(project.run("runs", check=0).stdout.splitlines()) == 3
    plan, _ = project.run_json("--dry-run", "pipe")
    assert set(statuses(plan).values()) == {"up-to-date"}  # the tree's values and their history stay
    source.write_text(second)
    jobs, _ = project.run_json("pipe")
    assert statuses(jobs)[("pipe:part", '{"region": "north"}')] == "ok"  # its kept copy is gone: run

    lock = project.path / ".vorda/lock"
    import fcntl

    with open(lock, "a") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        done = project.run("gc", check=2)
    assert "another runner is using the store" in done.stderr and done.stdout == ""


def test_a_folder_made_a_store_keeps_what_was_already_there(project):
    project.write("pipe", PIPE)
    mine = project.path / "data"
    for name in ("tmp/notes/draft.txt", "tmp/scratch.txt", "objects/ab/mine"):
        (mine / name).parent.mkdir(parents=True, exist_ok=True)
        (mine / name).write_text("precious")
    before = sorted(p for p in mine.rglob("*"))
    # Not a store yet: gc says so and makes nothing there.
    assert "no store at data" in project.run("gc", "--store", "data", check=2).stderr
    assert sorted(p for p in mine.rglob("*")) == before
    project.run_json("--store", "data", "pipe")
    project.run_json("--store", "data", "pipe")  # a second run sweeps what runs leave in tmp
    assert all(p.read_text() == "precious" for p in before if p.is_file())
    assert project.run("gc", "--store", "data", "--keep-runs", "0", check=0).stdout.startswith("freed 0 kept")
    assert (mine / "objects/ab/mine").read_text() == "precious"
    # A store that cannot be locked (written): gc says so in a line; its dry run needs no lock.
    (mine / "lock").unlink()
    (mine / "lock").mkdir()
    assert "cannot lock the store" in project.run("gc", "--store", "data", check=2).stderr
    assert project.run("gc", "--store", "data", "--dry-run", check=0).stdout.startswith("would free 0 kept")


# Partition 0 says it started, then waits until the test has edited the module.
WAITS = """
    import os, time
    from vorda import asset, partitions

    def other():
        return 1

    @asset(partitions={"k": partitions([0, 1])})
    def v(k):
        if k == 0:
            open("started", "w").close()
            deadline = time.monotonic() + 60
            while not os.path.exists("edited") and time.monotonic() < deadline:
                time.sleep(0.02)
            time.sleep(AFTER)
        return VALUE
"""


def run_editing(project, source, old, new, *options):
    """The jobs of a run during which `old` is replaced by `new` in `source`, by partition."""
    argv, kw = project.command("run", "--json", "-j", "1", *options, source.stem)
    runner = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    deadline = time.monotonic() + 60
    while not (project.path / "started").exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    source.write_text(source.read_text().replace(old, new))
    (project.path / "edited").touch()
    out, err = runner.communicate(timeout=120)
    assert "Traceback" not in err, err
    return {j["partition"]["k"]: j for j in json.loads(out)["jobs"]}


@pytest.mark.parametrize("executor", ["processes", "forks"])
def test_a_job_whose_code_is_edited_during_the_run_is_not_recorded_ok(project, executor):
    first = WAITS.replace("AFTER", "0").replace("VALUE", '"V1"')
    source = project.write("edit", first)
    # Saved while the run goes: the next job would import it.
    jobs = run_editing(project, source, '"V1"', '"V2"', "--executor", executor)
    assert all(j["status"] == "failed" and "its code changed while the run went" in j["error"]
               for j in jobs.values()), jobs
    # Nor do its files say so: whoever reads them finds a failure record.
    record = json.loads((project.path / ".vorda/assets/edit/v/k=1/result.json").read_text())
    assert record["ok"] is False and "its code changed" in record["error"]
    # Back to the first code: nothing made under the second passes for it.
    source.write_text(textwrap.dedent(first))
    jobs, _ = project.run_json("edit")
    assert set(statuses(jobs).values()) == {"ok"}
    assert [project.value("edit", "v", f"k={k}") for k in (0, 1)] == ["V1", "V1"]


def test_an_edit_that_leaves_an_asset_its_code_fails_only_the_jobs_it_met(project):
    # The next job starts well after the edit, which changes nothing v reaches.
    source = project.write("calm", WAITS.replace("AFTER", "1.5").replace("VALUE", "k"))
    jobs = run_editing(project, source, "return 1", "return 2")
    # The job the edit met may have read it; the next one read it whole.
    assert {k: j["status"] for k, j in jobs.items()} == {0: "failed", 1: "ok"}
    jobs, _ = project.run_json("calm")
    assert statuses(jobs) == {("calm:v", '{"k": 0}'): "ok", ("calm:v", '{"k": 1}'): "up-to-date"}


def test_code_versions_cover_what_an_asset_reaches(project):
    project.write("lib.util", """
        SCALE = 10

        def scaled(x):
            return x * SCALE

        def unused():
            return 0
    """)
    source = project.write("reach", """
        import importlib
        from vorda import asset
        from lib.util import scaled

        OFFSET = 1

        def helper(x):
            return scaled(x) + OFFSET

        @asset()
        def uses_helper():
            return helper(1)

        @asset()
        def plain():
            return 5

        @asset()
        def dynamic():
            return getattr(importlib.import_module("lib.util"), "SCA" + "LE")
    """)
    project.run_json("reach")
    util = project.path / "lib/util.py"

    def reasons_after(edit_file, old, new):
        edit_file.write_text(edit_file.read_text().replace(old, new))
        plan, _ = project.run_json("--dry-run", "reach")
        project.run_json("reach")
        return {asset: job["reason_detail"] for (asset, _), job in plan.items() if job["status"] == "run"}

    assert reasons_after(source, "OFFSET = 1", "OFFSET = 2") == {"reach:uses_helper": "code: OFFSET in reach.py"}
    # `dynamic` reads lib.util by a computed name: it covers the whole module.
    whole = "code: lib/util.py (dynamic reference)"
    assert reasons_after(util, "x * SCALE", "x * SCALE * 1") == {"reach:uses_helper": "code: scaled in lib/util.py",
                                                                 "reach:dynamic": whole}
    assert reasons_after(util, "return 0", "return 1") == {"reach:dynamic": whole}  # unused by the others
    assert reasons_after(source, "    return 5", "    # a comment\n    return 5") == {
        "reach:plain": "code: plain in reach.py"}
    assert reasons_after(source, "# a comment", "# another comment") == {"reach:plain": "code: plain in reach.py"}
    source.write_text(source.read_text() + "\n# a comment outside every definition\n")
    plan, _ = project.run_json("--dry-run", "reach")
    assert {job["status"] for job in plan.values()} == {"up-to-date"}


def test_a_kept_value_written_through_the_tree_is_kept_again(project):
    project.write("one", """
        from vorda import asset

        @asset()
        def a():
            return {"v": 1}
    """)
    _, first = project.run_json("one")
    # In place: the kept copy, a link of the same file, changes too.
    (project.path / ".vorda/assets/one/a/value.json").write_text('{"v": 7}')
    jobs, _ = project.run_json("one")
    assert statuses(jobs)[("one:a", "null")] == "ok"
    assert vorda.load("one:a", store=project.path / ".vorda", run=first["run_id"]) == {"v": 1}


def test_a_copied_store_is_read_once_then_known_by_its_new_stats(project):
    project.write("pipe", PIPE)
    project.run_json("pipe")
    copy = project.path / "copy"
    shutil.copytree(project.path / ".vorda", copy)  # every file a new inode
    # Only a reader run: base's value is read from the store as an upstream, and checked.
    jobs, _ = project.run_json("--store", str(copy), "--select", "part", "pipe")
    assert set(statuses(jobs).values()) == {"up-to-date"}
    # The check read the files once and now knows them by their new stats.
    value = copy / "assets/pipe/base/value.json"
    with sqlite3.connect(copy / "history.sqlite") as db:
        recorded = db.execute("SELECT value_stat, record_stat FROM jobs WHERE asset LIKE '%base' AND status='ok'")
        assert recorded.fetchall() == [(stat_text(value.stat()), stat_text((value.parent / "result.json").stat()))]
