"""What the pages read from the store besides the survey: runs and jobs
from the history, logs and value previews from files. Nothing is written,
no lock is taken, files are opened only inside the store without following
a link, and every read is bounded."""

from __future__ import annotations

import importlib
import json
import os
import sqlite3
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Any

from vorda.run.status import JobStatus
from vorda.run.store import files
from vorda.run.store.history import RUNS_COUNTED
from vorda.run.store.keys import canonical
from vorda.run.store.layout import Store, stat_text

LOG_LIMIT = 256 << 10  # the end of a log shown; the rest is left out and said so
PREVIEW_LIMIT = 64 << 10  # bytes of a value read for its preview
PREVIEW_ROWS = 20
JOBS_PAGE = 500  # jobs of a run per page


class OutsideStore(ValueError):
    """A recorded path that would lead out of the store."""


def open_recorded(store: Store, recorded: str) -> int:
    """A read descriptor for a file the history names, relative to the
    store: never an absolute path elsewhere, never "..", never a link."""
    path = PurePosixPath(recorded)
    if path.is_absolute():
        try:
            path = path.relative_to(store.root.as_posix())
        except ValueError:
            raise OutsideStore(f"{recorded} is not inside the store") from None
    if not path.parts or any(part in ("..", ".") for part in path.parts):
        raise OutsideStore(f"{recorded} is not a file inside the store")
    return store.open(store.root / Path(*path.parts))


def read_tail(fd: int, limit: int) -> tuple[bytes, int]:
    """The last `limit` bytes of a file and its size; the descriptor is closed."""
    with os.fdopen(fd, "rb") as stream:
        size = os.fstat(stream.fileno()).st_size
        if size > limit:
            stream.seek(size - limit)
        return stream.read(limit), size


@dataclass
class Log:
    text: str
    size: int
    shown: int
    error: str | None = None


def read_log(store: Store, recorded: str | None) -> Log:
    if not recorded:
        return Log("", 0, 0, "no log: the job did not start")
    try:
        data, size = read_tail(open_recorded(store, recorded), LOG_LIMIT)
    except OutsideStore as error:
        return Log("", 0, 0, f"not shown: {error}")
    except OSError as error:
        return Log("", 0, 0, f"no log: {error.strerror or error}")
    return Log(data.decode("utf-8", "replace"), size, len(data))


# -- runs ---------------------------------------------------------------------


def _when(stamp: float | None) -> float | None:
    return round(stamp, 3) if stamp else None


def runs(store: Store, limit: int = 50) -> list[dict[str, Any]]:
    """Recent runs, newest first, as ``vorda runs`` lists them."""
    history = store.history(readonly=True)
    try:
        rows = history.runs(limit)
    except sqlite3.Error:
        rows = []
    finally:
        history.close()
    out = []
    for rid, started, ended, status, command, *counts, total in rows:
        out.append({
            "run_id": rid,
            "started": _when(started),
            "ended": _when(ended),
            "seconds": round(ended - started, 3) if ended else None,
            "status": status,
            "command": json.loads(command),
            "counts": {str(word): int(n or 0) for word, n in zip(RUNS_COUNTED, counts)},
            "jobs": int(total or 0),
        })
    return out


JOB_FIELDS = "seq, asset, label, partition, status, reason, reason_detail, seconds, attempts, error, log_path, value_path"


def _job(row: tuple[Any, ...], run_id: str) -> dict[str, Any]:
    seq, key, label, partition, status, reason, detail, seconds, attempts, error, log_path, value_path = row
    return {
        "run_id": run_id, "seq": seq, "asset": label, "name": key[5:] if key.startswith("name:") else None,
        "partition": json.loads(partition) if partition else None, "status": status, "reason": reason,
        "reason_detail": detail, "seconds": round(seconds, 3) if seconds is not None else None,
        "attempts": attempts or 0, "error": error, "log_path": log_path, "value_path": value_path,
    }


def run(store: Store, run_id: str, page: int = 0) -> dict[str, Any] | None:
    """One run with a page of its jobs and the count of each status."""
    history = store.history(readonly=True)
    try:
        if history.db is None:
            return None
        head = list(history.db.execute("SELECT id, started, ended, status, argv FROM runs WHERE id=?", (run_id,)))
        if not head:
            return None
        rid, started, ended, status, command = head[0]
        counts = {str(s): int(n) for s, n in history.db.execute(
            "SELECT status, COUNT(*) FROM jobs WHERE run_id=? GROUP BY status ORDER BY status", (run_id,))}
        jobs = [_job(row, rid) for row in history.db.execute(
            f"SELECT {JOB_FIELDS} FROM jobs WHERE run_id=? ORDER BY seq LIMIT ? OFFSET ?",
            (run_id, JOBS_PAGE, page * JOBS_PAGE))]
    except sqlite3.Error:
        return None
    finally:
        history.close()
    total = sum(counts.values())
    return {"run_id": rid, "started": _when(started), "ended": _when(ended),
            "seconds": round(ended - started, 3) if ended else None, "status": status,
            "command": json.loads(command), "counts": counts, "jobs_total": total, "page": page,
            "pages": max(1, -(-total // JOBS_PAGE)), "jobs": jobs}


def job(store: Store, run_id: str, seq: int) -> dict[str, Any] | None:
    history = store.history(readonly=True)
    try:
        if history.db is None:
            return None
        rows = list(history.db.execute(f"SELECT {JOB_FIELDS} FROM jobs WHERE run_id=? AND seq=?", (run_id, seq)))
    except sqlite3.Error:
        return None
    finally:
        history.close()
    return _job(rows[0], run_id) if rows else None


def last_jobs(store: Store, key: str, partition: dict[str, Any] | None) -> tuple[dict[str, Any] | None,
                                                                                dict[str, Any] | None]:
    """A partition's last job, and its last job that ended ok (whose value is the current one)."""
    pid = canonical(partition) if partition else None
    history = store.history(readonly=True)
    try:
        if history.db is None:
            return None, None
        found = []
        for statuses in (None, (JobStatus.OK, JobStatus.RESTORED, JobStatus.UP_TO_DATE)):
            where = "" if statuses is None else f" AND j.status IN ({', '.join('?' * len(statuses))})"
            rows = list(history.db.execute(
                f"SELECT {', '.join('j.' + f.strip() for f in JOB_FIELDS.split(','))}, j.run_id, j.value_stat "
                "FROM jobs j JOIN runs r ON r.id = j.run_id WHERE j.asset=? AND j.partition IS ?" + where +
                " ORDER BY r.started DESC, j.seq DESC LIMIT 1", (key, pid, *(statuses or ()))))
            found.append(dict(_job(rows[0][:-2], rows[0][-2]), value_stat=rows[0][-1]) if rows else None)
    except sqlite3.Error:
        return None, None
    finally:
        history.close()
    return found[0], found[1]


# -- values ---------------------------------------------------------------------


def preview(store: Store, recorded: str | None, recorded_stat: str | None = None) -> dict[str, Any]:
    """A bounded look at a value file: pretty JSON, the first rows of a
    table (when pyarrow is there to read it), else its name and size; with
    `changed` when it is not the file its run recorded (its stat differs)."""
    if not recorded:
        return {"kind": "none", "text": "no value"}
    name = PurePosixPath(recorded).name
    try:
        fd = open_recorded(store, recorded)
    except OutsideStore as error:
        return {"kind": "refused", "name": name, "text": f"not shown: {error}"}
    except OSError as error:
        return {"kind": "missing", "name": name, "text": f"cannot be read: {error.strerror or error}"}
    info = os.fstat(fd)
    size = info.st_size
    facts: dict[str, Any] = {"name": name, "size": size}
    if recorded_stat is not None:
        # Size, mtime and inode: a link made since (a restore of the same bytes
        # elsewhere) changes the ctime alone, and the page reads no hash.
        facts["changed"] = stat_text(info).split()[:3] != recorded_stat.split()[:3]
    if name.endswith(".json"):
        data = files.read_limited(fd, PREVIEW_LIMIT + 1)
        whole = len(data) <= PREVIEW_LIMIT
        text = data[:PREVIEW_LIMIT].decode("utf-8", "replace")
        truncated = not whole
        if whole:
            try:
                pretty = json.dumps(json.loads(text), indent=2, ensure_ascii=False)
            except ValueError:
                pass
            else:
                # Indenting can take a file under the limit past it.
                text, truncated = pretty[:PREVIEW_LIMIT], len(pretty) > PREVIEW_LIMIT
        return {"kind": "json", **facts, "text": text, "truncated": truncated}
    if name.endswith((".parquet", ".arrow")):
        rows = _table_rows(fd, name)
        if rows is not None:
            return {"kind": "table", **facts, **rows}
    else:
        os.close(fd)
    return {"kind": "file", **facts, "text": f"{name}, {size} bytes"}


def _table_rows(fd: int, name: str) -> dict[str, Any] | None:
    """The first rows of a Parquet or Arrow file, if pyarrow imports; the
    descriptor is closed."""
    try:
        with os.fdopen(fd, "rb") as stream:
            try:
                pa: Any = importlib.import_module("pyarrow")
                if name.endswith(".parquet"):
                    pq: Any = importlib.import_module("pyarrow.parquet")
                    batch = next(iter(pq.ParquetFile(stream).iter_batches(batch_size=PREVIEW_ROWS)), None)
                else:
                    ipc: Any = importlib.import_module("pyarrow.ipc")
                    reader = ipc.open_file(stream)
                    batch = reader.get_batch(0) if reader.num_record_batches else None
            except ImportError:
                return None
            if batch is None:
                return {"columns": [], "rows": []}
            table = pa.Table.from_batches([batch.slice(0, PREVIEW_ROWS)])
            columns = [str(c) for c in table.column_names]
            # By position: columns may share a name, which to_pylist() would merge.
            rows = [[_cell(v) for v in row]
                    for row in zip(*(table.column(i).to_pylist() for i in range(table.num_columns)))]
            return {"columns": columns, "rows": rows}
    except Exception:  # whatever a table reader makes of a damaged file: shown by name and size
        return None


def _cell(value: Any) -> str:
    text = value if isinstance(value, str) else json.dumps(value, default=str, ensure_ascii=False)
    return text if len(text) <= 200 else text[:200] + "…"
