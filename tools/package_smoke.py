"""Smoke test of an installed vorda: import it, inspect and run one asset, call the script.

    python tools/package_smoke.py PYTHON

PYTHON is the interpreter of the environment the package was installed
into (a fresh one, so nothing of the working tree is seen). Exits 1 with
the reason at the first check that fails.
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
from pathlib import Path

ASSETS = """\
from vorda import asset


@asset()
def answer(x: int) -> int:
    return x * 2
"""


def run(python: str, cwd: Path, *args: str) -> str:
    done = subprocess.run([python, *args], cwd=cwd, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        sys.exit(f"package smoke: {' '.join(args)} exited {done.returncode}: {done.stderr.strip()}")
    return done.stdout


def main() -> None:
    python = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        cwd = Path(folder)
        (cwd / "smoke_assets.py").write_text(ASSETS, encoding="utf-8")
        where = run(python, cwd, "-c", "import vorda, vorda._vorda as m; print(vorda.__version__, m.__file__)")
        if "site-packages" not in where:
            sys.exit(f"package smoke: vorda was not imported from the installed package: {where.strip()}")
        print("imported:", where.strip())
        report = json.loads(run(python, cwd, "-m", "vorda.inspect", "smoke_assets"))
        names = [record["function_name"] for record in report["assets"]]
        if names != ["answer"]:
            sys.exit(f"package smoke: inspect found {names}")
        print("inspected:", names)
        run(python, cwd, "-m", "vorda.worker", "smoke_assets", "answer", "out", "--inputs", '{"x": 21}')
        value = (cwd / "out/value.json").read_text(encoding="utf-8")
        result = json.loads((cwd / "out/result.json").read_text(encoding="utf-8"))
        if value != "42" or result.get("ok") is not True:
            sys.exit(f"package smoke: worker wrote value {value!r} and result {result}")
        print("worker: value.json", value, "result.json ok:", result["ok"])
        # vorda ui serves files that ship in the package.
        shipped = run(python, cwd, "-c", "from importlib import resources as r; "
                      "print(*(len(r.files('vorda.ui').joinpath('static', n).read_bytes()) for n in ('ui.js', 'ui.css')))")
        if "0" in shipped.split():
            sys.exit(f"package smoke: vorda ui's static files are empty: {shipped}")
        print("ui static files:", shipped.strip(), "bytes")
        # The `vorda` console script, run by the environment's interpreter.
        script = str(Path(python).parent / "vorda")
        version = run(python, cwd, script, "worker", "--version").strip()
        if version != "vorda " + where.split()[0]:
            sys.exit(f"package smoke: vorda worker --version says {version!r}")
        print("console script:", version)


if __name__ == "__main__":
    main()
