"""The public API as a type checker sees it; checked by `mypy --strict`, not run.

Each `# type: ignore[code]` marks a use that must stay an error: with
warn_unused_ignores, the check fails if it ever type-checks.
"""

from __future__ import annotations

from collections.abc import Mapping
from types import MappingProxyType
from typing import Any, assert_type

import vorda
from vorda import AssetWrapper, Partitions, asset, inspect_modules, load, materialize_asset, partitions

assert_type(vorda.__version__, str)


@asset()
def raw() -> list[int]:
    return [1, 2, 3]


@asset(inputs={"data": raw}, partitions={"region": partitions(["north", "south"])})
def processed(data: list[int], region: str, limit: int = 10) -> dict[str, int]:
    return {region: sum(data[:limit])}


# The wrapper keeps the function's parameters and result.
assert_type(raw, AssetWrapper[[], list[int]])
assert_type(raw(), list[int])
assert_type(processed([1], "north"), dict[str, int])
assert_type(processed(data=[1], region="south", limit=1), dict[str, int])
assert_type(processed.__vorda_original__([1], "north", 2), dict[str, int])
assert_type(processed.__wrapped__([1], "north"), dict[str, int])
assert_type(processed.__vorda_metadata__, dict[str, Any])
assert_type(processed.__vorda_kind__, str)
assert_type(processed.__name__, str)

raw(1)  # type: ignore[call-arg]
processed([1])  # type: ignore[call-arg]
processed(["x"], "north")  # type: ignore[list-item]
processed(data=[1], region=3)  # type: ignore[arg-type]
wrong: str = raw()  # type: ignore[assignment]


# A wrapper stored in a class is not bound: read through an instance it is itself.
class Holder:
    fetch = raw


assert_type(Holder().fetch, AssetWrapper[[], list[int]])
assert_type(Holder().fetch(), list[int])

# Inputs and partitions take any Mapping of the right kind.
deps: dict[str, AssetWrapper[[], list[int]]] = {"data": raw}
refs: Mapping[str, str] = {"data": "/srv/shop/raw.py:raw"}
dims: dict[str, Partitions] = {"day": partitions([1, 2])}
assert_type(asset(inputs=deps)(processed.__vorda_original__)([2], "south"), dict[str, int])
asset(inputs=refs, partitions=MappingProxyType(dims))
asset(name="prices", serializer="json", inputs={"data": raw, "other": "x:y"})

asset(inputs={"data": 42})  # type: ignore[dict-item]
asset(partitions={"day": [1, 2]})  # type: ignore[dict-item]
asset(name=3)  # type: ignore[arg-type]
asset(raw)  # type: ignore[misc, arg-type]
asset()(42)  # type: ignore[arg-type]
partitions(("a", "b"))  # type: ignore[arg-type]
assert_type(partitions(["a"]), Partitions)

# The engine's entry points.
assert_type(inspect_modules(["shop.sales"]), str)
assert_type(materialize_asset("shop.sales", "raw", "out/raw"), None)
materialize_asset("shop.sales", "raw", "out/raw", {"x": 1})  # type: ignore[arg-type]

# Stored values: the type asked for, else whatever was stored.
assert_type(load(processed, {"region": "north"}), Any)
assert_type(load("shop.sales:raw", type=list), list[Any])
assert_type(load(raw, store="build/demo", type=dict), dict[Any, Any])
load(raw, {"region": 1}, "store")  # type: ignore[call-overload]
load(42)  # type: ignore[call-overload]
