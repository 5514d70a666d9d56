"""vorda: declare data assets as Python functions, discover them, run them.

Declaring (at import of your module)::

    from vorda import asset, partitions

    @asset()
    def raw() -> list[int]:
        return [1, 2, 3]

    @asset(inputs={"data": raw}, partitions={"region": partitions(["north", "south"])})
    def doubled(data: list[int], region: str) -> list[int]:
        return [x * 2 for x in data]

A decorated function becomes an ``AssetWrapper`` that still calls the
function; for type checkers it keeps the function's parameters and result
(``AssetWrapper[[list[int], str], list[int]]``).

Discovering and running:

- ``inspect_modules(["shop.sales"])`` imports the modules and returns one line
  of JSON describing every asset (``python -m vorda.inspect`` prints it).
- ``materialize_asset(module, function, output_dir, inputs_json)`` runs one
  asset and writes ``value.json`` and ``result.json`` (``python -m vorda.worker``).
- ``load(asset, partition)`` reads a value back from the store ``vorda run``
  keeps; ``vorda.values`` holds the formats ``serializer=`` names.

The engine is the native module ``vorda._vorda``.
"""

from __future__ import annotations

import inspect as _inspect
import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, TypeVar, overload

from vorda import _vorda
from vorda._vorda import AssetWrapper as AssetWrapper
from vorda._vorda import Partitions, inspect_modules, materialize_asset, partitions

if TYPE_CHECKING:
    from vorda._vorda import _AssetDecorator

# AssetWrapper is exported (imported "as" itself) but left out of __all__:
# help() sorts the listed classes by __module__, which on AssetWrapper is the
# descriptor that answers for its instances, and fails beside Partitions.
__all__ = ["asset", "partitions", "Partitions", "inspect_modules", "materialize_asset", "load", "__version__"]

# The one place the version is written; the build reads it from here.
__version__ = "0.1.0"

# True while a caller (the runner's workers) makes materialized files
# durable itself, a batch at a time: materialize_asset then does not flush
# them (it still writes them whole, by rename). It reads this at each call.
_defer_flush = False

_V = TypeVar("_V")
_T = TypeVar("_T")


def _as_dict(mapping: Mapping[str, _V] | None) -> dict[str, _V] | None:
    # The engine walks dicts only. Any other Mapping is copied into one;
    # dicts (and subclasses) and non-mappings go through untouched, so the
    # engine's own checks and messages apply to them.
    if mapping is None or isinstance(mapping, dict) or not isinstance(mapping, Mapping):
        return mapping
    return dict(mapping)


def asset(
    *,
    name: str | None = None,
    inputs: Mapping[str, AssetWrapper[..., Any] | str] | None = None,
    partitions: Mapping[str, Partitions] | None = None,
    serializer: str | None = None,
) -> _AssetDecorator:
    return _vorda.asset(name=name, inputs=_as_dict(inputs), partitions=_as_dict(partitions), serializer=serializer)


# help() shows the engine's documentation and plain signature.
asset.__doc__ = _vorda.asset.__doc__
setattr(asset, "__signature__", _inspect.signature(_vorda.asset))


@overload
def load(
    asset: AssetWrapper[..., Any] | str,
    partition: Mapping[str, Any] | None = None,
    *,
    store: str | os.PathLike[str] = ".vorda",
    type: None = None,
    run: str | None = None,
) -> Any: ...


@overload
def load(
    asset: AssetWrapper[..., Any] | str,
    partition: Mapping[str, Any] | None = None,
    *,
    store: str | os.PathLike[str] = ".vorda",
    type: type[_T],
    run: str | None = None,
) -> _T: ...


def load(
    asset: AssetWrapper[..., Any] | str,
    partition: Mapping[str, Any] | None = None,
    *,
    store: str | os.PathLike[str] = ".vorda",
    type: Any = None,
    run: str | None = None,
) -> Any:
    """The stored value of an asset's partition in the store of ``vorda run``.

    `asset` is the asset itself, its ``"module:function"`` label, its asset
    ref, or its name (``name=``, else its function's, when no other asset in
    the store has it); `partition` maps each dimension to its key (None for
    an unpartitioned asset, or for every partition: a partitioned table then
    comes back as one table with a column per dimension, other values as the
    runner's list of ``{"partition": ..., "value": ...}``). `type` asks for a kind of value as a
    parameter annotation does (``pandas.DataFrame``, ``polars.LazyFrame``,
    ``pyarrow.Table``, ``numpy.ndarray``, ...); None: the type the asset
    returned. `run` names a run: the value as it was after that run, from the
    values the store keeps by content (one partition, or an unpartitioned
    asset). Raises LookupError naming what is missing and what the store
    has, ValueError for a partition that does not fit the asset's dimensions
    or a history that cannot be read."""
    from vorda import reading  # the store's history and the table libraries only when used

    return reading.load(asset, partition, store=store, type=type, run=run)
