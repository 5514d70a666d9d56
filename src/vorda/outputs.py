"""The worker's two files when Python writes them (any format but the
engine's JSON): the same guarantees as the engine's own writes.

Each file is written under a temporary name in the output directory
(created exclusively, so a link or FIFO of that name is never opened),
flushed to disk and renamed over its name. Everything goes through one
descriptor of the directory opened at the start. A previous result.json is
removed before the asset runs; the value and then the record are renamed
under the directory's flock, the lock the engine takes, so concurrent runs
leave a value and a record of the same run.
"""

from __future__ import annotations

import errno
import fcntl
import itertools
import os
import pathlib
from typing import BinaryIO, Callable

RESULT = "result.json"
_sequence = itertools.count()


def _deferred() -> bool:
    """Whether the caller makes the files durable itself, as the engine
    reads it: the package's `_defer_flush` is True."""
    import vorda

    return getattr(vorda, "_defer_flush", False) is True


class OutputDir:
    def __init__(self, output_dir: str) -> None:
        """Create the directory (and its parents), open it, and remove a
        previous result.json, so no stale success outlives this run."""
        self.durable = not _deferred()
        pathlib.Path(output_dir).mkdir(parents=True, exist_ok=True)
        self.fd = os.open(output_dir or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        self._value: tuple[str, str] | None = None  # (temporary name, final name)
        try:
            os.unlink(RESULT, dir_fd=self.fd)
        except (FileNotFoundError, IsADirectoryError):
            pass  # a directory of that name is no record
        except BaseException:
            os.close(self.fd)
            raise
        else:
            self._flush(self.fd)

    def _flush(self, fd: int) -> None:
        if not self.durable:
            return  # still whole by rename; the caller flushes a batch at once
        try:
            os.fsync(fd)
        except OSError as error:
            if error.errno != errno.EINVAL:  # a file system that cannot flush a directory
                raise

    def _create(self, name: str) -> tuple[str, int]:
        while True:
            temporary = f".{name}.{os.getpid()}.{next(_sequence)}.tmp"
            try:
                flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
                return temporary, os.open(temporary, flags, 0o666, dir_fd=self.fd)
            except FileExistsError:
                continue

    def _write(self, name: str, write: Callable[[BinaryIO], object]) -> str:
        temporary, fd = self._create(name)
        try:
            with os.fdopen(fd, "wb") as stream:
                write(stream)
                stream.flush()
                self._flush(stream.fileno())
        except BaseException:
            self._discard(temporary)
            raise
        return temporary

    def _discard(self, temporary: str) -> None:
        try:
            os.unlink(temporary, dir_fd=self.fd)
        except OSError:
            pass

    def stage_value(self, name: str, write: Callable[[BinaryIO], object]) -> None:
        """Write the value file's content under a temporary name."""
        self.discard_value()
        self._value = (self._write(name, write), name)

    def discard_value(self) -> None:
        if self._value is not None:
            self._discard(self._value[0])
            self._value = None

    def publish(self, record: bytes) -> None:
        """Write result.json, with the staged value renamed first."""
        temporary = self._write(RESULT, lambda stream: stream.write(record))
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX)
        except OSError as error:
            if error.errno not in (errno.ENOLCK, errno.EOPNOTSUPP):  # no locks here: used unlocked
                self._discard(temporary)
                raise
        try:
            if self._value is not None:
                os.rename(self._value[0], self._value[1], src_dir_fd=self.fd, dst_dir_fd=self.fd)
                self._value = None
                self._flush(self.fd)  # durable before the record that names it can be
            os.rename(temporary, RESULT, src_dir_fd=self.fd, dst_dir_fd=self.fd)
            self._flush(self.fd)
        except BaseException:
            self._discard(temporary)
            self.discard_value()
            raise
        finally:
            try:
                fcntl.flock(self.fd, fcntl.LOCK_UN)
            except OSError:
                pass

    def close(self) -> None:
        self.discard_value()
        os.close(self.fd)
