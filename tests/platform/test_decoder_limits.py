"""Answers the decoders refuse or survive: column types out of range or nested without end, counts
beyond the data, malformed Native blocks, datetimes beyond Python's years, and Python code that
runs while rows are built."""

import uuid
from datetime import UTC, datetime
from decimal import Decimal
from zoneinfo import ZoneInfo

import pytest
from processes import run_python

from kelvora._clickhouse import decode_native, decode_row_binary, decode_tab_separated


def varint(number):
    out = b""
    while number > 0x7F:
        out += bytes([number & 0x7F | 0x80])
        number >>= 7
    return out + bytes([number])


def string(text):
    return varint(len(text)) + text


def row_binary(types, body=b""):
    """A RowBinaryWithNamesAndTypes answer: columns c0, c1, ... of `types`, then `body`."""
    names = b"".join(string(f"c{i}".encode()) for i in range(len(types)))
    return varint(len(types)) + names + b"".join(string(t.encode()) for t in types) + body


def tab_separated(types, *lines):
    """A TabSeparatedWithNamesAndTypes answer: columns c0, c1, ... of `types`, then `lines`."""
    header = ["\t".join(f"c{i}" for i in range(len(types))), "\t".join(types)]
    return "".join(line + "\n" for line in header + list(lines)).encode()


def native_block(rows, *columns):
    """A Native block of `rows` rows: (type, column data) pairs as columns c0, c1, ..."""
    out = varint(len(columns)) + varint(rows)
    for i, (type_name, data) in enumerate(columns):
        out += string(f"c{i}".encode()) + string(type_name.encode()) + data
    return out


def u64(*numbers):
    return b"".join(n.to_bytes(8, "little") for n in numbers)


def both_refuse(types, text):
    for decoder, data in [(decode_row_binary, row_binary(types)),
                          (decode_tab_separated, tab_separated(types))]:  # fmt: skip
        with pytest.raises(ValueError) as e:
            decoder(data)
        assert str(e.value) == text


# ---- column types ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "type_name, reason",
    [
        # 10^precision ticks a second: past 18 it overflows, past 63 it divides by zero.
        ("DateTime64(10)", "precision must be 0 to 9"),
        ("DateTime64(64, 'UTC')", "precision must be 0 to 9"),
        # The scale is how many zeros a value's text gets.
        ("Decimal(77, 2)", "precision must be 1 to 76"),
        ("Decimal(10, 11)", "scale must be 0 to 10"),
        ("Decimal32(10)", "scale must be 0 to 9"),
        ("Decimal256(1000000000)", "scale must be 0 to 76"),
        # A value of no bytes would let a count run on without reading anything.
        ("FixedString(0)", "length must be 1 to 16777215"),
    ],
)
def test_type_parameters_out_of_range(type_name, reason):
    wrapped = f"Array(Nullable({type_name}))"
    both_refuse([wrapped], f"unsupported column type: {wrapped} ({reason})")


def test_type_parameters_at_their_limits():
    types = ["DateTime64(9, 'UTC')", "Decimal(76, 76)", "Decimal256(0)", "FixedString(1)"]
    body = (1).to_bytes(8, "little") + (1).to_bytes(32, "little") * 2 + b"x"
    expected = (datetime(1970, 1, 1), Decimal("0." + "0" * 75 + "1"), Decimal(1), "x")
    assert repr(decode_row_binary(row_binary(types, body))) == repr([expected])


def nested(wrapper, levels, inner):
    for _ in range(levels):
        inner = wrapper.format(inner)
    return inner


@pytest.mark.parametrize("wrapper", ["Array({})", "Tuple(a {})", "Map(String, {})"])
def test_types_nest_at_most_64_levels(wrapper):
    both_refuse([nested(wrapper, 65, "UInt8")], "column type nested more than 64 levels deep")


def test_64_levels_are_read():
    deep, value = nested("Array({})", 64, "UInt8"), 7
    for _ in range(64):
        value = [value]
    assert decode_row_binary(row_binary([deep], b"\x01" * 64 + b"\x07")) == [(value,)]
    assert decode_tab_separated(tab_separated([deep], nested("[{}]", 64, "7"))) == [(value,)]


def test_deep_type_names_are_refused_without_recursing():
    # Each level was a C++ frame of the parser (and of the readers and the type's destructor).
    done = run_python(r"""
        from kelvora import _clickhouse

        name = b"Array(" * 200000 + b"UInt8" + b")" * 200000
        size = len(name)
        length = bytes([size & 0x7F | 0x80, size >> 7 & 0x7F | 0x80, size >> 14])
        for decoder, data in [(_clickhouse.decode_row_binary, b"\x01\x01c" + length + name),
                              (_clickhouse.decode_tab_separated, b"c\n" + name + b"\n")]:
            try:
                decoder(data)
            except ValueError as error:
                print(error)
    """)
    refused = "column type nested more than 64 levels deep\n"
    assert (done.returncode, done.stdout, done.stderr) == (0, refused * 2, "")


# ---- counts and values -------------------------------------------------------------------------


def test_counts_beyond_the_data_are_refused_before_allocating():
    with pytest.raises(ValueError) as e:
        decode_row_binary(row_binary(["Array(UInt8)"], varint(2**62) + b"\x01"))
    assert str(e.value) == "truncated result data"


def test_rows_of_no_columns_are_refused():
    # Such rows take no bytes: what follows the header would be read as rows without end. The
    # child's address space is capped (not under ASan, whose shadow memory needs it).
    done = run_python("""
        import os, resource
        if "asan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (2**30, 2**30))
        from kelvora import _clickhouse

        try:
            _clickhouse.decode_row_binary(b"\\x00\\x01")
        except ValueError as error:
            print(error)
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "malformed result data\n", "")


# 2024-01-02 03:04:05 UTC plus 2^28 cycles of 400 years: the year 2024 + 25 * 2^32, which an int
# would have wrapped back to 2024.
FAR_SECONDS = int(datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC).timestamp()) + 2**28 * 146097 * 86400


@pytest.mark.parametrize("zone", [None, ZoneInfo("Asia/Tokyo")], ids=["utc", "tzinfo"])
def test_datetimes_beyond_python_years_are_refused(zone):
    data = row_binary(["DateTime64(0)"], FAR_SECONDS.to_bytes(8, "little"))
    with pytest.raises(ValueError) as e:
        decode_row_binary(data, zone)
    assert str(e.value) == f"year {2024 + 25 * 2**32} is out of range"


# ---- Python code running while rows are built --------------------------------------------------

SOME_UUID = uuid.UUID("12345678-1234-5678-9abc-def012345678")
# Two little-endian halves, the high one first.
UUID_WIRE = SOME_UUID.bytes[7::-1] + SOME_UUID.bytes[:7:-1]

# Each runs Python code after a row, a tuple or a list was started and before its last item: a
# tzinfo's fromutc, or uuid.UUID under a profile hook.
BUILDS = {
    "row binary, tzinfo": (
        "decode_row_binary",
        row_binary(["DateTime", "UInt8", "UInt8"], bytes(4) + b"\x07\x08"),
        [(datetime(1970, 1, 1), 7, 8)],
    ),
    "row binary, uuid": (
        "decode_row_binary",
        row_binary(["Array(Tuple(UUID, UInt8))", "UInt8"], b"\x01" + UUID_WIRE + b"\x07\x08"),
        [([(SOME_UUID, 7)], 8)],
    ),
    "native, uuid": (
        "decode_native",
        native_block(
            1, ("Array(Tuple(UUID, UInt8))", u64(1) + UUID_WIRE + b"\x07"), ("UInt8", b"\x08")
        ),
        [([(SOME_UUID, 7)], 8)],
    ),
    "tab separated, uuid": (
        "decode_tab_separated",
        tab_separated(
            ["Array(Tuple(UUID, UInt8))", "UUID", "UInt8"], f"[('{SOME_UUID}',7)]\t{SOME_UUID}\t8"
        ),
        [([(SOME_UUID, 7)], SOME_UUID, 8)],
    ),
}


@pytest.mark.parametrize("decoder, data, expected", BUILDS.values(), ids=BUILDS)
def test_sequences_are_out_of_sight_until_whole(decoder, data, expected):
    # Touching an empty slot of a tuple or list crashes: the hooks touch every one they can find.
    done = run_python(f"""
        import datetime, gc, sys, uuid
        from kelvora import _clickhouse

        def touch_every_sequence():
            for found in gc.get_objects():
                if type(found) in (tuple, list):
                    for item in found:
                        pass

        class Zone(datetime.tzinfo):
            def utcoffset(self, dt):
                return datetime.timedelta(0)

            def fromutc(self, dt):
                touch_every_sequence()
                return dt

        def profile(frame, event, arg):
            if event == "call" and frame.f_code is uuid.UUID.__init__.__code__:
                touch_every_sequence()

        sys.setprofile(profile)
        rows = _clickhouse.{decoder}({data!r}, Zone())
        sys.setprofile(None)
        print(repr(rows))
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, repr(expected) + "\n", "")


# ---- Native blocks -----------------------------------------------------------------------------


def low_cardinality(keys, indexes, version=1, flags=0x600):
    """A LowCardinality(String) column: its dictionary, then each row's UInt8 index."""
    dictionary = u64(len(keys)) + b"".join(string(k) for k in keys)
    return u64(version, flags) + dictionary + u64(len(indexes)) + bytes(indexes)


@pytest.mark.parametrize(
    "data, text",
    [
        (varint(1) + varint(2**40), "truncated result data"),
        (native_block(1), "malformed result data"),
        (native_block(2, ("Array(UInt8)", u64(2, 1) + b"\x00\x00")), "malformed result data"),
        (native_block(1, ("Array(UInt8)", u64(2**40) + b"\x00")), "truncated result data"),
        (native_block(1, ("Nullable(UInt8)", b"\x00")), "truncated result data"),
        (native_block(1, ("LowCardinality(String)", low_cardinality([b"", b"a"], [2]))),
         "malformed result data"),
        (native_block(1, ("LowCardinality(String)", low_cardinality([b"a"], [0], version=2))),
         "malformed result data"),
        (native_block(1, ("LowCardinality(String)", low_cardinality([b"a"], [0], flags=0))),
         "malformed result data"),
        (native_block(1, ("Variant(String, UInt8)", b"\x00")),
         "unsupported column type: Variant(String, UInt8) (in a Native answer)"),
    ],
    ids=["rows beyond the data", "rows of no columns", "offsets going back",
         "offsets beyond the data", "values missing", "index beyond the dictionary",
         "dictionary version", "dictionary flags", "variant"],
)  # fmt: skip
def test_native_blocks_refused(data, text):
    with pytest.raises(ValueError) as e:
        decode_native(data)
    assert str(e.value) == text


def test_native_columns_across_blocks():
    first = native_block(
        2,
        ("Nullable(String)", b"\x01\x00" + string(b"") + string(b"b")),
        ("Array(Tuple(UInt8, String))", u64(0, 2) + b"\x01\x02" + string(b"x") + string(b"y")),
        ("LowCardinality(Nullable(String))", low_cardinality([b"", b"", b"q"], [0, 2])),
        ("Map(String, UInt8)", u64(1, 1) + string(b"k") + b"\x07"),
    )
    second = native_block(
        1,
        ("Nullable(String)", b"\x00" + string(b"c")),
        ("Array(Tuple(UInt8, String))", u64(0)),
        ("LowCardinality(Nullable(String))", low_cardinality([b"", b"", b"r"], [2])),
        ("Map(String, UInt8)", u64(0)),
    )
    assert decode_native(first + second) == [
        (None, [], None, {"k": 7}),
        ("b", [(1, "x"), (2, "y")], "q", {}),
        ("c", [], "r", {}),
    ]


TWO_DATETIMES = native_block(1, ("DateTime", u64(0)[:4]), ("DateTime", u64(0)[:4]))
TOKYO = datetime(1970, 1, 1, 9)


@pytest.mark.parametrize(
    "described, expected",
    [
        (["DateTime('Asia/Tokyo')", "DateTime"], (TOKYO, datetime(1970, 1, 1))),
        # Anything but the statement's own DateTime types keeps the answer's.
        (None, (datetime(1970, 1, 1),) * 2),
        (["DateTime('Asia/Tokyo')"], (datetime(1970, 1, 1),) * 2),
        ([1, "UInt32"], (datetime(1970, 1, 1),) * 2),
    ],
    ids=["described", "none", "other columns", "other types"],
)
def test_native_datetime_zones_are_asked_once(described, expected):
    asked = []

    def column_types():
        asked.append(1)
        return described

    assert decode_native(TWO_DATETIMES + TWO_DATETIMES, None, column_types) == [expected] * 2
    assert asked == [1]
