"""The committed power tables are exactly what their generators write."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize(
    ("tool", "table"),
    [("make_pow10_table.py", "json_pow10_table.inc"), ("make_pow5_table.py", "json_pow5_table.inc")],
)
def test_generated_table_matches_committed(tool, table):
    script, committed = ROOT / "tools" / tool, ROOT / "src" / "_vorda" / table
    if not (script.is_file() and committed.is_file()):
        pytest.skip("the generators and sources are not part of this checkout")
    generated = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, check=True).stdout
    assert generated == committed.read_text(encoding="utf-8")
