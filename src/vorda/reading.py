"""``vorda.load``: a stored value, from Python.

The store's history says which value file is an asset partition's last good
one; the file is read as ``type`` asks (as a worker loads an input by its
parameter's annotation), never through a symbolic link under the store.
"""

from __future__ import annotations

import importlib
import inspect
import itertools
import json
import os
import sqlite3
import stat
from pathlib import Path
from typing import Any, Mapping

from vorda import loading, values
from vorda._command import UsageError
from vorda.run.report import first_line
from vorda.run.store.history import History, LastOk
from vorda.run.store.keys import canonical, partition_label
from vorda.run.store.layout import VALUE_NAME, Place, Store


def _wrapper_ref(asset: Any) -> str:
    """The asset ref of an asset wrapper, as the engine makes it."""
    try:
        original = getattr(asset, "__vorda_original__")
        source = inspect.getsourcefile(original) or ""
        return f"{Path(source).resolve()}:{original.__name__}" if source else ""
    except Exception:
        return ""


def _declared_dims(asset: Any) -> dict[str, list[Any]] | None:
    """An asset wrapper's partition keys, or None for anything else."""
    try:
        metadata = getattr(asset, "__vorda_metadata__")
    except Exception:
        return None
    if not isinstance(metadata, dict):
        return None
    declared = metadata.get("partitions") or {}
    return {dim: list(json.loads(entry["values_json"])) for dim, entry in declared.items()}


def _find(asset: Any, known: list[tuple[str, str]], store: Path) -> tuple[str, str, dict[str, list[Any]] | None]:
    """(asset ref, label, declared dimensions or None) of what `asset` names."""
    if isinstance(asset, str):
        for ref, label in known:
            if asset in (label, ref) or ref == f"name:{asset}":
                dims = None
                module, _, function = label.rpartition(":")
                try:
                    dims = _declared_dims(getattr(importlib.import_module(module), function))
                except Exception:
                    pass  # the store alone then says what partitions there are
                return ref, label, dims
        if ":" not in asset:  # a function's name, as --select takes it, when no other asset has it
            # One label may have several refs (a project moved): the label decides, as it does above.
            named = list(dict.fromkeys(label for _, label in known if label.rpartition(":")[2] == asset))
            if len(named) == 1:
                return _find(named[0], known, store)
            if named:
                raise LookupError(f"several assets of the store {store} are called {asset} "
                                  f"({', '.join(named)}): name it module:function")
        wanted = asset
    elif (ref := _wrapper_ref(asset)) and (dims := _declared_dims(asset)) is not None:
        name = getattr(asset, "__vorda_metadata__", {}).get("name")
        for known_ref, label in known:
            if known_ref in (ref, f"name:{name}"):
                return known_ref, label, dims
        wanted = f"{getattr(asset, '__module__', '?')}:{getattr(asset, '__name__', '?')} ({ref})"
    else:
        raise TypeError(f"vorda.load takes an asset, a 'module:function' label or an asset ref, not {asset!r}")
    stored = ", ".join(label for _, label in known) or "none"
    raise LookupError(f"no value of {wanted} in the store {store}; its assets: {stored}")


def _no_links(root: Path, path: Path) -> None:
    """Every component of `path` under `root` is a real directory or file."""
    current = root
    for part in path.relative_to(root).parts:
        current = current / part
        mode = os.lstat(current).st_mode
        if stat.S_ISLNK(mode):
            raise OSError(f"{current} is a symbolic link; vorda.load reads only what the store made")


class _Changed(LookupError):
    """A partition's value file is not the one its run recorded."""


def _value_file(store: Store, lasts: Mapping[str | None, LastOk], label: str, keys: Mapping[str, Any],
                partition_id: str) -> tuple[Path, loading.Identity | None]:
    """The partition's value file, and the identity of the file found to
    be the value its last ok run recorded."""
    last = lasts.get(partition_id or None)
    shown = f"{label} {partition_label(keys)}".rstrip()
    if last is None:
        raise LookupError(f"{shown} has no stored value in {store.root}")
    module, _, function = label.rpartition(":")
    name = os.path.basename(last.value_path)
    path = store.value_path(Place(module, function, keys), name)
    if not VALUE_NAME.fullmatch(name) or store.recorded(last.value_path) != path:
        raise LookupError(f"{shown}: its recorded value {last.value_path} is not in the store {store.root}")
    try:
        _no_links(store.root, path)
    except FileNotFoundError:
        raise LookupError(f"{shown}: its value file {path} is missing; run the asset again") from None
    place = Place(module, function, keys)
    value = store.stored_value(last, place)
    if value is None:
        found = store.read_result(place)
        record = found[0] if found is not None else None
        if record is not None and record.get("ok") is False:  # the files of a job that failed since
            error = first_line(str(record.get("error") or "")) or "no error given"
            raise _Changed(f"{shown}: its last job failed ({error}); run the asset again, or read what "
                           f"run {last.run_id} made with run={last.run_id!r}")
        raise _Changed(f"{shown}: its stored value or record changed since run {last.run_id} recorded it; "
                       f"run the asset again, or read what that run made with run={last.run_id!r}")
    return path, value.identity


def _keys_of(partition: Mapping[str, Any], dims: dict[str, list[Any]], label: str) -> dict[str, Any]:
    missing = [dim for dim in dims if dim not in partition]
    extra = [dim for dim in partition if dim not in dims]
    if missing or extra:
        what = f"missing {', '.join(missing)}" if missing else f"no dimension {', '.join(extra)}"
        raise ValueError(f"partition {canonical(dict(partition))} of {label}: {what} "
                         f"(its dimensions: {', '.join(dims) or 'none'})")
    for dim, key in partition.items():
        if canonical(key) not in {canonical(k) for k in dims[dim]}:
            raise LookupError(f"{label} has no key {canonical(key)} in dimension {dim!r} "
                              f"(keys: {', '.join(canonical(k) for k in dims[dim])})")
    return {dim: partition[dim] for dim in dims}  # in dimension order, as the store keeps them


def _as_of(store: Store, history: History, ref: str, label: str, keys: Mapping[str, Any], partition_id: str,
           run: str, annotation: Any) -> Any:
    """The partition's value as it was after run `run`, from the kept objects."""
    shown = f"{label} {partition_label(keys)}".rstrip()
    if not history.has_run(run):
        raise LookupError(f"no run {run} in {store.root} (see vorda runs)")
    made = history.value_after(ref, partition_id, run)
    if made is None:
        raise LookupError(f"{shown} has no value recorded up to run {run} in {store.root} (vorda gc forgets "
                          "the jobs of runs it does not keep; see vorda runs)")
    value_path, value_hash = made
    name = os.path.basename(value_path)
    if not VALUE_NAME.fullmatch(name) or not store.objects.has(value_hash):
        raise LookupError(f"{shown}: the value of run {run} is no longer kept in {store.root} (vorda gc removes "
                          "values no recent run needs)")
    if not store.objects.checked(value_hash):
        raise LookupError(f"{shown}: the kept copy of run {run}'s value in {store.root} no longer has its hash "
                          "(written through the tree's file, or damaged)")
    kind = values.by_file_name(name)
    return loading.read_file(str(store.objects.path(value_hash)), annotation, find=lambda _: kind)


def _unreadable(store: Store, error: Exception) -> ValueError:
    """What load raises for a history it cannot read (a usage error says so itself)."""
    return ValueError(str(error) if isinstance(error, UsageError) else
                      f"cannot read the run history of {store.root}: {error}")


def load(asset: Any, partition: Mapping[str, Any] | None = None, *, store: str | os.PathLike[str] = ".vorda",
         type: Any = None, run: str | None = None) -> Any:
    """The stored value of an asset's partition (see vorda.load)."""
    where = Store(store)
    if not os.path.lexists(where.root / "history.sqlite"):
        raise LookupError(f"no store at {where.root} (no run history there)")
    try:
        history = History(where.root / "history.sqlite", readonly=True)
    except (UsageError, sqlite3.Error) as error:
        raise _unreadable(where, error) from None
    try:
        try:
            known = history.known_assets()
        except sqlite3.Error as error:
            raise _unreadable(where, error) from None
        ref, label, dims = _find(asset, known, where.root)
        lasts = history.last_oks(ref)
        if dims is None:  # not importable here: the partitions the store has
            recorded = [json.loads(p) for p in history.ok_partitions(ref)]
            dims = {dim: [] for dim in (recorded[0] if recorded else {})}
            for keys in recorded:
                for dim in dims:
                    if canonical(keys.get(dim)) not in {canonical(k) for k in dims[dim]}:
                        dims[dim].append(keys.get(dim))
        if partition is not None or not dims:
            keys = _keys_of(partition or {}, dims, label)
            if run is not None:
                return _as_of(where, history, ref, label, keys, canonical(keys) if dims else "", run, type)
            path, found = _value_file(where, lasts, label, keys, canonical(keys) if dims else "")
            return loading.read_file(str(path), type, found)
        if run is not None:
            raise ValueError(f"run= reads one partition of {label} at a time: name it with partition=")
        combos = [dict(zip(dims, combo)) for combo in itertools.product(*dims.values())]
        missing, paths = [], []
        expected: list[loading.Identity | None] = []
        for keys in combos:
            try:
                path, identity = _value_file(where, lasts, label, keys, canonical(keys))
            except _Changed:
                raise  # not missing: it names the partition and what to do
            except LookupError:
                missing.append(partition_label(keys))
            else:
                paths.append(path)
                expected.append(identity)
        if missing:
            raise LookupError(f"{label} is incomplete in {where.root}: no value for {'; '.join(missing[:5])}"
                              f"{' ...' if len(missing) > 5 else ''} ({len(combos) - len(missing)} of "
                              f"{len(combos)} partitions stored)")
    finally:
        history.close()
    if all(path.suffix in (".parquet", ".arrow") for path in paths) and len({p.suffix for p in paths}) == 1:
        parts = [loading.Part(keys, str(path), found) for keys, path, found in zip(combos, paths, expected)]
        return loading.read_partitions(parts, dims, type)
    return [{"partition": keys, "value": loading.read_file(str(path), None, found)}
            for keys, path, found in zip(combos, paths, expected)]
