"""Where the store keeps things. Every path under the store is made here.

    <store>/assets/<module>/<function>/<dim>=<key>/.../value.json, result.json
        (value.<suffix> for a value stored in another format)
    <store>/logs/<run id>/<job>.log
    <store>/tmp/<run id>/            inputs and references files of running jobs
    <store>/history.sqlite, <store>/lock

Directories are created one component at a time, and an existing component
must be a real directory: the store never follows a link it did not make.
"""

from __future__ import annotations

import json
import os
import re
import shutil
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Mapping

from vorda.run.store import files
from vorda.run.store.history import History
from vorda.run.store.keys import escape, partition_dirs
from vorda.run.store.lock import StoreLock

VALUE = "value.json"
VALUE_NAME = re.compile(r"value\.[A-Za-z0-9_]+")  # value.<suffix> of any format
RESULT = "result.json"
RESULT_LIMIT = 1 << 20  # a result record is a few hundred bytes


@dataclass(frozen=True)
class Place:
    """What names a job's directory: its asset's module and function and
    its partition keys (empty when unpartitioned)."""

    module: str
    function: str
    keys: Mapping[str, Any]


@dataclass(frozen=True)
class Value:
    """A job's value in the store, once it is known to be good."""

    path: Path
    hash: str
    identity: tuple[int, int, int, int] | None = None  # of the file hashed: device, inode, size, mtime_ns

    @property
    def is_json(self) -> bool:
        """Passed inline to readers; any other value by reference."""
        return self.path.name == VALUE


class Store:
    def __init__(self, root: str | os.PathLike[str]) -> None:
        self.root = Path(root).absolute()

    def create(self) -> None:
        """The root itself may be a link the user made; its parts may not."""
        self.root.mkdir(parents=True, exist_ok=True)
        if not self.root.is_dir():
            raise OSError(f"{self.root} is not a directory")

    # -- paths ---------------------------------------------------------------

    def _job_parts(self, place: Place) -> list[str]:
        return ["assets", escape(place.module), escape(place.function), *partition_dirs(place.keys)]

    def job_dir(self, place: Place) -> Path:
        return self.root.joinpath(*self._job_parts(place))

    def value_path(self, place: Place, name: str = VALUE) -> Path:
        return self.job_dir(place) / name

    @staticmethod
    def value_name(record: Mapping[str, Any]) -> str:
        """The value file a result record names (value.json when it names none)."""
        named = record.get("value_path")
        name = os.path.basename(named) if isinstance(named, str) else VALUE
        return name if VALUE_NAME.fullmatch(name) else VALUE

    def remove_other_values(self, place: Place, keep: str) -> None:
        """Value files of other formats a job left earlier: a tool reading
        the store's files (value.parquet of every partition) must not meet them."""
        folder = self.job_dir(place)
        for entry in os.scandir(folder):
            if entry.name != keep and VALUE_NAME.fullmatch(entry.name):
                files.remove_file(folder / entry.name)

    def result_path(self, place: Place) -> Path:
        return self.job_dir(place) / RESULT

    def log_path(self, run_id: str, seq: int, place: Place) -> Path:
        return self.root / "logs" / run_id / f"{seq:04d}-{escape(place.module)}.{place.function}.log"

    def inputs_path(self, run_id: str, seq: int) -> Path:
        return self.root / "tmp" / run_id / f"{seq}.json"

    def refs_path(self, run_id: str, seq: int) -> Path:
        return self.root / "tmp" / run_id / f"{seq}.refs.json"

    # -- making and reading --------------------------------------------------

    def make_job_dir(self, place: Place) -> Path:
        return files.make_dirs(self.root, self._job_parts(place))

    def make_run_dirs(self, run_id: str) -> None:
        """The run's logs folder and its folder of inputs files."""
        files.make_dirs(self.root, ["logs", run_id])
        files.make_dirs(self.root, ["tmp", run_id])

    def remove_run_tmp(self, run_id: str) -> None:
        shutil.rmtree(self.root / "tmp" / run_id, ignore_errors=True)

    def read_result(self, place: Place) -> dict[str, Any] | None:
        """The worker's result record, or None when it is missing or unreadable."""
        try:
            record = json.loads(files.read_limited(self.result_path(place), RESULT_LIMIT))
        except (OSError, ValueError):
            return None
        return record if isinstance(record, dict) else None

    def hash_value(self, place: Place, name: str = VALUE) -> Value:
        """The job's value file as it is now; OSError if it cannot be read."""
        path = self.value_path(place, name)
        return Value(path, *files.hash_and_identity(path))

    def stored_value(self, history: History, asset_ref: str, partition_id: str, place: Place) -> Value | None:
        """The value of the job's last ok run, if its file is still that run's."""
        last = history.last_ok(asset_ref, partition_id)
        if last is None or not VALUE_NAME.fullmatch(os.path.basename(last.value_path)):
            return None
        path = self.value_path(place, os.path.basename(last.value_path))
        if last.value_path != str(path):
            return None
        try:
            digest, identity = files.hash_and_identity(path)
        except OSError:
            return None
        return Value(path, last.value_hash, identity) if digest == last.value_hash else None

    # -- the history and the lock --------------------------------------------

    def history(self, readonly: bool = False) -> History:
        return History(self.root / "history.sqlite", readonly)

    def lock(self) -> StoreLock:
        return StoreLock(self.root / "lock")
