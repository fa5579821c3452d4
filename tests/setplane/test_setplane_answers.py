"""The configuration reads write their JSON themselves: the same bytes and headers FastAPI writes
for the payload, whatever it holds, while the handler called directly returns the payload."""

import asyncio
import datetime
import decimal
import json
import math

import fastapi.routing
import pytest
from fastapi import FastAPI, Response
from fastapi.encoders import jsonable_encoder
from fastapi.responses import JSONResponse

from kelvora.backend import StoredConfig
from kelvora.setplane import create_config_router

HEXES = [
    f"{'-' * (n % 2)}0x1.{n * 2654435761 % 2**52:013x}p{n * 7919 % 2046 - 1022}" for n in range(400)
]
PAYLOADS = {
    "plain": {"a": 1, "b": {"c": [1, 2.5, None, True, False, "x"]}, "e": {}, "l": []},
    "text": {"t": 'é ü 中 \U0001f600 "quoted" back\\slash \n\r\t\b\f \x00\x01\x1f\x7f'},
    "numbers": {"n": [0, -1, 10**30, 0.1, 1e20, 1e16, 1e-7, -0.0, 123456.789, 5e-324, 1e-5]},
    "random floats": {"f": [x for x in map(float.fromhex, HEXES) if math.isfinite(x)]},
    "fixed floats": {"f": [k / 7 * 10.0**e for k in (1, 3, 22) for e in range(-7, 18)]},
    "stored": StoredConfig({"a": {"b": 1}}),
    "sqlalchemy key": {"_sa_state": 1, "kept": 2},
    "not plain": {"when": datetime.datetime(2024, 1, 2, 3, 4, 5), "d": decimal.Decimal("1.50")},
    "tuple": {"t": (1, 2)},
    "nested stored": {"k": StoredConfig({"x": "y"})},
    "deep": {"d": json.loads("[" * 150 + "]" * 150)},
}


def fastapi_answer(payload):
    return JSONResponse(jsonable_encoder(payload))


WRITTEN = {"plain", "text", "numbers", "random floats", "fixed floats", "stored", "nested stored"}


@pytest.mark.parametrize("name", PAYLOADS)
@pytest.mark.parametrize("path", ["/config/", "/config/s"])
def test_reads_answer_fastapis_bytes(make_store, serve, monkeypatch, name, path):
    encoded = []
    monkeypatch.setattr(
        fastapi.routing, "jsonable_encoder", lambda v: encoded.append(v) or jsonable_encoder(v)
    )
    payload = PAYLOADS[name]
    config = {"s": payload} if path.endswith("/s") else payload
    answer = serve(make_store(config), enable_section_endpoints=True).request("GET", path)
    expected = fastapi_answer(payload)
    assert answer.status_code == 200
    assert answer.content == expected.body
    assert answer.headers.raw == expected.raw_headers
    # Written by the handler, FastAPI encodes only the None standing in for the payload.
    assert encoded == ([None] if name in WRITTEN else [payload])


def test_answers_that_fastapi_cannot_write_fail_as_before(make_store, serve):
    for payload in ({"x": float("nan")}, {"x": "\ud800"}):
        with pytest.raises((ValueError, UnicodeEncodeError)):
            serve(make_store(payload)).request("GET", "/config/")


def test_direct_call_returns_the_payload(make_store):
    config = {"a": [1, "b"]}
    router = create_config_router(make_store(config))
    read = next(r.endpoint for r in router.routes if r.path == "/config/" and "GET" in r.methods)
    assert asyncio.run(read()) is config


class Indented(JSONResponse):
    def render(self, content):
        return json.dumps(content, indent=2).encode()


@pytest.mark.parametrize("status", [203, 204])
def test_host_response_class_and_dependency_headers_are_kept(make_store, client_for, status):
    def stamp(response: Response):
        response.headers["X-Stamp"] = "1"
        response.status_code = status

    app = FastAPI(default_response_class=Indented)
    app.include_router(
        create_config_router(make_store({"a": [1, "é"]}), auth_dependency=stamp),
        default_response_class=Indented,
    )
    answer = client_for(app).request("GET", "/config/")
    assert (answer.status_code, answer.headers["x-stamp"]) == (status, "1")
    written = json.dumps({"a": [1, "é"]}, indent=2).encode() if status == 203 else b""
    assert answer.content == written
