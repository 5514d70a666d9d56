"""What the runner and every executor agree on: the prepared job it hands
over, the outcome it gets back, and the executor's three calls."""

from __future__ import annotations

import os
from concurrent.futures import Future
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol


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

    def worker_args(self) -> list[str]:
        args = [self.module, self.function, str(self.output_dir)]
        args += ["--inputs-file", str(self.inputs_file)] if self.inputs_file else []
        return args + (["--refs-file", str(self.refs_file)] if self.refs_file else [])


@dataclass(frozen=True)
class Outcome:
    """How the worker ended: its exit status, or the signal that ended it,
    or (error) why the executor could not tell, such as a lost cluster worker."""

    returncode: int | None
    signal: int | None
    stderr_tail: str
    error: str | None = None

    @classmethod
    def of_status(cls, status: int, tail: str) -> Outcome:
        """From a wait status as ``os.waitstatus_to_exitcode`` gives it
        (negative: the signal that ended the process)."""
        return cls(None, -status, tail) if status < 0 else cls(status, None, tail)


class Executor(Protocol):
    def submit(self, job: PreparedJob) -> Future[Outcome]: ...

    def stop(self) -> None:
        """End every running job (the whole process group) and start no more."""

    def shutdown(self) -> None: ...


def log_tail(path: Path, lines: int = 5, limit: int = 4096) -> str:
    """The last lines of a log, read from its end only."""
    try:
        with open(path, "rb") as stream:
            stream.seek(0, os.SEEK_END)
            size = stream.tell()
            stream.seek(max(0, size - limit))
            text = stream.read().decode("utf-8", "replace")
    except OSError:
        return ""
    return tail_lines(text, lines)


def tail_lines(text: str, lines: int = 5) -> str:
    return "\n".join(text.strip().splitlines()[-lines:])
