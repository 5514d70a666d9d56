"""Input files for the worker, composed from upstream value.json bytes.

Values are copied through in chunks and never parsed here, so the runner's
memory does not grow with their size.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any, BinaryIO

from vorda.run.store.files import CHUNK, create_exclusive, open_nofollow


def _copy(path: Path, out: BinaryIO) -> None:
    with os.fdopen(open_nofollow(path), "rb") as stream:
        first = True
        while chunk := stream.read(CHUNK):
            first = False
            out.write(chunk)
        if first:
            raise OSError(f"{path} is empty")


def _text(value: Any) -> bytes:
    return json.dumps(value).encode("ascii")


def write_inputs(
    path: Path,
    keys: dict[str, Any],
    values: list[tuple[str, bool, list[tuple[dict[str, Any] | None, Path]]]],
) -> None:
    """Write the keyword-argument object: the partition keys, then each
    input (parameter, as a list?, [(upstream partition, value.json)])."""
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
                _copy(sources[0][1], out)
                continue
            out.write(b"[")
            for n, (partition, value_path) in enumerate(sources):
                out.write(b", " if n else b"")
                out.write(b'{"partition": ' + _text(partition) + b', "value": ')
                _copy(value_path, out)
                out.write(b"}")
            out.write(b"]")
        out.write(b"}")
