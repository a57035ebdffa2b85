"""A report that depends on both source assets."""

from pipeline.sources import customers, prices
from tamso import asset


@asset(inputs={"customers": customers, "prices": prices, "fx": "external/fx.py:rates"})
def summary(customers: list, prices: dict, fx: dict | None = None) -> dict:
    return {
        "customers": len(customers),
        "ticker": prices["ticker"],
        "close": prices["close"],
    }
