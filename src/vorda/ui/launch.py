"""Runs started from the page: ``vorda run`` for a selection, as a child
in a session of its own (vorda.ui.launched), tied to this server so that
it never outlives it. One at a time, and none while another runner holds
the store."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Any

from vorda._command import UsageError
from vorda.run.executors.groups import Lifeline, end_groups
from vorda.run.store.keys import canonical
from vorda.run.store.layout import Store
from vorda.ui.model import AssetView

OUTPUT_KEPT = 16 << 10  # the end of a launched run's output kept for the page
MAX_KEYS = 1000  # keys per dimension a selection may name


class Refused(Exception):
    """The run was not started; the message says why."""


@dataclass
class Launched:
    command: list[str]
    process: subprocess.Popen[bytes]
    started: float = field(default_factory=time.time)
    output: bytearray = field(default_factory=bytearray)

    def facts(self) -> dict[str, Any]:
        return {"command": self.command, "pid": self.process.pid, "started": self.started,
                "returncode": self.process.poll(), "output": self.output.decode("utf-8", "replace")}


def run_arguments(asset: AssetView, partitions: list[dict[str, Any]] | None, upstream: bool) -> list[str]:
    """``vorda run``'s --select and --partition for a selection of cells.
    --partition takes keys per dimension, so a selection runs every
    partition whose key in each dimension is one of the selected ones: one
    that is not every such combination (two cells on a diagonal) is refused
    rather than run larger than it was chosen."""
    args = ["--select", ("+" if upstream else "") + asset.label]
    if not partitions:
        return args
    chosen: dict[str, dict[str, Any]] = {dim: {} for dim, _ in asset.dims}
    for wanted in partitions:
        if not isinstance(wanted, dict) or asset.position(wanted) is None:
            raise Refused(f"{asset.label} has no partition {canonical(wanted)}")
        for dim, key in wanted.items():
            chosen[dim][canonical(key)] = key
    combinations = 1
    for dim, _ in asset.dims:
        combinations *= len(chosen[dim])
    selected = len({canonical(wanted) for wanted in partitions})
    if combinations > selected:
        raise Refused(f"{selected} partitions selected, but a run takes keys per dimension and would run every "
                      f"combination of theirs ({combinations}); select whole rows or columns, or one at a time")
    for dim, every in asset.dims:
        if len(chosen[dim]) > MAX_KEYS:
            raise Refused(f"too many keys of {dim} selected (at most {MAX_KEYS})")
        if len(chosen[dim]) < len(every):  # every key of a dimension needs no filter
            args += [item for text in chosen[dim] for item in ("--partition", f"{dim}={text}")]
    return args


class Launcher:
    def __init__(self, store: Store, modules: list[str], paths: list[str]) -> None:
        self.store, self.modules, self.paths = store, modules, paths
        self.runs: list[Launched] = []
        self._lock = threading.Lock()
        self._lifeline = Lifeline()

    def start(self, asset: AssetView, partitions: list[dict[str, Any]] | None, upstream: bool) -> Launched:
        args = run_arguments(asset, partitions, upstream)
        with self._lock:
            if any(run.process.poll() is None for run in self.runs):
                raise Refused("a run started from this page is still going; wait for it to finish")
            self._check_lock()
            command = ["vorda", "run", "--store", str(self.store.root)]
            for path in self.paths:
                command += ["--path", os.path.abspath(path)]
            command += [*args, *self.modules]
            process = subprocess.Popen(
                [sys.executable, "-m", "vorda.ui.launched", *command[2:]],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                env=self._lifeline.env(dict(os.environ)), pass_fds=(self._lifeline.read_fd,),
                start_new_session=True,
            )
            launched = Launched(command, process)
            self.runs = [run for run in self.runs if run.process.poll() is None][-9:] + [launched]
        threading.Thread(target=self._collect, args=(launched,), name="vorda-ui-run-output", daemon=True).start()
        return launched

    def _check_lock(self) -> None:
        """Refuse while another runner holds the store: take its lock and
        let go at once (a runner starting in between is refused by the
        runner's own lock instead, and says so in its output)."""
        if not self.store.root.is_dir():
            return  # no store yet: the run makes it
        try:
            lock = self.store.lock()
        except UsageError as busy:
            raise Refused(str(busy)) from None
        except OSError as error:
            raise Refused(f"cannot use the store's lock: {error}") from None
        lock.release()

    def _collect(self, launched: Launched) -> None:
        stream = launched.process.stdout
        assert stream is not None
        while chunk := os.read(stream.fileno(), 4096):
            launched.output += chunk
            del launched.output[:-OUTPUT_KEPT]
        launched.process.wait()

    def facts(self) -> list[dict[str, Any]]:
        with self._lock:
            return [run.facts() for run in reversed(self.runs)]

    def stop(self) -> None:
        """End the runs still going (SIGTERM: they end their workers and
        record themselves interrupted; SIGKILL after a grace period)."""
        with self._lock:
            going = [run.process.pid for run in self.runs if run.process.poll() is None]
        if going:
            end_groups(going, grace=20.0, alive=self._alive)
        self._lifeline.close()

    def _alive(self, group: int) -> bool:
        for run in self.runs:
            if run.process.pid == group:
                return run.process.poll() is None
        try:
            os.killpg(group, 0)
        except OSError:
            return False
        return True

