"""Source assets: plain data and a partitioned price table."""

from tamso import asset, partitions

TICKERS = ["AAPL", "MSFT", "GOOG"]


@asset()
def customers() -> list[dict[str, object]]:
    return [
        {"id": 1, "name": "Ada", "city": "Zürich"},
        {"id": 2, "name": "Grace", "city": "Arlington"},
    ]


@asset(
    name="daily_prices",
    partitions={
        "ticker": partitions(TICKERS),
        "day": partitions(["2026-12-01", "2026-12-02"]),
    },
)
def prices(ticker: str, day: str) -> dict[str, object]:
    base = {"AAPL": 190.5, "MSFT": 410.25, "GOOG": 172.0}[ticker]
    return {"ticker": ticker, "day": day, "close": base + int(day[-1])}
