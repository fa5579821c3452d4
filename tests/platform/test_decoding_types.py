"""Column types read from the answer's header: what their names spell, escapes included, and the
Python value of every type a SELECT can return, on both answer formats and on the 18.16 server
where it has the type."""

from datetime import date, datetime, timedelta
from decimal import Decimal

import pytest
from test_client import answer
from test_decoder_limits import row_binary

from kelvora._clickhouse import decode_row_binary, decode_tab_separated
from kelvora.clickhouse import ClickHouseError, connect

EXPERIMENTAL = (
    " SETTINGS allow_experimental_variant_type = 1, allow_experimental_dynamic_type = 1,"
    " allow_experimental_json_type = 1, enable_time_time64_type = 1,"
    " allow_experimental_qbit_type = 1, allow_suspicious_variant_types = 1"
)
NESTED = "Nested(x Int8, `y z` String)"
JSON_TEXT = '{"a": {"b": [1, 2], "c": "x"}, "d": null, "e": {"f": 1.5}}'

# (expression, value, whether 18.16 has the type). Intervals of a fixed length are timedeltas,
# the others counts; Time and Time64 are signed and go beyond a day, so timedeltas too.
# fmt: off
TYPES = [
    ("toIntervalSecond(-90)", timedelta(seconds=-90), True),
    ("toIntervalMinute(2)", timedelta(minutes=2), True),
    ("toIntervalHour(25)", timedelta(hours=25), True),
    ("toIntervalDay(3)", timedelta(days=3), True),
    ("toIntervalWeek(-2)", timedelta(weeks=-2), True),
    ("toIntervalMonth(-2)", -2, True),
    ("toIntervalYear(5)", 5, True),
    ("toIntervalQuarter(1)", 1, False),
    ("toIntervalMillisecond(-1500)", timedelta(seconds=-1.5), False),
    ("toIntervalMicrosecond(7)", timedelta(microseconds=7), False),
    ("toIntervalNanosecond(7)", 7, False),
    ("[toIntervalDay(1), toIntervalDay(2)]", [timedelta(days=1), timedelta(days=2)], True),
    ("(1.5, -2.5)::Point", (1.5, -2.5), False),
    ("[(1, 2), (3, 4)]::Ring", [(1.0, 2.0), (3.0, 4.0)], False),
    ("[(1, 2)]::LineString", [(1.0, 2.0)], False),
    ("[(1, 2)]::MultiPoint", [(1.0, 2.0)], False),
    ("[[(1, 2)], [(3, 4)]]::MultiLineString", [[(1.0, 2.0)], [(3.0, 4.0)]], False),
    ("[[(1, 2), (3, 4)]]::Polygon", [[(1.0, 2.0), (3.0, 4.0)]], False),
    ("[[[(1, 2)]], [[(3, 4)]]]::MultiPolygon", [[[(1.0, 2.0)]], [[(3.0, 4.0)]]], False),
    (f"CAST([(1, 'a'), (2, 'b')] AS {NESTED})", [(1, "a"), (2, "b")], False),
    ("CAST(3 AS SimpleAggregateFunction(sum, UInt64))", 3, False),
    ("CAST([1] AS SimpleAggregateFunction(groupArrayArray, Array(UInt8)))", [1], False),
    ("toBFloat16(1.3)", 1.296875, False),
    ("toBFloat16(-inf)", float("-inf"), False),
    ("'-25:01:02'::Time", -timedelta(hours=25, minutes=1, seconds=2), False),
    ("'100:00:00.123456'::Time64(6)", timedelta(hours=100, microseconds=123456), False),
    ("'-0.0000005'::Time64(9)", timedelta(microseconds=-1), False),
    # A row of nothing but empty tuples takes no bytes in the binary answer: one more column.
    ("((), 1)", ((), 1), False),
    ("CAST((1, 'x') AS Tuple(`a b` Int8, c String))", (1, "x"), False),
    ("CAST((1, 2) AS Tuple(`a\\`b` Int8, `c.d` UInt8))", (1, 2), False),
    ("[1.5, 2]::QBit(Float32, 2)", [1.5, 2.0], False),
]
# Types whose text does not say which type each value is of: the binary answer alone.
BINARY_ONLY_TYPES = [
    ("1::Variant(UInt8, String)", 1),
    ("NULL::Variant(UInt8, String)", None),
    ("CAST([(1, 2)]::Ring AS Geometry)", [(1.0, 2.0)]),
    ("CAST((1, 2)::Point AS Geometry)", (1.0, 2.0)),
    ("NULL::Dynamic", None),
    ("'x'::Dynamic", "x"),
    ("[toDate('2020-01-01')]::Dynamic", [date(2020, 1, 1)]),
    ("toDateTime64('2020-01-01 00:00:00.5', 3, 'Asia/Tokyo')::Dynamic",
     datetime(2020, 1, 1, 0, 0, 0, 500000)),
    ("map('k', [NULL, 1])::Dynamic", {"k": [None, 1]}),
    ("toDecimal64(1.5, 3)::Dynamic", Decimal("1.500")),
    ("CAST('b', 'Enum8(\\'a\\' = -1, \\'b\\' = 2)')::Dynamic", "b"),
    ("tuple(1 AS a, 'x' AS b)::Dynamic", (1, "x")),
    ("(1.5, 2.5)::Point::Dynamic", (1.5, 2.5)),
    ("'1:00:00.5'::Time64(3)::Dynamic", timedelta(hours=1, microseconds=500000)),
    ("toIntervalHour(2)::Dynamic", timedelta(hours=2)),
    ("[1]::Array(Dynamic)::Dynamic", [1]),
    (f"'{JSON_TEXT}'::JSON", {"a": {"b": [1, 2], "c": "x"}, "e": {"f": 1.5}}),
    ("'{\"a\": 5, \"q\": [{\"r\": 1}]}'::JSON(a UInt32, SKIP z, SKIP REGEXP 'x.*')",
     {"a": 5, "q": [{"r": 1}]}),
    # Paths that meet, a value at one and an object at the other, stay flat.
    ("'{\"a\": 1, \"a.b\": 2}'::JSON", {"a.b": 2, "a": 1}),
]
# fmt: on


@pytest.mark.parametrize(
    "expression, expected", [case[:2] for case in TYPES], ids=[case[0] for case in TYPES]
)
def test_each_type_decodes_on_both_formats(engine, expression, expected):
    sql = f"SELECT {expression} AS v {EXPERIMENTAL}"
    # repr tells apart what == does not (1 and 1.0, timedelta and int).
    assert repr(engine.execute(sql)) == repr([(expected,)])
    assert repr(decode_tab_separated(answer(engine, sql))) == repr([(expected,)])


@pytest.mark.parametrize(
    "expression, expected", BINARY_ONLY_TYPES, ids=[case[0] for case in BINARY_ONLY_TYPES]
)
def test_variant_dynamic_and_json_decode(engine, expression, expected):
    [(value,)] = engine.execute(f"SELECT {expression} AS v {EXPERIMENTAL}")
    assert (value, type(value)) == (expected, type(expected))


def test_their_text_answers_are_refused(engine):
    sql = f"SELECT 1::Variant(UInt8, String) {EXPERIMENTAL}"
    with pytest.raises(ValueError) as e:
        decode_tab_separated(answer(engine, sql))
    text = "unsupported column type: Variant(String, UInt8) (in a TabSeparated answer)"
    assert str(e.value) == text


SERVER_TYPES = [case[:2] for case in TYPES if case[2]]


@pytest.fixture(scope="module")
def server(clickhouse_server):
    client = connect(clickhouse_server.dsn())
    yield client
    client.close()


@pytest.mark.parametrize("expression, expected", SERVER_TYPES, ids=[c[0] for c in SERVER_TYPES])
def test_each_type_decodes_on_the_server(server, expression, expected):
    assert repr(server.execute(f"SELECT {expression} AS v")) == repr([(expected,)])


def test_nested_columns_of_a_server_table(server, clickhouse_server):
    # 18.16 answers a Nested column as one array per field.
    server.execute("CREATE TABLE nested_columns (n Nested(x Int8, y String)) ENGINE = Memory")
    try:
        server.execute("INSERT INTO nested_columns VALUES ([1, 2], ['a', 'b'])")
        assert server.execute("SELECT n.x, n.y FROM nested_columns") == [([1, 2], ["a", "b"])]
    finally:
        server.execute("DROP TABLE nested_columns")


@pytest.mark.parametrize(
    "sql, text",
    [
        ("SELECT sumState(1) FROM numbers(1)",
         "unsupported column type: AggregateFunction(sum, UInt8)"),
        ("SELECT toIntervalWeek(9223372036854775807)",
         "IntervalWeek 9223372036854775807 is out of the range of a timedelta"),
        ("SELECT toIntervalSecond(-9223372036854775808)",
         "IntervalSecond -9223372036854775808 is out of the range of a timedelta"),
    ],
)  # fmt: skip
def test_values_the_client_cannot_read_are_clickhouse_errors(engine, sql, text):
    with pytest.raises(ClickHouseError) as e:
        engine.execute(sql)
    assert str(e.value) == text


def test_rows_of_empty_tuples_are_not_read_without_end():
    # Such rows take no bytes: bytes after them are malformed, not rows.
    with pytest.raises(ValueError) as e:
        decode_row_binary(row_binary(["Tuple()"], b"\x00"))
    assert str(e.value) == "malformed result data"


@pytest.mark.parametrize(
    "name",
    ["Interval", "IntervalFortnight", "Variant(" + ", ".join(["UInt8"] * 255) + ")",
     "Tuple(`a Int8)", "JSON(SKIP)", "SimpleAggregateFunction(sum)", "Geometry(UInt8)"],
)  # fmt: skip
def test_malformed_type_names_are_refused(name):
    with pytest.raises(ValueError) as e:
        decode_row_binary(row_binary([name]))
    assert str(e.value) == f"unsupported column type: {name}"


@pytest.mark.parametrize(
    "label, expected",
    [(r"a\tb", "a\tb"), (r"\0\a\b\f\n\r\v", "\0\a\b\f\n\r\v"), (r"\x41\x7e", "A~"),
     (r"it\'s \\", "it's \\"), (r"\q", "q")],
)  # fmt: skip
def test_enum_labels_are_unescaped(label, expected):
    data = row_binary([f"Enum8('{label}' = 1, 'b' = 2)"], b"\x01\x02")
    assert decode_row_binary(data) == [(expected,), ("b",)]


@pytest.mark.parametrize("label", [r"\x4", r"\xzz"])
def test_bad_hex_escapes_are_refused(label):
    name = f"Enum8('{label}' = 1)"
    with pytest.raises(ValueError) as e:
        decode_row_binary(row_binary([name], b"\x01"))
    assert str(e.value) == f"unsupported column type: {name}"
