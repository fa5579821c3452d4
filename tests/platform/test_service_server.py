"""The ready-made service on Debian's clickhouse-server 18.16, as a real process: columns left
out of a create take the server's defaults (18.16 refuses NULL for a column that does not hold
it), the creation time is one the server takes, and values are checked before they are sent."""

import datetime
import os
import signal
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "service"))
from test_service import Service  # noqa: E402

TABLE = """
    CREATE TABLE {database}.items (
        id UInt32,
        label String,
        amount Int16 DEFAULT 5,
        note Nullable(String),
        seen DateTime DEFAULT toDateTime('2020-02-02 00:00:00'),
        ref UUID,
        created_at DateTime,
        doubled UInt64 MATERIALIZED id * 2
    ) ENGINE = MergeTree ORDER BY (id, label)
"""
REF = "61f0c404-5cb3-11e7-907b-a6006ad3dba0"


@pytest.fixture
def service(tmp_path, clickhouse_server, server_database):
    clickhouse_server.query(TABLE.format(database=server_database))
    settings = tmp_path / "kelvora.toml"
    settings.write_text(
        f'dsn = "{clickhouse_server.dsn(server_database)}"\n'
        '[[tables]]\nname = "items"\nfilterable = ["ref", "amount"]\n'
    )
    with Service("--config", str(settings), cwd=tmp_path) as running:
        yield running


def stored(clickhouse_server, database):
    text = clickhouse_server.query(
        "SELECT id, label, amount, note, seen, ref, created_at, doubled "
        f"FROM {database}.items ORDER BY id FORMAT TSV"
    )
    return [line.split("\t") for line in text.splitlines()]


def test_a_create_leaves_absent_columns_to_the_server(service, clickhouse_server, server_database):
    before = datetime.datetime.now(datetime.UTC).replace(microsecond=0, tzinfo=None)
    created = service.http.post("/items/", json={"id": 1, "label": "one", "ref": REF})
    after = datetime.datetime.now(datetime.UTC).replace(tzinfo=None)
    assert created.status_code == 200, created.text
    [row] = stored(clickhouse_server, server_database)
    assert row[:6] == ["1", "one", "5", "\\N", "2020-02-02 00:00:00", REF]
    assert before <= datetime.datetime.fromisoformat(row[6]) <= after
    assert row[7] == "2"
    record = service.http.get("/items/1").json()
    assert record == {
        "id": 1,
        "label": "one",
        "amount": 5,
        "note": None,
        "seen": "2020-02-02T00:00:00",
        "ref": REF,
        "created_at": row[6].replace(" ", "T"),
    }


def test_values_are_checked_before_they_reach_the_server(
    service, clickhouse_server, server_database
):
    http = service.http
    for body, location, kind in [
        ({"id": -1, "label": "x", "ref": REF}, "id", "greater_than_equal"),
        ({"id": 2, "label": "x", "ref": REF, "amount": 40000}, "amount", "less_than_equal"),
        ({"id": 2, "label": "x", "ref": "nope"}, "ref", "uuid_parsing"),
        ({"id": 2, "label": "x", "ref": REF, "doubled": 4}, "doubled", "extra_forbidden"),
    ]:
        answer = http.post("/items/", json=body)
        assert answer.status_code == 422, answer.text
        assert [(e["loc"], e["type"]) for e in answer.json()["detail"]] == [
            (["body", location], kind)
        ]
    assert stored(clickhouse_server, server_database) == []
    assert http.get("/items/4294967296").status_code == 422
    assert http.get("/items/", params={"ref": "nope"}).status_code == 422


def test_typed_keys_and_filters_compare_as_the_column_type(service):
    http = service.http
    for key, amount in [(7, 1), (8, 2)]:
        body = {"id": key, "label": "x", "ref": REF, "amount": amount}
        assert http.post("/items/", json=body).status_code == 200
    assert http.get("/items/8").json()["amount"] == 2
    found = http.get("/items/", params={"ref": REF, "amount": 2}).json()
    assert [item["id"] for item in found["items"]] == [8]
    assert http.get("/items/8/history").json()["total"] == 1


def test_an_update_of_a_sort_key_column_is_refused(service):
    http = service.http
    assert http.post("/items/", json={"id": 3, "label": "x", "ref": REF}).status_code == 200
    refused = http.put("/items/3", json={"label": "y"})
    assert refused.status_code == 422, refused.text
    assert refused.json()["detail"][0]["loc"] == ["body", "label"]
    updated = http.put("/items/3", json={"amount": 9})
    assert updated.status_code == 200, updated.text


class PausingProxy:
    """A TCP proxy to the server that can hold what the service sends, as a stalled server
    would: `paused` set, nothing reaches the server until it is cleared."""

    def __init__(self, target):
        import socket
        import threading

        self.target = target
        self.flowing = threading.Event()
        self.flowing.set()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        import socket
        import threading

        while True:
            try:
                near, _ = self.listener.accept()
            except OSError:
                return
            far = socket.create_connection(self.target)
            for source, sink, held in [(near, far, True), (far, near, False)]:
                threading.Thread(target=self._pump, args=(source, sink, held), daemon=True).start()

    def _pump(self, source, sink, held):
        try:
            while data := source.recv(65536):
                if held:
                    self.flowing.wait()
                sink.sendall(data)
        except OSError:
            pass
        finally:
            for end in (source, sink):
                end.close()

    def close(self):
        self.flowing.set()
        self.listener.close()


def test_readiness_follows_the_engine(tmp_path, clickhouse_server, server_database):
    clickhouse_server.query(TABLE.format(database=server_database))
    proxy = PausingProxy((clickhouse_server.host, clickhouse_server.http_port))
    dsn = f"http://default:@127.0.0.1:{proxy.port}/{server_database}"
    try:
        args = ("--dsn", dsn, "--table", "items", "--ready-timeout", "0.5")
        with Service(*args, cwd=tmp_path) as service:
            http = service.http
            assert (http.get("/readyz").status_code, http.get("/readyz").json()) == (
                200,
                {"status": "ready"},
            )
            proxy.flowing.clear()
            stalled = http.get("/readyz")
            assert (stalled.status_code, stalled.json()) == (
                503,
                {"status": "not ready", "detail": "The engine did not answer within 0.5 s"},
            )
            # The process itself still answers.
            assert http.get("/healthz").json() == {"status": "ok"}
            proxy.flowing.set()
            assert http.get("/readyz").json() == {"status": "ready"}
            assert service.stop() == 0
    finally:
        proxy.close()


def test_a_stalled_server_answers_503_within_the_read_timeout(
    tmp_path, clickhouse_server, server_database
):
    clickhouse_server.query(TABLE.format(database=server_database))
    proxy = PausingProxy((clickhouse_server.host, clickhouse_server.http_port))
    dsn = f"http://default:@127.0.0.1:{proxy.port}/{server_database}?read_timeout=1&retries=0"
    try:
        with Service("--dsn", dsn, "--table", "items", cwd=tmp_path) as service:
            http = service.http
            assert http.post("/items/", json={"id": 1, "label": "a", "ref": REF}).status_code == 200
            proxy.flowing.clear()
            for method, path, body, prefix in [
                ("GET", "/items/1", None, "Failed to get record"),
                ("GET", "/items/", None, "Failed to list records"),
                ("PATCH", "/config/", {"limits": {"page_size": 5}}, "Failed to patch config"),
            ]:
                answer = http.request(method, path, json=body, headers={"X-Request-ID": "r-1"})
                assert answer.status_code == 503, (path, answer.text)
                assert answer.headers["Retry-After"] == "1"
                assert answer.json() == {
                    "detail": f"{prefix}: ClickHouse did not answer in time",
                    "request_id": "r-1",
                }
            proxy.flowing.set()
            assert http.get("/items/1").status_code == 200
            # The log says what the client was answered.
            http.close()
            service.process.send_signal(signal.SIGINT)
            log = service.process.communicate(timeout=60)[0]
            assert service.process.returncode == 0
            assert "answered 503: Failed to get record:" in log and "answered 500" not in log
    finally:
        proxy.close()
