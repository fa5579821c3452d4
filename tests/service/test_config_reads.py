"""The service's read of the whole configuration, answered from what the store holds, answers and
documents as the configuration router's own read."""

import asyncio

import httpx
import pytest
from fastapi import FastAPI, Header, HTTPException

from kelvora.backend import ConfigStore
from kelvora.service.config_reads import read_held_config
from kelvora.service.mounting import mount_router
from kelvora.setplane import create_config_router

PAYLOADS = [
    {"a": 1},
    {},
    {
        "text": 'ü "quoted" \\ \n\t\u2028',
        "float": 0.1,
        "big": 2**70,
        "nested": [None, True, {"x": []}],
    },
]


def key_required(x_api_key: str = Header(default="")) -> None:
    if x_api_key != "k":
        raise HTTPException(401, "a key is needed")


def build(store: ConfigStore, held: bool) -> FastAPI:
    app = FastAPI()
    router = create_config_router(store, auth_dependency=key_required)
    if held:
        read_held_config(router, store)
    mount_router(app, router)
    return app


async def ask(app: FastAPI, *paths: str, key: str = "k") -> list[httpx.Response]:
    transport = httpx.ASGITransport(app=app)
    async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
        return [await client.get(path, headers={"x-api-key": key}) for path in paths]


@pytest.mark.parametrize("payload", PAYLOADS)
@pytest.mark.parametrize("key", ["k", "wrong"])
def test_answers_are_the_routers_own(engine, database, payload, key):
    store = ConfigStore(payload, client=engine, table=f"{database}.config")
    store.get_config()
    answers = [
        asyncio.run(ask(build(store, held), "/config/", key=key))[0] for held in (False, True)
    ]
    assert [a.status_code for a in answers] == [200 if key == "k" else 401] * 2
    assert answers[0].headers == answers[1].headers
    assert answers[0].content == answers[1].content


def test_documentation_is_the_routers_own(engine, database):
    store = ConfigStore({"a": 1}, client=engine, table=f"{database}.config")
    assert build(store, True).openapi() == build(store, False).openapi()


@pytest.mark.parametrize("held_before", [False, True])
def test_a_read_beside_a_write_answers_the_write(engine, database, store_in_use, held_before):
    """A read while another operation holds the store waits for it, on a worker thread, as the
    router's own read does; so does the first read, before the store holds a configuration."""
    store = ConfigStore({"v": 1}, client=engine, table=f"{database}.config")
    if held_before:
        store.get_config()
    app = build(store, True)

    async def read_during_the_write(release) -> httpx.Response:
        reading = asyncio.ensure_future(ask(app, "/config/"))
        await asyncio.sleep(0.2)
        assert not reading.done()  # waiting for the store, and the event loop free meanwhile
        release()
        return (await reading)[0]

    with store_in_use(store, {"v": 2}) as release:
        answer = asyncio.run(read_during_the_write(release))
    assert answer.json() == {"v": 2}


class HeldStore:
    """A store that holds `held` (None: it holds nothing it can hand out now; an exception class:
    handing it out fails with it)."""

    def __init__(self, held):
        self.held = held

    def held_config(self):
        if isinstance(self.held, type):
            raise self.held("unreadable")
        return self.held


@pytest.mark.parametrize(
    ("held", "body"),
    [
        ({"a": [1, "ü"]}, '{"a":[1,"ü"]}'.encode()),
        (None, b'{"read":"by the router"}'),
        (LookupError, b'{"read":"by the router"}'),
    ],
)
def test_the_native_read_answers_and_keeps_nothing(held, body):
    """The read through this module's answer route, on a stand-in store (no engine)."""
    import leaks
    from fastapi import APIRouter

    from kelvora import _service

    async def read():
        return {"read": "by the router"}

    store = HeldStore(held)
    router = APIRouter(route_class=_service.AnswerRoute)
    router.add_api_route("/config/", _service.held_config_read(store, read))
    app = FastAPI()
    app.include_router(router)
    loop = asyncio.new_event_loop()
    transport = httpx.ASGITransport(app=app)
    client = httpx.AsyncClient(transport=transport, base_url="http://test")

    def run_many(count):
        async def many():
            for _ in range(count):
                answer = await client.get("/config/")
                assert (answer.status_code, answer.content) == (200, body)

        loop.run_until_complete(many())

    loops = 1000 // leaks.SCALE
    leaks.assert_no_growth(
        run_many,
        warmup=loops // 5,
        repeats=loops,
        traced=loops // 5,
        traced_warmup=loops // 10,
        watched=[store, read, held],
        counters=leaks.native_objects,
    )
    loop.run_until_complete(client.aclose())
    loop.close()
