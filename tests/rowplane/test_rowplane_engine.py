"""The life of records on the embedded ClickHouse engine, through a ClickHouseBackend."""

import datetime

import pytest
from pydantic import BaseModel

from kelvora.backends import ClickHouseBackend
from kelvora.rowplane import create_crud_router

ODD = "it's \\ odd' OR 1=1 OR code='"


class Event(BaseModel):
    id: int
    name: str
    qty: int = 0


class EventChange(BaseModel):
    name: str | None = None
    qty: int | None = None


class Version(BaseModel):
    code: str
    v: int


@pytest.fixture
def events(engine, database, serve):
    engine.execute(
        f"CREATE TABLE {database}.events (id UInt64, name String, qty UInt32, "
        "created_at DateTime64(6)) ENGINE = MergeTree ORDER BY id",
        {},
    )
    router = create_crud_router(
        f"{database}.events",
        ClickHouseBackend(engine),
        create_model=Event,
        update_model=EventChange,
        filterable_fields=["name"],
        order_by="id",
        router_prefix="/events",
    )
    return serve(router)


@pytest.fixture
def versions(engine, database, serve):
    table = f"{database}.versions"
    engine.execute(
        f"CREATE TABLE {table} (code String, v UInt32, created_at DateTime64(6)) "
        "ENGINE = MergeTree ORDER BY (code, created_at)",
        {},
    )
    backend = ClickHouseBackend(engine, primary_key="code")
    return table, serve(
        create_crud_router(
            table, backend, create_model=Version, enable_history=True, router_prefix="/v"
        )
    )


def test_life_of_a_record(events):
    before = datetime.datetime.utcnow()
    created = events.post("/events/", json={"id": 1, "name": "a", "qty": 2})
    assert created.status_code == 200, created.text
    body = created.json()
    stamp = datetime.datetime.fromisoformat(body.pop("created_at"))
    assert body == {"id": 1, "name": "a", "qty": 2}
    assert before <= stamp <= datetime.datetime.utcnow()
    taken = events.post("/events/", json={"id": 1, "name": "b"})
    assert taken.json() == {"detail": "Record with id='1' already exists. Use PUT to update."}
    for key, name in [(2, "b"), (3, "a")]:
        assert events.post("/events/", json={"id": key, "name": name}).status_code == 200

    page = events.get("/events/?name=a&limit=1&offset=1").json()
    assert (page["total"], [item["id"] for item in page["items"]]) == (2, [3])
    assert [item["id"] for item in events.get("/events/").json()["items"]] == [1, 2, 3]
    record = events.get("/events/1").json()
    assert record == {"id": 1, "name": "a", "qty": 2, "created_at": stamp.isoformat()}

    updated = events.put("/events/1", json={"qty": 9, "name": None})
    assert updated.json() == {**record, "qty": 9}
    assert events.delete("/events/1").json()["details"] == {"id": 1}  # typed by the models
    assert events.get("/events/1").status_code == 404
    assert events.get("/events/").json()["total"] == 2


def test_history_newest_first(versions, engine):
    table, http = versions
    for v, second in [(1, 1), (3, 3), (2, 2)]:
        engine.execute(
            f"INSERT INTO {table} VALUES (%(code)s, %(v)s, %(at)s)",
            {"code": ODD, "v": v, "at": datetime.datetime(2024, 1, 1, 0, 0, second)},
        )
    r = http.get("/v/" + ODD.replace("\\", "%5C") + "/history")
    assert r.status_code == 200, r.text
    assert [(item["code"], item["v"]) for item in r.json()["items"]] == [
        (ODD, 3),
        (ODD, 2),
        (ODD, 1),
    ]
    assert (r.json()["total"], r.json()["limit"], r.json()["offset"]) == (3, 3, 0)


def test_quoted_keys_delete_only_their_row(versions, engine):
    table, http = versions
    for code in (ODD, "other", "it's \\ odd"):
        assert http.post("/v/", json={"code": code, "v": 1}).status_code == 200
    assert http.get("/v/" + ODD.replace("\\", "%5C")).json()["code"] == ODD
    assert http.delete("/v/" + ODD.replace("\\", "%5C")).status_code == 200
    remaining = engine.execute(f"SELECT code FROM {table} ORDER BY code", {})
    assert remaining == [("it's \\ odd",), ("other",)]


def test_computed_columns_do_not_shift_the_names(engine, database, serve):
    # SELECT * leaves out MATERIALIZED and ALIAS columns, which DESCRIBE lists where declared.
    table = f"{database}.priced"
    engine.execute(
        f"CREATE TABLE {table} (id UInt64, net Float64, gross Float64 MATERIALIZED net * 2, "
        "half Float64 ALIAS net / 2, name String) ENGINE = MergeTree ORDER BY id"
    )
    engine.execute(f"INSERT INTO {table} (id, net, name) VALUES (1, 10, 'one')")
    backend = ClickHouseBackend(engine)
    router = create_crud_router(
        table, backend, router_prefix="/p", enable_history=True, timestamp_field=""
    )
    http = serve(router)
    record = {"id": 1, "net": 10.0, "name": "one"}
    assert http.get("/p/1").json() == record
    assert http.get("/p/").json()["items"] == [record]
    assert http.get("/p/1/history").json()["items"] == [record]
    assert backend.query(table, {}, 10, 0) == [record]
