"""Command-line conventions of `vorda.worker` and `vorda.inspect`: input
checks before anything runs, --strict, failure lines, --version, --help."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import vorda
import vorda.inspect
import vorda.worker

PACKAGE_ROOT = str(pathlib.Path(vorda.__file__).resolve().parent.parent)

ASSETS = """\
from vorda import asset

@asset()
def total(orders: list) -> int:
    return sum(orders)
"""


@pytest.fixture
def command(moddir):
    """Run `python -m vorda.<name>` in a directory holding the module shop.assets."""
    moddir.write("shop.assets", ASSETS)

    def run(name, *args, stdin=None):
        return subprocess.run(
            [sys.executable, "-m", f"vorda.{name}", *args],
            cwd=moddir.path,
            env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
            input=stdin,
            capture_output=True,
            text=True,
            timeout=60,
        )

    run.path = moddir.path
    return run


@pytest.mark.parametrize(
    "option, text, expected",
    [
        ("--inputs", "{bad", "argument --inputs: not valid JSON: Expecting property name enclosed in double quotes"),
        ("--inputs", "", "argument --inputs: not valid JSON: Expecting value: line 1 column 1 (char 0)"),
        ("--inputs", "[1,2]", "argument --inputs: expected a JSON object, got an array"),
        ("--inputs", "[" * 100000, "argument --inputs: not valid JSON: nested too deeply"),
        ("--inputs-file", "null", "argument --inputs-file: expected a JSON object, got null"),
        ("--inputs-file", '"x"\n', "argument --inputs-file: expected a JSON object, got a string"),
    ],
)
def test_worker_refuses_inputs_before_running(command, option, text, expected):
    if option == "--inputs-file":
        (command.path / "in.json").write_text(text, encoding="utf-8")
        text = "in.json"
    done = command("worker", "shop.assets", "total", "out", option, text)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith(f"python -m vorda.worker: error: {expected}")
    assert done.stderr.count("\n") == 1
    assert not (command.path / "out").exists()


def test_worker_reads_inputs_from_stdin(command):
    done = command("worker", "shop.assets", "total", "out", "--inputs-file", "-", stdin='{"orders": [3, 4]}')
    assert done.returncode == 0, done.stderr
    assert (command.path / "out/value.json").read_text() == "7"
    refused = command("worker", "shop.assets", "total", "out2", "--inputs-file", "-", stdin="7")
    assert refused.returncode == 2
    assert refused.stderr == "python -m vorda.worker: error: argument --inputs-file: expected a JSON object, got a number\n"


def test_worker_error_style_follows_the_given_prog(capsys, tmp_path):
    # How `vorda worker` calls it; an input error returns before anything runs.
    status = vorda.worker.main(["m", "f", str(tmp_path / "out"), "--inputs", "[]"], prog="vorda worker")
    assert status == 2
    assert capsys.readouterr().err == "vorda worker: error: argument --inputs: expected a JSON object, got an array\n"
    with pytest.raises(SystemExit) as usage:
        vorda.inspect.main([], prog="vorda inspect")
    assert usage.value.code == 2
    assert "vorda inspect: error: the following arguments are required: MODULE" in capsys.readouterr().err


def test_prog_under_a_vorda_script(command):
    # Launched as a script named `vorda`, the command calls itself `vorda worker`.
    script = command.path / "vorda"
    script.write_text("import sys\nfrom vorda.worker import main\nsys.exit(main(sys.argv[2:]))\n")
    done = subprocess.run(
        [sys.executable, str(script), "worker", "m", "f", "out", "--inputs", "1"],
        env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 2
    assert done.stderr == "vorda worker: error: argument --inputs: expected a JSON object, got a number\n"


def test_inspect_strict_fails_on_a_skipped_module(command):
    loose = command("inspect", "shop.assets", "shop.missing")
    strict = command("inspect", "--strict", "shop.assets", "shop.missing")
    skip = "vorda: skipping module 'shop.missing': ModuleNotFoundError: No module named 'shop.missing'\n"
    assert loose.returncode == 0 and loose.stderr == skip
    assert strict.returncode == 1 and strict.stdout == ""
    assert strict.stderr == skip + "python -m vorda.inspect: error: --strict: could not import shop.missing\n"


def test_inspect_failure_names_module_and_asset(command):
    command.path.joinpath("shop/broken.py").write_text("from vorda import asset\n\nunreadable = asset()(len)\n")
    done = command("inspect", "shop.assets", "shop.broken")
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith("python -m vorda.inspect: error: module shop.broken, asset unreadable: TypeError: ")
    assert done.stderr.count("\n") == 1


def test_inspect_report_is_the_one_call_report(command):
    # The command inspects one module per call; the joined report must be
    # what a single call over all of them gives.
    command.path.joinpath("shop/more.py").write_text("from vorda import asset\n\n@asset()\ndef more():\n    return 1\n")
    command.path.joinpath("shop/none.py").write_text("x = 1\n")
    names = ["shop.none", "shop.more", "shop.none", "shop.more"]
    done = command("inspect", "--strict", *names)
    assert done.returncode == 0, done.stderr
    one_call = subprocess.run(
        [sys.executable, "-c", f"import sys, vorda; sys.stdout.write(vorda.inspect_modules({names!r}))"],
        cwd=command.path,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, str(command.path)])),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.stdout == one_call.stdout + "\n"
    assert len(json.loads(done.stdout)["assets"]) == 2


@pytest.mark.parametrize("name", ["inspect", "worker"])
def test_version_and_exit_statuses_in_help(command, name):
    version = command(name, "--version")
    assert version.returncode == 0 and version.stdout == f"vorda {vorda.__version__}\n"
    helped = command(name, "--help")
    assert helped.returncode == 0
    statuses = helped.stdout.split("exit status:\n", 1)[1]
    assert [line.split()[0] for line in statuses.splitlines() if line[:3].strip()] == ["0", "1", "2", "130"]
