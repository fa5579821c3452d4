"""Binding of %(name)s parameters as ClickHouse literals, checked as text and on the real engine."""

import enum
import uuid
from datetime import UTC, date, datetime, time, timedelta, timezone, tzinfo
from decimal import Decimal
from ipaddress import IPv4Address, IPv6Address, ip_network
from types import SimpleNamespace
from zoneinfo import ZoneInfo

import pytest
from clickhouse_driver import Client as DriverClient
from clickhouse_driver.context import Context
from hypothesis import given, settings
from hypothesis import strategies as st

from kelvora._clickhouse import bind


class Color(enum.IntEnum):
    RED = 2


class Plain(enum.Enum):
    PAIR = (1, "x")
    NOTHING = None


class Shade(enum.StrEnum):
    DARK = "it's"


def literal(value, zone=None):
    return bind("%(v)s", {"v": value}, zone)


class NoOffset(tzinfo):
    def utcoffset(self, moment):
        return None


# ---- literals ----------------------------------------------------------------------------------

# fmt: off
LITERALS = [
    (None, "NULL"), (True, "1"), (False, "0"), (-5, "-5"), (Color.RED, "2"),
    # Beyond 64 bits, the narrowest type that holds the value; beyond 256 bits none does.
    (2**64 - 1, "18446744073709551615"), (2**64, "toInt128('18446744073709551616')"),
    (-(2**63), "-9223372036854775808"), (-(2**63) - 1, "toInt128('-9223372036854775809')"),
    (2**127, f"toUInt128('{2**127}')"), (-(2**127) - 1, f"toInt256('{-(2**127) - 1}')"),
    (2**255, f"toUInt256('{2**255}')"), (2**256, str(2**256)),
    # The least signed value of a width needs all its bits.
    (-(2**127), f"toInt128('{-(2**127)}')"), (2**128 - 1, f"toUInt128('{2**128 - 1}')"),
    (-(2**255), f"toInt256('{-(2**255)}')"), (-(2**255) - 1, str(-(2**255) - 1)),
    (2**256 - 1, f"toUInt256('{2**256 - 1}')"), (-(2**64), f"toInt128('{-(2**64)}')"),
    (1.5, "1.5"), (3.0, "3.0"), (-0.0, "-0.0"), (1e16, "1e+16"), (1e-300, "1e-300"),
    (float("inf"), "inf"), (float("-inf"), "-inf"), (float("nan"), "nan"),
    (Decimal("1.50"), "1.50"), (Decimal("-0.001"), "-0.001"), (Decimal("1" * 15), "1" * 15),
    # Beyond the 15 digits a Float64 keeps, the narrowest Decimal type that holds every digit.
    (Decimal("-1234567890.123456"), "toDecimal64('-1234567890.123456', 6)"),
    (Decimal("1E+15"), "toDecimal64('1000000000000000', 0)"),
    (Decimal("0." + "0" * 15 + "1"), f"toDecimal64('0.{'0' * 15}1', 16)"),
    (Decimal("1" * 19), f"toDecimal128('{'1' * 19}', 0)"),
    (Decimal("0." + "1" * 39), f"toDecimal256('0.{'1' * 39}', 39)"),
    (Decimal("1" * 77), "1" * 77), (Decimal("1E-77"), "1E-77"), (Decimal("NaN"), "nan"),
    (Decimal("Infinity"), "inf"), (Decimal("-Infinity"), "-inf"), (Decimal("-NaN"), "nan"),
    (Decimal("0E+3"), "0E+3"), (Decimal("-0.00"), "-0.00"),
    (Decimal("0E-20"), f"toDecimal128('0.{'0' * 20}', 20)"),
    (Decimal("-1.2345678901234567E+20"), "toDecimal128('-123456789012345670000', 0)"),
    ("", "''"), ("\\'\b\f\r\n\t\0\a\v", r"'\\\'\b\f\r\n\t\0\a\v'"), (Shade.DARK, r"'it\'s'"),
    ("é☃😀 %(v)s %%", "'é☃😀 %(v)s %%'"),
    (b"a'\\\x00\x01\x7f\x80\xff\n", r"'a\'\\\0\x01\x7F\x80\xFF\n'"),
    (bytearray(b"\x1f\t"), r"'\x1F\t'"),
    (datetime(2024, 1, 2, 3, 4, 5), "'2024-01-02 03:04:05'"),
    (datetime(2024, 1, 2, 3, 4, 5, 60), "toDateTime64('2024-01-02 03:04:05.000060', 6)"),
    (datetime(2024, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=2))),
     "toDateTime('2024-01-02 01:04:05', 'UTC')"),
    (date(2024, 2, 29), "'2024-02-29'"), (time(1, 2, 3), "'01:02:03'"),
    (time(1, 2, 3, 4), "'01:02:03.000004'"),
    (uuid.UUID(int=1), "'00000000-0000-0000-0000-000000000001'"),
    (IPv4Address("10.0.0.1"), "'10.0.0.1'"), (IPv6Address("2001:db8::1"), "'2001:db8::1'"),
    ([], "[]"), ([1, [2, None], "a'"], r"[1, [2, NULL], 'a\'']"),
    ((), "()"), ((1, "x", [b"\xff"]), r"(1, 'x', ['\xFF'])"),
    # One item in parentheses would be the item itself.
    ((7,), "tuple(7)"), ([("a",)], "[tuple('a')]"),
    ({}, "map()"),
    ({"a": [1], 2: None, "k'": {"n": 1.5}}, r"map('a', [1], 2, NULL, 'k\'', map('n', 1.5))"),
    (Plain.PAIR, "(1, 'x')"), (Plain.NOTHING, "NULL"),
    (timedelta(days=1, seconds=3661), "toIntervalSecond(90061)"),
    (timedelta(seconds=-1), "toIntervalSecond(-1)"), (timedelta(0), "toIntervalSecond(0)"),
    (timedelta(seconds=2, microseconds=5), "toIntervalMicrosecond(2000005)"),
    (timedelta(microseconds=-5), "toIntervalMicrosecond(-5)"),
    (timedelta(seconds=-3, microseconds=250000), "toIntervalMicrosecond(-2750000)"),
    (timedelta(days=999999999, microseconds=1), "toIntervalMicrosecond(86399999913600000001)"),
]
# fmt: on


@pytest.mark.parametrize("value, expected", LITERALS)
def test_literal(value, expected):
    assert literal(value) == expected


@pytest.mark.parametrize(
    "value, with_datetime64, without",
    [
        (datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC), "toDateTime('2024-01-02 03:04:05', 'UTC')",
         "toDateTime('2024-01-02 03:04:05', 'UTC')"),
        # Microseconds, and years a DateTime does not reach, take a DateTime64 where the server
        # has it; without, the whole seconds.
        (datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=ZoneInfo("Asia/Tokyo")),
         "toDateTime64('2024-01-01 18:04:05.000006', 6, 'UTC')",
         "toDateTime('2024-01-01 18:04:05', 'UTC')"),
        (datetime(1969, 12, 31, 23, 59, 59, tzinfo=UTC),
         "toDateTime64('1969-12-31 23:59:59.000000', 6, 'UTC')",
         "toDateTime('1969-12-31 23:59:59', 'UTC')"),
        (datetime(2106, 1, 1, tzinfo=UTC), "toDateTime64('2106-01-01 00:00:00.000000', 6, 'UTC')",
         "toDateTime('2106-01-01 00:00:00', 'UTC')"),
        (datetime(2024, 1, 2, 3, 4, 5, 999999), "toDateTime64('2024-01-02 03:04:05.999999', 6)",
         "toDateTime('2024-01-02 03:04:05')"),
        # A naive datetime is a wall-clock time, and so is one whose tzinfo gives no offset.
        (datetime(2024, 1, 2, 3, 4, 5), "'2024-01-02 03:04:05'", "'2024-01-02 03:04:05'"),
        (datetime(2024, 1, 2, 3, 4, 5, tzinfo=NoOffset()), "'2024-01-02 03:04:05'",
         "'2024-01-02 03:04:05'"),
        (datetime(5, 1, 2), "'0005-01-02 00:00:00'", "'0005-01-02 00:00:00'"),
        # The UTC time lands on another day, month or year.
        (datetime(2024, 3, 1, 0, 30, tzinfo=timezone(timedelta(hours=1))),
         "toDateTime('2024-02-29 23:30:00', 'UTC')", "toDateTime('2024-02-29 23:30:00', 'UTC')"),
        (datetime(2023, 12, 31, 23, 0, 0, 1, tzinfo=timezone(-timedelta(hours=1, seconds=1))),
         "toDateTime64('2024-01-01 00:00:01.000001', 6, 'UTC')",
         "toDateTime('2024-01-01 00:00:01', 'UTC')"),
    ],
)  # fmt: skip
def test_datetimes_with_and_without_datetime64(value, with_datetime64, without):
    for zone in [None, ZoneInfo("Asia/Tokyo"), ZoneInfo("America/New_York")]:
        assert literal([value], zone) == f"[{with_datetime64}]"
    assert bind("%(v)s", {"v": value}, datetime64=True) == with_datetime64
    assert bind("%(v)s", {"v": (value,)}, datetime64=False) == f"tuple({without})"
    assert bind("%(v)s", {"v": {"k": [value]}}, datetime64=False) == f"map('k', [{without}])"


@settings(max_examples=300, deadline=None)
@given(
    st.datetimes(
        timezones=st.sampled_from(
            [UTC, ZoneInfo("Europe/Berlin"), ZoneInfo("America/St_Johns"),
             ZoneInfo("Asia/Kathmandu"), ZoneInfo("Pacific/Kiritimati"),
             timezone(-timedelta(hours=23, microseconds=1))]
        ),
        allow_imaginary=True,
    )
)  # fmt: skip
def test_aware_datetimes_are_their_utc_time(value):
    try:
        utc = value.astimezone(UTC)
    except OverflowError as python_error:
        with pytest.raises(OverflowError) as e:
            literal(value)
        assert str(e.value) == str(python_error)
        return
    utc = utc.replace(tzinfo=None)
    seconds, fraction = utc.isoformat(" ", "seconds"), utc.isoformat(" ", "microseconds")
    in_datetime = utc.microsecond == 0 and 1970 <= utc.year <= 2105
    assert literal(value) == (
        f"toDateTime('{seconds}', 'UTC')"
        if in_datetime
        else f"toDateTime64('{fraction}', 6, 'UTC')"
    )
    assert bind("%(v)s", {"v": value}, datetime64=False) == f"toDateTime('{seconds}', 'UTC')"


@settings(max_examples=2000, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_floats_are_their_repr(value):
    assert literal(value) == repr(value)


def python_decimal_literal(value):
    """The literal of a finite Decimal, worked out from its text and format(value, "f")."""
    text = format(value, "f")
    whole, _, fraction = text.lstrip("-").partition(".")
    precision = max(len(whole.lstrip("0")) + len(fraction), 1)
    if precision <= 15 or precision > 76:
        return str(value)
    width = next(
        bits for bits, digits in [(32, 9), (64, 18), (128, 38), (256, 76)] if precision <= digits
    )
    return f"toDecimal{width}('{text}', {len(fraction)})"


@settings(max_examples=1000, deadline=None)
@given(st.decimals(allow_nan=False, allow_infinity=False) | st.builds(
    lambda digits, exponent: Decimal(digits).scaleb(exponent),
    st.integers(-(10**80), 10**80), st.integers(-90, 90)))  # fmt: skip
def test_decimals_keep_their_digits(value):
    assert literal(value) == python_decimal_literal(value)


def test_signaling_nan_has_no_literal():
    with pytest.raises(TypeError) as e:
        literal(Decimal("sNaN"))
    assert str(e.value) == "Parameter 'v': a signaling NaN Decimal has no ClickHouse literal"


def test_placeholders_and_percent_signs():
    assert (
        bind("%(a)s%(a)s LIKE 'a%%' %(b)s %%(a)s", {"a": 1, "b": "x"}) == "11 LIKE 'a%' 'x' %(a)s"
    )
    # Without parameters the statement is sent as written, percent signs included.
    assert bind("SELECT '100%' %s %(a", None) == "SELECT '100%' %s %(a"
    with pytest.raises(KeyError) as e:
        bind("SELECT %(a)s, %(name)s", {"a": 1})
    assert e.value.args == ("name",)


@pytest.mark.parametrize("query", ["%", "100%", "%s", "%d", "%(a", "%(a)d", "%(a)"])
def test_other_percent_sequences_are_refused(query):
    with pytest.raises(ValueError):
        bind(query, {"a": 1})


@pytest.mark.parametrize(
    "value, type_name",
    [({1}, "set"), ([1, frozenset()], "frozenset"), (1j, "complex"), ({"k": Context()}, "Context"),
     (ip_network("10.0.0.0/8"), "IPv4Network")],
)  # fmt: skip
def test_values_without_literal(value, type_name):
    with pytest.raises(TypeError) as e:
        bind("SELECT %(x)s", {"x": value})
    assert str(e.value) == f"Parameter 'x': a value of type {type_name} has no ClickHouse literal"


# ---- the same literals as clickhouse-driver ----------------------------------------------------


def driver_bind(query, params):
    context = Context()
    context.server_info = SimpleNamespace(get_timezone=lambda: "UTC")
    return DriverClient("localhost").substitute_params(query, params, context)


# fmt: off
DRIVER_CORPUS = [
    "", "it's", "back\\slash \\' \\\\'", "line\nfeed\r\n\ttab \0 nul \a\b\f\v",
    "'; DROP TABLE t; --", "ünï ☃ 😀", 0, -(2**63), 2**64 - 1, 1.5, -0.0, 1e-300,
    1.7976931348623157e308, float("inf"), float("nan"), None,
    datetime(2024, 2, 29, 23, 59, 59),
    date(2105, 12, 31), [1, 2, 3], ["a'", None, [1.5]], (1, "x\n"),
    [(date(2024, 1, 1), uuid.UUID(int=7))], uuid.UUID("12345678-1234-5678-1234-567812345678"),
    Decimal("-12345678901.1234"), Decimal("0.000"),
]
# fmt: on


@pytest.mark.parametrize("value", DRIVER_CORPUS, ids=repr)
def test_literal_matches_clickhouse_driver(value):
    query = "SELECT %(v)s, 100%% WHERE x = %(v)s"
    assert bind(query, {"v": value}) == driver_bind(query, {"v": value})


def test_exact_numbers_and_instants_are_typed_literals():
    # clickhouse-driver writes numbers bare, which the engine reads as Float64, and an aware
    # datetime as wall-clock text, which each column reads in its own zone.
    moment = datetime(2024, 1, 2, 3, 4, 5, tzinfo=timezone(-timedelta(hours=5)))
    params = {"v": 2**64, "w": Decimal("0." + "1" * 16), "m": moment}
    assert driver_bind("%(v)s %(w)s %(m)s", params) == (
        f"{2**64} 0.{'1' * 16} '2024-01-02 08:04:05'"
    )
    assert bind("%(v)s %(w)s %(m)s", params) == (
        f"toInt128('{2**64}') toDecimal64('0.{'1' * 16}', 16) "
        "toDateTime('2024-01-02 08:04:05', 'UTC')"
    )


def test_bytes_and_dicts_are_real_literals():
    # clickhouse-driver writes these as Python reprs; here they are a quoted string and a map.
    assert driver_bind("%(v)s %(w)s", {"v": b"a'", "w": {"a": 1}}) == "b\"a'\" {'a': 1}"
    assert bind("%(v)s %(w)s", {"v": b"a'", "w": {"a'": b"\x00"}}) == r"'a\'' map('a\'', '\0')"


# ---- on the engine: every value comes back as it went in ---------------------------------------


@pytest.fixture(scope="module")
def engine(engine, module_database):
    """The embedded engine's client, this module's database and a source of fresh row ids."""
    counter = iter(range(1, 10**9))
    return SimpleNamespace(client=engine, database=module_database, next_id=lambda: next(counter))


ROUND_TRIPS = {
    "String": st.text(),
    "Int64": st.integers(min_value=-(2**63), max_value=2**63 - 1),
    "Float64": st.floats(allow_nan=False, allow_infinity=False),
    "Nullable(String)": st.none() | st.text(max_size=20),
    "DateTime('UTC')": st.datetimes(datetime(1970, 1, 1), datetime(2105, 12, 31, 23, 59, 59)).map(
        lambda moment: moment.replace(microsecond=0, fold=0)
    ),
}


@pytest.mark.parametrize("type_name", ROUND_TRIPS)
@settings(max_examples=80, deadline=None)
@given(data=st.data())
def test_values_come_back_as_they_went_in(engine, type_name, data):
    table = f"{engine.database}.`{type_name}`"
    engine.client.execute(
        f"CREATE TABLE IF NOT EXISTS {table} (id UInt64, v {type_name}) "
        "ENGINE = MergeTree ORDER BY id"
    )
    value, key = data.draw(ROUND_TRIPS[type_name]), engine.next_id()
    engine.client.execute(f"INSERT INTO {table} VALUES (%(k)s, %(v)s)", {"k": key, "v": value})
    rows = engine.client.execute(f"SELECT v FROM {table} WHERE id = %(k)s", {"k": key})
    # repr: exact floats, -0.0 included.
    assert repr(rows) == repr([(value,)])


# ---- no value changes what a statement touches -------------------------------------------------

NAMES = ["alice", "o'brien", "back\\slash", "x' OR '1'='1", "line\nbreak"]
# fmt: off
INJECTIONS = [
    "' OR 1=1 --", "\\' OR 1=1 --", "x' OR name != '", "\\", "'", "\\'", "'; DROP TABLE t; --",
    "%(v)s", "\\0' OR '1'='1", "alice' OR '", "' OR ''='", "\n' OR 1 OR '",
]
# fmt: on


@pytest.fixture(scope="module")
def named(engine):
    table = f"{engine.database}.names"
    engine.client.execute(
        f"CREATE TABLE {table} (id UInt64, v String) ENGINE = MergeTree ORDER BY id"
    )
    # One statement, so one part: mutations stay quick.
    rows = ", ".join(f"({key}, %(v{key})s)" for key in range(len(NAMES)))
    engine.client.execute(
        f"INSERT INTO {table} VALUES {rows}", {f"v{key}": name for key, name in enumerate(NAMES)}
    )
    return table


@settings(max_examples=80, deadline=None)
@given(st.text() | st.sampled_from(INJECTIONS + NAMES))
def test_text_matches_only_its_own_row(engine, named, value):
    sql = f"SELECT count() FROM {named} WHERE v = %(v)s"
    assert engine.client.execute(sql, {"v": value}) == [(NAMES.count(value),)]


@settings(max_examples=40, deadline=None)
@given(st.sampled_from(INJECTIONS) | st.text().filter(lambda text: text not in NAMES))
def test_delete_of_absent_text_keeps_every_row(engine, named, value):
    engine.client.execute(f"ALTER TABLE {named} DELETE WHERE v = %(v)s", {"v": value})
    assert engine.client.execute(f"SELECT v FROM {named} ORDER BY id") == [(n,) for n in NAMES]
