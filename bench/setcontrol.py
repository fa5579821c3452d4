"""What watching a configuration costs the engine, and how soon a watcher hears of a write.

- engine statements per second per watcher: W long polls (GET /config/?index=N&wait=S through
  the control router) wait together for a few seconds while the statements the store sends are
  counted; with one shared poller the total stays at one statement per poll interval, so the
  cost per watcher falls as 1/W;
- write-to-answer latency: a long poll is waiting; a second store on the same table (as another
  process would be) writes; the time from the write's acknowledgement to the watcher's answer,
  over repeated writes (the poll interval bounds it, plus one read of the new revision and of the
  configuration).

Requests go straight into the ASGI application in this process. The engine is the embedded one
in memory unless a server DSN is given. Run: python bench/setcontrol.py [http://host:8123/db]
"""

import asyncio
import statistics
import sys
import threading
import time
import uuid

import httpx
from fastapi import FastAPI

from kelvora.backend import ConfigStore
from kelvora.clickhouse import connect
from kelvora.config_feed import ConfigFeed
from kelvora.setcontrol import create_config_control_router
from kelvora.setplane import create_config_router

WATCH_SECONDS = 5.0
WATCHERS = [1, 10, 100]
WRITES = 30


class CountingClient:
    """The engine's client, counting the statements sent through it."""

    def __init__(self, client):
        self.client, self.statements = client, 0
        self._lock = threading.Lock()

    def execute(self, query, params=None):
        with self._lock:
            self.statements += 1
        return self.client.execute(query, params)


def app_for(store):
    app = FastAPI()
    app.include_router(create_config_control_router(store))
    app.include_router(create_config_router(store))
    return app


async def statements_per_watcher(http, client, watchers):
    version = int((await http.get("/config/?index=0")).headers["x-config-index"])
    before = client.statements
    began = time.monotonic()
    await asyncio.gather(
        *(http.get(f"/config/?index={version}&wait={WATCH_SECONDS}") for _ in range(watchers))
    )
    elapsed = time.monotonic() - began
    # Each long poll reads the configuration once when it answers: counted, as it is its cost.
    return (client.statements - before) / elapsed / watchers


async def write_to_answer(http, writer):
    latencies = []
    for i in range(WRITES):
        version = int((await http.get("/config/?index=0")).headers["x-config-index"])
        watching = asyncio.create_task(http.get(f"/config/?index={version}&wait=30"))
        await asyncio.sleep(0.1)  # the poll is waiting
        await asyncio.to_thread(writer.patch_config, {"round": i})
        written = time.monotonic()
        response = await watching
        latencies.append(time.monotonic() - written)
        assert int(response.headers["x-config-index"]) == version + 1
    return latencies


async def main(dsn):
    base = connect(dsn)
    if dsn == "chdb:":
        base.execute("CREATE DATABASE IF NOT EXISTS bench_setcontrol")
        table = f"bench_setcontrol.config_{uuid.uuid4().hex[:8]}"
    else:
        table = f"config_{uuid.uuid4().hex[:8]}"
    client = CountingClient(base)
    store = ConfigStore({"seed": 0}, client=client, table=table)
    writer = ConfigStore({"seed": 0}, client=base, table=table)
    transport = httpx.ASGITransport(app=app_for(store))
    async with httpx.AsyncClient(transport=transport, base_url="http://t", timeout=60) as http:
        print(f"engine: {dsn}  poll interval: {ConfigFeed.interval:g} s")
        for watchers in WATCHERS:
            rate = await statements_per_watcher(http, client, watchers)
            print(f"{watchers:4d} watchers: {rate:8.3f} engine statements per second per watcher")
        latencies = sorted(await write_to_answer(http, writer))
        p95 = latencies[int(len(latencies) * 0.95) - 1]
        print(
            f"write to answer over {WRITES} writes: median {statistics.median(latencies) * 1e3:.0f}"
            f" ms, p95 {p95 * 1e3:.0f} ms, max {latencies[-1] * 1e3:.0f} ms"
        )
    base.execute(f"DROP TABLE IF EXISTS {table}")


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "chdb:"))
