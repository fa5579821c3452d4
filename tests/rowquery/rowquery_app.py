"""Apps serving a table's CRUD router and its query router side by side, and the `items` table
they are tried on."""

import warnings

from fastapi import FastAPI

with warnings.catch_warnings():
    # Starlette's test client warns on import that it prefers httpx2 to the httpx installed here;
    # the client works the same with either.
    warnings.filterwarnings("ignore", message="Using `httpx` with `starlette.testclient`")
    from fastapi.testclient import TestClient

from kelvora.rowplane import create_crud_router  # noqa: E402
from kelvora.rowquery import create_query_router  # noqa: E402

ITEMS = (
    "CREATE TABLE {table} (id UInt64, name String, price Decimal(10, 2), tags Array(String), "
    "note Nullable(String), at DateTime, kind Enum8('a' = 1, 'b' = 2), "
    "doubled UInt64 MATERIALIZED id * 2) ENGINE = MergeTree ORDER BY id"
)
# Rows 0..n-1: name n{i}, price i/4, tags ['a', i % 3], note NULL for even i, at 2024-01-01 + i s.
FILL = (
    "INSERT INTO {table} (id, name, price, tags, note, at, kind) SELECT number, "
    "concat('n', toString(number)), toDecimal64(number / 4, 2), ['a', toString(number % 3)], "
    "if(number % 2 = 0, NULL, 'x'), toDateTime('2024-01-01 00:00:00', 'UTC') + number, "
    "if(number % 2 = 0, 'a', 'b') FROM numbers({rows})"
)


def serve(client, table, **options):
    """A test client of an app with the table's CRUD router, then its query router, at /items."""
    app = FastAPI()
    app.include_router(create_crud_router(table, client, router_prefix="/items"))
    app.include_router(create_query_router(table, client, router_prefix="/items", **options))
    return TestClient(app)
