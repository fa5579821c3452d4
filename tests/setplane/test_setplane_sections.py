"""Section endpoints: GET, PUT, DELETE "/{section}", and which route GET "/versions" reaches."""

import pytest
from pydantic import BaseModel

READ = ("get_config", (), {"refresh": False})
REFRESHED = ("get_config", (), {"refresh": True})


class Settings(BaseModel):
    a: int = 0
    s: dict = {}


@pytest.mark.parametrize("value", [{"k": [1, None]}, [1, "x"], "text", 2.5, None])
def test_get_answers_the_value_as_stored(make_store, serve, logs, value):
    store = make_store({"a": 1, "s": value})
    response = serve(store, config_model=Settings).request("GET", "/config/s")
    assert (response.status_code, response.json()) == (200, value)
    assert store.calls == [READ]
    assert logs() == []


@pytest.mark.parametrize("method", ["GET", "DELETE"])
@pytest.mark.parametrize("section", ["missing", "A", "it's ü"])
def test_absent_section(store, serve, make_callback, logs, method, section):
    callback = make_callback("plain")
    response = serve(store, reload_callback=callback.function).request(method, "/config/" + section)
    assert response.status_code == 404
    assert response.json() == {"detail": f"Section '{section}' not found in config"}
    assert (store.calls, callback.threads, logs()) == ([READ], [], [])


@pytest.mark.parametrize("model", [None, Settings], ids=["raw", "model"])
def test_put_merges_one_section(store, serve, make_callback, logs, model):
    callback = make_callback("coroutine")
    client = serve(store, config_model=model, reload_callback=callback.function)
    response = client.request("PUT", "/config/s", json={"host": "h"})
    merged = {"a": 1, "b": {"c": 2}, "s": {"host": "h"}}
    assert response.status_code == 200, response.text
    assert response.json() == (merged if model is None else {"a": 1, "s": {"host": "h"}})
    assert store.calls == [("patch_config", ({"s": {"host": "h"}},), {})]
    assert callback.threads == [client.loop_thread]
    assert logs() == [("INFO", "Replaced section 's' in svc", False)]


@pytest.mark.parametrize("body", [[1, 2], "text", 3, None])
def test_put_body_must_be_an_object(store, serve, body):
    response = serve(store).request("PUT", "/config/s", json=body)
    assert response.status_code == 422
    assert store.calls == []


@pytest.mark.parametrize("model", [None, Settings], ids=["raw", "model"])
def test_delete_writes_the_rest_and_reads_back(store, serve, make_callback, logs, model):
    callback = make_callback("plain")
    client = serve(store, config_model=model, reload_callback=callback.function)
    response = client.request("DELETE", "/config/b")
    assert response.status_code == 200, response.text
    assert response.json() == ({"a": 1} if model is None else {"a": 1, "s": {}})
    assert store.calls == [READ, ("update_config", ({"a": 1},), {}), REFRESHED]
    assert len(callback.threads) == 1 and callback.threads[0] != client.loop_thread
    assert logs() == [("INFO", "Deleted section 'b' from svc", False)]


def test_delete_leaves_the_store_untouched_when_the_write_fails(store, serve):
    held = store.config
    store.failures["update_config"] = OSError("read-only")
    response = serve(store).request("DELETE", "/config/b")
    assert response.json() == {"detail": "Failed to delete section: read-only"}
    assert store.config is held and held == {"a": 1, "b": {"c": 2}}


@pytest.mark.parametrize(
    ("method", "body", "failing", "doing"),
    [
        ("GET", None, "get_config", ("reading", "read")),
        ("PUT", {"k": 1}, "patch_config", ("replacing", "replace")),
        ("DELETE", None, "update_config", ("deleting", "delete")),
        ("DELETE", None, "get_config", ("deleting", "delete")),
    ],
)
def test_failures(store, serve, logs, method, body, failing, doing):
    store.failures[failing] = KeyError("gone")
    response = serve(store).request(method, "/config/b", json=body)
    assert response.status_code == 500
    assert response.json() == {"detail": f"Failed to {doing[1]} section: 'gone'"}
    assert logs() == [("ERROR", f"Error {doing[0]} section 'b': 'gone'", True)]


def test_failing_callback_is_absorbed(store, serve, make_callback, logs):
    callback = make_callback("plain", error=RuntimeError("down"))
    response = serve(store, reload_callback=callback.function).request("DELETE", "/config/a")
    assert (response.status_code, response.json()) == (200, {"b": {"c": 2}})
    assert logs() == [
        ("WARNING", "Reload callback failed: down", False),
        ("INFO", "Deleted section 'a' from svc", False),
    ]


@pytest.mark.parametrize(
    ("flags", "answer"),
    [
        ({}, {"status": "success", "total_versions": 0, "versions": []}),
        ({"enable_version_endpoints": False}, ["section"]),
    ],
    ids=["listing", "section"],
)
def test_get_versions(make_store, serve, flags, answer):
    store = make_store({"versions": ["section"]})
    client = serve(store, **flags)
    assert client.request("GET", "/config/versions").json() == answer
    assert client.request("GET", "/config/").json() == {"versions": ["section"]}


def test_put_and_delete_of_versions_reach_the_section(store, serve):
    client = serve(store)
    client.request("PUT", "/config/versions", json={"k": 1})
    assert store.config["versions"] == {"k": 1}
    client.request("DELETE", "/config/versions")
    assert "versions" not in store.config
