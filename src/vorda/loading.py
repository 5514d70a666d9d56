"""Loading stored values by the reader's annotation.

A value file is opened without following links, checked to be the file the
runner hashed (device, inode, size, modification time: values are only ever
replaced by rename), and read as the parameter's annotation asks:
``pandas.DataFrame``, ``polars.DataFrame``, ``polars.LazyFrame`` (a lazy
scan), ``pyarrow.Table``, ``pyarrow.dataset.Dataset`` or ``numpy.ndarray``;
without one of those, as the type the asset returned. Several partitions of
a table read as a table type are one table, with the partition dimensions as
columns; lazy types scan the files without loading them.
"""

from __future__ import annotations

import contextlib
import importlib
import json
import os
import stat
import typing
from dataclasses import dataclass
from typing import Any, Iterator, Sequence

from vorda import values

Identity = tuple[int, int, int, int]  # device, inode, size, mtime_ns

# (top-level module, class name) of the annotations a value loads as.
_KINDS = {
    ("pandas", "DataFrame"): "pandas",
    ("polars", "DataFrame"): "polars",
    ("polars", "LazyFrame"): "lazy",
    ("pyarrow", "Table"): "arrow",
    ("pyarrow", "Dataset"): "dataset",
    ("numpy", "ndarray"): "numpy",
}
_SHOWN = {
    "pandas": "pandas.DataFrame",
    "polars": "polars.DataFrame",
    "lazy": "polars.LazyFrame",
    "arrow": "pyarrow.Table",
    "dataset": "pyarrow.dataset.Dataset",
    "numpy": "numpy.ndarray",
}
TABLE_KINDS = frozenset({"pandas", "polars", "lazy", "arrow", "dataset"})
LAZY_KINDS = frozenset({"lazy", "dataset"})
TABLE_SUFFIXES = {"parquet": "parquet", "arrow": "ipc"}  # suffix -> pyarrow.dataset format


class ValueChanged(ValueError):
    """A value file is not the one the run was planned with."""


def identity(info: os.stat_result) -> Identity:
    return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns)


def kind_of(annotation: Any) -> str | None:
    """The kind of value an annotation asks for; None for any other annotation."""
    if annotation is None or isinstance(annotation, str):
        return None
    origin = typing.get_origin(annotation) or annotation
    module = getattr(origin, "__module__", None)
    name = getattr(origin, "__qualname__", None)
    if not isinstance(module, str) or not isinstance(name, str):
        return None
    return _KINDS.get((module.partition(".")[0], name))


def _kind_of_type_name(full_name: str) -> str | None:
    module, _, name = full_name.rpartition(".")
    return _KINDS.get((module.partition(".")[0], name))


def _check(info: os.stat_result, path: str, expected: Sequence[int] | None) -> None:
    if not stat.S_ISREG(info.st_mode):
        raise OSError(f"{path} is not a regular file")
    if expected is not None and identity(info) != tuple(expected):
        raise ValueChanged(f"{path} changed after the run read it (a value is only ever replaced, never "
                           "rewritten); run the pipeline again")


@contextlib.contextmanager
def opened(path: str, expected: Sequence[int] | None = None) -> Iterator[str]:
    """A path that reads the file `path` names now (not through a link),
    checked against `expected`, for as long as the block runs."""
    # Non-blocking: a FIFO put in the store is refused, not waited on.
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    try:
        _check(os.fstat(fd), path, expected)
        yield f"/proc/self/fd/{fd}"
    finally:
        os.close(fd)


def check_in_place(path: str, expected: Sequence[int] | None = None) -> None:
    """For lazy scans, which open the file later: not a link, the same file."""
    _check(os.lstat(path), path, expected)


def _library(name: str, made: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        extra = "parquet" if name.startswith("pyarrow") else "frames"
        raise values.MissingLibrary(
            f"loading as {made} needs {name.partition('.')[0]}, which is not installed: "
            f"pip install 'vorda[{extra}]'") from None


def _cannot(kind: str, what: str) -> TypeError:
    return TypeError(f"a parameter annotated {_SHOWN[kind]} cannot take {what}")


# -- one file -------------------------------------------------------------------


def read_table_file(path: str, annotation: Any, real_path: str | None = None, suffix: str | None = None) -> Any:
    """A parquet or Arrow IPC file (by `suffix`, else by its name) as the
    annotation asks. `path` reads the file (an opened descriptor's path);
    `real_path` is its name in the store, which lazy scans keep (a kept
    object's name has no suffix)."""
    real = real_path or path
    suffix = suffix or real.rpartition(".")[2]
    kind = kind_of(annotation)
    pyarrow: Any = _library("pyarrow", "a table")
    if kind is None:
        schema = _schema(path, suffix)
        stored = (schema.metadata or {}).get(values.TYPE_KEY, b"").decode()
        kind = _kind_of_type_name(stored) or "arrow"
    if kind not in TABLE_KINDS:
        raise _cannot(kind, f"a table (stored as {suffix})")
    if kind == "lazy":
        polars: Any = _library("polars", _SHOWN[kind])
        return polars.scan_parquet(real) if suffix == "parquet" else polars.scan_ipc(real)
    if kind == "dataset":
        dataset: Any = _library("pyarrow.dataset", _SHOWN[kind])
        return dataset.dataset(real, format=TABLE_SUFFIXES[suffix])
    if suffix == "parquet":
        table = importlib.import_module("pyarrow.parquet").read_table(path)
    else:
        table = importlib.import_module("pyarrow.ipc").open_file(pyarrow.memory_map(path)).read_all()
    return _convert(table, kind)


def _schema(path: str, suffix: str) -> Any:
    if suffix == "parquet":
        return importlib.import_module("pyarrow.parquet").read_schema(path)
    pyarrow: Any = importlib.import_module("pyarrow")
    return importlib.import_module("pyarrow.ipc").open_file(pyarrow.memory_map(path)).schema


def _convert(table: Any, kind: str) -> Any:
    if kind == "pandas":
        _library("pandas", _SHOWN[kind])
        return table.to_pandas()
    if kind == "polars":
        return _library("polars", _SHOWN[kind]).from_arrow(table)
    return table


def read_npy_file(path: str, annotation: Any) -> Any:
    """A .npy file, memory-mapped copy-on-write: changes stay in the reader."""
    kind = kind_of(annotation)
    if kind is not None and kind != "numpy":
        raise _cannot(kind, "a numpy array (stored as npy)")
    numpy: Any = _library("numpy", "numpy.ndarray")
    return numpy.load(path, mmap_mode="c", allow_pickle=False)


def read_file(path: str, annotation: Any, expected: Sequence[int] | None = None,
              find: Any = values.by_file_name) -> Any:
    """One stored value file, checked against `expected`, as the annotation asks."""
    name = os.path.basename(path)
    made = find(name)
    if made is None:
        raise LookupError(f"{path}: no format stores its values as {name} (is the module that "
                          "registers it imported?)")
    kind = kind_of(annotation)
    if made.name in ("parquet", "arrow") and kind in LAZY_KINDS:
        # A lazy scan opens the file later, by name.
        check_in_place(path, expected)
        return read_table_file(path, annotation, path, made.name)
    with opened(path, expected) as readable:
        if made.name in ("parquet", "arrow"):
            return read_table_file(readable, annotation, path, made.name)
        if made.name == "npy":
            return read_npy_file(readable, annotation)
        if made.name == "json":
            if kind is not None:
                raise _cannot(kind, "a JSON value")
            with open(readable, encoding="utf-8") as stream:
                return json.load(stream)
        return made.read(readable, annotation)


# -- several partitions as one table ------------------------------------------------


@dataclass(frozen=True)
class Part:
    keys: dict[str, Any]
    path: str
    expected: Sequence[int] | None = None


def _key_type(keys: list[Any]) -> tuple[Any, bool]:
    """The Arrow type of a dimension's column, and whether keys go as JSON text."""
    pyarrow: Any = importlib.import_module("pyarrow")
    if all(isinstance(k, str) for k in keys):
        return pyarrow.string(), False
    if all(isinstance(k, bool) for k in keys):
        return pyarrow.bool_(), False
    if all(isinstance(k, int) and not isinstance(k, bool) for k in keys):
        return pyarrow.int64(), False
    if all(isinstance(k, (int, float)) and not isinstance(k, bool) for k in keys):
        return pyarrow.float64(), False
    return pyarrow.string(), True


def read_partitions(parts: list[Part], dims: dict[str, list[Any]], annotation: Any) -> Any:
    """Partitions of a table as one table (or a lazy scan of their files),
    with a column per dimension of `dims` (dimension -> every key), typed
    from the keys; unannotated, as the type the asset returned."""
    kind = kind_of(annotation)
    if kind is not None and kind not in TABLE_KINDS:
        raise _cannot(kind, "several partitions of a table")
    suffixes = {p.path.rpartition(".")[2] for p in parts}
    if len(suffixes) != 1 or not suffixes <= set(TABLE_SUFFIXES):
        found = ", ".join(sorted({os.path.basename(p.path) for p in parts}))
        raise TypeError(f"partitions stored as {found} are not one table: they must all be parquet or all Arrow")
    suffix = suffixes.pop()
    pyarrow: Any = _library("pyarrow", "one table")
    dataset: Any = _library("pyarrow.dataset", "one table")
    compute: Any = importlib.import_module("pyarrow.compute")
    fs: Any = importlib.import_module("pyarrow.fs")
    if not parts:
        raise LookupError("no partition to read")
    for part in parts:
        check_in_place(part.path, part.expected)
    with opened(parts[0].path, parts[0].expected) as readable:
        schema = _schema(readable, suffix)
    if kind is None:
        kind = _kind_of_type_name((schema.metadata or {}).get(values.TYPE_KEY, b"").decode()) or "arrow"
    clash = [dim for dim in dims if dim in schema.names]
    if clash:
        raise ValueError(f"the partition dimension {clash[0]!r} clashes with a column of the same name in "
                         f"the stored table ({os.path.basename(parts[0].path)} of partition "
                         f"{json.dumps(parts[0].keys, ensure_ascii=False)}); rename the column or the dimension")
    typed = {dim: _key_type(keys) for dim, keys in dims.items()}
    for dim, (arrow_type, _) in typed.items():
        schema = schema.append(pyarrow.field(dim, arrow_type))
    expressions = []
    for part in parts:
        condition = None
        for dim, (arrow_type, as_text) in typed.items():
            key = json.dumps(part.keys[dim], sort_keys=True, separators=(",", ":")) if as_text else part.keys[dim]
            term = compute.field(dim) == pyarrow.scalar(key, type=arrow_type)
            condition = term if condition is None else condition & term
        expressions.append(condition)
    made = dataset.FileSystemDataset.from_paths(
        [part.path for part in parts], schema=schema,
        format=dataset.ParquetFileFormat() if suffix == "parquet" else dataset.IpcFileFormat(),
        filesystem=fs.LocalFileSystem(), partitions=expressions,
    )
    if kind == "dataset":
        return made
    if kind == "lazy":
        return _library("polars", _SHOWN[kind]).scan_pyarrow_dataset(made)
    return _convert(made.to_table(), kind)
