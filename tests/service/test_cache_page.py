"""DuckDbCacheManager.page, which the service's cached views read through: totals and pages in
stored order, values bound as parameters, Python values out."""

import pandas as pd
import pytest

from kelvora.cache import DuckDbCacheManager


@pytest.fixture
def cache():
    with DuckDbCacheManager() as manager:
        frame = pd.DataFrame(
            {
                "id": pd.array([3, 1, 2, 4], dtype="UInt64"),
                'odd "name"': pd.array(["a'b", None, "a'b", "c"], dtype="string"),
                "n": pd.array([None, 1, 2, 2], dtype="Int64"),
            }
        )
        manager.store(database="db", table="t", df=frame)
        yield manager


@pytest.mark.parametrize(
    "equal, limit, offset, total, ids",
    [
        (None, 0, 0, 4, [3, 1, 2, 4]),
        ({}, 2, 1, 4, [1, 2]),
        ({}, 10, 4, 4, []),
        ({'odd "name"': "a'b"}, 0, 0, 2, [3, 2]),
        ({'odd "name"': "a'b", "n": 2}, 0, 0, 1, [2]),
        ({"n": 2}, 1, 1, 2, [4]),
        ({"n": 2}, 1, 0, 2, [2]),
        ({"n": 2}, 5, 9, 2, []),
        ({"n": 2}, 0, 1, 2, [4]),
        ({"n": 2}, 0, -3, 2, [2, 4]),
        ({"id": 1}, 1, 0, 1, [1]),
        ({"id": 1}, 1, 1, 1, []),
        ({'odd "name"': "' OR 1=1 --"}, 0, 0, 0, []),
    ],
)
def test_page(cache, equal, limit, offset, total, ids):
    counted, rows = cache.page(database="db", table="t", equal=equal, limit=limit, offset=offset)
    assert (counted, [row["id"] for row in rows]) == (total, ids)


def test_rows_hold_python_values(cache):
    _, rows = cache.page(database="db", table="t", limit=2)
    assert rows == [
        {"id": 3, 'odd "name"': "a'b", "n": None},
        {"id": 1, 'odd "name"': None, "n": 1},
    ]


def test_a_table_not_cached(cache):
    with pytest.raises(ValueError) as raised:
        cache.page(database="db", table="missing")
    assert str(raised.value) == "Table 'db.missing' is not cached"


@pytest.mark.parametrize(
    "limit, offset", [(1000, 250_000), (0, 299_990), (7, 122_877), (5, 2**63 - 1), (3, -2)]
)
def test_a_page_without_conditions_follows_stored_order_across_row_groups(limit, offset):
    # Shuffled keys over several of DuckDB's row groups (122,880 rows each).
    import numpy as np

    keys = np.random.default_rng(3).permutation(300_000)
    with DuckDbCacheManager() as manager:
        manager.store(database="db", table="big", df=pd.DataFrame({"id": keys}))
        total, rows = manager.page(database="db", table="big", limit=limit, offset=offset)
        start = max(offset, 0)
        expected = keys[start : start + limit] if limit else keys[start:]
        assert (total, [row["id"] for row in rows]) == (300_000, expected.tolist())
        assert manager.rows(database="db", table="big", limit=limit, offset=offset) == rows


def test_a_total_and_its_page_describe_one_version():
    import threading

    with DuckDbCacheManager() as manager:
        sizes = [100, 2000]
        manager.store(database="db", table="t", df=pd.DataFrame({"id": range(sizes[0])}))
        seen = []
        done = threading.Event()

        def read():
            while not done.is_set():
                total, rows = manager.page(database="db", table="t", limit=5000)
                seen.append((total, len(rows)))

        readers = [threading.Thread(target=read) for _ in range(3)]
        for reader in readers:
            reader.start()
        for round_ in range(60):
            frame = pd.DataFrame({"id": range(sizes[round_ % 2])})
            manager.store(database="db", table="t", df=frame)
        done.set()
        for reader in readers:
            reader.join()
    assert {total for total, _ in seen} == set(sizes)
    assert [pair for pair in seen if pair[0] != pair[1]] == []


def test_a_total_follows_stores_and_invalidations(tmp_path):
    path = str(tmp_path / "c.duckdb")
    with DuckDbCacheManager(path) as manager:
        manager.store(database="DB", table="T", df=pd.DataFrame({"id": range(5)}))
        assert manager.page(database="db", table="t", limit=1) == (5, [{"id": 0}])
        manager.store(database="db", table="t", df=pd.DataFrame({"id": range(3)}))
        assert manager.page(database="Db", table="T", limit=1, offset=2) == (3, [{"id": 2}])
        manager.invalidate(database="DB")
        with pytest.raises(ValueError) as raised:
            manager.page(database="db", table="t")
        assert str(raised.value) == "Table 'db.t' is not cached"
        manager.store(database="db", table="t", df=pd.DataFrame({"id": range(4)}))
    # Counted by the engine: this manager stored nothing.
    with DuckDbCacheManager(path) as manager:
        assert manager.page(database="db", table="t", limit=2) == (4, [{"id": 0}, {"id": 1}])
