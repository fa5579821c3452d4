"""The StorageBackend protocol and the argument checks every backend's operations share."""

import subprocess
import sys
from collections import OrderedDict

import pytest

from kelvora.backends import ClickHouseBackend, DuckDbBackend, StorageBackend

OPERATIONS = ["query", "create", "update", "delete", "get_by_id", "get_info"]


class Text(str):
    pass


class Number:
    """Not an int, but a number int() accepts."""

    def __int__(self):
        return 4


def operation(name):
    def method(self, *args, **kwargs):
        return None

    method.__name__ = name
    return method


def class_with(names):
    return type("Shaped", (), {name: operation(name) for name in names})


class Declared(StorageBackend):
    """Takes the protocol's own operations by explicit derivation."""


@pytest.fixture(params=["StorageBackend", "ClickHouseBackend", "DuckDbBackend"])
def target(request, make_client, make_cache):
    """A backend of each kind, and the store object whose calls it records."""
    if request.param == "StorageBackend":
        return Declared(), None
    if request.param == "ClickHouseBackend":
        client = make_client()
        return ClickHouseBackend(client), client
    cache = make_cache()
    return DuckDbBackend(cache, "db"), cache


@pytest.mark.parametrize(
    "backend",
    [
        lambda c, m: ClickHouseBackend(c),
        lambda c, m: DuckDbBackend(m, "db"),
        lambda c, m: class_with(OPERATIONS)(),
        lambda c, m: Declared(),
    ],
    ids=["clickhouse", "duckdb", "unrelated-with-all-six", "derived"],
)
def test_isinstance_positive(backend, make_client, make_cache):
    assert isinstance(backend(make_client(), make_cache()), StorageBackend)


@pytest.mark.parametrize("missing", OPERATIONS)
def test_isinstance_negative_when_one_operation_lacks(missing):
    shaped = class_with([n for n in OPERATIONS if n != missing])
    assert not isinstance(shaped(), StorageBackend)


@pytest.mark.parametrize("obj", [object(), None, {}, "query"])
def test_isinstance_negative_for_plain_objects(obj):
    assert not isinstance(obj, StorageBackend)


@pytest.mark.parametrize(
    "name, args",
    [
        ("query", ("t", {}, 10, 0)),
        ("create", ("t", {"a": 1})),
        ("update", ("t", 7, {"a": 1})),
        ("delete", ("t", object())),
        ("get_by_id", ("t", None)),
        ("get_info", ("t",)),
    ],
)
def test_protocol_operations_do_nothing(name, args):
    assert getattr(StorageBackend, name)(object(), *args) is None
    assert getattr(Declared(), name)(*args) is None


def test_protocol_query_still_checks_arguments():
    with pytest.raises(TypeError) as e:
        StorageBackend.query(object(), "t", None, 10, 0)
    assert str(e.value) == "Argument 'filters' has incorrect type (expected dict, got NoneType)"


@pytest.mark.parametrize("limit", [2.9, True, Number(), 7])
def test_protocol_query_accepts_numbers(limit):
    assert StorageBackend.query(object(), "t", {}, limit, 0.5) is None


def count(name, n, given):
    return f"{name}() takes exactly {n} positional arguments ({given} given)"


def wrong_type(name, expected, given):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {given})"


ARGUMENT_ERRORS = [
    # The count of positional arguments comes first; a missing parameter counts as the point
    # where the arguments ran out.
    ("query", ("t",), {}, count("query", 5, 2)),
    ("query", ("t",), {"filters": {}}, count("query", 5, 3)),
    ("query", (), {"table": "t", "filters": {}, "limit": 1}, count("query", 5, 4)),
    ("query", ("t", {}, 1, 2, 3), {}, count("query", 5, 6)),
    ("query", (None,), {"x": 1}, count("query", 5, 2)),
    ("query", (None, None, "a"), {}, count("query", 5, 4)),
    # Then keywords that fit no parameter or repeat one.
    ("query", ("t", {}, 1, 2), {"x": 1}, "query() got an unexpected keyword argument 'x'"),
    (
        "query",
        ("t", {}, 1, 2),
        {"table": "u"},
        "query() got multiple values for keyword argument 'table'",
    ),
    ("query", (None, None, "a", "b"), {"x": 1}, "query() got an unexpected keyword argument 'x'"),
    # Then limit and offset, before table and filters.
    ("query", (None, None, "5", None), {}, wrong_type("limit", "int", "str")),
    ("query", (None, None, 5, None), {}, wrong_type("offset", "int", "NoneType")),
    ("query", (None, None, 5, 0), {}, wrong_type("table", "str", "NoneType")),
    ("query", (Text("t"), None, 5, 0), {}, wrong_type("table", "str", "Text")),
    (
        "query",
        ("t", OrderedDict(), 5, 0),
        {},
        wrong_type("filters", "dict", "collections.OrderedDict"),
    ),
    ("query", ("t", [], 5, [1]), {}, wrong_type("offset", "int", "list")),
    ("create", (), {}, count("create", 3, 1)),
    ("create", ("t", {}, {}), {}, count("create", 3, 4)),
    (
        "create",
        ("t",),
        {"data": {}, "extra": 1},
        "create() got an unexpected keyword argument 'extra'",
    ),
    ("create", (None, None), {}, wrong_type("table", "str", "NoneType")),
    ("create", ("t", []), {}, wrong_type("data", "dict", "list")),
    (
        "create",
        ("t",),
        {"data": OrderedDict()},
        wrong_type("data", "dict", "collections.OrderedDict"),
    ),
    ("update", ("t", 1), {}, count("update", 4, 3)),
    ("update", (None, 1, None), {}, wrong_type("table", "str", "NoneType")),
    ("update", ("t", 1, None), {}, wrong_type("data", "dict", "NoneType")),
    (
        "update",
        ("t",),
        {"data": {}, "id_value": 1, "table": "u"},
        "update() got multiple values for keyword argument 'table'",
    ),
    ("delete", ("t", 1, 2), {}, count("delete", 3, 4)),
    ("delete", (b"t", 1), {}, wrong_type("table", "str", "bytes")),
    ("get_by_id", ("t",), {}, count("get_by_id", 3, 2)),
    ("get_by_id", (), {"id_value": 1}, count("get_by_id", 3, 1)),
    ("get_by_id", (1, 1), {}, wrong_type("table", "str", "int")),
    ("get_info", (), {}, "get_info() takes exactly 2 positional arguments (1 given)"),
    ("get_info", ("t", "u"), {}, count("get_info", 2, 3)),
    ("get_info", (), {"table": 1}, wrong_type("table", "str", "int")),
    (
        "get_info",
        ("t",),
        {"table": "u"},
        "get_info() got multiple values for keyword argument 'table'",
    ),
]


@pytest.mark.parametrize("name, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(target, name, args, kwargs, message):
    backend, store = target
    with pytest.raises(TypeError) as e:
        getattr(backend, name)(*args, **kwargs)
    assert str(e.value) == message
    if store is not None:
        assert store.calls == []


@pytest.fixture(params=[(ClickHouseBackend, ""), (DuckDbBackend, " in cache")], ids=["ch", "duck"])
def scripted(request):
    """An adapter subclass whose `query` answers from a script and records how it was called."""
    base, suffix = request.param

    class Scripted(base):
        def __init__(self, answer, rename=None):
            base.__init__(self, None, *(["db"] if base is DuckDbBackend else []))
            self.answer, self.rename, self.seen = answer, rename, []

        def query(self, *args, **kwargs):
            self.seen.append((args, kwargs))
            if self.rename:
                self.primary_key = self.rename
            return self.answer

    return Scripted, suffix


def test_get_by_id_uses_the_instance_query(scripted):
    scripted, _ = scripted
    backend = scripted([{"id": 5, "x": 1}, {"id": 6}])
    assert backend.get_by_id("t", 5) == {"id": 5, "x": 1}
    assert backend.seen == [(("t", {"id": 5}), {"limit": 1, "offset": 0})]
    assert scripted([None]).get_by_id("t", 5) is None
    assert scripted(({"a": 1},)).get_by_id("t", 5) == {"a": 1}


@pytest.mark.parametrize("answer, given", [([[1, 2]], "list"), ([("a",)], "tuple")])
def test_get_by_id_refuses_a_first_element_that_is_not_a_record(scripted, answer, given):
    with pytest.raises(TypeError) as e:
        scripted[0](answer).get_by_id("t", 1)
    assert str(e.value) == f"Expected dict, got {given}"


@pytest.mark.parametrize("empty", [[], (), None, 0])
def test_get_by_id_reads_the_key_column_again(scripted, empty):
    scripted, suffix = scripted
    with pytest.raises(ValueError) as e:
        scripted(empty, rename="other").get_by_id("t", 3)
    assert str(e.value) == "Record with other=3 not found" + suffix


@pytest.mark.parametrize("name", ["x\x00y", "\udc80"], ids=["nul", "lone-surrogate"])
def test_unexpected_keyword_of_any_text(name):
    # Run apart: a keyword name that is not plain UTF-8 text must not take the interpreter down.
    code = (
        "from kelvora.backends import StorageBackend\n"
        "try:\n"
        f"    StorageBackend.query(None, 't', {{}}, 1, 0, **{{{name!r}: 1}})\n"
        "except TypeError as e:\n"
        "    print(ascii(str(e)))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], check=False, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == ascii(f"query() got an unexpected keyword argument '{name}'") + "\n"
