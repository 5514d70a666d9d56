"""The runner as a library: ``make_plan`` discovers and plans, the plan
answers what would run and runs it.

    plan = make_plan(["shop"], store=".vorda", select=["+daily_total"])
    plan.dry_run()                  # each job's would-be status
    result = plan.execute("forks")  # run it; result.status, result.rows
"""

from __future__ import annotations

import contextlib
import gc
import logging
import os
import sqlite3
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterator, Mapping, Sequence

from vorda._command import UsageError
from vorda.run.code_watch import CodeWatch
from vorda.run.executors import Executor, groups, open_executor
from vorda.run.planning import graph
from vorda.run.planning.discovery import Asset, discover, project_of
from vorda.run.planning.jobs import Job, plan_jobs
from vorda.run.runner import JobRow, NoProgress, Progress, Run
from vorda.run.search_path import SearchPath
from vorda.run.status import RunStatus
from vorda.run.store.history import History
from vorda.run.store.layout import Store

_log = logging.getLogger("vorda")


class RunFailed(Exception):
    """The store or the history failed after the run had started: jobs may
    have run. The message names what failed."""

    def __init__(self, run_id: str, message: str) -> None:
        super().__init__(message)
        self.run_id = run_id


@dataclass(frozen=True)
class RunResult:
    run_id: str
    status: RunStatus
    rows: list[JobRow]  # one per selected job, in plan order


class Plan:
    """Every job a run of the selection needs, upstream first."""

    def __init__(
        self,
        store: Store,
        search: SearchPath,
        modules: list[str],
        assets: dict[str, Asset],
        jobs: list[Job],
        force: bool,
    ) -> None:
        self.store, self.search, self.modules = store, search, modules
        self.assets, self.jobs, self.force = assets, jobs, force

    @property
    def selected(self) -> list[Job]:
        """The jobs to run (or find up to date); the others are read from the store."""
        return [job for job in self.jobs if job.selected]

    def dry_run(self) -> list[JobRow]:
        """Each selected job with its would-be status (run, may run or
        up-to-date); nothing is run or written."""
        history = self.store.history(readonly=True)
        try:
            with _no_collections():
                run = Run(self.jobs, self.store, history, self.search.env, self.force)
                run.keeps_restats = False
                run.read_upstream_from_store()
                run.would_be()
        finally:
            history.close()
        return list(run.rows.values())

    def execute(
        self,
        executor: str | Executor = "processes",
        *,
        jobs: int | None = None,
        scheduler: str | None = None,
        batch: int | None = None,
        timeout: float | None = None,
        retries: int = 0,
        progress: Progress | None = None,
        argv: Sequence[str] | None = None,
        notice: Callable[[str], None] = _log.warning,
    ) -> RunResult:
        """Run the plan under the store's lock, `jobs` at a time (default: the
        number of CPUs), with the named executor or the one given (which is
        shut down after the run; `batch`: the jobs per Dask task, default
        sized from their times). A job running longer than `timeout` seconds
        is ended and fails; one that fails by an exception or a non-zero exit
        is tried up to `retries` more times. `argv` is what the history records as the
        command; `notice` hears of an executor falling back. On Linux this
        process becomes a child subreaper, so that what assets leave behind
        is ended with the run.

        Raises UsageError when nothing could be run (the store is locked, an
        upstream has no value), RunFailed when the store or the history failed
        once jobs had started."""
        parallel = jobs or os.cpu_count() or 1
        self.store.create()
        lock = self.store.lock()
        try:
            history = self.store.history()
            try:
                _end_leftovers(self.store, history)
                with _no_collections():
                    run = Run(self.jobs, self.store, history, self.search.env, self.force, timeout, retries)
                run.read_upstream_from_store()
                read_since: float | None = 0.0  # an executor given: when it read the code is not known
                if isinstance(executor, str):
                    modules = sorted({job.asset.module for job in run.selected})
                    opened = time.time()
                    executor = open_executor(executor, parallel, self.search, modules, scheduler=scheduler,
                                             store=str(self.store.root), batch=batch, notice=notice)
                    # Jobs read their code as they start, or their servers did once (from `opened` on).
                    read_since = opened if getattr(executor, "imports_once", True) else None
                run.code_watch = CodeWatch(lambda: project_of(self.search), read_since)
                try:
                    groups.become_subreaper()
                    run_id = history.open_run(
                        list(argv) if argv is not None else ["vorda", "run", *self.modules],
                        self.modules,
                        [(j.seq, j.asset.key, j.asset.label, j.partition_id or None, j.asset.code_version)
                         for j in run.selected],
                    )
                except BaseException:
                    executor.shutdown()  # from here on, the run shuts it down
                    raise
                status = RunStatus.INTERRUPTED  # unless the run gets to say otherwise
                try:
                    try:
                        with progress or NoProgress() as shown:
                            status = run.execute(run_id, executor, parallel, shown)
                    finally:
                        history.end_run(run_id, status)
                except OSError as error:
                    raise RunFailed(run_id, f"{type(error).__name__}: {error}") from error
                except sqlite3.Error as error:
                    raise RunFailed(run_id, f"the run history {history.path}: {type(error).__name__}: {error}") \
                        from error
            finally:
                history.close()
        finally:
            lock.release()
        return RunResult(run_id, status, list(run.rows.values()))


def _end_leftovers(store: Store, history: History) -> None:
    """What a runner killed outright left: its workers' process groups, while
    their leader is still the process it started (never a reused pid), its
    run marked running, its inputs files."""
    stale = [pid for pid, start in history.running_groups() if start is not None and groups.start_time(pid) == start]
    if stale:
        groups.end_groups(stale, kill=groups.kill_leader_and_group)
    history.end_stale_runs()
    store.sweep_tmp()


def make_plan(
    modules: Sequence[str] = (),
    *,
    store: str | os.PathLike[str] = ".vorda",
    path: Sequence[str] = (),
    select: Sequence[str] = (),
    partitions: Mapping[str, Sequence[Any]] | None = None,
    force: bool = False,
    notice: Callable[[str], None] = _log.warning,
) -> Plan:
    """Discover the assets of `modules` (a package stands for all its
    modules; none: those of the store's last run) and plan the jobs of the
    selection.

    `path` folders go before the module search path (as ``--path``),
    `select` takes ``--select``'s forms (``name``, ``module:name``, ``+name``
    for its upstream, ``name+`` for its downstream), `partitions` keeps only
    the partitions whose key in a dimension is one of those given, `force`
    runs what is up to date too. What the modules write on standard error
    while they import goes to `notice`. Raises UsageError, naming the fault,
    when discovery or the graph fails."""
    where = Store(store)
    search = SearchPath(list(path))
    names = list(modules)
    if not names:
        reader = where.history(readonly=True)
        try:
            names = reader.last_modules()
        finally:
            reader.close()
        if not names:
            raise UsageError(f"no module given, and the store {store} has no earlier run to take them from")
    for name in names:
        if "/" in name or (name.endswith(".py") and os.path.isfile(name)):
            dotted = name.removeprefix("./").removesuffix(".py").replace("/", ".")
            raise UsageError(f"{name}: name a module as Python imports it, dotted, such as {dotted} "
                             "(with --path DIR when its folder is not the current one)")
    expanded = search.expand(names)
    found = discover(expanded, search) if expanded else None
    if found is not None and found.messages:
        notice(found.messages)
    if found is None or not found.assets:
        raise UsageError("no assets found in " + ", ".join(expanded or names))
    return plan_assets(found.assets, expanded, where, search, select=select, partitions=partitions, force=force)


def plan_assets(
    assets: dict[str, Asset],
    modules: list[str],
    store: Store,
    search: SearchPath,
    *,
    select: Sequence[str] = (),
    partitions: Mapping[str, Sequence[Any]] | None = None,
    force: bool = False,
) -> Plan:
    """The plan of assets already discovered."""
    graph.check_inputs(assets, search)
    order = graph.asset_order(assets)
    chosen = graph.select(assets, list(select))
    filters = {dim: list(keys) for dim, keys in (partitions or {}).items()}
    with _no_collections():
        jobs = plan_jobs(assets, order, chosen, filters)
    return Plan(store, search, modules, assets, jobs, force)


@contextlib.contextmanager
def _no_collections() -> Iterator[None]:
    """The cycle collector held off while a plan's objects are made: they
    hold no cycles, and collections while hundreds of thousands of them are
    made would scan them over and over."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()
