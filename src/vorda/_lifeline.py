"""A worker's tie to the process that started it.

The starter keeps the write end of a pipe and passes the read end to the
worker, named in VORDA_LIFELINE (``FD`` or ``FD:DIR``). Nobody ever writes
to it: when the starter is gone, however it ended, the read sees the end of
the pipe, and the worker removes DIR (its scratch folder, if named) and
kills its own process group, whatever the asset left running in it.
"""

from __future__ import annotations

import os
import signal
import threading

ENV = "VORDA_LIFELINE"


def line(fd: int, scratch: str | None = None) -> str:
    return f"{fd}:{scratch}" if scratch else str(fd)


def take() -> str | None:
    """This process's lifeline, removed from the environment so that the
    asset's own subprocesses do not take it for theirs."""
    return os.environ.pop(ENV, None)


def watch(line: str | None) -> None:
    """End this process group when the lifeline's far end closes."""
    if not line:
        return
    fd_text, _, scratch = line.partition(":")
    try:
        fd = int(fd_text)
        os.fstat(fd)
    except (ValueError, OSError):
        return  # not ours to watch
    threading.Thread(target=_wait, args=(fd, scratch), name="vorda-lifeline", daemon=True).start()


def _wait(fd: int, scratch: str) -> None:
    try:
        while os.read(fd, 1):
            pass
    except OSError:
        pass
    if scratch:
        import shutil

        shutil.rmtree(scratch, ignore_errors=True)
    os.killpg(0, signal.SIGKILL)
