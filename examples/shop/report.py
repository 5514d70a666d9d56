"""The report at the end of the pipeline."""

import os

from vorda import asset

from shop import transform


@asset(inputs={"totals": transform.customer_totals})
def top_customer(totals: dict) -> str:
    best = max(totals.values(), key=lambda entry: entry["total"])
    return f"{best['name']} ({best['total']:.2f})"


@asset(inputs={"totals": transform.customer_totals})
def audit(totals: dict):
    """Fails on purpose when VORDA_DEMO_FAIL is set, to show a failed job."""
    if os.environ.get("VORDA_DEMO_FAIL"):
        raise RuntimeError(f"audit found {len(totals)} customers but expected a signed ledger")
    return {"customers": len(totals), "checked": True}
