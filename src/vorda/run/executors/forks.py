"""``--executor forks``: every job is a fork of a long-lived server, itself
a fork of the process that imported vorda and the pipeline's modules once
(see forks_remote.py).

Each job still runs in a process of its own, so a crash, ``os._exit`` or a
global changed by one job cannot reach another; only the interpreter start
and the imports are shared. Forking a process of that size costs about as
much as a trivial job, so for -j above 1 there is a server per core, all
taking jobs from one queue.
"""

from __future__ import annotations

import dataclasses
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
from concurrent.futures import Future
from typing import IO, Any

from vorda.run.executors.base import Outcome, PreparedJob, log_tail, scratch_folder, sweep_scratch, tail_lines
from vorda.run.executors.groups import CHILDREN, Lifeline, end_groups, kill_group, kill_leader_and_group
from vorda.run.executors.wire import record, write_all
from vorda.run.timing import KILL_GRACE

# Requests waiting for a server fit in the pipe, so a submit never blocks.
PIPE_SIZE = 1 << 20
SPILL = "vorda-forks-"


class ForkRefused(Exception):
    """Forking is unsafe or impossible here; the reason is the message."""


def server_count(jobs: int) -> int:
    """Servers for `jobs` at once: one per core that the jobs can use. Only
    Linux is known to hand each reader of a pipe whole records."""
    if not sys.platform.startswith("linux"):
        return 1
    return max(1, min(jobs, len(os.sched_getaffinity(0))))


@dataclasses.dataclass(eq=False)
class _Server:
    control: int  # our end of its control pipe
    replies: IO[bytes]
    told_never: threading.Event = dataclasses.field(default_factory=threading.Event)
    reader: threading.Thread | None = None
    ended: bool = False  # its replies ended: nothing more comes from it


class ForkExecutor:
    imports_once = True  # the servers read the jobs' code once, as they start

    def __init__(self, jobs: int, modules: list[str], env: dict[str, str], cwd: str | None = None,
                 servers: int = 1) -> None:
        if not hasattr(os, "fork"):
            raise ForkRefused("this platform cannot fork")
        self._lock = threading.Lock()
        self._futures: dict[int, tuple[Future[Outcome], PreparedJob]] = {}
        self._pids: dict[int, tuple[int, _Server]] = {}  # seq -> the running child and its server
        self._stopped = False
        self._closing = False  # shutdown() ends the servers
        self._gone: _Server | None = None  # the first server whose replies ended unasked
        self._servers: list[_Server] = []
        self._output: IO[bytes] = tempfile.TemporaryFile()  # the servers' own output, for errors
        # Requests too big for a record go by a file, in a folder made for
        # the first of them: inside the servers' working folder when given
        # (a Dask worker's scratch), else in one that a later executor
        # sweeps should this process be killed.
        self._cwd, self._spill = cwd, ""
        if cwd is None:
            sweep_scratch(SPILL)
        self._lifeline = Lifeline()
        jobs_r, self._jobs = os.pipe()
        ends: list[int] = [jobs_r]  # the servers' ends of the pipes, closed here once passed
        try:
            try:
                fcntl.fcntl(self._jobs, getattr(fcntl, "F_SETPIPE_SZ"), PIPE_SIZE)
            except (AttributeError, OSError):
                pass  # the default size: a submit may wait for a server to take a job
            servers = max(1, min(servers, jobs))
            pipes = []
            for n in range(servers):
                control_r, control_w = os.pipe()
                ends.append(control_r)
                try:
                    replies_r, reply_w = os.pipe()
                except OSError:
                    os.close(control_w)  # not yet a server's, so nothing else closes it
                    raise
                ends.append(reply_w)
                self._servers.append(_Server(control_w, os.fdopen(replies_r, "rb")))
                pipes.append(f"{control_r}:{reply_w}:{jobs // servers + (n < jobs % servers)}")
            self._process = subprocess.Popen(
                [sys.executable, "-m", "vorda.run.executors.forks_remote", str(jobs_r), ",".join(pipes), *modules],
                pass_fds=(*ends, self._lifeline.read_fd),
                stdin=subprocess.DEVNULL,
                stdout=self._output,
                stderr=self._output,
                env=self._lifeline.env(env),
                cwd=cwd,
                start_new_session=True,  # Ctrl-C reaches the runner, which ends the jobs
            )
            CHILDREN.add(self._process.pid)
        except BaseException:
            for fd in ends:
                os.close(fd)
            self._release()
            raise
        for fd in ends:
            os.close(fd)  # once all servers are gone, a request cannot be written
        refused = None
        for server in self._servers:
            try:
                first = server.replies.readline()  # once the imports are done
            except BaseException:  # Ctrl-C while a module imports
                self.shutdown(kill=True)
                raise
            try:
                hello = json.loads(first)
            except ValueError:
                hello = {}
            if not hello.get("ready") and refused is None:
                refused = hello.get("refuse") or "the fork server did not start: " + (self._tail() or "no output")
        if refused is not None:
            self.shutdown()
            raise ForkRefused(refused)
        for server in self._servers:
            server.reader = threading.Thread(target=self._read, args=(server,), name="vorda-forks", daemon=True)
            server.reader.start()

    def _tail(self) -> str:
        # pread: the servers write through the same file offset
        fd = self._output.fileno()
        return tail_lines(os.pread(fd, os.fstat(fd).st_size, 0).decode("utf-8", "replace"))

    def capacity(self, parallel: int) -> int:
        """Jobs beyond -j wait for a server, which starts the next as soon
        as one ends."""
        return 2 * parallel

    def _tell(self, message: bytes) -> None:
        for server in self._servers:
            try:
                write_all(server.control, message)
            except OSError:
                pass  # the server is gone: so are its jobs

    def enforce_timeout(self, seconds: float) -> bool:
        """The servers time each job from its fork and end it past `seconds`."""
        with self._lock:
            self._tell((json.dumps({"timeout": seconds}) + "\n").encode())
        return True

    def alive(self) -> bool:
        """Whether the servers still take jobs."""
        with self._lock:
            return not (self._stopped or self._gone) and self._process.poll() is None

    def submit(self, job: PreparedJob) -> Future[Outcome]:
        future: Future[Outcome] = Future()
        request = {"seq": job.seq, "args": job.worker_args(), "log": str(job.log_path)}
        with self._lock:
            if self._stopped:
                future.set_result(Outcome.stopped_first())
                return future
            if self._gone is not None:
                future.set_result(Outcome(None, None, self._tail(), "the fork server has ended"))
                return future
            try:
                data = self._record(request)
            except OSError as error:
                future.set_result(Outcome(None, None, "", f"could not pass the job to the fork server: {error}"))
                return future
            self._futures[job.seq] = (future, job)
            try:
                write_all(self._jobs, data)
            except OSError:
                self._futures.pop(job.seq)
                future.set_result(Outcome(None, None, self._tail(), "the fork server has ended"))
        return future

    def _record(self, request: dict[str, Any]) -> bytes:
        data = record(request)
        if data is None:
            if not self._spill:
                self._spill = scratch_folder(SPILL, self._cwd)
            fd, path = tempfile.mkstemp(dir=self._spill)
            with os.fdopen(fd, "w", encoding="utf-8") as stream:
                json.dump(request, stream)
            data = record({"seq": request["seq"], "file": path})
            assert data is not None, "a path too long for a record"
        return data

    def _read(self, server: _Server) -> None:
        for line in server.replies:
            message: dict[str, Any] = json.loads(line)
            if "never" in message:
                with self._lock:
                    never = [self._futures.pop(seq) for seq in message["never"] if seq in self._futures]
                    gone = self._gone
                for future, _ in never:
                    future.set_result(Outcome.stopped_first() if gone is None else Outcome(
                        None, None, self._tail(), "the fork server ended before the job started"))
                server.told_never.set()
                continue
            seq = message["seq"]
            if "pid" in message:
                with self._lock:
                    self._pids[seq] = (message["pid"], server)
                    job = self._futures[seq][1]
                job.started(message["pid"])
                continue
            code = message["exit"]
            with self._lock:
                self._pids.pop(seq, None)
                future, job = self._futures.pop(seq)
                gone = self._gone
            if gone is not None and code < 0:  # ended by its server, stopped with the others
                future.set_result(Outcome(None, None, log_tail(job.log_path), "the fork server ended while the job ran"))
                continue
            outcome = Outcome.of_status(code, log_tail(job.log_path) if code != 0 else "")
            future.set_result(dataclasses.replace(outcome, seconds=message.get("seconds"),
                                                  timed_out=bool(message.get("timed_out"))))
        self._ended(server)

    def _ended(self, server: _Server) -> None:
        """A server's replies ended: what it ran has no exit status to report.
        Unasked, the servers end together: the others are stopped, and what
        none of them started fails once the last has ended."""
        with self._lock:
            lost = []
            for seq in [seq for seq, (_, where) in self._pids.items() if where is server]:
                del self._pids[seq]  # never signalled again: once collected, that pid may be anyone's
                if seq in self._futures:
                    lost.append(self._futures.pop(seq))
            first = self._gone is None and not (self._stopped or self._closing)
            if first:
                self._gone = server
                self._tell(b'{"stop": true}\n')
            server.ended = True
            server.told_never.set()
            last = all(s.ended for s in self._servers)
            left = list(self._futures.values()) if last else []
            if last:
                self._futures.clear()
        for future, job in lost:
            future.set_result(Outcome(None, None, log_tail(job.log_path), "the fork server ended while the job ran"))
        for future, job in left:
            future.set_result(Outcome(None, None, self._tail(), "the fork server ended before the job started"))

    def cancel(self, seq: int) -> None:
        with self._lock:
            found = self._pids.get(seq)
        if found is not None:
            threading.Thread(target=end_groups, args=([found[0]],),
                             kwargs={"kill": self._kill_running, "alive": self._running},
                             name="vorda-cancel", daemon=True).start()

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
            pids = [pid for pid, _ in self._pids.values()]
            self._tell(b'{"stop": true}\n')
        # The jobs still waiting are never started: known before the runner
        # says what became of each.
        for server in self._servers:
            server.told_never.wait(timeout=KILL_GRACE + 3)
        # A child may not have made its own group yet: signal it and its group.
        end_groups(pids, kill=self._kill_running, alive=self._running)

    def _running(self, pid: int) -> bool:
        """Whether `pid` is a job its server has not yet reported ended. A
        server reports a child only once it has collected it, and from then
        on that pid may be anyone's: no signal goes to it from here."""
        with self._lock:
            return any(pid == known for known, _ in self._pids.values())

    def _kill_running(self, pid: int, sig: int) -> None:
        if self._running(pid):
            kill_leader_and_group(pid, sig)

    def shutdown(self, kill: bool = False) -> None:
        with self._lock:
            self._closing = True
            self._close_inputs()  # a server ends on end of input, and then the process that forked it
        if kill:
            kill_group(self._process.pid, signal.SIGKILL)  # its servers are in its group
        try:
            self._process.wait(timeout=KILL_GRACE + 3)
        except subprocess.TimeoutExpired:
            kill_group(self._process.pid, signal.SIGKILL)
            self._process.wait()
        CHILDREN.discard(self._process.pid)
        for server in self._servers:
            if server.reader is not None:
                server.reader.join(timeout=5)
        self._release()

    def _close_inputs(self) -> None:
        """Close the jobs pipe and the control pipes, once: a number closed
        twice may be another file's by then."""
        if self._jobs < 0:
            return
        for fd in (self._jobs, *(server.control for server in self._servers)):
            os.close(fd)
        self._jobs = -1

    def _release(self) -> None:
        self._close_inputs()
        for server in self._servers:
            server.replies.close()
        self._output.close()
        self._lifeline.close()
        if self._spill:
            shutil.rmtree(self._spill, ignore_errors=True)
