"""What the runner and the fork servers send each other over pipes: lines
of JSON, and job requests as records of one fixed size that several
servers can take from one pipe (see forks_remote.py)."""

from __future__ import annotations

import json
import os
import select
from typing import Any

# A write of at most PIPE_BUF bytes reaches a pipe whole, and a read of
# exactly this size takes exactly one record: no two servers share one.
RECORD = getattr(select, "PIPE_BUF", 512)


def write_all(fd: int, data: bytes) -> None:
    while data:
        data = data[os.write(fd, data):]


def send_line(fd: int, message: dict[str, Any]) -> None:
    write_all(fd, (json.dumps(message) + "\n").encode())


def record(message: dict[str, Any]) -> bytes | None:
    """`message` as one record, or None if it does not fit in one."""
    data = json.dumps(message).encode()
    return data.ljust(RECORD) if len(data) <= RECORD else None


def unrecord(data: bytes) -> dict[str, Any]:
    message: dict[str, Any] = json.loads(data)  # the padding is white space
    return message
