from typing import Any, Callable, Sequence, final

__all__: list[str]

@final
class AssetWrapper:
    """The `@asset()` decorator wrapper. Stores the original function and metadata."""

    @property
    def __vorda_metadata__(self) -> dict[str, Any]: ...
    @property
    def __vorda_kind__(self) -> str: ...
    @property
    def __vorda_original__(self) -> Any: ...
    @property
    def __wrapped__(self) -> Any: ...
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...
    @property
    def __module__(self) -> str: ...  # type: ignore[override]
    @property
    def __doc__(self) -> str | None: ...  # type: ignore[override]
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __get__(self, instance: object, owner: type | None = None) -> AssetWrapper: ...

@final
class Partitions:
    """Marker type returned by `partitions([...])`. Stores the static values."""

def asset(
    *,
    name: str | None = None,
    inputs: dict[str, AssetWrapper | str] | None = None,
    partitions: dict[str, Partitions] | None = None,
    serializer: str | None = None,
) -> Callable[[Any], AssetWrapper]: ...
def partitions(values: list[Any]) -> Partitions: ...
def inspect_modules(modules: Sequence[str]) -> str: ...
def materialize_asset(
    module_name: str, function_name: str, output_dir: str, input_kwargs_json: str | None = None
) -> None: ...
