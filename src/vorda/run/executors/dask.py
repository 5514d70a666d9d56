"""``--executor dask``: jobs as tasks on a Dask distributed cluster, in batches.

Each task (dask_remote.run_batch) runs a batch of jobs on a Dask worker,
through a fork server there, and sends back the files they wrote, all at
once; they are written here into the store, so the store needs no
filesystem shared with the cluster. Inputs go with the task, and so do the
``--path`` folders (zipped, up to SHIP_LIMIT).

Batches: ``--batch N`` jobs each, or sized from the job times measured on
the batches returned so far, so that a task runs for about
DASK_BATCH_SECONDS; the first are single jobs, so that results come back
soon. A batch never takes more than its share of the jobs at hand (their
number over the workers'), so no worker sits idle while another holds them.
"""

from __future__ import annotations

import dataclasses
import importlib
import json
import logging
import math
import os
import signal
import threading
import uuid
from concurrent.futures import Future, InvalidStateError, wait
from pathlib import Path
from typing import Any, Callable

from vorda._command import UsageError
from vorda.run.executors.base import Outcome, PreparedJob, open_log, tail_lines
from vorda.run.executors.dask_remote import cancel_name, pack, run_batch
from vorda.run.search_path import SearchPath
from vorda.run.store.files import open_nofollow, write_replace
from vorda.run.store.keys import canonical
from vorda.run.store.layout import RESULT, VALUE, VALUE_NAME
from vorda.run.timing import DASK_BATCH_SECONDS, DASK_BEAT, DASK_CONNECT_TIMEOUT, DASK_STOP_WAIT

SHIP_LIMIT = 16 << 20  # bytes of --path files shipped with every task
MAX_BATCH = 1000  # jobs in one task, however short they are
BATCH_BYTES = 64 << 20  # of inputs and values shipped with one task: a batch ends past it

# A job waiting here, and the runner's future for it.
_Queued = tuple[PreparedJob, Future[Outcome]]


class DaskExecutor:
    imports_once = True  # the workers' fork servers read the jobs' code once

    def __init__(
        self,
        jobs: int,
        scheduler: str | None,
        search: SearchPath,
        store: str | None = None,
        modules: list[str] | None = None,
        batch: int | None = None,
        notice: Callable[[str], None] = lambda text: None,
    ) -> None:
        try:  # untyped packages, and optional ones
            dask: Any = importlib.import_module("dask")
            distributed: Any = importlib.import_module("distributed")
        except ImportError:
            raise UsageError("--executor dask needs the distributed package: pip install 'vorda[dask]'") from None
        folders = [os.path.abspath(p) for p in search.extra if os.path.isdir(p)]
        try:
            self._archive = pack(folders, SHIP_LIMIT, [store] if store else []) if folders else None
        except ValueError as error:
            raise UsageError(
                f"--path {error}: more than {SHIP_LIMIT >> 20} MB of files to ship with every Dask task; "
                "install the modules on every worker instead (the same environment image everywhere) "
                "and leave this folder out of --path"
            ) from None
        except OSError as error:
            raise UsageError(f"cannot read a --path folder to ship it: {error}") from None
        self._shipped = len(folders)
        self._dirs = [d for d in search.dirs if d not in folders]  # those go shipped
        self._modules = list(modules or [])
        self._workers = jobs
        self._forced = batch
        self._size = batch or 1  # jobs per batch
        self._per_job: float | None = None  # seconds, as measured on the workers
        self._timeout: float | None = None
        self._notice = notice
        self._told = False
        self._lock = threading.Lock()
        self._queue: list[_Queued] = []
        self._tasks: dict[Any, list[_Queued]] = {}  # Dask future -> its batch
        self._dispatching = threading.Lock()  # one dispatch at a time
        self._writing = threading.Lock()  # held while a job's files go into the store
        self._stopped = False
        self._sent_again: set[int] = set()  # jobs a worker gave back unstarted, sent once more
        self._cluster: Any = None
        self._client: Any = None
        try:
            if scheduler is not None:
                with dask.config.set({"distributed.comm.timeouts.connect": DASK_CONNECT_TIMEOUT}):
                    self._client = distributed.Client(scheduler, set_as_default=False)
            else:
                # One try per task, as with processes: a worker lost while it ran
                # a batch fails the batch (most likely one job's own doing).
                # Ctrl-C is the runner's to handle, not the worker processes'.
                previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
                try:
                    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
                        self._cluster = distributed.LocalCluster(
                            n_workers=jobs, threads_per_worker=1, processes=True, host="127.0.0.1",
                            dashboard_address=None, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                            silence_logs=logging.CRITICAL,
                        )
                finally:
                    signal.signal(signal.SIGINT, previous)
                self._client = distributed.Client(self._cluster, set_as_default=False)
        except (OSError, TimeoutError, ValueError) as error:
            self._close_cluster()
            where = f"the Dask scheduler at {scheduler}" if scheduler else "a local Dask cluster"
            raise UsageError(f"cannot connect to {where}: {type(error).__name__}: {error}") from None
        self._distributed = distributed
        self._stop_name = f"vorda-stop-{uuid.uuid4().hex}"
        self._stop_event = distributed.Event(self._stop_name, client=self._client)
        self._beat = distributed.Variable(f"{self._stop_name}-beat", client=self._client)
        self._beat.set(0)
        self._beating = threading.Event()
        threading.Thread(target=self._heartbeat, name="vorda-dask-beat", daemon=True).start()

    def _heartbeat(self) -> None:
        count = 0
        while not self._beating.wait(DASK_BEAT):
            count += 1
            try:
                self._beat.set(count)
            except Exception:
                pass  # the cluster is gone; the jobs find out themselves

    def capacity(self, parallel: int) -> int:
        """A batch running per worker, and the next one waiting here."""
        return 2 * parallel * self._size

    def enforce_timeout(self, seconds: float) -> bool:
        """Each task times its jobs from their start there: a job's wait
        behind others of its batch is not its own time."""
        self._timeout = seconds
        return True

    def cancel(self, seq: int) -> None:
        with self._lock:
            queued = [entry for entry in self._queue if entry[0].seq == seq]
            self._queue = [entry for entry in self._queue if entry[0].seq != seq]
        for _, outer in queued:
            _resolve(outer, Outcome(None, signal.SIGTERM, "not started: cancelled"))
        if not queued:
            try:
                self._distributed.Event(cancel_name(self._stop_name, seq), client=self._client).set()
            except Exception:
                pass

    def submit(self, job: PreparedJob) -> Future[Outcome]:
        outer: Future[Outcome] = Future()
        with self._lock:
            if self._stopped:
                outer.set_result(Outcome.stopped_first())
            else:
                self._queue.append((job, outer))
        return outer

    def dispatch(self) -> None:
        """Send what waits here as batches, one per worker at most. The next
        batches wait here, not on the cluster: a worker lost fails the batch
        it ran, never one that was only queued on it. A batch that returns
        makes room for the next at once (see _finished). A job's inputs are
        read as its batch goes, so the jobs waiting here hold no values."""
        with self._dispatching:
            while True:
                with self._lock:
                    if self._stopped or not self._queue or len(self._tasks) >= self._workers:
                        return
                    size = max(1, min(self._size, math.ceil(len(self._queue) / self._workers)))
                    taken, self._queue = self._queue[:size], self._queue[size:]
                batch, sent, shipped = [], [], 0
                for n, (job, outer) in enumerate(taken):
                    if shipped >= BATCH_BYTES:
                        self._requeue(taken[n:])
                        break
                    try:
                        one = _sent(job)
                    except (OSError, ValueError) as error:
                        _resolve(outer, Outcome(None, None, "", f"could not ship the job's inputs: {error}"))
                        continue
                    shipped += len(one["inputs"] or b"") + sum(len(value) for value in one["values"])
                    batch.append((job, outer))
                    sent.append(one)
                if not batch:
                    continue
                with self._lock:
                    stopped = self._stopped
                    if not stopped:
                        task = self._client.submit(
                            run_batch, sent, self._archive, self._shipped, self._dirs, self._modules,
                            {"stop": self._stop_name, "beat": f"{self._stop_name}-beat"}, self._timeout,
                            key=f"vorda-{batch[0][0].seq}-{uuid.uuid4().hex[:12]}", pure=False,
                        )
                        self._tasks[task] = batch
                if stopped:
                    self._requeue(batch)  # that is, each is told it never started
                    return
                task.add_done_callback(lambda done, batch=batch: self._finished(done, batch))

    def _requeue(self, jobs: list[_Queued]) -> None:
        """Put jobs back first in line, or once the run is stopped, say they never started."""
        with self._lock:
            if not self._stopped:
                self._queue[:0] = jobs
                return
        for _, outer in jobs:
            _resolve(outer, Outcome.stopped_first())

    def _finished(self, task: Any, batch: list[_Queued]) -> None:
        with self._lock:
            self._tasks.pop(task, None)
        self.dispatch()  # the worker takes the next batch while this one is written
        try:
            outcomes = self._take(task, batch)
        except Exception as error:  # never leave the runner waiting
            failed = Outcome(None, None, "", f"could not take the job's result: {type(error).__name__}: {error}")
            outcomes = {job.seq: failed for job, _ in batch}
        task.release()
        again = [(job, outer) for job, outer in batch if job.seq not in outcomes]
        if again:
            self._requeue(again)
            self.dispatch()
        for job, outer in batch:
            if job.seq in outcomes:
                _resolve(outer, outcomes[job.seq])

    def _take(self, task: Any, batch: list[_Queued]) -> dict[int, Outcome]:
        """Each job's outcome, its files written into the store; none for a
        job to send again."""
        if task.status != "finished":
            # A lost worker took the whole reply with it: every job of the
            # batch fails, those that had ended there too (their files never
            # came back).
            if task.status == "cancelled":
                why = "the Dask cluster cancelled the job"
            else:
                error = task.exception()
                why = f"the Dask cluster could not run the job: {type(error).__name__}: {error}"
            return {job.seq: Outcome(None, None, "", why) for job, _ in batch}
        reply: dict[str, Any] = task.result()
        self._learn(reply)
        if reply["refused"] and not self._told:
            self._told = True
            self._notice(f"--executor dask: on a Dask worker, {reply['refused']}; "
                         "running each job in a fresh process instead")
        replies = {one["seq"]: one for one in reply["jobs"]}
        outcomes = {}
        for job, _ in batch:
            if replies[job.seq].get("started") is False and not self._stopped and job.seq not in self._sent_again:
                # Its worker took the runner for gone (a heartbeat missed:
                # the runner was paused, say) before the job started; the
                # runner is here, so the job is not lost. Once only: a
                # worker that cannot hear the runner would send it back again.
                self._sent_again.add(job.seq)
                continue
            try:
                outcomes[job.seq] = self._store(job, replies[job.seq])
            except Exception as error:  # this job's files only
                outcomes[job.seq] = Outcome(None, None, "",
                                            f"could not take the job's result: {type(error).__name__}: {error}")
        return outcomes

    def _learn(self, reply: dict[str, Any]) -> None:
        """Size the next batches from this one's time per job."""
        if self._forced or not reply["jobs"]:
            return
        measured = reply["elapsed"] / len(reply["jobs"])
        self._per_job = measured if self._per_job is None else (self._per_job + measured) / 2
        self._size = max(1, min(MAX_BATCH, math.ceil(DASK_BATCH_SECONDS / max(self._per_job, 1e-6))))

    def _store(self, job: PreparedJob, reply: dict[str, Any]) -> Outcome:
        remote_out, out = reply["out"], str(job.output_dir)
        log: bytes = (reply["log"] or b"").replace(remote_out.encode(), out.encode())
        with self._writing:
            if self._stopped:  # nothing is written once the run is stopped
                if reply.get("started") is False:  # it waited behind a batch-mate
                    return Outcome.stopped_first()
                return Outcome(None, signal.SIGTERM, "", "the run was stopped")
            if reply.get("started") is False:  # a second time (see _take)
                return Outcome(None, None, "", "not started: its Dask worker lost touch with the runner")
            with os.fdopen(open_log(job.log_path), "ab") as stream:
                stream.write(log)
            # Whole by rename; the runner makes them durable with the rest of the batch.
            name = reply.get("value_name", VALUE)
            if reply["value"] is not None and VALUE_NAME.fullmatch(name):
                write_replace(job.output_dir, name, reply["value"])
            if reply["result"] is not None:
                write_replace(job.output_dir, RESULT, _local_record(reply["result"], remote_out, out, name))
        tail = tail_lines(log.decode("utf-8", "replace"))
        if reply["error"] is not None:
            outcome = Outcome(None, None, tail, reply["error"])
        else:
            code: int = reply["code"]
            outcome = Outcome.of_status(code, tail if code else "")
        return dataclasses.replace(outcome, seconds=reply["seconds"], timed_out=bool(reply["timed_out"]))

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
            queued, self._queue = self._queue, []
            running = dict(self._tasks)
        for _, outer in queued:
            _resolve(outer, Outcome.stopped_first())
        outers = [outer for batch in running.values() for _, outer in batch]
        try:
            # Running tasks see the flag and end their jobs; a task cancelled
            # or a cluster closed first would leave them running.
            self._stop_event.set()
            wait(outers, timeout=DASK_STOP_WAIT)
            self._client.cancel(list(running), force=True)
        except Exception:
            pass  # the cluster may be gone already; the jobs are recorded as interrupted either way
        with self._writing:
            pass  # a job's files being written as the run stopped are written; no more after this
        for outer in outers:
            _resolve(outer, Outcome(None, signal.SIGTERM, "", "the run was stopped"))

    def shutdown(self) -> None:
        self._beating.set()
        try:
            self._client.close()
        finally:
            self._close_cluster()

    def _close_cluster(self) -> None:
        if self._cluster is not None:
            self._cluster.close()
            self._cluster = None


def _resolve(future: Future[Outcome], outcome: Outcome) -> None:
    try:
        future.set_result(outcome)
    except InvalidStateError:
        pass  # stopped first


def _local_record(record: bytes, remote_out: str, out: str, name: str = VALUE) -> bytes:
    """The result record with its value path pointing into the store."""
    try:
        data = json.loads(record)
    except ValueError:
        return record  # the runner reads it as unreadable, as it would any
    if isinstance(data, dict) and data.get("value_path") == os.path.join(remote_out, name):
        data["value_path"] = os.path.join(out, name)
        return canonical(data).encode()
    return record


def _sent(job: PreparedJob) -> dict[str, Any]:
    """What goes with the job's task (see dask_remote.run_batch)."""
    inputs = job.inputs()
    refs, values = _shipped_refs(job.refs_file)
    return {"seq": job.seq, "module": job.module, "function": job.function, "inputs": inputs, "refs": refs,
            "values": values}


def _shipped_refs(path: Path | None) -> tuple[dict[str, Any] | None, list[bytes]]:
    """A job's references and the bytes of the files they name, to go with
    its task: a Dask worker shares no filesystem with the store. Each file
    must still be the one the runner hashed."""
    if path is None:
        return None, []
    refs: dict[str, Any] = json.loads(path.read_bytes())
    values = []
    for entry in refs.values():
        for source in entry["sources"]:
            with os.fdopen(open_nofollow(Path(source["path"])), "rb") as stream:
                info = os.fstat(stream.fileno())
                if [info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns] != source["identity"]:
                    raise OSError(f"{source['path']} changed after the run read it; run the pipeline again")
                values.append(stream.read())
    return refs, values
