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
import select
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
    found = parse(line)
    if found is not None:
        watch_fd(*found)


def parse(line: str | None) -> tuple[int, str] | None:
    """The lifeline's descriptor and scratch folder ("" for none), or None
    when there is none this process can watch."""
    if not line:
        return None
    fd_text, _, scratch = line.partition(":")
    try:
        fd = int(fd_text)
        os.fstat(fd)
    except (ValueError, OSError):
        return None  # not ours to watch
    return fd, scratch


def watch_fd(fd: int, scratch: str = "") -> None:
    """watch() of a lifeline already parsed (as a fork server does once for
    all its children)."""
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
        own = os.open(_PROC_FD + str(fd), os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        fcntl.fcntl(own, fcntl.F_SETOWN, -os.getpgrp())
        fcntl.fcntl(own, fcntl.F_SETSIG, _SIGKILL)
        fcntl.fcntl(own, fcntl.F_SETFL, os.O_NONBLOCK | os.O_ASYNC)  # as opened, and O_ASYNC
    except (OSError, AttributeError):
        os.close(own)
        return False
    # Nobody writes to it: readable means the far end closed before this was armed.
    if select.select([own], [], [], 0)[0]:
        os.killpg(0, _SIGKILL)
    return True  # `own` stays open for as long as this process lives


_PROC_FD = "/proc/self/fd/"
_SIGKILL = int(signal.SIGKILL)


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
