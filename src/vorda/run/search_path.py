"""The module search path of discovery and of every job."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Mapping


def with_python_path(dirs: list[str], environ: Mapping[str, str] | None = None) -> dict[str, str]:
    """`environ` (default: this process's) with `dirs` before its PYTHONPATH."""
    base = os.environ if environ is None else environ
    inherited = [p for p in base.get("PYTHONPATH", "").split(os.pathsep) if p]
    return dict(base, PYTHONPATH=os.pathsep.join([*dirs, *inherited]))


class SearchPath:
    """The --path directories, then the current directory, then PYTHONPATH."""

    def __init__(self, extra: list[str]) -> None:
        self.extra = list(extra)
        own = [os.path.abspath(p) for p in [*extra, os.getcwd()]]
        self.env = with_python_path(own)
        self.dirs = self.env["PYTHONPATH"].split(os.pathsep)

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
