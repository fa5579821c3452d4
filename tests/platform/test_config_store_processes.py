"""ConfigStore across processes: spawned writers, each with its own store on one server table.

Each child is started with the spawn method (never fork after the embedded engine started),
connects to the test server (18.16) itself and writes its acknowledged results to a file.
"""

import json
import multiprocessing
import os
import time
from collections import Counter

import pytest

from kelvora.backend import ConfigStore
from kelvora.clickhouse import connect

TABLE = "kelvora_config"
WRITES = 200
EDITS = 50
ROUNDS = 40


def skew_clock(seconds):
    """This process's wall clock moved by `seconds` (what a writer could read revisions from)."""
    real_time, real_time_ns = time.time, time.time_ns
    time.time = lambda: real_time() + seconds
    time.time_ns = lambda: real_time_ns() + int(seconds * 1e9)


def write_versions(dsn, tag, skew, out, barrier):
    skew_clock(skew)
    store = ConfigStore({"seed": 0}, client=connect(dsn))
    store.get_version()
    barrier.wait()
    acknowledged = [store.patch_config({f"{tag}{i}": i}) for i in range(WRITES)]
    out.write_text(json.dumps(acknowledged))


def edit_version_one(dsn, tag, skew, out, barrier):
    skew_clock(skew)
    store = ConfigStore({"seed": 0}, client=connect(dsn))
    store.get_version()
    barrier.wait()
    for i in range(EDITS):
        store.patch_config_version(1, {f"{tag}{i}": i})
    out.write_text("done")


def serve_requests(dsn, method, out, barrier):
    """The config router in this process, on its own store, sending `method` requests."""
    import asyncio

    import httpx
    from fastapi import FastAPI

    from kelvora.setplane import create_config_router

    store = ConfigStore(client=connect(dsn), config_name="svc")
    app = FastAPI()
    app.include_router(create_config_router(store))

    async def send():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://t") as http:
            await http.get("/config/")
            barrier.wait()
            answers = []
            for i in range(ROUNDS):
                if method == "DELETE":
                    response = await http.delete(f"/config/victim_{i}")
                else:
                    response = await http.put(f"/config/new_{i}", json={"round": i})
                answers.append([response.status_code, response.json()])
            return answers

    out.write_text(json.dumps(asyncio.run(send())))


class CrashingClient:
    """A client whose process dies (status 3) just before its `at`-th INSERT."""

    def __init__(self, client, at):
        self.client, self.at, self.inserts = client, at, 0

    def execute(self, query, params=None):
        if query.startswith("INSERT"):
            self.inserts += 1
            if self.inserts == self.at:
                os._exit(3)
        return self.client.execute(query, params)


def crash_while_writing(dsn, at, out, barrier):
    barrier.wait()
    ConfigStore(client=CrashingClient(connect(dsn), at)).patch_config({"crashed": True})


def run(*children):
    """Starts each (function, args) child at once (a barrier), waits, and answers exit codes."""
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(len(children))
    processes = [context.Process(target=f, args=(*args, barrier)) for f, args in children]
    for process in processes:
        process.start()
    for process in processes:
        process.join()
    return [process.exitcode for process in processes]


@pytest.fixture
def dsn(clickhouse_server, server_database):
    return clickhouse_server.dsn(server_database)


@pytest.fixture
def store(dsn):
    client = connect(dsn)
    yield lambda initial=None, **kw: ConfigStore(initial, client=client, **kw)
    client.close()


def tables(store):
    rows = store.client.execute("SELECT name FROM system.tables WHERE database = currentDatabase()")
    return sorted(name for (name,) in rows)


def test_two_processes_write_distinct_versions(dsn, store, tmp_path):
    # Two writers whose clocks are an hour apart, 200 merges each at once.
    outs = [tmp_path / "a.json", tmp_path / "b.json"]
    assert run(
        (write_versions, (dsn, "a", 0, outs[0])),
        (write_versions, (dsn, "b", -3600, outs[1])),
    ) == [0, 0]
    acknowledged = [config for out in outs for config in json.loads(out.read_text())]
    reader = store()
    history = reader.get_revision_history()
    # Versions and revisions both number the writes in the order they happened.
    assert [(r["version"], r["revision"]) for r in history] == [
        (v, v) for v in range(2 * WRITES + 1, 0, -1)
    ]
    stored = Counter(json.dumps(r["payload"]) for r in history[:-1])
    assert stored == Counter(json.dumps(config) for config in acknowledged)
    assert reader.get_config() == {
        "seed": 0,
        **{f"{tag}{i}": i for tag in "ab" for i in range(WRITES)},
    }
    assert tables(reader) == [TABLE]


def test_two_processes_edit_one_version_in_place(dsn, store, tmp_path):
    assert run(
        (edit_version_one, (dsn, "a", 0, tmp_path / "a")),
        (edit_version_one, (dsn, "b", -3600, tmp_path / "b")),
    ) == [0, 0]
    reader = store()
    assert reader.get_version() == 1
    assert reader.get_version_detail(1)["payload"] == {
        "seed": 0,
        **{f"{tag}{i}": i for tag in "ab" for i in range(EDITS)},
    }
    assert len(reader.get_revision_history(1)) == 2 * EDITS + 1


def test_section_delete_beside_put_across_processes(dsn, store, tmp_path):
    store({f"victim_{i}": i for i in range(ROUNDS)}, config_name="svc").get_version()
    outs = [tmp_path / "delete.json", tmp_path / "put.json"]
    assert run(
        (serve_requests, (dsn, "DELETE", outs[0])),
        (serve_requests, (dsn, "PUT", outs[1])),
    ) == [0, 0]
    deletes, puts = (json.loads(out.read_text()) for out in outs)
    for i, ((delete_status, deleted), (put_status, put)) in enumerate(
        zip(deletes, puts, strict=True)
    ):
        assert (delete_status, put_status) == (200, 200)
        assert f"victim_{i}" not in deleted and put[f"new_{i}"] == {"round": i}
    reader = store(config_name="svc")
    assert reader.get_config() == {f"new_{i}": {"round": i} for i in range(ROUNDS)}
    assert reader.get_version() == 2 * ROUNDS + 1


@pytest.mark.parametrize("at", [1, 2], ids=["before-staging", "before-copy"])
def test_crashed_writer_leaves_a_lock_that_expires(dsn, store, tmp_path, at):
    survivor = store({"seed": 0})
    survivor.get_version()
    assert run((crash_while_writing, (dsn, at, tmp_path / "crash"))) == [3]
    assert len(tables(survivor)) == 2  # the lock the crashed writer held
    survivor.lock_lease = 1
    assert survivor.patch_config({"after": True}) == {"seed": 0, "after": True}
    assert [r["payload"] for r in survivor.get_revision_history()] == [
        {"seed": 0, "after": True},
        {"seed": 0},
    ]
    assert tables(survivor) == [TABLE]
