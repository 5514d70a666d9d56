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
import zipfile
from pathlib import Path
from typing import Any

from vorda.run.executors.groups import end_groups, kill_group
from vorda.run.search_path import with_python_path
from vorda.run.timing import STOP_POLL

LOG_LIMIT = 8 << 20  # the end of a longer log is kept


def pack(folders: list[str], limit: int) -> bytes:
    """A zip of plain directories of modules (``0/...``, ``1/...``): regular
    files only, links, hidden entries and ``__pycache__`` left out. Raises
    ValueError naming the folder that takes the total past ``limit``."""
    buffer = io.BytesIO()
    total = 0
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for index, folder in enumerate(folders):
            for root, dirs, files in os.walk(folder):
                dirs[:] = sorted(d for d in dirs if not d.startswith(".") and d != "__pycache__")
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


def _stop_requested(name: str | None) -> bool:
    if name is None:
        return False
    try:
        distributed: Any = importlib.import_module("distributed")
        return bool(distributed.Event(name).is_set())
    except Exception:  # not on a Dask worker, or the scheduler is unreachable
        return False


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
    for n, spec in enumerate(refs.values()):
        for m, source in enumerate(spec["sources"]):
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
    stop_event: str | None,
    refs: dict[str, Any] | None = None,
    values: list[bytes] | None = None,
) -> dict[str, Any]:
    """Run one job; {"code": exit code (-SIGNAL if killed), "out": the output
    directory used here, "value", "result", "log": bytes or None,
    "value_name"}. `refs` is the job's references file, whose value files
    come along as `values`, in its order."""
    paths = unpack(archive, shipped) if archive else []
    env = with_python_path([*paths, *search_dirs])
    with tempfile.TemporaryDirectory(prefix="vorda-job-") as tmp:
        out = Path(tmp, "out")
        out.mkdir()
        args = [sys.executable, "-m", "vorda.worker", module, function, str(out)]
        if inputs is not None:
            Path(tmp, "inputs.json").write_bytes(inputs)
            args += ["--inputs-file", str(Path(tmp, "inputs.json"))]
        if refs is not None:
            placed = _place_refs(refs, values or [], Path(tmp, "values"))
            Path(tmp, "refs.json").write_text(json.dumps(placed), encoding="utf-8")
            args += ["--refs-file", str(Path(tmp, "refs.json"))]
        with open(Path(tmp, "log"), "wb") as log:
            process = subprocess.Popen(args, cwd=tmp, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env,
                                       start_new_session=True)
            ended = threading.Event()
            threading.Thread(target=_wait, args=(process, ended), daemon=True).start()
            try:
                while not ended.wait(STOP_POLL):
                    if _stop_requested(stop_event):
                        end_groups([process.pid], alive=lambda group: not ended.is_set(), pause=ended.wait)
                        break
            finally:
                # Whatever the asset left running in its group goes with it.
                kill_group(process.pid, signal.SIGKILL)
                code = process.wait()
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
