"""Ending a job's processes: every job runs in a process group of its own,
which is ended as a whole, SIGTERM first, SIGKILL after a grace period."""

from __future__ import annotations

import os
import signal
import time
from typing import Callable, Iterable

from vorda import _lifeline
from vorda.run.timing import KILL_GRACE


def kill_group(group: int, sig: int) -> None:
    """Signal a process group, quietly if it is gone."""
    try:
        os.killpg(group, sig)
    except OSError:
        pass


def kill_leader_and_group(pid: int, sig: int) -> None:
    """Signal a process and its group: a just-forked child may not have made
    its own group yet."""
    for kill in (os.kill, os.killpg):
        try:
            kill(pid, sig)
        except OSError:
            pass


def group_alive(group: int) -> bool:
    try:
        os.killpg(group, 0)
    except OSError:
        return False
    return True


def end_groups(
    groups: Iterable[int],
    grace: float = KILL_GRACE,
    *,
    kill: Callable[[int, int], None] = kill_group,
    alive: Callable[[int], bool] = group_alive,
    pause: Callable[[float], object] = time.sleep,
) -> None:
    """SIGTERM each group, SIGKILL what is left after `grace` seconds; the
    groups are killed even when their leader has exited. `alive` tells when
    a group has ended early; `pause` waits a moment between looks (a parent
    reaps its children there)."""
    groups = set(groups)
    for group in groups:
        kill(group, signal.SIGTERM)
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline and any(alive(g) for g in groups):
        pause(0.02)
    for group in groups:
        kill(group, signal.SIGKILL)


def start_time(pid: int) -> int | None:
    """When a process started (clock ticks since boot, from /proc), so that
    a recorded pid is only ever signalled while it is the same process."""
    fields = _stat(pid)
    try:
        return int(fields[19]) if fields is not None else None
    except (IndexError, ValueError):
        return None


class Lifeline:
    """The write end stays here; workers get the read end (see vorda._lifeline)."""

    def __init__(self) -> None:
        self.read_fd, self._write_fd = os.pipe()  # neither is inherited unless passed

    def env(self, base: dict[str, str], scratch: str | None = None) -> dict[str, str]:
        return dict(base, **{_lifeline.ENV: _lifeline.line(self.read_fd, scratch)})

    def close(self) -> None:
        for fd in (self.read_fd, self._write_fd):
            try:
                os.close(fd)
            except OSError:
                pass


# Processes the executors started themselves; any other child of the runner
# in a session of its own was left by an asset and reparented to the runner.
CHILDREN: set[int] = set()


def become_subreaper() -> bool:
    """Make orphaned descendants of this process its children (Linux), so
    that an asset's double-forked daemon cannot escape the run."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        return bool(libc.prctl(36, 1, 0, 0, 0) == 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        return False


def _stat(pid: int) -> list[bytes] | None:
    try:
        # One read (the line is a few hundred bytes), and no file object: once per job.
        fd = os.open(f"/proc/{pid}/stat", os.O_RDONLY | os.O_CLOEXEC)
        try:
            data = os.read(fd, 4096)
        finally:
            os.close(fd)
        return data.rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None


def children() -> list[tuple[int, int]]:
    """This process's children, with their session ids."""
    me = os.getpid()
    found = []
    try:
        entries = os.listdir("/proc")
    except OSError:
        return []
    for entry in entries:
        if entry.isdigit():
            fields = _stat(int(entry))
            if fields is not None and int(fields[1]) == me:
                found.append((int(entry), int(fields[3])))
    return found


def orphans(before: set[int]) -> list[int]:
    """Children of this process that were not there `before` the run, that
    the executors did not start and that left its session: what assets left
    behind, reparented here."""
    session = os.getsid(0)
    return [pid for pid, sid in children() if sid != session and pid not in CHILDREN and pid not in before]


def reap(pids: Iterable[int]) -> None:
    """Collect the exit statuses of these children, if they have ended."""
    for pid in pids:
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass


def end_orphans(before: set[int]) -> None:
    """End what assets left behind (each with its process group) and reap it."""
    left = orphans(before)
    if left:
        def still_there(pid: int) -> bool:
            reap([pid])
            return _stat(pid) is not None

        end_groups(left, kill=kill_leader_and_group, alive=still_there)
        reap(left)
