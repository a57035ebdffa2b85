"""Declare, inspect and materialize data-pipeline assets.

Pipeline authors write::

    from tamso import asset, partitions

    @asset(partitions={"ticker": partitions(["AAPL", "MSFT"])})
    def prices(ticker: str):
        ...

``python -m tamso.inspect MODULE ...`` describes every asset of some modules
as one JSON document; ``python -m tamso.worker MODULE FUNCTION OUTPUT_DIR``
runs one asset and leaves ``value.json`` and ``result.json`` behind.
"""

from tamso._tamso import (
    AssetWrapper,
    Partitions,
    asset,
    inspect_modules,
    materialize_asset,
    partitions,
)

__all__ = [
    "AssetWrapper",
    "Partitions",
    "asset",
    "partitions",
    "inspect_modules",
    "materialize_asset",
]
