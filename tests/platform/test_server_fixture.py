"""The test server starts, answers over HTTP and gives each test its own database."""

import pytest
from clickhouse_server import QueryError


def test_server_answers_version(clickhouse_server):
    assert clickhouse_server.http_url.startswith("http://127.0.0.1:")
    version = clickhouse_server.query("SELECT version()").strip()
    assert version.split(".")[0].isdigit()


def test_dsn_names_default_user_and_database(clickhouse_server):
    port = clickhouse_server.http_url.rsplit(":", 1)[1]
    assert clickhouse_server.dsn("db1") == f"http://default:@127.0.0.1:{port}/db1"


def test_merge_tree_insert_and_count(clickhouse_server, server_database):
    query = clickhouse_server.query
    query(
        "CREATE TABLE items (id UInt64, name String) ENGINE = MergeTree() ORDER BY id",
        database=server_database,
    )
    query("INSERT INTO items VALUES (1, 'a'), (2, 'b'), (3, 'c')", database=server_database)
    assert query("SELECT count() FROM items", database=server_database) == "3\n"
    assert query(f"SELECT name FROM {server_database}.items WHERE id = 2") == "b\n"


def test_each_test_gets_an_empty_database(clickhouse_server, server_database):
    assert server_database.startswith("t_")
    assert clickhouse_server.query(f"SHOW TABLES FROM {server_database}") == ""


def test_failing_statement_raises_with_server_text(clickhouse_server):
    with pytest.raises(QueryError) as caught:
        clickhouse_server.query("SELECT * FROM no_such_database.no_such_table")
    assert caught.value.status >= 400
    assert "no_such_database" in caught.value.body
