"""Where the store keeps things, and the partition key encoding.

    <store>/assets/<module>/<function>/<dim>=<key>/.../value.json
    <store>/logs/<run id>/<job>.log
    <store>/tmp/<run id>/            inputs files of running jobs
    <store>/history.sqlite, <store>/lock

Directories are created one component at a time, and an existing component
must be a real directory: the store never follows a link it did not make.
"""

from __future__ import annotations

import hashlib
import json
import os
import stat
from pathlib import Path
from typing import Any

# Bytes kept as they are in a path component; everything else is %XX.
_PLAIN = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-")
# Longer components are shortened and made unique with a hash, marked by "~"
# (which the escaping itself never leaves unescaped).
_MAX_COMPONENT = 200


def canonical(value: Any) -> str:
    """The one JSON text of a value: compact, object keys sorted."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def escape(text: str) -> str:
    out = []
    for byte in text.encode("utf-8", "surrogatepass"):
        out.append(chr(byte) if byte in _PLAIN else f"%{byte:02X}")
    escaped = "".join(out)
    if escaped.startswith("."):  # no hidden names, no "." or ".."
        escaped = "%2E" + escaped[1:]
    if len(escaped) > _MAX_COMPONENT:
        digest = hashlib.sha256(escaped.encode("ascii")).hexdigest()[:16]
        escaped = escaped[: _MAX_COMPONENT - 17] + "~" + digest
    return escaped


def _is_json(text: str) -> bool:
    try:
        json.loads(text)
    except ValueError:
        return False
    return True


def encode_key(key: Any) -> str:
    """A partition key as a path component.

    A string that does not read as JSON stands for itself (``north``,
    ``2026-12-01``); every other key is written as its JSON text, so the
    string "3" (``%223%22``) never meets the number 3 (``3``). The text is
    then escaped byte by byte, so the encoding is injective."""
    if isinstance(key, str) and key and not _is_json(key):
        text = key
    else:
        text = canonical(key)
    return escape(text)


def partition_dirs(keys: dict[str, Any]) -> list[str]:
    """The ``dim=key`` components of one job, in dimension order."""
    return [f"{escape(dim) if dim else '%'}={encode_key(key)}" for dim, key in keys.items()]


def asset_dirs(module: str, function: str) -> list[str]:
    return ["assets", escape(module), escape(function)]


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


def make_store(store: Path) -> None:
    """The store root itself may be a link the user made; its parts may not."""
    store.mkdir(parents=True, exist_ok=True)
    if not store.is_dir():
        raise OSError(f"{store} is not a directory")


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
