"""CRUD requests over HTTP on a recording client: the statements sent, their order, the answers."""

import datetime
import logging
import threading

import pytest
from fastapi import HTTPException
from pydantic import BaseModel

from kelvora.rowplane import create_crud_router

DESCRIBE = [("id", "UInt64"), ("name", "String"), ("qty", "UInt32")]
ROWS = [(1, "a", 5), (2, "b", 6)]
WORKER = "AnyIO worker thread"

PAGE = (
    "\n                SELECT * FROM events"
    "\n                "
    "\n                "
    "\n                LIMIT %(limit)s OFFSET %(offset)s"
    "\n            "
)
GET = (
    "\n                SELECT * FROM events"
    "\n                WHERE id = %(id)s"
    "\n                "
    "\n                LIMIT 1"
    "\n            "
)
HISTORY = (
    "\n                    SELECT * FROM events"
    "\n                    WHERE id = %(id)s"
    "\n                    ORDER BY created_at DESC"
    "\n                "
)


class Item(BaseModel):
    id: int
    name: str | None = None
    qty: int | None = None


class Change(BaseModel):
    id: int | None = None
    name: str | None = None
    qty: int | None = None


@pytest.fixture
def build(make_client, serve):
    def build(answers=None, failures=None, **options):
        client = make_client(answers, failures)
        return client, serve(create_crud_router("events", client, **options))

    return build


def test_list_without_parameters(build):
    client, http = build({"count": [(2,)], "select": ROWS, "describe": DESCRIBE})
    r = http.get("/events/")
    assert r.status_code == 200, r.text
    assert r.json() == {
        "total": 2,
        "items": [{"id": 1, "name": "a", "qty": 5}, {"id": 2, "name": "b", "qty": 6}],
        "limit": 100,
        "offset": 0,
    }
    params = {"limit": 100, "offset": 0}
    assert client.statements() == [
        ("SELECT count() FROM events ", params),
        (PAGE, params),
        ("DESCRIBE TABLE events", {}),
    ]
    assert client.calls[0][1] is client.calls[1][1]  # updated in place after the count
    assert {thread for _, _, thread in client.calls} == {WORKER}


def test_list_filters_order_and_mapping_rows(build):
    rows = [{"id": 7, "status": "open"}]
    client, http = build(
        {"count": [(40,)], "select": rows},
        filterable_fields=["status", "owner"],
        order_by="id DESC",
    )
    r = http.get("/events/?status=open&other=x&limit=5&offset=10")
    assert r.json() == {"total": 40, "items": rows, "limit": 5, "offset": 10}
    where = "WHERE status = %(status)s"
    page = PAGE.replace("\n                \n", f"\n                {where}\n", 1)
    page = page.replace("\n                \n", "\n                ORDER BY id DESC\n", 1)
    params = {"status": "open", "limit": 5, "offset": 10}
    assert client.statements() == [(f"SELECT count() FROM events {where}", params), (page, params)]


def test_empty_list_runs_no_describe(build):
    client, http = build()
    assert http.get("/events/").json() == {"total": 0, "items": [], "limit": 100, "offset": 0}
    assert [client.kind(query) for query, _ in client.statements()] == ["count", "select"]


@pytest.mark.parametrize("rows, describes", [(ROWS, 1), ([{"id": 1, "name": "a"}], 0)])
def test_get_record(build, rows, describes):
    client, http = build({"select": rows, "describe": DESCRIBE})
    r = http.get("/events/history")  # a key value, not the history route
    assert r.status_code == 200, r.text
    assert r.json() == ({"id": 1, "name": "a", "qty": 5} if describes else rows[0])
    expected = [(GET, {"id": "history"})] + [("DESCRIBE TABLE events", {})] * describes
    assert client.statements() == expected


def test_create_record(build, caplog):
    caplog.set_level(logging.INFO, "kelvora.rowplane")
    client, http = build(
        create_model=Item, custom_validators={"name": str.upper, "absent": int, "qty": abs}
    )
    before = datetime.datetime.utcnow()
    r = http.post("/events/", json={"id": 3, "name": "n", "qty": -4})
    assert r.status_code == 200, r.text
    (exists, _, _), (insert, data, _) = client.calls
    assert exists == "SELECT id FROM events WHERE id = %(id)s LIMIT 1"
    assert client.calls[0][1] == {"id": 3}
    assert insert == (
        "INSERT INTO events (id, name, qty, created_at) "
        "VALUES (%(id)s, %(name)s, %(qty)s, %(created_at)s)"
    )
    created = data.pop("created_at")
    assert data == {"id": 3, "name": "N", "qty": 4}
    assert created.tzinfo is None and before <= created <= datetime.datetime.utcnow()
    assert r.json() == {**data, "created_at": created.isoformat()}
    assert caplog.messages == ["Created record in events: {'id': 3}"]


@pytest.mark.parametrize(
    "timestamp_field, body, stored",
    [
        ("created_at", {"id": 3, "created_at": "x"}, {"id": 3, "created_at": "x"}),
        ("", {"id": 3}, {"id": 3}),
    ],
)
def test_create_keeps_or_omits_the_creation_time(build, timestamp_field, body, stored):
    class Stamped(BaseModel):
        id: int
        created_at: str | None = None

    client, http = build(create_model=Stamped, timestamp_field=timestamp_field)
    r = http.post("/events/", json=body)
    assert r.status_code == 200, r.text
    assert client.calls[1][1] == {"created_at": None, **stored}  # the body's own value


def test_update_record(build, caplog):
    caplog.set_level(logging.INFO, "kelvora.rowplane")
    client, http = build({"exists": [(5, "a", 1)], "describe": DESCRIBE}, update_model=Change)
    r = http.put("/events/5", json={"id": 99, "name": "b", "qty": None})
    assert r.status_code == 200, r.text
    assert r.json() == {"id": 5, "name": "a", "qty": 1}
    select = "SELECT * FROM events WHERE id = %(id)s LIMIT 1"
    mutation = (
        "\n                    ALTER TABLE events"
        "\n                    UPDATE name = %(name)s"
        "\n                    WHERE id = %(id)s"
        "\n                    "
    )
    # The update model annotates the key column, so the key arrives as that type.
    assert client.statements() == [
        (select, {"id": 5}),
        (mutation, {"name": "b", "id": 5}),
        (select, {"id": 5}),
        ("DESCRIBE TABLE events", {}),
    ]
    assert caplog.messages == ["Updated record in events: {'id': 5}"]


@pytest.mark.parametrize("response_model", [None, Item])
def test_update_without_read_back_answers_the_message(make_client, serve, response_model):
    answers = iter([[(5,)], [], []])
    client = make_client()
    client.execute = lambda query, params: next(answers)
    router = create_crud_router(
        "events", client, update_model=Change, response_model=response_model
    )
    r = serve(router).put("/events/5", json={"name": "b"})
    assert (r.status_code, r.json()) == (200, {"message": "Updated successfully"})


def test_delete_record(build, caplog):
    caplog.set_level(logging.INFO, "kelvora.rowplane")
    client, http = build({"exists": [("x",)]}, primary_key="code")
    r = http.delete("/events/a'b\\c")
    assert r.status_code == 200, r.text
    assert r.json() == {
        "message": "Record deleted successfully from events",
        "status": "success",
        "details": {"code": "a'b\\c"},
    }
    assert client.statements() == [
        ("SELECT code FROM events WHERE code = %(code)s LIMIT 1", {"code": "a'b\\c"}),
        ("ALTER TABLE events DELETE WHERE code = 'a\\'b\\\\c'", {}),
    ]
    assert caplog.messages == ["Deleted record from events: {'code': \"a'b\\\\c\"}"]


def test_history(build):
    rows = [(1, "new", 2), (1, "old", 1)]
    client, http = build({"select": rows, "describe": DESCRIBE}, enable_history=True)
    r = http.get("/events/1/history")
    assert r.json() == {
        "total": 2,
        "items": [{"id": 1, "name": "new", "qty": 2}, {"id": 1, "name": "old", "qty": 1}],
        "limit": 2,
        "offset": 0,
    }
    assert client.statements() == [(HISTORY, {"id": "1"}), ("DESCRIBE TABLE events", {})]


class Named(BaseModel):
    name: str


# fmt: off
REFUSALS = [
    # options, answers, method, path, body, status, detail, statements sent (or their count)
    ({"order_by": "v DESC"}, {}, "get", "/42", None,
     404, "Record with id=42 not found in events",
     [(GET.replace("\n                \n", "\n                ORDER BY v DESC\n"), {"id": "42"})]),
    ({"create_model": Change}, {"exists": [(3,)]}, "post", "/", {"id": 3, "name": "x"},
     409, "Record with id='3' already exists. Use PUT to update.", 1),
    ({"create_model": Named}, {}, "post", "/", {"name": "x"},
     500, "Failed to create record: 'id'", 0),
    ({"update_model": Change}, {}, "put", "/5", {"name": "b"},
     404, "Record with id=5 not found in events", 1),
    ({"update_model": Change}, {"exists": [(5,)]}, "put", "/5", {"id": 5, "name": None},
     400, "No fields to update", 1),
    ({"primary_key": "code"}, {}, "delete", "/42", None,
     404, "Record with code=42 not found in events", 1),
    ({"enable_history": True, "timestamp_field": ""}, {}, "get", "/42/history", None,
     404, "No history found for id=42 in events",
     [(HISTORY.replace("ORDER BY created_at DESC", ""), {"id": "42"})]),
]
# fmt: on


@pytest.mark.parametrize(
    "options, answers, method, path, body, status, detail, statements", REFUSALS
)
def test_refusals(build, options, answers, method, path, body, status, detail, statements):
    client, http = build(answers, **options)
    r = http.request(method, "/events" + path, json=body)
    assert (r.status_code, r.json()) == (status, {"detail": detail})
    assert (
        client.statements() if isinstance(statements, list) else len(client.calls)
    ) == statements


# fmt: off
GUARDS = [
    # method, path, failing statement, log prefix, detail prefix
    ("post", "/", "exists", "Error creating record in ", "Failed to create record: "),
    ("get", "/", "count", "Error listing records from ", "Failed to list records: "),
    ("get", "/1", "describe", "Error getting record from ", "Failed to get record: "),
    ("put", "/1", "alter", "Error updating record in ", "Failed to update record: "),
    ("delete", "/1", "alter", "Error deleting record from ", "Failed to delete record: "),
    ("get", "/1/history", "select", "Error getting history from ",
     "Failed to get record history: "),
]
# fmt: on


@pytest.mark.parametrize("method, path, kind, log_prefix, detail_prefix", GUARDS)
def test_handler_guard(build, caplog, method, path, kind, log_prefix, detail_prefix):
    answers = {"select": ROWS, "exists": ROWS, "count": [(1,)]}
    client, http = build(
        answers,
        {kind: RuntimeError("engine down")},
        create_model=Change,
        update_model=Change,
        enable_history=True,
    )
    body = {"id": 1, "name": "x"} if method in ("post", "put") else None
    r = http.request(method, "/events" + path, json=body)
    assert (r.status_code, r.json()) == (500, {"detail": detail_prefix + "engine down"})
    [record] = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert record.getMessage() == log_prefix + "events: engine down"
    assert record.name == "kelvora.rowplane"
    assert isinstance(record.exc_info[1], RuntimeError)


def test_http_exception_of_a_validator_passes_unchanged(build):
    def refuse(value):
        raise HTTPException(status_code=418, detail="no tea")

    client, http = build(create_model=Change, custom_validators={"name": refuse})
    r = http.post("/events/", json={"id": 1, "name": "x"})
    assert (r.status_code, r.json()) == (418, {"detail": "no tea"})


def test_backend_client_attribute(make_client, serve):
    class Backend:
        primary_key = "order_id"
        threads = []

        @property
        def client(self):
            self.threads.append(threading.current_thread().name)
            return recording

    recording = make_client({"select": [{"order_id": 1}]})
    http = serve(create_crud_router("orders", Backend()))
    assert http.get("/orders/1").json() == {"order_id": 1}
    assert recording.statements()[0][1] == {"order_id": "1"}
    assert len(Backend.threads) == 1 and Backend.threads[0] != WORKER  # read on the event loop


@pytest.mark.parametrize(
    ("count", "rows", "describe", "answered"),
    [
        # Already in the answer's shape: built as it is.
        ((2,), ROWS, DESCRIBE, {"total": 2, "items": [{"id": 1, "name": "a", "qty": 5}]}),
        # A count a client answers as text or as a bool is validated into a number as before.
        (("2",), ROWS, DESCRIBE, {"total": 2, "items": [{"id": 1, "name": "a", "qty": 5}]}),
        ((True,), [], None, {"total": 1, "items": []}),
    ],
    ids=["shaped", "count-as-text", "count-as-bool"],
)
def test_list_answer_has_the_models_shape(build, count, rows, describe, answered):
    _, http = build({"count": [count], "select": rows[:1], "describe": describe})
    r = http.get("/events/?limit=1")
    assert r.status_code == 200, r.text
    assert r.json() == {**answered, "limit": 1, "offset": 0}
