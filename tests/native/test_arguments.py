import collections
import fractions
from decimal import Decimal

import native_test_ext as ext
import pytest

from kelvora import backends


class Text(str):
    pass


class Index:
    def __index__(self):
        return 11


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        (("x",), {}, ("x", 7, "kw", {})),
        (("x", 3), {"k": None}, ("x", 3, None, {})),
        ((), {"n": 1, "a": "y"}, ("y", 1, "kw", {})),
        (("x",), {"zz": 1, "rest": 2}, ("x", 7, "kw", {"zz": 1, "rest": 2})),
        ((), {Text("a"): "s", Text("n"): 2}, ("s", 2, "kw", {})),  # equal names, other objects
    ],
)
def test_binding(args, kwargs, expected):
    assert ext.echo(*args, **kwargs) == expected


def test_variadic_keywords_are_a_fresh_dict():
    extra = {"zz": 1}
    assert ext.echo("x", **extra)[3] is not extra
    assert ext.echo("x")[3] is not ext.echo("x")[3]


@pytest.mark.parametrize(
    ("function", "args", "kwargs", "text"),
    [
        (ext.echo, ("x", 1, 2), {}, "echo() takes at most 2 positional arguments (3 given)"),
        (ext.echo, (), {}, "echo() takes at least 1 positional argument (0 given)"),
        (ext.echo, (), {"n": 1, "k": 2}, "echo() takes at least 1 positional argument (0 given)"),
        (ext.echo, ("x",), {"a": "y"}, "echo() got multiple values for keyword argument 'a'"),
        (
            ext.echo,
            ("x", 1),
            {"n": 2, "a": 3},
            "echo() got multiple values for keyword argument 'n'",
        ),
        # the count is reported before the keywords, the keywords before the types
        (
            ext.echo,
            ("x", 1, 2),
            {"a": "y"},
            "echo() takes at most 2 positional arguments (3 given)",
        ),
        (ext.echo, (None,), {"a": "y"}, "echo() got multiple values for keyword argument 'a'"),
        (ext.echo, (None,), {}, "Argument 'a' has incorrect type (expected str, got NoneType)"),
        (ext.echo, (Text(),), {}, "Argument 'a' has incorrect type (expected str, got Text)"),
        (ext.echo, ("x", "5"), {}, "Argument 'n' has incorrect type (expected int, got str)"),
        # conversions come before the exact-type checks
        (ext.echo, (None, "x"), {}, "Argument 'n' has incorrect type (expected int, got str)"),
        (
            ext.sql_literal,
            ("a", "b"),
            {},
            "sql_literal() takes exactly 1 positional argument (2 given)",
        ),
        (ext.live_counts, (1,), {}, "live_counts() takes exactly 0 positional arguments (1 given)"),
        (
            ext.sql_literal,
            (),
            {"text": "x", "o": 1},
            "sql_literal() got an unexpected keyword argument 'o'",
        ),
        (
            backends.StorageBackend.create,
            (None, "t", collections.OrderedDict()),
            {},
            "Argument 'data' has incorrect type (expected dict, got collections.OrderedDict)",
        ),
        (
            backends.StorageBackend.get_info,
            (None,),
            {b"table".decode(): 5},  # a name made at run time, not the interned one
            "Argument 'table' has incorrect type (expected str, got int)",
        ),
    ],
)
def test_binding_errors(function, args, kwargs, text):
    with pytest.raises(TypeError) as e:
        function(*args, **kwargs)
    assert str(e.value) == text


@pytest.mark.parametrize(
    ("value", "converted"),
    [
        (2.9, 2),
        (-2.9, -2),
        (True, 1),
        (Decimal("3.7"), 3),
        (fractions.Fraction(7, 2), 3),
        (Index(), 11),
    ],
)
def test_integer_conversion(value, converted):
    n = ext.echo("x", value)[1]
    assert n == converted and type(n) is int


def test_integer_conversion_error_propagates():
    with pytest.raises(ValueError, match="^cannot convert float NaN to integer$"):
        ext.echo("x", float("nan"))


@pytest.mark.parametrize(
    "call, text",
    [
        (
            lambda: ext.returns_first({}, (), key=0),
            "Argument 'items' has incorrect type (expected list, got tuple)",
        ),
        (lambda: ext.returns_first([], [], key=1), "Expected dict, got list"),
        (lambda: ext.returns_first({}, []), "returns_first() needs keyword-only argument key"),
    ],
    ids=["exact list", "return check", "keyword-only missing"],
)
def test_list_return_and_keyword_only_checks(call, text):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == text


@pytest.mark.parametrize("value", [None, {"a": 1}])
def test_return_check_accepts_dict_or_none(value):
    assert ext.returns_first(value, [], key=0) is value
