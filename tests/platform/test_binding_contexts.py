"""Bound values keep their exact value in every place a statement uses them: compared in WHERE
(`=` and `IN`), selected, and inserted with VALUES, on the embedded engine and on the 18.16 server
for the types it has."""

from decimal import Decimal

import pytest

from kelvora.clickhouse import connect

# fmt: off
WIDE_INTEGERS = [
    ("Int128", 2**64), ("Int128", -(2**63) - 1), ("Int128", -(2**127)), ("Int128", 2**127 - 1),
    ("UInt128", 2**128 - 1), ("Int256", 2**200 + 1), ("Int256", -(2**255)),
    ("UInt256", 2**256 - 1), ("UInt64", 2**64 - 1), ("Int64", -(2**63)),
]
DECIMALS = [
    ("Decimal(18, 4)", Decimal("12345678901234.5678")),
    ("Decimal(18, 16)", Decimal("-0.0000000000000001")),
    ("Decimal(38, 20)", Decimal("12345678901234567.01234567890123456789")),
    ("Decimal(38, 0)", Decimal("-99999999999999999999999999999999999999")),
    ("Decimal(76, 38)", Decimal("9" * 38 + "." + "1" * 37 + "7")),
    ("Decimal(76, 76)", Decimal("-0." + "0" * 75 + "1")),
]
# fmt: on
# Decimal(P, S) beyond 38 digits, and integers beyond 64 bits, are newer than 18.16.
SERVER_DECIMALS = [(t, v) for t, v in DECIMALS if not t.startswith("Decimal(76")]


def round_trips(client, table, type_name, value):
    """The value inserted, found by = and IN, and selected, each exactly as it went in."""
    client.execute(f"CREATE TABLE {table} (id UInt8, v {type_name}) ENGINE = Memory")
    client.execute(
        f"INSERT INTO {table} VALUES (1, %(v)s), (2, %(other)s)", {"v": value, "other": 0}
    )
    p = {"v": value, "vs": (value, 0)}
    assert client.execute(f"SELECT id, v FROM {table} WHERE v = %(v)s", p) == [(1, value)]
    assert client.execute(f"SELECT id FROM {table} WHERE v IN %(vs)s ORDER BY id", p) == [
        (1,),
        (2,),
    ]
    # repr tells Decimal scales apart, which == does not.
    assert repr(client.execute("SELECT %(v)s", p)) == repr([(value,)])


@pytest.mark.parametrize("type_name, value", WIDE_INTEGERS + DECIMALS)
def test_exact_on_the_embedded_engine(engine, database, type_name, value):
    round_trips(engine, f"{database}.t", type_name, value)


@pytest.mark.parametrize("type_name, value", SERVER_DECIMALS + WIDE_INTEGERS[-2:])
def test_exact_on_the_server(clickhouse_server, server_database, type_name, value):
    client = connect(clickhouse_server.dsn(server_database))
    try:
        round_trips(client, "t", type_name, value)
    finally:
        client.close()
