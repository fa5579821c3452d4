import collections
import fractions
from decimal import Decimal

import native_test_ext as ext
import pytest
from kelvora import backends

echo = ext.echo


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
        # keyword names that are equal to a parameter name but not the same object
        ((), {Text("a"): "s", Text("n"): 2}, ("s", 2, "kw", {})),
    ],
)
def test_binding(args, kwargs, expected):
    assert echo(*args, **kwargs) == expected


def test_variadic_keywords_are_a_fresh_dict():
    extra = {"zz": 1}
    rest = echo("x", **extra)[3]
    assert rest == extra and rest is not extra
    assert echo("x")[3] is not echo("x")[3]


@pytest.mark.parametrize(
    ("args", "kwargs", "text"),
    [
        (("x", 1, 2), {}, "echo() takes at most 2 positional arguments (3 given)"),
        ((), {}, "echo() takes at least 1 positional argument (0 given)"),
        ((), {"n": 1, "k": 2}, "echo() takes at least 1 positional argument (0 given)"),
        (("x",), {"a": "y"}, "echo() got multiple values for keyword argument 'a'"),
        (("x", 1), {"n": 2, "a": 3}, "echo() got multiple values for keyword argument 'n'"),
        # the count is checked before the keywords, the keywords before the types
        (("x", 1, 2), {"a": "y"}, "echo() takes at most 2 positional arguments (3 given)"),
        ((None,), {"a": "y"}, "echo() got multiple values for keyword argument 'a'"),
        ((None,), {}, "Argument 'a' has incorrect type (expected str, got NoneType)"),
        ((Text("x"),), {}, "Argument 'a' has incorrect type (expected str, got Text)"),
        ((b"x",), {}, "Argument 'a' has incorrect type (expected str, got bytes)"),
        (("x", "5"), {}, "Argument 'n' has incorrect type (expected int, got str)"),
        (("x", None), {}, "Argument 'n' has incorrect type (expected int, got NoneType)"),
        # conversions come before the exact-type checks
        ((None, "x"), {}, "Argument 'n' has incorrect type (expected int, got str)"),
    ],
)
def test_binding_errors(args, kwargs, text):
    with pytest.raises(TypeError) as e:
        echo(*args, **kwargs)
    assert str(e.value) == text


@pytest.mark.parametrize(
    ("function", "args", "text"),
    [
        (ext.sql_literal, (), "sql_literal() takes exactly 1 positional argument (0 given)"),
        (
            ext.sql_literal,
            ("a", "b"),
            "sql_literal() takes exactly 1 positional argument (2 given)",
        ),
        (ext.live_counts, (1,), "live_counts() takes exactly 0 positional arguments (1 given)"),
        (ext.log_texts, ("a",), "log_texts() takes exactly 3 positional arguments (1 given)"),
        (ext.await_all, (1, 2, 3), "await_all() takes at most 2 positional arguments (3 given)"),
    ],
)
def test_count_errors_of_other_shapes(function, args, text):
    with pytest.raises(TypeError) as e:
        function(*args)
    assert str(e.value) == text


def test_unexpected_keyword_without_variadic():
    with pytest.raises(TypeError) as e:
        ext.sql_literal("x", other=1)
    assert str(e.value) == "sql_literal() got an unexpected keyword argument 'other'"
    with pytest.raises(TypeError) as e:
        ext.sql_literal(text="x", other=1)
    assert str(e.value) == "sql_literal() got an unexpected keyword argument 'other'"
    assert ext.sql_literal(text="x") == "'x'"


@pytest.mark.parametrize(
    ("value", "converted"),
    [
        (2.9, 2),
        (-2.9, -2),
        (True, 1),
        (Decimal("3.7"), 3),
        (fractions.Fraction(7, 2), 3),
        (Index(), 11),
        (2**80, 2**80),
    ],
)
def test_integer_conversion(value, converted):
    n = echo("x", value)[1]
    assert n == converted and type(n) is int


def test_integer_conversion_error_propagates():
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        echo("x", float("nan"))
    with pytest.raises(OverflowError):
        echo("x", float("inf"))


def test_keyword_name_built_at_run_time():
    name = b"table".decode()
    with pytest.raises(TypeError) as e:
        backends.StorageBackend.get_info(None, **{name: 5})
    assert str(e.value) == "Argument 'table' has incorrect type (expected str, got int)"


def test_exact_container_checks():
    with pytest.raises(TypeError) as e:
        backends.StorageBackend.create(None, "t", collections.OrderedDict())
    assert str(e.value) == (
        "Argument 'data' has incorrect type (expected dict, got collections.OrderedDict)"
    )
    with pytest.raises(TypeError) as e:
        backends.StorageBackend.query(None, "t", {}, 1, "2")
    assert str(e.value) == "Argument 'offset' has incorrect type (expected int, got str)"
