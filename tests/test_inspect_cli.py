import json
import os
import pathlib
import subprocess
import sys

import pytest

import vorda
from vorda._vorda import inspect_modules

PACKAGE_ROOT = str(pathlib.Path(vorda.__file__).resolve().parent.parent)

SALES = """\
from vorda import asset

@asset(name="caf\u00e9")
def daily_totals() -> dict:
    return {"total": 42}
"""


def run(cwd, *args, python_flags=(), **env):
    environment = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, **env)
    return subprocess.run(
        [sys.executable, *python_flags, "-m", "vorda.inspect", *args],
        cwd=cwd,
        env=environment,
        capture_output=True,
        timeout=60,
    )


@pytest.fixture
def shop(moddir):
    moddir.write("shop.sales", SALES)
    moddir.write("shop.more", "from vorda import asset\n\n@asset()\ndef more():\n    return 1\n")
    return moddir.path


class TestCommand:
    def test_prints_the_exact_report(self, shop):
        result = run(shop, "shop.sales", "shop.more")
        assert result.returncode == 0, result.stderr
        assert result.stdout == (inspect_modules(["shop.sales", "shop.more"]) + "\n").encode("utf-8")
        assert result.stderr == b""

    def test_utf8_output_whatever_the_locale(self, shop):
        result = run(shop, "shop.sales", PYTHONIOENCODING="ascii")
        assert result.returncode == 0, result.stderr
        assert result.stdout == (inspect_modules(["shop.sales"]) + "\n").encode("utf-8")
        assert "caf\u00e9".encode("utf-8") in result.stdout

    def test_current_directory_is_searched(self, shop):
        # -P keeps the interpreter from adding it; the command does.
        result = run(shop, "shop.sales", python_flags=("-P",))
        assert result.returncode == 0, result.stderr
        assert json.loads(result.stdout)["assets"][0]["function_name"] == "daily_totals"

    def test_skipped_module_is_reported_and_the_run_succeeds(self, shop):
        result = run(shop, "shop.nothing", "shop.more")
        assert result.returncode == 0
        assert result.stderr == b"vorda: skipping module 'shop.nothing': ModuleNotFoundError: No module named 'shop.nothing'\n"
        assert [r["function_name"] for r in json.loads(result.stdout)["assets"]] == ["more"]

    def test_failed_call_exits_1_with_one_line(self, shop):
        result = run(shop, "shop.more", "sys")
        assert result.returncode == 1
        assert result.stdout == b""
        assert result.stderr == b"python -m vorda.inspect: error: module sys: TypeError: <module 'sys' (built-in)> is a built-in module\n"

    def test_multi_line_and_base_exception_messages_stay_one_line(self, moddir):
        moddir.write(
            "shop.exits",
            """\
            import sys

            class Member:
                @property
                def __vorda_kind__(self):
                    return "asset"

                @property
                def __vorda_metadata__(self):
                    raise SystemExit("first\\nsecond")

            member = Member()
            """,
        )
        result = run(moddir.path, "shop.exits")
        assert result.returncode == 1
        assert result.stderr == b"python -m vorda.inspect: error: module shop.exits, asset member: SystemExit: first\\nsecond\n"

    def test_pretty(self, shop):
        result = run(shop, "--pretty", "shop.sales")
        assert result.returncode == 0, result.stderr
        report = json.loads(inspect_modules(["shop.sales"]))
        expected = json.dumps(report, indent=2, ensure_ascii=False, sort_keys=True) + "\n"
        assert result.stdout.decode("utf-8") == expected
        assert "caf\u00e9" in expected and '\n  "assets": [' in expected

    def test_help_and_usage(self, tmp_path):
        result = run(tmp_path, "--help")
        assert result.returncode == 0
        assert result.stdout.startswith(b"usage: python -m vorda.inspect")
        assert b"--pretty" in result.stdout
        missing = run(tmp_path)
        assert missing.returncode == 2
        assert b"MODULE" in missing.stderr and missing.stdout == b""
