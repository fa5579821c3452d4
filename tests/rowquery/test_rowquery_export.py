"""GET /export/: the filters and sorting of a query, streamed in the engine's own formats; a
client that goes away stops the statement; other statements run while an export streams."""

import concurrent.futures
import io

import pyarrow.parquet as pq
import pytest


def test_ndjson_is_the_engines_json_each_row(api):
    r = api.get("/items/export/?select=id,name,at&id=lt.3&order=id.desc")
    assert r.status_code == 200, r.text
    assert r.headers["content-type"] == "application/x-ndjson"
    assert r.text == (
        '{"id":2,"name":"n2","at":"2024-01-01 00:00:02"}\n'
        '{"id":1,"name":"n1","at":"2024-01-01 00:00:01"}\n'
        '{"id":0,"name":"n0","at":"2024-01-01 00:00:00"}\n'
    )


def test_csv_has_a_header(api):
    r = api.get("/items/export/?format=csv&select=id,tags&id=in.(1,2)")
    assert r.headers["content-type"] == "text/csv; charset=utf-8"
    assert r.text == "\"id\",\"tags\"\n1,\"['a','1']\"\n2,\"['a','2']\"\n"


def test_parquet_holds_the_rows(api):
    r = api.get("/items/export/?format=parquet&select=id,price&limit=5")
    assert r.headers["content-type"] == "application/vnd.apache.parquet"
    table = pq.read_table(io.BytesIO(r.content))
    assert table.column("id").to_pylist() == [0, 1, 2, 3, 4]


@pytest.mark.parametrize("rows", [0, 1_000_000], ids=["no rows", "many blocks"])
def test_parquet_of_any_length_is_one_file(engine, database, rows):
    from rowquery_app import serve

    table = f"{database}.big"
    engine.execute(f"CREATE TABLE {table} (id UInt64, name String) ENGINE = MergeTree ORDER BY id")
    engine.execute(f"INSERT INTO {table} SELECT number, toString(number) FROM numbers({rows})")
    r = serve(engine, table).get("/items/export/?format=parquet")
    assert r.status_code == 200, r.text
    exported = pq.read_table(io.BytesIO(r.content))
    assert exported.column_names == ["id", "name"] and exported.num_rows == rows
    assert exported.column("id").to_pylist() == list(range(rows))


def test_a_stream_left_early_frees_the_engine(engine, database):
    from rowquery_app import serve

    table = f"{database}.big"
    engine.execute(f"CREATE TABLE {table} (id UInt64) ENGINE = MergeTree ORDER BY id")
    engine.execute(f"INSERT INTO {table} SELECT number FROM numbers(3000000)")
    api = serve(engine, table)
    with api.stream("GET", "/items/export/") as r:
        first = next(r.iter_bytes())
        assert first.startswith(b'{"id":0}\n')
    # The statement was cancelled, so the engine answers the next one at once.
    assert engine.execute(f"SELECT count() FROM {table}") == [(3000000,)]


def test_statements_run_beside_an_open_export(engine, database):
    from rowquery_app import serve

    table = f"{database}.big"
    engine.execute(f"CREATE TABLE {table} (id UInt64) ENGINE = MergeTree ORDER BY id")
    engine.execute(f"INSERT INTO {table} SELECT number FROM numbers(3000000)")
    api = serve(engine, table)
    with concurrent.futures.ThreadPoolExecutor(1) as other:
        with api.stream("GET", "/items/export/") as r:
            chunks = r.iter_bytes()
            received = [next(chunks)]
            # The export is open and read no further: the client and the other routes answer.
            counted = other.submit(engine.execute, f"SELECT count() FROM {table}")
            assert counted.result(timeout=30) == [(3000000,)]
            page = other.submit(api.get, "/items/query/?limit=2&select=id&id=gte.5")
            assert page.result(timeout=30).json()["items"] == [{"id": 5}, {"id": 6}]
            received += chunks
    lines = b"".join(received).splitlines()
    assert (len(lines), lines[0], lines[-1]) == (3000000, b'{"id":0}', b'{"id":2999999}')


def test_export_refuses_what_a_query_refuses(api):
    assert api.get("/items/export/?format=xml").json() == {
        "detail": "format must be ndjson, csv or parquet, not 'xml'"
    }
    assert api.get("/items/export/?id=gt.x").json() == {
        "detail": "Filter id=gt.x: 'x' is not a value of UInt64"
    }
