"""Sales split by day and region: one job per combination.

`daily_sales` feeds `daily_flags`, partitioned the same way, which receives
the one matching partition's value; `report.sales_by_region`, which is not
partitioned, receives every partition's value in a list.
"""

from typing import Any

from vorda import asset, partitions

from shop import raw

DAYS = partitions(["2026-12-01", "2026-12-02", "2026-12-03"])
REGIONS = partitions(["north", "south"])


@asset(inputs={"orders": raw.orders}, partitions={"day": DAYS, "region": REGIONS})
def daily_sales(orders: list[dict[str, Any]], day: str, region: str) -> dict[str, Any]:
    picked = [o["amount"] for o in orders if o["day"] == day and o["region"] == region]
    return {"day": day, "region": region, "orders": len(picked), "revenue": round(sum(picked), 2)}


@asset(inputs={"sales": daily_sales}, partitions={"day": DAYS, "region": REGIONS})
def daily_flags(sales: dict[str, Any], day: str, region: str) -> list[str]:
    """Flags for one day and region, from that partition's sales alone."""
    flags = []
    if sales["orders"] == 0:
        flags.append("no orders")
    if sales["revenue"] > 300:
        flags.append("big day")
    return flags
