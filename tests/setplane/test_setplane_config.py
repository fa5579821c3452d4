"""Full-configuration endpoints (GET, PUT, PATCH "/", POST "/reload") and the reload step."""

import asyncio

import pytest
from fastapi import HTTPException
from pydantic import BaseModel, ValidationError

from kelvora.setplane import create_config_router

CONFIG = {"a": 1, "b": {"c": 2}}
REFRESHED = ("get_config", (), {"refresh": True})
RELOADED = {"status": "success", "message": "Configuration reloaded for svc", "config": CONFIG}


class Settings(BaseModel):
    a: int
    level: str = "INFO"


class Dumped:
    """A model class whose instances have no `dict` attribute."""

    def __init__(self, **fields):
        self.fields = fields

    def model_dump(self):
        return {"dumped": self.fields}


# route: method, path, body, store calls, answer, info lines
ROUTES = {
    "get": ("GET", "/config/", None, [("get_config", (), {"refresh": False})], CONFIG, []),
    "put": ("PUT", "/config/", {"x": 1}, [("update_config", ({"x": 1},), {}), REFRESHED],
            {"x": 1}, ["Replaced full config for svc"]),
    "patch": ("PATCH", "/config/", {"d": 4}, [("patch_config", ({"d": 4},), {})],
              {**CONFIG, "d": 4}, ["Patched config for svc"]),
    "reload": ("POST", "/config/reload", None, [REFRESHED], RELOADED, ["Reloaded config for svc"]),
}  # fmt: skip


def info(*texts):
    return [("INFO", text, False) for text in texts]


@pytest.mark.parametrize("kind", [None, "plain", "coroutine"])
@pytest.mark.parametrize("route", ROUTES)
def test_store_calls_answer_and_logs(store, serve, logs, make_callback, route, kind):
    method, path, body, calls, answer, lines = ROUTES[route]
    callback = make_callback(kind) if kind else None
    client = serve(store, reload_callback=callback.function if callback else None)
    response = client.request(method, path, json=body)
    assert response.status_code == 200, response.text
    assert response.json() == answer
    assert store.calls == calls
    assert client.loop_thread not in store.threads
    if callback and route != "get":
        assert len(callback.threads) == 1
        assert (callback.threads[0] == client.loop_thread) == (kind == "coroutine")
        if route == "reload":
            lines = ["Reload callback executed successfully", *lines]
    assert logs() == info(*lines)


@pytest.mark.parametrize(
    ("method", "path", "body", "answer", "stored"),
    [
        ("GET", "/config/", None, {"a": 7, "level": "INFO"}, None),
        ("PUT", "/config/", {"a": "5", "x": 1}, {"a": 5, "level": "INFO"}, {"a": 5, "level": "INFO"}),  # noqa: E501
        ("PATCH", "/config/", {"level": "D"}, {"a": 7, "level": "D"}, {"a": "7", "x": 0, "level": "D"}),  # noqa: E501
        ("POST", "/config/reload", None, {**RELOADED, "config": {"a": "7", "x": 0}}, None),
    ],
)  # fmt: skip
def test_model_shapes_the_answers_but_not_the_reload(
    make_store, serve, method, path, body, answer, stored
):
    store = make_store({"a": "7", "x": 0})
    client = serve(store, config_model=Settings)
    # Pydantic's inherited `dict()` is deprecated: its models are dumped without the warning.
    response = client.request(method, path, json=body)
    assert (response.status_code, response.json()) == (200, answer)
    assert store.config == (stored or {"a": "7", "x": 0})


def test_put_stores_model_dump_without_dict(store, serve):
    serve(store, config_model=Dumped).request("PUT", "/config/", json={"k": 1})
    assert store.calls[0] == ("update_config", ({"dumped": {"k": 1}},), {})


@pytest.mark.parametrize(
    ("route", "failing", "doing"),
    [
        ("get", "get_config", ("reading", "read")),
        ("put", "update_config", ("replacing", "replace")),
        ("put", "get_config", ("replacing", "replace")),
        ("patch", "patch_config", ("patching", "patch")),
        ("reload", "get_config", ("reloading", "reload")),
    ],
)
@pytest.mark.parametrize(
    "error", [ValueError("disk full"), HTTPException(409, "busy")], ids=["error", "http"]
)
def test_failures(store, serve, logs, route, failing, doing, error):
    method, path, body, *_ = ROUTES[route]
    store.failures[failing] = error
    response = serve(store).request(method, path, json=body)
    if isinstance(error, HTTPException) and route in ("put", "patch"):
        assert (response.status_code, response.json()) == (409, {"detail": "busy"})
        assert logs() == []
        return
    assert response.status_code == 500
    assert response.json() == {"detail": f"Failed to {doing[1]} config: {error}"}
    assert logs() == [("ERROR", f"Error {doing[0]} config: {error}", True)]


@pytest.mark.parametrize("kind", ["plain", "coroutine"])
@pytest.mark.parametrize("route", ["put", "patch", "reload"])
def test_failing_callback_is_absorbed(store, serve, logs, make_callback, route, kind):
    method, path, body, _, answer, lines = ROUTES[route]
    callback = make_callback(kind, error=LookupError("no listener"))
    response = serve(store, reload_callback=callback.function).request(method, path, json=body)
    assert (response.status_code, response.json()) == (200, answer)
    assert logs() == [("WARNING", "Reload callback failed: no listener", False), *info(*lines)]


@pytest.mark.parametrize(
    ("method", "body", "refused", "stored", "doing"),
    [
        ("PUT", {"x": 1}, lambda: Settings(x=1), {"a": 1}, ("replacing", "replace")),
        ("PATCH", {"a": "no"}, lambda: Settings(a="no"), {"a": "no"}, ("patching", "patch")),
        ("GET", None, lambda: Settings(**None), {"a": 1}, ("reading", "read")),
    ],
    ids=["put-refused-before-the-write", "patch-refused-after-the-merge", "answer-no-mapping"],
)
def test_model_refusals(make_store, serve, logs, method, body, refused, stored, doing):
    store = make_store({"a": 1})
    if method == "GET":
        store.results["get_config"] = None
    with pytest.raises((ValidationError, TypeError)) as error:
        refused()
    response = serve(store, config_model=Settings).request(method, "/config/", json=body)
    detail = f"Failed to {doing[1]} config: {error.value}"
    assert (response.status_code, response.json()) == (500, {"detail": detail})
    assert store.config == stored
    assert logs()[-1] == ("ERROR", f"Error {doing[0]} config: {error.value}", True)


@pytest.mark.parametrize("where", ["store", "callback"])
def test_cancellation_is_not_answered(store, logs, where):
    async def cancelled():
        raise asyncio.CancelledError

    if where == "store":
        store.failures["patch_config"] = asyncio.CancelledError()
    router = create_config_router(store, reload_callback=cancelled)
    endpoint = {route.name: route.endpoint for route in router.routes}["update_config"]
    with pytest.raises(asyncio.CancelledError):
        asyncio.run(endpoint(patch={"k": 1}))
    assert logs() == []
