"""The store's lock: one runner writes a store at a time.

An flock on ``<store>/lock``, held for the whole run and released by the
kernel however the runner ends; the holder's pid is inside. Readers such as
``vorda runs`` take no lock.
"""

from __future__ import annotations

import fcntl
import os
from pathlib import Path

from vorda._command import UsageError


class StoreLock:
    def __init__(self, path: Path) -> None:
        try:
            self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        except OSError as error:
            raise UsageError(f"cannot lock the store {path.parent}: {error.strerror or error}") from None
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.read(self.fd, 32).decode("ascii", "replace").strip() or "unknown"
            os.close(self.fd)
            raise UsageError(
                f"another runner is using the store {path.parent} (pid {holder}); wait for it to finish"
            ) from None
        os.ftruncate(self.fd, 0)
        os.write(self.fd, f"{os.getpid()}\n".encode("ascii"))

    def release(self) -> None:
        os.close(self.fd)
