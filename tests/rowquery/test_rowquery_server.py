"""The query router on Debian's clickhouse-server 18.16: no EXPLAIN (the estimate is the active
parts' rows), no ILIKE, no Parquet, no lightweight DELETE, mutations in the background; values
bound typed, since 18.16 compares no number with text."""

import concurrent.futures
import json
import os
import time

import pytest
from processes import run_python
from rowquery_app import serve

from kelvora.clickhouse import connect

IN_PROGRESS = (
    "A request with this Idempotency-Key is in progress, or was cut short: its rows may be "
    "stored. Retry later; if it stays so, check the table before sending the rows with a new key"
)

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


# A service process of its own: uvicorn serving the router over the server, and clients in
# threads that send their requests at `start`, all with one Idempotency-Key; it prints each
# answer's status and body.
RETRYING_SERVICE = """
import concurrent.futures, json, socket, sys, threading, time
import httpx, uvicorn
from fastapi import FastAPI
from kelvora.clickhouse import connect
from kelvora.rowquery import create_query_router

app = FastAPI()
app.include_router(create_query_router("items", connect({dsn!r}), router_prefix="/items"))
listening = socket.socket()
listening.bind(("127.0.0.1", 0))
server = uvicorn.Server(uvicorn.Config(app, log_level="warning"))
headers = {{"content-type": "application/x-ndjson", "Idempotency-Key": "retried"}}

def post(http):
    r = http.post("/items/bulk/", content={body!r}, headers=headers)
    return [r.status_code, r.json()]

def clients():
    url = "http://127.0.0.1:%d" % listening.getsockname()[1]
    while not server.started:
        time.sleep(0.01)
    https = [httpx.Client(base_url=url, timeout=60) for _ in range({clients})]
    time.sleep(max(0.0, {start!r} - time.time()))
    with concurrent.futures.ThreadPoolExecutor({clients}) as pool:
        print(json.dumps(list(pool.map(post, https))))
    server.should_exit = True

threading.Thread(target=clients).start()
server.run(sockets=[listening])
"""


def test_concurrent_retries_from_two_processes_store_the_rows_once(clickhouse_server, server):
    client, _ = server
    body = "\n".join(
        json.dumps({"id": i, "name": "r", "price": 1, "tags": [], "at": "2024-02-02 00:00:00"})
        for i in (200, 201, 202)
    )
    code = RETRYING_SERVICE.format(
        tests=os.path.dirname(__file__),
        dsn=clickhouse_server.dsn(client.execute("SELECT currentDatabase()")[0][0]),
        body=body,
        start=time.time() + 8,
        clients=4,
    )
    with concurrent.futures.ThreadPoolExecutor(2) as services:
        runs = list(services.map(lambda _: run_python(code), range(2)))
    answers = []
    for run in runs:
        assert run.returncode == 0, run.stderr
        answers += json.loads(run.stdout)
    assert client.execute("SELECT count() FROM items WHERE id >= 200") == [(3,)]
    stored = [body for status, body in answers if status == 200 and not body["replayed"]]
    assert stored == [{"inserted": 3, "replayed": False}]
    for status, body in answers:
        assert (status, body) in (
            (200, {"inserted": 3, "replayed": True}),
            (200, {"inserted": 3, "replayed": False}),
            (409, {"detail": IN_PROGRESS}),
        )
