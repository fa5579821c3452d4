"""The query router beside the CRUD router on one prefix: paths ending in "/" that no key route
matches, whichever router comes first, and the OpenAPI each route shows."""

from fastapi import FastAPI
from fastapi.testclient import TestClient

from kelvora.rowplane import create_crud_router
from kelvora.rowquery import create_query_router


def test_no_path_of_either_router_shadows_the_other(engine, database):
    table = f"{database}.words"
    engine.execute(f"CREATE TABLE {table} (id String, n UInt8) ENGINE = MergeTree ORDER BY id")
    engine.execute(f"INSERT INTO {table} VALUES ('query', 1), ('bulk', 2), ('rows', 3)")
    for query_first in (False, True):
        app = FastAPI()
        routers = [
            create_crud_router(table, engine, router_prefix="/w"),
            create_query_router(table, engine, router_prefix="/w"),
        ]
        for router in reversed(routers) if query_first else routers:
            app.include_router(router)
        api = TestClient(app)
        assert api.get("/w/query").json() == {"id": "query", "n": 1}
        assert api.get("/w/query/?select=n&id=eq.bulk").json()["items"] == [{"n": 2}]
        assert api.get("/w/rows").json() == {"id": "rows", "n": 3}
        assert api.delete("/w/bulk/?id=eq.x").status_code == 405
    assert api.delete("/w/rows/?id=eq.rows").status_code == 200
    assert api.get("/w/").json()["total"] == 2


def test_openapi_documents_each_columns_operators(api):
    operations = api.get("/openapi.json").json()["paths"]
    assert sorted(operations) == [
        "/items/",
        "/items/bulk/",
        "/items/export/",
        "/items/mutations/{mutation_id}/",
        "/items/query/",
        "/items/rows/",
        "/items/{id}",
    ]
    parameters = {p["name"]: p for p in operations["/items/query/"]["get"]["parameters"]}
    assert list(parameters) == [
        "select",
        "order",
        "limit",
        "offset",
        "cursor",
        "count",
        "id",
        "name",
        "price",
        "tags",
        "note",
        "at",
        "kind",
        "doubled",
    ]
    assert parameters["note"] == {
        "name": "note",
        "in": "query",
        "required": False,
        "schema": {
            "type": "array",
            "items": {
                "type": "string",
                "pattern": "^(eq|ne|gt|gte|lt|lte|in|not_in|between|like|ilike|is_null)\\.",
            },
        },
        "description": "Filter on note (Nullable(String)): operator.value with eq, ne, gt, gte, "
        "lt, lte, in, not_in, between, like, ilike, is_null; in.(a,b), not_in.(a,b), "
        "between.(low,high), is_null.true; repeated, every condition holds",
        "style": "form",
        "explode": True,
    }
    assert parameters["tags"]["schema"]["items"]["pattern"] == "^(has)\\."
    assert parameters["kind"]["schema"]["items"]["pattern"] == "^(eq|ne|in|not_in)\\."
    assert parameters["order"]["schema"]["pattern"] == (
        "^(id|name|price|note|at|kind|doubled)(\\.asc|\\.desc)?"
        "(,(id|name|price|note|at|kind|doubled)(\\.asc|\\.desc)?)*$"
    )
    bulk = operations["/items/bulk/"]["post"]["requestBody"]["content"]
    assert list(bulk) == [
        "application/json",
        "application/x-ndjson",
        "text/csv",
        "application/vnd.apache.parquet",
    ]
    assert operations["/items/bulk/"]["post"]["parameters"] == [
        {
            "name": "Idempotency-Key",
            "in": "header",
            "required": False,
            "schema": {"type": "string", "minLength": 1, "maxLength": 255},
            "description": "Makes a retry store nothing twice: a request of a key already "
            "stored answers its count with replayed true",
        }
    ]
    assert operations["/items/bulk/"]["post"]["responses"]["409"] == {
        "description": "Another request of this Idempotency-Key is storing its rows, or was cut "
        "short after claiming the key"
    }
