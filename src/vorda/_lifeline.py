"""A worker's tie to the process that started it.

The starter keeps the write end of a pipe and passes the read end to the
worker, named in VORDA_LIFELINE (``FD`` or ``FD:DIR``). Nobody ever writes
to it: when the starter is gone, however it ended, the worker's own process
group is killed, whatever the asset left running in it: by the kernel (a
signal on the pipe's end), or where a scratch folder DIR is named, by a
thread that sees the end of the pipe and removes DIR first.
"""

from __future__ import annotations

import fcntl
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
    if not scratch and _arm(fd):
        return
    threading.Thread(target=_wait, args=(fd, scratch), name="vorda-lifeline", daemon=True).start()


def _arm(fd: int) -> bool:
    """Have the kernel send SIGKILL to this process group when the pipe's
    far end closes: no thread (a forked job's child is started thousands of
    times). False where that cannot be set up."""
    try:
        # A description of this process's own: the owner and the flag below
        # belong to a description, which the inherited one shares with others.
        own = os.open(f"/proc/self/fd/{fd}", os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        fcntl.fcntl(own, fcntl.F_SETOWN, -os.getpgrp())
        fcntl.fcntl(own, fcntl.F_SETSIG, signal.SIGKILL)
        fcntl.fcntl(own, fcntl.F_SETFL, fcntl.fcntl(own, fcntl.F_GETFL) | os.O_ASYNC)
    except (OSError, AttributeError):
        os.close(own)
        return False
    try:
        gone = not os.read(own, 1)  # the far end closed before this was armed
    except BlockingIOError:
        gone = False
    except OSError:
        gone = True
    if gone:
        os.killpg(0, signal.SIGKILL)
    return True  # `own` stays open for as long as this process lives


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
