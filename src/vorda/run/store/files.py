"""File access inside the store: no link it did not make is followed, and
what says "done" is written whole (temporary file, then rename)."""

from __future__ import annotations

import hashlib
import os
import stat
import uuid
from pathlib import Path

CHUNK = 1 << 20


def make_dirs(root: Path, parts: list[str]) -> Path:
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


def remove_file(path: Path) -> None:
    """Remove a file or link (never what a link points to) if it is there."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def open_nofollow(path: Path) -> int:
    """A read descriptor for a regular file that is not a link."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise OSError(f"{path} is not a regular file")
    return fd


def create_exclusive(path: Path) -> int:
    """A new file for writing; fails if anything (a link too) is there."""
    return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)


def read_limited(path: Path, limit: int) -> bytes:
    """At most `limit` bytes of a regular file that is not a link."""
    with os.fdopen(open_nofollow(path), "rb") as stream:
        return stream.read(limit)


def hash_file(path: Path) -> str:
    """sha256 of a regular file (not followed if it is a link)."""
    return hash_and_identity(path)[0]


def hash_and_identity(path: Path) -> tuple[str, tuple[int, int, int, int]]:
    """sha256 of a regular file (not followed if it is a link) and the
    identity of the file hashed: device, inode, size, mtime_ns."""
    digest = hashlib.sha256()
    with os.fdopen(open_nofollow(path), "rb") as stream:
        info = os.fstat(stream.fileno())
        while chunk := stream.read(CHUNK):
            digest.update(chunk)
    return digest.hexdigest(), (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns)


def write_atomic(folder: Path, name: str, data: bytes) -> None:
    """A temporary file in the same folder, flushed to disk, renamed over
    ``name`` (which is replaced, never followed)."""
    temporary = folder / f".{name}.{uuid.uuid4().hex}.tmp"
    try:
        with os.fdopen(create_exclusive(temporary), "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, folder / name)
    except BaseException:
        remove_file(temporary)
        raise


def fsync_dir(folder: Path) -> None:
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
