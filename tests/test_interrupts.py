"""Ctrl-C and signals reach the user during discovery; the native types
cannot be changed from Python. Each case runs in a subprocess, so a hang or
a crash fails the test instead of the test run."""

import os
import selectors
import signal
import subprocess
import sys
import textwrap

import pytest

import vorda

# The child runs in another directory and must find this same package.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(vorda.__file__)))


def next_line(proc, timeout=20):
    """The child's next stdout line, or a failure after `timeout` seconds."""
    with selectors.DefaultSelector() as selector:
        selector.register(proc.stdout, selectors.EVENT_READ)
        if not selector.select(timeout):
            proc.kill()
            pytest.fail(f"no output from the child in {timeout} s")
    return proc.stdout.readline()


def child(code, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE, text=True, **kwargs
    )


def test_types_cannot_be_changed_or_instantiated():
    code = """
    import vorda._vorda as m
    for t in (m.AssetWrapper, m.Partitions):
        for mutate in (
            lambda: setattr(t, "__new__", lambda cls: object.__new__(cls)),
            lambda: setattr(t, "__vorda_kind__", "other"),
            lambda: delattr(t, "__doc__"),
        ):
            try:
                mutate()
            except TypeError:
                pass
            else:
                print("changed", t.__name__)
        for make in (t, lambda: t.__new__(t), lambda: object.__new__(t)):
            try:
                make()
            except TypeError as error:
                print(error)
            else:
                print("made", t.__name__)
    w = m.asset()(len)
    print(w.__vorda_kind__)
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "asset"
    assert lines[0] == "No constructor defined for AssetWrapper"
    assert lines[3] == "No constructor defined for Partitions"
    assert not [line for line in lines if line.startswith(("changed", "made"))]


def test_ctrl_c_during_an_import_stops_discovery(tmp_path):
    (tmp_path / "slow_module.py").write_text("import time\nprint('importing', flush=True)\ntime.sleep(60)\n")
    proc = subprocess.Popen(
        [sys.executable, "-m", "vorda.inspect", "slow_module"],
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))},
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert next_line(proc) == "importing\n"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    # No report and no skip line: the command ends as Python does on Ctrl-C.
    assert proc.returncode == -signal.SIGINT, err
    assert out == ""
    assert "skipping module" not in err


def test_signal_ends_a_skip_line_blocked_on_a_full_pipe():
    code = """
    import os, sys, threading, time
    from vorda._vorda import inspect_modules

    # fd 2 becomes a pipe that is full and never read.
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    for size in (65536, 1):
        try:
            while True:
                os.write(write_end, b"x" * size)
        except BlockingIOError:
            pass
    os.set_blocking(write_end, True)
    os.dup2(write_end, 2)

    def heartbeat():
        time.sleep(1)  # the main thread is blocked in the write by then
        print("other threads run", flush=True)

    threading.Thread(target=heartbeat, daemon=True).start()
    try:
        inspect_modules(["no_such_module_for_vorda"])
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print("returned", flush=True)
    """
    proc = child(code)
    try:
        # The main thread is blocked writing the skip line, and yet the
        # other thread runs; then Ctrl-C ends the call.
        assert next_line(proc) == "other threads run\n"
        proc.send_signal(signal.SIGINT)
        assert next_line(proc) == "interrupted\n"
        assert proc.wait(timeout=30) == 0
    finally:
        proc.kill()
        proc.stdout.close()
