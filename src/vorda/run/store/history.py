"""The run history in ``<store>/history.sqlite``.

One row per run and one per planned job. The last job of an asset partition
with status ok is what the up-to-date check compares against. Only the
runner holding the store's lock writes it; readers such as ``vorda runs``
need no lock (WAL).
"""

from __future__ import annotations

import json
import secrets
import sqlite3
import stat
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from vorda._command import UsageError
from vorda.run.status import JobStatus, RunStatus

SCHEMA = """
CREATE TABLE IF NOT EXISTS runs (
    id TEXT PRIMARY KEY, started REAL NOT NULL, ended REAL, status TEXT NOT NULL, argv TEXT NOT NULL,
    modules TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS jobs (
    run_id TEXT NOT NULL, seq INTEGER NOT NULL, asset TEXT NOT NULL, label TEXT NOT NULL, partition TEXT,
    status TEXT NOT NULL, started REAL, seconds REAL, error TEXT, code_version TEXT NOT NULL,
    input_hashes TEXT, value_path TEXT, value_hash TEXT, log_path TEXT,
    PRIMARY KEY (run_id, seq)
);
CREATE INDEX IF NOT EXISTS jobs_by_partition ON jobs (asset, partition, status, started);
"""


# The job statuses that `runs` counts per run, in its columns' order.
RUNS_COUNTED = (JobStatus.OK, JobStatus.FAILED, JobStatus.SKIPPED, JobStatus.UP_TO_DATE)


@dataclass(frozen=True)
class LastOk:
    code_version: str
    input_hash: str
    value_path: str
    value_hash: str


def new_run_id() -> str:
    return time.strftime("%Y%m%d-%H%M%S") + "-" + secrets.token_hex(2)


def _connect(path: Path, readonly: bool) -> sqlite3.Connection:
    if path.is_symlink() or (path.exists() and not stat.S_ISREG(path.stat().st_mode)):
        raise UsageError(f"{path} is not a regular file")
    if readonly:
        db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, isolation_level=None)
    else:
        db = sqlite3.connect(path, isolation_level=None)
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=NORMAL")
        db.executescript(SCHEMA)
    db.execute("PRAGMA busy_timeout=5000")
    return db


class History:
    def __init__(self, path: Path, readonly: bool = False) -> None:
        self.db: sqlite3.Connection | None = None
        if readonly and not path.exists():
            return  # nothing run yet: an empty history
        try:
            self.db = _connect(path, readonly)
        except sqlite3.Error as error:
            raise UsageError(f"cannot open the run history {path}: {error}") from None

    def close(self) -> None:
        if self.db is not None:
            self.db.close()

    def _rows(self, sql: str, *args: Any) -> list[tuple[Any, ...]]:
        return [] if self.db is None else list(self.db.execute(sql, args))

    # -- writing (the runner holds the lock) ---------------------------------

    def end_stale_runs(self) -> None:
        """Runs left "running" by a runner that was killed outright."""
        assert self.db is not None
        with self.db:
            self._close_jobs("run_id IN (SELECT id FROM runs WHERE status=?)", RunStatus.RUNNING)
            self.db.execute("UPDATE runs SET status=? WHERE status=?", (RunStatus.INTERRUPTED, RunStatus.RUNNING))

    def _close_jobs(self, where: str, *args: Any) -> None:
        """Jobs still running become interrupted, jobs still pending not-run."""
        assert self.db is not None
        for now, then in ((JobStatus.RUNNING, JobStatus.INTERRUPTED), (JobStatus.PENDING, JobStatus.NOT_RUN)):
            self.db.execute(f"UPDATE jobs SET status=? WHERE status=? AND {where}", (then, now, *args))

    def start_run(self, run_id: str, argv: list[str], modules: list[str], jobs: list[tuple[Any, ...]]) -> None:
        """Record the run and its planned jobs: (seq, asset, label, partition, code_version)."""
        assert self.db is not None
        with self.db:
            self.db.execute("BEGIN")
            self.db.execute(
                "INSERT INTO runs (id, started, status, argv, modules) VALUES (?, ?, ?, ?, ?)",
                (run_id, time.time(), RunStatus.RUNNING, json.dumps(argv), json.dumps(modules)),
            )
            self.db.executemany(
                "INSERT INTO jobs (run_id, seq, asset, label, partition, status, code_version) "
                "VALUES (?, ?, ?, ?, ?, ?, ?)",
                [(run_id, *job[:4], JobStatus.PENDING, job[4]) for job in jobs],
            )

    def record_job(self, run_id: str, seq: int, **fields: Any) -> None:
        assert self.db is not None
        names = ", ".join(f"{name}=?" for name in fields)
        with self.db:
            self.db.execute(f"UPDATE jobs SET {names} WHERE run_id=? AND seq=?", (*fields.values(), run_id, seq))

    def end_run(self, run_id: str, status: RunStatus) -> None:
        assert self.db is not None
        with self.db:
            self._close_jobs("run_id=?", run_id)
            self.db.execute("UPDATE runs SET status=?, ended=? WHERE id=?", (status, time.time(), run_id))

    # -- reading -------------------------------------------------------------

    def last_ok(self, asset: str, partition: str) -> LastOk | None:
        rows = self._rows(
            "SELECT code_version, input_hashes, value_path, value_hash FROM jobs "
            "WHERE asset=? AND partition IS ? AND status=? ORDER BY started DESC LIMIT 1",
            asset,
            partition or None,
            JobStatus.OK,
        )
        return LastOk(*rows[0]) if rows else None

    def known_assets(self) -> list[tuple[str, str]]:
        """(asset ref, label) of every asset with an ok job, most recent first."""
        rows = self._rows(
            "SELECT asset, label, MAX(started) AS last FROM jobs WHERE status=? GROUP BY asset, label "
            "ORDER BY last DESC", JobStatus.OK,
        )
        return [(row[0], row[1]) for row in rows]

    def ok_partitions(self, asset: str) -> list[str]:
        """The partitions (as recorded) of an asset's ok jobs."""
        return [row[0] for row in self._rows(
            "SELECT DISTINCT partition FROM jobs WHERE asset=? AND status=? AND partition IS NOT NULL",
            asset, JobStatus.OK,
        )]

    def last_modules(self) -> list[str]:
        rows = self._rows("SELECT modules FROM runs ORDER BY started DESC LIMIT 1")
        return list(json.loads(rows[0][0])) if rows else []

    def runs(self, limit: int) -> list[tuple[Any, ...]]:
        return self._rows(
            "SELECT r.id, r.started, r.ended, r.status, r.argv, "
            "SUM(j.status=?), SUM(j.status=?), SUM(j.status=?), SUM(j.status=?), "
            "COUNT(j.seq) FROM runs r LEFT JOIN jobs j ON j.run_id = r.id "
            "GROUP BY r.id ORDER BY r.started DESC LIMIT ?",
            *RUNS_COUNTED,
            limit,
        )

    def jobs(self, run_id: str) -> list[tuple[Any, ...]]:
        return self._rows(
            "SELECT label, partition, status, seconds, error, log_path FROM jobs WHERE run_id=? ORDER BY seq",
            run_id,
        )
