"""What the runner and every executor agree on: the prepared job it hands
over, the outcome it gets back, and the executor's three calls."""

from __future__ import annotations

import os
import shutil
import signal
import tempfile
from concurrent.futures import Future
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Protocol


# Inputs up to this many bytes go to the worker as text (on its command line,
# or in the fork server's request), not as a file to write and remove.
INLINE_LIMIT = 16 << 10


@dataclass(frozen=True)
class PreparedJob:
    """Everything a worker needs; paths are absolute."""

    seq: int
    module: str
    function: str
    output_dir: Path
    inputs_file: Path | None
    log_path: Path
    env: dict[str, str]
    refs_file: Path | None = None  # stored values passed by reference (store/refs.py)
    inputs_text: str | None = None  # the inputs themselves, when they are only partition keys (no file)
    # Told the worker's pid once its process exists (local executors only).
    on_start: Callable[[int], None] | None = field(default=None, compare=False)

    def started(self, pid: int) -> None:
        if self.on_start is not None:
            self.on_start(pid)

    def inputs(self) -> bytes | None:
        """The inputs JSON text's bytes, wherever they are; OSError if unreadable."""
        if self.inputs_text is not None:
            return self.inputs_text.encode()
        return self.inputs_file.read_bytes() if self.inputs_file else None

    def worker_args(self) -> list[str]:
        args = [self.module, self.function, str(self.output_dir)]
        args += ["--inputs-file", str(self.inputs_file)] if self.inputs_file else []
        args += ["--inputs", self.inputs_text] if self.inputs_text is not None else []
        return args + (["--refs-file", str(self.refs_file)] if self.refs_file else [])


@dataclass(frozen=True)
class Outcome:
    """How the worker ended: its exit status, or the signal that ended it,
    or (error) why the executor could not tell, such as a lost cluster worker."""

    returncode: int | None
    signal: int | None
    stderr_tail: str
    error: str | None = None
    # The job's own run time, where the executor knows it (not its wait in a queue).
    seconds: float | None = None
    # The executor ended the job itself, past the run's timeout of its own run time.
    timed_out: bool = False
    started: bool = True  # False: the run was stopped before the job started

    @classmethod
    def stopped_first(cls) -> Outcome:
        """The run was stopped before the job started."""
        return cls(None, signal.SIGTERM, "not started: the run was stopped", started=False)

    @classmethod
    def of_status(cls, status: int, tail: str) -> Outcome:
        """From a wait status as ``os.waitstatus_to_exitcode`` gives it
        (negative: the signal that ended the process)."""
        return cls(None, -status, tail) if status < 0 else cls(status, None, tail)


class Executor(Protocol):
    """Optional, looked up by name: ``capacity(parallel) -> int``, the jobs
    it wants submitted at once (default: `parallel`); ``dispatch()``, told
    when the runner has submitted all it can for now; and
    ``enforce_timeout(seconds) -> bool``, True if it ends each job that runs
    longer than that itself, timed from the job's own start (its outcome
    then says ``timed_out``)."""

    def submit(self, job: PreparedJob) -> Future[Outcome]: ...

    def cancel(self, seq: int) -> None:
        """End one job's processes (its future then resolves as usual)."""

    def stop(self) -> None:
        """End every running job (the whole process group) and start no more."""

    def shutdown(self) -> None: ...


def open_log(path: Path) -> int:
    """The job's log for appending; a link there is not followed."""
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)


def log_tail(path: Path, lines: int = 5, limit: int = 4096) -> str:
    """The last lines of a log, read from its end only."""
    try:
        with os.fdopen(os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC), "rb") as stream:
            stream.seek(0, os.SEEK_END)
            size = stream.tell()
            stream.seek(max(0, size - limit))
            text = stream.read().decode("utf-8", "replace")
    except OSError:
        return ""
    return tail_lines(text, lines)


def tail_lines(text: str, lines: int = 5) -> str:
    return "\n".join(text.strip().splitlines()[-lines:])


def scratch_prefix(prefix: str) -> str:
    """``<prefix><pid>-``: how a scratch folder names the process that made
    it, so that sweep_scratch() removes it once that process has ended,
    should it be killed before it could."""
    return f"{prefix}{os.getpid()}-"


def scratch_folder(prefix: str, parent: str | None = None) -> str:
    """A new folder named by scratch_prefix(), in the system's temporary
    folder unless `parent` is given."""
    return tempfile.mkdtemp(prefix=scratch_prefix(prefix), dir=parent)


def sweep_scratch(prefix: str) -> None:
    """Remove the scratch folders of ended processes (killed before they
    could clean up) from the system's temporary folder."""
    base = Path(tempfile.gettempdir())
    try:
        entries = list(base.glob(prefix + "*-*"))
    except OSError:
        return
    for entry in entries:
        owner = entry.name[len(prefix):].split("-", 1)[0]
        if owner.isdigit() and int(owner) != os.getpid() and not _alive(int(owner)):
            shutil.rmtree(entry, ignore_errors=True)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True
