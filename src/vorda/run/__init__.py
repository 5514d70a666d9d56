"""The pipeline runner behind ``vorda run`` and ``vorda runs``.

``make_plan(modules, ...)`` discovers the assets and plans the jobs; the
plan's ``dry_run()`` tells what would run and ``execute()`` runs it. The
parts: planning (``planning``: discovery, graph, jobs), the store
(``store``: layout, keys, files, history, lock, inputs), the executors
(``executors``), the run itself (``runner``), what users see (``report``)
and the commands (``cli``).
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vorda.run.plan import Plan, RunFailed, RunResult, make_plan
    from vorda.run.runner import JobRow
    from vorda.run.status import JobStatus, RunStatus

__all__ = ["make_plan", "Plan", "RunResult", "RunFailed", "JobRow", "JobStatus", "RunStatus"]

# Imported when first asked for: the fork server and the discovery process
# import parts of this package, and every module they hold makes each fork
# (and each discovery) dearer.
_HOMES = {"make_plan": "plan", "Plan": "plan", "RunResult": "plan", "RunFailed": "plan", "JobRow": "runner",
          "JobStatus": "status", "RunStatus": "status"}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f"vorda.run.{home}"), name)

