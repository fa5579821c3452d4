"""POST /bulk/: rows checked one by one and written as one INSERT; CSV and Parquet handed to the
engine; an Idempotency-Key makes a retry store nothing twice."""

import hashlib
import io
import json

import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from rowquery_app import serve

ROW = {
    "id": 100,
    "name": "b",
    "price": "1.50",
    "tags": ["t"],
    "at": "2024-02-02T10:00:00",
    "kind": "a",
}


def stored(engine, items, since=100):
    return engine.execute(
        f"SELECT id, name, price, tags, note, toString(at), kind FROM {items} WHERE id >= {since} "
        "ORDER BY id"
    )


def test_a_json_array_is_one_insert(api, engine, items):
    rows = [ROW, {**ROW, "id": 101, "note": "n", "price": 2}]
    r = api.post("/items/bulk/", json=rows)
    assert r.status_code == 200, r.text
    assert r.json() == {"inserted": 2, "replayed": False}
    from decimal import Decimal

    assert stored(engine, items) == [
        (100, "b", Decimal("1.50"), ["t"], None, "2024-02-02 10:00:00", "a"),
        (101, "b", Decimal("2.00"), ["t"], "n", "2024-02-02 10:00:00", "a"),
    ]


def test_ndjson_lines(api, engine, items):
    body = "\n".join(json.dumps({**ROW, "id": i}) for i in (200, 201, 202)) + "\n\n"
    r = api.post("/items/bulk/", content=body, headers={"content-type": "application/x-ndjson"})
    assert r.json() == {"inserted": 3, "replayed": False}
    assert [row[0] for row in stored(engine, items, 200)] == [200, 201, 202]


@pytest.mark.parametrize(
    ("rows", "detail"),
    [
        ([ROW, {**ROW, "id": -1}], "Row 2, field id: '-1' is out of range for UInt64"),
        (
            [{**ROW, "price": "1.555"}],
            "Row 1, field price: '1.555' has more digits than Decimal(10, 2) keeps",
        ),
        ([{**ROW, "nosuch": 1}], "Row 1, field nosuch: not a column this table stores"),
        ([{**ROW, "doubled": 1}], "Row 1, field doubled: not a column this table stores"),
        ([{k: v for k, v in ROW.items() if k != "name"}], "Row 1, field name: required"),
        (
            [{**ROW, "kind": "c"}],
            "Row 1, field kind: 'c' is not a value of Enum8('a' = 1, 'b' = 2)",
        ),
        ([{**ROW, "tags": [1]}], "Row 1, field tags: 1 is not a value of String"),
        ([{**ROW, "id": True}], "Row 1, field id: True is not a value of UInt64"),
        ([{**ROW, "name": None}], "Row 1, field name: null is not a value of String"),
        ([{**ROW, "at": "2024-13-01"}], "Row 1, field at: '2024-13-01' is not a value of DateTime"),
        ([ROW, 5], "Row 2: not a JSON object"),
        ([], "The body holds no rows"),
        ({"id": 1}, "The body is not a JSON array of rows"),
    ],
)
def test_a_row_that_does_not_fit_is_422_and_nothing_is_stored(api, engine, items, rows, detail):
    r = api.post("/items/bulk/", json=rows)
    assert r.status_code == 422, r.text
    assert r.json() == {"detail": detail}
    assert stored(engine, items) == []


def test_bodies_that_are_not_rows(api):
    r = api.post("/items/bulk/", content=b"{", headers={"content-type": "application/json"})
    assert r.status_code == 422
    assert r.json()["detail"].startswith("The body is not JSON: ")
    r = api.post(
        "/items/bulk/", content=b'{"id": 1}\n[', headers={"content-type": "application/x-ndjson"}
    )
    assert r.json()["detail"].startswith("Row 2: not JSON: ")
    r = api.post("/items/bulk/", content=b"x", headers={"content-type": "text/plain"})
    assert r.status_code == 415
    assert r.json() == {
        "detail": "A bulk body is application/json (an array of objects), application/x-ndjson, "
        "text/csv or application/vnd.apache.parquet, not text/plain"
    }


def test_csv_goes_to_the_engine(api, engine, items):
    body = "id,name,price,tags,note,at,kind\n300,c,2.5,\"['q']\",,2024-01-01 00:00:00,b\n"
    r = api.post("/items/bulk/", content=body, headers={"content-type": "text/csv"})
    assert r.json() == {"inserted": None, "replayed": False}
    assert [row[:2] for row in stored(engine, items, 300)] == [(300, "c")]
    r = api.post("/items/bulk/", content="id\nx\n", headers={"content-type": "text/csv"})
    assert r.status_code == 422
    assert r.json()["detail"].startswith("The engine refused the CSV body: ")


def test_parquet_goes_to_the_engine(api, engine, items):
    data = io.BytesIO()
    table = pa.table(
        {
            "id": pa.array([400], pa.uint64()),
            "name": ["p"],
            "price": pa.array([1.25]),
            "tags": [["x"]],
            "note": [None],
            "at": pa.array([0], pa.timestamp("s")),
            "kind": ["a"],
        }
    )
    pq.write_table(table, data)
    r = api.post(
        "/items/bulk/",
        content=data.getvalue(),
        headers={"content-type": "application/vnd.apache.parquet"},
    )
    assert r.status_code == 200, r.text
    assert [row[:2] for row in stored(engine, items, 400)] == [(400, "p")]


def test_a_retried_request_stores_nothing_twice(api, engine, items):
    headers = {"Idempotency-Key": "order-17"}
    first = api.post("/items/bulk/", json=[ROW], headers=headers)
    again = api.post("/items/bulk/", json=[ROW], headers=headers)
    other = api.post("/items/bulk/", json=[{**ROW, "id": 101}], headers={"Idempotency-Key": "x"})
    assert first.json() == {"inserted": 1, "replayed": False}
    assert again.json() == {"inserted": 1, "replayed": True}
    assert other.json() == {"inserted": 1, "replayed": False}
    assert [row[0] for row in stored(engine, items)] == [100, 101]
    assert api.post("/items/bulk/", json=[ROW], headers={"Idempotency-Key": ""}).json() == {
        "detail": "An Idempotency-Key is 1 to 255 characters"
    }


IN_PROGRESS = (
    "A request with this Idempotency-Key is in progress, or was cut short: its rows may be "
    "stored. Retry later; if it stays so, check the table before sending the rows with a new key"
)


def test_a_key_claimed_by_a_request_cut_short_stores_nothing(api, engine, items):
    # What a request leaves when its process died between claiming the key and recording it.
    claim = f"{items}_idempotency_claim_{hashlib.sha256(b'order-18').hexdigest()}"
    engine.execute(f"CREATE TABLE {claim} (claimed_at DateTime) ENGINE = Memory")
    r = api.post("/items/bulk/", json=[ROW], headers={"Idempotency-Key": "order-18"})
    assert (r.status_code, r.json()) == (409, {"detail": IN_PROGRESS})
    assert stored(engine, items) == []


def test_a_body_the_engine_refused_frees_its_key(api, engine, items):
    headers = {"content-type": "text/csv", "Idempotency-Key": "order-19"}
    refused = api.post("/items/bulk/", content="id,name\nx,y\n", headers=headers)
    assert refused.status_code == 422, refused.text
    r = api.post("/items/bulk/", json=[ROW], headers={"Idempotency-Key": "order-19"})
    assert r.json() == {"inserted": 1, "replayed": False}
    assert [row[0] for row in stored(engine, items)] == [100]


class FinishingElsewhere:
    """The engine's client, on which another process's request holds the claim of a key and
    finishes just before this one looks at the claim: it stores its rows and records the key
    (`stores`), or stores nothing and lets the claim go."""

    def __init__(self, engine, items, key, stores):
        self.engine, self.items, self.stores = engine, items, stores
        self.claim = f"{items}_idempotency_claim_{hashlib.sha256(key.encode()).hexdigest()}"
        self.finished = False

    def execute(self, query, params=None):
        if query.startswith("EXISTS TABLE") and not self.finished:
            self.finished = True
            if self.stores:
                self.engine.execute(f"INSERT INTO {self.items} (id, name) VALUES (100, 'other')")
                self.engine.execute(
                    f"INSERT INTO {self.items}_idempotency_keys (key, rows, stored_at)"
                    " VALUES ('order-20', 1, now())"
                )
            self.engine.execute(f"DROP TABLE {self.claim}")
        return self.engine.execute(query, params)


@pytest.mark.parametrize(
    ("stores", "answer", "names"),
    [
        (True, {"inserted": 1, "replayed": True}, ["other"]),
        (False, {"inserted": 1, "replayed": False}, ["b"]),
    ],
)
def test_a_claim_let_go_while_looked_at_replays_or_claims_again(
    engine, items, stores, answer, names
):
    client = FinishingElsewhere(engine, items, "order-20", stores)
    api = serve(client, items, primary_key="id")
    # The idempotency table made and the claim held, as the other request left them.
    api.post("/items/bulk/", json=[{**ROW, "id": 99}], headers={"Idempotency-Key": "first"})
    engine.execute(f"CREATE TABLE {client.claim} (claimed_at DateTime) ENGINE = Memory")
    r = api.post("/items/bulk/", json=[ROW], headers={"Idempotency-Key": "order-20"})
    assert (r.status_code, r.json()) == (200, answer)
    assert [row[1] for row in stored(engine, items)] == names
    assert engine.execute(f"EXISTS TABLE {client.claim}") == [(0,)]
