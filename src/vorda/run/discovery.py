"""Discovery: the inspect command in a subprocess, its report as assets.

Assets are identified by their asset ref (``file_path:function_name``); an
asset imported into several modules is one asset, named after the module
that defines it.
"""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from vorda.run.errors import UsageError
from vorda.run.layout import canonical


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


class SearchPath:
    """The module search path of discovery and of every job: the --path
    directories, then the current directory, then PYTHONPATH."""

    def __init__(self, extra: list[str]) -> None:
        inherited = [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
        self.dirs = [os.path.abspath(p) for p in [*extra, os.getcwd()]] + inherited
        self.env = dict(os.environ, PYTHONPATH=os.pathsep.join(self.dirs))

    def module_for(self, file_path: str) -> str | None:
        """The dotted name under which a source file imports, if any."""
        path = Path(file_path)
        for folder in self.dirs:
            try:
                parts = list(path.relative_to(Path(folder).resolve()).with_suffix("").parts)
            except ValueError:
                continue
            if parts and parts[-1] == "__init__":
                parts.pop()
            if parts and all(p.isidentifier() for p in parts):
                return ".".join(parts)
        return None

    def expand(self, names: list[str]) -> list[str]:
        """A package named on the command line stands for itself and every
        module below it (found on disk, imported only by discovery). Empty
        files among them are left out: they hold no asset, and the source
        of an empty module cannot be read, which would end discovery (an
        empty ``__init__.py`` is the usual case)."""
        out: list[str] = []
        for name in names:
            folder = self._package_dir(name)
            if folder is None:
                out.append(name)
                continue
            if not _is_empty(folder / "__init__.py"):
                out.append(name)
            out.extend(_submodules(name, folder))
        return list(dict.fromkeys(out))

    def _package_dir(self, name: str) -> Path | None:
        for base in self.dirs:
            folder = Path(base, *name.split("."))
            if (folder / "__init__.py").is_file():
                return folder
        return None


def _is_empty(path: Path) -> bool:
    try:
        return path.stat().st_size == 0
    except OSError:
        return False  # discovery reports what is wrong with it


def _submodules(package: str, folder: Path) -> list[str]:
    found: list[str] = []
    for entry in sorted(folder.iterdir()):
        if entry.suffix == ".py" and entry.stem != "__init__" and entry.stem.isidentifier():
            if not _is_empty(entry):
                found.append(f"{package}.{entry.stem}")
        elif entry.is_dir() and entry.name.isidentifier() and (entry / "__init__.py").is_file():
            sub = f"{package}.{entry.name}"
            if not _is_empty(entry / "__init__.py"):
                found.append(sub)
            found.extend(_submodules(sub, entry))
    return found


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


def discover(modules: list[str], search: SearchPath) -> dict[str, Asset]:
    """Assets by ref, in the order discovery reported them."""
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
    if stderr:
        print(stderr, file=sys.stderr)
    try:
        # The report is the last line; a module may print while it imports.
        lines = done.stdout.strip().splitlines()
        records = json.loads(lines[-1] if lines else b"")["assets"]
        return _assets(records, search)
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
