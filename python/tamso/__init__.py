"""Declare, inspect and materialize data-pipeline assets.

Pipeline authors write::

    from tamso import asset, partitions

    @asset(partitions={"ticker": partitions(["AAPL", "MSFT"])})
    def prices(ticker: str):
        ...

``tamso run MODULE ...`` (or :func:`tamso.run`) materializes whole pipelines
into an output directory, upstream first and only what changed;
:func:`tamso.read` reads a materialized value back. ``asset(serializer=...)``
stores values beyond JSON (``"parquet"``, ``"arrow"``, ``"numpy"``,
``"pickle"``, or one added with :func:`tamso.serializer`); inside an asset,
``tamso.track(path)`` makes a file the asset reads an input of its job.
``python -m tamso.inspect MODULE ...`` describes every asset of some modules as one JSON document;
``python -m tamso.worker MODULE FUNCTION OUTPUT_DIR`` runs one asset and leaves
``value.json`` and ``result.json`` behind.
"""

from typing import TYPE_CHECKING, Any

from tamso._tamso import (
    AssetWrapper,
    Partitions,
    asset,
    inspect_modules,
    materialize_asset,
    partitions,
)

if TYPE_CHECKING:
    from tamso.plan import PlanError
    from tamso.reporting import JobReport, RunReport
    from tamso._tracking import track
    from tamso.runner import OutputError, OutputLockedError, read, run
    from tamso.serializers import serializer

__all__ = [
    "AssetWrapper",
    "Partitions",
    "asset",
    "partitions",
    "inspect_modules",
    "materialize_asset",
    "run",
    "read",
    "RunReport",
    "JobReport",
    "PlanError",
    "OutputError",
    "OutputLockedError",
    "track",
    "serializer",
]

# The runner loads on first use, so that pipeline code and worker processes
# that only declare or materialize assets do not pay for it.
_LAZY = {
    "run": "tamso.runner",
    "read": "tamso.runner",
    "OutputError": "tamso.runner",
    "OutputLockedError": "tamso.runner",
    "RunReport": "tamso.reporting",
    "JobReport": "tamso.reporting",
    "PlanError": "tamso.plan",
    "track": "tamso._tracking",
    "serializer": "tamso.serializers",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'tamso' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value
