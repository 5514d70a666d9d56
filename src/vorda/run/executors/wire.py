"""Lines of JSON over a pipe, as the fork server and the runner speak."""

from __future__ import annotations

import json
import os
from typing import Any


def write_all(fd: int, data: bytes) -> None:
    while data:
        data = data[os.write(fd, data):]


def send_line(fd: int, message: dict[str, Any]) -> None:
    write_all(fd, (json.dumps(message) + "\n").encode())
