"""Orders as a table, stored as parquet: one partition per region.

`order_table` is read partition by partition by `region_summary` (one
region's rows) and whole by `revenue_by_day`, which gets one table with
the `region` dimension as a column. The store's files are plain parquet in
a Hive layout, so DuckDB reads them too (examples/query_store.py).
"""

from typing import Any

import pyarrow as pa
import pyarrow.compute as pc

from vorda import asset, partitions

from shop import raw

REGIONS = partitions(["north", "south"])


@asset(serializer="parquet", inputs={"orders": raw.orders}, partitions={"region": REGIONS})
def order_table(orders: list[dict[str, Any]], region: str) -> pa.Table:
    rows = [o for o in orders if o["region"] == region]
    return pa.table({
        "id": [o["id"] for o in rows],
        "day": [o["day"] for o in rows],
        "customer": [o["customer"] for o in rows],
        "amount": [float(o["amount"]) for o in rows],
    })


@asset(inputs={"orders": order_table}, partitions={"region": REGIONS})
def region_summary(orders: pa.Table, region: str) -> dict[str, Any]:
    """One region's partition of the table."""
    return {"region": region, "orders": orders.num_rows, "revenue": round(pc.sum(orders["amount"]).as_py(), 2)}


@asset(inputs={"orders": order_table})
def revenue_by_day(orders: pa.Table) -> dict[str, float]:
    """Every partition as one table, with a `region` column."""
    assert "region" in orders.column_names
    totals = orders.group_by("day").aggregate([("amount", "sum")]).sort_by("day")
    return {day: round(total, 2) for day, total in zip(totals["day"].to_pylist(), totals["amount_sum"].to_pylist())}
