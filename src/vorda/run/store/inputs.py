"""Input files for the worker, composed from upstream value.json bytes.

Values are copied through in chunks and never parsed here, so the runner's
memory does not grow with their size. Each value is hashed as it is copied:
what the job is recorded to have read is what it was given, even if the
file changed after it was last hashed.
"""

from __future__ import annotations

import hashlib
import json
import os
from pathlib import Path
from typing import Any, BinaryIO, Callable

from vorda.run.store.files import CHUNK, create_exclusive

# (parameter, as a list?, [(upstream partition, value file)])
Sources = list[tuple[str, bool, list[tuple[dict[str, Any] | None, Path]]]]


def _copy(fd: int, path: Path, out: BinaryIO) -> str:
    digest = hashlib.sha256()
    with os.fdopen(fd, "rb") as stream:
        first = True
        while chunk := stream.read(CHUNK):
            first = False
            digest.update(chunk)
            out.write(chunk)
        if first:
            raise OSError(f"{path} is empty")
    return digest.hexdigest()


def _text(value: Any) -> bytes:
    return json.dumps(value).encode("ascii")


def write_inputs(path: Path, keys: dict[str, Any], values: Sources, open_value: Callable[[Path], int]) -> dict[Path, str]:
    """Write the keyword-argument object: the partition keys, then each
    input. Returns the hash of each value file's bytes as copied."""
    copied: dict[Path, str] = {}

    def copy(value_path: Path) -> None:
        copied[value_path] = _copy(open_value(value_path), value_path, out)

    with os.fdopen(create_exclusive(path), "wb") as out:
        out.write(b"{")
        first = True
        for dim, key in keys.items():
            out.write(b"" if first else b", ")
            out.write(_text(dim) + b": " + _text(key))
            first = False
        for param, as_list, sources in values:
            out.write(b"" if first else b", ")
            out.write(_text(param) + b": ")
            first = False
            if not as_list:
                copy(sources[0][1])
                continue
            out.write(b"[")
            for n, (partition, value_path) in enumerate(sources):
                out.write(b", " if n else b"")
                out.write(b'{"partition": ' + _text(partition) + b', "value": ')
                copy(value_path)
                out.write(b"}")
            out.write(b"]")
        out.write(b"}")
    return copied
