"""File access inside the store: no link it did not make is followed, and
what says "done" is written whole (temporary file, then rename)."""

from __future__ import annotations

import errno
import hashlib
import os
import stat
import uuid
from pathlib import Path
from typing import Callable, Sequence

CHUNK = 1 << 20

# O_NONBLOCK: opening a FIFO put where a file was expected must not wait
# for a writer (it is refused as not a regular file); reads of a regular file
# are unaffected.
READ_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK


def make_dirs(root: Path, parts: Sequence[str]) -> Path:
    """Create root/parts... one component at a time; refuse links."""
    path = root
    for part in parts:
        path = path / part
        try:
            os.mkdir(path)
        except FileExistsError:
            mode = os.lstat(path).st_mode
            if not stat.S_ISDIR(mode):
                kind = "a symbolic link" if stat.S_ISLNK(mode) else "not a directory"
                raise OSError(f"{path} is {kind}; the store only uses directories it made") from None
    return path


def remove_file(path: str | Path) -> None:
    """Remove a file or link (never what a link points to) if it is there."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def open_nofollow(path: str | Path) -> int:
    """A read descriptor for a regular file that is not a link."""
    fd = os.open(path, READ_FLAGS)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise OSError(f"{path} is not a regular file")
    return fd


def create_exclusive(path: str | Path) -> int:
    """A new file for writing; fails if anything (a link too) is there."""
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)



def open_dir_under(root: Path, parts: Sequence[str]) -> int:
    """A descriptor for the folder root/parts..., reached without following
    a link at any component below the root (the root itself may be a link
    the user made)."""
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    for part in parts:
        try:
            inner = os.open(part, READ_FLAGS | os.O_DIRECTORY, dir_fd=fd)
        except OSError as error:
            os.close(fd)
            raise OSError(error.errno, f"{error.strerror} (a symbolic link or not a directory?)",
                          os.path.join(root, *parts)) from None
        os.close(fd)
        fd = inner
    return fd


def open_under(root: Path, path: Path) -> int:
    """A read descriptor for the regular file `path` below `root`, reached
    without following a link at any component below the root (the root
    itself may be a link the user made)."""
    parts = path.relative_to(root).parts
    if not parts:
        raise OSError(f"{path} is not a file below {root}")
    fd = open_dir_under(root, parts[:-1])
    try:
        found = os.open(parts[-1], READ_FLAGS, dir_fd=fd)
    finally:
        os.close(fd)
    if not stat.S_ISREG(os.fstat(found).st_mode):
        os.close(found)
        raise OSError(f"{path} is not a regular file")
    return found


def read_limited(fd: int, limit: int) -> bytes:
    """At most `limit` bytes from a descriptor, which is closed."""
    with os.fdopen(fd, "rb") as stream:
        return stream.read(limit)


def hash_fd(fd: int) -> str:
    """sha256 of what a descriptor reads, which is closed."""
    digest = hashlib.sha256()
    with os.fdopen(fd, "rb") as stream:
        while chunk := stream.read(CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


def write_replace(folder: Path, name: str, data: bytes) -> None:
    """`data` written under a temporary name, then renamed over ``name``
    (replaced, never followed). Not flushed to disk: a crash of the process
    leaves the old file or the new one, never a part."""
    temporary = folder / f".{name}.{uuid.uuid4().hex}.tmp"
    try:
        with os.fdopen(create_exclusive(temporary), "wb") as out:
            out.write(data)
        os.replace(temporary, folder / name)
    except BaseException:
        remove_file(temporary)
        raise


def _libc_syncfs() -> Callable[[int], int] | None:
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        call: Callable[[int], int] = libc.syncfs
        return call
    except (OSError, AttributeError):
        return None


_SYNCFS = _libc_syncfs()


def syncfs(fd: int) -> bool:
    """Flush the whole file system that `fd` is on; False where the call is
    not available (the caller then flushes file by file)."""
    if _SYNCFS is None:
        return False
    import ctypes

    if _SYNCFS(fd) == 0:
        return True
    error = ctypes.get_errno()
    if error in (errno.ENOSYS, errno.EINVAL, errno.EPERM):  # EPERM: refused by a sandbox
        return False
    raise OSError(error, os.strerror(error))


def flush_paths(paths: set[str]) -> None:
    """fsync each file or directory; one that is gone has nothing to flush."""
    for path in sorted(paths):
        try:
            fd = os.open(path, READ_FLAGS)
        except OSError:
            continue
        try:
            os.fsync(fd)
        except OSError as error:
            if error.errno != errno.EINVAL:  # a directory some file systems cannot flush
                raise
        finally:
            os.close(fd)
