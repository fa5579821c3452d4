"""Version endpoints and the database view."""

from datetime import datetime, timedelta, timezone

import pytest
from pydantic import BaseModel

from kelvora.setplane import ConfigVersionInfo

STAMP = datetime(2024, 5, 6, 7, 8, 9, 10, tzinfo=timezone(timedelta(hours=2)))
ROW = {"config_name": "svc", "environment": "prod", "version": 2, "updated_at": STAMP}
NOTE = "This config will be loaded on next restart/reload"


class Settings(BaseModel):
    a: int = 0


def test_listing_in_store_order(make_store, serve, logs):
    history = [ROW, {**ROW, "version": 1, "updated_at": None}, {**ROW, "updated_at": ""}]
    store = make_store(history=history)
    response = serve(store).request("GET", "/config/versions")
    listed = [
        {**ROW, "updated_at": "2024-05-06T07:08:09.000010+02:00"},
        {**ROW, "version": 1, "updated_at": None},
        {**ROW, "updated_at": None},
    ]
    assert response.json() == {"status": "success", "total_versions": 3, "versions": listed}
    assert store.calls == [("get_version_history", (), {})]
    assert logs() == []


@pytest.mark.parametrize(
    "row",
    [{k: v for k, v in ROW.items() if k != "environment"}, {**ROW, "version": "two"}],
    ids=["missing-key", "refused-by-model"],
)
def test_listing_of_a_bad_row(make_store, serve, logs, row):
    with pytest.raises(Exception) as refused:
        fields = ("config_name", "environment", "version")
        ConfigVersionInfo(**{field: row[field] for field in fields})
    response = serve(make_store(history=[row])).request("GET", "/config/versions")
    assert response.status_code == 500
    assert response.json() == {"detail": f"Failed to fetch versions: {refused.value}"}
    assert logs() == [("ERROR", f"Error fetching versions: {refused.value}", True)]


def test_version_detail(make_store, serve):
    store = make_store(details={5: {"updated_at": STAMP, "payload": {"k": [1]}, "version": 9}})
    client = serve(store, config_model=Settings)
    answer = {
        "status": "success",
        "version": 5,
        "updated_at": "2024-05-06T07:08:09.000010+02:00",
        "config": {"k": [1]},
    }
    assert client.request("GET", "/config/versions/5").json() == answer
    response = client.request("GET", "/config/versions/-4")
    assert (response.status_code, response.json()) == (
        404,
        {"detail": "Version -4 not found for svc"},
    )
    assert store.calls == [("get_version_detail", (5,), {}), ("get_version_detail", (-4,), {})]
    assert client.request("GET", "/config/versions/x").status_code == 422


@pytest.mark.parametrize(("method", "done"), [("PUT", "updated"), ("PATCH", "patched")])
def test_in_place_edits(store, serve, make_callback, logs, method, done):
    callback = make_callback("plain")
    client = serve(store, reload_callback=callback.function)
    response = client.request(method, "/config/versions/0", json={"k": 1})
    assert response.json() == {"status": "success", "message": f"Version 0 {done}"}
    name = {"PUT": "update_config_version", "PATCH": "patch_config_version"}[method]
    assert store.calls == [(name, (0, {"k": 1}), {})]
    assert callback.threads == []
    assert logs() == [("INFO", f"{done.capitalize()} version 0 of svc", False)]


def test_snapshot(store, serve, logs):
    response = serve(store).request("POST", "/config/versions")
    answer = {"status": "success", "message": "Version 4 created"}
    assert response.json() == {**answer, "previous_version": 3, "new_version": 4}
    assert store.calls == [("get_version", (), {}), ("create_new_version", (), {})]
    assert logs() == [("INFO", "Created new version 4 for svc", False)]


def test_restore(make_store, serve, make_callback, logs):
    store = make_store(details={1: {"payload": {"old": True}}})
    callback = make_callback("coroutine", error=ValueError("late"))
    response = serve(store, reload_callback=callback.function).request(
        "POST", "/config/versions/1/restore"
    )
    assert response.json() == {
        "status": "success",
        "message": "Restored config from version 1",
        "restored_from_version": 1,
        "current_version": 3,
        "config": {"old": True},
    }
    assert store.calls == [("get_version", (), {}), ("restore_version", (1,), {})]
    assert logs() == [
        ("WARNING", "Reload callback failed: late", False),
        ("INFO", "Restored config from version 1 for svc", False),
    ]


@pytest.mark.parametrize("failing", ["get_version", "restore_version"])
def test_restore_refused_is_not_found(store, serve, logs, failing):
    store.failures[failing] = RuntimeError("Version 8 is gone")
    response = serve(store).request("POST", "/config/versions/8/restore")
    assert (response.status_code, response.json()) == (404, {"detail": "Version 8 is gone"})
    assert logs() == []


@pytest.mark.parametrize(
    ("method", "path", "failing", "log", "detail"),
    [
        ("GET", "/versions", "get_version_history", "fetching versions", "fetch versions"),
        ("GET", "/versions/2", "get_version_detail", "fetching version 2", "fetch version"),
        ("PUT", "/versions/2", "update_config_version", "updating version 2", "update version"),
        ("PATCH", "/versions/2", "patch_config_version", "patching version 2", "patch version"),
        ("POST", "/versions", "create_new_version", "creating new version", "create new version"),
        ("POST", "/versions/2/restore", "restore_version", "restoring version 2", "restore version"),  # noqa: E501
        ("GET", "/database/current", "get_version", "fetching database config", "fetch database config"),  # noqa: E501
    ],
)  # fmt: skip
def test_failures(store, serve, logs, method, path, failing, log, detail):
    store.failures[failing] = ValueError("no route")
    body = {"k": 1} if method in ("PUT", "PATCH") else None
    response = serve(store).request(method, "/config" + path, json=body)
    assert (response.status_code, response.json()) == (
        500,
        {"detail": f"Failed to {detail}: no route"},
    )
    assert logs() == [("ERROR", f"Error {log}: no route", True)]


@pytest.mark.parametrize("config", [{}, None])
def test_database_view_without_config(make_store, serve, config):
    store = make_store(config)
    store.results["get_config"] = config
    response = serve(store).request("GET", "/config/database/current")
    answer = {"status": "not_found", "message": "No config found in database for svc"}
    assert (response.status_code, response.json()) == (200, answer)
    assert store.calls == [("get_config", (), {"refresh": True}), ("get_version", (), {})]


def test_database_view(make_store, serve, make_callback):
    store = make_store({"a": "7", "x": 0})
    callback = make_callback("plain")
    client = serve(store, config_model=Settings, reload_callback=callback.function)
    response = client.request("GET", "/config/database/current")
    answer = {"status": "success", "version": 3, "config": {"a": "7", "x": 0}, "note": NOTE}
    assert (response.status_code, response.json()) == (200, answer)
    assert callback.threads == []
