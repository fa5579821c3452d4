"""Binding values whose Python methods return what the binder does not expect, or change what it
is reading."""

import gc
import uuid
from datetime import UTC, date, datetime
from decimal import Decimal
from ipaddress import IPv4Address

import pytest

from kelvora._clickhouse import bind


@pytest.mark.parametrize(
    "result, type_name",
    [(object(), "object"), (date(2024, 1, 2), "datetime.date"), (None, "NoneType")],
)
def test_astimezone_must_give_a_datetime(result, type_name):
    class Moment(datetime):
        def astimezone(self, tz=None):
            return result

    value = Moment(2024, 1, 2, 3, 4, 5, tzinfo=UTC)
    with pytest.raises(TypeError) as e:
        bind("%(v)s", {"v": value})
    assert str(e.value) == f"Parameter 'v': astimezone() returned non-datetime (type {type_name})"


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


@pytest.mark.parametrize("text", ["1') OR (1", "", "-", "1e5", "1.2.3"])
def test_decimal_format_must_give_digits(text):
    class Amount(Decimal):
        def __format__(self, spec):
            return text

    with pytest.raises(TypeError) as e:
        bind("%(v)s", {"v": Amount("1.5")})
    assert (
        str(e.value) == f"Parameter 'v': format(Decimal, 'f') returned {text}, not a decimal number"
    )
