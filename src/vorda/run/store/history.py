"""The run history in ``<store>/history.sqlite``.

One row per run and one per planned job. The last job of an asset partition
with status ok is what the up-to-date check compares against. Only the
runner holding the store's lock writes it; readers such as ``vorda runs``
need no lock (WAL).
"""

from __future__ import annotations

import json
import os
import re
import secrets
import shutil
import sqlite3
import stat
import tempfile
import time
import urllib.parse
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator

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
    input_hashes TEXT, value_path TEXT, value_hash TEXT, log_path TEXT, pid INTEGER, pid_start INTEGER,
    reason TEXT, reason_detail TEXT, code_covers TEXT, input_assets TEXT, value_stat TEXT, record_hash TEXT,
    attempts INTEGER, error_at TEXT,
    PRIMARY KEY (run_id, seq)
);
CREATE TABLE IF NOT EXISTS attempts (
    run_id TEXT NOT NULL, seq INTEGER NOT NULL, attempt INTEGER NOT NULL, seconds REAL, error TEXT,
    PRIMARY KEY (run_id, seq, attempt)
);
CREATE INDEX IF NOT EXISTS jobs_by_partition ON jobs (asset, partition, status, started);
CREATE INDEX IF NOT EXISTS runs_by_start ON runs (started);
"""
# Columns added since the first histories: (table, column, type).
ADDED = [("jobs", "pid", "INTEGER"), ("jobs", "pid_start", "INTEGER"), ("jobs", "reason", "TEXT"),
         ("jobs", "reason_detail", "TEXT"), ("jobs", "code_covers", "TEXT"), ("jobs", "input_assets", "TEXT"),
         ("jobs", "value_stat", "TEXT"), ("jobs", "record_hash", "TEXT"), ("jobs", "attempts", "INTEGER"),
         ("jobs", "error_at", "TEXT"), ("jobs", "record_stat", "TEXT")]


# The job statuses that `runs` counts per run, in its columns' order.
RUNS_COUNTED = (JobStatus.OK, JobStatus.RESTORED, JobStatus.FAILED, JobStatus.SKIPPED, JobStatus.UP_TO_DATE)
RUNS_TALLY = "/".join(status.value for status in RUNS_COUNTED)  # how the run lists head those counts


# Rows written in one transaction of record_jobs(): well under a second.
RECORD_CHUNK = 5000


@dataclass(frozen=True, slots=True)
class LastOk:
    """What the last ok job of a partition recorded (paths relative to the store)."""

    code_version: str
    input_hash: str
    value_path: str
    value_hash: str
    run_id: str = ""
    seq: int = 0
    started: float | None = None
    code_covers: str | None = None  # JSON: definition -> its hash
    value_stat: str | None = None  # stat_text() of the value file when it was hashed
    record_hash: str | None = None  # its result.json, kept as an object
    record_stat: str | None = None  # stat_text() of its result.json when it was recorded


_LAST_OK = ("code_version, input_hashes, value_path, value_hash, run_id, seq, started, code_covers, value_stat, "
            "record_hash, record_stat")


def _last_ok(row: tuple[Any, ...], shared: dict[str, str]) -> LastOk:
    """A LastOk of a row (partition, *_LAST_OK), with the texts a run's jobs share kept once."""
    code, run_id, covers = row[1], row[5], row[8]
    return LastOk(shared.setdefault(code, code), row[2], row[3], row[4], shared.setdefault(run_id, run_id), row[6],
                  row[7], covers if covers is None else shared.setdefault(covers, covers), *row[9:])


def new_run_id() -> str:
    return time.strftime("%Y%m%d-%H%M%S") + "-" + secrets.token_hex(2)


RUN_ID = re.compile(r"[0-9]{8}-[0-9]{6}-[0-9a-f]{4}")  # what new_run_id() makes


def _read_only_fs(path: Path) -> bool:
    try:
        return bool(os.statvfs(path.parent).f_flag & os.ST_RDONLY)
    except OSError:
        return False


def _connect(path: Path, readonly: bool, scratch: list[tempfile.TemporaryDirectory[str]]) -> sqlite3.Connection:
    if path.is_symlink() or (path.exists() and not stat.S_ISREG(path.stat().st_mode)):
        raise UsageError(f"{path} is not a regular file")
    if readonly:
        options = "mode=ro"
        if _read_only_fs(path):
            # Nothing can be writing it, but SQLite cannot open a WAL database
            # read-only without writing beside it: read a copy when the log
            # holds anything, else the file as it is.
            wal = path.with_name(path.name + "-wal")
            if wal.exists() and wal.stat().st_size > 0:
                scratch.append(tempfile.TemporaryDirectory(prefix="vorda-history-"))
                copy = Path(scratch[-1].name) / path.name
                shutil.copyfile(path, copy)
                shutil.copyfile(wal, copy.with_name(copy.name + "-wal"))
                path = copy
            else:
                options = "immutable=1"
        db = sqlite3.connect(f"file:{urllib.parse.quote(str(path))}?{options}", uri=True, isolation_level=None)
        db.execute("PRAGMA busy_timeout=5000")
        if _columns(db) >= {column for _, column, _ in ADDED}:
            return db
        # An older history, which a reader must not change: its columns are
        # added to a copy.
        db.close()
        scratch.append(tempfile.TemporaryDirectory(prefix="vorda-history-"))
        copy = Path(scratch[-1].name) / path.name
        shutil.copyfile(path, copy)
        wal = path.with_name(path.name + "-wal")
        if wal.exists():
            shutil.copyfile(wal, copy.with_name(copy.name + "-wal"))
        path = copy
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA journal_mode=WAL")
    db.execute("PRAGMA synchronous=NORMAL")
    db.executescript(SCHEMA)
    have = _columns(db)
    for table, column, kind in ADDED:
        if column not in have:
            db.execute(f"ALTER TABLE {table} ADD COLUMN {column} {kind}")
    db.execute("PRAGMA busy_timeout=5000")
    if db.execute("PRAGMA user_version").fetchone()[0] < 1:
        # Restores were once recorded without their start, which orders a
        # partition's ok jobs: their run's start stands in for it.
        with db:
            db.execute("UPDATE jobs SET started=(SELECT started FROM runs WHERE runs.id=jobs.run_id) "
                       "WHERE started IS NULL AND status=?", (JobStatus.RESTORED,))
            db.execute("PRAGMA user_version=1")
    return db


def _columns(db: sqlite3.Connection) -> set[str]:
    return {row[1] for row in db.execute("PRAGMA table_info(jobs)")}


class History:
    def __init__(self, path: Path, readonly: bool = False) -> None:
        self.path = path
        self.db: sqlite3.Connection | None = None
        self._scratch: list[tempfile.TemporaryDirectory[str]] = []
        if readonly and not path.exists():
            return  # nothing run yet: an empty history
        try:
            self.db = _connect(path, readonly, self._scratch)
        except (sqlite3.Error, OSError) as error:
            raise UsageError(f"cannot open the run history {path}: {error}") from None

    def close(self) -> None:
        if self.db is not None:
            self.db.close()
        for folder in self._scratch:
            folder.cleanup()

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

    def restat(self, rows: list[tuple[str, str, str, int, str | None, str | None]]) -> None:
        """New stats for last ok jobs' files that were hashed and found to be
        the files recorded (a copied store gives every file a new inode), so
        the next check need not read them again: (value stat, record stat,
        run, seq, the value and record stats compared against). A row that
        changed since keeps its own."""
        assert self.db is not None
        for start in range(0, len(rows), RECORD_CHUNK):
            with self.db:
                self.db.execute("BEGIN")
                self.db.executemany(
                    "UPDATE jobs SET value_stat=?, record_stat=? WHERE run_id=? AND seq=? AND value_stat IS ? "
                    "AND record_stat IS ?", rows[start:start + RECORD_CHUNK])

    def open_run(self, argv: list[str], modules: list[str], jobs: list[tuple[Any, ...]]) -> str:
        """Record a new run as start_run does, under a fresh id, and return the id."""
        assert self.db is not None
        while True:
            run_id = new_run_id()
            try:
                self.start_run(run_id, argv, modules, jobs)
                return run_id
            except sqlite3.IntegrityError:
                # Runs started in the same second may draw the same id.
                if self.db.execute("SELECT 1 FROM runs WHERE id=?", (run_id,)).fetchone() is None:
                    raise

    def record_job(self, run_id: str, seq: int, **fields: Any) -> None:
        assert self.db is not None
        names = ", ".join(f"{name}=?" for name in fields)
        with self.db:
            self.db.execute(f"UPDATE jobs SET {names} WHERE run_id=? AND seq=?", (*fields.values(), run_id, seq))

    def record_jobs(self, run_id: str, updates: list[tuple[int, dict[str, Any]]]) -> None:
        """Several jobs' updates, RECORD_CHUNK to a transaction: a batch of
        hundreds of thousands (an asset found up to date) would otherwise
        hold the write lock past another writer's patience."""
        assert self.db is not None
        for start in range(0, len(updates), RECORD_CHUNK):
            with self.db:
                self.db.execute("BEGIN")
                for seq, fields in updates[start:start + RECORD_CHUNK]:
                    names = ", ".join(f"{name}=?" for name in fields)
                    self.db.execute(f"UPDATE jobs SET {names} WHERE run_id=? AND seq=?",
                                    (*fields.values(), run_id, seq))

    def record_attempt(self, run_id: str, seq: int, attempt: int, seconds: float, error: str) -> None:
        """A failed attempt of a job that is tried again."""
        assert self.db is not None
        with self.db:
            self.db.execute("INSERT OR REPLACE INTO attempts (run_id, seq, attempt, seconds, error) VALUES (?, ?, ?, ?, ?)",
                            (run_id, seq, attempt, seconds, error))

    def end_run(self, run_id: str, status: RunStatus) -> None:
        assert self.db is not None
        with self.db:
            self._close_jobs("run_id=?", run_id)
            self.db.execute("UPDATE runs SET status=?, ended=? WHERE id=?", (status, time.time(), run_id))

    # -- reading -------------------------------------------------------------

    def last_oks(self, asset: str) -> dict[str | None, LastOk]:
        """The last ok job of every partition of an asset, by partition
        (None when unpartitioned): one query for the whole asset."""
        return dict(self.each_last_ok(asset))

    def each_last_ok(self, asset: str) -> Iterator[tuple[str | None, LastOk]]:
        """last_oks() one partition at a time, in the order of their texts,
        holding no more than one partition's rows."""
        if self.db is None:
            return
        # A run's jobs share their code texts: kept once, not once per partition.
        shared: dict[str, str] = {}
        best: tuple[Any, ...] | None = None
        # In the index's order, so no sort: each partition's rows come together.
        for row in self.db.execute(
            # record_hash left out: only a restore needs it, and restorable() reads it
            f"SELECT partition, {_LAST_OK.replace('record_hash', 'NULL')} FROM jobs "
            "WHERE asset=? AND status IN (?, ?) ORDER BY partition",
            (asset, JobStatus.OK, JobStatus.RESTORED),
        ):
            if best is not None and row[0] != best[0]:
                yield best[0], _last_ok(best, shared)
                best = None
            if best is None or (row[7] or 0) >= (best[7] or 0):
                best = row
        if best is not None:
            yield best[0], _last_ok(best, shared)

    def has_run(self, run_id: str) -> bool:
        return bool(self._rows("SELECT 1 FROM runs WHERE id=?", run_id))

    def value_after(self, asset: str, partition: str, run_id: str) -> tuple[str, str] | None:
        """(value path, value hash) of the partition's last ok job up to and
        including run `run_id`."""
        # By the runs' starts, not the run's end: a runner killed outright
        # leaves no end, and runs of one store never overlap.
        rows = self._rows(
            "SELECT value_path, value_hash FROM jobs WHERE asset=? AND partition IS ? AND status IN (?, ?) "
            "AND run_id IN (SELECT id FROM runs WHERE started <= (SELECT started FROM runs WHERE id=?)) "
            "ORDER BY started DESC LIMIT 1",
            asset, partition or None, JobStatus.OK, JobStatus.RESTORED, run_id,
        )
        return (rows[0][0], rows[0][1]) if rows else None

    def restorable(self, asset: str, partition: str, code_version: str, input_hash: str) -> list[LastOk]:
        """Earlier ok jobs of the partition with this code and these inputs
        whose files were kept, newest first."""
        rows = self._rows(
            f"SELECT {_LAST_OK} FROM jobs WHERE asset=? AND partition IS ? AND status IN (?, ?) "
            "AND code_version=? AND input_hashes=? AND record_hash IS NOT NULL ORDER BY started DESC LIMIT 5",
            asset,
            partition or None,
            JobStatus.OK,
            JobStatus.RESTORED,
            code_version,
            input_hash,
        )
        return [LastOk(*row) for row in rows]

    def made(self, asset: str, partition: str, value_hash: str) -> LastOk | None:
        """The last ok job of the partition that made the value with this hash."""
        rows = self._rows(
            f"SELECT {_LAST_OK} FROM jobs "
            "WHERE asset=? AND partition IS ? AND status IN (?, ?) AND value_hash=? ORDER BY started DESC LIMIT 1",
            asset,
            partition or None,
            JobStatus.OK,
            JobStatus.RESTORED,
            value_hash,
        )
        return LastOk(*rows[0]) if rows else None

    def lineage(self, asset: str, partition: str) -> tuple[Any, ...] | None:
        """The last ok job of a partition: run, when, reason, code version,
        what it covers, its inputs and their assets, value path and hash."""
        rows = self._rows(
            "SELECT run_id, started, reason, reason_detail, code_version, code_covers, input_hashes, input_assets, "
            "value_path, value_hash, label FROM jobs WHERE asset=? AND partition IS ? AND status IN (?, ?) "
            "ORDER BY started DESC LIMIT 1",
            asset,
            partition or None,
            JobStatus.OK,
            JobStatus.RESTORED,
        )
        return rows[0] if rows else None

    def known_assets(self) -> list[tuple[str, str]]:
        """(history key, label) of every asset with an ok job, most recent first."""
        rows = self._rows(
            "SELECT asset, label, MAX(started) AS last FROM jobs WHERE status IN (?, ?) GROUP BY asset, label "
            "ORDER BY last DESC", JobStatus.OK, JobStatus.RESTORED,
        )
        return [(row[0], row[1]) for row in rows]

    def last_job_of(self, asset: str) -> tuple[str, str, str, str | None] | None:
        """(run id, label, status, error) of the latest job, whatever its
        status, of the asset named by its label, name or function."""
        rows = self._rows(
            "SELECT run_id, label, status, error FROM jobs WHERE label=?1 OR asset='name:' || ?1 "
            "OR substr(label, -length(?1) - 1) = ':' || ?1 ORDER BY started DESC LIMIT 1", asset)
        return (rows[0][0], rows[0][1], rows[0][2], rows[0][3]) if rows else None

    def ok_partitions(self, asset: str) -> list[str]:
        """The partitions (as recorded) of an asset's ok jobs."""
        return [row[0] for row in self._rows(
            "SELECT DISTINCT partition FROM jobs WHERE asset=? AND status IN (?, ?) AND partition IS NOT NULL "
            "ORDER BY partition", asset, JobStatus.OK, JobStatus.RESTORED)]

    def running_groups(self) -> list[tuple[int, int]]:
        """(pid, start time) of the jobs that runs still marked running
        started: what a killed runner may have left behind."""
        return [
            (pid, start)
            for pid, start in self._rows(
                "SELECT pid, pid_start FROM jobs WHERE status=? AND pid IS NOT NULL AND "
                "run_id IN (SELECT id FROM runs WHERE status=?)",
                JobStatus.RUNNING,
                RunStatus.RUNNING,
            )
        ]

    # -- garbage collection --------------------------------------------------

    def run_ids(self) -> list[str]:
        """Every run, newest first."""
        return [row[0] for row in self._rows("SELECT id FROM runs ORDER BY started DESC")]

    def current(self) -> list[tuple[str, str | None, str | None]]:
        """(run, value hash, record hash) of each partition's last ok job:
        what the tree holds and the up-to-date check compares against."""
        return [(row[0], row[1], row[2]) for row in self._rows(
            "SELECT j.run_id, j.value_hash, j.record_hash FROM jobs j JOIN "
            "(SELECT asset, partition, MAX(started) AS last FROM jobs WHERE status IN (?, ?) "
            "GROUP BY asset, partition) c ON j.asset = c.asset AND j.partition IS c.partition "
            "AND j.started = c.last WHERE j.status IN (?, ?)",
            JobStatus.OK, JobStatus.RESTORED, JobStatus.OK, JobStatus.RESTORED)]

    def hashes_of(self, run_ids: list[str]) -> set[str]:
        """The value and record hashes the jobs of these runs name."""
        found: set[str] = set()
        for run_id in run_ids:
            for value_hash, record_hash in self._rows(
                    "SELECT value_hash, record_hash FROM jobs WHERE run_id=?", run_id):
                found.update(h for h in (value_hash, record_hash) if h)
        return found

    def forget(self, run_ids: list[str]) -> None:
        """Remove these runs and their jobs from the history."""
        assert self.db is not None
        with self.db:
            self.db.execute("BEGIN")
            for run_id in run_ids:
                self.db.execute("DELETE FROM jobs WHERE run_id=?", (run_id,))
                self.db.execute("DELETE FROM attempts WHERE run_id=?", (run_id,))
                self.db.execute("DELETE FROM runs WHERE id=?", (run_id,))

    def last_modules(self) -> list[str]:
        rows = self._rows("SELECT modules FROM runs ORDER BY started DESC LIMIT 1")
        return list(json.loads(rows[0][0])) if rows else []

    def runs(self, limit: int) -> list[tuple[Any, ...]]:
        return self._rows(
            "SELECT r.id, r.started, r.ended, r.status, r.argv, "
            + "SUM(j.status=?), " * len(RUNS_COUNTED) +
            "COUNT(j.seq) FROM (SELECT * FROM runs ORDER BY started DESC LIMIT ?) r "
            "LEFT JOIN jobs j ON j.run_id = r.id GROUP BY r.id ORDER BY r.started DESC",
            *RUNS_COUNTED,
            limit,
        )

    def last_run(self) -> str | None:
        rows = self._rows("SELECT id FROM runs ORDER BY started DESC LIMIT 1")
        return str(rows[0][0]) if rows else None

    def logs(self, run_id: str) -> list[tuple[Any, ...]]:
        """(asset key, label, partition, status, log path) of a run's jobs."""
        return self._rows(
            "SELECT asset, label, partition, status, log_path FROM jobs WHERE run_id=? ORDER BY seq", run_id)

    def jobs(self, run_id: str) -> list[tuple[Any, ...]]:
        return self._rows(
            "SELECT label, partition, status, seconds, error, log_path FROM jobs WHERE run_id=? ORDER BY seq",
            run_id,
        )
