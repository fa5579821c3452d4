import asyncio
import inspect
import typing

import native_test_ext as ext
import pytest

from kelvora import backends

COROUTINE_FUNCTIONS = [ext.await_all, ext.await_guarded, ext.raise_after]


@pytest.fixture
def echo():
    """The shared echo function, given back its settable attributes afterwards."""
    f = ext.echo
    saved = {k: getattr(f, k) for k in ("__name__", "__qualname__", "__module__", "__doc__")}
    annotations = dict(f.__annotations__)
    yield f
    for key, value in saved.items():
        setattr(f, key, value)
    f.__annotations__ = annotations
    del f.__signature__
    f.__dict__.clear()


def test_attributes():
    f = ext.echo
    assert (f.__name__, f.__qualname__, f.__module__) == ("echo", "echo", "native_test_ext")
    assert (f.__doc__, f.__defaults__, f.__kwdefaults__) == (
        "Echoes its arguments.",
        (7,),
        {"k": "kw"},
    )
    assert f.__annotations__ == {"a": "str", "n": "int", "return": "tuple"}
    assert typing.get_type_hints(f) == {"a": str, "n": int, "return": tuple}
    assert (ext.sql_literal.__doc__, ext.sql_literal.__defaults__) == (None, None)
    assert repr(f) == f"<function echo at {id(f):#x}>"
    method = backends.ClickHouseBackend.query
    assert (method.__qualname__, method.__module__) == (
        "ClickHouseBackend.query",
        "kelvora.backends",
    )


def test_settable_attributes(echo):
    echo.__name__, echo.__qualname__, echo.__module__, echo.__doc__ = "n", "Q.n", "m", "d"
    assert (echo.__name__, echo.__qualname__, echo.__module__, echo.__doc__) == (
        "n",
        "Q.n",
        "m",
        "d",
    )
    echo.marker = 3
    assert echo.__dict__ == {"marker": 3}
    echo.__annotations__ = None
    assert echo.__annotations__ == {}
    for name, value, text in [
        ("__name__", 5, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ]:
        with pytest.raises(TypeError) as e:
            setattr(echo, name, value)
        assert str(e.value) == text


def test_signature(echo):
    assert str(inspect.signature(echo)) == "(a: 'str', n: 'int' = 7, *, k='kw', **rest) -> 'tuple'"
    assert echo.__signature__ is inspect.signature(echo)
    assert [str(inspect.signature(f)) for f in COROUTINE_FUNCTIONS] == [
        "(awaitable, text=None)"
    ] * 3
    assert (
        str(inspect.signature(backends.StorageBackend.get_info)) == "(self, table: 'str') -> 'Dict'"
    )
    replacement = inspect.Signature([inspect.Parameter("z", inspect.Parameter.KEYWORD_ONLY)])
    echo.__signature__ = replacement
    assert inspect.signature(echo) is replacement
    del echo.__signature__
    assert str(inspect.signature(echo)).startswith("(a: 'str'")


def test_code_object():
    code = ext.echo.__code__
    assert (code.co_name, code.co_qualname, code.co_varnames) == (
        "echo",
        "echo",
        ("a", "n", "k", "rest"),
    )
    assert (code.co_argcount, code.co_kwonlyargcount, code.co_posonlyargcount) == (2, 1, 0)
    assert code.co_flags & inspect.CO_VARKEYWORDS
    assert not code.co_flags & (inspect.CO_COROUTINE | inspect.CO_VARARGS)
    assert ext.echo.__code__ is code
    assert backends.DuckDbBackend.get_by_id.__code__.co_qualname == "DuckDbBackend.get_by_id"
    assert ext.await_all.__code__.co_flags & inspect.CO_COROUTINE
    assert inspect.getfullargspec(ext.echo).kwonlydefaults == {"k": "kw"}


@pytest.mark.parametrize("f", [ext.echo, ext.py_format, *COROUTINE_FUNCTIONS])
def test_inspect_classification(f):
    coroutine = f in COROUTINE_FUNCTIONS

    class Holder:
        method = f

    assert inspect.isroutine(f)
    assert inspect.iscoroutinefunction(f) is asyncio.iscoroutinefunction(f) is coroutine
    assert inspect.iscoroutinefunction(Holder().method) is coroutine


def test_binds_as_method():
    class Text(str):
        quoted = ext.clickhouse_literal

    class Ready:
        guarded = ext.await_guarded

        def __await__(self):
            return (yield from asyncio.sleep(0, result="ready").__await__())

    assert Text("it's").quoted() == "'it\\'s'"
    bound = Text("a").quoted
    assert (bound.__self__, bound.__func__, bound()) == ("a", ext.clickhouse_literal, "'a'")
    assert Text.quoted("b") == "'b'"
    assert asyncio.run(Ready().guarded()) == "ready"
    instance = Ready()
    instance.own = ext.sql_literal  # instance attributes do not bind
    assert instance.own("x") == "'x'"


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
    parameter = inspect.Parameter(
        "awaitable", inspect.Parameter.KEYWORD_ONLY, default=fastapi.Depends(provider)
    )
    function.__signature__ = inspect.Signature([parameter])
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
