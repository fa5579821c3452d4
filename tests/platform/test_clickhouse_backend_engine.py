"""ClickHouseBackend on a real engine: the embedded one, and a server over HTTP."""

import time
from datetime import datetime

import pytest

from kelvora.backends import ClickHouseBackend
from kelvora.clickhouse import connect

ITEMS = (
    "CREATE TABLE items (id UInt64, name String, qty Int32, created DateTime) "
    "ENGINE = MergeTree ORDER BY id"
)
CODES = "CREATE TABLE codes (code String, note String) ENGINE = MergeTree ORDER BY code"
ROWS = [
    {"id": 3, "name": "gamma", "qty": 30, "created": datetime(2024, 1, 3, 12, 0, 0)},
    {"id": 1, "name": "alpha", "qty": 10, "created": datetime(2024, 1, 1, 0, 0, 1)},
    {"id": 2, "name": "beta", "qty": 10, "created": datetime(2024, 1, 2, 23, 59, 59)},
    {"id": 4, "name": 'it\'s \\ "odd"\n', "qty": -40, "created": datetime(2105, 12, 31)},
]
KEY = "it's a \\' key \\"


class Engine:
    """A client whose current database is fresh, and how long its mutations may take to show."""

    def __init__(self, client, mutation_timeout):
        self.client, self.mutation_timeout = client, mutation_timeout

    def eventually(self, read, expected):
        deadline = time.monotonic() + self.mutation_timeout
        while (value := read()) != expected and time.monotonic() < deadline:
            time.sleep(0.05)
        return value


@pytest.fixture(params=["embedded", "server"])
def clickhouse(request):
    if request.param == "server":
        server = request.getfixturevalue("clickhouse_server")
        client = connect(server.dsn(request.getfixturevalue("server_database")))
        yield Engine(client, mutation_timeout=10.0)  # mutations run in the background there
        client.close()
        return
    # The process's one embedded engine: the test's database is current only during the test.
    client = request.getfixturevalue("engine")
    client.execute(f"USE {request.getfixturevalue('database')}")
    try:
        yield Engine(client, mutation_timeout=0.0)
    finally:
        client.execute("USE default")


@pytest.fixture
def items(clickhouse):
    clickhouse.client.execute(ITEMS)
    backend = ClickHouseBackend(clickhouse.client)
    for row in ROWS:
        assert backend.create("items", dict(row)) == row
    return backend


def by_id(*ids):
    rows = {row["id"]: row for row in ROWS}
    return [rows[i] for i in ids]


def test_create_and_query(items):
    assert items.query("items", {}, 10, 0) == by_id(1, 2, 3, 4)
    assert items.query("items", {}, 2, 1) == by_id(2, 3)
    assert items.query("items", {}, 10, 4) == []
    assert items.query("items", {"qty": 10}, 10, 0) == by_id(1, 2)
    assert items.query("items", {"qty": 10, "name": "beta"}, 10, 0) == by_id(2)
    assert items.query("items", {"name": ROWS[3]["name"]}, 10, 0) == by_id(4)
    assert items.query("items", {"name": "alpha' OR '1'='1"}, 10, 0) == []


def test_get_by_id(items):
    assert items.get_by_id("items", 4) == by_id(4)[0]
    with pytest.raises(ValueError) as e:
        items.get_by_id("items", 99)
    assert str(e.value) == "Record with id=99 not found"


def test_update_and_delete(clickhouse, items):
    changes = {"name": "renamed ' \\", "qty": 7}
    assert items.update("items", 2, dict(changes)) == {**changes, "id": 2}
    expected = [by_id(1)[0], {**by_id(2)[0], **changes}, *by_id(3, 4)]
    assert clickhouse.eventually(lambda: items.query("items", {}, 10, 0), expected) == expected

    assert items.delete("items", 3) is True
    del expected[2]
    assert clickhouse.eventually(lambda: items.query("items", {}, 10, 0), expected) == expected


def test_get_info(clickhouse, items):
    info = items.get_info("items")
    assert info["engine_full"].startswith("MergeTree")
    assert info == {
        "table_name": "items",
        "row_count": 4,
        "columns": ["id", "name", "qty", "created"],
        "column_types": {"id": "UInt64", "name": "String", "qty": "Int32", "created": "DateTime"},
        "engine": "MergeTree",
        "engine_full": info["engine_full"],
        "backend": "clickhouse",
        "primary_key": "id",
    }
    clickhouse.client.execute("CREATE TABLE empty (id UInt64) ENGINE = MergeTree ORDER BY id")
    assert ClickHouseBackend(clickhouse.client).get_info("empty")["row_count"] == 0


def test_keys_with_quotes_and_backslashes(clickhouse):
    clickhouse.client.execute(CODES)
    codes = ClickHouseBackend(clickhouse.client, primary_key="code")
    codes.create("codes", {"code": KEY, "note": "a"})
    codes.create("codes", {"code": "plain", "note": "b"})
    assert codes.get_by_id("codes", KEY) == {"code": KEY, "note": "a"}

    codes.update("codes", KEY, {"note": "changed\t'"})
    expected = [{"code": KEY, "note": "changed\t'"}, {"code": "plain", "note": "b"}]
    assert clickhouse.eventually(lambda: codes.query("codes", {}, 10, 0), expected) == expected

    codes.delete("codes", KEY)
    expected = [{"code": "plain", "note": "b"}]
    assert clickhouse.eventually(lambda: codes.query("codes", {}, 10, 0), expected) == expected
    with pytest.raises(ValueError) as e:
        codes.get_by_id("codes", KEY)
    assert str(e.value) == f"Record with code={KEY} not found"
