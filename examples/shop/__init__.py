"""A small shop pipeline: raw orders, per-customer totals, partitioned sales, a report."""
