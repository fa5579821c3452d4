"""PATCH and DELETE /rows/ answer the mutation they started; GET /mutations/{id}/ shows it."""

import pytest
from rowquery_app import serve


def test_an_update_answers_its_mutation(api, engine, items):
    r = api.patch("/items/rows/?id=in.(1,2)", json={"name": "renamed", "tags": ["z"]})
    assert r.status_code == 200, r.text
    answer = r.json()
    assert answer["command"] == "(UPDATE name = 'renamed', tags = ['z'] WHERE id IN (1, 2))"
    assert answer["is_done"] is True
    assert answer["status"] == f"/items/mutations/{answer['mutation_id']}/"
    assert engine.execute(f"SELECT id FROM {items} WHERE name = 'renamed' ORDER BY id") == [
        (1,),
        (2,),
    ]
    status = api.get(answer["status"]).json()
    assert {k: status[k] for k in ("mutation_id", "command", "parts_to_do", "is_done")} == {
        "mutation_id": answer["mutation_id"],
        "command": answer["command"],
        "parts_to_do": 0,
        "is_done": True,
    }


def test_a_delete_is_lightweight_where_the_engine_has_it(api, engine, items):
    r = api.delete("/items/rows/?id=lt.3")
    assert r.json()["command"] == "(UPDATE _row_exists = 0 WHERE id < 3)"
    assert engine.execute(f"SELECT count() FROM {items}") == [(22,)]


def test_a_table_may_delete_with_alter(engine, items):
    api = serve(engine, items, lightweight_delete=False)
    r = api.delete("/items/rows/?name=eq.n4")
    assert r.json()["command"] == "(DELETE WHERE name = 'n4')"
    assert engine.execute(f"SELECT count() FROM {items} WHERE id = 4") == [(0,)]


@pytest.mark.parametrize(
    ("method", "url", "body", "detail"),
    [
        ("delete", "/items/rows/", None, "A delete needs at least one filter"),
        ("patch", "/items/rows/", {"name": "x"}, "An update needs at least one filter"),
        ("patch", "/items/rows/?id=eq.1", {}, "An update names at least one field"),
        (
            "patch",
            "/items/rows/?id=eq.1",
            {"id": 5},
            "Field id: a key or computed column is not updated",
        ),
        ("patch", "/items/rows/?id=eq.1", {"nosuch": 5}, "Unknown column 'nosuch' (update)"),
        (
            "patch",
            "/items/rows/?id=eq.1",
            {"kind": "c"},
            "Field kind: 'c' is not a value of Enum8('a' = 1, 'b' = 2)",
        ),
        ("delete", "/items/rows/?limit=1", None, "Unknown column 'limit' (filter)"),
    ],
)
def test_what_a_mutation_refuses(api, engine, items, method, url, body, detail):
    r = api.request(method, url, json=body)
    assert r.status_code == 422, r.text
    assert r.json() == {"detail": detail}
    assert engine.execute(
        f"SELECT count() FROM system.mutations WHERE table = 'items' AND "
        f"database = '{items.split('.')[0]}'"
    ) == [(0,)]


def test_an_unknown_mutation_is_404(api, items):
    r = api.get("/items/mutations/mutation_99.txt/")
    assert r.status_code == 404
    assert r.json() == {"detail": f"No mutation mutation_99.txt of {items}"}


def test_lightweight_delete_is_refused_where_the_engine_lacks_it(engine, database):
    table = f"{database}.plain"
    engine.execute(f"CREATE TABLE {table} (id UInt64) ENGINE = Log")
    with pytest.raises(ValueError) as error:
        serve(engine, table, lightweight_delete=True)
    assert str(error.value).startswith(
        "lightweight_delete needs a MergeTree table on ClickHouse 22.8 or later; "
        f"{table} is Log on "
    )
