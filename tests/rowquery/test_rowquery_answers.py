"""The query page writes its JSON itself: the bytes FastAPI writes for the page the handler returns
when called directly, for cursor and offset pages, every count mode and field selections."""

import asyncio

import pytest
from fastapi import FastAPI
from rowquery_app import TestClient
from starlette.requests import Request

from kelvora.rowquery import QueryPage, create_query_router

QUERIES = [
    "limit=10",
    "limit=4&count=exact&select=name,tags,note",
    "order=price.desc,id&offset=3&limit=5&count=exact",
    "count=estimated&price=gte.2&limit=3",
    "note=is_null.true&at=lt.2024-01-01T00:00:10&limit=2",
]


def direct_page(router, query):
    """The query handler called directly for `query`, and FastAPI's answer for its page."""
    route = next(r for r in router.routes if r.path == "/items/query/")
    scope = {"type": "http", "method": "GET", "path": "/items/query/", "root_path": ""}
    scope.update(scheme="http", server=("testserver", 80), headers=[(b"host", b"testserver")])
    page = asyncio.run(route.endpoint(Request({**scope, "query_string": query.encode()})))
    plain = FastAPI()
    plain.get("/", response_model=QueryPage)(lambda: page)
    return page, TestClient(plain).get("/")


@pytest.mark.parametrize("query", QUERIES)
def test_the_page_is_fastapis_bytes(engine, items, serialized, query):
    router = create_query_router(items, engine, router_prefix="/items", primary_key="id")
    app = FastAPI()
    app.include_router(router)
    answer = TestClient(app).get(f"/items/query/?{query}")
    serialized.stop()
    page, expected = direct_page(router, query)
    assert answer.status_code == 200 and page["items"]
    assert answer.content == expected.content
    assert answer.headers.raw == expected.headers.raw
    # Written by the handler: FastAPI serialised only the empty page standing in for it.
    assert [content.items for content in serialized] == [[]]
