"""The module kelvora.setplane and its factory: attributes, models, arguments, routes, OpenAPI."""

import asyncio
import inspect
import logging
import os
import subprocess
import sys
import types
import typing
from typing import Any, Dict, List, Optional

import fastapi
import pydantic
import pytest
from fastapi.concurrency import run_in_threadpool
from setplane_routes import ROUTES

from kelvora import setplane
from kelvora.setplane import create_config_router

TYPING = ["Any", "Callable", "Dict", "List", "Optional", "Type"]
FRAMEWORK = ["APIRouter", "Depends", "HTTPException", "Body"]
REQUIRED = ...
MODELS = {
    "ConfigVersionInfo": ("Config version information", {
        "config_name": (str, REQUIRED), "environment": (str, REQUIRED),
        "version": (int, REQUIRED), "updated_at": (Optional[str], None)}),
    "ConfigVersionsResponse": ("List of config versions", {
        "status": (str, "success"), "total_versions": (int, REQUIRED),
        "versions": (List[setplane.ConfigVersionInfo], REQUIRED)}),
    "ConfigVersionDetailResponse": ("Detailed config version", {
        "status": (str, "success"), "version": (int, REQUIRED),
        "updated_at": (Optional[str], None), "config": (Dict[str, Any], REQUIRED)}),
    "ConfigReloadResponse": ("Config reload response", {
        "status": (str, "success"), "message": (str, REQUIRED),
        "config": (Optional[Dict[str, Any]], None)}),
}  # fmt: skip
FACTORY_DOC = """Create a config management router for ConfigStore.

Args:
    config_store: ConfigStore instance to manage
    config_model: Optional Pydantic model for validating the full config
    reload_callback: Optional callback run after config changes (sync or async)
    auth_dependency: Optional FastAPI dependency for authentication
    router_prefix: URL prefix (default: "/config")
    router_tags: OpenAPI tags (default: ["config"])
    enable_section_endpoints: Enable section-level endpoints (default: True)
    enable_version_endpoints: Enable version management endpoints (default: True)
    enable_database_endpoints: Enable database config endpoints (default: True)

Returns:
    FastAPI APIRouter with config management endpoints

Raises:
    RuntimeError: If FastAPI is not installed"""
BODIES = {"replace_config": "New Config", "update_config": "Patch", "payload": "Payload"}
BODIES |= {"replace_section": "Section Config", "update_config_version": "Payload"}
BODIES |= {"patch_config_version": "Patch"}
PATH_SCHEMAS = {"section": {"type": "string", "title": "Section"}}
PATH_SCHEMAS["version"] = {"type": "integer", "title": "Version"}
HINT = "FastAPI is required for config API. Install with: pip install kelvora[api]"


class Text(str):
    pass


def run_python(code):
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=os.environ, check=False
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def routes_of(router):
    return [
        (*r.methods, r.path, r.name, getattr(r.response_model, "__name__", None))
        for r in router.routes
    ]


def test_module_attributes():
    names = [n for n in vars(setplane) if not (n.startswith("__") and n.endswith("__"))]
    module_level = ["asyncio", "logging", *TYPING, *FRAMEWORK, "run_in_threadpool", "BaseModel"]
    assert names == [*module_level, "FASTAPI_AVAILABLE", "logger", *MODELS, "create_config_router"]
    assert [getattr(setplane, n) for n in module_level] == [
        asyncio, logging, *(getattr(typing, n) for n in TYPING),
        *(getattr(fastapi, n) for n in FRAMEWORK), run_in_threadpool, pydantic.BaseModel,
    ]  # fmt: skip
    assert setplane.FASTAPI_AVAILABLE is True
    assert setplane.logger is logging.getLogger("kelvora.setplane")
    doc = inspect.cleandoc(setplane.__doc__)
    assert doc.startswith("Config-Specific API Factory for ConfigStore\n\n")
    assert 'a section named "versions" is read through GET /config/' in doc.replace("\n", " ")


def test_response_models():
    for name, (doc, fields) in MODELS.items():
        model = getattr(setplane, name)
        assert model.__bases__ == (pydantic.BaseModel,)
        assert (model.__doc__, model.__module__, model.__qualname__) == (
            doc,
            setplane.__name__,
            name,
        )
        assert {
            field: (info.annotation, REQUIRED if info.is_required() else info.default)
            for field, info in model.model_fields.items()
        } == fields
        assert list(model.model_fields) == list(fields)


def test_factory_signature_and_doc():
    assert str(inspect.signature(create_config_router)) == (
        "(config_store, config_model: 'Optional[Type[BaseModel]]' = None,"
        " reload_callback: 'Optional[Callable]' = None,"
        " auth_dependency: 'Optional[Callable]' = None, router_prefix: 'str' = '/config',"
        " router_tags: 'Optional[List[str]]' = None, enable_section_endpoints: 'bool' = True,"
        " enable_version_endpoints: 'bool' = True, enable_database_endpoints: 'bool' = True)"
        " -> 'APIRouter'"
    )
    assert inspect.cleandoc(create_config_router.__doc__) == FACTORY_DOC


def wrong(name, expected, given):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {given})"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((None,), {"router_prefix": None}, wrong("router_prefix", "str", "NoneType")),
        (
            ("x",),
            {"router_prefix": Text(), "router_tags": ()},
            wrong("router_prefix", "str", "Text"),
        ),
        (("x",), {"router_tags": ("a",)}, wrong("router_tags", "list", "tuple")),
        (("x",), {}, "config_store must be an instance of ConfigStore"),
        ((), {}, "create_config_router() takes at least 1 positional argument (0 given)"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as refused:
        create_config_router(*args, **kwargs)
    assert str(refused.value) == message


def test_backend_is_imported_on_every_call(store, monkeypatch):
    other = types.ModuleType("kelvora.backend")
    other.ConfigStore = type("ConfigStore", (), {"config_name": "other"})
    monkeypatch.setitem(sys.modules, "kelvora.backend", other)
    assert len(create_config_router(other.ConfigStore()).routes) == 14
    with pytest.raises(TypeError):
        create_config_router(store)
    monkeypatch.setitem(sys.modules, "kelvora.backend", None)
    with pytest.raises(ImportError) as refused:
        create_config_router(store)
    assert str(refused.value) == "import of kelvora.backend halted; None in sys.modules"


def test_store_without_config_name(store):
    del store.config_name
    with pytest.raises(AttributeError):
        create_config_router(store)


@pytest.mark.parametrize(
    ("tags", "expected"), [(None, ["config"]), ([], ["config"]), (["a", "b"], ["a", "b"])]
)
def test_prefix_and_tags(store, tags, expected):
    router = create_config_router(store, router_prefix="/admin/cfg", router_tags=tags)
    assert (router.prefix, router.tags, router.dependencies) == ("/admin/cfg", expected, [])
    assert {tuple(route.tags) for route in router.routes} == {tuple(expected)}


@pytest.mark.parametrize("sections", [True, False])
@pytest.mark.parametrize("versions", [1, 0])
@pytest.mark.parametrize("database", ["yes", ""])
def test_routes_in_table_order(store, sections, versions, database):
    router = create_config_router(
        store,
        enable_section_endpoints=sections,
        enable_version_endpoints=versions,
        enable_database_endpoints=database,
    )
    kept = [True] * 4 + [sections] * 3 + [bool(versions)] * 6 + [bool(database)]
    expected = [
        (m, "/config" + p, n, r) for (m, p, n, r, _), k in zip(ROUTES, kept, strict=True) if k
    ]
    assert routes_of(router) == expected


def test_handlers_are_coroutine_functions(store):
    for route in create_config_router(store).routes:
        handler = route.endpoint
        assert inspect.iscoroutinefunction(handler) and asyncio.iscoroutinefunction(handler)
        assert (handler.__name__, handler.__module__) == (route.name, setplane.__name__)
        assert handler.__qualname__ == "create_config_router.<locals>." + route.name


@pytest.mark.parametrize(("method", "path", "name", "model", "doc"), ROUTES)
def test_auth_dependency_guards_every_route(store, serve, method, path, name, model, doc):
    seen = []

    def refuse(request: fastapi.Request):
        seen.append(request.url.path)
        raise fastapi.HTTPException(401, "who are you")

    url = "/config" + path.format(section="s", version=2)
    response = serve(store, auth_dependency=refuse).request(
        method, url, json={} if method in ("PUT", "PATCH") else None
    )
    assert (response.status_code, response.json()) == (401, {"detail": "who are you"})
    assert (seen, store.calls) == ([url], [])


def test_routers_share_only_the_store(store, serve, logs):
    first = serve(store, router_prefix="/one")
    store.config_name = "renamed"
    second = serve(store, router_prefix="/two", config_model=dict)
    store.config_name = "again"
    first.request("PATCH", "/one/", json={"k": 1})
    second.request("PATCH", "/two/", json={"k": 2})
    assert first.request("GET", "/one/").json() == second.request("GET", "/two/").json()
    assert [line[1] for line in logs()] == ["Patched config for svc", "Patched config for renamed"]


@pytest.fixture
def openapi(store):
    app = fastapi.FastAPI()
    app.include_router(create_config_router(store, router_tags=["admin"]))
    return app.openapi()


@pytest.mark.parametrize(("method", "path", "name", "model", "doc"), ROUTES)
def test_openapi_operation(openapi, method, path, name, model, doc):
    operation = openapi["paths"]["/config" + path][method.lower()]
    assert operation["summary"] == name.replace("_", " ").title()
    assert (operation["description"], operation["tags"]) == (doc, ["admin"])
    expected = [(p, "path", True, s) for p, s in PATH_SCHEMAS.items() if "{" + p + "}" in path]
    parameters = operation.get("parameters", [])
    assert [(p["name"], p["in"], p["required"], p["schema"]) for p in parameters] == expected
    body = {"type": "object", "additionalProperties": True, "title": BODIES.get(name)}
    assert operation.get("requestBody") == (
        {"required": True, "content": {"application/json": {"schema": body}}}
        if name in BODIES
        else None
    )
    schema = operation["responses"]["200"]["content"]["application/json"]["schema"]
    assert schema == ({"$ref": f"#/components/schemas/{model}"} if model else {})


def test_openapi_document_is_valid(openapi):
    from openapi_spec_validator import validate

    validate(openapi)


def test_without_the_framework():
    code = """
import importlib.abc, sys
class Refuse(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name.split(".")[0] in ("fastapi", "pydantic"):
            raise ModuleNotFoundError(f"No module named {name!r}")
sys.meta_path.insert(0, Refuse())
from kelvora import setplane
print(setplane.FASTAPI_AVAILABLE, [getattr(setplane, n) for n in
      ("APIRouter", "Depends", "HTTPException", "Body", "BaseModel")])
print([n for n in ("run_in_threadpool", "ConfigVersionInfo", "ConfigVersionsResponse",
       "ConfigVersionDetailResponse", "ConfigReloadResponse") if hasattr(setplane, n)])
for call in [lambda: setplane.create_config_router("not a store"),
             lambda: setplane.create_config_router(object(), router_prefix="/c"),
             lambda: setplane.create_config_router("x", router_prefix=None)]:
    try:
        call()
    except Exception as error:
        print(type(error).__name__, error)
"""
    assert run_python(code) == [
        "False [None, None, None, None, None]",
        "[]",
        "RuntimeError " + HINT,
        "RuntimeError " + HINT,
        "TypeError Argument 'router_prefix' has incorrect type (expected str, got NoneType)",
    ]


@pytest.mark.parametrize(
    ("code", "message"),
    [
        (
            "import sys, kelvora.setplane\n"
            "del sys.modules['kelvora.setplane']\n"
            "try:\n    import kelvora.setplane\nexcept ImportError as e:\n    print(e)\n",
            "Module 'setplane' has already been imported. Re-initialisation is not supported.",
        ),
        (
            "import kelvora.setplane, _xxsubinterpreters as interpreters\n"
            "try:\n"
            "    interpreters.run_string(interpreters.create(), 'import kelvora.setplane')\n"
            "except interpreters.RunFailedError as e:\n    print(e)\n",
            "<class 'ImportError'>: Interpreter change detected - this module can only be loaded"
            " into one interpreter per process.",
        ),
    ],
    ids=["again", "other-interpreter"],
)
def test_loaded_once(code, message):
    assert run_python(code) == [message]
