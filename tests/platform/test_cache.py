"""DuckDbCacheManager: stored order, names, threads, and DuckDbBackend running on it."""

import datetime
from concurrent.futures import ThreadPoolExecutor

import duckdb
import pandas as pd
import pytest

from kelvora.backends import DuckDbBackend
from kelvora.cache import DuckDbCacheManager

ROWS = pd.DataFrame({"id": [5, 2, 9, 1], "name": ["O'Brien", "Ann", None, "Bo"], "n": [3, 7, 3, 7]})


@pytest.fixture
def cache():
    with DuckDbCacheManager() as manager:
        manager.store(database="db", table="t", df=ROWS.set_index(ROWS["id"] * 2))
        yield manager


@pytest.mark.parametrize(
    "where, limit, ids",
    [
        (None, -1, [5, 2, 9, 1]),
        (None, 3, [5, 2, 9]),
        ("n = 3 OR name = 'Bo'", 2, [5, 9]),
        ("name = 'Ann' -- c", 0, [2]),
    ],
)
def test_query_keeps_stored_order(cache, where, limit, ids):
    frame = cache.query(database="db", table="t", sql_where=where, limit=limit)
    assert list(frame.columns) == ["id", "name", "n"] and list(frame.index) == list(range(len(ids)))
    assert frame["id"].tolist() == ids


def test_stored_order_holds_across_row_groups_and_threads():
    # Keys in a shuffled order over several of DuckDB's row groups (122,880 rows each), scanned
    # in parallel: plain conditions are answered unsorted, others sorted, both in stored order.
    import numpy as np

    keys = np.random.default_rng(7).permutation(600_000)
    frame = pd.DataFrame({"id": keys, "odd": keys % 2 == 1, "bucket": keys % 5})
    expected = keys[(keys % 5) == 3]
    with DuckDbCacheManager() as manager:
        manager.store(database="db", table="big", df=frame)
        for where in ["bucket = 3", "bucket IN (SELECT 3)"]:
            answer = manager.query(database="db", table="big", sql_where=where)
            assert answer["id"].tolist() == expected.tolist()
        chosen = {"equal": {"bucket": 3}, "limit": 1000, "offset": 100_000}
        total, rows = manager.page(database="db", table="big", **chosen)
        assert total == len(expected)
        assert [row["id"] for row in rows] == expected[100_000:101_000].tolist()
        assert manager.rows(database="db", table="big", **chosen) == rows


@pytest.mark.parametrize("method", ["query", "page", "rows", "get_table_info"])
def test_missing_table(cache, method):
    with pytest.raises(ValueError) as e:
        getattr(cache, method)(database="db", table="gone")
    assert str(e.value) == "Table 'db.gone' is not cached"
    assert not cache.exists(database="db", table="gone")
    assert cache.get_last_updated(database="other", table="t") is None
    with pytest.raises(duckdb.CatalogException):  # an unknown function is not a missing table
        cache.query(database="db", table="t", sql_where="no_such_function(id)")


@pytest.mark.parametrize(
    "columns, message",
    [
        (["a", "A"], "Column name 'A' occurs more than once"),
        (["__Kelvora_Row__"], "Column name '__Kelvora_Row__' is reserved for the row order"),
    ],
)
def test_store_refuses_columns(cache, columns, message):
    with pytest.raises(ValueError) as e:
        cache.store(
            database="db", table="t", df=pd.DataFrame([range(len(columns))], columns=columns)
        )
    assert str(e.value) == message


@pytest.mark.parametrize("database", ["memory", "main", "temp", 'a"; DROP TABLE t; --', "db.t"])
def test_names_are_identifiers(cache, database):
    cache.store(database=database, table="t", df=ROWS.head(1))
    assert cache.query(database=database, table="t")["id"].tolist() == [5]
    assert cache.query(database="db", table="t")["id"].tolist() == [5, 2, 9, 1]
    cache.invalidate(database=database)
    assert not cache.exists(database=database, table="t") and cache.exists(database="db", table="t")


def test_file_keeps_tables_and_times(tmp_path):
    before = datetime.datetime.now(datetime.UTC)
    with DuckDbCacheManager(str(tmp_path / "c.duckdb")) as cache:
        cache.store(database="DB", table="T", df=ROWS)
        cache.store(database="db", table="t", df=pd.DataFrame({"k": ["x", "y"], "f": [1.5, 2]}))
        stamp = cache.get_last_updated(database="DB", table="T")
    with DuckDbCacheManager(str(tmp_path / "c.duckdb")) as cache:
        assert before <= cache.get_last_updated(database="db", table="t") == stamp
        assert cache.get_table_info(database="Db", table="t") == {
            "table": "t",
            "row_count": 2,
            "columns": ["k", "f"],
            "column_types": {"k": "VARCHAR", "f": "DOUBLE"},
        }


def test_threads_never_see_half_a_table(cache):
    def work(n):
        for round_ in range(5):
            frame = pd.DataFrame({"id": range(300), "v": n * 10 + round_})
            cache.store(database="db", table="shared", df=frame)
            cache.store(database=f"db{n}", table="own", df=frame)
            seen = cache.query(database="db", table="shared")
            assert seen["id"].tolist() == list(range(300)) and seen["v"].nunique() == 1
            assert cache.get_last_updated(database="db", table="shared") is not None
        return cache.query(database=f"db{n}", table="own")["v"].iloc[0]

    with ThreadPoolExecutor(16) as pool:
        assert list(pool.map(work, range(16))) == [n * 10 + 4 for n in range(16)]


@pytest.mark.parametrize(
    "filters, limit, offset, ids",
    [({"name": "O'Brien", "n": 3}, 9, 0, [5]), ({"name": None}, 0, 0, [9]), ({}, 2, 1, [2, 9])],
)
def test_backend_query(cache, filters, limit, offset, ids):
    assert [r["id"] for r in DuckDbBackend(cache, "db").query("t", filters, limit, offset)] == ids


def test_backend_get_by_id_and_info(cache):
    backend = DuckDbBackend(cache, database="db", primary_key="name")
    assert backend.get_by_id("t", "O'Brien") == {"id": 5, "name": "O'Brien", "n": 3}
    with pytest.raises(ValueError) as e:
        DuckDbBackend(cache, "db").get_by_id("t", 6)
    assert str(e.value) == "Record with id=6 not found in cache"
    assert list(backend.get_info("t").items()) == [
        *cache.get_table_info(database="db", table="t").items(),
        ("database", "db"),
        ("last_updated", cache.get_last_updated(database="db", table="t").isoformat()),
        ("exists", True),
        ("backend", "duckdb"),
        ("primary_key", "name"),
        ("read_only", True),
    ]


def test_store_parquet_keeps_the_file_order(tmp_path):
    import numpy as np

    keys = np.random.default_rng(5).permutation(300_000)
    path = str(tmp_path / "it's.parquet")
    duckdb.from_df(pd.DataFrame({"k": keys, "v": keys.astype(str)})).write_parquet(path)
    with DuckDbCacheManager() as cache:
        assert cache.store_parquet(database="db", table="t", path=path, columns=["id", "n"]) == (
            300_000
        )
        assert cache.query(database="db", table="t")["id"].tolist() == keys.tolist()
        total, rows = cache.page(database="db", table="t", limit=2, offset=200_000)
        assert (total, rows) == (300_000, [{"id": k, "n": str(k)} for k in keys[200_000:200_002]])
        assert cache.get_table_info(database="db", table="t")["column_types"] == {
            "id": "BIGINT",
            "n": "VARCHAR",
        }


@pytest.mark.parametrize(
    "columns, message",
    [
        (["a"], "The file has 2 columns, not 1"),
        (["a", "A"], "Column name 'A' occurs more than once"),
        (["a", "__kelvora_row__"], "Column name '__kelvora_row__' is reserved for the row order"),
    ],
)
def test_store_parquet_refuses_columns(cache, tmp_path, columns, message):
    path = str(tmp_path / "t.parquet")
    duckdb.sql("SELECT 1 AS x, 2 AS y").write_parquet(path)
    with pytest.raises(ValueError) as e:
        cache.store_parquet(database="db", table="t", path=path, columns=columns)
    assert str(e.value) == message
    assert cache.query(database="db", table="t")["id"].tolist() == [5, 2, 9, 1]
