"""The pipeline runner behind ``vorda run`` and ``vorda runs``.

``make_plan(modules, ...)`` discovers the assets and plans the jobs; the
plan's ``dry_run()`` tells what would run and ``execute()`` runs it. The
parts: planning (``planning``: discovery, graph, jobs), the store
(``store``: layout, keys, files, history, lock, inputs), the executors
(``executors``), the run itself (``runner``), what users see (``report``)
and the commands (``cli``).
"""

from vorda.run.plan import Plan, RunFailed, RunResult, make_plan
from vorda.run.runner import JobRow
from vorda.run.status import JobStatus, RunStatus

__all__ = ["make_plan", "Plan", "RunResult", "RunFailed", "JobRow", "JobStatus", "RunStatus"]
