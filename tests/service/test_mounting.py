"""Routers mounted on the app's own routes answer and document as the same routers included."""

import asyncio
import contextlib

import httpx
import pytest
from fastapi import APIRouter, Depends, FastAPI, Header, HTTPException

from kelvora.backend import ConfigStore
from kelvora.backends import ClickHouseBackend
from kelvora.rowplane import create_crud_router
from kelvora.rowquery import create_query_router
from kelvora.service.mounting import mount_router
from kelvora.setcontrol import create_config_control_router, document_control_plane
from kelvora.setplane import create_config_router


def key_required(x_api_key: str = Header(default="")) -> None:
    if x_api_key != "k":
        raise HTTPException(401, "a key is needed")


@pytest.fixture(scope="module")
def parts(engine, module_database):
    table = f"{module_database}.items"
    engine.execute(
        f"CREATE TABLE {table} (id UInt64, name String, price Float64)"
        " ENGINE = MergeTree ORDER BY id"
    )
    engine.execute(f"INSERT INTO {table} VALUES (1, 'kettle', 24.5), (2, 'lamp', 31)")
    store = ConfigStore({"a": 1}, client=engine, table=f"{module_database}.config")
    return engine, table, store


def build(parts, mounted: bool) -> FastAPI:
    engine, table, store = parts
    app = FastAPI()
    add = (
        mount_router
        if mounted
        else lambda app, router, guard=(): app.include_router(router, dependencies=list(guard))
    )
    guard = [Depends(key_required)]
    add(app, create_config_control_router(store))
    add(app, create_config_router(store))
    add(app, create_crud_router(table, ClickHouseBackend(engine), router_prefix="/items"), guard)
    add(app, create_query_router(table, engine, router_prefix="/items"), guard)
    document_control_plane(app)
    return app


def ask(app: FastAPI, method: str, path: str, **options) -> httpx.Response:
    async def asked() -> httpx.Response:
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            return await client.request(method, path, **options)

    return asyncio.run(asked())


KEY = {"x-api-key": "k"}
REQUESTS = [
    ("GET", "/config/", {}),
    ("GET", "/config/", {"headers": {"if-none-match": '"nothing"'}}),
    ("GET", "/config/a", {}),
    ("GET", "/items/1", {"headers": KEY}),
    ("GET", "/items/1", {}),  # the guard's 401
    ("GET", "/items/9", {"headers": KEY}),  # 404
    ("GET", "/items/?limit=1", {"headers": KEY}),
    ("GET", "/items/query/?order=price.desc&select=name", {"headers": KEY}),
    ("GET", "/items/query/?nope=eq.1", {"headers": KEY}),
    ("PATCH", "/items/query/", {"headers": KEY}),  # 405
    ("GET", "/items", {"headers": KEY}),  # redirected to the slash
]


@pytest.mark.parametrize(("method", "path", "options"), REQUESTS)
def test_answers_are_the_included_routers(parts, method, path, options):
    answers = [ask(build(parts, mounted), method, path, **options) for mounted in (False, True)]
    assert answers[0].status_code == answers[1].status_code
    assert answers[0].headers.get("location") == answers[1].headers.get("location")
    assert answers[0].headers.get("etag") == answers[1].headers.get("etag")
    assert answers[0].content == answers[1].content


def test_the_documentation_is_the_included_routers(parts):
    included, mounted = (build(parts, flag) for flag in (False, True))
    assert mounted.openapi() == included.openapi()


def test_the_apps_dependency_overrides_reach_mounted_routes(parts):
    app = build(parts, mounted=True)
    app.dependency_overrides[key_required] = lambda: None
    assert ask(app, "GET", "/items/1").json()["name"] == "kettle"


def test_a_router_with_a_lifespan_of_its_own_is_included():
    ran = []

    @contextlib.asynccontextmanager
    async def lifespan(app):
        ran.append("started")
        yield
        ran.append("stopped")

    router = APIRouter(lifespan=lifespan)

    @router.get("/ping")
    async def ping() -> dict:
        return {"ping": True}

    app = FastAPI()
    mount_router(app, router)

    async def served() -> httpx.Response:
        async with app.router.lifespan_context(app):
            return await httpx.AsyncClient(
                transport=httpx.ASGITransport(app=app), base_url="http://test"
            ).get("/ping")

    assert asyncio.run(served()).json() == {"ping": True}
    assert ran == ["started", "stopped"]
