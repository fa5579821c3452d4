"""A cached copy of a table on clickhouse-server 18.16, which has no Parquet: the copy comes
through the client's rows, the same copy the embedded engine's Parquet file gives."""

from kelvora.cache import DuckDbCacheManager
from kelvora.clickhouse import connect
from kelvora.service.cache_loads import engine_expression, load_copy, load_parquet, load_rows
from kelvora.service.tables import Column

TABLE = (
    "CREATE TABLE {}.items (id UInt64, label String, note Nullable(String), price Float64, "
    "day Date, moment DateTime, state Enum8('new' = 1, 'done' = 2)) "
    "ENGINE = MergeTree ORDER BY id"
)
ROWS = (
    "(2, 'b', NULL, 0.5, '2024-05-06', '2024-05-06 07:08:09', 'done'), "
    "(1, 'quote '' é', 'n', -1e300, '1970-01-01', '1970-01-01 00:00:00', 'new')"
)
COLUMNS = [
    Column(name, kind)
    for name, kind in [
        ("id", "UInt64"),
        ("label", "String"),
        ("note", "Nullable(String)"),
        ("price", "Float64"),
        ("day", "Date"),
        ("moment", "DateTime"),
        ("state", "Enum8('new' = 1, 'done' = 2)"),
    ]
]


def test_a_server_without_parquet_gives_the_copy_of_its_rows(
    clickhouse_server, server_database, engine, database
):
    engine.execute(TABLE.format(database))
    engine.execute(f"INSERT INTO {database}.items VALUES {ROWS}")
    clickhouse_server.query(TABLE.format(server_database))
    clickhouse_server.query(f"INSERT INTO {server_database}.items VALUES {ROWS}")
    server = connect(clickhouse_server.dsn(server_database))
    try:
        with DuckDbCacheManager() as cache:
            assert load_copy(server, cache, "server", "items", "id", COLUMNS) == 2
            assert load_rows(engine, cache, "rows", f"{database}.items", "id", COLUMNS) == 2
            table = f"{database}.items"
            expressions = [engine_expression(column) for column in COLUMNS]
            assert load_parquet(engine, cache, "parquet", table, "id", COLUMNS, expressions) == 2
            copied = cache.page(database="server", table="items")
            assert [row["id"] for row in copied[1]] == [1, 2]
            assert cache.page(database="rows", table=table) == copied
            assert cache.page(database="parquet", table=table) == copied
    finally:
        server.close()
