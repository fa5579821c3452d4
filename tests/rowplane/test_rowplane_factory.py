"""The module and create_crud_router: argument checks, key resolution, routes and handlers."""

import asyncio
import inspect
import logging
import subprocess
import sys
import typing

import pytest
from fastapi import HTTPException
from pydantic import BaseModel

from kelvora import rowplane
from kelvora.rowplane import GenericListResponse, GenericMessageResponse, create_crud_router


class Text(str):
    pass


class Abort(BaseException):
    """Stands for KeyboardInterrupt: not an ordinary error."""


class Keyed:
    def __init__(self, primary_key):
        self.primary_key = primary_key


def test_module_attributes():
    assert rowplane.__doc__.startswith("\nGeneric CRUD API Factory for Storage Backends\n")
    assert rowplane.FASTAPI_AVAILABLE is True
    assert rowplane.logger is logging.getLogger("kelvora.rowplane")
    assert rowplane.TYPE_CHECKING is False and not hasattr(rowplane, "StorageBackend")
    assert rowplane.Dict is typing.Dict and rowplane.HTTPException is HTTPException
    script = "import sys, kelvora.rowplane; print(sorted(sys.modules))"
    modules = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True).stdout
    assert "kelvora.rowplane" in modules and "kelvora.backends" not in modules


def test_response_models():
    assert GenericListResponse.__doc__ == "Generic paginated list response"
    assert GenericMessageResponse.__doc__ == "Generic success/error message response"
    assert GenericListResponse.__module__ == "kelvora.rowplane"
    listed = GenericListResponse(total=1, items=[{"a": 1}], limit=5, offset=0)
    assert listed.model_dump_json() == '{"total":1,"items":[{"a":1}],"limit":5,"offset":0}'
    message = GenericMessageResponse(message="m")
    assert message.model_dump() == {"message": "m", "status": "success", "details": None}


def test_factory_signature_and_doc():
    signature = inspect.signature(create_crud_router)
    assert str(signature) == (
        "(table_name: 'str', backend: \"'StorageBackend'\", primary_key: 'Optional[str]' = None, "
        "response_model: 'Optional[Type[BaseModel]]' = None, "
        "create_model: 'Optional[Type[BaseModel]]' = None, "
        "update_model: 'Optional[Type[BaseModel]]' = None, "
        "list_model: 'Optional[Type[BaseModel]]' = None, router_prefix: 'Optional[str]' = None, "
        "router_tags: 'Optional[List[str]]' = None, order_by: 'Optional[str]' = None, "
        "filterable_fields: 'Optional[List[str]]' = None, enable_history: 'bool' = False, "
        "timestamp_field: 'str' = 'created_at', async_mode: 'bool' = True, "
        "custom_validators: 'Optional[Dict[str, Callable]]' = None) -> 'APIRouter'"
    )
    doc = create_crud_router.__doc__
    assert doc.startswith(
        "\n    Create a generic CRUD router for any storage backend (ClickHouse, DuckDB, etc.).\n"
    )
    assert "    Returns:\n        FastAPI APIRouter with CRUD endpoints\n" in doc
    assert "    Raises:\n        RuntimeError: If FastAPI is not installed\n" in doc


@pytest.mark.parametrize(
    "kwargs, name, expected, given",
    [
        ({"table_name": 5}, "table_name", "str", "int"),
        ({"table_name": Text("t")}, "table_name", "str", "Text"),
        ({"primary_key": ["id"]}, "primary_key", "str", "list"),
        ({"router_prefix": b"/x"}, "router_prefix", "str", "bytes"),
        ({"order_by": 1, "router_tags": ()}, "order_by", "str", "int"),
        ({"router_tags": ("a",), "timestamp_field": None}, "router_tags", "list", "tuple"),
        ({"filterable_fields": {"a"}}, "filterable_fields", "list", "set"),
        ({"timestamp_field": None}, "timestamp_field", "str", "NoneType"),
        ({"custom_validators": []}, "custom_validators", "dict", "list"),
    ],
)
def test_argument_types(kwargs, name, expected, given):
    arguments = {"table_name": "t", "backend": None, **kwargs}
    with pytest.raises(TypeError) as e:
        create_crud_router(**arguments)
    assert (
        str(e.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {given})"
    )


@pytest.mark.parametrize(
    "backend, primary_key, paths",
    [
        (object(), None, ["/t/", "/t/{id}", "/t/{id}", "/t/{id}/history"]),
        (
            Keyed("order_id"),
            None,
            ["/t/", "/t/{order_id}", "/t/{order_id}", "/t/{order_id}/history"],
        ),
        (Keyed("order_id"), "uid", ["/t/", "/t/{uid}", "/t/{uid}", "/t/{uid}/history"]),
    ],
)
def test_key_resolution(backend, primary_key, paths):
    router = create_crud_router("t", backend, primary_key=primary_key, enable_history=True)
    assert [route.path for route in router.routes] == paths


@pytest.mark.parametrize(
    "key, error, message",
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        (5, TypeError, "Expected str, got int"),
        (Text("id"), TypeError, "Expected str, got Text"),
    ]
    + [
        (
            name,
            ValueError,
            f"Key column name '{name}' cannot be a path parameter: it must start with a letter "
            "or underscore and hold only letters, digits and underscores",
        )
        for name in ["a}/{b", "order-id", "1st", "", "ключ"]
    ],
)
def test_unusable_keys(key, error, message):
    with pytest.raises(error) as e:
        create_crud_router("t", Keyed(key))
    assert str(e.value) == message


def test_failing_key_attribute_propagates():
    class Backend:
        @property
        def primary_key(self):
            raise RuntimeError("no key")

    with pytest.raises(RuntimeError, match="^no key$"):
        create_crud_router("t", Backend())


@pytest.mark.parametrize("prefix", [None, ""])
def test_default_prefix_and_tags(prefix):
    router = create_crud_router("user_events", None, router_prefix=prefix)
    assert (router.prefix, router.tags) == ("/user-events", ["user_events"])
    tags = ["a"]
    assert create_crud_router("t", None, router_prefix="/p", router_tags=tags).tags is tags


def test_routes_in_order():
    class Model(BaseModel):
        id: int

    assert [(r.path, r.methods, r.name) for r in create_crud_router("t", None).routes] == [
        ("/t/", {"GET"}, "list_records"),
        ("/t/{id}", {"GET"}, "get_record"),
        ("/t/{id}", {"DELETE"}, "delete_record"),
    ]
    full = create_crud_router(
        "t",
        None,
        None,
        Model,
        create_model=Model,
        update_model=Model,
        list_model=Model,
        enable_history=1,
    )
    assert [(r.path, r.methods, r.name, r.response_model) for r in full.routes] == [
        ("/t/", {"POST"}, "create_record", Model),
        ("/t/", {"GET"}, "list_records", Model),
        ("/t/{id}", {"GET"}, "get_record", Model),
        ("/t/{id}", {"PUT"}, "update_record", Model),
        ("/t/{id}", {"DELETE"}, "delete_record", GenericMessageResponse),
        ("/t/{id}/history", {"GET"}, "get_record_history", Model),
    ]
    assert [r.description for r in full.routes] == [
        "Create a new record",
        "List records with optional filtering and pagination",
        "Get a record by primary key",
        "Update an existing record",
        "Delete a record by primary key",
        "Get all historical versions of a record",
    ]
    assert all(r.status_code is None and r.dependencies == [] for r in full.routes)
    defaults = [r.response_model for r in create_crud_router("t", None, enable_history=1).routes]
    assert defaults == [
        GenericListResponse,
        typing.Dict,
        GenericMessageResponse,
        GenericListResponse,
    ]


def test_handlers_are_coroutine_functions(handlers):
    get_record = handlers(create_crud_router("t", None))["get_record"]
    assert inspect.iscoroutinefunction(get_record) and asyncio.iscoroutinefunction(get_record)
    assert get_record.__qualname__ == "create_crud_router.<locals>.get_record"
    assert get_record.__module__ == "kelvora.rowplane"
    client, key = inspect.signature(get_record).parameters.values()
    assert (client.kind, key.kind, key.annotation) == (
        client.POSITIONAL_OR_KEYWORD,
        key.KEYWORD_ONLY,
        str,
    )
    dependency = client.default.dependency
    assert inspect.iscoroutinefunction(dependency)
    assert dependency.__doc__ == "Return the backend client for dependency injection"


def test_direct_calls(make_client, handlers):
    client = make_client({"count": [(3,)]})
    found = handlers(
        create_crud_router("t", client, filterable_fields=["status"], async_mode=False)
    )
    answer = asyncio.run(found["list_records"](2.9, True, client, status="s", other="o"))
    assert answer == GenericListResponse(total=3, items=[], limit=2, offset=1)
    assert client.calls[1] == (
        client.calls[1][0],
        {"status": "s", "limit": 2, "offset": 1},
        "MainThread",
    )
    with pytest.raises(TypeError) as e:
        found["list_records"]("5", 0, client)
    assert str(e.value) == "Argument 'limit' has incorrect type (expected int, got str)"

    client.answers = {"exists": [(42,)]}
    asyncio.run(found["delete_record"](client, id=42))
    assert client.statements()[-1] == ("ALTER TABLE t DELETE WHERE id = 42", {})
    client.answers = {}
    for pk_values in ({}, {"id": None}, {"other": 1}):
        with pytest.raises(HTTPException) as e:
            asyncio.run(found["get_record"](client, **pk_values))
        assert (e.value.status_code, e.value.detail) == (400, "Missing primary key field: id")
    with pytest.raises(HTTPException) as e:
        asyncio.run(found["get_record"](client, id=1, b="x"))
    assert e.value.detail == "Record with id=1, b=x not found in t"


@pytest.mark.parametrize(
    "value, literal",
    [
        (42, "42"),
        (1.5, "1.5"),
        ("42", "'42'"),
        (Text("it's"), "'it\\'s'"),
        (True, "'True'"),
        (type("Sly", (), {"__format__": lambda self, how: "1 OR 1=1"})(), "'1 OR 1=1'"),
    ],
)
def test_delete_literals_stay_one_value(make_client, handlers, value, literal):
    client = make_client({"exists": [(1,)]})
    asyncio.run(handlers(create_crud_router("t", client))["delete_record"](client, id=value))
    assert client.statements()[-1] == ("ALTER TABLE t DELETE WHERE id = " + literal, {})


def test_guard_lets_non_exceptions_through(make_client, handlers, caplog):
    client = make_client(failures={"select": Abort()})
    with pytest.raises(Abort):
        asyncio.run(handlers(create_crud_router("t", client))["get_record"](client, id=1))
    client.failures = {"select": RuntimeError("down")}
    with pytest.raises(HTTPException) as e:
        asyncio.run(handlers(create_crud_router("t", client))["get_record"](client, id=1))
    assert e.value.__cause__ is None and e.value.__context__ is None
    assert [r.getMessage() for r in caplog.records] == ["Error getting record from t: down"]


def test_without_the_framework():
    script = (
        "import sys; sys.modules['fastapi'] = None\n"
        "from kelvora import rowplane as m\n"
        "print(m.FASTAPI_AVAILABLE, m.APIRouter, m.BaseModel, hasattr(m, 'run_in_threadpool'),"
        " hasattr(m, 'GenericListResponse'))\n"
        "for args in [(5, None), ('t', None)]:\n"
        "    try:\n"
        "        m.create_crud_router(*args)\n"
        "    except Exception as e:\n"
        "        print(type(e).__name__, e)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.splitlines() == [
        "False None None False False",
        "TypeError Argument 'table_name' has incorrect type (expected str, got int)",
        "RuntimeError FastAPI is required for CRUD API. Install with: pip install kelvora[api]",
    ], result.stderr
