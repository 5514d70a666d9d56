"""What the user sees: progress while the run goes, then a summary.

Progress goes to standard error (a live display on a terminal, else one
line per finished job); the table or the ``--json`` object to standard
output.
"""

from __future__ import annotations

import json
import sys
import time
from collections import Counter
from operator import attrgetter
from typing import TYPE_CHECKING, Any, TextIO

from vorda.run.status import FINAL, WOULD_BE, JobStatus

if TYPE_CHECKING:  # `vorda runs` reports without loading the runner
    from vorda.run.runner import JobRow, Progress


def first_line(text: str | None) -> str:
    return (text or "").strip().splitlines()[0] if (text or "").strip() else ""


class PlainProgress:
    """One line per finished job; up-to-date ones only with `show_all`."""

    def __init__(self, total: int, stream: TextIO, show_all: bool = False) -> None:
        self.total, self.done, self.stream, self.show_all = total, 0, stream, show_all

    def started(self, row: JobRow) -> None:
        pass

    def finished(self, row: JobRow) -> None:
        self.done += 1
        if row.status == JobStatus.UP_TO_DATE and not self.show_all:
            return
        name = job_name(row)
        error = f": {error_text(row)}" if row.error else ""
        print(f"[{self.done}/{self.total}] {name} {row.status}{error}", file=self.stream, flush=True)

    def __enter__(self) -> PlainProgress:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


class LiveProgress:
    """Counts, elapsed time and the running jobs, redrawn in place."""

    def __init__(self, total: int, stream: TextIO) -> None:
        from rich.console import Console
        from rich.live import Live

        self.total = total
        self.done = self.failed = 0
        self.running: dict[int, str] = {}
        self.start = time.monotonic()
        self.console = Console(file=stream)
        self.live = Live(console=self.console, get_renderable=self._render, refresh_per_second=8, transient=True)

    def _render(self) -> Any:
        from rich.text import Text

        elapsed = time.monotonic() - self.start
        text = Text(
            f"jobs {self.done}/{self.total} done, {len(self.running)} running, "
            f"{self.failed} failed  {elapsed:6.1f} s"
        )
        for name in list(self.running.values())[:8]:
            text.append(f"\n  running {name}", style="dim")
        return text

    def started(self, row: JobRow) -> None:
        self.running[id(row)] = job_name(row)

    def finished(self, row: JobRow) -> None:
        self.running.pop(id(row), None)
        self.done += 1
        if row.status == JobStatus.FAILED:
            self.failed += 1
            self.console.print(f"failed: {job_name(row)}: {first_line(row.error)}", markup=False)

    def __enter__(self) -> LiveProgress:
        self.live.__enter__()
        return self

    def __exit__(self, *exc: object) -> None:
        self.live.__exit__(None, None, None)


def progress(total: int, stream: TextIO = sys.stderr, show_all: bool = False) -> Progress:
    """A live display on a terminal, else lines for the jobs that did something."""
    if stream.isatty():
        try:
            return LiveProgress(total, stream)
        except ImportError:
            pass
    return PlainProgress(total, stream, show_all)


def job_name(row: JobRow) -> str:
    return f"{row.shown} {row.partition_text}".rstrip()


def count_line(rows: list[JobRow], dry_run: bool = False) -> str:
    """``N jobs: 2 ok, 1 failed``; after a dry run ``N jobs: 2 would run, ...``."""
    every = Counter(map(attrgetter("status"), rows))
    counts = {status: every[status] for status in (WOULD_BE if dry_run else FINAL)}
    words = {JobStatus.RUN: "would run"} if dry_run else {}
    parts = [f"{n} {words.get(status, status)}" for status, n in counts.items() if n]
    return f"{plural(len(rows), 'job')}: " + (", ".join(parts) if parts else "nothing to do")


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" + ("" if count == 1 else "s")


def error_text(row: JobRow) -> str:
    """The one-line error, and where the user's code raised it."""
    where = f" ({row.error_at})" if row.error_at else ""
    return first_line(row.error) + where if row.error else ""


def _note(row: JobRow, dry_run: bool) -> str:
    if dry_run:
        return row.reason_detail or str(row.reason or "")
    if row.attempts > 1:
        tried = f"{row.attempts} attempts"
        return f"{error_text(row)} ({tried})" if row.error else f"after {tried}"
    return error_text(row)


def table(rows: list[JobRow], run_id: str, status: str, stream: TextIO = sys.stdout, dry_run: bool = False,
          show_all: bool = False) -> None:
    """One row per job that did something (every job with `show_all`) and
    a line counting the others; after a dry run, why each would run or not."""
    listed = rows if show_all else [r for r in rows if r.status != JobStatus.UP_TO_DATE]
    header = ("asset", "partition", "status", "seconds", "reason" if dry_run else "error")
    if listed:
        # Widths from the columns' longest entries, so that the lines go out
        # as they are made: a plan of many jobs is never held as text.
        widths = [max(len(header[0]), *(len(name or asset) for name, asset in
                                        set(map(attrgetter("name", "asset"), listed)))),
                  max(len(header[1]), max(map(len, map(attrgetter("partition_text"), listed)))),
                  max(len(header[2]), *map(len, set(map(attrgetter("status"), listed)))),
                  max(len(header[3]), len(f"{max(map(attrgetter('seconds'), listed)):.2f}"))]
        shape = "  ".join(f"{{:{w}}}" for w in widths) + "  {}"
        chunk = [shape.format(*header).rstrip()]
        for r in listed:
            chunk.append(shape.format(r.shown, r.partition_text, r.status, f"{r.seconds:.2f}",
                                      _note(r, dry_run)).rstrip())
            if len(chunk) >= 1024:
                print("\n".join(chunk), file=stream)
                chunk = []
        if chunk:
            print("\n".join(chunk), file=stream)
    hidden = len(rows) - len(listed)
    if hidden:
        print(f"({plural(hidden, 'up-to-date job')} not listed; --all lists them)", file=stream)
    print(f"{count_line(rows, dry_run)} (run {run_id}, {status})", file=stream, flush=True)


def summary_json(rows: list[JobRow], run_id: str, status: str, stream: TextIO = sys.stdout) -> None:
    jobs = [
        {
            "asset": r.asset,
            "name": r.name,
            "partition": r.partition,
            "status": r.status,
            "reason": r.reason,
            "reason_detail": r.reason_detail,
            "seconds": round(r.seconds, 3),
            "attempts": r.attempts,
            "value_path": r.value_path,
            "error": r.error,
            "error_at": r.error_at.rsplit(" in ", 1)[0] if r.error_at else None,
        }
        for r in rows
    ]
    print(json.dumps({"run_id": run_id, "status": status, "jobs": jobs}, ensure_ascii=False), file=stream, flush=True)
