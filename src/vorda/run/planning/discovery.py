"""Discovery: the inspect command in a subprocess, its report as assets.

Assets are identified by their asset ref (``file_path:function_name``); an
asset imported into several modules is one asset, named after the module
that defines it.
"""

from __future__ import annotations

import hashlib
import json
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any

from vorda._command import UsageError
from vorda.run.search_path import SearchPath
from vorda.run.store.keys import canonical


@dataclass(frozen=True)
class Asset:
    ref: str  # file_path:function_name
    module: str  # the module the worker imports
    function: str
    inputs: dict[str, str]  # parameter -> asset ref
    dims: dict[str, list[Any]]  # dimension -> keys, in the report's order
    code_version: str
    modules: frozenset[str] = field(default=frozenset())  # every module it was found in

    @property
    def label(self) -> str:
        return f"{self.module}:{self.function}"


def _code_version(record: dict[str, Any]) -> str:
    text = record["function_source"] + "\0" + canonical(record["decorator_metadata"])
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:20]


def _dims(record: dict[str, Any]) -> dict[str, list[Any]]:
    dims: dict[str, list[Any]] = {}
    for dim, spec in (record["decorator_metadata"].get("partitions") or {}).items():
        keys = json.loads(spec["values_json"])
        if not isinstance(keys, list):
            raise UsageError(f"{record['module_path']}:{record['function_name']}: partition {dim!r} is not a list")
        if len({canonical(k) for k in keys}) != len(keys):
            # Two jobs would share one output directory.
            raise UsageError(f"{record['module_path']}:{record['function_name']}: partition {dim!r} repeats a key")
        dims[dim] = keys
    return dims


@dataclass(frozen=True)
class Discovery:
    assets: dict[str, Asset]  # by ref, in the order discovery reported them
    messages: str  # what the modules wrote on standard error while importing


def discover(modules: list[str], search: SearchPath) -> Discovery:
    """Import the modules in a discovery process and read its report."""
    try:
        done = subprocess.run(
            [sys.executable, "-m", "vorda.inspect", *modules],
            env=search.env,
            stdin=subprocess.DEVNULL,
            capture_output=True,
        )
    except OSError as error:
        raise UsageError(f"cannot start discovery: {error}") from None
    stderr = done.stderr.decode("utf-8", "replace").strip()
    if done.returncode != 0 or "skipping module" in stderr:
        raise UsageError("discovery failed:\n" + (stderr or f"exit status {done.returncode}"))
    try:
        # The report is the last line; a module may print while it imports.
        lines = done.stdout.strip().splitlines()
        records = json.loads(lines[-1] if lines else b"")["assets"]
        return Discovery(_assets(records, search), stderr)
    except (ValueError, KeyError, TypeError, AttributeError) as error:
        raise UsageError(f"discovery gave an unreadable report: {type(error).__name__}: {error}") from None


def _assets(records: list[dict[str, Any]], search: SearchPath) -> dict[str, Asset]:
    by_ref: dict[str, list[dict[str, Any]]] = {}
    for record in records:
        by_ref.setdefault(f"{record['file_path']}:{record['function_name']}", []).append(record)
    assets: dict[str, Asset] = {}
    for ref, found in by_ref.items():
        # The defining module if it was inspected; it surely has the function
        # under its own name, which an importing module may not.
        home = search.module_for(found[0]["file_path"])
        record = next((r for r in found if r["module_path"] == home), found[0])
        metadata = record["decorator_metadata"]
        assets[ref] = Asset(
            ref=ref,
            module=record["module_path"],
            function=record["function_name"],
            inputs=dict(metadata.get("inputs") or {}),
            dims=_dims(record),
            code_version=_code_version(record),
            modules=frozenset(r["module_path"] for r in found),
        )
    return assets
