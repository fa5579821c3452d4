"""Bound values keep their exact value (numbers) or instant (aware datetimes) wherever a statement
uses them: compared in WHERE (`=` and `IN`), selected, given to functions and inserted with VALUES,
on the embedded engine and on the 18.16 server for the types it has."""

import enum
import uuid
from datetime import UTC, datetime, timedelta, tzinfo
from decimal import Decimal
from zoneinfo import ZoneInfo

import pytest
from clickhouse_server import ClickHouseServer, find_server_binary

from kelvora._clickhouse import bind
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


# ---- aware datetimes are their instant -----------------------------------------------------------

KAMCHATKA, NOVOSIBIRSK = ZoneInfo("Asia/Kamchatka"), ZoneInfo("Asia/Novosibirsk")
MOMENT = datetime(2017, 7, 14, 5, 40, tzinfo=KAMCHATKA)
# fmt: off
INSTANTS = [
    ("DateTime('Asia/Novosibirsk')", MOMENT), ("DateTime", MOMENT),
    ("DateTime('Asia/Novosibirsk')", datetime(2017, 7, 13, 17, 40, tzinfo=UTC)),
]
# DateTime64 is newer than 18.16.
INSTANTS_EMBEDDED = INSTANTS + [
    ("DateTime64(6, 'Asia/Novosibirsk')", MOMENT.replace(microsecond=123456)),
    ("DateTime64(3)", datetime(1969, 12, 31, 23, 59, 59, 125000, tzinfo=KAMCHATKA)),
]
# fmt: on


class NoOffset(tzinfo):
    def utcoffset(self, moment):
        return None


def instants(client, table, type_name, moment, server_zone):
    """The instant stored, found by = and IN, and given to functions, whatever the zones."""
    column_zone = NOVOSIBIRSK if "Novosibirsk" in type_name else server_zone
    client.execute(f"CREATE TABLE {table} (id UInt8, v {type_name}) ENGINE = Memory")
    other = datetime(2000, 1, 1, tzinfo=UTC)
    # Whole seconds: a naive datetime with a fraction is read in the server's zone (a DateTime64).
    naive = moment.replace(microsecond=0, tzinfo=None)
    p = {"v": moment, "vs": (moment, other), "naive": naive.replace(tzinfo=NoOffset())}
    client.execute(f"INSERT INTO {table} VALUES (1, %(v)s), (2, %(naive)s)", p)
    wall = moment.astimezone(column_zone).replace(tzinfo=None)
    assert client.execute(f"SELECT id, v FROM {table} WHERE v = %(v)s", p) == [(1, wall)]
    assert client.execute(f"SELECT id FROM {table} WHERE v IN %(vs)s", p) == [(1,)]
    # A tzinfo without an offset leaves the datetime naive: its wall-clock time in the column.
    assert client.execute(f"SELECT v FROM {table} WHERE id = 2") == [(naive,)]
    text = client.execute("SELECT toString(%(v)s, 'Asia/Novosibirsk')", p)[0][0]
    assert text[:19] == str(moment.astimezone(NOVOSIBIRSK).replace(tzinfo=None))[:19]
    if moment.year >= 1970:  # the function's range
        assert client.execute("SELECT toUnixTimestamp(%(v)s)", p) == [(int(moment.timestamp()),)]


@pytest.mark.parametrize("type_name, moment", INSTANTS_EMBEDDED)
def test_instants_on_the_embedded_engine(engine, database, type_name, moment):
    instants(engine, f"{database}.t", type_name, moment, engine.timezone or UTC)


@pytest.fixture(scope="module")
def moscow_server():
    """A server whose own zone is neither the columns' nor the values'."""
    binary = find_server_binary()
    if binary is None:
        pytest.skip("clickhouse-server is not installed")
    with ClickHouseServer(binary, timezone="Europe/Moscow") as server:
        yield server


@pytest.mark.parametrize("type_name, moment", INSTANTS)
def test_instants_on_a_server_in_another_zone(moscow_server, type_name, moment):
    database = f"t_{uuid.uuid4().hex}"
    moscow_server.query(f"CREATE DATABASE {database}")
    client = connect(moscow_server.dsn(database))
    try:
        instants(client, "t", type_name, moment, ZoneInfo("Europe/Moscow"))
    finally:
        client.close()
        moscow_server.query(f"DROP DATABASE {database}")


# ---- datetimes with microseconds ---------------------------------------------------------------

NOW = datetime(2024, 5, 6, 7, 8, 9, 123456)  # as datetime.now() gives them
WHOLE = NOW.replace(microsecond=0)


def fractions(client, table, type_name, stored, datetime64):
    """A naive datetime with microseconds inserted, found by = and IN, and selected, bound in
    the form for a server with DateTime64 or without."""

    def run(sql, params=None):
        return client.execute(bind(sql, params, datetime64=datetime64))

    run(f"CREATE TABLE {table} (id UInt8, v {type_name}) ENGINE = Memory")
    p = {"now": NOW, "all": (NOW, datetime(2000, 1, 1, 0, 0, 0, 1))}
    run(f"INSERT INTO {table} (id, v) VALUES (1, %(now)s)", p)
    assert run(f"SELECT v FROM {table}") == [(stored,)]
    # A column compares what it holds with the whole value: only a column that keeps the
    # fraction finds it, and none refuses it. Without DateTime64 the whole seconds are compared.
    found = [(1,)] if stored == NOW or not datetime64 else []
    assert run(f"SELECT id FROM {table} WHERE v = %(now)s", p) == found
    assert run(f"SELECT id FROM {table} WHERE v IN %(all)s", p) == found
    assert run(f"SELECT id FROM {table} WHERE v <= %(now)s", p) == [(1,)]
    assert run("SELECT %(now)s", p) == [(NOW if datetime64 else WHOLE,)]


# fmt: off
FRACTIONS = [
    ("DateTime", WHOLE, True), ("DateTime64(6)", NOW, True),
    ("DateTime64(3)", NOW.replace(microsecond=123000), True), ("Nullable(DateTime)", WHOLE, True),
    # The form for servers without DateTime64 works on those with it, keeping whole seconds.
    ("DateTime", WHOLE, False), ("DateTime64(6)", WHOLE, False),
    ("Nullable(DateTime)", WHOLE, False),
]
# fmt: on


@pytest.mark.parametrize("type_name, stored, datetime64", FRACTIONS)
def test_fractions_on_the_embedded_engine(engine, database, type_name, stored, datetime64):
    fractions(engine, f"{database}.t", type_name, stored, datetime64)


def test_fractions_by_default_on_the_embedded_engine(engine):
    # The embedded engine has DateTime64: bind's default form.
    assert engine.execute("SELECT %(v)s", {"v": NOW}) == [(NOW,)]


@pytest.mark.parametrize("type_name", ["DateTime", "Nullable(DateTime)"])
def test_fractions_on_the_server(clickhouse_server, server_database, type_name):
    client = connect(clickhouse_server.dsn(server_database))
    try:
        fractions(client, "t", type_name, WHOLE, datetime64=False)
    finally:
        client.close()


def test_aware_fractions_on_a_server_without_datetime64(moscow_server):
    """An aware datetime with microseconds is the instant of its whole seconds there."""
    database = f"t_{uuid.uuid4().hex}"
    moscow_server.query(f"CREATE DATABASE {database}")
    client = connect(moscow_server.dsn(database))
    moment = MOMENT.replace(microsecond=250000)
    p = {"v": moment, "vs": (moment, datetime(2000, 1, 1, tzinfo=UTC))}

    def run(sql):
        return client.execute(bind(sql, p, datetime64=False))

    try:
        run("CREATE TABLE t (id UInt8, v DateTime('Asia/Novosibirsk')) ENGINE = Memory")
        run("INSERT INTO t VALUES (1, %(v)s)")
        wall = moment.astimezone(NOVOSIBIRSK).replace(tzinfo=None, microsecond=0)
        assert run("SELECT id, v FROM t WHERE v = %(v)s") == [(1, wall)]
        assert run("SELECT id FROM t WHERE v IN %(vs)s") == [(1,)]
        assert run("SELECT toUnixTimestamp(%(v)s)") == [(int(moment.timestamp()),)]
    finally:
        client.close()
        moscow_server.query(f"DROP DATABASE {database}")


# ---- maps, tuples of one, enums and intervals ---------------------------------------------------


class Level(enum.Enum):
    HIGH = "high"


def test_maps_in_every_context(engine, database):
    table = f"{database}.t"
    engine.execute(f"CREATE TABLE {table} (id UInt8, m Map(String, Array(UInt8))) ENGINE = Memory")
    p = {"m": {"a'": [1, 2], "b": []}, "empty": {}}
    engine.execute(f"INSERT INTO {table} VALUES (1, %(m)s), (2, %(empty)s)", p)
    assert engine.execute(f"SELECT id FROM {table} WHERE m = %(m)s", p) == [(1,)]
    assert engine.execute(f"SELECT id FROM {table} WHERE m = %(empty)s", p) == [(2,)]
    assert engine.execute("SELECT %(m)s, CAST(%(m)s AS Map(String, Array(UInt16)))", p) == [
        (p["m"], p["m"])
    ]
    assert engine.execute("SELECT CAST(%(empty)s AS Map(String, UInt8))", p) == [({},)]


def values_of_one(client, table):
    client.execute(f"CREATE TABLE {table} (id UInt8, s String) ENGINE = Memory")
    p = {"one": (1,), "pair": ((1,), (2,)), "level": Level.HIGH}
    client.execute(f"INSERT INTO {table} VALUES (1, %(level)s), (2, 'low')", p)
    assert client.execute(f"SELECT s FROM {table} WHERE id IN %(one)s", p) == [("high",)]
    assert client.execute(f"SELECT id FROM {table} WHERE s = %(level)s", p) == [(1,)]
    assert client.execute("SELECT %(one)s, %(pair)s", p) == [((1,), ((1,), (2,)))]
    start = datetime(2024, 1, 2, 3, 4, 5)
    shifted = client.execute(
        "SELECT toDateTime(%(start)s) - %(age)s",
        {"start": start, "age": timedelta(days=1, seconds=5)},
    )
    assert shifted == [(datetime(2024, 1, 1, 3, 4, 0),)]


def test_tuples_of_one_enums_and_intervals_on_the_embedded_engine(engine, database):
    values_of_one(engine, f"{database}.t")
    moment = datetime(2024, 1, 2, 3, 4, 5, 500000)
    shifted = engine.execute("SELECT %(m)s + %(d)s", {"m": moment, "d": timedelta(microseconds=-5)})
    assert shifted == [(moment - timedelta(microseconds=5),)]


def test_tuples_of_one_enums_and_intervals_on_the_server(clickhouse_server, server_database):
    client = connect(clickhouse_server.dsn(server_database))
    try:
        values_of_one(client, "t")
    finally:
        client.close()
