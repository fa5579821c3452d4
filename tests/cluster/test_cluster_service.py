"""The service on a Distributed table of a two-shard cluster (one 18.16 server, shard databases s1
and s2): the life of a record through every CRUD route, each step checked on the shards' local
tables, and the table plane's reads, export and bulk ingest."""

import json
import os
import subprocess
import sys
import time

import pytest

from kelvora.clickhouse import connect

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "service"))
from test_service import Service, free_port  # noqa: E402

LOCAL = """
    CREATE TABLE {database}.{table} (
        id String,
        region String,
        label String,
        amount Int32,
        created_at DateTime
    ) ENGINE = MergeTree ORDER BY (region, id)
"""
DISTRIBUTED = (
    "CREATE TABLE app.{table} AS s1.{table} "
    "ENGINE = Distributed(two_shards, '', {table}, cityHash64(id))"
)
SHARDS = ("s1", "s2")
KEY_READ = (
    "SELECT name FROM system.columns WHERE {database} AND table = %(table)s "
    "AND (is_in_sorting_key OR is_in_primary_key OR is_in_partition_key)"
)


@pytest.fixture
def service(tmp_path, one_server_cluster, table_name):
    for database in SHARDS:
        one_server_cluster.query(LOCAL.format(database=database, table=table_name))
    one_server_cluster.query(DISTRIBUTED.format(table=table_name))
    # The same table on one server, not distributed: what every answer is compared with.
    one_server_cluster.query(LOCAL.format(database="app", table=table_name + "_plain"))
    settings = tmp_path / "kelvora.toml"
    settings.write_text(
        f'dsn = "{one_server_cluster.dsn("app")}"\n'
        f'[[tables]]\nname = "{table_name}"\nfilterable = ["label"]\n'
        f'[[tables]]\nname = "{table_name}_plain"\n'
    )
    with Service("--config", str(settings), cwd=tmp_path) as running:
        yield running


def local_rows(node, table):
    """Each shard's rows, read from its local table: {shard database: {id: (label, amount)}}."""
    found = {}
    for database in SHARDS:
        text = node.query(f"SELECT id, label, amount FROM {database}.{table} FORMAT JSONCompact")
        found[database] = {key: (label, amount) for key, label, amount in json.loads(text)["data"]}
    return found


def shard_of(node, key):
    """The shard database cityHash64(id) sends a key to (shard 1 for remainder 0)."""
    remainder = int(node.query(f"SELECT cityHash64('{key}') % 2"))
    return SHARDS[remainder]


def newest_mutations(node, table):
    """The id of the newest mutation of each shard's local table."""
    return [
        node.query(
            f"SELECT mutation_id FROM system.mutations WHERE database = '{database}' AND "
            f"table = '{table}' ORDER BY create_time DESC, length(mutation_id) DESC, "
            "mutation_id DESC LIMIT 1"
        ).strip()
        for database in SHARDS
    ]


def eventually(read, expected, seconds=30.0):
    """Mutations run in the background on 18.16: `read()` once it equals `expected`."""
    deadline = time.monotonic() + seconds
    while (found := read()) != expected and time.monotonic() < deadline:
        time.sleep(0.1)
    return found


def test_the_life_of_a_record_on_a_distributed_table(service, one_server_cluster, table_name):
    http, node = service.http, one_server_cluster
    keys = ["a", "b", "c", "d", "e", "f"]
    for number, key in enumerate(keys):
        body = {"id": key, "region": "eu", "label": "new", "amount": number}
        created = http.post(f"/{table_name}/", json=body)
        assert created.status_code == 200, created.text
    # Every acknowledged insert is on its shard already, and the shards share the rows.
    expected = {database: {} for database in SHARDS}
    for number, key in enumerate(keys):
        expected[shard_of(node, key)][key] = ("new", number)
    assert local_rows(node, table_name) == expected
    assert all(expected.values())

    record = http.get(f"/{table_name}/c").json()
    assert (record["id"], record["region"], record["label"], record["amount"]) == (
        "c",
        "eu",
        "new",
        2,
    )
    listed = http.get(f"/{table_name}/", params={"label": "new", "limit": 4}).json()
    assert (listed["total"], [item["id"] for item in listed["items"]]) == (6, keys[:4])
    taken = {"id": "c", "region": "eu", "label": "x", "amount": 1}
    assert http.post(f"/{table_name}/", json=taken).status_code == 409

    updated = http.put(f"/{table_name}/c", json={"label": "done", "amount": 20})
    assert updated.status_code == 200, updated.text
    home = shard_of(node, "c")
    expected[home]["c"] = ("done", 20)
    assert eventually(lambda: local_rows(node, table_name), expected) == expected
    history = http.get(f"/{table_name}/c/history").json()
    assert [(item["label"], item["amount"]) for item in history["items"]] == [("done", 20)]

    deleted = http.delete(f"/{table_name}/c")
    assert deleted.status_code == 200, deleted.text
    del expected[home]["c"]
    assert eventually(lambda: local_rows(node, table_name), expected) == expected
    assert http.get(f"/{table_name}/c").status_code == 404
    assert http.get(f"/{table_name}/").json()["total"] == 5


def test_an_update_offers_the_columns_the_shards_can_update(service, table_name):
    schemas = service.http.get("/openapi.json").json()["components"]["schemas"]
    title = table_name.title().replace("_", "")
    # The local table's sorting key (region, id) is no column to update, though the
    # Distributed table itself has no key.
    assert list(schemas[title + "Update"]["properties"]) == ["label", "amount", "created_at"]
    answer = service.http.put(f"/{table_name}/a", json={"region": "us"})
    assert answer.status_code == 422, answer.text


@pytest.mark.parametrize("column", ["id", "region"])
def test_the_table_plane_refuses_to_set_a_key_column_of_the_local_table(
    service, table_name, column
):
    def patch(prefix):
        return service.http.patch(f"/{prefix}/rows/", params={"label": "eq.x"}, json={column: "y"})

    # The plain table's routes are at its name with "_" written "-".
    refused, plain = patch(table_name), patch(table_name + "-plain")
    assert (refused.status_code, plain.status_code) == (422, 422), refused.text
    assert refused.json() == plain.json()
    assert refused.json() == {"detail": f"Field {column}: a key or computed column is not updated"}


@pytest.mark.parametrize(
    "database, value",
    [("database = currentDatabase()", None), ("database = %(database)s", "app")],
    ids=["current database", "named database"],
)
def test_the_key_columns_of_a_distributed_table_are_its_local_tables(
    one_server_cluster, table_name, database, value
):
    for shard in SHARDS:
        one_server_cluster.query(LOCAL.format(database=shard, table=table_name))
    one_server_cluster.query(DISTRIBUTED.format(table=table_name))
    client = connect(one_server_cluster.dsn("app"))
    try:
        rows = client.execute(
            KEY_READ.format(database=database), {"database": value, "table": table_name}
        )
        # In the order of the local table's columns, as system.columns answers for any table.
        assert [tuple(row) for row in rows] == [("id",), ("region",)]
    finally:
        client.close()


def test_the_table_plane_reads_exports_and_ingests(service, one_server_cluster, table_name):
    http, node = service.http, one_server_cluster
    rows = [
        {"id": key, "region": "eu", "label": "bulk", "amount": 1, "created_at": "2024-01-01"}
        for key in "pqrs"
    ]
    ingested = http.post(f"/{table_name}/bulk/", json=rows)
    assert ingested.status_code == 200, ingested.text
    assert sorted(key for shard in local_rows(node, table_name).values() for key in shard) == [
        "p",
        "q",
        "r",
        "s",
    ]
    # Pages follow the key, as the Distributed table has no sorting key of its own.
    query = {"label": "eq.bulk", "select": "id,label", "limit": 2}
    page = http.get(f"/{table_name}/query/", params=query)
    assert page.status_code == 200, page.text
    assert page.json()["items"] == [{"id": "p", "label": "bulk"}, {"id": "q", "label": "bulk"}]
    following = http.get(page.json()["next"]).json()
    assert following["items"] == [{"id": "r", "label": "bulk"}, {"id": "s", "label": "bulk"}]
    exported = http.get(f"/{table_name}/export/", params={"format": "ndjson", "select": "id"})
    assert sorted(exported.text.split()) == [f'{{"id":"{key}"}}' for key in "pqrs"]


def test_the_table_plane_mutates_every_shard_and_follows_the_mutation(
    service, one_server_cluster, table_name
):
    http, node = service.http, one_server_cluster
    for key in "wxyz":
        body = {"id": key, "region": "eu", "label": "old", "amount": 1}
        assert http.post(f"/{table_name}/", json=body).status_code == 200
    # The first shard has a mutation of its own, so the shards number this one differently.
    node.query(f"ALTER TABLE s1.{table_name} DELETE WHERE id = 'none'")
    patched = http.patch(f"/{table_name}/rows/", params={"label": "eq.old"}, json={"amount": 9})
    assert patched.status_code == 200, patched.text
    answer = patched.json()
    ids = newest_mutations(node, table_name)
    assert ids[0] != ids[1]
    assert (answer["mutation_id"], answer["command"]) == (
        ",".join(ids),
        "UPDATE amount = 9 WHERE label = 'old'",
    )
    assert answer["status"] == f"/{table_name}/mutations/{','.join(ids)}/"
    done = eventually(lambda: http.get(answer["status"]).json()["is_done"], True)
    assert done is True
    status = http.get(answer["status"]).json()
    assert (status["mutation_id"], status["parts_to_do"]) == (",".join(ids), 0)
    amounts = {
        amount for rows in local_rows(node, table_name).values() for _, amount in rows.values()
    }
    assert amounts == {9}
    # An id of three shards' ids is no mutation of a table on two.
    assert http.get(f"/{table_name}/mutations/{','.join(ids + ids[:1])}/").status_code == 404

    counted = http.get(f"/{table_name}/query/", params={"count": "estimated", "limit": 1}).json()
    assert counted["count"] == 4
    deleted = http.delete(f"/{table_name}/rows/", params={"label": "eq.old"})
    assert deleted.json()["mutation_id"] == ",".join(newest_mutations(node, table_name))
    assert eventually(lambda: local_rows(node, table_name), {"s1": {}, "s2": {}}) == {
        "s1": {},
        "s2": {},
    }


def test_the_service_reaches_the_shards_on_the_dsns_shard_http_ports(
    tmp_path, one_server_cluster, table_name
):
    node = one_server_cluster
    for database in SHARDS:
        node.query(LOCAL.format(database=database, table=table_name))
    node.query(DISTRIBUTED.format(table=table_name))
    unused = free_port()
    # The start reads the local table's keys from a shard, on the port the DSN gives for its
    # native port, where nothing listens.
    dsn = f"{node.dsn('app')}?shard_http_ports={node.tcp_port}:{unused}"
    done = subprocess.run(
        [sys.executable, "-m", "kelvora", "serve", "--dsn", dsn, "--table", table_name],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (done.returncode, done.stderr) == (
        2,
        f"kelvora: table {table_name!r} cannot be served: No replica of a shard of "
        f"'two_shards' answers: Cannot connect to the ClickHouse server at 127.0.0.1:{unused}: "
        "Connection refused\n",
    )
    # Mapped to the shards' own HTTP port, the same DSN serves the table.
    dsn = f"{node.dsn('app')}?shard_http_ports={node.tcp_port}:{node.http_port}"
    with Service("--dsn", dsn, "--table", table_name, cwd=tmp_path) as service:
        patched = service.http.patch(
            f"/{table_name}/rows/", params={"label": "eq.x"}, json={"amount": 1}
        )
        assert patched.status_code == 200, patched.text
        assert service.stop() == 0


def test_a_malformed_shard_http_ports_ends_the_start_with_one_line(tmp_path):
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "kelvora",
            "serve",
            "--dsn",
            "http://127.0.0.1:9/app?shard_http_ports=9000",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (done.returncode, done.stderr) == (
        2,
        "kelvora: The ClickHouse DSN option shard_http_ports='9000' must be pairs of a native "
        "port and an HTTP port, e.g. 9000:8123,9001:8124\n",
    )
    assert os.listdir(tmp_path) == []
