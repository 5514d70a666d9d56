"""The runner's words for how a job or a run stands.

Every status the runner prints, records in the history or returns is one of
these; they are ``str`` subclasses, so they print, compare and store as the
plain texts users see (``ok``, ``up-to-date``, ...).
"""

from __future__ import annotations

from enum import StrEnum


class JobStatus(StrEnum):
    # while a run goes
    PENDING = "pending"
    RUNNING = "running"
    # how a job ended
    OK = "ok"
    FAILED = "failed"
    SKIPPED = "skipped"  # an upstream failed
    UP_TO_DATE = "up-to-date"
    INTERRUPTED = "interrupted"  # the run was stopped while it ran
    NOT_RUN = "not-run"  # the run was stopped before it started
    # what a dry run says a job would do
    RUN = "run"
    MAY_RUN = "may run"  # depends on what its upstream produces


class RunStatus(StrEnum):
    RUNNING = "running"
    OK = "ok"
    FAILED = "failed"
    INTERRUPTED = "interrupted"
    DRY_RUN = "dry-run"


# How a job can end, in the order the summary line counts them.
FINAL = (
    JobStatus.OK,
    JobStatus.FAILED,
    JobStatus.SKIPPED,
    JobStatus.UP_TO_DATE,
    JobStatus.INTERRUPTED,
    JobStatus.NOT_RUN,
)
# Statuses whose value readers may use.
DONE = frozenset({JobStatus.OK, JobStatus.UP_TO_DATE})
