"""Fixtures for tests against a real ClickHouse server started for the test session.

`clickhouse_server` starts one server on loopback for the whole session (skipping the test
when the binary is missing); `server_database` gives each test a fresh, empty database on it.
"""

import uuid

import pytest
from clickhouse_server import ClickHouseServer, find_server_binary


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
