"""The `items` table on the embedded engine and on Debian's clickhouse-server 18.16 (the server
helper of the platform tests), served by rowquery_app's apps."""

import os
import sys
import uuid

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "platform"))
from clickhouse_server import ClickHouseServer, find_server_binary  # noqa: E402
from rowquery_app import FILL, ITEMS, serve  # noqa: E402


@pytest.fixture
def items(engine, database):
    """The `items` table of 25 rows on the embedded engine, its name qualified."""
    table = f"{database}.items"
    engine.execute(ITEMS.format(table=table))
    engine.execute(FILL.format(table=table, rows=25))
    return table


@pytest.fixture
def api(engine, items):
    return serve(engine, items, primary_key="id")


@pytest.fixture(scope="session")
def clickhouse_server():
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
    name = f"t_{uuid.uuid4().hex}"
    clickhouse_server.query(f"CREATE DATABASE {name}")
    try:
        yield name
    finally:
        clickhouse_server.query(f"DROP DATABASE IF EXISTS {name}")
