"""Which executor runs the jobs: ``--executor processes|forks|dask``."""

from __future__ import annotations

import sys

from vorda.run.discovery import SearchPath
from vorda.run.errors import UsageError
from vorda.run.executors import Executor, ProcessExecutor

EXECUTORS = ("processes", "forks", "dask")


def open_executor(name: str, jobs: int, scheduler: str | None, modules: list[str], search: SearchPath,
                  paths: list[str]) -> Executor:
    """Start the chosen executor; forks falls back to processes, saying why."""
    if scheduler is not None and name != "dask":
        raise UsageError("--scheduler is for --executor dask")
    if name == "forks":
        from vorda.run.forks import ForkExecutor, ForkRefused

        try:
            return ForkExecutor(jobs, modules, search.env)
        except ForkRefused as why:
            print(f"vorda run: --executor forks: {why}; running each job in a fresh process instead "
                  "(--executor processes)", file=sys.stderr)
    elif name == "dask":
        from vorda.run.cluster import DaskExecutor

        return DaskExecutor(jobs, scheduler, search, paths)
    return ProcessExecutor(jobs)
