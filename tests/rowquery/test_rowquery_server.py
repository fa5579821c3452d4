"""The query router on Debian's clickhouse-server 18.16: no EXPLAIN (the estimate is the active
parts' rows), no ILIKE, no Parquet, no lightweight DELETE, mutations in the background; values
bound typed, since 18.16 compares no number with text."""

import json
import time

import pytest
from rowquery_app import serve

from kelvora.clickhouse import connect

TABLE = (
    "CREATE TABLE {table} (id UInt64, name String, price Float64, tags Array(String), "
    "note Nullable(String), at DateTime) ENGINE = MergeTree ORDER BY id"
)


@pytest.fixture
def server(clickhouse_server, server_database):
    client = connect(clickhouse_server.dsn(server_database))
    client.execute(TABLE.format(table="items"))
    client.execute(
        "INSERT INTO items SELECT number, concat('N', toString(number)), number / 4, "
        "['a', toString(number % 3)], if(number % 2 = 0, NULL, 'x'), "
        "toDateTime('2024-01-01 00:00:00') + number FROM numbers(25)"
    )
    try:
        yield client, serve(client, "items", primary_key="id")
    finally:
        client.close()


def ids(api, query):
    r = api.get("/items/query/?select=id&" + query)
    assert r.status_code == 200, r.text
    return [row["id"] for row in r.json()["items"]]


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        ("id=in.(4,2)", [2, 4]),
        ("price=between.(1.5,2)", [6, 7, 8]),
        ("name=ilike.n2_", [20, 21, 22, 23, 24]),
        ("note=is_null.true&id=lt.5", [0, 2, 4]),
        ("tags=has.2&id=lt.9", [2, 5, 8]),
        ("at=gt.2024-01-01 00:00:22", [23, 24]),
    ],
)
def test_filters(server, query, expected):
    assert ids(server[1], query) == expected


def test_cursor_pages_and_the_parts_estimate(server):
    _, api = server
    url, seen, counts = "/items/query/?limit=10&select=id&count=estimated&id=gte.3", [], []
    while url:
        page = api.get(url).json()
        seen += [row["id"] for row in page["items"]]
        counts.append(page["count"])
        url = page["next"]
    assert seen == list(range(3, 25))
    assert counts == [25, 25, 25]


def test_export_streams_from_the_server(server):
    _, api = server
    r = api.get("/items/export/?select=id,note&id=lt.2")
    assert r.text == '{"id":"0","note":null}\n{"id":"1","note":"x"}\n'
    assert api.get("/items/export/?format=parquet").json() == {
        "detail": "This ClickHouse server cannot write Parquet (version 20.1 or later can)"
    }


def test_bulk_and_an_idempotent_retry(server):
    client, api = server
    body = "\n".join(
        json.dumps({"id": i, "name": "b", "price": 1, "tags": [], "at": "2024-02-02 00:00:00"})
        for i in (100, 101)
    )
    headers = {"content-type": "application/x-ndjson", "Idempotency-Key": "k"}
    assert api.post("/items/bulk/", content=body, headers=headers).json() == {
        "inserted": 2,
        "replayed": False,
    }
    assert api.post("/items/bulk/", content=body, headers=headers).json()["replayed"] is True
    assert client.execute("SELECT count() FROM items WHERE id >= 100") == [(2,)]


def test_mutations_run_in_the_background_and_show_their_status(server):
    client, api = server
    answer = api.delete("/items/rows/?id=lt.5").json()
    assert answer["command"] == "DELETE WHERE id < 5"
    deadline = time.monotonic() + 10
    while not api.get(answer["status"]).json()["is_done"] and time.monotonic() < deadline:
        time.sleep(0.05)
    status = api.get(answer["status"]).json()
    assert (status["is_done"], status["latest_fail_reason"]) == (True, None)
    assert client.execute("SELECT count() FROM items") == [(20,)]
