"""A run started from ``vorda ui``:

    python -m vorda.ui.launched [vorda run's arguments]

``vorda run`` itself, tied to the server that started it: when the server
is gone, however it ended, the run is interrupted as by SIGTERM (its workers
ended, the run recorded as interrupted), and its process group is killed if
it has not ended after a grace period.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
import time

from vorda import _lifeline

GRACE = 20.0  # seconds an interrupted run has to end its workers and record itself


def _watch(fd: int) -> None:
    try:
        while os.read(fd, 1):
            pass
    except OSError:
        pass
    os.kill(os.getpid(), signal.SIGTERM)
    time.sleep(GRACE)
    os.killpg(0, signal.SIGKILL)


def main() -> int:
    line = _lifeline.take()
    if line:
        try:
            fd = int(line.partition(":")[0])
            os.fstat(fd)
        except (ValueError, OSError):
            pass
        else:
            threading.Thread(target=_watch, args=(fd,), name="vorda-ui-lifeline", daemon=True).start()
    from vorda.run.cli import run_main

    return run_main(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
