"""Loading a cached copy: through the engine's Parquet file the copy is the one built from the
client's rows, value for value and type for type, and types only Python writes take the rows."""

import pytest

from kelvora.cache import DuckDbCacheManager
from kelvora.service.cache_loads import engine_expression, load_copy, load_parquet, load_rows
from kelvora.service.tables import Column

TABLE = """
    CREATE TABLE {}.every (
        id UInt64, i8 Int8, u32 Nullable(UInt32), wide Int64, f32 Float32, f64 Nullable(Float64),
        flag Bool, maybe Nullable(Bool), label String, note Nullable(String),
        lc LowCardinality(Nullable(String)), state Enum8('new' = 1, 'it''s done' = 2),
        day Date, old Date32, moment DateTime, tokyo DateTime('Asia/Tokyo'),
        seen Nullable(DateTime), ref UUID, `odd ``name``` UInt8
    ) ENGINE = MergeTree ORDER BY id
"""
# Inserted out of key order, in parts of their own.
ROWS = [
    "(3, -128, NULL, -9223372036854775808, 0.1, nan, true, NULL, 'quote '' \\\\ \\n \\t é 😀', "
    "NULL, NULL, 'it''s done', '1970-01-01', '1900-01-01', '1970-01-01 00:00:00', "
    "'2024-05-06 07:08:09', NULL, '00000000-0000-0000-0000-000000000000', 255)",
    "(18446744073709551615, 127, 4294967295, 9223372036854775807, -0.0, 1e300, false, true, '', "
    "'', 'lc', 'new', '2149-06-06', '2299-12-31', '2106-02-07 06:28:15', "
    "'1999-12-31 23:59:59', '2024-01-01 00:00:00', '61F0C404-5CB3-11E7-907B-A6006AD3DBA0', 0)",
    "(1, 0, 7, 0, 3.4028235e38, inf, true, false, 'a', 'b', 'lc', 'new', '2024-02-29', "
    "'1969-07-20', '2024-02-29 12:00:00', '2024-02-29 12:00:00', '2024-02-29 12:00:00', "
    "'61f0c404-5cb3-11e7-907b-a6006ad3dba0', 1)",
]


@pytest.fixture
def every(engine, database):
    engine.execute(TABLE.format(database))
    for row in ROWS:
        engine.execute(f"INSERT INTO {database}.every VALUES {row}")
    described = engine.execute(f"DESCRIBE {database}.every")
    return f"{database}.every", [Column(name, kind) for name, kind, *_ in described]


def test_the_parquet_copy_is_the_copy_of_the_rows(engine, every):
    table, columns = every
    expressions = [engine_expression(column) for column in columns]
    assert None not in expressions
    with DuckDbCacheManager() as cache:
        assert load_rows(engine, cache, "rows", table, "id", columns) == 3
        assert load_parquet(engine, cache, "parquet", table, "id", columns, expressions) == 3
        from_rows = cache.page(database="rows", table=table)
        assert cache.page(database="parquet", table=table) == from_rows
        assert [row["id"] for row in from_rows[1]] == [1, 3, 2**64 - 1]
        # Pages of the copy are ranges of its rows' places: those follow the key too.
        assert cache.page(database="parquet", table=table, limit=1, offset=2) == (
            3,
            from_rows[1][2:],
        )
        info = cache.get_table_info(database="rows", table=table)
        assert cache.get_table_info(database="parquet", table=table) == info


def test_a_copy_is_loaded_again_over_the_last(engine, every):
    table, columns = every
    with DuckDbCacheManager() as cache:
        assert load_copy(engine, cache, "db", table, "id", columns) == 3
        engine.execute(f"ALTER TABLE {table} DELETE WHERE id = 1 SETTINGS mutations_sync = 2")
        assert load_copy(engine, cache, "db", table, "id", columns) == 2
        assert [row["id"] for row in cache.page(database="db", table=table)[1]] == [3, 2**64 - 1]


@pytest.mark.parametrize(
    "kind",
    [
        "Decimal(10, 2)",
        "Nullable(Decimal(9, 2))",
        "Array(UInt8)",
        "Map(String, Int16)",
        "Tuple(UInt8, String)",
        "IPv4",
        "IPv6",
        "Int128",
        "UInt256",
        "DateTime64(3)",
        "FixedString(3)",
    ],
)
def test_types_only_python_writes_take_the_rows(kind):
    assert engine_expression(Column("c", kind)) is None


@pytest.mark.parametrize(
    "kind, expression",
    [
        ("LowCardinality(Nullable(UInt16))", "toUInt64(`c`)"),
        ("Float32", "if(isNaN(`c`), NULL, toFloat64(`c`))"),
        ("Enum16('a' = 1)", "toString(`c`)"),
        ("Nullable(DateTime('UTC'))", "concat('\"', replaceOne(toString(`c`), ' ', 'T'), '\"')"),
    ],
)
def test_engine_expressions(kind, expression):
    assert engine_expression(Column("c", kind)) == expression
