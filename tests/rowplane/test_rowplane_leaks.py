"""Many requests across every route and error path: nothing may accumulate.

Growth is measured by the leak harness after a warm-up (the framework's caches, anyio's worker
threads): the number of objects the garbage collector tracks, the reference counts of the objects
handed to the routers, and the memory tracemalloc traces over a second window.
"""

import gc
import itertools
import logging
import weakref

import fastapi.dependencies.models
import leaks
from pydantic import BaseModel

from kelvora.rowplane import create_crud_router

# 20k requests in all: a warm-up, a counted run, then a traced warm-up and a traced run.
WARMUP, COUNTED, TRACED = 1_000 // leaks.SCALE, 15_000 // leaks.SCALE, 3_000 // leaks.SCALE
ROWS = [(1, "a", 5), (2, "b", 6)]
DESCRIBE = [("id", "UInt64"), ("name", "String"), ("qty", "UInt32")]


class Item(BaseModel):
    id: int
    name: str | None = None
    qty: int | None = None


class Change(BaseModel):
    name: str | None = None
    qty: int | None = None


def test_requests_leave_nothing_behind(make_client, serve):
    logging.getLogger("kelvora.rowplane").disabled = True  # error paths log tracebacks
    answers = {"count": [(2,)], "select": ROWS, "exists": ROWS, "describe": DESCRIBE}
    found = make_client(answers, record=False)
    empty = make_client(record=False)
    failing = make_client(answers, {"alter": RuntimeError("down"), "count": ValueError("x")})
    failing.record = False
    options = {"create_model": Item, "update_model": Change, "enable_history": True}
    routers = [
        create_crud_router("found", found, filterable_fields=["name"], **options),
        create_crud_router("empty", empty, response_model=Item, **options),
        create_crud_router("failing", failing, async_mode=False, **options),
    ]
    http = serve(*routers)
    body, change = {"id": 3, "name": "n"}, {"name": "m", "qty": None}
    requests = itertools.cycle(
        [
            ("get", "/found/?name=a&other=b", None, 200),
            ("get", "/found/?limit=0", None, 422),
            ("get", "/found/1", None, 200),
            ("get", "/found/1/history", None, 200),
            ("post", "/found/", body, 409),
            ("put", "/found/1", change, 200),
            ("put", "/found/1", {"name": None}, 400),
            ("delete", "/found/1", None, 200),
            ("get", "/empty/", None, 200),
            ("get", "/empty/1", None, 404),
            ("get", "/empty/1/history", None, 404),
            ("post", "/empty/", body, 200),
            ("put", "/empty/1", change, 404),
            ("delete", "/empty/1", None, 404),
            ("get", "/failing/", None, 500),
            ("put", "/failing/1", change, 500),
            ("delete", "/failing/1", None, 500),
        ]
    )

    def run(count):
        for method, path, json, status in itertools.islice(requests, count):
            response = http.request(method, path, json=json)
            assert response.status_code == status, (path, response.text)

    try:
        http.__enter__()  # one event loop for all requests
        leaks.assert_no_growth(
            run,
            warmup=WARMUP,
            repeats=COUNTED,
            traced_warmup=WARMUP,
            traced=TRACED,
            watched=(found, empty, failing, *routers),
            objects=100,
            memory=64 * 1024,  # one small object kept per request would exceed it
        )
    finally:
        http.__exit__(None, None, None)
        logging.getLogger("kelvora.rowplane").disabled = False


def test_router_in_a_reference_cycle_is_collected(make_client, serve):
    class Backend:
        def __init__(self, client):
            self.client = client

    backend = Backend(make_client({"select": ROWS, "describe": DESCRIBE}))
    backend.router = create_crud_router("t", backend, create_model=Item, enable_history=True)
    assert serve(backend.router).get("/t/1").status_code == 200
    gone = weakref.ref(backend)
    del backend
    # FastAPI keeps the callables it classified in bounded caches; they turn over, so empty them.
    for cached in vars(fastapi.dependencies.models).values():
        getattr(cached, "cache_clear", lambda: None)()
    gc.collect()
    assert gone() is None
