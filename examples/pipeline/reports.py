"""A report per ticker, built from both source assets."""

from pipeline.sources import TICKERS, customers, prices
from tamso import asset, partitions


@asset(inputs={"customers": customers, "prices": prices}, partitions={"ticker": partitions(TICKERS)})
def summary(customers: list[dict[str, object]], prices: dict[str, dict[str, object]], ticker: str) -> dict[str, object]:
    # `prices` holds this ticker's partition of every day, keyed by the day.
    closes = {day: row["close"] for day, row in sorted(prices.items())}
    return {"ticker": ticker, "customers": len(customers), "closes": closes}
