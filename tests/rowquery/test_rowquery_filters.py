"""Typed filters, sorting and field selection of GET /query/ on the embedded engine."""

import pytest


def ids(api, query):
    r = api.get("/items/query/?select=id&" + query)
    assert r.status_code == 200, r.text
    return [row["id"] for row in r.json()["items"]]


@pytest.mark.parametrize(
    ("query", "expected"),
    [
        ("id=eq.3", [3]),
        ("id=ne.0&id=lt.3", [1, 2]),
        ("id=gt.22", [23, 24]),
        ("id=gte.23", [23, 24]),
        ("id=lte.1", [0, 1]),
        ("id=in.(4,2,9)", [2, 4, 9]),
        ("id=not_in.(0,1,2)&id=lt.5", [3, 4]),
        ("price=between.(1.5,2)", [6, 7, 8]),
        ("name=like.n2%25", [2, 20, 21, 22, 23, 24]),
        ("name=ilike.N1_", [10, 11, 12, 13, 14, 15, 16, 17, 18, 19]),
        ('name=in.("n1",n3)', [1, 3]),
        ("note=is_null.false&id=lt.6", [1, 3, 5]),
        ("note=is_null.true&id=lt.6", [0, 2, 4]),
        ("tags=has.2&id=lt.12", [2, 5, 8, 11]),
        ("kind=eq.b&id=lt.4", [1, 3]),
        ("at=gte.2024-01-01T00:00:23Z", [23, 24]),
        ("at=between.(2024-01-01 00:00:05,2024-01-01 00:00:06)", [5, 6]),
    ],
)
def test_operators_select_the_rows(api, query, expected):
    assert ids(api, query) == expected


@pytest.mark.parametrize(
    ("query", "detail"),
    [
        ("nosuch=eq.1", "Unknown column 'nosuch' (filter)"),
        ("id=eq.x", "Filter id=eq.x: 'x' is not a value of UInt64"),
        ("id=eq.-1", "Filter id=eq.-1: '-1' is out of range for UInt64"),
        (
            "id=like.1",
            "Filter id=like.1: the operator 'like' is not one of this column's "
            "(eq, ne, gt, gte, lt, lte, in, not_in, between)",
        ),
        ("id=3", "Filter id=3: a filter is written operator.value (eq.10, in.(1,2), ...)"),
        (
            "price=eq.1.234",
            "Filter price=eq.1.234: '1.234' has more digits than Decimal(10, 2) keeps",
        ),
        ("at=eq.2024-02-30", "Filter at=eq.2024-02-30: '2024-02-30' is not a value of DateTime"),
        ("at=eq.1960-01-01", "Filter at=eq.1960-01-01: '1960-01-01' is out of range for DateTime"),
        ("kind=eq.c", "Filter kind=eq.c: 'c' is not a value of Enum8('a' = 1, 'b' = 2)"),
        ("id=in.()", "Filter id=in.(): an empty list"),
        ("id=between.(1)", "Filter id=between.(1): between takes two bounds: between.(low,high)"),
        ("note=is_null.maybe", "Filter note=is_null.maybe: is_null takes true or false"),
        (
            "id=is_null.true",
            "Filter id=is_null.true: the operator 'is_null' is not one of this "
            "column's (eq, ne, gt, gte, lt, lte, in, not_in, between)",
        ),
        (
            "tags=has.x&tags=eq.x",
            "Filter tags=eq.x: the operator 'eq' is not one of this column's (has)",
        ),
        ("select=id,nosuch", "Unknown column 'nosuch' (select)"),
        ("order=nosuch.desc", "Unknown column 'nosuch' (order)"),
        ("order=tags", "Column 'tags' cannot be sorted on"),
        ("limit=0", "limit must be a whole number from 1 to 1000, not '0'"),
        ("limit=1001", "limit must be a whole number from 1 to 1000, not '1001'"),
        ("offset=x", "offset must be a whole number from 0 to 9223372036854775807, not 'x'"),
        ("count=all", "count must be exact, estimated or none, not 'all'"),
    ],
)
def test_what_does_not_fit_is_422(api, query, detail):
    r = api.get("/items/query/?" + query)
    assert r.status_code == 422, r.text
    assert r.json() == {"detail": detail}


def test_a_value_never_becomes_sql(api, engine, items):
    quote = "x' OR 1=1 OR name = '"
    assert ids(api, "name=eq." + quote.replace("%", "%25")) == []
    assert ids(api, "name=like.%25(p0)s") == []
    assert engine.execute(f"SELECT count() FROM {items}") == [(25,)]


def test_order_and_select(api):
    r = api.get("/items/query/?select=price,id&order=kind.desc,id.desc&limit=3")
    assert r.status_code == 200, r.text
    assert r.json()["items"] == [
        {"price": "5.75", "id": 23},
        {"price": "5.25", "id": 21},
        {"price": "4.75", "id": 19},
    ]


def test_the_default_selection_is_every_stored_column(api):
    r = api.get("/items/query/?id=eq.3")
    assert r.json()["items"] == [
        {
            "id": 3,
            "name": "n3",
            "price": "0.75",
            "tags": ["a", "0"],
            "note": "x",
            "at": "2024-01-01T00:00:03",
            "kind": "b",
        }
    ]


def test_field_lists_narrow_what_requests_may_name(engine, items):
    from rowquery_app import serve

    api = serve(engine, items, filterable_fields=["name"], sortable_fields=["id"])
    assert api.get("/items/query/?id=eq.1").json() == {
        "detail": "Column 'id' cannot be filtered on"
    }
    assert api.get("/items/query/?order=name").json() == {
        "detail": "Column 'name' cannot be sorted on"
    }
    with pytest.raises(ValueError) as error:
        serve(engine, items, filterable_fields=["nosuch"])
    assert str(error.value) == f"filterable_fields names 'nosuch', which is not a column of {items}"
