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
    RESTORED = "restored"  # an earlier value of the same code and inputs, put back
    INTERRUPTED = "interrupted"  # the run was stopped while it ran
    NOT_RUN = "not-run"  # the run was stopped before it started
    # what a dry run says a job would do
    RUN = "run"
    MAY_RUN = "may run"  # depends on what its upstream produces


class Reason(StrEnum):
    """Why a job runs, or does not."""

    NEW = "new"  # never ran ok, or its stored value is gone
    CODE = "code"  # its code version changed
    INPUT = "input"  # a value it reads changed
    FORCED = "forced"  # --force
    UP_TO_DATE = "up-to-date"
    RESTORED = "restored"
    UPSTREAM = "upstream"  # dry run: an upstream job will run first


class PartitionState(StrEnum):
    """What ``vorda ui`` says of a partition beside its last job's status."""

    STALE = "stale"  # ran ok before, and a dry run would run it again
    NEW = "new"  # never ran ok


class RunStatus(StrEnum):
    RUNNING = "running"
    OK = "ok"
    FAILED = "failed"
    INTERRUPTED = "interrupted"
    DRY_RUN = "dry-run"


# How a job can end, in the order the summary line counts them.
FINAL = (
    JobStatus.OK,
    JobStatus.RESTORED,
    JobStatus.FAILED,
    JobStatus.SKIPPED,
    JobStatus.UP_TO_DATE,
    JobStatus.INTERRUPTED,
    JobStatus.NOT_RUN,
)
# What a dry run says, in the order its summary line counts them.
WOULD_BE = (JobStatus.RUN, JobStatus.MAY_RUN, JobStatus.UP_TO_DATE)
# Statuses whose value readers may use.
DONE = frozenset({JobStatus.OK, JobStatus.UP_TO_DATE, JobStatus.RESTORED})
