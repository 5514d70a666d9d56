"""The run: decide each job's fate once its upstream is done, run what is
not up to date through an executor, and record everything in the history.
"""

from __future__ import annotations

import graphlib
import signal
import time
from collections import deque
from concurrent.futures import FIRST_COMPLETED, Future, wait
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

from vorda._command import UsageError
from vorda.run.executors.base import Executor, Outcome, PreparedJob
from vorda.run.planning.jobs import Job
from vorda.run.status import DONE, JobStatus, RunStatus
from vorda.run.store import files
from vorda.run.store.history import History
from vorda.run.store.inputs import write_inputs
from vorda.run.store.refs import reference, write_refs
from vorda.run.store.keys import canonical
from vorda.run.store.layout import Store, Value
from vorda.run.timing import JOB_POLL


@dataclass
class JobRow:
    """What the run says of one selected job."""

    asset: str  # module:function
    partition: dict[str, Any] | None
    partition_text: str
    status: JobStatus = JobStatus.PENDING
    seconds: float = 0.0
    value_path: str | None = None
    error: str | None = None


class Progress(Protocol):
    def started(self, row: JobRow) -> None: ...

    def finished(self, row: JobRow) -> None: ...

    def __enter__(self) -> Progress: ...

    def __exit__(self, *exc: object) -> None: ...


class NoProgress:
    """For callers that only want the result."""

    def started(self, row: JobRow) -> None:
        pass

    def finished(self, row: JobRow) -> None:
        pass

    def __enter__(self) -> NoProgress:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


def signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


class Run:
    def __init__(
        self,
        jobs: list[Job],
        store: Store,
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
        self.progress: Progress = NoProgress()
        self.rows = {
            job.seq: JobRow(job.asset.label, job.partition, job.partition_text) for job in self.selected
        }

    # -- before anything runs ------------------------------------------------

    def stored_value(self, job: Job) -> Value | None:
        return self.store.stored_value(self.history, job.asset.ref, job.partition_id, job.place)

    def read_upstream_from_store(self) -> None:
        """Jobs needed but not selected must have a good value in the store."""
        for job in self.jobs.values():
            if job.selected:
                continue
            value = self.stored_value(job)
            if value is None:
                raise UsageError(
                    f"{job.name} is needed upstream but has no value in the store {self.store.root}; "
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
        return self.stored_value(job)

    # -- dry run -------------------------------------------------------------

    def would_be(self) -> dict[int, JobStatus]:
        """Each selected job's would-be status, without running anything."""
        fate: dict[int, JobStatus] = {}
        for job in self.selected:
            hashes = self.input_hashes(job)
            last = self.history.last_ok(job.asset.ref, job.partition_id)
            if self.force or last is None or last.code_version != job.asset.code_version:
                fate[job.seq] = JobStatus.RUN
            elif hashes is None:
                fate[job.seq] = JobStatus.MAY_RUN
            elif (value := self.up_to_date(job, hashes)) is not None:
                fate[job.seq] = JobStatus.UP_TO_DATE
                self.values[job.seq] = value
            else:
                fate[job.seq] = JobStatus.RUN
        return fate

    # -- the run -------------------------------------------------------------

    def execute(self, run_id: str, executor: Executor, parallel: int, progress: Progress) -> RunStatus:
        """Run every selected job; the run's status (ok, failed or interrupted)."""
        self.run_id = run_id
        self.store.make_run_dirs(run_id)
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
                done, _ = wait(futures, timeout=JOB_POLL, return_when=FIRST_COMPLETED)
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
            self.close_rows()
            return RunStatus.INTERRUPTED
        except BaseException:
            executor.stop()  # no worker outlives the runner
            raise
        finally:
            executor.shutdown()
            self.store.remove_run_tmp(run_id)
        return RunStatus.OK if all(r.status in DONE for r in self.rows.values()) else RunStatus.FAILED

    def close_rows(self) -> None:
        """After an interruption: running jobs were interrupted, pending ones not run."""
        for seq, row in self.rows.items():
            if row.status == JobStatus.RUNNING:  # submitted, or finished but not yet recorded
                seconds = time.monotonic() - self.t0[seq]
                why = "the run was interrupted while this job ran"
                self.set(self.jobs[seq], JobStatus.INTERRUPTED, error=why, seconds=seconds)
            elif row.status == JobStatus.PENDING:
                row.status = JobStatus.NOT_RUN

    def set(self, job: Job, status: JobStatus, *, error: str | None = None, **fields: Any) -> None:
        row = self.rows[job.seq]
        row.status, row.error = status, error
        if "seconds" in fields:
            row.seconds = fields["seconds"]
        if "value_path" in fields:
            row.value_path = fields["value_path"]
        self.history.record_job(self.run_id, job.seq, status=status, error=error, **fields)
        if status not in (JobStatus.PENDING, JobStatus.RUNNING):
            self.progress.finished(row)

    def start(self, job: Job, executor: Executor) -> Future[Outcome] | None:
        """Skip, find up to date, or submit the job (the future then)."""
        for binding in job.bindings:
            for seq in binding.upstream:
                if seq not in self.values:
                    root = self.failed_root.get(seq, self.jobs[seq].asset.label)
                    self.failed_root[job.seq] = root
                    self.set(job, JobStatus.SKIPPED, error=f"upstream {root} failed")
                    return None
        hashes = self.input_hashes(job)
        assert hashes is not None
        value = self.up_to_date(job, hashes)
        if value is not None:
            self.values[job.seq] = value
            self.set(job, JobStatus.UP_TO_DATE, value_path=str(value.path), value_hash=value.hash)
            return None
        log_path = self.store.log_path(self.run_id, job.seq, job.place)
        try:
            out = self.store.make_job_dir(job.place)
            files.remove_file(self.store.result_path(job.place))  # a stale record is never this run's
            inputs_file, refs_file = self.write_inputs(job)
        except OSError as error:
            self.fail(job, f"could not prepare the job: {error}")
            return None
        prepared = PreparedJob(job.seq, job.asset.module, job.asset.function, out, inputs_file, log_path, self.env,
                               refs_file)
        self.history.record_job(
            self.run_id, job.seq, status=JobStatus.RUNNING, started=time.time(), input_hashes=hashes,
            log_path=str(log_path),
        )
        self.rows[job.seq].status = JobStatus.RUNNING
        self.t0[job.seq] = time.monotonic()
        self.progress.started(self.rows[job.seq])
        return executor.submit(prepared)

    def write_inputs(self, job: Job) -> tuple[Path | None, Path | None]:
        """The inputs file (partition keys, JSON values inline) and the
        references file (any other value); None where there is nothing."""
        inline, refs = [], {}
        for b in job.bindings:
            sources = [(self.jobs[seq].partition, self.values[seq]) for seq in b.upstream]
            if all(value.is_json for _, value in sources):
                inline.append((b.param, b.as_list, [(partition, value.path) for partition, value in sources]))
            else:
                refs[b.param] = reference(self.jobs[b.upstream[0]].asset, b.as_list, sources)
        inputs_path = refs_path = None
        if inline or job.keys:
            inputs_path = self.store.inputs_path(self.run_id, job.seq)
            write_inputs(inputs_path, job.keys, inline)
        if refs:
            refs_path = self.store.refs_path(self.run_id, job.seq)
            write_refs(refs_path, refs)
        return inputs_path, refs_path

    def fail(self, job: Job, error: str, **fields: Any) -> None:
        self.failed_root[job.seq] = job.asset.label
        self.set(job, JobStatus.FAILED, error=error, **fields)

    def finish(self, job: Job, outcome: Outcome) -> None:
        seconds = time.monotonic() - self.t0[job.seq]
        files.remove_file(self.store.inputs_path(self.run_id, job.seq))
        files.remove_file(self.store.refs_path(self.run_id, job.seq))
        record = self.store.read_result(job.place)
        if outcome.returncode == 0 and record is not None and record.get("ok") is True:
            try:
                value = self.store.hash_value(job.place, self.store.value_name(record))
                self.store.remove_other_values(job.place, value.path.name)
            except OSError as error:
                self.fail(job, f"the worker reported success but its value is unreadable: {error}", seconds=seconds)
                return
            self.values[job.seq] = value
            self.set(job, JobStatus.OK, seconds=seconds, value_path=str(value.path), value_hash=value.hash)
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
