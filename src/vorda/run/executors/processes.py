"""``--executor processes``: a fresh ``python -m vorda.worker`` per job, in
its own process group, with standard output and error in the job's log."""

from __future__ import annotations

import signal
import subprocess
import sys
import threading
from concurrent.futures import Future, ThreadPoolExecutor

from vorda.run.executors.base import Outcome, PreparedJob, log_tail
from vorda.run.executors.groups import end_groups, kill_group


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
        kill_group(process.pid, signal.SIGKILL)
        with self._lock:
            self._running.pop(process.pid, None)
        return Outcome.of_status(returncode, log_tail(job.log_path) if returncode != 0 else "")

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
            running = list(self._running)
        end_groups(running)

    def shutdown(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)
