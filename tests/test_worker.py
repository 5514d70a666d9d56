import json
import os
import pathlib
import subprocess
import sys

import pytest

import vorda

PACKAGE_ROOT = str(pathlib.Path(vorda.__file__).resolve().parent.parent)

ASSETS = """
from vorda import asset

@asset()
def total(orders: list) -> int:
    if not orders:
        raise ValueError("no orders\\nat all")
    return sum(orders)
"""


@pytest.fixture
def worker(moddir):
    """Run `python -m vorda.worker` in the module directory."""
    moddir.write("shop.assets", ASSETS)
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)

    def run(*args, flags=()):
        return subprocess.run(
            [sys.executable, *flags, "-m", "vorda.worker", *args],
            cwd=moddir.path, env=env, capture_output=True, text=True, timeout=60,
        )

    run.path = moddir.path
    return run


def test_success_is_silent(worker):
    done = worker("shop.assets", "total", "out/t", "--inputs", '{"orders": [3, 4]}')
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert (worker.path / "out/t/value.json").read_text() == "7"
    assert json.loads((worker.path / "out/t/result.json").read_text())["value_path"] == "out/t/value.json"


def test_inputs_file_and_no_implicit_path(worker):
    (worker.path / "in.json").write_text('{"orders": [5]}', encoding="utf-8")
    # -P keeps the working directory off sys.path; the worker adds it itself.
    done = worker("shop.assets", "total", "out", "--inputs-file", "in.json", flags=("-P",))
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert (worker.path / "out/value.json").read_text() == "5"


def test_failed_run(worker):
    done = worker("shop.assets", "total", "out/t", "--inputs", '{"orders": []}')
    assert done.returncode == 1 and done.stdout == ""
    # The traceback first (for the log), then the one error line.
    assert done.stderr.startswith("Traceback (most recent call last):\n")
    assert "vorda worker: raised at shop/assets.py:" in done.stderr
    assert done.stderr.endswith(
        "python -m vorda.worker: error: asset shop.assets:total failed; see out/t/result.json: ValueError: no orders\\nat all\n"
    )
    assert json.loads((worker.path / "out/t/result.json").read_text())["ok"] is False


@pytest.mark.parametrize(
    "args, expected",
    [
        (["shop.assets", "total", "blocker"], "python -m vorda.worker: error: FileExistsError: "),
        (["shop.assets", "total", "out", "--inputs", "{}", "--inputs-file", "x"], "not allowed with argument"),
        (["shop.assets", "total", "out", "--inputs-file", "missing.json"], "argument --inputs-file: cannot read missing.json"),
        (["shop.assets", "total"], "the following arguments are required: OUTPUT_DIR"),
    ],
)
def test_usage_errors(worker, args, expected):
    (worker.path / "blocker").write_text("")
    done = worker(*args)
    assert done.returncode == 2 and done.stdout == ""
    assert expected in done.stderr
    assert not (worker.path / "out").exists()


def test_help(worker):
    done = worker("--help")
    assert done.returncode == 0
    assert "MODULE FUNCTION OUTPUT_DIR" in done.stdout and "--inputs-file PATH" in done.stdout
