"""Binding values whose Python methods return what the binder does not expect, or change what it
is reading."""

import gc
import uuid
from datetime import datetime, timedelta, timezone, tzinfo
from decimal import Decimal
from ipaddress import IPv4Address

import pytest
from processes import run_python

from kelvora._clickhouse import bind


class Moment(datetime):
    """A datetime whose own methods say something else than its tzinfo."""

    def astimezone(self, tz=None):
        return object()

    def utcoffset(self):
        return None


def test_the_tzinfo_gives_the_instant():
    value = Moment(2024, 1, 2, 3, 4, 5, tzinfo=timezone(timedelta(hours=-5)))
    assert bind("%(v)s", {"v": value}) == "toDateTime('2024-01-02 08:04:05', 'UTC')"


class Offset(tzinfo):
    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, moment):
        return self.offset


@pytest.mark.parametrize(
    "offset, error, text",
    [
        (5, TypeError,
         "Parameter 'v': tzinfo.utcoffset() must return None or timedelta, not 'int'"),
        (timedelta(days=1), ValueError, "offset must be a timedelta strictly between "
         "-timedelta(hours=24) and timedelta(hours=24)."),
    ],
)  # fmt: skip
def test_utcoffset_must_give_an_offset_within_a_day(offset, error, text):
    with pytest.raises(error) as e:
        bind("%(v)s", {"v": datetime(2024, 1, 2, tzinfo=Offset(offset))})
    assert str(e.value) == text


@pytest.mark.parametrize("number, type_name", [("ab", "str"), (1.5, "float")])
def test_uuid_int_must_be_an_int(number, type_name):
    value = uuid.UUID(int=0)
    object.__setattr__(value, "int", number)
    with pytest.raises(TypeError) as e:
        bind("%(v)s", {"v": value})
    assert str(e.value) == f"Parameter 'v': UUID.int is not an int (type {type_name})"


def test_map_pairs_cannot_be_swapped_while_binding():
    class Address(IPv4Address):
        def __str__(self):
            # Every list of (key, value) pairs holding this address gets other pairs.
            for found in gc.get_objects():
                if type(found) is list and any(type(p) is tuple and self in p for p in found):
                    found[:] = [("swapped", "in")] * len(found)
            return super().__str__()

    value = {"a": Address("10.0.0.1"), "b": "z"}
    assert bind("%(v)s", {"v": value}) == "map('a', '10.0.0.1', 'b', 'z')"


class Amount(Decimal):
    """A Decimal whose texts are anything but its number."""

    def __str__(self):
        return "1') OR (1"

    def __format__(self, spec):
        return "1') OR (1"


@pytest.mark.parametrize(
    "value, expected",
    [("1.5", "1.5"), ("-1234567890.1234567", "toDecimal64('-1234567890.1234567', 7)")],
)
def test_decimal_subclass_texts_do_not_reach_the_statement(value, expected):
    assert bind("%(v)s", {"v": Amount(value)}) == expected


def test_pure_python_decimal_text_must_be_a_number():
    # Without its C implementation, Decimal's own text is the subclass's __str__.
    done = run_python("""
        import sys
        sys.modules["_decimal"] = None
        from decimal import Decimal
        from kelvora._clickhouse import bind

        class Amount(Decimal):
            def __str__(self):
                return "1') OR (1"

        assert bind("%(v)s", {"v": Decimal("-1.5E-7")}) == "-1.5E-7"
        try:
            bind("%(v)s", {"v": Amount("1.5")})
        except TypeError as error:
            print(error)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == (
        "Parameter 'v': Decimal.__str__ returned 1') OR (1, not a decimal number\n"
    )
