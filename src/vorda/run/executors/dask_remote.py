"""What a Dask task of ``vorda run --executor dask`` does on its worker.

Standard library and vorda only (``distributed`` is imported only to see
whether the run was stopped), so unpickling the task needs nothing else.

The task runs ``python -m vorda.worker`` in a fresh process, in a temporary
directory of the worker, and returns the two files' contents, the exit code
and the log; the runner writes them into its store. Nothing is shared with
the runner's filesystem.
"""

from __future__ import annotations

import hashlib
import importlib
import io
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
from pathlib import Path
from typing import Any, Sequence

from vorda.run.executors.groups import Lifeline, end_groups, kill_group
from vorda.run.search_path import with_python_path
from vorda.run.timing import DASK_BEAT_TIMEOUT, STOP_POLL

LOG_LIMIT = 8 << 20  # the end of a longer log is kept


def pack(folders: list[str], limit: int, leave_out: Sequence[str] = ()) -> bytes:
    """A zip of plain directories of modules (``0/...``, ``1/...``): regular
    files only, links, hidden entries, ``__pycache__`` and the `leave_out`
    folders (the store) left out. Raises ValueError naming the folder that
    takes the total past ``limit``."""
    buffer = io.BytesIO()
    total = 0
    skip = {os.path.realpath(folder) for folder in leave_out}
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for index, folder in enumerate(folders):
            for root, dirs, files in os.walk(folder):
                dirs[:] = sorted(
                    d for d in dirs
                    if not d.startswith(".") and d != "__pycache__" and os.path.realpath(os.path.join(root, d)) not in skip
                )
                for name in sorted(files):
                    path = os.path.join(root, name)
                    info = os.lstat(path)
                    if name.startswith(".") or not stat.S_ISREG(info.st_mode):
                        continue
                    total += info.st_size
                    if total > limit:
                        raise ValueError(folder)
                    archive.write(path, f"{index}/{os.path.relpath(path, folder)}")
    return buffer.getvalue()


def unpack(archive: bytes, count: int) -> list[str]:
    """The shipped folders on this worker, unpacked once per archive."""
    digest = hashlib.sha256(archive).hexdigest()[:24]
    target = Path(tempfile.gettempdir()) / f"vorda-paths-{os.getuid()}-{digest}"
    if not target.is_dir():
        staging = Path(tempfile.mkdtemp(prefix="vorda-paths-"))
        with zipfile.ZipFile(io.BytesIO(archive)) as zipped:
            zipped.extractall(staging)
        try:
            os.rename(staging, target)
        except OSError:  # another task got there first
            shutil.rmtree(staging, ignore_errors=True)
    return [str(target / str(n)) for n in range(count)]


class _Watch:
    """Whether the run still wants the job: neither the run's stop flag nor
    the job's own cancel flag is set, and the runner's heartbeat (a counter
    it moves every second) still moves. A heartbeat that stops, or a
    scheduler that cannot be reached, for DASK_BEAT_TIMEOUT means the runner
    is gone, and so must the job be."""

    def __init__(self, signals: dict[str, str] | None) -> None:
        self.signals = signals
        self.beat: Any = None
        self.moved = time.monotonic()

    def stop(self) -> bool:
        if not self.signals:
            return False
        try:
            distributed: Any = importlib.import_module("distributed")
            for flag in ("stop", "cancel"):
                if distributed.Event(self.signals[flag]).is_set():
                    return True
            beat = distributed.Variable(self.signals["beat"]).get(timeout=1)
        except Exception:  # not on a Dask worker, or the scheduler is unreachable
            beat = self.beat
        if beat != self.beat:
            self.beat, self.moved = beat, time.monotonic()
        return time.monotonic() - self.moved > DASK_BEAT_TIMEOUT


SCRATCH = "vorda-job-"


def _sweep_scratch() -> None:
    """Remove the scratch folders of Dask worker processes that have ended
    (killed with their run before they could clean up)."""
    base = Path(tempfile.gettempdir())
    try:
        entries = list(base.glob(SCRATCH + "*-*"))
    except OSError:
        return
    for entry in entries:
        owner = entry.name[len(SCRATCH):].split("-", 1)[0]
        if owner.isdigit() and int(owner) != os.getpid() and not _alive(int(owner)):
            shutil.rmtree(entry, ignore_errors=True)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def _read(path: Path, limit: int | None = None) -> bytes | None:
    try:  # a link the asset made is not followed off to another file
        with os.fdopen(os.open(path, os.O_RDONLY | os.O_NOFOLLOW), "rb") as stream:
            if limit is not None:
                stream.seek(0, os.SEEK_END)
                stream.seek(max(0, stream.tell() - limit))
            return stream.read()
    except OSError:
        return None


def _wait(process: subprocess.Popen[bytes], ended: threading.Event) -> None:
    process.wait()
    ended.set()


def _place_refs(refs: dict[str, Any], values: list[bytes], folder: Path) -> dict[str, Any]:
    """The shipped value files written here under their own names, and the
    references pointing at them (with these files' identities)."""
    shipped = iter(values)
    for n, entry in enumerate(refs.values()):
        for m, source in enumerate(entry["sources"]):
            place = folder / f"{n}-{m}"
            place.mkdir(parents=True)
            path = place / os.path.basename(source["path"])
            path.write_bytes(next(shipped))
            info = os.stat(path)
            source["path"] = str(path)
            source["identity"] = [info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns]
    return refs


def _value_name(result: bytes | None) -> str:
    """The value file a result record names (value.json when none)."""
    try:
        named = json.loads(result or b"")["value_path"]
    except (ValueError, KeyError, TypeError):
        return "value.json"
    name = os.path.basename(named) if isinstance(named, str) else ""
    return name if name.startswith("value.") and "/" not in name else "value.json"


def run_job(
    module: str,
    function: str,
    inputs: bytes | None,
    archive: bytes | None,
    shipped: int,
    search_dirs: list[str],
    signals: dict[str, str] | None,
    refs: dict[str, Any] | None = None,
    values: list[bytes] | None = None,
) -> dict[str, Any]:
    """Run one job; {"code": exit code (-SIGNAL if killed), "out": the output
    directory used here, "value", "result", "log": bytes or None,
    "value_name"}. `refs` is the job's references file, whose value files
    come along as `values`, in its order."""
    _sweep_scratch()
    paths = unpack(archive, shipped) if archive else []
    watch = _Watch(signals)
    lifeline = Lifeline()  # the job ends, and removes its folder, if this process dies
    with tempfile.TemporaryDirectory(prefix=f"{SCRATCH}{os.getpid()}-") as tmp:
        env = lifeline.env(with_python_path([*paths, *search_dirs]), scratch=tmp)
        out = Path(tmp, "out")
        out.mkdir()
        # The files go back to the runner, which writes and flushes them.
        args = [sys.executable, "-m", "vorda.worker", "--no-flush", module, function, str(out)]
        if inputs is not None:
            Path(tmp, "inputs.json").write_bytes(inputs)
            args += ["--inputs-file", str(Path(tmp, "inputs.json"))]
        if refs is not None:
            placed = _place_refs(refs, values or [], Path(tmp, "values"))
            Path(tmp, "refs.json").write_text(json.dumps(placed), encoding="utf-8")
            args += ["--refs-file", str(Path(tmp, "refs.json"))]
        with open(Path(tmp, "log"), "wb") as log:
            try:
                process = subprocess.Popen(args, cwd=tmp, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env,
                                           pass_fds=(lifeline.read_fd,), start_new_session=True)
            except BaseException:
                lifeline.close()
                raise
            ended = threading.Event()
            threading.Thread(target=_wait, args=(process, ended), daemon=True).start()
            try:
                while not ended.wait(STOP_POLL):
                    if watch.stop():
                        end_groups([process.pid], alive=lambda group: not ended.is_set(), pause=ended.wait)
                        break
            finally:
                # Whatever the asset left running in its group goes with it.
                kill_group(process.pid, signal.SIGKILL)
                code = process.wait()
                lifeline.close()
        result = _read(out / "result.json")
        name = _value_name(result)
        return {
            "code": code,
            "out": str(out),
            "value": _read(out / name),
            "value_name": name,
            "result": result,
            "log": _read(Path(tmp, "log"), LOG_LIMIT),
        }
