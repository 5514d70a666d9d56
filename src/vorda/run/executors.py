"""How a prepared job is run. The runner only submits jobs and reads their
outcomes; an executor decides where the worker runs.

``ProcessExecutor`` starts a fresh ``python -m vorda.worker`` per job, in its
own process group, with standard output and error in the job's log file.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterable, Protocol


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

    def worker_args(self) -> list[str]:
        args = [self.module, self.function, str(self.output_dir)]
        return args + (["--inputs-file", str(self.inputs_file)] if self.inputs_file else [])


@dataclass(frozen=True)
class Outcome:
    """How the worker ended: its exit status, or the signal that ended it,
    or (error) why the executor could not tell, such as a lost cluster worker."""

    returncode: int | None
    signal: int | None
    stderr_tail: str
    error: str | None = None


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
    return "\n".join(text.strip().splitlines()[-lines:])


class ProcessExecutor:
    def __init__(self, jobs: int) -> None:
        self._pool = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="vorda-job")
        self._lock = threading.Lock()
        self._running: dict[int, subprocess.Popen[bytes]] = {}
        self._stopped = False

    def submit(self, job: PreparedJob) -> Future[Outcome]:
        return self._pool.submit(self._run, job)

    def _run(self, job: PreparedJob) -> Outcome:
        with open(job.log_path, "ab") as log:
            with self._lock:
                if self._stopped:
                    return Outcome(None, signal.SIGTERM, "not started: the run was stopped")
                process = subprocess.Popen(
                    [sys.executable, "-m", "vorda.worker", *job.worker_args()],
                    stdin=subprocess.DEVNULL,
                    stdout=log,
                    stderr=log,
                    env=job.env,
                    start_new_session=True,
                )
                self._running[process.pid] = process
            returncode = process.wait()
        # Whatever the asset left running in its group goes with it.
        _killpg(process.pid, signal.SIGKILL)
        with self._lock:
            self._running.pop(process.pid, None)
        tail = log_tail(job.log_path) if returncode != 0 else ""
        if returncode < 0:
            return Outcome(None, -returncode, tail)
        return Outcome(returncode, None, tail)

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
            running = list(self._running.values())
        _end_groups(running)

    def shutdown(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)


def _end_groups(processes: list[subprocess.Popen[bytes]], grace: float = 2.0) -> None:
    end_groups({p.pid for p in processes}, grace)


def end_groups(groups: Iterable[int], grace: float = 2.0, kill: Callable[[int, int], None] | None = None) -> None:
    """SIGTERM each process group, SIGKILL what is left after a grace period;
    the groups are killed even when their leader has exited. `kill` sends one
    signal to one group (default: killpg, quietly)."""
    send = kill or _killpg
    groups = set(groups)
    for group in groups:
        send(group, signal.SIGTERM)
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline and any(group_alive(g) for g in groups):
        time.sleep(0.02)
    for group in groups:
        send(group, signal.SIGKILL)


def _killpg(group: int, sig: int) -> None:
    try:
        os.killpg(group, sig)
    except (ProcessLookupError, PermissionError):
        pass


def group_alive(group: int) -> bool:
    try:
        os.killpg(group, 0)
    except (ProcessLookupError, PermissionError):
        return False
    return True
