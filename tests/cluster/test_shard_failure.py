"""A shard lost mid-request, on two 18.16 servers that are each a shard of the cluster: the
service answers a clear 503 and loses no acknowledged row; a mutation that reaches some shards
only says which, and sent again once the shard is back it is applied everywhere."""

import contextlib
import json
import os
import signal
import sys
import threading
import time

import pytest

from kelvora import clickhouse
from kelvora.clickhouse import ClickHouseConnectionError, connect
from kelvora.cluster import ShardMutationError, ShardUnavailable

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "service"))
from test_service import Service  # noqa: E402

LOCAL = "CREATE TABLE shard.items (id UInt64, label String) ENGINE = MergeTree ORDER BY id"
DISTRIBUTED = (
    "CREATE TABLE default.items (id UInt64, label String) "
    "ENGINE = Distributed(two_shards, '', items, id)"
)


@pytest.fixture
def cluster(two_node_cluster):
    for node in two_node_cluster:
        node.query(LOCAL)
    two_node_cluster[0].query(DISTRIBUTED)
    return two_node_cluster


def drain(service):
    """Reads the service's output as it comes: each refused request logs its error, more than a
    pipe holds, and a service whose log cannot be written stops answering."""

    def read():
        with contextlib.suppress(ValueError, OSError):
            for _ in service.process.stdout:
                pass

    threading.Thread(target=read, daemon=True).start()


def stored(node):
    text = node.query("SELECT id, label FROM shard.items ORDER BY id FORMAT JSONCompact")
    return [(int(key), label) for key, label in json.loads(text)["data"]]


def test_a_shard_lost_mid_request_answers_503_and_keeps_every_acknowledged_row(tmp_path, cluster):
    first, second = cluster
    settings = tmp_path / "kelvora.toml"
    settings.write_text(f'dsn = "{first.dsn()}"\n[[tables]]\nname = "items"\n')
    acknowledged, refused = [], []
    with Service("--config", str(settings), cwd=tmp_path) as service:
        drain(service)

        def create_all():
            for key in range(1, 200):
                answer = service.http.post("/items/", json={"id": key, "label": f"n{key}"})
                (acknowledged if answer.status_code == 200 else refused).append((key, answer))

        writer = threading.Thread(target=create_all)
        writer.start()
        while len(acknowledged) < 20:
            time.sleep(0.01)
        second.kill()
        writer.join()
        assert refused, "every create was answered before the shard was lost"
        for _, answer in refused:
            assert answer.status_code == 503, answer.text
            assert answer.headers["Retry-After"] == "1"
            body = answer.json()
            assert body == {
                "detail": "Failed to create record: ClickHouse cannot be reached",
                "request_id": answer.headers["X-Request-ID"],
            }
        second.start()
        rows = {key: label for node in cluster for key, label in stored(node)}
        for key, _ in acknowledged:
            assert rows.get(key) == f"n{key}"
        # Each row is on its shard (the sharding key is the id: odd ids on the second).
        assert all(key % 2 == 1 for key, _ in stored(second))
        after = service.http.post("/items/", json={"id": 1000, "label": "back"})
        assert after.status_code == 200, after.text


def test_a_read_without_a_shard_is_a_connection_error(cluster):
    first, second = cluster
    client = connect(first.dsn())
    second.kill()
    with pytest.raises(ShardUnavailable) as raised:
        client.execute("SELECT count() FROM items")
    assert isinstance(raised.value, ClickHouseConnectionError)
    assert str(raised.value).startswith(
        f"The ClickHouse server at 127.0.0.1:{first.http_port} cannot reach a shard: Code: 279, "
    )
    client.close()


def test_a_mutation_some_shards_missed_names_them_and_applies_when_sent_again(cluster):
    first, second = cluster
    client = connect(first.dsn())
    client.execute("INSERT INTO items VALUES (1, 'a'), (2, 'b'), (3, 'c'), (4, 'd')")
    second.kill()
    statement = "ALTER TABLE items UPDATE label = 'x' WHERE id IN (1, 2, 3, 4)"
    with pytest.raises(ShardMutationError) as raised:
        client.execute(statement)
    address = f"127.0.0.2:{first.http_port}"
    assert str(raised.value) == (
        "ALTER TABLE items UPDATE was applied on shard 1, which keeps the change, and not on the "
        f"others (shard 2: Cannot connect to the ClickHouse server at {address}: Connection "
        "refused). Send it again once every shard answers: an update to fixed values, or a "
        "delete, changes nothing where it was applied"
    )
    assert isinstance(raised.value, ClickHouseConnectionError)
    assert (raised.value.applied, list(raised.value.failed)) == ([1], [2])
    second.start()
    client.execute(statement)
    for node in cluster:
        deadline = time.monotonic() + 30
        while any(label != "x" for _, label in stored(node)) and time.monotonic() < deadline:
            time.sleep(0.1)
    assert stored(first) == [(2, "x"), (4, "x")]
    assert stored(second) == [(1, "x"), (3, "x")]
    client.close()


def test_a_shard_that_refuses_a_mutation_fails_it(cluster):
    first, second = cluster
    second.query("ALTER TABLE shard.items ADD COLUMN extra UInt8")
    first.query("ALTER TABLE default.items ADD COLUMN extra UInt8")
    client = connect(first.dsn())
    with pytest.raises(ShardMutationError) as raised:
        client.execute("ALTER TABLE items UPDATE extra = 1 WHERE id = 1")
    assert not isinstance(raised.value, ClickHouseConnectionError)
    assert (raised.value.applied, list(raised.value.failed)) == ([2], [1])
    assert str(raised.value.failed[1]).startswith("Code: ")
    client.close()


@pytest.mark.parametrize(
    "ports, error, text",
    [
        ([9000], TypeError, "shard_http_ports must be a mapping, not list"),
        (
            {9000: 0},
            ValueError,
            "shard_http_ports maps port numbers to port numbers, not 9000 to 0",
        ),
        (
            {"9000": 8123},
            ValueError,
            "shard_http_ports maps port numbers to port numbers, not '9000' to 8123",
        ),
    ],
)
def test_shard_http_ports_are_checked(ports, error, text):
    with pytest.raises(error) as raised:
        connect("http://127.0.0.1:1/db", shard_http_ports=ports)
    assert str(raised.value) == text


@pytest.mark.parametrize(
    "query, text",
    [
        (
            "9000",
            "The ClickHouse DSN option shard_http_ports='9000' must be pairs of a native port and "
            "an HTTP port, e.g. 9000:8123,9001:8124",
        ),
        (
            "9000:8123,",
            "The ClickHouse DSN option shard_http_ports='9000:8123,' must be pairs of a native "
            "port and an HTTP port, e.g. 9000:8123,9001:8124",
        ),
        (
            "9000:65536",
            "The ClickHouse DSN option shard_http_ports='9000:65536' must be pairs of a native "
            "port and an HTTP port, e.g. 9000:8123,9001:8124",
        ),
        (
            "9000:+8123",
            "The ClickHouse DSN option shard_http_ports='9000:+8123' must be pairs of a native "
            "port and an HTTP port, e.g. 9000:8123,9001:8124",
        ),
        (
            "9000:8123,9000:8124",
            "The ClickHouse DSN option shard_http_ports='9000:8123,9000:8124' gives the native "
            "port 9000 twice",
        ),
    ],
    ids=["no pair", "trailing comma", "port out of range", "signed port", "native port twice"],
)
def test_shard_http_ports_in_the_dsn_are_checked(query, text):
    # Refused before any connection is made (nothing listens on port 1).
    with pytest.raises(ValueError) as raised:
        connect(f"http://127.0.0.1:1/db?shard_http_ports={query}")
    assert str(raised.value) == text


def test_shard_http_ports_in_the_dsn_are_pairs():
    options = clickhouse._parse_options("shard_http_ports=9000:8123,9001:8124")
    assert options.shard_http_ports == ((9000, 8123), (9001, 8124))


def test_shard_http_ports_are_given_once():
    with pytest.raises(ValueError) as raised:
        connect("http://127.0.0.1:1/db?shard_http_ports=9000:8123", shard_http_ports={9001: 8124})
    assert str(raised.value) == (
        "shard_http_ports is given both in the DSN and to connect(): give it once"
    )


@pytest.mark.parametrize("where", ["argument", "dsn"])
def test_shard_http_ports_name_each_shards_http_port(cluster, where):
    first, _ = cluster
    unused = 1
    if where == "argument":
        client = connect(first.dsn(), shard_http_ports={first.tcp_port: unused})
    else:
        # Escaped or not, as a URL's query may be written.
        client = connect(f"{first.dsn()}?shard_http_ports={first.tcp_port}%3A{unused}")
    with pytest.raises(ShardMutationError) as raised:
        client.execute("ALTER TABLE items DELETE WHERE id = 1")
    assert sorted(raised.value.failed) == [1, 2]
    assert [str(error) for error in raised.value.failed.values()] == [
        f"Cannot connect to the ClickHouse server at {host}:{unused}: Connection refused"
        for host in ("127.0.0.1", "127.0.0.2")
    ]
    client.close()


@pytest.mark.parametrize(
    "arguments",
    [
        "'', items",
        "shard, items",
        "'shard', 'items'",
        "`shard`, `items`",
    ],
)
def test_a_mutation_reaches_the_local_table_however_the_engine_names_it(cluster, arguments):
    first = cluster[0]
    first.query(
        "CREATE TABLE default.spread (id UInt64, label String) "
        f"ENGINE = Distributed(two_shards, {arguments}, id)"
    )
    client = connect(first.dsn())
    client.execute("INSERT INTO spread VALUES (1, 'a'), (2, 'b')")
    client.execute("ALTER TABLE spread DELETE WHERE id IN (1, 2)")
    for node in cluster:
        deadline = time.monotonic() + 30
        while stored(node) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert stored(node) == []
    client.close()


def test_a_stalled_shard_answers_503_in_read_timeout_and_the_service_goes_on(tmp_path, cluster):
    first, second = cluster
    settings = tmp_path / "kelvora.toml"
    settings.write_text(f'dsn = "{first.dsn()}?read_timeout=2"\n[[tables]]\nname = "items"\n')
    with Service("--config", str(settings), cwd=tmp_path) as service:
        drain(service)
        assert service.http.post("/items/", json={"id": 1, "label": "a"}).status_code == 200
        os.killpg(second.pid, signal.SIGSTOP)
        try:
            stalled = service.http.post("/items/", json={"id": 2, "label": "b"})
        finally:
            os.killpg(second.pid, signal.SIGCONT)
        assert stalled.status_code == 503, stalled.text
        assert (
            stalled.json()["detail"] == "Failed to create record: ClickHouse did not answer in time"
        )
        created = service.http.post("/items/", json={"id": 3, "label": "c"})
        assert created.status_code == 200, created.text
        assert service.http.get("/items/1").json() == {"id": 1, "label": "a"}
    assert (1, "a") in stored(second) + stored(first)
