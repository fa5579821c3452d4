"""The cached routes write their answers themselves: the bytes FastAPI would write for the same
rows, through the list's answer model and through its encoder for one record."""

import asyncio
import math

import httpx
import pytest
from fastapi import FastAPI
from fastapi.responses import JSONResponse

from kelvora.rowplane import GenericListResponse
from kelvora.service.cached_views import list_answer

RECORDS = [
    [],
    [{"id": 1, "name": "Kettle", "price": 24.5, "created_at": "2024-01-01T00:00:00"}],
    [
        {"id": 2**64 - 1, "price": 1e20, "tiny": 5e-324, "negative": -0.0, "third": 1 / 3},
        {"id": 0, "price": None, "tiny": -1.5e-7, "negative": 0.1, "third": 2.0},
    ],
    [{"text": 'quote " back \\ slash / é \u2028 \x00 \x1f \x7f \n\t', "emoji": "\U0001f600"}],
    [{"tags": [0, 255], "counts": {"x": -32768, "": None}, "pair": [1, "one"], "big": 2**100}],
    [{"flag": True, "other": False, "nested": [[1.0, [2.5e300]], {"k": [None]}]}],
]


@pytest.fixture(scope="module")
def framework():
    """FastAPI answering the same values the way the cached routes did before they wrote
    their answers themselves."""
    app = FastAPI()
    answers = {}

    @app.get("/list", response_model=GenericListResponse)
    def listed():
        return answers["page"]

    @app.get("/record", response_model=None)
    def record():
        return answers["record"]

    def get(path):
        async def fetch():
            transport = httpx.ASGITransport(app=app)
            async with httpx.AsyncClient(transport=transport, base_url="http://test") as http:
                return (await http.get(path)).content

        return asyncio.run(fetch())

    return get, answers


@pytest.mark.parametrize("items", RECORDS)
@pytest.mark.parametrize("limit, offset", [(100, 0), (1, 2**64), (1000, 2**63 - 1)])
def test_a_page_is_the_bytes_of_its_answer_model(framework, items, limit, offset):
    get, answers = framework
    answers["page"] = {"total": len(items) * 7, "items": items, "limit": limit, "offset": offset}
    assert list_answer(len(items) * 7, items, limit, offset) == get("/list")


def test_infinities_and_nan_are_written_as_the_model_writes_them(framework):
    get, answers = framework
    items = [{"a": math.nan, "b": math.inf, "c": -math.inf, "d": [math.nan]}]
    answers["page"] = {"total": 1, "items": items, "limit": 1, "offset": 0}
    written = list_answer(1, items, 1, 0)
    assert written == get("/list")
    assert (
        written
        == b'{"total":1,"items":[{"a":null,"b":null,"c":null,"d":[null]}],"limit":1,"offset":0}'
    )


@pytest.mark.parametrize("items", [items for items in RECORDS if items])
def test_a_record_is_the_bytes_of_the_encoder(framework, items):
    get, answers = framework
    answers["record"] = items[0]
    assert JSONResponse(items[0]).body == get("/record")
