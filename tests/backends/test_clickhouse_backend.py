"""ClickHouseBackend: the SQL it sends through the client, and what it answers."""

import pytest

from kelvora.backends import ClickHouseBackend

NO_PARAMS = "no params"
DESCRIBE = [("id", "UInt64"), ("status", "String"), ("region", "UInt8")]


def select_sql(table, where, order, limit, offset):
    # Four lines after a leading line break, each indented by 12 spaces; 8 trailing spaces.
    return (
        f"\n            SELECT * FROM {table}"
        f"\n            {where}"
        f"\n            ORDER BY {order}"
        f"\n            LIMIT {limit} OFFSET {offset}"
        "\n        "
    )


def engine_sql(quoted_name):
    return (
        "\n                SELECT engine, engine_full"
        "\n                FROM system.tables"
        f"\n                WHERE name = {quoted_name}"
        "\n                LIMIT 1"
        "\n            "
    )


class Abort(BaseException):
    """Stands for KeyboardInterrupt: not an ordinary error."""


# ---- construction ------------------------------------------------------------------------------


def test_constructor_sets_attributes_in_order(client):
    backend = ClickHouseBackend(client)
    assert list(vars(backend).items()) == [("client", client), ("primary_key", "id")]
    keyed = ClickHouseBackend(client=None, primary_key="uid")
    assert list(vars(keyed).items()) == [("client", None), ("primary_key", "uid")]
    assert client.calls == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "__init__() takes at least 2 positional arguments (1 given)"),
        ((1, "id", 3), {}, "__init__() takes at most 3 positional arguments (4 given)"),
        ((1,), {"key": "id"}, "__init__() got an unexpected keyword argument 'key'"),
        ((1,), {"client": 2}, "__init__() got multiple values for keyword argument 'client'"),
        ((1, None), {}, "Argument 'primary_key' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        ClickHouseBackend(*args, **kwargs)
    assert str(e.value) == message


# ---- query -------------------------------------------------------------------------------------


def test_query_statements_and_records(make_client):
    client = make_client(answers={"select": [(1, "open", 3), (2, "open", 3)], "describe": DESCRIBE})
    backend = ClickHouseBackend(client)
    rows = backend.query("tickets", {"status": "open", "region": 3}, 10, 20)
    assert client.calls == [
        (
            (
                "\n            SELECT * FROM tickets"
                "\n            WHERE status = %(p0)s AND region = %(p1)s"
                "\n            ORDER BY id"
                "\n            LIMIT 10 OFFSET 20"
                "\n        "
            ),
            {"p0": "open", "p1": 3},
        ),
        ("DESCRIBE TABLE tickets", NO_PARAMS),
    ]
    assert rows == [
        {"id": 1, "status": "open", "region": 3},
        {"id": 2, "status": "open", "region": 3},
    ]
    assert [list(r) for r in rows] == [["id", "status", "region"]] * 2


@pytest.mark.parametrize(
    "filters, where, params",
    [
        ({}, "", {}),
        ({"closed": None}, "WHERE closed = %(p0)s", {"p0": None}),
        (
            {"a": 1, "b": "x", "c": 2.5},
            "WHERE a = %(p0)s AND b = %(p1)s AND c = %(p2)s",
            {"p0": 1, "p1": "x", "p2": 2.5},
        ),
        # Values never reach the text, quotes and all.
        ({"name": "O'Brien"}, "WHERE name = %(p0)s", {"p0": "O'Brien"}),
        # Column names go in as their str() text.
        ({7: "x"}, "WHERE 7 = %(p0)s", {"p0": "x"}),
    ],
)
def test_query_where_line(client, filters, where, params):
    ClickHouseBackend(client).query("t", filters, 5, 0)
    assert client.calls[0] == (select_sql("t", where, "id", 5, 0), params)
    assert type(client.calls[0][1]) is dict


class Loud(int):
    __str__ = __format__ = lambda self, *_: "many"


@pytest.mark.parametrize(
    "limit, offset, text",
    [
        (2.9, 0, "LIMIT 2 OFFSET 0"),
        (True, False, "LIMIT 1 OFFSET 0"),
        (Loud(3), Loud(4), "LIMIT 3 OFFSET 4"),
        (10**20, -1, "LIMIT 100000000000000000000 OFFSET -1"),
    ],
)
def test_query_limit_and_offset_written_as_numbers(client, limit, offset, text):
    ClickHouseBackend(client).query("t", {}, limit, offset)
    assert client.calls[0][0].endswith(f"\n            {text}\n        ")


def test_query_without_rows_still_describes(make_client):
    client = make_client(answers={"select": [], "describe": DESCRIBE})
    assert ClickHouseBackend(client).query("t", {}, 1, 0) == []
    assert [q for q, _ in client.calls] == [
        select_sql("t", "", "id", 1, 0),
        "DESCRIBE TABLE t",
    ]


def test_query_pairs_stop_at_the_shorter(make_client):
    client = make_client(answers={"select": [(1,), (2, "a", 3, "extra")], "describe": DESCRIBE})
    assert ClickHouseBackend(client).query("t", {}, 2, 0) == [
        {"id": 1},
        {"id": 2, "status": "a", "region": 3},
    ]


def test_names_of_any_text_go_in_as_written(client):
    # Text that has no UTF-8 form (a lone surrogate) is still text; the client decides about it.
    backend = ClickHouseBackend(client, "k\udc80")
    backend.query("t\udc80", {"c\udc80": 1}, 1, 0)
    backend.create("t\udc80", {"c\udc80": 1})
    assert [q for q, _ in client.calls] == [
        select_sql("t\udc80", "WHERE c\udc80 = %(p0)s", "k\udc80", 1, 0),
        "DESCRIBE TABLE t\udc80",
        "INSERT INTO t\udc80 (c\udc80) VALUES (%(c\udc80)s)",
    ]


def test_query_reads_attributes_anew(make_client):
    first, second = make_client(), make_client()
    backend = ClickHouseBackend(first)
    backend.client = second
    backend.primary_key = "uid"
    backend.query("db.events", {}, 1, 0)
    assert first.calls == []
    assert second.calls == [
        (select_sql("db.events", "", "uid", 1, 0), {}),
        ("DESCRIBE TABLE db.events", NO_PARAMS),
    ]


def test_query_errors_propagate_after_sent_statements(make_client):
    error = RuntimeError("describe failed")
    client = make_client(answers={"select": [(1,)]}, failures={"describe": error})
    with pytest.raises(RuntimeError) as e:
        ClickHouseBackend(client).query("t", {}, 1, 0)
    assert e.value is error
    assert len(client.calls) == 2


# ---- create ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, sql",
    [
        ({"a": 1, "b": "x"}, "INSERT INTO db.t (a, b) VALUES (%(a)s, %(b)s)"),
        ({}, "INSERT INTO db.t () VALUES ()"),
    ],
)
def test_create_sends_the_record_itself(client, data, sql):
    before = dict(data)
    assert ClickHouseBackend(client).create("db.t", data) is data
    assert client.calls == [(sql, data)]
    assert client.calls[0][1] is data and data == before


def test_create_refuses_a_column_that_is_not_text(client):
    data = {"a": 1, 2: "b"}
    with pytest.raises(TypeError) as e:
        ClickHouseBackend(client).create("t", data)
    with pytest.raises(TypeError) as joined:
        ", ".join(data)
    assert str(e.value) == str(joined.value)
    assert client.calls == []


def test_create_error_propagates(make_client):
    error = ValueError("refused")
    client = make_client(failures={"insert": error})
    with pytest.raises(ValueError) as e:
        ClickHouseBackend(client).create("t", {"a": 1})
    assert e.value is error


# ---- update ------------------------------------------------------------------------------------


def update_sql(table, sets, key, placeholder):
    return (
        f"\n            ALTER TABLE {table}"
        f"\n            UPDATE {sets}"
        f"\n            WHERE {key} = %({placeholder})s"
        "\n        "
    )


@pytest.mark.parametrize(
    "data, sets, placeholder",
    [
        ({"name": "n"}, "name = %(name)s", "id_val"),
        ({"id": 3, "name": "n"}, "id = %(id)s, name = %(name)s", "id_val"),
        ({}, "", "id_val"),
        # A column named like the key placeholder keeps its new value; the key takes a free name.
        ({"id_val": 5, "x": 1}, "id_val = %(id_val)s, x = %(x)s", "id_val_1"),
        ({"id_val_1": 1, "id_val": 2}, "id_val_1 = %(id_val_1)s, id_val = %(id_val)s", "id_val_2"),
        ({"id_val_1": 1}, "id_val_1 = %(id_val_1)s", "id_val"),
    ],
)
def test_update(client, data, sets, placeholder):
    before = dict(data)
    answer = ClickHouseBackend(client).update("t", 7, data)
    # The parameters are a copy of the record plus the key value; the answer is a copy with the
    # key column set, in place when the record has it.
    params = {**before, placeholder: 7}
    assert client.calls == [(update_sql("t", sets, "id", placeholder), params)]
    assert list(client.calls[0][1].items()) == list(params.items())
    assert list(answer.items()) == list({**before, "id": 7}.items())
    assert answer is not data and client.calls[0][1] is not data and data == before


def test_update_with_another_key_column(client):
    backend = ClickHouseBackend(client, "uid")
    assert backend.update("db.t", None, {"uid": 1}) == {"uid": None}
    assert client.calls == [
        (update_sql("db.t", "uid = %(uid)s", "uid", "id_val"), {"uid": 1, "id_val": None})
    ]


# ---- delete ------------------------------------------------------------------------------------


@pytest.mark.parametrize("id_value", [7, "abc", None])
def test_delete(client, id_value):
    assert ClickHouseBackend(client).delete("t", id_value) is True
    assert client.calls == [("ALTER TABLE t DELETE WHERE id = %(id_val)s", {"id_val": id_value})]


def test_delete_error_propagates(make_client):
    client = make_client(failures={"alter": KeyError("x")})
    with pytest.raises(KeyError):
        ClickHouseBackend(client, "uid").delete("t", 1)
    assert client.calls == [("ALTER TABLE t DELETE WHERE uid = %(id_val)s", {"id_val": 1})]


# ---- get_by_id ---------------------------------------------------------------------------------


def test_get_by_id_selects_one_row(make_client):
    client = make_client(answers={"select": [(5, "open", 1)], "describe": DESCRIBE})
    assert ClickHouseBackend(client).get_by_id("t", 5) == {"id": 5, "status": "open", "region": 1}
    assert client.calls == [
        (select_sql("t", "WHERE id = %(p0)s", "id", 1, 0), {"p0": 5}),
        ("DESCRIBE TABLE t", NO_PARAMS),
    ]


@pytest.mark.parametrize(
    "key, id_value, message",
    [
        ("id", 99, "Record with id=99 not found"),
        ("uid", "abc", "Record with uid=abc not found"),
        ("id", None, "Record with id=None not found"),
        # The value's text stands whole, whatever characters it holds.
        ("id", "a\x00b", "Record with id=a\x00b not found"),
        ("id", "\udc80", "Record with id=\udc80 not found"),
    ],
)
def test_get_by_id_not_found(make_client, key, id_value, message):
    client = make_client(answers={"describe": DESCRIBE})
    with pytest.raises(ValueError) as e:
        ClickHouseBackend(client, key).get_by_id("t", id_value)
    assert str(e.value) == message


# ---- get_info ----------------------------------------------------------------------------------


def test_get_info(make_client):
    client = make_client(
        answers={
            "count": [(42,)],
            "describe": DESCRIBE,
            "engine": [("MergeTree", "MergeTree ORDER BY id")],
        }
    )
    info = ClickHouseBackend(client, "uid").get_info("events")
    assert list(info.items()) == [
        ("table_name", "events"),
        ("row_count", 42),
        ("columns", ["id", "status", "region"]),
        ("column_types", {"id": "UInt64", "status": "String", "region": "UInt8"}),
        ("engine", "MergeTree"),
        ("engine_full", "MergeTree ORDER BY id"),
        ("backend", "clickhouse"),
        ("primary_key", "uid"),
    ]
    assert client.calls == [
        ("SELECT count() FROM events", NO_PARAMS),
        ("DESCRIBE TABLE events", NO_PARAMS),
        (engine_sql("'events'"), NO_PARAMS),
    ]


@pytest.mark.parametrize(
    "table, quoted",
    [
        ("db.events", "'db.events'"),
        ("o'brien", "'o\\'brien'"),
        ("a\\b", "'a\\\\b'"),
        ("x\\' OR 1=1 --", "'x\\\\\\' OR 1=1 --'"),
    ],
)
def test_get_info_engine_lookup_quotes_the_name(client, table, quoted):
    ClickHouseBackend(client).get_info(table)
    assert [q for q, _ in client.calls] == [
        "SELECT count() FROM " + table,
        "DESCRIBE TABLE " + table,
        engine_sql(quoted),
    ]


@pytest.mark.parametrize(
    "answers, failures",
    [
        ({"engine": []}, {}),
        ({"engine": None}, {}),
        ({}, {"engine": RuntimeError("no system.tables")}),
        # A row too short fails half way: both values fall back, not only the missing one.
        ({"engine": [("MergeTree",)]}, {}),
        ({"engine": 5}, {}),
    ],
)
def test_get_info_engine_unknown(make_client, answers, failures):
    client = make_client(answers={"count": [], "describe": [], **answers}, failures=failures)
    info = ClickHouseBackend(client).get_info("t")
    assert info["engine"] == "Unknown" and info["engine_full"] == "Unknown"
    assert info["row_count"] == 0
    assert info["columns"] == [] and info["column_types"] == {}


@pytest.mark.parametrize("error", [Abort(), KeyboardInterrupt()])
def test_get_info_engine_lookup_lets_interrupts_pass(make_client, error):
    client = make_client(failures={"engine": error})
    with pytest.raises(type(error)) as e:
        ClickHouseBackend(client).get_info("t")
    assert e.value is error


@pytest.mark.parametrize("kind", ["count", "describe"])
def test_get_info_other_errors_propagate(make_client, kind):
    error = ConnectionError(kind)
    client = make_client(failures={kind: error})
    with pytest.raises(ConnectionError) as e:
        ClickHouseBackend(client).get_info("t")
    assert e.value is error
    assert "SELECT engine" not in client.calls[-1][0]
