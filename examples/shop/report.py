"""The report at the end of the pipeline."""

import os
from typing import Any

from vorda import asset

from shop import partitioned, transform


@asset(inputs={"totals": transform.customer_totals})
def top_customer(totals: dict[str, dict[str, Any]]) -> str:
    best = max(totals.values(), key=lambda entry: float(entry["total"]))
    return f"{best['name']} ({best['total']:.2f})"


@asset(inputs={"sales": partitioned.daily_sales})
def sales_by_region(sales: list[dict[str, Any]]) -> dict[str, float]:
    """Every partition of daily_sales arrives as {"partition": ..., "value": ...}."""
    totals: dict[str, float] = {}
    for entry in sales:
        region = entry["partition"]["region"]
        totals[region] = round(totals.get(region, 0.0) + entry["value"]["revenue"], 2)
    return totals


@asset(inputs={"totals": transform.customer_totals})
def audit(totals: dict[str, Any]) -> dict[str, Any]:
    """Fails on purpose when VORDA_DEMO_FAIL is set, to show a failed job."""
    if os.environ.get("VORDA_DEMO_FAIL"):
        raise RuntimeError(f"audit found {len(totals)} customers but expected a signed ledger")
    return {"customers": len(totals), "checked": True}
