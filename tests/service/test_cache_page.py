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
