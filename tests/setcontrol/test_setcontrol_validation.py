"""Validation before anything is stored (a JSON Schema, or the configuration model): 422 naming
the path of the failing value; and dry runs, which answer what would be stored and store nothing."""

import pytest
from pydantic import BaseModel
from setcontrol_app import INITIAL

SCHEMA = {
    "type": "object",
    "properties": {
        "service": {
            "type": "object",
            "properties": {"port": {"type": "integer", "maximum": 65535}},
            "required": ["port"],
        },
        "debug": {"type": "boolean"},
        "a~b": {"type": "array", "items": {"type": "string"}},
    },
    "required": ["service"],
}


class Service(BaseModel):
    port: int


class Settings(BaseModel):
    service: Service
    debug: bool = False


REFUSED = [
    ("PUT", "/config/", {"service": {"port": "x"}}, "/service/port: 'x' is not of type 'integer'"),
    ("PUT", "/config/", {"debug": True}, "/: 'service' is a required property"),
    ("PATCH", "/config/", {"debug": 1}, "/debug: 1 is not of type 'boolean'"),
    (
        "PUT",
        "/config/service",
        {"port": 70000},
        "/service/port: 70000 is greater than the maximum of 65535",
    ),
    ("PUT", "/config/a~b", {"x": 1}, "/a~0b: {'x': 1} is not of type 'array'"),
    ("DELETE", "/config/service", None, "/: 'service' is a required property"),
    ("PUT", "/config/versions/1", {"service": {}}, "/service: 'port' is a required property"),
    ("PATCH", "/config/versions/1", {"debug": "no"}, "/debug: 'no' is not of type 'boolean'"),
]


@pytest.mark.parametrize(("method", "path", "body", "reason"), REFUSED)
def test_a_schema_refuses_a_write_with_the_path_of_the_failing_value(
    store, serve, method, path, body, reason
):
    http = serve(store, schema=SCHEMA)
    # No condition is needed: with a schema the control router answers every write.
    response = http.request(method, path, json=body)
    assert response.status_code == 422, response.text
    assert response.json() == {"detail": "Invalid configuration at " + reason}
    assert store.get_state() == {"version": 1, "revision": 1, "last_revision": 1}


def test_a_schema_checks_the_configuration_that_restores_would_store(make_store, serve):
    store = make_store({"service": {"port": "old"}})
    store.update_config(INITIAL)
    http = serve(store, schema=SCHEMA)
    for path in ["/config/versions/1/restore", "/config/revisions/1/restore"]:
        response = http.post(path)
        assert response.status_code == 422, response.text
        assert response.json() == {
            "detail": "Invalid configuration at /service/port: 'old' is not of type 'integer'"
        }
    assert store.get_state()["last_revision"] == 2


def test_the_configuration_model_refuses_with_the_path_of_the_failing_value(store, serve):
    http = serve(store, config_model=Settings)
    response = http.patch("/config/", json={"service": {"port": "x"}})
    assert response.status_code == 422, response.text
    assert response.json() == {
        "detail": "Invalid configuration at /service/port: Input should be a valid integer, "
        "unable to parse string as an integer"
    }
    stored = http.put("/config/", json={"service": {"port": "81"}})
    assert stored.status_code == 200, stored.text
    assert stored.json() == {"service": {"port": 81}, "debug": False}
    assert store.get_config(refresh=True) == {"service": {"port": 81}, "debug": False}


def test_valid_writes_are_answered_as_the_config_router_answers_them(store, serve):
    http = serve(store, schema=SCHEMA)
    response = http.put("/config/service", json={"port": 81})
    assert response.status_code == 200, response.text
    assert response.json() == {"service": {"port": 81}, "debug": False}
    assert response.headers["etag"] == '"2.2"'


def test_a_schema_that_is_not_valid_is_refused_when_the_router_is_built(store, serve):
    from jsonschema.exceptions import SchemaError

    with pytest.raises(SchemaError):
        serve(store, schema={"type": "nonsense"})


DRY_RUNS = [
    ("PUT", "/config/", {"debug": True}, 2, {"debug": True}),
    ("PATCH", "/config/", {"debug": True}, 2, {**INITIAL, "debug": True}),
    ("PUT", "/config/cache", {"ttl": 1}, 2, {**INITIAL, "cache": {"ttl": 1}}),
    ("DELETE", "/config/debug", None, 2, {"service": {"port": 80}}),
    ("PUT", "/config/versions/1", {"x": 1}, 1, {"x": 1}),
    ("PATCH", "/config/versions/1", {"x": 1}, 1, {**INITIAL, "x": 1}),
    ("POST", "/config/versions", None, 2, INITIAL),
    ("POST", "/config/versions/1/restore", None, 1, INITIAL),
    ("POST", "/config/revisions/1/restore", None, 1, INITIAL),
]


@pytest.mark.parametrize(("method", "path", "body", "version", "config"), DRY_RUNS)
def test_a_dry_run_answers_what_would_be_stored_and_stores_nothing(
    store, serve, method, path, body, version, config
):
    reloads = []
    http = serve(store, reload_callback=lambda: reloads.append(1))
    response = http.request(method, path + "?dry_run=true", json=body)
    assert response.status_code == 200, response.text
    assert response.json() == {"dry_run": True, "version": version, "config": config}
    assert "etag" not in response.headers
    assert store.get_state() == {"version": 1, "revision": 1, "last_revision": 1}
    assert reloads == []


def test_a_dry_run_checks_conditions_and_the_schema_first(store, serve):
    http = serve(store, schema=SCHEMA)
    stale = http.put("/config/?dry_run=true", json=INITIAL, headers={"If-Match": '"0.0"'})
    assert stale.status_code == 412, stale.text
    refused = http.put("/config/?dry_run=true", json={"debug": True})
    assert refused.status_code == 422, refused.text
    assert http.put("/config/?dry_run=false", json=INITIAL).status_code == 200
    assert store.get_state()["version"] == 2
