"""The example pipeline, end to end, in a temporary copy."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture
def examples(tmp_path):
    if not EXAMPLES.is_dir():
        pytest.skip("examples are not part of this checkout")
    copy = tmp_path / "examples"
    shutil.copytree(EXAMPLES, copy, ignore=shutil.ignore_patterns("out", "__pycache__"))
    return copy


def run(examples, *args):
    return subprocess.run(
        [sys.executable, str(examples / "run_pipeline.py"), "--out", str(examples / "out"), *args],
        capture_output=True,
        text=True,
        timeout=300,
    )


def result(examples, *parts):
    return json.loads((examples / "out").joinpath(*parts, "result.json").read_text(encoding="utf-8"))


def test_pipeline_runs_every_job(examples):
    done = run(examples)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "discovered 6 assets, 11 jobs" in done.stdout
    totals = json.loads((examples / "out" / "customer_totals" / "value.json").read_text())
    assert totals["ada"] == {"name": "Ada Lovelace", "total": 162.75}
    sales = result(examples, "daily_sales", "day=2026-12-02-region=north")
    assert sales["ok"] is True and sales["result_type"] == "dict"
    assert sales["signature"] == "(orders: list, day: str, region: str) -> dict"
    value = json.loads(Path(sales["value_path"]).read_text())
    assert value == {"day": "2026-12-02", "region": "north", "orders": 2, "revenue": 352.25}
    top = json.loads((examples / "out" / "top_customer" / "value.json").read_text())
    assert top == "Cyrus Smith (310.00)"
    # Upstream jobs run before the jobs that read them.
    lines = [line for line in done.stdout.splitlines() if line.startswith("[")]
    order = [line.split()[1] for line in lines]
    assert order.index("shop.raw:orders") < order.index("shop.transform:customer_totals") < order.index(
        "shop.report:top_customer"
    )


def test_failed_job_is_reported_and_fails_the_run(examples):
    done = run(examples, "--fail")
    assert done.returncode == 1
    audit = result(examples, "audit")
    assert audit == {
        "error": "RuntimeError: audit found 4 customers but expected a signed ledger",
        "error_type": "RuntimeError",
        "ok": False,
    }
    assert "shop.report:audit ... failed" in done.stdout
    assert result(examples, "top_customer")["ok"] is True
