"""The run: decide each job's fate once its upstream is done, run what is
not up to date through an executor, and record everything in the history.
"""

from __future__ import annotations

import graphlib
import json
import os
import shutil
import signal
import time
from collections import deque
from concurrent.futures import FIRST_COMPLETED, Future, wait
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from vorda.run import layout
from vorda.run.errors import UsageError
from vorda.run.executors import Executor, Outcome, PreparedJob
from vorda.run.history import History
from vorda.run.inputs import hash_file, write_inputs
from vorda.run.jobs import Job
from vorda.run.layout import canonical
from vorda.run.report import JobRow, Progress

RESULT_LIMIT = 1 << 20  # a result record is a few hundred bytes


@dataclass
class Value:
    """A job's value in the store, once it is known to be good."""

    path: Path
    hash: str


def job_dir(store: Path, job: Job) -> list[str]:
    return layout.asset_dirs(job.asset.module, job.asset.function) + layout.partition_dirs(job.partition or {})


def stored_value(store: Path, history: History, job: Job) -> Value | None:
    """The value of the job's last ok run, if its file is still that run's."""
    last = history.last_ok(job.asset.ref, job.partition_id)
    path = store.joinpath(*job_dir(store, job), "value.json")
    if last is None or last.value_path != str(path):
        return None
    try:
        return Value(path, last.value_hash) if hash_file(path) == last.value_hash else None
    except OSError:
        return None


def signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


class Run:
    def __init__(
        self,
        jobs: list[Job],
        store: Path,
        history: History,
        env: dict[str, str],
        force: bool,
    ) -> None:
        self.jobs = {job.seq: job for job in jobs}
        self.selected = [job for job in jobs if job.selected]
        self.store, self.history, self.env, self.force = store, history, env, force
        self.values: dict[int, Value] = {}
        self.failed_root: dict[int, str] = {}  # job -> the failed asset behind it
        self.t0: dict[int, float] = {}  # job -> when it was submitted
        self.rows = {
            job.seq: JobRow(job.asset.label, job.partition, job.partition_text) for job in self.selected
        }

    # -- before anything runs ------------------------------------------------

    def read_upstream_from_store(self) -> None:
        """Jobs needed but not selected must have a good value in the store."""
        for job in self.jobs.values():
            if job.selected:
                continue
            value = stored_value(self.store, self.history, job)
            if value is None:
                raise UsageError(
                    f"{job.name} is needed upstream but has no value in the store {self.store}; "
                    f"run it too with --select +{job.asset.label}"
                )
            self.values[job.seq] = value

    def input_hashes(self, job: Job) -> str | None:
        """What the job reads, as one text; None while an upstream is unknown."""
        inputs: dict[str, Any] = {}
        for binding in job.bindings:
            if any(seq not in self.values for seq in binding.upstream):
                return None
            inputs[binding.param] = [
                [self.jobs[seq].partition_id, self.values[seq].hash] for seq in binding.upstream
            ]
        return canonical({"partition": job.keys, "inputs": inputs})

    def up_to_date(self, job: Job, hashes: str) -> Value | None:
        if self.force:
            return None
        last = self.history.last_ok(job.asset.ref, job.partition_id)
        if last is None or last.code_version != job.asset.code_version or last.input_hash != hashes:
            return None
        return stored_value(self.store, self.history, job)

    # -- dry run -------------------------------------------------------------

    def would_be(self) -> dict[int, str]:
        """Each selected job's would-be status, without running anything."""
        fate: dict[int, str] = {}
        for job in self.selected:
            hashes = self.input_hashes(job)
            last = self.history.last_ok(job.asset.ref, job.partition_id)
            if self.force or last is None or last.code_version != job.asset.code_version:
                fate[job.seq] = "run"
            elif hashes is None:
                fate[job.seq] = "may run"  # depends on what its upstream produces
            elif (value := self.up_to_date(job, hashes)) is not None:
                fate[job.seq] = "up-to-date"
                self.values[job.seq] = value
            else:
                fate[job.seq] = "run"
        return fate

    # -- the run -------------------------------------------------------------

    def execute(self, run_id: str, executor: Executor, parallel: int, progress: Progress) -> str:
        """Run every selected job; the run's status ("ok", "failed" or
        "interrupted")."""
        self.run_id = run_id
        self.tmp = layout.make_dirs(self.store, ["tmp", run_id])
        self.logs = layout.make_dirs(self.store, ["logs", run_id])
        sorter: graphlib.TopologicalSorter[int] = graphlib.TopologicalSorter()
        for job in self.selected:
            deps = {seq for b in job.bindings for seq in b.upstream if self.jobs[seq].selected}
            sorter.add(job.seq, *sorted(deps))
        sorter.prepare()
        futures: dict[Future[Outcome], Job] = {}
        ready: deque[int] = deque()
        self.progress = progress
        try:
            while sorter.is_active():
                ready.extend(sorter.get_ready())
                # Submit no more than can run, so a job's time is its own.
                while ready and len(futures) < parallel:
                    seq = ready.popleft()
                    future = self.start(self.jobs[seq], executor)
                    if future is None:
                        sorter.done(seq)
                    else:
                        futures[future] = self.jobs[seq]
                if not futures:
                    continue
                done, _ = wait(futures, timeout=0.5, return_when=FIRST_COMPLETED)
                for future in done:
                    job = futures.pop(future)
                    try:
                        outcome = future.result()
                    except Exception as error:  # the executor could not run it
                        self.fail(job, f"could not run the worker: {type(error).__name__}: {error}",
                                  seconds=time.monotonic() - self.t0[job.seq])
                    else:
                        self.finish(job, outcome)
                    sorter.done(job.seq)
        except KeyboardInterrupt:
            for sig in (signal.SIGINT, signal.SIGTERM):
                signal.signal(sig, signal.SIG_IGN)
            executor.stop()
            for seq, row in self.rows.items():
                if row.status == "running":  # submitted, or finished but not yet recorded
                    seconds = time.monotonic() - self.t0[seq]
                    why = "the run was interrupted while this job ran"
                    self.set(self.jobs[seq], "interrupted", error=why, seconds=seconds)
                elif row.status == "pending":
                    row.status = "not-run"
            return "interrupted"
        except BaseException:
            executor.stop()  # no worker outlives the runner
            raise
        finally:
            executor.shutdown()
            shutil.rmtree(self.tmp, ignore_errors=True)
        return "ok" if all(r.status in ("ok", "up-to-date") for r in self.rows.values()) else "failed"

    def set(self, job: Job, status: str, *, error: str | None = None, **fields: Any) -> None:
        row = self.rows[job.seq]
        row.status, row.error = status, error
        if "seconds" in fields:
            row.seconds = fields["seconds"]
        if "value_path" in fields:
            row.value_path = fields["value_path"]
        self.history.record_job(self.run_id, job.seq, status=status, error=error, **fields)
        if status not in ("pending", "running"):
            self.progress.finished(row)

    def start(self, job: Job, executor: Executor) -> Future[Outcome] | None:
        """Skip, find up to date, or submit the job (the future then)."""
        for binding in job.bindings:
            for seq in binding.upstream:
                if seq not in self.values:
                    root = self.failed_root.get(seq, self.jobs[seq].asset.label)
                    self.failed_root[job.seq] = root
                    self.set(job, "skipped", error=f"upstream {root} failed")
                    return None
        hashes = self.input_hashes(job)
        assert hashes is not None
        value = self.up_to_date(job, hashes)
        if value is not None:
            self.values[job.seq] = value
            self.set(job, "up-to-date", value_path=str(value.path), value_hash=value.hash)
            return None
        log_path = self.logs / f"{job.seq:04d}-{layout.escape(job.asset.module)}.{job.asset.function}.log"
        try:
            out = layout.make_dirs(self.store, job_dir(self.store, job))
            layout.remove_file(out / "result.json")  # so a stale record is never read as this run's
            inputs_file = self.write_inputs(job) if job.bindings or job.keys else None
        except OSError as error:
            self.fail(job, f"could not prepare the job: {error}")
            return None
        prepared = PreparedJob(job.seq, job.asset.module, job.asset.function, out, inputs_file, log_path, self.env)
        self.history.record_job(
            self.run_id, job.seq, status="running", started=time.time(), input_hashes=hashes, log_path=str(log_path)
        )
        self.rows[job.seq].status = "running"
        self.t0[job.seq] = time.monotonic()
        self.progress.started(self.rows[job.seq])
        return executor.submit(prepared)

    def write_inputs(self, job: Job) -> Path:
        path = self.tmp / f"{job.seq}.json"
        values = [
            (
                b.param,
                b.as_list,
                [(self.jobs[seq].partition, self.values[seq].path) for seq in b.upstream],
            )
            for b in job.bindings
        ]
        write_inputs(path, job.keys, values)
        return path

    def fail(self, job: Job, error: str, **fields: Any) -> None:
        self.failed_root[job.seq] = job.asset.label
        self.set(job, "failed", error=error, **fields)

    def finish(self, job: Job, outcome: Outcome) -> None:
        seconds = time.monotonic() - self.t0[job.seq]
        out = self.store.joinpath(*job_dir(self.store, job))
        layout.remove_file(self.tmp / f"{job.seq}.json")
        record = read_result(out / "result.json")
        if outcome.returncode == 0 and record is not None and record.get("ok") is True:
            try:
                value = Value(out / "value.json", hash_file(out / "value.json"))
            except OSError as error:
                self.fail(job, f"the worker reported success but its value is unreadable: {error}", seconds=seconds)
                return
            self.values[job.seq] = value
            self.set(job, "ok", seconds=seconds, value_path=str(value.path), value_hash=value.hash)
            return
        if record is not None and record.get("ok") is False and isinstance(record.get("error"), str):
            self.fail(job, record["error"], seconds=seconds)
            return
        if outcome.signal is not None:
            how = f"the worker was killed by {signal_name(outcome.signal)}"
        else:
            how = f"the worker exited with status {outcome.returncode}"
        if record is None:
            how += " without a result record"
        if outcome.error is not None:  # the executor knows better than a status
            how = outcome.error
        self.fail(job, how + (f"; its last output:\n{outcome.stderr_tail}" if outcome.stderr_tail else ""),
                  seconds=seconds)


def read_result(path: Path) -> dict[str, Any] | None:
    """The worker's result record, or None when it is missing or unreadable."""
    try:
        with os.fdopen(layout.open_nofollow(path), "rb") as stream:
            record = json.loads(stream.read(RESULT_LIMIT + 1)[:RESULT_LIMIT])
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None

