"""The run: decide each job's fate once its upstream is done, run what is
not up to date through an executor, and record everything in the history.
"""

from __future__ import annotations

import contextlib
import graphlib
import json
import os
import queue
import signal
import time
from collections import deque
from concurrent.futures import Future
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Protocol

from vorda._command import UsageError
from vorda._tracing import RAISED_AT
from vorda.run.executors import groups
from vorda.run.executors.base import INLINE_LIMIT, Executor, Outcome, PreparedJob, open_log
from vorda.run.code_watch import CodeWatch
from vorda.run.planning.jobs import Job
from vorda.run.recorder import Recorder
from vorda.run.report import first_line
from vorda.run.status import DONE, JobStatus, Reason, RunStatus
from vorda.run.store import files
from vorda.run.store.history import History, LastOk
from vorda.run.store.inputs import write_inputs
from vorda.run.store.refs import reference, write_refs
from vorda.run.store.keys import canonical
from vorda.run.store.layout import JobFolder, Place, Store, Value, as_linked, parse_record
from vorda.run.timing import BATCH_WINDOW, JOB_POLL, ORPHAN_POLL, RETRY_DELAY, RETRY_DELAY_MAX


@dataclass(slots=True)
class JobRow:
    """What the run says of one selected job."""

    asset: str  # module:function
    partition: dict[str, Any] | None
    partition_text: str
    status: JobStatus = JobStatus.PENDING
    seconds: float = 0.0
    value_path: str | None = None
    error: str | None = None
    name: str | None = None  # the asset's name=, if any
    reason: Reason | None = None
    reason_detail: str | None = None
    attempts: int = 0  # how often it was started in this run
    error_at: str | None = None  # "path:line in function" of the user's code that raised

    @property
    def shown(self) -> str:
        return self.name or self.asset


@dataclass(frozen=True, slots=True)
class Decision:
    """Whether a job must run, and why."""

    status: JobStatus  # RUN, MAY_RUN or UP_TO_DATE
    reason: Reason
    detail: str
    value: Value | None = None  # the stored value, when up to date
    earlier: list[LastOk] = field(default_factory=list)  # ok jobs of the same code and inputs, to restore
    instead: Decision | None = None  # what holds if none of them can be restored


# The decisions most jobs share, made once.
_FORCED = Decision(JobStatus.RUN, Reason.FORCED, "forced: --force")
_NEVER_RAN = Decision(JobStatus.RUN, Reason.NEW, "new: never ran ok")


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


_INTERRUPTS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def _ignore_interrupts() -> dict[int, Any]:
    try:
        return {sig: signal.signal(sig, signal.SIG_IGN) for sig in _INTERRUPTS}
    except ValueError:  # not the main thread: nothing to ignore there
        return {}


def _restore(previous: dict[int, Any]) -> None:
    for sig, handler in previous.items():
        signal.signal(sig, handler)


def _changed_code(recorded: str | None, job: Job) -> str:
    """Which of the definitions the code version covers changed, were added
    or are gone, as far as the history recorded them."""
    try:
        before = json.loads(recorded) if recorded else {}
    except ValueError:
        before = {}
    now = job.asset.covers
    changed = sorted(label for label in now.keys() | before.keys() if now.get(label) != before.get(label))
    if not (changed and before):
        changed = [next(iter(now), job.asset.label)]
    return ", ".join(f"{label} (dynamic reference)" if label in job.asset.dynamic else label for label in changed)


def _raised_at(log_tail: str) -> str | None:
    """Where the worker said the user's code raised, from its log's last lines."""
    for line in reversed(log_tail.splitlines()):
        if line.startswith(RAISED_AT):
            return line[len(RAISED_AT):].strip() or None
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
        store: Store,
        history: History,
        env: dict[str, str],
        force: bool,
        timeout: float | None = None,
        retries: int = 0,
    ) -> None:
        self.jobs = {job.seq: job for job in jobs}
        self.selected = [job for job in jobs if job.selected]
        self.store, self.history, self.env, self.force = store, history, env, force
        self.timeout, self.retries = timeout, retries
        self.timed_out: set[int] = set()
        self.own_timeout = False  # the executor ends overdue jobs itself
        self.prepared: dict[int, PreparedJob] = {}
        # Finished jobs not yet recorded: made durable and recorded together.
        self.batch: list[tuple[int, dict[str, Any]]] = []
        self.batch_since = 0.0
        self.written: set[str] = set()
        self.per_file_flush = False
        self.retry_at: dict[int, float] = {}  # job -> when its next attempt starts
        # Workers' pids as executors learn them, to be recorded at once.
        self.started: queue.SimpleQueue[tuple[int, int]] = queue.SimpleQueue()
        # Submitted jobs' futures as they end, and None to wake the runner (any thread).
        self.ended: queue.SimpleQueue[Future[Outcome] | None] = queue.SimpleQueue()
        self.values: dict[int, Value] = {}
        self.last_oks: dict[str, dict[str | None, LastOk]] = {}
        self.scan = store.scan()  # what stored values are checked against
        self.failed_root: dict[int, str] = {}  # job -> the failed asset behind it
        self.t0: dict[int, float] = {}  # job -> when it was submitted
        self.places: dict[int, Place] = {}  # started jobs' places, until they end
        self.stale: dict[int, str | None] = {}  # job -> the stat of the record its folder had before it ran
        self.progress: Progress = NoProgress()
        self.asset_texts: dict[str, tuple[str, str]] = {}  # asset -> its covers and input assets, as recorded
        # Last ok jobs whose files were read, found to be theirs, under new stats: see History.restat.
        self.restats: list[tuple[str, str, str, int, str | None, str | None]] = []
        self.restat_files: set[str] = set()
        self.keeps_restats = True  # a dry run records nothing: it need not hold them
        self.code_watch = CodeWatch()  # a job whose code files were edited meanwhile
        self.t0_wall: dict[int, float] = {}
        labels: dict[str, str] = {}  # one text per asset, shared by its rows
        self.rows = {}
        for job in self.selected:
            label = labels.get(job.asset.ref)
            if label is None:
                label = labels[job.asset.ref] = job.asset.label
            self.rows[job.seq] = JobRow(label, job.partition, job.partition_text, name=job.asset.name)

    # -- before anything runs ------------------------------------------------

    def last_ok(self, job: Job) -> LastOk | None:
        """The partition's last ok job before this run (read once per asset)."""
        known = self.last_oks.get(job.asset.key)
        if known is None:
            known = self.last_oks[job.asset.key] = self.history.last_oks(job.asset.key)
        return known.get(job.partition_id or None)

    def stored_value(self, job: Job) -> Value | None:
        last = self.last_ok(job)
        value = self.store.stored_value(last, job.place, self.scan)
        if value is not None and last is not None:
            self.note_stats(job, last, value)
        return value

    def note_stats(self, job: Job, last: LastOk, value: Value) -> None:
        """Files read and found to be the recorded ones under other stats (a
        copied store, say): their stats are recorded at the end of the run."""
        if self.keeps_restats and value.stat is not None and value.record_stat is not None and \
                (value.stat, value.record_stat) != (last.value_stat, last.record_stat):
            self.restats.append((value.stat, value.record_stat, last.run_id, last.seq, last.value_stat,
                                 last.record_stat))
            self.restat_files.update((value.where, str(self.store.result_path(job.place))))

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

    def input_hashes(self, job: Job, read: dict[Path, str] | None = None) -> str | None:
        """What the job reads, as one text; None while an upstream is unknown.
        `read` has the hashes of the bytes actually given to the job."""
        if not job.bindings:
            return '{"inputs":{},"partition":' + (job.partition_id or "{}") + "}"
        inputs: dict[str, Any] = {}
        for binding in job.bindings:
            if any(seq not in self.values for seq in binding.upstream):
                return None
            inputs[binding.param] = [
                [self.jobs[seq].partition_id, (read or {}).get(self.values[seq].path, self.values[seq].hash)]
                for seq in binding.upstream
            ]
        # canonical({"partition": job.keys, "inputs": inputs}), the keys' text made once
        return '{"inputs":' + canonical(inputs) + ',"partition":' + (job.partition_id or "{}") + "}"

    def decide(self, job: Job) -> Decision:
        """Whether the job must run and why: the one rule of the dry run, the
        run and every other view of what is stale."""
        return self.decide_from(job, None if self.force else self.last_ok(job))  # forced: no history read

    def decide_from(self, job: Job, last: LastOk | None) -> Decision:
        """decide(), given the partition's last ok job before this run."""
        if self.force:
            return _FORCED
        if last is None:
            # Nothing of this partition ever ran ok: nothing to restore either.
            return _NEVER_RAN
        hashes = self.input_hashes(job)
        if last.code_version != job.asset.code_version:
            decision = Decision(JobStatus.RUN, Reason.CODE, "code: " + _changed_code(last.code_covers, job))
        elif hashes is None:
            waiting = sorted({self.jobs[seq].asset.shown for b in job.bindings for seq in b.upstream
                              if seq not in self.values})
            return Decision(JobStatus.MAY_RUN, Reason.UPSTREAM, "upstream: " + ", ".join(waiting) + " will run")
        elif last.input_hash != hashes:
            decision = Decision(JobStatus.RUN, Reason.INPUT, "input: " + self._changed_input(last.input_hash, job))
        elif (value := self.store.stored_value(last, job.place, self.scan)) is not None:
            self.note_stats(job, last, value)
            return Decision(JobStatus.UP_TO_DATE, Reason.UP_TO_DATE, "", value)
        else:
            decision = Decision(JobStatus.RUN, Reason.NEW, "new: its stored value or record changed or is gone")
        return self._or_restore(job, decision, hashes)

    def _or_restore(self, job: Job, decision: Decision, hashes: str | None) -> Decision:
        """The decision, or a restore when an earlier ok job of the same code
        and inputs kept its files."""
        if hashes is None:
            return decision
        earlier = self.history.restorable(job.asset.key, job.partition_id, job.asset.code_version, hashes)
        if not earlier:
            return decision
        return Decision(JobStatus.RUN, Reason.RESTORED, f"restored: the value of run {earlier[0].run_id} "
                        f"({decision.detail})", earlier=earlier, instead=decision)

    def _changed_input(self, recorded: str, job: Job) -> str:
        """The first upstream partition whose value differs from the recorded one."""
        try:
            before = json.loads(recorded)["inputs"]
        except (ValueError, KeyError, TypeError):
            before = {}
        for binding in job.bindings:
            was = {tuple(entry)[0]: tuple(entry)[1] for entry in before.get(binding.param, [])}
            for seq in binding.upstream:
                upstream = self.jobs[seq]
                if was.get(upstream.partition_id) != self.values[seq].hash:
                    where = f" {{{upstream.partition_text}}}" if upstream.partition_text else ""
                    return upstream.asset.shown + where
        return "its partition or inputs"

    # -- dry run -------------------------------------------------------------

    def would_be(self) -> None:
        """Each selected job's row gets its decision (status, reason and why),
        nothing being run; what is up to date lends its value to the decisions
        downstream (a value no selected job reads is not kept)."""
        read = {seq for job in self.selected for b in job.bindings for seq in b.upstream}
        by_asset: dict[str, list[Job]] = {}
        for job in self.selected:  # planned upstream first, an asset's jobs together
            by_asset.setdefault(job.asset.key, []).append(job)
        for key, jobs in by_asset.items():
            # The history is read a partition at a time: a plan of many up-to-date
            # partitions never holds all their records at once.
            waiting = {job.partition_id or None: job for job in jobs}
            lasts = () if self.force else self.history.each_last_ok(key)
            for partition, last in lasts:
                if partition in waiting:
                    job = waiting.pop(partition)
                    self._show(job, self.decide_from(job, last), read)
            for job in waiting.values():
                self._show(job, self.decide_from(job, None), read)

    def _show(self, job: Job, decision: Decision, read: set[int]) -> None:
        row = self.rows[job.seq]
        row.status, row.reason, row.reason_detail = decision.status, decision.reason, decision.detail
        if decision.value is not None and job.seq in read:
            self.values[job.seq] = decision.value

    # -- the run -------------------------------------------------------------

    def execute(self, run_id: str, executor: Executor, parallel: int, progress: Progress) -> RunStatus:
        """Run every selected job; the run's status (ok, failed or interrupted)."""
        self.run_id = run_id
        sorter: graphlib.TopologicalSorter[int] = graphlib.TopologicalSorter()
        for job in self.selected:
            deps = {seq for b in job.bindings for seq in b.upstream if self.jobs[seq].selected}
            sorter.add(job.seq, *sorted(deps))
        sorter.prepare()
        futures: dict[Future[Outcome], Job] = {}
        ready: deque[int] = deque()
        self.progress = progress
        next_sweep = time.monotonic() + ORPHAN_POLL
        capacity: Callable[[int], int] = getattr(executor, "capacity", lambda n: n)
        dispatch: Callable[[], None] = getattr(executor, "dispatch", lambda: None)
        try:
            self.store.make_run_dirs(run_id)
            before = {pid for pid, _ in groups.children()}  # the caller's own, never ours to end
            enforce = getattr(executor, "enforce_timeout", None)
            self.own_timeout = self.timeout is not None and enforce is not None and bool(enforce(self.timeout))
            self.recorder = Recorder(self.store, run_id, self.per_file_flush, self.wake_up)
        except BaseException:
            executor.shutdown()  # nothing was submitted: no job to end
            raise
        try:
            while sorter.is_active():
                ready.extend(sorter.get_ready())
                # Submit no more than can run, so a job's time is its own, unless
                # the executor asks for more (it then times its jobs itself).
                for seq in [seq for seq, at in self.retry_at.items() if at <= time.monotonic()]:
                    if len(futures) >= capacity(parallel):
                        break  # a retry waits here, not in the executor with its clock running
                    del self.retry_at[seq]
                    futures[self.attempt(self.jobs[seq], executor)] = self.jobs[seq]
                while ready and len(futures) < capacity(parallel):
                    seq = ready.popleft()
                    future = self.start(self.jobs[seq], executor)
                    if future is None:
                        sorter.done(seq)
                    else:
                        futures[future] = self.jobs[seq]
                dispatch()
                self.flush_due(len(futures))
                if not futures and not self.retry_at:
                    continue
                done = self.wait_ended(self.next_wait(futures.values(), len(futures) < capacity(parallel)))
                self.code_watch.batch()  # the jobs that just ended are checked against the files as they are now
                self.record_started()
                self.end_overdue(futures.values(), executor)
                if time.monotonic() > next_sweep:
                    groups.reap(groups.orphans(before))  # what assets left behind and has ended
                    next_sweep = time.monotonic() + ORPHAN_POLL
                self.flush_due(len(futures))
                for future in done:
                    if future not in futures:
                        continue  # the wake-up
                    job = futures.pop(future)
                    try:
                        outcome = future.result()
                    except Exception as error:  # the executor could not run it
                        self.fail(job, f"could not run the worker: {type(error).__name__}: {error}",
                                  seconds=time.monotonic() - self.t0[job.seq])
                    else:
                        self.finish(job, outcome)
                        if job.seq in self.retry_at:
                            continue  # not done yet
                    sorter.done(job.seq)
        except KeyboardInterrupt:
            # A second Ctrl-C must not cut the ending of the jobs short.
            previous = _ignore_interrupts()
            try:
                executor.stop()
                self.close_rows({job.seq for future, job in futures.items()
                                 if future.done() and not future.exception() and not future.result().started})
                self.flush()
                self.show_recorded(wait=True)
            finally:
                _restore(previous)
                self.recorder.close()
            return RunStatus.INTERRUPTED
        except BaseException:
            executor.stop()  # no worker outlives the runner
            self.recorder.close()
            raise
        finally:
            executor.shutdown()
            self.record_started()
            groups.end_orphans(before)  # nothing an asset started outlives the run
            self.store.remove_run_tmp(run_id)
        try:
            self.flush()
            self.show_recorded(wait=True)
        finally:
            self.recorder.close()
        if self.restats:
            # Files a run did not write may not be on the disk yet (a fresh copy).
            self.store.barrier(self.restat_files, self.per_file_flush)
            self.history.restat(self.restats)
        return RunStatus.OK if all(r.status in DONE for r in self.rows.values()) else RunStatus.FAILED

    def on_start(self, seq: int) -> Callable[[int], None]:
        """What an executor calls, from any thread, once job `seq`'s worker exists."""

        def started(pid: int) -> None:
            self.started.put((seq, pid))
            self.wake_up()

        return started

    def wake_up(self) -> None:
        """End the runner's wait for jobs early (from any thread)."""
        self.ended.put(None)

    def wait_ended(self, timeout: float) -> list[Future[Outcome] | None]:
        """What ended (None: a wake-up), waiting at most `timeout` seconds for the first."""
        try:
            done = [self.ended.get(timeout=timeout)]
        except queue.Empty:
            return []
        while True:
            try:
                done.append(self.ended.get_nowait())
            except queue.Empty:
                return done

    def record_started(self) -> None:
        """Record the workers' process groups, so that a successor can end
        them if this runner is killed."""
        while True:
            try:
                seq, pid = self.started.get_nowait()
            except queue.Empty:
                return
            self.history.record_job(self.run_id, seq, pid=pid, pid_start=groups.start_time(pid))

    def next_wait(self, running: Any, room: bool) -> float:
        """How long to wait for a job: until the next look for Ctrl-C, the
        next --timeout, or (with `room` for another job) the next retry,
        whichever is sooner."""
        now = time.monotonic()
        deadlines = list(self.retry_at.values()) if room else []
        if self.batch:
            deadlines.append(self.batch_since + BATCH_WINDOW)
        if self.timeout is not None and not self.own_timeout:
            deadlines += [self.t0[job.seq] + self.timeout for job in running if job.seq not in self.timed_out]
        return max(0.0, min([JOB_POLL, *(d - now for d in deadlines)]))

    def end_overdue(self, running: Any, executor: Executor) -> None:
        if self.timeout is None or self.own_timeout:
            return
        now = time.monotonic()
        for job in list(running):
            if job.seq not in self.timed_out and now - self.t0[job.seq] >= self.timeout:
                self.timed_out.add(job.seq)
                executor.cancel(job.seq)

    def close_rows(self, never: set[int]) -> None:
        """After an interruption: running jobs were interrupted, pending ones
        (and those submitted but `never` started) not run."""
        for seq, row in self.rows.items():
            if row.status == JobStatus.RUNNING and seq in never:
                self.set(self.jobs[seq], JobStatus.NOT_RUN, error="the run was stopped before it started")
            elif row.status == JobStatus.RUNNING:  # submitted, or finished but not yet recorded
                seconds = time.monotonic() - self.t0[seq]
                why = "the run was interrupted while this job ran"
                self.set(self.jobs[seq], JobStatus.INTERRUPTED, error=why, seconds=seconds)
            elif row.status == JobStatus.PENDING:
                row.status = JobStatus.NOT_RUN

    def value_fields(self, value: Value) -> dict[str, Any]:
        """How the history records a value."""
        return {"value_path": self.store.relative(value.where), "value_hash": value.hash, "value_stat": value.stat}

    def set(self, job: Job, status: JobStatus, *, error: str | None = None, **fields: Any) -> None:
        self.places.pop(job.seq, None)  # its files are no longer asked for
        row = self.rows[job.seq]
        row.status, row.error = status, error
        if "seconds" in fields:
            row.seconds = fields["seconds"]
        if "value_path" in fields:
            row.value_path = self.store.recorded_text(fields["value_path"])
        if "reason" in fields:
            row.reason, row.reason_detail = fields["reason"], fields.get("reason_detail")
        if "error_at" in fields:
            row.error_at = fields["error_at"]
        if not self.batch:
            self.batch_since = time.monotonic()
        self.batch.append((job.seq, dict(fields, status=status, error=error)))

    def flush(self) -> None:
        """Hand the finished jobs to the recorder, which makes every file they
        wrote durable and then records them (see recorder.py)."""
        if self.batch:
            self.recorder.send(self.batch, self.written)
            self.batch, self.written = [], set()
        self.show_recorded()

    def show_recorded(self, wait: bool = False) -> None:
        """Report the jobs recorded so far (with `wait`: every job sent)."""
        for seq in self.recorder.drain() if wait else self.recorder.recorded():
            self.progress.finished(self.rows[seq])

    def flush_due(self, running: int) -> None:
        """Flush when the batch is old enough, or nothing else is running."""
        if self.batch and (not running or time.monotonic() - self.batch_since >= BATCH_WINDOW):
            self.flush()
        else:
            self.show_recorded()

    def start(self, job: Job, executor: Executor) -> Future[Outcome] | None:
        """Skip, find up to date, or submit the job (the future then)."""
        for binding in job.bindings:
            for seq in binding.upstream:
                if seq not in self.values:
                    root = self.failed_root.get(seq, self.jobs[seq].asset.label)
                    self.failed_root[job.seq] = root
                    self.set(job, JobStatus.SKIPPED, error=f"upstream {root} failed")
                    return None
        decision = self.decide(job)
        if decision.value is not None:
            self.values[job.seq] = decision.value
            self.set(job, JobStatus.UP_TO_DATE, reason=decision.reason, reason_detail=decision.detail,
                     **self.value_fields(decision.value))
            return None
        hashes = self.input_hashes(job)
        assert hashes is not None
        for earlier in decision.earlier:
            try:
                restored = self.store.restore(self.place(job), Path(earlier.value_path).name, earlier.value_hash,
                                              str(earlier.record_hash))
            except OSError:
                restored = None  # the job runs instead, and says why it cannot if it cannot
            if restored is not None:
                self.values[job.seq] = restored
                self.written |= self.store.written_by(self.place(job), restored, earlier.record_hash)
                covers, input_assets = self.texts(job)
                # Its start orders it among the partition's ok jobs: the latest is the value.
                self.set(job, JobStatus.RESTORED, reason=decision.reason, reason_detail=decision.detail,
                         started=time.time(), input_hashes=hashes, record_hash=earlier.record_hash,
                         code_covers=covers, input_assets=input_assets,
                         record_stat=self.store.record_stat(self.place(job)), **self.value_fields(restored))
                return None
        if decision.instead is not None:
            decision = decision.instead  # nothing could be restored: it runs, for the first reason
        log_path = self.store.log_path(self.run_id, job.seq, self.place(job))
        inputs_file = refs_file = inputs_text = None
        try:
            out = self.store.make_job_dir(self.place(job), self.scan)
            if job.bindings:
                inputs_file, refs_file, read = self.write_inputs(job)
                hashes = self.input_hashes(job, read) or hashes
            elif job.keys:
                # No file to write and remove; the keys' text made in planning, unless it needs escapes.
                inputs_text = job.partition_id
                if not (inputs_text.startswith("{") and inputs_text.isascii()):
                    inputs_text = json.dumps(job.keys)
                if len(inputs_text) > INLINE_LIMIT:  # beyond what a command line takes
                    inputs_file, _, _ = self.write_inputs(job)
                    inputs_text = None
        except OSError as error:
            self.fail(job, f"could not prepare the job: {error}")
            return None
        prepared = PreparedJob(job.seq, job.asset.module, job.asset.function, out, inputs_file, log_path, self.env,
                               refs_file, on_start=self.on_start(job.seq), inputs_text=inputs_text)
        texts = self.texts(job)
        self.history.record_job(
            self.run_id, job.seq, status=JobStatus.RUNNING, started=time.time(), input_hashes=hashes,
            log_path=self.store.relative(log_path), reason=decision.reason, reason_detail=decision.detail,
            code_covers=texts[0], input_assets=texts[1],
        )
        row = self.rows[job.seq]
        row.reason, row.reason_detail = decision.reason, decision.detail
        row.status = JobStatus.RUNNING
        self.prepared[job.seq] = prepared
        return self.attempt(job, executor)

    def texts(self, job: Job) -> tuple[str, str]:
        """What the history records of the job's code and its upstream assets
        (the same for every job of the asset, made once)."""
        texts = self.asset_texts.get(job.asset.key)
        if texts is None:
            texts = self.asset_texts[job.asset.key] = (
                canonical(job.asset.covers),
                canonical({b.param: self.jobs[b.upstream[0]].asset.key for b in job.bindings}))
        return texts

    def place(self, job: Job) -> Place:
        """Where a started job's files are (its paths made once)."""
        found = self.places.get(job.seq)
        if found is None:
            found = self.places[job.seq] = job.place
        return found

    def attempt(self, job: Job, executor: Executor) -> Future[Outcome]:
        """Submit the prepared job, once more if it ran before."""
        row = self.rows[job.seq]
        row.attempts += 1
        if row.attempts > 1:
            self.history.record_job(self.run_id, job.seq, attempts=row.attempts)
        # A record already there is never this attempt's: the worker writes a
        # new file by rename. Known by its stat rather than removed, since
        # removing a file is dear on some file systems.
        self.stale[job.seq] = self.store.record_stat(self.place(job))
        self.t0[job.seq] = time.monotonic()
        self.t0_wall[job.seq] = time.time()
        self.progress.started(row)
        future = executor.submit(self.prepared[job.seq])
        future.add_done_callback(self.ended.put)
        return future

    def retried(self, job: Job, outcome: Outcome, record: dict[str, Any] | None, seconds: float) -> bool:
        """Whether the job failed in a way worth another attempt (an exception
        or a non-zero exit, not a signal, a timeout or a lost worker) and has
        attempts left; then the attempt is recorded and the next scheduled."""
        row = self.rows[job.seq]
        failed_itself = (record is not None and record.get("ok") is False) or (
            outcome.returncode not in (None, 0) and outcome.error is None)
        if not failed_itself or job.seq in self.timed_out or row.attempts > self.retries:
            return False
        error = record.get("error") if record is not None else f"the worker exited with status {outcome.returncode}"
        self.history.record_attempt(self.run_id, job.seq, row.attempts, seconds, str(error))
        self.retry_at[job.seq] = time.monotonic() + min(RETRY_DELAY * 2 ** (row.attempts - 1), RETRY_DELAY_MAX)
        with contextlib.suppress(OSError):
            with os.fdopen(open_log(self.prepared[job.seq].log_path), "a") as log:
                first = first_line(str(error))
                log.write(f"--- attempt {row.attempts} failed: {first}; trying again\n")
        return True

    def write_inputs(self, job: Job) -> tuple[Path | None, Path | None, dict[Path, str]]:
        """The inputs file (partition keys, JSON values inline), the
        references file (any other value), None where there is nothing, and
        the hash of each inline value as copied into the inputs file."""
        inline, refs = [], {}
        for b in job.bindings:
            sources = [(self.jobs[seq].partition, self.values[seq]) for seq in b.upstream]
            if all(value.is_json for _, value in sources):
                inline.append((b.param, b.as_list, [(partition, value.path) for partition, value in sources]))
            else:
                up = self.jobs[b.upstream[0]].asset
                refs[b.param] = reference(up.label, up.module, up.dims, b.as_list, sources)
        inputs_path = refs_path = None
        read: dict[Path, str] = {}
        if inline or job.keys:
            inputs_path = self.store.inputs_path(self.run_id, job.seq)
            read = write_inputs(inputs_path, job.keys, inline, self.store.open)
        if refs:
            refs_path = self.store.refs_path(self.run_id, job.seq)
            write_refs(refs_path, refs)
        return inputs_path, refs_path, read

    def fail(self, job: Job, error: str, **fields: Any) -> None:
        self.failed_root[job.seq] = job.asset.label
        self.set(job, JobStatus.FAILED, error=error, **fields)

    def finish(self, job: Job, outcome: Outcome) -> None:
        """Record how the job ended (or schedule its next attempt)."""
        with self.store.open_folder(self.place(job)) as folder:
            self._finish(job, outcome, folder)

    def _finish(self, job: Job, outcome: Outcome, folder: JobFolder) -> None:
        seconds = outcome.seconds if outcome.seconds is not None else time.monotonic() - self.t0[job.seq]
        if outcome.timed_out:
            self.timed_out.add(job.seq)
        stale = self.stale.pop(job.seq, None)
        found = folder.record()
        record = parse_record(found[0]) if found is not None and found[1] != stale else None
        succeeded = outcome.returncode == 0 and record is not None and record.get("ok") is True
        if not succeeded and self.retried(job, outcome, record, seconds):
            return None
        prepared = self.prepared[job.seq]
        for written in (prepared.inputs_file, prepared.refs_file):
            if written is not None:
                files.remove_file(written)
        if job.seq in self.timed_out and not succeeded:
            self.fail(job, f"timed out after {self.timeout:g} s", seconds=seconds)
            return
        if succeeded and (edited := self.code_watch.edited(job.asset, self.t0_wall[job.seq])) is not None:
            error = (f"its code changed while the run went ({edited} was edited): the value may not be what the "
                     "recorded code makes; run it again")
            with contextlib.suppress(OSError):  # else the history alone says so, and the next run checks the files
                self.store.record_failure(self.place(job), error)
            self.fail(job, error, seconds=seconds)
            return
        if succeeded:
            assert record is not None and found is not None
            try:
                value = folder.value(self.store.value_name(record))
                folder.remove_other_values(os.path.basename(value.where))
            except OSError as error:
                self.fail(job, f"the worker reported success but its value is unreadable: {error}", seconds=seconds)
                return
            record_hash = self.store.keep(value, found[0])
            value = as_linked(value)
            self.values[job.seq] = value
            self.written |= self.store.written_by(self.place(job), value, record_hash)
            self.set(job, JobStatus.OK, seconds=seconds, record_hash=record_hash, record_stat=found[1],
                     **self.value_fields(value))
            return
        if record is not None and record.get("ok") is False and isinstance(record.get("error"), str):
            self.fail(job, record["error"], seconds=seconds, error_at=_raised_at(outcome.stderr_tail))
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
