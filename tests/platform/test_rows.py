"""Rows of an answer are tuples that also read by column name, on every answer format: the
embedded engine's RowBinary, 18.16's Native, and the text answer."""

import gc
import pickle
import weakref

import pytest
from leaks import SCALE, assert_no_growth, repeat
from test_decoder_limits import native_block, row_binary, string, tab_separated

from kelvora._clickhouse import Row, decode_native, decode_row_binary, decode_tab_separated

SELECT = "SELECT toUInt8(1) AS id, 'x' AS `a\tb`, [1, 2] AS list, 7 AS `ü`"
NAMES = ("id", "a\tb", "list", "ü")
VALUES = (1, "x", [1, 2], 7)


def test_a_row_is_its_tuple_and_a_mapping_of_its_names(each_engine):
    [row] = each_engine.execute(SELECT)
    assert type(row) is Row and isinstance(row, tuple)
    assert row == VALUES and hash(row[:1]) == hash((1,)) and repr(row) == repr(VALUES)
    assert (row[0], row[-1], row[1:3], len(row), list(row)) == (
        1,
        7,
        ("x", [1, 2]),
        4,
        list(VALUES),
    )
    assert row.keys() == NAMES and row.values() == VALUES and type(row.values()) is tuple
    assert row.items() == list(zip(NAMES, VALUES, strict=True))
    assert dict(row) == {"id": 1, "a\tb": "x", "list": [1, 2], "ü": 7}
    assert (row["a\tb"], row.get("list"), row.get("missing"), row.get("missing", 0)) == (
        "x",
        [1, 2],
        None,
        0,
    )
    with pytest.raises(KeyError, match="missing"):
        row["missing"]
    with pytest.raises(TypeError):
        row.get()
    assert (
        pickle.loads(pickle.dumps(row)) == VALUES and type(pickle.loads(pickle.dumps(row))) is tuple
    )
    with pytest.raises(TypeError):
        Row()


def test_the_text_answer_reads_its_escaped_names():
    data = b"id\\tx\tname\nUInt8\tString\n1\ta\n"
    [row] = decode_tab_separated(data)
    assert row.keys() == ("id\tx", "name") and dict(row) == {"id\tx": 1, "name": "a"}


def test_a_row_in_a_reference_cycle_is_collected(engine):
    [row] = engine.execute("SELECT [1] AS list")
    assert gc.is_tracked(row)

    class Marker:
        pass

    marker = Marker()
    row[0].append(row)
    row[0].append(marker)
    alive = weakref.ref(marker)
    del row, marker
    gc.collect()
    assert alive() is None


def test_rows_of_plain_values_stay_out_of_the_collector(engine):
    rows = engine.execute("SELECT number, toString(number) FROM numbers(3)")
    assert not any(gc.is_tracked(row) for row in rows)


ANSWERS = {
    "RowBinary": (decode_row_binary, row_binary(["UInt8", "String"], b"\x01" + string(b"ab"))),
    "Native": (
        decode_native,
        native_block(1, ("UInt8", b"\x01"), ("Nullable(String)", b"\x00" + string(b"ab"))),
    ),
    "TabSeparated": (decode_tab_separated, tab_separated(["UInt8", "String"], "1\tab")),
}


@pytest.mark.parametrize("decode, data", ANSWERS.values(), ids=ANSWERS.keys())
def test_rows_read_by_name_keep_nothing(decode, data):
    def read():
        [row] = decode(data)
        assert dict(row) == {"c0": 1, "c1": "ab"}
        with pytest.raises(KeyError):
            row["c9"]
        return row.get("c9"), row.items(), row.values(), row[1:], pickle.dumps(row)

    assert_no_growth(
        repeat(read), warmup=100, repeats=5_000 // SCALE, traced=1_000 // SCALE, watched=[data]
    )
