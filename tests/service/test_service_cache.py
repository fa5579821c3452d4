"""Cached views against the service as a real process: the CRUD routes' paging bounds, answer
shape, key and filter types, and every column type answered as the CRUD routes answer it."""

import pytest
from test_service import Service, prepare
from test_service_models import KINDS, VALID

ROWS = [
    {"id": 1, **VALID, "small": 1},
    {"id": 2, **VALID, "small": 2, "note": "two", "tags": [], "state": "new"},
    {"id": 3, **VALID, "small": 1, "counts": {}, "ref": "0e4f4f4f-0000-4000-8000-000000000001"},
    {"id": 2**64 - 1, **VALID, "small": -5, "price": "-0.5"},
]


@pytest.fixture(scope="module")
def http(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("cache")
    data_dir = tmp_path / "kelvora-data"
    prepare(data_dir, KINDS)
    settings = tmp_path / "kelvora.toml"
    settings.write_text(
        '[[tables]]\nname = "kinds"\nfilterable = ["state", "ref", "small", "note"]\ncache = true\n'
    )
    with Service("--data-dir", str(data_dir), "--config", str(settings), cwd=tmp_path) as service:
        for row in ROWS:
            created = service.http.post("/kinds/", json=row)
            assert created.status_code == 200, created.text
        assert service.http.post("/cache/kinds/refresh").json() == {"status": "success", "rows": 4}
        yield service.http


@pytest.mark.parametrize(
    "params",
    [
        {},
        {"limit": 2},
        {"limit": 2, "offset": 1},
        {"limit": 1000, "offset": 3},
        {"offset": 10},
        {"offset": 2**63},
        {"offset": 2**64 - 1},
        {"small": 1},
        {"small": 1, "state": "it's done"},
        {"ref": "0E4F4F4F-0000-4000-8000-000000000001"},
        {"note": "two"},
        {"small": 99},
    ],
)
def test_a_cached_page_is_the_crud_page(http, params):
    cached = http.get("/cache/kinds/", params=params)
    assert cached.status_code == 200, cached.text
    assert cached.json() == http.get("/kinds/", params=params).json()


def test_every_column_type_is_answered_as_json(http):
    assert http.get("/cache/kinds/2").json() == http.get("/kinds/2").json()
    record = http.get(f"/cache/kinds/{2**64 - 1}").json()
    assert {name: record[name] for name in ("id", "price", "tags", "counts", "pair", "note")} == {
        "id": 2**64 - 1,
        "price": "-0.50",
        "tags": [0, 255],
        "counts": {"x": -32768},
        "pair": [1, "one"],
        "note": None,
    }


@pytest.mark.parametrize(
    "path",
    [
        "/?limit=0",
        "/?limit=1001",
        "/?offset=-1",
        "/?limit=x",
        "/?small=128",
        "/?state=gone",
        "/?ref=nope",
        "/-1",
        "/18446744073709551616",
        "/x",
    ],
)
def test_bad_paging_keys_and_filters_are_refused_as_by_the_crud_routes(http, path):
    cached = http.get("/cache/kinds" + path)
    assert cached.status_code == 422, cached.text
    assert cached.json() == http.get("/kinds" + path).json()


def test_a_missing_key_is_not_found(http):
    answer = http.get("/cache/kinds/99")
    assert (answer.status_code, answer.json()) == (
        404,
        {"detail": "Record with id=99 not found in cache"},
    )


def test_an_offset_past_every_row_answers_an_empty_page(http):
    # Past what DuckDB's OFFSET holds (a BIGINT) too, and past UInt64.
    answer = http.get("/cache/kinds/", params={"offset": 2**64, "limit": 5})
    assert (answer.status_code, answer.json()) == (
        200,
        {"total": 4, "items": [], "limit": 5, "offset": 2**64},
    )


def test_a_missing_key_is_documented(http):
    route = http.get("/openapi.json").json()["paths"]["/cache/kinds/{id}"]["get"]
    assert route["responses"]["404"] == {
        "description": "No row has this key",
        "content": {"application/json": {"schema": {"$ref": "#/components/schemas/NotInCache"}}},
    }
    assert http.get("/openapi.json").json()["components"]["schemas"]["NotInCache"] == {
        "description": "The answer for a key that no row of the cached copy holds.",
        "properties": {"detail": {"title": "Detail", "type": "string"}},
        "required": ["detail"],
        "title": "NotInCache",
        "type": "object",
    }


def test_the_copy_changes_on_refresh_only(http):
    row = {"id": 50, **VALID}
    assert http.post("/kinds/", json=row).status_code == 200
    assert http.get("/cache/kinds/50").status_code == 404
    assert http.post("/cache/kinds/refresh").json() == {"status": "success", "rows": 5}
    assert http.get("/cache/kinds/50").json() == http.get("/kinds/50").json()
    assert http.delete("/kinds/50").status_code == 200
    assert http.post("/cache/kinds/refresh").json() == {"status": "success", "rows": 4}
