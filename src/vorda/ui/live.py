"""Keeps what the pages show up to date, in a thread of its own.

Two sources, each as cheap as it can be:

- the survey (survey.py, a process of its own): discovery and the dry run
  of every job, with each partition's last job. Taken again when the
  history or the modules' files change, but no sooner after the last one
  than twice as long as it took, so a dry run of many partitions never
  takes more than a third of a core however busy the store is;
- the runs the survey saw still going, and the runs since: their jobs are
  read from the history when it changes (a run of many jobs no more than a
  quarter of the time), on top of the survey. A
  partition such a run touched is shown by its new status; what the dry
  run said of it is not known until the next survey.

Requests only read the current View; nothing heavy happens in them.
"""

from __future__ import annotations

import json
import os
import resource
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from array import array
from dataclasses import dataclass, field
from typing import Any

from vorda._command import describe
from vorda.run.executors.groups import Lifeline, kill_group
from vorda.run.status import RunStatus
from vorda.run.store.layout import Store
from vorda.ui.model import Snapshot, State, count_states, decode, last_code, partition_of

POLL = 0.5  # seconds between looks at the history and the modules' files
SURVEY_PAUSE_MIN = 1.0  # seconds between surveys, at least
SURVEY_PAUSE_MAX = 10.0  # nor more, after surveys that failed one after another
# A survey of the history and modules as they are now still goes stale when
# a store file changes behind the history: look again after this long.
SURVEY_AGE_MIN = 10.0


@dataclass
class View:
    """What the pages show, as of one look at the store."""

    snapshot: Snapshot | None
    last: list[bytearray] = field(default_factory=list)  # per asset, as snapshot.assets
    would: list[bytearray] = field(default_factory=list)
    counts: list[dict[State, int]] = field(default_factory=list)
    version: int = 0
    current: bool = False  # the survey is of the history and modules as they are now
    surveying: bool = False
    failure: str | None = None  # the survey process itself failed

    @property
    def ready(self) -> bool:
        return self.snapshot is not None


def file_signature(paths: list[str]) -> tuple[Any, ...]:
    out: list[Any] = []
    for path in paths:
        try:
            info = os.stat(path)
            out.append((path, info.st_mtime_ns, info.st_size, info.st_ino))
        except OSError:
            out.append((path, None))
    return tuple(out)


class _RunMap:
    """seq -> (asset, place) of one run's jobs, read once (-1: not yet read)."""

    ELSEWHERE = -2  # a job of an asset or partition the survey does not have

    def __init__(self) -> None:
        self.asset = array("i")
        self.place = array("q")

    def set(self, seq: int, asset: int, place: int) -> None:
        while len(self.asset) <= seq:
            self.asset.append(-1)
            self.place.append(-1)
        self.asset[seq], self.place[seq] = asset, place


class Live:
    def __init__(self, store: Store, modules: list[str], paths: list[str]) -> None:
        self.store, self.modules, self.paths = store, modules, paths
        self._view = View(None, surveying=True)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._thread = threading.Thread(target=self._loop, name="vorda-ui-live", daemon=True)
        self._survey_thread: threading.Thread | None = None
        self._survey_process: subprocess.Popen[bytes] | None = None
        self._surveyed: tuple[Snapshot | None, str | None] | None = None  # a survey's result, to install
        self._survey_done = 0.0  # monotonic time the last survey ended
        self._survey_took = 0.0
        self._survey_failures = 0  # in a row, of the history and files as they are
        self._surveyed_sig: tuple[Any, ...] = ()  # what the last survey started from
        self._runmaps: dict[str, _RunMap] = {}
        self._overlay_sig: tuple[Any, ...] | None = None
        self._overlay_at = 0.0  # monotonic time the last overlay began, and how long it took
        self._overlay_took = 0.0
        self._version = 0
        self._lifeline = Lifeline()

    # -- reading ---------------------------------------------------------------

    @property
    def view(self) -> View:
        with self._lock:
            return self._view

    def history_signature(self) -> tuple[Any, ...]:
        return file_signature([str(self.store.root / "history.sqlite"), str(self.store.root / "history.sqlite-wal")])

    # -- the thread ------------------------------------------------------------

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._wake.set()
        process = self._survey_process
        if process is not None and process.poll() is None:
            kill_group(process.pid, 9)
        self._thread.join(timeout=5)
        self._lifeline.close()

    def poke(self) -> None:
        """Look again now (a run was just started)."""
        self._wake.set()

    def _loop(self) -> None:
        while not self._stop.is_set():
            try:
                self._tick()
            except Exception as error:  # a store that went away, a history being rewritten
                self._publish(failure=f"cannot read the store: {describe(error)}")
            self._wake.wait(POLL)
            self._wake.clear()

    def _tick(self) -> None:
        with self._lock:
            surveyed, self._surveyed = self._surveyed, None
        if surveyed is not None:
            snapshot, failure = surveyed
            if snapshot is None:
                self._publish(failure=f"the survey of the pipeline failed: {failure}")
            else:
                self._runmaps.clear()
                self._overlay(snapshot, self.history_signature(), False, False, fresh=True)
        history_sig = self.history_signature()
        snapshot = self.view.snapshot
        surveying = self._survey_thread is not None and self._survey_thread.is_alive()
        files_sig = file_signature(snapshot.files) if snapshot is not None else ()
        current = snapshot is not None and snapshot.checked and \
            (snapshot.history_sig, snapshot.files_sig) == (history_sig, files_sig)
        if (history_sig, files_sig) != self._surveyed_sig:
            self._survey_failures = 0  # an edit may have mended what failed
        pause = max(min(SURVEY_PAUSE_MAX, SURVEY_PAUSE_MIN * 2 ** min(self._survey_failures, 5)),
                    2 * self._survey_took)
        since = time.monotonic() - self._survey_done
        aged = since >= max(SURVEY_AGE_MIN, 20 * self._survey_took)
        if (not current or aged) and not surveying and (not self._survey_done or since >= pause):
            self._surveyed_sig = (history_sig, files_sig)
            self._survey_thread = threading.Thread(target=self._survey, name="vorda-ui-survey", daemon=True)
            self._survey_thread.start()
            surveying = True
        view = self.view
        # Reading a run of many jobs again takes a while: at most a quarter of the time goes to it.
        due = time.monotonic() - self._overlay_at >= 3 * self._overlay_took
        if view.snapshot is not None and ((history_sig != self._overlay_sig and due) or view.current != current
                                          or view.surveying != surveying):
            self._overlay(view.snapshot, history_sig, current, surveying)
        elif view.surveying != surveying:
            self._publish(surveying=surveying)

    def _publish(self, **changes: Any) -> None:
        with self._lock:
            self._version += 1
            fields = dict(self._view.__dict__, version=self._version, **changes)
            self._view = View(**fields)

    # -- the survey --------------------------------------------------------------

    def _survey(self) -> None:
        history_sig = self.history_signature()
        argv = [sys.executable, "-m", "vorda.ui.survey", "--store", str(self.store.root)]
        for path in self.paths:
            argv += ["--path", path]
        argv += self.modules
        start = time.monotonic()
        failure = None
        snapshot = None
        try:
            with tempfile.TemporaryFile() as errors:
                process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=errors,
                                           env=self._lifeline.env(dict(os.environ)),
                                           pass_fds=(self._lifeline.read_fd,), start_new_session=True)
                self._survey_process = process
                assert process.stdout is not None
                with process.stdout:
                    for line in process.stdout:
                        data = json.loads(line)
                        snapshot = decode(data)
                        snapshot.seconds = float(data.get("seconds") or 0.0)
                        if not snapshot.checked and self.view.snapshot is None:
                            # The first survey shows the last jobs while its dry run goes on.
                            snapshot.history_sig, snapshot.files_sig = history_sig, file_signature(snapshot.files)
                            with self._lock:
                                self._surveyed = (snapshot, None)
                            self._wake.set()
                if process.wait() != 0 or snapshot is None or not snapshot.checked:
                    errors.seek(0)
                    failure = errors.read().decode("utf-8", "replace").strip() or f"exit status {process.returncode}"
                    snapshot = None
                else:
                    snapshot.max_rss_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        except (OSError, ValueError, KeyError, TypeError) as error:
            failure, snapshot = describe(error), None
        finally:
            self._survey_process = None
        self._survey_took = time.monotonic() - start
        self._survey_done = time.monotonic()
        self._survey_failures = 0 if snapshot is not None else self._survey_failures + 1
        if self._stop.is_set():
            return
        if snapshot is not None:
            snapshot.history_sig = history_sig
            snapshot.files_sig = file_signature(snapshot.files)
        with self._lock:
            self._surveyed = (snapshot, failure)
        self._wake.set()

    # -- runs since the survey -----------------------------------------------------

    def _overlay(self, snapshot: Snapshot, history_sig: tuple[Any, ...], current: bool, surveying: bool,
                 fresh: bool = False) -> None:
        self._overlay_at = time.monotonic()
        last = {n: asset.last for n, asset in enumerate(snapshot.assets)}
        would = {n: asset.would for n, asset in enumerate(snapshot.assets)}
        touched: set[int] = set()
        history = self.store.history(readonly=True)
        try:
            if history.db is not None:
                try:
                    runs = list(history.db.execute("SELECT id, status FROM runs ORDER BY started, id"))
                except sqlite3.Error:
                    runs = []  # a history not yet made
                for run_id, status in runs:
                    if snapshot.runs.get(run_id) == status and status != RunStatus.RUNNING:
                        continue
                    for seq, key, partition, job_status, reason in history.db.execute(
                            "SELECT seq, asset, partition, status, reason FROM jobs WHERE run_id=? ORDER BY seq",
                            (run_id,)):
                        where = self._where(snapshot, run_id, seq, key, partition)
                        if where is None:
                            continue
                        asset, place = where
                        if asset not in touched:
                            touched.add(asset)
                            last[asset], would[asset] = bytearray(last[asset]), bytearray(would[asset])
                        last[asset][place] = last_code(job_status, reason)
                        would[asset][place] = 0  # the dry run's word on it is no longer known
        finally:
            history.close()
        with self._lock:
            previous = self._view
            counts = [
                count_states(last[n], would[n], asset) if n in touched or fresh or previous.snapshot is not snapshot
                or n >= len(previous.counts) else previous.counts[n]
                for n, asset in enumerate(snapshot.assets)
            ]
            self._version += 1
            self._view = View(snapshot, [last[n] for n in range(len(snapshot.assets))],
                              [would[n] for n in range(len(snapshot.assets))], counts, self._version, current,
                              surveying, None)
            self._overlay_sig = history_sig
        self._overlay_took = time.monotonic() - self._overlay_at

    def _where(self, snapshot: Snapshot, run_id: str, seq: int, key: str, partition: str | None) -> tuple[int, int] | None:
        runmap = self._runmaps.setdefault(run_id, _RunMap())
        known = runmap.asset[seq] if seq < len(runmap.asset) else -1
        if known >= 0:
            return known, runmap.place[seq]
        if known == _RunMap.ELSEWHERE:
            return None
        asset = snapshot.by_key.get(key)
        place = None
        if asset is not None:
            try:
                place = snapshot.assets[asset].position(partition_of(partition))
            except ValueError:
                place = None
        if asset is None or place is None:
            runmap.set(seq, _RunMap.ELSEWHERE, -1)
            return None
        runmap.set(seq, asset, place)
        return asset, place
