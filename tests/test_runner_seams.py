"""The runner's seams without processes: planning, selection, the
up-to-date decision and each way a job can end, through a fake executor."""

import json
import signal
import sqlite3
from concurrent.futures import Future

import pytest

from vorda._command import UsageError
from vorda.run.executors.base import Outcome
from vorda.run.plan import RunFailed, plan_assets
from vorda.run.planning import graph
from vorda.run.planning.discovery import Asset
from vorda.run.search_path import SearchPath
from vorda.run.status import JobStatus, RunStatus
from vorda.run.store import files
from vorda.run.store import history as history_module
from vorda.run.store.history import History
from vorda.run.store.keys import MAX_COMPONENT, canonical, escape, partition_label
from vorda.run.store.layout import Store


def asset(name, inputs=(), dims=None, version="v1", module="m"):
    return Asset(
        ref=f"/p/{module}.py:{name}",
        module=module,
        function=name,
        inputs={param: f"/p/m.py:{up}" for param, up in dict(inputs).items()},
        dims=dims or {},
        code_version=version,
        modules=frozenset({module}),
    )


def catalogue(*assets):
    return {a.ref: a for a in assets}


PIPE = catalogue(
    asset("base"),
    asset("part", {"base": "base"}, {"region": ["north", "south"]}),
    asset("same", {"part": "part"}, {"region": ["north", "south"]}),
    asset("every", {"part": "part"}),
    asset("cross", {"part": "part"}, {"year": [2025, 2026], "region": ["north", "south"]}),
)


def replace(path, text):
    """Write as the worker does: a new file renamed over the name."""
    path.with_name(path.name + ".tmp").write_text(text)
    path.with_name(path.name + ".tmp").rename(path)


class FakeExecutor:
    """Runs nothing: writes what a worker would, as `behave[function]` says."""

    def __init__(self, **behave):
        self.behave = behave
        self.ran = []
        self.queued = []

    def submit(self, job):
        given = job.inputs()
        self.ran.append((job.function, json.loads(given) if given is not None else None))
        how = self.behave.get(job.function, "ok")
        future = Future()
        if how == "raise":
            future.set_exception(RuntimeError("no worker"))
            return future
        if how == "interrupt":
            raise KeyboardInterrupt
        if how == "queued":  # waits in the executor until the run stops
            self.queued.append(future)
            return future
        out = job.output_dir
        if how in ("ok", "ok-no-value"):
            if how == "ok":
                replace(out / "value.json", json.dumps([job.function, self.ran[-1][1]]))
            replace(out / "result.json", json.dumps({"ok": True, "value_path": str(out / "value.json")}))
            future.set_result(Outcome(0, None, ""))
        elif how == "record":
            replace(out / "result.json", json.dumps({"ok": False, "error": "ValueError: no data"}))
            future.set_result(Outcome(1, None, ""))
        elif how == "exit":
            future.set_result(Outcome(3, None, "giving up"))
        elif how == "signal":
            future.set_result(Outcome(None, signal.SIGKILL, ""))
        elif how == "lost":
            future.set_result(Outcome(None, None, "", "the Dask worker was lost"))
        return future

    def cancel(self, seq):
        pass

    def stop(self):
        for future in self.queued:
            future.set_result(Outcome.stopped_first())

    def shutdown(self):
        self.shut = getattr(self, "shut", 0) + 1


def plan(tmp_path, assets=PIPE, **options):
    return plan_assets(assets, ["m"], Store(tmp_path / "store"), SearchPath([]), **options)


def run(tmp_path, assets=PIPE, executor=None, **options):
    result = plan(tmp_path, assets, **options).execute(executor or FakeExecutor(), jobs=2)
    return result, {(r.asset, r.partition_text): r for r in result.rows}


def test_binding_rules(tmp_path):
    jobs = plan(tmp_path, catalogue(*PIPE.values(), asset("yearly", {"cross": "cross"}, {"year": [2025, 2026]}))).jobs
    by_name = {job.name: job for job in jobs}
    # The partition's text, made once per key, is its canonical JSON.
    assert all(job.partition_id == (canonical(job.keys) if job.keys else "") for job in jobs)
    base = by_name["m:base"].seq
    # an unpartitioned upstream is one value
    north = by_name["m:part region=north"]
    assert [(b.param, b.as_list, b.upstream) for b in north.bindings] == [("base", False, (base,))]
    # an upstream whose dimensions the reader has: the matching partition
    assert by_name["m:same region=south"].bindings[0].upstream == (by_name["m:part region=south"].seq,)
    assert by_name["m:cross year=2026 region=north"].bindings[0].upstream == (north.seq,)
    # some dimensions shared: the partitions that agree on them, as a list in job order
    yearly = by_name["m:yearly year=2026"].bindings[0]
    assert yearly.as_list and yearly.upstream == (by_name["m:cross year=2026 region=north"].seq,
                                                  by_name["m:cross year=2026 region=south"].seq)
    # none shared: the list of every partition
    every = by_name["m:every"].bindings[0]
    assert every.as_list and len(every.upstream) == 2

    narrow = asset("narrow", dims={"region": ["north"]})
    wide = asset("wide", {"n": "narrow"}, {"region": ["north", "west"]})
    with pytest.raises(UsageError, match="m:wide region=west reads m:narrow, which has no partition region=west"):
        plan(tmp_path, catalogue(narrow, wide))


def test_selection(tmp_path):
    other = asset("base", module="o")
    assets = catalogue(*PIPE.values(), other)
    label = lambda refs: sorted(assets[r].label for r in refs)  # noqa: E731
    assert label(graph.select(assets, ["m:same"])) == ["m:same"]
    assert label(graph.select(assets, ["+same"])) == ["m:base", "m:part", "m:same"]
    assert label(graph.select(assets, ["part+"])) == ["m:cross", "m:every", "m:part", "m:same"]
    with pytest.raises(UsageError, match=r"several assets have that name \(m:base, o:base\)"):
        graph.select(assets, ["base"])
    with pytest.raises(UsageError, match="no discovered asset"):
        graph.select(assets, ["nothing"])
    # Jobs a selection reads but does not run come from the store.
    with pytest.raises(UsageError, match="m:part region=north is needed upstream"):
        plan(tmp_path, select=["same"]).execute(FakeExecutor())


def test_up_to_date_decision(tmp_path):
    result, rows = run(tmp_path)
    assert result.status == RunStatus.OK and len(rows) == 10
    assert rows["m:every", ""].status == JobStatus.OK

    _, rows = run(tmp_path)
    assert {r.status for r in rows.values()} == {JobStatus.UP_TO_DATE}

    # A new code version reruns the asset; readers of an equal value stay.
    changed = dict(PIPE, **{"/p/m.py:part": asset("part", {"base": "base"}, {"region": ["north", "south"]}, "v2")})
    statuses = {r.status for (name, _), r in run(tmp_path, changed)[1].items() if name != "m:part"}
    assert statuses == {JobStatus.UP_TO_DATE}
    assert plan(tmp_path, changed).dry_run()[0].status == JobStatus.UP_TO_DATE

    # A value changed behind the store's back is made again; so is
    # everything under --force.
    value = tmp_path / "store/assets/m/base/value.json"
    value.write_text("[]")
    _, rows = run(tmp_path, changed)
    assert rows["m:base", ""].status == JobStatus.OK and value.read_text() != "[]"
    assert {r.status for r in run(tmp_path, changed, force=True)[1].values()} == {JobStatus.OK}


def test_each_way_a_job_ends(tmp_path):
    assets = catalogue(*(asset(name) for name in ("good", "novalue", "record", "exit", "signal", "lost", "raise")),
                       asset("after", {"x": "record"}), asset("later", {"y": "after"}))
    executor = FakeExecutor(**{"novalue": "ok-no-value", "record": "record", "exit": "exit", "signal": "signal",
                               "lost": "lost", "raise": "raise"})
    result, rows = run(tmp_path, assets, executor)
    got = {name: (row.status, row.error) for (name, _), row in rows.items()}
    assert result.status == RunStatus.FAILED
    assert got["m:good"] == (JobStatus.OK, None)
    assert got["m:novalue"][0] == JobStatus.FAILED
    assert got["m:novalue"][1].startswith("the worker reported success but its value is unreadable")
    assert got["m:record"] == (JobStatus.FAILED, "ValueError: no data")
    assert got["m:exit"] == (JobStatus.FAILED,
                             "the worker exited with status 3 without a result record; its last output:\ngiving up")
    assert got["m:signal"] == (JobStatus.FAILED, "the worker was killed by SIGKILL without a result record")
    assert got["m:lost"] == (JobStatus.FAILED, "the Dask worker was lost")
    assert got["m:raise"] == (JobStatus.FAILED, "could not run the worker: RuntimeError: no worker")
    # A skip names the failed asset at its root, however far down.
    assert got["m:after"] == got["m:later"] == (JobStatus.SKIPPED, "upstream m:record failed")
    # The record an earlier run left is never taken for this one's.
    again = {name: row for (name, _), row in run(tmp_path, assets, FakeExecutor(good="exit"), force=True)[1].items()}
    assert (again["m:good"].status, again["m:good"].error) == got["m:exit"]


def test_interrupt_and_stale_runs(tmp_path):
    result, rows = run(tmp_path, executor=FakeExecutor(part="interrupt"))
    assert result.status == RunStatus.INTERRUPTED
    assert rows["m:base", ""].status == JobStatus.OK
    assert rows["m:part", "region=north"].status == JobStatus.INTERRUPTED  # stopped while submitted
    assert rows["m:part", "region=south"].status == rows["m:every", ""].status == JobStatus.NOT_RUN
    # A job still waiting in the executor when the run stops never ran.
    result, rows = run(tmp_path / "queued", catalogue(asset("waits"), asset("stops")),
                       FakeExecutor(waits="queued", stops="interrupt"))
    assert result.status == RunStatus.INTERRUPTED
    assert rows["m:waits", ""].status == JobStatus.NOT_RUN
    assert rows["m:stops", ""].status == JobStatus.INTERRUPTED

    # A runner killed outright leaves its run "running": the next one closes it.
    history = History(tmp_path / "h.sqlite")
    history.start_run("r1", ["vorda"], ["m"], [(0, "a", "m:a", None, "v"), (1, "b", "m:b", None, "v")])
    history.record_job("r1", 0, status=JobStatus.RUNNING)
    history.close()
    history = History(tmp_path / "h.sqlite")
    history.end_stale_runs()
    assert [row[2] for row in history.jobs("r1")] == [JobStatus.INTERRUPTED, JobStatus.NOT_RUN]
    assert history.runs(1)[0][3] == RunStatus.INTERRUPTED
    history.close()


def test_a_batch_larger_than_a_transaction_is_recorded_whole(tmp_path, monkeypatch):
    monkeypatch.setattr(history_module, "RECORD_CHUNK", 2)
    history = History(tmp_path / "h.sqlite")
    history.start_run("r1", ["vorda"], ["m"], [(n, "a", "m:a", str(n), "v") for n in range(5)])
    history.record_jobs("r1", [(n, {"status": JobStatus.OK, "seconds": n}) for n in range(5)])
    assert [row[2] for row in history.jobs("r1")] == [JobStatus.OK] * 5
    history.close()


def test_runs_that_draw_the_same_id_are_both_recorded(tmp_path, monkeypatch):
    drawn = iter(["r1", "r1", "r2"])
    monkeypatch.setattr(history_module, "new_run_id", lambda: next(drawn))
    history = History(tmp_path / "h.sqlite")
    jobs = [(0, "a", "m:a", None, "v")]
    assert [history.open_run(["vorda"], ["m"], jobs) for _ in range(2)] == ["r1", "r2"]
    assert len(history.jobs("r2")) == 1
    history.close()


def test_a_value_as_of_a_run_killed_outright_is_not_a_later_runs(tmp_path):
    history = History(tmp_path / "h.sqlite")
    for run, value in (("r1", "h1"), ("r2", None), ("r3", "h3")):
        history.start_run(run, ["vorda"], ["m"], [(0, "a", "m:a", None, "v")])
        if value:
            history.record_job(run, 0, status=JobStatus.OK, started=history.runs(1)[0][1], value_path="v",
                               value_hash=value)
            history.end_run(run, RunStatus.OK)
    history.end_stale_runs()  # r2 was killed: it never ends
    assert history.value_after("a", "", "r2") == ("v", "h1")
    history.close()


def test_restores_recorded_without_their_start_are_ordered_by_their_run(tmp_path):
    history = History(tmp_path / "h.sqlite")
    history.start_run("r1", ["vorda"], ["m"], [(0, "a", "m:a", None, "v")])
    history.record_job("r1", 0, status=JobStatus.RESTORED, value_path="v", value_hash="h")
    history.close()
    with sqlite3.connect(tmp_path / "h.sqlite") as db:  # as an older runner left it
        db.execute("PRAGMA user_version=0")
    history = History(tmp_path / "h.sqlite")
    assert history.last_oks("a")[None].started == history.runs(1)[0][1]
    history.close()


def test_a_store_fault_after_the_start_is_a_failed_run(tmp_path, monkeypatch):
    def broken(self, run_id, seq, **fields):
        raise sqlite3.OperationalError("disk I/O error")

    monkeypatch.setattr(History, "record_job", broken)
    with pytest.raises(RunFailed, match="OperationalError: disk I/O error") as failed:
        plan(tmp_path).execute(FakeExecutor())
    # The run was still closed in the history.
    monkeypatch.undo()
    history = History(tmp_path / "store/history.sqlite", readonly=True)
    assert history.runs(1)[0][0] == failed.value.run_id and history.runs(1)[0][3] == RunStatus.INTERRUPTED
    history.close()


def test_a_run_that_fails_before_its_first_job_shuts_its_executor_down(tmp_path, monkeypatch):
    # Its servers would otherwise outlive the call, holding the imports.
    def broken(self, *args):
        raise sqlite3.OperationalError("database is locked")

    with monkeypatch.context() as patched:
        patched.setattr(History, "start_run", broken)
        executor = FakeExecutor()
        with pytest.raises(sqlite3.OperationalError):
            plan(tmp_path).execute(executor)
        assert executor.shut == 1 and not executor.ran
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "store/logs").symlink_to(tmp_path / "elsewhere")
    executor = FakeExecutor()
    with pytest.raises(RunFailed, match="symbolic link"):
        plan(tmp_path).execute(executor)
    assert executor.shut == 1 and not executor.ran


def test_a_long_dimension_name_with_a_long_key_still_has_a_folder(tmp_path):
    dim = "d" * 60
    result, rows = run(tmp_path, catalogue(asset("wide", dims={dim: ["k" * 300, "k" * 301]})))
    assert result.status == RunStatus.OK
    folders = [p.name for p in (tmp_path / "store/assets/m/wide").iterdir()]
    assert len(folders) == 2 and all(len(name) <= 255 for name in folders)


def test_keys_at_the_length_limit_and_labels():
    for length in (MAX_COMPONENT - 1, MAX_COMPONENT):
        assert escape("a" * length) == "a" * length
    longer = [escape("a" * (MAX_COMPONENT + 1)), escape("a" * (MAX_COMPONENT + 2)), escape("é" * 100)]
    assert all(len(text) == MAX_COMPONENT and "~" in text for text in longer)
    assert len(set(longer)) == 3
    # Text that would read as another value is shown as JSON.
    assert partition_label({"k": "3", "n": 3, "s": "north", "e": "", "w": "a b"}) == 'k="3" n=3 s=north e="" w="a b"'
    # What shows as a plain space, or as nothing, is escaped: no two keys look alike.
    assert partition_label({"w": "a\u00a0b", "z": "a\u200bb"}) == r'w="a\u00a0b" z="a\u200bb"'


def test_planning_work_grows_with_the_partitions_not_faster(tmp_path, monkeypatch):
    from vorda.run.planning import jobs as jobs_module
    from vorda.run.store import keys

    counted = {"sql": 0, "canonical": 0, "opened": 0}
    history = Store.history

    def traced_history(self, readonly=False):
        opened = history(self, readonly)
        if opened.db is not None:
            opened.db.set_trace_callback(lambda statement: counted.__setitem__("sql", counted["sql"] + 1))
        return opened

    canonical_ = keys.canonical

    def counting(value):
        counted["canonical"] += 1
        return canonical_(value)

    opened = files.open_under

    def counting_opens(root, path):
        counted["opened"] += 1
        return opened(root, path)

    monkeypatch.setattr(Store, "history", traced_history)
    monkeypatch.setattr(jobs_module, "canonical", counting)
    monkeypatch.setattr(files, "open_under", counting_opens)
    work = {}
    for n in (200, 400):
        assets = catalogue(asset("wide", dims={"i": list(range(n))}), asset("reads", {"w": "wide"}, {"i": list(range(n))}))
        run(tmp_path / str(n), assets)  # every partition ran ok: the dry run reads the history
        counted.update(sql=0, canonical=0, opened=0)
        assert {row.status for row in plan(tmp_path / str(n), assets).dry_run()} == {JobStatus.UP_TO_DATE}
        work[n] = dict(counted)
    # The history is read per asset, not per job; key texts are made per key;
    # files whose stats are those recorded are not opened.
    assert work[400]["sql"] == work[200]["sql"]
    assert work[400]["canonical"] <= 2 * work[200]["canonical"] + 2
    assert work[400]["opened"] == work[200]["opened"] == 0


def test_an_older_history_is_read_as_it_is(tmp_path):
    run(tmp_path)
    path = tmp_path / "store/history.sqlite"
    with sqlite3.connect(path) as db:
        db.execute("ALTER TABLE jobs DROP COLUMN record_stat")  # as written before that column
    before = path.read_bytes()
    # The dry run reads it unchanged, checking each value the slow way.
    assert {row.status for row in plan(tmp_path).dry_run()} == {JobStatus.UP_TO_DATE}
    assert path.read_bytes() == before
    # A run adds the column.
    assert {r.status for r in run(tmp_path)[1].values()} == {JobStatus.UP_TO_DATE}
    assert {r.status for r in run(tmp_path, force=True)[1].values()} == {JobStatus.OK}
    assert {row.status for row in plan(tmp_path).dry_run()} == {JobStatus.UP_TO_DATE}
