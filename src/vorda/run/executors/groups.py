"""Ending a job's processes: every job runs in a process group of its own,
which is ended as a whole, SIGTERM first, SIGKILL after a grace period."""

from __future__ import annotations

import os
import signal
import time
from typing import Callable, Iterable

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
