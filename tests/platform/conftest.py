"""Fixtures for tests against a real ClickHouse server started for the test session.

`clickhouse_server` starts one server on loopback for the whole session (skipping the test
when the binary is missing); `server_database` gives each test a fresh, empty database on it;
`each_engine` runs a test once on the embedded engine and once on a client of that database.
"""

import uuid

import pytest
from clickhouse_server import ClickHouseServer, find_server_binary

from kelvora.clickhouse import connect


@pytest.fixture(scope="session")
def clickhouse_server():
    """A running server: `.http_url`, `.dsn(database)`, `.query(sql, database=None)`."""
    binary = find_server_binary()
    if binary is None:
        pytest.skip("clickhouse-server is not installed")
    server = ClickHouseServer(binary)
    server.start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def server_database(clickhouse_server):
    """The name of a database made for this test alone; it is dropped afterwards."""
    name = f"t_{uuid.uuid4().hex}"
    clickhouse_server.query(f"CREATE DATABASE {name}")
    try:
        yield name
    finally:
        clickhouse_server.query(f"DROP DATABASE IF EXISTS {name}")


@pytest.fixture(params=["embedded", "server"])
def each_engine(request):
    """The embedded engine's client, then a client of a fresh database on the server."""
    if request.param == "embedded":
        yield request.getfixturevalue("engine")
        return
    server = request.getfixturevalue("clickhouse_server")
    client = connect(server.dsn(request.getfixturevalue("server_database")))
    yield client
    client.close()
