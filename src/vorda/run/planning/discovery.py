"""Discovery: the modules inspected in a subprocess (discovery_remote.py),
its report as assets.

Assets are identified by their asset ref (``file_path:function_name``, as
``inputs`` names them); an asset imported into several modules is one asset,
named after the module that defines it, and the worker finds it by the
attribute name that module binds it under. Assets that share a ref (made by
one factory function, or several lambdas in one file) are told apart by
where they are bound (``module_file:bound_name``), and no input can name them.
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

from vorda._command import UsageError
from vorda.run.planning.code_version import CodeVersion, Project, code_version, same_code
from vorda.run.search_path import SearchPath
from vorda.run.store.keys import canonical, key_text


@dataclass(frozen=True)
class Asset:
    ref: str  # file_path:function_name
    module: str  # the module the worker imports
    function: str
    inputs: dict[str, str]  # parameter -> asset ref
    dims: dict[str, list[Any]]  # dimension -> keys, in the report's order
    code_version: str
    modules: frozenset[str] = field(default=frozenset())  # every module it was found in
    serializer: str | None = None  # how its value is stored (vorda.values); None: the engine's JSON
    name: str | None = None  # the decorator's name=, if given
    # What the code version covers: a definition ("clean in shop/clean.py")
    # -> its own hash.
    covers: dict[str, str] = field(default_factory=dict, compare=False)
    dynamic: tuple[str, ...] = ()  # modules covered whole: a reference could not be resolved statically
    key_texts: dict[str, list[str]] = field(default_factory=dict, compare=False)  # canonical texts of `dims`
    # The project files its code version was read from, each as it was then:
    # a job that imported them changed ran other code than the version says.
    code_files: tuple[tuple[str, str], ...] = field(default=(), compare=False)
    code: CodeVersion | None = field(default=None, compare=False)  # what `code_version` was made of
    code_of: tuple[str, str] = ("", "")  # the module and function name it was read for

    def same_code(self, project: Project) -> bool:
        """Whether the project's files, read by `project`, still give this
        asset's code version."""
        return self.code is not None and same_code(project, *self.code_of, self.code)

    def texts(self, dim: str) -> list[str]:
        """The canonical texts of a dimension's keys, in its order."""
        found = self.key_texts.get(dim)
        return found if found is not None else [key_text(k) for k in self.dims[dim]]

    @property
    def label(self) -> str:
        return f"{self.module}:{self.function}"

    @property
    def shown(self) -> str:
        """How tables show it: its name, else module:function."""
        return self.name or self.label

    @property
    def key(self) -> str:
        """What its history is kept under: its name, if it has one, so that
        the history follows the name when the function moves."""
        return f"name:{self.name}" if self.name else self.ref


def _code_version(record: dict[str, Any]) -> str:
    text = record["function_source"] + "\0" + canonical(record["decorator_metadata"])
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:20]


def _dims(record: dict[str, Any]) -> tuple[dict[str, list[Any]], dict[str, list[str]]]:
    """Each dimension's keys, and their canonical texts in the same order."""
    dims: dict[str, list[Any]] = {}
    texts: dict[str, list[str]] = {}
    for dim, entry in (record["decorator_metadata"].get("partitions") or {}).items():
        keys = json.loads(entry["values_json"])
        if not isinstance(keys, list):
            raise UsageError(f"{record['module_path']}:{record['function_name']}: partition {dim!r} is not a list")
        texts[dim] = [key_text(k) for k in keys]
        if len(set(texts[dim])) != len(keys):
            # Two jobs would share one output directory.
            raise UsageError(f"{record['module_path']}:{record['function_name']}: partition {dim!r} repeats a key")
        dims[dim] = keys
    return dims, texts


@dataclass(frozen=True)
class Discovery:
    assets: dict[str, Asset]  # by ref, in the order discovery reported them
    messages: str  # what the modules wrote on standard error while importing


def project_of(search: SearchPath) -> Project:
    """The project's own modules as code versions read them, each file read afresh."""
    return Project([*(os.path.abspath(p) for p in search.extra), os.getcwd()], [*search.dirs, *sys.path])


def discover(modules: list[str], search: SearchPath) -> Discovery:
    """Import the modules in a discovery process and read its report."""
    project = project_of(search)
    project.note(modules)  # as they are before discovery imports them
    try:
        process = subprocess.Popen(
            [sys.executable, "-m", "vorda.run.planning.discovery_remote", *modules],
            env=search.env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
    except OSError as error:
        raise UsageError(f"cannot start discovery: {error}") from None
    try:
        # The sources are read here while the modules import over there.
        project.prepare(modules)
        out, err = process.communicate()
    except BaseException:
        process.kill()
        process.wait()
        raise
    stderr = err.decode("utf-8", "replace").strip()
    if process.returncode != 0 or "skipping module" in stderr:
        raise UsageError("discovery failed:\n" + (stderr or f"exit status {process.returncode}"))
    try:
        report = json.loads(out)
        assets = _assets(report["assets"], search, project)
        formats = [str(name) for name in report["formats"]]
    except (ValueError, KeyError, TypeError, AttributeError) as error:
        raise UsageError(f"discovery gave an unreadable report: {type(error).__name__}: {error}") from None
    check_serializers(assets, formats)
    return Discovery(assets, stderr)


def check_serializers(assets: dict[str, Asset], formats: list[str]) -> None:
    """Every asset's serializer must name a format the modules know."""
    for asset in assets.values():
        if asset.serializer is not None and asset.serializer not in formats:
            raise UsageError(
                f"{asset.label}: unknown serializer {asset.serializer!r} (known: {', '.join(formats)})"
            )


def _shown_path(file_path: str, search: SearchPath) -> str:
    """A source file as users know it: relative to the search path folder it is in."""
    for folder in search.dirs:
        try:
            return str(Path(file_path).relative_to(Path(folder).resolve()))
        except ValueError:
            continue
    return file_path


def _home(found: list[dict[str, Any]], search: SearchPath) -> dict[str, Any]:
    """The record of the module and name the worker uses for one asset object:
    its defining module when inspected, under the function's own name when
    that module binds it so (an alias may also be bound)."""
    home_module = search.module_for(found[0]["file_path"])
    module = home_module if any(r["module_path"] == home_module for r in found) else found[0]["module_path"]
    here = [r for r in found if r["module_path"] == module]
    named = [r for r in here if r["bound_name"] == r["function_name"]]
    if named or len(here) == 1:
        return (named or here)[0]
    names = ", ".join(sorted(r["bound_name"] for r in here))
    raise UsageError(
        f"module {module}: one asset ({found[0]['function_name']}) is bound under several names ({names}); "
        "bind it under one name, or under its function's own name"
    )


def _assets(records: list[dict[str, Any]], search: SearchPath, project: Project | None = None) -> dict[str, Asset]:
    by_object: dict[int, list[dict[str, Any]]] = {}
    for record in records:
        by_object.setdefault(record["wrapper"], []).append(record)
    homes = [(_home(found, search), found) for found in by_object.values()]
    sharing: dict[str, list[dict[str, Any]]] = {}
    for home, _ in homes:
        sharing.setdefault(f"{home['file_path']}:{home['function_name']}", []).append(home)
    assets: dict[str, Asset] = {}
    for home, found in homes:
        ref = f"{home['file_path']}:{home['function_name']}"
        if len(sharing[ref]) > 1:
            ref = f"{home['module_file']}:{home['bound_name']}"
        if ref in assets:
            raise UsageError(
                f"module {home['module_path']}: assets {assets[ref].label} and "
                f"{home['module_path']}:{home['bound_name']} cannot be told apart (both are {ref}); "
                "give each asset's function a name of its own"
            )
        metadata = home["decorator_metadata"]
        if project is not None:
            made = code_version(project, home["module_path"], home["function_name"], home["function_source"],
                                metadata)
            version, covers, dynamic = made.digest, made.covers, tuple(made.dynamic)
            files = tuple((path, project.seen[path]) for path in made.files if path in project.seen)
            code: CodeVersion | None = made
        else:
            version = _code_version(home)
            covers, dynamic = {f"{home['function_name']} in {_shown_path(home['file_path'], search)}": version}, ()
            files, code = (), None
        dims, key_texts = _dims(home)
        assets[ref] = Asset(
            ref=ref,
            module=home["module_path"],
            function=home["bound_name"],
            inputs=dict(metadata.get("inputs") or {}),
            dims=dims,
            key_texts=key_texts,
            code_version=version,
            modules=frozenset(r["module_path"] for r in found),
            serializer=metadata.get("serializer"),
            name=metadata.get("name"),
            covers=covers,
            dynamic=dynamic,
            code_files=files,
            code=code,
            code_of=(home["module_path"], home["function_name"]),
        )
    named: dict[str, Asset] = {}
    for asset in assets.values():
        if asset.name is not None:
            if asset.name in named:
                raise UsageError(f"two assets are named {asset.name!r}: {named[asset.name].label} and "
                                 f"{asset.label}; names must be unique")
            named[asset.name] = asset
    for ref, same in sharing.items():
        if len(same) < 2:
            continue
        for asset in assets.values():
            for param, wanted in asset.inputs.items():
                if wanted == ref:
                    labels = ", ".join(sorted(f"{h['module_path']}:{h['bound_name']}" for h in same))
                    raise UsageError(
                        f"{asset.label} reads {ref} (parameter {param!r}), which names several assets made "
                        f"by one function ({labels}); give each made function a name of its own (set its "
                        "__name__ before @asset) so that inputs can tell them apart"
                    )
    return assets
