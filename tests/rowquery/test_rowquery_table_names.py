"""A table named with quoted parts: the tables the router keeps beside it, and what it reads of
it from the engine's system tables, are the table's own."""

import pytest
from rowquery_app import FILL, ITEMS, serve

from kelvora.clickhouse import connect

NAMES = [
    ("`{database} x`", "`odd-name`"),
    ("`{database} x`", "`with.dot`"),
    ('"{database} x"', '"quo""ted"'),
    ("{database}", "`back\\`quote`"),
]


# What 18.16 stores too.
PLAIN = "CREATE TABLE {table} (id UInt64, name String, at DateTime) ENGINE = MergeTree ORDER BY id"
PLAIN_FILL = (
    "INSERT INTO {table} SELECT number, concat('n', toString(number)), "
    "toDateTime('2024-01-01 00:00:00') FROM numbers({rows})"
)


def served(client, database_name, table_name, schema=ITEMS, fill=FILL):
    client.execute(f"CREATE DATABASE IF NOT EXISTS {database_name}")
    table = f"{database_name}.{table_name}"
    client.execute(schema.format(table=table))
    client.execute(fill.format(table=table, rows=5))
    return table, serve(client, table, primary_key="id")


def check_the_table_plane(client, table, api, row):
    headers = {"Idempotency-Key": "order-1"}
    first = api.post("/items/bulk/", json=[row], headers=headers)
    again = api.post("/items/bulk/", json=[row], headers=headers)
    assert (first.status_code, first.json()) == (200, {"inserted": 1, "replayed": False})
    assert (again.status_code, again.json()) == (200, {"inserted": 1, "replayed": True})
    assert client.execute(f"SELECT count() FROM {table}") == [(6,)]
    page = api.get("/items/query/?count=estimated&limit=2").json()
    assert (page["count"], [row["id"] for row in page["items"]]) == (6, [0, 1])
    update = api.patch("/items/rows/?id=eq.1", json={"name": "renamed"}).json()
    status = api.get(update["status"])
    assert (status.status_code, status.json()["command"]) == (200, update["command"])


@pytest.mark.parametrize(("database_name", "table_name"), NAMES)
def test_on_the_embedded_engine(engine, database, database_name, table_name):
    database_name = database_name.format(database=database)
    table, api = served(engine, database_name, table_name)
    try:
        row = {"id": 100, "name": "b", "price": "1.5", "tags": [], "at": "2024-02-02T10:00:00"}
        check_the_table_plane(engine, table, api, {**row, "kind": "a"})
    finally:
        engine.execute(f"DROP DATABASE IF EXISTS {database_name}")


@pytest.mark.parametrize(("database_name", "table_name"), NAMES[:2])
def test_on_the_server(clickhouse_server, server_database, database_name, table_name):
    client = connect(clickhouse_server.dsn(server_database))
    database_name = database_name.format(database=server_database)
    try:
        table, api = served(client, database_name, table_name, PLAIN, PLAIN_FILL)
        check_the_table_plane(client, table, api, {"id": 100, "name": "b", "at": "2024-02-02"})
    finally:
        client.execute(f"DROP DATABASE IF EXISTS {database_name}")
        client.close()
