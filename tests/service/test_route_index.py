"""The first-segment route index answers every request as the app's own router does."""

import asyncio

import httpx
import pytest
from fastapi import APIRouter, FastAPI, Request

from kelvora.service.route_index import index_routes


def build_app(indexed: bool, other: APIRouter | None = None) -> FastAPI:
    app = FastAPI()
    things = APIRouter(prefix="/things")

    @things.get("/")
    async def list_things() -> dict:
        return {"route": "list"}

    @things.get("/{key}")
    async def get_thing(key: int) -> dict:
        return {"route": "get", "key": key}

    @things.put("/{key}")
    async def put_thing(key: int) -> dict:
        return {"route": "put", "key": key}

    other = other or APIRouter()

    @other.get("/other/link")
    async def link(request: Request) -> dict:
        # Names a route of another first segment: the request's router is the whole app's.
        return {"url": str(request.url_for("get_thing", key=7))}

    @other.get("/{anything}/deep")
    async def deep(anything: str) -> dict:
        return {"route": "deep", "anything": anything}

    app.include_router(things)
    app.include_router(other)

    @app.get("/")
    async def root() -> dict:
        return {"route": "root"}

    if indexed:
        index_routes(app)
    return app


REQUESTS = [
    ("GET", "/"),
    ("GET", "/things/"),
    ("GET", "/things"),  # redirected to the slash
    ("GET", "/things/3"),
    ("GET", "/things/x"),  # 422
    ("DELETE", "/things/3"),  # 405
    ("PUT", "/things/3"),
    ("GET", "/things/deep"),  # the route whose first segment is a parameter
    ("GET", "/nowhere/deep"),
    ("GET", "/nowhere"),
    ("GET", "/other/link"),
    ("GET", "/docs"),
    ("GET", "/openapi.json"),
]


def ask(app: FastAPI, method: str, path: str) -> httpx.Response:
    async def asked() -> httpx.Response:
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            return await client.request(method, path)

    return asyncio.run(asked())


@pytest.mark.parametrize(("method", "path"), REQUESTS)
def test_answers_are_the_routers_own(method, path):
    answers = [ask(build_app(indexed), method, path) for indexed in (False, True)]
    assert answers[0].status_code == answers[1].status_code
    assert answers[0].headers.get("location") == answers[1].headers.get("location")
    assert answers[0].content == answers[1].content


def test_routes_added_later_are_served():
    other = APIRouter()
    app = build_app(True, other)
    assert ask(app, "GET", "/late").status_code == 404

    @app.get("/late")
    async def late() -> dict:
        return {"route": "late"}

    assert ask(app, "GET", "/late").json() == {"route": "late"}
    # Added to a router the app included before, on a first segment no route had.
    other.add_api_route("/fresh", late, methods=["GET"])
    assert ask(app, "GET", "/fresh").json() == {"route": "late"}
    nested = APIRouter()
    nested.add_api_route("/deeper", late, methods=["GET"])
    other.include_router(nested, prefix="/newer")
    assert ask(app, "GET", "/newer/deeper").json() == {"route": "late"}
