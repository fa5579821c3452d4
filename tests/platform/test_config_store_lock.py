"""ConfigStore's write lock on a server (18.16): waiting, timing out, breaking a paused writer's."""

import threading

import pytest

from kelvora.backend import ConfigStore, WriteLockLost
from kelvora.clickhouse import connect


class PausingClient:
    """A client that stops before its `at`-th INSERT once armed, until `resume` is set."""

    def __init__(self, client, at):
        self.client, self.at, self.inserts = client, at, 0
        self.armed, self.reached, self.resume = False, threading.Event(), threading.Event()

    def execute(self, query, params=None):
        if self.armed and query.startswith("INSERT"):
            self.inserts += 1
            if self.inserts == self.at:
                self.reached.set()
                self.resume.wait(timeout=120)
        return self.client.execute(query, params)


@pytest.fixture
def server(clickhouse_server, server_database):
    """connect() to this test's database (each call a client of its own), and its tables."""
    clients = []

    def client():
        clients.append(connect(clickhouse_server.dsn(server_database)))
        return clients[-1]

    def tables():
        rows = clients[0].execute(
            "SELECT name FROM system.tables WHERE database = %(d)s ORDER BY name",
            {"d": server_database},
        )
        return [name for (name,) in rows]

    yield client, tables
    for each in clients:
        each.close()


def paused_writer(client, at):
    """A store whose next write stops before its `at`-th INSERT, and that write's thread."""
    pausing = PausingClient(client, at)
    store = ConfigStore(client=pausing)
    store.get_version()
    pausing.armed = True
    outcome = {}

    def write():
        try:
            outcome["config"] = store.patch_config({"paused": True})
        except Exception as error:
            outcome["error"] = error

    thread = threading.Thread(target=write, daemon=True)
    thread.start()
    pausing.reached.wait()
    return pausing, thread, outcome


@pytest.mark.parametrize("at", [1, 2], ids=["before-staging", "before-copy"])
def test_paused_writer_loses_its_lock_and_writes_nothing(server, at):
    client, tables = server
    other = ConfigStore({"seed": 0}, client=client())
    other.get_version()
    pausing, thread, outcome = paused_writer(client(), at)
    # The paused writer holds the lock past the lease: the other breaks it and writes.
    other.lock_lease = 1
    assert other.patch_config({"other": 1}) == {"seed": 0, "other": 1}
    pausing.resume.set()
    thread.join()
    error = outcome["error"]
    assert type(error) is WriteLockLost
    assert str(error) == (
        "The write lock of 'default' ('default') in kelvora_config was broken (held longer than"
        " the 30 s lease); nothing was written"
    )
    assert other.get_config(refresh=True) == {"seed": 0, "other": 1}
    assert [r["payload"] for r in other.get_revision_history()] == [
        {"seed": 0, "other": 1},
        {"seed": 0},
    ]
    assert tables() == ["kelvora_config"]


def test_waiting_writer_times_out(server):
    client, tables = server
    waiting = ConfigStore({"seed": 0}, client=client())
    waiting.get_version()
    pausing, thread, outcome = paused_writer(client(), 1)
    waiting.lock_timeout = 0.5
    with pytest.raises(TimeoutError) as e:
        waiting.patch_config({"waiting": True})
    assert str(e.value) == (
        "Timed out after 0.5 s waiting for the write lock of 'default' ('default') in"
        " kelvora_config"
    )
    # The writer holding the lock was within its lease all along: its write stands.
    pausing.resume.set()
    thread.join()
    assert outcome == {"config": {"seed": 0, "paused": True}}
    assert waiting.get_config(refresh=True) == {"seed": 0, "paused": True}
    assert waiting.get_version() == 2
    assert tables() == ["kelvora_config"]
