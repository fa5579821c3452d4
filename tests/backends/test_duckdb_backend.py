"""DuckDbBackend: the calls it makes on the cache manager, its trimming, and its refusals."""

import datetime
import decimal
import types

import pandas as pd
import pytest

from kelvora.backends import DuckDbBackend


def test_constructor_sets_attributes_in_order(cache):
    backend = DuckDbBackend(cache, "analytics")
    assert list(vars(backend).items()) == [
        ("cache", cache),
        ("database", "analytics"),
        ("primary_key", "id"),
    ]
    keyed = DuckDbBackend(cache_manager=None, database="db", primary_key="uid")
    assert list(vars(keyed).values()) == [None, "db", "uid"]
    assert not hasattr(backend, "client") and not hasattr(backend, "execute")
    assert cache.calls == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "__init__() takes at least 3 positional arguments (1 given)"),
        ((1,), {"db": "x"}, "__init__() takes at least 3 positional arguments (2 given)"),
        ((1, "db", "id", 4), {}, "__init__() takes at most 4 positional arguments (5 given)"),
        ((1, "db"), {"cache": 2}, "__init__() got an unexpected keyword argument 'cache'"),
        ((1, None), {}, "Argument 'database' has incorrect type (expected str, got NoneType)"),
        ((1, "db", 5), {}, "Argument 'primary_key' has incorrect type (expected str, got int)"),
    ],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        DuckDbBackend(*args, **kwargs)
    assert str(e.value) == message


class Seven(int):
    __str__ = __repr__ = __format__ = lambda self, *_: "seven"


class Half(float):
    __str__ = __repr__ = __format__ = lambda self, *_: "half"


class Sneaky:
    def __str__(self):
        return "x' OR '1'='1"


@pytest.mark.parametrize(
    "filters, condition",
    [
        (
            {"region": "north", "qty": 5, "closed": None},
            "region = 'north' AND qty = 5 AND closed IS NULL",
        ),
        ({}, None),
        # A quote is doubled; nothing else is special inside a standard string literal.
        (
            {"a": "O'Brien", "b": "'; --", "c": "C:\\x\\", "d": ""},
            "a = 'O''Brien' AND b = '''; --' AND c = 'C:\\x\\' AND d = ''",
        ),
        (
            {"on": True, "off": False, "r": 0.5, "n": -3},
            "on = True AND off = False AND r = 0.5 AND n = -3",
        ),
        # Numbers are written as themselves, whatever a subclass says its text is.
        ({"qty": Seven(7), "ratio": Half(0.5)}, "qty = 7 AND ratio = 0.5"),
        # Numbers that are not finite are quoted.
        (
            {"a": float("nan"), "b": float("inf"), "c": float("-inf")},
            "a = 'nan' AND b = 'inf' AND c = '-inf'",
        ),
        # Any other value is the literal of its text.
        (
            {"day": datetime.date(2024, 1, 2), "price": decimal.Decimal("1.50"), "who": Sneaky()},
            "day = '2024-01-02' AND price = '1.50' AND who = 'x'' OR ''1''=''1'",
        ),
        # Column names go in as their text.
        ({5: "x"}, "5 = 'x'"),
        # Text without a UTF-8 form is still text.
        ({"n\udc80": "\udc80"}, "n\udc80 = '\udc80'"),
    ],
)
def test_query_condition_text(make_cache, filters, condition):
    cache = make_cache()
    DuckDbBackend(cache, "analytics").query("sales", filters, 10, 0)
    keywords = {"database": "analytics", "table": "sales", "sql_where": condition, "limit": 10}
    assert cache.calls == [("query", keywords)]
    assert list(cache.calls[0][1]) == list(keywords)


@pytest.mark.parametrize(
    "limit, offset, wanted, ids",
    [
        (10, 20, 30, range(20, 30)),
        (0, 0, 0, range(50)),
        (100, 48, 148, [48, 49]),
        (5, 60, 65, []),
        (-1, 0, -1, range(50)),
        (5, -2, 3, range(5)),
        (2.9, True, 3, [1, 2]),
    ],
)
def test_query_trims_the_answer(make_cache, make_frame, limit, offset, wanted, ids):
    cache = make_cache(frame=make_frame(50))
    rows = DuckDbBackend(cache, "db").query("t", {}, limit, offset)
    assert type(cache.calls[0][1]["limit"]) is int and cache.calls[0][1]["limit"] == wanted
    assert type(rows) is list and rows == [{"id": i, "name": f"n{i}"} for i in ids]


@pytest.mark.parametrize(
    "limit, offset, log",
    [
        (10, 20, [("iloc", slice(20, None, None)), ("head", 10), ("to_dict", "records")]),
        (0, 0, [("to_dict", "records")]),
        (-5, -5, [("to_dict", "records")]),
        (4, 0, [("head", 4), ("to_dict", "records")]),
        (0, 3, [("iloc", slice(3, None, None)), ("to_dict", "records")]),
    ],
)
def test_query_trimming_steps(make_cache, spy_frame, limit, offset, log):
    frame = spy_frame([{"id": i} for i in range(30)])
    DuckDbBackend(make_cache(frame=frame), "db").query("t", {}, limit, offset)
    assert frame.log == log


@pytest.mark.parametrize("answer, given", [((), "tuple"), ({}, "dict"), (None, None)])
def test_query_answers_the_records_list_or_none(make_cache, spy_frame, answer, given):
    backend = DuckDbBackend(make_cache(frame=spy_frame([], to_dict_answer=answer)), "db")
    if given is None:
        assert backend.query("t", {}, 0, 0) is None
        return
    with pytest.raises(TypeError) as e:
        backend.query("t", {}, 0, 0)
    assert str(e.value) == f"Expected list, got {given}"


def test_query_answers_the_very_list(make_cache, spy_frame):
    records = [{"id": 1}]
    cache = make_cache(frame=spy_frame([], to_dict_answer=records))
    assert DuckDbBackend(cache, "db").query("t", {}, 0, 0) is records


def test_query_cache_errors_propagate(make_cache):
    error = LookupError("no such table")
    with pytest.raises(LookupError) as e:
        DuckDbBackend(make_cache(failures={"query": error}), "db").query("t", {}, 1, 0)
    assert e.value is error


def test_query_reads_attributes_anew(make_cache):
    first, second = make_cache(), make_cache()
    backend = DuckDbBackend(first, "a")
    backend.cache, backend.database = second, "b"
    backend.query("t", {}, 1, 0)
    assert first.calls == []
    assert second.calls[0][1]["database"] == "b"


@pytest.mark.parametrize(
    "name, args, use",
    [
        ("create", ("t", {"a": 1}), "cache.store() to populate data."),
        ("update", ("t", 1, {"a": 1}), "cache.store() to refresh data."),
        ("delete", ("t", 1), "cache.invalidate() to remove data."),
    ],
)
def test_writes_are_refused(cache, name, args, use):
    with pytest.raises(NotImplementedError) as e:
        getattr(DuckDbBackend(cache, "db"), name)(*args)
    assert str(e.value) == "DuckDB cache is typically read-only. Use " + use
    assert cache.calls == []


@pytest.mark.parametrize(
    "key, id_value, condition",
    [
        ("id", 5, "id = 5"),
        ("id", "abc", "id = 'abc'"),
        ("id", None, "id IS NULL"),
        ("uid", 2.5, "uid = 2.5"),
    ],
)
def test_get_by_id_asks_for_one_row(make_cache, make_frame, key, id_value, condition):
    cache = make_cache(frame=make_frame(3))
    assert DuckDbBackend(cache, "db", key).get_by_id("t", id_value) == {"id": 0, "name": "n0"}
    keywords = {"database": "db", "table": "t", "sql_where": condition, "limit": 1}
    assert cache.calls == [("query", keywords)]


@pytest.mark.parametrize(
    "key, id_value, message",
    [
        ("id", 5, "Record with id=5 not found in cache"),
        ("code", "x'y", "Record with code=x'y not found in cache"),
        ("id", None, "Record with id=None not found in cache"),
        ("id", "a\x00b", "Record with id=a\x00b not found in cache"),
    ],
)
def test_get_by_id_not_found(make_cache, key, id_value, message):
    with pytest.raises(ValueError) as e:
        DuckDbBackend(make_cache(frame=pd.DataFrame()), "db", key).get_by_id("t", id_value)
    assert str(e.value) == message


@pytest.mark.parametrize(
    "last_updated, text",
    [(None, None), (0, None), (datetime.datetime(2024, 5, 6, 7, 8, 9), "2024-05-06T07:08:09")],
)
def test_get_info(make_cache, last_updated, text):
    info = {"row_count": 12, "columns": ["id"]}
    cache = make_cache(info=info, last_updated=last_updated, exists="maybe")
    answer = DuckDbBackend(cache, "analytics", "uid").get_info("events")
    assert list(answer.items()) == [
        ("row_count", 12),
        ("columns", ["id"]),
        ("database", "analytics"),
        ("last_updated", text),
        ("exists", "maybe"),
        ("backend", "duckdb"),
        ("primary_key", "uid"),
        ("read_only", True),
    ]
    assert info == {"row_count": 12, "columns": ["id"]}
    keywords = {"database": "analytics", "table": "events"}
    assert cache.calls == [(m, keywords) for m in ("get_table_info", "get_last_updated", "exists")]


def test_get_info_overrides_keys_in_place(make_cache):
    info = types.MappingProxyType({"backend": "memory", "rows": 3, "read_only": False})
    assert list(DuckDbBackend(make_cache(info=info), "db").get_info("t").items()) == [
        ("backend", "duckdb"),
        ("rows", 3),
        ("read_only", True),
        ("database", "db"),
        ("last_updated", None),
        ("exists", True),
        ("primary_key", "id"),
    ]


def test_get_info_without_table_info(make_cache):
    cache = make_cache()
    cache.info = None
    with pytest.raises(TypeError) as e:
        DuckDbBackend(cache, "db").get_info("t")
    assert str(e.value) == "argument after ** must be a mapping, not NoneType"
    assert [name for name, _ in cache.calls] == ["get_table_info", "get_last_updated"]


@pytest.mark.parametrize("failing", ["get_table_info", "get_last_updated", "exists"])
def test_get_info_cache_errors_propagate(make_cache, failing):
    error = OSError(failing)
    cache = make_cache(failures={failing: error})
    with pytest.raises(OSError) as e:
        DuckDbBackend(cache, "db").get_info("t")
    assert e.value is error
    assert cache.calls[-1][0] == failing
