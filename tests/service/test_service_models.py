"""The service's request models, built from DESCRIBE: what a create needs, what it may leave to
the engine, what an update may change, and values refused with 422 before anything is sent,
against the service as a real process on the embedded engine."""

import datetime

import pytest
from test_service import Service, prepare

KINDS = r"""
    CREATE TABLE default.kinds (
        id UInt64,
        label String,
        small Int8 DEFAULT 3,
        note Nullable(String),
        day Date,
        moment DateTime,
        price Decimal(10, 2),
        code FixedString(3),
        state Enum8('new' = 1, 'it\'s done' = 2),
        ref UUID,
        ip4 IPv4,
        ip6 IPv6,
        tags Array(UInt8),
        counts Map(String, Int16),
        pair Tuple(UInt8, String),
        wide Int64,
        ratio Float32,
        precise DateTime64(3),
        created_at DateTime
    ) ENGINE = MergeTree PARTITION BY toYYYYMM(day) ORDER BY (id, label)
"""
# Columns the engine computes come last: the router names the values of `SELECT *` by DESCRIBE.
DERIVED = """
    CREATE TABLE default.derived (
        k String,
        v UInt8 DEFAULT 7,
        twice UInt16 MATERIALIZED v * 2,
        shown String ALIAS upper(k)
    ) ENGINE = MergeTree ORDER BY k
"""

VALID = {
    "label": "a",
    "day": "2024-05-06",
    "moment": "2024-05-06T07:08:09",
    "price": "12.34",
    "code": "abc",
    "state": "it's done",
    "ref": "61f0c404-5cb3-11e7-907b-a6006ad3dba0",
    "ip4": "10.0.0.1",
    "ip6": "2001:db8::1",
    "tags": [0, 255],
    "counts": {"x": -32768},
    "pair": [1, "one"],
    "wide": -(2**63),
    "ratio": 0.5,
    "precise": "2024-05-06T07:08:09.123",
}
REQUIRED = ["id", *[name for name in VALID]]


@pytest.fixture(scope="module")
def service(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("models")
    data_dir = tmp_path / "kelvora-data"
    prepare(data_dir, KINDS, DERIVED)
    settings = tmp_path / "kelvora.toml"
    settings.write_text(
        '[[tables]]\nname = "kinds"\nfilterable = ["state", "ref", "small"]\n'
        '[[tables]]\nname = "derived"\nkey = "k"\n'
    )
    args = ["--data-dir", str(data_dir), "--config", str(settings)]
    with Service(*args, cwd=tmp_path) as running:
        yield running


@pytest.fixture
def http(service):
    return service.http


_keys = iter(range(1000, 10**6))


def new_key():
    return next(_keys)


def schema(http, name):
    return http.get("/openapi.json").json()["components"]["schemas"][name]


def errors(answer):
    """The 422 answer's errors as (location, type, message)."""
    assert answer.status_code == 422, answer.text
    return [(entry["loc"], entry["type"], entry["msg"]) for entry in answer.json()["detail"]]


def test_create_requires_the_key_and_every_column_without_a_default(http):
    kinds = schema(http, "KindsCreate")
    assert kinds["required"] == REQUIRED
    # The timestamp column is the service's to fill; small (DEFAULT) and note (Nullable) optional.
    assert list(kinds["properties"]) == ["id", "label", "small", "note", *REQUIRED[2:]]
    assert kinds["additionalProperties"] is False
    assert kinds["properties"]["small"]["description"] == "Int8, DEFAULT 3"
    assert "default" not in kinds["properties"]["small"]
    derived = schema(http, "DerivedCreate")
    assert (list(derived["properties"]), derived["required"]) == (["k", "v"], ["k"])


def test_update_offers_what_the_engine_can_update(http):
    # Not the key, nor the sorting key (label) or partition key (day), nor computed columns.
    kinds = schema(http, "KindsUpdate")
    assert list(kinds["properties"]) == [
        "small", "note", "moment", "price", "code", "state", "ref", "ip4", "ip6", "tags",
        "counts", "pair", "wide", "ratio", "precise", "created_at",
    ]  # fmt: skip
    assert ("required" not in kinds, kinds["minProperties"]) == (True, 1)
    # Present means changed: no field takes null, nor shows a default.
    assert kinds["properties"]["note"] == {
        "type": "string",
        "title": "Note",
        "description": "Nullable(String)",
    }
    assert all("default" not in field for field in kinds["properties"].values())
    assert list(schema(http, "DerivedUpdate")["properties"]) == ["v"]


@pytest.mark.parametrize(
    "body, error",
    [
        (
            {},
            (
                ["body"],
                "clickhouse_empty_update",
                "Input should name at least one column to update",
            ),
        ),
        ({"small": None}, (["body", "small"], "int_type", "Input should be a valid integer")),
        ({"note": None}, (["body", "note"], "string_type", "Input should be a valid string")),
    ],
    ids=["empty", "null", "null into Nullable"],
)
def test_an_update_names_a_column_and_a_value(http, body, error):
    # The router leaves nulls out of an update: without a column left it would answer 400.
    key = new_key()
    assert http.post("/kinds/", json={"id": key, **VALID, "note": "kept"}).status_code == 200
    assert errors(http.put(f"/kinds/{key}", json=body)) == [error]
    assert http.get(f"/kinds/{key}").json()["note"] == "kept"


def test_an_empty_create_names_every_required_field(http):
    answer = http.post("/kinds/", json={})
    assert errors(answer) == [(["body", name], "missing", "Field required") for name in REQUIRED]


def test_absent_columns_take_the_engine_defaults_and_the_creation_time(http):
    key = new_key()
    before = datetime.datetime.now(datetime.UTC).replace(microsecond=0, tzinfo=None)
    created = http.post("/kinds/", json={"id": key, **VALID})
    after = datetime.datetime.now(datetime.UTC).replace(tzinfo=None)
    assert created.status_code == 200, created.text
    record = http.get(f"/kinds/{key}").json()
    assert (record["small"], record["note"]) == (3, None)
    assert before <= datetime.datetime.fromisoformat(record["created_at"]) <= after
    assert record == {
        "id": key,
        **VALID,
        "small": 3,
        "note": None,
        "moment": "2024-05-06T07:08:09",
        "precise": "2024-05-06T07:08:09.123000",
        "created_at": record["created_at"],
    }


def test_computed_columns_are_left_to_the_engine(http):
    created = http.post("/derived/", json={"k": "first"})
    assert created.status_code == 200, created.text
    assert created.json() == {"k": "first"}
    # A table without a timestamp column is served without one: nothing else is inserted.
    assert http.get("/derived/first").json() == {"k": "first", "v": 7}
    assert http.get("/derived/first/history").json()["total"] == 1
    refused = http.post("/derived/", json={"k": "second", "twice": 4})
    assert errors(refused) == [(["body", "twice"], *EXTRA)]


def test_null_is_stored_only_where_the_column_holds_it(http):
    key = new_key()
    refused = http.post("/kinds/", json={"id": key, **VALID, "small": None})
    assert errors(refused) == [(["body", "small"], "int_type", "Input should be a valid integer")]
    stored = http.post("/kinds/", json={"id": key, **VALID, "note": None})
    assert stored.status_code == 200, stored.text
    assert http.get(f"/kinds/{key}").json()["note"] is None


def at_least(bound):
    return ("greater_than_equal", f"Input should be greater than or equal to {bound}")


def at_most(bound):
    return ("less_than_equal", f"Input should be less than or equal to {bound}")


def in_range(low, high, kind):
    return ("clickhouse_range", f"Input should be from {low} to {high}, the range of {kind}")


DATETIME = in_range("1970-01-01 00:00:00", "2106-02-07 06:28:15", "DateTime")
DATETIME64 = in_range("1900-01-01 00:00:00", "2299-12-31 23:59:59.999999", "DateTime64")
FLOAT32 = in_range("-3.4028234663852886e+38", "3.4028234663852886e+38", "Float32")
NOT_AN_INTEGER = (
    "int_parsing",
    "Input should be a valid integer, unable to parse string as an integer",
)
EXTRA = ("extra_forbidden", "Extra inputs are not permitted")


@pytest.mark.parametrize(
    "field, value, error",
    [
        ("id", -1, at_least(0)),
        ("id", 2**64, at_most(2**64 - 1)),
        ("wide", 2**63, at_most(2**63 - 1)),
        ("small", -129, at_least(-128)),
        ("day", "2149-06-07", at_most("2149-06-06")),
        ("day", "1969-12-31", at_least("1970-01-01")),
        ("moment", "9999-12-31T00:00:00", DATETIME),
        ("moment", "1969-12-31T23:59:59Z", DATETIME),
        ("precise", "2300-01-01T00:00:00", DATETIME64),
        (
            "price",
            "1.234",
            ("decimal_max_places", "Decimal input should have no more than 2 decimal places"),
        ),
        (
            "price",
            "123456789",
            (
                "decimal_whole_digits",
                "Decimal input should have no more than 8 digits before the decimal point",
            ),
        ),
        ("code", "abcd", ("string_too_long", "String should have at most 3 characters")),
        (
            "code",
            "éé",
            (
                "clickhouse_fixed_string",
                "Input should be at most 3 bytes in UTF-8, the size of FixedString(3)",
            ),
        ),
        ("state", "done", ("literal_error", "Input should be 'new' or \"it's done\"")),
        (
            "ref",
            "61f0c404",
            ("uuid_parsing", "Input should be a valid UUID, invalid length: found 8"),
        ),
        ("ip4", "10.0.0.256", ("ip_v4_address", "Input is not a valid IPv4 address")),
        ("ip6", "10.0.0.1", ("ip_v6_address", "Input is not a valid IPv6 address")),
        ("ratio", 1e39, FLOAT32),
    ],
)
def test_values_outside_the_column_type_are_refused(http, field, value, error):
    key = new_key()
    answer = http.post("/kinds/", json={"id": key, **VALID, field: value})
    assert errors(answer) == [(["body", field], *error)]
    if field != "id":
        assert http.get(f"/kinds/{key}").status_code == 404


@pytest.mark.parametrize(
    "field, value, location, error",
    [
        ("tags", [1, 256], ["body", "tags", 1], at_most(255)),
        ("tags", ["x"], ["body", "tags", 0], NOT_AN_INTEGER),
        ("counts", {"x": 40000}, ["body", "counts", "x"], at_most(32767)),
        ("pair", [1], ["body", "pair", 1], ("missing", "Field required")),
        ("pair", [-1, "x"], ["body", "pair", 0], at_least(0)),
    ],
)
def test_containers_are_checked_by_element_type(http, field, value, location, error):
    answer = http.post("/kinds/", json={"id": new_key(), **VALID, field: value})
    assert errors(answer) == [(location, *error)]


@pytest.mark.parametrize(
    "field, value, stored",
    [
        ("wide", 2**63 - 1, 2**63 - 1),
        ("small", -128, -128),
        ("day", "2149-06-06", "2149-06-06"),
        ("moment", "2106-02-07T06:28:15", "2106-02-07T06:28:15"),
        ("moment", "2024-01-01T01:00:00+01:00", "2024-01-01T00:00:00"),
        ("moment", "2024-01-01T00:00:00.75", "2024-01-01T00:00:00"),
        ("price", "-99999999.99", "-99999999.99"),
        ("code", "éa", "éa"),
        ("ip6", "2001:DB8:0:0::FF", "2001:db8::ff"),
    ],
)
def test_values_at_the_edges_of_the_column_type_are_stored_as_given(http, field, value, stored):
    key = new_key()
    created = http.post("/kinds/", json={"id": key, **VALID, field: value})
    assert created.status_code == 200, created.text
    assert http.get(f"/kinds/{key}").json()[field] == stored


def test_the_largest_key_is_stored_and_found(http):
    key = 2**64 - 1
    assert http.post("/kinds/", json={"id": key, **VALID}).status_code == 200
    assert http.get(f"/kinds/{key}").json()["id"] == key


@pytest.mark.parametrize(
    "path, error",
    [
        ("/kinds/-1", at_least(0)),
        ("/kinds/18446744073709551616", at_most(2**64 - 1)),
        ("/kinds/x", NOT_AN_INTEGER),
        ("/kinds/-1/history", at_least(0)),
    ],
)
def test_key_path_parameters_are_typed_by_the_column(http, path, error):
    for method in ("GET",) if path.endswith("history") else ("GET", "PUT", "DELETE"):
        body = {"small": 1} if method == "PUT" else None
        assert errors(http.request(method, path, json=body)) == [(["path", "id"], *error)]


def test_updates_of_key_columns_are_refused_before_the_engine_sees_them(http):
    key = new_key()
    assert http.post("/kinds/", json={"id": key, **VALID}).status_code == 200
    for field, value in [("label", "b"), ("day", "2024-01-01"), ("id", 5)]:
        answer = http.put(f"/kinds/{key}", json={field: value})
        assert errors(answer) == [(["body", field], *EXTRA)]
    out_of_range = http.put(f"/kinds/{key}", json={"small": 128})
    assert errors(out_of_range) == [(["body", "small"], *at_most(127))]
    updated = http.put(f"/kinds/{key}", json={"small": 127, "state": "new"})
    assert updated.status_code == 200, updated.text
    assert (updated.json()["small"], updated.json()["state"]) == (127, "new")


def test_filters_are_typed_by_the_column(http):
    key = new_key()
    ref = "0e4f4f4f-0000-4000-8000-000000000001"
    created = http.post("/kinds/", json={"id": key, **VALID, "ref": ref, "small": -7})
    assert created.status_code == 200, created.text
    found = http.get("/kinds/", params={"ref": ref, "small": -7, "state": "it's done"}).json()
    assert [item["id"] for item in found["items"]] == [key]
    assert errors(http.get("/kinds/", params={"state": "gone", "small": 500})) == [
        (["query", "state"], "literal_error", "Input should be 'new' or \"it's done\""),
        (["query", "small"], *at_most(127)),
    ]
