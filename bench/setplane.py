"""GET "/" and PUT "/" of the kelvora config router against two Python yardsticks, in one run.

- floor: bare FastAPI `async def` endpoints that make the same store calls through
  `run_in_threadpool` and return their result, nothing else: what the framework itself costs;
- plain Python: the same two handlers as the router has them (thread-pool helper, guard, reload
  step, logging), written in Python in this file.

The store keeps its configuration in memory, so the figures are the request path's own cost
(routing, validation, the thread-pool hops, serialisation). All three routers have the same
fourteen routes in the same order. Requests go straight into the ASGI
application, in this process, one after another on one event loop. Run: python bench/setplane.py
"""

import asyncio
import json
import logging
import time
from typing import Any, Callable, Dict, Type

from fastapi import APIRouter, Body, FastAPI, HTTPException
from fastapi.concurrency import run_in_threadpool
from pydantic import BaseModel

import kelvora.setplane as kelvora_setplane
from kelvora.backend import ConfigStore
from kelvora.setplane import create_config_router

CONFIG = {
    f"section{i}": {"host": "localhost", "port": 9000 + i, "tags": ["a", "b"]} for i in range(8)
}
BATCH = 100
ROUNDS = 120

logger = logging.getLogger("bench.setplane")


class MemoryStore(ConfigStore):
    """The store's contract with the configuration kept in memory."""

    def __init__(self):
        self.config_name = "bench"
        self.config = dict(CONFIG)

    def get_config(self, refresh=False):
        return dict(self.config)

    def update_config(self, payload):
        self.config = dict(payload)


# The other routes of a config router, in its order after GET "/" and PUT "/". The yardsticks
# carry them too (with empty endpoints): FastAPI's per-request work grows with the number of
# routes of an included router, and that cost is the framework's, not the handlers'.
OTHER_ROUTES = [
    ("patch", "/"),
    ("post", "/reload"),
    ("get", "/{section}"),
    ("put", "/{section}"),
    ("delete", "/{section}"),
    ("get", "/versions"),
    ("get", "/versions/{version}"),
    ("put", "/versions/{version}"),
    ("patch", "/versions/{version}"),
    ("post", "/versions"),
    ("post", "/versions/{version}/restore"),
    ("get", "/database/current"),
]


async def unused():
    return None


def add_other_routes(router):
    for method, path in OTHER_ROUTES:
        getattr(router, method)(path)(unused)
    return router


def create_floor_router(store):
    # A router the host includes, as the factory's is: FastAPI dispatches an included router
    # through one more level than routes of the application itself.
    router = APIRouter(prefix="/config", tags=["config"])

    @router.get("/")
    async def get_full_config():
        return await run_in_threadpool(store.get_config, refresh=False)

    @router.put("/")
    async def replace_config(new_config: Dict[str, Any] = Body(...)):
        await run_in_threadpool(store.update_config, new_config)
        return await run_in_threadpool(store.get_config, refresh=True)

    return add_other_routes(router)


def create_plain_router(
    config_store,
    config_model: Type[BaseModel] | None = None,
    reload_callback: Callable | None = None,
    router_prefix: str = "/config",
):
    router = APIRouter(prefix=router_prefix, tags=["config"])
    dependencies = []
    config_name = config_store.config_name

    async def _run_in_thread(func, *args, **kwargs):
        """Run ConfigStore operation in thread pool"""
        return await run_in_threadpool(func, *args, **kwargs)

    async def _reload():
        if reload_callback:
            try:
                if asyncio.iscoroutinefunction(reload_callback):
                    await reload_callback()
                else:
                    await _run_in_thread(reload_callback)
            except Exception as e:
                logger.warning(f"Reload callback failed: {e}")

    @router.get("/", dependencies=dependencies)
    async def get_full_config():
        try:
            config = await _run_in_thread(config_store.get_config, refresh=False)
            return config_model(**config) if config_model else config
        except Exception as e:
            logger.error(f"Error reading config: {e}", exc_info=True)
            raise HTTPException(status_code=500, detail=f"Failed to read config: {e}") from e

    @router.put("/", dependencies=dependencies)
    async def replace_config(new_config: Dict[str, Any] = Body(...)):
        try:
            if config_model:
                validated = config_model(**new_config)
                new_config = (
                    validated.dict() if hasattr(validated, "dict") else validated.model_dump()
                )
            await _run_in_thread(config_store.update_config, new_config)
            config = await _run_in_thread(config_store.get_config, refresh=True)
            await _reload()
            logger.info(f"Replaced full config for {config_name}")
            return config_model(**config) if config_model else config
        except HTTPException:
            raise
        except Exception as e:
            logger.error(f"Error replacing config: {e}", exc_info=True)
            raise HTTPException(status_code=500, detail=f"Failed to replace config: {e}") from e

    return add_other_routes(router)


def router_app(factory, store):
    app = FastAPI()
    app.include_router(factory(store))
    return app


def scope(method, body):
    return {
        "type": "http",
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "method": method,
        "scheme": "http",
        "path": "/config/",
        "raw_path": b"/config/",
        "root_path": "",
        "query_string": b"",
        "headers": [
            (b"host", b"bench"),
            (b"content-type", b"application/json"),
            (b"content-length", str(len(body)).encode()),
        ],
        "client": ("127.0.0.1", 1),
        "server": ("bench", 80),
    }


async def request(app, method, body=b""):
    """One request straight into the ASGI app; answers (status, body)."""
    sent = False
    answer = {"body": b""}

    async def receive():
        nonlocal sent
        if sent:
            return {"type": "http.disconnect"}
        sent = True
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        if message["type"] == "http.response.start":
            answer["status"] = message["status"]
        elif message["type"] == "http.response.body":
            answer["body"] += message.get("body", b"")

    await app(scope(method, body), receive, send)
    return answer["status"], answer["body"]


async def measure(app, method, body):
    """Requests per second of wall time, and CPU seconds (all threads) per request."""
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(BATCH):
        await request(app, method, body)
    return BATCH / (time.perf_counter() - wall), (time.process_time() - cpu) / BATCH


async def main():
    apps = {
        "kelvora": router_app(create_config_router, MemoryStore()),
        "floor": router_app(create_floor_router, MemoryStore()),
        "plain Python": router_app(create_plain_router, MemoryStore()),
    }
    body = json.dumps(CONFIG).encode()
    for app in apps.values():
        assert await request(app, "GET") == (
            200,
            json.dumps(CONFIG, separators=(",", ":")).encode(),
        )
        assert (await request(app, "PUT", body))[0] == 200
    print("requests/s (best batch; higher is better) and CPU per request (best batch)")
    print(f"{'':8}{'kelvora':>22}{'floor':>22}{'plain Python':>22}{'/floor':>8}{'/plain':>8}")
    for method, payload in [("GET", b""), ("PUT", body)]:
        # Short batches side by side, in turns, so that drift and load hit all three alike; the
        # best batch of each is its figure.
        rates, cpus = dict.fromkeys(apps, 0.0), dict.fromkeys(apps, float("inf"))
        names = list(apps)
        for turn in range(ROUNDS):
            for name in names[turn % 3 :] + names[: turn % 3]:
                per_second, cpu = await measure(apps[name], method, payload)
                rates[name], cpus[name] = max(rates[name], per_second), min(cpus[name], cpu)
        cells = "".join(f"{rates[n]:9.0f}/s {cpus[n] * 1e6:7.1f} µs" for n in names)
        k, f, p = (rates[n] for n in names)
        print(f"{method:8}{cells}{k / f:7.2f}x{k / p:7.2f}x")
    await handlers_alone(body)


async def inline_pool(func, *args, **kwargs):
    """Stands in for run_in_threadpool: calls `func` at once, on the loop."""
    return func(*args, **kwargs)


async def handlers_alone(body):
    """The handlers themselves, awaited directly, with the store called inline: the part of a
    request that is the handler's own work, without the framework and the thread hops."""
    global run_in_threadpool
    saved = run_in_threadpool, kelvora_setplane.run_in_threadpool
    # The router takes the pool function when it is built; the yardsticks look it up per call.
    run_in_threadpool = kelvora_setplane.run_in_threadpool = inline_pool
    try:
        routers = {
            "kelvora": create_config_router(MemoryStore()),
            "floor": create_floor_router(MemoryStore()),
            "plain Python": create_plain_router(MemoryStore()),
        }
        new_config = json.loads(body)
        print("\nhandler alone, store called inline (best of 7 x 20000 awaits; lower is better)")
        print(f"{'':16}{'kelvora':>10}{'floor':>10}{'plain Python':>14}")
        for name, arguments in [
            ("get_full_config", {}),
            ("replace_config", {"new_config": new_config}),
        ]:
            handlers = {k: {r.name: r.endpoint for r in v.routes}[name] for k, v in routers.items()}
            best = dict.fromkeys(handlers, float("inf"))
            for _ in range(7):
                for key, handler in handlers.items():
                    start = time.perf_counter()
                    for _ in range(20_000):
                        await handler(**arguments)
                    best[key] = min(best[key], (time.perf_counter() - start) / 20_000)
            k, f, p = (best[key] * 1e6 for key in handlers)
            print(f"{name:16}{k:7.2f} µs{f:7.2f} µs{p:11.2f} µs")
    finally:
        run_in_threadpool, kelvora_setplane.run_in_threadpool = saved


if __name__ == "__main__":
    asyncio.run(main())
