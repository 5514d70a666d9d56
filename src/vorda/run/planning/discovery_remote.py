"""The discovery process of ``vorda run``:

    python -m vorda.run.planning.discovery_remote MODULE ...

Inspects each module as ``vorda inspect`` does and writes one JSON object on
standard output: ``{"assets": [...], "formats": [...]}``, the report's
records, each with what the runner needs beside it: ``"bound_name"`` (the
module attribute that holds the asset, which the worker looks up),
``"wrapper"`` (the same number for the same asset object, wherever it is
bound) and ``"module_file"``; then the names ``serializer=`` takes, those
the modules registered while they imported included. Whatever the
modules write to standard output while they import goes nowhere: the report
has the descriptor to itself. Exit status 1 with one error line when a
module's inspection fails, as ``vorda inspect``.
"""

from __future__ import annotations

import importlib
import inspect
import json
import os
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

from vorda import _command
from vorda._vorda import inspect_modules
from vorda.inspect import report_failure

PROG = "vorda run: discovery"


def _bound_assets(module: ModuleType) -> list[tuple[str, object]]:
    """The module's asset members as the engine lists them: (name, object)."""
    found = []
    for name, member in inspect.getmembers(module):
        try:
            kind = getattr(member, "__vorda_kind__")
        except Exception:
            continue
        if isinstance(kind, str) and str(kind) == "asset":
            found.append((name, member))
    return found


def _module_file(module: ModuleType) -> str:
    try:
        return str(Path(str(module.__file__)).resolve())
    except Exception:
        return ""


def _records(name: str) -> list[dict[str, Any]]:
    records: list[dict[str, Any]] = json.loads(inspect_modules([name]))["assets"]
    module = sys.modules.get(name)
    if module is None:
        return records  # skipped: the engine said why on standard error
    bound = _bound_assets(module)
    if len(bound) != len(records):
        raise RuntimeError(f"the assets of {name} changed while it was inspected")
    for record, (attribute, member) in zip(records, bound):
        record.update(bound_name=attribute, wrapper=id(member), module_file=_module_file(module))
    return records


def _discover(modules: list[str], report: int) -> int:
    records: list[dict[str, Any]] = []
    for name in modules:
        try:
            records.extend(_records(name))
        except KeyboardInterrupt:
            raise
        except BaseException as error:  # SystemExit from user code is a failure too
            report_failure(PROG, name, error)
            return _command.ExitStatus.FAILED
    formats = importlib.import_module("vorda.values").names()  # after the modules' imports
    data = json.dumps({"assets": records, "formats": formats}, ensure_ascii=False).encode("utf-8", "surrogatepass")
    with os.fdopen(report, "wb") as out:
        out.write(data)
    return _command.ExitStatus.OK


def main(argv: list[str]) -> int:
    # The report keeps standard output's descriptor; what the modules print
    # while they import goes nowhere instead.
    report = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    return _command.run_command(PROG, lambda: _discover(argv, report))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
