"""The fork servers of ``vorda run --executor forks``.

    python -m vorda.run.executors.forks_remote JOBS_FD CONTROL:REPLY:LIMIT[,...] MODULE ...

Imports vorda and the pipeline's modules once, then forks one server per
CONTROL:REPLY:LIMIT (sharing those pages) and waits for them. Each server
forks one child per job request; the child runs the job as ``python -m
vorda.worker`` would (same exit statuses, same standard error line) and
ends with ``os._exit``. The runner has threads and so never forks itself;
this process is kept single-threaded, and refuses to fork at all if an
import started a thread.

Forking a process of this size is costly, and several servers fork at
once where one would fork in turn. All of them take jobs from one JOBS
pipe, a server only when it runs fewer than LIMIT children, so the pipe is
the one queue of the jobs waiting: each child that ends is followed at
once by the next, without a turn through the runner, and no job waits
behind another server's long one.

Protocol:
    runner -> servers, JOBS  {"seq": N, "args": [worker arguments], "log": PATH}
                             or {"seq": N, "file": PATH} (the request, in a
                             file too big for a record), each request one
                             record of wire.RECORD bytes, padded with spaces
    runner -> server, CONTROL, a JSON object per line
                             {"timeout": SECONDS}   end each child that runs longer
                             {"stop": true}   end every child and exit (so does EOF)
    server -> runner, REPLY, a JSON object per line
                             {"ready": true} or {"refuse": REASON}, once, first
                             {"seq": N, "pid": PID}     the child started
                             {"seq": N, "exit": CODE, "seconds": S, "timed_out": BOOL}
                                                        it ended (-SIGNAL if killed)
                             {"never": [N, ...]}   once stopped: the requests it
                             took from JOBS and never started
"""

from __future__ import annotations

import gc
import importlib
import json
import os
import select
import signal
import sys
import _signal  # type: ignore[import-not-found]  # (no stub) the C calls under signal's wrappers
import threading
import time
import traceback
from typing import Any, NoReturn

import vorda
from vorda import _command, _lifeline
from vorda.run.executors.groups import end_groups, kill_group, kill_leader_and_group
from vorda.run.executors.wire import RECORD, send_line, unrecord, write_all
from vorda.run.timing import KILL_GRACE, SERVER_POLL

_SIGCHLD, _SIGTERM, _SIGINT, _SIGKILL = (int(s) for s in (signal.SIGCHLD, signal.SIGTERM, signal.SIGINT,
                                                             signal.SIGKILL))


def thread_count() -> int:
    """Threads of this process, those a C extension started included."""
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return threading.active_count()


def _work(args: list[str], ready: Any) -> int:
    """python -m vorda.worker with these arguments. The runner's usual ones
    (MODULE FUNCTION OUTPUT_DIR [--inputs TEXT | --inputs-file PATH] [--refs-file PATH])
    skip the argument parser, and with `ready` (the asset looked up by the
    server, see vorda.worker.ready) the lookup too: each costs more than a
    trivial job."""
    worker: Any = sys.modules["vorda.worker"]
    options = dict(zip(args[3::2], args[4::2]))
    if (len(args) % 2 == 0 or len(options) * 2 != len(args) - 3
            or not set(options) <= {"--inputs", "--inputs-file", "--refs-file"}
            or {"--inputs", "--inputs-file"} <= set(options)):
        return int(worker.main(args))
    inputs = options.get("--inputs")
    if "--inputs-file" in options:
        try:
            with open(options["--inputs-file"], encoding="utf-8") as stream:
                inputs = stream.read()
        except (OSError, UnicodeDecodeError):
            return int(worker.main(args))  # for the parser's own error
    if ready is not None and "--refs-file" not in options:
        return int(ready.run(args[2], inputs))
    return int(worker.run(args[0], args[1], args[2], inputs, refs_file=options.get("--refs-file")))


def _child(request: dict[str, Any], closing: list[int], lifeline: tuple[int, str] | None, ready: Any) -> NoReturn:
    status = 1
    try:
        os.setsid()  # its own group, which the runner can end as a whole
        # The C module's calls: signal.signal's enum wrapping is Python code,
        # and every page of it a child touches is a page copied.
        signal.set_wakeup_fd(-1)
        _signal.signal(_SIGCHLD, _signal.SIG_DFL)
        _signal.signal(_SIGTERM, _signal.SIG_DFL)
        _signal.signal(_SIGINT, _signal.default_int_handler)
        for fd in closing:
            os.close(fd)
        if lifeline is not None:
            _lifeline.watch_fd(*lifeline)
        log = os.open(request["log"], os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW, 0o644)
        os.dup2(log, 1)
        os.dup2(log, 2)
        os.close(log)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.close(null)
        status = _work(list(request["args"]), ready)
    except SystemExit as leaving:
        code = leaving.code
        if code is None or isinstance(code, int):
            status = code or 0
        else:
            print(code, file=sys.stderr)
            status = 1
    except BaseException:
        traceback.print_exc()
        status = 1
    finally:
        _command.exit_now(status)


class Server:
    def __init__(self, jobs: int, control: int, replies: int, limit: int, lifeline: tuple[int, str] | None) -> None:
        self.jobs, self.control, self.replies, self.limit, self.lifeline = jobs, control, replies, limit, lifeline
        os.set_blocking(jobs, False)  # another server may take the record first
        self.taking = True  # until the runner closes JOBS
        self.children: dict[int, int] = {}  # pid -> seq
        self.since: dict[int, float] = {}  # pid -> when it was forked
        self.timeout: float | None = None
        self.overdue: dict[int, float] = {}  # pid -> when it gets SIGKILL, once sent SIGTERM
        self.readies: dict[tuple[str, str], Any] = {}  # (module, function) -> vorda.worker.Ready or None
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_r, False)
        os.set_blocking(self.wake_w, False)

    def serve(self) -> None:
        signal.signal(signal.SIGCHLD, lambda signum, frame: None)
        signal.set_wakeup_fd(self.wake_w, warn_on_full_buffer=False)
        pending = b""
        try:
            while True:
                self.reap()
                wait = self.end_overdue() if self.timeout is not None else SERVER_POLL
                watched = [self.control, self.wake_r]
                if self.taking and len(self.children) < self.limit:
                    watched.append(self.jobs)
                ready, _, _ = select.select(watched, [], [], wait)
                if self.wake_r in ready:
                    try:
                        os.read(self.wake_r, 4096)
                    except BlockingIOError:
                        pass
                if self.control in ready:  # before JOBS: once stopped, nothing more starts
                    data = os.read(self.control, 65536)
                    if not data:
                        return  # the runner is gone
                    *lines, pending = (pending + data).split(b"\n")
                    for line in lines:
                        message = json.loads(line)
                        if message.get("stop"):
                            send_line(self.replies, {"never": self.take_all()})
                            return
                        if "timeout" in message:
                            self.timeout = float(message["timeout"])
                if self.jobs in ready and len(self.children) < self.limit:
                    request = self.take()
                    if request is not None:
                        self.fork(request)
        finally:
            self.end_children()

    def take(self) -> dict[str, Any] | None:
        """The next request waiting in JOBS, if another server did not take it first."""
        try:
            data = os.read(self.jobs, RECORD)
        except BlockingIOError:
            return None
        if not data:
            self.taking = False
            return None
        request = unrecord(data)
        if "file" in request:
            path = request["file"]
            with open(path, "rb") as stream:
                request = json.loads(stream.read())
            os.unlink(path)
        return request

    def take_all(self) -> list[int]:
        """Take every request still waiting, to start none of them: their seqs."""
        seqs = []
        while (request := self.take()) is not None:
            seqs.append(request["seq"])
        return seqs

    def fork(self, request: dict[str, Any]) -> None:
        for stream in (sys.stdout, sys.stderr):
            stream.flush()  # nothing buffered here may be written twice
        ready = self.ready(request["args"])
        pid = os.fork()
        if pid == 0:
            _child(request, [self.jobs, self.control, self.replies, self.wake_r, self.wake_w], self.lifeline, ready)
        self.children[pid] = request["seq"]
        self.since[pid] = time.monotonic()
        write_all(self.replies, b'{"seq": %d, "pid": %d}\n' % (request["seq"], pid))

    def ready(self, args: list[str]) -> Any:
        """The job's asset looked up here, once for all its jobs (None: each
        job looks it up itself)."""
        if len(args) < 2:
            return None
        key = (args[0], args[1])
        if key not in self.readies:
            worker: Any = sys.modules["vorda.worker"]
            self.readies[key] = worker.ready(*key)
        return self.readies[key]

    def reap(self) -> None:
        while self.children:
            try:
                # Seen but not yet collected: while its pid is not free, its
                # group's id cannot be anyone else's.
                info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            except ChildProcessError:
                return
            if info is None:
                return
            pid = info.si_pid
            kill_group(pid, _SIGKILL)  # whatever the job left running in its group goes with it
            _, status = os.waitpid(pid, 0)
            seconds = time.monotonic() - self.since.pop(pid, time.monotonic())
            seq = self.children.pop(pid, None)
            timed_out = self.overdue.pop(pid, None) is not None
            if seq is not None:
                write_all(self.replies, b'{"seq": %d, "exit": %d, "seconds": %r, "timed_out": %s}\n' % (
                    seq, os.waitstatus_to_exitcode(status), seconds, b"true" if timed_out else b"false"))

    def end_overdue(self) -> float:
        """SIGTERM to each child past the timeout, SIGKILL once the grace
        after it is over; how long until the next of these is due."""
        assert self.timeout is not None
        now = time.monotonic()
        due = [SERVER_POLL]
        for pid, since in self.since.items():
            if pid not in self.overdue:
                if now - since >= self.timeout:
                    kill_leader_and_group(pid, _SIGTERM)
                    self.overdue[pid] = now + KILL_GRACE
                else:
                    due.append(since + self.timeout - now)
            if pid in self.overdue:
                if now >= self.overdue[pid]:
                    kill_leader_and_group(pid, _SIGKILL)
                else:
                    due.append(self.overdue[pid] - now)
        return max(0.0, min(due))

    def end_children(self) -> None:
        end_groups(list(self.children), kill=kill_leader_and_group, alive=self.children.__contains__,
                   pause=self._reap_then_sleep)

    def _reap_then_sleep(self, seconds: float) -> None:
        try:
            self.reap()
        except OSError:  # the runner may be gone; the children go anyway
            self.children.clear()
        time.sleep(seconds)

def _warm_up() -> None:
    """Do once here what every job would otherwise do first: the worker's
    lazy imports. Objects that exist now are frozen out of the collector, so
    a child's collections do not touch (and copy) the pages they live on."""
    import inspect  # noqa: F401  (materialize_asset's first call imports it)

    gc.freeze()


# Thread pools that the data stack starts at import unless told otherwise:
# one thread each, so that importing numpy, pandas or pyarrow at a module's
# top leaves this process able to fork. Set only where the user has not.
THREAD_LIMITS = {
    "OPENBLAS_NUM_THREADS": "1",
    "OMP_NUM_THREADS": "1",
    "MKL_NUM_THREADS": "1",
    "NUMEXPR_NUM_THREADS": "1",
    "VECLIB_MAXIMUM_THREADS": "1",
    "JE_ARROW_MALLOC_CONF": "background_thread:false",  # Arrow's allocator
    "_RJEM_MALLOC_CONF": "background_thread:false",  # Polars' allocator
}


def _limit_threads() -> dict[str, str | None]:
    """Apply THREAD_LIMITS; what each variable was before (None: unset)."""
    before = {name: os.environ.get(name) for name in THREAD_LIMITS}
    for name, value in THREAD_LIMITS.items():
        os.environ.setdefault(name, value)
    return before


def _restore_environment(before: dict[str, str | None]) -> None:
    """The jobs see the environment the runner gave, not the limits above."""
    for name, value in before.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


def _thread_names() -> str:
    names = []
    for task in sorted(os.listdir("/proc/self/task")):
        try:
            with open(f"/proc/self/task/{task}/comm") as stream:
                names.append(stream.read().strip())
        except OSError:
            continue
    return ", ".join(names[1:]) or "unnamed"


def main(argv: list[str]) -> int:
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the runner decides when jobs end
    before = _limit_threads()
    jobs = int(argv[0])
    servers = [tuple(int(fd) for fd in pipes.split(":")) for pipes in argv[1].split(",")]
    # Each child watches the runner's lifeline; a server watches its
    # control pipe instead (a thread here would make forking unsafe).
    lifeline = _lifeline.parse(_lifeline.take())
    import vorda.worker  # noqa: F401  (and the extension with it)

    # The runner makes each batch of finished jobs durable at once.
    vorda._defer_flush = True

    # The fork-safety rule: after each import (and the warm-up), this process
    # must still have one thread, or no child is ever forked from it.
    for name in [*argv[2:], None]:
        if name is None:
            _warm_up()
        else:
            try:
                importlib.import_module(name)
            except BaseException:
                pass  # the job imports it again and reports the error as the worker does
        count = thread_count()
        if count > 1:
            what = f"importing {name}" if name else "importing vorda"
            for _, replies, _ in servers:
                send_line(replies, {"refuse": f"{what} started {count - 1} thread(s) ({_thread_names()}), and "
                                "forking a process with threads is unsafe; import the library that starts them "
                                "inside the asset function, or limit its threads (OPENBLAS_NUM_THREADS=1 and the like)"})
            return 0
    # The pools are made: the jobs see the environment the runner gave.
    _restore_environment(before)
    started = []
    for n, (control, replies, limit) in enumerate(servers):
        pid = os.fork()
        if pid == 0:
            # The pipes of the servers still to come are theirs alone (this
            # process closed those of the ones before).
            _serve(jobs, control, replies, limit, lifeline, [fd for later in servers[n + 1:] for fd in later[:2]])
        started.append(pid)
        os.close(control)
        os.close(replies)
    os.close(jobs)
    for pid in started:
        os.waitpid(pid, 0)
    return 0


def _serve(jobs: int, control: int, replies: int, limit: int, lifeline: tuple[int, str] | None,
           others: list[int]) -> NoReturn:
    """One server, in a fork of the process that imported the modules."""
    status = 0
    try:
        for fd in others:
            os.close(fd)
        send_line(replies, {"ready": True})
        Server(jobs, control, replies, limit, lifeline).serve()
    except BrokenPipeError:
        pass  # the runner is gone; the children were ended
    except BaseException:
        traceback.print_exc()
        status = 1
    finally:
        _command.exit_now(status)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
