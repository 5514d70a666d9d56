"""The native `_vorda` module."""

from collections.abc import Callable, Sequence
from typing import Any, Generic, ParamSpec, Protocol, TypeVar, final

_P = ParamSpec("_P")
_R = TypeVar("_R")
_R_co = TypeVar("_R_co", covariant=True)

__all__ = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]

@final
class AssetWrapper(Generic[_P, _R_co]):
    """The `@asset()` decorator wrapper. Stores the original function and metadata.

    Generic only for type checkers: the class has no `__class_getitem__`, so
    `AssetWrapper[...]` belongs in annotations that are not evaluated.
    """

    @property
    def __vorda_metadata__(self) -> dict[str, Any]: ...
    @property
    def __vorda_kind__(self) -> str: ...
    @property
    def __vorda_original__(self) -> Callable[_P, _R_co]: ...
    @property
    def __wrapped__(self) -> Callable[_P, _R_co]: ...
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...
    @property
    def __module__(self) -> str: ...  # type: ignore[override]
    @property
    def __doc__(self) -> str | None: ...  # type: ignore[override]
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...
    # Read through an instance the wrapper stays itself: no bound method.
    def __get__(self, instance: object, owner: type | None = None, /) -> AssetWrapper[_P, _R_co]: ...

@final
class Partitions:
    """Marker type returned by `partitions([...])`. Stores the static values."""

class _AssetDecorator(Protocol):
    """What `asset(...)` returns: wraps one function, keeping its signature."""

    def __call__(self, func: Callable[_P, _R], /) -> AssetWrapper[_P, _R]: ...

# The engine takes `dict` (and its subclasses) only; `vorda.asset` accepts any
# Mapping. The unions let a dict of wrappers or of strings through despite
# dict's invariance.
_Inputs = dict[str, AssetWrapper[..., Any] | str] | dict[str, AssetWrapper[..., Any]] | dict[str, str]

def asset(
    *,
    name: str | None = None,
    inputs: _Inputs | None = None,
    partitions: dict[str, Partitions] | None = None,
    serializer: str | None = None,
) -> _AssetDecorator: ...
def partitions(values: list[Any]) -> Partitions: ...
def inspect_modules(modules: Sequence[str]) -> str: ...
def materialize_asset(
    module_name: str, function_name: str, output_dir: str, input_kwargs_json: str | None = None
) -> None: ...
