"""The demo's store read by DuckDB alone, no vorda code: the parquet files
of `shop.tables:order_table`, one per region, with the region taken from the
Hive layout of their folders.

    python examples/query_store.py build/demo
"""

import sys

import duckdb


def main() -> int:
    store = sys.argv[1] if len(sys.argv) > 1 else ".vorda"
    files = f"{store}/assets/shop.tables/order_table/*/*.parquet"
    query = (
        "SELECT region, count(*) AS orders, round(sum(amount), 2) AS revenue, max(amount) AS biggest "
        f"FROM read_parquet('{files}', hive_partitioning = true) GROUP BY region ORDER BY region"
    )
    print(f"DuckDB over {files}:")
    result = duckdb.sql(query)
    assert result is not None  # a SELECT always gives rows
    result.show()
    return 0


if __name__ == "__main__":
    sys.exit(main())
