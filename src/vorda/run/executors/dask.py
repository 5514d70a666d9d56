"""``--executor dask``: jobs as tasks on a Dask distributed cluster.

Each task (dask_remote.run_job) runs the worker in a fresh process on a Dask
worker and sends back the files it wrote; they are written here into the
store, so the store needs no filesystem shared with the cluster. Inputs go
with the task, and so do the ``--path`` folders (zipped, up to SHIP_LIMIT).
"""

from __future__ import annotations

import importlib
import json
import logging
import os
import signal
import threading
import uuid
from concurrent.futures import Future, InvalidStateError, wait
from pathlib import Path
from typing import Any

from vorda._command import UsageError
from vorda.run.executors.base import Outcome, PreparedJob, open_log, tail_lines
from vorda.run.executors.dask_remote import pack, run_job
from vorda.run.search_path import SearchPath
from vorda.run.store.files import open_nofollow, write_replace
from vorda.run.store.keys import canonical
from vorda.run.store.layout import RESULT, VALUE, VALUE_NAME
from vorda.run.timing import DASK_BEAT, DASK_CONNECT_TIMEOUT, DASK_STOP_WAIT

SHIP_LIMIT = 16 << 20  # bytes of --path files shipped with every task


class DaskExecutor:
    def __init__(self, jobs: int, scheduler: str | None, search: SearchPath, store: str | None = None) -> None:
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
        self._lock = threading.Lock()
        self._running: dict[Any, Future[Outcome]] = {}  # Dask future -> the runner's
        self._stopped = False
        self._cluster: Any = None
        self._client: Any = None
        try:
            if scheduler is not None:
                with dask.config.set({"distributed.comm.timeouts.connect": DASK_CONNECT_TIMEOUT}):
                    self._client = distributed.Client(scheduler, set_as_default=False)
            else:
                # One try per job, as with processes: a worker lost while it ran
                # the job fails the job (most likely the job's own doing).
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

    def _signals(self, seq: int) -> dict[str, str]:
        return {"stop": self._stop_name, "cancel": f"{self._stop_name}-{seq}", "beat": f"{self._stop_name}-beat"}

    def cancel(self, seq: int) -> None:
        try:
            self._distributed.Event(self._signals(seq)["cancel"], client=self._client).set()
        except Exception:
            pass

    def submit(self, job: PreparedJob) -> Future[Outcome]:
        outer: Future[Outcome] = Future()
        inputs = job.inputs()
        try:
            refs, values = _shipped_refs(job.refs_file)
        except (OSError, ValueError) as error:
            outer.set_result(Outcome(None, None, "", f"could not ship the job's inputs: {error}"))
            return outer
        with self._lock:
            if self._stopped:
                outer.set_result(Outcome(None, signal.SIGTERM, "not started: the run was stopped"))
                return outer
            task = self._client.submit(
                run_job, job.module, job.function, inputs, self._archive, self._shipped, self._dirs,
                self._signals(job.seq), refs, values, key=f"vorda-{job.seq}-{uuid.uuid4().hex[:12]}", pure=False,
            )
            self._running[task] = outer
        task.add_done_callback(lambda done: self._finished(done, job, outer))
        return outer

    def _finished(self, task: Any, job: PreparedJob, outer: Future[Outcome]) -> None:
        with self._lock:
            self._running.pop(task, None)
        try:
            outcome = self._store(task, job)
        except Exception as error:  # never leave the runner waiting
            outcome = Outcome(None, None, "", f"could not take the job's result: {type(error).__name__}: {error}")
        task.release()
        _resolve(outer, outcome)

    def _store(self, task: Any, job: PreparedJob) -> Outcome:
        if task.status == "cancelled":
            return Outcome(None, None, "", "the Dask cluster cancelled the job")
        if task.status != "finished":
            error = task.exception()
            return Outcome(None, None, "", f"the Dask cluster could not run the job: {type(error).__name__}: {error}")
        reply: dict[str, Any] = task.result()
        remote_out, out = reply["out"], str(job.output_dir)
        log: bytes = (reply["log"] or b"").replace(remote_out.encode(), out.encode())
        with os.fdopen(open_log(job.log_path), "ab") as stream:
            stream.write(log)
        # Whole by rename; the runner makes them durable with the rest of the batch.
        name = reply.get("value_name", VALUE)
        if reply["value"] is not None and VALUE_NAME.fullmatch(name):
            write_replace(job.output_dir, name, reply["value"])
        if reply["result"] is not None:
            write_replace(job.output_dir, RESULT, _local_record(reply["result"], remote_out, out, name))
        code: int = reply["code"]
        return Outcome.of_status(code, tail_lines(log.decode("utf-8", "replace")) if code else "")

    def stop(self) -> None:
        with self._lock:
            self._stopped = True
            running = dict(self._running)
        try:
            # Running tasks see the flag and end their worker processes; a task
            # cancelled or a cluster closed first would leave them running.
            self._stop_event.set()
            wait(list(running.values()), timeout=DASK_STOP_WAIT)
            self._client.cancel(list(running), force=True)
        except Exception:
            pass  # the cluster may be gone already; the jobs are recorded as interrupted either way
        for outer in running.values():
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
