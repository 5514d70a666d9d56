"""How values are stored: formats by name.

``@asset(serializer=NAME)`` picks one; ``None`` and ``"json"`` are the
engine's own ``value.json``. Built in:

- ``"parquet"``: a pandas DataFrame, a polars DataFrame or LazyFrame
  (collected), or a pyarrow Table, as ``value.parquet`` (fixed writer
  options: the same table always gives the same bytes);
- ``"arrow"``: the same tables as an uncompressed Arrow IPC file,
  ``value.arrow``, memory-mapped when read;
- ``"npy"``: a numpy array, ``value.npy`` (no pickled objects either way),
  memory-mapped when read;
- ``"pickle"``: any picklable object, ``value.pkl``; never chosen by
  ``"auto"``;
- ``"auto"``: a table is stored as parquet, an ndarray as npy, anything
  else as JSON.

Another format is one call away::

    from vorda import values

    def write(value, stream): stream.write(value.encode())
    def read(path, annotation): return open(path, encoding="utf-8").read()

    values.register("text", "txt", write, read)

``write(value, stream)`` writes the value into a binary stream (the store
makes it safe); ``read(path, annotation)`` returns the value of a file,
as the reader's parameter annotation asks (None: as it was returned).
The optional libraries (pyarrow, pandas, polars, numpy) are imported only
when a format needs them.
"""

from __future__ import annotations

import importlib
import importlib.util
import json
import pickle
import platform
import re
from dataclasses import dataclass
from typing import Any, BinaryIO, Callable

AUTO = "auto"
JSON = "json"
# Written into table files' schema metadata: the returned type's full name,
# so that an unannotated reader gets back what the asset returned.
TYPE_KEY = b"vorda.type"

Writer = Callable[[Any, BinaryIO], None]
Reader = Callable[[str, Any], Any]
_SUFFIX = re.compile(r"[A-Za-z0-9_]+")


class MissingLibrary(ImportError):
    """A format's library is not installed; the message says what to install."""


@dataclass(frozen=True)
class Format:
    name: str
    suffix: str  # the value file is value.<suffix>
    write: Writer
    read: Reader
    needs: tuple[str, ...] = ()  # importable libraries it cannot work without
    extra: str | None = None  # the package extra that brings them
    takes: str = "a value it can write"  # what a wrong value's error says it takes

    @property
    def file_name(self) -> str:
        return f"value.{self.suffix}"

    def check_libraries(self) -> None:
        """MissingLibrary naming the format and what to install."""
        for library in self.needs:
            if _missing(library):
                how = f"pip install 'vorda[{self.extra}]'" if self.extra else f"pip install {library}"
                raise MissingLibrary(f'the "{self.name}" format needs {library}, which is not installed: {how}')


_FORMATS: dict[str, Format] = {}


def _missing(library: str) -> bool:
    try:
        return importlib.util.find_spec(library) is None
    except (ImportError, ValueError):  # blocked in sys.modules (None), or a broken parent
        return True


def register(
    name: str,
    suffix: str,
    write: Writer,
    read: Reader,
    *,
    needs: tuple[str, ...] = (),
    extra: str | None = None,
    takes: str = "a value it can write",
) -> Format:
    """Add a format under a new name; its values are stored as value.<suffix>."""
    if not isinstance(name, str) or not name or name == AUTO or name in _FORMATS:
        raise ValueError(f"cannot register a format named {name!r}: the name is taken or empty")
    if not _SUFFIX.fullmatch(suffix) or any(f.suffix == suffix for f in _FORMATS.values()):
        raise ValueError(f"cannot register the format {name!r} with suffix {suffix!r}: "
                         "a suffix is letters, digits or '_', and one format's alone")
    made = Format(name, suffix, write, read, needs, extra, takes)
    _FORMATS[name] = made
    return made


def names() -> list[str]:
    """Every name ``serializer=`` takes, ``"auto"`` included."""
    return [*_FORMATS, AUTO]


def get(name: str) -> Format:
    """The format of a name (not ``"auto"``); KeyError naming the known ones."""
    try:
        return _FORMATS[name]
    except KeyError:
        raise KeyError(f"unknown serializer {name!r} (known: {', '.join(names())})") from None


def by_file_name(file_name: str) -> Format | None:
    """The format whose value file has this name."""
    for made in _FORMATS.values():
        if made.file_name == file_name:
            return made
    return None


def full_type_name(value: object) -> str:
    kind = type(value)
    return f"{kind.__module__}.{kind.__qualname__}"


def _root_module(value: object) -> str:
    return type(value).__module__.partition(".")[0]


def is_table(value: object) -> bool:
    """A pandas or polars DataFrame, a polars LazyFrame or a pyarrow Table
    (checked without importing a library the value did not come from)."""
    root = _root_module(value)
    if root == "pandas":
        return isinstance(value, importlib.import_module("pandas").DataFrame)
    if root == "polars":
        polars = importlib.import_module("polars")
        return isinstance(value, (polars.DataFrame, polars.LazyFrame))
    if root == "pyarrow":
        return isinstance(value, importlib.import_module("pyarrow").Table)
    return False


def is_ndarray(value: object) -> bool:
    return _root_module(value) == "numpy" and isinstance(value, importlib.import_module("numpy").ndarray)


def choose(name: str | None, value: object) -> Format:
    """The format a value is stored in under serializer `name`."""
    if name is None:
        return _FORMATS[JSON]
    if name != AUTO:
        return get(name)
    if is_table(value):
        return _FORMATS["parquet"]
    if is_ndarray(value):
        return _FORMATS["npy"]
    return _FORMATS[JSON]


def _kind(value: object) -> str:
    kind = type(value)
    return kind.__name__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"


def wrong_value(made: Format, value: object) -> TypeError:
    return TypeError(f'the asset returned {_article(_kind(value))}; the "{made.name}" format takes {made.takes}')


def _article(text: str) -> str:
    return ("an " if text[:1].lower() in "aeiou" else "a ") + text


# -- JSON ---------------------------------------------------------------------


def _write_json(value: Any, stream: BinaryIO) -> None:
    # The engine's value.json: exactly json.dumps's text, plain ASCII.
    stream.write(json.dumps(value).encode("ascii"))


def _read_json(path: str, annotation: Any) -> Any:
    with open(path, encoding="utf-8") as stream:
        return json.load(stream)


# -- tables ---------------------------------------------------------------------

TABLES = "a pandas DataFrame, a polars DataFrame or LazyFrame, or a pyarrow Table"
PARQUET_OPTIONS: dict[str, Any] = {
    "compression": "zstd",
    "compression_level": 3,
    "row_group_size": 1 << 20,
    "data_page_size": 1 << 20,
    "use_dictionary": True,
    "write_statistics": True,
    "version": "2.6",
}


def as_arrow(value: Any, made: Format) -> Any:
    """A table value as one pyarrow Table (single chunks, so the same rows
    give the same bytes however they were built), its type in the metadata."""
    if not is_table(value):
        raise wrong_value(made, value)
    pyarrow: Any = importlib.import_module("pyarrow")
    root = _root_module(value)
    if root == "pandas":
        table = pyarrow.Table.from_pandas(value)
    elif root == "polars":
        polars = importlib.import_module("polars")
        table = (value.collect() if isinstance(value, polars.LazyFrame) else value).to_arrow()
    else:
        table = value
    metadata = dict(table.schema.metadata or {})
    metadata[TYPE_KEY] = full_type_name(value).encode()
    return table.combine_chunks().replace_schema_metadata(metadata)


def _write_parquet(value: Any, stream: BinaryIO) -> None:
    table = as_arrow(value, _FORMATS["parquet"])
    importlib.import_module("pyarrow.parquet").write_table(table, stream, **PARQUET_OPTIONS)


def _write_arrow(value: Any, stream: BinaryIO) -> None:
    table = as_arrow(value, _FORMATS["arrow"])
    ipc: Any = importlib.import_module("pyarrow.ipc")
    with ipc.new_file(stream, table.schema) as out:
        out.write_table(table)


def _read_table(path: str, annotation: Any) -> Any:
    from vorda import loading

    return loading.read_table_file(path, annotation)


# -- arrays and pickles -----------------------------------------------------------


def _write_npy(value: Any, stream: BinaryIO) -> None:
    if not is_ndarray(value):
        raise wrong_value(_FORMATS["npy"], value)
    if value.dtype.hasobject:
        raise TypeError(f'the asset returned an array of Python objects ({value.dtype}); the "npy" format '
                        'takes arrays of numbers, booleans, text or dates (use "pickle" for objects)')
    importlib.import_module("numpy").save(stream, value, allow_pickle=False)


def _read_npy(path: str, annotation: Any) -> Any:
    from vorda import loading

    return loading.read_npy_file(path, annotation)


def python_tag() -> str:
    return f"{platform.python_implementation()} {platform.python_version_tuple()[0]}." \
           f"{platform.python_version_tuple()[1]}"


def _write_pickle(value: Any, stream: BinaryIO) -> None:
    # A small header pickle first: a reader of another Python is told so
    # before it unpickles anything of the value.
    pickle.dump({"python": python_tag()}, stream, protocol=5)
    pickle.dump(value, stream, protocol=5)


def _read_pickle(path: str, annotation: Any) -> Any:
    with open(path, "rb") as stream:
        try:
            header = pickle.load(stream)
            written_by = header["python"]
        except Exception:
            raise ValueError(f"{path} is not a pickle this vorda wrote") from None
        if written_by != python_tag():
            raise ValueError(f"{path} was pickled by {written_by}, and this is {python_tag()}: "
                             "run its asset again with this Python")
        return pickle.load(stream)


register(JSON, "json", _write_json, _read_json, takes="a value json.dumps can write")
register("parquet", "parquet", _write_parquet, _read_table, needs=("pyarrow",), extra="parquet", takes=TABLES)
register("arrow", "arrow", _write_arrow, _read_table, needs=("pyarrow",), extra="parquet", takes=TABLES)
register("npy", "npy", _write_npy, _read_npy, needs=("numpy",), extra="frames", takes="a numpy ndarray")
register("pickle", "pkl", _write_pickle, _read_pickle, takes="a picklable value")
