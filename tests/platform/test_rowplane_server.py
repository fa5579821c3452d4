"""The CRUD router on Debian's clickhouse-server 18.16, which compares no number with text and
runs mutations in the background: typed keys and filters, and key literals that survive every
client's parameter binding (kelvora's HTTP client and clickhouse-driver's native protocol)."""

import time
import urllib.parse
import warnings

import pytest
from clickhouse_driver import Client as DriverClient
from fastapi import FastAPI
from pydantic import BaseModel

with warnings.catch_warnings():
    # Starlette's test client warns on import that it prefers httpx2 to the httpx installed here;
    # the client works the same with either.
    warnings.filterwarnings("ignore", message="Using `httpx` with `starlette.testclient`")
    from fastapi.testclient import TestClient

from kelvora.backends import ClickHouseBackend
from kelvora.clickhouse import connect
from kelvora.rowplane import create_crud_router

KEYS = ["%", "%%", "50%", "%(k)s", "a'b\\"]


class Item(BaseModel):
    id: int
    n: int = 0


def serve(router):
    app = FastAPI()
    app.include_router(router)
    return TestClient(app)


def eventually(read, expected, timeout=10.0):
    deadline = time.monotonic() + timeout
    while (value := read()) != expected and time.monotonic() < deadline:
        time.sleep(0.05)
    return value


@pytest.fixture
def server_client(clickhouse_server, server_database):
    client = connect(clickhouse_server.dsn(server_database))
    yield client
    client.close()


def test_typed_keys_and_filters_compare_as_numbers(server_client):
    server_client.execute("CREATE TABLE items (id UInt64, n UInt32) ENGINE = MergeTree ORDER BY id")
    server_client.execute("INSERT INTO items VALUES (7, 1), (8, 99)")
    http = serve(
        create_crud_router(
            "items",
            ClickHouseBackend(server_client),
            response_model=Item,
            filterable_fields=["n"],
            timestamp_field="",
        )
    )
    assert http.get("/items/7").json() == {"id": 7, "n": 1}
    assert [item["id"] for item in http.get("/items/?n=99").json()["items"]] == [8]
    assert http.get("/items/seven").status_code == 422


@pytest.mark.parametrize("binding", ["kelvora", "clickhouse-driver"])
def test_delete_of_keys_with_percent_signs(clickhouse_server, server_database, binding):
    admin = connect(clickhouse_server.dsn(server_database))
    admin.execute("CREATE TABLE codes (code String) ENGINE = MergeTree ORDER BY code")
    for key in KEYS:
        admin.execute("INSERT INTO codes VALUES (%(code)s)", {"code": key})
    client = (
        admin
        if binding == "kelvora"
        else DriverClient(
            clickhouse_server.host, port=clickhouse_server.tcp_port, database=server_database
        )
    )
    try:
        http = serve(create_crud_router("codes", ClickHouseBackend(client, primary_key="code")))
        remaining = set(KEYS)
        for key in KEYS:
            done = http.delete("/codes/" + urllib.parse.quote(key, safe=""))
            assert done.status_code == 200, done.text
            remaining.discard(key)
            assert eventually(lambda: stored(admin), remaining) == remaining
    finally:
        if client is not admin:
            client.disconnect()
        admin.close()


def stored(client):
    return {row[0] for row in client.execute("SELECT code FROM codes")}
