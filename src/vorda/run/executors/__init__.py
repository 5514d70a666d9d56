"""The executors: how a prepared job's worker runs. The runner submits jobs
and reads outcomes (``base``); each executor decides where the worker runs.

- ``processes``: a fresh ``python -m vorda.worker`` per job (the default);
- ``forks``: forks of a server process that imported the modules once
  (``forks_remote`` is the server);
- ``dask``: batches of jobs as tasks on a Dask cluster, each run through a
  fork server on its worker (``dask_remote`` is what a task runs).
"""

from __future__ import annotations

from typing import Callable

from vorda._command import UsageError
from vorda.run.executors.base import Executor, Outcome, PreparedJob
from vorda.run.search_path import SearchPath

__all__ = ["EXECUTORS", "Executor", "Outcome", "PreparedJob", "open_executor"]

EXECUTORS = ("processes", "forks", "dask")


def open_executor(
    name: str,
    jobs: int,
    search: SearchPath,
    modules: list[str],
    *,
    scheduler: str | None = None,
    store: str | None = None,
    batch: int | None = None,
    notice: Callable[[str], None] = lambda text: None,
) -> Executor:
    """Start the named executor for `jobs` jobs at once; forks falls back to
    processes, and so do dask's fork servers, telling `notice` why. The
    `store` folder is never shipped to a cluster; `batch` fixes the jobs per
    Dask task (default: sized from their measured times)."""
    if name not in EXECUTORS:
        raise UsageError(f"unknown executor {name!r} (choose from {', '.join(EXECUTORS)})")
    if scheduler is not None and name != "dask":
        raise UsageError("--scheduler is for --executor dask")
    if batch is not None and name != "dask":
        raise UsageError("--batch is for --executor dask")
    if name == "forks":
        from vorda.run.executors.forks import ForkExecutor, ForkRefused, server_count

        try:
            return ForkExecutor(jobs, modules, search.env, servers=server_count(jobs))
        except ForkRefused as why:
            notice(f"--executor forks: {why}; running each job in a fresh process instead (--executor processes)")
    elif name == "dask":
        from vorda.run.executors.dask import DaskExecutor

        return DaskExecutor(jobs, scheduler, search, store, modules, batch, notice)
    from vorda.run.executors.processes import ProcessExecutor

    return ProcessExecutor(jobs)
