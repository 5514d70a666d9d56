"""Finished jobs made durable and recorded off the runner's own thread.

For each batch of finished jobs: first one barrier that makes every file
they wrote durable, then one history transaction that records them, so the
history never says ok of a value that is not on the disk. The barrier is
the slow part (the disk works); on a thread of its own it no longer holds
back the next jobs' start. Batches that queue up meanwhile go together.
"""

from __future__ import annotations

import queue
import sqlite3
import threading
from typing import Any, Callable

from vorda._command import UsageError
from vorda.run.store.history import History
from vorda.run.store.layout import Store

Batch = list[tuple[int, dict[str, Any]]]  # (job, the fields to record)


class Recorder:
    def __init__(self, store: Store, run_id: str, per_file: bool, recorded: Callable[[], None]) -> None:
        """`recorded` is called (on the recorder's thread) after each transaction."""
        self._store, self._run_id, self._per_file, self._recorded = store, run_id, per_file, recorded
        # Batches to record; an Event is set once everything before it is.
        self._work: queue.SimpleQueue[tuple[Batch, set[str]] | threading.Event | None] = queue.SimpleQueue()
        self._done: queue.SimpleQueue[list[int]] = queue.SimpleQueue()
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="vorda-recorder", daemon=True)
        self._thread.start()

    def send(self, batch: Batch, written: set[str]) -> None:
        """Record `batch` once the files in `written` (and all else written so far) are durable."""
        self._raise()
        self._work.put((batch, written))

    def recorded(self) -> list[int]:
        """The jobs recorded since the last call; raises what the recorder met."""
        self._raise()
        seqs: list[int] = []
        while True:
            try:
                seqs += self._done.get_nowait()
            except queue.Empty:
                return seqs

    def drain(self) -> list[int]:
        """Wait until everything sent is recorded; recorded() then."""
        reached = threading.Event()
        self._work.put(reached)
        while not reached.wait(0.1) and self._error is None and self._thread.is_alive():
            pass
        return self.recorded()

    def close(self) -> None:
        """Record what was sent and end the thread (errors are left to drain())."""
        self._work.put(None)
        self._thread.join()

    def _raise(self) -> None:
        if self._error is not None:
            raise self._error

    def _run(self) -> None:
        history: History | None = None
        try:
            try:
                history = self._store.history()
            except UsageError as error:  # jobs have run: a failed run, not a usage error
                raise sqlite3.OperationalError(str(error)) from None
            while (item := self._work.get()) is not None:
                if isinstance(item, threading.Event):
                    item.set()
                    continue
                batch, written = item
                reached: list[threading.Event] = []
                # What queued up meanwhile shares the barrier and the transaction.
                while True:
                    try:
                        more = self._work.get_nowait()
                    except queue.Empty:
                        break
                    if more is None:
                        self._work.put(None)
                        break
                    if isinstance(more, threading.Event):
                        reached.append(more)
                    else:
                        batch, written = batch + more[0], written | more[1]
                if written:
                    self._store.barrier(written, self._per_file)
                history.record_jobs(self._run_id, batch)
                self._done.put([seq for seq, _ in batch])
                for event in reached:
                    event.set()
                self._recorded()
        except BaseException as error:  # the runner raises it on its own thread
            self._error = error
            self._recorded()
        finally:
            if history is not None:
                history.close()
