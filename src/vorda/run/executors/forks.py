"""``--executor forks``: every job is a fork of one long-lived server process
that imported vorda and the pipeline's modules once (see forks_remote.py).

Each job still runs in a process of its own, so a crash, ``os._exit`` or a
global changed by one job cannot reach another; only the interpreter start
and the imports are shared.
"""

from __future__ import annotations

import dataclasses
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
from concurrent.futures import Future
from typing import IO, Any

from vorda.run.executors.base import Outcome, PreparedJob, log_tail, tail_lines
from vorda.run.executors.groups import CHILDREN, Lifeline, end_groups, kill_leader_and_group
from vorda.run.executors.wire import write_all
from vorda.run.timing import KILL_GRACE


class ForkRefused(Exception):
    """Forking is unsafe or impossible here; the reason is the message."""


class ForkExecutor:
    def __init__(self, jobs: int, modules: list[str], env: dict[str, str], cwd: str | None = None) -> None:
        if not hasattr(os, "fork"):
            raise ForkRefused("this platform cannot fork")
        self._lock = threading.Lock()
        self._futures: dict[int, tuple[Future[Outcome], PreparedJob]] = {}
        self._pids: dict[int, int] = {}  # seq -> pid of the running child
        self._stopped = False
        self._told_never = threading.Event()  # the server said which jobs it never started
        self._gone = False  # the server's replies ended
        self._output: IO[bytes] = tempfile.TemporaryFile()  # the server's own output, for errors
        request_r, self._requests = os.pipe()
        replies_r, reply_w = os.pipe()
        self._lifeline = Lifeline()
        try:
            self._server = subprocess.Popen(
                [sys.executable, "-m", "vorda.run.executors.forks_remote", str(request_r), str(reply_w), str(jobs),
                 *modules],
                pass_fds=(request_r, reply_w, self._lifeline.read_fd),
                stdin=subprocess.DEVNULL,
                stdout=self._output,
                stderr=self._output,
                env=self._lifeline.env(env),
                cwd=cwd,
                start_new_session=True,  # Ctrl-C reaches the runner, which ends the jobs
            )
            CHILDREN.add(self._server.pid)
        except BaseException:
            self._lifeline.close()
            raise
        finally:
            os.close(request_r)
            os.close(reply_w)
        self._replies = os.fdopen(replies_r, "rb")
        try:
            first = self._replies.readline()  # once the imports are done
        except BaseException:  # Ctrl-C while a module imports
            self._server.kill()
            self._server.wait()
            raise
        try:
            hello = json.loads(first)
        except ValueError:
            hello = {}
        if not hello.get("ready"):
            self.shutdown()
            reason = hello.get("refuse") or "the fork server did not start: " + (self._server_tail() or "no output")
            raise ForkRefused(reason)
        self._reader = threading.Thread(target=self._read, name="vorda-forks", daemon=True)
        self._reader.start()

    def _server_tail(self) -> str:
        self._output.seek(0)
        return tail_lines(self._output.read().decode("utf-8", "replace"))

    def capacity(self, parallel: int) -> int:
        """Jobs beyond -j wait in the server, which starts the next as soon
        as one ends."""
        return 2 * parallel

    def enforce_timeout(self, seconds: float) -> bool:
        """The server times each job from its fork and ends it past `seconds`."""
        with self._lock:
            try:
                write_all(self._requests, (json.dumps({"timeout": seconds}) + "\n").encode())
            except OSError:
                pass  # the server is gone: so are its jobs
        return True

    def alive(self) -> bool:
        """Whether the server still takes jobs."""
        with self._lock:
            return not (self._stopped or self._gone) and self._server.poll() is None

    def submit(self, job: PreparedJob) -> Future[Outcome]:
        future: Future[Outcome] = Future()
        request = {"seq": job.seq, "args": job.worker_args(), "log": str(job.log_path)}
        with self._lock:
            if self._stopped:
                future.set_result(Outcome.stopped_first())
                return future
            if self._gone:
                future.set_result(Outcome(None, None, self._server_tail(), "the fork server has ended"))
                return future
            self._futures[job.seq] = (future, job)
            try:
                write_all(self._requests, (json.dumps(request) + "\n").encode())
            except OSError:
                self._futures.pop(job.seq)
                future.set_result(Outcome(None, None, self._server_tail(), "the fork server has ended"))
        return future

    def _read(self) -> None:
        for line in self._replies:
            message: dict[str, Any] = json.loads(line)
            if "never" in message:
                with self._lock:
                    never = [self._futures.pop(seq) for seq in message["never"] if seq in self._futures]
                for future, _ in never:
                    future.set_result(Outcome.stopped_first())
                self._told_never.set()
                continue
            seq = message["seq"]
            if "pid" in message:
                with self._lock:
                    self._pids[seq] = message["pid"]
                    job = self._futures[seq][1]
                job.started(message["pid"])
                continue
            code = message["exit"]
            with self._lock:
                self._pids.pop(seq, None)
                future, job = self._futures.pop(seq)
            outcome = Outcome.of_status(code, log_tail(job.log_path) if code != 0 else "")
            future.set_result(dataclasses.replace(outcome, seconds=message.get("seconds"),
                                                  timed_out=bool(message.get("timed_out"))))
        # The server is gone: whatever it ran has no exit status to report.
        with self._lock:
            self._gone = True  # it may not have exited quite yet
            lost = [(future, job, job.seq in self._pids) for future, job in self._futures.values()]
            self._futures.clear()
        self._told_never.set()
        for future, job, ran in lost:
            if ran:
                future.set_result(Outcome(None, None, log_tail(job.log_path), "the fork server ended while the job ran"))
            else:
                future.set_result(Outcome(None, None, self._server_tail(), "the fork server ended before the job started"))

    def cancel(self, seq: int) -> None:
        with self._lock:
            pid = self._pids.get(seq)
        if pid is not None:
            threading.Thread(target=end_groups, args=([pid],), kwargs={"kill": kill_leader_and_group},
                             name="vorda-cancel", daemon=True).start()

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
            pids = list(self._pids.values())
            try:
                os.write(self._requests, b'{"stop": true}\n')
            except OSError:
                pass
        # The jobs still waiting in the server are never started: known before
        # the runner says what became of each.
        self._told_never.wait(timeout=KILL_GRACE + 3)
        # A child may not have made its own group yet: signal it and its group.
        end_groups(pids, kill=kill_leader_and_group)

    def shutdown(self) -> None:
        try:
            os.close(self._requests)  # the server ends on end of input
        except OSError:
            pass
        try:
            self._server.wait(timeout=KILL_GRACE + 3)
        except subprocess.TimeoutExpired:
            self._server.kill()
            self._server.wait()
        CHILDREN.discard(self._server.pid)
        reader = getattr(self, "_reader", None)
        if reader is not None:
            reader.join(timeout=5)
        self._output.close()
        self._lifeline.close()

