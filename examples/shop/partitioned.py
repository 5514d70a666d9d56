"""Sales split by day and region: one job per combination."""

from vorda import asset, partitions

from shop import raw

DAYS = partitions(["2026-12-01", "2026-12-02", "2026-12-03"])
REGIONS = partitions(["north", "south"])


@asset(inputs={"orders": raw.orders}, partitions={"day": DAYS, "region": REGIONS})
def daily_sales(orders: list, day: str, region: str) -> dict:
    picked = [o["amount"] for o in orders if o["day"] == day and o["region"] == region]
    return {"day": day, "region": region, "orders": len(picked), "revenue": round(sum(picked), 2)}
