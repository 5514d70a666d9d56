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

import dataclasses
import errno
import json
import os
import re
import shutil
from dataclasses import dataclass, field
from pathlib import Path
from stat import S_ISREG
from typing import Any, Mapping, Sequence

from vorda._command import UsageError
from vorda.loading import identity
from vorda.run.store import files
from vorda.run.store.history import RUN_ID, History, LastOk
from vorda.run.store.keys import MAX_COMPONENT, dim_head, escape, partition_dir, shorten
from vorda.run.store.lock import StoreLock
from vorda.run.store.objects import Objects

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
    # Its folder's parts below the root and its path, made once: a running
    # job's paths are asked for many times.
    parts: tuple[str, ...] | None = field(default=None, compare=False, repr=False)
    folder: str | None = field(default=None, compare=False, repr=False)


@dataclass(frozen=True, slots=True)
class Value:
    """A job's value in the store, once it is known to be good."""

    where: str  # the file's path
    hash: str
    stat: str | None = None  # the file's stat_text() when it was hashed
    identity: tuple[int, int, int, int] | None = None  # of the file hashed: device, inode, size, mtime_ns
    record_stat: str | None = None  # of its result.json, when that was read to check it

    @property
    def path(self) -> Path:
        return Path(self.where)

    @property
    def is_json(self) -> bool:
        """Passed inline to readers; any other value by reference."""
        return os.path.basename(self.where) == VALUE


class JobFolder:
    """A job's folder, reached once without following a link below the
    store's root; its files are opened through it, links not followed.
    (fd None: the folder could not be opened, and has no files.)"""

    def __init__(self, where: str, fd: int | None) -> None:
        self.where, self.fd = where, fd

    def __enter__(self) -> JobFolder:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def _open(self, name: str) -> tuple[int, os.stat_result]:
        """The regular file `name` of the folder, opened, and its stat."""
        if self.fd is None:
            raise FileNotFoundError(errno.ENOENT, "its folder cannot be opened", f"{self.where}/{name}")
        fd = os.open(name, files.READ_FLAGS, dir_fd=self.fd)
        try:
            info = os.fstat(fd)
            if not S_ISREG(info.st_mode):
                raise OSError(f"{self.where}/{name} is not a regular file")
        except OSError:
            os.close(fd)
            raise
        return fd, info

    def record(self) -> tuple[bytes, str] | None:
        """result.json's bytes (at most RESULT_LIMIT) and stat; None when it
        is missing, unreadable or not a regular file."""
        try:
            fd, info = self._open(RESULT)
            return files.read_limited(fd, RESULT_LIMIT), stat_text(info)
        except OSError:
            return None

    def value(self, name: str) -> Value:
        """The value file `name` as it is now; OSError if it cannot be read."""
        fd, info = self._open(name)
        return Value(f"{self.where}/{name}", files.hash_fd(fd), stat_text(info), identity(info))

    def remove_other_values(self, keep: str) -> None:
        """Value files of other formats a job left earlier: a tool reading
        the store's files (value.parquet of every partition) must not meet them."""
        if self.fd is None:
            return
        for entry in os.scandir(self.fd):
            if entry.name != keep and VALUE_NAME.fullmatch(entry.name):
                try:
                    os.unlink(entry.name, dir_fd=self.fd)
                except FileNotFoundError:
                    pass


def parse_record(data: bytes) -> dict[str, Any] | None:
    """A result record's object, or None when its bytes are not one."""
    try:
        record = json.loads(data)
    except ValueError:
        return None
    return record if isinstance(record, dict) else None


def _stat(fd: int) -> tuple[str, tuple[int, int, int, int]]:
    """How the history recognises a file it hashed, and how a reader checks it."""
    info = os.fstat(fd)
    return stat_text(info), identity(info)


def stat_text(info: os.stat_result) -> str:
    """How the history records a file's stat ("size mtime_ns inode
    ctime_ns"): the change time too, so that bytes written in place with
    the mtime put back (``touch -r``, a sync tool) are not taken for the
    file recorded."""
    return f"{info.st_size} {info.st_mtime_ns} {info.st_ino} {info.st_ctime_ns}"


def as_linked(value: Value) -> Value:
    """The value with the stat its file has after being linked as an object
    (a link changes the file's ctime), if it is still the file hashed."""
    try:
        info = os.stat(value.where, follow_symlinks=False)
    except OSError:
        return value
    if identity(info) != value.identity:
        return value
    return dataclasses.replace(value, stat=stat_text(info))


class DirScan:
    """Which folders of the store are real folders (not links), read a
    folder at a time as they are asked about: what lets many partitions'
    files be checked by one stat each, no link followed below the root.
    What is made after the scan is not known to it (the caller then takes
    the slow path)."""

    def __init__(self, root: Path) -> None:
        self.root = str(root)
        self._subdirs: dict[str, frozenset[str]] = {}
        self._real: set[str] = {""}

    def is_real(self, parts: Sequence[str]) -> bool:
        """Whether root/parts... is a path of real folders."""
        parent = "/".join(parts[:-1])
        if parent not in self._real:
            if not self.is_real(parts[:-1]):
                return False
            self._real.add(parent)
        names = self._subdirs.get(parent)
        if names is None:
            names = self._subdirs[parent] = self._scan(parent)
        return parts[-1] in names

    def _scan(self, parent: str) -> frozenset[str]:
        try:
            with os.scandir(os.path.join(self.root, parent)) as entries:
                return frozenset(e.name for e in entries if e.is_dir(follow_symlinks=False))
        except OSError:
            return frozenset()


class Store:
    def __init__(self, root: str | os.PathLike[str]) -> None:
        self.root = Path(root).absolute()
        self.root_text = str(self.root)
        self._prefixes: dict[tuple[str, str], tuple[str, str, str]] = {}
        self._heads: dict[str, str] = {}  # dimension -> "<escaped name>="
        self.objects = Objects(self.root / "objects")

    def create(self) -> None:
        """The root itself may be a link the user made; its parts may not."""
        try:
            self.root.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise UsageError(f"cannot make the store {self.root}: {error.strerror or error}") from None
        if not self.root.is_dir():
            raise UsageError(f"the store {self.root} is not a folder")

    # -- paths ---------------------------------------------------------------

    def _job_parts(self, place: Place) -> tuple[str, ...]:
        if place.parts is None:
            object.__setattr__(place, "parts", self._parts(place))
        assert place.parts is not None
        return place.parts

    def _parts(self, place: Place) -> tuple[str, ...]:
        if place.parts is not None:
            return place.parts
        # An asset's folder and a dimension's name are escaped once, not once per partition.
        prefix = self._prefixes.get((place.module, place.function))
        if prefix is None:
            prefix = self._prefixes[place.module, place.function] = (
                "assets", escape(place.module), escape(place.function))
        heads = self._heads
        dirs = []
        for dim, key in place.keys.items():
            head = heads.get(dim)
            if head is None:
                head = heads[dim] = dim_head(dim)
            dirs.append(partition_dir(head, key))
        return (*prefix, *dirs)

    def folder(self, place: Place) -> str:
        """The job's folder, as text (its paths are made from it)."""
        if place.folder is None:
            object.__setattr__(place, "folder", "/".join([self.root_text, *self._job_parts(place)]))
        assert place.folder is not None
        return place.folder

    def job_dir(self, place: Place) -> Path:
        return Path(self.folder(place))

    def value_path(self, place: Place, name: str = VALUE) -> Path:
        return self.job_dir(place) / name

    @staticmethod
    def value_name(record: Mapping[str, Any]) -> str:
        """The value file a result record names (value.json when it names none)."""
        named = record.get("value_path")
        name = os.path.basename(named) if isinstance(named, str) else VALUE
        return name if VALUE_NAME.fullmatch(name) else VALUE

    def result_path(self, place: Place) -> Path:
        return self.job_dir(place) / RESULT

    def log_path(self, run_id: str, seq: int, place: Place) -> Path:
        """``<seq>-<module>.<function>[.<dim>=<key>...].log``, at most a path
        component long."""
        name = ".".join([f"{seq:04d}-{escape(place.module)}", *self._job_parts(place)[2:]])
        return Path(f"{self.root_text}/logs/{run_id}/{shorten(name, MAX_COMPONENT - len('.log'))}.log")

    def inputs_path(self, run_id: str, seq: int) -> Path:
        return self.root / "tmp" / run_id / f"{seq}.json"

    def refs_path(self, run_id: str, seq: int) -> Path:
        return self.root / "tmp" / run_id / f"{seq}.refs.json"

    # -- making and reading --------------------------------------------------

    def make_job_dir(self, place: Place, scan: DirScan | None = None) -> Path:
        """The job's folder, made where it is missing; a folder the `scan`
        already found real is taken as it is."""
        parts = self._job_parts(place)
        if scan is not None and scan.is_real(parts):
            return self.job_dir(place)
        return files.make_dirs(self.root, parts)

    def open_folder(self, place: Place) -> JobFolder:
        """The job's folder opened once (no link below the root followed),
        to read its files through; one that cannot be opened reads as empty."""
        try:
            fd = files.open_dir_under(self.root, self._job_parts(place))
        except OSError:
            fd = None
        return JobFolder(self.folder(place), fd)

    def make_run_dirs(self, run_id: str) -> None:
        """The run's logs folder and its folder of inputs files."""
        files.make_dirs(self.root, ["logs", run_id])
        files.make_dirs(self.root, ["tmp", run_id])

    def remove_run_tmp(self, run_id: str) -> None:
        shutil.rmtree(self.root / "tmp" / run_id, ignore_errors=True)

    def sweep_tmp(self) -> None:
        """Remove the folders runs that are over left in ``<store>/tmp`` (call
        with the lock held: then no run is going). Nothing else there is
        ours: the store may be a folder that had a tmp of its own."""
        try:
            entries = list((self.root / "tmp").iterdir())
        except OSError:
            return
        for entry in entries:
            if RUN_ID.fullmatch(entry.name) and entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry, ignore_errors=True)

    def open(self, path: Path) -> int:
        """A read descriptor for a file of the store; no link below the root
        is followed."""
        return files.open_under(self.root, path)

    def read_result(self, place: Place) -> tuple[dict[str, Any] | None, str] | None:
        """The worker's result record (None when it does not parse) and the
        stat of the file read, or None when it is missing or unreadable."""
        try:
            fd = self.open(self.result_path(place))
        except OSError:
            return None
        try:
            info = os.fstat(fd)
            return parse_record(files.read_limited(fd, RESULT_LIMIT)), stat_text(info)
        except OSError:
            return None

    def relative(self, path: str | Path) -> str:
        """How the history records a path of the store: relative to its root,
        so that a moved store still matches."""
        text = str(path)
        if text.startswith(self.root_text + "/"):
            return text[len(self.root_text) + 1:]
        return str(Path(text).relative_to(self.root))  # its error, for a path elsewhere

    def recorded_text(self, text: str) -> str:
        """A path as the history recorded it (older histories: absolute)."""
        return text if os.path.isabs(text) else f"{self.root_text}/{text}"

    def recorded(self, text: str) -> Path:
        return Path(self.recorded_text(text))

    def success_record(self, place: Place, name: str = VALUE) -> str | None:
        """The stat of the job's result.json if it records the success of the
        value file `name` of the job's own directory; else None. The record's
        path is compared by its part below the store, so a moved store still
        matches."""
        found = self.read_result(place)
        if found is None:
            return None
        record, stat = found
        if record is None or record.get("ok") is not True or not isinstance(record.get("value_path"), str):
            return None
        own = self.value_path(place, name).relative_to(self.root).parts
        return stat if Path(record["value_path"]).parts[-len(own):] == own else None

    def stored_value(self, last: LastOk | None, place: Place, scan: DirScan | None = None) -> Value | None:
        """The value of the job's last ok run, if the whole record is still
        that run's: the value file has its hash, and result.json is its
        success record. With a `scan`, files whose stats are those recorded
        are taken as they are, without reading them."""
        if last is None:
            return None
        name = last.value_path.rpartition("/")[2]
        if name != VALUE and not VALUE_NAME.fullmatch(name):
            return None
        parts = self._parts(place)  # a place asked once: nothing kept on it
        if scan is not None and last.record_stat is not None and last.value_stat is not None:
            folder = "/".join(parts)
            if last.value_path == f"{folder}/{name}" and scan.is_real(parts):
                found = self._unchanged(f"{self.root}/{folder}/", name, last.value_stat, last.record_stat)
                if found is not None:
                    return Value(found[0], last.value_hash, last.value_stat, found[1])
        path = self.root.joinpath(*parts, name)
        if self.recorded(last.value_path) != path:
            return None
        try:
            fd = self.open(path)
            stat, ident = _stat(fd)
            if stat == last.value_stat:
                os.close(fd)  # the file it hashed, untouched since: no need to read it again
            elif files.hash_fd(fd) != last.value_hash:
                return None
        except OSError:
            return None
        record_stat = self.success_record(place, name)
        return Value(str(path), last.value_hash, stat, ident, record_stat) if record_stat is not None else None

    @staticmethod
    def _unchanged(folder: str, name: str, value_stat: str, record_stat: str) -> tuple[str, tuple[int, int, int, int]] | None:
        """The value file's path and identity when it and result.json (both
        regular files) have the stats recorded; else None."""
        try:
            value = os.stat(folder + name, follow_symlinks=False)
            record = os.stat(folder + RESULT, follow_symlinks=False)
        except OSError:
            return None
        if not (S_ISREG(value.st_mode) and S_ISREG(record.st_mode)):
            return None
        if stat_text(value) != value_stat or stat_text(record) != record_stat:
            return None
        return folder + name, identity(value)

    def record_failure(self, place: Place, error: str) -> None:
        """Replace the job's result.json by a failure record: what its folder
        holds is not what the run records (the value stays, as a failed job
        leaves it)."""
        data = json.dumps({"error": error, "error_type": "CodeChanged", "ok": False}, sort_keys=True,
                          separators=(",", ":"), ensure_ascii=False).encode()
        files.write_replace(Path(self.folder(place)), RESULT, data)

    def record_stat(self, place: Place) -> str | None:
        """How a later run recognises the job's result.json as the one recorded."""
        try:
            info = os.stat(f"{self.folder(place)}/{RESULT}", follow_symlinks=False)
        except OSError:
            return None
        return stat_text(info) if S_ISREG(info.st_mode) else None

    def scan(self) -> DirScan:
        return DirScan(self.root)

    # -- durability ------------------------------------------------------------

    def barrier(self, written: set[str], per_file: bool = False) -> None:
        """Make everything written so far durable: one flush of the store's
        file system, or (`per_file`, or where that call is missing) a flush
        of each file and folder in `written`, and of the folders above them
        (a folder made by this run is only there once its parent is flushed)."""
        if not per_file:
            fd = os.open(self.root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                if files.syncfs(fd):
                    return
            finally:
                os.close(fd)
        paths, inside = set(written), self.root_text + "/"
        for path in written:
            parent = os.path.dirname(path)
            while parent.startswith(inside) and parent not in paths:
                paths.add(parent)
                parent = os.path.dirname(parent)
        paths |= {self.root_text, os.path.dirname(self.root_text)}  # and the store's own entry
        files.flush_paths(paths)

    def written_by(self, place: Place, value: Value, record_hash: str | None) -> set[str]:
        """What a finished job wrote: its files, its folder, its kept objects."""
        folder = self.folder(place)
        found = {value.where, f"{folder}/{RESULT}", folder}
        for digest in (value.hash, record_hash) if record_hash else (value.hash,):
            found.add(self.objects.where(digest))
            found.add(self.objects.where(digest).rpartition("/")[0])
        return found

    # -- values kept by content ----------------------------------------------

    def keep(self, value: Value, record: bytes) -> str | None:
        """Keep the job's value and its result record (the bytes read) as
        objects; the record's hash, or None when they could not be kept (the
        job's files are fine either way: only a later restore is lost)."""
        try:
            self.objects.keep_file(value.where, value.hash)
            return self.objects.keep_bytes(record)
        except OSError:
            return None

    def restore(self, place: Place, value_name: str, value_hash: str, record_hash: str) -> Value | None:
        """Put a kept value and its record back into the job's directory, if
        both objects are there and have their hashes; else None and nothing
        changed. The record is restored byte for byte unless the value's
        place in the store changed (a renamed module): then its value_path
        names the new place."""
        record = self.objects.read_checked(record_hash, RESULT_LIMIT)
        if record is None or not self.objects.checked(value_hash):
            return None
        folder = self.make_job_dir(place)
        target = folder / value_name
        # Value first, then its record: a crash between leaves the old record
        # beside the new value, which the history's hash of the old value
        # does not match, so nothing is taken for up to date.
        self.objects.place(value_hash, target)
        files.write_replace(folder, RESULT, self._relocated(record, target))
        with self.open_folder(place) as found:
            found.remove_other_values(value_name)  # as a job that writes it does
        fd = self.open(target)
        try:
            return Value(str(target), value_hash, *_stat(fd))
        finally:
            os.close(fd)

    def _relocated(self, record: bytes, target: Path) -> bytes:
        try:
            data = json.loads(record)
            own = target.relative_to(self.root).parts
            if Path(data["value_path"]).parts[-len(own):] == own:
                return record
        except (ValueError, KeyError, TypeError):
            return record
        data["value_path"] = str(target)
        return json.dumps(data, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode()

    # -- the history and the lock --------------------------------------------

    def history(self, readonly: bool = False) -> History:
        return History(self.root / "history.sqlite", readonly)

    def lock(self) -> StoreLock:
        return StoreLock(self.root / "lock")
