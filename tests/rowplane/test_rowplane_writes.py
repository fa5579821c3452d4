"""Writes on the embedded engine that must land exactly where they were aimed, and be reported as
they happened: deletes of keys with percent signs, concurrent creates of one key, typed keys and
filters, and text that cannot be stored."""

import asyncio
import urllib.parse

import httpx
import pytest
from clickhouse_driver import Client as DriverClient
from fastapi import FastAPI
from pydantic import BaseModel

from kelvora.backends import ClickHouseBackend
from kelvora.rowplane import create_crud_router

KEYS = ["%", "%%", "50%", "%(k)s", "a'b\\", "100%%(x)s"]


class Code(BaseModel):
    code: str
    n: int = 0


class DriverBinding:
    """Runs statements on the embedded engine after clickhouse-driver's own parameter binding,
    as a clickhouse-driver `Client` would send them."""

    def __init__(self, engine):
        self.engine = engine
        self.driver = DriverClient("localhost")

    def execute(self, query, params=None):
        if params is not None:
            query = self.driver.substitute_params(query, params, self.driver.connection.context)
        return self.engine.execute(query)


@pytest.fixture
def codes(engine, database):
    table = f"{database}.codes"
    engine.execute(f"CREATE TABLE {table} (code String, n UInt32) ENGINE = MergeTree ORDER BY code")
    for key in KEYS:
        engine.execute(f"INSERT INTO {table} VALUES (%(code)s, 1)", {"code": key})
    return table


@pytest.mark.parametrize("binding", ["kelvora", "clickhouse-driver"])
@pytest.mark.parametrize("key", KEYS)
def test_delete_removes_exactly_its_key(engine, codes, serve, binding, key):
    client = engine if binding == "kelvora" else DriverBinding(engine)
    router = create_crud_router(
        codes, ClickHouseBackend(client, primary_key="code"), router_prefix="/codes"
    )
    http = serve(router)
    done = http.delete("/codes/" + urllib.parse.quote(key, safe=""))
    assert done.status_code == 200, done.text
    assert done.json()["details"] == {"code": key}
    left = sorted(row[0] for row in engine.execute(f"SELECT code FROM {codes}"))
    assert left == sorted(k for k in KEYS if k != key)


@pytest.fixture
def items(engine, database):
    table = f"{database}.items"
    engine.execute(f"CREATE TABLE {table} (code String, n UInt32) ENGINE = MergeTree ORDER BY code")
    return table


async def post_all(app, count, body):
    transport = httpx.ASGITransport(app=app)
    async with httpx.AsyncClient(transport=transport, base_url="http://test") as http:
        answers = await asyncio.gather(*(http.post("/items/", json=body) for _ in range(count)))
    return sorted(answer.status_code for answer in answers)


def test_concurrent_creates_of_one_key_store_one_row(engine, items):
    app = FastAPI()
    app.include_router(
        create_crud_router(
            items,
            ClickHouseBackend(engine, primary_key="code"),
            create_model=Code,
            router_prefix="/items",
            timestamp_field="",
        )
    )
    for round_ in range(10):
        statuses = asyncio.run(post_all(app, 16, {"code": f"k{round_}", "n": round_}))
        assert statuses == [200] + [409] * 15
    rows = engine.execute(f"SELECT code, count() FROM {items} GROUP BY code ORDER BY code")
    assert rows == [(f"k{i}", 1) for i in range(10)]


class Product(BaseModel):
    id: int
    name: str = ""


@pytest.fixture
def products(engine, database, serve):
    table = f"{database}.products"
    engine.execute(
        f"CREATE TABLE {table} (id UInt64, name String, qty UInt32) ENGINE = MergeTree ORDER BY id"
    )
    engine.execute(f"INSERT INTO {table} VALUES (7, 'seven', 3), (8, 'eight', 99)")

    def build(**models):
        router = create_crud_router(
            table,
            ClickHouseBackend(engine),
            filterable_fields=["qty", "name"],
            router_prefix="/products",
            timestamp_field="",
            **models,
        )
        return serve(router)

    return build


class Stock(BaseModel):
    qty: int | None = None


@pytest.mark.parametrize(
    "models",
    [{"response_model": Product}, {"create_model": Product}, {"update_model": Stock}],
    ids=["response", "create", "update"],
)
def test_annotated_columns_are_typed_parameters(products, models):
    http = products(**models)
    if "update_model" not in models:
        assert http.get("/products/7").json()["name"] == "seven"
        refused = http.get("/products/abc")
        assert refused.status_code == 422
        assert refused.json()["detail"][0]["loc"] == ["path", "id"]
    if "update_model" in models:
        page = http.get("/products/?qty=99").json()
        assert [item["id"] for item in page["items"]] == [8]
        refused = http.get("/products/?qty=many")
        assert refused.status_code == 422
        assert refused.json()["detail"][0]["loc"] == ["query", "qty"]


def test_columns_no_model_annotates_stay_text(products):
    http = products()
    schema = http.get("/openapi.json").json()["paths"]["/products/{id}"]["get"]["parameters"]
    assert schema == [
        {"name": "id", "in": "path", "required": True, "schema": {"type": "string", "title": "Id"}}
    ]
    assert http.get("/products/7").json() == {"id": 7, "name": "seven", "qty": 3}
    page = http.get("/products/?name=eight").json()
    assert [item["id"] for item in page["items"]] == [8]


@pytest.mark.parametrize(
    ("method", "path", "body", "where"),
    [
        ("post", "/products/", b'{"id": 9, "name": "\\ud800"}', "name"),
        ("put", "/products/7", b'{"name": "ok\\udfff"}', "name"),
    ],
)
def test_text_without_utf8_form_is_refused_before_it_is_stored(products, method, path, body, where):
    class Change(BaseModel):
        name: str | None = None

    http = products(create_model=Product, update_model=Change)
    refused = http.request(method, path, content=body, headers={"content-type": "application/json"})
    assert (refused.status_code, refused.json()) == (
        422,
        {"detail": f"Text that cannot be encoded as UTF-8 at {where}"},
    )
    rows = http.get("/products/?limit=10").json()["items"]
    assert [(row["id"], row["name"]) for row in rows] == [(7, "seven"), (8, "eight")]
