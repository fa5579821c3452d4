import asyncio
import functools
import inspect
import typing

import native_test_ext as ext
import pytest
from kelvora import backends

COROUTINE_FUNCTIONS = [ext.await_all, ext.await_guarded, ext.raise_after]


@pytest.fixture
def restored():
    """Gives the shared module functions back their settable attributes after a test."""
    saved = [
        (f, {k: getattr(f, k) for k in ("__name__", "__qualname__", "__module__", "__doc__")})
        for f in (ext.echo, ext.await_all)
    ]
    annotations = {f: dict(f.__annotations__) for f, _ in saved}
    yield
    for f, attributes in saved:
        for key, value in attributes.items():
            setattr(f, key, value)
        f.__annotations__ = annotations[f]
        del f.__signature__
        f.__dict__.clear()


def test_function_attributes():
    f = ext.echo
    assert (f.__name__, f.__qualname__, f.__module__) == ("echo", "echo", "native_test_ext")
    assert f.__doc__ == "Echoes its arguments."
    assert f.__annotations__ == {"a": "str", "n": "int", "return": "tuple"}
    assert f.__defaults__ == (7,)
    assert f.__kwdefaults__ == {"k": "kw"}
    assert ext.sql_literal.__doc__ is None
    assert ext.sql_literal.__defaults__ is None and ext.sql_literal.__annotations__ == {}
    assert repr(f) == f"<function echo at {id(f):#x}>"
    method = backends.ClickHouseBackend.query
    assert (method.__qualname__, method.__module__) == (
        "ClickHouseBackend.query",
        "kelvora.backends",
    )


def test_settable_attributes(restored):
    f = ext.echo
    f.__name__, f.__qualname__, f.__module__, f.__doc__ = "n", "Q.n", "mod", "doc"
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == ("n", "Q.n", "mod", "doc")
    f.marker = 3
    assert f.__dict__ == {"marker": 3} and f.marker == 3
    f.__annotations__ = {"x": "int"}
    assert f.__annotations__ == {"x": "int"}
    f.__annotations__ = None
    assert f.__annotations__ == {}


@pytest.mark.parametrize(
    ("name", "value", "text"),
    [
        ("__name__", 5, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ],
)
def test_attribute_type_refused(name, value, text):
    with pytest.raises(TypeError) as e:
        setattr(ext.echo, name, value)
    assert str(e.value) == text
    with pytest.raises(TypeError):
        delattr(ext.echo, "__name__")


def test_signature():
    assert (
        str(inspect.signature(ext.echo)) == "(a: 'str', n: 'int' = 7, *, k='kw', **rest) -> 'tuple'"
    )
    assert ext.echo.__signature__ is inspect.signature(ext.echo)
    for f in COROUTINE_FUNCTIONS:
        assert str(inspect.signature(f)) == "(awaitable, text=None)"
    assert str(inspect.signature(ext.live_counts)) == "()"
    assert str(inspect.signature(backends.StorageBackend.get_info)) == (
        "(self, table: 'str') -> 'Dict'"
    )
    assert typing.get_type_hints(ext.echo) == {"a": str, "n": int, "return": tuple}


def test_signature_settable(restored):
    replacement = inspect.Signature([inspect.Parameter("z", inspect.Parameter.KEYWORD_ONLY)])
    ext.echo.__signature__ = replacement
    assert inspect.signature(ext.echo) is replacement
    del ext.echo.__signature__
    assert str(inspect.signature(ext.echo)).startswith("(a: 'str'")


def test_wraps_copies_attributes():
    @functools.wraps(ext.echo)
    def wrapper(*args, **kwargs):
        return ext.echo(*args, **kwargs)

    assert (wrapper.__name__, wrapper.__doc__) == ("echo", "Echoes its arguments.")
    assert inspect.signature(wrapper) == inspect.signature(ext.echo)
    assert wrapper("x", k=1) == ("x", 7, 1, {})


def test_code_object():
    code = ext.echo.__code__
    assert (code.co_name, code.co_qualname) == ("echo", "echo")
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_posonlyargcount) == (2, 1, 0)
    assert code.co_varnames == ("a", "n", "k", "rest")
    assert code.co_flags & inspect.CO_VARKEYWORDS
    assert not code.co_flags & (inspect.CO_COROUTINE | inspect.CO_VARARGS)
    assert ext.echo.__code__ is code
    assert backends.DuckDbBackend.get_by_id.__code__.co_qualname == "DuckDbBackend.get_by_id"
    coroutine_code = ext.await_all.__code__
    assert coroutine_code.co_flags & inspect.CO_COROUTINE
    assert coroutine_code.co_varnames == ("awaitable", "text")
    assert inspect.getfullargspec(ext.echo).kwonlydefaults == {"k": "kw"}


@pytest.mark.parametrize("f", [ext.echo, *COROUTINE_FUNCTIONS])
def test_inspect_classification(f):
    coroutine = f in COROUTINE_FUNCTIONS
    assert inspect.isroutine(f)
    assert inspect.iscoroutinefunction(f) is coroutine
    assert asyncio.iscoroutinefunction(f) is coroutine

    class Holder:
        method = f

    assert inspect.iscoroutinefunction(Holder().method) is coroutine


def test_binds_as_method():
    class Text(str):
        quoted = ext.clickhouse_literal

    class Shown:
        shown = ext.py_format

        def __format__(self, spec):
            return f"shown[{spec}]"

    assert Text("it's").quoted() == "'it\\'s'"
    bound = Text("a").quoted
    assert bound.__self__ == "a" and bound.__func__ is ext.clickhouse_literal
    assert bound() == "'a'"
    assert Text.quoted("b") == "'b'"
    assert Shown().shown() == "shown[]"
    assert Shown.shown(Shown()) == "shown[]"
    instance = Shown()
    instance.own = ext.sql_literal  # instance attributes do not bind
    assert instance.own("x") == "'x'"


def test_backend_method_checks_its_arguments():
    protocol = backends.StorageBackend
    assert protocol.query(object(), "t", {}, 1.5, True) is None
    with pytest.raises(TypeError) as e:
        protocol.create(object(), "t", [])
    assert str(e.value) == "Argument 'data' has incorrect type (expected dict, got list)"


def test_coroutine_method_is_awaited():
    class Ready:
        guarded = ext.await_guarded

        def __await__(self):
            return (yield from asyncio.sleep(0, result="ready").__await__())

    assert asyncio.run(Ready().guarded()) == "ready"


async def _two():
    await asyncio.sleep(0)
    return "two"


@pytest.mark.parametrize(
    ("function", "provide", "body"),
    [
        (ext.await_all, lambda: [asyncio.sleep(0, result=1), _two()], [1, "two"]),
        (ext.await_guarded, _two, "two"),
    ],
)
def test_fastapi_coroutine_endpoint(function, provide, body):
    import fastapi
    import httpx

    def provider():
        return provide()

    original = function.__signature__
    function.__signature__ = inspect.Signature(
        [
            inspect.Parameter(
                "awaitable", inspect.Parameter.KEYWORD_ONLY, default=fastapi.Depends(provider)
            )
        ]
    )
    try:
        app = fastapi.FastAPI()
        app.get("/")(function)

        async def request():
            transport = httpx.ASGITransport(app=app)
            async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
                return await client.get("/")

        response = asyncio.run(request())
    finally:
        function.__signature__ = original
    assert (response.status_code, response.json()) == (200, body)
