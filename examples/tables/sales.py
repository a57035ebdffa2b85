"""Sales of a made-up shop: orders per day, revenue per day and region, and a summary.

Every value but the last is a pandas DataFrame: the partitioned assets store
theirs as Parquet files, the pivot table as an Arrow IPC file, and the
summary is plain JSON. The data is generated (seeded, so every run makes the
same frames), nothing is downloaded.
"""

import numpy as np
import pandas as pd

from tamso import asset, partitions

DAYS = ["2026-12-01", "2026-12-02", "2026-12-03"]
REGIONS = ["north", "south", "east", "west"]


@asset(serializer="parquet")
def customers() -> pd.DataFrame:
    rng = np.random.default_rng(7)
    return pd.DataFrame(
        {"region": rng.choice(REGIONS, size=50)},
        index=pd.RangeIndex(1, 51, name="customer_id"),
    )


@asset(serializer="parquet", partitions={"day": partitions(DAYS)})
def orders(day: str) -> pd.DataFrame:
    rng = np.random.default_rng(int(day.replace("-", "")))
    count = 200
    start = pd.Timestamp(day, tz="Europe/Zurich")
    return pd.DataFrame({
        "at": start + pd.to_timedelta(np.sort(rng.integers(0, 86_400, size=count)), unit="s"),
        "customer_id": rng.integers(1, 51, size=count),
        "amount": rng.gamma(2.0, 20.0, size=count).round(2),
    })


@asset(serializer="parquet", inputs={"orders": orders, "customers": customers}, partitions={"day": partitions(DAYS)})
def daily_revenue(orders: pd.DataFrame, customers: pd.DataFrame, day: str) -> pd.DataFrame:
    joined = orders.join(customers, on="customer_id")
    revenue = joined.groupby("region")["amount"].agg(["sum", "count"])
    return revenue.rename(columns={"sum": "revenue", "count": "orders"}).assign(day=day)


@asset(serializer="arrow", inputs={"daily": daily_revenue})
def revenue_by_region(daily: dict[str, pd.DataFrame]) -> pd.DataFrame:
    # `daily` holds one frame per day, keyed by the day.
    table = pd.concat(daily.values()).reset_index()
    return table.pivot(index="day", columns="region", values="revenue").sort_index()


@asset(inputs={"pivot": revenue_by_region})
def summary(pivot: pd.DataFrame) -> dict[str, object]:
    totals = pivot.sum()
    return {
        "days": len(pivot),
        "revenue": round(float(totals.sum()), 2),
        "best_region": str(totals.idxmax()),
    }
