from typing import Any, Callable, Sequence, final

__all__ = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]

@final
class Partitions: ...

@final
class AssetWrapper:
    # Read through to the wrapped function on instances.
    __name__: str
    __qualname__: str
    @property
    def __tamso_metadata__(self) -> dict[str, Any]: ...
    @property
    def __tamso_kind__(self) -> str: ...
    @property
    def __tamso_original__(self) -> Any: ...
    @property
    def __wrapped__(self) -> Any: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __get__(self, instance: object, owner: type | None = None, /) -> AssetWrapper: ...

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
    module_name: str,
    function_name: str,
    output_dir: str,
    input_kwargs_json: str | None = None,
) -> None: ...
