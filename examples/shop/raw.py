"""Raw data as it arrives from the shop's systems."""

from typing import Any

from vorda import asset


@asset()
def orders() -> list[dict[str, Any]]:
    """Every order of the first days of December."""
    return [
        {"id": 1, "day": "2026-12-01", "region": "north", "customer": "ada", "amount": 120.5},
        {"id": 2, "day": "2026-12-01", "region": "south", "customer": "bob", "amount": 80.0},
        {"id": 3, "day": "2026-12-02", "region": "north", "customer": "ada", "amount": 42.25},
        {"id": 4, "day": "2026-12-02", "region": "north", "customer": "cy", "amount": 310.0},
        {"id": 5, "day": "2026-12-03", "region": "south", "customer": "bob", "amount": 15.75},
        {"id": 6, "day": "2026-12-03", "region": "south", "customer": "dee", "amount": 99.99},
    ]


@asset(name="customer directory")
def customers() -> dict[str, dict[str, str]]:
    return {
        "ada": {"name": "Ada Lovelace", "city": "London"},
        "bob": {"name": "Bob Dylan", "city": "Duluth"},
        "cy": {"name": "Cyrus Smith", "city": "Zürich"},
        "dee": {"name": "Dee Dee", "city": "Queens"},
    }
