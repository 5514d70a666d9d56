"""What a Dask task of ``vorda run --executor dask`` does on its worker.

Standard library and vorda only (``distributed`` is imported only to see
whether the run was stopped), so unpickling the task needs nothing else.

A task runs a batch of jobs, each in a temporary directory of the worker,
through a fork server (``forks.ForkExecutor``) that this Dask worker process
starts once per run and keeps between the run's tasks; where the server
refuses to fork, each job runs in a fresh ``python -m vorda.worker``. It
returns every job's two files, exit code and log at once; the runner writes
them into its store. Nothing is shared with the runner's filesystem.
"""

from __future__ import annotations

import atexit
import contextlib
import hashlib
import importlib
import io
import json
import os
import queue
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
from concurrent.futures import Future
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

from vorda.run.executors.base import INLINE_LIMIT, Outcome, PreparedJob, scratch_folder, scratch_prefix, sweep_scratch
from vorda.run.executors.forks import ForkExecutor, ForkRefused
from vorda.run.executors.groups import Lifeline, end_groups, kill_group
from vorda.run.search_path import with_python_path
from vorda.run.timing import DASK_BEAT_TIMEOUT, FORK_SERVER_IDLE, STOP_POLL

LOG_LIMIT = 8 << 20  # the end of a longer log is kept


def pack(folders: list[str], limit: int, leave_out: Sequence[str] = ()) -> bytes:
    """A zip of plain directories of modules (``0/...``, ``1/...``): regular
    files only, links, hidden entries, ``__pycache__`` and the `leave_out`
    folders (the store) left out. Raises ValueError naming the folder that
    takes the total past ``limit``."""
    buffer = io.BytesIO()
    total = 0
    skip = {os.path.realpath(folder) for folder in leave_out}
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for index, folder in enumerate(folders):
            for root, dirs, files in os.walk(folder):
                dirs[:] = sorted(
                    d for d in dirs
                    if not d.startswith(".") and d != "__pycache__" and os.path.realpath(os.path.join(root, d)) not in skip
                )
                for name in sorted(files):
                    path = os.path.join(root, name)
                    info = os.lstat(path)
                    if name.startswith(".") or not stat.S_ISREG(info.st_mode):
                        continue
                    total += info.st_size
                    if total > limit:
                        raise ValueError(folder)
                    archive.write(path, f"{index}/{os.path.relpath(path, folder)}")
    return buffer.getvalue()


def unpack(archive: bytes, count: int) -> list[str]:
    """The shipped folders on this worker, unpacked once per archive."""
    digest = hashlib.sha256(archive).hexdigest()[:24]
    target = Path(tempfile.gettempdir()) / f"vorda-paths-{os.getuid()}-{digest}"
    if not target.is_dir():
        staging = Path(tempfile.mkdtemp(prefix="vorda-paths-"))
        with zipfile.ZipFile(io.BytesIO(archive)) as zipped:
            zipped.extractall(staging)
        try:
            os.rename(staging, target)
        except OSError:  # another task got there first
            shutil.rmtree(staging, ignore_errors=True)
    return [str(target / str(n)) for n in range(count)]


def cancel_name(stop: str, seq: int) -> str:
    """The flag that cancels one job of the run whose stop flag is `stop`."""
    return f"{stop}-{seq}"


class _Watch:
    """Whether the run still wants its jobs: the run's stop flag is not set,
    and the runner's heartbeat (a counter it moves every second) still
    moves; and which of the running jobs have their own cancel flag set. A
    heartbeat that stops, or a scheduler that cannot be reached, for
    DASK_BEAT_TIMEOUT means the runner is gone, and so must the jobs be."""

    def __init__(self, signals: dict[str, str] | None) -> None:
        self.signals = signals
        self.beat: Any = None
        self.moved = time.monotonic()
        self.next = self.moved + STOP_POLL

    def look(self, running: Iterable[int]) -> tuple[bool, list[int]]:
        """At most every STOP_POLL (else nothing to say): whether the run is
        stopped or its runner gone, and the running jobs cancelled."""
        if not self.signals or time.monotonic() < self.next:
            return False, []
        cancelled: list[int] = []
        try:
            distributed: Any = importlib.import_module("distributed")
            stop = self.signals["stop"]
            if distributed.Event(stop).is_set():
                return True, []
            cancelled = [seq for seq in running if distributed.Event(cancel_name(stop, seq)).is_set()]
            beat = distributed.Variable(self.signals["beat"]).get(timeout=1)
        except Exception:  # not on a Dask worker, or the scheduler is unreachable
            beat = self.beat
        now = time.monotonic()
        self.next = now + STOP_POLL
        if beat != self.beat:
            self.beat, self.moved = beat, now
        return now - self.moved > DASK_BEAT_TIMEOUT, cancelled


SCRATCH = "vorda-job-"


def _read(path: Path, limit: int | None = None) -> bytes | None:
    try:  # a link the asset made is not followed off to another file
        with os.fdopen(os.open(path, os.O_RDONLY | os.O_NOFOLLOW), "rb") as stream:
            if limit is not None:
                stream.seek(0, os.SEEK_END)
                stream.seek(max(0, stream.tell() - limit))
            return stream.read()
    except OSError:
        return None


def _place_refs(refs: dict[str, Any], values: list[bytes], folder: Path) -> dict[str, Any]:
    """The shipped value files written here under their own names, and the
    references pointing at them (with these files' identities)."""
    shipped = iter(values)
    for n, entry in enumerate(refs.values()):
        for m, source in enumerate(entry["sources"]):
            place = folder / f"{n}-{m}"
            place.mkdir(parents=True)
            path = place / os.path.basename(source["path"])
            path.write_bytes(next(shipped))
            info = os.stat(path)
            source["path"] = str(path)
            source["identity"] = [info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns]
    return refs


def _value_name(result: bytes | None) -> str:
    """The value file a result record names (value.json when none)."""
    try:
        named = json.loads(result or b"")["value_path"]
    except (ValueError, KeyError, TypeError):
        return "value.json"
    name = os.path.basename(named) if isinstance(named, str) else ""
    return name if name.startswith("value.") and "/" not in name else "value.json"


def _prepare(job: dict[str, Any], folder: Path, n: int, env: dict[str, str],
             on_start: Callable[[int], None] | None = None) -> PreparedJob:
    """The job's files in the batch's folder: its output directory `n`, and
    beside it its inputs, shipped values and log."""
    out = folder / str(n)
    out.mkdir()
    inputs_file = refs_file = None
    inputs_text = None
    if job["inputs"] is not None and len(job["inputs"]) <= INLINE_LIMIT:
        with contextlib.suppress(UnicodeDecodeError):
            inputs_text = job["inputs"].decode()  # no file to write and remove
    if job["inputs"] is not None and inputs_text is None:
        inputs_file = folder / f"{n}.inputs.json"
        inputs_file.write_bytes(job["inputs"])
    if job["refs"] is not None:
        placed = _place_refs(job["refs"], job["values"], folder / f"{n}.values")
        refs_file = folder / f"{n}.refs.json"
        refs_file.write_text(json.dumps(placed), encoding="utf-8")
    return PreparedJob(job["seq"], job["module"], job["function"], out, inputs_file, folder / f"{n}.log", env,
                       refs_file, on_start=on_start, inputs_text=inputs_text)


def _reply(job: PreparedJob, code: int | None, error: str | None, seconds: float | None,
           timed_out: bool = False, started: bool = True) -> dict[str, Any]:
    """What goes back for one job (see run_batch); its files here are
    removed (while the next job runs)."""
    result = _read(job.output_dir / "result.json")
    name = _value_name(result)
    reply = {
        "seq": job.seq,
        "code": code,
        "error": error,
        "seconds": seconds,
        "timed_out": timed_out,
        "started": started,
        "out": str(job.output_dir),
        "value": _read(job.output_dir / name),
        "value_name": name,
        "result": result,
        "log": _read(job.log_path, LOG_LIMIT),
    }
    for folder in (job.output_dir, job.output_dir.with_name(job.output_dir.name + ".values")):
        shutil.rmtree(folder, ignore_errors=True)
    for path in (job.inputs_file, job.refs_file, job.log_path):
        if path is not None:
            path.unlink(missing_ok=True)
    return reply


def _outcome_reply(job: PreparedJob, outcome: Outcome, seconds: float | None, timed_out: bool,
                   started: bool = True) -> dict[str, Any]:
    code = outcome.returncode if outcome.signal is None else -outcome.signal
    return _reply(job, None if outcome.error else code, outcome.error, seconds, timed_out, started)


class _Tracker:
    """When each job of a batch started and ended (the fork server's reader
    thread tells it), and which have ended since the last look."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.started: dict[int, float] = {}
        self.seconds: dict[int, float] = {}
        self.ended: queue.SimpleQueue[int] = queue.SimpleQueue()  # positions in the batch

    def on_start(self, seq: int) -> Callable[[int], None]:
        def started(pid: int) -> None:
            with self.lock:
                self.started.setdefault(seq, time.monotonic())

        return started

    def on_end(self, n: int, seq: int) -> Callable[[Future[Outcome]], None]:
        def ended(future: Future[Outcome]) -> None:
            with self.lock:
                if seq in self.started:
                    self.seconds[seq] = time.monotonic() - self.started[seq]
            self.ended.put(n)

        return ended

    def running(self) -> dict[int, float]:
        """Each running job's start."""
        with self.lock:
            return {seq: t for seq, t in self.started.items() if seq not in self.seconds}


def _through_server(server: ForkExecutor, jobs: list[dict[str, Any]], folder: Path, env: dict[str, str],
                    watch: _Watch, timeout: float | None, end_run: Callable[[], None]) -> list[dict[str, Any]]:
    """Run the jobs as forks of the server (the first starts while the next
    are written); each ends alone, by itself, by its timeout (of its own run
    time) or its cancel flag; all of them (`end_run`) once the run is
    stopped or its runner gone."""
    tracker = _Tracker()
    prepared: list[PreparedJob] = []
    futures: list[Future[Outcome]] = []
    for n, request in enumerate(jobs):
        prepared.append(_prepare(request, folder, n, env, tracker.on_start(request["seq"])))
        futures.append(server.submit(prepared[n]))
        futures[n].add_done_callback(tracker.on_end(n, request["seq"]))
    replies: list[dict[str, Any] | None] = [None] * len(jobs)
    timed_out: set[int] = set()
    left = len(jobs)
    while left:
        running = tracker.running()
        now = time.monotonic()
        if timeout is not None:
            for seq, since in running.items():
                if seq not in timed_out and now - since >= timeout:
                    timed_out.add(seq)
                    server.cancel(seq)
        gone, cancelled = watch.look(running)
        if gone:
            end_run()  # every job of the run here ends, and its future with it
            break
        for seq in cancelled:
            server.cancel(seq)
        deadlines = [since + timeout - now for seq, since in running.items() if seq not in timed_out] \
            if timeout is not None else []
        try:
            n = tracker.ended.get(timeout=max(0.01, min([STOP_POLL, *deadlines])))
        except queue.Empty:
            continue
        seq = prepared[n].seq
        replies[n] = _outcome_reply(prepared[n], futures[n].result(), tracker.seconds.get(seq), seq in timed_out)
        left -= 1
    stopped = Outcome(None, None, "", "the run was stopped")
    return [reply if reply is not None else _outcome_reply(job, future.result() if future.done() else stopped,
                                                             None, False, job.seq in tracker.started)
            for reply, job, future in zip(replies, prepared, futures)]


def _in_process(job: PreparedJob, folder: Path, watch: _Watch, timeout: float | None) -> tuple[dict[str, Any], bool]:
    """Run the job in a fresh process, as the processes executor does, in
    `folder`; its reply, and whether the run is stopped or its runner gone."""
    lifeline = Lifeline()  # the job ends, and removes its output, if this process dies
    args = [sys.executable, "-m", "vorda.worker", "--no-flush", *job.worker_args()]
    with open(job.log_path, "wb") as log:
        try:
            process = subprocess.Popen(args, cwd=folder, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                       env=lifeline.env(job.env, scratch=str(job.output_dir)),
                                       pass_fds=(lifeline.read_fd,), start_new_session=True)
        except BaseException:
            lifeline.close()
            raise
    start = time.monotonic()
    deadline = start + timeout if timeout is not None else float("inf")
    ended = threading.Event()

    def reap() -> None:
        process.wait()
        ended.set()

    threading.Thread(target=reap, daemon=True).start()
    gone = timed_out = False
    try:
        while not ended.wait(max(0.01, min(STOP_POLL, deadline - time.monotonic()))):
            timed_out = time.monotonic() >= deadline
            gone, cancelled = watch.look([job.seq])
            if timed_out or gone or cancelled:
                end_groups([process.pid], alive=lambda group: not ended.is_set(), pause=ended.wait)
                break
    finally:
        # Whatever the asset left running in its group goes with it.
        kill_group(process.pid, signal.SIGKILL)
        code = process.wait()
        lifeline.close()
    return _reply(job, code, None, time.monotonic() - start, timed_out), gone


class _Kept:
    def __init__(self, server: ForkExecutor, folder: str) -> None:
        self.server, self.folder = server, folder
        self.users = 0  # batch tasks using it now
        self.used = time.monotonic()


class _Servers:
    """This Dask worker process's fork servers, one per run (a server of an
    earlier run would hold that run's modules), kept between the run's tasks.
    A server ends with this process (its requests pipe closes), when a task
    finds the run stopped or its runner gone, and after FORK_SERVER_IDLE
    unused. A run whose server refused to fork is remembered, and its jobs
    here run in fresh processes."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.kept: dict[str, _Kept] = {}
        self.refused: dict[str, str] = {}
        self.keeper: threading.Thread | None = None
        self.kept_any = False

    def take(self, run: str, env: dict[str, str], modules: list[str], limit: int) -> ForkExecutor | str:
        """The run's server, started if need be, or why there is none."""
        with self.lock:
            if run in self.refused:
                return self.refused[run]
            kept = self.kept.get(run)
            if kept is not None and not kept.server.alive():  # a job ended it: a fresh one
                self._close(self.kept.pop(run))
                kept = None
            if kept is None:
                folder = scratch_folder(SCRATCH)  # its working directory
                try:
                    kept = _Kept(ForkExecutor(limit, modules, env, cwd=folder), folder)
                except ForkRefused as why:
                    shutil.rmtree(folder, ignore_errors=True)
                    self.refused[run] = str(why)
                    return str(why)
                except BaseException:
                    shutil.rmtree(folder, ignore_errors=True)
                    raise
                self.kept[run] = kept
                if not self.kept_any:  # a worker closed with its cluster leaves no folder behind
                    self.kept_any = True
                    atexit.register(self.end_all)
                if self.keeper is None:
                    self.keeper = threading.Thread(target=self._keep, name="vorda-fork-servers", daemon=True)
                    self.keeper.start()
            kept.users += 1
            return kept.server

    def give_back(self, run: str, server: ForkExecutor) -> None:
        with self.lock:
            kept = self.kept.get(run)
            if kept is not None and kept.server is server:  # not one started after this one ended
                kept.users -= 1
                kept.used = time.monotonic()

    def end(self, run: str) -> None:
        """End the run's server and every job it runs."""
        with self.lock:
            kept = self.kept.pop(run, None)
        if kept is not None:
            kept.server.stop()
            self._close(kept)

    def end_all(self) -> None:
        with self.lock:
            kept, self.kept = list(self.kept.values()), {}
        for one in kept:
            self._close(one)

    def _close(self, kept: _Kept) -> None:
        kept.server.shutdown()
        shutil.rmtree(kept.folder, ignore_errors=True)

    def _keep(self) -> None:
        done = False
        while not done:
            time.sleep(1.0)
            now = time.monotonic()
            with self.lock:
                idle = [run for run, k in self.kept.items() if k.users == 0 and now - k.used > FORK_SERVER_IDLE]
                ended = [self.kept.pop(run) for run in idle]
                if not self.kept:
                    self.keeper, done = None, True
            for kept in ended:
                self._close(kept)


_SERVERS = _Servers()


def _threads() -> int:
    """This Dask worker's threads: jobs at once from its fork server."""
    try:
        distributed: Any = importlib.import_module("distributed")
        return max(1, int(distributed.get_worker().state.nthreads))
    except Exception:
        return 1


def run_batch(
    jobs: list[dict[str, Any]],
    archive: bytes | None,
    shipped: int,
    search_dirs: list[str],
    modules: list[str],
    signals: dict[str, str],
    timeout: float | None = None,
) -> dict[str, Any]:
    """Run a batch of jobs, each {"seq", "module", "function", "inputs": bytes
    or None, "refs": its references file or None, "values": the bytes of the
    files the references name, in their order}. Returns {"jobs": one reply
    per job, "elapsed": seconds spent running them, "refused": why the fork
    server refused (None if it did not)}; a reply is {"seq", "code": exit code
    (-SIGNAL if killed; None with "error"), "error", "seconds": the job's own
    time, "timed_out", "out": the output directory used here, "value",
    "result", "log": bytes or None, "value_name"}. A job running longer than
    `timeout` seconds of its own is ended and reported timed out."""
    sweep_scratch(SCRATCH)
    paths = unpack(archive, shipped) if archive else []
    env = with_python_path([*paths, *search_dirs])
    watch = _Watch(signals)
    run = signals["stop"]
    server = _SERVERS.take(run, env, modules, _threads())
    try:
        with tempfile.TemporaryDirectory(prefix=scratch_prefix(SCRATCH)) as tmp:
            start = time.monotonic()
            if isinstance(server, ForkExecutor):
                replies = _through_server(server, jobs, Path(tmp), env, watch, timeout, lambda: _SERVERS.end(run))
            else:
                replies, gone = [], False
                for n, request in enumerate(jobs):
                    job = _prepare(request, Path(tmp), n, env)
                    if gone:
                        replies.append(_reply(job, None, "not started: the run was stopped", None, started=False))
                    else:
                        reply, gone = _in_process(job, Path(tmp), watch, timeout)
                        replies.append(reply)
            elapsed = time.monotonic() - start
    finally:
        if isinstance(server, ForkExecutor):
            _SERVERS.give_back(run, server)
    return {"jobs": replies, "elapsed": elapsed, "refused": None if isinstance(server, ForkExecutor) else server}
