"""The worker's two files under a killed worker, racing workers, links and
FIFOs at their names, a changed working directory and a full disk: a
success record only ever sits beside that run's complete value. Each case
runs against the engine's materialize_asset and against the Python write
of every other format (vorda.materialize, writing JSON here so the files
compare)."""

import errno
import importlib
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

import vorda
from vorda._vorda import materialize_asset
from vorda.materialize import materialize

# Children run in other directories and must find this same package.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(vorda.__file__)))

ASSETS = """
import os
import time

def small():
    return [0]

def big():
    return list(range(4_000_000))

def _racer(n):
    def racer(barrier):
        # All racers return at the same moment, so their writes overlap.
        open(os.path.join(barrier, str(n)), "w").close()
        while len(os.listdir(barrier)) < 4:
            time.sleep(0.001)
        return [n] * 300_000
    return racer

racer0, racer1, racer2, racer3 = (_racer(n) for n in range(4))

def moves(to):
    os.chdir(to)
    return "moved"
"""

# How each writer runs an asset: the engine, or the Python path.
WRITERS = {
    "engine": "from vorda._vorda import materialize_asset as run\n",
    "python": "import importlib\nfrom vorda.materialize import materialize\n"
              "def run(module, function, out, inputs=None):\n"
              "    materialize(module, function, out, inputs, None, getattr(importlib.import_module(module), function))\n",
}

RUN = """
import sys
for _ in range(int(sys.argv[4])):
    run("crash_assets", sys.argv[1], sys.argv[2], sys.argv[3] or None)
"""


@pytest.fixture(params=sorted(WRITERS))
def writer(request):
    return request.param


class Work(type(pathlib.Path())):
    writer = "engine"


@pytest.fixture
def work(tmp_path, writer):
    (tmp_path / "crash_assets.py").write_text(ASSETS)
    made = Work(tmp_path)
    made.writer = writer
    return made


def run_in_process(writer, module, function, out, inputs=None):
    if writer == "engine":
        return materialize_asset(module, function, out, inputs)
    return materialize(module, function, out, inputs, None, getattr(importlib.import_module(module), function))


def env():
    path = os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))
    return {**os.environ, "PYTHONPATH": path}


def worker(work, function, out, inputs="", times=1, **kwargs):
    command = [sys.executable, "-c", WRITERS[work.writer] + RUN, function, str(out), inputs, str(times)]
    return subprocess.Popen(command, cwd=work, env=env(), **kwargs)


def finished(proc, timeout=120):
    try:
        return proc.wait(timeout=timeout)
    finally:
        proc.kill()


def listing(out):
    return sorted(os.listdir(out))


def record(out):
    return json.loads((out / "result.json").read_bytes())


def test_killed_while_writing_a_large_value(work):
    out = work / "out"
    assert finished(worker(work, "small", out)) == 0
    big = json.dumps(list(range(4_000_000))).encode()

    proc = worker(work, "big", out)
    caught = False
    deadline = time.monotonic() + 120
    while proc.poll() is None and time.monotonic() < deadline:
        # The first sign of the big value on disk, whatever its file name.
        if any(e.name != "result.json" and e.stat(follow_symlinks=False).st_size > 1000 for e in os.scandir(out)):
            proc.send_signal(signal.SIGKILL)
            caught = True
            break
    finished(proc)
    if not caught:
        pytest.fail("the worker was never seen writing its value")

    value = (out / "value.json").read_bytes() if (out / "value.json").exists() else None
    if (out / "result.json").exists():
        assert record(out)["ok"] and record(out)["function_name"] == "big"
        assert value == big
    else:
        # The old success record went before the asset ran; the old value
        # may stay, whole.
        assert value in (None, b"[0]", big)

    # The next run that ends leaves exactly the two files.
    assert finished(worker(work, "small", out)) == 0
    assert record(out)["ok"] and (out / "value.json").read_bytes() == b"[0]"
    assert [n for n in listing(out) if not n.endswith(".tmp")] == ["result.json", "value.json"]


def test_racing_workers_leave_one_runs_pair(work):
    out = work / "out"
    for race in range(5):
        barrier = work / f"barrier{race}"
        barrier.mkdir()
        inputs = json.dumps({"barrier": str(barrier)})
        procs = [worker(work, f"racer{n}", out, inputs) for n in range(4)]
        assert [finished(p) for p in procs] == [0, 0, 0, 0]
        result = record(out)
        assert result["ok"]
        # The value of the run that wrote the record, whole.
        winner = int(result["function_name"][-1])
        assert (out / "value.json").read_bytes() == json.dumps([winner] * 300_000).encode()
        assert listing(out) == ["result.json", "value.json"]


@pytest.mark.parametrize("value_kind, result_kind", [("link", "dangling"), ("dangling", "link"), ("fifo", "fifo")])
def test_links_and_fifos_at_the_names_are_replaced(work, value_kind, result_kind):
    out, outside = work / "out", work / "outside"
    out.mkdir()
    outside.mkdir()
    (outside / "kept").write_text("keep")
    for name, kind in (("value.json", value_kind), ("result.json", result_kind)):
        if kind == "link":
            (out / name).symlink_to(outside / "kept")
        elif kind == "dangling":
            (out / name).symlink_to(outside / ("new-" + name))
        else:
            os.mkfifo(out / name)
    try:
        assert finished(worker(work, "small", out), timeout=60) == 0
    except subprocess.TimeoutExpired:
        pytest.fail("the worker hung on the names in place")
    assert listing(outside) == ["kept"] and (outside / "kept").read_text() == "keep"
    assert listing(out) == ["result.json", "value.json"]
    assert not any(os.path.islink(out / n) for n in listing(out))
    assert (out / "value.json").read_bytes() == b"[0]" and record(out)["ok"]


def test_files_go_where_output_dir_named_at_the_start(work, monkeypatch, moddir):
    moddir.write("crash_moving", ASSETS)
    start, elsewhere = work / "start", work / "elsewhere"
    start.mkdir()
    elsewhere.mkdir()
    monkeypatch.chdir(start)
    run_in_process(work.writer, "crash_moving", "small", "out")
    run_in_process(work.writer, "crash_moving", "moves", "out", json.dumps({"to": str(elsewhere)}))
    assert listing(elsewhere) == []
    assert (start / "out" / "value.json").read_bytes() == b'"moved"'
    assert record(start / "out")["function_name"] == "moves"
    assert record(start / "out")["value_path"] == "out/value.json"


FULL_DISK = """
import errno, json, os, sys
out = os.path.join(sys.argv[1], "out")
run("crash_assets", "small", out)
filler = os.open(os.path.join(sys.argv[1], "filler"), os.O_WRONLY | os.O_CREAT)
try:
    while True:
        os.write(filler, b"x" * 4096)
except OSError as error:
    assert error.errno == errno.ENOSPC
try:
    run("crash_assets", "small", out)
    outcome = "returned"
except SystemExit:
    outcome = "exit"
except OSError as error:
    outcome = errno.errorcode[error.errno]
print(json.dumps([outcome, sorted(os.listdir(out))]))
"""


def test_full_disk_leaves_no_record(work):
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("a small file system to fill needs root and unshare(1)")
    disk = work / "disk"
    disk.mkdir()
    # A private mount namespace: the tmpfs is gone with the process.
    script = 'mount -t tmpfs -o size=64k tmpfs "$1" || exit 99; shift; exec "$@"'
    command = ["unshare", "--mount", "sh", "-c", script, "sh", str(disk), sys.executable, "-c",
               WRITERS[work.writer] + FULL_DISK, str(disk)]
    done = subprocess.run(command, cwd=work, env=env(), capture_output=True, text=True, timeout=120)
    if done.returncode == 99 or "unshare failed" in done.stderr:
        pytest.skip(f"cannot mount a small file system here: {done.stderr.strip()}")
    assert done.returncode == 0, done.stderr
    outcome, names = json.loads(done.stdout)
    # The run could write neither record: it raises the write's error and
    # leaves no result.json (the old one included) and no temporary file.
    assert outcome == errno.errorcode[errno.ENOSPC]
    assert names == ["value.json"]
