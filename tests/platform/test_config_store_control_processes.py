"""The control router across processes on one server table: two services (spawned processes,
each with its own store and routers) race If-Match writes and exactly one of each race lands; a
watcher sees a change that another process writes within its one-second wait."""

import json
import multiprocessing

import pytest

from kelvora.backend import ConfigStore
from kelvora.clickhouse import connect

ROUNDS = 12


@pytest.fixture
def dsn(clickhouse_server, server_database):
    return clickhouse_server.dsn(server_database)


def race(dsn, tag, out, barrier):
    """Each round: read the ETag, wait for the other process, write under If-Match."""
    import asyncio

    import httpx
    from fastapi import FastAPI

    from kelvora.setcontrol import create_config_control_router
    from kelvora.setplane import create_config_router

    store = ConfigStore({"seed": 0}, client=connect(dsn), config_name="svc")
    app = FastAPI()
    app.include_router(create_config_control_router(store))
    app.include_router(create_config_router(store))

    async def send():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://t") as http:
            answers = []
            for i in range(ROUNDS):
                read = await http.get("/config/", headers={"If-None-Match": '"none"'})
                barrier.wait()
                written = await http.patch(
                    "/config/", json={tag: i}, headers={"If-Match": read.headers["etag"]}
                )
                answers.append([written.status_code, written.json()])
                barrier.wait()
            return answers

    out.write_text(json.dumps(asyncio.run(send())))


def test_if_match_writes_racing_in_two_processes_land_once_each_round(dsn, tmp_path):
    ConfigStore({"seed": 0}, client=connect(dsn), config_name="svc").get_version()
    context = multiprocessing.get_context("spawn")
    barrier = context.Barrier(2)
    outs = [tmp_path / "a.json", tmp_path / "b.json"]
    processes = [
        context.Process(target=race, args=(dsn, tag, out, barrier))
        for tag, out in zip("ab", outs, strict=True)
    ]
    for process in processes:
        process.start()
    for process in processes:
        process.join()
    assert [process.exitcode for process in processes] == [0, 0]
    a, b = (json.loads(out.read_text()) for out in outs)
    landed = {}
    for i, ((a_status, a_body), (b_status, b_body)) in enumerate(zip(a, b, strict=True)):
        assert sorted([a_status, b_status]) == [200, 412], (i, a_body, b_body)
        winner = "a" if a_status == 200 else "b"
        loser_body = b_body if winner == "a" else a_body
        assert loser_body["detail"].startswith("Precondition failed: the current ETag is ")
        landed[winner] = landed.get(winner, 0) + 1
    store = ConfigStore(client=connect(dsn), config_name="svc")
    assert store.get_version() == 1 + ROUNDS
    history = store.get_revision_history()
    assert [r["version"] for r in history] == list(range(1 + ROUNDS, 0, -1))


def write_when_told(dsn, ready, go):
    store = ConfigStore({"seed": 0}, client=connect(dsn), config_name="svc")
    store.get_version()
    ready.set()
    go.wait(30)
    store.patch_config({"from": "elsewhere"})


def test_a_watcher_sees_another_processes_change_within_a_second(dsn):
    import asyncio

    import httpx
    from fastapi import FastAPI

    from kelvora.setcontrol import create_config_control_router
    from kelvora.setplane import create_config_router

    store = ConfigStore({"seed": 0}, client=connect(dsn), config_name="svc")
    store.get_version()
    app = FastAPI()
    app.include_router(create_config_control_router(store))
    app.include_router(create_config_router(store))
    context = multiprocessing.get_context("spawn")
    ready, go = context.Event(), context.Event()
    writer = context.Process(target=write_when_told, args=(dsn, ready, go))
    writer.start()
    assert ready.wait(60)

    async def watch():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://t") as http:
            watching = asyncio.create_task(http.get("/config/?index=1&wait=1"))
            await asyncio.sleep(0.05)
            go.set()
            return await watching

    response = asyncio.run(watch())
    writer.join()
    assert writer.exitcode == 0
    assert response.status_code == 200, response.text
    assert response.headers["x-config-index"] == "2"
    assert response.json() == {"seed": 0, "from": "elsewhere"}
