"""Assets computed from the raw data."""

from typing import Any

from vorda import asset

from shop import raw


@asset(inputs={"orders": raw.orders, "customers": raw.customers})
def customer_totals(orders: list[dict[str, Any]], customers: dict[str, dict[str, str]]) -> dict[str, Any]:
    """Total spend per customer, with the customer's name."""
    totals: dict[str, dict[str, Any]] = {}
    for order in orders:
        entry = totals.setdefault(order["customer"], {"name": customers[order["customer"]]["name"], "total": 0.0})
        entry["total"] = round(entry["total"] + order["amount"], 2)
    return totals
