"""ClickHouseBackend.query and get_info against the same operations written in plain Python.

The client is a fake that answers precomputed rows at once, so the figures are the adapters' own
cost: composing the statement, the two client calls, and turning 1000 rows of 10 columns into
records. Run: python bench/backends.py
"""

import timeit
from typing import Any, Dict, List

from kelvora.backends import ClickHouseBackend

COLUMNS = [(f"col{i}", "String") for i in range(10)]
ROWS = [tuple(f"v{r}_{c}" if c else r for c in range(10)) for r in range(1000)]
FILTERS = {"status": "open", "region": 3, "owner": "ops", "kind": "ticket", "level": 2}


class FakeClient:
    def execute(self, query, params=None):
        if query.startswith("DESCRIBE"):
            return COLUMNS
        if query.startswith("SELECT count()"):
            return [(1000,)]
        if "system.tables" in query:
            return [("MergeTree", "MergeTree ORDER BY id")]
        return ROWS


class PlainBackend:
    """The same two operations as a plain Python class: the yardstick."""

    def __init__(self, client, primary_key: str = "id"):
        self.client = client
        self.primary_key = primary_key

    def query(self, table: str, filters: Dict[str, Any], limit: int, offset: int) -> List[Dict]:
        where_clauses = []
        params = {}
        for i, (key, value) in enumerate(filters.items()):
            param_name = f"p{i}"
            where_clauses.append(f"{key} = %({param_name})s")
            params[param_name] = value
        where_sql = "WHERE " + " AND ".join(where_clauses) if where_clauses else ""
        sql = f"""
            SELECT * FROM {table}
            {where_sql}
            ORDER BY {self.primary_key}
            LIMIT {limit} OFFSET {offset}
        """
        rows = self.client.execute(sql, params)
        desc_rows = self.client.execute(f"DESCRIBE TABLE {table}")
        columns = [row[0] for row in desc_rows]
        return [dict(zip(columns, row, strict=False)) for row in rows]

    def get_info(self, table: str) -> Dict:
        count_result = self.client.execute(f"SELECT count() FROM {table}")
        row_count = count_result[0][0] if count_result else 0
        desc_rows = self.client.execute(f"DESCRIBE TABLE {table}")
        columns = [row[0] for row in desc_rows]
        column_types = {row[0]: row[1] for row in desc_rows}
        try:
            engine_query = f"""
                SELECT engine, engine_full
                FROM system.tables
                WHERE name = '{table}'
                LIMIT 1
            """
            engine_result = self.client.execute(engine_query)
            engine = engine_result[0][0] if engine_result else "Unknown"
            engine_full = engine_result[0][1] if engine_result else "Unknown"
        except Exception:
            engine = engine_full = "Unknown"
        return {
            "table_name": table,
            "row_count": row_count,
            "columns": columns,
            "column_types": column_types,
            "engine": engine,
            "engine_full": engine_full,
            "backend": "clickhouse",
            "primary_key": self.primary_key,
        }


def per_call(statement, number):
    best = min(timeit.repeat(statement, number=number, repeat=7))
    return best / number


def main():
    client = FakeClient()
    native, plain = ClickHouseBackend(client), PlainBackend(client)
    assert native.query("t", FILTERS, 1000, 0) == plain.query("t", FILTERS, 1000, 0)
    assert native.get_info("t") == plain.get_info("t")
    cases = [
        (
            "query (5 filters, 1000 rows x 10 columns)",
            200,
            lambda: native.query("t", FILTERS, 1000, 0),
            lambda: plain.query("t", FILTERS, 1000, 0),
        ),
        ("get_info", 100_000, lambda: native.get_info("t"), lambda: plain.get_info("t")),
    ]
    print(f"{'operation':45} {'kelvora':>12} {'plain Python':>14} {'speed-up':>9}")
    for name, number, native_call, plain_call in cases:
        n, p = per_call(native_call, number), per_call(plain_call, number)
        print(f"{name:45} {n * 1e6:10.2f}us {p * 1e6:12.2f}us {p / n:8.2f}x")


if __name__ == "__main__":
    main()
