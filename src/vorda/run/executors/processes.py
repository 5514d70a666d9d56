"""``--executor processes``: a fresh ``python -m vorda.worker`` per job, in
its own process group, with standard output and error in the job's log."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
from concurrent.futures import Future, ThreadPoolExecutor

from vorda.run.executors.base import Outcome, PreparedJob, log_tail, open_log
from vorda.run.executors.groups import CHILDREN, Lifeline, end_groups, kill_group


class ProcessExecutor:
    imports_once = False  # each job reads its code as its process starts

    def __init__(self, jobs: int) -> None:
        self._pool = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="vorda-job")
        self._lock = threading.Lock()
        self._running: dict[int, int] = {}  # seq -> pid
        self._stopped = False
        self._lifeline = Lifeline()

    def submit(self, job: PreparedJob) -> Future[Outcome]:
        return self._pool.submit(self._run, job)

    def _run(self, job: PreparedJob) -> Outcome:
        log = open_log(job.log_path)
        try:
            with self._lock:
                if self._stopped:
                    return Outcome.stopped_first()
                process = subprocess.Popen(
                    [sys.executable, "-m", "vorda.worker", "--no-flush", *job.worker_args()],
                    stdin=subprocess.DEVNULL,
                    stdout=log,
                    stderr=log,
                    env=self._lifeline.env(job.env),
                    pass_fds=(self._lifeline.read_fd,),
                    start_new_session=True,
                )
                self._running[job.seq] = process.pid
                CHILDREN.add(process.pid)
        finally:
            os.close(log)
        job.started(process.pid)
        # Ended but not yet collected: until it is, its pid (its group's id)
        # cannot be another process's, so the group below is still its own.
        try:
            os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)
        except ChildProcessError:
            pass
        # Whatever the asset left running in its group goes with it.
        kill_group(process.pid, signal.SIGKILL)
        returncode = process.wait()
        with self._lock:
            self._running.pop(job.seq, None)
            CHILDREN.discard(process.pid)
        return Outcome.of_status(returncode, log_tail(job.log_path) if returncode != 0 else "")

    def cancel(self, seq: int) -> None:
        with self._lock:
            pid = self._running.get(seq)
        if pid is not None:
            threading.Thread(target=end_groups, args=([pid],), name="vorda-cancel", daemon=True).start()

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
            running = list(self._running.values())
        end_groups(running)

    def shutdown(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)
        self._lifeline.close()
