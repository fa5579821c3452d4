"""Many requests over every route, on success and on each error path: nothing may accumulate.

Growth is measured by the leak harness between the end of a warm-up and the end of the loop: live
native functions and coroutines and the objects the garbage collector tracks, then, on a shorter
traced run, the memory tracemalloc traces.
"""

import logging
from collections import Counter
from datetime import datetime

import leaks
from fastapi import FastAPI, HTTPException
from setplane_routes import ROUTES

from kelvora.setplane import create_config_router

LOOPS, WARMUP, TRACED = 20_000 // leaks.SCALE, 2_000 // leaks.SCALE, 4_000 // leaks.SCALE
OBJECT_TOLERANCE, MEMORY_TOLERANCE = 300, 256 * 1024
REQUESTS = [(m, p.format(section="s", version=1)) for m, p, *_ in ROUTES]
REQUESTS += [("GET", "/absent"), ("DELETE", "/absent"), ("GET", "/versions/7")]
REQUESTS += [("POST", "/versions/7/restore"), ("GET", "/versions/x")]
STORE_METHODS = ["get_config", "update_config", "patch_config", "get_version_history"]
STORE_METHODS += ["get_version_detail", "update_config_version", "patch_config_version"]
STORE_METHODS += ["get_version", "create_new_version", "restore_version"]


async def reloaded():
    pass


def refused():
    raise ValueError("callback")


def test_requests_leave_nothing_behind(make_store, client_for, monkeypatch):
    # Records are made, texts and tracebacks included, and then dropped.
    logger = logging.getLogger("kelvora.setplane")
    monkeypatch.setattr(logger, "level", logging.INFO)
    monkeypatch.setattr(logger, "filters", [lambda record: False])
    row = {"config_name": "svc", "environment": "e", "version": 1, "updated_at": datetime.now()}
    details = {1: {"updated_at": datetime.now(), "payload": {"s": {"k": 1}}}}
    healthy = make_store({"s": {}}, history=[row, row | {"updated_at": None}], details=details)
    failing = make_store()
    healthy.record = failing.record = False
    errors = [ValueError("x"), HTTPException(409), RuntimeError("y")]
    failing.failures = {method: errors[n % 3] for n, method in enumerate(STORE_METHODS)}
    app = FastAPI()
    for prefix, store, callback in [("/ok", healthy, reloaded), ("/bad", failing, refused)]:
        router = create_config_router(
            store, config_model=dict, reload_callback=callback, router_prefix=prefix
        )
        app.include_router(router)
    client = client_for(app)

    def run(count):
        async def requests():
            statuses = Counter()
            for n in range(count):
                method, path = REQUESTS[n % len(REQUESTS)]
                prefix = "/ok" if n // len(REQUESTS) % 2 else "/bad"
                body = {"s": {"k": n}} if method in ("PUT", "PATCH") else None
                response = await client.http.request(method, prefix + path, json=body)
                statuses[response.status_code] += 1
            return statuses

        return client.run(requests())

    statuses = Counter()
    leaks.assert_no_growth(
        lambda count: statuses.update(run(count)),
        warmup=WARMUP,
        repeats=LOOPS,
        traced_warmup=WARMUP,
        traced=TRACED,
        counters=leaks.native_objects,
        objects=OBJECT_TOLERANCE,
        memory=MEMORY_TOLERANCE,
    )
    assert set(statuses) == {200, 404, 409, 422, 500}
